// Matching nodes of two trees and folding one tree into another: the Windows
// scoring rule, the search for the best candidate, the merge cases in the
// tree notation (through the candidate index and by scoring every candidate
// with a flavour's own rule), and a randomised check that a merge keeps every
// node of this tree, loses no address of the other and finds through the
// index exactly what scoring every candidate finds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "text/Text.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using testing::BuildTree;
using testing::EngineError;
using testing::Reachable;
using testing::Snapshot;
using ::testing::StartsWith;
using testing::TestEnginePlatform;

// The Windows rule written out plainly, for a flavour that brings its own
// score: with it the merge scores every candidate instead of using the index.
int EveryCandidateScore(const NodeSet&, const Node& node, const Node& other) {
  if (node.GetAttr("ntype") != other.GetAttr("ntype")) return 0;
  if (node.GetID() == other.GetID()) return 100;
  char32_t filler = Engine::Current().Platform().FillerChar();
  auto url = [&](const Node& n) { return TrimCodePoint(Trim(n.GetAttr("url")), filler); };
  auto name = [&](const Node& n) {
    return MakeSafeFileName(n.GetAttr("name"), n.GetAttr("ntype"), filler);
  };
  if (!url(node).empty() && url(node) == url(other)) return 66;
  if (name(node) == name(other) && (node.IsFolder() || url(node).empty() || url(other).empty()))
    return 33;
  return 0;
}

EngineFlavor EveryCandidateFlavor() {
  EngineFlavor flavor = EngineFlavor::Windows();
  flavor.score = &EveryCandidateScore;
  return flavor;
}

Node* Get(NodeSet& set, std::string_view id) {
  return set.GetNode(id, false, false, true);
}

// The tree by names in the tree notation; a node whose id is not its name (a
// copy made by the merge) is marked with "+".
// An id the merge made: the fixtures' ids are letters, made ids digits.
bool IsMadeId(std::string_view id) { return !id.empty() && id[0] >= '0' && id[0] <= '9'; }

std::string Names(NodeSet& set, std::string_view id = "ROOT") {
  std::string out;
  for (const std::string& child : Get(set, id)->RawChildren()) {
    Node* node = Get(set, child);
    if (!out.empty()) out += " ";
    out += node->GetAttr("name");
    if (IsMadeId(child)) out += "+";
    if (node->IsFolder()) out += "{" + Names(set, child) + "}";
  }
  return out;
}

// Ids of new nodes stay clear of the letters the fixtures use ("1003",
// "2003", ...).
constexpr uint32_t kIdSeed = 3u << 18;

// ---- Scoring ---------------------------------------------------------------------

class MergeScoreTest : public ::testing::Test {
 protected:
  TestEnginePlatform platform;
  ScopedEngine engine{EngineFlavor::Windows(), platform};
};

