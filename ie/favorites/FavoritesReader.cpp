#include "ie/favorites/FavoritesReader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/WindowsFacts.h"
#include "text/Text.h"
#include "nodeset/Command.h"
#include "nodeset/Md5.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "platform/Win32Error.h"

namespace tarvex {

namespace {

constexpr std::string_view kSection = kTarvexSection;
constexpr std::string_view kOriginalKeys[] = {"original_name", "original_pnid", "original_bnid"};

}  // namespace

namespace {

struct CodePoint {
  size_t begin, end;
  char32_t cp;
  bool valid;
};

std::vector<CodePoint> CodePoints(std::string_view text) {
  std::vector<CodePoint> out;
  for (size_t pos = 0; pos < text.size();) {
    const size_t begin = pos;
    const char32_t cp = DecodeUtf8(text, pos);
    const bool valid = cp != 0xFFFD || text.substr(begin, pos - begin) == "\xEF\xBF\xBD";
    out.push_back({begin, pos, cp, valid});
  }
  return out;
}

// What a value line cannot hold as it is.
bool Unstorable(const CodePoint& c) {
  return !c.valid || c.cp < 0x20 || c.cp == 0x7F;
}
// What the escaped form writes as "%XX" wherever it stands.
bool NeedsEscape(const CodePoint& c) {
  return Unstorable(c) || c.cp == '%';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string EncodeStoredText(std::string_view text) {
  const std::vector<CodePoint> cps = CodePoints(text);
  size_t lead = 0;  // white space at the start
  while (lead < cps.size() && IsWhiteSpace(cps[lead].cp)) ++lead;
  size_t tail = cps.size();  // white space from here to the end
  while (tail > lead && IsWhiteSpace(cps[tail - 1].cp)) --tail;
  bool plain = tail == cps.size() && !StartsWith(text, kStoredTextMarker);
  for (size_t i = 0; plain && i < cps.size(); ++i) plain = !Unstorable(cps[i]);
  if (plain) return std::string(text);

  std::string out(kStoredTextMarker);
  for (size_t i = 0; i < cps.size(); ++i) {
    const CodePoint& c = cps[i];
    if (i < lead || i >= tail || NeedsEscape(c)) {
      for (size_t b = c.begin; b < c.end; ++b) {
        const auto byte = static_cast<unsigned char>(text[b]);
        out += '%';
        out += "0123456789ABCDEF"[byte >> 4];
        out += "0123456789ABCDEF"[byte & 15];
      }
    } else {
      out.append(text.substr(c.begin, c.end - c.begin));
    }
  }
  return out;
}

std::string DecodeStoredText(std::string_view value) {
  if (!StartsWith(value, kStoredTextMarker)) return std::string(value);
  const std::string_view body = value.substr(kStoredTextMarker.size());
  std::string out;
  out.reserve(body.size());
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '%' && i + 2 < body.size() && HexDigit(body[i + 1]) >= 0 &&
        HexDigit(body[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(body[i + 1]) * 16 + HexDigit(body[i + 2])));
      i += 2;
    } else {
      out.push_back(body[i]);
    }
  }
  return out;
}

bool IsValidUtf8Name(std::string_view name) {
  return !name.empty() && name.find('\0') == std::string_view::npos && IsValidUtf8(name);
}

EntryInfo ProbeEntry(const std::string& path) {
  EntryInfo info;
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) !=
      0)
    return info;
  const mode_t mode = stx.stx_mode;
  info.kind = S_ISREG(mode)   ? EntryKind::File
              : S_ISDIR(mode) ? EntryKind::Directory
              : S_ISLNK(mode) ? EntryKind::Link
                              : EntryKind::Other;
  info.modified = static_cast<int64_t>(stx.stx_mtime.tv_sec);
  info.created = (stx.stx_mask & STATX_BTIME) ? static_cast<int64_t>(stx.stx_btime.tv_sec)
                                              : static_cast<int64_t>(stx.stx_ctime.tv_sec);
  return info;
}

bool IsSyncableEntry(std::string& name, uint32_t attributes, bool isDirectory, std::string* ext) {
  if (name.empty() || name == "." || name == "..") return false;
  if (attributes & FILE_ATTRIBUTE_HIDDEN) return false;
  if (isDirectory) {
    if (ext) ext->clear();
    return true;
  }
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string_view found = std::string_view(name).substr(dot);
  if (!EqualsIgnoreAsciiCase(found, kUrlExtension)) return false;
  if (ext) *ext = std::string(found);
  name.resize(dot);
  return true;
}

