#include "ie/sync/Conflicts.h"

#include <algorithm>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "ie/foundation/Logger.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/sync/ServiceRequests.h"
#include "ie/sync/SyncQuestions.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using actions::kDelete;
using actions::kInsert;
using actions::kMove;
using actions::kReorder;
using actions::kUpdate;

SyncTarget NoConflict() {
  return {SyncTarget::kNoConflict, {}, {}};
}

SyncTarget Resolution(std::string_view op, std::string_view target) {
  return {SyncTarget::kResolution, std::string(op), std::string(target)};
}

[[noreturn]] void GiveUp(int resolutions) {
  throw VelkException("internal", kErrSyncGaveUp,
                      Format("No solution converged after %d iterations", resolutions));
}

// Whether `id` is `ancestor` or lies below it in `tree`: on the line of
// parents from `id` up, as far as the first id the tree lacks (that one
// included) or until the line comes round to an id again.
bool WalkWithin(NodeSet& tree, std::string id, std::string_view ancestor) {
  std::unordered_set<std::string> seen;
  while (!id.empty() && seen.insert(id).second) {
    if (id == ancestor) return true;
    Node* node = tree.GetNode(id, false, true, true);
    if (!node) return false;
    id = node->GetAttr(keys::kPnid);
  }
  return false;
}

}  // namespace

// WalkWithin for many questions about one tree that does not change: each
// id's line of parents is walked once, and each id keeps its height above
// the top of its line, its parent and a jump pointer further up (jumps of
// 1, 3, 7, ... 2^k - 1 steps, as in skew-binary numbers), so an answer
// takes a number of steps that grows with the logarithm of the depth.
// Lines that come round to an id again are left to WalkWithin.
class ConflictResolver::Ancestry {
 public:
  explicit Ancestry(NodeSet& tree) : tree_(tree) {}

  bool Within(const std::string& id, const std::string& ancestor) {
    if (id.empty()) return false;
    if (id == ancestor) return true;
    const Entry& from = EntryOf(id);
    if (from.cyclic) return WalkWithin(tree_, id, ancestor);
    // An ancestor on a line that comes round is on no line that ends.
    const Entry& target = EntryOf(ancestor);
    if (target.cyclic || target.depth > from.depth) return false;
    const Entry* at = &from;
    while (at->depth > target.depth) at = at->jump->depth >= target.depth ? at->jump : at->parent;
    return at == &target;
  }

 private:
  struct Entry {
    int depth = 0;  // steps up to the top of the line
    const Entry* parent = nullptr;
    const Entry* jump = nullptr;
    bool cyclic = false;  // the line comes round to an id again
    bool done = false;
  };

  const Entry& EntryOf(const std::string& id) {
    auto [found, fresh] = entries_.try_emplace(id);
    Entry& start = found->second;  // entries stay where they are; iterators may not
    if (!fresh) return start;
    // The ids new to this walk, from `id` up, and where the line goes on.
    std::vector<Entry*> path{&start};
    const Entry* above = nullptr;
    bool cyclic = false;
    std::string at = id;
    for (;;) {
      Node* node = tree_.GetNode(at, false, true, true);
      if (!node) break;  // the line ends at an id the tree lacks
      std::string up = node->GetAttr(keys::kPnid);
      if (up.empty()) break;
      auto [next, added] = entries_.try_emplace(up);
      if (!added) {
        // Met on this walk: the line comes round. Known from before: the
        // line goes on as that one does.
        cyclic = !next->second.done || next->second.cyclic;
        above = &next->second;
        break;
      }
      path.push_back(&next->second);
      at = std::move(up);
    }
    // From the top down, so that each entry finds its parent's done.
    for (size_t k = path.size(); k-- > 0;) {
      Entry& e = *path[k];
      e.done = true;
      if (cyclic) {
        e.cyclic = true;
        continue;
      }
      const Entry* parent = k + 1 < path.size() ? path[k + 1] : above;
      e.parent = parent;
      if (!parent) {
        e.jump = &e;
        continue;
      }
      e.depth = parent->depth + 1;
      const Entry* j = parent->jump;
      e.jump = parent->depth - j->depth == j->depth - j->jump->depth ? j->jump : parent;
    }
    return start;
  }

  NodeSet& tree_;
  std::unordered_map<std::string, Entry> entries_;
};

namespace {

// Whether nodes of a tree hang below ROOT: a node does when its parents,
// followed up, end at ROOT, and is cut off when they reach a node the tree
// lacks or come round to one of them again. Every node a walk passes shares
// its answer and keeps it, so each path is walked once however many nodes
// below it are asked about.
class Lineage {
 public:
  explicit Lineage(NodeSet& tree) : tree_(tree) {}
  NodeSet& tree() { return tree_; }