TEST_F(MergeScoreTest, WindowsRule) {
  const struct {
    const char* what;
    const char* id;
    Attributes attrs;
    const char* otherId;
    Attributes otherAttrs;
    int score;
  } cases[] = {
      {"another type, same id",
       "a",
       {{"ntype", "folder"}, {"name", "x"}},
       "a",
       {{"ntype", "bookmark"}, {"name", "x"}},
       0},
      {"types compared exactly", "a", {{"ntype", "Folder"}}, "a", {{"ntype", "folder"}}, 0},
      {"same id",
       "a",
       {{"name", "x"}, {"url", "http://1/"}},
       "a",
       {{"name", "y"}, {"url", "http://2/"}},
       100},
      {"same address",
       "a",
       {{"name", "x"}, {"url", "http://s/"}},
       "b",
       {{"name", "y"}, {"url", "http://s/"}},
       66},
      {"address trimmed of white space and filler",
       "a",
       {{"name", "x"}, {"url", " http://s/\t"}},
       "b",
       {{"name", "y"}, {"url", "\u200Bhttp://s/\u200B"}},
       66},
      {"a \"__N\" suffix is part of the address",
       "a",
       {{"name", "p"}, {"url", "http://x/page__2"}},
       "b",
       {{"name", "p"}, {"url", "http://x/page__3"}},
       0},
      {"addresses compared exactly otherwise",
       "a",
       {{"name", "x"}, {"url", "HTTP://S/"}},
       "b",
       {{"name", "y"}, {"url", "http://s/"}},
       0},
      {"same name, no addresses", "a", {{"name", "n"}}, "b", {{"name", "n"}}, 33},
      {"same name, this address empty",
       "a",
       {{"name", "n"}, {"url", ""}},
       "b",
       {{"name", "n"}, {"url", "http://s/"}},
       33},
      {"same name, the other address absent",
       "a",
       {{"name", "n"}, {"url", "http://s/"}},
       "b",
       {{"name", "n"}},
       33},
      {"same name, an address of white space only",
       "a",
       {{"name", "n"}, {"url", "  "}},
       "b",
       {{"name", "n"}, {"url", "http://s/"}},
       33},
      {"same name, different addresses",
       "a",
       {{"name", "n"}, {"url", "http://1/"}},
       "b",
       {{"name", "n"}, {"url", "http://2/"}},
       0},
      {"names compared as safe names", "a", {{"name", "a/b?"}}, "b", {{"name", " ab "}}, 33},
      {"a \"__N\" suffix is not part of a name",
       "a",
       {{"name", "Docs__2"}},
       "b",
       {{"name", "Docs"}},
       33},
      {"different names, no addresses", "a", {{"name", "x"}}, "b", {{"name", "y"}}, 0},
      {"folders by name",
       "f",
       {{"ntype", "folder"}, {"name", "Work"}},
       "g",
       {{"ntype", "folder"}, {"name", "Work"}},
       33},
      {"folders by name whatever their addresses",
       "f",
       {{"ntype", "folder"}, {"name", "Work"}, {"url", "http://1/"}},
       "g",
       {{"ntype", "folder"}, {"name", "Work"}, {"url", "http://2/"}},
       33},
      {"folders of different names",
       "f",
       {{"ntype", "folder"}, {"name", "Work"}},
       "g",
       {{"ntype", "folder"}, {"name", "Home"}},
       0},
      {"a folder and a bookmark of the same name",
       "f",
       {{"ntype", "folder"}, {"name", "n"}},
       "b",
       {{"name", "n"}},
       0},
  };
  NodeSet set;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Node node(c.id, c.attrs), other(c.otherId, c.otherAttrs);
    EXPECT_EQ(set.CompareNodes(node, other), c.score);
    EXPECT_EQ(set.CompareNodes(other, node), c.score) << "the rule is symmetric";
  }
}

TEST_F(MergeScoreTest, FindMatchTakesTheFirstOfTheBestCandidates) {
  NodeSet set;
  BuildTree(set, "p q r s z");
  Get(set, "p")->SetAttr("name", "n");  // 33: same name, no address
  Get(set, "p")->SetAttr("url", "");
  Get(set, "q")->SetAttr("url", "http://x/");               // 66
  Get(set, "r")->SetAttr("url", "http://x/");               // 66
  Node sought("s", {{"name", "n"}, {"url", "http://x/"}});  // 100 with s
  const struct {
    std::vector<std::string> candidates;
    size_t match;
  } cases[] = {
      {{}, 0},         {{"z"}, 1},
      {{"z", "p"}, 1}, {{"z", "p", "q", "r"}, 2},
      {{"r", "q"}, 0}, {{"p", "r", "s", "q"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.candidates));
    EXPECT_EQ(set.FindMatch(sought, c.candidates), c.match);
  }
  try {
    set.FindMatch(sought, {"p", "missing"});
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.kind, ErrorKind::NotFound);
    EXPECT_THAT(e.what(), ::testing::EndsWith("From: nodes22"));
  }
}

