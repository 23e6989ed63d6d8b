// TIFF header, page selection and the tags of one image file directory.
// With the extended bit the reader also takes BigTIFF (version 43: 8-byte
// offsets and counts, 20-byte entries, 64-bit field types) and the tags of
// tiles, separate planes and extra samples.
#include <string.h>

#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/bytes.h"
#include "formats/tiff/tiff_internal.h"
#include "output/rows.h"

namespace {

// Bytes of one value by field type 0 to 10; types from 11 on are refused by
// the classic reader. Extended decoding also sizes FLOAT, DOUBLE, IFD and
// BigTIFF's LONG8, SLONG8 and IFD8 (types 11 to 13 and 16 to 18).
constexpr uint8_t kTypeSize[19] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
constexpr uint32_t kTypeLimit = 11;

constexpr uint32_t kEntrySize = 12;
constexpr uint32_t kBigEntrySize = 20;

// Bytes of one value of a type, 0 for a type the reader does not size.
uint32_t TypeSize(const TiffJob *j, uint32_t type) {
  if (type < kTypeLimit) return kTypeSize[type];
  if (!j->Options.Extended || type >= sizeof kTypeSize) return 0;
  return kTypeSize[type];
}
bool KnownType(const TiffJob *j, uint32_t type) { return type < kTypeLimit || TypeSize(j, type) != 0; }

uint16_t Swap16(const TiffJob *j, uint16_t v) {
  return j->BigEndian ? static_cast<uint16_t>(v >> 8 | v << 8) : v;
}
uint32_t Swap32(const TiffJob *j, uint32_t v) {
  return j->BigEndian ? (v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000) | v << 24) : v;
}
uint16_t Get16(const TiffJob *j, const uint8_t *p) { return j->BigEndian ? Be16(p) : Le16(p); }
uint32_t Get32(const TiffJob *j, const uint8_t *p) { return j->BigEndian ? Be32(p) : Le32(p); }
uint64_t Get64(const TiffJob *j, const uint8_t *p) {
  uint64_t hi = Get32(j, j->BigEndian ? p : p + 4), lo = Get32(j, j->BigEndian ? p + 4 : p);
  return hi << 32 | lo;
}
// An offset in a value field: 4 bytes, 8 in BigTIFF.
uint64_t GetOffset(const TiffJob *j, const uint8_t *p) { return j->Big ? Get64(j, p) : Get32(j, p); }

uint16_t Read16(TiffJob *j) { return Swap16(j, StreamWord(&j->Io)); }
uint32_t Read32(TiffJob *j) { return Swap32(j, StreamLong(&j->Io)); }
uint64_t Read64(TiffJob *j) {
  uint64_t a = Read32(j), b = Read32(j);
  return j->BigEndian ? (a << 32 | b) : (b << 32 | a);
}
uint64_t ReadOffset(TiffJob *j) { return j->Big ? Read64(j) : Read32(j); }

// A file position computed from directory values: it must be one SeekTarget
// can carry (extended decoding says so with its own status).
uint32_t Position(TiffJob *j, uint64_t position) {
  if (position >= kSeekPositionLimit)
    FailJob(j->Block, j->Options.Extended ? QV_ERR_TIFF_FAR : QV_ERR_BAD_HEADER);
  return static_cast<uint32_t>(position);
}

struct Entry {
  uint16_t Tag, Type;
  uint64_t Count;        // 32 bits but in BigTIFF
  const uint8_t *Field;  // the value field: 4 bytes, 8 in BigTIFF
};

Entry EntryAt(const TiffJob *j, const uint8_t *p) {
  if (j->Big) return {Get16(j, p), Get16(j, p + 2), Get64(j, p + 4), p + 12};
  return {Get16(j, p), Get16(j, p + 2), Get32(j, p + 4), p + 8};
}

// The one value of a scalar tag, from the value field.
uint32_t TiffScalarValue(TiffJob *j, const Entry &e) {
  uint32_t size = KnownType(j, e.Type) ? TypeSize(j, e.Type) : 0;
  switch (size) {
    case 1: return e.Field[0];
    case 2: return Get16(j, e.Field);
    case 4: return Get32(j, e.Field);
    case 8:
      // A BigTIFF integer that fits 32 bits (the classic reader refuses
      // every 8-byte scalar).
      if (j->Options.Extended && e.Type >= 16) {
        uint64_t v = Get64(j, e.Field);
        if (v <= 0xFFFFFFFFu) return static_cast<uint32_t>(v);
      }
      FailJob(j->Block, QV_ERR_TIFF_VALUE_TYPE);
    default: FailJob(j->Block, QV_ERR_TIFF_VALUE_TYPE);  // type 0, 8-byte types, 11 and above
  }
}

