// PCX decoding of a 4096 x 4096 photograph as 8-bit (dithered to 252
// colours, table at the end of the file) and 24-bit (three planes) run-length
// images, through the host library with 64 KiB queues beside SDL2_image's PCX
// loader. MB/s count the bitmap bytes each side produces.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_support.h"

namespace {

constexpr uint32_t kSide = 4096;
constexpr uint32_t kPcx8 = QV_FOURCC('P', 'C', 'X', '8');

// Run-length coding of one row of all planes (runs of up to 63 bytes).
void EncodeRow(const std::vector<uint8_t> &row, std::vector<uint8_t> &v) {
  for (size_t i = 0, n; i < row.size(); i += n) {
    for (n = 1; i + n < row.size() && n < 63 && row[i + n] == row[i];) ++n;
    if (n > 1 || row[i] >= 0xC0) v.push_back(static_cast<uint8_t>(0xC0 | n));
    v.push_back(row[i]);
  }
}

std::vector<uint8_t> MakePcx(uint8_t planes) {
  std::vector<uint8_t> v = {10, 5, 1, 8};
  qvhost::Put16(v, 0), qvhost::Put16(v, 0), qvhost::Put16(v, kSide - 1), qvhost::Put16(v, kSide - 1);
  v.resize(65, 0);
  v.push_back(planes);
  qvhost::Put16(v, kSide);
  qvhost::Put16(v, 1);
  v.resize(128, 0);
  const std::vector<uint8_t> &indexed = qvbench::PhotoIndexed(kSide, kSide);
  const std::vector<uint8_t> &bgr = qvbench::PhotoBgr(kSide, kSide);
  std::vector<uint8_t> row(size_t{planes} * kSide);
  for (uint32_t y = 0; y < kSide; ++y) {
    size_t at = static_cast<size_t>(y) * kSide;
    if (planes == 1)
      row.assign(indexed.begin() + at, indexed.begin() + at + kSide);
    else
      for (uint32_t p = 0; p < 3; ++p)  // red, green, blue planes
        for (uint32_t x = 0; x < kSide; ++x) row[p * kSide + x] = bgr[(at + x) * 3 + 2 - p];
    EncodeRow(row, v);
  }
  if (planes == 1) {
    v.push_back(12);
    std::vector<uint8_t> t = qvbench::PhotoPaletteBgr();
    for (uint32_t i = 0; i < 256; ++i) v.insert(v.end(), {t[3 * i + 2], t[3 * i + 1], t[3 * i]});
  }
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<qvbench::Sample> samples = {{"pcx8", kPcx8, MakePcx(1), 0},
                                                {"pcx24", kPcx8, MakePcx(3), 0}};
  // stb_image reads no PCX.
  return qvbench::RunAndReport(argc, argv, qvbench::RegisterRasterBenchmarks(samples, "PCX", 0),
                               "photograph 4096x4096");
}
