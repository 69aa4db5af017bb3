#include "ie/sync/KestroveServer.h"

#include <atomic>
#include <limits>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/sync/Account.h"
#include "ie/sync/Conflicts.h"
#include "ie/sync/OpenTabs.h"
#include "ie/sync/ServiceRequests.h"
#include "ie/sync/SyncContext.h"
#include "ie/sync/SyncQuestions.h"
#include "ie/sync/SynchronousRequest.h"
#include "ie/sync/VersionCheck.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "platform/clock/Clock.h"
#include "text/Text.h"

namespace tarvex {

namespace {

constexpr const char* kNetworkErrorText =
    "Network error while attempting to send request, are you connected to the internet?";

// `toprev` as text; a missing, null, empty or unreadable one fails with
// `message`.
std::string TopRevision(const Json::Value& reply, const char* message) {
  const Json::Value& value = reply.isObject() ? reply["toprev"] : Json::Value::nullSingleton();
  std::string text;
  if (value.isString())
    text = value.asString();
  else if (value.isIntegral() && !value.isBool())
    text = JsonText(value);
  if (text.empty()) throw VelkException("network", kErrGeneral, message);
  return text;
}

// The reply's `commands`, which must be an array, taken out of the reply:
// a large reply is never held twice.
Json::Value TakeCommands(Json::Value& reply, const char* message) {
  if (!reply.isObject() || !reply["commands"].isArray())
    throw VelkException("network", kErrGeneral, message);
  Json::Value commands;
  commands.swap(reply["commands"]);
  return commands;
}

// A member read as a boolean, true when absent (JSON truth otherwise).
bool TruthOf(const Json::Value& reply, const char* name) {
  if (!reply.isMember(name)) return true;
  const Json::Value& v = reply[name];
  if (v.isNull()) return false;
  if (v.isBool()) return v.asBool();
  if (v.isNumeric()) return v.asDouble() != 0;
  if (v.isString()) return !v.asString().empty();
  return !v.empty();
}

// Runs `read` over a reply; a value of a type the reading cannot take
// (the JSON library's error) is a refused reply like any other.
template <typename F>
void ReadReply(const char* message, F&& read) {
  try {
    read();
  } catch (const Json::Exception& e) {
    throw VelkException("network", kErrGeneral, Format("%s: %s", message, e.what()));
  }
}

// A tree of the reply's commands (inserts that build it), taken out of the
// reply.
std::unique_ptr<NodeSet> TreeOf(Json::Value& reply, const char* message) {
  auto tree = std::make_unique<NodeSet>();
  ReadReply(message, [&] { tree->Execute(CommandSet(TakeCommands(reply, message))); });
  return tree;
}

// A tree equal to `tree` that shares nothing with it.
std::unique_ptr<NodeSet> CopyOf(NodeSet& tree) {
  auto copy = std::make_unique<NodeSet>(&tree);
  copy->Declone();
  return copy;
}

bool IsServiceRefusal(const VelkException& e) {
  if (e.source() != "network") return false;
  const int id = e.id();
  return id == -1 || id == kErrServer403 || id == kErrServer503 || id == kErrServer444 ||
         (id >= 500 && id <= 599);
}

}  // namespace

namespace {
std::atomic<SyncFlowState*> installedState{nullptr};
}  // namespace

SyncFlowState& SyncFlowState::Process() {
  if (SyncFlowState* installed = installedState.load()) return *installed;
  static SyncFlowState* state = new SyncFlowState;
  return *state;
}

SyncFlowState* SyncFlowState::SetProcess(SyncFlowState* state) {
  return installedState.exchange(state);
}

KestroveServer::KestroveServer(bool manual)
    : KestroveServer(manual, SyncContext::Process(), *SyncQuestions::Process(), OpenTabs::Process(),
                     SyncFlowState::Process()) {}

KestroveServer::KestroveServer(bool manual, SyncContext& context, SyncQuestions& questions,
                               OpenTabs& tabs, SyncFlowState& state)
    : manual_(manual), context_(context), questions_(questions), tabs_(tabs), state_(state) {}

KestroveServer::~KestroveServer() {
  // Clones die before the trees they were made from.
  working_.reset();
  baseline_.reset();
  while (!retired_.empty()) retired_.pop_back();
}

// ---- Helpers --------------------------------------------------------------------------------

int KestroveServer::StatusOf(const Json::Value& reply) {
  if (!reply.isObject() || !reply.isMember("status")) return -1;
  const Json::Value& status = reply["status"];
  if (status.isBool()) return -1;
  if (status.isInt64()) {
    const int64_t v = status.asInt64();
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return -1;
    return static_cast<int>(v);
  }
  if (status.isString()) {
    const std::string text = status.asString();
    if (text.empty()) return -1;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 9) return -1;
    for (size_t k = i; k < text.size(); ++k)
      if (text[k] < '0' || text[k] > '9') return -1;
    // Only a number written the one way counts ("00" or "-0" is no 0).
    const int value = static_cast<int>(LeadingInt(text));
    return std::to_string(value) == text ? value : -1;
  }
  return -1;
}

