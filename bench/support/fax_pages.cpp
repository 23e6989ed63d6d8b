#include "fax_pages.h"

#include <string.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#if QV_HAVE_TIFF
#include <tiffio.h>
#endif

namespace faxpages {
namespace {

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 16);
  }
  uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
  int Range(int lo, int hi) { return lo + static_cast<int>(Below(static_cast<uint32_t>(hi - lo + 1))); }
};

void SetRun(Page &p, int y, int x0, int x1) {
  if (y < 0 || y >= static_cast<int>(p.height)) return;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, static_cast<int>(p.width));
  uint8_t *row = p.Row(static_cast<uint32_t>(y));
  for (int x = x0; x < x1; ++x) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
}

void Box(Page &p, int x, int y, int w, int h) {
  for (int i = 0; i < h; ++i) SetRun(p, y + i, x, x + w);
}

// A thick line from (x0, y0) to (x1, y1).
void Line(Page &p, int x0, int y0, int x1, int y1, int thick) {
  int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
  int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1, err = dx + dy;
  for (;;) {
    Box(p, x0, y0, thick, thick);
    if (x0 == x1 && y0 == y1) break;
    int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x0 += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y0 += sy;
    }
  }
}

// One glyph in a cell of w x h pixels at (x, y): a few strokes.
void Glyph(Page &p, Rng &rng, int x, int y, int w, int h) {
  int stem = rng.Range(2, 3);
  int kind = rng.Range(0, 6);
  int mid = y + h / 2;
  switch (kind) {
    case 0:  // l, i, t
      Box(p, x + w / 2 - 1, y, stem, h);
      break;
    case 1:  // n, h, u
      Box(p, x, y + (rng.Below(2) ? 0 : h / 3), stem, h - (h / 3));
      Box(p, x + w - stem, mid - h / 6, stem, h - h / 2 + h / 6);
      Box(p, x, mid - h / 6, w, 2);
      break;
    case 2:  // o, e, c: a bowl
      for (int i = 0; i < h / 2; ++i) {
        int yy = mid - h / 4 + i;
        int inset = std::abs(i - h / 4) / 2;
        SetRun(p, yy, x + inset, x + inset + stem);
        SetRun(p, yy, x + w - inset - stem, x + w - inset);
      }
      Box(p, x + 2, mid - h / 4, w - 4, 2);
      Box(p, x + 2, mid + h / 4 - 2, w - 4, 2);
      break;
    case 3:  // v, w, x: diagonals
      Line(p, x, mid - h / 4, x + w / 2, y + h - 2, stem - 1);
      Line(p, x + w / 2, y + h - 2, x + w - 2, mid - h / 4, stem - 1);
      break;
    case 4:  // E, F: bars
      Box(p, x, y, stem, h);
      Box(p, x, y, w, 2);
      Box(p, x, mid, w - 2, 2);
      if (rng.Below(2)) Box(p, x, y + h - 2, w, 2);
      break;
    case 5:  // a dot or comma
      Box(p, x + w / 2, y + h - 4, 3, 3 + static_cast<int>(rng.Below(3)));
      break;
    default:  // k, z: a mix
      Box(p, x, y, stem, h);
      Line(p, x + stem, mid, x + w - 2, y + h / 3, 1);
      Line(p, x + stem, mid, x + w - 2, y + h - 2, 1);
      break;
  }
}

}  // namespace

Page BlankPage(uint32_t width, uint32_t height) {
  Page p;
  p.width = width;
  p.height = height;
  p.rowBytes = (width + 7) / 8;
  p.bits.assign(p.rowBytes * height, 0);
  return p;
}

Page TextPage(uint32_t width, uint32_t height, uint64_t seed) {
  Page p = BlankPage(width, height);
  Rng rng(seed);
  int w = static_cast<int>(width), h = static_cast<int>(height);
  int margin = std::max(1, w / 16);
  int y = std::max(2, h / 30);
  while (y + 30 < h) {
    int size = rng.Range(16, 24);  // glyph height
    if (rng.Below(12) == 0) {
      // A rule or a table border.
      Box(p, margin, y, w - 2 * margin, rng.Range(1, 3));
      if (rng.Below(2)) {
        for (int x = margin; x < w - margin; x += rng.Range(80, 300)) Box(p, x, y, 2, 3 * size);
        Box(p, margin, y + 3 * size, w - 2 * margin, 2);
      }
      y += 3 * size + 8;
      continue;
    }
    int lineEnd = w - margin - (rng.Below(5) == 0 ? static_cast<int>(rng.Below(static_cast<uint32_t>(w / 2 + 1))) : 0);
    int x = margin + (rng.Below(6) == 0 ? 40 : 0);
    while (x + size < lineEnd) {
      int word = rng.Range(1, 9);
      for (int i = 0; i < word && x + size < lineEnd; ++i) {
        int gw = size * rng.Range(5, 9) / 10;
        Glyph(p, rng, x, y, gw, size);
        x += gw + rng.Range(2, 4);
      }
      x += size / 2 + rng.Range(0, 4);
    }
    y += size + rng.Range(8, 14);
    if (rng.Below(7) == 0) y += 2 * size;  // a paragraph break
  }
  return p;
}

