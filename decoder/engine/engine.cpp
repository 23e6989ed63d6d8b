// Request dispatch and the job engine.
#include "engine.h"

#include <stddef.h>
#include <string.h>

#include "memory.h"
#include "queue.h"

#if defined(__SANITIZE_ADDRESS__)
#define QV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_ASAN 1
#endif
#endif

#if QV_ASAN
constexpr bool kAsanBuild = true;
#else
constexpr bool kAsanBuild = false;
#endif

#if QV_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define QV_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QV_TSAN 1
#endif
#endif

#if QV_TSAN
#include <sanitizer/tsan_interface.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#if defined(__has_include)
#if __has_include(<valgrind/valgrind.h>) && !defined(_WIN32)
#include <valgrind/memcheck.h>
#include <valgrind/valgrind.h>
#define QV_VALGRIND 1
#endif
#endif

namespace {

const char kDescription[] = "Bitmap, Targa, PCX, GIF or TIFF Input";

// The contexts of live jobs, so that a ContextPointer is recognised without
// reading the memory it points to: a stale pointer (a copy of a block whose
// job has ended) may point to freed memory. Jobs on different threads create
// and end contexts concurrently, so the set is guarded by a lock.
constexpr size_t kLiveBuckets = 256;
DecoderContext *g_live[kLiveBuckets];

#if defined(_WIN32)
SRWLOCK g_liveLock = SRWLOCK_INIT;
struct LiveLock {
  LiveLock() { AcquireSRWLockExclusive(&g_liveLock); }
  ~LiveLock() { ReleaseSRWLockExclusive(&g_liveLock); }
};
#else
pthread_mutex_t g_liveLock = PTHREAD_MUTEX_INITIALIZER;
struct LiveLock {
  LiveLock() { pthread_mutex_lock(&g_liveLock); }
  ~LiveLock() { pthread_mutex_unlock(&g_liveLock); }
};
#endif

DecoderContext *&LiveBucket(const void *ctx) {
  uint64_t x = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ctx)) * 0x9E3779B97F4A7C15ull;
  return g_live[x >> 56];
}

void AddLive(DecoderContext *ctx) {
  LiveLock lock;
  DecoderContext *&head = LiveBucket(ctx);
  ctx->NextLive = head;
  head = ctx;
}

void RemoveLive(DecoderContext *ctx) {
  LiveLock lock;
  for (DecoderContext **p = &LiveBucket(ctx); *p; p = &(*p)->NextLive) {
    if (*p == ctx) {
      *p = ctx->NextLive;
      return;
    }
  }
}

// Stack-switch annotations for the sanitizers; no-ops in other builds.
inline void SwitchToJob(DecoderContext *ctx) {
#if QV_ASAN
  __sanitizer_start_switch_fiber(&ctx->HostFakeStack, ctx->Stack.Low, ctx->Stack.Size);
#elif QV_TSAN
  ctx->HostFiber = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(ctx->JobFiber, 0);
#else
  (void)ctx;
#endif
}
inline void DropJobFiber(DecoderContext *ctx) {
#if QV_TSAN
  if (ctx->JobFiber) __tsan_destroy_fiber(ctx->JobFiber);
  ctx->JobFiber = nullptr;
#else
  (void)ctx;
#endif
}
// A job started afresh: its earlier run, and that run's frames, are gone.
inline void NewJobFiber(DecoderContext *ctx) {
  DropJobFiber(ctx);
#if QV_TSAN
  ctx->JobFiber = __tsan_create_fiber(0);
#endif
}
inline void ArrivedOnHost(DecoderContext *ctx) {
#if QV_ASAN
  __sanitizer_finish_switch_fiber(ctx->HostFakeStack, nullptr, nullptr);
#else
  (void)ctx;
#endif
}
inline void SwitchToHost(DecoderContext *ctx, bool jobEnds) {
#if QV_ASAN
  __sanitizer_start_switch_fiber(jobEnds ? nullptr : &ctx->JobFakeStack, ctx->HostStackBottom,
                                 ctx->HostStackSize);
#elif QV_TSAN
  (void)jobEnds;
  __tsan_switch_to_fiber(ctx->HostFiber, 0);
#else
  (void)ctx;
  (void)jobEnds;
#endif
}
inline void ArrivedOnJob(DecoderContext *ctx, void *fakeStack) {
#if QV_ASAN
  __sanitizer_finish_switch_fiber(fakeStack, &ctx->HostStackBottom, &ctx->HostStackSize);
#else
  (void)ctx;
  (void)fakeStack;
#endif
}
inline void ForgetJobStack(DecoderContext *ctx) {
#if QV_ASAN
  // Frames abandoned on the job stack leave their poisoning behind.
  if (ctx->Stack.Low) __asan_unpoison_memory_region(ctx->Stack.Low, ctx->Stack.Size);
#else
  (void)ctx;
#endif
}

