// The bookmark tree in memory: lookups, the tree operations, copy on write
// of clones, hashing, attribute merge and the orderings of children.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using testing::BuildExample;
using testing::EngineError;
using testing::TestEnginePlatform;

std::string Dump(const NodeSet& set, bool flatten = true) {
  return WriteCompactJson(set.ToJSON(flatten));
}

std::vector<std::string> Children(NodeSet& set, std::string_view id) {
  return set.GetNode(id, false, false, true)->RawChildren();
}

struct Outcome {
  bool threw = false;
  ErrorKind kind = ErrorKind::General;
  std::string message;
};

// Runs `f`, catching the engine's error (any other exception fails the test).
Outcome Attempt(const std::function<void()>& f) {
  try {
    f();
    return {};
  } catch (const EngineError& e) {
    return {true, e.kind, e.what()};
  }
}

const char* KindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound:
      return "NotFound";
    case ErrorKind::Duplicate:
      return "Duplicate";
    case ErrorKind::General:
      return "General";
  }
  return "?";
}

class NodeSetTest : public ::testing::Test {
 protected:
  TestEnginePlatform platform;
  ScopedEngine engine{EngineFlavor::Windows(), platform};
};

// ---- GetNode ------------------------------------------------------------------

TEST_F(NodeSetTest, GetNodeOverOwnBaseTombstoneAndAbsentNodes) {
  enum class Want { Own, Base, Copy, Null, Error };
  struct Row {
    const char* id;
    bool clone, allowMissing, searchBase;
    const char* label;
    Want want;
    const char* message;  // for Want::Error (always ErrorKind::NotFound)
  };
  // The clone holds a1 (its own copy) and a tombstone of b3: 2 entries. Its
  // base holds ROOT, a1, b3 and f2: 4 entries.
  const Row rows[] = {
      // A node of the clone's own: every combination of flags gives it.
      {"a1", false, false, false, "", Want::Own, nullptr},
      {"a1", false, false, true, "", Want::Own, nullptr},
      {"a1", false, true, false, "", Want::Own, nullptr},
      {"a1", false, true, true, "", Want::Own, nullptr},
      {"a1", true, false, false, "", Want::Own, nullptr},
      {"a1", true, false, true, "nodes97", Want::Own, nullptr},
      {"a1", true, true, false, "", Want::Own, nullptr},
      {"a1", true, true, true, "", Want::Own, nullptr},
      // A node only the base holds.
      {"f2", false, false, false, "", Want::Error, "Node not found: f2. Total nodes: 2."},
      {"f2", false, false, false, "nodes97", Want::Error,
       "Node not found: f2. Total nodes: 2. From: nodes97"},
      {"f2", false, false, true, "nodes97", Want::Base, nullptr},
      {"f2", false, true, false, "", Want::Null, nullptr},
      {"f2", false, true, true, "", Want::Base, nullptr},
      {"f2", true, false, false, "nodes96", Want::Error,
       "Node not found: f2. Total nodes: 2. From: nodes96"},
      {"f2", true, false, true, "nodes96", Want::Copy, nullptr},
      {"f2", true, true, false, "", Want::Null, nullptr},
      {"f2", true, true, true, "", Want::Copy, nullptr},
      // A tombstone hides the base's node; its message never takes the label.
      {"b3", false, false, false, "", Want::Error, "Node not found (it was empty): b3"},
      {"b3", false, false, true, "nodes6", Want::Error, "Node not found (it was empty): b3"},
      {"b3", false, true, false, "", Want::Null, nullptr},
      {"b3", false, true, true, "", Want::Null, nullptr},
      {"b3", true, false, false, "", Want::Error, "Node not found (it was empty): b3"},
      {"b3", true, false, true, "nodes95", Want::Error, "Node not found (it was empty): b3"},
      {"b3", true, true, false, "", Want::Null, nullptr},
      {"b3", true, true, true, "", Want::Null, nullptr},
      // An id found nowhere: the fall-through names "nodes99" and the base's
      // count, whatever label the caller gave.
      {"zz", false, false, false, "", Want::Error, "Node not found: zz. Total nodes: 2."},
      {"zz", false, false, true, "", Want::Error,
       "Node not found: zz. Total nodes: 4. From: nodes99"},
      {"zz", false, false, true, "nodes97", Want::Error,
       "Node not found: zz. Total nodes: 4. From: nodes99"},
      {"zz", false, true, false, "", Want::Null, nullptr},
      {"zz", false, true, true, "", Want::Null, nullptr},
      {"zz", true, false, false, "nodes1", Want::Error,
       "Node not found: zz. Total nodes: 2. From: nodes1"},
      {"zz", true, false, true, "nodes1", Want::Error,
       "Node not found: zz. Total nodes: 4. From: nodes99"},
      {"zz", true, true, false, "", Want::Null, nullptr},
      {"zz", true, true, true, "", Want::Null, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << row.id << " clone=" << row.clone << " allowMissing=" << row.allowMissing
                 << " searchBase=" << row.searchBase << " label=" << row.label);
    NodeSet base;
    BuildExample(base);
    NodeSet set(&base);
    Node* own = set.GetNode("a1", true, false, true);
    set.NukeNode("b3");
    ASSERT_EQ(set.TableSize(), 2u);
    const std::string baseBefore = Dump(base);

    Node* got = nullptr;
    Outcome outcome = Attempt(
        [&] { got = set.GetNode(row.id, row.clone, row.allowMissing, row.searchBase, row.label); });

    EXPECT_EQ(outcome.threw, row.want == Want::Error) << outcome.message;
    switch (row.want) {
      case Want::Own:
        EXPECT_EQ(got, own);
        EXPECT_EQ(set.TableSize(), 2u);
        break;
      case Want::Base:
        EXPECT_EQ(got, base.GetNode(row.id, false, false, false));
        EXPECT_EQ(set.TableSize(), 2u);
        break;
      case Want::Copy: {
        Node* original = base.GetNode(row.id, false, false, false);
        ASSERT_NE(got, nullptr);
        EXPECT_NE(got, original);
        EXPECT_EQ(set.TableSize(), 3u);
        EXPECT_EQ(set.OwnTable().find(row.id)->second.get(), got);
        EXPECT_EQ(got->ToJSON(), original->ToJSON());
        EXPECT_EQ(got->GetPosition(), Node::kUnplaced);
        // Later lookups find the copy; changing it leaves the base alone.
        EXPECT_EQ(set.GetNode(row.id, false, false, true), got);
        got->SetAttr("name", "changed");
        got->AddChild("extra");
        EXPECT_EQ(original->GetAttr("name"), "Links");
        EXPECT_EQ(original->RawChildren(), std::vector<std::string>{"b3"});
        break;
      }
      case Want::Null:
        EXPECT_EQ(got, nullptr);
        EXPECT_EQ(set.TableSize(), 2u);
        break;
      case Want::Error:
        EXPECT_EQ(outcome.kind, ErrorKind::NotFound) << KindName(outcome.kind);
        EXPECT_EQ(outcome.message, row.message);
        EXPECT_EQ(set.TableSize(), 2u);
        break;
    }
    EXPECT_EQ(Dump(base), baseBefore);
  }
}

