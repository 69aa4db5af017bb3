#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/Text.h"

namespace tarvex {
namespace {

int Sign(int v) {
  return (v > 0) - (v < 0);
}

TEST(UtfTest, ConvertsValidTextBothWays) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"", u""},
      {"abc", u"abc"},
      {"\xC3\xA9", u"\u00E9"},                // é, two bytes
      {"\xE2\x82\xAC", u"\u20AC"},            // €, three bytes
      {"\xEF\xBF\xBF", u"\uFFFF"},            // last BMP character
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},  // U+1F600, a surrogate pair
      {"\xF0\x90\x80\x80", u"\xD800\xDC00"},  // U+10000
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},  // U+10FFFF
      {"a\xF0\x9F\x98\x80z", u"a\xD83D\xDE00z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(FromUtf8(c.utf8), c.utf16);
    EXPECT_EQ(Utf8ToUtf16Whole(c.utf8), c.utf16);
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8);
    EXPECT_EQ(ToUtf8(c.utf16), c.utf8);
    EXPECT_EQ(Utf16ToUtf8Whole(c.utf16), c.utf8);
    EXPECT_EQ(Utf16Length(c.utf8), c.utf16.size());
  }
}

// Each bad sequence sits between "a" and "z": it must become one or more
// U+FFFD and must not swallow its neighbours.
TEST(UtfTest, InvalidUtf8BecomesReplacementCharacters) {
  const std::string bad[] = {
      "\x80",              // lone continuation byte
      "\xBF\x80",          // two continuation bytes
      "\xE2\x82",          // truncated three-byte sequence
      "\xF0\x9F\x98",      // truncated four-byte sequence
      "\xC3",              // truncated two-byte sequence
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong three-byte
      "\xF0\x80\x80\xAF",  // overlong four-byte
      "\xED\xA0\x80",      // surrogate U+D800 encoded
      "\xED\xBF\xBF",      // surrogate U+DFFF encoded
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xF5\x80\x80\x80",  // invalid lead byte
      "\xFF",
      "\xFE",
  };
  for (const std::string& b : bad) {
    SCOPED_TRACE(testing::PrintToString(b));
    std::u16string out = Utf8ToUtf16("a" + b + "z");
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out.front(), u'a');
    EXPECT_EQ(out.back(), u'z');
    for (size_t i = 1; i + 1 < out.size(); ++i) EXPECT_EQ(out[i], u'\uFFFD') << "unit " << i;
    EXPECT_EQ(Utf16Length("a" + b + "z"), out.size());
    // The replacement is what goes back out as UTF-8: never the raw bytes.
    std::string back = Utf16ToUtf8(out);
    EXPECT_EQ(back.find(b), std::string::npos);
  }
  // A truncated sequence at the very end of the text.
  EXPECT_EQ(Utf8ToUtf16("ab\xE2\x82"), u"ab\uFFFD");
  // Overlong NUL must not produce a NUL.
  EXPECT_EQ(Utf8ToUtf16("\xC0\x80").find(u'\0'), std::u16string::npos);
}

TEST(UtfTest, LoneSurrogatesInUtf16BecomeReplacementCharacters) {
  struct Case {
    std::u16string utf16;
    std::string utf8;
  };
  const Case cases[] = {
      {u"a\xD800z", "a\xEF\xBF\xBDz"},                          // lone high
      {u"a\xDC00z", "a\xEF\xBF\xBDz"},                          // lone low
      {u"a\xD83D", "a\xEF\xBF\xBD"},                            // high at the end
      {u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},            // pair reversed
      {u"\xD83D\xD83D\xDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},  // high, then a pair
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8);
    EXPECT_EQ(Utf16ToUtf8Whole(c.utf16), c.utf8);
  }
}

