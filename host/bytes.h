// Whole-file reading and little-endian writing, for the tools, tests and
// benchmarks that build or load sample files.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace qvhost {

// The file's bytes; empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string &path);

inline void Put16(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(x & 0xFF);
  v.push_back((x >> 8) & 0xFF);
}
inline void Put32(std::vector<uint8_t> &v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}

}  // namespace qvhost
