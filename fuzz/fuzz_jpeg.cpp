// JPEG files through the host library, libjpeg loaded as in any host: the
// settings prefix as fuzz_corvane reads it, but the image type is always
// JPEG and bit 4 of the flags byte asks for extended decoding (damaged data
// decoded on). The job must end with response 1 or 2, free every block
// (libjpeg's own allocations included: LeakSanitizer), never touch memory
// it does not own, and end the same way when the whole file is in memory.
#include <stdint.h>
#include <stdlib.h>

#include "engine/memory.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qvhost::Options o;
  if (!FuzzOptions(data, size, &o)) return 0;
  o.imageType = QV_TYPE_JPEG;
  if (data[1] & 16) o.flags |= QV_FLAG_EXTENDED;
  const uint8_t *file = data + kFuzzPrefix;
  size_t fileSize = size - kFuzzPrefix;
  qvhost::Result r = qvhost::Decode(file, fileSize, o);
  if (r.response != ResponseDone && r.response != ResponseError) abort();
  if (r.response == ResponseDone && r.status != 0) abort();
  if (MemLiveBlocks() != 0) abort();
  qvhost::Options whole = o;
  whole.wholeInput = !o.wholeInput;
  whole.test.chunkSeed = 0;
  qvhost::Result w = qvhost::Decode(file, fileSize, whole);
  if (w.status != r.status) abort();
  if (w.ok() && w.output != r.output) abort();
  return 0;
}
