// The settings dialogs: the main one, advanced and discovery.
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"

namespace tarvex {

int SyncScheduler::SettingsDialog() {
  return kActionNone;
}

int SyncScheduler::ShowAdvanced() {
  return kActionNone;
}

int SyncScheduler::ShowDiscovery() {
  return kActionNone;
}

}  // namespace tarvex
