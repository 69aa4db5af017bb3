#include "ie/shell/dialogbox/CUIDialogBox.h"

#include "ie/foundation/core/UserInteraction.h"

namespace tarvex {
namespace {

constexpr int kButtons[3] = {kDialogBoxRight, kDialogBoxMiddle, kDialogBoxLeft};

DialogTemplate MakeBoxTemplate() {
  DialogTemplate t{kDialogBoxTemplate, "Tarvex", 272, 98, "MS Sans Serif 8", {}};
  t.controls = {
      {kDialogBoxText, ControlKind::Static, "", 7, 7, 257, 63, 0},
      {kDialogBoxCheck, ControlKind::CheckBox, "", 7, 60, 257, 10, kHidden},
      {kDialogBoxLeft, ControlKind::Button, "", 67, 75, 60, 14, 0},
      {kDialogBoxMiddle, ControlKind::Button, "", 131, 75, 60, 14, 0},
      {kDialogBoxRight, ControlKind::DefaultButton, "", 200, 75, 60, 14, 0},
  };
  return t;
}

DialogTemplate MakeWideTemplate() {
  DialogTemplate t = MakeBoxTemplate();
  t.id = 306;
  t.width = 209;
  t.font = "MS Shell Dlg 8";
  return t;
}

}  // namespace

const char* ButtonLabel(int code) {
  static const char* const kLabels[] = {
      "None",     "OK",     "Cancel", "Close",      "No",   "Yes",
      "Stop",     "Continue", "Accept", "Merge",    "Download", "Ignore",
      "Learn more", "Help", "Restart Tarvex", "Exit", "Sync",
  };
  if (code < 0 || code >= static_cast<int>(sizeof kLabels / sizeof kLabels[0])) return kLabels[0];
  return kLabels[code];
}

const DialogTemplate& DialogBoxTemplate() {
  static const DialogTemplate* t = new DialogTemplate(MakeBoxTemplate());
  return *t;
}

const DialogTemplate& WideDialogBoxTemplate() {
  static const DialogTemplate* t = new DialogTemplate(MakeWideTemplate());
  return *t;
}

CUIDialogBox::CUIDialogBox(std::string message, int code1, int code2, int code3,
                           std::string checkText, bool* checked)
    : Dialog(DialogBoxTemplate()),
      codes_{code1, code2, code3},
      message_(std::move(message)),
      checkText_(std::move(checkText)),
      checked_(checked) {
  result_ = kButtonHidden;
}

int CUIDialogBox::DoModal() {
  const int result = Dialog::DoModal();
  if (!checkText_.empty() && checked_) *checked_ = state_;
  return result;
}

bool CUIDialogBox::OnInitDialog() {
  SetItemText(kDialogBoxText, message_);
  for (int i = 0; i < 3; ++i) {
    SetItemText(kButtons[i], ButtonLabel(codes_[i]));
    ShowItem(kButtons[i], codes_[i] != kButtonHidden);
  }
  state_ = checked_ && *checked_;
  if (!checkText_.empty()) {
    SetItemText(kDialogBoxCheck, checkText_);
    CheckItem(kDialogBoxCheck, state_);
    ShowItem(kDialogBoxCheck, true);
  }
  return true;
}

void CUIDialogBox::OnCommand(int id, int code) {
  if (code != BN_CLICKED) return;
  for (int i = 0; i < 3; ++i) {
    if (id == kButtons[i]) {
      EndDialog(codes_[i]);
      return;
    }
  }
  if (id == kDialogBoxCheck) state_ = IsItemChecked(kDialogBoxCheck);
}

int CUIDialogBox::CancelControl() const {
  const int answer = SafestAnswer(codes_[0], codes_[1], codes_[2]);
  for (int i = 0; i < 3; ++i)
    if (answer != kButtonHidden && codes_[i] == answer) return kButtons[i];
  return 0;
}

UserPrompt& DialogBoxPrompt() {
  struct Prompt : UserPrompt {
    int Ask(const std::string& text, int button1, int button2, int button3,
            const std::string& checkboxText, bool* checked) override {
      CUIDialogBox box(text, button1, button2, button3, checkboxText, checked);
      return box.DoModal();
    }
  };
  static Prompt* prompt = new Prompt;
  return *prompt;
}

void InstallDialogBoxPrompt() {
  UserInteraction::Process().prompt = &DialogBoxPrompt();
}

}  // namespace tarvex
