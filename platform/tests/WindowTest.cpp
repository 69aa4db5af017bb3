// Windows and their messages: one owner per class among the user's
// processes, posts from another process in order and never waiting, the
// integrity filter, the order of a thread's queue (posted, then the quit,
// then timers), nested loops and the quit, and a procedure that throws.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
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
constexpr uint32_t kCommandMessage = 1125;

struct Seen {
  uint32_t message;
  uint64_t wParam;
  bool operator==(const Seen&) const = default;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegisterClass(kClass, [this](const HWND& w, uint32_t m, uint64_t wp, int64_t lp) {
                if (m == WM_COMMAND || m == kCommandMessage || m == WM_TIMER || m >= WM_USER)
                  seen_.push_back({m, wp});
                if (m == WM_USER + 99) throw std::runtime_error("bad state");
                return DefWindowProc(w, m, wp, lp);
              }),
              0u);
  }
  void TearDown() override {
    if (window_) DestroyWindow(window_);
    EXPECT_TRUE(UnregisterClass(kClass));
    SetQueueLimit(10000);
    ChangeWindowMessageFilter(kCommandMessage, MSGFLT_REMOVE);
    SetWindowsLog(nullptr);
  }

  void Create() { ASSERT_EQ(CreateWindow(kClass, "Tarvex Synchronizer", &window_, runtime_), 0u); }
  // Dispatches what arrives until `count` messages were seen or nothing
  // came for five seconds.
  void Pump(size_t count) {
    MSG msg;
    while (seen_.size() < count && WaitMessage(5000)) {
      GetMessage(&msg);
      DispatchMessage(msg);
    }
  }
  // A helper process that posts; its exit code and what it printed.
  std::pair<int, std::string> Post(uint32_t message, uint64_t first, int count, bool low = false) {
    std::vector<std::string> argv = {WINDOW_HELPER, "post", runtime_, kClass,
                                     std::to_string(message), std::to_string(first),
                                     std::to_string(count)};
    if (low) argv.push_back("low");
    ProcessPipes pipes;
    pipes.fromOutput = true;
    int pid = -1;
    EXPECT_EQ(StartProcess(argv, &pid, pipes), 0u);
    std::string out;
    char c;
    while (::read(pipes.output, &c, 1) == 1)
      if (c != '\n') out += c;
    ::close(pipes.output);
    return {WaitForProcess(pid), out};
  }

  testing::TempDir temp_;
  const std::string runtime_ = temp_.path() + "/run";
  HWND window_;
  std::vector<Seen> seen_;
};

