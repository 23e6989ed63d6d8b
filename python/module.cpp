// quorvin._quorvin: the native half of the Python package, over the host
// library. Everything here runs the decoder through qvhost; the Python half
// (quorvin/__init__.py) adds the source handling, the Image class and the
// documentation.
//
// Pixels arrive as the decoder delivers them (rows padded to 4 bytes, blue
// first, palette indices packed 1, 4 or 8 to a pixel) and leave as NumPy
// arrays: one byte per sample, rows packed, top row first, red first.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image_output.h"
#include "image_view.h"
#include "quorvin_host.h"
#include "quorvin_tool.h"

namespace py = pybind11;

namespace {

constexpr uint32_t kCmyk = QV_FOURCC('C', 'M', 'Y', 'K');
constexpr size_t kHeadBytes = 8192;  // enough for the first rows of a raw fax page

// A decoder failure: status and the one-line meaning, raised as DecodeError.
struct DecodeFailure {
  int32_t status;
  std::string message;
};

// An operating-system failure on a file, raised as OSError.
struct FileFailure {
  int error;
  std::string path;
};

py::handle g_decodeError;

// ------------------------------------------------------------------ sources

// Where the bytes come from: a file by path or bytes held in memory.
struct Source {
  std::string path;                             // a file, or
  std::shared_ptr<const std::string> data;      // bytes in memory
  std::string name;                             // for messages

  // Reads up to n bytes at position; fewer at the end.
  size_t ReadAt(int fd, uint64_t at, uint8_t *to, size_t n) const {
    if (data) {
      if (at >= data->size()) return 0;
      n = std::min<size_t>(n, data->size() - static_cast<size_t>(at));
      memcpy(to, data->data() + at, n);
      return n;
    }
    ssize_t got = pread(fd, to, n, static_cast<off_t>(at));
    return got > 0 ? static_cast<size_t>(got) : 0;
  }
};

// An open file for one decode (nothing for memory sources).
class OpenSource {
 public:
  explicit OpenSource(const Source &s) : s_(s) {
    if (s.data) return;
    fd_ = open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
      close(fd_);
      fd_ = -1;
      errno = EISDIR;
    }
    if (fd_ < 0) throw FileFailure{errno, s.path};
  }
  ~OpenSource() {
    if (fd_ >= 0) close(fd_);
  }
  OpenSource(const OpenSource &) = delete;
  OpenSource &operator=(const OpenSource &) = delete;

  int fd() const { return fd_; }
  size_t ReadAt(uint64_t at, uint8_t *to, size_t n) const { return s_.ReadAt(fd_, at, to, n); }
  qvhost::Result Decode(const qvhost::Options &o) const {
    if (s_.data) return qvhost::Decode(reinterpret_cast<const uint8_t *>(s_.data->data()), s_.data->size(), o);
    return qvhost::DecodeFd(fd_, o);
  }
  int Pages() const {
    return qvhost::CountTiffPages([this](uint64_t at, uint8_t *to, size_t n) { return ReadAt(at, to, n) == n; });
  }

 private:
  const Source &s_;
  int fd_ = -1;
};

// ------------------------------------------------------------------ settings

// The decode options a caller may give (quorvin.open's keyword arguments).
struct Settings {
  uint32_t page = 1;
  uint32_t type = 0;
  bool typeGiven = false;
  uint8_t faxFillOrder = 0;  // 0: guessed for raw fax
  uint8_t faxPhotometric = 0;
  bool strict = false;
  uint32_t maxMemory = 0;
};

// What a header-only decode found, and how to decode the rest.
struct Facts {
  qvhost::Options options;  // type settled, page, fax options, flags
  qvhost::Result header;    // header, palette, flags, extras (no rows)
  int pages = -1;           // TIFF page count
  std::string mode;
  uint32_t width = 0, height = 0, channels = 1, stride = 0;
  uint8_t lut[256] = {};    // index -> grey level ("1" and "L")
  bool bigEndian = false;   // a TIFF file's byte order (its tag values follow it)
  std::string guess;        // a note on a raw fax guess
  // Rows a damaged file could not give, as the last full decode found them
  // (the header alone rarely shows them).
  std::atomic<uint32_t> damagedRows{0};
};

