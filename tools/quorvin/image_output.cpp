#include "image_output.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#if QV_HAVE_PNG
#include <png.h>
#endif

#include "image_view.h"
#include "tool_files.h"

namespace qvtool {
namespace {

uint32_t Stride(const BitmapInfoHeader &h) {
  uint64_t width = h.biWidth < 0 ? 0 : static_cast<uint64_t>(h.biWidth);
  return static_cast<uint32_t>(((h.biBitCount * width + 31) / 32) * 4);
}

uint32_t Rows(const BitmapInfoHeader &h) {
  return h.biHeight < 0 ? 0u - static_cast<uint32_t>(h.biHeight) : static_cast<uint32_t>(h.biHeight);
}

// All n bytes by position through pread or pwrite; false at an error or the file's end.
template <typename Byte, typename Transfer>
bool WholeAt(Transfer transfer, int fd, Byte *p, size_t n, uint64_t pos) {
  while (n) {
    ssize_t done = transfer(fd, p, n, static_cast<off_t>(pos));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done, pos += static_cast<uint64_t>(done), n -= static_cast<size_t>(done);
  }
  return true;
}

bool WriteAt(int fd, const uint8_t *p, size_t n, uint64_t pos) { return WholeAt(pwrite, fd, p, n, pos); }
bool ReadAt(int fd, uint8_t *p, size_t n, uint64_t pos) { return WholeAt(pread, fd, p, n, pos); }

// ---------------------------------------------------------------- what both formats keep

constexpr uint32_t kFileHeader = 14;
constexpr uint32_t kV4Header = 108;  // the information header that carries an alpha mask
constexpr uint32_t kCmyk = QV_FOURCC('C', 'M', 'Y', 'K');

// Blue, green, red and associated alpha to straight alpha (colour / alpha,
// rounded; a pixel of alpha 0 stays as it is).
void UnpremultiplyBgra(const uint8_t *from, uint8_t *to, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i, from += 4, to += 4) {
    uint32_t a = from[3];
    for (int c = 0; c < 3; ++c)
      to[c] = a ? static_cast<uint8_t>(std::min<uint32_t>(255, (from[c] * 255u + a / 2) / a)) : from[c];
    to[3] = static_cast<uint8_t>(a);
  }
}

// An indexed bitmap delivered without a colour table (a Targa file of type 2
// with 8-bit pixels and no colour map): biClrUsed 0 and nothing in Palette.
// Such pixels are grey levels.
bool WithoutColourTable(const BitmapInfoHeader &h, const PaletteEntry *palette) {
  if (h.biBitCount > 8 || h.biClrUsed != 0) return false;
  for (uint32_t i = 0; i < (1u << h.biBitCount); ++i)
    if (palette[i].red | palette[i].green | palette[i].blue) return false;
  return true;
}

// Resolution as a file states it: pixels per metre, or (metres false) only
// the ratio of the two.
struct Resolution {
  uint32_t x = 0, y = 0;
  bool metres = false;
  bool known() const { return x && y; }
};

uint32_t Rounded(double v) { return v >= 0.5 && v < 2147483647.0 ? static_cast<uint32_t>(v + 0.5) : 0; }

// From the delivered header (BMP files carry pixels per metre), else from a
// TIFF file's XResolution, YResolution and ResolutionUnit records (unit 2,
// inches, when absent; 3 centimetres; 1 no absolute unit).
Resolution ResolutionOf(const ParamBlock &b, bool bigEndian) {
  Resolution r;
  const BitmapInfoHeader &h = b.BitmapHeader;
  if (h.biXPelsPerMeter > 0 && h.biYPelsPerMeter > 0) {
    r.x = static_cast<uint32_t>(h.biXPelsPerMeter), r.y = static_cast<uint32_t>(h.biYPelsPerMeter);
    r.metres = true;
    return r;
  }
  double x = 0, y = 0;
  uint32_t unit = 2;
  size_t at = 0, used = b.ExtraBuffer ? b.ExtraUsed : 0;
  while (at + 14 <= used) {
    uint32_t kind, length;
    uint16_t type;
    memcpy(&kind, b.ExtraBuffer + at, 4);
    memcpy(&length, b.ExtraBuffer + at + 4, 4);
    if (length > used - at - 8) break;
    memcpy(&type, b.ExtraBuffer + at + 8, 2);
    const uint8_t *values = b.ExtraBuffer + at + 14;
    std::vector<uint32_t> v = length >= 6 ? qvhost::TiffNumbers(type, values, length - 6, bigEndian, 2)
                                          : std::vector<uint32_t>();
    if ((kind == 0x4000 + 282 || kind == 0x4000 + 283) && (type == 5) && v.size() == 2 && v[1])
      (kind == 0x4000 + 282 ? x : y) = static_cast<double>(v[0]) / v[1];
    if (kind == 0x4000 + 296 && !v.empty()) unit = v[0];
    at += 8 + length;
  }
  if (x <= 0 || y <= 0 || unit < 1 || unit > 3) return r;
  double scale = unit == 2 ? 100 / 2.54 : unit == 3 ? 100 : 1;
  if (unit == 1) {  // a ratio only: keep three decimals of it
    scale = 1000 / std::min(x, y);
  }
  r.x = Rounded(x * scale), r.y = Rounded(y * scale);
  r.metres = unit != 1;
  if (!r.known()) r = Resolution();
  return r;
}

// ---------------------------------------------------------------- orientation

// A pixel of a row of `bits` bits per pixel (1, 2, 4, or whole bytes).
void CopyPixel(const uint8_t *from, uint32_t fx, uint8_t *to, uint32_t tx, uint32_t bits) {
  if (bits >= 8) {
    memcpy(to + size_t{tx} * (bits / 8), from + size_t{fx} * (bits / 8), bits / 8);
    return;
  }
  uint32_t perByte = 8 / bits, mask = (1u << bits) - 1;
  uint32_t fs = 8 - bits * (fx % perByte + 1), ts = 8 - bits * (tx % perByte + 1);
  uint32_t v = (from[fx / perByte] >> fs) & mask;
  uint8_t &t = to[tx / perByte];
  t = static_cast<uint8_t>((t & ~(mask << ts)) | v << ts);
}

// The delivered bitmap, kept in a file, seen as the image its Orientation
// (TIFF numbering, 2 to 8) describes, row by row from the top. Orientations
// 2 to 4 read one source row a row (mirrored or not); the transposing ones
// (5 to 8) gather a band of output rows at a time from every source row, so
// that memory stays at one band (at most 16 MiB, or one row).
class Orienter {
 public:
  Orienter(int fd, uint64_t start, const BitmapInfoHeader &h, bool topFirst, uint32_t orientation)
      : fd_(fd), start_(start), w_(static_cast<uint32_t>(h.biWidth)), h_(Rows(h)), bits_(h.biBitCount),
        stride_(qvtool::Stride(h)), topFirst_(topFirst), o_(orientation) {
    transposed_ = o_ >= 5;
    BitmapInfoHeader out = h;
    if (transposed_) {
      out.biWidth = static_cast<int32_t>(h_);
      std::swap(out.biXPelsPerMeter, out.biYPelsPerMeter);
    }
    outStride_ = qvtool::Stride(out);
    source_.assign(stride_, 0);
    if (transposed_) {
      band_ = std::max<uint32_t>(1, std::min<uint32_t>(w_, static_cast<uint32_t>((16u << 20) / std::max<uint32_t>(outStride_, 1))));
      rows_.assign(size_t{band_} * outStride_, 0);
    }
  }
  uint32_t Width() const { return transposed_ ? h_ : w_; }
  uint32_t Height() const { return transposed_ ? w_ : h_; }
  uint32_t Stride() const { return outStride_; }