TEST_F(NodeSetTest, GetNodeWithoutBaseAndThroughTwoLevelsOfClones) {
  NodeSet base;
  BuildExample(base);
  base.NukeNode("b3");  // a tombstone in the base: 4 entries still
  Outcome missing = Attempt([&] { base.GetNode("zz", false, false, true, "nodes5"); });
  EXPECT_EQ(missing.kind, ErrorKind::NotFound);
  EXPECT_EQ(missing.message, "Node not found: zz. Total nodes: 4. From: nodes5");
  EXPECT_EQ(base.GetNode("zz", true, true, true), nullptr);
  EXPECT_EQ(base.TableSize(), 4u);

  NodeSet middle(&base);
  NodeSet top(&middle);
  // The base's tombstone hides the node from the clones too.
  Outcome hidden = Attempt([&] { top.GetNode("b3", false, false, true, "nodes2"); });
  EXPECT_EQ(hidden.kind, ErrorKind::NotFound);
  EXPECT_EQ(hidden.message, "Node not found (it was empty): b3");
  Outcome nowhere = Attempt([&] { top.GetNode("zz", false, false, true, "nodes2"); });
  EXPECT_EQ(nowhere.message, "Node not found: zz. Total nodes: 4. From: nodes99");

  // A copy on write from two levels down lands in the top set only.
  Node* copy = top.GetNode("a1", true, false, true);
  EXPECT_NE(copy, base.GetNode("a1", false, false, false));
  EXPECT_EQ(top.TableSize(), 1u);
  EXPECT_EQ(middle.TableSize(), 0u);
  EXPECT_EQ(base.TableSize(), 4u);
}

// ---- AddNode --------------------------------------------------------------------

TEST_F(NodeSetTest, AddNodeRefusesDuplicatesAndReplacesTombstones) {
  NodeSet set;
  BuildExample(set);
  const std::string before = Dump(set);
  Outcome duplicate = Attempt([&] { set.AddNode(std::make_unique<Node>("a1")); });
  EXPECT_TRUE(duplicate.threw);
  EXPECT_EQ(duplicate.kind, ErrorKind::Duplicate) << KindName(duplicate.kind);
  EXPECT_EQ(duplicate.message, "Node [a1] already exists!");
  EXPECT_EQ(Dump(set), before);
  EXPECT_EQ(set.GetNode("a1", false, false, false)->GetAttr("name"), "Example");

  set.NukeNode("b3");
  EXPECT_EQ(set.GetNode("b3", false, true, false), nullptr);
  auto fresh = std::make_unique<Node>("b3", Attributes{{"name", "Again"}});
  Node* raw = fresh.get();
  set.AddNode(std::move(fresh));
  EXPECT_EQ(set.GetNode("b3", false, false, false), raw);
  EXPECT_EQ(set.TableSize(), 4u);

  // A clone checks its own table only: a node of the base's may be shadowed.
  NodeSet base;
  BuildExample(base);
  NodeSet clone(&base);
  clone.AddNode(std::make_unique<Node>("a1", Attributes{{"name", "Shadow"}}));
  EXPECT_EQ(clone.GetNode("a1", false, false, true)->GetAttr("name"), "Shadow");
  EXPECT_EQ(base.GetNode("a1", false, false, false)->GetAttr("name"), "Example");
  Outcome again = Attempt([&] { clone.AddNode(std::make_unique<Node>("a1")); });
  EXPECT_EQ(again.kind, ErrorKind::Duplicate);
  EXPECT_EQ(again.message, "Node [a1] already exists!");
}

// ---- InsertInParent and RemoveFromParent ---------------------------------------

