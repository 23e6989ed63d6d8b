#include "formats/readers.h"

namespace {

// The deepest reader paths measured take a few kilobytes (the call-graph
// check and the corpus runs report them); 64 KiB leaves a wide margin in
// every build, the sanitizers' included.
constexpr uint32_t kClassicStack = 64 * 1024;
// libjpeg decodes on the job stack: its own frames and its SIMD paths (TIFF
// strips may be JPEG too).
constexpr uint32_t kJpegStack = 128 * 1024;

const ReaderInfo kReaders[] = {
    {QV_TYPE_BMP, ReadBmp, kClassicStack},
    {QV_TYPE_BMPR, ReadBmp, kClassicStack},
    {QV_TYPE_BMPO, ReadBmp, kClassicStack},
    {QV_TYPE_GIFN, ReadGif, kClassicStack},
    {QV_TYPE_GIFI, ReadGif, kClassicStack},
    {QV_TYPE_GIFU, ReadGif, kClassicStack},
    {QV_TYPE_PCX1, ReadPcx, kClassicStack},
    {QV_TYPE_PCX2, ReadPcx, kClassicStack},
    {QV_TYPE_PCX3, ReadPcx, kClassicStack},
    {QV_TYPE_PCX4, ReadPcx, kClassicStack},
    {QV_TYPE_PCX8, ReadPcx, kClassicStack},
    {QV_TYPE_PCXT, ReadPcx, kClassicStack},
    {QV_TYPE_DCXZ, ReadPcx, kClassicStack},
    {QV_TYPE_TGA1, ReadTga, kClassicStack},
    {QV_TYPE_TGA2, ReadTga, kClassicStack},
    {QV_TYPE_TGA3, ReadTga, kClassicStack},
    {QV_TYPE_TGA9, ReadTga, kClassicStack},
    {QV_TYPE_TGAA, ReadTga, kClassicStack},
    {QV_TYPE_TGAB, ReadTga, kClassicStack},
    {QV_TYPE_TIF1, ReadTiff, kJpegStack, PrepareTiff},
    {QV_TYPE_TIFC, ReadTiff, kJpegStack, PrepareTiff},
    {QV_TYPE_TIFG, ReadTiff, kJpegStack, PrepareTiff},
    {QV_TYPE_TIFL, ReadTiff, kJpegStack, PrepareTiff},
    {QV_TYPE_TIFM, ReadTiff, kJpegStack, PrepareTiff},
    {QV_TYPE_TIFZ, ReadTiff, kJpegStack, PrepareTiff},
    {QV_TYPE_TIFU, ReadTiff, kJpegStack, PrepareTiff},
    {QV_TYPE_G3, ReadTiff, kClassicStack},
    {QV_TYPE_G32D, ReadTiff, kClassicStack},
    {QV_TYPE_PNG, ReadPng, kClassicStack},
    {QV_TYPE_JPEG, ReadJpeg, kJpegStack, PrepareJpeg},
};

}  // namespace

const ReaderInfo *FindReader(uint32_t imageType) {
  for (const ReaderInfo &r : kReaders)
    if (r.Code == imageType) return &r;
  return nullptr;
}

const ReaderInfo *ReaderTable(size_t *count) {
  *count = sizeof kReaders / sizeof kReaders[0];
  return kReaders;
}
