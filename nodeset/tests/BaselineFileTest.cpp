// The JSON form of a bookmark tree and the baseline file: what is written,
// what is read, the user check, and what a broken or unwritable file does.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"
#include "platform/Win32Error.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::BuildExample;
using testing::EngineError;
using testing::TempDir;
using testing::TestEnginePlatform;

// Its file form, without the line end.
constexpr const char* kExampleJson =
    R"({"_nodes":[{"children":["a1","f2"],"name":"Favorites","nid":"ROOT","ntype":"folder","tnid":"f2"},)"
    R"({"created":1262304000,"modified":0,"name":"Example","nid":"a1","ntype":"bookmark","pnid":"ROOT","url":"http://example.com/"},)"
    R"({"name":"News","nid":"b3","ntype":"bookmark","pnid":"f2","tags":"daily,world","url":"http://news.example/"},)"
    R"({"children":["b3"],"name":"Links","nid":"f2","ntype":"folder","pnid":"ROOT"}],)"
    R"("currentRevision":"1042","userHash":"alice@example.com","version":"1.3.5"})";

std::string Dump(const NodeSet& set, bool flatten = true) {
  return WriteCompactJson(set.ToJSON(flatten));
}

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::string error;
  EXPECT_TRUE(ParseJson(text, &value, &error)) << error << " in " << text;
  return value;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::set<std::string> FolderEntries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

struct Outcome {
  bool threw = false;
  ErrorKind kind = ErrorKind::General;
  std::string message;
};

Outcome Attempt(const std::function<void()>& f) {
  try {
    f();
    return {};
  } catch (const EngineError& e) {
    return {true, e.kind, e.what()};
  }
}

class BaselineFileTest : public ::testing::Test {
 protected:
  BaselineFileTest() { platform.baselinePath = dir / "tarvex-baseline.json"; }

  TempDir dir;
  TestEnginePlatform platform;
  ScopedEngine engine{EngineFlavor::Windows(), platform};
};

// ---- Writing ------------------------------------------------------------------

TEST_F(BaselineFileTest, SavesTheExampleByteExactInBothFlavours) {
  struct Row {
    const char* flavour;
    EngineFlavor engineFlavor;
    const char* lineEnd;
  };
  const Row rows[] = {{"windows", EngineFlavor::Windows(), "\r\n"},
                      {"mac", EngineFlavor::Mac(), "\n"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.flavour);
    ScopedEngine flavoured(row.engineFlavor, platform);
    NodeSet set;
    BuildExample(set);
    set.SaveToFile();
    EXPECT_EQ(ReadBytes(platform.baselinePath), std::string(kExampleJson) + row.lineEnd);
    set.SaveToFile(dir / "elsewhere.json");
    EXPECT_EQ(ReadBytes(dir / "elsewhere.json"), std::string(kExampleJson) + row.lineEnd);
    EXPECT_EQ(platform.infos.back(), "Writing NodeSet to disk: " + (dir / "elsewhere.json"));
  }
}

TEST_F(BaselineFileTest, NodeFormsTimesChildrenAndRawUtf8) {
  NodeSet set;
  set.AddNode(
      std::make_unique<Node>("n1", Attributes{{"created", "1234abc"},
                                              {"modified", ""},
                                              {"visited", " -7 days"},
                                              {"icon", "42"},
                                              {"name", "Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x93\x9A"},
                                              {"Zeta", "upper case sorts first"}}));
  set.SetRevision("r");
  platform.settings.erase("kestroveversion");
  EXPECT_EQ(Dump(set),
            "{\"_nodes\":[{\"Zeta\":\"upper case sorts first\",\"created\":1234,\"icon\":\"42\","
            "\"modified\":0,\"name\":\"Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x93\x9A\",\"nid\":\"n1\","
            "\"ntype\":\"bookmark\",\"visited\":-7}],\"currentRevision\":\"r\",\"userHash\":\"\","
            "\"version\":\"\"}");
  // No "children" member without children, even after the last one left.
  Node* n1 = set.GetNode("n1", false, false, false);
  n1->AddChild("c");
  EXPECT_TRUE(n1->ToJSON().isMember("children"));
  n1->RemoveChild(0);
  EXPECT_FALSE(n1->ToJSON().isMember("children"));
  EXPECT_EQ(Dump(set).find("\\u"), std::string::npos);
}

