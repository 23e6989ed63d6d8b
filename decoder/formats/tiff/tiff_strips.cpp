// TIFF strip decoding: each row decompressed (straight into the output queue
// when it fits there), predicted, red and blue exchanged, and placed in the
// bitmap, bottom row first when the image must be flipped.
#include <string.h>

#include "engine/cpu.h"
#include "engine/engine.h"
#include "formats/tiff/tiff_internal.h"

namespace {

constexpr uint32_t kRawFaxWidth = 32768;  // working width until the first row is known

// 16-bit pixels of a big-endian file into the bitmap's little-endian order.
void SwapPairs(uint8_t *row, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t t = row[2 * i];
    row[2 * i] = row[2 * i + 1];
    row[2 * i + 1] = t;
  }
}

// One row into row (Stride + 3 bytes) in a classic layout: the codec's
// bytes, then what the bitmap needs of them: the predictor undone, red and
// blue exchanged, 16-bit pixels in its byte order, the padding zeroed.
void DecodeRow(TiffJob *j, uint8_t *row) {
  if (j->Codec->DecodeRow(j, row) == kTiffRowDone) return;
  if (j->Predictor == 2) {
    if (j->Depth == 8) UndoDifferencing8(row, j->Width);
    else if (j->Depth == 24) UndoDifferencing24(row, j->Width);
    else UndoDifferencing32(row, j->Width);
  }
  // TIFF stores red first, the bitmap blue first; CMYK rows stay, and
  // 16-bit pixels take the bitmap's byte order.
  if (j->Photometric == 2) {
    if (j->Depth == 24) SwapRedBlue24(row, row, j->Width);
    else if (j->Depth == 32) SwapRedBlue32(row, j->Width);
    else if (j->Depth == 16 && j->BigEndian) SwapPairs(row, j->Width);
  }
  memset(row + j->RowBytes, 0, j->Stride - j->RowBytes);
}

void Setup(TiffJob *j) {
  j->Row = static_cast<uint8_t *>(JobBufferOrFail(j->Block, size_t{j->Stride} + 3));
  if (j->RowsDirect) {
    // Coded rows are bitmap rows.
    j->InWidth = j->Width;
    j->InRowBytes = j->RowBytes;
    j->InStride = j->Stride;
    j->InSamples = j->SamplesPerPixel;
  }
  // Rows filled for a damaged file are white where the image is bilevel.
  j->Background = j->Depth == 1 && j->Photometric == 1 ? 0xFF : 0;
  if (!j->RowsDirect) {
    if (j->Tiled || j->Planes > 1) TiffBlocksSetup(j);
    j->Coded = static_cast<uint8_t *>(JobBufferOrFail(j->Block, size_t{j->InStride} + 3));
  }
  j->Codec = TiffCodecFor(j->Compression);
  j->Codec->Setup(j);
}

// Rows-ready after a batch of raw fax rows (in page order: always complete).
void EndOfBatch(TiffJob *j) {
  if (BatchRow(&j->Batches)) StreamYieldRows(&j->Io, true);
}

// The byte count of a strip when the file gives none: up to the next strip
// (the strips of a file lie one after another), the last one without a limit.
uint32_t StripEnd(TiffJob *j, uint32_t strip, uint32_t offset) {
  if (strip + 1 >= j->StripOffsets.Count) return 0xFFFFFFFFu;
  uint32_t next = TiffListElement(j, &j->StripOffsets, strip + 1);
  return next > offset ? next - offset : 0xFFFFFFFFu;
}

// The strip of row r starts: its byte count (given, or up to the next strip)
// and the input at its first byte.
void StartStripOf(TiffJob *j, uint32_t r) {
  uint32_t strip = r / j->RowsPerStrip;
  bool counted = j->StripByteCounts.Present;
  if (strip >= j->StripOffsets.Count || (counted && strip >= j->StripByteCounts.Count))
    FailJob(j->Block, QV_ERR_TIFF_STRIP_COUNT);
  uint32_t offset, bytes;
  TiffBlockAt(j, strip, &offset, &bytes);
  StreamSeek(&j->Io, offset);
  j->Codec->StartStrip(j, bytes);
}

