// Helpers of the Windows client that need the settings or the log: the user
// folder, the log's path, the quit question, opening a page, and the table
// of command-line switches.
#pragma once

#include <string>
#include <string_view>

#include "ie/foundation/core/UserInteraction.h"
#include "text/Text.h"

namespace tarvex {

class Logger;
class Settings;

// The setting `userdir`, else the temporary folder; joined with `subPath`
// when it is given. "" when neither folder is known.
std::string GetUserDir(std::string_view subPath = {}, Settings* settings = nullptr);
// The user folder joined with "tarvex.log".
std::string GetLogFilePath(Settings* settings = nullptr);

// Asks before quitting when the setting `confirmquit` (default true) is on,
// stores the state of the question's "Always ask before closing" box, and
// returns true when the user said Yes. Returns true without asking when the
// setting is off.
bool ConfirmQuit(Settings& settings, UserPrompt& prompt);
bool ConfirmQuit();

// Opens an http or https page in the user's browser. Any other address is
// refused (it could start a program). A failure is logged and shown to the
// user; the call itself always returns.
void OpenUrlInBrowser(const std::string& url, UrlOpener& opener, UserPrompt& prompt,
                      Logger& logger);
void OpenUrlInBrowser(const std::string& url);

// The process-wide switch table, filled once at start by ParseCommandLine.
SwitchTable& CommandLineSwitches();
// The program's command line: its arguments after the program name, joined
// by single spaces.
std::string JoinArguments(int argc, const char* const* argv);
// Fills the switch table from the program's arguments.
void ParseProcessCommandLine(int argc, const char* const* argv);

}  // namespace tarvex
