#include "tool_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace qvtool {
namespace {

// Temporary files still to be removed if a signal ends the process.
constexpr int kTempSlots = 8;
char g_temps[kTempSlots][PATH_MAX];

extern "C" void RemoveTempsAndDie(int sig) {
  for (auto &t : g_temps)
    if (t[0]) unlink(t);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Mapped inputs. Another process may cut a file short while it is mapped
// here; reading a page past its new end then raises SIGBUS. Every mapping
// is entered in this table before its first read and taken out before it is
// unmapped, so a range found here is always mapped. The handler reads the
// table, so it is a fixed array of lock-free atomics: a slot is taken with
// `taken`, and `version` is odd while its range changes. At most one input
// is mapped per thread, and quorvin batch runs at most 1024 threads; an
// input that finds no free slot is streamed instead.
constexpr int kMapSlots = 1024 + 16;
struct MapSlot {
  std::atomic<bool> taken{false};
  std::atomic<unsigned> version{0};
  std::atomic<uintptr_t> begin{0}, end{0};
  std::atomic<bool> cut{false};  // pages past the file's end were read
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free &&
              std::atomic<uintptr_t>::is_always_lock_free);
MapSlot g_maps[kMapSlots];
std::atomic<uintptr_t> g_pageSize{0};

int TakeMapSlot() {
  for (int i = 0; i < kMapSlots; ++i)
    if (!g_maps[i].taken.exchange(true)) return i;
  return -1;
}

void SetMapRange(MapSlot &s, const void *at, size_t length) {
  s.version.fetch_add(1);
  s.begin = reinterpret_cast<uintptr_t>(at);
  s.end = reinterpret_cast<uintptr_t>(at) + length;
  s.cut = false;
  s.version.fetch_add(1);
}

// A SIGBUS on a mapped input: zero pages take the place of the rest of the
// mapping, from the faulting page on, and the input is marked cut. The read
// is then retried and sees zeros, the decoder finishes or fails on them, and
// the tool reports the input as cut short whatever the decoder made of it.
// Anywhere else the process ends as from the other signals. Only atomics and
// plain system calls here (mmap is one on the systems the tools run on).
extern "C" void OnBusError(int sig, siginfo_t *info, void *) {
  int saved = errno;
  uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  if (info->si_code == BUS_ADRERR) {
    for (MapSlot &s : g_maps) {
      unsigned version = s.version.load();
      if (version & 1) continue;
      uintptr_t begin = s.begin.load(), end = s.end.load();
      if (s.version.load() != version || at < begin || at >= end) continue;
      uintptr_t page = at & ~(g_pageSize.load() - 1);
      if (mmap(reinterpret_cast<void *>(page), end - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) == MAP_FAILED)
        break;
      s.cut = true;
      errno = saved;
      return;
    }
  }
  RemoveTempsAndDie(sig);
}

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, RemoveTempsAndDie);
    struct sigaction bus {};
    bus.sa_sigaction = OnBusError;
    bus.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&bus.sa_mask);
    sigaction(SIGBUS, &bus, nullptr);
  });
}

// The decoder reads its input on a job stack of a few dozen KiB, which may
// have too little room below it for a signal's frame: the SIGBUS handler
// runs on a stack of its own, one per thread that maps an input (kept when
// the thread already has one, as under AddressSanitizer).
constexpr size_t kSignalStackSize = 64 * 1024;
struct SignalStack {
  void *base = nullptr;
  ~SignalStack() {
    if (!base) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(base, kSignalStackSize);
  }
};
thread_local SignalStack t_signalStack;

bool HaveSignalStack() {
  stack_t now{};
  if (t_signalStack.base || (sigaltstack(nullptr, &now) == 0 && !(now.ss_flags & SS_DISABLE))) return true;
  void *base = mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return false;
  stack_t stack{};
  stack.ss_sp = base;
  stack.ss_size = kSignalStackSize;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(base, kSignalStackSize);
    return false;
  }
  t_signalStack.base = base;
  return true;
}

#if QVTOOL_TEST_HOOKS
// For the tools' tests, and only in builds that have them:
// QVTOOL_TEST_CUT_INPUT=BYTES:PATH cuts the input opened as PATH to BYTES
// through a descriptor of its own right after it is mapped, before anything
// reads it, as another process truncating the file would.
void CutForTest(const std::string &path) {
  const char *value = getenv("QVTOOL_TEST_CUT_INPUT");
  if (!value) return;
  char *rest = nullptr;
  unsigned long long bytes = strtoull(value, &rest, 10);
  if (rest == value || *rest != ':' || path != rest + 1) return;
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) perror(path.c_str());
  close(fd);
}
#endif

