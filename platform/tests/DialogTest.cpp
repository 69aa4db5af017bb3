// Dialogs: the Windows behaviour of their controls under a person's input,
// modal loops among the thread's other messages and the quit, the scripted
// presenter that fails at once on what it did not expect, the null
// presenter, the system's message box, the tray and pop-up menus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/process/Process.h"
#include "platform/testing/Presenters.h"
#include "platform/testing/TempDir.h"
#include "platform/win/Dialog.h"
#include "platform/win/Presenter.h"
#include "platform/win/ScriptedPresenter.h"
#include "platform/win/Tray.h"

namespace tarvex {
namespace {

enum : int {
  kLabel = 10,
  kCheck = 11,
  kRadioA = 12,
  kRadioB = 13,
  kRadioOther = 14,
  kEdit = 15,
  kMultiEdit = 16,
  kFixedEdit = 17,
  kPassword = 18,
  kList = 19,
  kCombo = 20,
  kDisabledButton = 21,
  kHiddenButton = 22,
};

DialogTemplate TestTemplate(bool withDefault = true) {
  DialogTemplate t{900, "Test dialog", 200, 150, "MS Shell Dlg 8", {}};
  t.controls = {
      {kLabel, ControlKind::Static, "Label", 5, 5, 100, 10, 0},
      {kCheck, ControlKind::CheckBox, "Check", 5, 20, 100, 10, 0},
      {kRadioA, ControlKind::Radio, "A", 5, 35, 30, 10, kGroupStart},
      {kRadioB, ControlKind::Radio, "B", 40, 35, 30, 10, 0},
      {kRadioOther, ControlKind::Radio, "Other", 75, 35, 30, 10, kGroupStart | kChecked},
      {kEdit, ControlKind::Edit, "", 5, 50, 100, 12, 0},
      {kMultiEdit, ControlKind::Edit, "", 5, 65, 100, 30, kMultiLine},
      {kFixedEdit, ControlKind::Edit, "fixed", 5, 100, 100, 12, kReadOnly},
      {kPassword, ControlKind::Password, "", 110, 50, 80, 12, 0},
      {kList, ControlKind::ListBox, "", 110, 65, 80, 30, 0},
      {kCombo, ControlKind::ComboBox, "", 110, 100, 80, 12, 0},
      {kDisabledButton, ControlKind::Button, "Disabled", 5, 130, 40, 14, kDisabled},
      {kHiddenButton, ControlKind::Button, "Hidden", 50, 130, 40, 14, kHidden},
      {IDOK, withDefault ? ControlKind::DefaultButton : ControlKind::Button, "OK", 100, 130, 40, 14,
       0},
      {IDCANCEL, ControlKind::Button, "Cancel", 150, 130, 40, 14, 0},
  };
  return t;
}

struct Command {
  int id;
  int code;
  bool operator==(const Command&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Command& c) {
  return os << "{" << c.id << ", " << c.code << "}";
}

// Records every command; OK and Cancel end it with their id.
class TestDialog : public Dialog {
 public:
  explicit TestDialog(DialogTemplate t = TestTemplate()) : Dialog(std::move(t)) { result_ = 1525; }
  std::vector<Command> commands;
  std::function<void(TestDialog&, int, int)> onCommand;

