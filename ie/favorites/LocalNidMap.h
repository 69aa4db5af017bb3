// What the Favorites writer found on disk before it writes: one entry per
// favorite or folder, by node id, and the list of entries nobody claimed yet.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvex {

struct LocalFileEntry {
  std::string name;  // the file or folder name without its extension
  std::string nid;   // "" when the entry carries no id (it is never claimed or deleted)
  LocalFileEntry* parent = nullptr;
  std::vector<LocalFileEntry*> children;
  std::string shortName;      // the 8.3 name; this platform has none
  std::string ext;            // ".url" in the case found on disk, "" for a folder
  std::string localizedName;  // the Links folder's display name resource, else ""
  bool isFolder = false;
  bool claimed = false;  // written by this pass (or the root)
  // The id was not stored in the file but made from its path.
  bool hashedId = false;
  // Found on disk by the scan (not made by this pass).
  bool fromDisk = false;
  // What the user changed since the read the write follows (see
  // ReadRecord.h): the whole entry (made since, with an id the read did not
  // see), the folder it is in, its name, values of its file (a bit for each
  // of kSeenKeys). Only what the user did not change is written.
  bool appeared = false;
  bool userPlace = false;
  bool userName = false;
  uint32_t userValues = 0;
  // Left as it is by this pass: claimed, never moved, written or deleted.
  bool left = false;

  bool PlacedByUser() const { return appeared || userPlace || userName; }
  bool UserChanged() const { return PlacedByUser() || userValues != 0; }

  // The entry's path below `favoritesDir`, with the extension.
  std::string FullPath(std::string_view favoritesDir) const;
  int Depth() const;
  void Detach();
  void AttachTo(LocalFileEntry& newParent);
};

class LocalNidMap {
 public:
  LocalNidMap();
  LocalFileEntry& Root() { return *root_; }
  // The entry of `nid`, or nullptr.
  LocalFileEntry* Find(std::string_view nid);
  // Adds an entry below `parent`. One with an id not yet taken goes into
  // the map; `found` puts it on the list of entries to delete unless claimed.
  LocalFileEntry& Add(std::unique_ptr<LocalFileEntry> entry, LocalFileEntry& parent, bool found);
  // Takes the entry of `nid` out of the map (it stays on the found list).
  void Forget(std::string_view nid);
  const std::vector<LocalFileEntry*>& Found() const { return found_; }

 private:
  std::vector<std::unique_ptr<LocalFileEntry>> storage_;
  std::unordered_map<std::string, LocalFileEntry*> byId_;
  std::vector<LocalFileEntry*> found_;
  LocalFileEntry* root_;
};

}  // namespace tarvex
