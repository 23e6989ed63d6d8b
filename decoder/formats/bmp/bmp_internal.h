// Pieces of the BMP reader shared between its files.
#pragma once
#include <stdint.h>

#include "output/rows.h"
#include "formats/bytes.h"
#include "quorvin.h"

// The 14-byte file header.
struct BmpFileHeader {
  uint16_t Type;        // "BM" = 0x4D42
  uint32_t FileSize;    // ignored
  uint32_t DataOffset;  // offset of the pixel data from the file start
};

constexpr uint16_t kBmpSignature = 0x4D42;
constexpr uint32_t kBmpExtraKind = 0x1000;
constexpr uint32_t kWindowsInfoSize = 40;
constexpr uint32_t kOs2InfoSize = 12;


// Colour-table entries of a Windows file: from the room between the
// information header and the pixel data when that is a whole number of
// entries, else from the header fields. infoSize is the size the file states;
// info carries the output depth in biBitCount.
uint32_t ColourTableCount(const BmpFileHeader &file, uint32_t infoSize,
                          const BitmapInfoHeader &info);
// Entries implied by colours used and colours important for the depth.
uint32_t PaletteEntryCount(const BitmapInfoHeader &info);

// Run-length coded rows (8 bits per pixel, or 4 bits per pixel) into the
// zero-filled row buffer, each row handed to the delivery when complete.
void DecodeRle8(ParamBlock *block, RowDelivery *d, uint8_t *row, uint32_t width, uint32_t rows);
void DecodeRle4(ParamBlock *block, RowDelivery *d, uint8_t *row, uint32_t width, uint32_t rows);

// 16- and 32-bit rows converted to 24 bits: in holds one input row, out one
// output row.
void ConvertRow16(const uint8_t *in, uint8_t *out, uint32_t width);
void ConvertRow32(const uint8_t *in, uint8_t *out, uint32_t width);
