#include <gtest/gtest.h>

#include <filesystem>

#include "platform/mac/LoginItems.h"
#include "prefPane/pane/tests/PaneFixture.h"

namespace tarvex::pane {
namespace {

TEST_F(PaneTest, OpeningTakesTheDiscoveryTabAwayAndTheTimerLooksEveryTwoSecondsUntilClosed) {
  scripts.running = true;
  Open();
  auto& tabs = dynamic_cast<TabView&>(*model.Find("prefsTabView"));
  EXPECT_FALSE(tabs.hasItem(kDiscoveryTab));
  EXPECT_TRUE(tabs.hasItem("General"));
  EXPECT_EQ(button("startStopButton").title(), "Stop Tarvex");
  EXPECT_EQ(field("runningStatusText").stringValue(), "Tarvex is running");

  int before = scripts.Count(kScriptIsRunning);
  scripts.running = false;
  for (int i = 0; i < 6; ++i) {
    clock.Advance(1);
    loop.RunOnce(0);
  }
  EXPECT_EQ(scripts.Count(kScriptIsRunning) - before, 3);
  EXPECT_EQ(button("startStopButton").title(), "Start Tarvex");
  EXPECT_EQ(field("runningStatusText").stringValue(), "Tarvex is not running");

  pref.close();
  EXPECT_FALSE(pref.timerScheduled());
  before = scripts.Count(kScriptIsRunning);
  clock.Advance(10);
  loop.RunOnce(0);
  EXPECT_EQ(scripts.Count(kScriptIsRunning), before);
}

TEST_F(PaneTest, EveryButtonReachesItsKeyAndBack) {
  const std::vector<std::pair<const char*, const char*>> pairs = {
      {"launchAtLoginButton", "launchAtLogin"},
      {"autoSyncButton", "autoSync"},
      {"EnableSyncNotification", "enableSyncNotification"},
      {"menuStatusButton", "showStatusMenu"},
      {"tabSyncButton", "useTabSync"},
      {"autoCheckUpdatesButton", "checkForUpdates"},
      {"enableLoggingButton", "enableLogging"},
      {"enableProxyButton", "useProxy"},
  };
  Open();
  for (const auto& [name, key] : pairs) {
    SCOPED_TRACE(name);
    for (int state : {kStateOn, kStateOff, kStateMixed}) {
      button(name).setState(state);
      alerts.Answer(1);  // the proxy's question: No
      pref.changePrefs();
      EXPECT_EQ(FileValue(key), state == kStateOn ? "true" : "false");
      // Back from the file: the other state first, then the file's.
      button(name).setState(state == kStateOn ? kStateOff : kStateOn);
      pref.updateUIFromPrefFile();
      EXPECT_EQ(button(name).state(), state == kStateOn ? kStateOn : kStateOff);
    }
  }
  field("tabSyncComputerName").setStringValue("Desk - Safari");
  pref.changePrefs();
  EXPECT_EQ(FileValue("tabComputerName"), "Desk - Safari");
  EXPECT_EQ(SentExcept(KVActionArrangeInFront).back(), KVActionUpdatePrefs);
}

TEST_F(PaneTest, DisabledGrowlAndLoggingButtonsLeaveTheirKeysAlone) {
  WriteFile({{"useGrowl", "true"}, {"logLevel", "info"}, {"enableLogging", "false"}});
  settings.loadFromFile();
  Open();  // no Growl here: its button is disabled and off
  EXPECT_FALSE(button("growlStatusButton").isEnabled());
  EXPECT_EQ(button("growlStatusButton").state(), kStateOff);
  EXPECT_FALSE(button("verboseLoggingButton").isEnabled());
  pref.changePrefs();
  EXPECT_EQ(FileValue("useGrowl"), "true");
  EXPECT_EQ(FileValue("logLevel"), "info");

  button("enableLoggingButton").setState(kStateOn);
  pref.changePrefs();  // logging on: the verbose button comes alive
  EXPECT_TRUE(button("verboseLoggingButton").isEnabled());
  EXPECT_EQ(FileValue("logLevel"), "info");
  button("verboseLoggingButton").setState(kStateOn);
  pref.changePrefs();
  EXPECT_EQ(FileValue("logLevel"), "debug");
  button("verboseLoggingButton").setState(kStateOff);
  pref.changePrefs();
  EXPECT_EQ(FileValue("logLevel"), "warn");
}

TEST_F(PaneTest, TheEncryptionMenuReadsOnlyExactLevelsAndWritesTheChosenIndex) {
  const std::vector<std::pair<const char*, int>> cases = {
      {"0", 0}, {"1", 1}, {"2", 2}, {"7", 1}, {"abc", 1}, {"", 1}, {" 0", 1}, {"00", 1}};
  auto& menu = dynamic_cast<PopUpButton&>(*model.Find("encryptionMenu"));
  for (const auto& [value, index] : cases) {
    SCOPED_TRACE(value);
    settings.setKeyForValue("encryptionType", std::string(value));
    pref.updateUIFromPrefFile();
    EXPECT_EQ(menu.indexOfSelectedItem(), index);
  }
  // A damaged value is never saved back as the plain level.
  WriteFile({{"encryptionType", "abc"}});
  settings.loadFromFile();
  pref.updateUIFromPrefFile();
  pref.changePrefs();
  EXPECT_EQ(FileValue("encryptionType"), "1");
  menu.selectItemAtIndex(0);
  pref.changePrefs();
  EXPECT_EQ(FileValue("encryptionType"), "0");
}

TEST_F(PaneTest, StatusAndLabelsFollowTheAgentsValues) {
  struct Case {
    mac::Dict file;
    const char* status;
    const char* error;
  };
  const std::vector<Case> cases = {
      {{{"lastSyncResult", "success"}}, "Synchronized successfully", ""},
      {{{"lastSyncResult", "cancel"}}, "Canceling sync", ""},
      {{}, "Not yet synchronized", ""},
      {{{"lastSyncResult", "fail"}, {"lastSyncMessage", "Server busy"}},
       "Sync error",
       "Server busy"},
      {{{"lastSyncResult", "weird"}}, "before", "before error"},  // neither changes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    KestroveSettings fresh = KestroveSettings::withDefaults(settings.path(), "Mac");
    settings = fresh;
    settings.overwriteFromDictionary([&] {
      KestroveSettings::Data d;
      for (const auto& [k, v] : c.file) d[k] = v.AsString();
      return d;
    }());
    field("syncStatusText").setStringValue("before");
    field("syncErrorMessage").setStringValue("before error");
    pref.updateUIFromPrefFile();
    EXPECT_EQ(field("syncStatusText").stringValue(), c.status);
    EXPECT_EQ(field("syncErrorMessage").stringValue(), c.error);
  }

  pref.updateUIFromPrefFile();
  EXPECT_EQ(field("loginStatusText").stringValue(), "Not logged in");
  EXPECT_EQ(field("versionText").stringValue(), "Version: <unknown>");
  EXPECT_EQ(field("lastSyncText").stringValue(), "Last sync: <not synced>");
  EXPECT_EQ(field("currentProfileText").stringValue(), "Profile: <none>");
  settings.overwriteFromDictionary({{"username", "alice@example.com"},
                                    {"version", "1.2"},
                                    {"lastSyncTime", "today"},
                                    {"profile", "Work"}});
  pref.updateUIFromPrefFile();
  EXPECT_EQ(button("changeLoginButton").title(), "Change login");
  EXPECT_EQ(field("loginStatusText").stringValue(), "Logged in as alice@example.com");
  EXPECT_EQ(field("versionText").stringValue(), "Version: 1.2");
  EXPECT_EQ(field("lastSyncText").stringValue(), "Last sync: today");
  EXPECT_EQ(field("currentProfileText").stringValue(), "Profile: Work");  // the agent's own key
  settings.setKeyForValue("settingProfileName", "Home");
  pref.updateUIFromPrefFile();
  EXPECT_EQ(field("currentProfileText").stringValue(), "Profile: Home");
}

TEST_F(PaneTest, TheProxyIsLookedUpOnceAndTheHttpsAlertComesOnlyWithTheProxyOn) {
  Open();
  proxies = mac::NewDict({{"HTTPEnable", 1},
                          {"HTTPProxy", "web.lan"},
                          {"HTTPPort", 3128},
                          {"HTTPSEnable", 1},
                          {"HTTPSProxy", "secure.lan"}});
  auto& menu = dynamic_cast<PopUpButton&>(*model.Find("encryptionMenu"));
  menu.selectItemAtIndex(2);
  pref.changePrefs();  // proxy off: no question, no alert
  EXPECT_TRUE(alerts.asked.empty());

  button("enableProxyButton").setState(kStateOn);
  alerts.Answer(0);  // Yes, look it up
  pref.changePrefs();
  ASSERT_EQ(alerts.asked.size(), 1u);
  EXPECT_EQ(alerts.asked[0].text, "Should we lookup system proxy settings?");
  EXPECT_EQ(alerts.asked[0].buttons, (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(FileValue("httpProxy"), "web.lan:3128");
  EXPECT_EQ(FileValue("httpsProxy"), "secure.lan");  // a host without a port
  EXPECT_TRUE(field("httpProxy").isEnabled());

  pref.changePrefs();  // on already: nothing asked
  EXPECT_EQ(alerts.asked.size(), 1u);

  field("httpsProxy").setStringValue("");
  pref.changePrefs();
  ASSERT_EQ(alerts.asked.size(), 2u);
  EXPECT_EQ(alerts.asked[1].text,
            "Please fill in the https proxy setting when encryption is enabled.");
  EXPECT_EQ(FileValue("httpsProxy"), "");  // saved all the same

  menu.selectItemAtIndex(0);  // the level chosen now counts
  pref.changePrefs();
  EXPECT_EQ(alerts.asked.size(), 2u);
}

TEST_F(PaneTest, ALookupThatFindsNoHostKeepsWhatWasTyped) {
  const std::vector<std::pair<mac::DictRef, std::string>> cases = {
      {mac::NewDict(), "typed:1"},
      {mac::NewDict({{"HTTPEnable", 0}, {"HTTPProxy", "off.lan"}, {"HTTPPort", 80}}), "typed:1"},
      {mac::NewDict({{"HTTPEnable", "1"}, {"HTTPProxy", "text.lan"}, {"HTTPPort", 80}}), "typed:1"},
      {mac::NewDict({{"HTTPEnable", 1}, {"HTTPProxy", 5}, {"HTTPPort", 80}}), "typed:1"},
      {mac::NewDict({{"HTTPEnable", 1}, {"HTTPProxy", "bare.lan"}, {"HTTPPort", "80"}}),
       "bare.lan"},
      {mac::NewDict({{"HTTPEnable", 1}, {"HTTPProxy", "p.lan"}, {"HTTPPort", 8080}}), "p.lan:8080"},
  };
  for (const auto& [dict, expected] : cases) {
    SCOPED_TRACE(expected);
    proxies = dict;
    field("httpProxy").setStringValue("typed:1");
    pref.lookupAndSetProxyValues();
    EXPECT_EQ(field("httpProxy").stringValue(), expected);
  }
}

TEST_F(PaneTest, AnActionStartsAStoppedAgentAndWaitsUntilItListensBeforeSending) {
  Open();
  scripts.afterRun = [&](const std::string& text) {
    if (text == kScriptStart) FromAgent({{"action", KVActionStartAlert}, {"username", kUser}});
  };
  int64_t before = clock.Now();
  pref.syncNow();
  EXPECT_EQ(scripts.Count(kScriptStart), 1);
  EXPECT_EQ(SentExcept(KVActionArrangeInFront), std::vector<std::string>{KVActionSync});
  EXPECT_LT(clock.Now() - before, 2);

  // Payload: action and login name, no data.
  mac::Notification sync = center.Posted().back();
  EXPECT_EQ(*sync.userInfo, (mac::Dict{{"action", "sync"}, {"username", kUser}}));

  // Running already: no start, no wait.
  pref.uploadToServer();
  EXPECT_EQ(scripts.Count(kScriptStart), 2);  // activate is harmless on a running agent
  EXPECT_EQ(SentExcept(KVActionArrangeInFront).back(), KVActionUpload);

  // An agent that never says so: sent after the bounded wait all the same.
  scripts.running = false;
  scripts.afterRun = nullptr;
  before = clock.Now();
  pref.downloadFromServer();
  EXPECT_GE(clock.Now() - before, 10);
  EXPECT_EQ(SentExcept(KVActionArrangeInFront).back(), KVActionDownload);
}

TEST_F(PaneTest, EachActionSendsItsName) {
  scripts.running = true;
  Open();
  const std::vector<std::pair<const char*, const char*>> actions = {
      {"syncNow:", "sync"},
      {"uploadToServer:", "upload"},
      {"downloadFromServer:", "download"},
      {"repairDatabase:", "repair"},
      {"changeProfile:", "changeProfile"},
      {"changeLogin:", "changeLogin"},
      {"runSetupWizard:", "setupWizard"},
      {"checkUpdate:", "checkUpdate"},
      {"changePrefs:", "updatePrefs"},
      {"toggleEnableSiteInfo:", "updatePrefs"},
      {"updateLaunchAtLogin:", "updatePrefs"},
  };
  for (const auto& [selector, action] : actions) {
    SCOPED_TRACE(selector);
    ASSERT_TRUE(pref.Perform(selector));
    EXPECT_EQ(SentExcept(KVActionArrangeInFront).back(), action);
  }
  EXPECT_FALSE(pref.Perform("noSuchAction:"));
  EXPECT_EQ(alerts.asked.back().title, "Restart Safari");
  EXPECT_EQ(alerts.asked.back().text,
            " Don't forget to restart Safari for this change to take effect.");

  pref.windowDidBecomeKey();
  mac::Notification raise = center.Posted().back();
  EXPECT_EQ((*raise.userInfo)["action"].AsString(), KVActionArrangeInFront);
  EXPECT_TRUE((*(*raise.userInfo)["data"].AsDict())["windowNumber"].IsInt());
}

TEST_F(PaneTest, NotificationsOfOtherUsersAreIgnoredAndUpdatePrefsReloads) {
  Open();
  WriteFile({{"autoSync", "false"}});
  loop.RunOnce(0);
  for (const mac::Dict& info : {mac::Dict{{"action", KVActionUpdatePrefs}},
                                mac::Dict{{"action", KVActionUpdatePrefs}, {"username", "mallory"}},
                                mac::Dict{{"action", KVActionUpdatePrefs}, {"username", 5}}}) {
    FromAgent(info);
    EXPECT_EQ(button("autoSyncButton").state(), kStateOn);
  }
  FromAgent({{"action", KVActionUpdatePrefs}, {"username", kUser}, {"data", ""}});
  EXPECT_EQ(button("autoSyncButton").state(), kStateOff);

  scripts.running = true;
  pref.checkUpdate();
  auto& indicator = dynamic_cast<ProgressIndicator&>(*model.Find("updateCheckIndicator"));
  EXPECT_TRUE(indicator.isAnimating());
  FromAgent({{"action", KVActionStopUpdateCheckIndicator}, {"username", "mallory"}});
  EXPECT_TRUE(indicator.isAnimating());
  FromAgent({{"action", KVActionStopUpdateCheckIndicator}, {"username", kUser}});
  EXPECT_FALSE(indicator.isAnimating());

  scripts.running = false;
  FromAgent({{"action", KVActionStopAlert}, {"username", kUser}});
  EXPECT_EQ(field("runningStatusText").stringValue(), "Tarvex is not running");
}

TEST_F(PaneTest, SavingKeepsWhatTheAgentSavedMeanwhile) {
  Open();
  WriteFile(
      {{"authtoken", "fresh-token"}, {"topRevision", "42"}});  // the agent, after the pane loaded
  button("autoSyncButton").setState(kStateOff);
  pref.changePrefs();
  EXPECT_EQ(FileValue("authtoken"), "fresh-token");
  EXPECT_EQ(FileValue("topRevision"), "42");
  EXPECT_EQ(FileValue("autoSync"), "false");
}

TEST_F(PaneTest, LaunchAtLoginChangesTheLoginItemAndTellsTheAgent) {
  Open();
  std::string items = home / "Library/Preferences/loginwindow.plist";
  ASSERT_EQ(
      mac::WritePlistDictAtomically(
          items, mac::NewDict({{mac::kAutoLaunchedApplications,
                                mac::NewArray({mac::NewDict(
                                    {{"Path", "/Applications/Other.app"}, {"Hide", false}})})}})),
      "");
  button("launchAtLoginButton").setState(kStateOn);
  pref.updateLaunchAtLogin();
  auto list = (*mac::ReadPlistDict(items).dict)[mac::kAutoLaunchedApplications].AsArray();
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*(*list)[1].AsDict())["Path"].AsString(), "/Applications/Tarvex for Safari.app");
  EXPECT_EQ(SentExcept(KVActionArrangeInFront).back(), KVActionUpdatePrefs);

  button("launchAtLoginButton").setState(kStateOff);
  pref.updateLaunchAtLogin();
  list = (*mac::ReadPlistDict(items).dict)[mac::kAutoLaunchedApplications].AsArray();
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ(FileValue("launchAtLogin"), "false");
}

TEST_F(PaneTest, StartAndStopTellWhatWentWrong) {
  Open();
  scripts.refusesToStart = true;
  pref.startStopKestrove();
  EXPECT_EQ(alerts.asked.back().text, "We were unable to launch the sync application");

  scripts.installed = false;  // nothing to start: not even tried
  scripts.refusesToStart = false;
  int starts = scripts.Count(kScriptStart);
  pref.startKestrove();
  EXPECT_EQ(scripts.Count(kScriptStart), starts);

  scripts.installed = true;
  scripts.running = true;
  scripts.refusesToQuit = true;
  pref.checkIsRunning();
  alerts.Answer(0);  // OK: leave it
  pref.startStopKestrove();
  EXPECT_EQ(
      alerts.asked.back().text,
      "We were not able to stop Tarvex for Safari; sometimes it takes a minute to quit gracefully");
  EXPECT_EQ(alerts.asked.back().buttons, (std::vector<std::string>{"OK", "Force quit"}));
  EXPECT_EQ(scripts.Count(kScriptForceQuit), 0);
  EXPECT_TRUE(pref.kestroveForSafariIsRunning());
  alerts.Answer(1);  // Force quit
  pref.startStopKestrove();
  EXPECT_EQ(scripts.Count(kScriptForceQuit), 1);
  EXPECT_FALSE(pref.kestroveForSafariIsRunning());
  EXPECT_EQ(button("startStopButton").title(), "Start Tarvex");
}

TEST_F(PaneTest, ResetRemovesNothingUnlessTheAgentStopped) {
  WriteFile({{"syncStamp", "S"}, {"topRevision", "42"}, {"authtoken", "T"}, {"username", "alice"}});
  settings.loadFromFile();
  scripts.running = true;
  Open();

  alerts.Answer(1);  // Cancel
  pref.resetTarvex();
  EXPECT_EQ(scripts.Count(kScriptResetFiles), 0);

  scripts.refusesToQuit = true;
  alerts.Answer(0);  // Yes
  alerts.Answer(0);  // OK: do not force
  pref.resetTarvex();
  EXPECT_EQ(alerts.asked.back().text,
            "Could not stop Tarvex for Safari.  Please try the reset again.");
  EXPECT_EQ(scripts.Count(kScriptResetFiles), 0);
  EXPECT_EQ(FileValue("syncStamp"), "S");

  // Forced out: the reset goes on.
  for (int answer : {0, 1, 0}) alerts.Answer(answer);  // Yes, Force quit, OK
  pref.resetTarvex();
  EXPECT_EQ(scripts.Count(kScriptResetFiles), 1);
  EXPECT_EQ(alerts.asked.back().text, "Reset complete, we will restart Tarvex for Safari.");
  EXPECT_EQ(FileValue("syncStamp"), "");
  EXPECT_EQ(FileValue("topRevision"), "0");
  EXPECT_EQ(FileValue("authtoken"), "T");
  EXPECT_EQ(FileValue("username"), "alice");
  EXPECT_TRUE(scripts.running);  // restarted
}

TEST_F(PaneTest, ResetTakesTheAgentsLastSaveAndSetsOnlyKeysThatHaveValues) {
  Open();
  WriteFile({{"lastSyncTime", "late"}, {"autoSync", "false"}});  // saved by the agent as it quit
  alerts.Answer(0);
  pref.resetTarvex();
  EXPECT_EQ(FileValue("lastSyncTime"), "late");
  EXPECT_EQ(FileValue("autoSync"), "false");
  EXPECT_EQ(FileValue("syncStamp"), "<none>");
  EXPECT_EQ(FileValue("topRevision"), "<none>");
}

TEST_F(PaneTest, ToolsRunTheirScripts) {
  Open();
  alerts.Answer(1);
  pref.clearLog();
  EXPECT_EQ(scripts.Count(kScriptClearLog), 0);
  EXPECT_EQ(alerts.asked.back().title, "Tarvex Log");
  alerts.Answer(0);
  pref.clearLog();
  EXPECT_EQ(scripts.Count(kScriptClearLog), 1);
  pref.showLog();
  pref.archiveTarvex();
  pref.goToHelp();
  pref.goToWwwKestrove();
  settings.setKeyForValue("encryptionType", "0");
  pref.goToMyKestrove();
  EXPECT_EQ(scripts.Count(kScriptOpenLog), 1);
  EXPECT_EQ(scripts.Count(kScriptArchiveTarvex), 1);
  EXPECT_EQ(scripts.Count(GoToHelpScript()), 1);
  EXPECT_EQ(scripts.Count(GoToWwwKestroveScript()), 1);
  EXPECT_EQ(scripts.texts.back(), OpenLocationScript(AccountPageAddress("0")));
  EXPECT_EQ(scripts.texts.back().find("https"), std::string::npos);
}

}  // namespace
}  // namespace tarvex::pane
