#include "fax_detect.h"

#include <initializer_list>

#include "codecs/ccitt/ccitt_tables.h"

namespace qvhost {
namespace {

// Bits of the head in one bit order; past the end every bit reads as 0 and
// Left() says how many real ones remain.
struct Bits {
  const uint8_t *p;
  size_t n;
  bool lsbFirst;
  size_t pos = 0;
  size_t Left() const { return n * 8 > pos ? n * 8 - pos : 0; }
  int At(size_t i) const {
    if (i >= n * 8) return 0;
    int shift = lsbFirst ? static_cast<int>(i & 7) : 7 - static_cast<int>(i & 7);
    return (p[i >> 3] >> shift) & 1;
  }
  int Next() { return At(pos++); }
  // Zero bits from here to the next 1 (the bits left, when none comes).
  size_t ZerosAhead() const {
    size_t z = 0;
    while (pos + z < n * 8 && At(pos + z) == 0) ++z;
    return z;
  }
};

// An EOL: at least 11 zeros (fill included) and a 1.
bool TakeEol(Bits &b) {
  size_t z = b.ZerosAhead();
  if (z < 11 || b.pos + z >= b.n * 8) return false;
  b.pos += z + 1;
  return true;
}

// One code of a colour: the run (make-up or terminating), -1 when the bits
// begin no code of the colour.
int TakeCode(Bits &b, bool white, bool *makeUp) {
  const FaxCode *term = white ? kWhiteTerminating : kBlackTerminating;
  const FaxCode *mk = white ? kWhiteMakeUp : kBlackMakeUp;
  uint32_t code = 0;
  for (int len = 1; len <= 13 && b.Left(); ++len) {
    code = code << 1 | static_cast<uint32_t>(b.Next());
    for (int i = 0; i < 64; ++i)
      if (term[i].length == len && term[i].bits == code) {
        *makeUp = false;
        return term[i].value;
      }
    for (int i = 0; i < 27; ++i)
      if (mk[i].length == len && mk[i].bits == code) {
        *makeUp = true;
        return mk[i].value;
      }
    for (const FaxCode &c : kExtendedMakeUp)
      if (c.length == len && c.bits == code) {
        *makeUp = true;
        return c.value;
      }
  }
  return -1;
}

// One one-dimensional row up to the next EOL; its pixels, or 0 when the
// bits are no such row (or the head ends inside it).
uint32_t TakeRow(Bits &b) {
  uint32_t x = 0;
  bool white = true;
  for (;;) {
    if (b.ZerosAhead() >= 11) return x;  // the next EOL ends the row
    int run = 0;
    bool makeUp = true;
    while (makeUp) {
      int r = TakeCode(b, white, &makeUp);
      if (r < 0 || x + run + r > 65535) return 0;
      run += r;
    }
    x += static_cast<uint32_t>(run);
    white = !white;
  }
}

// One two-dimensional row up to the next EOL: every code a mode code, and
// the runs of horizontal modes codes of their colours. Positions are not
// followed (they need the row above).
bool TakeRow2D(Bits &b) {
  bool white = true;
  for (int modes = 0; modes < 20000; ++modes) {
    if (b.ZerosAhead() >= 11) return true;
    if (b.Left() == 0) return false;
    int mode = -1;
    uint32_t code = 0;
    for (int len = 1; len <= 7 && mode < 0; ++len) {
      code = code << 1 | static_cast<uint32_t>(b.Next());
      for (const FaxCode &c : kModeCodes)
        if (c.length == len && c.bits == code) mode = c.value;
    }
    if (mode < 0) return false;  // the extension codes
    if (mode == ModeHorizontal) {
      for (int run = 0; run < 2; ++run) {
        bool makeUp = true;
        while (makeUp)
          if (TakeCode(b, run == 0 ? white : !white, &makeUp) < 0) return false;
      }
    } else if (mode != ModePass) {
      white = !white;
    }
  }
  return false;
}

// Rows that decode from the start in one bit order, read as one- or as
// two-dimensional data.
FaxGuess Try(const uint8_t *head, size_t n, bool lsbFirst, bool twoD) {
  FaxGuess g;
  Bits b{head, n, lsbFirst};
  if (!TakeEol(b)) return g;
  g.startsWithEol = true;
  uint32_t widths[64];
  uint32_t rows1D = 0;
  while (b.Left() > 0) {
    bool oneD = !twoD || b.Next() == 1;
    if (oneD) {
      uint32_t w = TakeRow(b);
      if (w == 0) break;
      if (g.rows < 8) {
        g.oneWidth = g.firstRows1D == 0 || (g.oneWidth && w == widths[0]);
        ++g.firstRows1D;
      }
      if (rows1D < 64) widths[rows1D++] = w;
    } else if (!TakeRow2D(b)) {
      break;
    }
    if (!TakeEol(b)) break;  // also when the head ends inside the row
    ++g.rows;
  }
  // The width most rows have (a damaged row may be longer or shorter).
  uint32_t best = 0;
  for (uint32_t i = 0; i < rows1D; ++i) {
    uint32_t same = 0;
    for (uint32_t j = 0; j < rows1D; ++j) same += widths[j] == widths[i];
    if (same > best) {
      best = same;
      g.width = widths[i];
    }
  }
  return g;
}

}  // namespace

FaxGuess GuessFaxAs(const uint8_t *head, size_t n, FaxBitOrder order, bool twoD) {
  FaxGuess g = Try(head, n, order == FaxBitOrder::LsbFirst, twoD);
  g.order = order;
  return g;
}

bool IsStandardFaxWidth(uint32_t width) {
  for (uint32_t w : {1728u, 2048u, 2432u, 2592u, 3072u, 3648u, 3456u, 4096u, 4864u, 5184u, 6144u, 7296u,
                     10368u, 12288u, 14592u})
    if (width == w) return true;
  return false;
}

FaxGuess GuessFax(const uint8_t *head, size_t n) {
  FaxGuess msb, lsb;
  for (bool twoD : {false, true}) {
    FaxGuess m = Try(head, n, false, twoD), l = Try(head, n, true, twoD);
    if (m.rows > msb.rows || (!msb.startsWithEol && m.startsWithEol)) msb = m;
    if (l.rows > lsb.rows || (!lsb.startsWithEol && l.startsWithEol)) lsb = l;
  }
  bool useLsb = lsb.startsWithEol && (!msb.startsWithEol || lsb.rows > msb.rows);
  FaxGuess g = useLsb ? lsb : msb;
  g.order = useLsb ? FaxBitOrder::LsbFirst : FaxBitOrder::MsbFirst;
  g.certain = g.startsWithEol && msb.rows != lsb.rows;
  return g;
}

}  // namespace qvhost