Page LineArtPage(uint32_t width, uint32_t height, uint64_t seed) {
  Page p = BlankPage(width, height);
  Rng rng(seed);
  int w = static_cast<int>(width), h = static_cast<int>(height);
  int shapes = 4 + static_cast<int>((static_cast<uint64_t>(width) * height) / 20000);
  for (int i = 0; i < shapes; ++i) {
    int x = static_cast<int>(rng.Below(width)), y = static_cast<int>(rng.Below(height));
    switch (rng.Below(5)) {
      case 0:
        Line(p, x, y, static_cast<int>(rng.Below(width)), static_cast<int>(rng.Below(height)),
             rng.Range(1, 4));
        break;
      case 1: {  // an outlined box
        int bw = rng.Range(1, w), bh = rng.Range(1, std::max(1, h / 4));
        Box(p, x, y, bw, 1);
        Box(p, x, y + bh, bw, 1);
        Box(p, x, y, 1, bh);
        Box(p, x + bw, y, 1, bh + 1);
        break;
      }
      case 2:  // a filled area, as wide as the page at times
        Box(p, rng.Below(3) ? x : 0, y, rng.Below(3) ? rng.Range(1, w) : w, rng.Range(1, 40));
        break;
      case 3: {  // a disc
        int r = rng.Range(1, 60);
        for (int dy = -r; dy <= r; ++dy) {
          int dx = static_cast<int>(std::sqrt(static_cast<double>(r * r - dy * dy)));
          SetRun(p, y + dy, x - dx, x + dx + 1);
        }
        break;
      }
      default:  // dashes
        for (int k = 0; k < 40; ++k) SetRun(p, y, x + 4 * k, x + 4 * k + rng.Range(1, 3));
        break;
    }
  }
  for (uint32_t y = 0; y < height; y += 1 + rng.Below(60)) {
    uint8_t *row = p.Row(y);
    for (size_t i = 0; i < p.rowBytes; ++i) row[i] ^= static_cast<uint8_t>(rng.Next());
  }
  if (width & 7)
    for (uint32_t y = 0; y < height; ++y) p.Row(y)[p.rowBytes - 1] &= static_cast<uint8_t>(0xFF00 >> (width & 7));
  return p;
}

std::vector<uint8_t> ToPbm(const Page &page) {
  std::string head = "P4\n" + std::to_string(page.width) + " " + std::to_string(page.height) + "\n";
  std::vector<uint8_t> out(head.begin(), head.end());
  out.insert(out.end(), page.bits.begin(), page.bits.end());
  return out;
}

#if QV_HAVE_TIFF
namespace {

// A TIFF in memory for libtiff's client interface.
struct MemFile {
  std::vector<uint8_t> data;
  uint64_t pos = 0;
};

tmsize_t MemRead(thandle_t h, void *buf, tmsize_t n) {
  MemFile *f = static_cast<MemFile *>(h);
  if (f->pos >= f->data.size()) return 0;
  size_t c = std::min<size_t>(static_cast<size_t>(n), f->data.size() - f->pos);
  memcpy(buf, f->data.data() + f->pos, c);
  f->pos += c;
  return static_cast<tmsize_t>(c);
}
tmsize_t MemWrite(thandle_t h, void *buf, tmsize_t n) {
  MemFile *f = static_cast<MemFile *>(h);
  if (f->pos + n > f->data.size()) f->data.resize(f->pos + n);
  memcpy(f->data.data() + f->pos, buf, static_cast<size_t>(n));
  f->pos += n;
  return n;
}
toff_t MemSeek(thandle_t h, toff_t off, int whence) {
  MemFile *f = static_cast<MemFile *>(h);
  uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : f->data.size();
  f->pos = base + off;
  return f->pos;
}
int MemClose(thandle_t) { return 0; }
toff_t MemSize(thandle_t h) { return static_cast<MemFile *>(h)->data.size(); }
int NoMap(thandle_t, void **, toff_t *) { return 0; }
void NoUnmap(thandle_t, void *, toff_t) {}

TIFF *OpenMem(MemFile *f, const char *mode) {
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  return TIFFClientOpen("memory", mode, f, MemRead, MemWrite, MemSeek, MemClose, MemSize, NoMap,
                        NoUnmap);
}

}  // namespace

