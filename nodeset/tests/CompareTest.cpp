// The walk over a whole tree and the comparison of two trees into commands:
// the cases of each pass as tables over small trees, the listings of a tree
// (insert commands, hashes), decloning, the stripping of what the Favorites
// cannot hold, and trees that are not sound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/ReferenceCompare.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using testing::BuildTree;
using testing::Describe;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using testing::EngineError;
using testing::Snapshot;
using ::testing::StartsWith;

using Edit = std::function<void(NodeSet&)>;

// Sets (or, with "", removes) attributes of a node.
Edit Attr(std::string id, Attributes attributes) {
  return [=](NodeSet& set) { set.Do_update(id, attributes); };
}

// Turns bookmarks into entries of another type (without an address).
Edit Type(std::vector<std::string> ids, std::string ntype) {
  return [=](NodeSet& set) {
    for (const std::string& id : ids) set.Do_update(id, {{"ntype", ntype}, {"url", ""}});
  };
}

Edit Both(Edit first, Edit second) {
  return [=](NodeSet& set) {
    first(set);
    second(set);
  };
}

// A command in short: action, id and arguments; an insert shows only where
// it goes (its other arguments are checked separately).
std::string Show(const Command& command) {
  std::string out = command.GetAction() + " " + command.GetID();
  for (const auto& [key, value] : command.GetArgs())
    if (command.GetAction() != "insert" || key == "pnid" || key == "bnid")
      out += " " + key + "=" + value;
  return out;
}

std::vector<std::string> Show(const CommandSet& commands) {
  std::vector<std::string> out;
  for (const auto& command : commands.Commands()) out.push_back(Show(*command));
  return out;
}

std::string Text(const CommandSet& commands) {
  return WriteCompactJson(commands.ToJSON());
}

class CompareTest : public ::testing::Test {
 protected:
  testing::TestEnginePlatform platform;
  ScopedEngine engine{EngineFlavor::Windows(), platform};
};

// ---- Compare ---------------------------------------------------------------------

struct CompareCase {
  const char* what;
  const char* before;
  const char* after;
  std::vector<std::string> commands;
  Edit editBefore = nullptr;
  Edit editAfter = nullptr;
  // False when the trees differ only in ways that must not give commands.
  bool becomesEqual = true;
};

