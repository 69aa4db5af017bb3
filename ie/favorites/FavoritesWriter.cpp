// Writing a tree to the Favorites folder.
//
// Rules that keep the user's bookmarks safe:
// - A new node never takes over an existing file or folder: it gets a free
//   name ("Foo__1.url" next to "Foo.url"). The "__1" is not a rename: titles
//   are compared without it, and the title is kept in the file.
// - Only entries this pass found with an id of theirs are ever deleted, and
//   only when the tree no longer holds that id. Entries without an id (a
//   favorite saved while the sync ran) and the later entries of a duplicated
//   id are left alone. Deletes run deepest first, after every create and
//   move, and a folder that still holds anything that is not ours is kept.
// - A file whose name cannot carry the node's title (characters a file
//   name cannot hold, a long title, a name taken by another entry) keeps the
//   title in [Tarvex] original_name; the toolbar folder, which lives at the
//   Links folder's place whatever its place in the tree, keeps that place in
//   original_pnid and original_bnid. The reader restores all three, so a
//   tree written and read back is the same tree.
// - The kind on disk wins: a node that changed between folder and favorite
//   gets a new entry and its old one is deleted like any unclaimed entry.
// - Nothing is followed through a link; only names nobody holds are used.
// - A write that follows a read of the folder (ReadRecord.h) leaves what the
//   user changed since: a place or a name the user gave an entry stays, a
//   value of its file the user changed stays (the others are written), an
//   entry made since with an id the read did not see is left whole, a node
//   the user deleted is not made again (nor anything below it), and a folder
//   the tree deleted but the user changed stays with all it holds. Each
//   value is looked at again when its file is rewritten or deleted.
#include <algorithm>
#include <array>
#include <memory>
#include <unordered_set>
#include <vector>

#include "ie/favorites/FavoritesReader.h"
#include "ie/foundation/Helpers.h"
#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/WindowsFacts.h"
#include "text/Text.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "platform/Win32Error.h"

namespace tarvex {

namespace {

constexpr std::string_view kSection = kTarvexSection;
// What a node keeps in memory after a pass: what its file holds.
constexpr std::string_view kKeptAttributes[] = {"name", "pnid", "ntype", "url", "feedurl", "tags"};

bool IsGone(uint32_t err) {
  return err == win32::ERROR_FILE_NOT_FOUND || err == win32::ERROR_PATH_NOT_FOUND;
}

bool IsReservedDeviceName(std::string_view base) {
  static constexpr std::string_view kNames[] = {"CON", "PRN", "AUX", "NUL"};
  for (std::string_view n : kNames)
    if (EqualsIgnoreAsciiCase(base, n)) return true;
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9' &&
      (EqualsIgnoreAsciiCase(base.substr(0, 3), "COM") ||
       EqualsIgnoreAsciiCase(base.substr(0, 3), "LPT")))
    return true;
  return false;
}

}  // namespace

// ---- LocalNidMap --------------------------------------------------------------------------

std::string LocalFileEntry::FullPath(std::string_view favoritesDir) const {
  if (!parent) return std::string(favoritesDir);
  return JoinPath(parent->FullPath(favoritesDir), name + ext);
}

int LocalFileEntry::Depth() const {
  int depth = 0;
  for (const LocalFileEntry* e = parent; e; e = e->parent) ++depth;
  return depth;
}

void LocalFileEntry::Detach() {
  if (!parent) return;
  auto& list = parent->children;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  parent = nullptr;
}

void LocalFileEntry::AttachTo(LocalFileEntry& newParent) {
  Detach();
  parent = &newParent;
  newParent.children.push_back(this);
}

LocalNidMap::LocalNidMap() {
  auto root = std::make_unique<LocalFileEntry>();
  root->nid = std::string(keys::kRoot);
  root->isFolder = true;
  root->claimed = true;
  root_ = root.get();
  byId_[root->nid] = root_;
  storage_.push_back(std::move(root));
}

LocalFileEntry* LocalNidMap::Find(std::string_view nid) {
  auto it = byId_.find(std::string(nid));
  return it == byId_.end() ? nullptr : it->second;
}

LocalFileEntry& LocalNidMap::Add(std::unique_ptr<LocalFileEntry> entry, LocalFileEntry& parent,
                                 bool found) {
  LocalFileEntry& e = *entry;
  storage_.push_back(std::move(entry));
  e.AttachTo(parent);
  if (!e.nid.empty() && byId_.emplace(e.nid, &e).second && found) found_.push_back(&e);
  return e;
}

void LocalNidMap::Forget(std::string_view nid) {
  auto it = byId_.find(std::string(nid));
  if (it != byId_.end()) byId_.erase(it);
}

// ---- Names --------------------------------------------------------------------------------

std::string StoreFileName(std::string_view title, std::string_view ntype, const OsFacts& facts) {
  std::string name = MakeSafeFileName(title, ntype, FillerCharacter(facts));
  const size_t dot = name.find('.');
  const std::string_view base = std::string_view(name).substr(0, dot);
  if (IsReservedDeviceName(Trim(base))) {
    const size_t cut = dot == std::string::npos ? name.size() : dot;
    name = Format("%s_%s", name.substr(0, cut), name.substr(cut));
  }
  return name;
}

bool FileNameFits(std::string_view fileName, std::string_view storeName, const OsFacts& facts) {
  if (StripUniqueSuffix(fileName) == storeName) return true;
  const std::string trimmed = TrimTitle(storeName, facts);
  return !trimmed.empty() && TrimTitle(fileName, facts) == trimmed;
}

bool FavoritesDatasource::NameHeldByAnother(const std::string& path,
                                            const LocalFileEntry* self) const {
  auto it = folderNames_.find(AsciiLower(path));
  return it != folderNames_.end() && it->second != self;
}

void FavoritesDatasource::HoldName(LocalFileEntry& entry) {
  if (entry.isFolder) folderNames_[AsciiLower(entry.FullPath(favoritesDir_))] = &entry;
}

