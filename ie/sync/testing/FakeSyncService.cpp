#include "ie/sync/testing/FakeSyncService.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>

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
#include "platform/Win32Error.h"
#include "text/Text.h"

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

std::string EscapeHtml(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The pages the client opens in the browser at the service's address: a
// title and a sentence each. A page named with a version (what follows its
// path) shows the version where its sentence has "%s". /support is /help.
std::optional<std::string> WebPage(const std::string& path) {
  struct Page {
    std::string_view path;
    bool versioned;
    const char* title;
    const char* text;
  };
  static constexpr Page kPages[] = {
      {"/", false, "Tarvex: the sync service on this computer",
       "This service keeps the bookmarks of the accounts it was started with; Tarvex syncs "
       "your Favorites with it."},
      {"/msie/success/", true, "Tarvex: your Favorites are set up",
       "Tarvex%s keeps your Favorites in sync with this service. You may close this page."},
      {"/msie/upgrade/", true, "Tarvex: up to date",
       "Tarvex%s is installed. Your Favorites keep syncing as before."},
      {"/wizard", false, "Tarvex: set up",
       "Sign in from Tarvex with the name and password this service was started with."},
      {"/account", false, "Tarvex: your account",
       "Your account is the name and password this service was started with; your bookmarks "
       "are kept by the service on this computer."},
      {"/help", false, "Tarvex: help",
       "Tarvex syncs your Favorites with the service on this computer. When a sync fails, the "
       "details are in Tarvex's settings, under Error Details."},
  };
  const std::string& wanted = path == "/support" ? "/help" : path;
  for (const Page& page : kPages) {
    std::string text = page.text;
    if (page.versioned) {
      if (!StartsWith(wanted, page.path)) continue;
      std::string version = wanted.substr(page.path.size());
      text = Format(page.text, version.empty() ? "" : " " + version);
    } else if (wanted != page.path) {
      continue;
    }
    const std::string title = EscapeHtml(page.title);
    return Format(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>%s</title>"
        "</head>\n<body><h1>%s</h1>\n<p>%s</p></body></html>\n",
        title, title, EscapeHtml(text));
  }
  return std::nullopt;
}

// ---- The state file: helpers ----

constexpr int kStateVersion = 1;
constexpr uint64_t kMaxStateBytes = uint64_t{1} << 30;

const char* KindOf(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      return "null";
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      return "a number";
    case Json::stringValue:
      return "a text";
    case Json::booleanValue:
      return "true or false";
    case Json::arrayValue:
      return "a list";
    case Json::objectValue:
      return "an object";
  }
  return "a value";
}

// `value` (found at `where`) when it is of `type`; otherwise throws what it
// is instead.
const Json::Value& OfType(const Json::Value& value, const std::string& where,
                          Json::ValueType type) {
  if (value.type() != type)
    throw std::runtime_error(
        Format("%s is %s, expected %s", where, KindOf(value), KindOf(Json::Value(type))));
  return value;
}

// The member `name` of the object at `where`, which must be of `type`.
const Json::Value& Member(const Json::Value& object, const std::string& where, const char* name,
                          Json::ValueType type) {
  const std::string at = where.empty() ? name : where + "." + name;
  if (!object.isMember(name)) throw std::runtime_error(at + " is missing");
  return OfType(object[name], at, type);
}

// The commands that build `tree` again; none for a tree without a root.
Json::Value KeptTree(NodeSet& tree) {
  return HasRoot(tree) ? TreeCommands(tree) : Json::Value(Json::arrayValue);
}

// The tree `commands` (found at `where`) build.
std::unique_ptr<NodeSet> TreeAt(const Json::Value& commands, const std::string& where) {
  try {
    return BuildTree(commands);
  } catch (const std::exception& e) {
    throw std::runtime_error(Format("%s does not build a tree: %s", where, e.what()));
  }
}

bool IsLowerHexMd5(const std::string& text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Writes the state file, readable by its owner only: a new one is made empty
// with that mode first, and the replacing write keeps the mode of the file
// it replaces.
std::string WriteStateFile(const std::string& path, FileSystem& files, const std::string& text) {
  bool made = false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return Format("%s: %s", path, std::strerror(errno));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == ENOENT)
      return Format("%s: the folder %s does not exist", path,
                    std::filesystem::path(path).parent_path().string());
    if (fd < 0) return Format("%s: cannot create it: %s", path, std::strerror(errno));
    ::close(fd);
    made = true;
  } else if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0600) != 0) {
    return Format("%s: cannot make it private: %s", path, std::strerror(errno));
  }
  if (uint32_t code = files.WriteFileAtomic(path, text)) {
    if (made) ::unlink(path.c_str());
    return Format("%s: cannot write the service's state: %s", path, win32::FormatMessage(code));
  }
  return "";
}

}  // namespace

