// The BMP reader, on files built in memory: headers and their refusals, the
// colour table, pixel conversions, RLE codes, round trips of RLE-coded
// images against their stored rows, the delivery disciplines under stress,
// and mutated files that must always end cleanly.
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

constexpr uint32_t kRle = QV_FOURCC('B', 'M', 'P', 'R');
constexpr uint32_t kOs2 = QV_FOURCC('B', 'M', 'P', 'O');

struct BmpFile {
  bool os2 = false;
  uint32_t infoSize = 0;  // 0: 40 (Windows) or 12 (OS/2)
  int32_t width = 1, height = 1;
  uint32_t planes = 1, bits = 8, compression = 0;
  uint32_t clrUsed = 0, clrImportant = 0;
  int64_t dataOffset = -1;       // -1: right after the colour table
  std::vector<uint8_t> palette;  // raw entries as stored
  std::vector<uint8_t> pixels;   // raw pixel data as stored
};

std::vector<uint8_t> Build(const BmpFile &f) {
  uint32_t info = f.infoSize ? f.infoSize : (f.os2 ? 12 : 40);
  std::vector<uint8_t> v;
  v.push_back('B');
  v.push_back('M');
  Put32(v, 0);
  Put32(v, 0);
  Put32(v, f.dataOffset >= 0 ? static_cast<uint32_t>(f.dataOffset)
                             : static_cast<uint32_t>(14 + info + f.palette.size()));
  Put32(v, info);
  if (f.os2) {
    Put16(v, static_cast<uint32_t>(f.width));
    Put16(v, static_cast<uint32_t>(f.height));
    Put16(v, f.planes);
    Put16(v, f.bits);
  } else {
    Put32(v, static_cast<uint32_t>(f.width));
    Put32(v, static_cast<uint32_t>(f.height));
    Put16(v, f.planes);
    Put16(v, f.bits);
    Put32(v, f.compression);
    Put32(v, 0);     // image size
    Put32(v, 2835);  // resolutions
    Put32(v, 2835);
    Put32(v, f.clrUsed);
    Put32(v, f.clrImportant);
  }
  // Header bytes beyond the standard ones: a recognisable pattern.
  for (uint32_t i = f.os2 ? 12 : 40; i < info; ++i) v.push_back(static_cast<uint8_t>(0xA0 + i));
  v.insert(v.end(), f.palette.begin(), f.palette.end());
  v.insert(v.end(), f.pixels.begin(), f.pixels.end());
  return v;
}

std::vector<uint8_t> GreyPalette(uint32_t n, uint32_t entryBytes = 4) {
  std::vector<uint8_t> p;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t g = static_cast<uint8_t>(i * 255 / (n > 1 ? n - 1 : 1));
    p.insert(p.end(), {g, g, g});
    if (entryBytes == 4) p.push_back(0);
  }
  return p;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed, uint32_t modulo = 256) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t &b : v) b = static_cast<uint8_t>(rng() % modulo);
  return v;
}

qvhost::Result Decode(const std::vector<uint8_t> &file, uint32_t type, uint32_t flags = 0,
                      uint32_t batch = 0, size_t outQueue = 65536) {
  qvhost::Options o;
  o.imageType = type;
  o.flags = flags;
  o.rowsPerBatch = batch;
  o.outQueue = outQueue;
  return qvhost::Decode(file.data(), file.size(), o);
}

uint32_t Stride(uint32_t bits, uint32_t width) { return ((bits * width + 31) / 32) * 4; }

// ---------------------------------------------------------------- headers

TEST(BmpHeader, TwoByTwo24BitIsCopiedUnchanged) {
  BmpFile f;
  f.width = f.height = 2;
  f.bits = 24;
  f.pixels = RandomBytes(16, 1);
  std::vector<uint8_t> file = Build(f);
  qvhost::Result r = Decode(file, 0);
  ASSERT_TRUE(r.ok()) << r.status;
  const BitmapInfoHeader &h = r.header;
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 2);
  EXPECT_EQ(h.biHeight, 2);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 16u);
  EXPECT_EQ(h.biXPelsPerMeter, 2835);
  EXPECT_EQ(r.output, f.pixels);

  // With the header in the output: the same 40 bytes, then the rows.
  qvhost::Result rh = Decode(file, 0, QV_FLAG_HEADER);
  ASSERT_TRUE(rh.ok());
  ASSERT_EQ(rh.output.size(), 56u);
  EXPECT_EQ(memcmp(rh.output.data(), &rh.header, 40), 0);
  EXPECT_TRUE(std::equal(f.pixels.begin(), f.pixels.end(), rh.output.begin() + 40));
}

