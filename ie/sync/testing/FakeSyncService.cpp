#include "ie/sync/testing/FakeSyncService.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <optional>
#include <set>
#include <stdexcept>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#include <httplib.h>
#pragma GCC diagnostic pop

#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/NodeSet.h"

namespace tarvex::testing {
namespace {

// Engine::Current() is one per process: every service installs its platform
// under this lock, so that two services never interleave their installs.
std::mutex& EngineMutex() {
  static std::mutex mutex;
  return mutex;
}

Json::Value StatusReply(int status) {
  Json::Value reply(Json::objectValue);
  reply["status"] = status;
  return reply;
}

Json::Value Failure(int status, const std::string& message) {
  Json::Value reply = StatusReply(status);
  reply["message"] = message;
  return reply;
}

bool HasRoot(const NodeSet& set) {
  auto it = set.OwnTable().find(std::string(keys::kRoot));
  return it != set.OwnTable().end() && it->second;
}

Json::Value TreeCommands(NodeSet& set) {
  return set.ProvideCommandSet().ToJSON();
}

std::unique_ptr<NodeSet> BuildTree(const Json::Value& commands) {
  if (!commands.isArray()) throw std::runtime_error("commands is not a list");
  auto tree = std::make_unique<NodeSet>();
  CommandSet(commands).Execute(*tree);
  return tree;
}

// The text of a member, "" when it has none (absent, or not a text).
std::string Text(const Json::Value& value) {
  return IsJsonText(value) ? JsonText(value) : "";
}

// Headers cpp-httplib adds to every request itself.
bool AddedByServer(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

// Shuts down the server side of the connection from `remotePort` to
// `localPort` (cpp-httplib does not hand the socket to handlers): the client
// sees the connection close without a byte of reply.
void DropConnection(int localPort, int remotePort) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    sockaddr_in local{}, peer{};
    socklen_t size = sizeof local;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != localPort)
      continue;
    size = sizeof peer;
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        ntohs(peer.sin_port) != remotePort)
      continue;
    shutdown(static_cast<int>(fd), SHUT_RDWR);
  }
  closedir(dir);
}

}  // namespace

std::string LoggedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return "";
}

// ---- Life ----------------------------------------------------------------------

FakeSyncService::FakeSyncService() {
  static const bool sigpipeIgnored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)sigpipeIgnored;
  enginePlatform_.identities.clear();
  enginePlatform_.infoEnabled = false;
  versionDocument_ = StatusReply(0);

  server_ = std::make_unique<httplib::Server>();
  // One request per connection: a client never waits on, nor races with, a
  // connection the service is about to close, and stopping waits for no idle
  // connection.
  server_->set_keep_alive_max_count(1);
  httplib::Server::Handler handler = [this](const httplib::Request& request,
                                            httplib::Response& response) {
    Handle(request, response);
  };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("FakeSyncService: no loopback port to listen on");
  auto ended = std::make_shared<std::atomic<bool>>(false);
  thread_ = std::thread([this, ended] {
    server_->listen_after_bind();
    *ended = true;
  });
  while (!server_->is_running() && !*ended)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server_->is_running()) {
    thread_.join();
    throw std::runtime_error("FakeSyncService: the server did not start");
  }
}

FakeSyncService::~FakeSyncService() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string FakeSyncService::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

// ---- Test-facing state ----------------------------------------------------------

FakeSyncService::UserData& FakeSyncService::User(const std::string& name) {
  UserData& user = users_[name];
  if (!user.top) user.top = std::make_unique<NodeSet>();
  return user;
}

void FakeSyncService::AddUser(const std::string& name, const std::string& password) {
  std::lock_guard lock(mutex_);
  User(name).passwordHash = md5(password);
}

void FakeSyncService::RevokeAllTokens() {
  std::lock_guard lock(mutex_);
  for (auto& [token, entry] : tokens_) entry.revoked = true;
  revokeAfter_ = -1;
}

void FakeSyncService::RevokeAfterRequests(int n) {
  if (n <= 0) return RevokeAllTokens();
  std::lock_guard lock(mutex_);
  revokeAfter_ = n;
}

