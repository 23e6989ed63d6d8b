// GIF reader: every interlace delivery against a model of its images, the
// output orders and queue paths, extensions, transparency and overlay, and
// the refusals. Files are built in memory with the test encoder.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "gif_encoder.h"
#include "test_support.h"

namespace {

using gifenc::GifImage;
using Rows = std::vector<std::vector<uint8_t>>;

constexpr uint32_t kGifu = QV_FOURCC('G', 'I', 'F', 'u');

GifImage Sample(uint16_t w, uint16_t h, bool interlaced, uint32_t seed = 1) {
  GifImage g;
  g.width = w;
  g.height = h;
  g.globalBits = 4;
  g.interlaced = interlaced;
  g.pixels.resize(static_cast<size_t>(w) * h);
  for (size_t i = 0; i < g.pixels.size(); ++i)
    g.pixels[i] = static_cast<uint8_t>((i / w * 7 + i % w * 3 + seed + (i * seed) % 5) % 16);
  return g;
}

uint32_t Stride(const GifImage &g) { return (g.width + 3u) & ~3u; }

std::vector<uint8_t> SourceRow(const GifImage &g, uint32_t r) {
  std::vector<uint8_t> row(Stride(g), 0);
  memcpy(row.data(), g.pixels.data() + static_cast<size_t>(r) * g.width, g.width);
  return row;
}

// The colour table the reader delivers: the local table, else the global one.
std::vector<uint8_t> ColourTable(const GifImage &g) {
  std::vector<uint8_t> raw, out;
  int bits = g.localBits ? g.localBits : g.globalBits;
  gifenc::Table(raw, bits, g.localBits ? 7 : 1);
  for (size_t i = 0; i < raw.size(); i += 3) out.insert(out.end(), {raw[i + 2], raw[i + 1], raw[i], 0});
  return out;
}

// An image as the host receives it: header and colour table when asked,
// then the rows in the order Flags bit 1 asks.
std::vector<uint8_t> Serialise(const GifImage &g, const Rows &rows, uint32_t flags) {
  std::vector<uint8_t> out;
  if (flags & QV_FLAG_HEADER) {
    std::vector<uint8_t> table = ColourTable(g);
    qvtest::Put32(out, 40);
    qvtest::Put32(out, g.width);
    qvtest::Put32(out, static_cast<uint32_t>(rows.size()));
    qvtest::Put16(out, 1);
    qvtest::Put16(out, 8);
    qvtest::Put32(out, 0);
    qvtest::Put32(out, g.height * Stride(g));
    qvtest::Put32(out, 0);
    qvtest::Put32(out, 0);
    qvtest::Put32(out, static_cast<uint32_t>(table.size() / 4));
    qvtest::Put32(out, static_cast<uint32_t>(table.size() / 4));
    out.insert(out.end(), table.begin(), table.end());
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto &row = rows[(flags & QV_FLAG_TOP_DOWN) ? i : rows.size() - 1 - i];
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

const uint32_t kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};

// The images each InterlaceMode delivers, built from their definitions: the
// pass images, then the final image.
std::vector<Rows> ModelImages(const GifImage &g, uint32_t mode) {
  const uint32_t h = g.height;
  Rows all;
  for (uint32_t r = 0; r < h; ++r) all.push_back(SourceRow(g, r));
  if (!g.interlaced || mode == 2) return {all};
  std::vector<Rows> images;
  std::vector<uint8_t> last(Stride(g), 0);  // the row buffer: the last row decoded
  auto stretched = [&](int p) {
    Rows img;
    for (uint32_t r = kStart[p]; r < h; r += kStep[p]) {
      last = all[r];
      for (uint32_t j = 0; j < kStep[p] && img.size() < h; ++j) img.push_back(last);
    }
    while (img.size() < h) img.push_back(last);
    return img;
  };
  if (mode == 0) {
    for (int p : {0, 2, 3}) {
      Rows img;
      for (uint32_t r = kStart[p]; r < h; r += kStep[p]) img.push_back(all[r]);
      images.push_back(img);
    }
  } else if (mode == 1 || mode == 4) {
    for (int p = 0; p < 4; ++p) {
      if (p == 1) {
        for (uint32_t r = kStart[1]; r < h; r += kStep[1]) last = all[r];
        continue;
      }
      images.push_back(stretched(p));
    }
  } else {  // 3, 5: refined in place
    Rows img = stretched(0);
    for (int p = 1; p < 4; ++p) {
      images.push_back(img);
      for (uint32_t r = kStart[p]; r < h; r += kStep[p]) img[r] = all[r];
    }
  }
  images.push_back(all);
  return images;
}

std::string Describe(uint32_t h, uint32_t mode, uint32_t flags, size_t outQueue, bool whole) {
  return "height " + std::to_string(h) + " mode " + std::to_string(mode) + " flags " +
         std::to_string(flags) + " out queue " + std::to_string(outQueue) + (whole ? " whole" : "");
}

// Every mode, height, row order, header choice and queue path against the model.
TEST(Gif, InterlaceModesDeliverTheirImages) {
  const uint32_t flagSets[] = {0, QV_FLAG_TOP_DOWN, QV_FLAG_HEADER, QV_FLAG_TOP_DOWN | QV_FLAG_HEADER,
                               QV_FLAG_TOP_DOWN | QV_FLAG_BATCH, QV_FLAG_BATCH | QV_FLAG_HEADER};
  for (uint16_t h : {1, 2, 3, 4, 5, 8, 9, 10, 17}) {
    for (uint16_t w : {1, 6}) {
      GifImage g = Sample(w, h, true, h + w);
      std::vector<uint8_t> file = gifenc::MakeGif(g);
      for (uint32_t mode = 0; mode <= 5; ++mode) {
        std::vector<Rows> model = ModelImages(g, mode);
        for (uint32_t flags : flagSets) {
          // Large queues (rows placed inside the queue), a queue of two rows
          // (rows placed by output seeks), whole input (re-read in the queue).
          for (int q = 0; q < 3; ++q) {
            qvhost::Options o = qvtest::ClassicOptions();
            o.imageType = kGifu;
            o.flags = flags;
            o.rowsPerBatch = 3;
            o.interlaceMode = mode;
            o.outQueue = q == 1 ? 2 * Stride(g) + 1 : 65536;
            o.inQueue = q == 1 ? 7 : 65536;
            o.wholeInput = q == 2;
            SCOPED_TRACE(Describe(h, mode, flags, o.outQueue, o.wholeInput) + " width " +
                         std::to_string(w));
            qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
            ASSERT_TRUE(r.ok()) << r.status;
            ASSERT_EQ(r.passImages.size() + 1, model.size());
            for (size_t k = 0; k < r.passImages.size(); ++k) {
              const qvhost::PassImage &img = r.passImages[k];
              EXPECT_EQ(img.flags & QV_FLAG_FINAL_IMAGE, 0u);
              EXPECT_EQ(static_cast<size_t>(img.header.biHeight), model[k].size()) << "image " << k;
              EXPECT_EQ(img.output, Serialise(g, model[k], flags)) << "image " << k;
            }
            EXPECT_NE(r.flags & QV_FLAG_FINAL_IMAGE, 0u);
            EXPECT_EQ(r.header.biHeight, h);
            EXPECT_EQ(r.output, Serialise(g, model.back(), flags));
          }
        }
      }
    }
  }
}

TEST(Gif, PassImageHeightsOfTheExamples) {
  // Height 10 in mode 0: pass images of 2, 2 and 5 rows, then 10.
  GifImage g = Sample(3, 10, true);
  std::vector<uint8_t> file = gifenc::MakeGif(g);
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = QV_FOURCC('G', 'I', 'F', 'I');
  qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.passImages.size(), 3u);
  EXPECT_EQ(r.passImages[0].header.biHeight, 2);
  EXPECT_EQ(r.passImages[1].header.biHeight, 2);
  EXPECT_EQ(r.passImages[2].header.biHeight, 5);
  EXPECT_EQ(r.header.biHeight, 10);
  // Height 3 in mode 1: row 0 three times; row 2 three times; row 1 three times.
  g = Sample(4, 3, true);
  file = gifenc::MakeGif(g);
  o.interlaceMode = 1;
  o.flags = QV_FLAG_TOP_DOWN;
  r = qvhost::Decode(file.data(), file.size(), o);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.passImages.size(), 3u);
  const int rowOf[3] = {0, 2, 1};
  for (int k = 0; k < 3; ++k) {
    std::vector<uint8_t> want;
    for (int i = 0; i < 3; ++i) want.insert(want.end(), &g.pixels[rowOf[k] * 4], &g.pixels[rowOf[k] * 4 + 4]);
    EXPECT_EQ(r.passImages[k].output, want) << "pass image " << k;
  }
}

