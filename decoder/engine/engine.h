// Job engine: per-job context with a private stack, suspension and failure.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <type_traits>

#include "engine/memory.h"
#include "quorvin.h"

// Saved execution state: callee-saved registers, stack pointer, resume point,
// and the floating-point control words (SSE/x87; FPCR on aarch64); on Windows
// also the thread's exception-chain head and stack bounds.
struct ExecState {
#if defined(_WIN32)
  uintptr_t Words[12];
#elif defined(__aarch64__)
  uintptr_t Words[22];  // x19-x28, fp, lr, sp, d8-d15, fpcr
#else
  uintptr_t Words[10];
#endif
};

extern "C" {
// Store the current execution state; returns 0, and later returns again with
// the value handed to ResumeState (never 0).
int SaveState(ExecState *record) __attribute__((returns_twice));
// Continue at the SaveState that wrote record; never returns.
[[noreturn]] void ResumeState(ExecState *record, int value);
// Switch to a fresh stack and call entry(argument); never returns. stackLimit is
// the stack's low end; only the Windows switch uses it (for the thread's stack
// bounds), the others ignore it.
[[noreturn]] void StartOnStack(void *stackTop, void (*entry)(void *), void *argument,
                               void *stackLimit);
}

constexpr int kJobSlots = 20;
constexpr int kCleanupSlots = 8;
constexpr int kResumeHookSlots = 4;
constexpr int kLeaveHookSlots = 2;
constexpr size_t kJobStackSize = 64 * 1024;
// The stack's lowest bytes, checked on every return to the host: a second
// line behind the guard page below the stack, for platforms without one.
constexpr size_t kStackGuardSize = 1024;
constexpr uint8_t kStackFill = 42;

using JobBody = void (*)(ParamBlock *);

struct DecoderContext {
  ExecState HostState;
  ExecState JobState;
  // The job's stack, allocated when the job starts, with a guard page below
  // it; the switch code aligns the job's stack pointer to 16 itself.
  StackMemory Stack;
  void *JobSlots[kJobSlots];
  size_t SlotBytes[kJobSlots];  // the size of each job buffer
  size_t MemoryHeld;            // their sum, held against MemoryLimit
  size_t MemoryLimit;           // the job's budget, set when it starts
  int32_t PassPending;
  uint8_t *SavedInputEnd;

  // Engine bookkeeping.
  ParamBlock *Owner;          // the block of request 1; a job answers to no other
  DecoderContext *NextLive;   // chain of the registry of live contexts
  uint8_t *SavedInputStart;   // input storage start beside SavedInputEnd
  // The host's side as the job last left it: while a job waits the host may
  // move positions, but not the storage of a queue, ExtraUsed, or (except in
  // answer to ResponseNeedExtra) the extra-data buffer.
  struct {
    uint8_t *InStart, *InEnd, *OutStart, *OutEnd, *Extra;
    uint32_t ExtraCapacity, ExtraUsed;
  } Left;
  int32_t Phase;       // JobPhase
  ParamBlock *Block;   // block of the request in progress
  JobBody Body;        // what request 2 starts (RunJob unless a test replaced it)
  int32_t Response;    // response carried back by a switch to the host
  void *HostFakeStack;  // sanitizer bookkeeping for the stack switch
  void *JobFakeStack;
  void *HostFiber;
  void *JobFiber;
  const void *HostStackBottom;
  size_t HostStackSize;
  unsigned ValgrindStackId;
  uint32_t GuardReturns;  // returns to the host, for the whole guard scan
  bool FillWholeStack;    // for the high-water measurement of the tests
  struct FailureCatch *Catch;  // the innermost CatchFailure running, on the job stack
  // What a reader's foreign library must release whatever becomes of the
  // job, in the order registered.
  struct {
    void (*Run)(void *argument);
    void *Argument;
  } Cleanups[kCleanupSlots];
  int32_t CleanupCount;
  // What a layer that keeps pointers into the host's queues checks whenever
  // the host returns.
  struct {
    void (*Run)(void *argument);
    void *Argument;
  } ResumeHooks[kResumeHookSlots];
  int32_t ResumeHookCount;
  // What such a layer settles in the host's queues whenever the job returns
  // to the host (waiting, done or failed).
  struct {
    void (*Run)(void *argument, int response);
    void *Argument;
  } LeaveHooks[kLeaveHookSlots];
  int32_t LeaveHookCount;
};

enum JobPhase : int32_t { PhaseCreated = 0, PhaseRunning, PhaseSuspended, PhaseComplete };

// The constant text whose address the job start puts into Description.
const char *JobDescription();