void FakeSyncService::RotateTokenOnNextReply() {
  std::lock_guard lock(mutex_);
  rotateNext_ = true;
}

std::string FakeSyncService::SeedTree(const std::string& user, const Json::Value& commands) {
  std::lock_guard lock(mutex_);
  std::lock_guard engineLock(EngineMutex());
  ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
  UserData& data = User(user);
  data.top = BuildTree(commands);
  return AppendRevision(data, commands, true);
}

void FakeSyncService::WithTree(const std::string& user, const std::function<void(NodeSet&)>& fn) {
  std::lock_guard lock(mutex_);
  std::lock_guard engineLock(EngineMutex());
  ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
  fn(*User(user).top);
}

bool FakeSyncService::WithTreeAt(const std::string& user, const std::string& revision,
                                 const std::function<void(NodeSet&)>& fn) {
  std::lock_guard lock(mutex_);
  std::lock_guard engineLock(EngineMutex());
  ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
  NodeSet tree;
  if (!ReplayTo(User(user), revision, tree)) return false;
  fn(tree);
  return true;
}

std::string FakeSyncService::TopRevision(const std::string& user) {
  std::lock_guard lock(mutex_);
  return TopRevisionOf(User(user));
}

void FakeSyncService::SetReset(const std::string& user, bool isreset) {
  std::lock_guard lock(mutex_);
  User(user).isreset = isreset;
}

void FakeSyncService::SetGetChangesKnobs(const GetChangesKnobs& knobs) {
  std::lock_guard lock(mutex_);
  getChanges_ = knobs;
}

void FakeSyncService::SetProfile(const std::string& user, const std::string& name, int view,
                                 const Json::Value& commands) {
  std::lock_guard lock(mutex_);
  std::lock_guard engineLock(EngineMutex());
  ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
  UserData& data = User(user);
  data.profiles[name] = std::to_string(view);
  data.views[std::to_string(view)] = BuildTree(commands);
}

void FakeSyncService::SetVersionDocument(Json::Value document) {
  std::lock_guard lock(mutex_);
  versionDocument_ = std::move(document);
}

Json::Value FakeSyncService::Tabs(const std::string& user) {
  std::lock_guard lock(mutex_);
  return User(user).tabs;
}

void FakeSyncService::SetTabs(const std::string& user, const std::string& mid, Json::Value data) {
  std::lock_guard lock(mutex_);
  Json::Value& tabs = User(user).tabs;
  if (data.isNull())
    tabs.removeMember(mid);
  else
    tabs[mid] = std::move(data);
}

std::vector<std::string> FakeSyncService::SyncErrorQueries() {
  std::lock_guard lock(mutex_);
  return syncErrorQueries_;
}

void FakeSyncService::QueueFault(const std::string& path, FakeFault fault) {
  std::lock_guard lock(mutex_);
  faults_[path].push_back(std::move(fault));
}

void FakeSyncService::BeforeNext(const std::string& path, std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  beforeNext_[path].push_back(std::move(fn));
}

void FakeSyncService::BeforeEach(std::function<void(const std::string& path)> fn) {
  std::lock_guard lock(mutex_);
  beforeEach_ = std::move(fn);
}

void FakeSyncService::AfterEach(std::function<void(const std::string& path)> fn) {
  std::lock_guard lock(mutex_);
  afterEach_ = std::move(fn);
}

std::vector<LoggedRequest> FakeSyncService::Requests() {
  std::lock_guard lock(mutex_);
  return log_;
}

void FakeSyncService::ClearRequests() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

// ---- Serving ---------------------------------------------------------------------

