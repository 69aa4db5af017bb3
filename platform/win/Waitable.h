// What WaitForMultipleObjects waits on (change notifications, named
// events), and the wait itself: the first signalled object in the order
// given wins, as on Windows.
#pragma once

#include <cstdint>
#include <vector>

namespace tarvex {

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_ABANDONED = 0x80;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// Something WaitForMultipleObjects waits on: a descriptor that becomes
// readable when the object may have become signalled.
class Waitable {
 public:
  virtual ~Waitable() = default;
  virtual int Descriptor() const = 0;
  // Takes in what the descriptor holds; whether the object is signalled.
  virtual bool Signalled() = 0;
};

// WAIT_OBJECT_0 + the index of the first signalled object, WAIT_TIMEOUT,
// or WAIT_FAILED. `timeoutMs` INFINITE waits as long as it takes.
uint32_t WaitForMultipleObjects(const std::vector<Waitable*>& objects, uint32_t timeoutMs);

}  // namespace tarvex
