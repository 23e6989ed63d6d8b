// The decompressor's three managers as the job needs them: errors, the data
// source, and the memory manager's methods wrapped to charge the job.
#include "codecs/jpeg/jpeg_decoder.h"

#include "engine/engine.h"

#if QV_HAVE_JPEGLIB

namespace {

JpegDecoder *Of(j_common_ptr c) { return static_cast<JpegDecoder *>(c->client_data); }
JpegDecoder *Of(j_decompress_ptr c) { return static_cast<JpegDecoder *>(c->client_data); }

// ---- Errors and warnings ------------------------------------------------------

// libjpeg cannot go on: the job ends here, its frames and libjpeg's dropped
// alike (libjpeg expects an error exit never to return), and the cleanup
// destroys the decompressor.
[[noreturn]] void ErrorExit(j_common_ptr c) { FailJob(Of(c)->Block, JpegStatus(c->err->msg_code)); }

// Warnings that the data is damaged: corrupt entropy-coded data, markers
// out of place or missing, data cut short. The others (an unknown JFIF
// revision or Adobe transform, a bad ICC segment) only say the file is odd.
bool IsDamage(int code) {
  switch (code) {
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_TOO_MUCH_DATA:
#if JPEG_LIB_VERSION >= 70 || defined(C_ARITH_CODING_SUPPORTED) || defined(D_ARITH_CODING_SUPPORTED)
    case JWRN_ARITH_BAD_CODE:
#endif
      return true;
    default:
      return false;
  }
}

// Level -1: a warning about the data; others are traces. Nothing is
// printed.
//
// A Huffman code that matches no symbol is passed over: libjpeg-turbo's
// fast Huffman path (taken when at least about half a kilobyte of input is
// at hand per block) decodes it as 0 without a word, the careful path warns
// with the same pixels, so whether it is seen would depend on how the host
// fed the input.
void EmitMessage(j_common_ptr c, int level) {
  if (level >= 0) return;
  JpegDecoder *d = Of(c);
  int code = c->err->msg_code;
  if (code == JWRN_HUFF_BAD_CODE) return;
  if (d->Warnings++ == 0) d->FirstWarning = code;
  c->err->num_warnings++;
  if (!IsDamage(code)) return;
  if (!d->Tolerant) FailJob(d->Block, JpegStatus(code));
  if (!d->Damaged) {
    d->Damaged = true;
    d->DamagedFrom = c->is_decompressor ? d->Info.output_scanline : 0;
  }
}

void OutputMessage(j_common_ptr) {}

// ---- The data source ----------------------------------------------------------

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

// Never "suspended": the feed waits for the host instead, inside the job.
boolean FillInputBuffer(j_decompress_ptr c) {
  JpegDecoder *d = Of(c);
  const uint8_t *bytes = nullptr;
  size_t n = d->Feed(d->FeedContext, &bytes);
  if (n == 0) {
    WARNMS(c, JWRN_JPEG_EOF);
    bytes = kEndOfImage;
    n = sizeof kEndOfImage;
  }
  c->src->next_input_byte = bytes;
  c->src->bytes_in_buffer = n;
  return TRUE;
}

void SkipInputData(j_decompress_ptr c, long count) {
  if (count <= 0) return;
  struct jpeg_source_mgr *s = c->src;
  size_t n = static_cast<size_t>(count);
  while (n > s->bytes_in_buffer) {
    n -= s->bytes_in_buffer;
    FillInputBuffer(c);
  }
  s->next_input_byte += n;
  s->bytes_in_buffer -= n;
}

// ---- Memory ------------------------------------------------------------------
//
// Every allocation libjpeg's modules make goes through the memory manager's
// methods; each wrapper charges the job's budget before the library
// allocates (past the budget the job fails with QV_ERR_BUFFER), and what a
// pool held is given back when libjpeg frees it. Virtual arrays (the
// coefficients of a progressive image) are charged when realised. Only the
// manager's own bookkeeping, made as the decompressor is created, is left
// out: a few hundred bytes.

int PoolIndex(int pool) { return pool == JPOOL_PERMANENT ? 0 : 1; }

void Charge(j_common_ptr c, int pool, uint64_t bytes) {
  JpegDecoder *d = Of(c);
  ChargeJobMemory(d->Block, bytes);
  d->Held[PoolIndex(pool)] += bytes;
}

uint64_t ArrayBytes(JDIMENSION perRow, JDIMENSION rows, size_t unit, size_t pointer) {
  return uint64_t{perRow} * rows * unit + uint64_t{rows} * pointer;
}

void *AllocSmall(j_common_ptr c, int pool, size_t n) {
  Charge(c, pool, n);
  return Of(c)->Methods.alloc_small(c, pool, n);
}

void *AllocLarge(j_common_ptr c, int pool, size_t n) {
  Charge(c, pool, n);
  return Of(c)->Methods.alloc_large(c, pool, n);
}

JSAMPARRAY AllocSarray(j_common_ptr c, int pool, JDIMENSION samplesPerRow, JDIMENSION rows) {
  Charge(c, pool, ArrayBytes(samplesPerRow, rows, sizeof(JSAMPLE), sizeof(JSAMPROW)));
  return Of(c)->Methods.alloc_sarray(c, pool, samplesPerRow, rows);
}

JBLOCKARRAY AllocBarray(j_common_ptr c, int pool, JDIMENSION blocksPerRow, JDIMENSION rows) {
  Charge(c, pool, ArrayBytes(blocksPerRow, rows, sizeof(JBLOCK), sizeof(JBLOCKROW)));
  return Of(c)->Methods.alloc_barray(c, pool, blocksPerRow, rows);
}

jvirt_sarray_ptr RequestVirtSarray(j_common_ptr c, int pool, boolean preZero, JDIMENSION samplesPerRow,
                                   JDIMENSION rows, JDIMENSION maxAccess) {
  Of(c)->Pending[PoolIndex(pool)] += ArrayBytes(samplesPerRow, rows, sizeof(JSAMPLE), sizeof(JSAMPROW));
  return Of(c)->Methods.request_virt_sarray(c, pool, preZero, samplesPerRow, rows, maxAccess);
}

jvirt_barray_ptr RequestVirtBarray(j_common_ptr c, int pool, boolean preZero, JDIMENSION blocksPerRow,
                                   JDIMENSION rows, JDIMENSION maxAccess) {
  Of(c)->Pending[PoolIndex(pool)] += ArrayBytes(blocksPerRow, rows, sizeof(JBLOCK), sizeof(JBLOCKROW));
  return Of(c)->Methods.request_virt_barray(c, pool, preZero, blocksPerRow, rows, maxAccess);
}

void RealizeVirtArrays(j_common_ptr c) {
  JpegDecoder *d = Of(c);
  for (int i = 0; i < 2; ++i) {
    uint64_t n = d->Pending[i];
    d->Pending[i] = 0;
    Charge(c, i == 0 ? JPOOL_PERMANENT : JPOOL_IMAGE, n);
  }
  d->Methods.realize_virt_arrays(c);
}

void FreePool(j_common_ptr c, int pool) {
  JpegDecoder *d = Of(c);
  d->Methods.free_pool(c, pool);
  int i = PoolIndex(pool);
  ReleaseJobMemory(d->Block, d->Held[i]);
  d->Held[i] = 0;
  d->Pending[i] = 0;
}

void SelfDestruct(j_common_ptr c) {
  JpegDecoder *d = Of(c);
  d->Methods.self_destruct(c);
  ReleaseJobMemory(d->Block, d->Held[0] + d->Held[1]);
  d->Held[0] = d->Held[1] = 0;
}

void WrapMemoryManager(JpegDecoder *d) {
  struct jpeg_memory_mgr *m = d->Info.mem;
  d->Methods = *m;
  m->alloc_small = AllocSmall;
  m->alloc_large = AllocLarge;
  m->alloc_sarray = AllocSarray;
  m->alloc_barray = AllocBarray;
  m->request_virt_sarray = RequestVirtSarray;
  m->request_virt_barray = RequestVirtBarray;
  m->realize_virt_arrays = RealizeVirtArrays;
  m->free_pool = FreePool;
  m->self_destruct = SelfDestruct;
  // No limit of libjpeg's own (JPEGMEM in the environment could set one):
  // the job's budget is the limit.
  m->max_memory_to_use = 0;
}

// ---- Life ----------------------------------------------------------------------

// On the host's stack when the job ends in any way (or restarts).
void Destroy(void *argument) {
  JpegDecoder *d = static_cast<JpegDecoder *>(argument);
  if (!d->Live) return;
  d->Live = false;
  d->Api->DestroyDecompress(&d->Info);
}

}  // namespace

