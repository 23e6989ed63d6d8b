// GIF decoding: a 4096 x 4096 photograph dithered to 252 colours (the kind of
// file where LZW strings are short and decoding costs the most), stored plain
// and interlaced, through the host library with 64 KiB queues beside giflib
// (DGifSlurp from memory) and stb_image on the same bytes; and the LZW decoder
// alone on the picture's code stream. MB/s count the 8-bit bitmap bytes.
#include <benchmark/benchmark.h>
#include <string.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../tests/gif_encoder.h"
#include "bench_support.h"
#include "codecs/lzw/lzw.h"

#if QV_HAVE_GIF
#include <gif_lib.h>
#endif

namespace {

constexpr uint32_t kSide = 4096;
constexpr uint32_t kGifu = QV_FOURCC('G', 'I', 'F', 'u');
constexpr int64_t kBitmapBytes = int64_t{kSide} * kSide;

struct Sample {
  std::vector<uint8_t> plain, interlaced, lzw;
  size_t codes = 0;
};

const Sample &TheSample() {
  static Sample s = [] {
    Sample s;
    gifenc::GifImage g;
    g.width = g.height = kSide;
    g.globalBits = 8;
    g.pixels = qvbench::PhotoIndexed(kSide, kSide);
    s.plain = gifenc::MakeGif(g);
    g.interlaced = true;
    s.interlaced = gifenc::MakeGif(g);
    gifenc::LzwOptions o;
    o.initialWidth = 9;
    s.lzw = gifenc::LzwEncode(g.pixels.data(), g.pixels.size(), o);
    return s;
  }();
  return s;
}

void Decode(benchmark::State &state, bool interlaced, uint32_t flags) {
  const Sample &s = TheSample();
  const std::vector<uint8_t> &file = interlaced ? s.interlaced : s.plain;
  qvhost::Options o;
  o.imageType = kGifu;
  o.flags = flags;
  o.interlaceMode = 2;  // interlaced: the final image only
  o.extra = false;
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (qvbench::DecodeInto(file, o, out) != static_cast<size_t>(kBitmapBytes)) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kBitmapBytes);
}

// Bottom-up (the bitmap's own order: an output seek per row) and top row first.
void BM_QuorvinGif(benchmark::State &state) { Decode(state, false, 0); }
void BM_QuorvinGifTopDown(benchmark::State &state) { Decode(state, false, QV_FLAG_TOP_DOWN); }
void BM_QuorvinGifInterlaced(benchmark::State &state) { Decode(state, true, 0); }
BENCHMARK(BM_QuorvinGif)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinGifTopDown)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinGifInterlaced)->Unit(benchmark::kMillisecond);

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
  std::vector<uint8_t> out(static_cast<size_t>(kBitmapBytes));
  for (auto _ : state) {
    Feed feed{&s.lzw, 0};
    LzwDecoder *d = LzwInit(storage.data(), 9, 12, 256, 257, 0, FeedSource, &feed);
    for (uint32_t y = 0; y < kSide; ++y)
      if (!LzwReadBytes(d, out.data() + static_cast<size_t>(y) * kSide, kSide)) {
        state.SkipWithError("LZW failed");
        return;
      }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != qvbench::PhotoIndexed(kSide, kSide)) state.SkipWithError("LZW output differs");
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

void Giflib(benchmark::State &state, bool interlaced) {
  const Sample &s = TheSample();
  const std::vector<uint8_t> &file = interlaced ? s.interlaced : s.plain;
  for (auto _ : state) {
    MemoryInput m{file.data(), file.size(), 0};
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
void BM_Giflib(benchmark::State &state) { Giflib(state, false); }
void BM_GiflibInterlaced(benchmark::State &state) { Giflib(state, true); }
BENCHMARK(BM_Giflib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GiflibInterlaced)->Unit(benchmark::kMillisecond);
#endif

#if QV_HAVE_STB
void BM_StbGif(benchmark::State &state) {
  const Sample &s = TheSample();
  for (auto _ : state) {
    if (!qvbench::StbDecode(s.plain)) {
      state.SkipWithError("stb_image failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kBitmapBytes);
}
BENCHMARK(BM_StbGif)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

int main(int argc, char **argv) {
  const Sample &s = TheSample();
  char preface[160];
  std::snprintf(preface, sizeof preface, "photograph %ux%u: %zu bytes of GIF, %.2f bits per pixel",
                kSide, kSide, s.plain.size(), 8.0 * static_cast<double>(s.plain.size()) / kBitmapBytes);
  return qvbench::RunAndReport(
      argc, argv,
      {{"giflib / Quorvin, photograph, bottom-up", "BM_QuorvinGif", "BM_Giflib", 2.0},
       {"giflib / Quorvin, photograph, top-down", "BM_QuorvinGifTopDown", "BM_Giflib", 2.0},
       {"giflib / Quorvin, interlaced, final image", "BM_QuorvinGifInterlaced", "BM_GiflibInterlaced", 2.0},
       {"stb_image / Quorvin, photograph, bottom-up", "BM_QuorvinGif", "BM_StbGif", 0},
       {"giflib / LZW decoder alone", "BM_LzwDecoder", "BM_Giflib", 0}},
      preface);
}
