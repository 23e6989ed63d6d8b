// Every allocation of the decoder goes through this module. Sizes that come
// from file headers are held against the job's memory budget by the engine
// before they get here.
#pragma once
#include <stddef.h>
#include <stdint.h>

void *MemAlloc(size_t size);
void *MemAllocZeroed(size_t count, size_t size);
void *MemRealloc(void *p, size_t size);
void MemFree(void *p);

// A job stack: size bytes (a multiple of the page size) with an inaccessible
// guard page right below them where the platform has one, so that an overrun
// faults at its first write instead of damaging memory that is not the job's.
struct StackMemory {
  uint8_t *Low;     // the stack's lowest byte
  size_t Size;      // its bytes
  void *Mapping;    // what was reserved (guard page included)
  size_t Length;
};
// Null Low when memory is short; the pages read as zero.
void MemAllocStack(StackMemory *stack, size_t size);
void MemFreeStack(StackMemory *stack);

#if QV_INTERNAL_API
// Test hooks (not exported from the shipped library).
// Make the nth allocation from now on fail (1 = the next one); 0 disarms.
void MemFailNthAllocation(uint32_t n);
// Blocks (and job stacks) currently allocated through this module.
long MemLiveBlocks();
#endif
