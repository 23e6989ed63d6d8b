// The deflate decoder on any input: a 2-byte prefix chooses the wrapper
// (zlib or raw), the input buffer size and a seed for the sizes of source
// answers and reads; the rest is the stream. Whatever the cutting, the
// decoder must stay inside its buffers, agree with zlib on whether the
// stream is whole, and produce zlib's bytes (all of them for a whole stream,
// those before the fault otherwise).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <vector>

#include "codecs/inflate/inflate.h"
#include "quorvin.h"

namespace {

constexpr size_t kOutputLimit = 1u << 18;  // decoded bytes compared, at most
constexpr uint32_t kBufferSizes[8] = {1, 7, 16, 17, 31, 64, 4096, 65536};

struct Rng {
  uint32_t s;
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

struct Feed {
  const uint8_t *data;
  size_t size, at;
  uint32_t buffer;
  Rng rng;
};

uint32_t FeedSource(void *context, uint8_t *buffer) {
  Feed *f = static_cast<Feed *>(context);
  uint32_t r = f->rng.Next();
  size_t piece = (r & 3) == 0 ? f->buffer : 1 + (r >> 2) % (f->buffer < 9 ? f->buffer : 9);
  size_t n = f->size - f->at < piece ? f->size - f->at : piece;
  memcpy(buffer, f->data + f->at, n);
  f->at += n;
  return static_cast<uint32_t>(n);
}

void Fail(const char *what, int32_t ours, int zlib, size_t a, size_t b) {
  fprintf(stderr, "%s: ours %d (%s), zlib %d, %zu vs %zu\n", what, ours, QvStatusText(ours), zlib, a, b);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const bool wrapper = data[0] & 1;
  const uint32_t buffer = kBufferSizes[(data[0] >> 1) & 7];
  const uint8_t *stream = data + 2;
  const size_t streamSize = size - 2;

  // Ours, with random source answers and reads.
  std::vector<uint8_t> storage(InflateStorageSize(buffer));
  Feed feed{stream, streamSize, 0, buffer, Rng{0x9E3779B9u ^ (uint32_t{data[1]} * 0x01000193u)}};
  const uint8_t flags = (wrapper ? InflateZlib : 0) | (data[0] & 16 ? InflateNoPairs : 0);
  InflateDecoder *d = InflateInit(storage.data(), buffer, flags, FeedSource, &feed);
  static std::vector<uint8_t> ours(kOutputLimit), theirs(kOutputLimit);
  size_t produced = 0;
  int32_t status = InflateMore;
  Rng reads{data[1] + 1u};
  while (produced < kOutputLimit) {
    uint32_t r = reads.Next();
    size_t n = (r & 7) == 0 ? 65536 : 1 + (r >> 3) % 300;
    if (n > kOutputLimit - produced) n = kOutputLimit - produced;
    InflateResult result = InflateRead(d, ours.data() + produced, n);
    if (result.Produced > n) Fail("more than asked", result.Status, 0, result.Produced, n);
    produced += result.Produced;
    status = result.Status;
    if (status != InflateMore) break;
    if (result.Produced != n) Fail("short read", status, 0, result.Produced, n);
  }
  if (status == InflateMore) status = InflateFinish(d);  // at the output limit: decode on to the end

  // zlib, the whole stream at once.
  z_stream z{};
  if (inflateInit2(&z, wrapper ? 15 : -15) != Z_OK) abort();
  z.next_in = const_cast<Bytef *>(stream);
  z.avail_in = static_cast<uInt>(streamSize);
  z.next_out = theirs.data();
  z.avail_out = static_cast<uInt>(theirs.size());
  int zr = inflate(&z, Z_FINISH);
  size_t theirCount = z.total_out;
  size_t theirLeft = z.avail_in;
  bool theirFull = zr != Z_STREAM_END && z.avail_out == 0;
  inflateEnd(&z);

  // The bytes both produced agree.
  size_t common = produced < theirCount ? produced : theirCount;
  if (memcmp(ours.data(), theirs.data(), common) != 0) Fail("bytes differ", status, zr, produced, theirCount);
  if (theirFull) {
    // Both decoded past the limit: the rest is not compared.
    if (produced != kOutputLimit) Fail("stopped before the limit", status, zr, produced, theirCount);
    return 0;
  }
  if (zr == Z_STREAM_END) {
    if (status != InflateEnded) Fail("zlib ends, we do not", status, zr, produced, theirCount);
    if (produced != theirCount) Fail("lengths differ", status, zr, produced, theirCount);
    size_t left = InflateUnusedInput(d) + (feed.size - feed.at);
    if (left != theirLeft) Fail("unused input differs", status, zr, left, theirLeft);
    return 0;
  }
  // zlib refused the stream (bad data, or it ended early): so must we, after
  // the same bytes.
  if (status >= 0) Fail("zlib fails, we do not", status, zr, produced, theirCount);
  if (produced != theirCount) Fail("bytes before the fault differ", status, zr, produced, theirCount);
  // A code-length code without codes and a preset dictionary are refused at
  // once, where zlib reads on (the lengths, the dictionary's check value)
  // and may run out of input first; otherwise an early end is an early end
  // for both.
  if (status == QV_ERR_INFLATE_TRUNCATED && zr != Z_BUF_ERROR)
    Fail("truncated only here", status, zr, produced, theirCount);
  if (zr == Z_BUF_ERROR && status != QV_ERR_INFLATE_TRUNCATED && status != QV_ERR_INFLATE_LENGTHS &&
      status != QV_ERR_INFLATE_HEADER)
    Fail("truncated only in zlib", status, zr, produced, theirCount);
  return 0;
}