  // Output row y (asked in order from 0) into out (Stride() bytes).
  bool Row(uint32_t y, uint8_t *out) {
    memset(out, 0, outStride_);
    if (!transposed_) {
      bool up = o_ == 3 || o_ == 4, mirror = o_ == 2 || o_ == 3;
      if (!ReadSourceRow(up ? h_ - 1 - y : y)) return false;
      if (!mirror) {
        memcpy(out, source_.data(), outStride_);
      } else {
        for (uint32_t x = 0; x < w_; ++x) CopyPixel(source_.data(), w_ - 1 - x, out, x, bits_);
      }
      return true;
    }
    if (y < first_ || y >= first_ + count_) {
      first_ = y;
      count_ = std::min(band_, w_ - y);
      if (!FillBand()) return false;
    }
    memcpy(out, rows_.data() + size_t{y - first_} * outStride_, outStride_);
    return true;
  }

 private:
  bool ReadSourceRow(uint32_t r) {
    uint64_t index = topFirst_ ? r : h_ - 1 - r;
    return ReadAt(fd_, source_.data(), stride_, start_ + index * stride_);
  }
  // Output rows first_ .. first_ + count_ - 1: source columns, each output
  // pixel x from source row R (x, or h_ - 1 - x).
  bool FillBand() {
    std::fill(rows_.begin(), rows_.end(), 0);
    bool rowsUp = o_ == 6 || o_ == 7, colsBack = o_ == 7 || o_ == 8;
    for (uint32_t r = 0; r < h_; ++r) {
      if (!ReadSourceRow(r)) return false;
      uint32_t x = rowsUp ? h_ - 1 - r : r;
      for (uint32_t k = 0; k < count_; ++k) {
        uint32_t column = colsBack ? w_ - 1 - (first_ + k) : first_ + k;
        CopyPixel(source_.data(), column, rows_.data() + size_t{k} * outStride_, x, bits_);
      }
    }
    return true;
  }

