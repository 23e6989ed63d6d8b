// PNG reader against libpng: files made here in every colour type, depth,
// filter and interlace, files written by Pillow, ImageMagick and netpbm, and
// the corpus's reference PNGs, each compared pixel for pixel (alpha too)
// and run through the stress configurations; cut and damaged files; what
// the extended bit tolerates; bounded memory.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include <dirent.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "png_builder.h"
#include "test_support.h"

#if QV_HAVE_PNG
#include <png.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kPng = QV_TYPE_PNG;

struct Rgba {
  uint32_t width = 0, height = 0;
  Bytes px;  // red, green, blue, alpha; top row first
};

qvhost::Result Decode(const Bytes &file, uint32_t flags = 0, qvhost::Options *used = nullptr) {
  qvhost::Options o = qvtest::ClassicOptions();
  o.imageType = kPng;
  o.flags = flags;
  if (used) *used = o;
  return qvhost::Decode(file.data(), file.size(), o);
}

// The delivered bitmap as RGBA: colour table applied, alpha from the fourth
// byte of alpha rows or from the transparent index.
[[maybe_unused]] bool OursRgba(const qvhost::Result &r, uint32_t flags, Rgba *out, std::string *error) {
  const BitmapInfoHeader &h = r.header;
  uint32_t w = static_cast<uint32_t>(h.biWidth), n = static_cast<uint32_t>(h.biHeight < 0 ? -h.biHeight : h.biHeight);
  uint32_t bits = h.biBitCount, stride = (w * bits + 31) / 32 * 4;
  if (r.output.size() < size_t{stride} * n) return *error = "short output", false;
  bool top = qvhost::RowsTopFirst(h, flags);
  out->width = w, out->height = n;
  out->px.assign(size_t{w} * n * 4, 0);
  for (uint32_t y = 0; y < n; ++y) {
    const uint8_t *row = r.output.data() + size_t{top ? y : n - 1 - y} * stride;
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t *p = &out->px[(size_t{y} * w + x) * 4];
      if (bits <= 8) {
        uint32_t i = bits == 8 ? row[x] : bits == 4 ? (row[x / 2] >> (x & 1 ? 0 : 4)) & 15 : (row[x / 8] >> (7 - x % 8)) & 1;
        if (i >= h.biClrUsed) return *error = "index " + std::to_string(i) + " beyond the colour table", false;
        p[0] = r.palette[i].red, p[1] = r.palette[i].green, p[2] = r.palette[i].blue;
        p[3] = (r.flags & QV_FLAG_TRANSPARENT) && i == r.transparentIndex ? 0 : 255;
      } else {
        const uint8_t *s = row + size_t{x} * (bits / 8);
        p[0] = s[2], p[1] = s[1], p[2] = s[0];
        p[3] = bits == 32 && (r.flags & QV_FLAG_ALPHA) ? s[3] : 255;
      }
    }
  }
  return true;
}

#if QV_HAVE_PNG
struct PngSource {
  const Bytes *file;
  size_t at;
  std::string *error;
};

void PngRead(png_structp png, png_bytep out, size_t n) {
  PngSource *s = static_cast<PngSource *>(png_get_io_ptr(png));
  if (s->file->size() - s->at < n) png_error(png, "file cut short");
  memcpy(out, s->file->data() + s->at, n);
  s->at += n;
}
void PngFail(png_structp png, png_const_charp message) {
  *static_cast<PngSource *>(png_get_io_ptr(png))->error = message;
  longjmp(png_jmpbuf(png), 1);
}
void PngWarn(png_structp, png_const_charp) {}

// libpng's decode as RGBA: palettes and small depths expanded, tRNS made
// alpha, 16-bit samples scaled with png_set_scale_16 (v * 255 / 65535,
// rounded), grey made RGB.
bool LibpngRgba(const Bytes &file, Rgba *out, std::string *error, bool ignoreCrc = false) {
  PngSource source{&file, 0, error};
  std::vector<png_bytep> rows;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, PngWarn);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &source, PngRead);
  png_set_error_fn(png, nullptr, PngFail, PngWarn);
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  if (ignoreCrc) png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
  png_read_info(png, info);
  png_set_expand(png);
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  out->width = png_get_image_width(png, info);
  out->height = png_get_image_height(png, info);
  out->px.assign(size_t{out->width} * out->height * 4, 0);
  rows.resize(out->height);
  for (uint32_t y = 0; y < out->height; ++y) rows[y] = out->px.data() + size_t{y} * out->width * 4;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

