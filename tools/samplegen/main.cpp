// samplegen: writes the project's own sample images (examples/).
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bytes.h"

namespace {

using qvhost::Put16;
using qvhost::Put32;

// A 24-bit bottom-up Windows bitmap: a colour gradient with a dark ring.
std::vector<uint8_t> GradientBmp(int w, int h) {
  int stride = (w * 3 + 3) & ~3;
  std::vector<uint8_t> v = {'B', 'M'};
  Put32(v, 54 + stride * h);
  Put32(v, 0);
  Put32(v, 54);
  Put32(v, 40);
  Put32(v, w);
  Put32(v, h);
  Put16(v, 1);
  Put16(v, 24);
  Put32(v, 0);
  Put32(v, stride * h);
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, 0);
  Put32(v, 0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      int dx = x - w / 2, dy = y - h / 2, d2 = dx * dx + dy * dy, r = h / 3;
      bool ring = d2 > (r - 3) * (r - 3) && d2 < r * r;
      v.push_back(ring ? 30 : static_cast<uint8_t>(255 * y / (h - 1)));  // blue
      v.push_back(ring ? 30 : static_cast<uint8_t>(255 * (x + y) / (w + h - 2)));
      v.push_back(ring ? 30 : static_cast<uint8_t>(255 * x / (w - 1)));  // red
    }
    for (int p = w * 3; p < stride; ++p) v.push_back(0);
  }
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir = argc > 1 ? argv[1] : "examples";
  std::vector<uint8_t> bmp = GradientBmp(93, 61);
  std::string path = dir + "/sample.bmp";
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bmp.data(), 1, bmp.size(), f) != bmp.size() || fclose(f) != 0) {
    fprintf(stderr, "samplegen: cannot write %s\n", path.c_str());
    return 1;
  }
  printf("%s\n", path.c_str());
  return 0;
}
