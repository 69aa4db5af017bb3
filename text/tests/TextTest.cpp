#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "text/Text.h"

namespace tarvex {
namespace {

constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();

// ---- White space and trimming ----------------------------------------------

TEST(TextTest, WhiteSpaceIsExactlyTheUnicodeSet) {
  const char32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                            0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t cp : white) EXPECT_TRUE(IsWhiteSpace(cp)) << std::hex << uint32_t{cp};
  // Neighbours of each range, and look-alikes that are not white space.
  const char32_t notWhite[] = {0x00,   0x08,   0x0E,   0x1F,   0x21,   'a',    0x84,
                               0x86,   0x9F,   0xA1,   0x167F, 0x1681, 0x180E, 0x1FFF,
                               0x200B, 0x200C, 0x2027, 0x202A, 0x202E, 0x2030, 0x205E,
                               0x2060, 0x2FFF, 0x3001, 0xFEFF, 0xFFFD, 0x10020};
  for (char32_t cp : notWhite) EXPECT_FALSE(IsWhiteSpace(cp)) << std::hex << uint32_t{cp};
}

TEST(TextTest, TrimRemovesWhiteSpaceCharactersAtBothEnds) {
  struct Case {
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"", ""},
      {"   ", ""},
      {"\t\n\v\f\r", ""},
      {"a", "a"},
      {"  a b  ", "a b"},
      {"\t\r\n x \r\n", "x"},
      {"\xE3\x80\x80x\xC2\xA0", "x"},                              // U+3000, U+00A0
      {"\xC2\x85x\xE2\x80\xA8\xE2\x80\xA9", "x"},                  // NEL, LS, PS
      {"\xE1\x9A\x80\xE2\x80\x8Ax\xE2\x80\xAF\xE2\x81\x9F", "x"},  // U+1680, 200A, 202F, 205F
      {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B is kept
      {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},                          // BOM is kept
      {" \xC3\xA0 ", "\xC3\xA0"},                                  // à: shares A0 with NBSP
      {"\xE4\x80\x80", "\xE4\x80\x80"},  // U+4000 ends in the bytes U+3000/U+2000 end in
      {"\xE3\x80 ", "\xE3\x80"},         // truncated U+3000 is not white space
      {" \x80 ", "\x80"},                // stray byte kept
  };
  for (const Case& c : cases) EXPECT_EQ(Trim(c.in), c.want) << testing::PrintToString(c.in);
}

TEST(TextTest, TrimCodePointStripsEveryLeadingAndTrailingCopy) {
  struct Case {
    std::string in;
    char32_t cp;
    std::string want;
  };
  const Case cases[] = {
      {"//a/b//", U'/', "a/b"},
      {"xxx", U'x', ""},
      {"", U'x', ""},
      {" a ", U'/', " a "},
      {"\xF0\x9F\x98\x80"
       "a\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
       0x1F600, "a"},
      {"\xE4\x80\x80", 0x3000, "\xE4\x80\x80"},
      {"\xC2\xA0x\xC2\xA0", 0xA0, "x"},
      {"\xC3\xA0x", 0xA0, "\xC3\xA0x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimCodePoint(c.in, c.cp), c.want) << testing::PrintToString(c.in);
  }
}

TEST(TextTest, AsciiCaseHelpersTouchOnlyAsciiLetters) {
  EXPECT_EQ(AsciiLower("AbC-Z@[`{\xC3\x84"), "abc-z@[`{\xC3\x84");
  struct Case {
    std::string a;
    std::string b;
    bool equal;
  };
  const Case cases[] = {
      {"HTTP", "http", true},
      {"", "", true},
      {"MiXeD", "mIxEd", true},
      {"a", "ab", false},
      {"[", "{", false},
      {"@", "`", false},
      {"\xC3\x84", "\xC3\xA4", false},  // Ä vs ä: not ASCII
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoreAsciiCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(EqualsIgnoreAsciiCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
  }
  EXPECT_TRUE(StartsWith("abc", "ab"));
  EXPECT_TRUE(StartsWith("abc", ""));
  EXPECT_TRUE(StartsWith("", ""));
  EXPECT_FALSE(StartsWith("ab", "abc"));
  EXPECT_FALSE(StartsWith("abc", "Ab"));
}

TEST(TextTest, ReplaceAllReplacesEachOccurrenceOnceFromTheLeft) {
  struct Case {
    std::string text, from, to, want;
  };
  const Case cases[] = {
      {"a/b/c/", "/", "%2F", "a%2Fb%2Fc%2F"},
      {"tarvex.com/tarvex", "tarvex", "kestrove", "kestrove.com/kestrove"},
      {"aaa", "a", "aa", "aaaaaa"},  // what was put in is not searched again
      {"aaaa", "aa", "a", "aa"},     // nor what a replacement brings together
      {"aaa", "aa", "b", "ba"},      // occurrences do not overlap
      {"abab", "ab", "", ""},
      {"abc", "x", "y", "abc"},
      {"", "a", "b", ""},
      {"abc", "", "x", "abc"},  // nothing to look for
  };
  for (const Case& c : cases)
    EXPECT_EQ(ReplaceAll(c.text, c.from, c.to), c.want) << c.text << " " << c.from << " " << c.to;
}

TEST(TextTest, WebAddressesAreHttpAndHttpsOnly) {
  struct Case {
    const char* url;
    bool anyCase, exact;
  } cases[] = {
      {"http://a/", true, true},        {"https://a/", true, true},
      {"HTTPS://a/", true, false},      {"Http://a/", true, false},
      {"http:/a/", false, false},       {"httpx://a/", false, false},
      {"https-like://a", false, false}, {"file:///etc/passwd", false, false},
      {"javascript:x", false, false},   {"", false, false},
      {" http://a/", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsWebAddress(c.url), c.anyCase) << c.url;
    EXPECT_EQ(IsWebAddress(c.url, false), c.exact) << c.url;
  }
}

// ---- Numbers ----------------------------------------------------------------

TEST(TextTest, ParseLeadingIntReadsTheLeadingDecimalAndSaturates) {
  struct Case {
    std::string in;
    int64_t want;
  };
  const Case cases[] = {
      {"42", 42},
      {"007", 7},
      {"  -17x", -17},
      {"+5", 5},
      {"\t\n 8", 8},
      {"\xE3\x80\x80"
       "9",
       9},  // U+3000 before the number
      {"12 34", 12},
      {"1e3", 1},
      {"0x10", 0},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"+-3", 0},
      {"- 5", 0},
      {"x5", 0},
      {"9223372036854775807", kMax64},
      {"9223372036854775808", kMax64},
      {"99999999999999999999999", kMax64},
      {"-9223372036854775807", kMin64 + 1},
      {"-9223372036854775808", kMin64},
      {"-9223372036854775809", kMin64},
      {"-99999999999999999999999", kMin64},
      {"18446744073709551617", kMax64},  // wraps to 1 without saturation
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLeadingInt(c.in), c.want) << c.in;
}

TEST(TextTest, ParseLeadingInt32SaturatesToTheInt32Range) {
  struct Case {
    std::string in;
    int32_t want;
  };
  const Case cases[] = {
      {"12", 12},
      {"-12", -12},
      {"2147483647", kMax32},
      {"2147483648", kMax32},
      {"4294967297", kMax32},
      {"-2147483648", kMin32},
      {"-2147483649", kMin32},
      {"99999999999999999999", kMax32},
      {"-99999999999999999999", kMin32},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLeadingInt32(c.in), c.want) << c.in;
}

TEST(TextTest, ToBase36WritesLowerCaseDigits) {
  struct Case {
    int64_t value;
    std::string want;
  };
  const Case cases[] = {
      {0, "0"},
      {9, "9"},
      {10, "a"},
      {35, "z"},
      {36, "10"},
      {1295, "zz"},
      {-1, "-1"},
      {-36, "-10"},
      {123456789, "21i3v9"},
      {kMax64, "1y2p0ij32e8e7"},
      {kMin64, "-1y2p0ij32e8e8"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToBase36(c.value), c.want) << c.value;

  std::mt19937_64 rng(36);
  for (int i = 0; i < 1000; ++i) {
    const auto v = static_cast<int64_t>(rng());
    const std::string text = ToBase36(v);
    EXPECT_EQ(std::strtoll(text.c_str(), nullptr, 36), v) << text;
  }
}

// ---- Encoding ---------------------------------------------------------------

TEST(TextTest, HexEncodeWritesTwoUpperCaseDigitsPerByte) {
  EXPECT_EQ(hex_encode(""), "");
  EXPECT_EQ(hex_encode(std::string("\x00\xAB\xFF", 3)), "00ABFF");
  EXPECT_EQ(hex_encode("Az\n"), "417A0A");
}

TEST(TextTest, CurlEncodeEscapesExactlyTheReservedCharacters) {
  const std::string reserved = "!\"#$%&+,/:;<=>?@[]\\^`|";
  ASSERT_EQ(reserved.size(), 22u);
  const CURLEncode encoder;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const std::string in(1, c);
    if (b != 0 && reserved.find(c) != std::string::npos) {
      EXPECT_EQ(encoder.Encode(in), "%" + hex_encode(in)) << b;
    } else {
      EXPECT_EQ(encoder.Encode(in), in) << b;
    }
  }
  struct Case {
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"a b/c?d=e&f", "a b%2Fc%3Fd%3De%26f"},
      {"100%", "100%25"},
      {"~{}", "~{}"},
      {"(*')", "(*')"},
      {"", ""},
      {"\xC3\xA9 #1", "\xC3\xA9 %231"},
      {"[a|b]\\^`", "%5Ba%7Cb%5D%5C%5E%60"},
  };
  for (const Case& c : cases) EXPECT_EQ(encoder.Encode(c.in), c.want) << c.in;
}

TEST(TextTest, UrlEncodeStringTrimsOnlyWhenAsked) {
  EXPECT_EQ(URLEncodeString("  a&b \xE3\x80\x80", true), "a%26b");
  EXPECT_EQ(URLEncodeString(" a&b ", false), " a%26b ");
  EXPECT_EQ(URLEncodeString("", true), "");
}

// ---- Titles -----------------------------------------------------------------

TEST(TextTest, StripUniqueSuffixUndoesOnlyADoubleUnderscoreNumber) {
  struct Case {
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"Folder__3", "Folder"},
      {"Folder__", "Folder"},
      {"News__12", "News"},
      {"Fo__lder__3", "Fo__lder"},
      {"Folder___3", "Folder_"},
      {"a__1__", "a__1"},
      {"___12", "_"},
      {"A_3", "A_3"},
      {"Folder__x", "Folder__x"},
      {"Folder__3x", "Folder__3x"},
      {"Folder__-3", "Folder__-3"},
      {"Folder__\xEF\xBC\x93", "Folder__\xEF\xBC\x93"},  // fullwidth digit
      {"a__1_2", "a__1_2"},
      {"Folder", "Folder"},
      {"__7", "__7"},
      {"__", "__"},
      {"_", "_"},
      {"_7", "_7"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(StripUniqueSuffix(c.in), c.want) << c.in;
}

// ---- Command line -----------------------------------------------------------

TEST(TextTest, ParseCommandLineReadsSwitchesUntilTheFirstLooseWord) {
  struct Case {
    std::string line;
    SwitchTable want;
  };
  const Case cases[] = {
      {"-q -u name1 -p", {{"q", ""}, {"u", "name1"}, {"p", ""}}},
      {"x -q", {}},
      {"", {}},
      {"   ", {}},
      {"-q", {{"q", ""}}},
      {"  -q  ", {{"q", ""}}},
      {"-u a -u b", {{"u", "a"}}},
      {"-u -u b", {{"u", ""}}},
      {"  -a   -b  c  d -e", {{"a", ""}, {"b", "c"}}},
      {"-a b", {{"a", "b"}}},
      {"-a b ", {{"a", "b"}}},
      {"-a  b  -c", {{"a", "b"}, {"c", ""}}},
      {"-a\tb", {{"a\tb", ""}}},  // only a space ends a name
      {"-a \xC3\xA9t\xC3\xA9", {{"a", "\xC3\xA9t\xC3\xA9"}}},
      {"--long value", {{"-long", "value"}}},
      {"-", {{"", ""}}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseCommandLine(c.line), c.want) << c.line;
}

// ---- Versions ---------------------------------------------------------------

TEST(TextTest, VersionStrToIntVectorReadsEachPieceAsItsLeadingInteger) {
  struct Case {
    std::string in;
    std::vector<int64_t> want;
  };
  const Case cases[] = {
      {"", {}},
      {"1", {1}},
      {"1.3.5", {1, 3, 5}},
      {"1..2", {1, 0, 2}},
      {"1.3.", {1, 3}},
      {".5", {0, 5}},
      {".", {0}},
      {"1.x.3", {1, 0, 3}},
      {"10.2b.3", {10, 2, 3}},
      {" 2. 3", {2, 3}},
      {"-1.2", {-1, 2}},
      {"99999999999999999999.1", {kMax64, 1}},
  };
  for (const Case& c : cases) EXPECT_EQ(VersionStrToIntVector(c.in), c.want) << c.in;
}

TEST(TextTest, VersionStrCmpComparesPositionByPosition) {
  struct Case {
    std::string a;
    std::string b;
    int want;
  };
  const Case cases[] = {
      {"1.3.10", "1.3.9", 1},
      {"1.3", "1.3.0", 0},
      {"1.2", "1.10", -1},
      {"", "", 0},
      {"", "0", 0},
      {"", "0.0.1", -1},
      {"abc", "0", 0},
      {"2", "1.99", 1},
      {"1.0.0.1", "1", 1},
      {"1.0.0.0", "1", 0},
      {"1.-1", "1", -1},
      {"99999999999999999999", "9223372036854775807", 0},
      {"-9223372036854775808", "9223372036854775807", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VersionStrCmp(c.a, c.b), c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(VersionStrCmp(c.b, c.a), -c.want) << c.b << " vs " << c.a;
  }
}

}  // namespace
}  // namespace tarvex
