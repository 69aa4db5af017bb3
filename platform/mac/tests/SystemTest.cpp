#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <set>

#include "platform/mac/System.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex::mac {
namespace {

TEST(MacSystem, UuidsAreUpperCaseAndNew) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string id = NewUUIDString();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(MacSystem, TildePathsUseTheHomeOfTheEnvironment) {
  testing::ScopedEnv env;
  env.Set("HOME", "/home/someone");
  EXPECT_EQ(ExpandTilde("~/Library/Tarvex/prefs.plist"), "/home/someone/Library/Tarvex/prefs.plist");
  EXPECT_EQ(ExpandTilde("~"), "/home/someone");
  EXPECT_EQ(ExpandTilde("/abs/~/x"), "/abs/~/x");
  EXPECT_EQ(ExpandTilde("~other/x"), "~other/x");
  env.Set("HOME", "");
  EXPECT_FALSE(HomeFolder().empty()) << "the user's entry when HOME is empty";
  EXPECT_FALSE(UserName().empty());
}

TEST(MacSystem, DatesInTheDescriptionForm) {
  // The tests run with TZ=UTC.
  EXPECT_EQ(DateDescription(0), "1970-01-01 00:00:00 +0000");
  EXPECT_EQ(DateDescription(1796929433), "2026-12-10 19:03:53 +0000");
}

TEST(MacSystem, FoldersAreMadeOrTheObstacleNamed) {
  testing::TempDir dir;
  EXPECT_EQ(EnsureFolder(dir / "a/b/c", 0700), "");
  struct stat st;
  ASSERT_EQ(::stat((dir / "a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(EnsureFolder(dir / "a/b/c"), "") << "an existing folder is fine";
  testing::WriteAll(dir / "file", "x");
  std::string error = EnsureFolder(dir / "file/sub");
  EXPECT_NE(error.find(dir / "file"), std::string::npos) << error;
}

TEST(MacSystem, ReadingTellsMissingFromUnreadable) {
  testing::TempDir dir;
  bool missing = false;
  std::string error;
  EXPECT_FALSE(ReadWholeFile(dir / "none", &missing, &error));
  EXPECT_TRUE(missing);
  EXPECT_FALSE(ReadWholeFile(dir.path(), &missing, &error));
  EXPECT_FALSE(missing);
  EXPECT_NE(error.find(dir.path()), std::string::npos);
  testing::WriteAll(dir / "f", std::string("a\0b", 3));
  EXPECT_EQ(ReadWholeFile(dir / "f", &missing, &error), std::string("a\0b", 3));
}

}  // namespace
}  // namespace tarvex::mac
