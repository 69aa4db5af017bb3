// Named mutexes shared by the user's programs, as the Windows programs use
// them: opened by name ("Global\" and "Local\" prefixes mean nothing here:
// every name lives in the user's private runtime folder), waited for with a
// time-out, recursive for the thread that owns one, and released by that
// thread alone.
//
// One name is one lock file, "<runtime>/kobj/<name>.mutex" (the name
// percent-encoded outside [A-Za-z0-9._-]). Inside a process every handle of
// a name shares one state, which excludes the process's threads; across
// processes the owner holds an exclusive flock on the file, which the kernel
// drops when the owner dies. The owner's process id stands in the file while
// it owns the mutex, so:
//  - a thread that ends while it owns the mutex abandons it: the next
//    caller gets it with WAIT_ABANDONED;
//  - a process that dies while owning it leaves its id in the file: the
//    next owner, in whichever process, gets WAIT_ABANDONED too.
// Callers treat WAIT_ABANDONED as acquired (what the owner guarded may be
// half done).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win/Waitable.h"

namespace tarvex {

// The file of a kernel object of `kind` ("mutex", "event") named `name`.
std::string KernelObjectPath(const std::string& runtimeDir, std::string_view name,
                             std::string_view kind);
// The same in `runtimeDir` (empty: that of PlatformConfig::Current()),
// whose folders are first made private: 0 and `*path`, or the Win32 code.
uint32_t PrepareKernelObject(const std::string& runtimeDir, std::string_view name,
                             std::string_view kind, std::string* path);

class NamedMutex {
 public:
  struct State;

  // Opens (creating when missing) the mutex `name` of `runtimeDir` (empty:
  // the runtime folder of PlatformConfig::Current()). 0 and `*out`, or the
  // Win32 code (the folder cannot be made private, the file cannot be
  // opened).
  static uint32_t Open(std::string_view name, std::shared_ptr<NamedMutex>* out,
                       const std::string& runtimeDir = {});

  // WAIT_OBJECT_0 or WAIT_ABANDONED (now owned), WAIT_TIMEOUT, or
  // WAIT_FAILED. `timeoutMs` INFINITE waits as long as it takes.
  uint32_t Wait(uint32_t timeoutMs);
  // 0, or ERROR_NOT_OWNER when the calling thread does not own it.
  uint32_t Release();

  const std::string& path() const;

  explicit NamedMutex(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

// The Win32 spellings.
inline uint32_t WaitForSingleObject(NamedMutex& mutex, uint32_t timeoutMs) {
  return mutex.Wait(timeoutMs);
}
inline uint32_t ReleaseMutex(NamedMutex& mutex) {
  return mutex.Release();
}

}  // namespace tarvex
