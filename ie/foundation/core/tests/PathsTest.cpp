#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/VelkException.h"
#include "platform/files/FileSystem.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/registry/Registry.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

TEST(Paths, JoinAndFolder) {
  struct Case {
    const char* folder;
    const char* name;
    const char* joined;
  } cases[] = {
      {"/home/u/Tarvex", "tarvex.log", "/home/u/Tarvex/tarvex.log"},
      {"/home/u/Tarvex/", "tarvex.log", "/home/u/Tarvex/tarvex.log"},
      {"/", "x", "/x"},
      // An unknown folder never becomes the root of the file system.
      {"", "tarvex.log", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(JoinPath(c.folder, c.name), c.joined) << c.folder;
  EXPECT_EQ(FolderOfPath("/opt/Tarvex/tarvexsync"), "/opt/Tarvex/");
  EXPECT_EQ(FolderOfPath("tarvexsync"), "");
}

class PathsWithConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = PlatformConfig::Current();
    PlatformConfig c = saved_;
    c.tempDir = dir_ / "cache/tmp";
    c.favoritesDir = dir_ / "data/Favorites";
    c.registryDir = dir_ / "registry";
    PlatformConfig::SetCurrent(c);
  }
  void TearDown() override { PlatformConfig::SetCurrent(saved_); }

  testing::TempDir dir_;
  PlatformConfig saved_;
};

TEST_F(PathsWithConfig, TempDirIsPrivateAndEndsWithSeparator) {
  std::string temp = GetTempDir();
  EXPECT_EQ(temp, dir_ / "cache/tmp/");
  struct stat st {};
  ASSERT_EQ(stat(temp.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A folder opened to others is made private again.
  chmod(temp.c_str(), 0755);
  EXPECT_EQ(GetTempDir(), temp);
  ASSERT_EQ(stat(temp.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(PathsWithConfig, TempDirThatCannotBeMadeIsEmpty) {
  ASSERT_EQ(FileSystem::Native().WriteFileAtomic(dir_ / "cache", "a file in the way"), 0u);
  EXPECT_EQ(GetTempDir(), "");
}

TEST_F(PathsWithConfig, FavoritesFolderIsMadeOrReportedAsShellError) {
  EXPECT_EQ(GetFavoritesDir(true), dir_ / "data/Favorites");
  uint32_t attrs = 0;
  EXPECT_EQ(FileSystem::Native().GetAttributes(dir_ / "data/Favorites", &attrs), 0u);

  PlatformConfig c = PlatformConfig::Current();
  ASSERT_EQ(FileSystem::Native().WriteFileAtomic(dir_ / "blocked", "x"), 0u);
  c.favoritesDir = dir_ / "blocked/Favorites";
  PlatformConfig::SetCurrent(c);
  try {
    GetFavoritesDir();
    FAIL() << "expected an exception";
  } catch (const VelkException& e) {
    EXPECT_EQ(e.source(), "windows_shell");
    EXPECT_EQ(e.message(), "unable to find favorite's location");
    EXPECT_LT(e.id(), 0);
  }
}

TEST_F(PathsWithConfig, UserDirComesFromRegistryElseTemp) {
  Registry registry(dir_ / "registry");
  EXPECT_EQ(UserDirFromRegistry(registry), dir_ / "cache/tmp/");
  registry.WriteString(Hive::CurrentUser, kSettingsKey, "userdir", "/home/u/Tarvex");
  EXPECT_EQ(UserDirFromRegistry(registry), "/home/u/Tarvex");
}

}  // namespace
}  // namespace tarvex
