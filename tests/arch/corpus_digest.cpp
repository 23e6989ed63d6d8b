// Prints one line per corpus file: the outcome of decoding it and a hash of
// every byte delivered (bitmap, colour table, extra records), bottom-up and
// top-down. Two builds for different machines must print the same lines.
// Usage: corpus_digest [CORPUS_DIR]
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

uint64_t Fnv(uint64_t h, const void *data, size_t n) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

uint64_t Digest(const qvhost::Result &r) {
  uint64_t h = Fnv(0xcbf29ce484222325ull, &r.status, sizeof r.status);
  h = Fnv(h, &r.header, sizeof r.header);
  h = Fnv(h, r.palette, sizeof r.palette);
  h = Fnv(h, &r.flags, sizeof r.flags);
  h = Fnv(h, r.output.data(), r.output.size());
  for (const qvhost::ExtraRecord &e : r.extras) {
    h = Fnv(h, &e.kind, sizeof e.kind);
    h = Fnv(h, e.data.data(), e.data.size());
  }
  return h;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir = argc > 1 ? argv[1] : qvtest::CorpusDir();
  if (dir.empty()) {
    fprintf(stderr, "corpus_digest: the shared corpus is absent\n");
    return 1;
  }
  std::vector<std::string> files;
  for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
    std::string rel = std::filesystem::relative(e.path(), dir).string();
    if (e.is_regular_file() && rel.rfind("reference/", 0) != 0 && rel != "MANIFEST.tsv")
      files.push_back(rel);
  }
  std::sort(files.begin(), files.end());
  for (const std::string &rel : files) {
    std::vector<uint8_t> data = qvtest::ReadFileBytes(dir + "/" + rel);
    qvhost::Options o;
    if (!qvhost::DetectImageType(data.data(), data.size(), &o.imageType)) continue;
    o.outputLimit = size_t{256} << 20;
    o.flags = QV_FLAG_HEADER;
    qvhost::Result bottomUp = qvhost::Decode(data.data(), data.size(), o);
    o.flags |= QV_FLAG_TOP_DOWN;
    qvhost::Result topDown = qvhost::Decode(data.data(), data.size(), o);
    printf("%s %d %zu %016llx %d %016llx\n", rel.c_str(), bottomUp.status, bottomUp.output.size(),
           static_cast<unsigned long long>(Digest(bottomUp)), topDown.status,
           static_cast<unsigned long long>(Digest(topDown)));
  }
  return 0;
}
