#include "prefPane/pane/KestrovePref.h"

#include <map>

#include "prefPane/core/PaneScripts.h"
#include "prefPane/core/SystemProxies.h"

namespace tarvex::pane {

namespace {

constexpr char kResetTitle[] = "Reset Tarvex for Safari";
constexpr char kResetQuestion[] =
    "Once the reset is completed you will be led again to perform an initial synchronization.  It "
    "is safe to "
    "pick the default options from there.\n\nAre you sure you want to reset?";
constexpr char kCouldNotStop[] = "Could not stop Tarvex for Safari.  Please try the reset again.";
constexpr char kResetComplete[] = "Reset complete, we will restart Tarvex for Safari.";
constexpr char kUnableToLaunch[] = "We were unable to launch the sync application";
constexpr char kUnableToStop[] =
    "We were not able to stop Tarvex for Safari; sometimes it takes a minute to quit gracefully";

template <typename T>
bool Bind(T*& slot, Control& control) {
  T* typed = dynamic_cast<T*>(&control);
  if (!typed) return false;
  slot = typed;
  return true;
}

bool IsOn(const Button* b) {
  return b && b->state() == kStateOn;
}

}  // namespace

KestrovePref::KestrovePref(PaneServices services)
    : s_(std::move(services)), self_(std::make_shared<KestrovePref*>(this)) {}

KestrovePref::~KestrovePref() {
  close();
}

bool KestrovePref::BindOutlet(const std::string& name, Control& c) {
  static const std::map<std::string, std::function<bool(KestrovePref&, Control&)>> outlets = {
#define OUTLET(n)                                                  \
  {                                                                \
#n, [](KestrovePref & p, Control & c) { return Bind(p.n, c); } \
  }
      OUTLET(startStopButton),
      OUTLET(launchAtLoginButton),
      OUTLET(autoSyncButton),
      OUTLET(menuStatusButton),
      OUTLET(growlStatusButton),
      OUTLET(autoCheckUpdatesButton),
      OUTLET(changeLoginButton),
      OUTLET(runSetupWizardButton),
      OUTLET(syncNowButton),
      OUTLET(checkUpdateButton),
      OUTLET(tabSyncButton),
      OUTLET(tabSyncComputerName),
      OUTLET(lastSyncText),
      OUTLET(runningStatusText),
      OUTLET(loginStatusText),
      OUTLET(versionText),
      OUTLET(currentProfileText),
      OUTLET(changeProfileButton),
      OUTLET(uploadButton),
      OUTLET(downloadButton),
      OUTLET(encryptionMenu),
      OUTLET(enableLoggingButton),
      OUTLET(verboseLoggingButton),
      OUTLET(syncStatusText),
      OUTLET(syncErrorMessage),
      OUTLET(updateCheckIndicator),
      OUTLET(prefsTabView),
      OUTLET(SmarterSearchRadio),
      OUTLET(EnableSmarterSearch),
      OUTLET(EnableBIB),
      OUTLET(EnableSyncNotification),
      OUTLET(enableProxyButton),
      OUTLET(httpProxy),
      OUTLET(httpsProxy),
      OUTLET(prefWindow),
#undef OUTLET
  };
  auto it = outlets.find(name);
  return it != outlets.end() && it->second(*this, c);
}

bool KestrovePref::Perform(const std::string& action) {
  static const std::map<std::string, void (KestrovePref::*)()> actions = {
      {"syncNow:", &KestrovePref::syncNow},
      {"uploadToServer:", &KestrovePref::uploadToServer},
      {"downloadFromServer:", &KestrovePref::downloadFromServer},
      {"repairDatabase:", &KestrovePref::repairDatabase},
      {"changeProfile:", &KestrovePref::changeProfile},
      {"changeLogin:", &KestrovePref::changeLogin},
      {"runSetupWizard:", &KestrovePref::runSetupWizard},
      {"checkUpdate:", &KestrovePref::checkUpdate},
      {"changePrefs:", &KestrovePref::changePrefs},
      {"toggleEnableSiteInfo:", &KestrovePref::toggleEnableSiteInfo},
      {"updateLaunchAtLogin:", &KestrovePref::updateLaunchAtLogin},
      {"startStopKestrove:", &KestrovePref::startStopKestrove},
      {"clearLog:", &KestrovePref::clearLog},
      {"showLog:", &KestrovePref::showLog},
      {"archiveTarvex:", &KestrovePref::archiveTarvex},
      {"resetTarvex:", &KestrovePref::resetTarvex},
      {"resetTruth:", &KestrovePref::resetTruth},
      {"goToHelp:", &KestrovePref::goToHelp},
      {"goToWwwKestrove:", &KestrovePref::goToWwwKestrove},
      {"goToMyKestrove:", &KestrovePref::goToMyKestrove},
  };
  auto it = actions.find(action);
  if (it == actions.end()) return false;
  (this->*(it->second))();
  return true;
}

// ---- Life cycle ----

void KestrovePref::init() {
  if (timer_ == 0) timer_ = s_.loop.AddTimer(2, true, [this] { checkIsRunning(); });
}

void KestrovePref::awakeFromNib() {
  if (prefsTabView) prefsTabView->removeItemWithIdentifier(kDiscoveryTab);
  // setupNotifications
  std::weak_ptr<KestrovePref*> weak = self_;
  s_.center.AddObserver(KVReceiveNotificationName, [weak](const mac::Notification& n) {
    if (auto self = weak.lock()) (*self)->callbackWithNotification(n);
  });
  if (source_ == 0) source_ = s_.loop.AddSource([this] { return s_.center.Pump(0); });
  checkIsRunning();
  updateUIFromPrefFile();
  checkGrowlIsRunning();
}

void KestrovePref::willSelect() {
  checkGrowlIsRunning();
}

void KestrovePref::windowDidBecomeKey() {
  raiseApp();
}

void KestrovePref::close() {
  if (timer_ != 0) s_.loop.Invalidate(timer_);
  timer_ = 0;
  if (source_ != 0) s_.loop.RemoveSource(source_);
  source_ = 0;
  self_.reset();
}

// ---- Actions ----

void KestrovePref::StartThenSend(const std::string& action) {
  agentAnnouncedStart_ = false;
  if (startKestrove()) {
    // An agent that has just started may not observe yet, and a notification
    // nobody observes is lost: wait until it says it started.
    s_.loop.RunUntil([this] { return agentAnnouncedStart_; }, s_.readyLimitSeconds);
  }
  sendNotificationAction(action);
}

void KestrovePref::syncNow() {
  StartThenSend(KVActionSync);
}
void KestrovePref::uploadToServer() {
  StartThenSend(KVActionUpload);
}
void KestrovePref::downloadFromServer() {
  StartThenSend(KVActionDownload);
}
void KestrovePref::repairDatabase() {
  StartThenSend(KVActionRepair);
}
void KestrovePref::changeProfile() {
  StartThenSend(KVActionChangeProfile);
}
void KestrovePref::changeLogin() {
  StartThenSend(KVActionChangeLogin);
}
void KestrovePref::runSetupWizard() {
  StartThenSend(KVActionSetupWizard);
}

void KestrovePref::checkUpdate() {
  agentAnnouncedStart_ = false;
  bool started = startKestrove();
  if (updateCheckIndicator) updateCheckIndicator->startAnimation();
  if (started) s_.loop.RunUntil([this] { return agentAnnouncedStart_; }, s_.readyLimitSeconds);
  sendNotificationAction(KVActionCheckUpdate);
}

void KestrovePref::Reload() {
  s_.settings.loadFromFile();
}

bool KestrovePref::SaveAndTell() {
  bool saved = s_.settings.save();
  sendNotificationAction(KVActionUpdatePrefs);
  return saved;
}

void KestrovePref::changePrefs() {
  Reload();
  updatePrefsFromUI();
  SaveAndTell();
}

void KestrovePref::toggleEnableSiteInfo() {
  changePrefs();
  s_.alerts.Alert("Restart Safari",
                  " Don't forget to restart Safari for this change to take effect.", {"OK"});
}

void KestrovePref::updateLaunchAtLogin() {
  Reload();
  updatePrefsFromUI();
  s_.settings.save();
  UpdateLaunchAtLogin(s_.loginWindowFile, s_.settings.getBoolKey(kSettingLaunchAtLogin));
  // The agent keeps its own copy of the setting and would write the old
  // value back (and undo the login item at its next start) unless told.
  sendNotificationAction(KVActionUpdatePrefs);
}

void KestrovePref::startStopKestrove() {
  if (running_)
    stopKestrove();
  else
    startKestrove();
}

void KestrovePref::clearLog() {
  if (s_.alerts.Alert("Tarvex Log", "Clear Tarvex log file?", {"Yes", "Cancel"}) == 0)
    Run(kScriptClearLog);
}

void KestrovePref::showLog() {
  Run(kScriptOpenLog);
}

void KestrovePref::archiveTarvex() {
  Run(kScriptArchiveTarvex);
}

void KestrovePref::resetTarvex() {
  if (s_.alerts.Alert(kResetTitle, kResetQuestion, {"Yes", "Cancel"}) != 0) return;
  if (isAppRunning()) {
    stopKestrove();
    if (running_) {
      s_.alerts.Alert(kResetTitle, kCouldNotStop, {"OK"});
      return;
    }
  }
  Run(kScriptResetFiles);
  // The stopped agent may have saved on its way out: start from the file.
  Reload();
  if (s_.settings.hasValueKey(kSettingSyncStamp)) s_.settings.setKeyForValue(kSettingSyncStamp, "");
  if (s_.settings.hasValueKey(kSettingTopRevision))
    s_.settings.setKeyForValue(kSettingTopRevision, "0");
  s_.settings.save();
  s_.alerts.Alert(kResetTitle, kResetComplete, {"OK"});
  startKestrove();
}

void KestrovePref::goToHelp() {
  Run(GoToHelpScript());
}
void KestrovePref::goToWwwKestrove() {
  Run(GoToWwwKestroveScript());
}
void KestrovePref::goToMyKestrove() {
  Run(OpenLocationScript(
      AccountPageAddress(s_.settings.getValueForKey(kSettingEncryptionType).value_or(""))));
}

// ---- Others ----

bool KestrovePref::Run(const std::string& script) {
  return s_.scripts.Run(script).ok;
}

void KestrovePref::raiseApp() {
  mac::DictRef data = mac::NewDict();
  (*data)["windowNumber"] = prefWindow ? prefWindow->windowNumber() : 0;
  sendNotificationAction(KVActionArrangeInFront, data);
}

void KestrovePref::sendNotificationAction(const std::string& action, const mac::Value& data) {
  mac::DictRef info = mac::NewDict();
  (*info)["action"] = action;
  (*info)["username"] = s_.userName;
  if (!data.IsNil()) (*info)["data"] = data;
  s_.center.Post(KVSendNotificationName, info);
}

void KestrovePref::callbackWithNotification(const mac::Notification& n) {
  const mac::Dict& info = *n.userInfo;
  auto username = info.find("username");
  if (username == info.end() || !username->second.IsString() ||
      username->second.AsString() != s_.userName)
    return;
  auto found = info.find("action");
  std::string action = found != info.end() ? found->second.AsString() : "";
  if (action == KVActionUpdatePrefs) {
    s_.settings.loadFromFile();
    updateUIFromPrefFile();
  } else if (action == KVActionStartAlert || action == KVActionStopAlert) {
    if (action == KVActionStartAlert) agentAnnouncedStart_ = true;
    checkIsRunning();
  } else if (action == KVActionStopUpdateCheckIndicator) {
    if (updateCheckIndicator) updateCheckIndicator->stopAnimation();
  }
}

bool KestrovePref::isAppRunning() {
  ScriptResult r = s_.scripts.Run(kScriptIsRunning);
  return r.ok && r.result.text == "true";
}

bool KestrovePref::isGrowlRunning() {
  ScriptResult r = s_.scripts.Run(kScriptGrowlIsRunning);
  return r.ok && r.result.text == "true";
}

void KestrovePref::checkIsRunning() {
  running_ = isAppRunning();
  if (startStopButton) startStopButton->setTitle(running_ ? "Stop Tarvex" : "Start Tarvex");
  if (runningStatusText)
    runningStatusText->setStringValue(running_ ? "Tarvex is running" : "Tarvex is not running");
}

void KestrovePref::checkGrowlIsRunning() {
  if (growlStatusButton) growlStatusButton->setEnabled(isGrowlRunning());
  updateGrowlButton();
  raiseApp();
}

void KestrovePref::updateGrowlButton() {
  if (!growlStatusButton) return;
  growlStatusButton->setState(growlStatusButton->isEnabled()
                                  ? s_.settings.getBoolKeyAsButtonState(kSettingUseGrowl)
                                  : kStateOff);
}

bool KestrovePref::startKestrove() {
  bool wasRunning = isAppRunning();
  if (Run(kScriptPath)) Run(kScriptStart);
  checkIsRunning();
  if (!running_) s_.alerts.Alert("", kUnableToLaunch, {"OK"});
  return !wasRunning && running_;
}

void KestrovePref::stopKestrove() {
  if (Run(kScriptPath)) Run(kScriptStop);
  checkIsRunning();
  if (!running_) return;
  if (s_.alerts.Alert("", kUnableToStop, {"OK", "Force quit"}) == 1) {
    Run(kScriptForceQuit);
    // Look again: the reset goes on only when the agent is really gone.
    checkIsRunning();
  }
}

void KestrovePref::updatePrefsFromUI() {
  KestroveSettings& st = s_.settings;
  auto fromButton = [&](const char* key, const Button* b) {
    if (b) st.setBoolAsButtonStateKeyForValue(key, b->state());
  };
  fromButton(kSettingLaunchAtLogin, launchAtLoginButton);
  fromButton(kSettingAutoSync, autoSyncButton);
  fromButton(kSettingEnableSyncNotification, EnableSyncNotification);
  fromButton(kSettingShowStatusMenu, menuStatusButton);
  fromButton(kSettingUseTabSync, tabSyncButton);
  fromButton(kSettingCheckForUpdates, autoCheckUpdatesButton);
  fromButton(kSettingEnableLogging, enableLoggingButton);
  if (tabSyncComputerName)
    st.setKeyForValue(kSettingTabComputerName, tabSyncComputerName->stringValue());
  if (growlStatusButton && growlStatusButton->isEnabled())
    fromButton(kSettingUseGrowl, growlStatusButton);
  if (verboseLoggingButton) {
    if (verboseLoggingButton->isEnabled())
      st.setKeyForValue(kSettingLogLevel, IsOn(verboseLoggingButton) ? "debug" : "warn");
    verboseLoggingButton->setEnabled(IsOn(enableLoggingButton));
  }
  bool proxyOn = IsOn(enableProxyButton);
  if (proxyOn && !st.getBoolKey(kSettingUseProxy) &&
      s_.alerts.Alert("", "Should we lookup system proxy settings?", {"Yes", "No"}) == 0)
    lookupAndSetProxyValues();
  // Only a proxy in use needs its https half, and the level that counts is
  // the one chosen now.
  int level = encryptionMenu ? encryptionMenu->indexOfSelectedItem() : 0;
  if (proxyOn && level > 0 && httpsProxy && httpsProxy->stringValue().empty())
    s_.alerts.Alert("", "Please fill in the https proxy setting when encryption is enabled.",
                    {"OK"});
  fromButton(kSettingUseProxy, enableProxyButton);
  if (proxyOn) {
    if (httpProxy) st.setKeyForValue(kSettingHttpProxy, httpProxy->stringValue());
    if (httpsProxy) st.setKeyForValue(kSettingHttpsProxy, httpsProxy->stringValue());
  }
  if (httpProxy) httpProxy->setEnabled(proxyOn);
  if (httpsProxy) httpsProxy->setEnabled(proxyOn);
  if (encryptionMenu && level >= 0)
    st.setKeyForValue(kSettingEncryptionType, std::to_string(level));
}

void KestrovePref::updateUIFromPrefFile() {
  KestroveSettings& st = s_.settings;
  auto toButton = [&](Button* b, const char* key) {
    if (b) b->setState(st.getBoolKeyAsButtonState(key));
  };
  auto toField = [&](TextField* f, const std::string& text) {
    if (f) f->setStringValue(text);
  };
  auto value = [&](const char* key) { return st.getValueForKey(key).value_or(""); };
  toButton(launchAtLoginButton, kSettingLaunchAtLogin);
  toButton(tabSyncButton, kSettingUseTabSync);
  toButton(autoSyncButton, kSettingAutoSync);
  toButton(menuStatusButton, kSettingShowStatusMenu);
  toButton(autoCheckUpdatesButton, kSettingCheckForUpdates);
  toButton(enableLoggingButton, kSettingEnableLogging);
  toButton(EnableSyncNotification, kSettingEnableSyncNotification);
  toButton(enableProxyButton, kSettingUseProxy);
  toField(tabSyncComputerName, value(kSettingTabComputerName));
  toField(httpProxy, value(kSettingHttpProxy));
  toField(httpsProxy, value(kSettingHttpsProxy));
  updateGrowlButton();

  if (changeLoginButton) changeLoginButton->setTitle("Change login");
  auto labelled = [&](TextField* f, const std::string& prefix, const char* key,
                      const char* fallbackKey, const std::string& none) {
    std::string v = value(key);
    if (v.empty() && fallbackKey) v = value(fallbackKey);
    toField(f, v.empty() ? none : prefix + v);
  };
  labelled(loginStatusText, "Logged in as ", kSettingUsername, nullptr, "Not logged in");
  labelled(versionText, "Version: ", kSettingVersion, nullptr, "Version: <unknown>");
  labelled(lastSyncText, "Last sync: ", kSettingLastSyncTime, nullptr, "Last sync: <not synced>");
  // The agent keeps the profile under "profile".
  labelled(currentProfileText, "Profile: ", kSettingProfileName, kSettingProfile,
           "Profile: <none>");

  if (verboseLoggingButton) {
    verboseLoggingButton->setState(value(kSettingLogLevel) == "debug" ? kStateOn : kStateOff);
    verboseLoggingButton->setEnabled(IsOn(enableLoggingButton));
  }
  if (httpProxy) httpProxy->setEnabled(IsOn(enableProxyButton));
  if (httpsProxy) httpsProxy->setEnabled(IsOn(enableProxyButton));

  std::optional<std::string> result = st.getValueForKey(kSettingLastSyncResult);
  const char* status = nullptr;
  if (!result || result->empty())
    status = "Not yet synchronized";
  else if (*result == "success")
    status = "Synchronized successfully";
  else if (*result == "cancel")
    status = "Canceling sync";
  if (status) {
    toField(syncStatusText, status);
    toField(syncErrorMessage, "");
  } else if (*result == "fail") {
    toField(syncStatusText, "Sync error");
    toField(syncErrorMessage, value(kSettingLastSyncMessage));
  }

  // Exactly "0", "1" or "2"; anything else is the middle level, never the
  // plain one a damaged value would otherwise lower it to.
  std::string type = value(kSettingEncryptionType);
  if (encryptionMenu) encryptionMenu->selectItemAtIndex(type == "0" ? 0 : type == "2" ? 2 : 1);
}

bool KestrovePref::getProxySetting(std::string& text, bool http) {
  mac::DictRef proxies = s_.systemProxies ? s_.systemProxies() : nullptr;
  if (!proxies) return false;
  std::string prefix = http ? "HTTP" : "HTTPS";
  auto entry = [&](const std::string& key) -> mac::Value {
    auto it = proxies->find(prefix + key);
    return it == proxies->end() ? mac::Value() : it->second;
  };
  mac::Value enable = entry("Enable");
  if (!(enable.IsInt() || enable.IsReal()) || mac::IntValue(enable) == 0) return false;
  mac::Value host = entry("Proxy");
  if (!host.IsString()) return false;
  text = host.AsString();
  mac::Value port = entry("Port");
  if (!(port.IsInt() || port.IsReal())) return false;
  text += ":" + std::to_string(mac::IntValue(port));
  return true;
}

void KestrovePref::lookupAndSetProxyValues() {
  std::string http, https;
  getProxySetting(http, true);
  getProxySetting(https, false);
  // A lookup that found no host keeps what the person typed.
  if (httpProxy && !http.empty()) httpProxy->setStringValue(http);
  if (httpsProxy && !https.empty()) httpsProxy->setStringValue(https);
}

}  // namespace tarvex::pane
