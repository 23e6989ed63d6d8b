#include "quorvin_host.h"

#include "image_view.h"

#if QV_INTERNAL_API
#include "engine/engine.h"  // the stack measurement; absent when built on the shipped library
#endif

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#if defined(_WIN32)
#include <io.h>
// No pread/pwrite on Windows: seek, then read or write (a session owns its files).
namespace {
ssize_t pread(int fd, void *dst, size_t n, int64_t pos) {
  if (_lseeki64(fd, pos, SEEK_SET) != pos) return -1;
  return _read(fd, dst, static_cast<unsigned>(n));
}
ssize_t pwrite(int fd, const void *src, size_t n, int64_t pos) {
  if (_lseeki64(fd, pos, SEEK_SET) != pos) return -1;
  return _write(fd, src, static_cast<unsigned>(n));
}
}  // namespace
#define QV_READ_FLAGS (O_RDONLY | O_BINARY)
#else
#define QV_READ_FLAGS O_RDONLY
#endif

namespace qvhost {
namespace {

// A queue position as the decoder reads it: one outside the storage stands for its start.
uint8_t *Position(const DataQueue &q, uint8_t *p) { return p < q.start || p >= q.end ? q.start : p; }

// Small deterministic generator for chunk sizes.
struct Rng {
  uint64_t s;
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  // 1..max, biased towards small pieces now and then.
  size_t Piece(size_t max) {
    if (max <= 1) return max;
    uint64_t r = Next();
    if ((r & 3) == 0) return 1 + (r >> 8) % std::min<size_t>(max, 7);
    return 1 + (r >> 8) % max;
  }
};

struct Input {
  const uint8_t *data = nullptr;  // memory source
  int fd = -1;                    // or a file
  uint64_t size = 0;
  size_t Read(uint64_t pos, uint8_t *dst, size_t n) const {
    if (pos >= size) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size - pos));
    if (data) {
      memcpy(dst, data + pos, n);
      return n;
    }
    ssize_t got = pread(fd, dst, n, static_cast<off_t>(pos));
    return got > 0 ? static_cast<size_t>(got) : 0;
  }
};

class Session {
 public:
  Session(const Input &input, const Options &o, const TestHooks &hooks = TestHooks())
      : in_(input), o_(o), hooks_(hooks), rng_{o.test.chunkSeed | 1} {}

  Result Run();

 private:
  void FillInput();
  void Drain(bool all);
  void LeaveDirectOutput();
  bool DirectSeek(uint64_t target);
  size_t Offset(const DataQueue &q, uint8_t *p) const { return static_cast<size_t>(Position(q, p) - q.start); }
  void PutOutput(const uint8_t *p, size_t n);
  // Output that cannot be taken: the queue is aborted, and the job ends at
  // the next response whatever it says.
  void RefuseOutput() {
    pb_.OutputQueue.flags |= QV_QUEUE_ABORT;
    outputRefused_ = true;
  }
  void GrowExtra();
  void Log(int response);
  void CollectExtras();
  bool OutputInMemory() const { return !o_.onOutput && o_.outputFd < 0; }
  uint64_t InputPosition(uint32_t target) const;

  const Input &in_;
  const Options &o_;
  TestHooks hooks_;
  Rng rng_;
  ParamBlock pb_{};
  std::unique_ptr<uint8_t[]> inStore_, outStore_;
  // Direct output: the result buffer is the output queue's storage and the
  // byte at offset k is output position k. The host leaves the queue's bytes
  // where they are; the front moves only at an output seek that keeps this.
  bool direct_ = false;
  bool outputRefused_ = false;
  std::vector<uint8_t> directStore_;  // that storage once the job outgrew it
  bool borrowed_ = false;  // the input queue's storage is the caller's data
  size_t inSize_ = 0, outSize_ = 0;
  std::vector<uint8_t> extra_;
  uint64_t inPos_ = 0;   // file position of the next byte to put into the input queue
  uint64_t outPos_ = 0;  // output position of the next byte taken from the output queue
  Result r_;
};

// The input position SeekTarget names: from the start, or (bit 31) before the end.
uint64_t Session::InputPosition(uint32_t target) const {
  uint32_t n = target & 0x7FFFFFFFu;
  if (!(target & QV_SEEK_FROM_END)) return n;
  return n <= in_.size ? in_.size - n : 0;
}