// Outputs are opened and committed on several threads at once (quorvin batch).
std::mutex g_tempsLock;

void WatchTemp(const std::string &path) {
  InstallHandlers();
  std::lock_guard<std::mutex> lock(g_tempsLock);
  for (auto &t : g_temps)
    if (!t[0] && path.size() < sizeof t) {
      memcpy(t, path.c_str(), path.size() + 1);
      return;
    }
}

void ForgetTemp(const std::string &path) {
  std::lock_guard<std::mutex> lock(g_tempsLock);
  for (auto &t : g_temps)
    if (t[0] && path == t) t[0] = 0;
}

std::string TempDir() {
  const char *t = getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}

// mkstemp with the name template dir/prefixXXXXXX; -1 with errno set on failure.
int MakeTemp(const std::string &dir, const std::string &prefix, std::string *path) {
  std::vector<char> name(dir.begin(), dir.end());
  std::string rest = "/" + prefix + "XXXXXX";
  name.insert(name.end(), rest.begin(), rest.end());
  name.push_back(0);
  int fd = mkstemp(name.data());
  if (fd < 0) return -1;
  *path = name.data();
  WatchTemp(*path);
  return fd;
}

bool WriteAll(int fd, const uint8_t *p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Copies from the current position of in to the end into out; errno tells why not.
bool CopyStream(int in, int out, bool *readFailed) {
  static uint8_t buffer[1 << 16];
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *readFailed = true;
      return false;
    }
    if (got == 0) return true;
    if (!WriteAll(out, buffer, static_cast<size_t>(got))) {
      *readFailed = false;
      return false;
    }
  }
}

std::string DirName(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// ".name." for a temporary file beside path.
std::string TempPrefix(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string prefix(1, '.');
  prefix.append(path, slash == std::string::npos ? 0 : slash + 1, std::string::npos);
  prefix.push_back('.');
  return prefix;
}

}  // namespace

std::string Reason(int error) { return strerror(error); }

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

InputFile::~InputFile() {
  if (map_) {
    MapSlot &s = g_maps[slot_];
    SetMapRange(s, nullptr, 0);
    munmap(map_, mapLength_);
    s.taken = false;
  }
  if (fd_ >= 0) close(fd_);
  if (spooled_) {
    unlink(path_.c_str());
    ForgetTemp(path_);
  }
}

bool InputFile::Open(const std::string &path, std::string *error) {
  bool standardInput = path == "-";
  display_ = standardInput ? "standard input" : path;
  int fd = standardInput ? dup(0) : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 || fstat(fd, &st_) != 0) {
    *error = display_ + ": " + Reason(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  if (S_ISDIR(st_.st_mode)) {
    *error = display_ + ": " + Reason(EISDIR);
    close(fd);
    return false;
  }
  if (S_ISREG(st_.st_mode)) {
    fd_ = fd;
    path_ = standardInput ? "/dev/stdin" : path;
    return true;
  }
  // A pipe, terminal or device: keep a copy that can be read by position.
  std::string temp;
  int copy = MakeTemp(TempDir(), "quorvin-input-", &temp);
  if (copy < 0) {
    *error = TempDir() + ": " + Reason(errno) + " (cannot hold a copy of " + display_ + ")";
    close(fd);
    return false;
  }
  spooled_ = true;
  path_ = temp;
  fd_ = copy;
  bool readFailed = false;
  bool ok = CopyStream(fd, copy, &readFailed);
  int why = errno;
  close(fd);
  if (!ok) {
    *error = readFailed ? display_ + ": " + Reason(why)
                        : temp + ": " + Reason(why) + " (copying " + display_ + ")";
    return false;
  }
  if (fstat(copy, &st_) != 0) {
    *error = temp + ": " + Reason(errno);
    return false;
  }
  return true;
}

bool InputFile::Map() {
  if (map_) return true;
  if (spooled_ || fd_ < 0 || !S_ISREG(st_.st_mode) || st_.st_size <= 0) return false;
  uint64_t size = static_cast<uint64_t>(st_.st_size);
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (size > SIZE_MAX - 2 * page) return false;
  size_t length = static_cast<size_t>((size + 1 + page - 1) / page * page);
  // Without the handler's slot and stack the file is streamed, which a cut
  // cannot hurt.
  InstallHandlers();
  if (!HaveSignalStack()) return false;
  int slot = TakeMapSlot();
  if (slot < 0) return false;
  // Room for the file and a zero page behind it when the file ends on a page
  // boundary; the file is mapped over its start.
  void *area = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area != MAP_FAILED &&
      mmap(area, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE | MAP_FIXED, fd_, 0) == MAP_FAILED) {
    munmap(area, length);
    area = MAP_FAILED;
  }
  if (area == MAP_FAILED) {
    g_maps[slot].taken = false;
    return false;
  }
  SetMapRange(g_maps[slot], area, length);
  madvise(area, static_cast<size_t>(size), MADV_SEQUENTIAL);
  map_ = static_cast<uint8_t *>(area);
  mapLength_ = length;
  slot_ = slot;
#if QVTOOL_TEST_HOOKS
  CutForTest(path_);
#endif
  return true;
}

