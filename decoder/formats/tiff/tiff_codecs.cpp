// The codecs of TIFF strips: uncompressed, PackBits, LZW, the fax codings and
// (extended decoding) Deflate and JPEG (tiff_jpeg.cpp), each behind the same four steps (set-up, start
// of a strip, a row, and the checks of what it can read), so that the strip
// loop knows none of them.
#include <string.h>

#include "codecs/ccitt/ccitt.h"
#include "codecs/inflate/inflate.h"
#include "engine/engine.h"
#include "formats/tiff/tiff_internal.h"

// The LZW, Deflate and JPEG decoders' source: the current strip's bytes where they
// lie in the input window (nothing is copied), as many as the window holds,
// waiting for input only when it holds none; they stay unchanged until the
// stream next reads or waits for input, which it does only when a decoder
// asks again. 0 once the strip's byte count is used up.
uint32_t TiffStripView(void *context, const uint8_t **bytes) {
  TiffJob *j = static_cast<TiffJob *>(context);
  if (j->StripLeft == 0) {
    j->StripDry = true;
    return 0;
  }
  size_t n = StreamTake(&j->Io, j->StripLeft, bytes);
  if (n == 0) StreamNextByte(&j->Io);  // the file has ended: fails as any byte fetch there does
  j->StripLeft -= static_cast<uint32_t>(n);
  return static_cast<uint32_t>(n);
}