// One word in every 32 bytes of the guard zone, from byte `from` up, must
// still hold the fill pattern: frames are far smaller than the zone, so an
// overrun that reaches into it writes sampled words (return addresses, saved
// registers, locals).
bool GuardIntact(const DecoderContext *ctx, size_t from) {
  uint64_t diff = 0;
#if QV_VALGRIND
  VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(ctx->Stack.Low, kStackGuardSize);
#endif
  for (size_t at = from; at < kStackGuardSize; at += 32) {
    uint64_t word;
    memcpy(&word, ctx->Stack.Low + at + 24, sizeof word);
    diff |= word ^ 0x2A2A2A2A2A2A2A2Aull;
  }
#if QV_VALGRIND
  VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(ctx->Stack.Low, kStackGuardSize);
#endif
  return diff == 0;
}

// The stack grows down into the zone, so an overrun passes its top first:
// the top 128 bytes are checked on every return to the host, the whole zone
// on every 16th return and whenever the job ends. Under AddressSanitizer
// frames carry redzones the program never writes, which can leave the top of
// the zone untouched by an overrun: the whole zone is checked every time.
bool GuardCheck(DecoderContext *ctx, int response) {
  bool whole = kAsanBuild || response == ResponseDone || response == ResponseError || (++ctx->GuardReturns & 15) == 0;
  return GuardIntact(ctx, whole ? 0 : kStackGuardSize - 128);
}

[[noreturn]] void LeaveJob(DecoderContext *ctx, int response, bool jobEnds) {
  ctx->Response = response;
  SwitchToHost(ctx, jobEnds);
  ResumeState(&ctx->HostState, response);
}

void RunLeaveHooks(DecoderContext *ctx, int response) {
  for (int i = 0; i < ctx->LeaveHookCount; ++i) ctx->LeaveHooks[i].Run(ctx->LeaveHooks[i].Argument, response);
}

void JobEntry(void *argument) {
  DecoderContext *ctx = static_cast<DecoderContext *>(argument);
  ArrivedOnJob(ctx, nullptr);
  if (ctx->Body) ctx->Body(ctx->Block);
  RunLeaveHooks(ctx, ResponseDone);
  ctx->Phase = PhaseComplete;
  LeaveJob(ctx, ResponseDone, true);
}

// The cleanups the job registered, last first; each runs once.
void RunCleanups(DecoderContext *ctx) {
  while (ctx->CleanupCount > 0) {
    --ctx->CleanupCount;
    ctx->Cleanups[ctx->CleanupCount].Run(ctx->Cleanups[ctx->CleanupCount].Argument);
  }
}

void DropStack(DecoderContext *ctx) {
  if (!ctx->Stack.Low) return;
#if QV_VALGRIND
  VALGRIND_STACK_DEREGISTER(ctx->ValgrindStackId);
#endif
  ForgetJobStack(ctx);
  MemFreeStack(&ctx->Stack);
}

// A stack of at least size bytes for a job that starts: a restart keeps the
// one it has. Its guard zone holds the fill pattern; the rest is left
// untouched, so that only the pages the job uses are ever faulted in (unless
// a test measures the high-water mark). False when memory is short.
bool ProvideStack(DecoderContext *ctx, size_t size) {
  if (ctx->Stack.Low && ctx->Stack.Size >= size) return true;
  DropStack(ctx);
  MemAllocStack(&ctx->Stack, size);
  if (!ctx->Stack.Low) return false;
  memset(ctx->Stack.Low, kStackFill, ctx->FillWholeStack ? ctx->Stack.Size : kStackGuardSize);
#if QV_VALGRIND
  ctx->ValgrindStackId = VALGRIND_STACK_REGISTER(ctx->Stack.Low, ctx->Stack.Low + ctx->Stack.Size);
#endif
  return true;
}

