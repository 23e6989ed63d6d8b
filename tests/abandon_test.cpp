// A job can be abandoned wherever it waits for the host: every reader, on
// every generated sample (and a sample of the corpus), ended at each of its
// suspensions with request 4, or restarted there with request 2 and then
// ended. Nothing of the job is left afterwards (no live block; under the
// sanitizer builds, no leak and no stray access either).
#include <gtest/gtest.h>

#include <functional>

#include "codecs/jpeg/jpeg_library.h"
#include "engine/memory.h"
#include "jpeg_writer.h"
#include "sample_files.h"
#include "test_support.h"
#include "tiff_builder.h"

namespace {

// Raw Group 3 input, most significant bit first: EOL, a white row, EOL,
// white 10 and black 54, then EOL EOL.
std::vector<uint8_t> RawFax() {
  std::string bits = "000000000001" "11011" "00110101" "000000000001" "00111" "000000111000"
                     "000000000001" "000000000001";
  while (bits.size() % 8) bits += '0';
  std::vector<uint8_t> v;
  for (size_t i = 0; i < bits.size(); i += 8) v.push_back(static_cast<uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2)));
  return v;
}

// A TIFF of three JPEG strips (YCbCr, each a whole JPEG stream with its
// tables), or nothing where libjpeg is not at hand: libjpeg holds memory of
// its own while the job waits.
std::vector<uint8_t> JpegTiff() {
  if (!JpegLibrary()) return {};
  tiffbuild::Page page;
  page.width = 61, page.height = 45, page.samples = 3, page.photometric = 6, page.compression = 7;
  page.rowsPerStrip = 16;
  for (uint32_t top = 0; top < page.height; top += page.rowsPerStrip) {
    qvtest::JpegSettings s;
    s.width = page.width, s.height = std::min(page.rowsPerStrip, page.height - top), s.salt = top;
    page.strips.push_back(qvtest::MakeJpeg(s));
    if (page.strips.back().empty()) return {};
  }
  return tiffbuild::Writer(false).Build({page});
}

// Responses a decode answers (every one a suspension the host serves).
size_t CountResponses(const qvtest::SampleFile &f, const qvhost::Options &o) {
  size_t n = 0;
  qvhost::TestHooks hooks;
  hooks.beforeResume = [&](ParamBlock *, int) { ++n; };
  qvhost::DecodeWithHooks(f.data.data(), f.data.size(), o, hooks);
  return n;
}

void AbandonEverywhere(const qvtest::SampleFile &f, size_t maxPoints, size_t *runs) {
  qvhost::Options o;
  o.imageType = f.imageType;
  o.faxFillOrder = 1;
  qvhost::Result probe = qvhost::Decode(f.data.data(), f.data.size(), o);
  int64_t rows = probe.header.biHeight < 0 ? -int64_t{probe.header.biHeight} : probe.header.biHeight;
  size_t stride = rows && probe.header.biSizeImage != 0xFFFFFFFFu ? probe.header.biSizeImage / rows : 64;
  o.inQueue = 29;
  o.outQueue = std::max<size_t>(stride + 1, 5);
  o.flags = QV_FLAG_HEADER;
  o.test.chunkSeed = 5;
  size_t n = CountResponses(f, o);
  size_t step = n > maxPoints ? n / maxPoints : 1;
  for (size_t k = 0; k < n; k += step) {
    for (bool restart : {false, true}) {
      size_t seen = 0;
      qvhost::TestHooks hooks;
      hooks.beforeResume = [&](ParamBlock *pb, int) {
        if (seen++ != k) return;
        if (restart) Corvane(pb, RequestRun);
        Corvane(pb, RequestTerminate);
      };
      qvhost::DecodeWithHooks(f.data.data(), f.data.size(), o, hooks);
      ++*runs;
      ASSERT_EQ(MemLiveBlocks(), 0) << f.name << ": " << (restart ? "restarted" : "ended") << " at response "
                                    << k << " of " << n;
    }
  }
}

TEST(Abandon, EveryReaderAtEverySuspension) {
  std::vector<qvtest::SampleFile> files = qvtest::GeneratedSamples();
  qvtest::SampleFile fax;
  fax.name = "made/raw.g3";
  fax.data = RawFax();
  fax.imageType = QV_TYPE_G3;
  files.push_back(fax);
  std::vector<uint8_t> jpegTiff = JpegTiff();
  if (!jpegTiff.empty()) {
    qvhost::Options o;
    o.imageType = QV_TYPE_TIFU;
    ASSERT_TRUE(qvhost::Decode(jpegTiff.data(), jpegTiff.size(), o).ok());
    files.push_back({"made/jpeg-strips.tif", jpegTiff, QV_TYPE_TIFU});
  }
  size_t runs = 0;
  for (const qvtest::SampleFile &f : files) AbandonEverywhere(f, 400, &runs);
  printf("[ generated ] %zu files ended or restarted at %zu suspensions\n", files.size(), runs);
}

TEST(Abandon, CorpusFiles) {
#if QV_SLOW_LEG
  const size_t every = 40;
#else
  const size_t every = 8;
#endif
  std::vector<qvtest::SampleFile> files = qvtest::CorpusSamples(every);
  if (files.empty()) return qvtest::NotRun("the shared corpus is absent");
  size_t runs = 0;
  for (const qvtest::SampleFile &f : files) AbandonEverywhere(f, 40, &runs);
  printf("[ corpus ] %zu files ended or restarted at %zu suspensions\n", files.size(), runs);
}

}  // namespace
