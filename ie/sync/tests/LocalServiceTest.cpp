// The loopback service as a program of its own: started as a child process,
// signed in to and synced with through the real transport, and stopped by
// the end of its standard input or by a signal; with --state, stopped and
// started again on the same history, and stopped before it serves by a
// state file it cannot take.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/NodeSet.h"
#include "platform/process/Process.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using testing::Add;
using testing::IdOf;
using testing::ReadAll;
using testing::SyncClient;
using testing::TempDir;
using testing::WriteAll;

// The service program, started with `args`; stopped (and reaped) at the end
// if the test did not. With `withErrors` its standard error comes through
// its standard output.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::vector<std::string>& args, bool withErrors = false) {
    std::vector<std::string> argv;
    if (withErrors) argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1"};
    argv.push_back(TARVEX_LOCAL_SERVICE);
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
  // Everything it prints from now until its standard output ends.
  std::string ReadRest() {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(pipes_.output, buf, sizeof buf)) > 0;) text.append(buf, n);
    return text;
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
      {"--user", "alice", "--password", "secret", "--state"},
      {"--state", "", "--user", "alice", "--password", "secret"},
      {"--state", "a.json", "--state", "b.json", "--user", "alice", "--password", "secret"},
      {"--user", "alice", "--state", "a.json", "--password", "secret"},
      {"--port", "x", "--user", "alice", "--password", "secret"},
      {"--port", "65536", "--user", "alice", "--password", "secret"},
      {"--port", "2000", "--port", "2001", "--user", "alice", "--password", "secret"},
      {"--user", "alice", "--password", "secret", "--port"},
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

TEST(LocalService, StartedAgainOnItsPortItKeepsItsAddressAndATakenPortStopsIt) {
  std::string url;
  std::string port;
  {
    ServiceProcess first({"--user", "alice", "--password", "secret"});
    ASSERT_TRUE(first.started());
    url = first.ReadLine();
    port = url.substr(url.rfind(':') + 1);
    ASSERT_FALSE(port.empty()) << url;

    ServiceProcess second({"--port", port, "--user", "alice", "--password", "secret"}, true);
    ASSERT_TRUE(second.started());
    const std::string said = second.ReadLine();
    second.CloseInput();  // ends it, should it serve after all
    EXPECT_EQ(said, "tarvex-local-service: port " + port + " on 127.0.0.1 is taken");
    EXPECT_EQ(second.Wait(), 1);
    first.CloseInput();
    ASSERT_EQ(first.Wait(), 0);
  }
  ServiceProcess again({"--port", port, "--user", "alice", "--password", "secret"});
  ASSERT_TRUE(again.started());
  EXPECT_EQ(again.ReadLine(), url);
}

}  // namespace
}  // namespace tarvex