// The example tree plus x1 (out of the tree) and x2 (naming f2 as its parent
// without f2 listing it): 6 nodes.
void BuildExampleWithStrays(NodeSet& set) {
  BuildExample(set);
  set.AddNode(std::make_unique<Node>("x1", Attributes{{"name", "Loose"}}));
  set.AddNode(std::make_unique<Node>("x2", Attributes{{"name", "Stray"}, {"pnid", "f2"}}));
}

TEST_F(NodeSetTest, TreeOperationErrorsLeaveTheSetUnchanged) {
  struct Row {
    const char* what;
    std::function<void(NodeSet&)> op;
    ErrorKind kind;
    const char* message;  // in a set without base
  };
  const Row rows[] = {
      {"empty id", [](NodeSet& s) { s.InsertInParent("", "ROOT", ""); }, ErrorKind::General,
       "bad nid"},
      {"empty id and parent", [](NodeSet& s) { s.InsertInParent("", "", ""); }, ErrorKind::General,
       "bad nid"},
      {"empty parent", [](NodeSet& s) { s.InsertInParent("x1", "", ""); }, ErrorKind::General,
       "bad pnid for nid x1"},
      {"listed already", [](NodeSet& s) { s.InsertInParent("a1", "ROOT", ""); }, ErrorKind::General,
       "Child [a1] already exists in parent [ROOT]"},
      {"listed already, before a sibling", [](NodeSet& s) { s.InsertInParent("a1", "ROOT", "f2"); },
       ErrorKind::General, "Child [a1] already exists in parent [ROOT]"},
      {"before a node of another parent", [](NodeSet& s) { s.InsertInParent("x1", "ROOT", "b3"); },
       ErrorKind::General, "didn't find child b3 in parent ROOT"},
      {"before an unknown node", [](NodeSet& s) { s.InsertInParent("x1", "ROOT", "zz"); },
       ErrorKind::General, "didn't find child zz in parent ROOT"},
      {"ROOT into a folder", [](NodeSet& s) { s.InsertInParent("ROOT", "f2", ""); },
       ErrorKind::General, "ROOT cannot be placed in parent [f2]"},
      {"unknown parent", [](NodeSet& s) { s.InsertInParent("x1", "zz", ""); }, ErrorKind::NotFound,
       "Node not found: zz. Total nodes: 6. From: nodes97"},
      {"unknown node", [](NodeSet& s) { s.InsertInParent("ghost", "ROOT", ""); },
       ErrorKind::NotFound, "Node not found: ghost. Total nodes: 6. From: nodes96"},
      {"unknown node before a sibling", [](NodeSet& s) { s.InsertInParent("ghost", "f2", "b3"); },
       ErrorKind::NotFound, "Node not found: ghost. Total nodes: 6. From: nodes96"},
      {"remove unknown", [](NodeSet& s) { s.RemoveFromParent("zz"); }, ErrorKind::NotFound,
       "Node not found: zz. Total nodes: 6. From: nodes95"},
      {"remove unlisted", [](NodeSet& s) { s.RemoveFromParent("x2"); }, ErrorKind::General,
       "didn't find child x2 in parent f2"},
      {"remove a node out of the tree", [](NodeSet& s) { s.RemoveFromParent("x1"); },
       ErrorKind::NotFound, "Node not found: . Total nodes: 6. From: nodes94"},
      {"remove ROOT", [](NodeSet& s) { s.RemoveFromParent("ROOT"); }, ErrorKind::NotFound,
       "Node not found: . Total nodes: 6. From: nodes94"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    {
      NodeSet set;
      BuildExampleWithStrays(set);
      const std::string before = Dump(set);
      Outcome outcome = Attempt([&] { row.op(set); });
      EXPECT_TRUE(outcome.threw);
      EXPECT_EQ(outcome.kind, row.kind) << KindName(outcome.kind);
      EXPECT_EQ(outcome.message, row.message);
      EXPECT_EQ(Dump(set), before);
    }
    {
      // In a clone the lookups fall through to the base; a failure copies
      // nothing into the clone and changes nothing in the base.
      NodeSet base;
      BuildExampleWithStrays(base);
      const std::string baseBefore = Dump(base);
      NodeSet clone(&base);
      Outcome outcome = Attempt([&] { row.op(clone); });
      EXPECT_TRUE(outcome.threw);
      EXPECT_EQ(outcome.kind, row.kind) << KindName(outcome.kind) << " " << outcome.message;
      EXPECT_EQ(clone.TableSize(), 0u);
      EXPECT_EQ(Dump(clone), baseBefore);
      EXPECT_EQ(Dump(base), baseBefore);
    }
  }
}

TEST_F(NodeSetTest, InsertAndRemoveKeepParentAndChildInStep) {
  NodeSet set;
  BuildExampleWithStrays(set);
  const std::string before = Dump(set);
  set.InsertInParent("ROOT", "", "");  // the root is placed already: nothing
  EXPECT_EQ(Dump(set), before);

  set.InsertInParent("x1", "ROOT", "f2");
  EXPECT_EQ(Children(set, "ROOT"), (std::vector<std::string>{"a1", "x1", "f2"}));
  EXPECT_EQ(set.GetNode("x1", false, false, false)->GetAttr("pnid"), "ROOT");
  set.RemoveFromParent("a1");
  EXPECT_EQ(Children(set, "ROOT"), (std::vector<std::string>{"x1", "f2"}));
  EXPECT_FALSE(set.GetNode("a1", false, false, false)->HasAttr("pnid"));
  set.InsertInParent("a1", "ROOT", "x1");
  EXPECT_EQ(Children(set, "ROOT"), (std::vector<std::string>{"a1", "x1", "f2"}));
  set.InsertInParent("x2", "f2", "");  // names f2 already; now listed there too
  EXPECT_EQ(Children(set, "f2"), (std::vector<std::string>{"b3", "x2"}));
  EXPECT_EQ(platform.infos.front(), "Inserting a1 as child: ROOT [bnid: ]");

  // The same in a clone: the parent and the node are copied, the base stays.
  NodeSet base;
  BuildExampleWithStrays(base);
  const std::string baseBefore = Dump(base);
  NodeSet clone(&base);
  clone.InsertInParent("x1", "f2", "b3");
  EXPECT_EQ(Children(clone, "f2"), (std::vector<std::string>{"x1", "b3"}));
  EXPECT_EQ(clone.TableSize(), 2u);
  clone.RemoveFromParent("b3");
  EXPECT_EQ(Children(clone, "f2"), (std::vector<std::string>{"x1"}));
  EXPECT_EQ(clone.TableSize(), 3u);
  EXPECT_EQ(Dump(base), baseBefore);
}

// ---- NukeNode -------------------------------------------------------------------

TEST_F(NodeSetTest, NukeNodeTombstonesTheSubtreeWithoutTouchingTheBase) {
  NodeSet base;
  BuildExample(base);
  base.AddNode(std::make_unique<Node>("c4", Attributes{{"name", "Deep"}}));
  base.InsertInParent("c4", "b3", "");
  const std::string baseBefore = Dump(base);

  NodeSet clone(&base);
  clone.GetNode("f2", true, false, true)->SetAttr("name", "Mine");  // f2 is the clone's own
  clone.NukeNode("f2");
  // The clone's own f2 and the base's b3 and c4 are tombstones now.
  for (const char* id : {"f2", "b3", "c4"}) {
    auto it = clone.OwnTable().find(id);
    ASSERT_NE(it, clone.OwnTable().end()) << id;
    EXPECT_EQ(it->second, nullptr) << id;
    Outcome outcome = Attempt([&] { clone.GetNode(id, false, false, true, "nodes6"); });
    EXPECT_EQ(outcome.kind, ErrorKind::NotFound);
    EXPECT_EQ(outcome.message, std::string("Node not found (it was empty): ") + id);
  }
  EXPECT_EQ(clone.TableSize(), 3u);
  EXPECT_EQ(Dump(base), baseBefore);
  // The parent's list is the caller's business.
  EXPECT_EQ(Children(clone, "ROOT"), (std::vector<std::string>{"a1", "f2"}));
  EXPECT_EQ(platform.infos.back(), "Nuking: c4");
  // A tombstone may be replaced.
  clone.AddNode(std::make_unique<Node>("b3"));
  EXPECT_NE(clone.GetNode("b3", false, true, true), nullptr);
}

TEST_F(NodeSetTest, NukeNodeEndsOnACycleAndFailsWholeOnAMissingNode) {
  NodeSet set;
  BuildExample(set);
  // c1 -> c2 -> c3 -> c1, out of the tree, and c2 listing itself as well.
  for (const char* id : {"c1", "c2", "c3"}) set.AddNode(std::make_unique<Node>(id));
  set.GetNode("c1", false, false, false)->AddChild("c2");
  set.GetNode("c2", false, false, false)->AddChild("c3");
  set.GetNode("c2", false, false, false)->AddChild("c2");
  set.GetNode("c3", false, false, false)->AddChild("c1");
  platform.infos.clear();
  set.NukeNode("c2");
  EXPECT_EQ(platform.infos, (std::vector<std::string>{"Nuking: c2", "Nuking: c3", "Nuking: c1"}));
  for (const char* id : {"c1", "c2", "c3"}) EXPECT_EQ(set.GetNode(id, false, true, false), nullptr);
  EXPECT_EQ(set.TableSize(), 7u);
  EXPECT_NE(set.GetNode("a1", false, true, false), nullptr);

  // A child that is nowhere: nothing is nuked.
  set.GetNode("b3", false, false, false)->AddChild("gone");
  const std::string before = Dump(set);
  Outcome outcome = Attempt([&] { set.NukeNode("f2"); });
  EXPECT_EQ(outcome.kind, ErrorKind::NotFound);
  EXPECT_EQ(outcome.message, "Node not found: gone. Total nodes: 7. From: nodes6");
  EXPECT_EQ(Dump(set), before);
  EXPECT_NE(set.GetNode("f2", false, true, false), nullptr);
}

// ---- Copy on write --------------------------------------------------------------

// One random operation, applied the same way to two sets.
struct Op {
  enum Kind { Execute, Insert, Remove, Nuke, Sort, Rewrite, Place } kind = Execute;
  std::string action, id, pnid, bnid;
  Attributes args;
  int number = 0;  // the sort mode or the position
};

// The command's action, or the name of the operation.
std::string OpName(const Op& op) {
  static const char* kNames[] = {"Execute",    "InsertInParent",   "RemoveFromParent",
                                 "NukeNode",   "SortNodeChildren", "RewriteChildNodeOrder",
                                 "SetPosition"};
  return op.kind == Op::Execute ? op.action : kNames[op.kind];
}

std::string Describe(const Op& op) {
  std::string text = OpName(op) + " id=" + op.id + " pnid=" + op.pnid + " bnid=" + op.bnid +
                     " n=" + std::to_string(op.number);
  for (const auto& [key, value] : op.args) text += " " + key + "=" + value;
  return text;
}

void Apply(NodeSet& set, const Op& op) {
  switch (op.kind) {
    case Op::Execute:
      set.Execute(Command(op.action, op.id, op.args));
      break;
    case Op::Insert:
      set.InsertInParent(op.id, op.pnid, op.bnid);
      break;
    case Op::Remove:
      set.RemoveFromParent(op.id);
      break;
    case Op::Nuke:
      set.NukeNode(op.id);
      break;
    case Op::Sort:
      set.SortNodeChildren(op.number, *set.GetNode(op.id, true, false, true));
      break;
    case Op::Rewrite:
      set.RewriteChildNodeOrder(*set.GetNode(op.id, true, false, true));
      break;
    case Op::Place:
      set.GetNode(op.id, true, false, true)->SetPosition(op.number);
      break;
  }
}

class RandomOps {
 public:
  explicit RandomOps(uint32_t seed) : rng_(seed) {}

  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  // Mostly a node that `set` holds; else any id of the pool (the root and
  // n0..n24, some never in the tree) or, now and then, an empty one.
  std::string Id(const NodeSet& set, bool mayBeEmpty = true) {
    if (mayBeEmpty && Below(15) == 0) return "";
    std::vector<std::string> live;
    for (const auto& [id, node] : set.OwnTable())
      if (node) live.push_back(id);
    if (!live.empty() && Below(4) != 0)
      return live[static_cast<size_t>(Below(static_cast<int>(live.size())))];
    int pick = Below(26);
    return pick == 25 ? "ROOT" : "n" + std::to_string(pick);
  }
  std::string Name() {
    static const char* kNames[] = {"alpha", "Alpha", "beta", "Gamma", "", "Zeta", "delta"};
    return kNames[Below(7)];
  }
  // The operation is drawn with the help of `set` (the independent copy)
  // and then applied alike to both sets.
  Op Next(const NodeSet& set) {
    Op op;
    op.id = Id(set);
    switch (Below(16)) {
      case 0:
      case 1:
      case 2:
        op.action = "insert";
        op.args = {{"name", Name()}, {"pnid", Id(set)}};
        if (Below(3) == 0) op.args["ntype"] = "folder";
        if (Below(2) == 0) op.args["url"] = "http://e.example/" + std::to_string(Below(9));
        if (Below(4) == 0) op.args["bnid"] = Id(set);
        break;
      case 3:
        op.action = "delete";
        break;
      case 4:
      case 5:
        op.action = "move";
        op.args = {{"pnid", Id(set)}};
        if (Below(2) == 0) op.args["bnid"] = Id(set);
        break;
      case 6:
        op.action = "reorder";
        if (Below(3) != 0) op.args["bnid"] = Id(set);
        break;
      case 7:
        op.action = "update";
        if (Below(2) == 0) op.args["name"] = Name();
        if (Below(3) == 0) op.args["tags"] = Below(2) ? "a,b" : "";
        if (Below(4) == 0) op.args["url"] = "";
        if (Below(6) == 0) op.args["pnid"] = Id(set);
        break;
      case 8:
        op.kind = Op::Insert;
        op.pnid = Id(set);
        op.bnid = Below(3) == 0 ? Id(set) : "";
        break;
      case 9:
      case 10:
        op.kind = Op::Remove;
        break;
      case 11:
        // Leaves the parent listing tombstones: now and then only.
        op.kind = Below(3) == 0 ? Op::Nuke : Op::Remove;
        break;
      case 12:
        op.kind = Op::Sort;
        op.number = Below(3);
        break;
      case 13:
        op.kind = Op::Rewrite;
        break;
      default:
        op.kind = Op::Place;
        op.number = Below(8) - 1;
        break;
    }
    return op;
  }

 private:
  std::mt19937 rng_;
};

TEST_F(NodeSetTest, CloneMatchesAnIndependentCopyAndNeverChangesItsBase) {
  platform.infoEnabled = false;
  std::map<std::string, int> succeeded;  // by operation, over every seed
  for (int depth : {1, 2}) {
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
      SCOPED_TRACE(::testing::Message() << "seed " << seed << ", clone depth " << depth);
      RandomOps random(seed);
      NodeSet base;
      base.Execute(Command("insert", "ROOT", {{"name", "Favorites"}, {"ntype", "folder"}}));
      // A random starting tree of n0..n17, each under the root or an earlier
      // folder; n18..n24 are left for the operations to insert.
      std::vector<std::string> folders{"ROOT"};
      for (int i = 0; i < 18; ++i) {
        std::string id = "n" + std::to_string(i);
        Attributes args{
            {"name", random.Name()},
            {"pnid", folders[static_cast<size_t>(random.Below(static_cast<int>(folders.size())))]}};
        if (random.Below(3) == 0) {
          args["ntype"] = "folder";
          folders.push_back(id);
        }
        base.Execute(Command("insert", id, args));
      }
      base.SetRevision("77");
      base.SetUserHash("alice@example.com");
      const std::string baseJson = Dump(base);

      // At depth 2 the clone under test reads through an empty clone.
      NodeSet middle(&base);
      NodeSet clone(depth == 2 ? &middle : &base);
      NodeSet copy;
      copy.LoadFromJSON(base.ToJSON());
      ASSERT_EQ(Dump(clone), Dump(copy));

      int failures = 0;
      for (int step = 0; step < 300; ++step) {
        Op op = random.Next(copy);
        SCOPED_TRACE(::testing::Message() << "step " << step << ": " << Describe(op));
        const std::string copyBefore = Dump(copy);
        Outcome onClone = Attempt([&] { Apply(clone, op); });
        Outcome onCopy = Attempt([&] { Apply(copy, op); });
        ASSERT_EQ(onClone.threw, onCopy.threw) << onClone.message << " | " << onCopy.message;
        if (onCopy.threw) {
          ++failures;
          EXPECT_EQ(onClone.kind, onCopy.kind) << onClone.message << " | " << onCopy.message;
          ASSERT_EQ(Dump(copy), copyBefore) << "a failed operation changed the set";
        } else {
          ++succeeded[OpName(op)];
        }
        ASSERT_EQ(Dump(base), baseJson);
        ASSERT_EQ(middle.TableSize(), 0u);
        ASSERT_EQ(Dump(clone), Dump(copy));
      }
      // The walk must exercise both outcomes to mean anything.
      EXPECT_GT(failures, 20);
      EXPECT_LT(failures, 200);
      EXPECT_GT(clone.TableSize(), 0u);
    }
  }
  for (const char* name :
       {"insert", "delete", "move", "reorder", "update", "InsertInParent", "RemoveFromParent",
        "NukeNode", "SortNodeChildren", "RewriteChildNodeOrder", "SetPosition"})
    EXPECT_GT(succeeded[name], 5) << name;
}

