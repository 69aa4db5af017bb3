#include "app/core/KVPortServices.h"

#include <climits>

#include "app/core/KestroveException.h"
#include "app/core/KestroveLogger.h"
#include "app/core/KestroveSettings.h"
#include "platform/files/FileSystem.h"
#include "platform/mac/System.h"
#include "text/Text.h"

namespace tarvex {

// ---- Logger -------------------------------------------------------------------

KVPortLogger::KVPortLogger() : logger_(&KestroveLogger::instance()) {}

void KVPortLogger::Log(std::string_view text) { logger_->debug(std::string(text)); }
void KVPortLogger::LogCStr(const char* text) { Log(text ? text : ""); }
void KVPortLogger::Error(std::string_view text) { logger_->error(std::string(text)); }
void KVPortLogger::ErrorCStr(const char* text) { Error(text ? text : ""); }
bool KVPortLogger::LogEnabled() { return logger_->isEnabled() && logger_->inDebugMode(); }

// ---- Settings -----------------------------------------------------------------

KVPortSettings& KVPortSettings::shared() {
  static KVPortSettings* settings = new KVPortSettings(KestroveSettings::instance());
  return *settings;
}

std::string KVPortSettings::GetStringPref(std::string_view key, std::string_view def) {
  std::optional<std::string> value = settings_->getString(std::string(key));
  return value && !value->empty() ? *value : std::string(def);
}

int KVPortSettings::GetIntPref(std::string_view key, int def) {
  std::optional<std::string> value = settings_->getString(std::string(key));
  if (!value || value->empty()) return def;
  return ParseLeadingInt32(*value);
}

bool KVPortSettings::GetBoolPref(std::string_view key, bool def) {
  const std::string name(key);
  if (!settings_->hasValue(name)) return def;
  return settings_->getBoolean(name);
}

void KVPortSettings::SetStringPref(std::string_view key, std::string_view value, bool persist) {
  (void)persist;
  settings_->setKeyForValue(std::string(key), std::string(value));
}

void KVPortSettings::SetIntPref(std::string_view key, int value, bool persist) {
  SetStringPref(key, std::to_string(value), persist);
}

bool KVPortSettings::SavePersistentSettings() { return settings_->writeToFile(); }

// ---- The engine's platform ----------------------------------------------------

MacEnginePlatform::MacEnginePlatform()
    : MacEnginePlatform(KVPortLogger(), KVPortSettings::shared(), FileSystem::Native()) {}

MacEnginePlatform::MacEnginePlatform(KVPortLogger logger, KVPortSettings& settings,
                                     FileSystem& files)
    : logger_(logger), settings_(&settings), files_(&files) {}

bool MacEnginePlatform::InfoEnabled() { return logger_.LogEnabled(); }
void MacEnginePlatform::Info(std::string_view text) { logger_.Log(text); }
void MacEnginePlatform::Error(std::string_view text) { logger_.Error(text); }

void MacEnginePlatform::Raise(ErrorKind kind, const std::string& message) {
  throw KestroveException(
      kind == ErrorKind::NotFound ? KestroveException::kNotFound : KestroveException::kGeneral,
      message);
}

std::string MacEnginePlatform::GetSetting(std::string_view key, std::string_view defaultValue) {
  // The engine asks for the program version under the Windows client's key.
  if (key == kEngineVersionKey) key = kVersionKey;
  return settings_->GetStringPref(key, defaultValue);
}

std::string MacEnginePlatform::BaselinePath() {
  return mac::ExpandTilde(std::string("~/Library/Tarvex/") + kBaselineName);
}

uint32_t MacEnginePlatform::ReadFile(const std::string& path, std::string* data) {
  return files_->ReadFile(path, data);
}

uint32_t MacEnginePlatform::WriteFileAtomic(const std::string& path, std::string_view data) {
  return files_->WriteFileAtomic(path, data);
}

std::unique_ptr<NativeDatasource> MacEnginePlatform::MakeDatasource() {
  throw KestroveException(KestroveException::kGeneral,
                          "The agent has no browser store for the engine");
}

}  // namespace tarvex
