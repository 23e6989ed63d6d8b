// The BMP, PCX, GIF and Targa readers with QV_FLAG_EXTENDED, through real
// files: BMPs ImageMagick writes in every subtype it offers (against its own
// decode), packed PCX (against pcxtoppm), each under the stress
// configurations; and files cut short, which must decode as far as they go
// with the rows they hold unchanged, the bitmap complete, and no change at
// all without the bit.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sample_files.h"
#include "test_support.h"

namespace {

bool Shell(const std::string &command) { return system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0; }
bool HaveTool(const char *probe) { return Shell(probe); }

qvhost::Options Extended(uint32_t type, uint32_t flags = 0) {
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = type;
  o.flags = QV_FLAG_EXTENDED | flags;
  return o;
}

// A decode with the DamagedRows the job reported at its end.
qvhost::Result DecodeCounting(const std::vector<uint8_t> &data, const qvhost::Options &o, uint32_t *damaged) {
  *damaged = 0;
  qvhost::TestHooks hooks;
  hooks.afterResponse = [damaged](ParamBlock *block, int response) {
    if (response == ResponseDone) *damaged = block->DamagedRows;
  };
  return qvhost::DecodeWithHooks(data.data(), data.size(), o, hooks);
}

uint32_t Rows(const BitmapInfoHeader &h) { return static_cast<uint32_t>(h.biHeight < 0 ? -h.biHeight : h.biHeight); }
uint32_t Stride(const BitmapInfoHeader &h) { return Rows(h) ? h.biSizeImage / Rows(h) : 0; }

// The decoded picture as RGBA, top row first; alpha 255 without QV_FLAG_ALPHA.
std::vector<uint8_t> ToRgba(const qvhost::Result &r, uint32_t flags) {
  qvhost::Pixels p;
  std::string err;
  if (!qvhost::ResultToRgb(r, flags, &p, &err)) return {};
  std::vector<uint8_t> out(size_t{p.width} * p.height * 4, 255);
  for (size_t i = 0; i < size_t{p.width} * p.height; ++i) memcpy(&out[i * 4], &p.rgb[i * 3], 3);
  if (r.flags & QV_FLAG_ALPHA) {
    uint32_t rows = Rows(r.header), stride = Stride(r.header);
    const uint8_t *base = r.output.data() + (r.output.size() - size_t{stride} * rows);
    bool top = qvhost::RowsTopFirst(r.header, flags);
    for (uint32_t y = 0; y < rows; ++y)
      for (uint32_t x = 0; x < p.width; ++x)
        out[(size_t{y} * p.width + x) * 4 + 3] = base[size_t{stride} * (top ? y : rows - 1 - y) + 4 * x + 3];
  }
  return out;
}

// Every stress configuration, bottom-up, top row first and in batches.
void ExpectSameUnderStress(const std::vector<uint8_t> &data, const qvhost::Options &base) {
  for (uint32_t flags : {0u, QV_FLAG_TOP_DOWN, QV_FLAG_BATCH | QV_FLAG_HEADER}) {
    qvhost::Options o = base;
    o.flags |= flags;
    o.rowsPerBatch = 3;
    qvhost::Result r = qvhost::Decode(data.data(), data.size(), o);
    EXPECT_EQ(qvtest::CheckStress(data, o, r, Stride(r.header) ? Stride(r.header) : 64), "") << "flags " << flags;
  }
}

struct ImVariant {
  const char *name, *source, *args;
  int colourSlack;  // ImageMagick scales narrow fields by shifting: 4-bit 15 is 240
  bool alpha;       // the file carries alpha that a pixel uses
};

TEST(ClassicExtended, ImageMagickBmpsAgreeWithImageMagick) {
  if (!HaveTool("convert -version")) return qvtest::NotRun("ImageMagick's convert is not installed");
  std::string dir = qvtest::TempPath("im-bmp");
  ASSERT_TRUE(Shell("mkdir -p " + dir));
  // Odd widths, so that rows carry padding and runs spill into it.
  ASSERT_TRUE(Shell("cd " + dir + " && convert -size 37x23 plasma:fractal -seed 5 pic.png"));
  ASSERT_TRUE(Shell("cd " + dir + " && convert pic.png \\( -size 37x23 gradient:white-black \\) -alpha off "
                                "-compose copy_opacity -composite alpha.png"));
  ASSERT_TRUE(Shell("cd " + dir + " && convert -size 301x9 plasma:fractal -seed 7 -colors 200 wide.gif"));
  ASSERT_TRUE(Shell("cd " + dir + " && convert pic.png -colors 200 pal.gif && convert pic.png -colors 16 pal16.gif"));
  const ImVariant variants[] = {
      {"bmp2", "pic.png", "-define bmp:format=bmp2", 0, false},
      {"bmp3", "pic.png", "-define bmp:format=bmp3", 0, false},
      {"bmp4", "pic.png", "-define bmp:format=bmp4", 0, false},
      {"default24", "pic.png", "", 0, false},
      {"rgb565", "pic.png", "-define bmp:subtype=RGB565", 1, false},
      {"rgb555", "pic.png", "-define bmp:subtype=RGB555", 1, false},
      {"argb4444", "alpha.png", "-define bmp:subtype=ARGB4444", 15, true},
      {"argb1555", "alpha.png", "-define bmp:subtype=ARGB1555", 1, true},
      {"argb8888", "alpha.png", "", 0, true},
      {"bmp3alpha", "alpha.png", "-define bmp:format=bmp3", 0, false},
      {"rle8", "pal.gif", "", 0, false},
      {"rle8wide", "wide.gif", "", 0, false},
      {"pal4", "pal16.gif", "", 0, false},
  };
  for (const ImVariant &v : variants) {
    SCOPED_TRACE(v.name);
    std::string bmp = dir + "/" + v.name + ".bmp", raw = dir + "/" + v.name + ".rgba";
    ASSERT_TRUE(Shell("convert " + dir + "/" + v.source + " " + v.args + " " + bmp));
    ASSERT_TRUE(Shell("convert " + bmp + " -depth 8 rgba:" + raw));
    std::vector<uint8_t> data = qvtest::ReadFileBytes(bmp), peer = qvtest::ReadFileBytes(raw);
    uint32_t type;
    ASSERT_TRUE(qvhost::DetectImageType(data.data(), data.size(), &type));
    qvhost::Options o = Extended(type);
    qvhost::Result r = qvhost::Decode(data.data(), data.size(), o);
    ASSERT_TRUE(r.ok()) << qvhost::StatusText(r.status);
    EXPECT_EQ((r.flags & QV_FLAG_ALPHA) != 0, v.alpha);
    EXPECT_EQ(r.header.biBitCount == 32, v.alpha);
    EXPECT_FALSE(r.flags & QV_FLAG_PARTIAL);
    std::vector<uint8_t> ours = ToRgba(r, o.flags);
    ASSERT_EQ(ours.size(), peer.size());
    size_t bad = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
      int slack = v.colourSlack;
      if (i % 4 == 3) {
        if (!v.alpha) continue;  // opaque here; ImageMagick may say either
        if (strcmp(v.name, "argb1555") == 0) {  // one bit: ImageMagick makes 1 into 128
          if ((ours[i] != 0) != (peer[i] != 0)) ++bad;
          continue;
        }
      }
      if (abs(ours[i] - peer[i]) > slack) ++bad;
    }
    EXPECT_EQ(bad, 0u);
    ExpectSameUnderStress(data, o);
  }
}

