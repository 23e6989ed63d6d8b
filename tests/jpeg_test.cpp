// JPEG reader: pixels against djpeg (the same libjpeg, so exact) on files
// written at test time by cjpeg, Pillow and ImageMagick, with every
// subsampling, progressive and restart markers, grey and CMYK, odd sizes;
// byte-identical output under queue stress; damaged files; the refusals; the
// segments, resolution and orientation; the memory budget; and a system
// without libjpeg.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "codecs/jpeg/jpeg_library.h"
#include "engine/engine.h"
#include "formats/readers.h"
#include "jpeg_writer.h"
#include "test_support.h"

#if QV_TEST_JPEG
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on
#endif

namespace {

using Bytes = std::vector<uint8_t>;
const char *const kPython = "/usr/bin/python3";  // Debian's, with Pillow

bool Succeeds(const std::string &command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

qvhost::Result Decode(const Bytes &file, uint32_t flags = QV_FLAG_HEADER, uint32_t memoryLimit = 0) {
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = QV_TYPE_JPEG;
  o.flags = flags;
  o.memoryLimit = memoryLimit;
  return qvhost::Decode(file.data(), file.size(), o);
}

uint32_t StrideOf(const qvhost::Result &r) {
  return r.header.biHeight ? r.header.biSizeImage / static_cast<uint32_t>(std::abs(r.header.biHeight)) : 64;
}

size_t JpegStackBytes() {
  size_t n = 0;
  const ReaderInfo *t = ReaderTable(&n);
  for (size_t i = 0; i < n; ++i)
    if (t[i].Code == QV_TYPE_JPEG) return t[i].StackBytes;
  return 0;
}

// A PPM (P6) or PGM (P5) of 8-bit samples as RGB.
bool ParsePnm(const Bytes &d, qvhost::Pixels *out, bool *grey) {
  std::string head(d.begin(), d.begin() + std::min<size_t>(d.size(), 64));
  char kind = 0;
  unsigned w = 0, h = 0, maxval = 0;
  int at = 0;
  if (sscanf(head.c_str(), "P%c %u %u %u%n", &kind, &w, &h, &maxval, &at) != 4 || maxval != 255) return false;
  int channels = kind == '6' ? 3 : kind == '5' ? 1 : 0;
  size_t need = size_t{w} * h * channels;
  if (!channels || d.size() < at + 1 + need) return false;
  *grey = channels == 1;
  out->width = w, out->height = h;
  out->rgb.resize(size_t{w} * h * 3);
  for (size_t i = 0; i < size_t{w} * h; ++i)
    for (int c = 0; c < 3; ++c) out->rgb[3 * i + c] = d[at + 1 + i * channels + (channels == 3 ? c : 0)];
  return true;
}

// djpeg's picture (CMYK as its RGB, by the same formula as ours), or false.
bool Djpeg(const std::string &path, qvhost::Pixels *out, bool *grey) {
  FILE *f = popen(("djpeg -pnm '" + path + "' 2>/dev/null").c_str(), "r");
  if (!f) return false;
  Bytes d;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) d.insert(d.end(), buf, buf + n);
  return pclose(f) == 0 && ParsePnm(d, out, grey);
}

void WritePnm(const std::string &path, const qvtest::JpegSettings &settings) {
  std::string head = std::string(settings.components == 1 ? "P5" : "P6") + "\n" + std::to_string(settings.width) + " " +
                     std::to_string(settings.height) + "\n255\n";
  Bytes v(head.begin(), head.end());
  Bytes picture = qvtest::JpegPicture(settings);
  v.insert(v.end(), picture.begin(), picture.end());
  ASSERT_TRUE(qvtest::WriteFileBytes(path, v));
}

// One peer-written file: the command that writes it (OUT is its path).
struct PeerCase {
  std::string name, command;
  bool cmyk = false;
};

std::vector<PeerCase> PeerCases(const std::string &dir, bool pillow, bool magick) {
  std::vector<PeerCase> v;
  const std::string src = dir + "/src.ppm", grey = dir + "/src.pgm";
  const std::pair<const char *, const char *> samplings[] = {
      {"4:4:4", "1x1"}, {"4:2:2", "2x1"}, {"4:2:0", "2x2"}, {"4:1:1", "4x1"}, {"4:4:0", "1x2"}};
  for (const auto &s : samplings) {
    v.push_back({std::string("cjpeg ") + s.first, std::string("cjpeg -sample ") + s.second + " " + src});
    v.push_back({std::string("cjpeg progressive ") + s.first,
                 std::string("cjpeg -progressive -sample ") + s.second + " " + src});
  }
  v.push_back({"cjpeg restart every MCU row", "cjpeg -restart 1 " + src});
  v.push_back({"cjpeg restart every 3 MCUs, progressive", "cjpeg -restart 3B -progressive " + src});
  v.push_back({"cjpeg grey", "cjpeg -grayscale " + src});
  v.push_back({"cjpeg grey progressive", "cjpeg -progressive " + grey});
  v.push_back({"cjpeg optimised", "cjpeg -optimize " + src});
  v.push_back({"cjpeg arithmetic", "cjpeg -arithmetic " + src});
  v.push_back({"cjpeg quality 100", "cjpeg -quality 100 -sample 1x1 " + src});
  v.push_back({"cjpeg quality 5", "cjpeg -quality 5 " + src});
  for (const char *odd : {"1x1", "7x5", "33x17"}) {
    v.push_back({std::string("cjpeg ") + odd, "cjpeg " + dir + "/odd" + odd + ".ppm"});
    v.push_back({std::string("cjpeg progressive ") + odd, "cjpeg -progressive " + dir + "/odd" + odd + ".ppm"});
  }
  for (PeerCase &c : v) c.command.insert(6, "-outfile OUT ");  // after "cjpeg "
  if (pillow) {
    auto py = [&](const std::string &save) {
      return std::string(kPython) + " -c \"from PIL import Image; im = Image.open('" + src + "'); " + save + "\"";
    };
    for (int s : {0, 1, 2}) {
      std::string sub = std::to_string(s);
      v.push_back({"Pillow subsampling " + sub, py("im.save('OUT', quality=90, subsampling=" + sub + ")")});
    }
    v.push_back({"Pillow progressive 4:2:0", py("im.save('OUT', progressive=True, subsampling=2)")});
    v.push_back({"Pillow optimised, dpi and comment",
                 py("im.save('OUT', optimize=True, dpi=(300, 300), comment=b'from Pillow')")});
    v.push_back({"Pillow CMYK", py("im.convert('CMYK').save('OUT', quality=92)"), true});
  }
  if (magick) {
    v.push_back({"ImageMagick Adobe CMYK", "/usr/bin/convert " + src + " -colorspace CMYK OUT", true});
    v.push_back({"ImageMagick Adobe CMYK progressive",
                 "/usr/bin/convert " + src + " -colorspace CMYK -interlace Plane OUT", true});
    v.push_back({"ImageMagick grey 4:4:4", "/usr/bin/convert " + grey + " -sampling-factor 1x1 OUT"});
  }
  return v;
}

// Pillow's CMYK samples (Adobe's inverted values made plain, as ours), top
// row first.
bool PillowCmyk(const std::string &path, Bytes *out) {
  std::string raw = path + ".cmyk";
  std::string cmd = std::string(kPython) + " -c \"from PIL import Image; open('" + raw +
                    "', 'wb').write(Image.open('" + path + "').tobytes())\"";
  if (!Succeeds(cmd)) return false;
  *out = qvtest::ReadFileBytes(raw);
  return !out->empty();
}

// ---- Differential and stress ------------------------------------------------------

TEST(Jpeg, PeerFilesMatchDjpeg) {
#if !QV_HAVE_JPEGLIB
  return qvtest::NotRun("this build has no JPEG reader");
#endif
  if (!Succeeds("djpeg -version") && !Succeeds("cjpeg -version < /dev/null"))
    return qvtest::NotRun("libjpeg-turbo-progs (cjpeg, djpeg) is not installed");
  if (!JpegLibrary()) return qvtest::NotRun(QV_JPEG_SONAME " cannot be loaded");
  std::string dir = qvtest::TempPath("jpeg-peers");
  mkdir(dir.c_str(), 0700);
  qvtest::JpegSettings src;
  src.width = 203, src.height = 121;
  WritePnm(dir + "/src.ppm", src);
  src.components = 1;
  WritePnm(dir + "/src.pgm", src);
  for (auto [w, h] : {std::pair{1u, 1u}, {7u, 5u}, {33u, 17u}}) {
    qvtest::JpegSettings odd;
    odd.width = w, odd.height = h, odd.salt = w;
    WritePnm(dir + "/odd" + std::to_string(w) + "x" + std::to_string(h) + ".ppm", odd);
  }
  bool pillow = Succeeds(std::string(kPython) + " -c 'import PIL'");
  bool magick = Succeeds("/usr/bin/convert -version");
  size_t compared = 0, cmykExact = 0, deepest = 0;
  std::vector<PeerCase> cases = PeerCases(dir, pillow, magick);
  for (size_t i = 0; i < cases.size(); ++i) {
    const PeerCase &c = cases[i];
    SCOPED_TRACE(c.name);
    std::string path = dir + "/peer" + std::to_string(i) + ".jpg", command = c.command;
    command.replace(command.find("OUT"), 3, path);
    ASSERT_TRUE(Succeeds(command)) << command;
    Bytes file = qvtest::ReadFileBytes(path);
    qvhost::Pixels peer, got;
    bool grey = false;
    ASSERT_TRUE(Djpeg(path, &peer, &grey));
    for (uint32_t flags : {uint32_t{QV_FLAG_HEADER}, uint32_t{QV_FLAG_TOP_DOWN}}) {
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = QV_TYPE_JPEG;
      o.flags = flags;
      o.test.measureStack = true;
      qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
      ASSERT_TRUE(r.ok()) << r.status;
      deepest = std::max(deepest, r.stackUsed);
      EXPECT_EQ(r.header.biBitCount, c.cmyk ? 32 : grey ? 8 : 24);
      EXPECT_EQ((r.flags & QV_FLAG_GREY) != 0, grey);
      std::string err;
      ASSERT_TRUE(qvhost::ResultToRgb(r, flags, &got, &err)) << err;
      ASSERT_EQ(got.width, peer.width);
      ASSERT_EQ(got.height, peer.height);
      EXPECT_TRUE(got.rgb == peer.rgb);
      o.test.measureStack = false;
      EXPECT_EQ(qvtest::CheckStress(file, o, r, StrideOf(r)), "");
      if (c.cmyk && flags == QV_FLAG_TOP_DOWN) {
        ASSERT_EQ(r.header.biCompression, QV_FOURCC('C', 'M', 'Y', 'K'));
        Bytes plain;
        if (pillow && PillowCmyk(path, &plain)) {
          EXPECT_TRUE(plain == r.output) << "CMYK samples differ from Pillow's";
          ++cmykExact;
        }
      }
    }
    ++compared;
  }
  printf("[ peers ] %zu files equal djpeg's pixels (%zu CMYK also Pillow's samples); deepest job stack %zu of %zu bytes\n",
         compared, cmykExact, deepest, JpegStackBytes());
  EXPECT_GE(compared, 27u);
  // libjpeg's frames and SIMD paths stay far inside the JPEG job stack.
  EXPECT_LT(deepest, JpegStackBytes() / 4);
}

// ---- Damaged files ------------------------------------------------------------------

// A decode, with the block as the job left it at its end.
qvhost::Result DecodeKeepingBlock(const Bytes &file, uint32_t flags, ParamBlock *last) {
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = QV_TYPE_JPEG;
  o.flags = flags;
  qvhost::TestHooks hooks;
  hooks.afterResponse = [last](ParamBlock *pb, int response) {
    if (response == ResponseDone || response == ResponseError) *last = *pb;
  };
  return qvhost::DecodeWithHooks(file.data(), file.size(), o, hooks);
}

// Cut and damaged copies of files of every kind end with a status or a
// decode, the same under queue stress. Strict decoding refuses every cut
// file; extended decoding delivers what libjpeg could decode, marked
// partial, with libjpeg's warnings counted. (A damaged byte that still
// leaves valid entropy-coded data decodes without complaint in any
// decoder: those count as decoded.)
TEST(Jpeg, DamagedFilesEndCleanly) {
  std::vector<Bytes> files;
  const uint32_t kHeight = 45;
  for (int kind = 0; kind < 4; ++kind) {
    qvtest::JpegSettings s;
    s.width = 61, s.height = kHeight, s.salt = static_cast<uint32_t>(kind);
    s.restartRows = kind == 0 ? 1 : 0;
    s.progressive = kind == 1;
    s.components = kind == 2 ? 1 : kind == 3 ? 4 : 3;
    s.arithmetic = kind == 2;
    files.push_back(qvtest::MakeJpeg(s));
  }
  if (files[0].empty()) return qvtest::NotRun("libjpeg is not linked into the tests");
  if (!JpegLibrary()) return qvtest::NotRun(QV_JPEG_SONAME " cannot be loaded");
  size_t cut = 0, damaged = 0, refused = 0, partial = 0;
  uint32_t seed = 1;
  auto check = [&](const Bytes &file, bool isCut) {
    for (uint32_t extended : {0u, uint32_t{QV_FLAG_EXTENDED}}) {
      SCOPED_TRACE(std::string(isCut ? "cut" : "damaged") + " at " + std::to_string(file.size()) +
                   (extended ? ", extended" : ""));
      ParamBlock last{};
      qvhost::Result r = DecodeKeepingBlock(file, QV_FLAG_HEADER | extended, &last);
      ASSERT_TRUE(r.response == ResponseDone || r.response == ResponseError);
      if (isCut && !extended) {
        EXPECT_EQ(r.status, QV_ERR_INPUT_ENDED);
      }
      refused += r.response == ResponseError;
      if (r.ok() && (r.flags & QV_FLAG_PARTIAL)) {
        ++partial;
        EXPECT_TRUE(extended);
        EXPECT_GE(last.DamagedRows, isCut ? 1u : 0u);
        EXPECT_LE(last.DamagedRows, kHeight);
        ASSERT_FALSE(r.extras.empty());
        EXPECT_EQ(r.extras.back().kind, QV_EXTRA_JPEG_WARNINGS);
      } else if (r.ok() && isCut) {
        ADD_FAILURE() << "a cut file decoded as whole";
      }
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = QV_TYPE_JPEG;
      o.flags = QV_FLAG_HEADER | extended;
      EXPECT_EQ(qvtest::CheckStress(file, o, r, StrideOf(r)), "");
      ++(isCut ? cut : damaged);
    }
  };
  for (const Bytes &full : files) {
    for (size_t k = 1; k < 24; ++k) check(Bytes(full.begin(), full.begin() + full.size() * k / 24), true);
    for (int k = 0; k < 24; ++k) {
      Bytes file = full;
      for (int n = 0; n < 3; ++n) {
        seed = seed * 1103515245u + 12345u;
        size_t at = 20 + (seed >> 8) % (file.size() - 22);
        file[at] = static_cast<uint8_t>(file[at] ^ (1u << (seed >> 4 & 7)));
      }
      check(file, false);
    }
  }
  printf("[ damaged ] %zu cut and %zu damaged decodes: %zu refused, %zu partial images\n", cut, damaged, refused,
         partial);
  EXPECT_GT(partial, 0u);
}

// ---- What the reader refuses ------------------------------------------------------

TEST(Jpeg, Refusals) {
  qvtest::JpegSettings s;
  s.width = 16, s.height = 16;
  Bytes good = qvtest::MakeJpeg(s);
  if (good.empty()) return qvtest::NotRun("libjpeg is not linked into the tests");
  if (!JpegLibrary()) return qvtest::NotRun(QV_JPEG_SONAME " cannot be loaded");
  auto patchSof = [&](uint8_t marker, uint8_t precision) {
    Bytes f = good;
    for (size_t i = 2; i + 4 < f.size(); ++i)
      if (f[i] == 0xFF && f[i + 1] == 0xC0) {
        f[i + 1] = marker;
        f[i + 4] = precision;
        break;
      }
    return f;
  };
  qvtest::JpegSettings two = s;
  two.components = 2;
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0};
  struct Case {
    const char *name;
    Bytes file;
    int32_t status;
  } cases[] = {
      {"12-bit samples", patchSof(0xC1, 12), QV_ERR_JPEG_PRECISION},
      {"two components", qvtest::MakeJpeg(two), QV_ERR_JPEG_COLOUR},
      {"not a JPEG file", gif, QV_ERR_JPEG_SIGNATURE},
#if QV_TEST_JPEG
      {"lossless frame", patchSof(0xC3, 8), QV_ERR_JPEG_LIBRARY - int{JERR_SOF_UNSUPPORTED}},
#endif
      {"header only", Bytes(good.begin(), good.begin() + 2), QV_ERR_INPUT_ENDED},
  };
  for (const Case &c : cases) {
    qvhost::Result r = Decode(c.file);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.response, ResponseError) << c.name;
  }
  EXPECT_NE(strstr(QvStatusText(QV_ERR_JPEG_LIBRARY - 60), "libjpeg"), nullptr);
}

