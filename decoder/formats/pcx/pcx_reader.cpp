// PCX reader: checks the 128-byte header, delivers the bitmap header and the
// colour table, decodes the run-length rows (top row first in the file) and,
// for 256-colour files, fetches the colour table from the end of the file.
#include <string.h>

#include "engine/engine.h"
#include "formats/bytes.h"
#include "formats/readers.h"
#include "output/stream_rows.h"
#include "stream/stream.h"
#include "pcx_internal.h"

namespace {

constexpr uint32_t kHeaderBytes = 128;
constexpr uint32_t kEndTableBytes = 769;  // the byte 12, then 256 x red, green, blue
constexpr uint8_t kEndTableMarker = 12;

bool IsPcxType(uint32_t type) {
  return type == QV_FOURCC('P', 'C', 'X', '1') || type == QV_FOURCC('P', 'C', 'X', '2') ||
         type == QV_FOURCC('P', 'C', 'X', '3') || type == QV_FOURCC('P', 'C', 'X', '4') ||
         type == QV_FOURCC('P', 'C', 'X', '8') || type == QV_FOURCC('P', 'C', 'X', 'T');
}


int FindLayout(uint8_t planes, uint8_t bits, bool extended) {
  for (int i = 0; i < kPcxLayoutCount; ++i)
    if (kPcxLayouts[i].planes == planes && kPcxLayouts[i].bits == bits &&
        (extended || i != kPcxPackedSixteen))
      return i;
  return -1;
}

// The rows: each plane line decoded, merged where the planes must be, and
// delivered. With extended decoding the line is cleared first, so that a
// file ending inside it leaves the pixels it held and index 0 after them.
struct PcxRows {
  ParamBlock *Block;
  Stream *Io;
  StreamRows *Delivery;
  PcxLayout Layout;
  uint8_t *Line, *Row;
  uint32_t LineSize, LineBytes, Width, Rows;
  bool Extended;
};

void BuildRow(const PcxRows *p) {
  switch (p->Layout) {
    case kPcxFourColour: PcxSpreadPairs(p->Line, p->Width, p->Row); break;
    case kPcxEightColour:
    case kPcxSixteenColour:
      PcxMergeBitPlanes(p->Line, p->LineBytes, kPcxLayouts[p->Layout].planes, p->Width, p->Row);
      break;
    case kPcxTrueColour: PcxInterleaveRgb(p->Line, p->LineBytes, p->Row); break;
    default: break;
  }
}

void DecodeRows(void *argument) {
  PcxRows *p = static_cast<PcxRows *>(argument);
  for (uint32_t y = 0; y < p->Rows; ++y) {
    if (p->Extended) memset(p->Line, 0, p->LineSize);
    PcxDecodeLine(p->Io, p->Line, p->LineSize);
    BuildRow(p);
    StreamRowsDeliver(p->Delivery, p->Row);
  }
}

// Extended decoding: a file cut short keeps the rows it holds (the row in
// progress with the pixels decoded); the rest are index 0.
void FinishDamagedRows(PcxRows *p, int32_t status, uint32_t stride) {
  if (!IsDataFailure(status)) FailJob(p->Block, status);
  uint32_t damaged = 0;
  if (p->Delivery->Delivered < p->Rows) {
    BuildRow(p);
    StreamRowsDeliver(p->Delivery, p->Row);
    damaged = 1;
  }
  memset(p->Row, 0, stride);
  damaged += StreamRowsFillRemaining(p->Delivery, p->Row);
  ReportDamagedRows(p->Block, damaged);
}

// The first n entries of the header's colour map (red, green, blue) become
// the colour table; a two-colour map whose entries are equal (commonly both
// black) stands for black and white.
void TakeHeaderColours(ParamBlock *block, const uint8_t *map, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    block->Palette[i] = PaletteEntry{map[3 * i + 2], map[3 * i + 1], map[3 * i], 0};
  if (n == 2 && memcmp(map, map + 3, 3) == 0) {
    block->Palette[0] = PaletteEntry{0, 0, 0, 0};
    block->Palette[1] = PaletteEntry{255, 255, 255, 0};
  }
  if (IsGreyPalette(block->Palette, n)) block->Flags |= QV_FLAG_GREY;
}

// The 256-colour table sits in the last 769 bytes of the file. Streaming: ask
// the host to reposition the input. Whole input: the stream moves within the
// queue from where the file began.
struct EndTable {
  Stream *Io;
  uint8_t Rgb[3 * 256];
  bool Found;
};

void ReadEndTable(void *argument) {
  EndTable *t = static_cast<EndTable *>(argument);
  StreamMoveInput(t->Io, QV_SEEK_FROM_END + kEndTableBytes);
  if (StreamByte(t->Io) != kEndTableMarker) return;
  StreamRead(t->Io, t->Rgb, sizeof t->Rgb);
  t->Found = true;
}

// Extended decoding: a table without its marker, or cut off, is a grey ramp,
// as the common readers take it.
void FetchEndColourTableTolerant(ParamBlock *block, const JobOptions &options, Stream *io) {
  EndTable t{};
  t.Io = io;
  int32_t status = CatchFailure(block, ReadEndTable, &t);
  if (status && status != QV_ERR_INPUT_ENDED) FailJob(block, status);
  for (uint32_t i = 0; i < 256; ++i) {
    uint8_t g = static_cast<uint8_t>(i);
    block->Palette[i] = t.Found ? PaletteEntry{t.Rgb[3 * i + 2], t.Rgb[3 * i + 1], t.Rgb[3 * i], 0}
                                : PaletteEntry{g, g, g, 0};
  }
  if (options.Header) {
    // The placeholder right behind the 40-byte header.
    StreamMoveOutput(io, sizeof(BitmapInfoHeader));
    StreamPut(io, reinterpret_cast<const uint8_t *>(block->Palette), 256 * sizeof(PaletteEntry));
  }
  if (IsGreyPalette(block->Palette, 256)) block->Flags |= QV_FLAG_GREY;
}

void FetchEndColourTable(ParamBlock *block, const JobOptions &options, Stream *io) {
  if (options.Extended) {
    FetchEndColourTableTolerant(block, options, io);
    return;
  }
  // A file shorter than the table reads from its first byte, as a host does
  // for the seek; that byte (10) is then refused as the marker.
  StreamMoveInput(io, QV_SEEK_FROM_END + kEndTableBytes);
  bool toOutput = options.Header;
  // The placeholder right behind the 40-byte header.
  if (toOutput) StreamMoveOutput(io, sizeof(BitmapInfoHeader));
  if (StreamByte(io) != kEndTableMarker) FailJob(block, QV_ERR_PCX_PALETTE);
  uint8_t rgb[3 * 256];
  StreamRead(io, rgb, sizeof rgb);
  for (uint32_t i = 0; i < 256; ++i)
    block->Palette[i] = PaletteEntry{rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i], 0};
  if (toOutput) StreamPut(io, reinterpret_cast<const uint8_t *>(block->Palette), 256 * sizeof(PaletteEntry));
  if (IsGreyPalette(block->Palette, 256)) block->Flags |= QV_FLAG_GREY;
}

}  // namespace