// Run job code for one request: start the body afresh or continue the suspension.
int EnterJob(ParamBlock *block, DecoderContext *ctx, bool start) {
  if (start) PrepareReader(block);
  if (start && !ProvideStack(ctx, JobStackBytes(block))) {
    block->Status = QV_ERR_NO_MEMORY;
    EndJob(block);
    return ResponseError;
  }
  ctx->Block = block;
  if (start) {
    ctx->Catch = nullptr;  // the old run's frames are gone
    RunCleanups(ctx);      // and what it set up is released
    ctx->ResumeHookCount = 0;
    ctx->LeaveHookCount = 0;
    NewJobFiber(ctx);
    // A restart keeps the buffers it holds, and they stay counted.
    ctx->MemoryLimit = block->MemoryLimit ? block->MemoryLimit : QV_DEFAULT_MEMORY_LIMIT;
  }
  if (SaveState(&ctx->HostState) == 0) {
    SwitchToJob(ctx);
    if (start) {
      ForgetJobStack(ctx);
      ctx->Phase = PhaseRunning;
      StartOnStack(ctx->Stack.Low + ctx->Stack.Size, JobEntry, ctx, ctx->Stack.Low);
    }
    ctx->Phase = PhaseRunning;
    ResumeState(&ctx->JobState, 1);
  }
  // Back on the host stack: the job left with a response.
  ArrivedOnHost(ctx);
  int response = ctx->Response;
  if (!GuardCheck(ctx, response)) {
    block->Status = QV_ERR_STACK_OVERFLOW;
    response = ResponseError;
  }
  if (response == ResponseError) EndJob(block);
  return response;
}

// The job of this block, or null when its ContextPointer names no live job
// created for this block.
DecoderContext *LiveContext(ParamBlock *block) {
  DecoderContext *ctx = static_cast<DecoderContext *>(block->ContextPointer);
  if (!ctx) return nullptr;
  LiveLock lock;
  for (DecoderContext *c = LiveBucket(ctx); c; c = c->NextLive)
    if (c == ctx) return c->Owner == block ? c : nullptr;
  return nullptr;
}

// What the host may not change while the job waits.
void RememberHostSide(DecoderContext *ctx, const ParamBlock *block) {
  ctx->Left.InStart = block->InputQueue.start;
  ctx->Left.InEnd = block->InputQueue.end;
  ctx->Left.OutStart = block->OutputQueue.start;
  ctx->Left.OutEnd = block->OutputQueue.end;
  ctx->Left.Extra = block->ExtraBuffer;
  ctx->Left.ExtraCapacity = block->ExtraCapacity;
  ctx->Left.ExtraUsed = block->ExtraUsed;
}

// A queue keeps its storage; one that had none when the job left may have
// been given storage that the job start would accept.
bool SameStorage(const DataQueue &q, uint8_t *start, uint8_t *end) {
  if (!start) return !q.start || QueueDescriptionValid(&q);
  return q.start == start && q.end == end;
}

bool HostKeptStorage(const DecoderContext *ctx, const ParamBlock *block, int response) {
  bool same = SameStorage(block->InputQueue, ctx->Left.InStart, ctx->Left.InEnd) &&
              SameStorage(block->OutputQueue, ctx->Left.OutStart, ctx->Left.OutEnd) &&
              block->ExtraUsed == ctx->Left.ExtraUsed;
  // Answering ResponseNeedExtra the host may enlarge (move) the extra buffer.
  if (response != ResponseNeedExtra)
    same = same && block->ExtraBuffer == ctx->Left.Extra &&
           block->ExtraCapacity == ctx->Left.ExtraCapacity;
  return same;
}

