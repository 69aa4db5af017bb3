// Ready to sync: the plan and its warning for each action, the way round
// Sync Settings, the profile offered on a first sync (stored with its view,
// undone on a cancel), the profiles the service does not give; the conflict
// questions, their answers and descriptions, also asked in the middle of an
// action.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ie/foundation/core/VelkException.h"
#include "ie/shell/dialogs/ReadyToSync.h"
#include "ie/shell/tests/ShellFixture.h"
#include "nodeset/Node.h"

namespace tarvex {
namespace {

using testing::ShellFixture;

struct Plan {
  int action;
  int radio;  // of Sync Settings; 0: none
  const char* plan;
  const char* warning;
};
const Plan kPlans[] = {
    {1534, 266, "Tarvex will now merge Favorites, starting with local Favorites.", ""},
    {1535, 267, "Tarvex will now merge Favorites, starting with server Favorites.", ""},
    {1531, 268, "Tarvex will now upload Favorites to the server.",
     "Note: This will ERASE Favorites currently on the server."},
    {1530, 269, "Tarvex will now download Favorites from the server.",
     "Note: This will ERASE Favorites currently on this computer."},
    {1539, 0, "Tarvex will now repair your Favorites.", ""},
};
const Plan& PlanOf(int action) {
  for (const Plan& p : kPlans)
    if (p.action == action) return p;
  throw std::logic_error("no plan for " + std::to_string(action));
}

class ReadyToSyncTest : public ShellFixture {
 protected:
  void SyncedBefore() { settings_.SetInt64("lastsync", clock_.Now() - 3600, true); }
  void Profiles(const char* json) { Json::Reader().parse(json, sync_->profiles); }
  void UseProfile(const std::string& name, int view) {
    settings_.SetValue("profile", name, true);
    settings_.SetInt("view", view, true);
  }
  std::string Profile() { return settings_.GetValue("profile", "<none>"); }
  int View() { return settings_.GetInt("view", 0); }
  // The script ran to its end and nothing else was shown.
  void ScriptDone() {
    EXPECT_EQ(script_->Failures(), std::vector<std::string>{});
    EXPECT_EQ(script_->Unconsumed(), 0u);
  }
  // The ready-to-sync dialog `templateId` expecting `action`'s plan and
  // (when `warning`) its warning.
  ScriptedPresenter& Ready(int templateId, int action, bool warning) {
    const Plan& p = PlanOf(action);
    return script_->Dialog(templateId)
        .Expect(kReadyPlan, p.plan, true)
        .Expect(kReadyWarning, warning ? p.warning : "", true);
  }
};

TEST_F(ReadyToSyncTest, ThePlanAndItsWarningFollowTheActionAndTheFlag) {
  SyncedBefore();
  for (const Plan& p : kPlans) {
    for (bool warning : {false, true}) {
      SCOPED_TRACE(::testing::Message() << p.action << (warning ? " with" : " without"));
      Ready(kReadyToSyncTemplate, p.action, warning)
          .Expect(0xFFFF, "You are now ready to synchronize your Favorites.", true)
          .Press(kReadySynchronize);
      EXPECT_EQ(scheduler_.ShowReadyToSync(p.action, warning), p.action);
      ScriptDone();
    }
  }
  const auto shown = script_->Latest(kReadyToSyncTemplate);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->title, "Ready to Sync");
  EXPECT_EQ(shown->defaultControl, kReadySynchronize);
  EXPECT_EQ(shown->Find(kReadyProfileList), nullptr);
  EXPECT_EQ(calls(), std::vector<std::string>{}) << "no profiles after a first sync";
}

TEST_F(ReadyToSyncTest, EnterSynchronizesAndCancelEscapeOrTheCloseBoxStartNothing) {
  SyncedBefore();
  struct Case {
    const char* name;
    std::function<void(ScriptedPresenter&)> act;
    int result;
  };
  const Case cases[] = {
      {"Enter", [](ScriptedPresenter& s) { s.Key(DialogKey::Enter); }, 1530},
      {"Cancel", [](ScriptedPresenter& s) { s.Press(IDCANCEL); }, 1525},
      {"Escape", [](ScriptedPresenter& s) { s.Key(DialogKey::Escape); }, 1525},
      {"close box", [](ScriptedPresenter& s) { s.Close(); }, 1525},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.act(script_->Dialog(kReadyToSyncTemplate));
    EXPECT_EQ(scheduler_.ShowReadyToSync(1530, true), c.result);
    ScriptDone();
  }
  // Sync Settings cancelled earlier: nothing to confirm.
  EXPECT_EQ(scheduler_.ShowReadyToSync(1532, true), 1525);
  EXPECT_EQ(calls(), std::vector<std::string>{});
}

TEST_F(ReadyToSyncTest, SyncSettingsStartsFromTheActionAndTheChoiceComesBackWithItsWarning) {
  SyncedBefore();
  struct Case {
    int shown;
    int check;   // the radio the user checks; 0: none
    int button;  // IDOK or IDCANCEL
    int result;  // of ShowReadyToSync
  };
  const Case cases[] = {
      // OK at once keeps the action the dialog was shown with.
      {1534, 0, IDOK, 1534},
      {1535, 0, IDOK, 1535},
      {1531, 0, IDOK, 1531},
      {1530, 0, IDOK, 1530},
      {1539, 0, IDOK, 1539},  // no radio of its own
      // Each radio gives its action.
      {1539, 266, IDOK, 1534},
      {1534, 267, IDOK, 1535},
      {1534, 268, IDOK, 1531},
      {1534, 269, IDOK, 1530},
      {1530, 266, IDOK, 1534},
      // Cancel changes nothing and starts nothing.
      {1530, 266, IDCANCEL, 1525},
      {1539, 0, IDCANCEL, 1525},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.shown << " check " << c.check << " press " << c.button);
    Ready(kReadyToSyncTemplate, c.shown, false).Press(kReadyChangeSettings);
    script_->Dialog(kSyncSettingsTemplate)
        .Expect(0xFFFF, "How do you want Tarvex to perform initial synchronization?", true);
    if (c.check) script_->Check(c.check, true);
    script_->Press(c.button);
    if (c.button == IDOK) Ready(kReadyToSyncTemplate, c.result, true).Press(kReadySynchronize);
    EXPECT_EQ(scheduler_.ShowReadyToSync(c.shown, false), c.result);
    ScriptDone();
    // One radio at most is checked, the one of the action chosen.
    const auto settings = script_->Latest(kSyncSettingsTemplate);
    ASSERT_TRUE(settings);
    const int chosen = c.check ? c.check : PlanOf(c.shown).radio;
    for (int radio : {266, 267, 268, 269})
      EXPECT_EQ(settings->Find(radio)->checked, radio == chosen) << radio;
  }
  // The radios from the top down, as a person reads them.
  const auto settings = script_->Latest(kSyncSettingsTemplate);
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->title, "Sync Settings");
  EXPECT_EQ(settings->defaultControl, IDOK);
  std::vector<int> order;
  for (const ControlState& c : settings->controls)
    if (c.kind == ControlKind::Radio) order.push_back(c.id);
  EXPECT_EQ(order, (std::vector<int>{266, 267, 269, 268}));
  EXPECT_LT(settings->Find(266)->y, settings->Find(267)->y);
  EXPECT_LT(settings->Find(269)->y, settings->Find(268)->y);
}

