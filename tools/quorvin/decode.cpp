// quorvin decode: each input to a BMP or PNG file, through the host library
// with the output handed over by position, so memory stays bounded.
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "image_output.h"
#include "quorvin_tool.h"
#include "tool_options.h"

namespace qvtool {
namespace {

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

int DecodeImage(const Args &a, const InputFile &in, const std::string &name, qvhost::Options o,
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
  // Pass images of an interlaced GIF are not wanted unless asked for.
  if (!a.interlaceGiven) o.interlaceMode = QV_INTERLACE_FINAL_ONLY;
  o.extra = false;                // extra-data records are for info
  o.outputLimit = UINT32_MAX;     // a BMP file's own limit
  // PNG needs the colour table before the first row, and every row once.
  bool collect = o.interlaceMode != QV_INTERLACE_FINAL_ONLY || TableFollowsRows(in, type);
  std::unique_ptr<ImageOutput> image = choice.format == "bmp"
                                           ? MakeBmpOutput(out.fd())
                                           : MakePngOutput(out.fd(), collect, StoredTopFirst(in, type));
  image->Configure(&o);
  o.onOutput = [&image](const ParamBlock &b, uint64_t pos, const uint8_t *p, size_t n) {
    return image->Put(b, pos, p, n);
  };
  int shown = -1;
  if (isatty(2) && !failure) {
    o.onProgress = [&shown](int32_t p) {
      if (p / 2 != shown) {
        shown = p / 2;
        fprintf(stderr, "\r[%-50.*s] %3d%%", shown, "##################################################", p);
      }
    };
  }
  qvhost::Result r = qvhost::DecodeFd(in.fd(), o);
  if (shown >= 0) fprintf(stderr, "\n");
  if (!image->error().empty()) {
    Complain(out.display() + ": " + image->error());
    return kExitFailed;
  }
  if (!r.ok()) {
    std::string pages;
    if (r.status == QV_ERR_NO_PAGE) {
      int n = CountPages(in);
      if (n >= 0) pages = "; the file has " + std::to_string(n) + (n == 1 ? " page" : " pages");
    }
    Complain(name + ": " + StatusMessage(r.status) + " as " + qvhost::TypeName(type) + pages);
    return kExitFailed;
  }
  if (!image->Finish(r)) {
    Complain(out.display() + ": " + image->error());
    return kExitFailed;
  }
  if (!out.Commit(&error)) return Complain(error), kExitFailed;
  if (printName) printf("%s\n", choice.path.c_str());
  return kExitOk;
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
  for (int page = 1; page <= pages; ++page) {
    OutputChoice pageChoice = choice;
    pageChoice.path = PagePath(choice.path, page);
    o.pageNumber = static_cast<uint32_t>(page);
    std::string name = in.display() + " page " + std::to_string(page);
    if (DecodeImage(a, in, name, o, pageChoice, true) != kExitOk) result = kExitFailed;
  }
  return result;
}

}  // namespace

int Decode(const Args &a) {
  int result = kExitOk;
  for (const std::string &input : a.inputs)
    if (DecodeOne(a, input) != kExitOk) result = kExitFailed;
  return result;
}

}  // namespace qvtool
