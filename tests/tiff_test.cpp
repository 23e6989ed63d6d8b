// The TIFF reader on files built here: every layout and compression against
// the bitmap its pixels must give, under the stress configurations; the
// refusals; descriptive-tag records; batches; raw fax headers.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tiff_builder.h"

namespace {

using tiffbuild::Page;
using tiffbuild::Tag;

constexpr uint32_t kTif = QV_FOURCC('T', 'I', 'F', 'u');

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    // Runs and noise, so PackBits and LZW meet both.
    v[i] = (i / 7) % 3 ? static_cast<uint8_t>(i / 21 * seed) : static_cast<uint8_t>(x >> 16);
  }
  return v;
}

Page MakePage(uint32_t w, uint32_t h, uint16_t samples, uint16_t bits, uint16_t photometric,
              uint16_t compression, uint32_t seed) {
  Page p;
  p.width = w, p.height = h, p.samples = samples, p.bits = bits, p.photometric = photometric;
  p.compression = compression;
  p.rowsPerStrip = 3;
  p.pixels = Pattern(size_t{tiffbuild::RowBytes(p)} * h, seed);
  if (photometric == 3)
    for (uint32_t i = 0; i < 3u << bits; ++i) p.colorMap.push_back(static_cast<uint16_t>(i * 40503u));
  return p;
}

