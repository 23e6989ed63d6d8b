// How a fax fuzz input is laid out: an 8-byte prefix of settings, then the
// coded data (split into strips by the prefix), or the choices that make it
// (fuzz_fax_codes).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "fax_job.h"

constexpr size_t kFaxFuzzPrefix = 8;

// prefix[0]: bits 0-1 coding (MH, T.4 1-D, T.4 2-D, T.6), bit 2 raw input
//   (T.4 only: width from the first row), bit 3 FillOrder 2, bits 4-5 the
//   strip limits (exact, none, one byte short, cut in half);
// prefix[1..2]: width - 1 (little-endian, up to 4096);
// prefix[3]: bits 0-1 strips - 1, bits 2-5 rows per strip / 4 (+1);
// prefix[4..7]: queue sizes and chunking seed of the stressed run.
// False when the input is too short. Only the prefix is read: size is the
// prefix and the coded data's length.
bool FaxFuzzSettings(const uint8_t *data, size_t size, faxjob::Settings *job, qvhost::Options *stressed);
// The width prefix[1..2] gives (raw input too: the rows of generated data).
uint32_t FaxFuzzWidth(const uint8_t prefix[kFaxFuzzPrefix]);

// Runs the job on coded data twice, plainly and through the stressed
// queues, and aborts unless it ends with ResponseDone or ResponseError,
// without the stack-overflow status, frees everything, sets no bit past a
// row, and ends the same way both times (with the same rows when it
// succeeds).
void FaxFuzzCheck(const std::vector<uint8_t> &coded, const faxjob::Settings &job,
                  const qvhost::Options &stressed);

// The prefix for coded data of one strip.
void FaxFuzzPrefix(faxjob::Coding coding, bool raw, bool reverse, uint32_t width, uint32_t rows,
                   uint8_t prefix[kFaxFuzzPrefix]);
