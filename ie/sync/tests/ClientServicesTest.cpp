// The client's services: the program's layout of a configuration, two
// computers in one process, the presenter made only when asked for, and the
// program's services as the process's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/RegistryHelpers.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/sync/ClientServices.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/NodeSet.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::ReadAll;

// A machine whose every folder lies in `dir`.
PlatformConfig ConfigIn(const std::string& dir) {
  PlatformConfig c;
  c.registryDir = dir + "/config/tarvex";
  c.autostartDir = dir + "/config/autostart";
  c.tempDir = dir + "/cache/tmp";
  c.runtimeDir = dir + "/run";
  c.favoritesDir = dir + "/data/Favorites";
  c.programFilesDir = dir + "/opt";
  c.systemDir = dir + "/system";
  c.windowsVersion = "6.1";
  return c;
}

// The process's configuration for one scope, so that the old helpers
// (GetTempDir, GetFavoritesDir, GetUserDir) describe the same machine.
class ScopedConfig {
 public:
  explicit ScopedConfig(const PlatformConfig& config) : saved_(PlatformConfig::Current()) {
    PlatformConfig::SetCurrent(config);
  }
  ~ScopedConfig() { PlatformConfig::SetCurrent(saved_); }

 private:
  PlatformConfig saved_;
};

// Adds a bookmark named `name` to the Favorites, as a user would.
void AddBookmark(ClientServices& services, const std::string& name) {
  services.WithEngine([&] {
    NodeSet set;
    set.FetchFromNative();
    testing::Add(set, "b-" + name, "ROOT", name, "https://example.com/" + name);
    set.FlushToNative();
  });
}

// The id of the bookmark named `name` as the sync reads the Favorites; ""
// when there is none.
std::string FindBookmark(ClientServices& services, const std::string& name) {
  return services.WithEngine([&] {
    NodeSet set;
    set.FetchFromNative();
    return testing::IdOf(set, name);
  });
}

// The program's defaults are the process's: the configuration's registry
// and Favorites folders, and the user folder and the log where the
// registry's `userdir` says, else in the private temporary folder, as the
// log and the settings have always found them.
TEST(ClientServicesTest, ProgramDefaultsComeFromThePlatformConfiguration) {
  struct Case {
    const char* name;
    const char* userdir;   // in the registry before the start; null: none
    const char* expected;  // the user folder, below the test's folder
  } cases[] = {
      {"first run", nullptr, "/cache/tmp/"},
      {"user folder in the registry", "/home/Tarvex", "/home/Tarvex"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const PlatformConfig config = ConfigIn(dir.path());
    ScopedConfig current(config);
    if (c.userdir) {
      Registry registry(config.registryDir);
      ASSERT_EQ(WriteRegistryString(registry, Hive::CurrentUser, kSettingsKey, "userdir",
                                    dir.path() + c.userdir),
                0u);
    }

    const ClientOptions options = ClientOptions::FromPlatform(config);
    EXPECT_EQ(options.paths.registryDir, config.registryDir);
    EXPECT_EQ(options.paths.favoritesDir, config.favoritesDir);
    EXPECT_EQ(options.paths.runtimeDir, config.runtimeDir);
    ClientServices services(options);

    const std::string userDir = dir.path() + c.expected;
    EXPECT_EQ(services.registry().folder(), config.registryDir);
    EXPECT_EQ(services.registry().autostartFolder(), config.autostartDir);
    EXPECT_EQ(services.userDir(), userDir);
    EXPECT_EQ(services.logger().path(), JoinPath(userDir, kLogFileName));
    EXPECT_NE(ReadAll(JoinPath(userDir, kLogFileName)).find("instance started"), std::string::npos);
    // Old code that asks the settings finds the same folder.
    EXPECT_EQ(GetUserDir({}, &services.settings()), userDir);
    EXPECT_EQ(services.enginePlatform().BaselinePath(), JoinPath(userDir, "tarvex-baseline.json"));

    // The Favorites folder is made on first use, where GetFavoritesDir
    // makes it.
    AddBookmark(services, "Example");
    EXPECT_TRUE(std::filesystem::exists(config.favoritesDir + "/Example.url"));
    EXPECT_EQ(GetFavoritesDir(), config.favoritesDir);
  }
}

// Two computers in one process: each keeps its own registry, settings
// (stored and for the run), log, credentials, Favorites, engine and flow
// state.
TEST(ClientServicesTest, TwoComputersInOneProcessShareNothing) {
  testing::TempDir dirA, dirB;
  ClientServices a(ClientOptions::FromPlatform(ConfigIn(dirA.path())));
  ClientServices b(ClientOptions::FromPlatform(ConfigIn(dirB.path())));

  a.settings().SetValue("revision", "7", true);
  a.settings().SetValue("syncproblemfile", "x", false);
  EXPECT_FALSE(b.settings().HasValue("revision"));
  EXPECT_FALSE(b.settings().HasValue("syncproblemfile"));

  ASSERT_EQ(a.credentialStore().Write("target", {"alice", "secret"}), 0u);
  Credential found;
  EXPECT_EQ(b.credentialStore().Read("target", &found), ERROR_NOT_FOUND);

  a.logger().Log("only on a");
  EXPECT_NE(ReadAll(a.logger().path()).find("only on a"), std::string::npos);
  EXPECT_EQ(ReadAll(b.logger().path()).find("only on a"), std::string::npos);

  // Each keeps its baseline in its own user folder.
  EXPECT_EQ(a.enginePlatform().BaselinePath(), dirA.path() + "/cache/tmp/tarvex-baseline.json");
  EXPECT_EQ(b.enginePlatform().BaselinePath(), dirB.path() + "/cache/tmp/tarvex-baseline.json");

  a.state().lastSyncSucceeded = false;
  EXPECT_TRUE(b.state().lastSyncSucceeded);

  AddBookmark(a, "Only on a");
  EXPECT_NE(FindBookmark(a, "Only on a"), "");
  EXPECT_EQ(FindBookmark(b, "Only on a"), "");

  // Each installs its engine for the call only.
  EnginePlatform* before = Engine::Current().platform;
  a.WithEngine([&] { EXPECT_EQ(Engine::Current().platform, &a.enginePlatform()); });
  EXPECT_EQ(Engine::Current().platform, before);

  // Neither can be the process's: old code would meet other settings and
  // another log.
  EXPECT_THROW(a.InstallAsProcess(), std::logic_error);
  EXPECT_EQ(Engine::Current().platform, before);
}

// The presenter (by default the one TARVEX_PRESENTER names) is made when
// first asked for, then kept; one that cannot be made is logged and every
// question gets its cancel.
TEST(ClientServicesTest, PresenterIsMadeWhenFirstAskedFor) {
  testing::TempDir dir;
  testing::ScopedEnv env;
  env.Set("TARVEX_PRESENTER", "nobody");
  ClientServices services(ClientOptions::FromPlatform(ConfigIn(dir.path())));
  const std::string kFailure = "No presenter: TARVEX_PRESENTER [nobody]";

  services.MakeServer(true);
  FindBookmark(services, "anything");
  EXPECT_EQ(ReadAll(services.logger().path()).find(kFailure), std::string::npos);

  std::shared_ptr<Presenter> presenter = services.presenter();
  EXPECT_NE(std::dynamic_pointer_cast<NullPresenter>(presenter), nullptr);
  EXPECT_EQ(services.presenter(), presenter);
  const std::string log = ReadAll(services.logger().path());
  const size_t first = log.find(kFailure);
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(kFailure, first + 1), std::string::npos);
}