// Whether a Windows bitmap keeps its top row first (negative height): its
// rows then come in file order without asking for the reverse.
bool StoredTopFirst(const OpenSource &in, uint32_t type) {
  uint8_t h[26];
  if (type != QV_TYPE_BMP && type != QV_TYPE_BMPR) return false;
  if (in.ReadAt(0, h, sizeof h) != sizeof h) return false;
  uint32_t infoSize = h[14] | h[15] << 8 | h[16] << 16 | static_cast<uint32_t>(h[17]) << 24;
  return infoSize >= 40 && (h[25] & 0x80);
}

// A 256-colour PCX file keeps its colour table after the rows.
bool TableFollowsRows(const OpenSource &in, uint32_t type) {
  uint8_t bits = 0, planes = 0;
  return (type & 0xFFFFFF) == (QV_FOURCC('P', 'C', 'X', 0) & 0xFFFFFF) && in.ReadAt(3, &bits, 1) == 1 &&
         bits == 8 && in.ReadAt(65, &planes, 1) == 1 && planes == 1;
}

std::string StatusMessage(int32_t status, uint32_t type) {
  return "status " + std::to_string(status) + " (" + QvStatusText(status) + ") as " + qvhost::TypeName(type);
}

[[noreturn]] void Fail(const qvhost::Result &r, uint32_t type, int pages) {
  std::string message = StatusMessage(r.status, type);
  if (r.status == QV_ERR_NO_PAGE && pages >= 0)
    message += "; the file has " + std::to_string(pages) + (pages == 1 ? " page" : " pages");
  throw DecodeFailure{r.status, message};
}

// The options every decode of this source starts from: the image type
// (given, else from the content, raw fax data by its first rows), page and
// fax settings, the extended-decoding bit unless strict.
qvhost::Options Settle(const OpenSource &in, const Settings &s, std::string *note) {
  qvhost::Options o;
  o.imageType = s.type;
  o.pageNumber = s.page;
  o.faxFillOrder = s.faxFillOrder;
  o.faxPhotometric = s.faxPhotometric;
  o.memoryLimit = s.maxMemory;
  o.extended = !s.strict;
  bool fax = s.typeGiven && qvtool::IsRawFaxType(s.type);
  if (s.typeGiven && (!fax || s.faxFillOrder)) return o;
  std::vector<uint8_t> head(kHeadBytes);
  size_t n = in.ReadAt(0, head.data(), head.size());
  if (n == 0 && !fax) throw DecodeFailure{QV_ERR_BAD_HEADER, "empty file"};
  if (!fax && qvhost::DetectImageType(head.data(), n, &o.imageType)) return o;
  qvtool::RawFaxGuess g = qvtool::GuessRawFax(head.data(), n, fax ? s.type : 0, s.faxFillOrder);
  if (!fax && !g.evidence)
    throw DecodeFailure{QV_ERR_BAD_HEADER, "format not recognised; name the image type with type="};
  o.imageType = g.type;
  o.faxFillOrder = g.fillOrder;
  *note = "raw fax guessed as " + qvhost::TypeName(g.type) + (g.fillOrder == 1 ? ", msb first" : ", lsb first");
  return o;
}

// The array layout for a delivered bitmap.
void ChooseMode(Facts *f) {
  const BitmapInfoHeader &h = f->header.header;
  uint32_t bits = h.biBitCount;
  f->width = h.biWidth > 0 ? static_cast<uint32_t>(h.biWidth) : 0;
  f->height = h.biHeight < 0 ? 0u - static_cast<uint32_t>(h.biHeight) : static_cast<uint32_t>(h.biHeight);
  f->stride = static_cast<uint32_t>((uint64_t{f->width} * bits + 31) / 32 * 4);
  const PaletteEntry *pal = f->header.palette;
  if (bits == 1 || bits == 4 || bits == 8) {
    uint32_t entries = 1u << bits;
    bool grey = (f->header.flags & QV_FLAG_GREY) && !(f->header.flags & QV_FLAG_TRANSPARENT);
    bool bilevel = bits == 1;
    for (uint32_t i = 0; i < 256; ++i) f->lut[i] = i < entries ? pal[i].red : 0;
    for (uint32_t i = 0; i < entries && bilevel; ++i)
      bilevel = grey && (pal[i].red == 0 || pal[i].red == 255);
    f->mode = bilevel ? "1" : grey ? "L" : "P";
    f->channels = 1;
  } else if (bits == 24) {
    f->mode = "RGB", f->channels = 3;
  } else if (bits == 32) {
    // Four samples: CMYK, colour with alpha, or colour and a byte no one
    // uses (RGB).
    bool alpha = (f->header.flags & QV_FLAG_ALPHA) != 0;
    f->mode = h.biCompression == kCmyk ? "CMYK" : alpha ? "RGBA" : "RGB";
    f->channels = h.biCompression == kCmyk || alpha ? 4 : 3;
  } else {
    throw DecodeFailure{QV_ERR_BAD_HEADER, "no array layout for a " + std::to_string(bits) + "-bit bitmap"};
  }
  if (f->width == 0 || f->height == 0) throw DecodeFailure{QV_ERR_BAD_HEADER, "the bitmap header has no size"};
}

