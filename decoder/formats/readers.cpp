#include "formats/readers.h"

namespace {

// The deepest reader paths measured take a few kilobytes (the call-graph
// check and the corpus runs report them); 64 KiB leaves a wide margin in
// every build, the sanitizers' included.
constexpr uint32_t kClassicStack = 64 * 1024;

const ReaderInfo kReaders[] = {
    {QV_TYPE_BMP, "BMP", ReadBmp, kClassicStack},
    {QV_TYPE_BMPR, "BMP", ReadBmp, kClassicStack},
    {QV_TYPE_BMPO, "BMP", ReadBmp, kClassicStack},
    {QV_TYPE_GIFN, "GIF", ReadGif, kClassicStack},
    {QV_TYPE_GIFI, "GIF", ReadGif, kClassicStack},
    {QV_TYPE_GIFU, "GIF", ReadGif, kClassicStack},
    {QV_TYPE_PCX1, "PCX", ReadPcx, kClassicStack},
    {QV_TYPE_PCX2, "PCX", ReadPcx, kClassicStack},
    {QV_TYPE_PCX3, "PCX", ReadPcx, kClassicStack},
    {QV_TYPE_PCX4, "PCX", ReadPcx, kClassicStack},
    {QV_TYPE_PCX8, "PCX", ReadPcx, kClassicStack},
    {QV_TYPE_PCXT, "PCX", ReadPcx, kClassicStack},
    {QV_TYPE_DCXZ, "DCX", ReadPcx, kClassicStack},
    {QV_TYPE_TGA1, "Targa", ReadTga, kClassicStack},
    {QV_TYPE_TGA2, "Targa", ReadTga, kClassicStack},
    {QV_TYPE_TGA3, "Targa", ReadTga, kClassicStack},
    {QV_TYPE_TGA9, "Targa", ReadTga, kClassicStack},
    {QV_TYPE_TGAA, "Targa", ReadTga, kClassicStack},
    {QV_TYPE_TGAB, "Targa", ReadTga, kClassicStack},
    {QV_TYPE_TIF1, "TIFF", ReadTiff, kClassicStack},
    {QV_TYPE_TIFC, "TIFF", ReadTiff, kClassicStack},
    {QV_TYPE_TIFG, "TIFF", ReadTiff, kClassicStack},
    {QV_TYPE_TIFL, "TIFF", ReadTiff, kClassicStack},
    {QV_TYPE_TIFM, "TIFF", ReadTiff, kClassicStack},
    {QV_TYPE_TIFZ, "TIFF", ReadTiff, kClassicStack},
    {QV_TYPE_TIFU, "TIFF", ReadTiff, kClassicStack},
    {QV_TYPE_G3, "Group 3 fax", ReadTiff, kClassicStack},
    {QV_TYPE_G32D, "Group 3 fax", ReadTiff, kClassicStack},
    {QV_TYPE_PNG, "PNG", ReadPng, kClassicStack},
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