// The rows the bitmap must hold, in delivery order: the page's rows with red
// and blue exchanged for RGB, 16-bit pixels of a big-endian file in the
// bitmap's little-endian order, each padded to 4 bytes.
std::vector<uint8_t> ExpectedRows(const Page &p, bool bottomFirst, bool bigEndian = false) {
  uint32_t rb = tiffbuild::RowBytes(p), stride = (rb + 3) / 4 * 4;
  std::vector<uint8_t> out;
  for (uint32_t k = 0; k < p.height; ++k) {
    uint32_t y = bottomFirst ? p.height - 1 - k : k;
    std::vector<uint8_t> row(p.pixels.begin() + size_t{y} * rb, p.pixels.begin() + size_t{y + 1} * rb);
    if (p.photometric == 2 && p.samples >= 3)
      for (uint32_t x = 0; x < p.width; ++x) std::swap(row[x * p.samples], row[x * p.samples + 2]);
    if (p.bits == 16 && bigEndian)
      for (uint32_t x = 0; x < p.width; ++x) std::swap(row[2 * x], row[2 * x + 1]);
    row.resize(stride);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// The classic reader's options (the host library decodes extended by
// default; tiff_extended_test covers that).
qvhost::Options Classic() {
  qvhost::Options o;
  o.extended = false;
  return o;
}

// Decode as TIFF; o keeps the image type for later stress runs.
qvhost::Result DecodeTiff(const std::vector<uint8_t> &file, qvhost::Options &o) {
  o.imageType = kTif;
  return qvhost::Decode(file.data(), file.size(), o);
}
qvhost::Result DecodeTiff(const std::vector<uint8_t> &file) {
  qvhost::Options o = Classic();
  return DecodeTiff(file, o);
}

std::string Name(const Page &p) {
  return std::to_string(p.samples) + "x" + std::to_string(p.bits) + " ph" + std::to_string(p.photometric) +
         " c" + std::to_string(p.compression) + " pred" + std::to_string(p.predictor);
}

// Every supported layout, in both byte orders, with the directory before or
// after the strips, both orientations and both row orders: the rows are the
// page's rows, and tiny queues, odd sizes, random chunking and whole-input
// mode give the same bytes.
TEST(TiffReader, LayoutsDecodeToTheirPixels) {
  std::vector<Page> pages;
  const uint16_t kCompressions[] = {1, 32773, 5};
  for (uint16_t c : kCompressions) {
    pages.push_back(MakePage(37, 11, 1, 8, 1, c, 1));
    pages.push_back(MakePage(29, 9, 1, 4, 0, c, 2));
    pages.push_back(MakePage(45, 10, 1, 1, 0, c, 3));
    pages.push_back(MakePage(19, 7, 1, 8, 3, c, 4));
    pages.push_back(MakePage(23, 8, 3, 8, 2, c, 5));
    pages.push_back(MakePage(13, 6, 4, 8, 5, c, 6));
    pages.push_back(MakePage(17, 5, 4, 8, 2, c, 7));
    pages.push_back(MakePage(21, 7, 1, 16, 2, c, 8));
  }
  // More strips than the reader keeps in memory: the lists are read again
  // from the file as the rows reach them.
  Page tall = MakePage(5, 2600, 1, 8, 1, 32773, 11);
  tall.rowsPerStrip = 1;
  pages.push_back(tall);
  for (uint16_t depth : {8, 24, 32}) {
    Page p = MakePage(31, 9, static_cast<uint16_t>(depth / 8), 8, depth == 8 ? 1 : 2, 5, depth);
    p.predictor = 2;
    pages.push_back(p);
  }
  for (const Page &base : pages) {
    for (int variant = 0; variant < 4; ++variant) {
      Page p = base;
      bool big = variant & 1, dirFirst = variant & 2;
      if (variant == 3) p.tags.push_back({274, tiffbuild::kShort, {4}});  // bottom row first in the file
      std::vector<uint8_t> file = tiffbuild::Writer(big).Build({p}, dirFirst);
      SCOPED_TRACE(Name(p) + (big ? " MM" : " II") + (dirFirst ? " directory first" : ""));
      for (uint32_t flags : {0u, QV_FLAG_TOP_DOWN, QV_FLAG_HEADER}) {
        qvhost::Options o = Classic();
        o.flags = flags;
        qvhost::Result r = DecodeTiff(file, o);
        ASSERT_TRUE(r.ok()) << r.status;
        // Rows leave in file order unless the file's order and the one asked
        // for differ (Orientation 4 stores the bottom row first).
        bool fileBottomUp = variant == 3, topDown = (flags & QV_FLAG_TOP_DOWN) != 0;
        std::vector<uint8_t> want = ExpectedRows(p, fileBottomUp == topDown, big);
        size_t head = (flags & QV_FLAG_HEADER) ? r.output.size() - want.size() : 0;
        ASSERT_EQ(r.output.size(), head + want.size());
        EXPECT_TRUE(memcmp(r.output.data() + head, want.data(), want.size()) == 0);
        EXPECT_EQ(r.header.biHeight, static_cast<int32_t>(p.height));
        EXPECT_EQ(r.fileCompression, p.compression);
        if (flags == QV_FLAG_HEADER) {
          EXPECT_EQ(memcmp(r.output.data(), &r.header, 40), 0);
          EXPECT_EQ(head, 40u + 4u * r.header.biClrUsed);
        }
        EXPECT_EQ(qvtest::CheckStress(file, o, r, (tiffbuild::RowBytes(p) + 3) / 4 * 4), "");
      }
    }
  }
}

TEST(TiffReader, PageSelection) {
  Page a = MakePage(10, 4, 1, 8, 1, 5, 1), b = MakePage(6, 3, 3, 8, 2, 32773, 2);
  std::vector<uint8_t> file = tiffbuild::Writer(true).Build({a, b});
  std::vector<uint8_t> firstRows = ExpectedRows(a, true);
  for (uint32_t page : {0u, 1u}) {
    qvhost::Options o = Classic();
    o.pageNumber = page;
    qvhost::Result r = DecodeTiff(file, o);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.output, firstRows);
  }
  qvhost::Options o = Classic();
  o.pageNumber = 2;
  qvhost::Result r = DecodeTiff(file, o);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.output, ExpectedRows(b, true));
  o.pageNumber = 3;
  EXPECT_EQ(DecodeTiff(file, o).status, QV_ERR_NO_PAGE);
  EXPECT_EQ(qvhost::CountTiffPages(file.data(), file.size()), 2);
  // A chain of directories that runs in a circle has no third page either.
  std::vector<uint8_t> loop = tiffbuild::Writer(false).Build({a});
  uint32_t ifd = loop[4] | loop[5] << 8 | loop[6] << 16 | loop[7] << 24;
  uint32_t count = loop[ifd] | loop[ifd + 1] << 8;
  memcpy(loop.data() + ifd + 2 + 12 * count, &ifd, 4);
  o.pageNumber = 1000000;
  EXPECT_EQ(DecodeTiff(loop, o).status, QV_ERR_NO_PAGE);
  EXPECT_EQ(qvhost::CountTiffPages(loop.data(), loop.size()), 1);
  // Two pages whose second links back to the first: two pages, counted once.
  std::vector<uint8_t> twoLoop = tiffbuild::Writer(false).Build({a, b});
  uint32_t first = twoLoop[4] | twoLoop[5] << 8 | twoLoop[6] << 16 | twoLoop[7] << 24;
  uint32_t second;
  memcpy(&second, twoLoop.data() + first + 2 + 12 * (twoLoop[first] | twoLoop[first + 1] << 8), 4);
  memcpy(twoLoop.data() + second + 2 + 12 * (twoLoop[second] | twoLoop[second + 1] << 8), &first, 4);
  EXPECT_EQ(qvhost::CountTiffPages(twoLoop.data(), twoLoop.size()), 2);
  // Five pages whose last links back to page k: pages 1 to 5 decode, and
  // every page after them is missing, as in a chain that ends, whatever k.
  std::vector<Page> five;
  for (uint32_t i = 0; i < 5; ++i) five.push_back(MakePage(3 + i, 2, 1, 8, 1, 1, i + 1));
  for (bool big : {false, true}) {
    std::vector<uint8_t> chain = tiffbuild::Writer(big).Build(five);
    auto get32 = [&](uint32_t at) {
      uint32_t v = 0;
      for (int i = 0; i < 4; ++i) v |= uint32_t{chain[at + i]} << (big ? 24 - 8 * i : 8 * i);
      return v;
    };
    std::vector<uint32_t> ifds{get32(4)};
    auto nextAt = [&](uint32_t ifd) { return ifd + 2 + 12 * (big ? chain[ifd] << 8 | chain[ifd + 1] : chain[ifd] | chain[ifd + 1] << 8); };
    while (ifds.size() < 5) ifds.push_back(get32(nextAt(ifds.back())));
    for (uint32_t k = 1; k <= 5; ++k) {
      std::vector<uint8_t> looped = chain;
      for (int i = 0; i < 4; ++i)
        looped[nextAt(ifds[4]) + i] = static_cast<uint8_t>(ifds[k - 1] >> (big ? 24 - 8 * i : 8 * i));
      EXPECT_EQ(qvhost::CountTiffPages(looped.data(), looped.size()), 5);
      for (uint32_t page = 1; page <= 13; ++page) {
        o.pageNumber = page;
        qvhost::Result r = DecodeTiff(looped, o);
        if (page <= 5) {
          EXPECT_TRUE(r.ok() && r.header.biWidth == static_cast<int32_t>(2 + page)) << k << " " << page;
        } else {
          EXPECT_EQ(r.status, QV_ERR_NO_PAGE) << "back to " << k << ", page " << page;
        }
      }
    }
  }
}

