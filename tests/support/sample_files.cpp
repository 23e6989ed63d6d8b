#include "sample_files.h"

#include <fstream>
#include <sstream>

#include "../gif_encoder.h"
#include "../tiff_builder.h"
#include "png_builder.h"
#include "jpeg_writer.h"
#include "test_support.h"

namespace qvtest {
namespace {

using Bytes = std::vector<uint8_t>;

uint8_t Pattern(uint32_t x, uint32_t y, uint32_t salt) {
  return static_cast<uint8_t>((x * 7 + y * 13 + salt) ^ (x * y >> 2));
}

Bytes Bmp(uint32_t w, int32_t h, uint16_t bits, uint32_t compression, uint32_t infoSize,
          const Bytes &palette, const Bytes &pixels) {
  Bytes v = {'B', 'M'};
  uint32_t offset = 14 + infoSize + static_cast<uint32_t>(palette.size());
  Put32(v, offset + static_cast<uint32_t>(pixels.size()));
  Put32(v, 0);
  Put32(v, offset);
  Put32(v, infoSize);
  Put32(v, w);
  Put32(v, static_cast<uint32_t>(h));
  Put16(v, 1);
  Put16(v, bits);
  Put32(v, compression);
  Put32(v, static_cast<uint32_t>(pixels.size()));
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, static_cast<uint32_t>(palette.size() / 4));
  Put32(v, 0);
  v.resize(14 + infoSize, 0x5A);  // the rest of a large info header: an extra-data record
  v.insert(v.end(), palette.begin(), palette.end());
  v.insert(v.end(), pixels.begin(), pixels.end());
  return v;
}

Bytes Palette(uint32_t n, uint32_t salt) {
  Bytes p;
  for (uint32_t i = 0; i < n; ++i) {
    p.push_back(Pattern(i, 1, salt));
    p.push_back(Pattern(i, 2, salt));
    p.push_back(Pattern(i, 3, salt));
    p.push_back(0);
  }
  return p;
}

Bytes Bmp24() {
  const uint32_t w = 37, h = 23, stride = (w * 3 + 3) & ~3u;
  Bytes px(stride * h, 0);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w * 3; ++x) px[y * stride + x] = Pattern(x, y, 1);
  return Bmp(w, h, 24, 0, 124, {}, px);
}

Bytes BmpRle8() {
  const uint32_t w = 45, h = 21;
  Bytes px;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w;) {
      uint8_t value = static_cast<uint8_t>((x / 6 + y) % 32);
      uint32_t n = 1;
      while (x + n < w && n < 255 && static_cast<uint8_t>(((x + n) / 6 + y) % 32) == value) ++n;
      px.push_back(static_cast<uint8_t>(n));
      px.push_back(value);
      x += n;
    }
    px.push_back(0);
    px.push_back(0);  // end of line
  }
  px.push_back(0);
  px.push_back(1);  // end of bitmap
  return Bmp(w, h, 8, 1, 40, Palette(32, 5), px);
}

Bytes Bmp4() {
  const uint32_t w = 51, h = 19, stride = ((w * 4 + 31) / 32) * 4;
  Bytes px(stride * h, 0);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < (w + 1) / 2; ++x) px[y * stride + x] = Pattern(x, y, 9);
  return Bmp(w, -static_cast<int32_t>(h), 4, 0, 40, Palette(16, 3), px);
}

// Targa header fields in file order.
Bytes TgaHeader(uint8_t idLength, uint8_t mapType, uint8_t type, uint16_t mapLength,
                uint8_t mapDepth, uint16_t w, uint16_t h, uint8_t depth, uint8_t descriptor) {
  Bytes v = {idLength, mapType, type};
  Put16(v, 0);
  Put16(v, mapLength);
  v.push_back(mapDepth);
  Put32(v, 0);  // origin
  Put16(v, w);
  Put16(v, h);
  v.push_back(depth);
  v.push_back(descriptor);
  return v;
}

