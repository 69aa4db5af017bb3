// What a read of the Favorites saw, kept for the next write of the same
// folder. The sync reads the Favorites, talks to the service and then writes
// back the tree it built from that read; whatever the user (or the browser)
// changed in between must survive that write. Against this record the
// writer tells an entry the user renamed, moved, gave another address,
// deleted or made since the read, and leaves it as the user made it; the
// next sync then finds the change and sends it.
//
// The read and the write are separate datasource objects, so the record is
// left on a shelf by the folder's path: each read puts its own there, the
// next write of the folder takes it. A write without one (none read this
// folder in this process, or its record was taken) writes as if nobody had
// changed anything.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarvex {

class IniFile;

// The keys of an entry's file the tree is made of, in this order.
struct SeenKey {
  std::string_view section, key;
};
inline constexpr SeenKey kSeenKeys[] = {
    {"Tarvex", "ntype"}, {"InternetShortcut", "URL"},  {"Tarvex", "feedurl"},
    {"Tarvex", "tags"},  {"MonitoredItem", "FeedUrl"},
};
inline constexpr size_t kSeenKeyCount = std::size(kSeenKeys);

// One entry as the read found it, by hashes (a 64-bit hash of a text, and
// 32 bits for each value of its file; 0 for a value that is absent).
struct EntrySeen {
  uint64_t parent = 0;  // the id of the folder that holds it on disk
  uint64_t name = 0;    // its file or folder name as found, extension included
  std::array<uint32_t, kSeenKeyCount> values{};

  bool operator==(const EntrySeen&) const = default;
};

uint64_t SeenHash(std::string_view text);
// The values of kSeenKeys in an open file.
std::array<uint32_t, kSeenKeyCount> SeenValues(const IniFile& ini);
// A bit for each value that differs.
uint32_t ChangedValues(const std::array<uint32_t, kSeenKeyCount>& a,
                       const std::array<uint32_t, kSeenKeyCount>& b);

// What the read saw of each entry, by node id (kept by the id's hash: a
// tree of 100,000 favourites takes a few megabytes).
class ReadRecord {
 public:
  // Null when the read saw no entry of `nid`.
  EntrySeen* Find(std::string_view nid);
  // Made when missing.
  EntrySeen& At(std::string_view nid) { return entries_[SeenHash(nid)]; }
  void Erase(std::string_view nid) { entries_.erase(SeenHash(nid)); }
  size_t Size() const { return entries_.size(); }

 private:
  std::unordered_map<uint64_t, EntrySeen> entries_;
};

// Where reads leave their record for the next write of the same folder.
// Safe from several threads.
class ReadRecords {
 public:
  // The process-wide shelf.
  static ReadRecords& Process();

  // Leaves `record` for `folder`, in place of one left before.
  void Put(const std::string& folder, std::shared_ptr<ReadRecord> record);
  // The record left for `folder`, which is no longer there; null when none.
  std::shared_ptr<ReadRecord> Take(const std::string& folder);
  // Forgets every record: the writes to come follow no read made so far.
  void Clear();

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<ReadRecord>> records_;
};

}  // namespace tarvex
