// Where a decoded bitmap goes. The host library hands over output bytes by
// position as the reader places them; a BMP file takes them at their
// position, a PNG file takes whole rows top row first, in order, one at a
// time. Neither keeps the image in memory.
#pragma once
#include <stdint.h>

#include <memory>
#include <string>

#include "quorvin_host.h"

namespace qvtool {

class ImageOutput {
 public:
  virtual ~ImageOutput() = default;
  // Sets the decode options this output relies on.
  virtual void Configure(qvhost::Options *options) = 0;
  // Output bytes at an output position; false stops the decode (see error()).
  virtual bool Put(const ParamBlock &block, uint64_t position, const uint8_t *bytes, size_t n) = 0;
  // The decode succeeded: complete the file.
  virtual bool Finish(const qvhost::Result &result) = 0;
  const std::string &error() const { return error_; }

 protected:
  std::string error_;
};

// What an output needs to know about the input beyond the delivered bitmap.
struct OutputContext {
  bool tiffBigEndian = false;  // TIFF tag records hold their values big-endian
};

// A BMP file other programs read: a 14-byte file header, a 40-byte info
// header, a colour table of 2^bits entries for 1-, 4- and 8-bit images (grey
// levels when the image came without one) and none above, then the rows,
// written by position into fd as they arrive. CMYK rows become 32-bit RGB
// (CmykToRgb); the resolution a file states (BMP, TIFF) is kept.
std::unique_ptr<ImageOutput> MakeBmpOutput(int fd, const OutputContext &context);

// The bitmap exactly as the library delivers it (header, colour table as
// long as delivered, rows, CMYK included) behind a 14-byte BMP file header.
std::unique_ptr<ImageOutput> MakeDibOutput(int fd);

// A PNG file written to fd: indexed for 1-, 4- and 8-bit images (with tRNS
// for a GIF's transparent index), grey for grey colour tables and for images
// without one, RGB for true colour, with pHYs when the file states its
// resolution. Rows that arrive ahead of their turn wait in a scratch file.
// wholeImageFirst: the image is rewritten while it is delivered (GIF pass
// images) or its colour table comes last, so rows are collected in the
// scratch file first and written at the end. storedTopFirst: the file keeps
// its rows top row first and its reader delivers them in file order (a BMP
// with a negative height), so the decoder is not asked to reverse them.
std::unique_ptr<ImageOutput> MakePngOutput(int fd, bool wholeImageFirst, bool storedTopFirst,
                                           const OutputContext &context);

// Whether this build can write PNG files.
bool HavePng();

}  // namespace qvtool
