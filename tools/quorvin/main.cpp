// quorvin: decode images to BMP or PNG, and show what a file decodes to.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <limits>
#include <new>

#include "quorvin_tool.h"
#include "tool_options.h"

namespace qvtool {
namespace {

enum OptionId {
  kOutput, kFormat, kType, kPage, kFaxFillOrder, kFaxPhotometric, kJson, kTopDown, kInterlace,
  kBatch, kInQueue, kOutQueue, kWholeInput, kChunkSeed, kHelp, kVersion
};

// "bmp" or "png" from an output name's extension; "" when it says neither.
std::string FormatOfName(const std::string &name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return "";
  std::string ext = name.substr(dot + 1);
  for (char &ch : ext) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  return ext == "bmp" || ext == "dib" ? "bmp" : ext == "png" ? "png" : "";
}

constexpr unsigned kAll = kDecode | kInfo;
constexpr uint32_t kTypeG32D = QV_FOURCC('G', '3', '2', 'D');

// A page number from 1 (0 is refused: pages are counted from 1).
bool ParsePage(const std::string &text, uint32_t *page) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  uint64_t n = std::stoull(text);
  if (n < 1 || n > UINT32_MAX) return false;
  *page = static_cast<uint32_t>(n);
  return true;
}

bool HasStdin(const std::vector<std::string> &inputs) {
  for (const std::string &i : inputs)
    if (i == "-") return true;
  return false;
}

constexpr uint64_t kQueueMax = uint64_t{256} << 20;

// The one table of options: parsing, range checks, --help and the man page
// check all follow it.
const ToolOption kOptions[] = {
    {kOutput, "--output", 'o', "FILE", false, 0, 0, kDecode,
     "write the image to FILE (- for standard output); default: the input's name with the "
     "format's extension, or standard output for standard input"},
    {kFormat, "--format", 'f', "bmp|png", false, 0, 0, kDecode,
     "output format; default: from the output name, else png"},
    {kType, "--type", 't', "CODE", false, 0, 0, kAll,
     "image type (0 or BMPR, BMPO, GIFu, PCX8, TGA2, TGAA, TIF1, G3, G32D, ...); default: "
     "detected from the content"},
    {kPage, "--page", 0, "N|all", false, 0, 0, kAll,
     "TIFF: the page to read, counted from 1 (default 1); all: every page, written to NAME-1.EXT, "
     "NAME-2.EXT, ... after the output name"},
    {kFaxFillOrder, "--fax-fill-order", 0, "msb|lsb", false, 0, 0, kAll,
     "raw fax: the first pixel of a byte is its most or least significant bit (also 1|2, the TIFF "
     "FillOrder values); default: guessed from the data"},
    {kFaxPhotometric, "--fax-photometric", 0, "white|black", false, 0, 0, kAll,
     "raw fax: the colour of a 0 bit (white runs): white (default, min-is-white) or black "
     "(min-is-black, a negative); also 0|1, the TIFF Photometric values"},
    {kJson, "--json", 0, nullptr, false, 0, 0, kInfo, "one JSON object per file, one per line"},
    {kTopDown, "--top-down", 0, nullptr, false, 0, 0, kDecode,
     "ask for the rows top row first (a BMP output then has a negative height)"},
    {kInterlace, "--interlace", 0, "MODE", true, 0, 5, kDecode,
     "GIF interlace delivery 0-5 (pass images are decoded, the final image is written); "
     "default 2, the final image only"},
    {kBatch, "--batch", 0, "ROWS", true, 0, UINT32_MAX, kDecode, "let the decoder yield after every ROWS rows"},
    {kInQueue, "--in-queue", 0, "BYTES", true, 5, kQueueMax, kAll, "input queue size (default 65536)"},
    {kOutQueue, "--out-queue", 0, "BYTES", true, 5, kQueueMax, kAll, "output queue size (default 65536)"},
    {kWholeInput, "--whole-input", 0, nullptr, false, 0, 0, kAll, "hand the decoder the whole file at once"},
    {kChunkSeed, "--chunk-seed", 0, "SEED", true, 0, UINT64_MAX, kDecode,
     "feed input and take output in random pieces (testing)"},
    {kHelp, "--help", 'h', nullptr, false, 0, 0, kAll, "show this help and exit"},
    {kVersion, "--version", 0, nullptr, false, 0, 0, kAll, "show the versions and exit"},
};
constexpr size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

void Help() {
  printf(
      "usage: quorvin decode [OPTIONS] FILE...\n"
      "       quorvin info [OPTIONS] FILE...\n"
      "       quorvin batch SOURCES... -o DIR [OPTIONS]   (see quorvin batch --help)\n"
      "       quorvin --help | --version\n"
      "\n"
      "decode  turns BMP, GIF, PCX, Targa, TIFF and raw fax images into BMP or PNG files.\n"
      "        An output is written beside its target and renamed over it when complete;\n"
      "        an output that is the input is refused.\n"
      "        Raw Group 3 fax data (no header) is recognised by its first rows; a note on\n"
      "        stderr names the coding, bit order and width guessed.\n"
      "        PNG output turns CMYK into RGB: R, G, B = (255 - K) x (255 - C, M, Y) / 255,\n"
      "        rounded; BMP output keeps the decoded bitmap, CMYK included, as it is.\n"
      "info    shows each file's bitmap header, colour table and extra-data records; for\n"
      "        TIFF the page count and the descriptive tags by name.\n"
      "A FILE of - reads standard input.\n"
      "\n"
      "options:\n%s"
      "\n"
      "exit status: 0 success; 1 a file was refused or could not be read, decoded or\n"
      "written; 2 usage error.\n",
      OptionHelp(kOptions, kOptionCount, kAll).c_str());
}

void Version() {
  printf("quorvin %s\n", QV_TOOLS_VERSION);
  printf("Quorvin library %s (interface revision %u, %u-byte parameter block)\n", QV_TOOLS_VERSION,
         QV_MAX_BLOCK_VERSION, QV_PARAM_BLOCK_SIZE);
}

int Usage(const std::string &message) {
  Complain(message);
  fprintf(stderr, "Try 'quorvin --help'.\n");
  return kExitUsage;
}

// An option whose value is one of two words.
// The word, or its number (the TIFF value) as an alias.
bool OneOf(ParsedOption &p, const char *first, const char *second, std::string *error,
           const char *firstNumber, const char *secondNumber) {
  if (*firstNumber && p.text == firstNumber) p.text = first;
  if (*secondNumber && p.text == secondNumber) p.text = second;
  if (p.text == first || p.text == second) return true;
  *error = std::string("option '") + p.option->longName + "': '" + p.text + "' is not " + first + " or " + second;
  return false;
}

// Applies the parsed options; a usage message when they do not fit together.
bool Apply(std::vector<ParsedOption> parsed, Args *a, std::string *error) {
  for (ParsedOption &p : parsed) {
    qvhost::Options &o = a->options;
    switch (p.option->id) {
      case kOutput: a->output = p.text; break;
      case kFormat:
        if (!OneOf(p, "bmp", "png", error, "", "")) return false;
        a->format = p.text;
        break;
      case kType:
        if (!qvhost::ParseTypeName(p.text, &o.imageType)) {
          *error = "option '--type': '" + p.text + "' is not a four-character image type or 0";
          return false;
        }
        a->typeGiven = true;
        break;
      case kPage:
        if (p.text == "all") {
          a->allPages = true;
          o.pageNumber = 0;
        } else if (!ParsePage(p.text, &o.pageNumber)) {
          *error = "option '--page': '" + p.text + "' is not all or a page number from 1 to 4294967295";
          return false;
        } else {
          a->allPages = false;
        }
        break;
      case kFaxFillOrder:  // the FaxFillOrder byte: 1 most significant bit first, 2 least
        if (!OneOf(p, "msb", "lsb", error, "1", "2")) return false;
        o.faxFillOrder = p.text == "msb" ? 1 : 2;
        a->fillOrderGiven = true;
        break;
      case kFaxPhotometric:  // the FaxPhotometric byte: 0 min-is-white, 1 min-is-black
        if (!OneOf(p, "white", "black", error, "0", "1")) return false;
        o.faxPhotometric = p.text == "black" ? 1 : 0;
        break;
      case kJson: a->json = true; break;
      case kTopDown: o.flags |= QV_FLAG_TOP_DOWN; break;
      case kInterlace:
        o.interlaceMode = static_cast<uint32_t>(p.number);
        a->interlaceGiven = true;
        break;
      case kBatch:
        o.flags |= QV_FLAG_BATCH;
        o.rowsPerBatch = static_cast<uint32_t>(p.number);
        break;
      case kInQueue: o.inQueue = static_cast<size_t>(p.number); break;
      case kOutQueue: o.outQueue = static_cast<size_t>(p.number); break;
      case kWholeInput: o.wholeInput = true; break;
      case kChunkSeed: o.chunkSeed = p.number; break;
    }
  }
  if (a->inputs.empty()) {
    *error = "no input file (- reads standard input)";
    return false;
  }
  if (a->format.empty() && !a->output.empty() && a->output != "-" && FormatOfName(a->output).empty()) {
    *error = "cannot tell the format from the name '" + a->output + "'; give --format bmp or png";
    return false;
  }
  if (a->allPages && a->command == kDecode && (a->output == "-" || (a->output.empty() && HasStdin(a->inputs)))) {
    *error = "--page all writes one file per page; name an output file with -o, not standard output";
    return false;
  }
  if (!a->output.empty() && a->inputs.size() > 1) {
    *error = "-o names one output, but " + std::to_string(a->inputs.size()) + " inputs were given";
    return false;
  }
  return true;
}

int Run(int argc, char **argv) {
  if (argc < 2) return Usage("no command given");
  std::string command = argv[1];
  Args a;
  if (command == "batch") return Batch(argc, argv);  // its own options: batch.cpp
  if (command == "decode") {
    a.command = kDecode;
  } else if (command == "info") {
    a.command = kInfo;
  } else if (command == "--help" || command == "-h" || command == "help") {
    Help();
    return kExitOk;
  } else if (command == "--version") {
    Version();
    return kExitOk;
  } else {
    return Usage("unknown command '" + command + "' (decode, info or batch)");
  }
  std::vector<ParsedOption> parsed;
  std::string error;
  if (!ParseOptions(kOptions, kOptionCount, a.command, command.c_str(), argc, argv, 2, &parsed,
                    &a.inputs, &error))
    return Usage(error);
  for (const ParsedOption &p : parsed) {
    if (p.option->id == kHelp) return Help(), kExitOk;
    if (p.option->id == kVersion) return Version(), kExitOk;
  }
  if (!Apply(parsed, &a, &error)) return Usage(error);
  return a.command == kDecode ? Decode(a) : Info(a);
}

}  // namespace

