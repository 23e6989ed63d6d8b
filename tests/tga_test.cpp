// Targa reader: synthetic files built in memory, decoded through the host library.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "engine/engine.h"
#include "test_support.h"

namespace {

using qvtest::Put16;
using qvtest::Put32;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTga2 = QV_FOURCC('T', 'G', 'A', '2');
constexpr uint32_t kTgaA = QV_FOURCC('T', 'G', 'A', 'A');

struct Tga {
  uint8_t type = 2, cmapType = 0, entrySize = 0, depth = 24, desc = 0;
  uint16_t first = 0, mapLength = 0, width = 0, height = 0;
  Bytes id, map, pixels;
  Bytes Build() const {
    Bytes v = {static_cast<uint8_t>(id.size()), cmapType, type};
    Put16(v, first);
    Put16(v, mapLength);
    v.push_back(entrySize);
    Put32(v, 0);  // origin
    Put16(v, width);
    Put16(v, height);
    v.push_back(depth);
    v.push_back(desc);
    v.insert(v.end(), id.begin(), id.end());
    v.insert(v.end(), map.begin(), map.end());
    v.insert(v.end(), pixels.begin(), pixels.end());
    return v;
  }
};

Bytes Random(size_t n, uint32_t seed) {
  Bytes v(n);
  for (auto &b : v) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  return v;
}

// Pixels that repeat in runs, so run-length packets of both kinds occur.
Bytes RunnyPixels(uint32_t count, uint32_t bpp, uint32_t seed) {
  Bytes v, px = Random(bpp, seed);
  while (v.size() < size_t{count} * bpp) {
    uint32_t r = 1 + (seed = seed * 1103515245u + 12345u) % 7;
    if (r > 4) px = Random(bpp, seed);
    for (uint32_t i = 0; i < r && v.size() < size_t{count} * bpp; ++i) v.insert(v.end(), px.begin(), px.end());
    if (r <= 2) px = Random(bpp, seed ^ 0x55);
  }
  return v;
}

// Run-length packets that never cross a row.
Bytes EncodeRle(const Bytes &px, uint32_t width, uint32_t height, uint32_t bpp) {
  Bytes out;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t *row = &px[size_t{y} * width * bpp];
    auto same = [&](uint32_t a, uint32_t b) { return memcmp(row + a * bpp, row + b * bpp, bpp) == 0; };
    uint32_t x = 0;
    while (x < width) {
      uint32_t run = 1;
      while (x + run < width && run < 128 && same(x, x + run)) ++run;
      if (run > 1) {
        out.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
        out.insert(out.end(), row + x * bpp, row + (x + 1) * bpp);
        x += run;
        continue;
      }
      uint32_t n = 1;
      while (x + n < width && n < 128 && !(x + n + 1 < width && same(x + n, x + n + 1))) ++n;
      out.push_back(static_cast<uint8_t>(n - 1));
      out.insert(out.end(), row + x * bpp, row + (x + n) * bpp);
      x += n;
    }
  }
  return out;
}

qvhost::Result Decode(const Bytes &file, uint32_t type, uint32_t flags = 0, qvhost::Options o = qvtest::ClassicOptions()) {
  o.imageType = type;
  o.flags = flags;
  o.test.eventLimit = 100000;
  return qvhost::Decode(file.data(), file.size(), o);
}

// Host options with one change from the defaults.
template <typename F>
qvhost::Options With(F change) {
  qvhost::Options o = qvtest::ClassicOptions();
  change(o);
  return o;
}

uint32_t StrideOf(const qvhost::Result &r) { return r.header.biSizeImage / r.header.biHeight; }

