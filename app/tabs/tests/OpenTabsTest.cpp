#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/core/KestroveLogger.h"
#include "app/core/KestroveSettings.h"
#include "app/tabs/OpenTabSync.h"
#include "app/tabs/TextFieldWithPaste.h"
#include "platform/clock/Clock.h"
#include "platform/mac/Json.h"
#include "platform/mac/Notifications.h"
#include "platform/mac/WindowSystem.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using D = mac::Descriptor;

mac::Value Json(const std::string& text) {
  auto value = mac::FromJSONText(text);
  EXPECT_TRUE(value) << text;
  return value.value_or(mac::Value());
}

// The script's answer for windows of tabs, each tab the texts of its list.
D Windows(const std::vector<std::vector<std::vector<std::string>>>& windows) {
  std::vector<D> out;
  for (const auto& window : windows) {
    std::vector<D> tabs;
    for (const auto& tab : window) {
      std::vector<D> items;
      for (const auto& item : tab) items.push_back(D::Text(item));
      tabs.push_back(D::List(items));
    }
    out.push_back(D::Record({{"window", D::List(tabs)}}));
  }
  return D::List(out);
}

struct TabsFixture : ::testing::Test {
  TabsFixture() { logger.setLogLevel("debug"); }
  std::string Log() { return testing::ReadAll(logger.path()); }
  // The addresses the scripts run so far opened, in order.
  std::vector<std::string> Opened() {
    std::vector<std::string> out;
    for (const auto& text : scripts.Texts())
      out.push_back(mac::AddressOfOpenScript(text).value_or("not an open script: " + text));
    return out;
  }

  testing::TempDir home;
  FakeClock clock{0};
  KestroveLogger logger{home / "log.txt", [](const std::string&) {}, &clock};
  mac::RecordingNotificationCenter center;
  KestroveSettings settings{KestroveSettings::defaults(),
                            {home / "prefs.plist", home / "loginwindow.plist"}, center, logger};
  mac::RecordingScriptRunner scripts;
  mac::WindowSystem windows;
  OpenTabSync sync{scripts, settings, logger, windows};
};

TEST(ArrayFromDescriptor, ItemsWithItemsNestAndTheRestAreText) {
  const D d = D::List({D::Text("a"), D::Missing(), D::List({}), D::Record({{"window", D::List({D::Text("u")})}}),
                       D::List({D::List({D::Text("x"), D::Text("")})})});
  EXPECT_EQ(mac::Value(ArrayFromDescriptor(d)), Json(R"(["a", "", "", [["u"]], [["x", ""]]])"));
  EXPECT_EQ(mac::Value(ArrayFromDescriptor(D::Text("t"))), Json("[]"));
}

// This computer's tabs as the document the service takes: offsets as
// numbers (0 when they are no pair of numbers), the icon from the scheme
// and host, missing items empty.
TEST_F(TabsFixture, TheTabDocumentOfThisComputer) {
  settings.setKeyForValue(settingUseTabSync, "true");
  scripts.Queue({true, Windows({{{"http://a.example/x?y", "A", "10,20"},
                                 {"https://zoe@b.example:8443/p", "B", "abc"},
                                 {"file:///etc/hosts", "hosts", "1,2,3"},
                                 {"about:blank", "", "1.5,x"}},
                                {{"http://c.example", "C", " 3 , -4 "}, {"http://d.example/"}, {"http://e x/", "E", ","}}}),
                 ""});
  auto text = sync.syncTabsWrite("mid-1");
  ASSERT_TRUE(text);
  EXPECT_EQ(Json(*text), Json(R"({"mymid": "mid-1", "data": {"browserName": "safari", "windows": [
      {"tabs": [
        {"url": "http://a.example/x?y", "title": "A", "scrollX": 10, "scrollY": 20, "icon": "http://a.example/favicon.ico"},
        {"url": "https://zoe@b.example:8443/p", "title": "B", "scrollX": 0, "scrollY": 0, "icon": "https://b.example/favicon.ico"},
        {"url": "file:///etc/hosts", "title": "hosts", "scrollX": 0, "scrollY": 0, "icon": ""},
        {"url": "about:blank", "title": "", "scrollX": 1.5, "scrollY": 0, "icon": ""}]},
      {"tabs": [
        {"url": "http://c.example", "title": "C", "scrollX": 3, "scrollY": -4, "icon": "http://c.example/favicon.ico"},
        {"url": "http://d.example/", "title": "", "scrollX": 0, "scrollY": 0, "icon": "http://d.example/favicon.ico"},
        {"url": "http://e x/", "title": "E", "scrollX": 0, "scrollY": 0, "icon": ""}]}]}})"));
  EXPECT_THAT(scripts.Texts(), ElementsAre(mac::kOpenTabsScript));
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("Debug: in syncTabsWrite"));
  EXPECT_THAT(log, HasSubstr("Debug: tab sync starting -- computername: \n"));
  EXPECT_THAT(log, HasSubstr("Debug: OpenTabs executed, turning into array"));
}

