// What the Favorites writer asks of the desktop around it: telling the shell
// that a folder's order changed, the browser's feed subscriptions, the
// localized display name of the Links folder, and whole-folder copies and
// deletes. Each is a small interface with one implementation for this
// platform; tests replace them to record calls or to fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "platform/files/FileSystem.h"

namespace tarvex {

// How the store writes its files (shortcuts, folder files, favicons, the
// backup): without a flush each, made durable together by one barrier
// (FavoritesDatasource::MakeDurable) before the sync records what they hold.
// Flushing each of them would cost two waits for the disk per file.
inline constexpr Durability kStoreDurability = Durability::Later;

// Tells the shell that the order of a folder's items changed, so open menus
// show the new order. Nothing listens on this platform: the notice is
// logged.
class ShellNotifier {
 public:
  virtual ~ShellNotifier() = default;
  virtual void OrderChanged(const std::string& folderPath) = 0;
};

class LoggingShellNotifier : public ShellNotifier {
 public:
  explicit LoggingShellNotifier(Logger& logger) : logger_(logger) {}
  void OrderChanged(const std::string& folderPath) override;

 private:
  Logger& logger_;
};

// The browser's feed subscriptions. Every call returns 0 on success or a
// failure code (an HRESULT-like number) that the caller logs.
class FeedStore {
 public:
  virtual ~FeedStore() = default;
  virtual int32_t IsSubscribed(const std::string& url, bool* subscribed) = 0;
  // Opens the folder new feeds go into.
  virtual int32_t OpenRootFolder() = 0;
  virtual int32_t CreateFeed(const std::string& name, const std::string& url) = 0;
};

// Feeds kept in one JSON file, {"feeds": [{"name": ..., "url": ...}]}, in
// the user folder. A file that does not parse is a failure, never replaced.
class FileFeedStore : public FeedStore {
 public:
  static constexpr std::string_view kFileName = "feeds.json";

  // `path` is the store's file.
  FileFeedStore(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  int32_t IsSubscribed(const std::string& url, bool* subscribed) override;
  int32_t OpenRootFolder() override;
  int32_t CreateFeed(const std::string& name, const std::string& url) override;

 private:
  FileSystem& fs_;
  std::string path_;
};

// The failure code of a feed store whose file cannot be read or written.
inline constexpr int32_t kFeedStoreFailure = static_cast<int32_t>(0x80004005u);  // E_FAIL

// The display name the browser gives the Links folder: a resource of its
// frame library. `beforeVista` adds the ".mui" of older systems.
std::string LinksLocalizedName(bool beforeVista);
// Gives `folder` a localized display name the way the shell does it: a
// hidden system "desktop.ini" in the folder whose [.ShellClassInfo]
// LocalizedResourceName is "@<module>,-<id>". Rewrites the file only when
// the value differs. Returns 0 or the Win32 error.
uint32_t SetLocalizedName(FileSystem& fs, Settings& settings, Logger& logger,
                          const std::string& folder, std::string_view module, int resourceId);

// Copies the folder `from` to the new folder `to` (which must not exist)
// with everything in it: files keep their attributes, folders are created,
// symbolic links and other special entries are left out with a log line and
// never followed. The copies are made durable together once all are made,
// before this returns 0. Returns 0 or the Win32 error of the first failure;
// `*failedPath` names the entry.
uint32_t CopyFolderTree(FileSystem& fs, Logger& logger, const std::string& from,
                        const std::string& to, std::string* failedPath);

}  // namespace tarvex
