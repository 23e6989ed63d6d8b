// The fax decoders are not part of this build yet: every entry fails the job
// with -7099, so TIFF files with CCITT compression and raw fax input are
// refused as a reader that is not built.
#include "codecs/ccitt/ccitt.h"
#include "engine/engine.h"

CcittState *JobCcitt(ParamBlock *block) { return &JobGlobals(block)->Ccitt; }
void CcittSetup(ParamBlock *block, uint32_t, bool) { FailJob(block, QV_ERR_READER_MISSING); }
void CcittStartStrip(ParamBlock *block, uint32_t) { FailJob(block, QV_ERR_READER_MISSING); }
uint32_t DecodeMhRow(ParamBlock *block, uint8_t *, uint32_t) { FailJob(block, QV_ERR_READER_MISSING); }
void CcittAlignToByte(ParamBlock *block) { FailJob(block, QV_ERR_READER_MISSING); }
uint32_t DecodeG3Row1D(ParamBlock *block, uint8_t *, uint32_t) { FailJob(block, QV_ERR_READER_MISSING); }
uint32_t DecodeG3Row2D(ParamBlock *block, uint8_t *, uint32_t) { FailJob(block, QV_ERR_READER_MISSING); }
void DecodeG4Row(ParamBlock *block, uint8_t *, uint32_t) { FailJob(block, QV_ERR_READER_MISSING); }
void FillRowFromChanges(uint8_t *, const uint32_t *, uint32_t) {}