TEST_F(WindowTest, OfRacingCreatorsExactlyOneOwnsTheClassUntilItsWindowGoes) {
  EXPECT_FALSE(FindWindow(kClass, runtime_)) << "nobody owns it yet";
  std::vector<HWND> windows(8);
  std::vector<uint32_t> results(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back(
        [&, i] { results[i] = CreateWindow(kClass, "Tarvex Synchronizer", &windows[i], runtime_); });
  for (auto& t : threads) t.join();
  int won = 0;
  for (int i = 0; i < 8; ++i) {
    if (results[i] == 0) {
      ++won;
      window_ = windows[i];
    } else {
      EXPECT_EQ(results[i], win32::ERROR_ALREADY_EXISTS);
      EXPECT_FALSE(windows[i]);
    }
  }
  ASSERT_EQ(won, 1);
  EXPECT_EQ(FindWindow(kClass, runtime_), window_) << "this process's own window";
  EXPECT_EQ(GetWindowText(window_), "Tarvex Synchronizer");

  ASSERT_TRUE(DestroyWindow(window_));
  EXPECT_FALSE(FindWindow(kClass, runtime_)) << "gone with its window";
  window_ = HWND{};
  Create();
}

TEST_F(WindowTest, ACreatorInAnotherProcessLosesToTheOwnerAndAKilledOwnerFreesTheClass) {
  Create();
  auto own = [&](int* pid) {
    ProcessPipes pipes;
    pipes.toInput = true;
    pipes.fromOutput = true;
    EXPECT_EQ(StartProcess({WINDOW_HELPER, "own", runtime_, kClass}, pid, pipes), 0u);
    std::string line;
    char c;
    while (::read(pipes.output, &c, 1) == 1 && c != '\n') line += c;
    return std::make_pair(pipes, line);
  };
  int pid = -1;
  auto [lost, code] = own(&pid);
  EXPECT_EQ(code, std::to_string(win32::ERROR_ALREADY_EXISTS));
  ::close(lost.input);
  ::close(lost.output);
  EXPECT_EQ(WaitForProcess(pid), 0);

  DestroyWindow(window_);
  window_ = HWND{};
  auto [owner, won] = own(&pid);
  ASSERT_EQ(won, "0");
  const HWND remote = FindWindow(kClass, runtime_);
  ASSERT_FALSE(remote.remote.empty()) << "another process's window";
  EXPECT_EQ(PostMessage(remote, WM_COMMAND, 1528, 0), 0u);
  std::string got;
  char c;
  while (::read(owner.output, &c, 1) == 1 && c != '\n') got += c;
  EXPECT_EQ(got, "1528");

  ::kill(pid, SIGKILL);
  WaitForProcess(pid);
  ::close(owner.input);
  ::close(owner.output);
  EXPECT_FALSE(FindWindow(kClass, runtime_)) << "the kernel freed a killed owner's class";
  EXPECT_EQ(PostMessage(remote, WM_COMMAND, 1528, 0), win32::ERROR_INVALID_WINDOW_HANDLE);
  Create();  // its socket left behind is taken over
  EXPECT_EQ(Post(WM_COMMAND, 7, 1).first, 0);
  Pump(1);
  EXPECT_EQ(seen_, (std::vector<Seen>{{WM_COMMAND, 7}}));
}

TEST_F(WindowTest, AMessageThatEndsItsOwnerAtOnceIsStillAnsweredAsTaken) {
  // The owner ends the moment its loop takes the message, which may be
  // before its receiving thread answered: the poster must still hear that
  // the message was taken.
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ProcessPipes pipes;
    pipes.toInput = true;
    pipes.fromOutput = true;
    int pid = -1;
    ASSERT_EQ(StartProcess({WINDOW_HELPER, "own", runtime_, kClass}, &pid, pipes), 0u);
    std::string line;
    char c;
    while (::read(pipes.output, &c, 1) == 1 && c != '\n') line += c;
    ASSERT_EQ(line, "0");
    EXPECT_EQ(PostMessage(FindWindow(kClass, runtime_), WM_COMMAND, 86, 0), 0u);
    EXPECT_EQ(WaitForProcess(pid), 86);
    ::close(pipes.input);
    ::close(pipes.output);
  }
}

TEST_F(WindowTest, PostsFromAnotherProcessArriveInOrderAmongThisThreadsOwn) {
  Create();
  PostMessage(window_, WM_COMMAND, 0, 0);
  auto [code, out] = Post(kCommandMessage, 1, 200);
  EXPECT_EQ(code, 0) << out;
  PostMessage(window_, WM_COMMAND, 201, 0);
  Pump(202);
  ASSERT_EQ(seen_.size(), 202u);
  for (uint64_t i = 0; i < 202; ++i) {
    EXPECT_EQ(seen_[i].wParam, i);
    EXPECT_EQ(seen_[i].message, i == 0 || i == 201 ? WM_COMMAND : kCommandMessage);
  }
}

TEST_F(WindowTest, ALowerIntegritySenderGetsOnlyWhatTheFilterLetsThrough) {
  Create();
  struct Case {
    bool filterAdded;
    bool low;
    uint32_t message;
    bool arrives;
  };
  const Case cases[] = {
      {false, false, kCommandMessage, true},  {false, false, WM_COMMAND, true},
      {false, true, kCommandMessage, false},  {false, true, WM_COMMAND, false},
      {true, true, kCommandMessage, true},    {true, true, WM_COMMAND, false},
  };
  uint64_t n = 0;
  for (const Case& c : cases) {
    ChangeWindowMessageFilter(kCommandMessage, c.filterAdded ? MSGFLT_ADD : MSGFLT_REMOVE);
    seen_.clear();
    auto [code, out] = Post(c.message, ++n, 1, c.low);
    const std::string label = std::to_string(c.message) + (c.low ? " low" : " medium") +
                              (c.filterAdded ? " filter added" : "");
    if (c.arrives) {
      EXPECT_EQ(code, 0) << label;
      Pump(1);
      EXPECT_EQ(seen_, (std::vector<Seen>{{c.message, n}})) << label;
    } else {
      EXPECT_EQ(code, 2) << label;
      EXPECT_EQ(out, std::to_string(win32::ERROR_ACCESS_DENIED)) << label;
      MSG msg;
      EXPECT_FALSE(PeekMessage(&msg)) << label;
    }
  }
}

