// A change to a bookmark tree (insert, delete, move, reorder, update) and an
// ordered list of them, with the JSON form that travels between the clients
// and the sync service.
#pragma once

#include <json/json.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nodeset/Node.h"

namespace tarvex {

class NodeSet;

// The actions a command can have.
namespace actions {
inline constexpr std::string_view kInsert = "insert";
inline constexpr std::string_view kDelete = "delete";
inline constexpr std::string_view kMove = "move";
inline constexpr std::string_view kReorder = "reorder";
inline constexpr std::string_view kUpdate = "update";
}  // namespace actions

class Command {
 public:
  Command(std::string action, std::string id, Attributes args = {});
  Command(const Command&) = default;
  Command& operator=(const Command&) = default;

  // Set by the conflict resolution of the sync on commands it has dealt with.
  bool flagged = false;

  const std::string& GetAction() const { return action_; }
  void SetAction(std::string action) { action_ = std::move(action); }
  const std::string& GetID() const { return id_; }
  const Attributes& GetArgs() const { return args_; }
  // "" when absent.
  const std::string& GetArg(std::string_view name) const;
  bool HasArg(std::string_view name) const;
  void SetArg(std::string_view name, std::string_view value);
  void DeleteArg(std::string_view name);

  // The nodes the command is recorded to have removed. A look-up in a long
  // list (a whole folder's worth) goes through an index of it, so that
  // asking about every command of a sync costs no more than the list.
  void AddDeletedNode(std::string id);
  size_t DeletedNodeCount() const { return deleted_.size(); }
  const std::string& GetDeletedNodeAt(size_t index) const;
  // The first place of `id` in the list; -1 when it is not there.
  int GetDeletedNodeIndex(std::string_view id) const;
  bool HasDeletedNode(std::string_view id) const { return GetDeletedNodeIndex(id) >= 0; }
  void RemoveDeletedNodeAt(size_t index);
  // Removes every id `gone` holds true for, the others keeping their order.
  template <typename Pred>
  void RemoveDeletedNodesIf(Pred gone) {
    if (std::erase_if(deleted_, gone) > 0) deletedIndex_.map.reset();
  }
  void ResetDeletedNodes();

  // {"action", "nid", "args" (when any)}; `tags` as an array of its pieces in
  // the Windows flavour; created/modified/visited as integers.
  Json::Value ToJSON() const;

 private:
  std::string action_;
  std::string id_;
  Attributes args_;
  // Where each id of a long `deleted_` first stands: made by the first
  // look-up, kept up by additions, dropped by removals; a copy starts
  // without one.
  struct DeletedIndex {
    struct Hash {
      using is_transparent = void;
      size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
      }
    };
    using Map = std::unordered_map<std::string, size_t, Hash, std::equal_to<>>;
    DeletedIndex() = default;
    DeletedIndex(const DeletedIndex&) {}
    DeletedIndex& operator=(const DeletedIndex&) {
      map.reset();
      return *this;
    }
    std::unique_ptr<Map> map;
  };

  std::vector<std::string> deleted_;
  mutable DeletedIndex deletedIndex_;
};

// A new command, for code that makes commands one by one.
inline std::unique_ptr<Command> MakeCommand(std::string_view action, std::string_view id,
                                            Attributes args = {}) {
  return std::make_unique<Command>(std::string(action), std::string(id), std::move(args));
}

class CommandSet {
 public:
  using List = std::vector<std::unique_ptr<Command>>;

  CommandSet() = default;
  explicit CommandSet(List commands) : commands_(std::move(commands)) {}
  // Reads a command array (an object gives its member values in name order;
  // any other value gives no commands). Elements without an action are
  // dropped. A command that is not an object, whose `args` is not an object,
  // or whose node ids are unusable (an empty or control-character `nid`, a
  // control character in `pnid` or `bnid`) throws "Invalid command JSON".
  explicit CommandSet(const Json::Value& value);
  // The same, emptying `value` as its commands are read, so that a large
  // array and its commands are never held whole at once.
  explicit CommandSet(Json::Value&& value);
  CommandSet(const CommandSet&) = delete;
  CommandSet& operator=(const CommandSet&) = delete;
  CommandSet(CommandSet&&) = default;
  CommandSet& operator=(CommandSet&&) = default;

  size_t GetSize() const { return commands_.size(); }
  // nullptr past the end.
  Command* GetAt(size_t index) const;
  List::iterator GetIteratorAt(size_t index);

  void Append(std::unique_ptr<Command> command);
  // Before the command at `index` (at the end past it).
  void Insert(size_t index, std::unique_ptr<Command> command);
  // Removes the command at `index` and hands it back (nothing past the end).
  std::unique_ptr<Command> Drop(size_t index);
  // Empties the list, handing the commands to the caller.
  List ReleaseSet();
  // Removes every command of the action.
  void FilterCommands(std::string_view action);

  // Commands that belong before and after this set's own.
  std::unique_ptr<CommandSet>& PreSet() { return pre_; }
  std::unique_ptr<CommandSet>& PostSet() { return post_; }
  // Moves the pre set's commands to the front (each inserted at index 0, so
  // in reverse order) and appends the post set's.
  void CombinePrePost();
  // A move whose node already has the move's parent becomes a reorder.
  void DemoteMovesToReorders(NodeSet& set);

  // Runs every command in order; the first failure stops the run.
  void Execute(NodeSet& set) const;
  Json::Value ToJSON() const;

  const List& Commands() const { return commands_; }

 private:
  std::unique_ptr<CommandSet> pre_;
  std::unique_ptr<CommandSet> post_;
  List commands_;
};

// An id that may stand in a tree: not empty and free of control characters
// (ids end up in file contents and names).
bool IsValidNodeId(std::string_view id);

}  // namespace tarvex