// One delivered row into packed samples, red first.
void ConvertRow(const Facts &f, const uint8_t *row, uint8_t *out) {
  uint32_t w = f.width;
  uint32_t bits = f.header.header.biBitCount;
  const char m = f.mode[0];
  if (bits <= 8) {
    bool grey = m != 'P';
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t i = bits == 8 ? row[x] : bits == 4 ? (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15 : (row[x >> 3] >> (7 - (x & 7))) & 1;
      out[x] = grey ? f.lut[i] : static_cast<uint8_t>(i);
    }
  } else if (bits == 24) {
    for (uint32_t x = 0; x < w; ++x, row += 3, out += 3) out[0] = row[2], out[1] = row[1], out[2] = row[0];
  } else if (f.mode == "CMYK") {
    memcpy(out, row, size_t{w} * 4);
  } else if (f.mode == "RGB") {
    for (uint32_t x = 0; x < w; ++x, row += 4, out += 3) out[0] = row[2], out[1] = row[1], out[2] = row[0];
  } else if (f.header.flags & QV_FLAG_PREMULTIPLIED) {
    // Straight alpha, as Pillow's RGBA holds it.
    for (uint32_t x = 0; x < w; ++x, row += 4, out += 4) {
      uint32_t a = row[3];
      for (int c = 0; c < 3; ++c)
        out[2 - c] = a ? static_cast<uint8_t>(std::min<uint32_t>(255, (row[c] * 255u + a / 2) / a)) : row[c];
      out[3] = row[3];
    }
  } else {
    for (uint32_t x = 0; x < w; ++x, row += 4, out += 4)
      out[0] = row[2], out[1] = row[1], out[2] = row[0], out[3] = row[3];
  }
}

// Decodes until the header, colour table and extra records are known, then
// ends the job (a 256-colour PCX file and raw fax data are read to the end:
// their table or height come last).
std::shared_ptr<Facts> Probe(const Source &src, const Settings &s) {
  auto f = std::make_shared<Facts>();
  OpenSource in(src);
  f->options = Settle(in, s, &f->guess);
  qvhost::Options o = f->options;
  bool tiff = qvhost::IsTiffType(o.imageType) && !qvtool::IsRawFaxType(o.imageType);
  if (tiff) {
    f->pages = in.Pages();
    uint8_t order = 0;
    f->bigEndian = in.ReadAt(0, &order, 1) == 1 && order == 'M';
  }
  o.interlaceMode = QV_INTERLACE_FINAL_ONLY;
  // In the order the rows are later asked for: a reader that has to turn
  // them over needs room for a row in the output queue.
  if (!StoredTopFirst(in, o.imageType)) o.flags |= QV_FLAG_TOP_DOWN;
  o.flags |= QV_FLAG_BATCH;
  o.rowsPerBatch = 1;
  o.outputLimit = UINT32_MAX;
  o.onOutput = [](const ParamBlock &, uint64_t, const uint8_t *, size_t) { return true; };
  bool toEnd = qvtool::IsRawFaxType(o.imageType) || TableFollowsRows(in, o.imageType);
  o.keepGoing = [toEnd](int response, const ParamBlock &b) {
    bool rows = response == ResponseRowsReady || (response == ResponseSeek && (b.SeekTarget & QV_SEEK_OUTPUT));
    return toEnd || !rows;
  };
  f->header = in.Decode(o);
  if (!f->header.ok() && !f->header.stopped) Fail(f->header, o.imageType, f->pages);
  ChooseMode(f.get());
  return f;
}

// The decode options for the rows: top row first (a bitmap stored top row
// first already comes that way), the final image of an interlaced GIF only.
qvhost::Options RowOptions(const Facts &f, const OpenSource &in) {
  qvhost::Options o = f.options;
  o.interlaceMode = QV_INTERLACE_FINAL_ONLY;
  o.extra = false;
  if (!StoredTopFirst(in, o.imageType)) o.flags |= QV_FLAG_TOP_DOWN;
  o.outQueue = std::max<size_t>(o.outQueue, size_t{f.stride} * 2 + 64);  // rows of any width fit
  return o;
}

