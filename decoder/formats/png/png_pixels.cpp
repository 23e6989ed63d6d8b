// PNG lines: the chunk check value, the five filters, and the conversion of
// a line's samples into bitmap pixels.
#include <string.h>

#include "formats/png/png_internal.h"

namespace {

// CRC-32 tables for eight bytes at a time: Crc[k][b] is the CRC of byte b
// followed by k zero bytes.
struct CrcTables {
  uint32_t t[8][256];
};
constexpr CrcTables MakeCrcTables() {
  CrcTables c{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t v = b;
    for (int i = 0; i < 8; ++i) v = (v & 1) ? 0xEDB88320u ^ (v >> 1) : v >> 1;
    c.t[0][b] = v;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t b = 0; b < 256; ++b) c.t[k][b] = (c.t[k - 1][b] >> 8) ^ c.t[0][c.t[k - 1][b] & 0xFF];
  return c;
}
constexpr CrcTables kCrc = MakeCrcTables();

// A 16-bit sample to 8 bits, rounded to nearest: v * 255 / 65535.
inline uint8_t Scale16(const uint8_t *p) {
  uint32_t v = uint32_t{p[0]} << 8 | p[1];
  return static_cast<uint8_t>((v * 255 + 32895) >> 16);
}

inline uint8_t Paeth(uint8_t a, uint8_t b, uint8_t c) {
  int p = a + b - c;
  int pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// Sample i of a line of depth bits per sample (1, 2, 4 or 8).
inline uint32_t SmallSample(const uint8_t *line, uint32_t i, uint32_t depth) {
  if (depth == 8) return line[i];
  uint32_t perByte = 8 / depth;
  uint32_t shift = 8 - depth * (i % perByte + 1);
  return (line[i / perByte] >> shift) & ((1u << depth) - 1);
}

// Put value v as bitmap pixel x of a row of bits-per-pixel 1, 4 or 8.
inline void PutSmall(uint8_t *row, uint32_t x, uint32_t bits, uint32_t v) {
  if (bits == 8) {
    row[x] = static_cast<uint8_t>(v);
  } else if (bits == 4) {
    uint8_t &b = row[x / 2];
    b = (x & 1) ? static_cast<uint8_t>((b & 0xF0) | v) : static_cast<uint8_t>((b & 0x0F) | v << 4);
  } else {
    uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
    row[x / 8] = v ? (row[x / 8] | mask) : (row[x / 8] & ~mask);
  }
}

// The colour of pixel i at full depth, for comparison with a tRNS value.
inline bool MatchesTrns(const PngJob *j, const uint8_t *line, uint32_t i) {
  if (j->ColourType == 0) {
    uint32_t v = j->Depth == 16 ? (uint32_t{line[2 * i]} << 8 | line[2 * i + 1]) : SmallSample(line, i, j->Depth);
    return v == j->TrnsValue[0];
  }
  for (uint32_t c = 0; c < 3; ++c) {
    uint32_t v = j->Depth == 16 ? (uint32_t{line[6 * i + 2 * c]} << 8 | line[6 * i + 2 * c + 1]) : line[3 * i + c];
    if (v != j->TrnsValue[c]) return false;
  }
  return true;
}

}  // namespace

uint32_t PngCrc(uint32_t crc, const uint8_t *p, size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    uint32_t lo, hi;
    memcpy(&lo, p, 4);
    memcpy(&hi, p + 4, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    lo = __builtin_bswap32(lo);
    hi = __builtin_bswap32(hi);
#endif
    lo ^= crc;
    crc = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^ kCrc.t[4][lo >> 24] ^
          kCrc.t[3][hi & 0xFF] ^ kCrc.t[2][(hi >> 8) & 0xFF] ^ kCrc.t[1][(hi >> 16) & 0xFF] ^ kCrc.t[0][hi >> 24];
  }
  while (n--) crc = kCrc.t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

bool PngUnfilter(uint8_t type, uint8_t *line, const uint8_t *prev, size_t n, uint32_t bpp) {
  switch (type) {
    case 0:
      return true;
    case 1:
      for (size_t i = 0; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + line[i - bpp]);
      return true;
    case 2:
      for (size_t i = 0; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + prev[i]);
      return true;
    case 3:
      for (size_t i = 0; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + ((line[i - bpp] + prev[i]) >> 1));
      return true;
    case 4:
      for (size_t i = 0; i < n; ++i)
        line[i] = static_cast<uint8_t>(line[i] + Paeth(line[i - bpp], prev[i], prev[i - bpp]));
      return true;
    default:
      return false;
  }
}

void PngConvertLine(const PngJob *j, const uint8_t *line, uint32_t pixels, uint8_t *out, uint32_t x0,
                    uint32_t step) {
  const uint32_t depth = j->Depth;
  if (j->OutBits <= 8) {
    // Indexes: a palette index or a grey level, as the colour table maps them.
    if (step == 1 && x0 == 0 && depth == j->OutBits) {
      memcpy(out, line, (size_t{pixels} * depth + 7) / 8);
      return;
    }
    for (uint32_t i = 0; i < pixels; ++i) {
      uint32_t v = depth == 16 ? Scale16(line + 2 * i) : SmallSample(line, i, depth);
      PutSmall(out, x0 + i * step, j->OutBits, v);
    }
    return;
  }
  const uint32_t bytesOut = j->OutBits / 8;
  uint8_t *o = out + size_t{x0} * bytesOut;
  const size_t advance = size_t{step} * bytesOut;
  const bool wide = depth == 16;
  for (uint32_t i = 0; i < pixels; ++i, o += advance) {
    uint8_t r, g, b, a = 255;
    switch (j->ColourType) {
      case 0: {  // grey with a tRNS value
        uint32_t v = wide ? Scale16(line + 2 * i) : SmallSample(line, i, depth);
        r = g = b = j->Table[wide ? 0 : v].red;
        if (wide) r = g = b = static_cast<uint8_t>(v);
        break;
      }
      case 2:
        r = wide ? Scale16(line + 6 * i) : line[3 * i];
        g = wide ? Scale16(line + 6 * i + 2) : line[3 * i + 1];
        b = wide ? Scale16(line + 6 * i + 4) : line[3 * i + 2];
        break;
      case 3: {  // palette with alpha from tRNS
        uint32_t v = SmallSample(line, i, depth);
        r = j->Palette[v].red;
        g = j->Palette[v].green;
        b = j->Palette[v].blue;
        a = j->PaletteAlpha[v];
        break;
      }
      case 4:
        r = g = b = wide ? Scale16(line + 4 * i) : line[2 * i];
        a = wide ? Scale16(line + 4 * i + 2) : line[2 * i + 1];
        break;
      default:  // 6
        r = wide ? Scale16(line + 8 * i) : line[4 * i];
        g = wide ? Scale16(line + 8 * i + 2) : line[4 * i + 1];
        b = wide ? Scale16(line + 8 * i + 4) : line[4 * i + 2];
        a = wide ? Scale16(line + 8 * i + 6) : line[4 * i + 3];
        break;
    }
    if (j->TrnsToAlpha && j->ColourType != 3 && MatchesTrns(j, line, i)) a = 0;
    o[0] = b;
    o[1] = g;
    o[2] = r;
    if (bytesOut == 4) o[3] = a;
  }
}
