// PNG decode: a 4096 x 4096 RGB photograph stand-in and a 4096 x 4096
// palette graphic, both written by libpng with its defaults (zlib level 6;
// adaptive filters for RGB, none for the palette image, as libpng chooses),
// decoded by us through the host library (64 KiB queues, and in memory: the
// file as the input queue, the bitmap as the output queue) and in the same
// run by libpng (png_read_row into a reused bitmap, and png_read_image),
// libspng and stb_image from memory. Peers give their natural rows (RGB,
// palette indexes; stb_image expands palettes to RGB); ours are BGR and
// indexes. MB/s count the bitmap bytes.
#include <benchmark/benchmark.h>
#include <png.h>
#include <setjmp.h>
#include <string.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

#if QV_HAVE_SPNG
#include <spng.h>
#endif

namespace {

constexpr uint32_t kSide = 4096;

struct Picture {
  const char *name;
  std::vector<uint8_t> file;
  bool palette;
};

void Append(png_structp png, png_bytep data, size_t n) {
  auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void Flush(png_structp) {}

// rows: RGB triples or palette indexes, top row first.
std::vector<uint8_t> WritePng(const std::vector<uint8_t> &rows, bool palette, const std::vector<png_color> &colours) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    fprintf(stderr, "libpng could not write the picture\n");
    exit(1);
  }
  png_set_write_fn(png, &out, Append, Flush);
  png_set_IHDR(png, info, kSide, kSide, 8, palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (palette) png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
  png_write_info(png, info);
  size_t rowBytes = size_t{kSide} * (palette ? 1 : 3);
  for (uint32_t y = 0; y < kSide; ++y) png_write_row(png, rows.data() + y * rowBytes);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

const Picture &Photo() {
  static Picture p = [] {
    std::vector<uint8_t> rgb = qvbench::PhotoBgr(kSide, kSide);
    for (size_t i = 0; i < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
    return Picture{"RGB photograph", WritePng(rgb, false, {}), false};
  }();
  return p;
}

// A drawing: flat fields, bands of gradient steps, thin lines and a grid of
// letter-like marks in 64 colours.
const Picture &Graphic() {
  static Picture p = [] {
    std::vector<uint8_t> v(size_t{kSide} * kSide);
    for (uint32_t y = 0; y < kSide; ++y)
      for (uint32_t x = 0; x < kSide; ++x) {
        uint32_t c = ((x / 512) + (y / 384) * 3) % 8;                          // fields
        if ((y / 256) % 4 == 1) c = 8 + (x / 128) % 16;                      // steps
        if ((x + 2 * y) % 301 < 3 || (3 * x + y) % 547 < 2) c = 24 + (x / 64) % 8;  // lines
        uint32_t cx = x % 24, cy = y % 32;                                   // marks
        if ((y / 1024) % 2 == 0 && cx < 14 && cy < 20 && ((cx * 7 + cy * 3 + (x / 24) * 5 + (y / 32)) % 11 < 3))
          c = 32 + ((x / 24 + y / 32) % 32);
        v[size_t{y} * kSide + x] = static_cast<uint8_t>(c);
      }
    std::vector<png_color> colours(64);
    for (int i = 0; i < 64; ++i)
      colours[i] = {static_cast<png_byte>(i * 37), static_cast<png_byte>(255 - i * 13), static_cast<png_byte>(i * i)};
    return Picture{"palette graphic", WritePng(v, true, colours), true};
  }();
  return p;
}

// ---- libpng ----------------------------------------------------------------

struct Source {
  const std::vector<uint8_t> *file;
  size_t at;
};
void ReadMemory(png_structp png, png_bytep out, size_t n) {
  Source *s = static_cast<Source *>(png_get_io_ptr(png));
  if (s->file->size() - s->at < n) png_error(png, "cut short");
  memcpy(out, s->file->data() + s->at, n);
  s->at += n;
}

// One decode by libpng into bitmap (resized once); rows one at a time or
// all with png_read_image. Returns the bytes produced.
size_t LibpngDecode(const std::vector<uint8_t> &file, std::vector<uint8_t> &bitmap, bool whole) {
  Source s{&file, 0};
  std::vector<png_bytep> rows;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return 0;
  }
  png_set_read_fn(png, &s, ReadMemory);
  png_read_info(png, info);
  png_read_update_info(png, info);
  uint32_t h = png_get_image_height(png, info);
  size_t rowBytes = png_get_rowbytes(png, info);
  if (bitmap.size() != rowBytes * h) bitmap.resize(rowBytes * h);
  if (whole) {
    rows.resize(h);
    for (uint32_t y = 0; y < h; ++y) rows[y] = bitmap.data() + y * rowBytes;
    png_read_image(png, rows.data());
  } else {
    for (uint32_t y = 0; y < h; ++y) png_read_row(png, bitmap.data() + y * rowBytes, nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return rowBytes * h;
}

void Libpng(benchmark::State &state, const Picture *p, bool whole) {
  state.SetLabel(p->name);
  std::vector<uint8_t> bitmap;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = LibpngDecode(p->file, bitmap, whole);
    if (!bytes) return state.SkipWithError("libpng failed");
    benchmark::DoNotOptimize(bitmap.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

#if QV_HAVE_SPNG
size_t SpngDecode(const std::vector<uint8_t> &file, std::vector<uint8_t> &bitmap, bool palette) {
  spng_ctx *c = spng_ctx_new(0);
  spng_set_png_buffer(c, file.data(), file.size());
  int format = palette ? SPNG_FMT_PNG : SPNG_FMT_RGB8;
  size_t n = 0;
  if (spng_decoded_image_size(c, format, &n) == 0) {
    if (bitmap.size() != n) bitmap.resize(n);
    if (spng_decode_image(c, bitmap.data(), n, format, 0) != 0) n = 0;
  }
  spng_ctx_free(c);
  return n;
}

void Spng(benchmark::State &state, const Picture *p) {
  state.SetLabel(p->name);
  std::vector<uint8_t> bitmap;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = SpngDecode(p->file, bitmap, p->palette);
    if (!bytes) return state.SkipWithError("libspng failed");
    benchmark::DoNotOptimize(bitmap.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
#endif

// ---- Ours ------------------------------------------------------------------------

void Quorvin(benchmark::State &state, const Picture *p, uint32_t flags, bool memory) {
  qvhost::Options o;
  o.imageType = QV_TYPE_PNG;
  o.flags = flags;
  if (memory) o.wholeInput = o.borrowInput = o.directOutput = true;
  qvbench::RunQuorvin(state, p->file, o, p->name);
}

// --verify: our bitmap (top row first, blue before red) against libpng's
// rows, for both pictures. --once photo|palette: one decode by each, for
// callgrind.
int Verify(bool once, const std::string &only) {
  int failures = 0;
  for (const Picture *p : {&Photo(), &Graphic()}) {
    if (once && only != (p->palette ? "palette" : "photo")) continue;
    std::vector<uint8_t> peer, ours;
    qvhost::Options o;
    o.imageType = QV_TYPE_PNG;
    o.flags = QV_FLAG_TOP_DOWN;
    bool ok = LibpngDecode(p->file, peer, false) && qvbench::DecodeInto(p->file, o, ours) == peer.size();
    if (once) return ok ? 0 : 1;
    size_t bad = 0, bpp = p->palette ? 1 : 3;
    for (size_t i = 0; ok && i < peer.size(); ++i) bad += peer[i] != ours[bpp == 3 ? i - i % 3 + 2 - i % 3 : i];
    std::printf("%-16s %zu bytes of file: %s\n", p->name, p->file.size(),
                !ok ? "a decode failed" : bad ? "differs" : "identical");
    failures += !ok || bad;
  }
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--write") {
    // --write DIR: the two files, for the tools and profilers.
    bool ok = true;
    for (const Picture *p : {&Photo(), &Graphic()}) {
      std::string path = std::string(argv[2]) + (p->palette ? "/palette.png" : "/photo.png");
      FILE *f = fopen(path.c_str(), "wb");
      ok = f && fwrite(p->file.data(), 1, p->file.size(), f) == p->file.size() && fclose(f) == 0 && ok;
    }
    return ok ? 0 : 1;
  }
  if (argc == 2 && std::string(argv[1]) == "--verify") return Verify(false, "");
  if (argc == 3 && std::string(argv[1]) == "--once") return Verify(true, argv[2]);
  std::vector<qvbench::Ratio> ratios;
  for (const Picture *p : {&Photo(), &Graphic()}) {
    std::string n = p->palette ? "Palette" : "Photo";
    double goal = p->palette ? 0 : 1.5;
    for (bool memory : {false, true})
      for (uint32_t flags : {0u, uint32_t{QV_FLAG_TOP_DOWN}}) {
        std::string name = std::string("BM_Quorvin") + (flags ? "TopDown" : "") + (memory ? "InMemory" : "") + n;
        benchmark::RegisterBenchmark(name.c_str(), Quorvin, p, flags, memory)->Unit(benchmark::kMillisecond);
        std::string how = std::string(flags ? "top-down" : "bottom-up") + (memory ? ", in memory" : ", 64 KiB queues");
        ratios.push_back({"libpng rows / Quorvin, " + std::string(p->name) + ", " + how, name, "BM_LibpngRows" + n, goal});
      }
    benchmark::RegisterBenchmark(("BM_LibpngRows" + n).c_str(), Libpng, p, false)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_LibpngImage" + n).c_str(), Libpng, p, true)->Unit(benchmark::kMillisecond);
    ratios.push_back({"libpng image / Quorvin, " + std::string(p->name), "BM_QuorvinTopDown" + n, "BM_LibpngImage" + n, goal});
#if QV_HAVE_SPNG
    benchmark::RegisterBenchmark(("BM_Spng" + n).c_str(), Spng, p)->Unit(benchmark::kMillisecond);
    ratios.push_back({"libspng / Quorvin, " + std::string(p->name), "BM_QuorvinTopDown" + n, "BM_Spng" + n, 0});
#endif
#if QV_HAVE_STB
    benchmark::RegisterBenchmark(("BM_Stb" + n).c_str(), [p](benchmark::State &state) {
      qvbench::RunPeer(state, p->file, qvbench::StbDecode, p->name);
    })->Unit(benchmark::kMillisecond);
    ratios.push_back({"stb_image / Quorvin, " + std::string(p->name), "BM_QuorvinTopDown" + n, "BM_Stb" + n, 0});
#endif
  }
  std::string preface = "photograph: " + std::to_string(Photo().file.size()) + " bytes; palette graphic: " +
                        std::to_string(Graphic().file.size()) + " bytes\n";
  return qvbench::RunAndReport(argc, argv, ratios, preface);
}