// The byte size of an entry's values; sizes that do not fit 32 bits are refused.
uint32_t DataSize(TiffJob *j, const Entry &e, int32_t badType) {
  if (!KnownType(j, e.Type)) FailJob(j->Block, badType);
  if (e.Count > 0xFFFFFFFFu) FailJob(j->Block, QV_ERR_TIFF_VALUE_TYPE);
  uint64_t size = e.Count * TypeSize(j, e.Type);
  if (size > 0xFFFFFFFFu - 14) FailJob(j->Block, QV_ERR_TIFF_VALUE_TYPE);
  return static_cast<uint32_t>(size);
}

// Describe the entry's values as a list; nothing is read yet.
void TiffArrayValue(TiffJob *j, const Entry &e, TiffList *list) {
  // Type 0 has no values to read, however many it counts.
  if (e.Type == 0) FailJob(j->Block, QV_ERR_TIFF_VALUE_TYPE);
  uint32_t size = DataSize(j, e, QV_ERR_TIFF_VALUE_TYPE);
  uint32_t typeSize = TypeSize(j, e.Type);
  // 8-byte values: two 4-byte elements (the rationals, and DOUBLE alike),
  // or one 64-bit integer.
  bool wide = typeSize == 8 && e.Type >= 16;
  list->Present = true;
  list->Type = e.Type;
  list->Count = static_cast<uint32_t>(e.Count);
  list->ElementSize = wide ? 8 : typeSize == 8 ? 4 : typeSize;
  list->Elements = typeSize == 8 && !wide ? 2 * list->Count : list->Count;
  list->Inline = size <= (j->Big ? 8u : 4u);
  memcpy(list->Field, e.Field, j->Big ? 8 : 4);
  list->Offset = list->Inline ? 0 : GetOffset(j, e.Field);
  list->First = list->Held = 0;
}

// Elements first .. first + n - 1 of a list into out (file positions must
// be reachable; n > 0).
void ReadElements(TiffJob *j, const TiffList *list, uint32_t first, uint32_t n, uint32_t *out) {
  uint32_t size = list->ElementSize;
  auto saturate = [](uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v); };
  if (list->Inline) {
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t *p = list->Field + (first + i) * size;
      out[i] = size == 1 ? p[0] : size == 2 ? Get16(j, p) : size == 4 ? Get32(j, p) : saturate(Get64(j, p));
    }
    return;
  }
  StreamSeek(&j->Io, Position(j, list->Offset + uint64_t{first} * size));
  for (uint32_t i = 0; i < n; ++i)
    out[i] = size == 1 ? StreamByte(&j->Io) : size == 2 ? Read16(j) : size == 4 ? Read32(j) : saturate(Read64(j));
}

// The first value of a list and whether every value equals it, read
// without keeping the list (BitsPerSample, SampleFormat).
bool ScanUniform(TiffJob *j, const Entry &e, uint32_t *first, uint32_t *firstValues = nullptr,
                 uint32_t kept = 0) {
  constexpr uint32_t kChunk = 64;
  uint32_t chunk[kChunk];
  TiffList list{};
  TiffArrayValue(j, e, &list);
  bool uniform = true;
  // Values of 8-byte types are two elements: compare them pair by pair.
  uint32_t per = list.Elements / (list.Count ? list.Count : 1);
  uint32_t firstValue[2] = {0, 0};
  for (uint32_t at = 0; at < list.Elements; at += kChunk) {
    uint32_t n = list.Elements - at < kChunk ? list.Elements - at : kChunk;
    ReadElements(j, &list, at, n, chunk);
    if (at == 0) {
      firstValue[0] = chunk[0];
      if (per == 2) firstValue[1] = chunk[1];
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (chunk[i] != firstValue[(at + i) % per]) uniform = false;
      if (at + i < kept) firstValues[at + i] = chunk[i];
    }
  }
  *first = firstValue[0];
  return uniform;
}

