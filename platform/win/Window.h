// Windows found by class name and messages posted to them across the
// user's processes, as the Windows programs use them: one program claims a
// window class (the claim is atomic: of two starting programs exactly one
// wins, and the kernel frees it when the owner dies), another finds it by
// name and posts it commands, which arrive in the order posted. A post
// never waits for the receiver and fails when its queue is full.
//
// A class is a lock file and a listening socket in the private runtime
// folder: "<runtime>/kobj/<class>.window.lock", held with an exclusive
// flock by the owner for as long as it lives, and
// "<runtime>/kobj/<class>.window.sock" (whose path must fit a socket
// address, about 100 bytes: ERROR_FILENAME_EXCED_RANGE otherwise).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tarvex {

inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_COMMAND = 0x0111;

struct MSG {
  uint32_t message = 0;
  uint64_t wParam = 0;
  int64_t lParam = 0;
};

// What FindWindow gives: where the owner's queue is.
struct WindowHandle {
  std::string socket;
};

// A window class this process owns, and the queue of its window.
class OwnedWindow {
 public:
  // 0 and `*out`, ERROR_CLASS_ALREADY_EXISTS when another owner (in any
  // process of the user) holds the class, or another Win32 code. An empty
  // `runtimeDir` is that of PlatformConfig::Current().
  static uint32_t Claim(const std::string& className, std::unique_ptr<OwnedWindow>* out,
                        const std::string& runtimeDir = {});
  ~OwnedWindow();

  WindowHandle Handle() const { return {socket_}; }
  // The next message posted, waiting at most `timeoutMs` (0xFFFFFFFF: as
  // long as it takes): true and `*msg`, or false on a time-out.
  bool NextMessage(MSG* msg, uint32_t timeoutMs);

 private:
  OwnedWindow(int lock, int socket, std::string path)
      : lock_(lock), fd_(socket), socket_(std::move(path)) {}
  int lock_;
  int fd_;
  std::string socket_;
};

// The window of `className` when some process owns the class.
std::optional<WindowHandle> FindWindow(const std::string& className,
                                       const std::string& runtimeDir = {});
// 0, ERROR_NOT_ENOUGH_QUOTA (the queue is full), ERROR_INVALID_WINDOW_HANDLE
// (nobody owns the window any more) or another Win32 code.
uint32_t PostMessage(const WindowHandle& window, uint32_t message, uint64_t wParam, int64_t lParam);

}  // namespace tarvex
