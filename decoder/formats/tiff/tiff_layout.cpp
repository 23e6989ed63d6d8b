// The judgement of a directory read with the extended bit: which samples the
// file holds (colour channels, an alpha sample, extra samples dropped, their
// depth, contiguous or in planes, in strips or tiles) and what the bitmap
// becomes of them.
//
// Bitmaps: grey and palette samples become indices (1 bit from 1-bit
// samples, 4 bits from 2 to 4, 8 bits from 5 to 8, 8 bits from deeper grey),
// RGB becomes 24-bit BGR, CMYK 32-bit CMYK, and an alpha sample (ExtraSamples
// 1 or 2) makes 32-bit BGRA of any of grey, palette and RGB. The layouts the
// classic reader decodes come out byte for byte as it gives them.
#include "engine/engine.h"
#include "formats/tiff/tiff_internal.h"

namespace {

constexpr uint32_t kMaxSamples = 8;  // BitsFirst holds this many

bool DepthRead(uint32_t bits) { return (bits >= 1 && bits <= 16) || bits == 24 || bits == 32; }

// The classic layouts (what the strip loop turns into bitmap rows without
// the sample conversion).
bool ClassicLayout(const TiffJob *j, uint32_t bits) {
  uint32_t spp = j->SamplesPerPixel;
  switch (j->Output) {
    case kOutIndex: return spp == 1 && (bits == 1 || bits == 4 || bits == 8);
    case kOutBgr: return spp == 3 && bits == 8;
    case kOutBgra: return spp == 4 && j->Channels == 3 && bits == 8;
    case kOutCmyk: return spp == 4 && bits == 8;
    default: return true;
  }
}

}  // namespace

void TiffJudgeExtended(TiffJob *j) {
  ParamBlock *block = j->Block;
  if (j->Refusal) FailJob(block, j->Refusal);
  uint32_t c = j->Compression;
  if (!TiffCodecFor(c)) FailJob(block, QV_ERR_TIFF_COMPRESSION);
  block->FileCompression = (c == 3 && (j->T4Options & 1)) ? -3 : static_cast<int32_t>(c);
  if (!j->StripOffsets.Present) FailJob(block, QV_ERR_TIFF_NO_STRIPS);

  uint32_t spp = j->SamplesPerPixel;
  if (spp == 0 || spp > kMaxSamples) FailJob(block, QV_ERR_TIFF_SAMPLES_PER_PIXEL);
  // One depth for every sample. More values than samples are tolerated when
  // the first ones agree (GIMP writes 8 8 8 1 for RGB), fewer when they do.
  uint32_t bits = j->Bits;
  uint32_t listed = j->BitsCount < spp ? j->BitsCount : spp;
  for (uint32_t i = 1; i < listed; ++i)
    if (j->BitsFirst[i] != bits) FailJob(block, QV_ERR_TIFF_SAMPLES);
  if (!DepthRead(bits)) FailJob(block, QV_ERR_TIFF_SAMPLES);

  if (bits == 1 && spp == 1 && j->Photometric == kAbsent) j->Photometric = 0;
  uint32_t p = j->Photometric;
  if (c == 7) {
    // libjpeg reads 8-bit samples, and makes YCbCr data RGB.
    if (bits != 8) FailJob(block, QV_ERR_JPEG_PRECISION);
    j->Ycbcr = p == 6;
    if (j->Ycbcr) {
      if (spp != 3 || j->Planar == 2) FailJob(block, QV_ERR_TIFF_YCBCR);
      j->Photometric = p = 2;
    }
  }
  if (p == 6) FailJob(block, QV_ERR_TIFF_YCBCR);
  if (p != 0 && p != 1 && p != 2 && p != 3 && p != 5) FailJob(block, QV_ERR_TIFF_PHOTOMETRIC);
  // One RGB sample is what the classic reader takes it for: 16-bit pixels
  // as stored, or indices into a ColorMap.
  j->Channels = p == 2 && spp > 1 ? 3 : p == 5 ? 4 : 1;
  if (spp < j->Channels) FailJob(block, QV_ERR_TIFF_SAMPLES_PER_PIXEL);
  if (p == 3 && bits > 8) FailJob(block, QV_ERR_TIFF_SAMPLES);

  // The sample after the colours: alpha when ExtraSamples says so, else
  // dropped; RGB with a fourth sample and no ExtraSamples keeps it in the
  // fourth byte, as the classic reader does.
  j->Alpha = kNoAlpha;
  if (spp > j->Channels && j->HaveExtraSamples && (j->ExtraFirst == 1 || j->ExtraFirst == 2))
    j->Alpha = j->ExtraFirst == 1 ? kAssociated : kUnassociated;
  bool fourthKept = j->Channels == 3 && spp == 4 && !j->HaveExtraSamples;

  if (p == 2 && spp == 1 && bits == 16) {
    j->Output = kOutAsStored;
  } else if (j->Channels == 4) {
    j->Output = kOutCmyk;  // extra samples, alpha too, are dropped: the bitmap has no room
    j->Alpha = kNoAlpha;
  } else if (j->Alpha != kNoAlpha || fourthKept) {
    j->Output = kOutBgra;
  } else if (j->Channels == 3) {
    j->Output = kOutBgr;
  } else {
    j->Output = kOutIndex;
  }
  if (p == 2 && spp == 1 && bits != 1 && bits != 4 && bits != 8 && bits != 16) FailJob(block, QV_ERR_TIFF_SAMPLES);
  switch (j->Output) {
    case kOutIndex: j->Depth = bits == 1 ? 1 : bits <= 4 ? 4 : 8; break;
    case kOutBgr: j->Depth = 24; break;
    case kOutAsStored: j->Depth = 16; break;
    default: j->Depth = 32; break;
  }
  // Indices to colours: a table of 2^bits entries (256 for deeper grey,
  // whose indices are its top 8 bits), put out with index rows and kept
  // behind BGRA rows of grey or palette samples.
  j->PaletteSize = j->Channels == 1 && j->Output != kOutAsStored ? 1u << (bits < 8 ? bits : 8) : 0;
  j->TableSize = j->Output == kOutIndex ? j->PaletteSize : 0;

  j->Planes = j->Planar == 2 && spp > 1 ? spp : 1;
  if (j->Planar != 1 && j->Planar != 2) FailJob(block, QV_ERR_TIFF_PLANAR);
  if (j->Tiled && (j->TileWidth == 0 || j->TileLength == 0)) FailJob(block, QV_ERR_TIFF_TILES);
  j->RowsDirect = !j->Tiled && j->Planes == 1 && ClassicLayout(j, bits);

  // The orientation is reported, never applied: rows leave as stored.
  block->Orientation = j->Orientation;
  j->Flip = !j->Options.TopDown;
  j->T4Options &= 1;
  if (!j->HaveWidth || !j->HaveHeight || j->Width == 0 || j->Height == 0)
    FailJob(block, QV_ERR_TIFF_NO_DIMENSIONS);
  if (j->RowsPerStrip == 0) j->RowsPerStrip = 0x7FFFFFFF;

  // A coded row: the image's, or a tile's (set again by the block set-up).
  j->InWidth = j->Width;
  j->InSamples = j->Planes > 1 ? 1 : spp;
  uint64_t inBits = uint64_t{j->Width} * j->InSamples * bits;
  if (inBits + 31 >= uint64_t{kSeekPositionLimit}) FailJob(block, QV_ERR_BAD_HEADER);
  j->InRowBytes = static_cast<uint32_t>((inBits + 7) / 8);
  j->InStride = static_cast<uint32_t>((inBits + 31) / 32 * 4);
}
