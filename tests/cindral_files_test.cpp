// The Cindral exports on real files: coded format, key store, whole-file and
// piecewise decoding, and the refusals that keep files safe.
#include <gtest/gtest.h>

#include <cindral.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cindral_internal.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kHeader = CINDRAL_HEADER;

// Plain RC4 written from the definition, independent of the library's core.
Bytes KeyStream(const Bytes& key, size_t n) {
  uint8_t s[256];
  for (int x = 0; x < 256; ++x) s[x] = static_cast<uint8_t>(x);
  for (int x = 0, j = 0; x < 256; ++x) {
    j = (j + s[x] + key[x % key.size()]) % 256;
    std::swap(s[x], s[j]);
  }
  Bytes out(n);
  for (size_t q = 0, i = 0, j = 0; q < n; ++q) {
    i = (i + 1) % 256;
    j = (j + s[i]) % 256;
    std::swap(s[i], s[j]);
    out[q] = s[(s[i] + s[j]) % 256];
  }
  return out;
}

Bytes Xor(Bytes data, const Bytes& stream) {
  for (size_t k = 0; k < data.size(); ++k) data[k] ^= stream[k];
  return data;
}

Bytes KeyOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

const Bytes kDefaultKey(129, 0);

Bytes Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// The coded form of `plain` under `key`, computed without the library.
Bytes CodedForm(const Bytes& plain, const Bytes& key) {
  Bytes out(kHeader.begin(), kHeader.end());
  const Bytes body = Xor(plain, KeyStream(key, plain.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

class CindralFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "cindral-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    cindral::RestoreDefaultKey();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    cindral::RestoreDefaultKey();
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  std::string Write(const std::string& name, const Bytes& data) const {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    return path;
  }

  static Bytes Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  static void SetKey(const std::string& key) { ASSERT_EQ(SetCode(CINDRAL_PASS_PHRASE, key.c_str()), 1); }

  // Decodes a whole file through DecFile2Buf with a buffer size chosen per call.
  template <typename NextSize>
  static Bytes DecodePiecewise(const std::string& path, NextSize nextSize, int16_t* finalStatus = nullptr) {
    Bytes out;
    Bytes buffer;
    BufferDecodeRecord r = {};
    r.restart = 1;
    r.fileName = path.c_str();
    do {
      buffer.assign(static_cast<size_t>(nextSize()), 0xcc);
      r.buffer = buffer.data();
      r.bufferSize = static_cast<int32_t>(buffer.size());
      DecFile2Buf(&r);
      if (r.status < 0) break;
      EXPECT_LE(r.bytesDelivered, r.bufferSize);
      out.insert(out.end(), buffer.begin(), buffer.begin() + r.bytesDelivered);
    } while (r.status == CindralMoreData);
    if (finalStatus) *finalStatus = r.status;
    return out;
  }

  fs::path dir_;
};

// Code and decode across the sizes where the header rule and the 64 KiB
// transfer pieces change behaviour; the coded bytes are checked against an
// independent RC4, under the load-time key and under a host key.
TEST_F(CindralFiles, RoundTripsAcrossSizeBoundaries) {
  for (const bool hostKey : {false, true}) {
    if (hostKey) SetKey("correct horse");
    const Bytes key = hostKey ? KeyOf("correct horse") : kDefaultKey;
    for (const size_t size : {0u, 1u, 15u, 16u, 17u, 65535u, 65536u, 65537u, 3u * 65536u + 100u}) {
      SCOPED_TRACE(testing::Message() << "size " << size << (hostKey ? " host key" : " default key"));
      const Bytes plain = Pattern(size, static_cast<uint32_t>(size));
      const std::string in = Write("plain", plain);
      ASSERT_EQ(CoDecFile(in.c_str(), Path("coded").c_str()), CindralSuccess);
      const Bytes coded = Read(Path("coded"));
      ASSERT_EQ(coded.size(), size + 16);
      EXPECT_EQ(coded, CodedForm(plain, key));
      EXPECT_EQ(IsCoded(Path("coded").c_str()), CindralCoded);
      ASSERT_EQ(CoDecFile(Path("coded").c_str(), Path("back").c_str()), CindralSuccess);
      EXPECT_EQ(Read(Path("back")), plain);
    }
  }
}

// Whatever its origin, a file that starts with the header is decoded.
TEST_F(CindralFiles, HeaderAtTheStartMeansCoded) {
  Bytes data(kHeader.begin(), kHeader.end());
  const Bytes tail = KeyOf("not really ciphertext");
  data.insert(data.end(), tail.begin(), tail.end());
  const std::string in = Write("lookalike", data);
  ASSERT_EQ(CoDecFile(in.c_str(), Path("out").c_str()), CindralSuccess);
  EXPECT_EQ(Read(Path("out")), Xor(tail, KeyStream(kDefaultKey, tail.size())));
}

TEST_F(CindralFiles, SetCodeRefusalsKeepThePreviousKey) {
  SetKey("first key");
  struct Case {
    const char* pass;
    const char* key;
  };
  const Case refused[] = {
      {"lumagateon", "other"}, {"LumaGateO", "other"}, {"LumaGateOn ", "other"},
      {"", "other"},           {nullptr, "other"},     {CINDRAL_PASS_PHRASE, ""},
      {CINDRAL_PASS_PHRASE, nullptr},
  };
  for (const Case& c : refused) EXPECT_EQ(SetCode(c.pass, c.key), 0) << (c.pass ? c.pass : "(null)");
  const Bytes plain = Pattern(300, 1);
  ASSERT_EQ(CoDecFile(Write("p", plain).c_str(), Path("c").c_str()), CindralSuccess);
  EXPECT_EQ(Read(Path("c")), CodedForm(plain, KeyOf("first key")));
}

// Only the first 128 characters of a key count; 128 itself is kept whole.
TEST_F(CindralFiles, LongKeysKeepTheirFirst128Characters) {
  std::string key;
  for (int k = 0; k < 300; ++k) key += static_cast<char>('!' + k % 90);
  const Bytes plain = Pattern(5000, 2);
  for (const size_t length : {127u, 128u, 129u, 255u, 300u}) {
    SetKey(key.substr(0, length));
    ASSERT_EQ(CoDecFile(Write("p", plain).c_str(), Path("c").c_str()), CindralSuccess);
    EXPECT_EQ(Read(Path("c")), CodedForm(plain, KeyOf(key.substr(0, std::min<size_t>(length, 128)))))
        << "length " << length;
  }
}

// Coding a file onto itself used to truncate it before reading; now every way
// of naming the source as destination is refused with -3 and nothing changes.
TEST_F(CindralFiles, RefusesTheSourceAsDestination) {
  const Bytes plain = Pattern(70000, 3);
  const std::string src = Write("source", plain);
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  ASSERT_EQ(link(src.c_str(), Path("hardlink").c_str()), 0);
  ASSERT_EQ(symlink(src.c_str(), Path("symlink").c_str()), 0);
  for (const std::string& dest : {src, Path("sub/../source"), Path("hardlink"), Path("symlink")}) {
    EXPECT_EQ(CoDecFile(src.c_str(), dest.c_str()), CindralCreateFailed) << dest;
    EXPECT_EQ(Read(src), plain) << dest;
  }
  // The same holds when the source is the coded file.
  ASSERT_EQ(CoDecFile(src.c_str(), Path("coded").c_str()), CindralSuccess);
  const Bytes coded = Read(Path("coded"));
  EXPECT_EQ(CoDecFile(Path("coded").c_str(), Path("coded").c_str()), CindralCreateFailed);
  EXPECT_EQ(Read(Path("coded")), coded);
}

TEST_F(CindralFiles, CoDecFileFailures) {
  const std::string src = Write("src", Pattern(10, 4));
  ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
  struct Case {
    std::string source, dest;
    int32_t result;
  };
  const Case cases[] = {
      {Path("missing"), Path("never-made"), CindralNotFound},
      {Path("dir"), Path("never-made"), CindralOpenFailed},
      {src, Path("no-such-dir/out"), CindralCreateFailed},
      {src, Path("dir"), CindralCreateFailed},
  };
  for (const Case& c : cases) EXPECT_EQ(CoDecFile(c.source.c_str(), c.dest.c_str()), c.result) << c.source << " -> " << c.dest;
  EXPECT_FALSE(fs::exists(Path("never-made")));
  EXPECT_EQ(CoDecFile(nullptr, Path("x").c_str()), CindralNotFound);
  EXPECT_EQ(CoDecFile(src.c_str(), nullptr), CindralCreateFailed);
}

TEST_F(CindralFiles, IsCodedResults) {
  ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
  std::string lower = kHeader;
  lower[0] = 'q';
  struct Case {
    std::string name;
    Bytes data;
    int32_t result;
  };
  const Case cases[] = {
      {"header-only", KeyOf(kHeader), CindralCoded},
      {"header-and-more", KeyOf(kHeader + "payload"), CindralCoded},
      {"case-differs", KeyOf(lower + "payload"), CindralNotCoded},
      {"plain-16", KeyOf("0123456789abcdef"), CindralNotCoded},
      {"short-15", KeyOf(kHeader.substr(0, 15)), CindralNotFound},
      {"empty", {}, CindralNotFound},
  };
  for (const Case& c : cases) EXPECT_EQ(IsCoded(Write(c.name, c.data).c_str()), c.result) << c.name;
  EXPECT_EQ(IsCoded(Path("missing").c_str()), CindralNotFound);
  EXPECT_EQ(IsCoded(Path("dir").c_str()), CindralNotFound);
  EXPECT_EQ(IsCoded(nullptr), CindralNotFound);
}

// Names of up to 255 characters work; longer ones are refused, never cut:
// cut, P + ".coded" would name (and overwrite) an existing 255-character P.
TEST_F(CindralFiles, NamesLongerThan255CharactersAreRefused) {
  std::string name = Path("");
  ASSERT_LT(name.size(), 200u);
  name += std::string(255 - name.size(), 'n');
  ASSERT_EQ(name.size(), 255u);
  const Bytes plain = Pattern(100, 5);
  Write(fs::path(name).filename().string(), plain);
  EXPECT_EQ(IsCoded(name.c_str()), CindralNotCoded);
  ASSERT_EQ(CoDecFile(name.c_str(), Path("c").c_str()), CindralSuccess);
  EXPECT_EQ(Read(Path("c")), CodedForm(plain, kDefaultKey));

  const std::string longer = name + ".coded";
  EXPECT_EQ(CoDecFile(name.c_str(), longer.c_str()), CindralCreateFailed);
  EXPECT_EQ(Read(name), plain);
  EXPECT_EQ(CoDecFile(longer.c_str(), Path("never-made").c_str()), CindralOpenFailed);
  EXPECT_FALSE(fs::exists(Path("never-made")));
  EXPECT_EQ(IsCoded(longer.c_str()), CindralNotFound);
  int16_t status = 0;
  EXPECT_TRUE(DecodePiecewise(longer, [] { return 1024; }, &status).empty());
  EXPECT_EQ(status, CindralOpenFailed);
}

// A destination that exists but is not a regular file (a FIFO with or
// without a reader, a device) is refused at once; nothing is written to it.
TEST_F(CindralFiles, DestinationMustBeARegularFileOrANewName) {
  const std::string src = Write("src", Pattern(5000, 6));
#ifdef _WIN32
  const std::string device = "NUL";
#else
  const std::string device = "/dev/null";
  const std::string fifo = Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  alarm(60);  // a call that blocks fails the test instead of hanging it
  EXPECT_EQ(CoDecFile(src.c_str(), fifo.c_str()), CindralCreateFailed);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(CoDecFile(src.c_str(), fifo.c_str()), CindralCreateFailed);
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);
  alarm(0);
#endif
  EXPECT_EQ(CoDecFile(src.c_str(), device.c_str()), CindralCreateFailed);
  // An existing regular file is still replaced.
  Write("existing", Pattern(9, 7));
  EXPECT_EQ(CoDecFile(src.c_str(), Path("existing").c_str()), CindralSuccess);
  EXPECT_EQ(Read(Path("existing")), CodedForm(Read(src), kDefaultKey));
}

TEST_F(CindralFiles, VersionIs202) {
  const char* first = GetCindralVersion();
  EXPECT_STREQ(first, "2.02");
  EXPECT_EQ(GetCindralVersion(), first);
}

// Protocol stress: fixed, odd and randomly changing buffer sizes must all give
// the bytes that CoDecFile gives.
TEST_F(CindralFiles, PiecewiseDecodeEqualsWholeFileDecode) {
  SetKey("stress");
  for (const size_t size : {0u, 1u, 1023u, 1024u, 1025u, 65536u, 200001u}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    const Bytes plain = Pattern(size, static_cast<uint32_t>(size) + 7);
    ASSERT_EQ(CoDecFile(Write("p", plain).c_str(), Path("c").c_str()), CindralSuccess);
    ASSERT_EQ(CoDecFile(Path("c").c_str(), Path("back").c_str()), CindralSuccess);
    ASSERT_EQ(Read(Path("back")), plain);
    for (const int fixed : {1024, 1025, 4093, 65536, 65537, static_cast<int>(size) + 1}) {
      if (fixed < CINDRAL_MIN_BUFFER) continue;
      int16_t status = 0;
      EXPECT_EQ(DecodePiecewise(Path("c"), [&] { return fixed; }, &status), plain) << "buffer " << fixed;
      EXPECT_EQ(status, CindralLastPiece);
    }
    std::mt19937 rng(static_cast<uint32_t>(size));
    std::uniform_int_distribution<int> pick(CINDRAL_MIN_BUFFER, 9000);
    EXPECT_EQ(DecodePiecewise(Path("c"), [&] { return pick(rng); }), plain) << "random sizes";
  }
}

// Exact fit: one call, status 1. One byte more: a full buffer with status 0,
// then the last byte with status 1. A header-only file: 0 bytes, status 1.
TEST_F(CindralFiles, DecFile2BufPieceBoundaries) {
  const int32_t bufferSize = 2048;
  struct Case {
    size_t plainSize;
    std::vector<std::pair<int32_t, int16_t>> calls;  // bytesDelivered, status
  };
  const Case cases[] = {
      {2048, {{2048, CindralLastPiece}}},
      {2049, {{2048, CindralMoreData}, {1, CindralLastPiece}}},
      {0, {{0, CindralLastPiece}}},
      {4096, {{2048, CindralMoreData}, {2048, CindralLastPiece}}},
  };
  for (const Case& c : cases) {
    const Bytes plain = Pattern(c.plainSize, 9);
    ASSERT_EQ(CoDecFile(Write("p", plain).c_str(), Path("c").c_str()), CindralSuccess);
    const std::string coded = Path("c");
    Bytes buffer(bufferSize);
    BufferDecodeRecord r = {};
    r.restart = 1;
    r.fileName = coded.c_str();
    r.buffer = buffer.data();
    r.bufferSize = bufferSize;
    Bytes out;
    int32_t expectedPosition = 16;
    for (const auto& [delivered, status] : c.calls) {
      DecFile2Buf(&r);
      EXPECT_EQ(r.restart, 0);
      EXPECT_EQ(r.bytesDelivered, delivered) << "size " << c.plainSize;
      EXPECT_EQ(r.status, status) << "size " << c.plainSize;
      expectedPosition += delivered;
      EXPECT_EQ(r.position, expectedPosition);
      out.insert(out.end(), buffer.begin(), buffer.begin() + r.bytesDelivered);
    }
    EXPECT_EQ(out, plain) << "size " << c.plainSize;
  }
}

// bufferSize 1023 is refused, but only after the restart took effect: the key
// schedule ran and position went back to 0, so the next call starts afresh.
TEST_F(CindralFiles, SmallBufferRefusedAfterRestart) {
  const Bytes plain = Pattern(5000, 10);
  ASSERT_EQ(CoDecFile(Write("p", plain).c_str(), Path("c").c_str()), CindralSuccess);
  const std::string coded = Path("c");
  Bytes buffer(4096);
  BufferDecodeRecord r = {};
  r.restart = 1;
  r.fileName = coded.c_str();
  r.buffer = buffer.data();
  r.bufferSize = 1500;
  DecFile2Buf(&r);
  ASSERT_EQ(r.status, CindralMoreData);
  ASSERT_EQ(r.position, 16 + 1500);

  r.restart = 1;
  r.bufferSize = 1023;
  DecFile2Buf(&r);
  EXPECT_EQ(r.status, CindralBufferTooSmall);
  EXPECT_EQ(r.restart, 0);
  EXPECT_EQ(r.position, 0);
  EXPECT_EQ(r.bytesDelivered, 0);

  r.bufferSize = 4096;
  DecFile2Buf(&r);
  ASSERT_EQ(r.status, CindralMoreData);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), Bytes(plain.begin(), plain.begin() + 4096));
}

