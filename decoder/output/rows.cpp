#include "rows.h"

#include <string.h>

#include "engine/engine.h"
#include "engine/queue.h"

const uint8_t kExpand5[32] = {0,   8,   16,  24,  32,  41,  49,  57,  65,  74,  82,
                              90,  98,  106, 115, 123, 131, 139, 148, 156, 164, 172,
                              180, 189, 197, 205, 213, 222, 230, 238, 246, 255};

bool ComputeStride(uint32_t bits, int64_t width, uint32_t *stride) {
  if (width <= 0 || bits == 0) return false;
  int64_t s = ((static_cast<int64_t>(bits) * width + 31) >> 3) & ~int64_t{3};
  if (s <= 0 || s > 0x7FFFFFFF) return false;
  *stride = static_cast<uint32_t>(s);
  return true;
}

bool ComputeImageSize(uint32_t stride, int64_t rows, uint32_t *size) {
  if (rows < 0) rows = -rows;
  uint64_t s = static_cast<uint64_t>(stride) * static_cast<uint64_t>(rows);
  if (s > 0xFFFFFFFFull) return false;
  *size = static_cast<uint32_t>(s);
  return true;
}

bool IsGreyPalette(const PaletteEntry *entries, uint32_t count) {
  if (count == 0) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (entries[i].red != entries[i].blue || entries[i].red != entries[i].green) return false;
  return true;
}

uint32_t FlipBandRows(const ParamBlock *block, uint32_t stride) {
  size_t size = QueueSize(&block->OutputQueue);
  if (stride == 0 || size < 1) return 0;
  size_t r = (size - 1) / stride;
  return r > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(r);
}

void RowDeliveryStart(RowDelivery *d, ParamBlock *block, const JobOptions &options, uint32_t stride,
                      uint32_t rows, uint32_t header, bool flipped) {
  *d = RowDelivery{};
  d->Block = block;
  d->Stride = stride;
  d->Rows = rows;
  d->Header = header;
  d->Flipped = flipped;
  BatchStart(&d->Batches, options);
  if (flipped) {
    d->BandRows = FlipBandRows(block, stride);
    if (d->BandRows < 1) FailJob(block, QV_ERR_FLIP_ROOM);
    // Output seeks carry 30-bit positions.
    int64_t total = static_cast<int64_t>(header) + static_cast<int64_t>(rows) * stride;
    if (total >= static_cast<int64_t>(QV_SEEK_OUTPUT)) FailJob(block, QV_ERR_BAD_HEADER);
    d->Position = total;
    d->Slot = -1;
  }
}

static void CommitBand(RowDelivery *d, uint32_t rows) {
  DataQueue *q = &d->Block->OutputQueue;
  q->rear = QueueAdvance(q, q->front, static_cast<size_t>(rows) * d->Stride);
}

// Flipped delivery: the place of the next row, beginning a new band (an
// output seek, after committing the previous band) when the last one is full.
// False when the header's rows are all placed.
static bool FlipNextSlot(RowDelivery *d, size_t *slot) {
  if (d->Produced >= d->Rows) return false;  // more rows than the header promised
  if (d->Slot < 0) {
    uint32_t left = d->Rows - d->Produced;
    d->BandSize = left < d->BandRows ? left : d->BandRows;
    d->Slot = d->BandSize - 1;
    d->Position -= static_cast<int64_t>(d->BandRows) * d->Stride;
    if (d->Position < d->Header) d->Position = d->Header;
    if (d->Produced > 0) CommitBand(d, d->BandRows);
    WriteOutputAt(d->Block, &d->Block->OutputQueue, nullptr, 0, d->Position, 0);
  }
  *slot = static_cast<size_t>(d->Slot);
  --d->Slot;
  ++d->Produced;
  return true;
}

static void CountBatch(RowDelivery *d) {
  if (BatchRow(&d->Batches)) SuspendJob(d->Block, ResponseRowsReady);
}

