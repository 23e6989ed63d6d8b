// quorvin: decode images to BMP or PNG, and show what a file decodes to.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "image_view.h"
#include "png_writer.h"
#include "quorvin_host.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  quorvin decode IN [-o OUT.bmp|OUT.png] [--type CODE] [--page N] [--top-down]\n"
    "                 [--interlace N] [--batch N] [--in-queue BYTES] [--out-queue BYTES]\n"
    "                 [--whole-input] [--chunk-seed S]\n"
    "  quorvin info IN [--type CODE] [--page N]\n"
    "CODE is a four-character image type (BMPR, GIFu, TIF1, TGA2, G3, G32D, ...) or 0 for BMP.\n";

struct Args {
  std::string command, input, output;
  qvhost::Options options;
  bool typeGiven = false;
};

bool ParseNumber(const char *text, unsigned long long *value) {
  char *end;
  errno = 0;
  *value = strtoull(text, &end, 0);
  return errno == 0 && *text && !*end;
}

bool Parse(int argc, char **argv, Args *a) {
  if (argc < 3) return false;
  a->command = argv[1];
  if (a->command != "decode" && a->command != "info") return false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](unsigned long long *v) {
      return i + 1 < argc && ParseNumber(argv[++i], v);
    };
    unsigned long long v = 0;
    if (arg == "-o" && i + 1 < argc) {
      a->output = argv[++i];
    } else if (arg == "--type" && i + 1 < argc) {
      if (!qvhost::ParseTypeName(argv[++i], &a->options.imageType)) return false;
      a->typeGiven = true;
    } else if (arg == "--page" && value(&v)) {
      a->options.pageNumber = static_cast<uint32_t>(v);
    } else if (arg == "--top-down") {
      a->options.flags |= QV_FLAG_TOP_DOWN;
    } else if (arg == "--interlace" && value(&v)) {
      a->options.interlaceMode = static_cast<uint32_t>(v);
    } else if (arg == "--batch" && value(&v)) {
      a->options.flags |= QV_FLAG_BATCH;
      a->options.rowsPerBatch = static_cast<uint32_t>(v);
    } else if (arg == "--in-queue" && value(&v)) {
      a->options.inQueue = static_cast<size_t>(v);
    } else if (arg == "--out-queue" && value(&v)) {
      a->options.outQueue = static_cast<size_t>(v);
    } else if (arg == "--whole-input") {
      a->options.wholeInput = true;
    } else if (arg == "--chunk-seed" && value(&v)) {
      a->options.chunkSeed = v;
    } else if (arg[0] != '-' && a->input.empty()) {
      a->input = arg;
    } else {
      return false;
    }
  }
  return !a->input.empty();
}

bool Detect(const std::string &path, uint32_t *type) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t head[256];
  size_t n = fread(head, 1, sizeof head, f);
  fclose(f);
  return qvhost::DetectImageType(head, n, type);
}

const char *ResponseName(int r) {
  switch (r) {
    case ResponseDone: return "done";
    case ResponseError: return "error";
    case ResponseRowsReady: return "rows ready";
    case ResponseNeedOutput: return "need output";
    case ResponseNeedInput: return "need input";
    case ResponseSeek: return "seek";
    case ResponseNeedExtra: return "need extra room";
    default: return "?";
  }
}

void PrintHeader(const qvhost::Result &r, uint32_t type) {
  const BitmapInfoHeader &h = r.header;
  printf("image type     %s\n", qvhost::TypeName(type).c_str());
  printf("bitmap header  size %u, width %d, height %d, planes %u, bits %u, compression %u,\n"
         "               image size %u, resolution %d x %d, colours used %u, important %u\n",
         h.biSize, h.biWidth, h.biHeight, h.biPlanes, h.biBitCount, h.biCompression,
         h.biSizeImage, h.biXPelsPerMeter, h.biYPelsPerMeter, h.biClrUsed, h.biClrImportant);
}

int Fail(const qvhost::Result &r) {
  fprintf(stderr, "quorvin: failed with status %d: %s\n", r.status, qvhost::StatusText(r.status));
  return 2;
}

