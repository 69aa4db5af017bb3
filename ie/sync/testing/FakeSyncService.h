// The sync service's side of the protocol, in-process, for tests: a small
// HTTP server on 127.0.0.1 that signs users in, guards the sync, user and
// cloud paths with tokens, keeps each user's bookmark tree with a revision
// history, and answers every request the client makes. Tests point every
// host setting (`server`, `authserver`, `cloudserver`, `downloadserver`,
// `webserver`) at BaseUrl(), seed the state through the methods below, drive
// the client, and read the request log afterwards.
//
// Design:
//  - The constructor binds 127.0.0.1 on the port asked for (0: an ephemeral
//    one; a port that is taken throws) and serves from its
//    own thread (cpp-httplib's pool); it returns once the server runs. The
//    destructor stops the server, cuts short any delay fault, and joins.
//  - All state sits under one mutex; every public method may be called from
//    the test thread while the client runs on it.
//  - The trees are NodeSets of our engine. The engine is process-wide, so the
//    service installs its own quiet platform (Windows flavour, no user check,
//    no log lines) with ScopedEngine only around its own engine work and puts
//    back whatever the test had installed. That work happens while a request
//    is being answered (or inside a method below), i.e. while a synchronous
//    client waits for the reply: tests must not run engine code on another
//    thread while a request to the service is in flight.
//  - SIGPIPE is ignored process-wide (a client that gives up before the
//    reply must not kill the test binary).
//
// Normal behaviour, per path (a queued fault for the path comes first):
//  - POST /login/signtoken {username, passwordhash}: a match gives
//    {"status":0,"auth":<new token>}, anything else
//    {"status":1,"message":"bad credentials"}.
//  - /sync/*, /user/*, /cloud/*: `Authorization` and `X-Tarvex-Auth` must both
//    be present, equal and a live token, else {"status":302}.
//  - POST /sync/bookmarks/status: {"status":0,"isreset":"true"|"false"}.
//  - POST /sync/bookmarks/download: with `rev`, the tree at that revision
//    (444 when the user has no data or the revision is unknown); with a `view`
//    other than 0, that view's tree; otherwise the top tree. Each as
//    {"status":0,"commands":[inserts, parents first],"toprev":<text>}. A user
//    without data gets {"status":444}.
//  - POST /sync/bookmarks/getchanges {baserev}: a revision of the history
//    after which no upload happened gives {"status":0,"toprev","commands":
//    [batches after it],"continuous":true}; any other gives
//    {"status":0,"toprev","continuous":false,"substituted":<knob>}.
//  - POST /sync/bookmarks/putchanges {baserev (text or number), commands}:
//    baserev other than the top gives {"status":409}; commands that fail on
//    the tree give {"status":400,"message"} and change nothing; otherwise a
//    new revision and {"status":0,"toprev":<new>}. Puts always change the
//    user's main tree (a view's tree is whatever the test set).
//  - POST /sync/bookmarks/upload {commands}: the tree is replaced, a new
//    revision starts, and every earlier revision becomes non-continuous.
//  - POST /sync/bookmarks/getdiffs {attrs, nodeset:[{nid, hash, ...}]}: every
//    node of the top tree whose hash (the engine's rule) differs from the
//    client's entry, or that the client lacks, children before parents
//    (reverse breadth-first), as {nid, children, <attrs the node has>} (attrs
//    default to name and url), in {"status":0,"updates":[...]}.
//  - POST /user/profiles/getnames: {"status":0,"profiles":{name: view}}.
//  - GET /clients/version/ie.json: the version document as set.
//  - POST /cloud/tabs/write {mymid, data} and /cloud/tabs/read {mymid}: the
//    user's tab lists per machine id; read returns every machine id,
//    the caller's own included, as {"status":0,"mids":{...}}.
//  - GET /syncerr.php: the raw query string is recorded; a short HTML page.
//  - POST /breakpad/ie/upload, a crash report (any host name, no token): a
//    multipart form with a non-empty `GUID` and the file part
//    "upload_file_minidump" holding a ZIP archive whose directory lists its
//    entries, each at a local header; it is kept (CrashReports) and
//    answered 200 with the GUID as text. Anything else is answered 400
//    with what is wrong, and kept with that error.
//  - GET of a page the client opens in the browser at `webserver` or
//    `authserver` (/, /msie/success/<version>, /msie/upgrade/<version>,
//    /wizard, /account, /help, /support): a small plain HTML page, every text
//    in it escaped.
//  - A POST body that is not a JSON object gives {"status":400}; an unknown
//    path gives HTTP 404.
// Revision ids are increasing integers as text; a user starts at "0", the
// empty tree.
//
// The state can be kept in a file (KeepStateIn): one JSON document of ours,
//   {"version":1,"users":{NAME:{"passwordhash","isreset","history":[{"id",
//    "upload","commands"}],"profiles":{name:view},"views":{view:commands},
//    "tabs":{mid:data}}}}
// where each view is the commands that build its tree. The top tree is the
// one the history builds, so it is not written apart (a change made with
// WithTree is not kept). Tokens, faults, hooks, knobs, the version document
// and the log are not kept either.
#pragma once