std::string FirstDifference(const Rgba &a, const Rgba &b) {
  if (a.width != b.width || a.height != b.height)
    return "size " + std::to_string(a.width) + "x" + std::to_string(a.height) + " vs " + std::to_string(b.width) +
           "x" + std::to_string(b.height);
  for (size_t i = 0; i < a.px.size(); i += 4)
    if (memcmp(&a.px[i], &b.px[i], 4) != 0) {
      char s[160];
      snprintf(s, sizeof s, "pixel (%zu,%zu): %u,%u,%u,%u vs libpng %u,%u,%u,%u", i / 4 % a.width, i / 4 / a.width,
               a.px[i], a.px[i + 1], a.px[i + 2], a.px[i + 3], b.px[i], b.px[i + 1], b.px[i + 2], b.px[i + 3]);
      return s;
    }
  return "";
}

// Decoded in both row orders, the same pixels as libpng's; every stress
// configuration gives the same bytes when stress is set. "" when all holds.
std::string CompareWithLibpng(const Bytes &file, bool stress) {
  Rgba theirs, ours;
  std::string error;
  if (!LibpngRgba(file, &theirs, &error)) return "libpng refuses the file: " + error;
  for (uint32_t flags : {0u, uint32_t{QV_FLAG_TOP_DOWN}}) {
    qvhost::Options o = qvtest::ClassicOptions();
    qvhost::Result r = Decode(file, flags, &o);
    if (!r.ok()) return "status " + std::to_string(r.status) + " " + qvhost::StatusText(r.status);
    if (!OursRgba(r, flags, &ours, &error)) return error;
    std::string d = FirstDifference(ours, theirs);
    if (!d.empty()) return d;
    if (stress && flags == 0) {
      d = qvtest::CheckStress(file, o, r, r.header.biSizeImage / r.header.biHeight);
      if (!d.empty()) return "stress: " + d;
    }
  }
  return "";
}
#endif

// ---- Files made here -----------------------------------------------------------

// A picture at the file's depth: shading, noise and flat patches, so that
// every filter meets runs and detail.
Bytes Lines(const pngbuild::Image &im, uint32_t seed) {
  size_t lineBytes = pngbuild::LineBytes(im, im.width);
  Bytes v(lineBytes * im.height);
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < v.size(); ++i) {
    x = x * 1103515245u + 12345u;
    size_t col = i % lineBytes, row = i / lineBytes;
    v[i] = (col / 5 + row / 3) % 4 == 0 ? static_cast<uint8_t>(row * 9) : static_cast<uint8_t>(col * 3 + row + (x >> 29));
  }
  if (im.colourType == 3) {  // indexes inside the palette
    uint32_t entries = static_cast<uint32_t>(im.palette.size() / 3), bits = im.depth;
    for (uint32_t y = 0; y < im.height; ++y)
      for (uint32_t i = 0; i < im.width; ++i) {
        uint8_t &b = v[y * lineBytes + i * bits / 8];
        uint32_t shift = 8 - bits - i * bits % 8, mask = ((1u << bits) - 1) << shift;
        uint32_t value = ((b & mask) >> shift) % entries;
        b = static_cast<uint8_t>((b & ~mask) | value << shift);
      }
  }
  return v;
}

pngbuild::Image MakeImage(uint8_t colourType, uint8_t depth, uint32_t w, uint32_t h, uint32_t seed) {
  pngbuild::Image im;
  im.width = w, im.height = h, im.depth = depth, im.colourType = colourType;
  if (colourType == 3)
    for (uint32_t i = 0; i < (1u << depth) - (depth == 8 ? 20 : 0); ++i)
      im.palette.insert(im.palette.end(), {static_cast<uint8_t>(i * 37), static_cast<uint8_t>(255 - i * 11),
                                           static_cast<uint8_t>(i * i)});
  im.lines = Lines(im, seed);
  return im;
}

