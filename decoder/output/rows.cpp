#include "rows.h"

#include "engine/engine.h"
#include "engine/queue.h"

const uint8_t kExpand5[32] = {0,   8,   16,  24,  32,  41,  49,  57,  65,  74,  82,
                              90,  98,  106, 115, 123, 131, 139, 148, 156, 164, 172,
                              180, 189, 197, 205, 213, 222, 230, 238, 246, 255};

bool ComputeStride(uint32_t bits, int64_t width, uint32_t *stride) {
  if (width <= 0 || bits == 0) return false;
  int64_t s = ((static_cast<int64_t>(bits) * width + 31) >> 3) & ~int64_t{3};
  if (s <= 0 || s > 0x7FFFFFFF) return false;
  *stride = static_cast<uint32_t>(s);
  return true;
}

bool ComputeImageSize(uint32_t stride, int64_t rows, uint32_t *size) {
  if (rows < 0) rows = -rows;
  uint64_t s = static_cast<uint64_t>(stride) * static_cast<uint64_t>(rows);
  if (s > 0xFFFFFFFFull) return false;
  *size = static_cast<uint32_t>(s);
  return true;
}

bool IsGreyPalette(const PaletteEntry *entries, uint32_t count) {
  if (count == 0) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (entries[i].red != entries[i].blue || entries[i].red != entries[i].green) return false;
  return true;
}

uint32_t FlipBandRows(const ParamBlock *block, uint32_t stride) {
  size_t size = QueueSize(&block->OutputQueue);
  if (stride == 0 || size < 1) return 0;
  size_t r = (size - 1) / stride;
  return r > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(r);
}

bool IsDataFailure(int32_t status, int32_t corrupt1, int32_t corrupt2) {
  return status == QV_ERR_INPUT_ENDED || (corrupt1 && status == corrupt1) ||
         (corrupt2 && status == corrupt2);
}

void ReportDamagedRows(ParamBlock *block, uint32_t rows) {
  if (!rows) return;
  block->Flags |= QV_FLAG_PARTIAL;
  block->DamagedRows += rows;
}
