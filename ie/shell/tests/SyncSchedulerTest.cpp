// The scheduler: the status's display in the tray, the back-off after
// failures, the automatic tick's decisions, and the user's actions under the
// sync mutex with their errors, the profile's restore, the success page,
// and one action at a time.
#include <gtest/gtest.h>

#include "ie/foundation/core/VelkException.h"
#include "ie/shell/tests/ShellFixture.h"
#include "platform/win/Tray.h"

namespace tarvex {
namespace {

using testing::ShellFixture;

using SyncSchedulerTest = ShellFixture;

TEST_F(SyncSchedulerTest, EachStatusShowsItsIconTipAndBalloonAndLeavesItsStatus) {
  struct Case {
    int status;
    int icon;
    const char* tip;
    const char* balloon;  // title: text, or "" for none
    uint32_t flags;
    int stored;
  };
  const Case cases[] = {
      {101, 277, "An error occurred during synchronization",
       "Synchronization Error: An error occurred during synchronization", 3, 101},
      {102, 108, "Tarvex for IE",
       "Synchronization Cancelled: Tarvex synchronization has been cancelled", 1, 108},
      {103, 108, "Tarvex for IE", "Synchronization Complete: Your Favorites are up to date", 1,
       108},
      {105, 108, "Tarvex for IE", "Synchronization Complete: Your Favorites are up to date", 1,
       108},
      {109, 108, "Tarvex for IE", "Synchronization Complete: Your Favorites are up to date", 1,
       108},
      {106, 276, "Tarvex has changes to synchronize", "", 0, 106},
      {108, 108, "Tarvex for IE", "", 0, 108},
      {1528, 294, "Tarvex synchronization in process",
       "Synchronization Started: Tarvex is synchronizing your Favorites", 1, 107},
      {1530, 294, "Tarvex synchronization in process",
       "Synchronization Started: Tarvex is downloading your Favorites", 1, 107},
      {1531, 294, "Tarvex synchronization in process",
       "Synchronization Started: Tarvex is uploading your Favorites", 1, 107},
      {1539, 294, "Tarvex synchronization in process",
       "Synchronization Started: Tarvex is repairing your Favorites", 1, 107},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    tray_.RemoveTrayIcon();  // so that every status shows anew
    const size_t balloons = script_->Balloons().size();
    scheduler_.SetStatus(c.status);
    ASSERT_EQ(TrayIcons().size(), 1u);
    EXPECT_EQ(TrayIcons()[0].icon, c.icon);
    EXPECT_EQ(TrayIcons()[0].tip, c.tip);
    EXPECT_EQ(TrayIcons()[0].callbackMessage, 1065u);
    EXPECT_EQ(TrayIcons()[0].id, 1337u);
    const auto shown = script_->Balloons();
    if (*c.balloon) {
      ASSERT_EQ(shown.size(), balloons + 1);
      EXPECT_EQ(shown.back().title + ": " + shown.back().text, c.balloon);
      EXPECT_EQ(shown.back().flags, c.flags);
    } else {
      EXPECT_EQ(shown.size(), balloons);
    }
    EXPECT_EQ(Status(), c.stored);
  }
  for (int bad : {107, 0, 1537}) {
    settings_.SetInt("syncstatus", bad, true);
    EXPECT_THROW(scheduler_.UpdateSystrayDisplay(), VelkException) << bad;
  }
}

TEST_F(SyncSchedulerTest, TheSameIconTwiceKeepsItsTipAndTheTrayCanBeSwitchedOff) {
  scheduler_.SetStatus(101);
  scheduler_.SetStatus(102);  // icon 108
  const size_t balloons = script_->Balloons().size();
  scheduler_.SetStatus(108);  // icon 108 again: no change
  EXPECT_EQ(TrayIcons()[0].tip, "Tarvex for IE");
  EXPECT_EQ(script_->Balloons().size(), balloons);

  settings_.SetBool("showintray", false, true);
  scheduler_.SetStatus(108);
  EXPECT_TRUE(TrayIcons().empty()) << "switched off while idle";
  scheduler_.SetStatus(1528);
  EXPECT_EQ(TrayIcons().size(), 1u) << "a sync that starts still shows";
}

TEST_F(SyncSchedulerTest, FailuresBackOffDoublingFromTheBaseUpToSevenSteps) {
  const int64_t now = clock_.Now();
  const int minutes[] = {15, 30, 60, 120, 240, 480, 960, 960};
  for (int i = 0; i < 8; ++i) {
    settings_.DeleteValue("backoffuntil");
    scheduler_.RecordSyncFailure("failure " + std::to_string(i + 1));
    EXPECT_EQ(settings_.GetInt("failurecount", 0), std::min(i + 1, 7));
    EXPECT_EQ(settings_.GetInt64("backoffuntil", 0), now + minutes[i] * 60) << i + 1;
  }
  EXPECT_EQ(settings_.GetValue("errordetails", ""), "failure 1") << "the first one is kept";
  EXPECT_EQ(Status(), 101);
  // A later back-off never shortens one already set.
  settings_.SetInt64("backoffuntil", now + 100000, true);
  scheduler_.RecordSyncFailure("again");
  EXPECT_EQ(settings_.GetInt64("backoffuntil", 0), now + 100000);
}

TEST_F(SyncSchedulerTest, TheTickSyncsTabsAndChecksTheVersionWhenEachIsDue) {
  const int64_t now = clock_.Now();
  struct Case {
    const char* name;
    bool autosync;
    int64_t backoffSecondsAhead;
    int status;
    int64_t lastsyncAgo;  // 0: never
    int64_t lasttabsAgo;
    int64_t lastupdateAgo;
    int64_t startedAgo;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"nothing due", true, -1, 108, 60, 30, 3600, 1000, {}},
      {"autosync off: only the daily version check", false, -1, 106, 99999, 99999, 90000, 1000,
       {"version (automatic)"}},
      {"changes waiting sync at once", true, -1, 106, 60, 30, 3600, 1000, {"sync (automatic)"}},
      {"the frequency passed", true, -1, 108, 3601, 30, 3600, 1000, {"sync (automatic)"}},
      {"never synced: counted from the start", true, -1, 108, 0, 30, 3600, 3601,
       {"sync (automatic)"}},
      {"backing off: no sync, no tabs", true, 60, 106, 99999, 99999, 3600, 1000, {}},
      {"tabs due", true, -1, 108, 60, 61, 3600, 1000, {"tabs (automatic)"}},
      {"version check waits for the quiet time after the start", true, -1, 108, 60, 30, 90000,
       300, {}},
      {"version and sync", true, -1, 106, 60, 30, 90000, 301,
       {"sync (automatic)", "version (automatic)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sync_->calls.clear();
    settings_.SetBool("autosync", c.autosync, true);
    settings_.SetInt64("backoffuntil", now + c.backoffSecondsAhead, true);
    settings_.SetInt("syncstatus", c.status, true);
    settings_.SetInt64("lastsync", c.lastsyncAgo ? now - c.lastsyncAgo : 0, true);
    settings_.SetInt64("lasttabsync", now - c.lasttabsAgo, true);
    settings_.SetInt64("lastupdatetime", now - c.lastupdateAgo, true);
    settings_.SetInt64("starttime", now - c.startedAgo, true);
    scheduler_.AutoSyncTick();
    EXPECT_EQ(calls(), c.calls);
  }
}

TEST_F(SyncSchedulerTest, AfterTheTicksSyncChangesWaitingStayUnlessItCommitted) {
  settings_.SetBool("autosync", true, true);
  struct Case {
    const char* name;
    int before;
    int flowLeaves;  // status the sync flow stores
    bool commits;
    int after;
  };
  const Case cases[] = {
      {"committed", 106, 105, true, 108},
      {"cancelled: the changes still wait", 106, 102, false, 106},
      {"failed", 106, 101, false, 101},
      {"a sync by frequency that did nothing", 108, 102, false, 108},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_.SetInt("syncstatus", c.before, true);
    settings_.SetInt64("lastsync", clock_.Now() - 99999, true);
    sync_->onCall = [&](const std::string&) {
      settings_.SetInt("syncstatus", c.flowLeaves, true);
      if (c.commits) settings_.SetInt64("lastsync", clock_.Now(), true);
    };
    scheduler_.HandleUIMessage(kActionTick, true);
    EXPECT_EQ(Status(), c.after);
  }
}

TEST_F(SyncSchedulerTest, AnActionIsDroppedWhileTheMutexIsHeldElsewhereOrAnActionRuns) {
  // Held by another thread (another process is the same to the mutex).
  HeldElsewhere(kSyncMutexName, [&] { scheduler_.HandleUIMessage(kActionSyncNow, true); });
  EXPECT_TRUE(calls().empty());
  EXPECT_NE(Log().find("Already processing UI action, ignoring command"), std::string::npos);
  EXPECT_EQ(settings_.GetInt("syncstatus", 108), 108) << "nothing changed";

  // A tray click that a dialog's loop dispatches in the middle of a sync.
  sync_->onCall = [this](const std::string& call) {
    if (call == "sync") scheduler_.HandleUIMessage(kActionDownload, true);
  };
  scheduler_.HandleUIMessage(kActionSyncNow, true);
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"}) << "no second flow inside the first";
  sync_->onCall = nullptr;
  scheduler_.HandleUIMessage(kActionSyncNow, true);
  EXPECT_EQ(calls().size(), 2u) << "free again afterwards";
}

TEST_F(SyncSchedulerTest, UnknownActionsAreIgnoredNotCountedAsFailures) {
  for (int action : {1526, 1527, 1529, 1533, 1536, 1540, 42, -1}) {
    scheduler_.HandleUIMessage(action, true);
  }
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(settings_.GetInt("failurecount", 0), 0);
  EXPECT_FALSE(settings_.HasValue("backoffuntil"));
}

TEST_F(SyncSchedulerTest, ErrorsOfTheFlowAreRecordedAndSomeOfferTheirWayOut) {
  struct Case {
    const char* name;
    std::function<void()> fail;
    std::vector<int> answers;
    std::vector<std::string> calls;
    std::vector<std::string> opened;
    const char* question;
  };
  const Case cases[] = {
      {"out of date: its page opens",
       [] { throw VelkException("network", -60, "https://tarvex.example/update"); },
       {kButtonOK},
       {"sync"},
       {"https://tarvex.example/update"},
       "Your Tarvex extension is out of date and needs to be upgraded."},
      {"out of date with a page that is no web address: nothing opens",
       [] { throw VelkException("network", -60, "file:///etc/passwd"); },
       {kButtonOK, kButtonOK},
       {"sync"},
       {},
       "Your Tarvex extension is out of date and needs to be upgraded."},
      {"nothing on the service, upload: a new action",
       [] { throw VelkException("network", -62, "no data"); },
       {kButtonContinue},
       {"sync", "upload"},
       {},
       "You don't appear to have any Favorites on the Tarvex servers, would you like to upload "
       "your current IE Favorites to Tarvex now?"},
      {"nothing on the service, cancel", [] { throw VelkException("network", -62, "no data"); },
       {kButtonCancel},
       {"sync"},
       {},
       "You don't appear to have any Favorites"},
      {"another exception", [] { throw std::runtime_error("bad"); }, {}, {"sync"}, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sync_->calls.clear();
    prompt_.asked.clear();
    opener_.opened.clear();
    settings_.DeleteValue("errordetails");
    for (int a : c.answers) prompt_.Script(a);
    bool first = true;
    sync_->onCall = [&](const std::string&) {
      if (first) {
        first = false;
        c.fail();
      }
    };
    scheduler_.HandleUIMessage(kActionSyncNow, true);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(opener_.opened, c.opened);
    if (c.question) {
      ASSERT_FALSE(prompt_.asked.empty());
      EXPECT_EQ(prompt_.asked[0].text.rfind(c.question, 0), 0u) << prompt_.asked[0].text;
    }
    EXPECT_TRUE(settings_.HasValue("errordetails"));
    if (calls().size() == 1) {
      EXPECT_EQ(Status(), 101);
    }
  }
  EXPECT_EQ(settings_.GetValue("errordetails", ""), "Unhandled exception encountered during sync");
}

TEST_F(SyncSchedulerTest, AfterADownloadTheOldProfileComesBackUnlessItCommitted) {
  struct Case {
    const char* name;
    bool switched;  // profileORIG/viewORIG saved before the download
    int result;
    bool throws;
    const char* profile;
    int view;
  };
  const Case cases[] = {
      {"a switch committed", true, 0, false, "Work", 7},
      {"a switch failed", true, -1, false, "<none>", 0},
      {"a switch refused by the service", true, 0, true, "<none>", 0},
      {"a plain download failed: nothing changes", false, -1, false, "Work", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_.SetValue("profile", "Work", true);
    settings_.SetInt("view", 7, true);
    if (c.switched) {
      settings_.SetValue("profileORIG", "<none>", false);
      settings_.SetInt("viewORIG", 0, false);
    }
    sync_->downloadResult = c.result;
    sync_->onCall = [&](const std::string&) {
      if (c.throws) throw VelkException("network", 500, "Server error");
    };
    scheduler_.HandleUIMessage(kActionDownload, false);
    EXPECT_EQ(settings_.GetValue("profile", ""), c.profile);
    EXPECT_EQ(settings_.GetInt("view", -1), c.view);
    EXPECT_FALSE(settings_.HasValue("profileORIG"));
    EXPECT_FALSE(settings_.HasValue("viewORIG"));
  }
}

TEST_F(SyncSchedulerTest, TheWizardsSuccessPageOpensOnlyWhenItsSyncCommitted) {
  settings_.SetValue("webserver", "https://www.tarvex.example", true);
  settings_.SetValue("kestroveversion", "1.3.5", true);
  scheduler_.wizardDialog = [] { return kActionMergeServerFirst; };
  for (bool commits : {false, true}) {
    SCOPED_TRACE(commits);
    opener_.opened.clear();
    sync_->onCall = [&](const std::string&) {
      settings_.SetInt("syncstatus", commits ? 105 : 101, true);
      if (commits) settings_.SetInt64("lastsync", clock_.Now(), true);
    };
    scheduler_.HandleUIMessage(kActionWizard, true);
    EXPECT_EQ(calls().back(), "merge 1535");
    EXPECT_EQ(opener_.opened, commits ? std::vector<std::string>{
                                            "https://www.tarvex.example/msie/success/1.3.5"}
                                      : std::vector<std::string>{});
    clock_.Advance(10);
  }
}

TEST_F(SyncSchedulerTest, AnActionThatEndsWithoutAStatusLeavesTheClientIdle) {
  // The flow returned without a final status (a question cancelled).
  scheduler_.HandleUIMessage(kActionSyncNow, true);
  EXPECT_EQ(Status(), 108);
  ASSERT_EQ(TrayIcons().size(), 1u);
  EXPECT_EQ(TrayIcons()[0].icon, 108) << "the tray no longer shows a sync";
}

TEST_F(SyncSchedulerTest, TheShutdownSyncRunsOnlyWhenWantedAndAgreedTo) {
  struct Case {
    bool syncshutdown;
    bool ask;
    int answer;
    bool syncs;
  };
  const Case cases[] = {
      {false, false, 0, false}, {true, false, 0, true}, {true, true, kButtonOK, true},
      {true, true, kButtonCancel, false},
  };
  for (const Case& c : cases) {
    sync_->calls.clear();
    prompt_.asked.clear();
    settings_.SetBool("syncshutdown", c.syncshutdown, true);
    settings_.SetBool("synchshutdownask", c.ask, true);
    if (c.answer) prompt_.Script(c.answer);
    scheduler_.SyncOnShutdown();
    EXPECT_EQ(!calls().empty(), c.syncs) << c.syncshutdown << c.ask << c.answer;
    EXPECT_EQ(prompt_.asked.size(), c.ask && c.syncshutdown ? 1u : 0u);
  }
}

TEST_F(SyncSchedulerTest, OneSettingsDialogAtATimeShownAgainWhileItAsksTo) {
  std::vector<int> results = {kActionShowSettingsAgain, kActionShowSettingsAgain, kActionSyncNow};
  int shown = 0;
  scheduler_.settingsDialog = [&] {
    // Another start of the dialog meanwhile gets nothing.
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
    return results[shown++];
  };
  EXPECT_EQ(scheduler_.ShowSettings(), kActionSyncNow);
  EXPECT_EQ(shown, 3);

  HeldElsewhere(kSettingsMutexName, [&] {
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone) << "open in another process";
  });
  EXPECT_EQ(shown, 3);

  // Not over the wizard either.
  scheduler_.wizardDialog = [&] { return scheduler_.ShowSettings(); };
  shown = 2;
  EXPECT_EQ(scheduler_.RunSetupWizard(), kActionNone);
  EXPECT_EQ(shown, 2);
}

}  // namespace
}  // namespace tarvex
