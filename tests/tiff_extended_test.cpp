// Extended TIFF decoding against libtiff: pictures written by libtiff and
// turned by tiffcp into tiles, separate planes, every compression read, other
// depths, alpha, FillOrder 2 and BigTIFF, compared with libtiff's RGBA
// reading and run through every queue stress; old-style LZW; fax line
// errors; every corpus TIFF against libtiff; and files cut short.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/jpeg/jpeg_library.h"
#include "fax_pages.h"
#include "jpeg_writer.h"
#include "sample_files.h"
#include "test_support.h"
#include "tiff_builder.h"

#if QV_HAVE_TIFF
#include <tiffio.h>
#endif

namespace {

constexpr uint32_t kTif = QV_TYPE_TIFU;
using Rows = std::vector<std::vector<uint8_t>>;

// A decode with the extended bit, with what the host library's Result does
// not carry.
struct Decoded {
  qvhost::Result r;
  uint32_t damagedRows = 0;
};
Decoded DecodeExtended(const std::vector<uint8_t> &file, qvhost::Options o) {
  o.flags |= QV_FLAG_EXTENDED;
  o.extended = true;
  Decoded d;
  qvhost::TestHooks hooks;
  hooks.afterResponse = [&d](ParamBlock *pb, int) { d.damagedRows = pb->DamagedRows; };
  d.r = qvhost::DecodeWithHooks(file.data(), file.size(), o, hooks);
  return d;
}
qvhost::Options TiffOptions(uint32_t flags = 0) {
  qvhost::Options o;
  o.imageType = kTif;
  o.flags = flags;
  o.outputLimit = size_t{256} << 20;
  return o;
}

uint32_t StrideOf(const qvhost::Result &r) {
  uint32_t h = static_cast<uint32_t>(std::abs(r.header.biHeight));
  return h && r.header.biSizeImage ? r.header.biSizeImage / h : 64;
}

// Rows of a result, top row first.
Rows TopRows(const qvhost::Result &r, uint32_t flags) {
  uint32_t h = static_cast<uint32_t>(std::abs(r.header.biHeight)), stride = StrideOf(r);
  const uint8_t *rows = r.output.data() + r.output.size() - size_t{stride} * h;
  bool top = qvhost::RowsTopFirst(r.header, flags);
  Rows out;
  for (uint32_t y = 0; y < h; ++y) out.emplace_back(rows + size_t{top ? y : h - 1 - y} * stride, rows + size_t{top ? y : h - 1 - y} * stride + stride);
  return out;
}

#if QV_HAVE_TIFF

// ---- libtiff, the oracle ---------------------------------------------------

struct Oracle {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> abgr;  // TIFFGetR/G/B/A
  uint16_t photometric = 0, bits = 0, orientation = 1, planar = 1;
};
void Quiet(const char *, const char *, va_list) {}
bool ReadWithLibtiff(const std::string &path, uint32_t page, Oracle *o) {
  TIFFSetErrorHandler(Quiet);
  TIFFSetWarningHandler(Quiet);
  TIFF *t = TIFFOpen(path.c_str(), "r");
  if (!t) return false;
  char message[1024];
  bool ok = TIFFSetDirectory(t, static_cast<tdir_t>(page)) == 1 && TIFFRGBAImageOK(t, message);
  if (ok) {
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &o->width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &o->height);
    TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &o->photometric);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &o->bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &o->orientation);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &o->planar);
    o->abgr.assign(size_t{o->width} * o->height, 0);
    ok = o->width && uint64_t{o->width} * o->height < (1u << 26) &&
         TIFFReadRGBAImageOriented(t, o->width, o->height, o->abgr.data(), ORIENTATION_TOPLEFT, 0) == 1;
  }
  TIFFClose(t);
  return ok;
}
bool ReadWithLibtiff(const std::vector<uint8_t> &file, uint32_t page, Oracle *o) {
  std::string path = qvtest::TempPath("tiffx-oracle-in.tif");
  return qvtest::WriteFileBytes(path, file) && ReadWithLibtiff(path, page, o);
}

