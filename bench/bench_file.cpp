// bench_file FILE [TYPE] [benchmark flags]: decode one file through the host
// library at several queue sizes, beside stb_image on the same bytes.
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bench_support.h"

namespace {

std::vector<uint8_t> g_file;
uint32_t g_type = 0;

void Quorvin(benchmark::State &state) {
  size_t queue = static_cast<size_t>(state.range(0));
  size_t bytes = 0;
  for (auto _ : state) bytes = qvbench::DecodeBytes(g_file, g_type, queue);
  if (!bytes) state.SkipWithError("decode failed");
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}

#if QV_HAVE_STB
void Stb(benchmark::State &state) {
  size_t bytes = 0;
  for (auto _ : state) bytes = qvbench::StbDecode(g_file);
  if (!bytes) state.SkipWithError("stb_image cannot read this file");
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}
#endif

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: bench_file FILE [TYPE] [--benchmark_...]\n");
    return 64;
  }
  g_file = qvbench::ReadFileBytes(argv[1]);
  bool typed = argc > 2 && qvhost::ParseTypeName(argv[2], &g_type);
  if (!typed && !qvhost::DetectImageType(g_file.data(), g_file.size(), &g_type)) {
    fprintf(stderr, "bench_file: %s: format not recognised; give a type\n", argv[1]);
    return 1;
  }
  benchmark::RegisterBenchmark("quorvin", Quorvin)->Arg(512)->Arg(4096)->Arg(65536);
#if QV_HAVE_STB
  benchmark::RegisterBenchmark("stb_image", Stb);
#endif
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
