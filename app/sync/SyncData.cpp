#include "app/sync/SyncData.h"

#include <algorithm>
#include <cctype>

#include "app/core/KestroveLogger.h"
#include "app/nodeset/KestroveBridge.h"
#include "platform/mac/Json.h"
#include "platform/mac/System.h"
#include "text/Text.h"

namespace tarvex {

using mac::Array;
using mac::ArrayRef;
using mac::Dict;
using mac::DictRef;
using mac::Value;

namespace {

constexpr const char* kExtraKeys[] = {"unid", "originaltype", "originalurl", "description", "shortcuturl"};

bool IsExtraKey(const std::string& key) {
  return std::find_if(std::begin(kExtraKeys), std::end(kExtraKeys),
                      [&](const char* extra) { return key == extra; }) != std::end(kExtraKeys);
}

// The text under `key`, or nothing when it is absent or no text.
const std::string* TextAt(const Dict& dict, const std::string& key) {
  auto it = dict.find(key);
  return it != dict.end() && it->second.IsString() ? &it->second.AsString() : nullptr;
}

// The node's "nid" when it is a text that is not empty.
const std::string* NidOf(const DictRef& node) {
  const std::string* nid = node ? TextAt(*node, "nid") : nullptr;
  return nid && !nid->empty() ? nid : nullptr;
}

bool OfEntity(const Value& value, const std::string& entity) {
  DictRef node = value.AsDict();
  const std::string* e = node ? TextAt(*node, mac::kRecordEntityNameKey) : nullptr;
  return e && *e == entity;
}

ArrayRef OfEntity(const Array& values, const std::string& entity) {
  auto out = mac::NewArray();
  for (const Value& value : values)
    if (OfEntity(value, entity)) out->push_back(value);
  return out;
}

// `text` made an address by escaping only what an address cannot hold: a
// "%" that starts no escape ("%s" becomes "%25s") and the bytes outside the
// address characters; escapes already there stay as they are. Unescaping
// everything first would turn an escaped "&" into a real one and, for an
// address that also holds a "%s", escape its escapes again on every trip.
std::string EscapeInvalid(const std::string& text) {
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const std::string one(1, text[i]);
    if (text[i] == '%' ? i + 2 < text.size() && hex(text[i + 1]) && hex(text[i + 2]) : mac::IsValidUrlText(one))
      out += one;
    else
      out += mac::EscapePercent(one);
  }
  return out;
}

}  // namespace

SyncData::SyncData(KestroveLogger* log, NodeIdSource newNodeId)
    : log_(log ? *log : KestroveLogger::instance()),
      newNodeId_(newNodeId ? std::move(newNodeId) : NodeIdSource(&SyncData::generateMozillaNodeID)) {}

// ---- Class methods ----

DictRef SyncData::transformObjectFromSyncService(const mac::SyncChange* change, KestroveLogger& log) {
  const DictRef record = change ? change->record() : nullptr;
  log.assertWithMessage(record != nullptr, "transformObjectFromSyncService change");
  if (!record) return nullptr;
  DictRef node = mac::DeepMutableCopy(record);
  if (auto it = node->find("position"); it != node->end()) {
    if (std::optional<std::string> text = mac::TextOf(it->second))
      it->second = *text;
    else
      node->erase(it);
  }
  const std::string* entity = TextAt(*node, mac::kRecordEntityNameKey);
  if (entity && *entity == mac::kFolderEntity) {
    const Value flag = node->contains("is tab group") ? node->at("is tab group") : Value();
    (*node)["is tab group"] = (flag.IsBool() ? flag.AsBool() : mac::IntValue(flag) != 0) ? "YES" : "NO";
    node->try_emplace("ntype", "folder");
    if (!node->contains("children") || !node->at("children").IsArray()) (*node)["children"] = mac::NewArray();
  } else if (entity && *entity == mac::kBookmarkEntity) {
    if (auto it = node->find("url"); it != node->end()) {
      if (std::optional<std::string> text = mac::TextOf(it->second))
        it->second = ReplaceAll(*text, "%25s", "%s");
      else
        node->erase(it);
    }
    node->try_emplace("ntype", "bookmark");
    const std::string* url = TextAt(*node, "url");
    if (url && url->starts_with("feed:") && !node->contains("originaltype")) (*node)["originaltype"] = "feed";
  } else {
    log.error("SyncData transformObjectFromSyncService unknown RecordEntityKey");
    return nullptr;
  }
  if (auto it = node->find("parent"); it != node->end()) {
    ArrayRef parents = it->second.AsArray();
    log.assertWithMessage(parents && parents->size() == 1, "([parents count] == 1)");
    if (parents && !parents->empty() && parents->back().IsString())
      it->second = parents->back();
    else
      node->erase(it);
  }
  pullAttrsJsonFromRecord(record, node, log);
  (*node)["nid"] = change->recordIdentifier();
  return node;
}

