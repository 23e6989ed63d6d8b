// Targa decoding of a 4096 x 4096 photograph as 24-bit raw and run-length
// images (bottom-left origin), and raw with an odd width (rows padded, so
// they cannot be copied as one block), through the host library with 64 KiB
// queues beside SDL2_image and stb_image. MB/s count the bitmap bytes each
// side produces.
#include <benchmark/benchmark.h>

#include <string.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

constexpr uint32_t kSide = 4096;
constexpr uint32_t kTga2 = QV_FOURCC('T', 'G', 'A', '2');
constexpr uint32_t kTgaA = QV_FOURCC('T', 'G', 'A', 'A');

std::vector<uint8_t> Header(uint8_t type, uint32_t width) {
  std::vector<uint8_t> v = {0, 0, type, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  qvhost::Put16(v, width);
  qvhost::Put16(v, kSide);
  v.push_back(24);
  v.push_back(0);
  return v;
}

// Row y of the file (bottom row first) as blue, green, red pixels.
const uint8_t *Row(uint32_t y, uint32_t width) {
  const std::vector<uint8_t> &p = qvbench::PhotoBgr(width, kSide);
  return &p[static_cast<size_t>(kSide - 1 - y) * width * 3];
}

std::vector<uint8_t> Raw(uint32_t width) {
  std::vector<uint8_t> v = Header(2, width);
  for (uint32_t y = 0; y < kSide; ++y) v.insert(v.end(), Row(y, width), Row(y, width) + 3 * width);
  return v;
}

// Run packets for repeats, raw packets for the rest, at most 128 pixels each.
std::vector<uint8_t> RunLength(uint32_t width) {
  std::vector<uint8_t> v = Header(10, width);
  for (uint32_t y = 0; y < kSide; ++y) {
    const uint8_t *row = Row(y, width);
    auto same = [&](uint32_t a, uint32_t b) { return memcmp(row + 3 * a, row + 3 * b, 3) == 0; };
    for (uint32_t x = 0; x < width;) {
      uint32_t run = 1;
      while (x + run < width && run < 128 && same(x, x + run)) ++run;
      if (run > 1) {
        v.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
        v.insert(v.end(), row + 3 * x, row + 3 * x + 3);
        x += run;
        continue;
      }
      uint32_t n = 1;
      while (x + n < width && n < 128 && !(x + n + 1 < width && same(x + n, x + n + 1))) ++n;
      v.push_back(static_cast<uint8_t>(n - 1));
      v.insert(v.end(), row + 3 * x, row + 3 * (x + n));
      x += n;
    }
  }
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<qvbench::Sample> samples = {{"raw24", kTga2, Raw(kSide), 1.0},
                                                {"rle24", kTgaA, RunLength(kSide), 1.0},
                                                {"raw24, odd width", kTga2, Raw(kSide - 1), 1.0}};
  return qvbench::RunAndReport(argc, argv, qvbench::RegisterRasterBenchmarks(samples, "TGA", 3),
                               "photograph 4096x4096");
}
