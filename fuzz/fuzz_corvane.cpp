// Any bytes, any settings: the job must end with ResponseDone or ResponseError
// (never with the stack-overflow status), free everything, and never touch
// memory it does not own.
#include <sanitizer/asan_interface.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "engine/memory.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qvhost::Options o;
  if (!FuzzOptions(data, size, &o)) return 0;
  const uint8_t *file = data + kFuzzPrefix;
  size_t fileSize = size - kFuzzPrefix;
  qvhost::Result r;
  if (o.wholeInput && (data[5] & 0x40)) {
    // File and bitmap in memory: the file itself is the input queue, its
    // spare byte poisoned so that any touch of it is reported, and a
    // recycled buffer of 64 bytes to 2 MiB is the output queue.
    std::vector<uint8_t> borrowed(file, file + fileSize);
    borrowed.push_back(0);
    std::vector<uint8_t> recycled;
    recycled.reserve(size_t{64} << (data[6] & 15));
    size_t room = recycled.capacity();
    o.borrowInput = o.directOutput = true;
    o.recycleOutput = &recycled;
    o.test.chunkSeed = 0;
    ASAN_POISON_MEMORY_REGION(&borrowed.back(), 1);
    r = qvhost::Decode(borrowed.data(), fileSize, o);
    ASAN_UNPOISON_MEMORY_REGION(&borrowed.back(), 1);
    // The same job through copied queues of the same sizes must end the
    // same way (how many rows fit decides some refusals).
    qvhost::Options copied = o;
    copied.borrowInput = copied.directOutput = false;
    copied.recycleOutput = nullptr;
    // The recycled buffer is the output queue unless the job merges rows
    // into an output of its own (overlay).
    if (room >= o.outQueue && !(o.flags & QV_FLAG_OVERLAY)) copied.outQueue = room;
    qvhost::Result c = qvhost::Decode(file, fileSize, copied);
    if (c.response != r.response || c.status != r.status) abort();
    if (c.ok() && c.output != r.output) abort();
  } else {
    r = qvhost::Decode(file, fileSize, o);
  }
  if (r.response != ResponseDone && r.response != ResponseError) abort();
  if (r.response == ResponseDone && r.status != 0) abort();
  if (r.status == QV_ERR_STACK_OVERFLOW) abort();  // the guard zone's status
  if (MemLiveBlocks() != 0) abort();
  return 0;
}
