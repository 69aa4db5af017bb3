// The loopback service as a program of its own: started as a child process,
// signed in to and synced with through the real transport, and stopped by
// the end of its standard input or by a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ie/sync/testing/SyncClient.h"
#include "nodeset/NodeSet.h"
#include "platform/process/Process.h"

namespace tarvex {
namespace {

using testing::Add;
using testing::IdOf;
using testing::SyncClient;

// The service program, started with `args`; stopped (and reaped) at the end
// if the test did not.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::vector<std::string>& args) {
    std::vector<std::string> argv{TARVEX_LOCAL_SERVICE};
    argv.insert(argv.end(), args.begin(), args.end());
    pipes_.toInput = pipes_.fromOutput = true;
    started_ = StartProcess(argv, &pid_, pipes_) == 0;
  }
  ~ServiceProcess() {
    CloseInput();
    if (pipes_.output >= 0) close(pipes_.output);
    if (started_ && !reaped_) WaitForProcess(pid_);
  }

  bool started() const { return started_; }
  int pid() const { return pid_; }
  // The next line of its standard output, without the newline; "" at its
  // end.
  std::string ReadLine() {
    std::string line;
    char c;
    while (read(pipes_.output, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  void CloseInput() {
    if (pipes_.input >= 0) close(pipes_.input);
    pipes_.input = -1;
  }
  int Wait() {
    reaped_ = true;
    return WaitForProcess(pid_);
  }

 private:
  ProcessPipes pipes_;
  int pid_ = 0;
  bool started_ = false;
  bool reaped_ = false;
};

TEST(LocalService, ComputersSyncThroughItUntilItsInputEnds) {
  ServiceProcess service(
      {"--user", "alice", "--password", "secret", "--user", "bob", "--password", "hunter2"});
  ASSERT_TRUE(service.started());
  const std::string url = service.ReadLine();
  ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;

  // The service holds nothing for alice, so her first computer uploads.
  SyncClient first(url, "alice", "secret", "m1", {});
  first.Edit([](NodeSet& s) { Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/"); });
  first.Sync();
  EXPECT_EQ(first.SyncStatus(), 103) << first.bed.settings.GetValue("errordetails", "");
  // Then her second merges what the service holds.
  SyncClient second(url, "alice", "secret", "m2", {});
  second.Sync();
  EXPECT_EQ(second.SyncStatus(), 105) << second.bed.settings.GetValue("errordetails", "");
  EXPECT_NE(IdOf(*second.Read(), "Wiki"), "");
  // A wrong password is refused: the sync does not succeed.
  SyncClient stranger(url, "bob", "wrong", "m3", {});
  stranger.Sync();
  EXPECT_NE(stranger.SyncStatus(), 103);
  EXPECT_NE(stranger.SyncStatus(), 105);

  service.CloseInput();
  EXPECT_EQ(service.ReadLine(), "");  // nothing more printed
  EXPECT_EQ(service.Wait(), 0);
}

TEST(LocalService, StopsCleanlyOnSignals) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    ServiceProcess service({"--user", "alice", "--password", "secret"});
    ASSERT_TRUE(service.started());
    ASSERT_NE(service.ReadLine(), "");
    ASSERT_EQ(kill(service.pid(), signal), 0);
    EXPECT_EQ(service.Wait(), 0);
  }
}

TEST(LocalService, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--user"},
      {"--user", "alice"},
      {"--user", "alice", "--password"},
      {"--user", "alice", "--password", ""},
      {"--user", "", "--password", "secret"},
      {"--password", "secret", "--user", "alice"},
      {"--user", "alice", "--password", "secret", "--user", "alice", "--password", "again"},
      {"--user", "alice", "--password", "secret", "--port", "80"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    ServiceProcess service(args);
    ASSERT_TRUE(service.started());
    EXPECT_EQ(service.ReadLine(), "");  // no URL: it never served
    EXPECT_EQ(service.Wait(), 2);
  }
}

}  // namespace
}  // namespace tarvex
