#include "platform/win/Window.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/win/NamedMutex.h"

namespace tarvex {
namespace {

// What travels, one message a connection (the queue of connections waiting
// to be accepted keeps the order of the posts): fixed size, in this
// machine's byte order (only the user's own processes on this machine
// exchange it).
struct Wire {
  uint32_t message;
  uint32_t pad;
  uint64_t wParam;
  int64_t lParam;
};

// How many posts wait for the owner at most (as a Windows message queue
// holds some thousands); the kernel may hold its listening queue shorter.
constexpr int kQueueLength = 4096;

bool Address(const std::string& path, sockaddr_un* out) {
  std::memset(out, 0, sizeof *out);
  out->sun_family = AF_UNIX;
  if (path.size() >= sizeof out->sun_path) return false;
  std::memcpy(out->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The class's two files, its folder made private.
uint32_t ClassFiles(const std::string& runtimeDir, const std::string& className, std::string* lock,
                    std::string* socket) {
  std::string base;
  if (uint32_t rc = PrepareKernelObject(runtimeDir, className, "window", &base)) return rc;
  *lock = base + ".lock";
  *socket = base + ".sock";
  return win32::ERROR_SUCCESS;
}

}  // namespace

uint32_t OwnedWindow::Claim(const std::string& className, std::unique_ptr<OwnedWindow>* out,
                            const std::string& runtimeDir) {
  out->reset();
  std::string lockPath, socketPath;
  if (uint32_t rc = ClassFiles(runtimeDir, className, &lockPath, &socketPath)) return rc;
  sockaddr_un address;
  if (!Address(socketPath, &address)) return win32::ERROR_FILENAME_EXCED_RANGE;
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock < 0) return Win32FromErrno(errno, lockPath);
  if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(lock);
    return err == EWOULDBLOCK ? win32::ERROR_CLASS_ALREADY_EXISTS : Win32FromErrno(err, lockPath);
  }
  // The class is ours: a socket an owner that died left behind goes.
  ::unlink(socketPath.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, kQueueLength) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    ::close(lock);
    return Win32FromErrno(err, socketPath);
  }
  out->reset(new OwnedWindow(lock, fd, socketPath));
  return win32::ERROR_SUCCESS;
}

OwnedWindow::~OwnedWindow() {
  // The socket goes while the class is still held, so no new owner's is
  // removed.
  ::unlink(socket_.c_str());
  ::close(fd_);
  ::close(lock_);
}

bool OwnedWindow::NextMessage(MSG* msg, uint32_t timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  const int wait = timeoutMs == 0xFFFFFFFFu ? -1 : static_cast<int>(timeoutMs);
  for (;;) {
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    Wire wire{};
    size_t got = 0;
    while (got < sizeof wire) {
      // The poster wrote the message before it let go of the connection.
      const ssize_t n = ::recv(conn, reinterpret_cast<char*>(&wire) + got, sizeof wire - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ::close(conn);
    if (got != sizeof wire) continue;  // not a whole message
    msg->message = wire.message;
    msg->wParam = wire.wParam;
    msg->lParam = wire.lParam;
    return true;
  }
}

std::optional<WindowHandle> FindWindow(const std::string& className,
                                       const std::string& runtimeDir) {
  std::string lockPath, socketPath;
  if (ClassFiles(runtimeDir, className, &lockPath, &socketPath) != 0) return std::nullopt;
  const int lock = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (lock < 0) return std::nullopt;
  // Nobody owns a class whose lock can be taken.
  const bool owned = ::flock(lock, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(lock);
  if (!owned) return std::nullopt;
  return WindowHandle{socketPath};
}

uint32_t PostMessage(const WindowHandle& window, uint32_t message, uint64_t wParam,
                     int64_t lParam) {
  sockaddr_un address;
  if (!Address(window.socket, &address)) return win32::ERROR_INVALID_WINDOW_HANDLE;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Win32FromErrno(errno);
  const Wire wire{message, 0, wParam, lParam};
  ssize_t n = -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    n = ::send(fd, &wire, sizeof wire, MSG_NOSIGNAL);
  const int err = errno;
  ::close(fd);
  if (n == static_cast<ssize_t>(sizeof wire)) return win32::ERROR_SUCCESS;
  if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) return win32::ERROR_NOT_ENOUGH_QUOTA;
  if (err == ECONNREFUSED || err == ENOENT) return win32::ERROR_INVALID_WINDOW_HANDLE;
  return Win32FromErrno(err);
}

}  // namespace tarvex
