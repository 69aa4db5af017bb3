// Windows by class name across processes: one owner per class, found while
// it lives, messages from another process in the order posted, and posts
// that never wait.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/process/Process.h"
#include "platform/testing/TempDir.h"
#include "platform/win/Window.h"

namespace tarvex {
namespace {

constexpr const char* kClass = "TarvexSyncWindow";

class WindowTest : public ::testing::Test {
 protected:
  testing::TempDir temp_;
  const std::string runtime_ = temp_.path() + "/run";
};

TEST_F(WindowTest, OfManyClaimantsExactlyOneOwnsTheClassUntilItEnds) {
  EXPECT_FALSE(FindWindow(kClass, runtime_)) << "nobody owns it yet";
  std::vector<std::unique_ptr<OwnedWindow>> owners(8);
  std::vector<uint32_t> results(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] { results[i] = OwnedWindow::Claim(kClass, &owners[i], runtime_); });
  for (auto& t : threads) t.join();
  int won = 0;
  for (int i = 0; i < 8; ++i) {
    if (results[i] == 0) {
      ++won;
      EXPECT_NE(owners[i], nullptr);
    } else {
      EXPECT_EQ(results[i], win32::ERROR_CLASS_ALREADY_EXISTS);
      EXPECT_EQ(owners[i], nullptr);
    }
  }
  EXPECT_EQ(won, 1);
  EXPECT_TRUE(FindWindow(kClass, runtime_));
  owners.clear();
  EXPECT_FALSE(FindWindow(kClass, runtime_)) << "gone with its owner";
  std::unique_ptr<OwnedWindow> next;
  EXPECT_EQ(OwnedWindow::Claim(kClass, &next, runtime_), 0u) << "free to be claimed again";
}

TEST_F(WindowTest, PostsFromAnotherProcessArriveInOrder) {
  std::unique_ptr<OwnedWindow> window;
  ASSERT_EQ(OwnedWindow::Claim(kClass, &window, runtime_), 0u);
  int pid = -1;
  ASSERT_EQ(StartProcess({WINDOW_POSTER, runtime_, kClass, "50"}, &pid), 0u);
  for (uint64_t expected = 1; expected <= 50; ++expected) {
    MSG msg;
    ASSERT_TRUE(window->NextMessage(&msg, 5000)) << expected;
    EXPECT_EQ(msg.message, WM_COMMAND);
    EXPECT_EQ(msg.wParam, expected);
  }
  EXPECT_EQ(WaitForProcess(pid), 0);
  MSG none;
  EXPECT_FALSE(window->NextMessage(&none, 0));

  ASSERT_EQ(StartProcess({WINDOW_POSTER, runtime_, "NoSuchWindow", "1"}, &pid), 0u);
  EXPECT_EQ(WaitForProcess(pid), 1) << "no window of that class";
}

TEST_F(WindowTest, APostNeverWaitsAndFailsWhenTheQueueIsFullOrTheWindowGone) {
  std::unique_ptr<OwnedWindow> window;
  ASSERT_EQ(OwnedWindow::Claim(kClass, &window, runtime_), 0u);
  const WindowHandle handle = window->Handle();
  uint32_t rc = 0;
  int posted = 0;
  while (posted < 1000000 && (rc = PostMessage(handle, WM_COMMAND, 1068, 0)) == 0) ++posted;
  EXPECT_EQ(rc, win32::ERROR_NOT_ENOUGH_QUOTA) << "after " << posted << " posts";
  EXPECT_GT(posted, 10);
  MSG msg;
  ASSERT_TRUE(window->NextMessage(&msg, 0));
  EXPECT_EQ(PostMessage(handle, WM_COMMAND, 1068, 0), 0u) << "room again";
  window.reset();
  EXPECT_EQ(PostMessage(handle, WM_COMMAND, 1068, 0), win32::ERROR_INVALID_WINDOW_HANDLE);
}

}  // namespace
}  // namespace tarvex
