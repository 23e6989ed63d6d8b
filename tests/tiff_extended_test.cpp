// Extended TIFF decoding against libtiff: pictures written at test time by
// libtiff and turned by tiffcp into tiles, separate planes, every compression
// read, other depths, alpha, FillOrder 2 and BigTIFF, each compared with
// libtiff's RGBA reading and run through every queue stress; old-style LZW;
// fax rows with line errors; every corpus TIFF against libtiff; and every
// TIFF and fax file cut short, decoded as far as it goes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fax_pages.h"
#include "sample_files.h"
#include "test_support.h"
#include "tiff_builder.h"

#if QV_HAVE_TIFF
#include <tiffio.h>
#endif

namespace {

constexpr uint32_t kTif = QV_FOURCC('T', 'I', 'F', 'u');

// The results of extended decoding the host library's Result does not carry.
struct Decoded {
  qvhost::Result r;
  uint32_t damagedRows = 0, orientation = 0;
};
Decoded DecodeExtended(const std::vector<uint8_t> &file, qvhost::Options o) {
  o.flags |= QV_FLAG_EXTENDED;
  o.extended = true;
  Decoded d;
  qvhost::TestHooks hooks;
  hooks.afterResponse = [&d](ParamBlock *pb, int response) {
    if (response == ResponseDone || response == ResponseError) {
      d.damagedRows = pb->DamagedRows;
      d.orientation = pb->Orientation;
    }
  };
  d.r = qvhost::DecodeWithHooks(file.data(), file.size(), o, hooks);
  return d;
}

uint32_t StrideOf(const qvhost::Result &r) {
  uint32_t h = static_cast<uint32_t>(r.header.biHeight < 0 ? -r.header.biHeight : r.header.biHeight);
  return h && r.header.biSizeImage ? r.header.biSizeImage / h : 64;
}

// Rows of a result, top row first, each stride bytes.
std::vector<std::vector<uint8_t>> TopRows(const qvhost::Result &r, uint32_t flags) {
  uint32_t h = static_cast<uint32_t>(r.header.biHeight < 0 ? -r.header.biHeight : r.header.biHeight);
  uint32_t stride = StrideOf(r);
  const uint8_t *rows = r.output.data() + r.output.size() - size_t{stride} * h;
  bool top = qvhost::RowsTopFirst(r.header, flags);
  std::vector<std::vector<uint8_t>> out;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t *p = rows + size_t{top ? y : h - 1 - y} * stride;
    out.emplace_back(p, p + stride);
  }
  return out;
}

#if QV_HAVE_TIFF

// ---- libtiff, the oracle ---------------------------------------------------

struct Memory {
  const std::vector<uint8_t> *data;
  toff_t at;
};
tsize_t MemRead(thandle_t h, tdata_t buf, tsize_t n) {
  Memory *m = static_cast<Memory *>(h);
  size_t left = m->at < m->data->size() ? m->data->size() - m->at : 0;
  size_t c = std::min<size_t>(left, static_cast<size_t>(n));
  memcpy(buf, m->data->data() + m->at, c);
  m->at += c;
  return static_cast<tsize_t>(c);
}
tsize_t MemWrite(thandle_t, tdata_t, tsize_t) { return 0; }
toff_t MemSeek(thandle_t h, toff_t off, int whence) {
  Memory *m = static_cast<Memory *>(h);
  m->at = whence == SEEK_SET ? off : whence == SEEK_CUR ? m->at + off : m->data->size() + off;
  return m->at;
}
int MemClose(thandle_t) { return 0; }
toff_t MemSize(thandle_t h) { return static_cast<Memory *>(h)->data->size(); }

void Quiet(const char *, const char *, va_list) {}

// What libtiff's RGBA reading gives for one directory, top row first, and
// what it knows of the samples.
struct Oracle {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> abgr;  // TIFFGetR/G/B/A
  uint16_t photometric = 0, bits = 0, spp = 1, extraCount = 0, extra = 0, orientation = 1, planar = 1;
};
bool ReadWithLibtiff(const std::vector<uint8_t> &file, uint32_t page, Oracle *o) {
  TIFFSetErrorHandler(Quiet);
  TIFFSetWarningHandler(Quiet);
  Memory m{&file, 0};
  TIFF *t = TIFFClientOpen("memory", "rm", &m, MemRead, MemWrite, MemSeek, MemClose, MemSize, nullptr, nullptr);
  if (!t) return false;
  bool ok = TIFFSetDirectory(t, static_cast<tdir_t>(page)) == 1;
  char message[1024];
  ok = ok && TIFFRGBAImageOK(t, message);
  if (ok) {
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &o->width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &o->height);
    TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &o->photometric);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &o->bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &o->spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &o->orientation);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &o->planar);
    uint16_t *info = nullptr;
    TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &o->extraCount, &info);
    o->extra = o->extraCount ? info[0] : 0;
    o->abgr.assign(size_t{o->width} * o->height, 0);
    ok = o->width && o->height && uint64_t{o->width} * o->height < (1u << 26) &&
         TIFFReadRGBAImageOriented(t, o->width, o->height, o->abgr.data(), ORIENTATION_TOPLEFT, 0) == 1;
  }
  TIFFClose(t);
  return ok;
}

