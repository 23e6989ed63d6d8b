#include "queue.h"

#include <string.h>

#include "engine.h"

bool AskForInput(ParamBlock *block, DataQueue *q) {
  if (q->flags & QV_QUEUE_END_OF_DATA) return false;
  if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_INPUT_ABORTED);
  block->SeekTarget = InputPositionWanted(block);
  SuspendJob(block, ResponseNeedInput);
  return true;
}

void AskForRoom(ParamBlock *block, DataQueue *q) {
  if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_OUTPUT_ABORTED);
  block->SeekTarget = QV_SEEK_OUTPUT | OutputFrontPosition(block);
  SuspendJob(block, ResponseNeedOutput);
}

namespace {

void WaitForInput(ParamBlock *block, DataQueue *q) {
  if (!AskForInput(block, q)) FailJob(block, QV_ERR_INPUT_ENDED);
}

void WaitForOutput(ParamBlock *block, DataQueue *q) { AskForRoom(block, q); }

// Bytes the input queue holds, waiting for the host while it holds none.
size_t AwaitInput(ParamBlock *block, DataQueue *q) {
  size_t a = QueueUsed(q);
  while (a < 1) {
    WaitForInput(block, q);
    a = QueueUsed(q);
  }
  return a;
}

// Free bytes of the output queue, waiting for the host while it has none.
size_t AwaitOutput(ParamBlock *block, DataQueue *q) {
  size_t f = QueueFree(q);
  while (f < 1) {
    WaitForOutput(block, q);
    f = QueueFree(q);
  }
  return f;
}

// Copy n bytes into the storage at p, wrapping at the end as often as needed.
void CopyInWrapped(const DataQueue *q, uint8_t *p, const uint8_t *source, size_t n) {
  while (n) {
    size_t room = static_cast<size_t>(q->end - p);
    size_t c = n < room ? n : room;
    memcpy(p, source, c);
    source += c;
    n -= c;
    p = q->start;
  }
}

}  // namespace

bool QueueDescriptionValid(const DataQueue *q) {
  uintptr_t start = reinterpret_cast<uintptr_t>(q->start);
  uintptr_t end = reinterpret_cast<uintptr_t>(q->end);
  uintptr_t front = reinterpret_cast<uintptr_t>(q->front);
  uintptr_t rear = reinterpret_cast<uintptr_t>(q->rear);
  return static_cast<intptr_t>(end - start) > 4 && front >= start && front < end &&
         rear >= start && rear <= end;
}

size_t QueueSize(const DataQueue *q) { return static_cast<size_t>(q->end - q->start); }

size_t QueueUsed(const DataQueue *q) {
  uint8_t *f = QueueSpot(q, q->front), *r = QueueSpot(q, q->rear);
  if (f == r) return 0;
  if (r > f) return static_cast<size_t>(r - f);
  return static_cast<size_t>((q->end - f) + (r - q->start));
}

size_t QueueFree(const DataQueue *q) {
  uint8_t *f = QueueSpot(q, q->front), *r = QueueSpot(q, q->rear);
  if (r >= f) return QueueSize(q) - static_cast<size_t>(r - f) - 1;
  return static_cast<size_t>(f - r) - 1;
}

uint8_t *QueueAdvance(const DataQueue *q, uint8_t *p, size_t n) {
  p = QueueSpot(q, p);
  size_t size = QueueSize(q);
  size_t offset = (static_cast<size_t>(p - q->start) + n % size) % size;
  return q->start + offset;
}

void QueuePut(DataQueue *q, const uint8_t *source, size_t n) {
  if (n == 0) return;
  uint8_t *r = QueueSpot(q, q->rear);
  size_t first = static_cast<size_t>(q->end - r);
  if (n <= first) {
    memcpy(r, source, n);
    r += n;
  } else {
    memcpy(r, source, first);
    memcpy(q->start, source + first, n - first);
    r = q->start + (n - first);
  }
  q->rear = (r == q->end) ? q->start : r;
}

