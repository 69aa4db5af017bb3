// Writing one folder of many bookmarks to the Favorites: all with the same
// title (each file then needs a name of its own, "Same__1.url", ...) against
// all with titles of their own. Both write the same number of files, so
// their times should stay close however many there are; a writer that
// looked for each free name from "__1" again would grow with the square of
// the count. The two writes are timed by turns into fresh folders (on
// /dev/shm where there is one, so the disk's flushes weigh on neither), and
// the program prints the median ratio ("ratio NAME VALUE") against its limit
// ("target NAME MAX PASS|FAIL"). It exits 0 whether or not the limit is met.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/Report.h"
#include "ie/favorites/FavoritesReader.h"
#include "ie/favorites/IconManager.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "platform/clock/Clock.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/registry/Registry.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr int kBookmarks = 4000;  // as the ratio's name says
constexpr double kLimit = 1.5;

// One folder of `count` bookmarks, titled alike or each its own.
void BuildTree(NodeSet& set, int count, bool sameTitle) {
  set.Execute(Command("insert", "ROOT", {{"ntype", "folder"}, {"name", "Favorites"}}));
  set.Execute(Command("insert", "wide", {{"pnid", "ROOT"}, {"ntype", "folder"}, {"name", "Wide"}}));
  for (int n = 0; n < count; ++n)
    set.Execute(Command("insert", Format("b%d", n),
                        {{"pnid", "wide"},
                         {"name", sameTitle ? std::string("Same") : Format("Title %d", n)},
                         {"url", Format("http://b%d.example/", n)}}));
}

// Seconds to write the tree into an empty Favorites folder of its own.
double TimedWrite(bool sameTitle) {
  testing::TempDir dir;
  const std::string favorites = dir / "Favorites", user = dir / "user";
  std::filesystem::create_directories(favorites);
  std::filesystem::create_directories(user);
  Registry registry(dir / "registry");
  FakeClock clock(1796858716);
  OsFacts facts;
  facts.uiLocale = "C";
  Logger logger(dir / "tarvex.log", FileSystem::Native(), clock);
  Settings settings(registry, FileSystem::Native(), clock, facts, logger);
  settings.SetBool("backedup", true, true);  // no backup copy
  IconManager icons(FileSystem::Native(), logger, user + "/favicons");
  testing::TestEnginePlatform platform;
  platform.infoEnabled = false;
  ScopedEngine engine(EngineFlavor::Windows(), platform);

  NodeSet tree;
  BuildTree(tree, kBookmarks, sameTitle);
  FavoritesEnvironment env(FileSystem::Native(), settings, logger, registry, icons, facts,
                           favorites, OrderPlatform{6, 1, "8.0"});
  env.userDir = user;
  env.records = nullptr;
  env.orderDraw = [] { return 0x11u; };
  FavoritesDatasource writer(std::move(env));
  const auto start = std::chrono::steady_clock::now();
  writer.WriteNodeSet(tree);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace
}  // namespace tarvex

int main() {
  using namespace tarvex;
  if (std::filesystem::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 1);
  std::vector<double> same, own, ratios;
  for (int pair = 0; pair < 5; ++pair) {
    same.push_back(TimedWrite(true));
    own.push_back(TimedWrite(false));
    ratios.push_back(same.back() / own.back());
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("write %d bookmarks of one title: %.0f ms; of their own titles: %.0f ms\n",
              kBookmarks, median(same) * 1000, median(own) * 1000);
  bench::ReportRatio("favorites_sametitle4000_vs_owntitles", median(ratios), kLimit);
  return 0;
}
