// A bookmark tree, kept as a table from node id to node. A set may be a
// clone of a base set: it then holds only the nodes it changed or added (and
// tombstones for those it removed) and reads everything else through to the
// base, which it never changes. The base must outlive its clones.
#pragma once

#include <json/json.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "text/Text.h"
#include "nodeset/Node.h"
#include "nodeset/NodeTable.h"

namespace tarvex {

class Command;
class CommandSet;

class NodeSet {
 public:
  // Nodes by id; a null entry is a tombstone. Hashed: the JSON form lists the
  // nodes in id order (UTF-16 code units).
  using Table = NodeTable;

  enum class LoadResult { Loaded, Missing, Unparsable };

  // An empty set, or a clone of `base` (taking its user hash and revision).
  explicit NodeSet(NodeSet* base = nullptr);
  ~NodeSet();
  NodeSet(const NodeSet&) = delete;
  NodeSet& operator=(const NodeSet&) = delete;

  // Looks a node up. Not in the table: with `searchBase` the base set is
  // asked, and with `clone` the base's node is copied into this set (copy on
  // write) and the copy returned. A tombstone, or an id found nowhere, throws
  // the not-found error unless `allowMissing` (then nullptr). `label` names
  // the caller in the message.
  Node* GetNode(std::string_view id, bool clone, bool allowMissing, bool searchBase,
                std::string_view label = {});

  // Adds a node; an id that maps to a node already throws the duplicate
  // error; a tombstone of the id is replaced. Returns the added node.
  Node* AddNode(std::unique_ptr<Node> node);

  // Tree operations.
  void InsertInParent(std::string_view id, std::string_view pnid, std::string_view bnid);
  void RemoveFromParent(std::string_view id);
  // Tombstones the node and every node below it (the parent's list is left
  // to the caller).
  void NukeNode(std::string_view id);
  std::string NextSibling(std::string_view id, NodeSet& other);
  void RewriteChildNodeOrder(Node& node);
  // Mode 1: by position (placed first, then unplaced by id); any other mode:
  // folders first, then by lower-cased name.
  void SortNodeChildren(int mode, Node& node);

  const std::string& GetRevision() const { return revision_; }
  void SetRevision(std::string revision) { revision_ = std::move(revision); }
  const std::string& GetUserHash() const { return userHash_; }
  void SetUserHash(std::string userHash) { userHash_ = std::move(userHash); }
  NodeSet* GetBaseSet() const { return base_; }
  void SetBaseSet(NodeSet* base) { base_ = base; }

  // This set's own entries (tombstones included).
  const Table& OwnTable() const { return table_; }
  size_t TableSize() const { return table_.size(); }

  // {"_nodes": [own nodes in id order], "currentRevision", "userHash",
  // "version"}. `flatten` writes a clone's whole tree: its own nodes over its
  // base's.
  Json::Value ToJSON(bool flatten = false) const;
  // WriteCompactJson(ToJSON(flatten)), made a node at a time: the whole
  // tree never stands as JSON values.
  std::string ToJSONText(bool flatten = false) const;
  // Replaces this set's contents with the tree in `value`. The tree must be
  // sound where it is reachable from "ROOT" (each node listed once, no
  // cycle, every listed child present and naming its parent); otherwise, or
  // when the user check fails, it throws and the set is left as it was.
  void LoadFromJSON(const Json::Value& value);

  // The baseline file: the platform's path, or the one given. Saving writes
  // a temporary file beside it and renames it over; a clone cannot be saved.
  void SaveToFile();
  void SaveToFile(const std::string& path);
  // Never throws for a missing or unparsable file (the set is then left as
  // it was) and says which it was; a baseline of another user throws.
  LoadResult LoadFromFile();
  LoadResult LoadFromFile(const std::string& path);

  // The browser's store through the platform's datasource. FetchFromNative
  // fills this empty set and returns what the datasource's ProvideNodes
  // returns (true); a read that fails throws what the datasource throws,
  // the set then partly filled.
  // `baseline`, when given, is the tree of the baseline file, loaded by
  // the caller, which the datasource may use instead of reading the file.
  bool FetchFromNative(NodeSet* baseline = nullptr);
  void FlushToNative();

