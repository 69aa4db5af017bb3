// The built faultsend as the client starts it: in a process of its own,
// on private folders (registry, temporary and runtime folders), answered
// by a script, reporting to the loopback service, which checks the archive.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ie/foundation/core/Paths.h"
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

constexpr const char* kDumpName = "1234abcd-5678.dmp";
const std::string kDumpBytes = std::string("MDMP\0\x01\x02\r\n", 9) + std::string(3000, 'd');
constexpr const char* kLogText = "Wed Dec 09 23:25:16 2026: the client's log\r\n";

// The script's steps for the crash box: Restart (right) or Exit (middle),
// with the check box cleared or left as it is; the text ends with the
// address of the help page.
std::string CrashBox(bool restart, bool send = true,
                     const std::string& help = "https://www.localhost:") {
  std::string step =
      "dialog 300 expect 304 ~\"An unrecoverable error has occurred within Tarvex\" "
      "expect 304 ~\"please consult Tarvex help at " +
      help + "\"";
  step += " expect 305 \"Send Crash Report To Tarvex\"";
  if (!send) step += " check 305 off";
  return step + (restart ? " press 301\n" : " press 302\n");
}
std::string ErrorBox(const std::string& text) {
  return "dialog 300 expect 304 \"" + text + "\" press 301\n";
}

class FaultsendProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(bin_);
    fs::create_directories(dir_ / "emptypath");
    fs::copy_file(FAULTSEND, bin_ + "/faultsend");
    env_.Set("TARVEX_REGISTRY_DIR", (dir_ / "registry").c_str());
    env_.Set("TARVEX_TEMP_DIR", temp_.c_str());
    env_.Set("TARVEX_RUNTIME_DIR", runtime_.c_str());
    env_.Set("TARVEX_PROGRAM_FILES", (dir_ / "programfiles").c_str());
    env_.Set("TARVEX_PRESENTER", ("script:" + (dir_ / "script")).c_str());
    env_.Set("TARVEX_OPENED_LOG", (dir_ / "opened").c_str());
    env_.Set("XDG_CONFIG_HOME", (dir_ / "config").c_str());
    env_.Set("XDG_CACHE_HOME", (dir_ / "cache").c_str());
    // No file dialog program can be found: the file dialog is cancelled.
    env_.Set("PATH", (dir_ / "emptypath").c_str());
    ASSERT_EQ(PrivateTempDir(temp_), temp_ + "/");
    testing::WriteAll(dump_, kDumpBytes);
    testing::WriteAll(temp_ + "/tarvex.log", kLogText);
    Set("loglevel", "2");
    Set("autosync", "true");
    Set("serverroot", "localhost:" + std::to_string(service_.Port()));
    Set("encryption", "No Encryption");
  }
  void TearDown() override {
    // The stand-in clients the program started.
    std::ifstream started(bin_ + "/started");
    for (int pid; started >> pid;) {
      ::kill(pid, SIGKILL);
      started.ignore(1 << 20, '\n');
    }
    if (stub_ > 0) {
      ::kill(stub_, SIGKILL);
      WaitForProcess(stub_);
    }
  }

  void Set(const char* name, const std::string& value) {
    ASSERT_EQ(registry_.WriteString(Hive::CurrentUser, kSettingsKey, name, value), 0u) << name;
  }
  std::string Get(const char* name) {
    std::string value;
    registry_.ReadString(Hive::CurrentUser, kSettingsKey, name, &value);
    return value;
  }
  void Script(const std::string& text) { testing::WriteAll(dir_ / "script", text); }
  // faultsend with `args` (the dump by default); its exit code.
  int Run(std::vector<std::string> args = {"<dump>"}) {
    std::vector<std::string> argv = {bin_ + "/faultsend"};
    for (const std::string& a : args) argv.push_back(a == "<dump>" ? dump_ : a);
    int pid = -1;
    EXPECT_EQ(StartProcess(argv, &pid), 0u);
    return WaitForProcess(pid);
  }
  // A stand-in client as "tarvexsync" in `folder`.
  void StubClientIn(const std::string& folder) {
    fs::create_directories(folder);
    fs::copy_file(STUB_CLIENT, folder + "/tarvexsync", fs::copy_options::overwrite_existing);
  }
  std::vector<std::string> Started(const std::string& folder) {
    std::vector<std::string> args;
    for (const std::string& line : testing::SplitLines(testing::ReadAll(folder + "/started")))
      args.push_back(
          line.substr(line.find(' ') == std::string::npos ? line.size() : line.find(' ') + 1));
    return args;
  }
  // The names in the temporary folder.
  std::set<std::string> TempFiles() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(temp_)) names.insert(entry.path().filename());
    return names;
  }
  // Runs python3's zipfile on the archive: its entry names (after a check
  // of every entry's CRC), or the bytes of one entry.
  std::string Python(const std::string& archive, const std::string& entry = "") {
    const std::string path = dir_ / "received.zip";
    testing::WriteAll(path, archive);
    const char* code =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "assert z.testzip() is None\n"
        "if len(sys.argv) > 2: sys.stdout.buffer.write(z.read(sys.argv[2]))\n"
        "else: print(' '.join(z.namelist()))\n";
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", code, path};
    if (!entry.empty()) argv.push_back(entry);
    ProcessPipes pipes;
    pipes.fromOutput = true;
    int pid = -1;
    if (StartProcess(argv, &pid, pipes) != 0) return "<python3 did not start>";
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipes.output, buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    ::close(pipes.output);
    const int code_ = WaitForProcess(pid);
    return code_ == 0 ? out : "<python3 failed: " + std::to_string(code_) + ">";
  }
  // The one report the service took is the whole report of the fixture.
  void ExpectTheReport() {
    const std::vector<testing::ReceivedCrashReport> reports = service_.CrashReports();
    ASSERT_EQ(reports.size(), 1u);
    const testing::ReceivedCrashReport& got = reports[0];
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.guid, "1234abcd-5678");
    EXPECT_EQ(got.fileName, "1234abcd-5678.zip");
    EXPECT_EQ(got.entries, (std::vector<std::string>{"dump.dmp", "logfile.txt", "regdata.txt"}));
    EXPECT_EQ(Python(got.archive), "dump.dmp logfile.txt regdata.txt\n");
    EXPECT_EQ(Python(got.archive, "dump.dmp"), kDumpBytes);
    EXPECT_EQ(Python(got.archive, "logfile.txt"), kLogText);
    const std::string settings = Python(got.archive, "regdata.txt");
    EXPECT_EQ(settings.rfind("loglevel = 2\r\nautosync = true\r\nserverroot = localhost:", 0), 0u)
        << settings;
    // The dump, the archive and the settings copy are gone; the log and the
    // sender's checkpoint stay.
    EXPECT_EQ(TempFiles(), (std::set<std::string>{"checkpoint.fxp", "tarvex.log"}));
  }

  testing::TempDir dir_;
  std::string bin_ = dir_ / "bin";
  std::string temp_ = dir_ / "tmp";
  std::string runtime_ = dir_ / "run";
  std::string dump_ = temp_ + "/" + kDumpName;
  testing::ScopedEnv env_;
  testing::FakeSyncService service_;
  Registry registry_{dir_ / "registry"};
  int stub_ = -1;
};