TEST_F(ReadyToSyncTest, TheProfileIsOfferedOnlyOnAFirstSyncOfAnAccountWithProfiles) {
  struct Case {
    const char* name;
    bool syncedBefore;
    const char* profiles;
    int templateId;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"never synced, profiles",
       false,
       R"({"Work":"3"})",
       kReadyToSyncProfilesTemplate,
       {"profiles"}},
      {"never synced, none", false, "{}", kReadyToSyncTemplate, {"profiles"}},
      {"never synced, only <none>", false, R"({"<none>":"4"})", kReadyToSyncTemplate, {"profiles"}},
      {"synced before", true, R"({"Work":"3"})", kReadyToSyncTemplate, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sync_->calls.clear();
    settings_.SetInt64("lastsync", c.syncedBefore ? clock_.Now() : 0, true);
    Profiles(c.profiles);
    Ready(c.templateId, 1534, false).Press(kReadySynchronize);
    EXPECT_EQ(scheduler_.ShowReadyToSync(1534, false), 1534);
    EXPECT_EQ(calls(), c.calls);
    ScriptDone();
  }
  const auto shown = script_->Latest(kReadyToSyncProfilesTemplate);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->title, "Ready to Sync");
  EXPECT_EQ(shown->Find(kReadyProfileList)->kind, ControlKind::ComboBox);
}