 protected:
  bool OnInitDialog() override {
    for (const char* name : {"Alpha", "beta", "gamma"}) {
      ListAdd(kList, name);
      ListAdd(kCombo, name);
    }
    commands.clear();
    return true;
  }
  void OnCommand(int id, int code) override {
    commands.push_back({id, code});
    if (onCommand) onCommand(*this, id, code);
    if (id == IDOK || id == IDCANCEL) EndDialog(id);
  }
};

// Sends the given inputs to each dialog shown, then ends it with 99 when
// the inputs did not; keeps the dialog's last state.
class InputPresenter : public NullPresenter {
 public:
  std::vector<DialogInput> inputs;
  DialogSnapshot last;
  void DialogShown(const DialogSnapshot& d) override {
    last = d;
    for (const DialogInput& i : inputs) SendDialogInput(d.window, i);
    SendDialogInput(d.window, DialogInput::ForceEnd(99));
  }
  void DialogChanged(const DialogSnapshot& d) override { last = d; }
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = SetPresenter(inputs_); }
  void TearDown() override { SetPresenter(saved_); }
  std::shared_ptr<InputPresenter> inputs_ = std::make_shared<InputPresenter>();
  std::shared_ptr<Presenter> saved_;
};

TEST_F(DialogTest, APersonsInputBehavesAsWindowsControlsDo) {
  using I = DialogInput;
  struct Case {
    const char* name;
    std::vector<DialogInput> inputs;
    std::vector<Command> commands;
    std::function<void(const DialogSnapshot&)> check;
    int result = 99;
  };
  auto state = [](const DialogSnapshot& s, int id) { return *s.Find(id); };
  const Case cases[] = {
      {"a check box flips, then is heard",
       {I::Click(kCheck), I::Click(kCheck), I::Click(kCheck)},
       {{kCheck, BN_CLICKED}, {kCheck, BN_CLICKED}, {kCheck, BN_CLICKED}},
       [&](const DialogSnapshot& s) { EXPECT_TRUE(state(s, kCheck).checked); }},
      {"SetCheck clicks only when the state differs",
       {I::SetCheck(kCheck, false), I::SetCheck(kCheck, true), I::SetCheck(kCheck, true)},
       {{kCheck, BN_CLICKED}},
       [&](const DialogSnapshot& s) { EXPECT_TRUE(state(s, kCheck).checked); }},
      {"a radio clears its own group only",
       {I::Click(kRadioA), I::Click(kRadioB)},
       {{kRadioA, BN_CLICKED}, {kRadioB, BN_CLICKED}},
       [&](const DialogSnapshot& s) {
         EXPECT_FALSE(state(s, kRadioA).checked);
         EXPECT_TRUE(state(s, kRadioB).checked);
         EXPECT_TRUE(state(s, kRadioOther).checked) << "another group";
       }},
      {"typing changes an edit and tells it, a read-only one takes nothing",
       {I::Type(kEdit, "Laptop"), I::Type(kMultiEdit, "a\r\nb"), I::Type(kFixedEdit, "x"),
        I::Type(kPassword, "secret"), I::Type(kLabel, "x")},
       {{kEdit, EN_CHANGE}, {kMultiEdit, EN_CHANGE}, {kPassword, EN_CHANGE}},
       [&](const DialogSnapshot& s) {
         EXPECT_EQ(state(s, kEdit).text, "Laptop");
         EXPECT_EQ(state(s, kMultiEdit).text, "a\r\nb");
         EXPECT_EQ(state(s, kFixedEdit).text, "fixed");
         EXPECT_EQ(state(s, kPassword).text, "secret");
         EXPECT_EQ(state(s, kLabel).text, "Label");
       }},
      {"a selection by index or text is heard; one out of range is not",
       {I::Select(kList, 2), I::SelectText(kCombo, "beta"), I::Select(kList, 3),
        I::SelectText(kCombo, "BETA")},
       {{kList, LBN_SELCHANGE}, {kCombo, CBN_SELCHANGE}},
       [&](const DialogSnapshot& s) {
         EXPECT_EQ(state(s, kList).selected, 2);
         EXPECT_EQ(state(s, kCombo).selected, 1);
       }},
      {"disabled and hidden controls take no input",
       {I::Click(kDisabledButton), I::Click(kHiddenButton), I::Click(404)},
       {},
       nullptr},
      {"Enter presses the default button", {I::Key(DialogKey::Enter)}, {{IDOK, 0}}, nullptr,
       IDOK},
      {"Escape sends IDCANCEL", {I::Key(DialogKey::Escape)}, {{IDCANCEL, 0}}, nullptr, IDCANCEL},
      {"the close box is IDCANCEL unless handled", {I::Close()}, {{IDCANCEL, 0}}, nullptr,
       IDCANCEL},
      {"nothing after the dialog ended", {I::Click(IDOK), I::Click(kCheck)}, {{IDOK, 0}},
       [&](const DialogSnapshot& s) {
         EXPECT_FALSE(state(s, kCheck).checked);
         EXPECT_FALSE(s.visible) << "hidden at once";
       },
       IDOK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inputs_->inputs = c.inputs;
    TestDialog dialog;
    EXPECT_EQ(dialog.DoModal(), c.result);
    EXPECT_EQ(dialog.commands, c.commands);
    if (c.check) c.check(inputs_->last);
    EXPECT_FALSE(dialog.window()) << "gone once DoModal returned";
  }
}

TEST_F(DialogTest, ProgramsChangeControlsTheWindowsWay) {
  inputs_->inputs.clear();
  TestDialog dialog;
  dialog.onCommand = [](TestDialog& d, int id, int code) {
    if (id != kCheck) return;
    (void)code;
    // A program's text in a single-line edit is heard; in a multi-line one
    // it is not.
    d.SetItemText(kEdit, "from the program");
    d.SetItemText(kMultiEdit, "quiet");
    EXPECT_FALSE(d.SetItemText(1016, "no such control"));
    EXPECT_FALSE(d.CheckItem(1016, true));
    EXPECT_FALSE(d.IsItemChecked(1016));
    // A list's search finds the first entry beginning with the text, in
    // either case, and leaves the selection alone when none does.
    EXPECT_TRUE(d.ListSelectString(kList, "BE"));
    EXPECT_EQ(d.ListGetCurSel(kList), 1);
    EXPECT_FALSE(d.ListSelectString(kList, "delta"));
    EXPECT_EQ(d.ListGetCurSel(kList), 1);
    EXPECT_TRUE(d.ListInsert(kList, 0, "<none>"));
    EXPECT_EQ(d.ListGetCurSel(kList), 2) << "the selected entry moved down";
    EXPECT_EQ(d.ListGetText(kList, 0), "<none>");
    EXPECT_EQ(d.ListGetText(kList, 9), "");
  };
  inputs_->inputs = {DialogInput::Click(kCheck)};
  dialog.DoModal();
  EXPECT_EQ(dialog.commands, (std::vector<Command>{{kCheck, BN_CLICKED}, {kEdit, EN_CHANGE}}));
  EXPECT_EQ(inputs_->last.Find(kEdit)->text, "from the program");
  EXPECT_EQ(inputs_->last.Find(kList)->items.size(), 4u);
}

TEST_F(DialogTest, EnterWithoutADefaultButtonIsIdok) {
  inputs_->inputs = {DialogInput::Key(DialogKey::Enter)};
  TestDialog dialog(TestTemplate(false));
  EXPECT_EQ(dialog.DoModal(), IDOK);
}

TEST_F(DialogTest, AModalLoopDispatchesTheThreadsOtherMessagesAndPassesTheQuitOn) {
  std::vector<uint64_t> seen;
  HWND other = CreateLocalWindow("other", [&](const HWND&, uint32_t m, uint64_t wp, int64_t) {
    if (m == WM_COMMAND) seen.push_back(wp);
    return int64_t{0};
  });
  // A presenter that answers nothing: the dialog ends only through the
  // quit.
  class Silent : public NullPresenter {
   public:
    void DialogShown(const DialogSnapshot&) override {}
  };
  SetPresenter(std::make_shared<Silent>());
  TestDialog dialog;
  dialog.onCommand = nullptr;
  PostMessage(other, WM_COMMAND, 1, 0);
  PostMessage(other, WM_COMMAND, 2, 0);
  PostQuitMessage(3);
  EXPECT_EQ(dialog.DoModal(), 1525) << "the result it held";
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2}));
  MSG msg;
  EXPECT_EQ(GetMessage(&msg), 0) << "the quit passed on";
  EXPECT_EQ(msg.wParam, 3u);
  DestroyWindow(other);
}

