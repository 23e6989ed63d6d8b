// JPEG: the header read by libjpeg (APP1 and COM segments kept for the
// host, the JFIF density, Adobe's marker), the bitmap chosen from the
// colour space, then the rows as libjpeg gives them, each straight into its
// place in the output queue.
#include <string.h>

#include "codecs/jpeg/jpeg_decoder.h"
#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/bytes.h"
#include "formats/jpeg/jpeg_internal.h"
#include "formats/readers.h"
#include "output/placed_rows.h"
#include "output/rows.h"
#include "stream/stream.h"

void PrepareJpeg(const ParamBlock *) { JpegLibrary(); }

#if QV_HAVE_JPEGLIB

namespace {

// Bytes a row buffer needs beyond the stride: none, since libjpeg stores a
// row's pixels and nothing past them (checked with guard bytes after rows of
// many widths, every subsampling, grey and CMYK, on x86-64, i386 and
// aarch64; a row placed bottom-up is followed by the row below it, which
// the differential tests would see damaged).
constexpr uint32_t kRowSlack = 0;

struct JpegJob {
  ParamBlock *Block;
  JobOptions Options;
  Stream Io;
  PlacedRows Rows;
  JpegDecoder *Jpeg;
  uint8_t *Spare;       // one row and its slack, where the output queue has no room
  uint32_t Width, Height;
  uint32_t Bits;        // 8, 24 or 32
  uint32_t RowBytes;    // the pixels of a row, before the padding
  uint32_t Stride;
  bool Invert;          // Adobe's inverted CMYK, made plain
};

// libjpeg's data source: the input stream's unread bytes where they lie.
// A file that ends early fails the job, unless the decoder is tolerant
// (extended decoding): libjpeg then ends it as if with EOI and fills the
// rows it could not decode.
size_t FeedFromStream(void *context, const uint8_t **bytes) {
  JpegJob *j = static_cast<JpegJob *>(context);
  size_t n = StreamTake(&j->Io, ~size_t{0}, bytes);
  if (n == 0 && !j->Options.Extended) FailJob(j->Block, QV_ERR_INPUT_ENDED);
  return n;
}

// The segments kept for the host, as extra-data records; a record the host
// gives no room for is dropped.
void ReportSegments(JpegJob *j) {
  ParamBlock *block = j->Block;
  for (jpeg_saved_marker_ptr m = j->Jpeg->Info.marker_list; m; m = m->next) {
    uint32_t kind = m->marker == JPEG_COM ? QV_EXTRA_JPEG_COMMENT : QV_EXTRA_JPEG_APP1;
    uint32_t n = m->data_length;
    if (!block->ExtraBuffer || !ReserveExtra(block, n + 8)) continue;
    uint8_t head[8];
    PutLe32(head, kind);
    PutLe32(head + 4, n);
    AppendExtraBytes(block, head, 8);
    AppendExtraBytes(block, m->data, n);
  }
}

// Resolution (the JFIF density in dots per inch or centimetre, else EXIF's)
// and orientation (EXIF's).
void ReadFacts(JpegJob *j) {
  const jpeg_decompress_struct &info = j->Jpeg->Info;
  ParamBlock *block = j->Block;
  ExifFacts exif{};
  bool haveExif = false;
  for (jpeg_saved_marker_ptr m = info.marker_list; m && !haveExif; m = m->next)
    if (m->marker == JPEG_APP0 + 1) haveExif = ReadExif(m->data, m->data_length, &exif);
  int32_t x = 0, y = 0;
  if (info.saw_JFIF_marker && (info.density_unit == 1 || info.density_unit == 2)) {
    x = PixelsPerMetre(info.X_density, 1, info.density_unit == 2);
    y = PixelsPerMetre(info.Y_density, 1, info.density_unit == 2);
  } else if (haveExif && (exif.ResolutionUnit == 2 || exif.ResolutionUnit == 3)) {
    x = PixelsPerMetre(exif.XResolution[0], exif.XResolution[1], exif.ResolutionUnit == 3);
    y = PixelsPerMetre(exif.YResolution[0], exif.YResolution[1], exif.ResolutionUnit == 3);
  }
  if (x && y) {
    block->BitmapHeader.biXPelsPerMeter = x;
    block->BitmapHeader.biYPelsPerMeter = y;
  }
  block->Orientation = exif.Orientation ? exif.Orientation : 1;
}

// The bitmap for the file's colour space: grey with a grey table, BGR, or
// CMYK.
void ChooseOutput(JpegJob *j) {
  jpeg_decompress_struct &info = j->Jpeg->Info;
  switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
      info.out_color_space = JCS_GRAYSCALE;
      j->Bits = 8;
      break;
    case JCS_YCbCr:
    case JCS_RGB:
      info.out_color_space = JCS_EXT_BGR;
      j->Bits = 24;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      info.out_color_space = JCS_CMYK;
      j->Bits = 32;
      j->Invert = info.saw_Adobe_marker;
      break;
    default:
      FailJob(j->Block, QV_ERR_JPEG_COLOUR);
  }
  j->Width = info.image_width;
  j->Height = info.image_height;
  // Rows, the bitmap and every output position stay below 2^30, the
  // positions SeekTarget can carry.
  if (!ComputeStride(j->Bits, j->Width, &j->Stride) || j->Height == 0 ||
      uint64_t{j->Stride} * j->Height + 40 + 4 * 256 >= kSeekPositionLimit)
    FailJob(j->Block, QV_ERR_BAD_HEADER);
  j->RowBytes = j->Width * (j->Bits / 8);
}

