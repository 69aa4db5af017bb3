// Safari's open tabs shared with the user's other computers: the list of
// this computer's tabs for the service (syncTabsWrite) and the window that
// shows the other computers' tabs (syncTabsRead).
//
// Documents:
// - written: {"mymid": mid, "data": {"windows": [{"tabs": [{"url",
//   "title", "scrollX", "scrollY", "icon"}]}], "clientName",
//   "browserName": "safari"}}; "clientName" is the setting
//   "tabComputerName" and left out when that is empty, so readers show
//   their own name for an unnamed computer;
// - read: {"mids": {mid: {"clientName", "browserName", "windows"}}}.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/tabs/OpenTabsController.h"
#include "platform/mac/AppleScript.h"
#include "platform/mac/Value.h"

namespace tarvex {

class KestroveLogger;
class KestroveSettings;

// The items of a descriptor (from the first): an item with a first item
// becomes a nested array, any other its text, or "".
mac::ArrayRef ArrayFromDescriptor(const mac::Descriptor& descriptor);

class OpenTabSync {
 public:
  // The shared object over the shared script runner, settings, logger and
  // window system; made on first use and never destroyed.
  static OpenTabSync& instance();

  // All four must outlive the object.
  OpenTabSync(mac::ScriptRunner& scripts, KestroveSettings& settings, KestroveLogger& logger,
              mac::WindowSystem& windows);
  OpenTabSync(const OpenTabSync&) = delete;
  OpenTabSync& operator=(const OpenTabSync&) = delete;

  // Safari's windows with their tabs, each tab [address, title, "X,Y"]
  // (the page's scroll offsets); an empty array when Safari does not run;
  // nothing when the script failed (its message logged).
  mac::ArrayRef getOpenTabs();
  // The JSON text of this computer's tabs for the machine id `mid`, or
  // nothing when tab sync is off ("useTabSync" is not "true") or the tabs
  // could not be read. Offsets are numbers (0 when they do not read as a
  // pair of numbers); the icon is the address's scheme and host with
  // "/favicon.ico" ("" when it has neither).
  std::optional<std::string> syncTabsWrite(const std::string& mid);
  // Shows the other computers' tabs of a downloaded document in a new
  // window (every computer but `mymid`; a document without a dictionary of
  // computers shows none). The controllers stay while the agent runs.
  OpenTabsController& syncTabsRead(const mac::Value& document, const std::string& mymid);

  const std::vector<std::unique_ptr<OpenTabsController>>& controllers() const { return controllers_; }

 private:
  mac::ScriptRunner& scripts_;
  KestroveSettings& settings_;
  KestroveLogger& logger_;
  mac::WindowSystem& windows_;
  std::vector<std::unique_ptr<OpenTabsController>> controllers_;
};

}  // namespace tarvex