std::string MakeHashNid(std::string_view text) {
  const std::u16string units = Utf8ToUtf16Whole(text);
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  unsigned char digest[16];
  MD5Final(digest, &context);
  std::string nid;
  for (unsigned char b : digest) {
    const int v = b % 62;
    nid.push_back(static_cast<char>(v < 10 ? '0' + v : v < 36 ? 'A' + v - 10 : 'a' + v - 36));
  }
  return nid;
}

bool IsInMobileFavorites(std::string_view path, std::string_view favoritesDir) {
  const std::string prefix = JoinPath(favoritesDir, kMobileFavoritesName);
  if (path.size() < prefix.size() || !EqualsIgnoreAsciiCase(path.substr(0, prefix.size()), prefix))
    return false;
  return path.size() == prefix.size() || path[prefix.size()] == '/';
}

FavoritesDatasource::FavoritesDatasource(FavoritesEnvironment env)
    : env_(std::move(env)),
      favoritesDir_(env_.favoritesDir.empty() ? GetFavoritesDir(true) : env_.favoritesDir) {}

void FavoritesDatasource::FailOn(const std::string& path, uint32_t code,
                                 const std::string& message) {
  env_.settings.SetValue(IniFile::kProblemFileSetting, path, false);
  throw VelkException("windows", static_cast<int32_t>(code), message);
}

std::string FavoritesDatasource::IniPathOf(const std::string& path, bool isFolder) const {
  return isFolder ? JoinPath(path, kFolderFileName) : path;
}

bool FavoritesDatasource::ProvideNodes(NodeSet& set) {
  env_.logger.Log("Providing nodes from native datasource");

  auto root = std::make_unique<Node>(std::string(keys::kRoot));
  root->SetAttr(keys::kNtype, keys::kFolder);
  Node& rootNode = *set.AddNode(std::move(root));

  // An earlier read's record no longer tells what the next write follows.
  std::shared_ptr<ReadRecord> record;
  if (env_.records) {
    env_.records->Take(favoritesDir_);
    record = std::make_shared<ReadRecord>();
  }
  seen_ = record.get();
  try {
    ReadFolder(set, favoritesDir_, rootNode);
  } catch (...) {
    seen_ = nullptr;
    throw;
  }
  seen_ = nullptr;

  // The toolbar folder is found by its name on disk, before any stored
  // original names are restored.
  const std::string linksName = env_.settings.GetValue("linksfoldername", "Links");
  if (!linksName.empty()) {
    if (Node* links = rootNode.FindChildByName(linksName, true, set))
      rootNode.SetAttr(keys::kTnid, links->GetID());
  }

  MenuOrderContext context(env_.registry, env_.platform, [] { return 0u; });
  context.tnid = rootNode.GetAttr(keys::kTnid);
  context.potentialLinksName = env_.settings.GetValue("potentialreallinksfolername", "Links");
  context.logger = &env_.logger;
  context.logLevel = env_.settings.GetInt("loglevel", 2);
  if (env_.prompt) {
    context.askContinue = [this](const VelkException&) {
      return AskContinueAfterOrderError(env_.settings, *env_.prompt);
    };
  }
  try {
    SetOrderFromRegistry(set, std::string(kMenuOrderKey), rootNode, context);
  } catch (const VelkException& e) {
    env_.logger.Error(e.what());
    if (!env_.prompt || !AskContinueAfterOrderError(env_.settings, *env_.prompt)) throw;
  }

  RemapOriginalAttrs(*set.GetNode(keys::kRoot, false, false, false, "native2"), set, true);
  if (record) env_.records->Put(favoritesDir_, std::move(record));
  return true;
}

