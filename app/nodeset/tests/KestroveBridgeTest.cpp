// The scripts' bridge over the engine, on the agent's own engine platform
// (its logger and settings on files of a temporary folder): what each call
// reads and writes, the agent's errors with their ids, downloads that are
// cut short or broken leaving the output alone, writes that fail, and
// seeded round trips of random trees through upload and compare.
#include <gtest/gtest.h>
#include <json/json.h>

#include <random>
#include <string>

#include "app/core/KVPortServices.h"
#include "app/core/KestroveException.h"
#include "app/core/KestroveLogger.h"
#include "app/core/KestroveSettings.h"
#include "app/nodeset/KestroveBridge.h"
#include "app/nodeset/MatchRules.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "nodeset/testing/Trees.h"
#include "platform/files/FileSystem.h"
#include "platform/mac/Notifications.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::BuildTree;
using testing::ReadAll;
using testing::Snapshot;
using testing::WriteAll;

class KestroveBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SeedNodeIdCounter(3u << 18);
    settings.setKeyForValue("version", std::string("2.0.1"));
  }

  // The tree of the notation, as the engine writes it to a file.
  std::string TreeFile(const std::string& name, const std::string& notation) {
    NodeSet set;
    if (!notation.empty()) BuildTree(set, notation);
    const std::string path = dir / name;
    set.SaveToFile(path);
    return path;
  }
  std::string TreeJson(const std::string& notation) {
    NodeSet set;
    BuildTree(set, notation);
    return set.ToJSONText();
  }
  std::string SnapshotOfFile(const std::string& path) {
    NodeSet set;
    EXPECT_EQ(set.LoadFromFile(path), NodeSet::LoadResult::Loaded) << path;
    return Snapshot(set, true);
  }
  // The id and message of the agent's error the call throws.
  template <typename Call>
  std::pair<int, std::string> Thrown(Call&& call) {
    try {
      call();
    } catch (const KestroveException& e) {
      EXPECT_STREQ(e.what(), e.message.c_str());
      return {e.id, e.message};
    }
    ADD_FAILURE() << "nothing thrown";
    return {0, ""};
  }

  testing::TempDir dir;
  KestroveLogger logger{dir / "log.txt", [](const std::string&) {}};
  mac::RecordingNotificationCenter center;
  KestroveSettings settings{KestroveSettings::defaults(),
                            {dir / "prefs.plist", dir / "loginwindow.plist"}, center, logger};
  KVPortSettings portSettings{settings};
  MacEnginePlatform platform{KVPortLogger(logger), portSettings, FileSystem::Native()};
  ScopedEngine engine{mac::MacFlavor(), platform};
};

Json::Value ParsedResult(const std::string& text) {
  EXPECT_TRUE(!text.empty() && text.back() == '\n') << "a result is one line with its end";
  Json::Value value;
  std::string error;
  EXPECT_TRUE(ParseJson(text, &value, &error)) << error;
  return value;
}

TEST_F(KestroveBridgeTest, EqualTreesCompareToNoCommands) {
  const std::string a = TreeFile("a.json", "x f{y z}"), b = TreeFile("b.json", "x f{y z}");
  EXPECT_EQ(KestroveBridge::CompareNodesetsFileBefore(a, b), "[]\n");
  EXPECT_EQ(KestroveBridge::CompareNodesetsJsonBefore(TreeJson("x"), TreeJson("x")), "[]\n");
  EXPECT_EQ(ReadAll(a), ReadAll(b)) << "the inputs are only read";
}

TEST_F(KestroveBridgeTest, UploadFromFileAndFromJsonAgreeAndRebuildTheTree) {
  const std::string path = TreeFile("t.json", "a f{b g{c}} d");
  const std::string fromFile = KestroveBridge::GetUploadNodesetFromFile(path);
  EXPECT_EQ(fromFile, KestroveBridge::GetUploadNodesetFromJson(ReadAll(path)));
  const Json::Value commands = ParsedResult(fromFile);
  ASSERT_EQ(commands.size(), 7u) << "an insert for each node, ROOT included";
  for (const Json::Value& c : commands) {
    EXPECT_EQ(c["action"].asString(), "insert");
    EXPECT_FALSE(c["args"].isMember("bnid")) << "appended in order, never placed before";
  }
  const std::string out = dir / "rebuilt.json";
  EXPECT_TRUE(KestroveBridge::SaveDownloadCommandsetToFile(out, fromFile));
  EXPECT_EQ(SnapshotOfFile(out), SnapshotOfFile(path));
}

TEST_F(KestroveBridgeTest, DownloadOfNoCommandsWritesAnEmptyTree) {
  const std::string out = dir / "empty.json";
  EXPECT_TRUE(KestroveBridge::SaveDownloadCommandsetToFile(out, "[]"));
  const Json::Value tree = ParsedResult(ReadAll(out));
  EXPECT_EQ(tree["_nodes"], Json::Value(Json::arrayValue));
  EXPECT_EQ(tree["version"].asString(), "2.0.1") << "the agent's version setting";
  EXPECT_EQ(KestroveBridge::GetNodesetHashesFromFile(out), "[]\n");
}