TEST(TiffReader, Refusals) {
  using tiffbuild::kLong;
  using tiffbuild::kShort;
  struct Case {
    const char *what;
    std::vector<Tag> tags;
    int32_t status;
    uint16_t samples = 1, bits = 8, photometric = 1, compression = 1;
  };
  const Case cases[] = {
      {"width absent (count 0)", {{256, kLong, {}, 0}}, QV_ERR_TIFF_NO_DIMENSIONS},
      {"height 0", {{257, kLong, {0}}}, QV_ERR_TIFF_NO_DIMENSIONS},
      {"photometric count 0", {{262, kShort, {}, 0}}, QV_ERR_TIFF_PHOTOMETRIC},
      {"strip offsets count 0", {{273, kLong, {}, 0}}, QV_ERR_TIFF_NO_STRIPS},
      {"photometric 6", {{262, kShort, {6}}}, QV_ERR_TIFF_PHOTOMETRIC},
      {"compression 7", {{259, kShort, {7}}}, QV_ERR_TIFF_COMPRESSION},
      {"tiles", {{322, kShort, {16}}}, QV_ERR_TIFF_TILES},
      {"extra samples", {{338, kShort, {1}}}, QV_ERR_TIFF_SAMPLES},
      {"signed samples", {{339, kShort, {2}}}, QV_ERR_TIFF_SAMPLE_FORMAT},
      {"SMinSampleValue", {{340, kShort, {0}}}, QV_ERR_TIFF_SAMPLE_FORMAT},
      {"JPEG tag", {{513, kLong, {0}}}, QV_ERR_TIFF_JPEG},
      {"YCbCr tag", {{530, kShort, {2, 2}}}, QV_ERR_TIFF_YCBCR},
      {"planar 2", {{284, kShort, {2}}}, QV_ERR_TIFF_PLANAR},
      {"scalar count 2", {{259, kShort, {1, 1}}}, QV_ERR_TIFF_COUNT},
      {"grey response unit count 2", {{290, kShort, {1, 1}}}, QV_ERR_TIFF_COUNT},
      {"rational scalar", {{278, tiffbuild::kRational, {1, 1}}}, QV_ERR_TIFF_VALUE_TYPE},
      {"array of type 13", {{273, 13, {0}}}, QV_ERR_TIFF_VALUE_TYPE},
      {"array of type 0, a billion values", {{258, 0, {}, 1u << 30}}, QV_ERR_TIFF_VALUE_TYPE},
      {"descriptive tag of type 13", {{269, 13, {0}}}, QV_ERR_TIFF_TAG_TYPE},
      {"count whose size passes 32 bits", {{273, kLong, {0}, 0x40000001}}, QV_ERR_TIFF_VALUE_TYPE},
      {"fill order 2 uncompressed", {{266, kShort, {2}}}, QV_ERR_TIFF_FILL_ORDER},
      {"predictor 2 uncompressed", {{317, kShort, {2}}}, QV_ERR_TIFF_PREDICTOR},
      {"predictor 3", {{317, kShort, {3}}}, QV_ERR_TIFF_PREDICTOR, 1, 8, 1, 5},
      {"predictor 2 at 4 bits", {{317, kShort, {2}}}, QV_ERR_TIFF_PREDICTOR, 1, 4, 1, 5},
      {"row of 2^30 bits", {{256, kLong, {1u << 27}}}, QV_ERR_BAD_HEADER},
      {"bitmap of 2^30 bytes", {{256, kLong, {1u << 16}}, {257, kLong, {1u << 14}}}, QV_ERR_BAD_HEADER},
      {"16-bit grey", {}, QV_ERR_TIFF_SAMPLES, 1, 16, 1},
      {"2 bits", {}, QV_ERR_TIFF_SAMPLES, 1, 2, 1},
      {"RGB of 16 bits", {}, QV_ERR_TIFF_SAMPLES, 3, 16, 2},
      {"2 samples", {}, QV_ERR_TIFF_SAMPLES_PER_PIXEL, 2, 8, 1},
      {"bits per sample differ", {{258, kShort, {8, 8, 4}}}, QV_ERR_TIFF_SAMPLES, 3, 8, 2},
      {"palette without ColorMap", {}, QV_ERR_TIFF_NO_COLORMAP, 1, 8, 3},
      {"ColorMap of the wrong size", {{320, kShort, {1, 2, 3}}}, QV_ERR_TIFF_COLORMAP_SIZE, 1, 8, 3},
      {"five rows in strips of 2, two strips", {{278, kLong, {2}}, {273, kLong, {8, 8}}, {279, kLong, {8, 8}}},
       QV_ERR_TIFF_STRIP_COUNT},
      {"LZW strip shorter than its rows", {{279, kLong, {6}}}, QV_ERR_TIFF_STRIP_ENDED, 1, 8, 1, 5},
      {"uncompressed strip shorter than its rows", {{279, kLong, {19}}}, QV_ERR_TIFF_STRIP_ENDED},
      {"PackBits strip shorter than its rows", {{279, kLong, {6}}}, QV_ERR_TIFF_STRIP_ENDED, 1, 8, 1, 32773},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Page p = MakePage(4, 5, c.samples, c.bits, c.photometric, c.compression, 3);
    if (c.photometric == 3) p.colorMap.clear();
    p.rowsPerStrip = 0;
    p.tags = c.tags;
    for (bool big : {false, true}) {
      qvhost::Result r = DecodeTiff(tiffbuild::Writer(big).Build({p}));
      EXPECT_EQ(r.status, c.status) << qvhost::StatusText(r.status);
    }
  }
  // What is accepted: SampleFormat 1 (unsigned, the default), RowsPerStrip 0
  // (one strip), T6Options ignored, a bilevel image without
  // PhotometricInterpretation (WhiteIsZero).
  for (Tag t : {Tag{339, kShort, {1}}, Tag{278, kLong, {0}}, Tag{293, kLong, {0}}, Tag{262, kShort, {}, 0}}) {
    Page p = MakePage(4, 5, 1, t.tag == 262 ? 1 : 8, 1, 5, 3);
    p.rowsPerStrip = 0;
    p.tags = {t};
    qvhost::Result r = DecodeTiff(tiffbuild::Writer(false).Build({p}));
    EXPECT_TRUE(r.ok()) << t.tag << ": " << r.status;
    EXPECT_EQ(r.output, ExpectedRows(p, true));
    if (t.tag == 262) {
      EXPECT_EQ(r.palette[0].red, 255);
    }
  }
  // Header faults.
  std::vector<uint8_t> file = tiffbuild::Writer(false).Build({MakePage(4, 5, 1, 8, 1, 1, 3)});
  std::vector<uint8_t> bad = file;
  bad[2] = 43;  // version 43
  EXPECT_EQ(DecodeTiff(bad).status, QV_ERR_BAD_HEADER);
  bad = file;
  bad[0] = 'X';
  EXPECT_EQ(DecodeTiff(bad).status, QV_ERR_BAD_HEADER);
  bad = file;
  memset(bad.data() + 4, 0, 4);  // no first directory
  EXPECT_EQ(DecodeTiff(bad).status, QV_ERR_NO_PAGE);
}