// Row seeks of the final image count from the bytes actually put: 0 without
// the header, 40 + 4 x colours with it.
TEST(Gif, FinalImageSeeksCountFromTheBytesPut) {
  GifImage g = Sample(5, 6, true);
  std::vector<uint8_t> file = gifenc::MakeGif(g);
  for (uint32_t flags : {0u, unsigned{QV_FLAG_HEADER}}) {
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = kGifu;
    o.interlaceMode = 2;
    o.flags = QV_FLAG_TOP_DOWN | flags;
    o.outQueue = 3 * 8 + 1;  // too small for the image: rows go by output seeks
    o.test.eventLimit = 100000;
    qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(r.ok());
    uint32_t base = flags ? 40 + 4 * 16 : 0;
    std::vector<uint32_t> seeks;
    for (const qvhost::Event &e : r.events)
      if (e.response == ResponseSeek) seeks.push_back(e.seekTarget);
    // Passes give rows 0, 4, 2, 1, 3, 5.
    std::vector<uint32_t> want;
    for (uint32_t row : {0, 4, 2, 1, 3, 5}) want.push_back(QV_SEEK_OUTPUT + base + row * 8);
    EXPECT_EQ(seeks, want);
    EXPECT_EQ(r.output, Serialise(g, ModelImages(g, 2).back(), o.flags));
  }
}