// Off unless "useTabSync" is exactly "true"; the computer's name only when
// it has one; no windows when Safari does not run; nothing at all when the
// script failed, so nothing empty is uploaded over the last list.
TEST_F(TabsFixture, WhenThereIsNoDocumentOrAnEmptyOne) {
  for (const char* off : {static_cast<const char*>(nullptr), "True", "false"}) {
    settings.setKeyForValue(settingUseTabSync, off ? std::optional<std::string>(off) : std::nullopt);
    EXPECT_EQ(sync.syncTabsWrite("m"), std::nullopt);
  }
  EXPECT_TRUE(scripts.Texts().empty()) << "no script runs when tab sync is off";
  EXPECT_THAT(Log(), HasSubstr("Debug: tab sync disabled."));

  settings.setKeyForValue(settingUseTabSync, "true");
  settings.setKeyForValue(settingTabComputerName, "Zoë's Mac");
  EXPECT_EQ(Json(sync.syncTabsWrite("m").value_or("")),
            Json(R"({"mymid": "m", "data": {"browserName": "safari", "clientName": "Zoë's Mac", "windows": []}})"));
  settings.setKeyForValue(settingTabComputerName, "");
  EXPECT_EQ(Json(sync.syncTabsWrite("m").value_or("")),
            Json(R"({"mymid": "m", "data": {"browserName": "safari", "windows": []}})"));

  for (int i = 0; i < 2; ++i) scripts.Queue({false, {}, "Safari got an error: AppleEvent timed out."});
  EXPECT_EQ(sync.syncTabsWrite("m"), std::nullopt);
  EXPECT_EQ(sync.getOpenTabs(), nullptr);
  EXPECT_THAT(Log(), HasSubstr("Debug: Safari got an error: AppleEvent timed out."));
}

const char kDocument[] = R"({"mids": {
  "m2": {"clientName": "Office", "browserName": "ie", "windows": [{"tabs": [
      {"url": "http://o1/", "title": "O1"}, "not a tab", {"url": "http://o2/", "title": "O2"}]}]},
  "mine": {"clientName": "This one", "windows": [{"tabs": [{"url": "http://mine/"}]}]},
  "m1": {"browserName": "safari", "windows": [{"tabs": [{"url": "http://h1/", "title": "H1"}]},
                                             {"tabs": "none"}, [], {"tabs": [{"url": "http://h2/", "title": "H2"}]}]},
  "m3": {"clientName": "Odd", "windows": {}},
  "m4": "not a computer"}})";

// The other computers' tabs, each computer's row before its tabs, in the
// order of their ids; what is not as expected is left out.
TEST_F(TabsFixture, TheOtherComputersTabsAsRows) {
  const mac::Value document = Json(kDocument);
  OpenTabsController& c = sync.syncTabsRead(document, "mine");
  struct Row {
    std::string one, two, three;
  } rows[] = {
      {"safari", "", ""}, {"", "H1", "http://h1/"}, {"", "H2", "http://h2/"},
      {"Office", "", ""}, {"", "O1", "http://o1/"}, {"", "O2", "http://o2/"},
      {"Odd", "", ""},
  };
  ASSERT_EQ(c.numberOfRowsInTableView(), 7);
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c.tableViewObjectValue("1", i), rows[i].one);
    EXPECT_EQ(c.tableViewObjectValue("2", i), rows[i].two);
    EXPECT_EQ(c.tableViewObjectValue("3", i), rows[i].three);
    EXPECT_EQ(c.tableViewObjectValue("4", i), "");
  }
  for (int row : {-1, 7, 100}) EXPECT_EQ(c.tableViewObjectValue("3", row), "") << row;
  EXPECT_TRUE(document.AsDict()->at("mids").AsDict()->contains("mine")) << "the document itself is not changed";

  // Servers send [] for no computers; a document without computers shows none.
  for (const char* empty : {R"({"mids": []})", R"({})", R"([])", R"({"mids": {"mine": {}}})"})
    EXPECT_EQ(sync.syncTabsRead(Json(empty), "mine").numberOfRowsInTableView(), 0) << empty;
  EXPECT_EQ(sync.controllers().size(), 5u) << "every window stays";
}

TEST_F(TabsFixture, TheWindowComesToTheFrontOnEverySpace) {
  sync.syncTabsRead(Json(kDocument), "mine");
  EXPECT_THAT(windows.Events(), ElementsAre("window 1: loaded from nib OpenTabs",
                                            "window 1: table delegate and data source set, double action dclick:",
                                            "process: activated ignoring other applications",
                                            "window 1: made key, front and main", "window 1: collection behaviour 1",
                                            "process: front process, front window only", "window 1: shown",
                                            "window 1: centred"));
  windows.FailNib("OpenTabs");
  EXPECT_EQ(sync.syncTabsRead(Json(kDocument), "mine").numberOfRowsInTableView(), 7);
  EXPECT_THAT(Log(), HasSubstr("Debug: OpenTabs failed to load bundle"));
  EXPECT_EQ(windows.Events().back(), "no window: centred");
}

