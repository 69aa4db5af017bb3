#include "ie/sync/ClientServices.h"

#include <atomic>
#include <stdexcept>
#include <utility>

#include "ie/favorites/FavoritesReader.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/sync/IntermediateDatasource.h"
#include "text/Text.h"

namespace tarvex {
namespace {

// The services that are the process's now.
std::atomic<ClientServices*> processServices{nullptr};

// The process's questions while services are installed: each goes to
// whoever the services' questions are at the time, so the shell can put
// its own there after the install.
class ServicesQuestions : public SyncQuestions {
 public:
  explicit ServicesQuestions(ClientServices& services) : services_(services) {}
  int ShowMessage(const std::string& text, int button1, int button2, int button3) override {
    return Current().ShowMessage(text, button1, button2, button3);
  }
  void ShowUpdateAvailable(const std::string& version, const std::string& downloadUrl,
                           const std::string& infoUrl) override {
    Current().ShowUpdateAvailable(version, downloadUrl, infoUrl);
  }
  int AskSyncFileRestored() override { return Current().AskSyncFileRestored(); }
  std::string AskFolderPlacementConflict(const Node& item, const Node& firstFolder,
                                         const Node& secondFolder) override {
    return Current().AskFolderPlacementConflict(item, firstFolder, secondFolder);
  }
  std::string AskVersionConflict(const Node& first, const Node& second) override {
    return Current().AskVersionConflict(first, second);
  }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    return Current().AskYesNo(text, caption);
  }

 private:
  SyncQuestions& Current() { return *services_.questions(); }
  ClientServices& services_;
};

}  // namespace

// What InstallAsProcess replaced, put back when the services end.
struct ClientServices::Installed {
  explicit Installed(ClientServices& services) : questions(services) {}
  ServicesQuestions questions;
  Engine engine;
  SyncContext* context = nullptr;
  OpenTabs* tabs = nullptr;
  SyncFlowState* state = nullptr;
  SyncQuestions* processQuestions = nullptr;
  UserPrompt* prompt = nullptr;
  UrlOpener* opener = nullptr;
  std::shared_ptr<Presenter> presenter;
};

ClientPaths ClientPaths::FromPlatform(const PlatformConfig& config) {
  ClientPaths paths;
  paths.registryDir = config.registryDir;
  paths.autostartDir = config.autostartDir;
  paths.favoritesDir = config.favoritesDir;
  paths.tempDir = config.tempDir;
  paths.runtimeDir = config.runtimeDir;
  return paths;
}

ClientOptions ClientOptions::FromPlatform(const PlatformConfig& config) {
  ClientOptions options;
  options.paths = ClientPaths::FromPlatform(config);
  options.facts = OsFacts::FromConfig(config);
  return options;
}

ClientOptions ClientOptions::Program() {
  ClientOptions options = FromPlatform(PlatformConfig::Current());
  options.processWide = true;
  return options;
}

ClientPaths ClientServices::Checked(const ClientOptions& options) {
  const ClientPaths& paths = options.paths;
  if (paths.registryDir.empty()) throw std::invalid_argument("The client has no registry folder");
  if (paths.favoritesDir.empty()) throw std::invalid_argument("The client has no Favorites folder");
  if (options.processWide) {
    const std::string& registry = Registry::Process().folder();
    if (paths.registryDir != registry)
      throw std::invalid_argument(Format("The registry folder [%s] is not the process's [%s]",
                                         paths.registryDir, registry));
    const std::string& log = Logger::GetInstance().path();
    if (!paths.logFile.empty() && paths.logFile != log)
      throw std::invalid_argument(
          Format("The log file [%s] is not the process's [%s]", paths.logFile, log));
  }
  return paths;
}

ClientServices::ClientServices(ClientOptions options)
    : paths_(Checked(options)),
      processWide_(options.processWide),
      registry_(options.processWide ? Registry::Process()
                                    : ownRegistry_.emplace(paths_.registryDir)),
      clock_(options.clock ? *options.clock : Clock::System()),
      facts_(options.processWide ? OsFacts::Process() : ownFacts_.emplace(options.facts)),
      files_(options.files ? *options.files : FileSystem::Native()),
      logger_(options.processWide ? Logger::GetInstance()
                                  : ownLogger_.emplace(LogFile(), FileSystem::Native(), clock_)),
      settings_(options.processWide ? Settings::GetInstance()
                                    : ownSettings_.emplace(registry_, FileSystem::Native(), clock_,
                                                           facts_, logger_)),
      userDir_(FindUserDir()),
      transport_(options.transport ? *options.transport : ownTransport_.emplace()),
      credentialStore_(
          options.credentialStore ? *options.credentialStore
          : options.processWide
              ? CredentialStore::Process()
              : ownCredentialStore_.emplace(
                    paths_.registryDir, [this](const std::string& line) { logger_.Error(line); })),
      ownCredentialPrompt_(options.credentialPrompt),
      credentialPrompt_(options.credentialPrompt ? ownCredentialPrompt_
                                                 : CredentialPrompt::Process()),
      promptSeam_(options.prompt),
      prompt_(options.prompt ? *options.prompt : UserInteraction::CurrentPrompt()),
      openerSeam_(options.opener),
      opener_(options.opener ? *options.opener : UserInteraction::CurrentOpener()),
      context_{settings_, logger_, transport_, clock_, account_, prompt_},
      account_(context_, credentialStore_, credentialPrompt_),
      icons_(files_, logger_, userDir_.empty() ? std::string() : JoinPath(userDir_, "favicons")),
      orderDraw_(std::move(options.orderDraw)),
      orderPlatform_(std::move(options.orderPlatform)),
      platform_(logger_, settings_, files_, facts_),
      tabs_(context_, windows_),
      promptQuestions_(prompt_, opener_, settings_, logger_),
      questions_(options.questions ? options.questions : &promptQuestions_),
      makePresenter_(std::move(options.makePresenter)) {
  if (!paths_.autostartDir.empty() && ownRegistry_)
    registry_.SetAutostartFolder(paths_.autostartDir);
  platform_.SetUserNameSource([this] { return account_.GetUserName(); });
  // The sync reaches the Favorites through the intermediate store, which
  // keeps what the folder cannot hold (separators, the unfiled folder, the
  // root's name).
  IntermediateEnvironment intermediate(settings_, logger_, files_, clock_);
  intermediate.userDir = userDir_;
  UseFavoritesThroughIntermediate(platform_, intermediate, [this] { return MakeFavorites(); });
}

