// The TIFF reader: one image file directory read into a working record, then
// the strips decoded into the output bitmap, all through the positioned
// streams. Raw Group 3 fax input shares the strip decoding.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "codecs/ccitt/ccitt.h"
#include "engine/job_options.h"
#include "codecs/lzw/lzw.h"
#include "output/rows.h"
#include "quorvin.h"
#include "stream/stream.h"

// Elements of a value list kept in memory at once; longer lists are read
// again from the file, a window at a time, as the strip loop reaches them.
constexpr uint32_t kListWindow = 1024;

// A value list of the directory (StripOffsets, StripByteCounts, ColorMap).
// Its elements are the values as unsigned 32-bit integers; values of the
// 8-byte types give two elements each (numerator, denominator).
struct TiffList {
  bool Present;
  uint16_t Type;
  uint32_t Count;        // values
  uint32_t Elements;     // elements (Count, or 2 x Count for 8-byte types)
  uint32_t ElementSize;  // bytes of one element in the file: 1, 2 or 4
  bool Inline;           // the elements lie in the entry's value field
  uint8_t Field[4];      // the value field as it stands in the file
  uint64_t Offset;       // file position of the elements otherwise
  uint32_t First;        // index of the first element in Window
  uint32_t Held;         // elements in Window
  uint32_t *Window;      // kListWindow elements
};

// One image file directory as read: the tags the reader uses, before any of
// them is judged (the judging happens once the whole directory is known).
struct TiffDirectory {
  uint32_t Width, Height;
  bool HaveWidth, HaveHeight;
  uint32_t BitsCount;   // values of BitsPerSample
  uint32_t Bits;        // its first value
  bool BitsUniform;     // every value equals the first
  uint32_t Compression;
  uint32_t Photometric;  // kAbsent when the tag is missing
  uint32_t FillOrder;
  uint32_t Orientation;
  uint32_t SamplesPerPixel;
  uint32_t RowsPerStrip;
  uint32_t T4Options;
  uint32_t Predictor;
  TiffList StripOffsets, StripByteCounts, ColorMap;  // counts absent: each strip runs to the next

  // The first fault met while the entries were read (a tag refused, a count
  // or value type that cannot be used): the directory is judged with it.
  int32_t Refusal;
};

struct TiffJob;

// The codec of a compression: what the strip loop calls, in this order.
struct TiffCodec {
  // Once per image, after the header is out: buffers, and the checks of what
  // the codec reads with (predictor, fill order), failing the job.
  void (*Setup)(TiffJob *j);
  // At each strip (or tile), with the input at its first byte: its byte
  // count (0xFFFFFFFF: no limit).
  void (*StartStrip)(TiffJob *j, uint32_t bytes);
  // One row into row (Stride + 3 bytes): kTiffRowRaw for RowBytes in file
  // order, which the strip loop makes bitmap bytes; kTiffRowDone for the
  // whole padded bitmap row.
  uint32_t (*DecodeRow)(TiffJob *j, uint8_t *row);
};
enum : uint32_t { kTiffRowRaw = 0, kTiffRowDone = 1 };

// The codec of a Compression value; null for one that is not read.
const TiffCodec *TiffCodecFor(uint32_t compression);

// The reader's job record: the directory, the streams and codecs, the output.
struct TiffJob : TiffDirectory {
  ParamBlock *Block;
  JobOptions Options;
  Stream Io;       // the file in, the bitmap out
  FaxDecoder Fax;
  uint32_t Windows[3][kListWindow];  // the list windows
  bool BigEndian;
  bool RawFax;

  // The output.
  uint32_t Depth;     // bits per output pixel
  uint32_t RowBytes;  // bytes of pixel data in a row
  uint32_t Stride;    // row bytes rounded up to 4
  bool Flip;          // rows are placed from the bottom of the bitmap up
  uint32_t HeaderPosition;
  PaletteEntry Palette[256];

  // Strip decoding.
  const TiffCodec *Codec;
  uint32_t RowPixels;  // fax: the pixels the last row's codes reached (0: the page ended)
  uint8_t *Row;       // stride + 3 bytes, for rows that cannot be decoded in place
  LzwDecoder *Lzw;
  void *LzwStorage;
  uint32_t StripLeft;  // bytes of the current strip not yet read (LZW: handed to the decoder)
  bool StripDry;       // the decoder asked for more after the strip's last byte
  BatchCounter Batches;
};

constexpr uint32_t kAbsent = 0xFFFFFFFFu;

// Directory (tiff_directory.cpp): header, page selection, the tags read into
// the directory record, then judged as a whole; fails the job for what cannot
// be decoded.
void TiffReadDirectory(TiffJob *j);
// The working record of raw fax input.
void TiffRawFaxDefaults(TiffJob *j);
// Element i of a list, read from the file when it is not in memory.
uint32_t TiffListElement(TiffJob *j, TiffList *list, uint32_t i);

// Output header and colour table (tiff_reader.cpp).
void TiffWriteHeader(TiffJob *j);

// Strip decoding (tiff_strips.cpp).
void TiffDecodeStrips(TiffJob *j);

// Row helpers for n pixels.
void UndoDifferencing8(uint8_t *row, uint32_t n);
void UndoDifferencing24(uint8_t *row, uint32_t n);
void UndoDifferencing32(uint8_t *row, uint32_t n);
// Red and blue of n 24-bit pixels exchanged from src to dst (the same row, or
// rows that do not overlap).
void SwapRedBlue24(uint8_t *dst, const uint8_t *src, uint32_t n);
void SwapRedBlue32(uint8_t *row, uint32_t n);
