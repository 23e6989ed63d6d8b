// The fax decoders, driven through a job body on coded data: compared bit
// for bit with libtiff's decode of pages that libtiff and pbmtog3 encoded and
// of the corpus's fax files, under every queue stress; the code tables; and
// the edge cases of the coding, written bit by bit.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "codecs/ccitt/ccitt.h"
#include "codecs/ccitt/ccitt_tables.h"
#include "engine/memory.h"
#include "stream/stream.h"
#include "fax_code_stream.h"
#include "fax_fuzz_input.h"
#include "fax_detect.h"
#include "fax_job.h"
#include "fax_pages.h"
#include "test_support.h"
#include "tiff_builder.h"

#if QV_HAVE_TIFF
#include <tiffio.h>
#endif

namespace {

using faxjob::Coding;
using faxpages::Page;

// The rows the job put out, against the expected packed rows.
std::string CompareRows(const qvhost::Result &r, const std::vector<uint8_t> &want, uint32_t width) {
  if (!r.ok()) return "status " + std::to_string(r.status);
  if (r.output.size() != want.size())
    return "output " + std::to_string(r.output.size()) + " bytes, want " + std::to_string(want.size());
  size_t rowBytes = (width + 7) / 8;
  for (size_t i = 0; i < want.size(); ++i)
    if (r.output[i] != want[i])
      return "row " + std::to_string(i / rowBytes) + " byte " + std::to_string(i % rowBytes) + " differs";
  return "";
}

// Decode under every stress configuration; each must give the reference's
// outcome, and its rows when the reference succeeded.
std::string CheckStress(const std::vector<uint8_t> &file, const faxjob::Settings &job,
                        const qvhost::Result &reference, size_t rowBytes) {
  for (size_t i = 0; i < qvtest::kStressCaseCount; ++i) {
    const qvtest::StressCase &c = qvtest::kStressCases[i];
    if (c.inPlace) continue;  // the fax jobs drive their own queues
    qvhost::Options o;
    o.inQueue = c.inQueue ? c.inQueue : 5;
    o.outQueue = std::max<size_t>(c.outQueue ? c.outQueue : rowBytes + 1, 5);
    o.wholeInput = c.wholeInput;
    o.test.chunkSeed = c.seed;
    faxjob::Outcome out;
    qvhost::Result r = faxjob::Run(file, job, o, &out);
    if (r.response != reference.response || r.status != reference.status)
      return std::string(c.name) + ": status " + std::to_string(r.status) + " vs " +
             std::to_string(reference.status);
    if (reference.ok() && r.output != reference.output) return std::string(c.name) + ": rows differ";
  }
  return "";
}

#if QV_HAVE_TIFF
faxjob::Settings SettingsFor(const faxpages::TiffFax &t) {
  faxjob::Settings job;
  job.coding = t.compression == 2   ? Coding::Mh
                : t.compression == 4 ? Coding::G4
                : (t.group3Options & 1) ? Coding::G3TwoD
                                        : Coding::G3;
  job.width = t.width;
  job.reverse = t.fillOrder == 2;
  uint32_t rps = std::min(t.rowsPerStrip, t.height);
  for (uint32_t y = 0, s = 0; y < t.height && s < t.offsets.size(); y += rps, ++s)
    job.strips.push_back({t.offsets[s], t.counts[s], std::min(rps, t.height - y)});
  return job;
}

struct Variant {
  const char *name;
  uint16_t compression;
  uint32_t group3Options;
};
const Variant kVariants[] = {
    {"mh", 2, 0}, {"g3-1d", 3, 0}, {"g3-1d-fill", 3, 4}, {"g3-2d", 3, 1}, {"g3-2d-fill", 3, 5}, {"g4", 4, 0},
};

// Encode page with libtiff, decode its strips with the job and with
// libtiff; "" when the rows agree bit for bit (and, with stress, under
// every queue stress).
std::string RoundTrip(const Page &page, const Variant &v, uint16_t fillOrder, uint32_t rowsPerStrip,
                      bool stress) {
  faxpages::TiffOptions o;
  o.compression = v.compression;
  o.group3Options = v.group3Options;
  o.fillOrder = fillOrder;
  o.rowsPerStrip = rowsPerStrip;
  std::vector<uint8_t> file = faxpages::EncodeTiff(page, o);
  faxpages::TiffFax t;
  if (file.empty() || !faxpages::ReadFaxTiff(file, 0, &t) || !t.decoded) return "libtiff failed";
  if (t.rows != page.bits) return "libtiff's own round trip differs";
  faxjob::Settings job = SettingsFor(t);
  faxjob::Outcome out;
  qvhost::Result r = faxjob::Run(file, job, qvhost::Options(), &out);
  std::string e = CompareRows(r, t.rows, t.width);
  if (e.empty() && out.slackTouched) e = "bits set past a row's end";
  if (e.empty() && stress) e = CheckStress(file, job, r, (t.width + 7) / 8);
  return e;
}

TEST(FaxLibtiff, PagesOfEveryWidthAndCoding) {
  const uint32_t widths[] = {1, 2, 7, 8, 9, 15, 17, 31, 32, 33, 63, 100, 255, 500, 1000, 1728, 2047, 2560, 2561, 4000, 5000};
  int n = 0;
  for (uint32_t width : widths)
    for (const Variant &v : kVariants) {
      ++n;
      bool text = n % 2;
      uint32_t height = width > 2000 ? 90 : 160;
      Page page = text ? faxpages::TextPage(width, height, n) : faxpages::LineArtPage(width, height, n);
      uint16_t fill = (n / 2) % 2 ? 2 : 1;
      uint32_t rps = (n % 3 == 0) ? 0 : (n % 3 == 1 ? 7 : 64);
      SCOPED_TRACE(std::string(v.name) + " width " + std::to_string(width) + (text ? " text" : " line art") +
                   " fill order " + std::to_string(fill) + " rows per strip " + std::to_string(rps));
      EXPECT_EQ(RoundTrip(page, v, fill, rps, width == 1728 || width == 33 || width == 5000), "");
    }
}

// Row r holds a white and a black run of r pixels, for r up to 2600: every
// terminating, make-up and extended make-up code of both colours, as
// libtiff's encoder writes them.
TEST(FaxLibtiff, EveryRunLengthOfBothColours) {
  Page page = faxpages::BlankPage(5300, 2601);
  for (uint32_t r = 0; r < page.height; ++r)
    for (uint32_t x = r; x < 2 * r; ++x) page.Row(r)[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
  for (const Variant &v : kVariants) EXPECT_EQ(RoundTrip(page, v, 1, 0, false), "") << v.name;
}

TEST(FaxLibtiff, PageTallerThan60000Rows) {
  Page page = faxpages::LineArtPage(45, 61000, 5);
  for (const Variant &v : {kVariants[1], kVariants[5]}) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(RoundTrip(page, v, 1, 0, false), "");
    EXPECT_EQ(RoundTrip(page, v, 2, 1000, false), "");
  }
}
#endif


#if !defined(_WIN32)
// Raw Group 3 data from netpbm's pbmtog3 (EOL before every row, RTC at the
// end), in both bit orders: the rows are the page's.
TEST(FaxPbmtog3, RawPages) {
  const uint32_t widths[] = {1, 13, 100, 1728, 2000, 4000};
  int n = 0;
  for (uint32_t width : widths)
    for (bool reverse : {false, true}) {
      ++n;
      Page page = n % 2 ? faxpages::TextPage(width, 150, n) : faxpages::LineArtPage(width, 150, n);
      std::string pbm = qvtest::TempPath("page" + std::to_string(n) + ".pbm");
      ASSERT_TRUE(qvtest::WriteFileBytes(pbm, faxpages::ToPbm(page)));
      std::string cmd = "pbmtog3 -nofixedwidth " + std::string(reverse ? "-reversebits " : "") + pbm + " 2>/dev/null";
      FILE *p = popen(cmd.c_str(), "r");
      ASSERT_TRUE(p);
      std::vector<uint8_t> g3;
      uint8_t buf[65536];
      for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) g3.insert(g3.end(), buf, buf + got);
      int rc = pclose(p);
      remove(pbm.c_str());
      if (rc != 0 || g3.empty()) return qvtest::NotRun("pbmtog3 is not available");
      SCOPED_TRACE("width " + std::to_string(width) + (reverse ? " reversed" : ""));
      faxjob::Settings job;
      job.coding = Coding::G3;
      job.width = 0;
      job.reverse = reverse;
      faxjob::Outcome out;
      qvhost::Result r = faxjob::Run(g3, job, qvhost::Options(), &out);
      EXPECT_EQ(out.width, width);
      EXPECT_EQ(CompareRows(r, page.bits, width), "");
      if (width == 1728 || width == 13) {
        EXPECT_EQ(CheckStress(g3, job, r, page.rowBytes), "");
      }
    }
}
#endif

