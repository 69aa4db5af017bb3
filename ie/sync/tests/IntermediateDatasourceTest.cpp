#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "ie/favorites/FavoritesReader.h"
#include "ie/favorites/tests/FavoritesFixture.h"
#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/VelkException.h"
#include "text/Text.h"
#include "ie/sync/IntermediateDatasource.h"
#include "ie/sync/WinEnginePlatform.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"
#include "platform/Win32Error.h"

namespace tarvex {
namespace {

using testing::BuildTree;
using testing::Describe;
using testing::PutFile;
using testing::ReadAll;
namespace fs = std::filesystem;

// A tree in the notation of BuildTree, where ids starting with "s" are
// separators and ids starting with "q" queries; the root is named `rootName`
// (no name when empty) and `unfiled` is its unfiled folder.
std::unique_ptr<NodeSet> Tree(std::string_view notation, std::string_view rootName = {},
                              std::string_view unfiled = {}) {
  auto set = std::make_unique<NodeSet>();
  BuildTree(*set, notation);
  std::deque<std::string> work{"ROOT"};
  while (!work.empty()) {
    const std::vector<std::string> children =
        set->GetNode(work.front(), false, false, false)->RawChildren();
    work.pop_front();
    for (const std::string& child : children) {
      work.push_back(child);
      if (child[0] == 's')
        set->Do_update(child, {{"ntype", "separator"}, {"name", ""}, {"url", ""}});
      else if (child[0] == 'q')
        set->Do_update(child, {{"ntype", "query"}, {"url", "place:sort=8&maxResults=10"}});
      else if (!set->GetNode(child, false, false, false)->IsFolder())
        set->Do_update(child, {{"ntype", "bookmark"}});
    }
  }
  set->Do_update("ROOT", {{"name", std::string(rootName)}, {"unid", std::string(unfiled)}});
  return set;
}

// What the Favorites must give back of a tree: per node its id, parent,
// type, name, address and children in order; the root's name and unfiled
// folder.
std::string Outline(NodeSet& set) {
  std::string out;
  Node& root = *set.GetNode("ROOT", false, false, true);
  out += Format("ROOT name=%s unid=%s\n", root.GetAttr("name"), root.GetAttr("unid"));
  std::deque<std::string> work{"ROOT"};
  while (!work.empty()) {
    Node& node = *set.GetNode(work.front(), false, false, true);
    work.pop_front();
    out += Format("%s <%s> %s '%s' %s [", node.GetID(), node.GetAttr("pnid"), node.GetAttr("ntype"),
                  node.GetAttr("name"), node.GetAttr("url"));
    for (const std::string& child : node.RawChildren()) {
      out += Format("%s ", child);
      work.push_back(child);
    }
    out += "]\n";
  }
  return out;
}

std::string FullJson(NodeSet& set) {
  return WriteCompactJson(set.ToJSON(true));
}

// A store in memory for failures the Favorites folder cannot be made to
// show: it holds a tree as JSON text, drops the root's name and unfiled
// folder as the Favorites do, and fails writes as scripted.
struct StoreState {
  enum Outcome {
    kWrites,
    kFailsOnFile,  // a VelkException with `syncproblemfile` set
    kFails,        // a VelkException alone
    kFailsOther,   // not a VelkException
  };
  std::string held;
  std::deque<Outcome> script;  // then kWrites
  std::vector<int64_t> attemptTimes;
  std::vector<std::string> given;  // the tree at each attempt, described
};

class MemoryStore : public NativeDatasource {
 public:
  MemoryStore(StoreState& state, Settings& settings, Clock& clock)
      : state_(state), settings_(settings), clock_(clock) {}

  bool ProvideNodes(NodeSet& set) override {
    Json::Value value;
    std::string error;
    if (!ParseJson(state_.held, &value, &error)) throw std::runtime_error(error);
    value.removeMember("userHash");  // the Favorites belong to no user
    set.LoadFromJSON(value);
    return true;
  }
  void WriteNodeSet(NodeSet& set) override {
    state_.attemptTimes.push_back(clock_.Now());
    state_.given.push_back(Describe(set));
    StoreState::Outcome outcome = StoreState::kWrites;
    if (!state_.script.empty()) {
      outcome = state_.script.front();
      state_.script.pop_front();
    }
    switch (outcome) {
      case StoreState::kFailsOnFile:
        settings_.SetValue(IniFile::kProblemFileSetting, "/Favorites/In use.url", false);
        throw VelkException("windows", 32, "The file is in use");
      case StoreState::kFails:
        throw VelkException("windows", 5, "Access is denied");
      case StoreState::kFailsOther:
        throw std::runtime_error("out of memory");
      case StoreState::kWrites:
        break;
    }
    NodeSet copy;
    copy.LoadFromJSON(set.ToJSON(true));
    copy.Do_update("ROOT", {{"name", ""}, {"unid", ""}});
    state_.held = WriteCompactJson(copy.ToJSON());
  }