TEST_F(NodeSetTest, ClonesTakeTheBasesUserAndRevision) {
  NodeSet base;
  BuildExample(base);
  NodeSet clone(&base);
  EXPECT_EQ(clone.GetUserHash(), "alice@example.com");
  EXPECT_EQ(clone.GetRevision(), "1042");
  EXPECT_EQ(clone.GetBaseSet(), &base);
  clone.SetRevision("1043");
  clone.SetUserHash("bob@example.com");
  EXPECT_EQ(base.GetRevision(), "1042");
  EXPECT_EQ(base.GetUserHash(), "alice@example.com");
  NodeSet plain;
  EXPECT_EQ(plain.GetUserHash(), "");
  EXPECT_EQ(plain.GetRevision(), "");
  EXPECT_EQ(plain.GetBaseSet(), nullptr);
}

// ---- Hashes ---------------------------------------------------------------------

void HashExample(NodeSet& set) {
  for (const char* id : {"a1", "b3", "f2", "ROOT"})
    set.GetNode(id, false, false, true)->ComputeHash(set);
}

std::string HashOf(NodeSet& set, const char* id) {
  return set.GetNode(id, false, false, true)->GetHash();
}

TEST_F(NodeSetTest, HashesOfTheExampleTree) {
  NodeSet set;
  BuildExample(set);
  EXPECT_EQ(HashOf(set, "a1"), "");
  HashExample(set);
  EXPECT_EQ(HashOf(set, "ROOT"), "3f35f662be39d1f40f3fb6a471747ff9");
  EXPECT_EQ(HashOf(set, "a1"), "11b5c5621346a924deb1c91a4497eb1c");
  EXPECT_EQ(HashOf(set, "f2"), "30633a20ea093e809d623a5b12a29396");
  EXPECT_EQ(HashOf(set, "b3"), "e84648621fe422ca5fc7f707c2564140");
  // The texts hashed: "id,url,name", then "_" and each child's hash.
  EXPECT_EQ(HashOf(set, "a1"), md5("a1,http://example.com/,Example"));
  EXPECT_EQ(HashOf(set, "f2"), md5("f2,,Links_e84648621fe422ca5fc7f707c2564140"));
  for (const std::string& line : platform.infos)
    EXPECT_EQ(line.rfind("Hashed", 0), std::string::npos) << line;

  // A child not hashed yet adds "_" alone.
  NodeSet fresh;
  BuildExample(fresh);
  fresh.GetNode("f2", false, false, true)->ComputeHash(fresh);
  EXPECT_EQ(HashOf(fresh, "f2"), md5("f2,,Links_"));
}

