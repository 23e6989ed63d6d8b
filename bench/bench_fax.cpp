// Fax decoding: text pages 1728 pixels wide (made here, about 2200 rows
// each, as a typed letter at fax resolution), coded G4, G3 2-D and G3 1-D by
// libtiff. Ours: the fax decoders through the fax job body with 64 KiB
// queues, the rows going through the output queue to the host (which writes
// them to /dev/null); libtiff: TIFFReadEncodedStrip on the same files, in
// the same run. Also the raw Group 3 path (width from the first row, rows to
// the end of the page). MB/s count the 1-bit rows produced. The closing
// lines print libtiff's time / ours (target >= 2).
//
// bench_fax --count=NAME decodes one page set once inside CountedDecode,
// for callgrind's instruction counts (bench/fax_instructions.sh).
// bench_fax --memory decodes a 1728 x 1,000,000-row raw G3 page and prints
// the heap in use at its start and end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codecs/ccitt/ccitt_bits.h"
#include "engine/engine.h"
#include "engine/memory.h"
#include "fax_job.h"
#include "fax_pages.h"

namespace {

constexpr uint32_t kWidth = 1728, kHeight = 2200, kPages = 4;
constexpr size_t kRowBytes = kWidth / 8;

struct Coded {
  const char *name;
  uint16_t compression;
  uint32_t group3Options;
  std::vector<std::vector<uint8_t>> files;  // one TIFF per page
  std::vector<faxjob::Settings> settings;
  std::vector<uint8_t> raw;  // G3 1-D only: the pages' strips one after another, and RTC
};

std::vector<Coded> &Samples() {
  static std::vector<Coded> all = [] {
    std::vector<Coded> v = {{"G4", 4, 0, {}, {}, {}}, {"G3-2D", 3, 1, {}, {}, {}}, {"G3-1D", 3, 0, {}, {}, {}}};
    for (uint32_t p = 0; p < kPages; ++p) {
      faxpages::Page page = faxpages::TextPage(kWidth, kHeight, 100 + p);
      for (Coded &c : v) {
        faxpages::TiffOptions o;
        o.compression = c.compression;
        o.group3Options = c.group3Options;
        std::vector<uint8_t> file = faxpages::EncodeTiff(page, o);
        faxpages::TiffFax t;
        if (!faxpages::ReadFaxTiff(file, 0, &t) || t.rows != page.bits) {
          std::fprintf(stderr, "libtiff could not code the page\n");
          std::exit(1);
        }
        faxjob::Settings job;
        job.coding = c.compression == 4 ? faxjob::Coding::G4
                      : (c.group3Options & 1) ? faxjob::Coding::G3TwoD
                                              : faxjob::Coding::G3;
        job.width = kWidth;
        job.strips.push_back({t.offsets[0], t.counts[0], kHeight});
        job.hashRows = false;
        if (c.compression == 3 && c.group3Options == 0)
          c.raw.insert(c.raw.end(), file.begin() + t.offsets[0], file.begin() + t.offsets[0] + t.counts[0]);
        c.files.push_back(std::move(file));
        c.settings.push_back(job);
      }
    }
    // RTC: six EOLs.
    for (int i = 0; i < 6; ++i) {
      v[2].raw.push_back(0x00);
      v[2].raw.push_back(0x10);
    }
    return v;
  }();
  return all;
}

// 64 KiB queues; the output goes to /dev/null by position.
qvhost::Options HostOptions() {
  static int fd = open("/dev/null", O_WRONLY);
  qvhost::Options o;
  o.inQueue = o.outQueue = 65536;
  o.extra = false;
  o.outputFd = fd;
  return o;
}

// Our decode of every page of c; the rows produced, 0 on failure.
size_t DecodeOurs(const Coded &c) {
  qvhost::Options o = HostOptions();
  size_t rows = 0;
  for (size_t i = 0; i < c.files.size(); ++i) {
    faxjob::Outcome out;
    qvhost::Result r = faxjob::Run(c.files[i], c.settings[i], o, &out);
    if (!r.ok()) return 0;
    rows += out.rows;
  }
  return rows;
}

size_t DecodeRaw(const Coded &c) {
  qvhost::Options o = HostOptions();
  faxjob::Settings job;
  job.coding = faxjob::Coding::G3;
  job.width = 0;
  job.hashRows = false;
  faxjob::Outcome out;
  qvhost::Result r = faxjob::Run(c.raw, job, o, &out);
  return r.ok() && out.width == kWidth ? out.rows : 0;
}

size_t DecodeLibtiff(const Coded &c, std::vector<uint8_t> &into) {
  size_t bytes = 0;
  for (const std::vector<uint8_t> &file : c.files) {
    faxpages::TiffStripDecoder d(file);
    bytes += d.DecodeAll(into);
  }
  return bytes / kRowBytes;
}

void Ours(benchmark::State &state, int which) {
  const Coded &c = Samples()[which];
  for (auto _ : state)
    if (DecodeOurs(c) != kPages * kHeight) {
      state.SkipWithError("decode failed");
      return;
    }
  state.SetBytesProcessed(state.iterations() * int64_t{kPages} * kHeight * kRowBytes);
}

void Libtiff(benchmark::State &state, int which) {
  const Coded &c = Samples()[which];
  std::vector<uint8_t> into;
  for (auto _ : state)
    if (DecodeLibtiff(c, into) != kPages * kHeight) {
      state.SkipWithError("libtiff failed");
      return;
    }
  state.SetBytesProcessed(state.iterations() * int64_t{kPages} * kHeight * kRowBytes);
}

void BM_QuorvinG4(benchmark::State &s) { Ours(s, 0); }
void BM_LibtiffG4(benchmark::State &s) { Libtiff(s, 0); }
void BM_QuorvinG3TwoD(benchmark::State &s) { Ours(s, 1); }
void BM_LibtiffG3TwoD(benchmark::State &s) { Libtiff(s, 1); }
void BM_QuorvinG3OneD(benchmark::State &s) { Ours(s, 2); }
void BM_LibtiffG3OneD(benchmark::State &s) { Libtiff(s, 2); }
void BM_QuorvinRawG3(benchmark::State &state) {
  const Coded &c = Samples()[2];
  for (auto _ : state)
    if (DecodeRaw(c) != kPages * kHeight) {
      state.SkipWithError("raw decode failed");
      return;
    }
  state.SetBytesProcessed(state.iterations() * int64_t{kPages} * kHeight * kRowBytes);
}
BENCHMARK(BM_QuorvinG4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibtiffG4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinG3TwoD)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibtiffG3TwoD)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinG3OneD)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibtiffG3OneD)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuorvinRawG3)->Unit(benchmark::kMillisecond);

