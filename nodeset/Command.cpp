#include "nodeset/Command.h"

#include <algorithm>

#include "nodeset/Engine.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"

namespace tarvex {

bool IsValidNodeId(std::string_view id) {
  if (id.empty()) return false;
  for (char c : id)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

// ---- Command ------------------------------------------------------------------

Command::Command(std::string action, std::string id, Attributes args)
    : action_(std::move(action)), id_(std::move(id)), args_(std::move(args)) {}

const std::string& Command::GetArg(std::string_view name) const {
  static const std::string* empty = new std::string;
  auto it = args_.find(name);
  return it == args_.end() ? *empty : it->second;
}

bool Command::HasArg(std::string_view name) const {
  return args_.find(name) != args_.end();
}

void Command::SetArg(std::string_view name, std::string_view value) {
  auto it = args_.find(name);
  if (it != args_.end())
    it->second = value;
  else
    args_.emplace(std::string(name), std::string(value));
}

void Command::DeleteArg(std::string_view name) {
  auto it = args_.find(name);
  if (it != args_.end()) args_.erase(it);
}

const std::string& Command::GetDeletedNodeAt(size_t index) const {
  static const std::string* empty = new std::string;
  return index < deleted_.size() ? deleted_[index] : *empty;
}

namespace {
// Lists up to this long are searched from the start.
constexpr size_t kUnindexedDeletes = 32;
}  // namespace

void Command::AddDeletedNode(std::string id) {
  if (deletedIndex_.map) deletedIndex_.map->emplace(id, deleted_.size());
  deleted_.push_back(std::move(id));
}

int Command::GetDeletedNodeIndex(std::string_view id) const {
  if (deleted_.size() <= kUnindexedDeletes) {
    for (size_t i = 0; i < deleted_.size(); ++i)
      if (deleted_[i] == id) return static_cast<int>(i);
    return -1;
  }
  if (!deletedIndex_.map) {
    deletedIndex_.map = std::make_unique<DeletedIndex::Map>();
    deletedIndex_.map->reserve(deleted_.size());
    for (size_t i = 0; i < deleted_.size(); ++i) deletedIndex_.map->emplace(deleted_[i], i);
  }
  auto it = deletedIndex_.map->find(id);
  return it == deletedIndex_.map->end() ? -1 : static_cast<int>(it->second);
}

void Command::RemoveDeletedNodeAt(size_t index) {
  if (index >= deleted_.size()) return;
  deleted_.erase(deleted_.begin() + static_cast<std::ptrdiff_t>(index));
  deletedIndex_.map.reset();
}

void Command::ResetDeletedNodes() {
  deleted_.clear();
  deletedIndex_.map.reset();
}

Json::Value Command::ToJSON() const {
  Json::Value out(Json::objectValue);
  out["action"] = action_;
  out["nid"] = id_;
  if (!args_.empty()) {
    Json::Value& args = out["args"] = Json::Value(Json::objectValue);
    bool tagsAsArray = Engine::Current().Flavor().tagsAsJsonArray;
    for (const auto& [name, value] : args_) {
      if (name == keys::kTags && tagsAsArray) {
        Json::Value& tags = args[name] = Json::Value(Json::arrayValue);
        for (const std::string& piece : SplitTags(value)) tags.append(piece);
      } else if (IsIntegerAttribute(name)) {
        args[name] = Json::Value(static_cast<Json::Int64>(LeadingInt(value)));
      } else {
        args[name] = value;
      }
    }
  }
  return out;
}

// ---- Reading commands ------------------------------------------------------------

namespace {

[[noreturn]] void InvalidCommand() {
  Fail(ErrorKind::General, "Invalid command JSON");
}

// The text of a `tags` member that is not text: its elements joined by ",".
std::string JoinTagElements(const Json::Value& tags) {
  std::string joined;
  if (tags.isArray() || tags.isObject()) {
    for (const Json::Value& element : tags) {
      std::string text = JsonText(element);
      if (!joined.empty()) joined.push_back(',');
      joined.append(text);
    }
  }
  return joined;  // a real number gives nothing
}

// Whether a string value holds a NUL: its text ends there, so an id such as
// "a\0b" would silently name another node ("a").
bool HoldsNul(const Json::Value& value) {
  if (!value.isString()) return false;
  const char* begin = nullptr;
  const char* end = nullptr;
  value.getString(&begin, &end);
  return std::find(begin, end, '\0') != end;
}

std::unique_ptr<Command> ReadCommand(const Json::Value& element) {
  if (element.isNull()) return nullptr;  // no action: dropped
  if (!element.isObject()) InvalidCommand();
  std::string action = element.isMember("action") ? JsonText(element["action"]) : "none";
  std::string id = element.isMember("nid") ? JsonText(element["nid"]) : "";
  bool badId = HoldsNul(element["nid"]);
  const Json::Value& args = element["args"];
  if (!args.isNull() && !args.isObject()) InvalidCommand();

  Attributes arguments;
  bool tagsAsArray = Engine::Current().Flavor().tagsAsJsonArray;
  for (const std::string& rawName : args.getMemberNames()) {
    const Json::Value& member = args[rawName];
    std::string name = SanitizeUtf8(rawName);
    if ((name == keys::kPnid || name == keys::kBnid) && HoldsNul(member)) badId = true;
    if (IsJsonText(member) || !tagsAsArray) {
      arguments[name] = JsonText(member);  // the Mac reads every member as text
    } else if (name == keys::kTags) {
      arguments[name] = JoinTagElements(member);
    }
    // Any other member that is not text is left out.
  }

  if (action == "none") return nullptr;
  if (badId || !IsValidNodeId(id)) InvalidCommand();
  for (std::string_view key : {keys::kPnid, keys::kBnid}) {
    auto it = arguments.find(key);
    if (it != arguments.end() && !it->second.empty() && !IsValidNodeId(it->second))
      InvalidCommand();
  }
  return std::make_unique<Command>(std::move(action), std::move(id), std::move(arguments));
}

}  // namespace

namespace {

// Calls `each` with every element of an array, or every member of an
// object in key order.
template <typename Value, typename Each>
void ForEachElement(Value& value, Each&& each) {
  if (value.isArray()) {
    for (auto& element : value) each(element);
  } else if (value.isObject()) {
    for (const std::string& name : value.getMemberNames()) each(value[name]);
  }
}

}  // namespace

CommandSet::CommandSet(const Json::Value& value) {
  if (InfoOn()) LogInfo("Creating CommandSet from JSON value.");
  ForEachElement(value, [&](const Json::Value& element) {
    if (auto command = ReadCommand(element)) commands_.push_back(std::move(command));
  });
}

CommandSet::CommandSet(Json::Value&& value) {
  if (InfoOn()) LogInfo("Creating CommandSet from JSON value.");
  ForEachElement(value, [&](Json::Value& element) {
    if (auto command = ReadCommand(element)) commands_.push_back(std::move(command));
    element = Json::Value();
  });
  value = Json::Value();
}

// ---- The list ------------------------------------------------------------------

Command* CommandSet::GetAt(size_t index) const {
  return index < commands_.size() ? commands_[index].get() : nullptr;
}

CommandSet::List::iterator CommandSet::GetIteratorAt(size_t index) {
  return index < commands_.size() ? commands_.begin() + static_cast<std::ptrdiff_t>(index)
                                  : commands_.end();
}

void CommandSet::Append(std::unique_ptr<Command> command) {
  commands_.push_back(std::move(command));
}

void CommandSet::Insert(size_t index, std::unique_ptr<Command> command) {
  commands_.insert(GetIteratorAt(index), std::move(command));
}

std::unique_ptr<Command> CommandSet::Drop(size_t index) {
  if (index >= commands_.size()) return nullptr;
  auto it = GetIteratorAt(index);
  std::unique_ptr<Command> command = std::move(*it);
  commands_.erase(it);
  return command;
}

CommandSet::List CommandSet::ReleaseSet() {
  List released;
  released.swap(commands_);
  return released;
}

void CommandSet::FilterCommands(std::string_view action) {
  commands_.erase(std::remove_if(commands_.begin(), commands_.end(),
                                 [&](const auto& c) { return c->GetAction() == action; }),
                  commands_.end());
}

void CommandSet::CombinePrePost() {
  if (pre_) {
    List pre = pre_->ReleaseSet();
    // Each is put in front of the set in turn, so they end up reversed.
    std::reverse(pre.begin(), pre.end());
    commands_.insert(commands_.begin(), std::make_move_iterator(pre.begin()),
                     std::make_move_iterator(pre.end()));
    pre_.reset();
  }
  if (post_) {
    List post = post_->ReleaseSet();
    commands_.insert(commands_.end(), std::make_move_iterator(post.begin()),
                     std::make_move_iterator(post.end()));
    post_.reset();
  }
}

void CommandSet::DemoteMovesToReorders(NodeSet& set) {
  for (const auto& command : commands_) {
    if (command->GetAction() != actions::kMove) continue;
    Node* node = set.GetNode(command->GetID(), false, true, true, "commands");
    if (node && node->GetAttr(keys::kPnid) == command->GetArg(keys::kPnid)) {
      command->SetAction(std::string(actions::kReorder));
      command->DeleteArg(keys::kPnid);
    }
  }
}

void CommandSet::Execute(NodeSet& set) const {
  const size_t size = commands_.size();
  for (size_t i = 0; i < size; ++i) set.Execute(*commands_[i]);
}

Json::Value CommandSet::ToJSON() const {
  Json::Value out(Json::arrayValue);
  for (const auto& command : commands_) out.append(command->ToJSON());
  return out;
}

}  // namespace tarvex
