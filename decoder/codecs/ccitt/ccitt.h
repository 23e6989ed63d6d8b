// Fax decoding: modified Huffman, T.4 one- and two-dimensional, T.6.
//
// Rows are decoded one at a time into a zeroed row buffer (1 = black, most
// significant bit leftmost, 3 bytes of slack after the row). Bits come from
// the input stream's window; the decoder state belongs to the job.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "quorvin.h"

struct CcittState {
  uint32_t BitAccumulator;  // unread bits, left-aligned (bit 31 is next)
  int32_t BitCount;         // valid bits in BitAccumulator
  int32_t StripBytesLeft;   // strip bytes not yet loaded; negative: no limit
  uint32_t RowWidth;        // pixels per row
  uint32_t *ChangeLists[2]; // RowWidth + 7 entries each
  uint32_t *Recent;         // changing elements of the last decoded row
  uint32_t ChangeCount;     // entries in Recent
  bool CodedDataEnded;      // end of page or of the coded data seen
  bool OneDimRowPending;    // no one-dimensional row yet in this strip (MR)
};

// Once per image: lists for rows of width pixels (-7003 without buffers);
// with reverseBits the input is read least significant bit first from now on.
void CcittSetup(ParamBlock *block, uint32_t width, bool reverseBits);
// At each strip, after the input is positioned at its first byte;
// byteCount 0xFFFFFFFF means no limit.
void CcittStartStrip(ParamBlock *block, uint32_t byteCount);
// One modified Huffman row without EOL; the pixels decoded (0 ends the data).
uint32_t DecodeMhRow(ParamBlock *block, uint8_t *row, uint32_t width);
// Drop the bits left in the current byte (modified Huffman rows start on a
// byte boundary).
void CcittAlignToByte(ParamBlock *block);
// One T.4 one-dimensional row; 0 when the page has ended.
uint32_t DecodeG3Row1D(ParamBlock *block, uint8_t *row, uint32_t width);
// One T.4 two-dimensional (MR) row: EOL, tag bit, then a 1-D or 2-D row;
// 0 when the page has ended.
uint32_t DecodeG3Row2D(ParamBlock *block, uint8_t *row, uint32_t width);
// One T.6 row (also the two-dimensional rows of MR).
void DecodeG4Row(ParamBlock *block, uint8_t *row, uint32_t width);
// Set the black runs of a finished list of changing elements into row.
void FillRowFromChanges(uint8_t *row, const uint32_t *list, uint32_t width);

// The decoder state of the running job.
CcittState *JobCcitt(ParamBlock *block);
