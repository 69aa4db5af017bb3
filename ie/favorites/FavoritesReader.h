// Reading the Favorites folder into a tree.
//
// The Favorites folder is a real directory: every folder is a directory
// holding a hidden "meta.kv" file, every favorite is a ".url" file (the
// extension in any case). Both are INI files; the node's id lives in
// [Tarvex] nid, its kind in [Tarvex] ntype, the address in
// [InternetShortcut] URL.
//
// Rules that keep the user's bookmarks safe:
// - Entries are read in a stable order (UTF-16 code units), so "the first
//   keeps its id" means the same entry on every pass.
// - Symbolic links, FIFOs, devices and names that are not valid UTF-8 are
//   skipped with a log line: never followed, opened or changed.
// - Hidden is the HIDDEN attribute of the file system, never a leading dot:
//   ".profile.url" is a favorite named ".profile".
// - The kind on disk wins: a directory is a folder, a file never is.
// - A file that cannot be read (one above IniFile::kMaxFileBytes too) fails
//   the whole read with its path in `syncproblemfile`; an entry is never
//   left out, since a missing entry reads as a delete.
// - Entries under "Mobile Favorites" get ids hashed from their path, which
//   are never written to their files.
// - A folder whose name begins with kSetAsidePrefix is the writer's, half
//   made or half removed: it is skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ie/favorites/FavoritesLimits.h"
#include "ie/favorites/FavoritesPlatform.h"
#include "ie/favorites/IconManager.h"
#include "ie/favorites/LocalNidMap.h"
#include "ie/favorites/MenuOrder.h"
#include "ie/favorites/ReadRecord.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "nodeset/Attributes.h"
#include "nodeset/Engine.h"
#include "platform/files/FileSystem.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/registry/Registry.h"

namespace tarvex {

class IniFile;
class Node;
class NodeSet;
class UserPrompt;

// What an entry of a folder is, looked at without following links.
enum class EntryKind { Missing, File, Directory, Link, Other };

struct EntryInfo {
  EntryKind kind = EntryKind::Missing;
  int64_t created = 0;   // seconds since 1970 (birth time, else last change)
  int64_t modified = 0;  // seconds since 1970
};

// Looks at `path` itself (lstat and statx, never following a link).
EntryInfo ProbeEntry(const std::string& path);

// The INI default that means "absent" (an empty value is present).
inline constexpr std::string_view kIniAbsent = "[[TARVEX\nDEFAULT]]";
inline constexpr std::string_view kFolderFileName = "meta.kv";
inline constexpr std::string_view kMobileFavoritesName = "Mobile Favorites";
inline constexpr std::string_view kUrlExtension = ".url";
inline constexpr std::string_view kDesktopIni = "desktop.ini";
// The section of our own keys in the files.
inline constexpr std::string_view kTarvexSection = "Tarvex";

// The attributes kept in the files by a plain section and key.
struct MappedKey {
  std::string_view attribute, section, key;
};
inline constexpr MappedKey kMappedKeys[] = {
    {"ntype", "Tarvex", "ntype"},
    {"url", "InternetShortcut", "URL"},
    {"feedurl", "Tarvex", "feedurl"},
    {"tags", "Tarvex", "tags"},
};

// A title (or an id) kept in a file's value. The INI file cuts a value at a
// line break or a NUL, drops its trailing white space and reads a file that
// is not UTF-8 in another code page; a text it would not give back as it is
// (or one that starts with the marker) is stored as kStoredTextMarker
// followed by the text with each of those bytes as "%XX": control
// characters, "%", the bytes of invalid UTF-8 and white space at either end.
// Any other text is stored as it is, so files written before read as they
// did: a value without the marker is the text itself.
inline constexpr std::string_view kStoredTextMarker = "%tarvex-escaped%";
std::string EncodeStoredText(std::string_view text);
// The text a value stands for; a malformed "%XX" stays as it is.
std::string DecodeStoredText(std::string_view value);

// Whether an entry's name can stand for a node: not empty, no NUL, UTF-8.
bool IsValidUtf8Name(std::string_view name);

// The file or folder name a node is stored under: MakeSafeFileName of its
// title, and on the Windows flavour a "_" after the device names the system
// refuses (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without extension).
std::string StoreFileName(std::string_view title, std::string_view ntype, const OsFacts& facts);
// Whether a file or folder named `fileName` (without extension) stands for
// the title whose StoreFileName is `storeName`: the same name, perhaps with
// a "__N" that kept it apart from a sibling, or the same once both are
// trimmed.
bool FileNameFits(std::string_view fileName, std::string_view storeName, const OsFacts& facts);

// Whether a folder entry becomes a node. Hidden entries do not; a directory
// does and keeps its name; a file does when the text from its last '.' is
// ".url" in any case, and `name` is then cut there (`ext` gets the
// extension as found). "." and ".." never do.
bool IsSyncableEntry(std::string& name, uint32_t attributes, bool isDirectory,
                     std::string* ext = nullptr);

// A node id from a text: the MD5 of all its UTF-16LE bytes, each of the 16
// digest bytes b written as the character (b % 62) of "0-9A-Za-z".
std::string MakeHashNid(std::string_view text);

// True when `path` is the "Mobile Favorites" folder of `favoritesDir` or
// lies below it (names compared without regard to ASCII case).
bool IsInMobileFavorites(std::string_view path, std::string_view favoritesDir);

// Everything the reader reaches outside itself.
struct FavoritesEnvironment {
  FavoritesEnvironment(FileSystem& fs, Settings& settings, Logger& logger, Registry& registry,
                       IconManager& icons, const OsFacts& facts, std::string favoritesDir = {},
                       OrderPlatform platform = {})
      : fs(fs),
        settings(settings),
        logger(logger),
        registry(registry),
        icons(icons),
        facts(facts),
        favoritesDir(std::move(favoritesDir)),
        platform(std::move(platform)) {}