TEST(Tga, PixelConversionAndLayout) {
  struct Case {
    const char *name;
    uint8_t depth;
    uint16_t width;
    Bytes pixels, expect;  // one row
  } cases[] = {
      {"16-bit white and 8s", 16, 2, {0xFF, 0x7F, 0x21, 0x04}, {255, 255, 255, 8, 8, 8, 0, 0}},
      {"16-bit ignores bit 15", 16, 1, {0x1F, 0x80}, {255, 0, 0, 0}},
      {"32-bit drops the fourth byte", 32, 2, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 5, 6, 7, 0, 0}},
      {"8-bit width 3 is padded", 8, 3, {9, 8, 7}, {9, 8, 7, 0}},
      {"24-bit width 1 is padded", 24, 1, {1, 2, 3}, {1, 2, 3, 0}},
      {"1-bit", 1, 9, {0xA5, 0x80}, {0xA5, 0x80, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Tga t;
    t.depth = c.depth;
    t.desc = c.depth == 32 ? 8 : 0;
    t.width = c.width;
    t.height = 1;
    t.pixels = c.pixels;
    for (uint32_t type : {kTga2, kTgaA}) {
      if (type == kTgaA) {
        if (c.depth < 8) continue;
        t.type = 10;
        t.pixels = EncodeRle(c.pixels, c.width, 1, c.depth / 8);
      }
      qvhost::Result r = Decode(t.Build(), type);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(r.output, c.expect);
      EXPECT_EQ(r.header.biBitCount, c.depth == 16 || c.depth == 32 ? 24 : c.depth);
      EXPECT_EQ(r.header.biSizeImage, c.expect.size());
    }
  }
}

TEST(Tga, ColourTables) {
  struct Case {
    const char *name;
    uint8_t type, depth, cmapType, entrySize;
    uint16_t first, length;
    Bytes map;
    uint32_t colours;
    std::vector<PaletteEntry> expect;  // leading entries of Palette
    bool grey;
  } cases[] = {
      {"grey 1-bit", 3, 1, 0, 0, 0, 0, {}, 2, {{0, 0, 0, 0}, {255, 255, 255, 0}}, true},
      {"grey 4-bit", 3, 4, 0, 0, 0, 0, {}, 16, {{0, 0, 0, 0}, {17, 17, 17, 0}}, true},
      {"grey 8-bit skips a stored map", 11, 8, 1, 24, 0, 2, {1, 2, 3, 4, 5, 6}, 256,
       {{0, 0, 0, 0}, {1, 1, 1, 0}, {2, 2, 2, 0}}, true},
      {"24-bit entries", 1, 8, 1, 24, 0, 2, {1, 2, 3, 4, 5, 6}, 2, {{1, 2, 3, 0}, {4, 5, 6, 0}}, false},
      {"32-bit entries", 1, 8, 1, 32, 0, 1, {7, 7, 7, 99}, 1, {{7, 7, 7, 0}}, true},
      {"15-bit entries widen like pixels", 1, 8, 1, 15, 0, 2, {0xFF, 0x7F, 0x21, 0x04}, 2,
       {{255, 255, 255, 0}, {8, 8, 8, 0}}, true},
      {"first index leaves black below it", 1, 8, 1, 24, 2, 1, {10, 20, 30}, 3,
       {{0, 0, 0, 0}, {0, 0, 0, 0}, {10, 20, 30, 0}}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Tga t;
    t.type = c.type;
    t.depth = c.depth;
    t.cmapType = c.cmapType;
    t.entrySize = c.entrySize;
    t.first = c.first;
    t.mapLength = c.length;
    t.map = c.map;
    t.width = c.depth == 1 ? 16 : 4;
    t.height = 1;
    t.pixels = c.depth == 8 ? Bytes{0, 1, 2, 3} : Bytes{0x12, 0x34};
    if (c.type == 11) t.pixels = {0x83, 5};  // one run of 4
    qvhost::Result r = Decode(t.Build(), c.type == 11 ? QV_FOURCC('T', 'G', 'A', 'B') : kTga2, QV_FLAG_HEADER);
    ASSERT_TRUE(r.ok()) << r.status;
    EXPECT_EQ(r.header.biClrUsed, c.colours);
    EXPECT_EQ((r.flags & QV_FLAG_GREY) != 0, c.grey);
    ASSERT_EQ(r.output.size(), 40 + 4 * c.colours + 4);
    for (size_t i = 0; i < c.expect.size(); ++i) {
      EXPECT_EQ(memcmp(&r.palette[i], &c.expect[i], 4), 0) << "entry " << i;
      EXPECT_EQ(memcmp(&r.output[40 + 4 * i], &c.expect[i], 4), 0) << "output entry " << i;
    }
    Bytes rows(r.output.end() - 4, r.output.end());
    Bytes expectRows = c.type == 11 ? Bytes(4, 5) : c.depth == 8 ? t.pixels : Bytes{0x12, 0x34, 0, 0};
    EXPECT_EQ(rows, expectRows);
  }
}

TEST(Tga, LongColourMapKeeps272InPalette) {
  Tga t;
  t.type = 1, t.depth = 8, t.cmapType = 1, t.entrySize = 24, t.mapLength = 300;
  t.map = Random(900, 5);
  t.width = 4, t.height = 1, t.pixels = {0, 1, 2, 3};
  qvhost::Result r = Decode(t.Build(), kTga2, QV_FLAG_HEADER);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.output.size(), 40u + 300 * 4 + 4);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(memcmp(&r.output[40 + 4 * i], &t.map[3 * i], 3), 0);
  EXPECT_EQ(memcmp(&r.palette[271], &t.map[3 * 271], 3), 0);
}

// Every depth through both paths, in each orientation: a right-origin file
// holding each row reversed, or a top-origin file holding the rows upside
// down, gives the same bitmap as the plain bottom-left file.
TEST(Tga, OrientationsAndPathsAgree) {
  for (uint8_t depth : {1, 4, 8, 16, 24, 32}) {
    for (uint16_t width : {1, 5, 33}) {
      SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(width));
      const uint16_t height = 7;
      uint32_t bpp = depth >= 8 ? depth / 8 : 0;
      uint32_t rowBytes = (depth * width + 7) / 8;
      Tga t;
      t.depth = depth, t.desc = depth == 32 ? 8 : 0, t.width = width, t.height = height;
      t.type = depth < 8 ? 3 : 2;
      t.pixels = bpp ? RunnyPixels(width * height, bpp, depth * 31 + width) : Random(rowBytes * height, width);
      qvhost::Result base = Decode(t.Build(), kTga2);
      ASSERT_TRUE(base.ok()) << base.status;

      // Top row first by option equals the bottom-up result read backwards.
      qvhost::Result top = Decode(t.Build(), kTga2, QV_FLAG_TOP_DOWN, With([&](qvhost::Options &o) { o.outQueue = 2 * StrideOf(base) + 3; }));
      ASSERT_TRUE(top.ok());
      uint32_t s = StrideOf(base);
      for (uint32_t y = 0; y < height; ++y)
        EXPECT_EQ(memcmp(&top.output[y * s], &base.output[(height - 1 - y) * s], s), 0) << "row " << y;

      Tga upside = t;
      upside.desc |= 0x20;
      for (uint32_t y = 0; y < height; ++y)
        memcpy(&upside.pixels[y * rowBytes], &t.pixels[(height - 1 - y) * rowBytes], rowBytes);
      EXPECT_EQ(Decode(upside.Build(), kTga2).output, base.output);

      Tga mirrored = t;
      mirrored.desc |= 0x10;
      for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
          uint32_t from = width - 1 - x;
          if (bpp) {
            memcpy(&mirrored.pixels[(y * width + x) * bpp], &t.pixels[(y * width + from) * bpp], bpp);
          } else {
            uint8_t *row = &mirrored.pixels[y * rowBytes];
            const uint8_t *src = &t.pixels[y * rowBytes];
            uint32_t per = 8 / depth, m = (1u << depth) - 1;
            uint32_t v = (src[from / per] >> (8 - depth * (from % per + 1))) & m;
            uint32_t sh = 8 - depth * (x % per + 1);
            row[x / per] = static_cast<uint8_t>((row[x / per] & ~(m << sh)) | v << sh);
          }
        }
      EXPECT_EQ(Decode(mirrored.Build(), kTga2).output, base.output);

      if (bpp) {
        Tga rle = mirrored;
        rle.type = 10;
        rle.pixels = EncodeRle(mirrored.pixels, width, height, bpp);
        qvhost::Result r = Decode(rle.Build(), kTgaA);
        EXPECT_EQ(r.output, base.output);
        EXPECT_EQ(qvtest::CheckStress(rle.Build(), With([](qvhost::Options &o) { o.imageType = kTgaA, o.flags = QV_FLAG_TOP_DOWN; }),
                                      Decode(rle.Build(), kTgaA, QV_FLAG_TOP_DOWN), s), "");
      }
    }
  }
}

