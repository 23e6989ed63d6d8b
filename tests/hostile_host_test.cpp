// A host that rewrites its queues or its extra-data buffer while a job waits:
// every corpus file (and a generated set) is decoded under several delivery
// modes, and at sampled suspensions the host changes one thing in one of
// many ways. The job must end with a status, or finish as if nothing had
// happened; the sanitizer builds catch any access outside the storage.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include "sample_files.h"
#include "test_support.h"

namespace {

enum class Expect { Refused, Clean };

// The host's own storage for a replaced queue or buffer, alive for one run.
struct Scratch {
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  uint8_t *Block(size_t n) {
    blocks.emplace_back(new uint8_t[n]());
    return blocks.back().get();
  }
};

uint8_t *Offset(uint8_t *p, intptr_t by) {
  return reinterpret_cast<uint8_t *>(reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(by));
}

void SetStorage(DataQueue &q, uint8_t *start, uint8_t *end) {
  q.start = q.front = q.rear = start;
  q.end = end;
}

// A move of the storage with its contents and positions.
void MoveQueue(DataQueue &q, Scratch &s) {
  size_t n = static_cast<size_t>(q.end - q.start);
  uint8_t *to = s.Block(n);
  memcpy(to, q.start, n);
  q.front = to + (q.front - q.start);
  q.rear = to + (q.rear - q.start);
  q.start = to;
  q.end = to + n;
}

struct Tamper {
  const char *name;
  Expect expect;
  // Returns false when the block already was as the change would leave it.
  bool (*apply)(ParamBlock *pb, int response, Scratch &s);
};

const Tamper kTampers[] = {
    {"input storage null", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) { return SetStorage(pb->InputQueue, nullptr, nullptr), true; }},
    {"input storage emptied", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) {
       return SetStorage(pb->InputQueue, pb->InputQueue.start, pb->InputQueue.start), true;
     }},
    {"input storage of 1 byte", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) {
       return SetStorage(pb->InputQueue, pb->InputQueue.start, pb->InputQueue.start + 1), true;
     }},
    {"input end below start", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) { return pb->InputQueue.end = Offset(pb->InputQueue.start, -48), true; }},
    {"input moved with its bytes", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &s) { return MoveQueue(pb->InputQueue, s), true; }},
    {"output storage null", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) { return SetStorage(pb->OutputQueue, nullptr, nullptr), true; }},
    {"output storage emptied", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) {
       return SetStorage(pb->OutputQueue, pb->OutputQueue.start, pb->OutputQueue.start), true;
     }},
    {"output storage of 3 bytes", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) {
       return SetStorage(pb->OutputQueue, pb->OutputQueue.start, pb->OutputQueue.start + 3), true;
     }},
    {"output end below start", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) { return pb->OutputQueue.end = Offset(pb->OutputQueue.start, -64), true; }},
    {"output moved to an empty block", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &s) {
       size_t n = static_cast<size_t>(pb->OutputQueue.end - pb->OutputQueue.start);
       uint8_t *to = s.Block(n);
       return SetStorage(pb->OutputQueue, to, to + n), true;
     }},
    {"output moved with its bytes", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &s) { return MoveQueue(pb->OutputQueue, s), true; }},
    {"extra buffer null", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) {
       bool changed = pb->ExtraBuffer != nullptr;
       pb->ExtraBuffer = nullptr;
       return changed;
     }},
    {"extra capacity cut", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) {
       uint32_t to = pb->ExtraCapacity != pb->ExtraUsed ? pb->ExtraUsed : 0;
       bool changed = pb->ExtraCapacity != to;
       pb->ExtraCapacity = to;
       return changed;
     }},
    {"extra used changed", Expect::Refused,
     [](ParamBlock *pb, int, Scratch &) { return pb->ExtraUsed += 1000, true; }},
    {"input positions past the end", Expect::Clean,
     [](ParamBlock *pb, int, Scratch &) {
       pb->InputQueue.front = pb->InputQueue.rear = Offset(pb->InputQueue.end, 100);
       return true;
     }},
    {"output positions below the start", Expect::Clean,
     [](ParamBlock *pb, int, Scratch &) {
       pb->OutputQueue.front = pb->OutputQueue.rear = Offset(pb->OutputQueue.start, -100);
       return true;
     }},
    {"output positions swapped", Expect::Clean,
     [](ParamBlock *pb, int, Scratch &) {
       std::swap(pb->OutputQueue.front, pb->OutputQueue.rear);
       return pb->OutputQueue.front != pb->OutputQueue.rear;
     }},
    {"input rear taken back", Expect::Clean,
     [](ParamBlock *pb, int, Scratch &) {
       bool changed = pb->InputQueue.rear != pb->InputQueue.front;
       pb->InputQueue.rear = pb->InputQueue.front;
       pb->InputQueue.flags &= ~QV_QUEUE_END_OF_DATA;
       return changed;
     }},
};
constexpr size_t kTamperCount = sizeof kTampers / sizeof kTampers[0];

