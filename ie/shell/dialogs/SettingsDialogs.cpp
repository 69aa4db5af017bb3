// The settings dialogs: the main one (status, account, the sync options),
// advanced (the Favorites' overwrite and repair, encryption, the log, updates,
// the tray and the start with the session) and discovery (smarter search).
// They run no sync work themselves: a button that needs some ends its
// dialog with the action as the result, which ShowSettings hands on; a
// secondary dialog's "Close" or "Back" (1533) brings the main one back.
// Check boxes store their setting at once.
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/sync/Account.h"
#include "platform/Win32Error.h"
#include "platform/clock/Clock.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/process/Process.h"
#include "platform/registry/AutostartKey.h"
#include "platform/registry/Registry.h"
#include "platform/win/Dialog.h"
#include "platform/win/NamedMutex.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr int kNoId = -1;  // labels and group boxes

DialogTemplate Template(int id, const char* title, int width, int height,
                        std::vector<ControlTemplate> controls) {
  return DialogTemplate{id, title, width, height, "MS Shell Dlg 8", std::move(controls)};
}

// ---- The main dialog ----

constexpr int kMainTemplate = 111;
constexpr int kStatusPicture = 1005;
constexpr int kStatusText = 1004;
constexpr int kErrorDetails = 1008;
constexpr int kLastSync = 256;
constexpr int kSyncNow = 255;
constexpr int kAccountText = 260;
constexpr int kSignIn = 253;
constexpr int kSetupWizard = 254;
constexpr int kAutoSync = 257;
constexpr int kSyncOnShutdown = 258;
constexpr int kAskFirst = 259;
constexpr int kOpenTabs = 1024;
constexpr int kComputerName = 1025;
constexpr int kComputerNameLabel = 1026;
constexpr int kSyncProfiles = 261;
constexpr int kDiscoveryButton = 1011;
constexpr int kAdvancedButton = 251;
constexpr int kVersion = 252;

// The longest computer name kept, in UTF-16 units as Windows counts.
constexpr size_t kMaxComputerName = 199;
// How long the offer to download after "Node not found" stays quiet.
constexpr int64_t kNodeNotFoundQuietSeconds = 86400;

DialogTemplate MainTemplate() {
  using K = ControlKind;
  return Template(
      kMainTemplate, "Tarvex", 210, 226,
      {
          {kNoId, K::GroupBox, "Status", 7, 7, 196, 62, 0},
          {kStatusPicture, K::Picture, "", 14, 19, 20, 20, 0},
          {kStatusText, K::Static, "", 40, 19, 100, 12, 0},
          {kErrorDetails, K::Button, "Error Details", 146, 18, 50, 14, kHidden},
          {kLastSync, K::Static, "", 40, 33, 156, 10, 0},
          {kSyncNow, K::Button, "Synchronize now", 14, 48, 70, 14, 0},
          {kNoId, K::GroupBox, "Account", 7, 73, 196, 40, 0},
          {kAccountText, K::Static, "", 14, 85, 182, 10, 0},
          {kSignIn, K::Button, "Sign In", 14, 96, 50, 14, 0},
          {kSetupWizard, K::Button, "Run Setup Wizard", 70, 96, 70, 14, 0},
          {kNoId, K::GroupBox, "Options", 7, 117, 196, 82, 0},
          {kAutoSync, K::CheckBox, "Enable Automatic Synchronization", 14, 128, 182, 10, 0},
          {kSyncOnShutdown, K::CheckBox, "Sync on Shutdown", 14, 140, 90, 10, 0},
          {kAskFirst, K::CheckBox, "Ask First", 110, 140, 60, 10, 0},
          {kOpenTabs, K::CheckBox, "Synchronize Open Tabs", 14, 152, 182, 10, 0},
          {kComputerNameLabel, K::Static, "Computer name:", 24, 165, 55, 10, 0},
          {kComputerName, K::Edit, "", 82, 163, 114, 12, 0},
          {kSyncProfiles, K::Button, "Sync profiles...", 14, 180, 60, 14, 0},
          {kDiscoveryButton, K::Button, "Discovery...", 78, 180, 55, 14, kHidden},
          {kAdvancedButton, K::Button, "Advanced...", 137, 180, 59, 14, 0},
          {kVersion, K::Static, "", 7, 208, 140, 10, 0},
          {IDCANCEL, K::DefaultButton, "Close", 153, 205, 50, 14, 0},
      });
}

