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
  kBatch, kInQueue, kOutQueue, kWholeInput, kChunkSeed, kMaxMemory, kStrict, kQuiet, kVerbose, kHelp, kVersion
};

// "bmp", "dib" or "png" from an output name's extension; "" when it says none of them.
std::string FormatOfName(const std::string &name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return "";
  std::string ext = name.substr(dot + 1);
  for (char &ch : ext) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  return ext == "bmp" || ext == "dib" || ext == "png" ? ext : "";
}

// A size in bytes: digits, optionally followed by K, M or G (times 1024,
// 1024^2, 1024^3; "KiB", "MB" and the like are read alike).
bool ParseSize(const std::string &text, uint64_t *bytes) {
  size_t digits = text.find_first_not_of("0123456789");
  if (digits == 0 || (digits == std::string::npos && text.empty()) || text.size() > 24) return false;
  std::string unit = digits == std::string::npos ? "" : text.substr(digits);
  for (char &ch : unit) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  int shift = 0;
  if (!unit.empty()) {
    const char *units = "KMG";
    const char *at = strchr(units, unit[0]);
    std::string rest = unit.substr(1);
    if (!at || !(rest.empty() || rest == "B" || rest == "IB")) return false;
    shift = 10 * static_cast<int>(at - units + 1);
  }
  std::string number = text.substr(0, digits);
  if (number.size() > 12) return false;
  uint64_t n = std::stoull(number);
  *bytes = n << shift;
  return (*bytes >> shift) == n;
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
    {kFormat, "--format", 'f', "bmp|png|dib", false, 0, 0, kDecode,
     "output format: bmp (what other programs read: RGB for CMYK, a full colour table), png, "
     "or dib (the bitmap exactly as the library delivers it, behind a BMP file header); "
     "default: from the output name's extension, else png"},
    {kType, "--type", 't', "CODE", false, 0, 0, kAll,
     "image type (BMP or 0, BMPR, BMPO, GIFu, PCX8, TGA2, TGAA, TIF1, G3, G32D, ...); default: "
     "detected from the content; a type the content contradicts is refused"},
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
    {kInQueue, "--in-queue", 0, "BYTES", true, 5, kQueueMax, kAll,
     "input queue size, 5 to 268435456 (default 65536); a file is mapped and handed over whole "
     "unless this or --chunk-seed is given"},
    {kOutQueue, "--out-queue", 0, "BYTES", true, 5, kQueueMax, kAll,
     "output queue size, 5 to 268435456 (default 65536); raised to one row plus one byte where the "
     "decoder places rows from the end (GIF, PCX, top-down rows), which -v reports"},
    {kWholeInput, "--whole-input", 0, nullptr, false, 0, 0, kAll,
     "hand the decoder the whole file at once (standard input and pipes too)"},
    {kChunkSeed, "--chunk-seed", 0, "SEED", true, 0, UINT64_MAX, kDecode,
     "feed input and take output in random pieces (testing)"},
    {kMaxMemory, "--max-memory", 0, "SIZE", false, 0, 0, kAll,
     "the most working memory one decode may hold, in bytes or with K, M, G (times 1024); "
     "0 or absent: the library's default, 256M"},
    {kStrict, "--strict", 0, nullptr, false, 0, 0, kAll,
     "only what the classic readers accept: no extended variants, and a damaged or cut file fails"},
    {kQuiet, "--quiet", 'q', nullptr, false, 0, 0, kAll, "no notes (raw fax guesses) and no progress bar"},
    {kVerbose, "--verbose", 'v', nullptr, false, 0, 0, kAll,
     "say what was detected and which options were used (queue sizes, bit order guessed, pages)"},
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
      "decode  turns BMP, GIF, PCX, Targa, TIFF, PNG, JPEG and raw fax images into BMP,\n"
      "        PNG or DIB files (DIB: the bitmap as the library delivers it).\n"
      "        An output is written beside its target and renamed over it when complete;\n"
      "        an output that is the input is refused.\n"
      "        Raw Group 3 fax data (no header) is recognised when its first rows decode\n"
      "        to one width; a note on stderr names the coding, bit order and width guessed.\n"
      "        PNG and BMP output turn CMYK into RGB: R, G, B = (255 - K) x (255 - C, M, Y)\n"
      "        / 255, rounded; dib keeps the decoded bitmap, CMYK included, as it is.\n"
      "        Two inputs whose outputs would be one file are refused before anything is\n"
      "        written.\n"
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
        if (p.text != "bmp" && p.text != "png" && p.text != "dib") {
          *error = "option '--format': '" + p.text + "' is not bmp, png or dib";
          return false;
        }
        a->format = p.text;
        break;
      case kType:
        if (!qvhost::ParseTypeName(p.text, &o.imageType) || !QvImageTypeName(o.imageType)) {
          *error = "option '--type': '" + p.text + "' is not an image type (BMP or 0, BMPR, BMPO, GIFu, GIFN, "
                   "GIFI, PCX1-4, PCX8, PCXT, DCXZ, TGA1-3, TGA9, TGAA, TGAB, TIF1, TIFC, TIFG, TIFL, TIFM, "
                   "TIFZ, TIFu, G3, G32D)";
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
      case kInQueue:
        o.inQueue = static_cast<size_t>(p.number);
        a->inQueueGiven = true;
        break;
      case kOutQueue: o.outQueue = static_cast<size_t>(p.number); break;
      case kWholeInput: o.wholeInput = true; break;
      case kChunkSeed: o.test.chunkSeed = p.number; break;
      case kMaxMemory: {
        uint64_t bytes = 0;
        if (!ParseSize(p.text, &bytes) || bytes > UINT32_MAX) {
          *error = "option '--max-memory': '" + p.text + "' is not a size from 0 to 4294967295 bytes "
                   "(a number, optionally with K, M or G)";
          return false;
        }
        o.memoryLimit = static_cast<uint32_t>(bytes);
        break;
      }
      case kStrict: o.extended = false; break;
      case kQuiet: a->verbosity = 0; break;
      case kVerbose: a->verbosity = 2; break;
    }
  }
  if (a->inputs.empty()) {
    *error = "no input file (- reads standard input)";
    return false;
  }
  if (a->format.empty() && !a->output.empty() && a->output != "-" && FormatOfName(a->output).empty()) {
    *error = "cannot tell the format from the name '" + a->output + "'; give --format bmp, png or dib";
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

void Note(const Args &a, const std::string &message) {
  if (a.verbosity >= 1) Complain(message);
}

void Detail(const Args &a, const std::string &message) {
  if (a.verbosity >= 2) Complain(message);
}

std::string FormatOf(uint32_t type) {
  const char *name = QvImageTypeName(type);
  return name ? name : "unknown";
}

std::string StatusMessage(int32_t status) {
  return "status " + std::to_string(status) + " (" + QvStatusText(status) + ")";
}

qvhost::Result DecodeInput(const Args &a, InputFile &in, qvhost::Options o, bool say) {
  auto detail = [&a, say](const std::string &message) {
    if (say) Detail(a, message);
  };
  if (!a.inQueueGiven && !o.test.chunkSeed && in.size() >= 4 && in.Map()) {
    // The file itself is the input queue: nothing is read into a buffer,
    // and readers move through it without asking for seeks.
    o.wholeInput = o.borrowInput = true;
    // Whatever order the reader takes the file in, the pages it read stay
    // resident only until 8 MiB more of the bitmap have come out. A file cut
    // short under the reader gives zeros from there on: the output stops at
    // once, since the caller throws it away (InputFile::cut).
    auto put = o.onOutput;
    uint64_t sinceLetGo = 0;
    o.onOutput = [&in, put, sinceLetGo](const ParamBlock &b, uint64_t at, const uint8_t *p, size_t n) mutable {
      if (in.cut()) return false;
      if ((sinceLetGo += n) >= (uint64_t{8} << 20)) {
        sinceLetGo = 0;
        in.LetGo();
      }
      return !put || put(b, at, p, n);
    };
    detail(in.display() + ": input mapped, " + std::to_string(in.size()) + " bytes handed over whole");
    return qvhost::Decode(in.data(), static_cast<size_t>(in.size()), o);
  }
  if (o.wholeInput)
    detail(in.display() + ": input read whole, " + std::to_string(in.size()) + " bytes");
  else
    detail(in.display() + ": input streamed through a " + std::to_string(o.inQueue) + "-byte queue" +
           (o.test.chunkSeed ? " in random pieces" : ""));
  return qvhost::DecodeFd(in.fd(), o);
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

namespace {

bool IsTgaRunLength(uint32_t t) { return t == QV_TYPE_TGA9 || t == QV_TYPE_TGAA || t == QV_TYPE_TGAB; }

// Whether the reader a code selects reads a file the way its detected code
// would: the TIFF, PCX and GIF codes read alike (GIFN and GIFI refuse what
// they do not take, with a status that says so); the three BMP codes and the
// Targa codes' plain or run-length reading are the code's choice, not the
// file's.
bool SameReading(uint32_t given, uint32_t detected) {
  const char *g = QvImageTypeName(given), *d = QvImageTypeName(detected);
  if (!g || !d || strcmp(g, d) != 0) return false;
  if (strcmp(d, "BMP") == 0) return given == detected;
  if (strcmp(d, "TGA") == 0) return IsTgaRunLength(given) == IsTgaRunLength(detected);
  return true;
}

// "a run-length coded TGA file" and the like, for a detected code.
std::string LooksLike(uint32_t t) {
  if (t == QV_TYPE_BMP) return "a BMP file with plain rows";
  if (t == QV_TYPE_BMPR) return "a BMP file with RLE rows";
  if (t == QV_TYPE_BMPO) return "an OS/2 BMP file";
  if (IsTgaRunLength(t)) return "a run-length coded TGA file";
  std::string name = FormatOf(t);
  if (name == "TGA") return "a TGA file with plain pixel data";
  return std::string(name[0] == 'A' || name[0] == 'I' ? "an " : "a ") + name + " file";
}

}  // namespace

bool OpenImage(const std::string &path, const Args &a, InputFile *in, qvhost::Options *o,
               std::string *error) {
  *o = a.options;
  if (!in->Open(path, error)) return false;
  bool fax = a.typeGiven && IsRawFaxType(o->imageType);
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
  uint32_t detected = QvDetectType(head, static_cast<size_t>(n));
  // A type the content contradicts is refused. A Targa header is no
  // signature, though: other data can look like one, so --type may name
  // another format for it.
  if (a.typeGiven && detected != QV_TYPE_UNKNOWN && !SameReading(o->imageType, detected) &&
      (FormatOf(detected) != "TGA" || FormatOf(o->imageType) == "TGA")) {
    std::string given = qvhost::TypeName(o->imageType), seen = qvhost::TypeName(detected);
    *error = in->display() + ": --type " + given + " does not match what the file looks like (" + seen + ", " +
             LooksLike(detected) + "); leave --type out to read it as " + seen;
    return false;
  }
  if (a.typeGiven && (!fax || a.fillOrderGiven)) {
    Detail(a, in->display() + ": read as " + qvhost::TypeName(o->imageType) + " (" +
                  FormatOf(o->imageType) + "), as --type says");
    return true;
  }
  if (!fax && detected != QV_TYPE_UNKNOWN) {
    o->imageType = detected;
    Detail(a, in->display() + ": detected " + FormatOf(detected) + " (type " + qvhost::TypeName(detected) +
                  ")");
    return true;
  }
  RawFaxGuess g = GuessRawFax(head, static_cast<size_t>(n), fax ? o->imageType : 0,
                              a.fillOrderGiven ? o->faxFillOrder : 0);
  if (!fax && !g.evidence) {
    *error = in->display() + ": format not recognised; name the image type with --type";
    if (g.eol && g.rows)
      *error += " (its first bytes decode as " + std::to_string(g.rows - (g.pageEnded ? 1 : 0)) +
                " fax row(s) " + std::to_string(g.width) + " pixels wide, too little to take it for fax data)";
    return false;
  }
  o->imageType = g.type;
  o->faxFillOrder = g.fillOrder;
  std::string code = qvhost::TypeName(g.type);
  std::string what = fax ? "" : "raw Group 3 fax, " + code + (g.type == kTypeG32D ? " (two-dimensional), " : " (one-dimensional), ");
  std::string width = g.width ? ", " + std::to_string(g.width) + " pixels wide" : "";
  Note(a, in->display() + ": " + (fax ? "guessed " : "no known header; guessed ") + what +
              (g.fillOrder == 1 ? "msb" : "lsb") + "-first bit order" + width + " (override with " +
              (fax ? "" : "--type G3|G32D, ") + "--fax-fill-order msb|lsb)");
  Detail(a, in->display() + ": " + std::to_string(g.rows - (g.pageEnded ? 1 : 0)) + " rows decoded from the first " +
                std::to_string(n) + " bytes" + (g.pageEnded ? ", the whole page" : ""));
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
