// The engine on a tree of 100,000 bookmarks: building it by commands,
// writing and reading the baseline, hashing, and changes through a clone.
#include <benchmark/benchmark.h>

#include <deque>

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

constexpr int kFolders = 5000;
constexpr int kPerFolder = 19;  // 5,000 folders of 19 bookmarks: about 100,000 nodes

testing::TestEnginePlatform& Platform() {
  static testing::TestEnginePlatform* platform = [] {
    auto* p = new testing::TestEnginePlatform;
    p->infoEnabled = false;
    p->identities.clear();
    Engine::Current().flavor = EngineFlavor::Windows();
    Engine::Current().platform = p;
    return p;
  }();
  return *platform;
}

CommandSet BuildCommands() {
  CommandSet commands;
  commands.Append(std::make_unique<Command>("insert", "ROOT", Attributes{{"ntype", "folder"}}));
  for (int f = 0; f < kFolders; ++f) {
    std::string folder = "f" + std::to_string(f);
    commands.Append(std::make_unique<Command>(
        "insert", folder,
        Attributes{{"pnid", "ROOT"}, {"ntype", "folder"}, {"name", "Folder " + folder}}));
    for (int b = 0; b < kPerFolder; ++b) {
      std::string id = folder + "b" + std::to_string(b);
      commands.Append(std::make_unique<Command>("insert", id,
                                                Attributes{{"pnid", folder},
                                                           {"name", "Bookmark " + id},
                                                           {"url", "http://example.com/" + id},
                                                           {"created", "1262304000"}}));
    }
  }
  return commands;
}

void HashTree(NodeSet& set) {
  // Children first: a level-order list walked backwards.
  std::vector<Node*> order{set.GetNode("ROOT", false, false, true)};
  for (size_t i = 0; i < order.size(); ++i)
    for (const std::string& child : order[i]->RawChildren())
      order.push_back(set.GetNode(child, false, false, true));
  for (auto it = order.rbegin(); it != order.rend(); ++it) (*it)->ComputeHash(set);
}

void BM_ExecuteInserts(benchmark::State& state) {
  Platform();
  CommandSet commands = BuildCommands();
  for (auto _ : state) {
    NodeSet set;
    set.Execute(commands);
    benchmark::DoNotOptimize(set.TableSize());
  }
}
BENCHMARK(BM_ExecuteInserts)->Unit(benchmark::kMillisecond);

void BM_SaveAndLoadBaseline(benchmark::State& state) {
  Platform();
  NodeSet set;
  set.Execute(BuildCommands());
  testing::TempDir dir;
  std::string path = dir / "tarvex-baseline.json";
  for (auto _ : state) {
    set.SaveToFile(path);
    NodeSet loaded;
    if (loaded.LoadFromFile(path) != NodeSet::LoadResult::Loaded) state.SkipWithError("load");
  }
}
BENCHMARK(BM_SaveAndLoadBaseline)->Unit(benchmark::kMillisecond);

void BM_HashTree(benchmark::State& state) {
  Platform();
  NodeSet set;
  set.Execute(BuildCommands());
  for (auto _ : state) HashTree(set);
}
BENCHMARK(BM_HashTree)->Unit(benchmark::kMillisecond);

void BM_UpdatesThroughClone(benchmark::State& state) {
  Platform();
  NodeSet base;
  base.Execute(BuildCommands());
  for (auto _ : state) {
    NodeSet clone(&base);
    for (int f = 0; f < kFolders; f += 5)
      clone.Do_update(Format("f%db3", f), {{"name", "renamed"}});
    benchmark::DoNotOptimize(clone.TableSize());
  }
}
BENCHMARK(BM_UpdatesThroughClone)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvex
