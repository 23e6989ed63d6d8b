// Targa pixel data: uncompressed rows and run-length packets, converted to
// the output depth (16- and 32-bit pixels become 24-bit) and delivered.
#include <string.h>

#include "engine/engine.h"
#include "formats/tga/tga_job.h"
#include "output/stream_rows.h"
#include "stream/stream.h"

namespace {

// One 16-bit pixel (x, 5 bits red, green, blue) as blue, green, red bytes.
inline void Convert16(const uint8_t *s, uint8_t *d) {
  uint32_t v = s[0] | static_cast<uint32_t>(s[1]) << 8;
  d[0] = kExpand5[v & 31];
  d[1] = kExpand5[(v >> 5) & 31];
  d[2] = kExpand5[(v >> 10) & 31];
}

// Convert n file pixels of depth 16 or 32 into 24-bit output pixels.
void ConvertPixels(uint32_t depth, const uint8_t *s, uint8_t *d, uint32_t n) {
  if (depth == 16) {
    for (uint32_t i = 0; i < n; ++i, s += 2, d += 3) Convert16(s, d);
  } else {
    for (uint32_t i = 0; i < n; ++i, s += 4, d += 3) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
  }
}

// Reverse the order of the pixels of one output row in place.
void MirrorRow(uint8_t *row, uint32_t width, uint32_t bits) {
  if (width < 2) return;
  if (bits == 24) {
    for (uint32_t a = 0, b = width - 1; a < b; ++a, --b)
      for (int k = 0; k < 3; ++k) {
        uint8_t t = row[3 * a + k];
        row[3 * a + k] = row[3 * b + k];
        row[3 * b + k] = t;
      }
  } else if (bits == 8) {
    for (uint32_t a = 0, b = width - 1; a < b; ++a, --b) {
      uint8_t t = row[a];
      row[a] = row[b];
      row[b] = t;
    }
  } else {
    // 1 or 4 bits per pixel, the leftmost pixel in the high bits of a byte.
    uint32_t perByte = 8 / bits, mask = (1u << bits) - 1;
    auto get = [&](uint32_t x) {
      return (row[x / perByte] >> (8 - bits * (x % perByte + 1))) & mask;
    };
    auto set = [&](uint32_t x, uint32_t v) {
      uint32_t shift = 8 - bits * (x % perByte + 1);
      row[x / perByte] = static_cast<uint8_t>((row[x / perByte] & ~(mask << shift)) | v << shift);
    };
    for (uint32_t a = 0, b = width - 1; a < b; ++a, --b) {
      uint32_t t = get(a);
      set(a, get(b));
      set(b, t);
    }
  }
}

// One row read whole, its pixels converted or mirrored, delivered. Tolerant:
// the row is cleared first and Partial marks it in progress, so a read that
// fails leaves the pixels that arrived.
void ReadConvertedRow(TgaJob *job, bool converted, bool tolerant) {
  if (tolerant) {
    memset(job->InRow, 0, job->InRowSize);
    job->Partial = 2;
  }
  StreamRead(job->Io, job->InRow, job->InRowSize);
  if (converted)
    ConvertPixels(job->Header.Depth, job->InRow, job->OutRow, job->Header.Width);
  else
    memcpy(job->OutRow, job->InRow, job->InRowSize);
  if (job->Mirror) MirrorRow(job->OutRow, job->Header.Width, job->OutBits);
  job->Partial = 0;
  StreamRowsDeliver(&job->Rows, job->OutRow);
}

}  // namespace

void TgaReadUncompressed(TgaJob *job) {
  uint32_t depth = job->Header.Depth;
  uint32_t height = job->Header.Height;
  bool converted = depth == 16 || depth == 32;

  if (converted || job->Mirror) {
    for (uint32_t y = 0; y < height; ++y) ReadConvertedRow(job, converted, false);
    return;
  }
  if (job->InRowSize == job->Stride && !job->Flip) {
    // File rows are output rows already.
    StreamRowsManyFromInput(&job->Rows, height);
    return;
  }
  // Rows straight from the input, padded to the stride where needed (the
  // row buffer's bytes behind the row stay zero from its allocation).
  for (uint32_t y = 0; y < height; ++y) StreamRowsFromInput(&job->Rows, job->OutRow, job->InRowSize);
}

void TgaReadRunLength(TgaJob *job) {
  ParamBlock *block = job->Block;
  Stream *io = job->Io;
  uint32_t depth = job->Header.Depth;
  if (depth != 8 && depth != 16 && depth != 24 && depth != 32) FailJob(block, QV_ERR_TGA_RLE_DEPTH);
  uint32_t inBytes = depth / 8;
  uint32_t outBytes = job->OutBits / 8;
  uint32_t width = job->Header.Width;
  uint32_t rowBytes = width * outBytes;
  bool direct = depth == 8 || depth == 24;

  StreamLagFront(io, true);
  for (uint32_t y = 0; y < job->Header.Height; ++y) {
    uint32_t x = 0;
    uint8_t *p = job->OutRow;
    while (x < width) {
      uint32_t h = StreamByte(io);
      // A packet may run one pixel past the row end, into the buffer's slack.
      if (x + (h & 0x7F) > width) FailJob(block, QV_ERR_RLE_OVERRUN);
      uint32_t count = (h & 0x7F) + 1;
      if (h & 0x80) {
        uint8_t v[4], pixel[3];
        StreamRead(io, v, inBytes);
        const uint8_t *src = v;
        if (!direct) {
          ConvertPixels(depth, v, pixel, 1);
          src = pixel;
        }
        if (outBytes == 1) {
          memset(p, src[0], count);
        } else {
          for (uint32_t i = 0; i < count; ++i) {
            p[3 * i] = src[0];
            p[3 * i + 1] = src[1];
            p[3 * i + 2] = src[2];
          }
        }
      } else if (direct) {
        StreamRead(io, p, static_cast<size_t>(count) * inBytes);
      } else if (static_cast<size_t>(io->Window.End - io->Window.Next) >= count * inBytes) {
        // Converted where they lie in the input queue.
        ConvertPixels(depth, io->Window.Next, p, count);
        io->Window.Next += count * inBytes;
      } else {
        uint8_t v[4];
        for (uint32_t i = 0; i < count; ++i) {
          StreamRead(io, v, inBytes);
          ConvertPixels(depth, v, p + 3 * i, 1);
        }
      }
      p += count * outBytes;
      x += count;
    }
    // The pixel that ran past the row end is dropped; padding stays zero.
    if (x > width) memset(job->OutRow + rowBytes, 0, job->Stride + 4 - rowBytes);
    if (job->Mirror) MirrorRow(job->OutRow, width, job->OutBits);
    StreamLagFront(io, false);
    StreamRowsDeliver(&job->Rows, job->OutRow);
    StreamLagFront(io, true);
  }
  StreamLagFront(io, false);
}

