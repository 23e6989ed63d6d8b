// samplegen: writes the project's own sample images.
//   samplegen [DIR]                 DIR/sample.bmp (default DIR: examples)
//   samplegen --set DIR             one small file per layout the readers know,
//                                   for the tool and example tests
//   samplegen --big-bmp W H FILE    an 8-bit W x H BMP, written row by row
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "bytes.h"

namespace {

using qvhost::Put16;
using qvhost::Put32;
using Bytes = std::vector<uint8_t>;

struct Rgb {
  uint8_t r, g, b;
};

// A picture as palette indices (or RGB when no palette), top row first.
struct Picture {
  int w = 0, h = 0;
  std::vector<Rgb> palette;
  std::vector<uint8_t> index;  // w * h, when palette is not empty
  std::vector<Rgb> rgb;        // w * h, when it is
  uint8_t at(int x, int y) const { return index[static_cast<size_t>(y) * w + x]; }
  Rgb colour(int x, int y) const {
    return palette.empty() ? rgb[static_cast<size_t>(y) * w + x] : palette[at(x, y)];
  }
};

// A colour gradient with a dark ring.
Picture Gradient(int w, int h) {
  Picture p;
  p.w = w, p.h = h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int dx = x - w / 2, dy = y - h / 2, d2 = dx * dx + dy * dy, r = h / 3;
      bool ring = d2 > (r - 3) * (r - 3) && d2 < r * r;
      p.rgb.push_back(ring ? Rgb{30, 30, 30}
                           : Rgb{static_cast<uint8_t>(255 * x / (w - 1)),
                                 static_cast<uint8_t>(255 * (x + y) / (w + h - 2)),
                                 static_cast<uint8_t>(255 * y / (h - 1))});
    }
  return p;
}

// Indexed: diagonal bands over `colours` entries of a varied palette.
Picture Bands(int w, int h, int colours, bool grey) {
  Picture p;
  p.w = w, p.h = h;
  for (int i = 0; i < colours; ++i) {
    uint8_t v = static_cast<uint8_t>(colours > 1 ? i * 255 / (colours - 1) : 0);
    p.palette.push_back(grey ? Rgb{v, v, v}
                             : Rgb{v, static_cast<uint8_t>(i * 53 + 17), static_cast<uint8_t>(255 - i * 29)});
  }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p.index.push_back(static_cast<uint8_t>(((x + 2 * y) / 3 + (x * y) % 5) % colours));
  return p;
}

bool Write(const std::string &path, const Bytes &v) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(v.data(), 1, v.size(), f) != v.size() || fclose(f) != 0) {
    fprintf(stderr, "samplegen: cannot write %s\n", path.c_str());
    return false;
  }
  printf("%s\n", path.c_str());
  return true;
}

// ---- BMP

void BmpHeaders(Bytes &v, int w, int h, int bits, uint32_t compression, uint32_t tableEntries,
                uint32_t dataSize) {
  uint32_t offset = 14 + 40 + 4 * tableEntries;
  v = {'B', 'M'};
  Put32(v, offset + dataSize), Put32(v, 0), Put32(v, offset);
  Put32(v, 40), Put32(v, static_cast<uint32_t>(w)), Put32(v, static_cast<uint32_t>(h));
  Put16(v, 1), Put16(v, static_cast<uint32_t>(bits)), Put32(v, compression), Put32(v, dataSize);
  Put32(v, 2835), Put32(v, 2835), Put32(v, 0), Put32(v, 0);
}

// Plain rows, bottom row first (top first when topDown).
Bytes Bmp(const Picture &p, int bits, bool topDown = false) {
  int stride = (p.w * bits + 31) / 32 * 4;
  Bytes v;
  uint32_t entries = bits <= 8 ? 1u << bits : 0;
  BmpHeaders(v, p.w, topDown ? -p.h : p.h, bits, 0, entries, static_cast<uint32_t>(stride * p.h));
  for (uint32_t i = 0; i < entries; ++i) {
    Rgb c = i < p.palette.size() ? p.palette[i] : Rgb{0, 0, 0};
    v.insert(v.end(), {c.b, c.g, c.r, 0});
  }
  for (int k = 0; k < p.h; ++k) {
    int y = topDown ? k : p.h - 1 - k;
    Bytes row(static_cast<size_t>(stride), 0);
    for (int x = 0; x < p.w; ++x) {
      if (bits == 24) {
        Rgb c = p.colour(x, y);
        row[x * 3] = c.b, row[x * 3 + 1] = c.g, row[x * 3 + 2] = c.r;
      } else {
        int bit = x * bits;
        row[bit / 8] |= static_cast<uint8_t>(p.at(x, y) << (8 - bits - bit % 8));
      }
    }
    v.insert(v.end(), row.begin(), row.end());
  }
  return v;
}

