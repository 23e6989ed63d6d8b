// The job's options, read once from the ParamBlock when the job starts and
// handed to the reader: what the host asked for, in the reader's terms.
#pragma once
#include <stdint.h>

#include "quorvin.h"

struct JobOptions {
  uint32_t ImageType;
  bool TopDown;           // QV_FLAG_TOP_DOWN: the top row leaves first
  bool Header;            // QV_FLAG_HEADER: header and colour table ahead of the rows
  bool Batches;           // QV_FLAG_BATCH: ResponseRowsReady after every RowsPerBatch rows
  uint32_t RowsPerBatch;  // at least 1
  bool Overlay;           // QV_FLAG_OVERLAY: rows merged into the output storage (GIF)
  bool Extended;          // QV_FLAG_EXTENDED: the variants the classic readers refuse
  bool WholeInput;        // the whole file lies in the input queue
  uint32_t InterlaceMode;
  uint32_t Page;          // from 1
  uint8_t FaxFillOrder;   // raw fax: 1 most significant bit first
  uint8_t FaxPhotometric;
};

inline JobOptions ReadJobOptions(const ParamBlock *block) {
  JobOptions o{};
  o.ImageType = block->ImageType;
  o.TopDown = (block->Flags & QV_FLAG_TOP_DOWN) != 0;
  o.Header = (block->Flags & QV_FLAG_HEADER) != 0;
  o.Batches = (block->Flags & QV_FLAG_BATCH) != 0;
  o.RowsPerBatch = block->RowsPerBatch > 1 ? block->RowsPerBatch : 1;
  o.Overlay = (block->Flags & QV_FLAG_OVERLAY) != 0;
  o.Extended = (block->Flags & QV_FLAG_EXTENDED) != 0;
  o.WholeInput = block->WholeInput == 1;
  o.InterlaceMode = block->InterlaceMode;
  o.Page = block->PageNumber < 1 ? 1 : block->PageNumber;
  o.FaxFillOrder = block->FaxFillOrder;
  o.FaxPhotometric = block->FaxPhotometric;
  return o;
}