// Our decode shown as libtiff shows it, pixel by pixel: CMYK made RGB with
// libtiff's rule ((255 - k) x (255 - ink) / 255, rounded down), unassociated
// alpha multiplied in ((c x a + 127) / 255) where libtiff does (RGB, and
// grey in separate planes; not contiguous grey); alpha compared where
// libtiff reads one (RGB with ExtraSamples 1 or 2, grey of 8 bits with it).
std::string CompareWithLibtiff(const qvhost::Result &r, uint32_t flags, const Oracle &o) {
  qvhost::Pixels rgb;
  std::string err;
  if (!r.ok()) return "status " + std::to_string(r.status);
  if (!qvhost::ResultToRgb(r, flags, &rgb, &err)) return err;
  if (rgb.width != o.width || rgb.height != o.height) return "size differs";
  std::vector<std::vector<uint8_t>> rows = TopRows(r, flags);
  bool cmyk = r.header.biCompression == QV_FOURCC('C', 'M', 'Y', 'K');
  bool alpha = (r.flags & QV_FLAG_ALPHA) != 0;
  bool premultiply = alpha && !(r.flags & QV_FLAG_PREMULTIPLIED) &&
                     (o.photometric == PHOTOMETRIC_RGB || (o.planar == PLANARCONFIG_SEPARATE && o.photometric <= 1));
  bool alphaKnown = alpha && (o.photometric == PHOTOMETRIC_RGB || o.bits == 8) && o.photometric != PHOTOMETRIC_PALETTE;
  size_t bad = 0;
  std::string first;
  for (uint32_t y = 0; y < o.height; ++y)
    for (uint32_t x = 0; x < o.width; ++x) {
      uint8_t ours[4];
      memcpy(ours, &rgb.rgb[(size_t{y} * o.width + x) * 3], 3);
      ours[3] = alpha ? rows[y][4 * x + 3] : 255;
      if (cmyk) {
        const uint8_t *c = &rows[y][4 * x];
        for (int i = 0; i < 3; ++i) ours[i] = static_cast<uint8_t>((255 - c[3]) * (255 - c[i]) / 255);
      }
      if (premultiply)
        for (int i = 0; i < 3; ++i) ours[i] = static_cast<uint8_t>((ours[i] * ours[3] + 127) / 255);
      uint32_t p = o.abgr[size_t{y} * o.width + x];
      uint8_t theirs[4] = {static_cast<uint8_t>(TIFFGetR(p)), static_cast<uint8_t>(TIFFGetG(p)),
                           static_cast<uint8_t>(TIFFGetB(p)), static_cast<uint8_t>(TIFFGetA(p))};
      if (memcmp(ours, theirs, 3) != 0 || (alphaKnown && ours[3] != theirs[3])) {
        if (!bad++) {
          char buf[160];
          snprintf(buf, sizeof buf, "pixel (%u,%u) is %u,%u,%u,%u, libtiff %u,%u,%u,%u", x, y, ours[0], ours[1], ours[2],
                   ours[3], theirs[0], theirs[1], theirs[2], theirs[3]);
          first = buf;
        }
      }
    }
  return bad ? std::to_string(bad) + " pixels differ; first " + first : "";
}

// ---- Pictures written by libtiff, turned by tiffcp -------------------------

struct Picture {
  const char *name;
  uint16_t spp, bits, photometric;
  uint16_t extra;  // ExtraSamples of the last sample (0: none)
};

