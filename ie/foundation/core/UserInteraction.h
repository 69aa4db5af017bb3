// The ways the foundation talks to the user: the message box, the file-open
// dialog and opening a page in the browser. The shell installs its dialog as
// the process-wide message box; tests install scripted fakes.
#pragma once

#include <optional>
#include <string>

namespace tarvex {

// Button codes of the message box; the box returns the code of the button
// pressed.
enum ButtonCode : int {
  kButtonHidden = 0,
  kButtonOK = 1,
  kButtonCancel = 2,
  kButtonClose = 3,
  kButtonNo = 4,
  kButtonYes = 5,
  kButtonStop = 6,
  kButtonContinue = 7,
  kButtonAccept = 8,
  kButtonMerge = 9,
  kButtonDownload = 10,
  kButtonIgnore = 11,
  kButtonLearnMore = 12,
  kButtonHelp = 13,
  kButtonRestart = 14,
  kButtonExit = 15,
  kButtonSync = 16,
};

// Of the buttons offered (kButtonHidden for none), the answer that does
// least, for when nobody is there to give one: Cancel, No, Close, Ignore,
// Exit, Stop, OK, Continue in that order, else the first button.
int SafestAnswer(int button1, int button2, int button3);

class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  // Shows `text` with up to three buttons (kButtonHidden for none) and, when
  // `checkboxText` is not empty, a check box whose state starts as
  // `*checked` and is left there. Returns the code of the button pressed.
  virtual int Ask(const std::string& text, int button1, int button2 = kButtonHidden,
                  int button3 = kButtonHidden, const std::string& checkboxText = {},
                  bool* checked = nullptr) = 0;
};

class FilePicker {
 public:
  virtual ~FilePicker() = default;
  // The standard file-open dialog: an existing file, or nothing on cancel.
  virtual std::optional<std::string> PickExisting() = 0;
};

class UrlOpener {
 public:
  virtual ~UrlOpener() = default;
  // Opens a page; like the shell's "open", a result of 32 or less is a
  // failure code.
  virtual int Open(const std::string& url) = 0;
};

// The process-wide set. The programs install the shell's message box at
// start; before that, a question goes to the standard error stream and gets
// its safest answer, so nothing is done that the user did not ask for.
struct UserInteraction {
  UserPrompt* prompt;
  FilePicker* picker;
  UrlOpener* opener;

  static UserInteraction& Process();
  // A message box and an opener that ask through whatever the process set
  // holds at the time of each call (the shell installs its own after start),
  // for objects made before that.
  static UserPrompt& CurrentPrompt();
  static UrlOpener& CurrentOpener();
};

}  // namespace tarvex
