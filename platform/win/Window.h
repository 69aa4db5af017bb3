// Windows, their messages and the message loop, as the Windows programs use
// them:
//  - every thread has a queue; PostMessage puts a message in the queue of
//    the thread that owns the window and never waits for that thread;
//    GetMessage takes posted messages in order, then WM_QUIT once the thread
//    asked for it and nothing else is posted, then due timers;
//    DispatchMessage calls the window's procedure (an exception escaping it
//    is logged and the loop goes on);
//  - a window of a registered class is found by class name from any of the
//    user's processes: creating it claims the class (atomic: of two starting
//    programs exactly one wins, the other gets ERROR_ALREADY_EXISTS; the
//    kernel frees the claim when the owner dies), and another process posts
//    to it through a socket whose receiving thread puts each message in the
//    owner's queue, so posts arrive in the order made;
//  - a process runs at an integrity level (medium; TARVEX_INTEGRITY=low
//    stands for a browser's protected-mode process), and a window takes a
//    message from a lower level only when ChangeWindowMessageFilter let it
//    through (the poster gets ERROR_ACCESS_DENIED otherwise);
//  - a nested loop (a modal dialog, a menu) ends on WM_QUIT and posts it
//    again, so the outermost loop ends too.
//
// A registered class's claim and socket live in the private runtime folder:
// "<runtime>/kobj/<class>.window.lock", held with an exclusive flock by the
// owner for as long as the window lives, and "<runtime>/kobj/<class>.window.sock"
// (whose path must fit a socket address, about 100 bytes:
// ERROR_FILENAME_EXCED_RANGE otherwise).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarvex {

inline constexpr uint32_t WM_NULL = 0x0000;
inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_QUERYENDSESSION = 0x0011;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_ENDSESSION = 0x0016;
inline constexpr uint32_t WM_INITDIALOG = 0x0110;
inline constexpr uint32_t WM_COMMAND = 0x0111;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_USER = 0x0400;
// Messages of this layer's own, below what programs use (WM_APP and up are
// theirs).
inline constexpr uint32_t WM_LAYER_FIRST = 0x7F00;
inline constexpr uint32_t WM_APP = 0x8000;

inline constexpr uint32_t MSGFLT_ADD = 1;
inline constexpr uint32_t MSGFLT_REMOVE = 2;

// A window: one of this process (`local`), or of another process of the
// user, reached through its socket (`remote`).
struct WindowHandle {
  uint64_t local = 0;
  std::string remote;

  explicit operator bool() const { return local != 0 || !remote.empty(); }
  bool operator==(const WindowHandle&) const = default;
};
using HWND = WindowHandle;

struct MSG {
  HWND hwnd;  // empty for a message posted to the thread
  uint32_t message = 0;
  uint64_t wParam = 0;
  int64_t lParam = 0;
};

using WindowProc = std::function<int64_t(const HWND& window, uint32_t message, uint64_t wParam,
                                         int64_t lParam)>;

// ---- Windows ----

// Ends the process at once with `code` (no destructors, no handlers), but
// only after a message that another process posted and this one already
// took has been answered: the poster learns it was taken, as it was.
[[noreturn]] void ExitProcessAnswered(int code);

// Registers a class whose one window other processes find by name. 0, or
// ERROR_CLASS_ALREADY_EXISTS when this process registered it already.
uint32_t RegisterClass(const std::string& className, WindowProc proc);
// False when the class is not registered or a window of it lives.
bool UnregisterClass(const std::string& className);
// Creates the window of a registered class, owned by the calling thread,
// and claims the class for this user's processes: 0 and `*out`,
// ERROR_ALREADY_EXISTS when another window of the class lives (in any of
// the user's processes), ERROR_CANNOT_FIND_WND_CLASS for a class never
// registered, or another Win32 code. An empty `runtimeDir` is that of
// PlatformConfig::Current().
uint32_t CreateWindow(const std::string& className, const std::string& title, HWND* out,
                      const std::string& runtimeDir = {});