std::string FavoritesDatasource::MakeUniqueFileName(const std::string& folder,
                                                    std::string_view name, std::string_view ext,
                                                    const LocalFileEntry* self) {
  std::string candidate = TrimTitle(name, env_.facts);
  if (candidate.empty()) candidate = std::string(name);  // a placeholder title
  auto taken = [&](const std::string& n) {
    // A folder's own files are never a name for an entry.
    if (ext.empty() &&
        (EqualsIgnoreAsciiCase(n, kFolderFileName) || EqualsIgnoreAsciiCase(n, kDesktopIni)))
      return true;
    const std::string path = JoinPath(folder, n + std::string(ext));
    if (ext.empty() && NameHeldByAnother(path, self)) return true;
    return env_.probe(path).kind != EntryKind::Missing;
  };
  if (!taken(candidate)) return candidate;
  const std::string base = StripUniqueSuffix(candidate);
  int& next = nextSuffix_[folder + '/' + base + '\n' + std::string(ext)];
  if (next < 1) next = 1;
  do {
    candidate = base + Format("__%d", next++);
  } while (taken(candidate));
  return candidate;
}

std::string FavoritesDatasource::UserDir() const {
  return env_.userDir.empty() ? GetUserDir({}, &env_.settings) : env_.userDir;
}

std::string FavoritesDatasource::LinksName() {
  std::string name = env_.settings.GetValue("linksfoldername", "Links");
  // Only a plain name of this folder can be the Links folder.
  if (name == "." || name == ".." || name.find('/') != std::string::npos || !IsValidUtf8Name(name))
    return {};
  return name;
}

bool FavoritesDatasource::UsesLocalizedLinks() {
  const std::string& ie = env_.platform.ieversion;
  return env_.platform.IsVistaOrLater() || (!ie.empty() && (ie[0] == '8' || ie[0] == '9'));
}

// ---- The limits of the Favorites ----------------------------------------------------------

namespace {

// Room in a file for what the tree's values do not account for: the section
// headers, the id and kind, the favicon link and the keys others keep there.
constexpr uint64_t kFileReserveBytes = 16 * 1024;

// The bytes a value takes in a file: up to its first line break.
size_t StoredBytes(std::string_view value) {
  return std::min(value.size(), value.find_first_of(std::string_view("\r\n\0", 3)));
}

// The bytes an INI file takes when written (the layout of IniFile::Close).
uint64_t IniBytes(const IniFile& ini) {
  uint64_t bytes = 0;
  for (const auto& [section, keys] : ini.sections()) {
    if (!section.empty()) bytes += section.size() + 4;  // "[name]\r\n"
    for (const auto& [key, value] : keys) bytes += key.size() + value.size() + 3;
  }
  return bytes;
}

}  // namespace

void FavoritesDatasource::CheckTreeFits(NodeSet& set, LocalNidMap& map) {
  struct Folder {
    std::string id;
    int depth;         // folders below the Favorites folder, itself counted
    size_t pathBytes;  // its path's
  };
  auto refuse = [&](Node& node, const std::string& what) {
    const std::string message = Format(
        "The tree does not fit the Favorites, nothing was written: %s \"%s\" [%s] %s",
        node.IsFolder() ? "folder" : "favorite", node.GetAttr(keys::kName), node.GetID(), what);
    env_.logger.Error(message);
    throw VelkException("internal", kErrGeneral, message);
  };
  const size_t folderFileBytes = AtomicWriteNameBytes(kFolderFileName.size());

  std::vector<Folder> work{{std::string(keys::kRoot), 0, favoritesDir_.size()}};
  while (!work.empty()) {
    const Folder folder = std::move(work.back());
    work.pop_back();
    const std::vector<std::string>& children =
        set.GetNode(folder.id, false, false, true, "native28")->RawChildren();
    // A new name gets a "__N" when a sibling holds it: room for as many as
    // the folder can hold.
    const LocalFileEntry* onDisk = map.Find(folder.id);
    const size_t suffixBytes =
        2 + std::to_string(children.size() + (onDisk ? onDisk->children.size() : 0) + 1).size();
    for (size_t i = 0; i < children.size(); ++i) {
      Node& node = *set.GetNode(children[i], false, false, true, "native28");
      const bool isFolder = node.IsFolder();
      const std::string file =
          StoreFileName(node.GetAttr(keys::kName), node.GetAttr(keys::kNtype), env_.facts);
      if (!IsValidUtf8Name(file))
        refuse(node, "has a name that is not valid UTF-8, which the Favorites cannot read back");

      // Its name on disk when it keeps it, else a new one.
      size_t nameBytes = file.size() + suffixBytes;
      if (const LocalFileEntry* entry = map.Find(node.GetID());
          entry && entry->isFolder == isFolder && entry->parent == onDisk && onDisk &&
          FileNameFits(entry->name, file, env_.facts))
        nameBytes = entry->name.size();
      if (!isFolder) nameBytes += kUrlExtension.size();
      const size_t pathBytes = folder.pathBytes + 1 + nameBytes;

      size_t longest = 0;  // the longest path written for it
      if (isFolder) {
        const int depth = folder.depth + 1;
        if (depth > FavoritesLimits::kMaxDepth)
          refuse(node, Format("would lie %d folders deep; the Favorites can be read at most %d "
                              "folders deep",
                              depth, FavoritesLimits::kMaxDepth));
        longest = pathBytes + kSetAsidePrefix.size() + 1 + folderFileBytes;
        work.push_back({node.GetID(), depth, pathBytes});
      } else {
        longest = folder.pathBytes + 1 + AtomicWriteNameBytes(nameBytes);
      }
      if (longest > FavoritesLimits::kMaxPathBytes)
        refuse(node, Format("would need paths of up to %d bytes; the Favorites can hold paths of "
                            "at most %d bytes",
                            longest, FavoritesLimits::kMaxPathBytes));

      // Its file: the values it stores, with room for the rest.
      uint64_t fileBytes = kFileReserveBytes + StoredBytes(node.GetID()) +
                           StoredBytes(node.GetAttr(keys::kName)) +
                           StoredBytes(node.GetAttr(keys::kPnid));
      if (i + 1 < children.size()) fileBytes += StoredBytes(children[i + 1]);
      for (const MappedKey& m : kMappedKeys)
        if (m.attribute != keys::kNtype)
          fileBytes += m.key.size() + StoredBytes(node.GetAttr(m.attribute));
      fileBytes += StoredBytes(node.GetAttr("feedurl"));  // the browser's feed mark
      if (fileBytes > FavoritesLimits::kMaxFileBytes)
        refuse(node, Format("would need a file of about %llu bytes; the Favorites can read files "
                            "of at most %llu bytes",
                            fileBytes, FavoritesLimits::kMaxFileBytes));
    }
  }
}

