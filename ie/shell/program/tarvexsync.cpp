// tarvexsync: the Windows client as a program. One per user: a second start
// asks the running one to show its settings and ends. The client has a
// hidden window that takes every command, an icon in the tray (shown to the
// person by the presenter TARVEX_PRESENTER names: a page in the browser by
// default), a thread that watches the Favorites folder, and its message
// loop; it ends on Exit from the tray (or a posted 1072), at the end of the
// session (SIGTERM, SIGHUP) or on SIGINT, stopping the watcher first.
//
//   tarvexsync [-q] [-u USER -p PASSWORD]
//     -q       started with the session: no settings dialog at start
//     -u, -p   sign in with these credentials (kept for this run only)
//   tarvexsync -RegServer | -UnregServer | -UnregServerPerUser
//     the module's registration, then the program ends
#include <signal.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/shell/FavoritesWatcher.h"
#include "ie/shell/FlowActions.h"
#include "ie/shell/HiddenWindow.h"
#include "ie/shell/Resources.h"
#include "ie/shell/Startup.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/shell/SystemTray.h"
#include "ie/shell/dialogbox/CUIDialogBox.h"
#include "ie/sync/ClientServices.h"
#include "platform/Win32Error.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/process/Process.h"
#include "platform/win/CrashHook.h"
#include "platform/win/CredentialDialog.h"
#include "platform/win/SessionEnd.h"
#include "platform/win/Window.h"

using namespace tarvex;

namespace {

std::string ProgramFolder() {
  const std::string self = SelfExecutablePath();
  const size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string() : self.substr(0, slash + 1);
}

int Run(int argc, char** argv) {
  const PlatformConfig& config = PlatformConfig::Current();
  // A crash is reported by the crash-report program beside this one.
  InstallCrashHook(config.tempDir, ProgramFolder() + "faultsend");
  if (uint32_t rc = InstallSessionEnd())
    std::fprintf(stderr, "tarvexsync: the end of the session will not be heard [%u]\n", rc);
  ParseProcessCommandLine(argc, argv);
  const SwitchTable switches = CommandLineSwitches();

  InstallDialogBoxPrompt();
  // The account asks for a user name and password in the credential dialog.
  DialogCredentialPrompt credentialDialog;
  CredentialPrompt::Process() = &credentialDialog;
  ClientServices services(ClientOptions::Program());
  services.InstallAsProcess();
  Logger& logger = services.logger();
  SetWindowsLog([&logger](const std::string& line) { logger.Error(line); });
  InstallShellResources();

  SystemTray tray;
  SyncScheduler scheduler(ProgramSchedulerEnvironment(services, tray, config.runtimeDir));
  SyncScheduler::Process() = &scheduler;
  services.questions() = &scheduler;
  HiddenWindow hidden(WindowEnvironment{services.settings(), logger, services.clock(),
                                        services.prompt(), services.opener(), scheduler, tray});
  const std::string runtime = config.runtimeDir;
  WatcherOptions watching;
  watching.runtimeDir = runtime;
  FavoritesWatcher watcher(
      services.settings(), logger, services.clock(), services.paths().favoritesDir,
      [runtime](uint64_t command) {
        const HWND window = FindWindow(kWindowClass, runtime);
        if (!window) return win32::ERROR_INVALID_WINDOW_HANDLE;
        return PostMessage(window, WM_COMMAND, command, 0);
      },
      watching);
  StartupEnvironment env{services.settings(),
                         logger,
                         services.clock(),
                         services.facts(),
                         services.prompt(),
                         services.opener(),
                         scheduler,
                         tray,
                         hidden,
                         [&services](const std::string& user, const std::string& password) {
                           return services.account().SetCredentials(user, password, false);
                         },
                         [&watcher] { return watcher.Start(); },
                         runtime};
  int32_t registered = 0;
  if (RegisterModule(services.registry(), switches, &registered)) return registered == 0 ? 0 : 1;
  if (TellRunningClient(env, switches)) return 0;

  HWND window;
  const int32_t started = PreMessageLoop(env, switches, &window);
  if (started == kAnotherClientRuns) return 0;
  if (started != 0) return 1;
  MSG msg;
  while (GetMessage(&msg) > 0) {
    TranslateMessage(msg);
    DispatchMessage(msg);
  }
  const int exitCode = static_cast<int>(msg.wParam);
  watcher.Stop();
  if (IsWindow(window)) DestroyWindow(window);
  SyncScheduler::Process() = nullptr;
  // The page, if one was shown, goes with the program.
  SetPresenter(std::make_shared<NullPresenter>());
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvexsync: %s\n", e.what());
    return 1;
  }
}
