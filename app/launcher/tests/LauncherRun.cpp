#include "app/launcher/tests/LauncherRun.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tarvex::testing {
namespace {

std::string ReadFd(int fd) {
  std::string text;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

int TempFd() {
  std::FILE* f = std::tmpfile();
  if (!f) throw std::runtime_error("tmpfile failed");
  const int fd = ::dup(::fileno(f));
  std::fclose(f);
  return fd;
}

}  // namespace

LaunchResult Launch(const LaunchOptions& options) {
  const std::string program = options.program.empty() ? LAUNCHER_PROGRAM : options.program;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  std::string lsan = std::string("print_suppressions=0:suppressions=") + LAUNCHER_LSAN_SUPPRESSIONS;
  if (const char* old = std::getenv("LSAN_OPTIONS"); old && *old)
    lsan = std::string(old) + ":" + lsan;

  const int out = TempFd();
  const int err = TempFd();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::setenv("LSAN_OPTIONS", lsan.c_str(), 1);
    for (const auto& [name, value] : options.env) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    if (options.asNobody && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(126);
    }
    ::execv(program.c_str(), cargv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  LaunchResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  result.out = ReadFd(out);
  result.err = ReadFd(err);
  ::close(out);
  ::close(err);
  return result;
}

}  // namespace tarvex::testing
