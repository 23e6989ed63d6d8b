// Deflate decoder: zlib's compressor at every level and strategy on several
// kinds of data, decoded with the input and the reads cut into tiny and odd
// pieces; hand-made streams that must be refused with their status; the end
// of a stream and what follows it; the stack a decode takes inside a job.
#include "codecs/inflate/inflate.h"

#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codecs/inflate/inflate_internal.h"
#include "deflate_samples.h"
#include "engine/engine.h"
#include "test_support.h"

#if QV_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// Hands the stream to the decoder in pieces whose sizes cycle through a list.
struct Feed {
  const Bytes *data;
  std::vector<size_t> pieces;
  size_t at = 0, turn = 0;
  ParamBlock *suspendIn = nullptr;  // inside a job: wait for the host before each piece
};

uint32_t FeedSource(void *context, uint8_t *buffer) {
  Feed *f = static_cast<Feed *>(context);
  if (f->suspendIn) SuspendJob(f->suspendIn, ResponseNeedInput);
  size_t n = f->data->size() - f->at;
  size_t piece = f->pieces[f->turn++ % f->pieces.size()];
  if (n > piece) n = piece;
  if (n) memcpy(buffer, f->data->data() + f->at, n);
  f->at += n;
  return static_cast<uint32_t>(n);
}

// How the input and the output are cut.
struct Cutting {
  const char *name;
  std::vector<size_t> pieces;  // bytes per source call, in turn
  uint32_t buffer;             // input buffer size (at least the largest piece)
  std::vector<size_t> reads;   // bytes per InflateRead, in turn
};

const Cutting kWhole{"whole", {65536}, 65536, {1u << 18}};
const std::vector<Cutting> kCuttings = {
    kWhole,
    {"pulls of 1, 2, 3, 5 and 7 bytes", {1, 2, 3, 5, 7}, 7, {4093}},
    {"buffer of 16 to 40 bytes", {16, 17, 23, 40, 31}, 40, {7, 1000, 1}},
    {"odd reads", {4096}, 4096, {1, 3, 17, 250, 65537, 2}},
};

struct Outcome {
  Bytes bytes;
  int32_t status = 0;
  size_t unused = 0;
};

Outcome Inflate(const Bytes &stream, uint8_t flags, const Cutting &cut = kWhole) {
  Bytes storage(InflateStorageSize(cut.buffer));
  Feed feed{&stream, cut.pieces};
  InflateDecoder *d = InflateInit(storage.data(), cut.buffer, flags, FeedSource, &feed);
  Outcome o;
  for (size_t turn = 0;; ++turn) {
    size_t n = cut.reads[turn % cut.reads.size()];
    size_t at = o.bytes.size();
    o.bytes.resize(at + n);
    InflateResult r = InflateRead(d, o.bytes.data() + at, n);
    o.bytes.resize(at + r.Produced);
    if (r.Status != InflateMore) {
      o.status = r.Status;
      break;
    }
    if (r.Produced != n) {
      ADD_FAILURE() << "InflateMore with " << r.Produced << " of " << n << " bytes";
      break;
    }
  }
  o.unused = InflateUnusedInput(d);
  return o;
}

// Bits of a hand-made stream, lowest first.
struct BitWriter {
  Bytes bytes;
  uint32_t acc = 0, n = 0;
  BitWriter &Put(uint32_t v, uint32_t len) {  // len bits of v, zeros past its 32
    for (uint32_t i = 0; i < len; ++i) {
      acc |= (i < 32 ? (v >> i) & 1 : 0) << n;
      if (++n == 8) {
        bytes.push_back(static_cast<uint8_t>(acc));
        acc = n = 0;
      }
    }
    return *this;
  }
  BitWriter &Align() { return Put(0, (8 - n) % 8); }
  // A Huffman code, most significant bit first.
  BitWriter &Code(uint32_t code, uint32_t len) {
    for (uint32_t i = len; i-- > 0;) Put(code >> i, 1);
    return *this;
  }
  Bytes Done() {
    Bytes b = bytes;
    if (n) b.push_back(static_cast<uint8_t>(acc));
    return b;
  }
};

