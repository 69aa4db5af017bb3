#include "platform/mac/WindowSystem.h"

#include "text/Text.h"

namespace tarvex::mac {

int WindowSystem::LoadNib(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (failing_.contains(name)) {
    events_.push_back(Format("process: nib %s failed to load", name));
    return 0;
  }
  const int window = ++windows_;
  events_.push_back(Format("window %d: loaded from nib %s", window, name));
  return window;
}

void WindowSystem::WireTable(int window, const std::string& action) {
  Note(window, Format("table delegate and data source set, double action %s", action));
}

void WindowSystem::ActivateIgnoringOtherApps() { NoteProcess("activated ignoring other applications"); }

void WindowSystem::MakeKeyFrontAndMain(int window) { Note(window, "made key, front and main"); }

void WindowSystem::SetCollectionBehavior(int window, int behavior) {
  Note(window, Format("collection behaviour %d", behavior));
}

void WindowSystem::BringProcessToFront(bool frontWindowOnly) {
  NoteProcess(frontWindowOnly ? "front process, front window only" : "front process, all windows");
}

void WindowSystem::Show(int window) { Note(window, "shown"); }

void WindowSystem::Centre(int window) { Note(window, "centred"); }

void WindowSystem::FailNib(const std::string& name) {
  std::lock_guard lock(mutex_);
  failing_.insert(name);
}

std::vector<std::string> WindowSystem::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void WindowSystem::Note(int window, const std::string& what) {
  std::lock_guard lock(mutex_);
  events_.push_back(window ? Format("window %d: %s", window, what) : "no window: " + what);
}

void WindowSystem::NoteProcess(const std::string& what) {
  std::lock_guard lock(mutex_);
  events_.push_back("process: " + what);
}

WindowSystem& SharedWindowSystem() {
  static WindowSystem* windows = new WindowSystem();
  return *windows;
}

}  // namespace tarvex::mac
