// The engine's log and settings on the Mac: the port's logger and settings
// over the agent's KestroveLogger and KestroveSettings, and the agent's
// EnginePlatform, which the agent installs with the Mac flavour.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nodeset/Engine.h"

namespace tarvex {

class FileSystem;
class KestroveLogger;
class KestroveSettings;

// Log lines of the engine: Log at debug level, Error at error level.
// Invalid UTF-8 is replaced by the logger.
class KVPortLogger {
 public:
  // On the shared logger, or on `logger` (which must outlive this).
  KVPortLogger();
  explicit KVPortLogger(KestroveLogger& logger) : logger_(&logger) {}

  void Log(std::string_view text);
  void LogCStr(const char* text);
  void Error(std::string_view text);
  void ErrorCStr(const char* text);
  // Whether Log writes at all (the logger is enabled at debug level).
  bool LogEnabled();

 private:
  KestroveLogger* logger_;
};

// The engine's settings. A key whose value is "" counts as absent.
class KVPortSettings {
 public:
  // The one over the shared settings.
  static KVPortSettings& shared();
  // On `settings` (which must outlive this).
  explicit KVPortSettings(KestroveSettings& settings) : settings_(&settings) {}

  std::string GetStringPref(std::string_view key, std::string_view def);
  // The leading decimal integer of the value (0 when it has none, saturated
  // at the int range); `def` when there is no value.
  int GetIntPref(std::string_view key, int def);
  // The value is "true"; `def` when there is no value.
  bool GetBoolPref(std::string_view key, bool def);
  // In memory; `persist` is not used (SavePersistentSettings writes).
  void SetStringPref(std::string_view key, std::string_view value, bool persist = false);
  void SetIntPref(std::string_view key, int value, bool persist = false);
  // Writes the settings file and tells the preference pane. False when the
  // write failed (it is logged).
  bool SavePersistentSettings();

 private:
  KestroveSettings* settings_;
};

// The engine's platform in the agent: the port's logger and settings,
// KestroveException (501 for a lookup that failed, 500 otherwise), no user
// check on stored trees, files through `files` (replacing writes through a
// temporary file beside the target), the baseline in ~/Library/Tarvex. The
// agent reads trees from the bridge's files only: it has no browser store
// for the engine.
class MacEnginePlatform : public EnginePlatform {
 public:
  // The engine's settings key of the program version and the agent's.
  static constexpr char kEngineVersionKey[] = "kestroveversion";
  static constexpr char kVersionKey[] = "version";
  static constexpr char kBaselineName[] = "tarvex-baseline.json";

  // Over the shared logger and settings and the native file system.
  MacEnginePlatform();
  // Over the given ones (each must outlive this).
  MacEnginePlatform(KVPortLogger logger, KVPortSettings& settings, FileSystem& files);

  bool InfoEnabled() override;
  void Info(std::string_view text) override;
  void Error(std::string_view text) override;
  [[noreturn]] void Raise(ErrorKind kind, const std::string& message) override;
  std::string GetSetting(std::string_view key, std::string_view defaultValue) override;
  std::vector<std::string> UserIdentities() override { return {}; }
  std::string BaselinePath() override;
  uint32_t ReadFile(const std::string& path, std::string* data) override;
  uint32_t WriteFileAtomic(const std::string& path, std::string_view data) override;
  // Titles padded by the Windows client compare equal to empty ones.
  char32_t FillerChar() override { return U'\u200B'; }
  std::unique_ptr<NativeDatasource> MakeDatasource() override;

 private:
  KVPortLogger logger_;
  KVPortSettings* settings_;
  FileSystem* files_;
};

}  // namespace tarvex
