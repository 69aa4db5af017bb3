// The Favorites watcher: a change posts 1074 once per round once the quiet
// time after a sync or the browser's start is over (kept, not dropped, when
// it comes inside it); nothing while a sync holds the mutex; ticks on their
// deadline however often the tree changes; a refused post leaves the mutex
// free and is tried again; the sync's event makes the watcher wait and is
// reset; a missing folder is retried; Stop ends every wait at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/shell/FavoritesWatcher.h"
#include "ie/shell/Resources.h"
#include "platform/Win32Error.h"
#include "platform/clock/Clock.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/registry/Registry.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "platform/win/NamedEvent.h"
#include "platform/win/NamedMutex.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Whether `done()` becomes true within `ms` (looked at every few ms).
bool Eventually(const std::function<bool()>& done, int ms = 10000) {
  const auto until = Steady::now() + milliseconds(ms);
  while (!done()) {
    if (Steady::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

class FavoritesWatcherTest : public ::testing::Test {
 protected:
  FavoritesWatcherTest() { fs::create_directories(favorites_); }

  struct Posted {
    uint64_t command;
    Steady::time_point at;
    int waits;  // the watcher's waits before it
  };

  // Options for tests: a tick far away, a short retry, the test's runtime
  // folder, and the count of the watcher's waits.
  WatcherOptions Options() {
    WatcherOptions o;
    o.tickMs = 600000;
    o.retryMs = 100;
    o.stopMs = 5000;
    o.runtimeDir = runtime_;
    o.waiting = [this] { ++waits_; };
    return o;
  }
  std::unique_ptr<FavoritesWatcher> Start(WatcherOptions o) {
    auto watcher = std::make_unique<FavoritesWatcher>(
        settings_, logger_, clock_, favorites_,
        [this](uint64_t command) {
          std::lock_guard<std::mutex> guard(lock_);
          if (refuse_ == command) {
            refuse_ = 0;
            return win32::ERROR_NOT_ENOUGH_QUOTA;
          }
          posts_.push_back({command, Steady::now(), waits_});
          return win32::ERROR_SUCCESS;
        },
        std::move(o));
    EXPECT_EQ(watcher->Start(), 0u);
    return watcher;
  }
  // Starts the watcher and waits until it watches.
  std::unique_ptr<FavoritesWatcher> StartWatching(WatcherOptions o) {
    auto watcher = Start(std::move(o));
    EXPECT_TRUE(WaitedAgain(0));
    return watcher;
  }

  // Whether the watcher waits again after its `seen`th wait.
  bool WaitedAgain(int seen) {
    return Eventually([&] { return waits_ > seen; });
  }
  std::vector<Posted> Posts() {
    std::lock_guard<std::mutex> guard(lock_);
    return posts_;
  }
  // Whether the watcher waits again after the last post.
  bool WaitedAfterLastPost() {
    const std::vector<Posted> posts = Posts();
    return !posts.empty() && WaitedAgain(posts.back().waits);
  }
  int Count(uint64_t command) {
    int n = 0;
    for (const Posted& p : Posts()) n += p.command == command;
    return n;
  }
  // Sets the browser's start and the last sync to seconds before now.
  void SetTimes(int64_t startedAgo, int64_t syncedAgo) {
    settings_.SetInt64("iestartuptime", clock_.Now() - startedAgo, true);
    settings_.SetInt64("lastsync", clock_.Now() - syncedAgo, true);
  }
  void Change(const std::string& name = "Site.url") {
    std::ofstream(favorites_ + "/" + name, std::ios::app) << "[InternetShortcut]\n";
  }
  std::shared_ptr<NamedMutex> SyncMutex() {
    std::shared_ptr<NamedMutex> mutex;
    EXPECT_EQ(NamedMutex::Open(kSyncMutexName, &mutex, runtime_), 0u);
    return mutex;
  }
  // What another thread gets when it tries the sync mutex at once.
  uint32_t TryFromAnotherThread() {
    uint32_t got = WAIT_FAILED;
    std::thread([&] {
      auto mutex = SyncMutex();
      got = mutex->Wait(0);
      if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) mutex->Release();
    }).join();
    return got;
  }
  std::string Log() { return testing::ReadAll(logger_.path()); }
  bool Logged(const std::string& text) {
    return Eventually([&] { return Log().find(text) != std::string::npos; });
  }

  testing::TempDir dir_;
  const std::string favorites_ = dir_ / "Favorites";
  const std::string runtime_ = dir_ / "run";
  Registry registry_{dir_ / "registry"};
  FakeClock clock_{1796858716};
  OsFacts facts_;
  Logger logger_{dir_ / "tarvex.log", FileSystem::Native(), clock_};
  Settings settings_{registry_, FileSystem::Native(), clock_, facts_, logger_};

  std::atomic<int> waits_{0};
  std::mutex lock_;
  std::vector<Posted> posts_;
  uint64_t refuse_ = 0;  // the next post of this command fails
};

TEST_F(FavoritesWatcherTest, AChangePostsOncePerRoundOnceTheQuietTimeIsOver) {
  struct Case {
    const char* name;
    int64_t startedAgo;
    int64_t syncedAgo;
    bool atOnce;
  };
  const Case cases[] = {
      {"both 6 s ago", 6, 6, true},
      {"never synced", 6, clock_.Now(), true},
      {"synced 5 s ago", 600, 5, false},
      {"browser started 5 s ago", 5, 600, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> guard(lock_);
      posts_.clear();
    }
    SetTimes(c.startedAgo, c.syncedAgo);
    waits_ = 0;
    auto watcher = StartWatching(Options());

    Change();
    ASSERT_TRUE(WaitedAgain(1)) << "the round after the change";
    if (!c.atOnce) {
      EXPECT_EQ(Count(kCommandLocalChange), 0) << "inside the quiet time";
      clock_.Advance(1);  // now 6 s past: the watcher wakes for it by itself
    }
    ASSERT_TRUE(Eventually([&] { return Count(kCommandLocalChange) == 1; }));
    ASSERT_TRUE(WaitedAfterLastPost());
    EXPECT_EQ(Count(kCommandLocalChange), 1) << "one post for the whole round's changes";

    Change("Other.url");
    EXPECT_TRUE(Eventually([&] { return Count(kCommandLocalChange) == 2; }))
        << "and one for the next round's";
    EXPECT_EQ(Count(kActionTick), 0);
  }
}

TEST_F(FavoritesWatcherTest, NothingIsPostedWhileASyncHoldsTheMutexEvenOneThatDied) {
  SetTimes(600, 600);
  auto watcher = StartWatching(Options());

  // A sync in another thread holds the mutex and dies owning it.
  std::atomic<bool> held{false}, end{false};
  std::thread sync([&] {
    auto mutex = SyncMutex();
    ASSERT_EQ(mutex->Wait(INFINITE), WAIT_OBJECT_0);
    held = true;
    while (!end) std::this_thread::sleep_for(milliseconds(5));
  });
  ASSERT_TRUE(Eventually([&] { return held.load(); }));
  const int before = waits_;
  Change();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(Count(kCommandLocalChange), 0) << "the sync's own change";
  EXPECT_EQ(waits_, before) << "no watching while the sync runs";
  end = true;
  sync.join();  // abandons the mutex

  ASSERT_TRUE(WaitedAgain(before)) << "an abandoned mutex counts as free";
  EXPECT_EQ(Count(kCommandLocalChange), 0) << "the change during the sync stays ignored";
  Change();
  ASSERT_TRUE(Eventually([&] { return Count(kCommandLocalChange) == 1; }));
  ASSERT_TRUE(WaitedAfterLastPost());
  EXPECT_EQ(TryFromAnotherThread(), WAIT_OBJECT_0) << "the watcher keeps no hold on it";
  EXPECT_EQ(Log().find("Unable to get sync handle"), std::string::npos);
}

TEST_F(FavoritesWatcherTest, TicksComeOnTheirDeadlineHoweverOftenTheTreeChanges) {
  for (bool busy : {false, true}) {
    SCOPED_TRACE(busy ? "a writer touches a file every few ms" : "nothing changes");
    {
      std::lock_guard<std::mutex> guard(lock_);
      posts_.clear();
    }
    SetTimes(600, 600);
    WatcherOptions o = Options();
    o.tickMs = 300;
    const auto started = Steady::now();
    auto watcher = Start(o);
    std::atomic<bool> end{false};
    std::thread writer([&] {
      while (busy && !end) {
        Change();
        std::this_thread::sleep_for(milliseconds(5));
      }
    });
    const bool ticked = Eventually([&] { return Count(kActionTick) >= 3; });
    end = true;
    writer.join();
    watcher.reset();
    ASSERT_TRUE(ticked);

    std::vector<Steady::time_point> ticks;
    for (const Posted& p : Posts())
      if (p.command == kActionTick) ticks.push_back(p.at);
    EXPECT_GE(ticks[0] - started, milliseconds(300)) << "a tick after the start";
    for (size_t i = 1; i < ticks.size(); ++i)
      EXPECT_GE(ticks[i] - ticks[i - 1], milliseconds(300)) << "a tick after the last one";
    if (busy) {
      EXPECT_GT(Count(kCommandLocalChange), 0);
    }
  }
}

TEST_F(FavoritesWatcherTest, ARefusedPostLeavesTheMutexFreeAndIsTriedAgain) {
  struct Case {
    uint64_t command;
    const char* line;
  };
  const Case cases[] = {
      {kCommandLocalChange,
       "Error sending local change observer message: TarvexException [source: windows, id: "
       "1816]: Unable to post message"},
      {kActionTick,
       "Error sending autosync message: TarvexException [source: windows, id: 1816]: Unable to "
       "post message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    {
      std::lock_guard<std::mutex> guard(lock_);
      posts_.clear();
      refuse_ = c.command;
    }
    SetTimes(600, 600);
    WatcherOptions o = Options();
    o.retryMs = 300;
    if (c.command == kActionTick) o.tickMs = 100;
    auto watcher = StartWatching(o);
    if (c.command == kCommandLocalChange) Change();

    ASSERT_TRUE(Logged(c.line));
    EXPECT_EQ(TryFromAnotherThread(), WAIT_OBJECT_0) << "free at once, and not abandoned";
    EXPECT_TRUE(Eventually([&] { return Count(c.command) == 1; }))
        << "posted after the retry delay, with no change since";
  }
}

TEST_F(FavoritesWatcherTest, TheSyncsEventMakesTheWatcherWaitForTheSyncThenItIsReset) {
  SetTimes(600, 5);
  auto watcher = StartWatching(Options());
  Change();  // inside the quiet time: kept for later
  ASSERT_TRUE(WaitedAgain(1));

  auto mutex = SyncMutex();
  std::unique_ptr<NamedEvent> event;  // the sync's handle, open throughout
  ASSERT_EQ(NamedEvent::Open(kObserverEventName, true, &event, runtime_), 0u);
  ASSERT_EQ(mutex->Wait(0), WAIT_OBJECT_0);
  const int before = waits_;
  ASSERT_EQ(SetEvent(*event), 0u);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(waits_, before) << "the watcher waits for the sync";
  EXPECT_EQ(WaitForMultipleObjects({event.get()}, 0), WAIT_OBJECT_0) << "set while the sync runs";
  clock_.Advance(10);  // the sync takes a while
  ASSERT_EQ(mutex->Release(), 0u);

  ASSERT_TRUE(WaitedAgain(before));
  EXPECT_EQ(WaitForMultipleObjects({event.get()}, 0), WAIT_TIMEOUT) << "reset by the watcher";
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LE(waits_, before + 1) << "the watcher does not spin";
  EXPECT_TRUE(Posts().empty()) << "the change kept for later went into that sync";
}

TEST_F(FavoritesWatcherTest, AMissingFolderIsLoggedAndWatchedOnceItIsThere) {
  fs::remove(favorites_);
  SetTimes(600, 600);
  auto watcher = Start(Options());
  ASSERT_TRUE(
      Logged("TarvexException [source: windows, id: 3]: Unable to create filesystem "
             "observer"));
  EXPECT_EQ(waits_, 0);

  fs::create_directories(favorites_);
  ASSERT_TRUE(WaitedAgain(0)) << "watching once the folder is there";
  Change();
  EXPECT_TRUE(Eventually([&] { return Count(kCommandLocalChange) == 1; }));
}

TEST_F(FavoritesWatcherTest, StopEndsTheThreadWhateverItWaitsFor) {
  struct Case {
    const char* name;
    std::function<void(WatcherOptions&)> setUp;
    std::function<void()> reach;  // until the watcher waits there
  };
  std::shared_ptr<NamedMutex> mutex = SyncMutex();
  const Case cases[] = {
      {"the tick", [](WatcherOptions&) {}, [&] { ASSERT_TRUE(WaitedAgain(0)); }},
      {"a sync's end", [](WatcherOptions&) {},
       [&] {
         ASSERT_TRUE(WaitedAgain(0));
         ASSERT_EQ(mutex->Wait(0), WAIT_OBJECT_0);
         Change();
         std::this_thread::sleep_for(milliseconds(200));
       }},
      {"the retry delay",
       [&](WatcherOptions& o) {
         o.retryMs = 600000;
         o.tickMs = 0;
         refuse_ = kActionTick;
       },
       [&] { ASSERT_TRUE(Logged("Error sending autosync message")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    waits_ = 0;
    WatcherOptions o = Options();
    c.setUp(o);
    auto watcher = Start(o);
    c.reach();
    const size_t logged = Log().size();
    watcher->Stop();
    EXPECT_EQ(Log().find("did not stop in time", logged), std::string::npos);
    mutex->Release();
  }
}

}  // namespace
}  // namespace tarvex
