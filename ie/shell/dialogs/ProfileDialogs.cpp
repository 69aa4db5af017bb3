// The sync profiles and the change of profile.
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"

namespace tarvex {

int SyncScheduler::ShowSyncProfiles() {
  return kActionNone;
}

}  // namespace tarvex
