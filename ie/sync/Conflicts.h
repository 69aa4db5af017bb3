// The conflict pass of a normal sync. Both command sets were made against
// the same baseline: the local commands turn it into the Favorites, the
// server commands into the service's tree. Before either set is applied to
// the other side, every pair of one local and one server command is shown to
// the detector; a pair that would clash becomes a resolution (an operator and
// a target) that rewrites, drops or adds commands, until no pair needs one.
//
// The trees: `localTree` is the tree read from the Favorites, `serverTree` a
// clone of the baseline with the server commands executed (its base is the
// baseline). Neither tree is changed; each command's nodes are looked up in
// the tree of its own side.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tarvex {

class Command;
class CommandSet;
class Logger;
class NodeSet;
class SyncQuestions;

// What the detector makes of a pair: no rule, no conflict, or a resolution
// (an operator with a target).
struct SyncTarget {
  static constexpr int kResolution = 0;
  static constexpr int kNoConflict = 1;
  static constexpr int kNoRule = 2;

  int kind = kNoRule;
  std::string op;
  std::string target;
};

// Operators of a resolution.
inline constexpr std::string_view kSyncDrop = "drop";
inline constexpr std::string_view kSyncTransit = "transit";
inline constexpr std::string_view kSyncNextSib = "nextsib";
inline constexpr std::string_view kSyncDelInsert = "delinsert";
inline constexpr std::string_view kSyncDelMoveOut = "delmoveout";
inline constexpr std::string_view kSyncDelMoveIn = "delmovein";
inline constexpr std::string_view kSyncDelUpdate = "delupdate";
inline constexpr std::string_view kSyncCommuteReorder = "commutereorder";
// The same new node inserted by both sides with different attributes (our
// own insert that the service took while its answer was lost, changed here
// since): it becomes one node, the local values winning.
inline constexpr std::string_view kSyncSameNode = "samenode";
// Targets. The detector speaks of "left" (its first command) and "right" (its
// second); the pass turns them into "local" and "server".
inline constexpr std::string_view kSyncBoth = "both";
inline constexpr std::string_view kSyncLocal = "local";
inline constexpr std::string_view kSyncServer = "server";
inline constexpr std::string_view kSyncLeft = "left";
inline constexpr std::string_view kSyncRight = "right";

class ConflictResolver {
 public:
  // At this many resolutions the pass gives up.
  static constexpr int kMaxResolutions = 1000;

  // Records which nodes each delete takes with it and gives both sets empty
  // pre and post sets. Throws when `serverTree` is not a clone.
  ConflictResolver(CommandSet& local, CommandSet& server, NodeSet& localTree, NodeSet& serverTree,
                   SyncQuestions& questions, Logger& logger);
  ~ConflictResolver();
  ConflictResolver(const ConflictResolver&) = delete;
  ConflictResolver& operator=(const ConflictResolver&) = delete;

  // Examines every pair until none needs a resolution, then folds the pre
  // and post sets into both sets and turns local moves within the server's
  // parent into reorders.
  void Run();

  // The rule for `key` ("<first action>_<second action>"); `firstIsLocal`
  // says which side the first command comes from.
  SyncTarget DetectConflict(const std::string& key, Command& first, Command& second,
                            bool firstIsLocal);
  // The detector on the local and the server command, asked the other way
  // round when it has no rule, with the target as "local", "server" or
  // "both".
  SyncTarget Detect(Command& local, Command& server);
  // Applies a resolution to the local command at `i` and the server command
  // at `j`. True when the pass must go on with the next local command (after
  // `i`, which the action may have moved back, to -1 for a fresh start).
  bool DoAction(const SyncTarget& record, int& i, int& j);
  // The nearest ancestor of `id`, as the baseline holds it, that both trees
  // hold (`id` itself when they do). Answers are kept: every id on a line of
  // parents that led to an answer has that answer.
  std::string NearestAncestor(std::string_view id);
  // Brings back, on the side that deleted it, a node that the other side
  // still holds (`holderIsLocal`), with what is left of its subtree.
  void Resurrect(const std::string& id, bool holderIsLocal);

  int resolutions() const { return resolutions_; }
  long long pairs() const { return pairs_; }

 private:
  struct Side;
  class Ancestry;
  // The detectors' view of a pair of commands; its rules are the table
  // DetectConflict looks up.
  struct Pair;
  Side SideOf(bool local);
  // Who is whose ancestor in the local or the server tree.
  Ancestry& AncestryOf(NodeSet& tree);
  std::string NextSibling(const Command& command, bool commandIsLocal);
  bool Covers(const Command& remove, std::string_view id) const;
  // Takes the arguments both updates carry out of `loser`; true when
  // nothing is left of it.
  static bool TrimUpdate(Command& loser, const Command& winner);
  // Drops the command at `index` as a resolution asks (of an update only
  // what `other` also changes; a delete at the end of the pass); true when
  // it left the set.
  bool Discard(CommandSet& set, int index, const Command& other);
  void Drop(CommandSet& set, int index);
  void Finish();
  // Checks that both sides end with the same tree and gives the server's
  // folders the order the Favorites will show.
  void Reconcile();

  CommandSet& local_;
  CommandSet& server_;
  NodeSet& localTree_;
  NodeSet& serverTree_;
  NodeSet& baseline_;
  SyncQuestions& questions_;
  Logger& logger_;
  int resolutions_ = 0;
  long long pairs_ = 0;
  // Deletes a resolution dropped, or whose node was brought back: kept
  // through the pass for what else they took with them, left out at its end.
  std::unordered_set<const Command*> retired_;
  // The nodes and folders the commands named before the pass.
  std::vector<std::string> given_;
  // Commands a transit has put right before another command.
  std::unordered_set<const Command*> placed_;
  // Nodes brought back so far on the side that had deleted them.
  std::unordered_set<std::string> broughtBack_;
  // The trees do not change during the pass: what was found out about their
  // lines of parents holds to its end.
  std::unique_ptr<Ancestry> localAncestry_, serverAncestry_;
  std::unordered_map<std::string, std::string> nearest_;  // NearestAncestor's answers
};

// Resolves the conflicts between the local and the server commands in place.
void ResolveConflicts(CommandSet& local, CommandSet& server, NodeSet& localTree,
                      NodeSet& serverTree, SyncQuestions& questions, Logger& logger);

}  // namespace tarvex
