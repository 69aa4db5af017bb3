#include "ie/foundation/Helpers.h"

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/Paths.h"
#include "platform/Win32Error.h"

namespace tarvex {

std::string GetUserDir(std::string_view subPath, Settings* settings) {
  if (!settings) settings = &Settings::GetInstance();
  std::string dir = settings->GetValue("userdir", "");
  if (dir.empty()) dir = GetTempDir();
  if (subPath.empty()) return dir;
  return JoinPath(dir, subPath);
}

std::string GetLogFilePath(Settings* settings) {
  return GetUserDir(kLogFileName, settings);
}

bool ConfirmQuit(Settings& settings, UserPrompt& prompt) {
  if (!settings.GetBool("confirmquit", true)) return true;
  bool askAgain = true;
  int answer = prompt.Ask(
      "Closing Tarvex will prevent your Favorites from being synchronized, are you sure you "
      "want to quit?",
      kButtonNo, kButtonYes, kButtonHidden, "Always ask before closing", &askAgain);
  settings.SetBool("confirmquit", askAgain, true);
  return answer == kButtonYes;
}

bool ConfirmQuit() {
  return ConfirmQuit(Settings::GetInstance(), *UserInteraction::Process().prompt);
}

void OpenUrlInBrowser(const std::string& url, UrlOpener& opener, UserPrompt& prompt,
                      Logger& logger) {
  std::string lower = AsciiLower(url);
  bool web = StartsWith(lower, "http://") || StartsWith(lower, "https://");
  int result = web ? opener.Open(url) : static_cast<int>(win32::ERROR_ACCESS_DENIED);
  if (result > 32) return;
  logger.Error(Format("Windows error [%d] attempting to open: %s", result, url));
  prompt.Ask("We were unable to open your browser to show you this page: " + url, kButtonOK);
}

void OpenUrlInBrowser(const std::string& url) {
  UserInteraction& ui = UserInteraction::Process();
  OpenUrlInBrowser(url, *ui.opener, *ui.prompt, Logger::GetInstance());
}

SwitchTable& CommandLineSwitches() {
  static SwitchTable* table = new SwitchTable;
  return *table;
}

std::string JoinArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line.push_back(' ');
    line.append(argv[i] ? argv[i] : "");
  }
  return line;
}

void ParseProcessCommandLine(int argc, const char* const* argv) {
  CommandLineSwitches() = ParseCommandLine(JoinArguments(argc, argv));
}

}  // namespace tarvex
