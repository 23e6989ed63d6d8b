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

struct Sample {
  const char *name;
  uint32_t type;
  std::vector<uint8_t> file;
};

const std::vector<Sample> &Samples() {
  static const std::vector<Sample> s = {{"rgb24", 0, Stored(24)}, {"pal8", 0, Stored(8)}, {"rle8", kRle, Rle8()}};
  return s;
}

void Quorvin(benchmark::State &state, uint32_t flags) {
  const Sample &s = Samples()[state.range(0)];
  state.SetLabel(std::string(s.name) + ", " + std::to_string(s.file.size() >> 10) + " KiB file");
  qvhost::Options o;
  o.imageType = s.type;
  o.flags = flags;
  o.extra = false;
  o.eventLimit = 0;
  std::vector<uint8_t> out;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = qvbench::DecodeInto(s.file, o, out);
    if (!bytes) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
// The bitmap's own order (bottom row first), and top row first (flipped
// delivery: rows placed in bands by output seeks), the order SDL2_image and
// stb_image produce.
void BM_Quorvin(benchmark::State &state) { Quorvin(state, 0); }
void BM_QuorvinTopDown(benchmark::State &state) { Quorvin(state, QV_FLAG_TOP_DOWN); }
BENCHMARK(BM_Quorvin)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinTopDown)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

template <typename Decode>
void Peer(benchmark::State &state, Decode decode) {
  const Sample &s = Samples()[state.range(0)];
  state.SetLabel(s.name);
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = decode(s.file);
    if (!bytes) {
      state.SkipWithError("the peer does not decode this file");
      return;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

#if QV_HAVE_SDL2_IMAGE
void BM_SdlImage(benchmark::State &state) {
  Peer(state, [](const std::vector<uint8_t> &f) { return qvbench::SdlDecode(f, "BMP"); });
}
BENCHMARK(BM_SdlImage)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
#endif
#if QV_HAVE_STB
void BM_Stb(benchmark::State &state) { Peer(state, qvbench::StbDecode); }
BENCHMARK(BM_Stb)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);  // stb_image reads no RLE
#endif

}  // namespace

int main(int argc, char **argv) {
  std::vector<qvbench::Ratio> ratios;
  const double goals[] = {1.0, 1.0, 3.0};
  for (int i = 0; i < 3; ++i) {
    std::string n = std::to_string(i), name = Samples()[i].name;
    ratios.push_back({"SDL2_image / Quorvin, " + name, "BM_Quorvin/" + n, "BM_SdlImage/" + n, goals[i]});
    ratios.push_back({"SDL2_image / Quorvin, " + name + ", top-down", "BM_QuorvinTopDown/" + n,
                      "BM_SdlImage/" + n, goals[i]});
    ratios.push_back({"stb_image / Quorvin, " + name, "BM_Quorvin/" + n, "BM_Stb/" + n, 0});
  }
  return qvbench::RunAndReport(argc, argv, ratios, "photograph 4096x4096");
}
