// Files as the command-line tools use them: an input is a path or standard
// input ("-"), read by position; an output is written to a temporary file
// beside its target and renamed over it only when complete, so a failure
// leaves the target exactly as it was and an output that is the input is
// refused before anything is opened for writing.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>

namespace qvtool {

// "No such file or directory", "Permission denied", ... for an errno value.
std::string Reason(int error);

// What is said of an input cut short under its mapping, after its name.
constexpr const char *kCutShort = "the file was cut short while it was read";

// An open input. Standard input and anything that is not a regular file are
// first copied into a temporary file, so every input can be read by position
// and has a name.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;
  ~InputFile();

  // False with "NAME: reason" in *error.
  bool Open(const std::string &path, std::string *error);

  int fd() const { return fd_; }
  const std::string &display() const { return display_; }  // the name for messages
  const std::string &path() const { return path_; }        // a name the file can be opened by
  const struct stat &status() const { return st_; }
  uint64_t size() const { return static_cast<uint64_t>(st_.st_size); }
  bool spooled() const { return spooled_; }  // a copy of standard input or a pipe

  // Maps a regular file (not a spooled copy) read-only, with one more
  // readable byte past its end (the spare byte of a queue that holds the
  // whole file). False, with nothing mapped, for anything else. Should the
  // file be cut short while it is mapped, reading past its new end gives
  // zeros instead of SIGBUS, and cut() says so.
  bool Map();
  const uint8_t *data() const { return map_; }
  // Lets go of the mapped pages: they stay in the page cache and come back
  // when read again. Called now and then while a decode runs, it keeps the
  // resident memory of a large mapped file to what was read since.
  void LetGo();
  // Whether the mapped file was cut short while it was read: the pages past
  // its new end read as zeros, so nothing decoded from it can be trusted and
  // its output is not to be kept (kCutShort says why).
  bool cut() const;

 private:
  int fd_ = -1;
  bool spooled_ = false;
  uint8_t *map_ = nullptr;
  size_t mapLength_ = 0;
  int slot_ = -1;  // the mapping's entry for the SIGBUS handler
  std::string display_, path_;
  struct stat st_ {};
};

// An output target: a path, or "-" for standard output.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile();  // abandons an output that was not committed

  // Refuses a target that is the input (same device and inode, through any
  // name or link) or a directory, then creates the temporary file beside the
  // target (in TMPDIR for standard output). input may be null. With
  // pathLimit, the temporary file's path stays within that many characters
  // (a shorter name when the usual one would not), else Open fails.
  bool Open(const std::string &target, const InputFile *input, std::string *error, size_t pathLimit = 0);

  int fd() const { return fd_; }
  const std::string &tempPath() const { return temp_; }
  const std::string &display() const { return display_; }
  bool toStdout() const { return stdout_; }

  // Makes the output final: rename over the target (keeping an existing
  // target's permissions), or copy to standard output.
  bool Commit(std::string *error);
  // Removes the temporary file; the target is untouched.
  void Abandon();

 private:
  int fd_ = -1;
  bool stdout_ = false, committed_ = false;
  std::string target_, temp_, display_;
};

// Whether two open files are the same file.
bool SameFile(const struct stat &a, const struct stat &b);

}  // namespace qvtool
