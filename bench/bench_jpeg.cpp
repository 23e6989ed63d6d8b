// JPEG decoding: a 3072 x 2048 photograph stand-in compressed by libjpeg at
// quality 90 (baseline 4:2:0, progressive 4:2:0, baseline 4:4:4, grey),
// through the host library (64 KiB queues, and in memory: the file the
// input queue, the recycled bitmap the output queue) beside libjpeg-turbo
// called directly as djpeg does (memory source, jpeg_read_scanlines a row at
// a time into a bitmap in memory, the same BGR output) and stb_image. The
// library decodes with the very libjpeg it loads, so the difference is the
// job's own cost: the goal is an overhead under 10 % (libjpeg / ours at
// least 0.91). MB/s count the bitmap bytes.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "bench_support.h"

#if QV_HAVE_LIBJPEG
// clang-format off
#include <jpeglib.h>
// clang-format on

namespace {

constexpr uint32_t kWidth = 3072, kHeight = 2048;

struct Variant {
  const char *name;
  bool progressive;
  int sampling;  // luma factor: 2 for 4:2:0, 1 for 4:4:4
  bool grey;
};
const Variant kVariants[] = {
    {"Baseline420", false, 2, false},
    {"Progressive420", true, 2, false},
    {"Baseline444", false, 1, false},
    {"Grey", false, 1, true},
};

std::vector<uint8_t> Compress(const Variant &v) {
  const std::vector<uint8_t> &bgr = qvbench::PhotoBgr(kWidth, kHeight);
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = kWidth;
  c.image_height = kHeight;
  c.input_components = v.grey ? 1 : 3;
  c.in_color_space = v.grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  if (!v.grey) c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = v.sampling;
  if (v.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(size_t{kWidth} * 3);
  while (c.next_scanline < kHeight) {
    const uint8_t *src = &bgr[size_t{c.next_scanline} * kWidth * 3];
    if (v.grey)
      for (uint32_t x = 0; x < kWidth; ++x) row[x] = static_cast<uint8_t>((src[3 * x] + 6 * src[3 * x + 1] + 3 * src[3 * x + 2]) / 10);
    JSAMPROW r = v.grey ? row.data() : const_cast<uint8_t *>(src);
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> file(buffer, buffer + size);
  free(buffer);
  return file;
}

const std::vector<uint8_t> &File(const Variant &v) {
  static std::vector<uint8_t> files[sizeof kVariants / sizeof kVariants[0]];
  std::vector<uint8_t> &f = files[&v - kVariants];
  if (f.empty()) f = Compress(v);
  return f;
}

// libjpeg as djpeg drives it: a memory source, a row at a time into a
// bitmap (rows padded to 4 bytes, as ours), BGR or grey.
size_t Libjpeg(const std::vector<uint8_t> &file) {
  static std::vector<uint8_t> bitmap;
  jpeg_decompress_struct d;
  jpeg_error_mgr e;
  d.err = jpeg_std_error(&e);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, file.data(), file.size());
  jpeg_read_header(&d, TRUE);
  if (d.jpeg_color_space != JCS_GRAYSCALE) d.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&d);
  size_t stride = (size_t{d.output_width} * d.output_components + 3) & ~size_t{3};
  bitmap.resize(stride * d.output_height);
  while (d.output_scanline < d.output_height) {
    JSAMPROW r = &bitmap[stride * d.output_scanline];
    jpeg_read_scanlines(&d, &r, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  benchmark::DoNotOptimize(bitmap.data());
  return bitmap.size();
}

void Quorvin(benchmark::State &state, const Variant &v, uint32_t flags, bool memory) {
  qvhost::Options o;
  o.imageType = QV_TYPE_JPEG;
  o.flags = flags;
  if (memory) o.wholeInput = o.borrowInput = o.directOutput = true;
  qvbench::RunQuorvin(state, File(v), o, v.name);
}

struct Register {
  std::vector<qvbench::Ratio> ratios;
  Register() {
    for (const Variant &v : kVariants) {
      const Variant *p = &v;
      std::string n = v.name;
      benchmark::RegisterBenchmark(("BM_Quorvin" + n).c_str(), [p](benchmark::State &s) { Quorvin(s, *p, 0, false); })
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("BM_QuorvinTopDown" + n).c_str(),
                                   [p](benchmark::State &s) { Quorvin(s, *p, QV_FLAG_TOP_DOWN, false); })
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("BM_QuorvinInMemory" + n).c_str(),
                                   [p](benchmark::State &s) { Quorvin(s, *p, 0, true); })
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("BM_Libjpeg" + n).c_str(),
                                   [p](benchmark::State &s) { qvbench::RunPeer(s, File(*p), Libjpeg, p->name); })
          ->Unit(benchmark::kMillisecond);
      ratios.push_back({"libjpeg / Quorvin, " + n, "BM_Quorvin" + n, "BM_Libjpeg" + n, 0.91});
      ratios.push_back({"libjpeg / Quorvin, " + n + ", top-down", "BM_QuorvinTopDown" + n, "BM_Libjpeg" + n, 0.91});
      ratios.push_back({"libjpeg / Quorvin, " + n + ", in memory", "BM_QuorvinInMemory" + n, "BM_Libjpeg" + n, 0.91});
#if QV_HAVE_STB
      benchmark::RegisterBenchmark(("BM_Stb" + n).c_str(),
                                   [p](benchmark::State &s) { qvbench::RunPeer(s, File(*p), qvbench::StbDecode, p->name); })
          ->Unit(benchmark::kMillisecond);
      ratios.push_back({"stb_image / Quorvin, " + n, "BM_Quorvin" + n, "BM_Stb" + n, 0});
#endif
    }
  }
};

}  // namespace

int main(int argc, char **argv) {
  Register r;
  std::string preface = "photograph stand-in " + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                        ", quality 90; files:";
  for (const Variant &v : kVariants) {
    preface += ' ';
    preface += v.name;
    preface += ' ';
    preface += std::to_string(File(v).size() >> 10);
    preface += " KiB";
  }
  preface += "\ngoal: the job's overhead over the libjpeg it loads under 10 % (ratio >= 0.91)";
  return qvbench::RunAndReport(argc, argv, r.ratios, preface);
}

#else
int main() {
  printf("libjpeg's development files are not installed: no JPEG benchmark\n");
  return 0;
}
#endif