// ---- Writing ------------------------------------------------------------------------------

void FavoritesDatasource::WriteNodeSet(NodeSet& set) {
  env_.logger.Log("Writing NodeSet to native datasource");
  Node& root = *set.GetNode(keys::kRoot, false, false, true, "native25");

  // The toolbar folder: a folder below the root, else none.
  toolbarId_.clear();
  const std::string tnid = root.GetAttr(keys::kTnid);
  if (!tnid.empty() && tnid != keys::kRoot) {
    Node* toolbar = set.GetNode(tnid, false, true, true);
    if (toolbar && toolbar->IsFolder())
      toolbarId_ = tnid;
    else
      env_.logger.Log(Format("Toolbar folder [%s] is not a folder of the tree, not mapped", tnid));
  }

  // The record of the read this write follows; a retry by the same writer
  // keeps the one it took.
  if (!record_ && env_.records) record_ = env_.records->Take(favoritesDir_);
  LocalNidMap map;
  folderNames_.clear();
  strayFiles_.clear();
  setAside_.clear();
  BuildLocalNidMap(map);
  // Nothing is changed before the whole tree is known to fit.
  CheckTreeFits(set, map);
  BackupFavorites();
  for (const std::string& stray : strayFiles_) {
    // A stray folder file of ours.
    if (uint32_t err = env_.fs.DeleteFile(stray))
      env_.logger.Error(Format("Error [%d] deleting hidden file: %s", err, stray));
  }
  strayFiles_.clear();
  written_.clear();
  WriteChildren(set, std::string(keys::kRoot), map);
  DeleteUnclaimedEntries(map);
  MapToolbarToLinks(set, map);

  MenuOrderContext context(env_.registry, env_.platform,
                           env_.orderDraw ? env_.orderDraw : DefaultOrderDraw());
  context.tnid = toolbarId_;
  context.potentialLinksName = env_.settings.GetValue("potentialreallinksfolername", "Links");
  context.logger = &env_.logger;
  context.logLevel = env_.settings.GetInt("loglevel", 2);
  context.diskEntry = [&map](const Node& node) -> std::optional<OrderDiskEntry> {
    LocalFileEntry* entry = map.Find(node.GetID());
    if (!entry || !entry->claimed || !entry->parent ||
        entry->parent->nid != node.GetAttr(keys::kPnid))
      return std::nullopt;
    return OrderDiskEntry{entry->name, entry->shortName, entry->localizedName};
  };
  context.extraChildren = [&map, &set](const Node& folder) {
    // Entries that sit in this folder on disk but elsewhere in the tree (the
    // toolbar folder at the Links folder's place).
    std::vector<std::pair<std::string, OrderDiskEntry>> extra;
    LocalFileEntry* entry = map.Find(folder.GetID());
    if (!entry) return extra;
    for (LocalFileEntry* child : entry->children) {
      if (!child->claimed || child->nid.empty()) continue;
      Node* node = set.GetNode(child->nid, false, true, true);
      if (node && node->GetAttr(keys::kPnid) != folder.GetID())
        extra.emplace_back(child->nid,
                           OrderDiskEntry{child->name, child->shortName, child->localizedName});
    }
    return extra;
  };
  try {
    // One transaction for every folder's order: the registry takes them
    // together at the cost of one.
    const uint32_t err = env_.registry.Transaction(Hive::CurrentUser, [&] {
      WriteOrder(set, std::string(keys::kRoot), std::string(kMenuOrderKey), context);
      return 0u;
    });
    if (err != 0)
      throw VelkException("windows", static_cast<int32_t>(err), "Unable to write the menu order");
  } catch (const VelkException& e) {
    env_.logger.Error(e.what());
    WarnOrderWriteFailed();
  }

  NotifyShell(set);
  CleanRootAttrs(*set.GetNode(keys::kRoot, true, false, true, "native25"));

  // The whole pass succeeded: the nodes keep what their files hold. (Done
  // last, so a pass that fails leaves the tree as it was for a retry.)
  for (const std::string& id : written_) {
    Node* node = set.GetNode(id, true, true, true);
    if (!node) continue;
    std::vector<std::string> drop;
    for (const auto& [key, value] : node->Attrs()) {
      if (std::find(std::begin(kKeptAttributes), std::end(kKeptAttributes), key) ==
          std::end(kKeptAttributes))
        drop.push_back(key);
    }
    for (const std::string& key : drop) node->RemoveAttr(key);
  }
  written_.clear();
}

void FavoritesDatasource::MakeDurable() {
  for (const std::string& folder : {favoritesDir_, env_.icons.StoreDir(), UserDir()}) {
    if (folder.empty()) continue;
    const uint32_t err = env_.fs.SyncFileSystem(folder);
    if (err == win32::ERROR_FILE_NOT_FOUND || err == win32::ERROR_PATH_NOT_FOUND) continue;
    if (err != 0)
      FailOn(folder, err,
             Format("Error [%d] making the files written to the Favorites durable: %s",
                    static_cast<int>(err), folder));
  }
}

void FavoritesDatasource::BackupFavorites() {
  if (env_.settings.GetBool("backedup", false)) return;
  const std::string userDir = UserDir();
  std::string dest = userDir.empty() ? std::string() : JoinPath(userDir, "Backup");
  // An earlier backup is never overwritten.
  for (int counter = 1; !dest.empty() && env_.probe(dest).kind != EntryKind::Missing; ++counter)
    dest = JoinPath(userDir, Format("Backup__%d", counter));
  env_.logger.Log(Format("Writing Favorites to backup dir: %s", dest));

  std::string failedPath = userDir;
  uint32_t err =
      dest.empty() ? win32::ERROR_PATH_NOT_FOUND : env_.fs.CreateDirectories(userDir, 0700);
  if (err == 0) err = CopyFolderTree(env_.fs, env_.logger, favoritesDir_, dest, &failedPath);
  if (err != 0) {
    VelkException error("windows_shell", static_cast<int32_t>(err),
                        Format("Error while backing up user's Favorites.  Source: [%s], dest [%s]",
                               favoritesDir_, dest));
    env_.logger.Error(Format("%s (at %s)", error.what(), failedPath));
    if (!env_.prompt) throw error;
    const std::string text =
        std::string("An error occurred while attempting to back up your local Favorites: ") +
        Format("%s.\r\n\r\n", error.what()) +
        "Tarvex can continue to synchronize, but your local Favorites won't be backed up first.  " +
        "Would you like to continue synchronizing?";
    if (env_.prompt->Ask(text, kButtonCancel, kButtonContinue) != kButtonContinue) throw error;
  }
  env_.settings.SetBool("backedup", true, true);
}