  int fd_;
  uint64_t start_;
  uint32_t w_, h_, bits_, stride_;
  bool topFirst_;
  uint32_t o_;
  bool transposed_ = false;
  uint32_t outStride_ = 0, band_ = 0, first_ = 0, count_ = 0;
  std::vector<uint8_t> source_, rows_;
};

// Whether a decode's output needs turning: the Orientation field (0 when the
// decoder reports none).
bool Turned(const ParamBlock &b) { return b.Orientation >= 2 && b.Orientation <= 8; }

// ---------------------------------------------------------------- BMP

class BmpOutput : public ImageOutput {
 public:
  BmpOutput(int fd, const OutputContext &c) : fd_(fd), context_(c) {}

  void Configure(qvhost::Options *o) override {
    o->flags &= ~QV_FLAG_HEADER;  // the headers are written at the end, the rows go behind them
    topDown_ = o->flags & QV_FLAG_TOP_DOWN;
  }

  bool Put(const ParamBlock &b, uint64_t pos, const uint8_t *p, size_t n) override {
    if (!started_) {
      // The layout follows from the depth, known before the first row.
      started_ = true;
      const BitmapInfoHeader &h = b.BitmapHeader;
      entries_ = h.biBitCount <= 8 ? 1u << h.biBitCount : 0;
      cmyk_ = h.biBitCount == 32 && h.biCompression == kCmyk;
      // Alpha needs the header that says where it is (bit fields).
      alpha_ = h.biBitCount == 32 && (b.Flags & QV_FLAG_ALPHA);
      premultiplied_ = alpha_ && (b.Flags & QV_FLAG_PREMULTIPLIED);
      rowsAt_ = kFileHeader + (alpha_ ? kV4Header : 40) + 4 * entries_;
      resolution_ = ResolutionOf(b, context_.tiffBigEndian);
      // A turned image is kept as delivered until it is whole.
      if (Turned(b)) {
        orientation_ = b.Orientation;
        if (!(spool_ = tmpfile())) return Failed();
      }
    }
    if (spool_) return WriteAt(fileno(spool_), p, n, pos) || Failed();
    return cmyk_ || premultiplied_ ? PutConverted(pos, p, n) : Write(p, n, rowsAt_ + pos);
  }

