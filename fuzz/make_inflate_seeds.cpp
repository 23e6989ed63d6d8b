// make_inflate_seeds OUT_DIR: seeds for fuzz_inflate. Prose, filtered image
// rows, runs and random bytes compressed by zlib at several levels with every
// strategy, zlib-wrapped and raw, each behind the 2-byte prefix the target
// reads (wrapper and buffer size, cutting seed).
#include <stdio.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "deflate_samples.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_inflate_seeds OUT_DIR\n");
    return 2;
  }
  std::string out = argv[1];
  std::mt19937 rng(1);
  std::vector<std::vector<uint8_t>> samples;
  samples.push_back(deflatesamples::Prose(12000, 1));
  samples.push_back(deflatesamples::FilterRows(deflatesamples::Picture(48, 40, 3, 2), 48, 40, 3));
  std::vector<uint8_t> runs, random(1500);
  while (runs.size() < 6000) runs.insert(runs.end(), 1 + rng() % 300, static_cast<uint8_t>(rng() % 4));
  for (auto &b : random) b = static_cast<uint8_t>(rng());
  samples.push_back(runs);
  samples.push_back(random);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  int written = 0;
  for (size_t s = 0; s < samples.size(); ++s)
    for (int level : {0, 1, 6, 9})
      for (int strategy : strategies)
        for (int wrapper = 0; wrapper < 2; ++wrapper) {
          if (level == 0 && strategy != Z_DEFAULT_STRATEGY) continue;
          z_stream z{};
          if (deflateInit2(&z, level, Z_DEFLATED, wrapper ? 15 : -15, 8, strategy) != Z_OK) return 1;
          std::vector<uint8_t> file(2 + deflateBound(&z, static_cast<uLong>(samples[s].size())));
          file[0] = static_cast<uint8_t>(wrapper | (written % 8) << 1);
          file[1] = static_cast<uint8_t>(rng());
          z.next_in = samples[s].data();
          z.avail_in = static_cast<uInt>(samples[s].size());
          z.next_out = file.data() + 2;
          z.avail_out = static_cast<uInt>(file.size() - 2);
          if (deflate(&z, Z_FINISH) != Z_STREAM_END) return 1;
          file.resize(2 + z.total_out);
          deflateEnd(&z);
          std::string path = out + "/inflate-" + std::to_string(written++);
          FILE *f = fopen(path.c_str(), "wb");
          if (!f) return 1;
          fwrite(file.data(), 1, file.size(), f);
          fclose(f);
        }
  printf("%d seeds\n", written);
  return 0;
}
