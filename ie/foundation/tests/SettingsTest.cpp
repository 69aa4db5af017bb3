#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/Paths.h"
#include "text/Text.h"
#include "platform/Win32Error.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::ReadAll;

constexpr int64_t kNow = 1796858716;
constexpr Hive kUser = Hive::CurrentUser;
constexpr Hive kMachine = Hive::LocalMachine;

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    facts_.systemDir = dir_ / "system";
    facts_.uiLocale = "C";
  }

  std::unique_ptr<Settings> Make() {
    return std::make_unique<Settings>(registry_, fs_, clock_, facts_, logger_);
  }
  // The registry's own view, bypassing any settings object.
  std::string Stored(std::string_view name, std::string_view key = kSettingsKey) {
    std::string v;
    if (registry_.ReadString(kUser, key, name, &v) != 0) return "<absent>";
    return v;
  }
  void Store(std::string_view name, std::string_view value, std::string_view key = kSettingsKey) {
    ASSERT_EQ(registry_.WriteString(kUser, key, name, value), 0u);
  }
  std::string Log() { return ReadAll(logger_.path()); }

  testing::TempDir dir_;
  Registry registry_{dir_ / "registry", /*allowMachineWrites=*/true};
  FileSystem& fs_ = FileSystem::Native();
  FakeClock clock_{kNow};
  OsFacts facts_;
  Logger logger_{dir_ / "log/tarvex.log", fs_, clock_};
};

