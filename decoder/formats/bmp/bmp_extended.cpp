// The BMP reader with QV_FLAG_EXTENDED: what the classic reader refuses or
// stops at.
//
// - Bit fields (compression 3) and alpha bit fields (6) with 16- and 32-bit
//   pixels: masks after a 40-byte header or inside a 52-, 56-, 108- or
//   124-byte one. Each mask must be one run of set bits (or none); a field of
//   n bits becomes 8 bits as floor(v x 255 / (2^n - 1)), the rule of the
//   classic 16-bit path (and of Pillow's readers for 555 and 565).
// - Alpha: a mask for it (a 56-byte header or larger, or alpha bit fields)
//   whose bits are set in at least one pixel makes the bitmap 32-bit blue,
//   green, red, alpha with QV_FLAG_ALPHA. Finding out reads the pixel data
//   ahead (it stops at the first pixel with alpha) and then goes back by an
//   input seek; alpha that is zero throughout leaves a 24-bit bitmap.
// - Run-length rows as the common decoders take them (DecodeRleTolerant).
// - The colour profile of a 124-byte header as an extra-data record.
// - Files that end early: the rows from the first one the file does not hold
//   whole are filled with index 0 (black, and transparent with alpha) and the
//   image is reported partial. A file that ends before its pixel data (in the
//   headers or the colour table) still fails with -1013.
#include <string.h>

#include "bmp_internal.h"
#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/readers.h"
#include "output/stream_rows.h"
#include "stream/stream.h"

