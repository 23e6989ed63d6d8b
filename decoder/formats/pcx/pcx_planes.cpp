// Merging decoded PCX planes into output rows.
#include <string.h>

#include "pcx_internal.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the spread table is stored little-endian");

namespace {

// For a byte of one 1-bit plane (leftmost pixel in bit 7): the four output
// bytes of those eight 4-bit pixels with the plane bit in bit 0 of each
// nibble, even pixels in the high nibble. Read as a little-endian word.
struct SpreadTable {
  uint32_t word[256];
};

constexpr SpreadTable MakeSpreadTable() {
  SpreadTable t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t v = 0;
    for (uint32_t pixel = 0; pixel < 8; ++pixel)
      if (b & (0x80u >> pixel)) v |= 1u << (8 * (pixel / 2) + ((pixel & 1) ? 0 : 4));
    t.word[b] = v;
  }
  return t;
}

constexpr SpreadTable kSpread = MakeSpreadTable();

inline uint32_t MergeByte(const uint8_t *line, uint32_t planeBytes, uint32_t planes, uint32_t at,
                          uint8_t mask) {
  uint32_t v = 0;
  for (uint32_t k = 0; k < planes; ++k) v |= kSpread.word[line[k * planeBytes + at] & mask] << k;
  return v;
}

}  // namespace

const PcxLayoutInfo kPcxLayouts[kPcxLayoutCount] = {
    {1, 1, 1, 2},     // kPcxMono
    {1, 2, 4, 4},     // kPcxFourColour
    {3, 1, 4, 8},     // kPcxEightColour
    {4, 1, 4, 16},    // kPcxSixteenColour
    {1, 8, 8, 256},   // kPcxIndexed
    {3, 8, 24, 0},    // kPcxTrueColour
    {1, 4, 4, 16},    // kPcxPackedSixteen
};

void PcxMergeBitPlanes(const uint8_t *line, uint32_t planeBytes, uint32_t planes, uint32_t width,
                       uint8_t *row) {
  uint32_t whole = width / 8, rest = width % 8;
  for (uint32_t i = 0; i < whole; ++i) {
    uint32_t v = MergeByte(line, planeBytes, planes, i, 0xFF);
    memcpy(row + 4 * i, &v, 4);
  }
  if (rest) {
    uint32_t v = MergeByte(line, planeBytes, planes, whole, static_cast<uint8_t>(0xFF00u >> rest));
    memcpy(row + 4 * whole, &v, 4);
  }
}

void PcxSpreadPairs(const uint8_t *line, uint32_t width, uint8_t *row) {
  uint32_t whole = width / 4, rest = width % 4;
  uint32_t bytes = whole + (rest ? 1 : 0);
  for (uint32_t i = 0; i < bytes; ++i) {
    uint8_t b = line[i];
    if (i == whole) b &= static_cast<uint8_t>(0xFF00u >> (2 * rest));
    // Pixels 0..3 sit in bits 7-6, 5-4, 3-2, 1-0.
    row[2 * i] = static_cast<uint8_t>(((b & 0xC0) >> 2) | ((b >> 4) & 3));
    row[2 * i + 1] = static_cast<uint8_t>(((b & 0x0C) << 2) | (b & 3));
  }
}

void PcxInterleaveRgb(const uint8_t *line, uint32_t planeBytes, uint8_t *row) {
  const uint8_t *red = line, *green = line + planeBytes, *blue = line + 2 * planeBytes;
  for (uint32_t x = 0; x < planeBytes; ++x, row += 3) {
    row[0] = blue[x];
    row[1] = green[x];
    row[2] = red[x];
  }
}
