// PCX reader: pixels against netpbm's pcxtoppm (corpus files and generated
// files of every layout), byte-identical output under queue stress, the
// refusals, and where rows and the end-of-file colour table are placed.
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <tuple>

#include "engine/memory.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kPcx8 = QV_FOURCC('P', 'C', 'X', '8');

// The picture as pcxtoppm decodes it; false when the tool is missing or refuses the file.
bool PeerDecode(const std::string &path, qvhost::Pixels *out) {
  FILE *f = popen(("pcxtoppm '" + path + "' 2>/dev/null").c_str(), "r");
  if (!f) return false;
  Bytes d;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) d.insert(d.end(), buf, buf + n);
  pclose(f);
  std::string head(d.begin(), d.begin() + std::min<size_t>(d.size(), 64));
  unsigned w = 0, h = 0, maxval = 0;
  int at = 0;
  if (sscanf(head.c_str(), "P6 %u %u %u%n", &w, &h, &maxval, &at) != 3 || maxval != 255) return false;
  size_t need = size_t{w} * h * 3;
  if (d.size() < at + 1 + need) return false;
  out->width = w, out->height = h;
  out->rgb.assign(d.begin() + at + 1, d.begin() + at + 1 + need);
  return true;
}

qvhost::Result Decode(const Bytes &file, uint32_t flags = 0, size_t outQueue = 65536,
                      uint32_t type = kPcx8) {
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = type;
  o.flags = flags;
  o.outQueue = outQueue;
  return qvhost::Decode(file.data(), file.size(), o);
}

// Our pixels equal pcxtoppm's in both row orders, and every stress case gives the same bytes.
void ExpectPeerPixels(const Bytes &file, const std::string &path) {
  qvhost::Pixels peer, got;
  ASSERT_TRUE(PeerDecode(path, &peer)) << "pcxtoppm cannot decode " << path;
  for (uint32_t flags : {0u, uint32_t{QV_FLAG_TOP_DOWN}}) {
    qvhost::Result r = Decode(file, flags);
    ASSERT_TRUE(r.ok()) << r.status;
    std::string err;
    ASSERT_TRUE(qvhost::ResultToRgb(r, flags, &got, &err)) << err;
    EXPECT_EQ(got.width, peer.width);
    EXPECT_TRUE(got.rgb == peer.rgb);
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = kPcx8;
    o.flags = flags;
    EXPECT_EQ(qvtest::CheckStress(file, o, r, r.header.biSizeImage / r.header.biHeight), "");
  }
  // With the header in the output, a colour table at the file's end is
  // written back behind it once the rows are placed.
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = kPcx8;
  o.flags = QV_FLAG_HEADER;
  qvhost::Result r = Decode(file, o.flags);
  ASSERT_TRUE(r.ok()) << r.status;
  EXPECT_EQ(qvtest::CheckStress(file, o, r, r.header.biSizeImage / r.header.biHeight), "");
}

bool HavePeer() { return system("pcxtoppm -version >/dev/null 2>&1") == 0; }

TEST(Pcx, CorpusAgreesWithPcxtoppm) {
  if (!HavePeer()) return qvtest::NotRun("netpbm's pcxtoppm is not installed");
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  std::ifstream manifest(dir + "/MANIFEST.tsv");
  int compared = 0;
  for (std::string line; std::getline(manifest, line);) {
    std::string path = line.substr(0, line.find('\t'));
    if (path.rfind("pcx/", 0) != 0 || path.find("/bad/") != std::string::npos) continue;
    Bytes file = qvtest::ReadFileBytes(dir + "/" + path);
    if (!Decode(file).ok()) continue;  // refusals are listed in the corpus expectations
    SCOPED_TRACE(path);
    ExpectPeerPixels(file, dir + "/" + path);
    ++compared;
  }
  EXPECT_GE(compared, 20);
}

