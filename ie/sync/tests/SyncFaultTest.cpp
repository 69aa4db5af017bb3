// One fault at a time in one sync of two computers, the way the world makes
// them: a file operation of the sync failing (once, or from then on until
// the sync is over), a reply that cannot be read or never comes, at each
// request the sync makes, and a put the service took whose reply was lost.
// Each case starts from a scenario (changes on one side or both, a lost
// baseline, revoked tokens, a first sync), counts what a fault-free run of
// the faulted sync does, and fails each of those in a run of its own. What
// every sync must hold, and what the syncs after the fault must come to, is
// in testing/SyncChecks.h.
// The syncs of the scenarios make few calls of each kind, so every one of
// them is failed in turn.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "text/Text.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncChecks.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Command.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"

namespace tarvex {
namespace {

using testing::Add;
using testing::FakeFault;
using testing::FakeSyncService;
using testing::SyncClient;
using testing::SyncJudge;
using testing::SyncOutcome;
using Op = FaultyFileSystem::Op;

constexpr const char* kPut = "/sync/bookmarks/putchanges";
constexpr const char* kSignIn = "/login/signtoken";

// What the world looks like when computer A syncs, the sync a fault meets.
struct Scenario {
  const char* id;  // for the test's name
  const char* name;
  bool local;         // A has changes of its own to put
  bool server;        // B put changes A has not seen yet
  bool baselineLost;  // A's baseline file is gone: the sync downloads it first
  bool revoked;       // the service revoked every token: A signs in again
  bool firstSync;     // A is a new computer: its first sync merges
};

const Scenario kScenarios[] = {
    {"Local", "changes on A", true, false, false, false, false},
    {"Server", "changes on B", false, true, false, false, false},
    {"Both", "changes on both", true, true, false, false, false},
    {"BaselineLost", "changes on both, A's baseline lost", true, true, true, false, false},
    {"TokensRevoked", "changes on both, tokens revoked", true, true, false, true, false},
    {"FirstSync", "A's first sync, changes on both", true, true, false, false, true},
};

// Two computers of one user (three for a first sync: the one that uploaded
// the shared tree stays aside) and the changes of the scenario.
class World {
 public:
  explicit World(const Scenario& scenario) : scenario_(scenario) {
    // The ids the engine makes up are the same in every run, so a faulted
    // run makes the calls its fault-free run counted.
    SeedNodeIdCounter(1000);
    service.AddUser("alice", "secret");
    pcs = testing::SharedTreeComputers(service, 2);
    if (scenario.firstSync)
      pcs.push_back(std::make_unique<SyncClient>(service, "alice", "secret", "m2"));
    a = scenario.firstSync ? pcs[2].get() : pcs[0].get();
    b = pcs[1].get();
    kept = {"http://paper.example/"};
  }
  ~World() {
    service.BeforeEach({});
    service.AfterEach({});
  }

  // Makes the scenario's changes; B syncs its own. A's sync comes next.
  void Prepare() {
    if (scenario_.local) {
      a->Edit([](NodeSet& s) {
        Add(s, "a1", "ROOT", "A1", "http://a1.example/");
        Add(s, "af", "ROOT", "A folder");
        Add(s, "a2", "af", "A2", "http://a2.example/");
      });
      kept.insert({"http://a1.example/", "http://a2.example/"});
    }
    if (scenario_.server) {
      // A new folder with a bookmark, a bookmark renamed and moved, a
      // bookmark deleted and a folder deleted: every kind of file operation
      // when A writes them.
      b->Edit([](NodeSet& s) {
        Add(s, "bf", "ROOT", "Fresh");
        Add(s, "b2", "bf", "B2", "http://b2.example/");
        s.Execute(Command("update", "paper", {{"name", "Paper 2"}}));
        s.Execute(Command("move", "paper", {{"pnid", "box"}}));
        s.Execute(Command("delete", "wiki", {}));
        s.Execute(Command("delete", "news", {}));
      });
      const SyncOutcome out = judge.Sync(*b, "B's sync before the faulted one");
      if (out.Failed())
        judge.Violation("recovers", "B's fault-free sync failed: " + out.Describe());
      kept.insert("http://b2.example/");
      gone.insert("http://wiki.example/");
    } else {
      kept.insert("http://wiki.example/");
    }
    if (scenario_.baselineLost) std::filesystem::remove(a->BaselinePath());
    if (scenario_.revoked) service.RevokeAllTokens();
  }

