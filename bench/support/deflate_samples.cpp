#include "deflate_samples.h"

#include <math.h>
#include <stdlib.h>

#include <string>

namespace deflatesamples {
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
};

uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

int Paeth(int a, int b, int c) {
  int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

}  // namespace

std::vector<uint8_t> Picture(uint32_t width, uint32_t height, uint32_t channels, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint8_t> p(static_cast<size_t>(width) * height * channels);
  // A few soft blobs over a gradient, a finer ripple, and noise of a few levels.
  int cx[4], cy[4], r2[4], amp[4];
  for (int i = 0; i < 4; ++i) {
    cx[i] = static_cast<int>(rng.Next() % width);
    cy[i] = static_cast<int>(rng.Next() % height);
    int r = static_cast<int>(width / 8 + rng.Next() % (width / 3 + 1));
    r2[i] = r * r + 1;
    amp[i] = static_cast<int>(rng.Next() % 160) - 80;
  }
  size_t k = 0;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      int base = static_cast<int>((x * 96) / width + (y * 64) / height) + 40;
      for (int i = 0; i < 4; ++i) {
        int dx = static_cast<int>(x) - cx[i], dy = static_cast<int>(y) - cy[i];
        int d2 = dx * dx + dy * dy;
        if (d2 < r2[i]) base += static_cast<int>(static_cast<int64_t>(amp[i]) * (r2[i] - d2) / r2[i]);
      }
      int ripple = static_cast<int>(((x / 3 + y / 5) & 15)) - 8;
      for (uint32_t c = 0; c < channels; ++c) {
        int noise = static_cast<int>(rng.Next() % 9) - 4;
        p[k++] = Clamp(base + ripple / 2 + static_cast<int>(c) * 17 - 20 + noise);
      }
    }
  return p;
}

std::vector<uint8_t> FilterRows(const std::vector<uint8_t> &pixels, uint32_t width, uint32_t height,
                                uint32_t channels) {
  const size_t stride = static_cast<size_t>(width) * channels;
  std::vector<uint8_t> out;
  out.reserve((stride + 1) * height);
  std::vector<uint8_t> zero(stride, 0), best(stride), trial(stride);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t *row = pixels.data() + y * stride;
    const uint8_t *up = y ? row - stride : zero.data();
    uint64_t bestCost = ~uint64_t{0};
    uint8_t bestType = 0;
    for (uint8_t type = 0; type < 5; ++type) {
      uint64_t cost = 0;
      for (size_t i = 0; i < stride; ++i) {
        int a = i >= channels ? row[i - channels] : 0, b = up[i], c = i >= channels ? up[i - channels] : 0;
        int pred = type == 0 ? 0 : type == 1 ? a : type == 2 ? b : type == 3 ? (a + b) / 2 : Paeth(a, b, c);
        trial[i] = static_cast<uint8_t>(row[i] - pred);
        cost += static_cast<uint64_t>(abs(static_cast<int8_t>(trial[i])));
      }
      if (cost < bestCost) {
        bestCost = cost;
        bestType = type;
        best.swap(trial);
      }
    }
    out.push_back(bestType);
    out.insert(out.end(), best.begin(), best.end());
  }
  return out;
}

std::vector<uint8_t> Prose(size_t size, uint64_t seed) {
  Rng rng(seed);
  // Letters roughly by their frequency in English.
  static const char kLetters[] =
      "eeeeeeeeeeeettttttttaaaaaaaoooooooiiiiiiinnnnnnnsssssshhhhhhrrrrrrddddllllcccuuummwwffggyyppbbvkjxqz";
  std::vector<std::string> words(3000);
  for (auto &w : words) {
    size_t len = 1 + rng.Next() % 3 + rng.Next() % 4 + rng.Next() % 4;
    for (size_t i = 0; i < len; ++i) w += kLetters[rng.Next() % (sizeof kLetters - 1)];
  }
  std::vector<uint8_t> out;
  out.reserve(size + 64);
  size_t lineStart = 0;
  bool capital = true;
  while (out.size() < size) {
    // Word rank r with probability about 1/r: N^u for u uniform in [0, 1).
    double u = static_cast<double>(rng.Next()) / 4294967296.0;
    size_t rank = static_cast<size_t>(exp(u * log(static_cast<double>(words.size())))) - 1;
    const std::string &w = words[rank < words.size() ? rank : words.size() - 1];
    for (size_t i = 0; i < w.size(); ++i)
      out.push_back(static_cast<uint8_t>(capital && i == 0 ? w[i] - 32 : w[i]));
    capital = false;
    uint32_t r = rng.Next() % 100;
    if (r < 6) {
      out.push_back('.');
      capital = true;
    } else if (r < 12) {
      out.push_back(',');
    }
    if (out.size() - lineStart > 72) {
      out.push_back('\n');
      lineStart = out.size();
    } else {
      out.push_back(' ');
    }
  }
  out.resize(size);
  return out;
}

}  // namespace deflatesamples