namespace tarvex {
namespace {

// The sync log of a computer tells how its syncs went.
bool Repaired(SyncClient& pc) {
  const std::string log = pc.bed.Log();
  return log.find("Starting repair") != std::string::npos ||
         log.find("rebuilding it") != std::string::npos;
}

TEST(LocalServiceState, AStoppedServiceGoesOnWithTheSameHistory) {
  TempDir dir;
  const std::string state = dir / "state.json";
  const std::vector<std::string> args{"--state", state, "--user", "alice", "--password", "secret"};
  std::string revision;
  {
    ServiceProcess service(args);
    ASSERT_TRUE(service.started());
    const std::string url = service.ReadLine();
    ASSERT_FALSE(url.empty());
    SyncClient a(url, "alice", "secret", "m1", dir / "a");
    a.Edit([](NodeSet& s) { Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/"); });
    a.Sync();
    ASSERT_EQ(a.SyncStatus(), 103) << a.bed.settings.GetValue("errordetails", "");
    a.Edit([](NodeSet& s) { Add(s, "news", "ROOT", "News", "http://news.example/"); });
    a.Sync();
    ASSERT_EQ(a.SyncStatus(), 105) << a.bed.settings.GetValue("errordetails", "");
    revision = a.bed.settings.GetValue("revision", "");
    service.CloseInput();
    ASSERT_EQ(service.Wait(), 0);
  }
  struct stat st {};
  ASSERT_EQ(stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Stopped by the end of its input, then killed: the file holds every
  // answered change without a word at the end.
  for (int signal : {0, SIGKILL}) {
    SCOPED_TRACE(signal ? "after SIGKILL" : "after the end of its input");
    ServiceProcess service(args);
    ASSERT_TRUE(service.started());
    const std::string url = service.ReadLine();
    ASSERT_FALSE(url.empty());

    // A new computer merges what the service kept.
    SyncClient b(url, "alice", "secret", signal ? "m3" : "m2", {});
    b.Sync();
    EXPECT_EQ(b.SyncStatus(), 105) << b.bed.settings.GetValue("errordetails", "");
    EXPECT_EQ(b.bed.settings.GetValue("revision", ""), revision);
    EXPECT_NE(IdOf(*b.Read(), "Wiki"), "");
    EXPECT_NE(IdOf(*b.Read(), "News"), "");

    // The first computer's next sync is an ordinary one from its baseline,
    // and the revisions go on from there.
    SyncClient a(url, "alice", "secret", "m1", dir / "a");
    const std::string name = signal ? "Mail" : "Maps";
    a.Edit([&](NodeSet& s) { Add(s, AsciiLower(name), "ROOT", name, "http://x.example/"); });
    a.Sync();
    EXPECT_EQ(a.SyncStatus(), 105) << a.bed.settings.GetValue("errordetails", "");
    EXPECT_FALSE(Repaired(a)) << a.bed.Log();
    const std::string next = a.bed.settings.GetValue("revision", "");
    EXPECT_EQ(LeadingInt(next), LeadingInt(revision) + 1) << revision << " then " << next;
    revision = next;
    b.Sync();
    EXPECT_EQ(b.SyncStatus(), 105) << b.bed.settings.GetValue("errordetails", "");
    EXPECT_NE(IdOf(*b.Read(), name), "");

    if (signal) {
      ASSERT_EQ(kill(service.pid(), signal), 0);
      EXPECT_EQ(service.Wait(), -1);
    } else {
      service.CloseInput();
      EXPECT_EQ(service.Wait(), 0);
    }
  }
  // And once more after the kill.
  ServiceProcess service(args);
  ASSERT_TRUE(service.started());
  SyncClient c(service.ReadLine(), "alice", "secret", "m4", {});
  c.Sync();
  EXPECT_EQ(c.SyncStatus(), 105) << c.bed.settings.GetValue("errordetails", "");
  EXPECT_EQ(c.bed.settings.GetValue("revision", ""), revision);
  EXPECT_NE(IdOf(*c.Read(), "Mail"), "");
}

// A state file as the service writes it: alice (password "secret") with one
// uploaded revision.
std::string GoodState() {
  Json::Value document;
  document["version"] = 1;
  Json::Value& alice = document["users"]["alice"];
  alice["passwordhash"] = md5("secret");
  alice["isreset"] = false;
  Json::Value commands(Json::arrayValue);
  Json::Value& root = commands.append(Json::Value());
  root["action"] = "insert";
  root["nid"] = "ROOT";
  root["args"]["ntype"] = "folder";
  Json::Value& wiki = commands.append(Json::Value());
  wiki["action"] = "insert";
  wiki["nid"] = "wiki";
  wiki["args"]["pnid"] = "ROOT";
  wiki["args"]["name"] = "Wiki";
  wiki["args"]["url"] = "http://wiki.example/";
  Json::Value& revision = alice["history"].append(Json::Value());
  revision["id"] = "1";
  revision["upload"] = true;
  revision["commands"] = commands;
  alice["profiles"] = Json::Value(Json::objectValue);
  alice["views"] = Json::Value(Json::objectValue);
  alice["tabs"] = Json::Value(Json::objectValue);
  return WriteCompactJson(document);
}

TEST(LocalServiceState, AStateFileItCannotTakeStopsItAndStaysAsItWas) {
  const std::string good = GoodState();
  struct Case {
    const char* what;
    std::string bytes;
    std::string password;
    const char* says;  // nullptr: the service serves
  } cases[] = {
      {"a good file", good, "secret", nullptr},
      {"truncated", good.substr(0, good.size() / 2), "secret", "not a JSON document"},
      {"empty", "", "secret", "not a JSON document"},
      {"not JSON", "users: alice\n", "secret", "not a JSON document"},
      {"another version", ReplaceAll(good, "\"version\":1", "\"version\":2"), "secret",
       "version is 2; this service reads version 1"},
      {"users as a list", R"({"version":1,"users":[]})", "secret",
       "users is a list, expected an object"},
      {"a revision without its commands", ReplaceAll(good, "\"commands\"", "\"command\""), "secret",
       "users[\"alice\"].history[0].commands is missing"},
      {"a revision out of order", ReplaceAll(good, "\"id\":\"1\"", "\"id\":\"2\""), "secret",
       "users[\"alice\"].history[0].id is \"2\", expected \"1\""},
      {"a revision that does not apply", ReplaceAll(good, "\"commands\":[", "\"commands\":[7,"),
       "secret", "users[\"alice\"].history[0].commands do not apply"},
      {"another password", good, "Secret",
       "the user \"alice\" is kept there with another password"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string state = dir / "state.json";
    WriteAll(state, c.bytes);
    ServiceProcess service({"--state", state, "--user", "alice", "--password", c.password}, true);
    ASSERT_TRUE(service.started());
    if (!c.says) {
      EXPECT_EQ(service.ReadLine().rfind("http://127.0.0.1:", 0), 0u);
      service.CloseInput();
      EXPECT_EQ(service.Wait(), 0);
      continue;
    }
    service.CloseInput();  // a service that served anyway stops, and shows its URL
    const std::string said = service.ReadRest();
    EXPECT_EQ(service.Wait(), 1) << said;
    EXPECT_EQ(said.find("http://"), std::string::npos) << said;  // it never served
    EXPECT_NE(said.find(state + ": "), std::string::npos) << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(ReadAll(state), c.bytes);
  }
}

}  // namespace
}  // namespace tarvex
