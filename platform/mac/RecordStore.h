// Safari's bookmarks as the system's sync service hands them out: records
// of the bookmark schema (entity "com.apple.bookmarks.Bookmark" or
// "com.apple.bookmarks.Folder") kept by record identifier, and the changes
// made to them, each with its record and record identifier.
//
// RecordStore keeps its records in a JSON file of its own,
// {"records": {identifier: record}}, replaced atomically on every change.
// In memory a record holds the platform's kinds: a bookmark's "url" is an
// address, "position" an integer, "is tab group" a boolean, "parent" and
// "children" lists of identifiers. The changes since a snapshot (a copy of
// the records in a second file) are what a sync session pulls.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/mac/Value.h"

namespace tarvex::mac {

inline constexpr char kRecordEntityNameKey[] = "com.apple.syncservices.RecordEntityName";
inline constexpr char kBookmarkEntity[] = "com.apple.bookmarks.Bookmark";
inline constexpr char kFolderEntity[] = "com.apple.bookmarks.Folder";

class SyncChange {
 public:
  enum class Type { Add, Modify, Delete };

  SyncChange(std::string recordIdentifier, DictRef record, Type type = Type::Add)
      : recordIdentifier_(std::move(recordIdentifier)), record_(std::move(record)), type_(type) {}

  const std::string& recordIdentifier() const { return recordIdentifier_; }
  // The record as it is now; null for a deletion.
  const DictRef& record() const { return record_; }
  Type type() const { return type_; }

 private:
  std::string recordIdentifier_;
  DictRef record_;
  Type type_;
};

class RecordStore {
 public:
  // A store on `path`, empty until Load().
  explicit RecordStore(std::string path);

  // Reads the file; a missing file is an empty store. Answers "" or the
  // error, naming the file and the record at fault; on error the store
  // keeps what it held.
  std::string Load();

  // Stores (or replaces) the record under `identifier` and writes the file.
  // Answers "" or the error; on error neither the store nor the file
  // changes.
  std::string Push(const std::string& identifier, const DictRef& record);
  // Removes the record and writes the file; removing an unknown identifier
  // is no error and writes nothing.
  std::string Delete(const std::string& identifier);

  // The record under `identifier` (the store's own), or null.
  DictRef Record(const std::string& identifier) const;
  // Every record, by identifier (the store's own records).
  const std::map<std::string, DictRef>& Records() const { return records_; }

  // Writes the current records to `snapshotPath`.
  std::string Snapshot(const std::string& snapshotPath) const;
  // What changed since the snapshot in `snapshotPath` (a missing snapshot
  // holds nothing): an Add for each new identifier, a Modify for each
  // record that differs, a Delete for each one gone; in identifier order.
  // Each change holds a deep copy of its record. nullopt with `error` set
  // when the snapshot cannot be read.
  std::optional<std::vector<SyncChange>> ChangesSince(const std::string& snapshotPath,
                                                      std::string* error) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::map<std::string, DictRef> records_;
};

// The records of a store file's text; nullopt with `error` set (naming the
// record at fault) when it is not one.
std::optional<std::map<std::string, DictRef>> RecordsFromJSONText(const std::string& text,
                                                                   std::string* error);
// The store file's text of `records`.
std::string RecordsToJSONText(const std::map<std::string, DictRef>& records);

}  // namespace tarvex::mac
