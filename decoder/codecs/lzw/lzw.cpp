#include "codecs/lzw/lzw.h"

#include <bit>
#include <string.h>

#include "engine/cpu.h"

// Safety rests on one invariant: every table entry below NextFree was written
// since the last reset, from a smaller code (a root, or an entry added before
// it), and no string is longer than the table has entries. Strings are
// written by their recorded length, at most 7 bytes past their end, and only
// where the destination (or the stack, which has that slack) has room for
// it, so no write leaves the requested bytes or the stack, and every code
// read from the tables is below 2^T. Codes that would break the invariant (a
// code above NextFree, a first code that is not a root) end the stream.

static_assert(std::endian::native == std::endian::little,
              "chunks are handled as little-endian 64-bit words");

namespace {

constexpr uint32_t kMaxTableBits = 12;
constexpr uint32_t kSlack = 8;  // bytes a string write may run past its end

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

inline uint64_t Load64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

inline void Store64(uint8_t *p, uint64_t v) { memcpy(p, &v, 8); }

// The bit reader, on copies of the decoder's fields held in registers.
template <bool MsbFirst>
struct Bits {
  LzwDecoder *d;
  const uint8_t *next, *end;  // the next input byte and the end of the bytes at hand
  uint64_t reservoir;
  uint32_t held;

  explicit Bits(LzwDecoder *decoder)
      : d(decoder), next(decoder->Next), end(decoder->End), reservoir(decoder->Reservoir),
        held(static_cast<uint32_t>(decoder->BitsHeld)) {}

  void Save() {
    d->Reservoir = reservoir;
    d->BitsHeld = static_cast<int32_t>(held);
    d->Next = next;
    d->End = end;
  }

  // Whether the buffer holds the eight bytes Load takes.
  bool CanLoad() const { return end - next >= 8; }

  // Bits of one input byte at the reservoir's free end. Bits already there
  // from a wider load are the same bits, so OR-ing them again is harmless.
  void Take(uint64_t b) {
    if (MsbFirst)
      reservoir |= b << (56 - held);
    else
      reservoir |= b << held;
    held += 8;
  }

  // Eight input bytes at once; the buffer must hold them (CanLoad).
  void Load() {
    uint64_t w = Load64(next);
    if (MsbFirst)
      reservoir |= __builtin_bswap64(w) >> held;
    else
      reservoir |= w << held;
    uint32_t take = (63 - held) >> 3;
    next += take;
    held += 8 * take;
  }

  // Make at least width bits available: eight bytes at once where the input
  // buffer holds them, else byte by byte through the source. False when the
  // source has no more bytes (the buffer is then left empty).
  bool Need(uint32_t width) {
    if (held >= width) return true;
    if (CanLoad()) {
      Load();
      return true;
    }
    do {
      if (next == end) {
        uint32_t got = 0;
        if (d->View) {
          got = d->View(d->SourceContext, &next);
        } else {
          if (d->Source) got = d->Source(d->SourceContext, d->Input);
          next = d->Input;
        }
        end = next + got;
        if (got == 0) return false;
      }
      Take(*next++);
    } while (held < width);
    return true;
  }

  // The next code without taking it, then taking it.
  uint32_t Peek(uint32_t width, uint32_t mask) const {
    return MsbFirst ? static_cast<uint32_t>(reservoir >> (64 - width))
                    : static_cast<uint32_t>(reservoir) & mask;
  }
  void Drop(uint32_t width) {
    if (MsbFirst)
      reservoir <<= width;
    else
      reservoir >>= width;
    held -= width;
  }

