#include "ie/shell/SyncScheduler.h"

#include <algorithm>
#include <exception>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SystemTray.h"
#include "platform/Win32Error.h"
#include "platform/clock/Clock.h"
#include "platform/win/NamedEvent.h"
#include "platform/win/NamedMutex.h"
#include "platform/win/Shell.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr const char* kAlreadyRunning = "Already processing UI action, ignoring command";

struct Display {
  int status;
  int icon;
  const char* tip;
  const char* balloonTitle;
  const char* balloonText;
  uint32_t balloonFlags;
  int stored;
};

constexpr const char* kIdleTip = "Tarvex for IE";
constexpr const char* kRunningTip = "Tarvex synchronization in process";
constexpr const char* kStarted = "Synchronization Started";
constexpr const char* kComplete = "Synchronization Complete";
constexpr const char* kUpToDate = "Your Favorites are up to date";

const Display kDisplays[] = {
    {kStatusError, kIconError, "An error occurred during synchronization",
     "Synchronization Error", "An error occurred during synchronization", 3, kStatusError},
    {kStatusCancelled, kIconIdle, kIdleTip, "Synchronization Cancelled",
     "Tarvex synchronization has been cancelled", 1, kStatusIdle},
    {103, kIconIdle, kIdleTip, kComplete, kUpToDate, 1, kStatusIdle},
    {104, kIconIdle, kIdleTip, kComplete, kUpToDate, 1, kStatusIdle},
    {105, kIconIdle, kIdleTip, kComplete, kUpToDate, 1, kStatusIdle},
    {109, kIconIdle, kIdleTip, kComplete, kUpToDate, 1, kStatusIdle},
    {kStatusChangesWaiting, kIconChanges, "Tarvex has changes to synchronize", "", "", 0,
     kStatusChangesWaiting},
    {kStatusIdle, kIconIdle, kIdleTip, "", "", 0, kStatusIdle},
    {kActionSyncNow, kIconSyncing, kRunningTip, kStarted, "Tarvex is synchronizing your Favorites",
     1, kStatusRunning},
    {kActionDownload, kIconSyncing, kRunningTip, kStarted, "Tarvex is downloading your Favorites",
     1, kStatusRunning},
    {kActionUpload, kIconSyncing, kRunningTip, kStarted, "Tarvex is uploading your Favorites", 1,
     kStatusRunning},
    {kActionRepair, kIconSyncing, kRunningTip, kStarted, "Tarvex is repairing your Favorites", 1,
     kStatusRunning},
};

bool Started(int status) {
  return status == kActionSyncNow || status == kActionDownload || status == kActionUpload ||
         status == kActionRepair;
}

bool Dispatchable(int action) {
  switch (action) {
    case kActionNone:
    case kActionSyncNow:
    case kActionDownload:
    case kActionUpload:
    case kActionNothingChanged:
    case kActionMergeLocalFirst:
    case kActionMergeServerFirst:
    case kActionTick:
    case kActionWizard:
    case kActionRepair:
      return true;
    default:
      return false;
  }
}

// Releases the sync mutex and clears the running mark however the action
// ends.
class ActionGuard {
 public:
  ActionGuard(std::shared_ptr<NamedMutex> mutex, bool& running)
      : mutex_(std::move(mutex)), running_(running) {
    running_ = true;
  }
  ~ActionGuard() {
    running_ = false;
    mutex_->Release();
  }
  ActionGuard(const ActionGuard&) = delete;
  ActionGuard& operator=(const ActionGuard&) = delete;

 private:
  std::shared_ptr<NamedMutex> mutex_;
  bool& running_;
};

}  // namespace

SyncScheduler::SyncScheduler(SchedulerEnvironment env)
    : env_(std::move(env)),
      prompts_(env_.prompt, env_.opener, env_.settings, env_.logger) {}

SyncScheduler::~SyncScheduler() {
  if (Process() == this) Process() = nullptr;
}