// Our pixels shown as libtiff shows them: CMYK made RGB by its rule
// ((255 - k) x (255 - ink) / 255 rounded down), unassociated alpha
// multiplied in ((c x a + 127) / 255) where it does (RGB, and grey in
// separate planes); alpha compared where it reads one (RGB, 8-bit grey).
std::string CompareWithLibtiff(const qvhost::Result &r, uint32_t flags, const Oracle &o) {
  qvhost::Pixels rgb;
  std::string err;
  if (!r.ok()) return "status " + std::to_string(r.status);
  if (!qvhost::ResultToRgb(r, flags, &rgb, &err)) return err;
  if (rgb.width != o.width || rgb.height != o.height) return "size differs";
  Rows rows = TopRows(r, flags);
  bool cmyk = r.header.biCompression == QV_FOURCC('C', 'M', 'Y', 'K'), alpha = r.flags & QV_FLAG_ALPHA;
  bool premultiply = alpha && !(r.flags & QV_FLAG_PREMULTIPLIED) &&
                     (o.photometric == PHOTOMETRIC_RGB || (o.planar == PLANARCONFIG_SEPARATE && o.photometric <= 1));
  bool alphaKnown = alpha && (o.photometric == PHOTOMETRIC_RGB || (o.bits == 8 && o.photometric <= 1));
  size_t bad = 0;
  std::string first;
  for (uint32_t y = 0; y < o.height; ++y)
    for (uint32_t x = 0; x < o.width; ++x) {
      uint8_t ours[4] = {0, 0, 0, static_cast<uint8_t>(alpha ? rows[y][4 * x + 3] : 255)};
      for (int i = 0; i < 3; ++i) {
        uint32_t c = rgb.rgb[(size_t{y} * o.width + x) * 3 + i];
        if (cmyk) c = (255 - rows[y][4 * x + 3]) * (255 - rows[y][4 * x + i]) / 255u;
        ours[i] = static_cast<uint8_t>(premultiply ? (c * ours[3] + 127) / 255 : c);
      }
      uint32_t p = o.abgr[size_t{y} * o.width + x];
      uint8_t theirs[4] = {static_cast<uint8_t>(TIFFGetR(p)), static_cast<uint8_t>(TIFFGetG(p)),
                           static_cast<uint8_t>(TIFFGetB(p)), static_cast<uint8_t>(TIFFGetA(p))};
      if ((memcmp(ours, theirs, 3) != 0 || (alphaKnown && ours[3] != theirs[3])) && !bad++) {
        char text[96];
        snprintf(text, sizeof text, "(%u,%u) %u,%u,%u,%u vs %u,%u,%u,%u", x, y, ours[0], ours[1], ours[2], ours[3],
                 theirs[0], theirs[1], theirs[2], theirs[3]);
        first = text;
      }
    }
  return bad ? std::to_string(bad) + " pixels differ from libtiff's; first " + first : "";
}

// ---- Pictures written by libtiff, turned by tiffcp -------------------------

struct Picture {
  const char *name;
  uint16_t spp, bits, photometric, extra;  // extra: ExtraSamples of the last sample (0: none)
};
const Picture kPictures[] = {
    {"rgb8", 3, 8, PHOTOMETRIC_RGB, 0},           {"rgba8-unassociated", 4, 8, PHOTOMETRIC_RGB, 2},
    {"rgba8-associated", 4, 8, PHOTOMETRIC_RGB, 1}, {"rgb16", 3, 16, PHOTOMETRIC_RGB, 0},
    {"rgba16-unassociated", 4, 16, PHOTOMETRIC_RGB, 2}, {"grey16", 1, 16, PHOTOMETRIC_MINISBLACK, 0},
    {"grey16-white", 1, 16, PHOTOMETRIC_MINISWHITE, 0}, {"grey8-alpha", 2, 8, PHOTOMETRIC_MINISBLACK, 2},
    {"grey2", 1, 2, PHOTOMETRIC_MINISBLACK, 0},   {"grey4-white", 1, 4, PHOTOMETRIC_MINISWHITE, 0},
    {"palette2", 1, 2, PHOTOMETRIC_PALETTE, 0},   {"palette4", 1, 4, PHOTOMETRIC_PALETTE, 0},
    {"palette8", 1, 8, PHOTOMETRIC_PALETTE, 0},   {"cmyk8", 4, 8, PHOTOMETRIC_SEPARATED, 0},
    {"bilevel", 1, 1, PHOTOMETRIC_MINISWHITE, 0},
};

