// One entry of a bookmark tree: the root, a folder, a bookmark, a separator
// or any other entry type of the browser's store.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text/Text.h"
#include "nodeset/Attributes.h"
#include "nodeset/HashIndex.h"

namespace tarvex {

class NodeSet;

// Attribute keys the engine treats specially.
namespace keys {
inline constexpr std::string_view kNid = "nid";
inline constexpr std::string_view kChildren = "children";
inline constexpr std::string_view kPnid = "pnid";
inline constexpr std::string_view kBnid = "bnid";
inline constexpr std::string_view kNtype = "ntype";
inline constexpr std::string_view kName = "name";
inline constexpr std::string_view kUrl = "url";
inline constexpr std::string_view kCreated = "created";
inline constexpr std::string_view kModified = "modified";
inline constexpr std::string_view kVisited = "visited";
inline constexpr std::string_view kIcon = "icon";
inline constexpr std::string_view kTags = "tags";
inline constexpr std::string_view kTnid = "tnid";
inline constexpr std::string_view kUnid = "unid";
inline constexpr std::string_view kFolder = "folder";
inline constexpr std::string_view kBookmark = "bookmark";
inline constexpr std::string_view kRoot = "ROOT";
}  // namespace keys

// Attributes that hold times and are written to JSON as integers.
bool IsIntegerAttribute(std::string_view key);
// Ids and keys that must never be stored as attributes: they are members of
// a node's JSON form of their own.
bool IsReservedAttribute(std::string_view key);

// The ordered child ids of a node, with a flat hash index from id to place,
// so that changes by id do not depend on the folder's size. A list that has
// only been appended to (most are) is just the vector of its ids; the first
// other change threads a doubly linked list through an array of entries in
// the same order (entries that are removed are reused), and the vector form
// is then built again on demand (appends keep it current).
class ChildList {
  struct Entry {
    std::string id;
    uint32_t prev, next;
  };
  static constexpr uint32_t kNone = HashIndex::npos;

 public:
  // Walks the ids in order. Changes to the list other than removing the id
  // it stands on leave it valid.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string*;
    using reference = const std::string&;

    const_iterator() = default;
    reference operator*() const { return list_->IdAt(at_); }
    pointer operator->() const { return &**this; }
    const_iterator& operator++() {
      at_ = list_->NextOf(at_);
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }

   private:
    friend class ChildList;
    const_iterator(const ChildList* list, uint32_t at) : list_(list), at_(at) {}
    const ChildList* list_ = nullptr;
    uint32_t at_ = kNone;
  };

  ChildList() = default;
  ChildList(const ChildList& other) { Assign(other.Vector()); }
  ChildList& operator=(const ChildList&) = delete;

  size_t size() const { return size_; }
  const_iterator begin() const { return {this, Head()}; }
  const_iterator end() const { return {this, kNone}; }
  bool Contains(std::string_view id) const { return Locate(id, HashKey(id)) != kNone; }
  void Append(std::string id);
  bool InsertBefore(std::string id, std::string_view before);
  void InsertAt(std::string id, size_t index);
  // The first occurrence of `id`.
  bool Remove(std::string_view id);
  void RemoveAt(size_t index);
  std::string After(std::string_view id) const;
  const std::vector<std::string>& Vector() const;
  void Assign(std::vector<std::string> ids);

 private:
  // Places are positions in the vector until the list is linked, entries
  // after; linking makes entry i of the id at position i, so places stay.
  const std::string& IdAt(uint32_t at) const { return linked_ ? entries_[at].id : vector_[at]; }
  uint32_t Head() const { return linked_ ? head_ : (size_ > 0 ? 0 : kNone); }
  uint32_t NextOf(uint32_t at) const {
    if (linked_) return entries_[at].next;
    return at + 1 < size_ ? at + 1 : kNone;
  }
  // The hash of the id at a place, for the index.
  struct Rehash {
    const ChildList* list;
    uint64_t operator()(uint32_t at) const { return HashKey(list->IdAt(at)); }
  };
  // The place of some occurrence of `id`, or kNone.
  uint32_t Locate(std::string_view id, uint64_t hash) const;
  // The place of the first occurrence of `id` in order, or kNone.
  uint32_t First(std::string_view id) const;
  // The place at `index` in order (kNone past the end).
  uint32_t At(size_t index) const;
  // Threads the linked list through entries, before a change other than an
  // append.
  void Link();
  // Links a new entry before `where` (kNone: at the end).
  void Insert(uint32_t where, std::string id);
  void Erase(uint32_t at);

