// Output bitmap layout and the three ways rows are handed to the host:
// plain, in batches, and flipped (bands placed from the end by output seeks).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "engine/job_options.h"
#include "quorvin.h"

// Bytes per output row: bits x width rounded up to a multiple of 32 bits.
// Returns false when the stride is not positive or does not fit 31 bits.
bool ComputeStride(uint32_t bits, int64_t width, uint32_t *stride);
// |height| x stride as the 32-bit image size; false when it overflows.
bool ComputeImageSize(uint32_t stride, int64_t rows, uint32_t *size);

// True when count > 0 and every entry has red == green == blue.
bool IsGreyPalette(const PaletteEntry *entries, uint32_t count);

// 5-bit colour component expanded to 8 bits: floor(i * 255 / 31).
extern const uint8_t kExpand5[32];

// Rows counted towards the host's batches (RowsPerBatch rows, then
// ResponseRowsReady).
struct BatchCounter {
  uint32_t Size;   // rows per batch; 0: no batches
  uint32_t Count;  // rows of the batch in progress
};
inline void BatchStart(BatchCounter *b, const JobOptions &options) {
  b->Size = options.Batches ? options.RowsPerBatch : 0;
  b->Count = 0;
}
// One more row: true when it completes a batch.
inline bool BatchRow(BatchCounter *b) {
  if (!b->Size || ++b->Count < b->Size) return false;
  b->Count = 0;
  return true;
}

struct RowDelivery {
  ParamBlock *Block;
  uint32_t Stride;
  uint32_t Rows;       // total rows of the image
  uint32_t Header;     // bytes put ahead of the rows (header and colour table)
  BatchCounter Batches;
  bool Flipped;
  // Flipped delivery.
  uint32_t BandRows;   // R: rows the output queue holds
  uint32_t BandSize;   // rows of the current band
  int64_t Position;    // output position of the current band
  int64_t Slot;
  uint32_t Produced;
  uint32_t Delivered;  // rows handed over so far, in any discipline
};

// Prepare delivery. Flipped: fails the job with -7082 when the output queue
// cannot hold one row. Batched when the options ask for batches.
void RowDeliveryStart(RowDelivery *d, ParamBlock *block, const JobOptions &options, uint32_t stride,
                      uint32_t rows, uint32_t header, bool flipped);
// Deliver one finished row of Stride bytes.
void DeliverRow(RowDelivery *d, const uint8_t *row);
// One row of rowBytes (at most the stride) that needs no conversion, taken
// from the input queue and padded with zeros to the stride: copied straight
// into its place in the output queue where the bytes are queued already,
// else through row, a buffer of one stride whose bytes beyond rowBytes are
// zero.
void DeliverRowFromInput(RowDelivery *d, uint8_t *row, uint32_t rowBytes);
// Rows that need no conversion: straight from the input queue (plain or
// batched delivery only).
void DeliverRowsFromInput(RowDelivery *d, uint32_t rows);
// After the last row: commit the last flipped band.
void FinishRows(RowDelivery *d);

// Extended decoding of damaged files. A row of rowBytes taken from the input
// as DeliverRowFromInput does, but only once the input holds all of it:
// otherwise it is read into row (one stride, zeroed first) and delivered from
// there, so that a file ending inside the row leaves its bytes in row, never
// half a row in the output.
void DeliverWholeRowFromInput(RowDelivery *d, uint8_t *row, uint32_t rowBytes);
// The rows not yet delivered, each a copy of fill (one stride): the bitmap
// stays complete when the file's rows end early. Returns how many.
uint32_t FillRemainingRows(RowDelivery *d, const uint8_t *fill);
// A reader's rows run inside CatchFailure; these are the failures that mean
// the file's data ended or broke (the input ended, or, when corrupt, one of
// the decoding faults named), after which the rest of the image is filled.
// Anything else (the host aborting, a refused option, memory) is a failure
// of the job and is raised again.
bool IsDataFailure(int32_t status, int32_t corrupt1 = 0, int32_t corrupt2 = 0);
// Mark the job's image partial with rows filled or damaged.
void ReportDamagedRows(ParamBlock *block, uint32_t rows);
// The output queue's band capacity for flipped delivery, R = (size - 1) / stride.
uint32_t FlipBandRows(const ParamBlock *block, uint32_t stride);
