// The context switch keeps each side's callee-saved registers. One side keeps
// many integer and floating-point values live around every switch (more than
// any target has callee-saved registers, so each such register holds one);
// the other side fills every callee-saved register with garbage just before
// it switches. The values must come out as worked out without switching.
#include <gtest/gtest.h>
#include <string.h>

#include "engine/engine.h"

namespace {

// Garbage into every callee-saved register the compiler lets us name (not the
// frame pointer); the compiler keeps its own values elsewhere around it.
#if defined(__aarch64__)
#define QV_SCRAMBLE_CALLEE_SAVED()                                                              \
  asm volatile(                                                                                  \
      "movz x19, #0x5a5a\n mov x20, x19\n mov x21, x19\n mov x22, x19\n mov x23, x19\n"          \
      "mov x24, x19\n mov x25, x19\n mov x26, x19\n mov x27, x19\n mov x28, x19\n"               \
      "fmov d8, x19\n fmov d9, x19\n fmov d10, x19\n fmov d11, x19\n fmov d12, x19\n"            \
      "fmov d13, x19\n fmov d14, x19\n fmov d15, x19\n" ::                                       \
          : "x19", "x20", "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28", "d8", "d9",   \
            "d10", "d11", "d12", "d13", "d14", "d15")
#elif defined(__x86_64__)
#define QV_SCRAMBLE_CALLEE_SAVED()                                                          \
  asm volatile("movq $0x5a5a5a5a, %%rbx\n movq %%rbx, %%r12\n movq %%rbx, %%r13\n"           \
               "movq %%rbx, %%r14\n movq %%rbx, %%r15\n" ::                                  \
                   : "rbx", "r12", "r13", "r14", "r15")
#elif defined(__i386__)
#define QV_SCRAMBLE_CALLEE_SAVED() \
  asm volatile("movl $0x5a5a5a5a, %%ebx\n movl %%ebx, %%esi\n movl %%ebx, %%edi\n" ::: "ebx", "esi", "edi")
#else
#error "no register scrambler for this architecture"
#endif

volatile uint64_t g_seed = 0x9e3779b97f4a7c15ull;
constexpr int kSwitches = 50;

struct Live {
  uint64_t a, b, c, d, e, f, g, h, i, j, k, l;
  double p, q, r, s, t, u, v, w;
  bool operator==(const Live &o) const { return memcmp(this, &o, sizeof o) == 0; }
};

Live Start(uint64_t seed) {
  Live x;
  uint64_t *ints = &x.a;
  double *reals = &x.p;
  for (int n = 0; n < 12; ++n) ints[n] = seed * (2 * n + 3);
  for (int n = 0; n < 8; ++n) reals[n] = static_cast<double>(seed >> (40 + n)) * 0.5 + n;
  return x;
}

// The values after `rounds` steps, worked out without any switch.
Live Expected(uint64_t seed, int rounds) {
  Live x = Start(seed);
  uint64_t *ints = &x.a;
  double *reals = &x.p;
  for (int step = 0; step < rounds; ++step) {
    for (int n = 0; n < 12; ++n) ints[n] += n + 1;
    for (int n = 0; n < 8; ++n) reals[n] += 0.25 * (n + 1);
  }
  return x;
}

// Locals a..w, stepped the same way around a call that switches stacks.
#define QV_LOCALS_FROM(x)                                                                        \
  uint64_t a = x.a, b = x.b, c = x.c, d = x.d, e = x.e, f = x.f, g = x.g, h = x.h, i = x.i,      \
           j = x.j, k = x.k, l = x.l;                                                            \
  double p = x.p, q = x.q, r = x.r, s = x.s, t = x.t, u = x.u, v = x.v, w = x.w
#define QV_STEP_LOCALS()                                                                         \
  (a += 1, b += 2, c += 3, d += 4, e += 5, f += 6, g += 7, h += 8, i += 9, j += 10, k += 11,     \
   l += 12, p += 0.25, q += 0.5, r += 0.75, s += 1.0, t += 1.25, u += 1.5, v += 1.75, w += 2.0)
#define QV_LOCALS Live{a, b, c, d, e, f, g, h, i, j, k, l, p, q, r, s, t, u, v, w}

Live g_jobSeen;

void KeepingBody(ParamBlock *pb) {
  Live start = Start(~g_seed);
  QV_LOCALS_FROM(start);
  for (int round = 0; round < kSwitches; ++round) {
    SuspendJob(pb, ResponseRowsReady);
    QV_STEP_LOCALS();
  }
  g_jobSeen = QV_LOCALS;
}

void ScramblingBody(ParamBlock *pb) {
  for (int round = 0; round < kSwitches; ++round) {
    QV_SCRAMBLE_CALLEE_SAVED();
    SuspendJob(pb, ResponseRowsReady);
  }
}

void StartJob(ParamBlock *pb, JobBody body) {
  memset(pb, 0, sizeof *pb);
  pb->BlockSize = QV_PARAM_BLOCK_SIZE;
  pb->BlockVersion = 20;
  pb->OperationCode = QV_OPERATION_CODE;
  ASSERT_EQ(Corvane(pb, RequestInit), ResponseDone);
  SetJobBodyForTest(pb, body);
}

TEST(Switch, HostRegistersSurviveTheJob) {
  ParamBlock pb;
  StartJob(&pb, ScramblingBody);
  Live start = Start(g_seed);
  QV_LOCALS_FROM(start);
  int rounds = 0;
  int response = Corvane(&pb, RequestRun);
  while (response == ResponseRowsReady && rounds < 2 * kSwitches) {
    response = Corvane(&pb, RequestResume);
    QV_STEP_LOCALS();
    ++rounds;
  }
  EXPECT_EQ(response, ResponseDone);
  EXPECT_EQ(rounds, kSwitches);
  EXPECT_TRUE((QV_LOCALS == Expected(g_seed, rounds)));
  Corvane(&pb, RequestTerminate);
}

TEST(Switch, JobRegistersSurviveTheHost) {
  ParamBlock pb;
  StartJob(&pb, KeepingBody);
  int rounds = 0;
  int response = Corvane(&pb, RequestRun);
  while (response == ResponseRowsReady && rounds < 2 * kSwitches) {
    QV_SCRAMBLE_CALLEE_SAVED();
    response = Corvane(&pb, RequestResume);
    ++rounds;
  }
  EXPECT_EQ(response, ResponseDone);
  EXPECT_EQ(rounds, kSwitches);
  EXPECT_TRUE(g_jobSeen == Expected(~g_seed, kSwitches));
  Corvane(&pb, RequestTerminate);
}

}  // namespace
