#include "test_support.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#if QV_HAVE_PNG
#include <png.h>
#elif defined(QV_STB_IMAGE_HEADER)
// Cross builds without libpng read the reference PNGs with stb_image.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include QV_STB_IMAGE_HEADER
#endif

namespace qvtest {

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

std::string TempPath(const std::string &name) {
  const char *t = getenv("TMPDIR");
  std::string dir = std::string(t && *t ? t : "/tmp") + "/quorvin-tests-" + std::to_string(getpid());
  mkdir(dir.c_str(), 0700);
  return dir + "/" + name;
}

std::string CorpusDir() {
  const char *env = getenv("QV_CORPUS_DIR");
  std::string dir = env && *env ? env : QV_CORPUS_DIR;
  struct stat st;
  if (stat((dir + "/MANIFEST.tsv").c_str(), &st) != 0) return "";
  return dir;
}

qvhost::Options ClassicOptions() {
  qvhost::Options o;
  o.extended = false;
  return o;
}

void NotRun(const std::string &reason) {
  if (::testing::Test::HasFailure()) return;
  const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
  printf("QV_NOT_RUN: %s.%s: %s\n", t->test_suite_name(), t->name(), reason.c_str());
  fflush(stdout);
}

bool ReadPngRgba(const std::string &path, uint32_t *width, uint32_t *height,
                 std::vector<uint8_t> *rgba, std::string *error) {
#if QV_HAVE_PNG
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    if (error) *error = image.message;
    return false;
  }
  image.format = PNG_FORMAT_RGBA;
  rgba->assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, rgba->data(), 0, nullptr)) {
    if (error) *error = image.message;
    png_image_free(&image);
    return false;
  }
  *width = image.width;
  *height = image.height;
  return true;
#elif defined(QV_STB_IMAGE_HEADER)
  int w = 0, h = 0, channels = 0;
  stbi_uc *pixels = stbi_load(path.c_str(), &w, &h, &channels, 4);
  if (!pixels) {
    if (error) *error = stbi_failure_reason();
    return false;
  }
  rgba->assign(pixels, pixels + static_cast<size_t>(w) * h * 4);
  stbi_image_free(pixels);
  *width = static_cast<uint32_t>(w);
  *height = static_cast<uint32_t>(h);
  return true;
#else
  (void)path, (void)width, (void)height, (void)rgba;
  if (error) *error = "built without libpng";
  return false;
#endif
}

bool ReadPngRgb(const std::string &path, qvhost::Pixels *out, std::string *error) {
  std::vector<uint8_t> rgba;
  if (!ReadPngRgba(path, &out->width, &out->height, &rgba, error)) return false;
  out->rgb.resize(static_cast<size_t>(out->width) * out->height * 3);
  for (size_t i = 0, j = 0; i < rgba.size(); i += 4, j += 3) {
    out->rgb[j] = rgba[i];
    out->rgb[j + 1] = rgba[i + 1];
    out->rgb[j + 2] = rgba[i + 2];
  }
  return true;
}

const StressCase kStressCases[] = {
    {"tiny", 5, 0, false, 7, 0},
    {"odd", 37, 1001, false, 12345, 0},
    {"small", 300, 0, false, 99, 0},
    {"whole", 0, 777, true, 3, 0},
    {"in place", 0, 5, true, 0, 2},
    {"in place, one byte short", 0, 5, true, 0, 1},
};

namespace {
// A copy of the bytes on pages that allow no writes, with the spare byte a
// borrowed input queue reaches past them.
class ReadOnlyBytes {
 public:
  explicit ReadOnlyBytes(const std::vector<uint8_t> &bytes) : size_(bytes.size() + 1) {
#if defined(_WIN32)
    p_ = static_cast<uint8_t *>(VirtualAlloc(nullptr, size_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!p_) return;
    if (!bytes.empty()) memcpy(p_, bytes.data(), bytes.size());
    DWORD old;
    VirtualProtect(p_, size_, PAGE_READONLY, &old);
#else
    void *m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return;
    p_ = static_cast<uint8_t *>(m);
    if (!bytes.empty()) memcpy(p_, bytes.data(), bytes.size());
    mprotect(p_, size_, PROT_READ);
#endif
  }
  ~ReadOnlyBytes() {
    if (!p_) return;
#if defined(_WIN32)
    VirtualFree(p_, 0, MEM_RELEASE);
#else
    munmap(p_, size_);
#endif
  }
  ReadOnlyBytes(const ReadOnlyBytes &) = delete;
  ReadOnlyBytes &operator=(const ReadOnlyBytes &) = delete;
  const uint8_t *data() const { return p_; }

 private:
  size_t size_;
  uint8_t *p_ = nullptr;
};
}  // namespace
const size_t kStressCaseCount = sizeof kStressCases / sizeof kStressCases[0];

std::string CheckStress(const std::vector<uint8_t> &data, const qvhost::Options &base,
                        const qvhost::Result &reference, uint32_t stride) {
  for (size_t i = 0; i < kStressCaseCount; ++i) {
    const StressCase &c = kStressCases[i];
    qvhost::Options o = base;
    o.inQueue = c.inQueue ? c.inQueue : 5;
    o.outQueue = c.outQueue ? c.outQueue : stride + 1;
    // A queue that cannot hold one row refuses flipped delivery (-7082) by
    // design; every case keeps at least one row of room.
    if (o.outQueue <= stride) o.outQueue = stride + 1;
    if (o.outQueue < 5) o.outQueue = 5;
    o.wholeInput = c.wholeInput;
    o.test.chunkSeed = c.seed;
    std::string where = std::string(c.name) + ": ";
    qvhost::Result r;
    if (c.inPlace) {
      ReadOnlyBytes file(data);
      if (!file.data()) return where + "no read-only pages";
      std::vector<uint8_t> recycled;
      size_t n = reference.output.size();
      recycled.reserve(c.inPlace == 2 ? std::max<size_t>(2 * n, 5) : std::max<size_t>(n, 6) - 1);
      o.borrowInput = o.directOutput = true;
      o.recycleOutput = &recycled;
      r = qvhost::Decode(file.data(), data.size(), o);
    } else {
      r = qvhost::Decode(data.data(), data.size(), o);
    }
    if (r.response != reference.response || r.status != reference.status)
      return where + "status " + std::to_string(r.status) + " vs " + std::to_string(reference.status);
    // A failed job delivers what its order allowed: bands placed from the end
    // are lost with the job, and how many depends on the queue size.
    if (reference.ok() && r.output != reference.output) return where + "output bytes differ";
    if (memcmp(&r.header, &reference.header, sizeof r.header) != 0) return where + "header differs";
    if (memcmp(r.palette, reference.palette, sizeof r.palette) != 0) return where + "palette differs";
    if (r.flags != reference.flags) return where + "flags differ";
    if (r.extras.size() != reference.extras.size()) return where + "extra records differ";
    for (size_t k = 0; k < r.extras.size(); ++k)
      if (r.extras[k].kind != reference.extras[k].kind || r.extras[k].data != reference.extras[k].data)
        return where + "extra record " + std::to_string(k) + " differs";
  }
  return "";
}

}  // namespace qvtest
