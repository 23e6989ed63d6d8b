// Run-length decoding of PCX plane lines, straight from the input queue's
// storage: the stream's window over the bytes already queued is read in
// place, and only when it is used up does the reader wait for the host.
#include <string.h>

#include "pcx_internal.h"

namespace {

inline void PutRun(uint8_t *out, uint8_t value, size_t count) {
  if (count <= 8) {
    for (size_t i = 0; i < count; ++i) out[i] = value;
  } else {
    memset(out, value, count);
  }
}

}  // namespace

void PcxDecodeLine(Stream *io, uint8_t *line, size_t n) {
  // The window in locals: stores into the line could otherwise be taken to
  // change it. It goes back to the stream around every call that reads.
  const uint8_t *next = io->Window.Next, *end = io->Window.End;
  uint8_t *out = line;
  uint8_t *const stop = line + n;
  while (out < stop) {
    // Plain bytes (two top bits not both set) stand for themselves.
    while (out < stop && next < end && *next < 0xC0) *out++ = *next++;
    if (out == stop) break;
    size_t room = static_cast<size_t>(stop - out);
    if (end - next >= 2) {
      // A run code and its value, both in the window.
      size_t count = next[0] & 0x3F;
      PutRun(out, next[1], count < room ? count : room);  // the rest of the run is dropped
      out += count < room ? count : room;
      next += 2;
      continue;
    }
    io->Window.Next = next;
    uint8_t b = StreamByte(io);
    if (b < 0xC0) {
      *out++ = b;
    } else {
      size_t count = b & 0x3F;
      uint8_t value = StreamByte(io);
      if (count > room) count = room;
      PutRun(out, value, count);
      out += count;
    }
    next = io->Window.Next;
    end = io->Window.End;
  }
  io->Window.Next = next;
}
