#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "nodeset/Md5.h"

namespace tarvex {
namespace {

std::string HexOf(const unsigned char digest[16]) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0x0F]);
  }
  return out;
}

// Bytes 0..255 in a spread-out order, so high bytes and every bit pattern
// appear in each block.
std::string PatternBytes(size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>((i * 37 + 11) % 256));
  return out;
}

TEST(Md5Test, Rfc1321TestSuite) {
  const struct {
    std::string text;
    std::string digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(md5(c.text), c.digest) << '"' << c.text << '"';
}

TEST(Md5Test, LengthsAroundBlockBoundaries) {
  // 55 bytes is the longest message whose padding fits in its own block;
  // 56..63 need a second block for the length; 64 and 120 end exactly there.
  const struct {
    size_t length;
    std::string digest;
  } cases[] = {
      {55, "d872aa0473a24da995ce4ac518ade767"},  {56, "e23567645846677c205de80f9779081b"},
      {63, "4775b66278a8fc132ff80923378216cd"},  {64, "71e123b70c7aa64826fcfe472694cd1c"},
      {65, "5949948f26e35203661075214faa3966"},  {119, "87f72c7241c5fe218bb4df8c0aba3232"},
      {120, "bf240b8b7407fba3805adeec63a03b77"},
  };
  for (const auto& c : cases) EXPECT_EQ(md5(PatternBytes(c.length)), c.digest) << c.length;
}

TEST(Md5Test, HighBytesAndEmbeddedNul) {
  EXPECT_EQ(md5(std::string("\x00\xff\x80\x7f", 4)), "35913419231430075897c28e5e159b65");
  EXPECT_EQ(md5("\xc3\xa9"), "66ddcd97cfdeabb2f6fb8a999b4bc76f");  // "é" in UTF-8
}

TEST(Md5Test, MillionBytes) {
  EXPECT_EQ(md5(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5Test, GoldenHashOfTheEngine) {
  EXPECT_EQ(md5("a1,http://example.com/,Example"), "11b5c5621346a924deb1c91a4497eb1c");
}

TEST(Md5Test, PiecewiseUpdatesGiveTheSameDigest) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 50; ++round) {
    std::string data(std::uniform_int_distribution<size_t>(0, 700)(random), '\0');
    for (char& c : data) c = static_cast<char>(random());
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());

    MD5Context context;
    MD5Init(&context);
    size_t pos = 0;
    while (pos < data.size()) {
      // Half the pieces are tiny, so a piece often ends just short of a block.
      const size_t most = random() % 2 == 0 ? 3 : 130;
      size_t piece = std::uniform_int_distribution<size_t>(0, most)(random);
      if (piece > data.size() - pos) piece = data.size() - pos;
      MD5Update(&context, bytes + pos, piece);
      pos += piece;
    }
    unsigned char digest[16];
    MD5Final(digest, &context);
    EXPECT_EQ(HexOf(digest), md5(data)) << "round " << round << ", " << data.size() << " bytes";
  }
}

TEST(Md5Test, BitCountCarriesIntoTheHighWord) {
  // A context that pretends 2^29 - 64 bytes were already hashed: the next 69
  // bytes carry the bit count past 2^32, and the high word reaches the digest.
  MD5Context context;
  MD5Init(&context);
  context.count[0] = 0xFFFFFE00;
  const std::string data = PatternBytes(69);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  MD5Update(&context, bytes, 64);
  MD5Update(&context, bytes + 64, 5);  // must keep the high word it starts with
  EXPECT_EQ(context.count[0], 40u);
  EXPECT_EQ(context.count[1], 1u);
  unsigned char digest[16];
  MD5Final(digest, &context);
  EXPECT_EQ(HexOf(digest), "647a3df266a335f94f972c7fe08c5e36");
}

TEST(Md5Test, FinalClearsTheContext) {
  MD5Context context;
  MD5Init(&context);
  const unsigned char secret[] = "secret";
  MD5Update(&context, secret, 6);
  unsigned char digest[16];
  MD5Final(digest, &context);
  const auto* raw = reinterpret_cast<const unsigned char*>(&context);
  EXPECT_EQ(std::vector<unsigned char>(raw, raw + sizeof context),
            std::vector<unsigned char>(sizeof context, 0));
  EXPECT_EQ(HexOf(digest), md5("secret"));
}

}  // namespace
}  // namespace tarvex
