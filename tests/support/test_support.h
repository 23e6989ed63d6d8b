// Helpers shared by the tests: files, sample builders, PNG reading, corpus access.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "image_view.h"
#include "quorvin_host.h"

namespace qvtest {

using qvhost::ReadFileBytes;
bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);
std::string TempPath(const std::string &name);

// The shared corpus folder, or "" when it is absent. Tests that need it
// carry "Corpus" in their name, so a build without it leaves them out.
std::string CorpusDir();

// Options for the classic readers alone (the host library decodes extended
// unless told otherwise); a test may still set QV_FLAG_EXTENDED in flags.
qvhost::Options ClassicOptions();

// Reports the running test as not run, with the reason: ctest then lists it
// as skipped (the marker QV_NOT_RUN matches its SKIP_REGULAR_EXPRESSION).
// Used instead of GTEST_SKIP, whose path starts a thread, which cannot run
// under Wine on qemu. A test that has already failed stays failed.
void NotRun(const std::string &reason);

// Decode a PNG into 8-bit RGB (alpha dropped, palette and grey expanded).
bool ReadPngRgb(const std::string &path, qvhost::Pixels *out, std::string *error);
// Same with alpha kept (RGBA); for images where transparency matters.
bool ReadPngRgba(const std::string &path, uint32_t *width, uint32_t *height,
                 std::vector<uint8_t> *rgba, std::string *error);

// Little-endian writers for building sample files.
using qvhost::Put16;
using qvhost::Put32;

// The stress configurations every decode must survive with identical output:
// tiny queues with random chunking, odd sizes, whole-input mode, and the file
// and bitmap in memory (the file, mapped read-only, is the input queue; a
// recycled buffer twice the bitmap, or one byte short of it, is the output
// queue).
struct StressCase {
  const char *name;
  size_t inQueue, outQueue;  // 0 for outQueue: one row plus one byte
  bool wholeInput;
  uint64_t seed;
  int inPlace;  // 0: copied queues; 1: recycled output one byte short; 2: twice the bitmap
};
extern const StressCase kStressCases[];
extern const size_t kStressCaseCount;

// Decode data with the base options and again under every stress case;
// returns "" when all outcomes agree (status, header, palette, extras, and the
// output bytes of a successful decode), else a description.
std::string CheckStress(const std::vector<uint8_t> &data, const qvhost::Options &base,
                        const qvhost::Result &reference, uint32_t stride);

}  // namespace qvtest