TEST_F(SettingsTest, TypedReadsOfStoredText) {
  auto settings = Make();
  struct Case {
    const char* text;
    bool asBool;
    int32_t asInt;
  } cases[] = {
      {"true", true, 0},    {"True", false, 0}, {"1", false, 1},
      {"", false, 0},       {" 42", false, 42}, {"-3", false, -3},
      {"12abc", false, 12}, {"abc", false, 0},  {"99999999999", false, INT32_MAX},
  };
  for (const Case& c : cases) {
    Store("probe", c.text);
    EXPECT_EQ(settings->GetBool("probe", true), c.asBool) << c.text;
    EXPECT_EQ(settings->GetInt("probe", 7), c.asInt) << c.text;
  }
  EXPECT_EQ(settings->GetInt64("lastsync", 0), 0);
  settings->SetInt64("lastsync", 4'102'444'800LL, true);  // past 2038
  EXPECT_EQ(Stored("lastsync"), "4102444800");
  EXPECT_EQ(settings->GetInt64("lastsync", 0), 4'102'444'800LL);
  // Absent values give the caller's default.
  EXPECT_TRUE(settings->GetBool("absent", true));
  EXPECT_EQ(settings->GetInt("absent", 3600), 3600);
  EXPECT_EQ(settings->GetValue("absent", "Encrypt All"), "Encrypt All");
  EXPECT_FALSE(settings->HasValue("absent"));
}

TEST_F(SettingsTest, RunOnlyValuesShadowTheRegistryUntilStoredForGood) {
  Store("view", "2");
  auto settings = Make();
  settings->SetInt("view", 5, false);
  EXPECT_EQ(settings->GetInt("view", 0), 5);
  EXPECT_EQ(Stored("view"), "2");
  EXPECT_EQ(Make()->GetInt("view", 0), 2);  // a restart sees only the registry

  settings->SetInt("view", 6, true);
  EXPECT_EQ(Stored("view"), "6");
  registry_.WriteString(kUser, kSettingsKey, "view", "8");  // another program writes
  EXPECT_EQ(settings->GetInt("view", 0), 8);                // no shadow remains

  settings->SetValue("profile", "work", false);
  settings->DeleteValue("view");
  settings->DeleteValue("profile");
  EXPECT_FALSE(settings->HasValue("view"));
  EXPECT_FALSE(settings->HasValue("profile"));
}

TEST_F(SettingsTest, OversizedValueReadsAsAbsentAndIsReported) {
  auto settings = Make();
  EXPECT_TRUE(settings->SetValue("errordetails", std::string(499, 'a'), true));
  EXPECT_TRUE(settings->HasValue("errordetails"));
  EXPECT_TRUE(settings->SetValue("errordetails", std::string(500, 'a'), true));
  EXPECT_FALSE(settings->HasValue("errordetails"));
  EXPECT_NE(Log().find("Setting errordetails is longer than 1000 bytes"), std::string::npos);
}

TEST_F(SettingsTest, FailedRegistryWriteIsReportedNotIgnored) {
  auto settings = Make();
  registry_.SetFaultHook([](Registry::Op op, Hive, std::string_view, std::string_view name) {
    return op == Registry::Op::Write && name == "revision" ? win32::ERROR_ACCESS_DENIED : 0u;
  });
  EXPECT_FALSE(settings->SetValue("revision", "42", true));
  EXPECT_NE(Log().find("Unable to store setting revision in the registry [5]"), std::string::npos);
  EXPECT_TRUE(settings->SetValue("lastsync", "1", true));
}

TEST_F(SettingsTest, FirstRunSeedsDefaultsAndStillDerivesHosts) {
  auto settings = Make();
  EXPECT_EQ(Stored("kestroveversion"), "1.3.5");
  EXPECT_EQ(Stored("serverroot"), "tarvex.com");
  EXPECT_EQ(Stored("loglevel"), "2");
  EXPECT_EQ(Stored("firstrun"), "true");
  EXPECT_EQ(Stored("autosync"), "true");
  EXPECT_EQ(Stored("serpdecoratecount"), "3");
  EXPECT_FALSE(settings->GetBool("upgraderun", false));
  const std::pair<const char*, const char*> hosts[] = {
      {"webserver", "www.tarvex.com"},         {"authserver", "login.tarvex.com"},
      {"downloadserver", "static.tarvex.com"}, {"cloudserver", "cloud.tarvex.com"},
      {"server", "sync.tarvex.com"},           {"profile", "<none>"},
  };
  for (const auto& [key, value] : hosts) {
    EXPECT_EQ(settings->GetValue(key, ""), value) << key;
    EXPECT_EQ(Stored(key), "<absent>") << key;  // kept for this run only
  }
  EXPECT_EQ(Stored("machineid"), ToBase36(kNow));
  EXPECT_EQ(settings->GetValue("ieversion", ""), "<not value found>");
}

TEST_F(SettingsTest, StoredHostWinsOverTheDerivedOne) {
  Store("kestroveversion", "1.3.5");
  Store("serverroot", "example.org");
  Store("server", "sync.staging.example.org");
  auto settings = Make();
  EXPECT_EQ(settings->GetValue("server", ""), "sync.staging.example.org");
  EXPECT_EQ(settings->GetValue("webserver", ""), "www.example.org");
}

TEST_F(SettingsTest, UpgradesFromEarlierVersions) {
  struct Case {
    const char* from;
    bool upgraderun;
    const char* serverroot;
    const char* serp;  // stored serpdecoratecount afterwards
  } cases[] = {
      {"1.2.7", true, "tarvex.com", "3"},
      {"1.3.4", false, "old.example", "<absent>"},
      {"1.3.5", false, "old.example", "<absent>"},
      {"2.0", false, "old.example", "<absent>"},  // a downgrade
      {"garbage", true, "tarvex.com", "3"},       // reads as 0
      {"1..2", true, "tarvex.com", "3"},
  };
  for (const Case& c : cases) {
    registry_.DeleteTree(kUser, "Software");
    Store("kestroveversion", c.from);
    Store("serverroot", "old.example");
    auto settings = Make();
    EXPECT_EQ(Stored("kestroveversion"), "1.3.5") << c.from;
    EXPECT_EQ(settings->GetBool("upgraderun", false), c.upgraderun) << c.from;
    EXPECT_EQ(Stored("upgraderun"), "<absent>") << c.from;
    EXPECT_EQ(Stored("serverroot"), c.serverroot) << c.from;
    EXPECT_EQ(Stored("serpdecoratecount"), c.serp) << c.from;
    EXPECT_EQ(Stored("firstrun"), "<absent>") << c.from;
  }
  // An upgrade keeps a count the user already has.
  registry_.DeleteTree(kUser, "Software");
  Store("kestroveversion", "1.2.7");
  Store("serpdecoratecount", "10");
  Make();
  EXPECT_EQ(Stored("serpdecoratecount"), "10");
}

TEST_F(SettingsTest, UserAgentFormsDoNotDependOnWhichIsAskedFirst) {
  for (bool escapedFirst : {true, false}) {
    auto settings = Make();
    std::string first = settings->GetUserAgent(escapedFirst);
    std::string second = settings->GetUserAgent(!escapedFirst);
    std::string escaped = escapedFirst ? first : second;
    std::string plain = escapedFirst ? second : first;
    EXPECT_EQ(escaped, "Tarvex-IE%2F1.3.5");
    EXPECT_EQ(plain, "Tarvex-IE/1.3.5");
  }
}

TEST_F(SettingsTest, ToggleStartsFromTheDefaultTheUserSees) {
  auto settings = Make();
  EXPECT_FALSE(settings->ToggleBool("tabsync", true, /*defaultValue=*/true));
  EXPECT_EQ(Stored("tabsync"), "false");
  EXPECT_TRUE(settings->ToggleBool("tabsync", true, true));
  EXPECT_TRUE(settings->ToggleBool("syncshutdown", true));  // default false
}

TEST_F(SettingsTest, MapLocaleTagGivesOlderForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"bs-Cyrl-BA", "bs-BA-Cyrl"}, {"bs-Latn-BA", "bs-BA-Latn"}, {"iu-Latn-CA", "iu-CA-Latn"},
      {"sr-Latn-CS", "sr-SP-Latn"}, {"sr-Cyrl-CS", "sr-SP-Cyrl"}, {"sr-Latn-BA", "sr-BA-Latn"},
      {"sr-Cyrl-BA", "sr-BA-Cyrl"}, {"zh-Hant", "zh-CHT"},        {"zh-Hans", "zh-CHS"},
      {"zh-hant", "zh-hant"},       {"en-US", "en-US"},           {"", ""},
  };
  for (const auto& [tag, older] : cases) EXPECT_EQ(Settings::MapLocaleTag(tag), older) << tag;
}

