// Differential test over the shared corpus: every file decodes to the pixels
// of its reference PNG (colour table applied), the same through tiny queues
// and random chunking, or fails with the status its expectation names.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include <algorithm>

#include "engine/engine.h"
#include "test_support.h"

namespace {

constexpr uint32_t kDamagedNotStated = UINT32_MAX;

struct Expectation {
  std::string kind;  // match, rotated-180, rotated-90, oriented, near, decodes, partial, refuse, clean
  int32_t status = 0;
  uint32_t damaged = 0;  // partial: the rows the decode reports damaged, if stated
  uint32_t near = 0;     // near: the most a component may differ from the reference
  std::string type;  // image type override ("" = detect)
  int faxFillOrder = 0;  // raw fax: the FaxFillOrder option byte
};

struct Entry {
  std::string path, format, reference;  // reference: the peer that made the reference PNG
};

std::vector<std::string> SplitTabs(const std::string &line) {
  std::vector<std::string> out;
  std::stringstream ss(line);
  std::string f;
  while (std::getline(ss, f, '\t')) out.push_back(f);
  return out;
}

// One file of expectations per format: tests/corpus_expectations/<format>.tsv;
// with extended decoding, the rows of extended/<format>.tsv replace those of
// the same files (the others are expected to decode as without the bit).
std::map<std::string, Expectation> LoadExpectations(const char *format, bool extended) {
  std::map<std::string, Expectation> m = extended ? LoadExpectations(format, false) : std::map<std::string, Expectation>();
  std::ifstream in(std::string(QV_SOURCE_DIR) + "/tests/corpus_expectations/" + (extended ? "extended/" : "") +
                   format + ".tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f = SplitTabs(line);
    if (f.size() < 2) continue;
    Expectation e;
    std::stringstream ss(f[1]);
    ss >> e.kind;
    if (e.kind == "refuse") ss >> e.status;
    if (e.kind == "partial" && !(ss >> e.damaged)) e.damaged = kDamagedNotStated;
    if (e.kind == "near") ss >> e.near;
    if (f.size() > 2) e.type = f[2];
    if (f.size() > 3) e.faxFillOrder = atoi(f[3].c_str());
    m[f[0]] = e;
  }
  return m;
}

std::vector<Entry> LoadManifest(const std::string &dir) {
  std::vector<Entry> v;
  std::ifstream in(dir + "/MANIFEST.tsv");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> f = SplitTabs(line);
    if (f.size() < 9) continue;
    v.push_back({f[0], f[3], f[8]});
  }
  return v;
}

// Where the decoded image sits inside the reference picture (GIF images
// are placed on the logical screen).
void ReferenceOffset(const std::string &format, const std::vector<uint8_t> &d, uint32_t *x,
                     uint32_t *y) {
  *x = *y = 0;
  if (format != "gif" || d.size() < 13) return;
  size_t at = 13;
  if (d[10] & 0x80) at += 3u << ((d[10] & 7) + 1);
  while (at < d.size() && d[at] == 0x21) {
    at += 2;
    while (at < d.size() && d[at]) at += d[at] + 1u;
    ++at;
  }
  if (at + 5 <= d.size() && d[at] == 0x2C) {
    *x = d[at + 1] | d[at + 2] << 8;
    *y = d[at + 3] | d[at + 4] << 8;
  }
}