// Headers that are refused, and refused before any job buffer is taken: the
// first allocation of each job is made to fail, so a reader that allocated
// first would answer -7003 instead.
TEST(BmpHeader, RefusalsComeBeforeAnyAllocation) {
  struct Case {
    const char *name;
    uint32_t type;
    void (*edit)(BmpFile &);
    int32_t status;
  };
  const Case cases[] = {
      {"control: RLE row buffer", kRle, [](BmpFile &f) { f.compression = 1; }, QV_ERR_BUFFER},
      {"control: 16-bit row buffers", 0, [](BmpFile &f) { f.bits = 16; }, QV_ERR_BUFFER},
      {"info header 39", 0, [](BmpFile &f) { f.infoSize = 39; }, -7006},
      {"OS/2 header 11", kOs2, [](BmpFile &f) { f.os2 = true, f.infoSize = 11; }, -7006},
      {"planes 2", 0, [](BmpFile &f) { f.planes = 2; }, -7006},
      {"2 bits", 0, [](BmpFile &f) { f.bits = 2; }, -7006},
      {"64 bits", 0, [](BmpFile &f) { f.bits = 64; }, -7006},
      {"0 bits (embedded image)", 0, [](BmpFile &f) { f.bits = 0, f.compression = 4; }, -7006},
      {"OS/2 16 bits", kOs2, [](BmpFile &f) { f.os2 = true, f.bits = 16; }, -7006},
      {"RLE8 with 4 bits", kRle, [](BmpFile &f) { f.compression = 1, f.bits = 4; }, -7006},
      {"RLE4 with 8 bits", kRle, [](BmpFile &f) { f.compression = 2; }, -7006},
      {"bit fields", 0, [](BmpFile &f) { f.compression = 3, f.bits = 16; }, -7015},
      {"compression 4", 0, [](BmpFile &f) { f.compression = 4; }, -7015},
      {"width 0", 0, [](BmpFile &f) { f.width = 0; }, -7006},
      {"width -5", 0, [](BmpFile &f) { f.width = -5; }, -7006},
      {"height 0", 0, [](BmpFile &f) { f.height = 0; }, -7006},
      {"height INT_MIN", 0, [](BmpFile &f) { f.height = INT32_MIN; }, -7006},
      {"OS/2 width 0", kOs2, [](BmpFile &f) { f.os2 = true, f.width = 0; }, -7006},
      {"OS/2 height 0", kOs2, [](BmpFile &f) { f.os2 = true, f.height = 0; }, -7006},
      {"stride past 31 bits", 0, [](BmpFile &f) { f.width = 0x7FFFFFFF, f.bits = 24; }, -7006},
      {"RLE stride past 31 bits", kRle,
       [](BmpFile &f) { f.width = 0x7FFFFFFF, f.compression = 1; }, -7006},
      {"image size past 32 bits", 0, [](BmpFile &f) { f.width = 70000, f.height = -70000; }, -7006},
      {"OS/2 image size past 32 bits", kOs2,
       [](BmpFile &f) { f.os2 = true, f.width = f.height = 65535, f.bits = 24; }, -7006},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    BmpFile f;
    f.width = 4;
    f.height = 2;
    c.edit(f);
    if (f.bits <= 8 && f.bits > 0) f.palette = GreyPalette(1u << f.bits, f.os2 ? 3 : 4);
    std::vector<uint8_t> file = Build(f);
    file.resize(file.size() + 64, 1);  // some pixel data (runs of 1 for RLE8)
    qvhost::Options o;
    o.imageType = c.type;
    o.flags = QV_FLAG_TOP_DOWN;  // flipped stored rows take a row buffer too
    qvhost::TestHooks hooks;
    hooks.afterInit = [](ParamBlock *) { MemFailNthAllocation(1); };
    qvhost::Result r = qvhost::DecodeWithHooks(file.data(), file.size(), o, hooks);
    MemFailNthAllocation(0);
    EXPECT_EQ(r.response, ResponseError);
    EXPECT_EQ(r.status, c.status) << qvhost::StatusText(r.status);
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

TEST(BmpHeader, OtherFailures) {
  BmpFile f;
  f.width = 4;
  f.height = 3;
  f.palette = GreyPalette(256);
  f.pixels = RandomBytes(12, 2);
  std::vector<uint8_t> file = Build(f);

  std::vector<uint8_t> notBm = file;
  notBm[1] = 'A';
  EXPECT_EQ(Decode(notBm, 0).status, -7006);

  std::vector<uint8_t> shortFile(file.begin(), file.end() - 1);
  EXPECT_EQ(Decode(shortFile, 0).status, QV_ERR_INPUT_ENDED);

  // Flipped delivery needs room for one row plus the queue's free byte.
  f.width = 8;  // stride 8: an 8-byte queue holds 7 bytes
  f.pixels = RandomBytes(24, 3);
  file = Build(f);
  EXPECT_EQ(Decode(file, 0, QV_FLAG_TOP_DOWN, 0, 8).status, QV_ERR_FLIP_ROOM);
  qvhost::Result ok = Decode(file, 0, QV_FLAG_TOP_DOWN, 0, 9);
  ASSERT_TRUE(ok.ok()) << ok.status;
  EXPECT_EQ(ok.counts[ResponseSeek], 3u);  // one row per band
}

// ------------------------------------------------------------- colour table

TEST(BmpPalette, EntryCountFromOffsetOrFields) {
  struct Case {
    const char *name;
    uint32_t bits, clrUsed, clrImportant;
    int64_t tableBytes;  // bytes between the information header and the pixel data; -1: offset 0
    uint32_t entries;
  };
  const Case cases[] = {
      {"offset gives 16 of 256, clrUsed 0", 8, 0, 0, 16 * 4, 16},
      {"offset not whole entries: fields", 1, 0, 0, 6, 2},
      {"offset beyond 2^bits: fields, capped", 8, 300, 0, 300 * 4, 256},
      {"offset before the header end: fields", 4, 5, 9, -1, 9},
      {"no offset, clrUsed 0: full table", 4, 0, 0, -1, 16},
      {"no offset, clrUsed over 2^bits", 8, 1000, 0, -1, 256},
      {"24 bits: offset entries", 24, 0, 0, 3 * 4, 3},
      {"24 bits: fields", 24, 2, 5, 6, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    BmpFile f;
    f.width = 3;
    f.height = 2;
    f.bits = c.bits;
    f.clrUsed = c.clrUsed;
    f.clrImportant = c.clrImportant;
    f.dataOffset = c.tableBytes < 0 ? 0 : 54 + c.tableBytes;
    // Entries with distinct colours; the file is long enough for any reading.
    for (uint32_t i = 0; i < c.entries; ++i)
      f.palette.insert(f.palette.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1),
                                         static_cast<uint8_t>(i + 2), static_cast<uint8_t>(i + 3)});
    f.pixels.assign(Stride(c.bits, 3) * 2, 0x11);
    std::vector<uint8_t> file = Build(f);
    qvhost::Result r = Decode(file, 0, QV_FLAG_HEADER);
    ASSERT_TRUE(r.ok()) << r.status;
    uint32_t stride = Stride(c.bits, 3);
    ASSERT_EQ(r.output.size(), 40 + 4 * c.entries + 2 * stride);
    EXPECT_TRUE(std::equal(f.palette.begin(), f.palette.end(), r.output.begin() + 40));
    for (uint32_t i = 0; i < c.entries; ++i) {
      EXPECT_EQ(r.palette[i].blue, i);
      EXPECT_EQ(r.palette[i].fourth, static_cast<uint8_t>(i + 3));
    }
    EXPECT_EQ(r.flags & QV_FLAG_GREY, 0u);
  }
}

TEST(BmpPalette, Os2EntriesAndGreyFlag) {
  BmpFile f;
  f.os2 = true;
  f.width = 5;
  f.height = 2;
  f.palette = GreyPalette(256, 3);
  f.pixels = RandomBytes(16, 4);
  qvhost::Result r = Decode(Build(f), kOs2, QV_FLAG_HEADER);
  ASSERT_TRUE(r.ok()) << r.status;
  EXPECT_EQ(r.header.biClrUsed, 256u);
  EXPECT_EQ(r.header.biClrImportant, 256u);
  ASSERT_EQ(r.output.size(), 40 + 1024 + 16u);
  for (uint32_t i = 0; i < 256; ++i) {
    const uint8_t *e = &r.output[40 + 4 * i];
    EXPECT_EQ(e[0], f.palette[3 * i]);
    EXPECT_EQ(e[2], f.palette[3 * i + 2]);
    EXPECT_EQ(e[3], 0);
  }
  EXPECT_NE(r.flags & QV_FLAG_GREY, 0u);

  // One coloured entry clears the grey verdict.
  f.palette[3 * 200] ^= 1;
  qvhost::Result c = Decode(Build(f), kOs2);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.flags & QV_FLAG_GREY, 0u);
}

