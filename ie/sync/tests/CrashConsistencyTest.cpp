// A sync stopped dead after its Nth write to disk, for every N the sync
// reaches, for each kind of sync: a first sync that merges, a normal sync
// with changes on both sides, a download and a repair. It stops in two
// ways: the disk refuses every write after the Nth (full, or gone), while
// the program goes on and reports what it can; or the program is killed
// with SIGKILL just before its next write, in a child process, and starts
// again. Either way the stop is never reported as a success the disk does
// not hold, the baseline (when there is one) is the service's tree at the
// revision the computer names, and the syncs after it settle as the fault
// tests' judge asks (testing/SyncChecks.h): everything converges, every
// bookmark either side added is there once, and none deleted comes back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ie/sync/KestroveServer.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncChecks.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Command.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using testing::Add;
using testing::FakeSyncService;
using testing::SyncClient;
using testing::SyncJudge;
using testing::SyncOutcome;

enum class Kind { FirstSync, Normal, Download, Repair };
enum class Stop { Fault, Kill };

struct SyncKind {
  Kind kind;
  const char* id;  // for the test's name
  const char* name;
};

const SyncKind kKinds[] = {
    {Kind::FirstSync, "FirstSync", "a first sync that merges"},
    {Kind::Normal, "Normal", "a normal sync with changes on both sides"},
    {Kind::Download, "Download", "a download"},
    {Kind::Repair, "Repair", "a repair"},
};

// The statuses of a sync that reports success.
bool IsSuccess(int status) {
  return status == 103 || status == 104 || status == 105 || status == 106 || status == 109;
}

// Computer B uploads News{Paper} Wiki Box{}; computer A (whose folder
// outlives its program, so a new process goes on as the same computer)
// downloads it, except before a first sync, and the kind's changes are
// made. A's sync comes next, with a fresh program.
class Stage {
 public:
  explicit Stage(const SyncKind& kind) : kind_(kind.kind) {
    // The ids the engine makes up are the same in every run, so a stopped
    // run makes the writes its whole run counted.
    SeedNodeIdCounter(1000);
    service.AddUser("alice", "secret");
    b = std::move(testing::SharedTreeComputers(service, 1).front());
    Open();
    if (kind_ != Kind::FirstSync) {
      if (a->Run([](KestroveServer& s) { return s.Download(); }) != 0)
        judge.Violation("stage", "A's first download failed");
    }
    Prepare();
    Restart();
  }

  // A's program ends (its folder stays) and starts again.
  void Close() { a.reset(); }
  void Open() {
    a = std::make_unique<SyncClient>(service.BaseUrl(), "alice", "secret", "m1",
                                     folder_ / "a");
  }
  void Restart() {
    Close();
    Open();
  }

  // Runs the kind's sync on A, which must exist; what it threw, or "".
  std::string RunSync() {
    try {
      switch (kind_) {
        case Kind::FirstSync:
        case Kind::Normal:
          a->Sync();
          break;
        case Kind::Download:
          a->Run([](KestroveServer& s) { return s.Download(); });
          break;
        case Kind::Repair:
          a->Run([](KestroveServer& s) { s.Repair(); });
          break;
      }
    } catch (const std::exception& e) {
      return *e.what() ? e.what() : "(an exception without a message)";
    }
    return {};
  }

  // Clears A's outcome, so what it holds after the sync is the sync's own:
  // the status, and the time of the last commit put back to the earliest
  // (a first sync's stays none), so a later one tells that it committed,
  // as the scheduler tells it.
  void ClearOutcome() {
    a->bed.settings.SetInt("syncstatus", 0, false);
    a->bed.settings.DeleteValue("errordetails");
    if (a->bed.settings.GetInt64("lastsync", 0) != 0) a->bed.settings.SetInt64("lastsync", 1, true);
    lastsync_ = a->bed.settings.GetInt64("lastsync", 0);
  }

