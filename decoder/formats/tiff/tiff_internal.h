// The TIFF reader: one image file directory read into a working record, then
// the strips decoded into the output bitmap, all through the positioned
// streams. Raw Group 3 fax input shares the strip decoding.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "codecs/ccitt/ccitt.h"
#include "codecs/inflate/inflate.h"
#include "engine/job_options.h"
#include "codecs/lzw/lzw.h"
#include "output/placed_rows.h"
#include "output/rows.h"
#include "quorvin.h"
#include "stream/stream.h"

// Elements of a value list kept in memory at once; longer lists are read
// again from the file, a window at a time, as the strip loop reaches them.
constexpr uint32_t kListWindow = 1024;

// A value list of the directory (StripOffsets, StripByteCounts, ColorMap).
// Its elements are the values as unsigned 32-bit integers; values of the
// rational types give two elements each (numerator, denominator), and 64-bit
// integers (BigTIFF) one, 0xFFFFFFFF when it does not fit.
struct TiffList {
  bool Present;
  uint16_t Type;
  uint32_t Count;        // values
  uint32_t Elements;     // elements (Count, or 2 x Count for rationals)
  uint32_t ElementSize;  // bytes of one element in the file: 1, 2, 4 or 8
  bool Inline;           // the elements lie in the entry's value field
  uint8_t Field[8];      // the value field as it stands in the file (4 bytes, 8 in BigTIFF)
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
  TiffList JpegTables;  // the tables every JPEG strip or tile shares (extended decoding)

  // Read with the extended bit only (the classic reader refuses these tags).
  bool Big;                    // BigTIFF: version 43, 8-byte offsets and counts
  uint32_t BitsFirst[8];       // the first values of BitsPerSample
  uint32_t Planar;             // PlanarConfiguration
  bool Tiled;                  // TileWidth and TileLength; the strip lists hold the tiles
  uint32_t TileWidth, TileLength;
  bool HaveExtraSamples;
  uint32_t ExtraFirst;         // ExtraSamples: the meaning of the first extra sample

  // The first fault met while the entries were read (a tag refused, a count
  // or value type that cannot be used): the directory is judged with it.
  int32_t Refusal;
};

struct TiffJob;
struct JpegDecoder;

// The codec of a compression: what the strip loop calls, in this order.
// A coded row is InWidth pixels, InRowBytes bytes: the image's rows, or a
// tile's rows, or one plane's.
struct TiffCodec {
  // Once per image, after the header is out: buffers, and the checks of what
  // the codec reads with (predictor, fill order), failing the job.
  void (*Setup)(TiffJob *j);
  // At each strip (or tile), with the input at its first byte: its byte
  // count (0xFFFFFFFF: no limit).
  void (*StartStrip)(TiffJob *j, uint32_t bytes);
  // One row into row (InStride + 3 bytes): kTiffRowRaw for InRowBytes in
  // file order, which the strip loop makes bitmap bytes; kTiffRowDone for the
  // whole padded bitmap row (a codec answers that only when the rows need no
  // conversion: RowsDirect; the fax rows are both).
  uint32_t (*DecodeRow)(TiffJob *j, uint8_t *row);
};
enum : uint32_t { kTiffRowRaw = 0, kTiffRowDone = 1 };

// The current strip's next bytes where they lie in the input window, at
// most StripLeft of them; 0 (and StripDry set) once the strip's byte count is
// used up.
uint32_t TiffStripView(void *job, const uint8_t **bytes);

