#include "png_builder.h"

#include <string.h>

namespace pngbuild {
namespace {

using Bytes = std::vector<uint8_t>;

void PutBe32(Bytes &v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}

uint32_t Crc(const uint8_t *p, size_t n, uint32_t c = 0xFFFFFFFFu) {
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c;
}

uint32_t Adler(const Bytes &d) {
  uint32_t a = 1, b = 0;
  for (uint8_t x : d) {
    a = (a + x) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

uint8_t Paeth(int a, int b, int c) {
  int p = a + b - c, pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Line of n bytes filtered against prev (null: a pass's first line).
void FilterLine(Bytes &out, int type, const uint8_t *line, const uint8_t *prev, size_t n, size_t bpp) {
  out.push_back(static_cast<uint8_t>(type));
  for (size_t i = 0; i < n; ++i) {
    int a = i >= bpp ? line[i - bpp] : 0, b = prev ? prev[i] : 0, c = prev && i >= bpp ? prev[i - bpp] : 0;
    int predicted = type == 1 ? a : type == 2 ? b : type == 3 ? (a + b) / 2 : type == 4 ? Paeth(a, b, c) : 0;
    out.push_back(static_cast<uint8_t>(line[i] - predicted));
  }
}

// A whole pixel of up to 64 bits.
uint64_t Sample(const Bytes &lines, size_t offset, uint32_t i, uint32_t bits) {
  size_t bit = size_t{i} * bits;
  if (bits >= 8) {
    uint64_t v = 0;
    for (uint32_t k = 0; k < bits / 8; ++k) v = v << 8 | lines[offset + bit / 8 + k];
    return v;
  }
  return (lines[offset + bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}

void PutSample(Bytes &line, uint32_t i, uint32_t bits, uint64_t v) {
  size_t bit = size_t{i} * bits;
  if (bits >= 8) {
    for (uint32_t k = 0; k < bits / 8; ++k) line[bit / 8 + k] = static_cast<uint8_t>(v >> (bits - 8 - 8 * k));
    return;
  }
  line[bit / 8] = static_cast<uint8_t>(line[bit / 8] | v << (8 - bits - bit % 8));
}

// Deflate bits, lowest first.
struct BitWriter {
  Bytes out;
  uint64_t acc = 0;
  int n = 0;
  void Put(uint32_t v, int bits) {
    acc |= uint64_t{v} << n;
    n += bits;
    while (n >= 8) {
      out.push_back(static_cast<uint8_t>(acc));
      acc >>= 8;
      n -= 8;
    }
  }
  void Huffman(uint32_t code, int bits) {  // codes go most significant bit first
    uint32_t r = 0;
    for (int i = 0; i < bits; ++i) r |= ((code >> i) & 1) << (bits - 1 - i);
    Put(r, bits);
  }
  void Align() {
    if (n) Put(0, 8 - n);
  }
};

void FixedLiteral(BitWriter &w, uint32_t s) {
  if (s < 144) w.Huffman(0x30 + s, 8);
  else if (s < 256) w.Huffman(0x190 + s - 144, 9);
  else if (s < 280) w.Huffman(s - 256, 7);
  else w.Huffman(0xC0 + s - 280, 8);
}

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void FixedMatch(BitWriter &w, uint32_t length, uint32_t distance) {
  int l = 28;
  while (kLengthBase[l] > length) --l;
  FixedLiteral(w, 257 + l);
  w.Put(length - kLengthBase[l], kLengthExtra[l]);
  int d = 29;
  while (kDistBase[d] > distance) --d;
  w.Huffman(d, 5);
  w.Put(distance - kDistBase[d], kDistExtra[d]);
}

}  // namespace

uint32_t Channels(uint8_t t) { return t == 2 ? 3 : t == 4 ? 2 : t == 6 ? 4 : 1; }

size_t LineBytes(const Image &im, uint32_t n) { return (size_t{n} * im.depth * Channels(im.colourType) + 7) / 8; }

Bytes FilteredData(const Image &im) {
  static const uint8_t kX0[7] = {0, 4, 0, 2, 0, 1, 0}, kY0[7] = {0, 0, 4, 0, 2, 0, 1};
  static const uint8_t kDx[7] = {8, 8, 4, 4, 2, 2, 1}, kDy[7] = {8, 8, 8, 4, 4, 2, 2};
  const uint32_t bits = im.depth * Channels(im.colourType);
  const size_t bpp = bits < 8 ? 1 : bits / 8, full = LineBytes(im, im.width);
  Bytes out;
  int line = 0;
  for (int p = 0; p < (im.interlaced ? 7 : 1); ++p) {
    uint32_t x0 = im.interlaced ? kX0[p] : 0, y0 = im.interlaced ? kY0[p] : 0;
    uint32_t dx = im.interlaced ? kDx[p] : 1, dy = im.interlaced ? kDy[p] : 1;
    if (im.width <= x0 || im.height <= y0) continue;
    uint32_t pw = (im.width - x0 + dx - 1) / dx;
    Bytes prev, cur;
    for (uint32_t y = y0; y < im.height; y += dy) {
      cur.assign(LineBytes(im, pw), 0);
      for (uint32_t i = 0; i < pw; ++i) PutSample(cur, i, bits, Sample(im.lines, y * full, x0 + i * dx, bits));
      int type = im.filter >= 0 ? im.filter : line % 5;
      FilterLine(out, type, cur.data(), prev.empty() ? nullptr : prev.data(), cur.size(), bpp);
      prev.swap(cur);
      ++line;
    }
  }
  return out;
}

Bytes Zlib(const Bytes &data, bool stored, size_t storedBlock) {
  BitWriter w;
  w.out = {0x78, 0x01};
  if (stored) {
    size_t at = 0;
    do {
      size_t n = data.size() - at < storedBlock ? data.size() - at : storedBlock;
      w.Put(at + n == data.size(), 1);
      w.Put(0, 2);
      w.Align();
      w.Put(static_cast<uint32_t>(n), 16);
      w.Put(static_cast<uint32_t>(~n & 0xFFFF), 16);
      w.out.insert(w.out.end(), data.begin() + at, data.begin() + at + n);
      at += n;
    } while (at < data.size());
  } else {
    w.Put(1, 1);
    w.Put(1, 2);
    // Greedy matches over a hash of three bytes, a short chain each.
    std::vector<int32_t> head(1 << 15, -1), prev(data.size(), -1);
    auto hash = [&](size_t i) { return (data[i] * 1021u + data[i + 1] * 31u + data[i + 2]) & 0x7FFF; };
    for (size_t i = 0; i < data.size();) {
      uint32_t best = 0, dist = 0;
      if (i + 3 <= data.size()) {
        int32_t c = head[hash(i)];
        for (int tries = 0; c >= 0 && i - c <= 32768 && tries < 16; ++tries, c = prev[c]) {
          uint32_t n = 0;
          while (n < 258 && i + n < data.size() && data[c + n] == data[i + n]) ++n;
          if (n > best) best = n, dist = static_cast<uint32_t>(i - c);
        }
      }
      size_t step = best >= 3 ? best : 1;
      if (best >= 3) FixedMatch(w, best, dist);
      else FixedLiteral(w, data[i]);
      for (size_t k = i; k < i + step; ++k)
        if (k + 3 <= data.size()) {
          uint32_t h = hash(k);
          prev[k] = head[h];
          head[h] = static_cast<int32_t>(k);
        }
      i += step;
    }
    FixedLiteral(w, 256);
    w.Align();
  }
  PutBe32(w.out, Adler(data));
  return w.out;
}

void PutChunk(Bytes &file, const std::string &type, const Bytes &data) {
  PutBe32(file, static_cast<uint32_t>(data.size()));
  size_t at = file.size();
  file.insert(file.end(), type.begin(), type.end());
  file.insert(file.end(), data.begin(), data.end());
  PutBe32(file, Crc(file.data() + at, file.size() - at) ^ 0xFFFFFFFFu);
}

Bytes Build(const Image &im) {
  Bytes f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes h;
  PutBe32(h, im.width);
  PutBe32(h, im.height);
  h.insert(h.end(), {im.depth, im.colourType, 0, 0, static_cast<uint8_t>(im.interlaced)});
  PutChunk(f, "IHDR", h);
  if (!im.palette.empty()) PutChunk(f, "PLTE", im.palette);
  if (!im.trns.empty()) PutChunk(f, "tRNS", im.trns);
  for (const Chunk &c : im.before) PutChunk(f, c.type, c.data);
  Bytes z = Zlib(FilteredData(im), im.stored);
  size_t piece = im.chunkSize ? im.chunkSize : z.size();
  for (size_t at = 0; at < z.size(); at += piece)
    PutChunk(f, "IDAT", Bytes(z.begin() + at, z.begin() + (z.size() - at < piece ? z.size() : at + piece)));
  for (const Chunk &c : im.after) PutChunk(f, c.type, c.data);
  if (im.iend) PutChunk(f, "IEND", {});
  return f;
}

std::vector<size_t> ChunkOffsets(const Bytes &f) {
  std::vector<size_t> v;
  for (size_t at = 8; at + 8 <= f.size();) {
    v.push_back(at);
    uint32_t n = uint32_t{f[at]} << 24 | f[at + 1] << 16 | f[at + 2] << 8 | f[at + 3];
    if (memcmp(&f[at + 4], "IEND", 4) == 0) break;
    at += size_t{n} + 12;
  }
  return v;
}

void FixChunkCrc(Bytes &f, size_t at) {
  uint32_t n = uint32_t{f[at]} << 24 | f[at + 1] << 16 | f[at + 2] << 8 | f[at + 3];
  if (at + 12 + size_t{n} > f.size()) return;
  uint32_t c = Crc(&f[at + 4], n + 4) ^ 0xFFFFFFFFu;
  for (int k = 0; k < 4; ++k) f[at + 8 + n + k] = static_cast<uint8_t>(c >> (24 - 8 * k));
}

}  // namespace pngbuild
