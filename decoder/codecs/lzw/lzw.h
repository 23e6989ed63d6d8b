// Variable-width LZW decompressor shared by the GIF and TIFF readers.
//
// The decoder owns no memory: the caller asks LzwStorageSize for the bytes a
// decoder needs, hands a zero-filled block to LzwInit, and reads decoded bytes
// with LzwReadBytes. Compressed bytes come from a byte-source callback that
// refills the decoder's input buffer; it may suspend the whole job while it
// waits for input, since all decoder state lives in the storage block.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Option flags.
enum : uint8_t {
  LzwEarlyChange = 1,  // widen one code early; the table stops one entry short (TIFF)
  LzwMsbFirst = 2,     // codes are packed from bit 7 of each byte downwards (TIFF)
};

// Places up to the buffer size the caller chose into buffer; returns the count,
// 0 when no more bytes exist.
using LzwByteSource = uint32_t (*)(void *context, uint8_t *buffer);

// The other kind of source (LzwUseView): points at the next compressed bytes
// where they already lie and returns their count, 0 when no more exist. They
// must stay unchanged until the decoder asks again.
using LzwByteView = uint32_t (*)(void *context, const uint8_t **bytes);

// LzwNextByte's answer when no byte could be produced.
constexpr uint16_t LzwNoByte = 0xFFFF;

struct LzwDecoder {
  int32_t InitialWidth;  // code width after initialisation and after every clear code
  int32_t BitsHeld;      // unconsumed bits in Reservoir
  int32_t Width;         // current code width
  // Each code's string is kept as its last chunk of 1 to 8 bytes plus the
  // code of the string before that chunk (whose length is a multiple of 8),
  // so a string is written out 8 bytes at a time. Chunk bytes beyond the
  // string's end are zero.
  uint64_t *Chunk;       // per code: the last chunk, first byte lowest
  uint32_t *Info;        // per code: prefix code, string length and first byte
  uint8_t *StackBase;    // a string that did not fit the request, in order
  uint8_t *StackTop;     // its next byte to hand out
  uint8_t *StackEnd;     // one past its last byte
  LzwByteSource Source;
  LzwByteView View;      // set: bytes are read where the view points, not copied
  void *SourceContext;
  uint8_t *Input;        // the input buffer the source fills
  const uint8_t *Next;   // next input byte to take: in Input, or where the view pointed
  const uint8_t *End;    // one past the last byte the source placed or the view showed
  uint32_t TableSize;    // 2^T
  uint16_t ClearCode;
  uint16_t EndCode;
  uint16_t FirstFree;    // first code that names a table entry
  uint16_t Mask;         // 2^Width - 1
  uint16_t Previous;     // code decoded before the current one; LzwNoByte when none
  uint16_t NextFree;     // code the next new entry receives
  uint16_t Threshold;    // the width grows when NextFree rises above it
  uint16_t Highest;      // no entry is added beyond this code
  // Input bits being cut into codes: the next BitsHeld bits of the stream
  // (lowest bits first, or highest first with LzwMsbFirst), followed by bits
  // of input bytes not yet taken.
  uint64_t Reservoir;
  uint8_t Flags;
  uint8_t FirstByte;     // first byte of the most recently decoded string
};

// Bytes of storage for a table of 2^tableBits codes and an input buffer of
// bufferSize bytes; 0 when tableBits is outside 1..12.
size_t LzwStorageSize(uint32_t tableBits, uint32_t bufferSize);
// Start a stream in storage (of at least LzwStorageSize bytes). Returns null
// when the parameters cannot work with the table: a table outside 1..12 bits,
// an initial width outside 1..tableBits, a clear code not below
// 2^initialWidth, an end code other than clear code + 1, or no room left for
// a single entry. Codes below the clear code are roots: the string of one
// byte, the code's low 8 bits.
LzwDecoder *LzwInit(void *storage, uint32_t initialWidth, uint32_t tableBits, uint16_t clearCode,
                    uint16_t endCode, uint8_t flags, LzwByteSource source, void *sourceContext);
// Read the compressed bytes through view from now on, without copying them
// (the input buffer is then unused; LzwStorageSize may be given 0 for it).
void LzwUseView(LzwDecoder *d, LzwByteView view, void *viewContext);
// Width and table back to their initial state.
void LzwReset(LzwDecoder *d);
// The next code of the input; the end code when the source has no more bytes.
uint16_t LzwReadCode(LzwDecoder *d);
// The next decoded byte (0..255), or LzwNoByte when none can be produced: the
// end code, a code that names no entry, or the end of the input.
uint16_t LzwNextByte(LzwDecoder *d);
// Store n decoded bytes; 1 on success, 0 as soon as no byte can be produced
// (the bytes stored before it stay). n = 0 returns 1 at once.
int LzwReadBytes(LzwDecoder *d, uint8_t *destination, size_t n);