// The name the open tabs go by when the user gave none.
std::string DefaultComputerName() {
  const std::string name = ComputerName();
  return name.empty() ? "My Computer" : name + " - IE";
}

// What the main dialog hands over once it closed.
enum class MainNext { None, Profiles, Discovery, Advanced };

class CUIDialogKestrove : public Dialog {
 public:
  // `nodeNotFoundOffer`: when the offer to download was last made in this
  // process; `signInOrOut`: the sign-in button's work, under the sync mutex.
  CUIDialogKestrove(SyncScheduler& scheduler, std::optional<int64_t>& nodeNotFoundOffer,
                    std::function<void()> signInOrOut)
      : Dialog(MainTemplate()),
        scheduler_(scheduler),
        settings_(scheduler.env().settings),
        nodeNotFoundOffer_(nodeNotFoundOffer),
        signInOrOut_(std::move(signInOrOut)) {
    result_ = kActionNone;
  }

  MainNext next() const { return next_; }

 protected:
  bool OnInitDialog() override {
    result_ = kActionNone;
    RefreshStatus();
    if (ended()) return true;  // the user took the offer to download
    SetItemText(kVersion,
                Format("Tarvex for IE v%s", settings_.GetValue("kestroveversion", "[unknown]")));
    const int64_t lastsync = settings_.GetInt64("lastsync", 0);
    SetItemText(kLastSync, lastsync == 0 ? std::string("Has not synced")
                                         : "Last sync: " + FormatCTime(lastsync));
    RefreshAccount();
    const bool tabs = settings_.GetBool("tabsync", true);
    CheckItem(kOpenTabs, tabs);
    EnableItem(kComputerNameLabel, tabs);
    EnableItem(kComputerName, tabs);
    std::string name = settings_.GetValue("computername", "");
    SetItemText(kComputerName, name.empty() ? DefaultComputerName() : name);
    CheckItem(kAutoSync, settings_.GetBool("autosync", false));
    const bool shutdown = settings_.GetBool("syncshutdown", false);
    CheckItem(kSyncOnShutdown, shutdown);
    CheckItem(kAskFirst, settings_.GetBool("synchshutdownask", false));
    EnableItem(kAskFirst, shutdown);
    return true;
  }

  void OnCommand(int id, int code) override {
    if (id == kComputerName) {
      if (code == EN_CHANGE) StoreComputerName();
      return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
      case kSyncNow:
        EndDialog(kActionSyncNow);
        break;
      case kSetupWizard:
        EndDialog(kActionWizard);
        break;
      case IDCANCEL:
        EndDialog(kActionNone);
        break;
      case kSyncProfiles:
        CloseFor(MainNext::Profiles);
        break;
      case kDiscoveryButton:
        CloseFor(MainNext::Discovery);
        break;
      case kAdvancedButton:
        CloseFor(MainNext::Advanced);
        break;
      case kSignIn:
        signInOrOut_();
        RefreshAccount();
        break;
      case kErrorDetails:
        ShowErrorDetails();
        break;
      case kAutoSync:
        CheckItem(kAutoSync, settings_.ToggleBool("autosync", true, false));
        break;
      case kSyncOnShutdown: {
        const bool on = settings_.ToggleBool("syncshutdown", true, false);
        CheckItem(kSyncOnShutdown, on);
        EnableItem(kAskFirst, on);
        break;
      }
      case kAskFirst:
        CheckItem(kAskFirst, settings_.ToggleBool("synchshutdownask", true, false));
        break;
      case kOpenTabs: {
        const bool on = settings_.ToggleBool("tabsync", true, true);
        CheckItem(kOpenTabs, on);
        EnableItem(kComputerNameLabel, on);
        EnableItem(kComputerName, on);
        break;
      }
      default:
        break;
    }
  }

  // The close box leaves the result as it is.
  void OnClose() override { EndDialog(result_); }

 private:
  void CloseFor(MainNext next) {
    next_ = next;
    EndDialog(result_);
  }