std::string LoggedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return "";
}

// ---- Life ----------------------------------------------------------------------

FakeSyncService::FakeSyncService(int port) {
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
  // A port taken is taken: no second listener shares it, as the library's
  // default socket options would let one.
  server_->set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  if (port != 0) {
    if (!server_->bind_to_port("127.0.0.1", port))
      throw std::runtime_error("port " + std::to_string(port) + " on 127.0.0.1 is taken");
    port_ = port;
  } else {
    port_ = server_->bind_to_any_port("127.0.0.1");
  }
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
  std::string hash = md5(password);
  UserData& user = User(name);
  if (user.passwordHash != hash) changed_ = true;
  user.passwordHash = std::move(hash);
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
  changed_ = true;  // whatever `fn` did
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
  UserData& data = User(user);
  if (data.isreset != isreset) changed_ = true;
  data.isreset = isreset;
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
  data.views[std::to_string(view)] = BuildTree(commands);
  data.profiles[name] = std::to_string(view);
  changed_ = true;
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
  changed_ = true;
  if (data.isNull())
    tabs.removeMember(mid);
  else
    tabs[mid] = std::move(data);
}

std::vector<std::string> FakeSyncService::SyncErrorQueries() {
  std::lock_guard lock(mutex_);
  return syncErrorQueries_;
}

std::vector<ReceivedCrashReport> FakeSyncService::CrashReports() {
  std::lock_guard lock(mutex_);
  return crashReports_;
}

void FakeSyncService::OnCrashReport(std::function<void(const ReceivedCrashReport&)> told) {
  std::lock_guard lock(mutex_);
  onCrashReport_ = std::move(told);
}

std::string ListZipEntries(const std::string& bytes, std::vector<std::string>* names) {
  names->clear();
  auto u16 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
  };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  constexpr size_t kEndRecord = 22, kCentralRecord = 46, kLocalHeader = 30;
  if (bytes.size() < kEndRecord) return "shorter than a ZIP archive's end record";
  // The end record, found from the back (a comment of up to 65535 bytes may follow it).
  size_t end = std::string::npos;
  for (size_t at = bytes.size() - kEndRecord + 1;
       at-- > 0 && bytes.size() - at <= kEndRecord + 0xFFFF;)
    if (u32(at) == 0x06054b50) {
      end = at;
      break;
    }
  if (end == std::string::npos) return "no end record: not a ZIP archive";
  const uint32_t count = u16(end + 10);
  const uint64_t size = u32(end + 12), offset = u32(end + 16);
  if (offset + size > end) return "the central directory lies outside the archive";
  size_t at = offset;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + kCentralRecord > offset + size || u32(at) != 0x02014b50)
      return "central record " + std::to_string(i) + " is missing";
    const size_t nameLength = u16(at + 28);
    const size_t next = at + kCentralRecord + nameLength + u16(at + 30) + u16(at + 32);
    if (next > offset + size)
      return "central record " + std::to_string(i) + " overruns the directory";
    const uint64_t local = u32(at + 42);
    if (local + kLocalHeader > offset || u32(local) != 0x04034b50)
      return "entry " + std::to_string(i) + " has no local header at " + std::to_string(local);
    names->push_back(bytes.substr(at + kCentralRecord, nameLength));
    at = next;
  }
  if (at != offset + size) return "the central directory holds more than its records";
  return "";
}

FakeSyncService::Reply FakeSyncService::CrashUpload(const httplib::Request& request) {
  ReceivedCrashReport report;
  report.host = request.get_header_value("Host");
  if (!request.is_multipart_form_data()) {
    report.error = "not a multipart form";
  } else {
    report.guid = request.get_file_value("GUID").content;
    const httplib::MultipartFormData file = request.get_file_value("upload_file_minidump");
    report.fileName = file.filename;
    report.archive = file.content;
    if (report.guid.empty())
      report.error = "no GUID";
    else if (!request.has_file("upload_file_minidump"))
      report.error = "no file part upload_file_minidump";
    else
      report.error = ListZipEntries(report.archive, &report.entries);
  }
  crashReports_.push_back(report);
  if (onCrashReport_) onCrashReport_(report);
  if (!report.error.empty()) return {400, report.error + "\n", "text/plain; charset=utf-8"};
  return {200, report.guid + "\n", "text/plain; charset=utf-8"};
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

// ---- The state file ----------------------------------------------------------------

std::string FakeSyncService::LoadState(const std::string& path, FileSystem& files) {
  std::string text;
  if (uint32_t code = files.ReadFile(path, &text, kMaxStateBytes)) {
    if (code == win32::ERROR_FILE_NOT_FOUND) return "";  // a fresh service
    if (code == win32::ERROR_PATH_NOT_FOUND)
      return Format("%s: the folder %s does not exist", path,
                    std::filesystem::path(path).parent_path().string());
    return Format("%s: cannot read it: %s", path, win32::FormatMessage(code));
  }
  std::lock_guard lock(mutex_);
  std::lock_guard engineLock(EngineMutex());
  ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
  try {
    users_ = UsersOf(text);
  } catch (const std::exception& e) {
    return Format("%s: %s", path, e.what());
  }
  changed_ = true;
  return "";
}

std::string FakeSyncService::SaveState(const std::string& path, FileSystem& files) {
  std::lock_guard lock(mutex_);
  std::lock_guard engineLock(EngineMutex());
  ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
  return WriteStateFile(path, files, StateText());
}

std::string FakeSyncService::KeepStateIn(const std::string& path, FileSystem& files) {
  std::lock_guard lock(mutex_);
  std::lock_guard engineLock(EngineMutex());
  ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
  std::string text = StateText();
  if (std::string error = WriteStateFile(path, files, text); !error.empty()) return error;
  statePath_ = path;
  stateFiles_ = &files;
  saved_ = std::move(text);
  changed_ = false;
  return "";
}

std::vector<std::string> FakeSyncService::UserNames() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [name, user] : users_)
    if (!user.passwordHash.empty()) names.push_back(name);
  return names;
}

