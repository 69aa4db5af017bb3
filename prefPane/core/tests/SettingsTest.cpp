#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "platform/mac/Plist.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"
#include "prefPane/core/KestroveSettings.h"
#include "prefPane/core/SystemProxies.h"

namespace tarvex::pane {
namespace {

using mac::NewArray;
using mac::NewDict;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

TEST(PaneSettings, WithoutAFileTheDefaultsAreExactlyThePanes) {
  TempDir home;
  auto settings = KestroveSettings::withDefaults(home / "Library/Tarvex/prefs.plist", "Studio Mac");
  KestroveSettings::Data expected = {
      {"launchAtLogin", "true"},     {"autoSync", "true"},        {"showStatusMenu", "true"},
      {"useGrowl", "true"},          {"checkForUpdates", "true"}, {"enableLogging", "true"},
      {"machineID", "anon"},         {"enableSmartSearch", "true"}, {"smartSearchTop3", "true"},
      {"enableSyncNotification", "true"}, {"enableBIB", "true"}, {"toolbarSetup", "false"},
      {"encryptionType", "2"},       {"useProxy", "false"},       {"httpsProxy", ""},
      {"httpProxy", ""},             {"tabComputerName", "Studio Mac - Safari"},
      {"useTabSync", "false"},
  };
  EXPECT_EQ(settings.data(), expected);
  EXPECT_FALSE(settings.getValueForKey("logLevel"));
  EXPECT_FALSE(std::filesystem::exists(home / "Library"));  // reading writes nothing
}

// What a file holds, and what the settings then read.
TEST(PaneSettings, TheFileOverridesOnlyItsOwnKeysAndNonTextValuesAreMapped) {
  struct Case {
    const char* what;
    mac::DictRef file;
    KestroveSettings::Data changed;
    std::vector<std::string> absent;
  };
  const std::vector<Case> cases = {
      {"one key", NewDict({{"autoSync", "false"}}), {{"autoSync", "false"}}, {}},
      {"agent values", NewDict({{"authtoken", "T"}, {"logLevel", "debug"}}),
       {{"authtoken", "T"}, {"logLevel", "debug"}}, {}},
      {"booleans and numbers",
       NewDict({{"useProxy", true}, {"autoSync", false}, {"encryptionType", 0}, {"topRevision", 123456789012LL},
                {"ratio", 1.5}}),
       {{"useProxy", "true"}, {"autoSync", "false"}, {"encryptionType", "0"}, {"topRevision", "123456789012"},
        {"ratio", "1.5"}},
       {}},
      {"containers left out", NewDict({{"list", NewArray({"a"})}, {"inner", NewDict({{"k", "v"}})}}), {},
       {"list", "inner"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool binary : {false, true}) {
      TempDir home;
      std::string path = home / "prefs.plist";
      WriteAll(path, binary ? mac::PlistBinary(c.file) : mac::PlistXml(c.file));
      auto settings = KestroveSettings::withDefaults(path, "Box");
      auto expected = KestroveSettings::defaults("Box");
      for (const auto& [key, value] : c.changed) expected[key] = value;
      EXPECT_EQ(settings.data(), expected) << (binary ? "binary" : "XML");
      for (const std::string& key : c.absent) EXPECT_FALSE(settings.getValueForKey(key)) << key;
    }
  }
}

TEST(PaneSettings, AFileThatIsNoDictionaryLeavesTheDefaultsAndIsNeverOverwritten) {
  const std::vector<std::pair<const char*, std::string>> files = {
      {"garbage", "this is { not a plist"},
      {"empty", ""},
      {"array root",
       "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>"},
      {"cut short", mac::PlistXml(NewDict({{"authtoken", "T"}})).substr(0, 60)},
  };
  for (const auto& [what, content] : files) {
    SCOPED_TRACE(what);
    TempDir home;
    std::string path = home / "prefs.plist";
    WriteAll(path, content);
    auto settings = KestroveSettings::withDefaults(path, "Box");
    EXPECT_EQ(settings.data(), KestroveSettings::defaults("Box"));
    EXPECT_FALSE(settings.loadFromFile());
    EXPECT_NE(settings.lastError().find(path), std::string::npos) << settings.lastError();
    // Saving keeps what the file held beside it, then writes the settings.
    ASSERT_TRUE(settings.save()) << settings.lastError();
    EXPECT_EQ(ReadAll(path + ".unreadable"), content);
    EXPECT_EQ(mac::ReadPlistDict(path).status, mac::PlistRead::Status::Dict);
  }
}

TEST(PaneSettings, ValuesAsFlagsAndButtonStates) {
  KestroveSettings settings("/nonexistent/prefs.plist");
  settings.overwriteFromDictionary(KestroveSettings::defaults("Box"));
  EXPECT_FALSE(settings.hasValueKey("httpProxy"));  // "" at its default
  EXPECT_FALSE(settings.hasValueKey("nothing"));
  EXPECT_TRUE(settings.hasValueKey("machineID"));

  struct Case {
    int state;
    const char* stored;
  };
  for (Case c : {Case{kButtonOn, "true"}, Case{kButtonOff, "false"}, Case{kButtonMixed, "false"}, Case{7, "false"}}) {
    settings.setBoolAsButtonStateKeyForValue("autoSync", c.state);
    EXPECT_EQ(settings.getValueForKey("autoSync"), c.stored) << c.state;
    EXPECT_EQ(settings.getBoolKeyAsButtonState("autoSync"), c.stored == std::string("true") ? kButtonOn : kButtonOff);
  }
  for (const char* value : {"TRUE", "yes", "1", ""}) {
    settings.setKeyForValue("useProxy", std::string(value));
    EXPECT_FALSE(settings.getBoolKey("useProxy")) << value;
  }
  settings.setBoolKeyForValue("useProxy", true);
  EXPECT_TRUE(settings.getBoolKey("useProxy"));
  settings.setKeyForValue("useProxy", std::nullopt);
  EXPECT_FALSE(settings.getValueForKey("useProxy"));
  EXPECT_FALSE(settings.getBoolKey("useProxy"));
}

TEST(PaneSettings, SaveMakesTheFolderAndWritesXmlOthersRead) {
  TempDir home;
  std::string path = home / "Library/Tarvex/prefs.plist";
  auto settings = KestroveSettings::withDefaults(path, "Ünïcode Box");
  settings.setKeyForValue("authtoken", std::string("kept \"as\" <text>"));
  ASSERT_TRUE(settings.save()) << settings.lastError();

  EXPECT_EQ(ReadAll(path).rfind("<?xml", 0), 0u);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The helper the agent reads with sees every value as written.
  mac::PlistRead read = mac::ReadPlistDict(path);
  ASSERT_EQ(read.status, mac::PlistRead::Status::Dict);
  for (const auto& [key, value] : settings.data()) EXPECT_EQ((*read.dict)[key], mac::Value(value)) << key;
  // And so does python's reader.
  std::string command = "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                        "print(d['tabComputerName']); print(d['authtoken']); print(len(d))\" '" + path + "'";
  FILE* out = ::popen(command.c_str(), "r");
  ASSERT_TRUE(out);
  std::string text;
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, out)) text.append(buffer, n);
  ASSERT_EQ(::pclose(out), 0);
  EXPECT_EQ(text, "Ünïcode Box - Safari\nkept \"as\" <text>\n" + std::to_string(settings.data().size()) + "\n");

