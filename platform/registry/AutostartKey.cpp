#include "platform/registry/AutostartKey.h"

#include <cstring>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using namespace tarvex::win32;

constexpr std::string_view kSuffix = ".desktop";
constexpr std::string_view kMarker = "X-Tarvex-Run-Value";
constexpr uint64_t kMaxFileBytes = 64 * 1024;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

uint32_t CheckName(std::string_view name) {
  if (name.empty() || name.find("..") != std::string_view::npos ||
      name.find_first_of("/\\") != std::string_view::npos || HasControl(name) ||
      AtomicWriteNameBytes(name.size() + kSuffix.size()) > 255)
    return ERROR_INVALID_NAME;
  return 0;
}

// Microsoft C runtime rules: 2n backslashes and a quote give n backslashes
// and toggle quoting; 2n+1 give n and a literal quote; other backslashes
// are literal; blanks outside quotes separate.
std::vector<std::string> SplitWindowsArgs(std::string_view s) {
  std::vector<std::string> out;
  size_t i = 0;
  for (;;) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i >= s.size()) return out;
    std::string arg;
    bool quoted = false;
    while (i < s.size()) {
      size_t n = 0;
      while (i < s.size() && s[i] == '\\') ++n, ++i;
      if (i < s.size() && s[i] == '"') {
        arg.append(n / 2, '\\');
        if (n % 2)
          arg += '"';
        else
          quoted = !quoted;
        ++i;
        continue;
      }
      arg.append(n, '\\');
      if (i >= s.size() || (!quoted && IsBlank(s[i]))) break;
      arg += s[i++];
    }
    out.push_back(std::move(arg));
  }
}

std::string QuoteWindowsArg(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string out = "\"";
  size_t n = 0;
  for (char c : a) {
    if (c == '\\') {
      ++n;
      continue;
    }
    out.append(c == '"' ? 2 * n + 1 : n, '\\');
    n = 0;
    out += c;
  }
  out.append(2 * n, '\\');
  return out + '"';
}

// One argument of Exec, before the string value's escaping.
std::string QuoteDesktopArg(std::string_view a, bool always) {
  static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#`()";
  bool quote = always || a.empty() || a.find_first_of(kReserved) != std::string_view::npos;
  std::string out = quote ? "\"" : "";
  for (char c : a) {
    if (quote && c && std::strchr("\"`$\\", c)) out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return quote ? out + '"' : out;
}

// A string value's escapes (\s \n \t \r \\); another backslash stays.
std::string UnescapeValue(std::string_view v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    char next = v[i] == '\\' && i + 1 < v.size() ? v[i + 1] : 0;
    char c = next == 's'    ? ' '
             : next == 'n'  ? '\n'
             : next == 't'  ? '\t'
             : next == 'r'  ? '\r'
             : next == '\\' ? '\\'
                            : 0;
    if (c) ++i;
    out += c ? c : v[i];
  }
  return out;
}

// The string value's escaping: backslashes doubled, a leading space "\s".
std::string EscapeValue(std::string_view v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' || (i == 0 && v[i] == ' ')) out += '\\';
    out += i == 0 && v[i] == ' ' ? 's' : v[i];
  }
  return out;
}

}  // namespace

struct AutostartFolder::Found {
  std::string stem, path, exec;
  bool ours = false, off = false;
};

CommandLine SplitWindowsCommandLine(std::string_view line) {
  while (!line.empty() && IsBlank(line[0])) line.remove_prefix(1);
  CommandLine c;
  size_t end;
  if (!line.empty() && line[0] == '"') {
    end = line.find('"', 1);
    c.program = line.substr(1, end == std::string_view::npos ? end : end - 1);
  } else {
    end = line.find_first_of(" \t");
    c.program = line.substr(0, end);
  }
  if (end != std::string_view::npos) c.args = SplitWindowsArgs(line.substr(end + 1));
  return c;
}

bool JoinWindowsCommandLine(const CommandLine& c, std::string* line) {
  if (c.program.empty()) return false;
  if (c.program.find('"') == std::string::npos) {
    *line = "\"" + c.program + "\"";
  } else if (c.program[0] != '"' && c.program.find_first_of(" \t") == std::string::npos) {
    *line = c.program;
  } else {
    return false;
  }
  for (const std::string& a : c.args) *line += " " + QuoteWindowsArg(a);
  return true;
}

std::string DesktopExecValue(const CommandLine& c) {
  std::string exec = QuoteDesktopArg(c.program, true);
  for (const std::string& a : c.args) exec += " " + QuoteDesktopArg(a, false);
  return EscapeValue(exec);
}

bool ParseDesktopExecValue(std::string_view value, CommandLine* command) {
  std::string s = UnescapeValue(value);
  if (HasControl(s)) return false;
  std::vector<std::string> argv;
  size_t i = 0;
  for (;;) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i >= s.size()) break;
    std::string raw;
    if (s[i] == '"') {
      for (++i;; ++i) {
        if (i >= s.size()) return false;  // no closing quote
        if (s[i] == '"') break;
        if (s[i] == '\\' && i + 1 < s.size() && std::strchr("\"`$\\", s[i + 1])) ++i;
        raw += s[i];
      }
      if (++i < s.size() && !IsBlank(s[i])) return false;
    } else {
      for (; i < s.size() && !IsBlank(s[i]); ++i) {
        if (s[i] == '"') return false;
        raw += s[i];
      }
    }
    std::string arg;  // "%%" is "%"; other field codes are not ours
    for (size_t k = 0; k < raw.size(); ++k) {
      if (raw[k] == '%' && (k + 1 >= raw.size() || raw[++k] != '%')) return false;
      arg += raw[k];
    }
    argv.push_back(std::move(arg));
  }
  if (argv.empty()) return false;
  command->program = std::move(argv[0]);
  command->args.assign(argv.begin() + 1, argv.end());
  return true;
}