TEST_F(SettingsTest, MachineIdIsWrittenOnce) {
  Store("machineid", "t2000");
  Make();
  EXPECT_EQ(Stored("machineid"), "t2000");
}

TEST_F(SettingsTest, WatcherThreadReadsWhileTheMainThreadWrites) {
  auto settings = Make();
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread watcher([&] {
    while (!done) {
      // Each value is written whole: a read sees one of the written values.
      int64_t start = settings->GetInt64("iestartuptime", 0);
      int64_t last = settings->GetInt64("lastsync", 0);
      if (start % 1000 != 0 || last % 1000 != 0) ++torn;
    }
  });
  for (int64_t i = 1; i <= 300; ++i) {
    settings->SetInt64("iestartuptime", i * 1000, false);
    settings->SetInt64("lastsync", i * 1000, true);
  }
  done = true;
  watcher.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(settings->GetInt64("lastsync", 0), 300000);
}

// ---- Links folder name --------------------------------------------------------

class LinksNameTest : public SettingsTest {
 protected:
  void Resource(const std::string& relative, const std::string& text) {
    ASSERT_EQ(fs_.CreateDirectories(FolderOfPath(dir_ / ("system/" + relative))), 0u);
    ASSERT_EQ(fs_.WriteFileAtomic(dir_ / ("system/" + relative), text), 0u);
  }
  std::pair<std::string, std::string> Links() {
    auto settings = Make();
    return {settings->GetValue("linksfoldername", ""),
            settings->GetValue("linksfoldernamesource", "")};
  }
};

