// The port helpers the engine's code calls on the Mac: trimming, ASCII case
// whatever the locale, the cut Format, the versions and the agent's error.
#include <gtest/gtest.h>

#include <clocale>
#include <stdexcept>
#include <string>

#include "app/core/KVPort.h"
#include "app/core/KestroveException.h"

namespace tarvex {
namespace {

using mac::KVPort;

TEST(PortHelpersTest, Trim) {
  const struct {
    const char* text;
    const char* set;
    const char* left;
    const char* right;
    const char* both;
  } cases[] = {
      {"  a b  ", " ", "a b  ", "  a b", "a b"},
      {"\t a \t", " ", "\t a \t", "\t a \t", "\t a \t"},  // only the set's characters
      {"\t a \t", " \t", "a \t", "\t a", "a"},
      {"xyaxy", "yx", "axy", "xya", "a"},
      {"    ", " ", "", "", ""},
      {"", " ", "", "", ""},
      {"abc", "", "abc", "abc", "abc"},
      {" \xC3\xA9 ", " ", "\xC3\xA9 ", " \xC3\xA9", "\xC3\xA9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\" by \"" + c.set + "\"");
    std::string left = c.text, right = c.text, both = c.text;
    KVPort::TrimLeft(left, c.set);
    KVPort::TrimRight(right, c.set);
    KVPort::Trim(both, c.set);
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(right, c.right);
    EXPECT_EQ(both, c.both);
  }
}

// The embedded interpreter takes the user's locale at its start; the case
// functions must not follow it into the bytes of UTF-8 text (checked under
// every single-byte locale of the list this computer has).
TEST(PortHelpersTest, CaseChangesAsciiLettersOnlyUnderAnyLocale) {
  const char* before = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = before ? before : "C";
  for (const char* locale : {"C", "C.UTF-8", "en_US.ISO-8859-1", "de_DE.ISO-8859-1"}) {
    if (!std::setlocale(LC_CTYPE, locale)) continue;
    SCOPED_TRACE(locale);
    std::string all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
    std::string upper = all, lower = all;
    KVPort::MakeUpper(upper);
    KVPort::MakeLower(lower);
    for (int c = 1; c < 256; ++c) {
      const char ch = static_cast<char>(c);
      EXPECT_EQ(upper[c - 1], c >= 'a' && c <= 'z' ? ch - 32 : ch) << c;
      EXPECT_EQ(lower[c - 1], c >= 'A' && c <= 'Z' ? ch + 32 : ch) << c;
    }
  }
  std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(PortHelpersTest, IsIntTypeAndNormalizeURL) {
  for (const char* key : {"created", "modified", "visited"}) EXPECT_TRUE(KVPort::IsIntType(key));
  for (const char* key : {"Created", "name", "", "created ", "icon"})
    EXPECT_FALSE(KVPort::IsIntType(key)) << key;
  EXPECT_EQ(KVPort::NormalizeURL(" HTTP://X/%41 "), " HTTP://X/%41 ");
}

TEST(PortHelpersTest, FormatCutsItsResultAndReturnsTheWholeLength) {
  const struct {
    size_t length;
    size_t kept;
  } cases[] = {{0, 0}, {10, 10}, {8095, 8095}, {8096, 8095}, {9000, 8095}};
  for (const auto& c : cases) {
    std::string out = "old";
    const std::string text(c.length, 'x');
    EXPECT_EQ(KVPort::Format(out, "%s", text), static_cast<int>(c.length));
    EXPECT_EQ(out, text.substr(0, c.kept)) << c.length;
  }
  std::string out;
  EXPECT_EQ(KVPort::Format(out, "%s has %d nodes", "ROOT", 3), 16);
  EXPECT_EQ(out, "ROOT has 3 nodes");
}

TEST(PortHelpersTest, Versions) {
  const struct {
    const char* a;
    const char* b;
    int result;
  } cases[] = {
      {"1.3.10", "1.3.9", 1}, {"1.3.9", "1.3.10", -1}, {"1.3", "1.3.0", 0},
      {"2", "1.99.99", 1},   {"", "0", 0},            {"1.3.5b", "1.3.5", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KVPort::VersionStrCmp(c.a, c.b), c.result) << c.a << " vs " << c.b;
  EXPECT_EQ(KVPort::VersionStrToIntVector("1..3"), (std::vector<int64_t>{1, 0, 3}));
}

TEST(PortHelpersTest, NodeIdsDiffer) {
  const std::string a = KVPort::GenerateNodeID(), b = KVPort::GenerateNodeID();
  EXPECT_FALSE(a.empty());
  EXPECT_NE(a, b);
}

TEST(PortHelpersTest, KestroveExceptionSaysWhatWentWrong) {
  try {
    throw KestroveException(KestroveException::kNotFound, "Node not found: ROOT");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Node not found: ROOT");
    EXPECT_EQ(dynamic_cast<const KestroveException&>(e).id, 501);
  }
  KestroveException general(KestroveException::kGeneral, "x");
  EXPECT_EQ(general.id, 500);
  EXPECT_EQ(general.message, "x");
}

}  // namespace
}  // namespace tarvex
