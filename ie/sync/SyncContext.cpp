#include "ie/sync/SyncContext.h"

#include <atomic>
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

// The context and the account refer to each other: the context is bound to
// the account's storage first, then the account is built over the context.
struct ProcessSync {
  ProcessSync()
      : context{Settings::GetInstance(), Logger::GetInstance(), HttpTransport::Process(),
                Clock::System(),         slot.account,          UserInteraction::CurrentPrompt()} {
    new (&slot.account) Account(context, CredentialStore::Process(), CredentialPrompt::Process());
  }

  union Slot {
    Slot() {}
    ~Slot() {}
    Account account;
  } slot;
  SyncContext context;
};

std::atomic<SyncContext*> installed{nullptr};

}  // namespace

SyncContext& SyncContext::Process() {
  if (SyncContext* context = installed.load()) return *context;
  // Never destroyed: threads that outlive main() may still sync.
  static ProcessSync* sync = new ProcessSync;
  return sync->context;
}

SyncContext* SyncContext::SetProcess(SyncContext* context) {
  return installed.exchange(context);
}

}  // namespace tarvex