bool FakeSyncService::HasUser(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto user = users_.find(name);
  return user != users_.end() && !user->second.passwordHash.empty();
}

bool FakeSyncService::PasswordIs(const std::string& name, const std::string& password) {
  std::lock_guard lock(mutex_);
  auto user = users_.find(name);
  return user != users_.end() && !user->second.passwordHash.empty() &&
         user->second.passwordHash == md5(password);
}

std::string FakeSyncService::StateText() {
  CompactJsonWriter json;
  std::string out = "{\"users\":{";
  const char* comma = "";
  for (auto& [name, user] : users_) {
    out += comma;
    comma = ",";
    json.Append(Json::Value(name), &out);
    // A revision never changes, so its entry is written once; the history
    // opens the user's object, and the rest closes it.
    out += ":{\"history\":[";
    for (size_t i = 0; i < user.history.size(); ++i) {
      Revision& revision = user.history[i];
      if (revision.kept.empty()) {
        Json::Value entry(Json::objectValue);
        entry["id"] = revision.id;
        entry["upload"] = revision.upload;
        entry["commands"] = revision.commands;
        json.Append(entry, &revision.kept);
      }
      if (i > 0) out += ',';
      out += revision.kept;
    }
    out += "],";
    Json::Value rest(Json::objectValue);
    rest["passwordhash"] = user.passwordHash;
    rest["isreset"] = user.isreset;
    Json::Value& profiles = rest["profiles"] = Json::Value(Json::objectValue);
    for (const auto& [profile, view] : user.profiles) profiles[profile] = view;
    Json::Value& views = rest["views"] = Json::Value(Json::objectValue);
    for (const auto& [view, tree] : user.views) views[view] = KeptTree(*tree);
    rest["tabs"] = user.tabs;
    std::string restText;
    json.Append(rest, &restText);
    out.append(restText, 1, std::string::npos);  // without its "{"
  }
  out += "},\"version\":" + std::to_string(kStateVersion) + "}";
  return out;
}

