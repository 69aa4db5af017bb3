// Executing commands on a tree. Every handler looks up and checks what it
// needs before it changes anything, so a command that fails leaves the tree
// as it was.
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/NodeSet.h"

namespace tarvex {
namespace {

void LogStart(const char* format, std::string_view id) {
  if (Engine::Current().Flavor().logHandlerStarts && InfoOn()) LogInfo(Format(format, id));
}

// Arguments that place a node or name it; an update never stores them.
bool IsPlacementArgument(std::string_view key) {
  return key == keys::kPnid || key == keys::kBnid || IsReservedAttribute(key);
}

std::string Arg(const Attributes& args, std::string_view key) {
  auto it = args.find(key);
  return it == args.end() ? std::string() : it->second;
}

}  // namespace

void NodeSet::Execute(const Command& command) {
  const std::string& action = command.GetAction();
  const std::string& id = command.GetID();
  if (action == actions::kInsert)
    Do_insert(id, command.GetArgs());
  else if (action == actions::kDelete)
    Do_delete(id);
  else if (action == actions::kMove)
    Do_move(id, command.GetArgs());
  else if (action == actions::kReorder)
    Do_reorder(id, command.GetArgs());
  else if (action == actions::kUpdate)
    Do_update(id, command.GetArgs());
  else
    Fail(ErrorKind::General, "No method for action: " + action);
}

void NodeSet::Execute(const CommandSet& commands) {
  const size_t size = commands.GetSize();
  for (size_t i = 0; i < size; ++i) Execute(*commands.GetAt(i));
}

void NodeSet::InsertNewNode(std::string_view id, const Attributes& args, std::string_view pnid,
                            std::string_view bnid) {
  bool newRoot = id == keys::kRoot && pnid.empty();
  if (!newRoot) CheckInsertInParent(id, pnid, bnid);
  // The attributes in a block of the size they will have once the node is
  // placed (ntype and pnid are added then), as the node keeps it.
  size_t count = 0;
  for (const auto& [key, value] : args) count += IsPlacementArgument(key) ? 0 : 1;
  Attributes attributes;
  attributes.reserve(count + (args.count(keys::kNtype) ? 0 : 1) + (newRoot ? 0 : 1));
  for (const auto& entry : args)
    if (!IsPlacementArgument(entry.first)) attributes.insert(entry);
  Node* node = AddNode(std::make_unique<Node>(std::string(id), std::move(attributes)));
  if (newRoot)
    InsertInParent(id, pnid, bnid);
  else
    PlaceInParent(id, pnid, bnid, node);
}

void NodeSet::Do_insert(std::string_view id, const Attributes& args) {
  LogStart("Staring Do_insert for: %s", id);
  if (!GetNode(id, false, true, true))
    return InsertNewNode(id, args, Arg(args, keys::kPnid), Arg(args, keys::kBnid));

  Node* node = GetNode(id, false, false, true, "nodes5");
  const Attributes current = node->GetSafeAttrs();
  bool strict =
      Engine::Current().Flavor().insertExisting == EngineFlavor::InsertExisting::ThrowOnConflict;
  for (const auto& [key, value] : current) {
    if (!strict && (key == keys::kCreated || key == keys::kModified || key == keys::kIcon))
      continue;
    auto arg = args.find(key);
    if (arg == args.end() || arg->second == value) continue;
    if (strict)
      Fail(ErrorKind::General,
           Format("Tried to insert a node [%s] that already exists.  Conflicting attr: %s", id,
                  key));
    Do_update(id, args);
    return;
  }
}

void NodeSet::Do_delete(std::string_view id) {
  LogStart("Starting Do_delete for: %s", id);
  std::string pnid = GetNode(id, false, false, true, "nodes95")->GetAttr(keys::kPnid);
  Node* parent = GetNode(pnid, false, false, true, "nodes94");
  if (!parent->HasChild(id))
    Fail(ErrorKind::General, Format("didn't find child %s in parent %s", id, pnid));
  std::vector<std::string> subtree = CollectSubtree(id);
  RemoveFromParent(id);
  for (const std::string& each : subtree) {
    if (InfoOn()) LogInfo(Format("Nuking: %s", each));
    Tombstone(each);
  }
}

void NodeSet::Do_move(std::string_view id, const Attributes& args) {
  LogStart("Starting Do_move for: %s", id);
  std::string pnid = Arg(args, keys::kPnid);
  std::string bnid = Arg(args, keys::kBnid);
  std::string current = GetNode(id, false, false, true, "nodes95")->GetAttr(keys::kPnid);
  if (current.empty() && id != keys::kRoot) {
    // A node outside the tree: the move places it.
    CheckInsertInParent(id, pnid, bnid);
    PlaceInParent(id, pnid, bnid);
    return;
  }
  Node* parent = GetNode(current, false, false, true, "nodes94");
  if (!parent->HasChild(id))
    Fail(ErrorKind::General, Format("didn't find child %s in parent %s", id, current));
  CheckInsertInParent(id, pnid, bnid, current);
  RemoveFromParent(id);
  PlaceInParent(id, pnid, bnid);
}

void NodeSet::Do_reorder(std::string_view id, const Attributes& args) {
  LogStart("Starting Do_reorder for: %s", id);
  std::string pnid = GetNode(id, false, false, true, "nodes7")->GetAttr(keys::kPnid);
  std::string bnid = Arg(args, keys::kBnid);
  Node* parent = GetNode(pnid, false, false, true, "nodes94");
  if (!parent->HasChild(id))
    Fail(ErrorKind::General, Format("didn't find child %s in parent %s", id, pnid));
  CheckInsertInParent(id, pnid, bnid, pnid);
  RemoveFromParent(id);
  PlaceInParent(id, pnid, bnid);
}

void NodeSet::Do_update(std::string_view id, const Attributes& args) {
  LogStart("Starting Do_update for: %s", id);
  // Every node has a type: one read without it is a bookmark, so a folder
  // whose type an update removed would load back as a bookmark holding its
  // children. An update may change a type but never remove it; refused
  // before anything changes.
  auto type = args.find(keys::kNtype);
  if (type != args.end() && type->second.empty()) {
    GetNode(id, false, false, true, "nodes93");  // a missing node fails as such
    Fail(ErrorKind::General, Format("An update cannot remove the type of node %s", id));
  }
  Node* node = GetNode(id, true, false, true, "nodes93");
  std::string ignored;
  for (const auto& [key, value] : args) {
    if (IsPlacementArgument(key)) {
      // An update changes attributes only; it never moves a node.
      ignored.append(ignored.empty() ? "" : ", ").append(key).append("=").append(value);
      continue;
    }
    if (value.empty())
      node->RemoveAttr(key);
    else
      node->SetAttr(key, value);
  }
  if (!ignored.empty() && InfoOn())
    LogInfo(Format("Do_update of %s ignores the arguments %s", id, ignored));
}

}  // namespace tarvex
