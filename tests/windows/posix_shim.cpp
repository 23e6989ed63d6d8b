#include "posix_shim.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace qvshim {

char *MakeTempDir(char *pattern) {
  const size_t n = strlen(pattern);
  if (n < 6 || strcmp(pattern + n - 6, "XXXXXX") != 0) return nullptr;
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = n - 6; i < n; ++i) {
      seed = seed * 1103515245u + 12345u;
      pattern[i] = kChars[(seed >> 16) % (sizeof kChars - 1)];
    }
    if (CreateDirectoryA(pattern, nullptr)) return pattern;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
  }
  return nullptr;
}

int HardLink(const char *from, const char *to) { return CreateHardLinkA(to, from, nullptr) ? 0 : -1; }

// Some systems report success without making the link; only a link that is
// there counts.
int SymLink(const char *from, const char *to) {
  if (!CreateSymbolicLinkA(to, from, SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) return -1;
  const DWORD attributes = GetFileAttributesA(to);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 0 : -1;
}

int ResizeFile(int fd, int64_t size) { return _chsize_s(fd, size) == 0 ? 0 : -1; }

}  // namespace qvshim
