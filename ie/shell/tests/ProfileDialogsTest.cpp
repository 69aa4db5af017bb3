// The sync profiles and the change of profile: the current profile and the
// ways out of its dialog, the profiles listed, the password asked again
// (held or checked with the service), a switch that runs only after the old
// profile synchronized, and a "Change" that does nothing while an action
// runs or the service gives no profiles.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ie/foundation/core/VelkException.h"
#include "ie/shell/tests/ShellFixture.h"

namespace tarvex {
namespace {

using testing::ShellFixture;

constexpr int kSyncProfiles = 271;
constexpr int kChangeProfile = 112;

constexpr int kBack = 3;
constexpr int kManage = 237;
constexpr int kChange = 239;
constexpr int kCurrent = 240;
constexpr int kLearnMore = 1013;
constexpr int kList = 262;
constexpr int kPassword = 264;

constexpr const char* kMismatch = "Sorry, but the password does not match your current password.";
constexpr const char* kChanged =
    "Your profile has been changed! Tarvex is now going to sync with the server to add and remove "
    "the appropriate Favorites for this profile.";
constexpr const char* kNotChanged =
    "Your profile was not changed: Tarvex could not synchronize your Favorites first. Please try "
    "again later.";
constexpr const char* kUnavailable =
    "We're sorry, but we're currently unable to access profiles on the Tarvex server. Please try "
    "again later.";

// The script of what a person does, who turns back to the profiles dialog
// only once the change dialog over it has closed: what `afterChange` holds
// goes to the profiles dialog then. A profiles dialog still open once its
// inputs ran out ends with kScriptFailedResult, so that a test fails rather
// than waits for ever.
class ProfilesScript : public ScriptedPresenter {
 public:
  void DialogShown(const DialogSnapshot& dialog) override {
    ScriptedPresenter::DialogShown(dialog);
    // With a change dialog to come, the profiles dialog goes on after it.
    if (dialog.templateId == kSyncProfiles && afterChange.empty()) GiveUp(dialog.window);
  }
  void DialogClosed(const HWND& dialog) override {
    ScriptedPresenter::DialogClosed(dialog);
    const auto change = Latest(kChangeProfile);
    const auto profiles = Latest(kSyncProfiles);
    if (!change || change->window != dialog || !profiles) return;
    for (DialogInput& input : afterChange) SendDialogInput(profiles->window, std::move(input));
    afterChange.clear();
    GiveUp(profiles->window);
  }
  std::vector<DialogInput> afterChange;

 private:
  static void GiveUp(const HWND& window) {
    SendDialogInput(window, DialogInput::ForceEnd(kScriptFailedResult));
  }
};

class ProfileDialogsTest : public ShellFixture {
 protected:
  ProfileDialogsTest() {
    settings_.SetValue("webserver", "https://www.tarvex.example", true);
    Json::Reader().parse(R"({"Work":"3","Home":"5"})", sync_->profiles);
    UseProfile("Work", 3);
    settings_.SetInt64("lastsync", clock_.Now() - 3600, true);
    account_.SetCredentials("alice", "secret", false);
  }
  ~ProfileDialogsTest() override { SetPresenter(saved_); }

  void UseProfile(const std::string& name, int view) {
    settings_.SetValue("profile", name, true);
    settings_.SetInt("view", view, true);
  }
  void ExpectProfile(const std::string& name, int view) {
    EXPECT_EQ(settings_.GetValue("profile", "<none>"), name);
    EXPECT_EQ(settings_.GetInt("view", 0), view);
    EXPECT_FALSE(settings_.HasValue("profileORIG"));
    EXPECT_FALSE(settings_.HasValue("viewORIG"));
  }
  // Press "Change", choose `profile` with `password` and OK.
  void ChangeTo(const std::string& profile, const std::string& password) {
    ui_->Dialog(kSyncProfiles).Press(kChange);
    ui_->Dialog(kChangeProfile).Select(kList, profile).Type(kPassword, password).Press(IDOK);
    // Only a switch closes the profiles dialog; otherwise Back does.
    ui_->afterChange = {DialogInput::Click(kBack)};
  }
  std::vector<std::string> Asked() const {
    std::vector<std::string> texts;
    for (const auto& q : prompt_.asked) texts.push_back(q.text);
    return texts;
  }
  void ScriptDone() {
    EXPECT_EQ(ui_->Failures(), std::vector<std::string>{});
    EXPECT_EQ(ui_->Unconsumed(), 0u);
  }
  static std::string Page(const std::string& path) { return "https://www.tarvex.example" + path; }

