#include "image_view.h"

namespace qvhost {

namespace {
constexpr uint32_t kCmyk = QV_FOURCC('C', 'M', 'Y', 'K');
}  // namespace

void CmykToRgb(const uint8_t *cmyk, uint8_t *rgb) {
  uint32_t white = 255u - cmyk[3];
  for (int i = 0; i < 3; ++i) {
    uint32_t t = cmyk[i] * white + 128;  // cmyk[i] * white / 255, rounded
    rgb[i] = static_cast<uint8_t>(white - ((t + (t >> 8)) >> 8));
  }
}

bool RowsTopFirst(const BitmapInfoHeader &header, uint32_t optionFlags) {
  return ((optionFlags & QV_FLAG_TOP_DOWN) != 0) != (header.biHeight < 0);
}

uint64_t Stride(const BitmapInfoHeader &h) {
  uint64_t width = h.biWidth < 0 ? 0 : static_cast<uint64_t>(h.biWidth);
  return (width * h.biBitCount + 31) / 32 * 4;
}

uint64_t RowBytes(const BitmapInfoHeader &h) {
  uint64_t height = h.biHeight < 0 ? static_cast<uint64_t>(-int64_t{h.biHeight}) : static_cast<uint64_t>(h.biHeight);
  return Stride(h) * height;
}

bool BitmapToRgb(const BitmapInfoHeader &h, const PaletteEntry *palette,
                 const std::vector<uint8_t> &output, bool topFirst, Pixels *out,
                 std::string *error) {
  int64_t width = h.biWidth, height = h.biHeight < 0 ? -int64_t{h.biHeight} : h.biHeight;
  uint32_t bits = h.biBitCount;
  if (width <= 0 || height <= 0 || (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)) {
    if (error) *error = "unusable bitmap header";
    return false;
  }
  uint64_t need = RowBytes(h);
  uint64_t stride = need / static_cast<uint64_t>(height);
  if (need > output.size() || width * height > (int64_t{1} << 31)) {
    if (error) *error = "output holds " + std::to_string(output.size()) + " bytes, rows need " +
                        std::to_string(need);
    return false;
  }
  const uint8_t *rows = output.data() + (output.size() - need);  // rows are the last part
  out->width = static_cast<uint32_t>(width);
  out->height = static_cast<uint32_t>(height);
  out->rgb.assign(static_cast<size_t>(width * height * 3), 0);
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t *row = rows + stride * static_cast<uint64_t>(topFirst ? y : height - 1 - y);
    uint8_t *dst = out->rgb.data() + y * width * 3;
    for (int64_t x = 0; x < width; ++x, dst += 3) {
      uint32_t index;
      switch (bits) {
        case 1: index = (row[x >> 3] >> (7 - (x & 7))) & 1; break;
        case 4: index = (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15; break;
        case 8: index = row[x]; break;
        case 24:
          dst[0] = row[x * 3 + 2], dst[1] = row[x * 3 + 1], dst[2] = row[x * 3];
          continue;
        default:
          if (h.biCompression == kCmyk) {
            CmykToRgb(row + x * 4, dst);
          } else {
            dst[0] = row[x * 4 + 2], dst[1] = row[x * 4 + 1], dst[2] = row[x * 4];
          }
          continue;
      }
      if (index < QV_PALETTE_ENTRIES) {
        dst[0] = palette[index].red, dst[1] = palette[index].green, dst[2] = palette[index].blue;
      }
    }
  }
  return true;
}

bool ResultToRgb(const Result &r, uint32_t optionFlags, Pixels *out, std::string *error) {
  return BitmapToRgb(r.header, r.palette, r.output, RowsTopFirst(r.header, optionFlags), out,
                     error);
}

}  // namespace qvhost