Json::Value KestroveServer::Post(const std::string& path, Json::Value arguments) {
  SynchronousRequest request("POST", path, manual_, std::move(arguments), context_);
  return request.TakeResponse();
}

Json::Value KestroveServer::PutChanges(const Json::Value& baserev, const CommandSet& commands) {
  Json::Value args(Json::objectValue);
  args["baserev"] = baserev;
  args["commands"] = commands.ToJSON();
  return Post("/sync/bookmarks/putchanges", std::move(args));
}

void KestroveServer::SetStatus(int status) {
  context_.settings.SetInt("syncstatus", status, false);
  statusWritten_ = true;
}

template <typename F>
auto KestroveServer::Recorded(F&& entry) {
  statusWritten_ = false;
  try {
    return entry();
  } catch (const VelkException& e) {
    if (!statusWritten_) {
      context_.logger.Error(Format("Sync step failed: %s", e.what()));
      context_.settings.SetValue("errordetails", e.ToString(), false);
      SetStatus(101);
    } else if (context_.settings.GetInt("syncstatus", 0) == 101 &&
               context_.settings.GetValue("errordetails", "").empty()) {
      // A failure is never recorded without what failed.
      context_.settings.SetValue("errordetails", e.ToString(), false);
    }
    throw;
  }
}

std::string KestroveServer::UserAtServer() {
  return context_.account.GetUserAtServer();
}

void KestroveServer::RequireWorkingTree(std::string_view state) {
  if (!working_)
    throw VelkException("internal", kErrImpossible,
                        Format("No tree to commit for the reply to %s", std::string(state)));
}

void KestroveServer::Retire(std::unique_ptr<NodeSet> tree) {
  if (tree) retired_.push_back(std::move(tree));
}

// ---- Completion ------------------------------------------------------------------------------

int KestroveServer::OnRequestComplete(Json::Value reply, std::string_view state) {
  Logger& log = context_.logger;
  const int status = StatusOf(reply);
  if (status != 0) {
    mergeType_ = 0;
    SetStatus(102);
    log.Log(
        Format("Sync cancelled [%d]; either a network issue or user decided not to "
               "authenticate",
               status));
    if (status >= 400 && status <= 499) {
      SetStatus(101);
      throw VelkException(
          "network", status,
          Format("%d Error from server: %s", status,
                 IsJsonText(reply["message"]) ? JsonText(reply["message"])
                                              : WriteCompactJson(reply["message"])));
    }
    if ((status >= 500 && status <= 599) || status == -1) {
      SetStatus(101);
      throw VelkException("network", status, kNetworkErrorText);
    }
    return status;
  }

  if (state == "initialsync") {
    const Json::Value& isreset = reply["isreset"];
    if (IsJsonText(isreset) && JsonText(isreset) == "true")
      Upload();
    else
      MergeDownload(kMergeLocalFirst);
  } else if (state == "download") {
    ProcessDownload(reply);
  } else if (state == "upload" || state == "finishuploadwithprofile") {
    RequireWorkingTree(state);
    working_->SetUserHash(UserAtServer());
    working_->SetRevision(TopRevision(reply, state == "upload"
                                                 ? "Unable to get revision from upload"
                                                 : "unable to get rev from upload with profile"));
    CommitBaseline(103);
  } else if (state == "uploadwithprofile") {
    OnUploadWithProfile(reply);
  } else if (state == "mergedownload") {
    ContinueMerge(reply);
  } else if (state == "putchanges") {
    RequireWorkingTree(state);
    working_->SetUserHash(UserAtServer());
    working_->SetRevision(TopRevision(reply, "unable to get rev from putchanges"));
    FinishMerge();
  } else if (state == "changes") {
    OnChanges(reply);
  } else if (state == "baselineloaded") {
    OnBaselineLoaded(reply);
  }
  return 0;
}