// RLE8: runs where pixels repeat, literal runs elsewhere, end-of-line codes.
Bytes BmpRle8(const Picture &p) {
  Bytes data;
  for (int y = p.h - 1; y >= 0; --y) {
    int x = 0;
    while (x < p.w) {
      int run = 1;
      while (x + run < p.w && run < 255 && p.at(x + run, y) == p.at(x, y)) ++run;
      if (run >= 2 || p.w - x < 3) {
        data.push_back(static_cast<uint8_t>(run)), data.push_back(p.at(x, y));
        x += run;
        continue;
      }
      int lit = 3;
      while (x + lit < p.w && lit < 255 && p.at(x + lit, y) != p.at(x + lit - 1, y)) ++lit;
      data.push_back(0), data.push_back(static_cast<uint8_t>(lit));
      for (int i = 0; i < lit; ++i) data.push_back(p.at(x + i, y));
      if (lit & 1) data.push_back(0);
      x += lit;
    }
    data.push_back(0), data.push_back(y == 0 ? 1 : 0);
  }
  Bytes v;
  BmpHeaders(v, p.w, p.h, 8, 1, 256, static_cast<uint32_t>(data.size()));
  for (int i = 0; i < 256; ++i) {
    Rgb c = i < static_cast<int>(p.palette.size()) ? p.palette[i] : Rgb{0, 0, 0};
    v.insert(v.end(), {c.b, c.g, c.r, 0});
  }
  v.insert(v.end(), data.begin(), data.end());
  return v;
}

// OS/2: 12-byte header, 3-byte table entries.
Bytes BmpOs2(const Picture &p) {
  int stride = (p.w + 3) & ~3;
  Bytes v = {'B', 'M'};
  Put32(v, 14 + 12 + 768 + stride * p.h), Put32(v, 0), Put32(v, 14 + 12 + 768);
  Put32(v, 12), Put16(v, p.w), Put16(v, p.h), Put16(v, 1), Put16(v, 8);
  for (int i = 0; i < 256; ++i) {
    Rgb c = i < static_cast<int>(p.palette.size()) ? p.palette[i] : Rgb{0, 0, 0};
    v.insert(v.end(), {c.b, c.g, c.r});
  }
  for (int y = p.h - 1; y >= 0; --y)
    for (int x = 0; x < stride; ++x) v.push_back(x < p.w ? p.at(x, y) : 0);
  return v;
}

// ---- GIF: LZW with literal codes only, a clear code every 250 codes so the
// code width stays at 9 bits.

