// PNG: the signature, the chunks up to the image data (IHDR, PLTE, tRNS,
// pHYs; text and colour chunks handed to the host as extra-data records),
// the image data inflated across its IDAT chunks line by line, and the
// chunks after it up to IEND.
//
// The zlib stream must always end whole, its check value matching, so that
// no damaged line passes for a good one. Without the extended bit it must
// end with the last line and no data may follow it in the IDAT chunks,
// which must stand together; every chunk's check value must match and IEND
// must come. With the extended bit, chunks' check values are not compared,
// lines beyond the image are decoded and dropped, and once the stream has
// ended the job succeeds whatever follows: bytes after the stream, chunks
// out of place, or the end of the file before IEND.
#include <string.h>

#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/bytes.h"
#include "formats/png/png_internal.h"
#include "formats/readers.h"
#include "output/rows.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

constexpr uint32_t ChunkCode(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 | uint8_t(d);
}
constexpr uint32_t kIHDR = ChunkCode('I', 'H', 'D', 'R'), kPLTE = ChunkCode('P', 'L', 'T', 'E'),
                   kIDAT = ChunkCode('I', 'D', 'A', 'T'), kIEND = ChunkCode('I', 'E', 'N', 'D'),
                   ktRNS = ChunkCode('t', 'R', 'N', 'S'), kpHYs = ChunkCode('p', 'H', 'Y', 's');
// Bit 5 of a type's first letter: ancillary (lower case) or critical.
constexpr uint32_t kAncillary = 0x20000000u;

// Chunks handed to the host as they stand (text, and colour information the
// reader does not apply).
bool IsReportedChunk(uint32_t type) {
  static const uint32_t kReported[] = {ChunkCode('t', 'E', 'X', 't'), ChunkCode('z', 'T', 'X', 't'),
                                       ChunkCode('i', 'T', 'X', 't'), ChunkCode('g', 'A', 'M', 'A'),
                                       ChunkCode('c', 'H', 'R', 'M'), ChunkCode('s', 'R', 'G', 'B'),
                                       ChunkCode('i', 'C', 'C', 'P'), ChunkCode('e', 'X', 'I', 'f')};
  for (uint32_t t : kReported)
    if (t == type) return true;
  return false;
}

