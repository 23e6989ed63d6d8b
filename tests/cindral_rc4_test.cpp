// The RC4 core: published key streams, piecewise equivalence, and the key
// schedule's reading of a key longer than the bytes that hold it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "rc4.h"

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t k = 0; k + 1 < hex.size(); k += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(k, 2), nullptr, 16)));
  return out;
}

// A deliberately plain RC4, written from the algorithm's definition, to check
// the optimised core against.
std::vector<uint8_t> PlainKeyStream(const std::vector<uint8_t>& key, size_t n) {
  uint8_t s[256];
  for (int x = 0; x < 256; ++x) s[x] = static_cast<uint8_t>(x);
  int j = 0;
  for (int x = 0; x < 256; ++x) {
    j = (j + s[x] + key[x % key.size()]) % 256;
    std::swap(s[x], s[j]);
  }
  std::vector<uint8_t> out(n);
  int i = 0;
  j = 0;
  for (size_t q = 0; q < n; ++q) {
    i = (i + 1) % 256;
    j = (j + s[i]) % 256;
    std::swap(s[i], s[j]);
    out[q] = s[(s[i] + s[j]) % 256];
  }
  return out;
}

struct Block {
  size_t offset;
  const char* hex;
};
struct Vector {
  const char* key;
  std::vector<Block> blocks;
};

