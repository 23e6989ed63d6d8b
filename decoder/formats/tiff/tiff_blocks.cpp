// Tiles and separate planes (extended decoding): the image is a grid of
// blocks (tiles, or the strips of each plane), each coded on its own. The
// rows of one row of blocks, every plane of it, are decoded into one buffer
// before the first of its image rows is put out, seeking to each block in
// turn; memory is one row of blocks: Planes x BlockHeight x the coded bytes
// of a row of blocks (a whole strip per plane for planes in strips).
#include <stdint.h>
#include <string.h>

#include "engine/engine.h"
#include "formats/tiff/tiff_internal.h"

namespace {

// Decode row of blocks br of every plane into the buffer.
void LoadBlockRow(TiffJob *j, uint32_t br) {
  uint32_t first = br * j->BlockHeight;
  uint32_t rows = j->Height - first < j->BlockHeight ? j->Height - first : j->BlockHeight;
  uint64_t perPlane = uint64_t{j->BlocksAcross} * j->BlocksDown;
  bool counted = j->StripByteCounts.Present;
  for (uint32_t p = 0; p < j->Planes; ++p) {
    uint8_t *plane = j->Blocks + size_t{p} * j->BlockHeight * j->PlaneRowBytes;
    for (uint32_t bc = 0; bc < j->BlocksAcross; ++bc) {
      uint64_t i = p * perPlane + uint64_t{br} * j->BlocksAcross + bc;
      if (i >= j->StripOffsets.Count || (counted && i >= j->StripByteCounts.Count))
        FailJob(j->Block, QV_ERR_TIFF_STRIP_COUNT);
      uint32_t offset, bytes;
      TiffBlockAt(j, static_cast<uint32_t>(i), &offset, &bytes);
      StreamSeek(&j->Io, offset);
      j->Codec->StartStrip(j, bytes);
      for (uint32_t k = 0; k < rows; ++k) {
        // Every codec writes a coded row (fax rows need their slack and
        // alignment), then it takes its place in the row of blocks.
        j->Codec->DecodeRow(j, j->Coded);
        if (j->Predictor == 2) TiffUndoPredictor(j, j->Coded, j->InWidth, j->InSamples);
        memcpy(plane + size_t{k} * j->PlaneRowBytes + size_t{bc} * j->BlockRowBytes, j->Coded, j->BlockRowBytes);
      }
    }
  }
  j->BlockRowLoaded = br + 1;
}

}  // namespace

void TiffBlocksSetup(TiffJob *j) {
  ParamBlock *block = j->Block;
  uint32_t bits = j->Bits;
  j->BlockWidth = j->Tiled ? j->TileWidth : j->Width;
  j->BlockHeight = j->Tiled ? j->TileLength : (j->RowsPerStrip < j->Height ? j->RowsPerStrip : j->Height);
  j->BlocksAcross = static_cast<uint32_t>((uint64_t{j->Width} + j->BlockWidth - 1) / j->BlockWidth);
  j->BlocksDown = static_cast<uint32_t>((uint64_t{j->Height} + j->BlockHeight - 1) / j->BlockHeight);
  uint64_t rowBits = uint64_t{j->BlockWidth} * j->InSamples * bits;
  // Tiles side by side make one row of samples only when their rows end on
  // a byte (a tile width that is a multiple of 16, as TIFF asks, always does).
  if (j->BlocksAcross > 1 && rowBits % 8 != 0) FailJob(block, QV_ERR_TIFF_TILES);
  if (rowBits + 31 >= uint64_t{kSeekPositionLimit}) FailJob(block, QV_ERR_BAD_HEADER);
  j->BlockRowBytes = static_cast<uint32_t>((rowBits + 7) / 8);
  uint64_t planeRow = uint64_t{j->BlocksAcross} * j->BlockRowBytes;
  uint64_t bytes = planeRow * j->BlockHeight * j->Planes;
  // The budget judges the buffer (a row of blocks, the header's sizes alone
  // say nothing of the memory they need).
  if (planeRow >= kSeekPositionLimit || bytes > SIZE_MAX / 2) FailJob(block, QV_ERR_BUFFER);
  j->PlaneRowBytes = static_cast<uint32_t>(planeRow);
  j->Blocks = static_cast<uint8_t *>(JobBufferOrFail(block, static_cast<size_t>(bytes)));
  j->InWidth = j->BlockWidth;
  j->InRowBytes = j->BlockRowBytes;
  j->InStride = static_cast<uint32_t>((rowBits + 31) / 32 * 4);
  j->BlockRowLoaded = 0;
}

void TiffBlockRow(TiffJob *j, uint32_t r, uint8_t *out) {
  uint32_t br = r / j->BlockHeight;
  if (j->BlockRowLoaded != br + 1) LoadBlockRow(j, br);
  uint32_t k = r - br * j->BlockHeight;
  const uint8_t *planes[8];
  for (uint32_t p = 0; p < j->Planes; ++p)
    planes[p] = j->Blocks + (size_t{p} * j->BlockHeight + k) * j->PlaneRowBytes;
  TiffConvertRow(j, planes, out);
}
