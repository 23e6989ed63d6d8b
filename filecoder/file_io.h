// The operating-system file access of Cindral, behind a small interface so that
// each platform supplies one module (file_posix.cpp here). Names passed in are
// at most 255 characters long. Sizes and offsets are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cindral {

struct File {
  intptr_t handle = -1;
};

enum class CreateResult { Created, Failed, SameAsSource };

// True when a file (or directory) of that name exists.
bool FileExists(const char* name);

// Opens an existing regular file for reading.
bool OpenForRead(const char* name, File& file);

// Creates or opens the destination for writing without truncating it or
// waiting, then refuses it (Failed) when it is not a regular file, or
// (SameAsSource, nothing changed) when it is the very file open as source,
// under any name or link; otherwise truncates it to empty.
CreateResult CreateForWrite(const char* name, const File& source, File& file);

bool FileSize(const File& file, uint64_t& size);
bool SeekTo(const File& file, uint64_t offset);

// Reads or writes exactly n bytes; false on any failure or early end of file.
bool ReadExact(const File& file, void* data, size_t n);
bool WriteExact(const File& file, const void* data, size_t n);

// Closes the file and marks it closed; false when closing reported an error.
bool CloseFile(File& file);

}  // namespace cindral
