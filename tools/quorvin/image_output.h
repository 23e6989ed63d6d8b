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

// A BMP file: a 14-byte file header, then the delivered bitmap (header,
// colour table, rows) written by position into fd.
std::unique_ptr<ImageOutput> MakeBmpOutput(int fd);

// A PNG file written to fd: indexed for 1-, 4- and 8-bit images (with tRNS
// for a GIF's transparent index), grey for grey colour tables, RGB for true
// colour. Rows that arrive ahead of their turn wait in a scratch file.
// wholeImageFirst: the image is rewritten while it is delivered (GIF pass
// images) or its colour table comes last, so rows are collected in the
// scratch file first and written at the end. storedTopFirst: the file keeps
// its rows top row first and its reader delivers them in file order (a BMP
// with a negative height), so the decoder is not asked to reverse them.
std::unique_ptr<ImageOutput> MakePngOutput(int fd, bool wholeImageFirst, bool storedTopFirst);

// Whether this build can write PNG files.
bool HavePng();

}  // namespace qvtool
