// The PNG reader: chunks read through the positioned stream, the image data
// inflated straight from its IDAT chunks, lines unfiltered and turned into
// bitmap rows, placed bottom-up or top-down.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "codecs/inflate/inflate.h"
#include "engine/job_options.h"
#include "output/placed_rows.h"
#include "quorvin.h"
#include "stream/stream.h"

// The inflater's input buffer: the bytes of the image data it takes from
// the input queue at a time.
constexpr uint32_t kPngInflateBuffer = 32768;
// Bytes after each line that the filters and conversions may read (never
// use) past its end.
constexpr uint32_t kPngLineSlack = 16;

// How an unfiltered line becomes bitmap pixels when its pixels are
// adjacent in the row (every line of a plain image, the last Adam7 pass).
enum PngConversion : uint8_t {
  PngCopy,         // the samples are the bitmap's indexes: 1-, 4- or 8-bit
  PngSwap24,       // RGB to BGR
  PngSwap32,       // RGBA to BGRA
  PngGreyAlpha,    // grey and alpha, 8 bits each, to BGRA
  PngLookup,       // 8-bit samples through the BGRA table (palette or grey with tRNS)
  PngEachPixel,    // anything else, pixel by pixel
};

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
  bool TrnsToAlpha;    // a tRNS grey value or colour that needs BGRA
  PngConversion Conversion;
  PaletteEntry Table[256];  // the colour table delivered (grey ramp or palette)
  uint32_t TableSize;
  uint32_t Lookup[256];     // PngLookup: BGRA of each sample value, blue in the low byte

  // The chunk being read.
  uint32_t ChunkLeft;  // data bytes of the chunk not yet read
  uint32_t ChunkType;
  uint32_t Crc;        // running CRC-32 of the chunk's type and data
  bool ImageDataDone;  // the run of IDAT chunks is over
  // After the last row with the extended bit: the end of the input ends the
  // file quietly (Ended is then set and nothing more is read).
  bool Lenient, Ended;

  InflateDecoder *Inflate;
  uint8_t *Lines;      // two lines, each a filter byte, the line, kPngLineSlack bytes
  size_t LineSpan;     // bytes from one line's start to the other's
  uint8_t *Spare;      // one bitmap row and slack, where the output queue has no room
  uint8_t *Even;       // Adam7: the even rows of the bitmap, which passes 1 to 6 fill
};

// CRC-32 (ISO-HDLC, as PNG checks its chunks) of n bytes, continued from crc
// (0xFFFFFFFF to start; the final value is inverted).
uint32_t PngCrc(uint32_t crc, const uint8_t *p, size_t n);

// Undo the filter of one line of n bytes against the previous line (zeros
// for a pass's first line); pixelBytes is how far the filters reach back.
// Both lines are followed by kPngLineSlack readable bytes. False for a
// filter type beyond 4.
bool PngUnfilter(uint8_t type, uint8_t *line, const uint8_t *prev, size_t n, uint32_t pixelBytes);

// Chooses j->Conversion (and fills j->Lookup) once the bitmap's layout is known.
void PngPrepareConversion(PngJob *j);
// One unfiltered line of `pixels` pixels into a bitmap row at out, every
// step-th bitmap pixel from pixel x0 (Adam7 passes), as the bitmap holds
// them (OutBits). Adjacent pixels (x0 0, step 1) fill the row up to its
// stride, padding zeroed.
void PngConvertLine(const PngJob *j, const uint8_t *line, uint32_t pixels, uint8_t *out, uint32_t x0,
                    uint32_t step);