// Copy a descriptive tag into the host's ExtraBuffer: a record of kind
// 0x4000 + tag holding the field type, the count and the values as they stand
// in the file. Dropped when the host offers no room, and when its values lie
// out of reach or run past the end of the file (a file that decodes is not
// refused for what describes it).
void TiffStoreTag(TiffJob *j, const Entry &e) {
  ParamBlock *block = j->Block;
  uint32_t size = DataSize(j, e, QV_ERR_TIFF_TAG_TYPE);
  uint32_t inlineBytes = j->Big ? 8 : 4;
  if (size > inlineBytes && GetOffset(j, e.Field) + size > kSeekPositionLimit) return;
  if (!block->ExtraBuffer || !ReserveExtra(block, size + 14)) return;
  uint8_t head[14];
  PutLe32(head, 0x4000u + e.Tag);
  PutLe32(head + 4, size + 6);
  head[8] = static_cast<uint8_t>(e.Type);
  head[9] = static_cast<uint8_t>(e.Type >> 8);
  PutLe32(head + 10, static_cast<uint32_t>(e.Count));
  uint32_t at = block->ExtraUsed;
  memcpy(block->ExtraBuffer + at, head, 14);
  if (size <= inlineBytes) {
    memcpy(block->ExtraBuffer + at + 14, e.Field, size);
  } else {
    StreamSeek(&j->Io, Position(j, GetOffset(j, e.Field)));
    // The host may be asked for input meanwhile: the buffer is found anew
    // after every stretch of bytes.
    for (uint32_t done = 0; done < size;) {
      Stream *s = &j->Io;
      uint32_t have = static_cast<uint32_t>(s->Window.End - s->Window.Next);
      if (have == 0) {
        uint8_t b;
        if (!StreamNextByteUntilEnd(&j->Io, &b)) return;  // the record is not counted
        if (block->ExtraCapacity < at + 14 + size) FailJob(block, QV_ERR_BAD_OPTION);
        block->ExtraBuffer[at + 14 + done++] = b;
        continue;
      }
      uint32_t c = size - done < have ? size - done : have;
      if (block->ExtraCapacity < at + 14 + size) FailJob(block, QV_ERR_BAD_OPTION);
      memcpy(block->ExtraBuffer + at + 14 + done, s->Window.Next, c);
      s->Window.Next += c;
      done += c;
    }
  }
  block->ExtraUsed = at + 14 + size;
}

bool IsDescriptiveTag(uint32_t tag) {
  static const uint16_t kTags[] = {254, 255, 263, 264, 265, 269, 270, 271, 272, 282, 283,
                                   285, 286, 287, 291, 296, 297, 301, 305, 306, 315, 316,
                                   318, 319, 321, 332, 333, 334, 336, 337, 342, 532, 33432};
  for (uint16_t t : kTags)
    if (t == tag) return true;
  return false;
}

// Tags that name something the reader cannot decode, with the status.
int32_t RefusedTagStatus(uint32_t tag) {
  if (tag >= 322 && tag <= 325) return QV_ERR_TIFF_TILES;
  if (tag == 338) return QV_ERR_TIFF_SAMPLES;
  if (tag == 340 || tag == 341) return QV_ERR_TIFF_SAMPLE_FORMAT;
  if (tag >= 512 && tag <= 521 && tag != 516) return QV_ERR_TIFF_JPEG;
  if (tag >= 529 && tag <= 531) return QV_ERR_TIFF_YCBCR;
  return 0;
}

// The tags that extended decoding reads where the classic reader refuses
// (or reads less); true when the entry was taken here.
bool InterpretExtendedEntry(TiffJob *j, const Entry &e) {
  uint32_t *scalar = nullptr;
  switch (e.Tag) {
    case 322: scalar = &j->TileWidth; break;
    case 323: scalar = &j->TileLength; break;
    // The tile lists take the places of the strip lists (a file has one or
    // the other, and libtiff keeps them in the same place too).
    case 324: TiffArrayValue(j, e, &j->StripOffsets); return true;
    case 325: TiffArrayValue(j, e, &j->StripByteCounts); return true;
    case 284: scalar = &j->Planar; break;
    case 338: {
      uint32_t first;
      ScanUniform(j, e, &first);
      j->HaveExtraSamples = true;
      j->ExtraFirst = first;
      return true;
    }
    case 258:
      j->BitsCount = e.Count > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(e.Count);
      j->BitsUniform = ScanUniform(j, e, &j->Bits, j->BitsFirst, 8);
      return true;
    case 274: {
      if (e.Count != 1) FailJob(j->Block, QV_ERR_TIFF_COUNT);
      uint32_t v = TiffScalarValue(j, e);
      j->Orientation = v >= 1 && v <= 8 ? v : 1;
      return true;
    }
    // SMinSampleValue and SMaxSampleValue describe the samples' range, which
    // the conversion to 8 bits does not use (as libtiff's RGBA reading);
    // the YCbCr tags mean nothing to an image that is not YCbCr.
    case 340:
    case 341:
    case 529:
    case 530:
    case 531: return true;
    case 347: TiffArrayValue(j, e, &j->JpegTables); return true;
    default:
      // The old JPEG tags in a file of new-style JPEG data are left, as
      // libtiff leaves them (the tags come in order, Compression first).
      return j->Compression == 7 && e.Tag >= 512 && e.Tag <= 521;
  }
  if (e.Count != 1) FailJob(j->Block, QV_ERR_TIFF_COUNT);
  *scalar = TiffScalarValue(j, e);
  if (e.Tag == 322 || e.Tag == 323) j->Tiled = true;
  return true;
}

