// The comparison of two trees and the merge of one tree into another, on
// large trees: a balanced tree (folders of about 20 entries), a single flat
// folder, an all-new folder and two flat folders sharing half their
// addresses. After the benchmarks the program times the two operations of
// each ratio again, by turns, and prints how the figures scale ("ratio NAME
// VALUE") against their limits ("target NAME MAX PASS|FAIL"). It exits 0
// whether or not a limit is met.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/Report.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

// ---- Engine -------------------------------------------------------------------

testing::TestEnginePlatform& Platform() {
  static testing::TestEnginePlatform* platform = [] {
    auto* p = new testing::TestEnginePlatform;
    p->infoEnabled = false;  // logging off
    p->identities.clear();   // no user check on the baseline
    Engine::Current().flavor = EngineFlavor::Windows();
    Engine::Current().platform = p;
    return p;
  }();
  return *platform;
}

// ---- Trees --------------------------------------------------------------------

constexpr int kPerFolder = 19;  // a folder and its 19 bookmarks: 20 nodes
// A reorder moves a bookmark at most this many places, the span of a folder
// of the balanced tree, so both shapes see reorders of the same size.
constexpr int kReorderSpan = 20;
constexpr const char* kCreated = "1262304000";

std::unique_ptr<Command> Make(const char* action, std::string id, Attributes args = {}) {
  return std::make_unique<Command>(action, std::move(id), std::move(args));
}

Attributes BookmarkArgs(std::mt19937& rng, const std::string& pnid, const std::string& id) {
  unsigned site = rng() % 997;
  return {{"pnid", pnid},
          {"name", Format("Bookmark %s on site %d", id, site)},
          {"url", Format("https://site%d.example.com/page/%s", site, id)},
          {"created", kCreated}};
}

// ROOT holding `folders` folders of kPerFolder bookmarks each.
std::unique_ptr<NodeSet> BalancedTree(int folders, unsigned seed) {
  std::mt19937 rng(seed);
  CommandSet commands;
  commands.Append(Make("insert", "ROOT", {{"ntype", "folder"}, {"name", "Favorites"}}));
  int bookmark = 0;
  for (int f = 0; f < folders; ++f) {
    std::string folder = Format("f%d", f);
    commands.Append(Make("insert", folder,
                         {{"pnid", "ROOT"},
                          {"ntype", "folder"},
                          {"name", Format("Folder %d", f)},
                          {"created", kCreated}}));
    for (int b = 0; b < kPerFolder; ++b) {
      std::string id = Format("b%d", bookmark++);
      commands.Append(Make("insert", id, BookmarkArgs(rng, folder, id)));
    }
  }
  auto set = std::make_unique<NodeSet>();
  set->Execute(commands);
  return set;
}

// ROOT holding `count` bookmarks.
std::unique_ptr<NodeSet> FlatFolder(int count, unsigned seed) {
  std::mt19937 rng(seed);
  CommandSet commands;
  commands.Append(Make("insert", "ROOT", {{"ntype", "folder"}, {"name", "Favorites"}}));
  for (int b = 0; b < count; ++b) {
    std::string id = Format("b%d", b);
    commands.Append(Make("insert", id, BookmarkArgs(rng, "ROOT", id)));
  }
  auto set = std::make_unique<NodeSet>();
  set->Execute(commands);
  return set;
}

size_t Pick(std::mt19937& rng, size_t size) {
  return std::uniform_int_distribution<size_t>(0, size - 1)(rng);
}

// A child of `parent` to insert before, or "" (the end) one time in
// (children + 1).
std::string RandomBnid(std::mt19937& rng, NodeSet& set, const std::string& parent) {
  const std::vector<std::string>& children = set.GetNode(parent, false, false, true)->RawChildren();
  size_t i = Pick(rng, children.size() + 1);
  return i == children.size() ? std::string() : children[i];
}