bool IsLetter(uint32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// ---- Input -----------------------------------------------------------------------

// n bytes from the input. Once the job is lenient the end of the input
// answers false (Ended set, nothing more read); before that it fails the job.
bool Fetch(PngJob *j, uint8_t *dst, size_t n) {
  Stream *s = &j->Io;
  if (j->Ended) return false;
  while (n) {
    size_t have = static_cast<size_t>(s->Window.End - s->Window.Next);
    if (have == 0) {
      if (!j->Lenient) {
        *dst = StreamNextByte(s);
      } else if (!StreamNextByteUntilEnd(s, dst)) {
        j->Ended = true;
        return false;
      }
      ++dst, --n;
      continue;
    }
    size_t c = n < have ? n : have;
    memcpy(dst, s->Window.Next, c);
    s->Window.Next += c;
    dst += c;
    n -= c;
  }
  return true;
}

// ---- Chunks ----------------------------------------------------------------------

bool ReadChecked(PngJob *j, uint8_t *dst, uint32_t n) {
  if (!Fetch(j, dst, n)) return false;
  j->Crc = PngCrc(j->Crc, dst, n);
  j->ChunkLeft -= n;
  return true;
}

// The next chunk's length and type; its data follows.
bool BeginChunk(PngJob *j) {
  uint8_t head[8];
  if (!Fetch(j, head, 8)) return false;
  uint32_t length = Be32(head);
  bool bad = length > 0x7FFFFFFFu;
  for (int i = 4; i < 8; ++i) bad = bad || !IsLetter(head[i]);
  if (bad) {
    // Lenient, after the image: what follows is not chunks, and is let be.
    if (!j->Lenient) FailJob(j->Block, QV_ERR_PNG_CHUNK);
    j->Ended = true;
    return false;
  }
  j->ChunkLeft = length;
  j->ChunkType = Be32(head + 4);
  j->Crc = PngCrc(0xFFFFFFFFu, head + 4, 4);
  return true;
}

// The rest of the chunk's data skipped (still checked), then its CRC.
void EndChunk(PngJob *j) {
  uint8_t buffer[256];
  while (j->ChunkLeft)
    if (!ReadChecked(j, buffer, j->ChunkLeft < sizeof buffer ? j->ChunkLeft : sizeof buffer)) return;
  uint8_t crc[4];
  if (!Fetch(j, crc, 4)) return;
  // A damaged check value is tolerated with the extended bit.
  if (Be32(crc) != (j->Crc ^ 0xFFFFFFFFu) && !j->Options.Extended) FailJob(j->Block, QV_ERR_PNG_CRC);
}

// A chunk the host gets as an extra-data record: the chunk type, then its
// data as in the file. Dropped when the host offers no room.
void ReportChunk(PngJob *j) {
  ParamBlock *block = j->Block;
  uint32_t n = j->ChunkLeft;
  if (!block->ExtraBuffer || n > 0xFFFFFFFFu - 12 || !ReserveExtra(block, n + 12)) return;
  uint8_t head[12];
  PutLe32(head, QV_EXTRA_PNG_CHUNK);
  PutLe32(head + 4, n + 4);
  for (int i = 0; i < 4; ++i) head[8 + i] = static_cast<uint8_t>(j->ChunkType >> (24 - 8 * i));
  uint32_t at = block->ExtraUsed;
  memcpy(block->ExtraBuffer + at, head, 12);
  // The host may grow the buffer while the job waits for input: it is found
  // anew for every stretch.
  for (uint32_t done = 0; done < n;) {
    uint8_t piece[256];
    uint32_t c = n - done < sizeof piece ? n - done : static_cast<uint32_t>(sizeof piece);
    if (!ReadChecked(j, piece, c)) return;  // cut short: the record is left out
    if (block->ExtraCapacity < at + 12 + n) FailJob(block, QV_ERR_BAD_OPTION);
    memcpy(block->ExtraBuffer + at + 12 + done, piece, c);
    done += c;
  }
  block->ExtraUsed = at + 12 + n;
}

void ReadHeader(PngJob *j) {
  ParamBlock *block = j->Block;
  if (j->ChunkType != kIHDR || j->ChunkLeft != 13) FailJob(block, QV_ERR_PNG_HEADER);
  uint8_t h[13];
  ReadChecked(j, h, 13);
  j->Width = Be32(h);
  j->Height = Be32(h + 4);
  j->Depth = h[8];
  j->ColourType = h[9];
  uint8_t d = j->Depth;
  bool depthOk = false;
  switch (j->ColourType) {
    case 0: depthOk = d == 1 || d == 2 || d == 4 || d == 8 || d == 16; j->Channels = 1; break;
    case 3: depthOk = d == 1 || d == 2 || d == 4 || d == 8; j->Channels = 1; break;
    case 2: depthOk = d == 8 || d == 16; j->Channels = 3; break;
    case 4: depthOk = d == 8 || d == 16; j->Channels = 2; break;
    case 6: depthOk = d == 8 || d == 16; j->Channels = 4; break;
    default: break;
  }
  if (!depthOk || j->Width == 0 || j->Height == 0 || j->Width > 0x7FFFFFFFu || j->Height > 0x7FFFFFFFu ||
      h[10] != 0 || h[11] != 0 || h[12] > 1)
    FailJob(block, QV_ERR_PNG_HEADER);
  j->Interlaced = h[12] == 1;
  uint32_t bits = uint32_t{d} * j->Channels;
  j->PixelBytes = bits < 8 ? 1 : bits / 8;
  EndChunk(j);
}

// A fault in a chunk that only the extended bit forgives: the chunk is then
// skipped.
bool Refuse(PngJob *j) {
  if (!j->Options.Extended) FailJob(j->Block, QV_ERR_PNG_CHUNK);
  return false;
}

// PLTE: the palette of a palette image, a suggestion (not used) for RGB;
// grey images may not have one. At most 2^depth entries for a palette image.
void ReadPalette(PngJob *j) {
  uint32_t n = j->ChunkLeft / 3;
  if (j->ChunkLeft % 3 || n == 0 || n > 256 || j->PaletteSize || j->HaveTrns) {
    if (j->ColourType == 3) FailJob(j->Block, QV_ERR_PNG_CHUNK);
    Refuse(j);
    return;
  }
  if (j->ColourType == 0 || j->ColourType == 4) {
    Refuse(j);
    return;
  }
  uint8_t rgb[768];
  ReadChecked(j, rgb, j->ChunkLeft);
  if (j->ColourType == 3 && n > (1u << j->Depth)) {
    Refuse(j);
    n = 1u << j->Depth;  // as the peers do, the entries no index reaches are dropped
  }
  for (uint32_t i = 0; i < n; ++i) j->Palette[i] = {rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i], 0};
  j->PaletteSize = n;
}

