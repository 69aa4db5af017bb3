#include "nodeset/NodeSet.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <unordered_set>

#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/Json.h"

namespace tarvex {

NodeSet::NodeSet(NodeSet* base) : base_(base) {
  if (base_) {
    userHash_ = base_->userHash_;
    revision_ = base_->revision_;
  }
}

NodeSet::~NodeSet() = default;

// ---- Lookup -------------------------------------------------------------------

Node* NodeSet::GetNode(std::string_view id, bool clone, bool allowMissing, bool searchBase,
                       std::string_view label) {
  auto it = table_.find(id);
  if (it == table_.end()) {
    if (searchBase && base_) {
      Node* found = base_->GetNode(id, false, allowMissing, true, "nodes99");
      if (found && clone) {
        std::unique_ptr<Node> copy = found->Clone(true);
        Node* raw = copy.get();
        AddNode(std::move(copy));
        return raw;
      }
      return found;
    }
    if (allowMissing) return nullptr;
    std::string message = Format("Node not found: %s. Total nodes: %d.", id, table_.size());
    if (!label.empty()) message.append(" From: ").append(label);
    Fail(ErrorKind::NotFound, message);
  }
  if (!it->second) {
    if (allowMissing) return nullptr;
    Fail(ErrorKind::NotFound, Format("Node not found (it was empty): %s", id));
  }
  return it->second.get();
}

Node* NodeSet::AddNode(std::unique_ptr<Node> node) {
  auto [it, added] = table_.try_emplace(node->GetID());
  if (!added && it->second)
    Fail(ErrorKind::Duplicate, Format("Node [%s] already exists!", node->GetID()));
  it->second = std::move(node);  // a new entry, or in place of a tombstone
  return it->second.get();
}

void NodeSet::Tombstone(const std::string& id) {
  auto it = table_.find(id);
  if (it != table_.end())
    it->second.reset();
  else
    table_.emplace(id, nullptr);
}

// ---- Tree operations ------------------------------------------------------------

void NodeSet::CheckInsertInParent(std::string_view id, std::string_view pnid,
                                  std::string_view bnid, std::string_view leaving) {
  if (id.empty()) Fail(ErrorKind::General, "bad nid");
  if (id == keys::kRoot)
    Fail(ErrorKind::General, Format("ROOT cannot be placed in parent [%s]", pnid));
  if (pnid.empty()) Fail(ErrorKind::General, Format("bad pnid for nid %s", id));
  if (pnid == id) Fail(ErrorKind::General, Format("Node %s cannot be its own parent", id));
  Node* parent = GetNode(pnid, false, false, true, "nodes97");
  // When the node is about to leave this very parent, it no longer counts
  // among its children.
  bool leavesHere = !leaving.empty() && leaving == pnid;
  if (!leavesHere && parent->HasChild(id))
    Fail(ErrorKind::General, Format("Child [%s] already exists in parent [%s]", id, pnid));
  if (!bnid.empty() && (!parent->HasChild(bnid) || (leavesHere && bnid == id)))
    Fail(ErrorKind::General, Format("didn't find child %s in parent %s", bnid, pnid));
}

void NodeSet::InsertInParent(std::string_view id, std::string_view pnid, std::string_view bnid) {
  if (id == keys::kRoot && pnid.empty()) {
    if (InfoOn()) LogInfo(Format("Inserting %s as child: %s [bnid: %s]", id, pnid, bnid));
    return;
  }
  CheckInsertInParent(id, pnid, bnid);
  // The node must be there before its parent's list changes.
  GetNode(id, false, false, true, "nodes96");
  PlaceInParent(id, pnid, bnid);
}

void NodeSet::PlaceInParent(std::string_view id, std::string_view pnid, std::string_view bnid,
                            Node* own) {
  if (InfoOn()) LogInfo(Format("Inserting %s as child: %s [bnid: %s]", id, pnid, bnid));
  Node* parent = GetNode(pnid, true, false, true, "nodes97");
  if (bnid.empty())
    parent->AddChild(std::string(id));
  else
    parent->InsertChildBefore(std::string(id), bnid);
  (own ? own : GetNode(id, true, false, true, "nodes96"))->SetAttr(keys::kPnid, pnid);
}

void NodeSet::RemoveFromParent(std::string_view id) {
  if (InfoOn()) LogInfo(Format("Removing %s from parent", id));
  // Look everything up before changing anything.
  std::string pnid = GetNode(id, false, false, true, "nodes95")->GetAttr(keys::kPnid);
  Node* parent = GetNode(pnid, false, false, true, "nodes94");
  if (!parent->HasChild(id))
    Fail(ErrorKind::General, Format("didn't find child %s in parent %s", id, pnid));
  GetNode(pnid, true, false, true, "nodes94")->RemoveChildById(id);
  GetNode(id, true, false, true, "nodes95")->RemoveAttr(keys::kPnid);
}

std::vector<std::string> NodeSet::CollectSubtree(std::string_view id) {
  std::vector<std::string> order;
  std::unordered_set<std::string> seen;
  std::vector<std::string> stack{std::string(id)};
  while (!stack.empty()) {
    std::string current = std::move(stack.back());
    stack.pop_back();
    if (!seen.insert(current).second) continue;  // a cycle: each node once
    Node* node = GetNode(current, false, false, true, "nodes6");
    const std::vector<std::string>& children = node->RawChildren();
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    order.push_back(std::move(current));
  }
  return order;
}

void NodeSet::NukeNode(std::string_view id) {
  for (const std::string& each : CollectSubtree(id)) {
    if (InfoOn()) LogInfo(Format("Nuking: %s", each));
    Tombstone(each);
  }
}

std::string NodeSet::NextSibling(std::string_view id, NodeSet& other) {
  if (InfoOn()) LogInfo(Format("Getting next sibling for: %s", id));
  Node* node = GetNode(id, false, false, true, "nodes2");
  const std::string& pnid = node->GetAttr(keys::kPnid);
  Node* parent = GetNode(pnid, false, false, true, "nodes3");
  Node* otherParent = other.GetNode(pnid, false, false, true, "nodes4");
  int index = parent->FindChild(id);
  if (index < 0) return {};
  for (size_t i = static_cast<size_t>(index + 1); i < parent->GetChildLength(); ++i)
    if (otherParent->HasChild(parent->GetChildAt(i))) return parent->GetChildAt(i);
  return {};
}

void NodeSet::RewriteChildNodeOrder(Node& node) {
  const std::vector<std::string> children = node.RawChildren();
  for (size_t i = 0; i < children.size(); ++i)
    GetNode(children[i], true, false, true)->SetPosition(static_cast<int>(i));
}

void NodeSet::SortNodeChildren(int mode, Node& node) {
  // Look every child up first, so a missing one fails before the list moves.
  std::vector<std::pair<std::string, Node*>> entries;
  for (const std::string& child : node.RawChildren())
    entries.emplace_back(child, GetNode(child, false, false, true, mode == 1 ? "nodes26" : "nodes28"));
  if (mode == 1) {
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      int pa = a.second->GetPosition(), pb = b.second->GetPosition();
      bool placedA = pa >= 0, placedB = pb >= 0;
      if (placedA != placedB) return placedA;
      if (placedA) return pa < pb;
      return CompareUtf16(a.first, b.first) < 0;
    });
  } else {
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      bool fa = a.second->IsFolder(), fb = b.second->IsFolder();
      if (fa != fb) return fa;
      return CompareUtf16(AsciiLower(a.second->GetAttr(keys::kName)),
                          AsciiLower(b.second->GetAttr(keys::kName))) < 0;
    });
  }
  std::vector<std::string> sorted;
  sorted.reserve(entries.size());
  for (auto& entry : entries) sorted.push_back(std::move(entry.first));
  node.SetChildren(std::move(sorted));
}

