#include "platform/win/Window.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/win/NamedMutex.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using Clock = std::chrono::steady_clock;

// ---- The log ----

std::mutex& LogLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::function<void(const std::string&)>& LogSink() {
  static auto* sink = new std::function<void(const std::string&)>;
  return *sink;
}

// ---- Integrity and the filter ----

std::atomic<int> integrity{0};  // 0: not read from the environment yet

std::mutex& FilterLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::set<uint32_t>& Allowed() {
  static auto* allowed = new std::set<uint32_t>;
  return *allowed;
}
bool LetThrough(uint32_t message, uint32_t senderIntegrity) {
  if (senderIntegrity >= static_cast<uint32_t>(ProcessIntegrity())) return true;
  std::lock_guard<std::mutex> guard(FilterLock());
  return Allowed().count(message) != 0;
}

// ---- Queues ----

struct Timer {
  uint64_t window;
  uint64_t id;
  Clock::duration interval;
  Clock::time_point due;
};

struct ThreadQueue {
  uint32_t threadId = 0;
  std::mutex m;
  std::condition_variable cv;
  std::deque<MSG> posted;
  bool quit = false;
  int quitCode = 0;
  std::vector<Timer> timers;
};

std::atomic<size_t> queueLimit{10000};
std::atomic<uint32_t> nextThreadId{1};

std::mutex& QueuesLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::map<uint32_t, std::weak_ptr<ThreadQueue>>& Queues() {
  static auto* queues = new std::map<uint32_t, std::weak_ptr<ThreadQueue>>;
  return *queues;
}

// The calling thread's queue, made on first use and forgotten when the
// thread ends (windows that still name it keep it alive).
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    std::lock_guard<std::mutex> guard(QueuesLock());
    Queues().erase(queue->threadId);
  }
};
thread_local QueueHolder holder;
thread_local uint32_t threadId = 0;

const std::shared_ptr<ThreadQueue>& CurrentQueue() {
  if (!holder.queue) {
    holder.queue = std::make_shared<ThreadQueue>();
    holder.queue->threadId = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(QueuesLock());
    Queues()[holder.queue->threadId] = holder.queue;
  }
  return holder.queue;
}

uint32_t Enqueue(ThreadQueue& q, MSG msg) {
  {
    std::lock_guard<std::mutex> guard(q.m);
    if (q.posted.size() >= queueLimit.load()) return win32::ERROR_NOT_ENOUGH_QUOTA;
    q.posted.push_back(std::move(msg));
  }
  q.cv.notify_all();
  return win32::ERROR_SUCCESS;
}

// The next due message: posted ones in order, then the quit, then the
// earliest due timer. Waits until `deadline` when `wait`.
bool Next(ThreadQueue& q, MSG* msg, bool remove, bool wait, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(q.m);
  for (;;) {
    if (!q.posted.empty()) {
      *msg = q.posted.front();
      if (remove) q.posted.pop_front();
      return true;
    }
    if (q.quit) {
      *msg = MSG{{}, WM_QUIT, static_cast<uint64_t>(q.quitCode), 0};
      if (remove) q.quit = false;
      return true;
    }
    const Clock::time_point now = Clock::now();
    Timer* earliest = nullptr;
    for (Timer& t : q.timers)
      if (!earliest || t.due < earliest->due) earliest = &t;
    if (earliest && earliest->due <= now) {
      *msg = MSG{HWND{earliest->window, {}}, WM_TIMER, earliest->id, 0};
      if (remove) earliest->due = now + earliest->interval;
      return true;
    }
    if (!wait || now >= deadline) return false;
    const Clock::time_point until = earliest && earliest->due < deadline ? earliest->due : deadline;
    q.cv.wait_until(lock, until);
  }
}

// ---- Windows ----

struct Endpoint;

struct WindowRec {
  uint64_t id = 0;
  std::string className;  // empty for a local window
  std::string title;
  WindowProc proc;
  std::shared_ptr<ThreadQueue> queue;
  std::unique_ptr<Endpoint> endpoint;
  bool destroyed = false;  // guarded by queue->m
};

std::mutex& WindowsLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::map<uint64_t, std::shared_ptr<WindowRec>>& Windows() {
  static auto* windows = new std::map<uint64_t, std::shared_ptr<WindowRec>>;
  return *windows;
}
std::map<std::string, WindowProc>& Classes() {
  static auto* classes = new std::map<std::string, WindowProc>;
  return *classes;
}
std::atomic<uint64_t> nextWindowId{1};