void InterpretEntry(TiffJob *j, const Entry &e) {
  if (e.Count == 0) return;  // counts as absent, whatever the tag
  if (j->Options.Extended && InterpretExtendedEntry(j, e)) return;
  uint32_t *scalar = nullptr;
  switch (e.Tag) {
    case 256: scalar = &j->Width; j->HaveWidth = true; break;
    case 257: scalar = &j->Height; j->HaveHeight = true; break;
    case 259: scalar = &j->Compression; break;
    case 262: scalar = &j->Photometric; break;
    case 266: scalar = &j->FillOrder; break;
    case 274: scalar = &j->Orientation; break;
    case 277: scalar = &j->SamplesPerPixel; break;
    case 278: scalar = &j->RowsPerStrip; break;
    case 292: scalar = &j->T4Options; break;
    case 317: scalar = &j->Predictor; break;
    case 284:
    case 293: {
      if (e.Count != 1) FailJob(j->Block, QV_ERR_TIFF_COUNT);
      uint32_t v = TiffScalarValue(j, e);
      if (e.Tag == 284 && v != 1) FailJob(j->Block, QV_ERR_TIFF_PLANAR);
      return;
    }
    case 258:
      j->BitsCount = static_cast<uint32_t>(e.Count);
      j->BitsUniform = ScanUniform(j, e, &j->Bits);
      return;
    case 339: {
      // SampleFormat 1 (unsigned integers) is what an absent tag means;
      // signed, floating-point and undefined samples are refused.
      uint32_t format;
      if (!ScanUniform(j, e, &format) || format != 1) FailJob(j->Block, QV_ERR_TIFF_SAMPLE_FORMAT);
      return;
    }
    case 273: TiffArrayValue(j, e, &j->StripOffsets); return;
    case 279: TiffArrayValue(j, e, &j->StripByteCounts); return;
    case 320: TiffArrayValue(j, e, &j->ColorMap); return;
    case 290:
      if (e.Count != 1) FailJob(j->Block, QV_ERR_TIFF_COUNT);
      TiffStoreTag(j, e);
      return;
    default:
      if (IsDescriptiveTag(e.Tag)) {
        TiffStoreTag(j, e);
      } else if (int32_t status = RefusedTagStatus(e.Tag)) {
        FailJob(j->Block, status);
      }
      return;
  }
  if (e.Count != 1) FailJob(j->Block, QV_ERR_TIFF_COUNT);
  *scalar = TiffScalarValue(j, e);
  if (e.Tag == 274 && *scalar != 4) *scalar = 1;
}

struct EntryCall {
  TiffJob *j;
  Entry e;
};
void InterpretCaught(void *argument) {
  EntryCall *c = static_cast<EntryCall *>(argument);
  InterpretEntry(c->j, c->e);
}

// The offset of the directory after the one at ifd (0 at the end of the
// chain); *count gets ifd's entry count. A BigTIFF link that no seek can
// reach comes back as 0xFFFFFFFF, which fails when it is followed.
uint32_t NextDirectory(TiffJob *j, uint32_t ifd, uint32_t *count) {
  StreamSeek(&j->Io, Position(j, ifd));
  if (j->Big) {
    uint64_t n = Read64(j);
    // More than 65535 entries is no directory (libtiff's bound too).
    if (n > 0xFFFF) FailJob(j->Block, QV_ERR_BAD_HEADER);
    *count = static_cast<uint32_t>(n);
    StreamSeek(&j->Io, Position(j, ifd + 8 + uint64_t{kBigEntrySize} * *count));
    uint64_t next = Read64(j);
    return next > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(next);
  }
  *count = Read16(j);
  StreamSeek(&j->Io, Position(j, ifd + 2 + uint64_t{kEntrySize} * *count));
  return Read32(j);
}

