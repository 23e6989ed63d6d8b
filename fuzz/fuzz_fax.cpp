// The fax decoders on any coded data, through the fax job body: an 8-byte
// prefix chooses the coding, width, bit order, strips and queues, the rest
// is the coded data. The job must end with ResponseDone or ResponseError,
// free everything, never touch memory it does not own, and give the same
// outcome through tiny queues with random chunking as through large ones.
#include <stdint.h>

#include "fax_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  faxjob::Settings job;
  qvhost::Options stressed;
  if (!FaxFuzzSettings(data, size, &job, &stressed)) return 0;
  std::vector<uint8_t> coded(data + kFaxFuzzPrefix, data + size);
  FaxFuzzCheck(coded, job, stressed);
  return 0;
}