struct Kind {
  uint8_t colourType, depth;
};
const Kind kKinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                       {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

// tRNS of each kind a colour type allows: a grey value or colour (one that
// occurs in the picture), one transparent palette entry, several partial ones.
[[maybe_unused]] std::vector<Bytes> TransparencyFor(const pngbuild::Image &im) {
  std::vector<Bytes> v = {{}};
  if (im.colourType == 0 || im.colourType == 2) {
    Bytes t;
    for (uint32_t c = 0; c < pngbuild::Channels(im.colourType); ++c) {
      uint32_t s = im.depth == 16 ? im.lines[2 * c] << 8 | im.lines[2 * c + 1]
                                  : im.depth == 8 ? im.lines[c] : im.lines[0] >> (8 - im.depth);
      t.insert(t.end(), {static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)});
    }
    v.push_back(t);
  } else if (im.colourType == 3) {
    Bytes one(im.palette.size() / 3 > 3 ? 3 : 1, 255);
    one.back() = 0;
    Bytes partial;
    for (size_t i = 0; i < im.palette.size() / 3; ++i) partial.push_back(static_cast<uint8_t>(i * 51));
    v.push_back(one);
    v.push_back(partial);
  }
  return v;
}

#if QV_HAVE_PNG
// Every colour type and depth, plain and interlaced, with each filter and
// the cycle of all five, fixed codes and stored blocks, each kind of tRNS,
// text before and after the image data, the data in chunks of 1 to 4 KiB.
TEST(Png, MadeFilesMatchLibpng) {
  int files = 0;
  for (const Kind &k : kKinds) {
    for (int interlaced = 0; interlaced < 2; ++interlaced) {
      for (int filter = -1; filter <= 4; ++filter) {
        pngbuild::Image im = MakeImage(k.colourType, k.depth, 19 + filter * 3 + interlaced, 13 + filter, files);
        im.interlaced = interlaced;
        im.filter = filter;
        im.stored = filter == 2;
        im.chunkSize = filter == -1 ? 1 : filter == 0 ? 7 : 4096;
        im.before = {{"tEXt", {'T', 'i', 't', 'l', 'e', 0, 'a'}}, {"pHYs", {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x14, 1}}};
        Bytes ztxt = {'k', 0, 0}, z = pngbuild::Zlib({'z', 'z', 'z', 'z', 'z'}, false);
        ztxt.insert(ztxt.end(), z.begin(), z.end());
        im.after = {{"zTXt", ztxt}, {"tIME", {7, 0xE8, 1, 2, 3, 4, 5}}};
        for (const Bytes &trns : TransparencyFor(im)) {
          im.trns = trns;
          SCOPED_TRACE("colour type " + std::to_string(k.colourType) + " depth " + std::to_string(k.depth) +
                       (interlaced ? " Adam7" : "") + " filter " + std::to_string(filter) + " tRNS " +
                       std::to_string(trns.size()));
          Bytes file = pngbuild::Build(im);
          EXPECT_EQ(CompareWithLibpng(file, true), "");
          ++files;
        }
      }
    }
  }
  // The records and the resolution.
  pngbuild::Image im = MakeImage(2, 8, 5, 3, 1);
  im.before = {{"tEXt", {'a', 0, 'b'}}, {"pHYs", {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x14, 1}}, {"gAMA", {0, 1, 0x86, 0xA0}}};
  im.after = {{"iTXt", {'c', 0, 0, 0, 0, 0, 'd'}}};
  qvhost::Result r = Decode(pngbuild::Build(im));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.header.biXPelsPerMeter, 2835);
  EXPECT_EQ(r.header.biYPelsPerMeter, 2836);
  ASSERT_EQ(r.extras.size(), 3u);
  EXPECT_EQ(r.extras[0].kind, QV_EXTRA_PNG_CHUNK);
  EXPECT_EQ(r.extras[0].data, Bytes({'t', 'E', 'X', 't', 'a', 0, 'b'}));
  EXPECT_EQ(r.extras[1].data, Bytes({'g', 'A', 'M', 'A', 0, 1, 0x86, 0xA0}));
  EXPECT_EQ(r.extras[2].data, Bytes({'i', 'T', 'X', 't', 'c', 0, 0, 0, 0, 0, 'd'}));
}