struct Mode {
  const char *name;
  uint32_t flags;
  uint32_t interlace;
  size_t inQueue;
  uint32_t outRows;  // output queue of this many rows plus one byte; 0: the whole image fits
  bool wholeInput;
  bool gifOnly;
};

const Mode kModes[] = {
    {"plain", 0, 0, 97, 2, false, false},
    {"top-down with header", QV_FLAG_TOP_DOWN | QV_FLAG_HEADER, 0, 53, 3, false, false},
    {"batches of 2", QV_FLAG_BATCH, 1, 301, 1, false, false},
    {"whole input", QV_FLAG_HEADER, 0, 0, 2, true, false},
    {"gif final image in the queue", QV_FLAG_TOP_DOWN | QV_FLAG_HEADER, 2, 61, 0, false, true},
    {"gif refined in the queue", QV_FLAG_TOP_DOWN, 3, 89, 0, false, true},
    {"gif overlay", QV_FLAG_OVERLAY | QV_FLAG_TOP_DOWN, 0, 77, 0, false, true},
};
constexpr size_t kModeCount = sizeof kModes / sizeof kModes[0];
constexpr size_t kGeneralModes = 4;

qvhost::Options OptionsFor(const qvtest::SampleFile &f, const Mode &m) {
  qvhost::Options o;
  o.imageType = f.imageType;
  o.outputLimit = size_t{64} << 20;
  qvhost::Result probe = qvhost::Decode(f.data.data(), f.data.size(), o);
  int64_t rows = probe.header.biHeight < 0 ? -int64_t{probe.header.biHeight} : probe.header.biHeight;
  size_t stride = rows ? probe.header.biSizeImage / rows : 0;
  if (stride == 0 || stride > (1u << 20)) stride = 64;
  o.flags = m.flags;
  o.rowsPerBatch = 2;
  o.interlaceMode = m.interlace;
  o.inQueue = m.inQueue;
  o.wholeInput = m.wholeInput;
  o.outQueue = m.outRows ? stride * m.outRows + 1
                         : std::min<size_t>(stride * rows + 1100 + 1, size_t{8} << 20);
  o.extraInitial = 16;  // so that the extra buffer is grown at a response 11
  o.test.chunkSeed = 77;
  return o;
}

struct Tally {
  size_t runs = 0, refused = 0, clean = 0, unchanged = 0, noSuspension = 0;
};

