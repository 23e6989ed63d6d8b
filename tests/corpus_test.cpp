// Differential test over the shared corpus: every file decodes to the pixels
// of its reference PNG (colour table applied), the same through tiny queues
// and random chunking, or fails with the status its expectation names.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include <algorithm>

#include "engine/engine.h"
#include "test_support.h"

namespace {

struct Expectation {
  std::string kind;  // match, rotated-180, rotated-90, refuse, clean
  int32_t status = 0;
  std::string type;  // image type override ("" = detect)
  int faxFillOrder = 0;  // raw fax: the FaxFillOrder option byte
};

struct Entry {
  std::string path, format, reference;
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
// be smaller than the picture even at offset 0,0.
std::string ComparePixels(const qvhost::Pixels &got, const qvhost::Pixels &ref, uint32_t ox,
                          uint32_t oy, bool placed) {
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
      if (memcmp(a, b, 3) != 0) {
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

// The alpha of a 32-bit bitmap with QV_FLAG_ALPHA (fourth byte of each
// pixel) against the reference PNG's alpha.
std::string CompareAlpha(const qvhost::Result &r, uint32_t optionFlags, const std::string &refPath) {
  uint32_t w, h;
  std::vector<uint8_t> rgba;
  std::string err;
  if (!qvtest::ReadPngRgba(refPath, &w, &h, &rgba, &err)) return err;
  const BitmapInfoHeader &hd = r.header;
  uint32_t rows = static_cast<uint32_t>(hd.biHeight < 0 ? -hd.biHeight : hd.biHeight);
  if (hd.biBitCount != 32 || static_cast<uint32_t>(hd.biWidth) != w || rows != h) return "alpha: size or depth";
  size_t stride = size_t{w} * 4;
  if (r.output.size() < stride * h) return "alpha: output short";
  const uint8_t *base = r.output.data() + (r.output.size() - stride * h);
  bool top = qvhost::RowsTopFirst(hd, optionFlags);
  size_t bad = 0;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      if (base[stride * (top ? y : h - 1 - y) + 4 * x + 3] != rgba[(size_t{y} * w + x) * 4 + 3]) ++bad;
  return bad ? std::to_string(bad) + " alpha values differ" : "";
}

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

// Every file of a format, decoded as the classic readers do or (extended)
// with QV_FLAG_EXTENDED.
void RunFormat(const char *format, bool extended = false) {
  std::string dir = qvtest::CorpusDir();
  if (dir.empty()) return qvtest::NotRun("the shared corpus is absent");
  std::map<std::string, Expectation> expect = LoadExpectations(format, extended);
  size_t matched = 0, decoded = 0, partial = 0, refused = 0, clean = 0, undetected = 0, uncovered = 0, missing = 0, maxStack = 0;
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
    if (extended) o.flags |= QV_FLAG_EXTENDED;
    o.faxFillOrder = static_cast<uint8_t>(ex.faxFillOrder);
    if (!ex.type.empty()) {
      ASSERT_TRUE(qvhost::ParseTypeName(ex.type, &o.imageType));
    } else if (!qvhost::DetectImageType(data.data(), data.size(), &o.imageType)) {
      EXPECT_EQ(ex.kind, "clean") << "format not detected";
      ++undetected;
      continue;
    }
    o.outputLimit = size_t{256} << 20;
    o.measureStack = true;
    qvhost::Result r = qvhost::Decode(data.data(), data.size(), o);
    // The deepest path of every reader stays far inside the job stack.
    EXPECT_LT(r.stackUsed, kJobStackSize / 2);
    maxStack = std::max(maxStack, r.stackUsed);
    o.measureStack = false;
    ASSERT_TRUE(r.response == ResponseDone || r.response == ResponseError);
    if (r.status == QV_ERR_READER_MISSING) {
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
    if (ex.kind == "decodes") {
      // Decodes whole, but the reference peer disagrees (its scaling of
      // narrow fields, or a wrong reference): the note beside the row says why.
      ++decoded;
      EXPECT_TRUE(r.ok()) << "status " << r.status << ": " << qvhost::StatusText(r.status);
      EXPECT_FALSE(r.flags & QV_FLAG_PARTIAL);
      continue;
    }
    if (ex.kind == "partial") {
      // Decoded as far as the file goes, the rest filled (the rows before
      // the damage are checked by the truncation tests of each reader).
      ++partial;
      EXPECT_TRUE(r.ok()) << "status " << r.status << ": " << qvhost::StatusText(r.status);
      EXPECT_TRUE(r.flags & QV_FLAG_PARTIAL);
      continue;
    }
    ASSERT_TRUE(ex.kind == "match" || ex.kind == "match-colour" || ex.kind == "rotated-180" ||
                ex.kind == "rotated-90")
        << ex.kind;
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
        b.chunkSeed = 17;
        b.eventLimit = 0;
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
      uint32_t ox, oy;
      ReferenceOffset(format, data, &ox, &oy);
      // With alpha, the colour of a pixel that both call fully transparent
      // is not seen (peers write such pixels black); match-colour: the peer
      // dropped the alpha, so only the colours are compared.
      qvhost::Pixels shown = got;
      if (rp.flags & QV_FLAG_ALPHA) HideTransparentColours(rp, po.flags, refPath, &shown, ref);
      EXPECT_EQ(ComparePixels(shown, ref, ox, oy, std::string(format) == "gif"), "");
      if ((rp.flags & QV_FLAG_ALPHA) && ex.kind != "match-colour") {
        EXPECT_EQ(CompareAlpha(rp, po.flags, refPath), "");
      }
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
  printf("[ %s%s ] %zu matched, %zu decoded (peer differs), %zu partial, %zu refused as expected, %zu ended cleanly, %zu not detected, %zu not covered, "
         "%zu waiting for a reader not in this build; job stack high-water %zu bytes\n",
         format, extended ? " extended" : "", matched, decoded, partial, refused, clean, undetected, uncovered, missing, maxStack);
  // Every TIFF and fax sample has its expectation.
  if (strcmp(format, "tiff") == 0 || strcmp(format, "fax") == 0) {
    EXPECT_EQ(uncovered, 0u);
  }
  // Checking nothing is not passing: a format counts once its reader has run
  // on at least one file.
  if (matched + decoded + partial + refused + clean == 0)
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