TEST_F(MergeScoreTest, FindNextChild) {
  NodeSet set;
  BuildTree(set, "a f{b c d}");
  // Outside the tree: one naming a parent that does not list it, one naming
  // a parent that does not exist.
  set.AddNode(std::make_unique<Node>("x", Attributes{{"pnid", "f"}}));
  set.AddNode(std::make_unique<Node>("y", Attributes{{"pnid", "q"}}));
  EXPECT_EQ(set.FindNextChild("b"), "c");
  EXPECT_EQ(set.FindNextChild("c"), "d");
  EXPECT_EQ(set.FindNextChild("d"), "");
  EXPECT_EQ(set.FindNextChild("a"), "f");
  EXPECT_EQ(set.FindNextChild("f"), "");
  EXPECT_EQ(set.FindNextChild("x"), "");
  for (const auto& [id, label] : {std::pair{"missing", "nodes16"}, std::pair{"y", "nodes17"}}) {
    try {
      set.FindNextChild(id);
      ADD_FAILURE() << id << ": no error";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.kind, ErrorKind::NotFound);
      EXPECT_THAT(e.what(), ::testing::EndsWith(std::string("From: ") + label));
    }
  }
}

// ---- Merge cases -------------------------------------------------------------------

// Runs each case twice: through the candidate index (the Windows rule) and
// by scoring every candidate (a flavour with its own copy of the rule).
class MergeTest : public ::testing::TestWithParam<bool> {
 protected:
  MergeTest() { SeedNodeIdCounter(kIdSeed); }
  TestEnginePlatform platform;
  ScopedEngine engine{GetParam() ? EveryCandidateFlavor() : EngineFlavor::Windows(), platform};
};

INSTANTIATE_TEST_SUITE_P(Merge, MergeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "EveryCandidate" : "Indexed";
                         });