// --------------------------------------------------------- extra header data

TEST(BmpExtra, BytesBeyondTheStandardHeader) {
  BmpFile f;
  f.infoSize = 108;
  f.width = 3;
  f.height = 2;
  f.bits = 24;
  f.pixels = RandomBytes(24, 5);
  std::vector<uint8_t> file = Build(f);

  qvhost::Result r = Decode(file, 0);
  ASSERT_TRUE(r.ok()) << r.status;
  ASSERT_EQ(r.extras.size(), 1u);
  EXPECT_EQ(r.extras[0].kind, 0x1000u);
  ASSERT_EQ(r.extras[0].data.size(), 68u);
  EXPECT_TRUE(std::equal(r.extras[0].data.begin(), r.extras[0].data.end(), file.begin() + 54));
  EXPECT_EQ(r.output, f.pixels);

  // No ExtraBuffer, or one the host will not enlarge: the bytes are skipped.
  for (bool offer : {false, true}) {
    qvhost::Options o;
    o.extra = offer;
    o.extraInitial = 16;
    o.extraLimit = 32;
    qvhost::Result s = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(s.ok()) << s.status;
    EXPECT_TRUE(s.extras.empty());
    EXPECT_EQ(s.counts[ResponseNeedExtra], offer ? 1u : 0u);
    EXPECT_EQ(s.output, f.pixels);
  }
}