TEST_F(NodeSetTest, AChangedChildTitleChangesEveryFolderHashAbove) {
  NodeSet set;
  BuildExample(set);
  HashExample(set);
  const std::string root = HashOf(set, "ROOT"), f2 = HashOf(set, "f2"), a1 = HashOf(set, "a1");

  // Attributes other than url and name, and positions, do not count.
  set.GetNode("b3", false, false, true)->SetAttr("tags", "other");
  set.GetNode("b3", false, false, true)->SetAttr("modified", "99");
  set.GetNode("b3", false, false, true)->SetPosition(3);
  HashExample(set);
  EXPECT_EQ(HashOf(set, "ROOT"), root);

  set.GetNode("b3", false, false, true)->SetAttr("name", "News!");
  HashExample(set);
  EXPECT_NE(HashOf(set, "b3"), "e84648621fe422ca5fc7f707c2564140");
  EXPECT_NE(HashOf(set, "f2"), f2);
  EXPECT_NE(HashOf(set, "ROOT"), root);
  EXPECT_EQ(HashOf(set, "a1"), a1);

  set.GetNode("b3", false, false, true)->SetAttr("name", "News");
  HashExample(set);
  EXPECT_EQ(HashOf(set, "ROOT"), root);
  set.GetNode("b3", false, false, true)->SetAttr("url", "http://news.example/x");
  HashExample(set);
  EXPECT_NE(HashOf(set, "f2"), f2);
  EXPECT_NE(HashOf(set, "ROOT"), root);
}

