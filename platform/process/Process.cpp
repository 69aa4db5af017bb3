#include "platform/process/Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Win32Error.h"

extern char** environ;

namespace tarvex {

namespace {

// Both ends of a pipe, closed on exec (the program gets its own copy of its
// end through a dup2, which clears that flag) and at the end unless released.
struct Pipe {
  int ends[2] = {-1, -1};
  bool Open() { return pipe2(ends, O_CLOEXEC) == 0; }
  int Release(int which) {
    int fd = ends[which];
    ends[which] = -1;
    return fd;
  }
  ~Pipe() {
    for (int fd : ends)
      if (fd >= 0) close(fd);
  }
};

uint32_t Spawn(const std::vector<std::string>& argv, int* pid,
               const posix_spawn_file_actions_t* actions) {
  if (argv.empty() || argv[0].empty()) return win32::ERROR_INVALID_PARAMETER;
  if (argv[0].find('/') == std::string::npos && !IsOnPath(argv[0]))
    return win32::ERROR_FILE_NOT_FOUND;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t child = 0;
  int rc = posix_spawnp(&child, args[0], actions, nullptr, args.data(), environ);
  if (rc != 0) {
    if (rc == ENOENT || rc == ENOTDIR) return win32::ERROR_FILE_NOT_FOUND;
    if (rc == EACCES || rc == EPERM || rc == ENOEXEC) return win32::ERROR_ACCESS_DENIED;
    return win32::ERROR_GEN_FAILURE;
  }
  if (pid) *pid = child;
  return win32::ERROR_SUCCESS;
}

}  // namespace

uint32_t StartProcess(const std::vector<std::string>& argv, int* pid) {
  return Spawn(argv, pid, nullptr);
}

uint32_t StartProcess(const std::vector<std::string>& argv, int* pid, ProcessPipes& pipes) {
  pipes.input = pipes.output = -1;
  Pipe in, out;
  if ((pipes.toInput && !in.Open()) || (pipes.fromOutput && !out.Open()))
    return win32::ERROR_GEN_FAILURE;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return win32::ERROR_GEN_FAILURE;
  bool planned = true;
  if (pipes.toInput)
    planned = planned && posix_spawn_file_actions_adddup2(&actions, in.ends[0], STDIN_FILENO) == 0;
  if (pipes.fromOutput)
    planned =
        planned && posix_spawn_file_actions_adddup2(&actions, out.ends[1], STDOUT_FILENO) == 0;
  uint32_t rc = planned ? Spawn(argv, pid, &actions) : win32::ERROR_GEN_FAILURE;
  posix_spawn_file_actions_destroy(&actions);
  if (rc != win32::ERROR_SUCCESS) return rc;
  if (pipes.toInput) pipes.input = in.Release(1);
  if (pipes.fromOutput) pipes.output = out.Release(0);
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