// tRNS: alpha for the first palette entries (after PLTE, no more than it
// has), or the grey value or colour that is transparent.
void ReadTransparency(PngJob *j) {
  uint8_t v[256];
  uint32_t n = j->ChunkLeft;
  bool ok = j->ColourType == 3   ? n <= j->PaletteSize && n > 0
            : j->ColourType == 0 ? n == 2
            : j->ColourType == 2 ? n == 6
                                 : false;
  if (!ok || j->HaveTrns) {
    Refuse(j);  // ignored, as the peers ignore it
    return;
  }
  ReadChecked(j, v, n);
  j->HaveTrns = true;
  if (j->ColourType == 3) {
    for (uint32_t i = 0; i < n; ++i) j->PaletteAlpha[i] = v[i];
  } else {
    // Only the low bits of a value count at depths under 16, as the peers
    // take it.
    uint32_t mask = j->Depth == 16 ? 0xFFFF : (1u << j->Depth) - 1;
    for (uint32_t c = 0; c < n / 2; ++c) j->TrnsValue[c] = static_cast<uint16_t>((v[2 * c] << 8 | v[2 * c + 1]) & mask);
  }
}

void ReadResolution(PngJob *j) {
  if (j->ChunkLeft != 9) return;
  uint8_t v[9];
  ReadChecked(j, v, 9);
  if (v[8] != 1) return;  // a unit other than the metre: an aspect ratio only
  uint32_t x = Be32(v), y = Be32(v + 4);
  if (x <= 0x7FFFFFFFu && y <= 0x7FFFFFFFu) {
    j->Block->BitmapHeader.biXPelsPerMeter = static_cast<int32_t>(x);
    j->Block->BitmapHeader.biYPelsPerMeter = static_cast<int32_t>(y);
  }
}

// ---- The image data ---------------------------------------------------------------

// The inflater's byte source: the data of the run of IDAT chunks, chunk
// after chunk, each checked at its end. 0 once a chunk of another type
// comes (its length and type are then read: the chunk loop goes on with it)
// or, lenient, the input ends.
uint32_t ImageDataSource(void *context, uint8_t *buffer) {
  PngJob *j = static_cast<PngJob *>(context);
  while (j->ChunkLeft == 0) {
    if (j->ImageDataDone) return 0;
    EndChunk(j);
    if (!BeginChunk(j)) return 0;
    if (j->ChunkType != kIDAT) {
      j->ImageDataDone = true;
      return 0;
    }
  }
  Stream *s = &j->Io;
  uint32_t n = j->ChunkLeft < kPngInflateBuffer ? j->ChunkLeft : kPngInflateBuffer;
  uint32_t have = static_cast<uint32_t>(s->Window.End - s->Window.Next);
  if (have == 0) {
    if (!Fetch(j, buffer, 1)) return 0;
    have = 1 + static_cast<uint32_t>(s->Window.End - s->Window.Next);
    if (n > have) n = have;
    memcpy(buffer + 1, s->Window.Next, n - 1);
    s->Window.Next += n - 1;
  } else {
    if (n > have) n = have;
    memcpy(buffer, s->Window.Next, n);
    s->Window.Next += n;
  }
  j->Crc = PngCrc(j->Crc, buffer, n);
  j->ChunkLeft -= n;
  return n;
}

size_t LineBytes(const PngJob *j, uint32_t pixels) {
  return (uint64_t{pixels} * j->Depth * j->Channels + 7) / 8;
}

