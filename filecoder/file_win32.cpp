// Win32 file access for Cindral: CreateFileA, ReadFile, WriteFile,
// SetFilePointerEx, GetFileSizeEx, CloseHandle, and FindFirstFileA/FindClose
// for the existence test. Handles are kept in File::handle; -1 is
// INVALID_HANDLE_VALUE, so "closed" reads the same as on POSIX.
#include "file_io.h"

#include <windows.h>

#include <cstring>

namespace cindral {

namespace {

HANDLE Handle(const File& file) { return reinterpret_cast<HANDLE>(file.handle); }

// ReadFile and WriteFile take 32-bit counts; larger requests go in pieces.
constexpr DWORD kMaxPiece = 1u << 30;

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!GetFileInformationByHandle(a, &ia) || !GetFileInformationByHandle(b, &ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace

bool FileExists(const char* name) {
  // FindFirstFileA treats * and ? as wildcards; no real file name holds them.
  if (!name || !*name || std::strpbrk(name, "*?")) return false;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(name, &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

bool OpenForRead(const char* name, File& file) {
  // Share everything, so that a destination opened later under another name
  // reaches the identity check instead of a sharing violation.
  HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // Only disk files: a pipe or console given by mistake could block.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return false;
  }
  file.handle = reinterpret_cast<intptr_t>(h);
  return true;
}

CreateResult CreateForWrite(const char* name, const File& source, File& file) {
  HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return CreateResult::Failed;
  // Only disk files: a device or pipe (NUL, CON, \\.\pipe\...) is refused.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return CreateResult::Failed;
  }
  if (SameFile(h, Handle(source))) {
    CloseHandle(h);
    return CreateResult::SameAsSource;
  }
  // Truncate only now that it is known not to be the source.
  if (!SetEndOfFile(h)) {
    CloseHandle(h);
    return CreateResult::Failed;
  }
  file.handle = reinterpret_cast<intptr_t>(h);
  return CreateResult::Created;
}

bool FileSize(const File& file, uint64_t& size) {
  LARGE_INTEGER n;
  if (!GetFileSizeEx(Handle(file), &n) || n.QuadPart < 0) return false;
  size = static_cast<uint64_t>(n.QuadPart);
  return true;
}

bool SeekTo(const File& file, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER to, at;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(Handle(file), to, &at, FILE_BEGIN) && at.QuadPart == to.QuadPart;
}

bool ReadExact(const File& file, void* data, size_t n) {
  auto* p = static_cast<unsigned char*>(data);
  while (n > 0) {
    const DWORD want = n < kMaxPiece ? static_cast<DWORD>(n) : kMaxPiece;
    DWORD got = 0;
    if (!ReadFile(Handle(file), p, want, &got, nullptr) || got == 0) return false;
    p += got;
    n -= got;
  }
  return true;
}

bool WriteExact(const File& file, const void* data, size_t n) {
  auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const DWORD want = n < kMaxPiece ? static_cast<DWORD>(n) : kMaxPiece;
    DWORD put = 0;
    if (!WriteFile(Handle(file), p, want, &put, nullptr) || put == 0) return false;
    p += put;
    n -= put;
  }
  return true;
}

bool CloseFile(File& file) {
  if (file.handle == -1) return true;
  HANDLE h = Handle(file);
  file.handle = -1;
  return CloseHandle(h) != 0;
}

}  // namespace cindral