  // In the place of the fixture's script while the test runs.
  std::shared_ptr<ProfilesScript> ui_ = std::make_shared<ProfilesScript>();
  std::shared_ptr<Presenter> saved_ = SetPresenter(ui_);
};

TEST_F(ProfileDialogsTest, TheProfilesDialogShowsTheProfileAndLeadsBackOrToTheWebSite) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPresenter&)> act;
    int result;
    std::vector<std::string> opened;
  };
  const Case cases[] = {
      {"Back", [](ScriptedPresenter& s) { s.Press(kBack); }, 1533, {}},
      {"Enter", [](ScriptedPresenter& s) { s.Key(DialogKey::Enter); }, 1533, {}},
      {"Escape", [](ScriptedPresenter& s) { s.Key(DialogKey::Escape); }, 1525, {}},
      {"the close box", [](ScriptedPresenter& s) { s.Close(); }, 1525, {}},
      {"the account page, which closes it", [](ScriptedPresenter& s) { s.Press(kManage); }, 1525,
       {Page("/account")}},
      {"the feature page, which leaves it open",
       [](ScriptedPresenter& s) { s.Press(kLearnMore).Press(kBack); }, 1533,
       {Page("/help#profiles")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    opener_.opened.clear();
    c.act(ui_->Dialog(kSyncProfiles).Expect(kCurrent, "Work", true));
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), c.result);
    ScriptDone();
    EXPECT_EQ(opener_.opened, c.opened);
  }
  // No profile; the site's host as the server root gives it.
  settings_.DeleteValue("profile");
  settings_.SetValue("webserver", "www.tarvex.example", true);
  opener_.opened.clear();
  ui_->Dialog(kSyncProfiles).Expect(kCurrent, "<none>", true).Press(kManage);
  EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1525);
  ScriptDone();
  EXPECT_EQ(opener_.opened, std::vector<std::string>{Page("/account")});
  EXPECT_EQ(calls(), std::vector<std::string>{});
  EXPECT_TRUE(prompt_.asked.empty());
  const auto shown = ui_->Latest(kSyncProfiles);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->title, "Tarvex Sync Profiles");
}

TEST_F(ProfileDialogsTest, ChangeListsNoneFirstThenTheProfilesAndSelectsTheCurrentByItsWholeName) {
  struct Case {
    const char* profiles;
    const char* current;
    std::vector<std::string> items;
    int selected;
  };
  const Case cases[] = {
      {R"({"beta":"2","Alpha":"7","gamma":"3"})", "beta", {"<none>", "Alpha", "beta", "gamma"}, 2},
      // Gone from the account: not the entry that begins like it.
      {R"({"beta":"2","Alpha":"7","gamma":"3"})", "Al", {"<none>", "Alpha", "beta", "gamma"}, 0},
      // Not the entry that differs in case only.
      {R"({"Beta":"1","beta":"2"})", "beta", {"<none>", "Beta", "beta"}, 2},
      {R"(["work","Home"])", "<none>", {"<none>", "Home", "work"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profiles + std::string(" with ") + c.current);
    Json::Reader().parse(c.profiles, sync_->profiles);
    UseProfile(c.current, 4);
    ui_->Dialog(kSyncProfiles).Press(kChange);
    ui_->Dialog(kChangeProfile).Press(IDCANCEL);
    ui_->afterChange = {DialogInput::Click(kBack)};
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1533) << "the profiles dialog stays after a cancel";
    ScriptDone();
    const auto shown = ui_->Latest(kChangeProfile);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->Find(kList)->items, c.items);
    EXPECT_EQ(shown->Find(kList)->selected, c.selected);
    ExpectProfile(c.current, 4);
  }
  EXPECT_EQ(calls(), std::vector<std::string>(4, "profiles"));
  const auto shown = ui_->Latest(kChangeProfile);
  EXPECT_EQ(shown->title, "Change Tarvex Sync Profile");
  EXPECT_EQ(shown->Find(kPassword)->kind, ControlKind::Password);
  EXPECT_EQ(shown->defaultControl, IDOK);
}

