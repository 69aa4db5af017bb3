// A normal sync whose server changes bring a whole new tree: an 8,000-deep
// chain of folders, one folder of 20,000 bookmarks, and a balanced tree of
// the same number of nodes for each. A computer signed in to the loopback
// sync service, its Favorites an in-memory store, runs
// KestroveServer::Synchronize from the baseline of an empty tree; the
// service's getchanges brings the new nodes. The two shapes are timed by
// turns against the balanced tree of their size, and the program prints how
// much longer they take ("ratio NAME VALUE") against their limits ("target
// NAME MAX PASS|FAIL"). It exits 0 whether or not a limit is met.
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/NoQuestions.h"
#include "bench/Report.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/OpenTabs.h"
#include "ie/sync/SynchronousRequest.h"
#include "ie/sync/WinEnginePlatform.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "platform/http/HttpTransport.h"
#include "platform/tabs/WindowModel.h"
#include "platform/testing/Files.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr const char* kCreated = "1262304000";

// ---- The computer ----------------------------------------------------------------

// The Favorites in memory: the tree as the JSON of its nodes.
class MemoryFavorites : public NativeDatasource {
 public:
  explicit MemoryFavorites(Json::Value& held) : held_(held) {}
  bool ProvideNodes(NodeSet& set) override {
    set.LoadFromJSON(held_);
    return true;
  }
  void WriteNodeSet(NodeSet& set) override {
    held_ = set.ToJSON(true);
    held_.removeMember("userHash");  // the Favorites belong to no user
  }

 private:
  Json::Value& held_;
};

