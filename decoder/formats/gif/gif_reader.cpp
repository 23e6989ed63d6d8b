// GIF reader: the first image of a GIF87a or GIF89a file as an 8-bit bitmap.
// Reads the header, the colour tables and the extensions before the first
// image, describes the bitmap and hands the rows over in the order the
// options ask for; interlaced images go to gif_interlace.cpp.
#include <string.h>

#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/gif/gif_internal.h"
#include "codecs/lzw/lzw.h"
#include "formats/readers.h"

namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;

// Input reads that count the bytes taken from the signature on.
void GifRead(GifJob *g, uint8_t *destination, size_t n) {
  StreamRead(g->Io, destination, n);
  g->Offset += n;
}

void GifSkip(GifJob *g, size_t n) {
  StreamSkip(g->Io, n);
  g->Offset += n;
}

uint8_t GifReadByte(GifJob *g) {
  uint8_t b;
  GifRead(g, &b, 1);
  return b;
}

// Packed byte, delay time (2 bytes), transparent colour index.
void GifGraphicControl(GifJob *g, const uint8_t *fields) {
  if (!(fields[0] & 1)) return;
  g->Block->TransparentIndex = fields[3];
  g->Block->Flags |= QV_FLAG_TRANSPARENT;
  g->Transparent = fields[3];
}

// Grow the record buffer to hold at least need bytes.
uint8_t *GrowRecord(ParamBlock *block, int slot, uint8_t *record, size_t *capacity, size_t need) {
  if (need <= *capacity) return record;
  size_t c = *capacity * 2;
  if (c < need) c = need;
  void *p = ReallocJobBuffer(block, slot, c);
  if (!p) FailJob(block, QV_ERR_BUFFER);
  *capacity = c;
  return static_cast<uint8_t *>(p);
}

// One extension after its label. Every byte of the first block is read and
// counted as the file holds it; a graphic control block is used when it has
// at least its 4 bytes.
void GifReadExtension(GifJob *g, uint8_t label) {
  ParamBlock *block = g->Block;
  uint32_t c = GifReadByte(g);
  if (label != 0xF9 && label != 0x01 && label != 0xFF && label != 0xFE)
    FailJob(block, QV_ERR_GIF_EXTENSION);

  // A count of 0 is the terminator itself: the extension has no blocks at all.
  const bool empty = c == 0;
  if (!block->ExtraBuffer) {
    if (label == 0xF9) {
      uint8_t fields[4];
      uint32_t k = c < 4 ? c : 4;
      GifRead(g, fields, k);
      GifSkip(g, c - k);
      if (c >= 4) GifGraphicControl(g, fields);
    } else {
      GifSkip(g, c);
    }
    if (!empty)
      for (uint32_t n; (n = GifReadByte(g)) != 0;) GifSkip(g, n);
    return;
  }

  // Record: kind, length, introducer, label, first block, sub-blocks, terminator.
  int slot;
  size_t capacity = c + 11;
  uint8_t *record = static_cast<uint8_t *>(JobBufferOrFail(block, capacity, QV_ERR_BUFFER, &slot));
  size_t length = 8;
  record[length++] = kExtensionIntroducer;
  record[length++] = label;
  GifRead(g, record + length, c);
  if (label == 0xF9 && c >= 4) GifGraphicControl(g, record + length);
  length += c;
  bool keep = true;
  for (;;) {
    uint32_t n = empty ? 0 : GifReadByte(g);
    if (keep && length + n + 2 > kGifMaxExtensionRecord) {
      keep = false;  // too long to hand over: skip the rest
      FreeJobBuffer(block, slot);
      record = nullptr;
    }
    if (keep) {
      record = GrowRecord(block, slot, record, &capacity, length + n + 1);
      record[length++] = static_cast<uint8_t>(n);
    }
    if (n == 0) break;
    if (keep) {
      GifRead(g, record + length, n);
      length += n;
    } else {
      GifSkip(g, n);
    }
  }
  if (!keep) return;
  uint32_t kind = kGifExtensionKind, body = static_cast<uint32_t>(length - 8);
  memcpy(record, &kind, 4);
  memcpy(record + 4, &body, 4);
  if (ReserveExtra(block, static_cast<uint32_t>(length)))
    AppendExtraBytes(block, record, static_cast<uint32_t>(length));
  FreeJobBuffer(block, slot);
}