// ---- The normal sync ------------------------------------------------------------------------

void KestroveServer::Synchronize() {
  Recorded([&] {
    context_.logger.Log("Starting synchronization");
    if (context_.settings.GetInt64("lastsync", 0) == 0) {
      Json::Value reply = Post("/sync/bookmarks/status", Json::Value(Json::objectValue));
      OnRequestComplete(std::move(reply), "initialsync");
      return;
    }
    WriteTabs(false);
    if (!ReadBaseline()) return;
    GetServerChanges();
  });
}

bool KestroveServer::ReadBaseline() {
  context_.logger.Log("Reading baseline");
  const std::string user = UserAtServer();
  if (baseline_ && baseline_->GetUserHash() == user) return true;
  Retire(std::move(baseline_));
  baseline_ = std::make_unique<NodeSet>();

  std::string problem;
  try {
    switch (baseline_->LoadFromFile()) {
      case NodeSet::LoadResult::Missing:
        problem = "the baseline file is missing";
        break;
      case NodeSet::LoadResult::Unparsable:
        problem = "the baseline file cannot be read";
        break;
      case NodeSet::LoadResult::Loaded:
        if (!baseline_->GetNode(keys::kRoot, false, true, false))
          problem = "the baseline file holds no tree";
        break;
    }
  } catch (const VelkException& e) {
    problem = e.what();
  }
  if (problem.empty()) return true;

  context_.logger.Error(Format("Error loading baseline file: %s", problem));
  return RebuildBaseline();
}

bool KestroveServer::RebuildBaseline() {
  Json::Value args(Json::objectValue);
  args["depth"] = "all";
  args["rev"] = context_.settings.GetValue("revision", "");
  Json::Value reply = Post("/sync/bookmarks/download", args);
  return OnRequestComplete(std::move(reply), "baselineloaded") == 0;
}

void KestroveServer::OnBaselineLoaded(Json::Value& reply) {
  std::unique_ptr<NodeSet> tree;
  try {
    tree = TreeOf(reply, "Invalid response to download");
    if (!tree->GetNode(keys::kRoot, false, true, false))
      throw VelkException("network", kErrGeneral, "Invalid response to download");
  } catch (const VelkException&) {
    context_.logger.Error("Failed to set baseline from response");
    throw;
  }
  tree->SetRevision(TopRevision(reply, "unable to get revision from baseline loaded"));
  tree->SetUserHash(UserAtServer());
  tree->SaveToFile();
  Retire(std::move(baseline_));
  baseline_ = std::move(tree);
}

void KestroveServer::GetServerChanges() {
  context_.logger.Log("Getting server changes");
  if (!baseline_)
    throw VelkException("internal", kErrImpossible,
                        "Not expecting a null baseline in GetServerChanges");
  Json::Value args(Json::objectValue);
  args["baserev"] = context_.settings.GetValue("revision", "");
  Json::Value reply = Post("/sync/bookmarks/getchanges", args);
  OnRequestComplete(std::move(reply), "changes");
}

// Errors while building or executing the server's commands are logged
// and carried on as the program's own error.
template <typename F>
auto KestroveServer::InChangesHandler(F&& work) {
  Logger& log = context_.logger;
  try {
    return work();
  } catch (const VelkException& e) {
    log.Error(Format("TarvexException in KV_CB_GET_CHANGES %s", e.what()));
    throw;
  } catch (const std::exception& e) {
    log.Error(std::string("std::exception in KV_CB_GET_CHANGES: ") + e.what());
    throw VelkException("internal", kErrGeneral, "std::exception in KV_CB_GET_CHANGES handler");
  } catch (...) {
    log.Error("Unhandled-type exception in KV_CB_GET_CHANGES :(");
    throw VelkException("internal", kErrGeneral, "unknown error in KV_CB_GET_CHANGES handler");
  }
}