// Run-length 24-bit with an image ID, and behind the pixels a developer
// field, the extension area, the developer directory and the footer.
Bytes TgaRunLength() {
  const uint16_t w = 29, h = 17;
  Bytes v = TgaHeader(5, 0, 10, 0, 0, w, h, 24, 0);
  for (uint8_t c : {'i', 'd', '-', '4', '2'}) v.push_back(c);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w;) {
      uint8_t shade = static_cast<uint8_t>((x / 4) * 30 + y);
      uint32_t n = 1;
      while (x + n < w && n < 128 && static_cast<uint8_t>(((x + n) / 4) * 30 + y) == shade) ++n;
      if (n > 1) {
        v.push_back(static_cast<uint8_t>(0x80 | (n - 1)));
        v.insert(v.end(), {shade, static_cast<uint8_t>(shade + 1), static_cast<uint8_t>(y)});
      } else {
        v.push_back(0);
        v.insert(v.end(), {Pattern(x, y, 2), Pattern(x, y, 3), Pattern(x, y, 4)});
      }
      x += n;
    }
  }
  uint32_t field = static_cast<uint32_t>(v.size());
  v.insert(v.end(), {1, 2, 3, 4, 5, 6, 7});
  uint32_t extension = static_cast<uint32_t>(v.size());
  Bytes area(495, 0);
  area[0] = 495 & 0xFF;
  area[1] = 495 >> 8;
  for (size_t i = 2; i < 300; ++i) area[i] = static_cast<uint8_t>('A' + i % 26);
  v.insert(v.end(), area.begin(), area.end());
  uint32_t directory = static_cast<uint32_t>(v.size());
  Put16(v, 1);
  Put16(v, 0x8001);
  Put32(v, field);
  Put32(v, 7);
  Put32(v, extension);
  Put32(v, directory);
  for (char c : std::string("TRUEVISION-XFILE.")) v.push_back(static_cast<uint8_t>(c));
  v.push_back(0);
  return v;
}

Bytes TgaColourMapped() {
  const uint16_t w = 33, h = 15;
  Bytes v = TgaHeader(0, 1, 1, 20, 24, w, h, 8, 0x20);
  for (uint32_t i = 0; i < 20 * 3; ++i) v.push_back(Pattern(i, 7, 1));
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) v.push_back(static_cast<uint8_t>(Pattern(x, y, 5) % 20));
  return v;
}

// PCX run-length line: runs of equal bytes, and bytes of 0xC0 or more as runs of one.
void PcxLine(Bytes &v, const Bytes &line) {
  for (size_t x = 0; x < line.size();) {
    size_t n = 1;
    while (x + n < line.size() && n < 63 && line[x + n] == line[x]) ++n;
    if (n > 1 || line[x] >= 0xC0) v.push_back(static_cast<uint8_t>(0xC0 | n));
    v.push_back(line[x]);
    x += n;
  }
}

Bytes Pcx(uint8_t planes, uint16_t w, uint16_t h) {
  const uint16_t lineBytes = (w + 1) & ~1;
  Bytes v = {10, 5, 1, 8};
  Put16(v, 0);
  Put16(v, 0);
  Put16(v, w - 1);
  Put16(v, h - 1);
  Put16(v, 72);
  Put16(v, 72);
  v.resize(65, 0);  // header colour map unused
  v.push_back(planes);
  Put16(v, lineBytes);
  Put16(v, 1);
  v.resize(128, 0);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t p = 0; p < planes; ++p) {
      Bytes line(lineBytes, 0);
      for (uint32_t x = 0; x < w; ++x) line[x] = static_cast<uint8_t>((x / 3 + y * 5 + p * 60) * 3);
      PcxLine(v, line);
    }
  if (planes == 1) {
    v.push_back(12);
    for (uint32_t i = 0; i < 768; ++i) v.push_back(Pattern(i, 11, 2));
  }
  return v;
}

Bytes Gif(bool interlaced) {
  gifenc::GifImage g;
  g.width = interlaced ? 23 : 31;
  g.height = interlaced ? 19 : 12;
  g.globalBits = interlaced ? 8 : 4;
  g.interlaced = interlaced;
  g.pixels.resize(static_cast<size_t>(g.width) * g.height);
  for (size_t i = 0; i < g.pixels.size(); ++i)
    g.pixels[i] = static_cast<uint8_t>(Pattern(static_cast<uint32_t>(i % g.width),
                                               static_cast<uint32_t>(i / g.width), 4) %
                                       (1u << g.globalBits));
  if (interlaced) {
    Bytes comment = {0x21, 0xFE, 11};
    for (char c : std::string("hello there")) comment.push_back(static_cast<uint8_t>(c));
    comment.push_back(0);
    g.extensions.push_back(comment);
  } else {
    g.extensions.push_back({0x21, 0xF9, 4, 1, 0, 0, 3, 0});  // index 3 transparent
  }
  return gifenc::MakeGif(g);
}

// TIFF: 8-bit grey LZW with differencing in strips of 4 rows, big-endian;
// RGB PackBits; a T.6 page (a horizontal mode, then rows of V0 codes).
Bytes Tiff(uint16_t samples, uint16_t compression) {
  tiffbuild::Page p;
  p.width = samples == 1 ? 37 : 21;
  p.height = 13;
  p.samples = samples;
  p.photometric = samples == 1 ? 1 : 2;
  p.compression = compression;
  p.predictor = compression == 5 ? 2 : 1;
  p.rowsPerStrip = 4;
  for (uint32_t i = 0; i < 13 * p.width * samples; ++i) p.pixels.push_back(Pattern(i % 11, i / 11, 9));
  return tiffbuild::Writer(compression == 5).Build({p});
}

