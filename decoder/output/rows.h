// Output bitmap layout, the batch count, and what the readers share about
// damaged files. Rows reach the host through the stream: StreamRows
// (output/stream_rows.h) for the classic readers, PlacedRows
// (output/placed_rows.h) for the others.
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
