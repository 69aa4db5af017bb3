// Change notifications on a folder, and waits on several waitable objects,
// as the Windows programs use them: a notification is signalled once any
// change its filter names has happened below the folder since it was made
// (each waiter makes a new one per round).
//
// Over inotify: every folder of the tree is watched (symbolic links are not
// followed), and a folder made inside the tree while the notification lives
// is watched as soon as its creation is read, and scanned, since files may
// have come into it before its watch did.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win/Waitable.h"

namespace tarvex {

inline constexpr uint32_t FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
inline constexpr uint32_t FILE_NOTIFY_CHANGE_LAST_WRITE = 0x8;

class ChangeNotification : public Waitable {
 public:
  // 0 and `*out`, or ERROR_PATH_NOT_FOUND (no such folder),
  // ERROR_NOT_ENOUGH_QUOTA (the user's inotify watches are used up) or
  // another Win32 code.
  static uint32_t Create(const std::string& folder, bool subtree, uint32_t filter,
                         std::unique_ptr<ChangeNotification>* out);
  ~ChangeNotification() override;

  int Descriptor() const override { return fd_; }
  bool Signalled() override;

 private:
  ChangeNotification(int fd, bool subtree, uint32_t signalMask)
      : fd_(fd), subtree_(subtree), signalMask_(signalMask) {}
  // Watches `folder` and, for a subtree, every folder below it.
  uint32_t WatchTree(const std::string& folder, bool root);

  int fd_;
  bool subtree_;
  uint32_t signalMask_;
  uint32_t mask_ = 0;  // what each folder's watch asks for
  bool signalled_ = false;
  std::map<int, std::string> folders_;  // watch descriptor -> folder
};

}  // namespace tarvex