TEST_P(MergeTest, Cases) {
  struct Edit {
    bool theirs;  // in the other tree, else in this one
    const char* id;
    const char* key;
    const char* value;  // set as it is, empty values included
  };
  constexpr bool M = false, T = true;
  const struct {
    const char* what;
    const char* mine;
    const char* theirs;
    std::vector<Edit> edits;
    const char* expected;
  } cases[] = {
      {"into a tree of only ROOT everything is copied in order",
       "",
       "a f{b g{c}} d",
       {},
       "a f{b g{c}} d"},
      {"same ids pair; the rest is appended", "a b", "b a c", {}, "a b c"},
      {"same address pairs", "a", "b", {{T, "b", "url", " http://a/\u200B"}}, "a"},
      {"same name pairs when this address is empty",
       "a",
       "b",
       {{M, "a", "url", ""}, {T, "b", "name", "a"}},
       "a"},
      {"same name pairs when the other address is empty",
       "a",
       "b",
       {{T, "b", "url", ""}, {T, "b", "name", "a"}},
       "a"},
      {"same name but different addresses: both kept", "a", "b", {{T, "b", "name", "a"}}, "a a"},
      {"addresses differing in a \"__N\" suffix: both kept",
       "a",
       "b",
       {{M, "a", "url", "http://x/page__2"}, {T, "b", "url", "http://x/page__3"}},
       "a b"},
      {"a bookmark never pairs with a folder of its id", "x{}", "x", {}, "x{} x+"},
      {"nor with a folder of its name",
       "f{}",
       "b",
       {{T, "b", "name", "f"}, {T, "b", "url", ""}},
       "f{} f"},
      {"folders pair by name and merge level by level",
       "f{a g{b}}",
       "F{c G{B d}}",
       {{T, "F", "name", "f"}, {T, "G", "name", "g"}, {T, "B", "url", "http://b/"}},
       "f{a g{b d} c}"},
      {"a folder copied whole", "a", "f{g{b} c}", {}, "a f{g{b} c}"},
      {"each node of this tree pairs once",
       "a",
       "b c",
       {{T, "b", "url", "http://a/"}, {T, "c", "url", "http://a/"}},
       "a c"},
      {"nodes only in this tree stay", "a f{b}", "", {}, "a f{b}"},
      {"toolbar and unfiled folders pair whatever their names, and only with each other",
       "t{a} u{}",
       "L{b} M{c} t{d}",
       {{M, "ROOT", "tnid", "t"},
        {M, "ROOT", "unid", "u"},
        {T, "ROOT", "tnid", "L"},
        {T, "ROOT", "unid", "M"}},
       "t{a b} u{c} t+{d}"},
      {"a toolbar folder below the root",
       "p{t{a}}",
       "L{b} p{t{c}}",
       {{M, "ROOT", "tnid", "t"}, {T, "ROOT", "tnid", "L"}},
       "p{t{a b c}}"},
      {"one folder as toolbar and unfiled folder",
       "t{a}",
       "L{b} M{c}",
       {{M, "ROOT", "tnid", "t"},
        {M, "ROOT", "unid", "t"},
        {T, "ROOT", "tnid", "L"},
        {T, "ROOT", "unid", "M"}},
       "t{a b c}"},
      {"this root names no toolbar folder: the other's is copied",
       "a",
       "L{b}",
       {{T, "ROOT", "tnid", "L"}},
       "a L{b}"},
      {"this root names no toolbar folder: the other's is matched",
       "L{a}",
       "L{b}",
       {{T, "ROOT", "tnid", "L"}},
       "L{a b}"},
      {"the other root names no toolbar folder",
       "t{a}",
       "t{b}",
       {{M, "ROOT", "tnid", "t"}},
       "t{a b}"},
      {"a toolbar id naming no node pairs nothing",
       "t{a}",
       "L{b}",
       {{M, "ROOT", "tnid", "t"}, {T, "ROOT", "tnid", "Q"}},
       "t{a} L{b}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NodeSet mine, theirs;
    BuildTree(mine, c.mine);
    BuildTree(theirs, c.theirs);
    for (const Edit& e : c.edits) Get(e.theirs ? theirs : mine, e.id)->SetAttr(e.key, e.value);
    const Attributes root = Get(mine, "ROOT")->Attrs();
    const std::string theirsBefore = Snapshot(theirs, true);

    mine.Merge(theirs);

    EXPECT_EQ(Names(mine), c.expected);
    EXPECT_EQ(Get(mine, "ROOT")->Attrs(), root) << "the root keeps its attributes";
    EXPECT_EQ(Snapshot(theirs, true), theirsBefore) << "the other tree is only read";
    // A copy keeps its id unless this tree used it; a made id is new to
    // both trees.
    for (const std::string& id : Reachable(mine)) {
      if (IsMadeId(id)) {
        EXPECT_EQ(theirs.GetNode(id, false, true, true), nullptr) << id << " is not a new id";
      }
    }
  }
}

// Of equally good candidates the earlier child of this tree pairs; a better
// score beats an earlier candidate.
TEST_P(MergeTest, TheBestAndEarliestCandidatePairs) {
  NodeSet mine, theirs;
  BuildTree(mine, "p q r s");
  BuildTree(theirs, "s t u v");
  Get(mine, "p")->SetAttr("name", "n");
  Get(mine, "p")->SetAttr("url", "");
  Get(mine, "q")->SetAttr("url", "http://x/");
  Get(mine, "r")->SetAttr("url", "http://x/");
  int tag = 0;
  for (const char* id : {"s", "t", "u", "v"}) {
    Get(theirs, id)->SetAttr("name", "n");
    Get(theirs, id)->SetAttr("url", "http://x/");
    Get(theirs, id)->SetAttr("tags", std::to_string(tag++));
  }
  mine.Merge(theirs);
  EXPECT_EQ(testing::Describe(mine), "p q r s");
  EXPECT_EQ(Get(mine, "s")->GetAttr("tags"), "0");  // same id
  EXPECT_EQ(Get(mine, "q")->GetAttr("tags"), "1");  // first of the two same addresses
  EXPECT_EQ(Get(mine, "r")->GetAttr("tags"), "2");  // the second, q being taken
  EXPECT_EQ(Get(mine, "p")->GetAttr("tags"), "3");  // same name, no address of its own
  EXPECT_EQ(Get(mine, "p")->GetAttr("url"), "http://x/");
}

TEST_P(MergeTest, PairedNodesGainTheOtherAttributes) {
  NodeSet mine, theirs;
  BuildTree(mine, "a");
  BuildTree(theirs, "b");
  Node* a = Get(mine, "a");
  a->SetAttr("url", "");
  a->SetAttr("tags", "x,b");
  a->SetAttr("created", "1");
  a->SetAttr("icon", "");
  Node* b = Get(theirs, "b");
  b->SetAttr("name", "a");
  b->SetAttr("url", "http://z/");
  b->SetAttr("tags", "a,x");
  b->SetAttr("created", "5");
  b->SetAttr("icon", "data");
  b->SetAttr("visited", "7");
  mine.Merge(theirs);
  EXPECT_EQ(Names(mine), "a");
  EXPECT_EQ(Get(mine, "a")->Attrs(), (Attributes{{"created", "1"},
                                                 {"icon", "data"},
                                                 {"name", "a"},
                                                 {"ntype", "bookmark"},
                                                 {"pnid", "ROOT"},
                                                 {"tags", "a,b,x"},
                                                 {"url", "http://z/"},
                                                 {"visited", "7"}}));
}

// Merging into a clone changes the clone only; the result is the one a
// merge into the tree itself gives.
TEST_P(MergeTest, AMergeIntoACloneLeavesItsBaseAlone) {
  auto build = [](NodeSet& set) {
    BuildTree(set, "a f{b g{c}} h{}");
    Get(set, "a")->SetAttr("url", "");
    Get(set, "c")->SetAttr("tags", "x");
  };
  NodeSet base, plain, theirs;
  build(base);
  build(plain);
  BuildTree(theirs, "A F{B G{c C d}} e h");  // this "h" is a bookmark
  for (const char* id : {"A", "F", "G"}) Get(theirs, id)->SetAttr("name", AsciiLower(id));
  Get(theirs, "A")->SetAttr("url", "http://new/");
  Get(theirs, "B")->SetAttr("url", "http://b/");
  Get(theirs, "c")->SetAttr("tags", "y");
  const std::string before = WriteCompactJson(base.ToJSON());

  NodeSet clone(&base);
  clone.Merge(theirs);
  SeedNodeIdCounter(kIdSeed);
  plain.Merge(theirs);

  EXPECT_EQ(WriteCompactJson(base.ToJSON()), before);
  // The copies keep their ids, but for the one the base holds.
  EXPECT_EQ(Names(clone), "a f{b g{c C d}} h{} e h+");
  EXPECT_EQ(Snapshot(clone, true), Snapshot(plain, true));
  EXPECT_EQ(Get(clone, "a")->GetAttr("url"), "http://new/");
  EXPECT_EQ(Get(clone, "c")->GetAttr("tags"), "x,y");
}

// A copy keeps its own id where this tree never used it: neither a node
// nor a tombstone of that id, here or in the base. Otherwise it takes a new
// id, never one the tree holds.
TEST_P(MergeTest, CopiesKeepTheirIdsWhereFreeAndTakeFreshOnesElse) {
  NodeSet base, theirs;
  BuildTree(base, "1 2 4 x");
  NodeSet mine(&base);
  mine.Execute(Command("delete", "x", {}));  // a tombstone of "x"
  // A folder "4" never pairs with the bookmark "4"; its "1" is a bookmark
  // with an address of its own.
  BuildTree(theirs, "4{1} x y");
  Get(theirs, "1")->SetAttr("url", "http://other/");
  SeedNodeIdCounter(0);  // the next ids would be "1", "2", ...
  mine.Merge(theirs);
  EXPECT_EQ(testing::Describe(mine), "1 2 4 3{5} 6 y");
  for (const char* id : {"1", "2", "4"})
    EXPECT_EQ(Get(mine, id)->GetAttr("url"), std::string("http://") + id + "/");
  EXPECT_EQ(Get(mine, "5")->GetAttr("url"), "http://other/");
  EXPECT_EQ(Get(mine, "6")->GetAttr("name"), "x");
}

// A child the other folder lists but nobody holds fails the merge after the
// children before it are merged.
TEST_P(MergeTest, AMissingChildFailsAfterTheChildrenBeforeIt) {
  NodeSet mine, theirs;
  BuildTree(mine, "a");
  BuildTree(theirs, "x a y");
  Get(theirs, "ROOT")->InsertChild("ghost", 1);
  try {
    mine.Merge(theirs);
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.kind, ErrorKind::NotFound);
    EXPECT_THAT(e.what(), ::testing::EndsWith("From: nodes20"));
  }
  EXPECT_EQ(Names(mine), "a x");
}

