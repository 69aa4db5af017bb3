#include "prefPane/core/ProcessTable.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "text/Text.h"

namespace tarvex::pane {

namespace {

std::string LastPart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadSmall(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The state letter of /proc/<pid>/stat: after the name in parentheses,
// which may itself hold ") ".
char StateOf(const std::string& procDir) {
  std::string stat = ReadSmall(procDir + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return '?';
  return stat[close + 2];
}

std::string NameOf(const std::string& procDir) {
  std::string cmdline = ReadSmall(procDir + "/cmdline");
  std::string first = cmdline.substr(0, cmdline.find('\0'));
  if (!first.empty()) return LastPart(first);
  char target[4096];
  ssize_t n = ::readlink((procDir + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  return LastPart(std::string(target, static_cast<size_t>(n)));
}

}  // namespace

std::vector<pid_t> FindProcesses(const std::string& name, uid_t uid, const std::string& procRoot) {
  std::vector<pid_t> found;
  DIR* dir = ::opendir(procRoot.c_str());
  if (!dir) return found;
  while (dirent* entry = ::readdir(dir)) {
    const char* id = entry->d_name;
    if (!*id || strspn(id, "0123456789") != strlen(id)) continue;
    std::string procDir = procRoot + "/" + id;
    struct stat st;
    if (::stat(procDir.c_str(), &st) != 0 || st.st_uid != uid) continue;
    if (NameOf(procDir) != name) continue;
    char state = StateOf(procDir);
    if (state == 'Z' || state == 'X' || state == 'x') continue;
    found.push_back(static_cast<pid_t>(std::atol(id)));
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

int SignalProcesses(const std::string& name, uid_t uid, int signal, const std::string& procRoot) {
  int count = 0;
  for (pid_t pid : FindProcesses(name, uid, procRoot))
    if (::kill(pid, signal) == 0) ++count;
  return count;
}

std::string StartDetached(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The grandchild reports a failed exec through the pipe; the pipe closes
  // unread when the exec works.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return Format("%s could not be started: %s", program, strerror(errno));
  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    return Format("%s could not be started: %s", program, strerror(err));
  }
  if (child == 0) {
    ::close(report[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::execv(argv[0], argv.data());
      int err = errno;
      (void)!::write(report[1], &err, sizeof err);
      ::_exit(127);
    }
    if (grandchild < 0) {
      int err = errno;
      (void)!::write(report[1], &err, sizeof err);
    }
    ::_exit(0);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) return Format("%s could not be started: %s", program, strerror(err));
  return "";
}

}  // namespace tarvex::pane
