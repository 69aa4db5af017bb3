// Repairing a tree from the server's description of it: the commands that
// give a folder the server's order of children, the repair and rebase
// commands built from small replies, the replies the repair refuses, and a
// randomised round trip in which a damaged local tree with local-only nodes
// becomes the server's tree again without losing a local node.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using testing::BuildTree;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::EngineError;
using ::testing::IsEmpty;
using testing::Reachable;
using ::testing::StartsWith;
using testing::TestEnginePlatform;

Node* Get(NodeSet& set, std::string_view id) {
  return set.GetNode(id, false, false, true);
}

// One line per command: the action, the id and each argument as key=value.
std::vector<std::string> Listing(const CommandSet& commands) {
  std::vector<std::string> lines;
  for (const auto& command : commands.Commands()) {
    std::string line = command->GetAction() + " " + command->GetID();
    for (const auto& [key, value] : command->GetArgs()) line += " " + key + "=" + value;
    lines.push_back(line);
  }
  return lines;
}

// The tree in the notation of BuildTree; a node shows its children when it
// is a folder or has any (a node the repair inserted is no folder).
std::string Shape(NodeSet& set, std::string_view id = "ROOT") {
  std::string out;
  for (const std::string& child : Get(set, id)->RawChildren()) {
    Node* node = Get(set, child);
    if (!out.empty()) out += " ";
    out += child;
    if (node->IsFolder() || node->GetChildLength() > 0) out += "{" + Shape(set, child) + "}";
  }
  return out;
}

Json::Value Parse(std::string_view text) {
  Json::Value value;
  std::string error;
  if (!ParseJson(text, &value, &error)) throw std::invalid_argument("bad fixture: " + error);
  return value;
}

class RepairTest : public ::testing::Test {
 protected:
  TestEnginePlatform platform;
  ScopedEngine engine{EngineFlavor::Windows(), platform};
};

// ---- Child order -------------------------------------------------------------------

TEST_F(RepairTest, ChildOrderExamples) {
  const struct {
    const char* what;
    const char* tree;
    const char* parent;
    std::vector<std::string> current;
    std::vector<std::string> wanted;
    std::vector<std::string> commands;
    const char* after;
  } cases[] = {
      {"the wanted order already", "a b c", "ROOT", {"a", "b", "c"}, {"a", "b", "c"}, {}, "a b c"},
      {"two swapped",
       "b a",
       "ROOT",
       {"b", "a"},
       {"a", "b"},
       {"reorder b bnid=", "reorder a bnid=b"},
       "a b"},
      {"a child of another folder moves in before the one after it",
       "f{a c} b",
       "f",
       {"a", "c"},
       {"a", "b", "c"},
       {"reorder c bnid=", "move b bnid=c pnid=f"},
       "f{a b c}"},
      {"into a folder without children",
       "f{} a b",
       "f",
       {},
       {"b", "a"},
       {"move a bnid= pnid=f", "move b bnid=a pnid=f"},
       "f{b a}"},
      {"unlisted children are left where they are",
       "a x b",
       "ROOT",
       {"a", "x", "b"},
       {"a", "b"},
       {"reorder b bnid="},
       "a x b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NodeSet set;
    BuildTree(set, c.tree);
    const std::string before = Shape(set);
    CommandSet commands;
    set.RepairChildOrder(c.parent, c.current, c.wanted, commands);
    EXPECT_THAT(Listing(commands), ElementsAreArray(c.commands));
    EXPECT_EQ(Shape(set), before) << "nothing is executed here";
    set.Execute(commands);
    EXPECT_EQ(Shape(set), c.after);
  }
}

TEST_F(RepairTest, ChildOrderOfAMissingNodeFails) {
  NodeSet set;
  BuildTree(set, "a");
  CommandSet commands;
  try {
    set.RepairChildOrder("ROOT", {"a"}, {"a", "zz"}, commands);
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.kind, ErrorKind::NotFound);
    EXPECT_THAT(e.what(), StartsWith("Node not found: zz."));
    EXPECT_THAT(e.what(), ::testing::Not(::testing::HasSubstr("From:")));
  }
}

