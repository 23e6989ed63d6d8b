#include "inflate.h"

#include <string.h>

#include <bit>

#include "engine/cpu.h"
#include "inflate_internal.h"
#include "quorvin.h"

// Safety rests on a few bounds. Input: the fast loop starts a step only
// while 8 bytes of the buffer remain, and a step loads those 8 bytes once;
// elsewhere bytes are taken one at a time up to the source's count. Output:
// decoded bytes go to the output area, never beyond it by more than the 32
// bytes of slack after it; the fast loop starts a step only while its
// longest output (a 258-byte match, or 3 entries of at most 2 literals)
// fits the area, and its word-wide copies and 2-byte literal stores write
// at most 15 bytes past their end. History: a distance is
// checked against the bytes decoded (at most the 32 KiB before the output),
// so no copy reads before the stream's first byte. Tables: entries are
// written only at indices below their table's size (a complete code's
// sub-tables fit, see inflate.h), and every entry a lookup can reach is
// written when its table is built.

static_assert(std::endian::native == std::endian::little, "input words are read as little-endian");

namespace {

constexpr uint32_t kHistory = 32768;
constexpr uint32_t kArea = 65536;  // output area behind the history
constexpr uint32_t kSlack = 32;    // bytes past the area a copy may write
constexpr uint32_t kMaxMatch = 258;
constexpr size_t kFastRoom = kMaxMatch;
constexpr size_t kFastInput = 8;
constexpr uint32_t kLitMask = (1u << kInflateLitLenBits) - 1;
constexpr uint32_t kDistMask = (1u << kInflateDistBits) - 1;

static_assert(kArea >= kHistory, "the history moves down without overlapping itself");

enum : int32_t {
  StateZlibHeader,
  StateBlockHeader,
  StateStored,
  StateHuffman,
  StateTrailer,
  StateEnded,
  StateFailed,
};

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

inline uint64_t Load64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
inline void Store64(uint8_t *p, uint64_t v) { memcpy(p, &v, 8); }
inline void Store16(uint8_t *p, uint32_t v) {
  uint16_t w = static_cast<uint16_t>(v);
  memcpy(p, &w, 2);
}
// Bits up to 56 or more from the 8 bytes at *next (all of them in the
// buffer): the whole bytes that fit go in above the held bits, and *next
// moves past them.
inline void RefillWord(uint64_t &bits, uint32_t &count, const uint8_t *&next) {
  bits |= Load64(next) << count;
  next += (63 - count) >> 3;
  count |= 56;
}
// Eight bytes from src to dst, loaded before stored, so the two may overlap.
inline void Copy8(uint8_t *dst, const uint8_t *src) { Store64(dst, Load64(src)); }

// The fixed code's lengths.
struct FixedLengths {
  uint8_t litLen[288], dist[32];
  constexpr FixedLengths() : litLen(), dist() {
    for (int i = 0; i < 288; ++i) litLen[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    for (int i = 0; i < 32; ++i) dist[i] = 5;
  }
};
constexpr FixedLengths kFixed;

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The input side, on copies of the decoder's fields.
struct Input {
  InflateDecoder *d;
  uint64_t bits;
  uint32_t count;
  const uint8_t *next, *end;

  explicit Input(InflateDecoder *decoder)
      : d(decoder),
        bits(decoder->Bits),
        count(decoder->BitCount),
        next(decoder->InNext),
        end(decoder->InEnd) {}
  void Save() {
    d->Bits = bits;
    d->BitCount = count;
    d->InNext = next;
    d->InEnd = end;
  }

