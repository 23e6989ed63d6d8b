// Entry points of the image readers, called on the job stack by the job start.
#pragma once
#include "quorvin.h"

void ReadBmp(ParamBlock *block);
void ReadGif(ParamBlock *block);
void ReadPcx(ParamBlock *block);
void ReadTga(ParamBlock *block);
void ReadTiff(ParamBlock *block);