// Canonical codes of a set of code lengths.
std::vector<uint32_t> Codes(const std::vector<uint8_t> &lengths) {
  uint32_t perLength[16] = {}, next[16] = {};
  for (uint8_t l : lengths) ++perLength[l];
  perLength[0] = 0;
  for (int l = 1; l < 16; ++l) next[l] = (next[l - 1] + perLength[l - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size());
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  return codes;
}

// The fixed code's literal/length codes.
void FixedSymbol(BitWriter &b, uint32_t symbol) {
  if (symbol < 144)
    b.Code(0x30 + symbol, 8);
  else if (symbol < 256)
    b.Code(0x190 + symbol - 144, 9);
  else if (symbol < 280)
    b.Code(symbol - 256, 7);
  else
    b.Code(0xC0 + symbol - 280, 8);
}

// A last dynamic block: its header sends the code lengths lit and dist with
// a code-length code of 4 bits for each of `short` (by default the symbols
// 0-15, sending each length as it is), or the code-length symbols `items`
// (symbol, extra bits) when given; then the literal/length symbols `then`,
// where 300 + n stands for distance symbol n and 999 for a single 1 bit.
Bytes Dynamic(const std::vector<uint8_t> &lit, const std::vector<uint8_t> &dist,
              std::vector<uint32_t> then = {}, std::vector<int> shortCodes = {},
              std::vector<std::pair<uint32_t, uint32_t>> items = {}) {
  std::vector<uint8_t> codeLengths(19, 0);
  if (shortCodes.empty())
    for (int s = 0; s < 16; ++s) shortCodes.push_back(s);
  for (int s : shortCodes) codeLengths[s] = 4;
  if (items.empty()) {
    for (uint8_t l : lit) items.push_back({l, 0});
    for (uint8_t l : dist) items.push_back({l, 0});
  }
  BitWriter b;
  b.Put(1, 1).Put(2, 2).Put(static_cast<uint32_t>(lit.size()) - 257, 5);
  b.Put(static_cast<uint32_t>(dist.size()) - 1, 5).Put(19 - 4, 4);
  static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (int i = 0; i < 19; ++i) b.Put(codeLengths[kOrder[i]], 3);
  std::vector<uint32_t> c = Codes(codeLengths), litCodes = Codes(lit), distCodes = Codes(dist);
  static const uint32_t kExtra[3] = {2, 3, 7};
  for (auto [symbol, extra] : items) {
    b.Code(c[symbol], codeLengths[symbol]);
    if (symbol >= 16) b.Put(extra, kExtra[symbol - 16]);
  }
  for (uint32_t s : then) {
    if (s == 999)
      b.Put(1, 1);
    else if (s >= 300)
      b.Code(distCodes[s - 300], dist[s - 300]);
    else
      b.Code(litCodes[s], lit[s]);
  }
  return b.Done();
}

// Literal/length lengths: 'a', 'b', end of block and length 3 (257) at 2
// bits each, a complete code; with some lengths changed.
std::vector<uint8_t> SmallLit(std::initializer_list<std::pair<int, uint8_t>> changes = {}) {
  std::vector<uint8_t> l(258, 0);
  l['a'] = l['b'] = l[256] = l[257] = 2;
  for (auto [symbol, length] : changes) l[symbol] = length;
  return l;
}

// Fixed-code blocks: header bits, then literal/length symbols with 300 + n
// for distance code n.
Bytes Fixed(std::vector<uint32_t> symbols) {
  BitWriter b;
  b.Put(1, 1).Put(1, 2);
  for (uint32_t s : symbols) {
    if (s >= 300)
      b.Code(s - 300, 5);
    else
      FixedSymbol(b, s);
  }
  return b.Done();
}

Bytes Zlib(const Bytes &raw, uint32_t adler) {
  Bytes z = {0x78, 0x01};
  z.insert(z.end(), raw.begin(), raw.end());
  for (int i = 3; i >= 0; --i) z.push_back(static_cast<uint8_t>(adler >> (8 * i)));
  return z;
}

TEST(Inflate, MalformedStreamsGiveTheirStatus) {
  struct Case {
    const char *name;
    uint8_t flags;
    Bytes stream;
    int32_t status;
    std::string before;  // bytes decoded before the fault
  };
  const uint8_t z = InflateZlib;
  auto P = [](Bytes b) {  // padding, so that a fault is not taken for the end of the input
    b.insert(b.end(), 2, 0);
    return b;
  };
  const std::vector<int> with16 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16};
  const std::vector<int> with18 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 18};
  const Case cases[] = {
      {"zlib check bits", z, {0x78, 0x9D, 3, 0}, QV_ERR_INFLATE_HEADER, ""},
      {"zlib method 7", z, {0x77, 0x09, 3, 0}, QV_ERR_INFLATE_HEADER, ""},
      {"zlib window 64 KiB", z, {0x88, 0x1C, 3, 0}, QV_ERR_INFLATE_HEADER, ""},
      {"zlib preset dictionary", z, {0x78, 0xBB, 0, 0, 0, 1, 3, 0}, QV_ERR_INFLATE_HEADER, ""},
      {"block type 3", 0, {0x07, 0, 0}, QV_ERR_INFLATE_BLOCK_TYPE, ""},
      {"stored length", 0, {0x01, 5, 0, 0xFA, 0x00, 1, 2, 3, 4, 5}, QV_ERR_INFLATE_STORED, ""},
      {"287 literal/length codes", 0, BitWriter().Put(0x5, 3).Put(30, 5).Put(0, 33).Done(),
       QV_ERR_INFLATE_LENGTHS, ""},
      {"31 distance codes", 0, BitWriter().Put(0x5, 3).Put(0, 5).Put(30, 5).Put(0, 28).Done(),
       QV_ERR_INFLATE_LENGTHS, ""},
      {"code-length code over-subscribed", 0,
       P(Dynamic(SmallLit(), {1}, {}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {{0, 0}})),
       QV_ERR_INFLATE_LENGTHS, ""},
      {"code-length code incomplete", 0, P(Dynamic(SmallLit(), {1}, {}, {0, 2}, {{0, 0}})),
       QV_ERR_INFLATE_LENGTHS, ""},
      {"repeat before any length", 0, P(Dynamic(SmallLit(), {1}, {}, with16, {{16, 0}})),
       QV_ERR_INFLATE_LENGTHS, ""},
      {"zeros past the last length", 0, P(Dynamic(SmallLit(), {1}, {}, with18, {{18, 127}, {18, 127}})),
       QV_ERR_INFLATE_LENGTHS, ""},
      {"no end-of-block code", 0, P(Dynamic(SmallLit({{'c', 2}, {256, 0}}), {1})), QV_ERR_INFLATE_LENGTHS,
       ""},
      {"literal/length code over-subscribed", 0, P(Dynamic(SmallLit({{'c', 2}}), {1})),
       QV_ERR_INFLATE_LENGTHS, ""},
      {"literal/length code incomplete", 0, P(Dynamic(SmallLit({{257, 0}}), {1})), QV_ERR_INFLATE_LENGTHS,
       ""},
      {"distance code incomplete", 0, P(Dynamic(SmallLit(), {2, 2, 2})), QV_ERR_INFLATE_LENGTHS, ""},
      {"fixed length symbol 286", 0, P(Fixed({'x', 286})), QV_ERR_INFLATE_CODE, "x"},
      {"fixed distance code 30", 0, P(Fixed({'x', 257, 330})), QV_ERR_INFLATE_CODE, "x"},
      {"a length without distance codes", 0, P(Dynamic(SmallLit(), {0}, {'a', 257})), QV_ERR_INFLATE_CODE,
       "a"},
      // Distance 2 has the code 0; the bit 1 names nothing.
      {"the unused bit of a one-code distance code", 0, P(Dynamic(SmallLit(), {0, 1}, {'a', 257, 999})),
       QV_ERR_INFLATE_CODE, "a"},
      {"distance before the first byte", 0, P(Fixed({'x', 257, 301})), QV_ERR_INFLATE_DISTANCE, "x"},
      {"distance at the very start", 0, P(Fixed({257, 300})), QV_ERR_INFLATE_DISTANCE, ""},
      {"Adler-32", z, Zlib({0x01, 1, 0, 0xFE, 0xFF, 'q'}, 0x00720073), QV_ERR_INFLATE_CHECKSUM, "q"},
      {"Adler-32 not checked", z | InflateNoCheck, Zlib({0x01, 1, 0, 0xFE, 0xFF, 'q'}, 0x00720073), InflateEnded, "q"},
      {"no last block", 0, {0x00, 1, 0, 0xFE, 0xFF, 'q'}, QV_ERR_INFLATE_TRUNCATED, "q"},
      {"no Adler-32", z, {0x78, 0x01, 0x01, 1, 0, 0xFE, 0xFF, 'q', 0, 0x72}, QV_ERR_INFLATE_TRUNCATED, "q"},
      {"stored block cut short", 0, {0x01, 5, 0, 0xFA, 0xFF, 'a', 'b'}, QV_ERR_INFLATE_TRUNCATED, "ab"},
  };
  for (const Case &c : cases)
    for (const Cutting &cut : kCuttings) {
      SCOPED_TRACE(std::string(c.name) + ", " + cut.name);
      Outcome o = Inflate(c.stream, c.flags, cut);
      EXPECT_EQ(o.status, c.status) << QvStatusText(o.status);
      EXPECT_EQ(std::string(o.bytes.begin(), o.bytes.end()), c.before);
    }
}