TEST_F(ReadyToSyncTest, TheChosenProfileIsStoredWithItsViewAndACancelUndoesIt) {
  using Steps = std::function<void()>;
  struct Case {
    const char* name;
    const char* profile;  // before
    int view;
    Steps steps;
    int result;
    const char* profileAfter;
    int viewAfter;
  };
  const Steps chooseWork = [&] {
    script_->Dialog(kReadyToSyncProfilesTemplate).Select(kReadyProfileList, "Work");
  };
  // Work chosen, then round Sync Settings to a download.
  const Steps workThenDownload = [&] {
    chooseWork();
    script_->Press(kReadyChangeSettings);
    script_->Dialog(kSyncSettingsTemplate).Check(269, true).Press(IDOK);
  };
  const Case cases[] = {
      {"Work chosen", "<none>", 0,
       [&] {
         chooseWork();
         script_->Press(kReadySynchronize);
       },
       1534, "Work", 3},
      {"back to no profile", "Home", 5,
       [&] {
         script_->Dialog(kReadyToSyncProfilesTemplate)
             .Select(kReadyProfileList, "<none>")
             .Press(kReadySynchronize);
       },
       1534, "<none>", 0},
      // The current profile is selected at first: its view comes with it.
      {"the current one kept", "Home", 1,
       [&] { script_->Dialog(kReadyToSyncProfilesTemplate).Press(kReadySynchronize); }, 1534,
       "Home", 5},
      // Only the entry of the very name is selected.
      {"the one of its name, not its case", "home", 1,
       [&] { script_->Dialog(kReadyToSyncProfilesTemplate).Press(kReadySynchronize); }, 1534,
       "home", 8},
      {"one the account no longer has: nothing selected, nothing stored", "Wor", 9,
       [&] { script_->Dialog(kReadyToSyncProfilesTemplate).Press(kReadySynchronize); }, 1534, "Wor",
       9},
      {"a choice then Cancel", "<none>", 0,
       [&] {
         chooseWork();
         script_->Press(IDCANCEL);
       },
       1525, "<none>", 0},
      // Change sync settings stores the choice at once: a cancel later on
      // takes it back.
      {"a choice, Sync Settings cancelled", "<none>", 0,
       [&] {
         chooseWork();
         script_->Press(kReadyChangeSettings);
         script_->Dialog(kSyncSettingsTemplate).Check(269, true).Press(IDCANCEL);
       },
       1525, "<none>", 0},
      {"a choice, new settings, then Cancel", "Home", 5,
       [&] {
         workThenDownload();
         Ready(kReadyToSyncProfilesTemplate, 1530, true).Press(IDCANCEL);
       },
       1525, "Home", 5},
      // The dialog comes back with the profile chosen selected.
      {"a choice, new settings, then Synchronize", "<none>", 0,
       [&] {
         workThenDownload();
         Ready(kReadyToSyncProfilesTemplate, 1530, true).Press(kReadySynchronize);
       },
       1530, "Work", 3},
  };
  Profiles(R"({"Work":"3","Home":"5","home":"8"})");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseProfile(c.profile, c.view);
    c.steps();
    EXPECT_EQ(scheduler_.ShowReadyToSync(1534, false), c.result);
    ScriptDone();
    EXPECT_EQ(Profile(), c.profileAfter);
    EXPECT_EQ(View(), c.viewAfter);
  }
  const auto shown = script_->Latest(kReadyToSyncProfilesTemplate);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->Find(kReadyProfileList)->items,
            (std::vector<std::string>{"<none>", "Home", "home", "Work"}));
}

TEST_F(ReadyToSyncTest, ProfilesTheServiceDoesNotGiveEndItWithAnApology) {
  UseProfile("Home", 5);
  sync_->onCall = [](const std::string& call) {
    if (call == "profiles") throw VelkException("server", -61, "Service unavailable");
  };
  EXPECT_EQ(scheduler_.ShowReadyToSync(1534, true), 1525);
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].text,
            "We're sorry, but we're currently unable to access profiles on the Tarvex server. "
            "Please try again later.");
  EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonOK);
  EXPECT_EQ(prompt_.asked[0].buttons[1], kButtonHidden);
  ScriptDone();  // no dialog
  EXPECT_NE(Log().find("Service unavailable"), std::string::npos) << Log();
  EXPECT_EQ(Profile(), "Home");
  EXPECT_EQ(View(), 5);
}

