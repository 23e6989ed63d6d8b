// The quorvin and cindral tools and examples/host.c, run as programs on the
// files samplegen makes: what they write must be what the library decodes,
// byte for byte under every protocol option, and no file may be lost.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "../tiff_builder.h"
#include "codecs/ccitt/ccitt_tables.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Args = std::vector<std::string>;

struct Ran {
  int code = -1;
  std::string out, err;
};

std::string ReadText(const std::string &path) {
  Bytes b = qvtest::ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

// Runs a program; stdin from a file (a pipe when piped), stdout and stderr kept.
Ran RunProgram(const Args &args, const std::string &input = "", bool piped = false) {
  std::string out = qvtest::TempPath("run.out"), err = qvtest::TempPath("run.err");
  int fds[2] = {-1, -1};
  if (piped && pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    int in = piped ? fds[0] : open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (piped) close(fds[1]);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (piped) {
    close(fds[0]);
    Bytes data = qvtest::ReadFileBytes(input);
    EXPECT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fds[1]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Ran r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadText(out);
  r.err = ReadText(err);
  return r;
}

Ran Quorvin(Args args, const std::string &input = "", bool piped = false) {
  args.insert(args.begin(), QUORVIN_TOOL);
  return RunProgram(args, input, piped);
}

Ran Cindral(Args args, const std::string &input = "", bool piped = false) {
  args.insert(args.begin(), CINDRAL_TOOL);
  return RunProgram(args, input, piped);
}

// The sample files, made once per test program.
const std::string &Samples() {
  static std::string dir = [] {
    std::string d = qvtest::TempPath("samples");
    mkdir(d.c_str(), 0700);
    Ran r = RunProgram({SAMPLEGEN_TOOL, "--set", d});
    EXPECT_EQ(r.code, 0) << r.err;
    return d;
  }();
  return dir;
}

const char *const kSamples[] = {"bmp24.bmp",      "bmp8.bmp",  "bmp4-topdown.bmp", "bmp1.bmp",
                                "grey8.bmp",      "rle8.bmp",  "os2.bmp",          "interlaced.gif",
                                "plain.gif",      "pcx8.pcx",  "pcx24.pcx",        "tga24.tga",
                                "tga8-rle.tga",   "tga-grey.tga"};

std::string Sample(const char *name) { return Samples() + "/" + name; }

qvhost::Result LibraryDecode(const std::string &path) {
  Bytes data = qvtest::ReadFileBytes(path);
  qvhost::Options o;
  EXPECT_TRUE(qvhost::DetectImageType(data.data(), data.size(), &o.imageType)) << path;
  o.interlaceMode = QV_INTERLACE_FINAL_ONLY;
  return qvhost::Decode(data.data(), data.size(), o);
}

qvhost::Pixels LibraryPixels(const std::string &path) {
  qvhost::Pixels px;
  std::string err;
  qvhost::Result r = LibraryDecode(path);
  EXPECT_TRUE(r.ok() && qvhost::ResultToRgb(r, 0, &px, &err)) << path << ": " << r.status << err;
  return px;
}

// Names left in a folder: a leftover temporary file shows up here.
std::set<std::string> Listing(const std::string &dir) {
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

// One run of a tool and what it must answer: exit code and a piece of each stream.
struct Expect {
  Args args;
  int code;
  std::string stdoutHas, stderrHas;
};

// Runs program with each case's arguments; after each, check() may look further.
template <typename Check>
void ExpectRuns(const char *program, const std::vector<Expect> &cases, Check check) {
  for (const Expect &c : cases) {
    std::string shown;
    for (const std::string &a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    Args args = c.args;
    args.insert(args.begin(), program);
    Ran r = RunProgram(args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.out.find(c.stdoutHas), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << r.err;
    check(c, r);
  }
}


// ---- Generated TIFF pages and raw fax data ------------------------------------

// A three-page TIFF: grey, RGB and CMYK pages with descriptive tags.
Bytes MultiPageTiff(bool bigEndian) {
  std::vector<tiffbuild::Page> pages(3);
  const uint16_t samples[3] = {1, 3, 4}, photometric[3] = {1, 2, 5};
  for (int i = 0; i < 3; ++i) {
    tiffbuild::Page &p = pages[i];
    p.width = 19 + 4 * i;
    p.height = 7 + i;
    p.samples = samples[i];
    p.photometric = photometric[i];
    p.compression = i == 1 ? 32773 : 1;
    p.rowsPerStrip = 3;
    p.pixels.resize(size_t{tiffbuild::RowBytes(p)} * p.height);
    for (size_t k = 0; k < p.pixels.size(); ++k) p.pixels[k] = static_cast<uint8_t>(k * 37 + i * 11);
    p.tags = {{282, tiffbuild::kRational, {300, 1}}, {285, tiffbuild::kAscii, {}}};
    std::string name = "sheet " + std::to_string(i + 1);
    p.tags[1].values.assign(name.begin(), name.end());
    p.tags[1].values.push_back(0);
  }
  // CMYK pixels with known colours first: white, cyan, black, half-grey.
  const uint8_t known[16] = {0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 128};
  std::copy(known, known + 16, pages[2].pixels.begin());
  auto text = [](uint16_t tag, const std::string &v) {
    tiffbuild::Tag t{tag, tiffbuild::kAscii, {}};
    t.values.assign(v.begin(), v.end());
    t.values.push_back(0);
    return t;
  };
  pages[0].tags.push_back(text(269, "scan one"));
  pages[0].tags.push_back(text(270, "a \"quoted\"\tdescription"));
  pages[0].tags.push_back(text(33432, "(c) nobody"));
  return tiffbuild::Writer(bigEndian).Build(pages);
}

// A bilevel page, 1 = black: strokes that change from row to row, and
// blank rows in between.
struct FaxPage {
  uint32_t width = 215, height = 40;
  std::vector<uint8_t> black;  // one byte per pixel
  bool Black(uint32_t x, uint32_t y) const { return black[size_t{y} * width + x] != 0; }
};

FaxPage MakeFaxPage() {
  FaxPage p;
  p.black.assign(size_t{p.width} * p.height, 0);
  for (uint32_t y = 0; y < p.height; ++y) {
    if (y % 5 == 4) continue;
    for (uint32_t x = 0; x < p.width; ++x)
      p.black[size_t{y} * p.width + x] = ((x * 7 + y * 3) % 23 < 5 + y % 4) || (y == 2 && x > 150);
  }
  return p;
}

// Raw Group 3 data of a page: an EOL before every row, six at the end. Rows
// are coded one-dimensionally; with twoD each EOL carries its tag bit, and a
// blank row after a blank row is coded as one vertical V0.
Bytes EncodeG3(const FaxPage &page, bool twoD, bool lsbFirst) {
  Bytes out;
  uint32_t used = 0;
  auto put = [&](uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i, ++used) {
      if (used % 8 == 0) out.push_back(0);
      if ((bits >> i) & 1) out.back() |= static_cast<uint8_t>(lsbFirst ? 1 << (used % 8) : 0x80 >> (used % 8));
    }
  };
  auto run = [&](bool white, uint32_t length) {
    const FaxCode *term = white ? kWhiteTerminating : kBlackTerminating;
    const FaxCode *makeUp = white ? kWhiteMakeUp : kBlackMakeUp;
    if (length >= 64) put(makeUp[length / 64 - 1].bits, makeUp[length / 64 - 1].length);
    put(term[length % 64].bits, term[length % 64].length);
  };
  bool blankAbove = false;
  for (uint32_t y = 0; y < page.height; ++y) {
    bool blank = true;
    for (uint32_t x = 0; x < page.width; ++x) blank = blank && !page.Black(x, y);
    bool vertical = twoD && blank && blankAbove;
    put(1, 12);
    if (twoD) put(vertical ? 0 : 1, 1);
    if (vertical) {
      put(1, 1);
    } else {
      bool white = true;
      for (uint32_t x = 0; x < page.width;) {
        uint32_t end = x;
        while (end < page.width && page.Black(end, y) == !white) ++end;
        run(white, end - x);
        white = !white;
        x = end;
      }
    }
    blankAbove = blank;
  }
  for (int i = 0; i < 6; ++i) put(twoD ? 3 : 1, twoD ? 13 : 12);
  return out;
}

// Pixels of a PNG file that shows a fax page: 1 for black, 0 for white.
std::vector<uint8_t> PngBlack(const std::string &path) {
  qvhost::Pixels px;
  std::string err;
  EXPECT_TRUE(qvtest::ReadPngRgb(path, &px, &err)) << path << ": " << err;
  std::vector<uint8_t> black(px.rgb.size() / 3);
  for (size_t i = 0; i < black.size(); ++i) black[i] = px.rgb[i * 3] < 128;
  return black;
}

// The pixels the library decodes from a file (page of a TIFF, or raw fax
// with a type and fill order).
qvhost::Pixels LibraryPage(const Bytes &data, uint32_t page, uint32_t type = 0, uint8_t fillOrder = 0) {
  qvhost::Options o;
  if (type)
    o.imageType = type;
  else
    EXPECT_TRUE(qvhost::DetectImageType(data.data(), data.size(), &o.imageType));
  o.pageNumber = page;
  o.faxFillOrder = fillOrder;
  qvhost::Result r = qvhost::Decode(data.data(), data.size(), o);
  qvhost::Pixels px;
  std::string err;
  EXPECT_TRUE(r.ok() && qvhost::ResultToRgb(r, 0, &px, &err)) << r.status << " " << err;
  return px;
}

bool SamePixels(const std::string &png, const qvhost::Pixels &want) {
  qvhost::Pixels got;
  std::string err;
  return qvtest::ReadPngRgb(png, &got, &err) && got.width == want.width && got.height == want.height &&
         got.rgb == want.rgb;
}

TEST(QuorvinTool, WritesWhatTheLibraryDecodesUnderEveryOption) {
  std::string out = qvtest::TempPath("decoded");
  for (const char *name : kSamples) {
    SCOPED_TRACE(name);
    std::string in = Sample(name);
    qvhost::Result lib = LibraryDecode(in);
    ASSERT_TRUE(lib.ok()) << lib.status;
    qvhost::Pixels want = LibraryPixels(in), got;
    std::string err;
    uint32_t stride = lib.header.biSizeImage / static_cast<uint32_t>(std::abs(lib.header.biHeight));
    // PNG: the pixels, the layout chosen for the colour table, the transparency.
    Ran r = Quorvin({"decode", in, "-o", out + ".png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (out + ".png").c_str()));
    bool indexed = lib.header.biBitCount <= 8;
    bool grey = (lib.flags & QV_FLAG_GREY) && !(lib.flags & QV_FLAG_TRANSPARENT);
    EXPECT_EQ((image.format & PNG_FORMAT_FLAG_COLORMAP) != 0, indexed && !grey);
    EXPECT_EQ((image.format & PNG_FORMAT_FLAG_COLOR) != 0, !grey);
    png_image_free(&image);
    uint32_t w, h;
    Bytes rgba;
    ASSERT_TRUE(qvtest::ReadPngRgba(out + ".png", &w, &h, &rgba, &err)) << err;
    ASSERT_EQ(rgba.size(), want.rgb.size() / 3 * 4);
    size_t clear = 0, mismatched = 0;
    for (size_t i = 0; i < want.rgb.size() / 3; ++i) {
      clear += rgba[i * 4 + 3] == 0;
      mismatched += memcmp(&rgba[i * 4], &want.rgb[i * 3], 3) != 0;
    }
    EXPECT_EQ(mismatched, 0u);
    size_t transparent = 0;
    if (lib.flags & QV_FLAG_TRANSPARENT) {
      for (uint8_t b : lib.output) transparent += b == lib.transparentIndex;
      EXPECT_GT(clear, 0u);
    }
    EXPECT_EQ(clear, transparent);
    // BMP: read back by the library, the same picture.
    r = Quorvin({"decode", in, "-o", out + ".bmp"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_TRUE(qvhost::ResultToRgb(LibraryDecode(out + ".bmp"), 0, &got, &err)) << err;
    EXPECT_TRUE(got.rgb == want.rgb) << "BMP pixels differ";
    // DIB: the library's bytes behind a 14-byte file header.
    r = Quorvin({"decode", in, "-o", out + ".dib"});
    ASSERT_EQ(r.code, 0) << r.err;
    Bytes dib = qvtest::ReadFileBytes(out + ".dib");
    qvhost::Options withHeader;
    Bytes data = qvtest::ReadFileBytes(in);
    ASSERT_TRUE(qvhost::DetectImageType(data.data(), data.size(), &withHeader.imageType));
    withHeader.flags = QV_FLAG_HEADER;
    withHeader.interlaceMode = QV_INTERLACE_FINAL_ONLY;
    qvhost::Result delivered = qvhost::Decode(data.data(), data.size(), withHeader);
    ASSERT_TRUE(delivered.ok());
    ASSERT_EQ(dib.size(), 14 + delivered.output.size());
    EXPECT_TRUE(Bytes(dib.begin() + 14, dib.end()) == delivered.output);
    Bytes png = qvtest::ReadFileBytes(out + ".png"), bmp = qvtest::ReadFileBytes(out + ".bmp");
    // Protocol options change nothing in the files: streamed instead of
    // mapped, tiny and odd queues (below one row, which the tool raises),
    // random pieces, batches, every interlace delivery.
    std::string outQueue = std::to_string(stride + 1);
    const Args variants[] = {{"--in-queue", "5", "--out-queue", outQueue, "--chunk-seed", "7"},
                             {"--in-queue", "37", "--chunk-seed", "12345"},
                             {"--whole-input", "--out-queue", "1001"},
                             {"--batch", "3", "--out-queue", "4099"},
                             {"--out-queue", "5", "--in-queue", "4096"},
                             {"--interlace", "0"}, {"--interlace", "1"}, {"--interlace", "3"},
                             {"--interlace", "5", "--out-queue", outQueue}};
    for (const Args &v : variants) {
      SCOPED_TRACE(v[0] + " " + v[1]);
      for (const char *ext : {".png", ".bmp", ".dib"}) {
        Args args = {"decode", in, "-o", out + "-v" + ext};
        args.insert(args.end(), v.begin(), v.end());
        r = Quorvin(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(qvtest::ReadFileBytes(out + "-v" + ext) == (ext[1] == 'p' ? png : ext[1] == 'b' ? bmp : dib)) << ext;
      }
    }
    // Top row first: a BMP with a negative height, the same picture.
    r = Quorvin({"decode", in, "-o", out + "-top.bmp", "--top-down"});
    ASSERT_EQ(r.code, 0) << r.err;
    qvhost::Result top = LibraryDecode(out + "-top.bmp");
    EXPECT_EQ(top.header.biHeight < 0, lib.header.biHeight > 0);
    ASSERT_TRUE(qvhost::ResultToRgb(top, 0, &got, &err)) << err;
    EXPECT_TRUE(got.rgb == want.rgb) << "top-down BMP pixels differ";
  }
}

TEST(QuorvinTool, StandardInputAndOutput) {
  std::string in = Sample("interlaced.gif"), out = qvtest::TempPath("std");
  ASSERT_EQ(Quorvin({"decode", in, "-o", out + ".png"}).code, 0);
  ASSERT_EQ(Quorvin({"decode", in, "-o", out + ".bmp"}).code, 0);
  std::string png = ReadText(out + ".png"), bmp = ReadText(out + ".bmp");
  struct Case {
    const char *name;
    Args args;
    bool piped;
    const std::string &want;
  };
  const Case cases[] = {
      {"file to standard output", {"decode", in, "-o", "-"}, false, png},
      {"redirected input", {"decode", "-", "-o", "-", "--format", "bmp"}, false, bmp},
      {"piped input, default output", {"decode", "-"}, true, png},
      {"piped input to a file", {"decode", "-", "-o", out + "-p.png"}, true, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Ran r = Quorvin(c.args, in, c.piped);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == c.want) << "standard output holds " << r.out.size() << " bytes";
  }
  EXPECT_TRUE(ReadText(out + "-p.png") == png);
  // A failure writes nothing to standard output.
  Ran r = Quorvin({"decode", "-", "-o", "-", "--type", "GIFN"}, in, true);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("standard input: status -7020"), std::string::npos) << r.err;
}

TEST(QuorvinTool, NeverLosesAFile) {
  std::string dir = qvtest::TempPath("keep");
  mkdir(dir.c_str(), 0700);
  Bytes original = qvtest::ReadFileBytes(Sample("bmp8.bmp"));
  std::string in = dir + "/in.bmp";
  ASSERT_TRUE(qvtest::WriteFileBytes(in, original));
  ASSERT_EQ(symlink("in.bmp", (dir + "/link.bmp").c_str()), 0);
  ASSERT_EQ(link(in.c_str(), (dir + "/hard.bmp").c_str()), 0);
  Bytes gif = qvtest::ReadFileBytes(Sample("plain.gif"));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/cut.gif", Bytes(gif.begin(), gif.begin() + gif.size() / 2)));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/precious.png", {'k', 'e', 'e', 'p'}));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/precious.bmp", {'k', 'e', 'e', 'p'}));
  std::set<std::string> before = Listing(dir);
  // Every refusal and failure: exit 1, the reason named, nothing changed.
  const std::vector<Expect> cases = {
      {{"decode", in, "-o", in}, 1, "", "is the input file"},
      {{"decode", in, "-o", dir + "/link.bmp"}, 1, "", "is the input file"},          // symbolic link
      {{"decode", dir + "/hard.bmp", "-o", in}, 1, "", "is the input file"},         // hard link
      {{"decode", in, "-o", dir + "/./in.bmp"}, 1, "", "is the input file"},         // another spelling
      {{"decode", in, "--format", "bmp"}, 1, "", "is the input file"},               // the default name
      {{"decode", "--strict", dir + "/cut.gif", "-o", dir + "/precious.png"}, 1, "", "cut.gif: status -1013"},
      {{"decode", "--strict", dir + "/cut.gif", "-o", dir + "/precious.bmp"}, 1, "", "cut.gif: status -1013"},
      {{"decode", in, "-o", dir + "/no/such.png"}, 1, "", "no/such.png: No such file or directory"},
      {{"decode", in, "-o", dir, "--format", "png"}, 1, "", "keep: Is a directory"},
  };
  ExpectRuns(QUORVIN_TOOL, cases, [&](const Expect &, const Ran &) {
    EXPECT_TRUE(qvtest::ReadFileBytes(in) == original);
    EXPECT_EQ(qvtest::ReadFileBytes(dir + "/precious.png"), Bytes({'k', 'e', 'e', 'p'}));
    EXPECT_EQ(qvtest::ReadFileBytes(dir + "/precious.bmp"), Bytes({'k', 'e', 'e', 'p'}));
    EXPECT_EQ(Listing(dir), before);  // no temporary file left behind
  });
  // Writing through a link replaces the file it points to, and keeps the link.
  ASSERT_EQ(symlink("precious.png", (dir + "/to-precious.png").c_str()), 0);
  Ran r = Quorvin({"decode", in, "-o", dir + "/to-precious.png"});
  EXPECT_EQ(r.code, 0) << r.err;
  struct stat st;
  ASSERT_EQ(lstat((dir + "/to-precious.png").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(qvtest::ReadFileBytes(dir + "/precious.png").size() > 100, true);
}

// A mapped input another program cuts short while it is read: that input
// fails with its own message and leaves no output, the tool lives on and the
// other inputs of the run decode as they would alone. The test build's
// QVTOOL_TEST_CUT_INPUT=BYTES:PATH has the tool cut PATH right after mapping
// it, before the first read, so the fault comes at the same place every time.
TEST(QuorvinTool, AnInputCutShortWhileReadFailsAlone) {
  std::string dir = qvtest::TempPath("cut-short"), in = dir + "/in", out = dir + "/out";
  mkdir(dir.c_str(), 0700);
  mkdir(in.c_str(), 0700);
  std::string whole = dir + "/whole.bmp", cut = in + "/cut.bmp", intact = in + "/intact.bmp";
  Ran made = RunProgram({SAMPLEGEN_TOOL, "--big-bmp", "512", "512", whole});
  ASSERT_EQ(made.code, 0) << made.err;
  Bytes original = qvtest::ReadFileBytes(whole);
  ASSERT_TRUE(qvtest::WriteFileBytes(intact, original));
  auto reference = [&](const std::string &format) {
    std::string path = dir + "/reference." + format;
    Ran r = Quorvin({"decode", whole, "-o", path});
    EXPECT_EQ(r.code, 0) << r.err;
    return qvtest::ReadFileBytes(path);
  };
  const Bytes png = reference("png"), dib = reference("dib");
  // Batch keeps an input's path under the output folder.
  std::string batchPng = out + "/" + in.substr(in.find_first_not_of('/')) + "/intact.png";
  const std::string said = cut + ": the file was cut short while it was read";
  struct Case {
    const char *cutTo;  // 0: the first read faults; 8192: the header reads, the rows fault
    Args args;
    std::string output;  // what the intact input gives, "" for none
    const Bytes *expected;
  };
  const Case cases[] = {
      {"0", {"decode", cut, intact}, in + "/intact.png", &png},
      {"8192", {"decode", intact, cut}, in + "/intact.png", &png},
      {"8192", {"decode", "--format", "dib", cut, intact}, in + "/intact.dib", &dib},
      // Tiny output queues and batches of rows: many more returns to the tool.
      {"100000", {"decode", "--out-queue", "7", "--batch", "3", cut, intact}, in + "/intact.png", &png},
      {"8192", {"batch", in, "-o", out, "-j", "2"}, batchPng, &png},
      {"0", {"info", "--json", cut, intact}, "", nullptr},
  };
  for (const Case &c : cases) {
    std::string shown = std::string("cut to ") + c.cutTo + ": ";
    for (const std::string &a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    ASSERT_TRUE(qvtest::WriteFileBytes(cut, original));
    std::set<std::string> before = Listing(in);
    ASSERT_EQ(setenv("QVTOOL_TEST_CUT_INPUT", (std::string(c.cutTo) + ":" + cut).c_str(), 1), 0);
    Ran r = Quorvin(c.args);
    unsetenv("QVTOOL_TEST_CUT_INPUT");
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    EXPECT_EQ(qvtest::ReadFileBytes(cut).size(), std::stoul(c.cutTo));  // the hook did cut it
    if (c.output.empty()) {
      EXPECT_NE(r.out.find("{\"file\":\"" + cut + "\",\"status\":null,\"error\":\"the file was cut short"),
                std::string::npos) << r.out;
      EXPECT_NE(r.out.find("{\"file\":\"" + intact + "\",\"type\":\"BMP\""), std::string::npos) << r.out;
      continue;
    }
    EXPECT_TRUE(qvtest::ReadFileBytes(c.output) == *c.expected);
    // Only the intact input's output is new: nothing for the cut one, no
    // temporary file left behind.
    std::set<std::string> after = Listing(c.args[0] == "batch" ? batchPng.substr(0, batchPng.rfind('/')) : in);
    if (c.args[0] != "batch") after.erase(c.output.substr(c.output.rfind('/') + 1));
    EXPECT_EQ(after, c.args[0] == "batch" ? std::set<std::string>{"intact.png"} : before);
    unlink(c.output.c_str());
  }
}

TEST(QuorvinTool, MessagesAndExitCodes) {
  std::string dir = qvtest::TempPath("messages");
  mkdir(dir.c_str(), 0700);
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/empty.bmp", {}));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/text.txt", {'h', 'e', 'l', 'l', 'o', '\n'}));
  std::string bmp = Sample("bmp8.bmp");
  const std::vector<Expect> cases = {
      {{}, 2, "", "no command given"},
      {{"--help"}, 0, "exit status: 0 success", ""},
      {{"-h"}, 0, "usage: quorvin decode", ""},
      {{"info", "--help"}, 0, "--in-queue BYTES", ""},
      {{"--version"}, 0, "quorvin ", ""},
      {{"frobnicate"}, 2, "", "unknown command 'frobnicate'"},
      {{"decode", "--bogus", bmp}, 2, "", "unknown option '--bogus'"},
      {{"decode", "--in-queue", "99999999999999", bmp}, 2, "", "out of range (5 to 268435456)"},
      {{"decode", "--interlace", "6", bmp}, 2, "", "'--interlace': 6 is out of range"},
      {{"decode", "--batch", "abc", bmp}, 2, "", "'abc' is not a number"},
      {{"decode", "--format", "jpeg", bmp}, 2, "", "'jpeg' is not bmp, png or dib"},
      {{"decode", bmp, "-o", dir + "/x.jpg"}, 2, "", "cannot tell the format"},
      {{"decode", bmp, bmp, "-o", dir + "/x.png"}, 2, "", "-o names one output"},
      {{"info", "--json", bmp, "-o", "x"}, 2, "", "'-o' does not apply to info"},
      {{"decode"}, 2, "", "no input file"},
      {{"decode", dir + "/missing.bmp"}, 1, "", "missing.bmp: No such file or directory"},
      {{"info", dir}, 1, "", "messages: Is a directory"},
      {{"decode", dir + "/empty.bmp"}, 1, "", "empty.bmp: empty file"},
      {{"info", dir + "/text.txt"}, 1, "", "text.txt: format not recognised"},
      {{"decode", bmp, "--type", "TGA2", "-o", dir + "/x.png"}, 1, "",
       "bmp8.bmp: --type TGA2 does not match what the file looks like (BMP, a BMP file with plain rows)"},
      {{"decode", bmp, "--type", "XYZW", "-o", dir + "/x.png"}, 2, "", "'XYZW' is not an image type (BMP or 0,"},
      {{"decode", "--max-memory", "12X", bmp}, 2, "", "'12X' is not a size from 0 to 4294967295 bytes"},
      {{"decode", "--max-memory", "4G", bmp}, 2, "", "'4G' is not a size"},
      {{"decode", "--max-memory", "64M", bmp, "-o", dir + "/limited.png"}, 0, "", ""},
      {{"info", "--max-memory", "300KiB", bmp}, 0, "bitmap header", ""},
      {{"decode", bmp, "-o", dir + "/named.png"}, 0, "", ""},
      {{"decode", dir + "/named.png"}, 1, "", "is the input file"},  // a PNG read is not written over itself
      {{"decode", dir + "/named.png", "-o", dir + "/back.bmp"}, 0, "", ""},
  };
  ExpectRuns(QUORVIN_TOOL, cases, [](const Expect &c, const Ran &r) {
    if (c.code == 0 && c.stdoutHas.empty()) {
      EXPECT_EQ(r.err, "");
    }
  });
  // A name chosen by the tool is printed; the output sits beside the input.
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/pic.gif", qvtest::ReadFileBytes(Sample("plain.gif"))));
  Ran r = Quorvin({"decode", dir + "/pic.gif"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/pic.png\n");
}

TEST(QuorvinTool, InfoListsEveryFileAndStopsAfterTheColourTable) {
  std::string dir = qvtest::TempPath("info");
  mkdir(dir.c_str(), 0700);
  // Cut in the middle of the pixels: a decode fails, info does not need them.
  for (const char *name : {"bmp8.bmp", "plain.gif", "tga8-rle.tga"}) {
    Bytes b = qvtest::ReadFileBytes(Sample(name));
    ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/" + name, Bytes(b.begin(), b.begin() + b.size() * 3 / 4)));
  }
  Ran r = Quorvin({"decode", "--strict", dir + "/bmp8.bmp", "-o", dir + "/x.png"});
  EXPECT_NE(r.err.find("status -1013"), std::string::npos) << r.err;
  // Decoded as far as it goes: written, with a warning and exit status 3.
  r = Quorvin({"decode", dir + "/bmp8.bmp", "-o", dir + "/x.png"});
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_NE(r.err.find("damaged or ends early"), std::string::npos) << r.err;
  qvhost::Pixels cut, whole = LibraryPixels(Sample("bmp8.bmp"));
  std::string err;
  ASSERT_TRUE(qvtest::ReadPngRgb(dir + "/x.png", &cut, &err)) << err;
  ASSERT_EQ(cut.rgb.size(), whole.rgb.size());
  // Rows arrive bottom-up and a quarter of the file is gone: the bottom half
  // of the picture is whole.
  size_t rowBytes = size_t{whole.width} * 3, lost = rowBytes * (whole.height - whole.height / 2);
  EXPECT_TRUE(std::equal(cut.rgb.begin() + lost, cut.rgb.end(), whole.rgb.begin() + lost));
  r = Quorvin({"info", "--json", dir + "/bmp8.bmp", dir + "/plain.gif", dir + "/tga8-rle.tga",
               Sample("interlaced.gif"), Sample("pcx8.pcx"), Sample("bmp24.bmp")});
  EXPECT_EQ(r.code, 0) << r.err;
  struct Want {
    const char *file;
    int width, height, bits;
    size_t table;
    const char *also;
  };
  const Want want[] = {
      {"bmp8.bmp", 93, 61, 8, 256, "\"extra\":[]"},
      {"plain.gif", 37, 23, 8, 16, "\"data\":\"21FE73616D706C652100\""},
      {"tga8-rle.tga", 93, 61, 8, 256, "\"kind\":8193,\"length\":9"},
      {"interlaced.gif", 93, 61, 8, 256, "\"transparent_index\":3"},
      {"pcx8.pcx", 93, 61, 8, 256, "\"transparent_index\":null"},
      {"bmp24.bmp", 93, 61, 24, 0, "\"colour_table\":[]"},
  };
  std::stringstream lines(r.out);
  std::string line;
  for (const Want &w : want) {
    ASSERT_TRUE(std::getline(lines, line));
    SCOPED_TRACE(line);
    EXPECT_NE(line.find(std::string("/") + w.file + "\""), std::string::npos);
    char dims[96];
    snprintf(dims, sizeof dims, "\"width\":%d,\"height\":%d,\"planes\":1,\"bits\":%d,", w.width, w.height, w.bits);
    EXPECT_NE(line.find(dims), std::string::npos);
    EXPECT_NE(line.find(w.also), std::string::npos);
    size_t entries = 0;
    for (size_t at = line.find("\"colour_table\":["); at != std::string::npos && line[at] != ']'; ++at)
      entries += line[at] == '#';
    EXPECT_EQ(entries, w.table);
  }
  EXPECT_FALSE(std::getline(lines, line));
  // Text: a block per file; a failing file is named on stderr and the rest still shown.
  r = Quorvin({"info", Sample("bmp1.bmp"), dir + "/none.bmp", Sample("grey8.bmp")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("none.bmp: No such file"), std::string::npos);
  EXPECT_NE(r.out.find("bmp1.bmp\nimage type     BMP\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("colour table   256 entries, grey"), std::string::npos) << r.out;
}

// Pages of a TIFF: one by number (from 1), every one to its own file, the
// refusals; CMYK pages as RGB; info with the page count and named tags, in
// either byte order; the same files under tiny queues and random chunking.
TEST(QuorvinTool, TiffPagesTagsAndCmyk) {
  std::string dir = qvtest::TempPath("pages");
  mkdir(dir.c_str(), 0700);
  std::string le = dir + "/multi.tif", be = dir + "/multi-be.tif";
  ASSERT_TRUE(qvtest::WriteFileBytes(le, MultiPageTiff(false)));
  ASSERT_TRUE(qvtest::WriteFileBytes(be, MultiPageTiff(true)));
  Bytes data = qvtest::ReadFileBytes(le);
  std::string names = dir + "/multi-1.png\n" + dir + "/multi-2.png\n" + dir + "/multi-3.png\n";
  const std::vector<Expect> cases = {
      {{"decode", le, "--page", "2", "-o", dir + "/two.png"}, 0, "", ""},
      {{"decode", le, "--page=3", "-o", dir + "/three.bmp"}, 0, "", ""},
      {{"decode", le, "--page", "4", "-o", dir + "/four.png"}, 1, "",
       "multi.tif: status -1703 (the requested TIFF page does not exist): the file has 3 pages\n"},
      {{"decode", le, "--page", "0"}, 2, "", "'--page': '0' is not all or a page number from 1"},
      {{"decode", le, "--page", "two"}, 2, "", "'two' is not all or a page number"},
      {{"decode", le, "--page", "all", "-o", "-"}, 2, "", "--page all writes one file per page"},
      {{"decode", "-", "--page", "all"}, 2, "", "not standard output"},
      {{"decode", le, "--page", "all"}, 0, names.c_str(), ""},
      {{"decode", be, "--page", "all", "-o", dir + "/big.dib"}, 0, "big-3.dib\n", ""},
      {{"decode", le, "--page", "all", "-o", dir + "/readable.bmp"}, 0, "readable-3.bmp\n", ""},
      {{"info", le, "--page", "all"}, 0, "page           3 of 3\n", ""},
      {{"info", be}, 0, "tag            XResolution (282): 300/1\n", ""},
      {{"info", le}, 0, "tag            ImageDescription (270): a \"quoted\"\\x09description\n", ""},
      {{"info", le, "--page", "2"}, 0, "page           2 of 3\ntag            XResolution (282): 300/1\n"
                                       "tag            PageName (285): sheet 2\n", ""},
      {{"info", "--json", be}, 0, "\"name\":\"XResolution\",\"field_type\":5,\"count\":1,\"values\":[\"300/1\"]}", ""},
      {{"info", "--json", le, be}, 0, "\"name\":\"Copyright\",\"field_type\":2,\"count\":11,\"text\":\"(c) nobody\"}", ""},
      {{"info", "--json", le}, 0, "\"text\":\"a \\\"quoted\\\"\\u0009description\"", ""},
      {{"info", "--json", "--page", "all", le}, 0, "\"page\":3,\"pages\":3,", ""},
  };
  ExpectRuns(QUORVIN_TOOL, cases, [](const Expect &, const Ran &) {});
  // Every page as the library decodes it, whichever way it was asked for.
  for (uint32_t page = 1; page <= 3; ++page) {
    SCOPED_TRACE(page);
    qvhost::Pixels want = LibraryPage(data, page);
    std::string n = std::to_string(page);
    EXPECT_TRUE(SamePixels(dir + "/multi-" + n + ".png", want));
    // DIB output is the decoded bitmap behind a file header, CMYK included.
    qvhost::Options o;
    ASSERT_TRUE(qvhost::DetectImageType(data.data(), data.size(), &o.imageType));
    o.pageNumber = page;
    o.flags = QV_FLAG_HEADER;
    qvhost::Result lib = qvhost::Decode(data.data(), data.size(), o);
    ASSERT_TRUE(lib.ok()) << lib.status;
    Bytes dib = qvtest::ReadFileBytes(dir + "/big-" + n + ".dib");
    ASSERT_EQ(dib.size(), 14 + lib.output.size());
    EXPECT_TRUE(Bytes(dib.begin() + 14, dib.end()) == lib.output);
    EXPECT_EQ(lib.header.biCompression == QV_FOURCC('C', 'M', 'Y', 'K'), page == 3);
    // BMP output holds the same picture in a form any reader takes: the CMYK
    // page as 32-bit RGB (compression 0), the picture as the PNG shows it.
    Bytes bmp = qvtest::ReadFileBytes(dir + "/readable-" + n + ".bmp");
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp[28], lib.header.biBitCount);  // 32 bits for CMYK too
    EXPECT_EQ(bmp[30] | bmp[31] | bmp[32] | bmp[33], 0);
    qvhost::Result readable = LibraryDecode(dir + "/readable-" + n + ".bmp");
    ASSERT_TRUE(readable.ok()) << readable.status;
    qvhost::Pixels got;
    std::string err;
    ASSERT_TRUE(qvhost::ResultToRgb(readable, 0, &got, &err)) << err;
    EXPECT_TRUE(SamePixels(dir + "/multi-" + n + ".png", got));
  }
  EXPECT_TRUE(SamePixels(dir + "/two.png", LibraryPage(data, 2)));
  EXPECT_FALSE(access((dir + "/four.png").c_str(), F_OK) == 0);
  // CMYK: white, cyan, black and (255 - 128) grey by the formula, not just
  // whatever the library's view says.
  qvhost::Pixels cmyk;
  std::string err;
  ASSERT_TRUE(qvtest::ReadPngRgb(dir + "/multi-3.png", &cmyk, &err)) << err;
  EXPECT_EQ(Bytes(cmyk.rgb.begin(), cmyk.rgb.begin() + 12),
            Bytes({255, 255, 255, 0, 255, 255, 0, 0, 0, 127, 127, 127}));
  // Pages under tiny and odd queues and random chunking: the same files.
  for (const Args &v : {Args{"--in-queue", "5", "--out-queue", "37", "--chunk-seed", "3"},
                        Args{"--in-queue", "23", "--chunk-seed", "99", "--batch", "2"}, Args{"--whole-input"}}) {
    SCOPED_TRACE(v[0]);
    Args args = {"decode", le, "--page", "all", "-o", dir + "/stress.png"};
    args.insert(args.end(), v.begin(), v.end());
    ASSERT_EQ(Quorvin(args).code, 0);
    for (const char *n : {"1", "2", "3"})
      EXPECT_TRUE(qvtest::ReadFileBytes(dir + "/stress-" + n + ".png") == qvtest::ReadFileBytes(dir + "/multi-" + n + ".png"));
  }
  // Nothing left behind but the outputs.
  for (const std::string &name : Listing(dir)) EXPECT_NE(name[0], '.') << name;
}

// Raw Group 3 data without a header: recognised by its first rows, coding and
// bit order guessed and noted; the options override the guess.
TEST(QuorvinTool, RawFaxIsRecognisedAndTheGuessOverridden) {
  std::string dir = qvtest::TempPath("fax");
  mkdir(dir.c_str(), 0700);
  FaxPage page = MakeFaxPage();
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/msb.g3", EncodeG3(page, false, false)));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/lsb-2d.g3", EncodeG3(page, true, true)));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/msb-2d", EncodeG3(page, true, false)));
  const char *note = "no known header; guessed raw Group 3 fax, ";
  std::string msbNote = std::string("msb.g3: ") + note + "G3 (one-dimensional), msb-first bit order, 215 pixels wide";
  const std::vector<Expect> cases = {
      {{"decode", dir + "/msb.g3"}, 0, "msb.png\n", msbNote.c_str()},
      {{"decode", dir + "/lsb-2d.g3", "-o", dir + "/lsb-2d.bmp"}, 0, "",
       "G32D (two-dimensional), lsb-first bit order, 215 pixels wide (override with --type G3|G32D"},
      {{"decode", dir + "/msb-2d", "--format", "png"}, 0, "", "G32D (two-dimensional), msb-first"},
      {{"info", dir + "/msb.g3"}, 0, "image type     G3 (raw G3 fax)\nbitmap header  size 40, width 215, height -40,", note},
      {{"decode", dir + "/msb.g3", "-t", "G3", "-o", dir + "/typed.png"}, 0, "",
       "msb.g3: guessed msb-first bit order, 215 pixels wide (override with --fax-fill-order msb|lsb)"},
      {{"decode", dir + "/lsb-2d.g3", "-t", "G32D", "--fax-fill-order", "lsb", "-o", dir + "/given.png"}, 0, "", ""},
      {{"decode", dir + "/msb.g3", "--fax-photometric", "black", "-o", dir + "/negative.png"}, 0, "", "G3 (one"},
      // The TIFF values name the same choices.
      {{"decode", dir + "/lsb-2d.g3", "-t", "G32D", "--fax-fill-order", "2", "-o", dir + "/given-2.png"}, 0, "", ""},
      {{"decode", dir + "/msb.g3", "--fax-photometric", "1", "-o", dir + "/negative-1.png"}, 0, "", "G3 (one"},
      {{"decode", dir + "/msb.g3", "-t", "G32D", "--fax-fill-order", "msb", "-o", dir + "/wrong.png"}, 1, "", "msb.g3: status -71"},
      {{"decode", dir + "/msb.g3", "--fax-fill-order", "middle"}, 2, "", "'middle' is not msb or lsb"},
      {{"decode", dir + "/msb.g3", "--fax-photometric", "grey"}, 2, "", "'grey' is not white or black"},
  };
  ExpectRuns(QUORVIN_TOOL, cases, [](const Expect &c, const Ran &r) {
    if (c.stderrHas.empty()) {
      EXPECT_EQ(r.err, "");
    }
    if (r.err.find("guessed") != std::string::npos) {  // one note, on one line
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
  });
  // The pixels are the page's, in every bit order and coding; the negative is its inverse.
  std::vector<uint8_t> want(page.black.begin(), page.black.end());
  for (const char *name : {"msb.png", "msb-2d.png", "typed.png", "given.png", "given-2.png"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(PngBlack(dir + "/" + name) == want);
  }
  qvhost::Pixels bmp;
  std::string err;
  ASSERT_TRUE(qvhost::ResultToRgb(LibraryDecode(dir + "/lsb-2d.bmp"), 0, &bmp, &err)) << err;
  size_t differ = 0;
  for (size_t i = 0; i < want.size(); ++i) differ += (bmp.rgb[i * 3] < 128) != want[i];
  EXPECT_EQ(differ, 0u);
  std::vector<uint8_t> negative = PngBlack(dir + "/negative.png");
  ASSERT_EQ(negative.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) differ += negative[i] == want[i];
  EXPECT_EQ(differ, 0u);
  EXPECT_TRUE(PngBlack(dir + "/negative-1.png") == negative);
  // Under tiny queues and random chunking, the same file.
  Ran r = Quorvin({"decode", dir + "/lsb-2d.g3", "-o", dir + "/stress.png", "--in-queue", "5", "--out-queue", "11",
                   "--chunk-seed", "5"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(qvtest::ReadFileBytes(dir + "/stress.png") == qvtest::ReadFileBytes(dir + "/given.png"));
}

// The corpus's raw fax files decode without --type exactly as the library
// decodes them with the type and bit order they were made with, and its
// multi-page and CMYK TIFFs page by page as the library decodes them.
TEST(QuorvinTool, CorpusRawFaxAndTiffPages) {
  std::string corpus = qvtest::CorpusDir();
  if (corpus.empty()) return qvtest::NotRun("no corpus");
  std::string out = qvtest::TempPath("corpus");
  mkdir(out.c_str(), 0700);
  std::ifstream list(std::string(QV_SOURCE_DIR) + "/tests/corpus_expectations/fax.tsv");
  std::string line;
  size_t faxes = 0, tiffs = 0;
  while (std::getline(list, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
    // Good files: matching their references, or clean where the reference is the peer's fault.
    if (f.size() < 4 || (f[1] != "match" && (f[1] != "clean" || f[0].find("/bad/") != std::string::npos))) continue;
    SCOPED_TRACE(f[0]);
    uint32_t type;
    ASSERT_TRUE(qvhost::ParseTypeName(f[2], &type));
    uint8_t order = static_cast<uint8_t>(std::stoi(f[3]));
    Ran r = Quorvin({"decode", corpus + "/" + f[0], "-o", out + "/fax.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string type2 = f[2] == "G32D" ? "G32D (two" : "G3 (one";
    EXPECT_NE(r.err.find(type2), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(order == 1 ? "msb-first" : "lsb-first"), std::string::npos) << r.err;
    EXPECT_TRUE(SamePixels(out + "/fax.png", LibraryPage(qvtest::ReadFileBytes(corpus + "/" + f[0]), 1, type, order)));
    ++faxes;
  }
  std::set<std::string> matching;  // TIFF files the decoder decodes like the peer
  std::ifstream expected(std::string(QV_SOURCE_DIR) + "/tests/corpus_expectations/tiff.tsv");
  while (std::getline(expected, line))
    if (line.find("\tmatch") != std::string::npos) matching.insert(line.substr(0, line.find('\t')));
  std::ifstream manifest(corpus + "/MANIFEST.tsv");
  while (std::getline(manifest, line)) {
    if (!matching.count(line.substr(0, line.find('\t')))) continue;
    bool pages = line.find(" pages\t") != std::string::npos, cmyk = line.find("cmyk") != std::string::npos;
    if (!pages && !cmyk) continue;
    std::string path = corpus + "/" + line.substr(0, line.find('\t'));
    SCOPED_TRACE(path);
    Bytes data = qvtest::ReadFileBytes(path);
    int count = qvhost::CountTiffPages(data.data(), data.size());
    Ran r = Quorvin({"decode", path, "--page", "all", "-o", out + "/page.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (int p = 1; p <= count; ++p)
      EXPECT_TRUE(SamePixels(out + "/page-" + std::to_string(p) + ".png", LibraryPage(data, static_cast<uint32_t>(p)))) << p;
    ++tiffs;
  }
  EXPECT_GE(faxes, 8u);
  EXPECT_GE(tiffs, 3u);
}

// ---- Outputs other programs open, and what the tool says -----------------------

// A Targa file: type, colour map (entries of 24 bits), 8-bit pixels x + 16y.
Bytes Targa(uint8_t type, uint16_t mapEntries, uint16_t width = 16, uint16_t height = 8) {
  Bytes t = {0, static_cast<uint8_t>(mapEntries ? 1 : 0), type, 0, 0};
  qvtest::Put16(t, mapEntries);
  t.push_back(mapEntries ? 24 : 0);
  qvtest::Put16(t, 0), qvtest::Put16(t, 0), qvtest::Put16(t, width), qvtest::Put16(t, height);
  t.push_back(8), t.push_back(0);
  for (uint32_t i = 0; i < mapEntries; ++i) t.insert(t.end(), {uint8_t(255 - i), uint8_t(i * 3), uint8_t(i)});
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) t.push_back(static_cast<uint8_t>(x + 16 * y));
  return t;
}

// A one-page TIFF with the given samples and photometric interpretation and
// any more tags.
Bytes OnePageTiff(uint16_t samples, uint16_t photometric, std::vector<tiffbuild::Tag> tags,
                  uint16_t compression = 1, uint16_t bits = 8) {
  tiffbuild::Page p;
  p.width = 21, p.height = 9, p.samples = samples, p.photometric = photometric, p.bits = bits;
  p.compression = compression;
  p.pixels.resize(size_t{tiffbuild::RowBytes(p)} * p.height);
  for (size_t k = 0; k < p.pixels.size(); ++k) p.pixels[k] = static_cast<uint8_t>(k * 29);
  if (compression != 1) p.strips = {Bytes(64, 0x55)};
  p.tags = std::move(tags);
  return tiffbuild::Writer(false).Build({p});
}

// PNG pHYs: x, y and unit (1 metre, 0 a ratio), or unit -1 when absent.
void PngPhys(const std::string &path, uint32_t *x, uint32_t *y, int *unit) {
  *x = *y = 0, *unit = -1;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (!setjmp(png_jmpbuf(png))) {
    png_init_io(png, f);
    png_read_info(png, info);
    png_uint_32 px, py;
    int u;
    if (png_get_pHYs(png, info, &px, &py, &u)) *x = px, *y = py, *unit = u;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  fclose(f);
}

uint32_t Le32(const Bytes &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Whether a program can be run here (netpbm and ImageMagick serve as readers).
bool Have(const std::string &program) { return RunProgram({"/bin/sh", "-c", "command -v " + program}).code == 0; }

// A binary PPM (P6, maxval 255) as pixels.
bool ParsePpm(const std::string &text, qvhost::Pixels *px) {
  std::istringstream in(text);
  std::string magic;
  int max = 0;
  in >> magic >> px->width >> px->height >> max;
  if (magic != "P6" || max != 255 || !in.get()) return false;
  px->rgb.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return px->rgb.size() == size_t{px->width} * px->height * 3;
}

// BMP output is what other readers open: 32-bit RGB for CMYK, a colour table
// of 2^bits entries at most, grey levels for an image without one, the
// resolution the file states (also in PNG's pHYs); its pixels are the PNG's,
// and netpbm's and ImageMagick's readers, where installed, see the same.
TEST(QuorvinTool, OutputsOtherProgramsOpen) {
  std::string dir = qvtest::TempPath("readable");
  mkdir(dir.c_str(), 0700);
  auto rational = [](uint16_t tag, uint32_t n, uint32_t d) { return tiffbuild::Tag{tag, tiffbuild::kRational, {n, d}}; };
  auto unit = [](uint32_t u) { return tiffbuild::Tag{296, tiffbuild::kShort, {u}}; };
  struct Case {
    const char *name;
    Bytes data;
    uint16_t bits;      // in the BMP written
    uint32_t entries;   // colour table entries in the BMP written
    uint32_t ppm;       // pixels per metre in both (0: none)
    int pngUnit;        // pHYs unit (-1: no pHYs)
    bool greyLevels;    // the pixels are their own index as grey
  };
  const Case cases[] = {
      {"cmyk.tif", OnePageTiff(4, 5, {rational(282, 300, 1), rational(283, 300, 1)}), 32, 0, 11811, 1, false},
      {"rgb-cm.tif", OnePageTiff(3, 2, {rational(282, 100, 1), rational(283, 100, 1), unit(3)}), 24, 0, 10000, 1, false},
      {"grey-aspect.tif", OnePageTiff(1, 1, {rational(282, 1, 1), rational(283, 2, 1), unit(1)}), 8, 256, 0, 0, true},
      {"no-map.tga", Targa(2, 0), 8, 256, 0, -1, true},
      {"map-310.tga", Targa(1, 310), 8, 256, 0, -1, false},
      {"map-65535.tga", Targa(1, 65535), 8, 256, 0, -1, false},
      {"bmp8.bmp", qvtest::ReadFileBytes(Sample("bmp8.bmp")), 8, 256, 2835, 1, false},
      {"bmp4-topdown.bmp", qvtest::ReadFileBytes(Sample("bmp4-topdown.bmp")), 4, 16, 2835, 1, false},
  };
  bool netpbm = Have("bmptopnm"), magick = Have("convert");
  if (!netpbm || !magick) printf("note: comparing without %s\n", !netpbm ? "netpbm's bmptopnm" : "ImageMagick");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string in = dir + "/" + c.name, base = in.substr(0, in.rfind('.')) + "-out";
    ASSERT_TRUE(qvtest::WriteFileBytes(in, c.data));
    for (const char *ext : {".bmp", ".png"}) {
      Ran r = Quorvin({"decode", in, "-o", base + ext});
      ASSERT_EQ(r.code, 0) << r.err;
    }
    Bytes bmp = qvtest::ReadFileBytes(base + ".bmp");
    ASSERT_GE(bmp.size(), 54u);
    uint32_t height = static_cast<uint32_t>(std::abs(static_cast<int32_t>(Le32(bmp, 22))));
    uint32_t stride = (Le32(bmp, 18) * c.bits + 31) / 32 * 4;
    EXPECT_EQ(bmp[28], c.bits);
    EXPECT_EQ(Le32(bmp, 30), 0u);  // plain rows: no CMYK, no RLE
    EXPECT_EQ(Le32(bmp, 46), c.entries);
    EXPECT_EQ(Le32(bmp, 10), 54 + 4 * c.entries);
    EXPECT_EQ(bmp.size(), 54 + 4 * c.entries + size_t{stride} * height);
    EXPECT_EQ(Le32(bmp, 38), c.ppm);
    EXPECT_EQ(Le32(bmp, 42), c.ppm * (std::string(c.name) == "grey-aspect.tif" ? 2 : 1));
    uint32_t px, py;
    int pngUnit;
    PngPhys(base + ".png", &px, &py, &pngUnit);
    EXPECT_EQ(pngUnit, c.pngUnit);
    if (c.pngUnit == 1) {
      EXPECT_TRUE(px == c.ppm && py == c.ppm) << px << " x " << py;
    } else if (c.pngUnit == 0) {
      EXPECT_TRUE(px == 1000 && py == 2000) << px << " x " << py;
    }
    // The same picture in both files, read back by our reader and libpng.
    qvhost::Pixels fromBmp, fromPng;
    std::string err;
    ASSERT_TRUE(qvhost::ResultToRgb(LibraryDecode(base + ".bmp"), 0, &fromBmp, &err)) << err;
    ASSERT_TRUE(qvtest::ReadPngRgb(base + ".png", &fromPng, &err)) << err;
    EXPECT_TRUE(fromBmp.rgb == fromPng.rgb && fromBmp.width == fromPng.width);
    if (c.greyLevels) {
      for (size_t i = 0; i < fromPng.rgb.size(); i += 3)
        ASSERT_TRUE(fromPng.rgb[i] == fromPng.rgb[i + 1] && fromPng.rgb[i] == fromPng.rgb[i + 2]) << i;
      if (c.name[0] == 'n') {
        EXPECT_EQ(fromPng.rgb[0], 7 * 16);  // rows bottom-up: the top row holds indices 112 and on
      }
    }
    if (std::string(c.name).rfind("map-", 0) == 0) {
      // Index 100 (x 4, file row 6, the second row from the top) shows the
      // map's entry 100, stored blue, green, red: 155, 44, 100.
      size_t at = (size_t{1} * 16 + 4) * 3;
      EXPECT_EQ(Bytes(fromPng.rgb.begin() + at, fromPng.rgb.begin() + at + 3), Bytes({100, 44, 155}));
    }
    // Other readers: they open the file and see the same pixels.
    qvhost::Pixels other;
    if (netpbm) {
      Ran r = RunProgram({"/bin/sh", "-c", "bmptopnm '" + base + ".bmp' | ppmtoppm"});
      EXPECT_EQ(r.code, 0) << r.err;
      ASSERT_TRUE(ParsePpm(r.out, &other)) << r.err;
      EXPECT_TRUE(other.rgb == fromPng.rgb) << "bmptopnm sees other pixels";
    }
    if (magick) {
      Ran r = RunProgram({"/bin/sh", "-c", "convert '" + base + ".bmp' -depth 8 ppm:-"});
      EXPECT_EQ(r.code, 0) << r.err;
      ASSERT_TRUE(ParsePpm(r.out, &other)) << r.err;
      EXPECT_TRUE(other.rgb == fromPng.rgb) << "ImageMagick sees other pixels";
    }
  }
}

// Inputs whose outputs would be one file, and an output that is another
// input (through a link), are refused before anything is written.
TEST(QuorvinTool, InputsThatWouldShareAnOutputAreRefused) {
  std::string dir = qvtest::TempPath("collide");
  mkdir(dir.c_str(), 0700);
  Bytes gif = qvtest::ReadFileBytes(Sample("plain.gif"));
  for (const char *name : {"a.gif", "a.bmp", "b.gif", "c.gif"}) ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/" + name, gif));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/c.png", {'k', 'e', 'e', 'p'}));
  ASSERT_EQ(symlink("c.png", (dir + "/link.gif").c_str()), 0);
  mkdir((dir + "/sub").c_str(), 0700);
  std::string a = dir + "/a.gif";
  const std::vector<Expect> cases = {
      {{"decode", a, dir + "/a.bmp"}, 2, "", "a.gif and " + dir + "/a.bmp would both be written to " + dir + "/a.png"},
      {{"decode", a, dir + "/sub/../a.gif"}, 2, "", "would both be written to"},
      {{"decode", a, dir + "/a.bmp", "--format", "bmp"}, 2, "", "a.gif would be written to " + dir + "/a.bmp, which is also an input"},
      {{"decode", dir + "/b.gif", dir + "/c.gif", dir + "/link.gif"}, 2, "", "c.gif would be written to " + dir +
                                                                              "/c.png, which is also an input"},
  };
  std::set<std::string> before = Listing(dir);
  for (const Expect &c : cases) {
    Ran r = Quorvin(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << r.err;
    EXPECT_EQ(Listing(dir), before);
  }
  // Outputs that differ are all written.
  Ran r = Quorvin({"decode", a, dir + "/b.gif"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/a.png\n" + dir + "/b.png\n");
}

// Messages say what stopped a file: the TIFF value the reader refused, a
// type that contradicts the content, formats by name; info --json answers
// every input with a line.
TEST(QuorvinTool, MessagesSayWhatStoppedTheFile) {
  std::string dir = qvtest::TempPath("why");
  mkdir(dir.c_str(), 0700);
  auto tag = [](uint16_t number, std::vector<uint32_t> values) { return tiffbuild::Tag{number, tiffbuild::kShort, values}; };
  struct Case {
    const char *name;
    Bytes data;
    const char *says;
    bool strict = false;  // extended decoding reads it: the classic reader's refusal
  };
  const Case tiffs[] = {
      {"deflate.tif", OnePageTiff(3, 2, {}, 8), "status -7038 (unsupported TIFF compression): Deflate (8) is not read", true},
      {"jpeg.tif", OnePageTiff(3, 2, {}, 7), "status -7038 (unsupported TIFF compression): JPEG (7) is not read", true},
      {"old-jpeg.tif", OnePageTiff(3, 2, {tiffbuild::Tag{513, tiffbuild::kLong, {8}}}, 6), "old-style JPEG (6) is not read"},
      {"zstd.tif", OnePageTiff(1, 1, {}, 50000), "Zstandard (50000) is not read"},
      {"ycbcr.tif", OnePageTiff(3, 6, {}), "photometric interpretation YCbCr (6) is not read"},
      {"lab.tif", OnePageTiff(3, 8, {}), "photometric interpretation CIE L*a*b* (8) is not read"},
      {"planar.tif", OnePageTiff(3, 2, {tag(284, {2})}), "separate colour planes (PlanarConfiguration 2) are not read", true},
      {"rgb16.tif", OnePageTiff(3, 2, {}, 1, 16), "3 samples of 16,16,16 bits per sample", true},
      {"alpha.tif", OnePageTiff(4, 2, {tag(338, {2})}), "extra samples (unassociated alpha (2)) are not read", true},
      {"two.tif", OnePageTiff(2, 1, {tag(258, {8, 8})}), "2 samples per pixel are not read", true},
      {"float.tif", OnePageTiff(1, 1, {tag(339, {3})}), "samples of format floating point (3) are not read"},
  };
  for (const Case &c : tiffs) ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/" + c.name, c.data));
  std::vector<Expect> cases;
  for (const Case &c : tiffs) {
    Args decode = {"decode", dir + "/" + c.name, "-o", dir + "/x.png"}, info = {"info", dir + "/" + c.name};
    if (c.strict) decode.push_back("--strict"), info.push_back("--strict");
    cases.push_back({decode, 1, "", std::string(c.name) + ": " + "status -7"});
    cases.push_back({decode, 1, "", c.says});
    cases.push_back({info, 1, "", c.says});
  }
  std::string tga = Sample("tga8-rle.tga"), rle = Sample("rle8.bmp");
  const std::vector<Expect> more = {
      {{"decode", tga, "--type", "TGA2", "-o", dir + "/x.png"}, 1, "",
       "tga8-rle.tga: --type TGA2 does not match what the file looks like (TGA9, a run-length coded TGA file)"},
      {{"decode", rle, "--type", "0", "-o", dir + "/x.png"}, 1, "",
       "rle8.bmp: --type BMP does not match what the file looks like (BMPR, a BMP file with RLE rows)"},
      {{"decode", Sample("plain.gif"), "--type", "TIF1", "-o", dir + "/x.png"}, 1, "", "(GIFu, a GIF file)"},
      {{"decode", tga, "--type", "TGAB", "-o", dir + "/x.png"}, 0, "", ""},   // another run-length code
      {{"decode", rle, "--type", "BMPR", "-o", dir + "/x.png"}, 0, "", ""},
      {{"info", Sample("bmp24.bmp")}, 0, "image type     BMP\n", ""},
      {{"info", Sample("tga24.tga")}, 0, "image type     TGA2 (TGA)\n", ""},
      {{"info", "--json", Sample("bmp24.bmp")}, 0, "\"type\":\"BMP\",\"format\":\"BMP\",", ""},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  ExpectRuns(QUORVIN_TOOL, cases, [](const Expect &, const Ran &r) {
    EXPECT_EQ(r.err.find(") as "), std::string::npos) << r.err;  // no "(meaning) as 0" left
  });
  // info --json: one line per input, failures included, in order.
  Ran r = Quorvin({"info", "--json", dir + "/zstd.tif", dir + "/none.bmp", Sample("bmp1.bmp"), Sample("pcx8.pcx")});
  EXPECT_EQ(r.code, 1);
  std::istringstream lines(r.out);
  std::string line;
  const char *want[] = {"\"status\":-7038,\"error\":\"status -7038 (unsupported TIFF compression): Zstandard (50000) is not read\"}",
                        "none.bmp\",\"status\":null,\"error\":\"No such file or directory\"}",
                        "bmp1.bmp\",\"type\":\"BMP\"", "pcx8.pcx\",\"type\":\"PCX8\",\"format\":\"PCX\""};
  for (const char *w : want) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_NE(line.find(w), std::string::npos) << line;
    EXPECT_EQ(line.front(), '{');
    EXPECT_EQ(line.back(), '}');
  }
  EXPECT_FALSE(std::getline(lines, line));
}

// Data without a header is taken for fax only on evidence: one width over
// its first rows (or a whole page of two rows or more), or a standard fax
// width; a Targa file of type 32 (first bytes 00 01, an EOL) is not.
TEST(QuorvinTool, RawFaxNeedsEvidence) {
  std::string dir = qvtest::TempPath("evidence");
  mkdir(dir.c_str(), 0700);
  auto page = [](uint32_t width, uint32_t height) {
    FaxPage p;
    p.width = width, p.height = height;
    p.black.assign(size_t{width} * height, 0);
    for (uint32_t i = 0; i < p.black.size(); ++i) p.black[i] = (i * 7 / 5) % 3 == 0;
    return p;
  };
  Bytes type32 = {0, 1, 32, 0, 0, 2, 0, 24, 0, 0, 0, 0, 12, 0, 1, 0, 8, 0, 0, 0, 0, 255, 255, 255};
  for (int i = 0; i < 8; ++i) type32.insert(type32.end(), {0x81, 0x01, 0x02, 0x03});
  struct Case {
    const char *name;
    Bytes data;
    bool fax;
  };
  const Case cases[] = {
      {"type32.tga", type32, false},
      {"one-row.g3", EncodeG3(page(12, 1), false, false), false},
      {"one-a4-row.g3", EncodeG3(page(1728, 1), false, false), true},
      {"three-rows.g3", EncodeG3(page(215, 3), false, true), true},
      {"forty-rows.g3", EncodeG3(MakeFaxPage(), true, false), true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/" + c.name, c.data));
    Ran r = Quorvin({"decode", dir + "/" + c.name, "-o", dir + "/out.png"});
    EXPECT_EQ(r.code, c.fax ? 0 : 1) << r.err;
    EXPECT_EQ(r.err.find("format not recognised") != std::string::npos, !c.fax) << r.err;
    EXPECT_EQ(r.err.find("guessed raw Group 3 fax") != std::string::npos, c.fax) << r.err;
  }
}

// -q silences notes and the progress bar, -v says what was detected and
// used; on a terminal the bar runs to 100%.
TEST(QuorvinTool, VerbosityAndProgressBar) {
  std::string dir = qvtest::TempPath("verbosity");
  mkdir(dir.c_str(), 0700);
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/page.g3", EncodeG3(MakeFaxPage(), false, true)));
  std::string gif = Sample("interlaced.gif");
  const std::vector<Expect> cases = {
      {{"decode", "-q", dir + "/page.g3", "-o", dir + "/q.png"}, 0, "", ""},
      {{"decode", dir + "/page.g3", "-o", dir + "/n.png"}, 0, "", "guessed raw Group 3 fax, G3 (one-dimensional), lsb-first"},
      {{"decode", "-v", dir + "/page.g3", "-o", dir + "/v.png"}, 0, "", "page.g3: 40 rows decoded from the first "},
      {{"decode", "-v", gif, "-o", dir + "/v.bmp", "--out-queue", "37"}, 0, "",
       "interlaced.gif: detected GIF (type GIFu)\n"},
      {{"decode", "-v", gif, "-o", dir + "/v.bmp", "--out-queue", "37"}, 0, "",
       "interlaced.gif: output queue 37 bytes, interlace mode 2\n"},
      {{"decode", "-v", gif, "-o", dir + "/v.bmp", "--out-queue", "37"}, 0, "", "interlaced.gif: input mapped, 7249 bytes handed over whole\n"},
      {{"decode", "-v", gif, "-o", dir + "/v.bmp", "--out-queue", "37"}, 0, "",
       "output queue raised from 37 to 148 bytes: the decoder places this image's rows from the end and needs one row (96 bytes) plus one"},
      {{"decode", "-v", gif, "-o", dir + "/v.bmp", "--in-queue", "99"}, 0, "", "input streamed through a 99-byte queue"},
      {{"decode", "-v", gif, "-o", dir + "/v.bmp"}, 0, "", "93 x 61, 8 bits, written to " + dir + "/v.bmp as BMP"},
      {{"info", "-v", gif, "-q"}, 0, "image type     GIFu (GIF)", ""},
  };
  ExpectRuns(QUORVIN_TOOL, cases, [](const Expect &c, const Ran &r) {
    if (c.args[1] == "-q" || c.args.back() == "-q") {
      EXPECT_EQ(r.err, "");
    }
  });
  // The bar, on a terminal: from the first share to 100%, one line.
  ASSERT_EQ(RunProgram({SAMPLEGEN_TOOL, "--big-bmp", "2000", "1500", dir + "/big.bmp"}).code, 0);
  for (const char *quiet : {"", "-q"}) {
    SCOPED_TRACE(quiet);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(master);
      dup2(slave, 2);
      std::vector<std::string> args = {QUORVIN_TOOL, "decode", dir + "/big.bmp", "-o", dir + "/big.png"};
      if (*quiet) args.push_back(quiet);
      std::vector<char *> argv;
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(slave);
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (*quiet) {
      EXPECT_EQ(shown, "");
    } else {
      EXPECT_NE(shown.find("\r[#"), std::string::npos) << shown;
      EXPECT_NE(shown.find("] 100%"), std::string::npos) << shown;
      EXPECT_GT(std::count(shown.begin(), shown.end(), '\r'), 10);
    }
  }
}

TEST(CindralTool, ConventionsAndFiles) {
  std::string dir = qvtest::TempPath("cindral");
  mkdir(dir.c_str(), 0700);
  std::string plain = Sample("bmp24.bmp"), coded = dir + "/coded";
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/kept", {'k', 'e', 'e', 'p'}));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/tiny", {'x'}));
  const std::vector<Expect> cases = {
      {{"code", plain, coded, "--key", "k1"}, 0, "", ""},
      {{"check", coded}, 0, "coded\n", ""},
      {{"check", coded, plain, dir + "/tiny"}, 3, "bmp24.bmp: not coded\n", ""},
      {{"check", coded, dir + "/missing"}, 1, "coded\n", "missing: No such file or directory"},
      {{"check", dir}, 1, "", "cindral: Is a directory"},
      {{"decode", plain, dir + "/kept"}, 1, "", "bmp24.bmp: not a coded file"},
      {{"code", coded, dir + "/kept"}, 1, "", "already coded"},
      {{"decode", coded, coded}, 1, "", "is the input file"},
      {{"code", dir + "/missing", dir + "/kept"}, 1, "", "missing: No such file or directory"},
      {{"code", plain, dir + "/no/such"}, 1, "", "no/such: No such file or directory"},
      {{"code", plain}, 2, "", "code takes IN and OUT"},
      {{"cat", coded, "--keyz", "x"}, 2, "", "unknown option '--keyz'"},
      {{"check", coded, "--key", "x"}, 2, "", "'--key' does not apply to check"},
      {{"nonsense"}, 2, "", "unknown command 'nonsense'"},
      {{"--help"}, 0, "exit status:", ""},
      {{"--version"}, 0, "Cindral library 2.02", ""},
  };
  ExpectRuns(CINDRAL_TOOL, cases, [&dir](const Expect &, const Ran &) {
    EXPECT_EQ(qvtest::ReadFileBytes(dir + "/kept"), Bytes({'k', 'e', 'e', 'p'}));
  });
  // Standard input and output, through pipes both ways.
  Ran r = Cindral({"decode", "-", "-", "--key", "k1"}, coded, true);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(r.out == ReadText(plain));
  r = Cindral({"cat", coded, "--key", "k1"});
  EXPECT_TRUE(r.out == ReadText(plain));
  EXPECT_EQ(Listing(dir), std::set<std::string>({"coded", "kept", "tiny"}));
}

// Paths past the library's 255 characters are refused with a message that
// says so; an output in a long folder gets a short temporary name.
TEST(CindralTool, LongPaths) {
  std::string dir = qvtest::TempPath("long");
  mkdir(dir.c_str(), 0700);
  std::string deep = dir;
  while (deep.size() < 200) {
    deep += "/" + std::string(40, 'd');
    mkdir(deep.c_str(), 0700);
  }
  std::string longName = deep + "/" + std::string(80, 'n');  // > 255 characters
  std::string fits = deep + "/" + std::string(255 - deep.size() - 1, 'f');
  ASSERT_LE(fits.size(), 255u);
  ASSERT_GT(longName.size(), 255u);
  Bytes plain = qvtest::ReadFileBytes(Sample("bmp8.bmp"));
  ASSERT_TRUE(qvtest::WriteFileBytes(longName, plain));
  ASSERT_TRUE(qvtest::WriteFileBytes(dir + "/coded", {}));
  ASSERT_EQ(Cindral({"code", Sample("bmp8.bmp"), dir + "/coded"}).code, 0);
  std::string says = "characters long; Cindral takes file names of at most 255";
  const std::vector<Expect> cases = {
      {{"code", longName, dir + "/out"}, 1, "", says},
      {{"check", longName}, 1, "", says},
      {{"cat", longName}, 1, "", says},
      {{"decode", longName, dir + "/out"}, 1, "", says},
      // 255 characters: the temporary file beside it gets a shorter name.
      {{"code", Sample("bmp8.bmp"), fits}, 0, "", ""},
      {{"check", fits}, 0, "coded", ""},
      {{"decode", fits, deep + "/plain"}, 0, "", ""},
  };
  ExpectRuns(CINDRAL_TOOL, cases, [](const Expect &, const Ran &) {});
  EXPECT_TRUE(qvtest::ReadFileBytes(deep + "/plain") == plain);
  for (const std::string &name : Listing(deep)) EXPECT_NE(name[0], '.') << name;
}

// Every option --help names is described in the man page.
TEST(Tools, ManPagesListEveryOption) {
  struct Tool {
    const char *program, *page;
  };
  for (const Tool &t : {Tool{QUORVIN_TOOL, "/tools/quorvin/quorvin.1"}, Tool{CINDRAL_TOOL, "/tools/cindral/cindral.1"}}) {
    SCOPED_TRACE(t.page);
    std::string roff = ReadText(std::string(QV_SOURCE_DIR) + t.page), page;
    ASSERT_FALSE(roff.empty());
    for (size_t i = 0; i < roff.size(); ++i)  // roff writes a hyphen as \-
      if (!(roff[i] == '\\' && i + 1 < roff.size() && roff[i + 1] == '-')) page += roff[i];
    Ran help = RunProgram({t.program, "--help"});
    // Options are the words that start with - after a blank or a comma.
    size_t seen = 0;
    for (size_t i = 0; i + 1 < help.out.size(); ++i) {
      if (help.out[i] != '-' || (i && help.out[i - 1] != ' ' && help.out[i - 1] != ',')) continue;
      size_t end = i + 1;
      while (end < help.out.size() && (islower(help.out[end]) || help.out[end] == '-')) ++end;
      std::string name = help.out.substr(i, end - i);
      if (name.size() < 2 || name == "--") continue;
      EXPECT_NE(page.find(name), std::string::npos) << name << " is not in the man page";
      ++seen;
      i = end;
    }
    EXPECT_GE(seen, 10u);
  }
}

// examples/host.c writes the file the tool writes as dib, pass images included.
TEST(Tools, HostExampleWritesTheToolsDib) {
  std::string out = qvtest::TempPath("example");
  for (const char *name : kSamples) {
    SCOPED_TRACE(name);
    Ran r = RunProgram({HOST_EXAMPLE, Sample(name), out + "-host.bmp"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(Quorvin({"decode", Sample(name), "-f", "dib", "-o", out + "-tool.bmp"}).code, 0);
    EXPECT_TRUE(qvtest::ReadFileBytes(out + "-host.bmp") == qvtest::ReadFileBytes(out + "-tool.bmp"));
  }
}

}  // namespace
