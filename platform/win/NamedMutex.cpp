#include "platform/win/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/paths/PlatformConfig.h"

namespace tarvex {

struct NamedMutex::State {
  std::string path;
  int fd = -1;
  std::mutex lock;
  std::condition_variable freed;
  std::thread::id owner;  // default: nobody
  int count = 0;
  bool abandoned = false;  // its last owner thread ended owning it

  ~State() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

using Clock = std::chrono::steady_clock;

// Every state of this process by file, so that all handles of a name share
// one (flock does not exclude the threads of one process).
std::mutex& StatesLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::map<std::string, std::weak_ptr<NamedMutex::State>>& States() {
  static auto* states = new std::map<std::string, std::weak_ptr<NamedMutex::State>>;
  return *states;
}

// Gives the cross-process lock up: the file is emptied first, so nobody
// reads a live owner's id in it.
void Unlock(NamedMutex::State& s) {
  if (::ftruncate(s.fd, 0) != 0) {
    // The next owner then sees an id and takes the mutex as abandoned:
    // wrong only towards caution.
  }
  ::flock(s.fd, LOCK_UN);
}

// The mutexes the calling thread owns; those still owned when it ends are
// abandoned.
struct Owned {
  std::vector<std::shared_ptr<NamedMutex::State>> states;
  ~Owned() {
    for (auto& s : states) {
      std::lock_guard<std::mutex> guard(s->lock);
      if (s->owner != std::this_thread::get_id()) continue;
      Unlock(*s);
      s->owner = std::thread::id();
      s->count = 0;
      s->abandoned = true;
      s->freed.notify_one();
    }
  }
};
thread_local Owned owned;

void Forget(const std::shared_ptr<NamedMutex::State>& state) {
  for (auto it = owned.states.begin(); it != owned.states.end(); ++it)
    if (*it == state) {
      owned.states.erase(it);
      return;
    }
}

}  // namespace

std::string KernelObjectPath(const std::string& runtimeDir, std::string_view name,
                             std::string_view kind) {
  for (std::string_view prefix : {"Global\\", "Local\\"})
    if (name.substr(0, prefix.size()) == prefix) name.remove_prefix(prefix.size());
  static const char kHex[] = "0123456789ABCDEF";
  std::string file;
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || (c == '.' && !file.empty())) {
      file += static_cast<char>(c);
    } else {
      file += '%';
      file += kHex[c >> 4];
      file += kHex[c & 15];
    }
  }
  return runtimeDir + "/kobj/" + file + "." + std::string(kind);
}

uint32_t PrepareKernelObject(const std::string& runtimeDir, std::string_view name,
                             std::string_view kind, std::string* path) {
  const std::string dir = runtimeDir.empty() ? PlatformConfig::Current().runtimeDir : runtimeDir;
  if (uint32_t rc = EnsurePrivateDirectory(dir)) return rc;
  if (uint32_t rc = EnsurePrivateDirectory(dir + "/kobj")) return rc;
  *path = KernelObjectPath(dir, name, kind);
  return win32::ERROR_SUCCESS;
}

uint32_t NamedMutex::Open(std::string_view name, std::shared_ptr<NamedMutex>* out,
                          const std::string& runtimeDir) {
  out->reset();
  std::string path;
  if (uint32_t rc = PrepareKernelObject(runtimeDir, name, "mutex", &path)) return rc;

  std::lock_guard<std::mutex> guard(StatesLock());
  std::shared_ptr<State> state = States()[path].lock();
  if (!state) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Win32FromErrno(errno, path);
    state = std::make_shared<State>();
    state->path = path;
    state->fd = fd;
    States()[path] = state;
  }
  *out = std::make_shared<NamedMutex>(state);
  return win32::ERROR_SUCCESS;
}

const std::string& NamedMutex::path() const {
  return state_->path;
}

uint32_t NamedMutex::Wait(uint32_t timeoutMs) {
  State& s = *state_;
  const auto me = std::this_thread::get_id();
  const bool forever = timeoutMs == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);

  std::unique_lock<std::mutex> guard(s.lock);
  if (s.owner == me) {
    ++s.count;
    return WAIT_OBJECT_0;
  }
  // The process's own threads first.
  auto free = [&] { return s.owner == std::thread::id(); };
  if (forever)
    s.freed.wait(guard, free);
  else if (!s.freed.wait_until(guard, deadline, free))
    return WAIT_TIMEOUT;
  // Held for this thread while it asks the other processes.
  s.owner = me;
  guard.unlock();

  bool got = false;
  bool failed = false;
  for (;;) {
    if (::flock(s.fd, LOCK_EX | LOCK_NB) == 0) {
      got = true;
      break;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      failed = true;
      break;
    }
    if (!forever && Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  guard.lock();
  if (!got) {
    s.owner = std::thread::id();
    s.freed.notify_one();
    return failed ? WAIT_FAILED : WAIT_TIMEOUT;
  }
  // An id left in the file: its process died owning the mutex.
  struct stat st {};
  bool abandoned = s.abandoned || (::fstat(s.fd, &st) == 0 && st.st_size > 0);
  s.abandoned = false;
  const std::string id = std::to_string(::getpid()) + "\n";
  if (::ftruncate(s.fd, 0) != 0 || ::pwrite(s.fd, id.data(), id.size(), 0) < 0) {
    // The mark is a courtesy to the next owner; the lock is held.
  }
  s.count = 1;
  owned.states.push_back(state_);
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

uint32_t NamedMutex::Release() {
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.owner != std::this_thread::get_id()) return win32::ERROR_NOT_OWNER;
  if (--s.count > 0) return win32::ERROR_SUCCESS;
  Unlock(s);
  s.owner = std::thread::id();
  Forget(state_);
  s.freed.notify_one();
  return win32::ERROR_SUCCESS;
}

}  // namespace tarvex
