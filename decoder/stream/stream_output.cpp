// The positioned output stream.
//
// The cursor writes straight into the output queue's storage. OutBase is the
// output position of the byte at the front, so every storage pointer between
// the front and one byte before it has a position: the queue's window of
// positions runs from OutBase to OutBase + size - 2. Bytes up to the rear are
// committed (the host may take them); bytes written beyond it wait until the
// stream moves the rear, so rows can be placed in any order inside the window.
#include <string.h>

#include "engine/engine.h"
#include "stream/stream.h"

namespace {

constexpr uint32_t kQueueFlagRefused = 0x2;   // bit 1: refused when a stream starts
constexpr uint32_t kQueueFlagPlaced = 0x20;   // bit 5: cleared on every placement

size_t StorageSize(const DataQueue *q) { return static_cast<size_t>(q->end - q->start); }

// Output position of storage pointer p.
uint32_t PositionOf(const Stream *s, const DataQueue *q, const uint8_t *p) {
  size_t offset = p >= q->front ? static_cast<size_t>(p - q->front)
                                : static_cast<size_t>(q->end - q->front) + static_cast<size_t>(p - q->start);
  return s->OutBase + static_cast<uint32_t>(offset);
}

// Storage pointer of output position x, which must lie in the queue's window.
uint8_t *PointerOf(ParamBlock *block, const Stream *s, const DataQueue *q, uint32_t x) {
  if (x < s->OutBase || x - s->OutBase >= StorageSize(q)) FailJob(block, QV_ERR_OUTPUT_PLACEMENT);
  size_t offset = x - s->OutBase;
  size_t first = static_cast<size_t>(q->end - q->front);
  return offset < first ? q->front + offset : q->start + (offset - first);
}

// The writable stretch from the cursor: up to one byte before the front, or
// the storage end (one byte less when the front is at the start).
void SetLimit(Stream *s, const DataQueue *q) {
  if (s->OutCursor < q->front)
    s->OutLimit = q->front - 1;
  else
    s->OutLimit = q->front == q->start ? q->end - 1 : q->end;
}

void ResetCursorToRear(Stream *s, DataQueue *q) {
  s->OutCursor = q->rear;
  SetLimit(s, q);
  s->OutHigh = PositionOf(s, q, q->rear);
}

// OutHigh takes in the cursor, and must stay a position SeekTarget can carry
// (consuming streams count on, as the classic readers always did).
void RaiseHigh(ParamBlock *block, Stream *s, const DataQueue *q) {
  uint32_t at = PositionOf(s, q, s->OutCursor);
  if (at > s->OutHigh) s->OutHigh = at;
  if (s->OutHigh >= kSeekPositionLimit && !s->Consuming) FailJob(block, QV_ERR_BAD_HEADER);
}

void Commit(ParamBlock *block, Stream *s, DataQueue *q) {
  RaiseHigh(block, s, q);
  q->rear = PointerOf(block, s, q, s->OutHigh);
}

// After the host answered a drain: the committed bytes it left run up to
// OutHigh. Fails when it took nothing.
void AfterDrain(ParamBlock *block, Stream *s, DataQueue *q, size_t heldBefore) {
  if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_OUTPUT_ABORTED);
  NormaliseQueue(block, q);
  size_t held = QueueHeld(q);
  if (held >= heldBefore) FailJob(block, QV_ERR_OUTPUT_STALLED);
  s->OutBase = s->OutHigh - static_cast<uint32_t>(held);
}

// The queue is full, for a consuming stream: commit everything written and
// wait for room as the classic readers always waited. An abort the host set
// earlier fails the job with -1014 before it asks; a host that takes nothing
// is asked again when it has set the abort (which then fails the job), else
// the job fails with -1516.
void FlushConsuming(ParamBlock *block, Stream *s, DataQueue *q) {
  Commit(block, s, q);
  size_t before = QueueHeld(q);
  for (;;) {
    if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_OUTPUT_ABORTED);
    block->SeekTarget = QV_SEEK_OUTPUT | s->OutBase;
    SuspendJob(block, ResponseNeedOutput);
    WrapQueueEnds(block, q);
    size_t held = QueueHeld(q);
    if (held < before) {
      s->OutBase = s->OutHigh - static_cast<uint32_t>(held);
      break;
    }
    if (!(q->flags & QV_QUEUE_ABORT)) FailJob(block, QV_ERR_OUTPUT_STALLED);
  }
  ResetCursorToRear(s, q);
}