void QueueGet(uint8_t *destination, DataQueue *q, size_t n) {
  if (n == 0) return;
  uint8_t *f = QueueSpot(q, q->front);
  size_t first = static_cast<size_t>(q->end - f);
  if (n <= first) {
    memcpy(destination, f, n);
    f += n;
  } else {
    memcpy(destination, f, first);
    memcpy(destination + first, q->start, n - first);
    f = q->start + (n - first);
  }
  q->front = (f == q->end) ? q->start : f;
}

void ReadInput(ParamBlock *block, uint8_t *destination, DataQueue *q, size_t n) {
  while (n) {
    size_t a = AwaitInput(block, q);
    size_t c = n < a ? n : a;
    QueueGet(destination, q, c);
    destination += c;
    n -= c;
  }
}

void SkipInput(ParamBlock *block, DataQueue *q, size_t n) {
  while (n) {
    size_t a = AwaitInput(block, q);
    size_t c = n < a ? n : a;
    q->front = QueueAdvance(q, q->front, c);
    n -= c;
  }
}

void SeekInput(ParamBlock *block, uint8_t *fileStart, uint64_t fileSize, uint32_t target) {
  if (block->WholeInput != 1) {
    block->SeekTarget = target;
    SuspendJob(block, ResponseSeek);
    return;
  }
  uint64_t position = target;
  if (target & QV_SEEK_FROM_END) {
    uint64_t back = target & (kSeekPositionLimit - 1);
    position = fileSize > back ? fileSize - back : 0;
  }
  DataQueue *in = &block->InputQueue;
  in->front = fileStart;
  SkipInput(block, in, static_cast<size_t>(position));
}

uint8_t ReadByte(ParamBlock *block) {
  uint8_t v;
  ReadInput(block, &v, &block->InputQueue, 1);
  return v;
}

void WriteOutput(ParamBlock *block, DataQueue *q, const uint8_t *source, size_t n) {
  while (n) {
    size_t f = AwaitOutput(block, q);
    size_t c = n < f ? n : f;
    QueuePut(q, source, c);
    source += c;
    n -= c;
  }
}

void FillOutput(ParamBlock *block, DataQueue *q, uint8_t value, size_t n) {
  while (n) {
    size_t f = AwaitOutput(block, q);
    size_t c = n < f ? n : f;
    uint8_t *r = QueueSpot(q, q->rear);
    size_t first = static_cast<size_t>(q->end - r);
    if (c <= first) {
      memset(r, value, c);
    } else {
      memset(r, value, first);
      memset(q->start, value, c - first);
    }
    q->rear = QueueAdvance(q, r, c);
    n -= c;
  }
}

void CopyInputToOutput(ParamBlock *block, DataQueue *out, DataQueue *in, size_t n) {
  while (n) {
    AwaitInput(block, in);
    size_t f = AwaitOutput(block, out);
    // Counted after the wait for output: the host may have changed the input
    // queue's positions meanwhile.
    size_t a = QueueUsed(in);
    if (a == 0) continue;
    size_t p = n < a ? n : a;
    if (p > f) p = f;
    uint8_t *src = QueueSpot(in, in->front);
    uint8_t *dst = QueueSpot(out, out->rear);
    size_t inRun = static_cast<size_t>(in->end - src);
    size_t outRun = static_cast<size_t>(out->end - dst);
    if (p <= inRun && p <= outRun) {
      memcpy(dst, src, p);
    } else if (p <= inRun) {  // only the output wraps
      memcpy(dst, src, outRun);
      memcpy(out->start, src + outRun, p - outRun);
    } else if (p <= outRun) {  // only the input wraps
      memcpy(dst, src, inRun);
      memcpy(dst + inRun, in->start, p - inRun);
    } else {  // both wrap: three pieces, split at the nearer end first
      size_t a1 = inRun < outRun ? inRun : outRun;
      memcpy(dst, src, a1);
      uint8_t *s2 = src + a1 == in->end ? in->start : src + a1;
      uint8_t *d2 = dst + a1 == out->end ? out->start : dst + a1;
      size_t rest = p - a1;
      size_t inRun2 = static_cast<size_t>(in->end - s2);
      size_t outRun2 = static_cast<size_t>(out->end - d2);
      size_t a2 = rest < inRun2 ? rest : inRun2;
      if (a2 > outRun2) a2 = outRun2;
      memcpy(d2, s2, a2);
      s2 = s2 + a2 == in->end ? in->start : s2 + a2;
      d2 = d2 + a2 == out->end ? out->start : d2 + a2;
      memcpy(d2, s2, rest - a2);
    }
    in->front = QueueAdvance(in, src, p);
    out->rear = QueueAdvance(out, dst, p);
    n -= p;
  }
}

