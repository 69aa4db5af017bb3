// The agent's match rule: its score table, the normalised titles and
// addresses it compares, node names for messages, and merges that come out
// differently under the Windows and the Mac flavour of the one engine.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/nodeset/MatchRules.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "nodeset/testing/Flavours.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using mac::CompareNodes;
using mac::MatchName;
using mac::MatchUrl;
using mac::NodeName;
using testing::BuildTree;
using testing::Flavour;
using testing::TestEnginePlatform;

Node* Get(NodeSet& set, std::string_view id) { return set.GetNode(id, false, false, true); }

TEST(MacMatchScoreTest, ScoreTable) {
  const Attributes folder{{"ntype", "folder"}, {"name", "Work"}};
  const struct {
    const char* what;
    const char* id;
    Attributes sought;
    const char* otherId;
    Attributes candidate;
    int score;
  } cases[] = {
      {"folder: same id, same title", "f", folder, "f", folder, 100},
      {"folder: other id, same title", "f", folder, "g", folder, 80},
      {"folder renamed under the same id", "f", folder, "f",
       {{"ntype", "folder"}, {"name", "Job"}}, 0},
      {"bookmark: everything equal", "a", {{"name", "n"}, {"url", "http://x/"}}, "a",
       {{"name", "n"}, {"url", "http://x/"}}, 100},
      {"bookmark: other id", "a", {{"name", "n"}, {"url", "http://x/"}}, "b",
       {{"name", "n"}, {"url", "http://x/"}}, 80},
      {"bookmark: same id, retitled", "a", {{"name", "n"}, {"url", "http://x/"}}, "a",
       {{"name", "m"}, {"url", "http://x/"}}, 50},
      {"bookmark: other id, other title, same address", "a",
       {{"name", "n"}, {"url", "http://x/"}}, "b", {{"name", "m"}, {"url", "http://x/"}}, 10},
      {"same id and title, another address", "a", {{"name", "n"}, {"url", "http://x/"}}, "a",
       {{"name", "n"}, {"url", "http://y/"}}, 0},
      {"one address empty", "a", {{"name", "n"}, {"url", "http://x/"}}, "a", {{"name", "n"}},
       0},
      {"other titles, no addresses, same id", "a", {{"name", "n"}}, "a", {{"name", "m"}}, 0},
      {"other types, all else equal", "a", {{"ntype", "bookmark"}, {"name", "n"}}, "a",
       {{"ntype", "folder"}, {"name", "n"}}, 0},
      {"no type given is a bookmark's", "a", {{"name", "n"}}, "a",
       {{"ntype", "bookmark"}, {"name", "n"}}, 100},
      {"types compared exactly", "f", {{"ntype", "Folder"}}, "f", {{"ntype", "folder"}}, 0},
      {"titles: case matters", "a", {{"name", "News"}, {"url", "http://x/"}}, "a",
       {{"name", "news"}, {"url", "http://x/"}}, 50},
      {"addresses: case matters", "a", {{"name", "n"}, {"url", "http://X/"}}, "a",
       {{"name", "n"}, {"url", "http://x/"}}, 0},
      {"spaces trimmed from titles and addresses", "a",
       {{"name", "  n "}, {"url", " http://x/  "}}, "b", {{"name", "n"}, {"url", "http://x/"}},
       80},
      {"tabs are not trimmed", "a", {{"name", "n\t"}, {"url", "http://x/"}}, "b",
       {{"name", "n"}, {"url", "http://x/"}}, 10},
      {"a feed address is its page", "a", {{"name", "n"}, {"url", "feed://x/rss"}}, "b",
       {{"name", "n"}, {"url", "http://x/rss"}}, 80},
      {"a secure feed address is its page", "a", {{"name", "n"}, {"url", "feed:https://x/"}},
       "a", {{"name", "n"}, {"url", "https://x/"}}, 100},
      {"placeholders are not part of a title", "a",
       {{"name", "Search %s"}, {"url", "http://s/?q=%s"}}, "b",
       {{"name", "Search"}, {"url", "http://s/?q=%s"}}, 80},
      {"nor escaped ones", "a", {{"name", "Find%25s"}, {"url", "http://s/"}}, "b",
       {{"name", "Find"}, {"url", "http://s/"}}, 80},
      {"placeholders stay in addresses", "a", {{"name", "n"}, {"url", "http://s/?q=%s"}}, "b",
       {{"name", "n"}, {"url", "http://s/?q="}}, 0},
      {"the title only of placeholders is empty", "f", {{"ntype", "folder"}, {"name", "%s"}},
       "g", {{"ntype", "folder"}, {"name", " "}}, 80},
  };
  NodeSet set;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Node sought(c.id, c.sought), candidate(c.otherId, c.candidate);
    EXPECT_EQ(CompareNodes(set, sought, candidate), c.score);
    EXPECT_EQ(CompareNodes(set, candidate, sought), c.score) << "the rule is symmetric";
  }
}