// 16-bit samples become 8 bits as png_set_scale_16 makes them: a grey
// image holding every one of the 65536 values.
TEST(Png, SixteenBitSamplesScaleAsLibpng) {
  pngbuild::Image im;
  im.width = 256, im.height = 256, im.depth = 16, im.colourType = 0;
  for (uint32_t v = 0; v < 65536; ++v) im.lines.insert(im.lines.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
  EXPECT_EQ(CompareWithLibpng(pngbuild::Build(im), false), "");
}

// ---- Files written by other programs ----------------------------------------------

std::vector<std::string> PngFilesIn(const std::string &dir) {
  std::vector<std::string> v;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0) v.push_back(dir + "/" + n);
    }
    closedir(d);
  }
  std::sort(v.begin(), v.end());
  return v;
}

// Runs a shell command that writes PNGs into a fresh folder; compares each
// with libpng. Reports not run when the program is missing.
void PeerFiles(const std::string &probe, const std::string &name,
               const std::function<std::string(const std::string &dir)> &script, size_t atLeast) {
  if (system((probe + " >/dev/null 2>&1").c_str()) != 0) return qvtest::NotRun(name + " is not installed");
  std::string dir = qvtest::TempPath(name);
  system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
  ASSERT_EQ(system(script(dir).c_str()), 0) << script(dir);
  std::vector<std::string> files = PngFilesIn(dir);
  EXPECT_GE(files.size(), atLeast);
  for (const std::string &path : files) {
    SCOPED_TRACE(path);
    EXPECT_EQ(CompareWithLibpng(qvtest::ReadFileBytes(path), true), "");
  }
  system(("rm -rf '" + dir + "'").c_str());
}

// A PAM picture (any depth and alpha) for ImageMagick and netpbm.
std::string WritePam(const std::string &path, uint32_t w, uint32_t h, uint32_t depth, uint32_t maxval, uint32_t seed) {
  static const char *kTuple[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
  std::string head = "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) + "\nDEPTH " +
                     std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) + "\nTUPLTYPE " + kTuple[depth] +
                     "\nENDHDR\n";
  Bytes v(head.begin(), head.end());
  uint32_t x = seed;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t i = 0; i < w; ++i)
      for (uint32_t c = 0; c < depth; ++c) {
        x = x * 1103515245u + 12345u;
        uint32_t s = ((i / 6 + y / 4) % 3 == 0 ? (y * 997 + c * 30011) : (i * 1409 + y * 373 + c * 9001 + (x >> 20)));
        s %= maxval + 1;
        if (maxval > 255) v.push_back(static_cast<uint8_t>(s >> 8));
        v.push_back(static_cast<uint8_t>(s));
      }
  qvtest::WriteFileBytes(path, v);
  return path;
}

TEST(Png, ImageMagickFilesMatchLibpng) {
  PeerFiles("convert -version", "imagemagick", [](const std::string &d) {
    std::string rgba16 = WritePam(d + "/src.pam", 53, 41, 4, 65535, 3), cmd = "set -e; cd '" + d + "'; ";
    // Every colour type and depth, each filter (quality's last digit, 5 the
    // adaptive choice), plain and interlaced.
    std::vector<std::string> kinds;
    for (int bits : {1, 2, 4, 8, 16})
      kinds.push_back("-alpha off -colorspace Gray -depth " + std::to_string(bits) +
                      " -define png:color-type=0 -define png:bit-depth=" + std::to_string(bits));
    for (int bits : {8, 16}) {
      std::string depth = " -define png:bit-depth=" + std::to_string(bits);
      kinds.push_back("-alpha off -define png:color-type=2" + depth);
      kinds.push_back("-colorspace Gray -define png:color-type=4" + depth);
      kinds.push_back("-define png:color-type=6" + depth);
    }
    int n = 0;
    for (const std::string &kind : kinds)
      for (int filter = 0; filter <= 5; ++filter, ++n)
        cmd += "convert src.pam " + kind + " -quality 9" + std::to_string(filter) + (n % 2 ? " -interlace PNG" : "") +
               " out" + std::to_string(n) + ".png; ";
    // Palettes of a few colours (ImageMagick picks the depth), plain and
    // interlaced, and one with alpha.
    for (int colours : {2, 4, 16})
      for (int interlace = 0; interlace < 2; ++interlace)
        cmd += "convert src.pam -alpha off -depth 8 -colors " + std::to_string(colours) +
               (interlace ? " -interlace PNG" : "") + " pal" + std::to_string(colours) + std::to_string(interlace) +
               ".png; ";
    cmd += "convert src.pam -depth 8 -colors 60 PNG8:pal-alpha.png; rm src.pam";
    return cmd;
  }, 70);
}