void FavoritesDatasource::RemapOriginalAttrs(Node& node, NodeSet& set, bool restoreAlways) {
  const std::string id = node.GetID();
  env_.logger.Log(Format("Remapping original attrs for: %s", id));

  if (node.HasAttr("original_name")) {
    const std::string original = node.GetAttr("original_name");
    const std::string safe = StoreFileName(original, node.GetAttr(keys::kNtype), env_.facts);
    Attributes args{{"original_name", ""}};
    if (restoreAlways || FileNameFits(node.GetAttr(keys::kName), safe, env_.facts))
      args[keys::kName] = original;
    set.Execute(Command("update", id, std::move(args)));
  }

  Node* self = set.GetNode(id, false, false, false, "native3");
  if (self->HasAttr("original_pnid") || self->HasAttr("original_bnid")) {
    const std::string pnid = self->GetAttr("original_pnid");
    const std::string bnid = self->GetAttr("original_bnid");
    Node* target = pnid.empty() ? nullptr : set.GetNode(pnid, false, true, false);
    bool below = false;  // the target is the node or lies below it
    for (Node* walk = target; walk != nullptr;) {
      if (walk->GetID() == id) {
        below = true;
        break;
      }
      const std::string& up = walk->GetAttr(keys::kPnid);
      walk = up.empty() ? nullptr : set.GetNode(up, false, true, false);
    }
    const bool valid = target != nullptr && target->IsFolder() && !below &&
                       (bnid.empty() || (bnid != id && target->HasChild(bnid)));
    if (valid)
      set.Execute(Command("move", id, {{std::string(keys::kPnid), pnid}, {"bnid", bnid}}));
    else
      env_.logger.Log(
          Format("Dropping original place [%s] [%s] of node %s: no such place", pnid, bnid, id));
    set.Execute(Command("update", id, {{"original_pnid", ""}, {"original_bnid", ""}}));
  }

  self = set.GetNode(id, false, false, false, "native3");
  if (!self->IsFolder()) return;
  const std::string tnid = self->GetAttr(keys::kTnid);
  const std::vector<std::string> children = self->RawChildren();  // moves change the list
  for (const std::string& child : children) {
    Node* c = set.GetNode(child, false, true, false, "native3");
    if (c) RemapOriginalAttrs(*c, set, !tnid.empty() && child == tnid);
  }
}

std::vector<DirEntry> FavoritesDatasource::ListFolder(const std::string& path, int depth) {
  if (depth > FavoritesLimits::kMaxDepth)
    FailOn(path, win32::ERROR_FILENAME_EXCED_RANGE,
           Format("folders nested too deeply (%d, at most %d): %s", depth,
                  FavoritesLimits::kMaxDepth, path));
  std::vector<DirEntry> entries;
  if (uint32_t err = env_.fs.ListDirectory(path, "*", &entries))
    FailOn(path, err, "error reading directory: " + path);
  std::stable_sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    return CompareUtf16(a.name, b.name) < 0;
  });
  return entries;
}

