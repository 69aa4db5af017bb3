#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nodeset/Utilities.h"

namespace tarvex {
namespace {

constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr std::string_view kDigits =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.+";

// Reads an id back: least significant digit first.
uint64_t DecodeNodeId(std::string_view id) {
  uint64_t value = 0;
  for (size_t i = id.size(); i-- > 0;) value = value * 64 + kDigits.find(id[i]);
  return value;
}

// ---- Node ids ---------------------------------------------------------------

TEST(NodeIdTest, EncodingTable) {
  const struct {
    uint32_t number;
    std::string text;
  } cases[] = {
      {1, "1"},
      {9, "9"},
      {10, "a"},
      {36, "A"},
      {62, "."},
      {63, "+"},
      {64, "01"},
      {65, "11"},
      {4095, "++"},
      {4096, "001"},
      {1u << 30, "000001"},
      {kMax32, "+++++3"},
      {0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeNodeIdNumber(c.number), c.text) << c.number;
}

TEST(NodeIdTest, OneDigitPerSixBits) {
  for (uint32_t k = 1; k <= 5; ++k) {
    const uint32_t first = 1u << (6 * k);
    EXPECT_EQ(EncodeNodeIdNumber(first - 1).size(), k) << k;
    EXPECT_EQ(EncodeNodeIdNumber(first).size(), k + 1) << k;
  }
  EXPECT_EQ(EncodeNodeIdNumber(kMax32).size(), 6u);
}

TEST(NodeIdTest, EncodingReadsBack) {
  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) {
    const uint32_t number = static_cast<uint32_t>(random()) | 1u;
    const std::string text = EncodeNodeIdNumber(number);
    EXPECT_EQ(DecodeNodeId(text), number) << text;
    EXPECT_NE(text.back(), '0') << text;  // no leading zero in the number
  }
}

TEST(NodeIdTest, ConsecutiveIdsDifferInTheirFirstCharacter) {
  SeedNodeIdCounter(1000);
  std::set<char> firsts;
  for (uint32_t i = 1; i <= 64; ++i) {
    const std::string id = KVPort::GenerateNodeID();
    EXPECT_EQ(id, EncodeNodeIdNumber(1000 + i));
    firsts.insert(id.front());
  }
  EXPECT_EQ(firsts.size(), 64u);
}

TEST(NodeIdTest, WrapSkipsZeroAndNeverReseeds) {
  SeedNodeIdCounter(kMax32 - 1);
  EXPECT_EQ(KVPort::GenerateNodeID(), "+++++3");
  EXPECT_EQ(KVPort::GenerateNodeID(), "1");
  EXPECT_EQ(KVPort::GenerateNodeID(), "2");

  SeedNodeIdCounter(kMax32);
  EXPECT_EQ(KVPort::GenerateNodeID(), "1");

  // A counter at 0 is not "unseeded": the clock must not take over.
  SeedNodeIdCounter(0);
  EXPECT_EQ(KVPort::GenerateNodeID(), "1");
}

TEST(NodeIdTest, ThreadsNeverShareAnIdAcrossTheWrap) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  const uint32_t seed = kMax32 - 10000;  // wraps half way through
  SeedNodeIdCounter(seed);

  std::vector<std::vector<std::string>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] {
      ids[t].reserve(kPerThread);
      for (int i = 0; i < kPerThread; ++i) ids[t].push_back(KVPort::GenerateNodeID());
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> all;
  for (const auto& list : ids) {
    for (const auto& id : list) {
      EXPECT_FALSE(id.empty());
      all.insert(id);
    }
  }
  EXPECT_EQ(all.size(), size_t{kThreads * kPerThread});
  // Every number was handed out once, 0 skipped once, nothing lost.
  EXPECT_EQ(KVPort::GenerateNodeID(),
            EncodeNodeIdNumber(static_cast<uint32_t>(seed + kThreads * kPerThread + 2)));
}

// ---- File names -------------------------------------------------------------

constexpr char32_t kZeroWidthSpace = 0x200B;
constexpr char32_t kNoBreakSpace = 0xA0;

std::string Repeat(std::string_view piece, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += piece;
  return out;
}

TEST(MakeSafeFileNameTest, Table) {
  const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
  const struct {
    std::string title;
    std::string ntype;
    char32_t filler;
    std::string expected;
  } cases[] = {
      {"  a/b?.. ", "bookmark", kZeroWidthSpace, "ab"},
      {"a\\b/c:d*e?f\"g<h>i|j", "bookmark", kZeroWidthSpace, "abcdefghij"},
      {std::string("a\x01"
                   "b\tc\x1f"
                   "d\ne\rf\0g",
                   14),
       "bookmark", kZeroWidthSpace, "abcdefg"},
      {"a. .", "bookmark", kZeroWidthSpace, "a"},
      {"a ?", "bookmark", kZeroWidthSpace, "a"},
      {".hidden", "bookmark", kZeroWidthSpace, ".hidden"},
      {"a b", "bookmark", kZeroWidthSpace, "a b"},
      {"\xE3\x80\x80"
       "Caf\xC3\xA9\xE3\x80\x80",
       "bookmark", kZeroWidthSpace, "Caf\xC3\xA9"},
      {"News__12", "bookmark", kZeroWidthSpace, "News"},
      {"\xE2\x80\x8B"
       "ab\xE2\x80\x8B",
       "bookmark", kZeroWidthSpace, "ab"},
      // Empty titles.
      {"", "folder", kZeroWidthSpace, "[unnamed]"},
      {"", "separator", kZeroWidthSpace, "---"},
      {"", "bookmark", kZeroWidthSpace, "\xE2\x80\x8B"},
      {"", "bookmark", kNoBreakSpace, "\xC2\xA0"},
      {"   ", "", kZeroWidthSpace, "\xE2\x80\x8B"},
      // Titles that become empty only after cleaning.
      {"???", "bookmark", kZeroWidthSpace, "\xE2\x80\x8B"},
      {"???", "bookmark", kNoBreakSpace, "\xC2\xA0"},
      {"???", "folder", kZeroWidthSpace, "[unnamed]"},
      {"???", "separator", kZeroWidthSpace, "---"},
      {"...", "bookmark", kZeroWidthSpace, "\xE2\x80\x8B"},
      {"...", "folder", kZeroWidthSpace, "[unnamed]"},
      // The 70-unit limit.
      {std::string(70, 'x'), "bookmark", kZeroWidthSpace, std::string(70, 'x')},
      {std::string(71, 'x'), "bookmark", kZeroWidthSpace, std::string(70, 'x') + " (...)"},
      {Repeat("\xC3\xA9", 71), "bookmark", kZeroWidthSpace, Repeat("\xC3\xA9", 70) + " (...)"},
      {std::string(68, 'x') + smile, "bookmark", kZeroWidthSpace, std::string(68, 'x') + smile},
      {std::string(69, 'x') + smile, "bookmark", kZeroWidthSpace, std::string(69, 'x') + " (...)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeSafeFileName(c.title, c.ntype, c.filler), c.expected)
        << '"' << c.title << "\" as " << c.ntype;
  }
}

// ---- Attributes -------------------------------------------------------------

TEST(IsImportantAttributeTest, Table) {
  for (const char* key : {"modified", "visited", "created", "icon"}) {
    EXPECT_FALSE(IsImportantAttribute(key)) << key;
  }
  for (const char* key : {"title", "url", "Modified", "ICON", "icons", "modified ", ""}) {
    EXPECT_TRUE(IsImportantAttribute(key)) << key;
  }
}

}  // namespace
}  // namespace tarvex