// Row r of the image into row (Stride + 3 bytes): decoded straight, or from
// a coded row converted, or from the decoded blocks.
void ProduceRow(TiffJob *j, uint32_t r, uint8_t *row) {
  if (j->Blocks) return TiffBlockRow(j, r, row);
  if (j->RowsDirect) return DecodeRow(j, row);
  j->Codec->DecodeRow(j, j->Coded);
  if (j->Predictor == 2) TiffUndoPredictor(j, j->Coded, j->InWidth, j->InSamples);
  const uint8_t *planes[1] = {j->Coded};
  TiffConvertRow(j, planes, row);
}

// A row the file could not give: the background (zero bytes: index 0, black,
// transparent; white for bilevel images).
void FillRow(TiffJob *j, uint8_t *row) {
  memset(row, 0, j->Stride);
  if (j->Background == 0) return;
  memset(row, j->Background, j->Width / 8);
  if (j->Width & 7) row[j->Width / 8] = static_cast<uint8_t>(0xFF00u >> (j->Width & 7));
}

// The rows from the next one on, each decoded where it is placed (in the
// output queue when it fits there, with 3 bytes of slack); with fill set
// they are background, read from nothing. A row whose decoding failed is
// filled in the place it had.
void PutRows(TiffJob *j, bool fill) {
  PlacedRows *rows = &j->Rows;
  while (rows->Next < j->Height) {
    uint32_t r = rows->Next;
    if (!fill && !j->Blocks && r % j->RowsPerStrip == 0) StartStripOf(j, r);
    uint8_t *row = PlacedRowBegin(rows, j->Row, 3);
    if (fill)
      FillRow(j, row);
    else
      ProduceRow(j, r, row);
    PlacedRowEnd(rows, row);
  }
}

void PutDecodedRows(void *job) { PutRows(static_cast<TiffJob *>(job), false); }

// What a damaged file may end with, the rest of the image filled: the input
// ended, a strip's data ended, was corrupt, or was missing. The host's
// faults (aborts, stalls, a queue taken away) and memory stay failures.
bool DamageStatus(int32_t s) {
  return s == QV_ERR_INPUT_ENDED || s == QV_ERR_TIFF_STRIP_ENDED || s == QV_ERR_LZW ||
         s == QV_ERR_TIFF_STRIP_COUNT || (s <= QV_ERR_FAX_HORIZONTAL && s >= QV_ERR_FAX_CHANGES) ||
         (s < QV_ERR_JPEG_LIBRARY && s >= QV_ERR_JPEG_LIBRARY_LAST) || s == QV_ERR_JPEG_SIGNATURE;
}

void DecodeTiffStrips(TiffJob *j) {
  ParamBlock *block = j->Block;
  PlacedRowsStart(&j->Rows, &j->Io, j->Options, j->Height, j->Stride, j->Flip);
  if (j->Options.Extended) {
    // A file that ends early or holds damaged data gives the rows it has;
    // the rest of the bitmap is filled and the job completes partial.
    int32_t status = CatchFailure(block, PutDecodedRows, j);
    if (status && !DamageStatus(status)) FailJob(block, status);
    if (status) {
      block->DamagedRows += j->Height - j->Rows.Next;
      block->Flags |= QV_FLAG_PARTIAL;
      PutRows(j, true);
    }
  } else {
    PutRows(j, false);
  }
  PlacedRowsFinish(&j->Rows);
}

