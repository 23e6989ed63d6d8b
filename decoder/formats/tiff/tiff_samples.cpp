// Samples of any depth made bitmap pixels (extended decoding): the
// horizontal predictor on coded rows of 8, 16 and 32-bit samples, and the
// conversion of a row of samples, contiguous or in planes, into indices,
// BGR, BGRA or CMYK.
//
// Scaling to 8 bits follows libtiff's RGBA reading where it reads the depth,
// and extends its rules where it does not:
// - colour and alpha samples: v x 255 / (2^n - 1) rounded to nearest. At 1,
//   2 and 4 bits that is exact, as libtiff's map; at 16 bits it is libtiff's
//   (v + 128) / 257; libtiff reads no other depth but 8;
// - grey samples (and palette indices) of up to 8 bits are indices into a
//   ramp of 2^n entries built by the same rule; deeper grey keeps its top 8
//   bits (libtiff's 16-bit grey takes the high byte).
#include <string.h>

#include "formats/tiff/tiff_internal.h"

namespace {

// Sample i of a coded row of bits-bit samples: 8, 16, 24 and 32 bits in the
// file's byte order, other depths packed most significant bit first.
inline uint32_t SampleAt(const uint8_t *row, size_t i, uint32_t bits, bool bigEndian) {
  switch (bits) {
    case 8: return row[i];
    case 16: {
      const uint8_t *p = row + 2 * i;
      return bigEndian ? uint32_t{p[0]} << 8 | p[1] : uint32_t{p[1]} << 8 | p[0];
    }
    case 24: {
      const uint8_t *p = row + 3 * i;
      return bigEndian ? uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]
                       : uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    }
    case 32: {
      const uint8_t *p = row + 4 * i;
      return bigEndian ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                       : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    }
    default: {
      // At most 16 bits, spread over at most three bytes.
      uint64_t at = uint64_t{i} * bits;
      const uint8_t *p = row + (at >> 3);
      uint32_t window = uint32_t{p[0]} << 16;
      uint32_t end = static_cast<uint32_t>(at & 7) + bits;
      if (end > 8) window |= uint32_t{p[1]} << 8;
      if (end > 16) window |= p[2];
      return (window >> (24 - end)) & ((1u << bits) - 1);
    }
  }
}

// A colour or alpha sample as 8 bits.
inline uint8_t Scale(uint32_t v, uint32_t bits) {
  if (bits == 8) return static_cast<uint8_t>(v);
  uint64_t range = (uint64_t{1} << bits) - 1;
  return static_cast<uint8_t>((uint64_t{v} * 255 + range / 2) / range);
}

// A grey or palette sample as an index into Palette.
inline uint32_t IndexOf(uint32_t v, uint32_t bits) { return bits <= 8 ? v : v >> (bits - 8); }

// Where sample s of pixel x lies: its plane and its index there.
struct Samples {
  const uint8_t *const *Planes;
  bool Planar;
  uint32_t PerPixel;
  uint32_t Bits;
  bool BigEndian;
  uint32_t Get(uint32_t x, uint32_t s) const {
    if (Planar) return SampleAt(Planes[s], x, Bits, BigEndian);
    return SampleAt(Planes[0], size_t{x} * PerPixel + s, Bits, BigEndian);
  }
};

template <class T>
void UndoWords(uint8_t *row, uint32_t n, uint32_t samples, bool bigEndian) {
  constexpr uint32_t kBytes = sizeof(T);
  size_t count = size_t{n} * samples;
  auto get = [&](size_t i) {
    const uint8_t *p = row + kBytes * i;
    T v = 0;
    for (uint32_t b = 0; b < kBytes; ++b) v = static_cast<T>(v | T{p[bigEndian ? b : kBytes - 1 - b]} << (8 * (kBytes - 1 - b)));
    return v;
  };
  auto put = [&](size_t i, T v) {
    uint8_t *p = row + kBytes * i;
    for (uint32_t b = 0; b < kBytes; ++b) p[bigEndian ? b : kBytes - 1 - b] = static_cast<uint8_t>(v >> (8 * (kBytes - 1 - b)));
  };
  for (size_t i = samples; i < count; ++i) put(i, static_cast<T>(get(i) + get(i - samples)));
}

}  // namespace

bool TiffPredictorUsable(const TiffJob *j) {
  return j->Predictor == 1 || (j->Predictor == 2 && (j->Bits == 8 || j->Bits == 16 || j->Bits == 32));
}

void TiffUndoPredictor(const TiffJob *j, uint8_t *row, uint32_t n, uint32_t samples) {
  if (n == 0) return;
  switch (j->Bits) {
    case 8:
      if (samples == 1) return UndoDifferencing8(row, n);
      if (samples == 3) return UndoDifferencing24(row, n);
      if (samples == 4) return UndoDifferencing32(row, n);
      for (size_t i = samples; i < size_t{n} * samples; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - samples]);
      return;
    case 16: return UndoWords<uint16_t>(row, n, samples, j->BigEndian);
    default: return UndoWords<uint32_t>(row, n, samples, j->BigEndian);
  }
}

void TiffConvertRow(const TiffJob *j, const uint8_t *const *planes, uint8_t *out) {
  const uint32_t bits = j->Bits, width = j->Width;
  const Samples in{planes, j->Planes > 1, j->SamplesPerPixel, bits, j->BigEndian};
  switch (j->Output) {
    case kOutIndex: {
      const uint32_t depth = j->Depth;
      memset(out, 0, j->RowBytes);
      for (uint32_t x = 0; x < width; ++x) {
        uint32_t v = IndexOf(in.Get(x, 0), bits);
        if (depth == 8) out[x] = static_cast<uint8_t>(v);
        else if (depth == 4) out[x >> 1] = static_cast<uint8_t>(out[x >> 1] | v << ((x & 1) ? 0 : 4));
        else out[x >> 3] = static_cast<uint8_t>(out[x >> 3] | (v & 1) << (7 - (x & 7)));
      }
      break;
    }
    case kOutBgr:
      for (uint32_t x = 0; x < width; ++x, out += 3) {
        out[2] = Scale(in.Get(x, 0), bits);
        out[1] = Scale(in.Get(x, 1), bits);
        out[0] = Scale(in.Get(x, 2), bits);
      }
      out -= j->RowBytes;
      break;
    case kOutBgra:
      for (uint32_t x = 0; x < width; ++x, out += 4) {
        if (j->Channels == 3) {
          out[2] = Scale(in.Get(x, 0), bits);
          out[1] = Scale(in.Get(x, 1), bits);
          out[0] = Scale(in.Get(x, 2), bits);
        } else {
          const PaletteEntry &c = j->Palette[IndexOf(in.Get(x, 0), bits) & 0xFF];
          out[0] = c.blue;
          out[1] = c.green;
          out[2] = c.red;
        }
        out[3] = Scale(in.Get(x, j->Channels), bits);
      }
      out -= j->RowBytes;
      break;
    case kOutCmyk:
      for (uint32_t x = 0; x < width; ++x, out += 4)
        for (uint32_t s = 0; s < 4; ++s) out[s] = Scale(in.Get(x, s), bits);
      out -= j->RowBytes;
      break;
    default:  // 16-bit pixels as stored, little-endian like the bitmap
      for (uint32_t x = 0; x < width; ++x, out += 2) {
        uint32_t v = in.Get(x, 0);
        out[0] = static_cast<uint8_t>(v);
        out[1] = static_cast<uint8_t>(v >> 8);
      }
      out -= j->RowBytes;
      break;
  }
  memset(out + j->RowBytes, 0, j->Stride - j->RowBytes);
}
