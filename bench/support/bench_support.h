// Helpers shared by the benchmarks: sample files and peer decoders.
#pragma once
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bytes.h"
#include "quorvin_host.h"

namespace qvbench {

// The console output, keeping each benchmark's time per iteration so that a
// main() can print the ratio of a peer's time to ours.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override;
  double Seconds(const std::string &name) const;     // wall time
  double CpuSeconds(const std::string &name) const;  // CPU time

 private:
  std::map<std::string, double> real_, cpu_;
};

using qvhost::ReadFileBytes;
// Decode through the host library with 64 KiB queues; returns bytes of bitmap produced.
size_t DecodeBytes(const std::vector<uint8_t> &file, uint32_t imageType, size_t queue = 65536);

#if QV_HAVE_STB
// stb_image to memory; returns bytes produced (0 on failure).
size_t StbDecode(const std::vector<uint8_t> &file);
#endif

}  // namespace qvbench
