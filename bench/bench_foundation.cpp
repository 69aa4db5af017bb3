// The foundation's hot paths: ordering and converting titles (the engine
// sorts and compares many thousands of them) and the settings reads that
// every sync step makes (each read goes to the shared registry store).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/WindowsFacts.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

std::vector<std::string> Titles(size_t n) {
  std::mt19937 rng(7);
  const char* pieces[] = {"News", "caf\u00e9", "\u65b0\u95fb", "\U0001F600", "Folder__",
                          "a",    " ",         "\uFF21",       "Zeitung",    "_3"};
  std::vector<std::string> titles(n);
  for (std::string& t : titles)
    for (int i = 0; i < 4; ++i) t += pieces[rng() % std::size(pieces)];
  return titles;
}

void BM_SortTitlesByUtf16(benchmark::State& state) {
  std::vector<std::string> titles = Titles(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<std::string> copy = titles;
    std::sort(copy.begin(), copy.end(), Utf16Less());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortTitlesByUtf16)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TrimTitle(benchmark::State& state) {
  std::vector<std::string> titles = Titles(100000);
  OsFacts facts;
  for (auto _ : state)
    for (const std::string& t : titles) benchmark::DoNotOptimize(TrimTitle(t, facts));
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_TrimTitle)->Unit(benchmark::kMillisecond);

void BM_Utf8ToUtf16AndBack(benchmark::State& state) {
  std::vector<std::string> titles = Titles(100000);
  for (auto _ : state)
    for (const std::string& t : titles) benchmark::DoNotOptimize(Utf16ToUtf8(Utf8ToUtf16(t)));
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Utf8ToUtf16AndBack)->Unit(benchmark::kMillisecond);

void BM_SettingsReadAndWrite(benchmark::State& state) {
  testing::TempDir dir;
  Registry registry(dir / "registry");
  FakeClock clock(1796858716);
  OsFacts facts;
  Logger logger(dir / "tarvex.log", FileSystem::Native(), clock);
  Settings settings(registry, FileSystem::Native(), clock, facts, logger);
  int64_t i = 0;
  for (auto _ : state) {
    if (state.range(0)) settings.SetInt64("lastsync", ++i, true);
    benchmark::DoNotOptimize(settings.GetInt64("lastsync", 0));
  }
}
BENCHMARK(BM_SettingsReadAndWrite)->Arg(0)->Arg(1)->ArgName("write");

}  // namespace
}  // namespace tarvex