TEST(Gif, NonInterlacedImagesInEveryOrder) {
  // Widths that need padding, local against global tables, minimum code sizes.
  struct Case {
    uint16_t w, h;
    int global, local, minCode;
  };
  const Case cases[] = {{1, 1, 1, 0, 0}, {3, 7, 4, 0, 0}, {5, 4, 2, 3, 0},
                        {33, 9, 0, 8, 0}, {17, 3, 4, 0, 8}, {64, 40, 8, 0, 11}};
  for (const Case &c : cases) {
    GifImage g = Sample(c.w, c.h, false, c.w);
    g.globalBits = c.global;
    g.localBits = c.local;
    g.minCodeSize = c.minCode;
    int bits = c.local ? c.local : c.global ? c.global : 8;
    for (auto &p : g.pixels) p &= (1 << bits) - 1;  // indices inside the table
    std::vector<uint8_t> file = gifenc::MakeGif(g);
    for (uint32_t flags : {0u, unsigned{QV_FLAG_TOP_DOWN}, unsigned{QV_FLAG_HEADER},
                           unsigned{QV_FLAG_TOP_DOWN | QV_FLAG_HEADER | QV_FLAG_BATCH}}) {
      SCOPED_TRACE("width " + std::to_string(c.w) + " flags " + std::to_string(flags));
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = QV_FOURCC('G', 'I', 'F', 'N');
      o.flags = flags;
      o.rowsPerBatch = 2;
      o.interlaceMode = 3;  // ignored for a non-interlaced image
      qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_TRUE(r.passImages.empty());
      EXPECT_EQ(r.output, Serialise(g, ModelImages(g, 0).back(), flags));
      std::vector<uint8_t> table = ColourTable(g);
      EXPECT_EQ(r.header.biClrUsed, table.size() / 4);
      EXPECT_EQ(memcmp(r.palette, table.data(), table.size()), 0);
      if (flags & QV_FLAG_BATCH) {
        EXPECT_EQ(r.counts[ResponseRowsReady], c.h / 2u);
      }
      // The same bytes through tiny queues, random chunking and whole input.
      EXPECT_EQ(qvtest::CheckStress(file, o, r, Stride(g)), "");
    }
  }
}

