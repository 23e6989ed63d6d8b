// PNG lines: the chunk check value, the five filters, and the conversion of
// a line's samples into bitmap pixels.
#include <string.h>

#include "formats/png/png_internal.h"
#include "formats/tiff/tiff_internal.h"  // SwapRedBlue24, shared with the TIFF rows

#if defined(__SSE2__)
#include <emmintrin.h>
#define QV_PNG_SSE2 1
#endif

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

// ---- Filters, byte by byte ----------------------------------------------------------
// The first pixel has no left neighbour: a and c count as 0 there.

void SubBytes(uint8_t *line, size_t n, uint32_t bpp, size_t from) {
  for (size_t i = from < bpp ? bpp : from; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + line[i - bpp]);
}

void AverageBytes(uint8_t *line, const uint8_t *prev, size_t n, uint32_t bpp, size_t from) {
  size_t i = from;
  for (; i < bpp && i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + (prev[i] >> 1));
  for (; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + ((line[i - bpp] + prev[i]) >> 1));
}

void PaethBytes(uint8_t *line, const uint8_t *prev, size_t n, uint32_t bpp, size_t from) {
  size_t i = from;
  for (; i < bpp && i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + prev[i]);
  for (; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + Paeth(line[i - bpp], prev[i], prev[i - bpp]));
}

void UpBytes(uint8_t *line, const uint8_t *prev, size_t n) {
  size_t i = 0;
#if QV_PNG_SSE2
  for (; i + 16 <= n; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(line + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(prev + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(line + i), _mm_add_epi8(x, b));
  }
#else
  // Eight byte sums in one word, no carry crossing from byte to byte.
  for (; i + 8 <= n; i += 8) {
    uint64_t x, b;
    memcpy(&x, line + i, 8);
    memcpy(&b, prev + i, 8);
    x = ((x & 0x7F7F7F7F7F7F7F7Full) + (b & 0x7F7F7F7F7F7F7F7Full)) ^ ((x ^ b) & 0x8080808080808080ull);
    memcpy(line + i, &x, 8);
  }
#endif
  for (; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] + prev[i]);
}

#if QV_PNG_SSE2
// ---- Filters, a pixel at a time (3, 4, 6 or 8 bytes) -------------------------------
// A pixel is loaded with the bytes after it (4 or 8 in all; the next pixel's
// first bytes, or the slack after the line, never yet written) and stored
// with its own bytes only, so no load waits on a store it half overlaps.

template <int B>
inline __m128i LoadPixel(const uint8_t *p) {
  if (B <= 4) {
    uint32_t v;
    memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(static_cast<int>(v));
  }
  return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
}

template <int B>
inline void StorePixel(uint8_t *p, __m128i v) {
  if (B == 4) {
    uint32_t w = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    memcpy(p, &w, 4);
  } else if (B == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), v);
  } else if (B == 3) {
    uint32_t w = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    memcpy(p, &w, 2);
    p[2] = static_cast<uint8_t>(w >> 16);
  } else {  // 6
    uint32_t w = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    memcpy(p, &w, 4);
    w = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 4)));
    memcpy(p + 4, &w, 2);
  }
}

template <int B>
void SubPixels(uint8_t *line, size_t n) {
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + B <= n; i += B) {
    a = _mm_add_epi8(LoadPixel<B>(line + i), a);
    StorePixel<B>(line + i, a);
  }
}

// (a + b) >> 1 per byte: the rounded-up mean less the bit it rounded.
template <int B>
void AveragePixels(uint8_t *line, const uint8_t *prev, size_t n) {
  const __m128i one = _mm_set1_epi8(1);
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + B <= n; i += B) {
    __m128i b = LoadPixel<B>(prev + i);
    __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    a = _mm_add_epi8(LoadPixel<B>(line + i), mean);
    StorePixel<B>(line + i, a);
  }
}

// Paeth on 16-bit lanes: with p = a + b - c, |p - a| = |b - c|,
// |p - b| = |a - c| and |p - c| = |(b - c) + (a - c)|.
inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