SyncScheduler*& SyncScheduler::Process() {
  static SyncScheduler* scheduler = nullptr;
  return scheduler;
}

// ---- Status and the tray ----

void SyncScheduler::SetStatus(int status) {
  env_.settings.SetInt("syncstatus", status, true);
  UpdateSystrayDisplay();
}

void SyncScheduler::UpdateSystrayDisplay() {
  const int status = env_.settings.GetInt("syncstatus", 105);
  if (!Started(status) && !env_.settings.GetBool("showintray", true)) {
    env_.tray.RemoveTrayIcon();
    return;
  }
  const Display* display = nullptr;
  for (const Display& d : kDisplays)
    if (d.status == status) display = &d;
  if (!display)
    throw VelkException("internal", -10,
                        Format("Invalid UpdateSystrayDisplay sync state [%d]", status));
  env_.tray.ShowTrayIcon(display->icon, display->tip, display->balloonTitle, display->balloonText,
                         display->balloonFlags);
  env_.settings.SetInt("syncstatus", display->stored, true);
}

void SyncScheduler::RecordSyncFailure(const std::string& message) {
  Settings& s = env_.settings;
  const int count = std::min(s.GetInt("failurecount", 0) + 1, 7);
  s.SetInt("failurecount", count, true);
  const int64_t delay = int64_t{s.GetInt("backoffbase", 15)} * (int64_t{1} << (count - 1)) * 60;
  const int64_t until = std::max(env_.clock.Now() + delay, s.GetInt64("backoffuntil", 0));
  s.SetInt64("backoffuntil", until, true);
  env_.logger.Error(message);
  if (!s.HasValue("errordetails")) s.SetValue("errordetails", message, true);
  s.SetInt("syncstatus", kStatusError, true);
  UpdateSystrayDisplay();
}

// ---- Actions ----

void SyncScheduler::AutoSyncTick() {
  Settings& s = env_.settings;
  const int64_t now = env_.clock.Now();
  const int64_t lastsync = s.GetInt64("lastsync", 0);
  const int status = s.GetInt("syncstatus", kStatusIdle);
  const int64_t start = s.GetInt64("starttime", 0);
  if (s.GetBool("autosync", false) && s.GetInt64("backoffuntil", 0) < now) {
    const int64_t sinceSync = now - (lastsync < 1 ? start : lastsync);
    if (status == kStatusChangesWaiting || s.GetInt64("autosyncfreq", 3600) < sinceSync) {
      env_.makeSync(false)->Synchronize();
      // A sync that committed nothing (cancelled, no connection) leaves
      // the changes waiting as they were.
      if (s.GetInt("syncstatus", kStatusIdle) != kStatusError) {
        const bool committed = s.GetInt64("lastsync", 0) > lastsync;
        s.SetInt("syncstatus",
                 committed || status != kStatusChangesWaiting ? kStatusIdle
                                                              : kStatusChangesWaiting,
                 true);
      }
    } else {
      const int64_t lastTabs = s.GetInt64("lasttabsync", 0);
      if (s.GetInt64("autotabsyncfreq", 60) < now - (lastTabs < 1 ? start : lastTabs)) {
        env_.logger.Log("Triggering tab auto-sync");
        env_.makeSync(false)->WriteTabs(false);
      }
    }
  }
  if (now - s.GetInt64("lastupdatetime", 0) > 86400 &&
      now - start > s.GetInt64("starttimedelay", 300)) {
    s.SetInt64("lastupdatetime", now, true);
    env_.makeSync(false)->CheckVersion(false);
  }
}