// -------------------------------------------------------- pixel conversion

TEST(BmpPixels, SixteenAndThirtyTwoBitsBecome24) {
  // Width 3: 16-bit input rows are 6 bytes padded to 8, 32-bit rows 12.
  const uint16_t p16[] = {0x7C00, 0x001F, 0x03E0, 0x8000, 0x0421, 0xFFFF};
  const uint8_t want16[] = {0, 0, 255, 255, 0, 0, 0, 255, 0, 0, 0, 0, 8, 8, 8, 255, 255, 255};
  BmpFile f;
  f.width = 3;
  f.height = 2;
  f.bits = 16;
  for (int row = 0; row < 2; ++row) {
    for (int i = 0; i < 3; ++i) Put16(f.pixels, p16[row * 3 + i]);
    Put16(f.pixels, 0xBEEF);  // row padding, never shown
  }
  qvhost::Result r = Decode(Build(f), 0);
  ASSERT_TRUE(r.ok()) << r.status;
  EXPECT_EQ(r.header.biBitCount, 24);
  EXPECT_EQ(r.header.biSizeImage, 24u);
  ASSERT_EQ(r.output.size(), 24u);
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(memcmp(&r.output[row * 12], want16 + row * 9, 9), 0) << row;
    EXPECT_EQ(r.output[row * 12 + 9] | r.output[row * 12 + 10] | r.output[row * 12 + 11], 0);
  }

  f.bits = 32;
  f.pixels = {10, 20, 30, 40, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9, 0, 0, 0, 0, 255, 254, 253, 252};
  r = Decode(Build(f), 0);
  ASSERT_TRUE(r.ok()) << r.status;
  const uint8_t want32[] = {10, 20, 30, 1, 2, 3, 5, 6, 7, 0, 0, 0,
                            9, 9, 9, 0, 0, 0, 255, 254, 253, 0, 0, 0};
  ASSERT_EQ(r.output.size(), sizeof want32);
  EXPECT_EQ(memcmp(r.output.data(), want32, sizeof want32), 0);
}

// RLE-coded data read with image type 0 is delivered as if it were pixels.
TEST(BmpPixels, TypeZeroReadsCodedDataAsPixels) {
  BmpFile f;
  f.width = 4;
  f.height = 2;
  f.compression = 1;
  f.palette = GreyPalette(256);
  f.pixels = {4, 9, 0, 0, 4, 8, 0, 1};
  qvhost::Result r = Decode(Build(f), 0);
  ASSERT_TRUE(r.ok()) << r.status;
  EXPECT_EQ(r.output, f.pixels);
}

