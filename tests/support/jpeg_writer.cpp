#include "jpeg_writer.h"

#include <stdio.h>
#include <stdlib.h>

#if QV_TEST_JPEG
#include <jpeglib.h>
#endif

namespace qvtest {

std::vector<uint8_t> JpegPicture(const JpegSettings &s) {
  std::vector<uint8_t> v(size_t{s.width} * s.height * s.components);
  uint32_t noise = 12345 + s.salt;
  for (uint32_t y = 0; y < s.height; ++y)
    for (uint32_t x = 0; x < s.width; ++x)
      for (int c = 0; c < s.components; ++c) {
        noise = noise * 1103515245u + 12345u;
        int base = static_cast<int>((x * (3 + c) + y * (5 - c) + s.salt * 17) % 256);
        int wave = ((x / 8 + y / 8 + c) & 1) ? 24 : -24;
        int v0 = base / 2 + 64 + wave + static_cast<int>((noise >> 16) % 21) - 10;
        v[(size_t{y} * s.width + x) * s.components + c] = static_cast<uint8_t>(v0 < 0 ? 0 : v0 > 255 ? 255 : v0);
      }
  return v;
}

#if QV_TEST_JPEG
std::vector<uint8_t> MakeJpeg(const JpegSettings &s) {
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = s.width;
  c.image_height = s.height;
  c.input_components = s.components;
  c.in_color_space = s.components == 1 ? JCS_GRAYSCALE : s.components == 3 ? JCS_RGB
                     : s.components == 4 ? JCS_CMYK : JCS_UNKNOWN;
  jpeg_set_defaults(&c);
  if (s.components == 2) jpeg_set_colorspace(&c, JCS_UNKNOWN);
  if (s.components == 3) {
    c.comp_info[0].h_samp_factor = s.hSample;
    c.comp_info[0].v_samp_factor = s.vSample;
  }
  if (s.components == 4) c.write_Adobe_marker = s.adobe;
  jpeg_set_quality(&c, s.quality, TRUE);
  if (s.progressive) jpeg_simple_progression(&c);
  c.arith_code = s.arithmetic;
  c.restart_in_rows = s.restartRows;
  c.density_unit = static_cast<UINT8>(s.densityUnit);
  c.X_density = s.xDensity;
  c.Y_density = s.yDensity;
  jpeg_start_compress(&c, TRUE);
  for (const auto &seg : s.segments)
    jpeg_write_marker(&c, seg.first, seg.second.data(), static_cast<unsigned>(seg.second.size()));
  std::vector<uint8_t> picture = JpegPicture(s);
  size_t rowBytes = size_t{s.width} * s.components;
  std::vector<uint8_t> row(rowBytes);
  while (c.next_scanline < c.image_height) {
    const uint8_t *src = &picture[c.next_scanline * rowBytes];
    for (size_t i = 0; i < rowBytes; ++i)
      row[i] = s.components == 4 && s.adobe ? static_cast<uint8_t>(255 - src[i]) : src[i];
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> file(buffer, buffer + size);
  free(buffer);
  return file;
}
#else
std::vector<uint8_t> MakeJpeg(const JpegSettings &) { return {}; }
#endif

std::vector<uint8_t> ExifBlock(uint16_t orientation, uint32_t dpi, bool bigEndian) {
  std::vector<uint8_t> v = {'E', 'x', 'i', 'f', 0, 0};
  auto put16 = [&](uint32_t x) {
    if (bigEndian) v.push_back(uint8_t(x >> 8)), v.push_back(uint8_t(x));
    else v.push_back(uint8_t(x)), v.push_back(uint8_t(x >> 8));
  };
  auto put32 = [&](uint32_t x) {
    if (bigEndian) put16(x >> 16), put16(x & 0xFFFF);
    else put16(x & 0xFFFF), put16(x >> 16);
  };
  v.push_back(bigEndian ? 'M' : 'I'), v.push_back(bigEndian ? 'M' : 'I');
  put16(42);
  put32(8);
  uint16_t entries = dpi ? 4 : 1;
  put16(entries);
  uint32_t values = 8 + 2 + 12 * entries + 4;  // the rationals after the directory
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
    put16(tag), put16(type), put32(1);
    if (type == 3) put16(value), put16(0);
    else put32(value);
  };
  entry(274, 3, orientation);
  if (dpi) {
    entry(282, 5, values);
    entry(283, 5, values + 8);
    entry(296, 3, 2);
  }
  put32(0);  // no next directory
  if (dpi) put32(dpi), put32(1), put32(dpi), put32(1);
  return v;
}

}  // namespace qvtest
