// Cindral throughput: the RC4 core and OpenSSL's RC4 on 64 KiB blocks in
// memory, and whole-file coding of a 512 MiB file through the page cache:
// CoDecFile beside the same loop (64 KiB reads, OpenSSL's RC4, writes) with
// OpenSSL's cipher. Prints OpenSSL time / our time for both.
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <cindral.h>

#include <fcntl.h>
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
constexpr size_t kFileSize = size_t{512} << 20;
const unsigned char kKey[16] = {0x13, 0x57, 0x9b, 0xdf, 0x02, 0x46, 0x8a, 0xce,
                                0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

#if defined(QV_HAVE_OPENSSL)
EVP_CIPHER* OpenSslRc4() {
  // RC4 lives in OpenSSL 3's legacy provider.
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static EVP_CIPHER* rc4 = legacy ? EVP_CIPHER_fetch(nullptr, "RC4", nullptr) : nullptr;
  return rc4;
}
#endif

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
  EVP_CIPHER* rc4 = OpenSslRc4();
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


// The plain file, made once; removed at exit.
struct Files {
  std::filesystem::path dir;
  std::string plain, coded;
  Files() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cindral-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    dir = pattern;
    plain = (dir / "plain").string();
    coded = (dir / "coded").string();
    std::vector<char> data(size_t{1} << 20);
    std::ofstream out(plain, std::ios::binary);
    for (size_t at = 0; at < kFileSize; at += data.size()) {
      for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>((at + k) * 131 + ((at + k) >> 9));
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
  }
  ~Files() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

const Files& TheFiles() {
  static Files f;
  return f;
}

// Whole-file coding through the page cache: the key schedule, 64 KiB reads,
// the key stream and writes.
void BM_CoDecFile(benchmark::State& state) {
  const Files& f = TheFiles();
  if (f.plain.empty()) {
    state.SkipWithError("cannot make a temporary directory");
    return;
  }
  for (auto _ : state) {
    if (CoDecFile(f.plain.c_str(), f.coded.c_str()) != CindralSuccess) {
      state.SkipWithError("CoDecFile failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
}
BENCHMARK(BM_CoDecFile)->Unit(benchmark::kMillisecond);

// The same work with OpenSSL's RC4: header, then 64 KiB reads, cipher, writes.
void BM_OpenSslFile(benchmark::State& state) {
#if defined(QV_HAVE_OPENSSL)
  const Files& f = TheFiles();
  EVP_CIPHER* rc4 = OpenSslRc4();
  if (f.plain.empty() || !rc4) {
    state.SkipWithError("no temporary directory or no RC4 in OpenSSL");
    return;
  }
  std::vector<uint8_t> buffer(kBlock);
  for (auto _ : state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int in = open(f.plain.c_str(), O_RDONLY);
    int out = open(f.coded.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = ctx && in >= 0 && out >= 0 && EVP_EncryptInit_ex2(ctx, rc4, kKey, nullptr, nullptr) &&
              write(out, "QVX_CODED_V_2.00", 16) == 16;
    for (ssize_t got; ok && (got = read(in, buffer.data(), buffer.size())) > 0;) {
      int produced = 0;
      ok = EVP_EncryptUpdate(ctx, buffer.data(), &produced, buffer.data(), static_cast<int>(got)) &&
           write(out, buffer.data(), static_cast<size_t>(got)) == got;
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
      state.SkipWithError("OpenSSL file coding failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
#else
  state.SkipWithError("built without OpenSSL");
#endif
}
BENCHMARK(BM_OpenSslFile)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return qvbench::RunAndReport(argc, argv,
                               {{"OpenSSL / Cindral, RC4 on 64 KiB blocks", "BM_Rc4Core", "BM_OpenSslRc4", 1.0},
                                {"OpenSSL / CoDecFile, 512 MiB file", "BM_CoDecFile", "BM_OpenSslFile", 1.0}});
}