// One decode of every page, for callgrind (--toggle-collect=CountedDecode).
__attribute__((noinline)) size_t CountedDecode(const std::string &name, std::vector<uint8_t> &into) {
  for (int i = 0; i < 3; ++i) {
    const Coded &c = Samples()[i];
    if (name == std::string("quorvin-") + c.name) return DecodeOurs(c);
    if (name == std::string("libtiff-") + c.name) return DecodeLibtiff(c, into);
  }
  if (name == "quorvin-raw-G3") return DecodeRaw(Samples()[2]);
  return 0;
}

// The heap while a 1728 x 1,000,000-row raw G3 page decodes.
size_t g_heapAt[2];
long g_blocksAt[2];
void SampleHeap(uint32_t row) {
  int at = row == 1000 ? 0 : row == 1000000 ? 1 : -1;
  if (at < 0) return;
  g_heapAt[at] = mallinfo2().uordblks;
  g_blocksAt[at] = MemLiveBlocks();
}

int Memory() {
  const Coded &c = Samples()[2];
  // The pages' 1-D strips again and again (114 times 4 pages of 2200 rows),
  // then RTC.
  std::vector<uint8_t> page(c.raw.begin(), c.raw.end() - 12), data;
  uint32_t rows = 0;
  while (rows < 1000000) {
    data.insert(data.end(), page.begin(), page.end());
    rows += kPages * kHeight;
  }
  std::vector<uint8_t> rtc(c.raw.end() - 12, c.raw.end());
  data.insert(data.end(), rtc.begin(), rtc.end());
  qvhost::Options o = HostOptions();
  faxjob::Settings job;
  job.coding = faxjob::Coding::G3;
  job.width = 0;
  job.hashRows = false;
  job.onRow = SampleHeap;
  long before = MemLiveBlocks();
  faxjob::Outcome out;
  qvhost::Result r = faxjob::Run(data, job, o, &out);
  std::printf("raw G3 page: %u x %u rows from %zu bytes, status %d\n", out.width, out.rows, data.size(), r.status);
  std::printf("library blocks live: %ld before the job, %ld at row 1,000, %ld at row 1,000,000\n", before,
              g_blocksAt[0], g_blocksAt[1]);
  // The library's blocks: the job's context, the two lists of changes at the
  // raw working width, and the job body's row buffer.
  size_t lists = 2 * (32768 + kListSpare) * sizeof(uint32_t);
  std::printf("library heap: %zu bytes of context + %zu bytes of lists + %u bytes of row buffer\n",
              sizeof(DecoderContext), lists, 32768 / 8 + 3);
  std::printf("process heap in use: %zu bytes at row 1,000, %zu bytes at row 1,000,000 (difference %lld)\n",
              g_heapAt[0], g_heapAt[1], static_cast<long long>(g_heapAt[1]) - static_cast<long long>(g_heapAt[0]));
  return r.ok() && g_heapAt[0] == g_heapAt[1] ? 0 : 1;
}