// Streams at the edges of what is allowed, accepted as zlib accepts them.
TEST(Inflate, EdgeStreamsDecode) {
  // A run of 258 at distance 1; stored bytes up to 32 KiB; 11 bytes from
  // distance 32768, the longest.
  BitWriter far;
  far.Put(0, 1).Put(1, 2);
  for (uint32_t s : {uint32_t{'z'}, 285u}) FixedSymbol(far, s);
  far.Code(0, 5);
  FixedSymbol(far, 256);
  const uint32_t fill = 32768 - 259;
  far.Put(0, 1).Put(0, 2).Align().Put(fill, 16).Put(~fill & 0xFFFF, 16);
  std::string farText(259, 'z');
  for (uint32_t i = 0; i < fill; ++i) {
    far.Put('0' + i % 10, 8);
    farText += static_cast<char>('0' + i % 10);
  }
  far.Put(1, 1).Put(1, 2);
  FixedSymbol(far, 265);  // 11 with its extra bit 0
  far.Put(0, 1).Code(29, 5).Put(32768 - 24577, 13);
  FixedSymbol(far, 256);
  farText += std::string(11, 'z');

  std::vector<uint8_t> endOnly(257, 0);
  endOnly[256] = 1;
  const struct {
    const char *name;
    Bytes stream;
    std::string expected;
  } cases[] = {
      {"empty stored blocks", {0x00, 0, 0, 0xFF, 0xFF, 0x01, 0, 0, 0xFF, 0xFF}, ""},
      {"only an end-of-block code, one bit long", Dynamic(endOnly, {0}, {256}), ""},
      {"one distance code of one bit", Dynamic(SmallLit(), {0, 1}, {'a', 'b', 257, 301, 256}), "ababa"},
      {"the longest run and distance", far.Done(), farText},
  };
  for (const auto &c : cases)
    for (const Cutting &cut : kCuttings) {
      SCOPED_TRACE(std::string(c.name) + ", " + cut.name);
      Outcome o = Inflate(c.stream, 0, cut);
      EXPECT_EQ(o.status, InflateEnded) << QvStatusText(o.status);
      EXPECT_EQ(std::string(o.bytes.begin(), o.bytes.end()), c.expected);
    }
}

