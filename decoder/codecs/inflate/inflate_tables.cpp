// Decoding tables of canonical Huffman codes.
//
// Deflate sends a code's bits from the most significant down, packed from the
// lowest bit of each byte, so a table is indexed by the next bits of the
// input with the code reversed. Codes up to the first level's width fill
// every entry whose low bits are theirs; longer codes go to a sub-table per
// first-level prefix, sized for the longest code under that prefix.
#include <string.h>

#include "inflate_internal.h"

namespace {

// Base values and extra bits of length symbols 257..285 and distance
// symbols 0..29.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// What a symbol's entry holds besides its code's bit counts.
uint32_t SymbolEntry(InflateTableKind kind, uint32_t symbol) {
  switch (kind) {
    case TableLitLen:
      if (symbol < 256) return kEntryLiteral | symbol << kEntryValueShift;
      if (symbol == 256) return kEntrySpecial | kEntryEnd;
      if (symbol < 286)
        return static_cast<uint32_t>(kLengthBase[symbol - 257]) << kEntryValueShift |
               kLengthExtra[symbol - 257];
      return kEntrySpecial;  // 286 and 287 take part in the fixed code but name nothing
    case TableDist:
      if (symbol < 30)
        return static_cast<uint32_t>(kDistBase[symbol]) << kEntryValueShift | kDistExtra[symbol];
      return kEntrySpecial;  // 30 and 31
    case TableCodeLength:
      break;
  }
  return symbol << kEntryValueShift;
}

// The entry of a symbol whose code has len bits in its table. Entries that
// are not literals, lengths or distances keep sub-table bits 0.
uint32_t MakeEntry(uint32_t symbolEntry, uint32_t len) {
  return symbolEntry + len + ((symbolEntry & kEntrySpecial) ? 0 : len << kEntryCodeShift);
}

uint32_t Reverse(uint32_t code, uint32_t bits) {
  code = ((code >> 1) & 0x5555) | ((code & 0x5555) << 1);
  code = ((code >> 2) & 0x3333) | ((code & 0x3333) << 2);
  code = ((code >> 4) & 0x0F0F) | ((code & 0x0F0F) << 4);
  code = ((code >> 8) & 0x00FF) | ((code & 0x00FF) << 8);
  return code >> (16 - bits);
}

// An entry with two literals wherever a first-level literal leaves room for
// a second whole literal code among the first level's bits. The entry for
// the bits after the first code is the one at the index shifted by its
// length; going down from the top, that entry is still a single one.
void AddPairs(uint32_t *table, uint32_t rootBits) {
  for (uint32_t i = 1u << rootBits; i-- > 0;) {
    uint32_t e = table[i];
    if ((e & (kEntryLiteral | kEntryPair)) != kEntryLiteral) continue;
    uint32_t first = e & kEntryDrop;
    uint32_t f = table[i >> first];
    if ((f & (kEntryLiteral | kEntryPair)) != kEntryLiteral) continue;
    uint32_t both = first + (f & kEntryDrop);
    if (both > rootBits) continue;
    table[i] = kEntryLiteral | kEntryPair | both | first << kEntryCodeShift | (e & 0x00FF0000u) |
               (f & 0x00FF0000u) << 8;
  }
}

}  // namespace

