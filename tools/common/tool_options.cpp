#include "tool_options.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace qvtool {
namespace {

bool ParseNumber(const std::string &text, uint64_t *value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  char *end;
  errno = 0;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end) return false;
  *value = v;
  return true;
}

const ToolOption *Find(const ToolOption *table, size_t count, const std::string &name) {
  for (size_t i = 0; i < count; ++i) {
    const ToolOption &s = table[i];
    if (name == s.longName || (s.shortName && name.size() == 2 && name[0] == '-' && name[1] == s.shortName))
      return &s;
  }
  return nullptr;
}

std::string Spelling(const ToolOption &s) {
  return s.shortName ? std::string("-") + s.shortName + ", " + s.longName : std::string("    ") + s.longName;
}

}  // namespace

bool ParseOptions(const ToolOption *table, size_t count, unsigned command, const char *commandName,
                  int argc, char **argv, int first, std::vector<ParsedOption> *options,
                  std::vector<std::string> *operands, std::string *error) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      operands->push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg, value;
    bool inlineValue = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    const ToolOption *s = Find(table, count, name);
    if (!s) {
      *error = "unknown option '" + arg + "'";
      return false;
    }
    if (!(s->commands & command)) {
      *error = "option '" + name + "' does not apply to " + commandName;
      return false;
    }
    ParsedOption p;
    p.option = s;
    if (s->value) {
      if (!inlineValue) {
        if (i + 1 >= argc) {
          *error = "option '" + name + "' needs a value (" + s->value + ")";
          return false;
        }
        value = argv[++i];
      }
      p.text = value;
      if (s->numeric) {
        if (!ParseNumber(value, &p.number)) {
          *error = "option '" + name + "': '" + value + "' is not a number";
          return false;
        }
        if (p.number < s->min || p.number > s->max) {
          *error = "option '" + name + "': " + value + " is out of range (" + std::to_string(s->min) +
                   " to " + std::to_string(s->max) + ")";
          return false;
        }
      }
    } else if (inlineValue) {
      *error = "option '" + name + "' takes no value";
      return false;
    }
    options->push_back(p);
  }
  return true;
}

std::string OptionHelp(const ToolOption *table, size_t count, unsigned commands) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    const ToolOption &s = table[i];
    if (!(s.commands & commands)) continue;
    std::string left = "  " + Spelling(s);
    if (s.value) left += std::string(" ") + s.value;
    if (left.size() < 28) left.resize(28, ' ');
    else left += "\n" + std::string(28, ' ');
    out += left + s.help + "\n";
  }
  return out;
}

}  // namespace qvtool
