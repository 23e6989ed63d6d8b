// LZW decoder: both variants (GIF: LSB-first codes; TIFF: MSB-first with
// early change) against the test encoder, against LZW strips of real TIFF
// files, and on streams that must be refused without leaving the tables.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/lzw/lzw.h"
#include "gif_encoder.h"
#include "test_support.h"

namespace {

// Feeds a byte string to the decoder in pieces of at most `piece` bytes.
struct Feed {
  const std::vector<uint8_t> *data;
  size_t at = 0, piece = 255;
  int calls = 0;
};

uint32_t FeedSource(void *context, uint8_t *buffer) {
  Feed *f = static_cast<Feed *>(context);
  ++f->calls;
  size_t n = f->data->size() - f->at;
  if (n > f->piece) n = f->piece;
  memcpy(buffer, f->data->data() + f->at, n);
  f->at += n;
  return static_cast<uint32_t>(n);
}

struct Decoder {
  std::vector<uint8_t> storage = std::vector<uint8_t>(LzwStorageSize(12, 4096));
  Feed feed;
  LzwDecoder *d = nullptr;
  Decoder(const std::vector<uint8_t> &code, const gifenc::LzwOptions &o, size_t piece = 255) {
    feed.data = &code;
    feed.piece = piece;
    uint16_t clear = static_cast<uint16_t>(1u << (o.initialWidth - 1));
    uint8_t flags = (o.earlyChange ? LzwEarlyChange : 0) | (o.msbFirst ? LzwMsbFirst : 0);
    d = LzwInit(storage.data(), o.initialWidth, 12, clear, clear + 1, flags, FeedSource, &feed);
  }
};

gifenc::LzwOptions Gif(int minCodeSize) {
  gifenc::LzwOptions o;
  o.initialWidth = minCodeSize + 1;
  return o;
}

gifenc::LzwOptions Tiff() {
  gifenc::LzwOptions o;
  o.initialWidth = 9;
  o.earlyChange = true;
  o.msbFirst = true;
  return o;
}

std::vector<uint8_t> Pattern(const std::string &kind, size_t n, int alphabet, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  if (kind == "random") {
    for (auto &b : v) b = static_cast<uint8_t>(rng() % alphabet);
  } else if (kind == "runs") {  // long runs: codes equal to the next free code
    for (size_t i = 0; i < n;) {
      uint8_t b = static_cast<uint8_t>(rng() % alphabet);
      size_t len = 1 + rng() % 300;
      for (; len-- && i < n; ++i) v[i] = b;
    }
  } else {  // "mixed": repeated phrases with noise
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i % 97 < 60 ? i % 13 : rng()) % alphabet);
  }
  return v;
}

// Round trips over both variants, table states (clears, a full table kept
// without clearing, no leading clear) and read sizes that split strings.
TEST(Lzw, RoundTripsBothVariants) {
  struct Variant {
    const char *name;
    gifenc::LzwOptions o;
    int alphabet;
  };
  std::vector<Variant> variants = {{"gif m=2", Gif(2), 4},  {"gif m=4", Gif(4), 16},
                                   {"gif m=8", Gif(8), 256}, {"gif m=11", Gif(11), 256},
                                   {"tiff", Tiff(), 256}};
  for (const Variant &v : variants) {
    for (const char *kind : {"random", "runs", "mixed"}) {
      for (int table = 0; table < 4; ++table) {
        gifenc::LzwOptions o = v.o;
        if (table == 1) o.clearWhenFull = false;       // the full table stays in use
        if (table == 2) o.maxCodesBeforeClear = 300;   // frequent clear codes
        if (table == 3) o.clearAtStart = false;        // no clear code first
        std::vector<uint8_t> data = Pattern(kind, 200000, v.alphabet, 7);
        std::vector<uint8_t> code = gifenc::LzwEncode(data.data(), data.size(), o);
        for (size_t read : {size_t{1}, size_t{7}, size_t{1000}, data.size()}) {
          SCOPED_TRACE(std::string(v.name) + " " + kind + " table " + std::to_string(table) +
                       " reads of " + std::to_string(read));
          Decoder dec(code, o, read == 7 ? 3 : 255);
          ASSERT_NE(dec.d, nullptr);
          std::vector<uint8_t> got(data.size());
          for (size_t at = 0; at < got.size(); at += read) {
            size_t n = std::min(read, got.size() - at);
            ASSERT_EQ(LzwReadBytes(dec.d, got.data() + at, n), 1) << "at " << at;
          }
          ASSERT_EQ(got, data);
          // The end code follows.
          EXPECT_EQ(LzwNextByte(dec.d), LzwNoByte);
        }
      }
    }
  }
}