// A PCX file with random plane lines in short runs, coded so that runs
// cross plane lines within a row; layout 4 gets its table at the end.
Bytes MakePcx(uint8_t bits, uint8_t planes, uint16_t width, uint16_t height, uint16_t lineBytes,
              uint32_t seed, uint8_t tableMarker = 12) {
  Bytes v = {10, 5, 1, bits};
  qvtest::Put16(v, 3), qvtest::Put16(v, 2), qvtest::Put16(v, 3 + width - 1), qvtest::Put16(v, 2 + height - 1);
  qvtest::Put32(v, 0);
  auto next = [&seed] { return static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16); };
  for (int i = 0; i < 48; ++i) v.push_back(next());
  v.push_back(0), v.push_back(planes), qvtest::Put16(v, lineBytes);
  v.resize(128, 0);
  Bytes row(size_t{planes} * lineBytes);
  for (uint16_t y = 0; y < height; ++y) {
    for (size_t i = 0; i < row.size(); ++i) row[i] = i && (next() & 3) ? row[i - 1] : next();
    for (size_t i = 0, n; i < row.size(); i += n) {
      for (n = 1; i + n < row.size() && n < 63 && row[i + n] == row[i];) ++n;
      if (n > 1 || row[i] >= 0xC0) v.push_back(static_cast<uint8_t>(0xC0 | n));
      v.push_back(row[i]);
    }
  }
  if (bits == 8 && planes == 1) {
    v.push_back(tableMarker);
    for (int i = 0; i < 768; ++i) v.push_back(next());
  }
  return v;
}

TEST(Pcx, GeneratedLayoutsAgreeWithPcxtoppm) {
  if (!HavePeer()) return qvtest::NotRun("netpbm's pcxtoppm is not installed");
  struct Case { uint8_t bits, planes; uint16_t width, height, lineBytes; };
  const Case cases[] = {
      {1, 1, 1, 3, 2}, {1, 1, 33, 5, 6},    // one bit, padded lines
      {2, 1, 5, 4, 2}, {2, 1, 13, 3, 6},    // four colours, 2-bit pixels
      {1, 3, 9, 4, 2}, {1, 3, 17, 3, 4},    // eight colours, three planes
      {1, 4, 7, 5, 2}, {1, 4, 33, 2, 6},    // sixteen colours, four planes
      {8, 1, 3, 6, 4}, {8, 1, 31, 4, 31},   // 256 colours
      {8, 3, 5, 4, 6}, {8, 3, 10, 3, 10},   // true colour
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.bits} << " bits x " << int{c.planes} << ", width " << c.width);
    Bytes file = MakePcx(c.bits, c.planes, c.width, c.height, c.lineBytes, c.width * 31u + c.bits);
    std::string path = qvtest::TempPath("generated.pcx");
    ASSERT_TRUE(qvtest::WriteFileBytes(path, file));
    ExpectPeerPixels(file, path);
  }
}

// Run-length rules on exact bytes: a run continues into the next plane line
// of its row, is dropped at the row end, and a count of 0 yields nothing.
TEST(Pcx, RunsCrossPlanesButNotRows) {
  Bytes file = MakePcx(8, 3, 2, 2, 2, 1);
  file.resize(128);
  const Bytes data = {0xC3, 5, 7, 0xC5, 9, /* row 2 */ 0xC0, 0xFF, 1, 2, 3, 4, 5, 6};
  file.insert(file.end(), data.begin(), data.end());
  qvhost::Result r = Decode(file, QV_FLAG_TOP_DOWN);
  ASSERT_TRUE(r.ok()) << r.status;
  // Blue, green, red per pixel; stride 8.
  EXPECT_EQ(r.output, (Bytes{9, 5, 5, 9, 7, 5, 0, 0, 5, 3, 1, 6, 4, 2, 0, 0}));
}