// A plain file: -11 with position 16; a further call without restart decodes
// from offset 16 without testing the header again.
TEST_F(CindralFiles, PlainFileGivesNoHeaderThenDecodesOn) {
  const Bytes plain = Pattern(3000, 11);
  const std::string path = Write("plain", plain);
  Bytes buffer(4096);
  BufferDecodeRecord r = {};
  r.restart = 1;
  r.fileName = path.c_str();
  r.buffer = buffer.data();
  r.bufferSize = 4096;
  DecFile2Buf(&r);
  EXPECT_EQ(r.status, CindralNoHeader);
  EXPECT_EQ(r.position, 16);
  EXPECT_EQ(r.bytesDelivered, 0);
  DecFile2Buf(&r);
  EXPECT_EQ(r.status, CindralLastPiece);
  ASSERT_EQ(r.bytesDelivered, 3000 - 16);
  const Bytes tail(plain.begin() + 16, plain.end());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + r.bytesDelivered), Xor(tail, KeyStream(kDefaultKey, tail.size())));
}

TEST_F(CindralFiles, DecFile2BufFailures) {
  ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
  const std::string shortFile = Write("short", KeyOf(kHeader.substr(0, 15)));
  const std::string missing = Path("missing");
  const std::string dir = Path("dir");
  struct Case {
    const char* name;
    int16_t status;
  };
  const Case cases[] = {
      {missing.c_str(), CindralNotFound},
      {nullptr, CindralNotFound},
      {dir.c_str(), CindralOpenFailed},
      {shortFile.c_str(), CindralNoHeader},
  };
  Bytes buffer(1024);
  for (const Case& c : cases) {
    BufferDecodeRecord r = {};
    r.restart = 1;
    r.fileName = c.name;
    r.buffer = buffer.data();
    r.bufferSize = 1024;
    r.bytesDelivered = 77;
    DecFile2Buf(&r);
    EXPECT_EQ(r.status, c.status) << (c.name ? c.name : "(null)");
    EXPECT_EQ(r.bytesDelivered, 0);
    EXPECT_EQ(r.position, 0);
  }
  // A position beyond the end (the file shrank between calls) is a failed read.
  const std::string coded = Write("coded", KeyOf(kHeader + "abc"));
  BufferDecodeRecord r = {};
  r.fileName = coded.c_str();
  r.buffer = buffer.data();
  r.bufferSize = 1024;
  r.position = 100;
  DecFile2Buf(&r);
  EXPECT_EQ(r.status, CindralIoFailed);
  EXPECT_EQ(r.position, 100);
}

