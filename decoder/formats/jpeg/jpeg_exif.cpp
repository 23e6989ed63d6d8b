// The EXIF block's first directory (IFD0): orientation and resolution.
#include "formats/bytes.h"
#include "formats/jpeg/jpeg_internal.h"

namespace {

constexpr uint16_t kOrientation = 274, kXResolution = 282, kYResolution = 283, kResolutionUnit = 296;
constexpr uint16_t kShort = 3, kRational = 5;

struct Tiff {
  const uint8_t *p;
  size_t n;
  bool bigEndian;
  uint16_t U16(size_t at) const { return bigEndian ? Be16(p + at) : Le16(p + at); }
  uint32_t U32(size_t at) const { return bigEndian ? Be32(p + at) : Le32(p + at); }
};

// A RATIONAL at the offset an entry holds, when it lies inside the block.
void ReadRational(const Tiff &t, size_t entry, uint32_t out[2]) {
  uint32_t at = t.U32(entry + 8);
  if (t.n < 8 || at > t.n - 8) return;
  out[0] = t.U32(at);
  out[1] = t.U32(at + 4);
}

}  // namespace

bool ReadExif(const uint8_t *data, size_t n, ExifFacts *f) {
  *f = ExifFacts{};
  f->ResolutionUnit = 2;
  static const uint8_t kId[6] = {'E', 'x', 'i', 'f', 0, 0};
  if (n < 6 + 8) return false;
  for (int i = 0; i < 6; ++i)
    if (data[i] != kId[i]) return false;
  Tiff t{data + 6, n - 6, data[6] == 'M'};
  if (!((t.p[0] == 'I' && t.p[1] == 'I') || (t.p[0] == 'M' && t.p[1] == 'M')) || t.U16(2) != 42) return false;
  uint32_t ifd = t.U32(4);
  if (ifd > t.n - 2) return true;
  size_t count = t.U16(ifd);
  size_t room = (t.n - ifd - 2) / 12;
  if (count > room) count = room;
  for (size_t i = 0; i < count; ++i) {
    size_t e = ifd + 2 + 12 * i;
    uint16_t tag = t.U16(e), type = t.U16(e + 2);
    uint32_t values = t.U32(e + 4);
    if (values == 0) continue;
    if (tag == kOrientation && type == kShort) {
      uint16_t v = t.U16(e + 8);
      if (v >= 1 && v <= 8) f->Orientation = v;
    } else if (tag == kResolutionUnit && type == kShort) {
      f->ResolutionUnit = t.U16(e + 8);
    } else if (tag == kXResolution && type == kRational) {
      ReadRational(t, e, f->XResolution);
    } else if (tag == kYResolution && type == kRational) {
      ReadRational(t, e, f->YResolution);
    }
  }
  return true;
}

int32_t PixelsPerMetre(uint64_t numerator, uint64_t denominator, bool centimetres) {
  if (numerator == 0 || denominator == 0) return 0;
  // Per inch: n / d / 0.0254 = 5000 n / (127 d), rounded.
  uint64_t v = centimetres ? (100 * numerator + denominator / 2) / denominator
                           : (5000 * numerator * 2 + 127 * denominator) / (2 * 127 * denominator);
  return v == 0 || v > 0x7FFFFFFF ? 0 : static_cast<int32_t>(v);
}