void FavoritesDatasource::BuildLocalNidMap(LocalNidMap& map) {
  ScanLocalFolder(map, map.Root(), 0);
}

void FavoritesDatasource::ScanLocalFolder(LocalNidMap& map, LocalFileEntry& folder, int depth) {
  const std::string path = folder.FullPath(favoritesDir_);
  const std::vector<DirEntry> entries = ListFolder(path, depth);
  const bool isLinksFolder = folder.parent == &map.Root() && !folder.name.empty() &&
                             folder.name == LinksName() && UsesLocalizedLinks();

  std::vector<LocalFileEntry*> subfolders;
  for (const DirEntry& dirEntry : entries) {
    if (!IsValidUtf8Name(dirEntry.name)) continue;  // the reader logged it
    const std::string full = JoinPath(path, dirEntry.name);
    const EntryInfo info = env_.probe(full);
    if (info.kind != EntryKind::File && info.kind != EntryKind::Directory) continue;
    const bool isDir = info.kind == EntryKind::Directory;
    if (isDir && StartsWith(dirEntry.name, kSetAsidePrefix)) {
      setAside_.push_back(full);  // finished with the deletes
      continue;
    }
    std::string name = dirEntry.name;
    std::string ext;
    if (!IsSyncableEntry(name, dirEntry.attributes, isDir, &ext)) {
      if (isDir) continue;
      if (isLinksFolder && EqualsIgnoreAsciiCase(dirEntry.name, kDesktopIni)) {
        folder.localizedName = LinksLocalizedName(!env_.platform.IsVistaOrLater());
      } else if ((dirEntry.attributes & FILE_ATTRIBUTE_HIDDEN) && dirEntry.name.size() > 3 &&
                 EqualsIgnoreAsciiCase(
                     std::string_view(dirEntry.name).substr(dirEntry.name.size() - 3), ".kv") &&
                 !EqualsIgnoreAsciiCase(dirEntry.name, kFolderFileName)) {
        strayFiles_.push_back(full);  // deleted once the tree is known to fit
      }
      continue;
    }

    IniFile ini(IniPathOf(full, isDir), isDir ? FILE_ATTRIBUTE_HIDDEN : 0, env_.fs, env_.settings,
                env_.logger, kStoreDurability);
    auto entry = std::make_unique<LocalFileEntry>();
    entry->name = name;
    entry->ext = ext;
    entry->isFolder = isDir;
    entry->nid = ini.GetValue(kSection, "nid", "");
    const std::array<uint32_t, kSeenKeyCount> values = SeenValues(ini);
    ini.Clear();  // nothing to write back
    entry->fromDisk = true;
    if (entry->nid.empty() && IsInMobileFavorites(full, favoritesDir_)) {
      entry->nid = MakeHashNid(Format("%s:%s", env_.settings.GetValue("machineid", "t2000"), full));
      entry->hashedId = true;
    }
    if (!entry->nid.empty() && map.Find(entry->nid)) {
      env_.logger.Log(
          Format("Entry [%s] repeats the id [%s] of an earlier one; left alone", full, entry->nid));
      entry->nid.clear();
    }
    if (record_ && !entry->nid.empty()) {
      if (const EntrySeen* seen = record_->Find(entry->nid); !seen) {
        entry->appeared = true;
      } else {
        entry->userPlace = seen->parent != SeenHash(folder.nid);
        entry->userName = seen->name != SeenHash(dirEntry.name);
        entry->userValues = ChangedValues(seen->values, values);
      }
      if (entry->UserChanged())
        env_.logger.Log(
            Format("Entry [%s] changed since the Favorites were read; what the user "
                   "changed is kept",
                   full));
    }
    LocalFileEntry& added = map.Add(std::move(entry), folder, true);
    if (isDir) {
      subfolders.push_back(&added);
      folderNames_.emplace(AsciiLower(full), &added);  // the first found holds the name
    }
  }
  for (LocalFileEntry* sub : subfolders) ScanLocalFolder(map, *sub, depth + 1);
}

void FavoritesDatasource::WriteChildren(NodeSet& set, const std::string& folderId, LocalNidMap& map,
                                        int depth) {
  env_.logger.Log(Format("Writing children to disk for: %s", folderId));
  Node& folder = *set.GetNode(folderId, false, false, true, "native2");
  LocalFileEntry* entry = map.Find(folderId);
  if (!entry)
    throw VelkException("internal", kErrGeneral, "Node missing from local nid map: " + folderId);
  if (depth > FavoritesLimits::kMaxDepth) {  // CheckTreeFits let it through
    const std::string path = entry->FullPath(favoritesDir_);
    throw VelkException("internal", kErrImpossible, "folders nested too deeply: " + path);
  }
  std::vector<std::string> children = folder.RawChildren();
  for (size_t at = 0; at < children.size(); ++at) {
    const std::string id = children[at];
    Node& child = *set.GetNode(id, false, false, true, "native26");
    if (record_ && record_->Find(id) && !map.Find(id)) {
      // The read saw it and the user deleted it since.
      env_.logger.Log(
          Format("Node %s was deleted from the Favorites since they were read; left "
                 "deleted",
                 id));
      LeaveSubtree(set, id, map);
      // What the service put below it that the read never saw is nobody's
      // delete: it goes to this folder, the nearest one still here, and
      // the next sync moves it there on the service too.
      for (const std::string& rescued : UnseenBelow(set, id))
        if (std::find(children.begin(), children.end(), rescued) == children.end())
          children.push_back(rescued);
      continue;
    }
    LocalFileEntry* childEntry = EnsureLocalFile(set, child, map, *entry);
    if (!childEntry) {
      LeaveSubtree(set, id, map);
      continue;
    }
    UpdateFileAttrs(set, child, *childEntry);
    written_.push_back(id);
    if (child.IsFolder()) WriteChildren(set, id, map, depth + 1);
  }
}

