// One entry of a bookmark tree: the root, a folder, a bookmark, a separator
// or any other entry type of the browser's store.
#pragma once

#include <json/json.h>

#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ie/foundation/text/Text.h"
#include "nodeset/Attributes.h"

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

// The ordered child ids of a node: a linked list with an index from id to
// place, so that changes by id do not depend on the folder's size, and a
// vector form built again on demand (appends keep it current).
class ChildList {
 public:
  using List = std::list<std::string>;
  using const_iterator = List::const_iterator;

  ChildList() = default;
  ChildList(const ChildList& other) { Assign(other.Vector()); }
  ChildList& operator=(const ChildList&) = delete;

  size_t size() const { return list_.size(); }
  const_iterator begin() const { return list_.begin(); }
  const_iterator end() const { return list_.end(); }
  bool Contains(std::string_view id) const { return index_.find(id) != index_.end(); }
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
  List::iterator First(std::string_view id);
  List::const_iterator First(std::string_view id) const;
  void Insert(List::iterator where, std::string id);
  void Erase(List::iterator where);

  List list_;
  // Keys view the strings held by the list's own elements, which never move.
  std::unordered_multimap<std::string_view, List::iterator> index_;
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

  bool IsFolder() const { return GetAttr(keys::kNtype) == keys::kFolder; }

 private:
  void Init();

  std::string id_;
  int position_ = kUnplaced;
  Attributes attributes_;
  ChildList& Children();

  // Made on the first child: most nodes are bookmarks and have none.
  std::unique_ptr<ChildList> children_;
  std::string hash_;
};

// Splits a comma-separated list, leaving out empty pieces.
std::vector<std::string> SplitTags(std::string_view tags);

}  // namespace tarvex
