// quorvin: decode images to BMP or PNG, and show what a file decodes to.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "quorvin_tool.h"
#include "tool_options.h"

namespace qvtool {
namespace {

enum OptionId {
  kOutput, kFormat, kType, kPage, kJson, kTopDown, kInterlace, kBatch, kInQueue, kOutQueue,
  kWholeInput, kChunkSeed, kHelp, kVersion
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
constexpr uint64_t kQueueMax = uint64_t{256} << 20;

// The one table of options: parsing, range checks, --help and the man page
// check all follow it.
const OptionSpec kOptions[] = {
    {kOutput, "--output", 'o', "FILE", false, 0, 0, kDecode,
     "write the image to FILE (- for standard output); default: the input's name with the "
     "format's extension, or standard output for standard input"},
    {kFormat, "--format", 'f', "bmp|png", false, 0, 0, kDecode,
     "output format; default: from the output name, else png"},
    {kType, "--type", 't', "CODE", false, 0, 0, kAll,
     "image type (0 or BMPR, BMPO, GIFu, PCX8, TGA2, TGAA, TIF1, G3, G32D, ...); default: "
     "detected from the content"},
    {kPage, "--page", 0, "N", true, 0, UINT32_MAX, kAll, "TIFF: the image of the file to read, from 0"},
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
      "       quorvin --help | --version\n"
      "\n"
      "decode  turns BMP, GIF, PCX, Targa, TIFF and raw fax images into BMP or PNG files.\n"
      "        An output is written beside its target and renamed over it when complete;\n"
      "        an output that is the input is refused.\n"
      "info    shows each file's bitmap header, colour table and extra-data records.\n"
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

// Applies the parsed options; a usage message when they do not fit together.
bool Apply(const std::vector<ParsedOption> &parsed, Args *a, std::string *error) {
  for (const ParsedOption &p : parsed) {
    qvhost::Options &o = a->options;
    switch (p.spec->id) {
      case kOutput: a->output = p.text; break;
      case kFormat:
        if (p.text != "bmp" && p.text != "png") {
          *error = "option '--format': '" + p.text + "' is not bmp or png";
          return false;
        }
        a->format = p.text;
        break;
      case kType:
        if (!qvhost::ParseTypeName(p.text, &o.imageType)) {
          *error = "option '--type': '" + p.text + "' is not a four-character image type or 0";
          return false;
        }
        a->typeGiven = true;
        break;
      case kPage: o.pageNumber = static_cast<uint32_t>(p.number); break;
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
    return Usage("unknown command '" + command + "' (decode or info)");
  }
  std::vector<ParsedOption> parsed;
  std::string error;
  if (!ParseOptions(kOptions, kOptionCount, a.command, command.c_str(), argc, argv, 2, &parsed,
                    &a.inputs, &error))
    return Usage(error);
  for (const ParsedOption &p : parsed) {
    if (p.spec->id == kHelp) return Help(), kExitOk;
    if (p.spec->id == kVersion) return Version(), kExitOk;
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

bool OpenImage(const std::string &path, const Args &a, InputFile *in, uint32_t *type,
               std::string *error) {
  if (!in->Open(path, error)) return false;
  if (a.typeGiven) {
    *type = a.options.imageType;
    return true;
  }
  uint8_t head[256];
  ssize_t n = pread(in->fd(), head, sizeof head, 0);
  if (n < 0) {
    *error = in->display() + ": " + Reason(errno);
    return false;
  }
  if (n == 0) {
    *error = in->display() + ": empty file";
    return false;
  }
  if (!qvhost::DetectImageType(head, static_cast<size_t>(n), type)) {
    *error = in->display() + ": format not recognised; name the image type with --type";
    return false;
  }
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