void DeliverRow(RowDelivery *d, const uint8_t *row) {
  ParamBlock *block = d->Block;
  ++d->Delivered;
  if (!d->Flipped) {
    WriteOutput(block, &block->OutputQueue, row, d->Stride);
    CountBatch(d);
    return;
  }
  size_t slot;
  if (FlipNextSlot(d, &slot)) WriteOutputAt(block, &block->OutputQueue, row, d->Stride, -1, slot);
}

void DeliverRowFromInput(RowDelivery *d, uint8_t *row, uint32_t rowBytes) {
  ParamBlock *block = d->Block;
  DataQueue *in = &block->InputQueue, *out = &block->OutputQueue;
  if (!d->Flipped) {
    CopyInputToOutput(block, out, in, rowBytes);
    if (rowBytes < d->Stride) FillOutput(block, out, 0, d->Stride - rowBytes);
    ++d->Delivered;
    CountBatch(d);
    return;
  }
  size_t slot;
  if (!FlipNextSlot(d, &slot)) {
    SkipInput(block, in, rowBytes);
    return;
  }
  ++d->Delivered;
  if (QueueUsed(in) < rowBytes) {
    // Not all queued yet: wait for it in the row buffer.
    ReadInput(block, row, in, rowBytes);
    WriteOutputAt(block, out, row, d->Stride, -1, slot);
    return;
  }
  // Straight from the input storage to the row's place, both wrapping at
  // their ends; then the padding.
  uint8_t *src = QueueAdvance(in, in->front, 0);
  uint8_t *dst = QueueAdvance(out, out->front, slot * d->Stride);
  size_t n = rowBytes, pad = d->Stride - rowBytes;
  while (n) {
    size_t c = n;
    if (c > static_cast<size_t>(in->end - src)) c = static_cast<size_t>(in->end - src);
    if (c > static_cast<size_t>(out->end - dst)) c = static_cast<size_t>(out->end - dst);
    memcpy(dst, src, c);
    n -= c;
    src += c;
    dst += c;
    if (src == in->end) src = in->start;
    if (dst == out->end) dst = out->start;
  }
  in->front = src;
  while (pad) {
    size_t c = pad < static_cast<size_t>(out->end - dst) ? pad : static_cast<size_t>(out->end - dst);
    memset(dst, 0, c);
    pad -= c;
    dst = out->start;
  }
}

void DeliverRowsFromInput(RowDelivery *d, uint32_t rows) {
  ParamBlock *block = d->Block;
  if (!d->Batches.Size) {
    CopyInputToOutput(block, &block->OutputQueue, &block->InputQueue,
                      static_cast<size_t>(rows) * d->Stride);
    d->Delivered += rows;
    return;
  }
  while (rows) {
    uint32_t n = rows < d->Batches.Size ? rows : d->Batches.Size;
    CopyInputToOutput(block, &block->OutputQueue, &block->InputQueue,
                      static_cast<size_t>(n) * d->Stride);
    d->Delivered += n;
    rows -= n;
    SuspendJob(block, ResponseRowsReady);
  }
}

void FinishRows(RowDelivery *d) {
  if (d->Flipped && d->Produced > 0) CommitBand(d, d->BandSize);
}

void DeliverWholeRowFromInput(RowDelivery *d, uint8_t *row, uint32_t rowBytes) {
  ParamBlock *block = d->Block;
  if (QueueUsed(&block->InputQueue) >= rowBytes) {
    DeliverRowFromInput(d, row, rowBytes);
    return;
  }
  memset(row, 0, d->Stride);
  ReadInput(block, row, &block->InputQueue, rowBytes);
  DeliverRow(d, row);
}

uint32_t FillRemainingRows(RowDelivery *d, const uint8_t *fill) {
  uint32_t filled = 0;
  while (d->Delivered < d->Rows) {
    DeliverRow(d, fill);
    ++filled;
  }
  return filled;
}

bool IsDataFailure(int32_t status, int32_t corrupt1, int32_t corrupt2) {
  return status == QV_ERR_INPUT_ENDED || (corrupt1 && status == corrupt1) ||
         (corrupt2 && status == corrupt2);
}

void ReportDamagedRows(ParamBlock *block, uint32_t rows) {
  if (!rows) return;
  block->Flags |= QV_FLAG_PARTIAL;
  block->DamagedRows += rows;
}
