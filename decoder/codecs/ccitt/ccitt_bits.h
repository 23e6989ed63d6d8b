// The fax bit reader, shared by the one- and two-dimensional decoders.
//
// Row decoders copy the reader into a FaxBits local for the whole row (so
// the accumulator and the window stay in registers) and store it back when
// the row ends. Bytes enter the accumulator whole, most significant bit
// first; two at a time while two or more strip bytes remain.
#pragma once
#include <stdint.h>
#include <string.h>

#include <bit>

#include "codecs/ccitt/ccitt.h"
#include "codecs/ccitt/ccitt_tables.h"
#include "engine/engine.h"
#include "stream/stream.h"

#define FAX_INLINE inline __attribute__((always_inline))
#define FAX_NOINLINE __attribute__((noinline))

// A row's list of changing elements holds at most RowWidth + 2 entries in
// valid data (entry 0, a change at every pixel, one at the width); the
// decoders stop a row with -7118 when more are written. The 2-D decoder
// checks once per step: a step appends up to 36 entries (a V0 for each of
// the 32 held bits, then up to 4 from one dispatch). After them come the
// two closing entries and two spare ones (a pass mode at the reference's
// last entry reads one past it).
inline constexpr uint32_t kListValid = 2;   // entries beyond RowWidth in valid data
inline constexpr size_t kListSpare = kListValid + 36 + 4;
// Rows rarely change colour more than a few hundred times, whatever their
// width: the lists start with room for this many entries (or the width's
// worth, when less) and double when a row needs more.
inline constexpr uint32_t kListInitialRoom = 4096;

// The list grown so that a row can add to it; the room that the list had
// (ListRoom) is used up. Fails the job with -7118 when the list already
// holds every change a row of RowWidth pixels can have.
uint32_t *GrowChangeList(ParamBlock *block, FaxDecoder *st, uint32_t *list);
// The room of a list.
inline uint32_t ListRoomOf(const FaxDecoder *st, const uint32_t *list) {
  return st->ListRoom[list == st->ChangeLists[0] ? 0 : 1];
}

// A decoder and its input stream, as the row decoders take them.
struct FaxJob {
  FaxDecoder *st;
  Stream *s;
};

struct FaxBits {
  uint32_t acc;    // BitAccumulator
  int32_t count;   // BitCount
  int32_t left;    // StripBytesLeft (negative: no limit)
  const uint8_t *next;  // the input window
  const uint8_t *end;
};

FAX_INLINE FaxBits BitsLoad(const FaxDecoder *st, const Stream *s) {
  return {st->BitAccumulator, st->BitCount, st->StripBytesLeft, s->Window.Next, s->Window.End};
}

FAX_INLINE void BitsStore(const FaxBits &b, FaxDecoder *st, Stream *s) {
  st->BitAccumulator = b.acc;
  st->BitCount = b.count;
  st->StripBytesLeft = b.left;
  s->Window.Next = b.next;
  s->Window.End = b.end;
}

FAX_INLINE void Consume(FaxBits &b, int n) {
  b.acc <<= n;
  b.count -= n;
}

// OR a four-byte mask into a row (any alignment).
FAX_INLINE void Or32(uint8_t *p, uint32_t mask) {
  uint32_t v;
  memcpy(&v, p, 4);
  v |= mask;
  memcpy(p, &v, 4);
}

// Sets black runs, left to right, into a zeroed row. The row's 32-pixel
// words lie at multiples of 4 bytes from its start; the pixels of the word in
// hand are gathered in a register, and the whole word is stored after each
// run: a plain store, where ORing four bytes into the row would first wait
// for the run before it to reach memory. A last word that reaches past the
// row is ORed in (its bits there are 0), so the slack only sees zero bits.
class RowFiller {
 public:
  RowFiller(uint8_t *row, uint32_t width) : row_(row), inside_(width / 32) {}

  // Pixels start to end - 1 (start < width, start <= end <= width).
  FAX_INLINE void Black(uint32_t start, uint32_t end) {
    uint32_t w = start >> 5;
    bits_ = w == word_ ? bits_ : 0;
    word_ = w;
    uint32_t head = ~0u >> (start & 31);  // from the run's start to the word's end
    if (end <= 32 * w + 32) {
      bits_ |= head & ~static_cast<uint32_t>(0xFFFFFFFFull >> (end - 32 * w));
      Put(w, bits_);
      return;
    }
    // A run past its first word: whole words of black, then its last word.
    Put(w, bits_ | head);
    for (++w; w < end >> 5; ++w) memset(row_ + 4 * static_cast<size_t>(w), 0xFF, 4);
    word_ = w;
    bits_ = ~static_cast<uint32_t>(0xFFFFFFFFull >> (end & 31));
    if (bits_) Put(w, bits_);
  }