void Session::Log(int response) {
  if (response >= 0 && response < 16) r_.counts[response]++;
  if (r_.events.size() < o_.test.eventLimit)
    r_.events.push_back({response, pb_.SeekTarget, QueueUsedBytes(pb_.OutputQueue)});
  if (o_.onResponse) o_.onResponse(response);
}

void Session::FillInput() {
  DataQueue &q = pb_.InputQueue;
  if (borrowed_) {
    // The whole file is queued already. A queue the job or a seek emptied
    // holds it again from the position asked for.
    if (q.front == q.rear) q.front = q.start + static_cast<size_t>(std::min<uint64_t>(inPos_, in_.size));
    q.rear = q.start + static_cast<size_t>(in_.size);
    q.flags |= QV_QUEUE_END_OF_DATA;
    return;
  }
  size_t room = QueueFreeBytes(q);
  if (inPos_ >= in_.size) {
    q.flags |= QV_QUEUE_END_OF_DATA;
    return;
  }
  size_t want = static_cast<size_t>(std::min<uint64_t>(room, in_.size - inPos_));
  if (o_.test.chunkSeed) want = rng_.Piece(want);
  while (want) {
    uint8_t *rear = Position(q, q.rear);
    size_t run = std::min<size_t>(want, static_cast<size_t>(q.end - rear));
    size_t got = in_.Read(inPos_, rear, run);
    if (got == 0) {
      q.flags |= QV_QUEUE_END_OF_DATA;
      break;
    }
    inPos_ += got;
    want -= got;
    rear += got;
    q.rear = rear == q.end ? q.start : rear;
  }
  if (inPos_ >= in_.size) q.flags |= QV_QUEUE_END_OF_DATA;
}

void Session::PutOutput(const uint8_t *p, size_t n) {
  if (outPos_ + n > o_.outputLimit) return RefuseOutput();
  if (o_.onOutput) {
    if (!o_.onOutput(pb_, outPos_, p, n)) RefuseOutput();
  } else if (o_.outputFd >= 0) {
    if (pwrite(o_.outputFd, p, n, static_cast<off_t>(outPos_)) != static_cast<ssize_t>(n)) RefuseOutput();
  } else {
    size_t need = static_cast<size_t>(outPos_ + n);
    if (r_.output.size() < need) {
      // Grow once to the whole bitmap the header announces (header, the
      // largest colour table, rows, and the byte a queue keeps free, so the
      // buffer can be recycled as a later decode's output queue), and
      // geometrically past that.
      size_t hint = static_cast<size_t>(pb_.BitmapHeader.biSizeImage) + 40 + 4 * QV_PALETTE_ENTRIES + 1;
      if (hint > (size_t{64} << 20)) hint = 0;  // a header is no promise of data
      size_t grow = std::max(need, std::max(hint, r_.output.size() * 2));
      r_.output.resize(std::min(grow, std::max(need, o_.outputLimit)));
    }
    memcpy(r_.output.data() + outPos_, p, n);
  }
  outPos_ += n;
  r_.outputLength = std::max<size_t>(r_.outputLength, outPos_);
}

// From direct output to draining: the storage stays where it is (the job
// holds positions into it), the bytes it holds go to a result buffer of their
// own with the next drain, from output position 0, as a host that had not
// drained yet would hand them over.
void Session::LeaveDirectOutput() {
  if (!direct_) return;
  direct_ = false;
  size_t front = Offset(pb_.OutputQueue, pb_.OutputQueue.front);
  directStore_.swap(r_.output);
  r_.output.assign(directStore_.begin(), directStore_.begin() + front);
  outPos_ = front;
  r_.outputLength = front;
}

// An output seek to the queue's rear keeps the output direct when the rows the
// header announces fit between there and the storage's end: the host takes
// the queued bytes (they are in place already) and the job goes on behind
// them without wrapping over the bytes before.
bool Session::DirectSeek(uint64_t target) {
  DataQueue &q = pb_.OutputQueue;
  size_t rear = Offset(q, q.rear);
  if (Position(q, q.rear) < Position(q, q.front) || target != rear) return false;
  uint64_t bitmap = std::max<uint64_t>(pb_.BitmapHeader.biSizeImage, RowBytes(pb_.BitmapHeader));
  if (target + bitmap >= static_cast<uint64_t>(q.end - q.start)) return false;
  q.front = q.rear;
  r_.outputLength = std::max<size_t>(r_.outputLength, rear);
  return true;
}