#include <json/json.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "nodeset/testing/TestEngine.h"
#include "platform/files/FileSystem.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace tarvex {
class NodeSet;
}

namespace tarvex::testing {

// An answer that replaces the normal one for one request to a path.
struct FakeFault {
  // The HTTP status; 0 answers normally (after the delay).
  int httpStatus = 200;
  std::string body;  // sent as it is
  int delayMs = 0;   // waited before answering (or dropping)
  // Close the connection without sending a byte.
  bool dropConnection = false;
  // The service first takes the request as it normally would (a put is
  // committed), then sends the fault instead of its answer: a reply lost
  // after the service did the work.
  bool afterAnswer = false;

  // HTTP `httpStatus` with `body`.
  static FakeFault Reply(int httpStatus, std::string body, int delayMs = 0) {
    FakeFault fault;
    fault.httpStatus = httpStatus;
    fault.body = std::move(body);
    fault.delayMs = delayMs;
    return fault;
  }
  // The normal answer, `delayMs` late.
  static FakeFault Late(int delayMs) {
    FakeFault fault;
    fault.httpStatus = 0;
    fault.delayMs = delayMs;
    return fault;
  }
  static FakeFault Drop(int delayMs = 0) {
    FakeFault fault;
    fault.delayMs = delayMs;
    fault.dropConnection = true;
    return fault;
  }
  // `lost` sent once the request was taken: AfterAnswer(Drop()) is a put the
  // service committed whose reply never arrived.
  static FakeFault AfterAnswer(FakeFault lost) {
    lost.afterAnswer = true;
    return lost;
  }
};

struct LoggedRequest {
  std::string method;
  std::string path;
  std::string query;  // the raw query string, without "?"
  // cpp-httplib hands headers over sorted by name (case-insensitively);
  // values of one name keep their order. The order across names is lost.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  Json::Value json;  // the parsed body; null when it is not JSON

  // The first value of the header (name case-insensitive); "" when absent.
  std::string Header(const std::string& name) const;
};

// A crash report as the service received it.
struct ReceivedCrashReport {
  std::string guid;
  std::string fileName;              // of the file part
  std::string archive;               // the file part's bytes
  std::vector<std::string> entries;  // the archive's entry names, in its directory's order
  std::string host;                  // the Host header it came with
  std::string error;                 // why it was refused; "" when taken
};

// The entry names of the ZIP archive `bytes` from its central directory,
// each checked to start at a local header: "" and `*names`, or what is
// wrong with the archive.
std::string ListZipEntries(const std::string& bytes, std::vector<std::string>* names);

struct GetChangesKnobs {
  bool substituted = true;  // `substituted` of a non-continuous reply
  bool omitTopRev = false;
  bool omitCommands = false;
};

class FakeSyncService {
 public:
  explicit FakeSyncService(int port = 0);
  ~FakeSyncService();
  FakeSyncService(const FakeSyncService&) = delete;
  FakeSyncService& operator=(const FakeSyncService&) = delete;

