// quorvin info: what each file decodes to (bitmap header, colour table,
// extra-data records), without decoding more of it than that takes.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "image_view.h"
#include "quorvin_tool.h"
#include "tool_options.h"

namespace qvtool {
namespace {

struct Facts {
  qvhost::Result r;
  uint32_t type = 0;
  uint32_t tableEntries = 0;
  uint32_t page = 0;  // TIFF: the page shown
  int pages = -1;     // and the file's page count
  bool bigEndian = false;  // TIFF: the byte order of tag values
};

// A TIFF tag as the reader hands it over: kind 0x4000 + tag number; data: the
// field type (u16) and value count (u32), little-endian, then the values'
// bytes as they stand in the file.
struct TiffTag {
  uint16_t number = 0, type = 0;
  uint32_t count = 0;
  const uint8_t *values = nullptr;
  size_t size = 0;
  const char *name = nullptr;  // null for a tag without a name here
};

bool AsTiffTag(const Facts &f, const qvhost::ExtraRecord &e, TiffTag *t) {
  if (f.pages < 0 || e.kind < 0x4000 || e.kind > 0x4000 + 0xFFFF || e.data.size() < 6) return false;
  t->number = static_cast<uint16_t>(e.kind - 0x4000);
  t->type = static_cast<uint16_t>(e.data[0] | e.data[1] << 8);
  t->count = e.data[2] | e.data[3] << 8 | e.data[4] << 16 | static_cast<uint32_t>(e.data[5]) << 24;
  t->values = e.data.data() + 6;
  t->size = e.data.size() - 6;
  t->name = TiffTagName(t->number);
  return true;
}

// Types whose values read as numbers: BYTE, SHORT, LONG, RATIONAL and their signed kinds.
bool Numeric(uint16_t type) { return type == 1 || type == 3 || type == 4 || type == 5 || (type >= 8 && type <= 10) || type == 6; }

// The bytes of an ASCII value up to its trailing NULs.
std::string TagBytes(const TiffTag &t) {
  size_t n = t.size;
  while (n && t.values[n - 1] == 0) --n;
  return std::string(reinterpret_cast<const char *>(t.values), n);
}

// Text for a terminal: bytes outside printable ASCII as \xNN.
std::string Printable(const std::string &bytes) {
  std::string s;
  char buf[8];
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      snprintf(buf, sizeof buf, "\\x%02X", c);
      s += buf;
    }
  }
  return s;
}

uint32_t Stride(const BitmapInfoHeader &h) { return static_cast<uint32_t>(qvhost::Stride(h)); }

// Files whose colour table or extra-data records come after the pixels: a
// Targa file with a footer, a 256-colour PCX file; and raw fax data, whose
// height is known only at the end of the page.
bool NeedsWholeFile(const InputFile &in, uint32_t type) {
  uint8_t b[26];
  if (IsRawFaxType(type)) return true;
  if ((type & 0xFFFFFF) == (QV_FOURCC('T', 'G', 'A', 0) & 0xFFFFFF))
    return in.size() >= 26 && pread(in.fd(), b, 26, static_cast<off_t>(in.size() - 26)) == 26 &&
           memcmp(b + 8, "TRUEVISION-XFILE.", 18) == 0;
  return TableFollowsRows(in, type);
}

// Decodes until the header, colour table and extra records are known, then
// ends the job. The rows are counted, never kept.
bool Gather(const Args &a, InputFile &in, qvhost::Options o, Facts *f, int32_t *status, std::string *error) {
  uint32_t type = o.imageType;
  o.interlaceMode = QV_INTERLACE_FINAL_ONLY;
  // Header and table first, then a yield after the first row: the table ends
  // where that row begins.
  o.flags = QV_FLAG_HEADER | QV_FLAG_BATCH;
  o.rowsPerBatch = 1;
  o.outputLimit = UINT32_MAX;
  uint64_t written = 0;
  int64_t tableEnd = -1;
  o.onOutput = [&written](const ParamBlock &, uint64_t pos, const uint8_t *, size_t n) {
    written = std::max(written, pos + n);
    return true;
  };
  bool toEnd = NeedsWholeFile(in, type);
  // TIFF, PNG and JPEG rows may go anywhere in the output first; a TIFF
  // table has 2^depth entries up to 8 bits, none above, and PNG and JPEG
  // state theirs in biClrUsed.
  bool tiff = qvhost::IsTiffType(type);
  bool placed = tiff || type == QV_TYPE_PNG || type == QV_TYPE_JPEG;
  o.keepGoing = [&](int response, const ParamBlock &b) {
    if (tableEnd < 0 && placed) {
      if (response == ResponseRowsReady) tableEnd = 0;
    } else if (tableEnd < 0) {
      uint32_t stride = Stride(b.BitmapHeader);
      if (response == ResponseRowsReady && written >= 40 + uint64_t{stride})
        tableEnd = static_cast<int64_t>(written - stride);
      else if (response == ResponseSeek && (b.SeekTarget & QV_SEEK_OUTPUT))
        tableEnd = static_cast<int64_t>(written);
    }
    return tableEnd < 0 || toEnd;
  };
  f->type = type;
  f->bigEndian = tiff && TiffBigEndian(in);
  f->r = DecodeInput(a, in, o);
  if (in.cut()) {
    *error = kCutShort;
    return false;
  }
  if (!f->r.ok() && !f->r.stopped) {
    *status = f->r.status;
    *error = StatusMessage(f->r.status);
    std::string why = tiff && !IsRawFaxType(type) ? TiffRefusal(in, f->page, f->r.status) : "";
    if (f->r.status == QV_ERR_NO_PAGE) why = "the file has " + std::to_string(f->pages) + " pages";
    if (!why.empty()) *error += ": " + why;
    return false;
  }
  if (f->r.ok()) tableEnd = static_cast<int64_t>(f->r.outputLength) - f->r.header.biSizeImage;
  f->tableEntries = tableEnd > 40 ? static_cast<uint32_t>((tableEnd - 40) / 4) : 0;
  uint16_t bits = f->r.header.biBitCount;
  if (tiff) f->tableEntries = bits <= 8 ? 1u << bits : 0;
  if (placed && !tiff) f->tableEntries = f->r.header.biClrUsed;
  return true;
}