TEST(Lzw, FullTableKeepsTwelveBitCodesAndGrowsAtTheRightCodes) {
  // Widths at the moments the tables say: GIF widens when the next free code
  // reaches 2^width, TIFF one code earlier; both stop at 12 bits.
  for (bool tiff : {false, true}) {
    gifenc::LzwOptions o = tiff ? Tiff() : Gif(8);
    o.clearWhenFull = false;
    std::vector<uint8_t> data = Pattern("random", 60000, 256, 3);
    std::vector<uint8_t> code = gifenc::LzwEncode(data.data(), data.size(), o);
    Decoder dec(code, o);
    std::vector<int> widthAt(4097, 0);
    uint8_t b;
    for (size_t i = 0; i < data.size(); ++i) {
      ASSERT_EQ(LzwReadBytes(dec.d, &b, 1), 1);
      ASSERT_EQ(b, data[i]);
      widthAt[dec.d->NextFree] = dec.d->Width;
    }
    SCOPED_TRACE(tiff ? "tiff" : "gif");
    EXPECT_EQ(dec.d->NextFree, tiff ? 4095 : 4096);
    EXPECT_EQ(dec.d->Width, 12);
    if (tiff) {
      EXPECT_EQ(widthAt[510], 9);
      EXPECT_EQ(widthAt[511], 10);
      EXPECT_EQ(widthAt[1023], 11);
      EXPECT_EQ(widthAt[2047], 12);
    } else {
      EXPECT_EQ(widthAt[511], 9);
      EXPECT_EQ(widthAt[512], 10);
      EXPECT_EQ(widthAt[1024], 11);
      EXPECT_EQ(widthAt[2048], 12);
    }
  }
}

// Hand-made GIF streams with minimum code size 2: clear 4, end 5, first entry 6.
std::vector<uint8_t> Codes(const std::vector<std::pair<uint32_t, int>> &codes) {
  gifenc::BitWriter w(false);
  for (auto [c, width] : codes) w.Put(c, width);
  return w.Finish();
}

