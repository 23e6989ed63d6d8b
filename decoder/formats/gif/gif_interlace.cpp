// Interlaced GIF images, delivered as InterlaceMode asks:
//   0     pass images of the rows each pass holds, then the final image;
//   1, 4  pass images stretched to the full height, then the final image;
//   2     the final image only;
//   3, 5  one image refined in place after every pass (the data is read once).
// Modes 0, 1 and 4 read the image data twice.
#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/gif/gif_internal.h"

namespace {

struct InterlacePass {
  uint32_t Start, Step;
};
constexpr InterlacePass kInterlacePasses[4] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

uint32_t PassRows(int p, uint32_t height) {
  const InterlacePass &s = kInterlacePasses[p];
  return (s.Step + height - s.Start - 1) / s.Step;
}

// Rows placed inside the output queue need every row's room free at once;
// batches would hand the host rows that are not yet final, so they rule it out.
bool FitsInQueue(GifJob *g, uint64_t bytes) {
  StreamSettleOutput(g->Io);
  return g->Options.TopDown && !g->Options.Batches && QueueFree(&g->Block->OutputQueue) >= bytes;
}

// Mode 2, and the last image of modes 0, 1 and 4: every row at its final place.
void DeliverFinalImage(GifJob *g) {
  ParamBlock *block = g->Block;
  DataQueue *out = &block->OutputQueue;
  const uint32_t h = g->Height;
  const uint64_t s = g->Stride;
  uint32_t put = GifStartImage(g, h);
  bool inQueue = FitsInQueue(g, h * s);
  uint8_t *base = QueueSpot(out, out->rear);  // settled by FitsInQueue
  for (int p = 0; p < 4; ++p) {
    GifBeginPass(g);
    for (uint32_t r = kInterlacePasses[p].Start; r < h; r += kInterlacePasses[p].Step) {
      GifDecodeRow(g);
      if (inQueue)
        GifPlaceRow(g, base, r);
      else if (g->Options.TopDown)
        GifPutRowAfterSeek(g, g->Row, put + r * s);  // counted from the bytes actually put
      else
        GifPutRowAt(g, g->Row, put + (h - 1 - r) * s);
    }
  }
  if (inQueue) {
    out->rear = QueueAdvance(out, base, static_cast<size_t>(h * s));
    StreamOutputMoved(g->Io);
  }
  GifFinalImageDone(g);
}

// Mode 0: each pass but the second as an image of its own rows.
void DeliverPassImages(GifJob *g) {
  for (int p = 0; p < 4; ++p) {
    uint32_t rows = PassRows(p, g->Height);
    if (p != 1) GifStartImage(g, rows);
    for (uint32_t i = 0; i < rows; ++i) {
      GifDecodeRow(g);
      if (p != 1) GifDeliverRow(g, i, rows);
    }
    if (p != 1) GifPassImageDone(g);
  }
  GifRestartImageData(g);
  DeliverFinalImage(g);
}

// One pass stretched to the full height: each row repeated step times, the
// rows below the last one filled with it.
void DeliverStretchedPass(GifJob *g, int p) {
  const uint32_t h = g->Height, step = kInterlacePasses[p].Step;
  uint32_t k = 0;
  for (uint32_t i = 0, rows = PassRows(p, h); i < rows; ++i) {
    GifDecodeRow(g);
    for (uint32_t j = 0; j < step && k < h; ++j) GifDeliverRow(g, k++, h);
  }
  while (k < h) GifDeliverRow(g, k++, h);
}

// Modes 1 and 4.
void DeliverStretchedImages(GifJob *g) {
  for (int p = 0; p < 4; ++p) {
    if (p == 1) {
      for (uint32_t i = 0, rows = PassRows(1, g->Height); i < rows; ++i) GifDecodeRow(g);
      continue;
    }
    GifStartImage(g, g->Height);
    DeliverStretchedPass(g, p);
    GifPassImageDone(g);
  }
  GifRestartImageData(g);
  DeliverFinalImage(g);
}

// Modes 3 and 5: the first pass stretched, then each later pass written over
// it. In place when the whole image fits the output queue: the refined image
// is handed over again from the same storage.
void DeliverRefinedImage(GifJob *g) {
  ParamBlock *block = g->Block;
  DataQueue *out = &block->OutputQueue;
  const uint32_t h = g->Height;
  const uint64_t s = g->Stride;
  uint64_t h1 = g->Options.Header ? 40 + 4u * g->ColourCount : 0;
  bool inPlace = FitsInQueue(g, h1 + h * s);
  uint32_t put = GifStartImage(g, h);
  StreamSettleOutput(g->Io);
  uint8_t *q = QueueSpot(out, out->front);  // the image starts here in the storage
  uint8_t *base = QueueSpot(out, out->rear);
  DeliverStretchedPass(g, 0);
  StreamSettleOutput(g->Io);
  uint8_t *end = QueueSpot(out, out->rear);
  GifPassImageDone(g);
  for (int p = 1; p < 4; ++p) {
    GifBeginPass(g);
    for (uint32_t r = kInterlacePasses[p].Start; r < h; r += kInterlacePasses[p].Step) {
      GifDecodeRow(g);
      if (inPlace)
        GifPlaceRow(g, base, r);
      else if (g->Options.TopDown)
        GifPutRowAfterSeek(g, g->Row, put + r * s);
      else
        GifPutRowAt(g, g->Row, put + (h - 1 - r) * s);
    }
    if (inPlace) {
      // The whole image, header included, waits in the queue again.
      out->front = q;
      out->rear = end;
      StreamOutputMoved(g->Io);
    } else {
      StreamMoveOutput(g->Io, static_cast<uint32_t>(put + h * s));
    }
    if (p < 3)
      GifPassImageDone(g);
    else
      GifFinalImageDone(g);
  }
}

}  // namespace

void GifReadInterlaced(GifJob *g) {
  switch (g->Options.InterlaceMode) {
    case 0:
      DeliverPassImages(g);
      break;
    case 1:
    case 4:
      DeliverStretchedImages(g);
      break;
    case 3:
    case 5:
      DeliverRefinedImage(g);
      break;
    default:  // 2; the job start refuses anything above 5
      DeliverFinalImage(g);
      break;
  }
}