TEST(ClassicExtended, PackedPcxAgreesWithPcxtoppm) {
  if (!HaveTool("ppmtopcx -version") || !HaveTool("convert -version"))
    return qvtest::NotRun("netpbm's ppmtopcx or ImageMagick's convert is not installed");
  std::string dir = qvtest::TempPath("packed-pcx");
  ASSERT_TRUE(Shell("mkdir -p " + dir));
  for (int colours : {16, 4}) {
    for (int width : {37, 1, 8}) {
      SCOPED_TRACE(std::to_string(colours) + " colours, width " + std::to_string(width));
      std::string base = dir + "/c" + std::to_string(colours) + "w" + std::to_string(width);
      ASSERT_TRUE(Shell("convert -size " + std::to_string(width) + "x19 plasma:fractal -seed 3 -colors " +
                      std::to_string(colours) + " ppm:" + base + ".ppm"));
      ASSERT_TRUE(Shell("ppmtopcx -packed " + base + ".ppm > " + base + ".pcx"));
      ASSERT_TRUE(Shell("pcxtoppm " + base + ".pcx > " + base + ".peer.ppm"));
      std::vector<uint8_t> data = qvtest::ReadFileBytes(base + ".pcx");
      std::vector<uint8_t> peer = qvtest::ReadFileBytes(base + ".peer.ppm");
      qvhost::Options o = Extended(QV_TYPE_PCX8);
      qvhost::Result r = qvhost::Decode(data.data(), data.size(), o);
      ASSERT_TRUE(r.ok()) << qvhost::StatusText(r.status);
      qvhost::Pixels p;
      ASSERT_TRUE(qvhost::ResultToRgb(r, o.flags, &p, nullptr));
      // The peer's P6 pixels are the last width x height x 3 bytes.
      ASSERT_GE(peer.size(), p.rgb.size());
      EXPECT_TRUE(std::equal(p.rgb.begin(), p.rgb.end(), peer.end() - static_cast<long>(p.rgb.size())));
      // Without the bit a 4-bit plane stays refused, as before.
      qvhost::Options strict = o;
      strict.flags &= ~QV_FLAG_EXTENDED;
      if (colours == 16) {
        EXPECT_EQ(qvhost::Decode(data.data(), data.size(), strict).status, QV_ERR_BAD_HEADER);
      }
      ExpectSameUnderStress(data, o);
    }
  }
}