TEST(Inflate, Adler32OverLengthsAndAlignments) {
  Bytes data(70000);
  std::mt19937 rng(7);
  for (auto &b : data) b = static_cast<uint8_t>(rng() % 4 == 0 ? 255 : rng());
  // The textbook definition, one byte at a time.
  auto reference = [&](uint32_t adler, size_t at, size_t n) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    for (size_t i = 0; i < n; ++i) {
      a = (a + data[at + i]) % 65521;
      b = (b + a) % 65521;
    }
    return b << 16 | a;
  };
  for (size_t n : {0, 1, 15, 16, 17, 31, 100, 5551, 5552, 5553, 11104, 65536, 69990})
    for (size_t at : {0, 1, 7})
      for (uint32_t start : {1u, 0xFFF0FFF0u}) {
        if (at + n > data.size()) continue;
        EXPECT_EQ(InflateAdler32(start, data.data() + at, n), reference(start, at, n)) << n << " at " << at;
      }
}

// The decoder inside a job whose source waits for the host before every
// piece: the whole stream decodes, and the stack it takes is small.
Bytes gJobStream;
Bytes gJobOutput;
int32_t gJobStatus;

void InflateJob(ParamBlock *pb) {
  int slot;
  void *storage = AllocJobBuffer(pb, InflateStorageSize(4096), &slot);
  Feed feed{&gJobStream, {4096, 1, 4000}};
  feed.suspendIn = pb;
  InflateDecoder *d = InflateInit(storage, 4096, InflateZlib, FeedSource, &feed);
  static uint8_t row[1001];  // off the job's stack, which then holds little but the decoder
  for (;;) {
    InflateResult r = InflateRead(d, row, sizeof row);
    gJobOutput.insert(gJobOutput.end(), row, row + r.Produced);
    if (r.Status != InflateMore) {
      gJobStatus = r.Status;
      break;
    }
  }
}

