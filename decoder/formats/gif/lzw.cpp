#include "lzw.h"

#include <string.h>

// Safety rests on one invariant: every table entry below NextFree was written
// since the last reset, from a smaller code (a root, or an entry added before
// it). Strings are written by their recorded length, chunk by chunk, so no
// write leaves the requested bytes or the stack, and every code read from the
// tables is below 2^T. Codes that would break the invariant (a code above
// NextFree, a first code that is not a root) end the stream.

namespace {

constexpr uint32_t kMaxTableBits = 12;

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// Next input byte, refilling the buffer from the source; false when the
// source has no more bytes (the buffer is then left empty).
inline bool NextInput(LzwDecoder *d, uint32_t &position, uint32_t &fill, uint8_t *byte) {
  if (position >= fill) {
    uint32_t got = d->Source ? d->Source(d->SourceContext, d->Input) : 0;
    position = 0;
    fill = got;
    if (got == 0) return false;
  }
  *byte = d->Input[position++];
  return true;
}

// Write the string of code c, len bytes, to dst: the last chunk, then whole
// chunks of 8 walking the prefixes.
inline void WriteString(const uint16_t *prefix, const uint8_t *chunks, uint32_t c, uint32_t len,
                        uint8_t *dst) {
  uint32_t n = ((len - 1) & 7) + 1;
  uint8_t *p = dst + len - n;
  const uint8_t *chunk = chunks + 8 * c;
  for (uint32_t i = 0; i < n; ++i) p[i] = chunk[i];
  for (uint32_t left = len - n; left; left -= 8) {
    c = prefix[c];
    p -= 8;
    memcpy(p, chunks + 8 * c, 8);
  }
}

// The decoder's working fields, kept in locals (registers) while a run of
// bytes is decoded: stores through the destination could alias the storage.
template <bool MsbFirst>
int ReadBytes(LzwDecoder *d, uint8_t *dst, size_t n) {
  uint32_t reservoir = d->Reservoir;
  int32_t held = d->BitsHeld;
  int32_t width = d->Width;
  uint32_t mask = d->Mask;
  uint32_t position = static_cast<uint32_t>(d->Position), fill = d->Fill;
  uint32_t nextFree = d->NextFree, threshold = d->Threshold;
  uint32_t previous = d->Previous;
  const uint32_t clear = d->ClearCode, end = d->EndCode;
  const uint32_t highest = d->Highest;
  const bool early = (d->Flags & LzwEarlyChange) != 0;
  uint16_t *const prefix = d->Prefix;
  uint8_t *const chunks = d->Chunk;
  uint8_t *const first = d->First;
  uint16_t *const length = d->Length;
  int result = 1;

  // Cut the next code off the input; false at the end of the input.
  auto readCode = [&](uint32_t *code) -> bool {
    while (held < width) {
      uint8_t b;
      if (!NextInput(d, position, fill, &b)) return false;
      if (MsbFirst)
        reservoir = (reservoir << 8) | b;
      else
        reservoir |= static_cast<uint32_t>(b) << held;
      held += 8;
    }
    if (MsbFirst) {
      *code = (reservoir >> (held - width)) & mask;
    } else {
      *code = reservoir & mask;
      reservoir >>= width;
    }
    held -= width;
    return true;
  };
  auto reset = [&] {
    width = d->InitialWidth;
    mask = (1u << width) - 1;
    threshold = early ? mask - 1 : mask;
    nextFree = d->FirstFree;
  };
  // Entry nextFree: the string of code p followed by byte b.
  auto add = [&](uint32_t p, uint8_t b) {
    const uint32_t e = nextFree;
    const uint32_t len = length[p];
    const uint32_t k = ((len - 1) & 7) + 1;  // bytes in p's last chunk
    if (k < 8) {
      memcpy(chunks + 8 * e, chunks + 8 * p, 8);
      chunks[8 * e + k] = b;
      prefix[e] = prefix[p];
    } else {
      chunks[8 * e] = b;
      prefix[e] = static_cast<uint16_t>(p);
    }
    first[e] = first[p];
    length[e] = static_cast<uint16_t>(len + 1);
    ++nextFree;
    if (nextFree > threshold && nextFree <= highest) {
      ++width;
      mask = (1u << width) - 1;
      threshold = early ? mask - 1 : mask;
    }
  };

  while (n) {
    // Bytes of a string that did not fit the previous request come first.
    if (d->StackTop != d->StackEnd) {
      size_t c = static_cast<size_t>(d->StackEnd - d->StackTop);
      if (c > n) c = n;
      memcpy(dst, d->StackTop, c);
      d->StackTop += c;
      dst += c;
      n -= c;
      continue;
    }
    uint32_t code;
    if (!readCode(&code)) goto fail;
    if (code == clear) {
      do {
        reset();
        if (!readCode(&code)) goto fail;
      } while (code == clear);
      // The first code after a clear must be a root: the end code or a code
      // that names no entry ends the stream.
      if (code >= clear) goto fail;
      previous = code;
      *dst++ = static_cast<uint8_t>(code);
      --n;
      continue;
    }
    if (code == end || code > nextFree) goto fail;
    if (previous == LzwNoByte) {
      // First code of a stream that does not open with a clear code.
      if (code >= clear) goto fail;
      previous = code;
      *dst++ = static_cast<uint8_t>(code);
      --n;
      continue;
    }
    {
      uint32_t c = code;
      bool extra = false;  // the table is full: code names a string it does not hold
      if (code == nextFree) {
        // The previous string followed by its own first byte.
        if (nextFree <= highest) {
          add(previous, first[previous]);
        } else {
          c = previous;
          extra = true;
        }
      } else if (nextFree <= highest) {
        add(previous, first[code]);
      }
      const uint32_t stored = length[c];
      const uint32_t len = stored + (extra ? 1u : 0u);
      uint8_t *out = len <= n ? dst : d->StackBase;
      WriteString(prefix, chunks, c, stored, out);
      if (extra) out[stored] = first[c];
      if (out == dst) {
        dst += len;
        n -= len;
      } else {
        d->StackTop = d->StackBase;
        d->StackEnd = d->StackBase + len;
      }
      previous = code;
    }
  }
  goto done;
fail:
  result = 0;
done:
  d->Reservoir = reservoir;
  d->BitsHeld = held;
  d->Width = width;
  d->Mask = static_cast<uint16_t>(mask);
  d->Position = static_cast<int32_t>(position);
  d->Fill = fill;
  d->NextFree = static_cast<uint16_t>(nextFree);
  d->Threshold = static_cast<uint16_t>(threshold);
  d->Previous = static_cast<uint16_t>(previous);
  if (previous != LzwNoByte) d->FirstByte = first[previous];
  return result;
}

}  // namespace