// For random folders and wanted orders (some of this folder's children,
// some of another's, shuffled), the executed commands leave the wanted
// children in the wanted order; every other child of the folder is one it
// held and the wanted ones did not name (left for the repair's deletes);
// the other folder keeps the rest in its order.
TEST_F(RepairTest, ChildOrderProperty) {
  platform.infoEnabled = false;
  for (uint32_t round = 0; round < 500; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::mt19937 rng(round);
    std::string notation = "p{";
    const int mine = static_cast<int>(rng() % 7), others = static_cast<int>(rng() % 4);
    for (int i = 0; i < mine; ++i) notation += " a" + std::to_string(i);
    notation += "} q{";
    for (int i = 0; i < others; ++i) notation += " b" + std::to_string(i);
    notation += "}";
    NodeSet set;
    BuildTree(set, notation);
    const std::vector<std::string> current = Get(set, "p")->RawChildren();
    const std::vector<std::string> q = Get(set, "q")->RawChildren();
    std::vector<std::string> wanted;
    for (const auto* list : {&current, &q})
      for (const std::string& id : *list)
        if (rng() % 4 != 0) wanted.push_back(id);
    std::shuffle(wanted.begin(), wanted.end(), rng);

    CommandSet commands;
    set.RepairChildOrder("p", current, wanted, commands);
    set.Execute(commands);

    const std::vector<std::string>& after = Get(set, "p")->RawChildren();
    const std::set<std::string> wantedSet(wanted.begin(), wanted.end());
    std::vector<std::string> listed, unlisted, restOfQ;
    for (const std::string& id : after) (wantedSet.count(id) ? listed : unlisted).push_back(id);
    EXPECT_EQ(listed, wanted);
    for (const std::string& id : unlisted)
      EXPECT_NE(std::find(current.begin(), current.end(), id), current.end()) << id;
    for (const std::string& id : current) {
      if (!wantedSet.count(id)) {
        EXPECT_TRUE(Get(set, "p")->HasChild(id)) << id;
      }
    }
    for (const std::string& id : q)
      if (!wantedSet.count(id)) restOfQ.push_back(id);
    EXPECT_EQ(Get(set, "q")->RawChildren(), restOfQ);
  }
}

// ---- Rebase listing ----------------------------------------------------------------

TEST_F(RepairTest, InsertCommandsListASubtreeButNotWhatTheServerListed) {
  NodeSet set;
  BuildTree(set, "f{b g{c} h{d} e}");
  CommandSet all, some;
  set.AddInsertCommands("f", all, {});
  set.AddInsertCommands("f", some, {{"g", "0"}, {"d", "1"}, {"b", "1"}});
  EXPECT_THAT(Listing(all), ElementsAre("insert f name=f ntype=folder pnid=ROOT",
                                        "insert b name=b ntype=bookmark pnid=f url=http://b/",
                                        "insert g name=g ntype=folder pnid=f",
                                        "insert c name=c ntype=bookmark pnid=g url=http://c/",
                                        "insert h name=h ntype=folder pnid=f",
                                        "insert d name=d ntype=bookmark pnid=h url=http://d/",
                                        "insert e name=e ntype=bookmark pnid=f url=http://e/"));
  EXPECT_THAT(Listing(some), ElementsAre("insert f name=f ntype=folder pnid=ROOT",
                                         "insert b name=b ntype=bookmark pnid=f url=http://b/",
                                         "insert h name=h ntype=folder pnid=f",
                                         "insert d name=d ntype=bookmark pnid=h url=http://d/",
                                         "insert e name=e ntype=bookmark pnid=f url=http://e/"));
}