TEST_P(MergeTest, AMissingRootFails) {
  NodeSet mine, theirs;
  BuildTree(theirs, "a");
  try {
    mine.Merge(theirs);
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.kind, ErrorKind::NotFound);
    EXPECT_THAT(e.what(), StartsWith("Node not found: ROOT."));
  }
}

// ---- Randomised ------------------------------------------------------------------

// Makes matching harder: addresses removed, empty, or padded with white space
// and filler; names that differ only in what the safe name drops; tags.
void Roughen(NodeSet& set, std::mt19937& rng) {
  for (const std::string& id : Reachable(set)) {
    if (id == "ROOT") continue;
    Node* node = Get(set, id);
    switch (rng() % 8) {
      case 0:
        node->RemoveAttr("url");
        break;
      case 1:
        if (!node->IsFolder()) node->SetAttr("url", "");
        break;
      case 2:
        if (node->HasAttr("url")) node->SetAttr("url", " " + node->GetAttr("url") + "\u200B");
        break;
      case 3:
        node->SetAttr("name", node->GetAttr("name") + (rng() % 2 ? "?" : "__2"));
        break;
    }
    if (rng() % 5 == 0) node->SetAttr("tags", std::string(1, char('a' + rng() % 3)) + ",d");
  }
}

// Names a random folder (at any depth) as the root's toolbar or unfiled
// folder, now and then.
void NameRootFolders(NodeSet& set, std::mt19937& rng) {
  std::vector<std::string> folders;
  for (const std::string& id : Reachable(set))
    if (id != "ROOT" && Get(set, id)->IsFolder()) folders.push_back(id);
  std::string toolbar;
  if (!folders.empty() && rng() % 2 == 0)
    Get(set, "ROOT")->SetAttr("tnid", toolbar = folders[rng() % folders.size()]);
  // (One folder named as both is a case of its own.)
  std::string unfiled = folders.empty() ? "" : folders[rng() % folders.size()];
  if (unfiled != toolbar && rng() % 3 == 0) Get(set, "ROOT")->SetAttr("unid", unfiled);
}

