// The BMP reader: Windows and OS/2 bitmaps, uncompressed, RLE8 and RLE4.
//
// Headers and the colour table are read front to back; the pixel data
// starts right after the colour table, or at the file's data offset when that
// lies further on. The image type, not the
// file's compression field, chooses how the pixel data is read: 0 and "BMPO"
// read stored rows, "BMPR" decodes runs.
#include <string.h>

#include "bmp_internal.h"
#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/readers.h"
#include "output/stream_rows.h"
#include "stream/stream.h"

namespace {

uint8_t *Buffer(ParamBlock *block, size_t size) {
  return static_cast<uint8_t *>(JobBufferOrFail(block, size));
}

}  // namespace

// OS/2 information header (12 bytes read): fills info and the layout.
void ReadOs2Header(Stream *io, BitmapInfoHeader *info, BmpLayout *l) {
  ParamBlock *block = io->Block;
  uint8_t raw[kOs2InfoSize];
  StreamRead(io, raw, sizeof raw);
  uint32_t size = Le32(raw);
  uint32_t planes = Le16(raw + 8), bits = Le16(raw + 10);
  if (size < kOs2InfoSize || planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 24))
    FailJob(block, QV_ERR_BAD_HEADER);
  *info = BitmapInfoHeader{};
  info->biSize = kWindowsInfoSize;
  info->biWidth = Le16(raw + 4);
  info->biHeight = Le16(raw + 6);
  info->biPlanes = 1;
  info->biBitCount = static_cast<uint16_t>(bits);
  if (bits <= 8) info->biClrUsed = info->biClrImportant = 1u << bits;
  l->SourceBits = bits;
  l->Compression = 0;
  l->Extra = size - kOs2InfoSize;
  l->Entries = bits <= 8 ? 1u << bits : 0;
}

