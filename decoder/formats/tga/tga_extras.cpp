// Targa data beyond the pixels: the image ID, and behind the footer the
// extension area and the developer directory, copied into the ExtraBuffer.
//
// The footer sits 26 bytes before the end of the file. In whole-input mode the
// reader moves the input queue's front itself, counting positions from where
// the file started, modulo the storage; otherwise it asks the host to seek.
// Either way the storage bounds are never moved, and data that lies beyond
// the end of the file (or beyond what a seek can address) ends the extra-data
// step quietly: the image is already complete.
#include <string.h>

#include "engine/engine.h"
#include "engine/queue.h"
#include "formats/bytes.h"
#include "formats/tga/tga_job.h"

namespace {

constexpr uint32_t kImageIdRecord = 0x2001;
constexpr uint32_t kExtensionRecord = 0x2002;
constexpr uint32_t kDirectoryRecord = 0x2003;
constexpr uint32_t kFieldRecord = 0x2004;
constexpr uint32_t kFooterSize = 26;
constexpr uint32_t kExtensionSize = 495;
const uint8_t kSignature[18] = {'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                                'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};


// Wait until input is queued; false when the file has ended.
bool WaitForBytes(ParamBlock *block) {
  DataQueue *in = &block->InputQueue;
  while (QueueUsed(in) == 0)
    if (!AskForInput(block, in)) return false;
  return true;
}

// Read n bytes; false when the file ends first.
bool TryReadInput(ParamBlock *block, uint8_t *destination, size_t n) {
  DataQueue *in = &block->InputQueue;
  while (n) {
    if (!WaitForBytes(block)) return false;
    size_t a = QueueUsed(in);
    size_t c = n < a ? n : a;
    QueueGet(destination, in, c);
    destination += c;
    n -= c;
  }
  return true;
}

// Append a record whose n data bytes come from the input; the record counts
// only when all of them arrived. The caller has reserved n + 8 bytes.
bool TryAppendRecord(ParamBlock *block, uint32_t kind, uint32_t n) {
  uint8_t head[8];
  PutLe32(head, kind);
  PutLe32(head + 4, n);
  memcpy(block->ExtraBuffer + block->ExtraUsed, head, 8);
  DataQueue *in = &block->InputQueue;
  uint32_t done = 0;
  while (done < n) {
    if (!WaitForBytes(block)) return false;
    size_t a = QueueUsed(in);
    uint32_t c = n - done < a ? n - done : static_cast<uint32_t>(a);
    QueueGet(block->ExtraBuffer + block->ExtraUsed + 8 + done, in, c);
    done += c;
  }
  block->ExtraUsed += n + 8;
  return true;
}

// Continue reading at a file position; false when it cannot be reached.
bool MoveTo(TgaJob *job, uint64_t position) {
  ParamBlock *block = job->Block;
  if (position >= kSeekPositionLimit) return false;
  if (job->WholeInput && position > job->FileSize) return false;
  SeekInput(block, block->InputQueue.start + job->FileStart, job->FileSize, static_cast<uint32_t>(position));
  return true;
}

bool MoveToFooter(TgaJob *job) {
  ParamBlock *block = job->Block;
  if (job->WholeInput && job->FileSize < kFooterSize) return false;
  SeekInput(block, block->InputQueue.start + job->FileStart, job->FileSize, QV_SEEK_FROM_END + kFooterSize);
  return true;
}

// The extension area as a 0x2002 record: size field, 493 bytes, offsets zeroed.
bool ReadExtensionArea(TgaJob *job, uint32_t offset) {
  ParamBlock *block = job->Block;
  uint8_t size[2];
  if (!MoveTo(job, offset) || !TryReadInput(block, size, 2)) return false;
  if (Le16(size) < kExtensionSize) return true;  // an older, shorter area: ignored
  int slot;
  uint8_t *record = static_cast<uint8_t *>(JobBufferOrFail(block, kExtensionSize + 8, QV_ERR_BUFFER, &slot));
  PutLe32(record, kExtensionRecord);
  PutLe32(record + 4, kExtensionSize);
  record[8] = kExtensionSize & 0xFF;
  record[9] = kExtensionSize >> 8;
  bool complete = TryReadInput(block, record + 10, kExtensionSize - 2);
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
  if (!MoveTo(job, offset) || !TryReadInput(block, raw, 2)) return;
  uint32_t count = Le16(raw);
  if (!ReserveExtra(block, 10)) return;
  uint8_t record[10];
  PutLe32(record, kDirectoryRecord);
  PutLe32(record + 4, 2);
  record[8] = raw[0];
  record[9] = raw[1];
  AppendExtraBytes(block, record, 10);
  for (uint32_t i = 0; i < count; ++i) {
    if (!TryReadInput(block, raw, 10)) return;
    uint32_t fieldOffset = Le32(raw + 2);
    uint32_t fieldSize = Le32(raw + 6);
    if (fieldSize > 0xFFFFFFFFu - 8 || !ReserveExtra(block, fieldSize + 8)) return;
    if (!MoveTo(job, fieldOffset) || !TryAppendRecord(block, kFieldRecord, fieldSize)) return;
    if (i + 1 < count && !MoveTo(job, offset + 2 + 10 * static_cast<uint64_t>(i + 1))) return;
  }
}

}  // namespace

void TgaReadImageId(TgaJob *job) {
  ParamBlock *block = job->Block;
  uint32_t n = job->Header.IdLength;
  if (n == 0) return;
  if (block->ExtraBuffer && ReserveExtra(block, n + 8))
    AppendExtraRecord(block, &block->InputQueue, n, kImageIdRecord);
  else
    SkipInput(block, &block->InputQueue, n);
}

void TgaReadExtras(TgaJob *job) {
  ParamBlock *block = job->Block;
  uint8_t footer[kFooterSize];
  if (!MoveToFooter(job) || !TryReadInput(block, footer, kFooterSize)) return;
  if (memcmp(footer + 8, kSignature, sizeof kSignature) != 0) return;
  uint32_t extension = Le32(footer);
  uint32_t directory = Le32(footer + 4);
  if (extension && !ReadExtensionArea(job, extension)) return;
  if (directory) ReadDeveloperDirectory(job, directory);
}
