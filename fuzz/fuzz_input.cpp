#include "fuzz_input.h"

namespace {

const uint32_t kTypes[] = {
    0,
    QV_FOURCC('B', 'M', 'P', 'R'), QV_FOURCC('B', 'M', 'P', 'O'), QV_FOURCC('G', 'I', 'F', 'N'),
    QV_FOURCC('G', 'I', 'F', 'I'), QV_FOURCC('G', 'I', 'F', 'u'), QV_FOURCC('P', 'C', 'X', '1'),
    QV_FOURCC('P', 'C', 'X', '2'), QV_FOURCC('P', 'C', 'X', '3'), QV_FOURCC('P', 'C', 'X', '4'),
    QV_FOURCC('P', 'C', 'X', '8'), QV_FOURCC('P', 'C', 'X', 'T'), QV_FOURCC('D', 'C', 'X', 'Z'),
    QV_FOURCC('T', 'G', 'A', '1'), QV_FOURCC('T', 'G', 'A', '2'), QV_FOURCC('T', 'G', 'A', '3'),
    QV_FOURCC('T', 'G', 'A', '9'), QV_FOURCC('T', 'G', 'A', 'A'), QV_FOURCC('T', 'G', 'A', 'B'),
    QV_FOURCC('T', 'I', 'F', '1'), QV_FOURCC('T', 'I', 'F', 'C'), QV_FOURCC('T', 'I', 'F', 'G'),
    QV_FOURCC('T', 'I', 'F', 'L'), QV_FOURCC('T', 'I', 'F', 'M'), QV_FOURCC('T', 'I', 'F', 'Z'),
    QV_FOURCC('T', 'I', 'F', 'u'), QV_FOURCC('G', '3', ' ', ' '), QV_FOURCC('G', '3', '2', 'D'),
    QV_TYPE_JPEG,
};
constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];
const size_t kQueueSizes[8] = {5, 6, 17, 64, 255, 1024, 4099, 65536};

}  // namespace

bool FuzzOptions(const uint8_t *d, size_t size, qvhost::Options *o) {
  if (size < kFuzzPrefix) return false;
  o->imageType = kTypes[d[0] % kTypeCount];
  uint8_t f = d[1];
  o->flags = (f & 1 ? QV_FLAG_TOP_DOWN : 0) | (f & 2 ? QV_FLAG_HEADER : 0) |
             (f & 4 ? QV_FLAG_BATCH : 0) | (f & 8 ? QV_FLAG_OVERLAY : 0) |
             (f & 16 ? QV_FLAG_EXTENDED : 0);
  o->extended = false;  // the flags byte decides, not the host library's default
  o->rowsPerBatch = d[2] & 15;
  o->interlaceMode = d[3] % 6;
  o->pageNumber = (d[3] >> 4) & 3;
  o->inQueue = kQueueSizes[d[4] & 7];
  o->outQueue = kQueueSizes[(d[4] >> 3) & 7];
  o->wholeInput = (d[5] & 1) != 0;
  o->extra = (d[5] & 2) != 0;
  o->extraInitial = (d[5] & 4) ? 8 : 4096;
  o->faxFillOrder = (d[5] >> 3) & 3;
  o->faxPhotometric = (d[5] >> 5) & 1;
  o->test.chunkSeed = d[6] | static_cast<uint64_t>(d[7]) << 8;
  o->outputLimit = 16u << 20;
  o->extraLimit = 1u << 20;
  return true;
}

void FuzzPrefixFor(uint32_t imageType, uint8_t p[kFuzzPrefix]) {
  for (size_t i = 0; i < kFuzzPrefix; ++i) p[i] = 0;
  for (size_t i = 0; i < kTypeCount; ++i)
    if (kTypes[i] == imageType) p[0] = static_cast<uint8_t>(i);
  p[1] = 2;              // header into the output
  p[4] = 7 | (7 << 3);   // large queues
  p[5] = 2;              // with an ExtraBuffer
}
