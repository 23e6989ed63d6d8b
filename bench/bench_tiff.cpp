// TIFF decoding throughput through the host library with 64 KiB queues,
// beside libtiff (TIFFReadEncodedStrip from memory) on the same files in the
// same run. The files are written here by libtiff: 4096 x 4096 pictures with
// gradients, flat areas and noise, in strips of libtiff's default size, as
// RGB LZW, RGB LZW with horizontal differencing, 8-bit grey LZW, RGB
// PackBits, RGB uncompressed and RGB Deflate with and without differencing
// (which the host library reads with its default extended decoding; libtiff
// inflates with libdeflate, and again with zlib, its other inflate). Both
// sides decode into buffers that live across iterations. MB/s count the
// bitmap bytes produced. The closing lines print libtiff's time / ours in
// CPU time, which a shared machine disturbs less than wall time (goals:
// >= 1.5 for LZW and Deflate, >= 1 for PackBits and uncompressed).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

#if QV_HAVE_TIFF
#include <tiffio.h>

namespace {

constexpr uint32_t kSide = 4096;
constexpr uint32_t kTif = QV_FOURCC('T', 'I', 'F', '1');

struct Variant {
  const char *name;
  uint16_t samples, compression, predictor;
};
const Variant kVariants[] = {
    {"RgbLzw", 3, COMPRESSION_LZW, 1},       {"RgbLzwPredictor", 3, COMPRESSION_LZW, 2},
    {"GreyLzw", 1, COMPRESSION_LZW, 1},      {"RgbPackBits", 3, COMPRESSION_PACKBITS, 1},
    {"RgbUncompressed", 3, COMPRESSION_NONE, 1},
    {"RgbDeflate", 3, COMPRESSION_ADOBE_DEFLATE, 1}, {"RgbDeflatePredictor", 3, COMPRESSION_ADOBE_DEFLATE, 2},
};

// A memory file for libtiff's client procedures.
struct MemFile {
  std::vector<uint8_t> bytes;
  toff_t at = 0;
};
tsize_t MemRead(thandle_t h, tdata_t p, tsize_t n) {
  MemFile *f = static_cast<MemFile *>(h);
  tsize_t k = f->at >= f->bytes.size() ? 0 : std::min<tsize_t>(n, f->bytes.size() - f->at);
  memcpy(p, f->bytes.data() + f->at, k);
  f->at += k;
  return k;
}
tsize_t MemWrite(thandle_t h, tdata_t p, tsize_t n) {
  MemFile *f = static_cast<MemFile *>(h);
  if (f->at + n > f->bytes.size()) f->bytes.resize(f->at + n);
  memcpy(f->bytes.data() + f->at, p, n);
  f->at += n;
  return n;
}
toff_t MemSeek(thandle_t h, toff_t off, int whence) {
  MemFile *f = static_cast<MemFile *>(h);
  f->at = whence == SEEK_SET ? off : whence == SEEK_CUR ? f->at + off : f->bytes.size() + off;
  return f->at;
}
int MemClose(thandle_t) { return 0; }
toff_t MemSize(thandle_t h) { return static_cast<MemFile *>(h)->bytes.size(); }
int MemMap(thandle_t, tdata_t *, toff_t *) { return 0; }
void MemUnmap(thandle_t, tdata_t, toff_t) {}

TIFF *OpenMem(MemFile *f, const char *mode) {
  return TIFFClientOpen("mem", mode, f, MemRead, MemWrite, MemSeek, MemClose, MemSize, MemMap, MemUnmap);
}

const std::vector<uint8_t> &File(const Variant &v) {
  static std::map<std::string, std::vector<uint8_t>> files;
  std::vector<uint8_t> &bytes = files[v.name];
  if (!bytes.empty()) return bytes;
  MemFile f;
  TIFF *t = OpenMem(&f, "w");
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kSide);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kSide);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, v.samples);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, v.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, v.compression);
  if (v.predictor != 1) TIFFSetField(t, TIFFTAG_PREDICTOR, v.predictor);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint8_t> row(size_t{kSide} * v.samples);
  for (uint32_t y = 0; y < kSide; ++y) {
    for (uint32_t x = 0; x < kSide; ++x)
      for (uint32_t c = 0; c < v.samples; ++c) row[x * v.samples + c] = qvbench::StripPicture(x, y, c);
    TIFFWriteScanline(t, row.data(), y, 0);
  }
  TIFFClose(t);
  bytes = std::move(f.bytes);
  return bytes;
}

