#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "app/core/KestroveLogger.h"
#include "app/core/KestroveSettings.h"
#include "platform/clock/Clock.h"
#include "platform/mac/Notifications.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::ReadAll;
using testing::SplitLines;

// A logger on a log of its own in a fresh folder, at a fixed time in UTC,
// with its console lines kept.
struct LoggerFixture : ::testing::Test {
  void SetUp() override {
    env.Set("TZ", "UTC");
    ::tzset();
  }
  void TearDown() override { ::tzset(); }

  std::unique_ptr<KestroveLogger> Make() {
    return std::make_unique<KestroveLogger>(
        path, [this](const std::string& line) { console.push_back(line); }, &clock);
  }
  std::vector<std::string> Lines() { return SplitLines(ReadAll(path)); }

  testing::ScopedEnv env;
  testing::TempDir dir;
  std::string path = dir / "Library/Tarvex/tarvex.log.txt";
  FakeClock clock{1796929433};  // 2026-12-10 19:03:53 UTC
  std::vector<std::string> console;
};

constexpr char kDate[] = "2026-12-10 19:03:53 +0000";

TEST_F(LoggerFixture, EachLevelLetsThroughItsOwnLines) {
  struct Case {
    const char* level;
    bool warn, debug;
  } cases[] = {{"error", false, false}, {"warn", true, false}, {"debug", true, true}, {"verbose", false, false},
               {"Debug", false, false}, {"", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    std::filesystem::remove(path);
    auto logger = Make();
    logger->setLogLevel(c.level);
    logger->error("e");
    logger->warn("w");
    logger->debug("d");
    logger->info("i");
    std::vector<std::string> expected{std::string(kDate) + ": Error: e"};
    if (c.warn) expected.push_back(std::string(kDate) + ": Warning: w");
    if (c.debug) expected.push_back(std::string(kDate) + ": Debug: d");
    expected.push_back(std::string(kDate) + ": Info: i");
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(logger->inWarnMode(), c.warn);
    EXPECT_EQ(logger->inDebugMode(), c.debug);
    EXPECT_TRUE(logger->inErrorMode());
  }
  for (const char* unknown : {"info", "ERROR", ""}) EXPECT_FALSE(Make()->matchLogLevel(unknown)) << unknown;
}

TEST_F(LoggerFixture, ErrorsAlsoGoToTheConsoleAndAssertionsOnlyWhenFalse) {
  auto logger = Make();
  logger->assertWithMessage(true, "fine");
  logger->assertWithMessage(false, "changeRecord record");
  logger->warn("quiet");
  EXPECT_EQ(Lines(), (std::vector<std::string>{std::string(kDate) + ": Error: Assertion error!",
                                                std::string(kDate) + ": Error: changeRecord record"}));
  EXPECT_EQ(console, (std::vector<std::string>{"TarvexLogger Error: Assertion error!",
                                               "TarvexLogger Error: changeRecord record"}));
}

TEST_F(LoggerFixture, DisabledWritesNothingAndTheFolderIsMadePrivate) {
  auto logger = Make();
  logger->setEnabled(false);
  logger->error("e");
  logger->info("i");
  EXPECT_FALSE(std::filesystem::exists(path));
  logger->setEnabled(true);
  logger->info("back");
  EXPECT_EQ(Lines(), std::vector<std::string>{std::string(kDate) + ": Info: back"});
  struct stat st;
  ASSERT_EQ(::stat((dir / "Library/Tarvex").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(LoggerFixture, TextThatIsNoUtf8IsReplacedNotWrittenRaw) {
  Make()->info("caf\xc3\xa9 \xff end");
  EXPECT_EQ(Lines(), std::vector<std::string>{std::string(kDate) + ": Info: caf\xc3\xa9 \xef\xbf\xbd end"});
}

TEST_F(LoggerFixture, TheSizeRuleAtCreation) {
  struct Case {
    std::uintmax_t size;
    bool cleared;
  } cases[] = {{KestroveLogger::kMaxLogSize, false}, {KestroveLogger::kMaxLogSize + 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::filesystem::create_directories(dir / "Library/Tarvex");
    testing::WriteAll(path, "old line\n");
    std::filesystem::resize_file(path, c.size);
    auto logger = Make();
    if (c.cleared) {
      EXPECT_EQ(Lines(), std::vector<std::string>{std::string(kDate) + ": Info: Cleared previous log file to save disk space"});
    } else {
      EXPECT_EQ(std::filesystem::file_size(path), c.size);
    }
  }
}

TEST_F(LoggerFixture, TheSizeRuleWhileTheAgentRuns) {
  std::filesystem::create_directories(dir / "Library/Tarvex");
  testing::WriteAll(path, "");
  std::filesystem::resize_file(path, KestroveLogger::kMaxLogSize);  // just at the limit: kept
  auto logger = Make();
  logger->info("first");
  std::string chunk(8000, 'x');
  size_t written = 0;
  while (written <= KestroveLogger::kCheckEvery + 8100) {
    logger->info(chunk);
    written += chunk.size() + 40;
  }
  EXPECT_LT(std::filesystem::file_size(path), KestroveLogger::kCheckEvery) << "cleared while open";
  std::vector<std::string> lines = Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], std::string(kDate) + ": Info: Cleared previous log file to save disk space");
}

TEST_F(LoggerFixture, ALogEmptiedMeanwhileGoesOnAtItsEnd) {
  auto logger = Make();
  logger->info("one");
  ::truncate(path.c_str(), 0);  // the preference pane clears the log
  logger->info("two");
  EXPECT_EQ(ReadAll(path), std::string(kDate) + ": Info: two\n");
}

TEST_F(LoggerFixture, AFileThatCannotBeOpenedCostsTheLineOnly) {
  testing::WriteAll(dir / "Library", "a file where the folder should be");
  auto logger = Make();
  logger->info("lost");
  EXPECT_EQ(console, std::vector<std::string>{"Unable to open log file"});
  std::filesystem::remove(dir / "Library");
  logger->info("kept");
  EXPECT_EQ(Lines(), std::vector<std::string>{std::string(kDate) + ": Info: kept"});
}

TEST_F(LoggerFixture, AFailedWriteClosesTheFileAndTheNextLineReopensIt) {
  auto logger = Make();
  logger->info("before");
  {
    testing::FileSizeLimit limit(std::filesystem::file_size(path) + 10);  // the disk is full
    logger->info(std::string(100, 'x'));
  }
  EXPECT_EQ(console, std::vector<std::string>{"Log file close error"});
  logger->info("after");
  EXPECT_EQ(Lines(), (std::vector<std::string>{std::string(kDate) + ": Info: before",
                                                std::string(kDate) + ": Info: after"}))
      << "no half line left between them";
}

TEST_F(LoggerFixture, LevelAndSwitchComeFromTheSettings) {
  struct Case {
    std::optional<std::string> level, enable;
    std::string expectLevel;
    bool expectEnabled;
  } cases[] = {
      {"warn", "true", "warn", true},
      {std::nullopt, "true", "error", true},
      {"", "true", "error", true},
      {"debug", "True", "debug", false},
      {"debug", std::nullopt, "debug", false},
      {"debug", "false", "debug", false},
  };
  mac::RecordingNotificationCenter center;
  auto logger = Make();
  KestroveSettings settings(KestroveSettings::defaults(), {dir / "prefs.plist", dir / "loginwindow.plist"}, center,
                            *logger);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level.value_or("(none)") + "/" + c.enable.value_or("(none)"));
    settings.setKeyForValue(settingLogLevel, c.level);
    settings.setKeyForValue(settingEnableLogging, c.enable);
    logger->updateFromSettings(settings);
    EXPECT_EQ(logger->logLevel(), c.expectLevel);
    EXPECT_EQ(logger->isEnabled(), c.expectEnabled);
  }
}

}  // namespace
}  // namespace tarvex
