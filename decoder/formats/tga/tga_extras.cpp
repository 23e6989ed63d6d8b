// Targa data beyond the pixels: the image ID, and behind the footer the
// extension area and the developer directory, copied into the ExtraBuffer.
//
// The footer sits 26 bytes before the end of the file. With the whole file in
// the input queue the stream moves the queue's front itself; otherwise it
// asks the host to seek. Data that lies beyond the end of the file (or beyond
// what a seek can address) ends the extra-data step quietly: the image is
// already complete.
#include <string.h>

#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/bytes.h"
#include "formats/tga/tga_job.h"
#include "stream/stream.h"

namespace {

constexpr uint32_t kImageIdRecord = 0x2001;
constexpr uint32_t kExtensionRecord = 0x2002;
constexpr uint32_t kDirectoryRecord = 0x2003;
constexpr uint32_t kFieldRecord = 0x2004;
constexpr uint32_t kFooterSize = 26;
constexpr uint32_t kExtensionSize = 495;
const uint8_t kSignature[18] = {'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                                'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

// Read n bytes; false when the file ends first.
bool TryReadInput(Stream *io, uint8_t *destination, size_t n) {
  while (n) {
    const uint8_t *bytes;
    size_t c = StreamTake(io, n, &bytes);
    if (c == 0) return false;
    memcpy(destination, bytes, c);
    destination += c;
    n -= c;
  }
  return true;
}

// Append a record whose n data bytes come from the input; the record counts
// only when all of them arrived. The caller has reserved n + 8 bytes.
bool TryAppendRecord(TgaJob *job, uint32_t kind, uint32_t n) {
  ParamBlock *block = job->Block;
  uint8_t head[8];
  PutLe32(head, kind);
  PutLe32(head + 4, n);
  memcpy(block->ExtraBuffer + block->ExtraUsed, head, 8);
  if (!TryReadInput(job->Io, block->ExtraBuffer + block->ExtraUsed + 8, n)) return false;
  block->ExtraUsed += n + 8;
  return true;
}

// Continue reading at a file position; false when it cannot be reached.
bool MoveTo(TgaJob *job, uint64_t position) {
  if (position >= kSeekPositionLimit) return false;
  if (job->WholeInput && position > job->FileSize) return false;
  StreamMoveInput(job->Io, static_cast<uint32_t>(position));
  return true;
}

bool MoveToFooter(TgaJob *job) {
  if (job->WholeInput && job->FileSize < kFooterSize) return false;
  StreamMoveInput(job->Io, QV_SEEK_FROM_END + kFooterSize);
  return true;
}

// The extension area as a 0x2002 record: size field, 493 bytes, offsets zeroed.
bool ReadExtensionArea(TgaJob *job, uint32_t offset) {
  ParamBlock *block = job->Block;
  uint8_t size[2];
  if (!MoveTo(job, offset) || !TryReadInput(job->Io, size, 2)) return false;
  if (Le16(size) < kExtensionSize) return true;  // an older, shorter area: ignored
  int slot;
  uint8_t *record = static_cast<uint8_t *>(JobBufferOrFail(block, kExtensionSize + 8, QV_ERR_BUFFER, &slot));
  PutLe32(record, kExtensionRecord);
  PutLe32(record + 4, kExtensionSize);
  record[8] = kExtensionSize & 0xFF;
  record[9] = kExtensionSize >> 8;
  bool complete = TryReadInput(job->Io, record + 10, kExtensionSize - 2);
  if (complete) {
    // Colour correction, postage stamp and scan line table offsets.
    memset(record + 8 + 482, 0, 12);
    if (ReserveExtra(block, kExtensionSize + 8)) AppendExtraBytes(block, record, kExtensionSize + 8);
  }
  FreeJobBuffer(block, slot);
  return complete;
}

void ReadDeveloperDirectory(TgaJob *job, uint32_t offset) {
  ParamBlock *block = job->Block;
  uint8_t raw[10];
  if (!MoveTo(job, offset) || !TryReadInput(job->Io, raw, 2)) return;
  uint32_t count = Le16(raw);
  if (!ReserveExtra(block, 10)) return;
  uint8_t record[10];
  PutLe32(record, kDirectoryRecord);
  PutLe32(record + 4, 2);
  record[8] = raw[0];
  record[9] = raw[1];
  AppendExtraBytes(block, record, 10);
  for (uint32_t i = 0; i < count; ++i) {
    if (!TryReadInput(job->Io, raw, 10)) return;
    uint32_t fieldOffset = Le32(raw + 2);
    uint32_t fieldSize = Le32(raw + 6);
    if (fieldSize > 0xFFFFFFFFu - 8 || !ReserveExtra(block, fieldSize + 8)) return;
    if (!MoveTo(job, fieldOffset) || !TryAppendRecord(job, kFieldRecord, fieldSize)) return;
    if (i + 1 < count && !MoveTo(job, offset + 2 + 10 * static_cast<uint64_t>(i + 1))) return;
  }
}

}  // namespace

void TgaReadImageId(TgaJob *job) {
  ParamBlock *block = job->Block;
  uint32_t n = job->Header.IdLength;
  if (n == 0) return;
  if (block->ExtraBuffer && ReserveExtra(block, n + 8))
    StreamReadExtraRecord(job->Io, n, kImageIdRecord);
  else
    StreamSkip(job->Io, n);
}

void TgaReadExtras(TgaJob *job) {
  uint8_t footer[kFooterSize];
  if (!MoveToFooter(job) || !TryReadInput(job->Io, footer, kFooterSize)) return;
  if (memcmp(footer + 8, kSignature, sizeof kSignature) != 0) return;
  uint32_t extension = Le32(footer);
  uint32_t directory = Le32(footer + 4);
  if (extension && !ReadExtensionArea(job, extension)) return;
  if (directory) ReadDeveloperDirectory(job, directory);
}