size_t StackOfJob(JobBody body, int *resumes) {
  gJobOutput.clear();
  gJobStatus = 0;
  ParamBlock pb;
  memset(&pb, 0, sizeof pb);
  pb.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb.BlockVersion = 20;
  pb.OperationCode = QV_OPERATION_CODE;
  EXPECT_EQ(Corvane(&pb, RequestInit), ResponseDone);
  SetJobBodyForTest(&pb, body);
  MeasureJobStackForTest(&pb);
  int r = Corvane(&pb, RequestRun);
  *resumes = 0;
  while (r == ResponseNeedInput) {
    ++*resumes;
    r = Corvane(&pb, RequestResume);
  }
  EXPECT_EQ(r, ResponseDone);
  size_t used = JobStackHighWater(&pb);
  Corvane(&pb, RequestTerminate);
  return used;
}

TEST(Inflate, DecodesInsideAJobWithLittleStack) {
  Bytes text = deflatesamples::Prose(300000, 3);
  // A stream with stored, fixed and dynamic blocks, built by hand.
  BitWriter b;
  b.Put(0, 1).Put(1, 2);
  for (int i = 0; i < 100; ++i) FixedSymbol(b, text[i]);
  FixedSymbol(b, 256);
  b.Put(0, 1).Put(0, 2).Align();
  Bytes raw = b.Done();
  uint32_t stored = 40000;
  Bytes header = {static_cast<uint8_t>(stored), static_cast<uint8_t>(stored >> 8),
                  static_cast<uint8_t>(~stored), static_cast<uint8_t>(~stored >> 8)};
  raw.insert(raw.end(), header.begin(), header.end());
  raw.insert(raw.end(), text.begin() + 100, text.begin() + 100 + stored);
  // Then the rest in a dynamic block of literals alone: 255 codes of 8 bits
  // and two of 9 make a complete code.
  std::vector<uint8_t> lit(257, 8);
  lit[255] = lit[256] = 9;
  std::vector<uint32_t> rest(text.begin() + 100 + stored, text.end());
  rest.push_back(256);
  Bytes tail = Dynamic(lit, {0}, rest);
  raw.insert(raw.end(), tail.begin(), tail.end());
  gJobStream = Zlib(raw, InflateAdler32(1, text.data(), text.size()));

  int resumes = 0;
  size_t used = StackOfJob(InflateJob, &resumes);
  EXPECT_EQ(gJobStatus, InflateEnded) << QvStatusText(gJobStatus);
  EXPECT_TRUE(gJobOutput == text);
  EXPECT_GT(resumes, 20);
  printf("job stack: %zu bytes used (%d waits)\n", used, resumes);
  // The decoder's frames stay small beside the 64 KiB stack, whatever the build.
  EXPECT_LT(used, 8192u);
}

