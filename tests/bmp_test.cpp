// The BMP reader on files built in memory: refusals, colour tables, pixel
// conversion, RLE codes, RLE round trips against stored rows, every pixel
// path under stress, and mutated files that must end cleanly.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/memory.h"
#include "test_support.h"

namespace {

using qvtest::Put16;
using qvtest::Put32;
constexpr uint32_t kRle = QV_FOURCC('B', 'M', 'P', 'R'), kOs2 = QV_FOURCC('B', 'M', 'P', 'O');

struct BmpFile {
  uint32_t signature = 0x4D42;  // "BM"
  bool os2 = false;
  uint32_t infoSize = 0;  // 0: 40, or 12 for OS/2
  int32_t width = 4, height = 2;
  uint32_t planes = 1, bits = 8, compression = 0, clrUsed = 0, clrImportant = 0;
  int64_t dataOffset = -1;  // -1: right after the colour table
  std::vector<uint8_t> palette, pixels;  // as stored
};

std::vector<uint8_t> Build(const BmpFile &f) {
  uint32_t info = f.infoSize ? f.infoSize : (f.os2 ? 12 : 40);
  std::vector<uint8_t> v;
  Put16(v, f.signature);
  Put32(v, 0);
  Put32(v, 0);
  Put32(v, static_cast<uint32_t>(f.dataOffset >= 0 ? f.dataOffset : 14 + info + f.palette.size()));
  Put32(v, info);
  if (f.os2) {
    for (uint32_t x : {uint32_t(f.width), uint32_t(f.height), f.planes, f.bits}) Put16(v, x);
  } else {
    Put32(v, f.width);
    Put32(v, f.height);
    Put16(v, f.planes);
    Put16(v, f.bits);
    for (uint32_t x : {f.compression, 0u, 2835u, 2835u, f.clrUsed, f.clrImportant}) Put32(v, x);
  }
  for (uint32_t i = f.os2 ? 12 : 40; i < info; ++i) v.push_back(static_cast<uint8_t>(0xA0 + i));
  v.insert(v.end(), f.palette.begin(), f.palette.end());
  v.insert(v.end(), f.pixels.begin(), f.pixels.end());
  return v;
}

std::vector<uint8_t> Grey(uint32_t n, uint32_t entryBytes = 4) {
  std::vector<uint8_t> p;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t g = static_cast<uint8_t>(i * 255 / std::max(n - 1, 1u));
    p.insert(p.end(), {g, g, g});
    if (entryBytes == 4) p.push_back(0);
  }
  return p;
}

std::vector<uint8_t> Random(size_t n, uint32_t seed, uint32_t modulo = 256) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t &b : v) b = static_cast<uint8_t>(rng() % modulo);
  return v;
}

qvhost::Result Decode(const std::vector<uint8_t> &file, uint32_t type, uint32_t flags = 0,
                      size_t outQueue = 65536) {
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = type;
  o.flags = flags;
  o.outQueue = outQueue;
  return qvhost::Decode(file.data(), file.size(), o);
}

uint32_t Stride(uint32_t bits, uint32_t width) { return (bits * width + 31) / 32 * 4; }

