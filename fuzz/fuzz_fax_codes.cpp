// The fax decoders on generated code streams: the 8-byte prefix of fuzz_fax
// (coding, width, bit order, strips, queues), then choices that the
// generator turns into whole codes (fax_code_stream.h), so that mutation
// edits codes rather than bits. The checks are fuzz_fax's.
#include <stdint.h>

#include "fax_code_stream.h"
#include "fax_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kFaxFuzzPrefix) return 0;
  faxjob::Settings job;
  qvhost::Options stressed;
  FaxFuzzSettings(data, size, &job, &stressed);
  std::vector<uint8_t> coded = FaxCodesFromChoices(data + kFaxFuzzPrefix, size - kFaxFuzzPrefix, job.coding,
                                                   FaxFuzzWidth(data), job.reverse);
  // The strips divide the generated data, not the choices.
  FaxFuzzSettings(data, kFaxFuzzPrefix + coded.size(), &job, &stressed);
  FaxFuzzCheck(coded, job, stressed);
  return 0;
}