// The decoded bitmap must be the one the header promised.
void CheckSame(const Facts &f, const qvhost::Result &r) {
  const BitmapInfoHeader &a = f.header.header, &b = r.header;
  uint32_t h = b.biHeight < 0 ? 0u - static_cast<uint32_t>(b.biHeight) : static_cast<uint32_t>(b.biHeight);
  if (a.biWidth != b.biWidth || f.height != h || a.biBitCount != b.biBitCount)
    throw DecodeFailure{QV_ERR_BAD_HEADER, "the image decoded differs from its header (" + std::to_string(b.biWidth) +
                                           " x " + std::to_string(h) + ", " + std::to_string(b.biBitCount) + " bits)"};
}

// Owns the memory behind an array.
py::array WrapArray(std::vector<uint8_t> *bytes, size_t rows, const Facts &f) {
  py::capsule owner(bytes, [](void *p) { delete static_cast<std::vector<uint8_t> *>(p); });
  std::vector<ssize_t> shape = {static_cast<ssize_t>(rows), static_cast<ssize_t>(f.width)};
  if (f.channels > 1) shape.push_back(f.channels);
  return py::array_t<uint8_t>(shape, bytes->data(), owner);
}

// ------------------------------------------------------------------ read

// The whole image into one array. The decoder writes the rows straight into
// the array's memory (the host's in-memory output: the buffer is the output
// queue); each row is then turned into packed samples in place.
py::array Read(const Source &src, const std::shared_ptr<Facts> &fp) {
  const Facts &f = *fp;
  size_t rowBytes = size_t{f.width} * f.channels;
  uint64_t dib = uint64_t{f.stride} * f.height, packed = uint64_t{rowBytes} * f.height;
  auto *buffer = new std::vector<uint8_t>();
  std::unique_ptr<std::vector<uint8_t>> own(buffer);
  qvhost::Result r;
  {
    py::gil_scoped_release unlocked;
    OpenSource in(src);
    qvhost::Options o = RowOptions(f, in);
    buffer->reserve(static_cast<size_t>(std::max<uint64_t>({dib + 1, packed, o.outQueue})));
    o.recycleOutput = buffer;
    o.directOutput = true;
    o.outputLimit = static_cast<size_t>(std::max<uint64_t>(dib, o.outputLimit));
    r = in.Decode(o);
    if (!r.ok()) Fail(r, o.imageType, f.pages);
    CheckSame(f, r);
    fp->damagedRows = r.damagedRows;
    std::vector<uint8_t> &out = r.output;  // the buffer, unless the decode outgrew it
    if (out.size() < dib) throw DecodeFailure{QV_ERR_BAD_HEADER, "the decoder delivered less than the bitmap"};
    size_t start = out.size() - static_cast<size_t>(dib);
    if (start) memmove(out.data(), out.data() + start, static_cast<size_t>(dib));
    out.resize(static_cast<size_t>(std::max(dib, packed)));
    bool topFirst = qvhost::RowsTopFirst(r.header, o.flags);
    std::vector<uint8_t> row(f.stride);
    uint8_t *base = out.data();
    // Rows shrink in place from the top, grow in place from the bottom; a
    // bitmap delivered bottom row first is turned over on the way.
    auto convert = [&](uint32_t y) {
      uint32_t from = topFirst ? y : f.height - 1 - y;
      memcpy(row.data(), base + size_t{from} * f.stride, f.stride);
      ConvertRow(f, row.data(), base + size_t{y} * rowBytes);
    };
    if (!topFirst) {
      std::vector<uint8_t> copy(out.begin(), out.begin() + static_cast<ptrdiff_t>(dib));
      base = copy.data();
      std::vector<uint8_t> packedRows(static_cast<size_t>(packed));
      for (uint32_t y = 0; y < f.height; ++y) {
        memcpy(row.data(), copy.data() + size_t{f.height - 1 - y} * f.stride, f.stride);
        ConvertRow(f, row.data(), packedRows.data() + size_t{y} * rowBytes);
      }
      out.swap(packedRows);
    } else if (rowBytes <= f.stride) {
      for (uint32_t y = 0; y < f.height; ++y) convert(y);
    } else {
      for (uint32_t y = f.height; y-- > 0;) convert(y);
    }
    buffer->swap(out);
  }
  own.release();
  return WrapArray(buffer, f.height, f);
}

// ------------------------------------------------------------------ rows