// One computer of one user: its own settings, log, clock and user folder
// (the baseline file), the real HTTP transport, and Favorites in memory.
class Computer {
 public:
  Computer(testing::FakeSyncService& service, const std::string& user,
           const std::string& password) {
    for (const char* host : {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
      bed.settings.SetValue(host, service.BaseUrl(), true);
    bed.settings.SetValue("userdir", userDir, true);
    bed.settings.SetValue("machineid", "bench", true);
    bed.settings.SetBool("backedup", true, true);
    bed.store.entries[service.BaseUrl()] = {user, password};
    bed.facts.uiLocale = std::string(1, 'C');  // "C" (g++ 12 warns wrongly on the literal)
    account = &bed.Start();
    tabs.emplace(bed.context(), windows);
    platform.SetUserNameSource([this] { return account->GetUserName(); });
    platform.SetDatasourceFactory([this] { return std::make_unique<MemoryFavorites>(favorites); });
  }

  template <typename Fn>
  auto Run(Fn fn) {
    ScopedEngine engine(EngineFlavor::Windows(), platform);
    KestroveServer server(false, bed.context(), questions, *tabs, state);
    return fn(server);
  }
  int SyncStatus() { return bed.settings.GetInt("syncstatus", 0); }

  CurlTransport transport;
  testing::SyncTestbed bed{transport};
  std::string userDir = bed.dir / "user";
  Account* account = nullptr;
  WinEnginePlatform platform{bed.logger, bed.settings, FileSystem::Native(), bed.facts};
  bench::NoQuestions questions;
  WindowModel windows;
  std::optional<OpenTabs> tabs;
  SyncFlowState state;
  Json::Value favorites;
};

// ---- Trees ---------------------------------------------------------------------

Json::Value Folder(const std::string& id, const std::string& pnid, const std::string& name) {
  return Command("insert", id,
                 {{"pnid", pnid}, {"ntype", "folder"}, {"name", name}, {"created", kCreated}})
      .ToJSON();
}

Json::Value Bookmark(const std::string& id, const std::string& pnid, int n) {
  return Command("insert", id,
                 {{"pnid", pnid},
                  {"name", Format("Bookmark %d on site %d", n, n % 997)},
                  {"url", Format("https://site%d.example.com/page/%d", n % 997, n)},
                  {"created", kCreated}})
      .ToJSON();
}

// The inserts, parents first, that bring `nodes` new nodes below ROOT.
// deep: a chain of folders, each in the one before. wide: one folder
// holding nodes - 1 bookmarks. balanced: a tree whose folders hold 20
// entries each (folders filled level by level; the last level bookmarks).
Json::Value NewNodes(const std::string& shape, int nodes) {
  Json::Value commands(Json::arrayValue);
  if (shape == "deep") {
    std::string parent = "ROOT";
    for (int k = 0; k < nodes; ++k) {
      std::string id = Format("d%d", k);
      commands.append(Folder(id, parent, Format("Level %d", k)));
      parent = id;
    }
  } else if (shape == "wide") {
    commands.append(Folder("w", "ROOT", "Everything"));
    for (int k = 1; k < nodes; ++k) commands.append(Bookmark(Format("w%d", k), "w", k));
  } else if (shape == "balanced") {
    // Node k (from 1) sits in node (k - 1) / 20, node 0 being ROOT; the nodes
    // with children of their own are folders.
    constexpr int kFanOut = 20;
    const int folders = (nodes - 1) / kFanOut + 1;  // nodes 0 .. folders - 1 hold children
    auto idOf = [](int k) { return k == 0 ? std::string("ROOT") : Format("t%d", k); };
    for (int k = 1; k <= nodes; ++k) {
      const std::string parent = idOf((k - 1) / kFanOut);
      commands.append(k < folders ? Folder(idOf(k), parent, Format("Folder %d", k))
                                  : Bookmark(idOf(k), parent, k));
    }
  } else {
    throw std::invalid_argument("no shape " + shape);
  }
  return commands;
}

// ---- Fixtures ------------------------------------------------------------------

// A service whose user "alice" uploaded an empty tree and then put the new
// nodes; a computer synced at the upload, holding what it had then.
struct Fixture {
  std::string key;
  int nodes = 0;
  testing::FakeSyncService service;
  std::unique_ptr<Computer> computer;
  std::string baselineFile;  // as it was after the upload
  std::string revision;      // of the upload
  Json::Value favorites;     // after the upload
};

std::unique_ptr<Fixture> BuildFixture(const std::string& shape, int nodes) {
  auto f = std::make_unique<Fixture>();
  f->key = Format("%s%d", shape, nodes);
  f->nodes = nodes;
  f->service.AddUser("alice", "secret");
  f->computer = std::make_unique<Computer>(f->service, "alice", "secret");
  Computer& c = *f->computer;

  // The first sync uploads the empty Favorites.
  c.Run([&](KestroveServer&) {
    NodeSet empty;
    empty.Execute(Command("insert", "ROOT", {{"ntype", "folder"}, {"name", "Favorites"}}));
    empty.FlushToNative();
    return 0;
  });
  f->service.SetReset("alice", true);
  c.Run([](KestroveServer& s) {
    s.Synchronize();
    return 0;
  });
  f->service.SetReset("alice", false);
  if (c.SyncStatus() != 103) throw std::runtime_error("the first upload failed");
  f->revision = c.bed.settings.GetValue("revision", "");
  f->baselineFile = testing::ReadAll(c.userDir + "/tarvex-baseline.json");
  f->favorites = c.favorites;

  // Another computer puts the new nodes.
  c.Run([&](KestroveServer&) {
    Json::Value args(Json::objectValue);
    args["baserev"] = f->revision;
    args["commands"] = NewNodes(shape, nodes);
    SynchronousRequest put("POST", "/sync/bookmarks/putchanges", false, &args, nullptr, false,
                           c.bed.context());
    if (KestroveServer::StatusOf(put.GetResponse()) != 0)
      throw std::runtime_error("the put of the new nodes failed: " +
                               put.GetResponse().toStyledString());
    return 0;
  });
  return f;
}

// The computer as it was before the sync: its baseline, revision and
// Favorites.
void Rewind(Fixture& f) {
  Computer& c = *f.computer;
  testing::WriteAll(c.userDir + "/tarvex-baseline.json", f.baselineFile);
  c.bed.settings.SetValue("revision", f.revision, true);
  c.bed.settings.SetValue("syncstatus", "0", true);
  c.favorites = f.favorites;
}

// One sync, timed; checks that it brought every node.
double TimedSync(Fixture& f) {
  Rewind(f);
  Computer& c = *f.computer;
  auto start = std::chrono::steady_clock::now();
  c.Run([](KestroveServer& s) {
    s.Synchronize();
    return 0;
  });
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (c.SyncStatus() != 105)
    throw std::runtime_error(Format("%s: the sync ended with %d: %s", f.key, c.SyncStatus(),
                                    c.bed.settings.GetValue("errordetails", "")));
  const Json::Value& held = c.favorites["_nodes"];
  if (static_cast<int>(held.size()) != f.nodes + 1)
    throw std::runtime_error(Format("%s: the Favorites hold %d nodes, not %d", f.key,
                                    static_cast<int>(held.size()), f.nodes + 1));
  return took.count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Ratio {
  const char* name;
  const char* shape;  // over the balanced tree of the same size
  int nodes;
  double max;
};

// Both syncs by turns (at least five pairs, more, up to 25, while they have
// taken less than four seconds); the ratio is the median of the pairs'.
double MeasureRatio(const Ratio& ratio) {
  std::unique_ptr<Fixture> over = BuildFixture(ratio.shape, ratio.nodes);
  std::unique_ptr<Fixture> under = BuildFixture("balanced", ratio.nodes);
  TimedSync(*over);  // warm up
  TimedSync(*under);
  constexpr size_t kMinPairs = 5, kMaxPairs = 25;
  constexpr double kBudget = 4.0;
  std::vector<double> overTimes, underTimes, ratios;
  double spent = 0;
  while (ratios.size() < kMinPairs || (ratios.size() < kMaxPairs && spent < kBudget)) {
    double a = TimedSync(*over);
    double b = TimedSync(*under);
    overTimes.push_back(a);
    underTimes.push_back(b);
    ratios.push_back(a / b);
    spent += a + b;
  }
  for (auto [f, times] : {std::pair{over.get(), &overTimes}, std::pair{under.get(), &underTimes}}) {
    double seconds = Median(*times);
    std::printf("timed sync %s %.2f ms %.0f nodes/s\n", f->key.c_str(), seconds * 1e3,
                f->nodes / seconds);
  }
  return Median(ratios);
}

int Ratios() {
  const Ratio ratios[] = {
      {"sync_deep8000_vs_balanced", "deep", 8000, 3.0},
      {"sync_wide20000_vs_balanced", "wide", 20000, 3.0},
  };
  return bench::ReportRatios(ratios, [](const Ratio& r) { return MeasureRatio(r); });
}

}  // namespace
}  // namespace tarvex

// `bench_sync SHAPE NODES` runs one sync of that fixture (after one to warm
// up) and prints its time, for a profiler.
int main(int argc, char** argv) {
  tarvex::SeedNodeIdCounter(1u << 24);  // the same new ids in every run
  try {
    if (argc == 3) {
      std::unique_ptr<tarvex::Fixture> f = tarvex::BuildFixture(argv[1], std::atoi(argv[2]));
      tarvex::TimedSync(*f);
      std::printf("timed sync %s %.2f ms\n", f->key.c_str(), tarvex::TimedSync(*f) * 1e3);
      return 0;
    }
    tarvex::Ratios();
  } catch (const std::exception& e) {
    std::printf("ratios not measured: %s\n", e.what());
  }
  std::fflush(stdout);
  return 0;
}