void SyncScheduler::HandleUIMessage(int action, bool refresh) {
  if (!Dispatchable(action)) {
    env_.logger.Error(Format("Unknown KVC_MESSAGE_UI_MESSAGE type [%d], ignoring it", action));
    return;
  }
  if (actionRunning_) {
    env_.logger.Log(kAlreadyRunning);
    return;
  }
  std::shared_ptr<NamedMutex> mutex;
  if (uint32_t rc = NamedMutex::Open(kSyncMutexName, &mutex, env_.runtimeDir)) {
    env_.logger.Error(
        Format("Error while getting sync handle: %s", win32::FormatMessage(rc)));
    return;
  }
  const uint32_t got = mutex->Wait(action == kActionTick ? 0 : env_.userWaitMs);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
    env_.logger.Log(kAlreadyRunning);
    return;
  }
  bool uploadInstead = false;
  {
    ActionGuard guard(mutex, actionRunning_);
    // The watcher steps aside until the mutex is free again.
    std::unique_ptr<NamedEvent> event;
    if (NamedEvent::Open(kObserverEventName, true, &event, env_.runtimeDir) == 0) event->Set();
    RunAction(action, refresh, &uploadInstead);
  }
  // The offer to upload when the service holds nothing: a new action once
  // this one is over.
  if (uploadInstead) HandleUIMessage(kActionUpload, refresh);
}

void SyncScheduler::RunAction(int action, bool refresh, bool* uploadInstead) {
  Settings& s = env_.settings;
  bool openSuccess = false;
  if (action == kActionWizard) {
    action = RunSetupWizard();
    openSuccess = action != kActionNone;
  }
  const int64_t lastsync = s.GetInt64("lastsync", 0);
  try {
    switch (action) {
      case kActionNone:
      case kActionNothingChanged:
        break;
      case kActionSyncNow:
        SetStatus(kActionSyncNow);
        env_.makeSync(true)->Synchronize();
        break;
      case kActionDownload: {
        SetStatus(kActionDownload);
        int result = -1;
        // After a change of profile the old one comes back unless the
        // download committed; the saved values go in every case.
        struct Restore {
          Settings& s;
          int& result;
          ~Restore() {
            if (s.HasValue("viewORIG") &&
                (result != 0 || s.GetInt("syncstatus", kStatusIdle) == kStatusError)) {
              s.SetValue("profile", s.GetValue("profileORIG", s.GetValue("profile", "<none>")),
                         true);
              s.SetInt("view", s.GetInt("viewORIG", 0), true);
            }
            s.DeleteValue("profileORIG");
            s.DeleteValue("viewORIG");
          }
        } restore{s, result};
        result = env_.makeSync(true)->Download();
        break;
      }
      case kActionUpload:
        SetStatus(kActionUpload);
        env_.makeSync(true)->Upload();
        break;
      case kActionMergeLocalFirst:
      case kActionMergeServerFirst:
        SetStatus(kActionSyncNow);
        env_.makeSync(true)->MergeDownload(action);
        break;
      case kActionTick:
        AutoSyncTick();
        break;
      case kActionRepair:
        SetStatus(kActionRepair);
        env_.makeSync(true)->Repair();
        break;
      default:
        throw VelkException("internal", -10, "Unknown KVC_MESSAGE_UI_MESSAGE type");
    }
  } catch (const VelkException& e) {
    env_.logger.Error(Format("TarvexException during sync attempt: %s", e.ToString()));
    RecordSyncFailure(e.ToString());
    if (e.id() == kErrServer403) {
      env_.prompt.Ask("Your Tarvex extension is out of date and needs to be upgraded.", kButtonOK);
      Open(e.message());
    } else if (e.id() == kErrServer444) {
      const int answer = env_.prompt.Ask(
          "You don't appear to have any Favorites on the Tarvex servers, would you like to "
          "upload your current IE Favorites to Tarvex now?",
          kButtonCancel, kButtonContinue);
      *uploadInstead = answer == kButtonContinue;
    }
  } catch (const std::exception&) {
    RecordSyncFailure("Unhandled exception encountered during sync");
  }
  // An action that ended without a final status shows as idle, not as
  // running for ever.
  const int status = s.GetInt("syncstatus", kStatusIdle);
  if (Started(status) || status == kStatusRunning) {
    s.SetInt("syncstatus", kStatusIdle, true);
    UpdateSystrayDisplay();
  }
  if (refresh) {
    const int after = s.GetInt("syncstatus", kStatusIdle);
    const bool committed = s.GetInt64("lastsync", 0) > lastsync;
    if (committed || after == kStatusError || after == kStatusCancelled) {
      UpdateSystrayDisplay();
      if (openSuccess && committed) OpenServicePage("/msie/success/");
    }
  }
}