TEST_F(DialogTest, ADialogOpenedFromAnotherDialogsHandlerRunsInsideIt) {
  testing::ScopedScript script;
  script->Dialog(900).Press(kCheck);
  script->Dialog(901).Expect(kLabel, "Label").Press(IDOK);
  TestDialog outer;
  int inner = 0;
  std::string outerSeenMeanwhile;
  outer.onCommand = [&](TestDialog& d, int id, int) {
    if (id != kCheck) return;
    d.SetItemText(kEdit, "before inner");
    DialogTemplate t = TestTemplate();
    t.id = 901;
    TestDialog dialog(t);
    inner = dialog.DoModal();
    // The outer dialog's change reached the presenter while the inner one
    // ran its loop.
    outerSeenMeanwhile = script->Latest(900)->Find(kEdit)->text;
    d.EndDialog(IDCANCEL);
  };
  EXPECT_EQ(outer.DoModal(), IDCANCEL);
  EXPECT_EQ(inner, IDOK);
  EXPECT_EQ(outerSeenMeanwhile, "before inner");
  EXPECT_EQ(script->Failures(), std::vector<std::string>{});
  EXPECT_EQ(script->Unconsumed(), 0u);
}

TEST_F(DialogTest, ADialogUnderAModalOneTakesNoInput) {
  testing::ScopedScript script;
  // The second click reaches the outer dialog while the inner one shows.
  script->Dialog(900).Press(kCheck).Press(kRadioA);
  script->Dialog(901).Press(IDOK);
  TestDialog outer;
  bool radioDuringInner = true;
  outer.onCommand = [&](TestDialog& d, int id, int) {
    if (id != kCheck) return;
    DialogTemplate t = TestTemplate();
    t.id = 901;
    TestDialog inner(t);
    inner.DoModal();
    radioDuringInner = d.IsItemChecked(kRadioA);
    d.EndDialog(IDCANCEL);
  };
  EXPECT_EQ(outer.DoModal(), IDCANCEL);
  EXPECT_FALSE(radioDuringInner) << "the click on the covered dialog was dropped";
  EXPECT_EQ(outer.commands, (std::vector<Command>{{kCheck, BN_CLICKED}}));
  EXPECT_EQ(script->Failures(), std::vector<std::string>{});
}

