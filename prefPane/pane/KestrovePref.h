// The preference pane: shows the agent's settings and saves them back, keeps
// its login item, starts, stops and resets the agent, asks it by
// notification to sync and the rest, follows its state, and offers the log,
// archive and reset tools. It reaches the agent only through its scripts,
// the settings file and notifications; it links nothing of the agent.
//
// Its host binds the outlets by name, then calls init, awakeFromNib,
// mainViewDidLoad and willSelect, sends actions by name, and calls close
// when the pane is left (which stops its timer).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/mac/AppleScript.h"
#include "platform/mac/Notifications.h"
#include "platform/mac/Value.h"
#include "prefPane/core/KestroveSettings.h"
#include "prefPane/pane/Alerts.h"
#include "prefPane/pane/Controls.h"
#include "prefPane/pane/RunLoop.h"

namespace tarvex::pane {

inline constexpr char KVSendNotificationName[] = "TarvexSafari";
inline constexpr char KVReceiveNotificationName[] = "TarvexPref";
inline constexpr char KVActionSync[] = "sync";
inline constexpr char KVActionUpload[] = "upload";
inline constexpr char KVActionDownload[] = "download";
inline constexpr char KVActionRepair[] = "repair";
inline constexpr char KVActionChangeProfile[] = "changeProfile";
inline constexpr char KVActionChangeLogin[] = "changeLogin";
inline constexpr char KVActionSetupWizard[] = "setupWizard";
inline constexpr char KVActionCheckUpdate[] = "checkUpdate";
inline constexpr char KVActionUpdatePrefs[] = "updatePrefs";
inline constexpr char KVActionArrangeInFront[] = "arrangeInFront";
inline constexpr char KVActionStartAlert[] = "startSyncAppAlert";
inline constexpr char KVActionStopAlert[] = "stopSyncAppAlert";
inline constexpr char KVActionStopUpdateCheckIndicator[] = "stopUpdateCheckIndicator";

// The tab the pane takes away from its view.
inline constexpr char kDiscoveryTab[] = "Discovery";

// What the pane stands on; every reference must outlive it.
struct PaneServices {
  KestroveSettings& settings;
  mac::ScriptRunner& scripts;
  mac::NotificationCenter& center;
  Alerts& alerts;
  RunLoop& loop;
  // The system's proxies as the dynamic store gives them.
  std::function<mac::DictRef()> systemProxies;
  std::string loginWindowFile;  // "~" already expanded
  std::string userName;         // the login name notifications carry
  // After starting the agent, how long (seconds of the run loop's clock) an
  // action waits for the agent to say it started before it is sent anyway.
  int64_t readyLimitSeconds = 10;
};

class KestrovePref {
 public:
  explicit KestrovePref(PaneServices services);
  ~KestrovePref();
  KestrovePref(const KestrovePref&) = delete;
  KestrovePref& operator=(const KestrovePref&) = delete;

  // ---- Life cycle, as the host calls it ----
  // Binds the outlet `name` (false when the pane has none of that name or
  // the control is of another kind).
  bool BindOutlet(const std::string& name, Control& control);
  void init();
  void awakeFromNib();
  void mainViewDidLoad() {}
  void willSelect();
  void windowDidBecomeKey();
  void close();
  // Sends the action named as its selector ("syncNow:"); false for none.
  bool Perform(const std::string& action);

  // ---- Actions ----
  void syncNow();
  void uploadToServer();
  void downloadFromServer();
  void repairDatabase();
  void changeProfile();
  void changeLogin();
  void runSetupWizard();
  void checkUpdate();
  void changePrefs();
  void toggleEnableSiteInfo();
  void updateLaunchAtLogin();
  void startStopKestrove();
  void clearLog();
  void showLog();
  void archiveTarvex();
  void resetTarvex();
  void resetTruth() {}
  void goToHelp();
  void goToWwwKestrove();
  void goToMyKestrove();

  // ---- Others ----
  void raiseApp();
  // A nil `data` leaves "data" out.
  void sendNotificationAction(const std::string& action, const mac::Value& data = {});
  void callbackWithNotification(const mac::Notification& notification);
  bool isAppRunning();
  bool isGrowlRunning();
  void checkIsRunning();
  void checkGrowlIsRunning();
  void updateGrowlButton();
  // Answers whether the agent had to be started (and then did start).
  bool startKestrove();
  void stopKestrove();
  void updatePrefsFromUI();
  void updateUIFromPrefFile();
  bool getProxySetting(std::string& text, bool http);
  void lookupAndSetProxyValues();

  bool kestroveForSafariIsRunning() const { return running_; }
  bool timerScheduled() const { return timer_ != 0 && s_.loop.IsScheduled(timer_); }

  // ---- Outlets ----
  Window* prefWindow = nullptr;
  Button *startStopButton = nullptr, *launchAtLoginButton = nullptr, *autoSyncButton = nullptr,
         *menuStatusButton = nullptr, *growlStatusButton = nullptr,
         *autoCheckUpdatesButton = nullptr, *changeLoginButton = nullptr,
         *runSetupWizardButton = nullptr, *syncNowButton = nullptr, *checkUpdateButton = nullptr,
         *tabSyncButton = nullptr;
  TextField* tabSyncComputerName = nullptr;
  TextField *lastSyncText = nullptr, *runningStatusText = nullptr, *loginStatusText = nullptr,
            *versionText = nullptr, *currentProfileText = nullptr;
  Button *changeProfileButton = nullptr, *uploadButton = nullptr, *downloadButton = nullptr;
  PopUpButton* encryptionMenu = nullptr;
  Button *enableLoggingButton = nullptr, *verboseLoggingButton = nullptr;
  TextField *syncStatusText = nullptr, *syncErrorMessage = nullptr;
  ProgressIndicator* updateCheckIndicator = nullptr;
  TabView* prefsTabView = nullptr;
  Button *SmarterSearchRadio = nullptr, *EnableSmarterSearch = nullptr, *EnableBIB = nullptr,
         *EnableSyncNotification = nullptr, *enableProxyButton = nullptr;
  TextField *httpProxy = nullptr, *httpsProxy = nullptr;

 private:
  // startKestrove, then (once the agent is ready when it had to start) the
  // action.
  void StartThenSend(const std::string& action);
  bool Run(const std::string& script);
  // Reads the file again before the pane's own values go over it, so what
  // the agent saved meanwhile is kept.
  void Reload();
  bool SaveAndTell();

  PaneServices s_;
  bool running_ = false;
  uint64_t timer_ = 0;
  uint64_t source_ = 0;
  bool agentAnnouncedStart_ = false;
  // Held by the notification observer: the bus has no way to take an
  // observer back, so one that outlives the pane finds it gone.
  std::shared_ptr<KestrovePref*> self_;
};

}  // namespace tarvex::pane
