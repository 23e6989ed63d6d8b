// Sample files for the tests that drive many files through the decoder: a
// set made here (one per main reader path, so the tests stand without the
// corpus) and the corpus files of the readers this build has.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace qvtest {

struct SampleFile {
  std::string name;
  std::vector<uint8_t> data;
  uint32_t imageType = 0;
};

// BMP (24-bit with a large info header, RLE8, 4-bit), TGA (run-length with an
// image ID, extension area and developer field; colour-mapped top-down), PCX
// (256 colours, 24-bit planes), GIF (interlaced with a comment, plain with
// transparency), TIFF (grey LZW big-endian in strips, RGB PackBits, T.6),
// PNG (RGB with text chunks, Adam7 palette with a transparent entry) and,
// where libjpeg is linked into the tests, JPEG (4:2:0 with restart markers,
// EXIF and a comment; progressive; grey; Adobe CMYK).
std::vector<SampleFile> GeneratedSamples();

// Corpus files of the BMP, GIF, PCX, TGA and TIFF readers whose format is
// detected, every n-th one; empty when the corpus is absent.
std::vector<SampleFile> CorpusSamples(size_t every = 1);

}  // namespace qvtest