// ------------------------------------------------------------------ RLE codes

struct RleCase {
  const char *name;
  uint32_t bits, width, height;
  std::vector<uint8_t> codes;
  int32_t status;
  std::vector<uint8_t> rows;  // expected output when status is 0, bottom row first
};

void RunRleCases(const std::vector<RleCase> &cases) {
  for (const RleCase &c : cases) {
    SCOPED_TRACE(c.name);
    BmpFile f;
    f.width = static_cast<int32_t>(c.width);
    f.height = static_cast<int32_t>(c.height);
    f.bits = c.bits;
    f.compression = c.bits == 8 ? 1 : 2;
    f.palette = GreyPalette(1u << c.bits);
    f.pixels = c.codes;
    qvhost::Result r = Decode(Build(f), kRle);
    EXPECT_EQ(r.status, c.status) << qvhost::StatusText(r.status);
    if (c.status == 0) {
      EXPECT_EQ(r.output, c.rows);
    }
  }
}

TEST(BmpRle, Rle8Codes) {
  RunRleCases({
      {"run, end of line, odd literal", 8, 3, 2, {3, 7, 0, 0, 0, 3, 4, 5, 6, 0}, 0,
       {7, 7, 7, 0, 4, 5, 6, 0}},
      {"end of line inside a row", 8, 3, 1, {2, 7, 0, 0}, -7007, {}},
      {"run past the row end", 8, 3, 1, {4, 7}, -7007, {}},
      {"run across two rows", 8, 3, 2, {2, 7, 2, 7}, -7007, {}},
      {"literal past the row end", 8, 3, 1, {0, 4, 1, 2, 3, 4}, -7008, {}},
      {"delta", 8, 3, 1, {0, 2, 1, 0}, -7008, {}},
      {"end of bitmap at the start of the last row", 8, 3, 2, {3, 1, 0, 1, 3, 2}, 0,
       {1, 1, 1, 0, 2, 2, 2, 0}},
      {"end of bitmap before the last row", 8, 3, 3, {3, 1, 0, 0, 0, 1}, -7007, {}},
      {"end of bitmap inside the last row", 8, 3, 1, {1, 1, 0, 1}, -7007, {}},
      {"even literal has no pad", 8, 4, 2, {0, 4, 1, 2, 3, 4, 0, 0, 4, 9}, 0,
       {1, 2, 3, 4, 9, 9, 9, 9}},
      {"codes end early", 8, 3, 2, {3, 1, 0, 0}, QV_ERR_INPUT_ENDED, {}},
  });
}

TEST(BmpRle, Rle4Codes) {
  RunRleCases({
      {"run alternates high and low nibble", 4, 5, 1, {5, 0x12}, 0, {0x12, 0x12, 0x10, 0}},
      {"runs continue at the next nibble", 4, 6, 1, {3, 0x12, 2, 0x34, 1, 0x56}, 0,
       {0x12, 0x13, 0x45, 0}},
      {"run may fill the spare nibble", 4, 5, 1, {6, 0x12}, 0, {0x12, 0x12, 0x12, 0}},
      {"run past the even limit", 4, 5, 1, {7, 0x12}, -7007, {}},
      {"literal of 5 reads 4 bytes", 4, 5, 1, {0, 5, 0x12, 0x34, 0x5F, 0xFF}, 0, {0x12, 0x34, 0x50, 0}},
      {"literal past the limit", 4, 3, 1, {0, 5, 0x12, 0x34, 0x50, 0}, -7007, {}},
      {"delta", 4, 3, 1, {0, 2, 0, 0}, -7008, {}},
      {"end of line inside a row", 4, 3, 1, {2, 0x11, 0, 0}, -7007, {}},
      // The spare nibble written in one row does not leak into the next.
      {"rows start clean", 4, 3, 2, {4, 0xFF, 0, 0, 3, 0x12}, 0, {0xFF, 0xFF, 0, 0, 0x12, 0x10, 0, 0}},
  });
}

