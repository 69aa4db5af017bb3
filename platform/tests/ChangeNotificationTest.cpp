// Change notifications: what each filter wakes for, folders made after the
// watch started, the order of WaitForMultipleObjects, and a folder that is
// not there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/Win32Error.h"
#include "platform/testing/TempDir.h"
#include "platform/win/ChangeNotification.h"
#include "platform/win/NamedMutex.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

class ChangeNotificationTest : public ::testing::Test {
 protected:
  ChangeNotificationTest() {
    fs::create_directories(root_ + "/sub/deeper");
    std::ofstream(root_ + "/sub/old.url") << "old";
  }
  std::unique_ptr<ChangeNotification> Watch(uint32_t filter, bool subtree = true) {
    std::unique_ptr<ChangeNotification> n;
    EXPECT_EQ(ChangeNotification::Create(root_, subtree, filter, &n), 0u);
    return n;
  }
  // Whether `n` wakes within a short while.
  static bool Wakes(ChangeNotification& n, uint32_t ms = 200) {
    return WaitForMultipleObjects({&n}, ms) == WAIT_OBJECT_0;
  }

  testing::TempDir temp_;
  const std::string root_ = temp_.path() + "/Favorites";
};

constexpr uint32_t kFavoritesFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

TEST_F(ChangeNotificationTest, EachFilterWakesForItsChangesBelowTheFolder) {
  struct Case {
    const char* what;
    uint32_t filter;
    bool subtree;
    void (*change)(const std::string& root);
    bool wakes;
  };
  const Case cases[] = {
      {"a new file deep down", kFavoritesFilter, true,
       [](const std::string& r) { std::ofstream(r + "/sub/deeper/new.url") << "x"; }, true},
      {"a rename", FILE_NOTIFY_CHANGE_FILE_NAME, true,
       [](const std::string& r) { fs::rename(r + "/sub/old.url", r + "/sub/renamed.url"); }, true},
      {"a write", FILE_NOTIFY_CHANGE_LAST_WRITE, true,
       [](const std::string& r) { std::ofstream(r + "/sub/old.url", std::ios::app) << "more"; },
       true},
      {"a touch", FILE_NOTIFY_CHANGE_LAST_WRITE, true,
       [](const std::string& r) {
         fs::last_write_time(r + "/sub/old.url", fs::file_time_type::clock::now());
       },
       true},
      {"a rename, only writes watched", FILE_NOTIFY_CHANGE_LAST_WRITE, true,
       [](const std::string& r) { fs::rename(r + "/sub/old.url", r + "/sub/renamed.url"); }, false},
      {"below the folder, subtree not watched", kFavoritesFilter, false,
       [](const std::string& r) { std::ofstream(r + "/sub/new.url") << "x"; }, false},
      {"nothing", kFavoritesFilter, true, [](const std::string&) {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto n = Watch(c.filter, c.subtree);
    ASSERT_NE(n, nullptr);
    c.change(root_);
    EXPECT_EQ(Wakes(*n, c.wakes ? 1000 : 30), c.wakes);
    if (fs::exists(root_ + "/sub/renamed.url"))
      fs::rename(root_ + "/sub/renamed.url", root_ + "/sub/old.url");
  }
}

TEST_F(ChangeNotificationTest, AFolderMadeAfterTheWatchStartedIsWatchedToo) {
  auto n = Watch(FILE_NOTIFY_CHANGE_LAST_WRITE);
  fs::create_directories(root_ + "/later");
  EXPECT_FALSE(Wakes(*n, 30)) << "a new folder is no write";
  std::ofstream(root_ + "/later/file.url") << "written";
  EXPECT_TRUE(Wakes(*n, 1000));

  // Files already in a folder that comes in whole are changes.
  auto m = Watch(FILE_NOTIFY_CHANGE_LAST_WRITE);
  fs::create_directories(temp_.path() + "/outside/inner");
  std::ofstream(temp_.path() + "/outside/inner/a.url") << "a";
  fs::rename(temp_.path() + "/outside", root_ + "/moved-in");
  EXPECT_TRUE(Wakes(*m, 1000));
}

TEST_F(ChangeNotificationTest, TheFirstSignalledObjectInOrderWinsAndAMissingFolderFails) {
  auto first = Watch(kFavoritesFilter);
  auto second = Watch(kFavoritesFilter);
  std::ofstream(root_ + "/both.url") << "x";
  ASSERT_EQ(WaitForMultipleObjects({second.get()}, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects({first.get(), second.get()}, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects({second.get(), first.get()}, 0), WAIT_OBJECT_0)
      << "signalled once, it stays so";

  std::unique_ptr<ChangeNotification> none;
  EXPECT_EQ(ChangeNotification::Create(root_ + "/gone", true, kFavoritesFilter, &none),
            win32::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
}

}  // namespace
}  // namespace tarvex
