// The input and output queues: plain arithmetic and the operations that wait.
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

// One wait for the host, the input queue being empty: ResponseNeedInput with
// the position wanted in SeekTarget (-1006 when the host aborts); false, with
// no wait, when the file has ended.
bool AskForInput(ParamBlock *block, DataQueue *q);
// One wait for room in the full output queue: ResponseNeedOutput with the
// position of the front in SeekTarget (-1014 when the host aborts).
void AskForRoom(ParamBlock *block, DataQueue *q);

// Operations that wait for the host (each may suspend or fail the job).
void ReadInput(ParamBlock *block, uint8_t *destination, DataQueue *q, size_t n);
void SkipInput(ParamBlock *block, DataQueue *q, size_t n);
uint8_t ReadByte(ParamBlock *block);  // one byte of the input queue
// The input continues at file position `target`, in SeekTarget's encoding
// (a position, or QV_SEEK_FROM_END + bytes before the end; below 2^30). With
// the whole file in the queue (WholeInput 1), the file begins at fileStart
// and is fileSize bytes long: the front moves there without a round trip
// (a position from the end of a shorter file is its first byte). Otherwise
// the host is asked with ResponseSeek. Positions past the end are the
// caller's to refuse first.
void SeekInput(ParamBlock *block, uint8_t *fileStart, uint64_t fileSize, uint32_t target);
void WriteOutput(ParamBlock *block, DataQueue *q, const uint8_t *source, size_t n);
void FillOutput(ParamBlock *block, DataQueue *q, uint8_t value, size_t n);
void CopyInputToOutput(ParamBlock *block, DataQueue *out, DataQueue *in, size_t n);
// position < 0: no seek. The bytes go to slot * n bytes ahead of front.
void WriteOutputAt(ParamBlock *block, DataQueue *q, const uint8_t *source, size_t n,
                   int64_t position, size_t slot);
void SeekThenWriteOutput(ParamBlock *block, DataQueue *q, const uint8_t *source, size_t n,
                         uint32_t position);

// Extra-data records in the host's ExtraBuffer.
bool ReserveExtra(ParamBlock *block, uint32_t n);
void AppendExtraRecord(ParamBlock *block, DataQueue *q, uint32_t n, uint32_t kind);
void AppendExtraBytes(ParamBlock *block, const void *source, uint32_t n);