Bytes Gif(const Picture &p, bool interlaced, int transparent, bool localTable) {
  Bytes v = {'G', 'I', 'F', '8', '9', 'a'};
  Put16(v, p.w), Put16(v, p.h);
  int k = 0;
  while ((2 << k) < static_cast<int>(p.palette.size())) ++k;
  Bytes table;
  for (int i = 0; i < (2 << k); ++i) {
    Rgb c = i < static_cast<int>(p.palette.size()) ? p.palette[i] : Rgb{0, 0, 0};
    table.insert(table.end(), {c.r, c.g, c.b});
  }
  v.push_back(localTable ? 0 : static_cast<uint8_t>(0x80 | k)), v.push_back(0), v.push_back(0);
  if (!localTable) v.insert(v.end(), table.begin(), table.end());
  if (transparent >= 0) v.insert(v.end(), {0x21, 0xF9, 4, 1, 0, 0, static_cast<uint8_t>(transparent), 0});
  v.insert(v.end(), {0x21, 0xFE, 7, 's', 'a', 'm', 'p', 'l', 'e', '!', 0});
  v.push_back(0x2C), Put16(v, 0), Put16(v, 0), Put16(v, p.w), Put16(v, p.h);
  v.push_back(static_cast<uint8_t>((localTable ? 0x80 | k : 0) | (interlaced ? 0x40 : 0)));
  if (localTable) v.insert(v.end(), table.begin(), table.end());
  v.push_back(8);
  std::vector<int> order;
  if (interlaced) {
    const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
      for (int y = start[pass]; y < p.h; y += step[pass]) order.push_back(y);
  } else {
    for (int y = 0; y < p.h; ++y) order.push_back(y);
  }
  Bytes codes;
  uint32_t acc = 0;
  int bits = 0, count = 0;
  auto put = [&](int code) {
    acc |= static_cast<uint32_t>(code) << bits;
    for (bits += 9; bits >= 8; bits -= 8, acc >>= 8) codes.push_back(static_cast<uint8_t>(acc));
  };
  put(256);
  for (int y : order)
    for (int x = 0; x < p.w; ++x) {
      if (++count == 250) put(256), count = 1;
      put(p.at(x, y));
    }
  put(257);
  if (bits) codes.push_back(static_cast<uint8_t>(acc));
  for (size_t i = 0; i < codes.size(); i += 255) {
    size_t n = std::min<size_t>(255, codes.size() - i);
    v.push_back(static_cast<uint8_t>(n));
    v.insert(v.end(), codes.begin() + i, codes.begin() + i + n);
  }
  v.push_back(0), v.push_back(0x3B);
  return v;
}

// ---- PCX: run-length lines; 8 bits x 1 plane with its table at the end, or
// 8 bits x 3 planes.

Bytes Pcx(const Picture &p, int planes) {
  int line = (p.w + 1) & ~1;
  Bytes v = {10, 5, 1, 8};
  Put16(v, 0), Put16(v, 0), Put16(v, p.w - 1), Put16(v, p.h - 1), Put16(v, 72), Put16(v, 72);
  v.resize(v.size() + 48, 0);
  v.push_back(0), v.push_back(static_cast<uint8_t>(planes)), Put16(v, line), Put16(v, 1);
  v.resize(128, 0);
  for (int y = 0; y < p.h; ++y)
    for (int plane = 0; plane < planes; ++plane) {
      Bytes row;
      for (int x = 0; x < line; ++x) {
        Rgb c = x < p.w ? p.colour(x, y) : Rgb{0, 0, 0};
        row.push_back(planes == 1 ? (x < p.w ? p.at(x, y) : 0) : plane == 0 ? c.r : plane == 1 ? c.g : c.b);
      }
      for (size_t i = 0, n; i < row.size(); i += n) {
        for (n = 1; i + n < row.size() && n < 63 && row[i + n] == row[i];) ++n;
        if (n > 1 || row[i] >= 0xC0) v.push_back(static_cast<uint8_t>(0xC0 | n));
        v.push_back(row[i]);
      }
    }
  if (planes == 1) {
    v.push_back(12);
    for (int i = 0; i < 256; ++i) {
      Rgb c = i < static_cast<int>(p.palette.size()) ? p.palette[i] : Rgb{0, 0, 0};
      v.insert(v.end(), {c.r, c.g, c.b});
    }
  }
  return v;
}

// ---- Targa: true colour bottom-up (type 2), colour-mapped run-length top-down
// (type 9, with an image ID), or grey (type 3).

