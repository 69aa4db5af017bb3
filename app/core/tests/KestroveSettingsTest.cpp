#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/core/KestroveLogger.h"
#include "app/core/KestroveSettings.h"
#include "platform/clock/Clock.h"
#include "platform/mac/LoginItems.h"
#include "platform/mac/Notifications.h"
#include "platform/mac/Plist.h"
#include "platform/mac/System.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::ReadAll;
using testing::WriteAll;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Settings of their own in a fresh home, with a recording center and a log
// whose lines the test reads.
struct SettingsFixture : ::testing::Test {
  std::unique_ptr<KestroveSettings> Make() {
    return std::make_unique<KestroveSettings>(KestroveSettings::defaults(), paths, center, logger);
  }
  std::string Log() { return ReadAll(logger.path()); }
  mac::DictRef PrefsOnDisk() {
    mac::PlistRead read = mac::ReadPlistDict(paths.prefs);
    return read.status == mac::PlistRead::Status::Dict ? read.dict : nullptr;
  }

  testing::TempDir home;
  KestroveSettings::Paths paths{home / "Library/Tarvex/prefs.plist",
                                home / "Library/Preferences/loginwindow.plist"};
  mac::RecordingNotificationCenter center;
  FakeClock clock{0};
  KestroveLogger logger{home / "log.txt", [](const std::string&) {}, &clock};
};

TEST_F(SettingsFixture, DefaultsAndTheirQuestions) {
  auto settings = Make();
  EXPECT_EQ(settings->getString(settingLogLevel), "debug");
  EXPECT_EQ(settings->getString(settingEncryptionType), "2");
  EXPECT_EQ(settings->getString(settingUsername), "");
  EXPECT_FALSE(settings->hasValue(settingUsername)) << "the empty default is no value";
  EXPECT_TRUE(settings->hasValue(settingAutoSync));
  for (const char* none : {settingVersion, settingNetworkConnectionFailed, settingUseTabSync, settingTabComputerName}) {
    EXPECT_EQ(settings->getString(none), std::nullopt) << none;
    EXPECT_FALSE(settings->hasValue(none)) << none;
  }
  EXPECT_EQ(KestroveSettings::defaults().size(), 15u);
  EXPECT_FALSE(std::filesystem::exists(paths.prefs)) << "making them writes nothing";
  EXPECT_TRUE(center.Posted().empty());
}

TEST_F(SettingsFixture, OnlyTheExactLowerCaseTrueIsTrue) {
  auto settings = Make();
  struct Case {
    std::optional<std::string> value;
    bool answer;
  } cases[] = {{"true", true}, {"True", false}, {"TRUE", false}, {"1", false},   {"yes", false},
               {"", false},    {" true", false}, {"false", false}, {std::nullopt, false}};
  for (const Case& c : cases) {
    settings->setKeyForValue(settingAutoSync, c.value);
    EXPECT_EQ(settings->getBoolean(settingAutoSync), c.answer) << c.value.value_or("(none)");
  }
  settings->setBooleanKeyForValue(settingUseTabSync, true);
  EXPECT_EQ(settings->getString(settingUseTabSync), "true");
  settings->setBooleanKeyForValue(settingUseTabSync, false);
  EXPECT_EQ(settings->getString(settingUseTabSync), "false");
  settings->setKeyForValue(settingUseTabSync, std::nullopt);
  EXPECT_EQ(settings->getString(settingUseTabSync), std::nullopt) << "nil removes the key";
}

TEST_F(SettingsFixture, TheFileReplacesTheKeysItHoldsAndKeepsTheRest) {
  ASSERT_EQ(mac::WritePlistDictAtomically(
                paths.prefs, mac::NewDict({{"username", "\xc3\xa9mile"},
                                           {"autoSync", "false"},
                                           {"tabComputerName", "desk"},
                                           {"topRevision", int64_t{42}},
                                           {"useTabSync", true},
                                           {"odd", mac::NewArray({"x"})}})),
            "");
  auto settings = Make();
  EXPECT_EQ(settings->getString(settingUsername), "\xc3\xa9mile");
  EXPECT_FALSE(settings->getBoolean(settingAutoSync));
  EXPECT_EQ(settings->getString(settingTabComputerName), "desk");
  EXPECT_EQ(settings->getString(settingTopRevision), "42");
  EXPECT_EQ(settings->getString(settingUseTabSync), "true");
  EXPECT_EQ(settings->getString("odd"), std::nullopt);
  EXPECT_NE(Log().find("odd"), std::string::npos) << "a list is left out with a log line";
  EXPECT_EQ(settings->getString(settingLogLevel), "debug") << "keys only in memory stay";
  // Changes stay in memory until saved.
  settings->setKeyForValue(settingUsername, "bob");
  EXPECT_EQ((*PrefsOnDisk())["username"].AsString(), "\xc3\xa9mile");
}