void FakeSyncService::Handle(const httplib::Request& request, httplib::Response& response) {
  // Whatever a test runs "meanwhile" runs before the request is logged, so
  // the log keeps the order in which the service took the requests.
  std::function<void()> before;
  std::function<void(const std::string&)> each;
  {
    std::lock_guard lock(mutex_);
    if (auto queued = beforeNext_.find(request.path);
        queued != beforeNext_.end() && !queued->second.empty()) {
      before = std::move(queued->second.front());
      queued->second.pop_front();
    }
    each = beforeEach_;
  }
  if (before) before();
  if (each) each(request.path);

  LoggedRequest logged;
  logged.method = request.method;
  logged.path = request.path;
  if (size_t mark = request.target.find('?'); mark != std::string::npos)
    logged.query = request.target.substr(mark + 1);
  for (const auto& [name, value] : request.headers)
    if (!AddedByServer(name)) logged.headers.emplace_back(name, value);
  logged.body = request.body;
  std::string error;
  if (!ParseJson(request.body, &logged.json, &error)) logged.json = Json::Value();

  std::unique_lock lock(mutex_);
  log_.push_back(logged);
  std::optional<FakeFault> fault;
  if (auto queued = faults_.find(request.path);
      queued != faults_.end() && !queued->second.empty()) {
    fault = std::move(queued->second.front());
    queued->second.pop_front();
  }
  if (fault && fault->delayMs > 0)
    wake_.wait_for(lock, std::chrono::milliseconds(fault->delayMs), [this] { return stopping_; });
  const bool replaced = fault && (fault->dropConnection || fault->httpStatus != 0);
  Reply reply;
  if (!replaced || fault->afterAnswer) {
    std::lock_guard engineLock(EngineMutex());
    ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
    reply = Answer(request, logged);
  }
  std::function<void(const std::string&)> after = afterEach_;
  lock.unlock();
  if (after) after(request.path);

  if (fault && fault->dropConnection) {
    DropConnection(port_, request.remote_port);
    return;
  }
  if (fault && fault->httpStatus != 0) {
    response.status = fault->httpStatus;
    response.set_content(fault->body, "application/json; charset=utf-8");
    return;
  }
  response.status = reply.httpStatus;
  response.set_content(reply.body, reply.contentType);
}

FakeSyncService::Reply FakeSyncService::Answer(const httplib::Request& request,
                                               const LoggedRequest& logged) {
  const std::string& path = request.path;
  if (request.method == "GET" && path == "/clients/version/ie.json")
    return {200, WriteCompactJson(versionDocument_)};
  if (request.method == "GET" && path == "/syncerr.php") {
    syncErrorQueries_.push_back(logged.query);
    return {200, "<html><body>Thank you for the report.</body></html>", "text/html; charset=utf-8"};
  }
  static const std::set<std::string> kPosts = {
      "/login/signtoken",           "/sync/bookmarks/status",
      "/sync/bookmarks/download",   "/sync/bookmarks/getchanges",
      "/sync/bookmarks/putchanges", "/sync/bookmarks/upload",
      "/sync/bookmarks/getdiffs",   "/user/profiles/getnames",
      "/cloud/tabs/write",          "/cloud/tabs/read"};
  if (request.method != "POST" || !kPosts.count(path)) return {404, ""};

  UserData* user = nullptr;
  std::string presented;
  if (path != "/login/signtoken") {
    presented = request.get_header_value("Authorization");
    auto token = tokens_.find(presented);
    bool passes = request.get_header_value_count("Authorization") == 1 &&
                  request.get_header_value_count("X-Tarvex-Auth") == 1 &&
                  request.get_header_value("X-Tarvex-Auth") == presented &&
                  token != tokens_.end() && !token->second.revoked;
    if (!passes) return {200, WriteCompactJson(StatusReply(302))};
    user = &User(token->second.user);
  }

  const Json::Value& body = logged.json;
  Json::Value reply;
  if (!body.isObject()) {
    reply = Failure(400, "the request body is not a JSON object");
  } else {
    try {
      if (path == "/login/signtoken")
        reply = SignToken(body);
      else if (path == "/sync/bookmarks/status")
        reply = Status(*user);
      else if (path == "/sync/bookmarks/download")
        reply = Download(*user, body);
      else if (path == "/sync/bookmarks/getchanges")
        reply = GetChanges(*user, body);
      else if (path == "/sync/bookmarks/putchanges")
        reply = PutChanges(*user, body);
      else if (path == "/sync/bookmarks/upload")
        reply = Upload(*user, body);
      else if (path == "/sync/bookmarks/getdiffs")
        reply = GetDiffs(*user, body);
      else if (path == "/cloud/tabs/write")
        reply = TabsWrite(*user, body);
      else if (path == "/cloud/tabs/read")
        reply = TabsRead(*user);
      else {
        reply = StatusReply(0);
        reply["profiles"] = Json::Value(Json::objectValue);
        for (const auto& [name, view] : user->profiles) reply["profiles"][name] = view;
      }
    } catch (const std::exception& e) {
      reply = Failure(400, e.what());
    }
  }

  if (user) {
    if (revokeAfter_ > 0 && --revokeAfter_ == 0) {
      for (auto& [token, entry] : tokens_) entry.revoked = true;
      revokeAfter_ = -1;
    }
    if (rotateNext_) {
      rotateNext_ = false;
      tokens_[presented].revoked = true;
      reply["auth"] = NewToken(tokens_[presented].user);
    }
  }
  return {200, WriteCompactJson(reply)};
}