template <int B>
void PaethPixels(uint8_t *line, const uint8_t *prev, size_t n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero, c = zero;
  for (size_t i = 0; i + B <= n; i += B) {
    __m128i b = _mm_unpacklo_epi8(LoadPixel<B>(prev + i), zero);
    __m128i x = _mm_unpacklo_epi8(LoadPixel<B>(line + i), zero);
    __m128i dbc = _mm_sub_epi16(b, c), dac = _mm_sub_epi16(a, c);
    __m128i pa = Abs16(dbc), pb = Abs16(dac), pc = Abs16(_mm_add_epi16(dbc, dac));
    __m128i takeC = _mm_cmpgt_epi16(pb, pc);
    __m128i bc = _mm_or_si128(_mm_and_si128(takeC, c), _mm_andnot_si128(takeC, b));
    __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    __m128i predicted = _mm_or_si128(_mm_and_si128(notA, bc), _mm_andnot_si128(notA, a));
    a = _mm_and_si128(_mm_add_epi16(x, predicted), _mm_set1_epi16(0xFF));
    StorePixel<B>(line + i, _mm_packus_epi16(a, a));
    c = b;
  }
}

template <int B>
void UnfilterPixels(uint8_t type, uint8_t *line, const uint8_t *prev, size_t n) {
  if (type == 1) SubPixels<B>(line, n);
  else if (type == 3) AveragePixels<B>(line, prev, n);
  else PaethPixels<B>(line, prev, n);
}
#endif

// ---- Conversion ------------------------------------------------------------------

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

inline uint32_t Wide(const uint8_t *p) { return uint32_t{p[0]} << 8 | p[1]; }

// Pixel i of a line as blue, green, red, alpha.
void PixelBgra(const PngJob *j, const uint8_t *line, uint32_t i, uint8_t *o) {
  const bool wide = j->Depth == 16;
  uint8_t r, g, b, a = 255;
  bool clear = false;
  switch (j->ColourType) {
    case 0:
      if (wide) {
        r = g = b = Scale16(line + 2 * i);
        clear = Wide(line + 2 * i) == j->TrnsValue[0];
      } else {
        uint32_t v = SmallSample(line, i, j->Depth);
        r = g = b = static_cast<uint8_t>(v * 255 / ((1u << j->Depth) - 1));
        clear = v == j->TrnsValue[0];
      }
      break;
    case 2:
      if (wide) {
        const uint8_t *p = line + 6 * i;
        r = Scale16(p), g = Scale16(p + 2), b = Scale16(p + 4);
        clear = Wide(p) == j->TrnsValue[0] && Wide(p + 2) == j->TrnsValue[1] && Wide(p + 4) == j->TrnsValue[2];
      } else {
        const uint8_t *p = line + 3 * i;
        r = p[0], g = p[1], b = p[2];
        clear = p[0] == j->TrnsValue[0] && p[1] == j->TrnsValue[1] && p[2] == j->TrnsValue[2];
      }
      break;
    case 3: {
      uint32_t v = SmallSample(line, i, j->Depth);
      r = j->Palette[v].red, g = j->Palette[v].green, b = j->Palette[v].blue, a = j->PaletteAlpha[v];
      break;
    }
    case 4:
      r = g = b = wide ? Scale16(line + 4 * i) : line[2 * i];
      a = wide ? Scale16(line + 4 * i + 2) : line[2 * i + 1];
      break;
    default: {  // 6
      const uint8_t *p = line + (wide ? 8 : 4) * size_t{i};
      r = wide ? Scale16(p) : p[0];
      g = wide ? Scale16(p + 2) : p[1];
      b = wide ? Scale16(p + 4) : p[2];
      a = wide ? Scale16(p + 6) : p[3];
      break;
    }
  }
  if (j->TrnsToAlpha && clear) a = 0;
  o[0] = b, o[1] = g, o[2] = r, o[3] = a;
}

// RGBA to BGRA, n pixels.
void Swap32(uint8_t *out, const uint8_t *in, uint32_t n) {
  uint32_t i = 0;
#if QV_PNG_SSE2
  const __m128i ga = _mm_set1_epi32(static_cast<int>(0xFF00FF00u)), low = _mm_set1_epi32(0xFF);
  for (; i + 4 <= n; i += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 4 * i));
    __m128i r = _mm_slli_epi32(_mm_and_si128(v, low), 16), b = _mm_and_si128(_mm_srli_epi32(v, 16), low);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i), _mm_or_si128(_mm_and_si128(v, ga), _mm_or_si128(r, b)));
  }
#endif
  for (; i < n; ++i) {
    const uint8_t *p = in + 4 * i;
    uint8_t *o = out + 4 * i;
    o[0] = p[2], o[1] = p[1], o[2] = p[0], o[3] = p[3];
  }
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
  if (type == 0) return true;
  if (type == 2) {
    UpBytes(line, prev, n);
    return true;
  }
  if (type > 4) return false;
