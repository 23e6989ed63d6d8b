// One table of options per tool: parsing, range checks and the help text
// all come from it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace qvtool {

// Exit codes shared by both tools.
// kExitPartial: quorvin wrote an image the file could only partly give
// (cindral uses 3 for "not coded").
enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitPartial = 3 };

struct ToolOption {
  int id;
  const char *longName;   // "--in-queue"
  char shortName;         // 'o', or 0
  const char *value;      // "BYTES", or nullptr for an option without a value
  bool numeric;           // the value is a number in [min, max]
  uint64_t min, max;
  unsigned commands;      // bit mask of the commands that take the option
  const char *help;
};

struct ParsedOption {
  const ToolOption *option;
  std::string text;     // the value as given
  uint64_t number = 0;  // the value of a numeric option
};

// Parses argv[first..argc): options in any order (--name VALUE, --name=VALUE,
// -x VALUE), operands in order; "-" is an operand and "--" ends the options.
// False with a message that names the offending argument.
bool ParseOptions(const ToolOption *table, size_t count, unsigned command, const char *commandName,
                  int argc, char **argv, int first, std::vector<ParsedOption> *options,
                  std::vector<std::string> *operands, std::string *error);

// "  -o, --output FILE   help" lines for the options of a command mask.
std::string OptionHelp(const ToolOption *table, size_t count, unsigned commands);

}  // namespace qvtool
