// Helpers shared by the benchmarks: sample files and peer decoders.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "quorvin_host.h"

namespace qvbench {

std::vector<uint8_t> ReadFileBytes(const std::string &path);
// Decode through the host library with 64 KiB queues; returns bytes of bitmap produced.
size_t DecodeBytes(const std::vector<uint8_t> &file, uint32_t imageType, size_t queue = 65536);

#if QV_HAVE_STB
// stb_image to memory; returns bytes produced (0 on failure).
size_t StbDecode(const std::vector<uint8_t> &file);
#endif

}  // namespace qvbench
