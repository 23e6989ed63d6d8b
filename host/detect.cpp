#include "quorvin_host.h"

namespace qvhost {

bool DetectImageType(const uint8_t *h, size_t n, uint32_t *type) {
  if (n >= 18 && h[0] == 'B' && h[1] == 'M') {
    uint32_t infoSize = h[14] | h[15] << 8 | h[16] << 16 | static_cast<uint32_t>(h[17]) << 24;
    if (infoSize == 12) {
      *type = QV_FOURCC('B', 'M', 'P', 'O');
      return true;
    }
    uint32_t compression = n >= 34 ? (h[30] | h[31] << 8 | h[32] << 16 | static_cast<uint32_t>(h[33]) << 24) : 0;
    *type = (compression == 1 || compression == 2) ? QV_FOURCC('B', 'M', 'P', 'R') : 0;
    return true;
  }
  if (n >= 6 && h[0] == 'G' && h[1] == 'I' && h[2] == 'F' && h[3] == '8') {
    *type = QV_FOURCC('G', 'I', 'F', 'u');
    return true;
  }
  // TIFF, and BigTIFF (version 43), which extended decoding reads.
  if (n >= 4 && ((h[0] == 'I' && h[1] == 'I' && (h[2] == 42 || h[2] == 43) && h[3] == 0) ||
                 (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && (h[3] == 42 || h[3] == 43)))) {
    *type = QV_FOURCC('T', 'I', 'F', 'u');
    return true;
  }
  if (n >= 128 && h[0] == 10 && h[2] == 1 && (h[1] == 0 || (h[1] >= 2 && h[1] <= 5))) {
    *type = QV_FOURCC('P', 'C', 'X', '8');
    return true;
  }
  if (n >= 18 && h[1] <= 1) {
    uint8_t depth = h[16];
    bool depthOk = depth == 1 || depth == 4 || depth == 8 || depth == 15 || depth == 16 ||
                   depth == 24 || depth == 32;
    const char kinds[12] = {0, '1', '2', '3', 0, 0, 0, 0, 0, '9', 'A', 'B'};
    if (depthOk && h[2] < 12 && kinds[h[2]]) {
      *type = QV_FOURCC('T', 'G', 'A', kinds[h[2]]);
      return true;
    }
  }
  return false;
}

std::string TypeName(uint32_t t) {
  if (t == 0) return "0";
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((t >> (8 * i)) & 0xFF);
  return s;
}

bool ParseTypeName(const std::string &text, uint32_t *type) {
  if (text == "0") {
    *type = 0;
    return true;
  }
  if (text.size() == 2 && text == "G3") {
    *type = QV_FOURCC('G', '3', ' ', ' ');
    return true;
  }
  if (text.size() != 4) return false;
  *type = QV_FOURCC(text[0], text[1], text[2], text[3]);
  return true;
}

}  // namespace qvhost
