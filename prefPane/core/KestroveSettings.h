// The preference pane's settings: text values by key, read from and saved to
// the agent's property list ~/Library/Tarvex/prefs.plist. The pane has its
// own defaults (they are not the agent's: no "logLevel", and
// "tabComputerName" names this computer) and gives its values as texts,
// flags and button states.
//
// The file holds a dictionary. Texts are taken as they are; booleans as
// "true"/"false"; integers and reals as decimal text, the same reading as
// the agent's; any other value (a date, data, a list, a dictionary) is left
// out. A file that is missing, is no property list or whose root is not a
// dictionary leaves the values as they were.
//
// Saving writes every value as an XML property list to a temporary file
// beside prefs.plist and renames it over it, so a failed save leaves the old
// file whole. A file that could not be read when last loaded is moved aside
// to "prefs.plist.unreadable" (".unreadable.N" when that is taken) before
// the first save over its name, as the agent does, so what it held is never
// overwritten; when it cannot be moved, nothing is saved.
//
// One object serves the pane, on its main thread only.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace tarvex::pane {

// The keys the pane reads and writes.
inline constexpr char kSettingLaunchAtLogin[] = "launchAtLogin";
inline constexpr char kSettingAutoSync[] = "autoSync";
inline constexpr char kSettingShowStatusMenu[] = "showStatusMenu";
inline constexpr char kSettingUseGrowl[] = "useGrowl";
inline constexpr char kSettingCheckForUpdates[] = "checkForUpdates";
inline constexpr char kSettingEnableLogging[] = "enableLogging";
inline constexpr char kSettingLogLevel[] = "logLevel";
inline constexpr char kSettingMachineId[] = "machineID";
inline constexpr char kSettingEnableSmartSearch[] = "enableSmartSearch";
inline constexpr char kSettingSmartSearchTop3[] = "smartSearchTop3";
inline constexpr char kSettingEnableSyncNotification[] = "enableSyncNotification";
inline constexpr char kSettingEnableBib[] = "enableBIB";
inline constexpr char kSettingToolbarSetup[] = "toolbarSetup";
inline constexpr char kSettingEncryptionType[] = "encryptionType";
inline constexpr char kSettingUseProxy[] = "useProxy";
inline constexpr char kSettingHttpsProxy[] = "httpsProxy";
inline constexpr char kSettingHttpProxy[] = "httpProxy";
inline constexpr char kSettingTabComputerName[] = "tabComputerName";
inline constexpr char kSettingUseTabSync[] = "useTabSync";
// Written by the agent, shown or changed by the pane.
inline constexpr char kSettingUsername[] = "username";
inline constexpr char kSettingAuthtoken[] = "authtoken";
inline constexpr char kSettingVersion[] = "version";
inline constexpr char kSettingLastSyncTime[] = "lastSyncTime";
inline constexpr char kSettingLastSyncResult[] = "lastSyncResult";
inline constexpr char kSettingLastSyncMessage[] = "lastSyncMessage";
inline constexpr char kSettingProfileName[] = "settingProfileName";
inline constexpr char kSettingProfile[] = "profile";
inline constexpr char kSettingSyncStamp[] = "syncStamp";
inline constexpr char kSettingTopRevision[] = "topRevision";

// The file, "~" standing for the home folder ($HOME).
inline constexpr char kPaneSettingsPath[] = "~/Library/Tarvex/prefs.plist";

// Button states as the pane's buttons have them.
inline constexpr int kButtonOff = 0;
inline constexpr int kButtonOn = 1;
inline constexpr int kButtonMixed = -1;

class KestroveSettings {
 public:
  using Data = std::map<std::string, std::string>;

  // The pane's defaults; "tabComputerName" is "<computerName> - Safari".
  // "encryptionType" is "2", the agent's own default, so that a save before
  // the agent ever ran does not lower its level.
  static Data defaults(const std::string& computerName);

  // The shared settings, made on first use: the computer's name
  // (ComputerName()), the object on kPaneSettingsPath with "~" expanded,
  // the defaults, then loadFromFile().
  static KestroveSettings& prefSettings();
  // What prefSettings() does, on any path and computer name (tests, hosts).
  static KestroveSettings withDefaults(const std::string& path, const std::string& computerName);

  // initWithPath: the path kept, no values.
  explicit KestroveSettings(std::string path);

  // Reads the file and applies it with overwriteFromDictionary(). A missing
  // file changes nothing and answers true; one that cannot be read (or
  // whose root is no dictionary) changes nothing and answers false.
  bool loadFromFile();
  // Makes the file's folder (and any missing parents) and writes every
  // value, atomically. Answers false, with lastError() set, when nothing
  // was written; the old file is then as it was.
  bool save();
  // Every key of `values` replaces its value here; other keys stay.
  void overwriteFromDictionary(const Data& values);

  // The value, or nothing.
  std::optional<std::string> getValueForKey(const std::string& key) const;
  // True when the key has a value other than "".
  bool hasValueKey(const std::string& key) const;
  // True exactly when the value is "true".
  bool getBoolKey(const std::string& key) const;
  // kButtonOn when getBoolKey(), else kButtonOff.
  int getBoolKeyAsButtonState(const std::string& key) const;
  // Stores the value; nothing removes the key.
  void setKeyForValue(const std::string& key, const std::optional<std::string>& value);
  // Stores "true" or "false".
  void setBoolKeyForValue(const std::string& key, bool value);
  // Stores "true" exactly for kButtonOn; off and mixed store "false".
  void setBoolAsButtonStateKeyForValue(const std::string& key, int state);

  const std::string& path() const { return path_; }
  const Data& data() const { return data_; }
  // Why the last load or save failed ("" after one that did not), naming
  // the file.
  const std::string& lastError() const { return lastError_; }

 private:
  bool SetAside();

  Data data_;
  std::string path_;
  std::string lastError_;
  bool unreadable_ = false;  // the file on disk could not be read at the last load
};

}  // namespace tarvex::pane
