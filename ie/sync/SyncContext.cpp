#include "ie/sync/SyncContext.h"

#include <new>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/sync/Account.h"
#include "platform/clock/Clock.h"
#include "platform/credentials/CredentialPrompt.h"
#include "platform/credentials/CredentialStore.h"
#include "platform/http/HttpTransport.h"

namespace tarvex {
namespace {

// Asks through whatever message box is installed at the time of the
// question (the shell installs its own after start).
class CurrentPrompt : public UserPrompt {
 public:
  int Ask(const std::string& text, int button1, int button2, int button3,
          const std::string& checkboxText, bool* checked) override {
    return UserInteraction::Process().prompt->Ask(text, button1, button2, button3, checkboxText,
                                                  checked);
  }
};

// The context and the account refer to each other: the context is bound to
// the account's storage first, then the account is built over the context.
struct ProcessSync {
  ProcessSync()
      : context{Settings::GetInstance(), Logger::GetInstance(), HttpTransport::Process(),
                Clock::System(),         slot.account,          prompt} {
    new (&slot.account) Account(context, CredentialStore::Process(), CredentialPrompt::Process());
  }

  union Slot {
    Slot() {}
    ~Slot() {}
    Account account;
  } slot;
  CurrentPrompt prompt;
  SyncContext context;
};

}  // namespace

SyncContext& SyncContext::Process() {
  // Never destroyed: threads that outlive main() may still sync.
  static ProcessSync* sync = new ProcessSync;
  return sync->context;
}

}  // namespace tarvex
