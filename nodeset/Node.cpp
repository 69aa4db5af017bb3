#include "nodeset/Node.h"

#include <set>

#include "nodeset/Engine.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/NodeSet.h"

namespace tarvex {

bool IsIntegerAttribute(std::string_view key) {
  return key == keys::kCreated || key == keys::kModified || key == keys::kVisited;
}

bool IsReservedAttribute(std::string_view key) {
  return key == keys::kNid || key == keys::kChildren;
}

std::vector<std::string> SplitTags(std::string_view tags) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  while (pos <= tags.size()) {
    size_t end = tags.find(',', pos);
    if (end == std::string_view::npos) end = tags.size();
    if (end > pos) pieces.emplace_back(tags.substr(pos, end - pos));
    pos = end + 1;
  }
  return pieces;
}

Node::Node(std::string id) : id_(std::move(id)) { Init(); }

Node::Node(std::string id, Attributes attributes)
    : id_(std::move(id)), attributes_(std::move(attributes)) {
  Init();
}

void Node::Init() {
  if (!attributes_.count(std::string(keys::kNtype)))
    attributes_.emplace(std::string(keys::kNtype), std::string(keys::kBookmark));
}

const std::string& Node::GetAttr(std::string_view key) const {
  static const std::string* empty = new std::string;
  auto it = attributes_.find(key);
  return it == attributes_.end() ? *empty : it->second;
}

bool Node::HasAttr(std::string_view key) const { return attributes_.find(key) != attributes_.end(); }

void Node::SetAttr(std::string_view key, std::string_view value) {
  auto it = attributes_.find(key);
  if (it != attributes_.end())
    it->second = value;
  else
    attributes_.emplace(std::string(key), std::string(value));
}

void Node::RemoveAttr(std::string_view key) {
  auto it = attributes_.find(key);
  if (it != attributes_.end()) attributes_.erase(it);
}

const std::string& Node::GetChildAt(size_t index) const {
  static const std::string* empty = new std::string;
  const std::vector<std::string>& children = RawChildren();
  return index < children.size() ? children[index] : *empty;
}

int Node::FindChild(std::string_view id) const {
  if (!HasChild(id)) return -1;
  const std::vector<std::string>& children = RawChildren();
  for (size_t i = 0; i < children.size(); ++i)
    if (children[i] == id) return static_cast<int>(i);
  return -1;
}

// ---- ChildList -------------------------------------------------------------------

void ChildList::Insert(List::iterator where, std::string id) {
  auto it = list_.insert(where, std::move(id));
  index_.emplace(std::string_view(*it), it);
}

void ChildList::Erase(List::iterator where) {
  auto range = index_.equal_range(std::string_view(*where));
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == where) {
      index_.erase(it);
      break;
    }
  list_.erase(where);
}

ChildList::List::iterator ChildList::First(std::string_view id) {
  auto range = index_.equal_range(id);
  if (range.first == range.second) return list_.end();
  if (std::next(range.first) == range.second) return range.first->second;
  // Listed more than once (only in a damaged tree): the first in order.
  for (auto it = list_.begin(); it != list_.end(); ++it)
    if (*it == id) return it;
  return list_.end();
}

ChildList::List::const_iterator ChildList::First(std::string_view id) const {
  return const_cast<ChildList*>(this)->First(id);
}

void ChildList::Append(std::string id) {
  if (vectorCurrent_) vector_.push_back(id);
  Insert(list_.end(), std::move(id));
}

bool ChildList::InsertBefore(std::string id, std::string_view before) {
  auto where = First(before);
  if (where == list_.end()) return false;
  Insert(where, std::move(id));
  vectorCurrent_ = false;
  return true;
}

void ChildList::InsertAt(std::string id, size_t index) {
  if (index >= list_.size()) return Append(std::move(id));
  Insert(std::next(list_.begin(), static_cast<std::ptrdiff_t>(index)), std::move(id));
  vectorCurrent_ = false;
}

bool ChildList::Remove(std::string_view id) {
  auto where = First(id);
  if (where == list_.end()) return false;
  Erase(where);
  vectorCurrent_ = false;
  return true;
}

