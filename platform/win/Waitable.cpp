#include "platform/win/Waitable.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace tarvex {

uint32_t WaitForMultipleObjects(const std::vector<Waitable*>& objects, uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const bool forever = timeoutMs == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  std::vector<pollfd> fds;
  for (Waitable* object : objects) fds.push_back({object->Descriptor(), POLLIN, 0});
  for (;;) {
    for (size_t i = 0; i < objects.size(); ++i)
      if (objects[i]->Signalled()) return WAIT_OBJECT_0 + static_cast<uint32_t>(i);
    int wait = -1;
    if (!forever) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return WAIT_TIMEOUT;
      wait = static_cast<int>(left);
    }
    const int rc = ::poll(fds.data(), fds.size(), wait);
    if (rc < 0 && errno != EINTR) return WAIT_FAILED;
  }
}

}  // namespace tarvex