// PackBits: -128 is no operation, -3 repeats the next byte four times, and a
// packet running past the row end is cut there, the rest of it dropped.
TEST(TiffReader, PackBitsPackets) {
  Page p = MakePage(6, 2, 1, 8, 1, 32773, 1);
  p.strips = {{0x80, 0xFD, 0xAA, 0x01, 1, 2,         // row 0: AA AA AA AA 01 02
               0x07, 1, 2, 3, 4, 5, 6, 7, 8}};       // row 1: 1..6, then 7 and 8 dropped
  qvhost::Options o = Classic();
  o.flags = QV_FLAG_TOP_DOWN;
  qvhost::Result r = DecodeTiff(tiffbuild::Writer(false).Build({p}), o);
  ASSERT_TRUE(r.ok()) << r.status;
  std::vector<uint8_t> want = {0xAA, 0xAA, 0xAA, 0xAA, 1, 2, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0};
  EXPECT_EQ(r.output, want);
  // A replicate run past the row end, then the next row's packet.
  p.strips = {{0xF0, 9, 0x05, 1, 2, 3, 4, 5, 6}};
  r = DecodeTiff(tiffbuild::Writer(false).Build({p}), o);
  ASSERT_TRUE(r.ok()) << r.status;
  want = {9, 9, 9, 9, 9, 9, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0};
  EXPECT_EQ(r.output, want);
  // Rows in two strips, the first strip's last literal cut short by its
  // byte count: the bytes after the count are the next strip's, not its own.
  p.rowsPerStrip = 1;
  p.strips = {{0x05, 1, 2, 3, 4, 5}, {0x05, 6, 7, 8, 9, 10, 11}};
  r = DecodeTiff(tiffbuild::Writer(false).Build({p}), o);
  EXPECT_EQ(r.status, QV_ERR_TIFF_STRIP_ENDED);
  // A count of 0 sets no limit, as before.
  p.strips = {{0x05, 1, 2, 3, 4, 5, 6}, {0x05, 6, 7, 8, 9, 10, 11}};
  p.tags = {{279, tiffbuild::kLong, {0, 0}}};
  r = DecodeTiff(tiffbuild::Writer(false).Build({p}), o);
  ASSERT_TRUE(r.ok()) << r.status;
  want = {1, 2, 3, 4, 5, 6, 0, 0, 6, 7, 8, 9, 10, 11, 0, 0};
  EXPECT_EQ(r.output, want);
}