// Smooth runs (so that the codings compress), noise, and for alpha some
// clear and opaque pixels; uncompressed strips.
std::string WritePicture(const Picture &p, uint32_t w, uint32_t h, const std::string &path) {
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) return "cannot write " + path;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.spp);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bits);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.photometric);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 11u);
  if (p.extra) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &p.extra);
  std::vector<uint16_t> map(3u << p.bits);
  for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint16_t>(i * 40503u);
  if (p.photometric == PHOTOMETRIC_PALETTE)
    TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + (1u << p.bits), map.data() + (2u << p.bits));
  size_t rowBytes = (size_t{w} * p.spp * p.bits + 7) / 8;
  uint64_t max = (uint64_t{1} << p.bits) - 1, seed = p.bits * 977u + p.spp;
  for (uint32_t y = 0; y < h; ++y) {
    std::vector<uint8_t> row(rowBytes);
    for (uint32_t i = 0; i < w * p.spp; ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      uint32_t x = i / p.spp, s = i % p.spp;
      uint64_t v = ((x / 5 + y / 3 + s) % 4 == 0 ? seed >> 33 : (x * 977 + y * 131 + s * 40503) * (max / 97 + 1)) % (max + 1);
      if (p.extra && s + 1 == p.spp && (x + y) % 7 == 0) v = x % 2 ? max : 0;
      if (p.bits == 16) {  // in the host's order, as libtiff takes them
        uint16_t v16 = static_cast<uint16_t>(v);
        memcpy(&row[2 * i], &v16, 2);
      } else {
        for (uint32_t b = 0; b < p.bits; ++b)  // most significant bit first
          if (v >> (p.bits - 1 - b) & 1) row[(i * p.bits + b) / 8] |= static_cast<uint8_t>(0x80 >> ((i * p.bits + b) % 8));
      }
    }
    if (TIFFWriteScanline(t, row.data(), y, 0) < 0) return "libtiff could not write " + path;
  }
  TIFFClose(t);
  return "";
}

bool HaveTiffcp() { return system("command -v tiffcp >/dev/null 2>&1") == 0; }

// Variant i of a picture: a coding that suits it, strips or tiles (sizes
// that do and do not divide it), contiguous or separate planes (tiffcp
// makes those of 8-bit samples only), fill order 1 or 2, classic or BigTIFF.
std::string Variant(const Picture &p, size_t i) {
  static const char *kLayouts[] = {"-r 7", "-t -w 16 -l 16", "-t -w 32 -l 48", "-p separate -r 5",
                                   "-p separate -t -w 16 -l 32", "-r 64"};
  std::vector<std::string> codings = {"none", "packbits", "lzw", "zip"};
  if (p.bits == 8 || p.bits == 16) codings.insert(codings.end(), {"lzw:2", "zip:2"});
  if (p.bits == 1) codings = {"g3", "g3:2d", "g4", "none", "packbits", "lzw"};
  size_t layout = (i + i / codings.size()) % 6;
  if (p.bits != 8 && (layout == 3 || layout == 4)) layout -= 2;
  std::string o = "-c " + codings[i % codings.size()] + " " + kLayouts[layout];
  return o + (i % 3 == 1 ? " -f lsb2msb" : "") + (i % 4 == 2 ? " -8" : "");
}

// A file tiffcp wrote decodes whole to libtiff's pixels, the same under every
// queue stress; its bytes.
std::vector<uint8_t> ExpectAsLibtiff(const std::string &path, const Oracle &o) {
  std::vector<uint8_t> file = qvtest::ReadFileBytes(path);
  Decoded d = DecodeExtended(file, TiffOptions());
  EXPECT_EQ(d.r.flags & QV_FLAG_PARTIAL, 0u);
  EXPECT_EQ(CompareWithLibtiff(d.r, 0, o), "");
  EXPECT_EQ(qvtest::CheckStress(file, TiffOptions(QV_FLAG_EXTENDED), d.r, StrideOf(d.r)), "");
  return file;
}

// Every picture in its variants: libtiff's pixels, under every queue stress.
TEST(TiffExtended, TiffcpVariantsMatchLibtiff) {
  if (!HaveTiffcp()) return qvtest::NotRun("tiffcp (libtiff-tools) is not installed");
  std::string base = qvtest::TempPath("tiffx-base.tif"), out = qvtest::TempPath("tiffx-variant.tif"),
              oracle = qvtest::TempPath("tiffx-oracle.tif");
  size_t files = 0;
  for (const Picture &p : kPictures) {
    ASSERT_EQ(WritePicture(p, p.bits == 1 ? 203 : 67, p.bits == 1 ? 71 : 45, base), "");
    for (size_t i = 0; i < 12u; ++i) {
      SCOPED_TRACE(std::string(p.name) + " tiffcp " + Variant(p, i));
      ASSERT_EQ(system(("tiffcp " + Variant(p, i) + " " + base + " " + out).c_str()), 0);
      // libtiff 4.5's RGBA reading misplaces the pixels of right-hand tiles
      // that reach past the image for 16-bit grey and grey with alpha: it
      // reads a copy in strips that tiffcp decoded.
      ASSERT_EQ(system(("tiffcp -s -c none " + out + " " + oracle).c_str()), 0);
      Oracle o;
      ASSERT_TRUE(ReadWithLibtiff(oracle, 0, &o));
      ExpectAsLibtiff(out, o);
      ++files;
    }
  }
  printf("[ tiffcp ] %zu files compared with libtiff\n", files);
}

