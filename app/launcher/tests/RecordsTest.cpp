// SyncData through the launcher as the agent's scripts use it
// (tests/scripts/records.py): a record store's changes turned into client
// nodes, stored, tidied and turned back into records, later changes
// applied, the store's containers live in Python; then what the run left in
// the summary and the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>

#include "app/launcher/tests/LauncherRun.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {
namespace {

using ::testing::HasSubstr;

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
  return value;
}

TEST(RecordsTest, RecordStoreChangesBecomeNodesAndBackThroughTheLauncher) {
  TempDir dir;
  const std::string resources = dir / "Resources";
  const std::string home = dir / "home";
  for (const auto& d : {resources, home, dir / "store", dir / "run"}) std::filesystem::create_directories(d);
  std::filesystem::copy_file(std::string(LAUNCHER_SCRIPTS) + "/records.py", resources + "/main.py");

  LaunchOptions options;
  options.args = {dir / "store", dir / "summary.json"};
  options.env["TARVEX_RESOURCES"] = resources;
  options.env["HOME"] = home;
  options.env["TARVEX_RUNTIME_DIR"] = dir / "run";
  options.cwd = dir.path();
  const auto run = Launch(options);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json::Value s = ParseJson(ReadAll(dir / "summary.json"));

  EXPECT_EQ(s["change_types"], ParseJson(R"(["add","add","add","add","add","add"])"));
  const Json::Value& nodes = s["nodes"];
  // Nodes of changes take their record identifier as nid; a parentless
  // menu stored without one is ROOT.
  EXPECT_EQ(nodes["MENU"]["nid"], "MENU");
  EXPECT_EQ(s["root_nid"], "ROOT");
  EXPECT_FALSE(nodes["MENU"].isMember("parent"));
  EXPECT_EQ(nodes["N"]["nid"], "N");
  EXPECT_EQ(nodes["N"]["parent"], "BAR");
  EXPECT_EQ(nodes["N"]["position"], "0");
  // The missing child is gone, the rest by position (equal ones in order).
  EXPECT_EQ(nodes["MENU"]["children"], ParseJson(R"(["BAR","F","S","T"])"));
  EXPECT_EQ(nodes["T"]["is tab group"], "YES");
  EXPECT_EQ(nodes["BAR"]["is tab group"], "NO");
  // The search's placeholder, its one allowed attribute, the feed.
  EXPECT_EQ(nodes["S"]["url"], "http://s.example/?q=%s");
  EXPECT_EQ(nodes["S"]["unid"], "u-1");
  EXPECT_EQ(nodes["S"]["ntype"], "bookmark");
  EXPECT_FALSE(nodes["S"].isMember("attrs"));
  EXPECT_EQ(nodes["F"]["originaltype"], "feed");
  EXPECT_TRUE(s["dirty"].asBool());
  EXPECT_EQ(s["changed"], 3);

  // Back to records: no parent list for the root, the search escaped.
  EXPECT_FALSE(s["records"]["MENU"].isMember("parent"));
  EXPECT_EQ(s["records"]["S"]["url"], "http://s.example/?q=%25s");
  EXPECT_EQ(s["records"]["S"]["parent"], ParseJson(R"(["MENU"])"));
  EXPECT_EQ(s["records"]["S"]["attrs"], R"({"unid":"u-1"})");
  EXPECT_EQ(s["records"]["T"]["is tab group"], true);
  EXPECT_TRUE(s["search_record_url_is_address"].asBool());

  // Live containers, and a deep copy.
  EXPECT_EQ(s["live_name"], "Renamed in Python");
  EXPECT_EQ(s["copy_name"], "News");
  EXPECT_EQ(s["live_metadata"], ParseJson(R"({"lastSync": 7})"));

  // Later changes: the rename and the deletion applied.
  EXPECT_EQ(s["later"], ParseJson(R"([["modify","BAR",true],["delete","F",true]])"));
  EXPECT_EQ(s["bar_name"], "Bookmarks Bar");
  EXPECT_TRUE(s["feed_left"].isNull());

  EXPECT_EQ(s["refused"], ParseJson("[false, false, null, null]"));
  EXPECT_TRUE(s["delete_all"].asBool());
  EXPECT_EQ(s["left"], ParseJson(R"(["BAR","MENU","T"])"));
  EXPECT_EQ(s["store_on_disk"], ParseJson(R"(["BAR","MENU","N","S","T"])"));
  EXPECT_THAT(s["bad_push"].asString(), HasSubstr("record \"X\": \"position\" is not an integer"));

  // The log: the attributes refused, the missing child, the refusals.
  const std::string log = ReadAll(home + "/Library/Tarvex/tarvex.log.txt");
  for (const char* line : {"Error: SyncData pullAttrsJsonFromRecord: ignored attribute parent",
                           "Error: SyncData pullAttrsJsonFromRecord: ignored attribute ntype",
                           "Info: SyncData sortAndCleanChildren: removed missing child LOST",
                           "Error: enqueueAddOrChange identifier",
                           "Error: SyncData transformObjectToSyncService: Unable to deal with node type: separator",
                           "Error: transformObjectFromSyncService change"})
    EXPECT_THAT(log, HasSubstr(line));
}

}  // namespace
}  // namespace tarvex::testing