int CreateJob(ParamBlock *block) {
  if (block->OperationCode != QV_OPERATION_CODE) {
    block->Status = QV_ERR_BAD_OPERATION;
    return ResponseError;
  }
  if (block->BlockSize != QV_PARAM_BLOCK_SIZE || block->BlockVersion > QV_MAX_BLOCK_VERSION) {
    block->Status = QV_ERR_BAD_BLOCK;
    return ResponseError;
  }
  if (block->ContextPointer) {
    block->Status = QV_ERR_JOB_EXISTS;
    return ResponseError;
  }
  DecoderContext *ctx = static_cast<DecoderContext *>(MemAlloc(sizeof(DecoderContext)));
  if (!ctx) {
    block->Status = QV_ERR_NO_MEMORY;
    return ResponseError;
  }
  // The stack comes when the job starts.
  memset(ctx, 0, sizeof *ctx);
  ctx->Owner = block;
  ctx->Body = RunJob;
  ctx->Phase = PhaseCreated;
  AddLive(ctx);
  block->ContextPointer = ctx;
  block->Status = QV_OK;
  return ResponseDone;
}

}  // namespace

DecoderContext *JobContext(ParamBlock *block) {
  return static_cast<DecoderContext *>(block->ContextPointer);
}

// SaveState returns twice like setjmp, so GCC warns that ctx "might be
// clobbered"; the switch restores every callee-saved register, and ctx is
// looked up again after the second return anyway.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wclobbered"
#endif
namespace {
// Save the job's state and return to the host; comes back when a request
// continues the job.
__attribute__((noinline)) void LeaveForHost(ParamBlock *block, int response) {
  DecoderContext *ctx = JobContext(block);
  RunLeaveHooks(ctx, response);
  ctx->Phase = PhaseSuspended;
  RememberHostSide(ctx, block);
  if (SaveState(&ctx->JobState) == 0) LeaveJob(ctx, response, false);
}
}  // namespace