namespace {

constexpr uint32_t kTailBytes = 84;  // a 124-byte header's bytes beyond the 40
constexpr uint32_t kProfileEmbedded = 0x4D424544;  // "MBED"
constexpr uint32_t kProfileLinked = 0x4C494E4B;    // "LINK"

struct BmpChannel {
  uint32_t Mask, Shift, Bits;
};

struct BmpExtendedJob {
  Stream *Io;           // the file in, the bitmap out (on the reader's frame); its Block the job's
  BitmapInfoHeader Info;
  BmpLayout L;
  uint32_t Width;
  uint64_t HeaderEnd;   // file position after the information header and masks
  uint64_t DataStart;   // file position of the pixel data
  uint8_t *FileStart;   // whole input: where the file begins in the queue
  uint64_t FileSize;
  uint8_t Tail[kTailBytes];
  BmpChannel Channels[4];  // blue, green, red, alpha
  uint8_t Scale[4][256];   // fields of up to 8 bits
  bool Fields;             // pixels through the masks
  bool Alpha;
  bool Coded;              // run-length rows ("BMPR")
  uint32_t EntryBytes;     // 4, or 3 for OS/2
  uint8_t *Source;         // one input row of the converted paths
  uint32_t SourceBytes;
  uint8_t *Row;            // one output row
  int32_t Partial;         // 1: Row holds the row in progress; 2: Source does
  StreamRows Rows;
};

uint8_t *Buffer(ParamBlock *block, size_t size) {
  return static_cast<uint8_t *>(JobBufferOrFail(block, size));
}

// A mask as a channel; false when its set bits are not one run.
bool SetChannel(BmpChannel *c, uint32_t mask) {
  *c = BmpChannel{mask, 0, 0};
  if (!mask) return true;
  uint32_t shift = static_cast<uint32_t>(__builtin_ctz(mask));
  uint64_t run = static_cast<uint64_t>(mask >> shift) + 1;
  if (run & (run - 1)) return false;
  c->Shift = shift;
  c->Bits = static_cast<uint32_t>(__builtin_popcount(mask));
  return true;
}

inline uint8_t ScaleField(const BmpExtendedJob *j, int c, uint32_t v) {
  const BmpChannel &ch = j->Channels[c];
  uint32_t x = (v & ch.Mask) >> ch.Shift;
  if (ch.Bits <= 8) return j->Scale[c][x];
  uint64_t top = (uint64_t{1} << ch.Bits) - 1;
  return static_cast<uint8_t>(x * 255ull / top);
}

// One input row through the masks into 24- or 32-bit output pixels.
void ConvertFields(const BmpExtendedJob *j, const uint8_t *in, uint8_t *out) {
  const bool wide = j->L.SourceBits == 32, alpha = j->Alpha;
  for (uint32_t x = 0; x < j->Width; ++x) {
    uint32_t v = wide ? Le32(in) : Le16(in);
    in += wide ? 4 : 2;
    out[0] = ScaleField(j, 0, v);
    out[1] = ScaleField(j, 1, v);
    out[2] = ScaleField(j, 2, v);
    if (alpha) {
      out[3] = ScaleField(j, 3, v);
      out += 4;
    } else {
      out += 3;
    }
  }
}

void ConvertSourceRow(const BmpExtendedJob *j) {
  if (j->Fields)
    ConvertFields(j, j->Source, j->Row);
  else if (j->L.SourceBits == 16)
    ConvertRow16(j->Source, j->Row, j->Width);
  else
    ConvertRow32(j->Source, j->Row, j->Width);
}

// The masks: red, green, blue (and alpha) from the header's tail or from the
// bytes after a 40-byte header; false when one is not a run of bits.
bool TakeMasks(BmpExtendedJob *j, const uint8_t *m, bool withAlpha) {
  bool ok = SetChannel(&j->Channels[2], Le32(m)) && SetChannel(&j->Channels[1], Le32(m + 4)) &&
            SetChannel(&j->Channels[0], Le32(m + 8)) &&
            SetChannel(&j->Channels[3], withAlpha ? Le32(m + 12) : 0);
  if (!ok) return false;
  for (int c = 0; c < 4; ++c) {
    uint32_t bits = j->Channels[c].Bits;
    if (bits > 8) continue;
    uint32_t top = (1u << bits) - 1;
    for (uint32_t v = 0; v < 256; ++v)
      j->Scale[c][v] = top ? static_cast<uint8_t>(v > top ? 0 : v * 255 / top) : 0;
  }
  return true;
}

// Whether any pixel has alpha bits set: the pixel data read ahead, stopping
// at the first such pixel or where the file ends.
void ScanForAlpha(void *argument) {
  BmpExtendedJob *j = static_cast<BmpExtendedJob *>(argument);
  uint64_t skip = j->DataStart - j->HeaderEnd;
  while (skip) {
    size_t n = skip > 0x40000000u ? 0x40000000u : static_cast<size_t>(skip);
    StreamSkip(j->Io, n);
    skip -= n;
  }
  const bool wide = j->L.SourceBits == 32;
  const uint32_t mask = j->Channels[3].Mask;
  for (uint32_t r = 0; r < j->L.Rows; ++r) {
    StreamRead(j->Io, j->Source, j->SourceBytes);
    const uint8_t *p = j->Source;
    for (uint32_t x = 0; x < j->Width; ++x, p += wide ? 4 : 2)
      if ((wide ? Le32(p) : Le16(p)) & mask) {
        j->Alpha = true;
        return;
      }
  }
}

// The profile's place and size when the header names one.
bool ProfilePlace(const BmpExtendedJob *j, uint64_t *position, uint32_t *size) {
  if (j->L.Extra < kTailBytes) return false;
  uint32_t type = Le32(j->Tail + 16);
  if (type != kProfileEmbedded && type != kProfileLinked) return false;
  *position = 14 + static_cast<uint64_t>(Le32(j->Tail + 72));
  *size = Le32(j->Tail + 76);
  return *size > 0 && *size <= 0xFFFFFFFFu - 8;
}

void AppendProfile(Stream *io, uint32_t size) {
  if (ReserveExtra(io->Block, size + 8))
    StreamReadExtraRecord(io, size, QV_EXTRA_BMP_PROFILE);
  else
    StreamSkip(io, size);
}

void SkipLong(Stream *io, uint64_t n) {
  while (n) {
    size_t c = n > 0x40000000u ? 0x40000000u : static_cast<size_t>(n);
    StreamSkip(io, c);
    n -= c;
  }
}

// A profile placed after the pixel data, reached by an input seek once the
// rows are out; one the file does not hold is passed over.
void ProfileAfterPixels(void *argument) {
  BmpExtendedJob *j = static_cast<BmpExtendedJob *>(argument);
  uint64_t position;
  uint32_t size;
  if (!ProfilePlace(j, &position, &size) || position < j->DataStart || position >= kSeekPositionLimit)
    return;
  if (j->FileStart && position + size > j->FileSize) return;
  StreamMoveInput(j->Io, static_cast<uint32_t>(position));
  AppendProfile(j->Io, size);
}

// From the end of the colour table: the gap up to the pixel data (with the
// profile when it lies there), then the rows.
void DecodeRows(void *argument) {
  BmpExtendedJob *j = static_cast<BmpExtendedJob *>(argument);
  ParamBlock *block = j->Io->Block;
  Stream *io = j->Io;
  uint64_t at = j->HeaderEnd + static_cast<uint64_t>(j->L.Entries) * j->EntryBytes;
  uint64_t position;
  uint32_t size;
  if (block->ExtraBuffer && ProfilePlace(j, &position, &size) && position >= at &&
      position + size <= j->DataStart) {
    SkipLong(io, position - at);
    AppendProfile(io, size);
    at = position + size;
  }
  if (j->DataStart > at) SkipLong(io, j->DataStart - at);

  StreamRows *d = &j->Rows;
  const uint32_t rows = j->L.Rows;
  if (j->Coded) {
    j->Partial = 1;
    DecodeRleTolerant(io, d, j->Row, j->Width, rows, j->L.Compression != 1);
    j->Partial = 0;
    return;
  }
  if (!j->Source) {  // rows as stored
    j->Partial = 1;
    for (uint32_t r = 0; r < rows; ++r) StreamRowsWholeFromInput(d, j->Row, j->L.Stride);
    j->Partial = 0;
    return;
  }
  for (uint32_t r = 0; r < rows; ++r) {
    memset(j->Source, 0, j->SourceBytes);
    j->Partial = 2;
    StreamRead(io, j->Source, j->SourceBytes);
    ConvertSourceRow(j);
    j->Partial = 1;
    StreamRowsDeliver(d, j->Row);
  }
  j->Partial = 0;
}

}  // namespace