// RFC 6229, section 2: key streams at offsets up to 4096 for seven key lengths
// of the key 01 02 03 ..., and the 40-bit key of the second series.
const std::vector<Vector> kRfc6229 = {
    {"0102030405",
     {{0, "b2396305f03dc027ccc3524a0a1118a8"},
      {16, "6982944f18fc82d589c403a47a0d0919"},
      {240, "28cb1132c96ce286421dcaadb8b69eae"},
      {256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
      {496, "42b7d0cdd918a8a33dd51781c81f4041"},
      {512, "6459844432a7da923cfb3eb4980661f6"},
      {752, "ec10327bde2beefd18f9277680457e22"},
      {768, "eb62638d4f0ba1fe9fca20e05bf8ff2b"},
      {1008, "45129048e6a0ed0b56b490338f078da5"},
      {1024, "30abbcc7c20b01609f23ee2d5f6bb7df"},
      {1520, "3294f744d8f9790507e70f62e5bbceea"},
      {1536, "d8729db41882259bee4f825325f5a130"},
      {2032, "1eb14a0c13b3bf47fa2a0ba93ad45b8b"},
      {2048, "cc582f8ba9f265e2b1be9112e975d2d7"},
      {3056, "f2e30f9bd102ecbf75aaade9bc35c43c"},
      {3072, "ec0e11c479dc329dc8da7968fe965681"},
      {4080, "068326a2118416d21f9d04b2cd1ca050"},
      {4096, "ff25b58995996707e51fbdf08b34d875"}}},
    {"01020304050607",
     {{0, "293f02d47f37c9b633f2af5285feb46b"},
      {16, "e620f1390d19bd84e2e0fd752031afc1"},
      {240, "914f02531c9218810df60f67e338154c"},
      {256, "d0fdb583073ce85ab83917740ec011d5"},
      {496, "75f81411e871cffa70b90c74c592e454"},
      {512, "0bb87202938dad609e87a5a1b079e5e4"},
      {752, "c2911246b612e7e7b903dfeda1dad866"},
      {768, "32828f91502b6291368de8081de36fc2"},
      {1008, "f3b9a7e3b297bf9ad804512f9063eff1"},
      {1024, "8ecb67a9ba1f55a5a067e2b026a3676f"},
      {1520, "d2aa902bd42d0d7cfd340cd45810529f"},
      {1536, "78b272c96e42eab4c60bd914e39d06e3"},
      {2032, "f4332fd31a079396ee3cee3f2a4ff049"},
      {2048, "05459781d41fda7f30c1be7e1246c623"},
      {3056, "adfd3868b8e51485d5e610017e3dd609"},
      {3072, "ad26581c0c5be45f4cea01db2f3805d5"},
      {4080, "f3172ceffc3b3d997c85ccd5af1a950c"},
      {4096, "e74b0b9731227fd37c0ec08a47ddd8b8"}}},
    {"0102030405060708",
     {{0, "97ab8a1bf0afb96132f2f67258da15a8"},
      {16, "8263efdb45c4a18684ef87e6b19e5b09"},
      {240, "9636ebc9841926f4f7d1f362bddf6e18"},
      {256, "d0a990ff2c05fef5b90373c9ff4b870a"},
      {496, "73239f1db7f41d80b643c0c52518ec63"},
      {512, "163b319923a6bdb4527c626126703c0f"},
      {752, "49d6c8af0f97144a87df21d91472f966"},
      {768, "44173a103b6616c5d5ad1cee40c863d0"},
      {1008, "273c9c4b27f322e4e716ef53a47de7a4"},
      {1024, "c6d0e7b226259fa9023490b26167ad1d"},
      {1520, "1fe8986713f07c3d9ae1c163ff8cf9d3"},
      {1536, "8369e1a965610be887fbd0c79162aafb"},
      {2032, "0a0127abb44484b9fbef5abcae1b579f"},
      {2048, "c2cdadc6402e8ee866e1f37bdb47e42c"},
      {3056, "26b51ea37df8e1d6f76fc3b66a7429b3"},
      {3072, "bc7683205d4f443dc1f29dda3315c87b"},
      {4080, "d5fa5a3469d29aaaf83d23589db8c85b"},
      {4096, "3fb46e2c8f0f068edce8cdcd7dfc5862"}}},
    {"0102030405060708090a",
     {{0, "ede3b04643e586cc907dc21851709902"},
      {16, "03516ba78f413beb223aa5d4d2df6711"},
      {240, "3cfd6cb58ee0fdde640176ad0000044d"},
      {256, "48532b21fb6079c9114c0ffd9c04a1ad"},
      {496, "3e8cea98017109979084b1ef92f99d86"},
      {512, "e20fb49bdb337ee48b8d8dc0f4afeffe"},
      {752, "5c2521eacd7966f15e056544bea0d315"},
      {768, "e067a7031931a246a6c3875d2f678acb"},
      {1008, "a64f70af88ae56b6f87581c0e23e6b08"},
      {1024, "f449031de312814ec6f319291f4a0516"},
      {1520, "bdae85924b3cb1d0a2e33a30c6d79599"},
      {1536, "8a0feddbac865a09bcd127fb562ed60a"},
      {2032, "b55a0a5b51a12a8be34899c3e047511a"},
      {2048, "d9a09cea3ce75fe39698070317a71339"},
      {3056, "552225ed1177f44584ac8cfa6c4eb5fc"},
      {3072, "7e82cbabfc95381b080998442129c2f8"},
      {4080, "1f135ed14ce60a91369d2322bef25e3c"},
      {4096, "08b6be45124a43e2eb77953f84dc8553"}}},
    {"0102030405060708090a0b0c0d0e0f10",
     {{0, "9ac7cc9a609d1ef7b2932899cde41b97"},
      {16, "5248c4959014126a6e8a84f11d1a9e1c"},
      {240, "065902e4b620f6cc36c8589f66432f2b"},
      {256, "d39d566bc6bce3010768151549f3873f"},
      {496, "b6d1e6c4a5e4771cad79538df295fb11"},
      {512, "c68c1d5c559a974123df1dbc52a43b89"},
      {752, "c5ecf88de897fd57fed301701b82a259"},
      {768, "eccbe13de1fcc91c11a0b26c0bc8fa4d"},
      {1008, "e7a72574f8782ae26aabcf9ebcd66065"},
      {1024, "bdf0324e6083dcc6d3cedd3ca8c53c16"},
      {1520, "b40110c4190b5622a96116b0017ed297"},
      {1536, "ffa0b514647ec04f6306b892ae661181"},
      {2032, "d03d1bc03cd33d70dff9fa5d71963ebd"},
      {2048, "8a44126411eaa78bd51e8d87a8879bf5"},
      {3056, "fabeb76028ade2d0e48722e46c4615a3"},
      {3072, "c05d88abd50357f935a63c59ee537623"},
      {4080, "ff38265c1642c1abe8d3c2fe5e572bf8"},
      {4096, "a36a4c301ae8ac13610ccbc12256cacc"}}},
    {"0102030405060708090a0b0c0d0e0f101112131415161718",
     {{0, "0595e57fe5f0bb3c706edac8a4b2db11"},
      {16, "dfde31344a1af769c74f070aee9e2326"},
      {240, "b06b9b1e195d13d8f4a7995c4553ac05"},
      {256, "6bd2378ec341c9a42f37ba79f88a32ff"},
      {496, "e70bce1df7645adb5d2c4130215c3522"},
      {512, "9a5730c7fcb4c9af51ffda89c7f1ad22"},
      {752, "0485055fd4f6f0d963ef5ab9a5476982"},
      {768, "591fc66bcda10e452b03d4551f6b62ac"},
      {1008, "2753cc83988afa3e1688a1d3b42c9a02"},
      {1024, "93610d523d1d3f0062b3c2a3bbc7c7f0"},
      {1520, "96c248610aadedfeaf8978c03de8205a"},
      {1536, "0e317b3d1c73b9e9a4688f296d133a19"},
      {2032, "bdf0e6c3cca5b5b9d533b69c56ada120"},
      {2048, "88a218b6e2ece1e6246d44c759d19b10"},
      {3056, "6866397e95c140534f94263421006e40"},
      {3072, "32cb0a1e9542c6b3b8b398abc3b0f1d5"},
      {4080, "29a0b8aed54a132324c62e423f54b4c8"},
      {4096, "3cb0f3b5020a98b82af9fe154484a168"}}},
    {"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20",
     {{0, "eaa6bd25880bf93d3f5d1e4ca2611d91"},
      {16, "cfa45c9f7e714b54bdfa80027cb14380"},
      {240, "114ae344ded71b35f2e60febad727fd8"},
      {256, "02e1e7056b0f623900496422943e97b6"},
      {496, "91cb93c787964e10d9527d999c6f936b"},
      {512, "49b18b42f8e8367cbeb5ef104ba1c7cd"},
      {752, "87084b3ba700bade955610672745b374"},
      {768, "e7a7b9e9ec540d5ff43bdb12792d1b35"},
      {1008, "c799b596738f6b018c76c74b1759bd90"},
      {1024, "7fec5bfd9f9b89ce6548309092d7e958"},
      {1520, "40f250b26d1f096a4afd4c340a588815"},
      {1536, "3e34135c79db010200767651cf263073"},
      {2032, "f656abccf88dd827027b2ce917d464ec"},
      {2048, "18b62503bfbc077fbabb98f20d98ab34"},
      {3056, "8aed95ee5b0dcbfbef4eb21d3a3f52f9"},
      {3072, "625a1ab00ee39a5327346bddb01a9c18"},
      {4080, "a13a7c79c7e119b5ab0296ab28c300b9"},
      {4096, "f3e4c0a2e02d1d01f7f0a74618af2b48"}}},
    {"833222772a",
     {{0, "80ad97bdc973df8a2e879e92a497efda"},
      {16, "20f060c2f2e5126501d3d4fea10d5fc0"},
      {240, "faa148e99046181fec6b2085f3b20ed9"},
      {256, "f0daf5bab3d596839857846f73fbfe5a"},
      {496, "1c7e2fc4639232fe297584b296996bc8"},
      {512, "3db9b249406cc8edffac55ccd322ba12"},
      {752, "e4f9f7e0066154bbd125b745569bc897"},
      {768, "75d5ef262b44c41a9cf63ae14568e1b9"},
      {1008, "6da453dbf81e82334a3d8866cb50a1e3"},
      {1024, "7828d074119cab5c22b294d7a9bfa0bb"},
      {1520, "adb89cea9a15fbe617295bd04b8ca05c"},
      {1536, "6251d87fd4aaae9a7e4ad5c217d3f300"},
      {2032, "e7119bd6dd9b22afe8f89585432881e2"},
      {2048, "785b60fd7ec4e9fcb6545f350d660fab"},
      {3056, "afecc037fdb7b0838eb3d70bcd268382"},
      {3072, "dbc1a7b49d57358cc9fa6d61d73b7cf0"},
      {4080, "6349d126a37afcba89794f9804914fdc"},
      {4096, "bf42c3018c2f7c66bfde524975768115"}}},
};

TEST(Rc4, MatchesRfc6229KeyStreams) {
  for (const Vector& v : kRfc6229) {
    const std::vector<uint8_t> key = FromHex(v.key);
    cindral::Rc4State state;
    cindral::Rc4Schedule(state, key.data(), key.size());
    std::vector<uint8_t> stream(4096 + 16, 0);
    cindral::Rc4Apply(state, stream.data(), stream.size());
    for (const Block& b : v.blocks) {
      const std::vector<uint8_t> expected = FromHex(b.hex);
      const std::vector<uint8_t> got(stream.begin() + b.offset, stream.begin() + b.offset + 16);
      EXPECT_EQ(got, expected) << "key " << v.key << " offset " << b.offset;
    }
  }
}

// The state carries over between calls: any split of the data, including
// pieces of 0 to 7 bytes around the eight-byte fast path, gives one stream.
TEST(Rc4, PiecewiseEqualsWhole) {
  const std::vector<uint8_t> key = {'p', 'i', 'e', 'c', 'e'};
  const size_t total = 70001;
  const std::vector<uint8_t> expected = PlainKeyStream(key, total);
  std::mt19937 rng(6229);
  for (int round = 0; round < 20; ++round) {
    cindral::Rc4State state;
    cindral::Rc4Schedule(state, key.data(), key.size());
    std::vector<uint8_t> data(total, 0);
    size_t done = 0;
    while (done < total) {
      const size_t limit = round % 2 ? 9 : 5000;
      size_t piece = std::uniform_int_distribution<size_t>(0, limit)(rng);
      piece = std::min(piece, total - done);
      cindral::Rc4Apply(state, data.data() + done, piece);
      done += piece;
    }
    ASSERT_EQ(data, expected) << "round " << round;
  }
}

TEST(Rc4, ApplyingTwiceRestoresTheData) {
  std::vector<uint8_t> data(1000);
  for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(k * 7 + 3);
  const std::vector<uint8_t> original = data;
  const uint8_t key[] = {0x42};
  cindral::Rc4State state;
  cindral::Rc4Schedule(state, key, 1);
  cindral::Rc4Apply(state, data.data(), data.size());
  EXPECT_NE(data, original);
  cindral::Rc4Schedule(state, key, 1);
  cindral::Rc4Apply(state, data.data(), data.size());
  EXPECT_EQ(data, original);
}

// A key longer than its store reads zeros past the store: the 129-zero-byte
// default over 128 bytes, and a non-zero store where the difference shows.
TEST(Rc4, KeyBeyondStoreReadsZero) {
  struct Case {
    size_t store;
    size_t length;
    uint8_t fill;
  };
  for (const Case c : {Case{128, 129, 0}, Case{128, 129, 0x5a}, Case{3, 10, 0xff}, Case{128, 256, 1}}) {
    std::vector<uint8_t> store(c.store, c.fill);
    std::vector<uint8_t> full(c.length, 0);
    std::copy(store.begin(), store.end(), full.begin());
    cindral::Rc4State state;
    cindral::Rc4Schedule(state, store.data(), store.size(), c.length);
    std::vector<uint8_t> stream(600, 0);
    cindral::Rc4Apply(state, stream.data(), stream.size());
    EXPECT_EQ(stream, PlainKeyStream(full, stream.size())) << "store " << c.store << " length " << c.length;
  }
}

}  // namespace
