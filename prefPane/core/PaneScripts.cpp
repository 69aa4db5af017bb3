#include "prefPane/core/PaneScripts.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <dirent.h>

#include "platform/mac/System.h"
#include "platform/mac/Value.h"
#include "platform/ui/Desktop.h"
#include "prefPane/core/DiagnosticArchive.h"
#include "prefPane/core/ProcessTable.h"
#include "text/Text.h"

namespace tarvex::pane {

namespace {

constexpr char kPlaceholder[] = "%@";

ScriptResult Ok(Descriptor result = {}) { return {true, std::move(result), ""}; }
ScriptResult Failed(std::string error) { return {false, {}, std::move(error)}; }
Descriptor Flag(bool value) { return Descriptor::Text(value ? "true" : "false"); }

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// "Thu Dec 10 18:28:32 UTC 2026", as date(1) writes the local time.
std::string DateText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
  ::localtime_r(&t, &local);
  char text[64];
  size_t n = ::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Z %Y", &local);
  return std::string(text, n);
}

std::string WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return strerror(n < 0 ? errno : EIO);
    data.remove_prefix(static_cast<size_t>(n));
  }
  return "";
}

}  // namespace

std::string OpenLocationScript(const std::string& address) {
  std::string text = kScriptOpenLocation;
  return text.replace(text.find(kPlaceholder), 2, address);
}

std::string GoToHelpScript() { return OpenLocationScript(kHelpPageAddress); }
std::string GoToWwwKestroveScript() { return OpenLocationScript(kHomePageAddress); }

std::string AccountPageAddress(const std::string& encryptionType) {
  bool plain = mac::IntValue(mac::Value(encryptionType)) == 0;
  return Format("%s://%s/", plain ? "http" : "https", kAccountHost);
}

std::optional<std::string> LocationOfOpenScript(const std::string& text) {
  const std::string_view pattern = kScriptOpenLocation;
  size_t hole = pattern.find(kPlaceholder);
  std::string_view head = pattern.substr(0, hole), tail = pattern.substr(hole + 2);
  if (text.size() < head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
      text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
    return std::nullopt;
  std::string address = text.substr(head.size(), text.size() - head.size() - tail.size());
  bool web = address.rfind("http://", 0) == 0 || address.rfind("https://", 0) == 0;
  bool clean = std::none_of(address.begin(), address.end(), [](unsigned char c) {
    return c <= ' ' || c == 0x7f || c == '"' || c == '\\';
  });
  size_t hostStart = address.find("://") + 3;
  if (!web || !clean || hostStart >= address.size() || address[hostStart] == '/') return std::nullopt;
  return address;
}

bool IsPaneScript(const std::string& text) {
  static const char* const kTexts[] = {kScriptPath,     kScriptStart,         kScriptStop,
                                       kScriptIsRunning, kScriptGrowlIsRunning, kScriptForceQuit,
                                       kScriptClearLog, kScriptOpenLog,       kScriptArchiveTarvex,
                                       kScriptResetFiles};
  return std::any_of(std::begin(kTexts), std::end(kTexts), [&](const char* t) { return text == t; }) ||
         LocationOfOpenScript(text).has_value();
}

std::string DefaultAgentProgram() {
  const char* set = ::getenv("TARVEX_AGENT_PROGRAM");
  if (set && *set) return set;
  return TARVEX_BUILD_AGENT_PROGRAM;
}

PaneScriptEnvironment PaneScriptEnvironment::ForCurrentUser() {
  PaneScriptEnvironment env;
  env.home = mac::HomeFolder();
  env.agentProgram = DefaultAgentProgram();
  env.uid = ::getuid();
  return env;
}

PaneScriptRunner::PaneScriptRunner(PaneScriptEnvironment environment) : env_(std::move(environment)) {
  if (!env_.open) env_.open = [](const std::string& target) { return OpenWithDesktop(target) > 32; };
  if (!env_.now) env_.now = [] { return static_cast<int64_t>(::time(nullptr)); };
  if (!env_.pause)
    env_.pause = [](int ms) {
      struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
      while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
      }
    };
}

std::string PaneScriptRunner::TarvexFolder() const { return env_.home + "/Library/Tarvex"; }
std::string PaneScriptRunner::LogPath() const { return TarvexFolder() + "/tarvex.log.txt"; }

bool PaneScriptRunner::WaitUntil(const std::function<bool()>& done) {
  for (int waited = 0;; waited += env_.pollMs) {
    if (done()) return true;
    if (waited >= env_.waitLimitMs) return false;
    env_.pause(env_.pollMs);
  }
}

ScriptResult PaneScriptRunner::Run(const std::string& text) {
  auto agentRunning = [this] { return !FindProcesses(env_.agentName, env_.uid, env_.procRoot).empty(); };
  if (text == kScriptPath) {
    if (!IsExecutableFile(env_.agentProgram))
      return Failed(Format("Application \"%s\" was not found at %s", kAgentName, env_.agentProgram));
    return Ok(Descriptor::Text(env_.agentProgram));
  }
  if (text == kScriptStart) return Start();
  if (text == kScriptStop) return Signal(SIGTERM);
  if (text == kScriptForceQuit) return Signal(SIGKILL);
  if (text == kScriptIsRunning) return Ok(Flag(agentRunning()));
  if (text == kScriptGrowlIsRunning) return Ok(Flag(!FindProcesses(kGrowlName, env_.uid, env_.procRoot).empty()));
  if (text == kScriptClearLog) return ClearLog();
  if (text == kScriptOpenLog) return OpenLog();
  if (text == kScriptArchiveTarvex) return Archive();
  if (text == kScriptResetFiles) return ResetFiles();
  if (std::optional<std::string> address = LocationOfOpenScript(text)) {
    if (!env_.open(*address)) return Failed(Format("%s could not be opened", *address));
    return Ok();
  }
  return Failed(Format("The script is not one of the pane's: %s", text));
}