  void RefreshStatus() {
    const int status = settings_.GetInt("syncstatus", 105);
    int icon = kIconStatusOk;
    const char* text = "Syncing successfully";
    switch (status) {
      case kStatusError:
        icon = kIconStatusError;
        text = "Error during sync";
        break;
      case kStatusChangesWaiting:
        icon = kIconStatusChanges;
        text = "Changes to sync";
        break;
      case kStatusRunning:
        icon = kIconStatusRunning;
        text = "Sync in progress";
        break;
      default:
        break;
    }
    SetItemIcon(kStatusPicture, icon);
    SetItemFont(kStatusText, true);
    SetItemText(kStatusText, text);
    ShowItem(kErrorDetails, status == kStatusError);
    if (status == kStatusError) OfferDownloadAfterNodeNotFound();
  }

  // A sync that failed on a node it could not find is mended by taking the
  // service's set: offered once a day at most.
  void OfferDownloadAfterNodeNotFound() {
    if (settings_.GetValue("errordetails", "").find("Node not found") == std::string::npos) return;
    const int64_t now = scheduler_.env().clock.Now();
    if (nodeNotFoundOffer_ && now - *nodeNotFoundOffer_ <= kNodeNotFoundQuietSeconds) return;
    nodeNotFoundOffer_ = now;
    const int answer = MessageBox(
        "Tarvex synchronization failed. This can likely be easily fixed by redownloading the "
        "data from the server.\n\nThis will however mean that local changes will be lost.\n\n"
        "Would you like to replace your local bookmarks with what is saved on the server?",
        "Tarvex", MB_YESNO);
    if (answer == IDYES) EndDialog(kActionDownload);
  }

  void RefreshAccount() {
    const Account* account = scheduler_.env().account;
    const bool signedIn = account && !account->GetUserName().empty();
    SetItemText(kAccountText, signedIn ? Format("Sychronizing as %s", account->GetUserName())
                                       : std::string("Not signed in"));
    SetItemText(kSignIn, signedIn ? "Sign Out" : "Sign In");
    EnableItem(kSignIn, account != nullptr);
  }

  // Every change of the field is kept, but an emptied field: the open tabs
  // would go without a name.
  void StoreComputerName() {
    const std::string name = CutUtf16(GetItemText(kComputerName), kMaxComputerName);
    if (name.empty() || name == settings_.GetValue("computername", "")) return;
    settings_.SetValue("computername", name, true);
  }

  void ShowErrorDetails() {
    const SchedulerEnvironment& env = scheduler_.env();
    const int answer = env.prompt.Ask(
        "An error occurred during synchronization.  If the error message below doesn't explain "
        "how to fix the problem, please note the error's source and click Help for additional "
        "support." +
            Format("\r\n\r\n%s", settings_.GetValue("errordetails", "unknown")),
        kButtonClose, kButtonHelp);
    if (answer == kButtonHelp)
      OpenUrlInBrowser(settings_.GetValue("helpurl", WebSitePage(settings_, "/help")),
                       env.opener, env.prompt, env.logger);
  }

  SyncScheduler& scheduler_;
  Settings& settings_;
  std::optional<int64_t>& nodeNotFoundOffer_;
  std::function<void()> signInOrOut_;
  MainNext next_ = MainNext::None;
};

// ---- Advanced ----

constexpr int kAdvancedTemplate = 105;
constexpr int kUpload = 224;
constexpr int kDownload = 225;
constexpr int kRepair = 228;
constexpr int kEncryption = 1006;
constexpr int kLogging = 227;
constexpr int kViewLog = 226;
constexpr int kClearLog = 231;
constexpr int kCurrentVersion = 234;
constexpr int kAutoUpdates = 235;
constexpr int kCheckUpdates = 233;
constexpr int kShowInTray = 236;
constexpr int kStartWithSession = 1002;

// The value of the Run key that starts the client with the session.
constexpr const char* kRunValue = "Tarvex";

const char* const kEncryptions[] = {"Encrypt All", "Login Only", "No Encryption"};

