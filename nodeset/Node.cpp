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
  return index < children_.size() ? children_[index] : *empty;
}

int Node::FindChild(std::string_view id) const {
  for (size_t i = 0; i < children_.size(); ++i)
    if (children_[i] == id) return static_cast<int>(i);
  return -1;
}

namespace {
// Below this many children a linear search is as quick as a set.
constexpr size_t kIndexedChildren = 32;
}  // namespace

bool Node::HasChild(std::string_view id) const {
  if (children_.size() < kIndexedChildren) return FindChild(id) >= 0;
  if (!childIndex_)
    childIndex_ = std::make_unique<std::unordered_multiset<std::string>>(children_.begin(),
                                                                         children_.end());
  return childIndex_->find(std::string(id)) != childIndex_->end();
}

void Node::AddChild(std::string id) {
  if (childIndex_) childIndex_->insert(id);
  children_.push_back(std::move(id));
}

void Node::InsertChild(std::string id, size_t index) {
  if (index > children_.size()) index = children_.size();
  if (childIndex_) childIndex_->insert(id);
  children_.insert(children_.begin() + static_cast<std::ptrdiff_t>(index), std::move(id));
}

void Node::RemoveChild(size_t index) {
  if (index >= children_.size()) return;
  if (childIndex_) childIndex_->erase(childIndex_->find(children_[index]));
  children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::unique_ptr<Node> Node::Clone(bool withChildren) const {
  auto copy = std::make_unique<Node>(id_, attributes_);
  if (withChildren) copy->children_ = children_;
  return copy;
}

Node::Node(const Node& other)
    : id_(other.id_),
      position_(other.position_),
      attributes_(other.attributes_),
      children_(other.children_),
      hash_(other.hash_) {}

Node* Node::FindChildByName(std::string_view name, bool isFolder, NodeSet& set) const {
  for (const std::string& child : children_) {
    Node* node = set.GetNode(child, false, false, true, "nodes1");
    if (node->GetAttr(keys::kName) == name && node->IsFolder() == isFolder) return node;
  }
  return nullptr;
}

void Node::ComputeHash(NodeSet& set) {
  std::string text = id_;
  text.append(",").append(GetAttr(keys::kUrl)).append(",").append(GetAttr(keys::kName));
  for (const std::string& child : children_)
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
  if (!children_.empty()) {
    Json::Value& list = out[std::string(keys::kChildren)] = Json::Value(Json::arrayValue);
    for (const std::string& child : children_) list.append(child);
  }
  return out;
}

}  // namespace tarvex