std::string Hex(const uint8_t *d, size_t n, size_t limit, const char *sep) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n && i < limit; ++i) {
    snprintf(buf, sizeof buf, "%02X", d[i]);
    if (i) s += sep;
    s += buf;
  }
  return s;
}

void PrintText(const std::string &name, const Facts &f, bool first) {
  const qvhost::Result &r = f.r;
  const BitmapInfoHeader &h = r.header;
  if (!first) printf("\n");
  printf("file           %s\n", name.c_str());
  std::string code = qvhost::TypeName(f.type), format = FormatOf(f.type);
  printf("image type     %s\n", (code == format ? code : code + " (" + format + ")").c_str());
  printf("bitmap header  size %u, width %d, height %d, planes %u, bits %u, compression %u,\n"
         "               image size %u, resolution %d x %d, colours used %u, important %u\n",
         h.biSize, h.biWidth, h.biHeight, h.biPlanes, h.biBitCount, h.biCompression, h.biSizeImage,
         h.biXPelsPerMeter, h.biYPelsPerMeter, h.biClrUsed, h.biClrImportant);
  printf("colour table   %u entries%s\n", f.tableEntries,
         (r.flags & QV_FLAG_GREY) ? ", grey" : (f.tableEntries ? ", not grey" : ""));
  if (r.flags & QV_FLAG_TRANSPARENT) printf("transparent    index %u\n", r.transparentIndex);
  if (r.fileCompression) printf("compression    %d (in the file)\n", r.fileCompression);
  if (f.pages >= 0) printf("page           %u of %d\n", f.page, f.pages);
  for (const qvhost::ExtraRecord &e : r.extras) {
    TiffTag t;
    if (!AsTiffTag(f, e, &t)) {
      printf("extra record   kind 0x%04X, %zu bytes: %s%s\n", e.kind, e.data.size(),
             Hex(e.data.data(), e.data.size(), 16, " ").c_str(), e.data.size() > 16 ? " ..." : "");
      continue;
    }
    std::string number = std::to_string(t.number);
    std::string label = t.name ? std::string(t.name) + " (" + number + ")" : number;
    if (t.type == 2)
      printf("tag            %s: %s\n", label.c_str(), Printable(TagBytes(t)).c_str());
    else if (Numeric(t.type))
      printf("tag            %s: %s\n", label.c_str(), TiffValueText(t.type, t.values, t.size, f.bigEndian, 16).c_str());
    else
      printf("tag            %s, type %u, %u values: %s%s\n", label.c_str(), t.type, t.count,
             Hex(t.values, t.size, 32, " ").c_str(), t.size > 32 ? " ..." : "");
  }
}

