// Where Tarvex keeps things on this machine, read once from the environment at
// start and settable in tests. Every folder is the user's own; nothing of
// Tarvex lives in a shared folder such as /tmp.
//
//   registry      TARVEX_REGISTRY_DIR, else $XDG_CONFIG_HOME/tarvex,
//                 else ~/.config/tarvex
//   autostart     TARVEX_AUTOSTART_DIR, else $XDG_CONFIG_HOME/autostart, else
//                 ~/.config/autostart: the desktop's folder of programs started
//                 with the session, shared with them; the registry's HKCU Run
//                 key lives there
//   temp          TARVEX_TEMP_DIR, else $XDG_CACHE_HOME/tarvex/tmp,
//                 else ~/.cache/tarvex/tmp (created private, 0700)
//   runtime       TARVEX_RUNTIME_DIR, else $XDG_RUNTIME_DIR/tarvex, else
//                 $XDG_CACHE_HOME/tarvex/run, else ~/.cache/tarvex/run: where
//                 the programs' cross-process names live (created private)
//   favorites     TARVEX_FAVORITES_DIR, else $XDG_DATA_HOME/tarvex/Favorites,
//                 else ~/.local/share/tarvex/Favorites
//   programFiles  TARVEX_PROGRAM_FILES, else /opt
//   system        TARVEX_SYSTEM_DIR, else /usr/share/tarvex/system (the
//                 browser's resource files: <system>/<tag>/ieframe.dll.mui)
//   windowsVersion TARVEX_WINVER ("6.1" by default; "fail" makes the version
//                 query fail)
//   uiLanguage    TARVEX_UI_LANGID (a decimal language id), else the locale
//                 of LC_ALL, LC_MESSAGES or LANG
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvex {

struct PlatformConfig {
  std::string registryDir;
  std::string autostartDir;
  std::string tempDir;
  std::string runtimeDir;
  std::string favoritesDir;
  std::string programFilesDir;
  std::string systemDir;
  std::string windowsVersion;       // "major.minor", or "fail"
  std::optional<int> uiLanguageId;  // from TARVEX_UI_LANGID
  std::string uiLocale;             // "de_DE.UTF-8" style, from the locale variables

  static PlatformConfig FromEnvironment();
  // The configuration in force for this process (from the environment on
  // first use).
  static const PlatformConfig& Current();
  static void SetCurrent(const PlatformConfig& config);
};

}  // namespace tarvex

namespace tarvex {

// Makes `path` (and its parents) a folder that only the current user can
// enter: created with mode 0700; an existing folder of ours is set to 0700.
// ERROR_ACCESS_DENIED when it belongs to another user or is not a folder.
uint32_t EnsurePrivateDirectory(const std::string& path);

}  // namespace tarvex
