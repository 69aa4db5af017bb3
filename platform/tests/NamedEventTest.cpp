// Named events: set and seen through every handle, reset by hand or by the
// wait of an automatic one, waking a waiter, and gone with their last
// handle.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/testing/TempDir.h"
#include "platform/win/NamedEvent.h"
#include "platform/win/NamedMutex.h"

namespace tarvex {
namespace {

class NamedEventTest : public ::testing::Test {
 protected:
  std::unique_ptr<NamedEvent> Open(bool manual = true) {
    std::unique_ptr<NamedEvent> event;
    EXPECT_EQ(NamedEvent::Open("Global\\kvobserverthreadevent", manual, &event, runtime_), 0u);
    return event;
  }
  testing::TempDir temp_;
  const std::string runtime_ = temp_.path() + "/run";
};

TEST_F(NamedEventTest, ASetEventIsSeenByEveryHandleUntilReset) {
  auto waiter = Open();
  auto signaller = Open();
  EXPECT_EQ(WaitForMultipleObjects({waiter.get()}, 0), WAIT_TIMEOUT);
  EXPECT_EQ(SetEvent(*signaller), 0u);
  EXPECT_EQ(WaitForMultipleObjects({waiter.get()}, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects({waiter.get()}, 0), WAIT_OBJECT_0) << "manual: stays set";
  EXPECT_EQ(ResetEvent(*waiter), 0u);
  EXPECT_EQ(WaitForMultipleObjects({signaller.get()}, 0), WAIT_TIMEOUT);

  uint32_t woke = WAIT_FAILED;
  std::thread wait([&] { woke = WaitForMultipleObjects({waiter.get()}, 5000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(SetEvent(*signaller), 0u);
  wait.join();
  EXPECT_EQ(woke, WAIT_OBJECT_0) << "a waiter wakes when another handle sets it";
}

TEST_F(NamedEventTest, AnAutomaticEventIsResetByTheWaitThatSeesIt) {
  auto event = Open(false);
  EXPECT_EQ(SetEvent(*event), 0u);
  EXPECT_EQ(WaitForMultipleObjects({event.get()}, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects({event.get()}, 0), WAIT_TIMEOUT);
}

TEST_F(NamedEventTest, TheEventLivesOnlyWhileAHandleIsOpen) {
  auto first = Open();
  EXPECT_EQ(SetEvent(*first), 0u);
  {
    auto second = Open();
    EXPECT_EQ(WaitForMultipleObjects({second.get()}, 0), WAIT_OBJECT_0) << "still held: still set";
  }
  first.reset();
  auto again = Open();
  EXPECT_EQ(WaitForMultipleObjects({again.get()}, 0), WAIT_TIMEOUT)
      << "opened when nobody held it: not set";
}

}  // namespace
}  // namespace tarvex