void ReadPcx(ParamBlock *block, const JobOptions &options) {
  if (!IsPcxType(options.ImageType)) FailJob(block, QV_ERR_PCX_TYPE);
  // On this frame, so that nothing is allocated before the header is checked.
  Stream stream{};
  Stream *io = &stream;
  StreamStartConsuming(io, block);

  uint8_t h[kHeaderBytes];
  StreamRead(io, h, sizeof h);
  uint8_t version = h[1];
  if (h[0] != 10) FailJob(block, QV_ERR_BAD_HEADER);
  if (version != 0 && version != 2 && version != 3 && version != 4 && version != 5)
    FailJob(block, QV_ERR_BAD_HEADER);
  if (h[2] != 1) FailJob(block, QV_ERR_BAD_HEADER);
  int found = FindLayout(h[65], h[3], options.Extended);
  if (found < 0) FailJob(block, QV_ERR_BAD_HEADER);
  const PcxLayout layout = static_cast<PcxLayout>(found);
  const PcxLayoutInfo &info = kPcxLayouts[layout];

  // Sizes, refused before any buffer depends on them: a width of 0 or less
  // (xmax below xmin), and plane lines too short to hold the width.
  int32_t width = static_cast<int32_t>(Le16(h + 8)) - static_cast<int32_t>(Le16(h + 4)) + 1;
  int32_t height = static_cast<int32_t>(Le16(h + 10)) - static_cast<int32_t>(Le16(h + 6)) + 1;
  uint32_t lineBytes = Le16(h + 66);
  if (width <= 0) FailJob(block, QV_ERR_BAD_HEADER);
  if (static_cast<uint64_t>(lineBytes) * 8 < static_cast<uint64_t>(width) * info.bits)
    FailJob(block, QV_ERR_BAD_HEADER);
  uint32_t stride, imageSize;
  uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
  if (!ComputeStride(info.bitCount, width, &stride) || !ComputeImageSize(stride, rows, &imageSize))
    FailJob(block, QV_ERR_BAD_HEADER);

  BitmapInfoHeader bih{};
  bih.biSize = sizeof bih;
  bih.biWidth = width;
  bih.biHeight = height;
  bih.biPlanes = 1;
  bih.biBitCount = info.bitCount;
  bih.biSizeImage = imageSize;
  bih.biClrUsed = bih.biClrImportant = info.colours;

  // Bytes ahead of the rows: header and colour table (for 256 colours a
  // placeholder, written over once the table has been read).
  bool withHeader = options.Header;
  uint32_t lead = withHeader ? static_cast<uint32_t>(sizeof bih + info.colours * sizeof(PaletteEntry)) : 0;
  // The file's rows run top to bottom; a bottom-up bitmap needs them flipped.
  bool flipped = !options.TopDown;
  StreamRows delivery;
  StreamRowsStart(&delivery, io, options, stride, rows, lead, flipped);
  block->BitmapHeader = bih;

  if (withHeader) StreamPut(io, reinterpret_cast<const uint8_t *>(&bih), sizeof bih);
  if (layout == kPcxIndexed) {
    if (withHeader) StreamFill(io, 0, 256 * sizeof(PaletteEntry));
  } else if (info.colours) {
    TakeHeaderColours(block, h + 16, info.colours);
    if (withHeader)
      StreamPut(io, reinterpret_cast<const uint8_t *>(block->Palette), info.colours * sizeof(PaletteEntry));
  }

  // Working storage: the decoded plane lines, then (where the planes must be
  // merged) the row built from them. Single-plane 1- and 8-bit lines are the
  // row itself; bytes between the line and the stride stay zero.
  uint32_t lineSize = info.planes * lineBytes;
  bool direct = layout == kPcxMono || layout == kPcxIndexed || layout == kPcxPackedSixteen;
  uint32_t rowArea = direct ? 0 : (layout == kPcxTrueColour && 3 * lineBytes > stride ? 3 * lineBytes : stride);
  uint32_t bufferSize = (direct && stride > lineSize ? stride : lineSize) + rowArea;
  uint8_t *line = static_cast<uint8_t *>(JobBufferOrFail(block, bufferSize));
  uint8_t *row = direct ? line : line + lineSize;

  PcxRows p{block, io, &delivery, layout, line, row, lineSize, lineBytes, static_cast<uint32_t>(width), rows,
            options.Extended};
  if (!options.Extended) {
    DecodeRows(&p);
  } else if (int32_t status = CatchFailure(block, DecodeRows, &p)) {
    FinishDamagedRows(&p, status, stride);
  }
  StreamRowsFinish(&delivery);

  if (layout == kPcxIndexed) FetchEndColourTable(block, options, io);
  StreamEndConsuming(io);
  block->Status = QV_OK;
}
