// The image readers: one table of every image type the job start accepts,
// with the reader that decodes it and the job stack that reader needs (the
// codes and their formats' names are quorvin.h's table of image types).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "engine/job_options.h"
#include "quorvin.h"

using ReaderEntry = void (*)(ParamBlock *block, const JobOptions &options);

struct ReaderInfo {
  uint32_t Code;        // ImageType
  ReaderEntry Read;
  uint32_t StackBytes;  // job stack the reader's deepest path needs, with a wide margin
  // Run on the host's stack before each job of the type starts (the foreign
  // library a reader calls is loaded there, not on the job's stack); or null.
  void (*Prepare)(const ParamBlock *block) = nullptr;
};

// The reader for an image type; null for a code no reader accepts.
const ReaderInfo *FindReader(uint32_t imageType);
// Every entry, for the tests.
const ReaderInfo *ReaderTable(size_t *count);

void ReadBmp(ParamBlock *block, const JobOptions &options);
void ReadGif(ParamBlock *block, const JobOptions &options);
void ReadPcx(ParamBlock *block, const JobOptions &options);
void ReadTga(ParamBlock *block, const JobOptions &options);
void ReadTiff(ParamBlock *block, const JobOptions &options);
void ReadPng(ParamBlock *block, const JobOptions &options);
void ReadJpeg(ParamBlock *block, const JobOptions &options);
// Load libjpeg once per process (on the host's stack): for every JPEG job,
// and for TIFF jobs with the extended bit (their strips may be JPEG).
void PrepareJpeg(const ParamBlock *block);
void PrepareTiff(const ParamBlock *block);
