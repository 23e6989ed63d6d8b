// Request dispatch and the job engine.
#include "engine.h"

#include <stddef.h>
#include <string.h>

#include "memory.h"

#if defined(__SANITIZE_ADDRESS__)
#define QV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_ASAN 1
#endif
#endif

#if QV_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
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
constexpr uint32_t kContextMagic = 0x4A425651;  // "QVBJ"

// Stack-switch annotations for the sanitizer; no-ops in other builds.
inline void SwitchToJob(DecoderContext *ctx) {
#if QV_ASAN
  __sanitizer_start_switch_fiber(&ctx->HostFakeStack, ctx->JobStack, kJobStackSize);
#else
  (void)ctx;
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
  __asan_unpoison_memory_region(ctx->JobStack, kJobStackSize);
#else
  (void)ctx;
#endif
}

bool GuardIntact(const DecoderContext *ctx) {
  // One word in every 32 bytes of the guard zone must still hold the fill
  // pattern: frames are far smaller than the zone, so an overrun that reaches
  // into it writes sampled words (return addresses, saved registers, locals).
  uint64_t diff = 0;
#if QV_VALGRIND
  VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(ctx->JobStack, kStackGuardSize);
#endif
  for (size_t at = 0; at < kStackGuardSize; at += 32) {
    uint64_t word;
    memcpy(&word, ctx->JobStack + at + 24, sizeof word);
    diff |= word ^ 0x2A2A2A2A2A2A2A2Aull;
  }
#if QV_VALGRIND
  VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(ctx->JobStack, kStackGuardSize);
#endif
  return diff == 0;
}

[[noreturn]] void LeaveJob(DecoderContext *ctx, int response, bool jobEnds) {
  ctx->Response = response;
  SwitchToHost(ctx, jobEnds);
  ResumeState(&ctx->HostState, response);
}

void JobEntry(void *argument) {
  DecoderContext *ctx = static_cast<DecoderContext *>(argument);
  ArrivedOnJob(ctx, nullptr);
  if (ctx->Body) ctx->Body(ctx->Block);
  ctx->Phase = PhaseComplete;
  LeaveJob(ctx, ResponseDone, true);
}

void EmptyBody(ParamBlock *) {}

// Run job code for one request: start the body afresh or continue the suspension.
int EnterJob(ParamBlock *block, DecoderContext *ctx, bool start) {
  ctx->Block = block;
  ctx->GlobalStateSave.Block = block;
  if (SaveState(&ctx->HostState) == 0) {
    SwitchToJob(ctx);
    if (start) {
      ForgetJobStack(ctx);
      ctx->Phase = PhaseRunning;
      StartOnStack(ctx->JobStack + kJobStackSize, JobEntry, ctx, ctx->JobStack);
    }
    ctx->Phase = PhaseRunning;
    ResumeState(&ctx->JobState, 1);
  }
  // Back on the host stack: the job left with a response.
  ArrivedOnHost(ctx);
  int response = ctx->Response;
  if (!GuardIntact(ctx)) {
    block->Status = QV_ERR_STACK_OVERFLOW;
    response = ResponseError;
  }
  if (response == ResponseError) EndJob(block);
  return response;
}

DecoderContext *LiveContext(ParamBlock *block) {
  DecoderContext *ctx = static_cast<DecoderContext *>(block->ContextPointer);
  if (ctx && ctx->Magic != kContextMagic) return nullptr;
  return ctx;
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
  // Zero everything but the stack, which gets the fill pattern instead.
  memset(ctx, 0, offsetof(DecoderContext, JobStack));
  memset(ctx->JobStack, kStackFill, kJobStackSize);
  memset(ctx->JobSlots, 0, sizeof *ctx - offsetof(DecoderContext, JobSlots));
  ctx->Magic = kContextMagic;
  ctx->Body = EmptyBody;
#if QV_VALGRIND
  ctx->ValgrindStackId = VALGRIND_STACK_REGISTER(ctx->JobStack, ctx->JobStack + kJobStackSize);
#endif
  block->ContextPointer = ctx;
  block->Status = QV_OK;
  int response = EnterJob(block, ctx, true);
  ctx->Body = RunJob;
  ctx->Phase = PhaseCreated;
  return response;
}

}  // namespace

