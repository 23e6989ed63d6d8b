// Run-length decoding of PCX plane lines, straight from the input queue's
// storage: the bytes already queued are read in place, and only when they are
// used up does the reader wait for the host.
#include <string.h>

#include "engine/queue.h"
#include "pcx_internal.h"

namespace {

// The contiguous stretch of queued input that starts at the read position.
struct InputWindow {
  const uint8_t *next;
  const uint8_t *limit;
};

void OpenWindow(const DataQueue *q, InputWindow *w) {
  uint8_t *f = (q->front < q->start || q->front >= q->end) ? q->start : q->front;
  uint8_t *r = (q->rear < q->start || q->rear >= q->end) ? q->start : q->rear;
  w->next = f;
  w->limit = r >= f ? r : q->end;
}

// Hand the consumed bytes back to the queue.
void CloseWindow(DataQueue *q, const InputWindow *w) {
  uint8_t *f = const_cast<uint8_t *>(w->next);
  q->front = f >= q->end ? q->start : f;
}

// The window is used up: wait for the host through the queue layer, which
// also fails the job when the file has ended.
uint8_t RefillByte(ParamBlock *block, InputWindow *w) {
  DataQueue *q = &block->InputQueue;
  CloseWindow(q, w);
  uint8_t b = ReadByte(block);
  OpenWindow(q, w);
  return b;
}

inline uint8_t NextByte(ParamBlock *block, InputWindow *w) {
  return w->next < w->limit ? *w->next++ : RefillByte(block, w);
}

}  // namespace

void PcxDecodeLine(ParamBlock *block, uint8_t *line, size_t n) {
  DataQueue *q = &block->InputQueue;
  InputWindow w;
  OpenWindow(q, &w);
  uint8_t *out = line;
  uint8_t *const stop = line + n;
  while (out < stop) {
    // Plain bytes (two top bits not both set) stand for themselves.
    while (out < stop && w.next < w.limit && *w.next < 0xC0) *out++ = *w.next++;
    if (out == stop) break;
    uint8_t b = NextByte(block, &w);
    if (b < 0xC0) {
      *out++ = b;
      continue;
    }
    size_t count = b & 0x3F;
    uint8_t value = NextByte(block, &w);
    size_t room = static_cast<size_t>(stop - out);
    if (count > room) count = room;  // the rest of the run is dropped
    if (count <= 8) {
      for (size_t i = 0; i < count; ++i) out[i] = value;
    } else {
      memset(out, value, count);
    }
    out += count;
  }
  CloseWindow(q, &w);
}