TEST_F(SettingsFixture, SavingWritesAPrivateFileAndTellsThePaneEachTime) {
  auto settings = Make();
  settings->setKeyForValue(settingAuthtoken, "secret");
  ASSERT_TRUE(settings->writeToFile());
  ASSERT_TRUE(settings->writeToFile());
  EXPECT_EQ(ModeOf(paths.prefs), 0600u);
  EXPECT_EQ(ModeOf(home / "Library/Tarvex"), 0700u);
  mac::DictRef disk = PrefsOnDisk();
  ASSERT_TRUE(disk);
  mac::Dict expected;
  for (const auto& [key, value] : settings->data()) expected[key] = value;
  EXPECT_EQ(*disk, expected);
  auto posted = center.Posted();
  ASSERT_EQ(posted.size(), 2u);
  for (const mac::Notification& n : posted) {
    EXPECT_EQ(n.name, "TarvexPref");
    EXPECT_EQ(mac::Value(n.userInfo),
              mac::Value(mac::NewDict({{"action", "updatePrefs"}, {"data", ""}, {"username", mac::UserName()}})));
  }
  // A file another program made readable to all is private again.
  ::chmod(paths.prefs.c_str(), 0644);
  ASSERT_TRUE(settings->writeToFile());
  EXPECT_EQ(ModeOf(paths.prefs), 0600u);
}

TEST_F(SettingsFixture, AFailedSaveKeepsTheOldFileAndPostsNothing) {
  auto settings = Make();
  ASSERT_TRUE(settings->writeToFile());
  std::string before = ReadAll(paths.prefs);
  settings->setKeyForValue("big", std::string(100000, 'x'));
  {
    testing::FileSizeLimit limit(before.size() + 100);  // the disk fills up
    EXPECT_FALSE(settings->writeToFile());
  }
  EXPECT_EQ(ReadAll(paths.prefs), before);
  EXPECT_EQ(center.Posted().size(), 1u);
  EXPECT_NE(Log().find(paths.prefs), std::string::npos);
}

TEST_F(SettingsFixture, AnUnreadableFileIsSetAsideNotOverwritten) {
  std::filesystem::create_directories(home / "Library/Tarvex");
  const std::string damaged[] = {"<?xml version=\"1.0\"?><plist><dict><key>authtoken</key><string>t",
                                 std::string("bplist00\x00\x01", 10)};
  const std::string aside[] = {paths.prefs + ".unreadable", paths.prefs + ".unreadable.1"};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    WriteAll(paths.prefs, damaged[i]);
    auto settings = Make();
    EXPECT_FALSE(std::filesystem::exists(paths.prefs)) << "moved aside as it was read";
    EXPECT_EQ(settings->getString(settingAuthtoken), "");
    ASSERT_TRUE(settings->writeToFile());
    EXPECT_EQ(ReadAll(aside[i]), damaged[i]) << "an earlier copy set aside is kept too";
    EXPECT_TRUE(PrefsOnDisk());
    EXPECT_NE(Log().find(aside[i]), std::string::npos);
  }
  EXPECT_EQ(ReadAll(aside[0]), damaged[0]);
}

TEST_F(SettingsFixture, AnUnreadableFileThatCannotBeMovedIsNotSavedOver) {
  // A folder where the file should be reads as unreadable; renaming it
  // aside works, so block the aside name with a folder that is not empty.
  std::filesystem::create_directories(home / "Library/Tarvex");
  WriteAll(paths.prefs, "garbage");
  for (int i = 0; i < 100; ++i) {
    std::string name = paths.prefs + ".unreadable" + (i ? "." + std::to_string(i) : "");
    std::filesystem::create_directories(name + "/x");
  }
  auto settings = Make();
  EXPECT_FALSE(settings->writeToFile());
  EXPECT_EQ(ReadAll(paths.prefs), "garbage");
  EXPECT_TRUE(center.Posted().empty());
}

