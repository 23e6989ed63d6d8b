// The positioned streams, driven through the host library with job bodies
// that read (and place) at chosen positions.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

#include "engine/engine.h"
#include "stream/stream.h"
#include "test_support.h"

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
  TiffStartInput(block);
  StreamState *s = JobStream(block);
  static uint8_t reversal[kReversalBufferSize];
  if (g_reverse) TiffReverseInput(block, reversal);
  for (const ReadStep &st : g_steps) {
    if (st.position != UINT32_MAX) {
      TiffSeek(block, st.position);
      if (TiffInputPosition(block) != st.position) FailJob(block, -1);
    }
    switch (st.kind) {
      case 0: {
        size_t at = g_got.size();
        g_got.resize(at + st.length);
        TiffReadBytes(block, g_got.data() + at, st.length);
        break;
      }
      case 1:
        for (uint32_t i = 0; i < st.length / 2; ++i) {
          uint16_t w = NextStripWord(block);
          g_got.push_back(static_cast<uint8_t>(w));
          g_got.push_back(static_cast<uint8_t>(w >> 8));
        }
        break;
      case 2:
        for (uint32_t i = 0; i < st.length / 4; ++i) {
          uint32_t v = NextStripLong(block);
          for (int k = 0; k < 4; ++k) g_got.push_back(static_cast<uint8_t>(v >> (8 * k)));
        }
        break;
      default:
        TiffSkipBytes(block, st.length - 1);
        g_got.push_back(StreamByte(block, s));
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
        o.chunkSeed = seed;
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

}  // namespace