// ---- JSON and files --------------------------------------------------------------

Json::Value NodeSet::ToJSON(bool flatten) const {
  Json::Value out(Json::objectValue);
  Json::Value& nodes = out["_nodes"] = Json::Value(Json::arrayValue);
  if (!flatten || !base_) {
    // The table is hashed; the file lists nodes by id.
    std::vector<const Node*> sorted;
    sorted.reserve(table_.size());
    for (const auto& [id, node] : table_)
      if (node) sorted.push_back(node.get());
    std::sort(sorted.begin(), sorted.end(), [](const Node* a, const Node* b) {
      return CompareUtf16(a->GetID(), b->GetID()) < 0;
    });
    for (const Node* node : sorted) nodes.append(node->ToJSON());
  } else {
    // The whole tree: each set's entries over those of the sets below it.
    std::vector<const NodeSet*> chain;
    for (const NodeSet* s = this; s; s = s->base_) chain.push_back(s);
    std::map<std::string_view, const Node*, Utf16Less> view;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
      for (const auto& [id, node] : (*it)->table_) {
        if (node)
          view[id] = node.get();
        else
          view.erase(id);
      }
    for (const auto& [id, node] : view) nodes.append(node->ToJSON());
  }
  out["currentRevision"] = revision_;
  out["userHash"] = userHash_;
  out["version"] = Engine::Current().Platform().GetSetting("kestroveversion", "");
  return out;
}

