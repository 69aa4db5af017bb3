#include "platform/clock/Clock.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "text/Text.h"

namespace tarvex {
namespace {

class SystemClock : public Clock {
 public:
  int64_t Now() override { return static_cast<int64_t>(std::time(nullptr)); }
};

}  // namespace

void Clock::Sleep(int64_t milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

Clock& Clock::System() {
  static Clock* clock = new SystemClock;
  return *clock;
}

std::string FormatCTime(int64_t t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (!localtime_r(&tt, &tm)) return "[unknown time]";
  return Format("%s %s %02d %02d:%02d:%02d %d", kDays[tm.tm_wday % 7], kMonths[tm.tm_mon % 12],
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}

}  // namespace tarvex