size_t LzwStorageSize(uint32_t tableBits, uint32_t bufferSize) {
  if (tableBits < 1 || tableBits > kMaxTableBits) return 0;
  size_t entries = size_t{1} << tableBits;
  // prefix and length tables (16-bit), chunks (8 bytes each), first bytes,
  // string stack, input buffer
  return Align8(sizeof(LzwDecoder)) + 2 * entries + 2 * entries + 8 * entries + entries +
         entries + bufferSize;
}

LzwDecoder *LzwInit(void *storage, uint32_t initialWidth, uint32_t tableBits, uint16_t clearCode,
                    uint16_t endCode, uint8_t flags, LzwByteSource source, void *sourceContext) {
  if (!storage || tableBits < 1 || tableBits > kMaxTableBits) return nullptr;
  if (initialWidth < 1 || initialWidth > tableBits) return nullptr;
  uint32_t entries = 1u << tableBits;
  if (clearCode >= (1u << initialWidth) || endCode != clearCode + 1u || clearCode + 2u >= entries)
    return nullptr;
  auto *d = static_cast<LzwDecoder *>(storage);
  uint8_t *p = static_cast<uint8_t *>(storage) + Align8(sizeof(LzwDecoder));
  d->Prefix = reinterpret_cast<uint16_t *>(p);
  p += 2 * entries;
  d->Length = reinterpret_cast<uint16_t *>(p);
  p += 2 * entries;
  d->Chunk = p;
  p += 8 * entries;
  d->First = p;
  p += entries;
  d->StackBase = p;
  p += entries;
  d->Input = p;
  d->StackTop = d->StackEnd = d->StackBase;
  d->TableSize = entries;
  d->InitialWidth = static_cast<int32_t>(initialWidth);
  d->BitsHeld = 0;
  d->Reservoir = 0;
  d->Fill = 0;
  d->Position = 0;
  d->Source = source;
  d->SourceContext = sourceContext;
  d->ClearCode = clearCode;
  d->EndCode = endCode;
  d->FirstFree = static_cast<uint16_t>(clearCode + 2u);
  d->Flags = flags;
  d->Highest = static_cast<uint16_t>((flags & LzwEarlyChange) ? entries - 2 : entries - 1);
  // A new stream has no previous string: its first code must be a root, as
  // after a clear code. Left over from an earlier stream, the previous code
  // could name an entry that no longer exists.
  d->Previous = LzwNoByte;
  // Roots: the string of one byte, the code's low 8 bits.
  for (uint32_t c = 0; c < d->FirstFree; ++c) {
    d->Length[c] = 1;
    d->Chunk[8 * c] = d->First[c] = static_cast<uint8_t>(c);
    d->Prefix[c] = 0;
  }
  LzwReset(d);
  return d;
}

void LzwReset(LzwDecoder *d) {
  d->Width = d->InitialWidth;
  d->NextFree = d->FirstFree;
  d->Mask = static_cast<uint16_t>((1u << d->Width) - 1);
  d->Threshold = static_cast<uint16_t>((d->Flags & LzwEarlyChange) ? d->Mask - 1 : d->Mask);
}

uint16_t LzwReadCode(LzwDecoder *d) {
  uint32_t position = static_cast<uint32_t>(d->Position), fill = d->Fill;
  uint16_t code = d->EndCode;
  bool ok = true;
  while (d->BitsHeld < d->Width) {
    uint8_t b;
    if (!NextInput(d, position, fill, &b)) {
      ok = false;
      break;
    }
    if (d->Flags & LzwMsbFirst)
      d->Reservoir = (d->Reservoir << 8) | b;
    else
      d->Reservoir |= static_cast<uint32_t>(b) << d->BitsHeld;
    d->BitsHeld += 8;
  }
  if (ok) {
    if (d->Flags & LzwMsbFirst) {
      code = static_cast<uint16_t>((d->Reservoir >> (d->BitsHeld - d->Width)) & d->Mask);
    } else {
      code = static_cast<uint16_t>(d->Reservoir & d->Mask);
      d->Reservoir >>= d->Width;
    }
    d->BitsHeld -= d->Width;
  }
  d->Position = static_cast<int32_t>(position);
  d->Fill = fill;
  return code;
}

uint16_t LzwNextByte(LzwDecoder *d) {
  uint8_t b;
  return LzwReadBytes(d, &b, 1) ? b : LzwNoByte;
}

int LzwReadBytes(LzwDecoder *d, uint8_t *destination, size_t n) {
  if (n == 0) return 1;
  return (d->Flags & LzwMsbFirst) ? ReadBytes<true>(d, destination, n)
                                  : ReadBytes<false>(d, destination, n);
}

void LzwFinish(LzwDecoder *) {}