ClientServices::~ClientServices() {
  if (!installed_) return;
  Installed& saved = *installed_;
  SetPresenter(saved.presenter);
  UserInteraction& ui = UserInteraction::Process();
  ui.prompt = saved.prompt;
  ui.opener = saved.opener;
  SyncQuestions::Process() = saved.processQuestions;
  SyncFlowState::SetProcess(saved.state);
  OpenTabs::SetProcess(saved.tabs);
  SyncContext::SetProcess(saved.context);
  Engine::Current() = saved.engine;
  processServices.store(nullptr);
}

std::string ClientServices::LogFile() {
  if (!paths_.logFile.empty()) return paths_.logFile;
  std::string folder =
      paths_.userDir.empty() ? UserDirFromRegistry(registry_, paths_.tempDir) : paths_.userDir;
  return JoinPath(folder, kLogFileName);
}

std::string ClientServices::FindUserDir() {
  if (!paths_.userDir.empty()) {
    settings_.SetValue("userdir", paths_.userDir, true);
    return paths_.userDir;
  }
  std::string dir = settings_.GetValue("userdir", "");
  if (!dir.empty()) return dir;
  dir = PrivateTempDir(paths_.tempDir);
  if (!dir.empty()) settings_.SetValue("userdir", dir, false);
  return dir;
}

std::unique_ptr<NativeDatasource> ClientServices::MakeFavorites() {
  FavoritesEnvironment env(
      files_, settings_, logger_, registry_, icons_, facts_, MakeFavoritesDir(paths_.favoritesDir),
      orderPlatform_ ? *orderPlatform_
                     : OrderPlatform::From(facts_, settings_.GetValue("ieversion", "")));
  env.userDir = userDir_;
  env.orderDraw = orderDraw_;
  return std::make_unique<FavoritesDatasource>(std::move(env));
}

std::shared_ptr<Presenter> ClientServices::presenter() {
  std::lock_guard<std::mutex> guard(presenterLock_);
  if (!presenter_) {
    std::string error;
    presenter_ = makePresenter_(&error);
    if (!presenter_) {
      // Nobody can be asked: every question gets its cancel.
      logger_.Error(Format("No presenter: %s; questions are answered with their cancel", error));
      presenter_ = std::make_shared<NullPresenter>();
    }
  }
  return presenter_;
}

std::unique_ptr<KestroveServer> ClientServices::MakeServer(bool manual) {
  return std::make_unique<KestroveServer>(manual, context_, *questions_, tabs_, state_);
}

void ClientServices::InstallAsProcess() {
  if (installed_) return;
  // Old code reaches the process's settings and log: only services over
  // them can be the process's without two of each.
  if (!processWide_) throw std::logic_error("Only the program's services can be the process's");
  ClientServices* none = nullptr;
  if (!processServices.compare_exchange_strong(none, this))
    throw std::logic_error("Other client services are the process's already");
  auto saved = std::make_unique<Installed>(*this);
  saved->engine = Engine::Current();
  InstallWindowsEngine(platform_);
  saved->context = SyncContext::SetProcess(&context_);
  saved->tabs = OpenTabs::SetProcess(&tabs_);
  saved->state = SyncFlowState::SetProcess(&state_);
  saved->processQuestions = std::exchange(SyncQuestions::Process(), &saved->questions);
  // Services without a message box or opener of their own already ask
  // through the process's.
  UserInteraction& ui = UserInteraction::Process();
  saved->prompt = ui.prompt;
  saved->opener = ui.opener;
  if (promptSeam_) ui.prompt = promptSeam_;
  if (openerSeam_) ui.opener = openerSeam_;
  saved->presenter = SetPresenter(presenter());
  installed_ = std::move(saved);
}

}  // namespace tarvex