 private:
  StoreState& state_;
  Settings& settings_;
  Clock& clock_;
};

class IntermediateTest : public testing::FavoritesFixture {
 protected:
  IntermediateTest() {
    settings_.SetValue("userdir", user_, false);
    settings_.SetBool("backedup", true, false);  // no backup copies
    fs::create_directories(user_);
    // The Favorites folder as the sync reaches it; the file and the
    // baseline in the user folder by default.
    UseFavoritesThroughIntermediate(
        win_, IntermediateEnvironment(settings_, logger_, files_, clock_),
        [this] { return std::make_unique<FavoritesDatasource>(Env()); });
  }

  // Through the engine, as the sync does.
  void Flush(NodeSet& set) { set.FlushToNative(); }
  std::unique_ptr<NodeSet> Fetch() {
    auto set = std::make_unique<NodeSet>();
    set->FetchFromNative();
    return set;
  }

  // Over the store in memory.
  IntermediateDatasource Memory() {
    return IntermediateDatasource(IntermediateEnvironment(settings_, logger_, files_, clock_),
                                  std::make_unique<MemoryStore>(store_, settings_, clock_));
  }
  void Hold(NodeSet& set) { store_.held = WriteCompactJson(set.ToJSON(true)); }
  std::unique_ptr<NodeSet> FetchMemory() {
    auto set = std::make_unique<NodeSet>();
    Memory().ProvideNodes(*set);
    return set;
  }

  std::string File() { return user_ + "/tarvex-intermediate.json"; }
  std::string Baseline() { return user_ + "/tarvex-baseline.json"; }
  bool Logged(std::string_view text, size_t since = 0) {
    return LogText().find(text, since) != std::string::npos;
  }
  size_t LogSize() { return LogText().size(); }