// Samples with smooth runs (so that the codings compress) and noise, all of
// a sample's range used.
std::vector<uint8_t> MakeSamples(const Picture &p, uint32_t w, uint32_t h) {
  size_t rowBits = size_t{w} * p.spp * p.bits, rowBytes = (rowBits + 7) / 8;
  std::vector<uint8_t> data(rowBytes * h, 0);
  uint32_t max = p.bits == 32 ? 0xFFFFFFFFu : (1u << p.bits) - 1;
  uint64_t seed = 0x9E3779B97F4A7C15ull ^ p.bits ^ (uint64_t{p.spp} << 8);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (uint32_t s = 0; s < p.spp; ++s) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t v = (x / 5 + y / 3 + s * 7) % 4 == 0 ? (seed >> 33) : (uint64_t{x} * 977 + y * 131 + s * 40503) * (max / 97 + 1);
        v %= uint64_t{max} + 1;
        if (p.extra && s + 1 == p.spp && (x + y) % 7 == 0) v = (x % 2) ? max : 0;  // opaque and clear pixels too
        size_t bit = (size_t{y} * rowBytes * 8) + (size_t{x} * p.spp + s) * p.bits;
        if (p.bits >= 8) {
          for (uint32_t b = 0; b < p.bits / 8; ++b)  // native order: libtiff swaps as the file needs
            data[bit / 8 + b] = static_cast<uint8_t>(v >> (8 * b));
        } else {
          for (uint32_t b = 0; b < p.bits; ++b)
            if (v >> (p.bits - 1 - b) & 1) data[(bit + b) / 8] |= static_cast<uint8_t>(0x80 >> ((bit + b) % 8));
        }
      }
  return data;
}

// The picture as libtiff writes it: uncompressed strips, contiguous samples
// or (planar) one plane after the other.
std::string WritePicture(const Picture &p, uint32_t w, uint32_t h, const std::string &path, bool planar = false) {
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) return "cannot write " + path;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.spp);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bits);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.photometric);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 11u);
  if (p.extra) {
    uint16_t e = p.extra;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &e);
  }
  if (p.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<uint16_t> map(3u << p.bits);
    for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint16_t>(i * 40503u);
    TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + (1u << p.bits), map.data() + (2u << p.bits));
  }
  std::vector<uint8_t> data = MakeSamples(p, w, h);
  size_t rowBytes = data.size() / h;
  if (planar) {
    // Sample s of every pixel, in a row of its own (whole bytes per sample).
    size_t bytes = p.bits / 8, planeRow = size_t{w} * bytes;
    std::vector<uint8_t> row(planeRow);
    for (uint16_t s = 0; s < p.spp; ++s)
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x)
          memcpy(&row[x * bytes], &data[y * rowBytes + (size_t{x} * p.spp + s) * bytes], bytes);
        if (TIFFWriteScanline(t, row.data(), y, s) < 0) return "libtiff could not write " + path;
      }
  } else {
    for (uint32_t y = 0; y < h; ++y)
      if (TIFFWriteScanline(t, data.data() + y * rowBytes, y, 0) < 0) return "libtiff could not write " + path;
  }
  TIFFClose(t);
  return "";
}

bool HaveTiffcp() { return system("tiffcp -h >/dev/null 2>&1; command -v tiffcp >/dev/null 2>&1") == 0; }

// tiffcp's options for variant i of a picture: a compression that suits it,
// strips or tiles (sizes that do and do not divide the picture), contiguous
// or separate planes, fill order 1 or 2, classic or BigTIFF.
std::string Variant(const Picture &p, size_t i) {
  static const char *kLayouts[] = {"-r 7", "-t -w 16 -l 16", "-t -w 32 -l 48", "-p separate -r 5",
                                   "-p separate -t -w 16 -l 32", "-r 64"};
  std::vector<std::string> codings = {"none", "packbits", "lzw"};
  if (p.bits == 8 || p.bits == 16) codings.push_back("lzw:2");
  if (p.bits == 1 && p.spp == 1) codings = {"g3", "g3:2d", "g4", "none", "packbits", "lzw"};
  std::string o = "-c " + codings[i % codings.size()] + " " + kLayouts[(i + i / codings.size()) % 6];
  if (i % 3 == 1) o += " -f lsb2msb";
  if (i % 4 == 2) o += " -8";
  return o;
}

