// The clock seam: seconds since 1970 (64-bit), waiting, and the local time
// text of the log. Tests set the time with FakeClock, whose waits only move
// its time on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tarvex {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t Now() = 0;
  // Waits `milliseconds` (the calling thread sleeps).
  virtual void Sleep(int64_t milliseconds);

  // The process-wide system clock.
  static Clock& System();
};

class FakeClock : public Clock {
 public:
  explicit FakeClock(int64_t now = 0) : now_(now) {}
  int64_t Now() override { return now_.load(); }
  void Set(int64_t now) { now_.store(now); }
  void Advance(int64_t seconds) { now_.fetch_add(seconds); }
  // Returns at once: the time moves on by the whole seconds the waits add up
  // to.
  void Sleep(int64_t milliseconds) override {
    if (milliseconds <= 0) return;
    int64_t before = slept_.fetch_add(milliseconds);
    now_.fetch_add((before + milliseconds) / 1000 - before / 1000);
  }
  // The milliseconds of every wait so far.
  int64_t Slept() const { return slept_.load(); }

 private:
  std::atomic<int64_t> now_;
  std::atomic<int64_t> slept_{0};
};

// The local time of `t` in the C library's ctime form without its line end,
// with a zero-padded day of the month: "Wed Dec 09 23:25:16 2026". Day and
// month names are English whatever the locale.
std::string FormatCTime(int64_t t);

}  // namespace tarvex
