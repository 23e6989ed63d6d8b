/*
 * Quorvin: streaming image decoder.
 *
 * One exported entry point, Corvane. The host owns a ParamBlock, two circular
 * byte queues (the image file goes in through InputQueue, a device-independent
 * bitmap comes out through OutputQueue) and an optional ExtraBuffer. Each
 * request returns a response code; a job suspends whenever input runs dry,
 * output fills, rows are ready, a position must change or more room is needed
 * for extra data, and the next request resumes it exactly there.
 *
 * Layout. On 32-bit targets (ILP32) the ParamBlock is the published 2108-byte
 * record with 32-bit pointers. On 64-bit targets (LP64) the same fields stand
 * in the same order with the same sizes, but every pointer is 8 bytes and each
 * field sits at its natural alignment: the block is 2168 bytes and a DataQueue
 * is 48. QV_PARAM_BLOCK_SIZE is the value BlockSize must hold on the target
 * the library was built for. Offsets (ILP32 / LP64):
 *
 *   Description 0/0, BlockSize 4/8, BlockVersion 8/12, Status 12/16,
 *   OperationCode 16/20, ImageType 36/40, Palette 60/64, Progress 1172/1176,
 *   ContextPointer 1176/1184, InputQueue 1180/1192, OutputQueue 1208/1240,
 *   PageNumber 1264/1316, SeekTarget 1272/1324, StartWords 1320/1372,
 *   ExtraBuffer 1812/1864, OptionA 1820/1876, OptionB 1824/1880,
 *   Flags 1844/1900, WholeInput 1852/1908, ExtraCapacity 1856/1912,
 *   ExtraUsed 1860/1916, ExtraShortfall 1864/1920, OptionC 1868/1924,
 *   InterlaceMode 1872/1928, BitmapHeader 1876/1932, RowsPerBatch 1916/1972,
 *   FileCompression 1924/1980, TransparentIndex 1928/1984,
 *   FaxFillOrder 1929/1985, FaxPhotometric 1930/1986, OptionByte 1931/1987,
 *   OptionWords 1932/1988, MemoryLimit 1960/2016, DamagedRows 1964/2020,
 *   Orientation 1968/2024.
 *
 * Running a job (examples/host.c is a complete program):
 *
 *   1. Zero the ParamBlock; set BlockSize = QV_PARAM_BLOCK_SIZE, BlockVersion
 *      <= QV_MAX_BLOCK_VERSION, OperationCode = QV_OPERATION_CODE; call
 *      Corvane(&block, RequestInit), expect ResponseDone.
 *   2. Set ImageType (QV_TYPE_*), the option fields and Flags option bits,
 *      ExtraBuffer/ExtraCapacity if wanted, and point both queues at storage
 *      of your own (start = front = rear, end = start + size; size >= 5).
 *   3. r = Corvane(&block, RequestRun), then serve r and call RequestResume
 *      until r is ResponseDone or ResponseError:
 *        ResponseNeedInput   put file bytes in at rear (wrap at end; one byte
 *                            always stays free), or set QV_QUEUE_END_OF_DATA
 *                            in InputQueue.flags when the file has ended.
 *                            SeekTarget holds the file position those bytes
 *                            come from (QV_SEEK_FROM_END: counted from the
 *                            end), for a host that does not keep count.
 *        ResponseNeedOutput  take bytes out at front and write them at the
 *                            current output position (which then advances);
 *                            SeekTarget holds QV_SEEK_OUTPUT | that position.
 *        ResponseRowsReady   a batch of rows is complete; take them likewise.
 *        ResponseSeek        SeekTarget & QV_SEEK_OUTPUT: first take every byte
 *                            still queued (it belongs at the old position), then
 *                            continue the output at SeekTarget & 0x3FFFFFFF.
 *                            Otherwise an input position (from the end when
 *                            QV_SEEK_FROM_END is set): drop every unread input
 *                            byte (front = rear), clear QV_QUEUE_END_OF_DATA and
 *                            go on reading the file from there.
 *        ResponseNeedExtra   grow ExtraBuffer by ExtraShortfall bytes (keep its
 *                            contents, update ExtraBuffer and ExtraCapacity) or
 *                            leave it: the reader then skips that record.
 *   4. ResponseDone: take the rest of the output. If Flags lacks
 *      QV_FLAG_FINAL_IMAGE, the image was an intermediate pass image of an
 *      interlaced GIF (InterlaceMode 0, 1, 3, 4, 5): keep it or drop it, set the
 *      output position back to 0 and call RequestRun (or RequestResume) for the
 *      next image; loop until an image arrives with QV_FLAG_FINAL_IMAGE set. A
 *      host that stops at the first ResponseDone gets only the first pass.
 *      Modes 3 and 5 refine one image in place: keep the previous bytes.
 *   5. Call Corvane(&block, RequestTerminate) after ResponseDone or
 *      ResponseError (harmless after an error: the job is already ended) and
 *      read the reason of an error from Status (QvStatusText below).
 *
 * To stop a job early, set QV_QUEUE_ABORT in the flags of the queue it waits
 * on and resume it: a job waiting for input fails with
 * QV_ERR_INPUT_ABORTED (-1006), one waiting for output room with
 * QV_ERR_OUTPUT_ABORTED (-1014). RequestTerminate ends a suspended job at
 * once as well. Bytes still queued are always delivered before the flag is
 * looked at.
 *
 * Queue sizes. Any storage of 5 bytes or more works, except where a reader
 * must reverse the order it produces rows in: it places them from the end by
 * output seeks and needs an output queue of at least one row (the stride,
 * below) plus one byte, else the job fails with QV_ERR_FLIP_ROOM (-7082)
 * before any row is written. That is the case for
 *   - BMP (0, BMPR, BMPO) with QV_FLAG_TOP_DOWN set,
 *   - GIF and PCX with QV_FLAG_TOP_DOWN clear (their files keep the top row
 *     first),
 *   - Targa when the file's origin (descriptor bit 5: top) and
 *     QV_FLAG_TOP_DOWN disagree.
 * TIFF and raw fax place rows through their own positioned output and work
 * with any queue size. The input queue has no minimum beyond 5 bytes.
 *
 * Pages. PageNumber picks the image of a multi-image TIFF file, counted from
 * 1; 0 also means the first. A page past the last fails with
 * QV_ERR_NO_PAGE (-1703). The library does not count pages: a host that wants
 * the count follows the file's chain of image directories itself (the 32-bit
 * offset at byte 4 of the file, then at each directory the offset stored
 * after its 2 + 12 x n bytes of entries, until an offset of 0).
 *
 * Output: with QV_FLAG_HEADER the 40-byte BitmapHeader and the colour table
 * (4 bytes per entry: blue, green, red, 0) come first, then the rows, each
 * padded to a multiple of 4 bytes (the stride: (bits x width + 31) / 32 x 4
 * bytes); the rows start at output position (total length -
 * BitmapHeader.biSizeImage). Rows go bottom row first unless QV_FLAG_TOP_DOWN
 * is set; a negative biHeight reverses that once more. The colour table is
 * also copied into Palette (at most QV_PALETTE_ENTRIES). It holds as many
 * entries as the reader delivers, which need not be 2^bits: a Targa colour
 * map may be longer, and a Targa file of type 2 with 8-bit pixels and no map
 * has none (biClrUsed 0).
 */