  bool Finish(const qvhost::Result &r) override {
    BitmapInfoHeader h = r.header;
    if (!started_ || r.outputLength < h.biSizeImage) {
      error_ = "the decoder delivered less than the bitmap it announced";
      return false;
    }
    if (spool_ && !WriteTurned(r, &h)) return false;
    uint64_t total = rowsAt_ + uint64_t{h.biSizeImage};
    if (total > UINT32_MAX) {
      error_ = "the bitmap is too large for a BMP file";
      return false;
    }
    // Pixels that arrived in pieces are converted now that they are whole.
    std::sort(split_.begin(), split_.end());
    split_.erase(std::unique(split_.begin(), split_.end()), split_.end());
    for (uint64_t pixel : split_) {
      uint8_t px[4];
      if (!ReadAt(fd_, px, 4, rowsAt_ + pixel * 4)) return Failed();
      Convert(px, px, 1);
      if (!Write(px, 4, rowsAt_ + pixel * 4)) return false;
    }
    // The file's own row order: bottom row first unless the height is negative.
    int32_t height = static_cast<int32_t>(Rows(h));
    if (qvhost::RowsTopFirst(h, topDown_)) height = -height;
    h.biHeight = height;
    h.biCompression = alpha_ ? 3 : 0;  // CMYK rows are RGB now; alpha in bit fields
    h.biClrUsed = entries_;
    h.biClrImportant = 0;
    if (resolution_.metres) {
      bool swap = orientation_ >= 5;
      h.biXPelsPerMeter = static_cast<int32_t>(swap ? resolution_.y : resolution_.x);
      h.biYPelsPerMeter = static_cast<int32_t>(swap ? resolution_.x : resolution_.y);
    }
    std::vector<uint8_t> head(rowsAt_, 0);
    uint32_t size = static_cast<uint32_t>(total), offset = static_cast<uint32_t>(rowsAt_);
    uint32_t info = alpha_ ? kV4Header : 40;
    head[0] = 'B', head[1] = 'M';
    memcpy(&head[2], &size, 4);
    memcpy(&head[10], &offset, 4);
    h.biSize = info;
    memcpy(&head[kFileHeader], &h, 40);
    if (alpha_) {
      // Red, green, blue and alpha masks, then the sRGB colour space.
      const uint32_t masks[5] = {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u, 0x73524742u};
      memcpy(&head[kFileHeader + 40], masks, sizeof masks);
    }
    bool grey = WithoutColourTable(r.header, r.palette);
    for (uint32_t i = 0; i < entries_; ++i) {
      uint8_t *e = &head[kFileHeader + info + 4 * i];
      if (grey) {
        e[0] = e[1] = e[2] = static_cast<uint8_t>(i * 255 / (entries_ - 1));
      } else {
        e[0] = r.palette[i].blue, e[1] = r.palette[i].green, e[2] = r.palette[i].red;
      }
    }
    if (!Write(head.data(), head.size(), 0)) return false;
    if (ftruncate(fd_, static_cast<off_t>(total)) != 0) return Failed();
    return true;
  }

 private:
  bool Failed() {
    error_ = Reason(errno ? errno : EIO);
    return false;
  }
  bool Write(const uint8_t *p, size_t n, uint64_t at) { return WriteAt(fd_, p, n, at) || Failed(); }

  // 32-bit pixels as a BMP file holds them: C, M, Y, K bytes to blue, green,
  // red and an unused fourth byte; associated alpha to straight alpha.
  void Convert(const uint8_t *from, uint8_t *to, size_t pixels) const {
    if (premultiplied_) {
      UnpremultiplyBgra(from, to, pixels);
      return;
    }
    for (size_t i = 0; i < pixels; ++i, from += 4, to += 4) {
      uint8_t rgb[3];
      qvhost::CmykToRgb(from, rgb);
      to[0] = rgb[2], to[1] = rgb[1], to[2] = rgb[0], to[3] = 0;
    }
  }

  // A turned image: its rows, from the spool, turned and converted, in the
  // file at their places (bottom row first); the header takes the turned
  // size.
  bool WriteTurned(const qvhost::Result &r, BitmapInfoHeader *h) {
    Orienter turn(fileno(spool_), r.outputLength - r.header.biSizeImage, r.header,
                  qvhost::RowsTopFirst(r.header, topDown_), orientation_);
    std::vector<uint8_t> row(turn.Stride());
    for (uint32_t y = 0; y < turn.Height(); ++y) {
      if (!turn.Row(y, row.data())) return Failed();
      if (cmyk_ || premultiplied_) Convert(row.data(), row.data(), turn.Width());
      if (!Write(row.data(), row.size(), rowsAt_ + uint64_t{turn.Height() - 1 - y} * turn.Stride())) return false;
    }
    h->biWidth = static_cast<int32_t>(turn.Width());
    h->biHeight = static_cast<int32_t>(turn.Height());
    h->biSizeImage = turn.Stride() * turn.Height();
    topDown_ = 0;  // written bottom row first
    return true;
  }