// The command line of an entry of ours that is switched on and parses.
bool ReadableCommand(bool off, const std::string& exec, std::string* line) {
  CommandLine c;
  return !off && ParseDesktopExecValue(exec, &c) && JoinWindowsCommandLine(c, line);
}

bool AutostartFolder::IsRunKey(std::string_view key) {
  return AsciiLower(key) == AsciiLower(kRunKey);
}

// Reads `<stem>.desktop`: false when it is not there or not a regular file.
bool AutostartFolder::Load(const std::string& stem, Found* f) {
  *f = Found{stem, folder_ + "/" + stem + std::string(kSuffix), "", false, false};
  std::string text;
  if (fs_.ReadFile(f->path, &text, kMaxFileBytes) != 0) return false;
  bool inEntry = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    std::string_view line = std::string_view(text).substr(pos, eol - pos);
    pos = eol == std::string::npos ? text.size() : eol + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line[0] == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    size_t eq = line.find('=');
    if (!inEntry || line.empty() || line[0] == '#' || eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    while (!key.empty() && IsBlank(key.back())) key.remove_suffix(1);
    while (!value.empty() && IsBlank(value[0])) value.remove_prefix(1);
    if (key == kMarker) f->ours = UnescapeValue(value) == stem;
    if (key == "Exec") f->exec = std::string(value);
    if ((key == "Hidden" && value == "true") ||
        (key == "X-GNOME-Autostart-enabled" && value == "false"))
      f->off = true;
  }
  return true;
}

uint32_t AutostartFolder::Find(std::string_view name, Found* found) {
  if (Load(std::string(name), found) && found->ours) return 0;
  std::vector<DirEntry> entries;
  if (fs_.ListDirectory(folder_, "*.desktop", &entries) != 0) return ERROR_FILE_NOT_FOUND;
  std::string want = AsciiLower(name) + std::string(kSuffix);
  for (const DirEntry& e : entries) {
    if (e.kind != DirEntry::Kind::File || AsciiLower(e.name) != want ||
        e.name.compare(e.name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
      continue;
    if (Load(e.name.substr(0, e.name.size() - kSuffix.size()), found) && found->ours) return 0;
  }
  return ERROR_FILE_NOT_FOUND;
}

uint32_t AutostartFolder::Read(std::string_view name, std::string* storedName,
                               std::string* commandLine) {
  if (uint32_t rc = CheckName(name)) return rc;
  Found f;
  if (Find(name, &f) != 0 || !ReadableCommand(f.off, f.exec, commandLine))
    return ERROR_FILE_NOT_FOUND;
  *storedName = f.stem;
  return 0;
}

uint32_t AutostartFolder::Write(std::string_view name, std::string_view commandLine) {
  if (uint32_t rc = CheckName(name)) return rc;
  CommandLine c = SplitWindowsCommandLine(commandLine);
  if (HasControl(commandLine) || c.program.empty()) return ERROR_INVALID_DATA;
  Found f;
  if (Find(name, &f) != 0) {
    // A new file: never over something that is not ours.
    std::string ignored;
    f.stem = std::string(name);
    f.path = folder_ + "/" + f.stem + std::string(kSuffix);
    uint32_t rc = fs_.ReadFile(f.path, &ignored, 0);
    if (rc != ERROR_FILE_NOT_FOUND && rc != ERROR_PATH_NOT_FOUND) return ERROR_ACCESS_DENIED;
  }
  std::string shown = EscapeValue(f.stem);
  std::string text = "[Desktop Entry]\nType=Application\nName=" + shown +
                     "\nExec=" + DesktopExecValue(c) + "\nX-GNOME-Autostart-enabled=true\n" +
                     std::string(kMarker) + "=" + shown + "\n";
  if (uint32_t rc = fs_.CreateDirectories(folder_, 0700)) return rc;
  return fs_.WriteFileAtomic(f.path, text, 0, true, Durability::Now);
}

uint32_t AutostartFolder::Delete(std::string_view name) {
  if (uint32_t rc = CheckName(name)) return rc;
  Found f;
  if (uint32_t rc = Find(name, &f)) return rc;
  return fs_.DeleteFile(f.path);
}

uint32_t AutostartFolder::List(std::vector<Entry>* out) {
  std::vector<DirEntry> entries;
  uint32_t rc = fs_.ListDirectory(folder_, "*.desktop", &entries);
  if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
    entries.clear();
  else if (rc)
    return rc;
  std::vector<Entry> list;
  for (const DirEntry& e : entries) {
    if (e.kind != DirEntry::Kind::File || e.name.size() <= kSuffix.size() ||
        e.name.compare(e.name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
      continue;
    std::string stem = e.name.substr(0, e.name.size() - kSuffix.size());
    Found f;
    Entry entry{stem, ""};
    if (CheckName(stem) == 0 && Load(stem, &f) && f.ours &&
        ReadableCommand(f.off, f.exec, &entry.commandLine))
      list.push_back(std::move(entry));
  }
  *out = std::move(list);
  return 0;
}

}  // namespace tarvex
