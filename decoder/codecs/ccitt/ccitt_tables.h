// The code tables of the fax decoders, built at compile time from the code
// lists of ITU-T T.4: white and black run lengths (terminating, make-up and
// extended make-up codes) and the two-dimensional mode codes.
//
// A table is a list of levels. Level 0 is indexed by the next 9 bits (runs)
// or 7 bits (modes); a code longer than that continues in a further level
// indexed by the bits after the level-0 prefix. Each entry says how many of
// its level's index bits the code uses and what it means.
#pragma once
#include <stddef.h>
#include <stdint.h>


// ---- Code lists -------------------------------------------------------------

// One code: its bits right-aligned (the first bit of the code is bit
// length - 1) and the run length or mode number it stands for.
struct FaxCode {
  uint16_t bits;
  uint8_t length;
  uint16_t value;
};

// Terminating codes, run lengths 0 to 63 in order.
inline constexpr FaxCode kWhiteTerminating[64] = {
    {0x35, 8, 0},   {0x07, 6, 1},   {0x07, 4, 2},   {0x08, 4, 3},   {0x0B, 4, 4},   {0x0C, 4, 5},
    {0x0E, 4, 6},   {0x0F, 4, 7},   {0x13, 5, 8},   {0x14, 5, 9},   {0x07, 5, 10},  {0x08, 5, 11},
    {0x08, 6, 12},  {0x03, 6, 13},  {0x34, 6, 14},  {0x35, 6, 15},  {0x2A, 6, 16},  {0x2B, 6, 17},
    {0x27, 7, 18},  {0x0C, 7, 19},  {0x08, 7, 20},  {0x17, 7, 21},  {0x03, 7, 22},  {0x04, 7, 23},
    {0x28, 7, 24},  {0x2B, 7, 25},  {0x13, 7, 26},  {0x24, 7, 27},  {0x18, 7, 28},  {0x02, 8, 29},
    {0x03, 8, 30},  {0x1A, 8, 31},  {0x1B, 8, 32},  {0x12, 8, 33},  {0x13, 8, 34},  {0x14, 8, 35},
    {0x15, 8, 36},  {0x16, 8, 37},  {0x17, 8, 38},  {0x28, 8, 39},  {0x29, 8, 40},  {0x2A, 8, 41},
    {0x2B, 8, 42},  {0x2C, 8, 43},  {0x2D, 8, 44},  {0x04, 8, 45},  {0x05, 8, 46},  {0x0A, 8, 47},
    {0x0B, 8, 48},  {0x52, 8, 49},  {0x53, 8, 50},  {0x54, 8, 51},  {0x55, 8, 52},  {0x24, 8, 53},
    {0x25, 8, 54},  {0x58, 8, 55},  {0x59, 8, 56},  {0x5A, 8, 57},  {0x5B, 8, 58},  {0x4A, 8, 59},
    {0x4B, 8, 60},  {0x32, 8, 61},  {0x33, 8, 62},  {0x34, 8, 63},
};

inline constexpr FaxCode kBlackTerminating[64] = {
    {0x37, 10, 0},  {0x02, 3, 1},   {0x03, 2, 2},   {0x02, 2, 3},   {0x03, 3, 4},   {0x03, 4, 5},
    {0x02, 4, 6},   {0x03, 5, 7},   {0x05, 6, 8},   {0x04, 6, 9},   {0x04, 7, 10},  {0x05, 7, 11},
    {0x07, 7, 12},  {0x04, 8, 13},  {0x07, 8, 14},  {0x18, 9, 15},  {0x17, 10, 16}, {0x18, 10, 17},
    {0x08, 10, 18}, {0x67, 11, 19}, {0x68, 11, 20}, {0x6C, 11, 21}, {0x37, 11, 22}, {0x28, 11, 23},
    {0x17, 11, 24}, {0x18, 11, 25}, {0xCA, 12, 26}, {0xCB, 12, 27}, {0xCC, 12, 28}, {0xCD, 12, 29},
    {0x68, 12, 30}, {0x69, 12, 31}, {0x6A, 12, 32}, {0x6B, 12, 33}, {0xD2, 12, 34}, {0xD3, 12, 35},
    {0xD4, 12, 36}, {0xD5, 12, 37}, {0xD6, 12, 38}, {0xD7, 12, 39}, {0x6C, 12, 40}, {0x6D, 12, 41},
    {0xDA, 12, 42}, {0xDB, 12, 43}, {0x54, 12, 44}, {0x55, 12, 45}, {0x56, 12, 46}, {0x57, 12, 47},
    {0x64, 12, 48}, {0x65, 12, 49}, {0x52, 12, 50}, {0x53, 12, 51}, {0x24, 12, 52}, {0x37, 12, 53},
    {0x38, 12, 54}, {0x27, 12, 55}, {0x28, 12, 56}, {0x58, 12, 57}, {0x59, 12, 58}, {0x2B, 12, 59},
    {0x2C, 12, 60}, {0x5A, 12, 61}, {0x66, 12, 62}, {0x67, 12, 63},
};