void FavoritesDatasource::ReadFolder(NodeSet& set, const std::string& path, Node& parent,
                                     int depth) {
  env_.logger.Log(Format("Providing nodes for path: %s", path));
  const std::vector<DirEntry> entries = ListFolder(path, depth);

  std::vector<std::pair<std::string, std::string>> subfolders;  // path, id
  for (const DirEntry& entry : entries) {
    if (!IsValidUtf8Name(entry.name)) {
      env_.logger.Log(Format("Skipping entry whose name is not valid UTF-8: %s",
                             JoinPath(path, SanitizeUtf8(entry.name))));
      continue;
    }
    const std::string full = JoinPath(path, entry.name);
    const EntryInfo info = env_.probe(full);
    if (info.kind == EntryKind::Missing) continue;  // removed since the listing
    if (info.kind == EntryKind::Link || info.kind == EntryKind::Other) {
      env_.logger.Log(Format("Skipping entry that is not a regular file or folder: %s", full));
      continue;
    }
    const bool isFolder = info.kind == EntryKind::Directory;
    if (isFolder && StartsWith(entry.name, kSetAsidePrefix)) {
      env_.logger.Log(Format("Skipping a folder the writer set aside: %s", full));
      continue;
    }
    std::string name = entry.name;
    if (!IsSyncableEntry(name, entry.attributes, isFolder)) continue;
    if (const std::string ini = IniPathOf(full, isFolder);
        ini.size() > FavoritesLimits::kMaxPathBytes)
      FailOn(full, win32::ERROR_FILENAME_EXCED_RANGE,
             Format("path too long (%d bytes, at most %d): %s", static_cast<int64_t>(ini.size()),
                    static_cast<int64_t>(FavoritesLimits::kMaxPathBytes), ini));

    std::array<uint32_t, kSeenKeyCount> values{};
    Attributes attrs = LoadFileAttrs(full, isFolder, info, &values);
    std::string nid;
    if (auto it = attrs.find(keys::kNid); it != attrs.end()) {
      nid = it->second;
      attrs.erase(it);
    }
    if (nid.empty()) throw VelkException("internal", kErrGeneral, "no node ID in attrs");
    attrs[keys::kName] = name;
    attrs[keys::kPnid] = parent.GetID();

    if (set.GetNode(nid, false, true, false) != nullptr) {
      // Another entry read earlier holds this id: it keeps it.
      env_.logger.Log(Format("Node [%s] already exists!", nid));
      env_.logger.Log("Duplicated local NID detected, creating new NID and trying again");
      nid = KVPort::GenerateNodeID();
      if (!IsInMobileFavorites(full, favoritesDir_)) {
        IniFile ini(IniPathOf(full, isFolder), isFolder ? FILE_ATTRIBUTE_HIDDEN : 0, env_.fs,
                    env_.settings, env_.logger, kStoreDurability);
        ini.SetValue(kSection, "nid", nid);
        ini.Close();
      }
    }
    if (seen_) seen_->At(nid) = EntrySeen{SeenHash(parent.GetID()), SeenHash(entry.name), values};
    set.AddNode(std::make_unique<Node>(nid, std::move(attrs)));
    parent.AddChild(nid);
    if (isFolder) subfolders.emplace_back(full, nid);
  }

  std::stable_sort(subfolders.begin(), subfolders.end(),
                   [](const auto& a, const auto& b) { return CompareUtf16(a.first, b.first) < 0; });
  for (const auto& [folder, id] : subfolders)
    ReadFolder(set, folder, *set.GetNode(id, false, false, false, "native"), depth + 1);
}

Attributes FavoritesDatasource::LoadFileAttrs(const std::string& path, bool isFolder,
                                              const EntryInfo& info,
                                              std::array<uint32_t, kSeenKeyCount>* seen) {
  env_.logger.Log(Format("Loading file attrs for file: %s", path));
  Attributes attrs;
  IniFile ini(IniPathOf(path, isFolder), isFolder ? FILE_ATTRIBUTE_HIDDEN : 0, env_.fs,
              env_.settings, env_.logger, kStoreDurability);

  auto get = [&](std::string_view section, std::string_view key) -> std::optional<std::string> {
    std::string v = ini.GetValue(section, key, kIniAbsent);
    if (v == kIniAbsent) return std::nullopt;
    return v;
  };

  for (const MappedKey& m : kMappedKeys) {
    if (auto v = get(m.section, m.key)) attrs[m.attribute] = *v;
  }
  if (seen) *seen = SeenValues(ini);

  // The kind on disk wins over the stored type.
  std::string ntype = attrs.count("ntype") ? attrs["ntype"] : std::string();
  if (isFolder) {
    ntype = std::string(keys::kFolder);
  } else {
    if (ntype == keys::kFolder) ntype.clear();
    if (ntype.empty()) {
      if (auto feed = get("MonitoredItem", "FeedUrl")) {
        ntype = "feed";
        attrs["feedurl"] = *feed;
      } else {
        ntype = std::string(keys::kBookmark);
      }
    }
  }
  attrs["ntype"] = ntype;

  std::string nid = get(kSection, "nid").value_or(std::string());
  if (nid.empty()) {
    if (IsInMobileFavorites(path, favoritesDir_)) {
      nid = MakeHashNid(Format("%s:%s", env_.settings.GetValue("machineid", "t2000"), path));
    } else {
      nid = KVPort::GenerateNodeID();
      ini.SetValue(kSection, "nid", nid);
    }
  }
  attrs[keys::kNid] = nid;

  if (!isFolder) {
    std::string icon = env_.icons.ReadIcon(ini);
    if (!icon.empty()) attrs[keys::kIcon] = icon;
  }
  for (std::string_view key : kOriginalKeys) {
    if (auto v = get(kSection, key)) attrs[key] = DecodeStoredText(*v);
  }
  attrs[keys::kCreated] = std::to_string(info.created);
  attrs[keys::kModified] = std::to_string(info.modified);

  ini.Close();  // writes only when something changed
  return attrs;
}

}  // namespace tarvex