Bytes TiffG4() {
  tiffbuild::Page p;
  p.width = 64;
  p.height = 3;
  p.bits = 1;
  p.photometric = 0;
  p.compression = 4;
  // H W10 B20 V0 | V0 V0 V0 | V0 V0 V0: 001 00111 00001101000 1 111 111.
  p.strips = {{0x24, 0xE1, 0xA3, 0xF0}};
  return tiffbuild::Writer(false).Build({p});
}

// PNG: RGB with text before and after the image data, which is split over
// chunks of 61 bytes, each filter in turn; an Adam7 palette image with a
// transparent entry.
Bytes Png(bool interlaced) {
  pngbuild::Image im;
  im.width = interlaced ? 27 : 35;
  im.height = interlaced ? 19 : 14;
  im.colourType = interlaced ? 3 : 2;
  im.interlaced = interlaced;
  size_t n = pngbuild::LineBytes(im, im.width) * im.height;
  for (size_t i = 0; i < n; ++i) im.lines.push_back(Pattern(static_cast<uint32_t>(i % 41), static_cast<uint32_t>(i / 41), 6));
  if (interlaced) {
    for (uint32_t i = 0; i < 256 * 3; ++i) im.palette.push_back(Pattern(i, 5, 3));
    im.trns = {255, 255, 0};
  } else {
    im.before = {{"tEXt", {'T', 'i', 't', 'l', 'e', 0, 'p', 'n', 'g'}}};
    im.after = {{"tEXt", {'N', 'o', 't', 'e', 0, 'a', 'f', 't', 'e', 'r'}}};
    im.chunkSize = 61;
  }
  return pngbuild::Build(im);
}

void Add(std::vector<SampleFile> &v, const std::string &name, Bytes data) {
  SampleFile f;
  f.name = name;
  f.data = std::move(data);
  if (!qvhost::DetectImageType(f.data.data(), f.data.size(), &f.imageType)) return;
  v.push_back(std::move(f));
}

}  // namespace

std::vector<SampleFile> GeneratedSamples() {
  std::vector<SampleFile> v;
  Add(v, "made/bmp24-v5.bmp", Bmp24());
  Add(v, "made/rle8.bmp", BmpRle8());
  Add(v, "made/4bit-topdown.bmp", Bmp4());
  Add(v, "made/rle24-extras.tga", TgaRunLength());
  Add(v, "made/mapped-topdown.tga", TgaColourMapped());
  Add(v, "made/256.pcx", Pcx(1, 41, 13));
  Add(v, "made/24bit.pcx", Pcx(3, 26, 11));
  Add(v, "made/interlaced.gif", Gif(true));
  Add(v, "made/transparent.gif", Gif(false));
  Add(v, "made/grey-lzw-mm.tif", Tiff(1, 5));
  Add(v, "made/rgb-packbits.tif", Tiff(3, 32773));
  Add(v, "made/g4.tif", TiffG4());
  Add(v, "made/rgb-text.png", Png(false));
  Add(v, "made/adam7-palette.png", Png(true));
  // JPEG, where libjpeg is at hand to write it: 4:2:0 with restart markers,
  // EXIF and a comment; progressive 4:4:4; grey; Adobe CMYK.
  JpegSettings j;
  j.width = 45, j.height = 29, j.restartRows = 1;
  j.segments = {{0xE1, ExifBlock(6, 300, false)}, {0xFE, {'m', 'a', 'd', 'e'}}};
  Bytes jpeg = MakeJpeg(j);
  if (!jpeg.empty()) {
    Add(v, "made/restarts-exif.jpg", jpeg);
    JpegSettings p;
    p.width = 37, p.height = 23, p.hSample = p.vSample = 1, p.progressive = true;
    Add(v, "made/progressive.jpg", MakeJpeg(p));
    JpegSettings g;
    g.width = 19, g.height = 26, g.components = 1;
    Add(v, "made/grey.jpg", MakeJpeg(g));
    JpegSettings c;
    c.width = 21, c.height = 17, c.components = 4;
    Add(v, "made/adobe-cmyk.jpg", MakeJpeg(c));
  }
  return v;
}

std::vector<SampleFile> CorpusSamples(size_t every) {
  std::vector<SampleFile> v;
  std::string dir = CorpusDir();
  if (dir.empty()) return v;
  std::ifstream manifest(dir + "/MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);
  size_t index = 0;
  while (std::getline(manifest, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, '\t');) f.push_back(field);
    if (f.size() < 4 || (f[3] != "bmp" && f[3] != "gif" && f[3] != "pcx" && f[3] != "tga" && f[3] != "tiff"))
      continue;
    if (index++ % every != 0) continue;
    Add(v, f[0], ReadFileBytes(dir + "/" + f[0]));
  }
  return v;
}

}  // namespace qvtest
