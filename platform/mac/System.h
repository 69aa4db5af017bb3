// What the Mac agent asks of the system besides values: the home folder and
// "~" paths, the login name, new UUIDs, the date in the log's description
// form, the console, private folders and files replaced atomically.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvex::mac {

// $HOME when set and not empty, else the home folder of the user's entry.
std::string HomeFolder();
// "~" or "~/rest" with the home folder; any other path as it is.
std::string ExpandTilde(const std::string& path);
// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);
// The login name of the effective user ("" when the system has none).
std::string UserName();

// A new random UUID: 36 characters, upper-case hex with four dashes.
std::string NewUUIDString();

// `t` (seconds since 1970) as local time, "2026-12-10 18:03:53 +0000".
std::string DateDescription(int64_t t);

// Writes `line` and a line end to the console (standard error).
void ConsoleLog(std::string_view line);

// Makes `path` and its missing parents folders; the folders it creates get
// `mode`. Answers "" or the error, naming the folder.
std::string EnsureFolder(const std::string& path, mode_t mode = 0700);

// Replaces (or creates) the file `path` with `data`: a temporary file beside
// it, created with `mode`, written, flushed to disk and renamed over it. The
// folder of `path` must exist. On any failure the old file stays as it was,
// the temporary one is removed, and the error (naming the file) is returned;
// "" on success.
std::string WriteFileAtomically(const std::string& path, std::string_view data, mode_t mode);

// The whole content of a regular file. nullopt with `missing` set when the
// file does not exist; nullopt with `error` set when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path, bool* missing, std::string* error);

}  // namespace tarvex::mac
