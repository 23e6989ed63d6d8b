// The shared fax machinery (set-up, bit reader, run lookup, EOL search) and
// the one-dimensional rows: modified Huffman and T.4 1-D.
#include <string.h>

#include "codecs/ccitt/ccitt_bits.h"

namespace {

// Widths whose lists could not be sized: larger than any row buffer.
constexpr uint32_t kMaxWidth = 1u << 28;

// The list of an all-white row of the given width.
void ResetToWhite(FaxDecoder *st, uint32_t width) {
  st->Recent = st->ChangeLists[0];
  uint32_t *l = st->Recent;
  l[0] = 0;
  l[1] = l[2] = l[3] = l[4] = width;
  st->ChangeCount = 3;
}

}  // namespace

void FaxSetup(FaxDecoder *st, Stream *in, uint32_t width, bool reverseBits) {
  ParamBlock *block = in->Block;
  st->In = in;
  if (width > kMaxWidth) FailJob(block, QV_ERR_BUFFER);
  uint32_t room = (width < kListInitialRoom ? width : kListInitialRoom) + kListValid;
  size_t bytes = (static_cast<size_t>(room) - kListValid + kListSpare) * sizeof(uint32_t);
  for (int i = 0; i < 2; ++i) {
    int slot;
    st->ChangeLists[i] = static_cast<uint32_t *>(JobBufferOrFail(block, bytes, QV_ERR_BUFFER, &slot));
    st->ListRoom[i] = room;
    st->ListSlots[i] = slot;
  }
  if (reverseBits) {
    uint8_t *buffer = static_cast<uint8_t *>(JobBufferOrFail(block, kReversalBufferSize));
    StreamReverseInput(in, buffer);
  }
  st->RowWidth = width;
  ResetToWhite(st, width);
}

uint32_t *GrowChangeList(ParamBlock *block, FaxDecoder *st, uint32_t *list) {
  int i = list == st->ChangeLists[0] ? 0 : 1;
  const uint32_t full = st->RowWidth + kListValid;
  uint32_t room = st->ListRoom[i];
  if (room >= full) FailJob(block, QV_ERR_FAX_CHANGES);
  room = room > full / 2 ? full : 2 * room;
  size_t bytes = (static_cast<size_t>(room) - kListValid + kListSpare) * sizeof(uint32_t);
  uint32_t *grown = static_cast<uint32_t *>(ReallocJobBuffer(block, st->ListSlots[i], bytes));
  if (!grown) FailJob(block, QV_ERR_BUFFER);
  if (st->Recent == list) st->Recent = grown;
  st->ChangeLists[i] = grown;
  st->ListRoom[i] = room;
  return grown;
}

void FaxStartStrip(FaxDecoder *st, uint32_t byteCount) {
  st->BitAccumulator = 0;
  st->BitCount = 0;
  st->StripBytesLeft = static_cast<int32_t>(byteCount);  // 2^31 and above: no limit
  st->OneDimRowPending = true;
  // Each strip is coded on its own: an end of page met in an earlier strip
  // does not blank this one.
  st->CodedDataEnded = false;
  ResetToWhite(st, st->RowWidth);
}

void AlignToByte(FaxDecoder *st) {
  if (st->BitCount <= 0) {
    // Bits past the strip's end were used: nothing of the byte is left.
    st->BitAccumulator = 0;
    st->BitCount = 0;
    return;
  }
  int k = st->BitCount & 7;
  st->BitAccumulator <<= k;
  st->BitCount -= k;
}

// ---- Bit reader -------------------------------------------------------------

int FetchByteSlow(Stream *s, FaxBits *b) {
  s->Window.Next = b->next;
  s->Window.End = b->end;
  uint8_t v;
  if (b->left >= 0) {
    v = StreamNextByte(s);
  } else if (!StreamNextByteUntilEnd(s, &v)) {
    // No limit: the end of the input is the end of the data, whenever the
    // host says so.
    b->next = s->Window.Next;
    b->end = s->Window.End;
    b->left = 0;
    return -1;
  }
  b->next = s->Window.Next;
  b->end = s->Window.End;
  return v;
}

bool RefillCareful(Stream *s, FaxBits *b, const CodeEntry *level, int w,
                   bool invalidEnds) {
  if (b->left < 0) {
    while (level[b->acc >> (32 - w)].length > b->count && Load1(s, *b)) {
    }
  }
  if (b->left != 0) return true;
  const CodeEntry &e = level[b->acc >> (32 - w)];
  return e.length <= b->count && !(invalidEnds && e.value == kEntryInvalid);
}