void SuspendJob(ParamBlock *block, int response) {
  LeaveForHost(block, response);
  DecoderContext *ctx = JobContext(block);
  ArrivedOnJob(ctx, ctx->JobFakeStack);
  // Every return from the host passes here: before any job code runs again,
  // storage the host moved, emptied or shrank ends the job.
  if (!HostKeptStorage(ctx, block, response)) FailJob(block, QV_ERR_BAD_OPTION);
  for (int i = 0; i < ctx->ResumeHookCount; ++i) ctx->ResumeHooks[i].Run(ctx->ResumeHooks[i].Argument);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

struct FailureCatch {
  ExecState State;
  int32_t Status;
  FailureCatch *Outer;
};

// SaveState returns twice: block and c are read again after the second
// return, from where the switch left them (see SuspendJob).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wclobbered"
#endif
int32_t CatchFailure(ParamBlock *block, void (*fn)(void *), void *argument) {
  FailureCatch c;
  DecoderContext *ctx = JobContext(block);
  c.Status = 0;
  c.Outer = ctx->Catch;
  ctx->Catch = &c;
  if (SaveState(&c.State) == 0) fn(argument);
  JobContext(block)->Catch = c.Outer;
  return c.Status;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void FailJob(ParamBlock *block, int32_t status) {
  DecoderContext *ctx = JobContext(block);
  if (FailureCatch *c = ctx->Catch) {
    c->Status = status;
#if QV_ASAN
    __asan_handle_no_return();  // the frames between here and the catch are dropped
#endif
    ResumeState(&c->State, 1);
  }
  block->Status = status;
  RunLeaveHooks(ctx, ResponseError);
  LeaveJob(ctx, ResponseError, true);
}

void EndJob(ParamBlock *block) {
  DecoderContext *ctx = LiveContext(block);
  if (!ctx) return;
  if (block->OperationCode == QV_OPERATION_CODE) {
    // Only into the storage the job started with: a host that replaced it
    // keeps its new description.
    if (block->WholeInput == 1 && ctx->SavedInputEnd &&
        block->InputQueue.start == ctx->SavedInputStart) {
      DataQueue &q = block->InputQueue;
      q.front = q.start;
      q.rear = q.start;
      q.end = ctx->SavedInputEnd;
    }
  } else {
    block->Status = QV_ERR_BAD_OPERATION;
  }
  RunCleanups(ctx);
  for (int i = 0; i < kJobSlots; ++i) {
    if (ctx->JobSlots[i]) {
      MemFree(ctx->JobSlots[i]);
      ctx->JobSlots[i] = nullptr;
    }
  }
  ctx->MemoryHeld = 0;
  ctx->PassPending = 0;
  ctx->SavedInputEnd = nullptr;
  DropStack(ctx);
  DropJobFiber(ctx);
  RemoveLive(ctx);
  MemFree(ctx);
  block->ContextPointer = nullptr;
}

namespace {
// Fails the job when its buffers would hold more than its budget.
void ChargeBudget(ParamBlock *block, DecoderContext *ctx, size_t held, size_t size) {
  size_t limit = ctx->MemoryLimit ? ctx->MemoryLimit : QV_DEFAULT_MEMORY_LIMIT;
  if (held > limit || size > limit - held) FailJob(block, QV_ERR_BUFFER);
}
}  // namespace

void *AllocJobBuffer(ParamBlock *block, size_t size, int *slot) {
  DecoderContext *ctx = JobContext(block);
  for (int i = 0; i < kJobSlots; ++i) {
    if (ctx->JobSlots[i] == nullptr) {
      ChargeBudget(block, ctx, ctx->MemoryHeld, size);
      *slot = i;
      void *p = MemAllocZeroed(size, 1);
      if (!p) return nullptr;
      ctx->JobSlots[i] = p;
      ctx->SlotBytes[i] = size;
      ctx->MemoryHeld += size;
      return p;
    }
  }
  return nullptr;
}

bool AddResumeHook(ParamBlock *block, void (*run)(void *argument), void *argument) {
  DecoderContext *ctx = JobContext(block);
  for (int i = 0; i < ctx->ResumeHookCount; ++i)
    if (ctx->ResumeHooks[i].Run == run && ctx->ResumeHooks[i].Argument == argument) return true;
  if (ctx->ResumeHookCount >= kResumeHookSlots) return false;
  ctx->ResumeHooks[ctx->ResumeHookCount].Run = run;
  ctx->ResumeHooks[ctx->ResumeHookCount].Argument = argument;
  ++ctx->ResumeHookCount;
  return true;
}

bool AddLeaveHook(ParamBlock *block, void (*run)(void *argument, int response), void *argument) {
  DecoderContext *ctx = JobContext(block);
  for (int i = 0; i < ctx->LeaveHookCount; ++i)
    if (ctx->LeaveHooks[i].Run == run && ctx->LeaveHooks[i].Argument == argument) return true;
  if (ctx->LeaveHookCount >= kLeaveHookSlots) return false;
  ctx->LeaveHooks[ctx->LeaveHookCount].Run = run;
  ctx->LeaveHooks[ctx->LeaveHookCount].Argument = argument;
  ++ctx->LeaveHookCount;
  return true;
}

void DropHooks(ParamBlock *block, void *argument) {
  DecoderContext *ctx = JobContext(block);
  int kept = 0;
  for (int i = 0; i < ctx->ResumeHookCount; ++i)
    if (ctx->ResumeHooks[i].Argument != argument) ctx->ResumeHooks[kept++] = ctx->ResumeHooks[i];
  ctx->ResumeHookCount = kept;
  kept = 0;
  for (int i = 0; i < ctx->LeaveHookCount; ++i)
    if (ctx->LeaveHooks[i].Argument != argument) ctx->LeaveHooks[kept++] = ctx->LeaveHooks[i];
  ctx->LeaveHookCount = kept;
}

bool AddJobCleanup(ParamBlock *block, void (*run)(void *argument), void *argument) {
  DecoderContext *ctx = JobContext(block);
  if (ctx->CleanupCount >= kCleanupSlots) return false;
  ctx->Cleanups[ctx->CleanupCount].Run = run;
  ctx->Cleanups[ctx->CleanupCount].Argument = argument;
  ++ctx->CleanupCount;
  return true;
}

void *JobBufferOrFail(ParamBlock *block, size_t size, int32_t status, int *slot) {
  int s;
  void *p = AllocJobBuffer(block, size, slot ? slot : &s);
  if (!p) FailJob(block, status);
  return p;
}

void FreeJobBuffer(ParamBlock *block, int slot) {
  DecoderContext *ctx = JobContext(block);
  if (slot < 0 || slot >= kJobSlots || !ctx->JobSlots[slot]) return;
  MemFree(ctx->JobSlots[slot]);
  ctx->JobSlots[slot] = nullptr;
  ctx->MemoryHeld -= ctx->SlotBytes[slot];
  ctx->SlotBytes[slot] = 0;
}

void ChargeJobMemory(ParamBlock *block, uint64_t bytes) {
  DecoderContext *ctx = JobContext(block);
  if (static_cast<size_t>(bytes) != bytes) FailJob(block, QV_ERR_BUFFER);  // beyond 32-bit memory
  ChargeBudget(block, ctx, ctx->MemoryHeld, static_cast<size_t>(bytes));
  ctx->MemoryHeld += static_cast<size_t>(bytes);
}

void ReleaseJobMemory(ParamBlock *block, uint64_t bytes) {
  DecoderContext *ctx = JobContext(block);
  ctx->MemoryHeld = bytes < ctx->MemoryHeld ? ctx->MemoryHeld - static_cast<size_t>(bytes) : 0;
}

void *ReallocJobBuffer(ParamBlock *block, int slot, size_t size) {
  DecoderContext *ctx = JobContext(block);
  if (slot < 0 || slot >= kJobSlots || !ctx->JobSlots[slot] || size == 0) return nullptr;
  ChargeBudget(block, ctx, ctx->MemoryHeld - ctx->SlotBytes[slot], size);
  void *p = MemRealloc(ctx->JobSlots[slot], size);
  if (!p) return nullptr;
  ctx->JobSlots[slot] = p;
  ctx->MemoryHeld += size - ctx->SlotBytes[slot];
  ctx->SlotBytes[slot] = size;
  return p;
}

#if QV_INTERNAL_API
void SetJobBodyForTest(ParamBlock *block, JobBody body) {
  DecoderContext *ctx = LiveContext(block);
  if (ctx) ctx->Body = body;
}

void MeasureJobStackForTest(ParamBlock *block) {
  DecoderContext *ctx = LiveContext(block);
  if (ctx) ctx->FillWholeStack = true;
}

size_t JobStackHighWater(ParamBlock *block) {
  DecoderContext *ctx = LiveContext(block);
  if (!ctx || !ctx->Stack.Low) return 0;
  const uint8_t *low = ctx->Stack.Low;
  size_t size = ctx->Stack.Size;
#if QV_VALGRIND
  // The part below the job's stack pointer is off limits to memcheck.
  VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(low, size);
#endif
  size_t i = 0;
  uint64_t word;
  while (i + 8 <= size && (memcpy(&word, low + i, 8), word == 0x2A2A2A2A2A2A2A2Aull)) i += 8;
  while (i < size && low[i] == kStackFill) ++i;
#if QV_VALGRIND
  VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(low, size);
#endif
  return size - i;
}
#endif

extern "C" QV_EXPORT int32_t QV_STDCALL Corvane(ParamBlock *block, int32_t request) {
  if (!block) return ResponseError;
  if (request < RequestInit || request > RequestTerminate) {
    block->Status = QV_ERR_BAD_REQUEST;
    return ResponseError;
  }
  if (request == RequestInit) return CreateJob(block);

  DecoderContext *ctx = LiveContext(block);
  if (request == RequestTerminate) {
    if (ctx) EndJob(block);
    return ResponseDone;
  }
  if (!ctx) {
    block->Status = QV_ERR_NO_JOB;
    return ResponseError;
  }
  if (request == RequestRun && !ctx->PassPending) {
    if (block->OperationCode != QV_OPERATION_CODE) {
      block->Status = QV_ERR_BAD_OPERATION;
      return ResponseError;
    }
    return EnterJob(block, ctx, true);
  }
  // Resume (or run while a pass image is pending).
  switch (ctx->Phase) {
    case PhaseSuspended:
      return EnterJob(block, ctx, false);
    case PhaseComplete:
      return ResponseDone;  // nothing left to do until request 4
    default:
      block->Status = QV_ERR_NO_JOB;  // created but never started
      return ResponseError;
  }
}

const char *JobDescription() { return kDescription; }
