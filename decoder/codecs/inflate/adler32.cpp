// Adler-32 (the zlib check value): A is 1 plus the sum of the bytes, B the
// sum of every A after each byte, both modulo 65521; the value is B * 65536 + A.
#include <stddef.h>
#include <stdint.h>

#include "inflate_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr uint32_t kModulus = 65521;
// The most bytes after which B cannot pass 2^32 - 1 when both sums start
// below the modulus: 255 n (n + 1) / 2 + (n + 1) (65521 - 1) < 2^32.
constexpr size_t kChunk = 5552;

}  // namespace

uint32_t InflateAdler32(uint32_t adler, const uint8_t *p, size_t size) {
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
  while (size) {
    size_t n = size < kChunk ? size : kChunk;
    size -= n;
#if defined(__SSE2__)
    // 16 bytes a step. Over T steps of byte sums S_t, B grows by n * A0, by
    // 16 times the sum over steps of the bytes before each step, and by each
    // byte times its distance from its step's end (16 for the first).
    if (n >= 16) {
      size_t steps = n / 16;
      const __m128i zero = _mm_setzero_si128();
      const __m128i weightsLow = _mm_set_epi16(9, 10, 11, 12, 13, 14, 15, 16);
      const __m128i weightsHigh = _mm_set_epi16(1, 2, 3, 4, 5, 6, 7, 8);
      __m128i sums = zero, before = zero, weighted = zero;
      for (size_t t = 0; t < steps; ++t, p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        before = _mm_add_epi32(before, sums);
        sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weightsLow));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weightsHigh));
      }
      alignas(16) uint32_t s[4], f[4], w[4];
      _mm_store_si128(reinterpret_cast<__m128i *>(s), sums);
      _mm_store_si128(reinterpret_cast<__m128i *>(f), before);
      _mm_store_si128(reinterpret_cast<__m128i *>(w), weighted);
      uint64_t bytes = uint64_t{s[0]} + s[2];
      uint64_t prior = uint64_t{f[0]} + f[2];
      uint64_t bb = b + uint64_t{16} * steps * a + 16 * prior + w[0] + w[1] + w[2] + w[3];
      a = static_cast<uint32_t>((a + bytes) % kModulus);
      b = static_cast<uint32_t>(bb % kModulus);
      n -= steps * 16;
    }
#else
    for (; n >= 8; n -= 8, p += 8)
      for (int i = 0; i < 8; ++i) {
        a += p[i];
        b += a;
      }
#endif
    for (; n; --n) {
      a += *p++;
      b += a;
    }
    a %= kModulus;
    b %= kModulus;
  }
  return b << 16 | a;
}