std::string FakeSyncService::NewToken(const std::string& user) {
  std::string token = "tok" + std::to_string(++tokenCount_) + "-" + md5(user).substr(0, 8);
  tokens_[token] = Token{user, false};
  return token;
}

std::string FakeSyncService::TopRevisionOf(const UserData& user) {
  return user.history.empty() ? "0" : user.history.back().id;
}

bool FakeSyncService::ReplayTo(const UserData& user, const std::string& revision, NodeSet& tree) {
  auto at = std::find_if(user.history.begin(), user.history.end(),
                         [&](const Revision& r) { return r.id == revision; });
  if (at == user.history.end()) return false;
  // Replay from the last upload at or before the revision.
  auto start = at;
  while (start != user.history.begin() && !start->upload) --start;
  for (auto it = start; it <= at; ++it) CommandSet(it->commands).Execute(tree);
  return HasRoot(tree);
}

std::string FakeSyncService::AppendRevision(UserData& user, Json::Value commands, bool upload) {
  std::string id = std::to_string(user.history.size() + 1);
  user.history.push_back(Revision{id, std::move(commands), upload});
  return id;
}

// ---- The paths --------------------------------------------------------------------

Json::Value FakeSyncService::SignToken(const Json::Value& body) {
  auto user = users_.find(Text(body["username"]));
  std::string hash = Text(body["passwordhash"]);
  if (user == users_.end() || hash.empty() || hash != user->second.passwordHash)
    return Failure(1, "bad credentials");
  Json::Value reply = StatusReply(0);
  reply["auth"] = NewToken(user->first);
  return reply;
}

Json::Value FakeSyncService::Status(UserData& user) {
  Json::Value reply = StatusReply(0);
  reply["isreset"] = user.isreset ? "true" : "false";
  return reply;
}

Json::Value FakeSyncService::Download(UserData& user, const Json::Value& body) {
  Json::Value reply = StatusReply(0);
  if (!body["rev"].isNull()) {
    std::string rev = JsonText(body["rev"]);
    NodeSet tree;
    if (!ReplayTo(user, rev, tree)) return StatusReply(444);
    reply["commands"] = TreeCommands(tree);
    reply["toprev"] = rev;
    return reply;
  }
  int64_t view = IsJsonText(body["view"]) ? LeadingInt(JsonText(body["view"])) : 0;
  if (view != 0) {
    auto tree = user.views.find(std::to_string(view));
    if (tree == user.views.end()) return Failure(400, "no such view");
    reply["commands"] = TreeCommands(*tree->second);
  } else {
    if (!HasRoot(*user.top)) return StatusReply(444);
    reply["commands"] = TreeCommands(*user.top);
  }
  reply["toprev"] = TopRevisionOf(user);
  return reply;
}

