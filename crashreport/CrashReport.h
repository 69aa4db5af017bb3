// The crash-report program's work: the crash dialog, the client's restart,
// and the report (the dump, the client's log and a text copy of the
// client's settings, packed into one archive and posted to the service's
// crash collector). The program (program/faultsend.cpp) wires these to the
// process; tests hand in their own registry, folders, questions, clock and
// transport.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win/Window.h"

namespace tarvex {

class Clock;
class FileSystem;
class HttpTransport;
class Registry;
struct UserInteraction;

// Names the client and this program share.
inline constexpr const char* kSyncWindowClass = "TarvexSyncWindow";
inline constexpr const char* kCheckpointFileName = "checkpoint.fxp";
inline constexpr int kMaxReportsPerDay = 500;
inline constexpr const char* kUploadPath = "/breakpad/ie/upload";
// The label of the crash collector's host in front of the server root.
inline constexpr const char* kCollectorLabel = "crashes";

// The texts the user sees.
inline constexpr const char* kCrashText =
    "An unrecoverable error has occurred within Tarvex and it needs to be restarted.  If this "
    "problem occurs frequently, please consult Tarvex help at ";
inline constexpr const char* kSendReportText = "Send Crash Report To Tarvex";
inline constexpr const char* kStartClientText =
    "Tarvex is not currently running and cannot synchronize your Favorites.  Would you like to "
    "start Tarvex now?";
inline constexpr const char* kAutostartText = "Automatically start Tarvex without asking me";

struct CrashReportContext {
  Registry& registry;
  FileSystem& files;
  UserInteraction& ui;
  HttpTransport& transport;
  Clock& clock;
  // The user's private temporary folder, with its trailing "/" (GetTempDir):
  // where the client's dumps are, and where the report's files are made.
  std::string tempDir;
  // Where the client's window is found ("" for PlatformConfig's).
  std::string runtimeDir;
  // This program's own path; its folder is where the client is looked for
  // first.
  std::string selfPath;
  // False when nobody can answer a question: then nothing is sent, as the
  // user never agreed.
  bool canAsk = true;
  // How long a started client has to show its window. The wait ends as
  // soon as the window is there, or the client ended; a client slow to
  // start on a busy computer is still a healthy one.
  int64_t startTimeoutMs = 10'000;
  // Waits until the client that crashed has ended (null: nothing to wait
  // for). A client still ending keeps its window a moment, and a restart
  // must not take that window for a running client.
  std::function<void()> awaitCrashedClient = nullptr;
};

// The dump path of the command line's arguments (joined with single
// spaces, outer white space and one pair of surrounding quotes taken off),
// when it names a regular file (not a symbolic link) ending in ".dmp"
// directly in `tempDir`; "" for anything else, which the program leaves
// alone.
std::string AcceptedDumpPath(const std::vector<std::string>& args, const std::string& tempDir);

// The dump's name without its folder and without ".dmp" (any case; a name
// without it is kept whole): the report's id and the archive's name.
std::string ReportId(const std::string& dumpPath);

// The upload address of the server root: https unless `encryption` is
// "No Encryption"; the collector's label and a dot before a host name (an
// address such as "127.0.0.1:PORT" has no subdomains and is used as it is).
std::string CrashUploadUrl(const std::string& serverRoot, const std::string& encryption);

// The settings key as text: "name = data" CR LF for each text value, in the
// registry's order. A value too long to read is left out (the ones after
// it still come); a value whose name looks like it holds a secret is
// written as "<redacted>".
std::string SettingsText(Registry& registry);

// The client's log file: `userdir`, else the temporary folder, with
// "tarvex.log".
std::string GetClientLogPath(const CrashReportContext& context);
// The settings text in a new file "KVReg..." (mode 0600) of the temporary
// folder: its path, or "" when it could not be made.
std::string DumpSettingsToFile(const CrashReportContext& context);

// The client's window; started when absent and `startIfAbsent` (asking
// first unless `autostartapp` says "true"). Null when the user declined or
// when not asked to start it. Throws VelkException when it cannot be
// found or started.
HWND StartSyncProgram(const CrashReportContext& context, bool startIfAbsent, bool askWhenUnset,
                      const std::string& folderHint);

// What PackageAndSendReport did, for the program's log line and tests.
struct ReportOutcome {
  bool packed = false;  // the archive was written whole
  bool sent = false;    // the collector took it
  std::string detail;   // why not, when not
};

// Packs the dump, the log and the settings into "<id>.zip" in the
// temporary folder and posts it with the field GUID = <id>; the dump, the
// settings copy and the archive are deleted afterwards, sent or not.
ReportOutcome PackageAndSendReport(const CrashReportContext& context, const std::string& dumpPath);

// The crash dialog and what the user chose: with the box checked, the
// report is packed first, then the client restarted (on "Restart Tarvex";
// a failure is shown), then the report sent. Returns 1.
int ShowCrashDialog(const CrashReportContext& context, const std::string& dumpPath);

}  // namespace tarvex
