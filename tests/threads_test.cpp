// Jobs and Cindral calls on several threads at once: every result must equal
// the result of the same call made alone. Run under ThreadSanitizer too (the
// job stack switch is annotated as a fiber switch), so a shared variable
// would be reported even when the bytes happen to come out right.
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cindral.h"
#include "sample_files.h"
#include "test_support.h"

namespace {

#if QV_SLOW_LEG || defined(__SANITIZE_THREAD__)
constexpr size_t kCorpusEvery = 6;
#else
constexpr size_t kCorpusEvery = 1;
#endif

struct Job {
  const qvtest::SampleFile *file;
  qvhost::Options options;
  qvhost::Result expected;
};

bool SameResult(const qvhost::Result &a, const qvhost::Result &b) {
  return a.response == b.response && a.status == b.status && a.output == b.output &&
         memcmp(&a.header, &b.header, sizeof a.header) == 0 &&
         memcmp(a.palette, b.palette, sizeof a.palette) == 0 && a.flags == b.flags &&
         a.passImages.size() == b.passImages.size() && a.extras.size() == b.extras.size();
}

TEST(Threads, DecodesMatchTheirSequentialRuns) {
  std::vector<qvtest::SampleFile> files = qvtest::GeneratedSamples();
  for (qvtest::SampleFile &f : qvtest::CorpusSamples(kCorpusEvery)) files.push_back(std::move(f));
  // Two ways through each file: large queues, and tiny ones with random
  // chunking (many suspensions, so that jobs switch stacks all the time).
  std::vector<Job> jobs;
  for (const qvtest::SampleFile &f : files) {
    for (int way = 0; way < 2; ++way) {
      Job j;
      j.file = &f;
      j.options.imageType = f.imageType;
      j.options.outputLimit = size_t{64} << 20;
      if (way == 1) {
        j.options.inQueue = 41;
        j.options.outQueue = 4099;
        j.options.test.chunkSeed = 1 + jobs.size();
        j.options.flags = QV_FLAG_HEADER;
        j.options.interlaceMode = static_cast<uint32_t>(jobs.size() % 6);
      }
      j.expected = qvhost::Decode(f.data.data(), f.data.size(), j.options);
      if (j.expected.status != QV_ERR_READER_MISSING) jobs.push_back(std::move(j));
    }
  }
  constexpr int kThreads = 8, kRounds = 3;
  std::atomic<size_t> next{0}, mismatches{0}, done{0};
  std::vector<std::string> firstBad(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the jobs from its own starting point, so that
      // different files are decoded side by side.
      for (size_t n; (n = next.fetch_add(1)) < jobs.size() * kRounds;) {
        const Job &j = jobs[(n * 7 + static_cast<size_t>(t) * 13) % jobs.size()];
        qvhost::Result r = qvhost::Decode(j.file->data.data(), j.file->data.size(), j.options);
        ++done;
        if (!SameResult(r, j.expected) && mismatches++ == 0) firstBad[t] = j.file->name;
      }
    });
  }
  for (std::thread &th : threads) th.join();
  printf("[ threads ] %zu decodes of %zu jobs on %d threads\n", done.load(), jobs.size(), kThreads);
  EXPECT_EQ(done.load(), jobs.size() * kRounds);
  std::string names;
  for (const std::string &s : firstBad) names += s + " ";
  EXPECT_EQ(mismatches.load(), 0u) << names;
}

// Jobs created and ended on many threads at once, each thread keeping
// several alive and asking about stale copies of blocks whose job has ended:
// the registry of live contexts answers for every block without mixing them.
TEST(Threads, JobsCreatedAndEndedConcurrently) {
  constexpr int kThreads = 8, kSteps = 400, kBlocks = 6;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ParamBlock blocks[kBlocks], stale;
      memset(blocks, 0, sizeof blocks);
      memset(&stale, 0, sizeof stale);
      uint32_t rng = 12345u + static_cast<uint32_t>(t);
      for (int step = 0; step < kSteps; ++step) {
        rng = rng * 1103515245u + 12345u;
        ParamBlock &pb = blocks[(rng >> 16) % kBlocks];
        if (!pb.ContextPointer) {
          pb.BlockSize = QV_PARAM_BLOCK_SIZE;
          pb.BlockVersion = 20;
          pb.OperationCode = QV_OPERATION_CODE;
          if (Corvane(&pb, RequestInit) != ResponseDone || !pb.ContextPointer) ++wrong;
        } else {
          stale = pb;
          if (Corvane(&pb, RequestTerminate) != ResponseDone || pb.ContextPointer) ++wrong;
          if (Corvane(&stale, RequestResume) != ResponseError || stale.Status != QV_ERR_NO_JOB) ++wrong;
        }
      }
      for (ParamBlock &pb : blocks) Corvane(&pb, RequestTerminate);
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Cindral: round trips of different files with the same key on four threads
// give exactly the bytes of the same calls made one at a time.
TEST(Threads, CindralRoundTripsOnDifferentFiles) {
  ASSERT_EQ(SetCode(CINDRAL_PASS_PHRASE, "shared key for every thread"), 1);
  constexpr int kThreads = 4, kTrips = 10;
  struct Side {
    std::string plain, coded, back;
    std::vector<uint8_t> data, expectedCoded;
  };
  std::vector<Side> sides(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    Side &s = sides[t];
    std::string base = qvtest::TempPath("threads-" + std::to_string(t));
    s.plain = base + ".plain";
    s.coded = base + ".coded";
    s.back = base + ".back";
    s.data.resize(70000 + 9000 * static_cast<size_t>(t));  // more than one transfer piece
    for (size_t i = 0; i < s.data.size(); ++i) s.data[i] = static_cast<uint8_t>(i * (t + 3) >> 3);
    ASSERT_TRUE(qvtest::WriteFileBytes(s.plain, s.data));
    ASSERT_EQ(CoDecFile(s.plain.c_str(), s.coded.c_str()), 0);
    s.expectedCoded = qvtest::ReadFileBytes(s.coded);
  }
  std::atomic<int> wrong{0}, calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Side &s = sides[t];
      for (int k = 0; k < kTrips; ++k) {
        calls += 2;
        if (CoDecFile(s.plain.c_str(), s.coded.c_str()) != 0 ||
            qvtest::ReadFileBytes(s.coded) != s.expectedCoded)
          ++wrong;
        if (CoDecFile(s.coded.c_str(), s.back.c_str()) != 0 || qvtest::ReadFileBytes(s.back) != s.data)
          ++wrong;
      }
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(calls.load(), kThreads * kTrips * 2);
  EXPECT_EQ(wrong.load(), 0);
  for (const Side &s : sides) {
    remove(s.plain.c_str());
    remove(s.coded.c_str());
    remove(s.back.c_str());
  }
}

}  // namespace