void KestroveServer::OnChanges(Json::Value& reply) {
  const std::string revision = TopRevision(reply, "Invalid response to getchanges");
  const bool continuous = TruthOf(reply, "continuous");
  const bool substituted = TruthOf(reply, "substituted");
  CommandSet serverCommands;
  if (!continuous) {
    NodeSet serverTree(baseline_.get());
    GetLocalChanges(false, revision, serverCommands, serverTree, substituted);
    return;
  }
  Json::Value commands = TakeCommands(reply, "Invalid response to getchanges");
  CommandSet received = InChangesHandler([&] { return CommandSet(std::move(commands)); });
  std::unique_ptr<NodeSet> serverTree;
  try {
    serverTree = ReplayServerChanges(received, serverCommands);
  } catch (const VelkException& e) {
    // The service's changes since our revision do not fit the baseline, so
    // the baseline is not the tree that revision stands for. Failing here
    // would fail the same way on every sync: take that tree from the
    // service again and replay onto it.
    context_.logger.Error(
        Format("The server's changes do not fit the baseline (%s); rebuilding it", e.message()));
    if (!RebuildBaseline()) return;
    serverCommands = CommandSet();
    serverTree = ReplayServerChanges(received, serverCommands);
  }
  GetLocalChanges(true, revision, serverCommands, *serverTree, true);
}

std::unique_ptr<NodeSet> KestroveServer::ReplayServerChanges(const CommandSet& received,
                                                             CommandSet& serverCommands) {
  auto serverTree = std::make_unique<NodeSet>(baseline_.get());
  if (received.GetSize() == 0) return serverTree;
  InChangesHandler([&] {
    context_.logger.Log("Executing commands");
    serverTree->Execute(received);
    NodeSet clone(baseline_.get());
    serverCommands = clone.Compare(*serverTree);
  });
  return serverTree;
}

void KestroveServer::GetLocalChanges(bool continuous, const std::string& revision,
                                     CommandSet& serverCommands, NodeSet& serverTree,
                                     bool noQuestion) {
  Logger& log = context_.logger;
  Settings& settings = context_.settings;
  log.Log("Getting local changes");
  putUnsettled_ = false;
  if (!continuous && !noQuestion) {
    const int answer = questions_.AskSyncFileRestored();
    if (answer == kButtonCancel) {
      SetStatus(102);
      return;
    }
    if (answer == kButtonDownload) {
      Download();
      return;
    }
    if (answer != kButtonSync)
      throw VelkException("internal", kErrImpossible, "Unknown dialog result");
  }

  auto local = std::make_unique<NodeSet>();
  local->FetchFromNative(baseline_.get());
  CommandSet localCommands;
  {
    NodeSet clone(baseline_.get());
    localCommands = clone.Compare(*local);
  }
  if (settings.GetBool("ignorelocalreorders", false))
    localCommands.FilterCommands(actions::kReorder);
  if (settings.GetBool("ignoreserverreorders", false))
    serverCommands.FilterCommands(actions::kReorder);
  // Both sides may make the same change, which the conflict pass drops from
  // both: the baseline must still take it.
  const bool changed = localCommands.GetSize() > 0 || serverCommands.GetSize() > 0;

  try {
    log.Log("Comparing changes");
    ResolveConflicts(localCommands, serverCommands, *local, serverTree, questions_, log);
    log.Log("Applying changes");
    local->Execute(serverCommands);

    std::string newRevision = revision;
    if (localCommands.GetSize() > 0) {
      log.Log("Sending local changes to server");
      // Until the service's answer is read, nobody knows whether it took
      // the changes (see HandleSyncFailure).
      putUnsettled_ = true;
      Json::Value reply = PutChanges(revision, localCommands);
      const int status = StatusOf(reply);
      if (status == 302) {
        // The user did not sign in again: a cancel, and nothing is written.
        log.Log("Sync cancelled: putchanges needs a sign-in the user did not give");
        SetStatus(102);
        return;
      }
      if (status == -1 || (status >= 500 && status <= 599))
        throw VelkException("network", status, kNetworkErrorText);
      if (status != 0) {
        // The service refused the changes as they are: the failure handling
        // may repair. A refusal because another computer's put came first
        // (409) is left for the next sync to settle.
        if (status != 409) putUnsettled_ = false;
        throw VelkException("internal", status, "putchanges failed during sync attempt");
      }
      try {
        newRevision = TopRevision(reply, "no toprev in putchanges response");
      } catch (const VelkException& e) {
        throw VelkException("internal", -50, e.message());
      }
      putUnsettled_ = false;
    }
    if (serverCommands.GetSize() > 0) {
      log.Log("Applying server changes to Favorites");
      local->SetUserHash(UserAtServer());
      local->SetRevision(newRevision);
      local->FlushToNative();
    }
    working_.reset();
    if (!changed) {
      settings.SetValue("revision", newRevision, true);
    } else {
      local->SetUserHash(UserAtServer());
      local->SetRevision(newRevision);
      working_ = std::move(local);
    }
    CommitBaseline(105);
    log.Log("Favorites successfully synchronized");
    state_.lastSyncSucceeded = true;
  } catch (const VelkException& e) {
    HandleSyncFailure(e);
  }
}

