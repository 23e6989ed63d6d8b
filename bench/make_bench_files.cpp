// Writes the files bench/tool_speed.sh times the tools on, into a folder:
//   rgb-none.tif, rgb-packbits.tif, rgb-lzw.tif   4096 x 4096 RGB, libtiff's
//                                                 default strips (bench_tiff's picture)
//   g4.tif, g3-2d.tif, g3-1d.tif                  a 1728 x 22000-row text page
//                                                 (ten letters' worth), as bench_fax codes it
//   rgb24.bmp                                     4096 x 4096 24-bit stored rows
//                                                 (the photograph stand-in), bottom-up
// Usage: make_bench_files DIR
#include <stdio.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "fax_pages.h"

#if QV_HAVE_TIFF
#include <tiffio.h>
#endif

namespace {

bool Write(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f && fclose(f) != 0) ok = false;
  if (!ok) fprintf(stderr, "make_bench_files: cannot write %s\n", path.c_str());
  else printf("%s %zu bytes\n", path.c_str(), bytes.size());
  return ok;
}

constexpr uint32_t kSide = 4096;

#if QV_HAVE_TIFF
bool WriteRgbTiff(const std::string &path, uint16_t compression) {
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kSide);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kSide);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint8_t> row(size_t{kSide} * 3);
  bool ok = true;
  for (uint32_t y = 0; y < kSide && ok; ++y) {
    for (uint32_t x = 0; x < kSide; ++x)
      for (uint32_t c = 0; c < 3; ++c) row[x * 3 + c] = qvbench::StripPicture(x, y, c);
    ok = TIFFWriteScanline(t, row.data(), y, 0) == 1;
  }
  TIFFClose(t);
  printf("%s\n", path.c_str());
  return ok;
}
#endif

std::vector<uint8_t> StoredBmp() {
  const std::vector<uint8_t> &bgr = qvbench::PhotoBgr(kSide, kSide);
  uint32_t stride = kSide * 3, size = stride * kSide;
  std::vector<uint8_t> v = {'B', 'M'};
  qvhost::Put32(v, 54 + size), qvhost::Put32(v, 0), qvhost::Put32(v, 54);
  qvhost::Put32(v, 40), qvhost::Put32(v, kSide), qvhost::Put32(v, kSide);
  qvhost::Put16(v, 1), qvhost::Put16(v, 24), qvhost::Put32(v, 0), qvhost::Put32(v, size);
  qvhost::Put32(v, 2835), qvhost::Put32(v, 2835), qvhost::Put32(v, 0), qvhost::Put32(v, 0);
  for (uint32_t k = 0; k < kSide; ++k) {
    const uint8_t *row = bgr.data() + size_t{kSide - 1 - k} * stride;
    v.insert(v.end(), row, row + stride);
  }
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_bench_files DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  bool ok = Write(dir + "/rgb24.bmp", StoredBmp());
#if QV_HAVE_TIFF
  ok = ok && WriteRgbTiff(dir + "/rgb-none.tif", COMPRESSION_NONE) &&
       WriteRgbTiff(dir + "/rgb-packbits.tif", COMPRESSION_PACKBITS) &&
       WriteRgbTiff(dir + "/rgb-lzw.tif", COMPRESSION_LZW);
  faxpages::Page page = faxpages::TextPage(1728, 22000, 100);
  struct Fax {
    const char *name;
    uint16_t compression;
    uint32_t options;
  };
  for (const Fax &f : {Fax{"g4.tif", 4, 0}, Fax{"g3-2d.tif", 3, 1}, Fax{"g3-1d.tif", 3, 0}}) {
    faxpages::TiffOptions o;
    o.compression = f.compression;
    o.group3Options = f.options;
    ok = ok && Write(dir + "/" + f.name, faxpages::EncodeTiff(page, o));
  }
#else
  fprintf(stderr, "make_bench_files: built without libtiff; TIFF files not written\n");
#endif
  return ok ? 0 : 1;
}
