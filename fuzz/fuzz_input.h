// How a fuzz input is laid out: an 8-byte prefix of job settings, then the file.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "quorvin_host.h"

constexpr size_t kFuzzPrefix = 8;

// Settings from the prefix; false when the input is too short.
bool FuzzOptions(const uint8_t *data, size_t size, qvhost::Options *options);
// A prefix that selects imageType with plain settings.
void FuzzPrefixFor(uint32_t imageType, uint8_t prefix[kFuzzPrefix]);