// Make-up codes, run lengths 64 to 1728 in steps of 64.
inline constexpr FaxCode kWhiteMakeUp[27] = {
    {0x1B, 5, 64},    {0x12, 5, 128},   {0x17, 6, 192},   {0x37, 7, 256},   {0x36, 8, 320},
    {0x37, 8, 384},   {0x64, 8, 448},   {0x65, 8, 512},   {0x68, 8, 576},   {0x67, 8, 640},
    {0xCC, 9, 704},   {0xCD, 9, 768},   {0xD2, 9, 832},   {0xD3, 9, 896},   {0xD4, 9, 960},
    {0xD5, 9, 1024},  {0xD6, 9, 1088},  {0xD7, 9, 1152},  {0xD8, 9, 1216},  {0xD9, 9, 1280},
    {0xDA, 9, 1344},  {0xDB, 9, 1408},  {0x98, 9, 1472},  {0x99, 9, 1536},  {0x9A, 9, 1600},
    {0x18, 6, 1664},  {0x9B, 9, 1728},
};

inline constexpr FaxCode kBlackMakeUp[27] = {
    {0x0F, 10, 64},   {0xC8, 12, 128},  {0xC9, 12, 192},  {0x5B, 12, 256},  {0x33, 12, 320},
    {0x34, 12, 384},  {0x35, 12, 448},  {0x6C, 13, 512},  {0x6D, 13, 576},  {0x4A, 13, 640},
    {0x4B, 13, 704},  {0x4C, 13, 768},  {0x4D, 13, 832},  {0x72, 13, 896},  {0x73, 13, 960},
    {0x74, 13, 1024}, {0x75, 13, 1088}, {0x76, 13, 1152}, {0x77, 13, 1216}, {0x52, 13, 1280},
    {0x53, 13, 1344}, {0x54, 13, 1408}, {0x55, 13, 1472}, {0x5A, 13, 1536}, {0x5B, 13, 1600},
    {0x64, 13, 1664}, {0x65, 13, 1728},
};

// Extended make-up codes, run lengths 1792 to 2560, the same for both colours.
inline constexpr FaxCode kExtendedMakeUp[13] = {
    {0x08, 11, 1792}, {0x0C, 11, 1856}, {0x0D, 11, 1920}, {0x12, 12, 1984}, {0x13, 12, 2048},
    {0x14, 12, 2112}, {0x15, 12, 2176}, {0x16, 12, 2240}, {0x17, 12, 2304}, {0x1C, 12, 2368},
    {0x1D, 12, 2432}, {0x1E, 12, 2496}, {0x1F, 12, 2560},
};

// Mode numbers of the two-dimensional codes.
enum FaxMode : uint8_t {
  ModePass = 0,
  ModeHorizontal = 1,
  ModeV0 = 2,
  ModeVR1 = 3,
  ModeVR2 = 4,
  ModeVR3 = 5,
  ModeVL1 = 6,
  ModeVL2 = 7,
  ModeVL3 = 8,
};

inline constexpr FaxCode kModeCodes[9] = {
    {0x1, 4, ModePass}, {0x1, 3, ModeHorizontal}, {0x1, 1, ModeV0},
    {0x3, 3, ModeVR1},  {0x3, 6, ModeVR2},        {0x3, 7, ModeVR3},
    {0x2, 3, ModeVL1},  {0x2, 6, ModeVL2},        {0x2, 7, ModeVL3},
};

// The end-of-line code 000000000001, and twelve zero bits (an EOL that is
// preceded by fill): both end a lookup without consuming anything.
inline constexpr uint16_t EolMarker = 0xC000;
inline constexpr uint16_t ZeroRunMarker = 0xC001;
inline constexpr FaxCode kEolCode = {0x001, 12, EolMarker};
inline constexpr FaxCode kZeroRunCode = {0x000, 12, ZeroRunMarker};