int Info(Args &a) {
  a.options.flags |= QV_FLAG_HEADER;
  std::string err;
  qvhost::Result r = qvhost::DecodeFile(a.input, a.options, &err);
  if (r.response < 0) {
    fprintf(stderr, "quorvin: %s\n", err.c_str());
    return 1;
  }
  if (!r.ok()) return Fail(r);
  PrintHeader(r, a.options.imageType);
  uint32_t bits = r.header.biBitCount;
  size_t rowsBytes = r.header.biSizeImage;
  size_t tableBytes = r.outputLength >= 40 + rowsBytes ? r.outputLength - 40 - rowsBytes : 0;
  printf("colour table   %zu entries%s\n", tableBytes / 4,
         (r.flags & QV_FLAG_GREY) ? ", grey" : (bits <= 8 ? ", not grey" : ""));
  if (r.flags & QV_FLAG_TRANSPARENT) printf("transparent    index %u\n", r.transparentIndex);
  if (r.fileCompression) printf("compression    %d (in the file)\n", r.fileCompression);
  for (const qvhost::ExtraRecord &e : r.extras) {
    printf("extra record   kind 0x%04X, %zu bytes:", e.kind, e.data.size());
    for (size_t i = 0; i < e.data.size() && i < 16; ++i) printf(" %02X", e.data[i]);
    printf("%s\n", e.data.size() > 16 ? " ..." : "");
  }
  printf("responses     ");
  for (int i = 0; i < 16; ++i)
    if (r.counts[i]) printf(" %s x%zu;", ResponseName(i), r.counts[i]);
  printf("\n");
  return 0;
}

bool EndsWith(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  if (s.size() < n) return false;
  return strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

int Decode(Args &a) {
  bool png = a.output.empty() || EndsWith(a.output, ".png");
  if (a.output.empty()) a.output = a.input + ".png";
  a.options.flags |= QV_FLAG_HEADER;
  bool terminal = isatty(2);
  int shown = -1;
  if (terminal) {
    a.options.onProgress = [&](int32_t p) {
      if (p / 2 != shown) {
        shown = p / 2;
        fprintf(stderr, "\r[%-50.*s] %3d%%", shown, "##################################################", p);
      }
    };
  }
  std::string err;
  int fd = -1;
  if (!png) {
    // A BMP file is the delivered bitmap behind a 14-byte file header, written by position.
    fd = open(a.output.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      fprintf(stderr, "quorvin: cannot create %s: %s\n", a.output.c_str(), strerror(errno));
      return 1;
    }
  }
  qvhost::Result r = qvhost::DecodeFile(a.input, a.options, &err);
  if (shown >= 0) fprintf(stderr, "\n");
  if (r.response < 0) {
    fprintf(stderr, "quorvin: %s\n", err.c_str());
    return 1;
  }
  if (!r.ok()) {
    if (fd >= 0) close(fd), unlink(a.output.c_str());
    return Fail(r);
  }
  if (png) {
    qvhost::Pixels px;
    if (!qvhost::ResultToRgb(r, a.options.flags, &px, &err) || !WritePng(a.output, px, &err)) {
      fprintf(stderr, "quorvin: %s\n", err.c_str());
      return 1;
    }
  } else {
    uint32_t total = static_cast<uint32_t>(14 + r.output.size());
    uint32_t offset = static_cast<uint32_t>(14 + r.output.size() - r.header.biSizeImage);
    uint8_t fh[14] = {'B', 'M'};
    memcpy(fh + 2, &total, 4);
    memcpy(fh + 10, &offset, 4);
    bool ok = write(fd, fh, 14) == 14 &&
              write(fd, r.output.data(), r.output.size()) == static_cast<ssize_t>(r.output.size());
    if (close(fd) != 0 || !ok) {
      fprintf(stderr, "quorvin: cannot write %s\n", a.output.c_str());
      return 1;
    }
  }
  printf("%s\n", a.output.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Args a;
  if (!Parse(argc, argv, &a)) {
    fputs(kUsage, stderr);
    return 64;
  }
  if (!a.typeGiven && !Detect(a.input, &a.options.imageType)) {
    fprintf(stderr, "quorvin: %s: format not recognised; name it with --type\n", a.input.c_str());
    return 1;
  }
  return a.command == "info" ? Info(a) : Decode(a);
}
