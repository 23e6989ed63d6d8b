// Two-dimensional rows: T.6 (MMR) and the two-dimensional rows of T.4 (MR).
//
// A row is decoded against the reference line (the previous row's changing
// elements) into the other list; its bits are then set from that list. The
// mode loop keeps the bit reader, a0 and the list pointers in locals, runs
// every V0 of a run of 1 bits without a table, and otherwise dispatches once
// on the next 7 bits to a handler that runs every mode whose code lies whole
// in those bits.
#include <string.h>

#include "codecs/ccitt/ccitt_bits.h"

namespace {

// What one dispatch on 7 bits runs. Each handler runs its modes in order
// and stops when one ends the row.
enum Handler : uint8_t {
  HEol,  // 0000000: an EOL (or EOFB) ends the row; anything else is invalid
  HExt,  // 0000001: the extension codes (uncompressed mode): not supported
  HV0,   // 1xxxxxx (run before the dispatch)
  HPass,
  HPassH,
  HPassVL1,
  HPassVR1,
  HH,
  HVL1,
  HVL1Pass,
  HVL1H,
  HVL1VL1,
  HVL1VR1,
  HVL1V0H,
  HVL1V0VL1,
  HVL1V0VR1,
  HVR1,
  HVR1Pass,
  HVR1H,
  HVR1VL1,
  HVR1VR1,
  HVR1V0H,
  HVR1V0VL1,
  HVR1V0VR1,
  HVL2,
  HVR2,
  HVL3,
  HVR3,
};

struct Dispatch {
  uint8_t h[128];
};

// The mode whose code starts at bit `at` (0 = most significant) of the
// 7-bit index, or -1 when no whole code lies there.
constexpr int ModeAt(uint32_t index, int at, int *length) {
  for (const FaxCode &c : kModeCodes) {
    if (at + c.length > 7) continue;
    if (((index >> (7 - at - c.length)) & ((1u << c.length) - 1)) == c.bits) {
      *length = c.length;
      return c.value;
    }
  }
  return -1;
}

// A pass, VL1 or VR1 code is followed, within the 7 bits, by: H, VL1 or VR1;
// a pass (after VL1 or VR1 only); or V0 and then H, VL1 or VR1 (after VL1
// or VR1 only). Runs of V0 are left to the V0 loop.
constexpr Dispatch MakeDispatch() {
  Dispatch d{};
  for (uint32_t i = 0; i < 128; ++i) {
    int len1 = 0, len2 = 0, len3 = 0;
    int m1 = ModeAt(i, 0, &len1);
    int m2 = m1 >= 0 ? ModeAt(i, len1, &len2) : -1;
    int m3 = m2 == ModeV0 ? ModeAt(i, len1 + len2, &len3) : -1;
    bool third = m3 == ModeHorizontal || m3 == ModeVL1 || m3 == ModeVR1;
    uint8_t h = HExt;
    if (i == 0) {
      h = HEol;
    } else if (m1 == ModeV0) {
      h = HV0;
    } else if (m1 == ModePass) {
      h = m2 == ModeHorizontal ? HPassH : m2 == ModeVL1 ? HPassVL1 : m2 == ModeVR1 ? HPassVR1 : HPass;
    } else if (m1 == ModeHorizontal) {
      h = HH;
    } else if (m1 == ModeVL1 || m1 == ModeVR1) {
      int base = m1 == ModeVL1 ? HVL1 : HVR1;
      int add = m2 == ModePass             ? 1
                : m2 == ModeHorizontal     ? 2
                : m2 == ModeVL1            ? 3
                : m2 == ModeVR1            ? 4
                : (m2 == ModeV0 && third)  ? (m3 == ModeHorizontal ? 5 : m3 == ModeVL1 ? 6 : 7)
                                           : 0;
      h = static_cast<uint8_t>(base + add);
    } else if (m1 == ModeVL2) {
      h = HVL2;
    } else if (m1 == ModeVR2) {
      h = HVR2;
    } else if (m1 == ModeVL3) {
      h = HVL3;
    } else if (m1 == ModeVR3) {
      h = HVR3;
    }
    d.h[i] = h;
  }
  return d;
}
constexpr Dispatch kDispatch = MakeDispatch();
static_assert(kDispatch.h[0x01] == HExt && kDispatch.h[0x09] == HPassH &&
                  kDispatch.h[0x29] == HVL1V0H && kDispatch.h[0x2C] == HVL1 &&
                  kDispatch.h[0x28] == HVL1 && kDispatch.h[0x0C] == HPass,
              "dispatch");

// A reference line closed at a larger width than this row's (the first row
// of raw fax data is decoded at the largest width): its entries beyond the
// row end at the row's width.
FAX_NOINLINE void ClampReference(uint32_t *ref, uint32_t count, uint32_t width) {
  for (uint32_t i = 0; i < count + 2; ++i)
    if (ref[i] > width) ref[i] = width;
}

}  // namespace

