#include "ie/shell/FavoritesWatcher.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "platform/Win32Error.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/win/ChangeNotification.h"
#include "platform/win/NamedEvent.h"
#include "platform/win/NamedMutex.h"
#include "platform/win/Waitable.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using Steady = std::chrono::steady_clock;

// File names, folder names and last writes (11).
constexpr uint32_t kWatchFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
// How long one wait for the sync mutex lasts before the thread looks whether
// it is asked to stop.
constexpr uint32_t kMutexSliceMs = 100;

constexpr const char* kNoSyncHandle = "Unable to get sync handle in observer function";

// The thread's own stop signal: set once, stays set.
class StopEvent : public Waitable {
 public:
  StopEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), error_(fd_ < 0 ? errno : 0) {}
  ~StopEvent() override {
    if (fd_ >= 0) ::close(fd_);
  }
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  // 0, or the errno of the descriptor that could not be made.
  int error() const { return error_; }
  void Set() {
    set_ = true;
    const uint64_t one = 1;
    if (::write(fd_, &one, sizeof one) < 0) {
      // Already readable (the counter is full): waiters wake anyway.
    }
  }
  int Descriptor() const override { return fd_; }
  bool Signalled() override { return set_; }

 private:
  int fd_;
  int error_;
  std::atomic<bool> set_{false};
};

// A failed step of a round: the line that tells of it.
struct RoundFailure {
  std::string line;
};

// Releases the sync mutex at the end of the scope, however it ends.
class MutexRelease {
 public:
  explicit MutexRelease(NamedMutex& mutex) : mutex_(mutex) {}
  ~MutexRelease() { ReleaseMutex(mutex_); }
  MutexRelease(const MutexRelease&) = delete;
  MutexRelease& operator=(const MutexRelease&) = delete;

 private:
  NamedMutex& mutex_;
};

bool Acquired(uint32_t wait) {
  // An abandoned mutex is owned all the same.
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

}  // namespace

struct FavoritesWatcher::Core {
  Core(Settings& s, Logger& l, Clock& c, std::string dir, Post p, WatcherOptions o)
      : settings(s),
        logger(l),
        clock(c),
        favoritesDir(std::move(dir)),
        post(std::move(p)),
        options(std::move(o)) {}

  void Run();
  // One round: watch, wait, act on what woke the thread. False once asked
  // to stop. Throws RoundFailure.
  bool Round();

  std::shared_ptr<NamedMutex> OpenSyncMutex();
  std::unique_ptr<NamedEvent> OpenObserverEvent();
  void Send(uint64_t command);

  // Posts what is due: a change kept for later once the quiet time is over,
  // and the tick once its time has come.
  void DeliverDue();
  // A change seen just now (`fresh`) or one kept from before.
  void TakeChange(bool fresh);
  void Tick();
  enum class Taken { kYes, kStopped, kFailed };
  // Waits until this thread owns the sync mutex, looking for the stop
  // signal in between.
  Taken WaitForSyncMutex();
  // Seconds until the browser's start and the last sync both lie more than
  // the quiet time in the past; 0 when they do.
  int64_t QuietLeft();
  uint32_t WaitMs();
  // Waits `ms` for the stop signal: false when it came.
  bool Pause(uint32_t ms);

  Settings& settings;
  Logger& logger;
  Clock& clock;
  const std::string favoritesDir;
  const Post post;
  const WatcherOptions options;

  StopEvent stop;
  std::mutex doneLock;
  std::condition_variable doneSignal;
  bool done = false;

  // The thread's own state.
  std::shared_ptr<NamedMutex> mutex;
  bool pending = false;  // a change seen inside the quiet time, not posted yet
  Steady::time_point nextTick;
};

std::shared_ptr<NamedMutex> FavoritesWatcher::Core::OpenSyncMutex() {
  std::shared_ptr<NamedMutex> opened;
  if (uint32_t rc = NamedMutex::Open(kSyncMutexName, &opened, options.runtimeDir)) {
    const std::string text = Format("Error getting mutex [%s]", kSyncMutexName);
    logger.Error(text);
    throw VelkException("windows", static_cast<int32_t>(rc), text);
  }
  return opened;
}

