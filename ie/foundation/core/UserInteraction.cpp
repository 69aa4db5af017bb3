#include "ie/foundation/core/UserInteraction.h"

#include <cstdio>

#include "platform/ui/Desktop.h"

namespace tarvex {
namespace {

class HeadlessPrompt : public UserPrompt {
 public:
  int Ask(const std::string& text, int button1, int button2, int button3, const std::string&,
          bool*) override {
    std::fprintf(stderr, "Tarvex: %s\n", text.c_str());
    return SafestAnswer(button1, button2, button3);
  }
};

class DesktopFilePicker : public FilePicker {
 public:
  std::optional<std::string> PickExisting() override {
    return PickExistingFileWithDialog("Tarvex");
  }
};

class DesktopUrlOpener : public UrlOpener {
 public:
  int Open(const std::string& url) override { return OpenWithDesktop(url); }
};

}  // namespace

int SafestAnswer(int button1, int button2, int button3) {
  static const int kSafest[] = {kButtonCancel, kButtonNo,   kButtonClose, kButtonIgnore,
                                kButtonExit,   kButtonStop, kButtonOK,    kButtonContinue};
  for (int code : kSafest)
    if (button1 == code || button2 == code || button3 == code) return code;
  return button1;
}

UserInteraction& UserInteraction::Process() {
  // The defaults stay reachable when a program installs its own.
  static HeadlessPrompt* prompt = new HeadlessPrompt;
  static DesktopFilePicker* picker = new DesktopFilePicker;
  static DesktopUrlOpener* opener = new DesktopUrlOpener;
  static UserInteraction* ui = new UserInteraction{prompt, picker, opener};
  return *ui;
}

UserPrompt& UserInteraction::CurrentPrompt() {
  struct Current : UserPrompt {
    int Ask(const std::string& text, int button1, int button2, int button3,
            const std::string& checkboxText, bool* checked) override {
      return Process().prompt->Ask(text, button1, button2, button3, checkboxText, checked);
    }
  };
  static Current current;
  return current;
}

UrlOpener& UserInteraction::CurrentOpener() {
  struct Current : UrlOpener {
    int Open(const std::string& url) override { return Process().opener->Open(url); }
  };
  static Current current;
  return current;
}

}  // namespace tarvex