  // 32-bit rows are 4 bytes a pixel with no padding, so pixel k is at 4k.
  // Whole pixels are converted as they pass; the bytes of a pixel cut
  // between two pieces are written as they are and converted at the end.
  bool PutConverted(uint64_t pos, const uint8_t *p, size_t n) {
    uint64_t end = pos + n;
    uint64_t first = std::min(end, (pos + 3) / 4 * 4), last = std::max(first, end / 4 * 4);
    if (first > pos) {
      if (!Write(p, static_cast<size_t>(first - pos), rowsAt_ + pos)) return false;
      split_.push_back(pos / 4);
    }
    for (uint64_t at = first; at < last;) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(last - at, sizeof converted_));
      Convert(p + (at - pos), converted_, take / 4);
      if (!Write(converted_, take, rowsAt_ + at)) return false;
      at += take;
    }
    if (end > last) {
      if (!Write(p + (last - pos), static_cast<size_t>(end - last), rowsAt_ + last)) return false;
      split_.push_back(last / 4);
    }
    return true;
  }

  int fd_;
  OutputContext context_;
  uint32_t topDown_ = 0;
  bool started_ = false, cmyk_ = false, alpha_ = false, premultiplied_ = false;
  uint32_t entries_ = 0, orientation_ = 1;
  uint64_t rowsAt_ = kFileHeader + 40;
  Resolution resolution_;
  std::vector<uint64_t> split_;  // 32-bit pixels to convert that arrived in pieces
  FILE *spool_ = nullptr;        // a turned image as delivered
  uint8_t converted_[1 << 14];

 public:
  ~BmpOutput() override {
    if (spool_) fclose(spool_);
  }
};

// ---------------------------------------------------------------- DIB

// The delivered bitmap behind a file header, written by position.
class DibOutput : public ImageOutput {
 public:
  explicit DibOutput(int fd) : fd_(fd) {}

  void Configure(qvhost::Options *o) override {
    o->flags |= QV_FLAG_HEADER;
    topDown_ = o->flags & QV_FLAG_TOP_DOWN;
  }

  bool Put(const ParamBlock &, uint64_t pos, const uint8_t *p, size_t n) override {
    if (WriteAt(fd_, p, n, kFileHeader + pos)) return true;
    error_ = Reason(errno ? errno : EIO);
    return false;
  }

  bool Finish(const qvhost::Result &r) override {
    const BitmapInfoHeader &h = r.header;
    uint64_t total = kFileHeader + r.outputLength;
    if (r.outputLength < 40 + uint64_t{h.biSizeImage}) {
      error_ = "the decoder delivered less than the bitmap it announced";
      return false;
    }
    if (total > UINT32_MAX) {
      error_ = "the bitmap is too large for a BMP file";
      return false;
    }
    // The file's own row order: bottom row first unless the height is negative.
    int32_t height = static_cast<int32_t>(Rows(h));
    if (qvhost::RowsTopFirst(h, topDown_)) height = -height;
    uint8_t head[kFileHeader] = {'B', 'M'};
    uint32_t size = static_cast<uint32_t>(total);
    uint32_t offset = static_cast<uint32_t>(total - h.biSizeImage);
    memcpy(head + 2, &size, 4);
    memcpy(head + 10, &offset, 4);
    if (!WriteAt(fd_, head, sizeof head, 0) ||
        (height != h.biHeight && !WriteAt(fd_, reinterpret_cast<const uint8_t *>(&height), 4, kFileHeader + 8)) ||
        ftruncate(fd_, static_cast<off_t>(total)) != 0) {
      error_ = Reason(errno ? errno : EIO);
      return false;
    }
    return true;
  }

 private:
  int fd_;
  uint32_t topDown_ = 0;
};

// ---------------------------------------------------------------- PNG

#if QV_HAVE_PNG

// libpng, one row at a time. Functions that call libpng keep only plain
// locals: an error inside libpng returns to them through setjmp.
class PngRows {
 public:
  ~PngRows() {
    if (png_) png_destroy_write_struct(&png_, &info_);
    if (file_) fclose(file_);
  }