// ---- Tables -------------------------------------------------------------------

// Entry kinds by the value's top two bits.
inline constexpr uint16_t kEntryMakeUp = 0x4000;     // add the low 14 bits, continue at level 0
inline constexpr uint16_t kEntryNextLevel = 0x8000;  // continue at the level in the low 14 bits
inline constexpr uint16_t kEntryInvalid = 0xFFFF;    // no code begins with these bits

struct CodeEntry {
  uint16_t value;
  uint8_t length;  // bits of this level's index that the entry uses
  uint8_t zero;
};

struct CodeLevel {
  uint16_t offset;  // first entry of the level
  uint8_t width;    // index bits
};

// A table with room for N entries and L levels.
template <size_t N, size_t L>
struct CodeTableData {
  CodeEntry entries[N];
  CodeLevel levels[L];
  uint32_t levelCount;
  bool collision;  // two codes claimed one entry (a fault in the lists)
};

// The view the decoders use.
struct CodeTable {
  const CodeEntry *entries;
  const CodeLevel *levels;
};

namespace fax_tables_detail {

// Every code of one table, in one flat list.
struct CodeList {
  FaxCode codes[160];
  size_t count;
  bool makeUp[160];  // the code is a make-up code
};

constexpr void Add(CodeList &list, const FaxCode *codes, size_t n, bool makeUp) {
  for (size_t i = 0; i < n; ++i) {
    list.codes[list.count] = codes[i];
    list.makeUp[list.count] = makeUp;
    ++list.count;
  }
}

constexpr uint16_t EntryValue(const CodeList &list, size_t i) {
  uint16_t v = list.codes[i].value;
  if (v >= EolMarker) return v;
  return list.makeUp[i] ? static_cast<uint16_t>(kEntryMakeUp | v) : v;
}

// Claim the entries [first, first + count) of a table for one code.
template <size_t N, size_t L>
constexpr void Claim(CodeTableData<N, L> &t, size_t first, size_t count, CodeEntry e) {
  for (size_t k = first; k < first + count; ++k) {
    if (k >= N || t.entries[k].value != kEntryInvalid) {
      t.collision = true;
      return;
    }
    t.entries[k] = e;
  }
}

// Builds a table with a level 0 of width w0 from the codes of list. Codes
// longer than w0 go to a further level per w0-bit prefix (in ascending
// prefix order), indexed by the next max(3, longest - w0) bits.
template <size_t N, size_t L>
constexpr CodeTableData<N, L> Build(const CodeList &list, uint8_t w0) {
  CodeTableData<N, L> t{};
  for (CodeEntry &e : t.entries) e = {kEntryInvalid, 0, 0};
  t.levels[0] = {0, w0};
  t.levelCount = 1;
  size_t used = size_t{1} << w0;
  for (size_t i = 0; i < list.count; ++i) {
    const FaxCode &c = list.codes[i];
    if (c.length > w0) continue;
    size_t span = size_t{1} << (w0 - c.length);
    Claim(t, static_cast<size_t>(c.bits) * span, span, {EntryValue(list, i), c.length, 0});
  }
  // Further levels in ascending prefix order.
  for (uint32_t prefix = 0; prefix < (1u << w0); ++prefix) {
    uint8_t longest = 0;
    for (size_t i = 0; i < list.count; ++i) {
      const FaxCode &c = list.codes[i];
      if (c.length > w0 && static_cast<uint32_t>(c.bits >> (c.length - w0)) == prefix &&
          c.length - w0 > longest)
        longest = static_cast<uint8_t>(c.length - w0);
    }
    if (longest == 0) continue;
    uint8_t width = longest < 3 ? 3 : longest;
    if (t.levelCount >= L) {
      t.collision = true;
      return t;
    }
    uint32_t level = t.levelCount++;
    t.levels[level] = {static_cast<uint16_t>(used), width};
    Claim(t, prefix, 1, {static_cast<uint16_t>(kEntryNextLevel | level), w0, 0});
    for (size_t i = 0; i < list.count; ++i) {
      const FaxCode &c = list.codes[i];
      if (c.length <= w0 || static_cast<uint32_t>(c.bits >> (c.length - w0)) != prefix) continue;
      uint8_t rest = static_cast<uint8_t>(c.length - w0);
      size_t span = size_t{1} << (width - rest);
      size_t low = c.bits & ((1u << rest) - 1);
      Claim(t, used + low * span, span, {EntryValue(list, i), rest, 0});
    }
    used += size_t{1} << width;
  }
  if (used != N) t.collision = true;  // the table's size must be exact
  return t;
}

constexpr CodeList RunCodes(const FaxCode (&terminating)[64], const FaxCode (&makeUp)[27]) {
  CodeList list{};
  Add(list, terminating, 64, false);
  Add(list, makeUp, 27, true);
  Add(list, kExtendedMakeUp, 13, true);
  Add(list, &kEolCode, 1, false);
  Add(list, &kZeroRunCode, 1, false);
  return list;
}

constexpr CodeList ModeCodes() {
  CodeList list{};
  Add(list, kModeCodes, 9, false);
  Add(list, &kEolCode, 1, false);
  Add(list, &kZeroRunCode, 1, false);
  return list;
}

}  // namespace fax_tables_detail