// Raw Group 3: rows in page order until the end of the page; the first row
// gives the width, the end of the page the height.
void DecodeRawFax(TiffJob *j) {
  ParamBlock *block = j->Block;
  BatchStart(&j->Batches, j->Options);
  j->Codec->StartStrip(j, 0xFFFFFFFFu);
  uint32_t rows = 0;
  for (;;) {
    uint8_t *row = StreamDecodeTarget(&j->Io, size_t{j->Stride} + 3, j->Row);
    j->Codec->DecodeRow(j, row);
    uint32_t pixels = j->RowPixels;
    if (pixels == 0) break;
    if (rows == 0) {
      // Later rows are decoded at the page's width.
      j->Width = j->InWidth = pixels;
      j->RowBytes = j->InRowBytes = (pixels + 7) / 8;
      j->Stride = j->InStride = (pixels + 31) / 32 * 4;
      block->BitmapHeader.biWidth = static_cast<int32_t>(pixels);
    }
    StreamPut(&j->Io, row, j->Stride);
    ++rows;
    EndOfBatch(j);
  }
  if (rows == 0) FailJob(block, QV_ERR_FAX_EMPTY_PAGE);
  block->Progress = 100;
  j->Height = rows;
  // Rows leave in page order, top row first: a bottom-up bitmap says so with
  // a negative height.
  BitmapInfoHeader &h = block->BitmapHeader;
  h.biHeight = j->Options.TopDown ? static_cast<int32_t>(rows) : -static_cast<int32_t>(rows);
  h.biSizeImage = rows * j->Stride;
  if (j->Options.Header) {
    BitmapInfoHeader copy = h;
    StreamRewriteAt(&j->Io, reinterpret_cast<const uint8_t *>(&copy), sizeof copy, j->HeaderPosition);
  }
}

}  // namespace

void TiffBlockAt(TiffJob *j, uint32_t i, uint32_t *offset, uint32_t *bytes) {
  *offset = TiffListElement(j, &j->StripOffsets, i);
  // Extended decoding says so when a strip lies beyond what a seek reaches.
  if (j->Options.Extended && *offset >= kSeekPositionLimit) FailJob(j->Block, QV_ERR_TIFF_FAR);
  *bytes = j->StripByteCounts.Present ? TiffListElement(j, &j->StripByteCounts, i) : StripEnd(j, i, *offset);
}

void TiffDecodeStrips(TiffJob *j) {
  if (j->RawFax) {
    j->Width = kRawFaxWidth;
    j->RowBytes = j->Stride = kRawFaxWidth / 8;
  }
  Setup(j);
  if (j->RawFax)
    DecodeRawFax(j);
  else
    DecodeTiffStrips(j);
  StreamCommit(&j->Io);
}

// Horizontal differencing undone with the running sums in registers: the
// chain from one pixel to the next is an addition, not a store and a load.
void UndoDifferencing8(uint8_t *row, uint32_t n) {
  if (n == 0) return;
  uint8_t a = row[0];
  for (uint32_t i = 1; i < n; ++i) {
    a = static_cast<uint8_t>(a + row[i]);
    row[i] = a;
  }
}

#if QV_X86_VARIANTS
#include <tmmintrin.h>
namespace {
// The previous pixel's three bytes repeated over 48 bytes, from bytes 13-15
// of a vector: Carry[v] fills vector v of a 16-pixel block.
struct CarryMasks {
  alignas(16) uint8_t Carry[3][16];
};
constexpr CarryMasks MakeCarryMasks() {
  CarryMasks m{};
  for (int i = 0; i < 48; ++i) m.Carry[i / 16][i % 16] = static_cast<uint8_t>(13 + i % 3);
  return m;
}
constexpr CarryMasks kCarryMasks = MakeCarryMasks();

// 16 pixels (48 bytes) per step: each byte gains the bytes 3, 6, 12 and 24
// places before it (together every earlier byte of its colour in the step),
// then the last pixel of the step before. Returns the pixels done.
__attribute__((target("ssse3"))) uint32_t UndoDifferencing24Ssse3(uint8_t *row, uint32_t n) {
  const __m128i m0 = _mm_load_si128(reinterpret_cast<const __m128i *>(kCarryMasks.Carry[0]));
  const __m128i m1 = _mm_load_si128(reinterpret_cast<const __m128i *>(kCarryMasks.Carry[1]));
  const __m128i m2 = _mm_load_si128(reinterpret_cast<const __m128i *>(kCarryMasks.Carry[2]));
  __m128i last = _mm_setzero_si128();  // the previous step's third vector
  uint32_t done = 0;
  for (; n - done >= 16; done += 16, row += 48) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 32));