// Bands of rows in bounded memory: the decode runs on a thread of its own
// and hands over a band whenever one is complete, waiting while two are
// still untaken. Rows that arrive ahead of their turn (an interlaced GIF)
// wait in memory until the rows before them have come.
class Bands {
 public:
  Bands(Source src, std::shared_ptr<Facts> facts, uint32_t band)
      : src_(std::move(src)), f_(std::move(facts)), band_(band) {
    rowBytes_ = size_t{f_->width} * f_->channels;
    row_.resize(f_->stride);
    worker_ = std::thread([this] { Run(); });
  }
  ~Bands() { Stop(); }

  // The next band, or None at the end; raises the decode's failure.
  py::object Next() {
    std::unique_ptr<std::vector<uint8_t>> band;
    size_t rows = 0;
    {
      py::gil_scoped_release unlocked;
      std::unique_lock<std::mutex> lock(m_);
      cv_.wait(lock, [this] { return !ready_.empty() || done_; });
      if (!ready_.empty()) {
        band = std::move(ready_.front());
        ready_.pop_front();
        cv_.notify_all();
      }
    }
    if (!band) {
      Stop();
      if (fileError_) throw FileFailure{fileError_, src_.path};
      if (failed_) throw failure_;
      return py::none();
    }
    rows = band->size() / rowBytes_;
    return WrapArray(band.release(), rows, *f_);
  }

  // Ends the decode early (the iterator was dropped or closed).
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_);
      cancelled_ = true;
      cv_.notify_all();
    }
    if (worker_.joinable()) {
      py::gil_scoped_release unlocked;
      worker_.join();
    }
  }

 private:
  void Run() {
    try {
      OpenSource in(src_);
      qvhost::Options o = RowOptions(*f_, in);
      o.onOutput = [this](const ParamBlock &, uint64_t pos, const uint8_t *p, size_t n) { return Put(pos, p, n); };
      qvhost::Result r = in.Decode(o);
      std::lock_guard<std::mutex> lock(m_);
      if (!r.ok() && !cancelled_) {
        failed_ = true;
        failure_ = DecodeFailure{r.status, StatusMessage(r.status, o.imageType)};
      } else if (r.ok() && !cancelled_) {
        if (!qvhost::RowsTopFirst(r.header, o.flags) || rowsOut_ != f_->height) {
          failed_ = true;
          failure_ = DecodeFailure{QV_ERR_BAD_HEADER, "the decoder delivered " + std::to_string(rowsOut_) + " of " +
                                                      std::to_string(f_->height) + " rows in order"};
        } else {
          f_->damagedRows = r.damagedRows;
        }
        if (!failed_ && band_buffer_ && !band_buffer_->empty()) {
          ready_.push_back(std::move(band_buffer_));
        }
      }
    } catch (const FileFailure &e) {
      std::lock_guard<std::mutex> lock(m_);
      fileError_ = e.error;
    }
    std::lock_guard<std::mutex> lock(m_);
    done_ = true;
    cv_.notify_all();
  }

  // Output bytes at a position: rows in order go on, others wait their turn.
  bool Put(uint64_t pos, const uint8_t *p, size_t n) {
    if (pos > next_) {
      waiting_[pos].assign(p, p + n);
      return true;
    }
    if (pos < next_) {
      uint64_t skip = std::min<uint64_t>(n, next_ - pos);
      p += skip, n -= static_cast<size_t>(skip);
    }
    if (!Take(p, n)) return false;
    while (!waiting_.empty() && waiting_.begin()->first <= next_) {
      auto it = waiting_.begin();
      std::vector<uint8_t> bytes = std::move(it->second);
      uint64_t at = it->first;
      waiting_.erase(it);
      uint64_t skip = std::min<uint64_t>(bytes.size(), next_ - at);
      if (!Take(bytes.data() + skip, bytes.size() - static_cast<size_t>(skip))) return false;
    }
    return true;
  }

  bool Take(const uint8_t *p, size_t n) {
    next_ += n;
    while (n) {
      size_t take = std::min(n, row_.size() - fill_);
      memcpy(row_.data() + fill_, p, take);
      fill_ += take, p += take, n -= take;
      if (fill_ < row_.size()) break;
      fill_ = 0;
      if (rowsOut_ >= f_->height) continue;
      if (!band_buffer_) band_buffer_ = std::make_unique<std::vector<uint8_t>>();
      size_t at = band_buffer_->size();
      band_buffer_->resize(at + rowBytes_);
      ConvertRow(*f_, row_.data(), band_buffer_->data() + at);
      ++rowsOut_;
      if (band_buffer_->size() == rowBytes_ * band_ && !Hand()) return false;
    }
    return true;
  }

  // A full band to the reader; false when it is gone.
  bool Hand() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return ready_.size() < 2 || cancelled_; });
    if (cancelled_) return false;
    ready_.push_back(std::move(band_buffer_));
    cv_.notify_all();
    return true;
  }

  Source src_;
  std::shared_ptr<Facts> f_;
  uint32_t band_;
  size_t rowBytes_ = 0;
  // Decode thread only.
  std::vector<uint8_t> row_;
  size_t fill_ = 0;
  uint64_t next_ = 0;
  uint32_t rowsOut_ = 0;
  std::map<uint64_t, std::vector<uint8_t>> waiting_;
  std::unique_ptr<std::vector<uint8_t>> band_buffer_;
  // Shared, under m_.
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<std::vector<uint8_t>>> ready_;
  bool done_ = false, cancelled_ = false, failed_ = false;
  int fileError_ = 0;
  DecodeFailure failure_{0, ""};
  std::thread worker_;
};

