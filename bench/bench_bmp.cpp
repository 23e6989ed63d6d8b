// BMP decoding of a 4096 x 4096 photograph stored as 24-bit rows, as 8-bit
// rows (dithered to 252 colours) and RLE8-coded the way ImageMagick writes it
// (a run code for every run, however short, so a photograph costs two bytes a
// pixel), through the host library with 64 KiB queues, beside SDL2_image
// (which keeps 8-bit rows 8-bit, as we do) and stb_image (which expands them
// to RGB, a weaker baseline). MB/s count the bitmap bytes each side produces.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

constexpr uint32_t kSide = 4096;
constexpr uint32_t kRle = QV_FOURCC('B', 'M', 'P', 'R');

using qvhost::Put16;
using qvhost::Put32;

std::vector<uint8_t> Headers(uint32_t bits, uint32_t compression, uint32_t entries, uint32_t dataSize) {
  std::vector<uint8_t> v = {'B', 'M'};
  uint32_t offset = 14 + 40 + 4 * entries;
  Put32(v, offset + dataSize);
  Put32(v, 0);
  Put32(v, offset);
  Put32(v, 40);
  Put32(v, kSide);
  Put32(v, kSide);  // bottom row first
  Put16(v, 1);
  Put16(v, bits);
  Put32(v, compression);
  Put32(v, dataSize);
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, entries);
  Put32(v, 0);
  std::vector<uint8_t> t = qvbench::PhotoPaletteBgr();
  for (uint32_t i = 0; i < entries; ++i) v.insert(v.end(), {t[3 * i], t[3 * i + 1], t[3 * i + 2], 0});
  return v;
}

// Rows of the picture bottom row first (the width keeps them 4-byte aligned).
std::vector<uint8_t> Stored(uint32_t bits) {
  const std::vector<uint8_t> &p = bits == 24 ? qvbench::PhotoBgr(kSide, kSide) : qvbench::PhotoIndexed(kSide, kSide);
  size_t row = static_cast<size_t>(kSide) * bits / 8;
  std::vector<uint8_t> v = Headers(bits, 0, bits == 8 ? 256 : 0, static_cast<uint32_t>(p.size()));
  for (uint32_t y = kSide; y-- > 0;) v.insert(v.end(), p.begin() + y * row, p.begin() + (y + 1) * row);
  return v;
}

std::vector<uint8_t> Rle8() {
  const std::vector<uint8_t> &p = qvbench::PhotoIndexed(kSide, kSide);
  std::vector<uint8_t> codes;
  for (uint32_t y = kSide; y-- > 0;) {
    const uint8_t *row = &p[static_cast<size_t>(y) * kSide];
    for (uint32_t x = 0; x < kSide;) {
      uint32_t run = 1;
      while (x + run < kSide && run < 255 && row[x + run] == row[x]) ++run;
      codes.push_back(static_cast<uint8_t>(run));
      codes.push_back(row[x]);
      x += run;
    }
    codes.push_back(0);
    codes.push_back(y == 0 ? 1 : 0);
  }
  std::vector<uint8_t> v = Headers(8, 1, 256, static_cast<uint32_t>(codes.size()));
  v.insert(v.end(), codes.begin(), codes.end());
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<qvbench::Sample> samples = {
      {"rgb24", 0, Stored(24), 1.0}, {"pal8", 0, Stored(8), 1.0}, {"rle8", kRle, Rle8(), 3.0}};
  // stb_image reads no RLE.
  return qvbench::RunAndReport(argc, argv, qvbench::RegisterRasterBenchmarks(samples, "BMP", 2),
                               "photograph 4096x4096");
}
