// The positioned input stream.
//
// The queue's front stays where the stream found it while the window walks
// over the queued bytes; only when every queued byte has been read does the
// stream empty the queue (front = rear = start), add the bytes to InBase and
// wait for the host to append file bytes from the next position.
#include <string.h>

#include "engine/engine.h"
#include "stream/stream.h"

namespace {

constexpr uint8_t kQueueFlagRefused = 0x2;  // bit 1: refused when a stream starts

// The window over the queued bytes from p: up to the rear, or up to the
// storage end when the queued bytes wrap past it.
void OpenWindowAt(Stream *s, const DataQueue *q, uint8_t *p) {
  s->Window.Next = p;
  s->Window.End = (q->rear >= p) ? q->rear : q->end;
}

// Open the window at p: directly over the storage, or (reversing) empty, with
// the reversal starting at p.
void OpenAt(Stream *s, const DataQueue *q, uint8_t *p) {
  if (s->ReverseBits) {
    s->Reversed = p;
    s->Window.Next = s->Window.End = s->ReversalBuffer;
  } else {
    OpenWindowAt(s, q, p);
  }
}

// Queue pointer of the next unread byte (the window's position in the queue).
uint8_t *ReadPointer(const Stream *s) {
  if (s->ReverseBits) {
    // Bytes still in the reversal buffer precede the reversal point (a
    // refill never crosses the storage end).
    return s->Reversed - (s->Window.End - s->Window.Next);
  }
  return const_cast<uint8_t *>(s->Window.Next);
}

// Offset of queue pointer p from the front, across the wrap.
size_t FromFront(const DataQueue *q, const uint8_t *p) {
  if (p >= q->front) return static_cast<size_t>(p - q->front);
  return static_cast<size_t>(q->end - q->front) + static_cast<size_t>(p - q->start);
}

// Every queued byte has been read: empty the queue and wait for the host to
// append the bytes that follow. Leaves the window open over the new bytes.
// When the file has ended (the host says so, before or instead of adding
// bytes) the job fails with -1013, or with endFails clear the answer is
// false (a file known to have ended leaves the queue as it is).
bool WaitForInput(Stream *s, bool endFails) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->InputQueue;
  size_t held = QueueHeld(q);
  if (s->InFromEnd) {
    // Counting back from the end: the file has no byte left when this reaches 0.
    uint32_t base = held < s->InBase ? s->InBase - static_cast<uint32_t>(held) : 0;
    bool ended = base == 0 || (q->flags & QV_QUEUE_END_OF_DATA);
    if (ended && !endFails) return false;
    s->InBase = base;
    q->front = q->rear = q->start;
    if (ended) FailJob(block, QV_ERR_INPUT_ENDED);
    block->SeekTarget = QV_SEEK_FROM_END | s->InBase;
  } else {
    bool ended = q->flags & QV_QUEUE_END_OF_DATA;
    if (ended && !endFails) return false;
    uint64_t next = static_cast<uint64_t>(s->InBase) + held;
    if (next >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
    s->InBase = static_cast<uint32_t>(next);
    q->front = q->rear = q->start;
    if (ended) FailJob(block, QV_ERR_INPUT_ENDED);
    block->SeekTarget = s->InBase;
  }
  SuspendJob(block, ResponseNeedInput);
  NormaliseQueue(block, q);
  if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_INPUT_ABORTED);
  if (q->front == q->rear) {
    if (!(q->flags & QV_QUEUE_END_OF_DATA)) FailJob(block, QV_ERR_INPUT_STALLED);
    if (endFails) FailJob(block, QV_ERR_INPUT_ENDED);
    return false;
  }
  // The host may have moved the front; its bytes are file position InBase.
  OpenAt(s, q, q->front);
  return true;
}

}  // namespace

// ---- Consuming streams ----------------------------------------------------