#if QV_HAVE_ZLIB

Bytes Compress(const Bytes &data, int level, int strategy, bool wrapper, int memLevel = 8) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, wrapper ? 15 : -15, memLevel, strategy), Z_OK);
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
  z.next_in = const_cast<Bytef *>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Kind {
  const char *name;
  Bytes data;
};

std::vector<Kind> Kinds() {
  std::vector<Kind> k;
  std::mt19937 rng(11);
#if QV_SLOW_LEG
  const size_t scale = 1;
#else
  const size_t scale = 3;
#endif
  Bytes random(8000 * scale);
  for (auto &b : random) b = static_cast<uint8_t>(rng());
  k.push_back({"random", random});
  k.push_back({"prose", deflatesamples::Prose(30000 * scale, 5)});
  uint32_t w = 120, h = 40 * static_cast<uint32_t>(scale);
  k.push_back({"filtered rows", deflatesamples::FilterRows(deflatesamples::Picture(w, h, 3, 9), w, h, 3)});
  Bytes runs;
  while (runs.size() < 20000 * scale)
    runs.insert(runs.end(), 1 + rng() % 700, static_cast<uint8_t>(rng() % 3));
  k.push_back({"runs", runs});
  // A 32 KiB block repeated: matches at the longest distance.
  Bytes block(32768), repeated;
  for (auto &b : block) b = static_cast<uint8_t>(rng() % 16);
  for (size_t i = 0; i < 1 + scale; ++i) repeated.insert(repeated.end(), block.begin(), block.end());
  k.push_back({"repeated 32 KiB", repeated});
  return k;
}

// Every level and strategy, zlib and raw, whole and cut: the bytes are the
// data, the end is seen, and nothing of the input is left over.
TEST(Inflate, MatchesZlibCompressorAtEveryLevelAndStrategy) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  const char *strategyNames[] = {"default", "filtered", "huffman-only", "rle", "fixed"};
  int streams = 0;
  for (const Kind &k : Kinds())
    for (int level = 0; level <= 9; ++level)
      for (int s = 0; s < 5; ++s)
        for (bool wrapper : {true, false}) {
#if QV_SLOW_LEG
          if ((level + s) % 3 != 0) continue;  // a third of the grid under an emulator
#endif
          Bytes stream = Compress(k.data, level, strategies[s], wrapper);
          ++streams;
          for (const Cutting &cut : kCuttings) {
            SCOPED_TRACE(std::string(k.name) + ", level " + std::to_string(level) + ", " + strategyNames[s] +
                         (wrapper ? ", zlib, " : ", raw, ") + cut.name);
            // Odd levels with tables that lack the two-literal entries.
            Outcome o = Inflate(stream, (wrapper ? InflateZlib : 0) | (level % 2 ? InflateNoPairs : 0), cut);
            ASSERT_EQ(o.status, InflateEnded) << QvStatusText(o.status);
            ASSERT_TRUE(o.bytes == k.data) << o.bytes.size() << " bytes of " << k.data.size();
            EXPECT_EQ(o.unused, 0u);
          }
        }
  EXPECT_GT(streams, 100);
}