// ------------------------------------------------------------------ convert

// "scan.png" as the name of page n: "scan-n.png" (as quorvin decode --page all).
std::string PagePath(const std::string &path, int n) {
  size_t slash = path.rfind('/'), dot = path.rfind('.');
  bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  std::string suffix = "-" + std::to_string(n);
  return hasExt ? path.substr(0, dot) + suffix + path.substr(dot) : path + suffix;
}

// One image to a BMP or PNG file exactly as the quorvin tool writes it,
// through a temporary file beside the target renamed over it when complete.
// Returns "" or what went wrong.
std::string ConvertImage(const OpenSource &in, qvhost::Options o, const std::string &target, const std::string &format) {
  std::string dir = ".", base = target;
  size_t slash = target.rfind('/');
  if (slash != std::string::npos) dir = slash ? target.substr(0, slash) : "/", base = target.substr(slash + 1);
  std::string temp = dir + "/." + base + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back(0);
  int fd = mkstemp(name.data());
  if (fd < 0) return target + ": " + strerror(errno) + " (cannot create a file in " + dir + ")";
  temp = name.data();
  uint32_t type = o.imageType;
  bool tiff = qvhost::IsTiffType(type) && !qvtool::IsRawFaxType(type);
  o.interlaceMode = QV_INTERLACE_FINAL_ONLY;
  // As the tool: a TIFF page's descriptive tags carry its resolution.
  o.extra = tiff;
  o.extraLimit = size_t{1} << 20;
  o.outputLimit = UINT32_MAX;
  qvtool::OutputContext context;
  uint8_t order = 0;
  context.tiffBigEndian = tiff && in.ReadAt(0, &order, 1) == 1 && order == 'M';
  std::unique_ptr<qvtool::ImageOutput> image =
      format == "bmp" ? qvtool::MakeBmpOutput(fd, context)
                      : qvtool::MakePngOutput(fd, TableFollowsRows(in, type), StoredTopFirst(in, type), context);
  std::string error;
  if (!image) {
    error = target + ": this build has no PNG support; use format=\"bmp\"";
  } else {
    image->Configure(&o);
    o.onOutput = [&image](const ParamBlock &b, uint64_t pos, const uint8_t *p, size_t n) {
      return image->Put(b, pos, p, n);
    };
    qvhost::Result r = in.Decode(o);
    if (!image->error().empty())
      error = target + ": " + image->error();
    else if (!r.ok())
      error = StatusMessage(r.status, type);
    else if (!image->Finish(r))
      error = target + ": " + image->error();
  }
  if (error.empty()) {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    if (close(fd) != 0 || rename(temp.c_str(), target.c_str()) != 0) error = target + ": " + strerror(errno);
    fd = -1;
  }
  if (fd >= 0) close(fd);
  if (!error.empty()) unlink(temp.c_str());
  return error;
}

