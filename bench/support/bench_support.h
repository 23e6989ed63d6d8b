// Helpers shared by the benchmarks: sample pictures, decoding through the
// host library and the peers, and a main() that runs interleaved repetitions
// and prints peer/our ratios of median CPU time.
#pragma once
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bytes.h"
#include "quorvin_host.h"

namespace qvbench {

// The console output, keeping each benchmark's time per iteration: the median
// of its repetitions when there are several, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override;
  double Seconds(const std::string &name) const;     // wall time
  double CpuSeconds(const std::string &name) const;  // CPU time

 private:
  std::map<std::string, double> real_, cpu_;
  std::map<std::string, bool> median_;
};

// One line of the closing summary: peer CPU time / our CPU time.
struct Ratio {
  std::string label, ours, peer;
  double goal;  // 0: no goal stated
};

// Runs the registered benchmarks and prints the ratios. Unless the command
// line says otherwise, each benchmark runs 5 repetitions in random
// interleaved order and only the aggregates are shown, so a busy machine
// disturbs every side alike.
int RunAndReport(int argc, char **argv, const std::vector<Ratio> &ratios,
                 const std::string &preface = "");

using qvhost::ReadFileBytes;
// Decode through the host library with 64 KiB queues; returns bytes of bitmap produced.
size_t DecodeBytes(const std::vector<uint8_t> &file, uint32_t imageType, size_t queue = 65536);

// Decode through the host library into a buffer that lives across
// iterations; returns the bytes produced, 0 on failure.
size_t DecodeInto(const std::vector<uint8_t> &file, const qvhost::Options &options,
                  std::vector<uint8_t> &output);
size_t DecodeInto(const uint8_t *data, size_t size, const qvhost::Options &options,
                  std::vector<uint8_t> &output);

// One benchmark of our side: file decoded with options into a buffer that
// lives across iterations; MB/s count the bitmap bytes.
void RunQuorvin(benchmark::State &state, const std::vector<uint8_t> &file, const qvhost::Options &options,
                const std::string &label);
// One benchmark of a peer: decode returns the bytes it produced, 0 on failure.
void RunPeer(benchmark::State &state, const std::vector<uint8_t> &file,
             size_t (*decode)(const std::vector<uint8_t> &), const std::string &label);

// One file of a raster benchmark.
struct Sample {
  std::string name;
  uint32_t imageType;
  std::vector<uint8_t> file;
  double goal;  // against SDL2_image; 0 for none
};
// Registers, for every sample, our decode in the bitmap's own order
// (BM_Quorvin/i) and top row first (BM_QuorvinTopDown/i, flipped delivery),
// SDL2_image's loader for sdlType and, for the first stbSamples samples,
// stb_image; returns the ratio lines for RunAndReport. The samples must
// outlive the run.
std::vector<Ratio> RegisterRasterBenchmarks(const std::vector<Sample> &samples, const char *sdlType,
                                            size_t stbSamples);

#if QV_HAVE_STB
// stb_image to memory; returns bytes produced (0 on failure).
size_t StbDecode(const std::vector<uint8_t> &file);
#endif
#if QV_HAVE_SDL2_IMAGE
// SDL2_image's loader for type ("BMP", "TGA", "PCX", "GIF"); returns the
// surface bytes (pitch x rows), 0 on failure.
size_t SdlDecode(const std::vector<uint8_t> &file, const char *type);
#endif

// bench_tiff's picture, sample c of pixel (x, y): bands of flat areas,
// gradients and texture with noise.
uint8_t StripPicture(uint32_t x, uint32_t y, uint32_t c);

// A photograph stand-in: smooth shading at several scales plus per-pixel
// noise. Pixels are blue, green, red, top row first.
const std::vector<uint8_t> &PhotoBgr(uint32_t width, uint32_t height);
// The same picture reduced to 252 colours (6 x 7 x 6 levels) with
// Floyd-Steinberg dithering, as GIF and 8-bit BMP writers store photographs:
// one index per pixel, top row first.
const std::vector<uint8_t> &PhotoIndexed(uint32_t width, uint32_t height);
// The 256-entry colour table of PhotoIndexed as blue, green, red bytes.
std::vector<uint8_t> PhotoPaletteBgr();

}  // namespace qvbench