bool InflateBuildTable(InflateTableKind kind, const uint8_t *lengths, uint32_t count, uint32_t *table,
                       uint16_t *sorted, bool pairs) {
  const uint32_t rootBits = kind == TableLitLen ? kInflateLitLenBits
                            : kind == TableDist ? kInflateDistBits
                                                : kInflateCodeLengthBits;
  const uint32_t tableSize = kind == TableLitLen ? kInflateLitLenTable
                             : kind == TableDist ? kInflateDistTable
                                                 : 1u << kInflateCodeLengthBits;
  uint32_t perLength[16] = {};
  for (uint32_t s = 0; s < count; ++s) ++perLength[lengths[s]];
  perLength[0] = 0;
  // Unused codes left at each length; below zero the lengths are over-subscribed.
  int32_t left = 1;
  uint32_t longest = 0, used = 0;
  for (uint32_t len = 1; len <= 15; ++len) {
    left = 2 * left - static_cast<int32_t>(perLength[len]);
    if (left < 0) return false;
    if (perLength[len]) longest = len;
    used += perLength[len];
  }
  const uint32_t root = 1u << rootBits;
  if (left > 0) {
    if (kind == TableCodeLength || !(used == 0 || (used == 1 && perLength[1] == 1))) return false;
    for (uint32_t i = 0; i < root; ++i) table[i] = kEntrySpecial | 1;  // one bit shows it names nothing
  }

  // Symbols in code order: by length, then by value.
  uint32_t start[16];
  start[1] = 0;
  for (uint32_t len = 1; len < 15; ++len) start[len + 1] = start[len] + perLength[len];
  for (uint32_t s = 0; s < count; ++s)
    if (lengths[s]) sorted[start[lengths[s]]++] = static_cast<uint16_t>(s);

  uint32_t code = 0;  // canonical code of the next symbol, most significant bit first
  uint32_t k = 0;     // its position in sorted
  uint32_t first = 1;  // the first length the loop below places
  if (left == 0) {
    // A complete code: the first level is built by doubling. Once the codes
    // up to a length are placed in the table's first 2^length entries, each
    // of those entries is what every entry with the same low bits holds, so
    // the table doubles by a copy of itself; the entries of longer codes are
    // written over the copies as their lengths come.
    uint32_t filled = 2;
    for (uint32_t len = 1; len <= rootBits; ++len, code <<= 1) {
      for (uint32_t c = 0; c < perLength[len]; ++c, ++k, ++code)
        table[Reverse(code, len)] = MakeEntry(SymbolEntry(kind, sorted[k]), len);
      if (len < rootBits) {
        memcpy(table + filled, table, filled * sizeof *table);
        filled *= 2;
      }
    }
    first = rootBits + 1;
  }
  uint32_t nextFree = root;
  uint32_t prefix = ~0u, subStart = 0, subBits = 0;
  for (uint32_t len = first; len <= longest; ++len, code <<= 1) {
    for (uint32_t c = 0; c < perLength[len]; ++c, ++k, ++code) {
      uint32_t symbol = sorted[k];
      uint32_t reversed = Reverse(code, len);
      if (len <= rootBits) {
        uint32_t e = MakeEntry(SymbolEntry(kind, symbol), len);
        for (uint32_t i = reversed; i < root; i += 1u << len) table[i] = e;
      } else {
        if ((reversed & (root - 1)) != prefix) {
          // A new prefix: its codes are the next ones in code order, and fill
          // its subtree completely; the sub-table is as deep as the deepest.
          prefix = reversed & (root - 1);
          subBits = len - rootBits;
          int32_t space = 1 << subBits;
          for (uint32_t l = len;; ++l) {
            space -= static_cast<int32_t>(perLength[l] - (l == len ? c : 0));
            if (space <= 0 || l == longest) break;
            space <<= 1;
            ++subBits;
          }
          if (nextFree + (1u << subBits) > tableSize) return false;  // cannot happen for a complete code
          subStart = nextFree;
          nextFree += 1u << subBits;
          table[prefix] =
              kEntrySpecial | rootBits | subBits << kEntryCodeShift | subStart << kEntryValueShift;
        }
        uint32_t rest = len - rootBits;
        uint32_t e = MakeEntry(SymbolEntry(kind, symbol), rest);
        for (uint32_t i = reversed >> rootBits; i < (1u << subBits); i += 1u << rest) table[subStart + i] = e;
      }
    }
  }
  if (kind == TableLitLen && pairs) AddPairs(table, rootBits);
  return true;
}
