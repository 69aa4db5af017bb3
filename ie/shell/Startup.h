// The client's start: tell a client that runs already, or make the hidden
// window (one per user: of two starting clients exactly one makes it), let
// the browser's command message in, show the tray, take the credentials of
// the command line, run the start action and start the watcher; then the
// message loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/win/Window.h"
#include "text/Text.h"

namespace tarvex {

class Clock;
class HiddenWindow;
class Logger;
class OsFacts;
class Registry;
class Settings;
class SyncScheduler;
class SystemTray;
class UrlOpener;
class UserPrompt;

struct StartupEnvironment {
  Settings& settings;
  Logger& logger;
  Clock& clock;
  const OsFacts& facts;
  UserPrompt& prompt;
  UrlOpener& opener;
  SyncScheduler& scheduler;
  SystemTray& tray;
  HiddenWindow& window;
  // Account::SetCredentials for -u and -p.
  std::function<bool(const std::string& user, const std::string& password)> setCredentials;
  // Starts the watcher: 0 or the Win32 code of the failure.
  std::function<uint32_t()> startWatcher;
  std::string runtimeDir;  // empty: the process's
};

// What PreMessageLoop returns when another client made the window first.
inline constexpr int32_t kAnotherClientRuns = 1;

// When a client runs already, asks it to show its settings (not for a
// quiet start, "-q", which the session's autostart gives) and returns true;
// a failed request is shown to the user.
bool TellRunningClient(StartupEnvironment& env, const SwitchTable& switches);

// Everything before the loop: S_OK with the hidden window in `*window`,
// kAnotherClientRuns, or E_FAIL after telling the user.
int32_t PreMessageLoop(StartupEnvironment& env, const SwitchTable& switches, HWND* window);

// The module's registration switches ("-RegServer", "-UnregServer",
// "-UnregServerPerUser"): true when one was given, with its result in
// `*result`. Registering writes the program's AppID under the user's
// classes ("Software\Classes\AppID"); those keys are never removed.
bool RegisterModule(Registry& registry, const SwitchTable& switches, int32_t* result);

// The page the error boxes' Help opens.
std::string SupportPage(Settings& settings);

}  // namespace tarvex
