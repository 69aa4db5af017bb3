// The pane's run loop: timers on a settable clock and sources polled in
// turn, all on one thread. Waiting is the loop's `idle` hook: the host waits
// for its window's messages; tests leave the default, which waits on the
// clock (a FakeClock's waits only move its time on, so no test sleeps).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform/clock/Clock.h"

namespace tarvex::pane {

class RunLoop {
 public:
  explicit RunLoop(Clock& clock);

  // A timer that calls `fire` `interval` seconds from now, and every
  // `interval` seconds after that when it repeats. Answers its id.
  uint64_t AddTimer(int64_t intervalSeconds, bool repeats, std::function<void()> fire);
  // Stops the timer; false for one that is not scheduled.
  bool Invalidate(uint64_t id);
  bool IsScheduled(uint64_t id) const;

  // A source polled without waiting; answers how much it handled. Answers
  // the source's id.
  uint64_t AddSource(std::function<int()> poll);
  void RemoveSource(uint64_t id);
  // How the loop waits when nothing is due (milliseconds at most).
  void SetIdle(std::function<void(int ms)> idle) { idle_ = std::move(idle); }

  // One turn: due timers fired, sources polled; when nothing happened, the
  // loop waits at most `maxWaitMs` (never past the next timer). Answers how
  // much was handled.
  int RunOnce(int maxWaitMs);
  // Turns until `done` answers true (true) or `limitSeconds` of the clock
  // passed (false).
  bool RunUntil(const std::function<bool()>& done, int64_t limitSeconds);
  // Turns until Stop().
  void Run();
  void Stop() { stopped_ = true; }

  Clock& clock() { return clock_; }

 private:
  struct Timer {
    int64_t interval;
    bool repeats;
    int64_t due;
    std::function<void()> fire;
  };
  int FireDue();

  Clock& clock_;
  std::map<uint64_t, Timer> timers_;
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::function<int()>> sources_;
  std::function<void(int)> idle_;
  bool stopped_ = false;
};

}  // namespace tarvex::pane