// ---- Code tables ------------------------------------------------------------

// Walk table over the first bits of pattern (a 13-bit word, first bit
// highest) as the decoder looks codes up; false at an invalid entry.
bool Walk(const CodeTable &t, uint32_t pattern, uint16_t *value, int *used) {
  int pos = 0;
  const CodeEntry *level = t.entries;
  int width = t.levels[0].width;
  for (;;) {
    uint32_t index = (pattern << pos >> (13 - width)) & ((1u << width) - 1);
    CodeEntry e = level[index];
    if (e.value == kEntryInvalid) return false;
    pos += e.length;
    if (e.value >= kEntryNextLevel && e.value < EolMarker) {
      const CodeLevel &lv = t.levels[e.value & 0x3FFF];
      level = t.entries + lv.offset;
      width = lv.width;
      continue;
    }
    *value = e.value;
    *used = pos;
    return true;
  }
}

struct ListedCode {
  FaxCode code;
  uint16_t entry;  // the value the table must give
};

std::vector<ListedCode> Listed(const FaxCode *term, const FaxCode *makeUp, bool modes) {
  std::vector<ListedCode> v;
  if (modes) {
    for (const FaxCode &c : kModeCodes) v.push_back({c, c.value});
  } else {
    for (int i = 0; i < 64; ++i) v.push_back({term[i], term[i].value});
    for (int i = 0; i < 27; ++i) v.push_back({makeUp[i], static_cast<uint16_t>(kEntryMakeUp | makeUp[i].value)});
    for (const FaxCode &c : kExtendedMakeUp) v.push_back({c, static_cast<uint16_t>(kEntryMakeUp | c.value)});
  }
  v.push_back({kEolCode, EolMarker});
  v.push_back({kZeroRunCode, ZeroRunMarker});
  return v;
}

TEST(FaxTables, EveryListedCodeAndNothingElseDecodes) {
  struct Table {
    const char *name;
    const CodeTable &table;
    std::vector<ListedCode> codes;
  } tables[] = {
      {"white", WhiteRunTable, Listed(kWhiteTerminating, kWhiteMakeUp, false)},
      {"black", BlackRunTable, Listed(kBlackTerminating, kBlackMakeUp, false)},
      {"mode", ModeCodeTable, Listed(nullptr, nullptr, true)},
  };
  for (const Table &t : tables) {
    SCOPED_TRACE(t.name);
    std::map<std::pair<int, uint32_t>, uint16_t> byCode;
    for (const ListedCode &c : t.codes) {
      byCode[{c.code.length, c.code.bits}] = c.entry;
      // The code followed by zeros and by ones decodes to itself.
      for (uint32_t tail : {0u, 0x1FFFu}) {
        uint32_t pattern = (static_cast<uint32_t>(c.code.bits) << (13 - c.code.length)) |
                           (tail & ((1u << (13 - c.code.length)) - 1));
        uint16_t value = 0;
        int used = 0;
        ASSERT_TRUE(Walk(t.table, pattern, &value, &used)) << c.entry;
        EXPECT_EQ(value, c.entry);
        EXPECT_EQ(used, c.code.length) << c.entry;
      }
    }
    EXPECT_EQ(byCode.size(), t.codes.size()) << "a code is listed twice";
    // Every 13-bit pattern decodes to the listed code it begins with, or
    // to nothing when it begins with none.
    size_t valid = 0;
    for (uint32_t pattern = 0; pattern < 8192; ++pattern) {
      uint16_t value = 0;
      int used = 0;
      bool ok = Walk(t.table, pattern, &value, &used);
      bool listed = false;
      for (int len = 1; len <= 13 && !listed; ++len) {
        auto it = byCode.find({len, pattern >> (13 - len)});
        if (it == byCode.end()) continue;
        listed = true;
        EXPECT_TRUE(ok && used == len && value == it->second) << "pattern " << pattern;
      }
      if (!listed) {
        EXPECT_FALSE(ok) << "pattern " << pattern << " decodes to " << value;
      }
      valid += ok;
    }
    EXPECT_GT(valid, 0u);
  }
}