void Session::Drain(bool all) {
  DataQueue &q = pb_.OutputQueue;
  if (direct_) {
    r_.outputLength = std::max<size_t>(r_.outputLength, Offset(q, q.rear));
    return;
  }
  size_t used = QueueUsedBytes(q);
  if (used == 0) return;
  size_t n = (all || !o_.test.chunkSeed) ? used : rng_.Piece(used);
  uint8_t *front = Position(q, q.front);
  while (n) {
    size_t run = std::min<size_t>(n, static_cast<size_t>(q.end - front));
    PutOutput(front, run);
    n -= run;
    front += run;
    if (front == q.end) front = q.start;
  }
  q.front = front;
}

void Session::GrowExtra() {
  size_t want = static_cast<size_t>(pb_.ExtraUsed) + pb_.ExtraShortfall +
                (static_cast<size_t>(pb_.ExtraCapacity) - std::min(pb_.ExtraCapacity, pb_.ExtraUsed));
  want = std::max<size_t>(want, static_cast<size_t>(pb_.ExtraCapacity) + pb_.ExtraShortfall);
  if (want > o_.extraLimit) return;  // leave it: the reader skips the data
  extra_.resize(want);
  pb_.ExtraBuffer = extra_.data();
  pb_.ExtraCapacity = static_cast<uint32_t>(want);
}

void Session::CollectExtras() {
  size_t at = 0, used = std::min<size_t>(pb_.ExtraUsed, extra_.size());
  while (at + 8 <= used) {
    ExtraRecord rec;
    uint32_t len;
    memcpy(&rec.kind, extra_.data() + at, 4);
    memcpy(&len, extra_.data() + at + 4, 4);
    if (len > used - at - 8) break;
    rec.data.assign(extra_.data() + at + 8, extra_.data() + at + 8 + len);
    r_.extras.push_back(std::move(rec));
    at += 8 + len;
  }
}

