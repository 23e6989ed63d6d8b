// Bilevel pages for the fax tests and benchmark: text-like and line-art
// content from a seeded generator, and (with libtiff) their TIFF encodings
// and libtiff's own decode of any fax TIFF.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace faxpages {

// Packed rows, most significant bit leftmost, 1 = black.
struct Page {
  uint32_t width = 0, height = 0;
  size_t rowBytes = 0;
  std::vector<uint8_t> bits;
  uint8_t *Row(uint32_t y) { return bits.data() + y * rowBytes; }
  const uint8_t *Row(uint32_t y) const { return bits.data() + y * rowBytes; }
};

Page BlankPage(uint32_t width, uint32_t height);
// Lines of glyph-like strokes between margins, as a typed page at fax
// resolution looks.
Page TextPage(uint32_t width, uint32_t height, uint64_t seed);
// Lines, boxes, filled shapes and wide black areas, with a row of random
// noise now and then.
Page LineArtPage(uint32_t width, uint32_t height, uint64_t seed);
// A portable bitmap (P4) of the page.
std::vector<uint8_t> ToPbm(const Page &page);

#if QV_HAVE_TIFF
struct TiffOptions {
  uint16_t compression = 4;    // 2, 3 or 4
  uint32_t group3Options = 0;  // bit 0: two-dimensional; bit 2: EOLs end on a byte boundary
  uint16_t fillOrder = 1;
  uint32_t rowsPerStrip = 0;   // 0: the whole page in one strip
};
// The page as a one-page TIFF written by libtiff (photometric min-is-white).
std::vector<uint8_t> EncodeTiff(const Page &page, const TiffOptions &options);

// One directory of a fax TIFF as libtiff reads it.
struct TiffFax {
  uint32_t width = 0, height = 0, rowsPerStrip = 0;
  uint16_t compression = 0, fillOrder = 1;
  uint32_t group3Options = 0;
  std::vector<uint32_t> offsets, counts;  // per strip
  std::vector<uint8_t> rows;  // libtiff's decode, packed rows
  bool decoded = false;       // libtiff decoded every strip without error
};
// Directory dir of file; false when libtiff cannot open it or it is not
// CCITT-coded (compression 2, 3 or 4).
bool ReadFaxTiff(const std::vector<uint8_t> &file, int dir, TiffFax *out);
// Decode one strip of an open fax TIFF again with libtiff (TIFFReadEncodedStrip),
// for timing; returns the bytes produced.
class TiffStripDecoder {
 public:
  explicit TiffStripDecoder(const std::vector<uint8_t> &file);
  ~TiffStripDecoder();
  size_t DecodeAll(std::vector<uint8_t> &into);

 private:
  struct Impl;
  Impl *impl_;
};
#endif

}  // namespace faxpages