const Picture kPictures[] = {
    {"rgb8", 3, 8, PHOTOMETRIC_RGB, 0},
    {"rgba8-unassociated", 4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA},
    {"rgba8-associated", 4, 8, PHOTOMETRIC_RGB, EXTRASAMPLE_ASSOCALPHA},
    {"rgb16", 3, 16, PHOTOMETRIC_RGB, 0},
    {"rgba16-unassociated", 4, 16, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA},
    {"grey16", 1, 16, PHOTOMETRIC_MINISBLACK, 0},
    {"grey16-white", 1, 16, PHOTOMETRIC_MINISWHITE, 0},
    {"grey8-alpha", 2, 8, PHOTOMETRIC_MINISBLACK, EXTRASAMPLE_UNASSALPHA},
    {"grey2", 1, 2, PHOTOMETRIC_MINISBLACK, 0},
    {"grey4-white", 1, 4, PHOTOMETRIC_MINISWHITE, 0},
    {"palette2", 1, 2, PHOTOMETRIC_PALETTE, 0},
    {"palette4", 1, 4, PHOTOMETRIC_PALETTE, 0},
    {"palette8", 1, 8, PHOTOMETRIC_PALETTE, 0},
    {"cmyk8", 4, 8, PHOTOMETRIC_SEPARATED, 0},
    {"bilevel", 1, 1, PHOTOMETRIC_MINISWHITE, 0},
};

// Every picture in its variants: libtiff's pixels, and the same bytes under
// every queue stress (tiny and odd queues, chunking, whole input, top row
// first and batches through the corpus-style stress cases).
TEST(TiffExtended, TiffcpVariantsMatchLibtiff) {
  if (!HaveTiffcp()) return qvtest::NotRun("tiffcp (libtiff-tools) is not installed");
  std::string base = qvtest::TempPath("tiffx-base.tif"), out = qvtest::TempPath("tiffx-variant.tif"),
              oracle = qvtest::TempPath("tiffx-oracle.tif");
  size_t files = 0;
  for (const Picture &p : kPictures) {
    uint32_t w = p.bits == 1 ? 203 : 67, h = p.bits == 1 ? 71 : 45;
    size_t variants = p.bits == 1 ? 12 : 8;
    for (size_t i = 0; i < variants; ++i) {
      std::string options = Variant(p, i);
      // tiffcp makes separate planes of 8-bit samples only: other depths
      // are written in planes here, and tiffcp keeps them so.
      size_t separate = options.find("-p separate ");
      bool planar = separate != std::string::npos && p.bits != 8;
      if (planar) options.erase(separate, 12);
      ASSERT_EQ(WritePicture(p, w, h, base, planar && p.spp > 1), "");
      SCOPED_TRACE(std::string(p.name) + " tiffcp " + options);
      std::string command = "tiffcp " + options + " " + base + " " + out + " 2>/dev/null";
      ASSERT_EQ(system(command.c_str()), 0) << command;
      std::vector<uint8_t> file = qvtest::ReadFileBytes(out);
      // libtiff 4.5's RGBA reading misplaces the pixels of the right-hand
      // tiles that reach past the image for 16-bit grey and grey with alpha:
      // it reads a copy in uncompressed strips that tiffcp decoded instead.
      std::string strips = "tiffcp -s -c none " + out + " " + oracle + " 2>/dev/null";
      ASSERT_EQ(system(strips.c_str()), 0) << strips;
      Oracle o;
      ASSERT_TRUE(ReadWithLibtiff(qvtest::ReadFileBytes(oracle), 0, &o));
      qvhost::Options opt;
      opt.imageType = kTif;
      Decoded d = DecodeExtended(file, opt);
      ASSERT_TRUE(d.r.ok()) << "status " << d.r.status << ": " << qvhost::StatusText(d.r.status);
      EXPECT_EQ(d.r.flags & QV_FLAG_PARTIAL, 0u);
      EXPECT_EQ(CompareWithLibtiff(d.r, 0, o), "");
      opt.flags = QV_FLAG_EXTENDED;
      EXPECT_EQ(qvtest::CheckStress(file, opt, d.r, StrideOf(d.r)), "");
      ++files;
    }
  }
  printf("[ tiffcp ] %zu files compared with libtiff\n", files);
}