std::vector<std::string> FavoritesDatasource::UnseenBelow(NodeSet& set, const std::string& id) {
  std::vector<std::string> out, work{id};
  while (!work.empty()) {
    const std::string next = std::move(work.back());
    work.pop_back();
    if (next != id && !record_->Find(next)) {
      out.push_back(next);  // with everything below it
      continue;
    }
    Node* node = set.GetNode(next, false, true, true);
    if (!node || !node->IsFolder()) continue;
    const std::vector<std::string>& below = node->RawChildren();
    work.insert(work.end(), below.rbegin(), below.rend());
  }
  return out;
}

void FavoritesDatasource::LeaveSubtree(NodeSet& set, const std::string& id, LocalNidMap& map) {
  std::vector<std::string> work{id};
  while (!work.empty()) {
    const std::string next = std::move(work.back());
    work.pop_back();
    if (LocalFileEntry* entry = map.Find(next); entry && !entry->claimed)
      entry->claimed = entry->left = true;
    if (Node* node = set.GetNode(next, false, true, true); node && node->IsFolder())
      for (const std::string& child : node->RawChildren()) work.push_back(child);
  }
}

void FavoritesDatasource::RecordPlace(const LocalFileEntry& entry) {
  if (!record_ || entry.nid.empty() || !entry.parent) return;
  EntrySeen& seen = record_->At(entry.nid);
  if (!entry.userPlace) seen.parent = SeenHash(entry.parent->nid);
  if (!entry.userName) seen.name = SeenHash(entry.name + entry.ext);
}

LocalFileEntry* FavoritesDatasource::EnsureLocalFile(NodeSet&, Node& node, LocalNidMap& map,
                                                     LocalFileEntry& parent) {
  const std::string& id = node.GetID();
  env_.logger.Log(Format("Ensuring local file for: %s", id));
  const bool isFolder = node.IsFolder();
  const std::string file =
      StoreFileName(node.GetAttr(keys::kName), node.GetAttr(keys::kNtype), env_.facts);
  const std::string parentPath = parent.FullPath(favoritesDir_);

  LocalFileEntry* existing = map.Find(id);
  if (existing && existing->isFolder != isFolder && existing->UserChanged()) {
    // Both sides changed it: the user's entry stays, and stands for nothing
    // of the tree.
    env_.logger.Log(
        Format("Kind of node %s changed, and the user changed %s since the read; left "
               "as it is",
               id, existing->FullPath(favoritesDir_)));
    existing->claimed = existing->left = true;
    return nullptr;
  }
  if (existing && (existing->isFolder != isFolder || existing->claimed)) {
    // The node changed between folder and favorite: its old entry goes
    // with the unclaimed ones, a new one is made.
    env_.logger.Log(
        Format("Kind of node %s changed; replacing %s", id, existing->FullPath(favoritesDir_)));
    map.Forget(id);
    existing = nullptr;
  }

  if (existing) {
    existing->claimed = true;
    if (existing->appeared) {
      // Made since the read: the user's, as it is.
      existing->left = true;
      HoldName(*existing);
      return existing;
    }
    const std::string links = LinksName();
    if (id == toolbarId_ && existing->parent == &map.Root() && !links.empty() &&
        existing->name == links && !existing->userPlace && !existing->userName) {
      HoldName(*existing);
      return existing;  // already at the Links folder's place
    }
    // The folder and the name the user gave it since the read stay.
    LocalFileEntry& target = existing->userPlace ? *existing->parent : parent;
    const std::string from = existing->FullPath(favoritesDir_);
    if (existing->parent == &target &&
        (existing->userName || (FileNameFits(existing->name, file, env_.facts) &&
                                !(isFolder && NameHeldByAnother(from, existing))))) {
      HoldName(*existing);
      return existing;
    }
    const std::string targetPath = target.FullPath(favoritesDir_);
    const std::string newName = MakeUniqueFileName(
        targetPath, existing->userName ? existing->name : file, existing->ext, existing);
    const std::string to = JoinPath(targetPath, newName + existing->ext);
    CheckPathFits(to, isFolder);
    if (uint32_t err = env_.fs.MoveFile(from, to, kStoreDurability))
      FailOn(from, err, Format("Error moving local file from [%s] to [%s]", from, to));
    if (isFolder && !NameHeldByAnother(from, existing)) folderNames_.erase(AsciiLower(from));
    existing->name = newName;
    existing->AttachTo(target);
    HoldName(*existing);
    RecordPlace(*existing);
    return existing;
  }

  const std::string ext = isFolder ? std::string() : std::string(kUrlExtension);
  auto entry = std::make_unique<LocalFileEntry>();
  entry->name = MakeUniqueFileName(parentPath, file, ext);
  entry->nid = id;
  entry->ext = ext;
  entry->isFolder = isFolder;
  entry->claimed = true;
  const std::string path = JoinPath(parentPath, entry->name + ext);
  CheckPathFits(path, isFolder);
  if (isFolder) {
    // Made under a name set aside, given its id there and then moved into
    // place: a new folder never shows without its id, whatever fails.
    const std::string aside = SetAsidePath(parentPath, entry->name);
    if (uint32_t err = env_.fs.CreateDirectory(aside))
      FailOn(path, err, "couldn't create new folder for: " + path);
    IniFile ini(JoinPath(aside, kFolderFileName), FILE_ATTRIBUTE_HIDDEN, env_.fs, env_.settings,
                env_.logger, kStoreDurability);
    ini.SetValue(kSection, "nid", id);
    ini.SetValue(kSection, "ntype", keys::kFolder);
    ini.Close();
    if (uint32_t err = env_.fs.MoveFile(aside, path, kStoreDurability))
      FailOn(path, err,
             Format("couldn't move new folder into place from [%s] to [%s]", aside, path));
  }
  LocalFileEntry& added = map.Add(std::move(entry), parent, false);
  HoldName(added);
  if (isFolder) RecordPlace(added);
  return &added;
}

void FavoritesDatasource::CheckPathFits(const std::string& path, bool isFolder) {
  const size_t slash = path.rfind('/');
  const size_t bytes = isFolder ? path.size() + kSetAsidePrefix.size() + 1 +
                                      AtomicWriteNameBytes(kFolderFileName.size())
                                : slash + 1 + AtomicWriteNameBytes(path.size() - slash - 1);
  if (bytes <= FavoritesLimits::kMaxPathBytes) return;
  // Before the entry is made or moved: the Favorites stay readable.
  throw VelkException("windows", static_cast<int32_t>(win32::ERROR_FILENAME_EXCED_RANGE),
                      Format("Path too long for the Favorites (%d bytes, at most %d): %s", bytes,
                             FavoritesLimits::kMaxPathBytes, path));
}