// Whether the chain from first holds at least `page` directories, each at an
// offset not met before. A chain that runs in a circle holds as many pages as
// it has directories before its first repeat, like a chain that ends there.
// Brent's method, with one remembered offset: a circle whose first repeat
// comes after d directories is seen within 3d steps, so 3 x page steps
// without one (and without the end) settle it; then the length of the circle
// and the steps before it give d.
bool ChainHolds(TiffJob *j, uint32_t first, uint32_t page) {
  uint32_t count;
  uint32_t remembered = first, hare = first, power = 1, circle = 0;
  for (uint64_t steps = 1;; ++steps) {
    hare = NextDirectory(j, hare, &count);
    if (hare == 0) return steps >= page;  // steps directories, all different
    if (++circle, hare == remembered) break;
    if (steps >= 3 * uint64_t{page}) return true;
    if (circle == power) {
      remembered = hare;
      power *= 2;
      circle = 0;
    }
  }
  // circle directories make up the circle; count those before it.
  uint32_t tortoise = first;
  hare = first;
  for (uint32_t i = 0; i < circle; ++i) hare = NextDirectory(j, hare, &count);
  uint64_t before = 0;
  while (tortoise != hare) {
    tortoise = NextDirectory(j, tortoise, &count);
    hare = NextDirectory(j, hare, &count);
    ++before;
  }
  return before + circle >= page;
}

// Seek to the entries of the requested page's directory; returns their count.
uint32_t SelectPage(TiffJob *j, uint32_t ifd) {
  uint32_t page = j->Options.Page;
  if (ifd == 0) FailJob(j->Block, QV_ERR_NO_PAGE);
  if (page > 1 && !ChainHolds(j, ifd, page)) FailJob(j->Block, QV_ERR_NO_PAGE);
  uint32_t count;
  for (uint32_t n = 1; n < page; ++n) ifd = NextDirectory(j, ifd, &count);
  StreamSeek(&j->Io, Position(j, ifd));
  if (!j->Big) return Read16(j);
  uint64_t n = Read64(j);
  if (n > 0xFFFF) FailJob(j->Block, QV_ERR_BAD_HEADER);
  return static_cast<uint32_t>(n);
}

// The checks that decide whether the image can be decoded, in their order.
void Validate(TiffJob *j) {
  ParamBlock *block = j->Block;
  if (j->Options.Extended) return TiffJudgeExtended(j);
  if (j->Refusal) FailJob(block, j->Refusal);
  uint32_t c = j->Compression;
  if (c != 1 && c != 2 && c != 3 && c != 4 && c != 5 && c != 32773)
    FailJob(block, QV_ERR_TIFF_COMPRESSION);
  block->FileCompression = (c == 3 && (j->T4Options & 1)) ? -3 : static_cast<int32_t>(c);
  if (!j->StripOffsets.Present) FailJob(block, QV_ERR_TIFF_NO_STRIPS);
  if (j->BitsCount != j->SamplesPerPixel || !j->BitsUniform) FailJob(block, QV_ERR_TIFF_SAMPLES);
  uint32_t depth = j->Bits;
  if (depth == 1 && j->SamplesPerPixel == 1 && j->Photometric == kAbsent) j->Photometric = 0;
  uint32_t p = j->Photometric;
  if (p != 0 && p != 1 && p != 2 && p != 3 && p != 5) FailJob(block, QV_ERR_TIFF_PHOTOMETRIC);
  if (j->SamplesPerPixel == 3 || j->SamplesPerPixel == 4) {
    if (depth != 8) FailJob(block, QV_ERR_TIFF_SAMPLES);
    j->Depth = 8 * j->SamplesPerPixel;
  } else if (j->SamplesPerPixel == 1) {
    if (depth != 1 && depth != 4 && depth != 8 && !(depth == 16 && p == 2))
      FailJob(block, QV_ERR_TIFF_SAMPLES);
    j->Depth = depth;
  } else {
    FailJob(block, QV_ERR_TIFF_SAMPLES_PER_PIXEL);
  }
  j->PaletteSize = j->TableSize = j->Depth <= 8 ? 1u << j->Depth : 0;
  j->Channels = j->SamplesPerPixel == 3 || j->SamplesPerPixel == 4 ? 3 : 1;
  j->Planes = 1;
  j->Output = j->Depth == 16 ? kOutAsStored : j->Depth == 24 ? kOutBgr : j->Depth == 32 ? kOutBgra : kOutIndex;
  j->RowsDirect = true;
  // TIFF rows run top-down unless Orientation says bottom-up; bitmap rows
  // bottom-up unless the host asked for top row first.
  j->Flip = (j->Orientation == 1) != j->Options.TopDown;
  j->T4Options &= 1;

  // Neither dimension has a default; nothing can be decoded without them.
  if (!j->HaveWidth || !j->HaveHeight || j->Width == 0 || j->Height == 0)
    FailJob(block, QV_ERR_TIFF_NO_DIMENSIONS);
  // RowsPerStrip 0 would leave every row without a strip: one strip, as when absent.
  if (j->RowsPerStrip == 0) j->RowsPerStrip = 0x7FFFFFFF;
}

}  // namespace

