// The Windows "Run" key of the current user as XDG autostart entries. Values
// under HKCU "Software\Microsoft\Windows\CurrentVersion\Run" (the registry
// routes that key here; other keys and hives never come here) are the files
// `<folder>/<name>.desktop`:
//
//   [Desktop Entry]
//   Type=Application
//   Name=<name>
//   Exec="<program>" <arguments>
//   X-GNOME-Autostart-enabled=true
//   X-Tarvex-Run-Value=<name>
//
// A file is ours only when it is a regular file whose X-Tarvex-Run-Value is
// its own name without ".desktop"; every other file of the folder (another
// program's, a link, a copy under another name) is never listed, read,
// replaced or deleted. A value is a Windows command line: its program is the
// quoted first token (up to the next quote, no escapes) or else everything
// up to the first space or tab, and its arguments are split by the Microsoft
// C runtime's rules. In Exec the program is always quoted as desktop
// entries quote it ("`$\ escaped by a backslash, then every
// backslash doubled for the string value), an argument only when it needs
// it, and "%" is written "%%" (as the desktop entry format asks; GLib,
// and so GNOME, looks a program up before it undoes that, so it cannot
// start a program whose path holds "%"; arguments are fine). Reading gives
// the command line back in one form: "<program>" and the arguments quoted only where needed (a program
// with a quote but no space, which only an unquoted command gives, stays
// unquoted).
//
// Decisions: names are matched ASCII case-insensitively like every registry
// name (a rewrite keeps the file's name); names that are empty or hold "/",
// "\", "..", NUL or other control characters, or too long for a file name,
// give ERROR_INVALID_NAME. A command that is empty, has no program or holds a
// control character gives ERROR_INVALID_DATA. A file of ours that is
// malformed (no Exec, bad quoting, a field code other than "%%", more than
// 64 KiB) or switched off (Hidden=true, X-GNOME-Autostart-enabled=false)
// reads as absent (ERROR_FILE_NOT_FOUND) and is not listed, but a write
// replaces it and a delete removes it. A foreign file in the way of a new
// value's file gives ERROR_ACCESS_DENIED. Writes go through
// WriteFileAtomic (a temporary file beside it, renamed over it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex {

class FileSystem;

inline constexpr std::string_view kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// A program and its arguments.
struct CommandLine {
  std::string program;
  std::vector<std::string> args;
};

CommandLine SplitWindowsCommandLine(std::string_view line);
// The command line back, in the form described above; false when the
// program is empty or holds both a quote and a space (no form holds it).
bool JoinWindowsCommandLine(const CommandLine& command, std::string* line);
// The value of an Exec line as written in the file (both levels of
// escaping), and back; false for a value that does not parse.
std::string DesktopExecValue(const CommandLine& command);
bool ParseDesktopExecValue(std::string_view value, CommandLine* command);

class AutostartFolder {
 public:
  AutostartFolder(std::string folder, FileSystem& fs) : folder_(std::move(folder)), fs_(fs) {}

  // True for the Run key path (after the registry's normalisation).
  static bool IsRunKey(std::string_view key);

  // The command line of value `name`; `storedName` gets the name as stored.
  uint32_t Read(std::string_view name, std::string* storedName, std::string* commandLine);
  uint32_t Write(std::string_view name, std::string_view commandLine);
  uint32_t Delete(std::string_view name);
  struct Entry {
    std::string name;
    std::string commandLine;
  };
  // The readable values of ours, by file name (byte order); an absent
  // folder has none.
  uint32_t List(std::vector<Entry>* out);

 private:
  struct Found;
  // Our file for `name` (an exact name first, then any case): 0, or
  // ERROR_FILE_NOT_FOUND.
  uint32_t Find(std::string_view name, Found* found);
  bool Load(const std::string& stem, Found* found);

  std::string folder_;
  FileSystem& fs_;
};

}  // namespace tarvex