  // "http://127.0.0.1:PORT".
  std::string BaseUrl() const;
  int Port() const { return port_; }

  // ---- Accounts and tokens ----
  void AddUser(const std::string& name, const std::string& password);
  void RevokeAllTokens();
  // The next `n` requests that pass the guard are answered; then every token
  // is revoked (0: at once).
  void RevokeAfterRequests(int n);
  // The next reply to a guarded request carries "auth" with a new token for
  // the user; the token it was sent with is revoked.
  void RotateTokenOnNextReply();

  // ---- Bookmarks ----
  // Replaces the user's tree with the one `commands` build, as an upload
  // does; returns the new revision.
  std::string SeedTree(const std::string& user, const Json::Value& commands);
  // Runs `fn` on the user's top tree with the service's engine installed.
  // Changes made there get no revision (as if the service's data drifted).
  void WithTree(const std::string& user, const std::function<void(NodeSet&)>& fn);
  // Runs `fn` on the user's tree as it was at `revision` (as a download with
  // `rev` gives it); false, without running it, when the history holds no
  // such revision or no tree at it.
  bool WithTreeAt(const std::string& user, const std::string& revision,
                  const std::function<void(NodeSet&)>& fn);
  std::string TopRevision(const std::string& user);
  void SetReset(const std::string& user, bool isreset);
  void SetGetChangesKnobs(const GetChangesKnobs& knobs);
  // A profile `name` for view `view` (not 0) whose tree `commands` build.
  void SetProfile(const std::string& user, const std::string& name, int view,
                  const Json::Value& commands);

  // ---- Other documents ----
  void SetVersionDocument(Json::Value document);
  // machine id -> the `data` last written.
  Json::Value Tabs(const std::string& user);
  // Stores `data` as what machine `mid` wrote, as a write from another
  // computer would (null removes the machine).
  void SetTabs(const std::string& user, const std::string& mid, Json::Value data);
  std::vector<std::string> SyncErrorQueries();
  // Every crash report posted, in order of arrival.
  std::vector<ReceivedCrashReport> CrashReports();
  // Told each crash report as it is taken (on the serving thread, with the
  // service's lock held: it must not call the service).
  void OnCrashReport(std::function<void(const ReceivedCrashReport&)> told);

  // ---- Keeping the state in a file ----
  // Reads the document at `path` (as SaveState writes it) into the service,
  // in place of every user it holds; a missing file changes nothing. "" when
  // done; otherwise what is wrong, naming the file and the value at fault,
  // and the service is as it was.
  std::string LoadState(const std::string& path, FileSystem& files = FileSystem::Native());
  // Writes the state to `path` through a temporary file beside it, renamed
  // over it; the file is readable and writable by its owner only. "" or what
  // failed, naming the file; a failed write leaves the old file.
  std::string SaveState(const std::string& path, FileSystem& files = FileSystem::Native());
  // Writes the state to `path` now, and from then on whenever a request
  // changed it (its own work, or a method here called while it was held)
  // before its reply goes out: a client never holds a revision the file
  // lacks. When that write fails, the request is answered HTTP 500 and the
  // service goes back to the state the file still holds. "" or what the
  // first write met (then nothing is kept).
  std::string KeepStateIn(const std::string& path, FileSystem& files = FileSystem::Native());
  // The users with an account (a password), in name order.
  std::vector<std::string> UserNames();
  // Whether `name` has an account, and whether `password` is its password.
  bool HasUser(const std::string& name);
  bool PasswordIs(const std::string& name, const std::string& password);

