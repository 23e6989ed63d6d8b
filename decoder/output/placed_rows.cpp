#include "output/placed_rows.h"

namespace {

// Rows per block of flipped placement: the whole image when the queue's free
// space holds it, else what the storage holds.
uint32_t BlockRowsOf(const PlacedRows *p) {
  const DataQueue *q = &p->Out->Block->OutputQueue;
  int64_t size = q->end - q->start;
  int64_t free = (q->front - q->rear) - 2 + (q->rear >= q->front ? size : 0);
  if (free < int64_t{p->Height} * p->Stride) return static_cast<uint32_t>((size - 1) / p->Stride);
  return p->Height;
}

}  // namespace

void PlacedRowsStart(PlacedRows *p, Stream *out, const JobOptions &options, uint32_t height, uint32_t stride,
                     bool flip) {
  p->Out = out;
  p->DataStart = StreamOutputPosition(out);
  p->Height = height;
  p->Stride = stride;
  p->Flip = flip;
  p->Next = p->Placed = 0;
  BatchStart(&p->Batches, options);
  p->BlockRows = flip ? BlockRowsOf(p) : 0;
}

uint8_t *PlacedRowBegin(PlacedRows *p, uint8_t *spare, uint32_t slack) {
  uint32_t r = p->Next, stride = p->Stride;
  if (p->Flip && p->Placed <= r) {
    if (p->BlockRows > 1 && r % p->BlockRows == 0) {
      uint32_t left = p->Height - r;
      if (left >= p->BlockRows)
        StreamPlace(p->Out, p->DataStart + (left - p->BlockRows) * stride, size_t{p->BlockRows} * stride);
      else
        StreamPlace(p->Out, p->DataStart, size_t{left} * stride);
    }
    StreamPlace(p->Out, p->DataStart + (p->Height - r - 1) * stride, stride);
    p->Placed = r + 1;
  }
  return StreamDecodeTarget(p->Out, size_t{stride} + slack, spare);
}

void PlacedRowEnd(PlacedRows *p, const uint8_t *row) {
  StreamPut(p->Out, row, p->Stride);
  uint32_t r = p->Next++;
  // Rows are committed when everything between the committed end and the
  // highest row written is there: always in file order, and at the end of
  // each block when flipping (a block fills from its top).
  bool complete = !p->Flip || p->BlockRows <= 1 || (r + 1) % p->BlockRows == 0 || r + 1 == p->Height;
  if (BatchRow(&p->Batches)) StreamYieldRows(p->Out, complete);
  p->Out->Block->Progress = static_cast<int32_t>(uint64_t{r} * 100 / p->Height);
}

void PlacedRowsFinish(PlacedRows *p) {
  p->Out->Block->Progress = 100;
  if (p->Flip) StreamPlace(p->Out, p->DataStart + p->Height * p->Stride, 0);
  StreamCommit(p->Out);
}
