// Targa reader: header checks, output bitmap header, colour table, then the
// pixel path chosen by the image type code, then the extra data.
#include <string.h>

#include "engine/engine.h"
#include "formats/readers.h"
#include "formats/tga/tga_job.h"
#include "output/stream_rows.h"

namespace {

bool IsRunLengthCode(uint32_t code) {
  return code == QV_FOURCC('T', 'G', 'A', '9') || code == QV_FOURCC('T', 'G', 'A', 'A') ||
         code == QV_FOURCC('T', 'G', 'A', 'B');
}

bool IsUncompressedCode(uint32_t code) {
  return code == QV_FOURCC('T', 'G', 'A', '1') || code == QV_FOURCC('T', 'G', 'A', '2') ||
         code == QV_FOURCC('T', 'G', 'A', '3');
}

bool IsGreyType(uint8_t type) { return type == 3 || type == 11; }

void ParseHeader(const uint8_t *b, TgaHeader *h) {
  h->IdLength = b[0];
  h->ColourMapType = b[1];
  h->ImageTypeByte = b[2];
  h->FirstIndex = static_cast<uint16_t>(b[3] | b[4] << 8);
  h->MapLength = static_cast<uint16_t>(b[5] | b[6] << 8);
  h->MapEntrySize = b[7];
  h->Width = static_cast<uint16_t>(b[12] | b[13] << 8);
  h->Height = static_cast<uint16_t>(b[14] | b[15] << 8);
  h->Depth = b[16];
  h->Descriptor = b[17];
}

// Bytes of one colour map entry in the file; 0 for a size the reader refuses.
uint32_t MapEntryBytes(uint8_t bits) {
  if (bits <= 16) return 2;  // 15- and 16-bit entries, and smaller sizes read as 16-bit
  if (bits <= 24) return 3;
  if (bits <= 32) return 4;
  return 0;
}

// Colour table entries the output carries, and whether a file colour map is read.
uint32_t ColourTableCount(const TgaHeader &h, bool *readMap) {
  *readMap = false;
  if (IsGreyType(h.ImageTypeByte)) return 1u << h.Depth;
  if (h.ColourMapType == 1 && h.MapLength != 0) {
    *readMap = true;
    // Entry numbers start at the first index; the entries below it stay black.
    return static_cast<uint32_t>(h.FirstIndex) + h.MapLength;
  }
  return 0;
}

void PutColour(TgaJob *job, uint32_t index, const PaletteEntry &e) {
  ParamBlock *block = job->Block;
  if (index < QV_PALETTE_ENTRIES) block->Palette[index] = e;
  if (job->EmitHeader) StreamPut(job->Io, reinterpret_cast<const uint8_t *>(&e), 4);
}

void ReadColourTable(TgaJob *job, uint32_t count, bool readMap) {
  ParamBlock *block = job->Block;
  const TgaHeader &h = job->Header;
  if (IsGreyType(h.ImageTypeByte)) {
    // A ramp from black to white; a colour map stored in the file is passed over.
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t v = static_cast<uint8_t>(i * 255 / (count - 1));
      PutColour(job, i, PaletteEntry{v, v, v, 0});
    }
    if (h.ColourMapType == 1 && h.MapLength != 0)
      StreamSkip(job->Io, static_cast<size_t>(h.MapLength) * MapEntryBytes(h.MapEntrySize));
    block->Flags |= QV_FLAG_GREY;
    return;
  }
  if (!readMap) return;
  for (uint32_t i = 0; i < h.FirstIndex; ++i) PutColour(job, i, PaletteEntry{0, 0, 0, 0});
  uint32_t bytes = MapEntryBytes(h.MapEntrySize);
  for (uint32_t i = h.FirstIndex; i < count; ++i) {
    uint8_t v[4];
    StreamRead(job->Io, v, bytes);
    PaletteEntry e{v[0], v[1], v[2], 0};
    if (bytes == 2) {
      // 5 bits each of red, green and blue, widened as 16-bit pixels are.
      uint32_t c = v[0] | static_cast<uint32_t>(v[1]) << 8;
      e.blue = kExpand5[c & 31];
      e.green = kExpand5[(c >> 5) & 31];
      e.red = kExpand5[(c >> 10) & 31];
    }
    PutColour(job, i, e);
  }
  uint32_t kept = count < QV_PALETTE_ENTRIES ? count : QV_PALETTE_ENTRIES;
  if (IsGreyPalette(block->Palette, kept)) block->Flags |= QV_FLAG_GREY;
}

}  // namespace

