#include "ie/foundation/core/UserInteraction.h"

#include <cstdio>

#include "platform/ui/Desktop.h"

namespace tarvex {
namespace {

class HeadlessPrompt : public UserPrompt {
 public:
  int Ask(const std::string& text, int button1, int, int, const std::string&, bool*) override {
    std::fprintf(stderr, "Tarvex: %s\n", text.c_str());
    return button1;
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

UserInteraction& UserInteraction::Process() {
  static UserInteraction* ui =
      new UserInteraction{new HeadlessPrompt, new DesktopFilePicker, new DesktopUrlOpener};
  return *ui;
}

}  // namespace tarvex