Result Session::Run() {
  if (o_.recycleOutput) r_.output.swap(*o_.recycleOutput);
  pb_.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb_.BlockVersion = QV_MAX_BLOCK_VERSION;
  pb_.OperationCode = QV_OPERATION_CODE;
  int resp = Corvane(&pb_, RequestInit);
  if (resp != ResponseDone) {
    r_.response = resp;
    r_.status = pb_.Status;
    return std::move(r_);
  }
  if (hooks_.afterInit) hooks_.afterInit(&pb_);
#if QV_INTERNAL_API
  if (o_.test.measureStack) MeasureJobStackForTest(&pb_);
#endif
  pb_.ImageType = o_.imageType;
  pb_.Flags = o_.extended ? (o_.flags | QV_FLAG_EXTENDED) : o_.flags;
  pb_.RowsPerBatch = o_.rowsPerBatch;
  pb_.InterlaceMode = o_.interlaceMode;
  pb_.PageNumber = o_.pageNumber;
  pb_.FaxFillOrder = o_.faxFillOrder;
  pb_.FaxPhotometric = o_.faxPhotometric;
  pb_.MemoryLimit = o_.memoryLimit;
  if (o_.extra) {
    extra_.resize(std::max<size_t>(o_.extraInitial, 1));
    pb_.ExtraBuffer = extra_.data();
    pb_.ExtraCapacity = static_cast<uint32_t>(extra_.size());
  }
  size_t inSize = std::max<size_t>(o_.inQueue, 5);
  if (o_.wholeInput) {
    inSize = static_cast<size_t>(in_.size) + 1;
    if (inSize < 5) inSize = 5;
    pb_.WholeInput = 1;
  }
  borrowed_ = o_.wholeInput && o_.borrowInput && in_.data && in_.size + 1 >= 5;
  DataQueue &iq = pb_.InputQueue;
  if (borrowed_) {
    // The decoder only moves the front of the input queue, never writes it.
    uint8_t *data = const_cast<uint8_t *>(in_.data);
    iq.start = iq.front = data;
    iq.rear = data + in_.size;
    iq.end = data + in_.size + 1;
    iq.flags |= QV_QUEUE_END_OF_DATA;
    inPos_ = in_.size;
  } else {
    // Storage is left uninitialised unless the job merges rows into it.
    inStore_.reset(new uint8_t[inSize]);
    inSize_ = inSize;
    iq.start = iq.front = iq.rear = inStore_.get();
    iq.end = inStore_.get() + inSize_;
  }
  DataQueue &oq = pb_.OutputQueue;
  direct_ = o_.directOutput && o_.recycleOutput && OutputInMemory() && !o_.test.chunkSeed && !(o_.flags & QV_FLAG_OVERLAY) &&
            r_.output.capacity() >= std::max<size_t>(o_.outQueue, 5);
  if (direct_) {
    r_.output.resize(std::min(r_.output.capacity(), o_.outputLimit + 1));
    oq.start = oq.front = oq.rear = r_.output.data();
    oq.end = r_.output.data() + r_.output.size();
  } else {
    outSize_ = std::max<size_t>(o_.outQueue, 5);
    outStore_.reset(new uint8_t[outSize_]);
    if (o_.flags & QV_FLAG_OVERLAY) memset(outStore_.get(), o_.outputFill, outSize_);
    oq.start = oq.front = oq.rear = outStore_.get();
    oq.end = outStore_.get() + outSize_;
  }
  if (o_.wholeInput && !borrowed_) {
    // Everything at once, whatever the chunking seed says.
    size_t got = in_.Read(0, iq.start, static_cast<size_t>(in_.size));
    inPos_ = got;
    iq.rear = iq.start + got;
    iq.flags |= QV_QUEUE_END_OF_DATA;
  }

  int32_t lastProgress = 0;
  resp = Corvane(&pb_, RequestRun);
  for (;;) {
    if (hooks_.afterResponse) hooks_.afterResponse(&pb_, resp);
    Log(resp);
    if (o_.onProgress) {
      // The reader's own figure where it keeps one, else the share of input
      // read; a queue that holds the whole file is read as far as its front.
      int32_t p = pb_.Progress;
      uint64_t read = o_.wholeInput ? Offset(iq, iq.front) : inPos_;
      if (p == 0 && in_.size) p = static_cast<int32_t>(std::min<uint64_t>(read, in_.size) * 100 / in_.size);
      if (p != lastProgress) o_.onProgress(lastProgress = p);
    }
    int next = RequestResume;
    switch (resp) {
      case ResponseDone:
        if (!(pb_.Flags & QV_FLAG_FINAL_IMAGE)) LeaveDirectOutput();
        Drain(true);
        // A job that keeps handing over intermediate images is not believed past 16.
        if (!(pb_.Flags & QV_FLAG_FINAL_IMAGE) && r_.passImages.size() < 16) {
          // An intermediate image: hand it over and ask for the next.
          PassImage img;
          img.header = pb_.BitmapHeader;
          img.flags = pb_.Flags;
          if (OutputInMemory()) img.output.assign(r_.output.begin(), r_.output.begin() + r_.outputLength);
          if (o_.onPassImage) o_.onPassImage(img);
          r_.passImages.push_back(std::move(img));
          // Progressive refinement (modes 3 and 5) keeps refining the same image.
          if (o_.interlaceMode != 3 && o_.interlaceMode != 5) {
            r_.output.clear();
            r_.outputLength = 0;
          }
          outPos_ = 0;
          next = RequestRun;
          break;
        }
        goto finished;
      case ResponseError:
        Drain(true);
        goto finished;
      case ResponseRowsReady:
        Drain(!o_.test.chunkSeed);
        // Output the host cannot take (past the limit, or refused by the
        // caller) ends the job here: a reader sees the queue's abort only
        // when it next waits for room, which a job handing its rows over in
        // batches may never do, decoding on to its last row for nothing.
        if (outputRefused_) goto finished;
        break;
      case ResponseNeedOutput:
        LeaveDirectOutput();
        // Every reader says where the queue's front belongs.
        if (pb_.SeekTarget & QV_SEEK_OUTPUT) outPos_ = pb_.SeekTarget & 0x3FFFFFFFu;
        Drain(false);
        break;
      case ResponseNeedInput:
        // Every reader says where the bytes it wants come from: bytes
        // already queued run up to SeekTarget; append from there.
        inPos_ = InputPosition(pb_.SeekTarget);
        iq.flags &= ~QV_QUEUE_END_OF_DATA;
        FillInput();
        break;
      case ResponseSeek:
        if (pb_.SeekTarget & QV_SEEK_OUTPUT) {
          if (direct_ && DirectSeek(pb_.SeekTarget & 0x3FFFFFFFu)) break;
          LeaveDirectOutput();
          Drain(true);
          outPos_ = pb_.SeekTarget & 0x3FFFFFFFu;
        } else {
          iq.front = iq.rear;  // discard what is still unread
          iq.flags &= ~QV_QUEUE_END_OF_DATA;
          inPos_ = InputPosition(pb_.SeekTarget);
          FillInput();
        }
        break;
      case ResponseNeedExtra:
        GrowExtra();
        break;
      default:
        pb_.InputQueue.flags |= QV_QUEUE_ABORT;
        pb_.OutputQueue.flags |= QV_QUEUE_ABORT;
        break;
    }
    if (o_.keepGoing && !o_.keepGoing(resp, pb_)) {
      r_.stopped = true;
      goto finished;
    }
    if (hooks_.beforeResume) hooks_.beforeResume(&pb_, resp);
    resp = Corvane(&pb_, next);
  }
finished:
  // Output lost to the limit or to the caller is never a whole image, even
  // when the job went on to its end (a job that failed keeps its own status).
  if (outputRefused_ && resp != ResponseError) {
    r_.response = ResponseError;
    r_.status = QV_ERR_OUTPUT_ABORTED;
  } else {
    r_.response = resp;
    r_.status = pb_.Status;
  }
  r_.header = pb_.BitmapHeader;
  memcpy(r_.palette, pb_.Palette, sizeof r_.palette);
  r_.flags = pb_.Flags;
  r_.transparentIndex = pb_.TransparentIndex;
  r_.fileCompression = pb_.FileCompression;
  r_.damagedRows = pb_.DamagedRows;
  r_.orientation = pb_.Orientation;
  r_.progress = pb_.Progress;
  CollectExtras();
  if (OutputInMemory()) r_.output.resize(r_.outputLength);
#if QV_INTERNAL_API
  if (resp == ResponseDone && o_.test.measureStack) r_.stackUsed = JobStackHighWater(&pb_);
#endif
  Corvane(&pb_, RequestTerminate);
  return std::move(r_);
}

}  // namespace

