// The request protocol and the job engine, driven through Corvane with job
// bodies supplied by the tests.
#include <gtest/gtest.h>

#include <string>
#include <fenv.h>
#include <string.h>

#include <deque>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "engine/memory.h"
#include "engine/queue.h"
#include "stream/stream.h"
#include "test_support.h"

namespace {

void InitBlock(ParamBlock &pb) {
  memset(&pb, 0, sizeof pb);
  pb.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb.BlockVersion = 20;
  pb.OperationCode = QV_OPERATION_CODE;
}

struct Queues {
  std::vector<uint8_t> in, out;
  Queues(size_t inSize, size_t outSize) : in(inSize), out(outSize) {}
  void Attach(ParamBlock &pb) {
    pb.InputQueue.start = pb.InputQueue.front = pb.InputQueue.rear = in.data();
    pb.InputQueue.end = in.data() + in.size();
    pb.OutputQueue.start = pb.OutputQueue.front = pb.OutputQueue.rear = out.data();
    pb.OutputQueue.end = out.data() + out.size();
  }
};

TEST(Requests, RefusalsAtTheRequestLevel) {
  struct Case {
    const char *name;
    int request;
    uint32_t blockSize;
    uint8_t version;
    uint32_t operation;
    int response;
    int32_t status;
    bool createsJob;
  };
  const Case cases[] = {
      {"request 0", 0, QV_PARAM_BLOCK_SIZE, 20, QV_OPERATION_CODE, 2, -1504, false},
      {"request 5", 5, QV_PARAM_BLOCK_SIZE, 20, QV_OPERATION_CODE, 2, -1504, false},
      {"version 21", 1, QV_PARAM_BLOCK_SIZE, 21, QV_OPERATION_CODE, 2, -1507, false},
      {"version 20", 1, QV_PARAM_BLOCK_SIZE, 20, QV_OPERATION_CODE, 1, 0, true},
      {"wrong size", 1, 2108 + 4, 20, QV_OPERATION_CODE, 2, -1507, false},
      {"operation 0", 1, QV_PARAM_BLOCK_SIZE, 20, 0, 2, -1506, false},
      {"operation 85011", 1, QV_PARAM_BLOCK_SIZE, 20, 85011, 2, -1506, false},
      {"run without job", 2, QV_PARAM_BLOCK_SIZE, 20, QV_OPERATION_CODE, 2, -1501, false},
      {"resume without job", 3, QV_PARAM_BLOCK_SIZE, 20, QV_OPERATION_CODE, 2, -1501, false},
      {"terminate without job", 4, QV_PARAM_BLOCK_SIZE, 20, QV_OPERATION_CODE, 1, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ParamBlock pb;
    InitBlock(pb);
    pb.BlockSize = c.blockSize;
    pb.BlockVersion = c.version;
    pb.OperationCode = c.operation;
    ParamBlock before = pb;
    EXPECT_EQ(Corvane(&pb, c.request), c.response);
    EXPECT_EQ(pb.Status, c.status);
    EXPECT_EQ(pb.ContextPointer != nullptr, c.createsJob);
    // Nothing but Status (and the context pointer of a new job) changes.
    before.Status = pb.Status;
    before.ContextPointer = pb.ContextPointer;
    EXPECT_EQ(memcmp(&before, &pb, sizeof pb), 0);
    Corvane(&pb, RequestTerminate);
    EXPECT_EQ(pb.ContextPointer, nullptr);
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

TEST(Requests, SecondInitKeepsTheFirstJob) {
  ParamBlock pb;
  InitBlock(pb);
  ASSERT_EQ(Corvane(&pb, RequestInit), 1);
  void *ctx = pb.ContextPointer;
  EXPECT_EQ(Corvane(&pb, RequestInit), 2);
  EXPECT_EQ(pb.Status, -1502);
  EXPECT_EQ(pb.ContextPointer, ctx);
  // Resume before any run is refused, the job stays.
  EXPECT_EQ(Corvane(&pb, RequestResume), 2);
  EXPECT_EQ(pb.Status, -1501);
  EXPECT_EQ(pb.ContextPointer, ctx);
  EXPECT_EQ(Corvane(&pb, RequestTerminate), 1);
  EXPECT_EQ(pb.ContextPointer, nullptr);
}

TEST(Requests, TerminateWithChangedOperationCodeStillFrees) {
  ParamBlock pb;
  InitBlock(pb);
  ASSERT_EQ(Corvane(&pb, RequestInit), 1);
  pb.OperationCode = 1;
  EXPECT_EQ(Corvane(&pb, RequestRun), 2);  // refused before the job starts
  EXPECT_EQ(pb.Status, -1506);
  EXPECT_NE(pb.ContextPointer, nullptr);
  EXPECT_EQ(Corvane(&pb, RequestTerminate), 1);
  EXPECT_EQ(pb.Status, -1506);
  EXPECT_EQ(pb.ContextPointer, nullptr);
  EXPECT_EQ(MemLiveBlocks(), 0);
}

// A copy of a block taken before request 4 still holds the ended job's
// context pointer; requests on it find no job and read nothing of the freed
// context (the sanitizer build would report it). A pointer to another
// block's live job is no job either, and that job stays intact.
TEST(Requests, StaleOrForeignContextPointerIsNoJob) {
  ParamBlock pb, copy, other;
  InitBlock(pb);
  InitBlock(other);
  ASSERT_EQ(Corvane(&pb, RequestInit), 1);
  copy = pb;
  EXPECT_EQ(Corvane(&pb, RequestTerminate), 1);
  ASSERT_EQ(Corvane(&other, RequestInit), 1);  // may reuse the freed memory
  for (void *stale : {copy.ContextPointer, other.ContextPointer}) {
    copy.ContextPointer = stale;
    for (int request : {RequestRun, RequestResume}) {
      copy.Status = 0;
      EXPECT_EQ(Corvane(&copy, request), ResponseError);
      EXPECT_EQ(copy.Status, QV_ERR_NO_JOB);
    }
    EXPECT_EQ(Corvane(&copy, RequestTerminate), ResponseDone);
  }
  EXPECT_EQ(MemLiveBlocks(), 1);  // the other job is untouched
  EXPECT_EQ(Corvane(&other, RequestTerminate), 1);
  EXPECT_EQ(MemLiveBlocks(), 0);
}

TEST(Requests, InitFailsCleanlyWithoutMemory) {
  ParamBlock pb;
  InitBlock(pb);
  MemFailNthAllocation(1);
  EXPECT_EQ(Corvane(&pb, RequestInit), 2);
  EXPECT_EQ(pb.Status, -1007);
  EXPECT_EQ(pb.ContextPointer, nullptr);
  MemFailNthAllocation(0);
  EXPECT_EQ(MemLiveBlocks(), 0);
}

// A job that reads its input byte by byte and echoes it, many suspensions.
// The byte count comes in PageNumber.
void EchoBody(ParamBlock *pb) {
  Stream s{};
  StreamStartConsuming(&s, pb);
  for (uint32_t i = 0; i < pb->PageNumber; ++i) {
    uint8_t b = StreamByte(&s);
    StreamPut(&s, &b, 1);
  }
  StreamEndConsuming(&s);
}

// Calls Corvane from a varying stack depth.
int CallAtDepth(ParamBlock *pb, int request, int depth) {
  volatile char pad[64];
  pad[0] = static_cast<char>(depth);
  if (depth > 0) return CallAtDepth(pb, request, depth - 1) + pad[0] * 0;
  return Corvane(pb, request);
}

std::vector<uint8_t> RunEcho(const std::vector<uint8_t> &data, size_t inSize, size_t outSize,
                             uint32_t seed, size_t *suspensions) {
  ParamBlock pb;
  InitBlock(pb);
  Queues q(inSize, outSize);
  EXPECT_EQ(Corvane(&pb, RequestInit), 1);
  SetJobBodyForTest(&pb, EchoBody);
  q.Attach(pb);
  pb.PageNumber = static_cast<uint32_t>(data.size());
  std::mt19937 rng(seed);
  size_t pos = 0;
  std::vector<uint8_t> out;
  int r = CallAtDepth(&pb, RequestRun, rng() % 40);
  while (r != ResponseDone && r != ResponseError) {
    ++*suspensions;
    if (r == ResponseNeedInput) {
      size_t n = std::min<size_t>(1 + rng() % QueueFree(&pb.InputQueue), data.size() - pos);
      if (n == 0) pb.InputQueue.flags |= QV_QUEUE_END_OF_DATA;
      QueuePut(&pb.InputQueue, data.data() + pos, n);
      pos += n;
    } else if (r == ResponseNeedOutput) {
      size_t n = 1 + rng() % QueueUsed(&pb.OutputQueue);
      std::vector<uint8_t> got(n);
      QueueGet(got.data(), &pb.OutputQueue, n);
      out.insert(out.end(), got.begin(), got.end());
    }
    r = CallAtDepth(&pb, RequestResume, rng() % 40);
  }
  EXPECT_EQ(r, ResponseDone);
  std::vector<uint8_t> rest(QueueUsed(&pb.OutputQueue));
  QueueGet(rest.data(), &pb.OutputQueue, rest.size());
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_NE(pb.ContextPointer, nullptr);  // held until request 4
  EXPECT_EQ(Corvane(&pb, RequestTerminate), 1);
  return out;
}

TEST(Engine, SuspendsAndResumesFromAnyHostDepth) {
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  size_t suspensions = 0;
  EXPECT_EQ(RunEcho(data, 5, 7, 1, &suspensions), data);
  EXPECT_GT(suspensions, 1000u);
  EXPECT_EQ(MemLiveBlocks(), 0);
}

TEST(Engine, InterleavedJobsMatchSequentialRuns) {
  std::vector<uint8_t> a(500), b(700);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(255 - i % 200);
  ParamBlock pa, pbk;
  InitBlock(pa);
  InitBlock(pbk);
  Queues qa(9, 6), qb(13, 8);
  ASSERT_EQ(Corvane(&pa, RequestInit), 1);
  ASSERT_EQ(Corvane(&pbk, RequestInit), 1);
  SetJobBodyForTest(&pa, EchoBody);
  SetJobBodyForTest(&pbk, EchoBody);
  qa.Attach(pa);
  qb.Attach(pbk);
  pa.PageNumber = static_cast<uint32_t>(a.size());
  pbk.PageNumber = static_cast<uint32_t>(b.size());
  struct Side {
    ParamBlock *pb;
    const std::vector<uint8_t> *data;
    size_t pos = 0;
    std::vector<uint8_t> out;
    int r = 0;
  } sides[2] = {{&pa, &a, 0, {}, 0}, {&pbk, &b, 0, {}, 0}};
  for (Side &s : sides) s.r = Corvane(s.pb, RequestRun);
  bool busy = true;
  while (busy) {
    busy = false;
    for (Side &s : sides) {
      if (s.r == ResponseDone || s.r == ResponseError) continue;
      busy = true;
      if (s.r == ResponseNeedInput) {
        size_t n = std::min<size_t>(QueueFree(&s.pb->InputQueue), s.data->size() - s.pos);
        n = std::min<size_t>(n, 3);
        if (n == 0) s.pb->InputQueue.flags |= QV_QUEUE_END_OF_DATA;
        QueuePut(&s.pb->InputQueue, s.data->data() + s.pos, n);
        s.pos += n;
      } else {
        std::vector<uint8_t> got(QueueUsed(&s.pb->OutputQueue));
        QueueGet(got.data(), &s.pb->OutputQueue, got.size());
        s.out.insert(s.out.end(), got.begin(), got.end());
      }
      s.r = Corvane(s.pb, RequestResume);
    }
  }
  for (Side &s : sides) {
    EXPECT_EQ(s.r, ResponseDone);
    std::vector<uint8_t> got(QueueUsed(&s.pb->OutputQueue));
    QueueGet(got.data(), &s.pb->OutputQueue, got.size());
    s.out.insert(s.out.end(), got.begin(), got.end());
    EXPECT_EQ(s.out, *s.data);
    Corvane(s.pb, RequestTerminate);
  }
  size_t n = 0;
  EXPECT_EQ(RunEcho(a, 9, 6, 5, &n), a);
  EXPECT_EQ(MemLiveBlocks(), 0);
}

// Takes buffers until the slots run out, then fails.
int g_buffersTaken;
void BufferHog(ParamBlock *pb) {
  g_buffersTaken = 0;
  int slot = -1;
  while (AllocJobBuffer(pb, 1000, &slot)) {
    ++g_buffersTaken;
    if (g_buffersTaken == 3) SuspendJob(pb, ResponseRowsReady);
  }
  FailJob(pb, -7003);
}

TEST(Engine, FailureFreesEveryBufferAndTheContext) {
  ParamBlock pb;
  InitBlock(pb);
  ASSERT_EQ(Corvane(&pb, RequestInit), 1);
  SetJobBodyForTest(&pb, BufferHog);
  EXPECT_EQ(Corvane(&pb, RequestRun), ResponseRowsReady);
  EXPECT_EQ(MemLiveBlocks(), 2 + 3);  // context, stack and three buffers
  EXPECT_EQ(Corvane(&pb, RequestResume), ResponseError);
  EXPECT_EQ(g_buffersTaken, 20);  // the 21st is null
  EXPECT_EQ(pb.Status, -7003);
  EXPECT_EQ(pb.ContextPointer, nullptr);
  EXPECT_EQ(MemLiveBlocks(), 0);
  EXPECT_EQ(Corvane(&pb, RequestResume), ResponseError);
  EXPECT_EQ(pb.Status, -1501);
}

// The job's buffers are held against one budget, MemoryLimit (0: 256 MiB):
// buffers that each fit but together pass it fail the job with -7003, as
// does growing one past it; freeing gives the room back.
void BudgetUser(ParamBlock *pb) {
  int a, b, c;
  if (!AllocJobBuffer(pb, 40000, &a) || !AllocJobBuffer(pb, 40000, &b)) FailJob(pb, -1);
  FreeJobBuffer(pb, a);
  if (!AllocJobBuffer(pb, 40000, &c) || !ReallocJobBuffer(pb, c, 50000)) FailJob(pb, -2);
  SuspendJob(pb, ResponseRowsReady);
  if (pb->PageNumber == 1) ReallocJobBuffer(pb, b, 60000);
  AllocJobBuffer(pb, 20000, &a);
}

TEST(Engine, BuffersAreHeldAgainstTheJobsMemoryLimit) {
  struct Case {
    uint32_t limit, page;
    int response;
  } cases[] = {{100000, 0, ResponseError}, {110000, 0, ResponseDone}, {110000, 1, ResponseError},
               {0, 1, ResponseDone}};
  for (const Case &c : cases) {
    ParamBlock pb;
    InitBlock(pb);
    ASSERT_EQ(Corvane(&pb, RequestInit), 1);
    SetJobBodyForTest(&pb, BudgetUser);
    pb.MemoryLimit = c.limit;
    pb.PageNumber = c.page;
    ASSERT_EQ(Corvane(&pb, RequestRun), ResponseRowsReady) << pb.Status;
    EXPECT_EQ(Corvane(&pb, RequestResume), c.response) << c.limit << " " << c.page;
    if (c.response == ResponseError) {
      EXPECT_EQ(pb.Status, QV_ERR_BUFFER);
    }
    Corvane(&pb, RequestTerminate);
    EXPECT_EQ(MemLiveBlocks(), 0);
  }
}

// Cleanups registered by a job run exactly once, last first, however the
// job ends: terminated at any suspension, restarted by request 2, failed, or
// terminated after it completed.
std::string g_cleaned;
void Clean(void *argument) { g_cleaned += static_cast<char>(reinterpret_cast<uintptr_t>(argument)); }
void CleanupUser(ParamBlock *pb) {
  for (char c : {'a', 'b', 'c'}) {
    if (!AddJobCleanup(pb, Clean, reinterpret_cast<void *>(static_cast<uintptr_t>(c)))) FailJob(pb, -1);
    SuspendJob(pb, ResponseRowsReady);
  }
  if (pb->PageNumber == 1) FailJob(pb, -7006);
}

TEST(Engine, CleanupsRunOnceLastFirstHoweverTheJobEnds) {
  struct Case {
    int resumes;      // requests 3 before the end
    bool restart;     // request 2 then, before request 4
    uint32_t fail;    // the body fails after its last suspension
    const char *want;
  } cases[] = {{0, false, 0, "a"},   {1, false, 0, "ba"},  {2, false, 0, "cba"}, {3, false, 0, "cba"},
               {3, false, 1, "cba"}, {1, true, 0, "baa"},  {2, true, 0, "cbaa"}};
  for (const Case &c : cases) {
    g_cleaned.clear();
    ParamBlock pb;
    InitBlock(pb);
    ASSERT_EQ(Corvane(&pb, RequestInit), 1);
    SetJobBodyForTest(&pb, CleanupUser);
    pb.PageNumber = c.fail;
    int r = Corvane(&pb, RequestRun);
    for (int i = 0; i < c.resumes; ++i) r = Corvane(&pb, RequestResume);
    if (c.fail) {
      EXPECT_EQ(r, ResponseError);
    }
    if (c.restart) {
      EXPECT_EQ(Corvane(&pb, RequestRun), ResponseRowsReady);
    }
    Corvane(&pb, RequestTerminate);
    EXPECT_EQ(g_cleaned, c.want) << c.resumes << (c.restart ? " restart" : "") << (c.fail ? " fail" : "");
    EXPECT_EQ(MemLiveBlocks(), 0);
  }
}

// Suspends at many points holding buffers; the host terminates at each one.
void ManySuspensions(ParamBlock *pb) {
  int slot;
  for (int i = 0; i < 12; ++i) {
    AllocJobBuffer(pb, 64 << i, &slot);
    SuspendJob(pb, i % 2 ? ResponseNeedInput : ResponseNeedOutput);
  }
  FreeJobBuffer(pb, 0);
  FreeJobBuffer(pb, 0);  // a free slot is left alone
}

TEST(Engine, TerminateAtEverySuspensionFreesEverything) {
  for (int stop = 0; stop <= 13; ++stop) {
    SCOPED_TRACE(stop);
    ParamBlock pb;
    InitBlock(pb);
    ASSERT_EQ(Corvane(&pb, RequestInit), 1);
    SetJobBodyForTest(&pb, ManySuspensions);
    int r = Corvane(&pb, RequestRun);
    for (int i = 0; i < stop && r != ResponseDone; ++i) r = Corvane(&pb, RequestResume);
    if (stop == 13) {
      EXPECT_EQ(r, ResponseDone);
    }
    EXPECT_EQ(Corvane(&pb, RequestTerminate), 1);
    EXPECT_EQ(pb.ContextPointer, nullptr);
    EXPECT_EQ(MemLiveBlocks(), 0);
  }
}

TEST(Engine, RunRestartsASuspendedJob) {
  ParamBlock pb;
  InitBlock(pb);
  ASSERT_EQ(Corvane(&pb, RequestInit), 1);
  SetJobBodyForTest(&pb, ManySuspensions);
  EXPECT_EQ(Corvane(&pb, RequestRun), ResponseNeedOutput);
  EXPECT_EQ(Corvane(&pb, RequestResume), ResponseNeedInput);
  EXPECT_EQ(MemLiveBlocks(), 4);  // context, stack, two buffers
  // Starting again runs the body from its beginning on the same stack; held
  // buffers stay until the end.
  EXPECT_EQ(Corvane(&pb, RequestRun), ResponseNeedOutput);
  EXPECT_EQ(MemLiveBlocks(), 5);
  EXPECT_EQ(Corvane(&pb, RequestTerminate), 1);
  EXPECT_EQ(MemLiveBlocks(), 0);
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

// Not instrumented for the address sanitizer: it may move the frame's array
// to a heap-backed fake stack, and the frames must be on the job's stack.
#if defined(__clang__)
__attribute__((noinline, no_sanitize("address")))  // clang has no noipa
#else
__attribute__((noinline, noipa, no_sanitize("address")))
#endif
void DeepRecursion(ParamBlock *pb) {
  [[maybe_unused]] volatile uint8_t frame[512];
  for (int i = 0; i < 512; ++i) frame[i] = static_cast<uint8_t>(i);  // every byte touched
  (void)frame;
  if (pb->PageNumber-- > 0) DeepRecursion(pb);
  SuspendJob(pb, ResponseRowsReady);
}

size_t HighWaterAtDepth(uint32_t depth, int *response, int32_t *status) {
  ParamBlock pb;
  InitBlock(pb);
  EXPECT_EQ(Corvane(&pb, RequestInit), 1);
  SetJobBodyForTest(&pb, DeepRecursion);
  MeasureJobStackForTest(&pb);
  pb.PageNumber = depth;
  *response = Corvane(&pb, RequestRun);
  *status = pb.Status;
  size_t used = JobStackHighWater(&pb);
  Corvane(&pb, RequestTerminate);
  return used;
}

TEST(Engine, StackHighWaterAndOverflowGuard) {
  int r;
  int32_t status;
  size_t used10 = HighWaterAtDepth(10, &r, &status);
  EXPECT_EQ(r, ResponseRowsReady);
  size_t used20 = HighWaterAtDepth(20, &r, &status);
  size_t frame = (used20 - used10) / 10;
  EXPECT_GE(frame, 512u);
  EXPECT_LT(used20, kJobStackSize - kStackGuardSize);
  if (kThreadSanitizer) {
    // Its runtime, entered from the deepest frame, needs more stack than the
    // guard zone leaves; the guard page itself is tested on the other builds.
    qvtest::NotRun("the overflow half: the thread sanitizer's runtime needs more than the guard zone");
    return;
  }
  // Deep enough to end in the middle of the guard zone, not beyond it.
  uint32_t depth = static_cast<uint32_t>(10 + (kJobStackSize - kStackGuardSize / 2 - used10) / frame);
  HighWaterAtDepth(depth, &r, &status);
  EXPECT_EQ(r, ResponseError);
  EXPECT_EQ(status, QV_ERR_STACK_OVERFLOW);
  EXPECT_EQ(MemLiveBlocks(), 0);
}

#if !defined(_WIN32)
// Below the stack lies a page that no access may touch: an overrun that
// passes the guard zone faults at once instead of writing over memory that
// is not the job's.
void TouchBelowStack(ParamBlock *pb) { JobContext(pb)->Stack.Low[-1 - static_cast<int>(pb->PageNumber)] = 1; }

TEST(EngineDeathTest, TheStackHasAGuardPageBelowIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (uint32_t below : {0u, 4095u}) {
    EXPECT_DEATH(
        {
          ParamBlock pb;
          InitBlock(pb);
          Corvane(&pb, RequestInit);
          SetJobBodyForTest(&pb, TouchBelowStack);
          pb.PageNumber = below;
          Corvane(&pb, RequestRun);
        },
        "")
        << below;
  }
}
#endif

// A queue that had no storage when the job left may be given storage the job
// start would accept (the TIFF streams start that way); other storage ends
// the job with -7005 before the body runs on.
void WaitForOutputStorage(ParamBlock *pb) {
  SuspendJob(pb, ResponseNeedOutput);
  const uint8_t b = 7;
  Stream s{};
  StreamStartOutput(&s, pb);
  StreamPut(&s, &b, 1);
  StreamCommit(&s);
}

TEST(Engine, StorageGivenToAQueueWithoutAny) {
  struct Case {
    const char *name;
    size_t size, front;
    int response;
  };
  const Case cases[] = {
      {"5 bytes", 5, 0, ResponseDone},
      {"4 bytes", 4, 0, ResponseError},
      {"front at the end", 8, 8, ResponseError},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ParamBlock pb;
    InitBlock(pb);
    ASSERT_EQ(Corvane(&pb, RequestInit), 1);
    SetJobBodyForTest(&pb, WaitForOutputStorage);
    ASSERT_EQ(Corvane(&pb, RequestRun), ResponseNeedOutput);
    std::vector<uint8_t> storage(c.size, 0);
    DataQueue &q = pb.OutputQueue;
    q.start = q.rear = storage.data();
    q.front = storage.data() + c.front;
    q.end = storage.data() + c.size;
    EXPECT_EQ(Corvane(&pb, RequestResume), c.response);
    EXPECT_EQ(pb.Status, c.response == ResponseDone ? 0 : QV_ERR_BAD_OPTION);
    EXPECT_EQ(storage[0], c.response == ResponseDone ? 7 : 0);
    Corvane(&pb, RequestTerminate);
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

// Each side keeps its own floating-point control state across switches.
int g_jobRounding;
void RoundingBody(ParamBlock *pb) {
  fesetround(FE_UPWARD);
  SuspendJob(pb, ResponseRowsReady);
  g_jobRounding = fegetround();
}

TEST(Engine, ControlWordsBelongToEachSide) {
  ParamBlock pb;
  InitBlock(pb);
  ASSERT_EQ(Corvane(&pb, RequestInit), 1);
  SetJobBodyForTest(&pb, RoundingBody);
  ASSERT_EQ(fegetround(), FE_TONEAREST);
  EXPECT_EQ(Corvane(&pb, RequestRun), ResponseRowsReady);
  EXPECT_EQ(fegetround(), FE_TONEAREST);  // the job's setting stayed with the job
  fesetround(FE_TOWARDZERO);
  EXPECT_EQ(Corvane(&pb, RequestResume), ResponseDone);
  EXPECT_EQ(g_jobRounding, FE_UPWARD);
  EXPECT_EQ(fegetround(), FE_TOWARDZERO);
  fesetround(FE_TONEAREST);
  Corvane(&pb, RequestTerminate);
}

// A consuming stream's operations against a std::deque model: random storage
// sizes, start positions, host chunking and operation sizes. At every
// response the input queue holds exactly the bytes not yet read and the
// output queue every byte written, as the classic readers' hosts expect.
struct QueueScript {
  std::vector<uint8_t> input;
  std::vector<uint8_t> expectedOutput;
  bool inputInOrder = true;
  uint32_t seed;
} g_script;

void QueueOpsBody(ParamBlock *pb) {
  Stream s{};
  StreamStartConsuming(&s, pb);
  std::mt19937 rng(g_script.seed);
  size_t consumed = 0;
  uint8_t buf[200];
  const uint8_t *expect = g_script.input.data();
  while (consumed < g_script.input.size()) {
    size_t n = std::min<size_t>(1 + rng() % 150, g_script.input.size() - consumed);
    switch (rng() % 5) {
      case 0:
        StreamRead(&s, buf, n);
        g_script.inputInOrder &= memcmp(buf, expect + consumed, n) == 0;
        g_script.expectedOutput.insert(g_script.expectedOutput.end(), buf, buf + n);
        StreamPut(&s, buf, n);
        break;
      case 1:
        StreamSkip(&s, n);
        break;
      case 2:
        g_script.expectedOutput.insert(g_script.expectedOutput.end(), expect + consumed,
                                       expect + consumed + n);
        StreamCopyInput(&s, n);
        break;
      case 3: {
        uint8_t v = static_cast<uint8_t>(rng());
        g_script.expectedOutput.insert(g_script.expectedOutput.end(), n, v);
        StreamFill(&s, v, n);
        StreamSkip(&s, n);
        break;
      }
      default:
        StreamRead(&s, buf, n);
        g_script.inputInOrder &= memcmp(buf, expect + consumed, n) == 0;
        break;
    }
    consumed += n;
  }
  StreamEndConsuming(&s);
}

TEST(Queues, MatchADequeModel) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    size_t inSize = 5 + rng() % 60, outSize = 5 + rng() % 60;
    g_script = {};
    g_script.seed = rng();
    g_script.input.resize(200 + rng() % 800);
    for (uint8_t &b : g_script.input) b = static_cast<uint8_t>(rng());
    ParamBlock pb;
    InitBlock(pb);
    ASSERT_EQ(Corvane(&pb, RequestInit), 1);
    SetJobBodyForTest(&pb, QueueOpsBody);
    // Exact-size heap storage so that any stray access is caught by the sanitizer.
    std::unique_ptr<uint8_t[]> in(new uint8_t[inSize]), out(new uint8_t[outSize]);
    DataQueue &iq = pb.InputQueue, &oq = pb.OutputQueue;
    iq.start = in.get();
    iq.end = in.get() + inSize;
    iq.front = iq.rear = in.get() + rng() % inSize;
    oq.start = out.get();
    oq.end = out.get() + outSize;
    oq.front = oq.rear = out.get() + rng() % outSize;
    // The host's model of each queue: what it put in and has not seen taken out.
    std::deque<uint8_t> inModel;
    size_t pos = 0;
    std::vector<uint8_t> received;
    int r = Corvane(&pb, RequestRun);
    while (r == ResponseNeedInput || r == ResponseNeedOutput) {
      // The job consumed from the front of the model.
      size_t left = QueueUsed(&iq);
      ASSERT_LE(left, inModel.size());
      inModel.erase(inModel.begin(), inModel.end() - left);
      if (r == ResponseNeedInput) {
        EXPECT_EQ(QueueUsed(&iq), 0u);
        size_t n = std::min<size_t>(1 + rng() % QueueFree(&iq), g_script.input.size() - pos);
        ASSERT_GT(n, 0u);
        QueuePut(&iq, g_script.input.data() + pos, n);
        inModel.insert(inModel.end(), g_script.input.begin() + pos, g_script.input.begin() + pos + n);
        pos += n;
        // What the queue holds, read without consuming, equals the model.
        std::vector<uint8_t> peek(QueueUsed(&iq));
        DataQueue copy = iq;
        QueueGet(peek.data(), &copy, peek.size());
        EXPECT_TRUE(std::equal(peek.begin(), peek.end(), inModel.begin(), inModel.end()));
      } else {
        EXPECT_EQ(QueueFree(&oq), 0u);
        size_t n = 1 + rng() % QueueUsed(&oq);
        std::vector<uint8_t> got(n);
        QueueGet(got.data(), &oq, n);
        received.insert(received.end(), got.begin(), got.end());
      }
      r = Corvane(&pb, RequestResume);
    }
    ASSERT_EQ(r, ResponseDone) << pb.Status;
    std::vector<uint8_t> rest(QueueUsed(&oq));
    QueueGet(rest.data(), &oq, rest.size());
    received.insert(received.end(), rest.begin(), rest.end());
    EXPECT_EQ(received, g_script.expectedOutput);
    EXPECT_TRUE(g_script.inputInOrder);
    Corvane(&pb, RequestTerminate);
  }
  EXPECT_EQ(MemLiveBlocks(), 0);
}

TEST(Queues, ArithmeticAtTheEdges) {
  uint8_t storage[8];
  DataQueue q{};
  q.start = storage;
  q.end = storage + 8;
  q.front = q.rear = storage + 3;
  EXPECT_EQ(QueueFree(&q), 7u);
  EXPECT_EQ(QueueUsed(&q), 0u);
  const uint8_t data[7] = {1, 2, 3, 4, 5, 6, 7};
  QueuePut(&q, data, 5);  // ends exactly at end: stored as start
  EXPECT_EQ(q.rear, storage);
  QueuePut(&q, data + 5, 2);
  EXPECT_EQ(QueueFree(&q), 0u);
  uint8_t got[7];
  QueueGet(got, &q, 7);
  EXPECT_EQ(memcmp(got, data, 7), 0);
  q.front = q.end;  // a position at end stands for start
  q.rear = q.start;
  EXPECT_EQ(QueueUsed(&q), 0u);
}

void ExtraBody(ParamBlock *pb) {
  Stream s{};
  StreamStartConsuming(&s, pb);
  pb->Progress = ReserveExtra(pb, 100) ? 1 : 0;
  if (pb->Progress) StreamReadExtraRecord(&s, 92, 0x1000);
  StreamEndConsuming(&s);
}

TEST(Queues, ReserveExtraAsksOnceAndHonoursTheAnswer) {
  for (bool grow : {true, false}) {
    SCOPED_TRACE(grow);
    ParamBlock pb;
    InitBlock(pb);
    Queues q(200, 16);
    std::vector<uint8_t> small(10), big(100);
    ASSERT_EQ(Corvane(&pb, RequestInit), 1);
    SetJobBodyForTest(&pb, ExtraBody);
    q.Attach(pb);
    std::vector<uint8_t> payload(92, 0xAB);
    QueuePut(&pb.InputQueue, payload.data(), payload.size());
    pb.ExtraBuffer = small.data();
    pb.ExtraCapacity = 10;
    ASSERT_EQ(Corvane(&pb, RequestRun), ResponseNeedExtra);
    EXPECT_EQ(pb.ExtraShortfall, 90u);
    if (grow) {
      pb.ExtraBuffer = big.data();
      pb.ExtraCapacity = 100;
    }
    ASSERT_EQ(Corvane(&pb, RequestResume), ResponseDone);
    EXPECT_EQ(pb.Progress, grow ? 1 : 0);
    EXPECT_EQ(pb.ExtraUsed, grow ? 100u : 0u);
    if (grow) {
      EXPECT_EQ(big[0], 0x00);
      EXPECT_EQ(big[1], 0x10);
      EXPECT_EQ(big[4], 92);
      EXPECT_EQ(big[8], 0xAB);
      EXPECT_EQ(big[99], 0xAB);
    }
    Corvane(&pb, RequestTerminate);
  }
}

}  // namespace
