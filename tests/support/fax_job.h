// A job body that runs the fax decoders on coded data without a TIFF reader:
// it positions the input at each strip, decodes its rows, and puts them out
// packed (ceil(width / 8) bytes a row, no padding) through the output queue. Shared by the fax tests, benchmark and fuzzer.
#pragma once
#include <stdint.h>

#include <vector>

#include "quorvin_host.h"

namespace faxjob {

enum class Coding : uint8_t {
  Mh,      // modified Huffman rows, each on a byte boundary (TIFF compression 2)
  G3,      // T.4 one-dimensional
  G3TwoD,  // T.4 two-dimensional
  G4,      // T.6
};

struct Strip {
  uint32_t offset = 0;               // file position of its first byte
  uint32_t byteCount = 0xFFFFFFFF;   // 0xFFFFFFFF: no limit
  uint32_t rows = 0;
};

struct Settings {
  Coding coding = Coding::G4;
  // 0: raw Group 3 input (G3 or G3TwoD): one strip from position 0 without a
  // limit, the width from the first row, rows until the page ends.
  uint32_t width = 0;
  bool reverse = false;        // FillOrder 2
  std::vector<Strip> strips;   // unused for raw input
  bool putRows = true;         // false: nothing is output
  bool hashRows = true;        // false: no hash (for timing)
  void (*onRow)(uint32_t row) = nullptr;  // called inside the job after each row
};

struct Outcome {
  uint32_t width = 0;
  uint32_t rows = 0;
  uint64_t hash = 0;       // FNV-1a over the packed rows
  bool slackTouched = false;  // a decoder set a bit past the row's last pixel
};

// Run job over file through the host library (image type "TIF1", so the
// host serves the positioned input protocol). The rows are in result.output
// when job.putRows is set.
qvhost::Result Run(const std::vector<uint8_t> &file, const Settings &job, qvhost::Options options,
                   Outcome *outcome);

// FNV-1a, as the body hashes its rows.
uint64_t Hash(const uint8_t *p, size_t n, uint64_t h = 1469598103934665603ull);

}  // namespace faxjob