  // What the stopped sync left, checked: a success only where the disk
  // holds it, a failure with its message, and a baseline that is the
  // service's tree at A's revision.
  void CheckStopped(const std::string& when, const std::string& thrown, bool killed) {
    SyncOutcome out;
    out.computer = "A";
    out.status = a->SyncStatus();
    out.details = a->bed.settings.GetValue("errordetails", "");
    out.thrown = thrown;
    out.revision = a->bed.settings.GetValue("revision", "");
    // A killed program reports nothing of its own; what it recorded as
    // committed is what its next start takes for a success.
    const bool committed =
        IsSuccess(out.status) || (killed && a->bed.settings.GetInt64("lastsync", 0) > lastsync_);
    if (committed && kind_ == Kind::Repair) {
      // A repair brings the Favorites to the service's present tree and
      // puts back the local bookmarks the service lacks, for the next sync
      // to send: every bookmark of the service is there once.
      const std::string favorites = testing::Favorites(*a);
      for (const auto& [url, count] : testing::ServiceBookmarks(service)) {
        const std::string key = "url=" + url + ";";
        const size_t first = favorites.find(key);
        if (first == std::string::npos || favorites.find(key, first + 1) != std::string::npos)
          judge.Violation("reported a success",
                          Format("%s reported success (%s), but %s is not once in the "
                                 "Favorites:\n%s",
                                 when, out.Describe(), url, favorites));
      }
    } else if (committed) {
      const std::optional<std::string> at = testing::ServiceTreeAt(service, out.revision);
      const std::string favorites = testing::Favorites(*a);
      if (!at || *at != favorites)
        judge.Violation("reported a success",
                        Format("%s reported success (%s) at revision \"%s\", but the Favorites "
                               "are not the service's tree there:%s",
                               when, out.Describe(), out.revision,
                               at ? testing::SnapshotDifference(favorites, *at, "the Favorites",
                                                                "the service")
                                  : std::string(" (no such revision)")));
    } else if (!killed && (out.status != 101 || out.details.empty())) {
      judge.Violation("recorded",
                      Format("%s ended without a recorded outcome: %s", when, out.Describe()));
    }
    if (const std::optional<std::string> baseline = testing::BaselineTree(*a)) {
      const std::optional<std::string> at = testing::ServiceTreeAt(service, out.revision);
      if (!at || *at != *baseline)
        judge.Violation("baseline",
                        Format("after %s (%s) the baseline is not the service's tree at its "
                               "revision \"%s\":%s",
                               when, out.Describe(), out.revision,
                               at ? testing::SnapshotDifference(*baseline, *at, "the baseline",
                                                                "the service")
                                  : std::string(" (no such revision)")));
    }
  }

  // The syncs after the stop, and what they must come to.
  void Settle() {
    judge.Recover({a.get(), b.get()});
    judge.ExpectBookmarks(kept, gone, {a.get(), b.get()});
  }

  testing::TempDir folder_;
  FakeSyncService service;
  SyncJudge judge{service};
  std::unique_ptr<SyncClient> a, b;
  std::set<std::string> kept{"http://paper.example/"}, gone;

 private:
  // A's changes of its own, and B's, synced: a new folder with a
  // bookmark, a bookmark renamed and moved, a bookmark and a folder
  // deleted, so A writes every kind of change. Before a first sync A's
  // Favorites also hold a copy of B's bookmark in the same folder, which
  // the merge pairs with it. A repair puts back the local bookmarks the
  // service lacks, so before one B deletes nothing and A adds one.
  void Prepare() {
    if (kind_ != Kind::Download) {
      a->Edit([&](NodeSet& s) {
        Add(s, "a1", "ROOT", "A1", "http://a1.example/");
        if (kind_ == Kind::Repair) return;
        Add(s, "af", "ROOT", "A folder");
        Add(s, "a2", "af", "A2", "http://a2.example/");
        if (kind_ == Kind::FirstSync) {
          Add(s, "mynews", "ROOT", "News");
          Add(s, "mypaper", "mynews", "Paper", "http://paper.example/");
        } else {
          s.Execute(Command("update", "box", {{"name", "Boxes"}}));
        }
      });
      kept.insert("http://a1.example/");
      if (kind_ != Kind::Repair) kept.insert("http://a2.example/");
    }
    const bool deletes = kind_ != Kind::Repair;
    b->Edit([&](NodeSet& s) {
      Add(s, "bf", "ROOT", "Fresh");
      Add(s, "b2", "bf", "B2", "http://b2.example/");
      s.Execute(Command("update", "paper", {{"name", "Paper 2"}}));
      if (kind_ != Kind::FirstSync) s.Execute(Command("move", "paper", {{"pnid", "box"}}));
      if (deletes) s.Execute(Command("delete", "wiki", {}));
      if (deletes && kind_ != Kind::FirstSync) s.Execute(Command("delete", "news", {}));
    });
    const SyncOutcome out = judge.Sync(*b, "B's sync before A's");
    if (out.Failed()) judge.Violation("stage", "B's sync failed: " + out.Describe());
    kept.insert("http://b2.example/");
    (deletes ? gone : kept).insert("http://wiki.example/");
  }

