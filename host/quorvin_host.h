// The host side of the decoder's request protocol, written once for the
// tools, tests, benchmarks and fuzzers.
#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "quorvin.h"

namespace qvhost {

struct ExtraRecord {
  uint32_t kind = 0;
  std::vector<uint8_t> data;
};

// One response as the host saw it.
struct Event {
  int response = 0;
  uint32_t seekTarget = 0;
  size_t queued = 0;  // bytes the output queue held
};

// An image handed over before the final one (GIF pass images).
struct PassImage {
  BitmapInfoHeader header{};
  uint32_t flags = 0;
  std::vector<uint8_t> output;
};

struct Options {
  uint32_t imageType = 0;
  uint32_t flags = 0;  // option bits: QV_FLAG_TOP_DOWN, QV_FLAG_HEADER, QV_FLAG_BATCH, QV_FLAG_OVERLAY
  uint32_t rowsPerBatch = 0;
  uint32_t interlaceMode = 0;
  uint32_t pageNumber = 0;
  uint8_t faxFillOrder = 0;
  uint8_t faxPhotometric = 0;
  uint32_t memoryLimit = 0;  // MemoryLimit: bytes of working buffers one job may hold; 0 the default
  // Sets QV_FLAG_EXTENDED: also decode the variants the classic readers
  // refuse, and damaged files as far as they go. Off: the flags as given
  // (without that bit, exactly the classic readers).
  bool extended = true;
  size_t inQueue = 65536;   // storage bytes of each queue (at least 5)
  size_t outQueue = 65536;
  bool wholeInput = false;  // the whole file lies in the input queue
  // With wholeInput and a memory source (Decode): the input queue's storage is
  // the caller's bytes themselves instead of a copy of them. The decoder only
  // reads them. The storage reaches one byte past the data, the queue's spare
  // byte, which must exist and is never read or written. Files under 4 bytes
  // are copied as before.
  bool borrowInput = false;
  bool extra = true;        // offer an ExtraBuffer, grown on ResponseNeedExtra
  size_t extraInitial = 64;
  size_t extraLimit = 16u << 20;
  // Beyond this the output queue is aborted and the job ends with -1014 at its
  // next response (also when onOutput or a write to outputFd refuses bytes).
  size_t outputLimit = size_t{1} << 30;
  uint8_t outputFill = 0;   // initial contents of the output storage (with QV_FLAG_OVERLAY)
  int outputFd = -1;        // >= 0: write the output there by position instead of memory
  // Or hand every output byte run to this callback with its position (memory
  // stays untouched). It sees the block as the reader has filled it so far
  // (BitmapHeader, Palette, Flags). Returning false aborts the output (-1014).
  std::function<bool(const ParamBlock &block, uint64_t position, const uint8_t *bytes, size_t n)>
      onOutput;
  // Called once each response has been served, before the job goes on;
  // returning false ends the job there with request 4 (Result::stopped).
  std::function<bool(int response, const ParamBlock &block)> keepGoing;
  // Non-null: this vector's storage becomes the result's output (a caller
  // decoding many files swaps it back afterwards, so memory is not grown and
  // zeroed anew for every decode).
  std::vector<uint8_t> *recycleOutput = nullptr;
  // With recycleOutput, output in memory, no chunkSeed and no
  // QV_FLAG_OVERLAY: the recycled buffer's whole capacity, when at least
  // outQueue, serves as the output queue, so rows are decoded straight into
  // the result with no copy. An output larger than that, an output seek or an
  // intermediate image falls back to draining the queue.
  bool directOutput = false;
  std::function<void(const PassImage &)> onPassImage;
  // The reader's Progress where it keeps one, else the share of the input
  // read (with whole input, the share the job has moved past), in percent.
  std::function<void(int32_t)> onProgress;
  std::function<void(int response)> onResponse;
  // Knobs for tests and benchmarks, not for users.
  struct TestKnobs {
    uint64_t chunkSeed = 0;     // nonzero: random input chunking and output draining
    size_t eventLimit = 0;      // responses kept in Result::events (none unless asked)
    bool measureStack = false;  // report the job stack's high-water mark (costs a scan;
                                // in-tree builds only, not with the installed library)
  } test;
};

struct Result {
  int response = 0;  // ResponseDone or ResponseError
  int32_t status = 0;
  BitmapInfoHeader header{};
  PaletteEntry palette[QV_PALETTE_ENTRIES]{};
  uint32_t flags = 0;
  uint8_t transparentIndex = 0;
  int32_t fileCompression = 0;
  uint32_t damagedRows = 0;     // rows a damaged or cut file could not give (QV_FLAG_PARTIAL)
  uint32_t orientation = 0;     // as the file states it (1 to 8; 0 when the reader reports none)
  int32_t progress = 0;
  std::vector<uint8_t> output;  // every output byte at its position
  size_t outputLength = 0;      // highest position written + 1
  std::vector<ExtraRecord> extras;
  std::vector<PassImage> passImages;
  std::vector<Event> events;
  size_t counts[16] = {};       // responses seen, by code
  size_t stackUsed = 0;         // job stack bytes ever used (successful jobs)
  bool stopped = false;         // keepGoing ended the job early
  bool ok() const { return response == ResponseDone && status == 0; }
};

// TIFF and raw fax codes: the reader with positioned input and output.
bool IsTiffType(uint32_t imageType);
size_t QueueUsedBytes(const DataQueue &q);
size_t QueueFreeBytes(const DataQueue &q);

Result Decode(const uint8_t *data, size_t size, const Options &options);

// For tests: hooks into the protocol loop.
struct TestHooks {
  void (*afterInit)(ParamBlock *block) = nullptr;  // right after the job is created
  // With every response, before the host serves it.
  std::function<void(ParamBlock *block, int response)> afterResponse;
  // After the host served a response, right before the request that continues the job.
  std::function<void(ParamBlock *block, int response)> beforeResume;
};
Result DecodeWithHooks(const uint8_t *data, size_t size, const Options &options,
                       const TestHooks &hooks);
Result DecodeFile(const std::string &path, const Options &options, std::string *error = nullptr);
// Input from an open file read by position (pread); the descriptor stays open.
Result DecodeFd(int fd, const Options &options);

// A one-line meaning of a status number.
const char *StatusText(int32_t status);

}  // namespace qvhost

