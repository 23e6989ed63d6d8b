// Rows of a bitmap written through a positioned stream: in the order they
// are decoded, or, when that order must be reversed, each at its own output
// position counted from the bottom, a block of rows at a time (as many as
// the output queue holds) so that the host receives whole blocks in order.
// Rows are decoded in place in the output queue when they fit there.
#pragma once
#include <stdint.h>

#include "engine/job_options.h"
#include "output/rows.h"
#include "stream/stream.h"

struct PlacedRows {
  Stream *Out;
  uint32_t DataStart;  // output position of the first row byte
  uint32_t Height, Stride;
  bool Flip;           // row r goes to DataStart + (Height - 1 - r) x Stride
  uint32_t BlockRows;  // rows per block of flipped placement
  uint32_t Next;       // the next row
  uint32_t Placed;     // rows whose output place is reserved
  BatchCounter Batches;
};

// Rows start at the stream's output cursor.
void PlacedRowsStart(PlacedRows *p, Stream *out, const JobOptions &options, uint32_t height, uint32_t stride,
                     bool flip);
// Where the next row is to be decoded (Stride bytes and slack more): in the
// output queue when they fit there, else spare (Stride + slack bytes). Its
// place is reserved once: asked again for the same row (a reader that
// failed to decode it fills it instead), the place stands.
uint8_t *PlacedRowBegin(PlacedRows *p, uint8_t *spare, uint32_t slack);
// The row is decoded: it goes out (batches counted).
void PlacedRowEnd(PlacedRows *p, const uint8_t *row);
// After the last row: the output ends after the bitmap.
void PlacedRowsFinish(PlacedRows *p);
