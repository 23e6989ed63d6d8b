// quorvin decode: each input to a BMP, PNG or DIB file, through the host
// library with the output handed over by position, so memory stays bounded.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "image_output.h"
#include "image_view.h"
#include "quorvin_tool.h"
#include "tool_options.h"

namespace qvtool {
namespace {

constexpr size_t kQueueMax = size_t{256} << 20;

// A Windows bitmap with a negative height keeps its top row first.
bool StoredTopFirst(const InputFile &in, uint32_t type) {
  uint8_t h[26];
  if (type != QV_TYPE_BMP && type != QV_TYPE_BMPR) return false;
  if (pread(in.fd(), h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return false;
  uint32_t infoSize = h[14] | h[15] << 8 | h[16] << 16 | static_cast<uint32_t>(h[17]) << 24;
  return infoSize >= 40 && (h[25] & 0x80);
}

}  // namespace

std::string PagePath(const std::string &path, int n) {
  size_t slash = path.rfind('/'), dot = path.rfind('.');
  bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  std::string suffix(1, '-');
  suffix += std::to_string(n);
  return hasExt ? path.substr(0, dot) + suffix + path.substr(dot) : path + suffix;
}

namespace {

// An output path as a file: an existing file by its resolved path (so links
// and other spellings meet), a new one by its resolved folder and its name.
std::string OutputKey(const std::string &path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved)) return resolved;
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (!realpath(dir.c_str(), resolved)) return path;
  return std::string(resolved) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// Inputs whose outputs would be one file (a.gif and a.bmp both give a.png),
// and an output that is another input, are refused before anything is
// written.
bool CheckOutputs(const Args &a, std::string *error) {
  if (a.inputs.size() < 2) return true;
  std::map<std::pair<dev_t, ino_t>, std::string> inputs;
  struct stat st;
  for (const std::string &input : a.inputs)
    if (input != "-" && stat(input.c_str(), &st) == 0) inputs.emplace(std::make_pair(st.st_dev, st.st_ino), input);
  std::map<std::string, std::string> writtenBy;
  for (const std::string &input : a.inputs) {
    OutputChoice c;
    ChooseOutput(a, input, &c);
    if (c.path == "-") continue;
    auto [at, added] = writtenBy.emplace(OutputKey(c.path), input);
    if (!added) {
      *error = at->second + " and " + input + " would both be written to " + c.path +
               "; nothing was written (decode them one at a time, naming each output with -o)";
      return false;
    }
    if (stat(c.path.c_str(), &st) == 0) {
      auto other = inputs.find(std::make_pair(st.st_dev, st.st_ino));
      if (other != inputs.end() && other->second != input) {
        *error = input + " would be written to " + c.path + ", which is also an input; nothing was written";
        return false;
      }
    }
  }
  return true;
}

std::string FormatName(const std::string &format) {
  return format == "png" ? "PNG" : format == "bmp" ? "BMP" : "the delivered bitmap (dib)";
}

}  // namespace

int DecodeImage(const Args &a, InputFile &in, const std::string &name, qvhost::Options o,
                const OutputChoice &choice, bool printName, std::string *failure) {
  // Without a progress bar, and failures to *failure, when the caller keeps them.
  auto Complain = [failure](const std::string &message) {
    if (failure) *failure = message;
    else qvtool::Complain(message);
  };
  std::string error;
  OutputFile out;
  if (!out.Open(choice.path, &in, &error)) return Complain(error), kExitFailed;
  uint32_t type = o.imageType;
  bool tiff = qvhost::IsTiffType(type) && !IsRawFaxType(type);
  // Pass images of an interlaced GIF are not wanted unless asked for.
  if (!a.interlaceGiven) o.interlaceMode = QV_INTERLACE_FINAL_ONLY;
  // A TIFF page's descriptive tags carry its resolution; the other extra
  // records are for info.
  o.extra = tiff;
  o.extraLimit = size_t{1} << 20;
  o.outputLimit = UINT32_MAX;     // a BMP file's own limit
  OutputContext context;
  context.tiffBigEndian = tiff && TiffBigEndian(in);
  // PNG needs the colour table before the first row, and every row once.
  bool collect = o.interlaceMode != QV_INTERLACE_FINAL_ONLY || TableFollowsRows(in, type);
  std::string detail = name + ": output queue " + std::to_string(o.outQueue) + " bytes";
  if (tiff) detail += ", page " + std::to_string(std::max<uint32_t>(o.pageNumber, 1));
  if (FormatOf(type) == "GIF") detail += ", interlace mode " + std::to_string(o.interlaceMode);
  Detail(a, detail);
  size_t asked = o.outQueue;
  std::unique_ptr<ImageOutput> image;
  qvhost::Result r;
  for (;;) {
    image = choice.format == "bmp"   ? MakeBmpOutput(out.fd(), context)
            : choice.format == "dib" ? MakeDibOutput(out.fd())
                                     : MakePngOutput(out.fd(), collect, StoredTopFirst(in, type), context);
    qvhost::Options run = o;
    image->Configure(&run);
    run.onOutput = [&image](const ParamBlock &b, uint64_t pos, const uint8_t *p, size_t n) {
      return image->Put(b, pos, p, n);
    };
    int shown = -1;
    if (a.verbosity >= 1 && isatty(2) && !failure) {
      run.onProgress = [&shown](int32_t p) {
        if (p / 2 != shown) {
          shown = p / 2;
          fprintf(stderr, "\r[%-50.*s] %3d%%", shown, "##################################################", p);
        }
      };
    }
    r = DecodeInput(a, in, run, o.outQueue == asked);
    if (shown >= 0) fprintf(stderr, "\n");
    // Rows placed from the end need a queue of one row and one byte; the
    // job fails before it writes a row, so it is run again with that.
    if (r.status != QV_ERR_FLIP_ROOM || o.outQueue >= kQueueMax || !image->error().empty() || in.cut()) break;
    uint64_t row = qvhost::Stride(r.header);
    uint64_t next = row + 1 > o.outQueue ? row + 1 : uint64_t{o.outQueue} * 2;
    o.outQueue = static_cast<size_t>(std::min<uint64_t>(next, kQueueMax));
    if (ftruncate(out.fd(), 0) != 0) return Complain(out.display() + ": " + Reason(errno)), kExitFailed;
  }
  // Whatever the decoder made of the zeros that stand for what was cut off.
  if (in.cut()) return Complain(name + ": " + kCutShort), kExitFailed;
  if (o.outQueue != asked)
    Detail(a, name + ": output queue raised from " + std::to_string(asked) + " to " + std::to_string(o.outQueue) +
                  " bytes: the decoder places this image's rows from the end and needs one row (" +
                  std::to_string(qvhost::Stride(r.header)) + " bytes) plus one");
  if (!image->error().empty()) {
    Complain(out.display() + ": " + image->error());
    return kExitFailed;
  }
  if (!r.ok()) {
    std::string why = tiff ? TiffRefusal(in, std::max<uint32_t>(o.pageNumber, 1), r.status) : "";
    if (r.status == QV_ERR_NO_PAGE) {
      int n = CountPages(in);
      if (n >= 0) why = "the file has " + std::to_string(n) + (n == 1 ? " page" : " pages");
    }
    Complain(name + ": " + StatusMessage(r.status) + (why.empty() ? "" : ": " + why));
    return kExitFailed;
  }
  if (!image->Finish(r)) {
    Complain(out.display() + ": " + image->error());
    return kExitFailed;
  }
  if (!out.Commit(&error)) return Complain(error), kExitFailed;
  bool partial = (r.flags & QV_FLAG_PARTIAL) != 0;
  if (partial)
    Complain(name + ": the file is damaged or ends early: " + std::to_string(r.damagedRows) +
             (r.damagedRows == 1 ? " row was" : " rows were") + " filled in (written to " + out.display() + ")");
  const BitmapInfoHeader &h = r.header;
  Detail(a, name + ": " + std::to_string(h.biWidth) + " x " + std::to_string(h.biHeight < 0 ? -int64_t{h.biHeight} : h.biHeight) +
                ", " + std::to_string(h.biBitCount) + " bits, written to " + out.display() + " as " +
                FormatName(choice.format));
  if (printName) printf("%s\n", choice.path.c_str());
  return partial ? kExitPartial : kExitOk;
}

namespace {

int DecodeOne(const Args &a, const std::string &inputPath) {
  InputFile in;
  qvhost::Options o;
  std::string error;
  if (!OpenImage(inputPath, a, &in, &o, &error)) return Complain(error), kExitFailed;
  OutputChoice choice;
  ChooseOutput(a, inputPath, &choice);
  if (choice.format == "png" && !HavePng()) {
    Complain(choice.path + ": this build has no PNG support; use --format bmp");
    return kExitFailed;
  }
  bool printName = !choice.named && !(choice.path == "-");
  if (!a.allPages || !qvhost::IsTiffType(o.imageType) || IsRawFaxType(o.imageType))
    return DecodeImage(a, in, in.display(), o, choice, printName);
  // Every page, each to its own file; a page that fails leaves the others.
  int pages = std::max(CountPages(in), 1), result = kExitOk;
  Detail(a, in.display() + ": " + std::to_string(pages) + (pages == 1 ? " page" : " pages"));
  for (int page = 1; page <= pages; ++page) {
    OutputChoice pageChoice = choice;
    pageChoice.path = PagePath(choice.path, page);
    o.pageNumber = static_cast<uint32_t>(page);
    std::string name = in.display() + " page " + std::to_string(page);
    int code = DecodeImage(a, in, name, o, pageChoice, true);
    if (code == kExitFailed || (code == kExitPartial && result == kExitOk)) result = code;
  }
  return result;
}

}  // namespace

int Decode(const Args &a) {
  std::string error;
  if (!CheckOutputs(a, &error)) {
    Complain(error);
    return kExitUsage;
  }
  int result = kExitOk;
  for (const std::string &input : a.inputs) {
    int code = DecodeOne(a, input);
    if (code == kExitFailed || (code == kExitPartial && result == kExitOk)) result = code;
  }
  return result;
}

}  // namespace qvtool