// One decode with a tamper at the k-th resume. Returns "" when the outcome is
// as expected.
std::string RunTampered(const qvtest::SampleFile &f, const qvhost::Options &o,
                        const qvhost::Result &reference, size_t maxResumes, const Tamper &t,
                        size_t k, Tally *tally) {
  Scratch scratch;
  size_t resumes = 0, responses = 0;
  bool applied = false, changed = false, allowedExtra = false, capped = false;
  DataQueue savedIn{}, savedOut{};
  qvhost::TestHooks hooks;
  hooks.beforeResume = [&](ParamBlock *pb, int response) {
    if (resumes++ != k) return;
    savedIn = pb->InputQueue;
    savedOut = pb->OutputQueue;
    applied = true;
    changed = t.apply(pb, response, scratch);
    // Answering response 11 is the one time the extra buffer may change.
    allowedExtra = response == ResponseNeedExtra && strncmp(t.name, "extra", 5) == 0 &&
                   strncmp(t.name, "extra used", 10) != 0;
  };
  hooks.afterResponse = [&](ParamBlock *pb, int response) {
    // The host keeps using its own queues once the job has ended.
    if (applied && response == ResponseError) {
      pb->InputQueue = savedIn;
      pb->OutputQueue = savedOut;
    }
    if (++responses > 4 * maxResumes + 1000) {  // no progress: stop the job
      capped = true;
      pb->InputQueue.flags |= QV_QUEUE_ABORT;
      pb->OutputQueue.flags |= QV_QUEUE_ABORT;
    }
  };
  qvhost::Result r = qvhost::DecodeWithHooks(f.data.data(), f.data.size(), o, hooks);
  ++tally->runs;
  char where[200];
  snprintf(where, sizeof where, "%s at resume %zu: ", t.name, k);
  if (capped) return std::string(where) + "the job never ended";
  if (r.response != ResponseDone && r.response != ResponseError)
    return std::string(where) + "response " + std::to_string(r.response);
  if (!applied) return std::string(where) + "no such resume";
  if (!changed || (t.expect == Expect::Refused && allowedExtra)) {
    // Nothing the job may not see changed: the outcome is the reference's.
    ++tally->unchanged;
    if (r.status != reference.status) return std::string(where) + "status " + std::to_string(r.status);
    if (reference.ok() && r.output != reference.output) return std::string(where) + "output differs";
    return "";
  }
  if (t.expect == Expect::Refused) {
    ++tally->refused;
    if (r.response != ResponseError || r.status != QV_ERR_BAD_OPTION)
      return std::string(where) + "status " + std::to_string(r.status) + ", expected -7005";
    return "";
  }
  ++tally->clean;
  return "";
}

// everyMode: each file under every mode, else one mode per file in turn;
// samples: suspensions tampered with per way, spread over the job.
void RunFiles(const std::vector<qvtest::SampleFile> &files, bool everyMode, size_t samples,
              Tally *tally) {
  for (size_t i = 0; i < files.size(); ++i) {
    const qvtest::SampleFile &f = files[i];
    bool gif = (f.imageType & 0xFFFFFF) == (QV_FOURCC('G', 'I', 'F', 0) & 0xFFFFFF);
    size_t modes = gif ? kModeCount : kGeneralModes;
    for (size_t mi = 0; mi < modes; ++mi) {
      if (!everyMode && mi != i % modes) continue;
      const Mode &m = kModes[mi];
      SCOPED_TRACE(f.name + ", " + m.name);
      qvhost::Options o = OptionsFor(f, m);
      size_t resumes = 0;
      qvhost::TestHooks count;
      count.beforeResume = [&](ParamBlock *, int) { ++resumes; };
      qvhost::Result reference = qvhost::DecodeWithHooks(f.data.data(), f.data.size(), o, count);
      if (reference.status == QV_ERR_READER_MISSING) continue;
      if (resumes == 0) {
        ++tally->noSuspension;
        continue;
      }
      for (size_t w = 0; w < kTamperCount; ++w) {
        for (size_t j = 0; j < samples; ++j) {
          size_t k = (j * resumes / samples + i * 7919 + w * 104729 + mi * 31) % resumes;
          std::string failure = RunTampered(f, o, reference, resumes, kTampers[w], k, tally);
          EXPECT_EQ(failure, "");
        }
      }
    }
  }
}

void Report(const char *what, const Tally &t) {
  printf("[ %s ] %zu tampered runs: %zu refused with -7005, %zu ended cleanly, %zu unchanged "
         "and identical; %zu file/mode pairs never suspended\n",
         what, t.runs, t.refused, t.clean, t.unchanged, t.noSuspension);
}

TEST(HostileHost, GeneratedFilesInEveryMode) {
  Tally t;
  RunFiles(qvtest::GeneratedSamples(), true, 5, &t);
  Report("generated", t);
  EXPECT_GT(t.refused, 0u);
}

TEST(HostileHost, CorpusFiles) {
#if QV_SLOW_LEG
  const size_t every = 8;  // emulated legs: a sample of the corpus
#else
  const size_t every = 1;
#endif
  std::vector<qvtest::SampleFile> files = qvtest::CorpusSamples(every);
  if (files.empty()) return qvtest::NotRun("the shared corpus is absent");
  Tally t;
  RunFiles(files, false, 1, &t);
  Report("corpus", t);
  EXPECT_GT(t.refused, 0u);
}