JpegDecoder *JpegCreate(ParamBlock *block, JpegFeed feed, void *context, bool tolerant) {
  const JpegApi *api = JpegLibrary();
  if (!api) FailJob(block, QV_ERR_JPEG_UNAVAILABLE);
  JpegDecoder *d = NewJobRecord<JpegDecoder>(block);
  d->Api = api;
  d->Block = block;
  d->Tolerant = tolerant;
  api->StdError(&d->Errors);
  d->Errors.error_exit = ErrorExit;
  d->Errors.emit_message = EmitMessage;
  d->Errors.output_message = OutputMessage;
  d->Info.err = &d->Errors;
  d->Info.client_data = d;
  if (!AddJobCleanup(block, Destroy, d)) FailJob(block, QV_ERR_BUFFER);
  d->Live = true;  // destroying a decompressor whose creation failed is safe
  api->CreateDecompress(&d->Info, JPEG_LIB_VERSION, sizeof d->Info);
  WrapMemoryManager(d);
  d->Source.init_source = InitSource;
  d->Source.fill_input_buffer = FillInputBuffer;
  d->Source.skip_input_data = SkipInputData;
  d->Source.resync_to_restart = api->ResyncToRestart;
  d->Source.term_source = TermSource;
  d->Info.src = &d->Source;
  JpegSetFeed(d, feed, context);
  return d;
}

void JpegSetFeed(JpegDecoder *d, JpegFeed feed, void *context) {
  d->Feed = feed;
  d->FeedContext = context;
  d->Source.next_input_byte = nullptr;
  d->Source.bytes_in_buffer = 0;
}

int32_t JpegStatus(int code) {
  switch (code) {
    case JERR_BAD_PRECISION: return QV_ERR_JPEG_PRECISION;
    case JERR_NO_SOI: return QV_ERR_JPEG_SIGNATURE;
    case JERR_OUT_OF_MEMORY: return QV_ERR_NO_MEMORY;
    case JERR_CONVERSION_NOTIMPL: return QV_ERR_JPEG_COLOUR;
    default: break;
  }
  if (code > 0 && code < 200) return QV_ERR_JPEG_LIBRARY - code;
  return QV_ERR_JPEG_LIBRARY_LAST;
}

#else

int32_t JpegStatus(int code) {
  if (code > 0 && code < 200) return QV_ERR_JPEG_LIBRARY - code;
  return QV_ERR_JPEG_LIBRARY_LAST;
}

#endif