  bool Begin(int fd, const BitmapInfoHeader &h, const PaletteEntry *palette, uint32_t flags,
             uint8_t transparent, const Resolution &resolution, std::string *error) {
    width_ = static_cast<uint32_t>(h.biWidth);
    height_ = Rows(h);
    bits_ = h.biBitCount;
    if (h.biWidth <= 0 || height_ == 0 || h.biWidth > 0x7FFFFFFF || height_ > 0x7FFFFFFF) {
      *error = "a PNG file cannot hold an image of " + std::to_string(h.biWidth) + " x " +
               std::to_string(h.biHeight) + " pixels";
      return false;
    }
    // CMYK pixels (a TIFF's separated colour) become RGB through CmykToRgb.
    cmyk_ = bits_ == 32 && h.biCompression == kCmyk;
    if ((h.biCompression != 0 && !cmyk_) || (bits_ != 1 && bits_ != 4 && bits_ != 8 && bits_ != 24 && bits_ != 32)) {
      *error = "no PNG layout for this bitmap (" + std::to_string(bits_) + " bits, compression " +
               std::to_string(h.biCompression) + "); use --format bmp";
      return false;
    }
    int type = PNG_COLOR_TYPE_RGB, depth = 8;
    alpha_ = bits_ == 32 && !cmyk_ && (flags & QV_FLAG_ALPHA);
    premultiplied_ = alpha_ && (flags & QV_FLAG_PREMULTIPLIED);
    if (alpha_) type = PNG_COLOR_TYPE_RGB_ALPHA;
    png_color plte[256];
    png_byte alpha[256];
    int colours = 0, alphas = 0;
    if (bits_ <= 8) {
      colours = 1 << bits_;
      bool bare = WithoutColourTable(h, palette);  // grey levels, as the rows are
      bool grey = bare || ((flags & QV_FLAG_GREY) && !(flags & QV_FLAG_TRANSPARENT));
      bool ramp = grey;
      for (int i = 0; i < colours; ++i) {
        plte[i].red = palette[i].red, plte[i].green = palette[i].green, plte[i].blue = palette[i].blue;
        grey_[i] = palette[i].red;
        if (!bare && palette[i].red != i * 255 / (colours - 1)) ramp = false;
      }
      if (ramp) {
        type = PNG_COLOR_TYPE_GRAY, depth = bits_;  // rows as they are
      } else if (grey) {
        type = PNG_COLOR_TYPE_GRAY, depth = 8, lookup_ = true;
      } else {
        type = PNG_COLOR_TYPE_PALETTE, depth = bits_;
        if (flags & QV_FLAG_TRANSPARENT) {
          alphas = transparent + 1;
          memset(alpha, 255, sizeof alpha);
          alpha[transparent] = 0;
        }
      }
    }
    converted_.assign(static_cast<size_t>(width_) * 4, 0);
    int dup_fd = dup(fd);
    file_ = dup_fd >= 0 ? fdopen(dup_fd, "wb") : nullptr;
    if (!file_) {
      if (dup_fd >= 0) close(dup_fd);
      *error = Reason(errno);
      return false;
    }
    error_ = error;
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, OnError, OnWarning);
    info_ = png_ ? png_create_info_struct(png_) : nullptr;
    if (!info_) {
      *error = "libpng could not start";
      return false;
    }
    if (setjmp(png_jmpbuf(png_))) return false;
    png_init_io(png_, file_);
    png_set_IHDR(png_, info_, width_, height_, depth, type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (type == PNG_COLOR_TYPE_PALETTE) {
      png_set_PLTE(png_, info_, plte, colours);
      png_set_filter(png_, 0, PNG_FILTER_NONE);
      if (alphas) png_set_tRNS(png_, info_, alpha, alphas, nullptr);
    }
    if (resolution.known())
      png_set_pHYs(png_, info_, resolution.x, resolution.y,
                   resolution.metres ? PNG_RESOLUTION_METER : PNG_RESOLUTION_UNKNOWN);
    png_write_info(png_, info_);
    return true;
  }

