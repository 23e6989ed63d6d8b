// Pieces of the deflate decompressor shared by its files: the layout of a
// table entry, the table builder and Adler-32.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "inflate.h"

// A table entry is 32 bits:
//   bits 0-7    bits to drop: the code, then the extra bits of a length or
//               distance; for two literals both codes; for a sub-table
//               pointer the first level's bits
//   bits 8-11   bits of the code itself (where a length's or distance's
//               extra bits begin; the first code's of two literals); for a
//               pointer the sub-table's bits; 0 in other entries with bit 14
//   bit 12      end of block
//   bit 13      two literals
//   bit 14      not a literal, length or distance: end of block (bit 12), a
//               pointer (sub-table bits), or a code that names no symbol
//   bit 15      literal
//   bits 16-31  the literal (and the second in bits 24-31), the base length
//               or distance, or the sub-table's first entry
// In a sub-table the drop and code counts are beyond the first level's bits.
constexpr uint32_t kEntryDrop = 0xFF;
constexpr uint32_t kEntryCodeShift = 8;
constexpr uint32_t kEntryEnd = 1u << 12;
constexpr uint32_t kEntryPair = 1u << 13;
constexpr uint32_t kEntrySpecial = 1u << 14;
constexpr uint32_t kEntryLiteral = 1u << 15;
constexpr uint32_t kEntryValueShift = 16;

inline uint32_t EntryCodeBits(uint32_t e) { return (e >> kEntryCodeShift) & 15; }
// An entry with bit 14 and sub-table bits is a pointer.
inline bool EntryIsPointer(uint32_t e) { return (e & kEntrySpecial) && EntryCodeBits(e) != 0; }

enum InflateTableKind : uint8_t { TableLitLen, TableDist, TableCodeLength };

// Build the table of a code from its symbols' code lengths (0 to 15, 0 for
// an unused symbol). False when the lengths are over-subscribed or
// incomplete; an incomplete code is accepted for lengths and distances when
// it has no code at all or a single code of one bit (the other bit pattern,
// like the unused entries, then names no symbol). Literal/length tables also
// get their pairs of short literals unless pairs is false. sorted has room
// for count symbols.
bool InflateBuildTable(InflateTableKind kind, const uint8_t *lengths, uint32_t count, uint32_t *table,
                       uint16_t *sorted, bool pairs = true);

// Adler-32 of data, continued from adler (1 for none yet).
uint32_t InflateAdler32(uint32_t adler, const uint8_t *data, size_t size);
