// 16- and 32-bit pixels converted to 24-bit blue, green, red.
#include "bmp_internal.h"

void ConvertRow16(const uint8_t *in, uint8_t *out, uint32_t width) {
  // Five bits each of blue (low), green and red; the top bit is ignored.
  for (uint32_t x = 0; x < width; ++x, in += 2, out += 3) {
    uint32_t v = in[0] | in[1] << 8;
    out[0] = kExpand5[v & 31];
    out[1] = kExpand5[(v >> 5) & 31];
    out[2] = kExpand5[(v >> 10) & 31];
  }
}

void ConvertRow32(const uint8_t *in, uint8_t *out, uint32_t width) {
  // Blue, green, red kept; the fourth byte dropped.
  for (uint32_t x = 0; x < width; ++x, in += 4, out += 3) {
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
  }
}