DictRef SyncData::transformObjectToSyncService(const DictRef& node, KestroveLogger& log) {
  log.assertWithMessage(node != nullptr, "transformObjectToSyncService record");
  if (!node) return nullptr;
  DictRef record = mac::NewDict();
  if (auto it = node->find(mac::kRecordEntityNameKey); it != node->end())
    (*record)[mac::kRecordEntityNameKey] = it->second;
  const std::string* name = TextAt(*node, "name");
  (*record)["name"] = name ? *name : " ";
  if (auto it = node->find("position"); it != node->end() && !it->second.IsNil())
    (*record)["position"] = mac::IntValue(it->second);
  const std::string* type = TextAt(*node, "ntype");
  if (type && *type == "folder") {
    ArrayRef children = node->contains("children") ? node->at("children").AsArray() : nullptr;
    (*record)["children"] = children ? mac::MutableCopy(children) : mac::NewArray();
    const std::string* tabGroup = TextAt(*node, "is tab group");
    (*record)["is tab group"] = tabGroup && *tabGroup == "YES";
  } else if (type && *type == "bookmark") {
    if (auto it = node->find("url"); it != node->end()) {
      const std::string text = mac::TextOf(it->second).value_or("");
      std::optional<mac::Url> url = mac::Url::FromString(text);
      if (!url) url = mac::Url::FromString(EscapeInvalid(text));
      log.assertWithMessage(url.has_value(), "transformObjectToSyncService url");
      if (url) (*record)["url"] = *url;
    }
  } else {
    log.error(Format("SyncData transformObjectToSyncService: Unable to deal with node type: %s",
                     type ? *type : std::string()));
    return nullptr;
  }
  // A root has no parent, and its record carries none (never a list
  // holding nothing).
  if (const std::string* parent = TextAt(*node, "parent")) (*record)["parent"] = mac::NewArray({*parent});
  if (auto it = node->find("nid"); it != node->end() && !it->second.IsNil()) (*record)["nid"] = it->second;
  pushAttrsJsonToRecord(record, node);
  return record;
}

void SyncData::pullAttrsJsonFromRecord(const DictRef& record, const DictRef& node, KestroveLogger& log) {
  if (!node) return;
  const Value attrs = record && record->contains("attrs") ? record->at("attrs") : Value();
  node->erase("attrs");
  if (attrs.IsNil() || (attrs.IsString() && attrs.AsString().empty())) return;
  std::optional<Value> decoded = attrs.IsString() ? mac::FromJSONText(attrs.AsString()) : std::nullopt;
  if (!decoded || !decoded->IsDict()) {
    log.error(Format("SyncData pullAttrsJsonFromRecord: attrs is not a JSON object: %s",
                     attrs.IsString() ? attrs.AsString() : objToJSON(attrs)));
    return;
  }
  for (const auto& [key, value] : *decoded->AsDict()) {
    if (IsExtraKey(key) && value.IsString())
      (*node)[key] = value;
    else
      log.error(Format("SyncData pullAttrsJsonFromRecord: ignored attribute %s", key));
  }
}