// In a child process, over a configuration in `dir`: the program's
// services are the process's singletons and, once installed, what the
// process-wide accessors answer with; at their end the accessors answer as
// before. Prints each failure; the exit code is their number.
int CheckProgramServices(const std::string& dir) {
  PlatformConfig::SetCurrent(ConfigIn(dir));
  setenv("TARVEX_PRESENTER", "null", 1);
  std::vector<std::string> failures;
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) failures.push_back(what);
  };

  testing::ScriptedPrompt prompt;
  testing::RecordingOpener opener;
  testing::SteadyQuestions steady;
  SyncQuestions* questionsBefore = SyncQuestions::Process();
  EnginePlatform* engineBefore = Engine::Current().platform;
  SyncContext* installedContext = nullptr;
  {
    ClientOptions options = ClientOptions::Program();
    options.prompt = &prompt;
    options.opener = &opener;
    ClientServices services(options);
    check(&services.registry() == &Registry::Process(), "the registry");
    check(&services.settings() == &Settings::GetInstance(), "the settings");
    check(&services.logger() == &Logger::GetInstance(), "the log");
    check(&services.facts() == &OsFacts::Process(), "the OS facts");
    check(&services.credentialStore() == &CredentialStore::Process(), "the credential store");
    check(&services.credentialPrompt() == &CredentialPrompt::Process(), "the credential prompt");
    check(services.userDir() == GetUserDir(), "the user folder of old code");

    ClientOptions elsewhere = ClientOptions::Program();
    elsewhere.paths.registryDir = dir + "/elsewhere";
    try {
      ClientServices wrong(elsewhere);
      check(false, "a registry folder the process does not use was taken");
    } catch (const std::invalid_argument& e) {
      check(std::string(e.what()).find(dir + "/elsewhere") != std::string::npos,
            std::string("the refusal names the folder: ") + e.what());
    }

    services.InstallAsProcess();
    installedContext = &services.context();
    check(&SyncContext::Process() == &services.context(), "SyncContext::Process()");
    check(&Account::GetInstance() == &services.account(), "Account::GetInstance()");
    check(&OpenTabs::Process() == &services.tabs(), "OpenTabs::Process()");
    check(&SyncFlowState::Process() == &services.state(), "SyncFlowState::Process()");
    check(Engine::Current().platform == &services.enginePlatform(), "the engine");
    check(CurrentPresenter() == services.presenter(), "the presenter");
    check(UserInteraction::Process().prompt == &prompt, "the message box");
    check(UserInteraction::Process().opener == &opener, "the opener");
    // The process's questions are whoever the services' are at each call:
    // the message box first, then what the shell puts there.
    SyncQuestions::Process()->ShowMessage("asked through the process", kButtonOK);
    check(!prompt.asked.empty() && prompt.asked.back().text == "asked through the process",
          "the questions through the message box");
    services.questions() = &steady;
    SyncQuestions::Process()->AskSyncFileRestored();
    check(steady.asked == 1, "the questions set after the install");

    ClientServices second(ClientOptions::Program());
    try {
      second.InstallAsProcess();
      check(false, "two services were installed at once");
    } catch (const std::logic_error&) {
    }
  }
  check(SyncQuestions::Process() == questionsBefore, "the questions put back");
  check(Engine::Current().platform == engineBefore, "the engine put back");
  check(UserInteraction::Process().prompt != &prompt, "the message box put back");
  check(&SyncContext::Process() != installedContext, "the context put back");

  for (const std::string& failure : failures) std::fprintf(stderr, "%s\n", failure.c_str());
  return static_cast<int>(failures.size());
}

TEST(ClientServicesTest, ProgramServicesAreTheProcesss) {
  testing::TempDir dir;
  EXPECT_EXIT(std::exit(CheckProgramServices(dir.path())), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tarvex
