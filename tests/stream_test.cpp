// The positioned streams, driven through the host library with job bodies
// that read (and place) at chosen positions.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

#include "engine/engine.h"
#include "stream/stream.h"
#include "test_support.h"
#include "tiff_builder.h"

namespace {

// What the input test body reads: a list of (position, length, kind) steps.
struct ReadStep {
  uint32_t position;  // UINT32_MAX: read on from where the last step ended
  uint32_t length;
  int kind;  // 0 bytes, 1 words, 2 longs, 3 skip then one byte
};

std::vector<ReadStep> g_steps;
std::vector<uint8_t> g_got;
bool g_reverse;

void ReadBody(ParamBlock *block) {
  block->Flags |= QV_FLAG_FINAL_IMAGE;  // one image: the host must not ask for another
  Stream stream{}, *s = &stream;  // lives as long as the body
  StreamStartInput(s, block);
  static uint8_t reversal[kReversalBufferSize];
  if (g_reverse) StreamReverseInput(s, reversal);
  for (const ReadStep &st : g_steps) {
    if (st.position != UINT32_MAX) {
      StreamSeek(s, st.position);
      if (StreamInputPosition(s) != st.position) FailJob(block, -1);
    }
    switch (st.kind) {
      case 0: {
        size_t at = g_got.size();
        g_got.resize(at + st.length);
        StreamRead(s, g_got.data() + at, st.length);
        break;
      }
      case 1:
        for (uint32_t i = 0; i < st.length / 2; ++i) {
          uint16_t w = StreamWord(s);
          g_got.push_back(static_cast<uint8_t>(w));
          g_got.push_back(static_cast<uint8_t>(w >> 8));
        }
        break;
      case 2:
        for (uint32_t i = 0; i < st.length / 4; ++i) {
          uint32_t v = StreamLong(s);
          for (int k = 0; k < 4; ++k) g_got.push_back(static_cast<uint8_t>(v >> (8 * k)));
        }
        break;
      default:
        StreamSkip(s, st.length - 1);
        g_got.push_back(StreamByte(s));
        break;
    }
  }
}

void InstallReadBody(ParamBlock *block) { SetJobBodyForTest(block, ReadBody); }

// The bytes the steps should produce from file data.
std::vector<uint8_t> Expected(const std::vector<uint8_t> &data, bool reverse) {
  std::vector<uint8_t> out;
  uint32_t pos = 0;
  for (const ReadStep &st : g_steps) {
    if (st.position != UINT32_MAX) pos = st.position;
    if (st.kind == 3) {
      pos += st.length;
      out.push_back(data[pos - 1]);
    } else {
      uint32_t n = st.kind == 0 ? st.length : st.length / (st.kind == 1 ? 2 : 4) * (st.kind == 1 ? 2 : 4);
      out.insert(out.end(), data.begin() + pos, data.begin() + pos + n);
      pos += n;
    }
  }
  if (reverse)
    for (uint8_t &b : out) b = kBitReverseTable.v[b];
  return out;
}

qvhost::Result RunReads(const std::vector<uint8_t> &data, qvhost::Options o) {
  o.imageType = QV_FOURCC('T', 'I', 'F', '1');  // the host serves the TIFF seek protocol
  o.test.eventLimit = 100000;
  qvhost::TestHooks hooks;
  hooks.afterInit = InstallReadBody;
  g_got.clear();
  return qvhost::DecodeWithHooks(data.data(), data.size(), o, hooks);
}

size_t InputSeeks(const qvhost::Result &r) {
  size_t n = 0;
  for (const qvhost::Event &e : r.events)
    if (e.response == ResponseSeek && !(e.seekTarget & QV_SEEK_OUTPUT)) ++n;
  return n;
}

TEST(StreamInput, RandomAccessThroughAnyQueue) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(20000);
  for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
  // Forward and backward jumps, reads across the storage wrap, reads to the
  // very last byte, and reads that continue where the previous one ended.
  g_steps = {{0, 8, 0}};  // a header first, as a TIFF reader starts
  for (int i = 0; i < 60; ++i) {
    uint32_t len = 1 + rng() % 700;
    uint32_t pos = (i % 5 == 4) ? UINT32_MAX : static_cast<uint32_t>(rng() % (data.size() - 2800));
    g_steps.push_back({pos, len, static_cast<int>(rng() % 4)});
  }
  g_steps.push_back({static_cast<uint32_t>(data.size() - 9), 9, 0});
  for (bool reverse : {false, true}) {
    g_reverse = reverse;
    std::vector<uint8_t> want = Expected(data, reverse);
    for (size_t queue : {5, 7, 64, 999, 4096, 30000})
      for (uint64_t seed : {0, 3, 11}) {
        SCOPED_TRACE("queue " + std::to_string(queue) + " seed " + std::to_string(seed) +
                     (reverse ? " reversed" : ""));
        qvhost::Options o;
        o.inQueue = queue;
        o.test.chunkSeed = seed;
        qvhost::Result r = RunReads(data, o);
        ASSERT_EQ(r.response, ResponseDone) << r.status;
        EXPECT_EQ(g_got == want, true);
        // A file that lies whole in the queue is never asked for again.
        if (queue > data.size() && seed == 0) {
          EXPECT_EQ(InputSeeks(r), 0u);
        }
      }
  }
}

