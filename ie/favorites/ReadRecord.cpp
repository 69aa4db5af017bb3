#include "ie/favorites/ReadRecord.h"

#include <optional>

#include "ie/foundation/IniFile.h"

namespace tarvex {

uint64_t SeenHash(std::string_view text) {
  // FNV-1a.
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::array<uint32_t, kSeenKeyCount> SeenValues(const IniFile& ini) {
  std::array<uint32_t, kSeenKeyCount> values{};
  for (size_t i = 0; i < kSeenKeyCount; ++i) {
    if (std::optional<std::string> value = ini.FindValue(kSeenKeys[i].section, kSeenKeys[i].key)) {
      const uint64_t hash = SeenHash(*value);
      // Never 0, which stands for an absent value.
      values[i] = static_cast<uint32_t>(hash ^ (hash >> 32)) | 1u;
    }
  }
  return values;
}

uint32_t ChangedValues(const std::array<uint32_t, kSeenKeyCount>& a,
                       const std::array<uint32_t, kSeenKeyCount>& b) {
  uint32_t changed = 0;
  for (size_t i = 0; i < kSeenKeyCount; ++i)
    if (a[i] != b[i]) changed |= 1u << i;
  return changed;
}

EntrySeen* ReadRecord::Find(std::string_view nid) {
  auto it = entries_.find(SeenHash(nid));
  return it == entries_.end() ? nullptr : &it->second;
}

ReadRecords& ReadRecords::Process() {
  static ReadRecords* shelf = new ReadRecords();
  return *shelf;
}

void ReadRecords::Put(const std::string& folder, std::shared_ptr<ReadRecord> record) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_[folder] = std::move(record);
}

std::shared_ptr<ReadRecord> ReadRecords::Take(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = records_.find(folder);
  if (it == records_.end()) return nullptr;
  std::shared_ptr<ReadRecord> record = std::move(it->second);
  records_.erase(it);
  return record;
}

void ReadRecords::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

}  // namespace tarvex