TEST_F(WindowTest, AFullQueueFailsThePostAndAGoneWindowFailsEveryPost) {
  Create();
  SetQueueLimit(5);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PostMessage(window_, WM_COMMAND, 1, 0), 0u);
  auto [code, out] = Post(WM_COMMAND, 1, 5);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(out, std::to_string(win32::ERROR_NOT_ENOUGH_QUOTA)) << "from another process";
  EXPECT_EQ(PostMessage(window_, WM_COMMAND, 1, 0), win32::ERROR_NOT_ENOUGH_QUOTA);
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg));
  EXPECT_EQ(PostMessage(window_, WM_COMMAND, 1, 0), 0u) << "room again";

  const HWND remote{0, FindWindow(kClass, runtime_).remote};
  ASSERT_TRUE(DestroyWindow(window_));
  EXPECT_FALSE(PeekMessage(&msg)) << "what waited for it went with it";
  EXPECT_EQ(PostMessage(window_, WM_COMMAND, 1, 0), win32::ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(IsWindow(window_));
  window_ = HWND{};
  EXPECT_EQ(Post(WM_COMMAND, 1, 1).first, 1) << "nobody to find";
}

TEST_F(WindowTest, TheQuitComesAfterEveryPostedMessageAndANestedLoopPassesItOn) {
  Create();
  bool nestedEnded = true;
  bool nestedDone = false;
  ASSERT_TRUE(UnregisterClass(kClass) == false);  // its window lives
  HWND nested = CreateLocalWindow("nested", [&](const HWND&, uint32_t m, uint64_t wp, int64_t) {
    if (m == WM_COMMAND && wp == 1) {
      // A modal loop inside a handler: it dispatches the thread's other
      // messages, and leaves on the quit.
      nestedEnded = RunNestedLoop([&] { return nestedDone; });
    }
    if (m == WM_COMMAND) seen_.push_back({m, wp});
    return int64_t{0};
  });
  PostMessage(nested, WM_COMMAND, 1, 0);
  PostQuitMessage(7);
  PostMessage(window_, WM_COMMAND, 2, 0);
  PostMessage(nested, WM_COMMAND, 3, 0);

  MSG msg;
  std::vector<uint32_t> outer;
  int got;
  while ((got = GetMessage(&msg)) > 0) {
    outer.push_back(msg.message);
    DispatchMessage(msg);
  }
  EXPECT_EQ(msg.wParam, 7u) << "the exit code";
  EXPECT_FALSE(nestedEnded) << "the nested loop saw the quit";
  EXPECT_EQ(outer, std::vector<uint32_t>{WM_COMMAND}) << "the nested loop took the rest";
  EXPECT_EQ(seen_, (std::vector<Seen>{{WM_COMMAND, 2}, {WM_COMMAND, 3}, {WM_COMMAND, 1}}));
  EXPECT_FALSE(PeekMessage(&msg)) << "one quit, taken once";
  DestroyWindow(nested);
}

TEST_F(WindowTest, TimersComeOnlyWhenNothingIsPostedAndStopWhenKilled) {
  Create();
  ASSERT_TRUE(SetTimer(window_, 10, 1));
  PostMessage(window_, WM_COMMAND, 1, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg));
  EXPECT_EQ(msg.message, WM_COMMAND) << "posted before a due timer";
  ASSERT_TRUE(PeekMessage(&msg));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, 10u);
  EXPECT_TRUE(KillTimer(window_, 10));
  EXPECT_FALSE(KillTimer(window_, 10));
  EXPECT_FALSE(WaitMessage(20));
}

TEST_F(WindowTest, AProcedureThatThrowsIsLoggedAndTheLoopGoesOn) {
  Create();
  std::vector<std::string> log;
  SetWindowsLog([&](const std::string& line) { log.push_back(line); });
  PostMessage(window_, WM_USER + 99, 0, 0);
  PostMessage(window_, WM_COMMAND, 5, 0);
  Pump(2);
  EXPECT_EQ(seen_, (std::vector<Seen>{{WM_USER + 99, 0}, {WM_COMMAND, 5}}));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("bad state"), std::string::npos) << log[0];
}

TEST_F(WindowTest, ThreadMessagesReachALivingThreadOnly) {
  uint32_t id = 0;
  std::atomic<bool> posted{false};
  MSG got;
  std::thread t([&] {
    id = GetCurrentThreadId();
    PeekMessage(&got);  // the queue exists
    posted = true;
    GetMessage(&got);
  });
  while (!posted) std::this_thread::yield();
  EXPECT_EQ(PostThreadMessage(id, WM_USER + 1, 42, 0), 0u);
  t.join();
  EXPECT_EQ(got.message, WM_USER + 1);
  EXPECT_EQ(got.wParam, 42u);
  EXPECT_FALSE(got.hwnd);
  EXPECT_EQ(PostThreadMessage(id, WM_USER + 1, 42, 0), win32::ERROR_INVALID_THREAD_ID);
}

}  // namespace
}  // namespace tarvex
