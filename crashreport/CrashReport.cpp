#include "crashreport/CrashReport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>

#include "crashreport/CrashReportSender.h"
#include "crashreport/zip/ZipArchive.h"
#include "ie/foundation/core/FindSyncExecutable.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/RegistryHelpers.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "platform/Win32Error.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"

namespace tarvex {
namespace {

constexpr Hive kUser = Hive::CurrentUser;
// How often a started client is looked for while it starts.
constexpr int64_t kStartPollMs = 50;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool EndsWithDmp(const std::string& name) {
  return name.size() >= 4 && Lower(name.substr(name.size() - 4)) == ".dmp";
}

std::string Trim(const std::string& text) {
  const char* space = " \t\r\n";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The canonical form of an existing folder ("" when it has none).
std::string RealFolder(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return {};
  return resolved;
}

// Names of values that may hold a credential.
bool LooksSecret(const std::string& name) {
  const std::string lower = Lower(name);
  for (const char* word : {"password", "passwd", "token", "secret", "cred"})
    if (lower.find(word) != std::string::npos) return true;
  return false;
}

std::string ValueText(const Registry::Value& value) {
  if (value.type == REG_SZ) {
    std::string text = Registry::DecodeString(value.data);
    const size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(value.data[i]);
    return std::to_string(number);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : value.data) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return hex;
}

std::string ReadSetting(Registry& registry, std::string_view name) {
  std::string value;
  if (ReadRegistryString(registry, kUser, kSettingsKey, name, &value) != 0) return {};
  return value;
}

bool IsAddressLiteral(const std::string& host) {
  if (!host.empty() && host.front() == '[') return true;  // an IPv6 address
  for (char c : host)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  return !host.empty();
}

// The help page of the service's web site, as the client opens it.
std::string HelpPage(Registry& registry) {
  std::string site = ReadSetting(registry, "webserver");
  if (site.empty()) {
    const std::string root = ReadSetting(registry, "serverroot");
    site = "www." + (root.empty() ? std::string("tarvex.com") : root);
  }
  if (site.rfind("http://", 0) != 0 && site.rfind("https://", 0) != 0) site = "https://" + site;
  return site + "/help";
}

void DeleteIfThere(const CrashReportContext& context, const std::string& path) {
  if (path.empty()) return;
  const uint32_t rc = context.files.DeleteFile(path);
  if (rc != 0 && rc != win32::ERROR_FILE_NOT_FOUND && rc != win32::ERROR_PATH_NOT_FOUND)
    std::fprintf(stderr, "faultsend: cannot delete \"%s\" [%u]\n", path.c_str(), rc);
}

// Packs the report into `archive`: true when the archive was written whole.
bool PackReport(const CrashReportContext& context, const std::string& dumpPath,
                const std::string& archive, std::string* detail) {
  ZipHandle* zip = CreateZip(archive);
  if (!zip) {
    *detail = "cannot create \"" + archive + "\" [" + std::to_string(LastZipResult()) + "]";
    return false;
  }
  // A single entry that fails leaves the others: the report holds what
  // could be read.
  if (uint32_t rc = ZipAdd(zip, "dump.dmp", dumpPath))
    std::fprintf(stderr, "faultsend: the dump was not packed [%u]\n", rc);
  const std::string log = GetClientLogPath(context);
  if (!log.empty()) ZipAdd(zip, "logfile.txt", log);
  const std::string settings = DumpSettingsToFile(context);
  if (!settings.empty()) {
    ZipAdd(zip, "regdata.txt", settings);
    DeleteIfThere(context, settings);
  }
  if (uint32_t rc = CloseZip(zip)) {
    *detail = "the archive \"" + archive + "\" could not be finished [" + std::to_string(rc) + "]";
    return false;
  }
  return true;
}

bool SendReport(const CrashReportContext& context, const std::string& id,
                const std::string& archive, std::string* detail) {
  std::string root;
  if (ReadRegistryString(context.registry, kUser, kSettingsKey, "serverroot", &root) != 0) {
    *detail = "no server root to send to";
    return false;
  }
  const std::string url = CrashUploadUrl(root, ReadSetting(context.registry, "encryption"));
  CrashReportSender sender(context.tempDir + kCheckpointFileName, context.transport, context.clock,
                           context.files);
  sender.set_max_reports_per_day(kMaxReportsPerDay);
  const CrashReportSender::Result result =
      sender.SendCrashReport(url, {{"GUID", id}}, archive, detail);
  return result == CrashReportSender::Result::Succeeded;
}

// A report packed and not yet sent.
struct PackedReport {
  std::string id;
  std::string archive;
  ReportOutcome outcome;
};

PackedReport PackageReport(const CrashReportContext& context, const std::string& dumpPath) {
  PackedReport report;
  report.id = ReportId(dumpPath);
  report.archive = JoinPath(context.tempDir, report.id + ".zip");
  report.outcome.packed = PackReport(context, dumpPath, report.archive, &report.outcome.detail);
  DeleteIfThere(context, dumpPath);
  return report;
}

ReportOutcome SendPackedReport(const CrashReportContext& context, PackedReport report) {
  ReportOutcome& outcome = report.outcome;
  // A broken archive is not sent: the collector would only store garbage.
  if (outcome.packed)
    outcome.sent = SendReport(context, report.id, report.archive, &outcome.detail);
  DeleteIfThere(context, report.archive);
  if (outcome.sent)
    std::fprintf(stderr, "faultsend: report %s sent\n", report.id.c_str());
  else
    std::fprintf(stderr, "faultsend: report %s not sent: %s\n", report.id.c_str(),
                 outcome.detail.c_str());
  return outcome;
}

}  // namespace

std::string AcceptedDumpPath(const std::vector<std::string>& args, const std::string& tempDir) {
  std::string line;
  for (const std::string& arg : args) line += (line.empty() ? "" : " ") + arg;
  line = Trim(line);
  if (line.size() >= 2 && line.front() == '"' && line.back() == '"')
    line = line.substr(1, line.size() - 2);
  if (line.empty() || tempDir.empty()) return {};

  const std::string folder = FolderOfPath(line);
  const std::string name = line.substr(folder.size());
  if (!EndsWithDmp(name) || name.size() == 4 || folder.empty()) return {};
  const std::string real = RealFolder(folder);
  if (real.empty() || real != RealFolder(tempDir)) return {};
  struct stat info {};
  if (::lstat(line.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  return line;
}

std::string ReportId(const std::string& dumpPath) {
  std::string name = dumpPath.substr(FolderOfPath(dumpPath).size());
  if (EndsWithDmp(name)) name.resize(name.size() - 4);
  return name;
}

std::string CrashUploadUrl(const std::string& serverRoot, const std::string& encryption) {
  const std::string scheme = encryption == "No Encryption" ? "http://" : "https://";
  std::string host = serverRoot;
  // The host without its port: "[::1]:8080", "127.0.0.1:8080", "example.org".
  if (host.empty() || host.front() != '[') host = host.substr(0, host.find(':'));
  const std::string authority =
      IsAddressLiteral(host) ? serverRoot : std::string(kCollectorLabel) + "." + serverRoot;
  return scheme + authority + kUploadPath;
}

std::string SettingsText(Registry& registry) {
  std::string text;
  for (uint32_t index = 0;; ++index) {
    Registry::Value value;
    const uint32_t rc = registry.EnumValue(kUser, kSettingsKey, index, 256, 1000, &value);
    if (rc == win32::ERROR_MORE_DATA) continue;  // too long for the copy; the rest still come
    if (rc != 0) break;
    text +=
        value.name + " = " + (LooksSecret(value.name) ? "<redacted>" : ValueText(value)) + "\r\n";
  }
  return text;
}

std::string GetClientLogPath(const CrashReportContext& context) {
  return JoinPath(UserDirFromRegistry(context.registry, context.tempDir), kLogFileName);
}

std::string DumpSettingsToFile(const CrashReportContext& context) {
  if (context.tempDir.empty()) return {};
  std::string path = JoinPath(context.tempDir, "KVRegXXXXXX");
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return {};
  const std::string text = SettingsText(context.registry);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  if (done != text.size() || !closed) {
    ::unlink(path.c_str());
    return {};
  }
  return path;
}

HWND StartSyncProgram(const CrashReportContext& context, bool startIfAbsent, bool askWhenUnset,
                      const std::string& folderHint) {
  if (HWND window = FindWindow(kSyncWindowClass, context.runtimeDir)) return window;
  if (!startIfAbsent) return {};

  std::string autostart;
  const bool readable =
      ReadRegistryString(context.registry, kUser, kSettingsKey, "autostartapp", &autostart) == 0;
  if (readable ? Lower(autostart) != "true" : askWhenUnset) {
    bool always = false;
    const int answer = context.ui.prompt->Ask(kStartClientText, kButtonOK, kButtonCancel,
                                              kButtonHidden, kAutostartText, &always);
    if (answer != kButtonOK) return {};
    if (always) WriteRegistryString(context.registry, kUser, kSettingsKey, "autostartapp", "true");
  }

  const std::string program =
      FindSyncExecutable(folderHint, context.registry, context.files, context.ui);
  if (program.empty())
    throw VelkException("internal", kErrCannotStartClient, "Unable to find Tarvex application");
  int pid = -1;
  if (uint32_t rc = StartProcess({program, "-q"}, &pid))
    throw VelkException("windows", static_cast<int32_t>(rc),
                        "Unable to create Tarvex synchronizer process");

  // The client is ready once its window can be found.
  for (int64_t waited = 0;; waited += kStartPollMs) {
    if (HWND window = FindWindow(kSyncWindowClass, context.runtimeDir)) return window;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      throw VelkException("internal", kErrCannotStartClient,
                          "Unable to finish launching Tarvex synchronizer");
    if (waited >= context.startTimeoutMs)
      throw VelkException("internal", kErrCannotStartClient,
                          "Unexpected error while starting Tarvex synchronizer");
    context.clock.Sleep(kStartPollMs);
  }
}

ReportOutcome PackageAndSendReport(const CrashReportContext& context, const std::string& dumpPath) {
  return SendPackedReport(context, PackageReport(context, dumpPath));
}

int ShowCrashDialog(const CrashReportContext& context, const std::string& dumpPath) {
  bool send = true;
  int answer = kButtonExit;
  if (context.canAsk) {
    answer =
        context.ui.prompt->Ask(std::string(kCrashText) + HelpPage(context.registry), kButtonRestart,
                               kButtonExit, kButtonHidden, kSendReportText, &send);
  }
  // Only a button the user pressed agrees to sending.
  if (!context.canAsk || (answer != kButtonRestart && answer != kButtonExit)) send = false;

  // Packed before the client comes back, so the log is the crashed run's:
  // the restarted client writes to it (and empties one grown too long) at
  // once.
  std::optional<PackedReport> report;
  if (send) report = PackageReport(context, dumpPath);
  if (answer == kButtonRestart) {
    if (context.awaitCrashedClient) context.awaitCrashedClient();
    try {
      StartSyncProgram(context, true, false, FolderOfPath(context.selfPath));
    } catch (const VelkException& e) {
      // The client stays down; the report the user asked for still goes.
      std::fprintf(stderr, "faultsend: %s\n", e.ToString().c_str());
      context.ui.prompt->Ask(e.message(), kButtonOK);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "faultsend: %s\n", e.what());
      context.ui.prompt->Ask(e.what(), kButtonOK);
    }
  }
  if (report) SendPackedReport(context, std::move(*report));
  return 1;
}

}  // namespace tarvex
