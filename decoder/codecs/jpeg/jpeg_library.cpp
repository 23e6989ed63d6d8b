// The loader: dlopen by soname, every function found by dlsym, once per
// process under a lock. A library without jpeg_skip_scanlines is not
// libjpeg-turbo (IJG's libjpeg 6b has the same soname) and lacks the
// extended colour spaces the reader asks for: it counts as missing.
#include "codecs/jpeg/jpeg_library.h"

#if QV_HAVE_JPEGLIB && !defined(_WIN32)
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

namespace {

enum LoadState : int { kNotTried = 0, kLoaded, kMissing };

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> g_state{kNotTried};
JpegApi g_api;
const char *g_name = QV_JPEG_SONAME;

template <class F>
bool Find(void *handle, const char *name, F *function) {
  void *p = dlsym(handle, name);
  *function = reinterpret_cast<F>(p);
  return p != nullptr;
}

bool Load(JpegApi *api) {
  void *h = dlopen(g_name, RTLD_NOW | RTLD_LOCAL);
  if (!h) return false;
  void *turbo = dlsym(h, "jpeg_skip_scanlines");
  bool ok = turbo && Find(h, "jpeg_std_error", &api->StdError) &&
            Find(h, "jpeg_CreateDecompress", &api->CreateDecompress) &&
            Find(h, "jpeg_destroy_decompress", &api->DestroyDecompress) &&
            Find(h, "jpeg_abort_decompress", &api->AbortDecompress) &&
            Find(h, "jpeg_save_markers", &api->SaveMarkers) &&
            Find(h, "jpeg_read_header", &api->ReadHeader) &&
            Find(h, "jpeg_start_decompress", &api->StartDecompress) &&
            Find(h, "jpeg_read_scanlines", &api->ReadScanlines) &&
            Find(h, "jpeg_finish_decompress", &api->FinishDecompress) &&
            Find(h, "jpeg_resync_to_restart", &api->ResyncToRestart);
  if (!ok) dlclose(h);
  // A loaded library stays loaded for the life of the process.
  return ok;
}

}  // namespace

const JpegApi *JpegLibrary() {
  int s = g_state.load(std::memory_order_acquire);
  if (s == kNotTried) {
    pthread_mutex_lock(&g_lock);
    s = g_state.load(std::memory_order_relaxed);
    if (s == kNotTried) {
      s = Load(&g_api) ? kLoaded : kMissing;
      g_state.store(s, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_lock);
  }
  return s == kLoaded ? &g_api : nullptr;
}

#if QV_INTERNAL_API
void SetJpegLibraryNameForTest(const char *name) {
  pthread_mutex_lock(&g_lock);
  g_name = name ? name : QV_JPEG_SONAME;
  g_state.store(kNotTried, std::memory_order_release);
  pthread_mutex_unlock(&g_lock);
}
#endif

#else  // no jpeglib.h: no JPEG reader in this build

const JpegApi *JpegLibrary() { return nullptr; }

#if QV_INTERNAL_API
void SetJpegLibraryNameForTest(const char *) {}
#endif

#endif
