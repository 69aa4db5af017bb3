// The pane's scripts and the runner that carries them out.
//
// The pane reaches the agent, its files and the desktop through a fixed set
// of script texts (below, verbatim). No script interpreter runs here:
// PaneScriptRunner accepts exactly these texts, and the open-location text
// with an http or https address, and does for each what the script does,
// with the system's own calls (no shell):
//  - kScriptPath: the agent's program is installed (an executable file) —
//    its path as the result, else an error;
//  - kScriptStart: the agent started unless it runs (a new session, not a
//    child of the pane), then waits a bounded time until it shows in the
//    process table;
//  - kScriptStop: SIGTERM to every process of ours named "Tarvex for
//    Safari", then waits a bounded time until none is left;
//  - kScriptIsRunning, kScriptGrowlIsRunning: the process table asked for
//    "Tarvex for Safari" or "GrowlHelperApp"; the result is the text
//    "true" or "false";
//  - kScriptForceQuit: SIGKILL to those processes of ours only, then the
//    same bounded wait;
//  - kScriptClearLog: the log emptied to one line end in place (the agent
//    appends to it through an open descriptor);
//  - kScriptOpenLog: the log created when missing, then opened with the
//    desktop's opener;
//  - kScriptArchiveTarvex: the diagnostic archive (DiagnosticArchive.h),
//    then its dialog; when the archive cannot be made, a dialog that says
//    so instead, and an error;
//  - kScriptResetFiles: native.plist, rollback (a file, never a folder)
//    and the top-level *.json files of ~/Library/Tarvex removed, and
//    "=== <date> === RESET INITIATED ===" appended to the log;
//  - an open-location text: the address opened with the desktop's opener.
// Any other text fails with an error naming it and does nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/mac/AppleScript.h"

namespace tarvex::pane {

using mac::Descriptor;
using mac::ScriptResult;
using mac::ScriptRunner;

// The agent's process name and its application on the Mac.
inline constexpr char kAgentName[] = "Tarvex for Safari";
inline constexpr char kAgentApplicationPath[] = "/Applications/Tarvex for Safari.app";
inline constexpr char kGrowlName[] = "GrowlHelperApp";

inline constexpr char kScriptPath[] = "path to application \"Tarvex for Safari\"";
inline constexpr char kScriptStart[] = "tell application \"Tarvex for Safari\" to activate";
inline constexpr char kScriptStop[] = "tell application \"Tarvex for Safari\" to quit";
inline constexpr char kScriptIsRunning[] =
    "tell application \"System Events\" to (name of processes) contains \"Tarvex for Safari\"";
inline constexpr char kScriptGrowlIsRunning[] =
    "tell application \"System Events\" to (name of processes) contains \"GrowlHelperApp\"";
inline constexpr char kScriptForceQuit[] = "do shell script \"killall -9 'Tarvex for Safari' 2> /dev/null\"";
inline constexpr char kScriptClearLog[] =
    "do shell script \"mkdir -p ~/Library/Tarvex; echo '' > ~/Library/Tarvex/tarvex.log.txt\"";
inline constexpr char kScriptOpenLog[] =
    "do shell script \"mkdir -p ~/Library/Tarvex; touch ~/Library/Tarvex/tarvex.log.txt\" \n tell application "
    "\"Finder\" \n open document file (((path to home folder) as string) & \"Library:Tarvex:tarvex.log.txt\") \n "
    "end tell";
inline constexpr char kScriptArchiveTarvex[] =
    "do shell script \"zip -x '*/backups/*' -r ~/Desktop/Tarvex-info ~/Library/Tarvex 2> /dev/null\"\n display "
    "dialog \"We have saved a diagnostic zip file named 'Tarvex-info.zip' to your Desktop. Please attach this "
    "file to your Tarvex support emails.\"";
inline constexpr char kScriptResetFiles[] =
    "do shell script \"rm ~/Library/Tarvex/native.plist ~/Library/Tarvex/rollback ~/Library/Tarvex/*.json 2> "
    "/dev/null; echo === $(date) === RESET INITIATED === >> ~/Library/Tarvex/tarvex.log.txt\"";
// The open-location text; "%@" stands for the address.
inline constexpr char kScriptOpenLocation[] =
    "tell application \"Safari\" \n activate \n open location \"%@\" \n end tell";

// The dialog of the archive script, and the one shown when the archive
// could not be made.
inline constexpr char kArchiveSavedMessage[] =
    "We have saved a diagnostic zip file named 'Tarvex-info.zip' to your Desktop. Please attach this file to "
    "your Tarvex support emails.";
inline constexpr char kArchiveFailedMessage[] = "We were unable to create the diagnostic zip file.";

// The service's pages (deployment values).
inline constexpr char kHelpPageAddress[] = "https://www.tarvex.com/help";
inline constexpr char kHomePageAddress[] = "https://www.tarvex.com/";
inline constexpr char kAccountHost[] = "my.tarvex.com";

// The open-location text for `address`, put in as text (never read as a
// format).
std::string OpenLocationScript(const std::string& address);
// The help and home page texts.
std::string GoToHelpScript();
std::string GoToWwwKestroveScript();
// The account page's address: "http://" + kAccountHost + "/" when
// `encryptionType` reads as the integer 0, else "https://...".
std::string AccountPageAddress(const std::string& encryptionType);
// The address in an open-location text, or nothing when `text` is no such
// text or the address is not http or https, or holds a quotation mark, a
// backslash, white space or a control character.
std::optional<std::string> LocationOfOpenScript(const std::string& text);

// What the runner works on, and the seams tests set.
struct PaneScriptEnvironment {
  std::string home;          // the folder "~" stands for
  std::string agentProgram;  // the agent's executable
  // The name the agent's processes are found by. Tests give one of their
  // own, so that they never touch an agent another test or a person runs.
  std::string agentName = kAgentName;
  uid_t uid = 0;             // whose processes are looked at and signalled
  std::string procRoot = "/proc";
  // Opens a file or address with the desktop's opener (OpenWithDesktop by
  // default); answers false when it could not.
  std::function<bool(const std::string&)> open;
  // Shows a dialog with the text and an OK button (nothing by default).
  std::function<void(const std::string&)> displayDialog;
  // Seconds since 1970 for the reset line (the system clock by default).
  std::function<int64_t()> now;
  // Waits a little between two looks at the process table (real waits of
  // `ms` by default). Bounded: at most waitLimitMs in all per operation.
  std::function<void(int ms)> pause;
  int waitLimitMs = 10000;
  int pollMs = 50;

