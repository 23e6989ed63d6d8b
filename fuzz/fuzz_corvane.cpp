// Any bytes, any settings: the job must end with ResponseDone or ResponseError,
// free everything, and never touch memory it does not own.
#include <stdint.h>
#include <stdlib.h>

#include "engine/memory.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qvhost::Options o;
  if (!FuzzOptions(data, size, &o)) return 0;
  qvhost::Result r = qvhost::Decode(data + kFuzzPrefix, size - kFuzzPrefix, o);
  if (r.response != ResponseDone && r.response != ResponseError) abort();
  if (r.response == ResponseDone && r.status != 0) abort();
  if (MemLiveBlocks() != 0) abort();
  return 0;
}