// The codec of a Compression value; null for one that is not read.
const TiffCodec *TiffCodecFor(uint32_t compression);
// JPEG (Compression 7; extended decoding), through libjpeg (tiff_jpeg.cpp).
extern const TiffCodec kTiffJpeg;

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
  uint32_t TableSize;    // entries of the colour table put out (0: none)
  uint32_t PaletteSize;  // entries of Palette built (also behind 32-bit rows with alpha)
  PaletteEntry Palette[256];

  // The samples (set by the directory's judgement).
  uint32_t Channels;   // colour samples per pixel: 1 (grey, palette), 3 (RGB), 4 (CMYK)
  uint32_t Alpha;      // the sample after the colours: kNoAlpha, kAssociated, kUnassociated
  uint32_t Planes;     // sample planes: 1, or SamplesPerPixel with PlanarConfiguration 2
  uint32_t Output;     // what a pixel becomes (TiffOutput)
  bool RowsDirect;     // rows decode straight into bitmap rows (the classic layouts)

  // Strip decoding.
  const TiffCodec *Codec;
  uint32_t InWidth;     // pixels of a coded row
  uint32_t InRowBytes;  // bytes of a coded row
  uint32_t InStride;    // coded row bytes rounded up to 4
  uint32_t InSamples;   // samples per pixel of a coded row (1 for a plane)
  uint32_t RowPixels;  // fax: the pixels the last row's codes reached (0: the page ended)
  uint8_t *Row;       // stride + 3 bytes, for rows that cannot be decoded in place
  uint8_t *Coded;     // extended: InStride + 3 bytes, a coded row before conversion
  LzwDecoder *Lzw;
  void *LzwStorage;
  InflateDecoder *Inflate;
  void *InflateStorage;
  JpegDecoder *Jpeg;
  uint8_t *JpegRow;     // a decoded row wider than the coded row
  uint32_t JpegRowSize;  // its bytes
  bool Ycbcr;         // JPEG data of YCbCr colour: libjpeg gives RGB
  uint32_t StripLeft;  // bytes of the current strip not yet read (LZW: handed to the decoder)
  bool StripDry;       // the decoder asked for more after the strip's last byte
  BatchCounter Batches;  // raw fax rows

  // The rows, placed bottom-up unless top-down is asked; kept here so that a
  // failure caught inside the row loop leaves it where it stood (damaged
  // files).
  PlacedRows Rows;
  uint8_t Background;   // the byte of a filled row: 0, or white bilevel pixels

  // Tiles and separate planes: one row of blocks (tiles, or strips of each
  // plane) decoded ahead of its rows.
  uint32_t BlockWidth, BlockHeight;  // pixels of a tile; a strip is Width x RowsPerStrip
  uint32_t BlocksAcross, BlocksDown;
  uint32_t BlockRowBytes;   // bytes of one coded row of a block
  uint32_t PlaneRowBytes;   // BlocksAcross x BlockRowBytes: one row of a plane
  uint8_t *Blocks;          // Planes x BlockHeight x PlaneRowBytes
  uint32_t BlockRowLoaded;  // rows of blocks decoded (the next is BlockRowLoaded)

  // Fax rows of a damaged file (extended): the last good row, the row
  // start to go back to, rows lost in the current strip.
  uint8_t *FaxPrevious;
  bool FaxHavePrevious;
  bool FaxLost;         // the strip's data could not be found again: later rows are damage
};

enum : uint32_t { kNoAlpha = 0, kAssociated = 1, kUnassociated = 2 };
// What the rows become: the classic layouts (1, 4, 8-bit indices, 24-bit
// BGR, 32-bit BGRx or CMYK, 16-bit RGB as stored), or indices of 4 or 8
// bits taken from other depths, BGR, BGRA, CMYK from samples of any depth.
enum TiffOutput : uint32_t { kOutIndex = 0, kOutBgr, kOutBgra, kOutCmyk, kOutAsStored };

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

// The samples of an extended directory judged (tiff_layout.cpp): output
// depth, colour table, conversion, block geometry; fails for what cannot be
// decoded.
void TiffJudgeExtended(TiffJob *j);

// Strip decoding (tiff_strips.cpp).
void TiffDecodeStrips(TiffJob *j);
// The block rows of tiles and separate planes (tiff_blocks.cpp): the rows of
// blocks are decoded as the rows reach them; one row of the image from them.
void TiffBlocksSetup(TiffJob *j);
void TiffBlockRow(TiffJob *j, uint32_t r, uint8_t *out);
// Offset and byte count of block (or strip) i, the count from the next
// offset when the file gives none.
void TiffBlockAt(TiffJob *j, uint32_t i, uint32_t *offset, uint32_t *bytes);

// Sample conversion (tiff_samples.cpp): predictor 2 on a coded row of n
// pixels of `samples` samples of Bits bits, and a pixel row made from the
// coded rows of the planes (one for contiguous samples).
bool TiffPredictorUsable(const TiffJob *j);
void TiffUndoPredictor(const TiffJob *j, uint8_t *row, uint32_t n, uint32_t samples);
void TiffConvertRow(const TiffJob *j, const uint8_t *const *planes, uint8_t *out);

// Row helpers for n pixels.
void UndoDifferencing8(uint8_t *row, uint32_t n);
void UndoDifferencing24(uint8_t *row, uint32_t n);
void UndoDifferencing32(uint8_t *row, uint32_t n);
// Red and blue of n 24-bit pixels exchanged from src to dst (the same row, or
// rows that do not overlap).
void SwapRedBlue24(uint8_t *dst, const uint8_t *src, uint32_t n);
void SwapRedBlue32(uint8_t *row, uint32_t n);
