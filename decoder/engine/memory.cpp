#include "memory.h"

#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {
// Test hook state. Plain globals: calls into one library instance are serialised.
uint32_t g_failCountdown = 0;
long g_liveBlocks = 0;

bool ShouldFail() {
  if (g_failCountdown == 0) return false;
  if (--g_failCountdown == 0) return true;
  return false;
}

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
  if (size > kMemBlockLimit || ShouldFail()) return nullptr;
  void *p = PlatformAlloc(size, false);
  if (p) __atomic_add_fetch(&g_liveBlocks, 1, __ATOMIC_RELAXED);
  return p;
}

void *MemAllocZeroed(size_t count, size_t size) {
  size_t bytes = count * size;
  if (count != 0 && bytes / count != size) return nullptr;
  if (bytes > kMemBlockLimit || ShouldFail()) return nullptr;
  void *p = PlatformAlloc(bytes, true);
  if (p) __atomic_add_fetch(&g_liveBlocks, 1, __ATOMIC_RELAXED);
  return p;
}

void *MemRealloc(void *p, size_t size) {
  if (!p) return MemAlloc(size);
  if (size == 0) {
    MemFree(p);
    return nullptr;
  }
  if (size > kMemBlockLimit || ShouldFail()) return nullptr;
  return PlatformRealloc(p, size);
}

void MemFree(void *p) {
  if (!p) return;
  PlatformFree(p);
  __atomic_sub_fetch(&g_liveBlocks, 1, __ATOMIC_RELAXED);
}

void MemFailNthAllocation(uint32_t n) { g_failCountdown = n; }
long MemLiveBlocks() { return __atomic_load_n(&g_liveBlocks, __ATOMIC_RELAXED); }