// The input split in two at every position, for streams of stored, fixed and
// dynamic blocks: one short source answer, then the rest.
TEST(Inflate, InputSplitAtEveryPosition) {
  Bytes text = deflatesamples::Prose(3000, 8);
  for (auto [level, strategy] : {std::pair{0, Z_DEFAULT_STRATEGY}, {6, Z_FIXED}, {6, Z_DEFAULT_STRATEGY}}) {
    Bytes stream = Compress(text, level, strategy, true);
    for (size_t k = 1; k < stream.size(); ++k) {
      SCOPED_TRACE("level " + std::to_string(level) + ", split at " + std::to_string(k));
      Cutting cut{"split", {k, stream.size() - k}, static_cast<uint32_t>(stream.size()), {977}};
      Outcome o = Inflate(stream, InflateZlib, cut);
      ASSERT_EQ(o.status, InflateEnded) << QvStatusText(o.status);
      ASSERT_TRUE(o.bytes == text);
    }
  }
}

// Every proper prefix of a stream is refused as truncated, never decoded as
// a whole stream; bytes after a stream are reported as unused input.
TEST(Inflate, PrefixesAreTruncatedAndTrailingBytesCounted) {
  Bytes text = deflatesamples::Prose(2000, 4);
  for (bool wrapper : {true, false}) {
    Bytes stream = Compress(text, 9, Z_DEFAULT_STRATEGY, wrapper);
    for (size_t k = 0; k < stream.size(); ++k) {
      Bytes prefix(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(k));
      Outcome o = Inflate(prefix, wrapper ? InflateZlib : 0);
      ASSERT_EQ(o.status, QV_ERR_INFLATE_TRUNCATED) << k << " of " << stream.size();
      ASSERT_TRUE(std::equal(o.bytes.begin(), o.bytes.end(), text.begin()));
    }
    Bytes padded = stream;
    padded.insert(padded.end(), {1, 2, 3, 4, 5});
    Outcome o = Inflate(padded, wrapper ? InflateZlib : 0);
    EXPECT_EQ(o.status, InflateEnded);
    EXPECT_EQ(o.unused, 5u);
    EXPECT_TRUE(o.bytes == text);
  }
}

TEST(Inflate, FinishTellsTheEndFromMoreData) {
  Bytes text = deflatesamples::Prose(100000, 6);
  Bytes stream = Compress(text, 6, Z_DEFAULT_STRATEGY, true);
  for (size_t readFirst : {size_t{0}, size_t{1}, text.size() - 1, text.size()}) {
    SCOPED_TRACE(readFirst);
    Bytes storage(InflateStorageSize(512));
    Feed feed{&stream, {512}};
    InflateDecoder *d = InflateInit(storage.data(), 512, InflateZlib, FeedSource, &feed);
    Bytes out(readFirst);
    InflateResult r = InflateRead(d, out.data(), readFirst);
    EXPECT_EQ(r.Produced, readFirst);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), text.begin()));
    EXPECT_EQ(InflateFinish(d), readFirst == text.size() ? InflateEnded : InflateExcess);
  }
  // A changed check value is found by the finish as well.
  stream.back() ^= 1;
  Bytes storage(InflateStorageSize(512));
  Feed feed{&stream, {512}};
  InflateDecoder *d = InflateInit(storage.data(), 512, InflateZlib, FeedSource, &feed);
  Bytes out(text.size());
  EXPECT_EQ(InflateRead(d, out.data(), out.size()).Produced, text.size());
  EXPECT_EQ(InflateFinish(d), QV_ERR_INFLATE_CHECKSUM);
}

#endif  // QV_HAVE_ZLIB

}  // namespace