TEST(Png, NetpbmFilesMatchLibpng) {
  PeerFiles("pnmtopng -version", "netpbm", [](const std::string &d) {
    std::string cmd = "set -e; cd '" + d + "'; ";
    WritePam(d + "/rgb8.pam", 47, 29, 3, 255, 5);
    WritePam(d + "/rgb16.pam", 31, 23, 3, 65535, 6);
    WritePam(d + "/grey16.pam", 37, 19, 1, 65535, 7);
    WritePam(d + "/grey3.pam", 35, 21, 1, 3, 8);
    WritePam(d + "/alpha.pam", 47, 29, 1, 255, 9);
    WritePam(d + "/few.pam", 45, 27, 3, 2, 10);
    qvtest::WriteFileBytes(d + "/text", Bytes{'T', 'i', 't', 'l', 'e', ' ', 'n', 'e', 't', 'p', 'b', 'm', '\n'});
    const char *options[] = {"", "-interlace", "-nofilter", "-sub", "-up", "-avg", "-paeth", "-force",
                             "-text=text -comp_buffer_size=64", "-ztxt=text -interlace -paeth"};
    int n = 0;
    for (const char *src : {"rgb8", "rgb16", "grey16", "grey3", "few"})
      for (const char *o : options)
        cmd += "pamtopnm " + std::string(src) + ".pam | pnmtopng " + o + " > n" + std::to_string(n++) + ".png 2>/dev/null; ";
    cmd += "pamtopnm rgb8.pam | pnmtopng -alpha=<(pamtopnm alpha.pam) > a.png 2>/dev/null; ";
    cmd += "pamtopnm few.pam | pnmtopng -transparent=rgb:01/02/00 > t1.png 2>/dev/null; ";
    cmd += "pamtopnm grey3.pam | pnmtopng -transparent=rgb:02/02/02 -interlace > t2.png 2>/dev/null; ";
    cmd += "pamtopnm rgb16.pam | pnmtopng -transparent=rgb:0000/0000/0000 > t3.png 2>/dev/null; rm *.pam text";
    return "bash -c \"" + cmd + "\"";
  }, 50);
}

TEST(Png, PillowFilesMatchLibpng) {
  PeerFiles("/usr/bin/python3 -c 'import PIL'", "pillow", [](const std::string &d) {
    std::string script = R"(
import sys
from PIL import Image, PngImagePlugin
out = sys.argv[1]
w, h = 43, 29
def picture(bands, top):
    return bytes(((x * 7 + y * 13 + b * 50) ^ (x * y >> 2)) % (top + 1) if (x // 5 + y // 3) % 4 else (y * 9) % (top + 1)
                 for y in range(h) for x in range(w) for b in range(bands))
info = PngImagePlugin.PngInfo()
info.add_text("Title", "pillow")
info.add_text("Comment", "zipped " * 20, zip=True)
info.add_itxt("Author", "someone", lang="en", tkey="Author")
n = 0
def save(im, **kw):
    global n
    for level in (0, 6, 9):
        im.save("%s/p%03d.png" % (out, n), compress_level=level, pnginfo=info, **kw)
        n += 1
save(Image.frombytes("RGB", (w, h), picture(3, 255)))
save(Image.frombytes("RGB", (w, h), picture(3, 255)), transparency=(0, 9, 18))
save(Image.frombytes("RGBA", (w, h), picture(4, 255)))
save(Image.frombytes("LA", (w, h), picture(2, 255)))
save(Image.frombytes("L", (w, h), picture(1, 255)))
save(Image.frombytes("L", (w, h), picture(1, 255)), transparency=0)
save(Image.frombytes("L", (w, h), picture(1, 255)).convert("1"))
save(Image.frombytes("I;16", (w, h), bytes(v for i in range(w * h) for v in ((i * 2731) & 255, (i * 37) & 255))))
for bits in (1, 2, 4, 8):
    p = Image.frombytes("P", (w, h), picture(1, (1 << bits) - 1))
    p.putpalette(bytes((i * 41 + c * 90) & 255 for i in range(1 << bits) for c in range(3)))
    save(p, bits=bits)
    save(p, bits=bits, transparency=1)
    save(p, bits=bits, transparency=bytes(range(0, 256, 256 >> bits)))
)";
    qvtest::WriteFileBytes(d + "/make.py", Bytes(script.begin(), script.end()));
    return "/usr/bin/python3 '" + d + "/make.py' '" + d + "'";
  }, 60);
}

