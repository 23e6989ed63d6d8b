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
#include "output/stream_rows.h"
#include "stream/stream.h"

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

// The next code pair, straight from the stream's window where it holds both bytes.
inline void NextCode(Stream *io, uint32_t *a, uint32_t *b) {
  InputWindow &w = io->Window;
  if (w.End - w.Next >= 2) {
    *a = w.Next[0];
    *b = w.Next[1];
    w.Next += 2;
  } else {
    *a = StreamByte(io);
    *b = StreamByte(io);
  }
}

// A finished row goes to the delivery: the codes read so far are handed back
// to the input queue first (the codes are read with a lagging front, see
// StreamLagFront).
void PutRow(Stream *io, StreamRows *d, const uint8_t *row) {
  StreamLagFront(io, false);
  StreamRowsDeliver(d, row);
  StreamLagFront(io, true);
}

}  // namespace

void DecodeRle8(Stream *io, StreamRows *d, uint8_t *row, uint32_t width, uint32_t rows) {
  ParamBlock *block = io->Block;
  StreamLagFront(io, true);
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t x = 0;
    while (x < width) {
      uint32_t a, b;
      NextCode(io, &a, &b);
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
        StreamRead(io, row + x, b);
        if (b & 1) StreamByte(io);  // the pad byte of an odd literal
        x += b;
      }
    }
    PutRow(io, d, row);
  }
  StreamLagFront(io, false);
}

void DecodeRle4(Stream *io, StreamRows *d, uint8_t *row, uint32_t width, uint32_t rows) {
  ParamBlock *block = io->Block;
  // Runs may fill the spare nibble of an odd-width row.
  uint32_t limit = width + (width & 1);
  uint8_t literal[128];  // at most 2 x ceil(255 / 4) bytes
  StreamLagFront(io, true);
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t x = 0;
    while (x < width) {
      uint32_t a, b;
      NextCode(io, &a, &b);
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
        StreamRead(io, literal, 2 * ((b + 3) / 4));
        for (uint32_t i = 0; i < b; ++i) {
          uint32_t byte = literal[i >> 1];
          PutNibble(row, x++, (i & 1) ? byte & 15 : byte >> 4);
        }
      }
    }
    PutRow(io, d, row);
  }
  StreamLagFront(io, false);
}

namespace {

// Pixels from x on, clipped at limit: count pixels of a run (value b; for
// nibbles the two halves of b alternately) or of a literal (its bytes, or
// their nibbles high first).
void PutRun(uint8_t *row, uint32_t x, uint32_t count, uint32_t b, uint32_t limit, bool nibbles) {
  if (x >= limit) return;
  uint32_t n = count < limit - x ? count : limit - x;
  if (!nibbles) {
    memset(row + x, static_cast<int>(b), n);
    return;
  }
  for (uint32_t i = 0; i < n; ++i) PutNibble(row, x + i, (i & 1) ? b & 15 : b >> 4);
}

void PutLiteral(uint8_t *row, uint32_t x, uint32_t count, const uint8_t *bytes, uint32_t limit,
                bool nibbles) {
  if (x >= limit) return;
  uint32_t n = count < limit - x ? count : limit - x;
  if (!nibbles) {
    memcpy(row + x, bytes, n);
    return;
  }
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t byte = bytes[i >> 1];
    PutNibble(row, x + i, (i & 1) ? byte & 15 : byte >> 4);
  }
}

}  // namespace

// Rows end where their pixels reach the width, as in the classic decoder.
// What follows a complete row is the next row's start only tentatively: an
// end of line arriving before that row is complete shows the pixels were the
// previous row's padding (writers pad rows to 4 bytes with runs that pass the
// width), and they are dropped.
void DecodeRleTolerant(Stream *io, StreamRows *d, uint8_t *row, uint32_t width, uint32_t rows,
                       bool nibbles) {
  // Runs may fill the spare nibble of an odd-width 4-bit row, as in the
  // classic decoder; whatever passes that is dropped.
  const uint32_t limit = nibbles ? width + (width & 1) : width;
  const uint32_t stride = d->Stride;
  uint8_t literal[256];
  StreamLagFront(io, true);
  uint32_t y = 0, x = 0;
  bool tentative = false;
  memset(row, 0, stride);
  while (y < rows) {
    if (x >= width) {
      PutRow(io, d, row);
      memset(row, 0, stride);
      ++y;
      x = 0;
      tentative = true;
      continue;
    }
    uint32_t a, b;
    NextCode(io, &a, &b);
    if (a > 0) {
      PutRun(row, x, a, b, limit, nibbles);
      x += a;
    } else if (b == 0) {  // end of line
      if (x > 0 && !tentative) {
        PutRow(io, d, row);
        ++y;
      }
      if (x > 0) memset(row, 0, stride);
      x = 0;
      tentative = false;
    } else if (b == 1) {  // end of bitmap: the rest is index 0
      if (tentative) memset(row, 0, stride);
      break;
    } else if (b == 2) {  // delta: right and down, the pixels passed over stay 0
      uint32_t dx = StreamByte(io), dy = StreamByte(io);
      tentative = false;
      for (; dy > 0 && y < rows; --dy) {
        PutRow(io, d, row);
        memset(row, 0, stride);
        ++y;
      }
      x += dx;
    } else {
      uint32_t n = nibbles ? 2 * ((b + 3) / 4) : b + (b & 1);
      StreamRead(io, literal, n);
      PutLiteral(row, x, b, literal, limit, nibbles);
      x += b;
    }
  }
  for (; y < rows; ++y) {
    PutRow(io, d, row);
    memset(row, 0, stride);
  }
  StreamLagFront(io, false);
}
