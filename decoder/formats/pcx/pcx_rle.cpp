// Run-length decoding of PCX plane lines, straight from the input queue's
// storage: the bytes already queued are read in place, and only when they are
// used up does the reader wait for the host.
#include <string.h>

#include "output/input_window.h"
#include "pcx_internal.h"

void PcxDecodeLine(ParamBlock *block, uint8_t *line, size_t n) {
  DataQueue *q = &block->InputQueue;
  QueueWindow w;
  OpenWindow(q, &w);
  uint8_t *out = line;
  uint8_t *const stop = line + n;
  while (out < stop) {
    // Plain bytes (two top bits not both set) stand for themselves.
    while (out < stop && w.next < w.limit && *w.next < 0xC0) *out++ = *w.next++;
    if (out == stop) break;
    uint8_t b = WindowByte(block, &w);
    if (b < 0xC0) {
      *out++ = b;
      continue;
    }
    size_t count = b & 0x3F;
    uint8_t value = WindowByte(block, &w);
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
