// The shell's names and resources: the hidden window's class and title, the
// command numbers its window takes, and the icons of the tray and the
// settings dialog.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex {

class Settings;

inline constexpr const char* kWindowClass = "TarvexSyncWindow";
inline constexpr const char* kWindowTitle = "Tarvex Synchronizer";

// The named objects the client's parts share: one action or sync at a time
// (and the watcher steps aside meanwhile), one settings dialog.
inline constexpr const char* kSyncMutexName = "Global\\kvsyncmutex";
inline constexpr const char* kObserverEventName = "Global\\kvobserverthreadevent";
inline constexpr const char* kSettingsMutexName = "Global\\kvsettingsdialogmutex";

// Messages of the hidden window.
inline constexpr uint32_t kTrayCallbackMessage = 1065;
inline constexpr uint32_t KVC_MESSAGE_COMMAND = 1125;

// Commands (wParam of WM_COMMAND and of KVC_MESSAGE_COMMAND).
enum Command : int {
  kCommandBrowserStarted = 1066,
  kCommandShowSettings = 1068,
  kCommandMyTarvex = 1071,
  kCommandExit = 1072,
  kCommandLocalChange = 1074,
  kCommandCrashNow = 1079,
  kCommandRemoteTabs = 1080,
};

// User-interface actions (also the results of the dialogs).
enum Action : int {
  kActionNone = 1525,
  kActionSyncNow = 1528,
  kActionDownload = 1530,
  kActionUpload = 1531,
  kActionNothingChanged = 1532,
  kActionShowSettingsAgain = 1533,
  kActionMergeLocalFirst = 1534,
  kActionMergeServerFirst = 1535,
  kActionProfileChanged = 1536,
  kActionTick = 1537,
  kActionWizard = 1538,
  kActionRepair = 1539,
};

// Sync states kept in the setting "syncstatus".
enum SyncStatus : int {
  kStatusError = 101,
  kStatusCancelled = 102,
  kStatusIdle = 108,
  kStatusChangesWaiting = 106,
  kStatusRunning = 107,
};

// Icons.
enum Icon : int {
  kIconIdle = 108,
  kIconLarge = 114,
  kIconChanges = 276,
  kIconError = 277,
  kIconAnimationFirst = 286,
  kIconStatusOk = 290,
  kIconStatusChanges = 291,
  kIconStatusError = 292,
  kIconStatusRunning = 293,
  kIconSyncing = 294,
};

// Gives the icons to the platform's tray and dialogs.
void InstallShellResources();

// A page of the service's web site: `path` below the setting `webserver`,
// which names a host (the one derived from the server root has no scheme:
// https is meant) or an address.
std::string WebSitePage(Settings& settings, std::string_view path);

}  // namespace tarvex
