// The fax decoders on any coded data, through the fax job body: an 8-byte
// prefix chooses the coding, width, bit order, strips and queues, the rest
// is the coded data. The job must end with ResponseDone or ResponseError,
// free everything, never touch memory it does not own, and give the same
// outcome through tiny queues with random chunking as through large ones.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/memory.h"
#include "fax_job.h"
#include "fax_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  faxjob::Settings job;
  qvhost::Options stressed;
  if (!FaxFuzzSettings(data, size, &job, &stressed)) return 0;
  std::vector<uint8_t> coded(data + kFaxFuzzPrefix, data + size);
  faxjob::Outcome plain, other;
  qvhost::Options o;
  o.eventLimit = 0;
  o.outputLimit = 16u << 20;
  qvhost::Result a = faxjob::Run(coded, job, o, &plain);
  if (a.response != ResponseDone && a.response != ResponseError) abort();
  if (MemLiveBlocks() != 0) abort();
  if (plain.slackTouched) abort();
  qvhost::Result b = faxjob::Run(coded, job, stressed, &other);
  if (MemLiveBlocks() != 0) abort();
  // Hosts that cut the output short see a different end; otherwise the
  // queues must not change anything.
  if (a.status != b.status) { fprintf(stderr, "status %d vs %d (rows %u vs %u)\n", a.status, b.status, plain.rows, other.rows); abort(); }
  if (a.ok() && (a.output != b.output || plain.hash != other.hash)) abort();
  return 0;
}
