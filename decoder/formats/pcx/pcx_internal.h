// PCX reader internals: the layouts, run-length line decoding and the merging
// of decoded planes into output rows.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "quorvin.h"
#include "stream/stream.h"

// The combinations of planes and bits per plane the reader accepts.
enum PcxLayout : uint8_t {
  kPcxMono = 0,       // 1 plane of 1 bit: 1-bit rows, two header colours
  kPcxFourColour,     // 1 plane of 2 bits: 4-bit rows, four header colours
  kPcxEightColour,    // 3 planes of 1 bit: 4-bit rows, eight header colours
  kPcxSixteenColour,  // 4 planes of 1 bit: 4-bit rows, sixteen header colours
  kPcxIndexed,        // 1 plane of 8 bits: 8-bit rows, 256 colours at the end of the file
  kPcxTrueColour,     // 3 planes of 8 bits: 24-bit rows, blue, green, red
  kPcxPackedSixteen,  // 1 plane of 4 bits (extended only): 4-bit rows, sixteen header colours
  kPcxLayoutCount
};

struct PcxLayoutInfo {
  uint8_t planes;
  uint8_t bits;       // bits per pixel in each plane
  uint16_t bitCount;  // output bits per pixel
  uint16_t colours;   // colour table entries (biClrUsed)
};

extern const PcxLayoutInfo kPcxLayouts[kPcxLayoutCount];

// Decode n bytes of run-length data from the input into line. A run that
// reaches past n is cut there; every call starts with no run pending.
void PcxDecodeLine(Stream *io, uint8_t *line, size_t n);

// Build one 4-bit row of width pixels from 1-bit planes of planeBytes bytes
// each (plane k adds 2^k). Pixels at or beyond width come out as 0; row
// receives (width + 7) / 8 * 4 bytes.
void PcxMergeBitPlanes(const uint8_t *line, uint32_t planeBytes, uint32_t planes, uint32_t width,
                       uint8_t *row);

// Build one 4-bit row from a single plane of 2-bit pixels; row receives
// (width + 3) / 4 * 2 bytes, pixels at or beyond width are 0.
void PcxSpreadPairs(const uint8_t *line, uint32_t width, uint8_t *row);

// Interleave red, green and blue planes of planeBytes bytes into blue, green,
// red pixels; row receives 3 * planeBytes bytes.
void PcxInterleaveRgb(const uint8_t *line, uint32_t planeBytes, uint8_t *row);