  // Command execution. Each command is checked before it changes the tree,
  // so one that fails changes nothing: an action other than the five throws
  // the general error "No method for action: <action>"; a node the command
  // needs (its own, its parent, its folder) that the tree lacks throws the
  // not-found error; a placement the tree cannot take (no folder given, a
  // node put in itself, ROOT put in a folder, a folder that lists the node
  // already, a child missing from its parent's list, a place before a node
  // not in the folder) and, with the flavour that forbids it, an insert of
  // a node already there with other values throw the general error. A set
  // of commands runs in order and stops at the first failure; the commands
  // before it stay executed.
  void Execute(const Command& command);
  void Execute(const CommandSet& commands);
  void Do_insert(std::string_view id, const Attributes& args);
  void Do_delete(std::string_view id);
  void Do_move(std::string_view id, const Attributes& args);
  void Do_reorder(std::string_view id, const Attributes& args);
  void Do_update(std::string_view id, const Attributes& args);

  // ---- Whole-tree walks and comparison --------------------------------------
  // Walk modes of OnTree.
  enum WalkMode {
    kFindReordersInsertsMoves = 0,
    kFindDeletes = 1,
    kFindModifies = 2,
    kProvideCommands = 3,
    kDeclone = 4,
    kCleanNonIEData = 5,
    kHash = 6,
    kProvideHashes = 7,
  };

  // The commands that turn this tree into `other`, executed on this tree as
  // they are found (compare a clone to keep the original). Always returns a
  // set, empty when the trees agree. A tree without ROOT, or a node id a
  // folder lists whose node its tree lacks, throws the not-found error, and
  // a found command that this tree cannot take throws as Execute does;
  // this tree then keeps the commands found before.
  CommandSet Compare(NodeSet& other);
  // Walks the tree from `nid` level by level (children before their parent
  // when `childrenFirst`), running the mode's step once per node and
  // collecting its commands into `commands` when given.
  void OnTree(std::string_view nid, int mode, NodeSet* other, CommandSet* commands,
              bool childrenFirst);
  std::vector<std::unique_ptr<Command>> FindReordersInsertsMoves(std::string_view nid,
                                                                 NodeSet& other);
  std::vector<std::unique_ptr<Command>> FindDeletes(std::string_view nid, NodeSet& other);
  std::vector<std::unique_ptr<Command>> FindModifies(std::string_view nid, NodeSet& other);
  // Strips what the Favorites cannot hold (the root's name, the unfiled
  // folder when empty, separators and queries) and returns the commands that
  // put it back, to be executed from the last to the first.
  std::vector<std::unique_ptr<Command>> CleanNonIEData(std::string_view nid);
  // The ids of `a` that also occur in `b`, in the order of `a`.
  static std::vector<std::string> IntersectSets(const std::vector<std::string>& a,
                                                const std::vector<std::string>& b);
  // The first child of `node` at `index` or later that `present` holds; "".
  static std::string FindBnid(size_t index, const Node& node,
                              const std::vector<std::string>& present);
  // The whole tree as insert commands, parents before children.
  CommandSet ProvideCommandSet();
  // Copies every reachable node of the base into this set and drops the base.
  void Declone();
  // Hashes every node, children before their parent.
  void HashTree();
  // One {nid, pnid, children, hash} entry per node, level by level.
  const Json::Value& ProvideHashes();

