// pysamples DIR: writes the sample files the Python tests decode, made by
// the project's own builders: the C++ tests' generated set (BMP, TGA, PCX,
// GIF), TIFF files of every layout the reader takes (grey, bilevel,
// palette, RGB, CMYK; uncompressed, PackBits, LZW with differencing; both
// byte orders; several pages with descriptive tags), and, where libtiff is
// there, fax pages coded as CCITT TIFF and as raw Group 3 data.
#include <stdio.h>

#include <string>
#include <vector>

#include "sample_files.h"
#include "test_support.h"
#include "tiff_builder.h"
#if QV_HAVE_TIFF
#include "fax_pages.h"
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using tiffbuild::kAscii;
using tiffbuild::kRational;
using tiffbuild::kShort;

uint8_t Pattern(uint32_t x, uint32_t y, uint32_t salt) {
  return static_cast<uint8_t>((x * 5 + y * 11 + salt) ^ (x * y >> 3));
}

tiffbuild::Page Page(uint32_t w, uint32_t h, uint16_t samples, uint16_t bits, uint16_t photometric,
                     uint16_t compression, uint32_t salt) {
  tiffbuild::Page p;
  p.width = w, p.height = h, p.samples = samples, p.bits = bits, p.photometric = photometric;
  p.compression = compression;
  p.rowsPerStrip = 7;
  uint32_t rb = tiffbuild::RowBytes(p);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < rb; ++x) p.pixels.push_back(Pattern(x, y / 2, salt));
  if (photometric == 3)
    for (uint32_t i = 0; i < 3u << bits; ++i) p.colorMap.push_back(static_cast<uint16_t>(Pattern(i, i / 3, salt) * 257));
  return p;
}

bool Write(const std::string &dir, const std::string &name, const Bytes &data) {
  std::string path = dir + "/" + name;
  if (!qvtest::WriteFileBytes(path, data)) {
    fprintf(stderr, "pysamples: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pysamples DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  bool ok = true;
  for (const qvtest::SampleFile &f : qvtest::GeneratedSamples())
    ok &= Write(dir, "gen-" + f.name.substr(f.name.rfind('/') + 1), f.data);

  tiffbuild::Writer little(false), big(true);
  tiffbuild::Page grey = Page(41, 29, 1, 8, 1, 1, 1);
  tiffbuild::Page white = Page(41, 29, 1, 8, 0, 32773, 2);  // min-is-white
  tiffbuild::Page mono = Page(70, 19, 1, 1, 0, 32773, 3);
  tiffbuild::Page pal4 = Page(33, 21, 1, 4, 3, 32773, 4);
  tiffbuild::Page pal8 = Page(40, 25, 1, 8, 3, 5, 5);
  tiffbuild::Page rgb = Page(37, 23, 3, 8, 2, 5, 6);
  rgb.predictor = 2;
  tiffbuild::Page cmyk = Page(29, 17, 4, 8, 5, 1, 7);
  ok &= Write(dir, "tiff-grey8.tif", little.Build({grey}));
  ok &= Write(dir, "tiff-minwhite-packbits.tif", little.Build({white}));
  ok &= Write(dir, "tiff-bilevel-packbits.tif", big.Build({mono}));
  ok &= Write(dir, "tiff-palette4-packbits.tif", little.Build({pal4}));
  ok &= Write(dir, "tiff-palette8-lzw.tif", big.Build({pal8}, true));
  ok &= Write(dir, "tiff-rgb-lzw-predictor.tif", little.Build({rgb}));
  ok &= Write(dir, "tiff-rgb-bigendian.tif", big.Build({Page(23, 31, 3, 8, 2, 1, 8)}));
  ok &= Write(dir, "tiff-cmyk.tif", little.Build({cmyk}));

  // Three pages, the second with descriptive tags.
  tiffbuild::Page tagged = Page(25, 15, 3, 8, 2, 32773, 9);
  tagged.tags = {{269, kAscii, {'s', 'c', 'a', 'n', '.', 't', 'i', 'f', 0}},
                 {282, kRational, {300, 1}},
                 {283, kRational, {150, 1}},
                 {296, kShort, {2}},
                 {305, kAscii, {'p', 'y', 's', 'a', 'm', 'p', 'l', 'e', 's', 0}}};
  ok &= Write(dir, "tiff-pages.tif", little.Build({grey, tagged, pal4}));

#if QV_HAVE_TIFF
  faxpages::Page page = faxpages::TextPage(1728, 180, 29);
  faxpages::TiffOptions g3, g32d, g4;
  g3.compression = 3, g3.rowsPerStrip = 64;
  g32d.compression = 3, g32d.group3Options = 1;
  g4.compression = 4, g4.fillOrder = 2;
  Bytes g3File = faxpages::EncodeTiff(page, g3);
  ok &= Write(dir, "fax-g3.tif", g3File);
  ok &= Write(dir, "fax-g3-2d.tif", faxpages::EncodeTiff(page, g32d));
  ok &= Write(dir, "fax-g4-lsb.tif", faxpages::EncodeTiff(faxpages::LineArtPage(1728, 120, 31), g4));
  // Raw Group 3: the coded rows of a one-strip page without the TIFF around them.
  faxpages::TiffOptions raw;
  raw.compression = 3;
  faxpages::TiffFax fax;
  Bytes rawFile = faxpages::EncodeTiff(faxpages::TextPage(1728, 90, 37), raw);
  if (faxpages::ReadFaxTiff(rawFile, 0, &fax) && fax.offsets.size() == 1)
    ok &= Write(dir, "fax-raw.g3", Bytes(rawFile.begin() + fax.offsets[0], rawFile.begin() + fax.offsets[0] + fax.counts[0]));
#endif
  return ok ? 0 : 1;
}
