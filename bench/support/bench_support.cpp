#include "bench_support.h"

#include <stdio.h>
#include <malloc.h>
#include <stdlib.h>

#if QV_HAVE_STB
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#include "stb_image.h"
#endif

namespace qvbench {

namespace {
// Keep freed memory in the process between iterations, as a long-running host
// would, so that page faults of a fresh heap do not swamp small decodes.
struct SteadyHeap {
  SteadyHeap() {
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
  }
} g_steadyHeap;
}  // namespace

size_t DecodeBytes(const std::vector<uint8_t> &file, uint32_t imageType, size_t queue) {
  qvhost::Options o;
  o.imageType = imageType;
  o.inQueue = queue;
  o.outQueue = queue;
  o.extra = false;
  o.eventLimit = 0;
  qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
  return r.ok() ? r.output.size() : 0;
}

#if QV_HAVE_STB
size_t StbDecode(const std::vector<uint8_t> &file) {
  int w, h, n;
  unsigned char *p = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 0);
  if (!p) return 0;
  size_t bytes = static_cast<size_t>(w) * h * n;
  stbi_image_free(p);
  return bytes;
}
#endif

void RatioReporter::ReportRuns(const std::vector<Run> &runs) {
  for (const Run &run : runs) {
    if (run.error_occurred || run.iterations <= 0 || run.run_type != Run::RT_Iteration) continue;
    real_[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations);
    cpu_[run.benchmark_name()] = run.cpu_accumulated_time / static_cast<double>(run.iterations);
  }
  ConsoleReporter::ReportRuns(runs);
}

double RatioReporter::Seconds(const std::string &name) const {
  auto it = real_.find(name);
  return it == real_.end() ? 0.0 : it->second;
}

double RatioReporter::CpuSeconds(const std::string &name) const {
  auto it = cpu_.find(name);
  return it == cpu_.end() ? 0.0 : it->second;
}

}  // namespace qvbench