// 2^(k+1) entries of red, green, blue.
void ReadColourTable(GifJob *g, uint8_t *raw, uint32_t count) { GifRead(g, raw, 3u * count); }

void ConvertColourTable(GifJob *g, const uint8_t *raw, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    g->Colours[i] = PaletteEntry{raw[3 * i + 2], raw[3 * i + 1], raw[3 * i], 0};
}

void UseDefaultPalette(GifJob *g) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t rgb = kGifDefaultPalette[i];
    g->Colours[i] = PaletteEntry{static_cast<uint8_t>(rgb), static_cast<uint8_t>(rgb >> 8),
                                 static_cast<uint8_t>(rgb >> 16), 0};
  }
}

}  // namespace

uint32_t GifSubBlockSource(void *context, uint8_t *buffer) {
  Stream *io = static_cast<Stream *>(context);
  uint8_t n = StreamByte(io);
  if (n == 0) return 0;
  StreamRead(io, buffer, n);
  return n;
}

void GifStartDecoder(GifJob *g) {
  uint32_t m = g->MinCodeSize;
  // Codes are at most 12 bits wide: a minimum code size above 11 cannot work.
  LzwDecoder *d = m <= 11 ? LzwInit(g->Lzw, m + 1, 12, static_cast<uint16_t>(1u << m),
                                    static_cast<uint16_t>((1u << m) + 1), 0, GifSubBlockSource,
                                    g->Io)
                          : nullptr;
  if (!d) FailJob(g->Block, QV_ERR_LZW);
}

namespace {
void ReadRowEntry(void *argument) {
  GifJob *g = static_cast<GifJob *>(argument);
  if (!LzwReadBytes(g->Lzw, g->Row, g->Width)) FailJob(g->Block, QV_ERR_LZW);
}
}  // namespace

void GifDecodeRow(GifJob *g) {
  if (!g->Options.Extended) {
    ReadRowEntry(g);
    return;
  }
  memset(g->Row, static_cast<int>(g->Background), g->Width);
  if (!g->Broken) {
    int32_t status = CatchFailure(g->Block, ReadRowEntry, g);
    if (!status) return;
    if (!IsDataFailure(status, QV_ERR_LZW)) FailJob(g->Block, status);
    g->Broken = true;
  }
  ReportDamagedRows(g->Block, 1);
}

void GifRestartImageData(GifJob *g) {
  ParamBlock *block = g->Block;
  if (g->DataOffset >= kSeekPositionLimit) FailJob(block, QV_ERR_BAD_HEADER);
  StreamMoveInput(g->Io, static_cast<uint32_t>(g->DataOffset));
  GifStartDecoder(g);
  if (g->Options.Extended) {
    // The final image counts its own damaged rows.
    g->Broken = false;
    block->Flags &= ~QV_FLAG_PARTIAL;
    block->DamagedRows = 0;
  }
}

