#include "rc4.h"

#include <bit>
#include <cstring>

namespace cindral {

void Rc4Schedule(Rc4State& state, const uint8_t* key, size_t storeSize, size_t keyLength) {
  uint8_t* s = state.s;
  for (unsigned x = 0; x < 256; ++x) s[x] = static_cast<uint8_t>(x);
  unsigned j = 0;
  size_t k = 0;
  for (unsigned x = 0; x < 256; ++x) {
    const unsigned keyByte = k < storeSize ? key[k] : 0u;
    j = (j + s[x] + keyByte) & 255u;
    const uint8_t t = s[x];
    s[x] = s[j];
    s[j] = t;
    if (++k == keyLength) k = 0;
  }
  state.i = 0;
  state.j = 0;
}

namespace {

// One step of the key stream generator; returns the key stream byte.
inline unsigned Step(uint8_t* s, unsigned& i, unsigned& j) {
  i = (i + 1) & 255u;
  const unsigned a = s[i];
  j = (j + a) & 255u;
  const unsigned b = s[j];
  s[i] = static_cast<uint8_t>(b);
  s[j] = static_cast<uint8_t>(a);
  return s[(a + b) & 255u];
}

}  // namespace

void Rc4Apply(Rc4State& state, uint8_t* data, size_t n) {
  uint8_t* s = state.s;
  unsigned i = state.i;
  unsigned j = state.j;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight key stream bytes gathered into one word, then one XOR: keeps the
    // loads and stores of the data off the generator's dependency chain.
    while (n >= 8) {
      uint64_t stream = 0;
#pragma GCC unroll 8
      for (unsigned b = 0; b < 8; ++b) stream |= static_cast<uint64_t>(Step(s, i, j)) << (8 * b);
      uint64_t word;
      std::memcpy(&word, data, 8);
      word ^= stream;
      std::memcpy(data, &word, 8);
      data += 8;
      n -= 8;
    }
  }
  for (size_t q = 0; q < n; ++q) data[q] ^= static_cast<uint8_t>(Step(s, i, j));
  state.i = static_cast<uint8_t>(i);
  state.j = static_cast<uint8_t>(j);
}

}  // namespace cindral
