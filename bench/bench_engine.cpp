// Cost of one suspend/resume round trip through Corvane: two state switches.
#include <benchmark/benchmark.h>
#include <string.h>

#include "engine/engine.h"

namespace {

void Ping(ParamBlock *pb) {
  pb->Flags |= QV_FLAG_FINAL_IMAGE;
  for (;;) SuspendJob(pb, ResponseRowsReady);
}

void BM_SuspendResumeRoundTrip(benchmark::State &state) {
  ParamBlock pb;
  memset(&pb, 0, sizeof pb);
  pb.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb.BlockVersion = 20;
  pb.OperationCode = QV_OPERATION_CODE;
  Corvane(&pb, RequestInit);
  SetJobBodyForTest(&pb, Ping);
  Corvane(&pb, RequestRun);
  for (auto _ : state) benchmark::DoNotOptimize(Corvane(&pb, RequestResume));
  Corvane(&pb, RequestTerminate);
}
BENCHMARK(BM_SuspendResumeRoundTrip);

void BM_JobLifecycle(benchmark::State &state) {
  // Create, start, one suspension, terminate: the per-job fixed cost.
  ParamBlock pb;
  memset(&pb, 0, sizeof pb);
  pb.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb.BlockVersion = 20;
  pb.OperationCode = QV_OPERATION_CODE;
  for (auto _ : state) {
    Corvane(&pb, RequestInit);
    SetJobBodyForTest(&pb, Ping);
    benchmark::DoNotOptimize(Corvane(&pb, RequestRun));
    Corvane(&pb, RequestTerminate);
  }
}
BENCHMARK(BM_JobLifecycle);

}  // namespace
