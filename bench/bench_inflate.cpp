// The deflate decoder alone against zlib's inflate and libdeflate, on zlib
// streams made by zlib at level 6: PNG-style filtered rows of a 2048 x 1024
// RGB photograph stand-in, read a row (filter byte included) at a time as a
// PNG reader does, and 8 MB of text-like prose, read 64 KiB at a time. Our
// decoder takes its input through its source callback from a 64 KiB buffer;
// zlib and libdeflate decode the whole stream into the whole output at once,
// their fastest way. MB/s count the decoded bytes.
#include <benchmark/benchmark.h>
#include <string.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codecs/inflate/inflate.h"
#include "deflate_samples.h"

#if QV_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

constexpr uint32_t kWidth = 2048, kHeight = 1024;
constexpr uint32_t kBuffer = 65536;

struct Sample {
  std::string name;
  std::vector<uint8_t> data, stream;
  size_t read;  // bytes per InflateRead
};

std::vector<uint8_t> Compress(const std::vector<uint8_t> &data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::vector<uint8_t> out(size);
  if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) {
    fprintf(stderr, "compress2 failed\n");
    exit(1);
  }
  out.resize(size);
  return out;
}

const Sample &Rows() {
  static Sample s = [] {
    Sample s;
    s.name = "filtered rows";
    s.data = deflatesamples::FilterRows(deflatesamples::Picture(kWidth, kHeight, 3, 1), kWidth, kHeight, 3);
    s.stream = Compress(s.data, 6);
    s.read = kWidth * 3 + 1;
    return s;
  }();
  return s;
}

const Sample &Prose() {
  static Sample s = [] {
    Sample s;
    s.name = "prose";
    s.data = deflatesamples::Prose(8u << 20, 2);
    s.stream = Compress(s.data, 6);
    s.read = 65536;
    return s;
  }();
  return s;
}

struct Feed {
  const std::vector<uint8_t> *stream;
  size_t at;
};

uint32_t FeedSource(void *context, uint8_t *buffer) {
  Feed *f = static_cast<Feed *>(context);
  size_t n = f->stream->size() - f->at;
  if (n > kBuffer) n = kBuffer;
  memcpy(buffer, f->stream->data() + f->at, n);
  f->at += n;
  return static_cast<uint32_t>(n);
}

void Ours(benchmark::State &state, const Sample &s) {
  std::vector<uint8_t> storage(InflateStorageSize(kBuffer));
  std::vector<uint8_t> out(s.data.size());
  for (auto _ : state) {
    Feed feed{&s.stream, 0};
    InflateDecoder *d = InflateInit(storage.data(), kBuffer, InflateZlib, FeedSource, &feed);
    size_t at = 0;
    while (at < out.size()) {
      size_t n = out.size() - at < s.read ? out.size() - at : s.read;
      InflateResult r = InflateRead(d, out.data() + at, n);
      if (r.Produced != n || r.Status < 0) {
        state.SkipWithError("inflate failed");
        return;
      }
      at += n;
    }
    if (InflateFinish(d) != InflateEnded) {
      state.SkipWithError("no clean end");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != s.data) state.SkipWithError("output differs");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.data.size()));
}

void Zlib(benchmark::State &state, const Sample &s) {
  std::vector<uint8_t> out(s.data.size());
  for (auto _ : state) {
    uLongf size = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &size, s.stream.data(), static_cast<uLong>(s.stream.size())) != Z_OK ||
        size != out.size()) {
      state.SkipWithError("zlib failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.data.size()));
}

#if QV_HAVE_LIBDEFLATE
void Libdeflate(benchmark::State &state, const Sample &s) {
  std::vector<uint8_t> out(s.data.size());
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  for (auto _ : state) {
    if (libdeflate_zlib_decompress(d, s.stream.data(), s.stream.size(), out.data(), out.size(), nullptr) !=
        LIBDEFLATE_SUCCESS) {
      state.SkipWithError("libdeflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_decompressor(d);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.data.size()));
}
#endif

void BM_InflateRows(benchmark::State &state) { Ours(state, Rows()); }
void BM_ZlibRows(benchmark::State &state) { Zlib(state, Rows()); }
void BM_InflateProse(benchmark::State &state) { Ours(state, Prose()); }
void BM_ZlibProse(benchmark::State &state) { Zlib(state, Prose()); }
BENCHMARK(BM_InflateRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateProse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibProse)->Unit(benchmark::kMillisecond);
#if QV_HAVE_LIBDEFLATE
void BM_LibdeflateRows(benchmark::State &state) { Libdeflate(state, Rows()); }
void BM_LibdeflateProse(benchmark::State &state) { Libdeflate(state, Prose()); }
BENCHMARK(BM_LibdeflateRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibdeflateProse)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

int main(int argc, char **argv) {
  char preface[256];
  std::snprintf(
      preface, sizeof preface,
      "filtered rows %ux%u RGB: %zu bytes, %zu compressed; prose: %zu bytes, %zu compressed (zlib level 6)",
      kWidth, kHeight, Rows().data.size(), Rows().stream.size(), Prose().data.size(), Prose().stream.size());
  return qvbench::RunAndReport(
      argc, argv,
      {
        {"zlib / Quorvin inflate, filtered rows", "BM_InflateRows", "BM_ZlibRows", 1.5},
            {"zlib / Quorvin inflate, prose", "BM_InflateProse", "BM_ZlibProse", 1.5},
#if QV_HAVE_LIBDEFLATE
            {"libdeflate / Quorvin inflate, filtered rows", "BM_InflateRows", "BM_LibdeflateRows", 0},
            {"libdeflate / Quorvin inflate, prose", "BM_InflateProse", "BM_LibdeflateProse", 0},
#endif
      },
      preface);
}
