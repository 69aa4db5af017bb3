// The nodes of a set by id. The entries sit in one array in the order they
// were added, with a flat hash index over them; an entry is never removed
// (a node that goes leaves a null entry, the tombstone), so places in the
// array stay valid. The nodes themselves are allocated one by one and never
// move, so a node found here may be held while entries are added.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nodeset/HashIndex.h"
#include "nodeset/Node.h"

namespace tarvex {

class NodeTable {
 public:
  using value_type = std::pair<std::string, std::unique_ptr<Node>>;
  using Entries = std::vector<value_type>;
  using iterator = Entries::iterator;
  using const_iterator = Entries::const_iterator;

  NodeTable() = default;
  NodeTable(NodeTable&&) = default;
  NodeTable& operator=(NodeTable&&) = default;

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  void reserve(size_t count) {
    entries_.reserve(count);
    index_.reserve(count, Rehash{this});
  }
  void clear() {
    entries_.clear();
    index_.clear();
  }
  void swap(NodeTable& other) {
    entries_.swap(other.entries_);
    index_.swap(other.index_);
  }

  iterator find(std::string_view id) {
    uint32_t at = Locate(id, HashKey(id));
    return at == HashIndex::npos ? entries_.end() : entries_.begin() + at;
  }
  const_iterator find(std::string_view id) const { return const_cast<NodeTable*>(this)->find(id); }
  size_t count(std::string_view id) const { return find(id) != end() ? 1 : 0; }

  // Adds an entry of `id` holding `node` when the id has none; the entry of
  // the id (unchanged) otherwise.
  std::pair<iterator, bool> emplace(std::string_view id, std::unique_ptr<Node> node) {
    const uint64_t hash = HashKey(id);
    uint32_t at = Locate(id, hash);
    if (at != HashIndex::npos) return {entries_.begin() + at, false};
    at = static_cast<uint32_t>(entries_.size());
    entries_.emplace_back(std::string(id), std::move(node));
    index_.Insert(hash, at, Rehash{this});
    return {entries_.begin() + at, true};
  }
  // The same with no node yet.
  std::pair<iterator, bool> try_emplace(std::string_view id) { return emplace(id, nullptr); }

 private:
  // The hash of an entry's id, for the index.
  struct Rehash {
    const NodeTable* table;
    uint64_t operator()(uint32_t at) const { return HashKey(table->entries_[at].first); }
  };

  uint32_t Locate(std::string_view id, uint64_t hash) const {
    return index_.Find(hash, [&](uint32_t at) { return entries_[at].first == id; });
  }

  Entries entries_;
  HashIndex index_;
};

}  // namespace tarvex
