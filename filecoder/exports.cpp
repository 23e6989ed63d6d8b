// The five exports of Cindral. Process-wide state: the key store, and the
// cipher state that carries a piecewise decode from one DecFile2Buf call to
// the next. Whole-file coding keeps its cipher state and transfer buffer to
// itself, so calls on different files may run on several threads at once.
#include <cindral.h>

#include <cstdlib>
#include <cstring>

#include "cindral_internal.h"
#include "file_io.h"
#include "rc4.h"

namespace cindral {

namespace {

constexpr size_t kHeaderSize = CINDRAL_HEADER_SIZE;
static_assert(sizeof(CINDRAL_HEADER) == kHeaderSize + 1, "header is 16 characters");
constexpr uint16_t kDefaultKeyLength = CINDRAL_KEY_MAX + 1;

// The key store: up to 128 key bytes and a length of 1..129. The load-time key
// is 129 zero bytes; its last byte lies beyond the store and the key schedule
// reads it as zero rather than reading past the array.
struct KeyStore {
  uint8_t bytes[CINDRAL_KEY_MAX];
  uint16_t length;
};

KeyStore gKey = {{}, kDefaultKeyLength};
Rc4State gPiecewise;  // the piecewise decode in progress (DecFile2Buf)
char gVersion[sizeof(CINDRAL_VERSION)];

void RunKeySchedule(Rc4State& state) { Rc4Schedule(state, gKey.bytes, sizeof gKey.bytes, gKey.length); }

bool IsHeader(const uint8_t* bytes) { return std::memcmp(bytes, CINDRAL_HEADER, kHeaderSize) == 0; }

// A name longer than the characters that count is refused, never cut: cut,
// it could name another, existing file.
bool NameFits(const char* name) { return strnlen(name, CINDRAL_NAME_MAX + 1) <= CINDRAL_NAME_MAX; }

// Reads, keys and writes `remaining` bytes through the call's transfer buffer.
bool Transfer(const File& in, const File& out, uint64_t remaining, Rc4State& cipher, uint8_t* buffer) {
  while (remaining > 0) {
    const size_t piece =
        remaining < CINDRAL_TRANSFER_SIZE ? static_cast<size_t>(remaining) : CINDRAL_TRANSFER_SIZE;
    if (!ReadExact(in, buffer, piece)) return false;
    Rc4Apply(cipher, buffer, piece);
    if (!WriteExact(out, buffer, piece)) return false;
    remaining -= piece;
  }
  return true;
}

}  // namespace

void RestoreDefaultKey() {
  std::memset(gKey.bytes, 0, sizeof gKey.bytes);
  gKey.length = kDefaultKeyLength;
}

}  // namespace cindral

using namespace cindral;