void KestroveServer::HandleSyncFailure(const VelkException& error) {
  Logger& log = context_.logger;
  Settings& settings = context_.settings;
  working_.reset();
  if (error.id() == kErrUserCancelled) {
    log.Log(Format("Synchronization cancelled: %s", error.message()));
    SetStatus(102);
    return;
  }
  const std::string message =
      error.id() == 409 ? std::string(kSyncConflictText)
                        : Format("Unexpected error during synchronization: %s", error.ToString());
  log.Error(message);
  SetStatus(101);
  settings.SetValue("errordetails", message, false);
  // What the service refused, or a network that failed, is the caller's to
  // handle (back off, sign in, retry later); a repair would change nothing.
  if (IsServiceRefusal(error)) throw error;
  // A put that lost a race with another computer (409), or whose answer
  // could not be read, leaves the baseline and `revision` as they belong
  // together: the next sync starts from them, meets the other computer's
  // changes, and finds among them whatever of ours the service did take.
  // A repair now would label a tree of the service's present shape with our
  // old revision.
  if (putUnsettled_) {
    putUnsettled_ = false;
    log.Log("The changes were not committed; the next sync sends them again");
    return;
  }

  if (state_.lastSyncSucceeded) {
    state_.lastSyncSucceeded = false;
    RunRepair(true);
    return;
  }
  const int64_t now = context_.clock.Now();
  if (state_.lastFailurePrompt + 86400 >= now) return;
  state_.lastFailurePrompt = now;
  if (!questions_.AskYesNo(kReplaceLocalText, "Tarvex")) return;
  try {
    SynchronousRequest report("GET",
                              SyncErrorUrl(settings, message, context_.account.GetUserName()),
                              manual_, nullptr, nullptr, true, context_);
  } catch (const std::exception& e) {
    log.Error(Format("Could not report the sync failure: %s", e.what()));
  }
  Download();
}

// ---- Download, upload, merge --------------------------------------------------------------

int KestroveServer::Download() {
  return Recorded([&] {
    context_.logger.Log("Downloading Favorites");
    downloadFailed_ = false;
    // The Favorites are read first, so the write keeps what the user
    // changes while the download runs, and only that: what changed before
    // it is replaced. Favorites that cannot be read are replaced whole.
    try {
      NodeSet current;
      current.FetchFromNative();
    } catch (const VelkException& e) {
      context_.logger.Error(
          Format("The Favorites could not be read before the download: %s", e.message()));
    }
    Json::Value reply = Post("/sync/bookmarks/download", Json::Value(Json::objectValue));
    const int result = OnRequestComplete(std::move(reply), "download");
    if (result != 0) return result;
    return downloadFailed_ ? -1 : 0;
  });
}

