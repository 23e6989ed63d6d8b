// Every allocation of the decoder goes through this module.
#pragma once
#include <stddef.h>
#include <stdint.h>

void *MemAlloc(size_t size);
void *MemAllocZeroed(size_t count, size_t size);
void *MemRealloc(void *p, size_t size);
void MemFree(void *p);

#if QV_INTERNAL_API
// Test hooks (not exported from the shipped library).
// Make the nth allocation from now on fail (1 = the next one); 0 disarms.
void MemFailNthAllocation(uint32_t n);
// Blocks currently allocated through this module.
long MemLiveBlocks();
#endif