uint32_t TiffListElement(TiffJob *j, TiffList *list, uint32_t i) {
  if (i - list->First >= list->Held) {
    if (i >= list->Elements) return 0;
    uint32_t n = list->Elements - i < kListWindow ? list->Elements - i : kListWindow;
    // List values are read as stored, never bit-reversed like fax strip data;
    // the strip loop seeks to its strip afterwards, which reopens the stream.
    Stream *s = &j->Io;
    bool reversed = s->ReverseBits;
    s->ReverseBits = false;
    ReadElements(j, list, i, n, list->Window);
    s->ReverseBits = reversed;
    list->First = i;
    list->Held = n;
  }
  return list->Window[i - list->First];
}

void TiffReadDirectory(TiffJob *j) {
  ParamBlock *block = j->Block;
  uint16_t mark = StreamWord(&j->Io);
  if (mark != 0x4949 && mark != 0x4D4D) FailJob(block, QV_ERR_BAD_HEADER);
  j->BigEndian = mark == 0x4D4D;
  j->Io.BigEndian = j->BigEndian;
  uint16_t version = Read16(j);
  // BigTIFF: version 43, offsets of 8 bytes (the size stated next), a
  // reserved 0, then the first directory's 8-byte offset.
  j->Big = version == 43 && j->Options.Extended;
  if (version != 42 && !j->Big) FailJob(block, QV_ERR_BAD_HEADER);
  if (j->Big && (Read16(j) != 8 || Read16(j) != 0)) FailJob(block, QV_ERR_BAD_HEADER);
  uint64_t first = ReadOffset(j);
  // A first directory no seek can reach (only BigTIFF can say so).
  uint32_t count = SelectPage(j, first > 0xFFFFFFFFu ? Position(j, first) : static_cast<uint32_t>(first));

  int slot;
  size_t bytes = size_t{j->Big ? kBigEntrySize : kEntrySize} * count;
  uint8_t *entries = static_cast<uint8_t *>(JobBufferOrFail(block, bytes ? bytes : 1, QV_ERR_BUFFER, &slot));
  StreamRead(&j->Io, entries, bytes);

  j->BitsCount = 1;
  j->Bits = 1;
  j->BitsUniform = true;
  j->Compression = 1;
  j->Photometric = kAbsent;
  j->FillOrder = 1;
  j->Orientation = 1;
  j->SamplesPerPixel = 1;
  j->RowsPerStrip = 0x7FFFFFFF;
  j->Predictor = 1;
  j->Planar = 1;
  j->Refusal = 0;
  for (uint32_t i = 0; i < count && !j->Refusal; ++i) {
    // A fault in one entry is the directory's refusal: nothing after it is
    // read (a refused file gives no more of its tags than before).
    EntryCall call{j, EntryAt(j, entries + i * (j->Big ? kBigEntrySize : kEntrySize))};
    j->Refusal = CatchFailure(block, InterpretCaught, &call);
  }
  FreeJobBuffer(block, slot);

  Validate(j);
}

void TiffRawFaxDefaults(TiffJob *j) {
  j->RawFax = true;
  j->Compression = 3;
  j->FillOrder = j->Options.FaxFillOrder == 1 ? 1 : 2;
  j->Photometric = j->Options.FaxPhotometric ? 1 : 0;
  j->T4Options = j->Options.ImageType == QV_TYPE_G32D ? 1 : 0;
  j->Bits = j->Depth = 1;
  j->SamplesPerPixel = 1;
  j->Predictor = 1;
  j->Flip = false;
  j->PaletteSize = j->TableSize = 2;
  j->Channels = j->Planes = j->InSamples = 1;
  j->Output = kOutIndex;
  j->RowsDirect = true;
  j->RowsPerStrip = 0x7FFFFFFF;
}