// JPEG strips and tiles (tiffcp -c jpeg: YCbCr with 2x2 subsampling for RGB,
// jpeg:r keeps RGB; grey and CMYK as coded), with and without the shared
// tables, against libtiff's RGBA reading (which has libjpeg make YCbCr RGB,
// as the reader does), under every queue stress. Then damaged: bytes of the
// strips overwritten decode to the end, partial where libjpeg saw the
// damage, the same under every stress.
TEST(TiffExtended, JpegVariantsMatchLibtiff) {
  if (!HaveTiffcp()) return qvtest::NotRun("tiffcp (libtiff-tools) is not installed");
  if (!JpegLibrary()) return qvtest::NotRun(QV_JPEG_SONAME " cannot be loaded");
  const Picture kJpegPictures[] = {{"rgb8", 3, 8, PHOTOMETRIC_RGB, 0},
                                   {"grey8", 1, 8, PHOTOMETRIC_MINISBLACK, 0},
                                   {"cmyk8", 4, 8, PHOTOMETRIC_SEPARATED, 0}};
  const char *kVariants[] = {"-c jpeg -r 16", "-c jpeg:r -r 8", "-c jpeg:40 -t -w 16 -l 16", "-c jpeg:r -t -w 32 -l 48",
                             "-c jpeg -r 64", "-c jpeg:r -p separate -r 24", "-c jpeg:95 -r 200"};
  std::string base = qvtest::TempPath("tiffx-jpeg-base.tif"), out = qvtest::TempPath("tiffx-jpeg.tif");
  size_t files = 0, ycbcr = 0, damaged = 0, partial = 0;
  for (const Picture &p : kJpegPictures) {
    ASSERT_EQ(WritePicture(p, 67, 45, base), "");
    for (const char *v : kVariants) {
      if (p.spp == 1 && strstr(v, "separate")) continue;
      SCOPED_TRACE(std::string(p.name) + " tiffcp " + v);
      ASSERT_EQ(system(("tiffcp " + std::string(v) + " " + base + " " + out).c_str()), 0);
      Oracle o;
      ASSERT_TRUE(ReadWithLibtiff(out, 0, &o));
      ycbcr += o.photometric == PHOTOMETRIC_YCBCR;
      std::vector<uint8_t> file = ExpectAsLibtiff(out, o);
      ++files;
      // tiffcp writes the strips first, the directory last.
      for (size_t share : {3u, 30u, 60u}) {
        std::vector<uint8_t> bad = file;
        size_t at = bad.size() * share / 100;
        for (size_t i = 0; i < 24; ++i) bad[at + i] = static_cast<uint8_t>(i * 89 + share);
        bad[at + 12] = 0xFF, bad[at + 13] = 0xD9;  // an end of image in the midst of the data
        Decoded b = DecodeExtended(bad, TiffOptions());
        ASSERT_TRUE(b.r.ok()) << share;
        ++damaged;
        partial += (b.r.flags & QV_FLAG_PARTIAL) != 0;
        EXPECT_EQ((b.r.flags & QV_FLAG_PARTIAL) != 0, b.damagedRows > 0);
        EXPECT_EQ(qvtest::CheckStress(bad, TiffOptions(QV_FLAG_EXTENDED), b.r, StrideOf(b.r)), "") << share;
      }
    }
  }
  printf("[ jpeg ] %zu files compared with libtiff (%zu YCbCr), %zu damaged, %zu of them partial\n", files, ycbcr,
         damaged, partial);
  EXPECT_GT(ycbcr, 0u);
  EXPECT_GT(partial, 0u);
}