void FavoritesDatasource::UpdateFileAttrs(NodeSet& set, Node& node, LocalFileEntry& entry) {
  if (entry.left) return;
  const std::string path = entry.FullPath(favoritesDir_);
  const std::string iniPath = IniPathOf(path, entry.isFolder);
  env_.logger.Log(Format("Updating file attrs for: %s", iniPath));
  IniFile ini(iniPath, entry.isFolder ? FILE_ATTRIBUTE_HIDDEN : 0, env_.fs, env_.settings,
              env_.logger, kStoreDurability);

  const std::string& id = node.GetID();
  // The values the user changed since the read, as the file holds them now,
  // stay.
  const EntrySeen* seen = record_ ? record_->Find(id) : nullptr;
  // Made by this pass (perhaps in place of an entry of another kind): its
  // place is this writer's.
  const bool ownPlace = !seen || !entry.fromDisk;
  uint32_t userValues = 0;
  if (!ownPlace) {
    userValues = ChangedValues(seen->values, SeenValues(ini));
    if (userValues)
      env_.logger.Log(Format("Values of [%s] changed since the Favorites were read; kept", path));
  }
  auto userSet = [&](std::string_view section, std::string_view key) {
    for (size_t i = 0; i < kSeenKeyCount; ++i)
      if (kSeenKeys[i].section == section && kSeenKeys[i].key == key)
        return (userValues & (1u << i)) != 0;
    return false;
  };
  // An id made from the path of a file is not stored while it still is.
  if (!(entry.hashedId &&
        MakeHashNid(Format("%s:%s", env_.settings.GetValue("machineid", "t2000"), path)) == id))
    ini.SetValue(kSection, "nid", id);

  for (const MappedKey& m : kMappedKeys) {
    if (userSet(m.section, m.key)) continue;
    if (m.attribute == keys::kNtype) {
      std::string ntype = node.GetAttr(keys::kNtype);
      if (entry.isFolder) ntype = std::string(keys::kFolder);
      if (ntype.empty()) ntype = std::string(keys::kBookmark);
      ini.SetValue(m.section, m.key, ntype);
    } else if (node.HasAttr(m.attribute)) {
      ini.SetValue(m.section, m.key, node.GetAttr(m.attribute));
    } else {
      ini.DeleteValue(m.section, m.key);
    }
  }
  WriteOriginals(set, ini, node, entry);

  const std::string& ntype = node.GetAttr(keys::kNtype);
  if (ntype == "feed" && node.HasAttr("feedurl")) {
    const std::string& feedUrl = node.GetAttr("feedurl");
    FeedStore& feeds = Feeds();
    bool subscribed = false;
    if (int32_t hr = feeds.IsSubscribed(feedUrl, &subscribed)) {
      env_.logger.Error(Format("Unable to check IsSubscribed for '%s': %d", feedUrl, hr));
    } else if (!subscribed) {
      if (int32_t hr = feeds.OpenRootFolder()) {
        env_.logger.Error(Format("Unable to get root folder: %d", hr));
      } else if (int32_t hr2 = feeds.CreateFeed(node.GetAttr(keys::kName), feedUrl)) {
        env_.logger.Error(Format("Unable to create new RSS feed (%s): %d", feedUrl, hr2));
      }
    }
    if (!userSet("MonitoredItem", "FeedUrl")) ini.SetValue("MonitoredItem", "FeedUrl", feedUrl);
  }

  if (ntype == keys::kBookmark && node.HasAttr(keys::kIcon))
    env_.icons.WriteIconFile(ini, node.GetAttr(keys::kIcon));
  else
    env_.icons.RemoveIcon(ini);
  // What the file held besides may make it longer than a read takes: it
  // stays as it was.
  if (const uint64_t bytes = IniBytes(ini); bytes > FavoritesLimits::kMaxFileBytes) {
    ini.Clear();
    throw VelkException("windows", static_cast<int32_t>(win32::ERROR_NOT_ENOUGH_MEMORY),
                        Format("File too large for the Favorites (%llu bytes, at most %llu): %s",
                               bytes, FavoritesLimits::kMaxFileBytes, iniPath));
  }
  const std::array<uint32_t, kSeenKeyCount> written = SeenValues(ini);
  ini.Close();
  if (record_) {
    // What this writer wrote is no change of the user's, what the user
    // changed stays one.
    EntrySeen& record = record_->At(id);
    for (size_t i = 0; i < kSeenKeyCount; ++i)
      if (!(userValues & (1u << i))) record.values[i] = written[i];
    if (ownPlace) RecordPlace(entry);
  }
}

void FavoritesDatasource::WriteOriginals(NodeSet& set, IniFile& ini, Node& node,
                                         LocalFileEntry& entry) {
  const std::string& name = node.GetAttr(keys::kName);
  // A name or a place the user gave it is its own, not one to restore.
  if (entry.name != name && !entry.userName)
    ini.SetValue(kSection, "original_name", EncodeStoredText(name));
  else
    ini.DeleteValue(kSection, "original_name");

  const std::string& pnid = node.GetAttr(keys::kPnid);
  if (entry.parent && entry.parent->nid != pnid && !entry.userPlace) {
    ini.SetValue(kSection, "original_pnid", EncodeStoredText(pnid));
    Node* parent = set.GetNode(pnid, false, true, true);
    const std::string bnid = parent ? parent->ChildAfter(node.GetID()) : std::string();
    if (bnid.empty())
      ini.DeleteValue(kSection, "original_bnid");
    else
      ini.SetValue(kSection, "original_bnid", EncodeStoredText(bnid));
  } else {
    ini.DeleteValue(kSection, "original_pnid");
    ini.DeleteValue(kSection, "original_bnid");
  }
}

FeedStore& FavoritesDatasource::Feeds() {
  if (env_.feeds) return *env_.feeds;
  if (!ownFeeds_)
    ownFeeds_ =
        std::make_unique<FileFeedStore>(env_.fs, JoinPath(UserDir(), FileFeedStore::kFileName));
  return *ownFeeds_;
}