// Each case compares a clone of the first tree with the second: the commands
// are exactly the ones listed; the clone then equals the second tree (its
// base is untouched); the commands replay on a fresh copy of the first tree;
// inserts carry every attribute of the other tree's node; and the plain
// reference gives the very same commands.
TEST_F(CompareTest, CommandsForEachKindOfChange) {
  const CompareCase cases[] = {
      {"equal trees", "a f{b c} d", "a f{b c} d", {}},
      {"permuted children", "a b c", "c a b", {"reorder c bnid=a"}},
      {"reversed children", "a b c", "c b a", {"reorder c bnid=a", "reorder b bnid=a"}},
      {"new last child", "a b", "a b x", {"insert x bnid= pnid=ROOT"}},
      {"new first child", "a b", "x a b", {"insert x bnid=a pnid=ROOT"}},
      {"new children in the middle go before the next child already there",
       "a b",
       "a x y b",
       {"insert x bnid=b pnid=ROOT", "insert y bnid=b pnid=ROOT"}},
      {"reorder, then an insert placed by it",
       "a b c",
       "c x a b",
       {"reorder c bnid=a", "insert x bnid=a pnid=ROOT"}},
      {"new folder with children, parents first",
       "a",
       "a F{x G{y}}",
       {"insert F bnid= pnid=ROOT", "insert x bnid= pnid=F", "insert G bnid= pnid=F",
        "insert y bnid= pnid=G"}},
      {"bookmark moved from X to Y", "X{a b} Y{c}", "X{b} Y{c a}", {"move a bnid= pnid=Y"}},
      {"bookmark moved in front of a child of Y",
       "X{a} Y{c}",
       "X{} Y{a c}",
       {"move a bnid=c pnid=Y"}},
      {"bookmark moved up to the root", "a F{m}", "m a F{}", {"move m bnid=a pnid=ROOT"}},
      {"folder moved down, with its children", "a F{x} G{}", "a G{F{x}}", {"move F bnid= pnid=G"}},
      {"removed bookmark", "a b", "a", {"delete b"}},
      {"removed folder: one delete for the subtree", "a F{x G{y}}", "a", {"delete F"}},
      {"name with white space around it",
       "a b",
       "a b",
       {},
       nullptr,
       Attr("a", {{"name", " a\t"}}),
       false},
      {"name with the filler around it",
       "a b",
       "a b",
       {},
       nullptr,
       Attr("a", {{"name", "\u200Ba\u200B"}}),
       false},
      {"name of white space removed",
       "a b",
       "a b",
       {},
       Attr("a", {{"name", " "}}),
       Attr("a", {{"name", ""}}),
       false},
      {"name of white space given",
       "a b",
       "a b",
       {},
       Attr("a", {{"name", ""}}),
       Attr("a", {{"name", "\t "}}),
       false},
      {"name with a unique-file suffix",
       "a b",
       "a b",
       {},
       nullptr,
       Attr("a", {{"name", "a__12"}}),
       false},
      {"name changed", "a b", "a b", {"update a name=A"}, nullptr, Attr("a", {{"name", "A"}})},
      {"only modified changed", "a b", "a b", {}, nullptr, Attr("a", {{"modified", "5"}})},
      {"url and modified changed",
       "a b",
       "a b",
       {"update a modified=5 url=http://new/"},
       nullptr,
       Attr("a", {{"url", "http://new/"}, {"modified", "5"}})},
      {"attribute removed", "a b", "a b", {"update a tags="}, Attr("a", {{"tags", "x,y"}})},
      {"unimportant attribute removed alone", "a b", "a b", {}, Attr("a", {{"icon", "i"}})},
      {"url with a unique-file suffix is another address",
       "a",
       "a",
       {"update a url=http://a/page__2"},
       Attr("a", {{"url", "http://a/page"}}),
       Attr("a", {{"url", "http://a/page__2"}})},
      {"url with white space around it",
       "a",
       "a",
       {},
       nullptr,
       Attr("a", {{"url", " http://a/ "}}),
       false},
      {"url with the filler around it",
       "a",
       "a",
       {},
       nullptr,
       Attr("a", {{"url", "\u200Bhttp://a/\u200B"}}),
       false},
      {"bookmark that became a folder with children",
       "a b",
       "a b{x}",
       {"insert x bnid= pnid=b", "update b ntype=folder url="}},
      {"folder that became a bookmark",
       "a F{x}",
       "a x F",
       {"move x bnid=F pnid=ROOT", "update F ntype=bookmark url=http://F/"}},
      // Moving X into F while F is still below X makes a cycle for a moment;
      // the next move (F into R) resolves it. Peers replay the same commands.
      {"moves that pass through a cycle",
       "X{F{}} Q{}",
       "Q{R{F{X{}}}}",
       {"insert R bnid= pnid=Q", "move X bnid= pnid=F", "move F bnid= pnid=R"}},
  };
  for (const CompareCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto build = [&](NodeSet& set, const char* notation, const Edit& edit) {
      BuildTree(set, notation);
      if (edit) edit(set);
    };
    NodeSet base, other, peer, referenceBase;
    build(base, c.before, c.editBefore);
    build(other, c.after, c.editAfter);
    build(peer, c.before, c.editBefore);
    build(referenceBase, c.before, c.editBefore);
    const std::string baseText = Snapshot(base, true);

    NodeSet clone(&base);
    CommandSet commands = clone.Compare(other);
    EXPECT_THAT(Show(commands), ElementsAreArray(c.commands));
    if (c.becomesEqual) {
      EXPECT_EQ(Snapshot(clone), Snapshot(other));
    } else {
      EXPECT_EQ(Describe(clone), Describe(other));
    }
    EXPECT_EQ(Snapshot(base, true), baseText);

    peer.Execute(commands);
    EXPECT_EQ(Snapshot(peer, true), Snapshot(clone, true));

    for (const auto& command : commands.Commands()) {
      if (command->GetAction() != "insert") continue;
      Attributes want = other.GetNode(command->GetID(), false, false, true)->GetSafeAttrs();
      want["bnid"] = command->GetArg("bnid");
      EXPECT_EQ(command->GetArgs(), want) << command->GetID();
    }

    NodeSet reference(&referenceBase);
    EXPECT_EQ(Text(testing::ReferenceCompare(reference, other)), Text(commands));
  }
}