// JPEG strips wider than the image, the second wider than the first (each
// row decoded aside and cut to the image): the rows are the left part of
// what the JPEG reader makes of each strip alone.
TEST(TiffExtended, JpegStripsWiderThanTheImage) {
  if (!JpegLibrary()) return qvtest::NotRun(QV_JPEG_SONAME " cannot be loaded");
  tiffbuild::Page page;
  page.width = 40, page.height = 32, page.samples = 3, page.photometric = 6, page.compression = 7;
  page.rowsPerStrip = 16;
  std::vector<Rows> strips;
  for (uint32_t stripWidth : {48u, 120u}) {
    qvtest::JpegSettings js;
    js.width = stripWidth, js.height = 16, js.salt = stripWidth;
    page.strips.push_back(qvtest::MakeJpeg(js));
    if (page.strips.back().empty()) return qvtest::NotRun("libjpeg is not linked into the tests");
    qvhost::Options o;
    o.imageType = QV_TYPE_JPEG;
    o.flags = QV_FLAG_TOP_DOWN;
    qvhost::Result alone = qvhost::Decode(page.strips.back().data(), page.strips.back().size(), o);
    ASSERT_TRUE(alone.ok());
    strips.push_back(TopRows(alone, QV_FLAG_TOP_DOWN));
  }
  std::vector<uint8_t> file = tiffbuild::Writer(false).Build({page});
  Decoded d = DecodeExtended(file, TiffOptions(QV_FLAG_TOP_DOWN));
  ASSERT_TRUE(d.r.ok()) << d.r.status;
  EXPECT_EQ(d.r.flags & QV_FLAG_PARTIAL, 0u);
  Rows rows = TopRows(d.r, QV_FLAG_TOP_DOWN);
  ASSERT_EQ(rows.size(), 32u);
  for (uint32_t y = 0; y < 32; ++y)
    EXPECT_TRUE(std::equal(rows[y].begin(), rows[y].begin() + 3 * 40, strips[y / 16][y % 16].begin())) << "row " << y;
}

// tiffcp -8 of two pictures: the host counts BigTIFF's pages and finds its
// type; page 2 decodes as libtiff reads it; a strip past 2^30 has its status.
TEST(TiffExtended, BigTiff) {
  if (!HaveTiffcp()) return qvtest::NotRun("tiffcp (libtiff-tools) is not installed");
  std::string a = qvtest::TempPath("tiffx-a.tif"), b = qvtest::TempPath("tiffx-b.tif"), big = qvtest::TempPath("tiffx-big.tif");
  ASSERT_EQ(WritePicture(kPictures[0], 40, 30, a), "");
  ASSERT_EQ(WritePicture(kPictures[8], 50, 20, b), "");
  for (const char *order : {"", "-B"}) {
    ASSERT_EQ(system(("tiffcp -8 " + std::string(order) + " -c lzw " + a + " " + b + " " + big).c_str()), 0);
    std::vector<uint8_t> file = qvtest::ReadFileBytes(big);
    EXPECT_EQ(QvDetectType(file.data(), file.size()), kTif);
    EXPECT_EQ(qvhost::CountTiffPages(file.data(), file.size()), 2);
    qvhost::Options opt = TiffOptions();
    opt.pageNumber = 2;
    Oracle o;
    ASSERT_TRUE(ReadWithLibtiff(big, 1, &o));
    EXPECT_EQ(CompareWithLibtiff(DecodeExtended(file, opt).r, 0, o), "");
    opt.pageNumber = 3;
    EXPECT_EQ(DecodeExtended(file, opt).r.status, QV_ERR_NO_PAGE);
    opt.extended = false;  // the classic reader refuses BigTIFF as before
    opt.pageNumber = 1;
    EXPECT_EQ(qvhost::Decode(file.data(), file.size(), opt).status, QV_ERR_BAD_HEADER);
    // The first strip moved to 3 GiB (its offset 8 bytes, or 4 in a list of LONG).
    bool be = file[0] == 'M';
    auto at = [&](size_t p, int n, uint64_t *set = nullptr) {
      uint64_t v = 0;
      for (int i = 0; i < n; ++i) {
        uint8_t &byte = file[p + (be ? n - 1 - i : i)];
        if (set) byte = static_cast<uint8_t>(*set >> (8 * i));
        v |= uint64_t{byte} << (8 * i);
      }
      return v;
    };
    size_t ifd = at(8, 8), n = at(ifd, 8);
    for (size_t e = 0, p = ifd + 8; e < n; ++e, p += 20)
      if (at(p, 2) == 273) {
        int size = at(p + 2, 2) == 16 ? 8 : 4;
        uint64_t far = uint64_t{3} << 30;
        at(at(p + 4, 8) * size <= 8 ? p + 12 : at(p + 12, 8), size, &far);
      }
    EXPECT_EQ(DecodeExtended(file, TiffOptions()).r.status, QV_ERR_TIFF_FAR);
  }
}

