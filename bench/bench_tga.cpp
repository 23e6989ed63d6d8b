// Targa decode throughput: uncompressed and run-length 24-bit images of a few
// megapixels, made in memory, through the host library and through stb_image
// in the same run. Reports MB/s of bitmap produced and the time ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

constexpr uint32_t kWidth = 2000, kHeight = 1500;  // 3 megapixels
constexpr uint32_t kTga2 = QV_FOURCC('T', 'G', 'A', '2');
constexpr uint32_t kTgaA = QV_FOURCC('T', 'G', 'A', 'A');

void Put16(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> Header(uint8_t type, uint32_t width) {
  std::vector<uint8_t> v = {0, 0, type, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Put16(v, width);
  Put16(v, kHeight);
  v.push_back(24);
  v.push_back(0);
  return v;
}

// A picture with flat areas, gradients and noise, so that run and raw
// packets alternate as in real artwork.
void Pixel(uint32_t x, uint32_t y, uint8_t *p) {
  uint32_t band = (x / 97 + y / 61) % 4;
  uint32_t noise = (x * 2654435761u ^ y * 40503u) >> 24;
  switch (band) {
    case 0: p[0] = 30, p[1] = 60, p[2] = 200; break;             // flat
    case 1: p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = 128; break;  // gradient
    case 2: p[0] = p[1] = p[2] = static_cast<uint8_t>(noise); break;  // noise
    default: p[0] = 250, p[1] = static_cast<uint8_t>(y / 8), p[2] = 10; break;  // flat per 8 rows
  }
}

std::vector<uint8_t> Uncompressed(uint32_t width) {
  std::vector<uint8_t> v = Header(2, width);
  uint8_t p[3];
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      Pixel(x, y, p);
      v.insert(v.end(), p, p + 3);
    }
  return v;
}

std::vector<uint8_t> RunLength(uint32_t width) {
  std::vector<uint8_t> v = Header(10, width);
  std::vector<uint8_t> row(width * 3);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < width; ++x) Pixel(x, y, &row[x * 3]);
    auto same = [&](uint32_t a, uint32_t b) {
      return row[3 * a] == row[3 * b] && row[3 * a + 1] == row[3 * b + 1] && row[3 * a + 2] == row[3 * b + 2];
    };
    uint32_t x = 0;
    while (x < width) {
      uint32_t run = 1;
      while (x + run < width && run < 128 && same(x, x + run)) ++run;
      if (run > 1) {
        v.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
        v.insert(v.end(), &row[3 * x], &row[3 * x] + 3);
        x += run;
        continue;
      }
      uint32_t n = 1;
      while (x + n < width && n < 128 && !(x + n + 1 < width && same(x + n, x + n + 1))) ++n;
      v.push_back(static_cast<uint8_t>(n - 1));
      v.insert(v.end(), &row[3 * x], &row[3 * (x + n)]);
      x += n;
    }
  }
  return v;
}

const std::vector<uint8_t> &File(int kind) {
  static std::vector<uint8_t> files[4] = {Uncompressed(kWidth), RunLength(kWidth),
                                          Uncompressed(kWidth + 1), RunLength(kWidth + 1)};
  return files[kind];
}

void Quorvin(benchmark::State &state, int kind, uint32_t type) {
  const std::vector<uint8_t> &file = File(kind);
  size_t produced = 0;
  for (auto _ : state) {
    produced = qvbench::DecodeBytes(file, type);
    if (!produced) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(produced));
}

void Stb(benchmark::State &state, int kind) {
#if QV_HAVE_STB
  const std::vector<uint8_t> &file = File(kind);
  size_t produced = 0;
  for (auto _ : state) {
    produced = qvbench::StbDecode(file);
    if (!produced) {
      state.SkipWithError("stb_image failed");
      return;
    }
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(produced));
#else
  (void)kind;
  state.SkipWithError("built without stb_image");
#endif
}

void BM_QuorvinTga24(benchmark::State &s) { Quorvin(s, 0, kTga2); }
void BM_StbTga24(benchmark::State &s) { Stb(s, 0); }
void BM_QuorvinTga24Rle(benchmark::State &s) { Quorvin(s, 1, kTgaA); }
void BM_StbTga24Rle(benchmark::State &s) { Stb(s, 1); }
// An odd width: rows carry padding, so they cannot be copied as one block.
void BM_QuorvinTga24OddWidth(benchmark::State &s) { Quorvin(s, 2, kTga2); }
void BM_StbTga24OddWidth(benchmark::State &s) { Stb(s, 2); }
void BM_QuorvinTga24RleOddWidth(benchmark::State &s) { Quorvin(s, 3, kTgaA); }
void BM_StbTga24RleOddWidth(benchmark::State &s) { Stb(s, 3); }
BENCHMARK(BM_QuorvinTga24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StbTga24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinTga24Rle)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StbTga24Rle)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinTga24OddWidth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StbTga24OddWidth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinTga24RleOddWidth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StbTga24RleOddWidth)->Unit(benchmark::kMillisecond);

// The console output, keeping each benchmark's CPU time per iteration (the
using qvbench::RatioReporter;

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const char *pairs[][3] = {{"uncompressed", "BM_QuorvinTga24", "BM_StbTga24"},
                            {"run-length", "BM_QuorvinTga24Rle", "BM_StbTga24Rle"},
                            {"uncompressed, odd width", "BM_QuorvinTga24OddWidth", "BM_StbTga24OddWidth"},
                            {"run-length, odd width", "BM_QuorvinTga24RleOddWidth", "BM_StbTga24RleOddWidth"}};
  for (auto &p : pairs) {
    double ours = reporter.CpuSeconds(p[1]), peer = reporter.CpuSeconds(p[2]);
    if (ours > 0 && peer > 0)
      std::printf("24-bit TGA %s: stb_image CPU time / Quorvin CPU time = %.2f (target >= 1)\n", p[0], peer / ours);
  }
  benchmark::Shutdown();
  return 0;
}