TEST_F(ProfileDialogsTest, AWrongOrEmptyPasswordIsRefusedAndTheDialogStaysOpen) {
  const HttpResult refused{true, "", 200, R"({"status":1})"};
  const HttpResult noReply{false, "could not connect", 0, ""};
  struct Case {
    const char* name;
    bool held;  // whether the account holds the password for this run
    const char* typed;
    HttpResult service;
    std::string box;
    size_t requests;
  };
  const Case cases[] = {
      {"empty", true, "", {}, kMismatch, 0},
      {"wrong", true, "Secret", {}, kMismatch, 0},
      {"longer", true, "secret1", {}, kMismatch, 0},
      {"not held, empty", false, "", {}, kMismatch, 0},
      {"not held, refused by the service", false, "secret", refused, kMismatch, 1},
      {"not held, the service unreachable", false, "secret", noReply,
       "We're sorry, but Tarvex could not check your password with the Tarvex server. Please "
       "try again later.",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    account_.SetCredentials("alice", c.held ? "secret" : "", false);
    transport_.reply = c.service;
    transport_.requests.clear();
    prompt_.asked.clear();
    sync_->calls.clear();
    ChangeTo("Home", c.typed);
    ui_->Type(kPassword, "").Press(IDCANCEL);  // after the box: give up
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1533);
    ScriptDone();
    EXPECT_EQ(Asked(), std::vector<std::string>{c.box});
    EXPECT_EQ(transport_.requests.size(), c.requests);
    EXPECT_EQ(calls(), std::vector<std::string>{"profiles"});
    ExpectProfile("Work", 3);
    EXPECT_EQ(ui_->Latest(kChangeProfile)->Find(kPassword)->text, "") << "no password kept";
  }
}

TEST_F(ProfileDialogsTest, TheProfileInForceWithOKStartsNothing) {
  ui_->Dialog(kSyncProfiles).Press(kChange);
  ui_->Dialog(kChangeProfile).Type(kPassword, "secret").Press(IDOK);
  ui_->afterChange = {DialogInput::Click(kBack)};
  EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1533);
  ScriptDone();
  EXPECT_EQ(ui_->Latest(kChangeProfile)->Find(kList)->items[2], "Work");
  EXPECT_EQ(calls(), std::vector<std::string>{"profiles"});
  EXPECT_TRUE(prompt_.asked.empty());
  ExpectProfile("Work", 3);
}

TEST_F(ProfileDialogsTest, ASwitchSyncsTheOldProfileThenStoresTheNewOneAndDownloadsIt) {
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "password held" : "password checked with the service");
    UseProfile("Work", 3);
    account_.SetCredentials("alice", held ? "secret" : "", false);
    transport_.reply = HttpResult{true, "", 200, R"({"status":0})"};
    sync_->calls.clear();
    prompt_.asked.clear();
    // What the flow sees: the old profile for the sync, the new one for the
    // download with the old one kept for this run only.
    std::vector<std::string> seen;
    sync_->onCall = [&](const std::string& call) {
      seen.push_back(call + " " + settings_.GetValue("profile", "") + " " +
                     settings_.GetValue("view", "") + " was " +
                     settings_.GetValue("profileORIG", "-") + " " +
                     settings_.GetValue("viewORIG", "-"));
      if (call == "sync") {
        settings_.SetInt64("lastsync", clock_.Now(), true);
        settings_.SetInt("syncstatus", 105, true);
      }
    };
    ChangeTo("Home", "secret");
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1525);
    ScriptDone();
    EXPECT_EQ(seen, (std::vector<std::string>{"profiles Work 3 was - -", "sync Work 3 was - -",
                                              "download Home 5 was Work 3"}));
    EXPECT_EQ(Asked(), std::vector<std::string>{kChanged});
    ExpectProfile("Home", 5);
    settings_.SetInt64("lastsync", clock_.Now() - 3600, true);
  }
}

