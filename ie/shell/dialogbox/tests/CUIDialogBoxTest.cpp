// The program's message box: labels and places of its buttons by code, the
// default button, the check box in and out, only its buttons end it, and it
// is the process's message box once installed.
#include "ie/shell/dialogbox/CUIDialogBox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ie/foundation/core/UserInteraction.h"
#include "platform/testing/Presenters.h"

namespace tarvex {
namespace {

TEST(CUIDialogBoxTest, ButtonCodesGiveLabelsPlacesAndTheCodeReturned) {
  struct Case {
    int codes[3];
    const char* labels[3];  // right (default), middle, left; nullptr: hidden
    int press;              // control pressed
    int returned;
  };
  const Case cases[] = {
      {{7, 13, 0}, {"Continue", "Help", nullptr}, kDialogBoxMiddle, 13},
      {{7, 13, 0}, {"Continue", "Help", nullptr}, kDialogBoxRight, 7},
      {{1, 0, 0}, {"OK", nullptr, nullptr}, kDialogBoxRight, 1},
      {{10, 12, 11}, {"Download", "Learn more", "Ignore"}, kDialogBoxLeft, 11},
      {{16, 10, 2}, {"Sync", "Download", "Cancel"}, kDialogBoxMiddle, 10},
      {{3, 13, 0}, {"Close", "Help", nullptr}, kDialogBoxRight, 3},
      {{14, 15, 0}, {"Restart Tarvex", "Exit", nullptr}, kDialogBoxMiddle, 15},
      {{4, 5, 0}, {"No", "Yes", nullptr}, kDialogBoxMiddle, 5},
      {{6, 8, 9}, {"Stop", "Accept", "Merge"}, kDialogBoxLeft, 9},
  };
  const int controls[3] = {kDialogBoxRight, kDialogBoxMiddle, kDialogBoxLeft};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.codes[0] << "," << c.codes[1] << "," << c.codes[2]);
    testing::ScopedScript script;
    script->Dialog(kDialogBoxTemplate).Expect(kDialogBoxText, "Question?", true).Press(c.press);
    CUIDialogBox box("Question?", c.codes[0], c.codes[1], c.codes[2]);
    EXPECT_EQ(box.DoModal(), c.returned);
    EXPECT_EQ(script->Failures(), std::vector<std::string>{});
    const auto shown = script->Latest(kDialogBoxTemplate);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->title, "Tarvex");
    EXPECT_EQ(shown->defaultControl, kDialogBoxRight);
    EXPECT_FALSE(shown->Find(kDialogBoxCheck)->visible) << "no check box text";
    for (int i = 0; i < 3; ++i) {
      const ControlState* button = shown->Find(controls[i]);
      EXPECT_EQ(button->visible, c.labels[i] != nullptr) << controls[i];
      if (c.labels[i]) {
        EXPECT_EQ(button->text, c.labels[i]);
      }
    }
  }
  EXPECT_STREQ(ButtonLabel(0), "None");
  EXPECT_STREQ(ButtonLabel(17), "None");
  EXPECT_STREQ(ButtonLabel(-1), "None");
}

TEST(CUIDialogBoxTest, TheCheckBoxStartsAsGivenAndTellsItsStateAtClose) {
  struct Case {
    const char* checkText;
    bool initial;
    std::vector<bool> clicks;  // SetCheck steps
    bool after;
  };
  const Case cases[] = {
      {"Automatically check for updates", true, {}, true},
      {"Automatically check for updates", true, {false}, false},
      {"Always ask before closing", false, {true, false, true}, true},
      // Without a text there is no check box, and the state stays as given.
      {"", true, {}, true},
      {"", false, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.checkText);
    testing::ScopedScript script;
    script->Dialog(kDialogBoxTemplate);
    for (bool on : c.clicks) script->Check(kDialogBoxCheck, on);
    script->Press(kDialogBoxRight);
    bool checked = c.initial;
    CUIDialogBox box("A newer version", 10, 12, 11, c.checkText, &checked);
    EXPECT_EQ(box.DoModal(), 10);
    EXPECT_EQ(checked, c.after);
    const auto shown = script->Latest(kDialogBoxTemplate);
    ASSERT_TRUE(shown);
    const ControlState* check = shown->Find(kDialogBoxCheck);
    EXPECT_EQ(check->visible, *c.checkText != 0);
    if (*c.checkText) {
      EXPECT_EQ(check->text, c.checkText);
    }
  }
  // No state to tell: a null pointer is fine.
  testing::ScopedScript script;
  script->Dialog(kDialogBoxTemplate).Check(kDialogBoxCheck, true).Press(kDialogBoxRight);
  CUIDialogBox box("text", 1, 0, 0, "Don't ask again", nullptr);
  EXPECT_EQ(box.DoModal(), 1);
}

TEST(CUIDialogBoxTest, OnlyItsButtonsEndItAndEnterPressesTheDefault) {
  testing::ScopedScript script;
  script->Dialog(kDialogBoxTemplate)
      .Key(DialogKey::Escape)
      .Close()
      .Press(kDialogBoxLeft)  // hidden: takes nothing
      .Press(kDialogBoxText)
      .Key(DialogKey::Enter);
  CUIDialogBox box("Tarvex is already running", 7, 13);
  EXPECT_EQ(box.DoModal(), 7);
  EXPECT_EQ(script->Failures(), std::vector<std::string>{});
}

TEST(CUIDialogBoxTest, NobodyToAnswerPressesItsSafestButton) {
  struct Case {
    int codes[3];
    int answer;
  };
  const Case cases[] = {
      {{16, 10, 2}, 2}, {{5, 4, 0}, 4},  {{3, 13, 0}, 3}, {{10, 12, 11}, 11},
      {{7, 13, 0}, 7},  {{1, 2, 0}, 2},  {{1, 0, 0}, 1},  {{14, 15, 0}, 15},
  };
  SetWindowsLog([](const std::string&) {});
  auto saved = SetPresenter(std::make_shared<NullPresenter>());
  for (const Case& c : cases) {
    CUIDialogBox box("Question?", c.codes[0], c.codes[1], c.codes[2]);
    EXPECT_EQ(box.DoModal(), c.answer) << c.codes[0] << "," << c.codes[1] << "," << c.codes[2];
  }
  SetPresenter(saved);
  SetWindowsLog(nullptr);
}

TEST(CUIDialogBoxTest, OnceInstalledItIsTheProcesssMessageBox) {
  UserInteraction saved = UserInteraction::Process();
  InstallDialogBoxPrompt();
  testing::ScopedScript script;
  script->Dialog(kDialogBoxTemplate)
      .Expect(kDialogBoxText, "are you sure you want to quit?")
      .Expect(kDialogBoxCheck, "Always ask before closing", true)
      .Check(kDialogBoxCheck, false)
      .Press(kDialogBoxMiddle);
  bool askAgain = true;
  const int answer = UserInteraction::CurrentPrompt().Ask(
      "Closing Tarvex will prevent your Favorites from being synchronized, are you sure you "
      "want to quit?",
      kButtonNo, kButtonYes, kButtonHidden, "Always ask before closing", &askAgain);
  UserInteraction::Process() = saved;
  EXPECT_EQ(answer, kButtonYes);
  EXPECT_FALSE(askAgain);
  EXPECT_EQ(script->Failures(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tarvex
