#include "fax_job.h"

#include <string.h>

#include "codecs/ccitt/ccitt.h"
#include "engine/engine.h"
#include "engine/queue.h"
#include "stream/stream.h"

namespace faxjob {
namespace {

// The job reads its settings from here (a job keeps no owning objects).
const Settings *g_settings = nullptr;
Outcome *g_outcome = nullptr;

constexpr uint32_t kRawWidth = 32768;  // the width a raw page's first row is decoded at

FaxCoding CodingOf(Coding coding) {
  switch (coding) {
    case Coding::Mh: return FaxCoding::Mh;
    case Coding::G3: return FaxCoding::G3;
    case Coding::G3TwoD: return FaxCoding::G3TwoD;
    case Coding::G4: break;
  }
  return FaxCoding::G4;
}

// What the body keeps in a job buffer: its stream and the decoder.
struct Record {
  Stream Io;  // the strips in, the rows out
  FaxDecoder Fax;
};

void Body(ParamBlock *block) {
  const Settings &job = *g_settings;
  Outcome &out = *g_outcome;
  block->Flags |= QV_FLAG_FINAL_IMAGE;
  int slot;
  Record *rec = static_cast<Record *>(AllocJobBuffer(block, sizeof(Record), &slot));
  if (!rec) FailJob(block, QV_ERR_BUFFER);
  StreamStartInput(&rec->Io, block);
  StreamStartOutput(&rec->Io, block);
  bool raw = job.width == 0;
  uint32_t width = raw ? kRawWidth : job.width;
  FaxSetup(&rec->Fax, &rec->Io, width, job.reverse);
  size_t rowMax = (width + 7) / 8;
  uint8_t *row = static_cast<uint8_t *>(AllocJobBuffer(block, rowMax + 3, &slot));
  if (!row) FailJob(block, QV_ERR_BUFFER);
  Strip rawStrip;
  rawStrip.rows = UINT32_MAX;
  size_t strips = raw ? 1 : job.strips.size();
  for (size_t si = 0; si < strips; ++si) {
    const Strip &strip = raw ? rawStrip : job.strips[si];
    FaxStartStrip(&rec->Fax, strip.byteCount);
    StreamSeek(&rec->Io, strip.offset);
    for (uint32_t r = 0; r < strip.rows; ++r) {
      size_t rowBytes = (width + 7) / 8;
      memset(row, 0, rowBytes + 3);
      uint32_t got;
      if (int32_t status = FaxDecodeRow(&rec->Fax, CodingOf(job.coding), row, width, &got)) FailJob(block, status);
      if (row[rowBytes] | row[rowBytes + 1] | row[rowBytes + 2]) out.slackTouched = true;
      if ((width & 7) && (row[rowBytes - 1] & (0xFF >> (width & 7)))) out.slackTouched = true;
      if (raw) {
        if (got == 0) {
          if (out.rows == 0) FailJob(block, QV_ERR_FAX_EMPTY_PAGE);
          break;
        }
        if (out.rows == 0) {
          // The page's width is the first row's length; nothing past it is set.
          width = got;
          rowBytes = (width + 7) / 8;
          for (size_t i = rowBytes; i < rowMax; ++i)
            if (row[i]) out.slackTouched = true;
          if ((width & 7) && (row[rowBytes - 1] & (0xFF >> (width & 7)))) out.slackTouched = true;
        }
      }
      if (job.hashRows) out.hash = Hash(row, rowBytes, out.hash);
      if (job.putRows) {
        StreamPut(&rec->Io, row, rowBytes);
        StreamCommit(&rec->Io);  // each row the host's at once
      }
      ++out.rows;
      if (job.onRow) job.onRow(out.rows);
    }
  }
  out.width = width;
}

void Install(ParamBlock *block) { SetJobBodyForTest(block, Body); }

}  // namespace

uint64_t Hash(const uint8_t *p, size_t n, uint64_t h) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

qvhost::Result Run(const std::vector<uint8_t> &file, const Settings &job, qvhost::Options options,
                   Outcome *outcome) {
  options.imageType = QV_FOURCC('T', 'I', 'F', '1');
  *outcome = Outcome();
  outcome->hash = Hash(nullptr, 0);
  g_settings = &job;
  g_outcome = outcome;
  qvhost::TestHooks hooks;
  hooks.afterInit = Install;
  qvhost::Result r = qvhost::DecodeWithHooks(file.data(), file.size(), options, hooks);
  g_settings = nullptr;
  g_outcome = nullptr;
  return r;
}

}  // namespace faxjob