// ---- Repair commands from small replies ---------------------------------------------

TEST_F(RepairTest, Replies) {
  const struct {
    const char* what;
    const char* local;
    const char* reply;
    std::vector<std::string> repair;
    std::vector<std::string> rebase;
    const char* built;     // the tree when the call returns
    const char* repaired;  // after the repair commands
    const char* rebased;   // after the rebase commands, on a clone
  } cases[] = {
      {"no updates", "a f{b}", R"({"status":0})", {}, {}, "a f{b}", "a f{b}", "a f{b}"},
      {"empty updates", "a f{b}", R"({"updates":[]})", {}, {}, "a f{b}", "a f{b}", "a f{b}"},
      {"null updates", "a f{b}", R"({"updates":null})", {}, {}, "a f{b}", "a f{b}", "a f{b}"},
      {"a missing node is inserted under ROOT at once",
       "a",
       R"({"updates":[{"nid":"c","name":"C","url":"http://c/","created":5,"pnid":"a",
                       "bnid":"a","hash":"0f","children":[]},
                      {"nid":"ROOT","name":"Favorites","children":["a","c"]}]})",
       {"insert c created=5 name=C ntype=bookmark pnid=ROOT url=http://c/"},
       {},
       "a c",
       "a c",
       "a c"},
      {"a missing node takes its listed children in",
       "a f{b}",
       R"({"updates":[{"nid":"g","name":"G","children":["b","a"]}]})",
       {"insert g name=G ntype=folder pnid=ROOT", "move a bnid= pnid=g", "move b bnid=a pnid=g"},
       {},
       "a f{b} g{}",
       "f{} g{b a}",
       "f{} g{b a}"},
      {"nothing differs",
       "a f{b c}",
       R"({"updates":[{"nid":"b","name":"b","url":"http://b/"},
                      {"nid":"c","name":"c","url":"http://c/","children":[]},
                      {"nid":"f","name":"f","children":["b","c"]},
                      {"nid":"a","name":"a","url":"http://a/"},
                      {"nid":"ROOT","name":"Favorites","children":["a","f"]}]})",
       {},
       {},
       "a f{b c}",
       "a f{b c}",
       "a f{b c}"},
      {"only the address differs",
       "a",
       R"({"updates":[{"nid":"a","name":"a","url":"http://n/"}]})",
       {"update a url=http://n/"},
       {},
       "a",
       "a",
       "a"},
      {"a name the server lacks is removed",
       "a",
       R"({"updates":[{"nid":"a","url":"http://a/"}]})",
       {"update a name="},
       {},
       "a",
       "a",
       "a"},
      {"order and name of an existing folder",
       "a b",
       R"({"updates":[{"nid":"ROOT","name":"Favs","children":["b","a"]}]})",
       {"reorder a bnid=", "reorder b bnid=a", "update ROOT name=Favs"},
       {},
       "a b",
       "b a",
       "b a"},
      {"unlisted children are deleted in ascending id order",
       "b a",
       R"({"updates":[{"nid":"ROOT","name":"Favorites","children":[]}]})",
       {"delete a", "delete b"},
       {"insert a name=a ntype=bookmark pnid=ROOT url=http://a/",
        "insert b name=b ntype=bookmark pnid=ROOT url=http://b/"},
       "b a",
       "",
       "a b"},
      {"a nested local-only folder comes back whole",
       "a1 fo{b3} z7{z8{z9}}",
       R"({"updates":[{"nid":"c4","name":"Weather","url":"http://weather.example/"},
                      {"nid":"fo","name":"fo","children":["c4","b3"]},
                      {"nid":"ROOT","name":"Favorites","children":["a1","fo"]}]})",
       {"insert c4 name=Weather ntype=bookmark pnid=ROOT url=http://weather.example/",
        "reorder b3 bnid=", "move c4 bnid=b3 pnid=fo", "delete z7"},
       {"insert z7 name=z7 ntype=folder pnid=ROOT", "insert z8 name=z8 ntype=folder pnid=z7",
        "insert z9 name=z9 ntype=bookmark pnid=z8 url=http://z9/"},
       "a1 fo{b3} z7{z8{z9}} c4",
       "a1 fo{c4 b3}",
       "a1 fo{c4 b3} z7{z8{z9}}"},
      {"a child that a later element lists is not deleted",
       "f{a} g{}",
       R"({"updates":[{"nid":"f","name":"f","children":[]},
                      {"nid":"g","name":"g","children":["a"]}]})",
       {"move a bnid= pnid=g"},
       {},
       "f{a} g{}",
       "f{} g{a}",
       "f{} g{a}"},
      {"a delete below another delete is left out",
       "a{e{b}}",
       R"({"updates":[{"nid":"e","name":"e","children":[]},
                      {"nid":"ROOT","name":"Favorites","children":[]}]})",
       {"delete a"},
       {"insert a name=a ntype=folder pnid=ROOT"},
       "a{e{b}}",
       "",
       "a{}"},
      {"below another delete once the listed nodes have moved",
       "a{g{}} e{b}",
       R"({"updates":[{"nid":"e","name":"e","children":[]},
                      {"nid":"g","name":"g","children":["e"]},
                      {"nid":"ROOT","name":"Favorites","children":[]}]})",
       {"move e bnid= pnid=g", "delete a"},
       {"insert a name=a ntype=folder pnid=ROOT"},
       "a{g{}} e{b}",
       "",
       "a{}"},
      {"no longer below another delete once the listed nodes have moved",
       "a{e{b}}",
       R"({"updates":[{"nid":"e","name":"e","children":[]},
                      {"nid":"ROOT","name":"Favorites","children":["e"]}]})",
       {"move e bnid= pnid=ROOT", "delete a", "delete b"},
       {"insert a name=a ntype=folder pnid=ROOT",
        "insert b name=b ntype=bookmark pnid=e url=http://b/"},
       "a{e{b}}",
       "e{}",
       "e{b} a{}"},
      {"children listed before their parents",
       "a",
       R"({"updates":[{"nid":"c","name":"c"},{"nid":"f","name":"f","children":["c"]}]})",
       {"insert c name=c ntype=folder pnid=ROOT", "insert f name=f ntype=folder pnid=ROOT",
        "move c bnid= pnid=f"},
       {},
       "a c{} f{}",
       "a f{c{}}",
       "a f{c{}}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NodeSet set;
    BuildTree(set, c.local);
    CommandSet repair, rebase;
    set.BuildRepairCommands(Parse(c.reply), repair, rebase);
    EXPECT_THAT(Listing(repair), ElementsAreArray(c.repair));
    EXPECT_THAT(Listing(rebase), ElementsAreArray(c.rebase));
    EXPECT_EQ(Shape(set), c.built);
    set.Execute(repair);
    EXPECT_EQ(Shape(set), c.repaired);
    NodeSet rebased(&set);
    rebased.Execute(rebase);
    EXPECT_EQ(Shape(rebased), c.rebased);
  }
}

