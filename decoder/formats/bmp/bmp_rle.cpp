// Run-length coded BMP rows: RLE8 and RLE4.
//
// Each code is a byte pair (a, b). a > 0 is a run of a pixels; a = 0 is an
// escape: b = 0 ends a line, b = 1 ends the bitmap, b = 2 is a delta (not
// supported), b >= 3 introduces b literal pixels padded to a 16-bit boundary.
// A row is handed over as soon as its last pixel is written, so the end of
// line that follows it is met (and skipped) at the start of the next row.
#include <string.h>

#include "bmp_internal.h"
#include "engine/engine.h"
#include "engine/queue.h"

namespace {

// The escape codes that are the same for both depths. Returns normally only
// for the codes that leave the row position alone (end of line at the start
// of a row, end of bitmap at the start of the last row).
void CheckEscape(ParamBlock *block, uint32_t b, uint32_t x, bool lastRow) {
  if (b == 0) {
    if (x != 0) FailJob(block, QV_ERR_RLE_OVERRUN);  // end of line inside a row
  } else if (b == 1) {
    if (x != 0 || !lastRow) FailJob(block, QV_ERR_RLE_OVERRUN);  // rows ended early
  } else {
    FailJob(block, QV_ERR_RLE_CODE);  // delta
  }
}

// Pixels arrive in order, so the high nibble of a byte is always written
// first: writing it clears the low one, which is as if the row had been
// zeroed at its start (the spare nibble of an odd-width row included).
inline void PutNibble(uint8_t *row, uint32_t x, uint32_t v) {
  if (x & 1)
    row[x >> 1] |= static_cast<uint8_t>(v);
  else
    row[x >> 1] = static_cast<uint8_t>(v << 4);
}

}  // namespace

void DecodeRle8(ParamBlock *block, RowDelivery *d, uint8_t *row, uint32_t width, uint32_t rows) {
  DataQueue *in = &block->InputQueue;
  uint8_t code[2];
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t x = 0;
    while (x < width) {
      ReadInput(block, code, in, 2);
      uint32_t a = code[0], b = code[1];
      if (a > 0) {
        if (a > width - x) FailJob(block, QV_ERR_RLE_OVERRUN);
        memset(row + x, code[1], a);
        x += a;
      } else if (b < 3) {
        CheckEscape(block, b, x, r + 1 == rows);
      } else {
        if (b > width - x) FailJob(block, QV_ERR_RLE_CODE);
        ReadInput(block, row + x, in, b);
        if (b & 1) SkipInput(block, in, 1);  // the pad byte of an odd literal
        x += b;
      }
    }
    DeliverRow(d, row);
  }
}

void DecodeRle4(ParamBlock *block, RowDelivery *d, uint8_t *row, uint32_t width, uint32_t rows) {
  DataQueue *in = &block->InputQueue;
  // Runs may fill the spare nibble of an odd-width row.
  uint32_t limit = width + (width & 1);
  uint8_t code[2];
  uint8_t literal[128];  // at most 2 x ceil(255 / 4) bytes
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t x = 0;
    while (x < width) {
      ReadInput(block, code, in, 2);
      uint32_t a = code[0], b = code[1];
      if (a > 0) {
        if (a > limit - x) FailJob(block, QV_ERR_RLE_OVERRUN);
        uint32_t hi = b >> 4, lo = b & 15;
        for (uint32_t i = 0; i < a; ++i) PutNibble(row, x++, (i & 1) ? lo : hi);
      } else if (b < 3) {
        CheckEscape(block, b, x, r + 1 == rows);
      } else {
        if (b > limit - x) FailJob(block, QV_ERR_RLE_OVERRUN);
        uint32_t n = 2 * ((b + 3) / 4);
        ReadInput(block, literal, in, n);
        for (uint32_t i = 0; i < b; ++i) {
          uint32_t byte = literal[i >> 1];
          PutNibble(row, x++, (i & 1) ? byte & 15 : byte >> 4);
        }
      }
    }
    DeliverRow(d, row);
  }
}