void NodeSet::CheckUser(const Json::Value& value) {
  const Json::Value& stored = value["userHash"];
  if (stored.isNull()) return;  // the set's identity stays as it was
  std::string text = JsonText(stored);
  if (!Engine::Current().Flavor().checkBaselineUser) {
    userHash_ = text;
    return;
  }
  std::vector<std::string> identities = Engine::Current().Platform().UserIdentities();
  if (identities.empty()) {
    userHash_ = text;
    return;
  }
  if (std::find(identities.begin(), identities.end(), text) == identities.end())
    Fail(ErrorKind::General,
         Format("Baseline's hash [%s] does not match current user [%s]", text, identities[0]));
  userHash_ = identities[0];
}

namespace {

struct LoadError {
  ErrorKind kind;
  std::string message;
};

// Reads `_nodes` into `table` and checks the tree reachable from ROOT. Type
// errors of the JSON values pass through as the library's errors.
std::optional<LoadError> ReadNodes(const Json::Value& nodes, NodeSet::Table& table) {
  if (nodes.isNull()) return std::nullopt;
  if (!nodes.isArray()) return LoadError{ErrorKind::General, "Invalid baseline: _nodes is not a list"};
  for (const Json::Value& element : nodes) {
    if (!element.isObject())
      return LoadError{ErrorKind::General, "Invalid baseline: a node is not an object"};
    std::string id;
    std::vector<std::string> children;
    Attributes attributes;
    for (auto member = element.begin(); member != element.end(); ++member) {
      std::string name = SanitizeUtf8(member.name());
      if (name == keys::kNid) {
        id = JsonText(*member);
      } else if (name == keys::kChildren) {
        if (!member->isArray())
          return LoadError{ErrorKind::General, "Invalid baseline: children is not a list"};
        for (const Json::Value& child : *member) children.push_back(JsonText(child));
      } else {
        attributes[name] = JsonText(*member);
      }
    }
    if (!IsValidNodeId(id))
      return LoadError{ErrorKind::General, Format("Invalid node id in baseline: [%s]", id)};
    for (const std::string& child : children)
      if (!IsValidNodeId(child))
        return LoadError{ErrorKind::General,
                         Format("Invalid child id [%s] of node %s in baseline", child, id)};
    auto node = std::make_unique<Node>(id, std::move(attributes));
    for (std::string& child : children) node->AddChild(std::move(child));
    auto [it, added] = table.emplace(id, nullptr);
    if (!added) return LoadError{ErrorKind::Duplicate, Format("Node [%s] already exists!", id)};
    it->second = std::move(node);
  }

  // The tree reachable from ROOT: every listed child present, listed once,
  // naming its parent; so no cycle.
  auto root = table.find(keys::kRoot);
  if (root == table.end()) return std::nullopt;
  if (root->second->HasAttr(keys::kPnid))
    return LoadError{ErrorKind::General, "Invalid baseline: ROOT has a parent"};
  std::unordered_set<std::string> seen{std::string(keys::kRoot)};
  std::deque<const Node*> queue{root->second.get()};
  while (!queue.empty()) {
    const Node* node = queue.front();
    queue.pop_front();
    for (const std::string& child : node->RawChildren()) {
      auto it = table.find(child);
      if (it == table.end())
        return LoadError{ErrorKind::General, Format("Invalid baseline: child %s of %s is missing",
                                                    child, node->GetID())};
      if (!seen.insert(child).second)
        return LoadError{ErrorKind::General,
                         Format("Invalid baseline: node %s is listed more than once", child)};
      if (it->second->GetAttr(keys::kPnid) != node->GetID())
        return LoadError{ErrorKind::General,
                         Format("Invalid baseline: node %s is listed under %s but names parent %s",
                                child, node->GetID(), it->second->GetAttr(keys::kPnid))};
      queue.push_back(it->second.get());
    }
  }
  return std::nullopt;
}

}  // namespace

