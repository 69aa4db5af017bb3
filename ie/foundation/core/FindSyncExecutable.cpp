#include "ie/foundation/core/FindSyncExecutable.h"

#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/RegistryHelpers.h"

namespace tarvex {

std::string FindSyncExecutable(std::string_view folderHint, Registry& registry, FileSystem& fs,
                               UserInteraction& ui) {
  auto isFile = [&fs](const std::string& path) {
    uint32_t attrs = 0;
    return !path.empty() && fs.GetAttributes(path, &attrs) == 0 &&
           (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
  };

  std::string appdir;
  if (ReadRegistryString(registry, Hive::CurrentUser, kSettingsKey, "appdir", &appdir) == 0) {
    std::string candidate = JoinPath(appdir, kSyncExecutableName);
    if (isFile(candidate)) return candidate;
  }
  if (!folderHint.empty()) {
    std::string candidate = JoinPath(folderHint, kSyncExecutableName);
    if (isFile(candidate)) return candidate;
  }
  {
    std::string candidate = JoinPath(JoinPath(GetProgramFilesDir(), "Tarvex"), kSyncExecutableName);
    if (isFile(candidate)) return candidate;
  }

  ui.prompt->Ask(
      "Tarvex was not installed in a standard location and IE cannot find the executable.  "
      "Please locate the application.",
      kButtonOK);
  std::optional<std::string> pick = ui.picker->PickExisting();
  if (!pick || pick->empty() || !isFile(*pick)) return {};
  WriteRegistryString(registry, Hive::CurrentUser, kSettingsKey, "appdir", FolderOfPath(*pick));
  return *pick;
}

}  // namespace tarvex
