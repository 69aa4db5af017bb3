// The client's start: the banner, the browser's command message let in (or
// the three ways that fails), the window made once per user, what the
// command line says, and the error boxes of a start that cannot go on.
#include <gtest/gtest.h>

#include <fstream>

#include "ie/shell/Startup.h"
#include "ie/shell/tests/ShellFixture.h"
#include "platform/Win32Error.h"
#include "platform/registry/Registry.h"
#include "platform/win/Modules.h"
#include "platform/win/Tray.h"

namespace tarvex {
namespace {

class StartupTest : public testing::ShellFixture {
 protected:
  ~StartupTest() override {
    if (window_made_) DestroyWindow(window_made_);
    UnregisterClass(kWindowClass);
    ResetModulesForTesting();
    ChangeWindowMessageFilter(KVC_MESSAGE_COMMAND, MSGFLT_REMOVE);
  }
  int32_t Start(const std::string& commandLine) {
    return PreMessageLoop(env_, ParseCommandLine(commandLine), &window_made_);
  }

  std::vector<std::pair<std::string, std::string>> credentials_;
  uint32_t watcherResult_ = 0;
  int watcherStarts_ = 0;
  std::string runtime_ = dir_ / "run";
  StartupEnvironment env_{settings_,
                          logger_,
                          clock_,
                          facts_,
                          prompt_,
                          opener_,
                          scheduler_,
                          tray_,
                          hidden_,
                          [this](const std::string& u, const std::string& p) {
                            credentials_.emplace_back(u, p);
                            return true;
                          },
                          [this] {
                            ++watcherStarts_;
                            return watcherResult_;
                          },
                          runtime_};
  HWND window_made_;
};

TEST_F(StartupTest, AStartMakesTheWindowShowsTheTrayAndTakesTheCommandLine) {
  struct Case {
    const char* commandLine;
    bool userStarted;
    std::vector<std::pair<std::string, std::string>> credentials;
  };
  const Case cases[] = {
      {"", true, {}},
      {"-q", false, {}},
      {"-u demo", true, {}},
      {"-q -u demo -p secret", false, {{"demo", "secret"}}},
  };
  settings_.SetValue("kestroveversion", "1.3.5", true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    credentials_.clear();
    clock_.Advance(10);
    ASSERT_EQ(Start(c.commandLine), 0);
    EXPECT_EQ(FindWindow(kWindowClass, runtime_), window_made_);
    EXPECT_EQ(GetWindowText(window_made_), "Tarvex Synchronizer");
    EXPECT_EQ(settings_.GetBool("userinitiatedstart", !c.userStarted), c.userStarted);
    EXPECT_EQ(settings_.GetInt64("starttime", 0), clock_.Now());
    EXPECT_EQ(credentials_, c.credentials);
    ASSERT_EQ(TrayIcons().size(), 1u);
    EXPECT_EQ(TrayIcons()[0].icon, kIconIdle);
    EXPECT_EQ(TrayIcons()[0].owner, window_made_);
    DestroyWindow(window_made_);
    window_made_ = HWND{};
    UnregisterClass(kWindowClass);
  }
  EXPECT_EQ(watcherStarts_, 4);
  EXPECT_NE(Log().find("Tarvex [1.3.5], Windows version [6.1], UAC enabled [false], IE version "
                       "[<not value found>]"),
            std::string::npos);
}

TEST_F(StartupTest, TheBrowsersCommandMessageIsLetInOrTheFailureLogged) {
  const std::map<std::string, ProcAddress> none;
  auto refuses = +[](uint32_t, uint32_t) { return 0; };
  const std::map<std::string, ProcAddress> refusing = {
      {"ChangeWindowMessageFilter", reinterpret_cast<ProcAddress>(refuses)}};
  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* line;
  };
  const Case cases[] = {
      {"let in", [] {}, "Message filter added for KVC_MESSAGE_COMMAND"},
      {"no user32", [] { SetModuleForTesting("user32.dll", nullptr); },
       "Couldn't load user32 [126], unable to unfilter outside messagse"},
      {"no filter function", [&] { SetModuleForTesting("user32.dll", &none); },
       "Couldn't find filter function [127], unable to unfilter outside messagse"},
      {"the call fails", [&] { SetModuleForTesting("user32.dll", &refusing); },
       "Couldn't call filter function [87], unable to unfilter outside messagse"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetModulesForTesting();
    c.arrange();
    ASSERT_EQ(Start("-q"), 0) << "the start goes on either way";
    EXPECT_NE(Log().find(c.line), std::string::npos);
    DestroyWindow(window_made_);
    window_made_ = HWND{};
    UnregisterClass(kWindowClass);
  }
}

TEST_F(StartupTest, AnotherClientIsToldToShowItsSettingsUnlessTheStartIsQuiet) {
  // The other client: a window of the class already made.
  RegisterClass(kWindowClass, [](const HWND&, uint32_t, uint64_t, int64_t) { return int64_t{0}; });
  HWND other;
  ASSERT_EQ(CreateWindow(kWindowClass, "other", &other, runtime_), 0u);
  UnregisterClass(kWindowClass);  // refused while its window lives: the class stays
  for (const char* line : {"", "-q"}) {
    EXPECT_TRUE(TellRunningClient(env_, ParseCommandLine(line))) << line;
  }
  MSG msg;
  std::vector<uint64_t> told;
  while (PeekMessage(&msg))
    if (msg.hwnd == other) told.push_back(msg.wParam);
  EXPECT_EQ(told, std::vector<uint64_t>{kCommandShowSettings}) << "a quiet start tells nothing";
  DestroyWindow(other);
  UnregisterClass(kWindowClass);
  EXPECT_FALSE(TellRunningClient(env_, {}));
}

TEST_F(StartupTest, AStartThatCannotGoOnSaysSoWithHelp) {
  settings_.SetValue("webserver", "https://www.tarvex.example", true);
  // The class is taken in this process already.
  RegisterClass(kWindowClass, [](const HWND&, uint32_t, uint64_t, int64_t) { return int64_t{0}; });
  prompt_.Script(kButtonHelp);
  EXPECT_EQ(Start(""), win32::E_FAIL);
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].text,
            "Tarvex has encountered an error: registering TarvexSyncWindow [1410].  Please click "
            "Help to get support.");
  EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonClose);
  EXPECT_EQ(prompt_.asked[0].buttons[1], kButtonHelp);
  EXPECT_EQ(opener_.opened, std::vector<std::string>{"https://www.tarvex.example/support"});
  UnregisterClass(kWindowClass);

  // The runtime folder cannot be made: a file stands where it should be.
  std::ofstream(runtime_) << "not a folder";
  prompt_.asked.clear();
  EXPECT_EQ(Start(""), win32::E_FAIL);
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].text.rfind("Tarvex has encountered an error: creating window [", 0),
            0u)
      << prompt_.asked[0].text;
  EXPECT_EQ(watcherStarts_, 0);
  std::filesystem::remove(runtime_);

  // The watcher cannot start: the client runs without it.
  watcherResult_ = 8;
  prompt_.asked.clear();
  EXPECT_EQ(Start("-q"), 0);
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].text,
            "Tarvex has encountered an error: starting worker thread [8], worker local changes "
            "thread may not work correctly.");
  EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonContinue);
}

