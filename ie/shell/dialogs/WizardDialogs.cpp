// The setup wizard and the open tabs of the other computers.
#include "ie/foundation/Logger.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"

namespace tarvex {

int SyncScheduler::RunSetupWizard() {
  if (wizardRunning_) return kActionNone;
  wizardRunning_ = true;
  int result = kActionNone;
  try {
    result = wizardDialog ? wizardDialog() : kActionNone;
  } catch (const VelkException& e) {
    env_.logger.Error("TarvexException during SetupWizardDialog:" + e.ToString());
    result = kActionNone;
  } catch (...) {
    env_.logger.Error("Unhandled (unknown) exception during SetupWizardDialog");
    result = kActionNone;
  }
  wizardRunning_ = false;
  return result;
}

int SyncScheduler::ShowRemoteTabs() {
  return kActionNone;
}

}  // namespace tarvex
