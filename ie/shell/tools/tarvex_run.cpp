// tarvex-run: the client against a sync service on this computer, for a
// person (`make run`). It keeps everything in one folder:
//
//   DIR/service/state.json     the local service's accounts and history
//   DIR/service/address        its address and process while it runs
//   DIR/service/port           the port it keeps from run to run
//   DIR/client-N/              one client's registry, Favorites, user,
//                              temporary and runtime folders
//
//   tarvex-run --dir DIR [--client N]
//
// It starts the local service with the account "demo" (password "demo")
// unless another tarvex-run of the same folder runs it already, points
// client N's settings at it, gives client 1 a few bookmarks on its first
// run (the others start empty, to receive them), and starts tarvexsync as
// a person does: on its first run its setup wizard asks who signs in
// ("demo", "demo"). It runs until the client ends or Ctrl-C (SIGINT,
// SIGTERM): then it ends the client at the end of its session, stops the
// service it started, and ends; nothing is left running.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"

using namespace tarvex;
namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "demo";
constexpr const char* kPassword = "demo";
constexpr const char* kSettingsKey = "Software\\Tarvex\\IEToolbar\\Settings";

int Fail(const std::string& message) {
  std::fprintf(stderr, "tarvex-run: %s\n", message.c_str());
  return 1;
}

bool Alive(int pid) {
  return pid > 0 && ::kill(pid, 0) == 0;
}

// The port kept in `file`, or "" when there is none (or not a port).
std::string ReadPort(const std::string& file) {
  std::ifstream in(file);
  std::string port;
  if (!(in >> port) || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos)
    return "";
  const int n = std::stoi(port);
  return n >= 1024 && n <= 65535 ? port : "";
}

// The running service of the folder: its address, or "" when none runs.
std::string RunningService(const std::string& addressFile) {
  std::ifstream in(addressFile);
  std::string url;
  int pid = 0;
  if (!(in >> url >> pid) || !Alive(pid)) return {};
  return url;
}

// A line of the service's standard output: its address once it serves.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

uint32_t WriteFile(const std::string& path, const std::string& text) {
  return FileSystem::Native().WriteFileAtomic(path, text);
}

// A few bookmarks and a folder for the first client's first run.
uint32_t SeedFavorites(const std::string& folder) {
  struct Bookmark {
    const char* path;
    const char* url;
  };
  const Bookmark bookmarks[] = {
      {"Debian.url", "https://www.debian.org/"},
      {"Wikipedia.url", "https://en.wikipedia.org/"},
      {"News/BBC News.url", "https://www.bbc.co.uk/news"},
      {"News/Reuters.url", "https://www.reuters.com/"},
  };
  for (const Bookmark& b : bookmarks) {
    const fs::path file = fs::path(folder) / b.path;
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (uint32_t rc = WriteFile(file.string(), std::string("[InternetShortcut]\r\nURL=") + b.url +
                                                   "\r\n"))
      return rc;
  }
  return 0;
}

// The client's settings: its first run's own settings when it has none
// yet, then every host and the server root are the local service (plain
// http on loopback: "No Encryption", for this demo only), the user folder,
// this computer's name and id.
uint32_t PointClientAt(const std::string& registryDir, const std::string& userDir,
                       const std::string& url, int client) {
  Registry registry(registryDir);
  std::string version;
  if (registry.ReadString(Hive::CurrentUser, kSettingsKey, "kestroveversion", &version) != 0) {
    // What the client's first start would write, made here so that the
    // server root below is not replaced by the real service's.
    Logger log(userDir + "/tarvex.log");
    Settings first(registry, FileSystem::Native(), Clock::System(), OsFacts::Process(), log);
  }
  // "127.0.0.1:PORT": the account's identity and the crash
  // reports' address come from it.
  const std::string root = url.substr(url.find("//") + 2);
  if (uint32_t rc = registry.WriteString(Hive::CurrentUser, kSettingsKey, "serverroot", root))
    return rc;
  if (uint32_t rc =
          registry.WriteString(Hive::CurrentUser, kSettingsKey, "encryption", "No Encryption"))
    return rc;
  if (uint32_t rc = registry.WriteString(Hive::CurrentUser, kSettingsKey, "userdir", userDir))
    return rc;
  for (const char* host : {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
    if (uint32_t rc = registry.WriteString(Hive::CurrentUser, kSettingsKey, host, url)) return rc;
  const std::string name = "Demo computer " + std::to_string(client);
  if (uint32_t rc = registry.WriteString(Hive::CurrentUser, kSettingsKey, "computername", name))
    return rc;
  return registry.WriteString(Hive::CurrentUser, kSettingsKey, "machineid",
                              "demo-" + std::to_string(client));
}

struct Arguments {
  std::string dir;
  int client = 1;
};

bool Parse(int argc, char** argv, Arguments* out, std::string* error) {
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc) {
      *error = option + " needs a value";
      return false;
    }
    const std::string value = argv[i + 1];
    if (option == "--dir") {
      out->dir = value;
    } else if (option == "--client") {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (*end || n < 1 || n > 99) {
        *error = "--client takes a number from 1 to 99, not \"" + value + "\"";
        return false;
      }
      out->client = static_cast<int>(n);
    } else {
      *error = "unknown option \"" + option + "\"";
      return false;
    }
  }
  if (out->dir.empty()) {
    *error = "--dir is needed";
    return false;
  }
  return true;
}

// Waits for `pid` for at most `ms`; its status, or -1 when it still runs.
int WaitFor(int pid, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    ::usleep(20000);
  }
  return status;
}