void KestroveServer::ProcessDownload(Json::Value& reply) {
  context_.logger.Log("Processing download");
  try {
    working_ = TreeOf(reply, "Invalid response to download");
    working_->SetUserHash(UserAtServer());
    working_->SetRevision(TopRevision(reply, "Unabled to get revision from downloaded ns"));
    working_->FlushToNative();
    CommitBaseline(104);
    context_.logger.Log("Download finished");
  } catch (const VelkException& e) {
    working_.reset();
    const std::string message =
        Format("Internal error while writing to your Favorites: %s", e.ToString());
    context_.logger.Error(message);
    context_.settings.SetValue("errordetails", message, false);
    SetStatus(101);
    downloadFailed_ = true;
  }
}

void KestroveServer::Upload() {
  Recorded([&] {
    context_.logger.Log("Starting upload");
    WriteTabs(true);
    if (context_.settings.GetInt("view", 0) != 0) {
      Json::Value reply = Post("/sync/bookmarks/download", Json::Value(Json::objectValue));
      OnRequestComplete(std::move(reply), "uploadwithprofile");
      return;
    }
    working_ = std::make_unique<NodeSet>();
    working_->FetchFromNative();
    Json::Value args(Json::objectValue);
    args["commands"] = working_->ProvideCommandSet().ToJSON();
    context_.logger.Log("Uploading Favorites");
    Json::Value reply = Post("/sync/bookmarks/upload", std::move(args));
    OnRequestComplete(std::move(reply), "upload");
  });
}

void KestroveServer::OnUploadWithProfile(Json::Value& reply) {
  std::unique_ptr<NodeSet> local;
  try {
    working_ = TreeOf(reply, "Invalid response to download");
    local = std::make_unique<NodeSet>();
    local->FetchFromNative();
  } catch (const VelkException& e) {
    working_.reset();
    const std::string message = Format("Error while download favorites: %s", e.ToString());
    context_.logger.Error(message);
    context_.settings.SetValue("errordetails", message, false);
    SetStatus(101);
    return;
  }
  CommandSet commands = working_->Compare(*local);
  local.reset();
  if (commands.GetSize() > 0) {
    Json::Value put = PutChanges(reply["toprev"], commands);
    OnRequestComplete(std::move(put), "finishuploadwithprofile");
  } else {
    Json::Value done(Json::objectValue);
    done["status"] = 0;
    done["toprev"] = reply["toprev"];
    OnRequestComplete(std::move(done), "finishuploadwithprofile");
  }
}

void KestroveServer::MergeDownload(int type) {
  Recorded([&] {
    context_.logger.Log("Starting merge");
    mergeType_ = type;
    context_.logger.Log("Downloading Favorites");
    Json::Value reply = Post("/sync/bookmarks/download", Json::Value(Json::objectValue));
    OnRequestComplete(std::move(reply), "mergedownload");
  });
}

void KestroveServer::ContinueMerge(Json::Value& reply) {
  if (mergeType_ == 0) {
    SetStatus(101);
    throw VelkException("internal", kErrGeneral, "ContinueMerge was called with mergeType == 0");
  }
  Logger& log = context_.logger;
  log.Log("Processing download");
  std::unique_ptr<NodeSet> server = TreeOf(reply, "Invalid response to download");
  auto local = std::make_unique<NodeSet>();
  local->FetchFromNative();
  log.Log("Merging Favorites");
  working_.reset();
  if (mergeType_ == kMergeLocalFirst) {
    working_ = std::move(local);
    working_->Merge(*server);
  } else {
    working_ = CopyOf(*server);
    working_->Merge(*local);
  }
  CommandSet commands = server->Compare(*working_);
  // Only the merged tree goes on.
  server.reset();
  local.reset();
  if (commands.GetSize() > 0) {
    Json::Value put = PutChanges(reply["toprev"], commands);
    OnRequestComplete(std::move(put), "putchanges");
  } else {
    working_->SetUserHash(UserAtServer());
    working_->SetRevision(TopRevision(reply, "Unable to get revision from merge"));
    FinishMerge();
  }
}

void KestroveServer::FinishMerge() {
  context_.logger.Log("Finishing merge");
  working_->FlushToNative();
  CommitBaseline(105);
  context_.logger.Log("Favorites merged");
}

// ---- Repair -----------------------------------------------------------------------------------

void KestroveServer::Repair() {
  Recorded([&] { RunRepair(false); });
}

