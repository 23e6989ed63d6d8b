// The PNG reader: chunks read through the positioned stream, the image data
// inflated straight from its IDAT chunks, rows unfiltered and turned into
// bitmap rows, placed bottom-up or top-down.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "codecs/inflate/inflate.h"
#include "engine/job_options.h"
#include "output/placed_rows.h"
#include "quorvin.h"
#include "stream/stream.h"

constexpr uint32_t kPngInflateBuffer = 8192;

struct PngJob {
  ParamBlock *Block;
  JobOptions Options;
  Stream Io;
  PlacedRows Rows;

  // IHDR.
  uint32_t Width, Height;
  uint8_t Depth;       // bits per sample: 1, 2, 4, 8 or 16
  uint8_t ColourType;  // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
  bool Interlaced;     // Adam7
  uint32_t Channels;   // samples per pixel
  uint32_t PixelBytes; // bytes a filter reaches back: a whole pixel, at least 1

  // PLTE and tRNS.
  PaletteEntry Palette[256];
  uint32_t PaletteSize;
  uint8_t PaletteAlpha[256];  // 255 where tRNS gives nothing
  bool HaveTrns;
  uint16_t TrnsValue[3];      // grey, or red, green, blue (at the file's depth)

  // The bitmap.
  uint32_t OutBits;    // 1, 4, 8, 24 or 32
  uint32_t OutStride;
  bool OutAlpha;       // 32-bit BGRA
  bool TrnsToAlpha;    // a tRNS value or table that needs BGRA
  PaletteEntry Table[256];  // the colour table delivered (grey ramp or palette)
  uint32_t TableSize;

  // The chunk being read.
  uint32_t ChunkLeft;  // data bytes of the chunk not yet read
  uint32_t ChunkType;
  uint32_t Crc;        // running CRC-32 of the chunk's type and data
  bool InImageData;    // inside the run of IDAT chunks
  bool ImageDataDone;  // the run of IDAT chunks is over

  InflateDecoder *Inflate;
  uint8_t *Lines;      // two filtered lines (previous, current), each PixelBytes + line bytes
  uint8_t *Spare;      // one bitmap row and slack, where the output queue has no room
  uint8_t *Image;      // interlaced: the whole bitmap, filled pass by pass
};

// CRC-32 (ISO-HDLC, as PNG checks its chunks) of n bytes, continued from crc
// (0xFFFFFFFF to start; the final value is inverted).
uint32_t PngCrc(uint32_t crc, const uint8_t *p, size_t n);

// Undo the filter of one line of n bytes (filter type given) against the
// previous line; both have PixelBytes zero bytes before them. False for a
// filter type beyond 4.
bool PngUnfilter(uint8_t type, uint8_t *line, const uint8_t *prev, size_t n, uint32_t pixelBytes);

// One unfiltered line of `pixels` pixels into bitmap pixels at out, every
// step-th bitmap pixel from pixel x0 (interlace passes), as the bitmap holds
// them (OutBits).
void PngConvertLine(const PngJob *j, const uint8_t *line, uint32_t pixels, uint8_t *out, uint32_t x0,
                    uint32_t step);