// A file cut at several points decodes as far as it goes: a complete bitmap
// of the header's size, the rows it holds as in the full decode, the same
// bytes under stress; without the bit, never a partial image.
// Returns how many cuts decoded as partial images.
size_t CheckCuts(const std::string &name, const std::vector<uint8_t> &data, uint32_t type, bool stress) {
  size_t partial = 0;
  SCOPED_TRACE(name);
  qvhost::Options o = Extended(type);
  o.outputLimit = size_t{64} << 20;
  uint32_t fullDamaged;
  qvhost::Result full = DecodeCounting(data, o, &fullDamaged);
  qvhost::Options strict = o;
  strict.flags &= ~QV_FLAG_EXTENDED;
  qvhost::Result strictFull = qvhost::Decode(data.data(), data.size(), strict);
  size_t n = data.size();
  for (size_t cut : {n / 10, n / 2, n * 9 / 10, n > 3 ? n - 3 : 0}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::vector<uint8_t> piece(data.begin(), data.begin() + static_cast<long>(cut));
    uint32_t damaged;
    qvhost::Result r = DecodeCounting(piece, o, &damaged);
    EXPECT_TRUE(r.response == ResponseDone || r.response == ResponseError);
    qvhost::Result s = qvhost::Decode(piece.data(), piece.size(), strict);
    EXPECT_FALSE(s.flags & QV_FLAG_PARTIAL);
    if (s.ok() && strictFull.ok()) {
      EXPECT_TRUE(s.output == strictFull.output);
    }
    if (!r.ok()) continue;
    if (stress && cut == n / 2) {
      EXPECT_EQ(qvtest::CheckStress(piece, o, r, Stride(r.header) ? Stride(r.header) : 64), "");
      // Every interlace delivery of a damaged GIF, each pass image complete.
      for (uint32_t mode = 1; type == QV_TYPE_GIFU && mode <= 5; ++mode) {
        qvhost::Options m = o;
        m.interlaceMode = mode;
        qvhost::Result rm = qvhost::Decode(piece.data(), piece.size(), m);
        EXPECT_TRUE(rm.ok()) << "mode " << mode;
        size_t stride = (static_cast<size_t>(rm.header.biWidth) + 3) & ~size_t{3};
        for (const qvhost::PassImage &p : rm.passImages)
          EXPECT_EQ(p.output.size(), Rows(p.header) * stride) << "mode " << mode;
        EXPECT_EQ(rm.output.size(), Rows(rm.header) * stride) << "mode " << mode;
        EXPECT_EQ(qvtest::CheckStress(piece, m, rm, Stride(rm.header) ? Stride(rm.header) : 64), "") << "mode " << mode;
      }
    }
    if (!full.ok() || memcmp(&r.header, &full.header, sizeof r.header) != 0) continue;
    EXPECT_EQ(r.output.size(), full.output.size()) << "the bitmap is not complete";
    if (!(r.flags & QV_FLAG_PARTIAL)) {
      EXPECT_TRUE(r.output == full.output);  // the cut took bytes the image does not need
      continue;
    }
    ++partial;
    uint32_t rows = Rows(r.header), stride = Stride(r.header);
    EXPECT_GE(damaged, 1u);
    EXPECT_LE(damaged, rows);
    if (r.output.size() != full.output.size() || !stride) continue;
    // Rows at the same place in both: every row the cut file holds whole.
    size_t first = r.output.size() - size_t{stride} * rows, same = 0;
    for (uint32_t y = 0; y < rows; ++y)
      same += memcmp(&r.output[first + size_t{y} * stride], &full.output[first + size_t{y} * stride], stride) == 0;
    EXPECT_GE(same + damaged, rows) << "rows before the cut changed";
  }
  return partial;
}

