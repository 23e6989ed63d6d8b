// The PNG reader on any bytes: a 4-byte prefix chooses the options (row
// order, header, batches, the extended bit, whole input or the file and
// bitmap in memory, queue sizes, the chunking seed), the rest is the file.
// The job must end with ResponseDone or ResponseError, free everything and
// touch nothing it does not own; a decode that succeeds must show the pixels
// libpng gives the same file, when libpng takes it too (told to pass over
// check values as the extended bit does).
#include <png.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "engine/memory.h"
#include "image_view.h"
#include "quorvin_host.h"

namespace {

constexpr size_t kPrefix = 4;
const size_t kQueueSizes[8] = {5, 6, 17, 64, 255, 1024, 4099, 65536};

struct Source {
  const uint8_t *data;
  size_t size, at;
};
void Read(png_structp png, png_bytep out, size_t n) {
  Source *s = static_cast<Source *>(png_get_io_ptr(png));
  if (s->size - s->at < n) png_error(png, "cut short");
  memcpy(out, s->data + s->at, n);
  s->at += n;
}
void Quiet(png_structp, png_const_charp) {}

// libpng's RGBA (palettes and small depths expanded, tRNS as alpha, 16-bit
// samples scaled as ours are); false when libpng refuses the file.
bool LibpngRgba(const uint8_t *data, size_t size, bool ignoreCrc, std::vector<uint8_t> *out) {
  Source s{data, size, 0};
  std::vector<png_bytep> rows;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, Quiet);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &s, Read);
  if (ignoreCrc) png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
  png_read_info(png, info);
  png_set_expand(png);
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  out->assign(size_t{w} * h * 4, 0);
  rows.resize(h);
  for (uint32_t y = 0; y < h; ++y) rows[y] = out->data() + size_t{y} * w * 4;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// Our bitmap as RGBA, top row first.
std::vector<uint8_t> OursRgba(const qvhost::Result &r, uint32_t flags) {
  const BitmapInfoHeader &h = r.header;
  uint32_t w = static_cast<uint32_t>(h.biWidth), n = static_cast<uint32_t>(h.biHeight);
  uint32_t bits = h.biBitCount, stride = (w * bits + 31) / 32 * 4;
  size_t head = r.output.size() - size_t{stride} * n;
  bool top = qvhost::RowsTopFirst(h, flags);
  std::vector<uint8_t> px(size_t{w} * n * 4);
  for (uint32_t y = 0; y < n; ++y) {
    const uint8_t *row = r.output.data() + head + size_t{top ? y : n - 1 - y} * stride;
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t *p = &px[(size_t{y} * w + x) * 4];
      if (bits <= 8) {
        uint32_t i = bits == 8 ? row[x] : bits == 4 ? (row[x / 2] >> (x & 1 ? 0 : 4)) & 15 : (row[x / 8] >> (7 - x % 8)) & 1;
        if (i >= h.biClrUsed) abort();
        p[0] = r.palette[i].red, p[1] = r.palette[i].green, p[2] = r.palette[i].blue;
        p[3] = (r.flags & QV_FLAG_TRANSPARENT) && i == r.transparentIndex ? 0 : 255;
      } else {
        const uint8_t *s = row + size_t{x} * (bits / 8);
        p[0] = s[2], p[1] = s[1], p[2] = s[0];
        p[3] = bits == 32 ? s[3] : 255;
      }
    }
  }
  return px;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kPrefix) return 0;
  qvhost::Options o;
  o.imageType = QV_TYPE_PNG;
  const uint8_t f = data[0];
  o.flags = (f & 1 ? QV_FLAG_TOP_DOWN : 0) | (f & 2 ? QV_FLAG_HEADER : 0) | (f & 4 ? QV_FLAG_BATCH : 0) |
            (f & 8 ? QV_FLAG_EXTENDED : 0);
  o.extended = false;  // the flags byte decides, not the host library's default
  o.rowsPerBatch = f >> 6;
  o.inQueue = kQueueSizes[data[1] & 7];
  o.outQueue = kQueueSizes[(data[1] >> 3) & 7];
  o.wholeInput = (f & 16) != 0;
  o.extraInitial = (data[1] & 64) ? 8 : 4096;
  o.test.chunkSeed = data[2] | uint32_t{data[3]} << 8;
  o.memoryLimit = 32u << 20;
  o.outputLimit = 16u << 20;
  o.extraLimit = 1u << 20;
  const uint8_t *file = data + kPrefix;
  const size_t fileSize = size - kPrefix;

  std::vector<uint8_t> borrowed, recycled;
  if (o.wholeInput && (f & 32)) {
    // The file itself as the input queue (with the spare byte past it) and
    // a recycled buffer as the output queue.
    borrowed.assign(file, file + fileSize);
    borrowed.push_back(0);
    recycled.reserve(size_t{64} << (data[2] & 15));
    o.borrowInput = o.directOutput = true;
    o.recycleOutput = &recycled;
    o.test.chunkSeed = 0;
  }
  qvhost::Result r = qvhost::Decode(o.borrowInput ? borrowed.data() : file, fileSize, o);
  if (r.response != ResponseDone && r.response != ResponseError) abort();
  if (r.response == ResponseDone && r.status != 0) abort();
  if (MemLiveBlocks() != 0) abort();
  if (!r.ok() || uint64_t(r.header.biWidth) * uint64_t(r.header.biHeight) > (1u << 20)) return 0;

  std::vector<uint8_t> theirs;
  if (!LibpngRgba(file, fileSize, (o.flags & QV_FLAG_EXTENDED) != 0, &theirs)) return 0;
  if (OursRgba(r, o.flags) != theirs) abort();
  return 0;
}