TEST(Gif, StressGivesIdenticalOutputInEveryMode) {
  GifImage g = Sample(37, 29, true, 5);
  g.lzw.maxCodesBeforeClear = 50;
  std::vector<uint8_t> file = gifenc::MakeGif(g);
  for (uint32_t mode = 0; mode <= 5; ++mode)
    for (uint32_t flags : {0u, unsigned{QV_FLAG_TOP_DOWN | QV_FLAG_HEADER},
                           unsigned{QV_FLAG_TOP_DOWN | QV_FLAG_BATCH}}) {
      SCOPED_TRACE(Describe(29, mode, flags, 65536, false));
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = kGifu;
      o.flags = flags;
      o.interlaceMode = mode;
      qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(qvtest::CheckStress(file, o, r, Stride(g)), "");
    }
}

std::vector<uint8_t> Extension(uint8_t label, std::vector<uint8_t> first,
                               std::vector<std::vector<uint8_t>> blocks = {}) {
  std::vector<uint8_t> e = {0x21, label, static_cast<uint8_t>(first.size())};
  e.insert(e.end(), first.begin(), first.end());
  if (first.empty()) return e;  // the count of 0 was the terminator
  for (auto &b : blocks) {
    e.push_back(static_cast<uint8_t>(b.size()));
    e.insert(e.end(), b.begin(), b.end());
  }
  e.push_back(0);
  return e;
}

// What the ExtraBuffer record of an extension holds.
std::vector<uint8_t> RecordOf(const std::vector<uint8_t> &e) {
  if (e.size() == 3) return {e[0], e[1], 0};  // no blocks: just the terminator
  std::vector<uint8_t> r = {e[0], e[1]};
  r.insert(r.end(), e.begin() + 3, e.end());  // all but the first count byte
  return r;
}

