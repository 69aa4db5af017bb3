#include "platform/win/ChangeNotification.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"

namespace tarvex {
namespace {

constexpr uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// A bare touch shows as a change of attributes only.
constexpr uint32_t kWriteEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
constexpr uint32_t kRootEvents = IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

uint32_t ChangeNotification::Create(const std::string& folder, bool subtree, uint32_t filter,
                                    std::unique_ptr<ChangeNotification>* out) {
  out->reset();
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return win32::ERROR_PATH_NOT_FOUND;
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return Win32FromErrno(errno, folder);
  uint32_t changes = 0;
  if (filter & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME)) changes |= kNameEvents;
  if (filter & FILE_NOTIFY_CHANGE_LAST_WRITE) changes |= kWriteEvents;
  std::unique_ptr<ChangeNotification> made(
      new ChangeNotification(fd, subtree, changes | kRootEvents));
  // New folders are followed whatever the filter.
  made->mask_ = changes | (subtree ? IN_CREATE | IN_MOVED_TO : 0u);
  if (uint32_t rc = made->WatchTree(folder, true)) return rc;
  *out = std::move(made);
  return win32::ERROR_SUCCESS;
}

ChangeNotification::~ChangeNotification() {
  ::close(fd_);
}

uint32_t ChangeNotification::WatchTree(const std::string& folder, bool root) {
  auto watch = [&](const std::string& path, uint32_t extra) -> uint32_t {
    const int wd =
        ::inotify_add_watch(fd_, path.c_str(), mask_ | extra | IN_ONLYDIR | IN_DONT_FOLLOW);
    if (wd < 0) {
      if (errno == ENOSPC) return win32::ERROR_NOT_ENOUGH_QUOTA;
      // A folder that went away meanwhile is no longer there to watch.
      if (!root && (errno == ENOENT || errno == ENOTDIR)) return win32::ERROR_SUCCESS;
      return Win32FromErrno(errno, path);
    }
    folders_[wd] = path;
    return win32::ERROR_SUCCESS;
  };
  if (uint32_t rc = watch(folder, root ? kRootEvents : 0)) return rc;
  if (!subtree_) return win32::ERROR_SUCCESS;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(
      folder, std::filesystem::directory_options::skip_permission_denied, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    // Something already below a folder made just now is a change.
    if (!root) signalled_ = true;
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    if (uint32_t rc = watch(it->path().string(), 0)) return rc;
  }
  return win32::ERROR_SUCCESS;
}

bool ChangeNotification::Signalled() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) signalled_ = true;  // changes were lost: some happened
      if (event->mask & signalMask_) signalled_ = true;
      if (subtree_ && (event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO)) &&
          event->len > 0) {
        auto folder = folders_.find(event->wd);
        if (folder != folders_.end()) WatchTree(folder->second + "/" + event->name, false);
      }
      if (event->mask & IN_IGNORED) folders_.erase(event->wd);
    }
  }
  return signalled_;
}

}  // namespace tarvex
