// Fax decoding: modified Huffman, T.4 one- and two-dimensional, T.6.
//
// Rows are decoded one at a time into a zeroed row buffer (1 = black, most
// significant bit leftmost, 3 bytes of slack after the row). Bits come from
// the input stream's window; the decoder state belongs to the job.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "quorvin.h"

struct CodeTable;  // codecs/ccitt/ccitt_tables.h

struct CcittState {
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
};

// Once per image: lists for rows of up to width pixels, small at first
// (-7003 without buffers); with reverseBits the input is read least significant bit first
// from now on (FillOrder 2).
void CcittSetup(ParamBlock *block, uint32_t width, bool reverseBits);
// At each strip, after or before the input is positioned at its first byte
// (nothing is read here); byteCount 0xFFFFFFFF means no limit: the data then
// runs until the input ends, and the end of the input counts as the end of
// the strip's data.
void CcittStartStrip(ParamBlock *block, uint32_t byteCount);
// One modified Huffman row without EOL; the pixels decoded (0 ends the data).
uint32_t DecodeMhRow(ParamBlock *block, uint8_t *row, uint32_t width);
// Drop the bits left in the current byte (modified Huffman rows start on a
// byte boundary).
void CcittAlignToByte(ParamBlock *block);
// One T.4 one-dimensional row; 0 when the page has ended. Its changes are
// not kept: one-dimensional data needs no reference line.
uint32_t DecodeG3Row1D(ParamBlock *block, uint8_t *row, uint32_t width);
// One T.4 two-dimensional (MR) row: EOL, tag bit, then a 1-D or 2-D row;
// 0 when the page has ended.
uint32_t DecodeG3Row2D(ParamBlock *block, uint8_t *row, uint32_t width);
// One T.6 row (also the two-dimensional rows of MR).
void DecodeG4Row(ParamBlock *block, uint8_t *row, uint32_t width);
// Set the black runs of a finished list of changing elements into row. The
// decoders' lists (ascending, entries at most width) set exactly the row's
// pixels; no list makes it write past the row and its 3 bytes of slack.
void FillRowFromChanges(uint8_t *row, const uint32_t *list, uint32_t width);

// The pieces the row decoders are built from.
// True when an EOL (at least 11 zero bits and a 1) is next; it is consumed.
bool FindEol(ParamBlock *block);
// The next bit, not consumed (-7112 when the strip has no more bits).
uint32_t PeekBit(ParamBlock *block);
// A run length (make-up codes summed), a mode number, or EolMarker for an
// EOL, twelve zero bits or the end of the strip's data (nothing consumed
// then; make-up codes before them still count as a run). Bits that begin no
// code fail the job with -7115, make-up codes longer than the row -7111.
uint32_t DecodeRun(ParamBlock *block, const CodeTable &table);

// The decoder state of the running job.
CcittState *JobCcitt(ParamBlock *block);