void KestroveServer::RunRepair(bool afterFailure) {
  Logger& log = context_.logger;
  log.Log("Starting repair");
  auto tree = std::make_unique<NodeSet>();
  tree->FetchFromNative();
  tree->HashTree();
  Json::Value args(Json::objectValue);
  args["attrs"] = Json::Value(Json::arrayValue);
  // What a node is (folder, bookmark, separator) is asked for too: a node the
  // repair inserts must not change its kind.
  for (const char* attr : {"nid", "url", "name", "ntype"}) args["attrs"].append(attr);
  args["nodeset"] = tree->ProvideHashes();
  Json::Value reply = Post("/sync/bookmarks/getdiffs", std::move(args));
  if (OnRequestComplete(reply, "repair") != 0) {
    if (afterFailure) SetStatus(101);  // the sync failed, whatever became of the repair
    return;
  }

  CommandSet repairs, rebases;
  ReadReply("Invalid response to getdiffs",
            [&] { tree->BuildRepairCommands(reply, repairs, rebases); });
  if (repairs.GetSize() == 0) {
    log.Log("Nothing to see here. Move along.");
    if (!afterFailure) CommitBaseline(109);
    return;
  }
  // The repaired tree has the service's present shape, but the differences
  // name no revision, and other computers may put between them and any
  // later request: no revision is known to stand for that tree. So the
  // baseline becomes the tree the stored revision stands for, taken from
  // the service before anything is written, and the next sync takes what
  // the repair changed as local changes; the service's changes since that
  // revision hold the same, and the conflict pass drops what both sides
  // did alike.
  if (!RebuildBaseline()) {
    if (afterFailure) SetStatus(101);
    return;
  }
  tree->Execute(repairs);
  tree->SetUserHash(UserAtServer());
  tree->SetRevision(context_.settings.GetValue("revision", ""));
  if (rebases.GetSize() > 0) {
    // Only the final tree reaches the Favorites: the local nodes the repair
    // took out are put back in the same write.
    log.Log("Repair: Applying rebase operations");
    std::unique_ptr<NodeSet> rebased = CopyOf(*tree);
    rebased->Execute(rebases);
    rebased->FlushToNative();
  } else {
    tree->FlushToNative();
  }
  if (afterFailure) return;  // still a failure: status and details stay
  CommitBaseline(109);
  if (rebases.GetSize() > 0) SetStatus(106);
}

// ---- Commit ---------------------------------------------------------------------------------

void KestroveServer::AdoptWorkingTree() {
  working_->Declone();
  // The file first: `revision` must never name a tree that is not saved.
  working_->SaveToFile();
  Retire(std::move(baseline_));
  baseline_ = std::move(working_);
  context_.settings.SetValue("revision", baseline_->GetRevision(), true);
}

void KestroveServer::CommitBaseline(int syncStatus) {
  Settings& settings = context_.settings;
  if (working_) {
    AdoptWorkingTree();
    if (settings.GetInt("loglevel", 2) >= 3) {
      NodeSet fresh;
      fresh.FetchFromNative();
      NodeSet clone(baseline_.get());
      CommandSet differences = clone.Compare(fresh);
      if (differences.GetSize() > 0) {
        context_.logger.Error("Unexpected differences in nodes just written.  Commands:");
        context_.logger.Error(differences.ToJSON().toStyledString());
        questions_.ShowMessage(
            "Unexpected change commands found after write!  Check log for details.", kButtonOK);
      }
    }
  }
  settings.SetInt64("lastsync", context_.clock.Now(), true);
  SetStatus(syncStatus);
  settings.SetInt("backoffuntil", 0, false);
  settings.SetInt("failurecount", 0, false);
  settings.SetBool("firstrun", false, true);
  settings.DeleteValue("errordetails");
  mergeType_ = 0;
}

// ---- Tabs and version ------------------------------------------------------------------------

void KestroveServer::WriteTabs(bool force) {
  tabs_.WriteTabs(manual_, force);
}

Json::Value KestroveServer::ReadTabs() {
  return tabs_.ReadTabs(manual_);
}

void KestroveServer::CheckVersion(bool manual) {
  tarvex::CheckVersion(context_, questions_, manual);
}

}  // namespace tarvex