// A double click opens the tab's address, or on a computer's row every tab
// up to the next computer; with no row selected it does nothing.
TEST_F(TabsFixture, DoubleClicksOpenTabs) {
  struct Case {
    int row;
    std::vector<std::string> opened;
  } cases[] = {
      {1, {"http://h1/"}},
      {0, {"http://h1/", "http://h2/"}},
      {3, {"http://o1/", "http://o2/"}},
      {6, {}},
      {-1, {}},
      {7, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    mac::RecordingScriptRunner runner;
    OpenTabSync own{runner, settings, logger, windows};
    own.syncTabsRead(Json(kDocument), "mine").dclick(c.row);
    std::vector<std::string> opened;
    for (const auto& text : runner.Texts()) opened.push_back(mac::AddressOfOpenScript(text).value_or(text));
    EXPECT_EQ(opened, c.opened);
  }
  EXPECT_THAT(Log(), HasSubstr("Debug: doubleclick"));
}

// Only web addresses are opened, put into the script as text: a quote in
// the address cannot end the script's string; control characters are
// refused.
TEST_F(TabsFixture, OnlyWebAddressesAreOpenedAndAlwaysAsText) {
  OpenTabsController& c = sync.syncTabsRead(Json("{}"), "");
  struct Case {
    std::string url;
    bool opened;
  } cases[] = {
      {"http://a.example/", true},
      {"HTTPS://a.example/?q=\"x\"&r=\\", true},
      {"http://x/\" & (do shell script \"id\") & \"", true},
      {"javascript:alert(1)", false},
      {"file:///etc/passwd", false},
      {"feed://a.example/rss", false},
      {"a.example/http:", false},
      {"", false},
      {"http://a.example/\nrm", false},
      {"http://a.example/\x7f", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.url);
    const size_t before = scripts.Texts().size();
    EXPECT_EQ(c.launchURLInSafari(k.url), k.opened);
    const auto texts = scripts.Texts();
    ASSERT_EQ(texts.size(), before + (k.opened ? 1 : 0));
    if (!k.opened) continue;
    std::string expected = mac::kOpenAddressScript;
    std::string body;
    for (char ch : k.url) body += ch == '"' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
    expected.replace(expected.find("%@"), 2, body);
    EXPECT_EQ(texts.back(), expected);
    EXPECT_EQ(mac::AddressOfOpenScript(texts.back()), k.url);
  }
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("Error: launchURLInSafari: refused the address \"http://a.example/\\x0Arm\": it holds control characters"));
  EXPECT_THAT(log, HasSubstr("Error: launchURLInSafari: refused the address \"javascript:alert(1)\": only http and https"));

  scripts.Queue({false, {}, "Safari got an error: Can't get window 1."});
  EXPECT_FALSE(c.launchURLInSafari("http://a.example/"));
  EXPECT_THAT(Log(), HasSubstr("Debug: Safari got an error: Can't get window 1."));
}

TEST(NSTextFieldWithPaste, CommandKeysEditAndTheRestGoToTheBase) {
  using A = NSTextFieldWithPaste::Action;
  struct Case {
    uint64_t flags;
    const char* key;
    A action;
  } cases[] = {
      {kCommandKeyMask, "x", A::Cut},
      {kCommandKeyMask, "c", A::Copy},
      {kCommandKeyMask, "v", A::Paste},
      {kCommandKeyMask, "a", A::SelectAll},
      {kCommandKeyMask | kAlphaShiftKeyMask, "v", A::Paste},
      {kCommandKeyMask | kNumericPadKeyMask | kFunctionKeyMask, "c", A::Copy},
      {kCommandKeyMask | kShiftKeyMask, "v", A::PassToBase},
      {kCommandKeyMask | kAlternateKeyMask, "c", A::PassToBase},
      {kCommandKeyMask | kControlKeyMask, "a", A::PassToBase},
      {kControlKeyMask, "v", A::PassToBase},
      {0, "v", A::PassToBase},
      {kCommandKeyMask, "V", A::PassToBase},
      {kCommandKeyMask, "z", A::PassToBase},
      {kCommandKeyMask, "", A::PassToBase},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NSTextFieldWithPaste::performKeyEquivalent({c.flags, c.key}), c.action) << c.flags << " " << c.key;
  }
  EXPECT_EQ(NSTextFieldWithPaste::Selector(A::SelectAll), "selectAll:");
  EXPECT_EQ(NSTextFieldWithPaste::Selector(A::PassToBase), "");
}

}  // namespace
}  // namespace tarvex