TEST(MacMatchScoreTest, MatchNameAndMatchUrl) {
  const struct {
    const char* in;
    const char* out;
  } names[] = {
      {"", ""},
      {"News", "News"},
      {"%s", ""},
      {"a%sb%sc", "abc"},
      {"%%ss", ""},             // removing one "%s" makes another
      {"%%%sss", ""},
      {"%25s", ""},
      {"%%25ss", "%s"},         // the "%s" the second pattern leaves stays
      {"%2%s5s", ""},           // the first pattern's removal makes the second
      {"%", "%"},
      {"s%", "s%"},
      {" %s ", "  "},           // not trimmed
      {"\t%S\t", "\t%S\t"},     // case matters
      {"100%25", "100%25"},
  };
  for (const auto& c : names) EXPECT_EQ(MatchName(c.in), c.out) << '"' << c.in << '"';

  const struct {
    const char* in;
    const char* out;
  } urls[] = {
      {"feed://x/rss", "http://x/rss"},
      {"feed:https://x/rss", "https://x/rss"},
      {"feed:http://x/rss", "http:http://x/rss"},  // only the secure form is special
      {"feeds://x/", "https://x/"},
      {"feed", "http"},
      {"Feed://x/", "Feed://x/"},
      {"FEED:https://x/", "FEED:https://x/"},
      {"http://x/feed://", "http://x/feed://"},
      {" feed://x/", " feed://x/"},  // a prefix rule: nothing trimmed first
      {"", ""},
  };
  for (const auto& c : urls) EXPECT_EQ(MatchUrl(c.in), c.out) << '"' << c.in << '"';
}

// Removing the first occurrence again and again, as the rule is stated.
std::string RemoveFirstUntilNone(std::string text) {
  for (const char* pattern : {"%s", "%25s"})
    for (size_t at; (at = text.find(pattern)) != std::string::npos;)
      text.erase(at, std::string(pattern).size());
  return text;
}

TEST(MacMatchScoreTest, MatchNameRemovesAsRepeatedSearchesWould) {
  const uint32_t seed = std::random_device{}();
  std::mt19937 rng(seed);
  const std::string alphabet = "%s25%sS ";
  for (int round = 0; round < 3000; ++round) {
    std::string title(std::uniform_int_distribution<size_t>(0, 14)(rng), ' ');
    for (char& c : title)
      c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    ASSERT_EQ(MatchName(title), RemoveFirstUntilNone(title))
        << "title \"" << title << "\", seed " << seed;
  }
}

TEST(MacMatchScoreTest, NodeName) {
  TestEnginePlatform platform;
  ScopedEngine engine(mac::MacFlavor(), platform);
  NodeSet base;
  BuildTree(base, "a b f{c}");
  Get(base, "a")->SetAttr("name", "News");
  Get(base, "b")->SetAttr("name", "");
  NodeSet clone(&base);
  clone.Do_update("c", {{"name", "Mine"}});
  clone.Do_delete("a");

  const struct {
    NodeSet* set;
    const char* id;
    const char* name;
  } cases[] = {
      {&base, "a", "News(a)"}, {&base, "b", "b"},          {&base, "missing", "missing"},
      {&base, "f", "f(f)"},    {&clone, "c", "Mine(c)"},   {&clone, "f", "f(f)"},  // base's
      {&clone, "a", "a"},      // tombstoned in the clone
  };
  for (const auto& c : cases) EXPECT_EQ(NodeName(*c.set, c.id), c.name) << c.id;
  EXPECT_EQ(clone.TableSize(), base.TableSize() - 2) << "a name never copies a node";
}

