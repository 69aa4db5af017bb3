// The agent's settings, log, keychain and open tabs through the launcher
// (tests/scripts/agent_smoke.py) in a home folder of the test's own, with a
// Safari fixture: the files that run left, the notifications it posted and
// the tab document it made.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/launcher/tests/LauncherRun.h"
#include "platform/mac/Json.h"
#include "platform/mac/Notifications.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
  return value;
}

TEST(AgentSmokeTest, SettingsKeychainAndTabsThroughTheLauncher) {
  TempDir dir;
  const std::string resources = dir / "Resources";
  const std::string home = dir / "home";
  for (const auto& d : {resources, home, dir / "run"}) std::filesystem::create_directories(d);
  std::filesystem::copy_file(std::string(LAUNCHER_SCRIPTS) + "/agent_smoke.py", resources + "/main.py");
  WriteAll(dir / "safari.json", R"({"running": true, "openedLog": ")" + dir / "opened.txt" + R"(", "windows": [
      [{"url": "https://news.example/today", "title": "Nëws", "offsets": "0,640"},
       {"title": "a tab still loading"}],
      [{"url": "about:blank", "title": "", "offsets": "0,0"}]]})");

  // The pane's side of the bus: it hears what the agent posts.
  mac::SocketNotificationCenter pane(dir / "run");
  std::vector<mac::Notification> heard;
  pane.AddObserver("TarvexPref", [&](const mac::Notification& n) { heard.push_back(n); });

  LaunchOptions options;
  options.args = {dir / "summary.json"};
  options.env["TARVEX_RESOURCES"] = resources;
  options.env["HOME"] = home;
  options.env["TARVEX_RUNTIME_DIR"] = dir / "run";
  options.env["TARVEX_SAFARI_FIXTURE"] = dir / "safari.json";
  options.cwd = dir.path();
  const auto run = Launch(options);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json::Value summary = Parse(ReadAll(dir / "summary.json"));

  // Settings saved privately, the login item in place, the pane told.
  EXPECT_TRUE(summary["saved"].asBool());
  const std::string prefs = home + "/Library/Tarvex/prefs.plist";
  EXPECT_EQ(ModeOf(prefs), 0600u);
  EXPECT_THAT(ReadAll(prefs), HasSubstr("<string>Zoë's Mac</string>"));
  EXPECT_THAT(ReadAll(home + "/Library/Preferences/loginwindow.plist"),
              HasSubstr("/Applications/Tarvex for Safari.app"));
  pane.Pump(0);
  ASSERT_FALSE(heard.empty());
  const mac::Dict& info = *heard.back().userInfo;
  EXPECT_EQ(info.at("action"), mac::Value("updatePrefs"));
  EXPECT_EQ(info.at("data"), mac::Value(""));
  EXPECT_TRUE(info.contains("username"));

  // The password is kept in the private keychain file, outside the
  // support folder, and never reaches the log.
  EXPECT_TRUE(summary["added"].asBool());
  EXPECT_TRUE(summary["kept"].asBool());
  EXPECT_EQ(summary["password"], "s3cret-Zoë");
  EXPECT_TRUE(summary["no_password"].isNull());
  const std::string keychain = home + "/Library/Keychains/tarvex-generic-passwords.json";
  EXPECT_EQ(ModeOf(keychain), 0600u);
  EXPECT_EQ(ModeOf(home + "/Library/Keychains"), 0700u);
  EXPECT_THAT(ReadAll(keychain), Not(HasSubstr("s3cret")));
  const std::string log = ReadAll(home + "/Library/Tarvex/tarvex.log.txt");
  EXPECT_THAT(log, Not(HasSubstr("s3cret")));
  EXPECT_THAT(log, Not(HasSubstr("another")));

  // Safari's tabs as the script read them and as the service gets them.
  EXPECT_EQ(summary["open_tabs"],
            Parse(R"([[[["https://news.example/today", "Nëws", "0,640"]]], [[["about:blank", "", "0,0"]]]])"));
  EXPECT_EQ(summary["tab_document"], Parse(R"({"mymid": "mac-1", "data": {
      "clientName": "Zoë's Mac", "browserName": "safari", "windows": [
        {"tabs": [{"url": "https://news.example/today", "title": "Nëws", "scrollX": 0, "scrollY": 640,
                   "icon": "https://news.example/favicon.ico"}]},
        {"tabs": [{"url": "about:blank", "title": "", "scrollX": 0, "scrollY": 0, "icon": ""}]}]}})"));

  // The other computer's window: its row, its tabs; opening it opened the
  // web addresses, the one with quotes intact, and refused the script.
  EXPECT_EQ(summary["rows"], Parse(R"j([["Office", "", ""], ["", "Office", "http://office.example/"],
      ["", "sly", "http://x/\" & (do shell script \"id\") & \""], ["", "script", "javascript:alert(1)"]])j"));
  EXPECT_EQ(ReadAll(dir / "opened.txt"),
            "http://office.example/\nhttp://x/\" & (do shell script \"id\") & \"\n");
  EXPECT_THAT(log, HasSubstr("refused the address \"javascript:alert(1)\""));
  EXPECT_EQ(summary["command_v"], "paste:");
  EXPECT_THAT(log, HasSubstr("Info: agent smoke: started"));
  EXPECT_THAT(log, HasSubstr("Info: agent smoke: done"));
}

}  // namespace
}  // namespace tarvex::testing