TEST(Gif, ExtensionsAndGraphicControlBlocks) {
  struct Case {
    const char *name;
    std::vector<std::vector<uint8_t>> extensions;
    bool transparent;
    uint8_t index;
  };
  const std::vector<uint8_t> app = Extension(0xFF, {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'},
                                             {{1, 0, 0}});
  const std::vector<Case> cases = {
      {"plain", {Extension(0xF9, {1, 0, 0, 5})}, true, 5},
      {"flag clear", {Extension(0xF9, {0, 0, 0, 5})}, false, 0},
      // Each block with the flag overwrites the index.
      {"two", {Extension(0xF9, {1, 0, 0, 5}), app, Extension(0xF9, {1, 9, 9, 7})}, true, 7},
      // Count bytes other than 4: the bytes the file holds are read; the first
      // 4 are used when there are at least 4.
      {"short", {Extension(0xF9, {1, 0, 2}), Extension(0xFE, {'h', 'i'})}, false, 0},
      {"long", {Extension(0xF9, {1, 0, 0, 6, 0xAA, 0xBB})}, true, 6},
      {"with sub-blocks", {Extension(0xF9, {1, 0, 0, 2}, {{1, 2, 3}, {4}})}, true, 2},
      // A comment whose first count is the terminator.
      {"empty comment", {Extension(0xFE, {}), Extension(0x01, std::vector<uint8_t>(12, 1), {{'x'}})}, false, 0},
  };
  for (const Case &c : cases) {
    GifImage g = Sample(9, 10, true, 3);
    g.extensions = c.extensions;
    std::vector<uint8_t> file = gifenc::MakeGif(g);
    // With and without an ExtraBuffer, one that must grow, and the image data
    // re-read (mode 0) by input seek and inside the queue: the image-data
    // offset must count every extension byte.
    for (int v = 0; v < 4; ++v) {
      SCOPED_TRACE(std::string(c.name) + " variant " + std::to_string(v));
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = kGifu;
      o.extra = v != 1;
      o.extraInitial = v == 2 ? 1 : 64;
      o.wholeInput = v == 3;
      o.inQueue = 11;
      qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(r.output, Serialise(g, ModelImages(g, 0).back(), 0));
      EXPECT_EQ((r.flags & QV_FLAG_TRANSPARENT) != 0, c.transparent);
      if (c.transparent) {
        EXPECT_EQ(r.transparentIndex, c.index);
      }
      if (v == 1) {
        EXPECT_TRUE(r.extras.empty());
        continue;
      }
      ASSERT_EQ(r.extras.size(), c.extensions.size());
      for (size_t k = 0; k < r.extras.size(); ++k) {
        EXPECT_EQ(r.extras[k].kind, 0x3001u);
        EXPECT_EQ(r.extras[k].data, RecordOf(c.extensions[k])) << "record " << k;
      }
    }
  }
}

TEST(Gif, TransparentOverlayKeepsTheHostsBytes) {
  const uint8_t t = 3, fill = 0xEE;
  for (bool interlaced : {false, true})
    for (uint32_t flags : {0u, unsigned{QV_FLAG_TOP_DOWN}, unsigned{QV_FLAG_HEADER},
                           unsigned{QV_FLAG_TOP_DOWN | QV_FLAG_HEADER | QV_FLAG_BATCH}}) {
      GifImage g = Sample(7, 11, interlaced, 2);
      g.extensions = {Extension(0xF9, {1, 0, 0, t})};
      std::vector<uint8_t> file = gifenc::MakeGif(g);
      SCOPED_TRACE("interlaced " + std::to_string(interlaced) + " flags " + std::to_string(flags));
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = kGifu;
      o.flags = flags | QV_FLAG_OVERLAY;
      o.rowsPerBatch = 4;
      o.interlaceMode = 2;
      o.outputFill = fill;
      qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
      ASSERT_TRUE(r.ok()) << r.status;
      std::vector<uint8_t> want = Serialise(g, ModelImages(g, 2).back(), flags);
      size_t h0 = (flags & QV_FLAG_HEADER) ? 40 + 64 : 0;
      size_t kept = 0;
      for (size_t i = h0; i < want.size(); ++i)
        if (want[i] == t) want[i] = fill, ++kept;
      EXPECT_GT(kept, 0u);
      EXPECT_EQ(r.output, want);
    }
  // A row that cannot lie inside the storage is refused.
  GifImage g = Sample(7, 11, false, 2);
  std::vector<uint8_t> file = gifenc::MakeGif(g);
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = kGifu;
  o.flags = QV_FLAG_OVERLAY;
  o.outQueue = 40;
  EXPECT_EQ(qvhost::Decode(file.data(), file.size(), o).status, QV_ERR_BAD_OPTION);
}

TEST(Gif, DefaultPaletteWithoutColourTables) {
  GifImage g = Sample(4, 2, false);
  g.globalBits = 0;
  g.minCodeSize = 8;
  std::vector<uint8_t> file = gifenc::MakeGif(g);
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = kGifu;
  o.flags = QV_FLAG_HEADER;
  qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.header.biClrUsed, 256u);
  EXPECT_EQ(r.output.size(), 1064u + 2 * 4);
  struct Entry {
    int i;
    uint8_t red, green, blue;
  };
  for (Entry e : {Entry{1, 0xC0, 0, 0}, Entry{9, 0xA4, 0xC8, 0xF0}, Entry{39, 0xF3, 0xAB, 0xAD},
                  Entry{197, 0x30, 0x30, 0x30}, Entry{246, 0xFF, 0xFB, 0xF0}, Entry{255, 0xFF, 0xFF, 0xFF}}) {
    EXPECT_EQ(r.palette[e.i].red, e.red) << e.i;
    EXPECT_EQ(r.palette[e.i].green, e.green) << e.i;
    EXPECT_EQ(r.palette[e.i].blue, e.blue) << e.i;
    EXPECT_EQ(r.output[40 + 4 * e.i + 2], e.red) << e.i;
  }
  EXPECT_EQ(r.flags & QV_FLAG_GREY, 0u);
}