std::unique_ptr<NamedEvent> FavoritesWatcher::Core::OpenObserverEvent() {
  std::string path;
  uint32_t rc = PrepareKernelObject(options.runtimeDir, kObserverEventName, "event", &path);
  bool existed = true;
  if (rc == 0) {
    std::error_code ec;
    existed = std::filesystem::exists(path, ec);
    std::unique_ptr<NamedEvent> event;
    rc = NamedEvent::Open(kObserverEventName, /*manualReset=*/true, &event, options.runtimeDir);
    if (rc == 0) return event;
  }
  // Failing to make it gives no handle; failing to open what exists throws.
  if (!existed) return nullptr;
  const std::string text = Format("Error getting event [%s]", kObserverEventName);
  logger.Error(text);
  throw VelkException("windows", static_cast<int32_t>(rc), text);
}

void FavoritesWatcher::Core::Send(uint64_t command) {
  if (uint32_t rc = post(command))
    throw VelkException("windows", static_cast<int32_t>(rc), "Unable to post message");
}

int64_t FavoritesWatcher::Core::QuietLeft() {
  const int64_t now = clock.Now();
  const int64_t quiet = options.quietSeconds;
  int64_t left = 0;
  for (const char* key : {"iestartuptime", "lastsync"}) {
    // Compared as the 32-bit times they once were: a time ahead of now
    // counts as within the quiet time.
    const int64_t then = settings.GetInt64(key, 0);
    const int32_t since = static_cast<int32_t>(static_cast<uint32_t>(now - then));
    if (since <= quiet) left = std::max(left, quiet + 1 - since);
  }
  return left;
}

FavoritesWatcher::Core::Taken FavoritesWatcher::Core::WaitForSyncMutex() {
  for (;;) {
    const uint32_t wait = WaitForSingleObject(*mutex, kMutexSliceMs);
    if (Acquired(wait)) return Taken::kYes;
    if (wait != WAIT_TIMEOUT) return Taken::kFailed;
    // Someone else holds it: a sync runs, which takes in whatever changed
    // before it, so a change kept for later is done with.
    pending = false;
    if (stop.Signalled()) return Taken::kStopped;
  }
}

void FavoritesWatcher::Core::TakeChange(bool fresh) {
  if (fresh) pending = true;
  const uint32_t wait = WaitForSingleObject(*mutex, 0);
  if (wait == WAIT_TIMEOUT) {
    // A sync runs: the change is its own doing, or it takes it in.
    pending = false;
    return;
  }
  if (!Acquired(wait)) throw RoundFailure{kNoSyncHandle};
  MutexRelease release(*mutex);
  if (QuietLeft() > 0) return;  // kept until the quiet time is over
  try {
    Send(kCommandLocalChange);
  } catch (const VelkException& e) {
    throw RoundFailure{Format("Error sending local change observer message: %s", e.ToString())};
  }
  pending = false;
}

void FavoritesWatcher::Core::Tick() {
  try {
    Send(kActionTick);
  } catch (const VelkException& e) {
    throw RoundFailure{Format("Error sending autosync message: %s", e.ToString())};
  }
  nextTick = Steady::now() + std::chrono::milliseconds(options.tickMs);
}

void FavoritesWatcher::Core::DeliverDue() {
  if (pending && QuietLeft() == 0) TakeChange(false);
  if (Steady::now() >= nextTick) Tick();
}

uint32_t FavoritesWatcher::Core::WaitMs() {
  int64_t ms = std::chrono::ceil<std::chrono::milliseconds>(nextTick - Steady::now()).count();
  // The clock counts whole seconds: a wake a little early looks again.
  if (pending) ms = std::min(ms, QuietLeft() * 1000);
  return static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, INFINITE - 1));
}

bool FavoritesWatcher::Core::Pause(uint32_t ms) {
  const uint32_t woke = WaitForMultipleObjects({&stop}, ms);
  if (woke == WAIT_FAILED) {
    // Cannot wait on the signal: look for it now and then instead.
    const auto until = Steady::now() + std::chrono::milliseconds(ms);
    while (!stop.Signalled() && Steady::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(kMutexSliceMs));
  }
  return !stop.Signalled();
}