  bool CutOff(const std::string& id) {
    std::vector<std::string> path;
    std::string at = id;
    bool cut = false;
    while (at != keys::kRoot) {
      auto known = state_.find(at);
      if (known != state_.end()) {
        // Answered by an earlier walk, or met on this one: the parents go
        // round in a cycle.
        cut = known->second != kBelowRoot;
        break;
      }
      Node* node = tree_.GetNode(at, false, true, true);
      if (!node) {
        cut = true;
        break;
      }
      state_.emplace(at, kOnWalk);
      path.push_back(std::move(at));
      at = node->GetAttr(keys::kPnid);
    }
    for (const std::string& n : path) state_[n] = cut ? kCut : kBelowRoot;
    return cut;
  }

 private:
  enum State { kOnWalk, kBelowRoot, kCut };
  NodeSet& tree_;
  std::unordered_map<std::string, State> state_;
};

bool Holds(NodeSet& tree, std::string_view id) {
  return !id.empty() && tree.GetNode(id, false, true, true) != nullptr;
}

// The side the user's answer names; anything else is a cancel.
std::string_view Answer(const std::string& answer) {
  if (answer == kSyncLocal) return kSyncLocal;
  if (answer == kSyncServer) return kSyncServer;
  throw VelkException("internal", kErrUserCancelled, "User cancelled");
}

NodeSet& BaselineOf(NodeSet& serverTree) {
  NodeSet* base = serverTree.GetBaseSet();
  if (!base)
    throw VelkException("internal", kErrImpossible,
                        "The server tree of the conflict pass is not a clone of the baseline");
  return *base;
}

// A reorder to the end of the node's folder.
std::unique_ptr<Command> ToEnd(std::string_view id) {
  return MakeCommand(kReorder, id, {{std::string(keys::kBnid), ""}});
}

}  // namespace

struct ConflictResolver::Side {
  CommandSet& set;
  NodeSet& tree;
};

ConflictResolver::Side ConflictResolver::SideOf(bool local) {
  return local ? Side{local_, localTree_} : Side{server_, serverTree_};
}

ConflictResolver::ConflictResolver(CommandSet& local, CommandSet& server, NodeSet& localTree,
                                   NodeSet& serverTree, SyncQuestions& questions, Logger& logger)
    : local_(local),
      server_(server),
      localTree_(localTree),
      serverTree_(serverTree),
      baseline_(BaselineOf(serverTree)),
      questions_(questions),
      logger_(logger) {
  logger_.Log("Starting sync");
  for (CommandSet* set : {&local_, &server_})
    for (const auto& command : set->Commands()) {
      given_.push_back(command->GetID());
      given_.push_back(command->GetArg(keys::kPnid));
    }
  RecordDeletedSubtrees(local_, baseline_, localTree_);
  RecordDeletedSubtrees(server_, baseline_, serverTree_);
  for (CommandSet* set : {&local_, &server_}) {
    set->PreSet() = std::make_unique<CommandSet>();
    set->PostSet() = std::make_unique<CommandSet>();
  }
}

ConflictResolver::~ConflictResolver() = default;

ConflictResolver::Ancestry& ConflictResolver::AncestryOf(NodeSet& tree) {
  std::unique_ptr<Ancestry>& slot = &tree == &localTree_ ? localAncestry_ : serverAncestry_;
  if (!slot) slot = std::make_unique<Ancestry>(tree);
  return *slot;
}

void ConflictResolver::Run() {
  // Between two resolutions every pair is examined at most once, so the
  // pairs are bounded by the resolutions; this guard only stops a pass that
  // broke that rule.
  long long mostLocal = 0, mostServer = 0;
  for (int i = 0; i < static_cast<int>(local_.GetSize()); ++i) {
    for (int j = 0; j < static_cast<int>(server_.GetSize()); ++j) {
      mostLocal = std::max(mostLocal, static_cast<long long>(local_.GetSize()));
      mostServer = std::max(mostServer, static_cast<long long>(server_.GetSize()));
      if (++pairs_ > (resolutions_ + 1LL) * mostLocal * mostServer) GiveUp(resolutions_);
      SyncTarget record = Detect(*local_.GetAt(i), *server_.GetAt(j));
      if (record.kind != SyncTarget::kResolution) continue;
      if (DoAction(record, i, j)) {
        if (++resolutions_ >= kMaxResolutions) GiveUp(resolutions_);
        break;
      }
    }
  }
  logger_.Log("Conflicts resolved, finishing up");
  Finish();
  logger_.Log("Finished sync");
}

void ConflictResolver::Finish() {
  for (CommandSet* set : {&local_, &server_})
    for (size_t k = set->GetSize(); k-- > 0;)
      if (retired_.count(set->GetAt(k))) set->Drop(k);
  retired_.clear();
  ResetBookkeeping(local_);
  ResetBookkeeping(server_);
  local_.CombinePrePost();
  server_.CombinePrePost();
  local_.DemoteMovesToReorders(serverTree_);
  Reconcile();
}

