// What tests of the requests and the account share: settings, a log and a
// clock in a private folder, scripted answers for the message box and the
// credential prompt, a credential store in memory, and an account over a
// chosen transport.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/sync/Account.h"
#include "ie/sync/SyncContext.h"
#include "ie/sync/testing/FakeTransport.h"
#include "platform/clock/Clock.h"
#include "platform/credentials/CredentialPrompt.h"
#include "platform/credentials/CredentialStore.h"
#include "platform/http/HttpTransport.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {

// Answers the credential prompt from a queue (cancel when it runs dry) and
// records what it was shown.
class ScriptedCredentials : public CredentialPrompt {
 public:
  struct Call {
    std::string target, caption, message, user;
    bool alwaysShow;
  };
  CredentialAnswer Ask(const std::string& target, const std::string& caption,
                       const std::string& message, const std::string& user,
                       bool alwaysShow) override {
    calls.push_back({target, caption, message, user, alwaysShow});
    shown.push_back(alwaysShow);
    if (answers.empty()) return CredentialAnswer{ERROR_CANCELLED, "", "", false};
    CredentialAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<CredentialAnswer> answers;
  std::vector<Call> calls;
  std::vector<bool> shown;  // alwaysShow of each call
};

// What a test controls of one computer: its folder, its clock, the message
// box, the credential store and the credential prompt.
struct TestbedFakes {
  TestbedFakes() = default;
  // Keeps its files in `folder`, which stays at the end (another process may
  // go on from its state); an empty `folder` is a fresh temporary one.
  explicit TestbedFakes(const std::string& folder) : dir(Place(folder)) {}

  TempDir dir;
  FakeClock clock{1796858716};
  ScriptedPrompt prompt;
  MemoryCredentialStore store;
  ScriptedCredentials credentials;

 private:
  static TempDir Place(const std::string& folder) {
    if (folder.empty()) return TempDir();
    return TempDir::Kept(folder);
  }
};

class SyncTestbed : public TestbedFakes {
 public:
  explicit SyncTestbed(HttpTransport& transport) : transport_(transport) {}
  SyncTestbed(HttpTransport& transport, const std::string& folder)
      : TestbedFakes(folder), transport_(transport) {}

  // Builds (again) the account over what the store holds now.
  Account& Start() {
    session_.emplace(*this);
    return session_->account;
  }
  SyncContext& context() { return session_->context; }
  Account& account() { return session_->account; }

  std::string Log() { return testing::ReadAll(logger.path()); }

  Registry registry{dir / "registry"};
  OsFacts facts;
  Logger logger{dir / "log/tarvex.log", FileSystem::Native(), clock};
  Settings settings{registry, FileSystem::Native(), clock, facts, logger};
  CredentialPrompt* credentialPrompt = &credentials;

 private:
  struct Session {
    explicit Session(SyncTestbed& t)
        : context{t.settings, t.logger, t.transport_, t.clock, account, t.prompt},
          account(context, t.store, t.credentialPrompt) {}
    SyncContext context;
    Account account;
  };

  HttpTransport& transport_;
  std::optional<Session> session_;
};

// A test fixture over a fake transport, with the test bed's parts under short
// names.
class SyncFixture : public ::testing::Test {
 protected:
  FakeTransport transport_;
  SyncTestbed bed_{transport_};
  TempDir& dir_ = bed_.dir;
  Registry& registry_ = bed_.registry;
  FakeClock& clock_ = bed_.clock;
  OsFacts& facts_ = bed_.facts;
  Logger& logger_ = bed_.logger;
  Settings& settings_ = bed_.settings;
  ScriptedPrompt& prompt_ = bed_.prompt;
  MemoryCredentialStore& store_ = bed_.store;
  ScriptedCredentials& credentials_ = bed_.credentials;
};

}  // namespace tarvex::testing