  // One delivered row (bottom-up layout rules: packed pixels, BGR order).
  bool Row(const uint8_t *row) {
    const uint8_t *out = row;
    uint8_t *c = converted_.data();
    if (cmyk_) {
      for (uint32_t x = 0; x < width_; ++x, row += 4, c += 3) qvhost::CmykToRgb(row, c);
      out = converted_.data();
    } else if (alpha_) {
      if (premultiplied_) UnpremultiplyBgra(row, c, width_), row = c;
      for (uint32_t x = 0; x < width_; ++x, row += 4, c += 4) {
        uint8_t b = row[0];
        c[0] = row[2], c[1] = row[1], c[2] = b, c[3] = row[3];
      }
      out = converted_.data();
    } else if (bits_ == 24 || bits_ == 32) {
      uint32_t step = bits_ / 8;
      for (uint32_t x = 0; x < width_; ++x, row += step, c += 3) c[0] = row[2], c[1] = row[1], c[2] = row[0];
      out = converted_.data();
    } else if (lookup_) {
      for (uint32_t x = 0; x < width_; ++x) {
        uint32_t index = bits_ == 8 ? row[x]
                         : bits_ == 4 ? (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15
                                      : (row[x >> 3] >> (7 - (x & 7))) & 1;
        c[x] = grey_[index];
      }
      out = converted_.data();
    }
    return WriteRow(out);
  }

  bool Finish(std::string *error) {
    error_ = error;
    if (setjmp(png_jmpbuf(png_))) return false;
    png_write_end(png_, nullptr);
    png_destroy_write_struct(&png_, &info_);
    png_ = nullptr;
    FILE *f = file_;
    file_ = nullptr;
    if (fflush(f) != 0 || ferror(f)) {
      *error = Reason(errno ? errno : EIO);
      fclose(f);
      return false;
    }
    if (fclose(f) != 0) {
      *error = Reason(errno);
      return false;
    }
    return true;
  }

 private:
  bool WriteRow(const uint8_t *row) {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_write_row(png_, row);
    return true;
  }

  static void OnError(png_structp png, png_const_charp message) {
    PngRows *self = static_cast<PngRows *>(png_get_error_ptr(png));
    if (self->error_) *self->error_ = message;
  }
  static void OnWarning(png_structp, png_const_charp) {}

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  FILE *file_ = nullptr;
  std::string *error_ = nullptr;
  uint32_t width_ = 0, height_ = 0, bits_ = 0;
  bool lookup_ = false, cmyk_ = false, alpha_ = false, premultiplied_ = false;
  uint8_t grey_[256] = {};
  std::vector<uint8_t> converted_;
};

class PngOutput : public ImageOutput {
 public:
  PngOutput(int fd, bool wholeImageFirst, bool storedTopFirst, const OutputContext &c)
      : fd_(fd), wholeFirst_(wholeImageFirst), topDown_(storedTopFirst ? 0 : QV_FLAG_TOP_DOWN), context_(c) {}
  ~PngOutput() override {
    if (scratch_) fclose(scratch_);
  }

  void Configure(qvhost::Options *o) override {
    o->flags = (o->flags & ~(QV_FLAG_TOP_DOWN | QV_FLAG_HEADER)) | topDown_;
  }

  bool Put(const ParamBlock &block, uint64_t pos, const uint8_t *p, size_t n) override {
    if (!started_) {
      started_ = true;
      resolution_ = ResolutionOf(block, context_.tiffBigEndian);
      const BitmapInfoHeader &h = block.BitmapHeader;
      // Rows go straight to libpng when the size is known and they come top
      // row first; otherwise the whole image is collected first.
      // A turned image is collected whole, then written turned.
      if (Turned(block)) orientation_ = block.Orientation;
      streaming_ = !wholeFirst_ && orientation_ == 1 && h.biWidth > 0 && h.biHeight != 0 && h.biHeight != -1 &&
                   qvhost::RowsTopFirst(h, topDown_);
      if (streaming_) {
        stride_ = Stride(h);
        height_ = Rows(h);
        row_.assign(stride_, 0);
        if (!png_.Begin(fd_, h, block.Palette, block.Flags, block.TransparentIndex, resolution_, &error_))
          return false;
      }
    }
    if (!streaming_ || pos > next_) return Keep(pos, p, n);
    if (pos < next_) {
      error_ = "the decoder rewrote rows already written";
      return false;
    }
    if (!Emit(p, n)) return false;
    return Catch();
  }

  bool Finish(const qvhost::Result &r) override {
    if (streaming_) {
      if (!waiting_.empty() && !Catch()) return false;
      if (rowsOut_ < height_) {
        error_ = "the decoder delivered " + std::to_string(rowsOut_) + " of " + std::to_string(height_) + " rows";
        return false;
      }
      return png_.Finish(&error_);
    }
    // Collected: the final header says how the rows lie.
    const BitmapInfoHeader &h = r.header;
    uint32_t stride = Stride(h), rows = Rows(h);
    uint64_t need = uint64_t{stride} * rows;
    if (r.outputLength < need || !scratch_) {
      error_ = "the decoder delivered less than the bitmap it announced";
      return false;
    }
    uint64_t start = r.outputLength - need;
    bool topFirst = qvhost::RowsTopFirst(h, topDown_);
    if (orientation_ != 1) {
      Orienter turn(fileno(scratch_), start, h, topFirst, orientation_);
      BitmapInfoHeader turned = h;
      turned.biWidth = static_cast<int32_t>(turn.Width());
      turned.biHeight = static_cast<int32_t>(turn.Height());
      Resolution res = resolution_;
      if (orientation_ >= 5) std::swap(res.x, res.y);
      if (!png_.Begin(fd_, turned, r.palette, r.flags, r.transparentIndex, res, &error_)) return false;
      row_.assign(turn.Stride(), 0);
      for (uint32_t y = 0; y < turn.Height(); ++y) {
        if (!turn.Row(y, row_.data())) {
          error_ = "scratch file: " + Reason(errno ? errno : EIO);
          return false;
        }
        if (!png_.Row(row_.data())) return false;
      }
      return png_.Finish(&error_);
    }
    if (!png_.Begin(fd_, h, r.palette, r.flags, r.transparentIndex, resolution_, &error_)) return false;
    row_.assign(stride, 0);
    for (uint32_t y = 0; y < rows; ++y) {
      uint64_t index = topFirst ? y : rows - 1 - y;
      if (!ReadAt(fileno(scratch_), row_.data(), stride, start + index * stride)) {
        error_ = "scratch file: " + Reason(errno ? errno : EIO);
        return false;
      }
      if (!png_.Row(row_.data())) return false;
    }
    return png_.Finish(&error_);
  }