namespace {

// Unread bytes from queue pointer p (inside the storage) up to the rear.
size_t UnreadFrom(const DataQueue *q, const uint8_t *p) {
  if (q->rear >= p) return static_cast<size_t>(q->rear - p);
  return static_cast<size_t>(q->end - p) + static_cast<size_t>(q->rear - q->start);
}

// Every queued byte is read (the front is at the rear): the job waits as the
// classic readers always waited. A file that has ended fails the job with
// -1013 (or, endFails clear, is the answer false, the queue left as it is);
// an abort the host set earlier fails it with -1006; else ResponseNeedInput
// with the position after the last byte the host put in, until the host
// queues a byte or says the file has ended. A host that does neither fails
// it with -1515.
bool WaitConsuming(Stream *s, bool endFails) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->InputQueue;
  for (;;) {
    if (q->flags & QV_QUEUE_END_OF_DATA) {
      if (endFails) FailJob(block, QV_ERR_INPUT_ENDED);
      return false;
    }
    if (q->flags & QV_QUEUE_ABORT) FailJob(block, QV_ERR_INPUT_ABORTED);
    block->SeekTarget = s->InFromEnd ? (QV_SEEK_FROM_END | s->InBase) : s->InBase;
    SuspendJob(block, ResponseNeedInput);
    WrapQueueEnds(block, q);
    if (q->front != q->rear) {
      OpenAt(s, q, q->front);
      return true;
    }
    if (!(q->flags & QV_QUEUE_END_OF_DATA)) FailJob(block, QV_ERR_INPUT_STALLED);
  }
}

bool FetchConsuming(Stream *s, uint8_t *v, bool endFails) {
  DataQueue *q = &s->Block->InputQueue;
  bool crossed = false;
  for (;;) {
    if (s->Window.Next < s->Window.End) {
      *v = *s->Window.Next++;
      if (crossed) s->Mark = s->Window.Next;  // the byte that crossed the stretch's end is handed back
      return true;
    }
    // The window is used up. One that ends at the storage end right where the
    // bytes were last handed back would, opened there, have gone on at the
    // storage start already: reaching the start crosses nothing.
    bool fresh = s->Window.Next == q->end && s->Mark == s->Window.Next;
    StreamSettleInput(s);
    if (!fresh) crossed = true;
    if (s->Window.Next < s->Window.End) continue;
    if (q->front != q->rear) {
      OpenAt(s, q, q->front);
      continue;
    }
    if (!WaitConsuming(s, endFails)) return false;
    crossed = true;
  }
}

void BeforeLeave(void *argument, int response) {
  Stream *s = static_cast<Stream *>(argument);
  if (response == ResponseError && s->Lagging) {
    DataQueue *q = &s->Block->InputQueue;
    uint8_t *p = const_cast<uint8_t *>(s->Mark);
    if (p >= q->start && p <= q->end) q->front = p == q->end ? q->start : p;
  } else {
    StreamSettleInput(s);
  }
  StreamSettleOutput(s);
}

}  // namespace

void StreamLagFront(Stream *s, bool on) {
  s->Lagging = on;
  s->Mark = s->Window.Next;
}

void StreamSettleInput(Stream *s) {
  DataQueue *q = &s->Block->InputQueue;
  uint8_t *p = const_cast<uint8_t *>(s->Window.Next);
  // A host that replaced the storage (the job then fails) keeps its positions.
  if (p < q->start || p > q->end || q->front < q->start || q->front > q->end) return;
  uint32_t n = static_cast<uint32_t>(FromFront(q, p));
  if (p == q->end) {
    // The queued bytes go on at the storage start (if any are left).
    s->Window.End = q->rear < q->front ? q->rear : q->start;
    p = q->start;
    s->Window.Next = p;
  }
  q->front = p;
  s->Mark = p;
  if (s->InFromEnd)
    s->InBase = n < s->InBase ? s->InBase - n : 0;
  else
    s->InBase += n;
}

void StreamStartConsuming(Stream *s, ParamBlock *block) {
  s->Block = block;
  s->Consuming = true;
  if (!AddResumeHook(block, StreamAfterResume, s) || !AddLeaveHook(block, BeforeLeave, s))
    FailJob(block, QV_ERR_BUFFER);
  DataQueue *q = &block->InputQueue;
  WrapQueueEnds(block, q);
  s->InBase = 0;
  s->InFromEnd = false;
  s->ReverseBits = false;
  s->ReversalBuffer = nullptr;
  s->FileStart = q->front;
  s->FileSize = QueueHeld(q);
  OpenAt(s, q, q->front);
  StreamStartConsumingOutput(s);
}

