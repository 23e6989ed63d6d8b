#include "engine/engine.h"
#include "formats/readers.h"

// This reader is not part of the build yet.
void ReadBmp(ParamBlock *block) { FailJob(block, QV_ERR_READER_MISSING); }