// The next filtered line of n bytes, with its filter type before it, read
// into cur - 1 and unfiltered (prev holds the line above, or zeros at a
// pass's first line).
void NextLine(PngJob *j, uint8_t *cur, const uint8_t *prev, size_t n) {
  InflateResult r = InflateRead(j->Inflate, cur - 1, n + 1);
  if (r.Status < 0) FailJob(j->Block, r.Status);
  if (r.Produced != n + 1) FailJob(j->Block, QV_ERR_PNG_DATA);
  if (!PngUnfilter(cur[-1], cur, prev, n, j->PixelBytes)) FailJob(j->Block, QV_ERR_PNG_FILTER);
}

// Where the two lines start (after each line's filter byte).
uint8_t *LineA(PngJob *j) { return j->Lines + 16; }
uint8_t *LineB(PngJob *j) { return j->Lines + 16 + j->LineSpan; }

void EmitRow(PngJob *j, const uint8_t *source) {
  uint8_t *row = PlacedRowBegin(&j->Rows, j->Spare, 3);
  if (row != source) memcpy(row, source, j->OutStride);
  PlacedRowEnd(&j->Rows, row);
}

void DecodeRows(PngJob *j) {
  size_t n = LineBytes(j, j->Width);
  uint8_t *prev = LineA(j), *cur = LineB(j);
  for (uint32_t y = 0; y < j->Height; ++y) {
    NextLine(j, cur, prev, n);
    uint8_t *row = PlacedRowBegin(&j->Rows, j->Spare, 3);
    PngConvertLine(j, cur, j->Width, row, 0, 1);
    PlacedRowEnd(&j->Rows, row);
    uint8_t *t = prev;
    prev = cur;
    cur = t;
  }
}

// Adam7: passes 1 to 6 fill the even rows, which are held (half the
// bitmap); pass 7 is the odd rows, whole. Rows go out top to bottom as pass
// 7 reaches them: each even row, then the odd row after it.
void DecodeInterlaced(PngJob *j) {
  static const uint8_t kX0[7] = {0, 4, 0, 2, 0, 1, 0}, kY0[7] = {0, 0, 4, 0, 2, 0, 1};
  static const uint8_t kDx[7] = {8, 8, 4, 4, 2, 2, 1}, kDy[7] = {8, 8, 8, 4, 4, 2, 2};
  const size_t stride = j->OutStride;
  uint32_t emitted = 0;  // even rows out so far
  for (int p = 0; p < 7; ++p) {
    if (j->Width <= kX0[p] || j->Height <= kY0[p]) continue;
    uint32_t pw = (j->Width - kX0[p] + kDx[p] - 1) / kDx[p];
    uint32_t ph = (j->Height - kY0[p] + kDy[p] - 1) / kDy[p];
    size_t n = LineBytes(j, pw);
    uint8_t *prev = LineA(j), *cur = LineB(j);
    memset(prev, 0, n);
    for (uint32_t y = 0; y < ph; ++y) {
      NextLine(j, cur, prev, n);
      uint32_t row = kY0[p] + y * kDy[p];
      if (p < 6) {
        PngConvertLine(j, cur, pw, j->Even + size_t{row / 2} * stride, kX0[p], kDx[p]);
      } else {
        EmitRow(j, j->Even + size_t{emitted++} * stride);
        uint8_t *out = PlacedRowBegin(&j->Rows, j->Spare, 3);
        PngConvertLine(j, cur, pw, out, 0, 1);
        PlacedRowEnd(&j->Rows, out);
      }
      uint8_t *t = prev;
      prev = cur;
      cur = t;
    }
  }
  for (uint32_t left = (j->Height + 1) / 2; emitted < left;) EmitRow(j, j->Even + size_t{emitted++} * stride);
}

