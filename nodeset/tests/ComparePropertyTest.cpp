// Randomised, seeded checks of the comparison and the other whole-tree walks
// over generated pairs of trees, in both flavours: the compared tree becomes
// the other, its commands rebuild the other on a peer (also after travelling
// as JSON), the fast comparison gives exactly the commands of the plain
// reference, and the listing and stripping walks can be undone.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Flavours.h"
#include "nodeset/testing/ReferenceCompare.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using testing::Flavour;
using testing::FlavourName;

using testing::Reachable;
using testing::Snapshot;

std::string Text(const CommandSet& commands) {
  return WriteCompactJson(commands.ToJSON());
}

// The commands as a peer receives them: written as JSON text and read back.
CommandSet Received(const CommandSet& commands) {
  Json::Value value;
  EXPECT_TRUE(ParseJson(Text(commands), &value, nullptr));
  return CommandSet(value);
}

class ComparePropertyTest : public ::testing::TestWithParam<Flavour> {
 protected:
  void SetUp() override {
    platform.identities.clear();
    platform.infoEnabled = false;
  }

  uint32_t Seed(uint32_t n) const { return n * 2654435761u + (GetParam() == Flavour::Mac); }

  // A copy of `set` (read through to its base when it is a clone).
  void Copy(NodeSet& to, const NodeSet& from) { to.LoadFromJSON(from.ToJSON(true)); }

  // One large folder of `n` entries, a few of them folders: child lists long
  // enough to be indexed, for the reorder pass and the per-folder tables.
  void FlatTree(NodeSet& set, std::mt19937& rng, int n) {
    set.Do_insert("ROOT", {{"ntype", "folder"}, {"name", "Favorites"}});
    for (int i = 1; i <= n; ++i) {
      std::string id = "n" + std::to_string(i);
      Node* root = set.GetNode("ROOT", false, false, true);
      std::string bnid = rng() % 2 && root->GetChildLength() > 0
                             ? root->GetChildAt(rng() % root->GetChildLength())
                             : "";
      if (rng() % 10 == 0)
        set.Do_insert(id, {{"pnid", "ROOT"}, {"bnid", bnid}, {"ntype", "folder"}, {"name", id}});
      else
        set.Do_insert(id,
                      {{"pnid", "ROOT"}, {"bnid", bnid}, {"name", id}, {"url", "http://" + id}});
    }
  }

  // Random reorders among the root's children.
  void Shuffle(NodeSet& set, std::mt19937& rng, int reorders) {
    for (int i = 0; i < reorders; ++i) {
      const std::vector<std::string> children =
          set.GetNode("ROOT", false, false, true)->RawChildren();
      if (children.empty()) return;
      const std::string& id = children[rng() % children.size()];
      const std::string& before = children[rng() % children.size()];
      if (id != before) set.Do_reorder(id, {{"bnid", before}});
    }
  }

  // A random tree and a changed copy of it.
  void MakePair(std::mt19937& rng, NodeSet& first, NodeSet& second) {
    if (rng() % 4 == 0)
      FlatTree(first, rng, 30 + static_cast<int>(rng() % 50));
    else
      testing::RandomTree(first, rng, 5 + static_cast<int>(rng() % 50));
    Copy(second, first);
    testing::MutateTree(second, rng, 1 + static_cast<int>(rng() % 20));
    if (rng() % 2) Shuffle(second, rng, 1 + static_cast<int>(rng() % 10));
    // Attributes the mutations leave alone: tags travel as lists in one
    // flavour, and an unimportant change rides along with an important one.
    std::vector<std::string> ids = Reachable(second);
    for (int i = static_cast<int>(rng() % 4); i > 0; --i) {
      const std::string& id = ids[rng() % ids.size()];
      second.Do_update(
          id, {{"tags", rng() % 2 ? "daily,world" : ""}, {"icon", rng() % 2 ? "icon.ico" : ""}});
    }
  }

  testing::TestEnginePlatform platform;
  ScopedEngine engine{
      GetParam() == Flavour::Windows ? EngineFlavor::Windows() : EngineFlavor::Mac(), platform};
};

