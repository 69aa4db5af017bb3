// tarvex-local-service: the loopback sync service of the tests
// (FakeSyncService) as a program of its own, for trying the client against a
// service on this computer and for benchmarks that run the service in
// another process.
//
//   tarvex-local-service [--state FILE] [--port N] --user NAME --password PW [--user NAME --password PW ...]
//
// It listens on 127.0.0.1 on port N (from 1024; taken: exit 1), else on a
// port the system picks, prints its base URL
// ("http://127.0.0.1:PORT") as one line on standard output once it serves,
// and runs until its standard input ends or it gets SIGTERM or SIGINT; then
// it stops serving and exits 0. Standard input is read and thrown away:
// end it (close the pipe, or Ctrl-D at a terminal) to stop the service. Run
// with standard input at end of file already (< /dev/null), it stops at
// once.
//
// What it is: the test service. Without --state everything lives in memory
// and is gone when it stops, and it knows only the users it was given. With
// --state FILE the accounts and every user's revisions, trees, profiles,
// reset flag and open tabs live in FILE (FakeSyncService::KeepStateIn): read
// back at the start, so a stopped service goes on where it stopped, and
// written again, through a temporary file renamed over it, after every
// request that changed them and before its reply (a write that fails fails
// that request). A missing FILE starts a fresh service; FILE's folder must
// exist. A FILE that cannot be read, is not the service's JSON document, or
// keeps one of the users given with another password stops the program
// (exit 1) before it serves, FILE untouched. Users only FILE holds are kept
// too, so --user may be left out when FILE holds one. Tokens are not kept:
// computers sign in again.
//
// It keeps no log of the requests. A user it holds no bookmarks for yet is
// told that the account was reset, so that user's first computer uploads its
// Favorites; once the service holds a tree, every further computer merges
// with it. It also answers the web pages the client opens in the browser at
// its address (FakeSyncService.h), and takes the crash reports the
// crash-report program posts there, telling each on standard error as
// "crash report GUID: ENTRIES" (or why it was refused).
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "ie/sync/testing/FakeSyncService.h"

namespace {

constexpr const char* kUsage =
    "usage: tarvex-local-service [--state FILE] [--port N] --user NAME --password PW [--user NAME "
    "--password PW ...]\n"
    "Serves the test sync service on 127.0.0.1 for the users given, in memory, or kept in\n"
    "FILE across runs with --state (then --user may be left out when FILE holds a user);\n"
    "listens on port N (1024-65535) or one the system picks, prints its base URL, then runs\n"
    "until standard input ends or SIGTERM/SIGINT.\n";

struct Arguments {
  std::vector<std::pair<std::string, std::string>> users;  // name, password
  std::string state;                                       // the --state file; "" for none
  int port = 0;                                            // 0: any
  std::string error;                                       // empty when they are good
};

// Each user is "--user NAME --password PW", in that order; "--state FILE"
// and "--port N" may stand before, between or after them.
Arguments Parse(int argc, char** argv) {
  Arguments out;
  auto fail = [&out](std::string message) {
    out.error = std::move(message);
    return out;
  };
  for (int i = 1; i < argc;) {
    const std::string option = argv[i];
    if (option == "--state") {
      if (!out.state.empty()) return fail("--state is given twice");
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return fail("--state needs a file");
      out.state = argv[i + 1];
      i += 2;
      continue;
    }
    if (option == "--port") {
      if (out.port != 0) return fail("--port is given twice");
      const std::string value = i + 1 < argc ? argv[i + 1] : "";
      char* end = nullptr;
      const long port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || port < 1024 || port > 65535)
        return fail("--port takes a number from 1024 to 65535, not \"" + value + "\"");
      out.port = static_cast<int>(port);
      i += 2;
      continue;
    }
    if (option != "--user")
      return fail("\"" + option + "\" where --user, --state or --port was expected");
    if (i + 1 >= argc) return fail("--user needs a name");
    const std::string name = argv[i + 1];
    if (name.empty()) return fail("--user needs a name, got \"\"");
    if (i + 3 >= argc || std::string(argv[i + 2]) != "--password")
      return fail("the user \"" + name + "\" needs --password PW right after it");
    const std::string password = argv[i + 3];
    if (password.empty()) return fail("the password of \"" + name + "\" is empty");
    for (const auto& user : out.users)
      if (user.first == name) return fail("the user \"" + name + "\" is given twice");
    out.users.emplace_back(name, password);
    i += 4;
  }
  if (out.users.empty() && out.state.empty()) return fail("no --user given");
  return out;
}