// position is signed 32-bit: a file of 2 GiB or more is refused with -4
// before the offset could wrap. The files are sparse, so they cost no disk.
TEST_F(CindralFiles, FilesOf2GiBAreRefusedByDecFile2Buf) {
  struct Case {
    int64_t size;
    int16_t status;
  };
  const Case cases[] = {
      {(int64_t{1} << 31) - 1, CindralMoreData},
      {int64_t{1} << 31, CindralIoFailed},
      {(int64_t{1} << 32) + 16, CindralIoFailed},
  };
  Bytes buffer(1024);
  for (const Case& c : cases) {
    const std::string path = Write("big", KeyOf(kHeader));
    const int fd = open64(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate64(fd, c.size), 0);
    close(fd);
    // The size alone does not stop the other exports: the header is still seen.
    EXPECT_EQ(IsCoded(path.c_str()), CindralCoded) << c.size;
    BufferDecodeRecord r = {};
    r.restart = 1;
    r.fileName = path.c_str();
    r.buffer = buffer.data();
    r.bufferSize = 1024;
    DecFile2Buf(&r);
    EXPECT_EQ(r.status, c.status) << c.size;
    EXPECT_EQ(r.position, c.status == CindralMoreData ? 16 + 1024 : 0) << c.size;
  }
}

}  // namespace