TEST(Lzw, HandMadeGifStreams) {
  struct Case {
    const char *name;
    std::vector<std::pair<uint32_t, int>> codes;
    size_t want;
    std::vector<uint8_t> bytes;  // expected output; empty when the read must fail
  };
  const std::vector<Case> cases = {
      // clear, clear, clear, then 1: the clears are skipped, 1 comes out directly
      {"clears", {{4, 3}, {4, 3}, {4, 3}, {1, 3}, {5, 3}}, 1, {1}},
      // 1, then 6 (the next free code): "1" then "1 1"
      {"next free code", {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, 3, {1, 1, 1}},
      // widening at next free code 8: after 1,2,3 (entries 6,7) the width is 4
      {"width 4 at 8", {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {6, 4}, {5, 4}}, 5, {1, 2, 3, 1, 2}},
      // a code above the next free code
      {"code beyond table", {{4, 3}, {1, 3}, {7, 3}}, 3, {}},
      // a code after a clear that names no entry
      {"unknown after clear", {{4, 3}, {6, 3}}, 1, {}},
      {"end after clear", {{4, 3}, {5, 3}}, 1, {}},
      {"end inside data", {{4, 3}, {1, 3}, {5, 3}, {1, 3}}, 2, {}},
      // no clear first: the first code is a root and adds no entry
      {"no clear first", {{2, 3}, {3, 3}, {6, 3}, {5, 3}}, 4, {2, 3, 2, 3}},
      {"no clear, first not a root", {{6, 3}}, 1, {}},
      {"input ends", {{4, 3}, {1, 3}}, 3, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> code = Codes(c.codes);
    Decoder dec(code, Gif(2));
    std::vector<uint8_t> got(c.want);
    int ok = LzwReadBytes(dec.d, got.data(), got.size());
    if (c.bytes.empty()) {
      EXPECT_EQ(ok, 0);
    } else {
      EXPECT_EQ(ok, 1);
      EXPECT_EQ(got, c.bytes);
    }
  }
}

TEST(Lzw, TiffCodeWithoutEntryAfterAFullTable) {
  // With early change the last code, 4095, never gets an entry. Once the
  // table is full it stands for the previous string and its first byte, every
  // time it comes, and must never unwind an entry that was not written.
  gifenc::BitWriter w(true);
  uint32_t width = 9, nextFree = 258;
  w.Put(256, 9);
  w.Put(0, 9);
  size_t zeros = 1;
  while (nextFree <= 4094) {  // "0" again and again: each adds an entry
    w.Put(0, static_cast<int>(width));
    ++zeros;
    ++nextFree;
    if (nextFree > (1u << width) - 2 && nextFree <= 4094) ++width;
  }
  for (int i = 0; i < 3; ++i) w.Put(4095, 12);
  w.Put(257, 12);
  std::vector<uint8_t> code = w.Finish();
  Decoder dec(code, Tiff());
  std::vector<uint8_t> got(zeros + 6, 1);
  ASSERT_EQ(LzwReadBytes(dec.d, got.data(), got.size()), 1);
  EXPECT_EQ(got, std::vector<uint8_t>(zeros + 6, 0));
  EXPECT_EQ(LzwNextByte(dec.d), LzwNoByte);
}

TEST(Lzw, InterfaceEdges) {
  std::vector<uint8_t> storage(LzwStorageSize(12, 255));
  EXPECT_EQ(LzwStorageSize(13, 255), 0u);
  // Widths beyond the table, clear codes the width cannot carry, odd end codes.
  EXPECT_EQ(LzwInit(storage.data(), 13, 12, 4096, 4097, 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(LzwInit(storage.data(), 3, 12, 8, 9, 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(LzwInit(storage.data(), 3, 12, 4, 6, 0, nullptr, nullptr), nullptr);
  LzwDecoder *d = LzwInit(storage.data(), 3, 12, 4, 5, 0, nullptr, nullptr);
  ASSERT_NE(d, nullptr);
  uint8_t b = 0;
  EXPECT_EQ(LzwReadBytes(d, &b, 0), 1);  // n = 0 reads nothing
  EXPECT_EQ(LzwReadCode(d), 5);          // no source: the end code
  EXPECT_EQ(LzwNextByte(d), LzwNoByte);
}

TEST(Lzw, ReinitialisedStorageDecodesTheSameStreamAgain) {
  // The GIF reader decodes the same image data twice in one storage block and
  // the TIFF reader starts every strip in it: leftovers must not matter.
  for (bool tiff : {false, true}) {
    gifenc::LzwOptions o = tiff ? Tiff() : Gif(8);
    std::vector<uint8_t> a = Pattern("mixed", 50000, 256, 1), b = Pattern("runs", 30000, 256, 2);
    std::vector<uint8_t> ca = gifenc::LzwEncode(a.data(), a.size(), o);
    o.clearAtStart = false;  // the second stream does not open with a clear code
    std::vector<uint8_t> cb = gifenc::LzwEncode(b.data(), b.size(), o);
    Decoder dec(ca, o);
    std::vector<uint8_t> got(a.size() - 5);  // stop inside a string
    ASSERT_EQ(LzwReadBytes(dec.d, got.data(), got.size()), 1);
    dec.feed = Feed{&cb, 0, 255, 0};
    uint8_t flags = tiff ? LzwEarlyChange | LzwMsbFirst : 0;
    LzwDecoder *d = LzwInit(dec.storage.data(), 9, 12, 256, 257, flags, FeedSource, &dec.feed);
    got.assign(b.size(), 0);
    ASSERT_EQ(LzwReadBytes(d, got.data(), got.size()), 1);
    EXPECT_EQ(got, b);
  }
}

// A minimal reader for baseline TIFF files with LZW strips: enough to take
// the strips of 8-bit grey or RGB files and compare them with their reference.
struct TiffStrips {
  uint32_t width = 0, height = 0, samples = 1, bits = 0, compression = 0, predictor = 1;
  uint32_t rowsPerStrip = 0xFFFFFFFF, planar = 1;
  std::vector<uint32_t> offsets, counts;
};

bool ParseTiff(const std::vector<uint8_t> &f, TiffStrips *t) {
  if (f.size() < 8) return false;
  bool be = f[0] == 'M';
  auto u16 = [&](size_t at) -> uint32_t {
    return at + 2 > f.size() ? 0 : be ? (f[at] << 8 | f[at + 1]) : (f[at] | f[at + 1] << 8);
  };
  auto u32 = [&](size_t at) -> uint32_t {
    return at + 4 > f.size() ? 0 : be ? (u16(at) << 16 | u16(at + 2)) : (u16(at) | u16(at + 2) << 16);
  };
  size_t ifd = u32(4);
  uint32_t n = u16(ifd);
  for (uint32_t i = 0; i < n; ++i) {
    size_t e = ifd + 2 + 12 * i;
    uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
    auto value = [&](uint32_t k) -> uint32_t {
      size_t size = type == 3 ? 2 : 4;
      size_t at = count * size <= 4 ? e + 8 : u32(e + 8);
      return type == 3 ? u16(at + k * 2) : u32(at + k * 4);
    };
    switch (tag) {
      case 256: t->width = value(0); break;
      case 257: t->height = value(0); break;
      case 258: t->bits = value(0); break;
      case 259: t->compression = value(0); break;
      case 277: t->samples = value(0); break;
      case 278: t->rowsPerStrip = value(0); break;
      case 284: t->planar = value(0); break;
      case 317: t->predictor = value(0); break;
      case 273: for (uint32_t k = 0; k < count; ++k) t->offsets.push_back(value(k)); break;
      case 279: for (uint32_t k = 0; k < count; ++k) t->counts.push_back(value(k)); break;
    }
  }
  return t->compression == 5 && t->bits == 8 && t->planar == 1 && t->offsets.size() == t->counts.size();
}

TEST(Lzw, TiffStripsOfCorpusFilesMatchTheirReferences) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  const char *files[] = {"tiff/image-tiff/seq-3c-8b-lzw-8743c999.tiff",
                         "tiff/image-tiff/seq-1c-8b-lzw-20f3db0c.tiff",
                         "tiff/gdk-pixbuf/valid.1.tiff", "tiff/commons-imaging/Imaging258.tiff",
                         "tiff/generated/lzw-pred-gray8-be.tif",
                         "tiff/generated/lzw-pred-rgb-be-multistrip.tif"};
  std::vector<uint8_t> storage(LzwStorageSize(12, 4096));
  for (const char *name : files) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> f = qvtest::ReadFileBytes(dir + "/" + name);
    TiffStrips t;
    ASSERT_TRUE(ParseTiff(f, &t));
    ASSERT_TRUE(t.samples == 1 || t.samples == 3);
    size_t rowBytes = static_cast<size_t>(t.width) * t.samples;
    uint32_t rps = std::min(t.rowsPerStrip, t.height);
    std::vector<uint8_t> pixels;
    for (size_t s = 0; s < t.offsets.size(); ++s) {
      ASSERT_LE(static_cast<size_t>(t.offsets[s]) + t.counts[s], f.size());
      std::vector<uint8_t> strip(f.begin() + t.offsets[s], f.begin() + t.offsets[s] + t.counts[s]);
      Feed feed{&strip, 0, 4096, 0};
      // Every strip starts afresh in the same storage, as the TIFF reader does it.
      LzwDecoder *d = LzwInit(storage.data(), 9, 12, 256, 257, LzwEarlyChange | LzwMsbFirst,
                              FeedSource, &feed);
      uint32_t rows = std::min<uint32_t>(rps, t.height - static_cast<uint32_t>(s) * rps);
      std::vector<uint8_t> out(rowBytes * rows);
      ASSERT_EQ(LzwReadBytes(d, out.data(), out.size()), 1) << "strip " << s;
      if (t.predictor == 2)  // horizontal differencing
        for (uint32_t r = 0; r < rows; ++r)
          for (size_t x = t.samples; x < rowBytes; ++x)
            out[r * rowBytes + x] = static_cast<uint8_t>(out[r * rowBytes + x] + out[r * rowBytes + x - t.samples]);
      pixels.insert(pixels.end(), out.begin(), out.end());
    }
    qvhost::Pixels ref;
    std::string err;
    ASSERT_TRUE(qvtest::ReadPngRgb(dir + "/reference/" + name + ".png", &ref, &err)) << err;
    ASSERT_EQ(ref.width, t.width);
    ASSERT_EQ(ref.height, t.height);
    size_t differ = 0;
    for (size_t i = 0; i < static_cast<size_t>(t.width) * t.height; ++i)
      for (int c = 0; c < 3; ++c)
        differ += ref.rgb[i * 3 + c] != pixels[i * t.samples + (t.samples == 3 ? c : 0)];
    EXPECT_EQ(differ, 0u);
  }
}

}  // namespace