double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// Ours and libtiff in turn, many times, each timed in thread CPU time: the
// median ratio, which load that comes and goes on a shared machine disturbs
// least.
void Paired() {
  constexpr int kRounds = 41;
  std::vector<uint8_t> into;
  for (int i = 0; i < 4; ++i) {
    const Coded &c = Samples()[i == 3 ? 2 : i];
    std::vector<double> ratios;
    for (int r = 0; r < kRounds; ++r) {
      double t0 = ThreadSeconds();
      size_t ours = i == 3 ? DecodeRaw(c) : DecodeOurs(c);
      double t1 = ThreadSeconds();
      size_t peer = DecodeLibtiff(c, into);
      double t2 = ThreadSeconds();
      if (ours != kPages * kHeight || peer != kPages * kHeight) return;
      ratios.push_back((t2 - t1) / (t1 - t0));
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("%s%s: libtiff / ours, paired CPU time: median %.2f (quartiles %.2f, %.2f)\n",
                i == 3 ? "raw " : "", c.name, ratios[kRounds / 2], ratios[kRounds / 4], ratios[3 * kRounds / 4]);
  }
}

// The CPU time of each run (every repetition with --benchmark_repetitions),
// and their median: a busy machine disturbs single runs.
class MedianReporter : public qvbench::RatioReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs)
      if (!run.error_occurred && run.iterations > 0 && run.run_type == Run::RT_Iteration)
        cpu_[run.run_name.function_name].push_back(run.cpu_accumulated_time / static_cast<double>(run.iterations));
    RatioReporter::ReportRuns(runs);
  }
  double Median(const std::string &name) {
    std::vector<double> &v = cpu_[name];
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> cpu_;
};

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--count=", 0) == 0) {
      std::vector<uint8_t> into;
      Samples();
      size_t rows = CountedDecode(a.substr(8), into);
      std::printf("%s: %zu rows\n", a.c_str() + 8, rows);
      return rows ? 0 : 1;
    }
    if (a == "--memory") return Memory();
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const Coded &c : Samples()) {
    size_t bytes = 0;
    for (const auto &f : c.files) bytes += f.size();
    std::printf("%s: %u pages of %ux%u, %zu bytes of TIFF\n", c.name, kPages, kWidth, kHeight, bytes);
  }
  const char *pairs[][2] = {{"BM_QuorvinG4", "BM_LibtiffG4"},
                            {"BM_QuorvinG3TwoD", "BM_LibtiffG3TwoD"},
                            {"BM_QuorvinG3OneD", "BM_LibtiffG3OneD"},
                            {"BM_QuorvinRawG3", "BM_LibtiffG3OneD"}};
  for (const auto &p : pairs) {
    double ours = reporter.Median(p[0]), peer = reporter.Median(p[1]);
    if (ours > 0 && peer > 0)
      std::printf("%s / %s CPU time (median): %.2f (target >= 2)\n", p[1], p[0], peer / ours);
  }
  Paired();
  benchmark::Shutdown();
  return 0;
}
