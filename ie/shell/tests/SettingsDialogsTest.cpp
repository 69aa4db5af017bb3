// The settings dialogs (main 111, advanced 105, discovery 295): what each
// shows for the settings, what each click stores or starts, the results
// that take the user on or back to the main dialog, the sign-in button
// under the sync mutex and never inside an action, and the once-a-day offer
// to download after a sync failed on a node it could not find.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ie/shell/tests/ShellFixture.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/process/Process.h"
#include "platform/registry/AutostartKey.h"
#include "platform/win/Tray.h"

namespace tarvex {
namespace {

using testing::ShellFixture;

constexpr int kMessageBox = 0;
constexpr int kMessageText = 0xFFFF;

// A setting as it is before or after: its text, or absent.
struct Setting {
  std::string key;
  std::optional<std::string> value;
};

// A check box or radio button as it should be.
struct Box {
  int dialog;
  int id;
  bool checked;
  bool enabled;
};

// The main dialog's Advanced..., `inside` in the advanced dialog, then,
// when `back`, its Close and the main dialog's once it shows again.
void Advanced(ScriptedPresenter& s, const std::function<void(ScriptedPresenter&)>& inside,
              bool back) {
  s.Dialog(111).Press(251);
  s.Dialog(105);
  inside(s);
  if (back) {
    s.Press(2);
    s.Dialog(111).Press(2);
  }
}

class SettingsDialogsTest : public ShellFixture {
 protected:
  void Store(const std::vector<Setting>& values) {
    for (const Setting& v : values) {
      if (v.value)
        settings_.SetValue(v.key, *v.value, true);
      else
        settings_.DeleteValue(v.key);
    }
  }
  void ExpectStored(const std::vector<Setting>& values) {
    for (const Setting& v : values) {
      if (v.value) {
        EXPECT_EQ(settings_.GetValue(v.key, "<absent>"), *v.value) << v.key;
      } else {
        EXPECT_FALSE(settings_.HasValue(v.key)) << v.key;
      }
    }
  }
  // A control of the last dialog `dialog` shown, as it was when it closed.
  ControlState Control(int dialog, int id) {
    const std::optional<DialogSnapshot> shown = script_->Latest(dialog);
    const ControlState* c = shown ? shown->Find(id) : nullptr;
    if (!c) {
      ADD_FAILURE() << "no control " << id << " in dialog " << dialog;
      return {};
    }
    return *c;
  }
  void ExpectBoxes(const std::vector<Box>& boxes) {
    for (const Box& b : boxes) {
      const ControlState c = Control(b.dialog, b.id);
      EXPECT_EQ(c.checked, b.checked) << b.dialog << "/" << b.id;
      EXPECT_EQ(c.enabled, b.enabled) << b.dialog << "/" << b.id;
    }
  }
  void ExpectScriptDone() {
    EXPECT_EQ(script_->Failures(), std::vector<std::string>{});
    EXPECT_EQ(script_->Unconsumed(), 0u);
  }
  // The Run key's value that starts the client with the session.
  std::string RunValue() {
    std::string value;
    registry_.ReadString(Hive::CurrentUser, kRunKey, "Tarvex", &value);
    return value;
  }
};

TEST_F(SettingsDialogsTest, TheMainDialogShowsTheStatusAccountAndOptions) {
  const std::string defaultName = ComputerName().empty() ? "My Computer" : ComputerName() + " - IE";
  struct Case {
    const char* name;
    std::vector<Setting> settings;
    const char* user;  // signed in as, or nobody
    int icon;
    const char* status;
    bool errorButton;
    const char* lastSync;
    const char* account;
    const char* button;
    std::vector<Box> boxes;    // 257, 258, 259, 1024, 1025
    const char* computerName;  // null: the default name
    const char* version;
  };
  const std::vector<Setting> none = {
      {"syncstatus", {}},   {"lastsync", {}},         {"autosync", {}},
      {"syncshutdown", {}}, {"synchshutdownask", {}}, {"tabsync", {}},
      {"computername", {}}, {"kestroveversion", {}},  {"errordetails", {}}};
  const Case cases[] = {
      {"nothing stored: open tabs on, Ask First off like Sync on Shutdown",
       none,
       nullptr,
       290,
       "Syncing successfully",
       false,
       "Has not synced",
       "Not signed in",
       "Sign In",
       {{111, 257, false, true},
        {111, 258, false, true},
        {111, 259, false, false},
        {111, 1024, true, true},
        {111, 1025, false, true}},
       nullptr,
       "Tarvex for IE v[unknown]"},
      {"an error, synced once",
       {{"syncstatus", "101"},
        {"errordetails", "TarvexException [source: network, id: 500]: Server error"},
        {"lastsync", "1796858716"},
        {"kestroveversion", "1.3.5"}},
       nullptr,
       292,
       "Error during sync",
       true,
       "Last sync: Wed Dec 09 23:25:16 2026",
       "Not signed in",
       "Sign In",
       {},
       nullptr,
       "Tarvex for IE v1.3.5"},
      {"changes waiting, every option on but the open tabs, signed in",
       {{"syncstatus", "106"},
        {"autosync", "true"},
        {"syncshutdown", "true"},
        {"synchshutdownask", "true"},
        {"tabsync", "false"},
        {"computername", "Laptop"}},
       "ann",
       291,
       "Changes to sync",
       false,
       nullptr,
       "Sychronizing as ann",
       "Sign Out",
       {{111, 257, true, true},
        {111, 258, true, true},
        {111, 259, true, true},
        {111, 1024, false, true},
        {111, 1025, false, false},
        {111, 1026, false, false}},
       "Laptop",
       nullptr},
      {"a sync running",
       {{"syncstatus", "107"}},
       nullptr,
       293,
       "Sync in progress",
       false,
       nullptr,
       nullptr,
       nullptr,
       {},
       nullptr,
       nullptr},
      {"idle",
       {{"syncstatus", "108"}},
       nullptr,
       290,
       "Syncing successfully",
       false,
       nullptr,
       nullptr,
       nullptr,
       {},
       nullptr,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store(none);
    Store(c.settings);
    if (c.user)
      account_.SetCredentials(c.user, "secret", false);
    else
      account_.ClearCredentials();
    script_->Dialog(111).Press(2);
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
    const std::optional<DialogSnapshot> shown = script_->Latest(111);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->title, "Tarvex");
    EXPECT_EQ(Control(111, 1005).icon, c.icon);
    EXPECT_EQ(Control(111, 1004).text, c.status);
    EXPECT_TRUE(Control(111, 1004).bold);
    EXPECT_EQ(Control(111, 1008).visible, c.errorButton);
    EXPECT_FALSE(Control(111, 1011).visible) << "discovery stays hidden";
    if (c.lastSync) {
      EXPECT_EQ(Control(111, 256).text, c.lastSync);
    }
    if (c.account) {
      EXPECT_EQ(Control(111, 260).text, c.account);
      EXPECT_EQ(Control(111, 253).text, c.button);
    }
    ExpectBoxes(c.boxes);
    if (c.version) {
      EXPECT_EQ(Control(111, 252).text, c.version);
    }
    const std::string name = c.computerName ? c.computerName : defaultName;
    EXPECT_EQ(Control(111, 1025).text, name);
    EXPECT_EQ(settings_.GetValue("computername", ""), name) << "the name shown is the one used";
    // Every control lies inside the dialog: the web page lays it out so.
    for (const ControlState& control : shown->controls) {
      EXPECT_GE(control.x, 0) << control.id;
      EXPECT_LE(control.x + control.width, shown->width) << control.id;
      EXPECT_LE(control.y + control.height, shown->height) << control.id;
    }
  }
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, TheAdvancedDialogShowsItsSettingsAndTheStartWithTheSession) {
  struct Case {
    const char* name;
    std::vector<Setting> settings;
    const char* runValue;    // null: none
    int encryption;          // the entry selected
    std::vector<Box> boxes;  // 227, 235, 236, 1002
    const char* version;
  };
  const Case cases[] = {
      {"nothing stored",
       {{"encryption", {}},
        {"loglevel", {}},
        {"skipversioncheck", {}},
        {"showintray", {}},
        {"kestroveversion", {}}},
       nullptr,
       0,
       {{105, 227, true, true},
        {105, 235, true, true},
        {105, 236, true, true},
        {105, 1002, false, true}},
       "Current version: [unknown]"},
      {"everything the other way",
       {{"encryption", "No Encryption"},
        {"loglevel", "1"},
        {"skipversioncheck", "true"},
        {"showintray", "false"},
        {"kestroveversion", "1.3.5"}},
       "\"/opt/tarvex/tarvexsync\" -q",
       2,
       {{105, 227, false, true},
        {105, 235, false, true},
        {105, 236, false, true},
        {105, 1002, true, true}},
       "Current version: 1.3.5"},
      {"debug logging counts as on",
       {{"encryption", "Login Only"}, {"loglevel", "3"}},
       nullptr,
       1,
       {{105, 227, true, true}},
       nullptr},
      // Requests treat any other text as "Login Only".
      {"an encryption of no entry", {{"encryption", "encrypt all"}}, nullptr, 1, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store(c.settings);
    registry_.DeleteValue(Hive::CurrentUser, kRunKey, "Tarvex");
    if (c.runValue) {
      ASSERT_EQ(registry_.WriteString(Hive::CurrentUser, kRunKey, "Tarvex", c.runValue), 0u);
    }
    Advanced(
        *script_, [](ScriptedPresenter&) {}, true);
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
    const ControlState list = Control(105, 1006);
    EXPECT_EQ(list.items, (std::vector<std::string>{"Encrypt All", "Login Only", "No Encryption"}));
    EXPECT_EQ(list.selected, c.encryption);
    ExpectBoxes(c.boxes);
    if (c.version) {
      EXPECT_EQ(Control(105, 234).text, c.version);
    }
  }
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, ClicksStoreTheirSettingAtOnce) {
  const std::string self = SelfExecutablePath();
  struct Case {
    const char* name;
    std::vector<Setting> before;
    std::function<void(ScriptedPresenter&)> script;  // ends where the dialog is left
    std::vector<Setting> after;
    std::vector<Box> boxes;
    std::function<void()> check;  // what else there is to see
  };
  auto inMain = [](std::function<void(ScriptedPresenter&)> inside) {
    return [inside](ScriptedPresenter& s) {
      s.Dialog(111);
      inside(s);
      s.Press(2);
    };
  };
  auto inAdvanced = [](std::function<void(ScriptedPresenter&)> inside) {
    return [inside](ScriptedPresenter& s) { Advanced(s, inside, true); };
  };
  const std::string longName(250, 'x');
  const std::string surrogateAtTheCut = std::string(198, 'x') + "\xF0\x9F\x98\x80";
  const Case cases[] = {
      {"automatic sync on",
       {{"autosync", {}}},
       inMain([](auto& s) { s.Check(257, true); }),
       {{"autosync", "true"}},
       {{111, 257, true, true}},
       nullptr},
      {"automatic sync off",
       {{"autosync", "true"}},
       inMain([](auto& s) { s.Check(257, false); }),
       {{"autosync", "false"}},
       {{111, 257, false, true}},
       nullptr},
      {"sync on shutdown lets Ask First be clicked",
       {{"syncshutdown", {}}, {"synchshutdownask", {}}},
       inMain([](auto& s) { s.Check(259, true).Check(258, true).Check(259, true); }),
       {{"syncshutdown", "true"}, {"synchshutdownask", "true"}},
       {{111, 258, true, true}, {111, 259, true, true}},
       nullptr},
      {"no sync on shutdown: Ask First disabled",
       {{"syncshutdown", "true"}, {"synchshutdownask", "true"}},
       inMain([](auto& s) { s.Check(258, false); }),
       {{"syncshutdown", "false"}, {"synchshutdownask", "true"}},
       {{111, 258, false, true}, {111, 259, true, false}},
       nullptr},
      {"open tabs, on while absent, off at the first click",
       {{"tabsync", {}}},
       inMain([](auto& s) { s.Check(1024, false); }),
       {{"tabsync", "false"}},
       {{111, 1024, false, true}, {111, 1025, false, false}, {111, 1026, false, false}},
       nullptr},
      {"open tabs on again",
       {{"tabsync", {}}},
       inMain([](auto& s) { s.Press(1024).Press(1024); }),
       {{"tabsync", "true"}},
       {{111, 1024, true, true}, {111, 1025, false, true}},
       nullptr},
      {"a computer name typed",
       {{"computername", "Laptop"}},
       inMain([](auto& s) { s.Type(1025, "Desk").Type(1025, "Desktop"); }),
       {{"computername", "Desktop"}},
       {},
       nullptr},
      {"an emptied computer name is not kept",
       {{"computername", "Laptop"}},
       inMain([](auto& s) { s.Type(1025, ""); }),
       {{"computername", "Laptop"}},
       {},
       nullptr},
      {"a long computer name is cut",
       {},
       inMain([&](auto& s) { s.Type(1025, longName); }),
       {{"computername", std::string(199, 'x')}},
       {},
       nullptr},
      {"the cut never splits a character",
       {},
       inMain([&](auto& s) { s.Type(1025, surrogateAtTheCut); }),
       {{"computername", std::string(198, 'x')}},
       {},
       nullptr},
      {"encryption",
       {{"encryption", {}}},
       inAdvanced([](auto& s) { s.Select(1006, "Login Only").Select(1006, "No Encryption"); }),
       {{"encryption", "No Encryption"}},
       {},
       nullptr},
      {"logging off",
       {{"loglevel", "2"}},
       inAdvanced([](auto& s) { s.Check(227, false); }),
       {{"loglevel", "1"}},
       {{105, 227, false, true}},
       [this] { EXPECT_EQ(logger_.level, 1); }},
      {"logging on",
       {{"loglevel", "1"}},
       inAdvanced([](auto& s) { s.Check(227, true); }),
       {{"loglevel", "2"}},
       {{105, 227, true, true}},
       [this] { EXPECT_EQ(logger_.level, 2); }},
      {"no automatic update checks",
       {{"skipversioncheck", {}}},
       inAdvanced([](auto& s) { s.Check(235, false); }),
       {{"skipversioncheck", "true"}},
       {},
       nullptr},
      {"automatic update checks",
       {{"skipversioncheck", "true"}},
       inAdvanced([](auto& s) { s.Check(235, true); }),
       {{"skipversioncheck", "false"}},
       {},
       nullptr},
      {"the tray icon off",
       {{"showintray", {}}, {"syncstatus", "108"}},
       inAdvanced([](auto& s) { s.Check(236, false); }),
       {{"showintray", "false"}},
       {{105, 236, false, true}},
       [] { EXPECT_TRUE(TrayIcons().empty()); }},
      {"the tray icon on",
       {{"showintray", "false"}, {"syncstatus", "106"}},
       inAdvanced([](auto& s) { s.Check(236, true); }),
       {{"showintray", "true"}},
       {{105, 236, true, true}},
       [] {
         ASSERT_EQ(TrayIcons().size(), 1u);
         EXPECT_EQ(TrayIcons()[0].icon, kIconChanges);
       }},
      {"started with the session",
       {},
       inAdvanced([](auto& s) { s.Check(1002, true); }),
       {},
       {{105, 1002, true, true}},
       [&] { EXPECT_EQ(RunValue(), "\"" + self + "\" -q"); }},
      {"no longer started with the session",
       {},
       inAdvanced([](auto& s) { s.Check(1002, true).Check(1002, false); }),
       {},
       {{105, 1002, false, true}},
       [&] { EXPECT_EQ(RunValue(), ""); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store(c.before);
    // The tray shows what the settings say before the click.
    tray_.RemoveTrayIcon();
    scheduler_.UpdateSystrayDisplay();
    c.script(*script_);
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
    ExpectStored(c.after);
    ExpectBoxes(c.boxes);
    if (c.check) c.check();
  }
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, AnEntryOfAnotherProgramInTheWayIsLeftAndTheBoxStaysOff) {
  const std::string entry = registry_.autostartFolder() + "/Tarvex.desktop";
  const std::string foreign = "[Desktop Entry]\nType=Application\nExec=/usr/bin/other\n";
  ASSERT_EQ(FileSystem::Native().CreateDirectories(registry_.autostartFolder(), 0700), 0u);
  ASSERT_EQ(FileSystem::Native().WriteFileAtomic(entry, foreign, 0, false), 0u);
  Advanced(
      *script_, [](ScriptedPresenter& s) { s.Check(1002, true); }, true);
  EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  ExpectBoxes({{105, 1002, false, true}});
  EXPECT_EQ(testing::ReadAll(entry), foreign);
  EXPECT_NE(Log().find("Unable to start Tarvex with Windows"), std::string::npos);
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, ATrayThatCannotShowTheStatusIsLoggedAndTheDialogStays) {
  // A sync under way (107) has no display of its own: the tray throws.
  settings_.SetBool("showintray", false, true);
  settings_.SetInt("syncstatus", kStatusRunning, true);
  Advanced(
      *script_, [](ScriptedPresenter& s) { s.Check(236, true); }, true);
  EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  EXPECT_TRUE(settings_.GetBool("showintray", false));
  ExpectBoxes({{105, 236, true, true}});
  EXPECT_NE(Log().find("Unable to update the tray icon: TarvexException [source: internal"),
            std::string::npos)
      << Log();
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, ButtonsEndWithTheirActionAndCloseOfAdvancedGoesBack) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPresenter&)> script;
    std::vector<int> answers;  // the message box's
    int result;
    std::vector<std::string> asked;  // the beginnings of the questions
    std::vector<std::string> calls;
  };
  auto advanced = [](std::vector<int> presses, bool back) {
    return [=](ScriptedPresenter& s) {
      Advanced(
          s,
          [&](ScriptedPresenter& a) {
            for (int id : presses) a.Press(id);
          },
          back);
    };
  };
  const Case cases[] = {
      {"synchronize now", [](auto& s) { s.Dialog(111).Press(255); }, {}, kActionSyncNow, {}, {}},
      {"the setup wizard", [](auto& s) { s.Dialog(111).Press(254); }, {}, kActionWizard, {}, {}},
      {"close", [](auto& s) { s.Dialog(111).Press(2); }, {}, kActionNone, {}, {}},
      {"escape", [](auto& s) { s.Dialog(111).Key(DialogKey::Escape); }, {}, kActionNone, {}, {}},
      {"the close box", [](auto& s) { s.Dialog(111).Close(); }, {}, kActionNone, {}, {}},
      {"a hidden Discovery... takes no click",
       [](auto& s) { s.Dialog(111).Press(1011).Press(2); },
       {},
       kActionNone,
       {},
       {}},
      {"advanced, then back to the main dialog", advanced({}, true), {}, kActionNone, {}, {}},
      {"advanced, escape goes back too",
       [](auto& s) {
         s.Dialog(111).Press(251);
         s.Dialog(105).Key(DialogKey::Escape);
         s.Dialog(111).Press(255);
       },
       {},
       kActionSyncNow,
       {},
       {}},
      {"repair", advanced({228}, false), {}, kActionRepair, {}, {}},
      {"upload, confirmed",
       advanced({224}, false),
       {kButtonOK},
       kActionUpload,
       {"Overwrite remote Favorites with local set?"},
       {}},
      {"upload, cancelled: the dialog stays",
       advanced({224}, true),
       {kButtonCancel},
       kActionNone,
       {"Overwrite remote Favorites with local set?"},
       {}},
      {"download, confirmed",
       advanced({225}, false),
       {kButtonOK},
       kActionDownload,
       {"Overwrite local Favorites with remote set?"},
       {}},
      {"download, cancelled",
       advanced({225, 228}, false),
       {kButtonCancel},
       kActionRepair,
       {"Overwrite local Favorites with remote set?"},
       {}},
      {"check for updates: asked for by the user, no way back",
       advanced({233}, false),
       {},
       kActionNone,
       {},
       {"version manual"}},
      {"view log file: shown after the dialog closed",
       advanced({226}, false),
       {kButtonOK},
       kActionNone,
       {"We were unable to display your log file"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prompt_.asked.clear();
    sync_->calls.clear();
    for (int a : c.answers) prompt_.Script(a);
    c.script(*script_);
    EXPECT_EQ(scheduler_.ShowSettings(), c.result);
    ASSERT_EQ(prompt_.asked.size(), c.asked.size());
    for (size_t i = 0; i < c.asked.size(); ++i)
      EXPECT_EQ(prompt_.asked[i].text.rfind(c.asked[i], 0), 0u) << prompt_.asked[i].text;
    EXPECT_EQ(calls(), c.calls);
    ExpectScriptDone();
  }
}

TEST_F(SettingsDialogsTest, SynchronizeNowFromTheSettingsAtTheStartRunsTheSync) {
  settings_.SetBool("firstrun", false, true);
  settings_.SetBool("upgraderun", false, true);
  settings_.SetBool("userinitiatedstart", true, true);
  script_->Dialog(111).Press(255);
  scheduler_.StartAction();
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"});
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, ClearLogFileEmptiesTheLogOnlyWhenTheUserContinues) {
  for (int answer : {kButtonCancel, kButtonContinue}) {
    SCOPED_TRACE(answer);
    logger_.Log("a line from before");
    prompt_.asked.clear();
    prompt_.Script(answer);
    Advanced(
        *script_, [](ScriptedPresenter& s) { s.Press(231); }, true);
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
    ASSERT_EQ(prompt_.asked.size(), 1u);
    EXPECT_EQ(prompt_.asked[0].text, "Are you sure you want to clear your log file?");
    EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonCancel);
    EXPECT_EQ(prompt_.asked[0].buttons[1], kButtonContinue);
    const std::string log = Log();
    EXPECT_EQ(log.find("a line from before") != std::string::npos, answer == kButtonCancel);
    EXPECT_EQ(
        log.find("-------- Tarvex Favorites Sync: log file cleared --------") != std::string::npos,
        answer == kButtonContinue);
  }
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, ErrorDetailsShowTheErrorAndHelpOpensTheHelpPage) {
  settings_.SetValue("webserver", "https://www.tarvex.example", true);
  struct Case {
    std::optional<std::string> details;
    int answer;
    std::vector<std::string> opened;
  };
  const Case cases[] = {
      {"TarvexException [source: network, id: 500]: Server error",
       kButtonHelp,
       {"https://www.tarvex.example/help"}},
      {std::nullopt, kButtonClose, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.details.value_or("absent"));
    prompt_.asked.clear();
    opener_.opened.clear();
    Store({{"syncstatus", "101"}, {"errordetails", c.details}});
    prompt_.Script(c.answer);
    script_->Dialog(111).Press(1008).Press(2);
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
    ASSERT_EQ(prompt_.asked.size(), 1u);
    EXPECT_EQ(prompt_.asked[0].text,
              "An error occurred during synchronization.  If the error message below doesn't "
              "explain how to fix the problem, please note the error's source and click Help for "
              "additional support.\r\n\r\n" +
                  c.details.value_or("unknown"));
    EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonClose);
    EXPECT_EQ(prompt_.asked[0].buttons[1], kButtonHelp);
    EXPECT_EQ(opener_.opened, c.opened);
  }
  // A help address that is no web page is never opened.
  settings_.SetValue("helpurl", "file:///etc/passwd", true);
  opener_.opened.clear();
  prompt_.Script(kButtonHelp);
  script_->Dialog(111).Press(1008).Press(2);
  EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  EXPECT_TRUE(opener_.opened.empty());
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, NodeNotFoundOffersTheDownloadOnceADayAtMost) {
  settings_.SetValue(
      "errordetails",
      "TarvexException [source: nodeset, id: -3]: Node not found: 8f14e45fceea167a5a36dedd4bea2543",
      true);
  // Each showing: whether the offer comes, and the answer.
  struct Step {
    const char* name;
    int64_t advance;
    int status;
    bool offered;
    int answer;
    int result;
  };
  const Step steps[] = {
      {"the first time: taken", 0, 101, true, IDYES, kActionDownload},
      {"at once again: not offered", 0, 101, false, 0, kActionNone},
      {"a day later to the second: not yet", 86400, 101, false, 0, kActionNone},
      {"more than a day: offered, declined", 1, 101, true, IDNO, kActionNone},
      {"another day, but no error now", 86401, 106, false, 0, kActionNone},
      {"the error again", 0, 101, true, IDNO, kActionNone},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    clock_.Advance(s.advance);
    settings_.SetInt("syncstatus", s.status, true);
    if (s.offered) {
      script_->Dialog(kMessageBox)
          .Expect(kMessageText,
                  "Tarvex synchronization failed. This can likely be easily fixed by "
                  "redownloading the data from the server.\n\nThis will however mean that local "
                  "changes will be lost.\n\nWould you like to replace your local bookmarks with "
                  "what is saved on the server?",
                  true)
          .Press(s.answer);
    }
    if (s.answer != IDYES) script_->Dialog(111).Press(2);
    EXPECT_EQ(scheduler_.ShowSettings(), s.result);
    ExpectScriptDone();
  }
  ASSERT_TRUE(script_->Latest(kMessageBox));
  EXPECT_EQ(script_->Latest(kMessageBox)->title, "Tarvex");

  // Another error is not offered.
  clock_.Advance(90000);
  settings_.SetValue("errordetails", "Unexpected error during synchronization: 409", true);
  script_->Dialog(111).Press(2);
  EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, TheSignInButtonSignsInAndOut) {
  transport_.reply.ok = true;
  transport_.reply.status = 200;
  transport_.reply.body = R"({"status":"0"})";
  credentialPrompt_.answers.push_back({0, "ann", "secret", true});
  script_->Dialog(111)
      .Expect(260, "Not signed in", true)
      .Expect(253, "Sign In", true)
      .Press(253)
      .Press(2);
  EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  EXPECT_EQ(Control(111, 260).text, "Sychronizing as ann");
  EXPECT_EQ(Control(111, 253).text, "Sign Out");
  EXPECT_EQ(account_.GetUserName(), "ann");
  EXPECT_EQ(transport_.requests.size(), 1u);

  script_->Dialog(111).Expect(260, "Sychronizing as ann", true).Press(253).Press(2);
  EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  EXPECT_EQ(Control(111, 260).text, "Not signed in");
  EXPECT_EQ(Control(111, 253).text, "Sign In");
  EXPECT_EQ(account_.GetUserName(), "");
  EXPECT_TRUE(credentials_.entries.empty()) << "the stored credential went too";
  EXPECT_EQ(credentialPrompt_.asked, 1);
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, ASignInThatFailsIsLoggedAndTheDialogStays) {
  struct Case {
    const char* name;
    CredentialAnswer answer;
    const char* logged;
  };
  const Case cases[] = {
      {"the credential dialog fails", {5, "", "", false}, "Windows auth function didn't work"},
      {"the service does not answer", {0, "ann", "secret", false}, "Could not sign in"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    account_.ClearCredentials();
    credentialPrompt_.answers.push_back(c.answer);
    script_->Dialog(111).Press(253).Press(255);
    EXPECT_EQ(scheduler_.ShowSettings(), kActionSyncNow) << "still open after the failure";
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
  }
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, TheSignInButtonDoesNothingWhileASyncRuns) {
  account_.SetCredentials("ann", "secret", false);
  // Another process syncs.
  HeldElsewhere(kSyncMutexName, [&] {
    script_->Dialog(111).Press(253).Press(2);
    EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  });
  EXPECT_EQ(account_.GetUserName(), "ann");

  // The settings opened from a modal loop in the middle of this process's
  // sync: the sync mutex is this thread's own, yet nobody signs out.
  sync_->onCall = [this](const std::string&) {
    script_->Dialog(111).Press(253).Press(2);
    scheduler_.ShowSettings();
  };
  scheduler_.HandleUIMessage(kActionSyncNow, true);
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"});
  EXPECT_EQ(account_.GetUserName(), "ann");
  EXPECT_EQ(Control(111, 260).text, "Sychronizing as ann");

  // And no sync starts while the sign-in asks for the credentials.
  sync_->onCall = nullptr;
  sync_->calls.clear();
  account_.ClearCredentials();
  credentialPrompt_.onAsk = [this] { scheduler_.HandleUIMessage(kActionSyncNow, true); };
  script_->Dialog(111).Press(253).Press(2);
  EXPECT_EQ(scheduler_.ShowSettings(), kActionNone);
  EXPECT_EQ(credentialPrompt_.asked, 1);
  EXPECT_TRUE(calls().empty());
  scheduler_.HandleUIMessage(kActionSyncNow, true);
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"}) << "free again afterwards";
  ExpectScriptDone();
}

TEST_F(SettingsDialogsTest, DiscoveryTurnsSmarterSearchOnAndOffAndPicksHowMany) {
  struct Case {
    const char* name;
    std::optional<std::string> before;
    std::function<void(ScriptedPresenter&)> clicks;
    const char* after;       // serpdecoratecount
    std::vector<Box> boxes;  // 1014, 1009, 1010
    bool enabled;            // 1015, 1009, 1010
  };
  const Case cases[] = {
      {"absent: off",
       std::nullopt,
       [](auto&) {},
       nullptr,
       {{295, 1014, false, true}, {295, 1009, true, false}, {295, 1010, false, false}},
       false},
      {"all results shown",
       "10",
       [](auto&) {},
       "10",
       {{295, 1014, true, true}, {295, 1009, false, true}, {295, 1010, true, true}},
       true},
      {"all results switched off",
       "10",
       [](auto& s) { s.Check(1014, false); },
       "0",
       {{295, 1014, false, true}, {295, 1009, true, false}, {295, 1010, false, false}},
       false},
      {"switched on: the top 3",
       "0",
       [](auto& s) { s.Check(1014, true); },
       "3",
       {{295, 1014, true, true}, {295, 1009, true, true}},
       true},
      {"all results picked",
       "3",
       [](auto& s) { s.Check(1010, true); },
       "10",
       {{295, 1009, false, true}, {295, 1010, true, true}},
       true},
      {"the top 3 picked",
       "10",
       [](auto& s) { s.Check(1009, true); },
       "3",
       {{295, 1009, true, true}, {295, 1010, false, true}},
       true},
      {"off: the radios take no click", "0", [](auto& s) { s.Check(1010, true); }, "0", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store({{"serpdecoratecount", c.before}});
    script_->Dialog(295);
    c.clicks(*script_);
    script_->Press(2);
    EXPECT_EQ(scheduler_.ShowDiscovery(), kActionShowSettingsAgain);
    if (c.after) {
      EXPECT_EQ(settings_.GetValue("serpdecoratecount", ""), c.after);
    } else {
      EXPECT_FALSE(settings_.HasValue("serpdecoratecount"));
    }
    ExpectBoxes(c.boxes);
    for (int id : {1015, 1009, 1010}) EXPECT_EQ(Control(295, id).enabled, c.enabled) << id;
    EXPECT_FALSE(Control(295, 236).enabled) << "site info is to come";
  }

  // Learn more opens the feature's page.
  settings_.SetValue("webserver", "https://www.tarvex.example", true);
  script_->Dialog(295).Press(1012).Press(2);
  EXPECT_EQ(scheduler_.ShowDiscovery(), kActionShowSettingsAgain);
  EXPECT_EQ(opener_.opened, std::vector<std::string>{"https://www.tarvex.example/discovery"});
  ExpectScriptDone();
}

}  // namespace
}  // namespace tarvex