DialogTemplate AdvancedTemplate() {
  using K = ControlKind;
  return Template(
      kAdvancedTemplate, "Tarvex Advanced Settings", 220, 220,
      {
          {kNoId, K::GroupBox, "Favorites", 7, 7, 206, 32, 0},
          {kUpload, K::Button, "Upload", 14, 19, 60, 14, 0},
          {kDownload, K::Button, "Download", 80, 19, 60, 14, 0},
          {kRepair, K::Button, "Repair", 146, 19, 60, 14, 0},
          {kNoId, K::GroupBox, "Security", 7, 43, 206, 30, 0},
          {kNoId, K::Static, "Encryption:", 14, 56, 50, 10, 0},
          {kEncryption, K::ComboBox, "", 70, 54, 136, 40, 0},
          {kNoId, K::GroupBox, "Log file", 7, 77, 206, 44, 0},
          {kLogging, K::CheckBox, "Enable logging", 14, 89, 100, 10, 0},
          {kViewLog, K::Button, "View log file", 14, 102, 60, 14, 0},
          {kClearLog, K::Button, "Clear log file", 80, 102, 60, 14, 0},
          {kNoId, K::GroupBox, "Updates", 7, 125, 206, 44, 0},
          {kCurrentVersion, K::Static, "", 14, 137, 126, 10, 0},
          {kAutoUpdates, K::CheckBox, "Automatically check for updates", 14, 151, 126, 10, 0},
          {kCheckUpdates, K::Button, "Check for updates", 146, 149, 60, 14, 0},
          {kShowInTray, K::CheckBox, "Show Tarvex icon in systray", 7, 175, 206, 10, 0},
          {kStartWithSession, K::CheckBox, "Launch Tarvex on Windows startup", 7, 187, 206, 10, 0},
          {IDCANCEL, K::DefaultButton, "Close", 163, 201, 50, 14, 0},
      });
}

// What the advanced dialog hands over once it closed.
enum class AdvancedNext { None, ViewLog, CheckVersion };

class CUIDialogAdvanced : public Dialog {
 public:
  explicit CUIDialogAdvanced(SyncScheduler& scheduler)
      : Dialog(AdvancedTemplate()),
        scheduler_(scheduler),
        env_(scheduler.env()),
        settings_(env_.settings) {
    result_ = kActionNone;
  }

  AdvancedNext next() const { return next_; }

 protected:
  bool OnInitDialog() override {
    result_ = kActionNone;
    for (const char* item : kEncryptions) ListAdd(kEncryption, item);
    ListSetCurSel(kEncryption, EncryptionIndex(settings_.GetValue("encryption", "Encrypt All")));
    CheckItem(kLogging, settings_.GetInt("loglevel", 2) != 1);
    SetItemText(kCurrentVersion,
                Format("Current version: %s", settings_.GetValue("kestroveversion", "[unknown]")));
    CheckItem(kAutoUpdates, !settings_.GetBool("skipversioncheck", false));
    ReadTrayAndStart();
    return true;
  }

  void OnCommand(int id, int code) override {
    if (id == kEncryption) {
      if (code == CBN_SELCHANGE) {
        const int selected = ListGetCurSel(kEncryption);
        if (selected >= 0)
          settings_.SetValue("encryption", ListGetText(kEncryption, selected), true);
      }
      return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
      case kUpload:
        if (env_.prompt.Ask("Overwrite remote Favorites with local set?", kButtonOK,
                            kButtonCancel) == kButtonOK)
          EndDialog(kActionUpload);
        break;
      case kDownload:
        if (env_.prompt.Ask("Overwrite local Favorites with remote set?", kButtonOK,
                            kButtonCancel) == kButtonOK)
          EndDialog(kActionDownload);
        break;
      case kRepair:
        EndDialog(kActionRepair);
        break;
      case kLogging: {
        const int level = IsItemChecked(kLogging) ? 2 : 1;
        settings_.SetInt("loglevel", level, true);
        env_.logger.level = level;
        break;
      }
      case kViewLog:
        next_ = AdvancedNext::ViewLog;
        EndDialog(result_);
        break;
      case kClearLog:
        ClearLog();
        break;
      case kAutoUpdates:
        settings_.SetBool("skipversioncheck", !IsItemChecked(kAutoUpdates), true);
        break;
      case kCheckUpdates:
        next_ = AdvancedNext::CheckVersion;
        EndDialog(kActionNone);
        break;
      case kShowInTray:
        settings_.SetBool("showintray", IsItemChecked(kShowInTray), true);
        try {
          scheduler_.UpdateSystrayDisplay();
        } catch (const std::exception& e) {
          env_.logger.Error(Format("Unable to update the tray icon: %s", e.what()));
        }
        ReadTrayAndStart();
        break;
      case kStartWithSession:
        StartWithSession(IsItemChecked(kStartWithSession));
        ReadTrayAndStart();
        break;
      case IDCANCEL:
        EndDialog(kActionShowSettingsAgain);
        break;
      default:
        break;
    }
  }