namespace qvhost {

// The image type for a file, judged from its first bytes (at least 32 where
// the file has them) by QvDetectType. Returns false when no format matches;
// raw fax streams are never detected.
bool DetectImageType(const uint8_t *head, size_t n, uint32_t *imageType);

// Pages of a TIFF file (its chain of directories), read without decoding;
// -1 when the data is not TIFF. A page's image may still be refused when it
// is decoded (PageNumber 1 to the count). read(position, destination, n)
// answers false when the file has no n bytes there.
int CountTiffPages(const std::function<bool(uint64_t, uint8_t *, size_t)> &read);
int CountTiffPages(const uint8_t *data, size_t size);
int CountTiffPages(const std::string &path);

// One field of a TIFF image directory: tag, field type, value count and the
// first values (up to 16; a RATIONAL gives numerator and denominator, two
// numbers each) of a BYTE, SHORT, LONG or RATIONAL field or their signed
// kinds (sign-extended to 32 bits); none for other types.
struct TiffField {
  uint16_t tag = 0, type = 0;
  uint32_t count = 0;
  std::vector<uint32_t> values;
};
// The fields of one page (from 1; 0 counts as 1) of a TIFF file, read
// without decoding, and its byte order. False when the data is not TIFF or
// has no such page.
bool ReadTiffPage(const std::function<bool(uint64_t, uint8_t *, size_t)> &read, uint32_t page,
                  std::vector<TiffField> *fields, bool *bigEndian = nullptr);
// The numbers of size bytes of TIFF values of a field type in a byte order
// (as ReadTiffPage gives them), at most limit.
std::vector<uint32_t> TiffNumbers(uint16_t type, const uint8_t *bytes, size_t size, bool bigEndian,
                                  size_t limit);

// Four-character code as text ("TIF1"; "BMP" for the code 0, "G3" for "G3  ")
// and back (ParseTypeName also takes "0"). The format of a code is
// QvImageTypeName's.
std::string TypeName(uint32_t imageType);
bool ParseTypeName(const std::string &text, uint32_t *imageType);

}  // namespace qvhost
