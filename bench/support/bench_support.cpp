#include "bench_support.h"

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>

#if QV_HAVE_STB
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#include "stb_image.h"
#endif

#if QV_HAVE_SDL2_IMAGE
#include <SDL.h>
#include <SDL_image.h>
#endif

namespace qvbench {

namespace {
// Keep freed memory in the process between iterations, as a long-running host
// would. Large blocks would otherwise be fresh mappings every time (glibc maps
// anything above 32 MiB however the threshold is set), and the kernel's page
// faults on them would swamp the decoders being measured, ours and the peers'.
struct SteadyHeap {
  SteadyHeap() {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  }
} g_steadyHeap;

bool HasFlag(int argc, char **argv, const char *name) {
  size_t n = strlen(name);
  for (int i = 1; i < argc; ++i)
    if (strncmp(argv[i], name, n) == 0) return true;
  return false;
}

// QV_BENCH_CLASSIC=1 in the environment: decode without the extended bit
// (the host library sets it by default), so that figures compare with
// builds that had none.
void ApplyEnvironment(qvhost::Options *o) {
  const char *classic = getenv("QV_BENCH_CLASSIC");
  if (classic && *classic == '1') o->extended = false;
}
}  // namespace

size_t DecodeBytes(const std::vector<uint8_t> &file, uint32_t imageType, size_t queue) {
  qvhost::Options o;
  o.imageType = imageType;
  o.inQueue = queue;
  o.outQueue = queue;
  o.extra = false;
  ApplyEnvironment(&o);
  qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
  return r.ok() ? r.output.size() : 0;
}

size_t DecodeInto(const uint8_t *data, size_t size, const qvhost::Options &options,
                  std::vector<uint8_t> &output) {
  qvhost::Options o = options;
  ApplyEnvironment(&o);
  o.recycleOutput = &output;
  qvhost::Result r = qvhost::Decode(data, size, o);
  output.swap(r.output);
  return r.ok() ? output.size() : 0;
}

size_t DecodeInto(const std::vector<uint8_t> &file, const qvhost::Options &options,
                  std::vector<uint8_t> &output) {
  return DecodeInto(file.data(), file.size(), options, output);
}

void RunQuorvin(benchmark::State &state, const std::vector<uint8_t> &file, const qvhost::Options &options,
                const std::string &label) {
  state.SetLabel(label);
  qvhost::Options o = options;
  o.extra = false;
  ApplyEnvironment(&o);
  std::vector<uint8_t> out;
  // A borrowed input queue reaches one spare byte past the file.
  std::vector<uint8_t> padded;
  if (o.borrowInput) {
    padded.reserve(file.size() + 1);
    padded = file;
    padded.push_back(0);
  }
  const uint8_t *data = o.borrowInput ? padded.data() : file.data();
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = DecodeInto(data, file.size(), o, out);
    if (!bytes) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void RunPeer(benchmark::State &state, const std::vector<uint8_t> &file,
             size_t (*decode)(const std::vector<uint8_t> &), const std::string &label) {
  state.SetLabel(label);
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = decode(file);
    if (!bytes) {
      state.SkipWithError("the peer does not decode this file");
      return;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

std::vector<Ratio> RegisterRasterBenchmarks(const std::vector<Sample> &samples, const char *sdlType,
                                            size_t stbSamples) {
  std::vector<Ratio> ratios;
  for (size_t i = 0; i < samples.size(); ++i) {
    const Sample *s = &samples[i];
    std::string n = std::to_string(i);
    std::string label = s->name + ", " + std::to_string(s->file.size() >> 10) + " KiB file";
    for (bool memory : {false, true})
      for (uint32_t flags : {0u, static_cast<uint32_t>(QV_FLAG_TOP_DOWN)}) {
        std::string name = std::string(flags ? "BM_QuorvinTopDown" : "BM_Quorvin") + (memory ? "InMemory/" : "/") + n;
        benchmark::RegisterBenchmark(name.c_str(), [s, flags, memory, label](benchmark::State &state) {
          qvhost::Options o;
          o.imageType = s->imageType;
          o.flags = flags;
          if (memory) {
            // A host holding the file and the bitmap in memory: the file is
            // the input queue and the bitmap the output queue.
            o.wholeInput = o.borrowInput = o.directOutput = true;
          }
          RunQuorvin(state, s->file, o, label);
        })->Unit(benchmark::kMillisecond);
        ratios.push_back({std::string("SDL2_image / Quorvin, ") + s->name + (flags ? ", top-down" : "") +
                              (memory ? ", in memory" : ""),
                          name, "BM_SdlImage/" + n, s->goal});
      }
#if QV_HAVE_SDL2_IMAGE
    benchmark::RegisterBenchmark(("BM_SdlImage/" + n).c_str(), [s, sdlType](benchmark::State &state) {
      state.SetLabel(s->name);
      for (auto _ : state)
        if (!SdlDecode(s->file, sdlType)) {
          state.SkipWithError("SDL2_image does not decode this file");
          return;
        }
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SdlDecode(s->file, sdlType)));
    })->Unit(benchmark::kMillisecond);
#else
    (void)sdlType;
#endif
#if QV_HAVE_STB
    if (i < stbSamples) {
      benchmark::RegisterBenchmark(("BM_Stb/" + n).c_str(), [s](benchmark::State &state) {
        RunPeer(state, s->file, StbDecode, s->name);
      })->Unit(benchmark::kMillisecond);
      ratios.push_back({"stb_image / Quorvin, " + s->name, "BM_Quorvin/" + n, "BM_Stb/" + n, 0});
    }
#else
    (void)stbSamples;
#endif
  }
  return ratios;
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

#if QV_HAVE_SDL2_IMAGE
size_t SdlDecode(const std::vector<uint8_t> &file, const char *type) {
  SDL_RWops *rw = SDL_RWFromConstMem(file.data(), static_cast<int>(file.size()));
  SDL_Surface *s = IMG_LoadTyped_RW(rw, 1, type);
  if (!s) return 0;
  size_t bytes = static_cast<size_t>(s->pitch) * static_cast<size_t>(s->h);
  SDL_FreeSurface(s);
  return bytes;
}
#endif

void RatioReporter::ReportRuns(const std::vector<Run> &runs) {
  for (const Run &run : runs) {
    if (run.error_occurred || run.iterations <= 0) continue;
    std::string name = run.run_name.str();
    double n = static_cast<double>(run.iterations);
    if (run.run_type == Run::RT_Aggregate) {
      if (run.aggregate_name != "median") continue;
      median_[name] = true;
    } else if (median_[name]) {
      continue;
    }
    real_[name] = run.real_accumulated_time / n;
    cpu_[name] = run.cpu_accumulated_time / n;
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

int RunAndReport(int argc, char **argv, const std::vector<Ratio> &ratios, const std::string &preface) {
  std::vector<char *> args(argv, argv + argc);
  static char reps[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_report_aggregates_only=true";
  if (!HasFlag(argc, argv, "--benchmark_repetitions")) args.push_back(reps);
  if (!HasFlag(argc, argv, "--benchmark_enable_random_interleaving")) args.push_back(interleave);
  if (!HasFlag(argc, argv, "--benchmark_report_aggregates_only")) args.push_back(aggregates);
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (!preface.empty()) std::printf("%s\n", preface.c_str());
  std::printf("peer CPU time / our CPU time (median of repetitions; above 1 means we are faster):\n");
  for (const Ratio &r : ratios) {
    double ours = reporter.CpuSeconds(r.ours), peer = reporter.CpuSeconds(r.peer);
    if (ours <= 0 || peer <= 0) continue;
    if (r.goal > 0)
      std::printf("  %-44s %5.2f  (goal >= %.1f)\n", r.label.c_str(), peer / ours, r.goal);
    else
      std::printf("  %-44s %5.2f\n", r.label.c_str(), peer / ours);
  }
  benchmark::Shutdown();
  return 0;
}

namespace {

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  x ^= x >> 16;
  return x;
}

// Value noise: a grid of random values every cell pixels, bilinearly
// interpolated, so shading varies smoothly at that scale.
struct Grid {
  uint32_t cell, cols;
  std::vector<float> v;
  Grid(uint32_t width, uint32_t height, uint32_t cellSize, uint32_t seed)
      : cell(cellSize), cols(width / cellSize + 2) {
    uint32_t rows = height / cellSize + 2;
    v.resize(static_cast<size_t>(cols) * rows);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(Hash(static_cast<uint32_t>(i) * 2654435761u + seed) & 0xFFFF) / 65535.0f;
  }
  float At(uint32_t x, uint32_t y) const {
    uint32_t gx = x / cell, gy = y / cell;
    float fx = static_cast<float>(x % cell) / cell, fy = static_cast<float>(y % cell) / cell;
    const float *r0 = &v[static_cast<size_t>(gy) * cols + gx], *r1 = r0 + cols;
    float top = r0[0] + (r0[1] - r0[0]) * fx, bottom = r1[0] + (r1[1] - r1[0]) * fx;
    return top + (bottom - top) * fy;
  }
};

float Channel(const Grid &coarse, const Grid &fine, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
              uint32_t c) {
  float gradient = c == 0 ? static_cast<float>(x) / w : c == 1 ? static_cast<float>(y) / h
                                                               : static_cast<float>(x + y) / (w + h);
  float smooth = 0.55f * coarse.At(x, y) + 0.3f * fine.At(x, y) + 0.15f * gradient;
  // Sensor noise: a triangular distribution of about +-12 levels.
  uint32_t r = Hash(x * 73856093u ^ y * 19349663u ^ c * 83492791u);
  float noise = static_cast<float>(static_cast<int>(r & 0xFF) + static_cast<int>((r >> 8) & 0xFF) - 255) / 21.0f;
  return smooth * 255.0f + noise;
}

uint8_t Clamp(float v) { return v < 0 ? 0 : v > 255 ? 255 : static_cast<uint8_t>(v + 0.5f); }

constexpr int kLevels[3] = {6, 7, 6};  // blue, green, red

}  // namespace

uint8_t StripPicture(uint32_t x, uint32_t y, uint32_t c) {
  uint32_t band = (x / 256 + y / 192) & 3;
  if (band == 0) return static_cast<uint8_t>(40 * c + y / 64);                      // flat
  if (band == 1) return static_cast<uint8_t>((x + 2 * y + 50 * c) >> 4);           // gradient
  uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ (c * 83492791u);
  return static_cast<uint8_t>(((x + y) >> 3) + (h >> 28));                          // texture with noise
}

const std::vector<uint8_t> &PhotoBgr(uint32_t width, uint32_t height) {
  static std::map<std::pair<uint32_t, uint32_t>, std::vector<uint8_t>> cache;
  auto key = std::make_pair(width, height);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  std::vector<uint8_t> &p = cache[key];
  p.resize(static_cast<size_t>(width) * height * 3);
  Grid coarse[3] = {{width, height, 512, 1}, {width, height, 512, 2}, {width, height, 512, 3}};
  Grid fine[3] = {{width, height, 48, 4}, {width, height, 48, 5}, {width, height, 48, 6}};
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      for (uint32_t c = 0; c < 3; ++c)
        p[(static_cast<size_t>(y) * width + x) * 3 + c] = Clamp(Channel(coarse[c], fine[c], x, y, width, height, c));
  return p;
}

const std::vector<uint8_t> &PhotoIndexed(uint32_t width, uint32_t height) {
  static std::map<std::pair<uint32_t, uint32_t>, std::vector<uint8_t>> cache;
  auto key = std::make_pair(width, height);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  const std::vector<uint8_t> &bgr = PhotoBgr(width, height);
  std::vector<uint8_t> &out = cache[key];
  out.resize(static_cast<size_t>(width) * height);
  // Error rows for the current and the next line, per channel, with a
  // margin of one pixel on each side.
  std::vector<float> cur(3 * (width + 2)), next(3 * (width + 2));
  for (uint32_t y = 0; y < height; ++y) {
    std::fill(next.begin(), next.end(), 0.0f);
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t index = 0;
      for (int c = 2; c >= 0; --c) {  // red, green, blue
        size_t e = 3 * (x + 1) + c;
        float want = bgr[(static_cast<size_t>(y) * width + x) * 3 + c] + cur[e];
        int steps = kLevels[c] - 1;
        int level = static_cast<int>(std::lround(want * steps / 255.0f));
        level = level < 0 ? 0 : level > steps ? steps : level;
        float err = want - level * 255.0f / steps;
        cur[e + 3] += err * 7 / 16;
        next[e - 3] += err * 3 / 16;
        next[e] += err * 5 / 16;
        next[e + 3] += err * 1 / 16;
        index = index * kLevels[c] + level;
      }
      out[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(index);
    }
    cur.swap(next);
  }
  return out;
}

std::vector<uint8_t> PhotoPaletteBgr() {
  std::vector<uint8_t> t;
  for (int i = 0; i < 256; ++i) {
    int r = i / 42, g = (i / 6) % 7, b = i % 6;
    if (i >= 252) r = g = b = 0;
    t.push_back(static_cast<uint8_t>(b * 255 / 5));
    t.push_back(static_cast<uint8_t>(g * 255 / 6));
    t.push_back(static_cast<uint8_t>(r * 255 / 5));
  }
  return t;
}

}  // namespace qvbench
