// The JPEG reader: one datastream decoded by libjpeg (codecs/jpeg), its
// bytes taken straight from the input queue, its rows decoded into place
// in the output queue, bottom-up or top-down.
#pragma once
#include <stddef.h>
#include <stdint.h>

// What the reader takes from an EXIF block (the data of an APP1 segment
// that begins "Exif\0\0").
struct ExifFacts {
  uint16_t Orientation;           // 1 to 8; 0 when absent or out of range
  uint32_t XResolution[2];        // numerator, denominator; 0/0 when absent
  uint32_t YResolution[2];
  uint16_t ResolutionUnit;        // 2 inch (also when absent), 3 centimetre, 1 none
};

// The facts of the first directory of an EXIF block of n bytes; false when
// it is not one (anything out of bounds is left absent).
bool ReadExif(const uint8_t *data, size_t n, ExifFacts *facts);

// Pixels per metre for a density in dots per inch (unit 1) or per
// centimetre (unit 2) as JFIF states them, or for a resolution of
// numerator / denominator dots per unit as EXIF states it (ResolutionUnit 2
// inch, 3 centimetre); 0 when there is none or it does not fit 31 bits.
int32_t PixelsPerMetre(uint64_t numerator, uint64_t denominator, bool centimetres);
