// Paths of the user's and the program's folders, and the names of the
// program's files. None of these need the settings object, so the
// crash-report program uses them too.
#pragma once

#include <string>
#include <string_view>

namespace tarvex {

class Registry;

// The registry key of all settings, and the earlier product's keys.
inline constexpr std::string_view kSettingsKey = "Software\\Tarvex\\IEToolbar\\Settings";
inline constexpr std::string_view kOldSettingsKey = "Software\\Kestrove\\IEToolbar\\Settings";
inline constexpr std::string_view kOldProductKey = "Software\\Kestrove";

// Program file names (no suffix on this platform).
inline constexpr std::string_view kSyncExecutableName = "tarvexsync";
inline constexpr std::string_view kCrashReporterName = "faultsend";
inline constexpr std::string_view kLogFileName = "tarvex.log";

inline constexpr char kPathSeparator = '/';

// The folder, a separator unless the folder already ends with one, and the
// name. An empty folder gives "" (never a path at the root).
std::string JoinPath(std::string_view folder, std::string_view name);
// The path up to and including its last separator ("" when it has none).
std::string FolderOfPath(std::string_view path);

// The user's private temporary folder with a trailing separator, created
// (0700) when needed; "" when it cannot be made or is not private to us.
std::string GetTempDir();
// The same for the temporary folder `folder`.
std::string PrivateTempDir(const std::string& folder);

// The Favorites folder. Throws VelkException("windows_shell", hr,
// "unable to find favorite's location") when it cannot be found or made.
// Long-path prefixes do not exist on this platform: `longPathPrefix` changes
// nothing.
std::string GetFavoritesDir(bool longPathPrefix = false);
// The Favorites folder `folder`, made (0700) when missing; throws as
// GetFavoritesDir does.
std::string MakeFavoritesDir(const std::string& folder);

// The Program Files folder.
std::string GetProgramFilesDir();

// The user folder read straight from the registry value `userdir` (else the
// temporary folder), for code that must not build the settings object: the
// log and the crash-report program.
std::string UserDirFromRegistry(Registry& registry);
// The same with the temporary folder `tempFolder` (see PrivateTempDir).
std::string UserDirFromRegistry(Registry& registry, const std::string& tempFolder);

}  // namespace tarvex