int64_t BitmapBytes(const Variant &v) { return int64_t{kSide} * kSide * v.samples; }

// Our decode into out, which keeps its storage across calls as the peer's
// buffer does; returns the bitmap bytes.
__attribute__((noinline)) size_t OnceQuorvin(const std::vector<uint8_t> &file, std::vector<uint8_t> *out) {
  qvhost::Options o;
  o.imageType = kTif;
  o.inQueue = o.outQueue = 65536;
  o.extra = false;
  return qvbench::DecodeInto(file, o, *out);
}

void Quorvin(benchmark::State &state, const Variant &v) {
  const std::vector<uint8_t> &file = File(v);
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (OnceQuorvin(file, &out) != static_cast<size_t>(BitmapBytes(v))) {
      state.SkipWithError("decode failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * BitmapBytes(v));
}

bool IsDeflate(const Variant &v) { return v.compression == COMPRESSION_ADOBE_DEFLATE; }

// One libtiff decode of the whole image into out; false on failure. Debian's
// libtiff inflates whole strips with libdeflate; withZlib has it use zlib,
// its inflate for everything else (and libtiff's only one where it is built
// without libdeflate).
__attribute__((noinline)) bool OnceLibtiff(MemFile *f, std::vector<uint8_t> *out, bool withZlib = false) {
  f->at = 0;
  TIFF *t = OpenMem(f, "r");
  if (t && withZlib) TIFFSetField(t, TIFFTAG_DEFLATE_SUBCODEC, DEFLATE_SUBCODEC_ZLIB);
  size_t at = 0;
  for (tstrip_t s = 0; t && s < TIFFNumberOfStrips(t); ++s) {
    tmsize_t got = TIFFReadEncodedStrip(t, s, out->data() + at, -1);
    if (got < 0) break;
    at += static_cast<size_t>(got);
  }
  if (t) TIFFClose(t);
  return at == out->size();
}

void Libtiff(benchmark::State &state, const Variant &v, bool withZlib) {
  MemFile f;
  f.bytes = File(v);
  std::vector<uint8_t> out(static_cast<size_t>(BitmapBytes(v)));
  TIFFSetWarningHandler(nullptr);
  for (auto _ : state) {
    if (!OnceLibtiff(&f, &out, withZlib)) {
      state.SkipWithError("libtiff failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * BitmapBytes(v));
}

// --once NAME: one decode by each (ours into a fresh buffer), for
// instruction counts (valgrind --tool=callgrind --toggle-collect='*Once*',
// then callgrind_annotate --inclusive=yes shows OnceQuorvin and OnceLibtiff).
int Once(const std::string &name) {
  for (const Variant &v : kVariants) {
    if (name != v.name) continue;
    MemFile f;
    f.bytes = File(v);
    std::vector<uint8_t> out(static_cast<size_t>(BitmapBytes(v))), ours;
    bool ok = OnceQuorvin(f.bytes, &ours) == out.size() && OnceLibtiff(&f, &out);
    std::printf("%s: %s\n", v.name, ok ? "both decoded" : "a decode failed");
    return ok ? 0 : 1;
  }
  return 1;
}

// --verify: every variant decoded by both, our bitmap (bottom row first,
// blue before red) compared with libtiff's samples. Prints the outcome.
int Verify() {
  int failures = 0;
  for (const Variant &v : kVariants) {
    MemFile f;
    f.bytes = File(v);
    size_t rowBytes = size_t{kSide} * v.samples;  // a multiple of 4: no padding
    std::vector<uint8_t> peer(static_cast<size_t>(BitmapBytes(v))), ours;
    bool ok = OnceQuorvin(f.bytes, &ours) == peer.size() && OnceLibtiff(&f, &peer);
    size_t bad = 0;
    for (uint32_t y = 0; ok && y < kSide; ++y) {
      const uint8_t *a = peer.data() + y * rowBytes, *b = ours.data() + (kSide - 1 - y) * rowBytes;
      for (size_t i = 0; i < rowBytes; ++i) {
        size_t k = v.samples == 3 ? i - i % 3 + 2 - i % 3 : i;
        bad += a[k] != b[i];
      }
    }
    std::printf("%-16s %s\n", v.name, !ok ? "a decode failed" : bad ? "differs" : "identical");
    failures += !ok || bad;
  }
  return failures ? 1 : 0;
}

// A host holding the file and the bitmap in memory: the file is the input
// queue and the recycled bitmap the output queue.
void QuorvinInMemory(benchmark::State &state, const Variant &v) {
  qvhost::Options o;
  o.imageType = kTif;
  o.wholeInput = o.borrowInput = o.directOutput = true;
  qvbench::RunQuorvin(state, File(v), o, v.name);
}

struct Register {
  Register() {
    for (const Variant &v : kVariants) {
      benchmark::RegisterBenchmark((std::string("BM_Quorvin") + v.name).c_str(), Quorvin, v)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((std::string("BM_QuorvinInMemory") + v.name).c_str(), QuorvinInMemory, v)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((std::string("BM_Libtiff") + v.name).c_str(), Libtiff, v, false)
          ->Unit(benchmark::kMillisecond);
      if (IsDeflate(v))
        benchmark::RegisterBenchmark((std::string("BM_LibtiffZlib") + v.name).c_str(), Libtiff, v, true)
            ->Unit(benchmark::kMillisecond);
    }
  }
} g_register;

}  // namespace

// --heap-probe WIDTH HEIGHT: write a WIDTH x HEIGHT RGB LZW file with libtiff
// to a temporary file and decode it once through the host library from the
// file to /dev/null, for a heap profiler (heaptrack, massif) to measure the
// library's allocations. Prints the outcome.
int HeapProbe(uint32_t width, uint32_t height) {
  std::string path = "/tmp/qv_heap_probe.tif";
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) return 1;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint8_t> row(size_t{width} * 3);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x)
      for (uint32_t c = 0; c < 3; ++c) row[x * 3 + c] = qvbench::StripPicture(x, y, c);
    TIFFWriteScanline(t, row.data(), y, 0);
  }
  TIFFClose(t);
  qvhost::Options o;
  o.imageType = kTif;
  o.extra = false;
  o.outputFd = open("/dev/null", O_WRONLY);
  qvhost::Result r = qvhost::DecodeFile(path, o);
  close(o.outputFd);
  unlink(path.c_str());
  std::printf("%ux%u: status %d, %zu bytes of bitmap\n", width, height, r.status, r.outputLength);
  return r.ok() ? 0 : 1;
}

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--once") return Once(argv[2]);
  if (argc == 2 && std::string(argv[1]) == "--verify") return Verify();
  if (argc == 4 && std::string(argv[1]) == "--heap-probe")
    return HeapProbe(static_cast<uint32_t>(atoi(argv[2])), static_cast<uint32_t>(atoi(argv[3])));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  qvbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const Variant &v : kVariants) {
    double ours = reporter.CpuSeconds(std::string("BM_Quorvin") + v.name);
    double peer = reporter.CpuSeconds(std::string("BM_Libtiff") + v.name);
    double inMemory = reporter.CpuSeconds(std::string("BM_QuorvinInMemory") + v.name);
    if (ours > 0 && peer > 0)
      std::printf("%-16s %9zu bytes of file: libtiff / ours CPU time %.2f, in memory %.2f (goal >= %.1f)\n",
                  v.name, File(v).size(), peer / ours, inMemory > 0 ? peer / inMemory : 0.0,
                  v.compression == COMPRESSION_LZW || IsDeflate(v) ? 1.5 : 1.0);
    double zlib = reporter.CpuSeconds(std::string("BM_LibtiffZlib") + v.name);
    if (ours > 0 && zlib > 0)
      std::printf("%-16s %9s libtiff with zlib / ours CPU time %.2f, in memory %.2f\n", v.name, "",
                  zlib / ours, inMemory > 0 ? zlib / inMemory : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}

#else
int main() {
  std::printf("libtiff is not available: no TIFF benchmark\n");
  return 0;
}
#endif