TEST(StreamInput, SeekOnlyWhenThePositionHasLeftTheQueue) {
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  g_reverse = false;
  // Header at 0, "IFD" at 2000, back to a "strip" at 100.
  g_steps = {{0, 8, 0}, {2000, 12, 0}, {100, 50, 0}};
  qvhost::Options o;
  o.inQueue = 4096;  // everything stays queued
  EXPECT_EQ(InputSeeks(RunReads(data, o)), 0u);
  o.inQueue = 1024;  // the strip has left the queue by the time the IFD is read
  qvhost::Result r = RunReads(data, o);
  ASSERT_EQ(r.response, ResponseDone);
  EXPECT_EQ(InputSeeks(r), 2u);  // to the IFD, and back to the strip
  EXPECT_EQ(g_got, Expected(data, false));
}

TEST(StreamInput, EndOfInputFails) {
  std::vector<uint8_t> data(100, 1);
  g_reverse = false;
  g_steps = {{90, 20, 0}};
  qvhost::Options o;
  o.inQueue = 16;
  qvhost::Result r = RunReads(data, o);
  EXPECT_EQ(r.response, ResponseError);
  EXPECT_EQ(r.status, QV_ERR_INPUT_ENDED);
}

// Reading the tail of a file: the position counts from the end, and more
// input is asked for the same way.
std::vector<uint8_t> g_tail;
void TailBody(ParamBlock *block) {
  block->Flags |= QV_FLAG_FINAL_IMAGE;
  Stream stream{}, *s = &stream;
  StreamStartInput(s, block);
  g_tail.resize(30);
  StreamRead(s, g_tail.data(), 4);
  StreamSeekFromEnd(s, 26);
  StreamRead(s, g_tail.data() + 4, 26);
}

TEST(StreamInput, SeekFromTheEnd) {
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
  std::vector<uint8_t> want(data.begin(), data.begin() + 4);
  want.insert(want.end(), data.end() - 26, data.end());
  for (size_t queue : {5, 7, 64, 4096})
    for (uint64_t seed : {0, 5}) {
      qvhost::Options o;
      o.imageType = QV_FOURCC('T', 'I', 'F', '1');
      o.inQueue = queue;
      o.test.chunkSeed = seed;
      qvhost::TestHooks hooks;
      hooks.afterInit = [](ParamBlock *b) { SetJobBodyForTest(b, TailBody); };
      qvhost::Result r = qvhost::DecodeWithHooks(data.data(), data.size(), o, hooks);
      ASSERT_EQ(r.response, ResponseDone) << r.status;
      EXPECT_EQ(g_tail, want) << queue << " " << seed;
    }
}

// ---- The output stream ----------------------------------------------------