void FailBadCode(ParamBlock *block) { FailJob(block, QV_ERR_FAX_CODE); }

uint32_t MakeUpSum(ParamBlock *block, uint32_t sum, uint32_t add, uint32_t width) {
  sum += add;
  // No row holds a longer run: fail now rather than read on through a
  // file's worth of make-up codes.
  if (sum > width) FailJob(block, QV_ERR_FAX_OVERRUN);
  return sum;
}

uint32_t RunLookupDeeper(ParamBlock *block, Stream *s, FaxBits *bits, const CodeTable &t, CodeEntry e,
                         uint32_t sum, uint32_t width) {
  FaxBits &b = *bits;
  // One loop, however many make-up codes the run has: e is the entry of the
  // next code at level 0 (9 bits) or at a deeper level.
  for (;;) {
    if (e.value == kEntryInvalid) FailBadCode(block);
    Consume(b, e.length);
    if (e.value < kEntryMakeUp) return sum + e.value;
    if (e.value >= EolMarker) {
      // An EOL or twelve zeros: put the twelve bits back.
      b.count += 12;
      b.acc >>= 12;
      if (e.value == EolMarker) b.acc |= 1u << 20;
      return sum ? sum : EolMarker;
    }
    const CodeEntry *level = t.entries;
    int bits = 9;
    if (e.value < kEntryNextLevel) {
      // A make-up code (one of more than 9 bits, or any that follows one):
      // more codes of the run follow, from level 0.
      sum = MakeUpSum(block, sum, e.value & 0x3FFF, width);
    } else {
      const CodeLevel &lv = t.levels[e.value & 0x3FFF];
      level = t.entries + lv.offset;
      bits = lv.width;
    }
    if (b.count < bits && !RefillFor(s, b, level, bits)) return sum ? sum : EolMarker;
    e = level[b.acc >> (32 - bits)];
  }
}

namespace {
// The zeros before the accumulator's first 1 bit, and that bit.
void ConsumeThroughFirstOne(FaxBits &b) {
  int n = __builtin_clz(b.acc) + 1;
  b.acc = n >= 32 ? 0 : b.acc << n;
  b.count -= n;
}
}  // namespace

bool FindEolBits(ParamBlock *block, Stream *s, FaxBits &b) {
  // Without a limit the data ends with the input: zero fill up to there is
  // the end of the data, not a failure (however many bytes were held).
  const bool noLimit = b.left < 0;
  if (b.acc == 0) {
    // Every held bit is 0 (or none is held): load up to two bytes below them.
    int want = (b.left >= 2 || b.left < 0) ? 2 : b.left;
    if (want == 0) return false;
    // Fill and the EOL's zeros may fill the accumulator: keep 16 (or 24)
    // of them, still more than an EOL's 11.
    int keep = 32 - 8 * want;
    if (b.count > keep) b.count = keep;
    if (b.count < 0) b.count = 0;
    int got = 0;
    while (got < want && Load1(s, b)) ++got;
    if (got == 0) return false;
    if (got == 1 && b.count < 12) return false;
    if (b.acc == 0) {
      // Still all zero: drop them and read whole bytes until one holds a 1;
      // the EOL ends with it (at least 16 zeros were seen).
      b.count = 0;
      do {
        if (!Load1(s, b)) {
          if (noLimit) return false;
          FailJob(block, QV_ERR_FAX_FILL);
        }
        if (b.acc == 0) b.count = 0;
      } while (b.acc == 0);
      ConsumeThroughFirstOne(b);
      return true;
    }
  }
  if (b.acc >> 21) return false;  // a 1 among the first 11 bits: no EOL here
  ConsumeThroughFirstOne(b);
  return true;
}

bool FindEolIn(ParamBlock *block, const FaxJob &j) {
  FaxBits b = BitsLoad(j.st, j.s);
  bool found = FindEolBits(block, j.s, b);
  BitsStore(b, j.st, j.s);
  return found;
}

uint32_t PeekBitIn(ParamBlock *block, const FaxJob &j) {
  FaxBits b = BitsLoad(j.st, j.s);
  if (b.count <= 0) {
    b.acc = 0;
    b.count = 0;
    if (!Load1(j.s, b)) FailJob(block, QV_ERR_FAX_FILL);
  }
  BitsStore(b, j.st, j.s);
  return b.acc >> 31;
}

