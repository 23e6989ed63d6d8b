#pragma once
#include <string>

#include "image_view.h"

// Write 8-bit RGB pixels as a PNG file; false with a message on failure.
bool WritePng(const std::string &path, const qvhost::Pixels &pixels, std::string *error);
