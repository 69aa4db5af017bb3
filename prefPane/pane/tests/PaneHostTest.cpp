#include <gtest/gtest.h>

#include "platform/testing/Presenters.h"
#include "prefPane/pane/tests/PaneFixture.h"

namespace tarvex::pane {
namespace {

class PaneHostTest : public PaneTest {
 protected:
  PaneHostTest() : host(pref, model, loop) { PaneHost::ServeWindowMessages(loop); }

  // Turns of the loop until `done` (the script's inputs arrive as posted
  // messages); a bounded number of turns, never a wait on the clock.
  bool Turn(const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i) loop.RunOnce(10);
    return done();
  }
  const ControlState* Shown(const std::string& name) {
    latest = script->Latest(kPaneTemplate);
    return latest ? latest->Find(host.ControlId(name)) : nullptr;
  }

  testing::ScopedScript script;
  PaneHost host;
  std::optional<DialogSnapshot> latest;
};

TEST_F(PaneHostTest, APersonsClickInTheViewIsSavedAndToldToTheAgent) {
  script->Dialog(kPaneTemplate)
      .Expect(host.ControlId("runningStatusText"), "Tarvex is not running", true)
      .Expect(host.ControlId("loginStatusText"), "Not logged in", true)
      .Check(host.ControlId("autoSyncButton"), false)
      .Select(host.ControlId("encryptionMenu"), "No Encryption");
  ASSERT_TRUE(host.Open());
  ASSERT_TRUE(Turn([&] { return FileValue("encryptionType") == "0"; }));
  EXPECT_TRUE(script->Failures().empty()) << ::testing::PrintToString(script->Failures());
  EXPECT_EQ(FileValue("autoSync"), "false");
  EXPECT_EQ(SentExcept(KVActionArrangeInFront),
            (std::vector<std::string>{KVActionUpdatePrefs, KVActionUpdatePrefs}));

  // The view shows the pane's controls; what lives on the tab taken away is
  // not shown, and the update indicator only while it turns.
  ASSERT_NE(Shown("autoSyncButton"), nullptr);
  EXPECT_FALSE(Shown("autoSyncButton")->checked);
  EXPECT_TRUE(Shown("autoSyncButton")->visible);
  EXPECT_FALSE(Shown("EnableBIB")->visible);
  EXPECT_FALSE(Shown("updateCheckIndicator")->visible);
  EXPECT_EQ(Shown("prefsTabView")->text, "General | Account | Advanced");
  EXPECT_EQ(Shown("encryptionMenu")->selected, 0);

  // A change the agent makes reaches the view.
  WriteFile({{"username", "alice@example.com"}});
  FromAgent({{"action", KVActionUpdatePrefs}, {"username", kUser}});
  EXPECT_TRUE(
      Turn([&] { return Shown("loginStatusText")->text == "Logged in as alice@example.com"; }));

  host.Close();
  EXPECT_TRUE(host.closed());
  EXPECT_FALSE(pref.timerScheduled());
}

TEST_F(PaneHostTest, ClosingTheViewLeavesThePane) {
  script->Dialog(kPaneTemplate).Close();
  ASSERT_TRUE(host.Open());
  EXPECT_TRUE(pref.timerScheduled());
  EXPECT_TRUE(Turn([&] { return host.closed(); }));
  EXPECT_FALSE(pref.timerScheduled());
}

TEST(DialogAlerts, AnswerTheButtonPressedOrNoneWhenClosed) {
  testing::ScopedScript script;
  script->Dialog(kAlertTemplate)
      .Expect(kAlertText, "Could not stop", false)
      .Expect(kAlertFirstButton + 1, "Force quit", true)
      .Press(kAlertFirstButton + 1);
  script->Dialog(kAlertTemplate).Key(DialogKey::Escape);
  DialogAlerts alerts;
  EXPECT_EQ(alerts.Alert("", "Could not stop it", {"OK", "Force quit"}), 1);
  EXPECT_EQ(alerts.Alert("Reset Tarvex for Safari", "Sure?", {"Yes", "Cancel"}), -1);
  EXPECT_TRUE(script->Failures().empty()) << ::testing::PrintToString(script->Failures());
}

}  // namespace
}  // namespace tarvex::pane