// A 1-bit file read as "BMPR" is decoded as RLE4: the nibbles of a row need
// more bytes than the 1-bit stride, and must stay inside the row buffer.
TEST(BmpRle, Rle4OnAOneBitFileStaysInsideTheRow) {
  BmpFile f;
  f.width = 200;  // stride 28, nibbles need 100 bytes
  f.height = 2;
  f.bits = 1;
  f.palette = GreyPalette(2);
  for (int row = 0; row < 2; ++row) f.pixels.insert(f.pixels.end(), {200, 0xAB, 0, 0});
  qvhost::Result r = Decode(Build(f), kRle);
  ASSERT_TRUE(r.ok()) << r.status;
  std::vector<uint8_t> want(56, 0xAB);
  EXPECT_EQ(r.output, want);
}

// ----------------------------------------------- RLE round trip and stress

// Code an image (one index per byte) as RLE8 or RLE4, mixing runs and
// literals at random, rows ended by end of line and the last by end of bitmap.
std::vector<uint8_t> EncodeRle(const std::vector<uint8_t> &px, uint32_t w, uint32_t h,
                               uint32_t bits, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t *row = &px[static_cast<size_t>(y) * w];
    uint32_t x = 0;
    while (x < w) {
      uint32_t left = w - x;
      if (left >= 3 && rng() % 3 == 0) {
        uint32_t n = std::min<uint32_t>(left, 3 + rng() % 60);
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(n));
        if (bits == 8) {
          out.insert(out.end(), row + x, row + x + n);
          if (n & 1) out.push_back(0xEE);
        } else {
          std::vector<uint8_t> b(2 * ((n + 3) / 4), 0xEE);
          for (uint32_t i = 0; i < n; ++i)
            b[i / 2] = static_cast<uint8_t>((i & 1) ? (b[i / 2] & 0xF0) | row[x + i]
                                                    : (row[x + i] << 4) | 0x0E);
          out.insert(out.end(), b.begin(), b.end());
        }
        x += n;
      } else {
        // The longest run the pixels allow (alternating pair for RLE4).
        uint8_t a = row[x], b = bits == 4 && left > 1 ? row[x + 1] : a;
        uint32_t n = 1;
        while (n < left && n < 255 && row[x + n] == ((n & 1) ? b : a)) ++n;
        out.push_back(static_cast<uint8_t>(n));
        out.push_back(bits == 8 ? a : static_cast<uint8_t>(a << 4 | b));
        x += n;
      }
    }
    out.push_back(0);
    out.push_back(y + 1 == h ? 1 : 0);
  }
  return out;
}

// Pixels with runs in them, one index per byte.
std::vector<uint8_t> RunnyPixels(uint32_t w, uint32_t h, uint32_t bits, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> px(static_cast<size_t>(w) * h);
  uint8_t v = 0;
  for (uint8_t &p : px) {
    if (rng() % 5 == 0) v = static_cast<uint8_t>(rng() % (1u << bits));
    p = v;
  }
  return px;
}

std::vector<uint8_t> PackRows(const std::vector<uint8_t> &px, uint32_t w, uint32_t h, uint32_t bits) {
  uint32_t stride = Stride(bits, w);
  std::vector<uint8_t> out(static_cast<size_t>(stride) * h, 0);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t p = px[static_cast<size_t>(y) * w + x];
      if (bits == 8)
        out[y * stride + x] = p;
      else
        out[y * stride + x / 2] |= static_cast<uint8_t>((x & 1) ? p : p << 4);
    }
  }
  return out;
}

// The files every delivery test runs: one of each pixel path.
struct Sample {
  const char *name;
  uint32_t type;
  std::vector<uint8_t> file;
  uint32_t stride;
};

