#include "ie/foundation/core/Paths.h"

#include "ie/foundation/core/RegistryHelpers.h"
#include "ie/foundation/core/VelkException.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/registry/Registry.h"

namespace tarvex {

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return {};
  std::string out(folder);
  if (out.back() != kPathSeparator) out.push_back(kPathSeparator);
  out.append(name);
  return out;
}

std::string FolderOfPath(std::string_view path) {
  size_t pos = path.rfind(kPathSeparator);
  if (pos == std::string_view::npos) return {};
  return std::string(path.substr(0, pos + 1));
}

std::string GetTempDir() {
  return PrivateTempDir(PlatformConfig::Current().tempDir);
}

std::string PrivateTempDir(const std::string& dir) {
  if (EnsurePrivateDirectory(dir) != 0) return {};
  return dir.back() == kPathSeparator ? dir : dir + kPathSeparator;
}

std::string GetFavoritesDir(bool /*longPathPrefix*/) {
  return MakeFavoritesDir(PlatformConfig::Current().favoritesDir);
}

std::string MakeFavoritesDir(const std::string& dir) {
  uint32_t rc =
      dir.empty() ? win32::ERROR_PATH_NOT_FOUND : FileSystem::Native().CreateDirectories(dir, 0700);
  if (rc != 0)
    throw VelkException("windows_shell", win32::HResultFromWin32(rc),
                        "unable to find favorite's location");
  return dir;
}

std::string GetProgramFilesDir() {
  return PlatformConfig::Current().programFilesDir;
}

std::string UserDirFromRegistry(Registry& registry) {
  return UserDirFromRegistry(registry, PlatformConfig::Current().tempDir);
}

std::string UserDirFromRegistry(Registry& registry, const std::string& tempFolder) {
  std::string dir;
  if (ReadRegistryString(registry, Hive::CurrentUser, kSettingsKey, "userdir", &dir) != 0 ||
      dir.empty())
    return PrivateTempDir(tempFolder);
  return dir;
}

}  // namespace tarvex
