// POSIX calls the test sources use that the Windows C library lacks or spells
// differently. Force-included into the test sources of the Windows build only.
#pragma once
#ifdef __cplusplus
#include <cstdio>
#include <cstdlib>
#include <direct.h>
#include <stdio.h>
#include <stdlib.h>
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace qvshim {
char *MakeTempDir(char *pattern);
int HardLink(const char *from, const char *to);
int SymLink(const char *from, const char *to);
int ResizeFile(int fd, int64_t size);
}  // namespace qvshim

inline int mkdir(const char *path, int) { return _mkdir(path); }
inline char *mkdtemp(char *pattern) { return qvshim::MakeTempDir(pattern); }
inline int link(const char *from, const char *to) { return qvshim::HardLink(from, to); }
inline int symlink(const char *from, const char *to) { return qvshim::SymLink(from, to); }
inline int open64(const char *path, int flags) { return _open(path, flags | O_BINARY); }
#define ftruncate64(fd, size) qvshim::ResizeFile((fd), (size))

// The peer tools some tests call (netpbm and the like) are Linux programs that a
// Windows process cannot start: report them as unavailable, so those tests skip.
inline int qv_no_shell(const char *) { return -1; }
inline FILE *qv_no_pipe(const char *, const char *) { return nullptr; }
#define system(command) qv_no_shell(command)
#undef popen  // mingw's stdio.h maps it to _popen
#define popen(command, mode) qv_no_pipe((command), (mode))
#endif