  Kind kind_;
  int64_t lastsync_ = 0;
};

// The writes A's whole sync makes; the stage is checked as every run is.
int WritesOfAWholeSync(const SyncKind& kind) {
  Stage stage(kind);
  stage.judge.Row(Format("whole run of %s", kind.name));
  stage.ClearOutcome();
  const int before = stage.a->files.Writes();
  const std::string thrown = stage.RunSync();
  const int writes = stage.a->files.Writes() - before;
  if (!IsSuccess(stage.a->SyncStatus()) || !thrown.empty())
    stage.judge.Violation("stage", Format("%s failed without a stop: status %d %s", kind.name,
                                          stage.a->SyncStatus(), thrown));
  stage.CheckStopped("the whole sync", thrown, false);
  stage.Settle();
  return writes;
}

// Runs the sync in a child process that is killed with SIGKILL just before
// its write `n + 1`; A's program in this process ends before and starts
// again after. Whether the child died that way.
bool SyncKilledAfter(Stage& stage, int n) {
  stage.ClearOutcome();
  stage.Close();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The child runs A's program only; the service stays in the parent.
    stage.Open();
    stage.a->files.BeforeNthWrite(n + 1, [] { ::kill(::getpid(), SIGKILL); });
    stage.RunSync();
    ::_exit(0);
  }
  int status = 0;
  const bool waited = pid > 0 && ::waitpid(pid, &status, 0) == pid;
  stage.Open();
  return waited && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

struct Row {
  SyncKind kind;
  Stop stop;
};

class CrashConsistencyTest : public ::testing::TestWithParam<Row> {};

TEST_P(CrashConsistencyTest, ASyncStoppedAfterAnyWriteIsNeverASuccessAndTheNextSettles) {
  const Row& row = GetParam();
  const int writes = WritesOfAWholeSync(row.kind);
  ASSERT_GT(writes, 0) << row.kind.name << " writes nothing";
  for (int n = 0; n < writes; ++n) {
    Stage stage(row.kind);
    const std::string label =
        Format("%s %s after write %d of %d", row.kind.name,
               row.stop == Stop::Fault ? "meeting a disk that takes no more writes" : "killed",
               n, writes);
    stage.judge.Row(label);
    if (row.stop == Stop::Fault) {
      stage.ClearOutcome();
      stage.a->files.FailWritesAfter(n, win32::ERROR_DISK_FULL);
      const std::string thrown = stage.RunSync();
      stage.a->files.Reset();
      stage.CheckStopped("the stopped sync", thrown, false);
    } else {
      if (!SyncKilledAfter(stage, n))
        stage.judge.Violation("killed", "the sync's program did not die before write " +
                                            std::to_string(n + 1));
      stage.CheckStopped("the killed sync", "", true);
    }
    stage.Settle();
    if (stage.judge.RowFailed()) break;  // one row tells the fault
  }
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  for (const SyncKind& kind : kKinds)
    for (Stop stop : {Stop::Fault, Stop::Kill}) rows.push_back({kind, stop});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashConsistencyTest, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.kind.id) +
                                  (info.param.stop == Stop::Fault ? "DiskFull" : "Killed");
                         });

}  // namespace
}  // namespace tarvex
