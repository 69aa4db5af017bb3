// What the race and fault tests check of every sync, and of the syncs after
// a sync that met a race or a fault.
//
// Every sync must hold:
// - "recorded": it ends in 105 (synchronized), or in 101 with a message in
//   `errordetails`; it may throw only with 101 recorded. Nothing else: no
//   question goes unanswered in these tests, so no cancel (102), except
//   where a test lets the credential prompt decline a sign-in.
// - "truthful": after a 105 the Favorites are the service's tree at the
//   revision the computer names (`revision`): a sync that reports success
//   has its changes on the service and the service's in the Favorites.
// - "baseline": the baseline file, when there is one, is the service's tree
//   at `revision`, whatever became of the sync; the next sync reads the
//   service's changes since that revision against it.
// After a faulted sync, the computers sync again without edits or faults:
// - "recovers": at most one of those syncs fails, and only in the first
//   round; then every computer syncs twice, each time with success;
// - "converged": then every Favorites folder is the service's tree;
// - "kept once" / "stays deleted": every bookmark added and never deleted
//   is on the service exactly once; none deleted is on the service or on a
//   computer.
//
// A row's failures are reported under the row's label (the case, the seed,
// the round): the first in full, the later ones by their first line, so each
// row tells its first symptom. The judge may be used from the
// serving threads that run nested syncs.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "text/Text.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Engine.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"

namespace tarvex::testing {

// How one sync of a test computer ended.
struct SyncOutcome {
  std::string computer;  // its machine id
  int status = 0;        // the `syncstatus` it wrote (0: none)
  std::string details;   // `errordetails`
  std::string thrown;    // what it threw; "" when it returned
  std::string revisionBefore, revision;

  bool Succeeded() const { return status == 105 && thrown.empty(); }
  bool Failed() const { return !Succeeded(); }
  std::string Describe() const {
    std::string out = Format("%s: status %d", computer, status);
    if (!details.empty()) out += Format(" (\"%s\")", details);
    if (!thrown.empty()) out += Format(", threw \"%s\"", thrown);
    return out;
  }
};

// The computer's baseline file as Snapshot describes it; nothing when there
// is no file.
inline std::optional<std::string> BaselineTree(SyncClient& pc) {
  ScopedEngine engine(EngineFlavor::Windows(), pc.platform);
  NodeSet set;
  try {
    switch (set.LoadFromFile()) {
      case NodeSet::LoadResult::Missing:
        return std::nullopt;
      case NodeSet::LoadResult::Unparsable:
        return std::string("<unparsable baseline>");
      case NodeSet::LoadResult::Loaded:
        break;
    }
  } catch (const std::exception& e) {
    return Format("<baseline refused: %s>", e.what());
  }
  return Snapshot(set);
}

class SyncJudge {
 public:
  explicit SyncJudge(FakeSyncService& service, std::string user = "alice")
      : service_(service), user_(std::move(user)) {}
  ~SyncJudge() { EndRow(); }
  SyncJudge(const SyncJudge&) = delete;
  SyncJudge& operator=(const SyncJudge&) = delete;

  // Starts a row: later failures are reported under `label`.
  void Row(const std::string& label) {
    EndRow();
    std::lock_guard lock(mutex_);
    row_ = label;
  }
  // Reports the names of the row's failures after its first.
  void EndRow() {
    std::lock_guard lock(mutex_);
    if (!later_.empty())
      ADD_FAILURE() << row_ << ": " << later_.size()
                    << " more violation(s) after the first:" << Join(later_);
    later_.clear();
    failures_ = 0;
  }
  // Whether the row has failed so far.
  bool RowFailed() {
    std::lock_guard lock(mutex_);
    return failures_ > 0;
  }

  // One violation of the invariant `name` in the current row.
  void Violation(const std::string& name, const std::string& what) {
    std::lock_guard lock(mutex_);
    if (failures_++ == 0) {
      ADD_FAILURE() << row_ << ": [" << name << "] " << what;
    } else {
      std::string line = what.substr(0, what.find('\n'));
      if (line.size() > 160) line = line.substr(0, 157) + "...";
      later_.push_back("[" + name + "] " + line);
    }
  }

  // Runs one sync of `pc` (with `syncstatus` and `errordetails` cleared
  // first, so what they hold afterwards is this sync's) and checks what every
  // sync must hold. `when` says which sync it was, for the messages. With
  // `mayCancel` a cancel (102) counts as recorded too: the sync needed a
  // sign-in that the test's credential prompt declines.
  SyncOutcome Sync(SyncClient& pc, const std::string& when, bool mayCancel = false) {
    SyncOutcome out;
    out.computer = pc.bed.settings.GetValue("machineid", "?");
    out.revisionBefore = pc.bed.settings.GetValue("revision", "");
    pc.bed.settings.SetInt("syncstatus", 0, false);
    pc.bed.settings.DeleteValue("errordetails");
    try {
      pc.Sync();
    } catch (const std::exception& e) {
      out.thrown = e.what();
      if (out.thrown.empty()) out.thrown = "(an exception without a message)";
    }
    out.status = pc.SyncStatus();
    out.details = pc.bed.settings.GetValue("errordetails", "");
    out.revision = pc.bed.settings.GetValue("revision", "");
    Check(pc, out, when, mayCancel);
    return out;
  }

