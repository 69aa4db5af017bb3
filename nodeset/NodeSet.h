// A bookmark tree, kept as a table from node id to node. A set may be a
// clone of a base set: it then holds only the nodes it changed or added (and
// tombstones for those it removed) and reads everything else through to the
// base, which it never changes. The base must outlive its clones.
#pragma once

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ie/foundation/text/Text.h"
#include "nodeset/Node.h"

namespace tarvex {

class Command;
class CommandSet;

class NodeSet {
 public:
  // Nodes by id; a null entry is a tombstone.
  using Table = std::map<std::string, std::unique_ptr<Node>, Utf16Less>;

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
  // error; a tombstone of the id is replaced.
  void AddNode(std::unique_ptr<Node> node);

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

  // The browser's store through the platform's datasource.
  bool FetchFromNative();
  void FlushToNative();

  // Command execution.
  void Execute(const Command& command);
  void Execute(const CommandSet& commands);
  void Do_insert(std::string_view id, const Attributes& args);
  void Do_delete(std::string_view id);
  void Do_move(std::string_view id, const Attributes& args);
  void Do_reorder(std::string_view id, const Attributes& args);
  void Do_update(std::string_view id, const Attributes& args);

 private:
  struct Flat;
  // Raises the errors InsertInParent would raise, changing nothing.
  void CheckInsertInParent(std::string_view id, std::string_view pnid, std::string_view bnid,
                           std::string_view leaving = {});
  // The node and every node below it, parents first; throws for a missing
  // node before anything changes.
  std::vector<std::string> CollectSubtree(std::string_view id);
  void Tombstone(const std::string& id);
  void CheckUser(const Json::Value& value);

  NodeSet* base_;
  Table table_;
  std::string userHash_;
  std::string revision_;
};

}  // namespace tarvex
