// Job start checks, the classic readers' row delivery over a consuming
// stream, and the host library's side of the protocol, driven through Corvane.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

#include "engine/engine.h"
#include "engine/memory.h"
#include "engine/queue.h"
#include "output/stream_rows.h"
#include "quorvin_host.h"
#include "stream/stream.h"

namespace {

struct Job {
  ParamBlock pb;
  std::vector<uint8_t> in, out;
  Job(size_t inSize, size_t outSize) : in(inSize), out(outSize) {
    memset(&pb, 0, sizeof pb);
    pb.BlockSize = QV_PARAM_BLOCK_SIZE;
    pb.BlockVersion = 20;
    pb.OperationCode = QV_OPERATION_CODE;
    EXPECT_EQ(Corvane(&pb, RequestInit), 1);
    pb.InputQueue.start = pb.InputQueue.front = pb.InputQueue.rear = in.data();
    pb.InputQueue.end = in.data() + in.size();
    pb.OutputQueue.start = pb.OutputQueue.front = pb.OutputQueue.rear = out.data();
    pb.OutputQueue.end = out.data() + out.size();
  }
  ~Job() { Corvane(&pb, RequestTerminate); }
};

// The input is empty and ended, so a job that passes every check reaches the
// TIFF reader and ends with -1013 (or -7107 when the input queue is filled to
// its end); a refused one ends with the check's status.
TEST(JobStart, ChecksInOrder) {
  const uint32_t tif1 = QV_FOURCC('T', 'I', 'F', '1');
  const int32_t passed = QV_ERR_INPUT_ENDED;
  struct Case {
    const char *name;
    void (*setup)(Job &);
    int32_t status;
  };
  const Case cases[] = {
      {"known type passes", [](Job &) {}, passed},
      {"reversed code", [](Job &j) { j.pb.ImageType = QV_FOURCC('1', 'F', 'I', 'T'); }, -7004},
      {"bad type wins over bad queues",
       [](Job &j) {
         j.pb.ImageType = 0x12345678;
         j.pb.InputQueue.end = j.pb.InputQueue.start;
       },
       -7004},
      {"5-byte input queue", [](Job &j) { j.pb.InputQueue.end = j.pb.InputQueue.start + 5; }, passed},
      {"4-byte input queue", [](Job &j) { j.pb.InputQueue.end = j.pb.InputQueue.start + 4; }, -7005},
      {"4-byte output queue", [](Job &j) { j.pb.OutputQueue.end = j.pb.OutputQueue.start + 4; }, -7005},
      {"rear at end", [](Job &j) { j.pb.InputQueue.rear = j.pb.InputQueue.end; }, QV_ERR_QUEUE_OVERFULL},
      {"front at end", [](Job &j) { j.pb.InputQueue.front = j.pb.InputQueue.end; }, -7005},
      {"front before start", [](Job &j) { j.pb.OutputQueue.front = j.pb.OutputQueue.start - 1; }, -7005},
      {"rear past end", [](Job &j) { j.pb.OutputQueue.rear = j.pb.OutputQueue.end + 1; }, -7005},
      {"WholeInput 1", [](Job &j) { j.pb.WholeInput = 1; }, passed},
      {"WholeInput 2", [](Job &j) { j.pb.WholeInput = 2; }, -7005},
      {"InterlaceMode 5", [](Job &j) { j.pb.InterlaceMode = 5; }, passed},
      {"InterlaceMode 6", [](Job &j) { j.pb.InterlaceMode = 6; }, -7005},
      {"ExtraBuffer without capacity", [](Job &j) { j.pb.ExtraBuffer = j.in.data(); }, -7005},
      {"capacity without ExtraBuffer", [](Job &j) { j.pb.ExtraCapacity = 10; }, passed},
      {"ExtraUsed left over", [](Job &j) { j.pb.ExtraUsed = 1; }, -7005},
      {"ExtraShortfall left over", [](Job &j) { j.pb.ExtraShortfall = 1; }, -7005},
      {"option A", [](Job &j) { j.pb.OptionA = 1; }, -7005},
      {"option B", [](Job &j) { j.pb.OptionB = 1; }, -7005},
      {"option C 1", [](Job &j) { j.pb.OptionC = 1; }, passed},
      {"option C 2", [](Job &j) { j.pb.OptionC = 2; }, -7005},
      {"option byte", [](Job &j) { j.pb.OptionByte = 1; }, -7005},
      {"last option word", [](Job &j) { j.pb.OptionWords[6] = 1; }, -7005},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Job j(64, 64);
    j.pb.ImageType = tif1;
    j.pb.InputQueue.flags = QV_QUEUE_END_OF_DATA;
    c.setup(j);
    EXPECT_EQ(Corvane(&j.pb, RequestRun), ResponseError);
    EXPECT_EQ(j.pb.Status, c.status);
    EXPECT_EQ(j.pb.ContextPointer, nullptr);
    // The fields the job start owns were written before any check.
    EXPECT_EQ(j.pb.StartWords[0], 1);
    EXPECT_EQ(j.pb.StartWords[3], 1);
    EXPECT_STREQ(j.pb.Description, "Bitmap, Targa, PCX, GIF or TIFF Input");
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

TEST(JobStart, WholeInputQueueIsRestoredAtTheEnd) {
  Job j(64, 64);
  j.pb.ImageType = QV_FOURCC('T', 'I', 'F', '1');
  j.pb.WholeInput = 1;
  j.pb.InputQueue.rear = j.pb.InputQueue.start + 10;
  j.pb.InputQueue.front = j.pb.InputQueue.start + 3;
  EXPECT_EQ(Corvane(&j.pb, RequestRun), ResponseError);
  EXPECT_EQ(j.pb.InputQueue.front, j.pb.InputQueue.start);
  EXPECT_EQ(j.pb.InputQueue.rear, j.pb.InputQueue.start);
  EXPECT_EQ(j.pb.InputQueue.end, j.in.data() + 64);
}

// Row delivery through a job body: rows of `stride` bytes whose bytes all
// equal the row number, produced in order 0, 1, 2, ...
uint32_t g_rows, g_stride, g_header;
bool g_flipped;
void RowsBody(ParamBlock *pb) {
  pb->Flags |= QV_FLAG_FINAL_IMAGE;  // as the job start does
  Stream s{};
  StreamStartConsuming(&s, pb);
  StreamRows d;
  StreamRowsStart(&d, &s, ReadJobOptions(pb), g_stride, g_rows, g_header, g_flipped);
  if (g_header) StreamFill(&s, 0xEE, g_header);
  int slot;
  uint8_t *row = static_cast<uint8_t *>(AllocJobBuffer(pb, g_stride, &slot));
  for (uint32_t i = 0; i < g_rows; ++i) {
    memset(row, static_cast<int>(i), g_stride);
    StreamRowsDeliver(&d, row);
  }
  StreamRowsFinish(&d);
  StreamEndConsuming(&s);
}

struct Delivered {
  int32_t status = 0;
  std::vector<uint8_t> output;
  std::vector<uint32_t> seeks;
  size_t batches = 0;
};

Delivered RunRows(size_t outQueue, uint32_t flags, uint32_t batch, uint64_t seed) {
  // The host library drives the job; the seam swaps in the row body.
  qvhost::Options o;
  o.imageType = 0;  // not a TIFF type: the host serves the plain protocol
  o.outQueue = outQueue;
  o.flags = flags;
  o.rowsPerBatch = batch;
  o.test.chunkSeed = seed;
  o.test.eventLimit = 100000;
  o.extra = false;
  Delivered out;
  // Install the body right after request 1 through the test hook.
  qvhost::TestHooks hooks;
  hooks.afterInit = [](ParamBlock *pb) { SetJobBodyForTest(pb, RowsBody); };
  qvhost::Result r = qvhost::DecodeWithHooks(nullptr, 0, o, hooks);
  out.status = r.status;
  out.output = r.output;
  for (const qvhost::Event &e : r.events)
    if (e.response == ResponseSeek) out.seeks.push_back(e.seekTarget);
  out.batches = r.counts[ResponseRowsReady];
  return out;
}

TEST(StreamRows, FlippedBandsArriveFromTheEnd) {
  g_rows = 5, g_stride = 8, g_header = 0, g_flipped = true;
  Delivered d = RunRows(2 * 8 + 1, 0, 0, 0);  // room for 2 rows per band
  EXPECT_EQ(d.status, 0);
  const uint32_t s = 8;
  EXPECT_EQ(d.seeks, (std::vector<uint32_t>{QV_SEEK_OUTPUT + 3 * s, QV_SEEK_OUTPUT + s, QV_SEEK_OUTPUT + 0}));
  ASSERT_EQ(d.output.size(), 5 * s);
  for (uint32_t pos = 0; pos < 5; ++pos) EXPECT_EQ(d.output[pos * s], 4 - pos) << pos;
}

TEST(StreamRows, FlippedNeedsRoomForOneRow) {
  g_rows = 5, g_stride = 8, g_header = 0, g_flipped = true;
  EXPECT_EQ(RunRows(8, 0, 0, 0).status, QV_ERR_FLIP_ROOM);
  Delivered d = RunRows(9, 0, 0, 0);
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.seeks.size(), 5u);
  for (uint32_t pos = 0; pos < 5; ++pos) EXPECT_EQ(d.output[pos * 8], 4 - pos);
}

TEST(StreamRows, FlippedWithHeaderAndRandomDraining) {
  // Bands never reach into the header, whatever the band size and chunking.
  for (size_t queue : {13u, 25u, 40u, 200u}) {
    for (uint64_t seed : {0u, 5u, 77u}) {
      SCOPED_TRACE(queue * 1000 + seed);
      g_rows = 11, g_stride = 12, g_header = 44, g_flipped = true;
      Delivered d = RunRows(queue, QV_FLAG_HEADER, 0, seed);
      ASSERT_EQ(d.status, 0);
      ASSERT_EQ(d.output.size(), 44u + 11 * 12);
      for (size_t i = 0; i < 44; ++i) ASSERT_EQ(d.output[i], 0xEE);
      for (uint32_t pos = 0; pos < 11; ++pos)
        for (uint32_t b = 0; b < 12; ++b) ASSERT_EQ(d.output[44 + pos * 12 + b], 10 - pos);
    }
  }
}

TEST(StreamRows, BatchesOfZeroCountAsOne) {
  g_rows = 7, g_stride = 4, g_header = 0, g_flipped = false;
  struct Case {
    uint32_t flags, batch;
    size_t batches;
  };
  const Case cases[] = {{QV_FLAG_BATCH, 0, 7}, {QV_FLAG_BATCH, 1, 7}, {QV_FLAG_BATCH, 3, 2}, {0, 3, 0}};
  for (const Case &c : cases) {
    Delivered d = RunRows(100, c.flags, c.batch, 0);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.batches, c.batches) << c.flags << " " << c.batch;
    ASSERT_EQ(d.output.size(), 28u);
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(d.output[i * 4], i);
  }
}

TEST(StreamRows, StrideAndGreyTable) {
  struct Case {
    uint32_t bits;
    int64_t width;
    uint32_t stride;
  };
  for (const Case &c : {Case{1, 1, 4}, Case{1, 33, 8}, Case{24, 3, 12}, Case{8, 5, 8}, Case{4, 9, 8}}) {
    uint32_t s = 0;
    EXPECT_TRUE(ComputeStride(c.bits, c.width, &s));
    EXPECT_EQ(s, c.stride);
  }
  uint32_t s;
  EXPECT_FALSE(ComputeStride(24, 0, &s));
  EXPECT_FALSE(ComputeStride(24, -5, &s));
  EXPECT_FALSE(ComputeStride(32, int64_t{1} << 30, &s));
  uint32_t size;
  EXPECT_FALSE(ComputeImageSize(0x10000, 0x10000, &size));
  EXPECT_TRUE(ComputeImageSize(12, -3, &size));
  EXPECT_EQ(size, 36u);
  PaletteEntry bw[2] = {{0, 0, 0, 0}, {255, 255, 255, 7}};
  PaletteEntry blue[2] = {{0, 0, 0, 0}, {255, 0, 0, 0}};
  EXPECT_TRUE(IsGreyPalette(bw, 2));
  EXPECT_FALSE(IsGreyPalette(blue, 2));
  EXPECT_FALSE(IsGreyPalette(bw, 0));
  EXPECT_EQ(kExpand5[0], 0);
  EXPECT_EQ(kExpand5[5], 41);
  EXPECT_EQ(kExpand5[31], 255);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(kExpand5[i], i * 255 / 31);
}

// A body that exercises the host side: input seeks from the start and from
// the end, an output seek, and a request for extra room.
std::vector<uint8_t> g_file;
void SeekingBody(ParamBlock *pb) {
  pb->Flags |= QV_FLAG_FINAL_IMAGE;
  Stream s{};
  StreamStartConsuming(&s, pb);
  uint8_t buf[16];
  StreamRead(&s, buf, 4);
  StreamPut(&s, buf, 4);
  StreamMoveInput(&s, QV_SEEK_FROM_END | 5);  // 5 bytes before the end
  StreamRead(&s, buf, 5);
  StreamPut(&s, buf, 5);
  StreamMoveInput(&s, 100);  // from the start
  StreamRead(&s, buf, 3);
  StreamMoveOutput(&s, 20);
  StreamPut(&s, buf, 3);
  if (ReserveExtra(pb, 300)) StreamReadExtraRecord(&s, 292, 0x1234);
  StreamEndConsuming(&s);
}

TEST(HostLibrary, ServesSeeksAndExtraRoomUnderAnyChunking) {
  g_file.resize(1000);
  for (size_t i = 0; i < g_file.size(); ++i) g_file[i] = static_cast<uint8_t>(i * 7);
  for (uint64_t seed : {0u, 1u, 2u, 3u, 99u}) {
    for (size_t inQ : {5u, 17u, 4096u}) {
      SCOPED_TRACE(seed * 10000 + inQ);
      qvhost::Options o;
      o.imageType = 0;
      o.inQueue = inQ;
      o.outQueue = 6;
      o.test.chunkSeed = seed;
      o.extraInitial = 16;
      qvhost::TestHooks hooks;
      hooks.afterInit = [](ParamBlock *pb) { SetJobBodyForTest(pb, SeekingBody); };
      qvhost::Result r = qvhost::DecodeWithHooks(g_file.data(), g_file.size(), o, hooks);
      ASSERT_TRUE(r.ok()) << r.status;
      ASSERT_EQ(r.output.size(), 23u);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(r.output[i], g_file[i]);
      for (int i = 0; i < 5; ++i) EXPECT_EQ(r.output[4 + i], g_file[995 + i]);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(r.output[20 + i], g_file[100 + i]);
      ASSERT_EQ(r.extras.size(), 1u);
      EXPECT_EQ(r.extras[0].kind, 0x1234u);
      EXPECT_TRUE(std::equal(r.extras[0].data.begin(), r.extras[0].data.end(), g_file.begin() + 103));
      EXPECT_EQ(r.counts[ResponseNeedExtra], 1u);
    }
  }
}

}  // namespace
