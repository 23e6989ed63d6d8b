#include "queue.h"

#include <string.h>

#include "engine.h"

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

bool ReserveExtra(ParamBlock *block, uint32_t n) {
  if (!block->ExtraBuffer) return false;
  int64_t shortfall = static_cast<int64_t>(n) + block->ExtraUsed - block->ExtraCapacity;
  if (shortfall <= 0) return true;
  block->ExtraShortfall = shortfall > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(shortfall);
  SuspendJob(block, ResponseNeedExtra);
  return block->ExtraBuffer &&
         static_cast<int64_t>(n) + block->ExtraUsed - block->ExtraCapacity <= 0;
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
