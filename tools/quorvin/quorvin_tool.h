// The quorvin command-line tool: one function per command, one place that
// names outputs, shared helpers for inputs and messages.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "quorvin_host.h"
#include "tool_files.h"

namespace qvtool {

enum Command : unsigned { kDecode = 1, kInfo = 2 };

struct Args {
  unsigned command = 0;
  std::vector<std::string> inputs;  // "-" is standard input
  std::string output;               // -o: a path, "-" for standard output, "" for the default
  std::string format;               // --format: "bmp", "png", or "" to decide from the output name
  qvhost::Options options;          // decode options from the command line
  bool typeGiven = false, interlaceGiven = false, json = false;
};

// The output of one decoded image.
struct OutputChoice {
  std::string path;    // "-" for standard output
  std::string format;  // "bmp" or "png"
  bool named = false;  // given with -o (else derived from the input's name)
};
// Decides where the image of input goes and in which format.
void ChooseOutput(const Args &a, const std::string &input, OutputChoice *choice);

// Opens an input and settles its image type (--type, else from the content).
bool OpenImage(const std::string &path, const Args &a, InputFile *in, uint32_t *type,
               std::string *error);

// A 256-colour PCX file: its colour table follows the rows.
bool TableFollowsRows(const InputFile &in, uint32_t type);

// "quorvin: message" on standard error.
void Complain(const std::string &message);
// "status -7006 (invalid or unsupported header)".
std::string StatusMessage(int32_t status);

int Decode(const Args &a);
int Info(const Args &a);

}  // namespace qvtool
