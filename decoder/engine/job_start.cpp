// The job body: prepare the block, check the host's description of the job,
// and hand over to the reader for the image type.
#include <string.h>

#include "engine.h"
#include "queue.h"
#include "formats/readers.h"

namespace {

using Reader = void (*)(ParamBlock *);

struct ImageTypeEntry {
  uint32_t code;
  Reader reader;
};

const ImageTypeEntry kImageTypes[] = {
    {0, ReadBmp},
    {QV_FOURCC('B', 'M', 'P', 'R'), ReadBmp},
    {QV_FOURCC('B', 'M', 'P', 'O'), ReadBmp},
    {QV_FOURCC('G', 'I', 'F', 'N'), ReadGif},
    {QV_FOURCC('G', 'I', 'F', 'I'), ReadGif},
    {QV_FOURCC('G', 'I', 'F', 'u'), ReadGif},
    {QV_FOURCC('P', 'C', 'X', '1'), ReadPcx},
    {QV_FOURCC('P', 'C', 'X', '2'), ReadPcx},
    {QV_FOURCC('P', 'C', 'X', '3'), ReadPcx},
    {QV_FOURCC('P', 'C', 'X', '4'), ReadPcx},
    {QV_FOURCC('P', 'C', 'X', '8'), ReadPcx},
    {QV_FOURCC('P', 'C', 'X', 'T'), ReadPcx},
    {QV_FOURCC('D', 'C', 'X', 'Z'), ReadPcx},
    {QV_FOURCC('T', 'G', 'A', '1'), ReadTga},
    {QV_FOURCC('T', 'G', 'A', '2'), ReadTga},
    {QV_FOURCC('T', 'G', 'A', '3'), ReadTga},
    {QV_FOURCC('T', 'G', 'A', '9'), ReadTga},
    {QV_FOURCC('T', 'G', 'A', 'A'), ReadTga},
    {QV_FOURCC('T', 'G', 'A', 'B'), ReadTga},
    {QV_FOURCC('T', 'I', 'F', '1'), ReadTiff},
    {QV_FOURCC('T', 'I', 'F', 'C'), ReadTiff},
    {QV_FOURCC('T', 'I', 'F', 'G'), ReadTiff},
    {QV_FOURCC('T', 'I', 'F', 'L'), ReadTiff},
    {QV_FOURCC('T', 'I', 'F', 'M'), ReadTiff},
    {QV_FOURCC('T', 'I', 'F', 'Z'), ReadTiff},
    {QV_FOURCC('T', 'I', 'F', 'u'), ReadTiff},
    {QV_FOURCC('G', '3', ' ', ' '), ReadTiff},
    {QV_FOURCC('G', '3', '2', 'D'), ReadTiff},
};

Reader FindReader(uint32_t code) {
  for (const ImageTypeEntry &e : kImageTypes)
    if (e.code == code) return e.reader;
  return nullptr;
}

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

  if (!FindReader(block->ImageType) && block->ImageType != 0) FailJob(block, QV_ERR_BAD_IMAGE_TYPE);

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
  block->Status = QV_OK;

  FindReader(block->ImageType)(block);
}
