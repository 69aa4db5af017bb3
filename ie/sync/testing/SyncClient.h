// One computer of the sync tests: its own Favorites folder, user folder,
// registry, settings, log and clock, signed in as one user of the loopback
// service through the real HTTP transport, with the real Favorites store
// under the engine. Several clients against one FakeSyncService are several
// computers of one user.
//
// Each is the client's services (ClientServices) with the test bed's fakes
// in its seams, so a test runs what the program runs. The engine is
// process-wide, so each client installs its own only while it runs (Run,
// Read, Edit).
#pragma once

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/RegistryHelpers.h"
#include "ie/sync/ClientServices.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/ScriptedQuestions.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Command.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "platform/files/FileSystem.h"
#include "platform/http/HttpTransport.h"
#include "platform/tabs/WindowModel.h"

namespace tarvex::testing {

// A bookmark (with `url`) or folder (without) for SyncClient::Edit.
inline void Add(NodeSet& set, const std::string& id, const std::string& parent,
                const std::string& name, const std::string& url = {}) {
  Attributes args{{"pnid", parent}, {"name", name}};
  if (url.empty())
    args["ntype"] = "folder";
  else
    args["url"] = url;
  set.Execute(Command("insert", id, std::move(args)));
}

// The id of the first node named `name` (depth first); "" when none.
inline std::string IdOf(NodeSet& set, const std::string& name, const std::string& from = "ROOT") {
  for (const std::string& id : set.GetNode(from, false, false, true)->RawChildren()) {
    Node* node = set.GetNode(id, false, false, true);
    if (node->GetAttr("name") == name) return id;
    if (node->IsFolder()) {
      std::string found = IdOf(set, name, id);
      if (!found.empty()) return found;
    }
  }
  return {};
}

// One computer's parts under the names of SyncTestbed: the fakes its
// services run on, and the services' own registry, facts, log and
// settings.
struct ClientBed {
  ClientBed(TestbedFakes& fakes, ClientServices& services)
      : dir(fakes.dir),
        clock(fakes.clock),
        prompt(fakes.prompt),
        store(fakes.store),
        credentials(fakes.credentials),
        registry(services.registry()),
        facts(services.facts()),
        logger(services.logger()),
        settings(services.settings()),
        services_(services) {}

  SyncContext& context() { return services_.context(); }
  Account& account() { return services_.account(); }
  std::string Log() { return testing::ReadAll(logger.path()); }

  TempDir& dir;
  FakeClock& clock;
  ScriptedPrompt& prompt;
  MemoryCredentialStore& store;
  ScriptedCredentials& credentials;
  Registry& registry;
  OsFacts& facts;
  Logger& logger;
  Settings& settings;

 private:
  ClientServices& services_;
};

class SyncClient {
 public:
  SyncClient(FakeSyncService& service, const std::string& user, const std::string& password,
             const std::string& machineId)
      : SyncClient(service.BaseUrl(), user, password, machineId, {}) {}
  // A computer of the service at `baseUrl` whose state (registry, log, user
  // folder, Favorites) lives in `folder` and stays there, so that a later
  // process can go on as the same computer; an empty `folder` is a fresh
  // temporary one.
  SyncClient(const std::string& baseUrl, const std::string& user, const std::string& password,
             const std::string& machineId, const std::string& folder)
      : fakes_(folder), services(Options(baseUrl, user, password, machineId)) {
    std::filesystem::create_directories(favorites);
    std::filesystem::create_directories(services.userDir());
  }

  // Runs `fn` with a fresh flow object and this computer's engine.
  template <typename Fn>
  auto Run(Fn fn, bool manual = false) {
    return services.Run(fn, manual);
  }
  void Sync() {
    Run([](KestroveServer& s) { s.Synchronize(); });
  }

  // The Favorites read as the sync reads them.
  std::unique_ptr<NodeSet> Read() {
    return services.WithEngine([] {
      auto set = std::make_unique<NodeSet>();
      set->FetchFromNative();
      return set;
    });
  }
  // Changes the Favorites the way a user would: read, edit, write.
  template <typename Fn>
  void Edit(Fn fn) {
    services.WithEngine([&] {
      NodeSet set;
      set.FetchFromNative();
      fn(set);
      set.FlushToNative();
    });
  }

  int SyncStatus() { return bed.settings.GetInt("syncstatus", 0); }
  std::string BaselinePath() { return services.userDir() + "/tarvex-baseline.json"; }

 private:
  TestbedFakes fakes_;

 public:
  // Every file operation of the sync (Favorites, baseline, intermediate
  // file, favicons) goes through here, so a test can make one fail; the
  // settings, registry and log do not.
  FaultyFileSystem files{FileSystem::Native()};
  // Who answers the flow's questions: the script unless a test says
  // otherwise (through `ask`).
  ScriptedQuestions questions;
  ClientServices services;
  ClientBed bed{fakes_, services};
  HttpTransport& transport = services.transport();
  std::string favorites = services.paths().favoritesDir;
  Account* account = &services.account();
  WinEnginePlatform& platform = services.enginePlatform();
  IconManager& icons = services.icons();
  SyncQuestions*& ask = services.questions();
  WindowModel& windows = services.windows();  // no browser windows
  OpenTabs& tabs = services.tabs();
  SyncFlowState& state = services.state();

 private:
  // The computer's settings are in its registry before the client starts,
  // as an earlier run leaves them: the account reads them when it is made.
  ClientOptions Options(const std::string& baseUrl, const std::string& user,
                        const std::string& password, const std::string& machineId) {
    ClientOptions options;
    options.paths.registryDir = fakes_.dir / "registry";
    options.paths.logFile = fakes_.dir / "log/tarvex.log";
    options.paths.favoritesDir = fakes_.dir / "Favorites";
    options.paths.userDir = fakes_.dir / "user";
    options.paths.tempDir = fakes_.dir / "tmp";
    options.paths.runtimeDir = fakes_.dir / "run";
    {
      Registry registry(options.paths.registryDir);
      auto store = [&](const char* name, const std::string& value) {
        WriteRegistryString(registry, Hive::CurrentUser, kSettingsKey, name, value);
      };
      for (const char* host :
           {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
        store(host, baseUrl);
      store("machineid", machineId);
      store("backedup", "true");  // no backup copies in tests
    }
    fakes_.store.entries[baseUrl] = {user, password};
    options.facts.uiLocale = "C";
    options.clock = &fakes_.clock;
    options.files = &files;
    options.credentialStore = &fakes_.store;
    options.credentialPrompt = &fakes_.credentials;
    options.prompt = &fakes_.prompt;
    options.questions = &questions;
    options.orderPlatform = OrderPlatform{6, 1, "8.0"};
    // The menu order's stamps are drawn from a fixed sequence, so a test
    // writes the same bytes in every run.
    options.orderDraw = [draw = std::make_shared<std::mt19937>(20261210u)] {
      return static_cast<uint32_t>((*draw)() & 0x7FFFFFFF);
    };
    return options;
  }
};

}  // namespace tarvex::testing
