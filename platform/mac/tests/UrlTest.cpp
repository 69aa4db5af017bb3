#include <gtest/gtest.h>

#include <random>

#include "platform/mac/Url.h"
#include "text/Text.h"

namespace tarvex::mac {
namespace {

TEST(MacUrl, WhichTextsAreAddresses) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"http://example.com/a?b=c#d", true},
      {"https://u:p@h:8080/x;y=1,2*'()!$&+", true},
      {"feed:https://h/rss", true},
      {"http://h/%20%e4", true},
      {"~._-[]@", true},
      {"", true},
      {"http://h/a b", false},
      {"http://h/?q=%s", false},
      {"http://h/%", false},
      {"http://h/%4", false},
      {"http://h/%G0", false},
      {"http://h/\"", false},
      {"http://h/<>", false},
      {"http://h/\\", false},
      {"http://h/^", false},
      {"http://h/`", false},
      {"http://h/{|}", false},
      {"http://h/\t", false},
      {"http://h/\x7f", false},
      {"http://h/\xc3\xa4", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(IsValidUrlText(c.text), c.valid);
    EXPECT_EQ(Url::FromString(c.text).has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(Url::FromString(c.text)->absoluteString(), c.text);
    }
  }
}

TEST(MacUrl, SchemeAndHost) {
  struct Case {
    const char* text;
    const char* scheme;
    const char* host;
  } cases[] = {
      {"http://example.com/a", "http", "example.com"},
      {"https://user:pw@Example.com:8443/x?y", "https", "Example.com"},
      {"http://[::1]:80/", "http", "::1"},
      {"http://h?q", "http", "h"},
      {"file:///etc/hosts", "file", ""},
      {"about:blank", "about", ""},
      {"mailto:a@b", "mailto", ""},
      {"/relative/path", "", ""},
      {"1http://h/", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto url = Url::FromString(c.text);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), c.scheme);
    EXPECT_EQ(url->host(), c.host);
  }
}

TEST(MacUrl, EscapingAndUnescaping) {
  struct Case {
    const char* text;
    const char* escaped;
    std::optional<std::string> unescaped;
  } cases[] = {
      {"http://s/?q=%s", "http://s/?q=%25s", std::nullopt},
      {"http://h/a b", "http://h/a%20b", "http://h/a b"},
      {"http://h/%41", "http://h/%2541", "http://h/A"},
      {"\xc3\xa4", "%C3%A4", "\xc3\xa4"},
      {"%C3%A4", "%25C3%25A4", "\xc3\xa4"},
      {"%FF", "%25FF", std::nullopt},
      {"%", "%25", std::nullopt},
      {"a\"<>\\^`{|}", "a%22%3C%3E%5C%5E%60%7B%7C%7D", "a\"<>\\^`{|}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(EscapePercent(c.text), c.escaped);
    EXPECT_EQ(UnescapePercent(c.text), c.unescaped);
  }
  // The search bookmark: no address as it is, an address once escaped, and
  // "%25s" in the address where "%s" was.
  std::string search = "http://s/?q=%s";
  ASSERT_FALSE(Url::FromString(search));
  ASSERT_FALSE(UnescapePercent(search));
  auto escaped = Url::FromString(EscapePercent(search));
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->absoluteString(), "http://s/?q=%25s");
}

TEST(MacUrl, EscapedTextIsAnAddressThatUnescapesBack) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const char32_t pool[] = {U'a', U'Z', U'0', U'%', U' ', U'"', U'/', U'?', U'#', U'~', U'\t',
                           U'\x7f', U'\u00e4', U'\u20ac', U'\U0001F600', U'\\', U'{', U'='};
  for (int round = 0; round < 500; ++round) {
    std::string text;
    for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i)
      AppendUtf8(text, pool[rng() % (sizeof pool / sizeof pool[0])]);
    std::string escaped = EscapePercent(text);
    EXPECT_TRUE(IsValidUrlText(escaped)) << text;
    EXPECT_EQ(UnescapePercent(escaped), text) << escaped;
  }
}

}  // namespace
}  // namespace tarvex::mac
