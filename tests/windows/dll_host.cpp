// A host application's view of the two DLLs: load them with LoadLibraryA, find
// the exports with GetProcAddress by their exported names, decode a BMP through
// Corvane and code, test and decode a file through Cindral.
// Usage: dll_host [Quorvin.dll [Cindral.dll]]. Exit code 0 when every check passed.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cindral.h"
#include "quorvin.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char *what) {
  printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

using Bytes = std::vector<uint8_t>;

typedef int32_t(__stdcall *CorvaneFn)(ParamBlock *, int32_t);
typedef unsigned char(__stdcall *SetCodeFn)(const char *, const char *);
typedef int32_t(__stdcall *CoDecFileFn)(const char *, const char *);
typedef const char *(__stdcall *VersionFn)(void);
typedef int32_t(__stdcall *IsCodedFn)(const char *);
typedef void(__stdcall *DecFile2BufFn)(BufferDecodeRecord *);

// GetProcAddress hands back a generic function pointer; go through void *.
template <typename Fn>
Fn Find(HMODULE dll, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

void Put16(Bytes &v, uint32_t x) {
  v.push_back(x & 0xFF);
  v.push_back((x >> 8) & 0xFF);
}
void Put32(Bytes &v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}

// A 5 x 3 24-bit Windows bitmap; rows are 15 bytes padded to 16.
constexpr int kWidth = 5, kHeight = 3, kStride = 16;
Bytes SampleBmp(Bytes *pixels) {
  pixels->clear();
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth * 3; ++x) pixels->push_back(static_cast<uint8_t>(y * 50 + x * 7 + 1));
    while (pixels->size() % kStride) pixels->push_back(0);
  }
  Bytes f;
  f.push_back('B');
  f.push_back('M');
  Put32(f, 54 + pixels->size());
  Put32(f, 0);
  Put32(f, 54);
  Put32(f, 40);
  Put32(f, kWidth);
  Put32(f, kHeight);
  Put16(f, 1);
  Put16(f, 24);
  Put32(f, 0);
  Put32(f, pixels->size());
  Put32(f, 2835);
  Put32(f, 2835);
  Put32(f, 0);
  Put32(f, 0);
  f.insert(f.end(), pixels->begin(), pixels->end());
  return f;
}

// Plays the host side of the protocol with small queues, so the job suspends
// for input and output many times across the DLL boundary.
int32_t Decode(CorvaneFn corvane, const Bytes &file, size_t inSize, size_t outSize, Bytes *out,
               int32_t *status) {
  ParamBlock pb;
  memset(&pb, 0, sizeof pb);
  pb.BlockSize = sizeof pb;
  pb.BlockVersion = 1;
  pb.OperationCode = QV_OPERATION_CODE;
  int32_t r = corvane(&pb, RequestInit);
  if (r != ResponseDone) {
    *status = pb.Status;
    return r;
  }
  std::vector<uint8_t> inStore(inSize), outStore(outSize);
  pb.ImageType = 0;  // 0: Windows bitmap with stored rows ("BMPR" is run-length coded)
  pb.Flags = QV_FLAG_HEADER;
  pb.InputQueue.start = pb.InputQueue.front = pb.InputQueue.rear = inStore.data();
  pb.InputQueue.end = inStore.data() + inSize;
  pb.OutputQueue.start = pb.OutputQueue.front = pb.OutputQueue.rear = outStore.data();
  pb.OutputQueue.end = outStore.data() + outSize;
  size_t fed = 0;
  auto drain = [&] {
    DataQueue &q = pb.OutputQueue;
    while (q.front != q.rear) {
      out->push_back(*q.front);
      if (++q.front == q.end) q.front = q.start;
    }
  };
  r = corvane(&pb, RequestRun);
  for (int steps = 0; steps < 100000; ++steps) {
    if (r == ResponseNeedInput) {
      DataQueue &q = pb.InputQueue;
      // Fill the free room (one byte always stays free).
      while (fed < file.size()) {
        uint8_t *next = q.rear + 1 == q.end ? q.start : q.rear + 1;
        if (next == q.front) break;
        *q.rear = file[fed++];
        q.rear = next;
      }
      if (fed == file.size()) q.flags |= QV_QUEUE_END_OF_DATA;
    } else if (r == ResponseNeedOutput || r == ResponseRowsReady) {
      drain();
    } else {
      break;
    }
    r = corvane(&pb, RequestResume);
  }
  drain();
  *status = pb.Status;
  corvane(&pb, RequestTerminate);
  Check(pb.ContextPointer == nullptr, "request 4 releases the job");
  return r;
}

