#include "platform/win/SessionEnd.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/win/Window.h"

namespace tarvex {
namespace {

constexpr uint32_t kSessionEndMessage = WM_LAYER_FIRST + 5;
constexpr uint64_t kRetryTimer = 1;

int wake[2] = {-1, -1};

// Only an async-signal-safe write: the watching thread does the rest.
void OnSignal(int) {
  const int saved = errno;
  const char c = 1;
  if (::write(wake[1], &c, 1) < 0) {
    // The pipe is full: an end is under way already.
  }
  errno = saved;
}

struct Ending {
  SessionEndOptions options;
  HWND window;
  bool asking = false;
  std::chrono::steady_clock::time_point since;

  // Asks every window; true when all agreed.
  bool Ask() {
    bool all = true;
    for (const HWND& w : EnumThreadWindows())
      if (SendMessage(w, WM_QUERYENDSESSION, 0, 0) == 0) all = false;
    return all;
  }
  void End() {
    KillTimer(window, kRetryTimer);
    asking = false;
    for (const HWND& w : EnumThreadWindows()) SendMessage(w, WM_ENDSESSION, 1, 0);
    PostQuitMessage(0);
  }
  void Try() {
    const auto waited = std::chrono::steady_clock::now() - since;
    if (Ask() || waited >= std::chrono::milliseconds(options.giveUpMs)) {
      End();
      return;
    }
    SetTimer(window, kRetryTimer, options.retryMs);
  }
};

}  // namespace

uint32_t InstallSessionEnd(SessionEndOptions options) {
  if (wake[0] >= 0) return win32::ERROR_ALREADY_EXISTS;
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return Win32FromErrno(errno);
  auto* ending = new Ending{options, {}, false, {}};  // lives as long as the process
  ending->window = CreateLocalWindow("session end", [ending](const HWND&, uint32_t m,
                                                             uint64_t wParam, int64_t) {
    if (m == kSessionEndMessage && !ending->asking) {
      ending->asking = true;
      ending->since = std::chrono::steady_clock::now();
      ending->Try();
    } else if (m == WM_TIMER && wParam == kRetryTimer && ending->asking) {
      ending->Try();
    }
    return int64_t{0};
  });
  const HWND target = ending->window;
  std::thread([target] {
    // The read end stays blocking for this thread alone.
    ::fcntl(wake[0], F_SETFL, 0);
    char c;
    for (;;) {
      const ssize_t n = ::read(wake[0], &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      PostMessage(target, kSessionEndMessage, 0, 0);
    }
  }).detach();
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGHUP, SIGINT})
    if (::sigaction(sig, &action, nullptr) != 0) return Win32FromErrno(errno);
  return win32::ERROR_SUCCESS;
}

}  // namespace tarvex
