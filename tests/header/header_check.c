/*
 * quorvin.h as a C89, C99, C11 and C++ program includes it: it must compile
 * without a warning under -pedantic in each (the build fails otherwise), its
 * layout checks hold for the target, and the header-only helpers answer the
 * same in every language. Returns the number of wrong answers.
 */
#include <stdio.h>
#include <string.h>

#include "quorvin.h"

typedef struct Case {
  const char *what;
  unsigned char head[40];
  size_t length;
  uint32_t type;
} Case;

/* Windows bitmap header: "BM", the file header, then an info header of
   `info` bytes with the given compression. */
#define QV_BMP(info, compression) \
  {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, info, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 1, 0, 8, 0, \
   compression, 0, 0, 0}
/* Targa header: ID length 0, colour map type, image type, no map, 8 x 8 at depth. */
#define QV_TGA(map, type, width, depth) \
  {0, map, type, 0, 0, 0, 0, 0, 0, 0, 0, 0, width, 0, 8, 0, depth, 0}

static const Case kCases[] = {
  {"Windows bitmap", QV_BMP(40, 0), 34, QV_TYPE_BMP},
  {"Windows bitmap, bit fields", QV_BMP(40, 3), 34, QV_TYPE_BMP},
  {"RLE8 bitmap", QV_BMP(40, 1), 34, QV_TYPE_BMPR},
  {"RLE4 bitmap", QV_BMP(124, 2), 34, QV_TYPE_BMPR},
  {"RLE8 bitmap cut before its compression", QV_BMP(40, 1), 30, QV_TYPE_BMP},
  {"OS/2 bitmap", QV_BMP(12, 0), 34, QV_TYPE_BMPO},
  {"two bytes BM", {'B', 'M'}, 2, QV_TYPE_UNKNOWN},
  {"GIF 87a", {'G', 'I', 'F', '8', '7', 'a'}, 13, QV_TYPE_GIFU},
  {"GIF 89a", {'G', 'I', 'F', '8', '9', 'a'}, 13, QV_TYPE_GIFU},
  {"GIF of no known version", {'G', 'I', 'F', '8', '8', 'a'}, 13, QV_TYPE_UNKNOWN},
  {"PNG", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, 8, QV_TYPE_PNG},
  {"PNG cut in its signature", {0x89, 'P', 'N', 'G'}, 4, QV_TYPE_UNKNOWN},
  {"TIFF, little-endian", {'I', 'I', 42, 0, 8, 0, 0, 0}, 8, QV_TYPE_TIFU},
  {"TIFF, big-endian", {'M', 'M', 0, 42, 0, 0, 0, 8}, 8, QV_TYPE_TIFU},
  {"BigTIFF", {'I', 'I', 43, 0, 8, 0, 0, 0}, 8, QV_TYPE_TIFU},
  {"BigTIFF, big-endian", {'M', 'M', 0, 43, 0, 8, 0, 0}, 8, QV_TYPE_TIFU},
  {"TIFF of another version", {'I', 'I', 44, 0, 8, 0, 0, 0}, 8, QV_TYPE_UNKNOWN},
  {"DCX", {0xB1, 0x68, 0xDE, 0x3A, 8, 0, 0, 0}, 8, QV_TYPE_DCXZ},
  {"PCX version 5", {10, 5, 1, 8}, 128, QV_TYPE_PCX8},
  {"PCX cut short", {10, 5, 1, 8}, 64, QV_TYPE_UNKNOWN},
  {"PCX without run-length encoding", {10, 5, 0, 8}, 128, QV_TYPE_UNKNOWN},
  {"Targa type 2", QV_TGA(0, 2, 8, 24), 18, QV_TYPE_TGA2},
  {"Targa type 1", QV_TGA(1, 1, 8, 8), 18, QV_TYPE_TGA1},
  {"Targa type 3", QV_TGA(0, 3, 8, 8), 18, QV_TYPE_TGA3},
  {"Targa type 9", QV_TGA(1, 9, 8, 8), 18, QV_TYPE_TGA9},
  {"Targa type 10", QV_TGA(0, 10, 8, 32), 18, QV_TYPE_TGAA},
  {"Targa type 11", QV_TGA(0, 11, 8, 8), 18, QV_TYPE_TGAB},
  {"Targa type 32", QV_TGA(1, 32, 8, 8), 18, QV_TYPE_UNKNOWN},
  {"Targa of depth 7", QV_TGA(0, 2, 8, 7), 18, QV_TYPE_UNKNOWN},
  {"Targa of width 0", QV_TGA(0, 2, 0, 24), 18, QV_TYPE_UNKNOWN},
  {"Targa with colour map type 2", QV_TGA(2, 2, 8, 24), 18, QV_TYPE_UNKNOWN},
  {"nothing", {0}, 0, QV_TYPE_UNKNOWN}
};

typedef struct Name {
  uint32_t type;
  const char *name; /* 0: no image type */
} Name;

static const Name kNames[] = {
  {QV_TYPE_BMP, "BMP"}, {QV_TYPE_BMPR, "BMP"}, {QV_TYPE_BMPO, "BMP"},
  {QV_TYPE_GIFN, "GIF"}, {QV_TYPE_GIFI, "GIF"}, {QV_TYPE_GIFU, "GIF"},
  {QV_TYPE_PCX1, "PCX"}, {QV_TYPE_PCXT, "PCX"}, {QV_TYPE_DCXZ, "DCX"},
  {QV_TYPE_TGA1, "TGA"}, {QV_TYPE_TGAB, "TGA"},
  {QV_TYPE_TIF1, "TIFF"}, {QV_TYPE_TIFZ, "TIFF"}, {QV_TYPE_TIFU, "TIFF"},
  {QV_TYPE_G3, "raw G3 fax"}, {QV_TYPE_G32D, "raw G3 fax"}, {QV_TYPE_PNG, "PNG"},
  {QV_FOURCC('T', 'I', 'F', 'X'), 0}, {QV_FOURCC('P', 'N', 'G', 'X'), 0}, {QV_TYPE_UNKNOWN, 0}
};

int main(void) {
  int wrong = 0;
  size_t i, count;
  const QvTypeRow *rows = QvTypeRows(&count);
  for (i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    uint32_t got = QvDetectType(kCases[i].head, kCases[i].length);
    if (got != kCases[i].type) {
      printf("%s: detected 0x%08lX, expected 0x%08lX\n", kCases[i].what, (unsigned long)got,
             (unsigned long)kCases[i].type);
      ++wrong;
    }
  }
  for (i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    const char *got = QvImageTypeName(kNames[i].type);
    if (got != kNames[i].name && (!got || !kNames[i].name || strcmp(got, kNames[i].name) != 0)) {
      printf("type 0x%08lX is named %s, expected %s\n", (unsigned long)kNames[i].type, got ? got : "(none)",
             kNames[i].name ? kNames[i].name : "(none)");
      ++wrong;
    }
  }
  /* At least one row for each of the 28 codes. */
  if (count < 28) {
    printf("%lu rows\n", (unsigned long)count);
    ++wrong;
  }
  if (strcmp(QvStatusText(QV_ERR_FLIP_ROOM), "the output queue cannot hold one row") != 0 ||
      sizeof(ParamBlock) != QV_PARAM_BLOCK_SIZE) {
    printf("status text or block size\n");
    ++wrong;
  }
  (void)rows;
  if (!wrong) printf("quorvin.h: %lu detections and %lu names as expected\n",
                     (unsigned long)(sizeof kCases / sizeof kCases[0]),
                     (unsigned long)(sizeof kNames / sizeof kNames[0]));
  return wrong;
}