  // The buffer refilled by the source once it is used up; false when the
  // source has no more bytes.
  bool Refill() {
    uint32_t got = 0;
    if (d->View) {
      got = d->View(d->SourceContext, &next);
    } else {
      got = d->Source ? d->Source(d->SourceContext, d->Input) : 0;
      if (got > d->InputSize) got = d->InputSize;
      next = d->Input;
    }
    end = next + got;
    return got != 0;
  }
  // One more byte into bits (count is below 57).
  bool Pull() {
    if (next == end && !Refill()) return false;
    bits |= static_cast<uint64_t>(*next++) << count;
    count += 8;
    return true;
  }
  bool Need(uint32_t n) {
    while (count < n)
      if (!Pull()) return false;
    return true;
  }
  void Drop(uint32_t n) {
    bits >>= n;
    count -= n;
  }
  // n (below 32) bits, which must be there.
  uint32_t Take(uint32_t n) {
    uint32_t v = static_cast<uint32_t>(bits) & ((1u << n) - 1);
    Drop(n);
    return v;
  }

  // The entry of the next code in a table, with every bit it drops (code and
  // extra bits) in bits; a pointer's first-level bits are dropped already.
  // False when the input ends first.
  bool Lookup(const uint32_t *table, uint32_t rootBits, uint32_t *entry) {
    for (;;) {
      uint32_t e = table[static_cast<uint32_t>(bits) & ((1u << rootBits) - 1)];
      if (EntryIsPointer(e)) {
        if (count >= rootBits) {
          uint32_t index = static_cast<uint32_t>(bits >> rootBits) & ((1u << EntryCodeBits(e)) - 1);
          uint32_t f = table[(e >> kEntryValueShift) + index];
          if (rootBits + (f & kEntryDrop) <= count) {
            Drop(rootBits);
            *entry = f;
            return true;
          }
        }
      } else if ((e & kEntryDrop) <= count) {
        *entry = e;
        return true;
      } else if ((e & kEntryPair) && EntryCodeBits(e) <= count) {
        // The first of two literals is whole: it alone, in case the input
        // ends before the second.
        *entry = kEntryLiteral | EntryCodeBits(e) | (e & 0x00FF0000u);
        return true;
      }
      if (!Pull()) return false;
    }
  }
};

// The value of a length or distance entry whose bits are all in bits: the
// base plus the extra bits after the code.
inline uint32_t EntryValue(uint32_t e, uint64_t bits) {
  uint32_t low = static_cast<uint32_t>(bits) & ((1u << (e & kEntryDrop)) - 1);
  return (e >> kEntryValueShift) + (low >> EntryCodeBits(e));
}

// Copy a match of len bytes from distance back (within the decoded bytes) to
// out, in whole words: up to 15 bytes past its end are written too.
inline uint8_t *CopyMatch(uint8_t *out, uint32_t distance, uint32_t len) {
  const uint8_t *src = out - distance;
  uint8_t *end = out + len;
  if (distance >= 16) {
    do {
      memcpy(out, src, 16);
      out += 16;
      src += 16;
    } while (out < end);
  } else if (distance == 1) {
    uint64_t v = 0x0101010101010101ull * *src;
    do {
      Store64(out, v);
      out += 8;
    } while (out < end);
  } else if (distance < 8) {
    // The bytes repeat with the distance as period: a word of them, built
    // once, is stored at every multiple of the period that keeps the stores
    // overlapping (6 bytes apart for a distance of 3). Reading back what was
    // just stored, word by word, would wait on every store.
    uint64_t p = Load64(src) & ((uint64_t{1} << (8 * distance)) - 1);
    uint64_t w = p;
    for (uint32_t at = distance; at < 8; at += distance) w |= p << (8 * at);
    uint32_t step = 8 - 8 % distance;
    do {
      Store64(out, w);
      out += step;
    } while (out < end);
  } else {
    // 8 to 15 bytes back: word copies.
    while (out < end) {
      Copy8(out, src);
      out += 8;
      src += 8;
    }
  }
  return end;
}

enum FastExit : int32_t { FastNeedsCare = 0, FastBlockEnd = 1 };

// The fast loop of a Huffman block, while the buffer holds 8 input bytes and
// the area has room for a step. Each step starts with 56 or more bits,
// enough for any literal/length code with its extra bits and any distance
// code with its extra bits, and with the entry of its first code looked up
// already: the next entry is looked up as soon as the bits before it are
// dropped, from bits not yet refilled (the refill only adds bits above
// them), so that the lookups do not wait for the input. Returns
// FastNeedsCare when the input or the room runs short, FastBlockEnd after an
// end-of-block code, or an error status.
inline __attribute__((always_inline)) int32_t FastLoopBody(InflateDecoder *d, Input &input, uint8_t *&outRef) {
  const uint32_t *const lit = d->LitLen;
  const uint32_t *const dist = d->Dist;
  const uint8_t *const history = d->HistoryStart;
  uint64_t bits = input.bits;
  uint32_t count = input.count;
  const uint8_t *in = input.next;
  uint8_t *out = outRef;
  int32_t result = FastNeedsCare;
  if (static_cast<size_t>(input.end - in) < kFastInput || static_cast<size_t>(d->AreaEnd - out) < kFastRoom)
    return result;
  const uint8_t *const inLast = input.end - kFastInput;  // the last place a step may start
  uint8_t *const outLast = d->AreaEnd - kFastRoom;

  auto refill = [&] { RefillWord(bits, count, in); };
  auto drop = [&](uint32_t n) {
    bits >>= n;
    count -= n;
  };
  // One or two literals; the second byte of the store is overwritten later
  // when the entry holds one.
  auto literals = [&](uint32_t e) {
    Store16(out, e >> kEntryValueShift);
    out += 1 + ((e & kEntryPair) ? 1 : 0);
    drop(e & kEntryDrop);
  };

  refill();
  uint32_t e = lit[bits & kLitMask];
  for (;;) {
    if (e & kEntryLiteral) {
      // Up to three first-level entries (at most 11 bits each).
      literals(e);
      e = lit[bits & kLitMask];
      if (e & kEntryLiteral) {
        literals(e);
        e = lit[bits & kLitMask];
        if (e & kEntryLiteral) {
          literals(e);
          e = lit[bits & kLitMask];
        }
      }
    } else {
      if (e & kEntrySpecial) {
        if (!EntryIsPointer(e)) {
          if (e & kEntryEnd) {
            drop(e & kEntryDrop);
            result = FastBlockEnd;
          } else {
            result = QV_ERR_INFLATE_CODE;
          }
          break;
        }
        drop(kInflateLitLenBits);
        e = lit[(e >> kEntryValueShift) + (static_cast<uint32_t>(bits) & ((1u << EntryCodeBits(e)) - 1))];
        if (e & kEntryLiteral) {
          *out++ = static_cast<uint8_t>(e >> kEntryValueShift);
          drop(e & kEntryDrop);
          e = lit[bits & kLitMask];
          goto next;
        }
        if (e & kEntrySpecial) {
          if (e & kEntryEnd) {
            drop(e & kEntryDrop);
            result = FastBlockEnd;
          } else {
            result = QV_ERR_INFLATE_CODE;
          }
          break;
        }
      }
      uint32_t len = EntryValue(e, bits);
      drop(e & kEntryDrop);
      uint32_t f = dist[bits & kDistMask];
      if (f & kEntrySpecial) {
        if (!EntryIsPointer(f)) {
          result = QV_ERR_INFLATE_CODE;
          break;
        }
        drop(kInflateDistBits);
        f = dist[(f >> kEntryValueShift) + (static_cast<uint32_t>(bits) & ((1u << EntryCodeBits(f)) - 1))];
        if (f & kEntrySpecial) {
          result = QV_ERR_INFLATE_CODE;
          break;
        }
      }
      uint32_t distance = EntryValue(f, bits);
      drop(f & kEntryDrop);
      e = lit[bits & kLitMask];  // looked up again below when fewer bits were left
      if (distance > static_cast<size_t>(out - history)) {
        result = QV_ERR_INFLATE_DISTANCE;
        break;
      }
      out = CopyMatch(out, distance, len);
    }
  next:
    if (in > inLast || out > outLast) break;
    uint32_t before = count;
    refill();
    if (before < kInflateLitLenBits) e = lit[bits & kLitMask];
  }
  input.bits = bits;
  input.count = count;
  input.next = in;
  outRef = out;
  return result;
}

__attribute__((noinline)) int32_t FastLoopPlain(InflateDecoder *d, Input &input, uint8_t *&outRef) {
  return FastLoopBody(d, input, outRef);
}

#if QV_X86_VARIANTS
// The same loop for processors with BMI2, whose shifts by a register count
// are single instructions that leave the flags alone: most of the loop's
// work is shifts by the code lengths of the entries.
__attribute__((noinline, target("bmi2"))) int32_t FastLoopBmi2(InflateDecoder *d, Input &input, uint8_t *&outRef) {
  return FastLoopBody(d, input, outRef);
}
inline int32_t FastLoop(InflateDecoder *d, Input &input, uint8_t *&outRef) {
  return QV_CPU_HAS("bmi2") ? FastLoopBmi2(d, input, outRef) : FastLoopPlain(d, input, outRef);
}
#else
inline int32_t FastLoop(InflateDecoder *d, Input &input, uint8_t *&outRef) { return FastLoopPlain(d, input, outRef); }
#endif

// The repeat codes of code lengths: 16, the last length 3-6 times; 17, zero
// 3-10 times; 18, zero 11-138 times.
inline uint32_t RepeatExtraBits(uint32_t symbol) { return symbol == 16 ? 2 : symbol == 17 ? 3 : 7; }
inline uint32_t RepeatBase(uint32_t symbol) { return symbol == 18 ? 11 : 3; }

// The code lengths of a dynamic block, and its tables.
int32_t ReadTables(InflateDecoder *d, Input &input) {
  if (!input.Need(14)) return QV_ERR_INFLATE_TRUNCATED;
  uint32_t litCount = input.Take(5) + 257;
  uint32_t distCount = input.Take(5) + 1;
  uint32_t lengthCodes = input.Take(4) + 4;
  if (litCount > 286 || distCount > 30) return QV_ERR_INFLATE_LENGTHS;
  uint8_t *lengths = d->Lengths;
  memset(lengths, 0, 19);
  for (uint32_t i = 0; i < lengthCodes; ++i) {
    if (!input.Need(3)) return QV_ERR_INFLATE_TRUNCATED;
    lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(input.Take(3));
  }
  if (!InflateBuildTable(TableCodeLength, lengths, 19, d->CodeLengthTable, d->Sorted))
    return QV_ERR_INFLATE_LENGTHS;
  const uint32_t total = litCount + distCount;
  uint32_t i = 0;
  // One code-length symbol with the value of its extra bits: a length, or a
  // repeat. False when a repeat has no length before it or runs past the
  // lengths.
  auto putLength = [&](uint32_t symbol, uint32_t extra) -> bool {
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      return true;
    }
    uint32_t repeat = RepeatBase(symbol) + extra;
    if ((symbol == 16 && i == 0) || repeat > total - i) return false;
    memset(lengths + i, symbol == 16 ? lengths[i - 1] : 0, repeat);
    i += repeat;
    return true;
  };
  {
    // While 8 bytes of the buffer remain: a word of input at a time, and
    // four codes from it (a code has at most 7 bits, its extra bits at most
    // 7: 56 bits serve four).
    const uint32_t *const table = d->CodeLengthTable;
    uint64_t bits = input.bits;
    uint32_t count = input.count;
    const uint8_t *next = input.next;
    const uint8_t *const end = input.end;
    int32_t status = 0;
    while (i < total && static_cast<size_t>(end - next) >= kFastInput) {
      RefillWord(bits, count, next);
      for (int k = 0; k < 4 && i < total; ++k) {
        uint32_t e = table[static_cast<uint32_t>(bits) & ((1u << kInflateCodeLengthBits) - 1)];
        bits >>= e & kEntryDrop;
        count -= e & kEntryDrop;
        uint32_t symbol = e >> kEntryValueShift;
        uint32_t extra = 0;
        if (symbol >= 16) {
          extra = static_cast<uint32_t>(bits) & ((1u << RepeatExtraBits(symbol)) - 1);
          bits >>= RepeatExtraBits(symbol);
          count -= RepeatExtraBits(symbol);
        }
        if (!putLength(symbol, extra)) {
          status = QV_ERR_INFLATE_LENGTHS;
          break;
        }
      }
      if (status) break;
    }
    input.bits = bits;
    input.count = count;
    input.next = next;
    if (status) return status;
  }
  while (i < total) {
    uint32_t e;
    if (!input.Lookup(d->CodeLengthTable, kInflateCodeLengthBits, &e)) return QV_ERR_INFLATE_TRUNCATED;
    input.Drop(e & kEntryDrop);
    uint32_t symbol = e >> kEntryValueShift;
    uint32_t extra = 0;
    if (symbol >= 16) {
      if (symbol == 16 && i == 0) return QV_ERR_INFLATE_LENGTHS;
      if (!input.Need(RepeatExtraBits(symbol))) return QV_ERR_INFLATE_TRUNCATED;
      extra = input.Take(RepeatExtraBits(symbol));
    }
    if (!putLength(symbol, extra)) return QV_ERR_INFLATE_LENGTHS;
  }
  if (lengths[256] == 0) return QV_ERR_INFLATE_LENGTHS;  // no end-of-block code
  if (!InflateBuildTable(TableLitLen, lengths, litCount, d->LitLen, d->Sorted, !(d->Flags & InflateNoPairs)) ||
      !InflateBuildTable(TableDist, lengths + litCount, distCount, d->Dist, d->Sorted))
    return QV_ERR_INFLATE_LENGTHS;
  d->FixedTables = 0;
  return 0;
}

// Decode until want bytes wait to be read, the area is used up, or the
// stream ends or fails.
void Decode(InflateDecoder *d, size_t want) {
  Input input(d);
  uint8_t *out = d->Out;
  uint8_t *checked = out;  // decoded bytes before this one are in Adler
  uint8_t *const areaEnd = d->AreaEnd;
  const uint8_t *const readNext = d->ReadNext;
  int32_t state = d->State;
  int32_t status = 0;
  auto wanted = [&] { return static_cast<size_t>(out - readNext) >= want; };

  for (;;) {
    switch (state) {
      case StateZlibHeader: {
        if (!input.Need(16)) {
          status = QV_ERR_INFLATE_TRUNCATED;
          goto fail;
        }
        uint32_t method = input.Take(8), flags = input.Take(8);
        // Deflate with a window of at most 32 KiB, the check bits making the
        // pair a multiple of 31, no preset dictionary.
        if ((method & 15) != 8 || (method >> 4) > 7 || (method << 8 | flags) % 31 != 0 || (flags & 0x20)) {
          status = QV_ERR_INFLATE_HEADER;
          goto fail;
        }
        state = StateBlockHeader;
        break;
      }
      case StateBlockHeader: {
        if (!input.Need(3)) {
          status = QV_ERR_INFLATE_TRUNCATED;
          goto fail;
        }
        d->LastBlock = static_cast<uint8_t>(input.Take(1));
        uint32_t type = input.Take(2);
        if (type == 0) {
          input.Drop(input.count & 7);
          if (!input.Need(32)) {
            status = QV_ERR_INFLATE_TRUNCATED;
            goto fail;
          }
          uint32_t len = input.Take(16), complement = input.Take(16);
          if (len != (~complement & 0xFFFF)) {
            status = QV_ERR_INFLATE_STORED;
            goto fail;
          }
          d->StoredLeft = len;
          state = StateStored;
        } else if (type == 1) {
          if (!d->FixedTables) {
            InflateBuildTable(TableLitLen, kFixed.litLen, 288, d->LitLen, d->Sorted, !(d->Flags & InflateNoPairs));
            InflateBuildTable(TableDist, kFixed.dist, 32, d->Dist, d->Sorted);
            d->FixedTables = 1;
          }
          state = StateHuffman;
        } else if (type == 2) {
          status = ReadTables(d, input);
          if (status) goto fail;
          state = StateHuffman;
        } else {
          status = QV_ERR_INFLATE_BLOCK_TYPE;
          goto fail;
        }
        break;
      }
      case StateStored: {
        // Whole bytes still in bits first, then straight from the buffer.
        uint32_t left = d->StoredLeft;
        while (left && input.count && out < areaEnd) {
          *out++ = static_cast<uint8_t>(input.bits);
          input.Drop(8);
          --left;
        }
        if (input.count == 0) input.bits = 0;  // no stale copy of a byte about to be skipped
        while (left && out < areaEnd && !wanted()) {
          if (input.next == input.end && !input.Refill()) {
            d->StoredLeft = left;
            status = QV_ERR_INFLATE_TRUNCATED;
            goto fail;
          }
          size_t n = static_cast<size_t>(input.end - input.next);
          if (n > left) n = left;
          if (n > static_cast<size_t>(areaEnd - out)) n = static_cast<size_t>(areaEnd - out);
          memcpy(out, input.next, n);
          out += n;
          input.next += n;
          left -= static_cast<uint32_t>(n);
        }
        d->StoredLeft = left;
        if (left) goto leave;
        state = d->LastBlock ? StateTrailer : StateBlockHeader;
        break;
      }
      case StateHuffman: {
        for (;;) {
          int32_t r = FastLoop(d, input, out);
          if (r == FastBlockEnd) break;
          if (r < 0) {
            status = r;
            goto fail;
          }
          if (wanted() || static_cast<size_t>(areaEnd - out) < kMaxMatch) goto leave;
          // One symbol with the input taken a byte at a time.
          uint32_t e;
          if (!input.Lookup(d->LitLen, kInflateLitLenBits, &e)) {
            status = QV_ERR_INFLATE_TRUNCATED;
            goto fail;
          }
          if (e & kEntryLiteral) {
            Store16(out, e >> kEntryValueShift);
            out += 1 + ((e & kEntryPair) ? 1 : 0);
            input.Drop(e & kEntryDrop);
            continue;
          }
          if (e & kEntrySpecial) {
            if (!(e & kEntryEnd)) {
              status = QV_ERR_INFLATE_CODE;
              goto fail;
            }
            input.Drop(e & kEntryDrop);
            break;
          }
          uint32_t len = EntryValue(e, input.bits);
          input.Drop(e & kEntryDrop);
          if (!input.Lookup(d->Dist, kInflateDistBits, &e)) {
            status = QV_ERR_INFLATE_TRUNCATED;
            goto fail;
          }
          if (e & kEntrySpecial) {
            status = QV_ERR_INFLATE_CODE;
            goto fail;
          }
          uint32_t distance = EntryValue(e, input.bits);
          input.Drop(e & kEntryDrop);
          if (distance > static_cast<size_t>(out - d->HistoryStart)) {
            status = QV_ERR_INFLATE_DISTANCE;
            goto fail;
          }
          // The area has room for the longest match here, so the word-wide
          // copy's excess stays in the slack behind it.
          out = CopyMatch(out, distance, len);
        }
        state = d->LastBlock ? StateTrailer : StateBlockHeader;
        break;
      }
      case StateTrailer: {
        input.Drop(input.count & 7);
        if ((d->Flags & (InflateZlib | InflateNoCheck)) == InflateZlib) {
          d->Adler = InflateAdler32(d->Adler, checked, static_cast<size_t>(out - checked));
          checked = out;
          uint32_t stored = 0;
          for (int i = 0; i < 4; ++i) {
            if (!input.Need(8)) {
              status = QV_ERR_INFLATE_TRUNCATED;
              goto fail;
            }
            stored = stored << 8 | input.Take(8);
          }
          if (stored != d->Adler) {
            status = QV_ERR_INFLATE_CHECKSUM;
            goto fail;
          }
        }
        state = StateEnded;
        goto leave;
      }
      default:  // ended or failed
        goto leave;
    }
    if (wanted() && state != StateTrailer) goto leave;
  }
fail:
  d->Error = status;
  state = StateFailed;
leave:
  if ((d->Flags & (InflateZlib | InflateNoCheck)) == InflateZlib && out != checked)
    d->Adler = InflateAdler32(d->Adler, checked, static_cast<size_t>(out - checked));
  input.Save();
  d->Out = out;
  d->State = state;
}

// Once every decoded byte is read and the area is nearly used up, its last
// 32 KiB become the history and the area starts again behind them.
void MakeRoom(InflateDecoder *d) {
  if (static_cast<size_t>(d->AreaEnd - d->Out) >= kFastRoom) return;
  uint8_t *keep = d->Out - kHistory;
  size_t shift = static_cast<size_t>(keep - d->Window);
  memmove(d->Window, keep, kHistory);
  size_t history = static_cast<size_t>(d->HistoryStart - d->Window);
  d->HistoryStart = history > shift ? d->HistoryStart - shift : d->Window;
  d->Out = d->ReadNext = d->Window + kHistory;
}

}  // namespace

