// Facts about the machine that the Windows client asks the system for: the
// Windows version, the user's interface language, string resources of the
// browser's files, and the browser's protected-mode query. On this platform
// they are settings of ours: the defaults describe a Windows 7 machine
// (version 6.1) with the user-interface language of the locale.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/paths/PlatformConfig.h"

namespace tarvex {

class OsFacts {
 public:
  struct Version {
    bool ok = true;
    unsigned major = 6;
    unsigned minor = 1;
  };
  // IEIsProtectedModeProcess: fills the answer and returns an HRESULT.
  using ProtectedModeFn = std::function<int32_t(bool* answer)>;

  OsFacts() = default;
  static OsFacts FromConfig(const PlatformConfig& config);
  // The process-wide facts, from PlatformConfig::Current() on first use.
  static OsFacts& Process();

  Version version;
  // An explicit language id; when absent the locale decides.
  std::optional<int> uiLanguageId;
  // The locale name ("de_DE.UTF-8"); empty or "C" means none.
  std::string uiLocale;
  // The folder that stands for the system folder (the browser's resources).
  std::string systemDir;
  // Empty when the browser's library does not export the function (always
  // the case on this platform unless a test installs one).
  ProtectedModeFn protectedModeFunction;

  // String `id` of a resource file. Our resource files are UTF-8 text, one
  // "id=text" line each; blank lines and lines starting with ";" are ignored.
  // Absent when the file cannot be read or holds no such string.
  std::optional<std::string> LoadStringResource(const std::string& path, uint32_t id) const;
};

// The computer's name as Windows gives it: the host name up to its first
// dot; empty when the system gives none.
std::string ComputerName();

}  // namespace tarvex
