#include "fax_fuzz_input.h"

#include <stdio.h>
#include <stdlib.h>

#include "engine/memory.h"

namespace {
const size_t kInQueues[8] = {5, 6, 17, 64, 255, 1024, 4099, 65536};
// Output queues stay at a few dozen bytes or more: a job suspends for every
// queue-full of output, and a tiny queue makes each run too slow to fuzz.
const size_t kOutQueues[4] = {61, 256, 1021, 65536};
}

bool FaxFuzzSettings(const uint8_t *d, size_t size, faxjob::Settings *job, qvhost::Options *o) {
  if (size < kFaxFuzzPrefix) return false;
  size_t coded = size - kFaxFuzzPrefix;
  job->coding = static_cast<faxjob::Coding>(d[0] & 3);
  bool raw = (d[0] & 4) && (job->coding == faxjob::Coding::G3 || job->coding == faxjob::Coding::G3TwoD);
  job->reverse = (d[0] & 8) != 0;
  job->width = raw ? 0 : FaxFuzzWidth(d);
  job->strips.clear();
  if (!raw) {
    uint32_t strips = 1 + (d[3] & 3);
    uint32_t rows = 1 + 4 * ((d[3] >> 2) & 15);
    int limits = (d[0] >> 4) & 3;
    size_t at = 0;
    for (uint32_t s = 0; s < strips; ++s) {
      size_t n = s + 1 == strips ? coded - at : coded / strips;
      faxjob::Strip strip;
      strip.offset = static_cast<uint32_t>(at);
      strip.rows = rows;
      strip.byteCount = limits == 0 ? static_cast<uint32_t>(n)
                        : limits == 1 ? 0xFFFFFFFFu
                        : limits == 2 ? static_cast<uint32_t>(n ? n - 1 : 0)
                                      : static_cast<uint32_t>(n / 2);
      job->strips.push_back(strip);
      at += n;
    }
  }
  job->putRows = true;
  o->inQueue = kInQueues[d[4] & 7];
  o->outQueue = kOutQueues[(d[4] >> 3) & 3];
  o->wholeInput = (d[5] & 1) != 0;
  o->test.chunkSeed = d[6] | static_cast<uint64_t>(d[7]) << 8 | 1;
  o->outputLimit = 16u << 20;
  return true;
}

uint32_t FaxFuzzWidth(const uint8_t d[kFaxFuzzPrefix]) { return 1 + ((d[1] | d[2] << 8) & 0xFFF); }

void FaxFuzzCheck(const std::vector<uint8_t> &coded, const faxjob::Settings &job,
                  const qvhost::Options &stressed) {
  faxjob::Outcome plain, other;
  qvhost::Options o;
  o.outputLimit = 16u << 20;
  qvhost::Result a = faxjob::Run(coded, job, o, &plain);
  if (a.response != ResponseDone && a.response != ResponseError) abort();
  if (a.status == QV_ERR_STACK_OVERFLOW) abort();
  if (MemLiveBlocks() != 0) abort();
  if (plain.slackTouched) abort();
  qvhost::Result b = faxjob::Run(coded, job, stressed, &other);
  if (b.status == QV_ERR_STACK_OVERFLOW) abort();
  if (MemLiveBlocks() != 0) abort();
  // Hosts that cut the output short see a different end; otherwise the
  // queues must not change anything.
  if (a.status != b.status) {
    fprintf(stderr, "status %d vs %d (rows %u vs %u)\n", a.status, b.status, plain.rows, other.rows);
    abort();
  }
  if (a.ok() && (a.output != b.output || plain.hash != other.hash)) abort();
}

void FaxFuzzPrefix(faxjob::Coding coding, bool raw, bool reverse, uint32_t width, uint32_t rows,
                   uint8_t p[kFaxFuzzPrefix]) {
  uint32_t w = width ? (width - 1) & 0xFFF : 0;
  uint32_t r = rows > 61 ? 15 : (rows + 3) / 4;
  p[0] = static_cast<uint8_t>(static_cast<uint8_t>(coding) | (raw ? 4 : 0) | (reverse ? 8 : 0));
  p[1] = static_cast<uint8_t>(w);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(r << 2);
  p[4] = 2 | (0 << 3);  // small queues
  p[5] = 0;
  p[6] = 7;
  p[7] = 0;
}
