// make_fax_seeds CORPUS_DIR OUT_DIR: seeds for fuzz_fax. Small pages coded by
// libtiff in every coding and bit order (their first strip), the first strip
// of every CCITT page of the corpus's TIFF files, and the raw fax files, each
// cut to 64 KiB and prefixed with its settings.
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "fax_fuzz_input.h"
#include "fax_pages.h"

namespace {

size_t g_written = 0;

void Write(const std::string &out, const uint8_t prefix[kFaxFuzzPrefix], const uint8_t *data, size_t n) {
  if (n > 65536) n = 65536;
  std::string path = out + "/fax-" + std::to_string(g_written++);
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(prefix, 1, kFaxFuzzPrefix, f);
  fwrite(data, 1, n, f);
  fclose(f);
}

faxjob::Coding CodingOf(const faxpages::TiffFax &t) {
  if (t.compression == 2) return faxjob::Coding::Mh;
  if (t.compression == 4) return faxjob::Coding::G4;
  return (t.group3Options & 1) ? faxjob::Coding::G3TwoD : faxjob::Coding::G3;
}

// The first strip of every fax page of file.
void TiffSeeds(const std::vector<uint8_t> &file, const std::string &out) {
  for (int d = 0; d < 4; ++d) {
    faxpages::TiffFax t;
    if (!faxpages::ReadFaxTiff(file, d, &t) || t.offsets.empty()) continue;
    uint64_t end = static_cast<uint64_t>(t.offsets[0]) + t.counts[0];
    if (end > file.size()) continue;
    uint8_t prefix[kFaxFuzzPrefix];
    FaxFuzzPrefix(CodingOf(t), false, t.fillOrder == 2, t.width, std::min(t.rowsPerStrip, t.height), prefix);
    Write(out, prefix, file.data() + t.offsets[0], t.counts[0]);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_fax_seeds CORPUS_DIR OUT_DIR\n");
    return 2;
  }
  std::string corpus = argv[1], out = argv[2];
  const uint32_t widths[] = {1, 7, 33, 200, 1728};
  const struct {
    uint16_t compression;
    uint32_t options;
  } codings[] = {{2, 0}, {3, 0}, {3, 4}, {3, 1}, {3, 5}, {4, 0}};
  int n = 0;
  for (uint32_t w : widths)
    for (const auto &c : codings) {
      ++n;
      faxpages::Page page = n % 2 ? faxpages::TextPage(w, 40, n) : faxpages::LineArtPage(w, 40, n);
      faxpages::TiffOptions o;
      o.compression = c.compression;
      o.group3Options = c.options;
      o.fillOrder = n % 3 == 0 ? 2 : 1;
      TiffSeeds(faxpages::EncodeTiff(page, o), out);
    }
  std::ifstream manifest(corpus + "/MANIFEST.tsv");
  std::string line;
  while (std::getline(manifest, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() < 5) continue;
    std::vector<uint8_t> file = qvhost::ReadFileBytes(corpus + "/" + f[0]);
    if (file.empty()) continue;
    if (f[3] == "tiff" && f[4].find("ccitt") != std::string::npos) {
      TiffSeeds(file, out);
    } else if (f[3] == "fax(raw)") {
      uint8_t prefix[kFaxFuzzPrefix];
      bool twoD = f[4].find("2D") != std::string::npos;
      FaxFuzzPrefix(twoD ? faxjob::Coding::G3TwoD : faxjob::Coding::G3, true,
                    f[4].find("lsb-first") != std::string::npos, 0, 0, prefix);
      Write(out, prefix, file.data(), file.size());
    }
  }
  printf("%zu fax seeds\n", g_written);
  return 0;
}