// Old-style LZW (codes least significant bit first, widened a code later):
// no tool writes it any more, so the strips are packed here as GIF packs.
TEST(TiffExtended, OldStyleLzw) {
  tiffbuild::Page page;
  page.width = 61, page.height = 23, page.samples = 3, page.photometric = 2, page.compression = 5, page.rowsPerStrip = 6;
  for (size_t i = 0; i < size_t{61} * 23 * 3; ++i) page.pixels.push_back(static_cast<uint8_t>((i / 7) * 13 + (i % 5 ? 0 : i)));
  gifenc::LzwOptions lo;
  lo.initialWidth = 9;
  for (uint32_t r = 0; r < page.height; r += 6)
    page.strips.push_back(gifenc::LzwEncode(page.pixels.data() + r * 183, std::min(6u, page.height - r) * 183, lo));
  ASSERT_TRUE(page.strips[0][0] == 0 && (page.strips[0][1] & 1));  // a clear code, as libtiff tells them
  std::vector<uint8_t> file = tiffbuild::Writer(true).Build({page});
  Oracle o;
  ASSERT_TRUE(ReadWithLibtiff(file, 0, &o));
  Decoded d = DecodeExtended(file, TiffOptions());
  EXPECT_EQ(CompareWithLibtiff(d.r, 0, o), "");
  EXPECT_EQ(qvtest::CheckStress(file, TiffOptions(QV_FLAG_EXTENDED), d.r, StrideOf(d.r)), "");
  qvhost::Options classic = TiffOptions();
  classic.extended = false;
  EXPECT_EQ(qvhost::Decode(file.data(), file.size(), classic).status, QV_ERR_LZW);
}