// Compares a clone of the first tree with the second and checks that:
// the clone becomes the second tree and its base never changes; the plain
// reference gives the very same commands; the commands, as they are and
// after a trip through JSON, turn a fresh copy of the first tree into the
// second; comparing equal trees gives nothing; and the second tree listed
// as inserts rebuilds it on an empty set.
TEST_P(ComparePropertyTest, CompareTurnsOneTreeIntoTheOther) {
  size_t total = 0;
  for (uint32_t n = 1; n <= 100; ++n) {
    SCOPED_TRACE("case " + std::to_string(n));
    std::mt19937 rng(Seed(n));
    NodeSet first, second;
    MakePair(rng, first, second);
    const Json::Value firstJson = first.ToJSON();
    const std::string firstText = WriteCompactJson(firstJson);
    const std::string want = Snapshot(second);

    NodeSet clone(&first);
    CommandSet commands = clone.Compare(second);
    total += commands.GetSize();
    ASSERT_EQ(Snapshot(clone), want);
    ASSERT_EQ(WriteCompactJson(first.ToJSON()), firstText) << "the base changed";

    NodeSet reference(&first);
    CommandSet referenceCommands = testing::ReferenceCompare(reference, second);
    ASSERT_EQ(Text(commands), Text(referenceCommands));

    NodeSet peer;
    peer.LoadFromJSON(firstJson);
    peer.Execute(commands);
    EXPECT_EQ(Snapshot(peer), want);

    CommandSet received = Received(commands);
    EXPECT_EQ(Text(received), Text(commands));
    NodeSet remote;
    remote.LoadFromJSON(firstJson);
    remote.Execute(received);
    EXPECT_EQ(Snapshot(remote), want);

    EXPECT_EQ(clone.Compare(second).GetSize(), 0u) << "compared twice";
    NodeSet same;
    Copy(same, second);
    EXPECT_EQ(same.Compare(second).GetSize(), 0u) << "equal trees";

    for (NodeSet* set : {&second, static_cast<NodeSet*>(&clone)}) {
      NodeSet rebuilt;
      rebuilt.Execute(set->ProvideCommandSet());
      EXPECT_EQ(Snapshot(rebuilt, true), Snapshot(*set, true));
    }
  }
  // The generated changes are not trivially small.
  EXPECT_GT(total, 100u * 4);
}

// Strips trees with separators, queries, a root name and an unfiled folder
// (empty or not), on the tree itself or on a clone; then executing the
// collected commands from the last to the first restores the tree.
TEST_P(ComparePropertyTest, StrippingIsUndoneByTheCollectedCommands) {
  int emptyUnfiled = 0, fullUnfiled = 0;
  for (uint32_t n = 1; n <= 40; ++n) {
    SCOPED_TRACE("case " + std::to_string(n));
    std::mt19937 rng(Seed(1000 + n));
    NodeSet base;
    testing::RandomTree(base, rng, 5 + static_cast<int>(rng() % 40));
    std::vector<std::string> folders;
    for (const std::string& id : Reachable(base))
      if (base.GetNode(id, false, false, true)->IsFolder()) folders.push_back(id);
    for (int i = static_cast<int>(rng() % 8); i >= 0; --i) {
      const std::string& folder = folders[rng() % folders.size()];
      Node* node = base.GetNode(folder, false, false, true);
      std::string bnid = node->GetChildLength() > 0 && rng() % 2
                             ? node->GetChildAt(rng() % node->GetChildLength())
                             : "";
      // Now and then two in a row.
      for (int k = rng() % 3 == 0 ? 2 : 1; k > 0; --k) {
        std::string id = "s" + std::to_string(i) + "_" + std::to_string(k);
        base.Do_insert(id, {{"pnid", folder},
                            {"bnid", bnid},
                            {"ntype", rng() % 4 ? "separator" : "query"},
                            {"name", "---"}});
        bnid = id;
      }
    }
    std::string unfiled;
    switch (rng() % 3) {
      case 0:
        unfiled = "unfiled";
        base.Do_insert(unfiled, {{"pnid", "ROOT"}, {"ntype", "folder"}, {"name", "Unfiled"}});
        break;
      case 1:
        unfiled = folders[rng() % folders.size()];
        if (unfiled == "ROOT") unfiled.clear();
        break;
    }
    if (!unfiled.empty()) base.Do_update("ROOT", {{"unid", unfiled}});
    const bool unfiledEmpty =
        !unfiled.empty() && base.GetNode(unfiled, false, false, true)->GetChildLength() == 0;
    emptyUnfiled += unfiledEmpty;
    fullUnfiled += !unfiled.empty() && !unfiledEmpty;

    const std::string baseText = Snapshot(base, true);
    NodeSet clone(&base);
    NodeSet& set = rng() % 2 ? clone : base;
    CommandSet commands;
    set.OnTree("ROOT", NodeSet::kCleanNonIEData, nullptr, &commands, false);
    EXPECT_FALSE(set.GetNode("ROOT", false, false, true)->HasAttr("unid"));
    for (const std::string& id : Reachable(set)) {
      const std::string& type = set.GetNode(id, false, false, true)->GetAttr("ntype");
      EXPECT_TRUE(type != "separator" && type != "query") << id;
      EXPECT_FALSE(unfiledEmpty && id == unfiled) << "the empty unfiled folder stayed";
    }
    if (&set == &clone) {
      EXPECT_EQ(Snapshot(base, true), baseText) << "the base changed";
    }

    for (size_t i = commands.GetSize(); i-- > 0;) set.Execute(*commands.GetAt(i));
    EXPECT_EQ(Snapshot(set, true), baseText);
  }
  EXPECT_GT(emptyUnfiled, 3);
  EXPECT_GT(fullUnfiled, 3);
}

INSTANTIATE_TEST_SUITE_P(CompareInFlavours, ComparePropertyTest,
                         ::testing::Values(Flavour::Windows, Flavour::Mac), FlavourName);

}  // namespace
}  // namespace tarvex