void ReadGif(ParamBlock *block, const JobOptions &options) {
  GifJob *g = NewJobRecord<GifJob>(block);
  g->Block = block;
  g->Transparent = kGifNoTransparency;
  g->Options = options;
  block->Flags &= ~(QV_FLAG_GREY | QV_FLAG_TRANSPARENT);  // results of this job only
  // The stream on this frame: the job record keeps its size, and with it
  // the job's memory.
  Stream stream{};
  g->Io = &stream;
  StreamStartConsuming(g->Io, block);

  // Header and logical screen descriptor.
  uint8_t head[13];
  GifRead(g, head, sizeof head);
  if (memcmp(head, "GIF", 3) != 0 || head[3] != '8' || (head[4] != '7' && head[4] != '9') ||
      head[5] != 'a')
    FailJob(block, QV_ERR_GIF_SIGNATURE);
  int slot;
  uint8_t *raw = static_cast<uint8_t *>(JobBufferOrFail(block, 3 * 256, QV_ERR_BUFFER, &slot));
  uint32_t colours = 0;
  if (head[10] & 0x80) {
    colours = 2u << (head[10] & 7);
    ReadColourTable(g, raw, colours);
  }

  // Extensions up to the first image.
  uint8_t introducer = GifReadByte(g);
  while (introducer == kExtensionIntroducer) {
    GifReadExtension(g, GifReadByte(g));
    introducer = GifReadByte(g);
  }
  if (introducer != kImageSeparator) FailJob(block, QV_ERR_GIF_BLOCK);
  uint8_t desc[9];  // left, top, width, height, packed
  GifRead(g, desc, sizeof desc);
  g->Width = desc[4] | desc[5] << 8;
  g->Height = desc[6] | desc[7] << 8;
  bool interlaced = (desc[8] & 0x40) != 0;
  bool local = (desc[8] & 0x80) != 0;
  if ((options.ImageType == QV_TYPE_GIFN && interlaced) || (options.ImageType == QV_TYPE_GIFI && !interlaced))
    FailJob(block, QV_ERR_GIF_INTERLACE);

  // The bitmap: 8 bits per pixel, rows padded to 4 bytes.
  bool global = colours != 0;
  if (local) colours = 2u << (desc[8] & 7);
  g->ColourCount = colours ? colours : 256;
  g->Background = global && head[11] < g->ColourCount ? head[11] : 0;
  g->Stride = (g->Width + 3) & ~3u;
  BitmapInfoHeader &h = g->Header;
  h.biSize = 40;
  h.biWidth = static_cast<int32_t>(g->Width);
  h.biHeight = static_cast<int32_t>(g->Height);
  h.biPlanes = 1;
  h.biBitCount = 8;
  h.biCompression = 0;
  h.biSizeImage = g->Height * g->Stride;  // at most 65535 x 65536: fits 32 bits
  h.biClrUsed = h.biClrImportant = g->ColourCount;
  if (!g->Options.TopDown && QueueSize(&block->OutputQueue) < static_cast<size_t>(g->Stride) + 1)
    FailJob(block, QV_ERR_FLIP_ROOM);
  // Rows placed by output seeks need their positions to fit SeekTarget.
  uint64_t headerBytes = g->Options.Header ? 40 + 4u * g->ColourCount : 0;
  if ((!g->Options.TopDown || interlaced) &&
      headerBytes + static_cast<uint64_t>(g->Height) * g->Stride >= kSeekPositionLimit)
    FailJob(block, QV_ERR_BAD_HEADER);
  block->BitmapHeader = h;

  g->Colours = static_cast<PaletteEntry *>(JobBufferOrFail(block, 256 * sizeof(PaletteEntry), QV_ERR_BUFFER, &slot));
  if (local) ReadColourTable(g, raw, colours);
  if (colours)
    ConvertColourTable(g, raw, colours);
  else
    UseDefaultPalette(g);

  // Decoder and row buffer, then the image data.
  g->Lzw = static_cast<LzwDecoder *>(JobBufferOrFail(block, LzwStorageSize(12, 255), QV_ERR_BUFFER, &slot));
  g->Row = static_cast<uint8_t *>(JobBufferOrFail(block, g->Stride, QV_ERR_BUFFER, &slot));
  g->MinCodeSize = GifReadByte(g);
  g->DataOffset = g->Offset;
  GifStartDecoder(g);

  if (interlaced) {
    GifReadInterlaced(g);
  } else {
    GifStartImage(g, g->Height);
    for (uint32_t i = 0; i < g->Height; ++i) {
      GifDecodeRow(g);
      GifDeliverRow(g, i, g->Height);
    }
  }
  StreamEndConsuming(g->Io);
  block->Status = QV_OK;
}
