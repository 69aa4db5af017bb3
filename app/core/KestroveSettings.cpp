#include "app/core/KestroveSettings.h"

#include <stdio.h>
#include <sys/stat.h>

#include "app/core/KestroveLogger.h"
#include "platform/mac/LoginItems.h"
#include "platform/mac/Notifications.h"
#include "platform/mac/Plist.h"
#include "platform/mac/System.h"
#include "text/Text.h"

namespace tarvex {

namespace {

// Posts on whatever center the agent uses at the time of the post, so that
// a test may set one after the shared settings were made.
class CurrentCenter : public mac::NotificationCenter {
 public:
  bool Post(const std::string& name, const mac::DictRef& userInfo) override {
    return mac::DistributedCenter().Post(name, userInfo);
  }
  void AddObserver(const std::string& name, Observer observer) override {
    mac::DistributedCenter().AddObserver(name, std::move(observer));
  }
  int Pump(int timeoutMs) override { return mac::DistributedCenter().Pump(timeoutMs); }
};

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

KestroveSettings::Data KestroveSettings::defaults() {
  return {
      {settingLaunchAtLogin, "true"},     {settingAutoSync, "true"},
      {settingShowStatusMenu, "true"},    {settingUseGrowl, "true"},
      {settingCheckForUpdates, "true"},   {settingEnableLogging, "true"},
      {settingLogLevel, "debug"},         {settingEncryptionType, "2"},
      {settingUsername, ""},              {settingAuthtoken, ""},
      {settingLastSyncTime, ""},          {settingTopRevision, ""},
      {settingProfile, ""},               {settingRememberPassword, "true"},
      {settingEnableSyncNotification, "true"},
  };
}

KestroveSettings& KestroveSettings::instance() {
  // Never destroyed: script threads may still use it while the process ends.
  static KestroveSettings* shared = [] {
    static CurrentCenter center;
    auto* settings = new KestroveSettings(
        defaults(), Paths{mac::ExpandTilde(kestroveSettingsPath), mac::ExpandTilde(loginWindowFile)}, center,
        KestroveLogger::instance());
    settings->writeToFile();
    settings->updateLaunchAtLogin();
    return settings;
  }();
  return *shared;
}

KestroveSettings::KestroveSettings(Data defaults, Paths paths, mac::NotificationCenter& center,
                                   KestroveLogger& logger)
    : data_(std::move(defaults)), paths_(std::move(paths)), center_(center), logger_(logger) {
  load();
}

bool KestroveSettings::load() {
  std::lock_guard lock(mutex_);
  mac::PlistRead read = mac::ReadPlistDict(paths_.prefs);
  if (read.status == mac::PlistRead::Status::Missing) {
    keepUnreadable_ = false;
    return true;
  }
  if (read.status == mac::PlistRead::Status::Unreadable) {
    SetAsideLocked(read.error);
    return false;
  }
  keepUnreadable_ = false;
  for (const auto& [key, value] : *read.dict) {
    if (std::optional<std::string> text = mac::TextOf(value))
      data_[key] = *text;
    else
      logger_.info(Format("Settings: the value of %s in %s is no text; left out", key, paths_.prefs));
  }
  return true;
}

void KestroveSettings::SetAsideLocked(const std::string& why) {
  std::string aside = paths_.prefs + ".unreadable";
  for (int i = 1; Exists(aside) && i < 100; ++i) aside = paths_.prefs + ".unreadable." + std::to_string(i);
  if (!Exists(aside) && ::rename(paths_.prefs.c_str(), aside.c_str()) == 0) {
    keepUnreadable_ = false;
    logger_.error(Format("Settings: %s; kept as %s, the defaults are used", why, aside));
    return;
  }
  // It could not be moved: saving would overwrite it, so nothing is saved.
  keepUnreadable_ = true;
  logger_.error(Format("Settings: %s, and it could not be set aside; the settings are not saved", why));
}

bool KestroveSettings::writeToFile() {
  std::lock_guard lock(mutex_);
  if (keepUnreadable_) {
    logger_.error(Format("Settings: not saved over %s, which could not be read", paths_.prefs));
    return false;
  }
  auto dict = mac::NewDict();
  for (const auto& [key, value] : data_) (*dict)[key] = value;
  std::string error = mac::WritePlistDictAtomically(paths_.prefs, dict, 0600);
  if (!error.empty()) {
    logger_.error("Settings: " + error);
    return false;
  }
  auto info = mac::NewDict({{"action", "updatePrefs"}, {"data", ""}, {"username", mac::UserName()}});
  if (!center_.Post(kestrovePrefNotification, info))
    logger_.error(Format("Settings: saved, but the notification %s could not be posted", kestrovePrefNotification));
  return true;
}

std::optional<std::string> KestroveSettings::getString(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = data_.find(key);
  if (it == data_.end()) return std::nullopt;
  return it->second;
}

bool KestroveSettings::hasValue(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = data_.find(key);
  return it != data_.end() && !it->second.empty();
}

bool KestroveSettings::getBoolean(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = data_.find(key);
  return it != data_.end() && it->second == "true";
}

void KestroveSettings::setKeyForValue(const std::string& key, const std::optional<std::string>& value) {
  std::lock_guard lock(mutex_);
  if (value)
    data_[key] = *value;
  else
    data_.erase(key);
}

void KestroveSettings::setBooleanKeyForValue(const std::string& key, bool value) {
  setKeyForValue(key, std::string(value ? "true" : "false"));
}

KestroveSettings::Data KestroveSettings::data() {
  std::lock_guard lock(mutex_);
  return data_;
}

bool KestroveSettings::updateLaunchAtLogin() {
  mac::LoginItemUpdate update =
      mac::UpdateLoginItem(paths_.loginWindow, kestroveApplicationPath, getBoolean(settingLaunchAtLogin));
  switch (update.outcome) {
    case mac::LoginItemUpdate::Outcome::Unchanged:
    case mac::LoginItemUpdate::Outcome::Written:
      return true;
    case mac::LoginItemUpdate::Outcome::Unreadable:
      logger_.error("Login items left as they are: " + update.error);
      return false;
    case mac::LoginItemUpdate::Outcome::WriteFailed:
      logger_.error("Login items not changed: " + update.error);
      return false;
  }
  return false;
}

}  // namespace tarvex