void SyncData::pushAttrsJsonToRecord(const DictRef& record, const DictRef& node) {
  if (!record) return;
  auto extras = mac::NewDict();
  if (node)
    for (const char* key : kExtraKeys)
      if (auto it = node->find(key); it != node->end() && !it->second.IsNil()) (*extras)[key] = it->second;
  (*record)["attrs"] = objToJSON(extras);
}

std::string SyncData::generateAppleID() { return mac::NewUUIDString(); }

std::string SyncData::generateMozillaNodeID() { return KestroveBridge::GenerateNodeID(); }

std::string SyncData::objToJSON(const Value& value) {
  std::string text = mac::ToJSONText(value);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// ---- Construction ----

SyncData& SyncData::init() {
  nodes_ = mac::NewDict();
  queueAppleIDtoNid_ = mac::NewDict();
  metadata_ = mac::NewDict();
  queueDeletedRecords_ = mac::NewArray();
  queueAddedOrChangedRecords_ = mac::NewArray();
  dirty_ = false;
  return *this;
}

SyncData& SyncData::initWithSyncData(const SyncData& other) {
  init();
  nodes_ = mac::DeepMutableCopy(other.nodes_);
  metadata_ = mac::DeepMutableCopy(other.metadata_);
  queueAppleIDtoNid_ = mac::DeepMutableCopy(other.queueAppleIDtoNid_);
  return *this;
}

// ---- The store ----

DictRef SyncData::getNodeWithID(const std::string& identifier) const {
  auto it = nodes_->find(identifier);
  return it == nodes_->end() ? nullptr : it->second.AsDict();
}

bool SyncData::addOrChangeRecord(const DictRef& record, const std::string& identifier) {
  log_.assertWithMessage(record != nullptr, "addOrChangeRecord obj");
  if (!record) return false;
  DictRef stored = getNodeWithID(identifier);
  DictRef node = stored ? mac::MutableCopy(stored) : mac::NewDict();
  for (const auto& [key, value] : *record) {
    log_.assertWithMessage(!value.IsNil(), "addOrChangeRecord obj");
    if (!value.IsNil()) (*node)[key] = value;
  }
  if (!NidOf(node)) {
    const std::string* queued = TextAt(*queueAppleIDtoNid_, identifier);
    const std::string* name = TextAt(*node, "name");
    if (queued && !queued->empty())
      (*node)["nid"] = *queued;
    else if (name && *name == "BookmarksMenu" && !node->contains("parent"))
      (*node)["nid"] = "ROOT";
    else
      (*node)["nid"] = newNodeId_();
  }
  if (!node->contains("name")) (*node)["name"] = " ";
  (*nodes_)[identifier] = node;
  markDirty();
  return true;
}

bool SyncData::addRecord(const DictRef& record, const std::string& identifier) {
  if (nodes_->contains(identifier)) {
    log_.error(Format("SyncData addRecord already exists %s", identifier));
    return false;
  }
  return addOrChangeRecord(record, identifier);
}

bool SyncData::changeRecord(const DictRef& record, const std::string& identifier) {
  log_.assertWithMessage(record != nullptr, "changeRecord record");
  if (!record) return false;
  if (!nodes_->contains(identifier)) {
    log_.error(Format("SyncData changeRecord; record %s does not exist", identifier));
    return false;
  }
  return addOrChangeRecord(record, identifier);
}

bool SyncData::removeRecordWithIdentifier(const std::string& identifier) {
  if (!nodes_->erase(identifier)) return false;
  markDirty();
  return true;
}

bool SyncData::removeAllRecords() {
  nodes_->clear();
  markDirty();
  return true;
}

// ---- Queues ----

bool SyncData::enqueueAddOrChange(const DictRef& node) {
  const std::string* nid = NidOf(node);
  log_.assertWithMessage(nid != nullptr, "enqueueAddOrChange identifier");
  if (!nid) return false;
  const std::string identifier = *nid;
  DictRef copy = mac::MutableCopy(node);
  queueAddedOrChangedRecords_->push_back(copy);
  return addOrChangeRecord(copy, identifier);
}

bool SyncData::enqueueAddOrChanges(const ArrayRef& nodes) {
  bool all = true;
  if (nodes)
    for (const Value& node : Array(*nodes)) all = enqueueAddOrChange(node.AsDict()) && all;
  return all;
}

bool SyncData::enqueueDeleteNid(const std::string& identifier) {
  auto it = nodes_->find(identifier);
  if (it == nodes_->end()) {
    log_.error(Format("SyncData enqueueDeleteNid: unable to find %s", identifier));
    return false;
  }
  queueDeletedRecords_->push_back(it->second);
  nodes_->erase(it);
  markDirty();
  return true;
}

bool SyncData::applySyncChange(const DictRef& node) {
  const std::string* nid = NidOf(node);
  log_.assertWithMessage(nid != nullptr, "enqueueAddOrChange identifier");
  if (!nid) return false;
  addRecord(node, *nid);
  return enqueueAddOrChange(node);
}

bool SyncData::applySyncDelete(const std::string& identifier) { return removeRecordWithIdentifier(identifier); }

bool SyncData::applySyncDeleteAllForEntityName(const std::string& entity) {
  std::vector<std::string> identifiers;
  for (const auto& [identifier, node] : *nodes_)
    if (OfEntity(node, entity)) identifiers.push_back(identifier);
  bool all = true;
  for (const std::string& identifier : identifiers) all = removeRecordWithIdentifier(identifier) && all;
  return all;
}

// ---- Filters ----

ArrayRef SyncData::objectsForEntityName(const std::string& entity) const {
  auto out = mac::NewArray();
  for (const auto& [identifier, node] : *nodes_)
    if (OfEntity(node, entity)) out->push_back(node);
  return out;
}

ArrayRef SyncData::objectsInArray(const ArrayRef& nodes, const std::string& entity) {
  return nodes ? OfEntity(*nodes, entity) : mac::NewArray();
}

ArrayRef SyncData::changedObjectsForEntityName(const std::string& entity) const {
  return OfEntity(*queueAddedOrChangedRecords_, entity);
}

ArrayRef SyncData::deletedObjectsForEntityName(const std::string& entity) const {
  return OfEntity(*queueDeletedRecords_, entity);
}

// ---- Metadata and state ----

void SyncData::setMetadataValue(const Value& value, const std::string& key) {
  if (value.IsNil())
    metadata_->erase(key);
  else
    (*metadata_)[key] = value;
}

void SyncData::setMetadata(const DictRef& metadata) {
  Dict entries = metadata ? *metadata : Dict();
  *metadata_ = std::move(entries);
}

void SyncData::clearQueuedChanges() {
  queueDeletedRecords_->clear();
  queueAddedOrChangedRecords_->clear();
  queueAppleIDtoNid_->clear();
  dirty_ = false;
}

bool SyncData::reset() {
  nodes_->clear();
  metadata_->clear();
  queueDeletedRecords_->clear();
  queueAddedOrChangedRecords_->clear();
  dirty_ = false;
  return true;
}

void SyncData::sortAndCleanChildren() {
  for (const auto& [identifier, value] : *nodes_) {
    DictRef node = value.AsDict();
    ArrayRef children = node && node->contains("children") ? node->at("children").AsArray() : nullptr;
    if (!children) continue;
    Array kept;
    for (const Value& child : *children) {
      if (child.IsString() && getNodeWithID(child.AsString()))
        kept.push_back(child);
      else
        log_.info(Format("SyncData sortAndCleanChildren: removed missing child %s",
                         mac::TextOf(child).value_or(objToJSON(child))));
    }
    const auto position = [this](const Value& child) {
      DictRef node = getNodeWithID(child.AsString());
      return node->contains("position") ? mac::IntValue(node->at("position")) : 0;
    };
    std::stable_sort(kept.begin(), kept.end(),
                     [&](const Value& a, const Value& b) { return position(a) < position(b); });
    *children = std::move(kept);
  }
}

}  // namespace tarvex
