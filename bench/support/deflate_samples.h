// Uncompressed data for the deflate tests and benchmark: PNG-style filtered
// image rows and text-like prose, both from seeded generators.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace deflatesamples {

// A photograph-like picture (shading at several scales plus noise),
// channels bytes per pixel, rows top first.
std::vector<uint8_t> Picture(uint32_t width, uint32_t height, uint32_t channels, uint64_t seed);
// Rows as a PNG encoder hands them to deflate: each row a filter-type byte
// and the row filtered with the type (none, sub, up, average, Paeth) whose
// bytes have the smallest sum of magnitudes.
std::vector<uint8_t> FilterRows(const std::vector<uint8_t> &pixels, uint32_t width, uint32_t height,
                                uint32_t channels);
// Sentences of words drawn with falling frequencies from a made-up vocabulary.
std::vector<uint8_t> Prose(size_t size, uint64_t seed);

}  // namespace deflatesamples