#ifndef QUORVIN_H
#define QUORVIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The helpers below are static functions defined here, so the library still
 * exports nothing but Corvane. C89 has no inline; GCC and Clang accept
 * __inline__ in every mode, MSVC __inline. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#  define QV_INLINE inline
#elif defined(__GNUC__)
#  define QV_INLINE __inline__
#elif defined(_MSC_VER)
#  define QV_INLINE __inline
#else
#  define QV_INLINE
#endif

#if defined(__i386__) || defined(_M_IX86)
#  if defined(_MSC_VER)
#    define QV_STDCALL __stdcall
#  else
#    define QV_STDCALL __attribute__((stdcall))
#  endif
#else
#  define QV_STDCALL
#endif

#if defined(_WIN32)
#  define QV_EXPORT
#else
#  define QV_EXPORT __attribute__((visibility("default")))
#endif

/* Four-character code: the four bytes in file order, read little-endian. */
#define QV_FOURCC(a, b, c, d) \
  ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | \
   ((uint32_t)(uint8_t)(c) << 16) | ((uint32_t)(uint8_t)(d) << 24))

/* ImageType codes. The job start refuses any other value with -7004. Within a
 * reader's group the codes select the same reader; what the file holds decides
 * the rest, except where noted. */
#define QV_TYPE_BMP  0u                           /* Windows bitmap, rows stored plain (1/4/8/16/24/32 bits) */
#define QV_TYPE_BMPR QV_FOURCC('B', 'M', 'P', 'R') /* Windows bitmap, RLE8 or RLE4 rows */
#define QV_TYPE_BMPO QV_FOURCC('B', 'M', 'P', 'O') /* OS/2 bitmap (12-byte header) */
#define QV_TYPE_GIFN QV_FOURCC('G', 'I', 'F', 'N') /* GIF, non-interlaced image only (-7020 otherwise) */
#define QV_TYPE_GIFI QV_FOURCC('G', 'I', 'F', 'I') /* GIF, interlaced image only (-7020 otherwise) */
#define QV_TYPE_GIFU QV_FOURCC('G', 'I', 'F', 'u') /* GIF, either: the first image of the file */
#define QV_TYPE_PCX1 QV_FOURCC('P', 'C', 'X', '1') /* PCX: the six PCX codes behave alike; */
#define QV_TYPE_PCX2 QV_FOURCC('P', 'C', 'X', '2') /*   the file's header decides the layout */
#define QV_TYPE_PCX3 QV_FOURCC('P', 'C', 'X', '3')
#define QV_TYPE_PCX4 QV_FOURCC('P', 'C', 'X', '4')
#define QV_TYPE_PCX8 QV_FOURCC('P', 'C', 'X', '8')
#define QV_TYPE_PCXT QV_FOURCC('P', 'C', 'X', 'T')
#define QV_TYPE_DCXZ QV_FOURCC('D', 'C', 'X', 'Z') /* multi-page DCX: always refused (-7017) */
#define QV_TYPE_TGA1 QV_FOURCC('T', 'G', 'A', '1') /* Targa, pixel data read uncompressed */
#define QV_TYPE_TGA2 QV_FOURCC('T', 'G', 'A', '2') /*   (the code, not the file's type byte, */
#define QV_TYPE_TGA3 QV_FOURCC('T', 'G', 'A', '3') /*   chooses plain or run-length reading) */
#define QV_TYPE_TGA9 QV_FOURCC('T', 'G', 'A', '9') /* Targa, pixel data read run-length coded */
#define QV_TYPE_TGAA QV_FOURCC('T', 'G', 'A', 'A')
#define QV_TYPE_TGAB QV_FOURCC('T', 'G', 'A', 'B')
#define QV_TYPE_TIF1 QV_FOURCC('T', 'I', 'F', '1') /* TIFF: the seven TIFF codes behave alike; */
#define QV_TYPE_TIFC QV_FOURCC('T', 'I', 'F', 'C') /*   PageNumber picks the image */
#define QV_TYPE_TIFG QV_FOURCC('T', 'I', 'F', 'G')
#define QV_TYPE_TIFL QV_FOURCC('T', 'I', 'F', 'L')
#define QV_TYPE_TIFM QV_FOURCC('T', 'I', 'F', 'M')
#define QV_TYPE_TIFZ QV_FOURCC('T', 'I', 'F', 'Z')
#define QV_TYPE_TIFU QV_FOURCC('T', 'I', 'F', 'u')
#define QV_TYPE_G3   QV_FOURCC('G', '3', ' ', ' ') /* raw Group 3 fax, one-dimensional coding */
#define QV_TYPE_G32D QV_FOURCC('G', '3', '2', 'D') /* raw Group 3 fax, two-dimensional coding */
#define QV_TYPE_PNG  QV_FOURCC('P', 'N', 'G', ' ') /* PNG: every colour type and depth, Adam7
                                                      (the final image; its even rows are
                                                      held in a job buffer, half the
                                                      bitmap); see QV_EXTRA_PNG_CHUNK */
#define QV_TYPE_JPEG QV_FOURCC('J', 'P', 'E', 'G') /* JPEG (baseline, extended, progressive,
                                                      8-bit samples), decoded by libjpeg-turbo
                                                      loaded when the first JPEG job runs; see
                                                      QV_EXTRA_JPEG_APP1 and QV_ERR_JPEG_* */

/* Not an image type: what QvDetectType returns when no format matches. */
#define QV_TYPE_UNKNOWN 0xFFFFFFFFu

/* The image types in one table: each row names a code's format for messages
 * and, where the format's files begin with something recognisable, the
 * signature that marks them: `length` bytes at `offset`, then the test
 * `check` (QV_SNIFF_*) on the rest of the header. A code may have several
 * rows; rows with length 0 only name their code. QvDetectType tries the rows
 * in order, so a more particular row stands before a more general one with
 * the same signature. A reader added to the library adds its rows here. */
enum {
  QV_SNIFF_NONE = 0,
  QV_SNIFF_BMP_OS2,  /* info header of 12 bytes */
  QV_SNIFF_BMP_RLE,  /* Windows info header with compression 1 (RLE8) or 2 (RLE4) */
  QV_SNIFF_BMP,      /* any other (the reader judges it) */
  QV_SNIFF_PCX,      /* a 128-byte header with run-length encoding 1 and a known version */
  QV_SNIFF_TGA       /* colour map type 0 or 1, a depth the reader knows, a nonzero size */
};

typedef struct QvTypeRow {
  uint32_t type;          /* the ImageType code */
  const char *name;       /* the format: "BMP", "GIF", "PCX", "DCX", "TGA", "TIFF", "raw G3 fax", "PNG",
                             "JPEG" */
  unsigned char check;    /* QV_SNIFF_* */
  unsigned char offset;   /* where the signature stands */
  unsigned char length;   /* signature bytes; 0: the row only names its code */
  const char *signature;
} QvTypeRow;

