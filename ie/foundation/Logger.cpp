#include "ie/foundation/Logger.h"

#include "ie/foundation/core/Paths.h"
#include "platform/Win32Error.h"
#include "platform/registry/Registry.h"
#include "text/Text.h"

namespace tarvex {

Logger::Logger(std::string path, FileSystem& fs, Clock& clock)
    : path_(std::move(path)), fs_(fs), clock_(clock) {
  Open(false);
  Log("-------- New Tarvex Favorites Sync instance started --------");
}

Logger& Logger::GetInstance() {
  static Logger* logger =
      new Logger(JoinPath(UserDirFromRegistry(Registry::Process()), kLogFileName));
  return *logger;
}

void Logger::Log(std::string_view text) {
  if (level.load(std::memory_order_relaxed) >= 2) Write(text);
}

void Logger::Error(std::string_view text) {
  if (level.load(std::memory_order_relaxed) >= 1) Write(text);
}

void Logger::LogW(std::u16string_view text) {
  if (level.load(std::memory_order_relaxed) > 1) Write(Utf16ToUtf8Whole(text));
}

void Logger::ErrorW(std::u16string_view text) {
  if (level.load(std::memory_order_relaxed) > 0) Write(Utf16ToUtf8Whole(text));
}

void Logger::Open(bool truncate) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  OpenLocked(truncate);
}

void Logger::OpenLocked(bool truncate) {
  if (stream_ || shutDown_ || path_.empty()) return;
  std::string folder = FolderOfPath(path_);
  if (!folder.empty()) fs_.CreateDirectories(folder, 0700);
  std::unique_ptr<WritableFile> file;
  if (fs_.OpenForAppend(path_, truncate, &file) == 0) stream_ = std::move(file);
}

void Logger::Close() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (stream_) {
    stream_->Close();
    stream_.reset();
  }
}

bool Logger::Clear() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (shutDown_) return false;
  if (stream_) {
    stream_->Close();
    stream_.reset();
  }
  OpenLocked(true);
  if (!stream_) {
    OpenLocked(false);
    return false;
  }
  size_ = 0;
  Write("-------- Tarvex Favorites Sync: log file cleared --------");
  return true;
}

void Logger::Shutdown() {
  Log("-------- Tarvex Favorites Sync is shutting down; turning off logging --------");
  std::lock_guard<std::recursive_mutex> guard(lock_);
  shutDown_ = true;
  if (stream_) {
    stream_->Close();
    stream_.reset();
  }
}

bool Logger::TryClose() {
  std::unique_lock<std::recursive_mutex> guard(lock_, std::try_to_lock);
  if (!guard.owns_lock()) return false;
  if (stream_) {
    stream_->Close();
    stream_.reset();
  }
  return true;
}

void Logger::Write(std::string_view text) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!stream_) return;
  int64_t now = clock_.Now();
  bool cut = false;
  if (now - lastSizeCheck_ > kSizeCheckSeconds) {
    lastSizeCheck_ = now;
    uint64_t size = 0;
    uint32_t rc = fs_.GetSize(path_, &size);
    if (rc == win32::ERROR_FILE_NOT_FOUND || rc == win32::ERROR_PATH_NOT_FOUND) {
      // Someone removed the file under us: start a new one at the path.
      stream_->Close();
      stream_.reset();
      OpenLocked(false);
      size = 0;
    } else if (rc == 0 && size > maxBytes) {
      stream_->Close();
      stream_.reset();
      OpenLocked(true);
      cut = true;
      size = 0;
    }
    size_ = size;
    if (!stream_) return;
  }
  // The time text of a second is made once.
  if (now != timeSecond_) {
    timeSecond_ = now;
    timeText_ = FormatCTime(now);
  }
  if (!cut && size_ > maxBytes) {
    // The lines written since the last check took the log past its limit:
    // it is emptied now, not at the next check.
    stream_->Close();
    stream_.reset();
    OpenLocked(true);
    if (!stream_) return;
    cut = true;
    size_ = 0;
  }
  std::string line;
  if (cut) line = timeText_ + ": -------- Truncated large log file --------\n";
  line.append(timeText_).append(": ").append(text).append("\n");
  stream_->Write(line);
  stream_->Flush();
  size_ += line.size();
}

void CloseLogFile() {
  Logger::GetInstance().TryClose();
}

}  // namespace tarvex