// The queue is full: commit everything written and let the host drain.
void Flush(ParamBlock *block, Stream *s, DataQueue *q) {
  if (s->Consuming) {
    FlushConsuming(block, s, q);
    return;
  }
  Commit(block, s, q);
  size_t before = QueueHeld(q);
  block->SeekTarget = QV_SEEK_OUTPUT | s->OutBase;
  SuspendJob(block, ResponseNeedOutput);
  AfterDrain(block, s, q, before);
  ResetCursorToRear(s, q);
}

// Commit, drain the whole queue at its recorded position, then ask the host
// to continue its output at x.
void DrainAndMove(ParamBlock *block, Stream *s, DataQueue *q, uint32_t x) {
  Commit(block, s, q);
  while (size_t before = QueueHeld(q)) {
    block->SeekTarget = QV_SEEK_OUTPUT | s->OutBase;
    SuspendJob(block, ResponseNeedOutput);
    AfterDrain(block, s, q, before);
  }
  block->SeekTarget = QV_SEEK_OUTPUT | x;
  SuspendJob(block, ResponseSeek);
  if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_OUTPUT_ABORTED);
  NormaliseQueue(block, q);
  s->OutBase = x;
  ResetCursorToRear(s, q);
  q->flags &= ~kQueueFlagPlaced;
}

}  // namespace

void StreamAfterResume(void *argument) {
  Stream *s = static_cast<Stream *>(argument);
  ParamBlock *block = s->Block;
  // While the job waited the host may have moved positions, of either queue,
  // outside the storage: those count as the storage start, and every pointer
  // the stream derives from them stays inside the storage. The writable
  // stretch ends where the front now is.
  DataQueue *queues[2] = {&block->InputQueue, &block->OutputQueue};
  for (DataQueue *q : queues) {
    if (!q->start) continue;
    if (q->front < q->start || q->front > q->end) q->front = q->start;
    if (q->rear < q->start || q->rear > q->end) q->rear = q->start;
  }
  if (s->OutCursor && block->OutputQueue.start) SetLimit(s, &block->OutputQueue);
}

void StreamStartOutput(Stream *s, ParamBlock *block) {
  s->Block = block;
  if (!AddResumeHook(block, StreamAfterResume, s)) FailJob(block, QV_ERR_BUFFER);
  DataQueue *q = &block->OutputQueue;
  if (!q->start || q->end <= q->start) {
    block->SeekTarget = QV_SEEK_OUTPUT;
    SuspendJob(block, ResponseNeedOutput);
    if (!q->start || q->end <= q->start) FailJob(block, QV_ERR_OUTPUT_STALLED);
  }
  if (q->flags & kQueueFlagRefused) FailJob(block, QV_ERR_QUEUE_FLAG);
  NormaliseQueue(block, q);
  s->OutBase = 0;
  ResetCursorToRear(s, q);
  q->flags &= ~kQueueFlagPlaced;
}

uint32_t StreamOutputPosition(Stream *s) {
  return PositionOf(s, &s->Block->OutputQueue, s->OutCursor);
}

void StreamPut(Stream *s, const uint8_t *source, size_t n) {
  ParamBlock *block = s->Block;
  if (source == s->OutCursor) {
    s->OutCursor += n;
    return;
  }
  DataQueue *q = &block->OutputQueue;
  while (n) {
    size_t room = static_cast<size_t>(s->OutLimit - s->OutCursor);
    if (room) {
      size_t c = n < room ? n : room;
      memcpy(s->OutCursor, source, c);
      s->OutCursor += c;
      source += c;
      n -= c;
    } else if (s->OutLimit == q->end && q->front != q->start) {
      // The storage end: the stretch goes on at the start, up to the front.
      s->OutCursor = q->start;
      s->OutLimit = q->front - 1;
    } else {
      Flush(block, s, q);
    }
  }
}

void StreamPlace(Stream *s, uint32_t x, size_t n) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->OutputQueue;
  uint64_t last = static_cast<uint64_t>(x) + n;
  if (last >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
  if (x >= s->OutBase && (n > 0 || x <= s->OutHigh) &&
      last <= static_cast<uint64_t>(s->OutBase) + StorageSize(q) - 1) {
    if (n > 0 && x < PositionOf(s, q, q->rear)) FailJob(block, QV_ERR_OUTPUT_PLACEMENT);
    RaiseHigh(block, s, q);
    s->OutCursor = PointerOf(block, s, q, x);
    if (last > s->OutHigh) s->OutHigh = static_cast<uint32_t>(last);
    SetLimit(s, q);
    if (!s->Consuming) q->flags &= ~kQueueFlagPlaced;
    return;
  }
  DrainAndMove(block, s, q, x);
}

