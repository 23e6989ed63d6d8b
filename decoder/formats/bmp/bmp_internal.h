// Pieces of the BMP reader shared between its files.
#pragma once
#include <stdint.h>

#include "engine/job_options.h"
#include "formats/bytes.h"
#include "output/stream_rows.h"
#include "quorvin.h"
#include "stream/stream.h"

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
constexpr uint32_t kBmpBitFields = 3;
constexpr uint32_t kBmpAlphaBitFields = 6;
constexpr uint32_t kTypeWindows = 0;
constexpr uint32_t kTypeRle = QV_FOURCC('B', 'M', 'P', 'R');
constexpr uint32_t kTypeOs2 = QV_FOURCC('B', 'M', 'P', 'O');

// What the headers tell the pixel paths.
struct BmpLayout {
  uint32_t SourceBits;   // bits per pixel in the file
  uint32_t Compression;  // the file's compression field (Windows)
  uint32_t Entries;      // colour-table entries in the file
  uint32_t Extra;        // information-header bytes beyond the standard ones
  uint32_t Stride;       // output row bytes
  uint32_t Rows;
};

// The information headers (the 12 or 40 bytes every file has), filling info
// and the layout. The Windows header takes bit fields only when extended.
void ReadOs2Header(Stream *io, BitmapInfoHeader *info, BmpLayout *l);
void ReadWindowsHeader(Stream *io, const BmpFileHeader &file, BitmapInfoHeader *info, BmpLayout *l,
                       bool extended);
// The colour table into Palette (and the output when header is set), with
// the grey flag.
void ReadBmpColourTable(Stream *io, uint32_t entries, bool os2, bool header);

// Everything the classic reader refuses or stops at, for QV_FLAG_EXTENDED:
// bit fields, alpha, tolerant run-length data, colour profiles and files
// decoded as far as they go.
void ReadBmpExtended(ParamBlock *block, const JobOptions &options);


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
void DecodeRle8(Stream *io, StreamRows *d, uint8_t *row, uint32_t width, uint32_t rows);
void DecodeRle4(Stream *io, StreamRows *d, uint8_t *row, uint32_t width, uint32_t rows);
// The same, tolerant as the common decoders are: delta codes, runs and
// literals clipped at the row end, end of line inside a row, end of bitmap
// anywhere; every pixel not written is index 0. Rows left when the data ends
// are the caller's to fill; row (a stride, zeroed at each row start) holds
// the row in progress if the input ends inside it.
void DecodeRleTolerant(Stream *io, StreamRows *d, uint8_t *row, uint32_t width, uint32_t rows,
                       bool nibbles);

// 16- and 32-bit rows converted to 24 bits: in holds one input row, out one
// output row.
void ConvertRow16(const uint8_t *in, uint8_t *out, uint32_t width);
void ConvertRow32(const uint8_t *in, uint8_t *out, uint32_t width);