TEST_F(SettingsFixture, TheLoginItemFollowsTheSetting) {
  struct Case {
    const char* name;
    std::optional<std::string> file;  // nothing: no file
    bool launch;
    bool answer;
    std::optional<size_t> ours;  // entries of the agent after; nothing: the file as it was
  } cases[] = {
      {"created when missing", std::nullopt, true, true, 1u},
      {"every duplicate removed",
       mac::PlistXml(mac::NewDict({{mac::kAutoLaunchedApplications,
                                    mac::NewArray({mac::NewDict({{"Path", kestroveApplicationPath}}),
                                                   mac::NewDict({{"Path", "/Applications/Mail.app"}}),
                                                   mac::NewDict({{"Path", kestroveApplicationPath}})})}})),
       false, true, 0u},
      {"unreadable left alone", std::string("not a property list"), true, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home / "Library/Preferences");
    if (c.file) {
      std::filesystem::create_directories(home / "Library/Preferences");
      WriteAll(paths.loginWindow, *c.file);
    }
    auto settings = Make();
    settings->setBooleanKeyForValue(settingLaunchAtLogin, c.launch);
    EXPECT_EQ(settings->updateLaunchAtLogin(), c.answer);
    if (!c.ours) {
      EXPECT_EQ(ReadAll(paths.loginWindow), *c.file);
      EXPECT_NE(Log().find("Login items"), std::string::npos);
      continue;
    }
    mac::PlistRead read = mac::ReadPlistDict(paths.loginWindow);
    ASSERT_EQ(read.status, mac::PlistRead::Status::Dict);
    size_t ours = 0, others = 0;
    for (const mac::Value& item : *(*read.dict)[mac::kAutoLaunchedApplications].AsArray()) {
      bool mine = (*item.AsDict())["Path"].AsString() == kestroveApplicationPath;
      ours += mine;
      others += !mine;
      if (mine) {
        EXPECT_EQ((*item.AsDict())["Hide"], mac::Value(false));
      }
    }
    EXPECT_EQ(ours, *c.ours);
    EXPECT_EQ(others, c.file ? 1u : 0u);
  }
}

// The shared settings as the agent makes them: in a process of its own (each
// test runs in its own process under CTest), with HOME pointing at a fresh
// folder.
TEST(KestroveSharedSettings, MadeOnFirstUseSavedAndWithTheLoginItem) {
  testing::TempDir home;
  testing::ScopedEnv env;
  env.Set("HOME", home.path().c_str());
  mac::RecordingNotificationCenter center;
  mac::SetDistributedCenter(&center);
  KestroveSettings& settings = KestroveSettings::instance();
  EXPECT_EQ(&settings, &KestroveSettings::instance());
  EXPECT_EQ(settings.paths().prefs, home / "Library/Tarvex/prefs.plist");
  mac::PlistRead prefs = mac::ReadPlistDict(home / "Library/Tarvex/prefs.plist");
  ASSERT_EQ(prefs.status, mac::PlistRead::Status::Dict);
  EXPECT_EQ((*prefs.dict)["encryptionType"].AsString(), "2");
  EXPECT_EQ(ModeOf(home / "Library/Tarvex/prefs.plist"), 0600u);
  EXPECT_EQ(center.Posted().size(), 1u);
  mac::PlistRead login = mac::ReadPlistDict(home / "Library/Preferences/loginwindow.plist");
  ASSERT_EQ(login.status, mac::PlistRead::Status::Dict);
  EXPECT_EQ((*login.dict)[mac::kAutoLaunchedApplications],
            mac::Value(mac::NewArray({mac::NewDict({{"Path", kestroveApplicationPath}, {"Hide", false}})})));
  KestroveLogger& logger = KestroveLogger::instance();
  EXPECT_EQ(logger.path(), home / "Library/Tarvex/tarvex.log.txt");
  logger.updateFromSettings();
  EXPECT_EQ(logger.logLevel(), "debug");
  EXPECT_TRUE(logger.isEnabled());
  mac::SetDistributedCenter(nullptr);
}

}  // namespace
}  // namespace tarvex
