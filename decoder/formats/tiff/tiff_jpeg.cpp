// JPEG in TIFF (Compression 7, extended decoding): each strip or tile is a
// JPEG datastream, usually without tables of its own, which JPEGTables gives
// once for all of them. One libjpeg decompressor reads the tables, then each
// strip's datastream in turn (the tables stay in it). YCbCr data is made
// RGB by libjpeg, as libtiff's RGB colour mode does; grey, RGB, CMYK and
// extra samples pass through as coded. The rows go through the strip loop
// like any codec's.
#include <string.h>

#include "codecs/jpeg/jpeg_decoder.h"
#include "engine/engine.h"
#include "formats/tiff/tiff_internal.h"

#if QV_HAVE_JPEGLIB

namespace {

// libjpeg's data source: the strip's bytes (or the tables') where they lie
// in the input queue; 0 once the byte count is used up (libjpeg then ends
// the datastream, counting the damage when rows were still missing).
size_t FeedCounted(void *context, const uint8_t **bytes) { return TiffStripView(context, bytes); }

void ReadTables(TiffJob *j) {
  TiffList *t = &j->JpegTables;
  if (!t->Present || t->Inline || t->Count < 4) return;  // no tables: the strips carry theirs
  if (t->Offset >= kSeekPositionLimit) FailJob(j->Block, QV_ERR_TIFF_FAR);
  StreamSeek(&j->Io, static_cast<uint32_t>(t->Offset));
  j->StripLeft = t->Count;
  JpegDecoder *d = j->Jpeg;
  if (d->Api->ReadHeader(&d->Info, FALSE) != JPEG_HEADER_TABLES_ONLY) FailJob(j->Block, QV_ERR_TIFF_JPEG);
}

void SetupJpeg(TiffJob *j) {
  // The data is JPEG's own: no predictor, no bit order (as libtiff).
  j->Predictor = 1;
  j->Jpeg = JpegCreate(j->Block, FeedCounted, j, true);
  ReadTables(j);
}

void StartJpegStrip(TiffJob *j, uint32_t bytes) {
  JpegDecoder *d = j->Jpeg;
  jpeg_decompress_struct *info = &d->Info;
  // The last datastream is left where its rows ended; the tables stay.
  d->Api->AbortDecompress(info);
  JpegSetFeed(d, FeedCounted, j);
  j->StripLeft = bytes;
  d->Damaged = false;
  d->Api->ReadHeader(info, TRUE);
  if (j->Ycbcr) {
    info->jpeg_color_space = JCS_YCbCr;
    info->out_color_space = JCS_RGB;
  } else {
    // As coded, whatever libjpeg guesses from the markers (libtiff's writer
    // leaves out the ones that would say RGB).
    info->jpeg_color_space = JCS_UNKNOWN;
    info->out_color_space = JCS_UNKNOWN;
  }
  d->Api->StartDecompress(info);
  if (info->output_components != static_cast<int>(j->InSamples) || info->output_width < j->InWidth)
    FailJob(j->Block, QV_ERR_TIFF_JPEG);
  uint64_t decoded = uint64_t{info->output_width} * info->output_components;
  if (decoded > j->InRowBytes && decoded > j->JpegRowSize) {
    // A datastream wider than its strip or tile: each row is decoded aside
    // and cut to it (a buffer as wide as the widest datastream so far).
    if (decoded >= kSeekPositionLimit) FailJob(j->Block, QV_ERR_TIFF_JPEG);
    j->JpegRow = static_cast<uint8_t *>(JobBufferOrFail(j->Block, static_cast<size_t>(decoded)));
    j->JpegRowSize = static_cast<uint32_t>(decoded);
  }
}

uint32_t JpegRow(TiffJob *j, uint8_t *row) {
  JpegDecoder *d = j->Jpeg;
  jpeg_decompress_struct *info = &d->Info;
  bool wide = uint64_t{info->output_width} * info->output_components > j->InRowBytes;
  JSAMPROW rows[1] = {wide ? j->JpegRow : row};
  // The datastream's rows are used up before the strip's: the data ended.
  if (info->output_scanline >= info->output_height || d->Api->ReadScanlines(info, rows, 1) != 1)
    FailJob(j->Block, QV_ERR_TIFF_STRIP_ENDED);
  if (wide) memcpy(row, j->JpegRow, j->InRowBytes);
  if (d->Damaged) {
    // Rows from the damage on are what libjpeg made of damaged data, which
    // differs between its builds for each processor (its vector code treats
    // coefficients out of range its own way): they are filled as other
    // damaged TIFF rows are, the same on every machine.
    memset(row, 0, j->InRowBytes);
    ++j->Block->DamagedRows;
    j->Block->Flags |= QV_FLAG_PARTIAL;
  }
  return kTiffRowRaw;
}

}  // namespace

const TiffCodec kTiffJpeg = {SetupJpeg, StartJpegStrip, JpegRow};

#else  // built without jpeglib.h

namespace {
void SetupJpeg(TiffJob *j) { FailJob(j->Block, QV_ERR_JPEG_UNAVAILABLE); }
void StartJpegStrip(TiffJob *, uint32_t) {}
uint32_t JpegRow(TiffJob *, uint8_t *) { return kTiffRowRaw; }
}  // namespace

const TiffCodec kTiffJpeg = {SetupJpeg, StartJpegStrip, JpegRow};

#endif