// The first tree loaded again from its JSON, with commands changing 1% of
// its nodes: renames, new addresses, moves between folders (when there is
// more than one), inserts, deletes and reorders, each on another bookmark.
std::unique_ptr<NodeSet> SecondVersion(NodeSet& first, unsigned seed) {
  std::mt19937 rng(seed);
  auto second = std::make_unique<NodeSet>();
  second->LoadFromJSON(first.ToJSON());

  std::vector<std::string> folders{"ROOT"}, bookmarks;
  for (const std::string& id : second->GetNode("ROOT", false, false, true)->RawChildren())
    (second->GetNode(id, false, false, true)->IsFolder() ? folders : bookmarks).push_back(id);
  if (folders.size() > 1) {
    folders.erase(folders.begin());  // bookmarks live in the folders only
    for (const std::string& folder : folders)
      for (const std::string& id : second->GetNode(folder, false, false, true)->RawChildren())
        bookmarks.push_back(id);
  }
  const size_t nodes = folders.size() + bookmarks.size();
  const size_t changes = nodes / 100;
  std::shuffle(bookmarks.begin(), bookmarks.end(), rng);
  const bool moves = folders.size() > 1;

  for (size_t c = 0; c < changes; ++c) {
    const std::string& id = bookmarks[c];  // each change on another bookmark
    const std::string pnid = second->GetNode(id, false, false, true)->GetAttr("pnid");
    unsigned kind = rng() % 20;                                // in twentieths
    if (!moves && kind >= 11 && kind < 14) kind = rng() % 11;  // a rename or address instead
    std::unique_ptr<Command> command;
    if (kind < 6) {
      command = Make("update", id, {{"name", Format("Renamed %d", static_cast<int>(c))}});
    } else if (kind < 11) {
      command = Make("update", id, {{"url", Format("https://moved.example.org/%s", id)}});
    } else if (kind < 14) {
      std::string target;
      do target = folders[Pick(rng, folders.size())];
      while (target == pnid);
      command = Make("move", id, {{"pnid", target}, {"bnid", RandomBnid(rng, *second, target)}});
    } else if (kind < 16) {
      std::string parent = folders[Pick(rng, folders.size())];
      std::string newId = Format("x%d", static_cast<int>(c));
      Attributes args = BookmarkArgs(rng, parent, newId);
      args["bnid"] = RandomBnid(rng, *second, parent);
      command = Make("insert", newId, std::move(args));
    } else if (kind < 18) {
      command = Make("delete", id);
    } else {
      // A reorder by up to kReorderSpan places, up or down.
      const std::vector<std::string>& children =
          second->GetNode(pnid, false, false, true)->RawChildren();
      const int size = static_cast<int>(children.size());
      const int at = second->GetNode(pnid, false, false, true)->FindChild(id);
      int offset = static_cast<int>(rng() % kReorderSpan) + 1;
      if (rng() % 2) offset = -offset;
      const int to = std::clamp(at + offset, 0, size - 1);
      if (to == at) continue;
      // Moving up: before the child now at `to`; down: before the one after it.
      std::string bnid = to < at ? children[to] : (to + 1 < size ? children[to + 1] : "");
      command = Make("reorder", id, {{"bnid", bnid}});
    }
    second->Execute(*command);
  }
  return second;
}

// ROOT holding folder F: empty in the first tree, holding `count` new
// bookmarks in the second.
void AllNewFolder(int count, unsigned seed, std::unique_ptr<NodeSet>& first,
                  std::unique_ptr<NodeSet>& second) {
  std::mt19937 rng(seed);
  CommandSet commands;
  commands.Append(Make("insert", "ROOT", {{"ntype", "folder"}, {"name", "Favorites"}}));
  commands.Append(
      Make("insert", "F", {{"pnid", "ROOT"}, {"ntype", "folder"}, {"name", "New folder"}}));
  first = std::make_unique<NodeSet>();
  first->Execute(commands);
  for (int b = 0; b < count; ++b) {
    std::string id = Format("n%d", b);
    commands.Append(Make("insert", id, BookmarkArgs(rng, "F", id)));
  }
  second = std::make_unique<NodeSet>();
  second->Execute(commands);
}

// Two folders (ROOT) of `count` bookmarks with ids of their own; half the
// addresses of the second are addresses of the first (in another order), the
// rest occur in the second only.
void MergePair(int count, unsigned seed, std::unique_ptr<NodeSet>& first,
               std::unique_ptr<NodeSet>& second) {
  std::mt19937 rng(seed);
  std::vector<int> shared(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) shared[static_cast<size_t>(i)] = i;
  std::shuffle(shared.begin(), shared.end(), rng);
  shared.resize(static_cast<size_t>(count / 2));

  CommandSet a, b;
  for (CommandSet* commands : {&a, &b})
    commands->Append(Make("insert", "ROOT", {{"ntype", "folder"}, {"name", "Favorites"}}));
  for (int i = 0; i < count; ++i)
    a.Append(Make("insert", Format("a%d", i),
                  {{"pnid", "ROOT"},
                   {"name", Format("Page %d", i)},
                   {"url", Format("https://www.example.com/page/%d", i)},
                   {"created", kCreated}}));
  for (int i = 0; i < count; ++i) {
    bool common = static_cast<size_t>(i) < shared.size();
    std::string url = common ? Format("https://www.example.com/page/%d", shared[i])
                             : Format("https://other.example.net/item/%d", i);
    b.Append(Make("insert", Format("c%d", i),
                  {{"pnid", "ROOT"},
                   {"name", Format("Entry %d", i)},
                   {"url", url},
                   {"icon", "data:image/png;base64,iVBORw0KGgo="},
                   {"created", kCreated}}));
  }
  first = std::make_unique<NodeSet>();
  first->Execute(a);
  second = std::make_unique<NodeSet>();
  second->Execute(b);
}