// Every reference PNG of the shared corpus (written by Pillow, libtiff's
// tools, ImageMagick and netpbm from the corpus's images): the same pixels
// as libpng's decode; the smaller ones through the stress configurations too.
TEST(PngCorpus, ReferencePngsMatchLibpng) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  FILE *list = popen(("find '" + dir + "/reference' -name '*.png' | sort").c_str(), "r");
  ASSERT_TRUE(list);
  char line[4096];
  size_t compared = 0, index = 0;
  while (fgets(line, sizeof line, list)) {
    std::string path(line, strcspn(line, "\n"));
#if QV_SLOW_LEG
    if (index++ % 8) continue;  // under an emulator, a sample
#else
    ++index;
#endif
    Bytes file = qvtest::ReadFileBytes(path);
    SCOPED_TRACE(path);
    EXPECT_EQ(CompareWithLibpng(file, file.size() < 20000 && index % 3 == 0), "");
    ++compared;
  }
  pclose(list);
  if (compared == 0) qvtest::NotRun("the corpus holds no reference PNG");
  printf("%zu reference PNGs compared\n", compared);
}
#endif  // QV_HAVE_PNG

// ---- Damage --------------------------------------------------------------------------

// Some PNGs to damage: plain and interlaced, palette with tRNS, 16-bit
// RGBA, text after the image data, data in small chunks.
std::vector<Bytes> DamageSamples() {
  std::vector<Bytes> v;
  pngbuild::Image a = MakeImage(2, 8, 23, 9, 1);
  a.after = {{"tEXt", {'k', 0, 'v', 'v'}}};
  a.chunkSize = 50;
  v.push_back(pngbuild::Build(a));
  pngbuild::Image b = MakeImage(3, 4, 17, 11, 2);
  b.interlaced = true;
  b.trns = {255, 0, 128};
  v.push_back(pngbuild::Build(b));
  pngbuild::Image c = MakeImage(6, 16, 9, 7, 3);
  c.stored = true;
  v.push_back(pngbuild::Build(c));
  return v;
}

// Cut at every length, a byte flipped at every position (check values kept,
// then set anew so the damage reaches the image data), each check value
// broken: every decode ends with a status or, having succeeded, with the
// pixels libpng gives the same file (told to pass over check values as the
// extended bit does) or, where libpng refuses it, the undamaged file's
// bytes. Without the extended bit a cut file or a broken check value fails.
TEST(Png, CutAndDamagedFilesEndWithAStatus) {
  for (const Bytes &good : DamageSamples()) {
    qvhost::Result whole = Decode(good);
    ASSERT_TRUE(whole.ok()) << whole.status;
    for (uint32_t flags : {0u, uint32_t{QV_FLAG_EXTENDED}}) {
      auto check = [&](const Bytes &f, const std::string &what, bool mustFail, bool samePixels) {
        qvhost::Options o = qvtest::ClassicOptions();
        o.imageType = kPng;
        o.flags = flags;
        o.inQueue = 7;
        qvhost::Result r = qvhost::Decode(f.data(), f.size(), o);
        ASSERT_TRUE(r.response == ResponseDone || r.response == ResponseError) << what;
        if (!r.ok()) {
          EXPECT_LT(r.status, 0) << what;
          return;
        }
        EXPECT_FALSE(mustFail) << what;
#if QV_HAVE_PNG
        Rgba ours, theirs;
        std::string error;
        if (LibpngRgba(f, &theirs, &error, flags != 0)) {
          ASSERT_TRUE(OursRgba(r, 0, &ours, &error)) << what << ": " << error;
          EXPECT_EQ(FirstDifference(ours, theirs), "") << what;
          return;
        }
        samePixels = true;
#endif
        if (samePixels) {
          EXPECT_TRUE(r.output == whole.output) << what << ": success with other pixels";
        }
      };
      for (size_t n = 0; n < good.size(); ++n)
        check(Bytes(good.begin(), good.begin() + n), "cut at " + std::to_string(n), flags == 0, true);
      for (size_t at = 8; at < good.size(); ++at) {
        Bytes f = good;
        f[at] ^= static_cast<uint8_t>(1u << (at % 8));
        check(f, "flip at " + std::to_string(at), false, flags == 0);
        for (size_t c : pngbuild::ChunkOffsets(f)) pngbuild::FixChunkCrc(f, c);
        check(f, "flip at " + std::to_string(at) + ", check values set", false, false);
      }
      for (size_t c : pngbuild::ChunkOffsets(good)) {
        Bytes f = good;
        uint32_t n = uint32_t{f[c]} << 24 | f[c + 1] << 16 | f[c + 2] << 8 | f[c + 3];
        f[c + 8 + n] ^= 0x40;
        check(f, "check value of the chunk at " + std::to_string(c), flags == 0, true);
      }
    }
  }
}

