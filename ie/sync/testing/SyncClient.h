// One computer of the sync tests: its own Favorites folder, user folder,
// registry, settings, log and clock, signed in as one user of the loopback
// service through the real HTTP transport, with the real Favorites store
// under the engine. Several clients against one FakeSyncService are several
// computers of one user.
//
// The engine is process-wide, so each client installs its own only while it
// runs (Run, Read, Write).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "ie/favorites/FavoritesReader.h"
#include "ie/sync/IntermediateDatasource.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/OpenTabs.h"
#include "ie/sync/WinEnginePlatform.h"
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
      : bed(transport, folder) {
    for (const char* host : {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
      bed.settings.SetValue(host, baseUrl, true);
    bed.settings.SetValue("userdir", user_, true);
    bed.settings.SetValue("machineid", machineId, true);
    bed.settings.SetBool("backedup", true, true);  // no backup copies in tests
    bed.store.entries[baseUrl] = {user, password};
    bed.facts.uiLocale = "C";
    std::filesystem::create_directories(favorites);
    std::filesystem::create_directories(user_);
    account = &bed.Start();
    tabs.emplace(bed.context(), windows);
    platform.SetUserNameSource([this] { return account->GetUserName(); });
    // The sync reaches the Favorites through the intermediate store, which
    // keeps what the folder cannot hold (separators, the unfiled folder, the
    // root's name).
    IntermediateEnvironment intermediate(bed.settings, bed.logger, files, bed.clock);
    intermediate.userDir = user_;
    UseFavoritesThroughIntermediate(platform, intermediate, [this] { return MakeDatasource(); });
  }

  // Runs `fn` with a fresh flow object and this computer's engine.
  template <typename Fn>
  auto Run(Fn fn, bool manual = false) {
    ScopedEngine engine(EngineFlavor::Windows(), platform);
    KestroveServer server(manual, bed.context(), *ask, *tabs, state);
    return fn(server);
  }
  void Sync() {
    Run([](KestroveServer& s) { s.Synchronize(); });
  }

  // The Favorites read as the sync reads them.
  std::unique_ptr<NodeSet> Read() {
    ScopedEngine engine(EngineFlavor::Windows(), platform);
    auto set = std::make_unique<NodeSet>();
    set->FetchFromNative();
    return set;
  }
  // Changes the Favorites the way a user would: read, edit, write.
  template <typename Fn>
  void Edit(Fn fn) {
    ScopedEngine engine(EngineFlavor::Windows(), platform);
    NodeSet set;
    set.FetchFromNative();
    fn(set);
    set.FlushToNative();
  }

  int SyncStatus() { return bed.settings.GetInt("syncstatus", 0); }
  std::string BaselinePath() { return user_ + "/tarvex-baseline.json"; }

  CurlTransport transport;
  SyncTestbed bed;
  // Every file operation of the sync (Favorites, baseline, intermediate
  // file, favicons) goes through here, so a test can make one fail; the
  // settings, registry and log do not.
  FaultyFileSystem files{FileSystem::Native()};
  std::string favorites = bed.dir / "Favorites";
  Account* account = nullptr;
  WinEnginePlatform platform{bed.logger, bed.settings, files, bed.facts};
  IconManager icons{files, bed.logger, bed.dir / "user/favicons"};
  ScriptedQuestions questions;
  // Who answers the flow's questions: the script unless a test says
  // otherwise.
  SyncQuestions* ask = &questions;
  WindowModel windows;  // no browser windows
  std::optional<OpenTabs> tabs;
  SyncFlowState state;

 private:
  std::unique_ptr<NativeDatasource> MakeDatasource() {
    FavoritesEnvironment env(files, bed.settings, bed.logger, bed.registry, icons, bed.facts,
                             favorites, OrderPlatform{6, 1, "8.0"});
    env.userDir = user_;
    // The menu order's stamps are drawn from a fixed sequence, so a test
    // writes the same bytes in every run.
    env.orderDraw = [draw = orderDraw_] { return static_cast<uint32_t>((*draw)() & 0x7FFFFFFF); };
    return std::make_unique<FavoritesDatasource>(std::move(env));
  }

  std::string user_ = bed.dir / "user";
  std::shared_ptr<std::mt19937> orderDraw_ = std::make_shared<std::mt19937>(20261210u);
};

}  // namespace tarvex::testing