size_t InflateStorageSize(uint32_t bufferSize) {
  return Align8(sizeof(InflateDecoder)) + kHistory + kArea + kSlack + bufferSize;
}

InflateDecoder *InflateInit(void *storage, uint32_t bufferSize, uint8_t flags, InflateByteSource source,
                            void *sourceContext) {
  if (!storage || bufferSize == 0) return nullptr;
  auto *d = static_cast<InflateDecoder *>(storage);
  uint8_t *p = static_cast<uint8_t *>(storage) + Align8(sizeof(InflateDecoder));
  d->Window = p;
  d->Input = p + kHistory + kArea + kSlack;
  d->InputSize = bufferSize;
  d->Source = source;
  d->View = nullptr;
  d->SourceContext = sourceContext;
  d->Bits = 0;
  d->BitCount = 0;
  d->InNext = d->InEnd = d->Input;
  d->State = (flags & InflateZlib) ? StateZlibHeader : StateBlockHeader;
  d->Error = 0;
  d->StoredLeft = 0;
  d->Adler = 1;
  d->Flags = flags;
  d->LastBlock = 0;
  d->FixedTables = 0;
  d->HistoryStart = d->ReadNext = d->Out = d->Window + kHistory;
  d->AreaEnd = d->Out + kArea;
  return d;
}

