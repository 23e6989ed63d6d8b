#include "lzw.h"

#include <string.h>

// Safety rests on one invariant: every table entry below NextFree was written
// since the last reset, and its prefix is a smaller code (a root, or an entry
// added before it). Unwinding a code therefore walks strictly downwards to a
// root, never reads an entry that was not written, and never produces more
// bytes than Length records, which is below the table size, so the string
// stack of 2^T bytes always holds it. Codes that would break the invariant
// (a code above NextFree, a first code that is not a root) end the stream.

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
  uint8_t firstByte = d->FirstByte;
  const uint32_t clear = d->ClearCode, end = d->EndCode, firstFree = d->FirstFree;
  const uint32_t highest = d->Highest;
  const bool early = (d->Flags & LzwEarlyChange) != 0;
  const uint16_t *const prefix = d->Prefix;
  const uint8_t *const suffix = d->Suffix;
  uint16_t *const prefixW = d->Prefix;
  uint8_t *const suffixW = d->Suffix;
  uint16_t *const length = d->Length;
  uint8_t *const stackBase = d->StackBase;
  uint8_t *stackTop = d->StackTop;
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
    nextFree = firstFree;
  };

  while (n) {
    // Bytes of a string that did not fit the previous request come first.
    if (stackTop != stackBase) {
      size_t c = static_cast<size_t>(stackTop - stackBase);
      if (c > n) c = n;
      n -= c;
      while (c--) *dst++ = *--stackTop;
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
      firstByte = static_cast<uint8_t>(code);
      *dst++ = firstByte;
      --n;
      continue;
    }
    if (code == end || code > nextFree) goto fail;
    if (previous == LzwNoByte) {
      // First code of a stream that does not open with a clear code.
      if (code >= clear) goto fail;
      previous = code;
      firstByte = static_cast<uint8_t>(code);
      *dst++ = firstByte;
      --n;
      continue;
    }
    {
      // code == nextFree: the previous string plus its own first byte.
      const bool repeat = code == nextFree;
      uint32_t c = repeat ? previous : code;
      const uint32_t len = length[c] + (repeat ? 1u : 0u);
      if (len <= n) {
        uint8_t *p = dst + len - 1;
        if (repeat) *p-- = firstByte;
        while (c >= firstFree) {
          *p-- = suffix[c];
          c = prefix[c];
        }
        *p = static_cast<uint8_t>(c);
        dst += len;
        n -= len;
      } else {
        // Does not fit: push last byte first, pop from the top.
        uint8_t *s = stackBase;
        if (repeat) *s++ = firstByte;
        while (c >= firstFree) {
          *s++ = suffix[c];
          c = prefix[c];
        }
        *s++ = static_cast<uint8_t>(c);
        stackTop = s;
      }
      const uint8_t first = static_cast<uint8_t>(c);
      if (nextFree <= highest) {
        prefixW[nextFree] = static_cast<uint16_t>(previous);
        suffixW[nextFree] = first;
        length[nextFree] = static_cast<uint16_t>(length[previous] + 1);
        ++nextFree;
        if (nextFree > threshold && nextFree <= highest) {
          ++width;
          mask = (1u << width) - 1;
          threshold = early ? mask - 1 : mask;
        }
      }
      firstByte = first;
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
  d->FirstByte = firstByte;
  d->StackTop = stackTop;
  return result;
}

}  // namespace

size_t LzwStorageSize(uint32_t tableBits, uint32_t bufferSize) {
  if (tableBits < 1 || tableBits > kMaxTableBits) return 0;
  size_t entries = size_t{1} << tableBits;
  // prefix and length tables (16-bit), suffix table, string stack, input buffer
  return Align8(sizeof(LzwDecoder)) + 2 * entries + 2 * entries + entries + entries + bufferSize;
}

LzwDecoder *LzwInit(void *storage, uint32_t initialWidth, uint32_t tableBits, uint16_t clearCode,
                    uint16_t endCode, uint8_t flags, LzwByteSource source, void *sourceContext) {
  if (!storage || tableBits < 1 || tableBits > kMaxTableBits) return nullptr;
  if (initialWidth < 1 || initialWidth > tableBits) return nullptr;
  uint32_t entries = 1u << tableBits;
  if (clearCode >= (1u << initialWidth) || endCode != clearCode + 1u ||
      clearCode + 2u >= entries)
    return nullptr;
  auto *d = static_cast<LzwDecoder *>(storage);
  uint8_t *p = static_cast<uint8_t *>(storage) + Align8(sizeof(LzwDecoder));
  d->Prefix = reinterpret_cast<uint16_t *>(p);
  p += 2 * entries;
  d->Length = reinterpret_cast<uint16_t *>(p);
  p += 2 * entries;
  d->Suffix = p;
  p += entries;
  d->StackBase = p;
  p += entries;
  d->Input = p;
  d->StackTop = d->StackBase;
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
  for (uint32_t c = 0; c < d->FirstFree; ++c) d->Length[c] = 1;
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
