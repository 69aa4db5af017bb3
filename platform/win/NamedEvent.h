// Named events shared by the user's programs: opened by name in the private
// runtime folder, set and reset by any holder, waited for through
// WaitForMultipleObjects. As on Windows, an event lives only while some
// handle to it is open: the first handle opened when nobody holds one finds
// it not signalled, whatever an earlier holder left.
//
// One name is one state file, "<runtime>/kobj/<name>.event" ("1" set, "0"
// not). Every handle holds a shared flock on it; an opener that can take an
// exclusive one at once is the only holder and starts the state anew. A
// handle wakes through an inotify watch on the file and reads the state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win/Waitable.h"

namespace tarvex {

class NamedEvent : public Waitable {
 public:
  // Opens (creating when missing) the event `name` of `runtimeDir` (empty:
  // that of PlatformConfig::Current()). A manual-reset event stays set until
  // ResetEvent; an automatic one is reset by the wait that sees it set.
  static uint32_t Open(std::string_view name, bool manualReset, std::unique_ptr<NamedEvent>* out,
                       const std::string& runtimeDir = {});
  ~NamedEvent() override;

  uint32_t Set();
  uint32_t Reset();

  int Descriptor() const override { return watch_; }
  bool Signalled() override;

 private:
  NamedEvent(int fd, int watch, bool manualReset) : fd_(fd), watch_(watch), manual_(manualReset) {}
  uint32_t Store(char state);

  int fd_;
  int watch_;
  bool manual_;
};

inline uint32_t SetEvent(NamedEvent& event) {
  return event.Set();
}
inline uint32_t ResetEvent(NamedEvent& event) {
  return event.Reset();
}

}  // namespace tarvex
