#include "ie/shell/Startup.h"

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/WindowsFacts.h"
#include "ie/shell/HiddenWindow.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/shell/SystemTray.h"
#include "platform/Win32Error.h"
#include "platform/clock/Clock.h"
#include "platform/registry/Registry.h"
#include "platform/win/Modules.h"

namespace tarvex {
namespace {

// An error box with Help, which opens the support page.
void ShowError(StartupEnvironment& env, const std::string& text, int firstButton) {
  if (env.prompt.Ask(text, firstButton, kButtonHelp) == kButtonHelp)
    OpenUrlInBrowser(SupportPage(env.settings), env.opener, env.prompt, env.logger);
}

bool Quiet(const SwitchTable& switches) {
  return switches.count("q") != 0;
}

void LetTheBrowserIn(Logger& logger) {
  uint32_t error = 0;
  HMODULE user32 = LoadLibrary("User32.dll", &error);
  if (!user32) {
    logger.Error(Format("Couldn't load user32 [%d], unable to unfilter outside messagse", error));
    return;
  }
  auto filter = reinterpret_cast<ChangeWindowMessageFilterFn>(
      GetProcAddress(user32, "ChangeWindowMessageFilter", &error));
  if (!filter) {
    logger.Error(
        Format("Couldn't find filter function [%d], unable to unfilter outside messagse", error));
  } else if (!filter(KVC_MESSAGE_COMMAND, 1)) {
    logger.Error(Format("Couldn't call filter function [%d], unable to unfilter outside messagse",
                        win32::ERROR_INVALID_PARAMETER));
  } else {
    logger.Log("Message filter added for KVC_MESSAGE_COMMAND");
  }
  FreeLibrary(user32);
}

}  // namespace

bool RegisterModule(Registry& registry, const SwitchTable& switches, int32_t* result) {
  static const char* const kAppId = "{3A9149FD-F443-4C64-A344-496C40C22B03}";
  if (switches.count("UnregServer") || switches.count("UnregServerPerUser")) {
    *result = win32::S_OK;  // the keys stay
    return true;
  }
  if (!switches.count("RegServer")) return false;
  const std::string classes = "Software\\Classes\\AppID\\";
  uint32_t rc = registry.WriteString(Hive::CurrentUser, classes + kAppId, "", "exe");
  if (!rc)
    rc = registry.WriteString(Hive::CurrentUser, classes + "tarvexsync.EXE", "AppID", kAppId);
  *result = rc ? win32::HResultFromWin32(rc) : win32::S_OK;
  return true;
}

std::string SupportPage(Settings& settings) {
  return WebSitePage(settings, "/support");
}

bool TellRunningClient(StartupEnvironment& env, const SwitchTable& switches) {
  const HWND running = FindWindow(kWindowClass, env.runtimeDir);
  if (!running) return false;
  if (Quiet(switches)) return true;
  if (PostMessage(running, WM_COMMAND, kCommandShowSettings, 0) != 0) {
    ShowError(env,
              "Tarvex is already running but we were unable to send a message to it.  Please "
              "close all instances of Tarvex and try again.  If the problem persists, click on "
              "Help to get support.",
              kButtonContinue);
  }
  return true;
}

int32_t PreMessageLoop(StartupEnvironment& env, const SwitchTable& switches, HWND* window) {
  Settings& s = env.settings;
  env.logger.level = s.GetInt("loglevel", 2);
  env.logger.Log(Format("Using localized name [%s], loaded from [%s]",
                        s.GetValue("linksfoldername", ""),
                        s.GetValue("linksfoldernamesource", "")));
  ProtectedModeCache protectedMode;
  bool isProtected = false;
  const bool protectedText = protectedMode.Query(env.facts, &isProtected) == 0 && isProtected;
  env.logger.Log(Format("Tarvex [%s], Windows version [%s], UAC enabled [%s], IE version [%s]",
                        s.GetValue("kestroveversion", ""), GetWindowsVersion(env.facts),
                        protectedText ? "true" : "false", s.GetValue("ieversion", "")));
  LetTheBrowserIn(env.logger);

  HiddenWindow& procedure = env.window;
  if (uint32_t rc = RegisterClass(kWindowClass,
                                  [&procedure](const HWND& w, uint32_t m, uint64_t wp, int64_t lp) {
                                    return procedure.Proc(w, m, wp, lp);
                                  })) {
    ShowError(env,
              Format("Tarvex has encountered an error: registering %s [%d].  Please click Help "
                     "to get support.",
                     kWindowClass, rc),
              kButtonClose);
    return win32::E_FAIL;
  }
  if (uint32_t rc = CreateWindow(kWindowClass, kWindowTitle, window, env.runtimeDir)) {
    UnregisterClass(kWindowClass);
    // Another client started at the same moment and won: it is the client.
    if (rc == win32::ERROR_ALREADY_EXISTS && TellRunningClient(env, switches))
      return kAnotherClientRuns;
    ShowError(env,
              Format("Tarvex has encountered an error: creating window [%d].  Please click Help "
                     "to get support.",
                     rc),
              kButtonClose);
    return win32::E_FAIL;
  }
  env.tray.SetWindow(*window);
  s.SetInt64("starttime", env.clock.Now(), true);
  s.SetBool("userinitiatedstart", !Quiet(switches), true);
  try {
    env.scheduler.SetStatus(kStatusIdle);
  } catch (const VelkException& e) {
    // Without its icon the client still syncs.
    env.logger.Error(e.ToString());
  }
  auto user = switches.find("u");
  auto password = switches.find("p");
  if (user != switches.end() && password != switches.end() && env.setCredentials) {
    env.setCredentials(user->second, password->second);
    // Signed in from the command line: this run's start has no account to
    // ask for with the setup wizard.
    s.SetBool("firstrun", false, false);
  }
  try {
    env.scheduler.StartAction();
  } catch (const VelkException& e) {
    env.logger.Error(e.ToString());
  }
  if (uint32_t rc = env.startWatcher ? env.startWatcher() : 0) {
    ShowError(env,
              Format("Tarvex has encountered an error: starting worker thread [%d], worker local "
                     "changes thread may not work correctly.",
                     rc),
              kButtonContinue);
  }
  return win32::S_OK;
}

}  // namespace tarvex
