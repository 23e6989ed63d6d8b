// The job body: prepare the block, check the host's description of the job,
// and hand over to the reader for the image type.
#include <string.h>

#include "engine.h"
#include "formats/readers.h"
#include "job_options.h"
#include "queue.h"

namespace {

void CheckQueue(ParamBlock *block, const DataQueue &q) {
  if (!QueueDescriptionValid(&q)) FailJob(block, QV_ERR_BAD_OPTION);
}

}  // namespace

void RunJob(ParamBlock *block) {
  block->StartWords[0] = 1;
  block->StartWords[1] = 0;
  block->StartWords[2] = 0;
  block->StartWords[3] = 1;
  block->Description = JobDescription();
  if (block->WholeInput == 1) {
    JobContext(block)->SavedInputEnd = block->InputQueue.end;
    JobContext(block)->SavedInputStart = block->InputQueue.start;
  }

  const ReaderInfo *reader = FindReader(block->ImageType);
  if (!reader) FailJob(block, QV_ERR_BAD_IMAGE_TYPE);

  CheckQueue(block, block->InputQueue);
  CheckQueue(block, block->OutputQueue);

  bool optionsBad = block->OptionA != 0 || block->OptionB != 0 || block->WholeInput > 1 ||
                    (block->ExtraBuffer && block->ExtraCapacity == 0) || block->ExtraUsed != 0 ||
                    block->ExtraShortfall != 0 || block->OptionC > 1 ||
                    block->InterlaceMode > 5 || block->OptionByte != 0;
  for (uint32_t w : block->OptionWords) optionsBad |= w != 0;
  if (optionsBad) FailJob(block, QV_ERR_BAD_OPTION);

  memset(&block->BitmapHeader, 0, sizeof block->BitmapHeader);
  block->Flags |= QV_FLAG_FINAL_IMAGE;
  if (block->Flags & QV_FLAG_EXTENDED) {
    // The results of extended decoding start afresh (without the bit the
    // library leaves them alone, as every field it does not use).
    block->Flags &= ~(QV_FLAG_PARTIAL | QV_FLAG_ALPHA | QV_FLAG_PREMULTIPLIED);
    block->DamagedRows = 0;
    block->Orientation = 1;
  }
  block->Status = QV_OK;

  reader->Read(block, ReadJobOptions(block));
}

size_t JobStackBytes(const ParamBlock *block) {
  const ReaderInfo *reader = FindReader(block->ImageType);
  return reader ? reader->StackBytes : kJobStackSize;
}

void PrepareReader(const ParamBlock *block) {
  const ReaderInfo *reader = FindReader(block->ImageType);
  if (reader && reader->Prepare) reader->Prepare(block);
}
