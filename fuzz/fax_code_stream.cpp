#include "fax_code_stream.h"

#include "codecs/ccitt/ccitt_tables.h"

namespace {

// The mode codes are listed in the order of their mode numbers.
static_assert(kModeCodes[ModeHorizontal].value == ModeHorizontal && kModeCodes[ModePass].value == ModePass &&
                  kModeCodes[ModeVL3].value == ModeVL3 && kModeCodes[ModeVR3].value == ModeVR3,
              "mode code order");

class Writer {
 public:
  explicit Writer(faxjob::Coding coding, uint32_t width) : coding_(coding), width_(width) {}

  bool Full() const { return bytes_.size() >= kFaxCodedLimit; }

  void Bits(uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i) {
      if (used_ == 0) {
        if (Full()) return;
        bytes_.push_back(0);
      }
      if ((bits >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
      used_ = (used_ + 1) & 7;
    }
  }
  void Code(const FaxCode &c) { Bits(c.bits, c.length); }
  void Align() {
    while (used_ != 0) Bits(0, 1);
  }
  void Eol(int fill) {
    for (int i = 0; i < fill; ++i) Bits(0, 1);
    Code(kEolCode);
    black_ = false;
  }

  // A run of length pixels in one colour: extended make-up codes of 2560
  // while more than 2623 remain, one make-up code, a terminating code.
  void Run(bool black, uint32_t length) {
    const FaxCode *makeUp = black ? kBlackMakeUp : kWhiteMakeUp;
    const FaxCode *terminating = black ? kBlackTerminating : kWhiteTerminating;
    uint32_t left = length;
    for (; left >= 2560 + 64; left -= 2560) Code(kExtendedMakeUp[12]);
    if (left >= 64) {
      uint32_t m = left / 64;  // 1 to 40
      Code(m <= 27 ? makeUp[m - 1] : kExtendedMakeUp[m - 28]);
    }
    Code(terminating[left % 64]);
    black_ = !black;
  }

  void Choice(uint8_t op, const uint8_t *&p, const uint8_t *end);
  void Row(uint8_t arg, uint8_t seed);

  std::vector<uint8_t> Take(bool reverse) {
    if (reverse)
      for (uint8_t &b : bytes_) {
        b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
        b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
        b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
      }
    return std::move(bytes_);
  }

 private:
  void OneDimRow(const std::vector<uint32_t> &changes);
  void TwoDimRow(const std::vector<uint32_t> &changes);

  faxjob::Coding coding_;
  uint32_t width_;
  std::vector<uint8_t> bytes_;
  int used_ = 0;        // bits used of the last byte
  bool black_ = false;  // the colour of the run that is due
  // The changing elements (ascending positions where the colour changes,
  // white before the first) of the last generated row.
  std::vector<uint32_t> previous_;
};

uint8_t Next(const uint8_t *&p, const uint8_t *end) { return p < end ? *p++ : 0; }

void Writer::Choice(uint8_t c, const uint8_t *&p, const uint8_t *end) {
  uint8_t arg = c & 15;
  switch (c >> 4) {
    case 0x0: Code(kWhiteTerminating[Next(p, end) % 64]); black_ = true; break;
    case 0x1: Code(kBlackTerminating[Next(p, end) % 64]); black_ = false; break;
    case 0x2: Code(kWhiteMakeUp[Next(p, end) % 27]); break;
    case 0x3: Code(kBlackMakeUp[Next(p, end) % 27]); break;
    case 0x4: Code(kExtendedMakeUp[arg % 13]); break;
    case 0x5: {
      const FaxCode &m = kModeCodes[arg % 9];
      Code(m);
      if (m.value != ModePass && m.value != ModeHorizontal) black_ = !black_;
      break;
    }
    case 0x6: Run(black_, static_cast<uint32_t>(arg) << 8 | Next(p, end)); break;
    case 0x7: {
      Code(kModeCodes[ModeHorizontal]);
      bool first = black_;
      Run(first, Next(p, end));
      Run(!first, Next(p, end));
      black_ = first;
      break;
    }
    case 0x8: Eol(Next(p, end) % 41); break;
    case 0x9: Bits(arg & 1, 1); break;
    case 0xA: {
      int eols = (arg & 1) ? 6 : 2;
      for (int i = 0; i < eols; ++i) {
        Eol(0);
        if (coding_ == faxjob::Coding::G3TwoD) Bits(1, 1);
      }
      if (arg & 2) Align();
      break;
    }
    case 0xB: Align(); break;
    case 0xC:
      if (arg & 8) Bits(0x008 | (arg & 7), 12);
      else Bits(0x008 | (arg & 7), 10);
      break;
    case 0xD: {
      int n = (arg & 7) + 1;
      Bits(Next(p, end) & ((1u << n) - 1), n);
      break;
    }
    case 0xE: {
      // The group to repeat is the choices that follow the count.
      uint32_t times = (static_cast<uint32_t>(Next(p, end)) + 1) << (arg & 3);
      const uint8_t *group = p;
      int ops = (arg >> 2) + 1;
      const uint8_t *after = p;
      for (uint32_t t = 0; t < times && !Full(); ++t) {
        const uint8_t *q = group;
        for (int i = 0; i < ops && q < end; ++i) {
          uint8_t inner = *q++;
          if ((inner >> 4) == 0xE) {  // no nesting: a repeat inside is one skipped byte pair
            Next(q, end);
            continue;
          }
          Choice(inner, q, end);
        }
        after = q;
      }
      p = after > p ? after : p;
      break;
    }
    case 0xF: Row(arg, Next(p, end)); break;
  }
}

void Writer::Row(uint8_t arg, uint8_t seed) {
  uint32_t state = 0x9E3779B9u ^ (static_cast<uint32_t>(seed) * 0x01000193u) ^ arg;
  auto random = [&state](uint32_t n) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return n ? state % n : 0;
  };
  std::vector<uint32_t> changes;
  auto runs = [&](uint32_t lo, uint32_t span) {
    uint64_t at = 0;
    bool first = true;
    for (;;) {
      // The first run may be empty (a row that starts black).
      at += first ? random(lo + span) : lo + random(span);
      first = false;
      if (at >= width_) break;
      changes.push_back(static_cast<uint32_t>(at));
    }
  };
  switch (arg & 7) {
    case 0: break;
    case 1: changes.push_back(0); break;
    case 2: runs(1, 8); break;
    case 3: runs(1, width_ / 4 + 1); break;
    case 4:
      // The previous row, each change moved by up to 3 pixels, some dropped.
      for (uint32_t c : previous_) {
        if (random(8) == 0) continue;
        int64_t moved = static_cast<int64_t>(c) + static_cast<int64_t>(random(7)) - 3;
        if (moved < 0 || moved >= width_) continue;
        if (!changes.empty() && moved <= changes.back()) continue;
        changes.push_back(static_cast<uint32_t>(moved));
      }
      break;
    case 5: runs(64, 3000); break;
    case 6: runs(1, 1); break;
    case 7: changes = previous_; break;
  }
  bool twoDim = coding_ == faxjob::Coding::G4 || (coding_ == faxjob::Coding::G3TwoD && (arg & 8));
  if (coding_ == faxjob::Coding::G3 || coding_ == faxjob::Coding::G3TwoD) Eol(0);
  if (coding_ == faxjob::Coding::G3TwoD) Bits(twoDim ? 0 : 1, 1);
  if (twoDim) TwoDimRow(changes);
  else OneDimRow(changes);
  if (coding_ == faxjob::Coding::Mh) Align();
  previous_ = std::move(changes);
  black_ = false;
}

void Writer::OneDimRow(const std::vector<uint32_t> &changes) {
  uint32_t at = 0;
  bool black = false;
  for (uint32_t c : changes) {
    Run(black, c - at);
    at = c;
    black = !black;
  }
  Run(black, width_ - at);
}

// The two-dimensional coding of a row against the previous one: pass mode
// when the reference line's b2 lies before a1, a vertical mode when a1 is
// within 3 of b1, otherwise horizontal mode with the runs a0a1 and a1a2.
void Writer::TwoDimRow(const std::vector<uint32_t> &changes) {
  const std::vector<uint32_t> &ref = previous_;
  auto at = [this](const std::vector<uint32_t> &l, size_t i) { return i < l.size() ? l[i] : width_; };
  int64_t a0 = -1;  // before the first pixel
  bool black = false;
  size_t i = 0, j = 0;  // a0 only moves right: so do the searches
  for (;;) {
    // a1: the first change of this row after a0; a2 the one after it.
    while (i < changes.size() && static_cast<int64_t>(changes[i]) <= a0) ++i;
    uint32_t a1 = at(changes, i), a2 = at(changes, i + 1);
    // b1: the first change of the reference line after a0 to the colour
    // opposite a0's (changes at even indices turn black); b2 the one after.
    while (j < ref.size() && static_cast<int64_t>(ref[j]) <= a0) ++j;
    size_t k = j + ((j & 1) != (black ? 1u : 0u));
    uint32_t b1 = at(ref, k), b2 = at(ref, k + 1);
    if (b2 < a1) {
      Code(kModeCodes[ModePass]);
      a0 = b2;
    } else if (a1 + 3 >= b1 && b1 + 3 >= a1) {
      int d = static_cast<int>(a1) - static_cast<int>(b1);
      static const uint8_t kVertical[7] = {ModeVL3, ModeVL2, ModeVL1, ModeV0, ModeVR1, ModeVR2, ModeVR3};
      Code(kModeCodes[kVertical[d + 3]]);
      a0 = a1;
      black = !black;
    } else {
      Code(kModeCodes[ModeHorizontal]);
      uint32_t from = a0 < 0 ? 0 : static_cast<uint32_t>(a0);
      Run(black, a1 - from);
      Run(!black, a2 - a1);
      a0 = a2;
    }
    if (a0 >= width_ || Full()) break;
  }
}

}  // namespace

std::vector<uint8_t> FaxCodesFromChoices(const uint8_t *choices, size_t n, faxjob::Coding coding,
                                         uint32_t width, bool reverse) {
  Writer w(coding, width ? width : 1);
  const uint8_t *p = choices, *end = choices + n;
  while (p < end && !w.Full()) {
    uint8_t c = *p++;
    w.Choice(c, p, end);
  }
  return w.Take(reverse);
}