TEST_F(BaselineFileTest, ACloneWritesItsOwnNodesOrTheWholeTree) {
  NodeSet base;
  BuildExample(base);
  NodeSet clone(&base);
  clone.Do_update("a1", {{"name", "Changed"}});
  clone.Do_delete("b3");  // f2 is copied and loses its only child
  EXPECT_EQ(
      Dump(clone, false),
      R"({"_nodes":[{"created":1262304000,"modified":0,"name":"Changed","nid":"a1","ntype":"bookmark","pnid":"ROOT","url":"http://example.com/"},)"
      R"({"name":"Links","nid":"f2","ntype":"folder","pnid":"ROOT"}],)"
      R"("currentRevision":"1042","userHash":"alice@example.com","version":"1.3.5"})");
  EXPECT_EQ(
      Dump(clone, true),
      R"({"_nodes":[{"children":["a1","f2"],"name":"Favorites","nid":"ROOT","ntype":"folder","tnid":"f2"},)"
      R"({"created":1262304000,"modified":0,"name":"Changed","nid":"a1","ntype":"bookmark","pnid":"ROOT","url":"http://example.com/"},)"
      R"({"name":"Links","nid":"f2","ntype":"folder","pnid":"ROOT"}],)"
      R"("currentRevision":"1042","userHash":"alice@example.com","version":"1.3.5"})");
  EXPECT_EQ(Dump(base), kExampleJson);
  // A set without base writes the same either way, and skips its tombstones.
  base.NukeNode("b3");
  EXPECT_EQ(Dump(base, true), Dump(base, false));
  EXPECT_EQ(Dump(base).find("\"nid\":\"b3\""), std::string::npos);
}

// The text made a node at a time is the text of the whole tree's JSON, for
// random trees and clones whose values hold what JSON must escape, text
// that is not UTF-8 and numbers.
TEST_F(BaselineFileTest, TheTextMadeNodeByNodeIsTheWholeTreesJson) {
  const std::vector<std::string> awkward = {
      "quote \" and \\ slash /",  "tab\tline\nfeed\r", std::string("nul\0byte", 8),
      "\x01\x1f\x7f control",      "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5", "\xFF\xFE not UTF-8",
      "\xF0\x9F\x98\x80 emoji", "</script>",          ""};
  std::mt19937 rng(20261210u);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    NodeSet base;
    testing::RandomTree(base, rng, 60);
    std::vector<std::string> ids = testing::Reachable(base);
    for (int k = 0; k < 15; ++k) {
      const std::string& id = ids[rng() % ids.size()];
      if (id == "ROOT") continue;
      base.Do_update(id, {{"name", awkward[rng() % awkward.size()]},
                          {"created", std::to_string(rng() % 2000000000)},
                          {"x-extra", awkward[rng() % awkward.size()]}});
    }
    base.SetRevision(awkward[rng() % awkward.size()]);
    base.SetUserHash("alice@example.com");
    EXPECT_EQ(base.ToJSONText(), WriteCompactJson(base.ToJSON()));
    NodeSet clone(&base);
    testing::MutateTree(clone, rng, 10);
    for (bool flatten : {false, true})
      EXPECT_EQ(clone.ToJSONText(flatten), WriteCompactJson(clone.ToJSON(flatten))) << flatten;
  }
  NodeSet empty;
  EXPECT_EQ(empty.ToJSONText(), WriteCompactJson(empty.ToJSON()));
}