// ---- Coded rows, written bit by bit -----------------------------------------------

// A bit writer for coded data, most significant bit first.
struct BitWriter {
  std::vector<uint8_t> bytes;
  size_t bits = 0;
  void Put(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((code >> i) & 1) bytes.back() |= static_cast<uint8_t>(0x80 >> (bits % 8));
      ++bits;
    }
  }
  void Put(const FaxCode &c) { Put(c.bits, c.length); }
  void Align() { bits = bytes.size() * 8; }
};

const FaxCode &MakeUpCode(bool white, uint32_t n) {
  if (n >= 1792) return kExtendedMakeUp[(n - 1792) / 64];
  const FaxCode *list = white ? kWhiteMakeUp : kBlackMakeUp;
  return list[n / 64 - 1];
}

// A whole run: make-up codes of 2560 while more than 2623 remain, one more
// make-up code for 64 and above, then the terminating code.
void PutRun(BitWriter &w, bool white, uint32_t n) {
  for (; n > 2623; n -= 2560) w.Put(MakeUpCode(white, 2560));
  if (n >= 64) w.Put(MakeUpCode(white, n & ~63u));
  const FaxCode *list = white ? kWhiteTerminating : kBlackTerminating;
  w.Put(list[n & 63]);
}

// Coded data from tokens: W<n>/B<n> a white/black run, Wm<n>/Bm<n> one
// make-up code alone, EOL, Z<n> n zero bits, b<bits> literal bits, P, H,
// V0, VR<n>, VL<n>, X (the extension prefix 0000001), "|" to the next byte.
BitWriter Code(const std::string &text) {
  BitWriter w;
  std::istringstream in(text);
  std::string t;
  while (in >> t) {
    char c = t[0];
    if (t == "EOL") {
      w.Put(kEolCode);
    } else if (t == "|") {
      w.Align();
    } else if (t == "P" || t == "H" || t == "V0" || t.rfind("VR", 0) == 0 || t.rfind("VL", 0) == 0) {
      int mode = t == "P" ? ModePass : t == "H" ? ModeHorizontal : t == "V0" ? ModeV0
                 : t[1] == 'R' ? ModeVR1 + (t[2] - '1') : ModeVL1 + (t[2] - '1');
      w.Put(kModeCodes[mode]);
    } else if (t == "X") {
      w.Put(1, 7);
    } else if (c == 'Z') {
      for (int i = std::stoi(t.substr(1)); i > 0; --i) w.Put(0, 1);
    } else if (c == 'b') {
      for (size_t i = 1; i < t.size(); ++i) w.Put(t[i] == '1', 1);
    } else if ((c == 'W' || c == 'B') && t[1] == 'm') {
      w.Put(MakeUpCode(c == 'W', static_cast<uint32_t>(std::stoi(t.substr(2)))));
    } else if (c == 'W' || c == 'B') {
      PutRun(w, c == 'W', static_cast<uint32_t>(std::stoi(t.substr(1))));
    } else {
      ADD_FAILURE() << "unknown token " << t;
    }
  }
  return w;
}

// A row as runs: "w3 b5" is 3 white then 5 black pixels.
std::vector<uint8_t> RowFromRuns(const std::string &runs, uint32_t width) {
  std::vector<uint8_t> row((width + 7) / 8, 0);
  std::istringstream in(runs);
  std::string t;
  uint32_t x = 0;
  while (in >> t) {
    uint32_t n = static_cast<uint32_t>(std::stoi(t.substr(1)));
    if (t[0] == 'b')
      for (uint32_t i = x; i < x + n && i < width; ++i) row[i >> 3] |= static_cast<uint8_t>(0x80 >> (i & 7));
    x += n;
  }
  EXPECT_EQ(x, width) << runs;
  return row;
}

struct CodedCase {
  const char *name;
  Coding coding;
  uint32_t width;  // 0: raw input (width from the first row, no limit)
  const char *code;  // strips separated by "/", each starting on a byte boundary
  std::vector<uint32_t> rows;  // rows to decode in each strip
  int32_t status;
  std::vector<const char *> want;  // the rows, as runs (with status 0)
  int32_t cut = -1;      // >= 0: the first strip's byte count is this, not its length
  bool reverse = false;  // the bytes are stored bit-reversed (FillOrder 2)
};

std::string RunCase(const CodedCase &c, std::vector<uint8_t> *file = nullptr) {
  faxjob::Settings job;
  job.coding = c.coding;
  job.width = c.width;
  job.reverse = c.reverse;
  std::vector<uint8_t> data;
  std::string code = c.code;
  size_t at = 0;
  for (size_t s = 0; at <= code.size(); ++s) {
    size_t bar = code.find('/', at);
    if (bar == std::string::npos) bar = code.size();
    std::vector<uint8_t> bytes = Code(code.substr(at, bar - at)).bytes;
    faxjob::Strip strip;
    strip.offset = static_cast<uint32_t>(data.size());
    strip.byteCount = s == 0 && c.cut >= 0 ? static_cast<uint32_t>(c.cut) : static_cast<uint32_t>(bytes.size());
    strip.rows = s < c.rows.size() ? c.rows[s] : 1;
    job.strips.push_back(strip);
    data.insert(data.end(), bytes.begin(), bytes.end());
    at = bar + 1;
  }
  if (c.reverse)
    for (uint8_t &b : data) b = kBitReverseTable.v[b];
  if (file) *file = data;
  faxjob::Outcome out;
  qvhost::Result r = faxjob::Run(data, job, qvhost::Options(), &out);
  if (r.status != c.status) return "status " + std::to_string(r.status) + ", want " + std::to_string(c.status);
  if (c.status != 0) return CheckStress(data, job, r, 1);
  std::vector<uint8_t> want;
  uint32_t width = c.width ? c.width : out.width;
  for (const char *row : c.want) {
    std::vector<uint8_t> bits = RowFromRuns(row, width);
    want.insert(want.end(), bits.begin(), bits.end());
  }
  std::string e = CompareRows(r, want, width);
  if (e.empty() && out.slackTouched) e = "bits set past a row's end";
  if (e.empty()) e = CheckStress(data, job, r, (width + 7) / 8);
  return e;
}

