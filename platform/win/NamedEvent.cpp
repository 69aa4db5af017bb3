#include "platform/win/NamedEvent.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/win/NamedMutex.h"

namespace tarvex {

uint32_t NamedEvent::Open(std::string_view name, bool manualReset, std::unique_ptr<NamedEvent>* out,
                          const std::string& runtimeDir) {
  out->reset();
  std::string path;
  if (uint32_t rc = PrepareKernelObject(runtimeDir, name, "event", &path)) return rc;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Win32FromErrno(errno, path);
  auto fail = [&](int err) {
    ::close(fd);
    return Win32FromErrno(err, path);
  };
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Nobody else holds it: the event starts anew.
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, "0", 1, 0) != 1) return fail(errno);
  } else if (errno != EWOULDBLOCK) {
    return fail(errno);
  }
  if (::flock(fd, LOCK_SH) != 0) return fail(errno);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0) return fail(errno);
  if (::inotify_add_watch(watch, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE) < 0) {
    const int err = errno;
    ::close(watch);
    return fail(err);
  }
  out->reset(new NamedEvent(fd, watch, manualReset));
  return win32::ERROR_SUCCESS;
}

NamedEvent::~NamedEvent() {
  ::close(watch_);
  ::close(fd_);
}

uint32_t NamedEvent::Store(char state) {
  return ::pwrite(fd_, &state, 1, 0) == 1 ? win32::ERROR_SUCCESS : Win32FromErrno(errno);
}

uint32_t NamedEvent::Set() {
  return Store('1');
}

uint32_t NamedEvent::Reset() {
  return Store('0');
}

bool NamedEvent::Signalled() {
  char drain[4096];
  while (::read(watch_, drain, sizeof drain) > 0) {
  }
  char state = '0';
  if (::pread(fd_, &state, 1, 0) != 1 || state != '1') return false;
  if (!manual_) Reset();
  return true;
}

}  // namespace tarvex
