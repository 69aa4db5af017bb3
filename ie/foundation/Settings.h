// The settings of the Windows client: named text values in the registry
// under "Software\Tarvex\IEToolbar\Settings", read with a default at every
// call. Numbers are decimal text, booleans "true"/"false". A value may also
// be kept for this run only: it then hides the registry value of the same
// name until the process ends (or until it is stored to the registry).
//
// Building the object fills in first-run and upgrade defaults, moves the
// earlier product's settings and files over, derives the service's host
// names from the server root and records facts about the machine.
//
// Every call is atomic under the object's lock; registry failures never
// throw (a failed read counts as absent, a failed write is logged).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/registry/Registry.h"

namespace tarvex {

class Logger;

// The client's version and the service's domain written on the first run.
inline constexpr std::string_view kClientVersion = "1.3.5";
inline constexpr std::string_view kServiceDomain = "tarvex.com";

class Settings {
 public:
  Settings(Registry& registry, FileSystem& fs, Clock& clock, const OsFacts& facts, Logger& logger);
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // The process-wide settings, built on first use and never destroyed.
  static Settings& GetInstance();

  bool HasValue(std::string_view key);
  std::string GetValue(std::string_view key, std::string_view defaultValue);
  // The leading decimal integer of the text (0 when there is none).
  int32_t GetInt(std::string_view key, int32_t defaultValue);
  int64_t GetInt64(std::string_view key, int64_t defaultValue);
  // True exactly when the text is "true".
  bool GetBool(std::string_view key, bool defaultValue);

  // `now`: write to the registry at once; otherwise keep for this run only.
  // Return false when the registry write failed (the failure is logged).
  bool SetValue(std::string_view key, std::string_view value, bool now);
  bool SetInt(std::string_view key, int32_t value, bool now);
  bool SetInt64(std::string_view key, int64_t value, bool now);
  bool SetBool(std::string_view key, bool value, bool now);
  // Stores the opposite of the current value, read with `defaultValue` (the
  // default the caller shows the user), and returns the new value.
  bool ToggleBool(std::string_view key, bool now, bool defaultValue = false);
  // Drops the run-only value and deletes the registry value.
  void DeleteValue(std::string_view key);

  // The registry the settings live in (the client's other keys are there,
  // the Run key of the start with the session among them).
  Registry& registry() { return registry_; }

  // The client id, "Tarvex-IE/1.3.5"; with `escapeSlash` the "/" is written
  // "%2F". A `useragent` setting, when present, is used instead.
  std::string GetUserAgent(bool escapeSlash);

  // The older form of a locale tag (zh-Hant -> zh-CHT, ...); other tags
  // unchanged.
  static std::string MapLocaleTag(std::string_view tag);

 private:
  std::optional<std::string> Read(std::string_view key);
  bool Store(std::string_view key, std::string value, bool now);

  void ApplyDefaults();
  void DeriveServerHosts();
  void DetectMachine();
  void MigrateFromKestrove();
  void MigrateOldFiles();
  std::string OldUserDir();

  Registry& registry_;
  FileSystem& fs_;
  Clock& clock_;
  const OsFacts& facts_;
  Logger& logger_;
  std::mutex lock_;
  std::map<std::string, std::string, std::less<>> cache_;
};

// The user interface language: the configured id, else the locale's tag
// matched against the language table (whole tag, then its language part),
// else 1033 (English, United States).
int32_t GetUserDefaultUILanguage(const OsFacts& facts);

}  // namespace tarvex