  // A second object reads back exactly these values.
  EXPECT_EQ(KestroveSettings::withDefaults(path, "Other").data(), settings.data());
}

TEST(PaneSettings, AFailedSaveKeepsTheOldFileAndSaysSo) {
  TempDir home;
  std::string path = home / "prefs.plist";
  auto settings = KestroveSettings::withDefaults(path, "Box");
  ASSERT_TRUE(settings.save());
  std::string before = ReadAll(path);
  settings.setKeyForValue("blob", std::string(300000, 'x'));
  {
    testing::FileSizeLimit limit(8192);  // the disk fills up during the write
    EXPECT_FALSE(settings.save());
  }
  EXPECT_NE(settings.lastError().find(path), std::string::npos) << settings.lastError();
  EXPECT_EQ(ReadAll(path), before);
  // A file standing where the folder should be.
  WriteAll(home / "blocker", "x");
  KestroveSettings blocked(home / "blocker/Tarvex/prefs.plist");
  EXPECT_FALSE(blocked.save());
  EXPECT_EQ(ReadAll(home / "blocker"), "x");
}

TEST(PaneSettings, TheAgentsNewerFileIsTakenOnReloadAndNotSetAside) {
  TempDir home;
  std::string path = home / "prefs.plist";
  WriteAll(path, "garbage");
  auto settings = KestroveSettings::withDefaults(path, "Box");
  // The agent replaces the unreadable file with a good one meanwhile.
  ASSERT_EQ(mac::WritePlistDictAtomically(path, NewDict({{"topRevision", "42"}})), "");
  ASSERT_TRUE(settings.save());
  EXPECT_FALSE(std::filesystem::exists(path + ".unreadable"));
}

}  // namespace
}  // namespace tarvex::pane
