#include "platform/paths/PlatformConfig.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "text/Text.h"

namespace tarvex {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string Home() {
  std::string home = Env("HOME");
  return home.empty() ? std::string("/") : home;
}

// $VAR/suffix when VAR is set and absolute, else ~/fallback/suffix.
std::string XdgDir(const char* var, const char* fallback, const char* suffix) {
  std::string base = Env(var);
  if (base.empty() || base[0] != '/') base = Home() + "/" + fallback;
  return base + "/" + suffix;
}

std::mutex& ConfigMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

PlatformConfig*& ConfigSlot() {
  static PlatformConfig* config = nullptr;
  return config;
}

}  // namespace

PlatformConfig PlatformConfig::FromEnvironment() {
  PlatformConfig c;
  c.registryDir = Env("TARVEX_REGISTRY_DIR");
  if (c.registryDir.empty()) c.registryDir = XdgDir("XDG_CONFIG_HOME", ".config", "tarvex");
  c.autostartDir = Env("TARVEX_AUTOSTART_DIR");
  if (c.autostartDir.empty()) c.autostartDir = XdgDir("XDG_CONFIG_HOME", ".config", "autostart");
  c.tempDir = Env("TARVEX_TEMP_DIR");
  if (c.tempDir.empty()) c.tempDir = XdgDir("XDG_CACHE_HOME", ".cache", "tarvex/tmp");
  c.runtimeDir = Env("TARVEX_RUNTIME_DIR");
  if (c.runtimeDir.empty() && Env("XDG_RUNTIME_DIR").rfind('/', 0) == 0)
    c.runtimeDir = Env("XDG_RUNTIME_DIR") + "/tarvex";
  if (c.runtimeDir.empty()) c.runtimeDir = XdgDir("XDG_CACHE_HOME", ".cache", "tarvex/run");
  c.favoritesDir = Env("TARVEX_FAVORITES_DIR");
  if (c.favoritesDir.empty())
    c.favoritesDir = XdgDir("XDG_DATA_HOME", ".local/share", "tarvex/Favorites");
  c.programFilesDir = Env("TARVEX_PROGRAM_FILES");
  if (c.programFilesDir.empty()) c.programFilesDir = "/opt";
  c.systemDir = Env("TARVEX_SYSTEM_DIR");
  if (c.systemDir.empty()) c.systemDir = "/usr/share/tarvex/system";
  c.windowsVersion = Env("TARVEX_WINVER");
  if (c.windowsVersion.empty()) c.windowsVersion = "6.1";
  std::string lang = Env("TARVEX_UI_LANGID");
  if (!lang.empty()) c.uiLanguageId = static_cast<int>(ParseLeadingInt32(lang));
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    c.uiLocale = Env(var);
    if (!c.uiLocale.empty()) break;
  }
  return c;
}

const PlatformConfig& PlatformConfig::Current() {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  PlatformConfig*& slot = ConfigSlot();
  if (!slot) slot = new PlatformConfig(FromEnvironment());
  return *slot;
}

void PlatformConfig::SetCurrent(const PlatformConfig& config) {
  std::lock_guard<std::mutex> lock(ConfigMutex());
  PlatformConfig*& slot = ConfigSlot();
  if (!slot) {
    slot = new PlatformConfig(config);
  } else {
    *slot = config;
  }
}

}  // namespace tarvex

#include <sys/stat.h>
#include <unistd.h>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"

namespace tarvex {

uint32_t EnsurePrivateDirectory(const std::string& path) {
  if (path.empty()) return win32::ERROR_PATH_NOT_FOUND;
  uint32_t rc = FileSystem::Native().CreateDirectories(path, 0700);
  if (rc != 0) return rc;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return Win32FromErrno(errno, path);
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return win32::ERROR_ACCESS_DENIED;
  if ((st.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) return win32::ERROR_ACCESS_DENIED;
  return win32::ERROR_SUCCESS;
}

}  // namespace tarvex