TEST(ScriptedPresenterTest, WhatTheScriptDidNotExpectFailsAtOnceAndEndsTheDialog) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPresenter&)> script;
    const char* failure;
  };
  const Case cases[] = {
      {"nothing more", [](ScriptedPresenter&) {}, "dialog 900 shown after the script ended"},
      {"another dialog", [](ScriptedPresenter& s) { s.Dialog(111).Press(2); },
       "dialog 900 shown where the script expected dialog 111"},
      {"a menu", [](ScriptedPresenter& s) { s.Choose("Exit"); },
       "dialog 900 shown where the script expected a menu"},
      {"a text not there", [](ScriptedPresenter& s) { s.Dialog(900).Expect(kLabel, "Other"); },
       "dialog 900: control 10 should contain \"Other\" but it reads \"Label\""},
      {"an exact text", [](ScriptedPresenter& s) { s.Dialog(900).Expect(kLabel, "Lab", true); },
       "dialog 900: control 10 should read \"Lab\" but it reads \"Label\""},
      {"a hidden control", [](ScriptedPresenter& s) { s.Dialog(900).Expect(kHiddenButton, ""); },
       "dialog 900: control 22 should contain \"\" but it is hidden"},
      {"no such control", [](ScriptedPresenter& s) { s.Dialog(900).Expect(1016, "x"); },
       "dialog 900: control 1016 should contain \"x\" but there is no such control"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedScript script;
    c.script(*script);
    std::vector<std::string> told;
    script->OnFailure([&](const std::string& f) { told.push_back(f); });
    TestDialog dialog;
    EXPECT_EQ(dialog.DoModal(), kScriptFailedResult);
    ASSERT_EQ(script->Failures().size(), 1u);
    EXPECT_EQ(script->Failures()[0].rfind(c.failure, 0), 0u) << script->Failures()[0];
    EXPECT_EQ(told, script->Failures());
    EXPECT_TRUE(dialog.commands.empty()) << "nothing was done to it";
  }
}

TEST(ScriptedPresenterTest, ScriptsAreReadFromTextAndBadLinesAreNamed) {
  std::string error;
  auto script = ScriptedPresenter::Parse(
      "# a comment\n"
      "\n"
      "dialog 900 expect 10 ~\"Lab\" expect 15 \"\" check 11 on type 15 \"say \\\"hi\\\"\" "
      "select 19 \"gamma\" key enter\n"
      "menu choose \"Exit\"\n"
      "menu dismiss\n",
      &error);
  ASSERT_TRUE(script) << error;
  EXPECT_EQ(script->Unconsumed(), 3u);
  auto saved = SetPresenter(script);
  TestDialog dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  SetPresenter(saved);
  EXPECT_EQ(script->Failures(), std::vector<std::string>{});
  EXPECT_EQ(dialog.commands, (std::vector<Command>{{kCheck, BN_CLICKED},
                                                   {kEdit, EN_CHANGE},
                                                   {kList, LBN_SELCHANGE},
                                                   {IDOK, BN_CLICKED}}));
  EXPECT_EQ(script->Latest(900)->Find(kEdit)->text, "say \"hi\"");
  EXPECT_EQ(script->Unconsumed(), 2u);

  struct Bad {
    const char* text;
    const char* error;
  };
  const Bad bad[] = {
      {"dialog\n", "line 1: expected dialog ID or menu"},
      {"dialog x press 1\n", "line 1: expected dialog ID or menu"},
      {"\nwindow 3\n", "line 2: expected dialog ID or menu"},
      {"dialog 1 press\n", "line 1: cannot read \"press\""},
      {"dialog 1 check 2 maybe\n", "line 1: cannot read \"check\""},
      {"dialog 1 type 2 \"open\n", "line 1: a quoted text is not closed"},
      {"menu choose Exit\n", "line 1: expected menu choose \"item\" or menu dismiss"},
      {"dialog 1 fill 2\n", "line 1: cannot read \"fill\""},
      {"dialog 1 fill 2 \"=x\"\n", "line 1: a field to fill is \"name=value\", not \"=x\""},
      {"dialog 1 fill 2 \"_flag\"\n", "line 1: a field to fill is \"name=value\", not \"_flag\""},
  };
  for (const Bad& b : bad) {
    error.clear();
    EXPECT_FALSE(ScriptedPresenter::Parse(b.text, &error)) << b.text;
    EXPECT_EQ(error.rfind(b.error, 0), 0u) << error;
  }
  EXPECT_FALSE(ScriptedPresenter::FromFile("/nonexistent/script", &error));
  EXPECT_EQ(error, "cannot read the script [/nonexistent/script]");
}

