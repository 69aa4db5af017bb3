// One entry of a bookmark tree: the root, a folder, a bookmark, a separator
// or any other entry type of the browser's store.
#pragma once

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ie/foundation/text/Text.h"

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

// Ordered by UTF-16 code units, as the program's wide strings were.
using Attributes = std::map<std::string, std::string, Utf16Less>;

// Attributes that hold times and are written to JSON as integers.
bool IsIntegerAttribute(std::string_view key);
// Ids and keys that must never be stored as attributes: they are members of
// a node's JSON form of their own.
bool IsReservedAttribute(std::string_view key);

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

  // Children, in display order.
  size_t GetChildLength() const { return children_.size(); }
  // "" past the end.
  const std::string& GetChildAt(size_t index) const;
  // The zero-based index of `id`, or -1.
  int FindChild(std::string_view id) const;
  // Whether `id` is among the children (constant time for large folders).
  bool HasChild(std::string_view id) const;
  void AddChild(std::string id);
  // Before the child at `index` (at the end past it).
  void InsertChild(std::string id, size_t index);
  // Nothing past the end.
  void RemoveChild(size_t index);
  const std::vector<std::string>& RawChildren() const { return children_; }
  // The list itself, for callers that rearrange it.
  std::vector<std::string>& MutableChildren() {
    childIndex_.reset();
    return children_;
  }

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
  std::vector<std::string> children_;
  std::string hash_;
  // The children as a set, kept for large folders only; rebuilt on demand.
  mutable std::unique_ptr<std::unordered_multiset<std::string>> childIndex_;
};

// Splits a comma-separated list, leaving out empty pieces.
std::vector<std::string> SplitTags(std::string_view tags);

}  // namespace tarvex