// A window of this process that nobody finds by name (dialogs, menus).
HWND CreateLocalWindow(const std::string& title, WindowProc proc);
// Sends WM_DESTROY to the window and removes it: posts to it fail from
// then on and what waits for it in the queue is dropped. False for a
// window that does not exist (or is another process's).
bool DestroyWindow(const HWND& window);
bool IsWindow(const HWND& window);
// The window of `className`: this process's own when it has one, else
// another process's that lives; empty when there is none.
HWND FindWindow(const std::string& className, const std::string& runtimeDir = {});
std::string GetWindowText(const HWND& window);
// The windows of registered classes that the calling thread owns (its
// top-level windows), in the order made.
std::vector<HWND> EnumThreadWindows();

// ---- Messages ----

// 0, ERROR_NOT_ENOUGH_QUOTA (the owner's queue is full),
// ERROR_INVALID_WINDOW_HANDLE (the window is gone), ERROR_ACCESS_DENIED (the
// owner's filter refused a message from this lower-integrity process) or
// another Win32 code. Posting to another process waits at most a second for
// its receiving thread, never for the thread that owns the window.
uint32_t PostMessage(const HWND& window, uint32_t message, uint64_t wParam, int64_t lParam);
// Posts to a thread's queue (GetCurrentThreadId of that thread): 0, or
// ERROR_INVALID_THREAD_ID when the thread has no queue any more.
uint32_t PostThreadMessage(uint32_t threadId, uint32_t message, uint64_t wParam, int64_t lParam);
// Asks the calling thread's loop to end: GetMessage returns 0 once nothing
// posted before is left.
void PostQuitMessage(int exitCode);
// Calls the window procedure of a window of the calling thread at once.
// 0 for any other window.
int64_t SendMessage(const HWND& window, uint32_t message, uint64_t wParam, int64_t lParam);
// Blocks for the next message of the calling thread: > 0 and `*msg`, or 0
// for WM_QUIT (its exit code in msg->wParam).
int GetMessage(MSG* msg);
// The next message without blocking: true and `*msg` (taken from the queue
// when `remove`), or false when nothing is due.
bool PeekMessage(MSG* msg, bool remove = true);
// Waits at most `timeoutMs` for a message to be due; false on the time-out.
bool WaitMessage(uint32_t timeoutMs);
// Runs the procedure of the message's window (nothing for a message to the
// thread or to a window gone). An exception escaping the procedure is logged
// and the result is 0.
int64_t DispatchMessage(const MSG& msg);
inline bool TranslateMessage(const MSG&) { return false; }
// The default procedure: WM_CLOSE destroys the window; everything else
// gives 0.
int64_t DefWindowProc(const HWND& window, uint32_t message, uint64_t wParam, int64_t lParam);

// Timers: WM_TIMER with the timer's id in wParam, every `intervalMs`, while
// the queue holds nothing else.
bool SetTimer(const HWND& window, uint64_t id, uint32_t intervalMs);
bool KillTimer(const HWND& window, uint64_t id);

uint32_t GetCurrentThreadId();

// The loop of a nested modal state (a dialog, a menu): dispatches every
// message of the thread until `done()` is true after a message. On WM_QUIT
// it posts the quit again and returns false, so the outer loop ends too.
bool RunNestedLoop(const std::function<bool()>& done);

// ---- Integrity and the message filter ----

enum class Integrity : uint32_t { Low = 1, Medium = 2 };
// From TARVEX_INTEGRITY ("low" or "medium") at first use; medium otherwise.
Integrity ProcessIntegrity();
void SetProcessIntegrity(Integrity level);
// Lets `message` in from lower-integrity processes (MSGFLT_ADD) or not
// (MSGFLT_REMOVE). False for any other action.
bool ChangeWindowMessageFilter(uint32_t message, uint32_t action);

// ---- For tests and the program's wiring ----

// Where a window procedure's escaping exception is told: a line of text.
// Standard error when nothing is set.
void SetWindowsLog(std::function<void(const std::string& line)> log);
void WindowsLog(const std::string& line);
// How many posted messages a queue holds at most (10000).
void SetQueueLimit(size_t limit);

}  // namespace tarvex
