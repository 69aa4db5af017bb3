// The attributes of a node and the arguments of a command: a small map from
// key to value, ordered by UTF-16 code units, kept as one sorted vector. A
// node holds a handful of attributes, so one contiguous block is both smaller
// and quicker to search than a tree of separately allocated entries.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/Text.h"

namespace tarvex {

class Attributes {
 public:
  using value_type = std::pair<std::string, std::string>;
  using Entries = std::vector<value_type>;
  using iterator = Entries::iterator;
  using const_iterator = Entries::const_iterator;

  Attributes() = default;
  // As a map built from the list: the first of equal keys wins.
  Attributes(std::initializer_list<value_type> entries) {
    entries_.reserve(entries.size());
    for (const value_type& entry : entries) emplace(entry.first, entry.second);
  }

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear() { entries_.clear(); }
  void reserve(size_t count) { entries_.reserve(count); }
  size_t capacity() const { return entries_.capacity(); }

  iterator find(std::string_view key) {
    iterator it = LowerBound(key);
    return it != entries_.end() && it->first == key ? it : entries_.end();
  }
  const_iterator find(std::string_view key) const {
    return const_cast<Attributes*>(this)->find(key);
  }
  size_t count(std::string_view key) const { return find(key) != end() ? 1 : 0; }
  const std::string& at(std::string_view key) const {
    const_iterator it = find(key);
    if (it == end()) throw std::out_of_range("no attribute " + std::string(key));
    return it->second;
  }
  // The value of `key`, inserted empty when absent.
  std::string& operator[](std::string_view key) {
    iterator it = LowerBound(key);
    if (it == entries_.end() || it->first != key) it = Add(it, std::string(key), std::string());
    return it->second;
  }
  // Inserts when the key is absent; the existing entry otherwise.
  std::pair<iterator, bool> emplace(std::string key, std::string value) {
    iterator it = LowerBound(key);
    if (it != entries_.end() && it->first == key) return {it, false};
    return {Add(it, std::move(key), std::move(value)), true};
  }
  std::pair<iterator, bool> insert(value_type entry) {
    return emplace(std::move(entry.first), std::move(entry.second));
  }
  iterator erase(const_iterator it) { return entries_.erase(it); }
  size_t erase(std::string_view key) {
    iterator it = find(key);
    if (it == entries_.end()) return 0;
    entries_.erase(it);
    return 1;
  }

  bool operator==(const Attributes& other) const { return entries_ == other.entries_; }

 private:
  // Inserts before `it`. A full block grows by half (at least two entries)
  // rather than doubling: nodes gain an attribute or two after they are
  // made, and every entry of spare room is held by each node of a tree.
  iterator Add(iterator it, std::string key, std::string value) {
    if (entries_.size() == entries_.capacity()) {
      const size_t at = static_cast<size_t>(it - entries_.begin());
      entries_.reserve(entries_.size() + std::max<size_t>(2, entries_.size() / 2));
      it = entries_.begin() + static_cast<std::ptrdiff_t>(at);
    }
    return entries_.emplace(it, std::move(key), std::move(value));
  }
  iterator LowerBound(std::string_view key) {
    return std::lower_bound(entries_.begin(), entries_.end(), key,
                            [](const value_type& entry, std::string_view k) {
                              return CompareUtf16(entry.first, k) < 0;
                            });
  }

  Entries entries_;
};

}  // namespace tarvex