 private:
  FAX_INLINE void Put(uint32_t w, uint32_t v) {
    if (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    uint8_t *at = row_ + 4 * static_cast<size_t>(w);
    if (w < inside_)
      memcpy(at, &v, 4);
    else
      Or32(at, v);
  }

  uint8_t *row_;
  uint32_t inside_;    // words wholly inside the row
  uint32_t word_ = 0;  // the word in hand
  uint32_t bits_ = 0;  // its black pixels, the leftmost in the top bit
};

// The next byte when the window is used up: through the stream's slow path,
// or -1 when the data runs without a limit and the input has ended (the
// strip's data then counts as ended: left becomes 0).
int FetchByteSlow(Stream *s, FaxBits *b);

// Load one byte below the held bits (count at most 24). False, with nothing
// loaded, when the strip's data has ended.
FAX_INLINE bool Load1(Stream *s, FaxBits &b) {
  if (b.left == 0) return false;
  uint32_t v;
  if (b.next < b.end) {
    v = *b.next++;
  } else {
    FaxBits t = b;
    int got = FetchByteSlow(s, &t);
    b = t;
    if (got < 0) return false;
    v = static_cast<uint32_t>(got);
  }
  if (b.left > 0) --b.left;
  b.acc |= v << (24 - b.count);
  b.count += 8;
  return true;
}

// Load two bytes (count at most 16) when two strip bytes remain, or when the
// data has no limit and the window holds two.
FAX_INLINE void Load2(Stream *s, FaxBits &b) {
  uint32_t v;
  if (b.end - b.next >= 2) {
    v = static_cast<uint32_t>(b.next[0]) << 8 | b.next[1];
    b.next += 2;
  } else {
    s->Window.Next = b.next;
    uint16_t w = StreamWord(s);
    b.next = s->Window.Next;
    b.end = s->Window.End;
    v = static_cast<uint32_t>(w & 0xFF) << 8 | w >> 8;
  }
  if (b.left > 0) b.left -= 2;
  b.acc |= v << (16 - b.count);
  b.count += 16;
}

FAX_INLINE bool CanLoad2(const FaxBits &b) {
  return b.left >= 2 || (b.left < 0 && b.end - b.next >= 2);
}

// The careful loads: no limit and a short window (single bytes until the
// entry that the top w bits select is covered), or the strip's data ended.
// False when the entry's bits are not all there (or, with invalidEnds, the
// entry is invalid) and the strip has no more bytes.
bool RefillCareful(Stream *s, FaxBits *b, const CodeEntry *level, int w,
                   bool invalidEnds);

// Before a lookup at a level of index width w: load once when fewer than w
// bits are held.
FAX_INLINE bool RefillFor(Stream *s, FaxBits &b, const CodeEntry *level,
                          int w, bool invalidEnds = false) {
  if (b.count >= w) return true;
  if (CanLoad2(b)) {
    Load2(s, b);
    return true;
  }
  if (b.left == 1) {
    Load1(s, b);
    return true;
  }
  FaxBits t = b;
  bool ok = RefillCareful(s, &t, level, w, invalidEnds);
  b = t;
  return ok;
}

// Bits that begin no code.
[[noreturn]] void FailBadCode(ParamBlock *block);

// A make-up code's run added to the sum so far; a sum longer than the row
// fails the job with -7111 at once (noinline: rare).
uint32_t MakeUpSum(ParamBlock *block, uint32_t sum, uint32_t add, uint32_t width);

// Codes longer than 9 bits, the levels past the first, and every code of a
// run after one (noinline: rare). A loop, never a recursion: a run may hold
// any number of make-up codes.
uint32_t RunLookupDeeper(ParamBlock *block, Stream *s, FaxBits *b, const CodeTable &t, CodeEntry e,
                         uint32_t sum, uint32_t width);

// A run through table: the lookup of DecodeRun on the row's local reader.
// Returns the run, or EolMarker for an EOL, twelve zeros or the end of the
// strip's data (the EOL bits stay unread). Make-up codes that an EOL or the
// end of the data cuts short still make a run: encoders end full-width runs
// that way, and the run is what they meant. Make-up codes that add up to more
// than width fail the job with -7111.
FAX_INLINE uint32_t RunLookup(ParamBlock *block, Stream *s, FaxBits &b, const CodeTable &t,
                              uint32_t width) {
  uint32_t sum = 0;
  for (;;) {
    if (b.count < 9 && !RefillFor(s, b, t.entries, 9)) return sum ? sum : EolMarker;
    CodeEntry e = t.entries[b.acc >> 23];
    if (e.value < kEntryMakeUp) {
      Consume(b, e.length);
      return sum + e.value;
    }
    if (e.value >= kEntryNextLevel) {
      FaxBits copy = b;
      uint32_t r = RunLookupDeeper(block, s, &copy, t, e, sum, width);
      b = copy;
      return r;
    }
    Consume(b, e.length);
    sum = MakeUpSum(block, sum, e.value & 0x3FFF, width);
  }
}

// Two runs in one lookup (kBlackWhitePairs, kWhiteBlackPairs): the pair
// entry of the next 12 bits, loading two more bytes first where fewer are
// held and the data has them; 0 (nothing consumed either way) where the bits
// do not begin with a pair or are not all there.
FAX_INLINE uint32_t PairLookup(Stream *s, FaxBits &b, const RunPairData &pairs) {
  if (b.count < 12 && CanLoad2(b)) Load2(s, b);
  return b.count >= 12 ? pairs.entries[b.acc >> 20] : 0;
}

// FindEol on the local reader.
bool FindEolBits(ParamBlock *block, Stream *s, FaxBits &b);

// The pieces the rows are built from. FindEolIn: true when an EOL (at least
// 11 zero bits and a 1) is next; it is consumed. PeekBitIn: the next bit, not
// consumed (-7112 when the strip has no more bits).
bool FindEolIn(ParamBlock *block, const FaxJob &j);
uint32_t PeekBitIn(ParamBlock *block, const FaxJob &j);
// The rows: modified Huffman (its changes become the reference line of a
// two-dimensional row to follow), T.4 one- and two-dimensional
// (0 when the page has ended), T.6. They fail the job on bad data; the
// decoder's entry point turns that into its result.
uint32_t MhRowRecorded(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width);
uint32_t G3Row1DIn(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width);
uint32_t G3Row2DIn(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width);
void G4RowIn(ParamBlock *block, const FaxJob &j, uint8_t *row, uint32_t width);
// Drop the bits left in the current byte (modified Huffman rows start on a
// byte boundary).
void AlignToByte(FaxDecoder *st);
