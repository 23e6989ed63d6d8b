// BMP decoding throughput through the host library with 64 KiB queues, and
// stb_image decoding the same bytes to memory in the same run. The files are
// made here: 2048 x 1536 pictures stored as 24-bit and 8-bit rows, and the
// 8-bit picture RLE8-coded. MB/s count the bitmap bytes each decoder
// produces; the closing lines print stb time / our time (>= 1 means we are at
// least as fast).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

constexpr uint32_t kWidth = 2048, kHeight = 1536;
constexpr uint32_t kRle = QV_FOURCC('B', 'M', 'P', 'R');

using qvhost::Put16;
using qvhost::Put32;

// A picture with smooth areas and detail: index of pixel (x, y).
uint8_t Index(uint32_t x, uint32_t y) {
  uint32_t band = (x / 64 + y / 48) & 7;
  if (band < 5) return static_cast<uint8_t>(band * 30 + (y / 96));           // flat blocks
  return static_cast<uint8_t>((x * 7 + y * 13 + ((x * y) >> 5)) & 0xFF);  // detail
}

std::vector<uint8_t> Headers(uint32_t bits, uint32_t compression, uint32_t entries,
                             uint32_t dataSize) {
  std::vector<uint8_t> v = {'B', 'M'};
  uint32_t offset = 14 + 40 + 4 * entries;
  Put32(v, offset + dataSize);
  Put32(v, 0);
  Put32(v, offset);
  Put32(v, 40);
  Put32(v, kWidth);
  Put32(v, kHeight);
  Put16(v, 1);
  Put16(v, bits);
  Put32(v, compression);
  Put32(v, dataSize);
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, entries);
  Put32(v, 0);
  for (uint32_t i = 0; i < entries; ++i) {
    v.push_back(static_cast<uint8_t>(i));
    v.push_back(static_cast<uint8_t>(255 - i));
    v.push_back(static_cast<uint8_t>(i * 3));
    v.push_back(0);
  }
  return v;
}

std::vector<uint8_t> Make24() {
  std::vector<uint8_t> rows;
  rows.reserve(kWidth * 3 * kHeight);
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < kWidth; ++x) {
      uint8_t i = Index(x, y);
      rows.insert(rows.end(), {i, static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 3)});
    }
  std::vector<uint8_t> v = Headers(24, 0, 0, static_cast<uint32_t>(rows.size()));
  v.insert(v.end(), rows.begin(), rows.end());
  return v;
}

std::vector<uint8_t> Make8() {
  std::vector<uint8_t> rows;
  rows.reserve(kWidth * kHeight);
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < kWidth; ++x) rows.push_back(Index(x, y));
  std::vector<uint8_t> v = Headers(8, 0, 256, static_cast<uint32_t>(rows.size()));
  v.insert(v.end(), rows.begin(), rows.end());
  return v;
}

// RLE8: runs where pixels repeat, literals elsewhere, end of line per row.
std::vector<uint8_t> MakeRle8() {
  std::vector<uint8_t> codes;
  std::vector<uint8_t> row(kWidth);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) row[x] = Index(x, y);
    uint32_t x = 0;
    while (x < kWidth) {
      uint32_t run = 1;
      while (x + run < kWidth && run < 255 && row[x + run] == row[x]) ++run;
      if (run >= 3 || kWidth - x < 3) {
        codes.push_back(static_cast<uint8_t>(run));
        codes.push_back(row[x]);
        x += run;
        continue;
      }
      uint32_t n = 0;  // literal up to the next run of 3
      while (x + n < kWidth && n < 255 &&
             !(x + n + 2 < kWidth && row[x + n] == row[x + n + 1] && row[x + n] == row[x + n + 2]))
        ++n;
      if (n < 3) n = kWidth - x < 3 ? kWidth - x : 3;
      codes.push_back(0);
      codes.push_back(static_cast<uint8_t>(n));
      codes.insert(codes.end(), row.begin() + x, row.begin() + x + n);
      if (n & 1) codes.push_back(0);
      x += n;
    }
    codes.push_back(0);
    codes.push_back(y + 1 == kHeight ? 1 : 0);
  }
  std::vector<uint8_t> v = Headers(8, 1, 256, static_cast<uint32_t>(codes.size()));
  v.insert(v.end(), codes.begin(), codes.end());
  return v;
}

struct Sample {
  const char *name;
  uint32_t type;
  std::vector<uint8_t> file;
};

const std::vector<Sample> &Samples() {
  static const std::vector<Sample> s = {
      {"rgb24", 0, Make24()}, {"pal8", 0, Make8()}, {"rle8", kRle, MakeRle8()}};
  return s;
}

void BM_Quorvin(benchmark::State &state) {
  const Sample &s = Samples()[state.range(0)];
  state.SetLabel(std::string(s.name) + ", " + std::to_string(s.file.size() >> 10) + " KiB file");
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = qvbench::DecodeBytes(s.file, s.type, 65536);
    if (!bytes) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Quorvin)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_Stb(benchmark::State &state) {
  const Sample &s = Samples()[state.range(0)];
  state.SetLabel(s.name);
#if QV_HAVE_STB
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = qvbench::StbDecode(s.file);
    if (!bytes) {
      state.SkipWithError("stb_image does not decode this file");
      return;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
#else
  state.SkipWithError("built without stb_image");
#endif
}
BENCHMARK(BM_Stb)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

using qvbench::RatioReporter;

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::vector<Sample> &s = Samples();
  for (size_t i = 0; i < s.size(); ++i) {
    double ours = reporter.Seconds("BM_Quorvin/" + std::to_string(i));
    double stb = reporter.Seconds("BM_Stb/" + std::to_string(i));
    if (ours > 0 && stb > 0)
      std::printf("%s: stb_image time / our time = %.2f (target >= 1)\n", s[i].name, stb / ours);
    else if (ours > 0)
      std::printf("%s: %.2f ms per decode; no peer figure in this run\n", s[i].name, ours * 1e3);
  }
  benchmark::Shutdown();
  return 0;
}
