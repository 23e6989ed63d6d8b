// Rows of a classic reader handed to the host through its consuming stream,
// exactly as they always went: in the order they are decoded (counted into
// batches, each ended by ResponseRowsReady), or flipped, in bands of as many
// rows as the output queue holds, placed from the end of the bitmap: each
// band begins with an output seek to its first byte (the host takes the band
// before it with that seek), fills from its top row down, and is committed
// whole. Flipped rows count towards no batch.
#pragma once
#include <stdint.h>

#include "engine/job_options.h"
#include "output/rows.h"
#include "stream/stream.h"

struct StreamRows {
  Stream *Io;
  uint32_t Stride;
  uint32_t Rows;       // total rows of the image
  uint32_t Header;     // bytes put ahead of the rows (header and colour table)
  BatchCounter Batches;
  bool Flipped;
  // Flipped delivery.
  uint32_t BandRows;   // rows the output queue holds
  uint32_t BandSize;   // rows of the current band
  int64_t Position;    // output position of the current band
  int64_t Slot;        // the next row's place in its band, counted from the band's start
  uint32_t Produced;
  uint32_t Delivered;  // rows handed over so far, in any order
};

// Prepare delivery. Flipped: fails the job with -7082 when the output queue
// cannot hold one row, and with -7006 when the bitmap ends beyond what an
// output seek can name.
void StreamRowsStart(StreamRows *d, Stream *io, const JobOptions &options, uint32_t stride, uint32_t rows,
                     uint32_t header, bool flipped);
// One finished row of Stride bytes.
void StreamRowsDeliver(StreamRows *d, const uint8_t *row);
// One row of rowBytes (at most the stride) that needs no conversion, taken
// from the input and padded with zeros to the stride. Flipped, it is read
// into place, or into row (one stride whose bytes beyond rowBytes are zero)
// when its place wraps the storage.
void StreamRowsFromInput(StreamRows *d, uint8_t *row, uint32_t rowBytes);
// Rows that need no conversion, straight from the input (in order only).
void StreamRowsManyFromInput(StreamRows *d, uint32_t rows);
// After the last row: commit the last flipped band.
void StreamRowsFinish(StreamRows *d);

// Extended decoding of damaged files. A row taken from the input as
// StreamRowsFromInput takes it when the queue holds all of it; otherwise it
// is read into row (one stride, zeroed first) and delivered from there, so a
// file ending inside the row leaves its bytes in row, never half a row in
// the output.
void StreamRowsWholeFromInput(StreamRows *d, uint8_t *row, uint32_t rowBytes);
// The rows not yet delivered, each a copy of fill (one stride). Returns how many.
uint32_t StreamRowsFillRemaining(StreamRows *d, const uint8_t *fill);
