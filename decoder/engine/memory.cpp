#include "memory.h"

#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {
#if QV_INTERNAL_API
// The test hooks, compiled into the test build only. The countdown is armed
// by tests that run one job at a time; the live count is atomic, since jobs
// on different threads allocate at the same time.
uint32_t g_failCountdown = 0;
long g_liveBlocks = 0;

bool ShouldFail() {
  if (g_failCountdown == 0) return false;
  if (--g_failCountdown == 0) return true;
  return false;
}
void CountBlocks(long n) { __atomic_add_fetch(&g_liveBlocks, n, __ATOMIC_RELAXED); }
#else
constexpr bool ShouldFail() { return false; }
void CountBlocks(long) {}
#endif

#if defined(_WIN32)
void *PlatformAlloc(size_t size, bool zeroed) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | (zeroed ? GMEM_ZEROINIT : 0), size ? size : 1);
  if (!h) return nullptr;
  void *p = GlobalLock(h);
  if (!p) GlobalFree(h);
  return p;
}
void PlatformFree(void *p) {
  HGLOBAL h = GlobalHandle(p);
  GlobalUnlock(h);
  GlobalFree(h);
}
void *PlatformRealloc(void *p, size_t size) {
  HGLOBAL h = GlobalHandle(p);
  GlobalUnlock(h);
  HGLOBAL n = GlobalReAlloc(h, size, GMEM_MOVEABLE);
  if (!n) {
    GlobalLock(h);  // keep the old block usable, as realloc does
    return nullptr;
  }
  return GlobalLock(n);
}
#else
void *PlatformAlloc(size_t size, bool zeroed) {
  return zeroed ? calloc(1, size ? size : 1) : malloc(size ? size : 1);
}
void PlatformFree(void *p) { free(p); }
void *PlatformRealloc(void *p, size_t size) { return realloc(p, size); }
#endif
}  // namespace

void *MemAlloc(size_t size) {
  if (ShouldFail()) return nullptr;
  void *p = PlatformAlloc(size, false);
  if (p) CountBlocks(1);
  return p;
}

void *MemAllocZeroed(size_t count, size_t size) {
  size_t bytes = count * size;
  if (count != 0 && bytes / count != size) return nullptr;
  if (ShouldFail()) return nullptr;
  void *p = PlatformAlloc(bytes, true);
  if (p) CountBlocks(1);
  return p;
}

void *MemRealloc(void *p, size_t size) {
  if (!p) return MemAlloc(size);
  if (size == 0) {
    MemFree(p);
    return nullptr;
  }
  if (ShouldFail()) return nullptr;
  return PlatformRealloc(p, size);
}

void MemFree(void *p) {
  if (!p) return;
  PlatformFree(p);
  CountBlocks(-1);
}

#if defined(_WIN32)
void MemAllocStack(StackMemory *stack, size_t size) {
  *stack = {};
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  size_t page = info.dwPageSize;
  size = (size + page - 1) / page * page;
  void *base = VirtualAlloc(nullptr, size + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!base) return;
  DWORD old;
  if (!VirtualProtect(base, page, PAGE_NOACCESS, &old)) {
    VirtualFree(base, 0, MEM_RELEASE);
    return;
  }
  *stack = {static_cast<uint8_t *>(base) + page, size, base, size + page};
  CountBlocks(1);
}

void MemFreeStack(StackMemory *stack) {
  if (!stack->Mapping) return;
  VirtualFree(stack->Mapping, 0, MEM_RELEASE);
  *stack = {};
  CountBlocks(-1);
}
#else
void MemAllocStack(StackMemory *stack, size_t size) {
  *stack = {};
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size = (size + page - 1) / page * page;
  void *base = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
  if (mprotect(base, page, PROT_NONE) != 0) {
    munmap(base, size + page);
    return;
  }
  *stack = {static_cast<uint8_t *>(base) + page, size, base, size + page};
  CountBlocks(1);
}

void MemFreeStack(StackMemory *stack) {
  if (!stack->Mapping) return;
  munmap(stack->Mapping, stack->Length);
  *stack = {};
  CountBlocks(-1);
}
#endif

#if QV_INTERNAL_API
void MemFailNthAllocation(uint32_t n) { g_failCountdown = n; }
long MemLiveBlocks() { return __atomic_load_n(&g_liveBlocks, __ATOMIC_RELAXED); }
#endif