// Without StripByteCounts each strip runs to the next one (the last to the
// end of the file): files of many strips decode in every compression, also
// when the strips are stored in another order than the rows.
TEST(TiffReader, StripsWithoutByteCounts) {
  for (uint16_t c : {1, 32773, 5}) {
    Page p = MakePage(9, 10, 1, 8, 1, c, 5);
    p.omitByteCounts = true;
    std::vector<uint8_t> file = tiffbuild::Writer(false).Build({p});
    qvhost::Options o = Classic();
    qvhost::Result r = DecodeTiff(file, o);
    ASSERT_TRUE(r.ok()) << c << ": " << r.status;
    EXPECT_EQ(r.output, ExpectedRows(p, true)) << c;
    EXPECT_EQ(qvtest::CheckStress(file, o, r, 12), "") << c;
  }
}

const qvhost::ExtraRecord *FindRecord(const qvhost::Result &r, uint32_t tag) {
  for (const qvhost::ExtraRecord &e : r.extras)
    if (e.kind == 0x4000 + tag) return &e;
  return nullptr;
}

// Descriptive tags reach the ExtraBuffer as they stand in the file: field
// type, count, and the values in the file's byte order.
TEST(TiffReader, DescriptiveTagRecords) {
  Page p = MakePage(4, 2, 1, 8, 1, 1, 1);
  p.tags = {{269, tiffbuild::kAscii, {'p', 'a', 'g', 'e', ' ', '1', 0}},
            {282, tiffbuild::kRational, {300, 1}},
            {296, tiffbuild::kShort, {2}}};
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "MM" : "II");
    qvhost::Options o = Classic();
    o.extraInitial = 8;  // grown on ResponseNeedExtra
    qvhost::Result r = DecodeTiff(tiffbuild::Writer(big).Build({p}), o);
    ASSERT_TRUE(r.ok());
    EXPECT_GT(r.counts[ResponseNeedExtra], 0u);
    const qvhost::ExtraRecord *name = FindRecord(r, 269), *res = FindRecord(r, 282), *unit = FindRecord(r, 296);
    ASSERT_TRUE(name && res && unit);
    std::vector<uint8_t> nameWant = {2, 0, 7, 0, 0, 0, 'p', 'a', 'g', 'e', ' ', '1', 0};
    EXPECT_EQ(name->data, nameWant);
    std::vector<uint8_t> resWant = {5, 0, 1, 0, 0, 0};
    tiffbuild::Writer w(big);
    w.Put(resWant, 300, 4);
    w.Put(resWant, 1, 4);
    EXPECT_EQ(res->data, resWant);
    std::vector<uint8_t> unitWant = {3, 0, 1, 0, 0, 0};
    w.Put(unitWant, 2, 2);
    EXPECT_EQ(unit->data, unitWant);
    // A tag whose values run past the end of the file is dropped; the
    // others stay, and the image decodes.
    Page cut = p;
    cut.tags.push_back({270, tiffbuild::kAscii, {'x', 'y', 'z', 'w', 'v', 0}});
    std::vector<uint8_t> file = tiffbuild::Writer(big).Build({cut});
    for (size_t at = 0; at + 12 <= file.size(); ++at)
      if (file[at] == (big ? 1 : 14) && file[at + 1] == (big ? 14 : 1)) {  // tag 270's entry
        file.resize(file.size() + 8);
        uint32_t past = static_cast<uint32_t>(file.size() - 3);
        for (int i = 0; i < 4; ++i) file[at + 8 + i] = static_cast<uint8_t>(past >> (big ? 24 - 8 * i : 8 * i));
        break;
      }
    r = DecodeTiff(file, o);
    ASSERT_TRUE(r.ok()) << r.status;
    EXPECT_FALSE(FindRecord(r, 270));
    EXPECT_TRUE(FindRecord(r, 269) && FindRecord(r, 282));
    EXPECT_EQ(r.output, ExpectedRows(p, true));
    // No room offered: the tags are dropped and the image still decodes.
    o.extraLimit = 8;
    r = DecodeTiff(tiffbuild::Writer(big).Build({p}), o);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.extras.empty());
    EXPECT_EQ(r.output, ExpectedRows(p, true));
  }
}

