// Image types: detection, names and parsing follow the one table in quorvin.h.
#include <stdio.h>
#include <string.h>

#include "quorvin_host.h"

namespace qvhost {

bool DetectImageType(const uint8_t *h, size_t n, uint32_t *type) {
  uint32_t t = QvDetectType(h, n);
  if (t == QV_TYPE_UNKNOWN) return false;
  *type = t;
  return true;
}

bool IsTiffType(uint32_t t) {
  const char *name = QvImageTypeName(t);
  return name && (strcmp(name, "TIFF") == 0 || strcmp(name, "raw G3 fax") == 0);
}

std::string TypeName(uint32_t t) {
  if (t == QV_TYPE_BMP) return "BMP";
  std::string s;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>((t >> (8 * i)) & 0xFF);
    if (c < 0x20 || c > 0x7E) {
      char hex[16];
      snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(t));
      return hex;
    }
    s += static_cast<char>(c);
  }
  s.erase(s.find_last_not_of(' ') + 1);  // "G3  " is shown as G3
  return s;
}

bool ParseTypeName(const std::string &text, uint32_t *type) {
  if (text == "0" || text == "BMP") {
    *type = QV_TYPE_BMP;
    return true;
  }
  if (text == "G3" || text == "PNG") {
    *type = text == "G3" ? QV_TYPE_G3 : QV_TYPE_PNG;
    return true;
  }
  if (text.size() != 4) return false;
  *type = QV_FOURCC(text[0], text[1], text[2], text[3]);
  return true;
}

}  // namespace qvhost
