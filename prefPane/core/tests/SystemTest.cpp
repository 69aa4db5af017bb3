#include <gtest/gtest.h>

#include <map>

#include "platform/mac/Plist.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "prefPane/core/SystemProxies.h"

namespace tarvex::pane {
namespace {

using mac::NewArray;
using mac::NewDict;
using mac::Value;
using testing::TempDir;

TEST(PaneProxies, TheEnvironmentReadAsTheSystemsProxyEntries) {
  using Env = std::map<std::string, std::string>;
  struct Case {
    const char* what;
    Env env;
    mac::Dict expected;
  };
  const std::vector<Case> cases = {
      {"unset", {}, {}},
      {"host and port", {{"http_proxy", "http://proxy.lan:3128/"}},
       {{"HTTPEnable", 1}, {"HTTPProxy", "proxy.lan"}, {"HTTPPort", 3128}}},
      {"host only", {{"https_proxy", "proxy.lan"}}, {{"HTTPSEnable", 1}, {"HTTPSProxy", "proxy.lan"}}},
      {"credentials dropped", {{"https_proxy", "https://ann:p@ss:w0rd@secure.lan:8443"}},
       {{"HTTPSEnable", 1}, {"HTTPSProxy", "secure.lan"}, {"HTTPSPort", 8443}}},
      {"upper case when lower is unset or empty", {{"http_proxy", ""}, {"HTTP_PROXY", "up.lan:81"}, {"HTTPS_PROXY", "s.lan"}},
       {{"HTTPEnable", 1}, {"HTTPProxy", "up.lan"}, {"HTTPPort", 81}, {"HTTPSEnable", 1}, {"HTTPSProxy", "s.lan"}}},
      {"lower case wins", {{"http_proxy", "low.lan:1"}, {"HTTP_PROXY", "up.lan:2"}},
       {{"HTTPEnable", 1}, {"HTTPProxy", "low.lan"}, {"HTTPPort", 1}}},
      {"bad ports give no port", {{"http_proxy", "a.lan:0"}, {"https_proxy", "b.lan:70000"}},
       {{"HTTPEnable", 1}, {"HTTPProxy", "a.lan"}, {"HTTPSEnable", 1}, {"HTTPSProxy", "b.lan"}}},
      {"IPv6 host keeps its brackets", {{"http_proxy", "http://[::1]:8080"}},
       {{"HTTPEnable", 1}, {"HTTPProxy", "[::1]"}, {"HTTPPort", 8080}}},
      {"no host", {{"http_proxy", "http://:8080"}, {"https_proxy", "user@"}}, {}},
  };
  for (const Case& c : cases) {
    auto proxies = SystemProxies([&](const std::string& name) -> std::optional<std::string> {
      auto it = c.env.find(name);
      if (it == c.env.end()) return std::nullopt;
      return it->second;
    });
    EXPECT_EQ(*proxies, c.expected) << c.what;
  }
}

TEST(PaneComputerName, PrettyNameThenHostNameThenUnknown) {
  TempDir dir;
  struct Case {
    const char* what;
    std::optional<std::string> machineInfo;
    std::string host;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"quoted pretty name", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ann's \\\"Mac\\\"\"\n", "ann-host", "Ann's \"Mac\""},
      {"single quotes", "PRETTY_HOSTNAME='Büro 2'\n", "h", "Büro 2"},
      {"bare", "PRETTY_HOSTNAME=Kitchen\n", "h", "Kitchen"},
      {"empty pretty name", "PRETTY_HOSTNAME=\n", "ann-host", "ann-host"},
      {"no file", std::nullopt, "ann-host", "ann-host"},
      {"nothing at all", std::nullopt, "", "Unknown"},
  };
  for (const Case& c : cases) {
    std::string path = dir / "machine-info";
    std::remove(path.c_str());
    if (c.machineInfo) testing::WriteAll(path, *c.machineInfo);
    EXPECT_EQ(ComputerName(path, [&] { return c.host; }), c.expected) << c.what;
  }
}

TEST(PaneLoginItem, FollowsTheSettingAndLeavesAnUnreadableFileAlone) {
  using Outcome = mac::LoginItemUpdate::Outcome;
  TempDir home;
  std::string path = home / "Library/Preferences/loginwindow.plist";
  auto entries = [&] { return mac::ReadPlistDict(path).dict->at(mac::kAutoLaunchedApplications).AsArray(); };
  auto other = NewDict({{"Path", "/Applications/Other.app"}, {"Hide", true}});
  ASSERT_EQ(mac::WritePlistDictAtomically(path, NewDict({{mac::kAutoLaunchedApplications, NewArray({other})}})), "");

  EXPECT_EQ(UpdateLaunchAtLogin(path, true).outcome, Outcome::Written);
  EXPECT_EQ(*entries(),
            mac::Array({other, NewDict({{"Path", "/Applications/Tarvex for Safari.app"}, {"Hide", false}})}));
  EXPECT_EQ(UpdateLaunchAtLogin(path, true).outcome, Outcome::Unchanged);
  EXPECT_EQ(UpdateLaunchAtLogin(path, false).outcome, Outcome::Written);
  EXPECT_EQ(*entries(), mac::Array({other}));

  testing::WriteAll(path, "not a property list");
  EXPECT_EQ(UpdateLaunchAtLogin(path, true).outcome, Outcome::Unreadable);
  EXPECT_EQ(testing::ReadAll(path), "not a property list");
}

}  // namespace
}  // namespace tarvex::pane