// ---- One-dimensional rows ---------------------------------------------------------

namespace {

// The reader's state at the start of a run, with its file position (a row
// replayed after a failure: the start of the run that failed is kept).
FAX_NOINLINE void TrackRun(FaxDecoder *st, Stream *s, const FaxBits &b) {
  BitsStore(b, st, s);
  st->Track = {st->BitAccumulator, st->BitCount, st->StripBytesLeft, StreamInputPosition(s)};
}

// One modified Huffman row; with kRecord its changes become the most recent
// list (the reference line of a two-dimensional row to follow); with kTrack
// the start of every run is noted (TrackRun).
template <bool kRecord, bool kTrack = false>
uint32_t MhRow(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width) {
  FaxDecoder *st = j.st;
  Stream *s = j.s;
  if (width > st->RowWidth) FailJob(block, QV_ERR_BAD_OPTION);
  FaxBits b = BitsLoad(st, s);
  uint32_t *list = st->Recent;
  uint32_t limit = ListRoomOf(st, list);
  uint32_t k = 1;
  RowFiller fill(row, width);
  auto append = [&](uint32_t p) __attribute__((always_inline)) {
    if (!kRecord) return;
    if (k >= limit) {
      list = GrowChangeList(block, st, list);
      limit = ListRoomOf(st, list);
    }
    list[k++] = p;
  };
  uint32_t p = 0;
  if (kTrack) TrackRun(st, s, b);
  uint32_t w = RunLookup(block, s, b, WhiteRunTable, width);
  if (w != EolMarker) {
    p = w;
    while (p < width) {
      append(p);  // a black run starts
      if constexpr (kTrack) {
        TrackRun(st, s, b);
      } else {
        // Short black and white runs, the most common pair, in one lookup;
        // not when the black run reaches the row's end (the bits after it
        // are not this row's).
        uint32_t pair = PairLookup(s, b, kBlackWhitePairs);
        uint32_t e = p + (pair & 63);
        if (pair && e < width) {
          Consume(b, static_cast<int>(pair >> 12));
          fill.Black(p, e);
          append(e);
          p = e + (pair >> 6 & 63);
          continue;
        }
      }
      uint32_t r = RunLookup(block, s, b, BlackRunTable, width);
      if (r == EolMarker) break;  // the row ends black from p
      uint32_t e = p + r;
      if (e > width) FailJob(block, QV_ERR_FAX_OVERRUN);
      fill.Black(p, e);
      p = e;
      if (p == width) break;
      append(p);  // a white run starts
      if (kTrack) TrackRun(st, s, b);
      w = RunLookup(block, s, b, WhiteRunTable, width);
      if (w == EolMarker) break;
      p += w;
    }
    if (p > width) FailJob(block, QV_ERR_FAX_OVERRUN);
  }
  if (p == 0) st->CodedDataEnded = true;
  if (kRecord) {
    list[0] = 0;
    list[k] = list[k + 1] = list[k + 2] = list[k + 3] = width;
    st->ChangeCount = k + 2;
  }
  BitsStore(b, st, s);
  return p;
}

}  // namespace

uint32_t MhRowRecorded(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width) {
  return MhRow<true>(block, j, row, width);
}

uint32_t G3Row1DIn(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width) {
  if (j.st->CodedDataEnded) return 0;
  // One EOL before a row is optional; two end the page.
  if (FindEolIn(block, j) && FindEolIn(block, j)) {
    j.st->CodedDataEnded = true;
    return 0;
  }
  return MhRow<false>(block, j, row, width);
}

// ---- The decoder's entry --------------------------------------------------------

namespace {

struct RowCall {
  FaxDecoder *d;
  FaxCoding coding;
  uint8_t *row;
  uint32_t width;
  uint32_t pixels;
};

void DecodeRowCaught(void *argument) {
  RowCall &c = *static_cast<RowCall *>(argument);
  ParamBlock *block = c.d->In->Block;
  FaxJob j{c.d, c.d->In};
  switch (c.coding) {
    case FaxCoding::Mh:
      c.pixels = MhRowRecorded(block, j, c.row, c.width);
      AlignToByte(c.d);
      break;
    case FaxCoding::G3:
      c.pixels = G3Row1DIn(block, j, c.row, c.width);
      break;
    case FaxCoding::G3TwoD:
      c.pixels = G3Row2DIn(block, j, c.row, c.width);
      break;
    case FaxCoding::G4:
      G4RowIn(block, j, c.row, c.width);
      c.pixels = c.width;
      break;
  }
}

}  // namespace