size_t QueueUsedBytes(const DataQueue &q) {
  uint8_t *f = Position(q, q.front), *r = Position(q, q.rear);
  return r >= f ? static_cast<size_t>(r - f) : static_cast<size_t>((q.end - f) + (r - q.start));
}

size_t QueueFreeBytes(const DataQueue &q) {
  return static_cast<size_t>(q.end - q.start) - 1 - QueueUsedBytes(q);
}

Result Decode(const uint8_t *data, size_t size, const Options &options) {
  Input in;
  in.data = data;
  in.size = size;
  Session s(in, options);
  return s.Run();
}

Result DecodeWithHooks(const uint8_t *data, size_t size, const Options &options,
                       const TestHooks &hooks) {
  Input in;
  in.data = data;
  in.size = size;
  Session s(in, options, hooks);
  return s.Run();
}

Result DecodeFd(int fd, const Options &options) {
  struct stat st;
  Input in;
  in.fd = fd;
  in.size = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  Session s(in, options);
  return s.Run();
}

Result DecodeFile(const std::string &path, const Options &options, std::string *error) {
  int fd = open(path.c_str(), QV_READ_FLAGS);
  if (fd < 0) {
    if (error) *error = "cannot open " + path + ": " + strerror(errno);
    Result r;
    r.response = -1;
    return r;
  }
  Result r = DecodeFd(fd, options);
  close(fd);
  return r;
}

const char *StatusText(int32_t status) { return QvStatusText(status); }

}  // namespace qvhost
