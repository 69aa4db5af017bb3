// The bridge through the launcher as the agent's scripts use it
// (tests/scripts/smoke.py): upload, download, compare, merge and hash of two
// computers' trees in a home folder of the test's own, then the files,
// settings and log that run left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <set>

#include "app/launcher/tests/LauncherRun.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {
namespace {

using ::testing::HasSubstr;

TEST(SmokeTest, MergeCompareHashAndSaveThroughTheLauncher) {
  TempDir dir;
  const std::string resources = dir / "Resources";
  const std::string home = dir / "home";
  const std::string trees = dir / "trees";
  for (const auto& d : {resources, home, trees, dir / "run"})
    std::filesystem::create_directories(d);
  std::filesystem::copy_file(std::string(LAUNCHER_SCRIPTS) + "/smoke.py", resources + "/main.py");

  LaunchOptions options;
  options.args = {trees, dir / "summary.json"};
  options.env["TARVEX_RESOURCES"] = resources;
  options.env["HOME"] = home;
  options.env["TARVEX_RUNTIME_DIR"] = dir / "run";
  options.cwd = dir.path();
  const auto run = Launch(options);
  ASSERT_EQ(run.exitCode, 0) << run.err;

  Json::Value summary;
  std::istringstream in(ReadAll(dir / "summary.json"));
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &summary, nullptr));

  // Upload: an insert per node, parents first, the same from text and file.
  EXPECT_TRUE(summary["upload_same_from_json"].asBool());
  const Json::Value& upload = summary["upload"];
  ASSERT_EQ(upload.size(), 4u);
  EXPECT_EQ(upload[0]["nid"], "ROOT");
  EXPECT_EQ(upload[1]["nid"], "bar1");
  for (const auto& command : upload) EXPECT_EQ(command["action"], "insert");
  // Downloading the upload gives this computer's tree back.
  EXPECT_TRUE(summary["saved"].asBool());
  EXPECT_EQ(summary["copy_differences"], Json::Value(Json::arrayValue));
  EXPECT_GT(summary["differences"].size(), 0u);
  // The merge pairs the bars by title and the news sites by address: one
  // bar, one news site, the search and the shop.
  EXPECT_TRUE(summary["merged"].asBool());
  Json::Value names(Json::arrayValue);
  for (const char* name : {"", "Bar", "Find %s", "News", "Shöp"}) names.append(name);
  EXPECT_EQ(summary["merged_names"], names);
  // A hash for each node of the merged tree, each naming its parent.
  const Json::Value& hashes = summary["hashes"];
  EXPECT_EQ(hashes.size(), 5u);
  std::set<std::string> hashed;
  for (const auto& entry : hashes) {
    hashed.insert(entry["nid"].asString());
    EXPECT_FALSE(entry["hash"].asString().empty());
  }
  EXPECT_EQ(hashed.size(), 5u);
  EXPECT_EQ(hashed.count("ROOT"), 1u);
  // A truncated download is refused and leaves the file as it was.
  EXPECT_EQ(summary["truncated"], 500);
  EXPECT_TRUE(summary["merged_kept"].asBool());

  // The settings were saved privately and the log took the script's lines.
  EXPECT_TRUE(std::filesystem::is_regular_file(home + "/Library/Tarvex/prefs.plist"));
  const std::string log = ReadAll(home + "/Library/Tarvex/tarvex.log.txt");
  EXPECT_THAT(log, HasSubstr("Info: smoke: started"));
  EXPECT_THAT(log, HasSubstr("Info: smoke: done"));
}

}  // namespace
}  // namespace tarvex::testing
