// Coded fax data from a list of choices: each choice byte (and the byte
// after it, for the choices that take one) becomes one or more whole codes
// of the fax code lists, so that any change to the choices is still a
// sequence of codes. Byte mutation of coded bits shifts or breaks every code
// after the change; mutation of choices keeps the decoder in step, which is
// what it takes to reach long runs, deep rows and the ends of pages.
//
// A choice byte is an operation (high nibble) and an argument (low nibble);
// "next" is the byte after it (0 past the end):
//   0  white terminating code, run next % 64
//   1  black terminating code, run next % 64
//   2  white make-up code, next % 27 (64 to 1728)
//   3  black make-up code, next % 27
//   4  extended make-up code, arg % 13 (1792 to 2560)
//   5  two-dimensional mode code, arg % 9 (pass, horizontal, V0, VR1-3, VL1-3)
//   6  a run of (arg << 8 | next) pixels in the colour that is due, coded as
//      make-up codes and a terminating code
//   7  horizontal mode: its code and two runs (next, and the byte after it)
//   8  EOL after next % 41 fill bits
//   9  a tag bit (arg & 1)
//   A  end of page: RTC (arg & 1; six EOLs, each with tag 1 in MR) or EOFB
//      (two EOLs), then byte alignment when arg & 2
//   B  fill to the next byte boundary
//   C  an extension code: one-dimensional (000000001xxx) when arg & 8, else
//      two-dimensional (0000001xxx), xxx = arg & 7
//   D  (arg & 7) + 1 bits of next as they are (anything, valid or not)
//   E  repeat: the next (arg >> 2) + 1 choices, (next + 1) << (arg & 3)
//      times (up to 1024); repeats do not nest
//   F  a whole valid row of the given width in the coding's framing (MH: the
//      row and byte alignment; T.4 1-D: EOL and the row; MR: EOL, tag and a
//      one-dimensional row, or a two-dimensional one when arg & 8; T.6: a
//      two-dimensional row), its pixels drawn from next by style arg & 7:
//      white, black, short runs, any runs, the previous row moved by up to 3
//      pixels a change, long runs, single pixels, the previous row again.
//      Two-dimensional rows are coded against the previous generated row.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "fax_job.h"

// Bytes of coded data at most; choices past it are dropped.
constexpr size_t kFaxCodedLimit = 1u << 14;

// The coded data of choices for rows of width pixels (width >= 1), first bit
// in the most significant bit, or the least significant with reverse.
std::vector<uint8_t> FaxCodesFromChoices(const uint8_t *choices, size_t n, faxjob::Coding coding,
                                         uint32_t width, bool reverse);