  // ---- Matching, merge and repair -------------------------------------------
  // How well `other` matches `node` (the flavour's rule; Windows: 0, 33, 66
  // or 100).
  int CompareNodes(const Node& node, const Node& other) const;
  // The position in `candidates` (ids of this set) of the best match above 0
  // (the first of equal best), or candidates.size().
  size_t FindMatch(const Node& node, const std::vector<std::string>& candidates);
  // The sibling right after the node in its parent, or "".
  std::string FindNextChild(std::string_view id);
  // Appends an insert for the node and, below it, for every node not marked
  // "0" in `marks` (nodes the server listed), parents before children.
  void AddInsertCommands(std::string_view id, CommandSet& commands,
                         const std::map<std::string, std::string, Utf16Less>& marks);
  // Appends the moves and reorders that give `pnid` the wanted children in
  // the wanted order at the end of its list.
  void RepairChildOrder(std::string_view pnid, const std::vector<std::string>& current,
                        const std::vector<std::string>& wanted, CommandSet& commands);
  // Copies `nid` of `other` (with its subtree) under `newParent` with new ids;
  // returns the copy's id.
  std::string ReplicateNode(NodeSet& other, std::string_view nid, std::string_view newParent);
  // Folds `other` into this tree: paired nodes merge their attributes, the
  // rest is copied in with new ids; nothing is deleted. A tree without
  // ROOT, or a node id a folder of either tree lists whose node that tree
  // lacks, throws the not-found error; this tree then keeps what was
  // merged into it before.
  void Merge(NodeSet& other);
  // Turns the server's repair reply into the repair commands (run on this
  // tree) and the rebase commands (the deleted local nodes, inserted again).
  void BuildRepairCommands(const Json::Value& reply, CommandSet& repairSet,
                           CommandSet& rebaseSet);

 private:
  // Calls `visit` with each node ToJSON lists, in its order.
  template <typename Visit>
  void VisitListed(bool flatten, Visit&& visit) const;
  struct Flat;
  // The node of `id` as the walk sees it: own table, else the base; nullptr
  // for a tombstone or an id found nowhere.
  Node* WalkLookup(std::string_view id);
  // OnTree with parents before their children: breadth first.
  void WalkParentsFirst(std::string_view nid, int mode, NodeSet* other, CommandSet* commands);
  void Step(std::string_view id, int mode, NodeSet* other,
            std::vector<std::unique_ptr<Command>>& out);
  Json::Value hashes_;
  // InsertInParent's change, after its checks have passed; `own` is the
  // node when the caller holds it in this set's own table.
  void PlaceInParent(std::string_view id, std::string_view pnid, std::string_view bnid,
                     Node* own = nullptr);
  // Do_insert of an id that no node holds: the node takes every argument but
  // the placing ones as its attributes and is placed under `pnid` before
  // `bnid`.
  void InsertNewNode(std::string_view id, const Attributes& args, std::string_view pnid,
                     std::string_view bnid);
  // Raises the errors InsertInParent would raise, changing nothing.
  void CheckInsertInParent(std::string_view id, std::string_view pnid, std::string_view bnid,
                           std::string_view leaving = {});
  // The node and every node below it, parents first; throws for a missing
  // node before anything changes.
  std::vector<std::string> CollectSubtree(std::string_view id);
  void Tombstone(const std::string& id);
  void CheckUser(const Json::Value& value);
  // Copies `source` (a node of another set) under `newParent` with a new id,
  // without its children; returns the copy's id.
  std::string ReplicateLeaf(const Node& source, std::string_view newParent);
  // GetNode(id) with copy on write, for a node seen earlier as `seen` (in
  // this set or through its base): the base's node is copied from `seen`
  // without being looked up again.
  Node* CopyOnWrite(std::string_view id, const Node& seen, std::string_view label);
  // Whether changes to this set leave `other` as it is (it does not read
  // through to this set).
  bool Independent(const NodeSet& other) const;
  // The merge of the children of `other`'s folder into this tree's folder
  // `a` by the Windows rule (with an index of the candidates), when the two
  // trees are independent.
  void MergeChildren(NodeSet& other, const std::string& a,
                     const std::vector<std::string>& candidates,
                     const std::vector<std::string>& children,
                     const std::unordered_set<std::string>& pairedOther, char32_t filler,
                     std::deque<std::pair<std::string, std::string>>& work);

  NodeSet* base_;
  Table table_;
  std::string userHash_;
  std::string revision_;
};

}  // namespace tarvex
