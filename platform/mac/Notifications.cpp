#include "platform/mac/Notifications.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/mac/Json.h"
#include "platform/mac/System.h"
#include "platform/paths/PlatformConfig.h"

namespace tarvex::mac {

namespace {

constexpr char kSuffix[] = ".sock";
constexpr size_t kMaxDatagram = 1 << 20;

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The observers of `name` among `observers`, copied so that they run
// without the center's lock.
std::vector<NotificationCenter::Observer> ObserversOf(
    const std::multimap<std::string, NotificationCenter::Observer>& observers, const std::string& name) {
  std::vector<NotificationCenter::Observer> out;
  auto [first, last] = observers.equal_range(name);
  for (auto it = first; it != last; ++it) out.push_back(it->second);
  return out;
}

}  // namespace

// ---- Recording --------------------------------------------------------------

bool RecordingNotificationCenter::Post(const std::string& name, const DictRef& userInfo) {
  Notification n{name, userInfo ? DeepMutableCopy(userInfo) : NewDict()};
  std::vector<Observer> targets;
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(n);
    targets = ObserversOf(observers_, name);
  }
  for (const Observer& observer : targets) observer(n);
  return true;
}

void RecordingNotificationCenter::AddObserver(const std::string& name, Observer observer) {
  std::lock_guard lock(mutex_);
  observers_.emplace(name, std::move(observer));
}

int RecordingNotificationCenter::Pump(int) { return 0; }

std::vector<Notification> RecordingNotificationCenter::Posted() const {
  std::lock_guard lock(mutex_);
  return posted_;
}

// ---- The bus of sockets -----------------------------------------------------

SocketNotificationCenter::SocketNotificationCenter(std::string runtimeDir) {
  if (runtimeDir.empty()) runtimeDir = PlatformConfig::Current().runtimeDir;
  folder_ = runtimeDir + "/notify";
}

SocketNotificationCenter::~SocketNotificationCenter() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(socketPath_.c_str());
  }
}

bool SocketNotificationCenter::Bind() {
  if (fd_ >= 0) return true;
  if (EnsurePrivateDirectory(folder_) != 0) return false;
  static std::atomic<unsigned> counter{0};
  std::string path = folder_ + "/" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
                     NewUUIDString().substr(0, 8) + kSuffix;
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  socketPath_ = path;
  return true;
}

void SocketNotificationCenter::AddObserver(const std::string& name, Observer observer) {
  std::lock_guard lock(mutex_);
  Bind();
  observers_.emplace(name, std::move(observer));
}

bool SocketNotificationCenter::Post(const std::string& name, const DictRef& userInfo) {
  auto message = NewDict({{"name", name}, {"userInfo", userInfo ? userInfo : NewDict()}});
  std::string text = ToJSONText(message);
  if (text.size() > kMaxDatagram) return false;
  if (EnsurePrivateDirectory(folder_) != 0) return false;
  DIR* dir = ::opendir(folder_.c_str());
  if (!dir) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    ::closedir(dir);
    return false;
  }
  bool ok = true;
  while (const dirent* entry = ::readdir(dir)) {
    std::string file = entry->d_name;
    if (file.size() <= std::strlen(kSuffix) ||
        file.compare(file.size() - std::strlen(kSuffix), std::string::npos, kSuffix) != 0)
      continue;
    std::string path = folder_ + "/" + file;
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) continue;
    ssize_t sent;
    do {
      sent = ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) continue;
    if (errno == ECONNREFUSED) {
      ::unlink(path.c_str());  // nobody listens there any more
    } else if (errno != ENOENT && errno != EAGAIN && errno != EWOULDBLOCK) {
      ok = false;
    }
  }
  ::close(fd);
  ::closedir(dir);
  return ok;
}

int SocketNotificationCenter::Pump(int timeoutMs) {
  int fd;
  {
    std::lock_guard lock(mutex_);
    fd = fd_;
  }
  if (fd < 0) return 0;
  int delivered = 0;
  std::string buffer(kMaxDatagram + 1, '\0');
  bool waited = false;
  for (;;) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && !waited && delivered == 0 && timeoutMs > 0) {
        pollfd p{fd, POLLIN, 0};
        waited = true;
        if (::poll(&p, 1, timeoutMs) > 0) continue;
      }
      break;
    }
    std::optional<Value> value = FromJSONText(buffer.substr(0, static_cast<size_t>(n)));
    DictRef message = value ? value->AsDict() : nullptr;
    if (!message || !(*message)["name"].IsString()) continue;  // not one of ours
    Notification notification{(*message)["name"].AsString(), (*message)["userInfo"].AsDict()};
    if (!notification.userInfo) notification.userInfo = NewDict();
    std::vector<Observer> targets;
    {
      std::lock_guard lock(mutex_);
      targets = ObserversOf(observers_, notification.name);
    }
    for (const Observer& observer : targets) observer(notification);
    ++delivered;
  }
  return delivered;
}

// ---- The agent's center -----------------------------------------------------

namespace {
std::atomic<NotificationCenter*> g_center{nullptr};
}

NotificationCenter& DistributedCenter() {
  if (NotificationCenter* set = g_center.load()) return *set;
  static NotificationCenter* bus = new SocketNotificationCenter();
  return *bus;
}

void SetDistributedCenter(NotificationCenter* center) { g_center.store(center); }

}  // namespace tarvex::mac