// Forwards everything to the script, and asks the thread's loop to quit
// (the program's end) once the dialog `quitOn` shows.
class QuitWhenShown : public Presenter {
 public:
  QuitWhenShown(ScriptedPresenter& script, int quitOn) : script_(script), quitOn_(quitOn) {}
  void DialogShown(const DialogSnapshot& d) override {
    script_.DialogShown(d);
    if (d.templateId == quitOn_) PostQuitMessage(0);
  }
  void DialogChanged(const DialogSnapshot& d) override { script_.DialogChanged(d); }
  void DialogClosed(const HWND& d) override { script_.DialogClosed(d); }
  void TrayChanged(const std::vector<TrayIcon>& icons) override { script_.TrayChanged(icons); }
  void Balloon(const BalloonRecord& b) override { script_.Balloon(b); }
  void MenuShown(const MenuSnapshot& m) override { script_.MenuShown(m); }
  void MenuClosed(const HWND& m) override { script_.MenuClosed(m); }

 private:
  ScriptedPresenter& script_;
  int quitOn_;
};

TEST_F(ReadyToSyncTest, TheProgramsEndWhileTheDialogsShowStartsNothing) {
  Profiles(R"({"Work":"3"})");
  for (int quitOn : {kReadyToSyncProfilesTemplate, kSyncSettingsTemplate}) {
    SCOPED_TRACE(quitOn);
    UseProfile("Home", 5);
    script_->Dialog(kReadyToSyncProfilesTemplate);
    if (quitOn == kSyncSettingsTemplate) {
      script_->Select(kReadyProfileList, "Work").Press(kReadyChangeSettings);
      script_->Dialog(kSyncSettingsTemplate).Check(269, true);
    }
    auto saved = SetPresenter(std::make_shared<QuitWhenShown>(*script_, quitOn));
    const int result = scheduler_.ShowReadyToSync(1534, false);
    SetPresenter(saved);
    EXPECT_EQ(result, 1525);
    ScriptDone();
    EXPECT_EQ(Profile(), "Home");
    EXPECT_EQ(View(), 5);
    // The end goes on for the program's own loop.
    MSG msg;
    bool quit = false;
    while (PeekMessage(&msg)) quit = quit || msg.message == WM_QUIT;
    EXPECT_TRUE(quit);
  }
}

// ---- The conflict questions ----

Node MakeNode(const std::string& id, Attributes attributes) {
  return Node(id, std::move(attributes));
}

class ConflictTest : public ReadyToSyncTest {
 protected:
  const Node item_ = MakeNode(
      "i1",
      {{"ntype", "bookmark"}, {"name", "Tarvex Blog"}, {"url", "https://blog.tarvex.example/"}});
  const Node work_ =
      MakeNode("f1", {{"ntype", "folder"}, {"name", "Work"}, {"description", "Daily links"}});
  const Node archive_ = MakeNode("f2", {{"ntype", "folder"}, {"name", "Archive"}});
  const Node recipes_ =
      MakeNode("f3", {{"ntype", "folder"}, {"name", "Recipes"}, {"description", "Cooking"}});
  const Node recipesThere_ = MakeNode(
      "f3", {{"ntype", "folder"}, {"name", "Recipes & more"}, {"description", "Cooking, baking"}});
  const Node news_ = MakeNode("b1", {{"ntype", "bookmark"},
                                     {"name", "News"},
                                     {"url", "https://news.example/"},
                                     {"description", "Morning read"}});
  const Node newsThere_ = MakeNode("b1", {{"name", "News (old)"}, {"url", "http://news.example/"}});
};