TEST(Gif, Refusals) {
  auto file = [](auto edit) {
    GifImage g = Sample(6, 5, false);
    edit(g);
    return gifenc::MakeGif(g);
  };
  std::vector<uint8_t> plain = file([](GifImage &) {});
  std::vector<uint8_t> interlaced = file([](GifImage &g) { g.interlaced = true; });
  std::vector<uint8_t> badSig = plain;
  badSig[4] = '8';
  std::vector<uint8_t> trailer(plain.begin(), plain.begin() + 13 + 48);
  trailer.push_back(0x3B);
  std::vector<uint8_t> unknown = file([](GifImage &g) { g.extensions = {Extension(0x99, {1})}; });
  std::vector<uint8_t> wideCodes = plain;
  wideCodes[13 + 48 + 10] = 12;  // minimum code size 12
  // Minimum code size 2 (clear 4): a code after the clear that names no entry.
  std::vector<uint8_t> unknownCode(plain.begin(), plain.begin() + 13 + 48 + 10);
  for (uint8_t b : {2, 1, 4 | 7 << 3, 0, 0x3B}) unknownCode.push_back(b);
  struct Case {
    const char *name;
    const std::vector<uint8_t> &data;
    uint32_t type;
    size_t outQueue;
    int32_t status;
  };
  const Case cases[] = {
      {"signature", badSig, kGifu, 65536, QV_ERR_GIF_SIGNATURE},
      {"trailer before the image", trailer, kGifu, 65536, QV_ERR_GIF_BLOCK},
      {"GIFN with an interlaced image", interlaced, QV_FOURCC('G', 'I', 'F', 'N'), 65536, QV_ERR_GIF_INTERLACE},
      {"GIFI with a plain image", plain, QV_FOURCC('G', 'I', 'F', 'I'), 65536, QV_ERR_GIF_INTERLACE},
      {"unknown extension", unknown, kGifu, 65536, QV_ERR_GIF_EXTENSION},
      {"minimum code size 12", wideCodes, kGifu, 65536, QV_ERR_LZW},
      {"code naming no entry", unknownCode, kGifu, 65536, QV_ERR_LZW},
      {"bottom-up with a queue of one row", plain, kGifu, 8, QV_ERR_FLIP_ROOM},
      {"bottom-up with a row and a byte", plain, kGifu, 9, QV_OK},
  };
  for (const Case &c : cases) {
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = c.type;
    o.outQueue = c.outQueue;
    EXPECT_EQ(qvhost::Decode(c.data.data(), c.data.size(), o).status, c.status) << c.name;
  }
}

TEST(Gif, WidestCorpusImageWithARowSizedQueue) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  std::string name = "gif/pygif-suite/max-width.gif";
  std::vector<uint8_t> data = qvtest::ReadFileBytes(dir + "/" + name);
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = kGifu;
  o.outQueue = 65537;
  qvhost::Result r = qvhost::Decode(data.data(), data.size(), o);
  ASSERT_TRUE(r.ok()) << r.status;
  qvhost::Pixels ref, got;
  std::string err;
  ASSERT_TRUE(qvtest::ReadPngRgb(dir + "/reference/" + name + ".png", &ref, &err)) << err;
  ASSERT_TRUE(qvhost::ResultToRgb(r, o.flags, &got, &err)) << err;
  EXPECT_EQ(got.width, ref.width);
  EXPECT_EQ(got.rgb, ref.rgb);
}

}  // namespace