// A download that is cut short, is not JSON, is no command array, or whose
// commands cannot build a tree fails, and the tree file stays as it was.
TEST_F(KestroveBridgeTest, ABrokenDownloadLeavesTheOutputAlone) {
  const std::string whole = KestroveBridge::GetUploadNodesetFromJson(TreeJson("a f{b}"));
  const struct {
    const char* what;
    std::string json;
    int id;
    const char* message;
  } cases[] = {
      {"cut inside a command", whole.substr(0, whole.size() / 2), 500,
       "Unable to parse command JSON"},
      {"cut after a command", whole.substr(0, whole.find("},{") + 1), 500,
       "Unable to parse command JSON"},
      {"not JSON", "<html>502 Bad Gateway</html>", 500, "Unable to parse command JSON"},
      {"nothing", "", 500, "Unable to parse command JSON"},
      {"an object", "{\"a\":{\"action\":\"insert\",\"nid\":\"ROOT\"}}", 500,
       "Unable to parse command JSON: not an array"},
      {"a text", "\"[]\"", 500, "Unable to parse command JSON: not an array"},
      {"a parent that is missing", R"([{"action":"insert","nid":"a","args":{"pnid":"ROOT"}}])",
       501, "Node not found"},
      {"an unknown action", R"([{"action":"insert","nid":"ROOT","args":{}},{"action":"x","nid":"ROOT"}])",
       500, "No method for action: x"},
  };
  const std::string out = TreeFile("out.json", "keep");
  const std::string before = ReadAll(out);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto [id, message] =
        Thrown([&] { KestroveBridge::SaveDownloadCommandsetToFile(out, c.json); });
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
    EXPECT_EQ(ReadAll(out), before);
  }
}

// The Windows client writes `tags` as a list, and a command may carry a
// number the agent cannot take as text: neither stops a download.
TEST_F(KestroveBridgeTest, DownloadTakesWhatOtherClientsWrite) {
  const std::string out = dir / "tree.json";
  EXPECT_TRUE(KestroveBridge::SaveDownloadCommandsetToFile(
      out,
      R"([{"action":"insert","nid":"ROOT","args":{"ntype":"folder"}},
          {"action":"insert","nid":"a","args":{"pnid":"ROOT","name":"A","url":"http://a/",
           "tags":["x","y",3],"weight":1.5,"list":[1],"created":"1200"}}])"));
  NodeSet set;
  ASSERT_EQ(set.LoadFromFile(out), NodeSet::LoadResult::Loaded);
  const Node* a = set.GetNode("a", false, false, true);
  EXPECT_EQ(a->GetAttr("tags"), "x,y,3");
  EXPECT_FALSE(a->HasAttr("weight"));
  EXPECT_FALSE(a->HasAttr("list"));
  EXPECT_EQ(a->GetAttr("created"), "1200");
  const Json::Value upload = ParsedResult(KestroveBridge::GetUploadNodesetFromFile(out));
  EXPECT_EQ(upload[1]["args"]["tags"], Json::Value("x,y,3")) << "the agent writes text";
}

TEST_F(KestroveBridgeTest, MergeWritesTheMergedTreeEvenOverItsBase) {
  const std::string base = TreeFile("base.json", "a f{b}"),
                    other = TreeFile("other.json", "a f{c} d");
  const std::string otherBefore = ReadAll(other);
  const std::string separate = dir / "merged.json";
  EXPECT_TRUE(KestroveBridge::MergeNodesetsToFile(separate, base, other));
  EXPECT_TRUE(KestroveBridge::MergeNodesetsToFile(base, base, other));
  EXPECT_EQ(ReadAll(base), ReadAll(separate));
  NodeSet merged;
  merged.LoadFromFile(base);
  EXPECT_EQ(testing::Describe(merged), "a f{b c} d");
  EXPECT_EQ(ReadAll(other), otherBefore);
}