const Coding Mh = Coding::Mh, G3 = Coding::G3, MR = Coding::G3TwoD, G4 = Coding::G4;

// clang-format off
const CodedCase kOneDimensional[] = {
  {"white 0 at a row start: the row begins black", G3, 8, "W0 B3 W5", {1}, 0, {"b3 w5"}},
  {"make-up 2560 + 2560 + terminating add up", G3, 5130, "W0 Bm2560 Bm2560 B10", {1}, 0, {"b5130"}},
  {"EOL after a make-up ends the row after the make-up's run", G3, 100, "W10 Bm64 EOL W100", {2}, 0,
   {"w10 b64 w26", "w100"}},
  {"EOL where a black code is due: the rest of the row is white", G3, 100, "W10 EOL W100", {2}, 0,
   {"w100", "w100"}},
  {"a row ending at the width, then the next", G3, 16, "W8 B8 W16", {2}, 0, {"w8 b8", "w16"}},
  {"a black run past the width", G3, 16, "W8 B9", {1}, QV_ERR_FAX_OVERRUN, {}},
  {"a white run past the width", G3, 16, "W17", {1}, QV_ERR_FAX_OVERRUN, {}},
  {"EOL EOL ends the page; later rows are white", G3, 8, "EOL W8 EOL EOL W0 B8", {3}, 0, {"w8", "w8", "w8"}},
  {"rows with and without a leading EOL", G3, 8, "W3 B5 EOL W8 W1 B7", {3}, 0, {"w3 b5", "w8", "w1 b7"}},
  {"a strip that ends inside a row keeps its decoded part", G3, 16, "W3 B2 W4 B7", {2}, 0,
   {"w3 b2 w11", "w16"}, 1},
  {"modified Huffman rows start on byte boundaries", Mh, 10, "W3 B7 | W10 | W0 B10", {3}, 0,
   {"w3 b7", "w10", "b10"}},
  {"fill order 2: the byte 0xAC is white 0", G3, 8, "W0 B8", {1}, 0, {"b8"}, -1, true},
  {"a run code beginning 000000001", G3, 8, "b0000000010000", {1}, QV_ERR_FAX_CODE, {}},
  {"zero-length runs that would overflow the changes list of an MR 1-D row", MR, 4,
   "EOL b1 W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B4", {1}, QV_ERR_FAX_CHANGES, {}},
  {"zero-length runs in 1-D data (no reference line is kept)", G3, 4,
   "W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B0 W0 B4", {1}, 0, {"b4"}},
  {"zero fill running to the strip's end", G3, 8, "W8 Z24", {2}, QV_ERR_FAX_FILL, {}},
  {"raw input ending after a row without RTC", G3, 0, "EOL W2 B6 EOL W8", {}, 0, {"w2 b6", "w8"}},
  {"raw input ending in zero fill, through any queue", G3, 0, "EOL W2 B6 EOL W8 Z30", {}, 0, {"w2 b6", "w8"}},
  {"raw input ending in its first row's EOL", G3, 0, "EOL EOL", {}, QV_ERR_FAX_EMPTY_PAGE, {}},
  {"raw input without data", G3, 0, "", {}, QV_ERR_FAX_EMPTY_PAGE, {}},
};

const CodedCase kTwoDimensional[] = {
  {"all V0 against a white reference", G4, 16, "V0 V0", {2}, 0, {"w16", "w16"}},
  {"a row that starts black", G4, 8, "H W0 B3 V0 V0 V0 V0", {2}, 0, {"b3 w5", "b3 w5"}},
  {"pass then horizontal in one byte, measured from b2", G4, 16,
   "H W2 B2 H W4 B2 V0 P H W1 B1 V0 V0 V0", {2}, 0, {"w2 b2 w4 b2 w6", "w5 b1 w2 b2 w6"}},
  {"VR3 reaching the width ends the row", G4, 8, "H W5 B3 VR3", {2}, 0, {"w5 b3", "w8"}},
  {"VR3 past the width", G4, 8, "H W6 B2 VR3", {2}, QV_ERR_FAX_OVERRUN, {}},
  {"VL3 steps b1 back a pair", G4, 16, "H W1 B5 H W1 B9 V0 VL3 VL3 V0 V0 V0", {2}, 0,
   {"w1 b5 w1 b9", "w1 b2 w1 b2 w1 b9"}},
  {"EOFB ends the page; later rows are white", G4, 8, "H W2 B3 V0 EOL EOL X", {3}, 0, {"w2 b3 w3", "w8", "w8"}},
  {"an EOL inside a row: the colour at a0 runs to the end", G4, 8, "H W2 B3 V0 V0 EOL EOL", {3}, 0,
   {"w2 b3 w3", "w2 b6", "w8"}},
  {"a horizontal run that is an EOL", G4, 8, "H EOL", {1}, QV_ERR_FAX_HORIZONTAL, {}},
  {"a horizontal mode cut by the strip's end", G4, 8, "H W3", {1}, QV_ERR_FAX_HORIZONTAL, {}},
  {"the extension codes", G4, 8, "X", {1}, QV_ERR_FAX_CODE, {}},
  {"a 32-pixel black run at a byte boundary", G4, 48, "H W8 B32 V0", {1}, 0, {"w8 b32 w8"}},
  {"VL left of the row's first pixel", G4, 8, "H W1 B7 VL2", {2}, QV_ERR_FAX_OVERRUN, {}},
  {"VL to 0 after a0 has moved on", G4, 8, "H W1 B1 V0 V0 VL2", {2}, QV_ERR_FAX_VERTICAL, {}},
  {"VL onto a0: a zero-length run", G4, 8, "H W2 B1 V0 V0 VL1 V0", {2}, 0, {"w2 b1 w5", "w8"}},
  {"b1 skips reference changes at or left of a0", G4, 8, "H W0 B0 H W0 B3 V0 V0 V0 P", {2}, 0,
   {"b3 w5", "b3 w5"}},
  {"zero-length horizontal runs that would overflow the changes list", G4, 2,
   "H W0 B0 H W0 B0 H W0 B0 H W0 B0 V0", {1}, QV_ERR_FAX_CHANGES, {}},
  {"each strip starts from a white reference and its own page", G4, 8,
   "H W2 B3 V0 EOL EOL / H W1 B1 V0", {2, 1}, 0, {"w2 b3 w3", "w8", "w1 b1 w6"}},
  {"MR: 1-D and 2-D rows", MR, 8, "EOL b1 W2 B6 EOL b0 V0 VL1 V0 EOL b1 EOL b1", {3}, 0,
   {"w2 b6", "w2 b5 w1", "w8"}},
  {"MR: EOL 1 EOL ends the page", MR, 8, "EOL b1 EOL b1 W8", {2}, 0, {"w8", "w8"}},
  {"MR: a 2-D first row", MR, 8, "EOL b0 V0", {1}, QV_ERR_FAX_FIRST_ROW_2D, {}},
  {"MR: a row without EOL", MR, 8, "b1 W8", {1}, QV_ERR_FAX_NO_EOL, {}},
  {"MR: the strip ends before the tag bit", MR, 8, "Z4 EOL", {1}, QV_ERR_FAX_FILL, {}},
  {"MR raw input ending without RTC", MR, 0, "EOL b1 W2 B6 EOL b0 V0 V0", {}, 0, {"w2 b6", "w2 b6"}},
};
// clang-format on