// What each mode makes of faults around the image: statuses without the
// extended bit, the image as it stands with it.
TEST(Png, ExtendedBitToleratesFaultsAroundTheImage) {
  pngbuild::Image im = MakeImage(2, 8, 11, 5, 4);
  Bytes good = pngbuild::Build(im);
  qvhost::Result whole = Decode(good);
  ASSERT_TRUE(whole.ok());
  // The file with its image data replaced by a zlib stream of data.
  auto withStream = [&](const Bytes &z) {
    Bytes out(good.begin(), good.begin() + 33);  // signature and IHDR
    pngbuild::PutChunk(out, "IDAT", z);
    pngbuild::PutChunk(out, "IEND", {});
    return out;
  };
  Bytes data = pngbuild::FilteredData(im), longer = data, trailing = pngbuild::Zlib(data, false);
  longer.insert(longer.end(), {0, 1, 2, 3});
  trailing.insert(trailing.end(), {1, 2, 3});
  Bytes noEnd(good.begin(), good.end() - 12);
  Bytes badCrc = good;
  badCrc[good.size() - 13] ^= 1;  // the image data's check value
  Bytes afterEnd(good.begin(), good.end() - 12);
  pngbuild::PutChunk(afterEnd, "tEXt", {'a', 0, 'b'});
  pngbuild::PutChunk(afterEnd, "IDAT", {3, 0});
  pngbuild::PutChunk(afterEnd, "IEND", {});
  struct Case {
    const char *what;
    Bytes file;
    int32_t strict;  // the status without the extended bit
  };
  const Case cases[] = {
      {"no IEND", noEnd, QV_ERR_INPUT_ENDED},
      {"image data check value broken", badCrc, QV_ERR_PNG_CRC},
      {"more image data than lines", withStream(pngbuild::Zlib(longer, false)), QV_ERR_PNG_EXCESS},
      {"bytes after the zlib stream", withStream(trailing), QV_ERR_PNG_EXCESS},
      {"image data after another chunk", afterEnd, QV_ERR_PNG_CHUNK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    qvhost::Result strict = Decode(c.file);
    EXPECT_EQ(strict.status, c.strict) << qvhost::StatusText(strict.status);
    qvhost::Result lenient = Decode(c.file, QV_FLAG_EXTENDED);
    EXPECT_TRUE(lenient.ok()) << lenient.status;
    EXPECT_TRUE(lenient.output == whole.output);
  }
}

// Headers and chunks no decoder can take, each with its status.
TEST(Png, RefusalsNameTheirFault) {
  auto edit = [](std::function<void(pngbuild::Image &)> f) {
    pngbuild::Image im = MakeImage(3, 4, 6, 4, 5);
    f(im);
    return pngbuild::Build(im);
  };
  Bytes badDepth = edit([](pngbuild::Image &im) {
    im.colourType = 2, im.depth = 4;  // lines of the size such a header implies
    im.lines.assign(size_t{im.height} * pngbuild::LineBytes(im, im.width), 0);
  });
  Bytes noPalette = edit([](pngbuild::Image &im) { im.palette.clear(); });
  Bytes critical = edit([](pngbuild::Image &im) { im.before = {{"CRIT", {1}}}; });
  Bytes badName = edit([](pngbuild::Image &im) { im.before = {{"a1cd", {1}}}; });
  Bytes bigPalette = edit([](pngbuild::Image &im) { im.palette.resize(17 * 3); });
  Bytes badTrns = edit([](pngbuild::Image &im) { im.trns.assign(17, 0); });
  Bytes badFilter = pngbuild::Build(MakeImage(0, 8, 4, 4, 6));
  {
    pngbuild::Image im = MakeImage(0, 8, 4, 4, 6);
    Bytes d = pngbuild::FilteredData(im);
    d[5 * 2] = 5;  // the third line's filter type
    badFilter.resize(33);
    pngbuild::PutChunk(badFilter, "IDAT", pngbuild::Zlib(d, true));
    pngbuild::PutChunk(badFilter, "IEND", {});
  }
  Bytes shortData = pngbuild::Build(MakeImage(0, 8, 4, 4, 6));
  {
    pngbuild::Image im = MakeImage(0, 8, 4, 4, 6);
    Bytes d = pngbuild::FilteredData(im);
    d.resize(d.size() - 1);
    shortData.resize(33);
    pngbuild::PutChunk(shortData, "IDAT", pngbuild::Zlib(d, false));
    pngbuild::PutChunk(shortData, "IEND", {});
  }
  Bytes signature = pngbuild::Build(MakeImage(0, 8, 4, 4, 6));
  signature[4] = '\n';
  const std::pair<Bytes, int32_t> cases[] = {
      {badDepth, QV_ERR_PNG_HEADER},  {noPalette, QV_ERR_PNG_CHUNK},  {critical, QV_ERR_PNG_CHUNK},
      {badName, QV_ERR_PNG_CHUNK},    {bigPalette, QV_ERR_PNG_CHUNK}, {badTrns, QV_ERR_PNG_CHUNK},
      {badFilter, QV_ERR_PNG_FILTER}, {shortData, QV_ERR_PNG_DATA},   {signature, QV_ERR_PNG_SIGNATURE},
  };
  int i = 0;
  for (const auto &c : cases) {
    qvhost::Result r = Decode(c.first);
    EXPECT_EQ(r.status, c.second) << "case " << i++ << ": " << qvhost::StatusText(r.status);
  }
}

// A 20000 x 20000 image decodes in bounded memory: two lines and the
// inflater's buffers, under a 1 MiB limit. Adam7 holds the even rows
// (half the bitmap), which that limit refuses and the default allows.
TEST(Png, LargeImagesStayInBoundedMemory) {
  pngbuild::Image im;
  im.width = im.height = 20000;
  im.depth = 1;
  im.colourType = 0;
  im.filter = 0;
  im.lines.assign(pngbuild::LineBytes(im, im.width) * im.height, 0);
  for (size_t y = 0; y < 20000; y += 97) im.lines[y * 2500 + y % 2500] = 0x81;
  for (int interlaced = 0; interlaced < 2; ++interlaced) {
    im.interlaced = interlaced;
    Bytes file = pngbuild::Build(im);
    for (uint32_t limit : {1u << 20, 0u}) {
      qvhost::Options o = qvtest::ClassicOptions();
      o.imageType = kPng;
      o.memoryLimit = limit;
      uint64_t sum = 0, bytes = 0;
      o.onOutput = [&](const ParamBlock &, uint64_t position, const uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; ++i) sum += p[i] * (position + i + 1);
        bytes += n;
        return true;
      };
      qvhost::Result r = qvhost::Decode(file.data(), file.size(), o);
      if (interlaced && limit) {
        EXPECT_EQ(r.status, QV_ERR_BUFFER);
        continue;
      }
      ASSERT_TRUE(r.ok()) << r.status;
      EXPECT_EQ(bytes, 2500ull * 20000);
      uint64_t want = 0;
      for (uint64_t y = 0; y < 20000; y += 97) {  // bottom row first: row y at (19999 - y) x 2500
        uint64_t at = (19999 - y) * 2500 + y % 2500;
        want += 0x81 * (at + 1);
      }
      EXPECT_EQ(sum, want);
    }
  }
}

}  // namespace