 private:
  // Bytes ahead of their turn go to the scratch file.
  bool Keep(uint64_t pos, const uint8_t *p, size_t n) {
    if (!scratch_ && !(scratch_ = tmpfile())) {
      error_ = "scratch file: " + Reason(errno);
      return false;
    }
    if (!WriteAt(fileno(scratch_), p, n, pos)) {
      error_ = "scratch file: " + Reason(errno ? errno : EIO);
      return false;
    }
    if (streaming_) Remember(pos, pos + n);
    return true;
  }

  void Remember(uint64_t begin, uint64_t end) {
    auto it = waiting_.upper_bound(begin);
    if (it != waiting_.begin() && std::prev(it)->second >= begin) --it;
    while (it != waiting_.end() && it->first <= end) {
      begin = std::min(begin, it->first);
      end = std::max(end, it->second);
      it = waiting_.erase(it);
    }
    waiting_[begin] = end;
  }

  // Hand over the kept bytes that are now next in line.
  bool Catch() {
    uint8_t buffer[1 << 14];
    while (!waiting_.empty() && waiting_.begin()->first <= next_) {
      uint64_t end = waiting_.begin()->second;
      waiting_.erase(waiting_.begin());
      while (next_ < end) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, end - next_));
        if (!ReadAt(fileno(scratch_), buffer, n, next_)) {
          error_ = "scratch file: " + Reason(errno ? errno : EIO);
          return false;
        }
        if (!Emit(buffer, n)) return false;
      }
    }
    return true;
  }

  bool Emit(const uint8_t *p, size_t n) {
    next_ += n;
    while (n) {
      size_t take = std::min(n, stride_ - fill_);
      memcpy(row_.data() + fill_, p, take);
      fill_ += take, p += take, n -= take;
      if (fill_ == stride_) {
        fill_ = 0;
        if (rowsOut_ < height_ && !png_.Row(row_.data())) return false;
        ++rowsOut_;
      }
    }
    return true;
  }

  int fd_;
  bool wholeFirst_;
  uint32_t topDown_;  // the row order asked for
  OutputContext context_;
  Resolution resolution_;
  bool started_ = false, streaming_ = false;
  uint32_t orientation_ = 1;
  PngRows png_;
  size_t stride_ = 0, fill_ = 0;
  uint32_t height_ = 0, rowsOut_ = 0;
  std::vector<uint8_t> row_;
  uint64_t next_ = 0;                  // position of the next byte libpng gets
  std::map<uint64_t, uint64_t> waiting_;  // kept byte ranges [begin, end) beyond next_
  FILE *scratch_ = nullptr;
};

#endif  // QV_HAVE_PNG

}  // namespace

std::unique_ptr<ImageOutput> MakeBmpOutput(int fd, const OutputContext &context) {
  return std::make_unique<BmpOutput>(fd, context);
}
std::unique_ptr<ImageOutput> MakeDibOutput(int fd) { return std::make_unique<DibOutput>(fd); }

#if QV_HAVE_PNG
bool HavePng() { return true; }
std::unique_ptr<ImageOutput> MakePngOutput(int fd, bool wholeImageFirst, bool storedTopFirst,
                                           const OutputContext &context) {
  return std::make_unique<PngOutput>(fd, wholeImageFirst, storedTopFirst, context);
}
#else
bool HavePng() { return false; }
std::unique_ptr<ImageOutput> MakePngOutput(int, bool, bool, const OutputContext &) { return nullptr; }
#endif

}  // namespace qvtool