namespace {

// Only plain files of those names are ours in a folder: a link or a folder
// so named is the user's (and a link is never followed).
// The folder holding `path`, without a separator at its end.
std::string ParentFolder(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

bool IsOwnFolderFile(const DirEntry& child) {
  return child.kind == DirEntry::Kind::File &&
         (EqualsIgnoreAsciiCase(child.name, kFolderFileName) ||
          EqualsIgnoreAsciiCase(child.name, kDesktopIni));
}

}  // namespace

std::string FavoritesDatasource::SetAsidePath(const std::string& folder, std::string_view name) {
  // Within the longest file name, cut between characters.
  size_t keep = std::min<size_t>(name.size(), 200);
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
    --keep;
  const std::string base = std::string(kSetAsidePrefix) + std::string(name.substr(0, keep));
  std::string candidate = base;
  for (int counter = 1; env_.probe(JoinPath(folder, candidate)).kind != EntryKind::Missing;
       ++counter)
    candidate = base + Format("__%d", counter);
  return JoinPath(folder, candidate);
}

void FavoritesDatasource::RemoveSetAside(const std::string& aside, const std::string& entryPath) {
  std::vector<DirEntry> children;
  if (uint32_t err = env_.fs.ListDirectory(aside, "*", &children)) {
    if (IsGone(err)) return;
    FailOn(aside, err,
           Format("error reading directory for delete: %s (set aside as %s)", entryPath, aside));
  }
  int foreign = 0;
  for (const DirEntry& child : children) {
    if (IsOwnFolderFile(child)) continue;
    env_.logger.Log(Format("Encountered unexpected child file [%s] %s", child.name, aside));
    ++foreign;
  }
  if (foreign > 0) {
    // Someone put something into it since: it is theirs, and stays.
    const std::string folder = ParentFolder(aside);
    const std::string name = aside.substr(folder.size() + 1 + kSetAsidePrefix.size());
    const std::string back = JoinPath(folder, MakeUniqueFileName(folder, name, ""));
    if (uint32_t err = env_.fs.MoveFile(aside, back, kStoreDurability))
      FailOn(aside, err,
             Format("Error moving a folder set aside back from [%s] to [%s]", aside, back));
    env_.logger.Log(
        Format("Keeping deleted folder %s: it holds %d entries that are not ours", back, foreign));
    return;
  }
  for (const DirEntry& child : children) {
    const std::string childPath = JoinPath(aside, child.name);
    env_.fs.SetAttributes(childPath, FILE_ATTRIBUTE_NORMAL);
    uint32_t err = env_.fs.DeleteFile(childPath);
    if (err && !IsGone(err))
      FailOn(childPath, err,
             Format("Error deleting local folder: %s (set aside as %s)", entryPath, aside));
  }
  uint32_t err = env_.fs.RemoveDirectory(aside);
  if (err && !IsGone(err)) {
    env_.settings.SetValue(IniFile::kProblemFileSetting, aside, false);
    throw VelkException(
        "windows_shell", static_cast<int32_t>(err),
        Format("Error deleting local folder: %s (set aside as %s)", entryPath, aside));
  }
}

void FavoritesDatasource::DeleteUnclaimedEntries(LocalNidMap& map) {
  // What an earlier pass set aside goes first, deepest first, so that it
  // never counts as a foreign entry of a folder deleted now.
  std::stable_sort(
      setAside_.begin(), setAside_.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
      });
  for (const std::string& aside : setAside_) {
    const std::string folder = ParentFolder(aside);
    RemoveSetAside(aside,
                   JoinPath(folder, aside.substr(folder.size() + 1 + kSetAsidePrefix.size())));
  }
  setAside_.clear();

  // A folder the tree no longer holds that the user changed since the read
  // stays, with all it holds.
  std::unordered_set<const LocalFileEntry*> keptForUser;
  for (LocalFileEntry* entry : map.Found())
    if (!entry->claimed && entry->isFolder && entry->UserChanged()) keptForUser.insert(entry);
  auto keptByUser = [&](const LocalFileEntry* entry) {
    for (const LocalFileEntry* e = entry; e; e = e->parent)
      if (keptForUser.count(e)) return true;
    return false;
  };
  std::vector<LocalFileEntry*> doomed;
  for (LocalFileEntry* entry : map.Found()) {
    if (entry->claimed || entry->nid.empty() || entry->left) continue;
    if (entry->UserChanged() || keptByUser(entry)) {
      env_.logger.Log(Format("Keeping [%s]: the user changed it since the Favorites were read",
                             entry->FullPath(favoritesDir_)));
      continue;
    }
    doomed.push_back(entry);
  }
  // Deepest first: a folder's own entries are gone before the folder is
  // looked at.
  std::stable_sort(doomed.begin(), doomed.end(),
                   [](LocalFileEntry* a, LocalFileEntry* b) { return a->Depth() > b->Depth(); });

  for (LocalFileEntry* entry : doomed) {
    const std::string path = entry->FullPath(favoritesDir_);
    if (!entry->isFolder) {
      {
        IniFile ini(path, 0, env_.fs, env_.settings, env_.logger, kStoreDurability);
        // As it is now: the same entry, not changed by the user since the
        // read.
        const EntrySeen* seen = record_ ? record_->Find(entry->nid) : nullptr;
        if ((!entry->hashedId && ini.GetValue(kSection, "nid", "") != entry->nid) ||
            (seen && ChangedValues(seen->values, SeenValues(ini)) != 0)) {
          env_.logger.Log(Format("Keeping [%s]: it changed since the Favorites were read", path));
          ini.Clear();
          continue;
        }
        env_.icons.RemoveIcon(ini);
        ini.Clear();  // the file goes
      }
      uint32_t err = env_.fs.SetAttributes(path, FILE_ATTRIBUTE_NORMAL);
      if (err && !IsGone(err)) FailOn(path, err, "Error setting attrs on local file: " + path);
      err = env_.fs.DeleteFile(path);
      if (err && !IsGone(err)) FailOn(path, err, "Error deleting local file: " + path);
      if (record_) record_->Erase(entry->nid);
      continue;
    }

    std::vector<DirEntry> children;
    if (uint32_t err = env_.fs.ListDirectory(path, "*", &children)) {
      if (IsGone(err)) continue;
      FailOn(path, err, "error reading directory for delete: " + path);
    }
    int foreign = 0;
    for (const DirEntry& child : children) {
      if (IsOwnFolderFile(child)) continue;
      env_.logger.Log(Format("Encountered unexpected child file [%s] %s", child.name, path));
      ++foreign;
    }
    if (foreign > 0) {
      env_.logger.Log(Format("Keeping deleted folder %s: it holds %d entries that are not ours",
                             path, foreign));
      continue;
    }
    // Set aside with its id still in it, then emptied: a step that fails
    // leaves it either in place, to be deleted again, or set aside, where
    // no read takes it for the user's and the next pass finishes it.
    const std::string aside = SetAsidePath(ParentFolder(path), entry->name);
    if (uint32_t err = env_.fs.MoveFile(path, aside, kStoreDurability))
      FailOn(path, err,
             Format("Error deleting local folder: %s (moving it aside to [%s])", path, aside));
    if (record_) record_->Erase(entry->nid);
    RemoveSetAside(aside, path);
  }
}