int32_t FaxDecodeRow(FaxDecoder *d, FaxCoding coding, uint8_t *row, uint32_t width, uint32_t *pixels) {
  RowCall c{d, coding, row, width, 0};
  int32_t status = CatchFailure(d->In->Block, DecodeRowCaught, &c);
  *pixels = status ? 0 : c.pixels;
  return status;
}

// ---- Damaged data ---------------------------------------------------------------

namespace {

void Restore(FaxDecoder *d, const FaxMark &m) {
  StreamSeek(d->In, m.Position);
  d->BitAccumulator = m.BitAccumulator;
  d->BitCount = m.BitCount;
  d->StripBytesLeft = m.StripBytesLeft;
}

// Bits up to the next EOL (eleven zeros and a one, after any number of
// zeros), the EOL itself left unread; false when the data ends first.
bool SkipToEol(FaxDecoder *d) {
  Stream *s = d->In;
  FaxBits b = BitsLoad(d, s);
  bool found = false;
  for (;;) {
    if (b.count < 12) {
      if (b.count < 0) b.count = 0;
      b.acc &= b.count ? ~0u << (32 - b.count) : 0;
      if (!Load1(s, b)) break;
      continue;
    }
    uint32_t top = b.acc >> 20;
    if (top == 1) {
      found = true;
      break;
    }
    // More than eleven zeros: one of them goes; else everything through
    // the first one bit.
    Consume(b, top == 0 ? 1 : __builtin_clz(b.acc) + 1);
  }
  BitsStore(b, d, s);
  return found;
}

}  // namespace

void FaxMarkRow(FaxDecoder *d, FaxMark *mark) {
  *mark = {d->BitAccumulator, d->BitCount, d->StripBytesLeft, StreamInputPosition(d->In)};
}

bool FaxResync(FaxDecoder *d, FaxCoding coding, const FaxMark *mark, uint8_t *row, uint32_t width) {
  ParamBlock *block = d->In->Block;
  FaxJob j{d, d->In};
  Restore(d, *mark);
  switch (coding) {
    case FaxCoding::Mh: {
      // The row again, noting where each run starts: it fails where it
      // failed before, and the next row is taken at the first byte boundary
      // after the start of the code that failed.
      d->Track = *mark;
      struct Replay {
        FaxDecoder *d;
        uint8_t *row;
        uint32_t width;
      } replay{d, row, width};
      CatchFailure(block, [](void *a) {
        Replay *r = static_cast<Replay *>(a);
        MhRow<true, true>(r->d->In->Block, FaxJob{r->d, r->d->In}, r->row, r->width);
      }, &replay);
      Restore(d, d->Track);
      FaxBits b = BitsLoad(d, j.s);
      if (b.count <= 0) {
        b.acc = 0;
        b.count = 0;
        if (!Load1(j.s, b)) {
          BitsStore(b, d, j.s);
          return false;
        }
      }
      Consume(b, 1);
      BitsStore(b, d, j.s);
      AlignToByte(d);
      return true;
    }
    case FaxCoding::G3:
      FindEolIn(block, j);  // the row's own EOL, when it had one
      return SkipToEol(d);
    case FaxCoding::G3TwoD:
      if (FindEolIn(block, j)) {
        PeekBitIn(block, j);  // and its tag bit
        d->BitAccumulator <<= 1;
        d->BitCount -= 1;
      }
      return SkipToEol(d);
    default:
      return false;
  }
}

void FaxSetReference(FaxDecoder *d, const uint8_t *row, uint32_t width) {
  ParamBlock *block = d->In->Block;
  uint32_t *list = d->Recent;
  uint32_t limit = ListRoomOf(d, list);
  uint32_t k = 1;
  uint32_t colour = 0;  // of the pixels before x: 0 white, 1 black
  for (uint32_t x = 0; x < width;) {
    uint8_t byte = row[x >> 3];
    if ((x & 7) == 0 && byte == (colour ? 0xFF : 0x00)) {
      x += 8;
      continue;
    }
    if ((byte >> (7 - (x & 7)) & 1) != colour) {
      if (k >= limit) {
        list = GrowChangeList(block, d, list);
        limit = ListRoomOf(d, list);
      }
      list[k++] = x;
      colour ^= 1;
    }
    ++x;
  }
  list[0] = 0;
  list[k] = list[k + 1] = list[k + 2] = list[k + 3] = width;
  d->ChangeCount = k + 2;
}