// placed: the image is a rectangle of the reference picture (GIF), so it may
// be smaller than the picture even at offset 0,0. near: components may
// differ by that much.
std::string ComparePixels(const qvhost::Pixels &got, const qvhost::Pixels &ref, uint32_t ox,
                          uint32_t oy, bool placed, uint32_t near = 0) {
  if (got.width + ox > ref.width || got.height + oy > ref.height)
    return "size " + std::to_string(got.width) + "x" + std::to_string(got.height) +
           " does not fit the reference " + std::to_string(ref.width) + "x" + std::to_string(ref.height);
  if (!placed && (got.width != ref.width || got.height != ref.height))
    return "size " + std::to_string(got.width) + "x" + std::to_string(got.height) + " vs " +
           std::to_string(ref.width) + "x" + std::to_string(ref.height);
  size_t bad = 0;
  std::string first;
  for (uint32_t yy = 0; yy < got.height; ++yy)
    for (uint32_t xx = 0; xx < got.width; ++xx) {
      const uint8_t *a = &got.rgb[(static_cast<size_t>(yy) * got.width + xx) * 3];
      const uint8_t *b = &ref.rgb[(static_cast<size_t>(yy + oy) * ref.width + xx + ox) * 3];
      bool same = near ? std::abs(a[0] - b[0]) <= int(near) && std::abs(a[1] - b[1]) <= int(near) &&
                             std::abs(a[2] - b[2]) <= int(near)
                       : memcmp(a, b, 3) == 0;
      if (!same) {
        if (!bad++) {
          char buf[128];
          snprintf(buf, sizeof buf, "pixel (%u,%u) is %u,%u,%u, reference %u,%u,%u", xx, yy, a[0],
                   a[1], a[2], b[0], b[1], b[2]);
          first = buf;
        }
      }
    }
  if (bad) return std::to_string(bad) + " pixels differ; first " + first;
  return "";
}

// Where both the bitmap (fourth byte) and the reference call a pixel fully
// transparent, its colour is taken from the reference.
void HideTransparentColours(const qvhost::Result &r, uint32_t optionFlags, const std::string &refPath,
                            qvhost::Pixels *got, const qvhost::Pixels &ref) {
  uint32_t w, h;
  std::vector<uint8_t> rgba;
  if (!qvtest::ReadPngRgba(refPath, &w, &h, &rgba, nullptr) || w != got->width || h != got->height) return;
  size_t stride = size_t{w} * 4;
  if (r.header.biBitCount != 32 || r.output.size() < stride * h) return;
  const uint8_t *base = r.output.data() + (r.output.size() - stride * h);
  bool top = qvhost::RowsTopFirst(r.header, optionFlags);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      size_t i = size_t{y} * w + x;
      if (rgba[i * 4 + 3] == 0 && base[stride * (top ? y : h - 1 - y) + 4 * x + 3] == 0)
        memcpy(&got->rgb[i * 3], &ref.rgb[i * 3], 3);
    }
}

// The results of extended decoding that the host library's Result does not
// carry, taken from the block when the job ends.
struct Extended {
  uint32_t orientation = 0, damagedRows = 0;
};
qvhost::Result DecodeNoting(const std::vector<uint8_t> &data, const qvhost::Options &o, Extended *x) {
  qvhost::TestHooks hooks;
  hooks.afterResponse = [x](ParamBlock *pb, int response) {
    if (response == ResponseDone || response == ResponseError) {
      x->orientation = pb->Orientation;
      x->damagedRows = pb->DamagedRows;
    }
  };
  return qvhost::DecodeWithHooks(data.data(), data.size(), o, hooks);
}

// The fourth bytes of 32-bit rows with alpha, top row first.
std::vector<uint8_t> ResultAlpha(const qvhost::Result &r, uint32_t optionFlags) {
  uint32_t w = static_cast<uint32_t>(r.header.biWidth);
  uint32_t h = static_cast<uint32_t>(r.header.biHeight < 0 ? -r.header.biHeight : r.header.biHeight);
  const uint8_t *rows = r.output.data() + (r.output.size() - size_t{w} * 4 * h);
  bool top = qvhost::RowsTopFirst(r.header, optionFlags);
  std::vector<uint8_t> a(size_t{w} * h);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) a[size_t{y} * w + x] = rows[size_t{top ? y : h - 1 - y} * w * 4 + x * 4 + 3];
  return a;
}

// A picture as shown: the stored rows turned by a TIFF Orientation (1 to 8:
// where row 0 and column 0 of the file belong).
template <size_t kChannels>
std::vector<uint8_t> Orient(const std::vector<uint8_t> &in, uint32_t w, uint32_t h, uint32_t orientation,
                            uint32_t *ow, uint32_t *oh) {
  bool swap = orientation >= 5;
  *ow = swap ? h : w;
  *oh = swap ? w : h;
  std::vector<uint8_t> out(in.size());
  for (uint32_t Y = 0; Y < *oh; ++Y)
    for (uint32_t X = 0; X < *ow; ++X) {
      uint32_t x = X, y = Y;
      switch (orientation) {
        case 2: x = w - 1 - X; break;
        case 3: x = w - 1 - X, y = h - 1 - Y; break;
        case 4: y = h - 1 - Y; break;
        case 5: x = Y, y = X; break;
        case 6: x = Y, y = h - 1 - X; break;
        case 7: x = w - 1 - Y, y = h - 1 - X; break;
        case 8: x = w - 1 - Y, y = X; break;
        default: break;
      }
      memcpy(&out[(size_t{Y} * *ow + X) * kChannels], &in[(size_t{y} * w + x) * kChannels], kChannels);
    }
  return out;
}

