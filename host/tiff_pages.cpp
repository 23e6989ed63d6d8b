// Counting the pages of a TIFF file by walking its chain of directories,
// without decoding anything.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <unordered_set>

#include "quorvin_host.h"

namespace qvhost {

int CountTiffPages(const std::function<bool(uint64_t, uint8_t *, size_t)> &read) {
  uint8_t h[16];
  if (!read(0, h, 8)) return -1;
  bool big;
  if (h[0] == 'I' && h[1] == 'I' && h[3] == 0) big = false;
  else if (h[0] == 'M' && h[1] == 'M' && h[2] == 0) big = true;
  else return -1;
  auto get = [big](const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t{p[big ? n - 1 - i : i]} << (8 * i);
    return v;
  };
  // BigTIFF (version 43): 8-byte offsets and entry counts, 20-byte entries.
  uint64_t version = get(h + 2, 2);
  bool wide = version == 43;
  if (version != 42 && !wide) return -1;
  if (wide && (!read(8, h + 8, 8) || get(h + 4, 2) != 8)) return -1;
  int offsetBytes = wide ? 8 : 4, countBytes = wide ? 8 : 2;
  uint64_t entryBytes = wide ? 20 : 12;
  uint64_t ifd = get(h + (wide ? 8 : 4), offsetBytes);
  int pages = 0;
  // A chain that runs in a circle ends at the first directory seen again;
  // every directory takes at least 6 bytes, so the set stays below the file.
  std::unordered_set<uint64_t> seen;
  while (ifd != 0 && seen.insert(ifd).second) {
    uint8_t b[8];
    if (!read(ifd, b, countBytes)) break;
    uint64_t count = get(b, countBytes);
    if (count > 0xFFFF || !read(ifd + countBytes + entryBytes * count, b, offsetBytes)) {
      ++pages;  // the directory is there, its link is cut off
      break;
    }
    ++pages;
    ifd = get(b, offsetBytes);
  }
  return pages;
}

namespace {
// Bytes per value of a TIFF field type; 0 for a type this code does not know.
size_t TypeSize(uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
  }
}
}  // namespace

std::vector<uint32_t> TiffNumbers(uint16_t type, const uint8_t *bytes, size_t size, bool bigEndian,
                                  size_t limit) {
  std::vector<uint32_t> out;
  // A rational is two 32-bit numbers; text, bytes and floating point are not numbers here.
  size_t width = type == 5 || type == 10 ? 4 : TypeSize(type);
  if (width == 0 || type == 2 || type == 7 || type == 11 || type == 12) return out;
  for (size_t at = 0; at + width <= size && out.size() < limit; at += width) {
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= uint32_t{bytes[at + (bigEndian ? width - 1 - i : i)]} << (8 * i);
    // Signed types keep their sign in 32 bits.
    if (type == 6 && (v & 0x80)) v |= 0xFFFFFF00u;
    if (type == 8 && (v & 0x8000)) v |= 0xFFFF0000u;
    out.push_back(v);
  }
  return out;
}

bool ReadTiffPage(const std::function<bool(uint64_t, uint8_t *, size_t)> &read, uint32_t page,
                  std::vector<TiffField> *fields, bool *bigEndian) {
  uint8_t h[8];
  if (!read(0, h, 8)) return false;
  bool big;
  if (h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) big = false;
  else if (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42) big = true;
  else return false;
  if (bigEndian) *bigEndian = big;
  auto get = [big](const uint8_t *p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint32_t{p[big ? n - 1 - i : i]} << (8 * i);
    return v;
  };
  uint32_t ifd = get(h + 4, 4);
  uint8_t b[12];
  std::unordered_set<uint32_t> seen;
  for (uint32_t n = 1; n < std::max<uint32_t>(page, 1); ++n) {
    if (ifd == 0 || !seen.insert(ifd).second || !read(ifd, b, 2) ||
        !read(ifd + 2 + 12 * uint64_t{get(b, 2)}, b, 4))
      return false;
    ifd = get(b, 4);
  }
  if (ifd == 0 || !read(ifd, b, 2)) return false;
  uint32_t entries = get(b, 2);
  fields->clear();
  for (uint32_t e = 0; e < entries; ++e) {
    if (!read(ifd + 2 + 12 * uint64_t{e}, b, 12)) break;
    TiffField f;
    f.tag = static_cast<uint16_t>(get(b, 2));
    f.type = static_cast<uint16_t>(get(b + 2, 2));
    f.count = get(b + 4, 4);
    size_t size = TypeSize(f.type);
    uint64_t bytes = uint64_t{size} * f.count;
    // The first values: those that fit in the entry, or up to 16 of them from where it points.
    uint8_t values[16 * 8];
    size_t take = static_cast<size_t>(std::min<uint64_t>(bytes, size * 16));
    if (bytes <= 4)
      memcpy(values, b + 8, take);
    else if (!read(get(b + 8, 4), values, take))
      take = 0;
    f.values = TiffNumbers(f.type, values, take, big, 32);
    fields->push_back(std::move(f));
  }
  return true;
}

int CountTiffPages(const uint8_t *data, size_t size) {
  return CountTiffPages([&](uint64_t at, uint8_t *dst, size_t n) {
    if (at > size || size - at < n) return false;
    for (size_t i = 0; i < n; ++i) dst[i] = data[at + i];
    return true;
  });
}

int CountTiffPages(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return -1;
  int n = CountTiffPages([f](uint64_t at, uint8_t *dst, size_t count) {
    return fseek(f, static_cast<long>(at), SEEK_SET) == 0 && fread(dst, 1, count, f) == count;
  });
  fclose(f);
  return n;
}

}  // namespace qvhost
