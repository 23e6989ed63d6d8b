// How many colour-table entries a Windows bitmap carries.
#include "bmp_internal.h"

uint32_t PaletteEntryCount(const BitmapInfoHeader &info) {
  uint32_t bits = info.biBitCount;
  if (bits <= 8) {
    uint32_t full = 1u << bits;
    uint32_t c = info.biClrUsed == 0 ? full : info.biClrUsed;
    if (info.biClrImportant > c) c = info.biClrImportant;
    return c < full ? c : full;
  }
  return info.biClrUsed > info.biClrImportant ? info.biClrUsed : info.biClrImportant;
}

uint32_t ColourTableCount(const BmpFileHeader &file, uint32_t infoSize,
                          const BitmapInfoHeader &info) {
  // The room between the information header and the pixel data.
  int64_t t = static_cast<int64_t>(file.DataOffset) - static_cast<int64_t>(infoSize) - 14;
  if (t < 0 || t % 4 != 0) return PaletteEntryCount(info);
  uint32_t n = static_cast<uint32_t>(t / 4);
  if (info.biBitCount > 8) return n;
  if (n > (1u << info.biBitCount)) return PaletteEntryCount(info);
  return n;
}