// Alpha as the reference's peer keeps it. Ours stays as the file has it.
// Pillow and ImageMagick hand associated alpha over unassociated (Pillow
// c x 255 / a rounded down, ImageMagick rounded, 0 where a is 0). libtiff's
// RGBA reading hands RGB with unassociated alpha over associated
// ((c x a + 127) / 255), and its references went to PNG through Pillow,
// which made every alpha unassociated again.
void AsPeerKeepsAlpha(std::vector<uint8_t> *rgb, const std::vector<uint8_t> &alpha, bool premultiplied, bool rgbSamples,
                      const std::string &peer) {
  bool pillow = peer.rfind("Pillow", 0) == 0, libtiff = peer.rfind("libtiff", 0) == 0,
       magick = peer.rfind("ImageMagick", 0) == 0;
  for (size_t i = 0; i < alpha.size(); ++i)
    for (size_t c = 0; c < 3; ++c) {
      uint32_t v = (*rgb)[3 * i + c], a = alpha[i];
      bool associated = premultiplied;
      if (libtiff && !associated && rgbSamples) v = (v * a + 127) / 255, associated = true;
      if (associated && (pillow || libtiff)) v = a == 0 ? 0 : std::min<uint32_t>(255, v * 255 / a);
      if (associated && magick) v = a == 0 ? 0 : std::min<uint32_t>(255, (v * 255 + a / 2) / a);
      (*rgb)[3 * i + c] = static_cast<uint8_t>(v);
    }
}

// CMYK as libtiff makes it RGB: (255 - k) x (255 - ink) / 255, rounded down
// (the host library rounds to nearest).
void CmykAsLibtiff(const qvhost::Result &r, uint32_t optionFlags, qvhost::Pixels *rgb) {
  uint32_t w = rgb->width, h = rgb->height;
  const uint8_t *rows = r.output.data() + (r.output.size() - size_t{w} * 4 * h);
  bool top = qvhost::RowsTopFirst(r.header, optionFlags);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t *c = rows + size_t{top ? y : h - 1 - y} * w * 4 + x * 4;
      for (int i = 0; i < 3; ++i) rgb->rgb[(size_t{y} * w + x) * 3 + i] = static_cast<uint8_t>((255 - c[3]) * (255 - c[i]) / 255);
    }
}