void ChildList::RemoveAt(size_t index) {
  if (index >= list_.size()) return;
  Erase(std::next(list_.begin(), static_cast<std::ptrdiff_t>(index)));
  vectorCurrent_ = false;
}

std::string ChildList::After(std::string_view id) const {
  auto it = First(id);
  if (it == list_.end() || ++it == list_.end()) return {};
  return *it;
}

const std::vector<std::string>& ChildList::Vector() const {
  if (!vectorCurrent_) {
    vector_.assign(list_.begin(), list_.end());
    vectorCurrent_ = true;
  }
  return vector_;
}

void ChildList::Assign(std::vector<std::string> ids) {
  list_.clear();
  index_.clear();
  for (const std::string& id : ids) Insert(list_.end(), id);
  vector_ = std::move(ids);
  vectorCurrent_ = true;
}

// ---- Node ------------------------------------------------------------------------

ChildList& Node::Children() {
  if (!children_) children_ = std::make_unique<ChildList>();
  return *children_;
}

const std::vector<std::string>& Node::RawChildren() const {
  static const std::vector<std::string>* none = new std::vector<std::string>;
  return children_ ? children_->Vector() : *none;
}

std::unique_ptr<Node> Node::Clone(bool withChildren) const {
  auto copy = std::make_unique<Node>(id_, attributes_);
  if (withChildren && GetChildLength() > 0) copy->SetChildren(RawChildren());
  return copy;
}

Node::Node(const Node& other)
    : id_(other.id_),
      position_(other.position_),
      attributes_(other.attributes_),
      children_(other.children_ ? std::make_unique<ChildList>(*other.children_) : nullptr),
      hash_(other.hash_) {}

Node* Node::FindChildByName(std::string_view name, bool isFolder, NodeSet& set) const {
  for (const std::string& child : RawChildren()) {
    Node* node = set.GetNode(child, false, false, true, "nodes1");
    if (node->GetAttr(keys::kName) == name && node->IsFolder() == isFolder) return node;
  }
  return nullptr;
}

void Node::ComputeHash(NodeSet& set) {
  std::string text = id_;
  text.append(",").append(GetAttr(keys::kUrl)).append(",").append(GetAttr(keys::kName));
  for (const std::string& child : RawChildren())
    text.append("_").append(set.GetNode(child, false, false, true)->GetHash());
  hash_ = md5(text);
  if (Engine::Current().Flavor().logHashes && InfoOn())
    LogInfo(Format("Hashed %s as %s", text, hash_));
}

void Node::Merge(const Node& other) {
  for (const auto& [key, value] : other.attributes_) {
    auto it = attributes_.find(key);
    if (key == keys::kTags && it != attributes_.end()) {
      std::set<std::string, Utf16Less> all;
      for (std::string& piece : SplitTags(it->second)) all.insert(std::move(piece));
      for (std::string& piece : SplitTags(value)) all.insert(std::move(piece));
      std::string joined;
      for (const std::string& piece : all) {
        if (!joined.empty()) joined.push_back(',');
        joined.append(piece);
      }
      it->second = joined;
    } else if (it == attributes_.end()) {
      attributes_.emplace(key, value);
    } else if (it->second.empty()) {
      // Present but empty counts as absent: a bookmark without an address
      // takes the other's.
      it->second = value;
    }
  }
}

Json::Value Node::ToJSON() const {
  Json::Value out(Json::objectValue);
  for (const auto& [key, value] : attributes_) {
    if (IsReservedAttribute(key)) continue;
    if (IsIntegerAttribute(key))
      out[key] = Json::Value(static_cast<Json::Int64>(LeadingInt(value)));
    else
      out[key] = value;
  }
  out[std::string(keys::kNid)] = id_;
  if (GetChildLength() > 0) {
    Json::Value& list = out[std::string(keys::kChildren)] = Json::Value(Json::arrayValue);
    for (const std::string& child : RawChildren()) list.append(child);
  }
  return out;
}

}  // namespace tarvex