Bytes Tga(const Picture &p, int type) {
  bool mapped = type == 9, grey = type == 3, topDown = type == 9;
  const char id[] = "samplegen";
  Bytes v = {static_cast<uint8_t>(mapped ? sizeof id - 1 : 0), static_cast<uint8_t>(mapped ? 1 : 0),
             static_cast<uint8_t>(type)};
  Put16(v, 0), Put16(v, mapped ? static_cast<uint32_t>(p.palette.size()) : 0), v.push_back(mapped ? 24 : 0);
  Put16(v, 0), Put16(v, 0), Put16(v, p.w), Put16(v, p.h);
  v.push_back(static_cast<uint8_t>(mapped || grey ? 8 : 24)), v.push_back(topDown ? 0x20 : 0);
  if (mapped) v.insert(v.end(), id, id + sizeof id - 1);
  if (mapped)
    for (Rgb c : p.palette) v.insert(v.end(), {c.b, c.g, c.r});
  for (int k = 0; k < p.h; ++k) {
    int y = topDown ? k : p.h - 1 - k;
    if (mapped) {
      for (int x = 0, n; x < p.w; x += n) {
        for (n = 1; x + n < p.w && n < 128 && p.at(x + n, y) == p.at(x, y);) ++n;
        if (n > 1) {
          v.push_back(static_cast<uint8_t>(0x80 | (n - 1))), v.push_back(p.at(x, y));
        } else {
          v.push_back(0), v.push_back(p.at(x, y));
        }
      }
      continue;
    }
    for (int x = 0; x < p.w; ++x) {
      Rgb c = p.colour(x, y);
      if (grey)
        v.push_back(c.r);
      else
        v.insert(v.end(), {c.b, c.g, c.r});
    }
  }
  return v;
}

int SampleSet(const std::string &dir) {
  Picture gradient = Gradient(93, 61);
  Picture bands256 = Bands(93, 61, 256, false), bands16 = Bands(37, 23, 16, false);
  Picture mono = Bands(33, 9, 2, true), grey = Bands(45, 17, 256, true);
  struct File {
    const char *name;
    Bytes data;
  };
  const File files[] = {
      {"bmp24.bmp", Bmp(gradient, 24)},
      {"bmp8.bmp", Bmp(bands256, 8)},
      {"bmp4-topdown.bmp", Bmp(bands16, 4, true)},
      {"bmp1.bmp", Bmp(mono, 1)},
      {"grey8.bmp", Bmp(grey, 8)},
      {"rle8.bmp", BmpRle8(bands256)},
      {"os2.bmp", BmpOs2(bands256)},
      {"interlaced.gif", Gif(bands256, true, 3, false)},
      {"plain.gif", Gif(bands16, false, -1, true)},
      {"pcx8.pcx", Pcx(bands256, 1)},
      {"pcx24.pcx", Pcx(gradient, 3)},
      {"tga24.tga", Tga(gradient, 2)},
      {"tga8-rle.tga", Tga(bands256, 9)},
      {"tga-grey.tga", Tga(grey, 3)},
  };
  for (const File &f : files)
    if (!Write(dir + "/" + f.name, f.data)) return 1;
  return 0;
}

// Rows are made and written one at a time, so any size fits in memory.
int BigBmp(int w, int h, const std::string &path) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "samplegen: cannot write %s\n", path.c_str());
    return 1;
  }
  int stride = (w + 3) & ~3;
  Bytes v;
  BmpHeaders(v, w, h, 8, 0, 256, static_cast<uint32_t>(static_cast<uint64_t>(stride) * h));
  for (int i = 0; i < 256; ++i) v.insert(v.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7), 0});
  bool ok = fwrite(v.data(), 1, v.size(), f) == v.size();
  Bytes row(static_cast<size_t>(stride), 0);
  for (int y = 0; y < h && ok; ++y) {
    for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>((x ^ y) + (x * y >> 7));
    ok = fwrite(row.data(), 1, row.size(), f) == row.size();
  }
  if (fclose(f) != 0 || !ok) {
    fprintf(stderr, "samplegen: cannot write %s\n", path.c_str());
    return 1;
  }
  printf("%s\n", path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string first = argc > 1 ? argv[1] : "";
  if (first == "--set" && argc == 3) return SampleSet(argv[2]);
  if (first == "--big-bmp" && argc == 5) {
    int w = atoi(argv[2]), h = atoi(argv[3]);
    if (w < 1 || h < 1 || w > 65535 || h > 65535) {
      fprintf(stderr, "samplegen: width and height must be 1 to 65535\n");
      return 2;
    }
    return BigBmp(w, h, argv[4]);
  }
  if (argc > 2 || (!first.empty() && first[0] == '-')) {
    fprintf(stderr, "usage: samplegen [DIR] | --set DIR | --big-bmp W H FILE\n");
    return 2;
  }
  std::string dir = first.empty() ? "examples" : first;
  return Write(dir + "/sample.bmp", Bmp(Gradient(93, 61), 24)) ? 0 : 1;
}
