// The bookmark exchanges of the Windows client with the sync service: the
// normal sync, the first sync of a computer, the download that replaces the
// local Favorites, the upload that replaces the server's copy, the two kinds
// of merge, the upload into a sync profile and the repair.
//
// One object serves one user action or scheduled sync; each entry operation
// runs to its end on the caller's thread, one request leading to the next
// through OnRequestComplete. The outcome is recorded in the settings
// `syncstatus` (101 failed, 102 cancelled, 103 uploaded, 104 downloaded, 105
// synchronized or merged, 106 repaired with local nodes put back, 109
// repaired), `errordetails`, `lastsync`, `revision`, `backoffuntil`,
// `failurecount` and `firstrun`.
//
// Rules that keep the user's bookmarks and the truth safe:
// - Success is a reply whose `status` is exactly the integer 0 or the text
//   "0". A reply without a status, or no reply at all, is a network failure
//   (101, thrown), never a cancel and never a success; a status 302 that
//   the user did not confirm by signing in is a cancel (102).
// - A reply that lacks its `toprev` or its `commands` (or holds them in the
//   wrong type) fails its step; nothing is read as "no changes".
// - A baseline file that is missing, unreadable or holds no tree is rebuilt
//   from the server before a sync goes on; a failed rebuild stops the sync.
// - The baseline file is saved (atomically) before `revision` names it.
// - Trees are owned here: a replaced baseline stays alive as long as the
//   object, so no clone of it ever outlives it.
// - A failure handled by a repair stays a failure (101): it does not report
//   "up to date" nor move `lastsync`. A user's cancel of a conflict question
//   is a cancel (102): no repair, no question, nothing written. The
//   service's own refusals (403, 503, 444) and network failures reach the
//   caller as they are.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ie/foundation/core/VelkException.h"

namespace tarvex {

class CommandSet;
class NodeSet;
class OpenTabs;
class SyncQuestions;
struct SyncContext;

// What outlives one sync: whether the last normal sync succeeded (true at
// start) and when the user was last asked to replace the local bookmarks.
struct SyncFlowState {
  bool lastSyncSucceeded = true;
  int64_t lastFailurePrompt = 0;  // seconds since 1970

  // The one installed with SetProcess (the program's), else one of its own.
  static SyncFlowState& Process();
  // Makes `state` the one Process() answers with (null: its own again) and
  // returns the one it replaces; `state` outlives its place.
  static SyncFlowState* SetProcess(SyncFlowState* state);
};

// The two kinds of merge: the local tree with the server's merged in, and
// the server's tree with the local one merged in.
inline constexpr int kMergeLocalFirst = 1534;
inline constexpr int kMergeServerFirst = 1535;

inline constexpr const char* kSyncConflictText =
    "Another computer is also synchronizing, which can cause a conflict.  Please try again.";
inline constexpr const char* kReplaceLocalText =
    "Tarvex synchronization failed. This can likely be easily fixed by redownloading the data "
    "from the server.\n\nThis will however mean that local changes will be lost.\n\nWould you "
    "like to replace your local bookmarks with what is saved on the server?";

class KestroveServer {
 public:
  // The process-wide context, questions, tabs and state.
  explicit KestroveServer(bool manual);
  KestroveServer(bool manual, SyncContext& context, SyncQuestions& questions, OpenTabs& tabs,
                 SyncFlowState& state);
  ~KestroveServer();
  KestroveServer(const KestroveServer&) = delete;
  KestroveServer& operator=(const KestroveServer&) = delete;

  // Entry operations.
  void Synchronize();
  // 0 when the download was committed; the reply's status, or -1 when
  // writing the Favorites failed (recorded as 101).
  int Download();
  void Upload();
  void MergeDownload(int type);
  void Repair();
  void WriteTabs(bool force);
  Json::Value ReadTabs();
  void CheckVersion(bool manual);

  // Hands one reply to the step named `state`; 0 for a reply whose status is
  // 0, otherwise the status that ended the step without a throw.
  int OnRequestComplete(Json::Value reply, std::string_view state);

  // The reply's status as the flow judges it: 0 exactly for the integer 0 or
  // the text "0"; -1 for a missing, null or unreadable status.
  static int StatusOf(const Json::Value& reply);

 private:
  // False when the baseline had to be rebuilt and the rebuild did not
  // complete (the sync then stops).
  bool ReadBaseline();
  void GetServerChanges();
  void OnChanges(Json::Value& reply);
  template <typename F>
  auto InChangesHandler(F&& work);
  // A clone of the baseline with the service's changes run on it, and in
  // `serverCommands` the net change they make.
  std::unique_ptr<NodeSet> ReplayServerChanges(const CommandSet& received,
                                               CommandSet& serverCommands);
  // Takes the tree the stored `revision` stands for from the service as the
  // baseline (saved); false when the service did not give it.
  bool RebuildBaseline();
  void GetLocalChanges(bool continuous, const std::string& revision, CommandSet& serverCommands,
                       NodeSet& serverTree, bool noQuestion);
  void HandleSyncFailure(const VelkException& error);
  void ProcessDownload(Json::Value& reply);
  void OnUploadWithProfile(Json::Value& reply);
  void ContinueMerge(Json::Value& reply);
  void FinishMerge();
  void RunRepair(bool afterFailure);
  void OnBaselineLoaded(Json::Value& reply);
  void CommitBaseline(int syncStatus);
  // The working tree becomes the baseline: saved, then named by `revision`.
  void AdoptWorkingTree();

  Json::Value Post(const std::string& path, Json::Value arguments);
  // Sends `commands` as the changes since `baserev`; the service's reply.
  Json::Value PutChanges(const Json::Value& baserev, const CommandSet& commands);
  void SetStatus(int status);
  // Runs an entry operation. A failure that leaves it before any outcome
  // was written is recorded as one (101, its message in `errordetails`), so
  // `syncstatus` never still tells how an earlier sync ended.
  template <typename F>
  auto Recorded(F&& entry);
  std::string UserAtServer();
  void RequireWorkingTree(std::string_view state);
  // Keeps a replaced tree alive until the object ends (clones may use it).
  void Retire(std::unique_ptr<NodeSet> tree);

  bool manual_;
  SyncContext& context_;
  SyncQuestions& questions_;
  OpenTabs& tabs_;
  SyncFlowState& state_;
  std::unique_ptr<NodeSet> baseline_;
  std::unique_ptr<NodeSet> working_;
  std::vector<std::unique_ptr<NodeSet>> retired_;
  int mergeType_ = 0;
  bool downloadFailed_ = false;
  bool statusWritten_ = false;  // by the entry operation running
  // A put was sent and its outcome is not known to be a success.
  bool putUnsettled_ = false;
};

}  // namespace tarvex