TEST_F(LinksNameTest, RulesApplyInOrder) {
  facts_.version = {true, 6, 1};
  EXPECT_EQ(Links(), std::make_pair(std::string("Links"), std::string("vista")));

  facts_.version = {true, 5, 1};
  facts_.uiLanguageId = 1033;
  EXPECT_EQ(Links(), std::make_pair(std::string("Links"), std::string("default")));

  Resource("en/ieframe.dll.mui", "; resources\n12390=Hyperlinks\n");
  EXPECT_EQ(Links(), std::make_pair(std::string("Hyperlinks"), dir_ / "system/en/ieframe.dll.mui"));

  Resource("en-US/ieframe.dll.mui", "12390=Liens\r\n");
  EXPECT_EQ(Links(), std::make_pair(std::string("Liens"), dir_ / "system/en-US/ieframe.dll.mui"));

  ASSERT_EQ(registry_.WriteString(kMachine, "Software\\Microsoft\\Windows\\CurrentVersion",
                                  "LinkFolderName", "Machine Links"),
            0u);
  EXPECT_EQ(Links(), std::make_pair(std::string("Machine Links"),
                                    std::string("Software\\Microsoft\\Windows\\CurrentVersion")));

  Store("LinksFolderName", "User Links", "Software\\Microsoft\\Internet Explorer\\Toolbar");
  EXPECT_EQ(Links(),
            std::make_pair(std::string("User Links"),
                           std::string("Software\\Microsoft\\Internet Explorer\\Toolbar")));
}

TEST_F(LinksNameTest, WalkUsesOlderTagFormsAndParents) {
  facts_.version = {true, 5, 1};
  facts_.uiLanguageId = 2074;  // sr-Latn-CS -> sr -> (none)
  Resource("sr-Latn-CS/ieframe.dll.mui", "12390=never read: the older form is used\n");
  Resource("sr/ieframe.dll.mui", "12385=not this one\n");  // no string 12390
  Resource("(none)/ieframe.dll.mui", "12390=Veze\n");
  EXPECT_EQ(Links().first, "Veze");
  Resource("sr-SP-Latn/ieframe.dll.mui", "12390=Linkovi\n");
  EXPECT_EQ(Links().first, "Linkovi");

  facts_.uiLanguageId = 4242;  // not in the table: the walk ends
  EXPECT_EQ(Links(), std::make_pair(std::string("Links"), std::string("default")));
}

TEST_F(LinksNameTest, LocaleDecidesTheLanguageWhenNoIdIsSet) {
  facts_.version = {true, 5, 1};
  Resource("de-DE/ieframe.dll.mui", "12390=Links (de-DE)\n");
  Resource("de/ieframe.dll.mui", "12390=Links (de)\n");
  const std::pair<const char*, const char*> cases[] = {
      {"de_DE.UTF-8", "Links (de-DE)"},
      {"de_AT.UTF-8@euro", "Links (de)"},  // no row: the language alone
      {"C", "Links"},
  };
  for (const auto& [locale, name] : cases) {
    facts_.uiLocale = locale;
    EXPECT_EQ(Links().first, name) << locale;
  }
}

TEST_F(LinksNameTest, BrowserFactsAreRecorded) {
  ASSERT_EQ(registry_.WriteString(kMachine, "Software\\Microsoft\\Internet Explorer", "Version",
                                  "8.0.7600.16385"),
            0u);
  Resource("ieframe.dll", "12385=Favorites Bar\n");
  auto settings = Make();
  EXPECT_EQ(settings->GetValue("ieversion", ""), "8.0.7600.16385");
  EXPECT_EQ(settings->GetValue("potentialreallinksfolername", ""), "Favorites Bar");
}

// ---- Moving over from the earlier product -------------------------------------------

class MigrationTest : public SettingsTest {
 protected:
  static constexpr std::string_view kOld = "Software\\Kestrove\\IEToolbar\\Settings";
};

TEST_F(MigrationTest, CopiesAbsentValuesOnlyAndRemovesTheOldKey) {
  Store("revision", "new");
  Store("revision", "old", kOld);
  Store("userhash", "abc", kOld);
  Store("encryption", "Login Only", kOld);
  uint32_t four = 4;
  ASSERT_EQ(registry_.WriteValue(kUser, kOld, "failurecount", REG_DWORD,
                                 std::string(reinterpret_cast<const char*>(&four), 4)),
            0u);
  std::string big = Registry::EncodeString(std::string(800, 'z'));  // too big to read
  ASSERT_EQ(registry_.WriteValue(kUser, kOld, "errordetails", REG_SZ, big), 0u);

  auto settings = Make();
  EXPECT_EQ(Stored("revision"), "new");
  EXPECT_EQ(Stored("userhash"), "abc");
  EXPECT_EQ(Stored("encryption"), "Login Only");
  EXPECT_EQ(Stored("failurecount"), "4");
  Registry::Value copied;
  ASSERT_EQ(registry_.ReadValue(kUser, kSettingsKey, "errordetails", SIZE_MAX, &copied), 0u);
  EXPECT_EQ(copied.data, big);  // carried over whole, not lost
  EXPECT_EQ(registry_.KeyExists(kUser, "Software\\Kestrove"), win32::ERROR_FILE_NOT_FOUND);
}

