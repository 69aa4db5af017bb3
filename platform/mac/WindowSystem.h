// The window system as the agent's tabs window uses it: loading the window
// from its nib, wiring the table, bringing the agent and the window to the
// front, showing and centring it. Nothing is drawn here: the window system
// notes each step as a line "window N: what", or "process: what" for the
// steps that concern the whole agent, so tests and people can see what a
// window went through ("no window: ..." for the steps of a window whose
// nib did not load). Loading a nib can be made to fail.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tarvex::mac {

class WindowSystem {
 public:
  // The window of the nib `name` (numbered from 1), or 0 when the nib does
  // not load.
  int LoadNib(const std::string& name);
  // The table of `window` takes the controller as delegate and data source,
  // and `action` as its double-click action.
  void WireTable(int window, const std::string& action);
  void ActivateIgnoringOtherApps();
  void MakeKeyFrontAndMain(int window);
  void SetCollectionBehavior(int window, int behavior);
  void BringProcessToFront(bool frontWindowOnly);
  void Show(int window);
  void Centre(int window);

  // Makes LoadNib(name) fail from now on.
  void FailNib(const std::string& name);
  std::vector<std::string> Events() const;

 private:
  // A step of `window`; a nib that did not load leaves the steps with no
  // window to act on.
  void Note(int window, const std::string& what);
  void NoteProcess(const std::string& what);

  mutable std::mutex mutex_;
  std::set<std::string> failing_;
  int windows_ = 0;
  std::vector<std::string> events_;
};

// The window system of the agent, made on first use and never destroyed.
WindowSystem& SharedWindowSystem();

}  // namespace tarvex::mac
