// A pane on fakes: its settings in a temporary home, a scripted agent, the
// recording notification center, answered alerts, a fake clock, a proxy
// dictionary of the test's; the view's controls bound by name.
#pragma once

#include <gtest/gtest.h>

#include "platform/clock/Clock.h"
#include "platform/mac/Notifications.h"
#include "platform/mac/Plist.h"
#include "platform/testing/TempDir.h"
#include "prefPane/core/KestroveSettings.h"
#include "prefPane/core/PaneScripts.h"
#include "prefPane/pane/Alerts.h"
#include "prefPane/pane/KestrovePref.h"
#include "prefPane/pane/PaneHost.h"

namespace tarvex::pane {

inline constexpr char kUser[] = "alice";

class PaneTest : public ::testing::Test {
 protected:
  PaneTest()
      : settings(KestroveSettings::withDefaults(home / "Library/Tarvex/prefs.plist", "Mac")),
        loop(clock),
        pref(PaneServices{settings, scripts, center, alerts, loop, [this] { return proxies; },
                          home / "Library/Preferences/loginwindow.plist", kUser}) {
    BuildPaneView(model);
    PaneHost host(pref, model, loop);
    EXPECT_TRUE(host.BindOutlets().empty());
  }

  // The life cycle as the host runs it (without a view).
  void Open() {
    pref.init();
    pref.awakeFromNib();
    pref.mainViewDidLoad();
    pref.willSelect();
  }

  Button& button(const std::string& name) { return dynamic_cast<Button&>(*model.Find(name)); }
  TextField& field(const std::string& name) { return dynamic_cast<TextField&>(*model.Find(name)); }

  // What the agent would find in the file.
  mac::DictRef File() {
    mac::PlistRead read = mac::ReadPlistDict(settings.path());
    return read.dict ? read.dict : mac::NewDict();
  }
  std::string FileValue(const std::string& key) {
    mac::DictRef file = File();
    auto it = file->find(key);
    return it == file->end() ? "<none>" : it->second.AsString();
  }
  void WriteFile(mac::Dict values) {
    ASSERT_EQ(mac::WritePlistDictAtomically(settings.path(), mac::NewDict(std::move(values))), "");
  }

  // The actions the pane sent, in order.
  std::vector<std::string> Sent() {
    std::vector<std::string> actions;
    for (const auto& n : center.Posted())
      if (n.name == KVSendNotificationName) actions.push_back((*n.userInfo)["action"].AsString());
    return actions;
  }
  std::vector<std::string> SentExcept(const std::string& skipped) {
    std::vector<std::string> actions;
    for (const auto& a : Sent())
      if (a != skipped) actions.push_back(a);
    return actions;
  }
  // The agent telling the pane something.
  void FromAgent(mac::Dict info) {
    center.Post(KVReceiveNotificationName, mac::NewDict(std::move(info)));
  }

  testing::TempDir home;
  KestroveSettings settings;
  FakeScriptRunner scripts;
  mac::RecordingNotificationCenter center;
  RecordingAlerts alerts;
  FakeClock clock{1'800'000'000};
  RunLoop loop;
  mac::DictRef proxies = mac::NewDict();
  ControlModel model;
  KestrovePref pref;
};

}  // namespace tarvex::pane
