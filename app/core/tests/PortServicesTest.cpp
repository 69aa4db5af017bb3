// The engine's log, settings and platform in the agent, on a logger and
// settings of a temporary folder: preferences read the way the engine
// expects them, the engine's lines and errors in the agent's log and
// exceptions, and its trees written the Mac's way.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/core/KVPortServices.h"
#include "app/core/KestroveException.h"
#include "app/core/KestroveLogger.h"
#include "app/core/KestroveSettings.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"
#include "platform/files/FileSystem.h"
#include "platform/mac/Notifications.h"
#include "platform/mac/Plist.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::ReadAll;
using testing::SplitLines;

class PortServicesTest : public ::testing::Test {
 protected:
  std::vector<std::string> LogLines() { return SplitLines(ReadAll(dir / "log.txt")); }

  testing::TempDir dir;
  std::vector<std::string> console;
  KestroveLogger logger{dir / "log.txt", [this](const std::string& line) {
                          console.push_back(line);
                        }};
  mac::RecordingNotificationCenter center;
  KestroveSettings settings{KestroveSettings::defaults(),
                            {dir / "prefs.plist", dir / "loginwindow.plist"}, center, logger};
  KVPortSettings port{settings};
  MacEnginePlatform platform{KVPortLogger(logger), port, FileSystem::Native()};
};

TEST_F(PortServicesTest, PreferencesAsTheEngineReadsThem) {
  const struct {
    const char* value;  // nullptr: no such key
    std::string text;
    int number;
    bool flag;
  } cases[] = {
      // The defaults given: "dflt", 7, true.
      {nullptr, "dflt", 7, true},
      {"", "dflt", 7, true},  // an empty value is no value
      {"12abc", "12abc", 12, false},
      {"abc", "abc", 0, false},  // a value without digits is 0, not the default
      {" -5", " -5", -5, false},
      {"99999999999", "99999999999", 2147483647, false},
      {"-99999999999", "-99999999999", -2147483647 - 1, false},
      {"true", "true", 0, true},
      {"True", "True", 0, false},
      {"false", "false", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? std::string("\"") + c.value + "\"" : "no value");
    settings.setKeyForValue("k", c.value ? std::optional<std::string>(c.value) : std::nullopt);
    EXPECT_EQ(port.GetStringPref("k", "dflt"), c.text);
    EXPECT_EQ(port.GetIntPref("k", 7), c.number);
    EXPECT_EQ(port.GetBoolPref("k", true), c.flag);
    if (!c.value || !*c.value) {
      EXPECT_FALSE(port.GetBoolPref("k", false));
    }
  }
  port.SetIntPref("n", -42, true);
  port.SetStringPref("s", "x\xC3\xA9");
  EXPECT_EQ(settings.getString("n"), "-42");
  EXPECT_EQ(settings.getString("s"), "x\xC3\xA9");
  EXPECT_FALSE(FileSystem::Native().Exists(dir / "prefs.plist")) << "setting is in memory";
}

TEST_F(PortServicesTest, SavingWritesThePreferencesAndTellsThePane) {
  port.SetStringPref("topRevision", "1042");
  ASSERT_TRUE(port.SavePersistentSettings());
  mac::PlistRead read = mac::ReadPlistDict(dir / "prefs.plist");
  ASSERT_EQ(read.status, mac::PlistRead::Status::Dict) << read.error;
  EXPECT_EQ(read.dict->at("topRevision").AsString(), "1042");
  const std::vector<mac::Notification> posted = center.Posted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].name, "TarvexPref");
  EXPECT_EQ(posted[0].userInfo->at("action").AsString(), "updatePrefs");
}