void SyncScheduler::StartAction() {
  Settings& s = env_.settings;
  if (s.GetBool("firstrun", false)) {
    HandleUIMessage(kActionWizard, true);
  } else if (s.GetBool("upgraderun", false)) {
    s.SetBool("upgraderun", false, true);
    OpenServicePage("/msie/upgrade/");
  } else if (s.GetBool("userinitiatedstart", false)) {
    HandleUIMessage(ShowSettings(), true);
  }
}

void SyncScheduler::SyncOnShutdown() {
  Settings& s = env_.settings;
  if (!s.GetBool("syncshutdown", false)) return;
  if (s.GetBool("synchshutdownask", false) &&
      env_.prompt.Ask("Tarvex is shutting down, do you want to synchronize your Favorites?",
                      kButtonOK, kButtonCancel) != kButtonOK)
    return;
  HandleUIMessage(kActionSyncNow, true);
}

void SyncScheduler::OpenServicePage(const std::string& path) {
  Open(WebSitePage(env_.settings, path + env_.settings.GetValue("kestroveversion", "")));
}

void SyncScheduler::Open(const std::string& url) {
  OpenUrlInBrowser(url, env_.opener, env_.prompt, env_.logger);
}

// ---- Dialogs ----

int SyncScheduler::ShowSettings() {
  // One settings dialog, and none over the wizard, in any of the user's
  // processes.
  if (wizardRunning_ || settingsOpen_) return kActionNone;
  std::shared_ptr<NamedMutex> mutex;
  if (uint32_t rc = NamedMutex::Open(kSettingsMutexName, &mutex, env_.runtimeDir)) {
    env_.logger.Error(
        Format("Error while getting dialog mutex: %s", win32::FormatMessage(rc)));
    return kActionNone;
  }
  const uint32_t got = mutex->Wait(0);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return kActionNone;
  settingsOpen_ = true;
  int result = kActionNone;
  try {
    do {
      result = settingsDialog ? settingsDialog() : SettingsDialog();
    } while (result == kActionShowSettingsAgain);
  } catch (...) {
    settingsOpen_ = false;
    mutex->Release();
    throw;
  }
  settingsOpen_ = false;
  mutex->Release();
  return result;
}

void SyncScheduler::ShowLogFile() {
  const std::string path = env_.logger.path();
  const intptr_t rc = ShellExecute("open", path);
  if (rc > 32) return;
  env_.logger.Error(Format("Windows error [%d] attempting to open log: %s", rc, path));
  env_.prompt.Ask(
      "We were unable to display your log file using Notepad. The log file can be found at: " +
          path,
      kButtonOK);
}

// ---- The sync flow's questions ----

int SyncScheduler::ShowMessage(const std::string& text, int button1, int button2, int button3) {
  return prompts_.ShowMessage(text, button1, button2, button3);
}

void SyncScheduler::ShowUpdateAvailable(const std::string& version,
                                        const std::string& downloadUrl,
                                        const std::string& infoUrl) {
  prompts_.ShowUpdateAvailable(version, downloadUrl, infoUrl);
}

int SyncScheduler::AskSyncFileRestored() {
  return prompts_.AskSyncFileRestored();
}

bool SyncScheduler::AskYesNo(const std::string& text, const std::string& caption) {
  return prompts_.AskYesNo(text, caption);
}

}  // namespace tarvex
