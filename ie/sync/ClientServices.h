// The Windows client's services, made in one place: the registry, the
// clock, the machine's facts, the file system, the log, the settings, the
// HTTP transport, the credential store and prompt, the message box and the
// page opener, the account and its SyncContext, the icon manager, the
// engine's platform with the Favorites store behind the intermediate store,
// the windows and the open tabs, the flow's state, the questions and the
// presenter. tarvexsync's main owns one and hands its parts to what needs
// them; each computer of the sync tests (testing/SyncClient.h) is one too,
// with the tests' fakes in its seams, so what the tests run is what the
// program runs. New code takes its services from here, not from a
// singleton's default.
//
// The program and the singletons. Old code still reaches objects of the
// process that are built on first use, never destroyed (threads may log
// after main ends) and cannot be pointed elsewhere: Settings::GetInstance()
// and Logger::GetInstance() (IniFile's default arguments, GetUserDir(),
// ConfirmQuit(), OpenUrlInBrowser(url), IconManager::Instance(), the
// default SyncQuestions::Process()), Registry::Process() (the log's folder,
// FindSyncExecutable), OsFacts::Process() (the WindowsFacts helpers'
// defaults) and CredentialStore::Process(). Services made with
// ClientOptions::Program() do not build these again: they take those very
// objects, so old code and the services read one registry, keep one set of
// run-only settings and write one log. Their paths must then be the
// process's configuration; a registry folder or a log file the singletons
// do not use is refused. Everything else the services make themselves, and
// InstallAsProcess() makes the process-wide accessors that can be pointed
// elsewhere answer with it: the engine, SyncContext::Process() (so
// Account::GetInstance()), OpenTabs::Process(), SyncFlowState::Process(),
// SyncQuestions::Process() (whoever questions() holds at each question),
// the message box and opener of UserInteraction::Process() when the
// services were given their own, and the presenter. The one-argument
// KestroveServer then runs what MakeServer runs. The destructor puts back
// what InstallAsProcess replaced; the program ends the threads that use
// the services before that.
//
// Services of their own (ClientOptions without `processWide`, as in tests)
// build every part in their own folders and share nothing with other
// services in the process but the Favorites store's shelf of read records,
// which is kept by folder (ReadRecords::Process()). They cannot be the
// process's: old code would meet other settings and another log.
//
// The user folder (baseline, intermediate file, backup, favicons) is
// `paths.userDir`, stored as the setting `userdir`; without one, the setting
// `userdir`, else the private temporary folder, which is then kept as the
// setting for this run, so the baseline's path (through the settings) and
// old code find the same folder.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ie/favorites/IconManager.h"
#include "ie/favorites/MenuOrder.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/sync/Account.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/OpenTabs.h"
#include "ie/sync/SyncContext.h"
#include "ie/sync/SyncQuestions.h"
#include "ie/sync/WinEnginePlatform.h"
#include "nodeset/Engine.h"
#include "platform/clock/Clock.h"
#include "platform/credentials/CredentialPrompt.h"
#include "platform/credentials/CredentialStore.h"
#include "platform/files/FileSystem.h"
#include "platform/http/HttpTransport.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/registry/Registry.h"
#include "platform/tabs/WindowModel.h"
#include "platform/win/Presenter.h"

namespace tarvex {

class NativeDatasource;

// Where the client keeps things.
struct ClientPaths {
  std::string registryDir;  // the hives and the stored credentials
  // The Run key's entries; empty: "autostart" in the registry folder, so a
  // registry of its own never touches the desktop's.
  std::string autostartDir;
  // Empty: "tarvex.log" in the folder the registry's `userdir` names (or
  // in `userDir`, when given), else in the temporary folder.
  std::string logFile;
  std::string favoritesDir;
  std::string userDir;  // empty: see the user folder above
  std::string tempDir;
  std::string runtimeDir;  // the named mutexes and events

  // As the program has them: the configuration's folders, the log file
  // and the user folder found as the log and the settings find them.
  static ClientPaths FromPlatform(const PlatformConfig& config);
};

struct ClientOptions {
  ClientPaths paths;
  // The program's: take the process-wide registry, OS facts, log, settings
  // and credential store (see above) instead of building them.
  bool processWide = false;
  // The machine, for services of their own.
  OsFacts facts;

  // Seams; null is the real one.
  Clock* clock = nullptr;              // Clock::System()
  HttpTransport* transport = nullptr;  // a CurlTransport of the services
  // The sync's files (Favorites, baseline, intermediate file, favicons);
  // the registry, the settings and the log always use the native one.
  FileSystem* files = nullptr;
  // A FileCredentialStore in the registry folder (the program's:
  // CredentialStore::Process()).
  CredentialStore* credentialStore = nullptr;
  // Null: the account asks whoever CredentialPrompt::Process() holds at
  // the time (the shell installs its dialog there).
  CredentialPrompt* credentialPrompt = nullptr;
  UserPrompt* prompt = nullptr;  // UserInteraction::CurrentPrompt()
  UrlOpener* opener = nullptr;   // UserInteraction::CurrentOpener()
  // The Favorites store's menu-order stamps; unset: a clock-seeded draw.
  OrderDraw orderDraw;
  // The system the menu order is written for; unset: the machine's facts
  // and the browser's version (the setting `ieversion`).
  std::optional<OrderPlatform> orderPlatform;
  // Null: a PromptSyncQuestions over the services' message box and opener.
  SyncQuestions* questions = nullptr;
  // Makes the presenter when it is first asked for; null, with `*error`
  // set, when none can be made.
  std::function<std::shared_ptr<Presenter>(std::string* error)> makePresenter =
      PresenterFromEnvironment;