TEST(FaxCoded, OneDimensional) {
  for (const CodedCase &c : kOneDimensional) EXPECT_EQ(RunCase(c), "") << c.name;
  for (const CodedCase &c : kOneDimensional)
    if (c.reverse) {
      std::vector<uint8_t> file;
      RunCase(c, &file);
      EXPECT_EQ(file[0], 0xAC);
    }
}

TEST(FaxCoded, TwoDimensional) {
  for (const CodedCase &c : kTwoDimensional) EXPECT_EQ(RunCase(c), "") << c.name;
}

// Every length of fill from 0 to 40 bits before an EOL, in every position
// within the bytes: the EOL is found, also when more than 16 zero bits are
// held when the search starts.
TEST(FaxCoded, EolAfterAnyFill) {
  for (Coding coding : {G3, MR}) {
    std::string code, runs;
    std::vector<const char *> want;
    for (int fill = 0; fill <= 40; ++fill) {
      code += " Z" + std::to_string(fill) + " EOL" + (coding == MR ? " b1" : "") + " W2 B6";
      want.push_back("w2 b6");
    }
    code += " EOL EOL b1 EOL";
    want.push_back("w8");
    CodedCase c{"fill", coding, 8, code.c_str(), {42}, 0, want};
    EXPECT_EQ(RunCase(c), "") << (coding == MR ? "MR" : "1-D");
  }
}

// Runs of thousands of make-up codes (long codes at deeper table levels,
// extended make-up codes, codes after an EOL or a horizontal mode) fail as
// soon as the run passes the row, with the job stack untouched by their
// number: each is one more turn of a loop. Then the same codes in raw fax
// input and in TIFF strips of each fax compression, through the host.
TEST(FaxCoded, MakeUpRunsPastTheRowFailAtOnce) {
  auto repeat = [](const char *token, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::string(" ") + token;
    return s;
  };
  const std::string black64 = repeat("Bm64", 3000), white2560 = repeat("Wm2560", 3000);
  struct Case {
    const char *what;
    Coding coding;
    std::string code;
  };
  const Case cases[] = {
      {"1-D, black make-up 64", G3, "EOL W1728 EOL W0" + black64},
      {"1-D, extended make-up 2560", G3, "EOL W1728 EOL" + white2560},
      {"modified Huffman", Mh, "W0" + black64},
      {"MR one-dimensional row", MR, "EOL b1 W1728 EOL b1 W0" + black64},
      {"T.6 horizontal mode", G4, "H W0" + black64},
  };
  for (const Case &c : cases) {
    CodedCase cc{c.what, c.coding, 1728, c.code.c_str(), {2}, QV_ERR_FAX_OVERRUN, {}};
    EXPECT_EQ(RunCase(cc), "") << c.what;
  }
#if QV_HAVE_TIFF
  // The first case as a raw G3 file and as TIFF strips.
  std::vector<uint8_t> raw = Code(cases[0].code).bytes, mh = Code(cases[2].code).bytes;
  std::vector<uint8_t> g4 = Code(cases[4].code).bytes;
  struct Input {
    const char *what;
    uint32_t type;
    std::vector<uint8_t> file;
  };
  std::vector<Input> inputs = {{"raw G3", QV_TYPE_G3, raw}, {"raw G32D", QV_TYPE_G32D, Code(cases[3].code).bytes}};
  for (uint16_t compression : {2, 3, 4}) {
    tiffbuild::Page p;
    p.width = 1728;
    p.height = 2;
    p.bits = 1;
    p.photometric = 0;
    p.compression = compression;
    p.strips = {compression == 2 ? mh : compression == 3 ? raw : g4};
    inputs.push_back({"TIFF", QV_TYPE_TIF1, tiffbuild::Writer(false).Build({p})});
  }
  for (const Input &in : inputs) {
    qvhost::Options o;
    o.extended = false;  // the classic readers' outcome (extended decoding replaces the row)
    o.imageType = in.type;
    o.faxFillOrder = 1;  // raw data, most significant bit first
    for (size_t q : {size_t{5}, size_t{65536}}) {
      o.inQueue = o.outQueue = q;
      qvhost::Result r = qvhost::Decode(in.file.data(), in.file.size(), o);
      EXPECT_EQ(r.status, QV_ERR_FAX_OVERRUN) << in.what << ", queues of " << q;
    }
  }
#endif
}