bool InputFile::cut() const { return map_ && g_maps[slot_].cut; }

void InputFile::LetGo() {
  if (map_) madvise(map_, static_cast<size_t>(st_.st_size), MADV_DONTNEED);
}

OutputFile::~OutputFile() {
  if (!committed_) Abandon();
}

bool OutputFile::Open(const std::string &target, const InputFile *input, std::string *error, size_t pathLimit) {
  stdout_ = target == "-";
  display_ = stdout_ ? "standard output" : target;
  target_ = target;
  std::string dir = TempDir(), prefix = "quorvin-output-";
  struct stat st;
  if (stdout_) {
    if (isatty(1)) {
      *error = "standard output is a terminal; redirect it or name an output file";
      return false;
    }
    if (fstat(1, &st) == 0 && input && SameFile(st, input->status())) {
      *error = display_ + ": is the input file; refusing to overwrite it";
      return false;
    }
  } else if (stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *error = display_ + ": " + Reason(EISDIR);
      return false;
    }
    if (input && SameFile(st, input->status())) {
      *error = display_ + ": is the input file " + input->display() + "; refusing to overwrite it";
      return false;
    }
    if (access(target.c_str(), W_OK) != 0) {
      *error = display_ + ": " + Reason(errno);
      return false;
    }
    if (S_ISREG(st.st_mode)) {
      // Replace the file a link points to, not the link.
      char resolved[PATH_MAX];
      if (realpath(target.c_str(), resolved)) target_ = resolved;
      dir = DirName(target_);
      prefix = TempPrefix(target_);
    }
    // A device or pipe keeps the temporary file in TMPDIR and is written in
    // one go at the end.
  } else if (errno != ENOENT) {
    *error = display_ + ": " + Reason(errno);
    return false;
  } else {
    dir = DirName(target);
    prefix = TempPrefix(target);
  }
  // dir/prefixXXXXXX; a name too long for the limit gives way to ".XXXXXX".
  if (pathLimit && dir.size() + 1 + prefix.size() + 6 > pathLimit) prefix.assign(1, '.');
  if (pathLimit && dir.size() + 1 + prefix.size() + 6 > pathLimit) {
    error->assign(display_).append(": the folder's path is ").append(std::to_string(dir.size()));
    error->append(" characters long, too long for a file beside it within ").append(std::to_string(pathLimit));
    return false;
  }
  fd_ = MakeTemp(dir, prefix, &temp_);
  if (fd_ < 0) {
    *error = display_ + ": " + Reason(errno) + " (cannot create a file in " + dir + ")";
    return false;
  }
  return true;
}

void OutputFile::Abandon() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    ForgetTemp(temp_);
    temp_.clear();
  }
}

bool OutputFile::Commit(std::string *error) {
  struct stat st;
  bool copy = stdout_ || (stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode));
  if (copy) {
    int out = stdout_ ? 1 : open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    bool readFailed = false;
    bool ok = out >= 0 && lseek(fd_, 0, SEEK_SET) == 0 && CopyStream(fd_, out, &readFailed);
    int why = errno;
    if (out > 1 && close(out) != 0 && ok) ok = false, why = errno;
    if (!ok) {
      *error = (readFailed ? temp_ : display_) + ": " + Reason(why);
      return false;
    }
    Abandon();
    committed_ = true;
    return true;
  }
  // An existing target is replaced only once its successor is on the disk,
  // so not even a crash can leave it lost; a new name risks nothing and is
  // not waited for.
  bool replacing = stat(target_.c_str(), &st) == 0;
  if (replacing) {
    fchmod(fd_, st.st_mode & 07777);
  } else {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
  }
  if ((replacing && fsync(fd_) != 0) || close(fd_) != 0) {
    fd_ = -1;
    *error = display_ + ": " + Reason(errno);
    return false;
  }
  fd_ = -1;
  if (rename(temp_.c_str(), target_.c_str()) != 0) {
    *error = display_ + ": " + Reason(errno);
    return false;
  }
  ForgetTemp(temp_);
  temp_.clear();
  committed_ = true;
  return true;
}

}  // namespace qvtool
