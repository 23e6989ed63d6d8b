// TIFF values in words: tag names for info, and what stopped a page when the
// reader refused it ("Deflate (8) is not read").
#include <string.h>
#include <unistd.h>

#include <limits>

#include "quorvin_tool.h"

namespace qvtool {
namespace {

struct Named {
  uint32_t value;
  const char *name;
};

const char *Find(const Named *table, size_t n, uint32_t value) {
  for (size_t i = 0; i < n; ++i)
    if (table[i].value == value) return table[i].name;
  return nullptr;
}

const Named kTags[] = {
    {254, "NewSubfileType"}, {255, "SubfileType"}, {256, "ImageWidth"}, {257, "ImageLength"},
    {258, "BitsPerSample"}, {259, "Compression"}, {262, "PhotometricInterpretation"}, {266, "FillOrder"},
    {269, "DocumentName"}, {270, "ImageDescription"}, {271, "Make"}, {272, "Model"}, {273, "StripOffsets"},
    {274, "Orientation"}, {277, "SamplesPerPixel"}, {278, "RowsPerStrip"}, {279, "StripByteCounts"},
    {282, "XResolution"}, {283, "YResolution"}, {284, "PlanarConfiguration"}, {285, "PageName"},
    {286, "XPosition"}, {287, "YPosition"}, {292, "T4Options"}, {293, "T6Options"}, {296, "ResolutionUnit"},
    {297, "PageNumber"}, {305, "Software"}, {306, "DateTime"}, {315, "Artist"}, {316, "HostComputer"},
    {317, "Predictor"}, {320, "ColorMap"}, {322, "TileWidth"}, {323, "TileLength"}, {338, "ExtraSamples"},
    {339, "SampleFormat"}, {33432, "Copyright"}};

// Compression values as TIFF 6.0, its technical notes and
// common practice number them.
const Named kCompressions[] = {
    {1, "uncompressed"}, {2, "CCITT modified Huffman"}, {3, "CCITT T.4"}, {4, "CCITT T.6"}, {5, "LZW"},
    {6, "old-style JPEG"}, {7, "JPEG"}, {8, "Deflate"}, {9, "JBIG (T.85)"}, {10, "JBIG colour (T.43)"},
    {32766, "NeXT 2-bit RLE"}, {32771, "CCITT RLEW"}, {32773, "PackBits"}, {32809, "ThunderScan RLE"},
    {32895, "IT8 CT"}, {32896, "IT8 linework RLE"}, {32897, "IT8 monochrome"}, {32898, "IT8 binary line art"},
    {32908, "Pixar film"}, {32909, "Pixar log"}, {32946, "Deflate"}, {32947, "Kodak DCS"}, {34661, "JBIG"},
    {34676, "SGI LogLuv"}, {34677, "SGI Log24"}, {34712, "JPEG 2000"}, {34887, "LERC"}, {34925, "LZMA"},
    {50000, "Zstandard"}, {50001, "WebP"}, {50002, "JPEG XL"}};

const Named kPhotometrics[] = {
    {0, "WhiteIsZero"}, {1, "BlackIsZero"}, {2, "RGB"}, {3, "palette"}, {4, "transparency mask"},
    {5, "separated (CMYK)"}, {6, "YCbCr"}, {8, "CIE L*a*b*"}, {9, "ICC L*a*b*"}, {10, "ITU L*a*b*"},
    {32803, "colour filter array"}, {32844, "LogL"}, {32845, "LogLuv"}, {34892, "linear raw"}};

const Named kSampleFormats[] = {{1, "unsigned integer"}, {2, "signed integer"}, {3, "floating point"},
                                {4, "undefined"}};

const Named kExtraSamples[] = {{0, "unspecified"}, {1, "associated alpha"}, {2, "unassociated alpha"}};

template <size_t N>
std::string Say(const Named (&table)[N], uint32_t value) {
  const char *name = Find(table, N, value);
  std::string s = name ? name : "";
  s.append(name ? " (" : "(").append(std::to_string(value)).append(")");
  return s;
}

const qvhost::TiffField *Field(const std::vector<qvhost::TiffField> &fields, uint16_t tag) {
  for (const qvhost::TiffField &f : fields)
    if (f.tag == tag) return &f;
  return nullptr;
}

uint32_t First(const std::vector<qvhost::TiffField> &fields, uint16_t tag, uint32_t absent) {
  const qvhost::TiffField *f = Field(fields, tag);
  return f && !f->values.empty() ? f->values[0] : absent;
}

std::string List(const std::vector<uint32_t> &values) {
  std::string s;
  for (uint32_t v : values) s.append(s.empty() ? "" : ",").append(std::to_string(v));
  return s;
}

}  // namespace

const char *TiffTagName(uint16_t tag) { return Find(kTags, sizeof kTags / sizeof kTags[0], tag); }

bool TiffBigEndian(const InputFile &in) {
  uint8_t b[2];
  return pread(in.fd(), b, 2, 0) == 2 && b[0] == 'M' && b[1] == 'M';
}

std::vector<std::string> TiffValueItems(uint16_t type, const uint8_t *values, size_t size, bool bigEndian) {
  std::vector<uint32_t> v = qvhost::TiffNumbers(type, values, size, bigEndian, size);
  bool rational = type == 5 || type == 10, sign = type == 6 || type == 8 || type == 9 || type == 10;
  auto number = [sign](uint32_t x) { return sign ? std::to_string(static_cast<int32_t>(x)) : std::to_string(x); };
  std::vector<std::string> items;
  for (size_t i = 0; i + (rational ? 2 : 1) <= v.size(); i += rational ? 2 : 1)
    items.push_back(rational ? number(v[i]) + "/" + number(v[i + 1]) : number(v[i]));
  return items;
}

std::string TiffValueText(uint16_t type, const uint8_t *values, size_t size, bool bigEndian, size_t limit) {
  std::vector<std::string> items = TiffValueItems(type, values, size, bigEndian);
  std::string s;
  for (size_t i = 0; i < items.size() && i < limit; ++i) s.append(i ? ", " : "").append(items[i]);
  if (items.size() > limit) s += ", ...";
  return s;
}

std::string TiffRefusal(const InputFile &in, uint32_t page, int32_t status) {
  std::vector<qvhost::TiffField> fields;
  bool read = qvhost::ReadTiffPage(
      [&in](uint64_t at, uint8_t *to, size_t n) {
        uint64_t last = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
        return n <= last && at <= last - n && pread(in.fd(), to, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
      },
      page, &fields);
  if (!read) return "";
  uint32_t compression = First(fields, 259, 1), photometric = First(fields, 262, UINT32_MAX);
  uint32_t samples = First(fields, 277, 1);
  const qvhost::TiffField *bits = Field(fields, 258);
  switch (status) {
    case QV_ERR_TIFF_COMPRESSION:
      return Say(kCompressions, compression) + " is not read";
    case QV_ERR_TIFF_JPEG:
      if (compression == 6 || compression == 7) return Say(kCompressions, compression) + " is not read";
      return "JPEG tables (tags 512 to 521) are not read";
    case QV_ERR_TIFF_YCBCR:
      return photometric == 6 ? "photometric interpretation YCbCr (6) is not read"
                              : "YCbCr colour (tags 529 to 531) is not read";
    case QV_ERR_TIFF_PHOTOMETRIC:
      if (photometric == UINT32_MAX) return "the page has no PhotometricInterpretation";
      return "photometric interpretation " + Say(kPhotometrics, photometric) + " is not read";
    case QV_ERR_TIFF_TILES:
      return "tiles (TileWidth, TileLength) are not read, only strips";
    case QV_ERR_TIFF_PLANAR:
      return "separate colour planes (PlanarConfiguration " + std::to_string(First(fields, 284, 2)) +
             ") are not read, only interleaved samples";
    case QV_ERR_TIFF_SAMPLES_PER_PIXEL:
      return std::to_string(samples) + " samples per pixel are not read (1, 3 or 4 are)";
    case QV_ERR_TIFF_SAMPLE_FORMAT: {
      const qvhost::TiffField *f = Field(fields, 339);
      if (f && !f->values.empty() && f->values[0] != 1)
        return "samples of format " + Say(kSampleFormats, f->values[0]) + " are not read";
      return "SampleFormat, SMinSampleValue and SMaxSampleValue are not read";
    }
    case QV_ERR_TIFF_SAMPLES: {
      const qvhost::TiffField *extra = Field(fields, 338);
      if (extra)
        return "extra samples (" + (extra->values.empty() ? std::string("?") : Say(kExtraSamples, extra->values[0])) +
               ") are not read";
      std::string depth = bits ? List(bits->values) : "1";
      return std::to_string(samples) + (samples == 1 ? " sample" : " samples") + " of " + depth +
             " bits per sample, photometric interpretation " + Say(kPhotometrics, photometric) +
             ", is not read (one sample of 1, 4 or 8 bits or of 16 bits as RGB, or three or four of 8 bits are)";
    }
    case QV_ERR_TIFF_PREDICTOR:
      return "Predictor " + std::to_string(First(fields, 317, 1)) + " with " + Say(kCompressions, compression) +
             " and " + (bits ? List(bits->values) : "1") + " bits per sample is not read";
    case QV_ERR_TIFF_FILL_ORDER:
      return "FillOrder 2 with " + Say(kCompressions, compression) + " data is not read";
    default:
      return "";
  }
}

}  // namespace qvtool