TEST_F(NodeSetTest, MacFlavourLogsEachHash) {
  ScopedEngine mac(EngineFlavor::Mac(), platform);
  NodeSet set;
  BuildExample(set);
  platform.infos.clear();
  HashExample(set);
  EXPECT_EQ(platform.infos,
            (std::vector<std::string>{
                "Hashed a1,http://example.com/,Example as 11b5c5621346a924deb1c91a4497eb1c",
                "Hashed b3,http://news.example/,News as e84648621fe422ca5fc7f707c2564140",
                "Hashed f2,,Links_e84648621fe422ca5fc7f707c2564140 as "
                "30633a20ea093e809d623a5b12a29396",
                "Hashed ROOT,,Favorites_11b5c5621346a924deb1c91a4497eb1c_"
                "30633a20ea093e809d623a5b12a29396 as 3f35f662be39d1f40f3fb6a471747ff9"}));
  platform.infos.clear();
  platform.infoEnabled = false;
  HashExample(set);
  EXPECT_TRUE(platform.infos.empty());
}

// ---- Merge ----------------------------------------------------------------------

TEST_F(NodeSetTest, MergeTakesMissingAttributesAndUnitesTags) {
  struct Row {
    const char* what;
    Attributes mine, other, want;
  };
  const Row rows[] = {
      {"tags united and sorted",
       {{"tags", "b,a"}},
       {{"tags", "c,a"}},
       {{"tags", "a,b,c"}, {"ntype", "bookmark"}}},
      {"empty pieces left out",
       {{"tags", ",b,,a,"}},
       {{"tags", ",a"}},
       {{"tags", "a,b"}, {"ntype", "bookmark"}}},
      {"tags by UTF-16 units",
       {{"tags", "b"}},
       {{"tags", "B,\xC3\xA9"}},
       {{"tags", "B,b,\xC3\xA9"}, {"ntype", "bookmark"}}},
      {"empty tags count as present",
       {{"tags", ""}},
       {{"tags", "z,y"}},
       {{"tags", "y,z"}, {"ntype", "bookmark"}}},
      {"tags copied as they are when absent",
       {},
       {{"tags", "c,a"}},
       {{"tags", "c,a"}, {"ntype", "bookmark"}}},
      {"name kept", {{"name", "x"}}, {{"name", "y"}}, {{"name", "x"}, {"ntype", "bookmark"}}},
      {"empty attribute taken",
       {{"url", ""}, {"name", "x"}},
       {{"url", "http://u/"}, {"name", ""}},
       {{"url", "http://u/"}, {"name", "x"}, {"ntype", "bookmark"}}},
      {"missing attribute taken, own kept",
       {{"ntype", "folder"}, {"name", "x"}},
       {{"icon", "i.ico"}, {"ntype", "bookmark"}, {"visited", "5"}},
       {{"ntype", "folder"}, {"name", "x"}, {"icon", "i.ico"}, {"visited", "5"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Node mine("m", row.mine);
    mine.AddChild("c1");
    mine.SetPosition(2);
    Node other("o", row.other);
    other.AddChild("c2");
    mine.Merge(other);
    EXPECT_EQ(mine.Attrs(), row.want);
    EXPECT_EQ(mine.GetID(), "m");
    EXPECT_EQ(mine.RawChildren(), std::vector<std::string>{"c1"});
    EXPECT_EQ(mine.GetPosition(), 2);
  }
}

// ---- Orders of children ---------------------------------------------------------

// A folder P whose children are given as (id, name, folder?, position).
struct Child {
  const char* id;
  const char* name;
  bool folder;
  int position;
};

void BuildFolder(NodeSet& set, const std::vector<Child>& children) {
  set.AddNode(std::make_unique<Node>("P", Attributes{{"ntype", "folder"}}));
  for (const Child& c : children) {
    Attributes attributes{{"name", c.name}};
    if (c.folder) attributes["ntype"] = "folder";
    auto node = std::make_unique<Node>(c.id, attributes);
    node->SetPosition(c.position);
    set.AddNode(std::move(node));
    set.InsertInParent(c.id, "P", "");
  }
}

TEST_F(NodeSetTest, SortNodeChildrenByPositionAndByName) {
  struct Row {
    const char* what;
    int mode;
    std::vector<Child> children;
    std::vector<std::string> want;
  };
  const Row rows[] = {
      {"placed by position, then unplaced by id",
       1,
       {{"d", "", false, -5}, {"c", "", false, 1}, {"b", "", false, -5}, {"a", "", false, 0}},
       {"a", "c", "b", "d"}},
      {"unplaced ids by UTF-16 units",
       1,
       {{"\xC3\xA9", "", false, -5}, {"b", "", false, -5}, {"B", "", false, -5}},
       {"B", "b", "\xC3\xA9"}},
      {"equal positions keep their order",
       1,
       {{"y", "", false, 4}, {"x", "", false, 4}, {"z", "", false, 2}},
       {"z", "y", "x"}},
      {"folders first, names case-insensitive, stable",
       0,
       {{"n1", "beta", false, -5},
        {"n2", "alpha", false, -5},
        {"n3", "zeta", true, -5},
        {"n4", "Alpha", false, -5},
        {"n5", "Gamma", true, -5}},
       {"n5", "n3", "n2", "n4", "n1"}},
      {"any mode other than 1 sorts by name",
       7,
       {{"n1", "b", false, 0}, {"n2", "A", false, 1}},
       {"n2", "n1"}},
      {"positions do not count by name",
       2,
       {{"n1", "B", true, 0}, {"n2", "a", true, 1}, {"n3", "", false, 2}},
       {"n2", "n1", "n3"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NodeSet set;
    BuildFolder(set, row.children);
    set.SortNodeChildren(row.mode, *set.GetNode("P", false, false, false));
    EXPECT_EQ(Children(set, "P"), row.want);
  }
}

TEST_F(NodeSetTest, SortNodeChildrenFailsWholeOnAMissingChild) {
  NodeSet set;
  BuildFolder(set, {{"b", "b", false, -5}, {"a", "a", false, -5}});
  set.GetNode("P", false, false, false)->AddChild("gone");
  for (int mode : {1, 0}) {
    Outcome outcome =
        Attempt([&] { set.SortNodeChildren(mode, *set.GetNode("P", false, false, false)); });
    EXPECT_EQ(outcome.kind, ErrorKind::NotFound);
    EXPECT_EQ(outcome.message, std::string("Node not found: gone. Total nodes: 3. From: ") +
                                   (mode == 1 ? "nodes26" : "nodes28"));
    EXPECT_EQ(Children(set, "P"), (std::vector<std::string>{"b", "a", "gone"}));
  }
}

TEST_F(NodeSetTest, RewriteChildNodeOrderRecordsPositions) {
  NodeSet base;
  BuildFolder(base, {{"c", "Zed", false, -5}, {"a", "Mid", false, -5}, {"b", "Alpha", false, -5}});
  const std::string baseBefore = Dump(base);
  NodeSet clone(&base);
  Node* parent = clone.GetNode("P", true, false, true);
  clone.RewriteChildNodeOrder(*parent);
  EXPECT_EQ(clone.GetNode("c", false, false, true)->GetPosition(), 0);
  EXPECT_EQ(clone.GetNode("a", false, false, true)->GetPosition(), 1);
  EXPECT_EQ(clone.GetNode("b", false, false, true)->GetPosition(), 2);
  // The positions are the clone's: its base's nodes stay unplaced.
  EXPECT_EQ(base.GetNode("a", false, false, false)->GetPosition(), Node::kUnplaced);
  EXPECT_EQ(Dump(base), baseBefore);

  // A new child, unplaced, goes after the recorded order when sorted by
  // position; the recorded order survives a sort by name.
  clone.AddNode(std::make_unique<Node>("0new"));
  clone.InsertInParent("0new", "P", "c");
  clone.SortNodeChildren(0, *parent);
  EXPECT_EQ(Children(clone, "P"), (std::vector<std::string>{"0new", "b", "a", "c"}));
  clone.SortNodeChildren(1, *parent);
  EXPECT_EQ(Children(clone, "P"), (std::vector<std::string>{"c", "a", "b", "0new"}));
  EXPECT_EQ(Children(base, "P"), (std::vector<std::string>{"c", "a", "b"}));
}

TEST_F(NodeSetTest, NextSiblingFindsTheFirstLaterSiblingTheOtherSetHas) {
  NodeSet mine;
  BuildFolder(
      mine,
      {{"x", "", false, -5}, {"y", "", false, -5}, {"z", "", false, -5}, {"w", "", false, -5}});
  NodeSet other;
  BuildFolder(other, {{"w", "", false, -5}, {"x", "", false, -5}});
  EXPECT_EQ(mine.NextSibling("x", other), "w");
  EXPECT_EQ(mine.NextSibling("y", other), "w");
  EXPECT_EQ(mine.NextSibling("w", other), "");
  EXPECT_EQ(other.NextSibling("w", mine), "x");
  EXPECT_EQ(other.NextSibling("x", mine), "");
  EXPECT_EQ(platform.infos.back(), "Getting next sibling for: x");

  NodeSet empty;
  Outcome outcome = Attempt([&] { mine.NextSibling("x", empty); });
  EXPECT_EQ(outcome.kind, ErrorKind::NotFound);
  EXPECT_EQ(outcome.message, "Node not found: P. Total nodes: 0. From: nodes4");
  outcome = Attempt([&] { mine.NextSibling("P", other); });
  EXPECT_EQ(outcome.message, "Node not found: . Total nodes: 5. From: nodes3");
  outcome = Attempt([&] { mine.NextSibling("q", other); });
  EXPECT_EQ(outcome.message, "Node not found: q. Total nodes: 5. From: nodes2");
}

TEST_F(NodeSetTest, FindChildByNameMatchesNameAndFolderness) {
  NodeSet base;
  BuildFolder(base, {{"k1", "Links", false, -5},
                     {"k2", "Links", true, -5},
                     {"k3", "Links", true, -5},
                     {"k4", "links", true, -5}});
  NodeSet clone(&base);  // children are looked up through the base
  Node* parent = base.GetNode("P", false, false, false);
  EXPECT_EQ(parent->FindChildByName("Links", true, clone), base.GetNode("k2", false, false, false));
  EXPECT_EQ(parent->FindChildByName("Links", false, clone),
            base.GetNode("k1", false, false, false));
  EXPECT_EQ(parent->FindChildByName("links", false, clone), nullptr);
  EXPECT_EQ(parent->FindChildByName("Link", true, clone), nullptr);
  // "folder" exactly: another entry type is no folder.
  base.GetNode("k4", false, false, false)->SetAttr("ntype", "Folder");
  EXPECT_EQ(parent->FindChildByName("links", true, clone), nullptr);
  EXPECT_EQ(parent->FindChildByName("links", false, clone),
            base.GetNode("k4", false, false, false));
  EXPECT_EQ(clone.TableSize(), 0u);

  parent->AddChild("gone");
  Outcome outcome = Attempt([&] { parent->FindChildByName("none", false, base); });
  EXPECT_EQ(outcome.message, "Node not found: gone. Total nodes: 5. From: nodes1");
}

}  // namespace
}  // namespace tarvex