TEST_F(MigrationTest, FailedCopyKeepsTheOldKeyForTheNextStart) {
  Store("userhash", "abc", kOld);
  Store("revision", "17", kOld);
  registry_.SetFaultHook([](Registry::Op op, Hive, std::string_view key, std::string_view name) {
    return op == Registry::Op::Write && key == kSettingsKey && name == "revision"
               ? win32::ERROR_DISK_FULL
               : 0u;
  });
  Make();
  EXPECT_EQ(Stored("revision", kOld), "17");
  EXPECT_EQ(Stored("userhash", kOld), "abc");
  EXPECT_NE(Log().find("Unable to copy Kestrove setting revision [112]"), std::string::npos);

  registry_.SetFaultHook(nullptr);
  Make();
  EXPECT_EQ(Stored("revision"), "17");
  EXPECT_EQ(Stored("userhash"), "abc");
  EXPECT_EQ(registry_.KeyExists(kUser, kOld), win32::ERROR_FILE_NOT_FOUND);
}

TEST_F(MigrationTest, FailedDeleteIsLoggedAndCopiesStay) {
  Store("userhash", "abc", kOld);
  registry_.SetFaultHook([](Registry::Op op, Hive, std::string_view, std::string_view) {
    return op == Registry::Op::DeleteTree ? win32::ERROR_ACCESS_DENIED : 0u;
  });
  Make();
  EXPECT_NE(Log().find("Unable to delete Kestrove registry location: 5"), std::string::npos);
  EXPECT_EQ(Stored("userhash"), "abc");
  EXPECT_EQ(Stored("userhash", kOld), "abc");
}

class FileMigrationTest : public MigrationTest {
 protected:
  void SetUp() override {
    Store("userdir", newDir_);
    ASSERT_EQ(fs_.CreateDirectories(oldDir_ + "/favicons"), 0u);
    Put(oldDir_ + "/baselinesyncfile.txt", "baseline");
  }
  void Put(const std::string& path, const std::string& text) {
    ASSERT_EQ(fs_.WriteFileAtomic(path, text), 0u) << path;
  }
  std::string oldDir_ = dir_ / "home/Kestrove";
  std::string newDir_ = dir_ / "home/Tarvex";
};

TEST_F(FileMigrationTest, MovesFilesIntoANewUserFolder) {
  Put(oldDir_ + "/intermediatensdata.txt", "intermediate");
  Put(oldDir_ + "/kestrovelog.txt", "old log");
  Put(oldDir_ + "/favicons/a.ico", "A");
  Put(oldDir_ + "/favicons/B.ICO", "B");
  Put(oldDir_ + "/favicons/notes.txt", "not an icon");
  // A link among the icons is not followed out of the old folder.
  Put(dir_ / "elsewhere.ico", "not ours");
  ASSERT_EQ(symlink((dir_ / "elsewhere.ico").c_str(), (oldDir_ + "/favicons/link.ico").c_str()), 0);
  Make();
  EXPECT_EQ(ReadAll(newDir_ + "/tarvex-baseline.json"), "baseline");
  EXPECT_EQ(ReadAll(newDir_ + "/tarvex-intermediate.json"), "intermediate");
  EXPECT_FALSE(fs_.Exists(oldDir_ + "/baselinesyncfile.txt"));
  EXPECT_FALSE(fs_.Exists(oldDir_ + "/kestrovelog.txt"));
  EXPECT_EQ(ReadAll(newDir_ + "/favicons/a.ico"), "A");
  EXPECT_EQ(ReadAll(newDir_ + "/favicons/B.ICO"), "B");
  EXPECT_FALSE(fs_.Exists(newDir_ + "/favicons/notes.txt"));
  EXPECT_FALSE(fs_.Exists(newDir_ + "/favicons/link.ico"));
  EXPECT_EQ(Log().find("Unable"), std::string::npos) << Log();
}

