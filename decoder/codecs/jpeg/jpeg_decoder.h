// A libjpeg decompressor that lives inside a job: its record is a job
// buffer, its data source pulls compressed bytes from a feed that waits for
// the host (libjpeg never sees a suspension), its errors end in FailJob
// with a status that carries libjpeg's message code, its warnings are
// counted, and everything it allocates is held against the job's memory
// budget and released whenever the job ends (a registered cleanup destroys
// it).
//
// A reader creates one decoder and drives libjpeg's own calls through Api:
// a JPEG file reads one datastream; a TIFF codec would read its JPEGTables
// first (ReadHeader with requireImage FALSE answers
// JPEG_HEADER_TABLES_ONLY) and then one datastream per strip or tile with
// the same decoder, changing the feed between them (JpegSetFeed), since the
// tables stay in the decompressor.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "codecs/jpeg/jpeg_library.h"
#include "quorvin.h"

// The next compressed bytes: a stretch of at least one byte, which stays
// readable until the feed is asked again; or 0 when the datastream has
// ended (a strip's bytes used up): the decoder then counts a warning and
// ends the datastream with an EOI marker, as libjpeg's own sources do. May
// wait for the host, or fail the job.
using JpegFeed = size_t (*)(void *context, const uint8_t **bytes);

#if QV_HAVE_JPEGLIB

struct JpegDecoder {
  struct jpeg_decompress_struct Info;  // libjpeg's decompressor
  struct jpeg_error_mgr Errors;
  struct jpeg_source_mgr Source;
  const JpegApi *Api;
  ParamBlock *Block;
  JpegFeed Feed;
  void *FeedContext;
  uint32_t Warnings;     // libjpeg's warnings about the data (JWRN_*)
  int FirstWarning;      // the message code of the first
  // Damaged data (a warning that data was corrupt, missing or out of place)
  // fails the job with that warning's status, unless the decoder is
  // tolerant: then libjpeg decodes on and the damage is noted.
  bool Tolerant;
  bool Damaged;
  uint32_t DamagedFrom;  // rows libjpeg had returned when the damage was found
  // The memory manager's methods as libjpeg set them: the decoder's own
  // wrap them to count what each pool holds.
  struct jpeg_memory_mgr Methods;
  uint64_t Held[2];      // bytes charged to the job, by pool (permanent, image)
  uint64_t Pending[2];   // virtual arrays requested, charged when realised
  bool Live;             // created, not yet destroyed
};

// A decompressor for the running job reading from feed, tolerant of damaged
// data or not. Fails the job with QV_ERR_JPEG_UNAVAILABLE when libjpeg
// cannot be loaded.
JpegDecoder *JpegCreate(ParamBlock *block, JpegFeed feed, void *context, bool tolerant);
// The feed for the next datastream (bytes libjpeg holds are dropped).
void JpegSetFeed(JpegDecoder *d, JpegFeed feed, void *context);

#endif

// The status for a libjpeg message code: the precision, memory and
// not-a-JPEG codes have statuses of their own, any other is
// QV_ERR_JPEG_LIBRARY - code.
int32_t JpegStatus(int messageCode);
