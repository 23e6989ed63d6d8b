// Deflate decompressor (raw deflate and zlib streams) for the PNG and TIFF
// readers.
//
// The decoder owns no memory: the caller asks InflateStorageSize for the bytes
// a decoder needs (its tables, a 32 KiB history with an output area behind
// it, and an input buffer of the caller's size), hands that storage to
// InflateInit, and pulls decoded bytes with InflateRead. Compressed bytes come
// from a byte-source callback that refills the decoder's input buffer; it may
// suspend the whole job while it waits for input, since all decoder state
// lives in the storage block. Nothing here fails the job: every call returns
// a result, and a malformed stream gives one of the QV_ERR_INFLATE_ statuses
// of quorvin.h, which the caller turns into a failure.
//
// Decoding runs ahead of the reads by up to the output area, so the source
// may be asked for input before the bytes it yields are read; it is never
// asked for more once the stream has ended.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Option flags.
enum : uint8_t {
  InflateZlib = 1,  // a zlib stream: header checked, Adler-32 of the data checked at the end
  // A short stream: literal tables without their two-literal entries, whose
  // building costs more than they save on a few kilobytes of output.
  InflateNoPairs = 2,
  // A caller that reads the data it needs and never the stream's end (TIFF
  // strips): the zlib check value is neither computed nor compared.
  InflateNoCheck = 4,
};

// Places up to the buffer size given to InflateInit into buffer; returns the
// count, 0 when no more bytes exist.
using InflateByteSource = uint32_t (*)(void *context, uint8_t *buffer);
// The other kind of source (InflateUseView): points at the next compressed
// bytes where they already lie and returns their count, 0 when no more
// exist. They must stay unchanged until the decoder asks again.
using InflateByteView = uint32_t (*)(void *context, const uint8_t **bytes);

// Result statuses besides the QV_ERR_INFLATE_ errors (negative).
enum : int32_t {
  InflateMore = 0,    // every byte asked for was produced; the stream may go on
  InflateEnded = 1,   // the stream has ended cleanly (and its check value matched)
  InflateExcess = 2,  // InflateFinish: the stream holds more data than was read
};

struct InflateResult {
  size_t Produced;  // bytes stored, all of them good even when Status is an error
  int32_t Status;   // InflateMore, InflateEnded, InflateExcess or a QV_ERR_INFLATE_ status
};

// Table sizes: a first-level table of 2^11 (lengths and literals) or 2^8
// (distances) entries, followed by the sub-tables of longer codes. A
// sub-table of s bits serves at least s + 1 codes, so 286 codes with at most
// 4 bits beyond the first level need at most 57 sub-tables of 16 entries, and
// 30 distance codes with at most 7 bits beyond it at most 3 x 128 + 32.
constexpr uint32_t kInflateLitLenBits = 11;
constexpr uint32_t kInflateDistBits = 8;
constexpr uint32_t kInflateCodeLengthBits = 7;
constexpr uint32_t kInflateLitLenTable = (1u << kInflateLitLenBits) + 57 * 16;
constexpr uint32_t kInflateDistTable = (1u << kInflateDistBits) + 3 * 128 + 32;

struct InflateDecoder {
  // Input bits not yet used, lowest first: BitCount of them, then possibly
  // the low bits of *InNext again (never anything else).
  uint64_t Bits;
  uint32_t BitCount;
  int32_t State;
  int32_t Error;        // the status of a failed stream, kept for the read that reaches it
  uint32_t StoredLeft;  // bytes of a stored block still to copy
  uint32_t Adler;       // Adler-32 of the bytes decoded so far
  uint32_t InputSize;
  uint8_t Flags;
  uint8_t LastBlock;    // the block being decoded is the stream's last
  uint8_t FixedTables;  // the tables hold the fixed codes
  uint8_t Reserved;
  const uint8_t *InNext;  // next input byte not yet in Bits
  const uint8_t *InEnd;   // end of the bytes the source placed
  uint8_t *Input;         // the input buffer the source fills
  InflateByteSource Source;
  InflateByteView View;  // set: bytes are read where the view points, not copied
  void *SourceContext;
  // Decoded bytes: Window holds 32 KiB of history followed by the output
  // area. Bytes in [ReadNext, Out) are decoded but not yet read; a distance
  // may reach back to HistoryStart. When the area is used up and every byte
  // read, its last 32 KiB move down to become the history.
  uint8_t *Window;
  uint8_t *HistoryStart;
  uint8_t *ReadNext;
  uint8_t *Out;
  uint8_t *AreaEnd;
  uint32_t LitLen[kInflateLitLenTable];
  uint32_t Dist[kInflateDistTable];
  uint32_t CodeLengthTable[1u << kInflateCodeLengthBits];
  uint8_t Lengths[288 + 32];  // code lengths of a dynamic block, literal/length then distance
  uint16_t Sorted[288];       // symbols by code length while a table is built
};

// Bytes of storage for a decoder with an input buffer of bufferSize bytes.
size_t InflateStorageSize(uint32_t bufferSize);
// Start a stream in storage (of at least InflateStorageSize(bufferSize)
// bytes; storage used by an earlier stream may be given again). Returns null
// for a null storage or a zero buffer size.
InflateDecoder *InflateInit(void *storage, uint32_t bufferSize, uint8_t flags, InflateByteSource source,
                            void *sourceContext);
// Read the compressed bytes through view from now on, without copying them
// (the input buffer is then unused: a bufferSize of 1 will do).
void InflateUseView(InflateDecoder *d, InflateByteView view, void *viewContext);
// Store the next n decoded bytes. Produced is n unless the stream ended
// (InflateEnded) or failed (an error status) first; InflateEnded may also
// come with all n bytes when the end was already seen.
InflateResult InflateRead(InflateDecoder *d, uint8_t *destination, size_t n);
// Decode to the end of the stream without storing anything: InflateEnded
// when nothing was left but the end (and, for zlib, a matching check value),
// InflateExcess when decoded bytes remain unread, or an error status.
int32_t InflateFinish(InflateDecoder *d);
// After the end: input bytes the source gave that follow the stream (the
// source itself may hold more). 0 before the end.
size_t InflateUnusedInput(const InflateDecoder *d);