void ConflictResolver::Reconcile() {
  // Each side as it will be once it has the other side's commands; a
  // command that cannot run fails the sync here, before anything is
  // applied anywhere.
  logger_.Log("Checking the resolved changes");
  NodeSet localAfter(&localTree_);
  server_.Execute(localAfter);
  NodeSet serverAfter(&serverTree_);
  local_.Execute(serverAfter);

  // Every node a command may have changed: its own, its parents before and
  // after, and the folders it was put in. The pass may have dropped
  // commands that both sides had made: the nodes of those count too.
  std::vector<std::string> touched;
  std::unordered_set<std::string> seen;
  auto touch = [&](const std::string& id) {
    if (!id.empty() && seen.insert(id).second) touched.push_back(id);
  };
  std::vector<std::string> ids = given_;
  for (CommandSet* set : {&local_, &server_})
    for (const auto& command : set->Commands()) {
      ids.push_back(command->GetID());
      touch(command->GetArg(keys::kPnid));
    }
  for (const std::string& id : ids) {
    touch(id);
    for (NodeSet* tree : {&baseline_, &localTree_, &serverTree_, &localAfter, &serverAfter})
      if (Node* node = tree->GetNode(id, false, true, true)) touch(node->GetAttr(keys::kPnid));
  }

  // Attributes as the comparison sees them: the unimportant ones left out,
  // white space and the filler trimmed (a name also loses the suffix that
  // kept its file name unique), an empty value the same as none.
  const char32_t filler = Engine::Current().Platform().FillerChar();
  auto important = [filler](const Node& node) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [key, value] : node.Attrs()) {
      if (!IsImportantAttribute(key)) continue;
      std::string seen = NormalizedAttribute(key, value, filler);
      if (!seen.empty()) out.emplace_back(key, std::move(seen));
    }
    return out;
  };
  auto differs = [](const std::string& id) {
    return VelkException("internal", kErrSyncGaveUp,
                         Format("Resolved changes would leave [%s] different on both sides", id));
  };
  Lineage localLineage(localAfter), serverLineage(serverAfter);
  // A user who keeps reorders from going one way or the other wants the two
  // orders to differ.
  EnginePlatform& platform = Engine::Current().Platform();
  const bool alignOrder = platform.GetSetting("ignorelocalreorders", "false") != "true" &&
                          platform.GetSetting("ignoreserverreorders", "false") != "true";
  for (const std::string& id : touched) {
    // Nothing either side holds may end up outside the tree.
    for (Lineage* lineage : {&localLineage, &serverLineage})
      if (lineage->tree().GetNode(id, false, true, true) && lineage->CutOff(id))
        throw VelkException("internal", kErrSyncGaveUp,
                            Format("Resolved changes would cut [%s] off the tree", id));
    Node* mine = localAfter.GetNode(id, false, true, true);
    Node* theirs = serverAfter.GetNode(id, false, true, true);
    if (!mine && !theirs) continue;
    if (!mine || !theirs || important(*mine) != important(*theirs)) throw differs(id);
    const std::vector<std::string>& want = mine->RawChildren();
    if (want == theirs->RawChildren() || !alignOrder) continue;
    // The same children in another order: the server's folder takes the
    // order the Favorites will show (the reorders the comparison would
    // make, appended to the local commands).
    std::list<std::string> order(theirs->RawChildren().begin(), theirs->RawChildren().end());
    std::unordered_map<std::string, std::list<std::string>::iterator> at;
    for (auto it = order.begin(); it != order.end(); ++it) at.emplace(*it, it);
    if (at.size() != want.size() || order.size() != want.size()) throw differs(id);
    for (const std::string& child : want)
      if (!at.count(child)) throw differs(id);
    auto cursor = order.begin();
    for (const std::string& child : want) {
      if (*cursor == child) {
        ++cursor;
        continue;
      }
      local_.Append(MakeCommand(kReorder, child, {{std::string(keys::kBnid), *cursor}}));
      order.erase(at[child]);
      at[child] = order.insert(cursor, child);
    }
  }
}

SyncTarget ConflictResolver::Detect(Command& local, Command& server) {
  SyncTarget record =
      DetectConflict(Format("%s_%s", local.GetAction(), server.GetAction()), local, server, true);
  bool swapped = false;
  if (record.kind == SyncTarget::kNoRule) {
    swapped = true;
    record = DetectConflict(Format("%s_%s", server.GetAction(), local.GetAction()), server, local,
                            false);
    if (record.kind == SyncTarget::kNoRule)
      throw VelkException("internal", kErrSyncGaveUp,
                          Format("Couldn't find conflict detector for %s : %s", local.GetAction(),
                                 server.GetAction()));
  }
  if (record.kind == SyncTarget::kResolution) {
    if (record.target == kSyncLeft)
      record.target = swapped ? kSyncServer : kSyncLocal;
    else if (record.target == kSyncRight)
      record.target = swapped ? kSyncLocal : kSyncServer;
    // A delete that is already on its way out needs no second drop.
    const bool localGone = retired_.count(&local) > 0, serverGone = retired_.count(&server) > 0;
    if (record.op == kSyncDrop && ((record.target == kSyncBoth && localGone && serverGone) ||
                                   (record.target == kSyncLocal && localGone) ||
                                   (record.target == kSyncServer && serverGone)))
      return NoConflict();
  }
  return record;
}

bool ConflictResolver::Covers(const Command& remove, std::string_view id) const {
  return !id.empty() && remove.HasDeletedNode(id);
}