std::shared_ptr<WindowRec> Lookup(uint64_t id) {
  std::lock_guard<std::mutex> guard(WindowsLock());
  auto it = Windows().find(id);
  return it == Windows().end() ? nullptr : it->second;
}

uint32_t PostLocal(uint64_t id, uint32_t message, uint64_t wParam, int64_t lParam) {
  std::shared_ptr<WindowRec> rec = Lookup(id);
  if (!rec) return win32::ERROR_INVALID_WINDOW_HANDLE;
  ThreadQueue& q = *rec->queue;
  {
    std::lock_guard<std::mutex> guard(q.m);
    if (rec->destroyed) return win32::ERROR_INVALID_WINDOW_HANDLE;
    if (q.posted.size() >= queueLimit.load()) return win32::ERROR_NOT_ENOUGH_QUOTA;
    q.posted.push_back(MSG{HWND{id, {}}, message, wParam, lParam});
  }
  q.cv.notify_all();
  return win32::ERROR_SUCCESS;
}

int64_t CallProc(const WindowRec& rec, uint32_t message, uint64_t wParam, int64_t lParam) {
  try {
    return rec.proc(HWND{rec.id, {}}, message, wParam, lParam);
  } catch (const std::exception& e) {
    WindowsLog(Format("Uncaught exception while handling message [%u] of window [%s]: %s",
                      message, rec.title, e.what()));
  } catch (...) {
    WindowsLog(Format("Uncaught exception while handling message [%u] of window [%s]", message,
                      rec.title));
  }
  return 0;
}

// ---- Across processes ----

// What travels, one message a connection, in this machine's byte order
// (only the user's own processes on this machine exchange it). The
// receiving thread answers one status byte.
constexpr uint32_t kMagic = 0x4D585654;  // "TVXM"
constexpr uint32_t kVersion = 1;
struct Wire {
  uint32_t magic;
  uint32_t version;
  uint32_t integrity;
  uint32_t message;
  uint64_t wParam;
  int64_t lParam;
};
enum Status : unsigned char { kTaken = 0, kFiltered = 1, kFull = 2, kGone = 3 };

// How many connections wait for the receiving thread at most; it takes
// them as fast as they come, so this is only a burst's room.
constexpr int kBacklog = 4096;
constexpr int kReplyTimeoutMs = 1000;

// Held shared by a receiving thread from taking a message until it has
// answered, and exclusively by ExitProcessAnswered(): a message taken is
// answered as taken even when its handling ends the process.
std::shared_timed_mutex& AnsweringLock() {
  static auto* lock = new std::shared_timed_mutex;  // outlives every thread
  return *lock;
}

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

bool ReadFully(int fd, void* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, static_cast<char*>(data) + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// A registered class's claim and socket, and the thread that takes what
// other processes post into the window's queue.
struct Endpoint {
  int lock = -1;
  int listener = -1;
  int stop[2] = {-1, -1};
  std::string socket;
  std::thread receiver;

  ~Endpoint() {
    if (stop[1] >= 0) {
      const char c = 0;
      while (::write(stop[1], &c, 1) < 0 && errno == EINTR) {
      }
    }
    if (receiver.joinable()) receiver.join();
    // The socket goes while the class is still held, so no new owner's is
    // removed.
    if (!socket.empty()) ::unlink(socket.c_str());
    for (int fd : {listener, stop[0], stop[1], lock})
      if (fd >= 0) ::close(fd);
  }

  void Receive(uint64_t window) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {stop[0], POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      const int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      timeval timeout{1, 0};
      ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      Wire wire{};
      if (ReadFully(conn, &wire, sizeof wire) && wire.magic == kMagic && wire.version == kVersion) {
        std::shared_lock<std::shared_timed_mutex> answering(AnsweringLock());
        unsigned char status = kTaken;
        if (!LetThrough(wire.message, wire.integrity)) {
          status = kFiltered;
        } else {
          const uint32_t rc = PostLocal(window, wire.message, wire.wParam, wire.lParam);
          status = rc == 0                                   ? kTaken
                   : rc == win32::ERROR_NOT_ENOUGH_QUOTA ? kFull
                                                             : kGone;
        }
        ::send(conn, &status, 1, MSG_NOSIGNAL);
      }
      ::close(conn);
    }
  }
};

