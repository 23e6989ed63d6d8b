#include "output/stream_rows.h"

#include <string.h>

#include "engine/engine.h"

void StreamRowsStart(StreamRows *d, Stream *io, const JobOptions &options, uint32_t stride, uint32_t rows,
                     uint32_t header, bool flipped) {
  *d = StreamRows{};
  d->Io = io;
  d->Stride = stride;
  d->Rows = rows;
  d->Header = header;
  d->Flipped = flipped;
  BatchStart(&d->Batches, options);
  if (flipped) {
    ParamBlock *block = io->Block;
    d->BandRows = FlipBandRows(block, stride);
    if (d->BandRows < 1) FailJob(block, QV_ERR_FLIP_ROOM);
    // Output seeks carry 30-bit positions.
    int64_t total = static_cast<int64_t>(header) + static_cast<int64_t>(rows) * stride;
    if (total >= static_cast<int64_t>(QV_SEEK_OUTPUT)) FailJob(block, QV_ERR_BAD_HEADER);
    d->Position = total;
    d->Slot = -1;
  }
}

namespace {

// Flipped: the output position of the next row, beginning a new band when the
// last one is full (the band before is committed and the host moves to the
// new one). False when the header's rows are all placed.
bool NextPlace(StreamRows *d, uint32_t *x) {
  if (d->Produced >= d->Rows) return false;  // more rows than the header promised
  if (d->Slot < 0) {
    uint32_t left = d->Rows - d->Produced;
    d->BandSize = left < d->BandRows ? left : d->BandRows;
    d->Slot = d->BandSize - 1;
    d->Position -= static_cast<int64_t>(d->BandRows) * d->Stride;
    if (d->Position < d->Header) d->Position = d->Header;
    d->Io->Placing = true;
    StreamMoveOutput(d->Io, static_cast<uint32_t>(d->Position));
  }
  *x = static_cast<uint32_t>(d->Position + d->Slot * d->Stride);
  --d->Slot;
  ++d->Produced;
  return true;
}

void CountBatch(StreamRows *d) {
  if (BatchRow(&d->Batches)) StreamYieldRows(d->Io, true);
}

}  // namespace

void StreamRowsDeliver(StreamRows *d, const uint8_t *row) {
  ++d->Delivered;
  if (!d->Flipped) {
    StreamPut(d->Io, row, d->Stride);
    CountBatch(d);
    return;
  }
  uint32_t x;
  if (!NextPlace(d, &x)) return;
  StreamPlace(d->Io, x, d->Stride);
  StreamPut(d->Io, row, d->Stride);
}

void StreamRowsFromInput(StreamRows *d, uint8_t *row, uint32_t rowBytes) {
  Stream *io = d->Io;
  if (!d->Flipped) {
    StreamCopyInput(io, rowBytes);
    if (rowBytes < d->Stride) StreamFill(io, 0, d->Stride - rowBytes);
    ++d->Delivered;
    CountBatch(d);
    return;
  }
  uint32_t x;
  if (!NextPlace(d, &x)) {
    StreamSkip(io, rowBytes);
    return;
  }
  ++d->Delivered;
  StreamPlace(io, x, d->Stride);
  if (StreamOutputRoom(io) >= d->Stride) {
    // Read into place, then the padding.
    uint8_t *at = io->OutCursor;
    StreamRead(io, at, rowBytes);
    memset(at + rowBytes, 0, d->Stride - rowBytes);
    StreamPut(io, at, d->Stride);
  } else {
    StreamRead(io, row, rowBytes);
    StreamPut(io, row, d->Stride);
  }
}

void StreamRowsManyFromInput(StreamRows *d, uint32_t rows) {
  if (!d->Batches.Size) {
    StreamCopyInput(d->Io, static_cast<size_t>(rows) * d->Stride);
    d->Delivered += rows;
    return;
  }
  while (rows) {
    uint32_t n = rows < d->Batches.Size ? rows : d->Batches.Size;
    StreamCopyInput(d->Io, static_cast<size_t>(n) * d->Stride);
    d->Delivered += n;
    rows -= n;
    StreamYieldRows(d->Io, true);
  }
}

void StreamRowsFinish(StreamRows *d) {
  if (!d->Flipped || d->Produced == 0) return;
  // The last band, up to its top row (the first one written into it).
  Stream *io = d->Io;
  StreamCommit(io);
  io->OutCursor = io->Block->OutputQueue.rear;
  io->Placing = false;
}

void StreamRowsWholeFromInput(StreamRows *d, uint8_t *row, uint32_t rowBytes) {
  if (StreamQueued(d->Io) >= rowBytes) {
    StreamRowsFromInput(d, row, rowBytes);
    return;
  }
  memset(row, 0, d->Stride);
  StreamRead(d->Io, row, rowBytes);
  StreamRowsDeliver(d, row);
}

uint32_t StreamRowsFillRemaining(StreamRows *d, const uint8_t *fill) {
  uint32_t filled = 0;
  while (d->Delivered < d->Rows) {
    StreamRowsDeliver(d, fill);
    ++filled;
  }
  return filled;
}