std::vector<Sample> Samples() {
  std::vector<Sample> s;
  const uint32_t w = 37, h = 23;
  for (uint32_t bits : {1u, 4u, 8u, 24u}) {
    BmpFile f;
    f.width = w;
    f.height = h;
    f.bits = bits;
    if (bits <= 8) f.palette = GreyPalette(1u << bits);
    f.pixels = RandomBytes(Stride(bits, w) * h, bits);
    s.push_back({bits == 1 ? "stored 1" : bits == 4 ? "stored 4" : bits == 8 ? "stored 8" : "stored 24",
                 0, Build(f), Stride(bits, w)});
  }
  for (uint32_t bits : {16u, 32u}) {
    BmpFile f;
    f.width = w;
    f.height = -static_cast<int32_t>(h);  // top row first in the file
    f.bits = bits;
    f.pixels = RandomBytes(((bits / 8 * w + 3) / 4 * 4) * h, bits);
    s.push_back({bits == 16 ? "16 top-down" : "32 top-down", 0, Build(f), Stride(24, w)});
  }
  {
    BmpFile f;
    f.os2 = true;
    f.infoSize = 20;  // with 8 extra header bytes
    f.width = w;
    f.height = h;
    f.bits = 4;
    f.palette = GreyPalette(16, 3);
    f.pixels = RandomBytes(Stride(4, w) * h, 6);
    s.push_back({"OS/2 4", kOs2, Build(f), Stride(4, w)});
  }
  for (uint32_t bits : {8u, 4u}) {
    BmpFile f;
    f.infoSize = 124;
    f.width = w;
    f.height = h;
    f.bits = bits;
    f.compression = bits == 8 ? 1 : 2;
    f.palette = GreyPalette(1u << bits);
    f.pixels = EncodeRle(RunnyPixels(w, h, bits, 7), w, h, bits, 8);
    s.push_back({bits == 8 ? "RLE8" : "RLE4", kRle, Build(f), Stride(bits, w)});
  }
  return s;
}

TEST(BmpRle, RoundTripEqualsStoredRows) {
  for (uint32_t bits : {8u, 4u}) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
      SCOPED_TRACE(bits * 100 + seed);
      uint32_t w = 1 + seed * 23 % 97, h = 1 + seed * 7 % 19;
      std::vector<uint8_t> px = RunnyPixels(w, h, bits, seed);
      BmpFile f;
      f.width = static_cast<int32_t>(w);
      f.height = static_cast<int32_t>(h);
      f.bits = bits;
      f.compression = bits == 8 ? 1 : 2;
      f.palette = GreyPalette(1u << bits);
      f.pixels = EncodeRle(px, w, h, bits, seed);
      qvhost::Result r = Decode(Build(f), kRle);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(r.output, PackRows(px, w, h, bits));
    }
  }
}

// Every path under every option mix: byte-identical through tiny and odd
// queues, random chunking and whole-input mode; flipped output is the plain
// output with its rows reversed; the reader stays well inside its stack.
TEST(BmpDelivery, EveryPathUnderStress) {
  const uint32_t optionSets[] = {0, QV_FLAG_HEADER, QV_FLAG_TOP_DOWN, QV_FLAG_TOP_DOWN | QV_FLAG_HEADER,
                                 QV_FLAG_BATCH, QV_FLAG_BATCH | QV_FLAG_TOP_DOWN | QV_FLAG_HEADER};
  for (const Sample &s : Samples()) {
    qvhost::Result plain = Decode(s.file, s.type);
    ASSERT_TRUE(plain.ok()) << s.name << " " << plain.status;
    uint32_t rows = static_cast<uint32_t>(std::abs(plain.header.biHeight));
    ASSERT_EQ(plain.output.size(), static_cast<size_t>(rows) * s.stride) << s.name;
    for (uint32_t flags : optionSets) {
      SCOPED_TRACE(std::string(s.name) + " flags " + std::to_string(flags));
      qvhost::Options o;
      o.imageType = s.type;
      o.flags = flags;
      o.rowsPerBatch = 4;
      qvhost::Result r = qvhost::Decode(s.file.data(), s.file.size(), o);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_LT(r.stackUsed, 8192u);
      size_t h = r.output.size() - plain.output.size();
      EXPECT_EQ(h, (flags & QV_FLAG_HEADER) ? 40u + 4u * (s.type == kOs2 ? 16u : plain.header.biBitCount <= 8 ? 1u << plain.header.biBitCount : 0u) : 0u);
      for (uint32_t y = 0; y < rows; ++y) {
        uint32_t from = (flags & QV_FLAG_TOP_DOWN) ? rows - 1 - y : y;
        ASSERT_EQ(memcmp(&r.output[h + static_cast<size_t>(y) * s.stride],
                         &plain.output[static_cast<size_t>(from) * s.stride], s.stride),
                  0)
            << "row " << y;
      }
      EXPECT_EQ(qvtest::CheckStress(s.file, o, r, s.stride), "");
    }
  }
}

