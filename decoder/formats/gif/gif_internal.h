// The GIF reader's working state and the pieces its files share.
#pragma once
#include <stdint.h>

#include "output/stream_rows.h"
#include "quorvin.h"
#include "stream/stream.h"

struct LzwDecoder;

// Working state of one GIF job. It lives in a job buffer and holds no owning
// objects: every buffer it points to is a job buffer, its stream lives on the
// reader's frame.
struct GifJob {
  ParamBlock *Block;
  LzwDecoder *Lzw;
  uint8_t *Row;             // one row, Stride bytes; the padding stays zero
  PaletteEntry *Colours;    // the colour table as delivered (up to 256 entries)
  BitmapInfoHeader Header;  // local copy; biHeight changes per delivered image
  uint32_t Width, Height, Stride, ColourCount;
  uint32_t Transparent;     // the transparent index, or 0xFFFF for none
  uint32_t MinCodeSize;
  uint32_t HeaderBytes;     // header and colour table bytes put ahead of the current image's rows
  uint64_t Offset;          // bytes read from the signature on
  uint64_t DataOffset;      // where the image data starts (after the minimum code size)
  Stream *Io;               // the file in, the bitmap out
  JobOptions Options;       // top row first, overlay (merge rows into the output storage), batches
  // Extended decoding: once the image data breaks (the file ends, or the LZW
  // stream holds a code it cannot decode or ends early), every row after it
  // is the background colour (the logical screen's background index when a
  // global colour table gives it, else 0), in whatever order the interlace
  // mode delivers rows; the row that broke keeps the pixels decoded.
  uint32_t Background;
  bool Broken;
  StreamRows Rows;          // top-to-bottom delivery and the batch count
};

constexpr uint32_t kGifNoTransparency = 0xFFFF;
constexpr uint32_t kGifExtensionKind = 0x3001;
// A record of one extension is built in memory before it goes to the
// ExtraBuffer; longer extensions are skipped without a record.
constexpr uint32_t kGifMaxExtensionRecord = 16u << 20;

extern const uint32_t kGifDefaultPalette[256];

// LZW byte source: one data sub-block of the image data per call (context:
// the job's Stream).
uint32_t GifSubBlockSource(void *context, uint8_t *buffer);
// (Re)start the LZW decoder on the image data; -7021 when it cannot start.
void GifStartDecoder(GifJob *g);
// Decode the next row of the file into g->Row; -7021 on corrupt data.
void GifDecodeRow(GifJob *g);
// Go back to the start of the image data (input seek, or inside the queue in
// whole-input mode) and restart the decoder.
void GifRestartImageData(GifJob *g);

// Start an image of the given row count: header and colour table into the
// output when Flags bit 3 asks, Palette, grey flag, batch count. Returns the
// bytes put ahead of the rows.
uint32_t GifStartImage(GifJob *g, uint32_t rows);
// A new pass: the batch count starts again.
void GifBeginPass(GifJob *g);
// The row at the output queue's write position (merged in overlay mode),
// with batches.
void GifPutRow(GifJob *g, const uint8_t *row);
// The row at output position offset: an output seek, or in overlay mode a
// merge at that offset from the storage start.
void GifPutRowAt(GifJob *g, const uint8_t *row, uint64_t offset);
// Output row i of an image of the given rows, in the order Flags bit 1 asks.
void GifDeliverRow(GifJob *g, uint32_t i, uint32_t rows);
// Output seek to the row at offset, then the row with batches.
void GifPutRowAfterSeek(GifJob *g, const uint8_t *row, uint64_t offset);
// Row r of an image that starts at base inside the output queue's storage,
// wrapping round the storage end; the write position does not move.
void GifPlaceRow(GifJob *g, uint8_t *base, uint32_t r);
// An intermediate image is complete: hand it over and wait for the next request.
void GifPassImageDone(GifJob *g);
// The final image is complete.
void GifFinalImageDone(GifJob *g);

// Deliver an interlaced image as InterlaceMode says.
void GifReadInterlaced(GifJob *g);