std::string TempName(const char *prefix) {
  char dir[MAX_PATH], name[MAX_PATH];
  if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, prefix, 0, name)) return "";
  return name;
}

bool WriteAll(const std::string &path, const Bytes &data) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

Bytes ReadAll(const std::string &path) {
  Bytes v;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return v;
  int c;
  while ((c = fgetc(f)) != EOF) v.push_back(static_cast<uint8_t>(c));
  fclose(f);
  return v;
}

void TestQuorvin(const char *dllName) {
  HMODULE dll = LoadLibraryA(dllName);
  Check(dll != nullptr, "LoadLibraryA Quorvin");
  if (!dll) return;
  CorvaneFn corvane = Find<CorvaneFn>(dll, "_Corvane@8");
  Check(corvane != nullptr, "GetProcAddress _Corvane@8");
  Check(GetProcAddress(dll, "Corvane") == nullptr, "no undecorated Corvane export");
  if (corvane) {
    Bytes pixels;
    const Bytes file = SampleBmp(&pixels);
    Bytes first;
    int32_t status = 0;
    const int32_t r = Decode(corvane, file, 7, 11, &first, &status);
    printf("      response %d, status %d, %u output bytes\n", static_cast<int>(r),
           static_cast<int>(status), static_cast<unsigned>(first.size()));
    Check(r == ResponseDone && status == 0, "BMP decode completes");
    BitmapInfoHeader h;
    memset(&h, 0, sizeof h);
    if (first.size() >= sizeof h) memcpy(&h, first.data(), sizeof h);
    Check(h.biSize == 40 && h.biWidth == kWidth && h.biHeight == kHeight && h.biBitCount == 24,
          "bitmap header describes the 5 x 3 24-bit image");
    Check(first.size() >= pixels.size() &&
              Bytes(first.end() - pixels.size(), first.end()) == pixels,
          "rows equal the file's pixel data");
    // The same file through other queue sizes gives the same bytes.
    const size_t sizes[][2] = {{5, 6}, {9, 1000}, {4096, 5}};  // queues hold more than 4 bytes
    for (const auto &s : sizes) {
      Bytes again;
      int32_t st = 0;
      const int32_t r2 = Decode(corvane, file, s[0], s[1], &again, &st);
      printf("      queues %u/%u: response %d, status %d\n", static_cast<unsigned>(s[0]),
             static_cast<unsigned>(s[1]), static_cast<int>(r2), static_cast<int>(st));
      Check(r2 == ResponseDone && again == first, "identical output through other queue sizes");
    }
    // A malformed request is answered, not crashed on.
    ParamBlock pb;
    memset(&pb, 0, sizeof pb);
    Check(corvane(&pb, 9) == ResponseError && pb.Status == QV_ERR_BAD_REQUEST, "request 9 refused with -1504");
  }
  Check(FreeLibrary(dll) != 0, "FreeLibrary Quorvin");
}

