// The input and output queues: plain arithmetic, the rules the stream keeps
// them by, and the extra-data buffer. Everything that waits for the host is
// the stream's (stream/stream.h).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "quorvin.h"

// Positions that SeekTarget can carry: bit 30 marks an output position and
// bit 31 an input position counted from the end, so every position, input or
// output, lies below 2^30.
constexpr uint32_t kSeekPositionLimit = 0x40000000u;

// A queue position as the storage holds it: at or beyond end (or below
// start) it stands for start.
inline uint8_t *QueueSpot(const DataQueue *q, uint8_t *p) {
  return (p < q->start || p >= q->end) ? q->start : p;
}

// The job start's rule for a queue description: more than 4 bytes of
// storage, front inside it, rear inside it or at its end.
bool QueueDescriptionValid(const DataQueue *q);

// Plain arithmetic: never suspends. Positions at or beyond end (or below
// start) stand for start.
size_t QueueUsed(const DataQueue *q);
size_t QueueFree(const DataQueue *q);
size_t QueueSize(const DataQueue *q);  // end - start
void QueuePut(DataQueue *q, const uint8_t *source, size_t n);
void QueueGet(uint8_t *destination, DataQueue *q, size_t n);
// Position p advanced by n bytes, wrapping past the storage end.
uint8_t *QueueAdvance(const DataQueue *q, uint8_t *p, size_t n);

// The stricter rules of the positioned stream, which keeps its queues
// normalised after every return from the host: a rear at the storage end
// wraps to the start (failing with -7107 when the front is at the start, a
// completely filled storage); front equal to rear puts both at the start; a
// front at the storage end wraps to the start. Positions outside the storage
// end the job with -7005.
void NormaliseQueue(ParamBlock *block, DataQueue *q);
// The same rules for positions at the storage end, but an empty queue stays
// where it is.
void WrapQueueEnds(ParamBlock *block, DataQueue *q);
// The validity check alone: positions outside the storage fail with -7005.
void CheckQueuePositions(ParamBlock *block, const DataQueue *q);
// Bytes a normalised queue holds (front to rear, across the wrap).
size_t QueueHeld(const DataQueue *q);

// Extra-data records in the host's ExtraBuffer: room for n more bytes,
// asking the host once (ResponseNeedExtra) when it is short; then bytes
// appended (the stream appends records read from the input).
bool ReserveExtra(ParamBlock *block, uint32_t n);
void AppendExtraBytes(ParamBlock *block, const void *source, uint32_t n);
