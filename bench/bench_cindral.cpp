// Cindral throughput: the RC4 core and OpenSSL's RC4 on 64 KiB blocks, and
// CoDecFile on a 4 MiB file. Prints the core/OpenSSL time ratio at the end.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <cindral.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "rc4.h"

#if defined(QV_HAVE_OPENSSL)
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr size_t kFileSize = 4 * 1024 * 1024;
const unsigned char kKey[16] = {0x13, 0x57, 0x9b, 0xdf, 0x02, 0x46, 0x8a, 0xce,
                                0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

void BM_Rc4Core(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x5a);
  cindral::Rc4State rc4;
  cindral::Rc4Schedule(rc4, kKey, sizeof kKey);
  for (auto _ : state) {
    cindral::Rc4Apply(rc4, block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
}
BENCHMARK(BM_Rc4Core);

void BM_OpenSslRc4(benchmark::State& state) {
#if defined(QV_HAVE_OPENSSL)
  // RC4 lives in OpenSSL 3's legacy provider.
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static EVP_CIPHER* rc4 = legacy ? EVP_CIPHER_fetch(nullptr, "RC4", nullptr) : nullptr;
  if (!rc4) {
    state.SkipWithError("OpenSSL legacy provider (RC4) not available");
    return;
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx || !EVP_EncryptInit_ex2(ctx, rc4, kKey, nullptr, nullptr)) {
    EVP_CIPHER_CTX_free(ctx);
    state.SkipWithError("OpenSSL RC4 initialisation failed");
    return;
  }
  std::vector<uint8_t> block(kBlock, 0x5a);
  for (auto _ : state) {
    int produced = 0;
    if (!EVP_EncryptUpdate(ctx, block.data(), &produced, block.data(), static_cast<int>(block.size()))) {
      state.SkipWithError("EVP_EncryptUpdate failed");
      break;
    }
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
#else
  state.SkipWithError("built without OpenSSL");
#endif
}
BENCHMARK(BM_OpenSslRc4);

// Whole-file coding through the page cache: the key schedule, 64 KiB reads,
// the key stream and writes.
void BM_CoDecFile(benchmark::State& state) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cindral-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    state.SkipWithError("cannot make a temporary directory");
    return;
  }
  const std::filesystem::path dir = pattern;
  const std::string plain = (dir / "plain").string();
  const std::string coded = (dir / "coded").string();
  {
    std::vector<char> data(kFileSize);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>(k * 131 + (k >> 9));
    std::ofstream(plain, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  for (auto _ : state) {
    const int32_t result = CoDecFile(plain.c_str(), coded.c_str());
    if (result != CindralSuccess) {
      state.SkipWithError("CoDecFile failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_CoDecFile)->Unit(benchmark::kMillisecond);

using qvbench::RatioReporter;

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double core = reporter.Seconds("BM_Rc4Core");
  const double openssl = reporter.Seconds("BM_OpenSslRc4");
  if (core > 0 && openssl > 0)
    std::printf("RC4 core / OpenSSL RC4 time on 64 KiB blocks: %.2f (target <= 1.5)\n", core / openssl);
  else
    std::printf("RC4 core / OpenSSL RC4 ratio not available (a benchmark was skipped or filtered out)\n");
  benchmark::Shutdown();
  return 0;
}