  // ---- Faults, interleavings and the log ----
  void QueueFault(const std::string& path, FakeFault fault);
  // Runs `fn` on the serving thread when the next request to `path` has
  // arrived and before it is looked at, with no lock of the service held:
  // `fn` may drive another computer's whole sync against this service (its
  // requests are served on other threads) while the first computer waits
  // for its reply. This is how two syncs meet "at the same moment".
  void BeforeNext(const std::string& path, std::function<void()> fn);
  // The same for every request (after any BeforeNext of its path), with the
  // request's path; an empty function removes it.
  void BeforeEach(std::function<void(const std::string& path)> fn);
  // Runs `fn` on the serving thread for every request once the service has
  // taken it (a put is committed, a queued fault chosen) and before anything
  // is sent back, with no lock held: another computer's sync run there meets
  // the first between the service's work and its reply. An empty function
  // removes it.
  void AfterEach(std::function<void(const std::string& path)> fn);
  std::vector<LoggedRequest> Requests();
  void ClearRequests();

 private:
  struct Revision {
    std::string id;
    Json::Value commands;
    bool upload = false;  // replaced the whole tree
    std::string kept;     // its entry in the state file once written
  };
  struct UserData {
    std::string passwordHash;
    bool isreset = false;
    std::vector<Revision> history;
    std::unique_ptr<NodeSet> top;
    std::map<std::string, std::string> profiles;            // name -> view
    std::map<std::string, std::unique_ptr<NodeSet>> views;  // view -> tree
    Json::Value tabs{Json::objectValue};
  };
  struct Token {
    std::string user;
    bool revoked = false;
  };
  struct Reply {
    int httpStatus = 200;
    std::string body;
    std::string contentType = "application/json; charset=utf-8";
  };

  void Handle(const httplib::Request& request, httplib::Response& response);
  Reply Answer(const httplib::Request& request, const LoggedRequest& logged);
  // Each runs with the lock held and the engine installed.
  Json::Value SignToken(const Json::Value& body);
  Json::Value Status(UserData& user);
  Json::Value Download(UserData& user, const Json::Value& body);
  Json::Value GetChanges(UserData& user, const Json::Value& body);
  Json::Value PutChanges(UserData& user, const Json::Value& body);
  Json::Value Upload(UserData& user, const Json::Value& body);
  Json::Value GetDiffs(UserData& user, const Json::Value& body);
  Json::Value TabsWrite(UserData& user, const Json::Value& body);
  Json::Value TabsRead(UserData& user);
  Reply CrashUpload(const httplib::Request& request);

  UserData& User(const std::string& name);
  // With the lock held and the engine installed. The state file's text, and
  // the users such a text holds (throws what is wrong with it, naming the
  // value).
  std::string StateText();
  static std::map<std::string, UserData> UsersOf(const std::string& text);
  // Writes the state when it changed since it was last written; on a failure
  // the users go back to what the file holds. "" or the failure.
  std::string SaveChanges();
  std::string NewToken(const std::string& user);
  std::string AppendRevision(UserData& user, Json::Value commands, bool upload);
  static std::string TopRevisionOf(const UserData& user);
  // The tree at `revision` replayed from the history into `tree`; false when
  // the revision is unknown or holds no root.
  static bool ReplayTo(const UserData& user, const std::string& revision, NodeSet& tree);

  TestEnginePlatform enginePlatform_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;

  std::mutex mutex_;
  std::condition_variable wake_;  // delays end early when stopping
  bool stopping_ = false;
  std::map<std::string, UserData> users_;
  std::map<std::string, Token> tokens_;
  int tokenCount_ = 0;
  int revokeAfter_ = -1;  // -1: no countdown
  bool rotateNext_ = false;
  GetChangesKnobs getChanges_;
  Json::Value versionDocument_;
  std::vector<std::string> syncErrorQueries_;
  std::vector<ReceivedCrashReport> crashReports_;
  std::function<void(const ReceivedCrashReport&)> onCrashReport_;
  std::map<std::string, std::deque<FakeFault>> faults_;
  std::map<std::string, std::deque<std::function<void()>>> beforeNext_;
  std::function<void(const std::string&)> beforeEach_;
  std::function<void(const std::string&)> afterEach_;
  std::vector<LoggedRequest> log_;
  // Where the state is kept ("" for nowhere), what the file holds, and
  // whether the users changed since.
  std::string statePath_;
  FileSystem* stateFiles_ = nullptr;
  std::string saved_;
  bool changed_ = false;
};

}  // namespace tarvex::testing
