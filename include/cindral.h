/*
 * Cindral: file coding.
 *
 * A coded file is the 16 ASCII bytes "QVX_CODED_V_2.00" followed by the plain
 * content XORed with an RC4 key stream under a key the host sets. This is
 * obfuscation kept compatible with existing coded files, not encryption: RC4
 * is broken, there is no integrity check, and the key is a host constant.
 *
 * The key is process-wide: until SetCode succeeds it is 129 zero bytes.
 * CoDecFile and IsCoded may run on several threads at once for different
 * files (each CoDecFile call keeps its own cipher state and transfer buffer);
 * SetCode must not run while any other call does. DecFile2Buf carries one
 * piecewise decode's cipher state from call to call: one such decode at a
 * time. File names longer than 255 characters are refused, never cut.
 *
 * BufferDecodeRecord layout (packed, no gaps). ILP32 / LP64 offsets:
 *   restart 0/0, fileName 1/1, buffer 5/9, bufferSize 9/17,
 *   bytesDelivered 13/21, status 17/25, position 19/27; size 23/31.
 */
#ifndef CINDRAL_H
#define CINDRAL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__i386__) || defined(_M_IX86)
#  if defined(_MSC_VER)
#    define CINDRAL_STDCALL __stdcall
#  else
#    define CINDRAL_STDCALL __attribute__((stdcall))
#  endif
#else
#  define CINDRAL_STDCALL
#endif

#if defined(_WIN32)
#  define CINDRAL_EXPORT
#else
#  define CINDRAL_EXPORT __attribute__((visibility("default")))
#endif

#define CINDRAL_HEADER "QVX_CODED_V_2.00"
#define CINDRAL_HEADER_SIZE 16
#define CINDRAL_PASS_PHRASE "LumaGateOn"
#define CINDRAL_VERSION "2.02"
#define CINDRAL_KEY_MAX 128       /* longer keys keep their first 128 bytes */
#define CINDRAL_NAME_MAX 255      /* longest file name accepted */
#define CINDRAL_MIN_BUFFER 1024   /* smallest DecFile2Buf bufferSize */
#define CINDRAL_TRANSFER_SIZE 65536

/* Results of CoDecFile, DecFile2Buf (status) and IsCoded. */
enum {
  CindralSuccess = 0,        /* CoDecFile: done */
  CindralMoreData = 0,       /* DecFile2Buf: more data follows */
  CindralLastPiece = 1,      /* DecFile2Buf: the last piece was delivered */
  CindralNotCoded = 0,       /* IsCoded: plain file */
  CindralCoded = 1,          /* IsCoded: carries the header */
  CindralNotFound = -1,      /* file does not exist (IsCoded: any failure) */
  CindralOpenFailed = -2,    /* file cannot be opened */
  CindralCreateFailed = -3,  /* destination cannot be created, or is the source */
  CindralIoFailed = -4,      /* read or write failed; file too large to describe */
  CindralCloseFailed = -5,   /* closing failed */
  CindralBufferTooSmall = -10, /* bufferSize below CINDRAL_MIN_BUFFER */
  CindralNoHeader = -11      /* shorter than 16 bytes, or header missing */
};

#if defined(_MSC_VER)
#  pragma pack(push, 1)
#  define CINDRAL_PACKED
#else
#  define CINDRAL_PACKED __attribute__((packed))
#endif

/* Piecewise decode: fill it with restart = 1, call DecFile2Buf, consume
   bytesDelivered bytes and call again while status is CindralMoreData. */
typedef struct CINDRAL_PACKED BufferDecodeRecord {
  uint8_t restart;        /* host: non-zero begins the file again; cleared by the library */
  const char* fileName;   /* host: NUL-terminated name of the coded file */
  void* buffer;           /* host: where the plain bytes go */
  int32_t bufferSize;     /* host: capacity of buffer, at least CINDRAL_MIN_BUFFER */
  int32_t bytesDelivered; /* library: plain bytes placed in buffer by this call */
  int16_t status;         /* library: 0 more, 1 last piece, negative: failure */
  int32_t position;       /* library: file offset of the next byte; 0 before the header */
} BufferDecodeRecord;

#if defined(_MSC_VER)
#  pragma pack(pop)
#endif

#ifdef __cplusplus
#  define CINDRAL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#  define CINDRAL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
CINDRAL_STATIC_ASSERT(sizeof(BufferDecodeRecord) == 23, "BufferDecodeRecord is 23 bytes");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, restart) == 0, "restart");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, fileName) == 1, "fileName");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, buffer) == 5, "buffer");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, bufferSize) == 9, "bufferSize");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, bytesDelivered) == 13, "bytesDelivered");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, status) == 17, "status");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, position) == 19, "position");
#else
CINDRAL_STATIC_ASSERT(sizeof(BufferDecodeRecord) == 31, "BufferDecodeRecord is 31 bytes");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, restart) == 0, "restart");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, fileName) == 1, "fileName");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, buffer) == 9, "buffer");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, bufferSize) == 17, "bufferSize");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, bytesDelivered) == 21, "bytesDelivered");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, status) == 25, "status");
CINDRAL_STATIC_ASSERT(offsetof(BufferDecodeRecord, position) == 27, "position");
#endif

/* Sets the key when passPhrase is exactly "LumaGateOn" and keyText is not
   empty; keeps the first 128 characters. Returns 1 accepted, 0 refused (the
   previous key stays). The key takes effect at the next coding or restart. */
CINDRAL_EXPORT unsigned char CINDRAL_STDCALL SetCode(const char* passPhrase, const char* keyText);

/* Codes a plain file into destName, or decodes a coded one (header present).
   0 on success, or -1 .. -5; -3 also when destName is the source file itself
   (under any name) or exists but is not a regular file, which is refused
   before anything is written or waited for. A source name longer than 255
   characters gives -2, such a destination name -3. */
CINDRAL_EXPORT int32_t CINDRAL_STDCALL CoDecFile(const char* sourceName, const char* destName);

/* "2.02", in a static buffer of the library; do not free or write it. */
CINDRAL_EXPORT const char* CINDRAL_STDCALL GetCindralVersion(void);

/* 1 coded, 0 not coded, -1 missing, shorter than 16 bytes or unreadable. */
CINDRAL_EXPORT int32_t CINDRAL_STDCALL IsCoded(const char* fileName);

/* Decodes the next piece of record->fileName into record->buffer. */
CINDRAL_EXPORT void CINDRAL_STDCALL DecFile2Buf(BufferDecodeRecord* record);

#ifdef __cplusplus
}
#endif

#endif /* CINDRAL_H */
