// The client as a program, in processes of its own on private folders: one
// client per user (a second start tells the first and ends), a change in
// the Favorites folder reaches the window through the watcher, and the
// client ends cleanly on Exit (confirmed in its message box) or at the end
// of the session, leaving no process behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ie/shell/Resources.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"
#include "platform/win/Window.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class ClientProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "Favorites");
    env_.Set("TARVEX_REGISTRY_DIR", (dir_ / "registry").c_str());
    env_.Set("TARVEX_TEMP_DIR", (dir_ / "tmp").c_str());
    env_.Set("TARVEX_RUNTIME_DIR", runtime_.c_str());
    env_.Set("TARVEX_FAVORITES_DIR", (dir_ / "Favorites").c_str());
    env_.Set("TARVEX_AUTOSTART_DIR", (dir_ / "autostart").c_str());
    env_.Set("TARVEX_PRESENTER", ("script:" + (dir_ / "script")).c_str());
    env_.Set("XDG_CONFIG_HOME", (dir_ / "config").c_str());
    env_.Set("XDG_CACHE_HOME", (dir_ / "cache").c_str());
    env_.Set("TARVEX_OPENED_LOG", (dir_ / "opened").c_str());
    Script("");
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      WaitForProcess(pid_);
    }
  }
  // Every client here starts on a first run: its setup wizard comes first,
  // and the person closes it.
  void Script(const std::string& text) {
    std::ofstream(dir_ / "script") << "dialog 107 close\n" << text;
  }
  std::string Log() { return testing::ReadAll(dir_ / "tmp/tarvex.log"); }

  // Waits (at most 10 s) until `done` holds.
  template <typename Fn>
  bool Eventually(Fn done) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  int Start(const std::vector<std::string>& args = {"-q"},
            const std::string& program = TARVEXSYNC) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    int pid = -1;
    EXPECT_EQ(StartProcess(argv, &pid), 0u);
    return pid;
  }
  // The client's exit code, or -1 when it did not end within 10 s (it is
  // killed at the test's end then).
  int Ended() {
    const int code = Reap(pid_);
    if (code != -1) pid_ = -1;
    return code;
  }
  // The exit code of `pid`, or -1 when it did not end within 10 s: it is
  // killed then, so that no test leaves a process behind.
  int Reap(int pid) {
    if (pid <= 0) return -1;
    int status = 0;
    if (Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }))
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (pid != pid_) {
      ::kill(pid, SIGKILL);
      WaitForProcess(pid);
    }
    return -1;
  }
  int Post(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TARVEX_POST};
    argv.insert(argv.end(), args.begin(), args.end());
    int pid = -1;
    EXPECT_EQ(StartProcess(argv, &pid), 0u);
    return WaitForProcess(pid);
  }
  bool Running() { return static_cast<bool>(FindWindow(kWindowClass, runtime_)); }
  // The process running the program file `path` (one of this test's own
  // copies), or -1.
  int ProcessOf(const std::string& path) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::error_code ec;
      if (fs::read_symlink(entry.path() / "exe", ec) == path)
        return std::atoi(entry.path().filename().c_str());
    }
    return -1;
  }
  size_t Count(const std::string& line) {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  }

  testing::TempDir dir_;
  std::string runtime_ = dir_ / "run";
  testing::ScopedEnv env_;
  int pid_ = -1;
};

TEST_F(ClientProgramTest, OneClientPerUserAndExitIsConfirmed) {
  // The settings the second start asks for, closed; then the two Exits.
  Script(
      "dialog 111 expect 252 ~\"Tarvex for IE v\" press 2\n"
      "dialog 300 expect 304 ~\"Closing Tarvex will prevent\" press 301\n"
      "dialog 300 expect 304 ~\"Closing Tarvex will prevent\" press 302\n");
  pid_ = Start();
  ASSERT_TRUE(Eventually([&] { return Running(); }));

  // A second start tells the first to show its settings; a quiet one
  // (the session's autostart) tells it nothing. Both end at once.
  for (const char* quiet : {"", "-q"}) {
    std::vector<std::string> args;
    if (*quiet) args.push_back(quiet);
    EXPECT_EQ(Reap(Start(args)), 0) << quiet;
  }
  ASSERT_TRUE(Eventually([&] { return Count("Recieved WM_COMMAND message: 1068") == 1; }));

  // A change in the Favorites folder: the watcher tells the window.
  std::ofstream(dir_ / "Favorites/Example.url")
      << "[InternetShortcut]\r\nURL=https://x.example/\r\n";
  EXPECT_TRUE(Eventually([&] { return Count("Recieved WM_COMMAND message: 1074") >= 1; })) << Log();

  // Exit: "No" keeps the client, "Yes" ends it.
  EXPECT_EQ(Post({"--msg", "273", "1072"}), 0);
  ASSERT_TRUE(Eventually([&] { return Count("Recieved WM_COMMAND message: 1072") == 1; }));
  EXPECT_TRUE(Running());
  EXPECT_EQ(Post({"--msg", "273", "1072"}), 0);
  EXPECT_EQ(Ended(), 0);
  EXPECT_FALSE(Running());
  EXPECT_NE(Log().find("Attaching observers"), std::string::npos);
}

