#include <gtest/gtest.h>

#include "ie/foundation/core/FindSyncExecutable.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

// Where a copy of the program lies; each case puts it in some of them.
enum Place { kAppdir = 1, kHint = 2, kProgramFiles = 4 };

class FindSyncExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = PlatformConfig::Current();
    PlatformConfig c = saved_;
    c.programFilesDir = dir_ / "ProgramFiles";
    PlatformConfig::SetCurrent(c);
    for (const char* sub : {"app", "hint", "ProgramFiles/Tarvex", "picked"})
      fs_.CreateDirectories(dir_ / sub);
  }
  void TearDown() override { PlatformConfig::SetCurrent(saved_); }

  std::string Program(const char* folder) { return dir_ / (std::string(folder) + "/tarvexsync"); }
  void Put(int places) {
    if (places & kAppdir) fs_.WriteFileAtomic(Program("app"), "#!");
    if (places & kHint) fs_.WriteFileAtomic(Program("hint"), "#!");
    if (places & kProgramFiles) fs_.WriteFileAtomic(Program("ProgramFiles/Tarvex"), "#!");
  }
  std::string Appdir() {
    std::string v;
    registry_.ReadString(Hive::CurrentUser, kSettingsKey, "appdir", &v);
    return v;
  }
  std::string Find() {
    UserInteraction ui{&prompt_, &picker_, &opener_};
    return FindSyncExecutable(dir_ / "hint", registry_, fs_, ui);
  }

  testing::TempDir dir_;
  PlatformConfig saved_;
  Registry registry_{dir_ / "registry"};
  FileSystem& fs_ = FileSystem::Native();
  testing::ScriptedPrompt prompt_;
  testing::ScriptedPicker picker_;
  testing::RecordingOpener opener_;
};

TEST_F(FindSyncExecutableTest, TakesTheFirstPlaceThatHoldsTheProgram) {
  struct Case {
    int places;
    const char* expected;
  } cases[] = {
      {kAppdir | kHint | kProgramFiles, "app"},
      {kHint | kProgramFiles, "hint"},  // a stale appdir falls through
      {kProgramFiles, "ProgramFiles/Tarvex"},
  };
  registry_.WriteString(Hive::CurrentUser, kSettingsKey, "appdir", dir_ / "app/");
  for (const Case& c : cases) {
    for (const char* f : {"app", "hint", "ProgramFiles/Tarvex"}) fs_.DeleteFile(Program(f));
    Put(c.places);
    EXPECT_EQ(Find(), Program(c.expected)) << c.places;
  }
  EXPECT_TRUE(prompt_.asked.empty());
  EXPECT_EQ(picker_.calls, 0);
}

TEST_F(FindSyncExecutableTest, AsksTheUserAndRemembersTheFolderOfThePick) {
  registry_.WriteString(Hive::CurrentUser, kSettingsKey, "appdir", "");
  fs_.WriteFileAtomic(dir_ / "picked/tarvexsync", "#!");
  picker_.pick = dir_ / "picked/tarvexsync";
  EXPECT_EQ(Find(), dir_ / "picked/tarvexsync");
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].text,
            "Tarvex was not installed in a standard location and IE cannot find the executable.  "
            "Please locate the application.");
  EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonOK);
  EXPECT_EQ(Appdir(), dir_ / "picked/");
}

TEST_F(FindSyncExecutableTest, CancelGivesEmptyPathAndStoresNothing) {
  picker_.pick.reset();
  EXPECT_EQ(Find(), "");
  EXPECT_EQ(picker_.calls, 1);
  EXPECT_EQ(Appdir(), "");
}

TEST_F(FindSyncExecutableTest, FolderIsNotTakenForTheProgram) {
  fs_.CreateDirectories(Program("hint"));
  Put(kProgramFiles);
  EXPECT_EQ(Find(), Program("ProgramFiles/Tarvex"));
}

}  // namespace
}  // namespace tarvex
