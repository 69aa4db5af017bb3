// The desktop's own ways of talking to the user that the Windows client used
// from the shell: opening a page in the user's browser and the file-open
// dialog.
#pragma once

#include <optional>
#include <string>

namespace tarvex {

// Opens `url` with the desktop's handler (xdg-open, started with an argument
// vector). Follows ShellExecute's convention: a value above 32 is success;
// ERROR_FILE_NOT_FOUND (2) when the launcher could not start, and
// ERROR_GEN_FAILURE (31) when there is no launcher on this machine.
// Where TARVEX_OPENED_LOG names a file (tests, and runs with nobody at the
// screen), nothing is started: the address is appended to it as a line
// (ERROR_ACCESS_DENIED, 5, when it cannot be).
int OpenWithDesktop(const std::string& url);

// The file-open dialog (zenity, else kdialog): the chosen existing file, or
// nothing when the user cancelled or no dialog program is available.
std::optional<std::string> PickExistingFileWithDialog(const std::string& title);

}  // namespace tarvex