void Complain(const std::string &message) { fprintf(stderr, "quorvin: %s\n", message.c_str()); }

std::string StatusMessage(int32_t status) {
  return "status " + std::to_string(status) + " (" + QvStatusText(status) + ")";
}

bool TableFollowsRows(const InputFile &in, uint32_t type) {
  uint8_t bits, planes;
  return (type & 0xFFFFFF) == (QV_FOURCC('P', 'C', 'X', 0) & 0xFFFFFF) && pread(in.fd(), &bits, 1, 3) == 1 &&
         bits == 8 && pread(in.fd(), &planes, 1, 65) == 1 && planes == 1;
}

int CountPages(const InputFile &in) {
  return qvhost::CountTiffPages([&in](uint64_t at, uint8_t *to, size_t n) {
    uint64_t last = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    return n <= last && at <= last - n && pread(in.fd(), to, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
  });
}

bool OpenImage(const std::string &path, const Args &a, InputFile *in, qvhost::Options *o,
               std::string *error) {
  *o = a.options;
  if (!in->Open(path, error)) return false;
  bool fax = a.typeGiven && IsRawFaxType(o->imageType);
  if (a.typeGiven && (!fax || a.fillOrderGiven)) return true;
  // Enough for the first rows of a fax page at any resolution.
  uint8_t head[8192];
  ssize_t n = pread(in->fd(), head, sizeof head, 0);
  if (n < 0) {
    *error = in->display() + ": " + Reason(errno);
    return false;
  }
  if (n == 0 && !fax) {
    *error = in->display() + ": empty file";
    return false;
  }
  if (!fax && qvhost::DetectImageType(head, static_cast<size_t>(n), &o->imageType)) return true;
  RawFaxGuess g = GuessRawFax(head, static_cast<size_t>(n), fax ? o->imageType : 0,
                              a.fillOrderGiven ? o->faxFillOrder : 0);
  if (!fax && (!g.eol || g.rows == 0)) {
    *error = in->display() + ": format not recognised; name the image type with --type";
    return false;
  }
  o->imageType = g.type;
  o->faxFillOrder = g.fillOrder;
  std::string code = qvhost::TypeName(g.type);
  code.erase(code.find_last_not_of(' ') + 1);
  std::string what = fax ? "" : "raw Group 3 fax, " + code + (g.type == kTypeG32D ? " (two-dimensional), " : " (one-dimensional), ");
  std::string width = g.width ? ", " + std::to_string(g.width) + " pixels wide" : "";
  Complain(in->display() + ": " + (fax ? "guessed " : "no known header; guessed ") + what +
           (g.fillOrder == 1 ? "msb" : "lsb") + "-first bit order" + width + " (override with " +
           (fax ? "" : "--type G3|G32D, ") + "--fax-fill-order msb|lsb)");
  return true;
}

void ChooseOutput(const Args &a, const std::string &input, OutputChoice *c) {
  c->named = !a.output.empty();
  c->format = a.format;
  if (c->format.empty() && c->named && a.output != "-") c->format = FormatOfName(a.output);
  if (c->format.empty()) c->format = "png";
  if (c->named) {
    c->path = a.output;
  } else if (input == "-") {
    c->path = input;  // standard input goes to standard output
  } else {
    // The input's name with its extension replaced.
    size_t slash = input.rfind('/');
    size_t dot = input.rfind('.');
    bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    c->path = (hasExt ? input.substr(0, dot) : input) + "." + c->format;
  }
}

}  // namespace qvtool

int main(int argc, char **argv) {
  try {
    return qvtool::Run(argc, argv);
  } catch (const std::bad_alloc &) {
    qvtool::Complain("out of memory");
    return qvtool::kExitFailed;
  }
}
