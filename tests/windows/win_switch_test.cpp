// The Windows context switch: a job runs with its own stack bounds and exception
// chain in the thread information block, the host gets its own back on every
// return, and structured exceptions raised inside a job reach a handler that
// the job registered on its own stack.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include "engine/engine.h"

namespace {

struct TibWords {
  void *chain, *base, *limit;
  bool operator==(const TibWords &o) const {
    return chain == o.chain && base == o.base && limit == o.limit;
  }
};

TibWords ReadTib() {
  NT_TIB *tib;
  asm volatile("movl %%fs:0x18, %0" : "=r"(tib));  // the block's own linear address
  return {tib->ExceptionList, tib->StackBase, tib->StackLimit};
}

// What the job body saw, per job.
struct Seen {
  int visits = 0;
  bool boundsOk = true, chainOk = true, localInside = true, handled = false;
};
Seen g_seen[2];

Seen &SeenFor(ParamBlock *block) { return g_seen[block->PageNumber]; }

void Observe(ParamBlock *block) {
  DecoderContext *ctx = JobContext(block);
  Seen &s = SeenFor(block);
  const TibWords t = ReadTib();
  int local = 0;
  ++s.visits;
  s.boundsOk &= t.base == ctx->Stack.Low + ctx->Stack.Size && t.limit == ctx->Stack.Low;
  s.chainOk &= t.chain == reinterpret_cast<void *>(-1);
  s.localInside &= reinterpret_cast<uint8_t *>(&local) >= ctx->Stack.Low &&
                   reinterpret_cast<uint8_t *>(&local) < ctx->Stack.Low + ctx->Stack.Size;
}

void ObservingBody(ParamBlock *block) {
  for (int i = 0; i < 3; ++i) {
    Observe(block);
    SuspendJob(block, ResponseNeedInput);
  }
  Observe(block);
}

// A frame-based handler registered by hand: the system accepts the frame only
// if it lies between the thread's stack limit and stack base.
struct Registration {
  Registration *next;
  void *handler;
};

extern "C" EXCEPTION_DISPOSITION __cdecl ContinueHandler(EXCEPTION_RECORD *record, void *, CONTEXT *,
                                                         void *) {
  if (record->ExceptionCode != 0xE0517601u) return ExceptionContinueSearch;
  g_seen[0].handled = true;
  return ExceptionContinueExecution;
}

void RaisingBody(ParamBlock *block) {
  Registration reg;
  asm volatile("movl %%fs:0, %0" : "=r"(reg.next));
  reg.handler = reinterpret_cast<void *>(&ContinueHandler);
  asm volatile("movl %0, %%fs:0" : : "r"(&reg) : "memory");
  SuspendJob(block, ResponseNeedInput);  // the registration survives a round trip to the host
  RaiseException(0xE0517601u, 0, 0, nullptr);
  asm volatile("movl %0, %%fs:0" : : "r"(reg.next) : "memory");
}

void StartJob(ParamBlock &pb, int index, JobBody body) {
  memset(&pb, 0, sizeof pb);
  pb.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb.BlockVersion = 20;
  pb.OperationCode = QV_OPERATION_CODE;
  pb.PageNumber = index;
  ASSERT_EQ(Corvane(&pb, RequestInit), ResponseDone);
  SetJobBodyForTest(&pb, body);
}

// Calls Corvane from a deeper host frame, so the host side is saved anew.
__attribute__((noinline)) int32_t DeepCall(ParamBlock *pb, int32_t request, int depth) {
  volatile uint8_t pad[256];
  pad[0] = static_cast<uint8_t>(depth);
  if (depth > 0) return DeepCall(pb, request, depth - 1) + pad[0] * 0;
  return Corvane(pb, request);
}

TEST(WindowsSwitch, EachSideKeepsItsThreadBlockWords) {
  g_seen[0] = g_seen[1] = Seen();
  const TibWords host = ReadTib();
  ParamBlock a, b;
  StartJob(a, 0, ObservingBody);
  StartJob(b, 1, ObservingBody);
  EXPECT_EQ(ReadTib(), host);
  // Two jobs alternate, entered from varying host depths.
  int32_t ra = Corvane(&a, RequestRun), rb = DeepCall(&b, RequestRun, 3);
  for (int step = 0; ra == ResponseNeedInput || rb == ResponseNeedInput; ++step) {
    EXPECT_EQ(ReadTib(), host) << "step " << step;
    if (ra == ResponseNeedInput) ra = DeepCall(&a, RequestResume, step % 4);
    EXPECT_EQ(ReadTib(), host) << "step " << step;
    if (rb == ResponseNeedInput) rb = Corvane(&b, RequestResume);
  }
  EXPECT_EQ(ra, ResponseDone);
  EXPECT_EQ(rb, ResponseDone);
  EXPECT_EQ(ReadTib(), host);
  for (const Seen &s : g_seen) {
    EXPECT_EQ(s.visits, 4);
    EXPECT_TRUE(s.boundsOk) << "stack base/limit are the job stack's";
    EXPECT_TRUE(s.chainOk) << "the job's exception chain starts empty";
    EXPECT_TRUE(s.localInside);
  }
  Corvane(&a, RequestTerminate);
  Corvane(&b, RequestTerminate);
}

TEST(WindowsSwitch, ExceptionRaisedInsideAJobReachesItsHandler) {
  g_seen[0] = Seen();
  const TibWords host = ReadTib();
  ParamBlock pb;
  StartJob(pb, 0, RaisingBody);
  ASSERT_EQ(Corvane(&pb, RequestRun), ResponseNeedInput);
  EXPECT_EQ(ReadTib(), host);
  EXPECT_EQ(DeepCall(&pb, RequestResume, 2), ResponseDone);
  EXPECT_TRUE(g_seen[0].handled);
  EXPECT_EQ(ReadTib(), host);
  Corvane(&pb, RequestTerminate);
}

}  // namespace