// After the last row: the end of the zlib stream and of the run of IDAT
// chunks. Leaves the first chunk after them begun (or the input ended).
void EndImageData(PngJob *j) {
  ParamBlock *block = j->Block;
  const bool strict = !j->Options.Extended;
  int32_t end = InflateFinish(j->Inflate);
  if (end == InflateExcess) {
    if (strict) FailJob(block, QV_ERR_PNG_EXCESS);
    // The surplus is decoded and dropped, so that the stream's check value
    // still vouches for the lines.
    InflateResult r;
    do r = InflateRead(j->Inflate, j->Lines, 16 + 2 * j->LineSpan);
    while (r.Status == InflateMore);
    end = r.Status;
  }
  if (end < 0) FailJob(block, end);
  if (strict) {
    // Nothing but empty IDAT chunks may follow the stream.
    if (InflateUnusedInput(j->Inflate) != 0) FailJob(block, QV_ERR_PNG_EXCESS);
    while (!j->ImageDataDone) {
      if (j->ChunkLeft) FailJob(block, QV_ERR_PNG_EXCESS);
      EndChunk(j);
      BeginChunk(j);
      j->ImageDataDone = j->ChunkType != kIDAT;
    }
    return;
  }
  j->Lenient = true;
  while (!j->ImageDataDone && !j->Ended) {
    EndChunk(j);
    if (BeginChunk(j)) j->ImageDataDone = j->ChunkType != kIDAT;
  }
}

// ---- The bitmap --------------------------------------------------------------------

// What the bitmap holds: indexes with a colour table for palette and grey
// images (1-, 4- or 8-bit as the depth allows; 16-bit grey as 8), BGR for
// RGB, BGRA wherever alpha is wanted.
void ChooseOutput(PngJob *j) {
  ParamBlock *block = j->Block;
  if (j->ColourType == 3 && j->PaletteSize == 0) FailJob(block, QV_ERR_PNG_CHUNK);
  j->TableSize = 0;
  bool alpha = j->ColourType == 4 || j->ColourType == 6;
  if (j->HaveTrns && j->ColourType == 3) {
    // One fully transparent entry, every other opaque: a transparent index.
    uint32_t clear = 0, partial = 0, index = 0;
    for (uint32_t i = 0; i < j->PaletteSize; ++i) {
      if (j->PaletteAlpha[i] == 0) clear++, index = i;
      else if (j->PaletteAlpha[i] != 255) partial++;
    }
    if (partial || clear > 1) {
      alpha = true;
    } else if (clear == 1) {
      block->TransparentIndex = static_cast<uint8_t>(index);
      block->Flags |= QV_FLAG_TRANSPARENT;
    }
  } else if (j->HaveTrns && j->ColourType == 0 && j->Depth <= 8) {
    block->TransparentIndex = static_cast<uint8_t>(j->TrnsValue[0]);
    block->Flags |= QV_FLAG_TRANSPARENT;
  } else if (j->HaveTrns && (j->ColourType == 0 || j->ColourType == 2)) {
    alpha = true;
    j->TrnsToAlpha = true;
  }
  if (alpha) {
    j->OutBits = 32;
    j->OutAlpha = true;
    block->Flags |= QV_FLAG_ALPHA;
  } else if (j->ColourType == 2) {
    j->OutBits = 24;
  } else {
    uint32_t depth = j->Depth > 8 ? 8 : j->Depth;
    j->OutBits = depth == 2 ? 4 : depth;
    // Every index the depth can hold has an entry: those the palette lacks
    // are black, as the peers show them.
    j->TableSize = 1u << depth;
    if (j->ColourType == 3) {
      memcpy(j->Table, j->Palette, sizeof(PaletteEntry) * j->TableSize);
    } else {
      for (uint32_t i = 0; i < j->TableSize; ++i) {
        uint8_t v = static_cast<uint8_t>(i * 255 / (j->TableSize - 1));
        j->Table[i] = {v, v, v, 0};
      }
    }
  }
  // Rows, the bitmap and every output position must stay below 2^30, the
  // positions SeekTarget can carry.
  uint64_t rowBits = uint64_t{j->Width} * j->OutBits;
  uint64_t stride = (rowBits + 31) / 32 * 4;
  if (stride * j->Height + 40 + 4 * 256 >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
  j->OutStride = static_cast<uint32_t>(stride);
  PngPrepareConversion(j);
}

void WriteHeader(PngJob *j) {
  ParamBlock *block = j->Block;
  BitmapInfoHeader h = block->BitmapHeader;  // keeps the resolution of pHYs
  h.biSize = 40;
  h.biWidth = static_cast<int32_t>(j->Width);
  h.biHeight = static_cast<int32_t>(j->Height);
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(j->OutBits);
  h.biCompression = 0;
  h.biSizeImage = j->OutStride * j->Height;
  h.biClrUsed = h.biClrImportant = j->TableSize;
  block->BitmapHeader = h;
  StreamStartOutput(&j->Io, block);
  if (j->Options.Header) StreamPut(&j->Io, reinterpret_cast<const uint8_t *>(&h), sizeof h);
  if (j->TableSize == 0) return;
  uint32_t shown = j->TableSize < QV_PALETTE_ENTRIES ? j->TableSize : QV_PALETTE_ENTRIES;
  memcpy(block->Palette, j->Table, shown * sizeof(PaletteEntry));
  if (j->Options.Header) StreamPut(&j->Io, reinterpret_cast<const uint8_t *>(j->Table), j->TableSize * sizeof(PaletteEntry));
  if (IsGreyPalette(j->Table, shown)) block->Flags |= QV_FLAG_GREY;
}

}  // namespace