TEST_F(KestroveBridgeTest, MissingAndUnreadableTrees) {
  const std::string missing = dir / "missing.json";
  const std::string good = TreeFile("good.json", "a");
  const std::string broken = dir / "broken.json";
  WriteAll(broken, ReadAll(good).substr(0, 20));
  const std::string out = dir / "out.json";

  EXPECT_EQ(KestroveBridge::GetNodesetHashesFromFile(missing), "[]\n") << "missing is empty";
  const struct {
    const char* what;
    std::function<void()> call;
    int id;
    const char* message;
  } cases[] = {
      {"merge into a missing base", [&] { KestroveBridge::MergeNodesetsToFile(out, missing, good); },
       501, "Node not found: ROOT"},
      {"merge of a missing tree", [&] { KestroveBridge::MergeNodesetsToFile(out, good, missing); },
       501, "Node not found: ROOT"},
      {"compare with a missing tree",
       [&] { KestroveBridge::CompareNodesetsFileBefore(good, missing); }, 501, "Node not found"},
      {"upload of a missing tree", [&] { KestroveBridge::GetUploadNodesetFromFile(missing); },
       501, "Node not found"},
      {"hashes of an unreadable tree",
       [&] { KestroveBridge::GetNodesetHashesFromFile(broken); }, 500,
       "Unable to read the tree file"},
      {"merge of an unreadable tree",
       [&] { KestroveBridge::MergeNodesetsToFile(out, good, broken); }, 500,
       "Unable to read the tree file"},
      {"compare of tree JSON that is not JSON",
       [&] { KestroveBridge::CompareNodesetsJsonBefore("{", TreeJson("a")); }, 500,
       "Unable to parse tree JSON"},
      {"upload of JSON that is no tree",
       [&] { KestroveBridge::GetUploadNodesetFromJson("[1]"); }, 500, "Invalid baseline"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto [id, message] = Thrown(c.call);
    EXPECT_EQ(id, c.id);
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
  EXPECT_FALSE(FileSystem::Native().Exists(out)) << "no failed call wrote its output";
}

// A write that fails (the disk full) is the agent's error, and the file it
// was to replace stays as it was.
TEST_F(KestroveBridgeTest, AFailedWriteKeepsTheOldFile) {
  const std::string base = TreeFile("base.json", "a"), other = TreeFile("other.json", "b c d");
  const std::string before = ReadAll(base);
  const std::string download = KestroveBridge::GetUploadNodesetFromFile(other);
  {
    testing::FileSizeLimit full(before.size());
    auto [id, message] = Thrown([&] { KestroveBridge::MergeNodesetsToFile(base, base, other); });
    EXPECT_EQ(id, 500);
    EXPECT_NE(message.find("Unable to write NodeSet to disk"), std::string::npos) << message;
    EXPECT_EQ(Thrown([&] { KestroveBridge::SaveDownloadCommandsetToFile(base, download); }).first,
              500);
  }
  EXPECT_EQ(ReadAll(base), before);
  EXPECT_EQ(Thrown([&] {
              KestroveBridge::SaveDownloadCommandsetToFile(dir / "no/such/folder.json", "[]");
            }).first,
            500);
}

// Each node's entry: its parent, its children and its hash, and a change
// to a title changes the hash of that node and of the folders above it only.
TEST_F(KestroveBridgeTest, HashesFollowTheTree) {
  const std::string path = TreeFile("t.json", "a f{b g{c}} d");
  const Json::Value hashes = ParsedResult(KestroveBridge::GetNodesetHashesFromFile(path));
  std::map<std::string, Json::Value> byId;
  for (const Json::Value& entry : hashes) byId[entry["nid"].asString()] = entry;
  ASSERT_EQ(byId.size(), 7u);
  EXPECT_EQ(byId["g"]["pnid"].asString(), "f");
  EXPECT_EQ(byId["f"]["children"], ParsedResult("[\"b\",\"g\"]\n"));
  NodeSet set;
  set.LoadFromFile(path);
  set.HashTree();
  for (const auto& [id, entry] : byId)
    EXPECT_EQ(entry["hash"].asString(), set.GetNode(id, false, false, true)->GetHash()) << id;

  set.Do_update("c", {{"name", "renamed"}});
  set.SaveToFile(path);
  const Json::Value after = ParsedResult(KestroveBridge::GetNodesetHashesFromFile(path));
  for (const Json::Value& entry : after) {
    const std::string id = entry["nid"].asString();
    const bool changed = id == "c" || id == "g" || id == "f" || id == "ROOT";
    EXPECT_EQ(entry["hash"] != byId[id]["hash"], changed) << id;
  }
}

TEST_F(KestroveBridgeTest, IdsAndVersions) {
  EXPECT_NE(KestroveBridge::GenerateNodeID(), KestroveBridge::GenerateNodeID());
  EXPECT_EQ(KestroveBridge::CompareVersions("1.3.10", "1.3.9"), 1);
  EXPECT_EQ(KestroveBridge::CompareVersions("1.3.9", "1.3.10"), -1);
  EXPECT_EQ(KestroveBridge::CompareVersions("1.3", "1.3.0"), 0);
}

// Random trees and random changes: the commands a compare gives turn the
// first tree into the second when downloaded onto it, and the first tree's
// file is only read.
TEST_F(KestroveBridgeTest, CompareGivesTheCommandsFromOneTreeToTheOther) {
  const uint32_t seed = std::random_device{}();
  std::mt19937 rng(seed);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    NodeSet before, after;
    testing::RandomTree(before, rng, 30);
    after.LoadFromJSON(before.ToJSON());
    testing::MutateTree(after, rng, 8);
    const std::string beforePath = dir / "before.json", afterPath = dir / "after.json";
    before.SaveToFile(beforePath);
    after.SaveToFile(afterPath);
    const std::string beforeText = ReadAll(beforePath);

    const std::string commands = KestroveBridge::CompareNodesetsFileBefore(beforePath, afterPath);
    ASSERT_EQ(commands, KestroveBridge::CompareNodesetsJsonBefore(before.ToJSONText(),
                                                                  after.ToJSONText()));
    EXPECT_EQ(ReadAll(beforePath), beforeText);
    CommandSet(ParsedResult(commands)).Execute(before);
    ASSERT_EQ(Snapshot(before), Snapshot(after));
  }
}

}  // namespace
}  // namespace tarvex