  // The three invariants of every sync, on a sync that just ended.
  void Check(SyncClient& pc, const SyncOutcome& out, const std::string& when,
             bool mayCancel = false) {
    const bool recorded = out.Succeeded() || (out.status == 101 && !out.details.empty()) ||
                          (mayCancel && out.status == 102 && out.thrown.empty());
    if (!recorded)
      Violation("recorded", when + " ended without a recorded outcome: " + out.Describe());
    if (out.Succeeded()) {
      const std::optional<std::string> at = TreeAt(out.revision);
      const std::string favorites = Favorites(pc);
      if (!at)
        Violation("truthful", Format("%s reported success at revision \"%s\", which the service "
                                     "does not have",
                                     when, out.revision));
      else if (*at != favorites)
        Violation("truthful",
                  Format("%s reported success at revision %s, but the Favorites of %s are not "
                         "the service's tree at that revision:%s",
                         when, out.revision, out.computer,
                         SnapshotDifference(favorites, *at, "the Favorites", "the service")));
    }
    if (const std::optional<std::string> baseline = BaselineTree(pc)) {
      const std::optional<std::string> at = TreeAt(out.revision);
      if (!at)
        Violation("baseline", Format("after %s (%s) the baseline names revision \"%s\", which "
                                     "the service does not have",
                                     when, out.Describe(), out.revision));
      else if (*at != *baseline)
        Violation("baseline",
                  Format("after %s (%s) the baseline of %s is not the service's tree at its "
                         "revision %s:%s",
                         when, out.Describe(), out.computer, out.revision,
                         SnapshotDifference(*baseline, *at, "the baseline", "the service")));
    }
  }

  // The syncs after a faulted or raced one: three rounds in which every
  // computer (in the order given: the faulted one first) syncs without edits
  // or faults. At most one sync may fail, and only in the first round; then
  // every Favorites folder is the service's tree. The outcomes, in order.
  std::vector<SyncOutcome> Recover(const std::vector<SyncClient*>& pcs) {
    std::vector<SyncOutcome> outcomes;
    int failed = 0;
    for (int round = 0; round < 3; ++round) {
      for (SyncClient* pc : pcs) {
        const std::string when =
            Format("sync %d after the fault (round %d, %s)", static_cast<int>(outcomes.size()) + 1,
                   round + 1, pc->bed.settings.GetValue("machineid", "?"));
        SyncOutcome out = Sync(*pc, when);
        if (out.Failed()) {
          ++failed;
          if (round > 0 || failed > 1)
            Violation("recovers",
                      Format("%s failed%s: %s", when,
                             failed > 1 ? Format(" (failure %d since the fault)", failed) : "",
                             out.Describe()));
        }
        outcomes.push_back(std::move(out));
      }
    }
    ExpectConverged(pcs);
    return outcomes;
  }

  // Every Favorites folder is the service's tree.
  void ExpectConverged(const std::vector<SyncClient*>& pcs) {
    const std::string service = ServiceTree(service_, user_);
    for (SyncClient* pc : pcs) {
      const std::string favorites = Favorites(*pc);
      if (favorites != service)
        Violation("converged",
                  Format("the Favorites of %s are not the service's tree after settling:%s",
                         pc->bed.settings.GetValue("machineid", "?"),
                         SnapshotDifference(favorites, service, "the Favorites", "the service")));
    }
  }

  // Every address in `kept` is on the service exactly once; none in `gone`
  // is on the service or in the Favorites of `pcs`.
  void ExpectBookmarks(const std::set<std::string>& kept, const std::set<std::string>& gone,
                       const std::vector<SyncClient*>& pcs) {
    std::map<std::string, int> count = ServiceBookmarks(service_, user_);
    for (const std::string& url : kept)
      if (count[url] != 1)
        Violation("kept once", Format("%s is on the service %d times", url, count[url]));
    for (const std::string& url : gone)
      if (count[url] != 0)
        Violation("stays deleted", Format("%s, deleted, is back on the service", url));
    for (SyncClient* pc : pcs) {
      const std::string favorites = Favorites(*pc);
      for (const std::string& url : gone)
        if (favorites.find("url=" + url + ";") != std::string::npos)
          Violation("stays deleted", Format("%s, deleted, is back in the Favorites of %s", url,
                                            pc->bed.settings.GetValue("machineid", "?")));
    }
  }

 private:
  // The service's tree at a revision; a revision's tree never changes, so
  // each is replayed once.
  std::optional<std::string> TreeAt(const std::string& revision) {
    {
      std::lock_guard lock(mutex_);
      if (auto it = trees_.find(revision); it != trees_.end()) return it->second;
    }
    std::optional<std::string> tree = ServiceTreeAt(service_, revision, user_);
    if (tree) {
      std::lock_guard lock(mutex_);
      trees_[revision] = *tree;
    }
    return tree;
  }

  static std::string Join(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += "\n  " + name;
    return out;
  }

  FakeSyncService& service_;
  std::string user_;
  std::mutex mutex_;
  std::string row_;
  int failures_ = 0;
  std::vector<std::string> later_;
  std::map<std::string, std::string> trees_;  // revision -> the service's tree
};

}  // namespace tarvex::testing
