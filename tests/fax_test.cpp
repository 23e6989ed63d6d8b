// The fax decoders, driven through a job body on coded data: compared bit
// for bit with libtiff's decode of pages that libtiff and pbmtog3 encoded and
// of the corpus's fax files, under every queue stress; the code tables; and
// the edge cases of the coding, written bit by bit.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "codecs/ccitt/ccitt.h"
#include "codecs/ccitt/ccitt_tables.h"
#include "engine/memory.h"
#include "fax_job.h"
#include "fax_pages.h"
#include "test_support.h"

namespace {

using faxjob::Coding;
using faxpages::Page;

// The rows the job put out, against the expected packed rows.
std::string CompareRows(const qvhost::Result &r, const std::vector<uint8_t> &want, uint32_t width) {
  if (!r.ok()) return "status " + std::to_string(r.status);
  if (r.output.size() != want.size())
    return "output " + std::to_string(r.output.size()) + " bytes, want " + std::to_string(want.size());
  size_t rowBytes = (width + 7) / 8;
  for (size_t i = 0; i < want.size(); ++i)
    if (r.output[i] != want[i])
      return "row " + std::to_string(i / rowBytes) + " byte " + std::to_string(i % rowBytes) + " differs";
  return "";
}

// Decode under every stress configuration; each must give the reference's
// outcome, and its rows when the reference succeeded.
std::string CheckStress(const std::vector<uint8_t> &file, const faxjob::Spec &spec,
                        const qvhost::Result &reference, size_t rowBytes) {
  for (size_t i = 0; i < qvtest::kStressCaseCount; ++i) {
    const qvtest::StressCase &c = qvtest::kStressCases[i];
    qvhost::Options o;
    o.inQueue = c.inQueue ? c.inQueue : 5;
    o.outQueue = std::max<size_t>(c.outQueue ? c.outQueue : rowBytes + 1, 5);
    o.wholeInput = c.wholeInput;
    o.chunkSeed = c.seed;
    o.eventLimit = 0;
    faxjob::Outcome out;
    qvhost::Result r = faxjob::Run(file, spec, o, &out);
    if (r.response != reference.response || r.status != reference.status)
      return std::string(c.name) + ": status " + std::to_string(r.status) + " vs " +
             std::to_string(reference.status);
    if (reference.ok() && r.output != reference.output) return std::string(c.name) + ": rows differ";
  }
  return "";
}

#if QV_HAVE_TIFF
faxjob::Spec SpecFor(const faxpages::TiffFax &t) {
  faxjob::Spec spec;
  spec.coding = t.compression == 2   ? Coding::Mh
                : t.compression == 4 ? Coding::G4
                : (t.group3Options & 1) ? Coding::G3TwoD
                                        : Coding::G3;
  spec.width = t.width;
  spec.reverse = t.fillOrder == 2;
  uint32_t rps = std::min(t.rowsPerStrip, t.height);
  for (uint32_t y = 0, s = 0; y < t.height && s < t.offsets.size(); y += rps, ++s)
    spec.strips.push_back({t.offsets[s], t.counts[s], std::min(rps, t.height - y)});
  return spec;
}

struct Variant {
  const char *name;
  uint16_t compression;
  uint32_t group3Options;
};
const Variant kVariants[] = {
    {"mh", 2, 0}, {"g3-1d", 3, 0}, {"g3-1d-fill", 3, 4}, {"g3-2d", 3, 1}, {"g3-2d-fill", 3, 5}, {"g4", 4, 0},
};

// Encode page with libtiff, decode its strips with the job and with
// libtiff; "" when the rows agree bit for bit (and, with stress, under
// every queue stress).
std::string RoundTrip(const Page &page, const Variant &v, uint16_t fillOrder, uint32_t rowsPerStrip,
                      bool stress) {
  faxpages::TiffOptions o;
  o.compression = v.compression;
  o.group3Options = v.group3Options;
  o.fillOrder = fillOrder;
  o.rowsPerStrip = rowsPerStrip;
  std::vector<uint8_t> file = faxpages::EncodeTiff(page, o);
  faxpages::TiffFax t;
  if (file.empty() || !faxpages::ReadFaxTiff(file, 0, &t) || !t.decoded) return "libtiff failed";
  if (t.rows != page.bits) return "libtiff's own round trip differs";
  faxjob::Spec spec = SpecFor(t);
  faxjob::Outcome out;
  qvhost::Result r = faxjob::Run(file, spec, qvhost::Options(), &out);
  std::string e = CompareRows(r, t.rows, t.width);
  if (e.empty() && out.slackTouched) e = "bits set past a row's end";
  if (e.empty() && stress) e = CheckStress(file, spec, r, (t.width + 7) / 8);
  return e;
}

TEST(FaxLibtiff, PagesOfEveryWidthAndCoding) {
  const uint32_t widths[] = {1, 2, 7, 8, 9, 15, 17, 31, 32, 33, 63, 100, 255, 500, 1000, 1728, 2047, 2560, 2561, 4000, 5000};
  int n = 0;
  for (uint32_t width : widths)
    for (const Variant &v : kVariants) {
      ++n;
      bool text = n % 2;
      uint32_t height = width > 2000 ? 90 : 160;
      Page page = text ? faxpages::TextPage(width, height, n) : faxpages::LineArtPage(width, height, n);
      uint16_t fill = (n / 2) % 2 ? 2 : 1;
      uint32_t rps = (n % 3 == 0) ? 0 : (n % 3 == 1 ? 7 : 64);
      SCOPED_TRACE(std::string(v.name) + " width " + std::to_string(width) + (text ? " text" : " line art") +
                   " fill order " + std::to_string(fill) + " rows per strip " + std::to_string(rps));
      EXPECT_EQ(RoundTrip(page, v, fill, rps, width == 1728 || width == 33 || width == 5000), "");
    }
}

TEST(FaxLibtiff, PageTallerThan60000Rows) {
  Page page = faxpages::LineArtPage(45, 61000, 5);
  for (const Variant &v : {kVariants[1], kVariants[5]}) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(RoundTrip(page, v, 1, 0, false), "");
    EXPECT_EQ(RoundTrip(page, v, 2, 1000, false), "");
  }
}
#endif

}  // namespace
