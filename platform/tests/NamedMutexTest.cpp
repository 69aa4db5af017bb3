// Named mutexes across threads and processes: exclusion, recursion, the
// owner's release, time-outs, and abandonment by a thread that ends or a
// process that is killed while owning one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/process/Process.h"
#include "platform/testing/TempDir.h"
#include "platform/win/NamedMutex.h"

namespace tarvex {
namespace {

class NamedMutexTest : public ::testing::Test {
 protected:
  std::shared_ptr<NamedMutex> Open(const std::string& name = "Global\\TarvexTest") {
    std::shared_ptr<NamedMutex> mutex;
    EXPECT_EQ(NamedMutex::Open(name, &mutex, runtime_), 0u);
    return mutex;
  }

  // A holder in another process: started, and waited for until it owns
  // the mutex; what its wait gave.
  struct Holder {
    int pid = -1;
    ProcessPipes pipes;
    std::string got;
  };
  Holder StartHolder(const std::string& name) {
    Holder h;
    h.pipes.toInput = true;
    h.pipes.fromOutput = true;
    EXPECT_EQ(StartProcess({MUTEX_HOLDER_HELPER, runtime_, name}, &h.pid, h.pipes), 0u);
    char c;
    while (::read(h.pipes.output, &c, 1) == 1 && c != '\n') h.got += c;
    return h;
  }

  testing::TempDir temp_;
  const std::string runtime_ = temp_.path() + "/run";
};

TEST_F(NamedMutexTest, NamesBecomeFilesOfThePrivateFolder) {
  struct Case {
    const char* name;
    const char* file;
  };
  const Case cases[] = {
      {"Global\\TarvexSyncMutex", "TarvexSyncMutex"},
      {"Local\\a b", "a%20b"},
      {"x/../y", "x%2F..%2Fy"},
      {"..", "%2E."},
      {"\xC3\xA9", "%C3%A9"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(KernelObjectPath("/run", c.name, "mutex"),
              std::string("/run/kobj/") + c.file + ".mutex")
        << c.name;

  std::filesystem::create_directories(temp_.path() + "/elsewhere");
  std::filesystem::create_symlink(temp_.path() + "/elsewhere", temp_.path() + "/link");
  std::shared_ptr<NamedMutex> mutex;
  EXPECT_EQ(NamedMutex::Open("m", &mutex, temp_.path() + "/link"), win32::ERROR_ACCESS_DENIED)
      << "a runtime folder that is a link is refused";
  EXPECT_EQ(mutex, nullptr);
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(std::filesystem::status(runtime_).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

TEST_F(NamedMutexTest, ThreadsExcludeEachOtherAndTheOwnerMayTakeItAgain) {
  auto mine = Open();
  auto other = Open();  // another handle of the same name
  ASSERT_EQ(mine->Wait(INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(mine->Wait(0), WAIT_OBJECT_0) << "recursive for its owner";

  uint32_t waited = 0, released = 0;
  std::thread([&] {
    waited = other->Wait(20);
    released = other->Release();
  }).join();
  EXPECT_EQ(waited, WAIT_TIMEOUT);
  EXPECT_EQ(released, win32::ERROR_NOT_OWNER);

  EXPECT_EQ(mine->Release(), 0u);
  std::thread([&] { waited = other->Wait(0); }).join();
  EXPECT_EQ(waited, WAIT_TIMEOUT) << "still owned once more";
  EXPECT_EQ(mine->Release(), 0u);
  EXPECT_EQ(mine->Release(), win32::ERROR_NOT_OWNER);

  // Many threads counting under the mutex lose no step.
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      auto handle = Open();
      for (int k = 0; k < 200; ++k) {
        ASSERT_EQ(handle->Wait(INFINITE), WAIT_OBJECT_0);
        const int seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        ASSERT_EQ(handle->Release(), 0u);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 1600);
}

TEST_F(NamedMutexTest, AThreadThatEndsOwningItAbandonsIt) {
  auto mutex = Open();
  std::thread([&] { EXPECT_EQ(mutex->Wait(INFINITE), WAIT_OBJECT_0); }).join();
  EXPECT_EQ(mutex->Wait(1000), WAIT_ABANDONED) << "owned now, and told it was abandoned";
  EXPECT_EQ(mutex->Release(), 0u);
  EXPECT_EQ(mutex->Wait(0), WAIT_OBJECT_0) << "abandoned once only";
  EXPECT_EQ(mutex->Release(), 0u);
}

TEST_F(NamedMutexTest, ProcessesExcludeEachOtherAndAKilledOwnerAbandonsIt) {
  auto mutex = Open("Global\\Shared");
  Holder holder = StartHolder("Global\\Shared");
  EXPECT_EQ(holder.got, "0");
  EXPECT_EQ(mutex->Wait(30), WAIT_TIMEOUT) << "another process owns it";
  ::close(holder.pipes.input);  // the holder releases and ends
  EXPECT_EQ(WaitForProcess(holder.pid), 0);
  ::close(holder.pipes.output);
  ASSERT_EQ(mutex->Wait(1000), WAIT_OBJECT_0);

  // Held here, a second process waits; released, it takes it.
  Holder waiter;
  std::thread starter([&] { waiter = StartHolder("Global\\Shared"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(mutex->Release(), 0u);
  starter.join();
  EXPECT_EQ(waiter.got, "0");

  // Killed while owning it: the next owner is told.
  ::kill(waiter.pid, SIGKILL);
  EXPECT_EQ(WaitForProcess(waiter.pid), -1);
  ::close(waiter.pipes.input);
  ::close(waiter.pipes.output);
  EXPECT_EQ(mutex->Wait(1000), WAIT_ABANDONED);
  EXPECT_EQ(mutex->Release(), 0u);
  Holder next = StartHolder("Global\\Shared");
  EXPECT_EQ(next.got, "0") << "a clean release leaves nothing behind";
  ::close(next.pipes.input);
  EXPECT_EQ(WaitForProcess(next.pid), 0);
  ::close(next.pipes.output);
}

}  // namespace
}  // namespace tarvex
