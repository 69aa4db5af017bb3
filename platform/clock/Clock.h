// The clock seam: seconds since 1970 (64-bit) and the local time text of
// the log. Tests set the time with FakeClock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tarvex {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t Now() = 0;

  // The process-wide system clock.
  static Clock& System();
};

class FakeClock : public Clock {
 public:
  explicit FakeClock(int64_t now = 0) : now_(now) {}
  int64_t Now() override { return now_.load(); }
  void Set(int64_t now) { now_.store(now); }
  void Advance(int64_t seconds) { now_.fetch_add(seconds); }

 private:
  std::atomic<int64_t> now_;
};

// The local time of `t` in the C library's ctime form without its line end,
// with a zero-padded day of the month: "Wed Dec 09 23:25:16 2026". Day and
// month names are English whatever the locale.
std::string FormatCTime(int64_t t);

}  // namespace tarvex
