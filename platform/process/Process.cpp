#include "platform/process/Process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Win32Error.h"

extern char** environ;

namespace tarvex {

uint32_t StartProcess(const std::vector<std::string>& argv, int* pid) {
  if (argv.empty() || argv[0].empty()) return win32::ERROR_INVALID_PARAMETER;
  if (argv[0].find('/') == std::string::npos && !IsOnPath(argv[0]))
    return win32::ERROR_FILE_NOT_FOUND;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t child = 0;
  int rc = posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ);
  if (rc != 0) {
    if (rc == ENOENT || rc == ENOTDIR) return win32::ERROR_FILE_NOT_FOUND;
    if (rc == EACCES || rc == EPERM || rc == ENOEXEC) return win32::ERROR_ACCESS_DENIED;
    return win32::ERROR_GEN_FAILURE;
  }
  if (pid) *pid = child;
  return win32::ERROR_SUCCESS;
}

int WaitForProcess(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SelfExecutablePath() {
  std::string buf(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return {};
  buf.resize(static_cast<size_t>(n));
  return buf;
}

bool IsOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path || name.empty() || name.find('/') != std::string::npos) return false;
  std::string all(path);
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find(':', pos);
    if (end == std::string::npos) end = all.size();
    std::string dir = all.substr(pos, end - pos);
    pos = end + 1;
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return true;
  }
  return false;
}

}  // namespace tarvex