// ---- The rule inside the engine's merge --------------------------------------

class FlavouredMergeTest : public ::testing::TestWithParam<Flavour> {
 protected:
  EngineFlavor Flavor() const {
    return GetParam() == Flavour::Mac ? mac::MacFlavor() : EngineFlavor::Windows();
  }
  void SetUp() override { SeedNodeIdCounter(3u << 18); }
  TestEnginePlatform platform;
};

// Titles of the tree, "+" after a node the merge copied in under a new id.
std::string Titles(NodeSet& set, std::string_view id = "ROOT") {
  std::string out;
  for (const std::string& child : Get(set, id)->RawChildren()) {
    Node* node = Get(set, child);
    if (!out.empty()) out += " ";
    out += node->GetAttr("name");
    if (child[0] >= '0' && child[0] <= '9') out += "+";
    if (node->IsFolder()) out += "{" + Titles(set, child) + "}";
  }
  return out;
}

TEST_P(FlavouredMergeTest, TheFlavoursPairDifferently) {
  ScopedEngine engine(Flavor(), platform);
  const struct {
    const char* what;
    const char* mine;
    const char* theirs;
    std::vector<std::pair<const char*, const char*>> mineNames, theirNames, mineUrls, theirUrls;
    const char* windows;
    const char* mac;
  } cases[] = {
      {"a folder renamed under its id: paired by id on Windows, copied whole on the Mac",
       "f{b}", "f{b}", {{"f", "Work"}}, {{"f", "Job"}}, {}, {}, "Work{b}", "Work{b} Job+{b+}"},
      {"a feed and its page: two bookmarks on Windows, one on the Mac", "r", "s",
       {{"r", "Reader"}}, {{"s", "Reader"}}, {{"r", "feed://n/rss"}}, {{"s", "http://n/rss"}},
       "Reader Reader", "Reader"},
      {"same title, one address missing: paired on Windows only", "a", "b", {{"a", "Home"}},
       {{"b", "Home"}}, {{"a", ""}}, {}, "Home", "Home Home"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NodeSet mine, theirs;
    BuildTree(mine, c.mine);
    BuildTree(theirs, c.theirs);
    for (auto [id, v] : c.mineNames) Get(mine, id)->SetAttr("name", v);
    for (auto [id, v] : c.theirNames) Get(theirs, id)->SetAttr("name", v);
    for (auto [id, v] : c.mineUrls) Get(mine, id)->SetAttr("url", v);
    for (auto [id, v] : c.theirUrls) Get(theirs, id)->SetAttr("url", v);

    mine.Merge(theirs);

    EXPECT_EQ(Titles(mine), GetParam() == Flavour::Mac ? c.mac : c.windows);
  }
}

// Which of two candidates takes the other tree's node, by the tags it
// received: on the Mac the candidate of the same title (80) beats the
// earlier one of the same address only (10); on Windows the earlier one
// of the same address wins (66 each).
TEST_P(FlavouredMergeTest, TheHighestScoreWinsThenTheEarliest) {
  ScopedEngine engine(Flavor(), platform);
  NodeSet mine, theirs;
  BuildTree(mine, "a b");
  BuildTree(theirs, "c");
  Get(mine, "a")->SetAttr("name", "Old");
  Get(mine, "b")->SetAttr("name", "Same");
  for (const char* id : {"a", "b"}) Get(mine, id)->SetAttr("url", "http://x/");
  Get(theirs, "c")->SetAttr("name", "Same");
  Get(theirs, "c")->SetAttr("url", "http://x/");
  Get(theirs, "c")->SetAttr("tags", "t");
  mine.Merge(theirs);
  EXPECT_EQ(testing::Describe(mine), "a b");
  EXPECT_EQ(Get(mine, "a")->GetAttr("tags"), GetParam() == Flavour::Mac ? "" : "t");
  EXPECT_EQ(Get(mine, "b")->GetAttr("tags"), GetParam() == Flavour::Mac ? "t" : "");
}

INSTANTIATE_TEST_SUITE_P(Flavours, FlavouredMergeTest,
                         ::testing::Values(Flavour::Windows, Flavour::Mac),
                         testing::FlavourName);

}  // namespace
}  // namespace tarvex
