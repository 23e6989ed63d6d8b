// The same decode as decode_bmp.c, through the installed C++ host library.
// Usage: decode_bmp_host IN OUT
#include <quorvin_host.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  qvhost::Options options;
  options.flags = QV_FLAG_HEADER;
  options.inQueue = options.outQueue = 4096;
  std::string error;
  qvhost::Result r = qvhost::DecodeFile(argv[1], options, &error);
  if (!r.ok()) {
    fprintf(stderr, "%s: %s (status %d: %s)\n", argv[1], error.c_str(), r.status,
            qvhost::StatusText(r.status));
    return 1;
  }
  uint32_t total = static_cast<uint32_t>(14 + r.output.size());
  uint32_t offset = total - r.header.biSizeImage;
  uint8_t fileHeader[14] = {'B', 'M'};
  memcpy(fileHeader + 2, &total, 4);
  memcpy(fileHeader + 10, &offset, 4);
  FILE *f = fopen(argv[2], "wb");
  bool ok = f && fwrite(fileHeader, 1, 14, f) == 14 &&
            fwrite(r.output.data(), 1, r.output.size(), f) == r.output.size();
  if (f && fclose(f) != 0) ok = false;
  return ok ? 0 : 1;
}
