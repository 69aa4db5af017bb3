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
  NoteType();
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
  if (key == keys::kNtype) NoteType();
}

void Node::RemoveAttr(std::string_view key) {
  auto it = attributes_.find(key);
  if (it != attributes_.end()) attributes_.erase(it);
  if (key == keys::kNtype) NoteType();
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

uint32_t ChildList::Locate(std::string_view id, uint64_t hash) const {
  return index_.Find(hash, [&](uint32_t at) { return IdAt(at) == id; });
}

uint32_t ChildList::First(std::string_view id) const {
  uint32_t found = kNone;
  size_t count = 0;
  index_.ForEach(HashKey(id), [&](uint32_t at) {
    if (IdAt(at) != id) return;
    ++count;
    // Positions are in order: the smallest is the first.
    if (found == kNone || (!linked_ && at < found)) found = at;
  });
  if (count <= 1 || !linked_) return found;
  // Listed more than once (only in a damaged tree): the first in order.
  for (uint32_t at = head_; at != kNone; at = entries_[at].next)
    if (entries_[at].id == id) return at;
  return kNone;
}

uint32_t ChildList::At(size_t index) const {
  if (!linked_) return index < size_ ? static_cast<uint32_t>(index) : kNone;
  uint32_t at = head_;
  for (; at != kNone && index > 0; --index) at = entries_[at].next;
  return at;
}

void ChildList::Link() {
  if (linked_) return;
  const uint32_t count = static_cast<uint32_t>(size_);
  entries_.clear();
  entries_.reserve(count);
  for (uint32_t at = 0; at < count; ++at)
    entries_.push_back(
        Entry{vector_[at], at > 0 ? at - 1 : kNone, at + 1 < count ? at + 1 : kNone});
  head_ = count > 0 ? 0 : kNone;
  tail_ = count > 0 ? count - 1 : kNone;
  free_ = kNone;
  linked_ = true;
  vectorCurrent_ = true;
}

void ChildList::Insert(uint32_t where, std::string id) {
  const uint64_t hash = HashKey(id);
  uint32_t at;
  if (free_ != kNone) {
    at = free_;
    free_ = entries_[at].next;
    entries_[at].id = std::move(id);
  } else {
    at = static_cast<uint32_t>(entries_.size());
    entries_.push_back(Entry{std::move(id), kNone, kNone});
  }
  Entry& entry = entries_[at];
  entry.next = where;
  entry.prev = where == kNone ? tail_ : entries_[where].prev;
  (entry.prev == kNone ? head_ : entries_[entry.prev].next) = at;
  (where == kNone ? tail_ : entries_[where].prev) = at;
  index_.Insert(hash, at, Rehash{this});
  ++size_;
}

void ChildList::Erase(uint32_t at) {
  Entry& entry = entries_[at];
  index_.Erase(HashKey(entry.id), at, Rehash{this});
  (entry.prev == kNone ? head_ : entries_[entry.prev].next) = entry.next;
  (entry.next == kNone ? tail_ : entries_[entry.next].prev) = entry.prev;
  std::string().swap(entry.id);
  entry.prev = kNone;
  entry.next = free_;
  free_ = at;
  --size_;
}

void ChildList::Append(std::string id) {
  if (linked_) {
    if (vectorCurrent_) vector_.push_back(id);
    Insert(kNone, std::move(id));
    return;
  }
  const uint64_t hash = HashKey(id);
  vector_.push_back(std::move(id));
  index_.Insert(hash, static_cast<uint32_t>(size_), Rehash{this});
  ++size_;
}

bool ChildList::InsertBefore(std::string id, std::string_view before) {
  uint32_t where = First(before);
  if (where == kNone) return false;
  Link();
  Insert(where, std::move(id));
  vectorCurrent_ = false;
  return true;
}

void ChildList::InsertAt(std::string id, size_t index) {
  if (index >= size_) return Append(std::move(id));
  Link();
  Insert(At(index), std::move(id));
  vectorCurrent_ = false;
}

bool ChildList::Remove(std::string_view id) {
  uint32_t at = First(id);
  if (at == kNone) return false;
  Link();
  Erase(at);
  vectorCurrent_ = false;
  return true;
}

void ChildList::RemoveAt(size_t index) {
  if (index >= size_) return;
  Link();
  Erase(At(index));
  vectorCurrent_ = false;
}

std::string ChildList::After(std::string_view id) const {
  uint32_t at = First(id);
  if (at == kNone) return {};
  uint32_t next = NextOf(at);
  return next == kNone ? std::string() : IdAt(next);
}

const std::vector<std::string>& ChildList::Vector() const {
  if (!vectorCurrent_) {
    vector_.clear();
    vector_.reserve(size_);
    for (uint32_t at = head_; at != kNone; at = entries_[at].next)
      vector_.push_back(entries_[at].id);
    vectorCurrent_ = true;
  }
  return vector_;
}

void ChildList::Assign(std::vector<std::string> ids) {
  std::vector<Entry>().swap(entries_);
  linked_ = false;
  head_ = tail_ = free_ = kNone;
  vector_ = std::move(ids);
  vectorCurrent_ = true;
  size_ = vector_.size();
  index_.clear();
  index_.reserve(size_, Rehash{this});
  for (uint32_t at = 0; at < size_; ++at) index_.Insert(HashKey(vector_[at]), at, Rehash{this});
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
      folder_(other.folder_),
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
  // Room for what this node lacks, in one step.
  size_t lacking = 0;
  for (const auto& [key, value] : other.attributes_) lacking += attributes_.count(key) ? 0 : 1;
  if (attributes_.size() + lacking > attributes_.capacity())
    attributes_.reserve(attributes_.size() + lacking);
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
  NoteType();
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
