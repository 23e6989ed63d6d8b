// cindral: code, decode, check and print coded files from the command line.
#include <cindral.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: cindral code IN OUT [--key TEXT | --key-file F]\n"
    "       cindral decode IN OUT [--key TEXT | --key-file F]\n"
    "       cindral check FILE...\n"
    "       cindral cat FILE [--key TEXT | --key-file F]\n"
    "       cindral version\n"
    "Without a key the library's built-in key is used. The coded format is\n"
    "obfuscation, not encryption.\n";

const char* ExplainCoDec(int code) {
  switch (code) {
    case CindralNotFound: return "the source file does not exist";
    case CindralOpenFailed: return "the source file cannot be opened";
    case CindralCreateFailed: return "the destination cannot be created, or is the source file itself";
    case CindralIoFailed: return "a read or write failed during the transfer";
    case CindralCloseFailed: return "closing a file failed";
    default: return "unknown result";
  }
}

const char* ExplainDecode(int status) {
  switch (status) {
    case CindralNotFound: return "the file does not exist";
    case CindralOpenFailed: return "the file cannot be opened";
    case CindralIoFailed: return "a read failed, or the file is 2 GiB or larger";
    case CindralCloseFailed: return "closing the file failed";
    case CindralBufferTooSmall: return "the buffer is smaller than 1024 bytes";
    case CindralNoHeader: return "the file is not coded (shorter than 16 bytes or no header)";
    default: return "unknown status";
  }
}

int Fail(const char* message) {
  std::fprintf(stderr, "cindral: %s\n", message);
  return 1;
}

// Reads the key text of --key-file: the whole file, less one trailing newline.
bool ReadKeyFile(const char* path, std::string& key) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    std::fprintf(stderr, "cindral: cannot open key file %s: %s\n", path, std::strerror(errno));
    return false;
  }
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) key.append(chunk, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    std::fprintf(stderr, "cindral: cannot read key file %s\n", path);
    return false;
  }
  if (!key.empty() && key.back() == '\n') {
    key.pop_back();
    if (!key.empty() && key.back() == '\r') key.pop_back();
  }
  return true;
}

// Splits the arguments after the command into file operands and the key
// option, and sets the key when one was given.
bool TakeOperands(int argc, char** argv, std::vector<const char*>& operands) {
  bool haveKey = false;
  std::string key;
  for (int a = 2; a < argc; ++a) {
    const bool inline_key = std::strcmp(argv[a], "--key") == 0;
    const bool file_key = std::strcmp(argv[a], "--key-file") == 0;
    if (inline_key || file_key) {
      if (haveKey) return Fail("give one of --key and --key-file, once"), false;
      if (a + 1 >= argc) return Fail("the key option needs a value"), false;
      haveKey = true;
      ++a;
      if (inline_key) {
        key = argv[a];
      } else if (!ReadKeyFile(argv[a], key)) {
        return false;
      }
    } else {
      operands.push_back(argv[a]);
    }
  }
  if (!haveKey) return true;
  if (key.find('\0') != std::string::npos) return Fail("the key cannot contain a NUL byte"), false;
  if (key.size() > CINDRAL_KEY_MAX)
    std::fprintf(stderr, "cindral: note: only the first %d characters of the key count\n", CINDRAL_KEY_MAX);
  if (!SetCode(CINDRAL_PASS_PHRASE, key.c_str())) return Fail("the key was refused (an empty key?)"), false;
  return true;
}

int CodeOrDecode(bool decode, const char* in, const char* out) {
  // CoDecFile codes plain files and decodes coded ones; the tool holds the user
  // to the direction asked for, so that nothing is coded twice by mistake.
  const int coded = IsCoded(in);
  if (decode && coded != CindralCoded) {
    std::fprintf(stderr, "cindral: %s is not a coded file\n", in);
    return 1;
  }
  if (!decode && coded == CindralCoded) {
    std::fprintf(stderr, "cindral: %s is already coded (use decode)\n", in);
    return 1;
  }
  const int result = CoDecFile(in, out);
  if (result != CindralSuccess) {
    std::fprintf(stderr, "cindral: %s -> %s: %d: %s\n", in, out, result, ExplainCoDec(result));
    return 1;
  }
  return 0;
}

int Check(const std::vector<const char*>& files) {
  int exitCode = 0;
  for (const char* file : files) {
    const int result = IsCoded(file);
    if (result == CindralCoded) {
      std::printf("%s: coded\n", file);
    } else if (result == CindralNotCoded) {
      std::printf("%s: not coded\n", file);
    } else {
      std::printf("%s: error %d: missing, shorter than 16 bytes or unreadable\n", file, result);
      exitCode = 1;
    }
  }
  return exitCode;
}

int Cat(const char* file) {
  static unsigned char buffer[1 << 16];
  BufferDecodeRecord record = {};
  record.restart = 1;
  record.fileName = file;
  record.buffer = buffer;
  record.bufferSize = sizeof buffer;
  do {
    DecFile2Buf(&record);
    if (record.status < 0) {
      std::fprintf(stderr, "cindral: %s: %d: %s\n", file, record.status, ExplainDecode(record.status));
      return 1;
    }
    const size_t n = static_cast<size_t>(record.bytesDelivered);
    if (n && std::fwrite(buffer, 1, n, stdout) != n) return Fail("cannot write to standard output");
  } while (record.status == CindralMoreData);
  if (std::fflush(stdout) != 0) return Fail("cannot write to standard output");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "version") {
    std::printf("%s\n", GetCindralVersion());
    return 0;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<const char*> operands;
  if (command == "code" || command == "decode") {
    if (!TakeOperands(argc, argv, operands)) return 1;
    if (operands.size() != 2) return std::fputs(kUsage, stderr), 2;
    return CodeOrDecode(command == "decode", operands[0], operands[1]);
  }
  if (command == "cat") {
    if (!TakeOperands(argc, argv, operands)) return 1;
    if (operands.size() != 1) return std::fputs(kUsage, stderr), 2;
    return Cat(operands[0]);
  }
  if (command == "check") {
    for (int a = 2; a < argc; ++a) operands.push_back(argv[a]);
    if (operands.empty()) return std::fputs(kUsage, stderr), 2;
    return Check(operands);
  }
  std::fprintf(stderr, "cindral: unknown command '%s'\n", argv[1]);
  std::fputs(kUsage, stderr);
  return 2;
}