// tiffcp -8 of two pictures: the host counts BigTIFF's pages and finds its
// type, and the second page decodes as libtiff reads it.
TEST(TiffExtended, BigTiffPagesAndDetection) {
  if (!HaveTiffcp()) return qvtest::NotRun("tiffcp (libtiff-tools) is not installed");
  std::string a = qvtest::TempPath("tiffx-a.tif"), b = qvtest::TempPath("tiffx-b.tif"),
              big = qvtest::TempPath("tiffx-big.tif");
  ASSERT_EQ(WritePicture(kPictures[0], 40, 30, a), "");
  ASSERT_EQ(WritePicture(kPictures[8], 50, 20, b), "");
  for (const char *order : {"", "-B"}) {
    std::string command = std::string("tiffcp -8 ") + order + " -c lzw " + a + " " + b + " " + big;
    ASSERT_EQ(system(command.c_str()), 0);
    std::vector<uint8_t> file = qvtest::ReadFileBytes(big);
    uint32_t type = 0;
    EXPECT_TRUE(qvhost::DetectImageType(file.data(), file.size(), &type));
    EXPECT_EQ(type, kTif);
    EXPECT_EQ(qvhost::CountTiffPages(file.data(), file.size()), 2);
    qvhost::Options opt;
    opt.imageType = kTif;
    opt.pageNumber = 2;
    Decoded d = DecodeExtended(file, opt);
    Oracle o;
    ASSERT_TRUE(ReadWithLibtiff(file, 1, &o));
    EXPECT_EQ(CompareWithLibtiff(d.r, 0, o), "");
    opt.pageNumber = 3;
    EXPECT_EQ(DecodeExtended(file, opt).r.status, QV_ERR_NO_PAGE);
    // Without the bit BigTIFF stays refused as before.
    opt.pageNumber = 1;
    opt.extended = false;
    EXPECT_EQ(qvhost::Decode(file.data(), file.size(), opt).status, QV_ERR_BAD_HEADER);
    opt.extended = true;
    // A strip beyond what SeekTarget can carry (2^30) has its own status.
    bool be = file[0] == 'M';
    auto get = [&](size_t at, int n) {
      uint64_t v = 0;
      for (int i = 0; i < n; ++i) v |= uint64_t{file[at + (be ? n - 1 - i : i)]} << (8 * i);
      return v;
    };
    auto put = [&](size_t at, int n, uint64_t v) {
      for (int i = 0; i < n; ++i) file[at + (be ? n - 1 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    size_t ifd = get(8, 8), entries = get(ifd, 8);
    bool patched = false;
    for (size_t e = 0; e < entries; ++e) {
      size_t at = ifd + 8 + 20 * e;
      if (get(at, 2) != 273) continue;
      int size = get(at + 2, 2) == 16 ? 8 : 4;
      size_t values = get(at + 4, 8) * size <= 8 ? at + 12 : get(at + 12, 8);
      put(values, size, uint64_t{3} << 30);
      patched = true;
    }
    ASSERT_TRUE(patched);
    EXPECT_EQ(DecodeExtended(file, opt).r.status, QV_ERR_TIFF_FAR);
  }
}

// Old-style LZW (codes least significant bit first, no early change), as no
// tool writes it any more: strips built here, libtiff reads them too.
TEST(TiffExtended, OldStyleLzwStrips) {
  tiffbuild::Page page;
  page.width = 61;
  page.height = 23;
  page.samples = 3;
  page.photometric = 2;
  page.compression = 5;
  page.rowsPerStrip = 6;
  page.pixels.resize(size_t{61} * 23 * 3);
  for (size_t i = 0; i < page.pixels.size(); ++i) page.pixels[i] = static_cast<uint8_t>((i / 7) * 13 + (i % 5 == 0 ? i : 0));
  for (uint32_t r = 0; r < page.height; r += page.rowsPerStrip) {
    uint32_t n = std::min(page.rowsPerStrip, page.height - r);
    gifenc::LzwOptions lo;
    lo.initialWidth = 9;  // GIF's packing with 8-bit roots: what TIFF's LZW was before 5.0
    std::vector<uint8_t> strip = gifenc::LzwEncode(page.pixels.data() + size_t{r} * 183, size_t{n} * 183, lo);
    ASSERT_TRUE(strip.size() >= 2 && strip[0] == 0 && (strip[1] & 1)) << "a clear code first";
    page.strips.push_back(strip);
  }
  std::vector<uint8_t> file = tiffbuild::Writer(true).Build({page});
  Oracle o;
  ASSERT_TRUE(ReadWithLibtiff(file, 0, &o));
  qvhost::Options opt;
  opt.imageType = kTif;
  Decoded d = DecodeExtended(file, opt);
  EXPECT_EQ(CompareWithLibtiff(d.r, 0, o), "");
  opt.flags = QV_FLAG_EXTENDED;
  EXPECT_EQ(qvtest::CheckStress(file, opt, d.r, StrideOf(d.r)), "");
  // The classic reader reads them as today's LZW: corrupt codes.
  opt.flags = 0;
  opt.extended = false;
  EXPECT_EQ(qvhost::Decode(file.data(), file.size(), opt).status, QV_ERR_LZW);
}

// ---- Fax line errors ---------------------------------------------------------

// Where each row's codes start in a Group 3 strip whose EOLs end on a byte
// (fill bits): after a byte 0x01 that follows at least four zero bits.
std::vector<size_t> RowStarts(const std::vector<uint8_t> &strip) {
  std::vector<size_t> at;
  for (size_t i = 1; i + 1 < strip.size(); ++i)
    if (strip[i] == 0x01 && (strip[i - 1] & 0x0F) == 0) at.push_back(i + 1);
  return at;
}

struct FaxCase {
  const char *name;
  uint16_t compression;
  uint32_t group3Options;
};

// A page whose row k is made undecodable: the row before it stands in for
// it, and every other row decodes as written (the data is taken up again
// at the next EOL, or for modified Huffman at the next byte after the
// failing code); T.6 loses the rest of the strip. Under every queue stress.
TEST(TiffExtended, FaxLineErrorsReplaceTheRowAndResync) {
  faxpages::Page page = faxpages::TextPage(300, 64, 5);
  // Every row begins black, so a modified Huffman row begins with the code
  // of a white run of 0, 00110101: its first byte is 0x35.
  for (uint32_t y = 0; y < page.height; ++y) page.Row(y)[0] |= 0x80;
  const FaxCase cases[] = {{"mh", 2, 0}, {"g3", 3, 4}, {"g3-2d", 3, 5}, {"g4", 4, 0}};
  for (const FaxCase &c : cases) {
    SCOPED_TRACE(c.name);
    faxpages::TiffOptions to;
    to.compression = c.compression;
    to.group3Options = c.group3Options;
    to.rowsPerStrip = 32;
    std::vector<uint8_t> file = faxpages::EncodeTiff(page, to);
    faxpages::TiffFax t;
    ASSERT_TRUE(faxpages::ReadFaxTiff(file, 0, &t));
    size_t offset = t.offsets[0], count = t.counts[0];
    std::vector<uint8_t> strip(file.begin() + offset, file.begin() + offset + count);
    uint32_t k = 0;
    if (c.compression == 2) {
      // Row 9 becomes the one byte 0x01: with the next row's first nibble
      // it is a make-up code of 2048 pixels, longer than the row. The rows
      // are each a whole number of bytes: the strip is built of the codes
      // of each row written alone.
      std::vector<std::vector<uint8_t>> rows;
      for (uint32_t y = 0; y < 32; ++y) {
        faxpages::Page one = faxpages::BlankPage(page.width, 1);
        memcpy(one.Row(0), page.Row(y), page.rowBytes);
        std::vector<uint8_t> f1 = faxpages::EncodeTiff(one, to);
        faxpages::TiffFax t1;
        ASSERT_TRUE(faxpages::ReadFaxTiff(f1, 0, &t1));
        rows.emplace_back(f1.begin() + t1.offsets[0], f1.begin() + t1.offsets[0] + t1.counts[0]);
      }
      k = 9;
      std::vector<uint8_t> rebuilt;
      for (uint32_t y = 0; y < 32; ++y) {
        ASSERT_EQ(rows[y][0], 0x35);
        if (y == k) rebuilt.push_back(0x01);
        else rebuilt.insert(rebuilt.end(), rows[y].begin(), rows[y].end());
      }
      ASSERT_LE(rebuilt.size(), strip.size());
      rebuilt.resize(strip.size(), 0);
      strip = rebuilt;
    } else if (c.compression == 3) {
      std::vector<size_t> starts = RowStarts(strip);
      ASSERT_EQ(starts.size(), 32u);
      // A row whose follower is one-dimensional (its tag bit 1), so that the
      // rows after it do not refer to the replaced one.
      for (k = 10; k + 1 < 32 && c.group3Options & 1 && !(strip[starts[k + 1]] & 0x80);) ++k;
      size_t at = starts[k];
      if (c.group3Options & 1) {
        strip[at] = 0x80;  // tag bit 1, then 000000001: no code
        strip[at + 1] = 0x40;
      } else {
        strip[at] = 0x00;  // 000000001: no code
        strip[at + 1] = 0x80;
      }
    } else {
      strip[count / 2] = 0x02;  // 0000001: an extension code, not read
      strip[count / 2 + 1] = 0x02;
    }
    std::copy(strip.begin(), strip.end(), file.begin() + offset);
    qvhost::Options opt;
    opt.imageType = kTif;
    opt.flags = QV_FLAG_TOP_DOWN;
    Decoded d = DecodeExtended(file, opt);
    ASSERT_TRUE(d.r.ok()) << d.r.status;
    EXPECT_NE(d.r.flags & QV_FLAG_PARTIAL, 0u);
    std::vector<std::vector<uint8_t>> rows = TopRows(d.r, opt.flags);
    auto same = [&](uint32_t y, const uint8_t *want) { return memcmp(rows[y].data(), want, page.rowBytes) == 0; };
    // The second strip is untouched whatever became of the first.
    for (uint32_t y = 32; y < 64; ++y) EXPECT_TRUE(same(y, page.Row(y))) << "row " << y;
    if (c.compression == 4) {
      EXPECT_GE(d.damagedRows, 1u);
      // Rows lost in the strip are white.
      for (uint32_t y = 32 - (d.damagedRows - 1); y < 32; ++y)
        EXPECT_TRUE(std::all_of(rows[y].begin(), rows[y].end(), [](uint8_t b) { return b == 0; })) << "row " << y;
    } else {
      EXPECT_EQ(d.damagedRows, 1u);
      for (uint32_t y = 0; y < 32; ++y) EXPECT_TRUE(same(y, page.Row(y == k ? k - 1 : y))) << "row " << y;
    }
    opt.flags |= QV_FLAG_EXTENDED;
    EXPECT_EQ(qvtest::CheckStress(file, opt, d.r, StrideOf(d.r)), "");
    // The classic reader fails on the row, as before.
    opt.flags &= ~QV_FLAG_EXTENDED;
    opt.extended = false;
    EXPECT_LT(qvhost::Decode(file.data(), file.size(), opt).status, -7109);
  }
}

// Every corpus TIFF the extended decode reads and libtiff reads too (stored
// top row first, no Orientation to turn): the same pixels.
TEST(TiffExtendedCorpus, EveryFileLibtiffReads) {
  std::vector<qvtest::SampleFile> files = qvtest::CorpusSamples();
  size_t compared = 0, differ = 0;
  for (const qvtest::SampleFile &f : files) {
    if (!qvhost::IsTiffType(f.imageType)) continue;
    SCOPED_TRACE(f.name);
    qvhost::Options opt;
    opt.imageType = f.imageType;
    opt.outputLimit = size_t{256} << 20;
    Decoded d = DecodeExtended(f.data, opt);
    Oracle o;
    if (!d.r.ok() || d.orientation != 1 || !ReadWithLibtiff(f.data, 0, &o) || o.orientation != 1) continue;
    ++compared;
    std::string e = CompareWithLibtiff(d.r, 0, o);
    if (!e.empty()) {
      ++differ;
      printf("differs from libtiff: %s: %s\n", f.name.c_str(), e.c_str());
    }
  }
  printf("[ corpus ] %zu TIFF files compared with libtiff, %zu differ\n", compared, differ);
  if (compared == 0) qvtest::NotRun("no corpus TIFF file to compare");
}

#endif  // QV_HAVE_TIFF

// ---- Files cut short -----------------------------------------------------------

// A file cut at k of its bytes: with the bit it decodes as far as it goes, the
// rows before the damage equal the whole file's, the bitmap is complete in
// size; without the bit nothing is partial.
std::string CheckCut(const std::vector<uint8_t> &file, uint32_t type, uint32_t faxFillOrder, size_t k,
                     const Decoded &whole, size_t *partial) {
  std::vector<uint8_t> cut(file.begin(), file.begin() + k);
  qvhost::Options opt;
  opt.imageType = type;
  opt.faxFillOrder = static_cast<uint8_t>(faxFillOrder);
  opt.outputLimit = size_t{256} << 20;
  Decoded d = DecodeExtended(cut, opt);
  qvhost::Options classic = opt;
  classic.extended = false;
  qvhost::Result strict = qvhost::Decode(cut.data(), cut.size(), classic);
  if (strict.flags & QV_FLAG_PARTIAL) return "partial without the extended bit";
  if (!d.r.ok()) return "";  // cut before anything could be shown: refused as the classic reader does
  if (!(d.r.flags & QV_FLAG_PARTIAL)) return d.damagedRows ? "damaged rows without the flag" : "";
  ++*partial;
  // The same bytes under every queue stress, and the same picture top row
  // first and in batches to a host that drains at each.
  opt.flags = QV_FLAG_EXTENDED;
  std::string stress = qvtest::CheckStress(cut, opt, d.r, StrideOf(d.r));
  if (!stress.empty()) return stress;
  for (uint32_t flags : {QV_FLAG_TOP_DOWN, QV_FLAG_BATCH, QV_FLAG_TOP_DOWN | QV_FLAG_BATCH}) {
    qvhost::Options o = opt;
    o.flags |= flags;
    o.rowsPerBatch = 3;
    o.outQueue = 3 * StrideOf(d.r) + 7;
    o.chunkSeed = 17;
    Decoded other = DecodeExtended(cut, o);
    if (!other.r.ok() || other.damagedRows != d.damagedRows || TopRows(other.r, o.flags) != TopRows(d.r, 0))
      return "another delivery gives another picture, flags " + std::to_string(flags);
  }
  if (type == QV_FOURCC('G', '3', ' ', ' ') || type == QV_FOURCC('G', '3', '2', 'D')) return "";
  if (d.r.header.biWidth != whole.r.header.biWidth || d.r.header.biHeight != whole.r.header.biHeight)
    return "header differs";
  if (d.r.output.size() != whole.r.output.size()) return "bitmap size differs";
  std::vector<std::vector<uint8_t>> a = TopRows(d.r, 0), b = TopRows(whole.r, 0);
  uint32_t good = static_cast<uint32_t>(a.size()) - d.damagedRows;
  for (uint32_t y = 0; y < good; ++y)
    if (a[y] != b[y]) return "row " + std::to_string(y) + " before the damage differs";
  return "";
}

struct CutFile {
  std::string name;
  std::vector<uint8_t> data;
  uint32_t imageType = 0, fill = 0;
};

void CutEveryFile(const std::vector<CutFile> &files, const char *what) {
  size_t cuts = 0, partial = 0;
  for (const CutFile &f : files) {
    uint32_t fill = f.fill;
    qvhost::Options opt;
    opt.imageType = f.imageType;
    opt.faxFillOrder = static_cast<uint8_t>(fill);
    opt.outputLimit = size_t{256} << 20;
    Decoded whole = DecodeExtended(f.data, opt);
    if (!whole.r.ok()) continue;
    for (size_t share : {15u, 40u, 70u, 97u}) {
      size_t k = f.data.size() * share / 100;
      SCOPED_TRACE(f.name + " cut at " + std::to_string(k));
      EXPECT_EQ(CheckCut(f.data, f.imageType, fill, k, whole, &partial), "");
      ++cuts;
    }
  }
  printf("[ %s ] %zu cuts, %zu decoded partial\n", what, cuts, partial);
  EXPECT_GT(partial, 0u);
}

TEST(TiffExtended, GeneratedFilesCutShort) {
  std::vector<CutFile> files;
  for (qvtest::SampleFile &f : qvtest::GeneratedSamples())
    if (qvhost::IsTiffType(f.imageType)) files.push_back({f.name, std::move(f.data), f.imageType, 0});
  // Directories ahead of the strips, so that a cut leaves the image
  // described: every strip coding, contiguous samples.
  const uint16_t kCodings[][3] = {{1, 1, 1}, {32773, 1, 3}, {5, 1, 1}, {5, 2, 3}, {32773, 2, 4}};
  for (const auto &c : kCodings) {
    tiffbuild::Page page;
    page.width = 97;
    page.height = 41;
    page.compression = c[0];
    page.predictor = c[1];
    page.samples = c[2];
    page.photometric = c[2] == 1 ? 1 : 2;
    page.rowsPerStrip = 9;
    page.pixels.resize(size_t{97} * 41 * c[2]);
    for (size_t i = 0; i < page.pixels.size(); ++i) page.pixels[i] = static_cast<uint8_t>(i * 7 / 5 + (i % 11 == 0 ? i : 0));
    files.push_back({"built " + std::to_string(c[0]), tiffbuild::Writer(c[2] == 3).Build({page}, true), kTif, 0});
  }
  CutEveryFile(files, "generated");
}

TEST(TiffExtendedCorpus, EveryTiffAndFaxFileCutShort) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  std::vector<CutFile> files;
  for (qvtest::SampleFile &f : qvtest::CorpusSamples())
    if (qvhost::IsTiffType(f.imageType)) files.push_back({f.name, std::move(f.data), f.imageType, 0});
  // Raw fax streams are not detected: their expectations name type and bit order.
  std::ifstream in(std::string(QV_SOURCE_DIR) + "/tests/corpus_expectations/fax.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::stringstream ss(line);
    std::string path, kind, type, fill;
    std::getline(ss, path, '\t');
    std::getline(ss, kind, '\t');
    std::getline(ss, type, '\t');
    std::getline(ss, fill, '\t');
    CutFile f{path, qvtest::ReadFileBytes(dir + "/" + path), 0, static_cast<uint32_t>(atoi(fill.c_str()))};
    ASSERT_TRUE(qvhost::ParseTypeName(type, &f.imageType)) << line;
    files.push_back(std::move(f));
  }
  CutEveryFile(files, "corpus");
}

}  // namespace