void StreamEndConsuming(Stream *s) {
  StreamSettleInput(s);
  StreamSettleOutput(s);
  DropHooks(s->Block, s);
}

void StreamMoveInput(Stream *s, uint32_t target) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->InputQueue;
  if (block->WholeInput != 1) {
    block->SeekTarget = target;
    SuspendJob(block, ResponseSeek);
    WrapQueueEnds(block, q);
    s->InFromEnd = (target & QV_SEEK_FROM_END) != 0;
    s->InBase = target & (kSeekPositionLimit - 1);
    OpenAt(s, q, q->front);
    return;
  }
  uint64_t position = target;
  if (target & QV_SEEK_FROM_END) {
    uint64_t back = target & (kSeekPositionLimit - 1);
    position = s->FileSize > back ? s->FileSize - back : 0;
  }
  q->front = s->FileStart;
  s->InBase = 0;
  s->InFromEnd = false;
  OpenAt(s, q, q->front);
  StreamSkip(s, static_cast<size_t>(position));
}

size_t StreamQueued(const Stream *s) {
  const DataQueue *q = &s->Block->InputQueue;
  const uint8_t *p = s->Window.Next;
  if (p == q->end) p = q->start;
  return p == q->rear ? 0 : UnreadFrom(q, p);
}

void StreamReadExtraRecord(Stream *s, uint32_t n, uint32_t kind) {
  ParamBlock *block = s->Block;
  uint8_t *at = block->ExtraBuffer + block->ExtraUsed;
  memcpy(at, &kind, 4);
  memcpy(at + 4, &n, 4);
  StreamRead(s, at + 8, n);
  block->ExtraUsed += n + 8;
}

void StreamStartInput(Stream *s, ParamBlock *block) {
  s->Block = block;
  if (!AddResumeHook(block, StreamAfterResume, s)) FailJob(block, QV_ERR_BUFFER);
  DataQueue *q = &block->InputQueue;
  if (!q->start || q->end <= q->start) {
    block->SeekTarget = 0;
    SuspendJob(block, ResponseNeedInput);
    if (!q->start || q->end <= q->start) FailJob(block, QV_ERR_INPUT_STALLED);
  }
  if (q->flags & kQueueFlagRefused) FailJob(block, QV_ERR_QUEUE_FLAG);
  NormaliseQueue(block, q);
  s->InBase = 0;
  s->InFromEnd = false;
  s->ReverseBits = false;
  s->ReversalBuffer = nullptr;
  OpenAt(s, q, q->front);
}

uint32_t StreamInputPosition(Stream *s) {
  const DataQueue *q = &s->Block->InputQueue;
  return s->InBase + static_cast<uint32_t>(FromFront(q, ReadPointer(s)));
}

void StreamSeek(Stream *s, uint32_t position) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->InputQueue;
  if (position >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
  size_t held = QueueHeld(q);
  if (!s->InFromEnd && position >= s->InBase && position - s->InBase <= held) {
    size_t offset = position - s->InBase;
    size_t first = static_cast<size_t>(q->end - q->front);
    uint8_t *p = offset < first ? q->front + offset : q->start + (offset - first);
    OpenAt(s, q, p);
    return;
  }
  q->front = q->rear = q->start;
  block->SeekTarget = position;
  SuspendJob(block, ResponseSeek);
  NormaliseQueue(block, q);
  s->InBase = position;
  s->InFromEnd = false;
  OpenAt(s, q, q->front);
}

