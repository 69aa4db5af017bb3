// The diagnostic archive the user sends to support: the folder
// ~/Library/Tarvex zipped to ~/Desktop/Tarvex-info.zip.
//
// Entries are named "Tarvex/<path inside the folder>" (never the home
// folder's path, which holds the login name). Any folder named "backups",
// at any depth, is left out, and symbolic links are not followed. The
// settings file prefs.plist goes in with "authtoken" and every key whose
// name holds "password", "token" or "secret" (any case) emptied, and any
// "user:password@" taken out of the proxy values; every other file goes in
// as it is. The archive is written to a temporary file on the Desktop
// (made when missing) and renamed over Tarvex-info.zip, so an old archive
// is replaced whole and a failed run leaves it as it was.
#pragma once

#include <string>

#include "platform/mac/Value.h"

namespace tarvex::pane {

inline constexpr char kArchiveName[] = "Tarvex-info.zip";

// Writes the archive of `home`/Library/Tarvex to `home`/Desktop. Answers ""
// or the error, naming the file or folder at fault.
std::string WriteDiagnosticArchive(const std::string& home);

// The settings as they go into the archive (a copy; `settings` unchanged).
mac::DictRef RedactedSettings(const mac::DictRef& settings);

// `proxy` without any "user:password@" before its host.
std::string WithoutCredentials(const std::string& proxy);

}  // namespace tarvex::pane