// The lists of changing elements start small and grow with the rows that
// need more: rows that change colour at nearly every pixel decode exactly
// in every coding, and a page 50 million pixels wide takes a few megabytes
// (its row) besides them, well inside a 16 MiB budget.
TEST(FaxCoded, ChangeListsGrowWithTheRows) {
  const uint32_t width = 24000;  // 12000 one-pixel black runs: 24000 changes
  std::string runs, mh, g4 = "H W0 B1", g4second;
  for (uint32_t x = 0; x < width; x += 2) {
    runs += x ? " w1 b1" : "w1 b1";
    mh += " W1 B1";
    if (x) g4 += " H W1 B1";
  }
  // A V0 for each of the reference's changes and one for its end.
  auto v0s = [](uint32_t n) {
    std::string v;
    for (uint32_t i = 0; i < n; ++i) v += " V0";
    return v;
  };
  // Row 1 as horizontal modes (shifted by one pixel: it starts black) and a
  // V0 to its end, row 2 repeats row 1 with a V0 for every change.
  std::string shifted = "b1";
  for (uint32_t x = 2; x < width; x += 2) shifted += " w1 b1";
  shifted += " w1";
  struct Case {
    const char *what;
    Coding coding;
    std::string code;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"modified Huffman", Mh, mh, {runs}},
      {"MR: a 1-D row, then a 2-D copy of it", MR, "EOL b1" + mh + " EOL b0" + v0s(width), {runs, runs}},
      {"T.6 horizontal modes, then V0s", G4, g4 + v0s(1 + width + 1), {shifted, shifted}},
  };
  for (const Case &c : cases) {
    std::vector<const char *> want;
    for (const std::string &r : c.rows) want.push_back(r.c_str());
    CodedCase cc{c.what, c.coding, width, c.code.c_str(), {static_cast<uint32_t>(c.rows.size())}, 0, want};
    EXPECT_EQ(RunCase(cc), "") << c.what;
  }
#if QV_HAVE_TIFF
  tiffbuild::Page p;
  p.width = 50000000;
  p.height = 3;
  p.bits = 1;
  p.photometric = 0;
  p.compression = 4;
  p.strips = {Code("H W100 B200 V0 V0 V0 V0 V0 V0").bytes};
  std::vector<uint8_t> file = tiffbuild::Writer(false).Build({p});
  qvhost::Options o;
  o.imageType = QV_TYPE_TIF1;
  o.memoryLimit = 16u << 20;
  o.flags = QV_FLAG_TOP_DOWN;
  o.outQueue = 8u << 20;
  qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
  ASSERT_TRUE(r.ok()) << r.status;
  const size_t stride = (p.width + 31) / 32 * 4;
  ASSERT_EQ(r.output.size(), 3 * stride);
  for (size_t row = 0; row < 3; ++row) {
    EXPECT_EQ(r.output[row * stride + 12], 0x0F) << row;  // pixels 100 to 299 black
    EXPECT_EQ(r.output[row * stride + 37], 0xF0) << row;
    EXPECT_EQ(r.output[row * stride + 38], 0) << row;
  }
#endif
}

// The fuzzers' code generator (fuzz/fax_code_stream.h) writes the same rows
// in each coding: decoded, every coding gives the same pixels, whatever the
// rows (runs of every length, single pixels, rows near the previous one)
// and however the 2-D rows were coded against their reference. This holds
// the generator to valid codes, so that its fuzzing reaches deep rows.
TEST(FaxGenerated, EveryCodingGivesTheSameRows) {
  const uint32_t rows = 24;  // a page that stays under the generator's limit
  for (uint32_t width : {1u, 7u, 64u, 1729u, 2625u, 4096u}) {
    std::vector<uint8_t> choices;
    for (uint32_t r = 0; r < rows; ++r) {
      uint8_t style = static_cast<uint8_t>((r * 3 + width) % 8);
      // MR: every third row one-dimensional, the first of course.
      uint8_t twoDim = r % 3 ? 8 : 0;
      choices.push_back(static_cast<uint8_t>(0xF0 | twoDim | style));
      choices.push_back(static_cast<uint8_t>(r * 37 + width));
    }
    uint64_t first = 0;
    for (Coding coding : {Coding::Mh, Coding::G3, Coding::G3TwoD, Coding::G4})
      for (bool reverse : {false, true}) {
        std::vector<uint8_t> coded = FaxCodesFromChoices(choices.data(), choices.size(), coding, width, reverse);
        ASSERT_LT(coded.size(), kFaxCodedLimit);
        faxjob::Settings job;
        job.coding = coding;
        job.width = width;
        job.reverse = reverse;
        job.strips = {{0, static_cast<uint32_t>(coded.size()), rows}};
        qvhost::Options o;
        o.inQueue = 17;
        o.test.chunkSeed = width;
        faxjob::Outcome out;
        qvhost::Result r = faxjob::Run(coded, job, o, &out);
        SCOPED_TRACE("width " + std::to_string(width) + " coding " + std::to_string(static_cast<int>(coding)) +
                     (reverse ? " reversed" : ""));
        ASSERT_TRUE(r.ok()) << r.status;
        EXPECT_EQ(out.rows, rows);
        EXPECT_FALSE(out.slackTouched);
        if (!first) first = out.hash;
        EXPECT_EQ(out.hash, first);
      }
  }
}

// Inputs that fuzz_fax_codes found, each with the status it must end with
// through every queue size, with and without random chunking. The first
// four overran the job stack when each long make-up code of a run recursed
// (hundreds of them in one white run; the last of them built by hand); the
// run now fails once it passes the row. In the fifth a T.6 row of garbage
// after a row of one-pixel runs took its list of changes past any row's
// while its last step ended the row, which went unnoticed unless the bits
// held at that moment split the step: -7118 or a later -7110 by the queue.
TEST(FaxGenerated, InputsTheFuzzerFound) {
  const struct {
    const char *hex;
    int status;
  } found[] = {
      {"009b2bef32009b2bef324a", QV_ERR_FAX_OVERRUN},
      {"10ff0bffffffffffebff46", QV_ERR_FAX_OVERRUN},
      {"99870d87e3e3e3e3e3e34a8738", QV_ERR_FAX_OVERRUN},
      {"00ff030000000100e3ff4c", QV_ERR_FAX_OVERRUN},
      {"dffcff0f01561c855bf6fc2e9a0083fe0000", QV_ERR_FAX_CHANGES},
  };
  for (const auto &f : found) {
    std::vector<uint8_t> input;
    for (const char *p = f.hex; p[0] && p[1]; p += 2)
      input.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    faxjob::Settings job;
    qvhost::Options stressed;
    ASSERT_TRUE(FaxFuzzSettings(input.data(), input.size(), &job, &stressed));
    std::vector<uint8_t> coded = FaxCodesFromChoices(input.data() + kFaxFuzzPrefix, input.size() - kFaxFuzzPrefix,
                                                     job.coding, FaxFuzzWidth(input.data()), job.reverse);
    FaxFuzzSettings(input.data(), kFaxFuzzPrefix + coded.size(), &job, &stressed);
    std::vector<uint64_t> hashes;
    for (size_t queue : {size_t{5}, size_t{6}, size_t{17}, size_t{65536}})
      for (uint64_t seed : {uint64_t{0}, stressed.test.chunkSeed}) {
        qvhost::Options o = stressed;
        o.inQueue = queue;
        o.test.chunkSeed = seed;
        faxjob::Outcome out;
        qvhost::Result r = faxjob::Run(coded, job, o, &out);
        EXPECT_EQ(r.status, f.status) << f.hex << " through a " << queue << "-byte queue, seed " << seed;
        hashes.push_back(faxjob::Hash(r.output.data(), r.output.size()));
        EXPECT_EQ(hashes.back(), hashes.front()) << f.hex << ": other rows than through the first queue";
        EXPECT_EQ(MemLiveBlocks(), 0u);
      }
  }
}

