// JPEG files for the tests, compressed here by libjpeg (linked into the
// tests only, where its development files are installed: QV_TEST_JPEG).
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace qvtest {

struct JpegSettings {
  uint32_t width = 64, height = 48;
  int components = 3;        // 1 grey, 2 (no colour space), 3 colour (YCbCr), 4 CMYK
  int hSample = 2, vSample = 2;  // the luma sampling factors of colour (2, 2: 4:2:0)
  bool progressive = false;
  bool arithmetic = false;
  int restartRows = 0;       // a restart marker every so many MCU rows
  int quality = 85;
  bool adobe = true;         // CMYK: Adobe's segment, and the values stored inverted
  int densityUnit = 0;       // JFIF density: 0 aspect only, 1 per inch, 2 per cm
  uint16_t xDensity = 1, yDensity = 1;
  // Segments written after the header: marker code (0xE1 APP1, 0xFE COM, ...) and data.
  std::vector<std::pair<int, std::vector<uint8_t>>> segments;
  uint32_t salt = 0;         // varies the picture
};

// The picture the settings describe and MakeJpeg compresses: `components`
// bytes a pixel, top row first (CMYK as plain ink values, whatever the file
// stores): smooth shading with
// some texture, so that every coefficient band carries data.
std::vector<uint8_t> JpegPicture(const JpegSettings &settings);

// The file; empty when libjpeg is not linked into the tests.
std::vector<uint8_t> MakeJpeg(const JpegSettings &settings);

// An EXIF block as an APP1 segment holds it ("Exif\0\0", then a TIFF
// header and one directory) with Orientation, and XResolution, YResolution
// (dpi / 1) and ResolutionUnit 2 when dpi is nonzero; big- or little-endian.
std::vector<uint8_t> ExifBlock(uint16_t orientation, uint32_t dpi, bool bigEndian);

}  // namespace qvtest