TEST(UtfTest, NulEndsTheConversionExceptInTheWholeVariants) {
  const std::string utf8("ab\0cd", 5);
  const std::u16string utf16(u"ab\0cd", 5);
  EXPECT_EQ(Utf8ToUtf16(utf8), u"ab");
  EXPECT_EQ(FromUtf8(utf8), u"ab");
  EXPECT_EQ(Utf16ToUtf8(utf16), "ab");
  EXPECT_EQ(ToUtf8(utf16), "ab");
  EXPECT_EQ(Utf8ToUtf16Whole(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8Whole(utf16), utf8);
  EXPECT_EQ(Utf8ToUtf16(std::string("\0x", 2)), u"");
}

TEST(UtfTest, DecodeUtf8AdvancesByWholeCharactersAndAtLeastOneByte) {
  const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80\x80\xE2\x82";
  size_t pos = 0;
  EXPECT_EQ(DecodeUtf8(text, pos), U'a');
  EXPECT_EQ(pos, 1u);
  EXPECT_EQ(DecodeUtf8(text, pos), U'\u00E9');
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(DecodeUtf8(text, pos), U'\U0001F600');
  EXPECT_EQ(pos, 7u);
  EXPECT_EQ(DecodeUtf8(text, pos), U'\uFFFD');
  EXPECT_EQ(pos, 8u);
  EXPECT_EQ(DecodeUtf8(text, pos), U'\uFFFD');
  EXPECT_EQ(pos, text.size());
}

TEST(UtfTest, AppendUtf8ReplacesValuesThatAreNotCharacters) {
  struct Case {
    char32_t cp;
    std::string utf8;
  };
  const Case cases[] = {
      {U'\0', std::string(1, '\0')}, {0x7F, "\x7F"},           {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},           {0x800, "\xE0\xA0\x80"},  {0x1F600, "\xF0\x9F\x98\x80"},
      {0xD800, "\xEF\xBF\xBD"},      {0xDFFF, "\xEF\xBF\xBD"}, {0x110000, "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendUtf8(out, c.cp);
    EXPECT_EQ(out, c.utf8) << std::hex << static_cast<uint32_t>(c.cp);
  }
}

TEST(UtfTest, CutUtf16NeverSplitsACharacter) {
  const std::string text =
      "a\xF0\x9F\x98\x80"
      "b";  // a😀b: 4 units
  struct Case {
    size_t units;
    std::string want;
  };
  const Case cases[] = {
      {0, ""}, {1, "a"}, {2, "a"}, {3, "a\xF0\x9F\x98\x80"}, {4, text}, {100, text},
  };
  for (const Case& c : cases) EXPECT_EQ(CutUtf16(text, c.units), c.want) << c.units;
  EXPECT_EQ(CutUtf16("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
  EXPECT_EQ(CutUtf16("", 3), "");
}

// Random texts mixing ASCII, BMP below the surrogates, BMP above them
// (U+E000..U+FFFF, which sort after astral characters in UTF-16) and astral
// characters. Texts are often built from a shared prefix so that comparisons
// reach deep into them.
class RandomText {
 public:
  explicit RandomText(uint32_t seed) : rng_(seed) {}

  char32_t Char() {
    switch (Pick(0, 5)) {
      case 0:
        return static_cast<char32_t>(Pick('a', 'c'));
      case 1:
        return static_cast<char32_t>(Pick(0x01, 0x7F));
      case 2:
        return static_cast<char32_t>(Pick(0x80, 0xD7FF));
      case 3:
        return static_cast<char32_t>(Pick(0xE000, 0xFFFF));
      case 4:
        return static_cast<char32_t>(Pick(0x10000, 0x10FFFF));
      default: {
        // A small set of neighbours around the interesting boundaries.
        const char32_t edges[] = {0xD7FF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
        return edges[Pick(0, static_cast<uint32_t>(std::size(edges)) - 1)];
      }
    }
  }

  std::string Text(uint32_t maxLength) {
    std::string out;
    size_t n = Pick(0, maxLength);
    for (size_t i = 0; i < n; ++i) AppendUtf8(out, Char());
    return out;
  }

  uint32_t Pick(uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_);
  }

 private:
  std::mt19937 rng_;
};

TEST(UtfTest, CompareUtf16AgreesWithUtf16CodeUnitOrder) {
  RandomText gen(20240611);
  for (int i = 0; i < 2000; ++i) {
    std::string a = gen.Text(8);
    std::string b;
    switch (gen.Pick(0, 3)) {
      case 0:
        b = gen.Text(8);
        break;
      case 1:
        b = a + gen.Text(3);
        break;
      case 2:
        b = CutUtf16(a, gen.Pick(0, 8)) + gen.Text(4);
        break;
      default:
        b = a;
        break;
    }
    if (gen.Pick(0, 1)) std::swap(a, b);
    const std::u16string ua = Utf8ToUtf16(a);
    const std::u16string ub = Utf8ToUtf16(b);
    SCOPED_TRACE(testing::PrintToString(a) + " vs " + testing::PrintToString(b));
    EXPECT_EQ(Sign(CompareUtf16(a, b)), Sign(ua.compare(ub)));
    EXPECT_EQ(Sign(CompareUtf16(b, a)), -Sign(ua.compare(ub)));
    EXPECT_EQ(Utf16Length(a), ua.size());
    EXPECT_EQ(Utf16Less{}(a, b), ua < ub);
    EXPECT_EQ(Utf16ToUtf8(ua), a);
  }
}

TEST(UtfTest, CompareUtf16OrdersAstralBeforeHighBmp) {
  // Byte order would put U+FFFF first; UTF-16 order puts U+10000 (D800 DC00)
  // first.
  EXPECT_GT(CompareUtf16("\xEF\xBF\xBF", "\xF0\x90\x80\x80"), 0);
  EXPECT_LT(CompareUtf16("\xF0\x9F\x98\x80", "\xEE\x80\x80"), 0);
  EXPECT_LT(CompareUtf16("\xED\x9F\xBF", "\xF0\x90\x80\x80"), 0);  // U+D7FF < U+10000
  EXPECT_LT(CompareUtf16("ab", "abc"), 0);
  EXPECT_EQ(CompareUtf16("", ""), 0);
}

TEST(UtfTest, CutUtf16KeepsWholeCharactersOnRandomText) {
  RandomText gen(7);
  for (int i = 0; i < 300; ++i) {
    const std::string text = gen.Text(10);
    const std::u16string units = Utf8ToUtf16(text);
    for (size_t n = 0; n <= units.size() + 1; ++n) {
      const std::string cut = CutUtf16(text, n);
      ASSERT_TRUE(text.starts_with(cut));
      const size_t len = Utf16Length(cut);
      ASSERT_LE(len, n);
      // Only a surrogate pair can stop the cut one unit short.
      if (len < n && len < units.size()) {
        ASSERT_EQ(len + 1, n);
        ASSERT_GE(units[len], 0xD800);
        ASSERT_LE(units[len], 0xDBFF);
      }
      ASSERT_EQ(Utf8ToUtf16(cut), units.substr(0, len));
    }
  }
}

}  // namespace
}  // namespace tarvex

namespace tarvex {
namespace {

TEST(SanitizeUtf8, KeepsValidTextAndMendsTheRest) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\u00e9 \U0001F600 \uFFFD", "caf\u00e9 \U0001F600 \uFFFD"},
      {std::string("ab\0cd", 5), "ab"},
      {"a\xFF"
       "b",
       "a\uFFFD"
       "b"},
      {"ok \xED\xA0\x80 end", "ok \uFFFD end"},
      {"\xC3", "\uFFFD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SanitizeUtf8(c.in), c.out);
    EXPECT_EQ(SanitizeUtf8(c.in), Utf16ToUtf8(Utf8ToUtf16(c.in)));
  }
  // Validity looks at every byte, NULs included.
  EXPECT_TRUE(IsValidUtf8(std::string("a\0\u00e9 \uFFFD \U0001F600", 13)));
  EXPECT_FALSE(IsValidUtf8(std::string("a\0\xFF", 3)));
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));
  EXPECT_FALSE(IsValidUtf8("\xC3"));
}

}  // namespace
}  // namespace tarvex