// ---- Fixtures -------------------------------------------------------------------

struct Fixture {
  std::string key;
  int64_t nodes = 0;  // the size the fixture is named after
  std::unique_ptr<NodeSet> first, second;
  std::unique_ptr<testing::TempDir> dir;
  std::string baseline;  // the first tree's baseline file, once written
};

std::unique_ptr<Fixture> BuildFixture(const std::string& key) {
  auto f = std::make_unique<Fixture>();
  f->key = key;
  if (key == "balanced50k" || key == "balanced100k") {
    int folders = key == "balanced50k" ? 2500 : 5000;
    f->nodes = folders * (kPerFolder + 1);
    f->first = BalancedTree(folders, 1000 + static_cast<unsigned>(folders));
    f->second = SecondVersion(*f->first, 2000 + static_cast<unsigned>(folders));
  } else if (key == "flat50k" || key == "flat100k") {
    f->nodes = key == "flat50k" ? 50000 : 100000;
    f->first = FlatFolder(static_cast<int>(f->nodes), 3000 + static_cast<unsigned>(f->nodes));
    f->second = SecondVersion(*f->first, 4000 + static_cast<unsigned>(f->nodes));
  } else if (key == "allnew20k" || key == "allnew40k") {
    f->nodes = key == "allnew20k" ? 20000 : 40000;
    AllNewFolder(static_cast<int>(f->nodes), 5000, f->first, f->second);
  } else if (key == "merge10k" || key == "merge20k") {
    f->nodes = key == "merge10k" ? 10000 : 20000;
    MergePair(static_cast<int>(f->nodes), 6000, f->first, f->second);
  } else {
    throw std::invalid_argument("no fixture " + key);
  }
  return f;
}

// Fixtures are large: one is kept at a time, and the benchmarks and the
// timings ask for them in an order that builds each once per phase.
Fixture& GetFixture(const std::string& key) {
  static std::unique_ptr<Fixture> slot;
  Platform();
  if (!slot || slot->key != key) {
    slot.reset();
    slot = BuildFixture(key);
  }
  return *slot;
}

const std::string& Baseline(Fixture& f) {
  if (f.baseline.empty()) {
    f.dir = std::make_unique<testing::TempDir>();
    f.baseline = *f.dir / "tarvex-baseline.json";
    f.first->SaveToFile(f.baseline);
  }
  return f.baseline;
}

// ---- Operations -----------------------------------------------------------------

void Load(Fixture& f) {
  NodeSet loaded;
  if (loaded.LoadFromFile(Baseline(f)) != NodeSet::LoadResult::Loaded)
    throw std::runtime_error("baseline not loaded");
  benchmark::DoNotOptimize(loaded.TableSize());
}

void CompareOnClone(Fixture& f) {
  NodeSet work(f.first.get());
  CommandSet commands = work.Compare(*f.second);
  benchmark::DoNotOptimize(commands.GetSize());
}

void MergeOnClone(Fixture& f) {
  NodeSet work(f.first.get());
  work.Merge(*f.second);
  benchmark::DoNotOptimize(work.TableSize());
}

using Operation = void (*)(Fixture&);

