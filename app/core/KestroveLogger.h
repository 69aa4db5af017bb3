// The agent's log: UTF-8 lines "DATE: PREFIX TEXT" appended to
// ~/Library/Tarvex/tarvex.log.txt. One shared logger (instance()) serves the
// engine's port layer and the scripts; tests make loggers of their own on a
// path, with their own console and clock.
//
// Levels: "error" (the level at creation), "warn" and "debug". error() also
// writes "TarvexLogger Error: TEXT" to the console; info() writes at every
// level. A log larger than kMaxLogSize bytes is deleted when the logger is
// made, when it opens the file again and after every kCheckEvery bytes it
// wrote, so an agent that runs for days keeps its log bounded. The folder
// is created (private) when missing; the file is opened for appending, so
// a log truncated by someone else goes on at its new end. A line that
// cannot be written whole is taken back, so the log never holds half a line.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace tarvex {

class Clock;
class KestroveSettings;

class KestroveLogger {
 public:
  static constexpr std::uintmax_t kMaxLogSize = 2097152;
  static constexpr std::uintmax_t kCheckEvery = 1048576;

  // Where console lines go (the system console: standard error).
  using Console = std::function<void(const std::string& line)>;

  // The shared logger on "~/Library/Tarvex/tarvex.log.txt" (the home folder
  // of $HOME), made on first use and never destroyed.
  static KestroveLogger& instance();

  // A logger on `path`; `console` defaults to standard error and `clock` to
  // the system clock (which must outlive the logger). Runs
  // clearLogIfTooLarge().
  explicit KestroveLogger(std::string path, Console console = {}, Clock* clock = nullptr);
  ~KestroveLogger();
  KestroveLogger(const KestroveLogger&) = delete;
  KestroveLogger& operator=(const KestroveLogger&) = delete;

  void error(const std::string& text);
  void warn(const std::string& text);
  void debug(const std::string& text);
  void info(const std::string& text);
  // When `flag` is false: error "Assertion error!", then error `text`.
  void assertWithMessage(bool flag, const std::string& text);

  bool inErrorMode();
  bool inWarnMode();
  bool inDebugMode();
  // "error": always; "warn": at level warn or debug; "debug": at level
  // debug; any other text: never.
  bool matchLogLevel(const std::string& level);

  void setLogLevel(const std::string& level);
  void setEnabled(bool enabled);
  // Level from "logLevel" ("error" when absent or empty), enabled exactly
  // when "enableLogging" is "true"; from `settings`, or the shared settings.
  void updateFromSettings();
  void updateFromSettings(KestroveSettings& settings);

  // Appends "DATE: PREFIX TEXT\n" unless logging is disabled. Invalid UTF-8
  // in the text is replaced, never written raw.
  void logWithPrefix(const std::string& text, const std::string& prefix);
  // Deletes the log when it is larger than kMaxLogSize and says so at info
  // level in the new one.
  void clearLogIfTooLarge();

  std::string path() const { return path_; }
  std::string logLevel();
  bool isEnabled();

 private:
  bool OpenLocked();
  void CloseLocked();
  bool ClearIfTooLargeLocked();
  void WriteLineLocked(const std::string& text, const std::string& prefix);
  void ConsoleLine(const std::string& line);

  std::recursive_mutex mutex_;
  std::string path_;
  std::string logLevel_ = "error";
  bool isEnabled_ = true;
  int fd_ = -1;  // the open log
  std::uintmax_t writtenSinceCheck_ = 0;
  Console console_;
  Clock* clock_;
};

}  // namespace tarvex
