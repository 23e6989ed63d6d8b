// The delivered bitmap seen as plain pixels, top row first.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "quorvin_host.h"

namespace qvhost {

struct Pixels {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3, top row first
};

// A CMYK pixel (32-bit rows whose biCompression is "CMYK", bytes in file
// order C, M, Y, K) as RGB: each component is (255 - K) x (255 - ink) / 255,
// rounded to nearest.
void CmykToRgb(const uint8_t *cmyk, uint8_t *rgb);

// Interpret output bytes as the bitmap described by header and palette.
// topFirst says in which order the rows were delivered.
bool BitmapToRgb(const BitmapInfoHeader &header, const PaletteEntry *palette,
                 const std::vector<uint8_t> &output, bool topFirst, Pixels *out,
                 std::string *error);

// The same for a decode result; the row order follows from the options the
// decode ran with and the sign of biHeight.
bool ResultToRgb(const Result &result, uint32_t optionFlags, Pixels *out, std::string *error);

// Row order of the delivered rows.
bool RowsTopFirst(const BitmapInfoHeader &header, uint32_t optionFlags);
// Bytes of the rows a header describes: stride (rounded to 4 bytes) times
// the number of rows.
uint64_t RowBytes(const BitmapInfoHeader &header);
// Bytes of one row: bits x width rounded up to 4 bytes (0 for a width of 0
// or less).
uint64_t Stride(const BitmapInfoHeader &header);

}  // namespace qvhost
