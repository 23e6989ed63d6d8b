#include "png_writer.h"

#if QV_HAVE_PNG
#include <png.h>
#include <string.h>
#endif

bool WritePng(const std::string &path, const qvhost::Pixels &pixels, std::string *error) {
#if QV_HAVE_PNG
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = pixels.width;
  image.height = pixels.height;
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, path.c_str(), 0, pixels.rgb.data(), 0, nullptr)) {
    *error = image.message;
    return false;
  }
  return true;
#else
  (void)path, (void)pixels;
  *error = "this build has no PNG support";
  return false;
#endif
}