// latin1: bytes from 0x80 are read as Latin-1 characters (TIFF text is
// ASCII; what else it holds still makes valid JSON).
std::string JsonString(const std::string &s, bool latin1 = false) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || (latin1 && c >= 0x80)) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void PrintJson(const std::string &name, const Facts &f) {
  const qvhost::Result &r = f.r;
  const BitmapInfoHeader &h = r.header;
  printf("{\"file\":%s,\"type\":%s,\"format\":%s,\"width\":%d,\"height\":%d,\"planes\":%u,\"bits\":%u,"
         "\"compression\":%u,\"image_size\":%u,\"x_pels_per_meter\":%d,\"y_pels_per_meter\":%d,"
         "\"colours_used\":%u,\"colours_important\":%u,\"grey\":%s,",
         JsonString(name).c_str(), JsonString(qvhost::TypeName(f.type)).c_str(),
         JsonString(FormatOf(f.type)).c_str(), h.biWidth, h.biHeight,
         h.biPlanes, h.biBitCount, h.biCompression, h.biSizeImage, h.biXPelsPerMeter, h.biYPelsPerMeter,
         h.biClrUsed, h.biClrImportant, (r.flags & QV_FLAG_GREY) ? "true" : "false");
  printf("\"colour_table\":[");
  for (uint32_t i = 0; i < f.tableEntries && i < QV_PALETTE_ENTRIES; ++i)
    printf("%s\"#%02x%02x%02x\"", i ? "," : "", r.palette[i].red, r.palette[i].green, r.palette[i].blue);
  printf("],\"transparent_index\":");
  if (r.flags & QV_FLAG_TRANSPARENT)
    printf("%u", r.transparentIndex);
  else
    printf("null");
  printf(",\"file_compression\":%d,", r.fileCompression);
  if (f.pages >= 0)
    printf("\"page\":%u,\"pages\":%d,", f.page, f.pages);
  else
    printf("\"page\":null,\"pages\":null,");
  printf("\"extra\":[");
  for (size_t i = 0; i < r.extras.size(); ++i) {
    const qvhost::ExtraRecord &e = r.extras[i];
    printf("%s{\"kind\":%u,\"length\":%zu,\"data\":\"%s\"", i ? "," : "", e.kind, e.data.size(),
           Hex(e.data.data(), e.data.size(), SIZE_MAX, "").c_str());
    TiffTag t;
    if (AsTiffTag(f, e, &t)) {
      printf(",\"tag\":%u,\"name\":%s,\"field_type\":%u,\"count\":%u,", t.number,
             t.name ? JsonString(t.name).c_str() : "null", t.type, t.count);
      if (t.type == 2) {
        printf("\"text\":%s", JsonString(TagBytes(t), true).c_str());
      } else if (Numeric(t.type)) {
        // Numbers; a rational as the text "numerator/denominator".
        std::vector<std::string> items = TiffValueItems(t.type, t.values, t.size, f.bigEndian);
        const char *quote = t.type == 5 || t.type == 10 ? "\"" : "";
        printf("\"values\":[");
        for (size_t k = 0; k < items.size(); ++k) printf("%s%s%s%s", k ? "," : "", quote, items[k].c_str(), quote);
        printf("]");
      } else {
        printf("\"values\":\"%s\"", Hex(t.values, t.size, SIZE_MAX, "").c_str());
      }
    }
    printf("}");
  }
  printf("]}\n");
}

// A file that could not be shown, as a JSON line of its own: its name, the
// status (null for a failure outside the decoder) and the message.
void PrintJsonFailure(const std::string &name, const int32_t *status, const std::string &message) {
  printf("{\"file\":%s,\"status\":%s,\"error\":%s}\n", JsonString(name).c_str(),
         status ? std::to_string(*status).c_str() : "null", JsonString(message).c_str());
}

}  // namespace

int Info(const Args &a) {
  int result = kExitOk;
  bool first = true;
  for (const std::string &path : a.inputs) {
    InputFile in;
    qvhost::Options o;
    std::string error;
    if (!OpenImage(path, a, &in, &o, &error)) {
      Complain(error);
      // The message names the file first; the JSON line names it apart.
      std::string display = path == "-" ? "standard input" : path;
      if (a.json)
        PrintJsonFailure(display, nullptr,
                         error.compare(0, display.size() + 2, display + ": ") == 0 ? error.substr(display.size() + 2)
                                                                                  : error);
      result = kExitFailed;
      continue;
    }
    bool tiff = qvhost::IsTiffType(o.imageType) && !IsRawFaxType(o.imageType);
    int pages = tiff ? CountPages(in) : -1;
    uint32_t firstPage = std::max<uint32_t>(o.pageNumber, 1), lastPage = firstPage;
    if (a.allPages && tiff) firstPage = 1, lastPage = static_cast<uint32_t>(std::max(pages, 1));
    for (uint32_t page = firstPage; page >= firstPage && page <= lastPage; ++page) {
      Facts f;
      f.pages = pages;
      f.page = page;
      o.pageNumber = page;
      std::string name = in.display() + (lastPage > firstPage ? " page " + std::to_string(page) : "");
      int32_t status = 0;
      if (!Gather(a, in, o, &f, &status, &error)) {
        Complain(name + ": " + error);
        if (a.json) PrintJsonFailure(in.display(), in.cut() ? nullptr : &status, error);
        result = kExitFailed;
        continue;
      }
      if (a.json)
        PrintJson(in.display(), f);
      else
        PrintText(in.display(), f, first);
      first = false;
    }
  }
  fflush(stdout);
  return result;
}

}  // namespace qvtool