  FileSystem& fs;
  Settings& settings;
  Logger& logger;
  Registry& registry;
  IconManager& icons;
  const OsFacts& facts;
  // The Favorites folder; empty means GetFavoritesDir().
  std::string favoritesDir;
  OrderPlatform platform;
  // Asked when a folder's menu order cannot be read; without one, such an
  // error ends the read.
  UserPrompt* prompt = nullptr;
  std::function<EntryInfo(const std::string&)> probe = ProbeEntry;
  // The user folder (the backup, the feed store); empty means GetUserDir().
  std::string userDir;
  // Null: the shell notices are logged.
  ShellNotifier* shell = nullptr;
  // Null: the feed store in the user folder.
  FeedStore* feeds = nullptr;
  // The menu order stamps; unset, drawn from a clock-seeded source.
  OrderDraw orderDraw;
  // Where a read leaves what it saw for the next write of the folder, which
  // leaves alone what the user changed in between; null: nothing is kept
  // and every write writes the whole tree.
  ReadRecords* records = &ReadRecords::Process();
};

class FavoritesDatasource : public NativeDatasource {
 public:
  explicit FavoritesDatasource(FavoritesEnvironment env);

  // Fills `set` with ROOT and everything below the Favorites folder, the
  // menu order positions, and ROOT's `tnid` (the folder named by the
  // setting `linksfoldername`). Throws VelkException on failure. A whole
  // read leaves its record on `env.records`.
  bool ProvideNodes(NodeSet& set) override;
  // Makes the Favorites folder hold `set`: backs the folder up once,
  // (taking the record a read of the folder left, see ReadRecord.h, and
  // leaving as the user made them the entries changed since that read:
  // the place, the name or the values the user changed, an entry made
  // since, a node deleted since with what lies below it; a folder kept so
  // keeps what it holds)
  // creates, moves and updates files and folders, deletes what the tree no
  // longer holds, puts the toolbar folder at the Links folder's place, and
  // writes the menu order. A failure throws VelkException with the path at
  // fault in `syncproblemfile`; what was written so far stays. After a
  // whole pass the tree's nodes keep only the attributes the files hold
  // (name, pnid, ntype, url, feedurl, tags) and the root only ntype and tnid.
  void WriteNodeSet(NodeSet& set) override;
  // One barrier for the file systems of the Favorites folder and of the
  // folders the store writes beside it (favicons, backup); a failure throws
  // VelkException with the folder in `syncproblemfile`. A folder that does
  // not exist holds nothing to make durable.
  void MakeDurable() override;

  // Adds the syncable entries of `path` as children of `parent`, then reads
  // their subfolders.
  void ReadFolder(NodeSet& set, const std::string& path, Node& parent, int depth = 0);
  // The attributes of the favorite or folder at `path` (its INI file),
  // with an id: the stored one, else a hash (Mobile Favorites), else a new
  // one written back to the file.
  // `seen` gets the values of the file the tree is made of.
  Attributes LoadFileAttrs(const std::string& path, bool isFolder, const EntryInfo& info,
                           std::array<uint32_t, kSeenKeyCount>* seen = nullptr);

  // Turns the original_name, original_pnid and original_bnid a node's
  // files carry back into the tree's own attributes, for `node` and
  // everything below it. A stored name is restored when the name on disk is
  // exactly its file-safe form (the user did not rename it) or when
  // `restoreAlways`; a stored place is restored only when it names a folder
  // that is neither the node nor below it (and holds `original_bnid`, when
  // given), otherwise it is dropped with a log line.
  void RemapOriginalAttrs(Node& node, NodeSet& set, bool restoreAlways);

