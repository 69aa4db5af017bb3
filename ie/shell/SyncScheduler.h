// The scheduler: turns the hidden window's commands into work on the main
// thread. It decides when an automatic sync, an open-tabs sync or a version
// check is due, runs the user's actions (sync now, download, upload, merge,
// repair, setup wizard) under the sync mutex, keeps the sync status with the
// tray's display, backs off after failures, and owns the dialogs' entry
// points, so that no two of them run at once. It is also what the sync flow
// asks its questions of.
//
// One action at a time: an action that finds the sync mutex held (by
// another process, or the watcher for longer than a user would wait) or an
// action already running in this process (a modal dialog's loop dispatches
// the window's messages, so a tray click can arrive in the middle of a sync)
// is dropped with "Already processing UI action, ignoring command".
#pragma once

#include <json/json.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ie/sync/SyncQuestions.h"
#include "platform/win/Window.h"

namespace tarvex {

class Account;
class Clock;
class Logger;
class Settings;
class SystemTray;
class UrlOpener;
class UserPrompt;

// What the scheduler asks of the sync flow, one object per action.
class SyncActions {
 public:
  virtual ~SyncActions() = default;
  virtual void Synchronize() = 0;
  // 0 when the download was committed.
  virtual int Download() = 0;
  virtual void Upload() = 0;
  virtual void MergeDownload(int direction) = 0;
  virtual void Repair() = 0;
  virtual void WriteTabs(bool force) = 0;
  virtual void CheckVersion(bool manual) = 0;
  // The other computers' open tabs, as the open-tabs page shows them.
  virtual Json::Value ReadTabs() = 0;
  // The account's sync status (its "isreset" member).
  virtual Json::Value GetStatus() = 0;
  // The account's profiles ({name: view}); throws VelkException when the
  // service does not give them.
  virtual Json::Value GetProfileNames() = 0;
};
// Makes the sync flow for one action; `manual` when the user asked for it.
using SyncActionsFactory = std::function<std::unique_ptr<SyncActions>(bool manual)>;

struct SchedulerEnvironment {
  Settings& settings;
  Logger& logger;
  Clock& clock;
  UserPrompt& prompt;  // the program's message box
  UrlOpener& opener;
  SystemTray& tray;
  SyncActionsFactory makeSync;
  // The signed-in user (sign-in and out, credentials); null where nothing
  // signs in (tests of the scheduler alone).
  Account* account = nullptr;
  std::string runtimeDir;  // of the named mutexes and events; empty: the process's
  // How long a user's action waits for the sync mutex that the watcher
  // holds for a moment (an automatic tick never waits).
  uint32_t userWaitMs = 2000;
};

class SyncScheduler : public SyncQuestions {
 public:
  explicit SyncScheduler(SchedulerEnvironment env);
  ~SyncScheduler() override;

  // The process's scheduler, once the program made one (null before).
  static SyncScheduler*& Process();

  // ---- Status and the tray ----
  void SetStatus(int status);
  // Shows the tray for `syncstatus`; throws VelkException ("internal", -10)
  // for a status it has no display for (107 among them).
  void UpdateSystrayDisplay();
  void RecordSyncFailure(const std::string& message);

  // ---- Actions ----
  // Runs a user-interface action (1525 to 1539); `refresh` asks for the
  // tray's display afterwards.
  void HandleUIMessage(int action, bool refresh);
  void AutoSyncTick();
  void StartAction();
  void SyncOnShutdown();
  // Whether an action runs now (in this process).
  bool ActionRunning() const { return actionRunning_; }
  // What the dialogs work with.
  const SchedulerEnvironment& env() const { return env_; }
  void OpenServicePage(const std::string& path);

  // ---- Dialogs ----
  // Each entry point shows its dialog modally and returns its result (an
  // action). The dialogs live in dialogs/: the settings dialogs
  // (SettingsDialogs.cpp), the sync profiles (ProfileDialogs.cpp), ready
  // to sync with the sync settings and the conflicts (ReadyToSync.cpp), the
  // setup wizard and the open tabs (WizardDialogs.cpp).
  int ShowSettings();
  // One showing of the settings dialog (ShowSettings shows it again while
  // it asks to).
  int SettingsDialog();
  int ShowAdvanced();
  int ShowSyncProfiles();
  int ShowDiscovery();
  int ShowRemoteTabs();
  int RunSetupWizard();
  int ShowReadyToSync(int action, bool showWarning);
  void ShowLogFile();

  // ---- The sync flow's questions ----
  int ShowMessage(const std::string& text, int button1, int button2, int button3) override;
  void ShowUpdateAvailable(const std::string& version, const std::string& downloadUrl,
                           const std::string& infoUrl) override;
  int AskSyncFileRestored() override;
  std::string AskFolderPlacementConflict(const Node& item, const Node& firstFolder,
                                         const Node& secondFolder) override;
  std::string AskVersionConflict(const Node& first, const Node& second) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;

  // Stand-ins for the settings dialog and the wizard, for tests of the
  // scheduler alone.
  std::function<int()> settingsDialog;
  std::function<int()> wizardDialog;

 private:
  void RunAction(int action, bool refresh, bool* uploadInstead);
  void Open(const std::string& url);

  SchedulerEnvironment env_;
  // Asks through the message box until the question's own dialog is there.
  PromptSyncQuestions prompts_;
  bool actionRunning_ = false;
  bool wizardRunning_ = false;
  bool settingsOpen_ = false;
  // When the settings dialog last offered to download after a sync failed
  // on a node it could not find (once a day at most; never yet: empty).
  std::optional<int64_t> nodeNotFoundOffer_;
};

}  // namespace tarvex