namespace {

// Run-length packets that may cross rows, as the common readers take them:
// what a packet holds beyond its row's end continues on the next row.
void ReadRunLengthAcrossRows(TgaJob *job) {
  ParamBlock *block = job->Block;
  Stream *io = job->Io;
  uint32_t depth = job->Header.Depth;
  if (depth != 8 && depth != 16 && depth != 24 && depth != 32) FailJob(block, QV_ERR_TGA_RLE_DEPTH);
  const uint32_t inBytes = depth / 8, outBytes = job->OutBits / 8, width = job->Header.Width;
  uint32_t left = 0;  // pixels still to come of the current packet
  bool run = false;
  uint8_t pixel[4] = {};
  StreamLagFront(io, true);
  for (uint32_t y = 0; y < job->Header.Height; ++y) {
    memset(job->OutRow, 0, static_cast<size_t>(job->Stride) + 4);
    job->Partial = 1;
    uint8_t *p = job->OutRow;
    for (uint32_t x = 0; x < width;) {
      if (left == 0) {
        uint32_t h = StreamByte(io);
        left = (h & 0x7F) + 1;
        run = (h & 0x80) != 0;
        if (run) {
          uint8_t v[4];
          StreamRead(io, v, inBytes);
          if (depth == 16 || depth == 32)
            ConvertPixels(depth, v, pixel, 1);
          else
            memcpy(pixel, v, inBytes);
        }
      }
      uint32_t n = left < width - x ? left : width - x;
      if (run) {
        if (outBytes == 1) {
          memset(p, pixel[0], n);
        } else {
          for (uint32_t i = 0; i < n; ++i) memcpy(p + 3 * i, pixel, 3);
        }
      } else if (depth == 8 || depth == 24) {
        StreamRead(io, p, static_cast<size_t>(n) * inBytes);
      } else {
        for (uint32_t i = 0; i < n; ++i) {
          uint8_t v[4];
          StreamRead(io, v, inBytes);
          ConvertPixels(depth, v, p + 3 * i, 1);
        }
      }
      p += n * outBytes;
      x += n;
      left -= n;
    }
    if (job->Mirror) MirrorRow(job->OutRow, width, job->OutBits);
    job->Partial = 0;
    StreamLagFront(io, false);
    StreamRowsDeliver(&job->Rows, job->OutRow);
    StreamLagFront(io, true);
  }
  StreamLagFront(io, false);
}

void ReadUncompressedWhole(TgaJob *job) {
  uint32_t depth = job->Header.Depth;
  bool converted = depth == 16 || depth == 32;
  for (uint32_t y = 0; y < job->Header.Height; ++y) {
    if (converted || job->Mirror) {
      ReadConvertedRow(job, converted, true);
    } else {
      job->Partial = 3;
      StreamRowsWholeFromInput(&job->Rows, job->OutRow, job->InRowSize);
      job->Partial = 0;
    }
  }
}

void ReadRunLengthEntry(void *argument) { ReadRunLengthAcrossRows(static_cast<TgaJob *>(argument)); }
void ReadUncompressedEntry(void *argument) { ReadUncompressedWhole(static_cast<TgaJob *>(argument)); }

}  // namespace

void TgaReadPixelsTolerant(TgaJob *job, bool runLength) {
  ParamBlock *block = job->Block;
  int32_t status = CatchFailure(block, runLength ? ReadRunLengthEntry : ReadUncompressedEntry, job);
  StreamLagFront(job->Io, false);
  if (!status) return;
  if (!IsDataFailure(status)) FailJob(block, status);
  uint32_t damaged = 0;
  uint32_t width = job->Header.Width;
  if (job->Partial && job->Rows.Delivered < job->Rows.Rows) {
    if (job->Partial == 2) {
      if (job->Header.Depth == 16 || job->Header.Depth == 32)
        ConvertPixels(job->Header.Depth, job->InRow, job->OutRow, width);
      else
        memcpy(job->OutRow, job->InRow, job->InRowSize);
    }
    if (job->Partial != 3 && job->Mirror) MirrorRow(job->OutRow, width, job->OutBits);
    StreamRowsDeliver(&job->Rows, job->OutRow);
    damaged = 1;
  }
  memset(job->OutRow, 0, job->Stride);
  damaged += StreamRowsFillRemaining(&job->Rows, job->OutRow);
  ReportDamagedRows(block, damaged);
}