TEST_F(FaultsendProgramTest, ExitWithTheBoxCheckedSendsTheReport) {
  Script(CrashBox(false));
  EXPECT_EQ(Run(), 0);
  ExpectTheReport();
  EXPECT_EQ(Started(bin_), std::vector<std::string>{}) << "Exit starts no client";
}

TEST_F(FaultsendProgramTest, NothingIsSentOrDeletedWithoutTheUsersConsentOrADumpOfOurs) {
  testing::WriteAll(dir_ / "document.dmp", "a document");
  testing::WriteAll(temp_ + "/notes.txt", "notes");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string script;
    const char* presenter;
  };
  const Case cases[] = {
      {"the box cleared", {"<dump>"}, CrashBox(false, false), nullptr},
      {"nobody to ask", {"<dump>"}, "", "null"},
      {"no command line", {}, "", nullptr},
      {"an empty argument", {""}, "", nullptr},
      {"not a dump", {temp_ + "/notes.txt"}, "", nullptr},
      {"a dump outside the temporary folder", {dir_ / "document.dmp"}, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedEnv presenter;
    if (c.presenter) presenter.Set("TARVEX_PRESENTER", c.presenter);
    // A script without steps fails the program at the first box it shows.
    Script(c.script);
    EXPECT_EQ(Run(c.args), 0);
    EXPECT_EQ(service_.CrashReports().size(), 0u);
    EXPECT_EQ(testing::ReadAll(dump_), kDumpBytes);
    EXPECT_EQ(testing::ReadAll(dir_ / "document.dmp"), "a document");
    EXPECT_EQ(TempFiles(), (std::set<std::string>{kDumpName, "notes.txt", "tarvex.log"}));
  }
}

TEST_F(FaultsendProgramTest, WithoutAServerRootNothingIsSentButTheFilesGo) {
  ASSERT_EQ(registry_.DeleteValue(Hive::CurrentUser, kSettingsKey, "serverroot"), 0u);
  Script(CrashBox(false, true, "https://www.tarvex.com/help"));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(service_.Requests().size(), 0u);
  EXPECT_EQ(TempFiles(), (std::set<std::string>{"tarvex.log"}));
}

TEST_F(FaultsendProgramTest, AnArchiveThatCannotBeWrittenWholeIsNotSent) {
  // A folder where the archive goes: nothing can be packed.
  fs::create_directory(temp_ + "/1234abcd-5678.zip");
  Script(CrashBox(false));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(service_.Requests().size(), 0u);
  EXPECT_EQ(TempFiles(), (std::set<std::string>{"1234abcd-5678.zip", "tarvex.log"}));
}