// White: level 0, then the levels for 000000000 (EOL), 000000010 and
// 000000011 (extended make-up).
inline constexpr auto kWhiteRunData =
    fax_tables_detail::Build<512 + 3 * 8, 4>(
        fax_tables_detail::RunCodes(kWhiteTerminating, kWhiteMakeUp), 9);
// Black: level 0 and 14 further levels, four of them 4 bits wide.
inline constexpr auto kBlackRunData =
    fax_tables_detail::Build<512 + 10 * 8 + 4 * 16, 15>(
        fax_tables_detail::RunCodes(kBlackTerminating, kBlackMakeUp), 9);
// Modes: level 0 of 7 bits and a 5-bit level for 0000000 (EOL).
inline constexpr auto kModeCodeData =
    fax_tables_detail::Build<128 + 32, 2>(fax_tables_detail::ModeCodes(), 7);

static_assert(!kWhiteRunData.collision && kWhiteRunData.levelCount == 4, "white codes");
static_assert(!kBlackRunData.collision && kBlackRunData.levelCount == 15, "black codes");
static_assert(!kModeCodeData.collision && kModeCodeData.levelCount == 2, "mode codes");

// Two runs of opposite colours looked up at once by the next 12 bits, when
// both are terminating codes that lie whole in them (the most common case on
// text pages): the first run in the low 6 bits, the second in the next 6 and
// both codes' length in the top 4; 0 when the bits begin otherwise (a
// make-up code, a code of over 9 bits, an EOL, or a pair longer than 12
// bits). The codes are prefix-free, so a terminating code found at the
// start of the bits is the code there.
struct RunPairData {
  uint16_t entries[4096];
};

template <size_t N1, size_t L1, size_t N2, size_t L2>
constexpr RunPairData MakeRunPairs(const CodeTableData<N1, L1> &first,
                                   const CodeTableData<N2, L2> &second) {
  RunPairData t{};
  for (uint32_t i = 0; i < 4096; ++i) {
    CodeEntry a = first.entries[i >> 3];  // level 0: 9 bits
    if (a.value >= 64) continue;
    CodeEntry b = second.entries[((i << a.length) & 0xFFF) >> 3];
    if (b.value >= 64 || a.length + b.length > 12) continue;
    t.entries[i] = static_cast<uint16_t>((a.length + b.length) << 12 | b.value << 6 | a.value);
  }
  return t;
}
inline constexpr RunPairData kBlackWhitePairs = MakeRunPairs(kBlackRunData, kWhiteRunData);
inline constexpr RunPairData kWhiteBlackPairs = MakeRunPairs(kWhiteRunData, kBlackRunData);
static_assert(kBlackWhitePairs.entries[0xDC0] == (6 << 12 | 2 << 6 | 2) &&  // 11, 0111
                  kBlackWhitePairs.entries[0x035] == 0 &&  // 0000 1101 01: a 12-bit black code
                  kWhiteBlackPairs.entries[0x7C0] == (6 << 12 | 2 << 6 | 2) &&  // 0111, 11
                  kWhiteBlackPairs.entries[0xD80] == 0,  // 11011: white make-up 64
              "run pairs");

inline constexpr CodeTable WhiteRunTable = {kWhiteRunData.entries, kWhiteRunData.levels};
inline constexpr CodeTable BlackRunTable = {kBlackRunData.entries, kBlackRunData.levels};
inline constexpr CodeTable ModeCodeTable = {kModeCodeData.entries, kModeCodeData.levels};