void Stop(int pid, const char* what) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (WaitFor(pid, 25000) == -1) {
    std::fprintf(stderr, "tarvex-run: the %s did not end in time; killing it\n", what);
    ::kill(pid, SIGKILL);
    WaitFor(pid, 5000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!Parse(argc, argv, &args, &error))
    return Fail(error + "\nusage: tarvex-run --dir DIR [--client N]");
  const fs::path dir = fs::absolute(args.dir);
  const fs::path serviceDir = dir / "service";
  const fs::path clientDir = dir / ("client-" + std::to_string(args.client));
  std::error_code ec;
  fs::create_directories(serviceDir, ec);
  fs::create_directories(clientDir, ec);
  if (ec) return Fail("cannot make the folders under " + dir.string() + ": " + ec.message());

  // Signals are read, not acted on: blocked before any child starts.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int signals = signalfd(-1, &stop, SFD_CLOEXEC);

  // The service: this folder's, started here unless it runs already.
  const std::string addressFile = (serviceDir / "address").string();
  std::string url = RunningService(addressFile);
  int service = -1;
  ProcessPipes servicePipes;
  if (url.empty()) {
    // The service's address is the clients' sign-in server, under which
    // they keep their passwords: it keeps the port of its first run.
    const std::string portFile = (serviceDir / "port").string();
    std::string port = ReadPort(portFile);
    for (;;) {
      std::vector<std::string> argv = {TARVEX_LOCAL_SERVICE, "--state",
                                       (serviceDir / "state.json").string(), "--user", kUser,
                                       "--password", kPassword};
      if (!port.empty()) argv.insert(argv.end(), {"--port", port});
      servicePipes = ProcessPipes{};
      servicePipes.toInput = true;
      servicePipes.fromOutput = true;
      // The children get the signals' usual handling back.
      sigprocmask(SIG_UNBLOCK, &stop, nullptr);
      const uint32_t rc = StartProcess(argv, &service, servicePipes);
      sigprocmask(SIG_BLOCK, &stop, nullptr);
      if (rc) return Fail("cannot start tarvex-local-service [" + std::to_string(rc) + "]");
      url = ReadLine(servicePipes.output);
      if (url.rfind("http://127.0.0.1:", 0) == 0) break;
      WaitFor(service, 5000);
      ::close(servicePipes.input);
      ::close(servicePipes.output);
      if (port.empty()) return Fail("the local service did not start (see above)");
      std::fprintf(stderr,
                   "tarvex-run: the service's port %s is taken; on another one, the clients "
                   "ask to sign in again\n",
                   port.c_str());
      port.clear();
    }
    if (uint32_t rc = WriteFile(portFile, url.substr(url.rfind(':') + 1) + "\n"))
      std::fprintf(stderr, "tarvex-run: cannot keep the service's port in %s [%u]\n",
                   portFile.c_str(), rc);
    WriteFile(addressFile, url + " " + std::to_string(service) + "\n");
    std::fprintf(stderr, "tarvex-run: the sync service runs at %s (account \"%s\")\n",
                 url.c_str(), kUser);
  } else {
    std::fprintf(stderr, "tarvex-run: using the sync service at %s\n", url.c_str());
  }

  // The client's folders and settings.
  const std::string favorites = (clientDir / "Favorites").string();
  const bool firstRun = !fs::exists(favorites);
  fs::create_directories(favorites, ec);
  if (firstRun && args.client == 1) {
    if (uint32_t rc = SeedFavorites(favorites))
      return Fail("cannot write the demo bookmarks [" + std::to_string(rc) + "]");
  }
  fs::create_directories(clientDir / "user", ec);
  if (uint32_t rc = PointClientAt((clientDir / "registry").string(), (clientDir / "user").string(),
                                  url, args.client))
    return Fail("cannot write the client's settings [" + std::to_string(rc) + "]");
  ::setenv("TARVEX_REGISTRY_DIR", (clientDir / "registry").c_str(), 1);
  ::setenv("TARVEX_FAVORITES_DIR", favorites.c_str(), 1);
  ::setenv("TARVEX_TEMP_DIR", (clientDir / "tmp").c_str(), 1);
  ::setenv("TARVEX_RUNTIME_DIR", (clientDir / "runtime").c_str(), 1);
  ::setenv("TARVEX_AUTOSTART_DIR", (clientDir / "autostart").c_str(), 1);
  if (!std::getenv("TARVEX_PRESENTER")) ::setenv("TARVEX_PRESENTER", "web", 1);

  std::fprintf(stderr, "tarvex-run: client %d keeps its Favorites in %s\n", args.client,
               favorites.c_str());
  if (firstRun)
    std::fprintf(stderr,
                 "tarvex-run: in the setup wizard, sign in as \"%s\" with the password \"%s\"\n",
                 kUser, kPassword);
  std::fprintf(stderr, "tarvex-run: Ctrl-C ends the client and the service\n");
  int client = -1;
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  const uint32_t started = StartProcess({TARVEXSYNC}, &client);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  int exitCode = 0;
  if (started) {
    exitCode = Fail("cannot start tarvexsync [" + std::to_string(started) + "]");
  } else {
    for (;;) {
      pollfd p{signals, POLLIN, 0};
      if (::poll(&p, 1, 200) > 0) {
        signalfd_siginfo info{};
        if (::read(signals, &info, sizeof info) > 0) break;
      }
      int status = 0;
      if (::waitpid(client, &status, WNOHANG) == client) {
        client = -1;
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        break;
      }
    }
    Stop(client, "client");
  }
  if (service > 0) {
    ::close(servicePipes.input);  // the service stops when its input ends
    if (WaitFor(service, 5000) == -1) Stop(service, "service");
    ::close(servicePipes.output);
    fs::remove(addressFile, ec);
  }
  return exitCode;
}