TEST(ClassicExtended, GeneratedFilesCutShort) {
  size_t checked = 0, partial = 0;
  for (const qvtest::SampleFile &f : qvtest::GeneratedSamples()) {
    if (qvhost::IsTiffType(f.imageType)) continue;
    partial += CheckCuts(f.name, f.data, f.imageType, true);
    ++checked;
  }
  EXPECT_GT(checked, 0u);
  EXPECT_GT(partial, 0u);
}

TEST(ClassicExtendedCorpus, EveryFileCutShort) {
  std::vector<qvtest::SampleFile> files = qvtest::CorpusSamples();
  if (files.empty()) return qvtest::NotRun("the shared corpus is absent");
  size_t checked = 0, partial = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const qvtest::SampleFile &f = files[i];
    if (qvhost::IsTiffType(f.imageType)) continue;
#if QV_SLOW_LEG
    if (i % 8) continue;
#endif
    partial += CheckCuts(f.name, f.data, f.imageType, i % 4 == 0);
    ++checked;
  }
  printf("[ cut ] %zu corpus files of the BMP, GIF, PCX and Targa readers cut at four points: %zu cuts "
         "decoded as partial images\n", checked, partial);
  EXPECT_GT(checked, 0u);
}

// The colour profile a 124-byte header names (here after the pixel data,
// embedded or linked) comes out as record 0x1001 with the file's bytes, by
// input seek or inside the queue alike.
TEST(ClassicExtendedCorpus, ColourProfilesAsRecords) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  for (const char *name : {"rgb24prof.bmp", "rgb24prof2.bmp", "rgb24lprof.bmp"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> data = qvtest::ReadFileBytes(dir + "/bmp/bmpsuite/q/" + name);
    ASSERT_GT(data.size(), 138u);
    uint32_t at = 14 + (data[126] | data[127] << 8 | data[128] << 16 | uint32_t{data[129]} << 24);
    uint32_t size = data[130] | data[131] << 8 | data[132] << 16 | uint32_t{data[133]} << 24;
    ASSERT_LE(uint64_t{at} + size, data.size());
    qvhost::Options o = Extended(QV_TYPE_BMP);
    qvhost::Result r = qvhost::Decode(data.data(), data.size(), o);
    ASSERT_TRUE(r.ok());
    size_t found = 0;
    for (const qvhost::ExtraRecord &e : r.extras)
      if (e.kind == QV_EXTRA_BMP_PROFILE) {
        ++found;
        EXPECT_TRUE(e.data == std::vector<uint8_t>(data.begin() + at, data.begin() + at + size));
      }
    EXPECT_EQ(found, 1u);
    EXPECT_EQ(qvtest::CheckStress(data, o, r, Stride(r.header)), "");
    // Without the bit: no such record, the same pixels.
    qvhost::Options strict = o;
    strict.flags = 0;
    qvhost::Result s = qvhost::Decode(data.data(), data.size(), strict);
    for (const qvhost::ExtraRecord &e : s.extras) EXPECT_NE(e.kind, QV_EXTRA_BMP_PROFILE);
    EXPECT_TRUE(s.output == r.output);
  }
}

}  // namespace
