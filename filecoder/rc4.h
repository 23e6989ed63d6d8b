// RC4 (ARCFOUR) stream cipher core. Internal to Cindral; the tests and the
// benchmark use it directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cindral {

struct Rc4State {
  uint8_t s[256];  // the permutation
  uint8_t i;       // stream indices
  uint8_t j;
};

// The standard key schedule; also sets i = j = 0. The key repeats with period
// keyLength (1..256); key bytes at or beyond storeSize read as zero, so a key
// longer than the bytes that hold it (the 129-zero-byte default over a
// 128-byte store) never reads outside the store.
void Rc4Schedule(Rc4State& state, const uint8_t* key, size_t storeSize, size_t keyLength);

inline void Rc4Schedule(Rc4State& state, const uint8_t* key, size_t keyLength) {
  Rc4Schedule(state, key, keyLength, keyLength);
}

// XORs n bytes with the next n bytes of the key stream, continuing from the
// current state. Coding and decoding are the same operation.
void Rc4Apply(Rc4State& state, uint8_t* data, size_t n);

}  // namespace cindral
