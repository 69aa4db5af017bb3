// What `make run` runs: the local service and a client on one folder. The
// client's bookmarks reach the service, an edited .url follows, Ctrl-C ends
// both and leaves nothing running, and a second run goes on with the same
// history.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ie/shell/Resources.h"
#include "platform/process/Process.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"
#include "platform/win/NamedMutex.h"
#include "platform/win/Window.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

template <typename Fn>
bool Eventually(Fn done, int seconds = 20) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class DemoRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Started by the person (not with the session), the client shows its
    // settings first; the person closes them.
    std::ofstream(dir_ / "script") << "dialog 111 press 2\n";
    env_.Set("TARVEX_PRESENTER", ("script:" + (dir_ / "script")).c_str());
    env_.Set("XDG_CONFIG_HOME", (dir_ / "config").c_str());
    env_.Set("XDG_CACHE_HOME", (dir_ / "cache").c_str());
  }
  void TearDown() override {
    // Ended as a person would, so that it ends its children too.
    if (pid_ > 0 && Interrupt() != 0 && pid_ > 0) ::kill(pid_, SIGKILL);
  }
  void Start() {
    ASSERT_EQ(StartProcess({TARVEX_RUN, "--dir", run_}, &pid_), 0u);
    ASSERT_TRUE(Eventually([&] { return static_cast<bool>(FindWindow(kWindowClass, runtime_)); }))
        << Log();
  }
  // tarvex-run's exit code after SIGINT, or -1 when it did not end.
  int Interrupt() {
    ::kill(pid_, SIGINT);
    int status = 0;
    const bool ended = Eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 40);
    if (ended) pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // What the log says when a sync ended well: a new baseline (an upload, a
  // sync with changes) or the end of a sync.
  size_t Synced() {
    return Count("Writing NodeSet to disk") + Count("Favorites successfully synchronized");
  }
  void SyncNow() {
    const size_t before = Synced();
    const size_t watching = Count("Attaching observers");
    const HWND client = FindWindow(kWindowClass, runtime_);
    ASSERT_EQ(PostMessage(client, WM_COMMAND, kActionSyncNow, 0), 0u);
    ASSERT_TRUE(Eventually([&] { return Synced() > before; })) << Log();
    // The action is over when the client lets go of the sync mutex (a
    // change made before that belongs to the sync, as the watcher sees it).
    std::shared_ptr<NamedMutex> mutex;
    ASSERT_EQ(NamedMutex::Open(kSyncMutexName, &mutex, runtime_), 0u);
    const uint32_t got = mutex->Wait(20000);
    ASSERT_TRUE(got == WAIT_OBJECT_0 || got == WAIT_ABANDONED);
    mutex->Release();
    // The watcher watches afresh once the sync is over (it logs just before
    // it does); a change made before that is the sync's own.
    ASSERT_TRUE(Eventually([&] { return Count("Attaching observers") > watching; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string Log() { return testing::ReadAll(run_ + "/client-1/user/tarvex.log"); }
  size_t Count(const std::string& text) {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  std::string Service() { return testing::ReadAll(run_ + "/service/state.json"); }

  testing::TempDir dir_;
  std::string run_ = dir_ / "run";
  std::string runtime_ = run_ + "/client-1/runtime";
  testing::ScopedEnv env_;
  int pid_ = -1;
};

TEST_F(DemoRunTest, BookmarksAndEditsReachTheServiceAndCtrlCEndsEverything) {
  Start();
  SyncNow();
  EXPECT_TRUE(Eventually([&] {
    return Service().find("https://www.debian.org/") != std::string::npos;
  })) << "the demo bookmarks";
  ASSERT_TRUE(Eventually([&] { return fs::exists(run_ + "/client-1/user/tarvex-baseline.json"); }));

  // A person edits a bookmark's address in the Favorites folder (the rest
  // of the file, the bookmark's id among it, stays).
  const std::string file = run_ + "/client-1/Favorites/Debian.url";
  std::string text = testing::ReadAll(file);
  const size_t at = text.find("URL=https://www.debian.org/");
  ASSERT_NE(at, std::string::npos) << text;
  text.insert(at + std::string("URL=https://www.debian.org/").size(), "News/");
  std::ofstream(file, std::ios::binary) << text;
  ASSERT_TRUE(Eventually([&] { return Count("Recieved WM_COMMAND message: 1074") > 0; }))
      << "the watcher saw it" << Log();
  SyncNow();
  EXPECT_TRUE(Eventually(
      [&] { return Service().find("https://www.debian.org/News/") != std::string::npos; }));

  EXPECT_EQ(Interrupt(), 0);
  EXPECT_FALSE(FindWindow(kWindowClass, runtime_)) << "the client ended";
  EXPECT_FALSE(fs::exists(run_ + "/service/address")) << "the service ended";

  // The next run goes on with the same history: an ordinary sync, no
  // upload over it.
  Start();
  SyncNow();
  EXPECT_EQ(Count("Uploading Favorites"), 1u);
  EXPECT_NE(Service().find("https://www.debian.org/News/"), std::string::npos);
  EXPECT_EQ(Interrupt(), 0);
}

}  // namespace
}  // namespace tarvex