// A node the repair inserts carries the element's members as attributes,
// but never its id, children, place before a sibling or hash.
TEST_F(RepairTest, AnInsertedNodeHoldsOnlyAttributes) {
  NodeSet set;
  BuildTree(set, "a");
  CommandSet repair, rebase;
  set.BuildRepairCommands(
      Parse(R"({"updates":[{"nid":"c","name":"C","url":"http://c/","created":5,"flag":true,
                             "note":null,"pnid":"a","bnid":"a","hash":"0f","children":[]}]})"),
      repair, rebase);
  EXPECT_EQ(Get(set, "c")->Attrs(), (Attributes{{"created", "5"},
                                                {"flag", "true"},
                                                {"name", "C"},
                                                {"note", ""},
                                                {"ntype", "bookmark"},
                                                {"pnid", "ROOT"},
                                                {"url", "http://c/"}}));
  EXPECT_EQ(Json::FastWriter().write(Get(set, "c")->ToJSON()),
            "{\"created\":5,\"flag\":\"true\",\"name\":\"C\",\"nid\":\"c\",\"note\":\"\","
            "\"ntype\":\"bookmark\",\"pnid\":\"ROOT\",\"url\":\"http://c/\"}\n");
}

// A reply that does not name a node's kind: a node without an address is a
// folder, and keeps the children the reply lists; a named kind stands.
TEST_F(RepairTest, AnInsertedNodeKeepsItsKind) {
  NodeSet set;
  BuildTree(set, "a");
  CommandSet repair, rebase;
  set.BuildRepairCommands(Parse(R"({"updates":[{"nid":"d","name":"D","url":"http://d/"},
                           {"nid":"s","ntype":"separator","name":"---"},
                           {"nid":"f","name":"F","children":["d","s"]}]})"),
                          repair, rebase);
  EXPECT_EQ(Get(set, "f")->GetAttr("ntype"), "folder");
  set.Execute(repair);
  EXPECT_EQ(Get(set, "f")->RawChildren(), (std::vector<std::string>{"d", "s"}));
  EXPECT_EQ(Get(set, "d")->GetAttr("ntype"), "bookmark");
  EXPECT_EQ(Get(set, "s")->GetAttr("ntype"), "separator");
}