// A host that answers a wait by doing nothing (no byte added and the file
// not said to have ended; no byte taken) ends a classic reader's job with the
// stream's status, where those readers once asked again for ever.
TEST(HostileHost, ClassicReadersStopAHostThatDoesNothing) {
  size_t stopped = 0;
  for (const qvtest::SampleFile &f : qvtest::GeneratedSamples()) {
    std::string format = qvhost::TypeName(f.imageType).substr(0, 3);
    if (format != "BMP" && format != "GIF" && format != "PCX" && format != "TGA") continue;
    qvhost::Options o = qvtest::ClassicOptions();
    o.imageType = f.imageType;
    qvhost::Result plain = qvhost::Decode(f.data.data(), f.data.size(), o);
    ASSERT_TRUE(plain.ok()) << f.name;
    o.inQueue = 5;
    o.outQueue = static_cast<size_t>(qvhost::Stride(plain.header)) + 1;
    for (int wait : {ResponseNeedInput, ResponseNeedOutput}) {
      SCOPED_TRACE(f.name + (wait == ResponseNeedInput ? ", input" : ", output"));
      DataQueue before{};
      bool idle = false;
      qvhost::TestHooks hooks;
      hooks.afterResponse = [&](ParamBlock *pb, int response) {
        if (response == wait) before = wait == ResponseNeedInput ? pb->InputQueue : pb->OutputQueue;
      };
      hooks.beforeResume = [&](ParamBlock *pb, int response) {
        if (response != wait || idle) return;
        idle = true;
        DataQueue &q = wait == ResponseNeedInput ? pb->InputQueue : pb->OutputQueue;
        q.front = before.front;
        q.rear = before.rear;
        q.flags = before.flags & ~QV_QUEUE_END_OF_DATA;
      };
      qvhost::Result r = qvhost::DecodeWithHooks(f.data.data(), f.data.size(), o, hooks);
      // Rows placed from the end go out by output seeks: no wait for room.
      if (!idle && wait == ResponseNeedOutput) continue;
      ASSERT_TRUE(idle);
      EXPECT_EQ(r.status, wait == ResponseNeedInput ? QV_ERR_INPUT_STALLED : QV_ERR_OUTPUT_STALLED);
      ++stopped;
    }
  }
  EXPECT_GT(stopped, 7u);  // every file's input, and some files' output
}

// The host library's output limit, and a caller that refuses output, end a
// job that hands its rows over in batches at the next batch (a reader sees
// the abort only when it waits for room, which such a job may never do),
// and a job whose last bytes were refused is no success: every reader,
// -1014, and no more than one batch past the limit.
TEST(HostileHost, RefusedOutputEndsABatchedJob) {
  size_t ended = 0;
  for (const qvtest::SampleFile &f : qvtest::GeneratedSamples()) {
    qvhost::Options o;
    o.imageType = f.imageType;
    o.flags = QV_FLAG_BATCH | QV_FLAG_TOP_DOWN;
    o.rowsPerBatch = 1;
    o.test.eventLimit = 100000;
    qvhost::Result whole = qvhost::Decode(f.data.data(), f.data.size(), o);
    size_t stride = static_cast<size_t>(qvhost::Stride(whole.header));
    if (!whole.ok() || whole.passImages.size() || stride == 0 || whole.outputLength < 4 * stride) continue;
    SCOPED_TRACE(f.name);
    o.outputLimit = whole.outputLength / 2;
    o.outQueue = 2 * stride + 1;
    qvhost::Result r = qvhost::Decode(f.data.data(), f.data.size(), o);
    EXPECT_EQ(r.status, QV_ERR_OUTPUT_ABORTED);
    EXPECT_LE(r.events.size(), whole.events.size() / 2 + 64);
    size_t calls = 0;
    o.outputLimit = size_t{1} << 30;
    o.onOutput = [&](const ParamBlock &, uint64_t, const uint8_t *, size_t) { return ++calls < 3; };
    EXPECT_EQ(qvhost::Decode(f.data.data(), f.data.size(), o).status, QV_ERR_OUTPUT_ABORTED);
    ++ended;
  }
  printf("[ generated ] %zu batched jobs ended at the refused output\n", ended);
  EXPECT_GT(ended, 10u);
}

}  // namespace