// A strict lookup that misses ends the walk with the not-found error naming
// the place of the lookup.
TEST_F(CompareTest, WalkErrors) {
  const struct {
    const char* what;
    std::function<void(NodeSet&)> run;
    ErrorKind kind;
    const char* start;
    const char* end;
  } cases[] = {
      {"compare of a tree without ROOT",
       [](NodeSet& set) {
         NodeSet other;
         BuildTree(other, "a");
         set.Compare(other);
       },
       ErrorKind::NotFound, "Node not found: ROOT.", "From: nodes9"},
      {"commands of a tree without ROOT", [](NodeSet& set) { set.ProvideCommandSet(); },
       ErrorKind::NotFound, "Node not found: ROOT.", "From: nodes8"},
      {"unknown walk mode", [](NodeSet& set) { set.OnTree("ROOT", 8, nullptr, nullptr, false); },
       ErrorKind::General, "Unknown walk mode: 8", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NodeSet set;
    if (c.kind == ErrorKind::General) BuildTree(set, "a");
    try {
      c.run(set);
      ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.kind, c.kind);
      EXPECT_THAT(e.what(), StartsWith(c.start));
      EXPECT_THAT(e.what(), EndsWith(c.end));
    }
  }
}

// ---- IntersectSets and FindBnid ------------------------------------------------