#define QV_SHIFT_ADD(k)                                                  \
  c = _mm_add_epi8(c, _mm_alignr_epi8(c, b, 16 - (k)));                  \
  b = _mm_add_epi8(b, _mm_alignr_epi8(b, a, 16 - (k)));                  \
  a = _mm_add_epi8(a, _mm_slli_si128(a, k));
    QV_SHIFT_ADD(3)
    QV_SHIFT_ADD(6)
    QV_SHIFT_ADD(12)
#undef QV_SHIFT_ADD
    c = _mm_add_epi8(c, _mm_alignr_epi8(b, a, 8));
    b = _mm_add_epi8(b, _mm_slli_si128(a, 8));
    a = _mm_add_epi8(a, _mm_shuffle_epi8(last, m0));
    b = _mm_add_epi8(b, _mm_shuffle_epi8(last, m1));
    c = _mm_add_epi8(c, _mm_shuffle_epi8(last, m2));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(row), a);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(row + 16), b);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(row + 32), c);
    last = c;
  }
  return done;
}
}  // namespace
#endif

void UndoDifferencing24(uint8_t *row, uint32_t n) {
  uint32_t done = 0;
#if QV_X86_VARIANTS
  if (n >= 16 && QV_CPU_HAS("ssse3")) done = UndoDifferencing24Ssse3(row, n);
#endif
  if (n == 0) return;
  uint32_t i = done ? done : 1;
  uint8_t r = row[3 * i - 3], g = row[3 * i - 2], b = row[3 * i - 1];
  for (; i < n; ++i) {
    uint8_t *p = row + 3 * i;
    r = static_cast<uint8_t>(r + p[0]);
    g = static_cast<uint8_t>(g + p[1]);
    b = static_cast<uint8_t>(b + p[2]);
    p[0] = r;
    p[1] = g;
    p[2] = b;
  }
}

void UndoDifferencing32(uint8_t *row, uint32_t n) {
  if (n == 0) return;
  // Four byte sums in one word, no carry crossing from byte to byte.
  uint32_t a;
  memcpy(&a, row, 4);
  for (uint32_t i = 1; i < n; ++i) {
    uint32_t w;
    memcpy(&w, row + 4 * i, 4);
    a = ((a & 0x7F7F7F7Fu) + (w & 0x7F7F7F7Fu)) ^ ((a ^ w) & 0x80808080u);
    memcpy(row + 4 * i, &a, 4);
  }
}

#if QV_X86_VARIANTS
namespace {
// Byte shuffles for 16 pixels (48 bytes, three vectors): output vector o
// takes from input vector v the bytes Mask[o][v] names (0x80: none). Output
// byte i is byte 3 * (i / 3) + 2 - i % 3 of the input.
struct SwapMasks {
  alignas(16) uint8_t Mask[3][3][16];
};
constexpr SwapMasks MakeSwapMasks() {
  SwapMasks m{};
  for (int i = 0; i < 48; ++i) {
    int from = 3 * (i / 3) + 2 - i % 3;
    for (int v = 0; v < 3; ++v)
      m.Mask[i / 16][v][i % 16] = static_cast<uint8_t>(from / 16 == v ? from % 16 : 0x80);
  }
  return m;
}
constexpr SwapMasks kSwapMasks = MakeSwapMasks();

// Every load of a step comes before its stores and no step reads what an
// earlier one wrote, so source and destination may be the same row, and no
// load waits on a store it half overlaps. Returns the pixels done.
__attribute__((target("ssse3"))) uint32_t SwapRedBlue24Ssse3(uint8_t *dst, const uint8_t *src, uint32_t n) {
  auto mask = [](int o, int v) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(kSwapMasks.Mask[o][v]));
  };
  const __m128i m00 = mask(0, 0), m01 = mask(0, 1), m10 = mask(1, 0), m11 = mask(1, 1),
                m12 = mask(1, 2), m21 = mask(2, 1), m22 = mask(2, 2);
  uint32_t done = 0;
  for (; n - done >= 16; done += 16, src += 48, dst += 48) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 32));
    __m128i o0 = _mm_or_si128(_mm_shuffle_epi8(a, m00), _mm_shuffle_epi8(b, m01));
    __m128i o1 = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, m10), _mm_shuffle_epi8(b, m11)),
                              _mm_shuffle_epi8(c, m12));
    __m128i o2 = _mm_or_si128(_mm_shuffle_epi8(b, m21), _mm_shuffle_epi8(c, m22));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), o0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16), o1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 32), o2);
  }
  return done;
}