  // The steps of writing.
  // Throws VelkException, naming the node, the limit and its value, when
  // the Favorites could not be read once `set` were written (a folder too
  // deep, a path or a file too long, a name that is not UTF-8). Changes
  // nothing; `map` is the disk as found.
  void CheckTreeFits(NodeSet& set, LocalNidMap& map);
  void BackupFavorites();
  void BuildLocalNidMap(LocalNidMap& map);
  void WriteChildren(NodeSet& set, const std::string& folderId, LocalNidMap& map, int depth = 0);
  // Null when the node's entry is left as the user made it and cannot
  // stand for the node (its kind changed on both sides).
  LocalFileEntry* EnsureLocalFile(NodeSet& set, Node& node, LocalNidMap& map,
                                  LocalFileEntry& parent);
  void UpdateFileAttrs(NodeSet& set, Node& node, LocalFileEntry& entry);
  // Removes the entries of the map the pass did not claim, after the
  // folders set aside that the scan found. A folder goes by being set aside
  // (moved, its id still in it, to a name the reader skips) and then
  // emptied and removed, so a failure at any step leaves it either where it
  // was with its id, or set aside for the next pass to finish.
  void DeleteUnclaimedEntries(LocalNidMap& map);
  void MapToolbarToLinks(NodeSet& set, LocalNidMap& map);
  void NotifyShell(NodeSet& set);
  void CleanRootAttrs(Node& root);
  // A name for `name` + `ext` not yet taken in `folder` (nothing there, not
  // even a link): the trimmed name, else with "__1", "__2", ... (within one
  // write, a name's numbers go on from the last one given, so a folder of
  // many equal titles is not probed from "__1" for each).
  // A folder name is also taken when another folder there holds it in
  // another case (`self`, a folder being renamed, does not count).
  std::string MakeUniqueFileName(const std::string& folder, std::string_view name,
                                 std::string_view ext, const LocalFileEntry* self = nullptr);

 private:
  std::string IniPathOf(const std::string& path, bool isFolder) const;
  // A free path in `folder` for setting the folder `name` aside.
  std::string SetAsidePath(const std::string& folder, std::string_view name);
  // Empties and removes the folder set aside at `aside` (for the entry at
  // `entryPath`). One that holds what is not ours goes back to a visible
  // name and is kept. Throws when a step fails.
  void RemoveSetAside(const std::string& aside, const std::string& entryPath);
  // Throws when an entry at `path` would have a path (its file's, or the
  // temporary file's it is rewritten through) beyond FavoritesLimits.
  void CheckPathFits(const std::string& path, bool isFolder);
  void ScanLocalFolder(LocalNidMap& map, LocalFileEntry& folder, int depth);
  // The entries of the folder at `path`, `depth` folders below the
  // Favorites, in a stable order; a failure when it cannot be listed or lies
  // deeper than FavoritesLimits allow.
  std::vector<DirEntry> ListFolder(const std::string& path, int depth);
  // Records in the entry's file what its name and place on disk cannot
  // carry: the node's title and, away from its tree parent, that parent and
  // the sibling it stands before.
  void WriteOriginals(NodeSet& set, IniFile& ini, Node& node, LocalFileEntry& entry);
  FeedStore& Feeds();
  void WarnOrderWriteFailed();
  std::string UserDir() const;
  std::string LinksName();
  bool UsesLocalizedLinks();
  [[noreturn]] void FailOn(const std::string& path, uint32_t code, const std::string& message);

  FavoritesEnvironment env_;
  std::string favoritesDir_;
  LoggingShellNotifier loggingShell_{env_.logger};
  std::unique_ptr<FeedStore> ownFeeds_;
  // Writing: the toolbar folder's id ("" when none) and the nodes written.
  std::string toolbarId_;
  std::vector<std::string> written_;
  // Stray folder files of ours found by the scan, deleted once writing starts.
  std::vector<std::string> strayFiles_;
  // Folders set aside by an earlier pass that did not finish.
  std::vector<std::string> setAside_;
  // Sibling folders whose names differ only in case would share one key of
  // the menu order (the registry, like the Windows file system, ignores
  // case): the folder holding each such name, by its path in lower case.
  std::unordered_map<std::string, const LocalFileEntry*> folderNames_;
  bool NameHeldByAnother(const std::string& path, const LocalFileEntry* self) const;
  // Reading: what this read saw. Writing: what the read before it saw,
  // brought up to date with what this writer did (but never with what the
  // user changed), so a retry still tells the user's changes.
  ReadRecord* seen_ = nullptr;
  std::shared_ptr<ReadRecord> record_;
  // The number MakeUniqueFileName tries next, by folder, name and extension.
  std::unordered_map<std::string, int> nextSuffix_;
  // Claims, without touching them, the entries of `id` and all below it.
  void LeaveSubtree(NodeSet& set, const std::string& id, LocalNidMap& map);
  // The nodes below `id` that the last read did not see, each the top of
  // what it holds, in the tree's order.
  std::vector<std::string> UnseenBelow(NodeSet& set, const std::string& id);
  // The record of `entry` once this writer made or moved it (its name and
  // place, but what the user changed stays as the read saw it).
  void RecordPlace(const LocalFileEntry& entry);
  void HoldName(LocalFileEntry& entry);
};

}  // namespace tarvex