// Batches: a host that drains at every ResponseRowsReady finds the rows of
// the batch there (in file order at once, flipped once their block is whole),
// and the bytes land where they belong.
TEST(TiffReader, BatchesHandRowsToADrainingHost) {
  Page p = MakePage(40, 23, 1, 8, 1, 5, 9);
  std::vector<uint8_t> file = tiffbuild::Writer(false).Build({p});
  for (uint32_t flags : {QV_FLAG_TOP_DOWN, 0u})
    for (size_t outQueue : {size_t{65536}, size_t{5 * 40 + 1}, size_t{45}}) {
      SCOPED_TRACE(std::to_string(flags) + " queue " + std::to_string(outQueue));
      qvhost::Options o = Classic();
      o.flags = flags | QV_FLAG_BATCH | QV_FLAG_HEADER;
      o.rowsPerBatch = 3;
      o.outQueue = outQueue;
      o.test.eventLimit = 100000;
      qvhost::Result r = DecodeTiff(file, o);
      ASSERT_TRUE(r.ok()) << r.status;
      std::vector<uint8_t> rows = ExpectedRows(p, !(flags & QV_FLAG_TOP_DOWN));
      ASSERT_GE(r.output.size(), rows.size());
      EXPECT_TRUE(std::equal(rows.begin(), rows.end(), r.output.end() - rows.size()));
      size_t batches = 0;
      for (const qvhost::Event &e : r.events)
        if (e.response == ResponseRowsReady) {
          ++batches;
          if (flags == QV_FLAG_TOP_DOWN && outQueue == 65536) {
            EXPECT_EQ(e.queued, (batches == 1 ? 40u + 1024u : 0u) + 3 * 40u);
          }
        }
      EXPECT_EQ(batches, 23u / 3);
      EXPECT_EQ(qvtest::CheckStress(file, o, r, 40), "");
    }
}