 private:
  // Requests treat any other text as "Login Only": the list shows that.
  static int EncryptionIndex(const std::string& value) {
    for (int i = 0; i < 3; ++i)
      if (value == kEncryptions[i]) return i;
    return 1;
  }

  // The two boxes whose settings live elsewhere, as they are now.
  void ReadTrayAndStart() {
    CheckItem(kShowInTray, settings_.GetBool("showintray", true));
    std::string command;
    const uint32_t rc =
        settings_.registry().ReadString(Hive::CurrentUser, kRunKey, kRunValue, &command);
    CheckItem(kStartWithSession, rc == 0 && !command.empty());
  }

  void StartWithSession(bool on) {
    Registry& registry = settings_.registry();
    if (!on) {
      const uint32_t rc = registry.DeleteValue(Hive::CurrentUser, kRunKey, kRunValue);
      if (rc != 0 && rc != win32::ERROR_FILE_NOT_FOUND)
        env_.logger.Error(
            Format("Unable to remove Tarvex from the programs started with "
                   "Windows: %s",
                   win32::FormatMessage(rc)));
      return;
    }
    const std::string self = SelfExecutablePath();
    const uint32_t rc = self.empty() ? win32::ERROR_FILE_NOT_FOUND
                                     : registry.WriteString(Hive::CurrentUser, kRunKey, kRunValue,
                                                            Format("\"%s\" -q", self));
    if (rc != 0)
      env_.logger.Error(Format("Unable to start Tarvex with Windows (program [%s]): %s", self,
                               win32::FormatMessage(rc)));
  }

  void ClearLog() {
    if (env_.prompt.Ask("Are you sure you want to clear your log file?", kButtonCancel,
                        kButtonContinue) != kButtonContinue)
      return;
    if (!env_.logger.Clear()) {
      env_.logger.Error("Unable to clear the log file");
      env_.prompt.Ask(
          "We were unable to clear your log file. It can be found at: " + env_.logger.path(),
          kButtonOK);
    }
  }

  SyncScheduler& scheduler_;
  const SchedulerEnvironment& env_;
  Settings& settings_;
  AdvancedNext next_ = AdvancedNext::None;
};

// ---- Discovery ----

constexpr int kDiscoveryTemplate = 295;
constexpr int kSmarterSearch = 1014;
constexpr int kResultsText = 1015;
constexpr int kTopResults = 1009;
constexpr int kAllResults = 1010;
constexpr int kSiteInfo = 236;
constexpr int kLearnMore = 1012;

DialogTemplate DiscoveryTemplate() {
  using K = ControlKind;
  return Template(
      kDiscoveryTemplate, "Tarvex Discovery", 200, 130,
      {
          {kSmarterSearch, K::CheckBox, "Enable Smarter Search", 7, 7, 186, 10, 0},
          {kResultsText, K::Static, "Show Discovery information on:", 17, 21, 170, 10, 0},
          {kTopResults, K::Radio, "Top 3 Results", 27, 33, 100, 10, kGroupStart},
          {kAllResults, K::Radio, "All Results", 27, 45, 100, 10, 0},
          {kSiteInfo, K::CheckBox, "Enable Site Info (coming soon)", 7, 61, 186, 10, kDisabled},
          {kLearnMore, K::Button, "Learn more about Discovery...", 7, 80, 110, 14, 0},
          {IDCANCEL, K::DefaultButton, "Back", 143, 109, 50, 14, 0},
      });
}