  FaultyFileSystem files_{FileSystem::Native()};
  WinEnginePlatform win_{logger_, settings_, FileSystem::Native(), facts_};
  ScopedEngine winEngine_{EngineFlavor::Windows(), win_};
  StoreState store_;
};

// Trees the Favorites cannot hold whole, written and read back through the
// Favorites folder: the same tree, and the tree in memory is untouched by
// the writing.
TEST_F(IntermediateTest, WhatTheFavoritesCannotHoldSurvivesARoundTrip) {
  struct Case {
    const char* tree;
    const char* rootName;
    const char* unfiled;
    const char* onDisk;  // what the Favorites folder holds
  };
  const Case cases[] = {
      {"a s1 b s2 s3 c s4", "", "", "a b c"},    {"s1 f{s2 a s3} b", "My Bookmarks", "", "f{a} b"},
      {"a u{} b", "Bookmarks Menu", "u", "a b"}, {"a u{x s1} b", "", "u", "a u{x} b"},
      {"a q1 f{q2 s1}", "Places", "", "a f{}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tree);
    fs::remove_all(fav_);
    fs::create_directories(fav_);
    auto tree = Tree(c.tree, c.rootName, c.unfiled);
    const std::string before = FullJson(*tree);

    Flush(*tree);
    EXPECT_EQ(FullJson(*tree), before);
    EXPECT_EQ(Describe(*Read()), c.onDisk);

    auto back = Fetch();
    back->GetNode("ROOT", false, false, false)->RemoveAttr("tnid");
    if (!*c.rootName) tree->Do_update("ROOT", {{"name", "Favorites"}});
    EXPECT_EQ(Outline(*back), Outline(*tree));
  }
}

// A separator whose following bookmark went away in the Favorites stands
// before the next sibling that is still there, else last.
TEST_F(IntermediateTest, ASeparatorMovesOnWhenItsNeighbourIsGone) {
  struct Case {
    const char* change;
    std::function<void(const std::string&)> apply;
    const char* expected;
  };
  const Case cases[] = {
      {"b deleted", [](const std::string& fav) { fs::remove(fav + "/b.url"); }, "a s1 s2 c f{}"},
      {"b and c deleted",
       [](const std::string& fav) {
         fs::remove(fav + "/b.url");
         fs::remove(fav + "/c.url");
       },
       "a s1 s2 f{}"},
      {"b moved into f",
       [](const std::string& fav) { fs::rename(fav + "/b.url", fav + "/f/b.url"); },
       "a s1 s2 c f{b}"},
      {"everything after a deleted",
       [](const std::string& fav) {
         fs::remove(fav + "/b.url");
         fs::remove(fav + "/c.url");
         fs::remove_all(fav + "/f");
       },
       "a s1 s2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    fs::remove_all(fav_);
    fs::create_directories(fav_);
    auto tree = Tree("a s1 b s2 c f{}");
    Flush(*tree);
    c.apply(fav_);
    EXPECT_EQ(Describe(*Fetch()), c.expected);
  }
  EXPECT_TRUE(Logged("Replacing invalid BNID with: [s2]"));
  EXPECT_TRUE(Logged("Replacing invalid BNID with: []"));
}

// Commands that no longer fit the Favorites are passed over; the rest
// still apply.
TEST_F(IntermediateTest, CommandsThatNoLongerFitArePassedOver) {
  auto tree = Tree("a f{s1 x} b");
  Flush(*tree);
  fs::remove_all(fav_ + "/f");
  EXPECT_EQ(Describe(*Fetch()), "a b");
  EXPECT_TRUE(Logged("No PNID in local ns, skipping command"));

  // The unfiled folder deleted in the Favorites: the root no longer names it.
  auto unfiled = Tree("a u{x} b", "", "u");
  Flush(*unfiled);
  EXPECT_EQ(Fetch()->GetNode("ROOT", false, false, false)->GetAttr("unid"), "u");
  fs::remove_all(fav_ + "/u");
  auto read = Fetch();
  EXPECT_EQ(Describe(*read), "a b");
  EXPECT_FALSE(read->GetNode("ROOT", false, false, false)->HasAttr("unid"));
  EXPECT_TRUE(Logged("Unfiled folder [u] no longer exists, not named again"));

  struct Case {
    const char* commands;
    const char* expected;
    const char* logged;
  };
  const Case cases[] = {
      {R"([{"action":"insert","nid":"s1","args":{"pnid":"gone","ntype":"separator"}}])", "a b f{}",
       "No PNID in local ns, skipping command"},
      {R"([{"action":"insert","nid":"s1","args":{"ntype":"separator"}}])", "a b f{}",
       "No PNID in local ns, skipping command"},
      {R"([{"action":"update","nid":"gone","args":{"name":"x"}}])", "a b f{}",
       "NID no longer exists, ignoring command"},
      {R"([{"action":"insert","nid":"s1","args":{"pnid":"ROOT","bnid":"zz","ntype":"separator"}}])",
       "a b f{} s1", "Replacing invalid BNID with: []"},
      {R"([{"action":"insert","nid":"s1","args":{"pnid":"ROOT","bnid":"b","ntype":"separator"}}])",
       "a s1 b f{}", "Applying: "},
      // Restoring never takes anything away or moves it.
      {R"([{"action":"delete","nid":"a"},{"action":"move","nid":"b","args":{"pnid":"f"}}])",
       "a b f{}", "Ignoring intermediate command of action [delete]"},
      // A command that cannot be placed (the stored tree lacks its folder)
      // is passed over alone.
      {R"([{"action":"insert","nid":"s2","args":{"pnid":"ROOT","ntype":"separator"}},)"
       R"({"action":"insert","nid":"s1","args":{"pnid":"f","bnid":"a","ntype":"separator"}}])",
       "a b f{} s2", "Unable to apply intermediate command, skipping it"},
  };
  auto held = Tree("a b f{}");
  Hold(*held);
  auto stored = Tree("a b");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commands);
    const size_t since = LogSize();
    PutFile(File(),
            Format(R"({"_commands":%s,"_baselineNodes":%s})", c.commands, FullJson(*stored)));
    EXPECT_EQ(Describe(*FetchMemory()), c.expected);
    EXPECT_TRUE(Logged(c.logged, since));
    EXPECT_TRUE(fs::exists(File()));
  }
}

// Without intermediate data or a baseline the Favorites read as they are,
// the root named "Favorites"; a root that has a name keeps it.
TEST_F(IntermediateTest, TheRootIsNamedFavoritesWhenNothingNamesIt) {
  struct Case {
    const char* what;
    std::string baseline;  // "" for none
    const char* heldName;
    const char* expected;
  };
  const Case cases[] = {
      {"no baseline", "", "", "Favorites"},
      {"a baseline that is not JSON", "{\"_nodes\": [", "", "Favorites"},
      {"another user's baseline",
       R"({"_nodes":[{"nid":"ROOT","ntype":"folder","name":"Bob's","children":["s9"]},)"
       R"({"nid":"s9","pnid":"ROOT","ntype":"separator"}],"userHash":"bob@tarvex.com"})",
       "", "Favorites"},
      {"a named root", "", "Mine", "Mine"},
  };
  settings_.SetValue("serverroot", "tarvex.com", false);
  win_.SetUserNameSource([] { return std::string("alice"); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(Baseline());
    if (!c.baseline.empty()) PutFile(Baseline(), c.baseline);
    auto held = Tree("a f{b}", c.heldName);
    Hold(*held);
    auto read = FetchMemory();
    EXPECT_EQ(Describe(*read), "a f{b}");
    EXPECT_EQ(read->GetNode("ROOT", false, false, false)->GetAttr("name"), c.expected);
  }
}

// The store's write is tried again, 5 s later, only while a failure names
// a problem file, three times at most; the tree is as it was in every case.
TEST_F(IntermediateTest, WritesAreRetriedOnlyForAProblemFile) {
  using S = StoreState;
  struct Case {
    const char* what;
    std::deque<S::Outcome> script;
    bool problemBefore;
    size_t attempts;
    const char* thrown;  // "" when the write succeeds
  };
  const Case cases[] = {
      {"written at once", {}, false, 1, ""},
      {"a problem file, then written", {S::kFailsOnFile}, false, 2, ""},
      {"a problem file twice, then written", {S::kFailsOnFile, S::kFailsOnFile}, false, 3, ""},
      {"a problem file three times",
       {S::kFailsOnFile, S::kFailsOnFile, S::kFailsOnFile},
       false,
       3,
       "The file is in use"},
      {"a failure without a problem file", {S::kFails}, false, 1, "Access is denied"},
      {"a problem file left from before", {S::kFails}, true, 1, "Access is denied"},
      {"a problem file, then another failure",
       {S::kFailsOnFile, S::kFails},
       false,
       2,
       "Access is denied"},
      {"a failure of another kind", {S::kFailsOther}, true, 1, "out of memory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PutFile(File(), "earlier");
    store_ = StoreState{};
    store_.script = c.script;
    if (c.problemBefore)
      settings_.SetValue(IniFile::kProblemFileSetting, "/Favorites/Old.url", false);
    auto tree = Tree("a s1 f{s2 b}", "Menu");
    const std::string before = FullJson(*tree);
    const int64_t start = clock_.Now();
    const int64_t slept = clock_.Slept();

    std::string thrown;
    try {
      Memory().WriteNodeSet(*tree);
    } catch (const std::exception& e) {
      thrown = e.what();
    }
    EXPECT_NE(thrown.find(c.thrown), std::string::npos) << thrown;
    EXPECT_EQ(thrown.empty(), !*c.thrown) << thrown;
    ASSERT_EQ(store_.attemptTimes.size(), c.attempts);
    for (size_t i = 0; i < c.attempts; ++i) {
      EXPECT_EQ(store_.attemptTimes[i], start + 5 * static_cast<int64_t>(i));
      EXPECT_EQ(store_.given[i], "a f{b}");  // never the separators
    }
    EXPECT_EQ(clock_.Slept() - slept, 5000 * static_cast<int64_t>(c.attempts - 1));
    EXPECT_EQ(FullJson(*tree), before);
    // The file changes only with a whole write.
    EXPECT_EQ(ReadAll(File()) == "earlier", !thrown.empty());
  }
}

// A folder deleted on the service that cannot be removed at once: the
// retry of the store's write finishes it, or the write fails; it never
// stays behind without its id for a later read to take as a new folder.
TEST_F(IntermediateTest, AFolderThatCannotBeRemovedAtOnceGoesOnTheRetryOrFailsTheWrite) {
  FaultyFileSystem storeFiles(FileSystem::Native());
  UseFavoritesThroughIntermediate(
      win_, IntermediateEnvironment(settings_, logger_, files_, clock_), [&] {
        FavoritesEnvironment env(storeFiles, settings_, logger_, registry_, icons_, facts_, fav_,
                                 OrderPlatform{6, 1, "8.0"});
        env.userDir = user_;
        env.records = nullptr;  // the trees are the test's own
        return std::make_unique<FavoritesDatasource>(std::move(env));
      });
  struct Case {
    const char* name;
    bool sticky;
  };
  for (const Case& c : {Case{"once", false}, Case{"from then on", true}}) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fav_);
    fs::create_directories(fav_);
    storeFiles.Reset();
    auto tree = Tree("a old{b}");
    Flush(*tree);
    auto deleted = Tree("a");

    storeFiles.FailNth(FaultyFileSystem::Op::RemoveDirectory, 1, win32::ERROR_SHARING_VIOLATION,
                       c.sticky);
    bool failed = false;
    try {
      Flush(*deleted);
    } catch (const VelkException& e) {
      failed = true;
      EXPECT_NE(std::string(e.what()).find("Error deleting local folder: " + fav_ + "/old"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(failed, c.sticky);
    // Whatever became of it, no read finds the folder.
    EXPECT_EQ(Describe(*Fetch()), "a");
    storeFiles.Reset();
    Flush(*deleted);
    EXPECT_EQ(Describe(*Fetch()), "a");
    EXPECT_EQ(std::distance(fs::directory_iterator(fav_), fs::directory_iterator()), 1)
        << "only a.url";
  }
}

// The file a write leaves restores the tree it wrote; one that cannot be
// written fails the write and leaves the earlier file.
TEST_F(IntermediateTest, TheFileIsReplacedWholeOrNotAtAll) {
  auto tree = Tree("a s1 b u{}", "Menu", "u");
  const std::string before = FullJson(*tree);
  Memory().WriteNodeSet(*tree);
  EXPECT_EQ(FullJson(*tree), before);
  EXPECT_EQ(store_.given.back(), "a b");
  const std::string written = ReadAll(File());
  EXPECT_EQ(written.find('\n'), written.size() - 1);  // one line

  auto read = FetchMemory();
  EXPECT_EQ(Outline(*read), Outline(*tree));

  files_.FailNth(FaultyFileSystem::Op::Write, 1, win32::ERROR_DISK_FULL);
  auto changed = Tree("a s1 b s2", "Menu");
  const std::string changedBefore = FullJson(*changed);
  EXPECT_THROW(Memory().WriteNodeSet(*changed), VelkException);
  EXPECT_EQ(FullJson(*changed), changedBefore);
  EXPECT_EQ(ReadAll(File()), written);
  EXPECT_TRUE(Logged("Unable to write intermediate datasource to disk [112]"));
}

// A file that cannot be used is kept aside (replacing an older one) and the
// data come from the baseline instead; one that merely cannot be read now
// stays where it is.
TEST_F(IntermediateTest, ABrokenFileIsKeptAsideAndTheBaselineRestoresItsData) {
  auto tree = Tree("a s1 b f{s2 c} u{}", "Menu", "u");
  Memory().WriteNodeSet(*tree);
  tree->SaveToFile();
  const std::string expected = Outline(*tree);

  struct Case {
    const char* what;
    std::string content;
    bool readFails = false;
  };
  const Case cases[] = {
      {"not JSON", "{\"_commands\": ["},
      {"empty", ""},
      {"not an object", "[]"},
      {"no commands", R"({"_baselineNodes":{}})"},
      {"commands not a list", R"({"_commands":{"a":1},"_baselineNodes":{}})"},
      {"no stored tree", R"({"_commands":[]})"},
      {"a command without an id",
       R"({"_commands":[{"action":"insert","nid":""}],"_baselineNodes":{}})"},
      {"an unsound stored tree",
       R"({"_commands":[],"_baselineNodes":{"_nodes":[{"nid":"ROOT","children":["x"]}]}})"},
      {"stored nodes of the wrong type", R"({"_commands":[],"_baselineNodes":{"_nodes":5}})"},
      {"unreadable for now", R"({"_commands":[],"_baselineNodes":{}})", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PutFile(File(), c.content);
    PutFile(File() + ".bad", "older");
    if (c.readFails) files_.FailNth(FaultyFileSystem::Op::Read, 1, win32::ERROR_ACCESS_DENIED);

    EXPECT_EQ(Outline(*FetchMemory()), expected);
    if (c.readFails) {
      EXPECT_EQ(ReadAll(File()), c.content);
      EXPECT_EQ(ReadAll(File() + ".bad"), "older");
    } else {
      EXPECT_EQ(ReadAll(File() + ".bad"), c.content);
      // What the baseline gave is the file now, and it reads back whole.
      const std::string rewritten = ReadAll(File());
      EXPECT_NE(rewritten, c.content);
      EXPECT_EQ(Outline(*FetchMemory()), expected);
      EXPECT_EQ(ReadAll(File()), rewritten);
      EXPECT_EQ(ReadAll(File() + ".bad"), c.content);
    }
    files_.Reset();
  }
  EXPECT_TRUE(Logged("Tarvex error while reading non-IE commands, ignoring data"));
  EXPECT_TRUE(Logged("Restoring non-IE data from the baseline"));

  // Without a baseline only the root's name comes back.
  fs::remove(Baseline());
  PutFile(File(), "broken");
  EXPECT_EQ(Describe(*FetchMemory()), "a b f{c}");
  EXPECT_EQ(ReadAll(File() + ".bad"), "broken");
}

// With the file gone, the last sync's tree restores what the Favorites
// cannot hold: the only difference from the baseline is what the user
// changed in the Favorites.
TEST_F(IntermediateTest, AMissingFileIsRestoredFromTheBaseline) {
  auto tree = Tree("a s1 b f{s2 c q1} u{}", "Menu", "u");
  Flush(*tree);
  tree->SaveToFile();
  fs::remove(File());
  fs::remove(fav_ + "/b.url");

  auto read = Fetch();
  EXPECT_TRUE(fs::exists(File())) << "what the baseline gave is kept";
  fs::remove(Baseline());
  EXPECT_EQ(Describe(*Fetch()), Describe(*read)) << "the next read takes it from the file";
  read->GetNode("ROOT", false, false, false)->RemoveAttr("tnid");
  EXPECT_EQ(Describe(*read), "a s1 f{s2 c q1} u{}");
  EXPECT_EQ(read->GetNode("ROOT", false, false, false)->GetAttr("name"), "Menu");
  EXPECT_EQ(read->GetNode("ROOT", false, false, false)->GetAttr("unid"), "u");

  NodeSet compared(tree.get());
  CommandSet changes = compared.Compare(*read);
  EXPECT_EQ(WriteCompactJson(changes.ToJSON()), R"([{"action":"delete","nid":"b"}])");
}

// A baseline the caller holds loaded stands in for the file, which the read
// then leaves alone; a tree whose restoring commands insert nothing (a root
// name alone) leaves a file without a stored tree, which reads back whole.
TEST_F(IntermediateTest, TheCallersBaselineIsUsedAndAFileWithoutCommandsHoldsNoTree) {
  auto tree = Tree("a s1 b f{s2 c} u{}", "Menu", "u");
  Flush(*tree);
  fs::remove(File());
  PutFile(Baseline(), "not the baseline");

  NodeSet read;
  read.FetchFromNative(tree.get());
  read.GetNode("ROOT", false, false, false)->RemoveAttr("tnid");
  EXPECT_EQ(Describe(read), "a s1 b f{s2 c} u{}");
  EXPECT_EQ(read.GetNode("ROOT", false, false, false)->GetAttr("unid"), "u");
  EXPECT_EQ(ReadAll(Baseline()), "not the baseline");

  auto plain = Tree("a b f{c}", "Favorites");
  Flush(*plain);
  EXPECT_EQ(ReadAll(File()),
            "{\"_baselineNodes\":{},\"_commands\":[{\"action\":\"update\",\"args\":{\"name\":"
            "\"Favorites\"},\"nid\":\"ROOT\"}]}\r\n");
  auto back = Fetch();
  back->GetNode("ROOT", false, false, false)->RemoveAttr("tnid");
  EXPECT_EQ(Outline(*back), Outline(*plain));
  EXPECT_TRUE(fs::exists(File())) << "the file is sound";
}

}  // namespace
}  // namespace tarvex