uint32_t Claim(const std::string& className, const std::string& runtimeDir,
               std::unique_ptr<Endpoint>* out) {
  std::string lockPath, socketPath;
  if (uint32_t rc = ClassFiles(runtimeDir, className, &lockPath, &socketPath)) return rc;
  sockaddr_un address;
  if (!Address(socketPath, &address)) return win32::ERROR_FILENAME_EXCED_RANGE;
  auto ep = std::make_unique<Endpoint>();
  ep->lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (ep->lock < 0) return Win32FromErrno(errno, lockPath);
  if (::flock(ep->lock, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    return err == EWOULDBLOCK ? win32::ERROR_ALREADY_EXISTS : Win32FromErrno(err, lockPath);
  }
  // The class is ours: a socket an owner that died left behind goes.
  ::unlink(socketPath.c_str());
  ep->listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ep->listener < 0 ||
      ::bind(ep->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return Win32FromErrno(errno, socketPath);
  ep->socket = socketPath;
  if (::listen(ep->listener, kBacklog) != 0 || ::pipe2(ep->stop, O_CLOEXEC) != 0)
    return Win32FromErrno(errno, socketPath);
  *out = std::move(ep);
  return win32::ERROR_SUCCESS;
}

uint32_t PostRemote(const std::string& socket, uint32_t message, uint64_t wParam, int64_t lParam) {
  sockaddr_un address;
  if (!Address(socket, &address)) return win32::ERROR_INVALID_WINDOW_HANDLE;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Win32FromErrno(errno);
  const Wire wire{kMagic, kVersion, static_cast<uint32_t>(ProcessIntegrity()), message, wParam,
                  lParam};
  uint32_t rc = win32::ERROR_SUCCESS;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    rc = err == EAGAIN || err == EWOULDBLOCK      ? win32::ERROR_NOT_ENOUGH_QUOTA
         : err == ECONNREFUSED || err == ENOENT ? win32::ERROR_INVALID_WINDOW_HANDLE
                                                  : Win32FromErrno(err);
  } else if (::send(fd, &wire, sizeof wire, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof wire)) {
    rc = win32::ERROR_INVALID_WINDOW_HANDLE;
  } else {
    pollfd p{fd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&p, 1, kReplyTimeoutMs)) < 0 && errno == EINTR) {
    }
    unsigned char status = kGone;
    if (ready == 0) {
      rc = win32::ERROR_TIMEOUT;
    } else if (::recv(fd, &status, 1, 0) != 1) {
      rc = win32::ERROR_INVALID_WINDOW_HANDLE;
    } else {
      rc = status == kTaken      ? win32::ERROR_SUCCESS
           : status == kFiltered ? win32::ERROR_ACCESS_DENIED
           : status == kFull     ? win32::ERROR_NOT_ENOUGH_QUOTA
                                 : win32::ERROR_INVALID_WINDOW_HANDLE;
    }
  }
  ::close(fd);
  return rc;
}

}  // namespace

// ---- Windows ----

void ExitProcessAnswered(int code) {
  // A receiving thread that hangs on a peer must not keep the process alive.
  (void)AnsweringLock().try_lock_for(std::chrono::milliseconds(kReplyTimeoutMs));
  std::fflush(nullptr);
  std::_Exit(code);
}

uint32_t RegisterClass(const std::string& className, WindowProc proc) {
  std::lock_guard<std::mutex> guard(WindowsLock());
  if (!Classes().emplace(className, std::move(proc)).second)
    return win32::ERROR_CLASS_ALREADY_EXISTS;
  return win32::ERROR_SUCCESS;
}

bool UnregisterClass(const std::string& className) {
  std::lock_guard<std::mutex> guard(WindowsLock());
  for (const auto& [id, rec] : Windows())
    if (rec->className == className) return false;
  return Classes().erase(className) != 0;
}

