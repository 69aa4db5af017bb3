// The Favorites watcher: a thread of the client that watches the Favorites
// tree and tells the hidden window through WM_COMMAND posts:
//  - kCommandLocalChange (1074) when something below the folder changed,
//    once per round of watching, provided the browser's start
//    (`iestartuptime`) and the last sync (`lastsync`) both lie more than the
//    quiet time (5 s) in the past. A change inside the quiet time is kept
//    and posted once the quiet time is over (the wait is cut short for it);
//  - kActionTick (1537) every tick (300 s): the next tick is due a tick
//    after the last one, whatever else wakes the thread meanwhile.
//
// It shares two named objects of the user's runtime folder with the code
// that syncs:
//  - the mutex "Global\kvsyncmutex", held around every sync. A change seen
//    while someone else holds it is the sync's own doing and is ignored
//    (and so is a change kept for later: that sync takes it in); after every
//    wake the watcher waits until nobody holds it before watching again.
//    WAIT_ABANDONED counts as taken; the watcher never keeps it past a step,
//    even when a post fails;
//  - the manual-reset event "Global\kvobserverthreadevent", set by the
//    syncing code so that the watcher steps aside: it waits for the mutex
//    (the sync's end), then resets the event.
//
// A failing step (the folder missing, a post refused, an object that cannot
// be opened) is logged, and the watcher tries again after the retry delay.
// It ends only through Stop(), which wakes every wait of the thread and
// joins it; the program stops it before its log and settings go away.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ie/shell/Resources.h"

namespace tarvex {

class Clock;
class Logger;
class Settings;


struct WatcherOptions {
  uint32_t tickMs = 300000;  // between automatic-sync ticks
  int quietSeconds = 5;      // after the browser's start and the last sync
  uint32_t retryMs = 60000;  // after a failed step
  uint32_t stopMs = 10000;   // how long Stop() waits for the thread
  std::string runtimeDir;    // of the named objects; empty: the process's
  // Called on the watcher's thread each time the change notification is in
  // place and the thread is about to wait (tests use it to know when a
  // change will be seen).
  std::function<void()> waiting;
};

class FavoritesWatcher {
 public:
  // Posts WM_COMMAND with the command to the hidden window: 0 or the Win32
  // code of the failure.
  using Post = std::function<uint32_t(uint64_t command)>;

  // `settings`, `logger` and `clock` must outlive the watcher's thread.
  FavoritesWatcher(Settings& settings, Logger& logger, Clock& clock, std::string favoritesDir,
                   Post post, WatcherOptions options = {});
  ~FavoritesWatcher();
  FavoritesWatcher(const FavoritesWatcher&) = delete;
  FavoritesWatcher& operator=(const FavoritesWatcher&) = delete;

  // Starts the thread: 0, or the Win32 code of the failure. Once only.
  uint32_t Start();
  // Wakes the thread and joins it, waiting at most `stopMs` (a thread that
  // does not end by then is logged and left to end on its own).
  void Stop();

  struct Core;

 private:
  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace tarvex
