// A small LZW encoder and GIF writer for building test and benchmark files.
// The encoder follows the decoder's width rule by tracking the table the
// decoder builds, which is one entry behind its own.
#pragma once
#include <stdint.h>

#include <vector>

namespace gifenc {

struct LzwOptions {
  int initialWidth = 9;       // GIF: minimum code size + 1; TIFF: 9
  bool earlyChange = false;   // TIFF
  bool msbFirst = false;      // TIFF
  bool clearAtStart = true;
  bool clearWhenFull = true;  // else keep coding against the full table
  bool endCode = true;
  int maxCodesBeforeClear = 0;  // > 0: a clear code after this many codes
};

class BitWriter {
 public:
  explicit BitWriter(bool msb) : msb_(msb) {}
  void Put(uint32_t code, int width) {
    if (!msb_) {
      acc_ |= static_cast<uint64_t>(code) << n_;
      n_ += width;
      while (n_ >= 8) {
        out_.push_back(static_cast<uint8_t>(acc_));
        acc_ >>= 8;
        n_ -= 8;
      }
    } else {
      acc_ = (acc_ << width) | code;
      n_ += width;
      while (n_ >= 8) {
        out_.push_back(static_cast<uint8_t>(acc_ >> (n_ - 8)));
        n_ -= 8;
      }
    }
  }
  std::vector<uint8_t> Finish() {
    if (n_ > 0) out_.push_back(static_cast<uint8_t>(msb_ ? acc_ << (8 - n_) : acc_));
    n_ = 0;
    return out_;
  }

 private:
  bool msb_;
  uint64_t acc_ = 0;
  int n_ = 0;
  std::vector<uint8_t> out_;
};

inline std::vector<uint8_t> LzwEncode(const uint8_t *data, size_t size, const LzwOptions &o) {
  const uint32_t clear = 1u << (o.initialWidth - 1), end = clear + 1, firstFree = clear + 2;
  const uint32_t highest = o.earlyChange ? 4094 : 4095;
  BitWriter w(o.msbFirst);
  std::vector<int32_t> dict(4096 * 256, -1);
  std::vector<uint32_t> used;  // dictionary keys to forget at a clear
  uint32_t next = firstFree;   // the encoder's next entry
  uint32_t decNext = firstFree, width = o.initialWidth, sinceClear = 0;
  auto resetTables = [&] {
    for (uint32_t k : used) dict[k] = -1;
    used.clear();
    next = decNext = firstFree;
    width = o.initialWidth;
    sinceClear = 0;
  };
  // Emit a code and follow the decoder: from the second code after a clear
  // it adds an entry and may widen.
  auto emit = [&](uint32_t code) {
    w.Put(code, static_cast<int>(width));
    if (++sinceClear >= 2 && decNext <= highest) {
      ++decNext;
      uint32_t mask = (1u << width) - 1, threshold = o.earlyChange ? mask - 1 : mask;
      if (decNext > threshold && decNext <= highest) ++width;
    }
  };
  if (o.clearAtStart) w.Put(clear, static_cast<int>(width));
  int32_t prefix = -1;
  uint32_t codes = 0;
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i] & (clear - 1);
    if (prefix < 0) {
      prefix = b;
      continue;
    }
    uint32_t key = static_cast<uint32_t>(prefix) * 256 + b;
    if (dict[key] >= 0) {
      prefix = dict[key];
      continue;
    }
    emit(static_cast<uint32_t>(prefix));
    ++codes;
    if (next <= highest) {
      dict[key] = static_cast<int32_t>(next++);
      used.push_back(key);
    }
    prefix = b;
    bool full = next > highest && o.clearWhenFull;
    bool counted = o.maxCodesBeforeClear > 0 && codes % o.maxCodesBeforeClear == 0;
    if (full || counted) {
      w.Put(clear, static_cast<int>(width));
      resetTables();
    }
  }
  if (prefix >= 0) emit(static_cast<uint32_t>(prefix));
  if (o.endCode) w.Put(end, static_cast<int>(width));
  return w.Finish();
}

