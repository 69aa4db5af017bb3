#include "ie/shell/HiddenWindow.h"

#include <signal.h>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/shell/SystemTray.h"
#include "platform/clock/Clock.h"
#include "platform/win/Tray.h"
#include "text/Text.h"

namespace tarvex {

int64_t HiddenWindow::Proc(const HWND& window, uint32_t message, uint64_t wParam,
                           int64_t lParam) {
  try {
    switch (message) {
      case WM_DESTROY:
        env_.tray.RemoveTrayIcon();
        PostQuitMessage(0);
        return 0;
      case WM_QUERYENDSESSION:
        // Refused only while an action runs in this process.
        if (env_.scheduler.ActionRunning()) return 0;
        env_.scheduler.SyncOnShutdown();
        return 1;
      case WM_ENDSESSION:
        // The loop ends, and the program with it, once the tray is gone.
        if (wParam == 1) {
          env_.tray.RemoveTrayIcon();
          PostQuitMessage(0);
        }
        return 0;
      case WM_COMMAND:
      case KVC_MESSAGE_COMMAND:
        OnCommand(static_cast<int>(wParam), message == KVC_MESSAGE_COMMAND);
        return 0;
      case WM_TIMER:
        if (wParam == kAnimationTimer) Animate();
        return 0;
      case kTrayCallbackMessage:
        if (lParam == WM_LBUTTONDOWN || lParam == WM_LBUTTONDBLCLK)
          OnCommand(kCommandShowSettings, false);
        else if (lParam == WM_RBUTTONDOWN || lParam == WM_CONTEXTMENU)
          ShowTrayMenu(window);
        return 0;
      default:
        return DefWindowProc(window, message, wParam, lParam);
    }
  } catch (const VelkException& e) {
    env_.logger.Error(e.ToString());
  }
  return 0;
}

void HiddenWindow::OnCommand(int command, bool outside) {
  Settings& s = env_.settings;
  env_.logger.Log(Format("Recieved WM_COMMAND message: %d", command));
  switch (command) {
    case kCommandBrowserStarted:
      s.SetInt64("iestartuptime", env_.clock.Now(), true);
      return;
    case kCommandShowSettings:
      env_.scheduler.HandleUIMessage(env_.scheduler.ShowSettings(), true);
      return;
    case kCommandMyTarvex:
      OpenUrlInBrowser(WebSitePage(s, "/account"), env_.opener, env_.prompt,
                       env_.logger);
      return;
    case kCommandExit:
      if (!ConfirmQuit(s, env_.prompt)) return;
      env_.scheduler.SyncOnShutdown();
      env_.tray.RemoveTrayIcon();
      PostQuitMessage(0);
      return;
    case kCommandLocalChange:
      s.SetInt64("lastlocalchange", env_.clock.Now(), true);
      if (s.GetInt("syncstatus", kStatusIdle) != kStatusChangesWaiting)
        env_.scheduler.SetStatus(kStatusChangesWaiting);
      return;
    case kCommandCrashNow:
      if (s.GetInt("loglevel", 2) > 2) {
        if (crash)
          crash();
        else
          ::raise(SIGSEGV);
      }
      return;
    case kCommandRemoteTabs:
      env_.scheduler.ShowRemoteTabs();
      return;
    default:
      if (command >= kActionNone && command <= kActionRepair) {
        if (outside && !Confirmed(command)) return;
        env_.scheduler.HandleUIMessage(command, true);
      }
      return;
  }
}

bool HiddenWindow::Confirmed(int action) {
  const char* question = nullptr;
  switch (action) {
    case kActionDownload:
      question = "Overwrite local Favorites with remote set?";
      break;
    case kActionUpload:
      question = "Overwrite remote Favorites with local set?";
      break;
    case kActionMergeLocalFirst:
      question = "Tarvex will now merge Favorites, starting with local Favorites.";
      break;
    case kActionMergeServerFirst:
      question = "Tarvex will now merge Favorites, starting with server Favorites.";
      break;
    case kActionRepair:
      question = "Tarvex will now repair your Favorites.";
      break;
    default:
      return true;
  }
  return env_.prompt.Ask(question, kButtonOK, kButtonCancel) == kButtonOK;
}

void HiddenWindow::ShowTrayMenu(const HWND& window) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  AppendMenu(menu, MF_STRING, kActionSyncNow, "Synchronize Now");
  AppendMenu(menu, MF_STRING, kCommandMyTarvex, "My Tarvex");
  AppendMenu(menu, MF_STRING, kCommandShowSettings, "Tarvex Settings...");
  AppendMenu(menu, MF_STRING, kCommandRemoteTabs, "Open Remote Tabs...");
  if (env_.settings.GetInt("loglevel", 2) > 2) {
    AppendMenu(menu, MF_SEPARATOR, 0, "");
    AppendMenu(menu, MF_STRING, kCommandCrashNow, "Crash Now, Please");
  }
  AppendMenu(menu, MF_SEPARATOR, 0, "");
  AppendMenu(menu, MF_STRING, kCommandExit, "Exit");
  TrackPopupMenu(menu, TPM_BOTTOMALIGN, 0, 0, window);
  DestroyMenu(menu);
}

void HiddenWindow::Animate() {
  Settings& s = env_.settings;
  if (s.GetInt("syncstatus", kStatusIdle) != kStatusRunning) {
    KillTimer(env_.tray.window(), kAnimationTimer);
    s.SetInt("currentanimationstep", kIconAnimationFirst, true);
    return;
  }
  int step = s.GetInt("currentanimationstep", kIconAnimationFirst) + 1;
  if (step > kIconAnimationFirst + 3 || step < kIconAnimationFirst) step = kIconAnimationFirst;
  env_.tray.SetTrayIcon(step);
  s.SetInt("currentanimationstep", step, true);
}

}  // namespace tarvex
