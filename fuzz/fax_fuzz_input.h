// How a fax fuzz input is laid out: an 8-byte prefix of settings, then the
// coded data (split into strips by the prefix).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "fax_job.h"

constexpr size_t kFaxFuzzPrefix = 8;

// prefix[0]: bits 0-1 coding (MH, T.4 1-D, T.4 2-D, T.6), bit 2 raw input
//   (T.4 only: width from the first row), bit 3 FillOrder 2, bits 4-5 the
//   strip limits (exact, none, one byte short, cut in half);
// prefix[1..2]: width - 1 (little-endian, up to 4096);
// prefix[3]: bits 0-1 strips - 1, bits 2-5 rows per strip / 4 (+1);
// prefix[4..7]: queue sizes and chunking seed of the stressed run.
// False when the input is too short.
bool FaxFuzzSettings(const uint8_t *data, size_t size, faxjob::Settings *job, qvhost::Options *stressed);

// The prefix for coded data of one strip.
void FaxFuzzPrefix(faxjob::Coding coding, bool raw, bool reverse, uint32_t width, uint32_t rows,
                   uint8_t prefix[kFaxFuzzPrefix]);