TEST_F(StartupTest, TheModulesSwitchesRegisterItsAppIdAndNothingElseRuns) {
  int32_t result = -1;
  EXPECT_FALSE(RegisterModule(registry_, ParseCommandLine("-q -u demo"), &result));
  ASSERT_TRUE(RegisterModule(registry_, ParseCommandLine("-RegServer"), &result));
  EXPECT_EQ(result, 0);
  std::string value;
  ASSERT_EQ(registry_.ReadString(Hive::CurrentUser, "Software\\Classes\\AppID\\tarvexsync.EXE",
                                 "AppID", &value),
            0u);
  EXPECT_EQ(value, "{3A9149FD-F443-4C64-A344-496C40C22B03}");
  ASSERT_EQ(registry_.ReadString(Hive::CurrentUser,
                                 "Software\\Classes\\AppID\\{3A9149FD-F443-4C64-A344-496C40C22B03}",
                                 "", &value),
            0u);
  EXPECT_EQ(value, "exe");
  for (const char* line : {"-UnregServer", "-UnregServerPerUser"}) {
    ASSERT_TRUE(RegisterModule(registry_, ParseCommandLine(line), &result)) << line;
    EXPECT_EQ(result, 0);
  }
  EXPECT_EQ(registry_.ReadString(Hive::CurrentUser, "Software\\Classes\\AppID\\tarvexsync.EXE",
                                 "AppID", &value),
            0u)
      << "never removed";
}

}  // namespace
}  // namespace tarvex