bool FavoritesWatcher::Core::Round() {
  logger.Log("Attaching observers");
  if (!mutex) {
    try {
      mutex = OpenSyncMutex();
    } catch (const VelkException& e) {
      throw RoundFailure{
          Format("TarvexException when getting sync mutex in observer function: %s", e.ToString())};
    }
  }
  // What a failed round held up.
  DeliverDue();

  std::unique_ptr<ChangeNotification> notification;
  if (uint32_t rc =
          ChangeNotification::Create(favoritesDir, /*subtree=*/true, kWatchFilter, &notification))
    throw RoundFailure{
        VelkException("windows", static_cast<int32_t>(rc), "Unable to create filesystem observer")
            .ToString()};

  std::unique_ptr<NamedEvent> event;
  try {
    event = OpenObserverEvent();
    if (!event) throw VelkException("internal", kErrImpossible, "watchHandle is NULL");
  } catch (const VelkException& e) {
    throw RoundFailure{Format("Unable to create handle for suspend watch: %s", e.ToString())};
  }

  const uint32_t waitMs = WaitMs();
  if (options.waiting) options.waiting();
  const uint32_t woke = WaitForMultipleObjects({&stop, notification.get(), event.get()}, waitMs);
  const int waitErrno = errno;
  switch (woke) {
    case WAIT_OBJECT_0:
      return false;
    case WAIT_OBJECT_0 + 1:
      TakeChange(true);
      break;
    case WAIT_OBJECT_0 + 2: {
      // A sync asks the watcher to step aside: wait for its end.
      const Taken taken = WaitForSyncMutex();
      if (taken == Taken::kStopped) return false;
      if (taken == Taken::kFailed) throw RoundFailure{kNoSyncHandle};
      ReleaseMutex(*mutex);
      if (uint32_t rc = ResetEvent(*event))
        throw RoundFailure{Format("Unable to reset the suspend watch event [%d]", rc)};
      break;
    }
    case WAIT_TIMEOUT:
      break;
    default:
      throw RoundFailure{Format("Invalid status while waiting for observers [%d,%d]",
                                static_cast<int32_t>(woke), Win32FromErrno(waitErrno))};
  }
  DeliverDue();

  // Watch again only once no sync runs.
  const Taken taken = WaitForSyncMutex();
  if (taken == Taken::kStopped) return false;
  if (taken == Taken::kFailed) throw RoundFailure{kNoSyncHandle};
  ReleaseMutex(*mutex);
  return true;
}

void FavoritesWatcher::Core::Run() {
  nextTick = Steady::now() + std::chrono::milliseconds(options.tickMs);
  while (!stop.Signalled()) {
    std::string failure;
    try {
      if (!Round()) break;
      continue;
    } catch (const RoundFailure& f) {
      failure = f.line;
    } catch (const std::exception& e) {
      failure = Format("Error in the Favorites watcher: %s", e.what());
    }
    logger.Error(failure);
    if (!Pause(options.retryMs)) break;
  }
  std::lock_guard<std::mutex> guard(doneLock);
  done = true;
  doneSignal.notify_all();
}

FavoritesWatcher::FavoritesWatcher(Settings& settings, Logger& logger, Clock& clock,
                                   std::string favoritesDir, Post post, WatcherOptions options)
    : core_(std::make_shared<Core>(settings, logger, clock, std::move(favoritesDir),
                                   std::move(post), std::move(options))) {}

FavoritesWatcher::~FavoritesWatcher() {
  Stop();
}

uint32_t FavoritesWatcher::Start() {
  if (thread_.joinable() || core_->stop.Signalled()) return win32::ERROR_INVALID_FUNCTION;
  if (core_->stop.error()) return Win32FromErrno(core_->stop.error());
  try {
    // The thread keeps the core alive, should Stop() have to leave it.
    thread_ = std::thread([core = core_] { core->Run(); });
  } catch (const std::system_error& e) {
    return Win32FromErrno(e.code().value());
  }
  return win32::ERROR_SUCCESS;
}

void FavoritesWatcher::Stop() {
  core_->stop.Set();
  if (!thread_.joinable()) return;
  bool ended;
  {
    std::unique_lock<std::mutex> lock(core_->doneLock);
    ended = core_->doneSignal.wait_for(lock, std::chrono::milliseconds(core_->options.stopMs),
                                       [&] { return core_->done; });
  }
  if (ended) {
    thread_.join();
  } else {
    core_->logger.Error("The Favorites watcher did not stop in time");
    thread_.detach();
  }
}

}  // namespace tarvex
