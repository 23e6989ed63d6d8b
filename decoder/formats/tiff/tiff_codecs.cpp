// The codecs of TIFF strips: uncompressed, PackBits, LZW and the fax codings,
// each behind the same four steps (set-up, start of a strip, a row, and the
// checks of what it can read), so that the strip loop knows none of them.
#include <string.h>

#include "codecs/ccitt/ccitt.h"
#include "engine/engine.h"
#include "formats/tiff/tiff_internal.h"

namespace {

constexpr uint32_t kLzwBuffer = 4096;
FaxCoding FaxCodingOf(const TiffJob *j) {
  if (j->Compression == 2) return FaxCoding::Mh;
  if (j->Compression == 4) return FaxCoding::G4;
  return (j->T4Options & 1) ? FaxCoding::G3TwoD : FaxCoding::G3;
}

// The LZW decoder's byte source: the current strip's bytes, as many as the
// input window holds (up to the buffer size), waiting for input only when it
// holds none. 0 once the strip's byte count is used up.
uint32_t TiffStripSource(void *context, uint8_t *buffer) {
  TiffJob *j = static_cast<TiffJob *>(context);
  if (j->StripLeft == 0) {
    j->StripDry = true;
    return 0;
  }
  Stream *s = &j->Io;
  uint32_t n = j->StripLeft < kLzwBuffer ? j->StripLeft : kLzwBuffer;
  uint32_t have = static_cast<uint32_t>(s->Window.End - s->Window.Next);
  if (have == 0) {
    buffer[0] = StreamNextByte(&j->Io);
    have = 1 + static_cast<uint32_t>(s->Window.End - s->Window.Next);
    if (n > have) n = have;
    memcpy(buffer + 1, s->Window.Next, n - 1);
    s->Window.Next += n - 1;
  } else {
    if (n > have) n = have;
    memcpy(buffer, s->Window.Next, n);
    s->Window.Next += n;
  }
  j->StripLeft -= n;
  return n;
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
  uint32_t done = 0, want = j->RowBytes;
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

// Codecs without a predictor or another fill order.
void SetupPlain(TiffJob *j) {
  if (j->Predictor != 1) FailJob(j->Block, QV_ERR_TIFF_PREDICTOR);
  if (j->FillOrder != 1) FailJob(j->Block, QV_ERR_TIFF_FILL_ORDER);
}

uint32_t UncompressedRow(TiffJob *j, uint8_t *row) {
  TakeStripBytes(j, j->RowBytes);
  if (j->Photometric == 2 && j->Depth == 24) {
    ReadSwappedRow(j, row);
    memset(row + j->RowBytes, 0, j->Stride - j->RowBytes);
    return kTiffRowDone;
  }
  StreamRead(&j->Io, row, j->RowBytes);
  return kTiffRowRaw;
}

uint32_t PackBitsRow(TiffJob *j, uint8_t *row) {
  UnpackBitsRow(j, row);
  return kTiffRowRaw;
}

void SetupLzw(TiffJob *j) {
  // Memory short here is -1007, as at the job's start.
  j->LzwStorage = JobBufferOrFail(j->Block, LzwStorageSize(12, kLzwBuffer), QV_ERR_NO_MEMORY);
  bool ok = j->Predictor == 1 || (j->Predictor == 2 && (j->Depth == 8 || j->Depth == 24 || j->Depth == 32));
  if (!ok) FailJob(j->Block, QV_ERR_TIFF_PREDICTOR);
}

void StartLzwStrip(TiffJob *j, uint32_t bytes) {
  j->StripLeft = bytes;
  j->StripDry = false;
  j->Lzw = LzwInit(j->LzwStorage, 9, 12, 256, 257, LzwEarlyChange | LzwMsbFirst, TiffStripSource, j);
  if (!j->Lzw) FailJob(j->Block, QV_ERR_LZW);
}

uint32_t LzwRow(TiffJob *j, uint8_t *row) {
  if (!LzwReadBytes(j->Lzw, row, j->RowBytes))
    FailJob(j->Block, j->StripDry ? QV_ERR_TIFF_STRIP_ENDED : QV_ERR_LZW);
  return kTiffRowRaw;
}

void SetupFax(TiffJob *j) {
  if (j->Predictor != 1) FailJob(j->Block, QV_ERR_TIFF_PREDICTOR);
  FaxSetup(&j->Fax, &j->Io, j->Width, j->FillOrder == 2);
}

void StartFaxStrip(TiffJob *j, uint32_t bytes) { FaxStartStrip(&j->Fax, bytes); }

// The row's bits, straight into the zeroed bitmap row.
uint32_t FaxRow(TiffJob *j, uint8_t *row) {
  memset(row, 0, j->Stride);
  uint32_t pixels;
  if (int32_t status = FaxDecodeRow(&j->Fax, FaxCodingOf(j), row, j->Width, &pixels)) FailJob(j->Block, status);
  j->RowPixels = pixels;
  return kTiffRowDone;
}

const TiffCodec kUncompressed = {SetupPlain, StartCountedStrip, UncompressedRow};
const TiffCodec kPackBits = {SetupPlain, StartCountedStrip, PackBitsRow};
const TiffCodec kLzw = {SetupLzw, StartLzwStrip, LzwRow};
const TiffCodec kFax = {SetupFax, StartFaxStrip, FaxRow};

}  // namespace

const TiffCodec *TiffCodecFor(uint32_t compression) {
  switch (compression) {
    case 1: return &kUncompressed;
    case 32773: return &kPackBits;
    case 5: return &kLzw;
    case 2:
    case 3:
    case 4: return &kFax;
    default: return nullptr;
  }
}
