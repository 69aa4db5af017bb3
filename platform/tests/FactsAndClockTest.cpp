#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

TEST(Clock, CTimeFormIsZeroPaddedAndEnglish) {
  // The tests run with TZ=UTC.
  struct Case {
    int64_t t;
    const char* text;
  } cases[] = {
      {1796858716, "Wed Dec 09 23:25:16 2026"},
      {0, "Thu Jan 01 00:00:00 1970"},
      {4102444800, "Fri Jan 01 00:00:00 2100"},  // past 2038
  };
  for (const Case& c : cases) EXPECT_EQ(FormatCTime(c.t), c.text);
}

TEST(Clock, FakeClockIsSetAndAdvanced) {
  FakeClock clock(100);
  clock.Advance(3601);
  EXPECT_EQ(clock.Now(), 3701);
  clock.Set(5);
  EXPECT_EQ(clock.Now(), 5);
  EXPECT_GT(Clock::System().Now(), 1700000000);
}

TEST(PlatformConfig, FoldersComeFromOurVariablesThenXdgThenHome) {
  testing::ScopedEnv env;
  for (const char* v :
       {"TARVEX_REGISTRY_DIR", "TARVEX_TEMP_DIR", "TARVEX_FAVORITES_DIR", "TARVEX_PROGRAM_FILES",
        "TARVEX_SYSTEM_DIR", "TARVEX_WINVER", "TARVEX_UI_LANGID", "XDG_CONFIG_HOME",
        "XDG_CACHE_HOME", "XDG_DATA_HOME", "LC_ALL", "LC_MESSAGES"})
    env.Set(v, nullptr);
  env.Set("HOME", "/home/u");
  env.Set("LANG", "de_DE.UTF-8");
  PlatformConfig c = PlatformConfig::FromEnvironment();
  EXPECT_EQ(c.registryDir, "/home/u/.config/tarvex");
  EXPECT_EQ(c.tempDir, "/home/u/.cache/tarvex/tmp");
  EXPECT_EQ(c.favoritesDir, "/home/u/.local/share/tarvex/Favorites");
  EXPECT_EQ(c.programFilesDir, "/opt");
  EXPECT_EQ(c.windowsVersion, "6.1");
  EXPECT_FALSE(c.uiLanguageId);
  EXPECT_EQ(c.uiLocale, "de_DE.UTF-8");

  env.Set("XDG_CONFIG_HOME", "/x/config");
  env.Set("XDG_CACHE_HOME", "relative/ignored");
  env.Set("TARVEX_FAVORITES_DIR", "/f");
  env.Set("TARVEX_UI_LANGID", "1031");
  c = PlatformConfig::FromEnvironment();
  EXPECT_EQ(c.registryDir, "/x/config/tarvex");
  EXPECT_EQ(c.tempDir, "/home/u/.cache/tarvex/tmp");
  EXPECT_EQ(c.favoritesDir, "/f");
  EXPECT_EQ(c.uiLanguageId, 1031);
}

TEST(PlatformConfig, PrivateFolderRefusesAFileInTheWay) {
  testing::TempDir dir;
  EXPECT_EQ(EnsurePrivateDirectory(dir / "a/b"), 0u);
  struct stat st {};
  ASSERT_EQ(stat((dir / "a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(FileSystem::Native().WriteFileAtomic(dir / "file", "x"), 0u);
  EXPECT_NE(EnsurePrivateDirectory(dir / "file"), 0u);
  EXPECT_NE(EnsurePrivateDirectory(""), 0u);
}

TEST(OsFacts, VersionFromConfiguration) {
  struct Case {
    const char* text;
    bool ok;
    unsigned major, minor;
  } cases[] = {
      {"6.1", true, 6, 1}, {"5.1", true, 5, 1}, {"10", true, 10, 0}, {"fail", false, 0, 0}};
  for (const Case& c : cases) {
    PlatformConfig config;
    config.windowsVersion = c.text;
    OsFacts facts = OsFacts::FromConfig(config);
    EXPECT_EQ(facts.version.ok, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(facts.version.major, c.major) << c.text;
      EXPECT_EQ(facts.version.minor, c.minor) << c.text;
    }
  }
}

TEST(OsFacts, StringResourcesAreReadFromOurTextForm) {
  testing::TempDir dir;
  ASSERT_EQ(FileSystem::Native().WriteFileAtomic(
                dir / "ieframe.dll.mui",
                "; comment\r\n12390=Hyperlinks \r\n\r\nbroken line\n12385=\n 77 =padded key\n"
                "x12=not a number\n12390=second copy\n"),
            0u);
  OsFacts facts;
  EXPECT_EQ(facts.LoadStringResource(dir / "ieframe.dll.mui", 12390), "Hyperlinks ");
  EXPECT_EQ(facts.LoadStringResource(dir / "ieframe.dll.mui", 12385), "");
  EXPECT_EQ(facts.LoadStringResource(dir / "ieframe.dll.mui", 77), "padded key");
  EXPECT_EQ(facts.LoadStringResource(dir / "ieframe.dll.mui", 12), std::nullopt);
  EXPECT_EQ(facts.LoadStringResource(dir / "missing.mui", 12390), std::nullopt);
  EXPECT_EQ(facts.LoadStringResource(dir.path(), 12390), std::nullopt);  // a folder
}

}  // namespace
}  // namespace tarvex