void TestCindral(const char *dllName) {
  HMODULE dll = LoadLibraryA(dllName);
  Check(dll != nullptr, "LoadLibraryA Cindral");
  if (!dll) return;
  auto setCode = Find<SetCodeFn>(dll, "SetCode");
  auto coDecFile = Find<CoDecFileFn>(dll, "CoDecFile");
  auto version = Find<VersionFn>(dll, "GetCindralVersion");
  auto isCoded = Find<IsCodedFn>(dll, "IsCoded");
  auto decFile2Buf = Find<DecFile2BufFn>(dll, "DecFile2Buf");
  Check(setCode && coDecFile && version && isCoded && decFile2Buf, "GetProcAddress of the five exports");
  if (!(setCode && coDecFile && version && isCoded && decFile2Buf)) {
    FreeLibrary(dll);
    return;
  }
  Check(strcmp(version(), "2.02") == 0, "GetCindralVersion is 2.02");
  Check(setCode("wrong", "key") == 0, "SetCode refuses a wrong pass phrase");
  Check(setCode(CINDRAL_PASS_PHRASE, "host key") == 1, "SetCode accepts the pass phrase");

  Bytes plain(70001);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
  const std::string src = TempName("qvs"), coded = TempName("qvc"), back = TempName("qvb");
  Check(!src.empty() && WriteAll(src, plain), "temp file written");
  Check(coDecFile(src.c_str(), coded.c_str()) == 0, "CoDecFile codes the file");
  const Bytes codedBytes = ReadAll(coded);
  Check(codedBytes.size() == plain.size() + 16 &&
            memcmp(codedBytes.data(), CINDRAL_HEADER, 16) == 0 &&
            !std::equal(plain.begin(), plain.end(), codedBytes.begin() + 16),
        "coded file is the header and keyed bytes");
  Check(isCoded(coded.c_str()) == 1 && isCoded(src.c_str()) == 0 &&
            isCoded((src + ".missing").c_str()) == -1,
        "IsCoded: 1 coded, 0 plain, -1 missing");
  Check(coDecFile(coded.c_str(), back.c_str()) == 0 && ReadAll(back) == plain,
        "CoDecFile decodes it back");
  Check(coDecFile(src.c_str(), src.c_str()) == -3 && ReadAll(src) == plain,
        "CoDecFile refuses the source as destination");
  // The same file under other names: a hard link, and a path through "..".
  const std::string link = src + ".link";
  const size_t slash = src.find_last_of('\\');
  const std::string dotted = src.substr(0, slash) + "\\.\\..\\" +
                             src.substr(src.find_last_of('\\', slash - 1) + 1);
  Check(CreateHardLinkA(link.c_str(), src.c_str(), nullptr) != 0, "hard link made");
  Check(coDecFile(src.c_str(), link.c_str()) == -3 && coDecFile(src.c_str(), dotted.c_str()) == -3 &&
            ReadAll(src) == plain,
        "CoDecFile refuses the source under another name");
  DeleteFileA(link.c_str());

  Bytes pieces, buffer(1500);
  BufferDecodeRecord rec;
  memset(&rec, 0, sizeof rec);
  rec.restart = 1;
  rec.fileName = coded.c_str();
  rec.buffer = buffer.data();
  rec.bufferSize = static_cast<int32_t>(buffer.size());
  int calls = 0;
  do {
    decFile2Buf(&rec);
    pieces.insert(pieces.end(), buffer.begin(), buffer.begin() + (rec.bytesDelivered > 0 ? rec.bytesDelivered : 0));
  } while (rec.status == 0 && ++calls < 1000);
  Check(rec.status == 1 && pieces == plain && rec.position == static_cast<int32_t>(codedBytes.size()),
        "DecFile2Buf delivers the plain bytes piece by piece");

  DeleteFileA(src.c_str());
  DeleteFileA(coded.c_str());
  DeleteFileA(back.c_str());
  Check(FreeLibrary(dll) != 0, "FreeLibrary Cindral");
}

}  // namespace

int main(int argc, char **argv) {
  TestQuorvin(argc > 1 ? argv[1] : "Quorvin.dll");
  TestCindral(argc > 2 ? argv[2] : "Cindral.dll");
  printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}