// Replies the repair cannot use: the error goes to the caller; what was
// already inserted stays, as do the commands made so far.
TEST_F(RepairTest, RefusedReplies) {
  enum Error { NotFound, General, Library };
  const struct {
    const char* what;
    const char* reply;
    Error error;
    const char* message;  // its start
    const char* built;
    std::vector<std::string> repair;
  } cases[] = {
      {"a child id the tree lacks",
       R"({"updates":[{"nid":"ROOT","children":["a","zz"]}]})",
       NotFound,
       "Node not found: zz. Total nodes: ",
       "a",
       {}},
      {"a parent listed before its new child",
       R"({"updates":[{"nid":"f","name":"f","children":["c"]},{"nid":"c","name":"c"}]})",
       NotFound,
       "Node not found: c. Total nodes: ",
       "a f{}",
       {"insert f name=f ntype=folder pnid=ROOT"}},
      {"a real number as the name of a missing node",
       R"({"updates":[{"nid":"c","name":1.5}]})",
       Library,
       "Type is not convertible to string",
       "a",
       {}},
      {"a real number as the name of an existing node",
       R"({"updates":[{"nid":"a","name":1.5}]})",
       Library,
       "Type is not convertible to string",
       "a",
       {}},
      {"an address that is a list",
       R"({"updates":[{"nid":"a","url":["http://a/"]}]})",
       Library,
       "Type is not convertible to string",
       "a",
       {}},
      {"a control character in an element's id",
       R"({"updates":[{"nid":"c\u0001","name":"x"}]})",
       General,
       "Invalid node id in repair reply",
       "a",
       {}},
      {"an element without an id",
       R"({"updates":[{"name":"x"}]})",
       General,
       "Invalid node id in repair reply",
       "a",
       {}},
      {"a control character in a child id",
       R"({"updates":[{"nid":"ROOT","children":["a\n"]}]})",
       General,
       "Invalid node id in repair reply",
       "a",
       {}},
      {"children that are no list",
       R"({"updates":[{"nid":"ROOT","children":"a"}]})",
       General,
       "Invalid repair reply",
       "a",
       {}},
      {"updates that are no list",
       R"({"updates":{"x":{"nid":"c"}}})",
       General,
       "Invalid repair reply",
       "a",
       {}},
      {"an element that is no object",
       R"({"updates":["c"]})",
       General,
       "Invalid repair reply",
       "a",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NodeSet set;
    BuildTree(set, "a");
    CommandSet repair, rebase;
    try {
      set.BuildRepairCommands(Parse(c.reply), repair, rebase);
      ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
      EXPECT_EQ(c.error, e.kind == ErrorKind::NotFound ? NotFound : General);
      EXPECT_THAT(e.what(), StartsWith(c.message));
      EXPECT_THAT(e.what(), ::testing::Not(::testing::HasSubstr("From:")));
    } catch (const Json::LogicError& e) {
      EXPECT_EQ(c.error, Library);
      EXPECT_THAT(e.what(), StartsWith(c.message));
    }
    EXPECT_EQ(Shape(set), c.built);
    EXPECT_THAT(Listing(repair), ElementsAreArray(c.repair));
    EXPECT_THAT(Listing(rebase), IsEmpty());
  }
}

// ---- Randomised round trip ----------------------------------------------------------

// What the repair makes agree: structure, names and addresses.
std::string Outline(NodeSet& set, const std::set<std::string>& skip = {}) {
  std::string out;
  for (const std::string& id : Reachable(set)) {
    if (skip.count(id)) continue;
    Node* node = Get(set, id);
    out += id + " (" + node->GetAttr("name") + "|" + node->GetAttr("url") + ") [";
    for (const std::string& child : node->RawChildren())
      if (!skip.count(child)) out += child + " ";
    out += "]\n";
  }
  return out;
}

bool IsBelow(NodeSet& set, std::string id, const std::string& ancestor) {
  for (; !id.empty(); id = Get(set, id)->GetAttr("pnid"))
    if (id == ancestor) return true;
  return false;
}

// The server's reply to a repair request: every node of its tree with id,
// name, address and children, children before their parents.
Json::Value ReplyFor(NodeSet& server, std::mt19937& rng) {
  Json::Value updates(Json::arrayValue);
  std::vector<std::string> order = Reachable(server);
  std::reverse(order.begin(), order.end());
  for (const std::string& id : order) {
    Node* node = Get(server, id);
    Json::Value element(Json::objectValue);
    element["nid"] = id;
    element["name"] = node->GetAttr("name");
    if (node->HasAttr("url")) element["url"] = node->GetAttr("url");
    if (node->GetChildLength() > 0 || rng() % 2) {
      Json::Value& children = element["children"] = Json::Value(Json::arrayValue);
      for (const std::string& child : node->RawChildren()) children.append(child);
    }
    updates.append(element);
  }
  Json::Value reply(Json::objectValue);
  reply["status"] = 0;
  reply["updates"] = updates;
  return reply;
}

// The local tree: the server's, with local-only subtrees added and some
// damage done (children reordered, names and addresses changed, nodes moved
// elsewhere, into local-only folders too, and nodes deleted).
void Localise(NodeSet& local, const std::set<std::string>& serverIds, std::mt19937& rng) {
  int next = 0;
  auto folders = [&] {
    std::vector<std::string> out;
    for (const std::string& id : Reachable(local))
      if (Get(local, id)->IsFolder()) out.push_back(id);
    return out;
  };
  for (int n = static_cast<int>(rng() % 8); n > 0; --n) {
    std::vector<std::string> all = folders();
    const std::string parent = all[rng() % all.size()];
    Node* p = Get(local, parent);
    std::string bnid =
        p->GetChildLength() > 0 && rng() % 2 ? p->GetChildAt(rng() % p->GetChildLength()) : "";
    const std::string id = "L" + std::to_string(++next);
    if (rng() % 3 == 0)
      local.Do_insert(id,
                      {{"pnid", parent}, {"bnid", bnid}, {"ntype", "folder"}, {"name", "Local"}});
    else
      local.Do_insert(id, {{"pnid", parent},
                           {"bnid", bnid},
                           {"name", "Local " + std::to_string(rng() % 4)},
                           {"url", "http://local" + std::to_string(rng() % 5) + "/"},
                           {"created", std::to_string(rng() % 1000)},
                           {"tags", "x,y"}});
  }
  for (int n = static_cast<int>(rng() % 5); n > 0; --n) {
    std::vector<std::string> server;
    for (const std::string& id : Reachable(local))
      if (id != "ROOT" && serverIds.count(id)) server.push_back(id);
    if (server.empty()) return;
    const std::string target = server[rng() % server.size()];
    Node* node = Get(local, target);
    Node* parent = Get(local, node->GetAttr("pnid"));
    switch (rng() % 5) {
      case 0: {  // the parent's children in another order
        std::vector<std::string> children = parent->RawChildren();
        std::shuffle(children.begin(), children.end(), rng);
        for (const std::string& child : children) local.Do_reorder(child, {{"bnid", ""}});
        break;
      }
      case 1:
        local.Do_update(target, {{"name", "Renamed"}});
        break;
      case 2:
        if (!node->IsFolder()) local.Do_update(target, {{"url", "http://elsewhere/"}});
        break;
      case 3: {  // into another folder, local-only ones included
        std::vector<std::string> all = folders();
        const std::string to = all[rng() % all.size()];
        if (!IsBelow(local, to, target)) local.Do_move(target, {{"pnid", to}, {"bnid", ""}});
        break;
      }
      case 4:
        local.Do_delete(target);
        break;
    }
  }
}

// The server's tree, and the local one made from it; the repair runs on a
// clone of the local tree, the rebase on a clone of the repaired one:
//  - the repaired tree is the server's (structure, names, addresses);
//  - the rebased tree is the server's plus every local-only node with all
//    its attributes, under its parent, its local-only children in order;
//  - the local tree itself is left alone.
TEST(RepairPropertyTest, RepairThenRebase) {
  TestEnginePlatform platform;
  platform.infoEnabled = false;
  ScopedEngine engine(EngineFlavor::Windows(), platform);
  for (uint32_t round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::mt19937 rng(round);
    const uint32_t treeSeed = static_cast<uint32_t>(rng());
    const int size = 1 + static_cast<int>(rng() % 20);
    NodeSet server, local;
    for (NodeSet* set : {&server, &local}) {
      std::mt19937 r(treeSeed);
      testing::RandomTree(*set, r, size, "n");
    }
    const std::vector<std::string> serverOrder = Reachable(server);
    const std::set<std::string> serverIds(serverOrder.begin(), serverOrder.end());
    Localise(local, serverIds, rng);
    std::set<std::string> localOnly;
    for (const std::string& id : Reachable(local))
      if (!serverIds.count(id)) localOnly.insert(id);
    const std::string localBefore = WriteCompactJson(local.ToJSON());

    NodeSet repaired(&local);
    CommandSet repair, rebase;
    repaired.BuildRepairCommands(ReplyFor(server, rng), repair, rebase);
    repaired.Execute(repair);
    EXPECT_EQ(Outline(repaired), Outline(server));
    NodeSet rebased(&repaired);
    rebased.Execute(rebase);
    EXPECT_EQ(Outline(rebased, localOnly), Outline(server));
    EXPECT_EQ(WriteCompactJson(local.ToJSON()), localBefore);

    const std::vector<std::string> reachable = Reachable(rebased);
    for (const std::string& id : localOnly) {
      EXPECT_NE(std::find(reachable.begin(), reachable.end(), id), reachable.end()) << id;
      Node* node = rebased.GetNode(id, false, true, true);
      ASSERT_NE(node, nullptr) << id;
      EXPECT_EQ(node->Attrs(), Get(local, id)->Attrs()) << id;
      std::vector<std::string> children;
      for (const std::string& child : Get(local, id)->RawChildren())
        if (localOnly.count(child)) children.push_back(child);
      EXPECT_EQ(node->RawChildren(), children) << id;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace tarvex
