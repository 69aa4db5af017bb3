// The walk over a whole tree and the comparison of two trees into commands.
//
// The comparison is constructive: each command a pass finds is executed on
// this tree at once, so pass by pass the tree becomes the other one. The
// per-folder work is linear in the number of children: membership tests use
// hash sets, and the "before" sibling of each insert or move comes from a
// table computed once per folder, with the same result as searching the
// lists each time.
#include <deque>
#include <unordered_set>

#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"

namespace tarvex {
namespace {

// The ids of `ids` that `node` lists among its children, in the order of
// `ids` (repeats kept): IntersectSets with the node's children, through the
// node's own child index.
std::vector<std::string> ListedBy(const std::vector<std::string>& ids, const Node& node) {
  std::vector<std::string> out;
  for (const std::string& id : ids)
    if (node.HasChild(id)) out.push_back(id);
  return out;
}

}  // namespace

Node* NodeSet::WalkLookup(std::string_view id) {
  auto it = table_.find(id);
  if (it != table_.end()) return it->second.get();  // a tombstone gives nullptr
  if (base_) return base_->GetNode(id, false, true, true, "nodes99");
  return nullptr;
}

void NodeSet::OnTree(std::string_view nid, int mode, NodeSet* other, CommandSet* commands,
                     bool childrenFirst) {
  if (!childrenFirst) return WalkParentsFirst(nid, mode, other, commands);
  std::deque<std::string> work{std::string(nid)};
  // Each node is stepped once and its children are taken once, so the walk
  // ends even on a damaged tree. Children first, a node is queued behind its
  // children (`seen`) and stepped on its second visit.
  std::unordered_set<std::string> stepped;
  std::unordered_set<std::string> expanded;
  std::unordered_set<std::string> seen;
  std::vector<std::unique_ptr<Command>> made;
  while (!work.empty()) {
    std::string id = std::move(work.front());
    work.pop_front();
    if (seen.erase(id)) {
      if (stepped.insert(id).second) Step(id, mode, other, made);
    } else {
      Node* node = WalkLookup(id);
      if (node && expanded.insert(id).second) {
        const std::vector<std::string>& children = node->RawChildren();
        seen.insert(id);
        work.push_front(id);
        work.insert(work.begin(), children.begin(), children.end());
      }
    }
    if (commands)
      for (auto& command : made) commands->Append(std::move(command));
    made.clear();
  }
}

void NodeSet::WalkParentsFirst(std::string_view nid, int mode, NodeSet* other,
                               CommandSet* commands) {
  // The ids in the order they are queued; those before `next` have been
  // taken. The ids stepped so far are indexed by their place in the queue,
  // so the walk keeps one flat index rather than a set of copied ids.
  // Both are sized up front for every node the set and its base hold (a
  // walk steps each node once), so neither grows node by node.
  const size_t nodes = TableSize() + (base_ ? base_->TableSize() : 0);
  std::vector<std::string> queue;
  queue.reserve(nodes + 1);
  queue.emplace_back(nid);
  HashIndex stepped;
  auto rehash = [&](uint32_t at) { return HashKey(queue[at]); };
  stepped.reserve(nodes + 1, rehash);
  std::vector<std::unique_ptr<Command>> made;
  for (size_t next = 0; next < queue.size(); ++next) {
    // Valid until the queue grows, after the step.
    const std::string& id = queue[next];
    const uint64_t hash = HashKey(id);
    if (stepped.Find(hash, [&](uint32_t at) { return queue[at] == id; }) != HashIndex::npos)
      continue;
    stepped.Insert(hash, static_cast<uint32_t>(next), rehash);
    Step(id, mode, other, made);
    // Looked up after the step, so what it added is walked and what it
    // removed is not.
    if (Node* node = WalkLookup(id)) {
      const std::vector<std::string>& children = node->RawChildren();
      queue.insert(queue.end(), children.begin(), children.end());
    }
    if (commands)
      for (auto& command : made) commands->Append(std::move(command));
    made.clear();
  }
}

void NodeSet::Step(std::string_view id, int mode, NodeSet* other,
                   std::vector<std::unique_ptr<Command>>& out) {
  switch (mode) {
    case kFindReordersInsertsMoves:
      out = FindReordersInsertsMoves(id, *other);
      break;
    case kFindDeletes:
      out = FindDeletes(id, *other);
      break;
    case kFindModifies:
      out = FindModifies(id, *other);
      break;
    case kProvideCommands:
      out.push_back(MakeCommand(actions::kInsert, id,
                                GetNode(id, false, false, true, "nodes8")->GetSafeAttrs()));
      break;
    case kDeclone:
      GetNode(id, true, false, true, "nodes98");
      break;
    case kCleanNonIEData:
      out = CleanNonIEData(id);
      break;
    case kHash:
      if (Node* node = GetNode(id, false, true, true)) node->ComputeHash(*this);
      break;
    case kProvideHashes:
      if (Node* node = GetNode(id, false, true, true)) {
        Json::Value entry(Json::objectValue);
        entry["nid"] = node->GetID();
        entry["pnid"] = node->GetAttr(keys::kPnid);
        Json::Value& children = entry["children"] = Json::Value(Json::arrayValue);
        for (const std::string& child : node->RawChildren()) children.append(child);
        entry["hash"] = node->GetHash();
        hashes_.append(entry);
      }
      break;
    default:
      Fail(ErrorKind::General, Format("Unknown walk mode: %d", mode));
  }
}

CommandSet NodeSet::Compare(NodeSet& other) {
  CommandSet commands;
  OnTree(keys::kRoot, kFindReordersInsertsMoves, &other, &commands, false);
  OnTree(keys::kRoot, kFindDeletes, &other, &commands, false);
  OnTree(keys::kRoot, kFindModifies, &other, &commands, false);
  return commands;
}

std::vector<std::string> NodeSet::IntersectSets(const std::vector<std::string>& a,
                                                const std::vector<std::string>& b) {
  std::unordered_set<std::string_view> inB(b.begin(), b.end());
  std::vector<std::string> out;
  for (const std::string& id : a)
    if (inB.count(id)) out.push_back(id);
  return out;
}

std::string NodeSet::FindBnid(size_t index, const Node& node,
                              const std::vector<std::string>& present) {
  std::unordered_set<std::string_view> there(present.begin(), present.end());
  for (size_t i = index; i < node.GetChildLength(); ++i)
    if (there.count(node.GetChildAt(i))) return node.GetChildAt(i);
  return {};
}

std::vector<std::unique_ptr<Command>> NodeSet::FindReordersInsertsMoves(std::string_view nid,
                                                                        NodeSet& other) {
  std::vector<std::unique_ptr<Command>> made;
  if (InfoOn()) LogInfo(Format("Finding ReorderInsertMoves for: %s", nid));
  Node* node = GetNode(nid, false, false, true, "nodes9");
  Node* otherNode = other.GetNode(nid, false, true, true);
  if (!otherNode) return made;
  // A bookmark that became a folder is filled here too; the modifies pass
  // then changes its type.
  if (!node->IsFolder() && !otherNode->IsFolder()) return made;

  // Reorders: the common children, in this tree's order (a) and in the
  // other's (b), walked side by side. Where they differ, b's child is put
  // before a's, in the tree and in a, and the walk goes on from there.
  // Each folder's own child index tells which children the other holds.
  const std::vector<std::string> theirs = otherNode->RawChildren();
  std::vector<std::string> common = ListedBy(node->RawChildren(), *otherNode);
  std::vector<std::string> b = ListedBy(theirs, *node);
  if (common != b) {  // the same order needs no reorder
    ChildList a;
    a.Assign(std::move(common));
    auto cursor = a.begin();
    for (size_t k = 0; k < b.size() && cursor != a.end(); ++k) {
      if (*cursor == b[k]) {
        ++cursor;
        continue;
      }
      auto reorder = MakeCommand(actions::kReorder, b[k], {{std::string(keys::kBnid), *cursor}});
      Execute(*reorder);
      made.push_back(std::move(reorder));
      a.Remove(b[k]);
      a.InsertBefore(b[k], *cursor);
    }
  }

  // Inserts and moves. The "before" sibling of the child at position i is
  // the first of the other's children after it that this folder holds; the
  // folder gains only children at or before i as the walk goes on, so which
  // later children it holds is known from the start.
  node = GetNode(nid, false, false, true, "nodes10");
  const size_t n = theirs.size();
  std::vector<size_t> nextPresent(n + 1, n);
  for (size_t p = n; p-- > 0;) nextPresent[p] = node->HasChild(theirs[p]) ? p : nextPresent[p + 1];
  for (size_t i = 0; i < n; ++i) {
    const std::string& child = theirs[i];
    node = GetNode(nid, false, false, true, "nodes10");
    if (node->HasChild(child)) continue;
    size_t next = nextPresent[i + 1];
    std::string bnid = next < n ? theirs[next] : std::string();
    std::unique_ptr<Command> command;
    if (GetNode(child, false, true, true)) {
      command = MakeCommand(
          actions::kMove, child,
          {{std::string(keys::kPnid), std::string(nid)}, {std::string(keys::kBnid), bnid}});
    } else {
      // The other's attributes and the bnid, in a block of their size.
      const Attributes& attributes = other.GetNode(child, false, false, true, "nodes11")->Attrs();
      Attributes args;
      args.reserve(attributes.size() + 1);
      for (const auto& entry : attributes) args.insert(entry);
      args[std::string(keys::kBnid)] = bnid;
      command = MakeCommand(actions::kInsert, child, std::move(args));
    }
    Execute(*command);
    made.push_back(std::move(command));
  }
  return made;
}

std::vector<std::unique_ptr<Command>> NodeSet::FindDeletes(std::string_view nid, NodeSet& other) {
  std::vector<std::unique_ptr<Command>> made;
  if (InfoOn()) LogInfo(Format("Finding Deletes for: %s", nid));
  if (!other.GetNode(nid, false, true, true)) {
    auto command = MakeCommand(actions::kDelete, nid);
    Execute(*command);
    made.push_back(std::move(command));
  }
  return made;
}

std::vector<std::unique_ptr<Command>> NodeSet::FindModifies(std::string_view nid, NodeSet& other) {
  std::vector<std::unique_ptr<Command>> made;
  if (InfoOn()) LogInfo(Format("Finding Modifies for: %s", nid));
  Node* node = GetNode(nid, false, false, true, "nodes12");
  Node* otherNode = other.GetNode(nid, false, false, true, "nodes13");
  char32_t filler = Engine::Current().Platform().FillerChar();
  Attributes args;
  int important = 0;
  for (const auto& [key, value] : otherNode->Attrs()) {
    const std::string& mine = node->GetAttr(key);
    // The same text normalises the same: most values of a sync are.
    if (mine == value ||
        NormalizedAttribute(key, mine, filler) == NormalizedAttribute(key, value, filler))
      continue;
    args[key] = value;
    if (IsImportantAttribute(key)) ++important;
  }
  for (const auto& [key, value] : node->Attrs()) {
    // A value that normalises to nothing (a title of white space) is no
    // value: the other side lacking it is no change.
    if (!otherNode->GetAttr(key).empty() || NormalizedAttribute(key, value, filler).empty())
      continue;
    args[key] = "";
    if (IsImportantAttribute(key)) ++important;
  }
  if (important > 0) {
    auto command = MakeCommand(actions::kUpdate, nid, std::move(args));
    Execute(*command);
    made.push_back(std::move(command));
  }
  return made;
}

std::vector<std::unique_ptr<Command>> NodeSet::CleanNonIEData(std::string_view nid) {
  std::vector<std::unique_ptr<Command>> made;
  if (InfoOn()) LogInfo(Format("Cleaning Non-IE data for: %s", nid));
  Node* node = GetNode(nid, false, false, true, "nodes14");
  if (nid == keys::kRoot && node->HasAttr(keys::kName))
    made.push_back(MakeCommand(actions::kUpdate, keys::kRoot,
                               {{std::string(keys::kName), node->GetAttr(keys::kName)}}));
  bool unfiled = false;
  Node* root = GetNode(keys::kRoot, false, false, true, "nodes15");
  if (root->HasAttr(keys::kUnid) && root->GetAttr(keys::kUnid) == nid) {
    made.push_back(
        MakeCommand(actions::kUpdate, keys::kRoot, {{std::string(keys::kUnid), std::string(nid)}}));
    Do_update(keys::kRoot, {{std::string(keys::kUnid), ""}});
    // Only an empty unfiled folder goes: putting it back restores the folder
    // alone, so its children would be lost.
    unfiled = GetNode(nid, false, false, true, "nodes14")->GetChildLength() == 0;
  }
  node = GetNode(nid, false, false, true, "nodes14");
  const std::string& type = node->GetAttr(keys::kNtype);
  if (type == "separator" || type == "query" || unfiled) {
    // Whatever a separator or a query holds goes with it, and comes back
    // with it: the commands run from the last to the first, so the node's
    // own insert comes last, those below it before it, deepest first.
    std::vector<std::unique_ptr<Command>> below;  // parents before children, in order
    std::vector<std::string> stack(node->RawChildren().rbegin(), node->RawChildren().rend());
    std::unordered_set<std::string> listed{std::string(nid)};
    while (!stack.empty()) {
      std::string id = std::move(stack.back());
      stack.pop_back();
      Node* child = listed.insert(id).second ? GetNode(id, false, true, true) : nullptr;
      if (!child) continue;
      below.push_back(MakeCommand(actions::kInsert, id, child->GetSafeAttrs()));
      const std::vector<std::string>& children = child->RawChildren();
      stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    for (auto it = below.rbegin(); it != below.rend(); ++it) made.push_back(std::move(*it));
    Attributes args = node->GetSafeAttrs();
    std::string next = FindNextChild(nid);
    if (!next.empty()) args[std::string(keys::kBnid)] = next;
    made.push_back(MakeCommand(actions::kInsert, nid, std::move(args)));
    Do_delete(nid);
  }
  return made;
}

CommandSet NodeSet::ProvideCommandSet() {
  CommandSet commands;
  OnTree(keys::kRoot, kProvideCommands, nullptr, &commands, false);
  return commands;
}

void NodeSet::Declone() {
  if (!base_) return;
  OnTree(keys::kRoot, kDeclone, nullptr, nullptr, false);
  base_ = nullptr;
}

void NodeSet::HashTree() {
  OnTree(keys::kRoot, kHash, nullptr, nullptr, true);
}

const Json::Value& NodeSet::ProvideHashes() {
  hashes_ = Json::Value(Json::arrayValue);
  OnTree(keys::kRoot, kProvideHashes, nullptr, nullptr, false);
  return hashes_;
}

}  // namespace tarvex
