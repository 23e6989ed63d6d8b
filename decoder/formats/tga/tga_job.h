// State of one Targa decode, shared by the header, pixel and extra-data steps.
// It lives in a job buffer, as do the row buffers; its stream on the job stack.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "output/stream_rows.h"
#include "stream/stream.h"
#include "quorvin.h"

struct TgaHeader {
  uint8_t IdLength;
  uint8_t ColourMapType;
  uint8_t ImageTypeByte;
  uint16_t FirstIndex;
  uint16_t MapLength;
  uint8_t MapEntrySize;
  uint16_t Width;
  uint16_t Height;
  uint8_t Depth;
  uint8_t Descriptor;
};

struct TgaJob {
  ParamBlock *Block;
  TgaHeader Header;
  bool Flip;          // rows go out in the reverse of the order the file holds them
  bool Mirror;        // the file stores each row right to left
  bool EmitHeader;    // header and colour table go into the output queue
  uint32_t InRowSize;  // bytes of one file row (uncompressed)
  uint32_t OutBits;    // bits per output pixel
  uint32_t Stride;     // bytes of one output row
  uint8_t *InRow;      // one file row
  uint8_t *OutRow;     // one output row plus 4 bytes of slack
  StreamRows Rows;
  // Extended decoding: packets may cross rows, and a file that ends early
  // keeps its rows. Partial says where the row in progress is when the
  // input ends: 1 OutRow (in file pixel order), 2 InRow (file bytes), 3
  // OutRow as output bytes.
  bool Extended;
  int32_t Partial;
  // Whole-input mode: the file lies in the input queue, FileSize bytes.
  bool WholeInput;
  Stream *Io;  // the file in, the bitmap out (on the reader's frame)
  size_t FileSize;
};

// Pixel data, uncompressed and run-length.
void TgaReadUncompressed(TgaJob *job);
void TgaReadRunLength(TgaJob *job);
// Extended decoding: the pixel data inside CatchFailure; when the file ends
// or breaks, the row in progress keeps the pixels it got and the rows after
// it are index 0 (black).
void TgaReadPixelsTolerant(TgaJob *job, bool runLength);

// Image ID, footer, extension area and developer directory into the ExtraBuffer.
void TgaReadImageId(TgaJob *job);
void TgaReadExtras(TgaJob *job);