static QV_INLINE const QvTypeRow *QvTypeRows(size_t *count) {
  static const QvTypeRow rows[] = {
    {QV_TYPE_BMPO, "BMP", QV_SNIFF_BMP_OS2, 0, 2, "BM"},
    {QV_TYPE_BMPR, "BMP", QV_SNIFF_BMP_RLE, 0, 2, "BM"},
    {QV_TYPE_BMP, "BMP", QV_SNIFF_BMP, 0, 2, "BM"},
    {QV_TYPE_PNG, "PNG", QV_SNIFF_NONE, 0, 8, "\x89PNG\r\n\x1A\n"},
    {QV_TYPE_JPEG, "JPEG", QV_SNIFF_NONE, 0, 3, "\xFF\xD8\xFF"},  /* SOI, then a marker */
    {QV_TYPE_GIFU, "GIF", QV_SNIFF_NONE, 0, 6, "GIF87a"},
    {QV_TYPE_GIFU, "GIF", QV_SNIFF_NONE, 0, 6, "GIF89a"},
    {QV_TYPE_GIFN, "GIF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_GIFI, "GIF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_TIFU, "TIFF", QV_SNIFF_NONE, 0, 4, "II*\0"},  /* little-endian */
    {QV_TYPE_TIFU, "TIFF", QV_SNIFF_NONE, 0, 4, "MM\0*"},  /* big-endian */
    {QV_TYPE_TIFU, "TIFF", QV_SNIFF_NONE, 0, 4, "II+\0"},  /* BigTIFF (version 43): extended decoding */
    {QV_TYPE_TIFU, "TIFF", QV_SNIFF_NONE, 0, 4, "MM\0+"},
    {QV_TYPE_TIF1, "TIFF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_TIFC, "TIFF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_TIFG, "TIFF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_TIFL, "TIFF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_TIFM, "TIFF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_TIFZ, "TIFF", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_DCXZ, "DCX", QV_SNIFF_NONE, 0, 4, "\xB1\x68\xDE\x3A"},
    {QV_TYPE_PCX8, "PCX", QV_SNIFF_PCX, 0, 1, "\x0A"},
    {QV_TYPE_PCX1, "PCX", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_PCX2, "PCX", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_PCX3, "PCX", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_PCX4, "PCX", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_PCXT, "PCX", QV_SNIFF_NONE, 0, 0, ""},
    /* Targa files have no signature: the type byte at offset 2 and a header
       that makes sense. Last, as the weakest evidence. */
    {QV_TYPE_TGA1, "TGA", QV_SNIFF_TGA, 2, 1, "\x01"},
    {QV_TYPE_TGA2, "TGA", QV_SNIFF_TGA, 2, 1, "\x02"},
    {QV_TYPE_TGA3, "TGA", QV_SNIFF_TGA, 2, 1, "\x03"},
    {QV_TYPE_TGA9, "TGA", QV_SNIFF_TGA, 2, 1, "\x09"},
    {QV_TYPE_TGAA, "TGA", QV_SNIFF_TGA, 2, 1, "\x0A"},
    {QV_TYPE_TGAB, "TGA", QV_SNIFF_TGA, 2, 1, "\x0B"},
    /* Raw fax data has no header: a host recognises it by decoding it. */
    {QV_TYPE_G3, "raw G3 fax", QV_SNIFF_NONE, 0, 0, ""},
    {QV_TYPE_G32D, "raw G3 fax", QV_SNIFF_NONE, 0, 0, ""}
  };
  *count = sizeof rows / sizeof rows[0];
  return rows;
}

static QV_INLINE uint32_t QvGet32le(const unsigned char *p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

/* The test of a row's check on the first n bytes h of a file. */
static QV_INLINE int QvSniffHeader(unsigned check, const unsigned char *h, size_t n) {
  uint32_t info;
  switch (check) {
    case QV_SNIFF_BMP_OS2:
    case QV_SNIFF_BMP_RLE:
    case QV_SNIFF_BMP:
      if (n < 18) return 0;
      info = QvGet32le(h + 14);
      if (check == QV_SNIFF_BMP_OS2) return info == 12;
      if (check == QV_SNIFF_BMP) return 1;
      return info > 12 && n >= 34 && (QvGet32le(h + 30) == 1 || QvGet32le(h + 30) == 2);
    case QV_SNIFF_PCX:
      return n >= 128 && h[2] == 1 && (h[1] == 0 || (h[1] >= 2 && h[1] <= 5));
    case QV_SNIFF_TGA:
      if (n < 18 || h[1] > 1) return 0;
      switch (h[16]) {
        case 1: case 4: case 8: case 15: case 16: case 24: case 32: break;
        default: return 0;
      }
      return (h[12] | h[13]) != 0 && (h[14] | h[15]) != 0;
    default:
      return 1;
  }
}

/* The image type a file's first n bytes (32 or more where the file has them)
 * show, or QV_TYPE_UNKNOWN. BMP: QV_TYPE_BMPO for an OS/2 header,
 * QV_TYPE_BMPR for RLE8 and RLE4 compression, else QV_TYPE_BMP. Targa: the
 * code of the file's type byte (TGA1, TGA2, TGA3, TGA9, TGAA, TGAB). TIFF in
 * either byte order, and BigTIFF: QV_TYPE_TIFU. GIF 87a and 89a:
 * QV_TYPE_GIFU. PCX: QV_TYPE_PCX8. DCX: QV_TYPE_DCXZ (which the library refuses). PNG:
 * QV_TYPE_PNG. JPEG (SOI and a marker): QV_TYPE_JPEG. Raw fax data is never
 * detected. */
static QV_INLINE uint32_t QvDetectType(const void *head, size_t n) {
  const unsigned char *h = (const unsigned char *)head;
  size_t count, i, k;
  const QvTypeRow *rows = QvTypeRows(&count);
  for (i = 0; i < count; ++i) {
    const QvTypeRow *r = &rows[i];
    if (r->length == 0 || n < (size_t)r->offset + r->length) continue;
    for (k = 0; k < r->length; ++k)
      if (h[r->offset + k] != (unsigned char)r->signature[k]) break;
    if (k == r->length && QvSniffHeader(r->check, h, n)) return r->type;
  }
  return QV_TYPE_UNKNOWN;
}

/* The format of an image-type code ("BMP" for 0, "TIFF" for TIF1, ...), or
 * a null pointer when the code is no image type. */
static QV_INLINE const char *QvImageTypeName(uint32_t type) {
  size_t count, i;
  const QvTypeRow *rows = QvTypeRows(&count);
  for (i = 0; i < count; ++i)
    if (rows[i].type == type) return rows[i].name;
  return 0;
}

/* InterlaceMode: how an interlaced GIF image is delivered (ignored for any
 * other image). Pass images end with ResponseDone and QV_FLAG_FINAL_IMAGE
 * clear; the host asks for the next image with RequestRun or RequestResume. */
enum {
  QV_INTERLACE_PASS_IMAGES = 0,    /* passes 1, 3, 4 each as an image of its own rows
                                      (the second pass is never shown), then the final
                                      image; the image data is read twice */
  QV_INTERLACE_STRETCHED = 1,      /* passes 1, 3, 4 stretched to full height (each row
                                      repeated), then the final image; read twice */
  QV_INTERLACE_FINAL_ONLY = 2,     /* the final image only: one image, data read once */
  QV_INTERLACE_REFINED = 3,        /* one image refined in place after every pass: keep
                                      the previous bytes; data read once */
  QV_INTERLACE_STRETCHED_ALT = 4,  /* as 1 */
  QV_INTERLACE_REFINED_ALT = 5     /* as 3 */
};

/* WholeInput: 0 streams the file through the input queue (the reader asks for
 * input positions with ResponseSeek when it must move). 1 means the whole file
 * already lies in the input queue from its first byte, with
 * QV_QUEUE_END_OF_DATA set: readers then move the queue's read position
 * themselves instead of asking for seeks. Other values are refused (-7005). */
#define QV_WHOLE_INPUT 1u

/* Extra-data records: with ExtraBuffer set, readers append records of file
 * data that is not part of the bitmap. Each record is a u32 kind, a u32 length
 * and length data bytes, packed one after another (no padding, native
 * little-endian integers); ExtraUsed counts the bytes filled. */
#define QV_EXTRA_BMP_HEADER      0x1000u /* BMP: info-header bytes beyond the standard 40
                                            (Windows) or 12 (OS/2), as in the file */
#define QV_EXTRA_BMP_PROFILE     0x1001u /* BMP, with QV_FLAG_EXTENDED: the colour profile a
                                            124-byte header names, its ProfileSize bytes as
                                            in the file: an ICC profile (bV5CSType "MBED")
                                            or a linked profile's file name ("LINK"); the
                                            type is bytes 16-19 of the 0x1000 record */
#define QV_EXTRA_TGA_IMAGE_ID    0x2001u /* Targa: the image ID bytes */
#define QV_EXTRA_TGA_EXTENSION   0x2002u /* Targa: extension area, length 495: its size field
                                            (written as 495) and the 493 bytes after it; the
                                            file offsets at 482, 486, 490 are zeroed */
#define QV_EXTRA_TGA_DIRECTORY   0x2003u /* Targa: developer directory, length 2: the u16 count */
#define QV_EXTRA_TGA_FIELD       0x2004u /* Targa: one developer field's data (no tag number) */
#define QV_EXTRA_GIF_EXTENSION   0x3001u /* GIF: one extension block: 0x21, the label, the
                                            first block's bytes (no count byte), each further
                                            sub-block as count byte + bytes, then a 0 byte */
#define QV_EXTRA_PNG_CHUNK       0x5001u /* PNG: one chunk the reader reports but does not apply
                                            (tEXt, zTXt, iTXt, gAMA, cHRM, sRGB, iCCP,
                                            eXIf): its 4-letter type, then its data as in the
                                            file. PNG bitmaps: palette and grey as 1-, 4- or
                                            8-bit with a colour table of 2^depth entries (2-bit
                                            as 4, 16-bit grey as 8; palette entries the file
                                            lacks are black), RGB as 24-bit, anything with
                                            alpha as 32-bit BGRA with QV_FLAG_ALPHA, set for
                                            PNG with or without QV_FLAG_EXTENDED (a palette or
                                            grey value alone fully transparent:
                                            TransparentIndex); 16-bit samples scaled to 8 bits
                                            rounded, v * 255 / 65535 (as libpng's
                                            png_set_scale_16); pHYs in metres gives the
                                            resolution fields; gAMA, cHRM, sRGB and iCCP are
                                            reported, never applied */
#define QV_EXTRA_JPEG_APP1       0x6001u /* JPEG: one APP1 segment's data as in the file, after
                                            its length: "Exif\0\0" and the EXIF structure (a
                                            TIFF header and directories), or an XMP packet */
#define QV_EXTRA_JPEG_COMMENT    0x6002u /* JPEG: one COM segment's data (the comment) */
#define QV_EXTRA_JPEG_WARNINGS   0x6003u /* JPEG: after the last row, when libjpeg warned about
                                            damaged data it decoded anyway, length 8: the u32
                                            count of warnings, the u32 libjpeg message code of
                                            the first */
/* JPEG bitmaps: grey as 8-bit with a grey colour table, YCbCr and RGB as
   24-bit, CMYK and YCCK as 32-bit CMYK (biCompression "CMYK", bytes C, M, Y,
   K, 255 full ink; the inverted values of files with an Adobe segment made
   plain). The resolution fields come from the JFIF density when it is in
   dots per inch or centimetre, else from the EXIF XResolution, YResolution
   and ResolutionUnit. Orientation holds the EXIF orientation (1 without one),
   whether QV_FLAG_EXTENDED is set or not. APP1 and COM segments before the
   first scan are reported. A baseline file is decoded in a few rows of
   working memory; a progressive one holds every DCT coefficient of the image
   (2 bytes a sample of each component, so about 3 bytes a pixel for 4:2:0
   colour, 6 for 4:4:4), all of it counted against MemoryLimit. */
#define QV_EXTRA_TIFF_TAG        0x4000u /* TIFF: kind = 0x4000 + tag number; data = u16 field
                                            type, u32 value count, then the values exactly as
                                            in the file (file byte order); length = 6 + data */

/* Requests (second argument of Corvane). */
enum {
  RequestInit = 1,
  RequestRun = 2,
  RequestResume = 3,
  RequestTerminate = 4
};

/* Responses (result of Corvane). */
enum {
  ResponseDone = 1,
  ResponseError = 2,
  ResponseRowsReady = 4,
  ResponseNeedOutput = 7,
  ResponseNeedInput = 8,
  ResponseSeek = 10,
  ResponseNeedExtra = 11
};

#define QV_OPERATION_CODE 85010u
#define QV_DEFAULT_MEMORY_LIMIT (256u << 20) /* MemoryLimit 0: 256 MiB per job */
#define QV_MAX_BLOCK_VERSION 20u
#define QV_PALETTE_ENTRIES 272

/* Flags bits. */
#define QV_FLAG_GREY          0x00000001u /* result: the colour table is grey */
#define QV_FLAG_TOP_DOWN      0x00000002u /* option: top row first */
#define QV_FLAG_TRANSPARENT   0x00000004u /* result: TransparentIndex is valid */
#define QV_FLAG_HEADER        0x00000008u /* option: header and colour table into the output */
#define QV_FLAG_BATCH         0x00020000u /* option: yield after RowsPerBatch rows */
#define QV_FLAG_FINAL_IMAGE   0x00100000u /* result: the image just delivered is the final one */
#define QV_FLAG_OVERLAY       0x01000000u /* option: transparent overlay (GIF): each row is
                                             merged into what the output storage already
                                             holds, its transparent bytes leaving the old
                                             ones; the queue must hold a whole row between
                                             the write position and the storage end, else
                                             -7005. Other readers ignore it. */
#define QV_FLAG_EXTENDED      0x10000000u /* option: also decode the variants the classic
                                             readers refuse (see below); clear, every
                                             byte and status stays as without it */
/* Results that only a job with QV_FLAG_EXTENDED reports: */
#define QV_FLAG_PARTIAL       0x20000000u /* result: the file ended early or held damaged
                                             rows; rows it could not give were filled
                                             (background, or the row above for fax rows),
                                             DamagedRows counts them */
#define QV_FLAG_ALPHA         0x40000000u /* result: 32-bit rows carry alpha in their
                                             fourth byte (blue, green, red, alpha) */
#define QV_FLAG_PREMULTIPLIED 0x80000000u /* result: that alpha is associated: the colours
                                             are already multiplied by it */

/* DataQueue flags. */
#define QV_QUEUE_END_OF_DATA 0x1u /* input: the file has no more bytes */
#define QV_QUEUE_ABORT       0x4u /* either queue: stop a job that waits on it (-1006, -1014) */

/* SeekTarget encoding. */
#define QV_SEEK_OUTPUT   0x40000000u /* output byte position n */
#define QV_SEEK_FROM_END 0x80000000u /* input position n bytes before the end */

/* While a job waits the host may move queue positions (a position outside the
   storage counts as its start) but must keep the storage. At every return to
   the job the engine compares: a queue whose start or end changed (null,
   emptied, shrunk, moved; a queue that had no storage may be given storage
   the job start would accept), a changed ExtraUsed, or an ExtraBuffer or
   ExtraCapacity changed other than in answer to ResponseNeedExtra ends the
   job with QV_ERR_BAD_OPTION (-7005). Working buffers that would take a job
   past its MemoryLimit (256 MiB in all when 0) are refused with
   QV_ERR_BUFFER (-7003). A ContextPointer that names no live job
   of this block (a stale copy) is no job: -1501. */

/* Status numbers of the request layer, the queues and the job start. */
enum {
  QV_OK = 0,
  QV_ERR_NO_JOB = -1501,
  QV_ERR_JOB_EXISTS = -1502,
  QV_ERR_BAD_REQUEST = -1504,
  QV_ERR_BAD_OPERATION = -1506,
  QV_ERR_BAD_BLOCK = -1507,
  QV_ERR_STACK_OVERFLOW = -1590, /* the job overran its private stack (never expected) */
  QV_ERR_NO_MEMORY = -1007,
  QV_ERR_INPUT_ABORTED = -1006,
  QV_ERR_INPUT_ENDED = -1013,
  QV_ERR_OUTPUT_ABORTED = -1014,
  QV_ERR_BUFFER = -7003,
  QV_ERR_BAD_IMAGE_TYPE = -7004,
  QV_ERR_BAD_OPTION = -7005,
  QV_ERR_BAD_HEADER = -7006,
  QV_ERR_RLE_OVERRUN = -7007,
  QV_ERR_RLE_CODE = -7008,
  QV_ERR_TGA_DEPTH = -7012,
  QV_ERR_TGA_RLE_DEPTH = -7013,
  QV_ERR_PCX_PALETTE = -7014,
  QV_ERR_BMP_TYPE = -7015,
  QV_ERR_TGA_TYPE = -7016,
  QV_ERR_PCX_TYPE = -7017,
  QV_ERR_GIF_SIGNATURE = -7018,
  QV_ERR_GIF_BLOCK = -7019,
  QV_ERR_GIF_INTERLACE = -7020,
  QV_ERR_LZW = -7021,
  QV_ERR_GIF_EXTENSION = -7027,
  QV_ERR_TGA_ATTRIBUTES = -7071,
  QV_ERR_FLIP_ROOM = -7082,
  /* The image type is valid but its reader is not part of this build. */
  QV_ERR_READER_MISSING = -7099,

  /* TIFF streams (positioned input and output through the two queues). */
  QV_ERR_INPUT_STALLED = -1515,    /* no input storage, or the host added no input */
  QV_ERR_OUTPUT_STALLED = -1516,   /* no output storage, or the host took nothing out */
  QV_ERR_QUEUE_FLAG = -1547,       /* queue flag bit 1 set when a stream starts */
  QV_ERR_OUTPUT_PLACEMENT = -1548, /* output placed outside the queue's window of positions */
  QV_ERR_QUEUE_OVERFULL = -7107,   /* rear at the storage end while front is at its start */

  /* TIFF structure and tags. */
  QV_ERR_NO_PAGE = -1703,             /* the requested page does not exist */
  QV_ERR_NOT_TIFF_TYPE = -7028,       /* image type is not a TIFF or raw-fax code */
  QV_ERR_TIFF_TAG_TYPE = -7030,       /* descriptive tag of field type 11 or more */
  QV_ERR_TIFF_JPEG = -7031,           /* JPEG tags (old-style JPEG, Compression 6); with
                                         QV_FLAG_EXTENDED also JPEG data libjpeg cannot
                                         place: no tables, a size or component count other
                                         than the strip's or tile's */
  QV_ERR_TIFF_TILES = -7034,          /* tile tags */
  QV_ERR_TIFF_YCBCR = -7036,          /* YCbCr tags */
  QV_ERR_TIFF_PHOTOMETRIC = -7037,    /* PhotometricInterpretation absent or not 0, 1, 2, 3, 5 */
  QV_ERR_TIFF_COMPRESSION = -7038,    /* Compression not 1, 2, 3, 4, 5 or 32773 (with
                                         QV_FLAG_EXTENDED also 8 and 32946, Deflate, and 7,
                                         JPEG through libjpeg as for JPEG files) */
  QV_ERR_TIFF_NO_STRIPS = -7039,      /* no StripOffsets */
  QV_ERR_TIFF_NO_COLORMAP = -7040,    /* a colour map is needed and ColorMap is absent */
  QV_ERR_TIFF_COLORMAP_SIZE = -7041,  /* ColorMap does not hold 3 x 2^depth values */
  QV_ERR_TIFF_NO_DIMENSIONS = -7042,  /* ImageWidth or ImageLength absent or 0 */
  QV_ERR_TIFF_STRIP_COUNT = -7044,    /* too few strips for the image height */
  QV_ERR_TIFF_COUNT = -7045,          /* a scalar tag with a count other than 1 */
  QV_ERR_TIFF_VALUE_TYPE = -7046,     /* field type 11 or more, an 8-byte scalar, or values past 4 GiB */
  QV_ERR_TIFF_SAMPLES = -7049,        /* ExtraSamples, or bits per sample not supported */
  QV_ERR_TIFF_SAMPLE_FORMAT = -7074,  /* SampleFormat other than 1, SMinSampleValue, SMaxSampleValue */
  QV_ERR_TIFF_FAR = -7047,            /* extended decoding: a directory, value or strip the reader
                                         must reach lies at or beyond 2^30 (1 GiB), past what
                                         SeekTarget can carry (BigTIFF mostly) */

  /* TIFF strip decoding. */
  QV_ERR_TIFF_STRIP_ENDED = -7103,    /* a strip's data (its byte count) used up before its rows */
  QV_ERR_TIFF_PREDICTOR = -7104,      /* Predictor not usable with this depth or compression */
  QV_ERR_TIFF_PLANAR = -7105,         /* PlanarConfiguration other than 1 */
  QV_ERR_TIFF_SAMPLES_PER_PIXEL = -7106, /* SamplesPerPixel not 1, 3 or 4 */
  QV_ERR_TIFF_FILL_ORDER = -7108,     /* FillOrder 2 with uncompressed or PackBits data */

  /* Fax decoding (modified Huffman, T.4 one- and two-dimensional, T.6). Raw fax
     rows leave in page order: with Flags bit 1 clear the final biHeight is
     minus the rows decoded (top row first), with it set plus. */
  QV_ERR_FAX_EMPTY_PAGE = -7109,      /* raw fax data ends its page before the first row */
  QV_ERR_FAX_HORIZONTAL = -7110,      /* horizontal mode cut by an EOL or by the end of data */
  QV_ERR_FAX_OVERRUN = -7111,         /* a position past the row width, or left of 0 */
  QV_ERR_FAX_FILL = -7112,            /* a strip's bytes ended inside EOL fill or before a tag bit */
  QV_ERR_FAX_FIRST_ROW_2D = -7113,    /* a strip's first MR row is two-dimensional */
  QV_ERR_FAX_CODE = -7115,            /* bits that begin no code (extension codes included) */
  QV_ERR_FAX_VERTICAL = -7116,        /* a vertical mode puts a1 left of a0 */
  QV_ERR_FAX_NO_EOL = -7117,          /* an MR row that does not begin with an EOL */
  QV_ERR_FAX_CHANGES = -7118,         /* more changes in a row than its width allows
                                         (zero-length runs that do not advance) */

  /* Deflate data (zlib streams and raw deflate). */
  QV_ERR_INFLATE_HEADER = -7121,      /* zlib header: bad check bits, method other than 8,
                                         window above 32 KiB, or a preset dictionary */
  QV_ERR_INFLATE_BLOCK_TYPE = -7122,  /* block type 3 */
  QV_ERR_INFLATE_STORED = -7123,      /* stored block whose length and its complement disagree */
  QV_ERR_INFLATE_LENGTHS = -7124,     /* Huffman code lengths over-subscribed or incomplete, a
                                         repeat with nothing to repeat or past the last length,
                                         too many codes, or no end-of-block code */
  QV_ERR_INFLATE_CODE = -7125,        /* a code that names no symbol (length 286 or 287, distance
                                         30 or 31, or bits outside an incomplete code) */
  QV_ERR_INFLATE_DISTANCE = -7126,    /* a distance reaching back before the first byte */
  QV_ERR_INFLATE_CHECKSUM = -7127,    /* Adler-32 of the data differs from the stream's */
  QV_ERR_INFLATE_TRUNCATED = -7128,   /* the data ended before the last block (or the zlib
                                         check value) */

  /* PNG. */
  QV_ERR_PNG_SIGNATURE = -7131,       /* not the PNG signature */
  QV_ERR_PNG_HEADER = -7132,          /* IHDR missing, or a size, depth, colour type or method
                                         it cannot have */
  QV_ERR_PNG_CRC = -7133,             /* a chunk's check value differs (with QV_FLAG_EXTENDED
                                         such chunks are taken as they are) */
  QV_ERR_PNG_CHUNK = -7134,           /* a chunk out of place or of a bad length, an unknown
                                         critical chunk, a palette image without PLTE */
  QV_ERR_PNG_FILTER = -7135,          /* a line's filter type is not 0 to 4 */
  QV_ERR_PNG_DATA = -7136,            /* the image data ends before the last line */
  QV_ERR_PNG_EXCESS = -7137,          /* the image data goes on after the last line (more
                                         lines, or bytes after the zlib stream); with
                                         QV_FLAG_EXTENDED the surplus lines are decoded (the
                                         stream must still end whole) and dropped, and bytes
                                         after the stream are ignored */
  /* JPEG. A failure libjpeg reports is QV_ERR_JPEG_LIBRARY minus libjpeg's
     message code (the JERR_ values of its jerror.h, 1 to 199): Status -7300 -
     code, between QV_ERR_JPEG_LIBRARY_LAST and QV_ERR_JPEG_LIBRARY - 1. */
  QV_ERR_JPEG_UNAVAILABLE = -7160,    /* libjpeg-turbo's libjpeg.so.62 (Debian package
                                         libjpeg62-turbo) could not be loaded, or the library
                                         was built without its JPEG reader (Windows) */
  QV_ERR_JPEG_PRECISION = -7161,      /* samples of other than 8 bits (12-bit JPEG): the
                                         loaded library does not decode them */
  QV_ERR_JPEG_COLOUR = -7162,         /* components that are not grey, YCbCr, RGB, CMYK or YCCK */
  QV_ERR_JPEG_SIGNATURE = -7163,      /* not a JPEG file (no start-of-image marker) */
  QV_ERR_JPEG_LIBRARY = -7300,
  QV_ERR_JPEG_LIBRARY_LAST = -7499
};

/* A one-line meaning of a Status number (header-only: the library exports
 * nothing but Corvane). Unknown numbers get a generic text by their range. */
static QV_INLINE const char *QvStatusText(int32_t status) {
  switch (status) {
    case QV_OK: return "no failure";
    case QV_ERR_NO_JOB: return "no job exists (ContextPointer is 0 or stale)";
    case QV_ERR_JOB_EXISTS: return "a job already exists on this block";
    case QV_ERR_BAD_REQUEST: return "request code outside 1..4";
    case QV_ERR_BAD_OPERATION: return "OperationCode is not 85010";
    case QV_ERR_BAD_BLOCK: return "BlockSize or BlockVersion refused";
    case QV_ERR_STACK_OVERFLOW: return "the job overran its private stack";
    case QV_ERR_NO_MEMORY: return "not enough memory";
    case QV_ERR_INPUT_ABORTED: return "input aborted by the host";
    case QV_ERR_INPUT_ENDED: return "the file ended early";
    case QV_ERR_OUTPUT_ABORTED: return "output aborted by the host";
    case QV_ERR_BUFFER: return "a working buffer could not be allocated";
    case QV_ERR_BAD_IMAGE_TYPE: return "unknown image type";
    case QV_ERR_BAD_OPTION: return "inconsistent queue description or refused option";
    case QV_ERR_BAD_HEADER: return "invalid or unsupported header";
    case QV_ERR_RLE_OVERRUN: return "run-length data runs past the row";
    case QV_ERR_RLE_CODE: return "unsupported run-length code (delta or overlong literal)";
    case QV_ERR_TGA_DEPTH: return "unsupported Targa pixel depth";
    case QV_ERR_TGA_RLE_DEPTH: return "unsupported Targa run-length depth";
    case QV_ERR_PCX_PALETTE: return "PCX 256-colour table marker missing";
    case QV_ERR_BMP_TYPE: return "unsupported BMP compression or image type";
    case QV_ERR_TGA_TYPE: return "not a Targa image type";
    case QV_ERR_PCX_TYPE: return "not a PCX image type (DCX is not read)";
    case QV_ERR_GIF_SIGNATURE: return "not a GIF87a or GIF89a file";
    case QV_ERR_GIF_BLOCK: return "unexpected GIF block before the first image";
    case QV_ERR_GIF_INTERLACE: return "GIF interlacing does not match the image type";
    case QV_ERR_LZW: return "corrupt LZW data";
    case QV_ERR_GIF_EXTENSION: return "unknown GIF extension";
    case QV_ERR_TGA_ATTRIBUTES: return "32-bit Targa without 8 attribute bits";
    case QV_ERR_FLIP_ROOM: return "the output queue cannot hold one row";
    case QV_ERR_READER_MISSING: return "the reader for this image type is not built";
    case QV_ERR_INPUT_STALLED: return "no input storage, or the host added no input";
    case QV_ERR_OUTPUT_STALLED: return "no output storage, or the host took no output";
    case QV_ERR_QUEUE_FLAG: return "a queue flag refused by the TIFF streams is set";
    case QV_ERR_OUTPUT_PLACEMENT: return "output placed outside the queue's window";
    case QV_ERR_QUEUE_OVERFULL: return "queue rear at the storage end with front at its start";
    case QV_ERR_NO_PAGE: return "the requested TIFF page does not exist";
    case QV_ERR_NOT_TIFF_TYPE: return "not a TIFF or raw fax image type";
    case QV_ERR_TIFF_TAG_TYPE: return "TIFF tag of an unknown field type";
    case QV_ERR_TIFF_JPEG: return "JPEG-compressed TIFF is not read";
    case QV_ERR_TIFF_TILES: return "tiled TIFF is not read";
    case QV_ERR_TIFF_YCBCR: return "YCbCr TIFF is not read";
    case QV_ERR_TIFF_PHOTOMETRIC: return "TIFF photometric interpretation missing or unsupported";
    case QV_ERR_TIFF_COMPRESSION: return "unsupported TIFF compression";
    case QV_ERR_TIFF_NO_STRIPS: return "TIFF image without strip offsets";
    case QV_ERR_TIFF_NO_COLORMAP: return "palette TIFF without a colour map";
    case QV_ERR_TIFF_COLORMAP_SIZE: return "TIFF colour map of the wrong size";
    case QV_ERR_TIFF_NO_DIMENSIONS: return "TIFF image width or length missing";
    case QV_ERR_TIFF_STRIP_COUNT: return "too few TIFF strips for the image height";
    case QV_ERR_TIFF_COUNT: return "TIFF tag with a value count other than 1";
    case QV_ERR_TIFF_VALUE_TYPE: return "TIFF tag value of an unusable type";
    case QV_ERR_TIFF_SAMPLES: return "unsupported TIFF samples (extra samples or bit depth)";
    case QV_ERR_TIFF_SAMPLE_FORMAT: return "unsupported TIFF sample format";
    case QV_ERR_TIFF_FAR: return "TIFF data lies beyond 1 GiB, where the input cannot seek";
    case QV_ERR_TIFF_STRIP_ENDED: return "a TIFF strip's data ended before its rows";
    case QV_ERR_TIFF_PREDICTOR: return "TIFF predictor not usable here";
    case QV_ERR_TIFF_PLANAR: return "separate TIFF colour planes are not read";
    case QV_ERR_TIFF_SAMPLES_PER_PIXEL: return "TIFF samples per pixel not 1, 3 or 4";
    case QV_ERR_TIFF_FILL_ORDER: return "TIFF fill order 2 with uncompressed or PackBits data";
    case QV_ERR_FAX_EMPTY_PAGE: return "fax data ends before the first row";
    case QV_ERR_FAX_HORIZONTAL: return "fax horizontal mode cut short";
    case QV_ERR_FAX_OVERRUN: return "fax row runs past its width";
    case QV_ERR_FAX_FILL: return "fax data ended inside fill or before a tag bit";
    case QV_ERR_FAX_FIRST_ROW_2D: return "first fax row of a strip is two-dimensional";
    case QV_ERR_FAX_CODE: return "invalid fax code";
    case QV_ERR_FAX_VERTICAL: return "fax vertical mode moves backwards";
    case QV_ERR_FAX_NO_EOL: return "two-dimensional fax row without an end-of-line code";
    case QV_ERR_FAX_CHANGES: return "more colour changes in a fax row than its width allows";
    case QV_ERR_INFLATE_HEADER: return "bad or unsupported zlib header";
    case QV_ERR_INFLATE_BLOCK_TYPE: return "deflate block of the reserved type 3";
    case QV_ERR_INFLATE_STORED: return "stored deflate block with a bad length";
    case QV_ERR_INFLATE_LENGTHS: return "invalid Huffman code lengths in deflate data";
    case QV_ERR_INFLATE_CODE: return "invalid code in deflate data";
    case QV_ERR_INFLATE_DISTANCE: return "deflate distance reaches before the start of the data";
    case QV_ERR_INFLATE_CHECKSUM: return "zlib check value (Adler-32) mismatch";
    case QV_ERR_INFLATE_TRUNCATED: return "deflate data ended early";
    case QV_ERR_PNG_SIGNATURE: return "not a PNG file";
    case QV_ERR_PNG_HEADER: return "invalid or unsupported PNG header";
    case QV_ERR_PNG_CRC: return "PNG chunk check value differs";
    case QV_ERR_PNG_CHUNK: return "PNG chunk out of place, of a bad length or unknown and critical";
    case QV_ERR_PNG_FILTER: return "PNG line with an unknown filter type";
    case QV_ERR_PNG_DATA: return "PNG image data ends before the last line";
    case QV_ERR_PNG_EXCESS: return "PNG image data goes on after the last line";
    case QV_ERR_JPEG_UNAVAILABLE:
      return "JPEG needs libjpeg-turbo (libjpeg.so.62, Debian package libjpeg62-turbo), which is not available";
    case QV_ERR_JPEG_PRECISION: return "JPEG samples of other than 8 bits are not read";
    case QV_ERR_JPEG_COLOUR: return "JPEG components that are not grey, YCbCr, RGB, CMYK or YCCK";
    case QV_ERR_JPEG_SIGNATURE: return "not a JPEG file";
    default: break;
  }
  if (status < QV_ERR_JPEG_LIBRARY && status >= QV_ERR_JPEG_LIBRARY_LAST)
    return "libjpeg refused the JPEG data (its message code is -7300 - status)";
  if (status > 0) return "not a status (positive)";
  if (status <= -7000) return "the image reader refused the file";
  if (status <= -1500) return "the request was refused";
  return "failure";
}

/* Circular byte queue. At most (end - start - 1) bytes are held. */
typedef struct DataQueue {
  uint32_t Reserved0;
  uint8_t *start; /* first byte of the storage */
  uint8_t *front; /* next byte to take out */
  uint8_t *rear;  /* next free byte to put into */
  uint8_t *end;   /* one past the last byte of the storage */
  uint32_t Reserved1;
  uint32_t flags; /* QV_QUEUE_END_OF_DATA, QV_QUEUE_ABORT */
} DataQueue;

typedef struct BitmapInfoHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
} BitmapInfoHeader;

typedef struct PaletteEntry {
  uint8_t blue, green, red, fourth;
} PaletteEntry;

typedef struct ParamBlock {
  const char *Description; /* set at job start to the library's constant text
                              "Bitmap, Targa, PCX, GIF or TIFF Input"; valid while
                              the library is loaded */
  uint32_t BlockSize;
  uint8_t BlockVersion;
  uint8_t Reserved9[3];
  int32_t Status;
  uint32_t OperationCode;
  uint8_t Reserved20[16];
  uint32_t ImageType;
  uint8_t Reserved40[20];
  PaletteEntry Palette[QV_PALETTE_ENTRIES];
  uint8_t Reserved1148[24];
  int32_t Progress;        /* TIFF: rows decoded so far, in percent; raw fax: 100 once
                              the page has ended; the other readers leave it as it is */
  void *ContextPointer;    /* the library's job; 0 before RequestInit, never changed
                              by the host */
  DataQueue InputQueue;
  DataQueue OutputQueue;
  uint8_t Reserved1236[28];
  uint32_t PageNumber;     /* TIFF: the page to decode, from 1 (0 is the first too) */
  uint8_t Reserved1268[4];
  uint32_t SeekTarget;
  uint8_t Reserved1276[44];
  uint16_t StartWords[4]; /* set to 1, 0, 0, 1 at job start */
  uint8_t Reserved1328[484];
  uint8_t *ExtraBuffer;
  uint8_t Reserved1816[4];
  uint32_t OptionA; /* not supported; must be 0, else -7005 */
  uint32_t OptionB; /* not supported; must be 0, else -7005 */
  uint8_t Reserved1828[16];
  uint32_t Flags;
  uint8_t Reserved1848[4];
  uint32_t WholeInput;
  uint32_t ExtraCapacity;
  uint32_t ExtraUsed;
  uint32_t ExtraShortfall;
  uint32_t OptionC; /* must be 0 or 1, else -7005; has no other effect */
  uint32_t InterlaceMode;
  BitmapInfoHeader BitmapHeader;
  uint32_t RowsPerBatch;
  uint8_t Reserved1920[4];
  int32_t FileCompression;  /* TIFF: the page's Compression value */
  uint8_t TransparentIndex;  /* GIF: the transparent colour index, with QV_FLAG_TRANSPARENT */
  uint8_t FaxFillOrder;      /* raw fax: 1 most significant bit first, else least */
  uint8_t FaxPhotometric;    /* raw fax: nonzero makes 0 bits black */
  uint8_t OptionByte;        /* not supported; must be 0, else -7005 */
  uint32_t OptionWords[7];   /* not supported; each must be 0, else -7005 */
  /* The most memory one job may hold in working buffers, in bytes; 0 means
     the default, QV_DEFAULT_MEMORY_LIMIT. A request beyond it fails the job
     with QV_ERR_BUFFER (-7003) before it reaches the system. */
  uint32_t MemoryLimit;
  /* Results of extended decoding (0 otherwise): the rows a damaged or cut
     file could not give (see QV_FLAG_PARTIAL), and the orientation the file
     states for its rows, 1 to 8 as TIFF numbers them (1: rows top to bottom,
     each left to right; the bitmap itself is never turned). */
  uint32_t DamagedRows;
  uint32_t Orientation;
  uint8_t Reserved1972[136];
} ParamBlock;

#if UINTPTR_MAX == 0xFFFFFFFFu
#  define QV_PARAM_BLOCK_SIZE 2108u
#else
#  define QV_PARAM_BLOCK_SIZE 2168u
#endif

/* The single export. */
QV_EXPORT int32_t QV_STDCALL Corvane(ParamBlock *block, int32_t request);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The layout, checked wherever the header is compiled: C++11 and C11 with
 * their static assertions, older C with an array type whose size would be
 * negative. */
#if (defined(__cplusplus) && __cplusplus >= 201103L) || (defined(_MSC_VER) && defined(__cplusplus))
#  define QV_LAYOUT_CHECK(name, condition) static_assert(condition, "ParamBlock layout: " #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define QV_LAYOUT_CHECK(name, condition) _Static_assert(condition, "ParamBlock layout: " #name)
#else
#  define QV_LAYOUT_CHECK(name, condition) typedef char QvLayoutCheck_##name[(condition) ? 1 : -1]
#endif
#define QV_CHECK_OFFSET(field, ilp32, lp64) \
  QV_LAYOUT_CHECK(field, offsetof(ParamBlock, field) == (sizeof(void *) == 4 ? (ilp32) : (lp64)))
QV_CHECK_OFFSET(Description, 0, 0);
QV_CHECK_OFFSET(BlockSize, 4, 8);
QV_CHECK_OFFSET(BlockVersion, 8, 12);
QV_CHECK_OFFSET(Status, 12, 16);
QV_CHECK_OFFSET(OperationCode, 16, 20);
QV_CHECK_OFFSET(ImageType, 36, 40);
QV_CHECK_OFFSET(Palette, 60, 64);
QV_CHECK_OFFSET(Progress, 1172, 1176);
QV_CHECK_OFFSET(ContextPointer, 1176, 1184);
QV_CHECK_OFFSET(InputQueue, 1180, 1192);
QV_CHECK_OFFSET(OutputQueue, 1208, 1240);
QV_CHECK_OFFSET(PageNumber, 1264, 1316);
QV_CHECK_OFFSET(SeekTarget, 1272, 1324);
QV_CHECK_OFFSET(StartWords, 1320, 1372);
QV_CHECK_OFFSET(ExtraBuffer, 1812, 1864);
QV_CHECK_OFFSET(OptionA, 1820, 1876);
QV_CHECK_OFFSET(OptionB, 1824, 1880);
QV_CHECK_OFFSET(Flags, 1844, 1900);
QV_CHECK_OFFSET(WholeInput, 1852, 1908);
QV_CHECK_OFFSET(ExtraCapacity, 1856, 1912);
QV_CHECK_OFFSET(ExtraUsed, 1860, 1916);
QV_CHECK_OFFSET(ExtraShortfall, 1864, 1920);
QV_CHECK_OFFSET(OptionC, 1868, 1924);
QV_CHECK_OFFSET(InterlaceMode, 1872, 1928);
QV_CHECK_OFFSET(BitmapHeader, 1876, 1932);
QV_CHECK_OFFSET(RowsPerBatch, 1916, 1972);
QV_CHECK_OFFSET(FileCompression, 1924, 1980);
QV_CHECK_OFFSET(TransparentIndex, 1928, 1984);
QV_CHECK_OFFSET(FaxFillOrder, 1929, 1985);
QV_CHECK_OFFSET(FaxPhotometric, 1930, 1986);
QV_CHECK_OFFSET(OptionByte, 1931, 1987);
QV_CHECK_OFFSET(OptionWords, 1932, 1988);
QV_CHECK_OFFSET(MemoryLimit, 1960, 2016);
QV_CHECK_OFFSET(DamagedRows, 1964, 2020);
QV_CHECK_OFFSET(Orientation, 1968, 2024);
QV_LAYOUT_CHECK(size, sizeof(ParamBlock) == QV_PARAM_BLOCK_SIZE);
QV_LAYOUT_CHECK(queue, sizeof(DataQueue) == (sizeof(void *) == 4 ? 28 : 48));
QV_LAYOUT_CHECK(header, sizeof(BitmapInfoHeader) == 40);
#undef QV_CHECK_OFFSET
#undef QV_LAYOUT_CHECK

#endif /* QUORVIN_H */