// Row k of a page made undecodable: the row above stands in for it and every
// other row decodes (the data taken up at the next EOL; modified Huffman at
// the byte after the failing code); T.6 loses the rest of its strip.
TEST(TiffExtended, FaxLineErrors) {
  faxpages::Page page = faxpages::TextPage(300, 64, 5);
  for (uint32_t y = 0; y < page.height; ++y) page.Row(y)[0] |= 0x80;  // MH rows begin 0x35: white run 0
  const struct { uint16_t compression; uint32_t options; } cases[] = {{2, 0}, {3, 4}, {3, 5}, {4, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE("compression " + std::to_string(c.compression) + " options " + std::to_string(c.options));
    faxpages::TiffOptions to;
    to.compression = c.compression, to.group3Options = c.options, to.rowsPerStrip = 32;
    std::vector<uint8_t> file = faxpages::EncodeTiff(page, to);
    faxpages::TiffFax t;
    ASSERT_TRUE(faxpages::ReadFaxTiff(file, 0, &t));
    uint8_t *strip = file.data() + t.offsets[0];
    uint32_t k = 9;
    if (c.compression == 2) {
      // Each row alone is a whole number of bytes: the strip again, row 9
      // the byte 0x01, which with the next row's 0x35 is a make-up code of
      // 2048 pixels, longer than the row.
      std::vector<uint8_t> rebuilt;
      for (uint32_t y = 0; y < 32; ++y) {
        faxpages::Page one = faxpages::BlankPage(page.width, 1);
        memcpy(one.Row(0), page.Row(y), page.rowBytes);
        std::vector<uint8_t> f1 = faxpages::EncodeTiff(one, to);
        faxpages::TiffFax t1;
        ASSERT_TRUE(faxpages::ReadFaxTiff(f1, 0, &t1));
        if (y == k) rebuilt.push_back(0x01);
        else rebuilt.insert(rebuilt.end(), f1.begin() + t1.offsets[0], f1.begin() + t1.offsets[0] + t1.counts[0]);
      }
      ASSERT_LE(rebuilt.size(), t.counts[0]);
      std::copy(rebuilt.begin(), rebuilt.end(), strip);
    } else if (c.compression == 3) {
      // EOLs end on a byte (fill bits): rows start after each 0x01 that
      // follows four zero bits. The row after k is one-dimensional, so that
      // no row refers to the replaced one. Row k: (tag 1,) 000000001, no code.
      std::vector<size_t> starts;
      for (size_t i = 1; i + 1 < t.counts[0]; ++i)
        if (strip[i] == 0x01 && (strip[i - 1] & 0x0F) == 0) starts.push_back(i + 1);
      ASSERT_EQ(starts.size(), 32u);
      while ((c.options & 1) && !(strip[starts[k + 1]] & 0x80)) ++k;
      strip[starts[k]] = c.options & 1 ? 0x80 : 0x00;
      strip[starts[k] + 1] = c.options & 1 ? 0x40 : 0x80;
    } else {
      strip[t.counts[0] / 2] = strip[t.counts[0] / 2 + 1] = 0x02;  // 0000001: an extension code
    }
    Decoded d = DecodeExtended(file, TiffOptions(QV_FLAG_TOP_DOWN));
    ASSERT_TRUE(d.r.ok()) << d.r.status;
    EXPECT_NE(d.r.flags & QV_FLAG_PARTIAL, 0u);
    Rows rows = TopRows(d.r, QV_FLAG_TOP_DOWN);
    auto shows = [&](uint32_t y, uint32_t source) { return memcmp(rows[y].data(), page.Row(source), page.rowBytes) == 0; };
    for (uint32_t y = 32; y < 64; ++y) EXPECT_TRUE(shows(y, y)) << "row " << y;  // the second strip is whole
    if (c.compression == 4) {
      ASSERT_GE(d.damagedRows, 1u);
      uint32_t failed = 32 - d.damagedRows;  // the row above stands in for it, then the strip is white
      EXPECT_TRUE(rows[failed] == rows[failed - 1]);
      for (uint32_t y = failed + 1; y < 32; ++y) EXPECT_EQ(*std::max_element(rows[y].begin(), rows[y].end()), 0);
    } else {
      EXPECT_EQ(d.damagedRows, 1u);
      for (uint32_t y = 0; y < 32; ++y) EXPECT_TRUE(shows(y, y == k ? k - 1 : y)) << "row " << y;
    }
    EXPECT_EQ(qvtest::CheckStress(file, TiffOptions(QV_FLAG_TOP_DOWN | QV_FLAG_EXTENDED), d.r, StrideOf(d.r)), "");
    qvhost::Options classic = TiffOptions();
    classic.extended = false;
    EXPECT_LT(qvhost::Decode(file.data(), file.size(), classic).status, QV_ERR_FAX_EMPTY_PAGE);  // a fax code's fault
  }
}

// Every corpus TIFF the extended decode reads and libtiff reads too (rows
// stored top row first): the same pixels, but for damaged files (bad/),
// which each decoder mends its own way, and three fax files libtiff reads
// otherwise (fax_test compares them with libtiff's decode as we read them).
TEST(TiffExtendedCorpus, EveryFileLibtiffReads) {
  const std::string kFaxReadOtherwise[] = {"tiff/libtiff/testfax3_bug54_1dnoEOL.tif", "tiff/libtiff/testfax3_bug_513.tiff",
                                           "tiff/twelvemonkeys/g3aoe.tif"};
  size_t compared = 0, differ = 0;
  for (const qvtest::SampleFile &f : qvtest::CorpusSamples()) {
    if (!qvhost::IsTiffType(f.imageType)) continue;
    Decoded d = DecodeExtended(f.data, TiffOptions());
    Oracle o;
    if (!d.r.ok() || !ReadWithLibtiff(f.data, 0, &o) || o.orientation != 1) continue;
    ++compared;
    std::string e = CompareWithLibtiff(d.r, 0, o);
    if (e.empty()) continue;
    ++differ;
    bool expected = f.name.find("/bad/") != std::string::npos ||
                    std::find(std::begin(kFaxReadOtherwise), std::end(kFaxReadOtherwise), f.name) != std::end(kFaxReadOtherwise);
    EXPECT_TRUE(expected) << f.name << ": " << e;
  }
  printf("[ corpus ] %zu TIFF files compared with libtiff, %zu differ\n", compared, differ);
  if (compared == 0) qvtest::NotRun("no corpus TIFF file to compare");
}

#endif  // QV_HAVE_TIFF

// ---- Files cut short -----------------------------------------------------------

// Cut at several points, a file decodes with the bit as far as it goes: the
// rows before the damage are the whole file's, the bitmap is whole in every
// delivery (and under every queue stress); without the bit nothing is partial.
void CutEveryFile(const std::vector<qvtest::SampleFile> &files, uint32_t faxFillOrder, size_t *cuts, size_t *partial) {
  for (const qvtest::SampleFile &f : files) {
    qvhost::Options opt = TiffOptions();
    opt.imageType = f.imageType;
    opt.faxFillOrder = static_cast<uint8_t>(faxFillOrder);
    Decoded whole = DecodeExtended(f.data, opt);
    if (!whole.r.ok()) continue;
    bool raw = f.imageType == QV_TYPE_G3 || f.imageType == QV_TYPE_G32D;
    for (size_t share : {15u, 40u, 70u, 97u}) {
      std::vector<uint8_t> cut(f.data.begin(), f.data.begin() + f.data.size() * share / 100);
      SCOPED_TRACE(f.name + " cut at " + std::to_string(cut.size()));
      ++*cuts;
      qvhost::Options classic = opt;
      classic.extended = false;
      EXPECT_EQ(qvhost::Decode(cut.data(), cut.size(), classic).flags & QV_FLAG_PARTIAL, 0u);
      Decoded d = DecodeExtended(cut, opt);
      if (!d.r.ok() || !(d.r.flags & QV_FLAG_PARTIAL)) continue;  // refused as before, or nothing lost
      ++*partial;
      qvhost::Options stress = opt;
      stress.flags = QV_FLAG_EXTENDED;
      EXPECT_EQ(qvtest::CheckStress(cut, stress, d.r, StrideOf(d.r)), "");
      for (uint32_t flags : {QV_FLAG_TOP_DOWN, QV_FLAG_BATCH, QV_FLAG_TOP_DOWN | QV_FLAG_BATCH}) {
        qvhost::Options o = opt;
        o.flags = flags, o.rowsPerBatch = 3, o.outQueue = 3 * StrideOf(d.r) + 7, o.test.chunkSeed = 17;
        Decoded other = DecodeExtended(cut, o);
        EXPECT_TRUE(other.r.ok() && other.damagedRows == d.damagedRows && TopRows(other.r, flags) == TopRows(d.r, 0)) << flags;
      }
      if (raw) continue;  // raw fax ends its page where its data ends
      EXPECT_EQ(d.r.output.size(), whole.r.output.size());
      Rows a = TopRows(d.r, 0), b = TopRows(whole.r, 0);
      for (uint32_t y = 0; y + d.damagedRows < a.size(); ++y) ASSERT_EQ(a[y], b[y]) << "row " << y;
    }
  }
}

TEST(TiffExtended, GeneratedFilesCutShort) {
  std::vector<qvtest::SampleFile> files;
  for (qvtest::SampleFile &f : qvtest::GeneratedSamples())
    if (qvhost::IsTiffType(f.imageType)) files.push_back(std::move(f));
  // Directories ahead of the strips, so that a cut leaves the image described.
  for (uint16_t c : {1, 32773, 5}) {
    tiffbuild::Page page;
    page.width = 97, page.height = 41, page.compression = c, page.samples = c == 1 ? 1 : 3;
    page.photometric = c == 1 ? 1 : 2, page.predictor = c == 5 ? 2 : 1, page.rowsPerStrip = 9;
    for (size_t i = 0; i < size_t{97} * 41 * page.samples; ++i) page.pixels.push_back(static_cast<uint8_t>(i * 7 / 5 + (i % 11 ? 0 : i)));
    files.push_back({"built", tiffbuild::Writer(c == 5).Build({page}, true), kTif});
  }
  size_t cuts = 0, partial = 0;
  CutEveryFile(files, 0, &cuts, &partial);
  printf("[ generated ] %zu cuts, %zu decoded partial\n", cuts, partial);
  EXPECT_GT(partial, 0u);
}

TEST(TiffExtendedCorpus, EveryTiffAndFaxFileCutShort) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  std::vector<qvtest::SampleFile> tiffs;
  for (qvtest::SampleFile &f : qvtest::CorpusSamples())
    if (qvhost::IsTiffType(f.imageType)) tiffs.push_back(std::move(f));
  size_t cuts = 0, partial = 0;
  CutEveryFile(tiffs, 0, &cuts, &partial);
  // Raw fax streams are not detected: their expectations name type and bit order.
  std::ifstream in(std::string(QV_SOURCE_DIR) + "/tests/corpus_expectations/fax.tsv");
  for (std::string line; std::getline(in, line);) {
    std::stringstream ss(line);
    std::string path, kind, type, fill;
    if (line.empty() || line[0] == '#' || !std::getline(ss, path, '\t') || !std::getline(ss, kind, '\t') ||
        !std::getline(ss, type, '\t') || !std::getline(ss, fill, '\t'))
      continue;
    qvtest::SampleFile f{path, qvtest::ReadFileBytes(dir + "/" + path), 0};
    ASSERT_TRUE(qvhost::ParseTypeName(type, &f.imageType)) << line;
    CutEveryFile({f}, static_cast<uint32_t>(atoi(fill.c_str())), &cuts, &partial);
  }
  printf("[ corpus ] %zu cuts, %zu decoded partial\n", cuts, partial);
  EXPECT_GT(partial, 0u);
}

}  // namespace