  // Services of their own laid out as the program's: the configuration's
  // paths and facts.
  static ClientOptions FromPlatform(const PlatformConfig& config);
  // The program's services: FromPlatform(PlatformConfig::Current()) over
  // the process-wide objects.
  static ClientOptions Program();
};

class ClientServices {
 public:
  // Throws std::invalid_argument, naming the value, for a path that is
  // missing or (`processWide`) not the singletons' own.
  explicit ClientServices(ClientOptions options);
  ~ClientServices();
  ClientServices(const ClientServices&) = delete;
  ClientServices& operator=(const ClientServices&) = delete;

  const ClientPaths& paths() const { return paths_; }
  const std::string& userDir() const { return userDir_; }

  Registry& registry() { return registry_; }
  Clock& clock() { return clock_; }
  OsFacts& facts() { return facts_; }
  FileSystem& files() { return files_; }
  Logger& logger() { return logger_; }
  Settings& settings() { return settings_; }
  HttpTransport& transport() { return transport_; }
  CredentialStore& credentialStore() { return credentialStore_; }
  CredentialPrompt*& credentialPrompt() { return credentialPrompt_; }
  UserPrompt& prompt() { return prompt_; }
  UrlOpener& opener() { return opener_; }
  Account& account() { return account_; }
  SyncContext& context() { return context_; }
  WinEnginePlatform& enginePlatform() { return platform_; }
  IconManager& icons() { return icons_; }
  WindowModel& windows() { return windows_; }
  OpenTabs& tabs() { return tabs_; }
  SyncFlowState& state() { return state_; }
  // Who answers the flow's questions; the shell puts its scheduler here.
  // Never null.
  SyncQuestions*& questions() { return questions_; }
  // Made on the first call (a web page, by default), then the same one; a
  // presenter that cannot be made is logged and replaced by a
  // NullPresenter.
  std::shared_ptr<Presenter> presenter();

  // A flow object over these services, for one user action or scheduled
  // sync; `manual` when the user asked for it. It needs this engine
  // installed while it runs (Run, or InstallAsProcess).
  std::unique_ptr<KestroveServer> MakeServer(bool manual);
  // Runs `fn` with this computer's engine installed for the call.
  template <typename Fn>
  auto WithEngine(Fn fn) {
    ScopedEngine engine(EngineFlavor::Windows(), platform_);
    return fn();
  }
  // Runs `fn` with a new flow object, this computer's engine installed.
  template <typename Fn>
  auto Run(Fn fn, bool manual = false) {
    return WithEngine([&] {
      std::unique_ptr<KestroveServer> server = MakeServer(manual);
      return fn(*server);
    });
  }

  // Makes these the process's services (see above) until the object ends.
  // Throws std::logic_error for services that are not the program's
  // (`processWide`), and while other services are installed.
  void InstallAsProcess();

 private:
  struct Installed;

  static ClientPaths Checked(const ClientOptions& options);
  std::string LogFile();
  std::string FindUserDir();
  std::unique_ptr<NativeDatasource> MakeFavorites();

  ClientPaths paths_;
  bool processWide_;
  std::optional<Registry> ownRegistry_;
  Registry& registry_;
  Clock& clock_;
  std::optional<OsFacts> ownFacts_;
  OsFacts& facts_;
  FileSystem& files_;
  std::optional<Logger> ownLogger_;
  Logger& logger_;
  std::optional<Settings> ownSettings_;
  Settings& settings_;
  std::string userDir_;
  std::optional<CurlTransport> ownTransport_;
  HttpTransport& transport_;
  std::optional<FileCredentialStore> ownCredentialStore_;
  CredentialStore& credentialStore_;
  CredentialPrompt* ownCredentialPrompt_;
  CredentialPrompt*& credentialPrompt_;
  UserPrompt* promptSeam_;
  UserPrompt& prompt_;
  UrlOpener* openerSeam_;
  UrlOpener& opener_;
  SyncContext context_;
  Account account_;
  IconManager icons_;
  OrderDraw orderDraw_;
  std::optional<OrderPlatform> orderPlatform_;
  WinEnginePlatform platform_;
  WindowModel windows_;
  OpenTabs tabs_;
  SyncFlowState state_;
  PromptSyncQuestions promptQuestions_;
  SyncQuestions* questions_;
  std::function<std::shared_ptr<Presenter>(std::string*)> makePresenter_;
  std::mutex presenterLock_;
  std::shared_ptr<Presenter> presenter_;
  std::unique_ptr<Installed> installed_;
};

}  // namespace tarvex
