// Counting the pages of a TIFF file by walking its chain of directories,
// without decoding anything.
#include <stdio.h>

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
