// Builds TIFF files for the tests and benchmarks: any byte order, strips
// uncompressed, PackBits or LZW (with horizontal differencing), the
// directories before or after the image data, and any extra tags.
#pragma once
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "gif_encoder.h"

namespace tiffbuild {

// Field types.
enum : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kUndefined = 7 };

struct Tag {
  uint16_t tag, type;
  std::vector<uint32_t> values;  // one element per value (two per RATIONAL)
  uint32_t count = 0;            // 0: derived from values
};

struct Page {
  uint32_t width = 0, height = 0;
  uint16_t samples = 1, bits = 8, photometric = 1, compression = 1, predictor = 1;
  uint32_t rowsPerStrip = 0;       // 0: one strip
  std::vector<uint8_t> pixels;     // rows of (width x samples x bits + 7) / 8 bytes, file order
  std::vector<uint16_t> colorMap;  // 3 x 2^bits values when set
  std::vector<Tag> tags;           // more tags (or replacements, by number)
  bool omitByteCounts = false;
  std::vector<std::vector<uint8_t>> strips;  // when set: the strips' bytes as they are
};

inline uint32_t RowBytes(const Page &p) { return (p.width * p.samples * p.bits + 7) / 8; }

// PackBits: replicate runs for 3 or more equal bytes, literal runs otherwise.
inline std::vector<uint8_t> PackBits(const uint8_t *d, size_t n) {
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 128 && d[i + run] == d[i]) ++run;
    if (run >= 3) {
      out.push_back(static_cast<uint8_t>(1 - static_cast<int>(run)));
      out.push_back(d[i]);
      i += run;
      continue;
    }
    size_t start = i, len = 0;
    while (i < n && len < 128) {
      if (i + 2 < n && d[i] == d[i + 1] && d[i] == d[i + 2]) break;
      ++i;
      ++len;
    }
    out.push_back(static_cast<uint8_t>(len - 1));
    out.insert(out.end(), d + start, d + start + len);
  }
  return out;
}

// One strip's bytes for rows [first, first + count) of the page.
inline std::vector<uint8_t> EncodeStrip(const Page &p, uint32_t first, uint32_t count) {
  uint32_t rb = RowBytes(p);
  std::vector<uint8_t> raw(p.pixels.begin() + size_t{first} * rb,
                           p.pixels.begin() + size_t{first + count} * rb);
  if (p.predictor == 2) {
    uint32_t step = p.samples * p.bits / 8;
    for (uint32_t r = 0; r < count; ++r)
      for (uint32_t i = rb; i-- > step;) raw[size_t{r} * rb + i] -= raw[size_t{r} * rb + i - step];
  }
  if (p.compression == 32773) {
    std::vector<uint8_t> out;
    for (uint32_t r = 0; r < count; ++r) {
      std::vector<uint8_t> row = PackBits(raw.data() + size_t{r} * rb, rb);
      out.insert(out.end(), row.begin(), row.end());
    }
    return out;
  }
  if (p.compression == 5) {
    gifenc::LzwOptions o;
    o.initialWidth = 9;
    o.earlyChange = true;
    o.msbFirst = true;
    return gifenc::LzwEncode(raw.data(), raw.size(), o);
  }
  return raw;
}

class Writer {
 public:
  explicit Writer(bool bigEndian) : big_(bigEndian) {}

