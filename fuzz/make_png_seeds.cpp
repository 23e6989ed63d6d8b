// make_png_seeds OUT_DIR: seeds for fuzz_png, made here: every colour type
// and depth, plain and Adam7, each filter, tRNS of each kind, text chunks,
// the image data in small chunks; compressed by the test writer (fixed
// codes, stored blocks) and by zlib (dynamic codes). Each behind the 4-byte
// prefix the target reads.
#include <stdio.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "png_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;
int g_written = 0;

void Write(const std::string &dir, const Bytes &file, uint8_t options) {
  Bytes seed = {options, static_cast<uint8_t>(g_written * 7 % 64), static_cast<uint8_t>(g_written), 0};
  seed.insert(seed.end(), file.begin(), file.end());
  std::string path = dir + "/png-" + std::to_string(g_written++);
  if (FILE *f = fopen(path.c_str(), "wb")) {
    fwrite(seed.data(), 1, seed.size(), f);
    fclose(f);
  }
}

// The same image with its data compressed by zlib.
Bytes WithZlib(const pngbuild::Image &im, const Bytes &built) {
  Bytes raw = pngbuild::FilteredData(im);
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  Bytes z(n);
  if (compress2(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) return built;
  z.resize(n);
  Bytes out(built.begin(), built.begin() + 33);  // signature and IHDR
  if (!im.palette.empty()) pngbuild::PutChunk(out, "PLTE", im.palette);
  if (!im.trns.empty()) pngbuild::PutChunk(out, "tRNS", im.trns);
  pngbuild::PutChunk(out, "IDAT", z);
  pngbuild::PutChunk(out, "IEND", {});
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_png_seeds OUT_DIR\n");
    return 2;
  }
  const struct { uint8_t type, depth; } kinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                                   {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
  uint32_t x = 1;
  for (const auto &k : kinds)
    for (int interlaced = 0; interlaced < 2; ++interlaced) {
      pngbuild::Image im;
      im.width = 13 + interlaced * 4;
      im.height = 9 + k.depth % 5;
      im.depth = k.depth;
      im.colourType = k.type;
      im.interlaced = interlaced;
      size_t n = pngbuild::LineBytes(im, im.width) * im.height;
      for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        im.lines.push_back(static_cast<uint8_t>(i % 7 ? i * 3 : x >> 24));
      }
      if (k.type == 3) {
        for (uint32_t i = 0; i < (1u << k.depth); ++i) im.palette.insert(im.palette.end(), {uint8_t(i * 3), uint8_t(i * 5), uint8_t(i)});
        im.trns = interlaced ? Bytes{255, 0} : Bytes{10, 20, 30};
      } else if (k.type == 0 || k.type == 2) {
        if (interlaced) im.trns.assign(k.type == 0 ? 2 : 6, 0);
      }
      im.filter = interlaced ? -1 : k.depth % 5;
      im.stored = k.depth == 2;
      im.chunkSize = interlaced ? 0 : 40;
      im.before = {{"tEXt", {'k', 0, 'v'}}, {"pHYs", {0, 0, 1, 0, 0, 0, 1, 0, 1}}};
      im.after = {{"tEXt", {'a', 0, 'b'}}};
      Bytes file = pngbuild::Build(im);
      uint8_t options = static_cast<uint8_t>((g_written % 4) | (g_written % 3 == 0 ? 8 : 0) | (g_written % 5 == 0 ? 48 : 0));
      Write(argv[1], file, options);
      Write(argv[1], WithZlib(im, file), static_cast<uint8_t>(options ^ 1));
    }
  printf("%d seeds\n", g_written);
  return 0;
}