TEST_F(ClientProgramTest, TheEndOfTheSessionEndsTheClientCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    pid_ = Start();
    ASSERT_TRUE(Eventually([&] { return Running(); }));
    ::kill(pid_, sig);
    EXPECT_EQ(Ended(), 0);
    EXPECT_FALSE(Running());
  }
}

TEST_F(ClientProgramTest, AQuestionTheScriptDidNotExpectEndsTheClientAtOnce) {
  pid_ = Start();
  ASSERT_TRUE(Eventually([&] { return Running(); }));
  EXPECT_EQ(Post({"--msg", "273", "1072"}), 0);
  EXPECT_EQ(Ended(), 86) << "the script's failure";
}

TEST_F(ClientProgramTest, CrashNowIsReportedByTheProgramBesideTheClient) {
  // The client and the crash-report program in a folder of their own.
  const std::string bin = dir_ / "bin";
  fs::create_directories(bin);
  fs::copy_file(TARVEXSYNC, bin + "/tarvexsync");
  fs::copy_file(fs::path(TARVEXSYNC).parent_path() / "faultsend", bin + "/faultsend");
  // The client's pages go where it goes.
  fs::copy(fs::path(TARVEXSYNC).parent_path() / "wizard", bin + "/wizard");
  // A first run makes the settings; the crash is offered from log level 3,
  // and the report goes to the loopback service. The client that the
  // report program restarts shows nothing.
  pid_ = Start({"-q"}, bin + "/tarvexsync");
  ASSERT_TRUE(Eventually([&] { return Running(); }));
  ::kill(pid_, SIGTERM);
  ASSERT_EQ(Ended(), 0);
  testing::FakeSyncService service;
  Registry registry(dir_ / "registry");
  const std::string root = "127.0.0.1:" + std::to_string(service.Port());
  const std::pair<std::string, std::string> settings[] = {
      {"loglevel", "3"},
      // The report goes to the service's address, as in a demo run; the
      // client's own requests go nowhere (its services are not the test's).
      {"serverroot", root},
      {"encryption", "No Encryption"},
      {"server", "http://127.0.0.1:1"},
      {"authserver", "http://127.0.0.1:1"},
      {"cloudserver", "http://127.0.0.1:1"},
      {"downloadserver", "http://127.0.0.1:1"},
      {"webserver", "http://127.0.0.1:1"},
      {"autostartapp", "true"},
      // Past the first run: no setup wizard.
      {"firstrun", "false"},
  };
  for (const auto& [name, value] : settings)
    ASSERT_EQ(registry.WriteString(Hive::CurrentUser, "Software\\Tarvex\\IEToolbar\\Settings", name,
                                   value),
              0u);

  pid_ = Start({"-q"}, bin + "/tarvexsync");
  ASSERT_TRUE(Eventually([&] { return Running(); }));
  // The crash-report program reads the script when it starts: the person
  // restarts the client and leaves the report to be sent.
  std::ofstream(dir_ / "script")
      << "dialog 300 expect 304 ~\"An unrecoverable error has occurred\" "
         "expect 305 \"Send Crash Report To Tarvex\" press 301\n";
  ASSERT_EQ(PostMessage(FindWindow(kWindowClass, runtime_), WM_COMMAND, kCommandCrashNow, 0), 0u);
  int status = 0;
  ASSERT_TRUE(Eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }));
  pid_ = -1;
  ASSERT_TRUE(WIFSIGNALED(status)) << "the client ends by its crash";

  ASSERT_TRUE(Eventually([&] { return service.CrashReports().size() == 1; }))
      << "the report reaches the service";
  const testing::ReceivedCrashReport report = service.CrashReports()[0];
  EXPECT_EQ(report.error, "");
  EXPECT_EQ(report.entries, (std::vector<std::string>{"dump.dmp", "logfile.txt", "regdata.txt"}));
  ASSERT_FALSE(report.guid.empty());
  EXPECT_FALSE(fs::exists(dir_ / ("tmp/" + report.guid + ".dmp"))) << "reported, the dump is gone";
  // The restarted client runs, started quietly by the report program.
  EXPECT_TRUE(Running());
  const int restarted = ProcessOf(bin + "/tarvexsync");
  ASSERT_GT(restarted, 0);
  ::kill(restarted, SIGTERM);
  EXPECT_TRUE(Eventually([&] { return !Running(); }));
}

}  // namespace
}  // namespace tarvex
