// The hidden window: commands from inside and outside, the confirmation of
// what would overwrite Favorites when another program asks, the end of the
// session, and the tray's clicks and menu.
#include <gtest/gtest.h>

#include "ie/shell/tests/ShellFixture.h"
#include "platform/win/Tray.h"

namespace tarvex {
namespace {

class HiddenWindowTest : public testing::ShellFixture {
 protected:
  void Pump() {
    MSG msg;
    while (PeekMessage(&msg)) {
      if (msg.message == WM_QUIT) {
        quit_ = true;
        continue;
      }
      DispatchMessage(msg);
    }
  }
  void Post(uint32_t message, uint64_t command, int64_t lParam = 0) {
    ASSERT_EQ(PostMessage(window_, message, command, lParam), 0u);
    Pump();
  }
  bool quit_ = false;
};

TEST_F(HiddenWindowTest, CommandsFromOutsideAreTheWindowsOwnButOverwritesAreConfirmed) {
  struct Case {
    const char* name;
    uint32_t message;
    int command;
    std::vector<int> answers;
    const char* question;  // nullptr: none asked
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"sync now, either way", KVC_MESSAGE_COMMAND, 1528, {}, nullptr, {"sync"}},
      {"the menu's download", WM_COMMAND, 1530, {}, nullptr, {"download"}},
      {"download from outside, agreed", KVC_MESSAGE_COMMAND, 1530, {kButtonOK},
       "Overwrite local Favorites with remote set?", {"download"}},
      {"upload from outside, refused", KVC_MESSAGE_COMMAND, 1531, {kButtonCancel},
       "Overwrite remote Favorites with local set?", {}},
      {"merge from outside, refused", KVC_MESSAGE_COMMAND, 1534, {kButtonCancel},
       "Tarvex will now merge Favorites, starting with local Favorites.", {}},
      {"repair from outside, agreed", KVC_MESSAGE_COMMAND, 1539, {kButtonOK},
       "Tarvex will now repair your Favorites.", {"repair"}},
      {"a command nobody knows", KVC_MESSAGE_COMMAND, 5000, {}, nullptr, {}},
      {"an action nobody knows", WM_COMMAND, 1529, {}, nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sync_->calls.clear();
    prompt_.asked.clear();
    for (int a : c.answers) prompt_.Script(a);
    Post(c.message, c.command);
    EXPECT_EQ(calls(), c.calls);
    if (c.question) {
      ASSERT_EQ(prompt_.asked.size(), 1u);
      EXPECT_EQ(prompt_.asked[0].text, c.question);
    } else {
      EXPECT_TRUE(prompt_.asked.empty());
    }
    EXPECT_NE(Log().find("Recieved WM_COMMAND message: " + std::to_string(c.command)),
              std::string::npos);
  }
}

TEST_F(HiddenWindowTest, TheBrowsersStartAndLocalChangesAreNoted) {
  Post(KVC_MESSAGE_COMMAND, kCommandBrowserStarted);
  EXPECT_EQ(settings_.GetInt64("iestartuptime", 0), clock_.Now());

  settings_.SetInt("syncstatus", 108, true);
  Post(WM_COMMAND, kCommandLocalChange);
  EXPECT_EQ(settings_.GetInt64("lastlocalchange", 0), clock_.Now());
  EXPECT_EQ(Status(), 106);
  ASSERT_EQ(TrayIcons().size(), 1u);
  EXPECT_EQ(TrayIcons()[0].icon, 276);
  const size_t shown = script_->TrayHistory().size();
  clock_.Advance(30);
  Post(WM_COMMAND, kCommandLocalChange);
  EXPECT_EQ(settings_.GetInt64("lastlocalchange", 0), clock_.Now());
  EXPECT_EQ(script_->TrayHistory().size(), shown) << "already waiting: the tray stays";

  // The host derived from the server root has no scheme: https is meant.
  settings_.SetValue("webserver", "www.tarvex.example", true);
  Post(WM_COMMAND, kCommandMyTarvex);
  EXPECT_EQ(opener_.opened, std::vector<std::string>{"https://www.tarvex.example/account"});
}

TEST_F(HiddenWindowTest, TheSessionMayEndOnlyWhileNoActionRuns) {
  settings_.SetBool("syncshutdown", true, true);
  int64_t during = -1;
  sync_->onCall = [&](const std::string&) {
    if (during < 0) during = SendMessage(window_, WM_QUERYENDSESSION, 0, 0);
  };
  Post(WM_COMMAND, kActionSyncNow);
  EXPECT_EQ(during, 0) << "refused while the sync runs";
  EXPECT_EQ(calls().size(), 1u) << "and nothing started";
  EXPECT_EQ(SendMessage(window_, WM_QUERYENDSESSION, 0, 0), 1);
  EXPECT_EQ(calls().size(), 2u) << "the shutdown sync ran";

  scheduler_.SetStatus(108);
  SendMessage(window_, WM_ENDSESSION, 0, 0);
  EXPECT_EQ(TrayIcons().size(), 1u);
  SendMessage(window_, WM_ENDSESSION, 1, 0);
  Pump();
  EXPECT_TRUE(TrayIcons().empty());
  EXPECT_TRUE(quit_);
}

TEST_F(HiddenWindowTest, TheTrayOpensTheSettingsOrItsMenuAndExitIsConfirmed) {
  scheduler_.SetStatus(108);
  const TrayIcon icon = TrayIcons().at(0);
  int settingsShown = 0;
  scheduler_.settingsDialog = [&] {
    ++settingsShown;
    return kActionNone;
  };
  ClickTrayIcon(icon, WM_LBUTTONDOWN);
  Pump();
  ClickTrayIcon(icon, WM_LBUTTONDBLCLK);
  Pump();
  EXPECT_EQ(settingsShown, 2);

  script_->Choose("Synchronize Now");
  ClickTrayIcon(icon, WM_RBUTTONDOWN);
  Pump();
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"});

  // At log level 3 the menu offers the crash; Exit asks first.
  settings_.SetInt("loglevel", 3, true);
  int crashes = 0;
  hidden_.crash = [&] { ++crashes; };
  script_->Choose("Crash Now, Please");
  ClickTrayIcon(icon, WM_CONTEXTMENU);
  Pump();
  EXPECT_EQ(crashes, 1);
  prompt_.Script(kButtonNo);
  script_->Choose("Exit");
  ClickTrayIcon(icon, WM_RBUTTONDOWN);
  Pump();
  EXPECT_FALSE(quit_) << "not confirmed";
  prompt_.Script(kButtonYes);
  script_->Choose("Exit");
  ClickTrayIcon(icon, WM_RBUTTONDOWN);
  Pump();
  EXPECT_TRUE(quit_);
  EXPECT_TRUE(TrayIcons().empty());
  EXPECT_EQ(script_->Failures(), std::vector<std::string>{});

  std::vector<std::string> menus;
  for (const std::string& line : script_->Transcript())
    if (line.rfind("menu shown:", 0) == 0) menus.push_back(line);
  ASSERT_EQ(menus.size(), 4u);
  EXPECT_EQ(menus[0],
            "menu shown: | Synchronize Now | My Tarvex | Tarvex Settings... | Open Remote Tabs... "
            "| - | Exit");
  EXPECT_EQ(menus[1],
            "menu shown: | Synchronize Now | My Tarvex | Tarvex Settings... | Open Remote Tabs... "
            "| - | Crash Now, Please | - | Exit");

  // Below log level 3 the crash command does nothing.
  settings_.SetInt("loglevel", 2, true);
  Post(WM_COMMAND, kCommandCrashNow);
  EXPECT_EQ(crashes, 1);
}

}  // namespace
}  // namespace tarvex