TEST(ScriptedPresenterTest, AProgramWhoseScriptFailsEndsAtOnceSayingWhy) {
  testing::TempDir temp;
  struct Case {
    const char* script;
    int exitCode;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"dialog 0 expect 65535 ~\"Replace\" press 6\n", 0, "6", ""},
      {"dialog 0 press 7\n", 0, "7", ""},
      {"dialog 0 expect 65535 ~\"Upload\" press 6\n", 86, "",
       "tarvex: the script failed: dialog 0: control 65535 should contain \"Upload\""},
      {"dialog 111 press 2\n", 86, "",
       "tarvex: the script failed: dialog 0 shown where the script expected dialog 111"},
      {"", 86, "", "tarvex: the script failed: dialog 0 shown after the script ended"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const std::string path = temp / "script";
    std::ofstream(path) << c.script;
    ProcessPipes pipes;
    pipes.fromOutput = true;
    int pid = -1;
    const std::string err = temp / "stderr";
    ASSERT_EQ(StartProcess({DIALOG_HELPER, "script:" + path, err,
                            "Replace your local bookmarks?"},
                           &pid, pipes),
              0u);
    std::string out;
    char ch;
    while (::read(pipes.output, &ch, 1) == 1)
      if (ch != '\n') out += ch;
    ::close(pipes.output);
    EXPECT_EQ(WaitForProcess(pid), c.exitCode);
    EXPECT_EQ(out, c.out);
    std::ifstream in(err);
    std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(said.rfind(c.err, 0), 0u) << said;
  }
}

TEST(NullPresenterTest, EveryQuestionGetsItsCancelAndIsLogged) {
  std::vector<std::string> log;
  SetWindowsLog([&](const std::string& line) { log.push_back(line); });
  auto saved = SetPresenter(std::make_shared<NullPresenter>());
  struct Case {
    uint32_t type;
    int answer;
  };
  for (const Case& c : {Case{MB_OK, IDOK}, Case{MB_OKCANCEL, IDCANCEL}, Case{MB_YESNO, IDNO}})
    EXPECT_EQ(MessageBox("Replace your local bookmarks?", "Tarvex", c.type), c.answer) << c.type;
  // A dialog without a cancel control ends as cancelled.
  DialogTemplate bare{950, "Bare", 100, 50, "", {{IDOK, ControlKind::DefaultButton, "OK"}}};
  TestDialog dialog(bare);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  SetPresenter(saved);
  SetWindowsLog(nullptr);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2], "Nobody to answer dialog 0, pressing \"No\": \"Tarvex\" "
                    "\"Replace your local bookmarks?\" [6 Yes] [7 No]");
  EXPECT_EQ(log[3].rfind("Nobody to answer dialog 950, ending it as cancelled", 0), 0u);
}

TEST_F(DialogTest, TheMessageBoxAnswersEscapeAsWindowsDoes) {
  struct Case {
    uint32_t type;
    std::vector<DialogInput> inputs;
    int answer;
  };
  const Case cases[] = {
      {MB_OK, {DialogInput::Key(DialogKey::Escape)}, IDOK},
      {MB_OKCANCEL, {DialogInput::Key(DialogKey::Escape)}, IDCANCEL},
      {MB_YESNO, {DialogInput::Key(DialogKey::Escape), DialogInput::Close()}, 99},
      {MB_YESNO, {DialogInput::Key(DialogKey::Enter)}, IDYES},
      {MB_YESNO | MB_ICONQUESTION, {DialogInput::Click(IDNO)}, IDNO},
  };
  for (const Case& c : cases) {
    inputs_->inputs = c.inputs;
    EXPECT_EQ(MessageBox("text", "caption", c.type), c.answer) << c.type;
  }
}