  // The user's own: $HOME, the agent's program (DefaultAgentProgram()),
  // getuid(), the desktop's opener, no dialog, the system clock.
  static PaneScriptEnvironment ForCurrentUser();
};

// $TARVEX_AGENT_PROGRAM when set and not empty, else the program of the
// agent's bundle in this build.
std::string DefaultAgentProgram();

class PaneScriptRunner : public ScriptRunner {
 public:
  explicit PaneScriptRunner(PaneScriptEnvironment environment);
  ScriptResult Run(const std::string& text) override;
  const PaneScriptEnvironment& environment() const { return env_; }

 private:
  ScriptResult Start();
  ScriptResult Signal(int signal);
  bool WaitUntil(const std::function<bool()>& done);
  ScriptResult ClearLog();
  ScriptResult OpenLog();
  ScriptResult Archive();
  ScriptResult ResetFiles();
  std::string TarvexFolder() const;
  std::string LogPath() const;

  PaneScriptEnvironment env_;
};

// A stand-in for tests: keeps every text it was given and answers as a
// well-behaved agent would, or as the test set it. Unknown texts fail as
// with the real runner.
//  - kScriptPath fails unless `installed`;
//  - kScriptStart makes `running` true unless `refusesToStart`;
//  - kScriptStop makes it false unless `refusesToQuit`;
//  - kScriptForceQuit makes it false;
//  - kScriptIsRunning answers `running`, kScriptGrowlIsRunning `growlRunning`;
//  - the others succeed and are only recorded; a result queued with
//    Queue() for a text answers that text's next run instead.
class FakeScriptRunner : public ScriptRunner {
 public:
  ScriptResult Run(const std::string& text) override;
  void Queue(const std::string& text, ScriptResult result);
  // How many times `text` was run.
  int Count(const std::string& text) const;

  bool installed = true;
  bool running = false;
  bool growlRunning = false;
  bool refusesToStart = false;
  bool refusesToQuit = false;
  std::vector<std::string> texts;
  // Called after each run with its text (a test's hook to act as the agent).
  std::function<void(const std::string&)> afterRun;

 private:
  std::vector<std::pair<std::string, ScriptResult>> queued_;
};

// True when `text` is one of the pane's script texts, or an open-location
// text the runner accepts.
bool IsPaneScript(const std::string& text);

}  // namespace tarvex::pane