TEST_F(BaselineFileTest, ACloneIsNeverSaved) {
  NodeSet base;
  BuildExample(base);
  NodeSet clone(&base);
  for (bool givenPath : {false, true}) {
    Outcome outcome = Attempt([&] {
      if (givenPath)
        clone.SaveToFile(dir / "clone.json");
      else
        clone.SaveToFile();
    });
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.kind, ErrorKind::General);
    EXPECT_EQ(outcome.message, "Can't write a cloned nodeset");
  }
  EXPECT_TRUE(FolderEntries(dir.path()).empty());
}

TEST_F(BaselineFileTest, AFailedSaveKeepsTheOldFile) {
  NodeSet old;
  BuildExample(old);
  old.SaveToFile();
  const std::string oldBytes = ReadBytes(platform.baselinePath);
  NodeSet changed;
  BuildExample(changed);
  changed.Do_update("a1", {{"name", "Changed"}});

  FaultyFileSystem faulty(FileSystem::Native());
  platform.fs = &faulty;
  faulty.FailNth(FaultyFileSystem::Op::Write, 1, win32::ERROR_DISK_FULL);
  Outcome outcome = Attempt([&] { changed.SaveToFile(); });
  EXPECT_TRUE(outcome.threw);
  EXPECT_EQ(outcome.kind, ErrorKind::General);
  EXPECT_EQ(outcome.message, "Unable to write NodeSet to disk [112]: " + platform.baselinePath);
  EXPECT_EQ(ReadBytes(platform.baselinePath), oldBytes);
  EXPECT_EQ(FolderEntries(dir.path()), std::set<std::string>{"tarvex-baseline.json"});

  // The next write goes through and replaces the file whole.
  changed.SaveToFile();
  EXPECT_EQ(ReadBytes(platform.baselinePath), Dump(changed) + "\r\n");
  EXPECT_EQ(FolderEntries(dir.path()), std::set<std::string>{"tarvex-baseline.json"});
}

TEST_F(BaselineFileTest, AFailedRenameLeavesNoTemporaryFile) {
  // A folder where the file should go: the temporary file is written, the
  // rename over the folder fails, and the temporary file goes.
  std::filesystem::create_directory(platform.baselinePath);
  NodeSet set;
  BuildExample(set);
  Outcome outcome = Attempt([&] { set.SaveToFile(); });
  EXPECT_TRUE(outcome.threw);
  EXPECT_EQ(outcome.kind, ErrorKind::General);
  EXPECT_EQ(outcome.message.rfind("Unable to write NodeSet to disk [", 0), 0u) << outcome.message;
  EXPECT_EQ(FolderEntries(dir.path()), std::set<std::string>{"tarvex-baseline.json"});
  EXPECT_TRUE(std::filesystem::is_directory(platform.baselinePath));
}

// ---- Reading JSON -------------------------------------------------------------