TEST(Tga, RunLengthSlackAndRefusals) {
  Tga t;
  t.type = 10, t.depth = 24, t.width = 3, t.height = 2;
  // Row 0: a run of 4 covers one pixel past the end; row 1 starts afresh.
  t.pixels = {0x83, 1, 2, 3, 0x02, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  qvhost::Result r = Decode(t.Build(), kTgaA);
  ASSERT_TRUE(r.ok()) << r.status;
  Bytes expect = {1, 2, 3, 1, 2, 3, 1, 2, 3, 0, 0, 0, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0};
  EXPECT_EQ(r.output, expect);

  t.pixels = {0x84, 1, 2, 3, 0x82, 4, 5, 6};  // two pixels past the end
  EXPECT_EQ(Decode(t.Build(), kTgaA).status, QV_ERR_RLE_OVERRUN);

  // A type code for the uncompressed path reads the same packets as pixels.
  t.width = 2, t.height = 1, t.pixels = {0x81, 1, 2, 3, 4, 5};
  r = Decode(t.Build(), kTga2);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.output, (Bytes{0x81, 1, 2, 3, 4, 5, 0, 0}));
}

TEST(Tga, HeaderRefusals) {
  struct Case {
    const char *name;
    void (*edit)(Tga &);
    uint32_t type;
    int32_t status;
  } cases[] = {
      {"colour map type 2", [](Tga &t) { t.cmapType = 2; }, kTga2, QV_ERR_BAD_HEADER},
      {"image type byte 4", [](Tga &t) { t.type = 4; }, kTga2, QV_ERR_BAD_HEADER},
      {"depth 15", [](Tga &t) { t.depth = 15; }, kTga2, QV_ERR_TGA_DEPTH},
      {"depth 32 without 8 attribute bits", [](Tga &t) { t.depth = 32, t.desc = 7; }, kTga2, QV_ERR_TGA_ATTRIBUTES},
      {"zero width", [](Tga &t) { t.width = 0; }, kTga2, QV_ERR_BAD_HEADER},
      {"zero height", [](Tga &t) { t.height = 0; }, kTga2, QV_ERR_BAD_HEADER},
      {"grey 16-bit", [](Tga &t) { t.type = 3, t.depth = 16; }, kTga2, QV_ERR_BAD_HEADER},
      {"colour map entries of 40 bits", [](Tga &t) { t.cmapType = 1, t.mapLength = 1, t.entrySize = 40; }, kTga2, QV_ERR_BAD_HEADER},
      {"run-length 4-bit", [](Tga &t) { t.depth = 4, t.type = 11; }, kTgaA, QV_ERR_TGA_RLE_DEPTH},
      {"run-length 1-bit", [](Tga &t) { t.depth = 1, t.type = 11; }, kTgaA, QV_ERR_TGA_RLE_DEPTH},
      {"image larger than 4 GiB", [](Tga &t) { t.width = 65535, t.height = 65535; }, kTga2, QV_ERR_BAD_HEADER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Tga t;
    t.width = 2, t.height = 2, t.pixels = Bytes(64, 0);
    c.edit(t);
    qvhost::Result r = Decode(t.Build(), c.type);
    EXPECT_EQ(r.response, ResponseError);
    EXPECT_EQ(r.status, c.status);
  }
}

TEST(Tga, FlippedBandsAndBatches) {
  Tga t;
  t.depth = 24, t.width = 4, t.height = 5, t.pixels = Random(60, 9);  // stride 12, no padding
  t.desc = 0x20;
  qvhost::Options o = qvtest::ClassicOptions();
  o.outQueue = 31;  // 2.5 rows: bands of 2
  qvhost::Result r = Decode(t.Build(), kTga2, 0, o);
  ASSERT_TRUE(r.ok());
  std::vector<uint32_t> seeks;
  for (const qvhost::Event &e : r.events)
    if (e.response == ResponseSeek && (e.seekTarget & QV_SEEK_OUTPUT)) seeks.push_back(e.seekTarget);
  EXPECT_EQ(seeks, (std::vector<uint32_t>{QV_SEEK_OUTPUT + 36, QV_SEEK_OUTPUT + 12, QV_SEEK_OUTPUT + 0}));
  for (int y = 0; y < 5; ++y) EXPECT_EQ(memcmp(&r.output[12 * y], &t.pixels[12 * (4 - y)], 12), 0);
  o.outQueue = 12;
  EXPECT_EQ(Decode(t.Build(), kTga2, 0, o).status, QV_ERR_FLIP_ROOM);
  o.outQueue = 13;
  EXPECT_TRUE(Decode(t.Build(), kTga2, 0, o).ok());

  // Batches of 2 over 5 rows: rows copied in blocks yield after every block,
  // the last one included; rows put one by one yield after each full batch.
  struct Route { uint8_t depth; uint16_t width; size_t yields; } routes[] = {{24, 4, 3}, {24, 3, 2}, {16, 4, 2}};
  for (const Route &rt : routes) {
    Tga b;
    b.depth = rt.depth, b.width = rt.width, b.height = 5, b.pixels = Random(5 * rt.width * rt.depth / 8, 3);
    qvhost::Options bo = qvtest::ClassicOptions();
    bo.rowsPerBatch = 2;
    qvhost::Result br = Decode(b.Build(), kTga2, QV_FLAG_BATCH, bo);
    ASSERT_TRUE(br.ok());
    EXPECT_EQ(br.counts[ResponseRowsReady], rt.yields) << "depth " << int{rt.depth} << " width " << rt.width;
    EXPECT_EQ(br.output, Decode(b.Build(), kTga2).output);
  }
}

// A file with an image ID, an extension area and a developer directory.
Bytes FileWithExtras(uint32_t extensionSize = 495, uint32_t fieldOffsetShift = 0) {
  Tga t;
  t.id = {'h', 'i', '!'};
  t.width = 2, t.height = 2, t.pixels = Random(16, 4);  // 24-bit, 8 bytes per row
  Bytes f = t.Build();
  uint32_t field1 = static_cast<uint32_t>(f.size());
  Bytes data1 = {1, 2, 3, 4, 5};
  f.insert(f.end(), data1.begin(), data1.end());
  uint32_t ext = static_cast<uint32_t>(f.size());
  Put16(f, extensionSize);
  Bytes area = Random(493, 77);
  for (int k = 479; k < 493; ++k) area[k] = 0xEE;  // area offsets 481 to 494
  f.insert(f.end(), area.begin(), area.end());
  uint32_t dir = static_cast<uint32_t>(f.size());
  Put16(f, 2);
  Put16(f, 1000), Put32(f, field1 + fieldOffsetShift), Put32(f, 5);
  Put16(f, 1001), Put32(f, 0), Put32(f, 0);  // an empty field
  Put32(f, ext), Put32(f, dir);
  const char sig[] = "TRUEVISION-XFILE.";
  f.insert(f.end(), sig, sig + 18);
  return f;
}

TEST(Tga, ExtraRecordsSameByWholeInputAndSeeks) {
  Bytes f = FileWithExtras();
  qvhost::Result seek = Decode(f, kTga2);
  ASSERT_TRUE(seek.ok()) << seek.status;
  ASSERT_EQ(seek.extras.size(), 5u);
  EXPECT_EQ(seek.extras[0].kind, 0x2001u);
  EXPECT_EQ(seek.extras[0].data, (Bytes{'h', 'i', '!'}));
  EXPECT_EQ(seek.extras[1].kind, 0x2002u);
  ASSERT_EQ(seek.extras[1].data.size(), 495u);
  EXPECT_EQ(seek.extras[1].data[0] | seek.extras[1].data[1] << 8, 495);
  // Area offsets 482 to 493 (three file offsets) are cleared; their neighbours are kept.
  EXPECT_EQ(seek.extras[1].data[481], 0xEE);
  EXPECT_EQ(Bytes(seek.extras[1].data.begin() + 482, seek.extras[1].data.begin() + 494), Bytes(12, 0));
  EXPECT_EQ(seek.extras[1].data[494], 0xEE);
  EXPECT_EQ(seek.extras[2].kind, 0x2003u);
  EXPECT_EQ(seek.extras[2].data, (Bytes{2, 0}));
  EXPECT_EQ(seek.extras[3].kind, 0x2004u);
  EXPECT_EQ(seek.extras[3].data, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(seek.extras[4].kind, 0x2004u);
  EXPECT_TRUE(seek.extras[4].data.empty());
  auto firstSeek = std::find_if(seek.events.begin(), seek.events.end(),
                                 [](const qvhost::Event &e) { return e.response == ResponseSeek; });
  ASSERT_NE(firstSeek, seek.events.end());
  EXPECT_EQ(firstSeek->seekTarget, QV_SEEK_FROM_END + 26);
  EXPECT_EQ(qvtest::CheckStress(f, With([](qvhost::Options &o) { o.imageType = kTga2; }), seek, 8), "");

  // No ExtraBuffer: the job ends after the last row, without seeking.
  qvhost::Result none = Decode(f, kTga2, 0, With([](qvhost::Options &o) { o.extra = false; }));
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none.counts[ResponseSeek], 0u);
  EXPECT_EQ(none.output, seek.output);

  // An ExtraBuffer that may not grow: records are dropped, the image stands.
  qvhost::Result tight = Decode(f, kTga2, 0, With([](qvhost::Options &o) { o.extraInitial = 8, o.extraLimit = 8; }));
  ASSERT_TRUE(tight.ok());
  EXPECT_TRUE(tight.extras.empty());
  EXPECT_EQ(tight.output, seek.output);
}

TEST(Tga, ExtraDataOutsideTheFileEndsQuietly) {
  struct Case {
    const char *name;
    Bytes file;
    size_t records;
  } cases[] = {
      {"short extension area is ignored", FileWithExtras(494), 4},
      {"developer field beyond the end", FileWithExtras(495, 100000), 3},
      {"file shorter than a footer", [] { Tga t; t.depth = 8, t.width = 1, t.height = 1, t.pixels = {7}; return t.Build(); }(), 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (bool whole : {false, true}) {
      qvhost::Result r = Decode(c.file, kTga2, 0, With([&](qvhost::Options &o) { o.wholeInput = whole; }));
      EXPECT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(r.extras.size(), c.records);
    }
  }
}

// Whole-input mode with the file starting in the middle of the storage and
// wrapping past its end: the reader moves front itself, modulo the storage.
TEST(Tga, WholeInputWrappingStorage) {
  Bytes f = FileWithExtras();
  qvhost::Result ref = Decode(f, kTga2, QV_FLAG_HEADER);
  ASSERT_TRUE(ref.ok());
  for (size_t startAt : {size_t{1}, size_t{300}, f.size() - 10}) {
    SCOPED_TRACE(startAt);
    ParamBlock pb{};
    pb.BlockSize = QV_PARAM_BLOCK_SIZE;
    pb.OperationCode = QV_OPERATION_CODE;
    ASSERT_EQ(Corvane(&pb, RequestInit), ResponseDone);
    MeasureJobStackForTest(&pb);
    Bytes in(f.size() + 1 + startAt % 7 + 1), out(64 * 1024), extra(64);
    size_t n = in.size();
    size_t at = startAt % n;
    for (size_t i = 0; i < f.size(); ++i) in[(at + i) % n] = f[i];
    pb.ImageType = kTga2;
    pb.Flags = QV_FLAG_HEADER;
    pb.WholeInput = 1;
    pb.InputQueue = {0, in.data(), in.data() + at, in.data() + (at + f.size()) % n, in.data() + n, 0, QV_QUEUE_END_OF_DATA};
    pb.OutputQueue = {0, out.data(), out.data(), out.data(), out.data() + out.size(), 0, 0};
    pb.ExtraBuffer = extra.data();
    pb.ExtraCapacity = static_cast<uint32_t>(extra.size());
    int resp = Corvane(&pb, RequestRun);
    while (resp == ResponseNeedExtra) {
      extra.resize(extra.size() + pb.ExtraShortfall);
      pb.ExtraBuffer = extra.data();
      pb.ExtraCapacity = static_cast<uint32_t>(extra.size());
      resp = Corvane(&pb, RequestResume);
    }
    ASSERT_EQ(resp, ResponseDone) << pb.Status;
    EXPECT_EQ(pb.InputQueue.end, in.data() + n);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + ref.output.size()), ref.output);
    size_t used = 0;
    for (const qvhost::ExtraRecord &rec : ref.extras) used += 8 + rec.data.size();
    ASSERT_EQ(pb.ExtraUsed, used);
    size_t pos = 0;
    for (const qvhost::ExtraRecord &rec : ref.extras) {
      EXPECT_EQ(Bytes(extra.begin() + pos + 8, extra.begin() + pos + 8 + rec.data.size()), rec.data);
      pos += 8 + rec.data.size();
    }
    EXPECT_LT(JobStackHighWater(&pb), size_t{16 * 1024});
    Corvane(&pb, RequestTerminate);
  }
}

// The colour-mapped and unused-colour-map variants of the same 4x4 picture
// decode to the pixels of the plain 16-bit file's reference.
TEST(Tga, FifteenBitCorpusColourMapsMatchTheTrueColourReference) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  qvhost::Pixels ref;
  std::string err;
  ASSERT_TRUE(qvtest::ReadPngRgb(dir + "/reference/tga/image-rs/b5-noattrib.tga.png", &ref, &err)) << err;
  for (const char *name : {"b5-cmap.tga", "b5-unused-cmap.tga", "b5-noattrib.tga"}) {
    SCOPED_TRACE(name);
    Bytes f = qvtest::ReadFileBytes(dir + "/tga/image-rs/" + name);
    uint32_t type;
    ASSERT_TRUE(qvhost::DetectImageType(f.data(), f.size(), &type));
    qvhost::Result r = Decode(f, type);
    ASSERT_TRUE(r.ok());
    qvhost::Pixels got;
    ASSERT_TRUE(qvhost::ResultToRgb(r, 0, &got, &err)) << err;
    EXPECT_EQ(got.rgb, ref.rgb);
  }
}

}  // namespace