void FavoritesDatasource::MapToolbarToLinks(NodeSet& set, LocalNidMap& map) {
  env_.logger.Log("Mapping toolbar to links folder");
  if (toolbarId_.empty()) return;
  const std::string links = LinksName();
  LocalFileEntry* entry = map.Find(toolbarId_);
  if (links.empty() || !entry || !entry->isFolder || !entry->claimed) {
    env_.logger.Log(Format("No folder on disk for toolbar [%s]; Links not mapped", toolbarId_));
    return;
  }
  LocalFileEntry& root = map.Root();
  // A folder the user placed or named since the read stays where it is.
  bool userPlaced = entry->left || entry->PlacedByUser();
  for (const LocalFileEntry* other : root.children)
    userPlaced = userPlaced || (other != entry && other->isFolder && other->name == links &&
                                (other->left || other->PlacedByUser()));
  if (userPlaced) {
    env_.logger.Log(
        Format("The user moved folders since the Favorites were read; toolbar [%s] "
               "not mapped to Links",
               toolbarId_));
    return;
  }
  const std::string linksPath = JoinPath(favoritesDir_, links);
  const std::string current = entry->FullPath(favoritesDir_);

  if (current != linksPath) {
    if (env_.probe(linksPath).kind != EntryKind::Missing) {
      // Another entry holds the Links name: it moves aside.
      const std::string aside = MakeUniqueFileName(favoritesDir_, links, "");
      const std::string asidePath = JoinPath(favoritesDir_, aside);
      if (uint32_t err = env_.fs.MoveFile(linksPath, asidePath, kStoreDurability))
        FailOn(
            linksPath, err,
            Format("Error moving accidental links folder from [%s] to [%s]", linksPath, asidePath));
      for (LocalFileEntry* other : root.children) {
        if (other == entry || !other->isFolder || other->name != links) continue;
        other->name = aside;
        other->localizedName.clear();
        RecordPlace(*other);
        // Its title stays the tree's: the file keeps it.
        if (Node* node = other->nid.empty()
                             ? nullptr
                             : set.GetNode(other->nid, false, true, true, "native27");
            node && other->claimed) {
          IniFile ini(JoinPath(asidePath, kFolderFileName), FILE_ATTRIBUTE_HIDDEN, env_.fs,
                      env_.settings, env_.logger, kStoreDurability);
          WriteOriginals(set, ini, *node, *other);
          ini.Close();
        }
        break;
      }
    }
    // Where it is now: moving the other folder aside moved it too when it
    // sits inside that folder.
    const std::string from = entry->FullPath(favoritesDir_);
    if (uint32_t err = env_.fs.MoveFile(from, linksPath, kStoreDurability))
      FailOn(from, err, Format("Error moving links from [%s] to [%s]", from, linksPath));
    entry->name = links;
    entry->AttachTo(root);
    RecordPlace(*entry);
    // The tree keeps the toolbar's title and place; the folder's file
    // records them for the reader.
    Node& toolbar = *set.GetNode(toolbarId_, false, false, true, "native4");
    IniFile ini(JoinPath(linksPath, kFolderFileName), FILE_ATTRIBUTE_HIDDEN, env_.fs, env_.settings,
                env_.logger, kStoreDurability);
    WriteOriginals(set, ini, toolbar, *entry);
    ini.Close();
  }

  if (UsesLocalizedLinks()) {
    const bool beforeVista = !env_.platform.IsVistaOrLater();
    const std::string module =
        std::string("%windir%\\System32\\ieframe.dll") + (beforeVista ? ".mui" : "");
    if (uint32_t err =
            SetLocalizedName(env_.fs, env_.settings, env_.logger, linksPath, module, 12385))
      env_.logger.Error(Format("Error [%d] setting the Links folder's display name", err));
    else
      entry->localizedName = LinksLocalizedName(beforeVista);
  }
}

void FavoritesDatasource::NotifyShell(NodeSet& set) {
  ShellNotifier& shell = env_.shell ? *env_.shell : loggingShell_;
  shell.OrderChanged(favoritesDir_);
  const std::string links = LinksName();
  if (!toolbarId_.empty() && !links.empty() &&
      set.GetNode(toolbarId_, false, true, true, "native1") != nullptr)
    shell.OrderChanged(JoinPath(favoritesDir_, links));
}

void FavoritesDatasource::CleanRootAttrs(Node& root) {
  std::vector<std::string> drop;
  for (const auto& [key, value] : root.Attrs())
    if (key != keys::kNtype && key != keys::kTnid) drop.push_back(key);
  for (const std::string& key : drop) root.RemoveAttr(key);
  const std::string meta = JoinPath(favoritesDir_, kFolderFileName);
  if (env_.probe(meta).kind == EntryKind::File) {
    env_.fs.SetAttributes(meta, FILE_ATTRIBUTE_NORMAL);
    if (uint32_t err = env_.fs.DeleteFile(meta); err && !IsGone(err))
      env_.logger.Error(Format("Error [%d] deleting hidden file: %s", err, meta));
  }
}

void FavoritesDatasource::WarnOrderWriteFailed() {
  constexpr std::string_view kKey = "ignoreorderwriteerror";
  if (env_.settings.HasValue(kKey)) return;
  if (!env_.prompt) return;
  bool checked = false;
  env_.prompt->Ask(
      "Oops! Tarvex was unable to tell IE what order your bookmarks should be in (this usually "
      "happens if you don't have admin privileges on this machine).  Future sync attempts may "
      "cause unexpected reorders.",
      kButtonOK, kButtonHidden, kButtonHidden, "Don't show this warning again", &checked);
  if (checked) env_.settings.SetBool(kKey, true, true);
}

}  // namespace tarvex