void WriteOutputAt(ParamBlock *block, DataQueue *q, const uint8_t *source, size_t n,
                   int64_t position, size_t slot) {
  if (position >= 0) {
    block->SeekTarget = QV_SEEK_OUTPUT + static_cast<uint32_t>(position);
    SuspendJob(block, ResponseSeek);
  }
  // The slot lies ahead of front; wrapping keeps every byte inside the storage.
  uint8_t *p = QueueAdvance(q, q->front, slot * n);
  CopyInWrapped(q, p, source, n);
}

void SeekThenWriteOutput(ParamBlock *block, DataQueue *q, const uint8_t *source, size_t n,
                         uint32_t position) {
  block->SeekTarget = QV_SEEK_OUTPUT + position;
  SuspendJob(block, ResponseSeek);
  WriteOutput(block, q, source, n);
}

bool ReserveExtra(ParamBlock *block, uint32_t n) {
  if (!block->ExtraBuffer) return false;
  int64_t shortfall = static_cast<int64_t>(n) + block->ExtraUsed - block->ExtraCapacity;
  if (shortfall <= 0) return true;
  block->ExtraShortfall = shortfall > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(shortfall);
  SuspendJob(block, ResponseNeedExtra);
  return block->ExtraBuffer &&
         static_cast<int64_t>(n) + block->ExtraUsed - block->ExtraCapacity <= 0;
}

void AppendExtraRecord(ParamBlock *block, DataQueue *q, uint32_t n, uint32_t kind) {
  uint8_t *at = block->ExtraBuffer + block->ExtraUsed;
  memcpy(at, &kind, 4);
  memcpy(at + 4, &n, 4);
  ReadInput(block, at + 8, q, n);
  block->ExtraUsed += n + 8;
}

void AppendExtraBytes(ParamBlock *block, const void *source, uint32_t n) {
  memcpy(block->ExtraBuffer + block->ExtraUsed, source, n);
  block->ExtraUsed += n;
}

// ---- Queues as the positioned stream keeps them ----------------------------

size_t QueueHeld(const DataQueue *q) {
  if (q->rear >= q->front) return static_cast<size_t>(q->rear - q->front);
  return static_cast<size_t>(q->end - q->front) + static_cast<size_t>(q->rear - q->start);
}

void CheckQueuePositions(ParamBlock *block, const DataQueue *q) {
  if (!q->start || q->end <= q->start || q->front < q->start || q->front > q->end ||
      q->rear < q->start || q->rear > q->end)
    FailJob(block, QV_ERR_BAD_OPTION);
}

void WrapQueueEnds(ParamBlock *block, DataQueue *q) {
  CheckQueuePositions(block, q);
  if (q->rear == q->end) {
    if (q->front == q->start) FailJob(block, QV_ERR_QUEUE_OVERFULL);
    q->rear = q->start;
  }
  if (q->front == q->end) q->front = q->start;
}

void NormaliseQueue(ParamBlock *block, DataQueue *q) {
  WrapQueueEnds(block, q);
  if (q->front == q->rear) q->front = q->rear = q->start;
}
