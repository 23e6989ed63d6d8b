// Fax decoding: modified Huffman, T.4 one- and two-dimensional, T.6.
//
// Rows are decoded one at a time into a zeroed row buffer (1 = black, most
// significant bit leftmost, 3 bytes of slack after the row). Bits come from
// the input window of a positioned stream; the decoder's state lives in the
// caller's record (a FaxDecoder), and its lists in job buffers it asks for.
// A row either decodes or comes back with the status that stopped it: the
// caller decides whether that ends the job.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "quorvin.h"
#include "stream/stream.h"

struct CodeTable;  // codecs/ccitt/ccitt_tables.h

// A decoder's place in its data, to go back to: the bits held and the file
// position of the next byte.
struct FaxMark {
  uint32_t BitAccumulator;
  int32_t BitCount;
  int32_t StripBytesLeft;
  uint32_t Position;
};

struct FaxDecoder {
  Stream *In;               // the stream the coded bytes come from
  uint32_t BitAccumulator;  // unread bits, left-aligned (bit 31 is next); bits below the valid ones are 0
  int32_t BitCount;         // valid bits in BitAccumulator; below 0 after bits past the strip's end were used
  int32_t StripBytesLeft;   // strip bytes not yet loaded; negative: no limit
  uint32_t RowWidth;        // pixels per row at most
  // Two lists of changing elements, grown as rows need: ListRoom[i] entries
  // of a row's valid data (at most RowWidth + 2) and the spare ones after
  // them (see ccitt_bits.h).
  uint32_t *ChangeLists[2];
  uint32_t ListRoom[2];
  int32_t ListSlots[2];     // their job buffers
  uint32_t *Recent;         // changing elements of the last decoded row
  uint32_t ChangeCount;     // entries in Recent
  bool CodedDataEnded;      // end of page or of the coded data seen (cleared at each strip)
  bool OneDimRowPending;    // no one-dimensional row yet in this strip (MR)
  FaxMark Track;            // a modified Huffman row replayed after a failure: its last run's start
};

enum class FaxCoding : uint8_t {
  Mh,      // modified Huffman: rows without EOL, each starting on a byte boundary
  G3,      // T.4 one-dimensional
  G3TwoD,  // T.4 two-dimensional (MR): EOL and tag bit before every row
  G4,      // T.6
};

// Once per image: a decoder reading from in, for rows of up to width pixels;
// its lists start small (-7003 without buffers). With reverseBits the input
// is read least significant bit first from now on (FillOrder 2).
void FaxSetup(FaxDecoder *d, Stream *in, uint32_t width, bool reverseBits);
// At each strip, after or before the input is positioned at its first byte
// (nothing is read here); byteCount 0xFFFFFFFF means no limit: the data then
// runs until the input ends, and the end of the input counts as the end of
// the strip's data.
void FaxStartStrip(FaxDecoder *d, uint32_t byteCount);
// One row into row (zeroed, with its slack). Returns 0 and, in *pixels, the
// pixels the row's codes reached (for T.4 rows 0 when the page has ended; a
// T.6 row gives width), or the negative status that stopped the row: bad
// codes (-7110 to -7118), the input ending or failing (-1013, -1006,
// -1515), no memory for longer lists (-7003).
int32_t FaxDecodeRow(FaxDecoder *d, FaxCoding coding, uint8_t *row, uint32_t width, uint32_t *pixels);
// Damaged data. FaxMarkRow notes where the next row starts (between rows the
// bits held and the stream agree). After a row that failed, FaxResync goes
// back to that mark and finds where the next row begins: the next EOL, left
// unread for that row (T.4), or the byte boundary after the code that failed
// (modified Huffman, whose rows are replayed to find it). False when the
// data ends first, and for T.6, which has no EOL to find; it fails as the
// input does (-1013, -1006, -1515) and as the row's own codes may (-7112).
void FaxMarkRow(FaxDecoder *d, FaxMark *mark);
bool FaxResync(FaxDecoder *d, FaxCoding coding, const FaxMark *mark, uint8_t *row, uint32_t width);
// The reference line of the next two-dimensional row made the black pixels
// of row (width pixels, 1 = black): the row that stands in for a failed one.
void FaxSetReference(FaxDecoder *d, const uint8_t *row, uint32_t width);

// Set the black runs of a finished list of changing elements into row. The
// decoders' lists (ascending, entries at most width) set exactly the row's
// pixels; no list makes it write past the row and its 3 bytes of slack.
void FillRowFromChanges(uint8_t *row, const uint32_t *list, uint32_t width);