std::string NormalUrl(const Node& node) {
  return TrimCodePoint(Trim(node.GetAttr("url")), U'\u200B');
}

// Whether `after` holds every attribute of `before` (the parent aside) with
// its value, having at most filled empty ones and added tags.
bool OnlyGained(const Node& before, const Node& after) {
  for (const auto& [key, value] : before.Attrs()) {
    if (key == "pnid") continue;
    if (!after.HasAttr(key)) return false;
    if (key == "tags") {
      std::vector<std::string> tags = SplitTags(after.GetAttr(key));
      for (const std::string& tag : SplitTags(value))
        if (std::find(tags.begin(), tags.end(), tag) == tags.end()) return false;
    } else if (!value.empty() && after.GetAttr(key) != value) {
      return false;
    }
  }
  return true;
}

// The merge as documented, written out plainly: pairs of folders level by
// level, the best candidate by FindMatch, copies by ReplicateNode.
void ReferenceMerge(NodeSet& mine, NodeSet& theirs) {
  std::deque<std::pair<std::string, std::string>> work{{"ROOT", "ROOT"}};
  std::set<std::string> pairedMine, pairedTheirs;
  Node* root = Get(mine, "ROOT");
  Node* theirRoot = Get(theirs, "ROOT");
  for (const char* key : {"tnid", "unid"}) {
    const std::string& a = root->GetAttr(key);
    const std::string& b = theirRoot->GetAttr(key);
    if (mine.GetNode(a, false, true, true) && theirs.GetNode(b, false, true, true)) {
      work.emplace_back(a, b);
      pairedMine.insert(a);
      pairedTheirs.insert(b);
    }
  }
  while (!work.empty()) {
    auto [a, b] = work.front();
    work.pop_front();
    std::vector<std::string> candidates;
    for (const std::string& child : Get(mine, a)->RawChildren())
      if (a != "ROOT" || !pairedMine.count(child)) candidates.push_back(child);
    const std::vector<std::string> children = Get(theirs, b)->RawChildren();
    for (const std::string& c : children) {
      if (pairedTheirs.count(c)) continue;
      Node* node = Get(theirs, c);
      size_t m = mine.FindMatch(*node, candidates);
      if (m == candidates.size()) {
        mine.ReplicateNode(theirs, c, a);
        continue;
      }
      Node* match = mine.GetNode(candidates[m], true, false, true);
      if (match->IsFolder()) work.emplace_back(candidates[m], c);
      match->Merge(*node);
      candidates.erase(candidates.begin() + static_cast<std::ptrdiff_t>(m));
    }
  }
}

