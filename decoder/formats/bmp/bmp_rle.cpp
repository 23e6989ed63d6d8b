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
#include "output/input_window.h"

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

// The next code pair, straight from the window where it holds both bytes.
inline void NextCode(ParamBlock *block, QueueWindow *w, uint32_t *a, uint32_t *b) {
  if (WindowBytes(w) >= 2) {
    *a = w->next[0];
    *b = w->next[1];
    w->next += 2;
  } else {
    *a = WindowByte(block, w);
    *b = WindowByte(block, w);
  }
}

// A finished row goes to the delivery, which may suspend: the window is
// handed back to the queue around it.
void PutRow(ParamBlock *block, RowDelivery *d, QueueWindow *w, const uint8_t *row) {
  CloseWindow(&block->InputQueue, w);
  DeliverRow(d, row);
  OpenWindow(&block->InputQueue, w);
}

}  // namespace

void DecodeRle8(ParamBlock *block, RowDelivery *d, uint8_t *row, uint32_t width, uint32_t rows) {
  QueueWindow w;
  OpenWindow(&block->InputQueue, &w);
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t x = 0;
    while (x < width) {
      uint32_t a, b;
      NextCode(block, &w, &a, &b);
      if (a > 0) {
        if (a > width - x) FailJob(block, QV_ERR_RLE_OVERRUN);
        if (a <= 8 && width - x >= 8) {
          // Short runs, the usual case in photographs: one 8-byte store whose
          // excess lands on pixels still to come.
          uint64_t v = b * 0x0101010101010101ull;
          memcpy(row + x, &v, 8);
        } else {
          memset(row + x, static_cast<int>(b), a);
        }
        x += a;
      } else if (b < 3) {
        CheckEscape(block, b, x, r + 1 == rows);
      } else {
        if (b > width - x) FailJob(block, QV_ERR_RLE_CODE);
        WindowRead(block, &w, row + x, b);
        if (b & 1) WindowByte(block, &w);  // the pad byte of an odd literal
        x += b;
      }
    }
    PutRow(block, d, &w, row);
  }
  CloseWindow(&block->InputQueue, &w);
}

void DecodeRle4(ParamBlock *block, RowDelivery *d, uint8_t *row, uint32_t width, uint32_t rows) {
  // Runs may fill the spare nibble of an odd-width row.
  uint32_t limit = width + (width & 1);
  uint8_t literal[128];  // at most 2 x ceil(255 / 4) bytes
  QueueWindow w;
  OpenWindow(&block->InputQueue, &w);
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t x = 0;
    while (x < width) {
      uint32_t a, b;
      NextCode(block, &w, &a, &b);
      if (a > 0) {
        if (a > limit - x) FailJob(block, QV_ERR_RLE_OVERRUN);
        // The pixels alternate b >> 4, b & 15: from an even position that is
        // the byte b repeated.
        if (x & 1) {
          PutNibble(row, x++, b >> 4);
          --a;
          b = (b << 4 | b >> 4) & 0xFF;
        }
        memset(row + (x >> 1), static_cast<int>(b), a >> 1);
        x += a & ~1u;
        if (a & 1) PutNibble(row, x++, b >> 4);
      } else if (b < 3) {
        CheckEscape(block, b, x, r + 1 == rows);
      } else {
        if (b > limit - x) FailJob(block, QV_ERR_RLE_OVERRUN);
        WindowRead(block, &w, literal, 2 * ((b + 3) / 4));
        for (uint32_t i = 0; i < b; ++i) {
          uint32_t byte = literal[i >> 1];
          PutNibble(row, x++, (i & 1) ? byte & 15 : byte >> 4);
        }
      }
    }
    PutRow(block, d, &w, row);
  }
  CloseWindow(&block->InputQueue, &w);
}
