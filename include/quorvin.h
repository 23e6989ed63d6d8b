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
 *   OptionWords 1932/1988.
 */
#ifndef QUORVIN_H
#define QUORVIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
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
#define QV_MAX_BLOCK_VERSION 20u
#define QV_PALETTE_ENTRIES 272

/* Flags bits. */
#define QV_FLAG_GREY          0x00000001u /* result: the colour table is grey */
#define QV_FLAG_TOP_DOWN      0x00000002u /* option: top row first */
#define QV_FLAG_TRANSPARENT   0x00000004u /* result: TransparentIndex is valid */
#define QV_FLAG_HEADER        0x00000008u /* option: header and colour table into the output */
#define QV_FLAG_BATCH         0x00020000u /* option: yield after RowsPerBatch rows */
#define QV_FLAG_FINAL_IMAGE   0x00100000u /* result: the image just delivered is the final one */
#define QV_FLAG_OVERLAY       0x01000000u /* option: transparent overlay (GIF) */

/* DataQueue flags. */
#define QV_QUEUE_END_OF_DATA 0x1u
#define QV_QUEUE_ABORT       0x4u

/* SeekTarget encoding. */
#define QV_SEEK_OUTPUT   0x40000000u /* output byte position n */
#define QV_SEEK_FROM_END 0x80000000u /* input position n bytes before the end */

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
  QV_ERR_TIFF_JPEG = -7031,           /* JPEG tags */
  QV_ERR_TIFF_TILES = -7034,          /* tile tags */
  QV_ERR_TIFF_YCBCR = -7036,          /* YCbCr tags */
  QV_ERR_TIFF_PHOTOMETRIC = -7037,    /* PhotometricInterpretation absent or not 0, 1, 2, 3, 5 */
  QV_ERR_TIFF_COMPRESSION = -7038,    /* Compression not 1, 2, 3, 4, 5 or 32773 */
  QV_ERR_TIFF_NO_STRIPS = -7039,      /* no StripOffsets */
  QV_ERR_TIFF_NO_COLORMAP = -7040,    /* a colour map is needed and ColorMap is absent */
  QV_ERR_TIFF_COLORMAP_SIZE = -7041,  /* ColorMap does not hold 3 x 2^depth values */
  QV_ERR_TIFF_NO_DIMENSIONS = -7042,  /* ImageWidth or ImageLength absent */
  QV_ERR_TIFF_STRIP_COUNT = -7044,    /* too few strips for the image height */
  QV_ERR_TIFF_COUNT = -7045,          /* a scalar tag with a count other than 1 */
  QV_ERR_TIFF_VALUE_TYPE = -7046,     /* field type 11 or more, or an 8-byte scalar */
  QV_ERR_TIFF_SAMPLES = -7049,        /* ExtraSamples, or bits per sample not supported */
  QV_ERR_TIFF_SAMPLE_FORMAT = -7074,  /* SampleFormat, SMinSampleValue or SMaxSampleValue */

  /* TIFF strip decoding. */
  QV_ERR_TIFF_STRIP_ENDED = -7103,    /* LZW data of a strip used up before its rows */
  QV_ERR_TIFF_PREDICTOR = -7104,      /* Predictor not usable with this depth or compression */
  QV_ERR_TIFF_PLANAR = -7105,         /* PlanarConfiguration other than 1 */
  QV_ERR_TIFF_SAMPLES_PER_PIXEL = -7106, /* SamplesPerPixel not 1, 3 or 4 */
  QV_ERR_TIFF_FILL_ORDER = -7108,     /* FillOrder 2 with uncompressed or PackBits data */

  /* Fax decoding (modified Huffman, T.4 one- and two-dimensional, T.6). */
  QV_ERR_FAX_EMPTY_PAGE = -7109,      /* raw fax data ends its page before the first row */
  QV_ERR_FAX_HORIZONTAL = -7110,      /* horizontal mode cut by an EOL or by the end of data */
  QV_ERR_FAX_OVERRUN = -7111,         /* a position past the row width, or left of 0 */
  QV_ERR_FAX_FILL = -7112,            /* a strip's bytes ended inside EOL fill or before a tag bit */
  QV_ERR_FAX_FIRST_ROW_2D = -7113,    /* a strip's first MR row is two-dimensional */
  QV_ERR_FAX_CODE = -7115,            /* bits that begin no code (extension codes included) */
  QV_ERR_FAX_VERTICAL = -7116,        /* a vertical mode puts a1 left of a0 */
  QV_ERR_FAX_NO_EOL = -7117,          /* an MR row that does not begin with an EOL */
  QV_ERR_FAX_CHANGES = -7118          /* more changes in a row than its width allows
                                         (zero-length runs that do not advance) */
};

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
  const char *Description;
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
  int32_t Progress;
  void *ContextPointer;
  DataQueue InputQueue;
  DataQueue OutputQueue;
  uint8_t Reserved1236[28];
  uint32_t PageNumber;
  uint8_t Reserved1268[4];
  uint32_t SeekTarget;
  uint8_t Reserved1276[44];
  uint16_t StartWords[4]; /* set to 1, 0, 0, 1 at job start */
  uint8_t Reserved1328[484];
  uint8_t *ExtraBuffer;
  uint8_t Reserved1816[4];
  uint32_t OptionA; /* not supported; must be 0 */
  uint32_t OptionB; /* not supported; must be 0 */
  uint8_t Reserved1828[16];
  uint32_t Flags;
  uint8_t Reserved1848[4];
  uint32_t WholeInput;
  uint32_t ExtraCapacity;
  uint32_t ExtraUsed;
  uint32_t ExtraShortfall;
  uint32_t OptionC; /* must be 0 or 1 */
  uint32_t InterlaceMode;
  BitmapInfoHeader BitmapHeader;
  uint32_t RowsPerBatch;
  uint8_t Reserved1920[4];
  int32_t FileCompression;
  uint8_t TransparentIndex;
  uint8_t FaxFillOrder;
  uint8_t FaxPhotometric;
  uint8_t OptionByte; /* not supported; must be 0 */
  uint32_t OptionWords[7]; /* not supported; each must be 0 */
  uint8_t Reserved1960[148];
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

#define QV_CHECK_OFFSET(field, ilp32, lp64) \
  static_assert(offsetof(ParamBlock, field) == (sizeof(void *) == 4 ? (ilp32) : (lp64)), \
                "ParamBlock layout: " #field)
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
#undef QV_CHECK_OFFSET
static_assert(sizeof(ParamBlock) == QV_PARAM_BLOCK_SIZE, "ParamBlock size");
static_assert(sizeof(DataQueue) == (sizeof(void *) == 4 ? 28 : 48), "DataQueue size");
static_assert(sizeof(BitmapInfoHeader) == 40, "BitmapInfoHeader size");
#else
#  if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(ParamBlock) == QV_PARAM_BLOCK_SIZE, "ParamBlock size");
_Static_assert(sizeof(DataQueue) == (sizeof(void *) == 4 ? 28 : 48), "DataQueue size");
#  endif
#endif

#endif /* QUORVIN_H */