void FillRowFromChanges(uint8_t *row, const uint32_t *list, uint32_t width) {
  RowFiller fill(row, width);
  for (const uint32_t *p = list + 1;; p += 2) {
    uint32_t start = p[0], end = p[1];
    if (start >= width) break;
    // Runs end after their start and at or before the width; other pairs
    // (not from a decoder) are skipped.
    if (end - start > width - start) continue;
    fill.Black(start, end);
  }
}

void G4RowIn(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width) {
  FaxDecoder *st = j.st;
  if (st->CodedDataEnded) return;
  Stream *s = j.s;
  if (width > st->RowWidth) FailJob(block, QV_ERR_BAD_OPTION);
  uint32_t *cur = st->Recent == st->ChangeLists[0] ? st->ChangeLists[1] : st->ChangeLists[0];
  uint32_t *ref = st->Recent;
  if (ref[st->ChangeCount - 1] > width) ClampReference(ref, st->ChangeCount, width);
  const uint32_t *b1p = ref + 1;
  cur[0] = 0;
  uint32_t *out = cur + 1;
  uint32_t *outLimit = cur + ListRoomOf(st, cur);
  uint32_t a0 = 0;  // also the position that ended the row, when one did
  FaxBits b = BitsLoad(st, s);
  const CodeEntry *const modes = ModeCodeTable.entries;

  // The modes; each returns true when the row has ended.
  auto v0 = [&]() __attribute__((always_inline)) -> bool {
    uint32_t b1 = *b1p++;
    *out++ = a0 = b1;
    if (b1 >= width) return true;
    while (*b1p <= b1) b1p += 2;
    return false;
  };
  auto vr = [&](uint32_t n) __attribute__((always_inline)) -> bool {
    uint32_t a1 = *b1p++ + n;
    if (a1 >= width) {
      a0 = a1;
      return true;
    }
    *out++ = a0 = a1;
    while (*b1p <= a1) b1p += 2;
    return false;
  };
  auto vl = [&](uint32_t n) __attribute__((always_inline)) -> bool {
    uint32_t b1 = *b1p++;
    if (b1 < n) FailJob(block, QV_ERR_FAX_OVERRUN);  // left of the row's first pixel
    uint32_t a1 = b1 - n;
    if (a1 < a0) FailJob(block, QV_ERR_FAX_VERTICAL);
    *out++ = a0 = a1;
    // The next b1 may lie before the old one: start one entry back.
    b1p -= 2;
    while (*b1p <= a1) b1p += 2;
    return false;
  };
  auto pass = [&]() __attribute__((always_inline)) -> bool {
    a0 = b1p[1];
    b1p += 2;
    if (a0 >= width) return true;
    if (out != cur + 1)
      while (*b1p <= a0) b1p += 2;
    return false;
  };
  auto horizontal = [&]() __attribute__((always_inline)) -> bool {
    uint32_t r1, r2;
    bool whiteFirst = (out - cur) & 1;  // white at a0
    uint32_t pair = PairLookup(s, b, whiteFirst ? kWhiteBlackPairs : kBlackWhitePairs);
    if (pair) {
      Consume(b, static_cast<int>(pair >> 12));
      r1 = pair & 63;
      r2 = pair >> 6 & 63;
    } else if (whiteFirst) {
      r1 = RunLookup(block, s, b, WhiteRunTable, width);
      if (r1 == EolMarker) FailJob(block, QV_ERR_FAX_HORIZONTAL);
      r2 = RunLookup(block, s, b, BlackRunTable, width);
    } else {
      r1 = RunLookup(block, s, b, BlackRunTable, width);
      if (r1 == EolMarker) FailJob(block, QV_ERR_FAX_HORIZONTAL);
      r2 = RunLookup(block, s, b, WhiteRunTable, width);
    }
    if (r2 == EolMarker) FailJob(block, QV_ERR_FAX_HORIZONTAL);
    uint32_t a1 = a0 + r1, a2 = a1 + r2;
    *out++ = a1;
    if (a2 >= width) {
      a0 = a2;
      return true;
    }
    *out++ = a0 = a2;
    while (*b1p <= a2) b1p += 2;
    return false;
  };

// Run the modes of a handler: the first one's code is held whole (the
// refill saw to that); a later one's may not be at the end of the strip's
// data. Each mode's bits are consumed before it acts. A later mode waits
// for the list check at the loop's top when the list is past its room, so
// that a row with too many changes fails with -7118 before anything else,
// however many bits happen to be held.
#define FAX_FIRST(len, call) \
  Consume(b, len);           \
  if (call) goto reached;
#define FAX_MODE(len, call)  \
  if (b.count < (len) || out > outLimit) continue; \
  Consume(b, len);           \
  if (call) goto reached;

  // One label per Handler, in its order.
  static const void *const kHandlers[] = {
      &&hEol,      &&hExt,      &&hV0,      &&hPass,     &&hPassH,    &&hPassVL1,  &&hPassVR1,
      &&hH,        &&hVL1,      &&hVL1Pass, &&hVL1H,     &&hVL1VL1,   &&hVL1VR1,   &&hVL1V0H,
      &&hVL1V0VL1, &&hVL1V0VR1, &&hVR1,     &&hVR1Pass,  &&hVR1H,     &&hVR1VL1,   &&hVR1VR1,
      &&hVR1V0H,   &&hVR1V0VL1, &&hVR1V0VR1, &&hVL2,     &&hVR2,      &&hVL3,      &&hVR3,
  };
  static_assert(sizeof kHandlers / sizeof kHandlers[0] == HVR3 + 1, "one label per handler");

  for (;;) {
    if (out > outLimit) {
      size_t used = static_cast<size_t>(out - cur);
      cur = GrowChangeList(block, st, cur);
      out = cur + used;
      outLimit = cur + ListRoomOf(st, cur);
    }
    if (static_cast<int32_t>(b.acc) < 0) {
      // A V0 for every leading 1 bit (held bits only: the others are 0).
      int ones = b.acc == ~0u ? 32 : __builtin_clz(~b.acc);
      const uint32_t *bp = b1p;
      uint32_t *o = out;
      for (int i = 1;; ++i) {
        uint32_t b1 = *bp++;
        *o++ = b1;
        if (b1 >= width) {
          ones = i;
          break;
        }
        if (__builtin_expect(*bp <= b1, 0))
          do bp += 2;
          while (*bp <= b1);
        if (i == ones) break;
      }
      b.acc = (b.acc << 1) << (ones - 1);
      b.count -= ones;
      b1p = bp;
      out = o;
      a0 = o[-1];
      if (a0 >= width) goto reached;
      if (out > outLimit) continue;  // the list check first, as for a later mode
    }
    if (b.count < 7 && !RefillFor(s, b, modes, 7, true)) goto stands;
    goto *kHandlers[kDispatch.h[b.acc >> 25]];
    hEol: {
        // Look at the 12 bits without consuming them: an EOL or twelve
        // zeros ends the row and stays for the caller.
        while (b.count < 12) {
          if (CanLoad2(b)) {
            Load2(s, b);
          } else if (!Load1(s, b)) {
            break;
          }
        }
        uint16_t v = modes[ModeCodeTable.levels[1].offset + ((b.acc >> 20) & 31)].value;
        if (v != EolMarker && v != ZeroRunMarker) FailJob(block, QV_ERR_FAX_CODE);
        goto stands;
      }
    hExt:
      FailJob(block, QV_ERR_FAX_CODE);
    hV0:
      continue;  // a 1 bit that the refill brought: V0 above
    hPass:
      FAX_FIRST(4, pass());
      continue;
    hPassH:
      FAX_FIRST(4, pass());
      FAX_MODE(3, horizontal());
      continue;
    hPassVL1:
      FAX_FIRST(4, pass());
      FAX_MODE(3, vl(1));
      continue;
    hPassVR1:
      FAX_FIRST(4, pass());
      FAX_MODE(3, vr(1));
      continue;
    hH:
      FAX_FIRST(3, horizontal());
      continue;
    hVL1:
      FAX_FIRST(3, vl(1));
      continue;
    hVL1Pass:
      FAX_FIRST(3, vl(1));
      FAX_MODE(4, pass());
      continue;
    hVL1H:
      FAX_FIRST(3, vl(1));
      FAX_MODE(3, horizontal());
      continue;
    hVL1VL1:
      FAX_FIRST(3, vl(1));
      FAX_MODE(3, vl(1));
      continue;
    hVL1VR1:
      FAX_FIRST(3, vl(1));
      FAX_MODE(3, vr(1));
      continue;
    hVL1V0H:
      FAX_FIRST(3, vl(1));
      FAX_MODE(1, v0());
      FAX_MODE(3, horizontal());
      continue;
    hVL1V0VL1:
      FAX_FIRST(3, vl(1));
      FAX_MODE(1, v0());
      FAX_MODE(3, vl(1));
      continue;
    hVL1V0VR1:
      FAX_FIRST(3, vl(1));
      FAX_MODE(1, v0());
      FAX_MODE(3, vr(1));
      continue;
    hVR1:
      FAX_FIRST(3, vr(1));
      continue;
    hVR1Pass:
      FAX_FIRST(3, vr(1));
      FAX_MODE(4, pass());
      continue;
    hVR1H:
      FAX_FIRST(3, vr(1));
      FAX_MODE(3, horizontal());
      continue;
    hVR1VL1:
      FAX_FIRST(3, vr(1));
      FAX_MODE(3, vl(1));
      continue;
    hVR1VR1:
      FAX_FIRST(3, vr(1));
      FAX_MODE(3, vr(1));
      continue;
    hVR1V0H:
      FAX_FIRST(3, vr(1));
      FAX_MODE(1, v0());
      FAX_MODE(3, horizontal());
      continue;
    hVR1V0VL1:
      FAX_FIRST(3, vr(1));
      FAX_MODE(1, v0());
      FAX_MODE(3, vl(1));
      continue;
    hVR1V0VR1:
      FAX_FIRST(3, vr(1));
      FAX_MODE(1, v0());
      FAX_MODE(3, vr(1));
      continue;
    hVL2:
      FAX_FIRST(6, vl(2));
      continue;
    hVR2:
      FAX_FIRST(6, vr(2));
      continue;
    hVL3:
      FAX_FIRST(7, vl(3));
      continue;
    hVR3:
      FAX_FIRST(7, vr(3));
      continue;
  }
#undef FAX_MODE
#undef FAX_FIRST

reached:
  // A position was reached at or past the width.
  if (a0 > width) FailJob(block, QV_ERR_FAX_OVERRUN);
  goto close;
stands:
  // An EOL, EOFB or the end of the strip's data: the row ends as it stands,
  // the colour at a0 running to its end.
  if (a0 == 0) st->CodedDataEnded = true;
close:
  // A row whose last step took the list past every change a row can have
  // fails as it would have at the next step.
  if (out - cur > static_cast<ptrdiff_t>(st->RowWidth + kListValid)) FailJob(block, QV_ERR_FAX_CHANGES);
  out[0] = out[1] = out[2] = out[3] = width;
  st->ChangeCount = static_cast<uint32_t>(out - cur) + 2;
  st->Recent = cur;
  BitsStore(b, st, s);
  FillRowFromChanges(row, cur, width);
}

uint32_t G3Row2DIn(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width) {
  FaxDecoder *st = j.st;
  if (st->CodedDataEnded) return 0;
  if (!FindEolIn(block, j)) {
    // The data that ends at a row's start (input without RTC) ends the page.
    if (st->StripBytesLeft == 0 && st->BitAccumulator == 0) {
      st->CodedDataEnded = true;
      return 0;
    }
    FailJob(block, QV_ERR_FAX_NO_EOL);
  }
  uint32_t tag = PeekBitIn(block, j);
  if (tag == 0 && FindEolIn(block, j)) {  // the tag's 0 is one of the EOL's zeros
    st->CodedDataEnded = true;
    return 0;
  }
  st->BitAccumulator <<= 1;  // the tag bit
  st->BitCount -= 1;
  if (tag) {
    st->OneDimRowPending = false;
    if (FindEolIn(block, j)) {  // EOL 1 EOL: the page has ended
      st->CodedDataEnded = true;
      return 0;
    }
    return MhRowRecorded(block, j, row, width);
  }
  if (st->OneDimRowPending) FailJob(block, QV_ERR_FAX_FIRST_ROW_2D);
  G4RowIn(block, j, row, width);
  return width;
}