// The job body started by request 2.
void RunJob(ParamBlock *block);
// The job stack the image type's reader needs (kJobStackSize for a type no
// reader takes, whose job start then fails at once).
size_t JobStackBytes(const ParamBlock *block);
// On the host's stack, before request 2 starts the job: what the image
// type's reader needs done outside the job (a library loaded).
void PrepareReader(const ParamBlock *block);

// Inside a job: return to the host with a response; continues on the next request.
void SuspendJob(ParamBlock *block, int response);
// Inside a job: fail with a status; the job is ended and Corvane answers 2
// (unless a CatchFailure is running: it returns the status instead).
[[noreturn]] void FailJob(ParamBlock *block, int32_t status);
// Inside a job: run fn(argument) so that a failure anywhere inside it, at any
// depth (a codec's fault, the input ending), comes back here as its status
// instead of ending the job; 0 when fn returned. The frames fn left are
// dropped, so what fn called must keep its state where a failure leaves it
// usable (job records), as every job's code does for a suspension.
int32_t CatchFailure(ParamBlock *block, void (*fn)(void *), void *argument);
// Release everything the job holds (safe from any state).
void EndJob(ParamBlock *block);

// A zero-filled job buffer in a free slot; null when every slot is taken or
// memory is short. A buffer that would take the job's buffers past its
// MemoryLimit fails the job with QV_ERR_BUFFER, before the system is asked.
void *AllocJobBuffer(ParamBlock *block, size_t size, int *slot);
void FreeJobBuffer(ParamBlock *block, int slot);
// Resize a job buffer in place in its slot (the bytes added are not zeroed);
// null (buffer unchanged) when memory is short; past the budget as above.
void *ReallocJobBuffer(ParamBlock *block, int slot, size_t size);
// Inside a job: memory that a library the reader calls allocates on its own,
// held against the job's budget beside its buffers: past the budget the job
// fails with QV_ERR_BUFFER. ReleaseJobMemory gives bytes back (from a
// cleanup too); ending the job gives back everything.
void ChargeJobMemory(ParamBlock *block, uint64_t bytes);
void ReleaseJobMemory(ParamBlock *block, uint64_t bytes);

DecoderContext *JobContext(ParamBlock *block);

// Inside a job: run(argument) when the job ends in any way (request 4, a
// failure, a restart by request 2), last registered first, on the host's
// stack after the job's frames are gone and before its buffers are freed: for
// what a library the reader calls allocates on its own. False when all
// kCleanupSlots are taken.
bool AddJobCleanup(ParamBlock *block, void (*run)(void *argument), void *argument);

// Inside a job: run(argument) on the job's stack every time the host returns
// to the job, before the job's own code goes on (after the engine's check
// that the host kept its storage): a layer that keeps positions in the
// host's queues takes the queues as the host left them. Registering the same
// pair again changes nothing. False when all kResumeHookSlots are taken.
bool AddResumeHook(ParamBlock *block, void (*run)(void *argument), void *argument);
// Inside a job: run(argument, response) on the job's stack every time the
// job returns to the host, whatever the response (a wait, ResponseDone,
// ResponseError for a failure not caught by CatchFailure), before the host
// sees the block: a layer that reads or writes the queues ahead of their
// positions sets them to what it has done. Registering the same pair again
// changes nothing. False when all kLeaveHookSlots are taken.
bool AddLeaveHook(ParamBlock *block, void (*run)(void *argument, int response), void *argument);
// Inside a job: forget every resume and leave hook registered with argument
// (whose memory is about to go).
void DropHooks(ParamBlock *block, void *argument);

// A zeroed job buffer of size bytes, or the job fails with status.
void *JobBufferOrFail(ParamBlock *block, size_t size, int32_t status = QV_ERR_BUFFER, int *slot = nullptr);

// A reader's job record: one zeroed T in a job buffer. A job may be
// abandoned at any suspension without anything of it running again, so a
// record owns nothing that needs a destructor: its memory is job buffers.
template <class T>
T *NewJobRecord(ParamBlock *block) {
  static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_default_constructible_v<T>,
                "job records are plain data");
  return static_cast<T *>(JobBufferOrFail(block, sizeof(T)));
}

#if QV_INTERNAL_API
// Test seam: make request 2 of this job run body instead of the image readers.
// Must be called after request 1 and before request 2.
void SetJobBodyForTest(ParamBlock *block, JobBody body);
// Fill the whole job stack with the fill pattern when the job starts (only
// its guard zone is filled otherwise), for JobStackHighWater. Must be called
// after request 1 and before request 2.
void MeasureJobStackForTest(ParamBlock *block);
// Bytes of the job stack that were ever used (measured from the fill pattern).
size_t JobStackHighWater(ParamBlock *block);
#endif