void ReadBmpExtended(ParamBlock *block, const JobOptions &options) {
  uint32_t type = options.ImageType;
  if (type != kTypeWindows && type != kTypeRle && type != kTypeOs2) FailJob(block, QV_ERR_BMP_TYPE);
  BmpExtendedJob *j = NewJobRecord<BmpExtendedJob>(block);
  // The stream on this frame: the job record keeps its size, and with it
  // the job's memory.
  Stream stream{};
  Stream *io = &stream;
  j->Io = io;
  StreamStartConsuming(io, block);
  if (options.WholeInput) {
    j->FileStart = stream.FileStart;
    j->FileSize = stream.FileSize;
  }

  uint8_t raw[14];
  StreamRead(io, raw, sizeof raw);
  BmpFileHeader file{Le16(raw), Le32(raw + 2), Le32(raw + 10)};
  if (file.Type != kBmpSignature) FailJob(block, QV_ERR_BAD_HEADER);
  const bool os2 = type == kTypeOs2;
  BitmapInfoHeader &info = j->Info;
  BmpLayout &l = j->L;
  if (os2)
    ReadOs2Header(io, &info, &l);
  else
    ReadWindowsHeader(io, file, &info, &l, true);
  if (info.biWidth <= 0 || info.biHeight == 0 || info.biHeight == INT32_MIN)
    FailJob(block, QV_ERR_BAD_HEADER);
  l.Rows = static_cast<uint32_t>(info.biHeight < 0 ? -info.biHeight : info.biHeight);
  j->Width = static_cast<uint32_t>(info.biWidth);
  const uint32_t infoSize = os2 ? kOs2InfoSize : kWindowsInfoSize;

  // The header's bytes beyond the standard ones: the first 84 kept for the
  // masks and the profile, all of them offered as the classic record.
  uint32_t tail = l.Extra < kTailBytes ? l.Extra : kTailBytes;
  StreamRead(io, j->Tail, tail);
  if (l.Extra > 0 && block->ExtraBuffer && l.Extra <= 0xFFFFFFFFu - 8 && ReserveExtra(block, l.Extra + 8)) {
    uint32_t head[2] = {kBmpExtraKind, l.Extra};
    AppendExtraBytes(block, head, 8);
    AppendExtraBytes(block, j->Tail, tail);
    uint32_t rest = l.Extra - tail;
    StreamRead(io, block->ExtraBuffer + block->ExtraUsed, rest);
    block->ExtraUsed += rest;
  } else if (l.Extra > tail) {
    StreamSkip(io, l.Extra - tail);
  }
  j->HeaderEnd = 14 + static_cast<uint64_t>(infoSize) + l.Extra;

  // Masks: inside a header of 52 bytes or more (alpha from 56 on), else
  // right after the 40 bytes.
  uint32_t maskBytes = 0;
  if (l.Compression == kBmpBitFields || l.Compression == kBmpAlphaBitFields) {
    bool alphaField = l.Compression == kBmpAlphaBitFields;
    uint8_t m[16] = {};
    if (l.Extra >= 12) {
      memcpy(m, j->Tail, l.Extra >= 16 ? 16 : 12);
      alphaField = l.Extra >= 16;
    } else {
      maskBytes = alphaField ? 16 : 12;
      StreamRead(io, m, maskBytes);
    }
    if (!TakeMasks(j, m, alphaField)) FailJob(block, QV_ERR_BAD_HEADER);
    j->Fields = true;
    j->HeaderEnd += maskBytes;
    l.Entries = ColourTableCount(file, infoSize + l.Extra + maskBytes, info);
  }
  j->EntryBytes = os2 ? 3 : 4;
  j->Coded = type == kTypeRle;
  uint64_t afterTable = j->HeaderEnd + static_cast<uint64_t>(l.Entries) * j->EntryBytes;
  j->DataStart = file.DataOffset > afterTable ? file.DataOffset : afterTable;

  // Input rows of the converted paths, padded to 4 bytes.
  const bool converted = type != kTypeRle && (l.SourceBits == 16 || l.SourceBits == 32);
  if (converted) {
    uint64_t inBytes = ((static_cast<uint64_t>(l.SourceBits / 8) * j->Width + 3) / 4) * 4;
    if (inBytes > 0x7FFFFFFFu) FailJob(block, QV_ERR_BAD_HEADER);
    j->SourceBytes = static_cast<uint32_t>(inBytes);
    j->Source = Buffer(block, j->SourceBytes);
  }
  if (converted && j->Channels[3].Mask && j->HeaderEnd < kSeekPositionLimit) {
    int32_t status = CatchFailure(block, ScanForAlpha, j);
    if (status && status != QV_ERR_INPUT_ENDED) FailJob(block, status);
    StreamMoveInput(io, static_cast<uint32_t>(j->HeaderEnd));
  }
  if (j->Alpha) info.biBitCount = 32;
  if (!ComputeStride(info.biBitCount, info.biWidth, &l.Stride) ||
      !ComputeImageSize(l.Stride, info.biHeight, &info.biSizeImage))
    FailJob(block, QV_ERR_BAD_HEADER);
  block->BitmapHeader = info;
  if (options.Header)
    StreamPut(io, reinterpret_cast<const uint8_t *>(&block->BitmapHeader), kWindowsInfoSize);
  uint64_t h = options.Header ? kWindowsInfoSize + 4 * static_cast<uint64_t>(l.Entries) : 0;
  StreamRowsStart(&j->Rows, io, options, l.Stride, l.Rows,
                  h > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(h), options.TopDown);
  ReadBmpColourTable(io, l.Entries, os2, options.Header);

  size_t rowBytes = l.Stride;
  if (type == kTypeRle) {
    // 4-bit runs fill (width + 1) / 2 bytes whatever the depth; 5 spare bytes as classic.
    size_t nibbleBytes = (static_cast<size_t>(j->Width) + 1) / 2;
    rowBytes = (rowBytes > nibbleBytes ? rowBytes : nibbleBytes) + 5;
  }
  j->Row = Buffer(block, rowBytes);

  int32_t status = CatchFailure(block, DecodeRows, j);
  StreamLagFront(io, false);
  if (status) {
    if (!IsDataFailure(status)) FailJob(block, status);
    uint32_t damaged = 0;
    if (j->Partial && j->Rows.Delivered < l.Rows) {
      if (j->Partial == 2) ConvertSourceRow(j);
      StreamRowsDeliver(&j->Rows, j->Row);
      damaged = 1;
    }
    memset(j->Row, 0, l.Stride);
    damaged += StreamRowsFillRemaining(&j->Rows, j->Row);
    ReportDamagedRows(block, damaged);
  }
  StreamRowsFinish(&j->Rows);
  if (j->Alpha) block->Flags |= QV_FLAG_ALPHA;
  if (!status && block->ExtraBuffer) {
    int32_t late = CatchFailure(block, ProfileAfterPixels, j);
    if (late && late != QV_ERR_INPUT_ENDED) FailJob(block, late);
  }
  StreamEndConsuming(io);
  block->Status = QV_OK;
}