DecoderContext *JobContext(ParamBlock *block) {
  return static_cast<DecoderContext *>(block->ContextPointer);
}

GlobalState *JobGlobals(ParamBlock *block) { return &JobContext(block)->GlobalStateSave; }

// SaveState returns twice like setjmp, so GCC warns that ctx "might be
// clobbered"; the switch restores every callee-saved register, and ctx is
// looked up again after the second return anyway.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wclobbered"
#endif
void SuspendJob(ParamBlock *block, int response) {
  DecoderContext *ctx = JobContext(block);
  ctx->Phase = PhaseSuspended;
  if (SaveState(&ctx->JobState) == 0) {
    LeaveJob(ctx, response, false);
  }
  ctx = JobContext(block);
  ArrivedOnJob(ctx, ctx->JobFakeStack);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void FailJob(ParamBlock *block, int32_t status) {
  DecoderContext *ctx = JobContext(block);
  block->Status = status;
  LeaveJob(ctx, ResponseError, true);
}

void EndJob(ParamBlock *block) {
  DecoderContext *ctx = LiveContext(block);
  if (!ctx) return;
  if (block->OperationCode == QV_OPERATION_CODE) {
    if (block->WholeInput == 1 && ctx->SavedInputEnd) {
      DataQueue &q = block->InputQueue;
      q.front = q.start;
      q.rear = q.start;
      q.end = ctx->SavedInputEnd;
    }
  } else {
    block->Status = QV_ERR_BAD_OPERATION;
  }
  for (int i = 0; i < kJobSlots; ++i) {
    if (ctx->JobSlots[i]) {
      MemFree(ctx->JobSlots[i]);
      ctx->JobSlots[i] = nullptr;
    }
  }
  ctx->PassPending = 0;
  ctx->SavedInputEnd = nullptr;
#if QV_VALGRIND
  VALGRIND_STACK_DEREGISTER(ctx->ValgrindStackId);
#endif
  ForgetJobStack(ctx);
  ctx->Magic = 0;
  MemFree(ctx);
  block->ContextPointer = nullptr;
}

void *AllocJobBuffer(ParamBlock *block, size_t size, int *slot) {
  DecoderContext *ctx = JobContext(block);
  for (int i = 0; i < kJobSlots; ++i) {
    if (ctx->JobSlots[i] == nullptr) {
      *slot = i;
      void *p = MemAllocZeroed(size, 1);
      ctx->JobSlots[i] = p;
      return p;
    }
  }
  return nullptr;
}

void FreeJobBuffer(ParamBlock *block, int slot) {
  DecoderContext *ctx = JobContext(block);
  if (slot < 0 || slot >= kJobSlots || !ctx->JobSlots[slot]) return;
  MemFree(ctx->JobSlots[slot]);
  ctx->JobSlots[slot] = nullptr;
}

void *ReallocJobBuffer(ParamBlock *block, int slot, size_t size) {
  DecoderContext *ctx = JobContext(block);
  if (slot < 0 || slot >= kJobSlots || !ctx->JobSlots[slot] || size == 0) return nullptr;
  void *p = MemRealloc(ctx->JobSlots[slot], size);
  if (p) ctx->JobSlots[slot] = p;
  return p;
}

void SetJobBodyForTest(ParamBlock *block, JobBody body) {
  DecoderContext *ctx = LiveContext(block);
  if (ctx) ctx->Body = body;
}

size_t JobStackHighWater(ParamBlock *block) {
  DecoderContext *ctx = LiveContext(block);
  if (!ctx) return 0;
#if QV_VALGRIND
  // The part below the job's stack pointer is off limits to memcheck.
  VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(ctx->JobStack, kJobStackSize);
#endif
  size_t i = 0;
  uint64_t word;
  while (i + 8 <= kJobStackSize && (memcpy(&word, ctx->JobStack + i, 8), word == 0x2A2A2A2A2A2A2A2Aull))
    i += 8;
  while (i < kJobStackSize && ctx->JobStack[i] == kStackFill) ++i;
#if QV_VALGRIND
  VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(ctx->JobStack, kJobStackSize);
#endif
  return kJobStackSize - i;
}

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