TEST(BmpDelivery, FlippedBandsAndBatches) {
  // 8-bit, 13 x 7: stride 16, H = 40 + 1024.
  BmpFile f;
  f.width = 13;
  f.height = 7;
  f.palette = GreyPalette(256);
  f.pixels = RandomBytes(16 * 7, 9);
  std::vector<uint8_t> file = Build(f);
  const uint32_t H = 40 + 1024, s = 16;

  // Room for 3 rows per band: seeks to the band starts, from the end back.
  qvhost::Result r = Decode(file, 0, QV_FLAG_TOP_DOWN | QV_FLAG_HEADER, 0, 3 * s + 1);
  ASSERT_TRUE(r.ok()) << r.status;
  std::vector<uint32_t> seeks;
  for (const qvhost::Event &e : r.events)
    if (e.response == ResponseSeek) seeks.push_back(e.seekTarget);
  const std::vector<uint32_t> want = {QV_SEEK_OUTPUT + H + 4 * s, QV_SEEK_OUTPUT + H + s,
                                      QV_SEEK_OUTPUT + H};
  EXPECT_EQ(seeks, want);

  // Batches of 3: stored rows go in blocks, each followed by a yield (3);
  // converted rows yield after every third row (2 for 7 rows).
  qvhost::Result b = Decode(file, 0, QV_FLAG_BATCH, 3);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b.counts[ResponseRowsReady], 3u);
  qvhost::Result b0 = Decode(file, 0, QV_FLAG_BATCH, 0);  // 0 counts as 1
  EXPECT_EQ(b0.counts[ResponseRowsReady], 7u);
  BmpFile g = f;
  g.bits = 32;
  g.palette.clear();
  g.pixels = RandomBytes(52 * 7, 10);
  qvhost::Result c = Decode(Build(g), 0, QV_FLAG_BATCH, 3);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.counts[ResponseRowsReady], 2u);
}

// ------------------------------------------------------------- robustness

// Mutated and truncated files, read as each BMP type with varied options and
// queues: each decode ends with response 1 or 2, and the same outcome and
// bytes come back through tiny queues and random chunking. (A flipped decode
// that fails has handed over as many bands as its queue size allowed, so
// there only the outcome can be compared.)
TEST(BmpRobustness, MutatedFilesEndCleanly) {
  std::vector<Sample> samples = Samples();
  std::mt19937 rng(2024);
  const uint32_t types[] = {0, kRle, kOs2};
  for (int iter = 0; iter < 600; ++iter) {
    const Sample &s = samples[rng() % samples.size()];
    std::vector<uint8_t> file = s.file;
    int edits = 1 + rng() % 4;
    for (int e = 0; e < edits; ++e) {
      // Mostly the headers; sometimes anywhere.
      size_t at = rng() % 3 ? rng() % std::min<size_t>(file.size(), 80) : rng() % file.size();
      file[at] = rng() % 4 == 0 ? static_cast<uint8_t>(file[at] ^ (1u << (rng() % 8)))
                                : static_cast<uint8_t>(rng());
    }
    if (rng() % 4 == 0) file.resize(rng() % file.size());
    qvhost::Options o;
    o.imageType = rng() % 2 ? s.type : types[rng() % 3];
    o.flags = (rng() % 2 ? QV_FLAG_TOP_DOWN : 0) | (rng() % 2 ? QV_FLAG_HEADER : 0) |
              (rng() % 3 == 0 ? QV_FLAG_BATCH : 0);
    o.rowsPerBatch = rng() % 5;
    o.outQueue = 64 + rng() % 4096;
    o.outputLimit = 64u << 20;
    o.eventLimit = 0;
    SCOPED_TRACE(iter);
    qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(r.response == ResponseDone || r.response == ResponseError);
    if (iter % 3 == 0 && (r.ok() || !(o.flags & QV_FLAG_TOP_DOWN))) {
      // Tiny queues hold one row of the stride the (mutated) header states.
      uint32_t rows = r.header.biHeight < 0 ? 0u - static_cast<uint32_t>(r.header.biHeight)
                                            : static_cast<uint32_t>(r.header.biHeight);
      uint32_t stride = rows && r.header.biSizeImage ? r.header.biSizeImage / rows : 64;
      if (stride == 0 || stride > (1u << 20)) stride = 64;
      EXPECT_EQ(qvtest::CheckStress(file, o, r, stride), "");
    } else if (iter % 3 == 0) {
      qvhost::Options tiny = o;
      tiny.inQueue = 5;
      tiny.chunkSeed = 11;
      EXPECT_EQ(qvhost::Decode(file.data(), file.size(), tiny).status, r.status);
    }
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

}  // namespace