void Run(benchmark::State& state, const char* key, Operation op) {
  try {
    Fixture& f = GetFixture(key);
    if (op == &Load) Baseline(f);  // written outside the timed loop
    for (auto _ : state) op(f);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * f.nodes);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_Load(benchmark::State& state, const char* key) {
  Run(state, key, &Load);
}
void BM_Compare(benchmark::State& state, const char* key) {
  Run(state, key, &CompareOnClone);
}
void BM_Merge(benchmark::State& state, const char* key) {
  Run(state, key, &MergeOnClone);
}

BENCHMARK_CAPTURE(BM_Load, balanced50k, "balanced50k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compare, balanced50k, "balanced50k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compare, balanced100k, "balanced100k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compare, flat50k, "flat50k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compare, flat100k, "flat100k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compare, allnew20k, "allnew20k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compare, allnew40k, "allnew40k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Merge, flat10k, "merge10k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Merge, flat20k, "merge20k")->Unit(benchmark::kMillisecond);

// ---- Ratios ---------------------------------------------------------------------

double Seconds(Fixture& f, Operation op) {
  auto start = std::chrono::steady_clock::now();
  op(f);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Checks once that the comparison turns the first tree into the second.
bool CompareIsFaithful(Fixture& f) {
  NodeSet work(f.first.get());
  work.Compare(*f.second);
  return testing::Snapshot(work) == testing::Snapshot(*f.second);
}

const char* Verb(Operation op) {
  return op == &Load ? "load" : op == &MergeOnClone ? "merge" : "compare";
}

struct Side {
  const char* key;
  Operation op;
};

struct Ratio {
  const char* name;
  Side over, under;  // the ratio is over / under
  double max;
};

// One ratio: both operations run by turns (at least five pairs, more, up to
// 25, while they have taken less than three seconds), so that whatever else
// the machine does at a moment weighs on both; the ratio is the median of
// the pairs' ratios.
double MeasureRatio(const Ratio& ratio) {
  Platform();
  std::unique_ptr<Fixture> fixtures[2];
  const Side sides[2] = {ratio.over, ratio.under};
  for (int k = 0; k < 2; ++k) {
    fixtures[k] =
        k == 1 && std::string(sides[1].key) == sides[0].key ? nullptr : BuildFixture(sides[k].key);
  }
  Fixture& over = *fixtures[0];
  Fixture& under = fixtures[1] ? *fixtures[1] : over;
  for (auto [f, op] : {std::pair{&over, ratio.over.op}, std::pair{&under, ratio.under.op}}) {
    if (op == &Load) Baseline(*f);
    if (op == &CompareOnClone && !CompareIsFaithful(*f))
      std::printf("warning %s: the compared clone differs from the second tree\n", f->key.c_str());
    op(*f);  // warm up
  }
  constexpr size_t kMinPairs = 5, kMaxPairs = 25;
  constexpr double kBudget = 3.0;
  std::vector<double> overTimes, underTimes, ratios;
  double spent = 0;
  while (ratios.size() < kMinPairs || (ratios.size() < kMaxPairs && spent < kBudget)) {
    double a = Seconds(over, ratio.over.op);
    double b = Seconds(under, ratio.under.op);
    overTimes.push_back(a);
    underTimes.push_back(b);
    ratios.push_back(a / b);
    spent += a + b;
  }
  for (auto [f, op, times] : {std::tuple{&over, ratio.over.op, &overTimes},
                              std::tuple{&under, ratio.under.op, &underTimes}}) {
    double seconds = Median(*times);
    std::printf("timed %s %s %.2f ms %.0f nodes/s\n", Verb(op), f->key.c_str(), seconds * 1e3,
                static_cast<double>(f->nodes) / seconds);
  }
  return Median(ratios);
}

int Ratios() {
  const Ratio ratios[] = {
      {"compare50k_vs_load50k", {"balanced50k", &CompareOnClone}, {"balanced50k", &Load}, 3.0},
      {"flat50k_vs_balanced50k",
       {"flat50k", &CompareOnClone},
       {"balanced50k", &CompareOnClone},
       3.0},
      {"compare_100k_vs_50k",
       {"balanced100k", &CompareOnClone},
       {"balanced50k", &CompareOnClone},
       2.5},
      {"flat_100k_vs_50k", {"flat100k", &CompareOnClone}, {"flat50k", &CompareOnClone}, 2.5},
      {"merge_20k_vs_10k", {"merge20k", &MergeOnClone}, {"merge10k", &MergeOnClone}, 2.5},
      {"allnew_40k_vs_20k", {"allnew40k", &CompareOnClone}, {"allnew20k", &CompareOnClone}, 2.5},
  };
  return bench::ReportRatios(ratios, [](const Ratio& r) { return MeasureRatio(r); });
}

}  // namespace
}  // namespace tarvex

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarvex::SeedNodeIdCounter(1u << 24);  // the same new ids in every run
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  try {
    tarvex::Ratios();
  } catch (const std::exception& e) {
    std::printf("ratios not measured: %s\n", e.what());
  }
  std::fflush(stdout);
  return 0;
}