  uint32_t Cut(uint32_t width, uint32_t mask) {
    uint32_t code = Peek(width, mask);
    Drop(width);
    return code;
  }
};

// The Info word of a code: prefix code in bits 0-11, string length in bits
// 12-23 (a string is shorter than the table has entries), first byte in bits
// 24-31. The clear and end codes have length 0.
constexpr uint32_t kPrefixMask = 0xFFF;
constexpr uint32_t kLengthOne = 1u << 12;
inline uint32_t Length(uint32_t entry) { return (entry >> 12) & 0xFFF; }
inline uint8_t FirstOf(uint32_t entry) { return static_cast<uint8_t>(entry >> 24); }

// Write the string of a code (its last chunk and Info word given) to out,
// which has room for 7 bytes past the string's end.
inline void PutString(const uint64_t *chunks, const uint32_t *info, uint64_t chunk, uint32_t entry,
                      uint8_t *out) {
  uint8_t *p = out + ((Length(entry) - 1) & ~7u);
  Store64(p, chunk);
  uint32_t c = entry & kPrefixMask;
  while (p != out) {
    p -= 8;
    Store64(p, chunks[c]);
    c = info[c] & kPrefixMask;
  }
}

template <bool MsbFirst>
inline __attribute__((always_inline)) int ReadBytesBody(LzwDecoder *d, uint8_t *dst, size_t n) {
  // Bytes of a string that did not fit the previous request come first.
  if (d->StackTop != d->StackEnd) {
    size_t c = static_cast<size_t>(d->StackEnd - d->StackTop);
    if (c > n) c = n;
    memcpy(dst, d->StackTop, c);
    d->StackTop += c;
    dst += c;
    n -= c;
    if (n == 0) return 1;
  }

  Bits<MsbFirst> in(d);
  uint32_t width = static_cast<uint32_t>(d->Width);
  uint32_t mask = d->Mask;
  uint32_t nextFree = d->NextFree;
  const uint32_t highest = d->Highest;
  // The next free code at which the width grows; beyond the table when it
  // no longer does. Rarely used values stay in the decoder's storage, so
  // that the loop's state fits the registers.
  auto widenAt = [&](uint32_t threshold) { return threshold < highest ? threshold + 1 : 0x10000u; };
  uint32_t growAt = widenAt(d->Threshold);
  uint64_t *const chunks = d->Chunk;
  uint32_t *const info = d->Info;
  // The previous string: its code, last chunk and Info word.
  uint32_t previous = d->Previous;
  uint64_t prevChunk = 0;
  uint32_t prevInfo = 0;
  if (previous != LzwNoByte) {
    prevChunk = chunks[previous];
    prevInfo = info[previous];
  }
  uint32_t code;
  int result = 1;

  auto next = [&]() -> bool {
    if (!in.Need(width)) return false;
    code = in.Cut(width, mask);
    return true;
  };
  auto setWidth = [&](uint32_t w) {
    width = w;
    mask = (1u << width) - 1;
    growAt = widenAt((d->Flags & LzwEarlyChange) ? mask - 1 : mask);
  };
  // Entry nextFree: the previous string followed by byte b. Chunk bytes
  // beyond a string's end are zero, so the byte is OR-ed into place.
  auto add = [&](uint8_t b, uint64_t *chunk, uint32_t *entry) {
    uint32_t k = Length(prevInfo) & 7;  // bytes in the last chunk, 0 for a full one
    if (k) {
      *chunk = prevChunk | static_cast<uint64_t>(b) << (8 * k);
      *entry = prevInfo + kLengthOne;
    } else {
      *chunk = b;
      *entry = previous | ((prevInfo & ~kPrefixMask) + kLengthOne);
    }
    chunks[nextFree] = *chunk;
    info[nextFree] = *entry;
    if (++nextFree == growAt) setWidth(width + 1);
  };
  // A string in the table goes to out; the previous string followed by its
  // first byte becomes an entry, and it becomes the previous string.
  auto putTableString = [&](uint32_t c, uint64_t chunk, uint32_t entry, uint8_t *out) {
    PutString(chunks, info, chunk, entry, out);
    if (nextFree <= highest) {
      uint64_t newChunk;
      uint32_t newEntry;
      add(FirstOf(entry), &newChunk, &newEntry);
    }
    previous = c;
    prevChunk = chunk;
    prevInfo = entry;
  };
  // The code about to be added (frequent in flat areas) goes to out: the
  // previous string followed by its own first byte, which becomes the entry
  // and the previous string.
  auto putNewString = [&](uint32_t c, uint8_t *out) {
    uint64_t chunk;
    uint32_t entry;
    add(FirstOf(prevInfo), &chunk, &entry);
    PutString(chunks, info, chunk, entry, out);
    previous = c;
    prevChunk = chunk;
    prevInfo = entry;
  };
  // A string of len bytes, written to out, is handed over.
  auto emit = [&](uint8_t *out, uint32_t len) {
    if (out == dst) {
      dst += len;
      n -= len;
      return;
    }
    size_t c = len < n ? len : n;
    memcpy(dst, out, c);
    dst += c;
    n -= c;
    if (c < len) {
      d->StackTop = out + c;
      d->StackEnd = out + len;
    }
  };
  // After a clear code, or at the start of a stream: clear codes are
  // skipped, and the first other code must be a root, handed over as it is.
  auto startStrings = [&]() -> bool {
    while (code == d->ClearCode) {
      setWidth(static_cast<uint32_t>(d->InitialWidth));
      nextFree = d->FirstFree;
      if (!next()) return false;
    }
    if (code >= d->ClearCode) return false;
    previous = code;
    prevChunk = chunks[code];
    prevInfo = info[code];
    *dst++ = FirstOf(prevInfo);
    --n;
    return true;
  };

  if (previous == LzwNoByte && (!next() || !startStrings())) goto fail;
  while (n) {
    // The common case, kept free of calls so that the loop's state stays in
    // registers: the code's bits are in the input buffer, it names a string
    // in the table, and the request has room for the string's whole-word
    // writes. Anything else goes the general way below.
    for (;;) {
      if (in.held < width) {
        if (!in.CanLoad()) break;
        in.Load();
      }
      uint32_t c = in.Peek(width, mask);
      if (c >= nextFree) {
        if (c != nextFree || nextFree > highest) break;
        uint32_t len = Length(prevInfo) + 1;
        if (n < len + kSlack - 1) break;
        in.Drop(width);
        putNewString(c, dst);
        dst += len;
        n -= len;
        if (!n) goto done;
        continue;
      }
      uint64_t chunk = chunks[c];
      uint32_t entry = info[c];
      uint32_t len = Length(entry);
      if (len == 0 || n < len + kSlack - 1) break;  // clear, end, or no room
      in.Drop(width);
      putTableString(c, chunk, entry, dst);
      dst += len;
      n -= len;
      if (!n) goto done;
    }
    if (!next()) goto fail;
    uint32_t entry = code < nextFree ? info[code] : 0;
    if (Length(entry) != 0) {
      // A string in the table.
      uint64_t chunk = chunks[code];
      uint32_t len = Length(entry);
      uint8_t *out = n >= len + kSlack - 1 ? dst : d->StackBase;
      putTableString(code, chunk, entry, out);
      emit(out, len);
    } else if (code == d->ClearCode) {
      if (!startStrings()) goto fail;
    } else if (code == nextFree && nextFree <= highest) {
      uint32_t len = Length(prevInfo) + 1;
      uint8_t *out = n >= len + kSlack - 1 ? dst : d->StackBase;
      putNewString(code, out);
      emit(out, len);
    } else if (code == nextFree) {
      // The table is full (only with LzwEarlyChange, whose last code has no
      // entry): the previous string and its first byte, added nowhere; the
      // previous string stays the one to extend.
      uint32_t len = Length(prevInfo) + 1;
      uint8_t *out = n >= len + kSlack - 1 ? dst : d->StackBase;
      PutString(chunks, info, prevChunk, prevInfo, out);
      out[len - 1] = FirstOf(prevInfo);
      emit(out, len);
    } else {
      goto fail;  // the end code, or a code beyond the table
    }
  }
  goto done;
fail:
  result = 0;
done:
  in.Save();
  d->Width = static_cast<int32_t>(width);
  d->Mask = static_cast<uint16_t>(mask);
  d->NextFree = static_cast<uint16_t>(nextFree);
  d->Threshold = static_cast<uint16_t>((d->Flags & LzwEarlyChange) ? mask - 1 : mask);
  d->Previous = static_cast<uint16_t>(previous);
  d->FirstByte = FirstOf(prevInfo);
  return result;
}

template <bool MsbFirst>
__attribute__((noinline)) int ReadBytesPlain(LzwDecoder *d, uint8_t *dst, size_t n) {
  return ReadBytesBody<MsbFirst>(d, dst, n);
}

#if QV_X86_VARIANTS
// The same loop for processors with BMI2 (shifts by a register count in one
// instruction, the flags left alone: every code is cut out of the input
// bits by its width).
template <bool MsbFirst>
__attribute__((noinline, target("bmi2"))) int ReadBytesBmi2(LzwDecoder *d, uint8_t *dst, size_t n) {
  return ReadBytesBody<MsbFirst>(d, dst, n);
}
template <bool MsbFirst>
inline int ReadBytes(LzwDecoder *d, uint8_t *dst, size_t n) {
  return QV_CPU_HAS("bmi2") ? ReadBytesBmi2<MsbFirst>(d, dst, n) : ReadBytesPlain<MsbFirst>(d, dst, n);
}
#else
template <bool MsbFirst>
inline int ReadBytes(LzwDecoder *d, uint8_t *dst, size_t n) {
  return ReadBytesPlain<MsbFirst>(d, dst, n);
}
#endif

}  // namespace

