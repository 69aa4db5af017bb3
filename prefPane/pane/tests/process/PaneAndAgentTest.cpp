// The pane and the agent's launcher as two processes of one user: settings
// through the shared file, notifications through the bus, the agent started,
// stopped and reset by the pane's scripts. The agent runs the script of
// tests/process/agent. Waits are bounded polls of the real process table
// and bus.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/mac/System.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"
#include "prefPane/core/PaneScripts.h"
#include "prefPane/core/ProcessTable.h"
#include "prefPane/pane/PaneHost.h"

namespace tarvex::pane {
namespace {

namespace fs = std::filesystem;

TEST(PaneAndAgent, ExchangeSettingsAndNotificationsStartStopAndReset) {
  testing::TempDir home;
  testing::ScopedEnv env;
  env.Set("HOME", home.path().c_str());
  env.Set("TARVEX_RUNTIME_DIR", (home / "run").c_str());
  env.Set("TARVEX_RESOURCES", PANE_AGENT_RESOURCES);
  env.Set("TARVEX_AGENT_PROGRAM", nullptr);

  PaneScriptEnvironment environment = PaneScriptEnvironment::ForCurrentUser();
  environment.waitLimitMs = 20000;
  PaneScriptRunner scripts(environment);
  mac::SocketNotificationCenter center(home / "run");
  RecordingAlerts alerts;
  RunLoop loop(Clock::System());
  KestroveSettings settings =
      KestroveSettings::withDefaults(home / "Library/Tarvex/prefs.plist", "Mac");
  KestrovePref pref(
      PaneServices{settings, scripts, center, alerts, loop, [] { return mac::NewDict(); },
                   home / "Library/Preferences/loginwindow.plist", mac::UserName(), 20});
  ControlModel model;
  BuildPaneView(model);
  PaneHost host(pref, model, loop);
  host.BindOutlets();
  pref.init();
  pref.awakeFromNib();
  ASSERT_FALSE(pref.kestroveForSafariIsRunning());
  auto received = [&] { return testing::ReadAll(home / "agent-received.txt"); };
  auto agents = [&] { return FindProcesses(kAgentName, getuid()); };

  // A sync asked of a stopped agent: it starts, says so, gets "sync" and its
  // saved result comes back to the pane's view.
  pref.syncNow();
  ASSERT_EQ(agents().size(), 1u) << received();
  auto& status = dynamic_cast<TextField&>(*model.Find("syncStatusText"));
  EXPECT_TRUE(
      loop.RunUntil([&] { return status.stringValue() == "Synchronized successfully"; }, 20))
      << received();
  EXPECT_NE(received().find("started\nsync\n"), std::string::npos) << received();

  // A setting changed in the pane reaches the agent's own settings.
  dynamic_cast<Button&>(*model.Find("autoSyncButton")).setState(kStateOff);
  pref.changePrefs();
  EXPECT_TRUE(
      loop.RunUntil([&] { return received().find("autoSync=false") != std::string::npos; }, 20))
      << received();

  // Reset: the agent stopped, its files removed, the settings' stamps reset,
  // the agent started again.
  testing::WriteAll(home / "Library/Tarvex/native.plist", "x");
  testing::WriteAll(home / "Library/Tarvex/tree.json", "{}");
  settings.setKeyForValue(kSettingTopRevision, "42");
  settings.save();
  pid_t before = agents().at(0);
  alerts.Answer(0);  // Yes
  alerts.Answer(0);  // Reset complete: OK
  pref.resetTarvex();
  EXPECT_NE(received().find("quit\n"), std::string::npos) << received();
  EXPECT_FALSE(fs::exists(home / "Library/Tarvex/native.plist"));
  EXPECT_FALSE(fs::exists(home / "Library/Tarvex/tree.json"));
  EXPECT_NE(testing::ReadAll(home / "Library/Tarvex/tarvex.log.txt").find("RESET INITIATED ==="),
            std::string::npos);
  ASSERT_EQ(agents().size(), 1u);
  EXPECT_NE(agents().at(0), before);
  KestroveSettings reread = KestroveSettings::withDefaults(settings.path(), "Mac");
  EXPECT_EQ(reread.getValueForKey(kSettingTopRevision).value_or(""), "0");

  pref.stopKestrove();
  EXPECT_TRUE(agents().empty());
  EXPECT_FALSE(pref.kestroveForSafariIsRunning());
  for (const auto& a : alerts.asked)
    EXPECT_NE(a.text, "We were unable to launch the sync application");
}

}  // namespace
}  // namespace tarvex::pane