#if QV_PNG_SSE2
  // Whole pixels a register at a time; bytes of a last partial pixel (a
  // line cannot end inside one, but n is what the caller says) afterwards.
  size_t done = n - n % (bpp ? bpp : 1);
  switch (bpp) {
    case 3: UnfilterPixels<3>(type, line, prev, n); break;
    case 4: UnfilterPixels<4>(type, line, prev, n); break;
    case 6: UnfilterPixels<6>(type, line, prev, n); break;
    case 8: UnfilterPixels<8>(type, line, prev, n); break;
    default: done = 0; break;
  }
#else
  size_t done = 0;
#endif
  if (type == 1) SubBytes(line, n, bpp, done);
  else if (type == 3) AverageBytes(line, prev, n, bpp, done);
  else PaethBytes(line, prev, n, bpp, done);
  return true;
}

void PngPrepareConversion(PngJob *j) {
  j->Conversion = PngEachPixel;
  if (j->OutBits <= 8) {
    if (j->Depth == j->OutBits) j->Conversion = PngCopy;
  } else if (j->Depth == 8) {
    if (j->ColourType == 2 && !j->TrnsToAlpha) j->Conversion = PngSwap24;
    else if (j->ColourType == 6) j->Conversion = PngSwap32;
    else if (j->ColourType == 4) j->Conversion = PngGreyAlpha;
    else if (j->ColourType == 3) j->Conversion = PngLookup;
  }
  if (j->Conversion == PngLookup) {
    for (uint32_t v = 0; v < 256; ++v) {
      uint8_t bgra[4] = {j->Palette[v].blue, j->Palette[v].green, j->Palette[v].red, j->PaletteAlpha[v]};
      memcpy(&j->Lookup[v], bgra, 4);
    }
  }
}

void PngConvertLine(const PngJob *j, const uint8_t *line, uint32_t pixels, uint8_t *out, uint32_t x0,
                    uint32_t step) {
  const uint32_t bits = j->OutBits, depth = j->Depth;
  if (x0 == 0 && step == 1) {
    size_t used = (size_t{pixels} * bits + 7) / 8;
    switch (j->Conversion) {
      case PngCopy:
        memcpy(out, line, used);
        // Bits past the last pixel of the last byte are the file's to fill
        // as it likes; the bitmap's are zero.
        if (pixels * bits % 8) out[used - 1] = static_cast<uint8_t>(out[used - 1] & (0xFF00 >> (pixels * bits % 8)));
        break;
      case PngSwap24:
        SwapRedBlue24(out, line, pixels);
        break;
      case PngSwap32:
        Swap32(out, line, pixels);
        break;
      case PngGreyAlpha:
        for (uint32_t i = 0; i < pixels; ++i) {
          uint8_t g = line[2 * i];
          out[4 * i] = out[4 * i + 1] = out[4 * i + 2] = g;
          out[4 * i + 3] = line[2 * i + 1];
        }
        break;
      case PngLookup:
        for (uint32_t i = 0; i < pixels; ++i) memcpy(out + 4 * size_t{i}, &j->Lookup[line[i]], 4);
        break;
      case PngEachPixel:
        if (bits <= 8) memset(out, 0, used);
        for (uint32_t i = 0; i < pixels; ++i) {
          if (bits <= 8) PutSmall(out, i, bits, depth == 16 ? Scale16(line + 2 * i) : SmallSample(line, i, depth));
          else if (bits == 32) PixelBgra(j, line, i, out + 4 * size_t{i});
          else {
            uint8_t bgra[4];
            PixelBgra(j, line, i, bgra);
            memcpy(out + 3 * size_t{i}, bgra, 3);
          }
        }
        break;
    }
    memset(out + used, 0, j->OutStride - used);
    return;
  }
  // Adam7 passes 1 to 6: into a zeroed row, pixel by pixel.
  for (uint32_t i = 0; i < pixels; ++i) {
    uint32_t x = x0 + i * step;
    if (bits <= 8) {
      PutSmall(out, x, bits, depth == 16 ? Scale16(line + 2 * i) : SmallSample(line, i, depth));
    } else {
      uint8_t bgra[4];
      PixelBgra(j, line, i, bgra);
      memcpy(out + size_t{x} * (bits / 8), bgra, bits / 8);
    }
  }
}