void WriteHeader(JpegJob *j) {
  ParamBlock *block = j->Block;
  BitmapInfoHeader h = block->BitmapHeader;  // keeps the resolution
  h.biSize = 40;
  h.biWidth = static_cast<int32_t>(j->Width);
  h.biHeight = static_cast<int32_t>(j->Height);
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(j->Bits);
  h.biCompression = j->Bits == 32 ? QV_FOURCC('C', 'M', 'Y', 'K') : 0;
  h.biSizeImage = j->Stride * j->Height;
  h.biClrUsed = h.biClrImportant = j->Bits == 8 ? 256 : 0;
  block->BitmapHeader = h;
  StreamStartOutput(&j->Io, block);
  if (j->Options.Header) StreamPut(&j->Io, reinterpret_cast<const uint8_t *>(&h), sizeof h);
  if (j->Bits != 8) return;
  PaletteEntry grey[256];
  for (int i = 0; i < 256; ++i) grey[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
  memcpy(block->Palette, grey, sizeof grey);
  block->Flags |= QV_FLAG_GREY;
  if (j->Options.Header) StreamPut(&j->Io, reinterpret_cast<const uint8_t *>(grey), sizeof grey);
}

void DecodeRows(JpegJob *j) {
  JpegDecoder *d = j->Jpeg;
  for (uint32_t y = 0; y < j->Height; ++y) {
    uint8_t *row = PlacedRowBegin(&j->Rows, j->Spare, kRowSlack);
    JSAMPROW rows[1] = {row};
    // The source never suspends: one call, one row.
    if (d->Api->ReadScanlines(&d->Info, rows, 1) != 1) FailJob(j->Block, QV_ERR_JPEG_LIBRARY_LAST);
    if (j->Invert)
      for (uint32_t i = 0; i < j->RowBytes; ++i) row[i] = static_cast<uint8_t>(~row[i]);
    memset(row + j->RowBytes, 0, j->Stride - j->RowBytes);
    PlacedRowEnd(&j->Rows, row);
  }
}

void ReportWarnings(JpegJob *j) {
  ParamBlock *block = j->Block;
  JpegDecoder *d = j->Jpeg;
  if (!d->Warnings || !block->ExtraBuffer || !ReserveExtra(block, 16)) return;
  uint8_t r[16];
  PutLe32(r, QV_EXTRA_JPEG_WARNINGS);
  PutLe32(r + 4, 8);
  PutLe32(r + 8, d->Warnings);
  PutLe32(r + 12, static_cast<uint32_t>(d->FirstWarning));
  AppendExtraBytes(block, r, 16);
}

}  // namespace

void ReadJpeg(ParamBlock *block, const JobOptions &options) {
  JpegJob *j = NewJobRecord<JpegJob>(block);
  j->Block = block;
  j->Options = options;
  block->Flags &= ~(QV_FLAG_GREY | QV_FLAG_TRANSPARENT | QV_FLAG_ALPHA | QV_FLAG_PREMULTIPLIED);
  StreamStartInput(&j->Io, block);
  block->SeekTarget = 0;
  j->Jpeg = JpegCreate(block, FeedFromStream, j, options.Extended);
  JpegDecoder *d = j->Jpeg;
  d->Api->SaveMarkers(&d->Info, JPEG_APP0 + 1, 0xFFFF);
  d->Api->SaveMarkers(&d->Info, JPEG_COM, 0xFFFF);
  d->Api->ReadHeader(&d->Info, TRUE);

  ReadFacts(j);
  ChooseOutput(j);
  ReportSegments(j);
  WriteHeader(j);

  // A progressive file is read whole here, into its coefficients.
  d->Api->StartDecompress(&d->Info);
  if (d->Info.output_width != j->Width || d->Info.output_height != j->Height ||
      d->Info.output_components * 8 != static_cast<int>(j->Bits))
    FailJob(block, QV_ERR_JPEG_LIBRARY_LAST);
  j->Spare = static_cast<uint8_t *>(JobBufferOrFail(block, size_t{j->Stride} + kRowSlack));
  PlacedRowsStart(&j->Rows, &j->Io, options, j->Height, j->Stride, !options.TopDown);
  DecodeRows(j);
  PlacedRowsFinish(&j->Rows);
  d->Api->FinishDecompress(&d->Info);
  if (d->Damaged) {
    // Rows from the first damage on may be filled (libjpeg leaves mid-grey
    // where it has no data): all of them are counted.
    block->Flags |= QV_FLAG_PARTIAL;
    block->DamagedRows = j->Height - (d->DamagedFrom < j->Height ? d->DamagedFrom : j->Height);
  }
  ReportWarnings(j);
  block->Status = QV_OK;
}

#else  // built without jpeglib.h

void ReadJpeg(ParamBlock *block, const JobOptions &) { FailJob(block, QV_ERR_JPEG_UNAVAILABLE); }

#endif
