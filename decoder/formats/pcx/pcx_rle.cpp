// Run-length decoding of PCX plane lines, straight from the input queue's
// storage: the stream's window over the bytes already queued is read in
// place, and only when it is used up does the reader wait for the host.
#include <string.h>

#include "pcx_internal.h"

void PcxDecodeLine(Stream *io, uint8_t *line, size_t n) {
  InputWindow &w = io->Window;
  uint8_t *out = line;
  uint8_t *const stop = line + n;
  while (out < stop) {
    // Plain bytes (two top bits not both set) stand for themselves.
    while (out < stop && w.Next < w.End && *w.Next < 0xC0) *out++ = *w.Next++;
    if (out == stop) break;
    uint8_t b = StreamByte(io);
    if (b < 0xC0) {
      *out++ = b;
      continue;
    }
    size_t count = b & 0x3F;
    uint8_t value = StreamByte(io);
    size_t room = static_cast<size_t>(stop - out);
    if (count > room) count = room;  // the rest of the run is dropped
    if (count <= 8) {
      for (size_t i = 0; i < count; ++i) out[i] = value;
    } else {
      memset(out, value, count);
    }
    out += count;
  }
}
