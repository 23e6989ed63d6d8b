// Raw Group 3 fax data has no header: the host library tells from its first
// bytes whether it starts like fax data and in which bit order; which coding
// it uses is settled here by decoding those bytes both ways and keeping the
// one under which more rows decode.
#include "fax_detect.h"
#include "quorvin_tool.h"

namespace qvtool {
namespace {

constexpr uint32_t kG3 = QV_FOURCC('G', '3', ' ', ' ');
constexpr uint32_t kG32D = QV_FOURCC('G', '3', '2', 'D');

// Rows the decoder delivers from the bytes before it fails or they end (one
// batch a row; a page that ends cleanly counts one more, so it wins a tie).
size_t RowsDecoded(const uint8_t *head, size_t n, uint32_t type, uint8_t fillOrder, uint32_t *width,
                   bool *ended) {
  qvhost::Options o;
  o.extended = false;  // evidence is rows that decode: extended decoding would replace the others
  o.imageType = type;
  o.faxFillOrder = fillOrder;
  o.flags = QV_FLAG_BATCH;
  o.rowsPerBatch = 1;
  o.extra = false;
  o.wholeInput = true;
  uint32_t seen = 0;
  o.onOutput = [&seen](const ParamBlock &b, uint64_t, const uint8_t *, size_t) {
    if (b.BitmapHeader.biWidth > 0) seen = static_cast<uint32_t>(b.BitmapHeader.biWidth);
    return true;
  };
  qvhost::Result r = qvhost::Decode(head, n, o);
  *width = seen;
  *ended = r.ok();
  return r.counts[ResponseRowsReady] + (r.ok() ? 1 : 0);
}

}  // namespace

bool IsRawFaxType(uint32_t type) { return type == kG3 || type == kG32D; }

RawFaxGuess GuessRawFax(const uint8_t *head, size_t n, uint32_t type, uint8_t fillOrder) {
  qvhost::FaxGuess g = qvhost::GuessFax(head, n);
  RawFaxGuess best;
  best.eol = g.startsWithEol;
  if (!type && !g.startsWithEol) return best;  // no fax data to try
  uint8_t guessed = g.order == qvhost::FaxBitOrder::LsbFirst ? 2 : 1;
  uint8_t orders[2] = {fillOrder ? fillOrder : guessed, 0};
  if (!fillOrder && !g.certain) orders[1] = guessed == 1 ? 2 : 1;
  uint32_t types[2] = {type ? type : kG3, type ? 0 : kG32D};
  best.type = types[0];
  best.fillOrder = orders[0];
  for (uint8_t order : orders) {
    if (!order) continue;
    for (uint32_t t : types) {
      if (!t) continue;
      uint32_t width = 0;
      bool ended = false;
      size_t rows = RowsDecoded(head, n, t, order, &width, &ended);
      if (rows > best.rows) {
        best.rows = rows;
        best.type = t;
        best.fillOrder = order;
        best.width = width;
        best.pageEnded = ended;
      }
    }
  }
  if (best.width == 0) best.width = g.width;
  // Evidence: one width over the first 8 rows (or the whole page when it is
  // shorter, at least 2 rows), or a width fax machines scan at. Rows that
  // merely decode prove little: almost any bytes after an EOL make a row or two.
  qvhost::FaxGuess rows = qvhost::GuessFaxAs(head, n, best.fillOrder == 2 ? qvhost::FaxBitOrder::LsbFirst
                                                                           : qvhost::FaxBitOrder::MsbFirst,
                                             best.type == kG32D);
  size_t decoded = best.rows - (best.pageEnded ? 1 : 0);
  bool sameWidth = rows.oneWidth && (rows.width == 0 || rows.width == best.width);
  best.evidence = best.eol && decoded > 0 &&
                  ((sameWidth && (decoded >= 8 || (best.pageEnded && decoded >= 2))) ||
                   qvhost::IsStandardFaxWidth(best.width));
  return best;
}

}  // namespace qvtool
