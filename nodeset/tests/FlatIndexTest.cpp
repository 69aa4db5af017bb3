// The flat hash index and the containers built on it: the node table of a
// set and the child list of a node, each checked against a plain model
// under long random runs of changes (keys that share hashes, numbers past
// the narrow slots, repeated children, the change from a plain vector to a
// linked list).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "nodeset/HashIndex.h"
#include "nodeset/Node.h"
#include "nodeset/NodeTable.h"

namespace tarvex {
namespace {

// ---- HashIndex ---------------------------------------------------------------------

// Keys with their numbers, as an owner of an index keeps them; `weak` hashes
// put every key on one of a few hashes, so probing and key checks carry the
// work.
struct Owner {
  bool weak = false;
  std::map<uint32_t, std::string> keys;  // by number
  HashIndex index;

  uint64_t Hash(const std::string& key) const { return weak ? key.size() % 3 : HashKey(key); }
  auto Rehash() const {
    return [this](uint32_t value) { return Hash(keys.at(value)); };
  }
  bool Holds(uint32_t value, const std::string& key) const {
    auto it = keys.find(value);
    return it != keys.end() && it->second == key;
  }
  // Every number holding `key`.
  std::set<uint32_t> Numbers(const std::string& key) const {
    std::set<uint32_t> found;
    index.ForEach(Hash(key), [&](uint32_t value) {
      if (Holds(value, key)) found.insert(value);
    });
    return found;
  }
  void Add(const std::string& key, uint32_t value) {
    keys[value] = key;
    index.Insert(Hash(key), value, Rehash());
  }
  bool Remove(uint32_t value) {
    bool removed = index.Erase(Hash(keys.at(value)), value, Rehash());
    keys.erase(value);
    return removed;
  }
};

TEST(HashIndexTest, AgreesWithAModelUnderRandomInsertsAndErasures) {
  const struct {
    const char* what;
    bool weak;
    int keys;  // distinct keys drawn from
    int steps;
    uint32_t base;  // numbers start here (2^24 on: 64-bit slots)
  } cases[] = {
      {"many keys", false, 5000, 20000, 0},
      {"few keys, many repeats", false, 7, 3000, 0},
      {"keys sharing three hashes", true, 60, 3000, 0},
      {"numbers past the narrow slots", false, 500, 3000, (1u << 24) - 100},
      {"shared hashes past the narrow slots", true, 40, 2000, (1u << 24) - 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::mt19937 rng(7);
    Owner owner;
    owner.weak = c.weak;
    std::map<uint32_t, std::string> model;  // number -> key
    uint32_t next = c.base;
    for (int step = 0; step < c.steps; ++step) {
      const std::string key = "k" + std::to_string(rng() % static_cast<unsigned>(c.keys));
      if (model.empty() || rng() % 3 != 0) {
        owner.Add(key, next);
        model[next++] = key;
      } else {
        auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        ASSERT_TRUE(owner.Remove(it->first));
        model.erase(it);
      }
      if (step % 499 == 0 || step == c.steps - 1) {
        ASSERT_EQ(owner.index.size(), model.size());
        std::map<std::string, std::set<uint32_t>> expected;
        for (const auto& [value, k] : model) expected[k].insert(value);
        for (int k = 0; k < c.keys; ++k) {
          const std::string probe = "k" + std::to_string(k);
          ASSERT_EQ(owner.Numbers(probe), expected[probe]) << probe << " at step " << step;
        }
      }
    }
    // A number not stored is not erased, and an absent key is not found.
    EXPECT_FALSE(owner.index.Erase(owner.Hash("k0"), next + 5, owner.Rehash()));
    // Nor one past the narrow slots' range whose low bits are a stored one's.
    for (const auto& [value, key] : model)
      EXPECT_FALSE(owner.index.Erase(owner.Hash(key), value + (1u << 24), owner.Rehash()));
    EXPECT_EQ(owner.index.size(), model.size());
    EXPECT_EQ(owner.index.Find(owner.Hash("absent"),
                               [&](uint32_t value) { return owner.Holds(value, "absent"); }),
              HashIndex::npos);
  }
}

TEST(HashIndexTest, ReserveAndClear) {
  Owner owner;
  owner.index.reserve(1000, owner.Rehash());
  for (uint32_t i = 0; i < 1000; ++i) owner.Add("k" + std::to_string(i), i);
  EXPECT_EQ(owner.Numbers("k999"), std::set<uint32_t>{999});
  owner.index.clear();
  EXPECT_EQ(owner.index.size(), 0u);
  EXPECT_TRUE(owner.Numbers("k999").empty());
  owner.Add("again", 3);
  EXPECT_EQ(owner.Numbers("again"), std::set<uint32_t>{3});
}

// ---- NodeTable -----------------------------------------------------------------------

TEST(NodeTableTest, FindsNodesAndTombstonesAndKeepsTheOrderOfAdding) {
  NodeTable table;
  std::vector<std::string> order;
  for (int i = 0; i < 3000; ++i) {
    std::string id = "n" + std::to_string(i * 7919 % 3001);
    auto [it, added] = table.emplace(id, i % 5 == 0 ? nullptr : std::make_unique<Node>(id));
    ASSERT_TRUE(added) << id;
    EXPECT_EQ(it->first, id);
    order.push_back(id);
  }
  // An id held already keeps its entry.
  auto [again, added] = table.try_emplace(order[11]);
  EXPECT_FALSE(added);
  EXPECT_EQ(again->first, order[11]);
  ASSERT_NE(again->second, nullptr);

  ASSERT_EQ(table.size(), order.size());
  size_t at = 0;
  for (const auto& [id, node] : table) {
    EXPECT_EQ(id, order[at]);
    EXPECT_EQ(node == nullptr, at % 5 == 0) << id;
    if (node) {
      EXPECT_EQ(node->GetID(), id);
    }
    ++at;
  }
  for (size_t i = 0; i < order.size(); ++i) {
    auto it = table.find(order[i]);
    ASSERT_NE(it, table.end()) << order[i];
    EXPECT_EQ(it->first, order[i]);
  }
  for (const char* absent : {"", "n3001", "x", "n1 "}) {
    EXPECT_EQ(table.find(absent), table.end()) << absent;
    EXPECT_EQ(table.count(absent), 0u) << absent;
  }

  NodeTable other;
  other.swap(table);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(order[1]), table.end());
  EXPECT_EQ(other.count(order[1]), 1u);
  other.clear();
  EXPECT_EQ(other.find(order[1]), other.end());
}

// ---- ChildList -----------------------------------------------------------------------

// The list against a plain vector, over random changes of every kind, with
// ids that repeat (a damaged tree lists a child twice): the first
// occurrence is the one found, removed or inserted before.
TEST(ChildListTest, AgreesWithAVectorUnderRandomChanges) {
  const struct {
    const char* what;
    int ids;          // distinct ids drawn from
    int appendsOnly;  // steps of appends before other changes
    int steps;
  } cases[] = {
      {"distinct ids", 100000, 50, 3000},
      {"repeated ids", 12, 20, 3000},
      {"appends only", 1000, 2000, 0},
      {"changes from the start", 40, 0, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::mt19937 rng(11);
    auto randomId = [&] { return "c" + std::to_string(rng() % static_cast<unsigned>(c.ids)); };
    ChildList list;
    std::vector<std::string> model;
    auto firstOf = [&](const std::string& id) { return std::find(model.begin(), model.end(), id); };
    auto check = [&](int step) {
      SCOPED_TRACE("step " + std::to_string(step));
      ASSERT_EQ(list.size(), model.size());
      ASSERT_EQ(list.Vector(), model);
      ASSERT_TRUE(std::equal(list.begin(), list.end(), model.begin(), model.end()));
      for (int probe = 0; probe < 20; ++probe) {
        const std::string id = randomId();
        auto it = firstOf(id);
        EXPECT_EQ(list.Contains(id), it != model.end()) << id;
        std::string after = it == model.end() || it + 1 == model.end() ? "" : *(it + 1);
        EXPECT_EQ(list.After(id), after) << id;
      }
    };
    for (int i = 0; i < c.appendsOnly; ++i) {
      std::string id = randomId();
      list.Append(id);
      model.push_back(id);
      if (i % 50 == 0) check(i);
    }
    check(c.appendsOnly);
    for (int step = 0; step < c.steps; ++step) {
      const std::string id = randomId();
      const size_t index = rng() % (model.size() + 2);
      switch (rng() % 6) {
        case 0:
          list.Append(id);
          model.push_back(id);
          break;
        case 1: {
          const std::string before = model.empty() ? "none" : model[rng() % model.size()];
          auto where = firstOf(before);
          EXPECT_EQ(list.InsertBefore(id, before), where != model.end());
          if (where != model.end()) model.insert(where, id);
          break;
        }
        case 2:
          list.InsertAt(id, index);
          model.insert(model.begin() + static_cast<long>(std::min(index, model.size())), id);
          break;
        case 3: {
          auto where = firstOf(id);
          EXPECT_EQ(list.Remove(id), where != model.end());
          if (where != model.end()) model.erase(where);
          break;
        }
        case 4:
          list.RemoveAt(index);
          if (index < model.size()) model.erase(model.begin() + static_cast<long>(index));
          break;
        default: {
          // A copy reads the same and changes apart.
          ChildList copy(list);
          ASSERT_EQ(copy.Vector(), model);
          copy.Append("only-in-the-copy");
          break;
        }
      }
      if (step % 25 == 0) check(step);
    }
    check(c.steps);
    std::vector<std::string> assigned{"x", "y", "x"};
    list.Assign(assigned);
    model = assigned;
    check(-1);
  }
}

// An id listed thousands of times (its entries crowd the index, wrap around
// its end and are moved when it grows) is still found at its first place.
TEST(ChildListTest, AnIdListedManyTimesIsFoundAtItsFirstPlace) {
  for (const char* id : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
    SCOPED_TRACE(id);
    ChildList list;
    std::vector<std::string> model;
    for (int i = 0; i < 3000; ++i) {
      std::string child = i % 7 == 3 ? "x" + std::to_string(i) : id;
      list.Append(child);
      model.push_back(child);
      auto first = std::find(model.begin(), model.end(), id);
      ASSERT_EQ(list.After(id), first + 1 == model.end() ? "" : *(first + 1)) << i;
    }
    // Removing takes the first; the linked list keeps finding the first.
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(list.Remove(id));
      model.erase(std::find(model.begin(), model.end(), id));
      ASSERT_TRUE(list.InsertBefore("y" + std::to_string(i), id));
      model.insert(std::find(model.begin(), model.end(), id), "y" + std::to_string(i));
    }
    EXPECT_EQ(list.Vector(), model);
  }
}

// A walk keeps its place while the list changes around it, also when the
// first change other than an append turns the vector into a linked list
// (the reorder pass of a comparison walks a list this way).
TEST(ChildListTest, AnIteratorStaysOnItsIdWhileTheListChanges) {
  ChildList list;
  list.Assign({"a", "b", "c", "d"});
  auto cursor = list.begin();
  ++cursor;  // on "b"
  ASSERT_TRUE(list.Remove("d"));
  ASSERT_TRUE(list.InsertBefore("d", *cursor));
  EXPECT_EQ(*cursor, "b");
  list.Append("e");
  ASSERT_TRUE(list.Remove("a"));
  EXPECT_EQ(*cursor, "b");
  ++cursor;
  EXPECT_EQ(*cursor, "c");
  ++cursor;
  EXPECT_EQ(*cursor, "e");
  ++cursor;
  EXPECT_EQ(cursor, list.end());
  EXPECT_EQ(list.Vector(), (std::vector<std::string>{"d", "b", "c", "e"}));
}

}  // namespace
}  // namespace tarvex
