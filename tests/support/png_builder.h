// A small PNG writer for building test and fuzz files without zlib: lines
// filtered as asked, compressed with fixed Huffman codes (or kept in stored
// blocks), the image data split over chunks of any size, extra chunks
// before and after it, Adam7 when asked.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace pngbuild {

struct Chunk {
  std::string type;  // four letters
  std::vector<uint8_t> data;
};

struct Image {
  uint32_t width = 0, height = 0;
  uint8_t depth = 8;       // bits per sample
  uint8_t colourType = 2;  // 0, 2, 3, 4, 6
  bool interlaced = false;
  // The picture's lines at the file's depth, unfiltered, top row first, each
  // LineBytes(width) long (samples big-endian, small samples packed from the
  // most significant bit).
  std::vector<uint8_t> lines;
  std::vector<uint8_t> palette;  // PLTE: red, green, blue per entry
  std::vector<uint8_t> trns;     // tRNS data as in the file (none when empty)
  std::vector<Chunk> before;     // chunks after IHDR (and PLTE, tRNS), before the image data
  std::vector<Chunk> after;      // chunks between the image data and IEND
  int filter = -1;               // 0 to 4 for every line; -1 cycles through them line by line
  bool stored = false;           // stored deflate blocks instead of fixed codes
  size_t chunkSize = 0;          // image data per IDAT chunk; 0: one chunk
  bool iend = true;
};

// Samples per pixel of a colour type.
uint32_t Channels(uint8_t colourType);
// Bytes of a line of n pixels.
size_t LineBytes(const Image &image, uint32_t n);
// The filtered lines (a filter byte before each) the image data holds,
// every Adam7 pass in turn when interlaced.
std::vector<uint8_t> FilteredData(const Image &image);
// A zlib stream of data: fixed Huffman codes with matches, or stored blocks
// of at most storedBlock bytes.
std::vector<uint8_t> Zlib(const std::vector<uint8_t> &data, bool stored, size_t storedBlock = 65535);
// A chunk with its length and check value.
void PutChunk(std::vector<uint8_t> &file, const std::string &type, const std::vector<uint8_t> &data);
// The whole file.
std::vector<uint8_t> Build(const Image &image);

// Offsets of the chunks of a file: each chunk's length field, up to IEND or the end.
std::vector<size_t> ChunkOffsets(const std::vector<uint8_t> &file);
// The check value of the chunk whose length field is at offset, set anew.
void FixChunkCrc(std::vector<uint8_t> &file, size_t offset);

}  // namespace pngbuild