// A source to one output per image (every page when allPages): a list of
// (output path, "" or what went wrong); a failure before any page was
// reached has no output path.
std::vector<std::pair<std::string, std::string>> Convert(const Source &src, const Settings &s,
                                                         const std::string &target, const std::string &format,
                                                         bool allPages) {
  std::vector<std::pair<std::string, std::string>> out;
  try {
    OpenSource in(src);
    std::string note;
    qvhost::Options o = Settle(in, s, &note);
    bool tiff = qvhost::IsTiffType(o.imageType) && !qvtool::IsRawFaxType(o.imageType);
    if (!allPages || !tiff) {
      out.emplace_back(target, ConvertImage(in, o, target, format));
      if (!out.back().second.empty() && o.pageNumber > 1) {
        int pages = in.Pages();
        if (pages >= 0 && out.back().second.find("-1703") != std::string::npos)
          out.back().second += "; the file has " + std::to_string(pages) + (pages == 1 ? " page" : " pages");
      }
      return out;
    }
    int pages = std::max(in.Pages(), 1);
    for (int page = 1; page <= pages; ++page) {
      o.pageNumber = static_cast<uint32_t>(page);
      std::string path = PagePath(target, page);
      std::string error = ConvertImage(in, o, path, format);
      out.emplace_back(path, error.empty() ? error : "page " + std::to_string(page) + ": " + error);
    }
  } catch (const FileFailure &e) {
    out.emplace_back("", e.path + ": " + strerror(e.error));
  } catch (const DecodeFailure &e) {
    out.emplace_back("", e.message);
  }
  return out;
}

// ------------------------------------------------------------------ Python

Source MakeSource(py::object source, const std::string &name) {
  Source s;
  s.name = name;
  if (py::isinstance<py::str>(source)) {
    s.path = source.cast<std::string>();
  } else {
    s.data = std::make_shared<const std::string>(source.cast<std::string>());  // bytes
  }
  return s;
}

Settings MakeSettings(uint32_t page, py::object type, py::object fillOrder, py::object photometric, bool strict,
                      uint64_t maxMemory) {
  Settings s;
  if (page < 1) throw py::value_error("page: pages are counted from 1");
  s.page = page;
  if (!type.is_none()) {
    std::string t = type.cast<std::string>();
    if (!qvhost::ParseTypeName(t, &s.type))
      throw py::value_error("type: '" + t + "' is not a four-character image type or 0");
    s.typeGiven = true;
  }
  if (!fillOrder.is_none()) {
    std::string v = py::str(fillOrder);
    if (v == "msb" || v == "1") s.faxFillOrder = 1;
    else if (v == "lsb" || v == "2") s.faxFillOrder = 2;
    else throw py::value_error("fax_fill_order: '" + v + "' is not msb or lsb");
  }
  if (!photometric.is_none()) {
    std::string v = py::str(photometric);
    if (v == "white" || v == "0") s.faxPhotometric = 0;
    else if (v == "black" || v == "1") s.faxPhotometric = 1;
    else throw py::value_error("fax_photometric: '" + v + "' is not white or black");
  }
  s.strict = strict;
  if (maxMemory > UINT32_MAX) throw py::value_error("max_memory: at most 4294967295 bytes");
  s.maxMemory = static_cast<uint32_t>(maxMemory);
  return s;
}

// The header-only facts of one image, with what reads its rows.
class Probed {
 public:
  Probed(Source s, std::shared_ptr<Facts> f) : src_(std::move(s)), f_(std::move(f)) {}

  uint32_t width() const { return f_->width; }
  uint32_t height() const { return f_->height; }
  const std::string &mode() const { return f_->mode; }
  int pages() const { return f_->pages; }
  uint32_t page() const { return f_->options.pageNumber; }

  py::object palette() const {
    if (f_->mode != "P") return py::none();
    uint32_t n = 1u << f_->header.header.biBitCount;
    py::array_t<uint8_t> a({static_cast<ssize_t>(n), ssize_t{3}});
    auto v = a.mutable_unchecked<2>();
    for (uint32_t i = 0; i < n; ++i) {
      v(i, 0) = f_->header.palette[i].red;
      v(i, 1) = f_->header.palette[i].green;
      v(i, 2) = f_->header.palette[i].blue;
    }
    return a;
  }

  py::object transparency() const {
    if (!(f_->header.flags & QV_FLAG_TRANSPARENT)) return py::none();
    return py::int_(f_->header.transparentIndex);
  }

