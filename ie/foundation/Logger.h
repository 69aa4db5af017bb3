// The process-wide log "tarvex.log": one line per call, the local time,
// ": " and the text, flushed at once; emptied at the first line after it
// passed 20,000,000 bytes (the file's size is read at most once an hour; in
// between the logger counts what it writes itself). Level 1 logs errors only,
// 2 (the default) adds information, 3 or more adds debugging extras.
//
// The log finds its folder from the registry value `userdir` directly (else
// the temporary folder), never through the settings object, so the two can
// be built in either order. The process-wide logger is never destroyed:
// threads that outlive main() may still log. Shutdown() writes the last line
// and closes the file; lines after it are dropped. The logger never throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"

namespace tarvex {

class Logger {
 public:
  static constexpr uint64_t kMaxLogBytes = 20'000'000;
  static constexpr int64_t kSizeCheckSeconds = 3600;

  // Opens `path` (appending) and writes the start line. An empty path or a
  // file that cannot be opened leaves the log closed: lines are dropped.
  Logger(std::string path, FileSystem& fs = FileSystem::Native(), Clock& clock = Clock::System());
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The process-wide logger, over the registry's `userdir`.
  static Logger& GetInstance();

  void Log(std::string_view text);    // when level >= 2
  void Error(std::string_view text);  // when level >= 1
  void LogW(std::u16string_view text);
  void ErrorW(std::u16string_view text);

  // Opens the file when it is not open (creating its folder); `truncate`
  // empties it.
  void Open(bool truncate);
  void Close();
  // Empties the log file (the user's "Clear log file") and writes the line
  // that says so, as one step under the lock: no other thread's line falls
  // in between. False when the file could not be emptied: the log then goes
  // on appending to what it held. Does nothing after Shutdown().
  bool Clear();
  // Writes the shutting-down line and closes the file for good.
  void Shutdown();
  // For the crash path: closes the file unless another thread holds the
  // lock (the crash may have happened inside a write); then each line is
  // already on disk anyway. Returns whether it closed.
  bool TryClose();

  const std::string& path() const { return path_; }

  std::atomic<int> level{2};
  // The size past which the log is emptied; set before the log is used.
  uint64_t maxBytes = kMaxLogBytes;

 private:
  void Write(std::string_view text);
  void OpenLocked(bool truncate);

  std::string path_;
  FileSystem& fs_;
  Clock& clock_;
  std::recursive_mutex lock_;
  std::unique_ptr<WritableFile> stream_;
  int64_t lastSizeCheck_ = 0;
  uint64_t size_ = 0;  // the file's size as of the last check, plus what was written since
  int64_t timeSecond_ = INT64_MIN;  // the second `timeText_` was made for
  std::string timeText_;
  bool shutDown_ = false;
};

// Closes the process-wide log file so that another program can copy it
// (the crash callback calls it); never blocks.
void CloseLogFile();

}  // namespace tarvex
