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
  bool allPages = false;        // --page all
  bool fillOrderGiven = false;  // --fax-fill-order
};

// The output of one decoded image.
struct OutputChoice {
  std::string path;    // "-" for standard output
  std::string format;  // "bmp" or "png"
  bool named = false;  // given with -o (else derived from the input's name)
};
// Decides where the image of input goes and in which format.
void ChooseOutput(const Args &a, const std::string &input, OutputChoice *choice);

// Opens an input and settles how to decode it: the image type (--type, else
// from the content, raw fax data by its first rows) and, for raw fax, the bit
// order (--fax-fill-order, else guessed). *options starts as a.options; a
// guess is named in a note on standard error.
bool OpenImage(const std::string &path, const Args &a, InputFile *in, qvhost::Options *options,
               std::string *error);

// Raw Group 3 fax data as its first bytes decode: the coding (G3 or G32D)
// and the FaxFillOrder byte (1 most significant bit first, 2 least) under
// which most rows decode, and the width of the first rows. Candidates are
// narrowed by a given type (0: either coding) and fill order (0: guess).
struct RawFaxGuess {
  uint32_t type = 0;
  uint8_t fillOrder = 1;
  uint32_t width = 0;
  size_t rows = 0;       // rows that decoded from the bytes looked at
  bool eol = false;      // the data starts with an EOL
};
RawFaxGuess GuessRawFax(const uint8_t *head, size_t n, uint32_t type, uint8_t fillOrder);
bool IsRawFaxType(uint32_t type);

// Pages of a TIFF input (-1 for other data).
int CountPages(const InputFile &in);

// A 256-colour PCX file: its colour table follows the rows.
bool TableFollowsRows(const InputFile &in, uint32_t type);

// "quorvin: message" on standard error.
void Complain(const std::string &message);
// "status -7006 (invalid or unsupported header)".
std::string StatusMessage(int32_t status);

// One image of an open input into one output file. name: the input in
// messages (with its page, when every page is decoded). With failure, what
// went wrong goes there instead of to standard error, and no progress bar
// is drawn.
int DecodeImage(const Args &a, const InputFile &in, const std::string &name, qvhost::Options o,
                const OutputChoice &choice, bool printName, std::string *failure = nullptr);
// "scan.png" as the name of page n: "scan-n.png".
std::string PagePath(const std::string &path, int n);

int Decode(const Args &a);
int Info(const Args &a);
int Batch(int argc, char **argv);  // quorvin batch, argv[1] being "batch"

}  // namespace qvtool