  bool linked_ = false;
  std::vector<Entry> entries_;
  HashIndex index_;
  uint32_t head_ = kNone, tail_ = kNone;
  // Removed entries, chained through `next`.
  uint32_t free_ = kNone;
  size_t size_ = 0;
  // The list itself until it is linked; then its vector form, when current.
  mutable std::vector<std::string> vector_;
  mutable bool vectorCurrent_ = true;
};

class Node {
 public:
  static constexpr int kUnplaced = -5;

  explicit Node(std::string id);
  Node(std::string id, Attributes attributes);
  Node(const Node& other);
  Node& operator=(const Node&) = delete;

  const std::string& GetID() const { return id_; }
  const std::string& GetHash() const { return hash_; }
  int GetPosition() const { return position_; }
  void SetPosition(int position) { position_ = position; }

  // "" when absent.
  const std::string& GetAttr(std::string_view key) const;
  bool HasAttr(std::string_view key) const;
  void SetAttr(std::string_view key, std::string_view value);
  void RemoveAttr(std::string_view key);
  const Attributes& Attrs() const { return attributes_; }
  Attributes GetSafeAttrs() const { return attributes_; }

  // Children, in display order. Changes by id (append, insert before a
  // sibling, remove) take the same time whatever the folder's size;
  // positions are found by walking the list.
  size_t GetChildLength() const { return children_ ? children_->size() : 0; }
  // "" past the end.
  const std::string& GetChildAt(size_t index) const;
  // The zero-based index of `id`, or -1.
  int FindChild(std::string_view id) const;
  bool HasChild(std::string_view id) const { return children_ && children_->Contains(id); }
  void AddChild(std::string id) { Children().Append(std::move(id)); }
  // Before the child at `index` (at the end past it).
  void InsertChild(std::string id, size_t index) { Children().InsertAt(std::move(id), index); }
  // Before the child `before`; false (nothing done) when it is not listed.
  bool InsertChildBefore(std::string id, std::string_view before) {
    return children_ && children_->InsertBefore(std::move(id), before);
  }
  // Nothing past the end.
  void RemoveChild(size_t index) {
    if (children_) children_->RemoveAt(index);
  }
  // Removes the child `id`; false when it is not listed.
  bool RemoveChildById(std::string_view id) { return children_ && children_->Remove(id); }
  // The child after `id`; "" when `id` is the last or not listed.
  std::string ChildAfter(std::string_view id) const {
    return children_ ? children_->After(id) : std::string();
  }
  const std::vector<std::string>& RawChildren() const;
  void SetChildren(std::vector<std::string> ids) { Children().Assign(std::move(ids)); }

  // Same id and attributes, unplaced, no hash; the child ids when asked.
  std::unique_ptr<Node> Clone(bool withChildren) const;

  // The first child (looked up in `set`) whose name is `name` and whose ntype
  // is "folder" exactly when `isFolder`; nullptr when none.
  Node* FindChildByName(std::string_view name, bool isFolder, NodeSet& set) const;

  // md5 of "id,url,name" followed by "_" and the current hash of each child.
  void ComputeHash(NodeSet& set);
  // Takes the attributes of `other` that this node lacks (an attribute that
  // is present but empty counts as absent); `tags` becomes the sorted union
  // of both lists.
  void Merge(const Node& other);

  // {"nid": id, "children": [...] (when any), attribute members}.
  Json::Value ToJSON() const;

  // Kept beside the attributes, so that walks asking only for the type read
  // nothing but the node.
  bool IsFolder() const { return folder_; }

 private:
  void Init();

  // After a change of the attributes that may touch `ntype`.
  void NoteType() { folder_ = GetAttr(keys::kNtype) == keys::kFolder; }

  std::string id_;
  int position_ = kUnplaced;
  bool folder_ = false;
  Attributes attributes_;
  ChildList& Children();

  // Made on the first child: most nodes are bookmarks and have none.
  std::unique_ptr<ChildList> children_;
  std::string hash_;
};

// Splits a comma-separated list, leaving out empty pieces.
std::vector<std::string> SplitTags(std::string_view tags);

}  // namespace tarvex