// Refusals. Header refusals come before any job buffer is taken: the job's
// first allocation is made to fail, so a reader that allocated first would
// answer -7003 (as the two controls do).
TEST(Bmp, Refusals) {
  struct Case {
    const char *name;
    uint32_t type;
    void (*edit)(BmpFile &);
    int32_t status;
    size_t outQueue = 65536;
  };
  const Case cases[] = {
      {"control: RLE row buffer", kRle, [](BmpFile &f) { f.compression = 1; }, QV_ERR_BUFFER},
      {"control: 16-bit row buffers", 0, [](BmpFile &f) { f.bits = 16; }, QV_ERR_BUFFER},
      {"not BM", 0, [](BmpFile &f) { f.signature = 0x4142; }, -7006},
      {"info header 39", 0, [](BmpFile &f) { f.infoSize = 39; }, -7006},
      {"OS/2 header 11", kOs2, [](BmpFile &f) { f.os2 = true, f.infoSize = 11; }, -7006},
      {"planes 2", 0, [](BmpFile &f) { f.planes = 2; }, -7006},
      {"2 bits", 0, [](BmpFile &f) { f.bits = 2; }, -7006},
      {"64 bits", 0, [](BmpFile &f) { f.bits = 64; }, -7006},
      {"0 bits, embedded image", 0, [](BmpFile &f) { f.bits = 0, f.compression = 4; }, -7006},
      {"OS/2 16 bits", kOs2, [](BmpFile &f) { f.os2 = true, f.bits = 16; }, -7006},
      {"RLE8 with 4 bits", kRle, [](BmpFile &f) { f.compression = 1, f.bits = 4; }, -7006},
      {"RLE4 with 8 bits", kRle, [](BmpFile &f) { f.compression = 2; }, -7006},
      {"bit fields", 0, [](BmpFile &f) { f.compression = 3, f.bits = 16; }, -7015},
      {"compression 4", 0, [](BmpFile &f) { f.compression = 4; }, -7015},
      {"width 0", 0, [](BmpFile &f) { f.width = 0; }, -7006},
      {"width -5", 0, [](BmpFile &f) { f.width = -5; }, -7006},
      {"height 0", kRle, [](BmpFile &f) { f.height = 0, f.compression = 1; }, -7006},
      {"height INT_MIN", 0, [](BmpFile &f) { f.height = INT32_MIN; }, -7006},
      {"OS/2 width 0", kOs2, [](BmpFile &f) { f.os2 = true, f.width = 0; }, -7006},
      {"stride past 31 bits", kRle, [](BmpFile &f) { f.width = 0x7FFFFFFF, f.compression = 1; }, -7006},
      {"image size past 32 bits", 0, [](BmpFile &f) { f.width = 70000, f.height = -70000; }, -7006},
      {"OS/2 image size past 32 bits", kOs2,
       [](BmpFile &f) { f.os2 = true, f.width = f.height = 65535, f.bits = 24; }, -7006},
      // Flipped delivery needs one row (stride 8) plus the queue's free byte.
      {"flip room", 0, [](BmpFile &f) { f.width = 8; }, QV_ERR_FLIP_ROOM, 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    BmpFile f;
    c.edit(f);
    if (f.bits <= 8 && f.bits > 0) f.palette = Grey(1u << f.bits, f.os2 ? 3 : 4);
    std::vector<uint8_t> file = Build(f);
    file.resize(file.size() + 64, 1);  // pixel data (runs of 1 for RLE8)
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = c.type;
    o.flags = QV_FLAG_TOP_DOWN;  // flipped stored rows take a row buffer too
    o.outQueue = c.outQueue;
    qvhost::TestHooks hooks;
    hooks.afterInit = [](ParamBlock *) { MemFailNthAllocation(1); };
    qvhost::Result r = qvhost::DecodeWithHooks(file.data(), file.size(), o, hooks);
    MemFailNthAllocation(0);
    EXPECT_EQ(r.status, c.status) << qvhost::StatusText(r.status);
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
  // One byte more than a row works, one row per band.
  BmpFile f;
  f.width = 8;
  f.palette = Grey(256);
  f.pixels = Random(16, 1);
  EXPECT_EQ(Decode(Build(f), 0, QV_FLAG_TOP_DOWN, 9).counts[ResponseSeek], 2u);
}

// Row buffers sized from header fields beyond the per-block limit are refused
// before the request reaches the system (a 64-bit system would grant them and
// the job would then fail only at the end of the input, -1013).
TEST(Bmp, BuffersBeyondTheBlockLimitAreRefused) {
  struct Case {
    const char *name;
    uint32_t type, bits, compression;
    int32_t width;
  };
  const Case cases[] = {
      {"16-bit, width 0x2AAAAAA0: 1.4 GB and 2 GB row buffers", 0, 16, 0, 0x2AAAAAA0},
      {"RLE8, width 0x7FFFFFF0: a 2 GB row buffer", kRle, 8, 1, 0x7FFFFFF0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    BmpFile f;
    f.width = c.width;
    f.height = 1;
    f.bits = c.bits;
    f.compression = c.compression;
    if (c.bits == 8) f.palette = Grey(256);
    f.pixels.assign(64, 1);
    std::vector<uint8_t> file = Build(f);
    if (c.bits == 16) {
      EXPECT_EQ(file.size(), 118u);
    }
    qvhost::Result r = Decode(file, c.type);
    EXPECT_EQ(r.status, QV_ERR_BUFFER) << qvhost::StatusText(r.status);
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

// Colour-table size from the pixel-data offset, or from the header fields;
// entries (3 bytes for OS/2) go to Palette and, as 4 bytes, to the output.
TEST(Bmp, ColourTables) {
  struct Case {
    const char *name;
    bool os2;
    uint32_t bits, clrUsed, clrImportant;
    int64_t gap;  // bytes between information header and pixel data; -1: offset 0
    uint32_t entries;
    uint32_t stored = 0;  // entries the file holds, when more than are read
  };
  const Case cases[] = {
      {"offset gives 16 of 256", false, 8, 0, 0, 16 * 4, 16},
      {"offset not whole entries", false, 1, 0, 0, 6, 2},
      {"offset beyond 2^bits", false, 8, 300, 0, 300 * 4, 256, 300},
      {"offset inside the header", false, 4, 5, 9, -1, 9},
      {"no offset, clrUsed 0", false, 4, 0, 0, -1, 16},
      {"24 bits, offset", false, 24, 0, 0, 3 * 4, 3},
      {"24 bits, fields", false, 24, 2, 5, 6, 5},
      {"OS/2 8 bits", true, 8, 0, 0, 0, 256},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    BmpFile f;
    f.os2 = c.os2;
    f.width = 3;
    f.bits = c.bits;
    f.clrUsed = c.clrUsed;
    f.clrImportant = c.clrImportant;
    if (!c.os2) f.dataOffset = c.gap < 0 ? 0 : 54 + c.gap;
    uint32_t size = c.os2 ? 3 : 4;
    uint32_t stored = c.stored ? c.stored : c.entries;
    for (uint32_t i = 0; i < stored * size; ++i) f.palette.push_back(static_cast<uint8_t>(i / size + i % size));
    f.pixels.assign(Stride(c.bits, 3) * 2, 0x11);
    qvhost::Result r = Decode(Build(f), c.os2 ? kOs2 : 0, QV_FLAG_HEADER);
    ASSERT_TRUE(r.ok()) << r.status;
    ASSERT_EQ(r.output.size(), 40 + 4 * c.entries + 2 * Stride(c.bits, 3));
    for (uint32_t i = 0; i < c.entries; ++i) {
      const uint8_t want[4] = {uint8_t(i), uint8_t(i + 1), uint8_t(i + 2), uint8_t(c.os2 ? 0 : i + 3)};
      EXPECT_EQ(memcmp(&r.palette[i], want, 4), 0) << i;
      EXPECT_EQ(memcmp(&r.output[40 + 4 * i], want, 4), 0) << i;
    }
    EXPECT_EQ(r.flags & QV_FLAG_GREY, 0u);
  }
  BmpFile g;
  g.palette = Grey(256);
  g.pixels = Random(8, 2);
  EXPECT_NE(Decode(Build(g), 0).flags & QV_FLAG_GREY, 0u);
}

// A 108-byte header: the 68 bytes beyond 40 go into one record, or are
// skipped when there is no ExtraBuffer or the host will not enlarge it. The
// 16-bit pixels (bit 15 ignored, row padding dropped) become 24-bit.
TEST(Bmp, ExtraHeaderBytesAndConversion) {
  BmpFile f;
  f.infoSize = 108;
  f.width = 3;
  f.bits = 16;
  const uint16_t p16[] = {0x7C00, 0x001F, 0x03E0, 0x8000, 0x0421, 0xFFFF};
  for (int i = 0; i < 6; ++i) {
    Put16(f.pixels, p16[i]);
    if (i % 3 == 2) Put16(f.pixels, 0xBEEF);  // input row padding
  }
  std::vector<uint8_t> file = Build(f);
  const std::vector<uint8_t> want = {0, 0, 255, 255, 0, 0, 0, 255, 0, 0, 0, 0,
                                     0, 0, 0,   8,   8, 8, 255, 255, 255, 0, 0, 0};
  for (int mode = 0; mode < 3; ++mode) {
    qvhost::Options o = qvtest::ClassicOptions();
    o.extra = mode != 1;
    o.extraLimit = mode == 2 ? 32 : o.extraLimit;
    o.extraInitial = 16;
    qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(r.ok()) << r.status;
    EXPECT_EQ(r.output, want);
    EXPECT_EQ(r.header.biBitCount, 24);
    EXPECT_EQ(r.header.biSizeImage, 24u);
    ASSERT_EQ(r.extras.size(), mode == 0 ? 1u : 0u);
    if (mode == 0) {
      EXPECT_EQ(r.extras[0].kind, 0x1000u);
      EXPECT_TRUE(r.extras[0].data == std::vector<uint8_t>(file.begin() + 54, file.begin() + 122));
    }
  }
  // Coded data read with image type 0 is delivered as if it were pixels.
  f.infoSize = 40;
  f.bits = 8;
  f.compression = 1;
  f.palette = Grey(256);
  f.pixels = {4, 9, 0, 0, 4, 8, 0, 1};
  EXPECT_EQ(Decode(Build(f), 0).output, f.pixels);
}

TEST(Bmp, RleCodes) {
  struct Case {
    const char *name;
    uint32_t bits, width, height;
    std::vector<uint8_t> codes;
    int32_t status;
    std::vector<uint8_t> rows;  // bottom row first
  };
  const Case cases[] = {
      {"run, end of line, odd literal", 8, 3, 2, {3, 7, 0, 0, 0, 3, 4, 5, 6, 0}, 0, {7, 7, 7, 0, 4, 5, 6, 0}},
      {"even literal", 8, 4, 2, {0, 4, 1, 2, 3, 4, 0, 0, 4, 9}, 0, {1, 2, 3, 4, 9, 9, 9, 9}},
      {"end of line inside a row", 8, 3, 1, {2, 7, 0, 0}, -7007, {}},
      {"run across rows", 8, 3, 2, {2, 7, 2, 7}, -7007, {}},
      {"literal past the row end", 8, 3, 1, {0, 4, 1, 2, 3, 4}, -7008, {}},
      {"delta", 8, 3, 1, {0, 2, 1, 0}, -7008, {}},
      {"end of bitmap, then the last row", 8, 3, 2, {3, 1, 0, 1, 3, 2}, 0, {1, 1, 1, 0, 2, 2, 2, 0}},
      {"end of bitmap before the last row", 8, 3, 3, {3, 1, 0, 0, 0, 1}, -7007, {}},
      {"end of bitmap inside the last row", 8, 3, 1, {1, 1, 0, 1}, -7007, {}},
      {"codes end early", 8, 3, 2, {3, 1, 0, 0}, QV_ERR_INPUT_ENDED, {}},
      {"RLE4 run alternates nibbles", 4, 5, 1, {5, 0x12}, 0, {0x12, 0x12, 0x10, 0}},
      {"RLE4 runs continue mid-byte", 4, 6, 1, {3, 0x12, 2, 0x34, 1, 0x56}, 0, {0x12, 0x13, 0x45, 0}},
      {"RLE4 run fills the spare nibble", 4, 5, 1, {6, 0x12}, 0, {0x12, 0x12, 0x12, 0}},
      {"RLE4 run past the even limit", 4, 5, 1, {7, 0x12}, -7007, {}},
      {"RLE4 literal of 5 reads 4 bytes", 4, 5, 1, {0, 5, 0x12, 0x34, 0x5F, 0xFF}, 0, {0x12, 0x34, 0x50, 0}},
      {"RLE4 literal past the limit", 4, 3, 1, {0, 5, 0x12, 0x34, 0x50, 0}, -7007, {}},
      {"RLE4 delta", 4, 3, 1, {0, 2, 0, 0}, -7008, {}},
      {"RLE4 rows start clean", 4, 3, 2, {4, 0xFF, 0, 0, 3, 0x12}, 0, {0xFF, 0xFF, 0, 0, 0x12, 0x10, 0, 0}},
      // A 1-bit file read as "BMPR" decodes as RLE4: 200 nibbles need 100
      // bytes, more than the stride of 28, and must stay in the row buffer.
      {"RLE4 on a 1-bit file", 1, 200, 1, {200, 0xAB}, 0, std::vector<uint8_t>(28, 0xAB)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    BmpFile f;
    f.width = static_cast<int32_t>(c.width);
    f.height = static_cast<int32_t>(c.height);
    f.bits = c.bits;
    f.compression = c.bits == 8 ? 1 : c.bits == 4 ? 2 : 0;
    f.palette = Grey(1u << c.bits);
    f.pixels = c.codes;
    qvhost::Result r = Decode(Build(f), kRle);
    EXPECT_EQ(r.status, c.status) << qvhost::StatusText(r.status);
    if (c.status == 0) {
      EXPECT_EQ(r.output, c.rows);
    }
  }
}

// Code an image (one index per byte) as RLE8 or RLE4, mixing runs and
// literals at random; rows end with end of line, the last with end of bitmap.
std::vector<uint8_t> EncodeRle(const std::vector<uint8_t> &px, uint32_t w, uint32_t h, uint32_t bits,
                               uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t *row = &px[static_cast<size_t>(y) * w];
    for (uint32_t x = 0; x < w;) {
      uint32_t left = w - x, n = 1;
      if (left >= 3 && rng() % 3 == 0) {
        n = std::min<uint32_t>(left, 3 + rng() % 60);
        out.insert(out.end(), {0, static_cast<uint8_t>(n)});
        std::vector<uint8_t> lit(bits == 8 ? n + (n & 1) : 2 * ((n + 3) / 4), 0xEE);
        for (uint32_t i = 0; i < n; ++i)
          lit[bits == 8 ? i : i / 2] = bits == 8 ? row[x + i]
                                     : (i & 1) ? (lit[i / 2] & 0xF0) | row[x + i]
                                               : (row[x + i] << 4) | 0x0E;
        out.insert(out.end(), lit.begin(), lit.end());
      } else {  // the longest run the pixels allow (an alternating pair for RLE4)
        uint8_t a = row[x], b = bits == 4 && left > 1 ? row[x + 1] : a;
        while (n < left && n < 255 && row[x + n] == ((n & 1) ? b : a)) ++n;
        out.insert(out.end(), {static_cast<uint8_t>(n), bits == 8 ? a : static_cast<uint8_t>(a << 4 | b)});
      }
      x += n;
    }
    out.insert(out.end(), {0, static_cast<uint8_t>(y + 1 == h ? 1 : 0)});
  }
  return out;
}

std::vector<uint8_t> RunnyPixels(uint32_t w, uint32_t h, uint32_t bits, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> px(static_cast<size_t>(w) * h);
  uint8_t v = 0;
  for (uint8_t &p : px) p = v = rng() % 5 ? v : static_cast<uint8_t>(rng() % (1u << bits));
  return px;
}

TEST(Bmp, RleRoundTripEqualsStoredRows) {
  for (uint32_t bits : {8u, 4u}) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
      SCOPED_TRACE(bits * 100 + seed);
      uint32_t w = 1 + seed * 23 % 97, h = 1 + seed * 7 % 19, stride = Stride(bits, w);
      std::vector<uint8_t> px = RunnyPixels(w, h, bits, seed), rows(stride * h, 0);
      for (uint32_t i = 0; i < w * h; ++i) {
        uint8_t *p = &rows[i / w * stride + (bits == 8 ? i % w : i % w / 2)];
        *p |= bits == 8 || (i % w & 1) ? px[i] : px[i] << 4;
      }
      BmpFile f;
      f.width = static_cast<int32_t>(w);
      f.height = static_cast<int32_t>(h);
      f.bits = bits;
      f.compression = bits == 8 ? 1 : 2;
      f.palette = Grey(1u << bits);
      f.pixels = EncodeRle(px, w, h, bits, seed);
      qvhost::Result r = Decode(Build(f), kRle);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(r.output, rows);
    }
  }
}

struct Sample {
  std::string name;
  uint32_t type;
  std::vector<uint8_t> file;
  uint32_t stride, entries;
};

// One file for each pixel path, 37 x 23.
std::vector<Sample> Samples() {
  std::vector<Sample> s;
  const uint32_t w = 37, h = 23;
  for (uint32_t bits : {1u, 4u, 8u, 24u, 16u, 32u}) {
    BmpFile f;
    f.width = w;
    f.height = bits > 24 || bits == 16 ? -int32_t(h) : int32_t(h);  // 16/32: top row first
    f.bits = bits;
    if (bits <= 8) f.palette = Grey(1u << bits);
    f.pixels = Random((bits * w + 31) / 32 * 4 * h, bits);
    s.push_back({"stored " + std::to_string(bits), 0, Build(f), Stride(bits > 8 ? 24 : bits, w),
                 bits <= 8 ? 1u << bits : 0});
  }
  BmpFile o;
  o.os2 = true;
  o.infoSize = 20;  // 8 extra header bytes
  o.width = w;
  o.height = h;
  o.bits = 4;
  o.palette = Grey(16, 3);
  o.pixels = Random(Stride(4, w) * h, 6);
  s.push_back({"OS/2 4", kOs2, Build(o), Stride(4, w), 16});
  for (uint32_t bits : {8u, 4u}) {
    BmpFile f;
    f.infoSize = 124;
    f.width = w;
    f.height = h;
    f.bits = bits;
    f.compression = bits == 8 ? 1 : 2;
    f.palette = Grey(1u << bits);
    f.pixels = EncodeRle(RunnyPixels(w, h, bits, 7), w, h, bits, 8);
    s.push_back({"RLE" + std::to_string(bits), kRle, Build(f), Stride(bits, w), 1u << bits});
  }
  return s;
}

// Every path under every option mix: flipped output is the plain output with
// its rows reversed, behind the header and colour table when asked; the same
// bytes come back through tiny and odd queues, random chunking and
// whole-input mode; the reader stays well inside its stack.
TEST(Bmp, EveryPathUnderStress) {
  const uint32_t optionSets[] = {0, QV_FLAG_HEADER, QV_FLAG_TOP_DOWN, QV_FLAG_BATCH,
                                 QV_FLAG_BATCH | QV_FLAG_TOP_DOWN | QV_FLAG_HEADER};
  for (const Sample &s : Samples()) {
    qvhost::Result plain = Decode(s.file, s.type);
    ASSERT_TRUE(plain.ok()) << s.name << " " << plain.status;
    uint32_t rows = static_cast<uint32_t>(std::abs(plain.header.biHeight));
    ASSERT_EQ(plain.output.size(), size_t{rows} * s.stride) << s.name;
    for (uint32_t flags : optionSets) {
      SCOPED_TRACE(s.name + " flags " + std::to_string(flags));
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = s.type;
      o.flags = flags;
      o.rowsPerBatch = 4;
      o.test.measureStack = true;
      qvhost::Result r = qvhost::Decode(s.file.data(), s.file.size(), o);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_GT(r.stackUsed, 0u);
      EXPECT_LT(r.stackUsed, 8192u);
      size_t h = (flags & QV_FLAG_HEADER) ? 40 + 4 * s.entries : 0;
      ASSERT_EQ(r.output.size(), h + plain.output.size());
      for (uint32_t y = 0; y < rows; ++y) {
        uint32_t from = (flags & QV_FLAG_TOP_DOWN) ? rows - 1 - y : y;
        ASSERT_EQ(memcmp(&r.output[h + size_t{y} * s.stride], &plain.output[size_t{from} * s.stride], s.stride), 0)
            << "row " << y;
      }
      // Batches: stored rows go in blocks, each followed by a yield (6);
      // converted and decoded rows yield after every fourth row (5); flipped
      // delivery has no batches.
      bool flipped = flags & QV_FLAG_TOP_DOWN, converted = s.name == "stored 16" || s.name == "stored 32";
      size_t yields = !(flags & QV_FLAG_BATCH) || flipped ? 0 : s.type == kRle || converted ? 5 : 6;
      EXPECT_EQ(r.counts[ResponseRowsReady], yields);
      o.test.measureStack = false;
      EXPECT_EQ(qvtest::CheckStress(s.file, o, r, s.stride), "");
    }
  }
}

// Mutated and truncated files, read as each BMP type with varied options and
// queues, end with response 1 or 2, and with the same outcome and bytes
// through tiny queues and random chunking. (A flipped decode that fails has
// handed over as many bands as its queue allowed: only its status compares.)
TEST(Bmp, MutatedFilesEndCleanly) {
  std::vector<Sample> samples = Samples();
  std::mt19937 rng(2024);
  const uint32_t types[] = {0, kRle, kOs2};
  for (int iter = 0; iter < 600; ++iter) {
    SCOPED_TRACE(iter);
    const Sample &s = samples[rng() % samples.size()];
    std::vector<uint8_t> file = s.file;
    for (int e = 1 + rng() % 4; e > 0; --e) {
      size_t at = rng() % 3 ? rng() % std::min<size_t>(file.size(), 80) : rng() % file.size();
      file[at] = rng() % 4 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(file[at] ^ (1u << rng() % 8));
    }
    if (rng() % 4 == 0) file.resize(rng() % file.size());
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = rng() % 2 ? s.type : types[rng() % 3];
    o.flags = (rng() % 2 ? QV_FLAG_TOP_DOWN : 0) | (rng() % 2 ? QV_FLAG_HEADER : 0) | (rng() % 3 ? 0 : QV_FLAG_BATCH);
    o.rowsPerBatch = rng() % 5;
    o.outQueue = 64 + rng() % 4096;
    o.outputLimit = 64u << 20;
    qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(r.response == ResponseDone || r.response == ResponseError);
    if (iter % 3) continue;
    if (r.ok() || !(o.flags & QV_FLAG_TOP_DOWN)) {
      uint32_t rows = static_cast<uint32_t>(std::abs(static_cast<int64_t>(r.header.biHeight)));
      uint32_t stride = rows && r.header.biSizeImage ? r.header.biSizeImage / rows : 64;
      EXPECT_EQ(qvtest::CheckStress(file, o, r, stride == 0 || stride > (1u << 20) ? 64 : stride), "");
    } else {
      o.inQueue = 5;
      o.test.chunkSeed = 11;
      EXPECT_EQ(qvhost::Decode(file.data(), file.size(), o).status, r.status);
    }
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

}  // namespace