std::vector<uint32_t> OutputEvents(const qvhost::Result &r) {
  std::vector<uint32_t> v;
  for (const qvhost::Event &e : r.events)
    if ((e.response == ResponseNeedOutput || e.response == ResponseSeek) && (e.seekTarget & QV_SEEK_OUTPUT))
      v.push_back(static_cast<uint32_t>(e.response) << 28 | (e.seekTarget & 0x3FFFFFFF));
  return v;
}

tiffbuild::Page RgbPage(uint32_t width, uint32_t height) {
  tiffbuild::Page p;
  p.width = width, p.height = height, p.samples = 3, p.photometric = 2;
  p.pixels.resize(size_t{width} * height * 3);
  for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = static_cast<uint8_t>(i * 7 + i / 97);
  return p;
}

// A flipped 25-row image with the header in the output and room for 10 rows:
// the blocks go out from the end of the bitmap towards its start.
TEST(StreamOutput, FlippedBlocksInTheirHostSequence) {
  tiffbuild::Page p = RgbPage(10, 25);  // stride 32
  std::vector<uint8_t> file = tiffbuild::Writer(false).Build({p});
  qvhost::Options o;
  o.imageType = QV_FOURCC('T', 'I', 'F', '1');
  o.flags = QV_FLAG_HEADER;
  o.outQueue = 10 * 32 + 1;
  o.test.eventLimit = 100000;
  qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
  ASSERT_TRUE(r.ok()) << r.status;
  const uint32_t d = 40, s = 32, drain = uint32_t{ResponseNeedOutput} << 28, seek = uint32_t{ResponseSeek} << 28;
  std::vector<uint32_t> want = {drain | 0,          seek | (d + 15 * s), drain | (d + 15 * s),
                                seek | (d + 5 * s), drain | (d + 5 * s), seek | d,
                                drain | d,          seek | (d + 25 * s)};
  EXPECT_EQ(OutputEvents(r), want);
  ASSERT_EQ(r.output.size(), d + 25 * s);
  // The bottom row of the picture (the file's last) comes first.
  EXPECT_EQ(r.output[d], p.pixels[24 * 30 + 2]);
  EXPECT_EQ(r.output[d + 24 * s + 2], p.pixels[0]);
}

// The strips sit before the directory: the reader seeks back to the strip,
// through the host only when it has left the queue.
TEST(StreamInput, DirectoryAfterTheStrips) {
  tiffbuild::Page p = RgbPage(64, 20);
  std::vector<uint8_t> file = tiffbuild::Writer(true).Build({p});
  for (size_t queue : {size_t{1024}, file.size() + 1}) {
    qvhost::Options o;
    o.imageType = QV_FOURCC('T', 'I', 'F', '1');
    o.inQueue = queue;
    o.test.eventLimit = 100000;
    qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(r.ok()) << r.status;
    size_t toStrip = 0;
    for (const qvhost::Event &e : r.events)
      if (e.response == ResponseSeek && e.seekTarget == 8) ++toStrip;
    EXPECT_EQ(toStrip, queue == 1024 ? 1u : 0u);
    EXPECT_EQ(InputSeeks(r), queue == 1024 ? 2u : 0u);  // to the directory and back
  }
}

// A host that plays the protocol by hand, to break it.
struct RawHost {
  ParamBlock pb{};
  std::vector<uint8_t> in, out;
  explicit RawHost(const std::vector<uint8_t> &file, size_t inSize, size_t outSize) : in(inSize), out(outSize) {
    pb.BlockSize = QV_PARAM_BLOCK_SIZE;
    pb.BlockVersion = QV_MAX_BLOCK_VERSION;
    pb.OperationCode = QV_OPERATION_CODE;
    EXPECT_EQ(Corvane(&pb, RequestInit), ResponseDone);
    pb.ImageType = QV_FOURCC('T', 'I', 'F', '1');
    pb.WholeInput = 1;
    memcpy(in.data(), file.data(), std::min(file.size(), in.size()));
    pb.InputQueue = {0, in.data(), in.data(), in.data() + std::min(file.size(), in.size()), in.data() + in.size(), 0,
                     QV_QUEUE_END_OF_DATA};
    pb.OutputQueue = {0, out.data(), out.data(), out.data(), out.data() + out.size(), 0, 0};
  }
  ~RawHost() { Corvane(&pb, RequestTerminate); }
};

