// Ready to sync, the initial sync settings and the conflict questions.
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"

namespace tarvex {

int SyncScheduler::ShowReadyToSync(int, bool) {
  return kActionNone;
}

std::string SyncScheduler::AskFolderPlacementConflict(const Node& item, const Node& firstFolder,
                                                      const Node& secondFolder) {
  return prompts_.AskFolderPlacementConflict(item, firstFolder, secondFolder);
}

std::string SyncScheduler::AskVersionConflict(const Node& first, const Node& second) {
  return prompts_.AskVersionConflict(first, second);
}

}  // namespace tarvex