void InflateUseView(InflateDecoder *d, InflateByteView view, void *viewContext) {
  d->View = view;
  d->SourceContext = viewContext;
}

InflateResult InflateRead(InflateDecoder *d, uint8_t *destination, size_t n) {
  size_t done = 0;
  for (;;) {
    size_t take = static_cast<size_t>(d->Out - d->ReadNext);
    if (take > n - done) take = n - done;
    if (take) {
      memcpy(destination + done, d->ReadNext, take);
      d->ReadNext += take;
      done += take;
    }
    bool drained = d->ReadNext == d->Out;
    if (done == n) return {done, drained && d->State == StateEnded ? InflateEnded : InflateMore};
    if (d->State == StateEnded) return {done, InflateEnded};
    if (d->State == StateFailed) return {done, d->Error};
    MakeRoom(d);
    Decode(d, n - done);
  }
}

int32_t InflateFinish(InflateDecoder *d) {
  for (;;) {
    if (d->ReadNext != d->Out) return InflateExcess;
    if (d->State == StateEnded) return InflateEnded;
    if (d->State == StateFailed) return d->Error;
    MakeRoom(d);
    Decode(d, 1);
  }
}

size_t InflateUnusedInput(const InflateDecoder *d) {
  if (d->State != StateEnded) return 0;
  return d->BitCount / 8 + static_cast<size_t>(d->InEnd - d->InNext);
}