// GIF file builder.
struct GifImage {
  uint16_t width = 1, height = 1, left = 0, top = 0;
  std::vector<uint8_t> pixels;  // width x height indices, top row first
  int globalBits = 0;           // global table of 2^globalBits entries (0: none)
  int localBits = 0;            // local table (0: none)
  bool interlaced = false;
  int minCodeSize = 0;          // 0: from the table size (at least 2)
  std::vector<std::vector<uint8_t>> extensions;  // whole extension blocks, introducer included
  LzwOptions lzw;               // initialWidth is set from the minimum code size
  bool version87 = false;
};

inline void Table(std::vector<uint8_t> &f, int bits, uint8_t salt) {
  for (int i = 0; i < (1 << bits); ++i) {
    f.push_back(static_cast<uint8_t>(i * 37 + salt));
    f.push_back(static_cast<uint8_t>(i * 11 + salt * 3));
    f.push_back(static_cast<uint8_t>(255 - i));
  }
}

// Rows in the order they are stored: interlaced images in pass order.
inline std::vector<uint8_t> StoredOrder(const GifImage &g) {
  if (!g.interlaced) return g.pixels;
  static const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
  std::vector<uint8_t> v;
  for (int p = 0; p < 4; ++p)
    for (int r = starts[p]; r < g.height; r += steps[p])
      v.insert(v.end(), g.pixels.begin() + static_cast<size_t>(r) * g.width,
               g.pixels.begin() + static_cast<size_t>(r + 1) * g.width);
  return v;
}

// Data sub-blocks of at most 255 bytes, then the terminator.
inline void SubBlocks(std::vector<uint8_t> &f, const std::vector<uint8_t> &data) {
  for (size_t at = 0; at < data.size(); at += 255) {
    size_t n = data.size() - at < 255 ? data.size() - at : 255;
    f.push_back(static_cast<uint8_t>(n));
    f.insert(f.end(), data.begin() + at, data.begin() + at + n);
  }
  f.push_back(0);
}

inline std::vector<uint8_t> MakeGif(const GifImage &g) {
  std::vector<uint8_t> f = {'G', 'I', 'F', '8', static_cast<uint8_t>(g.version87 ? '7' : '9'), 'a'};
  auto put16 = [&](uint32_t v) {
    f.push_back(static_cast<uint8_t>(v));
    f.push_back(static_cast<uint8_t>(v >> 8));
  };
  put16(g.width + g.left);
  put16(g.height + g.top);
  f.push_back(static_cast<uint8_t>(g.globalBits ? 0x80 | (g.globalBits - 1) : 0));
  f.push_back(0);
  f.push_back(0);
  if (g.globalBits) Table(f, g.globalBits, 1);
  for (const auto &e : g.extensions) f.insert(f.end(), e.begin(), e.end());
  f.push_back(0x2C);
  put16(g.left);
  put16(g.top);
  put16(g.width);
  put16(g.height);
  f.push_back(static_cast<uint8_t>((g.localBits ? 0x80 | (g.localBits - 1) : 0) |
                                   (g.interlaced ? 0x40 : 0)));
  if (g.localBits) Table(f, g.localBits, 7);
  int bits = g.localBits ? g.localBits : g.globalBits ? g.globalBits : 8;
  int m = g.minCodeSize ? g.minCodeSize : (bits < 2 ? 2 : bits);
  f.push_back(static_cast<uint8_t>(m));
  LzwOptions o = g.lzw;
  o.initialWidth = m + 1;
  std::vector<uint8_t> stored = StoredOrder(g);
  SubBlocks(f, LzwEncode(stored.data(), stored.size(), o));
  f.push_back(0x3B);
  return f;
}

}  // namespace gifenc
