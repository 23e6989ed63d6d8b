// Raw Group 3 fax data has no header: what its first bytes say about it.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace qvhost {

enum class FaxBitOrder : uint8_t {
  MsbFirst = 1,  // FillOrder 1: the first bit of the code is a byte's most significant
  LsbFirst = 2,  // FillOrder 2
};

struct FaxGuess {
  bool startsWithEol = false;  // an EOL after optional zero fill, in some bit order
  bool certain = false;        // rows decode in one bit order and not in the other
  FaxBitOrder order = FaxBitOrder::MsbFirst;  // MSB-first when it cannot tell
  uint32_t width = 0;          // pixels of most one-dimensional rows, when one decoded
  uint32_t rows = 0;           // rows that decoded, one after another, in the bytes given
  uint32_t firstRows1D = 0;    // one-dimensional rows among the first 8 rows
  bool oneWidth = false;       // and all of them (at least one) have the same width
};

// Looks at the first n bytes (a few KiB tell more than a few bytes): whether
// they start with an EOL, and in which bit order more rows decode after it,
// read as one- or as two-dimensional data.
FaxGuess GuessFax(const uint8_t *head, size_t n);

// The same, read in one bit order as one- or two-dimensional data.
FaxGuess GuessFaxAs(const uint8_t *head, size_t n, FaxBitOrder order, bool twoD);

// Row widths fax pages are scanned at: A4, B4 and A3 at 8 pels/mm (200 dpi)
// and at 300, 400, 600 and 1200 dpi.
bool IsStandardFaxWidth(uint32_t width);

}  // namespace qvhost