// A raw Group 3 stream: bits written most significant first.
struct Bits {
  std::vector<uint8_t> bytes;
  int used = 0;
  void Put(uint32_t code, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (used % 8 == 0) bytes.push_back(0);
      if (code >> i & 1) bytes.back() |= static_cast<uint8_t>(0x80 >> (used % 8));
      ++used;
    }
  }
};

// Three 12-pixel rows (white 12; white 4, black 3, white 5; white 12), then
// the end of the page. Codes: EOL 000000000001, white 12 001000, white 4
// 1011, black 3 10, white 5 1100.
std::vector<uint8_t> RawFaxPage() {
  Bits b;
  auto eol = [&] { b.Put(1, 12); };
  eol(), b.Put(0x08, 6);
  eol(), b.Put(0xB, 4), b.Put(2, 2), b.Put(0xC, 4);
  eol(), b.Put(0x08, 6);
  for (int i = 0; i < 6; ++i) eol();
  return b.bytes;
}

// Raw fax pages leave top row first, so a bottom-up bitmap states a negative
// height; the header written at the start is rewritten at the end, through
// the host when it has left the queue.
TEST(TiffReader, RawFaxHeaderTellsTheRowOrder) {
  std::vector<uint8_t> page = RawFaxPage();
  for (uint32_t flags : {0u, QV_FLAG_TOP_DOWN})
    for (size_t outQueue : {size_t{65536}, size_t{9}}) {
      qvhost::Options o = Classic();
      o.imageType = QV_FOURCC('G', '3', ' ', ' ');
      o.faxFillOrder = 1;
      o.flags = flags | QV_FLAG_HEADER;
      o.outQueue = outQueue;
      qvhost::Result r = qvhost::Decode(page.data(), page.size(), o);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(r.header.biWidth, 12);
      EXPECT_EQ(r.header.biHeight, flags ? 3 : -3);
      EXPECT_EQ(r.header.biSizeImage, 12u);
      ASSERT_EQ(r.output.size(), 40u + 8u + 12u);
      EXPECT_EQ(memcmp(r.output.data(), &r.header, 40), 0);
      const uint8_t rows[12] = {0, 0, 0, 0, 0x0E, 0, 0, 0, 0, 0, 0, 0};
      EXPECT_EQ(memcmp(r.output.data() + 48, rows, 12), 0);
    }
  // A page that ends before its first row.
  Bits b;
  for (int i = 0; i < 6; ++i) b.Put(1, 12);
  qvhost::Options o = Classic();
  o.imageType = QV_FOURCC('G', '3', ' ', ' ');
  o.faxFillOrder = 1;
  EXPECT_EQ(qvhost::Decode(b.bytes.data(), b.bytes.size(), o).status, QV_ERR_FAX_EMPTY_PAGE);
}

}  // namespace