// ---- The shared corpus -------------------------------------------------------

struct CorpusFile {
  std::string path, variant;
};

std::vector<CorpusFile> CorpusFiles(const std::string &dir, const std::string &format) {
  std::vector<CorpusFile> v;
  std::ifstream in(dir + "/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() > 4 && f[3] == format) v.push_back({f[0], f[4]});
  }
  return v;
}

#if QV_HAVE_TIFF
// libtiff refuses two good one-dimensional Group 3 files of the corpus: one
// whose rows carry no EOLs (libtiff wants one before every row and finds
// none), and one that changes colour at every pixel of a 32-pixel row (more
// changes than libtiff's run array holds; it refuses its own encoding of
// that row). Their rows are confirmed by libtiff another way: read as
// modified Huffman rows without byte alignment, which is what one-dimensional
// rows without EOLs are; or written by libtiff's encoder into the very strip
// bytes of the file. "" when either confirms the rows.
std::string ConfirmRowsLibtiffRefused(const std::vector<uint8_t> &file, int dir, const faxpages::TiffFax &t,
                                      const std::vector<uint8_t> &rows) {
  size_t rowBytes = (t.width + 7) / 8;
  if (rows.size() != rowBytes * t.height) return "rows missing";
  uint32_t rps = std::min(t.rowsPerStrip, t.height);
  if (t.compression == 3 && !(t.group3Options & 1)) {
    std::string path = qvtest::TempPath("no-eols.tif");
    std::vector<uint8_t> got(rows.size());
    bool ok = qvtest::WriteFileBytes(path, file);
    TIFF *tf = ok ? TIFFOpen(path.c_str(), "r") : nullptr;
    ok = tf && TIFFSetDirectory(tf, static_cast<tdir_t>(dir)) &&
         TIFFSetField(tf, TIFFTAG_COMPRESSION, COMPRESSION_CCITTRLE) &&
         TIFFSetField(tf, TIFFTAG_FAXMODE, FAXMODE_NORTC | FAXMODE_NOEOL);
    for (uint32_t s = 0; ok && rps && s * uint64_t{rps} < t.height; ++s) {
      tmsize_t want = static_cast<tmsize_t>(std::min(rps, t.height - s * rps) * rowBytes);
      ok = TIFFReadEncodedStrip(tf, s, got.data() + size_t{s} * rps * rowBytes, want) == want;
    }
    if (tf) TIFFClose(tf);
    remove(path.c_str());
    if (ok && got == rows) return "";
  }
  faxpages::Page page;
  page.width = t.width;
  page.height = t.height;
  page.rowBytes = rowBytes;
  page.bits = rows;
  faxpages::TiffOptions o;
  o.compression = t.compression;
  o.group3Options = t.group3Options;
  o.fillOrder = t.fillOrder;
  o.rowsPerStrip = rps;
  std::vector<uint8_t> again = faxpages::EncodeTiff(page, o);
  faxpages::TiffFax u;
  if (!faxpages::ReadFaxTiff(again, 0, &u) || u.counts != t.counts) return "libtiff confirms none of the rows";
  for (size_t s = 0; s < t.offsets.size(); ++s)
    if (size_t{t.offsets[s]} + t.counts[s] > file.size() ||
        memcmp(again.data() + u.offsets[s], file.data() + t.offsets[s], t.counts[s]) != 0)
      return "libtiff confirms none of the rows";
  return "";
}

// Every page of every CCITT-coded TIFF: where libtiff decodes it, the rows
// are libtiff's, under every stress; where it refuses a good file, libtiff
// confirms the rows otherwise; the files kept as bad samples end cleanly.
TEST(FaxCorpus, TiffPagesMatchLibtiff) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  // libtiff skips what precedes a strip's first EOL; this file starts with a
  // white row without one, which is decoded here: its rows are libtiff's one
  // row further down (and the 2328 rows of the file's ImageLength are
  // exactly its rows with that first one).
  const std::string shifted = "tiff/twelvemonkeys/g3aoe.tif";
  size_t pages = 0, compared = 0, confirmed = 0;
  for (const CorpusFile &f : CorpusFiles(dir, "tiff")) {
    if (f.variant.find("ccitt") == std::string::npos) continue;
    std::vector<uint8_t> file = qvtest::ReadFileBytes(dir + "/" + f.path);
    for (int d = 0; d < 8; ++d) {
      faxpages::TiffFax t;
      if (!faxpages::ReadFaxTiff(file, d, &t)) continue;
      SCOPED_TRACE(f.path + " page " + std::to_string(d + 1));
      ++pages;
      faxjob::Settings job = SettingsFor(t);
      faxjob::Outcome out;
      qvhost::Result r = faxjob::Run(file, job, qvhost::Options(), &out);
      EXPECT_TRUE(r.response == ResponseDone || r.response == ResponseError);
      EXPECT_FALSE(out.slackTouched);
      if (f.variant.rfind("BAD", 0) == 0) continue;
      std::string e;
      if (!t.decoded) {
        ASSERT_TRUE(r.ok()) << r.status;
        e = ConfirmRowsLibtiffRefused(file, d, t, r.output);
        ++confirmed;
      } else {
        std::vector<uint8_t> want = t.rows;
        if (f.path == shifted) {
          size_t rowBytes = (t.width + 7) / 8;
          want.insert(want.begin(), rowBytes, 0);
          want.resize(t.rows.size());
        }
        e = CompareRows(r, want, t.width);
        ++compared;
      }
      if (e.empty()) e = CheckStress(file, job, r, (t.width + 7) / 8);
      EXPECT_EQ(e, "");
    }
  }
  EXPECT_GE(compared, 60u);
  EXPECT_GE(confirmed, 2u);
  printf("%zu fax pages, %zu compared with libtiff's decode, %zu confirmed otherwise\n", pages, compared,
         confirmed);
}
#endif

