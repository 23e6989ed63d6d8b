// libjpeg-turbo, loaded when the first JPEG job needs it: the shipped library
// links against the C library alone, and a system without libjpeg still
// decodes every other format. Builds without jpeglib.h (the Windows cross
// build) have no JPEG reader: the library is then never available.
#pragma once
#include <stddef.h>
#include <stdint.h>

#if QV_HAVE_JPEGLIB
#include <stdio.h>  // jpeglib.h needs FILE and size_t declared first

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

// The functions of the library the decoder calls, found by name.
struct JpegApi {
  struct jpeg_error_mgr *(*StdError)(struct jpeg_error_mgr *err);
  void (*CreateDecompress)(j_decompress_ptr cinfo, int version, size_t structSize);
  void (*DestroyDecompress)(j_decompress_ptr cinfo);
  void (*AbortDecompress)(j_decompress_ptr cinfo);
  void (*SaveMarkers)(j_decompress_ptr cinfo, int marker, unsigned int lengthLimit);
  int (*ReadHeader)(j_decompress_ptr cinfo, boolean requireImage);
  boolean (*StartDecompress)(j_decompress_ptr cinfo);
  JDIMENSION (*ReadScanlines)(j_decompress_ptr cinfo, JSAMPARRAY rows, JDIMENSION most);
  boolean (*FinishDecompress)(j_decompress_ptr cinfo);
  boolean (*ResyncToRestart)(j_decompress_ptr cinfo, int desired);
};
#else
struct JpegApi;
#endif

// The file name the library is loaded by.
#define QV_JPEG_SONAME "libjpeg.so.62"

// The loaded library, or null when it cannot be loaded (missing, not
// libjpeg-turbo, or a build without the JPEG reader). The first call loads
// it, once per process; calls from several threads are safe. Call it on the
// host's stack (PrepareJpeg) before a job relies on it.
const JpegApi *JpegLibrary();

#if QV_INTERNAL_API
// Test seam: load the library by another name from now on (null: the usual
// one), as if nothing had been loaded yet, so that a test can see a system
// without it. Not for use while jobs run on other threads.
void SetJpegLibraryNameForTest(const char *name);
#endif