// Over a few hundred random pairs of trees (unrelated trees over the same
// ids, a tree and a changed copy of it, trees with no id in common):
//  - every node of this tree stays with its id, parent, children (at the
//    front of the list) and attributes, which it can only gain;
//  - every node the merge adds is a copy of a node of the other tree;
//  - every address of the other tree's bookmarks is in the result, unless a
//    node of this tree shares the bookmark's id (a pairing by id keeps this
//    tree's address);
//  - the indexed search gives the same tree as scoring every candidate, and
//    both give the tree that the plain merge above gives;
//  - a merge into a clone gives that tree too and leaves the base alone.
TEST(MergePropertyTest, RandomTrees) {
  TestEnginePlatform platform;
  platform.infoEnabled = false;
  for (uint32_t round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int kind = static_cast<int>(round % 3);
    std::mt19937 rng(round);
    const uint32_t treeSeed = static_cast<uint32_t>(rng());
    const int mineSize = 1 + static_cast<int>(rng() % 25);
    auto buildMine = [&](NodeSet& set) {
      std::mt19937 r(treeSeed);
      testing::RandomTree(set, r, mineSize, "n");
      Roughen(set, r);
      NameRootFolders(set, r);
    };
    ScopedEngine windows(EngineFlavor::Windows(), platform);
    NodeSet theirs;
    if (kind == 1) {
      buildMine(theirs);
      testing::MutateTree(theirs, rng, 1 + static_cast<int>(rng() % 6));
      Roughen(theirs, rng);
      NameRootFolders(theirs, rng);
    } else {
      testing::RandomTree(theirs, rng, 1 + static_cast<int>(rng() % 25), kind == 0 ? "n" : "o");
      Roughen(theirs, rng);
      NameRootFolders(theirs, rng);
    }
    NodeSet original, indexed, scored, reference, base;
    for (NodeSet* set : {&original, &indexed, &scored, &reference, &base}) buildMine(*set);
    // Every other round new ids run into the trees' own ("n1" is number 87).
    const uint32_t idSeed = round % 2 ? 80 : 1u << 20;

    SeedNodeIdCounter(idSeed);
    indexed.Merge(theirs);
    const std::string result = Snapshot(indexed, true);
    {
      ScopedEngine everyCandidate(EveryCandidateFlavor(), platform);
      SeedNodeIdCounter(idSeed);
      scored.Merge(theirs);
      SeedNodeIdCounter(idSeed);
      ReferenceMerge(reference, theirs);
    }
    EXPECT_EQ(Snapshot(scored, true), result) << "scoring every candidate";
    EXPECT_EQ(Snapshot(reference, true), result) << "the plain merge";
    const std::string baseBefore = WriteCompactJson(base.ToJSON());
    NodeSet clone(&base);
    SeedNodeIdCounter(idSeed);
    clone.Merge(theirs);
    EXPECT_EQ(Snapshot(clone, true), result) << "merged into a clone";
    EXPECT_EQ(WriteCompactJson(base.ToJSON()), baseBefore) << "the clone's base";

    std::set<std::string> kept;
    for (const std::string& id : Reachable(original)) {
      kept.insert(id);
      Node* before = Get(original, id);
      Node* after = indexed.GetNode(id, false, true, true);
      ASSERT_NE(after, nullptr) << id;
      EXPECT_EQ(after->GetAttr("pnid"), before->GetAttr("pnid")) << id;
      const auto& oldChildren = before->RawChildren();
      const auto& newChildren = after->RawChildren();
      ASSERT_GE(newChildren.size(), oldChildren.size()) << id;
      EXPECT_TRUE(std::equal(oldChildren.begin(), oldChildren.end(), newChildren.begin())) << id;
      EXPECT_TRUE(OnlyGained(*before, *after)) << id << " lost an attribute";
    }

    const std::vector<std::string> theirIds = Reachable(theirs);
    std::set<std::string> urls;
    for (const std::string& id : Reachable(indexed)) {
      Node* node = Get(indexed, id);
      if (node->GetAttr("ntype") == "bookmark") urls.insert(NormalUrl(*node));
      if (kept.count(id)) continue;
      bool copy = false;
      for (const std::string& their : theirIds)
        copy = copy || (their != "ROOT" && OnlyGained(*Get(theirs, their), *node));
      EXPECT_TRUE(copy) << id << " is no copy of a node of the other tree";
    }
    for (const std::string& id : Reachable(theirs)) {
      Node* node = Get(theirs, id);
      if (node->GetAttr("ntype") != "bookmark" || NormalUrl(*node).empty() || kept.count(id))
        continue;
      EXPECT_TRUE(urls.count(NormalUrl(*node))) << "lost " << id << " " << node->GetAttr("url");
    }
    if (HasFailure()) return;
  }
}

// A clone of this tree reads through to it, so it changes while this tree is
// merged with it: the merge then takes the children one by one, and the
// index still finds what scoring every candidate finds.
TEST(MergePropertyTest, ACloneMergedBackIntoItsBase) {
  TestEnginePlatform platform;
  platform.infoEnabled = false;
  for (uint32_t round = 0; round < 100; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string results[2];
    for (bool everyCandidate : {false, true}) {
      ScopedEngine engine(everyCandidate ? EveryCandidateFlavor() : EngineFlavor::Windows(),
                          platform);
      std::mt19937 rng(round);
      NodeSet mine;
      testing::RandomTree(mine, rng, 1 + static_cast<int>(rng() % 25), "n");
      Roughen(mine, rng);
      NameRootFolders(mine, rng);
      NodeSet theirs(&mine);
      testing::MutateTree(theirs, rng, 1 + static_cast<int>(rng() % 6));
      SeedNodeIdCounter(1u << 20);
      mine.Merge(theirs);
      results[everyCandidate] = Snapshot(mine, true);
    }
    EXPECT_EQ(results[0], results[1]);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace tarvex
