// GIF output: starting an image, and the ways a row reaches the output queue:
// in sequence, at an output position (both through the stream), or at a
// place inside the queue's storage, which the reader addresses itself (the
// stream settled first, told afterwards); in overlay mode (Flags bit 24)
// transparent pixels leave the bytes the output storage already holds.
#include <string.h>

#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/gif/gif_internal.h"

namespace {

// n bytes of row to dst: every byte when there is no transparent index,
// else only those that differ from it.
void MergeBytes(uint8_t *dst, const uint8_t *row, size_t n, uint32_t transparent, bool overlay) {
  if (!overlay || transparent == kGifNoTransparency) {
    memcpy(dst, row, n);
    return;
  }
  uint8_t t = static_cast<uint8_t>(transparent);
  for (size_t i = 0; i < n; ++i)
    if (row[i] != t) dst[i] = row[i];
}

void CountBatch(GifJob *g) {
  if (BatchRow(&g->Rows.Batches)) StreamYieldRows(g->Io, true);
}

// Overlay at the write position. The row must lie between the write position
// and the storage end, ahead of the read position; the queue must have room
// for it, so that a full queue never looks empty.
void OverlayRow(GifJob *g, const uint8_t *row) {
  ParamBlock *block = g->Block;
  DataQueue *q = &block->OutputQueue;
  size_t s = g->Stride;
  if (QueueSize(q) - 1 < s) FailJob(block, QV_ERR_BAD_OPTION);
  StreamWaitForRoom(g->Io, s);
  uint8_t *rear = QueueSpot(q, q->rear), *front = QueueSpot(q, q->front);
  if (static_cast<size_t>(q->end - rear) < s || rear < front) FailJob(block, QV_ERR_BAD_OPTION);
  MergeBytes(rear, row, s, g->Transparent, true);
  q->rear = QueueAdvance(q, rear, s);
  StreamOutputMoved(g->Io);
}

// Overlay at offset from the storage start: the storage holds the image as
// the host's picture. The write position moves to the end of the furthest
// row placed, so that the host takes the whole image from the storage.
void OverlayRowAt(GifJob *g, const uint8_t *row, uint64_t offset) {
  ParamBlock *block = g->Block;
  DataQueue *q = &block->OutputQueue;
  uint64_t s = g->Stride;
  if (offset + s > QueueSize(q) - 1) FailJob(block, QV_ERR_BAD_OPTION);
  StreamSettleOutput(g->Io);
  uint8_t *at = q->start + offset;
  uint8_t *rear = QueueSpot(q, q->rear), *front = QueueSpot(q, q->front);
  if (rear < front || at < front) FailJob(block, QV_ERR_BAD_OPTION);
  MergeBytes(at, row, static_cast<size_t>(s), g->Transparent, true);
  if (at + s > rear) {
    q->rear = at + s;
    StreamOutputMoved(g->Io);
  }
}

}  // namespace

uint32_t GifStartImage(GifJob *g, uint32_t rows) {
  ParamBlock *block = g->Block;
  DataQueue *out = &block->OutputQueue;
  // In overlay mode every image starts at the storage start, where the host
  // keeps the picture, when nothing waits in the queue.
  if (g->Options.Overlay) {
    StreamSettleOutput(g->Io);
    if (QueueUsed(out) == 0) {
      out->front = out->rear = out->start;
      StreamOutputMoved(g->Io);
    }
  }
  g->Header.biHeight = static_cast<int32_t>(rows);
  block->BitmapHeader = g->Header;
  uint32_t put = 0;
  if (g->Options.Header) {
    StreamPut(g->Io, reinterpret_cast<const uint8_t *>(&g->Header), sizeof g->Header);
    StreamPut(g->Io, reinterpret_cast<const uint8_t *>(g->Colours), 4u * g->ColourCount);
    put = 40 + 4u * g->ColourCount;
  }
  memcpy(block->Palette, g->Colours, 4u * g->ColourCount);
  if (IsGreyPalette(g->Colours, g->ColourCount)) block->Flags |= QV_FLAG_GREY;
  StreamRowsStart(&g->Rows, g->Io, g->Options, g->Stride, rows, put, false);
  g->HeaderBytes = put;
  return put;
}

void GifBeginPass(GifJob *g) { g->Rows.Batches.Count = 0; }

void GifPutRow(GifJob *g, const uint8_t *row) {
  if (!g->Options.Overlay) {
    StreamRowsDeliver(&g->Rows, row);
    return;
  }
  OverlayRow(g, row);
  CountBatch(g);
}

void GifPutRowAt(GifJob *g, const uint8_t *row, uint64_t offset) {
  if (g->Options.Overlay) {
    OverlayRowAt(g, row, offset);
    return;
  }
  StreamMoveOutput(g->Io, static_cast<uint32_t>(offset));
  StreamPut(g->Io, row, g->Stride);
}

void GifPutRowAfterSeek(GifJob *g, const uint8_t *row, uint64_t offset) {
  StreamMoveOutput(g->Io, static_cast<uint32_t>(offset));
  if (!g->Options.Overlay) {
    StreamPut(g->Io, row, g->Stride);
    CountBatch(g);
    return;
  }
  GifPutRow(g, row);
}

void GifDeliverRow(GifJob *g, uint32_t i, uint32_t rows) {
  if (g->Options.TopDown)
    GifPutRow(g, g->Row);
  else
    GifPutRowAt(g, g->Row,
                g->HeaderBytes + static_cast<uint64_t>(rows - 1 - i) * g->Stride);
}

void GifPlaceRow(GifJob *g, uint8_t *base, uint32_t r) {
  DataQueue *q = &g->Block->OutputQueue;
  size_t s = g->Stride;
  // The image was placed here because the storage held it whole; the storage
  // is read again, so that a row never lands beyond it.
  if ((static_cast<uint64_t>(r) + 1) * s > QueueSize(q) - 1) FailJob(g->Block, QV_ERR_BAD_OPTION);
  uint8_t *at = QueueAdvance(q, base, static_cast<size_t>(r) * s);
  size_t first = static_cast<size_t>(q->end - at);
  if (first > s) first = s;
  MergeBytes(at, g->Row, first, g->Transparent, g->Options.Overlay);
  MergeBytes(q->start, g->Row + first, s - first, g->Transparent, g->Options.Overlay);
}

void GifPassImageDone(GifJob *g) {
  ParamBlock *block = g->Block;
  JobContext(block)->PassPending = 1;
  block->Flags &= ~QV_FLAG_FINAL_IMAGE;
  StreamHandOverImage(g->Io);
}

void GifFinalImageDone(GifJob *g) {
  ParamBlock *block = g->Block;
  JobContext(block)->PassPending = 0;
  block->Flags |= QV_FLAG_FINAL_IMAGE;
}