// Every file of a format, decoded as the classic readers do or (extended)
// with QV_FLAG_EXTENDED.
void RunFormat(const char *format, bool extended = false) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  std::map<std::string, Expectation> expect = LoadExpectations(format, extended);
  size_t matched = 0, refused = 0, clean = 0, partial = 0, decodedOnly = 0, undetected = 0, uncovered = 0, missing = 0, maxStack = 0;
  for (const Entry &e : LoadManifest(dir)) {
    if (e.format.rfind(format, 0) != 0) continue;
    bool bad = e.path.find("/bad/") != std::string::npos;
    auto it = expect.find(e.path);
    Expectation ex;
    if (it != expect.end()) {
      ex = it->second;
    } else if (bad) {
      ex.kind = "clean";
    } else {
      ++uncovered;
      continue;
    }
    SCOPED_TRACE(e.path);
    std::vector<uint8_t> data = qvtest::ReadFileBytes(dir + "/" + e.path);
    ASSERT_EQ(access((dir + "/" + e.path).c_str(), R_OK), 0);
    qvhost::Options o;
    o.extended = extended;  // the host library decodes extended unless told otherwise
    o.faxFillOrder = static_cast<uint8_t>(ex.faxFillOrder);
    if (!ex.type.empty()) {
      ASSERT_TRUE(qvhost::ParseTypeName(ex.type, &o.imageType));
    } else if (!qvhost::DetectImageType(data.data(), data.size(), &o.imageType)) {
      EXPECT_EQ(ex.kind, "clean") << "format not detected";
      ++undetected;
      continue;
    }
    o.outputLimit = size_t{256} << 20;
    o.test.measureStack = true;
    Extended x;
    qvhost::Result r = DecodeNoting(data, o, &x);
    // The deepest path of every reader stays far inside the job stack.
    EXPECT_LT(r.stackUsed, kJobStackSize / 2);
    maxStack = std::max(maxStack, r.stackUsed);
    o.test.measureStack = false;
    ASSERT_TRUE(r.response == ResponseDone || r.response == ResponseError);
    // A reader not in this build, or JPEG strips without libjpeg (the
    // Windows build has none): nothing to compare.
    if (r.status == QV_ERR_READER_MISSING || r.status == QV_ERR_JPEG_UNAVAILABLE) {
      ++missing;
      continue;
    }
    // Byte-identical under every stress configuration, whatever the outcome.
    uint32_t stride = r.header.biWidth > 0 && r.header.biSizeImage && r.header.biHeight
                          ? r.header.biSizeImage / (r.header.biHeight < 0 ? -r.header.biHeight : r.header.biHeight)
                          : 64;
    if (stride == 0 || stride > (1u << 20)) stride = 64;
    std::string stress;
    if (r.status == QV_ERR_OUTPUT_ABORTED) {
      // Cut off at the host's output limit: the in-place configurations
      // write into a buffer of the bitmap's size and apply no such limit.
    } else if (r.response == ResponseError && strcmp(format, "pcx") == 0) {
      // PCX rows arrive top row first, so a bottom-up decode places them in
      // bands from the end; a file that fails midway has then let through as
      // many bands as the queue size allowed. Failures are compared byte for
      // byte in file order instead, where every row before the fault is out.
      qvhost::Options top = o;
      top.flags |= QV_FLAG_TOP_DOWN;
      qvhost::Result rt = qvhost::Decode(data.data(), data.size(), top);
      EXPECT_EQ(rt.status, r.status);
      stress = qvtest::CheckStress(data, top, rt, stride);
    } else {
      stress = qvtest::CheckStress(data, o, r, stride);
    }
    EXPECT_EQ(stress, "");
    if (ex.kind == "clean") {
      ++clean;
      continue;
    }
    if (ex.kind == "refuse") {
      ++refused;
      EXPECT_EQ(r.status, ex.status) << qvhost::StatusText(r.status);
      continue;
    }
    // Without the extended bit nothing is partial; with it, only what is
    // expected so.
    EXPECT_EQ((r.flags & QV_FLAG_PARTIAL) != 0, ex.kind == "partial");
    if (extended && ex.damaged != kDamagedNotStated) {
      EXPECT_EQ(x.damagedRows, ex.damaged);
    }
    if (ex.kind == "partial" || ex.kind == "decodes") {
      // Decoded, not compared with a reference that is known to differ (the
      // note beside the row says why) or that shows a damaged file otherwise
      // (the rows before the damage are checked by each reader's cut-file
      // tests).
      ++(ex.kind == "partial" ? partial : decodedOnly);
      EXPECT_TRUE(r.ok()) << "status " << r.status << ": " << qvhost::StatusText(r.status);
      continue;
    }
    ASSERT_TRUE(ex.kind == "match" || ex.kind == "match-colour" || ex.kind == "rotated-180" ||
                ex.kind == "rotated-90" || ex.kind == "oriented" || ex.kind == "near")
        << ex.kind;
    // A file's orientation is reported (extended), never applied: turned
    // by it, the rows of an "oriented" file show what the peer showed.
    if (ex.kind == "oriented") {
      EXPECT_NE(x.orientation, 1u);
    }
    ++matched;
    ASSERT_TRUE(r.ok()) << "status " << r.status << ": " << qvhost::StatusText(r.status);
    EXPECT_FALSE(r.flags & QV_FLAG_PARTIAL) << "a complete file reported partial";
    bool tiffLike = qvhost::IsTiffType(o.imageType);
    if (tiffLike) {
      // Batches handed to a host that drains at every one, bottom-up and top
      // row first, through a small output queue: the same bytes.
      for (uint32_t flags : {0u, QV_FLAG_TOP_DOWN}) {
        qvhost::Options b = o;
        b.flags |= flags;
        qvhost::Result plain = flags ? qvhost::Decode(data.data(), data.size(), b) : r;
        b.flags |= QV_FLAG_BATCH;
        b.rowsPerBatch = 3;
        b.outQueue = 3 * stride + 7;
        b.test.chunkSeed = 17;
        qvhost::Result rb = qvhost::Decode(data.data(), data.size(), b);
        EXPECT_EQ(rb.status, 0);
        EXPECT_EQ(rb.output == plain.output, true) << "batched output differs, flags " << flags;
      }
    }
    if (e.reference.rfind("n/a", 0) == 0 || e.reference == "none") continue;
    // Multi-page files have a reference per page (.p1.png, .p2.png, ...).
    std::string ref0 = dir + "/reference/" + e.path;
    bool paged = access((ref0 + ".png").c_str(), R_OK) != 0 && access((ref0 + ".p1.png").c_str(), R_OK) == 0;
    for (uint32_t page = 1;; ++page) {
      std::string refPath = paged ? ref0 + ".p" + std::to_string(page) + ".png" : ref0 + ".png";
      if (page > 1 && (!paged || access(refPath.c_str(), R_OK) != 0)) {
        if (paged) {
          // One page past the last is refused.
          qvhost::Options past = o;
          past.pageNumber = page;
          EXPECT_EQ(qvhost::Decode(data.data(), data.size(), past).status, QV_ERR_NO_PAGE);
          EXPECT_EQ(qvhost::CountTiffPages(data.data(), data.size()), static_cast<int>(page - 1));
        }
        break;
      }
      SCOPED_TRACE("page " + std::to_string(page));
      qvhost::Options po = o;
      po.pageNumber = page;
      qvhost::Result rp = page == 1 ? r : qvhost::Decode(data.data(), data.size(), po);
      ASSERT_TRUE(rp.ok()) << "status " << rp.status;
      qvhost::Pixels ref, got;
      std::string err;
      ASSERT_TRUE(qvtest::ReadPngRgb(refPath, &ref, &err)) << err;
      // The peer turned the picture by an Orientation the decoder keeps as
      // 1 (only 4 is honoured): turn the reference back.
      if (ex.kind == "rotated-180") {
        std::reverse(ref.rgb.begin(), ref.rgb.end());
        for (size_t i = 0; i < ref.rgb.size(); i += 3) std::swap(ref.rgb[i], ref.rgb[i + 2]);  // B,G,R back to R,G,B
      }
      if (ex.kind == "rotated-90") {  // the peer turned it a quarter clockwise
        qvhost::Pixels back;
        back.width = ref.height;
        back.height = ref.width;
        back.rgb.resize(ref.rgb.size());
        for (uint32_t y = 0; y < back.height; ++y)
          for (uint32_t x = 0; x < back.width; ++x)
            memcpy(&back.rgb[(size_t{y} * back.width + x) * 3],
                   &ref.rgb[(size_t{x} * ref.width + (ref.width - 1 - y)) * 3], 3);
        ref = std::move(back);
      }
      ASSERT_TRUE(qvhost::ResultToRgb(rp, po.flags, &got, &err)) << err;
      qvhost::Pixels shown = got;
      if (rp.header.biCompression == QV_FOURCC('C', 'M', 'Y', 'K') && e.reference.rfind("libtiff", 0) == 0)
        CmykAsLibtiff(rp, po.flags, &shown);
      std::vector<uint8_t> alpha;
      if (rp.flags & QV_FLAG_ALPHA) alpha = ResultAlpha(rp, po.flags);
      if (ex.kind == "oriented") {
        Extended px;
        if (page > 1) DecodeNoting(data, po, &px);
        uint32_t orientation = page > 1 ? px.orientation : x.orientation;
        shown.rgb = Orient<3>(shown.rgb, got.width, got.height, orientation, &shown.width, &shown.height);
        if (!alpha.empty()) alpha = Orient<1>(alpha, got.width, got.height, orientation, &shown.width, &shown.height);
      }
      uint32_t ox, oy;
      ReferenceOffset(format, data, &ox, &oy);
      if (!alpha.empty()) {
        // The alpha as the reference has it (match-colour: the peer dropped
        // the alpha, so only the colours are compared), and the colours as
        // its peer keeps them.
        if (ex.kind != "match-colour") {
          uint32_t rw, rh;
          std::vector<uint8_t> rgba;
          ASSERT_TRUE(qvtest::ReadPngRgba(refPath, &rw, &rh, &rgba, &err)) << err;
          ASSERT_EQ(rgba.size(), alpha.size() * 4);
          size_t differ = 0;
          for (size_t i = 0; i < alpha.size(); ++i) differ += rgba[4 * i + 3] != alpha[i];
          EXPECT_EQ(differ, 0u) << "alpha differs";
        }
        // libtiff multiplies unassociated alpha into RGB samples, not into
        // contiguous grey; grey here when the colours are equal everywhere.
        bool grey = true;
        for (size_t i = 0; grey && i < got.rgb.size(); i += 3) grey = got.rgb[i] == got.rgb[i + 1] && got.rgb[i] == got.rgb[i + 2];
        AsPeerKeepsAlpha(&shown.rgb, alpha, (rp.flags & QV_FLAG_PREMULTIPLIED) != 0, !grey, e.reference);
        // The colour of a pixel that both call fully transparent is not
        // seen (peers write such pixels black).
        if (ex.kind != "oriented") HideTransparentColours(rp, po.flags, refPath, &shown, ref);
      }
      EXPECT_EQ(ComparePixels(shown, ref, ox, oy, std::string(format) == "gif", ex.near), "");
      // Top row first must give the same picture.
      qvhost::Options top = po;
      top.flags |= QV_FLAG_TOP_DOWN;
      qvhost::Result rt = qvhost::Decode(data.data(), data.size(), top);
      ASSERT_TRUE(rt.ok()) << "top-down status " << rt.status;
      qvhost::Pixels gotTop;
      ASSERT_TRUE(qvhost::ResultToRgb(rt, top.flags, &gotTop, &err)) << err;
      EXPECT_EQ(gotTop.rgb == got.rgb, true) << "top-down decode differs";
    }
  }
  printf("[ %s%s ] %zu matched, %zu decoded (reference known to differ), %zu partial as expected, %zu refused as "
         "expected, %zu ended cleanly, %zu not detected, %zu not covered, %zu waiting for a reader or library not in this build; "
         "job stack high-water %zu bytes\n",
         format, extended ? " extended" : "", matched, decodedOnly, partial, refused, clean, undetected, uncovered,
         missing, maxStack);
  // Every TIFF and fax sample has its expectation.
  if (strcmp(format, "tiff") == 0 || strcmp(format, "fax") == 0) {
    EXPECT_EQ(uncovered, 0u);
  }
  // Checking nothing is not passing: a format counts once its reader has run
  // on at least one file.
  if (matched + decodedOnly + partial + refused + clean == 0)
    qvtest::NotRun("none of the " + std::to_string(uncovered + missing) + " " + format +
                   " files of the corpus is covered (" +
                   (missing ? "its reader is not built: status -7099" : "no expectation names them") + ")");
}

TEST(Corpus, Bmp) { RunFormat("bmp"); }
TEST(Corpus, Gif) { RunFormat("gif"); }
TEST(Corpus, Pcx) { RunFormat("pcx"); }
TEST(Corpus, Tga) { RunFormat("tga"); }
TEST(Corpus, Tiff) { RunFormat("tiff"); }
TEST(Corpus, Fax) { RunFormat("fax"); }
TEST(Corpus, BmpExtended) { RunFormat("bmp", true); }
TEST(Corpus, GifExtended) { RunFormat("gif", true); }
TEST(Corpus, PcxExtended) { RunFormat("pcx", true); }
TEST(Corpus, TgaExtended) { RunFormat("tga", true); }
TEST(Corpus, TiffExtended) { RunFormat("tiff", true); }
TEST(Corpus, FaxExtended) { RunFormat("fax", true); }

}  // namespace
