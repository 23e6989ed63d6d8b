// make_jpeg_seeds OUT_DIR: small JPEG files written by libjpeg (every
// sampling, progressive, arithmetic, restart markers, grey, CMYK with and
// without Adobe's segment, EXIF and comment segments, two components),
// each behind a settings prefix for fuzz_jpeg (and fuzz_corvane: the prefix
// selects JPEG there too).
#include <stdio.h>

#include <string>

#include "fuzz_input.h"
#include "jpeg_writer.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_jpeg_seeds OUT_DIR\n");
    return 64;
  }
  size_t written = 0;
  for (int i = 0; i < 48; ++i) {
    qvtest::JpegSettings s;
    s.width = 8 + (i * 7) % 41;
    s.height = 8 + (i * 5) % 29;
    s.salt = static_cast<uint32_t>(i);
    s.components = i % 8 == 6 ? 1 : i % 8 == 7 ? 4 : i % 16 == 5 ? 2 : 3;
    s.hSample = 1 + i % 2 + (i % 5 == 3 ? 2 : 0);
    s.vSample = s.hSample == 4 ? 1 : 1 + (i / 2) % 2;
    s.progressive = i % 3 == 1;
    s.arithmetic = i % 7 == 2;
    s.restartRows = i % 4 == 0 ? 1 : 0;
    s.quality = 30 + (i * 13) % 70;
    s.adobe = i % 16 != 15;
    s.densityUnit = i % 3;
    s.xDensity = s.yDensity = static_cast<uint16_t>(72 + i);
    if (i % 5 == 0) s.segments.push_back({0xE1, qvtest::ExifBlock(static_cast<uint16_t>(1 + i % 8), 300, i % 2)});
    if (i % 6 == 0) s.segments.push_back({0xFE, {'s', 'e', 'e', 'd'}});
    std::vector<uint8_t> file = qvtest::MakeJpeg(s);
    if (file.empty()) continue;
    std::vector<uint8_t> bytes(kFuzzPrefix);
    FuzzPrefixFor(QV_TYPE_JPEG, bytes.data());
    bytes[1] = static_cast<uint8_t>(2 | (i % 2 ? 16 : 0) | (i % 3 == 0 ? 1 : 0));  // header, extended, top-down
    bytes[4] = static_cast<uint8_t>((i % 8) | (7 - i % 4) << 3);                  // queue sizes
    bytes.insert(bytes.end(), file.begin(), file.end());
    std::string path = std::string(argv[1]) + "/jpeg-seed-" + std::to_string(written++);
    FILE *o = fopen(path.c_str(), "wb");
    if (!o) continue;
    fwrite(bytes.data(), 1, bytes.size(), o);
    fclose(o);
  }
  printf("%zu seeds\n", written);
  return written ? 0 : 1;
}