std::map<std::string, FakeSyncService::UserData> FakeSyncService::UsersOf(const std::string& text) {
  Json::Value document;
  std::string error;
  if (!ParseJson(text, &document, &error))
    throw std::runtime_error(
        Format("not a JSON document (%s)", Trim(ReplaceAll(error, "\n", " "))));
  OfType(document, "the document", Json::objectValue);
  if (!document.isMember("version")) throw std::runtime_error("version is missing");
  const Json::Value& version = document["version"];
  if (!version.isIntegral() || version.asLargestInt() != kStateVersion)
    throw std::runtime_error(Format("version is %s; this service reads version %d",
                                    WriteCompactJson(version), kStateVersion));
  const Json::Value& users = Member(document, "", "users", Json::objectValue);
  std::map<std::string, UserData> out;
  for (const std::string& name : users.getMemberNames()) {
    const std::string where = "users[" + WriteCompactJson(Json::Value(name)) + "]";
    const Json::Value& entry = OfType(users[name], where, Json::objectValue);
    UserData user;
    user.passwordHash = Member(entry, where, "passwordhash", Json::stringValue).asString();
    if (!user.passwordHash.empty() && !IsLowerHexMd5(user.passwordHash))
      throw std::runtime_error(where +
                               ".passwordhash is not the MD5 hash of a password (32 lower-case "
                               "hexadecimal digits)");
    user.isreset = Member(entry, where, "isreset", Json::booleanValue).asBool();

    // Every revision must replay as ReplayTo will replay it; the last
    // replay is the top tree.
    const Json::Value& history = Member(entry, where, "history", Json::arrayValue);
    auto replay = std::make_unique<NodeSet>();
    for (Json::ArrayIndex i = 0; i < history.size(); ++i) {
      const std::string at = Format("%s.history[%d]", where, i);
      const Json::Value& revision = OfType(history[i], at, Json::objectValue);
      std::string id = Member(revision, at, "id", Json::stringValue).asString();
      if (id != std::to_string(i + 1))
        throw std::runtime_error(
            Format("%s.id is \"%s\", expected \"%d\" (revisions count from 1, one by one)", at, id,
                   i + 1));
      const bool upload = Member(revision, at, "upload", Json::booleanValue).asBool();
      const Json::Value& commands = Member(revision, at, "commands", Json::arrayValue);
      try {
        if (upload) replay = std::make_unique<NodeSet>();
        CommandSet(commands).Execute(*replay);
      } catch (const std::exception& e) {
        throw std::runtime_error(Format("%s.commands do not apply: %s", at, e.what()));
      }
      user.history.push_back(Revision{std::move(id), commands, upload, {}});
    }
    user.top = std::move(replay);

    const Json::Value& views = Member(entry, where, "views", Json::objectValue);
    for (const std::string& view : views.getMemberNames()) {
      const std::string at = Format("%s.views[%s]", where, WriteCompactJson(Json::Value(view)));
      if (view.empty() || view.find_first_not_of("0123456789") != std::string::npos || view == "0")
        throw std::runtime_error(at + " is not named by a view number other than 0");
      user.views[view] = TreeAt(OfType(views[view], at, Json::arrayValue), at);
    }
    const Json::Value& profiles = Member(entry, where, "profiles", Json::objectValue);
    for (const std::string& profile : profiles.getMemberNames()) {
      const std::string at =
          Format("%s.profiles[%s]", where, WriteCompactJson(Json::Value(profile)));
      std::string view = OfType(profiles[profile], at, Json::stringValue).asString();
      if (!user.views.count(view))
        throw std::runtime_error(
            Format("%s names the view \"%s\", which %s.views lacks", at, view, where));
      user.profiles[profile] = std::move(view);
    }
    user.tabs = Member(entry, where, "tabs", Json::objectValue);
    out.emplace(name, std::move(user));
  }
  return out;
}

std::string FakeSyncService::SaveChanges() {
  if (statePath_.empty() || !changed_) return "";
  changed_ = false;
  std::string text = StateText();
  std::string error = WriteStateFile(statePath_, *stateFiles_, text);
  if (error.empty()) {
    saved_ = std::move(text);
    return "";
  }
  // Back to what the file holds: nobody hears of the change.
  try {
    users_ = UsersOf(saved_);
  } catch (const std::exception& e) {
    error += Format("; the state before it could not be put back: %s", e.what());
  }
  return error;
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
  const bool answers = !replaced || fault->afterAnswer;
  Reply reply;
  if (answers || (changed_ && !statePath_.empty())) {
    std::lock_guard engineLock(EngineMutex());
    ScopedEngine engine(EngineFlavor::Windows(), enginePlatform_);
    if (answers) reply = Answer(request, logged);
    // What the request changed is in the file before anyone hears of it.
    if (std::string error = SaveChanges(); !error.empty())
      reply = {500, WriteCompactJson(Failure(500, error))};
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
  if (request.method == "GET") {
    if (std::optional<std::string> page = WebPage(path))
      return {200, *page, "text/html; charset=utf-8"};
  }
  if (request.method == "POST" && path == "/breakpad/ie/upload") return CrashUpload(request);
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
  user.history.push_back(Revision{id, std::move(commands), upload, {}});
  changed_ = true;
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
    // Nor is a batch taken that leaves no tree (a first put without ROOT).
    if (!trial.GetNode(keys::kRoot, false, true, true))
      return Failure(400, "the commands leave no ROOT");
  }
  commands.Execute(*user.top);
  Json::Value reply = StatusReply(0);
  reply["toprev"] = AppendRevision(user, list, false);
  return reply;
}

Json::Value FakeSyncService::Upload(UserData& user, const Json::Value& body) {
  const Json::Value& list = body["commands"];
  // An upload replaces the whole tree, so commands that build none (no
  // ROOT) are refused and change nothing: every revision of the history
  // stays one that builds a tree.
  std::unique_ptr<NodeSet> tree = BuildTree(list);
  if (!HasRoot(*tree)) return Failure(400, "the commands build no ROOT");
  user.top = std::move(tree);
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
  changed_ = true;
  return StatusReply(0);
}

Json::Value FakeSyncService::TabsRead(UserData& user) {
  Json::Value reply = StatusReply(0);
  reply["mids"] = user.tabs;
  return reply;
}

}  // namespace tarvex::testing