  // After A's sync: the syncs that must recover, and what they must hold.
  void Settle() {
    judge.Recover({a, b});
    judge.ExpectBookmarks(kept, gone, {a, b});
  }

  FakeSyncService service;
  SyncJudge judge{service};
  std::vector<std::unique_ptr<SyncClient>> pcs;
  SyncClient* a = nullptr;
  SyncClient* b = nullptr;
  std::set<std::string> kept, gone;

 private:
  const Scenario& scenario_;
};

// What A's sync does in a fault-free run of the scenario: its requests, in
// order, and how often it calls each file operation. The run is checked as
// every run is, so a scenario that fails without a fault says so first.
struct Trace {
  std::vector<std::string> requests;
  std::map<Op, int> calls;
};

// The kinds of file operation that fail, with their names (RemoveDirectory
// counts as a Delete call).
struct FileOp {
  Op op;
  const char* name;
  const char* id;  // for the test's name
};
std::ostream& operator<<(std::ostream& out, const FileOp& op) {
  return out << op.name;
}
const FileOp kFileOps[] = {{Op::Write, "Write", "Write"},
                           {Op::Move, "Move", "Move"},
                           {Op::Delete, "Delete", "Delete"},
                           {Op::RemoveDirectory, "RemoveDirectory", "RemoveDirectory"},
                           {Op::CreateDirectory, "CreateDirectory", "CreateDirectory"},
                           {Op::Sync, "Sync", "Sync"}};

Trace FaultFree(const Scenario& scenario) {
  World world(scenario);
  world.judge.Row(Format("fault-free run of '%s'", scenario.name));
  world.Prepare();
  world.service.ClearRequests();
  std::map<Op, int> before;
  for (const FileOp& f : kFileOps) before[f.op] = world.a->files.Calls(f.op);
  const SyncOutcome out = world.judge.Sync(*world.a, "A's sync");
  Trace trace;
  for (const FileOp& f : kFileOps) trace.calls[f.op] = world.a->files.Calls(f.op) - before[f.op];
  for (const testing::LoggedRequest& r : world.service.Requests()) trace.requests.push_back(r.path);
  if (out.Failed())
    world.judge.Violation("recovers", "A's sync failed without a fault: " + out.Describe());
  world.Settle();
  if (std::getenv("TARVEX_FAULT_TRACE")) {
    std::string text = Format("'%s':", scenario.name);
    for (const std::string& r : trace.requests) text += " " + r;
    for (const FileOp& f : kFileOps) text += Format("; %s %d", f.name, trace.calls[f.op]);
    std::printf("%s\n", text.c_str());
  }
  return trace;
}

// ---- File operations ---------------------------------------------------------------------

// Each kind of file operation fails at the Nth call A's sync makes, once or
// from then on until the sync is over. The sync either succeeds truthfully
// or records a failure; then the computers recover and converge.
class FileFaultTest : public ::testing::TestWithParam<FileOp> {};

TEST_P(FileFaultTest, OneFileOperationFailingInASyncIsRecoveredFrom) {
  const FileOp& op = GetParam();
  int rows = 0;
  for (const Scenario& s : kScenarios) {
    // A sync after revoked tokens writes as one with changes on both.
    if (s.revoked) continue;
    const Scenario* scenario = &s;
    const Trace trace = FaultFree(*scenario);
    const int count = trace.calls.at(op.op);
    for (bool sticky : {false, true}) {
      for (int n = 1; n <= count; ++n) {
        ++rows;
        World world(*scenario);
        world.judge.Row(Format("file row '%s': %s call %d of %d fails %s", scenario->name, op.name,
                               n, count, sticky ? "from then on" : "once"));
        world.Prepare();
        world.a->files.FailNth(op.op, n, win32::ERROR_ACCESS_DENIED, sticky);
        world.judge.Sync(*world.a, "the faulted sync");
        world.a->files.Reset();  // the fault is lifted
        world.Settle();
      }
    }
  }
  // The scenarios make every kind of call, or the table tests nothing.
  EXPECT_GT(rows, 0) << "no sync of the scenarios calls " << op.name;
}

INSTANTIATE_TEST_SUITE_P(Ops, FileFaultTest, ::testing::ValuesIn(kFileOps),
                         [](const ::testing::TestParamInfo<FileOp>& info) {
                           return std::string(info.param.id);
                         });

// ---- Replies ------------------------------------------------------------------------------

struct BadReply {
  const char* name;
  FakeFault fault;
};

const BadReply kBadReplies[] = {
    {"HTTP 500", FakeFault::Reply(500, "<html><body>Internal Server Error</body></html>")},
    {"dropped connection", FakeFault::Drop()},
    {"garbage", FakeFault::Reply(200, "<html></html>")},
    {"truncated JSON", FakeFault::Reply(200, R"({"status":0,"toprev":"7","comm)")},
    {"status 0 without its members", FakeFault::Reply(200, R"({"status":0})")},
};

// Each kind of bad reply at each request A's sync makes (the sign-in after a
// revoked token among them), and for each put also the same reply sent
// after the service took the put (it committed; the reply was lost). A put
// whose reply replaced the service's answer was not taken: that sync
// records a failure (101 with a message) and never reports success.
class ReplyFaultTest : public ::testing::TestWithParam<int> {};

TEST_P(ReplyFaultTest, ABadReplyAtAnyRequestIsRecoveredFrom) {
  const Scenario& scenario = kScenarios[GetParam()];
  const Trace trace = FaultFree(scenario);
  ASSERT_FALSE(trace.requests.empty()) << scenario.name << ": A's sync made no request";
  const int count = static_cast<int>(trace.requests.size());
  for (int k = 1; k <= count; ++k) {
    const std::string path = trace.requests[k - 1];
    for (bool taken : {false, true}) {
      if (taken && path != kPut) continue;
      for (const BadReply& bad : kBadReplies) {
        World world(scenario);
        world.judge.Row(Format("reply row '%s': request %d of %d (%s) gets %s%s", scenario.name, k,
                               count, path, bad.name, taken ? " after the service took it" : ""));
        world.Prepare();
        int seen = 0;
        std::string hit;
        const FakeFault fault = taken ? FakeFault::AfterAnswer(bad.fault) : bad.fault;
        world.service.BeforeEach([&](const std::string& p) {
          if (++seen != k) return;
          hit = p;
          world.service.QueueFault(p, fault);
        });
        const SyncOutcome out = world.judge.Sync(*world.a, "the faulted sync", path == kSignIn);
        world.service.BeforeEach({});
        if (hit != path)
          world.judge.Violation("scenario", Format("request %d of the faulted sync was \"%s\", "
                                                   "not \"%s\" as without the fault",
                                                   k, hit, path));
        if (path == kPut && !taken && (out.status != 101 || out.details.empty()))
          world.judge.Violation("put refused",
                                "the sync whose put was not taken did not record a failure (101 "
                                "with a message): " +
                                    out.Describe());
        world.Settle();
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ReplyFaultTest,
                         ::testing::Range(0, static_cast<int>(std::size(kScenarios))),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(kScenarios[info.param].id);
                         });

}  // namespace
}  // namespace tarvex