TEST(StreamOutput, HostProtocolFaults) {
  std::vector<uint8_t> file = tiffbuild::Writer(false).Build({RgbPage(20, 10)});
  {
    // Output never drained.
    RawHost h(file, file.size() + 1, 100);
    int r = Corvane(&h.pb, RequestRun);
    while (r == ResponseNeedOutput || r == ResponseSeek) r = Corvane(&h.pb, RequestResume);
    EXPECT_EQ(r, ResponseError);
    EXPECT_EQ(h.pb.Status, QV_ERR_OUTPUT_STALLED);
  }
  {
    // An input queue filled to its last byte: rear at the end, front at the start.
    RawHost h(file, file.size(), 100);
    EXPECT_EQ(Corvane(&h.pb, RequestRun), ResponseError);
    EXPECT_EQ(h.pb.Status, QV_ERR_QUEUE_OVERFULL);
  }
  {
    // Queue flag bit 1 is refused when the streams start.
    RawHost h(file, file.size() + 1, 100);
    h.pb.InputQueue.flags |= 2;
    EXPECT_EQ(Corvane(&h.pb, RequestRun), ResponseError);
    EXPECT_EQ(h.pb.Status, QV_ERR_QUEUE_FLAG);
  }
}

// Output bodies: what they write, where, and what the host must end up with.
int g_outputCase;
void OutputBody(ParamBlock *block) {
  block->Flags |= QV_FLAG_FINAL_IMAGE;
  Stream stream{}, *s = &stream;
  StreamStartOutput(s, block);
  uint8_t bytes[64];
  for (int i = 0; i < 64; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  if (g_outputCase == 0) {
    // Below the committed end, inside the queue's window.
    StreamPut(s, bytes, 10);
    StreamCommit(s);
    StreamPlace(s, 4, 2);
    return;
  }
  // A header, rows handed over in batches, then the header rewritten (the
  // raw fax ending): the host must hold the new header and every row.
  memset(bytes, 0xEE, 8);
  StreamPut(s, bytes, 8);
  for (int row = 0; row < 6; ++row) {
    uint8_t line[16];
    memset(line, row, sizeof line);
    StreamPut(s, line, sizeof line);
    StreamYieldRows(s, true);
  }
  uint8_t header[8] = {'h', 'e', 'a', 'd', 'e', 'r', '!', '!'};
  StreamRewriteAt(s, header, 8, 0);
  StreamCommit(s);
}

TEST(StreamOutput, PlacementRulesAndRewrites) {
  std::vector<uint8_t> none(1);
  qvhost::TestHooks hooks;
  hooks.afterInit = [](ParamBlock *b) { SetJobBodyForTest(b, OutputBody); };
  qvhost::Options o;
  o.imageType = QV_FOURCC('T', 'I', 'F', '1');
  g_outputCase = 0;
  qvhost::Result r = qvhost::DecodeWithHooks(none.data(), none.size(), o, hooks);
  EXPECT_EQ(r.status, QV_ERR_OUTPUT_PLACEMENT);
  g_outputCase = 1;
  std::vector<uint8_t> want = {'h', 'e', 'a', 'd', 'e', 'r', '!', '!'};
  for (int row = 0; row < 6; ++row) want.insert(want.end(), 16, static_cast<uint8_t>(row));
  for (size_t queue : {5, 9, 23, 200})
    for (uint64_t seed : {0, 1, 2}) {
      o.outQueue = queue;
      o.test.chunkSeed = seed;
      r = qvhost::DecodeWithHooks(none.data(), none.size(), o, hooks);
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(r.output, want) << queue << " " << seed;
    }
}

}  // namespace