class CUIDialogDiscovery : public Dialog {
 public:
  explicit CUIDialogDiscovery(const SchedulerEnvironment& env)
      : Dialog(DiscoveryTemplate()), env_(env) {
    result_ = kActionNone;
  }

 protected:
  bool OnInitDialog() override {
    result_ = kActionNone;
    Refresh();
    return true;
  }

  void OnCommand(int id, int code) override {
    if (code != BN_CLICKED) return;
    Settings& s = env_.settings;
    switch (id) {
      case kSmarterSearch:
        s.SetInt("serpdecoratecount", Count() == 0 ? 3 : 0, true);
        Refresh();
        break;
      case kTopResults:
        s.SetInt("serpdecoratecount", 3, true);
        break;
      case kAllResults:
        s.SetInt("serpdecoratecount", 10, true);
        break;
      case kLearnMore:
        OpenUrlInBrowser(s.GetValue("discoveryurl", WebSitePage(s, "/discovery")),
                         env_.opener, env_.prompt, env_.logger);
        break;
      case IDCANCEL:
        EndDialog(kActionShowSettingsAgain);
        break;
      default:
        break;
    }
  }

 private:
  // How many results are decorated: 0 (off), 3 or 10 (all).
  int Count() { return env_.settings.GetInt("serpdecoratecount", 0); }

  void Refresh() {
    const int count = Count();
    CheckItem(kSmarterSearch, count != 0);
    CheckItem(kTopResults, count != 10);
    CheckItem(kAllResults, count == 10);
    for (int id : {kResultsText, kTopResults, kAllResults}) EnableItem(id, count != 0);
  }

  const SchedulerEnvironment& env_;
};

}  // namespace

int SyncScheduler::SettingsDialog() {
  // Signing in or out takes the sync mutex without waiting and counts as an
  // action: not in the middle of a sync (the mutex is this thread's own when
  // the dialog was opened from a modal loop inside one), and no sync starts
  // while the sign-in asks its questions.
  auto signInOrOut = [this] {
    if (!env_.account) return;
    if (actionRunning_) {
      env_.logger.Log("A sync is running; signing in or out waits until it is over");
      return;
    }
    std::shared_ptr<NamedMutex> mutex;
    if (uint32_t rc = NamedMutex::Open(kSyncMutexName, &mutex, env_.runtimeDir)) {
      env_.logger.Error(Format("Error while getting sync handle: %s", win32::FormatMessage(rc)));
      return;
    }
    const uint32_t got = mutex->Wait(0);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
      env_.logger.Log("A sync is running; signing in or out waits until it is over");
      return;
    }
    actionRunning_ = true;
    try {
      if (env_.account->GetUserName().empty())
        env_.account->SignIn(false);
      else
        env_.account->SignOut();
    } catch (const std::exception& e) {
      env_.logger.Error(Format("Error while signing in or out: %s", e.what()));
    } catch (...) {
      env_.logger.Error("Unknown error while signing in or out");
    }
    actionRunning_ = false;
    mutex->Release();
  };
  CUIDialogKestrove dialog(*this, nodeNotFoundOffer_, signInOrOut);
  const int result = dialog.DoModal();
  switch (dialog.next()) {
    case MainNext::Profiles:
      return ShowSyncProfiles();
    case MainNext::Discovery:
      return ShowDiscovery();
    case MainNext::Advanced:
      return ShowAdvanced();
    case MainNext::None:
      break;
  }
  return result;
}

int SyncScheduler::ShowAdvanced() {
  CUIDialogAdvanced dialog(*this);
  const int result = dialog.DoModal();
  switch (dialog.next()) {
    case AdvancedNext::ViewLog:
      ShowLogFile();
      break;
    case AdvancedNext::CheckVersion:
      try {
        env_.makeSync(true)->CheckVersion(true);
      } catch (const std::exception& e) {
        env_.logger.Error(Format("Error while checking for updates: %s", e.what()));
      }
      break;
    case AdvancedNext::None:
      break;
  }
  return result;
}

int SyncScheduler::ShowDiscovery() {
  CUIDialogDiscovery dialog(env_);
  return dialog.DoModal();
}

}  // namespace tarvex