TEST_F(ConflictTest, EachQuestionShowsBothVersionsAndTheButtonNamesTheSideDropped) {
  struct Question {
    const char* name;
    std::function<std::string()> ask;
    const char* question;
    const char* item;
    const char* local;
    const char* server;
  };
  const Question questions[] = {
      {"folder placement",
       [&] { return scheduler_.AskFolderPlacementConflict(item_, work_, archive_); },
       "Tarvex can't tell which of these two folders this item belongs in. Please select the "
       "folder that should contain this item.",
       "Item: Tarvex Blog", "Name: Work\r\nDescription: Daily links",
       "Name: Archive\r\nDescription: "},
      {"folder versions", [&] { return scheduler_.AskVersionConflict(recipes_, recipesThere_); },
       "Tarvex can't tell which of these versions of this folder should be retained. Please "
       "select the version that should be retained.",
       "", "Name: Recipes\r\nDescription: Cooking",
       "Name: Recipes & more\r\nDescription: Cooking, baking"},
      // Anything but a folder is asked about as a Favorite.
      {"Favorite versions", [&] { return scheduler_.AskVersionConflict(news_, newsThere_); },
       "Tarvex can't tell which of these versions of this Favorite should be retained. Please "
       "select the version that should be retained.",
       "", "Name: News\r\nLocation: https://news.example/\r\nDescription: Morning read",
       "Name: News (old)\r\nLocation: http://news.example/\r\nDescription: "},
  };
  struct Way {
    const char* name;
    std::function<void(ScriptedPresenter&)> act;
    const char* answer;
  };
  const Way ways[] = {
      {"Retain Local Version", [](ScriptedPresenter& s) { s.Press(kConflictRetainLocal); },
       "server"},
      {"Retain Server Version", [](ScriptedPresenter& s) { s.Press(kConflictRetainServer); },
       "local"},
      {"Cancel", [](ScriptedPresenter& s) { s.Press(IDCANCEL); }, ""},
      {"Escape", [](ScriptedPresenter& s) { s.Key(DialogKey::Escape); }, ""},
      {"close box", [](ScriptedPresenter& s) { s.Close(); }, ""},
      {"Enter: no choice", [](ScriptedPresenter& s) { s.Key(DialogKey::Enter).Press(IDCANCEL); },
       ""},
  };
  for (const Question& q : questions) {
    for (const Way& w : ways) {
      SCOPED_TRACE(::testing::Message() << q.name << ", " << w.name);
      w.act(script_->Dialog(kConflictTemplate)
                .Expect(kConflictQuestion, q.question, true)
                .Expect(kConflictItem, q.item, true)
                .Expect(kConflictLocalVersion, q.local, true)
                .Expect(kConflictServerVersion, q.server, true));
      EXPECT_EQ(q.ask(), w.answer);
      ScriptDone();
    }
  }
  const auto shown = script_->Latest(kConflictTemplate);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->title, "Tarvex: Sync Conflict");
  for (int id : {kConflictLocalVersion, kConflictServerVersion}) {
    EXPECT_TRUE(shown->Find(id)->readOnly) << id;
    EXPECT_TRUE(shown->Find(id)->multiLine) << id;
  }
  EXPECT_EQ(shown->Find(kConflictRetainLocal)->text, "Retain Local Version");
  EXPECT_EQ(shown->Find(kConflictRetainServer)->text, "Retain Server Version");
  EXPECT_TRUE(prompt_.asked.empty()) << "the dialog, not the message box";
}

TEST_F(ConflictTest, AConflictAskedInTheMiddleOfASyncKeepsTheActionRunning) {
  std::string answer;
  bool runningAfter = false;
  std::string logAfter;
  int syncs = 0;
  sync_->onCall = [&](const std::string& call) {
    if (call != "sync" || syncs++) return;
    // A tray click while the question shows: the dialog's loop dispatches
    // it, and the scheduler drops it.
    ASSERT_EQ(PostMessage(window_, WM_COMMAND, kActionSyncNow, 0), 0u);
    answer = scheduler_.AskVersionConflict(news_, newsThere_);
    runningAfter = scheduler_.ActionRunning();
    logAfter = Log();
  };
  script_->Dialog(kConflictTemplate).Press(kConflictRetainServer);
  scheduler_.HandleUIMessage(kActionSyncNow, false);
  ScriptDone();
  EXPECT_EQ(answer, "local");
  EXPECT_TRUE(runningAfter);
  EXPECT_NE(logAfter.find("Already processing UI action, ignoring command"), std::string::npos)
      << logAfter;
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"});
  EXPECT_FALSE(scheduler_.ActionRunning());
}

}  // namespace
}  // namespace tarvex
