// The client's hidden window "TarvexSyncWindow": the address of every
// request from outside (a second start, the crash-report program, the
// browser through message 1125, the watcher thread) and the owner of the
// tray icon and its menu. Every command arrives as a message on the main
// thread and goes to the scheduler.
//
// A command that would overwrite Favorites (download, upload, the merges,
// repair) and arrives through message 1125, which lower-integrity programs
// may send, is confirmed with the user first.
#pragma once

#include <functional>

#include "platform/win/Window.h"

namespace tarvex {

class Clock;
class Logger;
class Settings;
class SyncScheduler;
class SystemTray;
class UrlOpener;
class UserPrompt;

inline constexpr uint64_t kAnimationTimer = 10;

struct WindowEnvironment {
  Settings& settings;
  Logger& logger;
  Clock& clock;
  UserPrompt& prompt;
  UrlOpener& opener;
  SyncScheduler& scheduler;
  SystemTray& tray;
};

class HiddenWindow {
 public:
  explicit HiddenWindow(WindowEnvironment env) : env_(env) {}

  // The window procedure.
  int64_t Proc(const HWND& window, uint32_t message, uint64_t wParam, int64_t lParam);
  // Runs command `command` as the window does; `outside` when it came through
  // message 1125.
  void OnCommand(int command, bool outside);
  void ShowTrayMenu(const HWND& window);

  // What "Crash Now, Please" does (a crash the crash hook reports).
  std::function<void()> crash;

 private:
  bool Confirmed(int action);
  void Animate();

  WindowEnvironment env_;
};

}  // namespace tarvex
