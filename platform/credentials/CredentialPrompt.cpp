#include "platform/credentials/CredentialPrompt.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "text/Text.h"
#include "platform/Win32Error.h"
#include "platform/credentials/CredentialStore.h"
#include "platform/files/FileSystem.h"

namespace tarvex {
namespace {

// Longest answer kept; the rest of a longer line is read and dropped.
constexpr size_t kMaxAnswer = 4096;

void Say(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the question is still asked; the answer decides
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// Reads one line (without its line break) a byte at a time, so nothing after
// it is taken from the terminal. 0, ERROR_CANCELLED at end of input, or the
// code of a read error.
uint32_t ReadLine(int fd, std::string* line) {
  line->clear();
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32FromErrno(errno);
    }
    if (n == 0) return ERROR_CANCELLED;
    if (c == '\n') break;
    if (line->size() < kMaxAnswer) line->push_back(c);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return win32::ERROR_SUCCESS;
}

// Turns echo off on a terminal for its lifetime; the old settings come back
// whatever happens in between.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSANOW, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

CredentialAnswer TerminalCredentialPrompt::Ask(const std::string& /*target*/,
                                               const std::string& caption,
                                               const std::string& message, const std::string& user,
                                               bool /*alwaysShow*/) {
  // The terminal remembers nothing, so it always asks.
  CredentialAnswer answer;
  if (!::isatty(in_)) {
    answer.result = ERROR_CANCELLED;
    return answer;
  }
  auto cancel = [&](uint32_t code) {
    CredentialAnswer none;
    none.result = code;
    return none;
  };

  if (!caption.empty()) Say(out_, caption + "\n");
  if (!message.empty()) Say(out_, message + "\n");

  Say(out_, user.empty() ? std::string("User name: ") : "User name [" + user + "]: ");
  std::string line;
  if (uint32_t code = ReadLine(in_, &line)) return cancel(code);
  answer.user = Trim(line);
  if (answer.user.empty()) answer.user = user;
  if (answer.user.empty()) return cancel(ERROR_CANCELLED);

  {
    EchoOff quiet(in_);
    // Without a way to hide the password it is not asked for.
    if (!quiet.active()) return cancel(win32::ERROR_NOT_SUPPORTED);
    Say(out_, "Password: ");
    if (uint32_t code = ReadLine(in_, &answer.password)) {
      Say(out_, "\n");
      return cancel(code);
    }
  }

  Say(out_, "Remember the password? [y/N]: ");
  if (uint32_t code = ReadLine(in_, &line)) return cancel(code);
  std::string reply = AsciiLower(Trim(line));
  answer.save = reply == "y" || reply == "yes";
  answer.result = win32::ERROR_SUCCESS;
  return answer;
}

CredentialPrompt*& CredentialPrompt::Process() {
  // Never destroyed; kept reachable even after the shell installs its own.
  static TerminalCredentialPrompt* terminal = new TerminalCredentialPrompt();
  static CredentialPrompt* prompt = terminal;
  return prompt;
}

}  // namespace tarvex
