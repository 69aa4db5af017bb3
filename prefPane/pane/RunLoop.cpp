#include "prefPane/pane/RunLoop.h"

#include <algorithm>

namespace tarvex::pane {

RunLoop::RunLoop(Clock& clock) : clock_(clock), idle_([this](int ms) { clock_.Sleep(ms); }) {}

uint64_t RunLoop::AddTimer(int64_t intervalSeconds, bool repeats, std::function<void()> fire) {
  uint64_t id = nextId_++;
  intervalSeconds = std::max<int64_t>(intervalSeconds, 1);
  timers_[id] = Timer{intervalSeconds, repeats, clock_.Now() + intervalSeconds, std::move(fire)};
  return id;
}

bool RunLoop::Invalidate(uint64_t id) {
  return timers_.erase(id) > 0;
}

bool RunLoop::IsScheduled(uint64_t id) const {
  return timers_.count(id) > 0;
}

uint64_t RunLoop::AddSource(std::function<int()> poll) {
  uint64_t id = nextId_++;
  sources_[id] = std::move(poll);
  return id;
}

void RunLoop::RemoveSource(uint64_t id) {
  sources_.erase(id);
}

int RunLoop::FireDue() {
  int fired = 0;
  int64_t now = clock_.Now();
  // Each due timer fires once per turn, however far the clock jumped (as a
  // late timer on the Mac fires once and is scheduled from now).
  std::vector<uint64_t> due;
  for (const auto& [id, t] : timers_)
    if (t.due <= now) due.push_back(id);
  for (uint64_t id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // invalidated by an earlier one
    std::function<void()> fire = it->second.fire;
    if (it->second.repeats)
      it->second.due = now + it->second.interval;
    else
      timers_.erase(it);
    fire();
    ++fired;
  }
  return fired;
}

int RunLoop::RunOnce(int maxWaitMs) {
  int handled = FireDue();
  std::vector<uint64_t> ids;
  for (const auto& [id, poll] : sources_) ids.push_back(id);
  for (uint64_t id : ids) {
    auto it = sources_.find(id);
    if (it != sources_.end()) handled += std::function<int()>(it->second)();
  }
  if (handled > 0 || maxWaitMs <= 0) return handled;
  int64_t wait = maxWaitMs;
  int64_t now = clock_.Now();
  for (const auto& [id, t] : timers_)
    wait = std::min<int64_t>(wait, std::max<int64_t>(t.due - now, 0) * 1000);
  if (wait > 0) idle_(static_cast<int>(wait));
  return handled;
}

bool RunLoop::RunUntil(const std::function<bool()>& done, int64_t limitSeconds) {
  int64_t end = clock_.Now() + limitSeconds;
  while (!done()) {
    if (clock_.Now() >= end) return false;
    RunOnce(100);
  }
  return true;
}

void RunLoop::Run() {
  stopped_ = false;
  while (!stopped_) RunOnce(100);
}

}  // namespace tarvex::pane