size_t LzwStorageSize(uint32_t tableBits, uint32_t bufferSize) {
  if (tableBits < 1 || tableBits > kMaxTableBits) return 0;
  size_t entries = size_t{1} << tableBits;
  // chunks (8 bytes per code), Info words, the string stack with its slack,
  // the input buffer
  return Align8(sizeof(LzwDecoder)) + 8 * entries + 4 * entries + entries + kSlack + bufferSize;
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
  d->Chunk = reinterpret_cast<uint64_t *>(p);
  p += 8 * entries;
  d->Info = reinterpret_cast<uint32_t *>(p);
  p += 4 * entries;
  d->StackBase = p;
  p += entries + kSlack;
  d->Input = p;
  d->StackTop = d->StackEnd = d->StackBase;
  d->TableSize = entries;
  d->InitialWidth = static_cast<int32_t>(initialWidth);
  d->BitsHeld = 0;
  d->Reservoir = 0;
  d->Next = d->End = p;
  d->View = nullptr;
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
  for (uint32_t c = 0; c < clearCode; ++c) {
    d->Chunk[c] = c & 0xFF;
    d->Info[c] = kLengthOne | (c & 0xFF) << 24;
  }
  // The clear and end codes name no string.
  d->Info[clearCode] = d->Info[endCode] = 0;
  LzwReset(d);
  return d;
}

void LzwUseView(LzwDecoder *d, LzwByteView view, void *viewContext) {
  d->View = view;
  d->SourceContext = viewContext;
}

void LzwReset(LzwDecoder *d) {
  d->Width = d->InitialWidth;
  d->NextFree = d->FirstFree;
  d->Mask = static_cast<uint16_t>((1u << d->Width) - 1);
  d->Threshold = static_cast<uint16_t>((d->Flags & LzwEarlyChange) ? d->Mask - 1 : d->Mask);
}

namespace {
template <bool MsbFirst>
uint16_t ReadCode(LzwDecoder *d) {
  Bits<MsbFirst> in(d);
  uint32_t width = static_cast<uint32_t>(d->Width);
  uint16_t code = d->EndCode;
  if (in.Need(width)) code = static_cast<uint16_t>(in.Cut(width, d->Mask));
  in.Save();
  return code;
}
}  // namespace

uint16_t LzwReadCode(LzwDecoder *d) {
  return (d->Flags & LzwMsbFirst) ? ReadCode<true>(d) : ReadCode<false>(d);
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