void ReadPng(ParamBlock *block, const JobOptions &options) {
  PngJob *j = NewJobRecord<PngJob>(block);
  j->Block = block;
  j->Options = options;
  block->Flags &= ~(QV_FLAG_GREY | QV_FLAG_TRANSPARENT | QV_FLAG_ALPHA | QV_FLAG_PREMULTIPLIED);
  memset(j->PaletteAlpha, 255, sizeof j->PaletteAlpha);
  StreamStartInput(&j->Io, block);
  block->SeekTarget = 0;
  j->Io.BigEndian = true;

  uint8_t signature[8];
  StreamRead(&j->Io, signature, 8);
  if (memcmp(signature, kSignature, 8) != 0) FailJob(block, QV_ERR_PNG_SIGNATURE);
  BeginChunk(j);
  ReadHeader(j);

  // Chunks up to the image data.
  for (;;) {
    BeginChunk(j);
    uint32_t t = j->ChunkType;
    if (t == kIDAT) break;
    if (t == kIEND || t == kIHDR) FailJob(block, QV_ERR_PNG_CHUNK);
    if (t == kPLTE) ReadPalette(j);
    else if (t == ktRNS) ReadTransparency(j);
    else if (t == kpHYs) ReadResolution(j);
    else if (IsReportedChunk(t)) ReportChunk(j);
    else if (!(t & kAncillary)) FailJob(block, QV_ERR_PNG_CHUNK);  // an unknown critical chunk
    EndChunk(j);
  }
  ChooseOutput(j);
  WriteHeader(j);

  // Buffers: the inflater; two lines, each with its filter byte before it
  // (at a 16-byte boundary less one) and slack after it; a spare bitmap row;
  // for Adam7 the even rows of the bitmap.
  size_t line = LineBytes(j, j->Width);
  void *storage = JobBufferOrFail(block, InflateStorageSize(kPngInflateBuffer));
  j->Inflate = InflateInit(storage, kPngInflateBuffer, InflateZlib, ImageDataSource, j);
  j->LineSpan = (line + kPngLineSlack + 16) & ~size_t{15};
  j->Lines = static_cast<uint8_t *>(JobBufferOrFail(block, 16 + 2 * j->LineSpan));
  j->Spare = static_cast<uint8_t *>(JobBufferOrFail(block, size_t{j->OutStride} + 3));
  if (j->Interlaced)
    j->Even = static_cast<uint8_t *>(JobBufferOrFail(block, size_t{j->OutStride} * ((j->Height + 1) / 2)));

  PlacedRowsStart(&j->Rows, &j->Io, options, j->Height, j->OutStride, !options.TopDown);
  if (j->Interlaced)
    DecodeInterlaced(j);
  else
    DecodeRows(j);
  PlacedRowsFinish(&j->Rows);
  EndImageData(j);

  // The chunks after the image data, up to IEND.
  while (!j->Ended) {
    uint32_t t = j->ChunkType;
    if (t == kIDAT || (!(t & kAncillary) && t != kIEND)) {
      // Image data after another chunk, or an unknown critical chunk.
      if (!j->Options.Extended) FailJob(block, QV_ERR_PNG_CHUNK);
    } else if (IsReportedChunk(t)) {
      ReportChunk(j);
    }
    EndChunk(j);
    if (t == kIEND) break;
    BeginChunk(j);
  }
  block->Status = QV_OK;
}