uint32_t CreateWindow(const std::string& className, const std::string& title, HWND* out,
                      const std::string& runtimeDir) {
  *out = HWND{};
  WindowProc proc;
  {
    std::lock_guard<std::mutex> guard(WindowsLock());
    auto it = Classes().find(className);
    if (it == Classes().end()) return win32::ERROR_CANNOT_FIND_WND_CLASS;
    proc = it->second;
  }
  auto rec = std::make_shared<WindowRec>();
  if (uint32_t rc = Claim(className, runtimeDir, &rec->endpoint)) return rc;
  rec->id = nextWindowId++;
  rec->className = className;
  rec->title = title;
  rec->proc = std::move(proc);
  rec->queue = CurrentQueue();
  {
    std::lock_guard<std::mutex> guard(WindowsLock());
    Windows()[rec->id] = rec;
  }
  Endpoint* ep = rec->endpoint.get();
  const uint64_t id = rec->id;
  ep->receiver = std::thread([ep, id] { ep->Receive(id); });
  *out = HWND{rec->id, {}};
  return win32::ERROR_SUCCESS;
}

HWND CreateLocalWindow(const std::string& title, WindowProc proc) {
  auto rec = std::make_shared<WindowRec>();
  rec->id = nextWindowId++;
  rec->title = title;
  rec->proc = std::move(proc);
  rec->queue = CurrentQueue();
  std::lock_guard<std::mutex> guard(WindowsLock());
  Windows()[rec->id] = rec;
  return HWND{rec->id, {}};
}

bool DestroyWindow(const HWND& window) {
  if (!window.local) return false;
  std::shared_ptr<WindowRec> rec = Lookup(window.local);
  if (!rec) return false;
  CallProc(*rec, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> guard(WindowsLock());
    if (!Windows().erase(rec->id)) return false;  // destroyed while it handled WM_DESTROY
  }
  {
    ThreadQueue& q = *rec->queue;
    std::lock_guard<std::mutex> guard(q.m);
    rec->destroyed = true;
    std::erase_if(q.posted, [&](const MSG& m) { return m.hwnd.local == rec->id; });
    std::erase_if(q.timers, [&](const Timer& t) { return t.window == rec->id; });
  }
  rec->endpoint.reset();
  return true;
}

bool IsWindow(const HWND& window) {
  return window.local ? Lookup(window.local) != nullptr : !window.remote.empty();
}

HWND FindWindow(const std::string& className, const std::string& runtimeDir) {
  {
    std::lock_guard<std::mutex> guard(WindowsLock());
    for (const auto& [id, rec] : Windows())
      if (rec->className == className) return HWND{id, {}};
  }
  std::string lockPath, socketPath;
  if (ClassFiles(runtimeDir, className, &lockPath, &socketPath) != 0) return {};
  const int lock = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (lock < 0) return {};
  // Nobody owns a class whose lock can be taken.
  const bool owned = ::flock(lock, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(lock);
  if (!owned) return {};
  return HWND{0, socketPath};
}

std::string GetWindowText(const HWND& window) {
  std::shared_ptr<WindowRec> rec = window.local ? Lookup(window.local) : nullptr;
  return rec ? rec->title : std::string();
}

std::vector<HWND> EnumThreadWindows() {
  const std::shared_ptr<ThreadQueue>& mine = CurrentQueue();
  std::vector<HWND> out;
  std::lock_guard<std::mutex> guard(WindowsLock());
  for (const auto& [id, rec] : Windows())
    if (!rec->className.empty() && rec->queue == mine) out.push_back(HWND{id, {}});
  return out;
}

// ---- Messages ----

uint32_t PostMessage(const HWND& window, uint32_t message, uint64_t wParam, int64_t lParam) {
  if (window.local) return PostLocal(window.local, message, wParam, lParam);
  if (window.remote.empty()) return win32::ERROR_INVALID_WINDOW_HANDLE;
  return PostRemote(window.remote, message, wParam, lParam);
}

uint32_t PostThreadMessage(uint32_t thread, uint32_t message, uint64_t wParam, int64_t lParam) {
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> guard(QueuesLock());
    auto it = Queues().find(thread);
    if (it != Queues().end()) q = it->second.lock();
  }
  if (!q) return win32::ERROR_INVALID_THREAD_ID;
  return Enqueue(*q, MSG{{}, message, wParam, lParam});
}

void PostQuitMessage(int exitCode) {
  ThreadQueue& q = *CurrentQueue();
  {
    std::lock_guard<std::mutex> guard(q.m);
    q.quit = true;
    q.quitCode = exitCode;
  }
  q.cv.notify_all();
}