TEST(Pcx, Refusals) {
  struct Case { const char *name; size_t at; uint8_t value; int32_t status; uint32_t type = kPcx8; };
  const Case cases[] = {
      {"manufacturer", 0, 11, QV_ERR_BAD_HEADER}, {"version 1", 1, 1, QV_ERR_BAD_HEADER},
      {"encoding 0", 2, 0, QV_ERR_BAD_HEADER},     {"4 bits, 1 plane", 3, 4, QV_ERR_BAD_HEADER},
      {"2 planes", 65, 2, QV_ERR_BAD_HEADER},      {"width 0 (xmax = xmin - 1)", 8, 2, QV_ERR_BAD_HEADER},
      {"width < 0", 8, 0, QV_ERR_BAD_HEADER},       {"lines shorter than the width", 66, 9, QV_ERR_BAD_HEADER},
      {"DCX", 0, 10, QV_ERR_PCX_TYPE, QV_FOURCC('D', 'C', 'X', 'Z')},
      {"table marker", 0, 10, QV_ERR_PCX_PALETTE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = MakePcx(8, 1, 10, 4, 10, 5, c.status == QV_ERR_PCX_PALETTE ? 13 : 12);
    file[c.at] = c.value;
    qvhost::Result r = Decode(file, 0, 65536, c.type);
    EXPECT_EQ(r.response, ResponseError);
    EXPECT_EQ(r.status, c.status);
  }
  Bytes file = MakePcx(8, 3, 10, 4, 10, 5);  // stride 32
  EXPECT_EQ(Decode(file, 0, 32).status, QV_ERR_FLIP_ROOM);
  EXPECT_TRUE(Decode(file, QV_FLAG_TOP_DOWN, 32).ok());
  EXPECT_TRUE(Decode(file, 0, 33).ok());
  EXPECT_EQ(Decode(Bytes(file.begin(), file.end() - 20)).status, QV_ERR_INPUT_ENDED);
  MemFailNthAllocation(2);  // the context, then the line buffer
  EXPECT_EQ(Decode(file).status, QV_ERR_BUFFER);
  MemFailNthAllocation(0);
}

// Ten rows, four per band: bands at R0 + 6S, R0 + 2S and R0, then the colour
// table is fetched 769 bytes before the end and written behind the header.
TEST(Pcx, BandsAndEndTableSeeks) {
  Bytes file = MakePcx(8, 1, 8, 10, 8, 77);
  const uint32_t r0 = 40 + 1024, s = 8;
  for (bool whole : {false, true}) {
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = kPcx8;
    o.flags = QV_FLAG_HEADER;
    o.outQueue = 4 * s + 1;
    o.wholeInput = whole;
    o.test.eventLimit = 100000;
    qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(r.ok()) << r.status;
    std::vector<uint32_t> seeks, expected = {r0 + 6 * s, r0 + 2 * s, r0};
    for (const qvhost::Event &e : r.events)
      if (e.response == ResponseSeek) seeks.push_back((e.seekTarget & 0x3FFFFFFFu) | (e.seekTarget & 0x80000000u));
    if (!whole) expected.push_back(0x80000301u);
    expected.push_back(40);
    EXPECT_EQ(seeks, expected);
    // Header, colour table (red, green, blue from the file as blue, green, red, 0), rows bottom-up.
    qvhost::Result top = Decode(file, QV_FLAG_TOP_DOWN);
    ASSERT_EQ(r.output.size(), r0 + 10 * s);
    EXPECT_EQ(memcmp(r.output.data(), &r.header, 40), 0);
    const uint8_t *table = &file[file.size() - 768];
    EXPECT_EQ(Bytes(r.output.begin() + 40, r.output.begin() + 44), (Bytes{table[2], table[1], table[0], 0}));
    for (uint32_t y = 0; y < 10; ++y)
      EXPECT_EQ(memcmp(&r.output[r0 + (9 - y) * s], &top.output[y * s], s), 0) << "row " << y;
  }
}

TEST(Pcx, BatchesAndMonochromeTable) {
  Bytes file = MakePcx(1, 1, 16, 10, 2, 3);
  memset(&file[16], 0x40, 6);  // both map entries equal: black and white, a grey table
  for (auto [flags, batch, expected] : {std::tuple{QV_FLAG_TOP_DOWN | QV_FLAG_BATCH, 3u, 3u},
                                        std::tuple{QV_FLAG_TOP_DOWN | QV_FLAG_BATCH, 0u, 10u},
                                        std::tuple{uint32_t{QV_FLAG_BATCH}, 3u, 0u}}) {
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = QV_FOURCC('P', 'C', 'X', '1');
    o.flags = flags;
    o.rowsPerBatch = batch;
    qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.counts[ResponseRowsReady], expected);
    EXPECT_EQ(memcmp(&r.palette[1], "\xff\xff\xff", 3), 0);
    EXPECT_EQ(memcmp(&r.palette[0], "\0\0\0", 3), 0);
    EXPECT_TRUE(r.flags & QV_FLAG_GREY);
  }
}

}  // namespace