ScriptResult PaneScriptRunner::Start() {
  auto running = [this] { return !FindProcesses(env_.agentName, env_.uid, env_.procRoot).empty(); };
  if (running()) return Ok();
  if (std::string error = StartDetached(env_.agentProgram); !error.empty()) return Failed(error);
  if (!WaitUntil(running)) return Failed(Format("%s did not come up", env_.agentName));
  return Ok();
}

ScriptResult PaneScriptRunner::Signal(int signal) {
  // One signal each: an agent already quitting is not interrupted again.
  SignalProcesses(env_.agentName, env_.uid, signal, env_.procRoot);
  bool gone = WaitUntil([&] { return FindProcesses(env_.agentName, env_.uid, env_.procRoot).empty(); });
  if (!gone) return Failed(Format("%s did not quit", env_.agentName));
  return Ok();
}

ScriptResult PaneScriptRunner::ClearLog() {
  if (std::string error = mac::EnsureFolder(TarvexFolder()); !error.empty()) return Failed(error);
  // Emptied in place, not replaced: the agent keeps the log open and goes
  // on appending to this very file.
  int fd = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Failed(Format("%s could not be emptied: %s", LogPath(), strerror(errno)));
  std::string error = WriteAll(fd, "\n");
  ::close(fd);
  if (!error.empty()) return Failed(Format("%s could not be written: %s", LogPath(), error));
  return Ok();
}

ScriptResult PaneScriptRunner::OpenLog() {
  if (std::string error = mac::EnsureFolder(TarvexFolder()); !error.empty()) return Failed(error);
  int fd = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return Failed(Format("%s could not be created: %s", LogPath(), strerror(errno)));
  ::close(fd);
  if (!env_.open(LogPath())) return Failed(Format("%s could not be opened", LogPath()));
  return Ok();
}

ScriptResult PaneScriptRunner::Archive() {
  std::string error = WriteDiagnosticArchive(env_.home);
  if (env_.displayDialog) env_.displayDialog(error.empty() ? kArchiveSavedMessage : kArchiveFailedMessage);
  if (!error.empty()) return Failed(error);
  return Ok();
}

ScriptResult PaneScriptRunner::ResetFiles() {
  std::string folder = TarvexFolder();
  std::vector<std::string> doomed{folder + "/native.plist", folder + "/rollback"};
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".json") == 0)
        doomed.push_back(folder + "/" + name);
    }
    ::closedir(dir);
  }
  // Files only, as rm without -r: a folder of one of these names stays.
  for (const std::string& path : doomed) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
  }
  if (std::string error = mac::EnsureFolder(folder); !error.empty()) return Failed(error);
  int fd = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return Failed(Format("%s could not be opened: %s", LogPath(), strerror(errno)));
  std::string error = WriteAll(fd, "=== " + DateText(env_.now()) + " === RESET INITIATED ===\n");
  ::close(fd);
  if (!error.empty()) return Failed(Format("%s could not be written: %s", LogPath(), error));
  return Ok();
}

// ---- The stand-in for tests ----------------------------------------------------

ScriptResult FakeScriptRunner::Run(const std::string& text) {
  texts.push_back(text);
  ScriptResult result;
  auto queued = std::find_if(queued_.begin(), queued_.end(), [&](const auto& q) { return q.first == text; });
  if (queued != queued_.end()) {
    result = queued->second;
    queued_.erase(queued);
  } else if (!IsPaneScript(text)) {
    result = Failed(Format("The script is not one of the pane's: %s", text));
  } else if (text == kScriptPath) {
    result = installed ? Ok(Descriptor::Text(kAgentApplicationPath))
                       : Failed(Format("Application \"%s\" was not found", kAgentName));
  } else if (text == kScriptStart) {
    if (!refusesToStart) running = true;
    result = running ? Ok() : Failed(Format("%s did not come up", kAgentName));
  } else if (text == kScriptStop) {
    if (!refusesToQuit) running = false;
    result = running ? Failed(Format("%s did not quit", kAgentName)) : Ok();
  } else if (text == kScriptForceQuit) {
    running = false;
    result = Ok();
  } else if (text == kScriptIsRunning) {
    result = Ok(Flag(running));
  } else if (text == kScriptGrowlIsRunning) {
    result = Ok(Flag(growlRunning));
  } else {
    result = Ok();
  }
  if (afterRun) afterRun(text);
  return result;
}

void FakeScriptRunner::Queue(const std::string& text, ScriptResult result) {
  queued_.emplace_back(text, std::move(result));
}

int FakeScriptRunner::Count(const std::string& text) const {
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

}  // namespace tarvex::pane
