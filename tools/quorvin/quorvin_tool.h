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
  bool inQueueGiven = false;    // --in-queue: stream the input even from a file
  int verbosity = 1;            // 0 -q, 1 notes and the progress bar, 2 -v
};

// The output of one decoded image.
struct OutputChoice {
  std::string path;    // "-" for standard output
  std::string format;  // "bmp", "png" or "dib"
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
  size_t rows = 0;       // rows that decoded from the bytes looked at (+1 for a page that ended)
  bool eol = false;      // the data starts with an EOL
  bool pageEnded = false;  // the whole page lies in the bytes looked at
  bool evidence = false;   // enough to take data without a header for fax: one width over
                           // the first rows, or a standard fax width
};
RawFaxGuess GuessRawFax(const uint8_t *head, size_t n, uint32_t type, uint8_t fillOrder);
bool IsRawFaxType(uint32_t type);

// Pages of a TIFF input (-1 for other data).
int CountPages(const InputFile &in);

// A 256-colour PCX file: its colour table follows the rows.
bool TableFollowsRows(const InputFile &in, uint32_t type);

// "quorvin: message" on standard error: always (Complain), unless -q (Note),
// with -v only (Detail).
void Complain(const std::string &message);
void Note(const Args &a, const std::string &message);
void Detail(const Args &a, const std::string &message);

// Decodes an open input: a regular file mapped and handed over whole (unless
// --in-queue or --chunk-seed ask for the streaming queue), anything else
// streamed. With -v and say, says which.
qvhost::Result DecodeInput(const Args &a, InputFile &in, qvhost::Options o, bool say = true);

// TIFF: a tag's name (null when it has none here); whether the file is
// big-endian; values of a tag record as text ("300/1", "1, 2"), at most
// limit of them; and what stopped a page the reader refused with status
// ("Deflate (8) is not read"), or "" when that says nothing more.
const char *TiffTagName(uint16_t tag);
bool TiffBigEndian(const InputFile &in);
std::string TiffValueText(uint16_t type, const uint8_t *values, size_t size, bool bigEndian, size_t limit);
std::vector<std::string> TiffValueItems(uint16_t type, const uint8_t *values, size_t size, bool bigEndian);
std::string TiffRefusal(const InputFile &in, uint32_t page, int32_t status);
// "status -7006 (invalid or unsupported header)".
std::string StatusMessage(int32_t status);
// The format of an image-type code ("BMP", "TIFF"; QvImageTypeName), or
// "unknown" for a code that is no image type.
std::string FormatOf(uint32_t type);

// One image of an open input into one output file. name: the input in
// messages (with its page, when every page is decoded). With failure, what
// went wrong goes there instead of to standard error, and no progress bar
// is drawn.
int DecodeImage(const Args &a, InputFile &in, const std::string &name, qvhost::Options o,
                const OutputChoice &choice, bool printName, std::string *failure = nullptr);
// "scan.png" as the name of page n: "scan-n.png".
std::string PagePath(const std::string &path, int n);

int Decode(const Args &a);
int Info(const Args &a);
int Batch(int argc, char **argv);  // quorvin batch, argv[1] being "batch"

}  // namespace qvtool