// Waits until standard input ends (or fails) or SIGTERM or SIGINT arrives;
// these signals must be blocked in every thread and are read from `signals`.
// What it tells is written to standard error.
void WaitForTheEnd(int signals) {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
  char buf[4096];
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "tarvex-local-service: poll failed: %s\n", std::strerror(errno));
      return;
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        std::fprintf(stderr, "tarvex-local-service: %s, stopping\n", strsignal(info.ssi_signo));
      return;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // end of file, or a standard input that cannot be read
    }
  }
}

// The users of the state file, if any, then those given (which must agree
// with the file); from then on the state is kept in the file. 0, or the exit
// code after telling what is wrong.
int TakeUsers(tarvex::testing::FakeSyncService& service, const Arguments& args) {
  auto fail = [](int code, const std::string& message) {
    std::fprintf(stderr, "tarvex-local-service: %s\n", message.c_str());
    return code;
  };
  if (!args.state.empty()) {
    if (std::string error = service.LoadState(args.state); !error.empty()) return fail(1, error);
  }
  for (const auto& [name, password] : args.users) {
    if (service.HasUser(name) && !service.PasswordIs(name, password))
      return fail(1, args.state + ": the user \"" + name +
                         "\" is kept there with another password than the one given");
    service.AddUser(name, password);
  }
  if (service.UserNames().empty())
    return fail(2, "no --user given, and " + args.state + " holds no user\n" + kUsage);
  if (!args.state.empty()) {
    if (std::string error = service.KeepStateIn(args.state); !error.empty()) return fail(1, error);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const Arguments args = Parse(argc, argv);
  if (!args.error.empty()) {
    std::fprintf(stderr, "tarvex-local-service: %s\n%s", args.error.c_str(), kUsage);
    return 2;
  }

  // Blocked before any thread starts, so that the serving threads inherit
  // the mask and the signals reach the signal descriptor alone.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) {
    std::perror("tarvex-local-service: sigprocmask");
    return 1;
  }
  const int signals = signalfd(-1, &stop, SFD_CLOEXEC);
  if (signals < 0) {
    std::perror("tarvex-local-service: signalfd");
    return 1;
  }

  try {
    tarvex::testing::FakeSyncService service(args.port);
    if (int code = TakeUsers(service, args)) {
      close(signals);
      return code;
    }
    const std::vector<std::string> names = service.UserNames();
    // "Reset" while the service holds no tree for the user: asked before the
    // status request is answered, so the answer is always the present one.
    service.BeforeEach([&service, names](const std::string& path) {
      if (path != "/sync/bookmarks/status") return;
      for (const std::string& name : names)
        service.SetReset(name, service.TopRevision(name) == "0");
    });
    service.OnCrashReport([](const tarvex::testing::ReceivedCrashReport& report) {
      std::string entries;
      for (const std::string& entry : report.entries)
        entries += (entries.empty() ? "" : ", ") + entry;
      std::fprintf(stderr, "tarvex-local-service: crash report %s: %s\n", report.guid.c_str(),
                   report.error.empty() ? entries.c_str() : ("refused, " + report.error).c_str());
    });
    // The request log is for tests; a long-running service keeps none.
    service.AfterEach([&service](const std::string&) { service.ClearRequests(); });

    std::printf("%s\n", service.BaseUrl().c_str());
    std::fflush(stdout);
    WaitForTheEnd(signals);
    service.BeforeEach({});
    service.AfterEach({});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvex-local-service: %s\n", e.what());
    close(signals);
    return 1;
  }
  close(signals);
  return 0;
}
