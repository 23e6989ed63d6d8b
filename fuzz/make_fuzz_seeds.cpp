// make_fuzz_seeds CORPUS_DIR OUT_DIR: one seed per sample file under 64 KiB,
// prefixed with the settings that select its detected image type.
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "fuzz_input.h"

namespace {

size_t g_written = 0;

void Walk(const std::string &dir, const std::string &out) {
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || name == "reference") continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Walk(path, out);
      continue;
    }
    if (st.st_size > 65536 || name.size() < 4 || name.find(".png") != std::string::npos) continue;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) continue;
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size) + kFuzzPrefix);
    size_t got = fread(bytes.data() + kFuzzPrefix, 1, static_cast<size_t>(st.st_size), f);
    fclose(f);
    uint32_t type = QV_FOURCC('G', '3', ' ', ' ');
    qvhost::DetectImageType(bytes.data() + kFuzzPrefix, got, &type);
    FuzzPrefixFor(type, bytes.data());
    std::string seed = out + "/seed-" + std::to_string(g_written++);
    FILE *o = fopen(seed.c_str(), "wb");
    if (!o) continue;
    fwrite(bytes.data(), 1, got + kFuzzPrefix, o);
    fclose(o);
  }
  closedir(d);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_fuzz_seeds CORPUS_DIR OUT_DIR\n");
    return 64;
  }
  Walk(argv[1], argv[2]);
  printf("%zu seeds\n", g_written);
  return 0;
}
