// PCX decode throughput: 8-bit (256 colours, table at the end of the file)
// and 24-bit (three planes) run-length images of 3 megapixels, made in
// memory, through the host library and through SDL2_image's PCX loader in the
// same run. Reports MB/s of bitmap produced and the time ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

#if QV_HAVE_SDL2_IMAGE
#include <SDL.h>
#include <SDL_image.h>
#endif

namespace {

constexpr uint32_t kWidth = 2000, kHeight = 1500;
constexpr uint32_t kPcx8 = QV_FOURCC('P', 'C', 'X', '8');

void Put16(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

// Flat areas, gradients and noise, so that runs and single bytes alternate
// as in real artwork. Component c of pixel (x, y).
uint8_t Sample(uint32_t x, uint32_t y, uint32_t c) {
  uint32_t noise = ((x * 2654435761u) ^ (y * 40503u) ^ (c * 977u)) >> 24;
  switch ((x / 97 + y / 61) % 4) {
    case 0: return static_cast<uint8_t>(30 + 80 * c);                   // flat
    case 1: return static_cast<uint8_t>(c == 0 ? x : c == 1 ? y : 128);  // gradient
    case 2: return static_cast<uint8_t>(noise);                          // noise
    default: return static_cast<uint8_t>(c == 1 ? y / 8 : 250 - c * 100);  // flat per 8 rows
  }
}

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
  Put16(v, 0), Put16(v, 0), Put16(v, kWidth - 1), Put16(v, kHeight - 1);
  v.resize(65, 0);
  v.push_back(planes);
  Put16(v, kWidth);
  Put16(v, 1);
  v.resize(128, 0);
  std::vector<uint8_t> row(size_t{planes} * kWidth);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t p = 0; p < planes; ++p)
      for (uint32_t x = 0; x < kWidth; ++x) row[p * kWidth + x] = Sample(x, y, p);
    EncodeRow(row, v);
  }
  if (planes == 1) {
    v.push_back(12);
    for (uint32_t i = 0; i < 768; ++i) v.push_back(static_cast<uint8_t>(i * 7));
  }
  return v;
}

const std::vector<uint8_t> &File(int planes) {
  static std::vector<uint8_t> files[2] = {MakePcx(1), MakePcx(3)};
  return files[planes == 1 ? 0 : 1];
}

void Quorvin(benchmark::State &state, int planes) {
  const std::vector<uint8_t> &file = File(planes);
  size_t produced = 0;
  for (auto _ : state) {
    produced = qvbench::DecodeBytes(file, kPcx8);
    if (!produced) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(produced));
}

void Sdl(benchmark::State &state, int planes) {
#if QV_HAVE_SDL2_IMAGE
  const std::vector<uint8_t> &file = File(planes);
  size_t produced = 0;
  for (auto _ : state) {
    SDL_RWops *rw = SDL_RWFromConstMem(file.data(), static_cast<int>(file.size()));
    SDL_Surface *s = IMG_LoadPCX_RW(rw);
    SDL_RWclose(rw);
    if (!s) {
      state.SkipWithError("SDL2_image failed");
      return;
    }
    produced = static_cast<size_t>(s->pitch) * static_cast<size_t>(s->h);
    SDL_FreeSurface(s);
    benchmark::DoNotOptimize(produced);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(produced));
#else
  (void)planes;
  state.SkipWithError("built without SDL2_image");
#endif
}

void BM_QuorvinPcx8(benchmark::State &s) { Quorvin(s, 1); }
void BM_SdlImagePcx8(benchmark::State &s) { Sdl(s, 1); }
void BM_QuorvinPcx24(benchmark::State &s) { Quorvin(s, 3); }
void BM_SdlImagePcx24(benchmark::State &s) { Sdl(s, 3); }
BENCHMARK(BM_QuorvinPcx8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SdlImagePcx8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinPcx24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SdlImagePcx24)->Unit(benchmark::kMillisecond);

using qvbench::RatioReporter;

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const char *pairs[][3] = {{"8-bit", "BM_QuorvinPcx8", "BM_SdlImagePcx8"},
                            {"24-bit", "BM_QuorvinPcx24", "BM_SdlImagePcx24"}};
  for (auto &p : pairs) {
    double ours = reporter.Seconds(p[1]), peer = reporter.Seconds(p[2]);
    if (ours > 0 && peer > 0)
      std::printf("%s PCX: SDL2_image time / Quorvin time = %.2f\n", p[0], peer / ours);
  }
  benchmark::Shutdown();
  return 0;
}