// Every raw fax file: the page of its reference picture (dark pixels
// black), under every stress; the bad samples end cleanly.
TEST(FaxCorpus, RawFilesMatchTheirReferences) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  // Damaged: 50 pixels of stray codes follow the first row's 1728, so the
  // page is taken as 1778 wide, and row 119's runs reach 2172 pixels. libtiff
  // (told the width) ends rows at 1728 and resynchronises at each next EOL.
  const std::map<std::string, int32_t> refused = {{"fax/image-tiff/g3test.g3", QV_ERR_FAX_OVERRUN}};
  size_t compared = 0;
  for (const CorpusFile &f : CorpusFiles(dir, "fax(raw)")) {
    SCOPED_TRACE(f.path);
    faxjob::Settings job;
    job.width = 0;
    job.coding = f.variant.find("2D") != std::string::npos ? Coding::G3TwoD : Coding::G3;
    job.reverse = f.variant.find("lsb-first") != std::string::npos;
    std::vector<uint8_t> file = qvtest::ReadFileBytes(dir + "/" + f.path);
    faxjob::Outcome out;
    qvhost::Result r = faxjob::Run(file, job, qvhost::Options(), &out);
    EXPECT_TRUE(r.response == ResponseDone || r.response == ResponseError);
    EXPECT_FALSE(out.slackTouched);
    if (f.variant.rfind("BAD", 0) == 0) continue;
    auto it = refused.find(f.path);
    if (it != refused.end()) {
      EXPECT_EQ(r.status, it->second);
      continue;
    }
    qvhost::Pixels ref;
    std::string err;
    ASSERT_TRUE(qvtest::ReadPngRgb(dir + "/reference/" + f.path + ".png", &ref, &err)) << err;
    ASSERT_TRUE(r.ok()) << r.status;
    ASSERT_EQ(out.width, ref.width);
    ASSERT_LE(out.rows, ref.height);
    // fax2tiff turns the EOLs of RTC into white rows: the reference's rows
    // past the page are white.
    size_t rowBytes = (out.width + 7) / 8;
    size_t wrong = 0;
    for (uint32_t y = 0; y < ref.height; ++y)
      for (uint32_t x = 0; x < out.width; ++x) {
        bool black = y < out.rows && ((r.output[y * rowBytes + x / 8] >> (7 - x % 8)) & 1);
        wrong += black != (ref.rgb[(static_cast<size_t>(y) * ref.width + x) * 3] < 128);
      }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(CheckStress(file, job, r, rowBytes), "");
    ++compared;
  }
  EXPECT_GE(compared, 8u);
}

// ---- Telling raw fax data and its bit order from the first bytes --------------

TEST(FaxDetect, RawFilesOfTheCorpus) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  std::ifstream in(dir + "/MANIFEST.tsv");
  std::string line;
  size_t seen = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() < 6 || f[3] != "fax(raw)" || f[0].rfind("fax/bad/", 0) == 0) continue;
    SCOPED_TRACE(f[0]);
    std::vector<uint8_t> file = qvtest::ReadFileBytes(dir + "/" + f[0]);
    file.resize(std::min<size_t>(file.size(), 4096));
    qvhost::FaxGuess g = qvhost::GuessFax(file.data(), file.size());
    EXPECT_TRUE(g.startsWithEol);
    EXPECT_TRUE(g.certain);
    bool lsb = f[4].find("lsb-first") != std::string::npos;
    EXPECT_EQ(g.order, lsb ? qvhost::FaxBitOrder::LsbFirst : qvhost::FaxBitOrder::MsbFirst);
    EXPECT_EQ(g.width, static_cast<uint32_t>(std::stoul(f[5])));
    ++seen;
  }
  EXPECT_GE(seen, 8u);
}

#if QV_HAVE_TIFF
// The strips libtiff writes for Group 3 in both bit orders, and the starts
// of other formats.
TEST(FaxDetect, Group3StripsAndOtherFormats) {
  int n = 0;
  for (uint32_t width : {20u, 215u, 1728u, 2500u})
    for (const Variant &v : {kVariants[1], kVariants[2], kVariants[3], kVariants[4]})
      for (uint16_t fill : {1, 2}) {
        ++n;
        Page page = n % 2 ? faxpages::TextPage(width, 40, n) : faxpages::LineArtPage(width, 40, n);
        faxpages::TiffOptions o;
        o.compression = v.compression;
        o.group3Options = v.group3Options;
        o.fillOrder = fill;
        std::vector<uint8_t> file = faxpages::EncodeTiff(page, o);
        faxpages::TiffFax t;
        ASSERT_TRUE(faxpages::ReadFaxTiff(file, 0, &t));
        std::vector<uint8_t> strip(file.begin() + t.offsets[0],
                                   file.begin() + t.offsets[0] + std::min<uint32_t>(t.counts[0], 4096));
        SCOPED_TRACE(std::string(v.name) + " width " + std::to_string(width) + " fill order " + std::to_string(fill));
        qvhost::FaxGuess g = qvhost::GuessFax(strip.data(), strip.size());
        EXPECT_TRUE(g.startsWithEol && g.certain);
        EXPECT_EQ(g.order, fill == 2 ? qvhost::FaxBitOrder::LsbFirst : qvhost::FaxBitOrder::MsbFirst);
        EXPECT_EQ(g.width, width);
      }
  const char *others[] = {"BM\x36\x00\x00\x00", "GIF89a\x10\x00", "II*\x00\x08\x00", "\x89PNG\r\n\x1a\n",
                          "\x0a\x05\x01\x08"};
  for (const char *head : others) {
    std::vector<uint8_t> bytes(head, head + strlen(head));
    bytes.resize(64, 0);
    EXPECT_FALSE(qvhost::GuessFax(bytes.data(), bytes.size()).startsWithEol) << head;
  }
}
#endif
}  // namespace