TEST_F(ProfileDialogsTest, AFirstSyncThatDidNotCommitChangesNothingAndSaysSo) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> sync;
  };
  const Case cases[] = {
      {"failed", [](const std::string& call) {
         if (call == "sync") throw VelkException("network", -1, "could not connect");
       }},
      {"cancelled", [this](const std::string& call) {
         if (call == "sync") settings_.SetInt("syncstatus", 102, true);
       }},
      {"committed, then failed", [this](const std::string& call) {
         if (call != "sync") return;
         settings_.SetInt64("lastsync", clock_.Now(), true);
         settings_.SetInt("syncstatus", 101, true);
       }},
      {"did nothing", [](const std::string&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_.SetInt64("lastsync", clock_.Now() - 3600, true);
    settings_.SetInt("syncstatus", 108, true);
    sync_->calls.clear();
    prompt_.asked.clear();
    sync_->onCall = c.sync;
    ChangeTo("Home", "secret");
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1525);
    ScriptDone();
    EXPECT_EQ(calls(), (std::vector<std::string>{"profiles", "sync"}));
    EXPECT_EQ(Asked(), std::vector<std::string>{kNotChanged});
    ExpectProfile("Work", 3);
  }
}

TEST_F(ProfileDialogsTest, ChangeDoesNothingWhileAnActionRunsHereOrElsewhere) {
  const auto pressChangeThenBack = [&] {
    ui_->Dialog(kSyncProfiles).Press(kChange).Press(kBack);
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1533);
  };
  HeldElsewhere(kSyncMutexName, pressChangeThenBack);
  // A sync of this process that waits on a question, whose loop brings the
  // profiles dialog up: the mutex is this thread's own.
  sync_->onCall = [&](const std::string& call) {
    if (call == "sync") pressChangeThenBack();
  };
  scheduler_.HandleUIMessage(kActionSyncNow, false);
  ScriptDone();
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"});
  EXPECT_TRUE(prompt_.asked.empty());
  ExpectProfile("Work", 3);
}

TEST_F(ProfileDialogsTest, ProfilesTheServiceDoesNotGiveAreAnApologyAndTheDialogStays) {
  const std::function<void()> failures[] = {
      [] { throw VelkException("internal", -1, "Unable to get profiles from result"); },
      [] { throw std::runtime_error("no flow"); },
  };
  for (const auto& fail : failures) {
    prompt_.asked.clear();
    sync_->onCall = [&](const std::string&) { fail(); };
    ui_->Dialog(kSyncProfiles).Press(kChange).Press(kBack);
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), 1533);
    ScriptDone();
    ASSERT_EQ(prompt_.asked.size(), 1u);
    EXPECT_EQ(prompt_.asked[0].text, kUnavailable);
    EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonOK);
  }
  ExpectProfile("Work", 3);
}

TEST_F(ProfileDialogsTest, WithoutProfilesTheAccountPageIsOffered) {
  struct Case {
    const char* profiles;
    int answer;
    std::vector<std::string> opened;
  };
  const Case cases[] = {
      {"{}", kButtonYes, {Page("/account")}},
      {R"({"<none>":"4"})", kButtonYes, {Page("/account")}},
      {"[]", kButtonNo, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profiles);
    Json::Reader().parse(c.profiles, sync_->profiles);
    prompt_.asked.clear();
    opener_.opened.clear();
    prompt_.Script(c.answer);
    // Yes closes the dialog; after No it is still there.
    ui_->Dialog(kSyncProfiles).Press(kChange);
    if (c.answer == kButtonNo) ui_->Press(kBack);
    EXPECT_EQ(scheduler_.ShowSyncProfiles(), c.answer == kButtonYes ? 1525 : 1533);
    ScriptDone();
    ASSERT_EQ(prompt_.asked.size(), 1u);
    EXPECT_EQ(prompt_.asked[0].text.rfind("You haven't set up any sync profiles yet.", 0), 0u)
        << prompt_.asked[0].text;
    EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonNo);
    EXPECT_EQ(prompt_.asked[0].buttons[1], kButtonYes);
    EXPECT_EQ(opener_.opened, c.opened);
  }
  ExpectProfile("Work", 3);
}

}  // namespace
}  // namespace tarvex
