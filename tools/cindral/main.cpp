// cindral: code, decode, check and print coded files from the command line.
#include <cindral.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool_files.h"
#include "tool_options.h"

namespace qvtool {
namespace {

// "not coded" from check: a result, not a failure.
constexpr int kExitNotCoded = 3;

constexpr unsigned kCode = 1, kDecode = 2, kCheck = 4, kCat = 8, kVersionCommand = 16;
constexpr unsigned kAll = kCode | kDecode | kCheck | kCat | kVersionCommand;
enum OptionId { kKey, kKeyFile, kHelp, kVersion };

const ToolOption kOptions[] = {
    {kKey, "--key", 'k', "TEXT", false, 0, 0, kCode | kDecode | kCat, "the key (only its first 128 characters count)"},
    {kKeyFile, "--key-file", 0, "FILE", false, 0, 0, kCode | kDecode | kCat,
     "read the key from FILE, less one trailing newline"},
    {kHelp, "--help", 'h', nullptr, false, 0, 0, kAll, "show this help and exit"},
    {kVersion, "--version", 0, nullptr, false, 0, 0, kAll, "show the versions and exit"},
};
constexpr size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

void Help() {
  std::printf(
      "usage: cindral code IN OUT [--key TEXT | --key-file FILE]    plain -> coded\n"
      "       cindral decode IN OUT [--key TEXT | --key-file FILE]  coded -> plain\n"
      "       cindral check FILE...                                  coded or not coded\n"
      "       cindral cat FILE [--key TEXT | --key-file FILE]       decode to standard output\n"
      "       cindral --help | --version\n"
      "\n"
      "A file of - is standard input (IN, FILE) or standard output (OUT). OUT is written\n"
      "beside its target and renamed over it when complete; OUT that is IN is refused.\n"
      "Without a key the library's built-in key is used. The coded format is\n"
      "obfuscation, not encryption.\n"
      "\n"
      "options:\n%s"
      "\n"
      "exit status: 0 success (check: every file coded); 1 a file could not be read,\n"
      "coded, decoded or written; 2 usage error; 3 check found a file that is not coded.\n",
      OptionHelp(kOptions, kOptionCount, kAll).c_str());
}

void Version() {
  std::printf("cindral %s\n", QV_TOOLS_VERSION);
  std::printf("Cindral library %s\n", GetCindralVersion());
}

int Complain(const std::string &message) {
  std::fprintf(stderr, "cindral: %s\n", message.c_str());
  return kExitFailed;
}

int Usage(const std::string &message) {
  Complain(message);
  std::fprintf(stderr, "Try 'cindral --help'.\n");
  return kExitUsage;
}

const char *ExplainCoDec(int code) {
  switch (code) {
    case CindralNotFound: return "the source file does not exist";
    case CindralOpenFailed: return "the source file cannot be opened";
    case CindralCreateFailed: return "the destination cannot be created";
    case CindralIoFailed: return "a read or write failed during the transfer";
    case CindralCloseFailed: return "closing a file failed";
    default: return "unknown result";
  }
}

const char *ExplainDecode(int status) {
  switch (status) {
    case CindralNotFound: return "the file does not exist";
    case CindralOpenFailed: return "the file cannot be opened";
    case CindralIoFailed: return "a read failed, or the file is 2 GiB or larger";
    case CindralCloseFailed: return "closing the file failed";
    case CindralBufferTooSmall: return "the buffer is smaller than 1024 bytes";
    case CindralNoHeader: return "not a coded file (shorter than 16 bytes or no header)";
    default: return "unknown status";
  }
}

// Reads the key text of --key-file: the whole file, less one trailing newline.
bool ReadKeyFile(const std::string &path, std::string &key) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return Complain(path + ": " + Reason(errno)), false;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) key.append(chunk, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return Complain(path + ": " + Reason(EIO)), false;
  if (!key.empty() && key.back() == '\n') {
    key.pop_back();
    if (!key.empty() && key.back() == '\r') key.pop_back();
  }
  return true;
}

// Sets the key from --key or --key-file, when one was given.
int SetKey(const std::vector<ParsedOption> &parsed) {
  const ParsedOption *keyOption = nullptr;
  for (const ParsedOption &p : parsed) {
    if (p.option->id != kKey && p.option->id != kKeyFile) continue;
    if (keyOption) return Usage("give one of --key and --key-file, once");
    keyOption = &p;
  }
  if (!keyOption) return kExitOk;
  std::string key;
  if (keyOption->option->id == kKey)
    key = keyOption->text;
  else if (!ReadKeyFile(keyOption->text, key))
    return kExitFailed;
  if (key.find('\0') != std::string::npos) return Complain("the key cannot contain a NUL byte");
  if (key.size() > CINDRAL_KEY_MAX)
    std::fprintf(stderr, "cindral: note: only the first %d characters of the key count\n", CINDRAL_KEY_MAX);
  if (!SetCode(CINDRAL_PASS_PHRASE, key.c_str())) return Complain("the key was refused (an empty key?)");
  return kExitOk;
}

// Cindral takes file names of at most CINDRAL_NAME_MAX characters and refuses
// longer ones; the tool says so before asking it.
bool NameTooLong(const InputFile &in) {
  if (in.path().size() <= CINDRAL_NAME_MAX) return false;
  std::string message = in.display();
  message.append(": the path is ").append(std::to_string(in.path().size()));
  message.append(" characters long; Cindral takes file names of at most ").append(std::to_string(CINDRAL_NAME_MAX));
  Complain(message);
  return true;
}

int CodeOrDecode(bool decode, const std::string &inName, const std::string &outName) {
  InputFile in;
  std::string error;
  if (!in.Open(inName, &error)) return Complain(error);
  if (NameTooLong(in)) return kExitFailed;
  // CoDecFile codes plain files and decodes coded ones; the tool holds the user
  // to the direction asked for, so that nothing is coded twice by mistake.
  const bool coded = in.size() >= CINDRAL_HEADER_SIZE && IsCoded(in.path().c_str()) == CindralCoded;
  if (decode && !coded) return Complain(in.display() + ": not a coded file");
  if (!decode && coded) return Complain(in.display() + ": already coded (use decode)");
  OutputFile out;
  if (!out.Open(outName, &in, &error, CINDRAL_NAME_MAX)) return Complain(error);
  const int result = CoDecFile(in.path().c_str(), out.tempPath().c_str());
  if (result != CindralSuccess)
    return Complain(in.display() + " -> " + out.display() + ": " + std::to_string(result) + ": " +
                    ExplainCoDec(result));
  if (!out.Commit(&error)) return Complain(error);
  return kExitOk;
}

int Check(const std::vector<std::string> &files) {
  int exitCode = kExitOk;
  for (const std::string &file : files) {
    InputFile in;
    std::string error;
    if (!in.Open(file, &error)) {
      Complain(error);
      exitCode = kExitFailed;
      continue;
    }
    // Shorter than the header: plainly not coded.
    if (in.size() >= CINDRAL_HEADER_SIZE && NameTooLong(in)) {
      exitCode = kExitFailed;
      continue;
    }
    const int result = in.size() < CINDRAL_HEADER_SIZE ? CindralNotCoded : IsCoded(in.path().c_str());
    if (result == CindralCoded) {
      std::printf("%s: coded\n", in.display().c_str());
    } else if (result == CindralNotCoded) {
      std::printf("%s: not coded\n", in.display().c_str());
      if (exitCode == kExitOk) exitCode = kExitNotCoded;
    } else {
      Complain(in.display() + ": cannot be read (" + std::to_string(result) + ")");
      exitCode = kExitFailed;
    }
  }
  return exitCode;
}

int Cat(const std::string &file) {
  InputFile in;
  std::string error;
  if (!in.Open(file, &error)) return Complain(error);
  if (NameTooLong(in)) return kExitFailed;
  static unsigned char buffer[1 << 16];
  BufferDecodeRecord record = {};
  record.restart = 1;
  record.fileName = in.path().c_str();
  record.buffer = buffer;
  record.bufferSize = sizeof buffer;
  do {
    DecFile2Buf(&record);
    if (record.status < 0)
      return Complain(in.display() + ": " + std::to_string(record.status) + ": " + ExplainDecode(record.status));
    const size_t n = static_cast<size_t>(record.bytesDelivered);
    if (n && std::fwrite(buffer, 1, n, stdout) != n) return Complain("standard output: " + Reason(errno));
  } while (record.status == CindralMoreData);
  if (std::fflush(stdout) != 0) return Complain("standard output: " + Reason(errno));
  return kExitOk;
}

int Run(int argc, char **argv) {
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return Help(), kExitOk;
  if (command == "--version") return Version(), kExitOk;
  unsigned c = command == "code" ? kCode : command == "decode" ? kDecode : command == "check" ? kCheck
               : command == "cat" ? kCat : command == "version" ? kVersionCommand : 0;
  if (!c) return Usage("unknown command '" + command + "' (code, decode, check, cat or version)");
  std::vector<ParsedOption> parsed;
  std::vector<std::string> operands;
  std::string error;
  if (!ParseOptions(kOptions, kOptionCount, c, command.c_str(), argc, argv, 2, &parsed, &operands, &error))
    return Usage(error);
  for (const ParsedOption &p : parsed) {
    if (p.option->id == kHelp) return Help(), kExitOk;
    if (p.option->id == kVersion) return Version(), kExitOk;
  }
  const size_t want = c == kCode || c == kDecode ? 2 : c == kCat ? 1 : c == kVersionCommand ? 0 : SIZE_MAX;
  if (want == SIZE_MAX ? operands.empty() : operands.size() != want)
    return Usage(command + (want == 0   ? " takes no file"
                            : want == 1 ? " takes one FILE"
                            : want == 2 ? " takes IN and OUT"
                                        : " needs at least one FILE"));
  if (c == kVersionCommand) return std::printf("%s\n", GetCindralVersion()), kExitOk;
  if (int r = SetKey(parsed)) return r;
  if (c == kCheck) return Check(operands);
  if (c == kCat) return Cat(operands[0]);
  return CodeOrDecode(c == kDecode, operands[0], operands[1]);
}

}  // namespace
}  // namespace qvtool

int main(int argc, char **argv) { return qvtool::Run(argc, argv); }
