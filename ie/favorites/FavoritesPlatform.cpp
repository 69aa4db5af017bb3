#include "ie/favorites/FavoritesPlatform.h"

#include <json/json.h>

#include <vector>

#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/VelkException.h"
#include "text/Text.h"
#include "nodeset/Json.h"
#include "platform/Win32Error.h"

namespace tarvex {

void LoggingShellNotifier::OrderChanged(const std::string& folderPath) {
  logger_.Log(Format("Order of folder changed: %s", folderPath));
}

namespace {

// Reads the store: 0 and the feeds (none when the file is missing), or a
// failure.
int32_t LoadFeeds(FileSystem& fs, const std::string& path, Json::Value* feeds) {
  *feeds = Json::Value(Json::arrayValue);
  std::string text;
  const uint32_t err = fs.ReadFile(path, &text, 1024 * 1024);
  if (err == win32::ERROR_FILE_NOT_FOUND) return 0;
  if (err != 0) return kFeedStoreFailure;
  Json::Value root;
  std::string error;
  if (!ParseJson(text, &root, &error) || !root.isObject() || !root["feeds"].isArray())
    return kFeedStoreFailure;
  *feeds = root["feeds"];
  return 0;
}

}  // namespace

int32_t FileFeedStore::IsSubscribed(const std::string& url, bool* subscribed) {
  *subscribed = false;
  Json::Value feeds;
  if (int32_t hr = LoadFeeds(fs_, path_, &feeds)) return hr;
  for (const Json::Value& feed : feeds)
    if (feed.isObject() && feed["url"].isString() && feed["url"].asString() == url)
      *subscribed = true;
  return 0;
}

int32_t FileFeedStore::OpenRootFolder() {
  Json::Value feeds;
  return LoadFeeds(fs_, path_, &feeds);
}

int32_t FileFeedStore::CreateFeed(const std::string& name, const std::string& url) {
  Json::Value feeds;
  if (int32_t hr = LoadFeeds(fs_, path_, &feeds)) return hr;
  Json::Value feed(Json::objectValue);
  feed["name"] = name;
  feed["url"] = url;
  feeds.append(feed);
  Json::Value root(Json::objectValue);
  root["feeds"] = feeds;
  return fs_.WriteFileAtomic(path_, WriteCompactJson(root)) == 0 ? 0 : kFeedStoreFailure;
}

std::string LinksLocalizedName(bool beforeVista) {
  return std::string("@C:\\Windows\\System32\\ieframe.dll") + (beforeVista ? ".mui" : "") +
         ",-12385";
}

uint32_t SetLocalizedName(FileSystem& fs, Settings& settings, Logger& logger,
                          const std::string& folder, std::string_view module, int resourceId) {
  const std::string value = Format("@%s,-%d", std::string(module), resourceId);
  try {
    IniFile ini(JoinPath(folder, "desktop.ini"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, fs,
                settings, logger, kStoreDurability);
    if (ini.FindValue(".ShellClassInfo", "LocalizedResourceName") != value)
      ini.SetValue(".ShellClassInfo", "LocalizedResourceName", value);
    ini.Close();
  } catch (const VelkException& e) {
    return e.source() == "windows" && e.id() > 0 ? static_cast<uint32_t>(e.id())
                                                 : win32::ERROR_ACCESS_DENIED;
  } catch (const std::exception&) {
    return win32::ERROR_ACCESS_DENIED;
  }
  return 0;
}

uint32_t CopyFolderTree(FileSystem& fs, Logger& logger, const std::string& from,
                        const std::string& to, std::string* failedPath) {
  struct Pending {
    std::string from, to;
  };
  std::vector<Pending> stack{{from, to}};
  while (!stack.empty()) {
    const Pending folder = stack.back();
    stack.pop_back();
    *failedPath = folder.to;
    if (uint32_t err = fs.CreateDirectory(folder.to)) return err;
    std::vector<DirEntry> entries;
    *failedPath = folder.from;
    if (uint32_t err = fs.ListDirectory(folder.from, "*", &entries)) return err;
    for (const DirEntry& entry : entries) {
      const std::string source = JoinPath(folder.from, entry.name);
      const std::string target = JoinPath(folder.to, entry.name);
      switch (entry.kind) {
        case DirEntry::Kind::Directory:
          stack.push_back({source, target});
          break;
        case DirEntry::Kind::File: {
          *failedPath = source;
          if (uint32_t err = fs.CopyFile(source, target, true, Durability::Later)) return err;
          const uint32_t kept = entry.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                    FILE_ATTRIBUTE_READONLY);
          if (kept != 0) {
            *failedPath = target;
            if (uint32_t err = fs.SetAttributes(target, kept)) return err;
          }
          break;
        }
        default:
          logger.Log(Format("Not copying entry that is not a regular file or folder: %s", source));
          break;
      }
    }
  }
  *failedPath = to;
  if (uint32_t err = fs.SyncFileSystem(to)) return err;
  failedPath->clear();
  return 0;
}

}  // namespace tarvex
