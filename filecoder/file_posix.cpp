// POSIX file access for Cindral. Built with 64-bit file offsets on every
// target, so files beyond 2 GiB open and report their true size on i386 too.
#include "file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "Cindral needs 64-bit file offsets");

namespace cindral {

namespace {

int Fd(const File& file) { return static_cast<int>(file.handle); }

}  // namespace

bool FileExists(const char* name) {
  struct stat st;
  return stat(name, &st) == 0;
}

bool OpenForRead(const char* name, File& file) {
  // Non-blocking open so that a FIFO given by mistake cannot hang the call;
  // anything but a regular file is refused right after.
  int fd;
  do {
    fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return false;
  }
  file.handle = fd;
  return true;
}

CreateResult CreateForWrite(const char* name, const File& source, File& file) {
  struct stat src;
  if (fstat(Fd(source), &src) != 0) return CreateResult::Failed;
  // Non-blocking, so that a FIFO without a reader fails at once instead of
  // waiting for one; anything but a regular file is then refused.
  int fd;
  do {
    fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return CreateResult::Failed;
  struct stat dst;
  if (fstat(fd, &dst) != 0 || !S_ISREG(dst.st_mode)) {
    close(fd);
    return CreateResult::Failed;
  }
  if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    close(fd);
    return CreateResult::SameAsSource;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ftruncate(fd, 0) != 0) {
    close(fd);
    return CreateResult::Failed;
  }
  file.handle = fd;
  return CreateResult::Created;
}

bool FileSize(const File& file, uint64_t& size) {
  struct stat st;
  if (fstat(Fd(file), &st) != 0 || st.st_size < 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool SeekTo(const File& file, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  const off_t target = static_cast<off_t>(offset);
  return lseek(Fd(file), target, SEEK_SET) == target;
}

bool ReadExact(const File& file, void* data, size_t n) {
  auto* p = static_cast<unsigned char*>(data);
  while (n > 0) {
    const ssize_t got = read(Fd(file), p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteExact(const File& file, const void* data, size_t n) {
  auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const ssize_t put = write(Fd(file), p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool CloseFile(File& file) {
  if (file.handle < 0) return true;
  const int fd = Fd(file);
  file.handle = -1;
  // After close fails with EINTR the descriptor is gone on Linux; never retry.
  return close(fd) == 0;
}

}  // namespace cindral