TEST_F(FaultsendProgramTest, RestartStartsTheClientQuietlyAndStillSendsWhenItCannot) {
  const std::string app = dir_ / "app";
  struct Case {
    const char* name;
    const char* autostart;  // nullptr: unset
    std::string client;     // "stub", "exits", "not runnable", "" for none
    std::string script;     // after the crash box
    std::vector<std::string> started;
    const char* autostartAfter;
  };
  const std::string question =
      "dialog 300 expect 304 ~\"Tarvex is not currently running\" "
      "expect 305 \"Automatically start Tarvex without asking me\" ";
  const Case cases[] = {
      {"set in capitals", "TRUE", "stub", "", {"-q"}, "TRUE"},
      {"unset", nullptr, "stub", "", {"-q"}, ""},
      {"asked, always", "false", "stub", question + "check 305 on press 301\n", {"-q"}, "true"},
      {"asked, once", "no", "stub", question + "press 301\n", {"-q"}, "no"},
      {"asked, declined", "false", "stub", question + "check 305 on press 302\n", {}, "false"},
      {"no client anywhere",
       "true",
       "",
       "dialog 300 expect 304 ~\"Tarvex was not installed in a standard location\" press 301\n" +
           ErrorBox("Unable to find Tarvex application"),
       {},
       "true"},
      {"a client that ends at once",
       "true",
       "exits",
       ErrorBox("Unable to finish launching Tarvex synchronizer"),
       {},
       "true"},
      {"a client that cannot run",
       "true",
       "not runnable",
       ErrorBox("Unable to create Tarvex synchronizer process"),
       {},
       "true"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(app);
    fs::create_directories(app);
    if (c.client == "stub") StubClientIn(app);
    if (c.client == "exits") fs::copy_file("/bin/true", app + "/tarvexsync");
    if (c.client == "not runnable") testing::WriteAll(app + "/tarvexsync", "#!/bin/sh\n");
    Set("appdir", app);
    if (c.autostart)
      Set("autostartapp", c.autostart);
    else
      registry_.DeleteValue(Hive::CurrentUser, kSettingsKey, "autostartapp");
    testing::WriteAll(dump_, kDumpBytes);
    testing::WriteAll(temp_ + "/tarvex.log", kLogText);
    const size_t before = service_.CrashReports().size();
    Script(CrashBox(true) + c.script);

    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Started(app), c.started);
    EXPECT_EQ(static_cast<bool>(FindWindow("TarvexSyncWindow", runtime_)), !c.started.empty());
    EXPECT_EQ(Get("autostartapp"), c.autostartAfter);
    ASSERT_EQ(service_.CrashReports().size(), before + 1)
        << "the report goes whatever became of the restart";
    EXPECT_EQ(service_.CrashReports().back().error, "");
    EXPECT_EQ(service_.CrashReports().back().guid, "1234abcd-5678");
    // The log as the crashed client left it: packed before the restart.
    EXPECT_EQ(Python(service_.CrashReports().back().archive, "logfile.txt"), kLogText);
    EXPECT_EQ(testing::ReadAll(temp_ + "/tarvex.log"),
              kLogText + std::string(c.started.empty() ? "" : "the client starts again\r\n"));
    // The stand-in client ends, as a client ends with its window.
    if (HWND window = FindWindow("TarvexSyncWindow", runtime_)) {
      PostMessage(window, WM_CLOSE, 0, 0);
      for (int i = 0; i < 500 && FindWindow("TarvexSyncWindow", runtime_); ++i) ::usleep(10'000);
    }
  }
}

TEST_F(FaultsendProgramTest, RestartWaitsForTheCrashedClientToEndInsteadOfTakingItsWindow) {
  // The crashed client started the program and is still ending, its window
  // still there: the person's restart brings a new client all the same.
  StubClientIn(bin_);
  Script(CrashBox(true));
  ASSERT_EQ(StartProcess({bin_ + "/tarvexsync", "--crash", bin_ + "/faultsend", dump_}, &stub_), 0u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (service_.CrashReports().empty() && std::chrono::steady_clock::now() < deadline)
    ::usleep(20'000);
  EXPECT_EQ(WaitForProcess(stub_), 134);
  stub_ = -1;
  const std::vector<std::string> started = Started(bin_);
  ASSERT_EQ(started.size(), 2u) << "the crashed client, then the restarted one";
  EXPECT_EQ(started[1], "-q");
  const std::vector<testing::ReceivedCrashReport> reports = service_.CrashReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].entries,
            (std::vector<std::string>{"dump.dmp", "logfile.txt", "regdata.txt"}));
}

TEST_F(FaultsendProgramTest, RestartLeavesARunningClientAlone) {
  StubClientIn(dir_ / "running");
  ASSERT_EQ(StartProcess({dir_ / "running/tarvexsync", "-x"}, &stub_), 0u);
  for (int i = 0; i < 500 && !FindWindow("TarvexSyncWindow", runtime_); ++i) ::usleep(10'000);
  ASSERT_TRUE(FindWindow("TarvexSyncWindow", runtime_));
  testing::WriteAll(temp_ + "/tarvex.log", kLogText);
  StubClientIn(bin_);
  Script(CrashBox(true));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Started(bin_), std::vector<std::string>{});
  EXPECT_EQ(Started(dir_ / "running"), std::vector<std::string>{"-x"});
  ExpectTheReport();
}

}  // namespace
}  // namespace tarvex