  // What the file says beyond the pixels, as plain values.
  py::dict facts() const {
    const BitmapInfoHeader &h = f_->header.header;
    py::dict d;
    d["type"] = qvhost::TypeName(f_->options.imageType);
    d["bits"] = h.biBitCount;
    d["file_compression"] = f_->header.fileCompression;
    d["x_pels_per_meter"] = h.biXPelsPerMeter;
    d["y_pels_per_meter"] = h.biYPelsPerMeter;
    d["grey"] = (f_->header.flags & QV_FLAG_GREY) != 0;
    // The orientation the file states (TIFF numbering, 1 to 8; the array is
    // as stored, not turned), and rows a damaged file could not give.
    d["orientation"] = f_->header.orientation ? f_->header.orientation : 1;
    d["damaged_rows"] = std::max(f_->header.damagedRows, f_->damagedRows.load());
    d["big_endian"] = f_->bigEndian;
    py::list extras;
    for (const qvhost::ExtraRecord &e : f_->header.extras)
      extras.append(py::make_tuple(e.kind, py::bytes(reinterpret_cast<const char *>(e.data.data()), e.data.size())));
    d["extras"] = extras;
    if (!f_->guess.empty()) d["guess"] = f_->guess;
    return d;
  }

  py::array read() const { return Read(src_, f_); }
  std::unique_ptr<Bands> rows(uint32_t band) const {
    if (band < 1) throw py::value_error("band: at least one row");
    return std::make_unique<Bands>(src_, f_, band);
  }

 private:
  Source src_;
  std::shared_ptr<Facts> f_;
};

}  // namespace

PYBIND11_MODULE(_quorvin, m) {
  m.doc() = "The native half of the quorvin package (use the quorvin module).";
  static py::exception<DecodeFailure> decodeError(m, "DecodeError", PyExc_ValueError);
  g_decodeError = decodeError;
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const DecodeFailure &e) {
      // Every message names its status; one found here rather than by the
      // decoder says what it is first.
      std::string message = e.message;
      if (message.compare(0, 7, "status ") != 0)
        message += " (status " + std::to_string(e.status) + ", " + QvStatusText(e.status) + ")";
      py::object error = py::reinterpret_borrow<py::object>(g_decodeError)(message);
      error.attr("status") = e.status;
      error.attr("text") = QvStatusText(e.status);
      PyErr_SetObject(g_decodeError.ptr(), error.ptr());
    } catch (const FileFailure &e) {
      errno = e.error;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, e.path.c_str());
    }
  });

  py::class_<Bands>(m, "_Bands").def("next", &Bands::Next).def("close", &Bands::Stop);

  py::class_<Probed>(m, "_Probed")
      .def_property_readonly("width", &Probed::width)
      .def_property_readonly("height", &Probed::height)
      .def_property_readonly("mode", &Probed::mode)
      .def_property_readonly("page_count", &Probed::pages)
      .def_property_readonly("page", &Probed::page)
      .def_property_readonly("palette", &Probed::palette)
      .def_property_readonly("transparency", &Probed::transparency)
      .def("facts", &Probed::facts)
      .def("read", &Probed::read)
      .def("rows", &Probed::rows);

  m.def(
      "probe",
      [](py::object source, const std::string &name, uint32_t page, py::object type, py::object fillOrder,
         py::object photometric, bool strict, uint64_t maxMemory) {
        Source s = MakeSource(source, name);
        Settings settings = MakeSettings(page, type, fillOrder, photometric, strict, maxMemory);
        std::shared_ptr<Facts> f;
        {
          py::gil_scoped_release unlocked;
          f = Probe(s, settings);
        }
        return Probed(std::move(s), std::move(f));
      },
      py::arg("source"), py::arg("name"), py::arg("page"), py::arg("type"), py::arg("fax_fill_order"),
      py::arg("fax_photometric"), py::arg("strict"), py::arg("max_memory"));

  m.def(
      "page_count",
      [](py::object source, const std::string &name) {
        Source s = MakeSource(source, name);
        py::gil_scoped_release unlocked;
        OpenSource in(s);
        return in.Pages();
      },
      py::arg("source"), py::arg("name"));

  m.def(
      "convert",
      [](py::object source, const std::string &name, const std::string &target, const std::string &format,
         bool allPages, uint32_t page, py::object type, py::object fillOrder, py::object photometric, bool strict,
         uint64_t maxMemory) {
        if (format != "png" && format != "bmp") throw py::value_error("format: '" + format + "' is not png or bmp");
        Source s = MakeSource(source, name);
        Settings settings = MakeSettings(page, type, fillOrder, photometric, strict, maxMemory);
        py::gil_scoped_release unlocked;
        return Convert(s, settings, target, format, allPages);
      },
      py::arg("source"), py::arg("name"), py::arg("target"), py::arg("format"), py::arg("all_pages"),
      py::arg("page"), py::arg("type"), py::arg("fax_fill_order"), py::arg("fax_photometric"), py::arg("strict"),
      py::arg("max_memory"));

  m.def("status_text", [](int32_t status) { return std::string(QvStatusText(status)); });
}
