#include "app/tabs/OpenTabsController.h"

#include "app/core/KestroveLogger.h"
#include "platform/mac/AppleScript.h"
#include "platform/mac/WindowSystem.h"
#include "text/Text.h"

namespace tarvex {

namespace {

// `text` with its control characters shown as "\xNN", for a log line.
std::string Shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += c < 0x20 || c == 0x7f ? Format("\\x%02X", c) : std::string(1, static_cast<char>(c));
  return out;
}

mac::ArrayRef ArrayAt(const mac::Dict& dict, const char* key) {
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : it->second.AsArray();
}

std::string TextAt(const mac::Dict& dict, const char* key) {
  auto it = dict.find(key);
  return it == dict.end() ? "" : mac::TextOf(it->second).value_or("");
}

}  // namespace

OpenTabsController::OpenTabsController(mac::WindowSystem& windows, mac::ScriptRunner& scripts, KestroveLogger& logger)
    : windows_(windows), scripts_(scripts), logger_(logger), dict_(mac::NewDict()) {
  window_ = windows_.LoadNib("OpenTabs");
  if (!window_) logger_.debug("OpenTabs failed to load bundle");
  windows_.WireTable(window_, "dclick:");
  windows_.ActivateIgnoringOtherApps();
  windows_.MakeKeyFrontAndMain(window_);
  windows_.SetCollectionBehavior(window_, 1);
  windows_.BringProcessToFront(true);
}

void OpenTabsController::setDict(const mac::DictRef& dict) {
  dict_ = dict ? dict : mac::NewDict();
  rows_.clear();
  for (const auto& [mid, entry] : *dict_) {
    const mac::DictRef machine = entry.AsDict();
    if (!machine) continue;
    rows_.push_back(machine);
    const mac::ArrayRef windows = ArrayAt(*machine, "windows");
    if (!windows) continue;
    for (const mac::Value& window : *windows) {
      const mac::ArrayRef tabs = window.IsDict() ? ArrayAt(*window.AsDict(), "tabs") : nullptr;
      if (!tabs) continue;
      for (const mac::Value& tab : *tabs)
        if (tab.IsDict()) rows_.push_back(tab.AsDict());
    }
  }
}

int OpenTabsController::numberOfRowsInTableView() const { return static_cast<int>(rows_.size()); }

std::string OpenTabsController::tableViewObjectValue(const std::string& column, int row) const {
  if (row < 0 || row >= numberOfRowsInTableView()) return "";
  const mac::Dict& entry = *rows_[row];
  if (column == "1") return entry.contains("clientName") ? TextAt(entry, "clientName") : TextAt(entry, "browserName");
  if (column == "2") return TextAt(entry, "title");
  if (column == "3") return TextAt(entry, "url");
  return "";
}

bool OpenTabsController::HasUrl(int row) const { return rows_[row]->contains("url"); }

void OpenTabsController::dclick(int selectedRow) {
  logger_.debug("doubleclick");
  if (selectedRow < 0 || selectedRow >= numberOfRowsInTableView()) return;
  if (HasUrl(selectedRow)) {
    launchURLInSafari(TextAt(*rows_[selectedRow], "url"));
    return;
  }
  for (int row = selectedRow + 1; row < numberOfRowsInTableView() && HasUrl(row); ++row)
    launchURLInSafari(TextAt(*rows_[row], "url"));
}

bool OpenTabsController::launchURLInSafari(const std::string& url) {
  for (unsigned char c : url) {
    if (c < 0x20 || c == 0x7f) {
      logger_.error(Format("launchURLInSafari: refused the address \"%s\": it holds control characters", Shown(url)));
      return false;
    }
  }
  const std::string scheme = AsciiLower(url.substr(0, url.find(':')));
  if (url.find(':') == std::string::npos || (scheme != "http" && scheme != "https")) {
    logger_.error(Format("launchURLInSafari: refused the address \"%s\": only http and https addresses are opened", url));
    return false;
  }
  const mac::ScriptResult result = scripts_.Run(mac::OpenAddressScriptFor(mac::EscapeAppleScriptString(url)));
  if (!result.ok) logger_.debug(result.error);
  return result.ok;
}

void OpenTabsController::showWindow() {
  windows_.Show(window_);
  windows_.Centre(window_);
}

}  // namespace tarvex