std::vector<uint8_t> EncodeTiff(const Page &page, const TiffOptions &o) {
  MemFile f;
  TIFF *t = OpenMem(&f, "w");
  if (!t) return {};
  uint32_t rps = o.rowsPerStrip ? o.rowsPerStrip : std::max<uint32_t>(page.height, 1);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, page.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, page.height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(t, TIFFTAG_COMPRESSION, o.compression);
  TIFFSetField(t, TIFFTAG_FILLORDER, o.fillOrder);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rps);
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  if (o.compression == COMPRESSION_CCITTFAX3) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, o.group3Options);
  bool ok = true;
  for (uint32_t y = 0, s = 0; y < page.height; y += rps, ++s) {
    uint32_t rows = std::min(rps, page.height - y);
    ok = ok && TIFFWriteEncodedStrip(t, s, const_cast<uint8_t *>(page.Row(y)),
                                     static_cast<tmsize_t>(rows * page.rowBytes)) >= 0;
  }
  TIFFClose(t);
  if (!ok) return {};
  return f.data;
}

bool ReadFaxTiff(const std::vector<uint8_t> &file, int dir, TiffFax *out) {
  MemFile f;
  f.data = file;
  TIFF *t = OpenMem(&f, "r");
  if (!t) return false;
  bool ok = TIFFSetDirectory(t, static_cast<tdir_t>(dir)) != 0;
  uint16_t bps = 1;
  if (ok) {
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    ok = TIFFGetField(t, TIFFTAG_COMPRESSION, &out->compression) && out->compression >= 2 &&
         out->compression <= 4 && bps == 1 && !TIFFIsTiled(t) &&
         TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &out->width) &&
         TIFFGetField(t, TIFFTAG_IMAGELENGTH, &out->height);
  }
  if (ok) {
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &out->rowsPerStrip);
    TIFFGetFieldDefaulted(t, TIFFTAG_FILLORDER, &out->fillOrder);
    if (out->compression == 3) TIFFGetFieldDefaulted(t, TIFFTAG_GROUP3OPTIONS, &out->group3Options);
    uint64_t *offs = nullptr, *counts = nullptr;
    uint32_t strips = TIFFNumberOfStrips(t);
    ok = TIFFGetField(t, TIFFTAG_STRIPOFFSETS, &offs) && TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &counts);
    for (uint32_t s = 0; ok && s < strips; ++s) {
      out->offsets.push_back(static_cast<uint32_t>(offs[s]));
      out->counts.push_back(static_cast<uint32_t>(counts[s]));
    }
  }
  if (ok) {
    size_t rowBytes = (out->width + 7) / 8;
    out->rows.assign(rowBytes * out->height, 0);
    out->decoded = true;
    uint32_t rps = std::min(out->rowsPerStrip, out->height);
    for (uint32_t s = 0; rps && s < out->offsets.size() && s * static_cast<uint64_t>(rps) < out->height; ++s) {
      uint32_t rows = std::min(rps, out->height - s * rps);
      tmsize_t want = static_cast<tmsize_t>(rows * rowBytes);
      if (TIFFReadEncodedStrip(t, s, out->rows.data() + s * rps * rowBytes, want) != want)
        out->decoded = false;
    }
  }
  TIFFClose(t);
  return ok;
}

struct TiffStripDecoder::Impl {
  MemFile file;
  TIFF *tiff = nullptr;
};

TiffStripDecoder::TiffStripDecoder(const std::vector<uint8_t> &file) : impl_(new Impl) {
  impl_->file.data = file;
  impl_->tiff = OpenMem(&impl_->file, "r");
}

TiffStripDecoder::~TiffStripDecoder() {
  if (impl_->tiff) TIFFClose(impl_->tiff);
  delete impl_;
}

size_t TiffStripDecoder::DecodeAll(std::vector<uint8_t> &into) {
  TIFF *t = impl_->tiff;
  if (!t) return 0;
  tmsize_t stripSize = TIFFStripSize(t);
  uint32_t strips = TIFFNumberOfStrips(t);
  into.resize(static_cast<size_t>(stripSize) * strips);
  size_t total = 0;
  for (uint32_t s = 0; s < strips; ++s) {
    tmsize_t got = TIFFReadEncodedStrip(t, s, into.data() + total, stripSize);
    if (got < 0) return 0;
    total += static_cast<size_t>(got);
  }
  return total;
}
#endif

}  // namespace faxpages