void StreamRewriteAt(Stream *s, const uint8_t *data, size_t n, uint32_t x) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->OutputQueue;
  if (n > 0 && x < PositionOf(s, q, q->rear)) {
    // The host may already hold these bytes: let it take them, then write anew.
    if (static_cast<uint64_t>(x) + n >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
    DrainAndMove(block, s, q, x);
  } else {
    StreamPlace(s, x, n);
  }
  StreamPut(s, data, n);
}

void StreamCommit(Stream *s) {
  Commit(s->Block, s, &s->Block->OutputQueue);
}

void StreamYieldRows(Stream *s, bool commit) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->OutputQueue;
  if (commit) {
    // Everything up to the rear is written: the cursor moves there, so it
    // never points at bytes the host may take.
    Commit(block, s, q);
    s->OutCursor = q->rear;
  }
  uint32_t committedEnd = PositionOf(s, q, q->rear);
  SuspendJob(block, ResponseRowsReady);
  if (s->Consuming) {
    // An abort waits for the next time the job needs room.
    WrapQueueEnds(block, q);
    s->OutBase = committedEnd - static_cast<uint32_t>(QueueHeld(q));
    SetLimit(s, q);
    return;
  }
  if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_OUTPUT_ABORTED);
  // Bytes written beyond the rear keep their storage places, so an emptied
  // queue is not moved back to the storage start here.
  CheckQueuePositions(block, q);
  if (q->front == q->end) q->front = q->start;
  if (q->rear == q->end) q->rear = q->start;
  s->OutBase = committedEnd - static_cast<uint32_t>(QueueHeld(q));
  SetLimit(s, q);
}

// ---- Consuming streams ----------------------------------------------------

void StreamStartConsumingOutput(Stream *s) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->OutputQueue;
  WrapQueueEnds(block, q);
  s->OutBase = 0;
  s->Placing = false;
  ResetCursorToRear(s, q);
}

void StreamSettleOutput(Stream *s) {
  if (s->Placing || !s->OutCursor) return;
  DataQueue *q = &s->Block->OutputQueue;
  uint8_t *c = s->OutCursor;
  // Written in order: the cursor is the end of what is written.
  if (c < q->start || c > q->end) return;
  q->rear = c == q->end ? q->start : c;
}

namespace {
// Contiguous room at the cursor, at least one byte: across the storage end,
// or after the host drained the full queue.
size_t OutputSpace(Stream *s) {
  DataQueue *q = &s->Block->OutputQueue;
  for (;;) {
    size_t room = static_cast<size_t>(s->OutLimit - s->OutCursor);
    if (room) return room;
    if (s->OutLimit == q->end && q->front != q->start) {
      s->OutCursor = q->start;
      s->OutLimit = q->front - 1;
    } else {
      Flush(s->Block, s, q);
    }
  }
}
}  // namespace

void StreamCopyInput(Stream *s, size_t n) {
  while (n) {
    if (s->Window.Next == s->Window.End) {
      StreamNextByte(s);
      --s->Window.Next;  // the byte fetched is the window's first
    }
    size_t room = OutputSpace(s);
    size_t have = static_cast<size_t>(s->Window.End - s->Window.Next);
    size_t c = n < have ? n : have;
    if (c > room) c = room;
    memcpy(s->OutCursor, s->Window.Next, c);
    s->OutCursor += c;
    s->Window.Next += c;
    n -= c;
  }
}

void StreamFill(Stream *s, uint8_t value, size_t n) {
  while (n) {
    size_t room = OutputSpace(s);
    size_t c = n < room ? n : room;
    memset(s->OutCursor, value, c);
    s->OutCursor += c;
    n -= c;
  }
}

void StreamWaitForRoom(Stream *s, size_t n) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->OutputQueue;
  StreamSettleOutput(s);
  while (QueueFree(q) < n) FlushConsuming(block, s, q);
}

void StreamOutputMoved(Stream *s) {
  DataQueue *q = &s->Block->OutputQueue;
  s->OutCursor = q->rear;
  SetLimit(s, q);
  s->OutHigh = PositionOf(s, q, q->rear);
}

void StreamHandOverImage(Stream *s) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->OutputQueue;
  SuspendJob(block, ResponseDone);
  WrapQueueEnds(block, q);
  s->OutBase = 0;
  ResetCursorToRear(s, q);
}

void StreamMoveOutput(Stream *s, uint32_t x) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->OutputQueue;
  Commit(block, s, q);
  block->SeekTarget = QV_SEEK_OUTPUT + x;
  SuspendJob(block, ResponseSeek);
  WrapQueueEnds(block, q);
  s->OutBase = x;
  ResetCursorToRear(s, q);
}