TEST(TrayTest, ModifyNeedsAnIconAddedAndEveryChangeAndBalloonIsShown) {
  testing::ScopedScript script;
  SetIconResources({{108, "Tarvex", "#2a7"}, {276, "Changes to synchronize", "#e90"}});
  HWND owner = CreateLocalWindow("owner", [](const HWND&, uint32_t, uint64_t, int64_t) {
    return int64_t{0};
  });
  NOTIFYICONDATA data;
  data.owner = owner;
  data.id = 1337;
  data.flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.callbackMessage = 1065;
  uint32_t error = 0;
  data.icon = LoadIcon(108, &error);
  EXPECT_EQ(error, 0u);
  data.tip = "Tarvex for IE";
  EXPECT_FALSE(Shell_NotifyIcon(NIM_MODIFY, data)) << "nothing to modify yet";
  EXPECT_FALSE(Shell_NotifyIcon(NIM_DELETE, data));
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, data));
  EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, data)) << "there already";
  data.icon = LoadIcon(276);
  data.flags = NIF_ICON | NIF_INFO;
  data.infoTitle = "Synchronization Complete";
  data.info = "Your Favorites are up to date";
  data.infoFlags = NIIF_INFO;
  ASSERT_TRUE(Shell_NotifyIcon(NIM_MODIFY, data));
  ASSERT_EQ(TrayIcons().size(), 1u);
  EXPECT_EQ(TrayIcons()[0].icon, 276);
  EXPECT_EQ(TrayIcons()[0].tip, "Tarvex for IE") << "the tip stays unless given";
  EXPECT_FALSE(LoadIcon(999, &error));
  EXPECT_EQ(error, win32::ERROR_RESOURCE_TYPE_NOT_FOUND);

  // A person's click arrives as the callback message.
  EXPECT_EQ(ClickTrayIcon(TrayIcons()[0], WM_RBUTTONDOWN), 0u);
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg));
  EXPECT_EQ(msg.message, 1065u);
  EXPECT_EQ(msg.lParam, WM_RBUTTONDOWN);

  ASSERT_TRUE(Shell_NotifyIcon(NIM_DELETE, data));
  EXPECT_TRUE(TrayIcons().empty());
  const auto history = script->TrayHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[0][0].icon, 108);
  EXPECT_EQ(history[1][0].icon, 276);
  EXPECT_TRUE(history[2].empty());
  ASSERT_EQ(script->Balloons().size(), 1u);
  EXPECT_EQ(script->Balloons()[0].title, "Synchronization Complete");
  EXPECT_EQ(script->Balloons()[0].flags, NIIF_INFO);
  DestroyWindow(owner);
}

TEST(MenuTest, AChoiceArrivesAsACommandToTheOwner) {
  std::vector<uint64_t> commands;
  HWND owner = CreateLocalWindow("owner", [&](const HWND&, uint32_t m, uint64_t wp, int64_t) {
    if (m == WM_COMMAND) commands.push_back(wp);
    return int64_t{0};
  });
  auto track = [&](uint32_t flags) {
    HMENU menu = CreatePopupMenu();
    AppendMenu(menu, MF_STRING, 1528, "Synchronize Now");
    AppendMenu(menu, MF_SEPARATOR, 0, "");
    AppendMenu(menu, MF_STRING, 1072, "Exit");
    const uint64_t chosen = TrackPopupMenu(menu, flags, 0, 0, owner);
    DestroyMenu(menu);
    return chosen;
  };
  testing::ScopedScript script;
  script->Choose("Exit").Dismiss().Choose("Synchronize Now").Choose("Help");
  EXPECT_EQ(track(TPM_BOTTOMALIGN), 1072u);
  EXPECT_EQ(track(TPM_BOTTOMALIGN), 0u) << "dismissed";
  EXPECT_EQ(track(TPM_RETURNCMD), 1528u) << "returned, not posted";
  EXPECT_EQ(track(TPM_BOTTOMALIGN), 0u) << "no such item: dismissed";
  ASSERT_EQ(script->Failures().size(), 1u);
  EXPECT_EQ(script->Failures()[0],
            "the menu has no item \"Help\": | Synchronize Now | - | Exit");
  MSG msg;
  while (PeekMessage(&msg)) DispatchMessage(msg);
  EXPECT_EQ(commands, std::vector<uint64_t>{1072});
  DestroyWindow(owner);
}

}  // namespace
}  // namespace tarvex
