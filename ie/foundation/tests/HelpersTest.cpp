#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

class HelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = PlatformConfig::Current();
    PlatformConfig c = saved_;
    c.tempDir = dir_ / "tmp";
    PlatformConfig::SetCurrent(c);
    settings_ =
        std::make_unique<Settings>(registry_, FileSystem::Native(), clock_, facts_, logger_);
  }
  void TearDown() override { PlatformConfig::SetCurrent(saved_); }
  std::string Log() {
    std::ifstream in(logger_.path());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  testing::TempDir dir_;
  PlatformConfig saved_;
  Registry registry_{dir_ / "registry"};
  FakeClock clock_{1796858716};
  OsFacts facts_;
  Logger logger_{dir_ / "log/tarvex.log", FileSystem::Native(), clock_};
  std::unique_ptr<Settings> settings_;
  testing::ScriptedPrompt prompt_;
  testing::RecordingOpener opener_;
};

TEST_F(HelpersTest, UserDirIsTheSettingElseTheTemporaryFolder) {
  EXPECT_EQ(GetUserDir({}, settings_.get()), dir_ / "tmp/");
  EXPECT_EQ(GetLogFilePath(settings_.get()), dir_ / "tmp/tarvex.log");
  settings_->SetValue("userdir", "/home/u/Tarvex", true);
  EXPECT_EQ(GetUserDir("tarvex-baseline.json", settings_.get()),
            "/home/u/Tarvex/tarvex-baseline.json");
}

TEST_F(HelpersTest, QuitQuestionStoresTheBoxAndQuitsOnlyOnYes) {
  struct Case {
    int button;
    std::optional<bool> click;
    bool quits;
    const char* stored;
  } cases[] = {
      {kButtonYes, std::nullopt, true, "true"},
      {kButtonNo, std::nullopt, false, "true"},
      {kButtonNo, true, false, "true"},
      {kButtonYes, false, true, "false"},  // unticked: not asked again
  };
  for (const Case& c : cases) {
    settings_->SetBool("confirmquit", true, true);
    prompt_.asked.clear();
    prompt_.Script(c.button, c.click);
    EXPECT_EQ(ConfirmQuit(*settings_, prompt_), c.quits);
    ASSERT_EQ(prompt_.asked.size(), 1u);
    const auto& q = prompt_.asked[0];
    EXPECT_EQ(q.text,
              "Closing Tarvex will prevent your Favorites from being synchronized, are you sure "
              "you want to quit?");
    EXPECT_EQ(q.buttons[0], kButtonNo);
    EXPECT_EQ(q.buttons[1], kButtonYes);
    EXPECT_EQ(q.checkboxText, "Always ask before closing");
    EXPECT_TRUE(q.checkedShown);
    EXPECT_EQ(settings_->GetValue("confirmquit", ""), c.stored);
  }
  prompt_.asked.clear();
  EXPECT_TRUE(ConfirmQuit(*settings_, prompt_));  // the last case turned the question off
  EXPECT_TRUE(prompt_.asked.empty());
}

TEST_F(HelpersTest, OnlyWebPagesAreOpened) {
  struct Case {
    const char* url;
    bool opened;
  } cases[] = {
      {"https://www.tarvex.com/msie/upgrade/1.3.5", true},
      {"HTTP://www.tarvex.com/", true},
      {"file:///usr/bin/xterm", false},
      {"/usr/bin/xterm", false},
      {"javascript:alert(1)", false},
      {"httpx://host", false},
  };
  for (const Case& c : cases) {
    opener_.opened.clear();
    prompt_.asked.clear();
    OpenUrlInBrowser(c.url, opener_, prompt_, logger_);
    EXPECT_EQ(opener_.opened.size(), c.opened ? 1u : 0u) << c.url;
    if (!c.opened) {
      ASSERT_EQ(prompt_.asked.size(), 1u);
      EXPECT_EQ(prompt_.asked[0].text,
                std::string("We were unable to open your browser to show you this page: ") + c.url);
      EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonOK);
      EXPECT_NE(Log().find(std::string("Windows error [5] attempting to open: ") + c.url + "\n"),
                std::string::npos);
    }
  }
}

TEST_F(HelpersTest, FailedOpenIsLoggedAndShown) {
  opener_.result = 2;
  OpenUrlInBrowser("https://www.tarvex.com/", opener_, prompt_, logger_);
  EXPECT_NE(Log().find("Windows error [2] attempting to open: https://www.tarvex.com/"),
            std::string::npos);
  ASSERT_EQ(prompt_.asked.size(), 1u);
}

TEST(CommandLine, ArgumentsBecomeTheSwitchTable) {
  const char* argv[] = {"/opt/Tarvex/tarvexsync", "-q", "-u", "name1", "-p"};
  ParseProcessCommandLine(5, argv);
  EXPECT_EQ(CommandLineSwitches(), (SwitchTable{{"q", ""}, {"u", "name1"}, {"p", ""}}));
  const char* none[] = {"tarvexsync"};
  EXPECT_EQ(JoinArguments(1, none), "");
  ParseProcessCommandLine(1, none);
  EXPECT_TRUE(CommandLineSwitches().empty());
}

}  // namespace
}  // namespace tarvex