// Windows information header (40 bytes read): fills info and the layout.
void ReadWindowsHeader(Stream *io, const BmpFileHeader &file, BitmapInfoHeader *info, BmpLayout *l,
                       bool extended) {
  ParamBlock *block = io->Block;
  uint8_t raw[kWindowsInfoSize];
  StreamRead(io, raw, sizeof raw);
  uint32_t size = Le32(raw);
  uint32_t planes = Le16(raw + 12), bits = Le16(raw + 14);
  uint32_t compression = Le32(raw + 16);
  if (size < kWindowsInfoSize || planes != 1 ||
      (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
    FailJob(block, QV_ERR_BAD_HEADER);
  if ((compression == 1 && bits != 8) || (compression == 2 && bits != 4))
    FailJob(block, QV_ERR_BAD_HEADER);
  // Bit fields (3, and alpha bit fields 6) with 16 or 32 bits per pixel only
  // with extended decoding; embedded images and the OS/2 codings never.
  bool fields = extended && (compression == kBmpBitFields || compression == kBmpAlphaBitFields) &&
                (bits == 16 || bits == 32);
  if (compression > 2 && !fields) FailJob(block, QV_ERR_BMP_TYPE);
  uint32_t outBits = (bits == 16 || bits == 32) ? 24 : bits;
  info->biSize = size;
  info->biWidth = static_cast<int32_t>(Le32(raw + 4));
  info->biHeight = static_cast<int32_t>(Le32(raw + 8));
  info->biPlanes = 1;
  info->biBitCount = static_cast<uint16_t>(outBits);
  info->biCompression = compression;
  info->biSizeImage = Le32(raw + 20);
  info->biXPelsPerMeter = static_cast<int32_t>(Le32(raw + 24));
  info->biYPelsPerMeter = static_cast<int32_t>(Le32(raw + 28));
  info->biClrUsed = Le32(raw + 32);
  info->biClrImportant = Le32(raw + 36);
  l->SourceBits = bits;
  l->Compression = compression;
  l->Extra = size - kWindowsInfoSize;
  l->Entries = ColourTableCount(file, size, *info);
  info->biCompression = 0;
  info->biSize = kWindowsInfoSize;
}

// Information-header bytes beyond the standard ones: into the ExtraBuffer as
// one record when the host has room, else skipped.
void ReadExtraHeader(Stream *io, uint32_t n) {
  if (n == 0) return;
  ParamBlock *block = io->Block;
  if (block->ExtraBuffer && n <= 0xFFFFFFFFu - 8 && ReserveExtra(block, n + 8))
    StreamReadExtraRecord(io, n, kBmpExtraKind);
  else
    StreamSkip(io, n);
}

// Colour table: 4-byte entries (Windows) or 3-byte entries (OS/2).
void ReadBmpColourTable(Stream *io, uint32_t entries, bool os2, bool header) {
  ParamBlock *block = io->Block;
  uint8_t e[4] = {0, 0, 0, 0};
  for (uint32_t i = 0; i < entries; ++i) {
    StreamRead(io, e, os2 ? 3 : 4);
    if (i < QV_PALETTE_ENTRIES) memcpy(&block->Palette[i], e, 4);
    if (header) StreamPut(io, e, 4);
  }
  uint32_t stored = entries < QV_PALETTE_ENTRIES ? entries : QV_PALETTE_ENTRIES;
  if (IsGreyPalette(block->Palette, stored)) block->Flags |= QV_FLAG_GREY;
}

namespace {

// Stored rows (0 and "BMPO").
void DeliverStoredRows(Stream *io, StreamRows *d, const BmpLayout &l, uint32_t width) {
  ParamBlock *block = io->Block;
  if (l.SourceBits != 16 && l.SourceBits != 32) {
    if (!d->Flipped) {
      StreamRowsManyFromInput(d, l.Rows);
      return;
    }
    uint8_t *row = Buffer(block, l.Stride);
    for (uint32_t r = 0; r < l.Rows; ++r) StreamRowsFromInput(d, row, l.Stride);
    return;
  }
  // Input rows are padded to 4 bytes like output rows.
  uint64_t inBytes = ((static_cast<uint64_t>(l.SourceBits / 8) * width + 3) / 4) * 4;
  if (inBytes > 0x7FFFFFFFu) FailJob(block, QV_ERR_BAD_HEADER);
  uint8_t *source = Buffer(block, static_cast<size_t>(inBytes));
  uint8_t *row = Buffer(block, l.Stride);
  for (uint32_t r = 0; r < l.Rows; ++r) {
    StreamRead(io, source, static_cast<size_t>(inBytes));
    if (l.SourceBits == 16)
      ConvertRow16(source, row, width);
    else
      ConvertRow32(source, row, width);
    StreamRowsDeliver(d, row);
  }
}

// Run-length coded rows ("BMPR").
void DeliverCodedRows(Stream *io, StreamRows *d, const BmpLayout &l, uint32_t width) {
  ParamBlock *block = io->Block;
  // RLE4 fills ceil(width / 2) bytes per row; with a file that is
  // not 4 bits per pixel that can exceed the stride, so the buffer covers both.
  // The 5 spare bytes are those of the row buffer's usual size.
  size_t nibbleBytes = (static_cast<size_t>(width) + 1) / 2;
  size_t bytes = (l.Stride > nibbleBytes ? l.Stride : nibbleBytes) + 5;
  uint8_t *row = Buffer(block, bytes);
  if (l.Compression == 1)
    DecodeRle8(io, d, row, width, l.Rows);
  else
    DecodeRle4(io, d, row, width, l.Rows);
}

}  // namespace

void ReadBmp(ParamBlock *block, const JobOptions &options) {
  if (options.Extended) {
    ReadBmpExtended(block, options);
    return;
  }
  uint32_t type = options.ImageType;
  if (type != kTypeWindows && type != kTypeRle && type != kTypeOs2)
    FailJob(block, QV_ERR_BMP_TYPE);
  // On this frame, so that nothing is allocated before the headers are checked.
  Stream stream{};
  Stream *io = &stream;
  StreamStartConsuming(io, block);

  uint8_t raw[14];
  StreamRead(io, raw, sizeof raw);
  BmpFileHeader file{Le16(raw), Le32(raw + 2), Le32(raw + 10)};
  if (file.Type != kBmpSignature) FailJob(block, QV_ERR_BAD_HEADER);

  bool header = options.Header;
  // The file holds its rows bottom-up (or top-down with a negative height,
  // which the bitmap keeps): they leave in file order unless the host asked
  // for the top row first.
  bool flipped = options.TopDown;
  bool os2 = type == kTypeOs2;

  BitmapInfoHeader info{};
  BmpLayout l{};
  if (os2)
    ReadOs2Header(io, &info, &l);
  else
    ReadWindowsHeader(io, file, &info, &l, false);

  // Sizes that cannot describe a bitmap are refused before anything is
  // allocated: no width, no rows, a height whose magnitude is not an int32,
  // or a stride or image size beyond 32 bits.
  if (info.biWidth <= 0 || info.biHeight == 0 || info.biHeight == INT32_MIN ||
      !ComputeStride(info.biBitCount, info.biWidth, &l.Stride) ||
      !ComputeImageSize(l.Stride, info.biHeight, &info.biSizeImage))
    FailJob(block, QV_ERR_BAD_HEADER);
  l.Rows = static_cast<uint32_t>(info.biHeight < 0 ? -info.biHeight : info.biHeight);
  uint32_t width = static_cast<uint32_t>(info.biWidth);
  block->BitmapHeader = info;
  if (header) {
    static_assert(sizeof info == kWindowsInfoSize, "header bytes");
    StreamPut(io, reinterpret_cast<const uint8_t *>(&block->BitmapHeader), kWindowsInfoSize);
  }

  // Header and colour table ahead of the rows; clamped so that a table too
  // large to address still fails the flipped delivery's position check.
  uint64_t h = header ? kWindowsInfoSize + 4 * static_cast<uint64_t>(l.Entries) : 0;
  StreamRows d;
  StreamRowsStart(&d, io, options, l.Stride, l.Rows, h > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(h),
                  flipped);

  ReadExtraHeader(io, l.Extra);
  ReadBmpColourTable(io, l.Entries, os2, header);
  // Pixel data placed further on than the end of the colour table (a gap, or
  // table entries beyond those read) starts at the file's data offset.
  uint64_t consumed = 14 + static_cast<uint64_t>(os2 ? kOs2InfoSize : kWindowsInfoSize) + l.Extra +
                      static_cast<uint64_t>(l.Entries) * (os2 ? 3 : 4);
  if (file.DataOffset > consumed) StreamSkip(io, static_cast<size_t>(file.DataOffset - consumed));

  if (type == kTypeRle)
    DeliverCodedRows(io, &d, l, width);
  else
    DeliverStoredRows(io, &d, l, width);
  StreamRowsFinish(&d);
  StreamEndConsuming(io);
  block->Status = QV_OK;
}
