// The program's own message box: a text, up to three buttons labelled from
// the table of button codes (ButtonCode), and an optional check box. Only
// the buttons close it: there is no close box and Escape does nothing. The
// first code labels the default button on the right, the second the middle
// one, the third the left one; a code of 0 hides its button. The crash-
// report program builds it too.
#pragma once

#include <string>

#include "platform/win/Dialog.h"

namespace tarvex {

class UserPrompt;

inline constexpr int kDialogBoxTemplate = 300;
inline constexpr int kDialogBoxText = 304;
inline constexpr int kDialogBoxCheck = 305;
inline constexpr int kDialogBoxRight = 301;
inline constexpr int kDialogBoxMiddle = 302;
inline constexpr int kDialogBoxLeft = 303;

// The label of a button code ("OK", "Cancel", ... "Sync"; "None" for 0 and
// for codes outside the table).
const char* ButtonLabel(int code);

// Templates 300 (the box) and 306 (shipped, unused).
const DialogTemplate& DialogBoxTemplate();
const DialogTemplate& WideDialogBoxTemplate();

class CUIDialogBox : public Dialog {
 public:
  // `checked` (may be null) holds the check box's state: read as the initial
  // state, written with the state at close when the box has a check box.
  CUIDialogBox(std::string message, int code1, int code2 = 0, int code3 = 0,
               std::string checkText = {}, bool* checked = nullptr);

  // The code of the button pressed (0 when the box ended otherwise: the
  // program was asked to quit while it showed).
  int DoModal();

 protected:
  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  void OnClose() override {}
  bool HasCloseBox() const override { return false; }
  // What stands for "no" when nobody can answer: the safest of its buttons.
  int CancelControl() const override;

 private:
  int codes_[3];
  std::string message_;
  std::string checkText_;
  bool* checked_;
  bool state_ = false;
};

// A message box of the program, for the foundation's UserPrompt seam.
UserPrompt& DialogBoxPrompt();
// Installs DialogBoxPrompt as the process's message box: every question of
// the sync and the Favorites store shows the real box from then on.
void InstallDialogBoxPrompt();

}  // namespace tarvex
