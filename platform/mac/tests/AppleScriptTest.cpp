#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "platform/mac/AppleScript.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex::mac {
namespace {

using D = Descriptor;

// The address goes into the script's string literal escaped, and comes out
// of the script as it went in; a literal that would end early, an unknown
// escape or a control character make the text no open-address script.
TEST(MacAppleScript, TheOpenAddressScriptCarriesTheAddressAsText) {
  struct Case {
    std::string address;
    std::string body;
  } cases[] = {
      {"http://example.com/", "http://example.com/"},
      {"http://x/?q=%s&a=%@", "http://x/?q=%s&a=%@"},
      {R"(http://x/"&(do shell script "id")&")", R"(http://x/\"&(do shell script \"id\")&\")"},
      {R"(http://x/\"end)", R"(http://x/\\\"end)"},
      {R"(\)", R"(\\)"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(EscapeAppleScriptString(c.address), c.body);
    const std::string script = OpenAddressScriptFor(c.body);
    EXPECT_EQ(AddressOfOpenScript(script), c.address);
    std::string expected = kOpenAddressScript;
    expected.replace(expected.find("%@"), 2, c.body);
    EXPECT_EQ(script, expected);
  }
  for (std::string body : {R"(http://x/"&(do shell script "id")&")", R"(a\b)", R"(a\)", "a\nb", "a\x7f", "\t"}) {
    SCOPED_TRACE(body);
    EXPECT_EQ(AddressOfOpenScript(OpenAddressScriptFor(body)), std::nullopt);
  }
  EXPECT_EQ(AddressOfOpenScript(kOpenTabsScript), std::nullopt);
  EXPECT_EQ(AddressOfOpenScript("tell application \"Safari\" to activate"), std::nullopt);
}

// Seeded: any address of printable characters, quotes and backslashes
// included, survives the round trip.
TEST(MacAppleScript, EscapedAddressesRoundTrip) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  const std::string alphabet = "ab:/?\"\\%@&' ";
  for (int n = 0; n < 500; ++n) {
    std::string address;
    for (int i = random() % 12; i > 0; --i) address += alphabet[random() % alphabet.size()];
    ASSERT_EQ(AddressOfOpenScript(OpenAddressScriptFor(EscapeAppleScriptString(address))), address);
  }
}

class SafariFixtureTest : public ::testing::Test {
 protected:
  ScriptResult Run(const std::string& text) { return SafariFixtureRunner().Run(text); }
  void Fixture(const std::string& json) {
    testing::WriteAll(dir_ / "safari.json", json);
    env_.Set("TARVEX_SAFARI_FIXTURE", (dir_ / "safari.json").c_str());
  }
  testing::TempDir dir_;
  testing::ScopedEnv env_;
};

TEST_F(SafariFixtureTest, ListsTheTabsWithAnAddressWindowByWindow) {
  Fixture(R"({"running": true, "windows": [
      [{"url": "http://a/", "title": "A", "offsets": "0,10"}, {"title": "no address"},
       {"url": "file:///x", "title": "X"}],
      [{"title": "only a tab without address"}],
      [{"url": "http://b/", "title": "B", "offsets": "1,2"}]]})");
  auto r = Run(kOpenTabsScript);
  ASSERT_TRUE(r.ok) << r.error;
  const auto tab = [](const char* url, const char* title, std::optional<std::string> offsets) {
    return D::List({D::Text(url), D::Text(title), offsets ? D::Text(*offsets) : D::Missing()});
  };
  EXPECT_EQ(r.result, D::List({
                          D::Record({{"window", D::List({tab("http://a/", "A", "0,10"),
                                                         tab("file:///x", "X", std::nullopt)})}}),
                          D::Record({{"window", D::List({tab("http://b/", "B", "1,2")})}}),
                      }));
}

TEST_F(SafariFixtureTest, SafariNotRunningAnswersNoWindows) {
  for (const char* fixture : {static_cast<const char*>(nullptr), R"({"running": false, "windows": [[{"url": "http://a/"}]]})",
                              R"({"windows": [[{"url": "http://a/"}]]})"}) {
    SCOPED_TRACE(fixture ? fixture : "no fixture");
    if (fixture)
      Fixture(fixture);
    else
      env_.Set("TARVEX_SAFARI_FIXTURE", nullptr);
    auto r = Run(kOpenTabsScript);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.result, D::List({}));
  }
}

TEST_F(SafariFixtureTest, OnlyTheAgentsScriptsRunAndOpenedAddressesAreNoted) {
  Fixture(R"({"running": true, "windows": [], "openedLog": ")" + dir_ / "opened.txt" + R"("})");
  EXPECT_TRUE(Run(OpenAddressScriptFor(EscapeAppleScriptString("http://a/\"q\""))).ok);
  EXPECT_TRUE(Run(OpenAddressScriptFor("http://b/")).ok);
  for (const std::string& text : {std::string("do shell script \"id\""), OpenAddressScriptFor("x\" & (do shell script \"id\") & \""),
                                  std::string(kOpenTabsScript) + " ", std::string()}) {
    auto r = Run(text);
    EXPECT_FALSE(r.ok) << text;
    EXPECT_EQ(r.error, "The script is not one of the agent's scripts");
  }
  EXPECT_EQ(testing::ReadAll(dir_ / "opened.txt"), "http://a/\"q\"\nhttp://b/\n");

  Fixture("{not json");
  EXPECT_FALSE(Run(kOpenTabsScript).ok);
  env_.Set("TARVEX_SAFARI_FIXTURE", (dir_ / "missing.json").c_str());
  auto r = Run(kOpenTabsScript);
  EXPECT_FALSE(r.ok);
  EXPECT_THAT(r.error, ::testing::HasSubstr("missing.json"));
}

TEST(MacAppleScript, TheRecordingRunnerAnswersInOrderAndKeepsTheTexts) {
  RecordingScriptRunner runner;
  runner.Queue({false, {}, "Safari got an error"});
  EXPECT_EQ(runner.Run("one").error, "Safari got an error");
  auto r = runner.Run("two");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.result, D::List({}));
  EXPECT_EQ(runner.Texts(), (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace tarvex::mac