// ---- Segments, resolution, orientation ----------------------------------------------

TEST(Jpeg, SegmentsResolutionAndOrientation) {
  struct Case {
    const char *name;
    int densityUnit;
    uint16_t density;
    uint16_t orientation;
    uint32_t exifDpi;
    bool bigEndian;
    int32_t pelsPerMetre;
    uint32_t orientationOut;
  } cases[] = {
      {"EXIF alone", 0, 1, 6, 300, false, 11811, 6},
      {"EXIF big-endian", 0, 1, 8, 96, true, 3780, 8},
      {"JFIF dpi before EXIF", 1, 72, 3, 300, false, 2835, 3},
      {"JFIF per centimetre", 2, 40, 0, 0, false, 4000, 1},
      {"nothing stated", 0, 1, 0, 0, false, 0, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::JpegSettings s;
    s.width = 24, s.height = 8;
    s.densityUnit = c.densityUnit;
    s.xDensity = s.yDensity = c.density;
    Bytes exif = qvtest::ExifBlock(c.orientation, c.exifDpi, c.bigEndian);
    Bytes comment = {'a', ' ', 'n', 'o', 't', 'e'};
    if (c.orientation || c.exifDpi) s.segments.push_back({0xE1, exif});
    s.segments.push_back({0xFE, comment});
    Bytes file = qvtest::MakeJpeg(s);
    if (file.empty()) return qvtest::NotRun("libjpeg is not linked into the tests");
    if (!JpegLibrary()) return qvtest::NotRun(QV_JPEG_SONAME " cannot be loaded");
    qvhost::Result r = Decode(file);
    ASSERT_TRUE(r.ok()) << r.status;
    EXPECT_EQ(r.header.biXPelsPerMeter, c.pelsPerMetre);
    EXPECT_EQ(r.header.biYPelsPerMeter, c.pelsPerMetre);
    // The host library reports Orientation only in its block; read it back
    // through a hook.
    uint32_t orientation = 0;
    qvhost::TestHooks hooks;
    hooks.afterResponse = [&](ParamBlock *pb, int response) {
      if (response == ResponseDone) orientation = pb->Orientation;
    };
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = QV_TYPE_JPEG;
    qvhost::DecodeWithHooks(file.data(), file.size(), o, hooks);
    EXPECT_EQ(orientation, c.orientationOut);
    std::vector<qvhost::ExtraRecord> want;
    if (c.orientation || c.exifDpi) want.push_back({QV_EXTRA_JPEG_APP1, exif});
    want.push_back({QV_EXTRA_JPEG_COMMENT, comment});
    ASSERT_EQ(r.extras.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(r.extras[i].kind, want[i].kind);
      EXPECT_TRUE(r.extras[i].data == want[i].data);
    }
  }
}

// ---- Memory ----------------------------------------------------------------------------

// A baseline image decodes in a few rows of working memory; a progressive
// one needs every coefficient, which counts against MemoryLimit.
TEST(Jpeg, ProgressiveCoefficientsCountAgainstTheBudget) {
  struct Case {
    bool progressive;
    int sampling;  // 2: 4:2:0, 1: 4:4:4
    uint32_t limit;
    int32_t status;
  } cases[] = {
      {false, 2, 1u << 20, QV_OK},        // the 2.4 MB bitmap goes out through the queue
      {true, 2, 1u << 20, QV_ERR_BUFFER}, // 1024 x 768 x 1.5 components x 2 bytes: 2.4 MB
      {true, 2, 3u << 20, QV_OK},
      {true, 1, 3u << 20, QV_ERR_BUFFER}, // 4:4:4: 4.7 MB
      {true, 1, 6u << 20, QV_OK},
  };
  for (const Case &c : cases) {
    qvtest::JpegSettings s;
    s.width = 1024, s.height = 768, s.quality = 50;
    s.progressive = c.progressive;
    s.hSample = s.vSample = c.sampling;
    Bytes file = qvtest::MakeJpeg(s);
    if (file.empty()) return qvtest::NotRun("libjpeg is not linked into the tests");
    if (!JpegLibrary()) return qvtest::NotRun(QV_JPEG_SONAME " cannot be loaded");
    qvhost::Result r = Decode(file, 0, c.limit);
    EXPECT_EQ(r.status, c.status) << (c.progressive ? "progressive " : "baseline ") << c.sampling << ", limit "
                                  << c.limit;
  }
}

// ---- Without libjpeg ----------------------------------------------------------------------

// Where libjpeg cannot be loaded (or this build has no JPEG reader), a JPEG
// job fails with its own status, whose text names the package; the job
// ends cleanly and other formats are untouched.
TEST(Jpeg, UnavailableLibrary) {
  Bytes file = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0, 0xFF, 0xD9};
#if QV_HAVE_JPEGLIB
  SetJpegLibraryNameForTest("libjpeg-missing.so.62");
#endif
  qvhost::Result r = Decode(file);
  EXPECT_EQ(r.response, ResponseError);
  EXPECT_EQ(r.status, QV_ERR_JPEG_UNAVAILABLE);
  EXPECT_NE(strstr(QvStatusText(r.status), "libjpeg62-turbo"), nullptr);
  EXPECT_EQ(r.output.size(), 0u);
  uint32_t type = 0;
  EXPECT_TRUE(qvhost::DetectImageType(file.data(), file.size(), &type));
  EXPECT_EQ(type, QV_TYPE_JPEG);
  EXPECT_STREQ(QvImageTypeName(QV_TYPE_JPEG), "JPEG");
#if QV_HAVE_JPEGLIB
  SetJpegLibraryNameForTest(nullptr);
  qvtest::JpegSettings s;
  Bytes real = qvtest::MakeJpeg(s);
  if (!real.empty() && JpegLibrary()) {
    EXPECT_TRUE(Decode(real).ok());
  }
#endif
}

}  // namespace
