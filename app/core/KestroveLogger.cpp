#include "app/core/KestroveLogger.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/KestroveSettings.h"
#include "platform/clock/Clock.h"
#include "platform/mac/System.h"
#include "text/Text.h"

namespace tarvex {

KestroveLogger& KestroveLogger::instance() {
  // Never destroyed: script threads may still log while the process ends.
  static KestroveLogger* shared = new KestroveLogger(mac::ExpandTilde(kestroveLogPath));
  return *shared;
}

KestroveLogger::KestroveLogger(std::string path, Console console, Clock* clock)
    : path_(std::move(path)), console_(std::move(console)), clock_(clock ? clock : &Clock::System()) {
  clearLogIfTooLarge();
}

KestroveLogger::~KestroveLogger() { CloseLocked(); }

void KestroveLogger::ConsoleLine(const std::string& line) {
  if (console_)
    console_(line);
  else
    mac::ConsoleLog(line);
}

void KestroveLogger::error(const std::string& text) {
  if (!inErrorMode()) return;
  logWithPrefix(text, "Error:");
  ConsoleLine("TarvexLogger Error: " + SanitizeUtf8(text));
}

void KestroveLogger::warn(const std::string& text) {
  if (inWarnMode()) logWithPrefix(text, "Warning:");
}

void KestroveLogger::debug(const std::string& text) {
  if (inDebugMode()) logWithPrefix(text, "Debug:");
}

void KestroveLogger::info(const std::string& text) { logWithPrefix(text, "Info:"); }

void KestroveLogger::assertWithMessage(bool flag, const std::string& text) {
  if (flag) return;
  error("Assertion error!");
  error(text);
}

bool KestroveLogger::inErrorMode() { return matchLogLevel("error"); }
bool KestroveLogger::inWarnMode() { return matchLogLevel("warn"); }
bool KestroveLogger::inDebugMode() { return matchLogLevel("debug"); }

bool KestroveLogger::matchLogLevel(const std::string& level) {
  std::lock_guard lock(mutex_);
  if (level == "error") return true;
  if (level == "warn") return logLevel_ == "warn" || logLevel_ == "debug";
  if (level == "debug") return logLevel_ == "debug";
  return false;
}

void KestroveLogger::setLogLevel(const std::string& level) {
  std::lock_guard lock(mutex_);
  logLevel_ = level;
}

void KestroveLogger::setEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  isEnabled_ = enabled;
}

std::string KestroveLogger::logLevel() {
  std::lock_guard lock(mutex_);
  return logLevel_;
}

bool KestroveLogger::isEnabled() {
  std::lock_guard lock(mutex_);
  return isEnabled_;
}

void KestroveLogger::updateFromSettings() { updateFromSettings(KestroveSettings::instance()); }

void KestroveLogger::updateFromSettings(KestroveSettings& settings) {
  // The settings are asked before the logger's lock is taken: their lock
  // always comes first.
  std::string level = settings.getString(settingLogLevel).value_or("");
  bool enabled = settings.getBoolean(settingEnableLogging);
  setLogLevel(level.empty() ? "error" : level);
  setEnabled(enabled);
}

void KestroveLogger::logWithPrefix(const std::string& text, const std::string& prefix) {
  std::lock_guard lock(mutex_);
  if (!isEnabled_) return;
  if (fd_ < 0) ClearIfTooLargeLocked();  // a log that grew while it was closed
  if (fd_ < 0 && !OpenLocked()) return;
  WriteLineLocked(text, prefix);
  if (writtenSinceCheck_ >= kCheckEvery) ClearIfTooLargeLocked();
}

void KestroveLogger::clearLogIfTooLarge() {
  std::lock_guard lock(mutex_);
  ClearIfTooLargeLocked();
}

bool KestroveLogger::ClearIfTooLargeLocked() {
  writtenSinceCheck_ = 0;
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0 || static_cast<std::uintmax_t>(st.st_size) <= kMaxLogSize) return false;
  ::unlink(path_.c_str());
  CloseLocked();
  if (isEnabled_ && OpenLocked()) WriteLineLocked("Cleared previous log file to save disk space", "Info:");
  return true;
}

bool KestroveLogger::OpenLocked() {
  if (fd_ >= 0) return true;
  mac::EnsureFolder(mac::FolderOf(path_), 0700);
  // Appending, so a log emptied meanwhile goes on at its end.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    ConsoleLine("Unable to open log file");
    return false;
  }
  return true;
}

void KestroveLogger::CloseLocked() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

void KestroveLogger::WriteLineLocked(const std::string& text, const std::string& prefix) {
  std::string line = mac::DateDescription(clock_->Now()) + ": " + prefix + " " + SanitizeUtf8(text) + "\n";
  struct stat st;
  off_t before = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done < line.size()) {
    if (done > 0 && before >= 0) ::ftruncate(fd_, before);  // no half line stays
    ConsoleLine("Log file close error");
    CloseLocked();  // the next line opens it again
    return;
  }
  writtenSinceCheck_ += line.size();
}

}  // namespace tarvex