// One pair of commands as a detector sees it: the first and the second
// command, each with the tree of its own side.
struct ConflictResolver::Pair {
  ConflictResolver& pass;
  Command& first;
  Command& second;
  NodeSet& firstTree;
  NodeSet& secondTree;
  const std::string& a = first.GetID();
  const std::string& b = second.GetID();
  const std::string& pnid1 = first.GetArg(keys::kPnid);
  const std::string& pnid2 = second.GetArg(keys::kPnid);
  const std::string& bnid1 = first.GetArg(keys::kBnid);
  const std::string& bnid2 = second.GetArg(keys::kBnid);
  // A command goes right before another one at most once: chains of
  // commands placed before each other must not hand it back and forth.
  const bool placed = pass.placed_.count(&second) > 0 || pass.placed_.count(&first) > 0;

  // The parent of a reordered node, as its own side holds it.
  static std::string ParentOf(NodeSet& tree, const Command& command, const char* tag) {
    return tree.GetNode(command.GetID(), false, false, true, tag)->GetAttr(keys::kPnid);
  }
  bool Covers(const Command& remove, std::string_view id) const { return pass.Covers(remove, id); }

  // The rules, one for each pair of actions with one.
  SyncTarget InsertInsert() const;
  SyncTarget InsertMove() const;
  SyncTarget InsertReorder() const;
  SyncTarget Unrelated() const { return NoConflict(); }
  SyncTarget DeleteInsert() const;
  SyncTarget DeleteDelete() const;
  SyncTarget DeleteMove() const;
  SyncTarget DeleteReorder() const;
  SyncTarget DeleteUpdate() const;
  SyncTarget MoveMove() const;
  SyncTarget MoveReorder() const;
  SyncTarget ReorderReorder() const;
  SyncTarget UpdateUpdate() const;
};

SyncTarget ConflictResolver::DetectConflict(const std::string& key, Command& first, Command& second,
                                            bool firstIsLocal) {
  using Detector = SyncTarget (Pair::*)() const;
  // The rule for each "<first action>_<second action>"; a pair not here is
  // asked the other way round.
  static const std::unordered_map<std::string_view, Detector> kDetectors = {
      {"insert_insert", &Pair::InsertInsert},   {"insert_move", &Pair::InsertMove},
      {"insert_reorder", &Pair::InsertReorder}, {"insert_update", &Pair::Unrelated},
      {"move_update", &Pair::Unrelated},        {"reorder_update", &Pair::Unrelated},
      {"delete_insert", &Pair::DeleteInsert},   {"delete_delete", &Pair::DeleteDelete},
      {"delete_move", &Pair::DeleteMove},       {"delete_reorder", &Pair::DeleteReorder},
      {"delete_update", &Pair::DeleteUpdate},   {"move_move", &Pair::MoveMove},
      {"move_reorder", &Pair::MoveReorder},     {"reorder_reorder", &Pair::ReorderReorder},
      {"update_update", &Pair::UpdateUpdate},
  };
  const std::string& a = first.GetID();
  const std::string& b = second.GetID();
  logger_.Log(Format("Detector [%s]: localID: %s, serverID: %s", key, firstIsLocal ? a : b,
                     firstIsLocal ? b : a));
  auto rule = kDetectors.find(key);
  if (rule == kDetectors.end()) return {};
  const Pair pair{*this, first, second, firstIsLocal ? localTree_ : serverTree_,
                  firstIsLocal ? serverTree_ : localTree_};
  return (pair.*(rule->second))();
}

