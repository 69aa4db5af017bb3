#include "ie/shell/Resources.h"

#include "ie/foundation/Settings.h"
#include "platform/win/Tray.h"
#include "text/Text.h"

namespace tarvex {

void InstallShellResources() {
  SetIconResources({
      {kIconIdle, "Tarvex", "#2e8b57"},
      {kIconLarge, "Tarvex", "#2e8b57"},
      {kIconChanges, "Changes to synchronize", "#e69a00"},
      {kIconError, "Synchronization error", "#c0392b"},
      {286, "Synchronizing", "#2f6fb5"},
      {287, "Synchronizing", "#3a7fc5"},
      {288, "Synchronizing", "#4a8fd5"},
      {289, "Synchronizing", "#3a7fc5"},
      {kIconStatusOk, "Syncing successfully", "#2e8b57"},
      {kIconStatusChanges, "Changes to sync", "#e69a00"},
      {kIconStatusError, "Error during sync", "#c0392b"},
      {kIconStatusRunning, "Sync in progress", "#2f6fb5"},
      {kIconSyncing, "Synchronizing", "#2f6fb5"},
  });
}

std::string WebSitePage(Settings& settings, std::string_view path) {
  std::string site = settings.GetValue("webserver", "");
  if (!IsWebAddress(site)) site = "https://" + site;
  return site + std::string(path);
}

}  // namespace tarvex