// Into a distinct row: four pixels per 16-byte load, shuffle and store,
// 12 bytes apart. Each store's last 4 bytes (the next pixel's bytes, as
// read) are overwritten by the following store, so the rows need 4 bytes
// past the pixels done, which the loop's bound leaves. One shuffle per 4
// pixels instead of seven per 16. Returns the pixels done.
__attribute__((target("ssse3"))) uint32_t CopySwapRedBlue24Ssse3(uint8_t *dst, const uint8_t *src,
                                                                 uint32_t n) {
  alignas(16) static constexpr uint8_t kMask[16] = {2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15};
  const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i *>(kMask));
  uint32_t done = 0;
  for (; n - done >= 18; done += 16, src += 48, dst += 48) {
    for (int k = 0; k < 48; k += 12) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + k));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + k), _mm_shuffle_epi8(v, m));
    }
  }
  return done;
}
}  // namespace
#endif

void SwapRedBlue24(uint8_t *dst, const uint8_t *src, uint32_t n) {
#if QV_X86_VARIANTS
  if (n >= 16 && QV_CPU_HAS("ssse3")) {
    uintptr_t d = reinterpret_cast<uintptr_t>(dst), s = reinterpret_cast<uintptr_t>(src);
    bool apart = (s > d ? s - d : d - s) >= 3 * size_t{n};
    uint32_t done = apart ? CopySwapRedBlue24Ssse3(dst, src, n) : 0;
    src += 3 * done;
    dst += 3 * done;
    n -= done;
    done = SwapRedBlue24Ssse3(dst, src, n);
    src += 3 * done;
    dst += 3 * done;
    n -= done;
  }
#endif
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Four pixels (three 32-bit words) at a time: R0 G0 B0 R1 | G1 B1 R2 G2 |
  // B2 R3 G3 B3 become B0 G0 R0 B1 | G1 R1 B2 G2 | R2 B3 G3 R3.
  for (; n >= 4; n -= 4, src += 12, dst += 12) {
    uint32_t w0, w1, w2;
    memcpy(&w0, src, 4);
    memcpy(&w1, src + 4, 4);
    memcpy(&w2, src + 8, 4);
    uint32_t o0 = (w0 >> 16 & 0xFF) | (w0 & 0xFF00) | (w0 & 0xFF) << 16 | (w1 & 0xFF00) << 16;
    uint32_t o1 = (w1 & 0xFF) | (w0 >> 24) << 8 | (w2 & 0xFF) << 16 | (w1 & 0xFF000000u);
    uint32_t o2 = (w1 >> 16 & 0xFF) | (w2 >> 24) << 8 | (w2 & 0xFF0000) | (w2 & 0xFF00) << 16;
    memcpy(dst, &o0, 4);
    memcpy(dst + 4, &o1, 4);
    memcpy(dst + 8, &o2, 4);
  }
#endif
  for (uint32_t i = 0; i < n; ++i, src += 3, dst += 3) {
    uint8_t r = src[0], g = src[1], b = src[2];
    dst[0] = b;
    dst[1] = g;
    dst[2] = r;
  }
}

void SwapRedBlue32(uint8_t *row, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i, row += 4) {
    uint32_t w;
    memcpy(&w, row, 4);
    w = (w & 0xFF00FF00u) | (w >> 16 & 0xFF) | (w & 0xFF) << 16;
    memcpy(row, &w, 4);
  }
}