void NodeSet::LoadFromJSON(const Json::Value& value) {
  if (!value.isObject() && !value.isNull())
    Fail(ErrorKind::General, "Invalid baseline: not a JSON object");
  std::string userHash = userHash_;
  CheckUser(value);
  std::swap(userHash, userHash_);  // taken only when the whole load succeeds
  Table table;
  std::string revision = value.isMember("currentRevision") ? JsonText(value["currentRevision"]) : "";
  if (std::optional<LoadError> error = ReadNodes(value["_nodes"], table))
    Fail(error->kind, error->message);
  table_.swap(table);
  revision_ = std::move(revision);
  userHash_ = std::move(userHash);
}

void NodeSet::SaveToFile() { SaveToFile(Engine::Current().Platform().BaselinePath()); }

void NodeSet::SaveToFile(const std::string& path) {
  if (base_) Fail(ErrorKind::General, "Can't write a cloned nodeset");
  if (InfoOn()) LogInfo(Format("Writing NodeSet to disk: %s", path));
  std::string text = WriteCompactJson(ToJSON()) + Engine::Current().Flavor().fileLineEnd;
  Engine::Current().Platform().MakeStoreDurable();
  if (uint32_t rc = Engine::Current().Platform().WriteFileAtomic(path, text); rc != 0)
    Fail(ErrorKind::General, Format("Unable to write NodeSet to disk [%d]: %s", rc, path));
}

NodeSet::LoadResult NodeSet::LoadFromFile() {
  return LoadFromFile(Engine::Current().Platform().BaselinePath());
}

NodeSet::LoadResult NodeSet::LoadFromFile(const std::string& path) {
  if (InfoOn()) LogInfo(Format("Reading NodeSet from disk: %s", path));
  std::string text;
  uint32_t rc = Engine::Current().Platform().ReadFile(path, &text);
  if (rc == 2 || rc == 3) return LoadResult::Missing;  // not found: file or folder
  if (rc != 0) {
    LogError(Format("Unable to read NodeSet from disk [%d]: %s", rc, path));
    return LoadResult::Unparsable;
  }
  Json::Value value;
  std::string error;
  if (!ParseJson(text, &value, &error) || !value.isObject()) {
    LogError(Format("NodeSet file is not readable JSON: %s %s", path, error));
    return LoadResult::Unparsable;
  }
  std::string userHash = userHash_;
  Table table;
  std::string revision;
  std::optional<LoadError> failure;
  try {
    // A baseline of another user is an error for the caller; a user hash that
    // is not text makes the file unparsable like any other such value.
    CheckUser(value);
    std::swap(userHash, userHash_);
    if (value.isMember("currentRevision")) revision = JsonText(value["currentRevision"]);
    failure = ReadNodes(value["_nodes"], table);
  } catch (const Json::Exception& e) {
    failure = LoadError{ErrorKind::General, e.what()};
  }
  if (failure) {
    LogError(Format("NodeSet file is not a sound tree: %s %s", path, failure->message));
    return LoadResult::Unparsable;
  }
  table_.swap(table);
  revision_ = std::move(revision);
  userHash_ = std::move(userHash);
  return LoadResult::Loaded;
}

bool NodeSet::FetchFromNative() {
  std::unique_ptr<NativeDatasource> source = Engine::Current().Platform().MakeDatasource();
  return source->ProvideNodes(*this);
}

void NodeSet::FlushToNative() {
  std::unique_ptr<NativeDatasource> source = Engine::Current().Platform().MakeDatasource();
  source->WriteNodeSet(*this);
}

}  // namespace tarvex
