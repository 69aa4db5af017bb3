#include "prefPane/core/KestroveSettings.h"

#include <stdio.h>
#include <sys/stat.h>

#include "platform/mac/Plist.h"
#include "platform/mac/System.h"
#include "prefPane/core/SystemProxies.h"
#include "text/Text.h"

namespace tarvex::pane {

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

KestroveSettings::Data KestroveSettings::defaults(const std::string& computerName) {
  return {
      {kSettingLaunchAtLogin, "true"},
      {kSettingAutoSync, "true"},
      {kSettingShowStatusMenu, "true"},
      {kSettingUseGrowl, "true"},
      {kSettingCheckForUpdates, "true"},
      {kSettingEnableLogging, "true"},
      {kSettingMachineId, "anon"},
      {kSettingEnableSmartSearch, "true"},
      {kSettingSmartSearchTop3, "true"},
      {kSettingEnableSyncNotification, "true"},
      {kSettingEnableBib, "true"},
      {kSettingToolbarSetup, "false"},
      {kSettingEncryptionType, "2"},
      {kSettingUseProxy, "false"},
      {kSettingHttpsProxy, ""},
      {kSettingHttpProxy, ""},
      {kSettingTabComputerName, computerName + " - Safari"},
      {kSettingUseTabSync, "false"},
  };
}

KestroveSettings& KestroveSettings::prefSettings() {
  static KestroveSettings shared = withDefaults(mac::ExpandTilde(kPaneSettingsPath), ComputerName());
  return shared;
}

KestroveSettings KestroveSettings::withDefaults(const std::string& path, const std::string& computerName) {
  KestroveSettings settings(path);
  settings.overwriteFromDictionary(defaults(computerName));
  settings.loadFromFile();
  return settings;
}

KestroveSettings::KestroveSettings(std::string path) : path_(std::move(path)) {}

bool KestroveSettings::loadFromFile() {
  mac::PlistRead read = mac::ReadPlistDict(path_);
  switch (read.status) {
    case mac::PlistRead::Status::Missing:
      unreadable_ = false;
      lastError_.clear();
      return true;
    case mac::PlistRead::Status::Unreadable:
      unreadable_ = true;
      lastError_ = read.error;
      return false;
    case mac::PlistRead::Status::Dict:
      break;
  }
  unreadable_ = false;
  lastError_.clear();
  Data values;
  for (const auto& [key, value] : *read.dict)
    if (std::optional<std::string> text = mac::TextOf(value)) values[key] = *text;
  overwriteFromDictionary(values);
  return true;
}

bool KestroveSettings::SetAside() {
  std::string aside = path_ + ".unreadable";
  for (int i = 1; Exists(aside) && i < 100; ++i) aside = path_ + ".unreadable." + std::to_string(i);
  if (Exists(aside) || ::rename(path_.c_str(), aside.c_str()) != 0) {
    lastError_ = Format("%s could not be read and could not be set aside; the settings are not saved", path_);
    return false;
  }
  unreadable_ = false;
  return true;
}

bool KestroveSettings::save() {
  // Only a file that still cannot be read is set aside: the agent may have
  // replaced it with a good one since.
  if (unreadable_ && mac::ReadPlistDict(path_).status == mac::PlistRead::Status::Unreadable && !SetAside())
    return false;
  unreadable_ = false;
  auto dict = mac::NewDict();
  for (const auto& [key, value] : data_) (*dict)[key] = value;
  lastError_ = mac::WritePlistDictAtomically(path_, dict, 0600);
  return lastError_.empty();
}

void KestroveSettings::overwriteFromDictionary(const Data& values) {
  for (const auto& [key, value] : values) data_[key] = value;
}

std::optional<std::string> KestroveSettings::getValueForKey(const std::string& key) const {
  auto it = data_.find(key);
  if (it == data_.end()) return std::nullopt;
  return it->second;
}

bool KestroveSettings::hasValueKey(const std::string& key) const {
  auto it = data_.find(key);
  return it != data_.end() && !it->second.empty();
}

bool KestroveSettings::getBoolKey(const std::string& key) const {
  auto it = data_.find(key);
  return it != data_.end() && it->second == "true";
}

int KestroveSettings::getBoolKeyAsButtonState(const std::string& key) const {
  return getBoolKey(key) ? kButtonOn : kButtonOff;
}

void KestroveSettings::setKeyForValue(const std::string& key, const std::optional<std::string>& value) {
  if (value)
    data_[key] = *value;
  else
    data_.erase(key);
}

void KestroveSettings::setBoolKeyForValue(const std::string& key, bool value) {
  setKeyForValue(key, std::string(value ? "true" : "false"));
}

void KestroveSettings::setBoolAsButtonStateKeyForValue(const std::string& key, int state) {
  setBoolKeyForValue(key, state == kButtonOn);
}

}  // namespace tarvex::pane
