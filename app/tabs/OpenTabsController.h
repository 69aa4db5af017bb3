// The window that lists the open tabs of the user's other computers: one
// row per computer followed by a row per tab of each of its windows; a
// double click opens the tab's address in Safari, or, on a computer's row,
// every tab of that computer.
//
// The window itself belongs to the window system (mac::WindowSystem); this
// is the table's data source and the double-click action.
#pragma once

#include <string>
#include <vector>

#include "platform/mac/Value.h"

namespace tarvex {

namespace mac {
class ScriptRunner;
class WindowSystem;
}  // namespace mac
class KestroveLogger;

class OpenTabsController {
 public:
  // Loads the window from the nib "OpenTabs" (a failure is logged and the
  // controller goes on without one), wires its table, and brings the agent
  // and the window to the front on every space. All three must outlive
  // the controller.
  OpenTabsController(mac::WindowSystem& windows, mac::ScriptRunner& scripts, KestroveLogger& logger);
  OpenTabsController(const OpenTabsController&) = delete;
  OpenTabsController& operator=(const OpenTabsController&) = delete;

  // The computers' entries by machine id ("mids" of the downloaded tabs
  // document), in ascending order of id. Entries that are no dictionary are
  // left out, and so are windows and tabs where lists and dictionaries are
  // expected but something else is found.
  void setDict(const mac::DictRef& dict);

  int numberOfRowsInTableView() const;
  // Column "1": the computer's name (its browser's when it has none); "2":
  // the tab's title; "3": its address; "" for any other column and any row
  // out of range.
  std::string tableViewObjectValue(const std::string& column, int row) const;
  // The double click on `selectedRow` (-1: none, which does nothing).
  void dclick(int selectedRow);
  // Opens an http or https address in a new tab of Safari's front window.
  // Any other address, and one holding control characters, is refused with
  // an error line; a script failure is logged. True when Safari took it.
  bool launchURLInSafari(const std::string& url);
  void showWindow();

  // The window (0 when the nib did not load).
  int window() const { return window_; }

 private:
  bool HasUrl(int row) const;

  mac::WindowSystem& windows_;
  mac::ScriptRunner& scripts_;
  KestroveLogger& logger_;
  int window_ = 0;
  mac::DictRef dict_;
  std::vector<mac::DictRef> rows_;
};

}  // namespace tarvex