TEST_F(CompareTest, IntersectSetsKeepsTheOrderAndRepeatsOfTheFirstList) {
  using Ids = std::vector<std::string>;
  const struct {
    Ids a, b, want;
  } cases[] = {
      {{"a", "b", "c"}, {"c", "a"}, {"a", "c"}},
      {{"a", "b", "a"}, {"a"}, {"a", "a"}},
      {{"A", "b"}, {"a", "b"}, {"b"}},
      {{"a"}, {}, {}},
      {{}, {"a"}, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(NodeSet::IntersectSets(c.a, c.b), c.want) << ::testing::PrintToString(c.a);
}

TEST_F(CompareTest, FindBnidGivesTheFirstPresentChildFromTheIndexOn) {
  Node folder("f", {{"ntype", "folder"}});
  for (const char* id : {"a", "b", "c", "d"}) folder.AddChild(id);
  const std::vector<std::string> present{"d", "b"};
  const struct {
    size_t index;
    std::vector<std::string> present;
    const char* want;
  } cases[] = {
      {0, present, "b"}, {1, present, "b"}, {2, present, "d"}, {3, present, "d"},
      {4, present, ""},  {9, present, ""},  {0, {}, ""},       {0, {"B"}, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(NodeSet::FindBnid(c.index, folder, c.present), c.want) << c.index;
}

// ---- Listings: commands, hashes, decloning ---------------------------------------

TEST_F(CompareTest, ProvideCommandSetListsTheTreeParentsFirst) {
  NodeSet root;
  BuildTree(root, "");
  CommandSet only = root.ProvideCommandSet();
  ASSERT_EQ(only.GetSize(), 1u);
  EXPECT_EQ(only.GetAt(0)->GetAction(), "insert");
  EXPECT_EQ(only.GetAt(0)->GetID(), "ROOT");
  EXPECT_EQ(only.GetAt(0)->GetArgs(), (Attributes{{"name", "Favorites"}, {"ntype", "folder"}}));

  NodeSet set;
  BuildTree(set, "a F{b G{c}} d");
  CommandSet commands = set.ProvideCommandSet();
  EXPECT_THAT(Show(commands), ElementsAre("insert ROOT", "insert a pnid=ROOT", "insert F pnid=ROOT",
                                          "insert d pnid=ROOT", "insert b pnid=F",
                                          "insert G pnid=F", "insert c pnid=G"));
  NodeSet rebuilt;
  rebuilt.Execute(commands);
  EXPECT_EQ(Snapshot(rebuilt, true), Snapshot(set, true));
}

// Each hash is taken over the hashes its children have at the end, which
// holds only when every child is hashed before its parent.
TEST_F(CompareTest, HashTreeHashesChildrenBeforeTheirParent) {
  NodeSet set;
  BuildTree(set, "a F{b G{c H{d}}} e");
  set.HashTree();
  for (const char* id : {"ROOT", "a", "F", "b", "G", "c", "H", "d", "e"}) {
    Node* node = set.GetNode(id, false, false, true);
    std::string text = std::string(id) + "," + node->GetAttr("url") + "," + node->GetAttr("name");
    for (const std::string& child : node->RawChildren())
      text += "_" + set.GetNode(child, false, false, true)->GetHash();
    EXPECT_EQ(node->GetHash(), md5(text)) << id;
  }
}

// The hash entries the server compares: exact hashes of the example tree,
// one entry per node, level by level.
TEST_F(CompareTest, ProvideHashesOfTheExampleTree) {
  const char* const example =
      R"({"_nodes":[{"children":["a1","f2"],"name":"Favorites","nid":"ROOT","ntype":"folder",)"
      R"("tnid":"f2"},{"created":1262304000,"modified":0,"name":"Example","nid":"a1",)"
      R"("ntype":"bookmark","pnid":"ROOT","url":"http://example.com/"},{"name":"News",)"
      R"("nid":"b3","ntype":"bookmark","pnid":"f2","tags":"daily,world",)"
      R"("url":"http://news.example/"},{"children":["b3"],"name":"Links","nid":"f2",)"
      R"("ntype":"folder","pnid":"ROOT"}],"currentRevision":"1042",)"
      R"("userHash":"alice@example.com","version":"1.3.5"})";
  const char* const hashes =
      R"([{"children":["a1","f2"],"hash":"3f35f662be39d1f40f3fb6a471747ff9","nid":"ROOT","pnid":""},)"
      R"({"children":[],"hash":"11b5c5621346a924deb1c91a4497eb1c","nid":"a1","pnid":"ROOT"},)"
      R"({"children":["b3"],"hash":"30633a20ea093e809d623a5b12a29396","nid":"f2","pnid":"ROOT"},)"
      R"({"children":[],"hash":"e84648621fe422ca5fc7f707c2564140","nid":"b3","pnid":"f2"}])";
  Json::Value tree, want;
  ASSERT_TRUE(ParseJson(example, &tree, nullptr));
  ASSERT_TRUE(ParseJson(hashes, &want, nullptr));
  NodeSet set;
  set.LoadFromJSON(tree);
  set.HashTree();
  set.ProvideHashes();
  // A second call starts again from an empty list.
  EXPECT_EQ(WriteCompactJson(set.ProvideHashes()), WriteCompactJson(want));
}

TEST_F(CompareTest, DecloneCopiesEveryReachableNodeAndDropsTheBase) {
  NodeSet base;
  BuildTree(base, "a F{b G{c}} d");
  const std::string baseText = Snapshot(base, true);
  NodeSet clone(&base);
  clone.Do_update("b", {{"name", "B"}});
  clone.Do_insert("x", {{"pnid", "G"}, {"name", "x"}});
  clone.Do_delete("d");
  const std::string cloneText = Snapshot(clone, true);

  clone.Declone();
  EXPECT_EQ(clone.GetBaseSet(), nullptr);
  EXPECT_EQ(Snapshot(clone, true), cloneText);
  EXPECT_EQ(Snapshot(base, true), baseText);
  std::set<std::string> own;
  for (const auto& [id, node] : clone.OwnTable())
    if (node) own.insert(id);
  EXPECT_EQ(own, (std::set<std::string>{"ROOT", "a", "F", "b", "G", "c", "x"}));

  // The clone no longer reads through: changing the old base leaves it be.
  base.Do_update("a", {{"name", "changed"}});
  base.Do_delete("F");
  EXPECT_EQ(Snapshot(clone, true), cloneText);

  // Without a base there is nothing to do.
  NodeSet plain;
  BuildTree(plain, "a F{b}");
  const size_t size = plain.TableSize();
  plain.Declone();
  EXPECT_EQ(plain.TableSize(), size);
}

// ---- Stripping what the Favorites cannot hold -------------------------------------

// Each case strips a tree (ROOT without a name unless the case gives one) and
// checks the collected commands and the stripped tree; executing the
// commands from the last to the first gives the tree back.
TEST_F(CompareTest, CleanNonIEDataStripsAndCollectsTheWayBack) {
  const struct {
    const char* what;
    const char* tree;
    Edit edit;
    std::vector<std::string> commands;
    const char* stripped;
  } cases[] = {
      {"root name",
       "a",
       Attr("ROOT", {{"name", "Favorites"}}),
       {"update ROOT name=Favorites"},
       "a"},
      {"separator", "a s b", Type({"s"}, "separator"), {"insert s bnid=b pnid=ROOT"}, "a b"},
      {"consecutive separators",
       "a s t b",
       Type({"s", "t"}, "separator"),
       {"insert s bnid=t pnid=ROOT", "insert t bnid=b pnid=ROOT"},
       "a b"},
      {"separator last in a folder",
       "F{x s}",
       Type({"s"}, "separator"),
       {"insert s pnid=F"},
       "F{x}"},
      {"query", "q a", Type({"q"}, "query"), {"insert q bnid=a pnid=ROOT"}, "a"},
      // What a query holds goes and comes back with it.
      {"query holding bookmarks and a folder",
       "q{x G{y s} z} a",
       Both(Type({"q"}, "query"), Type({"s"}, "separator")),
       {"insert z pnid=q", "insert s pnid=G", "insert y pnid=G", "insert G pnid=q",
        "insert x pnid=q", "insert q bnid=a pnid=ROOT"},
       "a"},
      {"empty unfiled folder",
       "a U{} b",
       Attr("ROOT", {{"unid", "U"}}),
       {"update ROOT unid=U", "insert U bnid=b pnid=ROOT"},
       "a b"},
      {"unfiled folder with children stays",
       "U{x} a",
       Attr("ROOT", {{"unid", "U"}}),
       {"update ROOT unid=U"},
       "U{x} a"},
      {"unfiled folder holding a separator stays",
       "U{s}",
       Both(Attr("ROOT", {{"unid", "U"}}), Type({"s"}, "separator")),
       {"update ROOT unid=U", "insert s pnid=U"},
       "U{}"},
      {"all at once",
       "s U{} t F{q x}",
       Both(Attr("ROOT", {{"unid", "U"}, {"name", "Favorites"}}),
            Both(Type({"s", "t"}, "separator"), Type({"q"}, "query"))),
       {"update ROOT name=Favorites", "insert s bnid=U pnid=ROOT", "update ROOT unid=U",
        "insert U bnid=t pnid=ROOT", "insert t bnid=F pnid=ROOT", "insert q bnid=x pnid=F"},
       "F{x}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NodeSet set;
    BuildTree(set, c.tree);
    set.Do_update("ROOT", {{"name", ""}});
    c.edit(set);
    const std::string before = Snapshot(set, true);

    CommandSet commands;
    set.OnTree("ROOT", NodeSet::kCleanNonIEData, nullptr, &commands, false);
    EXPECT_THAT(Show(commands), ElementsAreArray(c.commands));
    EXPECT_EQ(Describe(set), c.stripped);
    EXPECT_FALSE(set.GetNode("ROOT", false, false, true)->HasAttr("unid"));

    for (size_t i = commands.GetSize(); i-- > 0;) set.Execute(*commands.GetAt(i));
    EXPECT_EQ(Snapshot(set, true), before);
  }
}

// ---- Trees that are not sound ------------------------------------------------------

// Trees built by hand, past the checks of loading: cycles, a node listed
// twice. Every walk ends, with an error or a result; a walk that ends steps
// each node at most once.
TEST_F(CompareTest, WalksOverUnsoundTreesEnd) {
  using Shape = std::vector<std::pair<std::string, std::vector<std::string>>>;
  const struct {
    const char* what;
    Shape nodes;  // id and children; the parent is the first node listing it
  } shapes[] = {
      {"cycle below the root", {{"ROOT", {"A"}}, {"A", {"B"}}, {"B", {"A"}}}},
      {"node holding itself", {{"ROOT", {"A"}}, {"A", {"A", "B"}}, {"B", {}}}},
      {"node listed twice", {{"ROOT", {"A", "A"}}, {"A", {"B"}}, {"B", {}}}},
      {"cycle through the root", {{"ROOT", {"A"}}, {"A", {"ROOT"}}}},
  };
  auto make = [](NodeSet& set, const Shape& shape) {
    std::map<std::string, std::string> parent;
    for (const auto& [id, children] : shape)
      for (const std::string& child : children) parent.emplace(child, id);
    for (const auto& [id, children] : shape) {
      Attributes attributes{{"ntype", "folder"}, {"name", id}};
      if (id != "ROOT") attributes["pnid"] = parent[id];
      auto node = std::make_unique<Node>(id, attributes);
      for (const std::string& child : children) node->AddChild(child);
      set.AddNode(std::move(node));
    }
  };
  // Each operation gives the ids it stepped, when it can tell.
  const struct {
    const char* what;
    std::function<std::vector<std::string>(NodeSet& unsound, NodeSet& sound)> run;
  } operations[] = {
      {"compare with a sound tree",
       [](NodeSet& unsound, NodeSet& sound) {
         unsound.Compare(sound);
         return std::vector<std::string>{};
       }},
      {"compare a sound tree with it",
       [](NodeSet& unsound, NodeSet& sound) {
         sound.Compare(unsound);
         return std::vector<std::string>{};
       }},
      {"insert commands",
       [](NodeSet& unsound, NodeSet&) {
         std::vector<std::string> ids;
         CommandSet commands = unsound.ProvideCommandSet();
         for (const auto& command : commands.Commands()) ids.push_back(command->GetID());
         return ids;
       }},
      {"hashes",
       [](NodeSet& unsound, NodeSet&) {
         unsound.HashTree();
         std::vector<std::string> ids;
         for (const Json::Value& entry : unsound.ProvideHashes())
           ids.push_back(entry["nid"].asString());
         return ids;
       }},
      {"declone",
       [](NodeSet& unsound, NodeSet&) {
         NodeSet clone(&unsound);
         clone.Declone();
         return std::vector<std::string>{};
       }},
      {"strip",
       [](NodeSet& unsound, NodeSet&) {
         CommandSet commands;
         unsound.OnTree("ROOT", NodeSet::kCleanNonIEData, nullptr, &commands, false);
         return std::vector<std::string>{};
       }},
  };
  for (const auto& shape : shapes) {
    for (const auto& operation : operations) {
      SCOPED_TRACE(std::string(shape.what) + ": " + operation.what);
      NodeSet unsound, sound;
      make(unsound, shape.nodes);
      BuildTree(sound, "A{B{}}");
      try {
        std::vector<std::string> ids = operation.run(unsound, sound);
        std::set<std::string> once(ids.begin(), ids.end());
        EXPECT_EQ(once.size(), ids.size()) << ::testing::PrintToString(ids);
      } catch (const EngineError&) {
        // An error is an acceptable end.
      }
    }
  }
}

}  // namespace
}  // namespace tarvex