Json::Value FakeSyncService::GetChanges(UserData& user, const Json::Value& body) {
  std::string base = Text(body["baserev"]);
  // The revisions after `base`, when it is one of the history's ("0" is the
  // start) and no upload came after it.
  bool found = base == "0";
  bool continuous = found;
  std::vector<const Revision*> after;
  for (const Revision& revision : user.history) {
    if (found) {
      if (revision.upload) continuous = false;
      after.push_back(&revision);
    } else if (revision.id == base) {
      found = continuous = true;
    }
  }
  Json::Value reply = StatusReply(0);
  if (!getChanges_.omitTopRev) reply["toprev"] = TopRevisionOf(user);
  reply["continuous"] = continuous;
  if (!continuous) {
    reply["substituted"] = getChanges_.substituted;
  } else if (!getChanges_.omitCommands) {
    Json::Value& commands = reply["commands"] = Json::Value(Json::arrayValue);
    for (const Revision* revision : after)
      for (const Json::Value& command : revision->commands) commands.append(command);
  }
  return reply;
}

Json::Value FakeSyncService::PutChanges(UserData& user, const Json::Value& body) {
  if (Text(body["baserev"]) != TopRevisionOf(user)) return StatusReply(409);
  const Json::Value& list = body["commands"];
  if (!list.isArray()) return Failure(400, "commands is not a list");
  CommandSet commands(list);
  {
    // A trial on a clone first: a failing batch changes nothing.
    NodeSet trial(user.top.get());
    commands.Execute(trial);
  }
  commands.Execute(*user.top);
  Json::Value reply = StatusReply(0);
  reply["toprev"] = AppendRevision(user, list, false);
  return reply;
}

Json::Value FakeSyncService::Upload(UserData& user, const Json::Value& body) {
  const Json::Value& list = body["commands"];
  user.top = BuildTree(list);
  Json::Value reply = StatusReply(0);
  reply["toprev"] = AppendRevision(user, list, true);
  return reply;
}

Json::Value FakeSyncService::GetDiffs(UserData& user, const Json::Value& body) {
  const Json::Value& entries = body["nodeset"];
  if (!entries.isArray()) return Failure(400, "nodeset is not a list");
  std::map<std::string, std::string> theirs;
  for (const Json::Value& entry : entries)
    if (entry.isObject()) theirs[Text(entry["nid"])] = Text(entry["hash"]);
  std::vector<std::string> attrs;
  if (body["attrs"].isArray()) {
    for (const Json::Value& attr : body["attrs"]) {
      std::string name = Text(attr);
      if (name != "nid" && name != "children" && name != "hash" && name != "pnid" &&
          name != "bnid" && !name.empty())
        attrs.push_back(name);
    }
  } else {
    attrs = {"name", "url"};
  }

  Json::Value reply = StatusReply(0);
  Json::Value& updates = reply["updates"] = Json::Value(Json::arrayValue);
  NodeSet& tree = *user.top;
  if (!HasRoot(tree)) return reply;
  tree.HashTree();
  // Breadth-first from the root, then listed backwards: every child a listed
  // node names is listed before it (or is one the client holds unchanged).
  std::vector<std::string> order{std::string(keys::kRoot)};
  for (size_t i = 0; i < order.size(); ++i) {
    Node* node = tree.GetNode(order[i], false, false, false);
    for (const std::string& child : node->RawChildren()) order.push_back(child);
  }
  for (auto id = order.rbegin(); id != order.rend(); ++id) {
    Node* node = tree.GetNode(*id, false, false, false);
    auto known = theirs.find(*id);
    if (known != theirs.end() && known->second == node->GetHash()) continue;
    Json::Value element(Json::objectValue);
    element["nid"] = *id;
    Json::Value& children = element["children"] = Json::Value(Json::arrayValue);
    for (const std::string& child : node->RawChildren()) children.append(child);
    for (const std::string& attr : attrs)
      if (node->HasAttr(attr)) element[attr] = node->GetAttr(attr);
    updates.append(element);
  }
  return reply;
}

Json::Value FakeSyncService::TabsWrite(UserData& user, const Json::Value& body) {
  std::string mid = Text(body["mymid"]);
  if (mid.empty()) return Failure(400, "no mymid");
  user.tabs[mid] = body["data"];
  return StatusReply(0);
}

Json::Value FakeSyncService::TabsRead(UserData& user) {
  Json::Value reply = StatusReply(0);
  reply["mids"] = user.tabs;
  return reply;
}

}  // namespace tarvex::testing