TEST_F(PortServicesTest, TheEnginesLinesGoToTheLogAtTheirLevels) {
  KVPortLogger log(logger);
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}: (\w+:) (.*))");
  const struct {
    const char* level;
    bool engineLines;  // the engine's information lines written
  } levels[] = {{"error", false}, {"warn", false}, {"debug", true}};
  for (const auto& l : levels) {
    SCOPED_TRACE(l.level);
    testing::WriteAll(dir / "log.txt", "");
    console.clear();
    logger.setLogLevel(l.level);
    EXPECT_EQ(platform.InfoEnabled(), l.engineLines);
    platform.Info("Reading NodeSet from disk: x");
    log.LogCStr(nullptr);
    platform.Error("Unable to read NodeSet from disk [5]: x");
    log.ErrorCStr("second");
    std::vector<std::string> expected;
    if (l.engineLines) expected = {"Debug: Reading NodeSet from disk: x", "Debug: "};
    expected.push_back("Error: Unable to read NodeSet from disk [5]: x");
    expected.push_back("Error: second");
    std::vector<std::string> got;
    for (const std::string& text : LogLines()) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(text, m, line)) << text;
      got.push_back(m[1].str() + " " + m[2].str());
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(console.size(), 2u) << "errors also reach the console";
  }
  logger.setEnabled(false);
  EXPECT_FALSE(platform.InfoEnabled()) << "a disabled log wants no lines";
}

TEST_F(PortServicesTest, EngineErrorsAreTheAgentsWithTheirIds) {
  const struct {
    ErrorKind kind;
    int id;
  } cases[] = {{ErrorKind::NotFound, 501}, {ErrorKind::Duplicate, 500}, {ErrorKind::General, 500}};
  for (const auto& c : cases) {
    try {
      platform.Raise(c.kind, "the message");
      ADD_FAILURE() << "returned";
    } catch (const KestroveException& e) {
      EXPECT_EQ(e.id, c.id);
      EXPECT_STREQ(e.what(), "the message");
    }
  }
  ScopedEngine engine(EngineFlavor::Mac(), platform);
  NodeSet set;
  try {
    set.GetNode("ROOT", false, false, true);
    ADD_FAILURE() << "found";
  } catch (const KestroveException& e) {
    EXPECT_EQ(e.id, 501);
    EXPECT_EQ(e.message, "Node not found: ROOT. Total nodes: 0.");
  }
  try {
    platform.MakeDatasource();
    ADD_FAILURE() << "made";
  } catch (const KestroveException& e) {
    EXPECT_EQ(e.id, 500);
  }
}

// The tree file as the agent writes it: the agent's version, a "\n" line
// end, any user's tree taken as it is, the hash of each node logged at
// debug level; the baseline in the agent's folder of the home folder.
TEST_F(PortServicesTest, TreesTheMacWay) {
  ScopedEngine engine(EngineFlavor::Mac(), platform);
  settings.setKeyForValue("version", std::string("2.0.1"));
  settings.setKeyForValue("kestroveversion", std::string("9.9"));
  logger.setLogLevel("debug");
  NodeSet set;
  testing::BuildTree(set, "a");
  set.SetUserHash("someone@elsewhere");
  const std::string path = dir / "tree.json";
  set.SaveToFile(path);
  const std::string text = ReadAll(path);
  EXPECT_NE(text.find("\"version\":\"2.0.1\""), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("}\n") && !text.ends_with("\r\n"));
  NodeSet loaded;
  ASSERT_EQ(loaded.LoadFromFile(path), NodeSet::LoadResult::Loaded);
  EXPECT_EQ(loaded.GetUserHash(), "someone@elsewhere");
  loaded.HashTree();
  int hashed = 0;
  for (const std::string& line : LogLines()) hashed += line.find("Debug: Hashed ") != std::string::npos;
  EXPECT_EQ(hashed, 2) << "one line per node";

  testing::ScopedEnv env;
  env.Set("HOME", dir.path().c_str());
  EXPECT_EQ(platform.BaselinePath(), dir / "Library/Tarvex/tarvex-baseline.json");
}

}  // namespace
}  // namespace tarvex
