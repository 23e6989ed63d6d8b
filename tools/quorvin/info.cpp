// quorvin info: what each file decodes to (bitmap header, colour table,
// extra-data records), without decoding more of it than that takes.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "quorvin_tool.h"
#include "tool_options.h"

namespace qvtool {
namespace {

struct Facts {
  qvhost::Result r;
  uint32_t type = 0;
  uint32_t tableEntries = 0;
};

uint32_t Stride(const BitmapInfoHeader &h) {
  uint64_t width = h.biWidth < 0 ? 0 : static_cast<uint64_t>(h.biWidth);
  return static_cast<uint32_t>(((h.biBitCount * width + 31) / 32) * 4);
}

// Files whose colour table or extra-data records come after the pixels: a
// Targa file with a footer, a 256-colour PCX file.
bool NeedsWholeFile(const InputFile &in, uint32_t type) {
  uint8_t b[26];
  if ((type & 0xFFFFFF) == (QV_FOURCC('T', 'G', 'A', 0) & 0xFFFFFF))
    return in.size() >= 26 && pread(in.fd(), b, 26, static_cast<off_t>(in.size() - 26)) == 26 &&
           memcmp(b + 8, "TRUEVISION-XFILE.", 18) == 0;
  return TableFollowsRows(in, type);
}

// Decodes until the header, colour table and extra records are known, then
// ends the job. The rows are counted, never kept.
bool Gather(const InputFile &in, const Args &a, uint32_t type, Facts *f, std::string *error) {
  qvhost::Options o = a.options;
  o.imageType = type;
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
  o.keepGoing = [&](int response, const ParamBlock &b) {
    if (tableEnd < 0) {
      uint32_t stride = Stride(b.BitmapHeader);
      if (response == ResponseRowsReady && written >= 40 + uint64_t{stride})
        tableEnd = static_cast<int64_t>(written - stride);
      else if (response == ResponseSeek && (b.SeekTarget & QV_SEEK_OUTPUT))
        tableEnd = static_cast<int64_t>(written);
    }
    return tableEnd < 0 || toEnd;
  };
  f->type = type;
  f->r = qvhost::DecodeFd(in.fd(), o);
  if (!f->r.ok() && !f->r.stopped) {
    *error = in.display() + ": " + StatusMessage(f->r.status) + " as " + qvhost::TypeName(type);
    return false;
  }
  if (f->r.ok()) tableEnd = static_cast<int64_t>(f->r.outputLength) - f->r.header.biSizeImage;
  f->tableEntries = tableEnd > 40 ? static_cast<uint32_t>((tableEnd - 40) / 4) : 0;
  return true;
}

std::string Hex(const std::vector<uint8_t> &d, size_t limit, const char *sep) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < d.size() && i < limit; ++i) {
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
  printf("image type     %s\n", qvhost::TypeName(f.type).c_str());
  printf("bitmap header  size %u, width %d, height %d, planes %u, bits %u, compression %u,\n"
         "               image size %u, resolution %d x %d, colours used %u, important %u\n",
         h.biSize, h.biWidth, h.biHeight, h.biPlanes, h.biBitCount, h.biCompression, h.biSizeImage,
         h.biXPelsPerMeter, h.biYPelsPerMeter, h.biClrUsed, h.biClrImportant);
  printf("colour table   %u entries%s\n", f.tableEntries,
         (r.flags & QV_FLAG_GREY) ? ", grey" : (f.tableEntries ? ", not grey" : ""));
  if (r.flags & QV_FLAG_TRANSPARENT) printf("transparent    index %u\n", r.transparentIndex);
  if (r.fileCompression) printf("compression    %d (in the file)\n", r.fileCompression);
  for (const qvhost::ExtraRecord &e : r.extras)
    printf("extra record   kind 0x%04X, %zu bytes: %s%s\n", e.kind, e.data.size(),
           Hex(e.data, 16, " ").c_str(), e.data.size() > 16 ? " ..." : "");
}

std::string JsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
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
  printf("{\"file\":%s,\"type\":%s,\"width\":%d,\"height\":%d,\"planes\":%u,\"bits\":%u,"
         "\"compression\":%u,\"image_size\":%u,\"x_pels_per_meter\":%d,\"y_pels_per_meter\":%d,"
         "\"colours_used\":%u,\"colours_important\":%u,\"grey\":%s,",
         JsonString(name).c_str(), JsonString(qvhost::TypeName(f.type)).c_str(), h.biWidth, h.biHeight,
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
  printf(",\"file_compression\":%d,\"extra\":[", r.fileCompression);
  for (size_t i = 0; i < r.extras.size(); ++i)
    printf("%s{\"kind\":%u,\"length\":%zu,\"data\":\"%s\"}", i ? "," : "", r.extras[i].kind,
           r.extras[i].data.size(), Hex(r.extras[i].data, SIZE_MAX, "").c_str());
  printf("]}\n");
}

}  // namespace

int Info(const Args &a) {
  int result = kExitOk;
  bool first = true;
  for (const std::string &path : a.inputs) {
    InputFile in;
    uint32_t type = 0;
    std::string error;
    Facts f;
    if (!OpenImage(path, a, &in, &type, &error) || !Gather(in, a, type, &f, &error)) {
      Complain(error);
      result = kExitFailed;
      continue;
    }
    if (a.json)
      PrintJson(in.display(), f);
    else
      PrintText(in.display(), f, first);
    first = false;
  }
  fflush(stdout);
  return result;
}

}  // namespace qvtool
