// TIFF and raw Group 3 fax: the job's entry, the output header and colour table.
#include <string.h>

#include "codecs/jpeg/jpeg_library.h"
#include "engine/engine.h"
#include "formats/readers.h"
#include "formats/tiff/tiff_internal.h"
#include "output/rows.h"

namespace {

bool IsTiffCode(uint32_t t) {
  static const uint32_t kCodes[] = {
      QV_FOURCC('T', 'I', 'F', '1'), QV_FOURCC('T', 'I', 'F', 'C'), QV_FOURCC('T', 'I', 'F', 'G'),
      QV_FOURCC('T', 'I', 'F', 'L'), QV_FOURCC('T', 'I', 'F', 'M'), QV_FOURCC('T', 'I', 'F', 'Z'),
      QV_FOURCC('T', 'I', 'F', 'u')};
  for (uint32_t c : kCodes)
    if (c == t) return true;
  return false;
}

bool IsRawFaxCode(uint32_t t) {
  return t == QV_FOURCC('G', '3', ' ', ' ') || t == QV_FOURCC('G', '3', '2', 'D');
}

// The colour table: a grey ramp for WhiteIsZero and BlackIsZero, else the
// ColorMap's 16-bit components cut to their high bytes. The ramp of n
// entries is i x 255 / (n - 1), or (n - 1 - i) x 255 / (n - 1) for
// WhiteIsZero, rounded to nearest (exact for 1, 2, 4 and 8 bits, as
// libtiff's grey map).
uint32_t BuildPalette(TiffJob *j) {
  uint32_t n = j->PaletteSize;
  if (n == 0) return 0;
  if (j->Photometric == 0 || j->Photometric == 1) {
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t level = j->Photometric == 0 ? n - 1 - i : i;
      uint8_t v = static_cast<uint8_t>((level * 255 + (n - 1) / 2) / (n - 1));
      j->Palette[i] = {v, v, v, 0};
    }
    return n;
  }
  TiffList *map = &j->ColorMap;
  if (!map->Present) FailJob(j->Block, QV_ERR_TIFF_NO_COLORMAP);
  if (map->Count != 3 * n) FailJob(j->Block, QV_ERR_TIFF_COLORMAP_SIZE);
  for (uint32_t i = 0; i < n; ++i) {
    j->Palette[i].red = static_cast<uint8_t>(TiffListElement(j, map, i) >> 8);
    j->Palette[i].green = static_cast<uint8_t>(TiffListElement(j, map, n + i) >> 8);
    j->Palette[i].blue = static_cast<uint8_t>(TiffListElement(j, map, 2 * n + i) >> 8);
    j->Palette[i].fourth = 0;
  }
  return n;
}

}  // namespace

void PrepareTiff(const ParamBlock *block) {
  if (block->Flags & QV_FLAG_EXTENDED) JpegLibrary();
}

void TiffWriteHeader(TiffJob *j) {
  ParamBlock *block = j->Block;
  BitmapInfoHeader h{};
  h.biSize = 40;
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(j->Depth);
  h.biCompression = j->Photometric == 5 ? QV_FOURCC('C', 'M', 'Y', 'K') : 0;
  h.biClrUsed = h.biClrImportant = j->TableSize;
  if (j->RawFax) {
    // Width and height are learnt while decoding.
    h.biWidth = -1;
    h.biHeight = -1;
    h.biSizeImage = 0xFFFFFFFFu;
  } else {
    h.biWidth = static_cast<int32_t>(j->Width);
    h.biHeight = static_cast<int32_t>(j->Height);
    h.biSizeImage = j->Height * j->Stride;
  }
  block->BitmapHeader = h;
  StreamStartOutput(&j->Io, block);
  j->HeaderPosition = StreamOutputPosition(&j->Io);
  bool put = j->Options.Header;
  if (put) StreamPut(&j->Io, reinterpret_cast<const uint8_t *>(&h), sizeof h);

  if (j->Alpha != kNoAlpha) {
    block->Flags |= QV_FLAG_ALPHA;
    if (j->Alpha == kAssociated) block->Flags |= QV_FLAG_PREMULTIPLIED;
  }
  // Rows with alpha carry colours: their table stays behind them.
  uint32_t n = BuildPalette(j);
  if (n == 0 || j->TableSize == 0) return;
  memcpy(block->Palette, j->Palette, n * sizeof(PaletteEntry));
  if (put) StreamPut(&j->Io, reinterpret_cast<const uint8_t *>(j->Palette), n * sizeof(PaletteEntry));
  if (j->Photometric <= 1 || IsGreyPalette(j->Palette, n)) block->Flags |= QV_FLAG_GREY;
}

void ReadTiff(ParamBlock *block, const JobOptions &options) {
  uint32_t type = options.ImageType;
  bool raw = IsRawFaxCode(type);
  TiffJob *j = NewJobRecord<TiffJob>(block);
  j->Block = block;
  j->Options = options;
  StreamStartInput(&j->Io, block);
  block->SeekTarget = 0;
  if (!raw && !IsTiffCode(type)) FailJob(block, QV_ERR_NOT_TIFF_TYPE);

  j->StripOffsets.Window = j->Windows[0];
  j->StripByteCounts.Window = j->Windows[1];
  j->ColorMap.Window = j->Windows[2];

  if (raw) {
    TiffRawFaxDefaults(j);
  } else {
    TiffReadDirectory(j);
    // Rows, the bitmap and every output position must stay below 2^30, the
    // positions SeekTarget can carry.
    uint64_t rowBits = uint64_t{j->Width} * j->Depth;
    if (rowBits + 31 >= uint64_t{kSeekPositionLimit}) FailJob(block, QV_ERR_BAD_HEADER);
    j->RowBytes = static_cast<uint32_t>((rowBits + 7) / 8);
    j->Stride = static_cast<uint32_t>((rowBits + 31) / 32 * 4);
    uint64_t total = uint64_t{j->Stride} * j->Height + 40 + 4 * 256;
    if (total >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
  }
  TiffWriteHeader(j);
  TiffDecodeStrips(j);
  block->Status = QV_OK;
}
