#include "platform/mac/RecordStore.h"

#include "platform/mac/Json.h"
#include "platform/mac/System.h"
#include "text/Text.h"

namespace tarvex::mac {
namespace {

bool IsListOfText(const Value& value) {
  if (!value.IsArray()) return false;
  for (const Value& item : *value.AsArray())
    if (!item.IsString()) return false;
  return true;
}

// Gives the record's fields the platform's kinds; "" or what is wrong.
std::string Normalise(const std::string& identifier, Dict& record) {
  const auto fault = [&](const char* key, const char* want) {
    return Format("record \"%s\": \"%s\" is not %s", identifier, key, want);
  };
  if (auto it = record.find(kRecordEntityNameKey); it != record.end() && !it->second.IsString())
    return fault(kRecordEntityNameKey, "text");
  const bool bookmark = record.contains(kRecordEntityNameKey) &&
                        record.at(kRecordEntityNameKey).AsString() == kBookmarkEntity;
  if (auto it = record.find("url"); bookmark && it != record.end() && !it->second.IsUrl()) {
    std::optional<Url> url = it->second.IsString() ? Url::FromString(it->second.AsString()) : std::nullopt;
    if (!url) return fault("url", "an address");
    it->second = *url;
  }
  if (auto it = record.find("position"); it != record.end() && !it->second.IsInt())
    return fault("position", "an integer");
  if (auto it = record.find("is tab group"); it != record.end() && !it->second.IsBool())
    return fault("is tab group", "a boolean");
  for (const char* key : {"parent", "children"})
    if (auto it = record.find(key); it != record.end() && !IsListOfText(it->second))
      return fault(key, "a list of identifiers");
  return "";
}

std::string WriteRecords(const std::string& path, const std::map<std::string, DictRef>& records) {
  if (std::string error = EnsureFolder(FolderOf(path)); !error.empty()) return error;
  return WriteFileAtomically(path, RecordsToJSONText(records), 0600);
}

// The records of the file at `path`: none when it is missing.
std::optional<std::map<std::string, DictRef>> ReadRecords(const std::string& path, std::string* error) {
  bool missing = false;
  std::optional<std::string> text = ReadWholeFile(path, &missing, error);
  if (!text) {
    if (missing) return std::map<std::string, DictRef>{};
    return std::nullopt;
  }
  std::string why;
  auto records = RecordsFromJSONText(*text, &why);
  if (!records && error) *error = Format("%s: %s", path, why);
  return records;
}

}  // namespace

std::optional<std::map<std::string, DictRef>> RecordsFromJSONText(const std::string& text,
                                                                   std::string* error) {
  std::string why;
  std::optional<Value> document = FromJSONText(text);
  std::map<std::string, DictRef> out;
  if (!document || !document->IsDict() || !document->AsDict()->contains("records") ||
      !document->AsDict()->at("records").IsDict()) {
    why = "not a record store ({\"records\": {...}})";
  } else {
    for (const auto& [identifier, value] : *document->AsDict()->at("records").AsDict()) {
      if (identifier.empty()) {
        why = "a record without identifier";
        break;
      }
      if (!value.IsDict()) {
        why = Format("record \"%s\" is not a dictionary", identifier);
        break;
      }
      if (why = Normalise(identifier, *value.AsDict()); !why.empty()) break;
      out[identifier] = value.AsDict();
    }
  }
  if (why.empty()) return out;
  if (error) *error = why;
  return std::nullopt;
}

std::string RecordsToJSONText(const std::map<std::string, DictRef>& records) {
  auto all = NewDict();
  for (const auto& [identifier, record] : records) (*all)[identifier] = record;
  return ToJSONText(NewDict({{"records", all}}));
}

RecordStore::RecordStore(std::string path) : path_(std::move(path)) {}

std::string RecordStore::Load() {
  std::string error;
  auto records = ReadRecords(path_, &error);
  if (!records) return error;
  records_ = std::move(*records);
  return "";
}

std::string RecordStore::Push(const std::string& identifier, const DictRef& record) {
  if (identifier.empty()) return "RecordStore: a record needs an identifier";
  if (!record) return Format("RecordStore: no record given for \"%s\"", identifier);
  // Through the file's text and back: what is kept is exactly what a later
  // Load() reads, and a record the file cannot hold is refused here.
  std::string error;
  auto one = RecordsFromJSONText(RecordsToJSONText({{identifier, record}}), &error);
  if (!one) return error;
  auto next = records_;
  next[identifier] = one->at(identifier);
  if (error = WriteRecords(path_, next); !error.empty()) return error;
  records_ = std::move(next);
  return "";
}

std::string RecordStore::Delete(const std::string& identifier) {
  if (!records_.contains(identifier)) return "";
  auto next = records_;
  next.erase(identifier);
  if (std::string error = WriteRecords(path_, next); !error.empty()) return error;
  records_ = std::move(next);
  return "";
}

DictRef RecordStore::Record(const std::string& identifier) const {
  auto it = records_.find(identifier);
  return it == records_.end() ? nullptr : it->second;
}

std::string RecordStore::Snapshot(const std::string& snapshotPath) const {
  return WriteRecords(snapshotPath, records_);
}

std::optional<std::vector<SyncChange>> RecordStore::ChangesSince(const std::string& snapshotPath,
                                                                 std::string* error) const {
  auto before = ReadRecords(snapshotPath, error);
  if (!before) return std::nullopt;
  std::vector<SyncChange> changes;
  auto old = before->begin();
  for (const auto& [identifier, record] : records_) {
    for (; old != before->end() && old->first < identifier; ++old)
      changes.emplace_back(old->first, nullptr, SyncChange::Type::Delete);
    if (old != before->end() && old->first == identifier) {
      if (!(Value(old->second) == Value(record)))
        changes.emplace_back(identifier, DeepMutableCopy(record), SyncChange::Type::Modify);
      ++old;
    } else {
      changes.emplace_back(identifier, DeepMutableCopy(record), SyncChange::Type::Add);
    }
  }
  for (; old != before->end(); ++old) changes.emplace_back(old->first, nullptr, SyncChange::Type::Delete);
  return changes;
}

}  // namespace tarvex::mac
