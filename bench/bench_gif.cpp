// GIF decoding throughput through the host library with 64 KiB queues, beside
// giflib (DGifSlurp from memory) and stb_image on the same bytes in the same
// run, and the LZW decoder alone. The file is made here: a 2048 x 1536
// non-interlaced picture with 256 colours, flat areas and detail. MB/s count
// the 8-bit bitmap bytes produced (stb_image produces RGBA, counted as the
// 8-bit bitmap too so the figures compare decode work). The closing lines
// print peer time / our time in CPU time, which a shared machine disturbs
// less than wall time (>= 1.5 is the target against giflib).
#include <benchmark/benchmark.h>
#include <string.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "../tests/gif_encoder.h"
#include "bench_support.h"
#include "formats/gif/lzw.h"

#if QV_HAVE_GIF
#include <gif_lib.h>
#endif

namespace {

constexpr uint32_t kWidth = 2048, kHeight = 1536;
constexpr uint32_t kGifu = QV_FOURCC('G', 'I', 'F', 'u');

uint8_t Index(uint32_t x, uint32_t y) {
  uint32_t band = (x / 64 + y / 48) & 7;
  if (band < 4) return static_cast<uint8_t>(band * 30 + (y / 96));            // flat blocks
  if (band < 6) return static_cast<uint8_t>(128 + ((x / 3 + y / 5) & 31));    // gradients
  return static_cast<uint8_t>((x * 7 + y * 13 + ((x * y) >> 5)) & 0xFF);     // detail
}

struct Sample {
  std::vector<uint8_t> pixels, file, lzw;
};

const Sample &TheSample() {
  static Sample s = [] {
    Sample s;
    gifenc::GifImage g;
    g.width = kWidth;
    g.height = kHeight;
    g.globalBits = 8;
    g.pixels.resize(static_cast<size_t>(kWidth) * kHeight);
    for (uint32_t y = 0; y < kHeight; ++y)
      for (uint32_t x = 0; x < kWidth; ++x) g.pixels[static_cast<size_t>(y) * kWidth + x] = Index(x, y);
    s.pixels = g.pixels;
    s.file = gifenc::MakeGif(g);
    gifenc::LzwOptions o;
    o.initialWidth = 9;
    s.lzw = gifenc::LzwEncode(g.pixels.data(), g.pixels.size(), o);
    return s;
  }();
  return s;
}

constexpr int64_t kBitmapBytes = int64_t{kWidth} * kHeight;

void Decode(benchmark::State &state, uint32_t flags) {
  const Sample &s = TheSample();
  qvhost::Options o;
  o.imageType = kGifu;
  o.flags = flags;
  o.extra = false;
  o.eventLimit = 0;
  for (auto _ : state) {
    qvhost::Result r = qvhost::Decode(s.file.data(), s.file.size(), o);
    if (!r.ok() || r.output.size() != static_cast<size_t>(kBitmapBytes)) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(r.output.data());
  }
  state.SetBytesProcessed(state.iterations() * kBitmapBytes);
}

// Bottom-up (the bitmap's own order: a row seek per row) and top row first.
void BM_QuorvinGif(benchmark::State &state) { Decode(state, 0); }
BENCHMARK(BM_QuorvinGif)->Unit(benchmark::kMillisecond);
void BM_QuorvinGifTopDown(benchmark::State &state) { Decode(state, QV_FLAG_TOP_DOWN); }
BENCHMARK(BM_QuorvinGifTopDown)->Unit(benchmark::kMillisecond);

struct Feed {
  const std::vector<uint8_t> *data;
  size_t at;
};

uint32_t FeedSource(void *context, uint8_t *buffer) {
  Feed *f = static_cast<Feed *>(context);
  size_t n = f->data->size() - f->at;
  if (n > 4096) n = 4096;
  memcpy(buffer, f->data->data() + f->at, n);
  f->at += n;
  return static_cast<uint32_t>(n);
}

// The LZW decoder alone, a row at a time, on the picture's code stream.
void BM_LzwDecoder(benchmark::State &state) {
  const Sample &s = TheSample();
  std::vector<uint8_t> storage(LzwStorageSize(12, 4096));
  std::vector<uint8_t> out(s.pixels.size());
  for (auto _ : state) {
    Feed feed{&s.lzw, 0};
    LzwDecoder *d = LzwInit(storage.data(), 9, 12, 256, 257, 0, FeedSource, &feed);
    for (uint32_t y = 0; y < kHeight; ++y)
      if (!LzwReadBytes(d, out.data() + static_cast<size_t>(y) * kWidth, kWidth)) {
        state.SkipWithError("LZW failed");
        return;
      }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != s.pixels) state.SkipWithError("LZW output differs");
  state.SetBytesProcessed(state.iterations() * kBitmapBytes);
}
BENCHMARK(BM_LzwDecoder)->Unit(benchmark::kMillisecond);

#if QV_HAVE_GIF
struct MemoryInput {
  const uint8_t *data;
  size_t size, at;
};

int ReadMemory(GifFileType *gif, GifByteType *dst, int n) {
  auto *m = static_cast<MemoryInput *>(gif->UserData);
  size_t k = m->size - m->at < static_cast<size_t>(n) ? m->size - m->at : static_cast<size_t>(n);
  memcpy(dst, m->data + m->at, k);
  m->at += k;
  return static_cast<int>(k);
}

void BM_GiflibSlurp(benchmark::State &state) {
  const Sample &s = TheSample();
  for (auto _ : state) {
    MemoryInput m{s.file.data(), s.file.size(), 0};
    int error = 0;
    GifFileType *gif = DGifOpen(&m, ReadMemory, &error);
    if (!gif || DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) {
      if (gif) DGifCloseFile(gif, &error);
      state.SkipWithError("giflib failed");
      return;
    }
    benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits);
    DGifCloseFile(gif, &error);
  }
  state.SetBytesProcessed(state.iterations() * kBitmapBytes);
}
BENCHMARK(BM_GiflibSlurp)->Unit(benchmark::kMillisecond);
#endif

#if QV_HAVE_STB
void BM_StbGif(benchmark::State &state) {
  const Sample &s = TheSample();
  for (auto _ : state) {
    if (!qvbench::StbDecode(s.file)) {
      state.SkipWithError("stb_image failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kBitmapBytes);
}
BENCHMARK(BM_StbGif)->Unit(benchmark::kMillisecond);
#endif

using qvbench::RatioReporter;

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const Sample &s = TheSample();
  std::printf("file: %ux%u, %zu bytes of GIF for %lld bytes of bitmap\n", kWidth, kHeight,
              s.file.size(), static_cast<long long>(kBitmapBytes));
  for (const char *ours : {"BM_QuorvinGif", "BM_QuorvinGifTopDown"})
    for (const char *peer : {"BM_GiflibSlurp", "BM_StbGif"}) {
      double a = reporter.CpuSeconds(ours), b = reporter.CpuSeconds(peer);
      if (a > 0 && b > 0)
        std::printf("%s / %s time: %.2f (peer is slower above 1; target >= 1.5 against giflib)\n",
                    peer, ours, b / a);
    }
  benchmark::Shutdown();
  return 0;
}