SyncTarget ConflictResolver::Pair::InsertInsert() const {
  if (a == b) {
    // The same new node on both sides: equal where it matters, or a clash
    // nobody can settle. The place before a sibling is no attribute.
    std::string differences;
    for (const auto& [name, value] : first.GetArgs())
      if (name != keys::kBnid && !IsUnimportantAttribute(name) && second.GetArg(name) != value)
        differences += Format(", %s:%s", name, value);
    for (const auto& [name, value] : second.GetArgs())
      if (name != keys::kBnid && !IsUnimportantAttribute(name) && !first.HasArg(name) &&
          !value.empty())
        differences += Format(", %s:%s", name, value);
    // Failing here would fail every later sync the same way: the node is
    // one node, settled as such.
    if (!differences.empty()) {
      pass.logger_.Log(
          Format("Conflict: duplicate nids detected on insert %s: %s", a, differences));
      return Resolution(kSyncSameNode, kSyncBoth);
    }
    return Resolution(kSyncDrop, kSyncBoth);
  }
  if (pnid1 == pnid2 && bnid1 == bnid2 && !placed) return Resolution(kSyncTransit, kSyncServer);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::InsertMove() const {
  // The insert is to stand before the node that the move takes elsewhere.
  if (bnid1 == b && pnid1 != pnid2) return Resolution(kSyncNextSib, kSyncLeft);
  if (pnid1 == pnid2 && bnid1 == bnid2 && !placed) return Resolution(kSyncTransit, kSyncServer);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::InsertReorder() const {
  const std::string parent = ParentOf(secondTree, second, "server2");
  if (parent == pnid1 && bnid1 == bnid2 && !placed) return Resolution(kSyncTransit, kSyncServer);
  if (pnid1 == pnid2 && bnid2 == a) return Resolution(kSyncNextSib, kSyncLocal);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::DeleteInsert() const {
  if (Covers(first, bnid2)) return Resolution(kSyncNextSib, kSyncRight);
  if (Covers(first, pnid2)) return Resolution(kSyncDelInsert, kSyncLeft);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::DeleteDelete() const {
  if (a == b) return Resolution(kSyncDrop, kSyncBoth);
  if (Covers(first, b)) return Resolution(kSyncDrop, kSyncRight);
  if (Covers(second, a)) return Resolution(kSyncDrop, kSyncLeft);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::DeleteMove() const {
  if (Covers(first, bnid2)) return Resolution(kSyncNextSib, kSyncRight);
  if (Covers(first, b)) return Resolution(kSyncDelMoveOut, kSyncLeft);
  if (Covers(first, pnid2)) return Resolution(kSyncDelMoveIn, kSyncLeft);
  // A delete elsewhere leaves the move as it is.
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::DeleteReorder() const {
  if (Covers(first, b)) return Resolution(kSyncDrop, kSyncRight);
  if (bnid2 == a) return Resolution(kSyncNextSib, kSyncRight);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::DeleteUpdate() const {
  if (!Covers(first, b)) return NoConflict();
  for (const auto& [name, value] : second.GetArgs())
    if (!IsUnimportantAttribute(name)) return Resolution(kSyncDelUpdate, kSyncLeft);
  return Resolution(kSyncDrop, kSyncRight);
}

SyncTarget ConflictResolver::Pair::MoveMove() const {
  if (pnid1 == pnid2) {
    if (a == b) return Resolution(kSyncDrop, bnid1 == bnid2 ? kSyncBoth : kSyncServer);
    if (bnid1 == bnid2 && !placed) return Resolution(kSyncTransit, kSyncServer);
    return NoConflict();
  }
  if (a == b) {
    Node* item = firstTree.GetNode(a, false, false, true, "server3");
    Node* firstFolder = firstTree.GetNode(pnid1, false, false, true, "server4");
    Node* secondFolder = secondTree.GetNode(pnid2, false, false, true, "server5");
    return Resolution(kSyncDrop, Answer(pass.questions_.AskFolderPlacementConflict(
                                     *item, *firstFolder, *secondFolder)));
  }
  // Each side moved its node into the other's: together the two moves
  // would cut both out of the tree. The local placement stays.
  if (pass.AncestryOf(firstTree).Within(pnid1, b) && pass.AncestryOf(secondTree).Within(pnid2, a))
    return Resolution(kSyncDrop, kSyncServer);
  // A move that is to stand before the node the other move takes away.
  if (bnid1 == b) return Resolution(kSyncNextSib, kSyncLeft);
  if (bnid2 == a) return Resolution(kSyncNextSib, kSyncRight);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::MoveReorder() const {
  if (a == b) return Resolution(kSyncDrop, kSyncRight);
  const std::string parent = ParentOf(secondTree, second, "server6");
  // The reorder is to stand before the node the move takes away.
  if (bnid2 == a && parent != pnid1) return Resolution(kSyncNextSib, kSyncRight);
  if (parent == pnid1 && bnid1 == bnid2 && !placed) return Resolution(kSyncTransit, kSyncServer);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::ReorderReorder() const {
  if (ParentOf(firstTree, first, "server8") != ParentOf(secondTree, second, "server9"))
    return NoConflict();
  if (a == b) {
    if (bnid1 != bnid2) return Resolution(kSyncDrop, kSyncServer);
    return second.flagged ? NoConflict() : Resolution(kSyncDrop, kSyncBoth);
  }
  // A reorder is copied to the other side once: the copied command is
  // flagged.
  if (b == bnid1 && !second.flagged) return Resolution(kSyncCommuteReorder, kSyncLeft);
  if (a == bnid2 && !first.flagged) return Resolution(kSyncCommuteReorder, kSyncRight);
  return NoConflict();
}

SyncTarget ConflictResolver::Pair::UpdateUpdate() const {
  if (a != b) return NoConflict();
  Node* mine = firstTree.GetNode(a, false, true, true);
  const std::string ntype = mine ? mine->GetAttr(keys::kNtype) : std::string();
  const char32_t filler = Engine::Current().Platform().FillerChar();
  std::vector<std::string> differing;
  bool unseen = false;  // values that differ only where the user cannot see it
  bool shared = false;
  for (const auto& [name, value] : first.GetArgs()) {
    if (!second.HasArg(name)) continue;
    shared = true;
    const std::string& theirs = second.GetArg(name);
    bool differs;
    if (name == keys::kName)
      differs = MakeSafeFileName(value, ntype, filler) != MakeSafeFileName(theirs, ntype, filler);
    else
      differs = !IsUnimportantAttribute(name) && value != theirs;
    if (differs)
      differing.push_back(name);
    else if (value != theirs)
      unseen = true;
  }
  if (differing.size() == 1 && differing[0] == keys::kTags)
    return Resolution(kSyncDrop, kSyncServer);
  // Of the root only what both sides set is settled, the local way.
  if (a == keys::kRoot) return shared ? Resolution(kSyncDrop, kSyncServer) : NoConflict();
  // Both sides would otherwise take the other's value: the local one
  // stays on both.
  if (differing.empty()) return unseen ? Resolution(kSyncDrop, kSyncServer) : NoConflict();
  Node* firstNode = firstTree.GetNode(a, false, false, true, "server10");
  Node* secondNode = secondTree.GetNode(b, false, false, true, "server11");
  return Resolution(kSyncDrop, Answer(pass.questions_.AskVersionConflict(*firstNode, *secondNode)));
}

bool ConflictResolver::TrimUpdate(Command& loser, const Command& winner) {
  std::vector<std::string> shared;
  for (const auto& [name, value] : loser.GetArgs())
    if (winner.HasArg(name)) shared.push_back(name);
  for (const std::string& name : shared) loser.DeleteArg(name);
  return loser.GetArgs().empty();
}

bool ConflictResolver::Discard(CommandSet& set, int index, const Command& other) {
  Command& command = *set.GetAt(static_cast<size_t>(index));
  if (command.GetAction() == kDelete) {
    // A delete still stands for what it took until the pass ends, so that
    // the other side's commands on nodes inside meet it; then it is left
    // out.
    retired_.insert(&command);
    return false;
  }
  // Of two updates of one node only the arguments both carry go: what one
  // side alone changed still reaches the other.
  if (command.GetAction() == kUpdate && other.GetAction() == kUpdate &&
      command.GetID() == other.GetID() && !TrimUpdate(command, other))
    return false;
  // A move that gives way to a move of another node is taken back: the
  // winning side first puts the node back where it holds it (after its own
  // commands, when that folder is one they make), or, when the losing side
  // deleted that folder, in the nearest folder both keep (where the losing
  // side also puts it before its delete runs).
  if (command.GetAction() == kMove && other.GetID() != command.GetID()) {
    const bool local = &set == &local_;
    Side winner = SideOf(!local);
    NodeSet& loserTree = local ? localTree_ : serverTree_;
    const std::string& id = command.GetID();
    if (Node* node = winner.tree.GetNode(id, false, true, true)) {
      const std::string folder = node->GetAttr(keys::kPnid);
      const std::string place =
          Holds(baseline_, folder) && !Holds(loserTree, folder) ? NearestAncestor(folder) : folder;
      auto& back = Holds(baseline_, place) ? winner.set.PreSet() : winner.set.PostSet();
      back->Append(MakeCommand(kMove, id, {{std::string(keys::kPnid), place}}));
      if (place != folder)
        set.PreSet()->Append(MakeCommand(kMove, id, {{std::string(keys::kPnid), place}}));
    }
  }
  Drop(set, index);
  return true;
}

void ConflictResolver::Drop(CommandSet& set, int index) {
  std::unique_ptr<Command> gone = set.Drop(static_cast<size_t>(index));
  retired_.erase(gone.get());
  placed_.erase(gone.get());
}

bool ConflictResolver::DoAction(const SyncTarget& record, int& i, int& j) {
  Command& l = *local_.GetAt(static_cast<size_t>(i));
  Command& s = *server_.GetAt(static_cast<size_t>(j));
  const std::string& op = record.op;
  const std::string& target = record.target;
  logger_.Log(Format("DoAction: action: %s, target: %s, lcID: %s, scID: %s", op, target, l.GetID(),
                     s.GetID()));
  auto unknownTarget = [&]() {
    return VelkException("internal", kErrSyncGaveUp, Format("Unknown sync parameter %s", target));
  };

  if (op == kSyncDrop) {
    if (target == kSyncBoth) {
      const Command serverCopy = s;  // `s` is gone by the time `l` goes
      Discard(server_, j, l);
      Discard(local_, i, serverCopy);
      --i;
      return true;
    }
    if (target == kSyncLocal) {
      Discard(local_, i, s);
      --i;
      return true;
    }
    if (target == kSyncServer) {
      if (Discard(server_, j, l)) --j;
      return false;
    }
    throw unknownTarget();
  }
  if (op == kSyncTransit) {
    if (target == kSyncLocal) {
      l.SetArg(keys::kBnid, s.GetID());
      placed_.insert(&l);
      --i;
      return true;
    }
    if (target == kSyncServer) {
      s.SetArg(keys::kBnid, l.GetID());
      placed_.insert(&s);
      i = -1;
      return true;
    }
    throw unknownTarget();
  }
  if (op == kSyncNextSib) {
    if (target == kSyncLocal) {
      l.SetArg(keys::kBnid, NextSibling(l, true));
      --i;
      return true;
    }
    if (target == kSyncServer) {
      s.SetArg(keys::kBnid, NextSibling(s, false));
      i = -1;
      return true;
    }
    throw unknownTarget();
  }
  if (op == kSyncDelInsert || op == kSyncDelMoveIn) {
    // The target is the side whose delete took the parent. The other side's
    // command goes to the nearest folder both sides keep; the deleting side
    // first moves the node there, so its delete does not take it; both end
    // with it last in that folder.
    const bool serverDeleted = target == kSyncServer;
    Command& rewritten = serverDeleted ? l : s;
    CommandSet& receiving = serverDeleted ? server_ : local_;
    const std::string ancestor = NearestAncestor(rewritten.GetArg(keys::kPnid));
    rewritten.SetArg(keys::kPnid, ancestor);
    rewritten.DeleteArg(keys::kBnid);
    const std::string& id = rewritten.GetID();
    receiving.PreSet()->Append(MakeCommand(kMove, id, {{std::string(keys::kPnid), ancestor}}));
    local_.PostSet()->Append(ToEnd(id));
    server_.PostSet()->Append(ToEnd(id));
    i = -1;
    return true;
  }
  if (op == kSyncDelUpdate || op == kSyncDelMoveOut) {
    // The node lives on: the side that deleted it gets it back, and a move
    // takes it where the other side has it.
    const bool localHolds = target == kSyncServer;
    Resurrect(localHolds ? l.GetID() : s.GetID(), localHolds);
    i = -1;
    return true;
  }
  if (op == kSyncCommuteReorder) {
    if (target != kSyncLocal && target != kSyncServer) throw unknownTarget();
    const bool toLocal = target == kSyncLocal;
    Command& copied = toLocal ? s : l;
    if (!Holds(toLocal ? localTree_ : serverTree_, copied.GetID()))
      return DoAction(Resolution(kSyncDrop, toLocal ? kSyncServer : kSyncLocal), i, j);
    copied.flagged = true;
    CommandSet& receiving = toLocal ? local_ : server_;
    size_t at = static_cast<size_t>(toLocal ? i : j) + 1;
    while (at < receiving.GetSize() && receiving.GetAt(at)->flagged) ++at;
    receiving.Insert(at, std::make_unique<Command>(copied));
    i = -1;
    return true;
  }
  if (op == kSyncSameNode) {
    // Where both sides give a value the local one goes to the service (the
    // user's latest); what only the service gives comes here; the place
    // the local side chose is kept.
    Attributes toServer, toLocal;
    auto counts = [](const std::string& name) {
      return name != keys::kPnid && name != keys::kBnid && !IsUnimportantAttribute(name);
    };
    for (const auto& [name, value] : l.GetArgs())
      if (counts(name) && s.GetArg(name) != value) toServer[name] = value;
    for (const auto& [name, value] : s.GetArgs())
      if (counts(name) && !l.HasArg(name) && !value.empty()) toLocal[name] = value;
    const std::string id = l.GetID();
    const std::string localParent = l.GetArg(keys::kPnid);
    const bool moved = localParent != s.GetArg(keys::kPnid);
    Drop(local_, i);
    Drop(server_, j);
    if (!toServer.empty()) local_.PostSet()->Append(MakeCommand(kUpdate, id, std::move(toServer)));
    if (moved)
      local_.PostSet()->Append(MakeCommand(kMove, id, {{std::string(keys::kPnid), localParent}}));
    if (!toLocal.empty()) server_.PostSet()->Append(MakeCommand(kUpdate, id, std::move(toLocal)));
    i = -1;
    return true;
  }
  throw VelkException("internal", kErrSyncGaveUp, Format("Unknown sync operator %s", op));
}

std::string ConflictResolver::NextSibling(const Command& command, bool commandIsLocal) {
  // The first sibling after the current one, in the command's own tree,
  // that the other side holds in the same folder; "" (last) when none.
  NodeSet& own = commandIsLocal ? localTree_ : serverTree_;
  NodeSet& other = commandIsLocal ? serverTree_ : localTree_;
  const std::string& before = command.GetArg(keys::kBnid);
  std::string parentId = command.GetArg(keys::kPnid);
  if (command.GetAction() == kReorder) {
    Node* node = own.GetNode(command.GetID(), false, true, true);
    parentId = node ? node->GetAttr(keys::kPnid) : std::string();
  }
  if (before.empty() || parentId.empty()) return {};
  Node* parent = own.GetNode(parentId, false, true, true);
  Node* otherParent = other.GetNode(parentId, false, true, true);
  if (!parent || !otherParent) return {};
  int at = parent->FindChild(before);
  if (at < 0) return {};
  for (size_t k = static_cast<size_t>(at) + 1; k < parent->GetChildLength(); ++k) {
    const std::string& sibling = parent->GetChildAt(k);
    if (sibling != command.GetID() && otherParent->HasChild(sibling)) return sibling;
  }
  return {};
}

std::string ConflictResolver::NearestAncestor(std::string_view id) {
  logger_.Log(Format("Finding nearest ancestor for [%s]", id));
  std::string at(id);
  std::vector<std::string> path;         // the ids passed, which share the answer
  std::unordered_set<std::string> seen;  // a damaged baseline must not hold the walk
  while (!at.empty() && seen.insert(at).second) {
    std::string found;
    if (auto known = nearest_.find(at); known != nearest_.end()) {
      found = known->second;
    } else {
      Node* node = baseline_.GetNode(at, false, true, true);
      if (!node)
        throw VelkException("internal", kErrSyncGaveUp,
                            Format("NearestAncestor failed accessing %s", at));
      if (Holds(localTree_, at) && Holds(serverTree_, at)) {
        found = at;
      } else {
        path.push_back(at);
        at = node->GetAttr(keys::kPnid);
        continue;
      }
    }
    for (const std::string& passed : path) nearest_.emplace(passed, found);
    nearest_.emplace(at, found);
    return found;
  }
  throw VelkException("internal", kErrSyncGaveUp, "Couldn't find a common ancestor!");
}

void ConflictResolver::Resurrect(const std::string& id, bool holderIsLocal) {
  logger_.Log(Format("Resurrecting [%s]", id));
  Side holder = SideOf(holderIsLocal);
  Side deleter = SideOf(!holderIsLocal);

  // What the deleter's deletes still take away.
  std::unordered_set<std::string> taken;
  for (const auto& command : deleter.set.Commands())
    if (command->GetAction() == kDelete)
      for (size_t k = 0; k < command->DeletedNodeCount(); ++k)
        taken.insert(command->GetDeletedNodeAt(k));

  // What comes back: the node and, below it as the baseline holds it, every
  // node the deleter took and the holder still holds, parents first.
  auto comesBack = [&](const std::string& n) {
    return taken.count(n) && Holds(holder.tree, n) && Holds(baseline_, n);
  };
  if (!comesBack(id)) return;
  std::vector<std::string> back{id};
  std::unordered_set<std::string> backSet{id};
  for (size_t k = 0; k < back.size(); ++k) {
    Node* node = baseline_.GetNode(back[k], false, false, true, "server13");
    for (const std::string& child : node->RawChildren())
      if (!backSet.count(child) && comesBack(child)) {
        back.push_back(child);
        backSet.insert(child);
      }
  }

  // Where it ends: the holder's folder, or the nearest folder both keep when
  // the deleter took that too. Where it starts on the deleter's side: that
  // folder when it is there from the start, else the nearest kept folder of
  // its old place (the holder's own commands then move it on).
  Node* held = holder.tree.GetNode(id, false, false, true, "server12");
  const std::string folder = held->GetAttr(keys::kPnid);
  const bool folderTaken = taken.count(folder) > 0;
  const std::string place = folderTaken ? NearestAncestor(folder) : folder;
  const std::string start =
      Holds(deleter.tree, place) || broughtBack_.count(place)
          ? place
          : NearestAncestor(
                baseline_.GetNode(id, false, false, true, "server13")->GetAttr(keys::kPnid));

  // The holder's commands bring the nodes back on the deleter's side before
  // anything else (the pre set runs last added first, so each is put in
  // front: they run in this order, after what earlier resurrections added).
  CommandSet& pre = *holder.set.PreSet();
  for (const std::string& n : back) {
    Node* node = baseline_.GetNode(n, false, false, true, "server13");
    Attributes args = node->GetSafeAttrs();
    args[keys::kPnid] = n == id ? start : node->GetAttr(keys::kPnid);
    args.erase(keys::kBnid);
    pre.Insert(0, MakeCommand(kInsert, n, std::move(args)));
    broughtBack_.insert(n);
  }

  // The deleter's deletes no longer take these nodes; a delete of the node
  // itself still stands for whatever else it took, and goes at the end.
  for (const auto& command : deleter.set.Commands()) {
    if (command->GetAction() != kDelete) continue;
    command->RemoveDeletedNodesIf([&](const std::string& n) { return backSet.count(n) > 0; });
    if (backSet.count(command->GetID())) retired_.insert(command.get());
  }

  // On the holder's side the node leaves a folder the deleter takes away
  // before that delete runs, and the holder's own move into that folder
  // goes to the same place.
  if (folderTaken) {
    deleter.set.PreSet()->Append(MakeCommand(kMove, id, {{std::string(keys::kPnid), place}}));
    for (const auto& command : holder.set.Commands())
      if (command->GetAction() == kMove && command->GetID() == id &&
          command->GetArg(keys::kPnid) == folder) {
        command->SetArg(keys::kPnid, place);
        command->DeleteArg(keys::kBnid);
      }
  }
  // Both sides end with it last in that folder.
  local_.PostSet()->Append(ToEnd(id));
  server_.PostSet()->Append(ToEnd(id));
}

void ResolveConflicts(CommandSet& local, CommandSet& server, NodeSet& localTree,
                      NodeSet& serverTree, SyncQuestions& questions, Logger& logger) {
  try {
    ConflictResolver resolver(local, server, localTree, serverTree, questions, logger);
    resolver.Run();
  } catch (const VelkException& e) {
    // A cancel is the user's choice, not a failure.
    if (e.id() != kErrUserCancelled) logger.Error("Synchronize failed (reason 2)");
    throw;
  } catch (...) {
    logger.Error("Synchronize failed");
    throw;
  }
}

}  // namespace tarvex
