// The agent's settings: text values by key, kept in the property list
// ~/Library/Tarvex/prefs.plist (private: 0600 in a 0700 folder). Saving
// tells the preference pane through the distributed notification
// "TarvexPref"; the agent's login item follows "launchAtLogin".
//
// One shared object (instance()) serves the engine's port layer and the
// scripts; tests make their own with paths, a notification center and a
// logger of their own. Every method but the constructor and
// updateLaunchAtLogin() runs under the object's (recursive) lock.
//
// A prefs file that exists but cannot be read is renamed aside to
// "prefs.plist.unreadable" ("prefs.plist.unreadable.N" when that is taken)
// and the error logged before the defaults are saved over its name, so the
// account and revision it held are not lost; when it cannot be moved,
// nothing is saved over it.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tarvex {

namespace mac {
class NotificationCenter;
}
class KestroveLogger;

// The keys.
inline constexpr char settingLaunchAtLogin[] = "launchAtLogin";
inline constexpr char settingAutoSync[] = "autoSync";
inline constexpr char settingShowStatusMenu[] = "showStatusMenu";
inline constexpr char settingUseGrowl[] = "useGrowl";
inline constexpr char settingCheckForUpdates[] = "checkForUpdates";
inline constexpr char settingEnableLogging[] = "enableLogging";
inline constexpr char settingLogLevel[] = "logLevel";
inline constexpr char settingEncryptionType[] = "encryptionType";
inline constexpr char settingUsername[] = "username";
inline constexpr char settingAuthtoken[] = "authtoken";
inline constexpr char settingLastSyncTime[] = "lastSyncTime";
inline constexpr char settingTopRevision[] = "topRevision";
inline constexpr char settingProfile[] = "profile";
inline constexpr char settingRememberPassword[] = "rememberPassword";
inline constexpr char settingEnableSyncNotification[] = "enableSyncNotification";
inline constexpr char settingVersion[] = "version";
inline constexpr char settingNetworkConnectionFailed[] = "networkFailure";
inline constexpr char settingUseTabSync[] = "useTabSync";
inline constexpr char settingTabComputerName[] = "tabComputerName";

// The files ("~" is the home folder, $HOME).
inline constexpr char kestroveSettingsPath[] = "~/Library/Tarvex/prefs.plist";
inline constexpr char loginWindowFile[] = "~/Library/Preferences/loginwindow.plist";
inline constexpr char kestroveLogPath[] = "~/Library/Tarvex/tarvex.log.txt";
// The agent's own entry among the login items.
inline constexpr char kestroveApplicationPath[] = "/Applications/Tarvex for Safari.app";
// The distributed notification that saving posts.
inline constexpr char kestrovePrefNotification[] = "TarvexPref";

class KestroveSettings {
 public:
  using Data = std::map<std::string, std::string>;

  // The defaults the shared settings start from.
  static Data defaults();

  // The shared settings, made on first use and never destroyed: the
  // defaults, then load(), then writeToFile(), then updateLaunchAtLogin(),
  // on the paths above, posting on mac::DistributedCenter() and logging to
  // KestroveLogger::instance().
  static KestroveSettings& instance();

  struct Paths {
    std::string prefs;        // prefs.plist
    std::string loginWindow;  // loginwindow.plist
  };
  // initWithDefaults: `defaults` copied, then load(). Nothing is written.
  // `center` and `logger` must outlive the object.
  KestroveSettings(Data defaults, Paths paths, mac::NotificationCenter& center,
                   KestroveLogger& logger);
  KestroveSettings(const KestroveSettings&) = delete;
  KestroveSettings& operator=(const KestroveSettings&) = delete;

  // Reads the prefs file; its entries replace the same keys (keys only in
  // memory stay). A missing file changes nothing and answers true; one that
  // cannot be read is set aside, logged, and answers false. Numbers and
  // booleans in the file are taken as their text; lists and dictionaries
  // are skipped with a log line.
  bool load();
  // Writes every setting atomically (folder created when missing), then
  // posts "TarvexPref" with {"action": "updatePrefs", "data": "",
  // "username": the login name}. A failed write is logged, leaves the old
  // file, posts nothing and answers false.
  bool writeToFile();

  // The value, or nothing.
  std::optional<std::string> getString(const std::string& key);
  // True when the key has a value other than "".
  bool hasValue(const std::string& key);
  // True exactly when the value is "true".
  bool getBoolean(const std::string& key);
  // In memory only; nothing (nil) removes the key.
  void setKeyForValue(const std::string& key, const std::optional<std::string>& value);
  // Stores "true" or "false".
  void setBooleanKeyForValue(const std::string& key, bool value);

  // Adds the agent's login item when "launchAtLogin" is "true" and it has
  // none, removes every entry of it when not; writes the login-items file
  // only when it changed. A file that exists but cannot be read, or whose
  // list is not a list, is logged and left alone. Answers false on such a
  // file or a failed write.
  bool updateLaunchAtLogin();

  const Paths& paths() const { return paths_; }
  // A copy of every setting.
  Data data();

 private:
  // Moves an unreadable prefs file aside, or, when it cannot, keeps later
  // saves from replacing it.
  void SetAsideLocked(const std::string& why);

  std::recursive_mutex mutex_;
  Data data_;
  bool keepUnreadable_ = false;
  Paths paths_;
  mac::NotificationCenter& center_;
  KestroveLogger& logger_;
};

}  // namespace tarvex