int64_t SendMessage(const HWND& window, uint32_t message, uint64_t wParam, int64_t lParam) {
  std::shared_ptr<WindowRec> rec = window.local ? Lookup(window.local) : nullptr;
  if (!rec || rec->queue != CurrentQueue()) return 0;
  return CallProc(*rec, message, wParam, lParam);
}

int GetMessage(MSG* msg) {
  Next(*CurrentQueue(), msg, true, true, Clock::time_point::max());
  return msg->message == WM_QUIT ? 0 : 1;
}

bool PeekMessage(MSG* msg, bool remove) {
  return Next(*CurrentQueue(), msg, remove, false, Clock::now());
}

bool WaitMessage(uint32_t timeoutMs) {
  MSG msg;
  const Clock::time_point deadline = timeoutMs == 0xFFFFFFFFu
                                         ? Clock::time_point::max()
                                         : Clock::now() + std::chrono::milliseconds(timeoutMs);
  return Next(*CurrentQueue(), &msg, false, true, deadline);
}

int64_t DispatchMessage(const MSG& msg) {
  std::shared_ptr<WindowRec> rec = msg.hwnd.local ? Lookup(msg.hwnd.local) : nullptr;
  if (!rec) return 0;
  return CallProc(*rec, msg.message, msg.wParam, msg.lParam);
}

int64_t DefWindowProc(const HWND& window, uint32_t message, uint64_t, int64_t) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

bool SetTimer(const HWND& window, uint64_t id, uint32_t intervalMs) {
  std::shared_ptr<WindowRec> rec = window.local ? Lookup(window.local) : nullptr;
  if (!rec) return false;
  ThreadQueue& q = *rec->queue;
  {
    std::lock_guard<std::mutex> guard(q.m);
    if (rec->destroyed) return false;
    const auto interval = std::chrono::milliseconds(intervalMs);
    std::erase_if(q.timers, [&](const Timer& t) { return t.window == rec->id && t.id == id; });
    q.timers.push_back(Timer{rec->id, id, interval, Clock::now() + interval});
  }
  q.cv.notify_all();
  return true;
}

bool KillTimer(const HWND& window, uint64_t id) {
  std::shared_ptr<WindowRec> rec = window.local ? Lookup(window.local) : nullptr;
  if (!rec) return false;
  ThreadQueue& q = *rec->queue;
  std::lock_guard<std::mutex> guard(q.m);
  return std::erase_if(q.timers,
                       [&](const Timer& t) { return t.window == rec->id && t.id == id; }) != 0;
}

uint32_t GetCurrentThreadId() {
  if (threadId == 0) threadId = nextThreadId++;
  return threadId;
}

bool RunNestedLoop(const std::function<bool()>& done) {
  MSG msg;
  while (!done()) {
    if (GetMessage(&msg) == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    DispatchMessage(msg);
  }
  return true;
}

// ---- Integrity and the filter ----

Integrity ProcessIntegrity() {
  int level = integrity.load();
  if (level == 0) {
    const char* env = std::getenv("TARVEX_INTEGRITY");
    level = env && std::strcmp(env, "low") == 0 ? static_cast<int>(Integrity::Low)
                                                : static_cast<int>(Integrity::Medium);
    int expected = 0;
    if (!integrity.compare_exchange_strong(expected, level)) level = expected;
  }
  return static_cast<Integrity>(level);
}

void SetProcessIntegrity(Integrity level) {
  integrity = static_cast<int>(level);
}

bool ChangeWindowMessageFilter(uint32_t message, uint32_t action) {
  std::lock_guard<std::mutex> guard(FilterLock());
  if (action == MSGFLT_ADD) {
    Allowed().insert(message);
    return true;
  }
  if (action == MSGFLT_REMOVE) {
    Allowed().erase(message);
    return true;
  }
  return false;
}

// ---- Wiring ----

void SetWindowsLog(std::function<void(const std::string& line)> log) {
  std::lock_guard<std::mutex> guard(LogLock());
  LogSink() = std::move(log);
}

void WindowsLog(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> guard(LogLock());
    sink = LogSink();
  }
  if (sink)
    sink(line);
  else
    std::fprintf(stderr, "tarvex: %s\n", line.c_str());
}

void SetQueueLimit(size_t limit) {
  queueLimit = limit;
}

}  // namespace tarvex