TEST_F(BaselineFileTest, LoadFromJsonConvertsMemberValuesToText) {
  struct Row {
    const char* json;  // the value of the attribute "x" of node n
    const char* text;  // what the attribute holds after the load
  };
  const Row rows[] = {
      {"42", "42"},
      {"-7", "-7"},
      {"0", "0"},
      {"9223372036854775807", "9223372036854775807"},
      {"18446744073709551615", "18446744073709551615"},
      {"true", "true"},
      {"false", "false"},
      {"null", ""},
      {"\"\"", ""},
      {"\"plain\"", "plain"},
      {"\"caf\\u00e9\"", "caf\xC3\xA9"},
      {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
      {"\"\\ud83d\\udcda\"", "\xF0\x9F\x93\x9A"},
      {"\"a\xFF"
       "b\"",
       "a\xEF\xBF\xBD"
       "b"},
      {"\"\xC3\"", "\xEF\xBF\xBD"},
      {"\"a\\u0000b\"", "a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    NodeSet set;
    set.LoadFromJSON(Parse(std::string(R"({"_nodes":[{"nid":"n","x":)") + row.json + "}]}"));
    EXPECT_EQ(set.GetNode("n", false, false, false)->GetAttr("x"), row.text);
  }

  // Ids, children, member names and the revision go through the same rules.
  NodeSet set;
  set.LoadFromJSON(Parse(
      R"({"currentRevision":1043,"_nodes":[{"nid":7,"children":[8,"caf\u00e9"],"na\u00efve":true}]})"));
  Node* seven = set.GetNode("7", false, false, false);
  EXPECT_EQ(seven->RawChildren(), (std::vector<std::string>{"8", "caf\xC3\xA9"}));
  EXPECT_EQ(seven->GetAttr("na\xC3\xAFve"), "true");
  EXPECT_EQ(seven->GetAttr("ntype"), "bookmark");
  EXPECT_EQ(set.GetRevision(), "1043");
}

TEST_F(BaselineFileTest, LoadFromJsonRefusesValuesThatAreNotText) {
  const char* rows[] = {
      R"({"_nodes":[{"nid":"n","x":1.5}]})",
      R"({"_nodes":[{"nid":"n","x":[1]}]})",
      R"({"_nodes":[{"nid":"n","x":{}}]})",
      R"({"_nodes":[{"nid":"n","x":1e3}]})",
      R"({"_nodes":[{"nid":1.0}]})",
      R"({"_nodes":[{"nid":"n","children":[["c"]]}]})",
      R"({"currentRevision":2.5,"_nodes":[]})",
      R"({"userHash":[],"_nodes":[]})",
  };
  for (const char* json : rows) {
    SCOPED_TRACE(json);
    NodeSet set;
    BuildExample(set);
    const std::string before = Dump(set);
    Json::Value value = Parse(json);
    try {
      set.LoadFromJSON(value);
      ADD_FAILURE() << "loaded";
    } catch (const Json::LogicError& e) {
      EXPECT_STREQ(e.what(), "Type is not convertible to string");
    }
    EXPECT_EQ(Dump(set), before);
  }
}

TEST_F(BaselineFileTest, LoadFromJsonReplacesTheWholeSet) {
  NodeSet set;
  BuildExample(set);
  set.LoadFromJSON(
      Parse(R"({"_nodes":[{"nid":"ROOT","ntype":"folder"}],"userHash":"alice@example.com"})"));
  EXPECT_EQ(set.TableSize(), 1u);
  EXPECT_EQ(set.GetRevision(), "");  // a missing revision is empty
  EXPECT_EQ(set.GetNode("a1", false, true, false), nullptr);
  set.LoadFromJSON(Json::Value());  // null: an empty set
  EXPECT_EQ(set.TableSize(), 0u);
  EXPECT_EQ(set.GetUserHash(), "alice@example.com");

  Outcome outcome = Attempt([&] { set.LoadFromJSON(Json::Value(Json::arrayValue)); });
  EXPECT_TRUE(outcome.threw);
  outcome = Attempt([&] { set.LoadFromJSON(Parse(R"({"_nodes":[{"nid":"a"},{"nid":"a"}]})")); });
  EXPECT_EQ(outcome.kind, ErrorKind::Duplicate);
  EXPECT_EQ(outcome.message, "Node [a] already exists!");
}

// ---- The user check -------------------------------------------------------------

TEST_F(BaselineFileTest, TheBaselineMustBelongToTheCurrentUser) {
  struct Row {
    const char* what;
    bool mac;
    const char* userHashMember;  // "" for none
    const char* hashAfter;       // nullptr: the load throws
  };
  const Row rows[] = {
      {"current identity", false, R"("userHash":"alice@example.com",)", "alice@example.com"},
      {"earlier domain", false, R"("userHash":"alice@ppexample.com",)", "alice@example.com"},
      {"another user", false, R"("userHash":"bob@example.com",)", nullptr},
      {"an empty identity", false, R"("userHash":"",)", nullptr},
      {"absent", false, "", "set before"},
      {"null", false, R"("userHash":null,)", "set before"},
      {"mac: another user", true, R"("userHash":"bob@example.com",)", "bob@example.com"},
      {"mac: earlier domain kept as stored", true, R"("userHash":"alice@ppexample.com",)",
       "alice@ppexample.com"},
      {"mac: absent", true, "", "set before"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScopedEngine flavoured(row.mac ? EngineFlavor::Mac() : EngineFlavor::Windows(), platform);
    NodeSet set;
    BuildExample(set);
    set.SetUserHash("set before");
    const std::string before = Dump(set);
    const std::string json = std::string("{") + row.userHashMember +
                             R"("currentRevision":"9","_nodes":[{"nid":"ROOT"}]})";
    Outcome outcome = Attempt([&] { set.LoadFromJSON(Parse(json)); });
    if (row.hashAfter) {
      EXPECT_FALSE(outcome.threw) << outcome.message;
      EXPECT_EQ(set.GetUserHash(), row.hashAfter);
      EXPECT_EQ(set.GetRevision(), "9");
    } else {
      EXPECT_TRUE(outcome.threw);
      EXPECT_EQ(outcome.kind, ErrorKind::General);
      const std::string stored = Parse(json)["userHash"].asString();
      EXPECT_EQ(outcome.message,
                "Baseline's hash [" + stored + "] does not match current user [alice@example.com]");
      EXPECT_EQ(Dump(set), before);
    }
  }
}

TEST_F(BaselineFileTest, AnotherUsersFileThrowsAndChangesNothing) {
  NodeSet set;
  BuildExample(set);
  const std::string before = Dump(set);
  std::string other = kExampleJson;
  other.replace(other.find("alice@example.com"), 17, "bob@example.com");
  WriteBytes(platform.baselinePath, other);
  Outcome outcome = Attempt([&] { set.LoadFromFile(); });
  EXPECT_TRUE(outcome.threw);
  EXPECT_EQ(outcome.message,
            "Baseline's hash [bob@example.com] does not match current user [alice@example.com]");
  EXPECT_EQ(Dump(set), before);

  // Without identities there is nothing to check against.
  platform.identities.clear();
  EXPECT_EQ(set.LoadFromFile(), NodeSet::LoadResult::Loaded);
  EXPECT_EQ(set.GetUserHash(), "bob@example.com");
}

// ---- Reading files --------------------------------------------------------------

// A valid file with the given nodes.
std::string FileWithNodes(const std::string& nodes) {
  return R"({"_nodes":[)" + nodes +
         R"(],"currentRevision":"5","userHash":"alice@example.com","version":"1.3.5"})";
}

TEST_F(BaselineFileTest, LoadFromFileOutcomes) {
  using Result = NodeSet::LoadResult;
  const std::string example = std::string(kExampleJson) + "\r\n";
  struct Row {
    const char* what;
    std::string content;
    Result result;
  };
  const Row rows[] = {
      {"truncated", example.substr(0, example.size() / 2), Result::Unparsable},
      {"cut before the last brace", std::string(kExampleJson).substr(0, strlen(kExampleJson) - 1),
       Result::Unparsable},
      {"not JSON", "this is no baseline\n", Result::Unparsable},
      {"empty", "", Result::Unparsable},
      {"only white space", " \r\n", Result::Unparsable},
      {"a list, not an object", "[1,2]", Result::Unparsable},
      {"a string, not an object", "\"ROOT\"", Result::Unparsable},
      {"deeply nested", std::string(100000, '['), Result::Unparsable},
      {"deeply nested and closed", std::string(100000, '[') + std::string(100000, ']'),
       Result::Unparsable},
      {"deeply nested in a member",
       "{\"_nodes\":" + std::string(50000, '[') + std::string(50000, ']') + "}",
       Result::Unparsable},
      {"a cycle through ROOT",
       FileWithNodes(
           R"({"nid":"ROOT","children":["a"]},{"nid":"a","pnid":"ROOT","children":["ROOT"]})"),
       Result::Unparsable},
      {"a cycle below ROOT",
       FileWithNodes(
           R"({"nid":"ROOT","children":["a"]},{"nid":"a","pnid":"ROOT","children":["b"]},)"
           R"({"nid":"b","pnid":"a","children":["a"]})"),
       Result::Unparsable},
      {"a node listing itself",
       FileWithNodes(
           R"({"nid":"ROOT","children":["a"]},{"nid":"a","pnid":"ROOT","children":["a"]})"),
       Result::Unparsable},
      {"a child listed twice",
       FileWithNodes(R"({"nid":"ROOT","children":["a","a"]},{"nid":"a","pnid":"ROOT"})"),
       Result::Unparsable},
      {"a child listed by two parents",
       FileWithNodes(R"({"nid":"ROOT","children":["a","f"]},{"nid":"a","pnid":"ROOT"},)"
                     R"({"nid":"f","pnid":"ROOT","children":["a"]})"),
       Result::Unparsable},
      {"a dangling child", FileWithNodes(R"({"nid":"ROOT","children":["zz"]})"),
       Result::Unparsable},
      {"a child naming another parent",
       FileWithNodes(R"({"nid":"ROOT","children":["a"]},{"nid":"a","pnid":"f"},{"nid":"f"})"),
       Result::Unparsable},
      {"a child naming no parent", FileWithNodes(R"({"nid":"ROOT","children":["a"]},{"nid":"a"})"),
       Result::Unparsable},
      {"ROOT with a parent", FileWithNodes(R"({"nid":"ROOT","pnid":"x"},{"nid":"x"})"),
       Result::Unparsable},
      {"duplicate nid", FileWithNodes(R"({"nid":"ROOT"},{"nid":"a"},{"nid":"a"})"),
       Result::Unparsable},
      {"empty nid", FileWithNodes(R"({"nid":"ROOT"},{"nid":""})"), Result::Unparsable},
      {"no nid", FileWithNodes(R"({"nid":"ROOT"},{"name":"x"})"), Result::Unparsable},
      {"a nid with a line break", FileWithNodes(R"({"nid":"ROOT"},{"nid":"a\nb"})"),
       Result::Unparsable},
      {"a child id with a tab", FileWithNodes(R"({"nid":"ROOT","children":["a\tb"]})"),
       Result::Unparsable},
      {"a real number attribute", FileWithNodes(R"({"nid":"ROOT","modified":1.5})"),
       Result::Unparsable},
      {"an array attribute", FileWithNodes(R"({"nid":"ROOT","name":["x"]})"), Result::Unparsable},
      {"an object attribute", FileWithNodes(R"({"nid":"ROOT","name":{}})"), Result::Unparsable},
      {"a real number revision",
       R"({"_nodes":[],"currentRevision":5.5,"userHash":"alice@example.com"})", Result::Unparsable},
      {"a real number user", R"({"_nodes":[],"userHash":1.5})", Result::Unparsable},
      {"_nodes not a list", R"({"_nodes":{"nid":"ROOT"},"userHash":"alice@example.com"})",
       Result::Unparsable},
      {"a node not an object", FileWithNodes(R"({"nid":"ROOT"},"a")"), Result::Unparsable},
      {"children not a list", FileWithNodes(R"({"nid":"ROOT","children":"a"})"),
       Result::Unparsable},
      {"valid with comments", "// a baseline\n" + FileWithNodes(R"({"nid":"ROOT" /* the root */})"),
       Result::Loaded},
      {"valid with a detached cycle",
       FileWithNodes(
           R"({"nid":"ROOT"},{"nid":"c1","children":["c2"]},{"nid":"c2","children":["c1"]})"),
       Result::Loaded},
      {"valid without ROOT", FileWithNodes(R"({"nid":"a"})"), Result::Loaded},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NodeSet set;
    BuildExample(set);
    set.SetUserHash("set before");
    const std::string before = Dump(set);
    WriteBytes(platform.baselinePath, row.content);
    platform.errors.clear();
    Outcome outcome;
    Result result = Result::Loaded;
    outcome = Attempt([&] { result = set.LoadFromFile(); });
    EXPECT_FALSE(outcome.threw) << outcome.message;
    EXPECT_EQ(result, row.result);
    if (row.result == Result::Unparsable) {
      EXPECT_EQ(Dump(set), before);
      EXPECT_EQ(platform.errors.size(), 1u);
    } else {
      EXPECT_EQ(set.GetRevision(), "5");
      EXPECT_EQ(set.GetUserHash(), "alice@example.com");
      EXPECT_TRUE(platform.errors.empty());
    }
  }
}

TEST_F(BaselineFileTest, AMissingOrUnreadableFileLeavesTheSetAlone) {
  using Result = NodeSet::LoadResult;
  NodeSet set;
  BuildExample(set);
  const std::string before = Dump(set);
  EXPECT_EQ(set.LoadFromFile(), Result::Missing);
  EXPECT_EQ(set.LoadFromFile(dir / "no-folder/tarvex-baseline.json"), Result::Missing);
  EXPECT_EQ(Dump(set), before);
  EXPECT_EQ(platform.infos.back(),
            "Reading NodeSet from disk: " + (dir / "no-folder/tarvex-baseline.json"));

  WriteBytes(platform.baselinePath, FileWithNodes(R"({"nid":"ROOT"})"));
  FaultyFileSystem faulty(FileSystem::Native());
  platform.fs = &faulty;
  faulty.FailNth(FaultyFileSystem::Op::Read, 1, win32::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(set.LoadFromFile(), Result::Unparsable);
  EXPECT_EQ(Dump(set), before);
  EXPECT_EQ(set.LoadFromFile(), Result::Loaded);
  EXPECT_EQ(set.TableSize(), 1u);
}

TEST_F(BaselineFileTest, AValidFileRoundTripsByteExact) {
  for (bool mac : {false, true}) {
    SCOPED_TRACE(mac ? "mac" : "windows");
    ScopedEngine flavoured(mac ? EngineFlavor::Mac() : EngineFlavor::Windows(), platform);
    const std::string text = std::string(kExampleJson) + (mac ? "\n" : "\r\n");
    WriteBytes(platform.baselinePath, text);
    NodeSet set;
    EXPECT_EQ(set.LoadFromFile(), NodeSet::LoadResult::Loaded);
    EXPECT_EQ(set.GetRevision(), "1042");
    EXPECT_EQ(set.GetUserHash(), "alice@example.com");
    EXPECT_EQ(set.TableSize(), 4u);
    set.SaveToFile(dir / "again.json");
    EXPECT_EQ(ReadBytes(dir / "again.json"), text);

    // Non-ASCII text and escapes come back as raw UTF-8.
    const std::string escaped = FileWithNodes(R"({"nid":"ROOT","name":"caf\u00e9 \ud83d\udcda"})");
    WriteBytes(platform.baselinePath, escaped);
    ASSERT_EQ(set.LoadFromFile(), NodeSet::LoadResult::Loaded);
    set.SaveToFile(dir / "again.json");
    EXPECT_EQ(ReadBytes(dir / "again.json"),
              FileWithNodes("{\"name\":\"caf\xC3\xA9 \xF0\x9F\x93\x9A\",\"nid\":\"ROOT\","
                            "\"ntype\":\"bookmark\"}") +
                  (mac ? "\n" : "\r\n"));
  }
}

}  // namespace
}  // namespace tarvex