namespace {

constexpr uint32_t kPairsFrom = 64 * 1024;  // compressed strip bytes
FaxCoding FaxCodingOf(const TiffJob *j) {
  if (j->Compression == 2) return FaxCoding::Mh;
  if (j->Compression == 4) return FaxCoding::G4;
  return (j->T4Options & 1) ? FaxCoding::G3TwoD : FaxCoding::G3;
}

// PackBits: literal runs (0..127: copy c + 1 bytes) and replicate runs
// (-127..-1: one byte 1 - c times); -128 is no operation. A packet that runs
// past the row end is cut there and its excess input dropped.
//
// The strip's byte count (StripLeft) ends its data: a packet that it cuts
// short, or a row it leaves unfilled, fails with -7103.
void UnpackBitsRow(TiffJob *j, uint8_t *row) {
  ParamBlock *block = j->Block;
  Stream *s = &j->Io;
  uint32_t done = 0, want = j->InRowBytes;
  while (done < want) {
    // Packets that lie whole in the input window (and in the strip) are
    // read straight from it.
    const uint8_t *p = s->Window.Next, *end = s->Window.End;
    if (static_cast<size_t>(end - p) > j->StripLeft) end = p + j->StripLeft;
    // Runs are written 16 bytes at a time where the row has room past
    // their end (later packets overwrite the excess) and literal runs read
    // from the window the same way: short runs do not pay a call's set-up.
    while (done < want && end - p >= 129) {  // a packet is at most 129 bytes
      int8_t c = static_cast<int8_t>(*p++);
      if (c >= 0) {
        uint32_t k = uint32_t(c) + 1, take = want - done < k ? want - done : k;
        uint32_t wide = (k + 15) & ~15u;
        if (wide <= want - done && wide <= static_cast<uint32_t>(end - p)) {
          for (uint32_t i = 0; i < wide; i += 16) memcpy(row + done + i, p + i, 16);
        } else {
          memcpy(row + done, p, take);
        }
        p += k;
        done += take;
      } else if (c != -128) {
        uint32_t k = uint32_t(1 - c), take = want - done < k ? want - done : k;
        uint32_t wide = (k + 15) & ~15u;
        if (wide <= want - done) {
          uint8_t pattern[16];
          memset(pattern, *p++, 16);
          for (uint32_t i = 0; i < wide; i += 16) memcpy(row + done + i, pattern, 16);
        } else {
          memset(row + done, *p++, take);
        }
        done += take;
      }
    }
    j->StripLeft -= static_cast<uint32_t>(p - s->Window.Next);
    s->Window.Next = p;
    if (done >= want) break;
    // One packet across the end of the window.
    if (j->StripLeft == 0) FailJob(block, QV_ERR_TIFF_STRIP_ENDED);
    int8_t c = static_cast<int8_t>(StreamByte(s));
    --j->StripLeft;
    if (c == -128) continue;
    uint32_t k = c >= 0 ? uint32_t(c) + 1 : uint32_t(1 - c);
    uint32_t take = want - done < k ? want - done : k;
    uint32_t data = c >= 0 ? k : 1;  // the packet's bytes after its count
    if (j->StripLeft < data) FailJob(block, QV_ERR_TIFF_STRIP_ENDED);
    j->StripLeft -= data;
    if (c >= 0) {
      StreamRead(&j->Io, row + done, take);
      if (k > take) StreamSkip(&j->Io, k - take);
    } else {
      memset(row + done, StreamByte(s), take);
    }
    done += take;
  }
}

// Uncompressed rows take their bytes from the strip's count.
void TakeStripBytes(TiffJob *j, uint32_t n) {
  if (j->StripLeft < n) FailJob(j->Block, QV_ERR_TIFF_STRIP_ENDED);
  j->StripLeft -= n;
}

// An uncompressed RGB row: red and blue are exchanged on the way from the
// input window to the row when the window holds the whole row.
void ReadSwappedRow(TiffJob *j, uint8_t *row) {
  Stream *s = &j->Io;
  if (static_cast<size_t>(s->Window.End - s->Window.Next) >= j->RowBytes) {
    SwapRedBlue24(row, s->Window.Next, j->Width);
    s->Window.Next += j->RowBytes;
  } else {
    StreamRead(&j->Io, row, j->RowBytes);
    SwapRedBlue24(row, row, j->Width);
  }
}

// ---- The codecs -----------------------------------------------------------

// Rows that keep the file's byte count as their end: uncompressed and
// PackBits (0, a count the writer left out, sets no limit).
void StartCountedStrip(TiffJob *j, uint32_t bytes) { j->StripLeft = bytes ? bytes : 0xFFFFFFFFu; }

// FillOrder 2 (extended decoding): the strips' bytes are bit-reversed before
// they are decoded, as libtiff does for every coding but the fax ones
// (FillOrder 1 and 2 alone have a meaning).
void ReverseFillOrder(TiffJob *j) {
  if (j->FillOrder == 1) return;
  if (j->FillOrder != 2) FailJob(j->Block, QV_ERR_TIFF_FILL_ORDER);
  StreamReverseInput(&j->Io, static_cast<uint8_t *>(JobBufferOrFail(j->Block, kReversalBufferSize)));
}

// Codecs without a predictor or another fill order. Extended decoding reads
// the other fill order, and ignores the predictor, which only the
// compressing codings apply (as libtiff).
void SetupPlain(TiffJob *j) {
  if (j->Options.Extended) {
    j->Predictor = 1;
    return ReverseFillOrder(j);
  }
  if (j->Predictor != 1) FailJob(j->Block, QV_ERR_TIFF_PREDICTOR);
  if (j->FillOrder != 1) FailJob(j->Block, QV_ERR_TIFF_FILL_ORDER);
}

uint32_t UncompressedRow(TiffJob *j, uint8_t *row) {
  TakeStripBytes(j, j->InRowBytes);
  if (j->RowsDirect && j->Photometric == 2 && j->Depth == 24) {
    ReadSwappedRow(j, row);
    memset(row + j->RowBytes, 0, j->Stride - j->RowBytes);
    return kTiffRowDone;
  }
  StreamRead(&j->Io, row, j->InRowBytes);
  return kTiffRowRaw;
}

uint32_t PackBitsRow(TiffJob *j, uint8_t *row) {
  UnpackBitsRow(j, row);
  return kTiffRowRaw;
}

void SetupLzw(TiffJob *j) {
  // Memory short here is -1007, as at the job's start.
  j->LzwStorage = JobBufferOrFail(j->Block, LzwStorageSize(12, 0), QV_ERR_NO_MEMORY);
  bool ok = j->Options.Extended ? TiffPredictorUsable(j)
                                : j->Predictor == 1 || (j->Predictor == 2 && (j->Depth == 8 || j->Depth == 24 || j->Depth == 32));
  if (!ok) FailJob(j->Block, QV_ERR_TIFF_PREDICTOR);
  if (j->Options.Extended) ReverseFillOrder(j);
}

// Old-style LZW (before TIFF 6: codes packed least significant bit first,
// widened one code later) is told as libtiff tells it: a strip whose first
// byte is 0 and whose second has its low bit set (a clear code, 256, written
// that way). Extended decoding only.
bool OldStyleLzw(TiffJob *j, uint32_t bytes) {
  if (!j->Options.Extended || bytes < 2) return false;
  Stream *s = &j->Io;
  uint8_t first[2];
  if (s->Window.End - s->Window.Next >= 2) {
    first[0] = s->Window.Next[0];
    first[1] = s->Window.Next[1];
  } else {
    uint32_t at = StreamInputPosition(s);
    first[0] = StreamByte(s);
    first[1] = StreamByte(s);
    StreamSeek(s, at);
  }
  return first[0] == 0 && (first[1] & 1);
}

void StartLzwStrip(TiffJob *j, uint32_t bytes) {
  j->StripLeft = bytes;
  j->StripDry = false;
  uint8_t flags = OldStyleLzw(j, bytes) ? 0 : LzwEarlyChange | LzwMsbFirst;
  j->Lzw = LzwInit(j->LzwStorage, 9, 12, 256, 257, flags, nullptr, nullptr);
  if (!j->Lzw) FailJob(j->Block, QV_ERR_LZW);
  LzwUseView(j->Lzw, TiffStripView, j);
}

uint32_t LzwRow(TiffJob *j, uint8_t *row) {
  if (!LzwReadBytes(j->Lzw, row, j->InRowBytes))
    FailJob(j->Block, j->StripDry ? QV_ERR_TIFF_STRIP_ENDED : QV_ERR_LZW);
  return kTiffRowRaw;
}

// Deflate (Compression 8, and 32946, its older number; extended decoding):
// each strip or tile a zlib stream. Its rows are read as libtiff reads
// them, without waiting for the stream's end: its check value is never
// computed.
void SetupDeflate(TiffJob *j) {
  j->InflateStorage = JobBufferOrFail(j->Block, InflateStorageSize(1), QV_ERR_NO_MEMORY);
  if (!TiffPredictorUsable(j)) FailJob(j->Block, QV_ERR_TIFF_PREDICTOR);
  ReverseFillOrder(j);
}
void StartDeflateStrip(TiffJob *j, uint32_t bytes) {
  j->StripLeft = bytes;
  j->StripDry = false;
  // Strips are often small (libtiff writes 8 KiB of rows to a strip): the
  // decoding tables' literal pairs pay for themselves only on long ones.
  uint8_t flags = InflateZlib | InflateNoCheck | (bytes != 0xFFFFFFFFu && bytes < kPairsFrom ? InflateNoPairs : 0);
  j->Inflate = InflateInit(j->InflateStorage, 1, flags, nullptr, nullptr);
  InflateUseView(j->Inflate, TiffStripView, j);
}
uint32_t DeflateRow(TiffJob *j, uint8_t *row) {
  InflateResult r = InflateRead(j->Inflate, row, j->InRowBytes);
  if (r.Produced < j->InRowBytes)
    FailJob(j->Block, r.Status < 0 && !j->StripDry ? r.Status : QV_ERR_TIFF_STRIP_ENDED);
  return kTiffRowRaw;
}
void SetupFax(TiffJob *j) {
  if (j->Options.Extended) {
    j->Predictor = 1;  // bilevel rows have nothing to predict (libtiff ignores it too)
    j->FaxPrevious = static_cast<uint8_t *>(JobBufferOrFail(j->Block, size_t{j->InStride} + 3));
  }
  if (j->Predictor != 1) FailJob(j->Block, QV_ERR_TIFF_PREDICTOR);
  FaxSetup(&j->Fax, &j->Io, j->InWidth, j->FillOrder == 2);
}

void StartFaxStrip(TiffJob *j, uint32_t bytes) {
  j->FaxLost = false;
  FaxStartStrip(&j->Fax, bytes);
}

// ---- Fax rows of damaged data (extended decoding) ----------------------------

// The faults of the coded data a row can be replaced for.
bool FaxDataFault(int32_t status) { return status <= QV_ERR_FAX_HORIZONTAL && status >= QV_ERR_FAX_CHANGES; }

// A white row: the background's pixels, the bits past the width clear.
void WhiteFaxRow(const TiffJob *j, uint8_t *row) {
  uint32_t width = j->InWidth;
  memset(row, 0, j->InStride);
  if (j->Background == 0) return;
  memset(row, j->Background, width / 8);
  if (width & 7) row[width / 8] = static_cast<uint8_t>(0xFF00u >> (width & 7));
}

void CountDamagedRow(TiffJob *j) {
  ++j->Block->DamagedRows;
  j->Block->Flags |= QV_FLAG_PARTIAL;
}

struct ResyncCall {
  TiffJob *j;
  const FaxMark *mark;
  uint8_t *scratch;
  bool found;
};
void ResyncCaught(void *argument) {
  ResyncCall *c = static_cast<ResyncCall *>(argument);
  TiffJob *j = c->j;
  c->found = FaxResync(&j->Fax, FaxCodingOf(j), c->mark, c->scratch, j->InWidth);
}

// A row that failed to decode: the previous row stands in for it (white
// for the first), and the data is taken up again where the next row starts
// (FaxResync). Where it cannot be found the strip's later rows are lost:
// white, and counted, or for raw fax the end of the page. Returns the row's
// pixels.
uint32_t ReplaceFaxRow(TiffJob *j, uint8_t *row, const FaxMark *mark) {
  ParamBlock *block = j->Block;
  CountDamagedRow(j);
  // The scratch row for the replay of a modified Huffman row: the row
  // itself, replaced afterwards.
  ResyncCall call{j, mark, row, false};
  int32_t status = CatchFailure(block, ResyncCaught, &call);
  if (status && !FaxDataFault(status)) FailJob(block, status);
  if (j->FaxHavePrevious)
    memcpy(row, j->FaxPrevious, j->InStride);
  else
    WhiteFaxRow(j, row);
  if (!call.found) j->FaxLost = true;
  else if (FaxCodingOf(j) == FaxCoding::G3TwoD) FaxSetReference(&j->Fax, row, j->InWidth);
  return j->InWidth;
}

// The row's bits, straight into the zeroed bitmap row. With the extended
// bit a row whose codes fail is replaced (ReplaceFaxRow).
uint32_t FaxRow(TiffJob *j, uint8_t *row) {
  memset(row, 0, j->InStride);
  bool extended = j->Options.Extended;
  if (extended && j->FaxLost) {
    if (j->RawFax) {
      j->RowPixels = 0;  // the page ends where its data was lost
    } else {
      WhiteFaxRow(j, row);
      CountDamagedRow(j);
    }
    return kTiffRowDone;
  }
  FaxMark mark;
  if (extended) FaxMarkRow(&j->Fax, &mark);
  uint32_t pixels;
  if (int32_t status = FaxDecodeRow(&j->Fax, FaxCodingOf(j), row, j->InWidth, &pixels)) {
    // Raw fax learns its width from its first row: one must decode.
    if (!extended || !FaxDataFault(status) || (j->RawFax && !j->FaxHavePrevious)) FailJob(j->Block, status);
    pixels = ReplaceFaxRow(j, row, &mark);
  } else if (extended) {
    memcpy(j->FaxPrevious, row, j->InStride);
    j->FaxHavePrevious = true;
  }
  j->RowPixels = pixels;
  return kTiffRowDone;
}

const TiffCodec kUncompressed = {SetupPlain, StartCountedStrip, UncompressedRow};
const TiffCodec kPackBits = {SetupPlain, StartCountedStrip, PackBitsRow};
const TiffCodec kLzw = {SetupLzw, StartLzwStrip, LzwRow};
const TiffCodec kFax = {SetupFax, StartFaxStrip, FaxRow};
const TiffCodec kDeflate = {SetupDeflate, StartDeflateStrip, DeflateRow};

}  // namespace

const TiffCodec *TiffCodecFor(uint32_t compression) {
  switch (compression) {
    case 1: return &kUncompressed;
    case 32773: return &kPackBits;
    case 5: return &kLzw;
    case 2:
    case 3:
    case 4: return &kFax;
    case 7: return &kTiffJpeg;
    case 8:
    case 32946: return &kDeflate;
    default: return nullptr;
  }
}