void StreamSeekFromEnd(Stream *s, uint32_t n) {
  ParamBlock *block = s->Block;
  DataQueue *q = &block->InputQueue;
  if (n >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
  q->front = q->rear = q->start;
  block->SeekTarget = QV_SEEK_FROM_END | n;
  SuspendJob(block, ResponseSeek);
  NormaliseQueue(block, q);
  s->InBase = n;
  s->InFromEnd = true;
  OpenAt(s, q, q->front);
}

bool StreamRefillReversed(Stream *s) {
  DataQueue *q = &s->Block->InputQueue;
  uint8_t *p = s->Reversed;
  if (p == q->end && q->rear < q->front) p = q->start;  // the queued bytes wrap here
  if (p == q->rear) {
    s->Reversed = p;
    return false;
  }
  const uint8_t *stop = (q->rear > p) ? q->rear : q->end;
  size_t n = static_cast<size_t>(stop - p);
  if (n == 0) return false;
  if (n > kReversalBufferSize) n = kReversalBufferSize;
  uint8_t *out = s->ReversalBuffer;
  for (size_t i = 0; i < n; ++i) out[i] = kBitReverseTable.v[p[i]];
  s->Reversed = p + n;
  s->Window.Next = out;
  s->Window.End = out + n;
  return true;
}

namespace {
// The next byte into *v; false (with endFails clear) when the file has ended.
bool FetchByte(Stream *s, uint8_t *v, bool endFails) {
  if (s->Consuming) return FetchConsuming(s, v, endFails);
  DataQueue *q = &s->Block->InputQueue;
  for (;;) {
    if (s->Window.Next < s->Window.End) {
      *v = *s->Window.Next++;
      return true;
    }
    if (s->ReverseBits) {
      if (StreamRefillReversed(s)) continue;
    } else if (s->Window.End == q->end && q->rear < q->front && q->start < q->rear) {
      // The queued bytes continue at the storage start.
      OpenWindowAt(s, q, q->start);
      continue;
    }
    if (!WaitForInput(s, endFails)) return false;
  }
}
}  // namespace

uint8_t StreamNextByte(Stream *s) {
  uint8_t v;
  FetchByte(s, &v, true);
  return v;
}

bool StreamNextByteUntilEnd(Stream *s, uint8_t *v) { return FetchByte(s, v, false); }

uint16_t StreamWord(Stream *s) {
  if (s->Window.End - s->Window.Next >= 2) {
    uint16_t v = static_cast<uint16_t>(s->Window.Next[0] | s->Window.Next[1] << 8);
    s->Window.Next += 2;
    return v;
  }
  uint16_t lo = StreamNextByte(s);
  return static_cast<uint16_t>(lo | StreamNextByte(s) << 8);
}

uint32_t StreamLong(Stream *s) {
  uint32_t lo = StreamWord(s);
  return lo | static_cast<uint32_t>(StreamWord(s)) << 16;
}

void StreamRead(Stream *s, uint8_t *destination, size_t n) {
  bool crossed = false;
  while (n) {
    size_t have = static_cast<size_t>(s->Window.End - s->Window.Next);
    if (have == 0) {
      *destination++ = StreamNextByte(s);
      --n;
      crossed = true;
      continue;
    }
    size_t c = n < have ? n : have;
    memcpy(destination, s->Window.Next, c);
    s->Window.Next += c;
    destination += c;
    n -= c;
  }
  // A read across the stretch's end is handed back whole.
  if (crossed) s->Mark = s->Window.Next;
}

void StreamSkip(Stream *s, size_t n) {
  while (n) {
    size_t have = static_cast<size_t>(s->Window.End - s->Window.Next);
    if (have == 0) {
      StreamNextByte(s);
      --n;
      continue;
    }
    size_t c = n < have ? n : have;
    s->Window.Next += c;
    n -= c;
  }
}

size_t StreamTake(Stream *s, size_t most, const uint8_t **bytes) {
  if (s->Window.Next == s->Window.End) {
    uint8_t first;
    if (!StreamNextByteUntilEnd(s, &first)) return 0;
    --s->Window.Next;  // the byte fetched is the window's first
  }
  size_t n = static_cast<size_t>(s->Window.End - s->Window.Next);
  if (n > most) n = most;
  *bytes = s->Window.Next;
  s->Window.Next += n;
  return n;
}

void StreamReverseInput(Stream *s, uint8_t *buffer) {
  if (s->ReverseBits) return;
  DataQueue *q = &s->Block->InputQueue;
  uint8_t *at = ReadPointer(s);
  s->ReverseBits = true;
  s->ReversalBuffer = buffer;
  OpenAt(s, q, at);
}