void ReadTga(ParamBlock *block, const JobOptions &options) {
  uint32_t code = options.ImageType;
  if (!IsRunLengthCode(code) && !IsUncompressedCode(code)) FailJob(block, QV_ERR_TGA_TYPE);

  TgaJob &job = *NewJobRecord<TgaJob>(block);
  job.Block = block;
  job.Flip = options.TopDown;
  job.EmitHeader = options.Header;
  job.WholeInput = options.WholeInput;
  // The stream on this frame: the job record keeps its size, and with it
  // the job's memory.
  Stream stream{};
  job.Io = &stream;
  StreamStartConsuming(job.Io, block);
  if (job.WholeInput) job.FileSize = static_cast<size_t>(stream.FileSize);

  uint8_t raw[18];
  StreamRead(job.Io, raw, sizeof raw);
  TgaHeader &h = job.Header;
  ParseHeader(raw, &h);
  if (h.ColourMapType > 1) FailJob(block, QV_ERR_BAD_HEADER);
  switch (h.ImageTypeByte) {
    case 1: case 2: case 3: case 9: case 10: case 11: break;
    default: FailJob(block, QV_ERR_BAD_HEADER);
  }
  // Rows run bottom-up unless the descriptor puts the origin at the top.
  if (h.Descriptor & 0x20) job.Flip = !job.Flip;
  // Descriptor bit 4 puts the origin at the right: rows run right to left.
  job.Mirror = (h.Descriptor & 0x10) != 0;
  switch (h.Depth) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: FailJob(block, QV_ERR_TGA_DEPTH);
  }
  if (h.Depth == 32 && (h.Descriptor & 0x0F) != 8) FailJob(block, QV_ERR_TGA_ATTRIBUTES);
  // Empty images, grey ramps wider than 8 bits and unreadable colour maps are refused.
  if (h.Width == 0 || h.Height == 0) FailJob(block, QV_ERR_BAD_HEADER);
  if (IsGreyType(h.ImageTypeByte) && h.Depth > 8) FailJob(block, QV_ERR_BAD_HEADER);
  if (h.ColourMapType == 1 && h.MapLength != 0 && MapEntryBytes(h.MapEntrySize) == 0)
    FailJob(block, QV_ERR_BAD_HEADER);

  job.OutBits = (h.Depth == 16 || h.Depth == 32) ? 24 : h.Depth;
  job.InRowSize = (static_cast<uint32_t>(h.Depth) * h.Width + 7) / 8;
  uint32_t imageSize;
  if (!ComputeStride(job.OutBits, h.Width, &job.Stride) ||
      !ComputeImageSize(job.Stride, h.Height, &imageSize))
    FailJob(block, QV_ERR_BAD_HEADER);

  bool readMap;
  uint32_t colours = ColourTableCount(h, &readMap);
  uint32_t headerBytes = job.EmitHeader ? 40 + 4 * colours : 0;
  // Flipped delivery needs room for one row; checked before any output.
  StreamRowsStart(&job.Rows, job.Io, options, job.Stride, h.Height, headerBytes, job.Flip);

  BitmapInfoHeader &bh = block->BitmapHeader;
  memset(&bh, 0, sizeof bh);
  bh.biSize = 40;
  bh.biWidth = h.Width;
  bh.biHeight = h.Height;
  bh.biPlanes = 1;
  bh.biBitCount = static_cast<uint16_t>(job.OutBits);
  bh.biCompression = 0;
  bh.biSizeImage = imageSize;
  bh.biClrUsed = colours;
  bh.biClrImportant = colours;
  if (job.EmitHeader) StreamPut(job.Io, reinterpret_cast<const uint8_t *>(&bh), sizeof bh);

  TgaReadImageId(&job);
  ReadColourTable(&job, colours, readMap);

  job.InRow = static_cast<uint8_t *>(JobBufferOrFail(block, job.InRowSize));
  job.OutRow = static_cast<uint8_t *>(JobBufferOrFail(block, static_cast<size_t>(job.Stride) + 4));

  if (options.Extended)
    TgaReadPixelsTolerant(&job, IsRunLengthCode(code));
  else if (IsRunLengthCode(code))
    TgaReadRunLength(&job);
  else
    TgaReadUncompressed(&job);
  StreamRowsFinish(&job.Rows);

  if (block->ExtraBuffer) TgaReadExtras(&job);
  StreamEndConsuming(job.Io);
  block->Status = QV_OK;
}