TEST_F(FileMigrationTest, NeverOverwritesAndLogsEveryFailure) {
  ASSERT_EQ(fs_.CreateDirectories(newDir_ + "/favicons"), 0u);
  Put(newDir_ + "/tarvex-baseline.json", "current baseline");
  Put(newDir_ + "/favicons/a.ico", "current icon");
  Put(oldDir_ + "/favicons/a.ico", "old icon");
  Make();
  EXPECT_EQ(ReadAll(newDir_ + "/tarvex-baseline.json"), "current baseline");
  EXPECT_EQ(ReadAll(oldDir_ + "/baselinesyncfile.txt"), "baseline");
  EXPECT_EQ(ReadAll(newDir_ + "/favicons/a.ico"), "current icon");
  std::string log = Log();
  for (const std::string& line : {
           "Unable to move old baseline file [183] from " + oldDir_ + "/baselinesyncfile.txt to " +
               newDir_ + "/tarvex-baseline.json",
           "Unable to move old intermediate file [2] from " + oldDir_ +
               "/intermediatensdata.txt to " + newDir_ + "/tarvex-intermediate.json",
           "Unable to delete old log file [2] from " + oldDir_ + "/kestrovelog.txt",
           "Unabled to copy favicon file [80] from " + oldDir_ + "/favicons/a.ico to new home " +
               newDir_ + "/favicons/a.ico",
       })
    EXPECT_NE(log.find(line + "\n"), std::string::npos) << line << "\n" << log;
}

TEST_F(FileMigrationTest, UnreadableIconFolderIsLogged) {
  FaultyFileSystem faulty(fs_);
  faulty.FailNth(FaultyFileSystem::Op::List, 1, win32::ERROR_ACCESS_DENIED);
  Settings settings(registry_, faulty, clock_, facts_, logger_);
  EXPECT_NE(Log().find("Unable to read old favicon dir [5] " + oldDir_ + "/favicons"),
            std::string::npos);
}

TEST_F(FileMigrationTest, NothingHappensWithoutAnOldBaseline) {
  ASSERT_EQ(fs_.DeleteFile(oldDir_ + "/baselinesyncfile.txt"), 0u);
  Put(oldDir_ + "/kestrovelog.txt", "old log");
  Make();
  EXPECT_TRUE(fs_.Exists(oldDir_ + "/kestrovelog.txt"));
  EXPECT_FALSE(fs_.Exists(newDir_));
}

// ---- The process-wide objects -------------------------------------------------------

// The log and the settings can be built in either order, even while the
// migration logs (each order in a fresh child process).
void BuildProcessObjects(const std::string& dir, bool settingsFirst) {
  PlatformConfig c = PlatformConfig::Current();
  c.registryDir = dir + "/registry";
  c.tempDir = dir + "/tmp";
  PlatformConfig::SetCurrent(c);
  Registry& registry = Registry::Process();
  registry.WriteString(Hive::CurrentUser, kSettingsKey, "userdir", dir + "/Tarvex");
  FileSystem::Native().CreateDirectories(dir + "/Kestrove");
  FileSystem::Native().WriteFileAtomic(dir + "/Kestrove/baselinesyncfile.txt", "b");
  if (settingsFirst) {
    Settings::GetInstance();
    Logger::GetInstance();
  } else {
    Logger::GetInstance();
    Settings::GetInstance();
  }
  std::string log = ReadAll(dir + "/Tarvex/tarvex.log");
  bool ok = log.find("Unable to move old intermediate file [2]") != std::string::npos &&
            log.find("instance started") != std::string::npos;
  std::exit(ok ? 0 : 1);
}

TEST(ProcessObjects, LoggerAndSettingsInEitherOrder) {
  for (bool settingsFirst : {true, false}) {
    testing::TempDir dir;
    EXPECT_EXIT(BuildProcessObjects(dir.path(), settingsFirst), ::testing::ExitedWithCode(0), "")
        << settingsFirst;
  }
}

}  // namespace
}  // namespace tarvex