extern "C" {

unsigned char CINDRAL_STDCALL SetCode(const char* passPhrase, const char* keyText) {
  if (!passPhrase || std::strcmp(passPhrase, CINDRAL_PASS_PHRASE) != 0) return 0;
  if (!keyText) return 0;
  // Of the first 255 characters only the first 128 are kept.
  const size_t length = strnlen(keyText, CINDRAL_KEY_MAX);
  if (length == 0) return 0;
  std::memset(gKey.bytes, 0, sizeof gKey.bytes);
  std::memcpy(gKey.bytes, keyText, length);
  gKey.length = static_cast<uint16_t>(length);
  return 1;
}

int32_t CINDRAL_STDCALL CoDecFile(const char* sourceName, const char* destName) {
  if (!sourceName) return CindralNotFound;
  if (!NameFits(sourceName)) return CindralOpenFailed;
  if (!FileExists(sourceName)) return CindralNotFound;
  uint8_t* buffer = static_cast<uint8_t*>(std::malloc(CINDRAL_TRANSFER_SIZE));
  if (!buffer) return CindralIoFailed;
  File in;
  if (!OpenForRead(sourceName, in)) {
    std::free(buffer);
    return CindralOpenFailed;
  }
  File out;
  // Refuses the source itself, and anything but a regular file or a new
  // name, as destination before truncating anything.
  if (!destName || !NameFits(destName) || CreateForWrite(destName, in, out) != CreateResult::Created) {
    CloseFile(in);
    std::free(buffer);
    return CindralCreateFailed;
  }
  Rc4State cipher;
  RunKeySchedule(cipher);

  uint64_t size = 0;
  bool ok = FileSize(in, size);
  if (ok && size < kHeaderSize) {
    ok = WriteExact(out, CINDRAL_HEADER, kHeaderSize);
  } else if (ok) {
    uint8_t first[kHeaderSize];
    ok = ReadExact(in, first, kHeaderSize);
    if (ok && IsHeader(first)) {
      size -= kHeaderSize;  // decoding: the header is dropped
    } else if (ok) {
      ok = SeekTo(in, 0) && WriteExact(out, CINDRAL_HEADER, kHeaderSize);
    }
  }
  if (ok) ok = Transfer(in, out, size, cipher, buffer);
  std::free(buffer);

  int32_t result = ok ? CindralSuccess : CindralIoFailed;
  const bool closedIn = CloseFile(in);
  const bool closedOut = CloseFile(out);
  if (result == CindralSuccess && !(closedIn && closedOut)) result = CindralCloseFailed;
  return result;
}

const char* CINDRAL_STDCALL GetCindralVersion(void) {
  std::memcpy(gVersion, CINDRAL_VERSION, sizeof gVersion);
  return gVersion;
}

int32_t CINDRAL_STDCALL IsCoded(const char* fileName) {
  if (!fileName || !NameFits(fileName) || !FileExists(fileName)) return CindralNotFound;
  File file;
  if (!OpenForRead(fileName, file)) return CindralNotFound;
  uint8_t first[kHeaderSize];
  const bool read = ReadExact(file, first, kHeaderSize);
  const bool closed = CloseFile(file);
  if (!read || !closed) return CindralNotFound;
  return IsHeader(first) ? CindralCoded : CindralNotCoded;
}

void CINDRAL_STDCALL DecFile2Buf(BufferDecodeRecord* record) {
  if (!record) return;
  record->bytesDelivered = 0;
  if (record->restart) {
    RunKeySchedule(gPiecewise);
    record->restart = 0;
    record->position = 0;
    record->status = CindralMoreData;
  }
  if (record->bufferSize < CINDRAL_MIN_BUFFER) {
    record->status = CindralBufferTooSmall;
    return;
  }
  const char* name = record->fileName;
  if (!name) {
    record->status = CindralNotFound;
    return;
  }
  if (!NameFits(name)) {
    record->status = CindralOpenFailed;
    return;
  }
  if (!FileExists(name)) {
    record->status = CindralNotFound;
    return;
  }
  File file;
  if (!OpenForRead(name, file)) {
    record->status = CindralOpenFailed;
    return;
  }

  // position is a signed 32-bit field: a file it cannot describe throughout
  // (2 GiB or more) is refused here instead of letting the offset wrap.
  uint64_t size = 0;
  int16_t status = CindralMoreData;
  if (!FileSize(file, size) || size > static_cast<uint64_t>(INT32_MAX)) status = CindralIoFailed;

  if (status == CindralMoreData && record->position == 0) {
    uint8_t first[kHeaderSize];
    if (size < kHeaderSize) {
      status = CindralNoHeader;
    } else if (!ReadExact(file, first, kHeaderSize)) {
      status = CindralIoFailed;
    } else {
      record->position = static_cast<int32_t>(kHeaderSize);
      if (!IsHeader(first)) status = CindralNoHeader;
    }
  }

  if (status == CindralMoreData) {
    const int32_t position = record->position;
    // A position outside the file (it shrank, or the record was altered) is a
    // failed read, not a negative remainder.
    if (position < 0 || static_cast<uint64_t>(position) > size || !record->buffer) {
      status = CindralIoFailed;
    } else {
      const uint64_t remaining = size - static_cast<uint64_t>(position);
      const bool last = remaining <= static_cast<uint64_t>(record->bufferSize);
      const int32_t take = last ? static_cast<int32_t>(remaining) : record->bufferSize;
      auto* buffer = static_cast<uint8_t*>(record->buffer);
      if (!SeekTo(file, static_cast<uint64_t>(position)) ||
          !ReadExact(file, buffer, static_cast<size_t>(take))) {
        status = CindralIoFailed;
      } else {
        Rc4Apply(gPiecewise, buffer, static_cast<size_t>(take));
        record->position = position + take;
        record->bytesDelivered = take;
        status = last ? CindralLastPiece : CindralMoreData;
      }
    }
  }

  if (!CloseFile(file) && status >= 0) status = CindralCloseFailed;
  record->status = status;
}

}  // extern "C"
