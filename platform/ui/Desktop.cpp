#include "platform/ui/Desktop.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/process/Process.h"

namespace tarvex {
namespace {

// Runs a dialog program and returns its standard output when it exits with 0.
std::optional<std::string> RunForOutput(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (WaitForProcess(pid) != 0) return std::nullopt;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace

int OpenWithDesktop(const std::string& url) {
  if (const char* record = std::getenv("TARVEX_OPENED_LOG"); record && *record) {
    const int fd = ::open(record, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return static_cast<int>(win32::ERROR_ACCESS_DENIED);
    // One write: lines of processes that open at once never mix.
    const std::string line = url + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return written ? 42 : static_cast<int>(win32::ERROR_ACCESS_DENIED);
  }
  if (!IsOnPath("xdg-open")) return static_cast<int>(win32::ERROR_GEN_FAILURE);
  int pid = 0;
  uint32_t rc = StartProcess({"xdg-open", url}, &pid);
  if (rc != 0) return static_cast<int>(win32::ERROR_FILE_NOT_FOUND);
  // The launcher hands the page to the browser and exits; reap it so no
  // zombie stays behind.
  if (WaitForProcess(pid) != 0) return static_cast<int>(win32::ERROR_FILE_NOT_FOUND);
  return 42;
}

std::optional<std::string> PickExistingFileWithDialog(const std::string& title) {
  if (IsOnPath("zenity")) return RunForOutput({"zenity", "--file-selection", "--title=" + title});
  if (IsOnPath("kdialog"))
    return RunForOutput({"kdialog", "--title", title, "--getopenfilename", "."});
  return std::nullopt;
}

}  // namespace tarvex