  void Put(std::vector<uint8_t> &out, uint32_t v, uint32_t size) const {
    for (uint32_t i = 0; i < size; ++i)
      out.push_back(static_cast<uint8_t>(v >> (8 * (big_ ? size - 1 - i : i))));
  }
  static uint32_t TypeSize(uint16_t t) {
    static const uint8_t k[11] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8};
    return t < 11 ? k[t] : 1;
  }
  // The values of a tag as they stand in the file.
  std::vector<uint8_t> Values(const Tag &t) const {
    std::vector<uint8_t> v;
    uint32_t size = TypeSize(t.type), element = size == 8 ? 4 : size;
    for (uint32_t x : t.values) Put(v, x, element);
    return v;
  }

  // The file: header, then every page's strips and directory, in that
  // order, or directories first.
  std::vector<uint8_t> Build(const std::vector<Page> &pages, bool directoriesFirst = false) const {
    std::vector<std::vector<Tag>> dirs;
    std::vector<std::vector<std::vector<uint8_t>>> strips;
    for (const Page &p : pages) {
      uint32_t rps = p.rowsPerStrip ? p.rowsPerStrip : p.height;
      std::vector<std::vector<uint8_t>> s = p.strips;
      if (s.empty())
        for (uint32_t r = 0; r < p.height; r += rps) s.push_back(EncodeStrip(p, r, std::min(rps, p.height - r)));
      strips.push_back(s);
      std::vector<Tag> t = {{256, kLong, {p.width}}, {257, kLong, {p.height}},
                            {258, kShort, std::vector<uint32_t>(p.samples, p.bits)},
                            {259, kShort, {p.compression}}, {262, kShort, {p.photometric}},
                            {273, kLong, std::vector<uint32_t>(s.size(), 0)},
                            {277, kShort, {p.samples}}, {278, kLong, {rps}}};
      if (!p.omitByteCounts) {
        Tag counts{279, kLong, {}};
        for (auto &x : s) counts.values.push_back(static_cast<uint32_t>(x.size()));
        t.push_back(counts);
      }
      if (p.predictor != 1) t.push_back({317, kShort, {p.predictor}});
      if (!p.colorMap.empty()) t.push_back({320, kShort, {p.colorMap.begin(), p.colorMap.end()}});
      for (const Tag &extra : p.tags) {
        bool replaced = false;
        for (Tag &old : t)
          if (old.tag == extra.tag) old = extra, replaced = true;
        if (!replaced) t.push_back(extra);
      }
      std::sort(t.begin(), t.end(), [](const Tag &a, const Tag &b) { return a.tag < b.tag; });
      dirs.push_back(t);
    }
    // Sizes first, then positions.
    auto dirSize = [&](const std::vector<Tag> &t) {
      size_t n = 2 + 12 * t.size() + 4;
      for (const Tag &x : t) {
        size_t bytes = Values(x).size();
        if (bytes > 4) n += bytes + (bytes & 1);
      }
      return n;
    };
    std::vector<size_t> dirAt(pages.size()), dataAt(pages.size());
    size_t at = 8;
    auto placeDirs = [&] {
      for (size_t i = 0; i < pages.size(); ++i) at += (dirAt[i] = at, dirSize(dirs[i]));
    };
    auto placeData = [&] {
      for (size_t i = 0; i < pages.size(); ++i) {
        dataAt[i] = at;
        for (auto &s : strips[i]) at += s.size();
      }
    };
    if (directoriesFirst) placeDirs(), placeData();
    else placeData(), at += at & 1, placeDirs();

    std::vector<uint8_t> f;
    f.push_back(big_ ? 'M' : 'I');
    f.push_back(big_ ? 'M' : 'I');
    Put(f, 42, 2);
    Put(f, static_cast<uint32_t>(dirAt[0]), 4);
    auto writeData = [&](size_t i) {
      f.resize(dataAt[i]);
      for (auto &s : strips[i]) f.insert(f.end(), s.begin(), s.end());
    };
    auto writeDir = [&](size_t i) {
      f.resize(dirAt[i]);
      std::vector<Tag> t = dirs[i];
      for (Tag &x : t)
        if (x.tag == 273 && x.type == kLong && x.values.size() == strips[i].size()) {
          size_t pos = dataAt[i];
          for (size_t k = 0; k < strips[i].size(); ++k) x.values[k] = static_cast<uint32_t>(pos), pos += strips[i][k].size();
        }
      Put(f, static_cast<uint32_t>(t.size()), 2);
      size_t extraAt = dirAt[i] + 2 + 12 * t.size() + 4;
      std::vector<uint8_t> extra;
      for (const Tag &x : t) {
        std::vector<uint8_t> v = Values(x);
        uint32_t count = x.count ? x.count : static_cast<uint32_t>(TypeSize(x.type) == 8 ? x.values.size() / 2 : x.values.size());
        Put(f, x.tag, 2);
        Put(f, x.type, 2);
        Put(f, count, 4);
        if (v.size() <= 4) {
          v.resize(4);
          f.insert(f.end(), v.begin(), v.end());
        } else {
          Put(f, static_cast<uint32_t>(extraAt + extra.size()), 4);
          extra.insert(extra.end(), v.begin(), v.end());
          if (extra.size() & 1) extra.push_back(0);
        }
      }
      Put(f, i + 1 < pages.size() ? static_cast<uint32_t>(dirAt[i + 1]) : 0, 4);
      f.insert(f.end(), extra.begin(), extra.end());
    };
    for (size_t i = 0; i < pages.size(); ++i) {
      if (directoriesFirst) writeDir(i);
    }
    for (size_t i = 0; i < pages.size(); ++i) writeData(i);
    if (!directoriesFirst)
      for (size_t i = 0; i < pages.size(); ++i) writeDir(i);
    return f;
  }

 private:
  bool big_;
};

}  // namespace tiffbuild
