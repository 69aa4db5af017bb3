#include "ie/foundation/IniFile.h"

#include <exception>

#include "ie/foundation/core/VelkException.h"
#include "platform/Win32Error.h"

namespace tarvex {

using namespace win32;

namespace {

constexpr char kOpenFailed[] = "Error while opening CreateFile: %s on [%s]";
constexpr char kReadFailed[] = "Error reading ini data: %s";
constexpr char kCreateFailed[] = "Error couldn't create new INI file: %s";
constexpr char kWriteFailed[] = "Error couldn't write section to INI file: %s";

constexpr std::string_view kOldSection = "Kestrove";
constexpr std::string_view kSection = "Tarvex";

constexpr uint32_t kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr uint32_t kFileAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Windows-1252 for the bytes 0x80-0x9F; the five bytes the code page leaves
// undefined map to the C1 controls of the same value, as Windows does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Whole-buffer check; a NUL is valid UTF-8.
std::string DecodeWindows1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    AppendUtf8(out, b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : b);
  }
  return out;
}

// An odd last byte is dropped; lone surrogates become U+FFFD.
std::string DecodeUtf16(std::string_view bytes, bool littleEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    auto first = static_cast<unsigned char>(bytes[i]);
    auto second = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(
        static_cast<char16_t>(littleEndian ? first | (second << 8) : (first << 8) | second));
  }
  return Utf16ToUtf8Whole(units);
}

// The file's bytes as UTF-8 text, NULs kept.
std::string Decode(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) return DecodeUtf16(bytes.substr(2), true);
  if (bytes.starts_with("\xFE\xFF")) return DecodeUtf16(bytes.substr(2), false);
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return DecodeWindows1252(bytes);
}

// A name or value as it can be stored: up to its first NUL, CR or LF.
std::string_view CutAtLineBreak(std::string_view text) {
  return text.substr(0, text.find_first_of(std::string_view("\0\r\n", 3)));
}

// A key that would read back as something else: one holding "=" (it would
// end at the "="), or one whose line could read as a section header.
bool IsStorableKey(std::string_view key) {
  if (key.find('=') != std::string_view::npos) return false;
  std::string trimmed = Trim(key);
  return trimmed.empty() || trimmed.front() != '[';
}

// Failures of creating the file, as opposed to failures while writing it.
bool IsCreateFailure(uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

}  // namespace

IniFile::IniFile(FileSystem& fs, Settings& settings, Logger& logger)
    : fs_(fs), settings_(settings), logger_(logger) {}

IniFile::IniFile(const std::string& path, uint32_t attributes, FileSystem& fs, Settings& settings,
                 Logger& logger, Durability durability)
    : IniFile(fs, settings, logger) {
  durability_ = durability;
  Load(path, attributes);
}

IniFile::~IniFile() {
  try {
    Close();
  } catch (const VelkException& e) {
    logger_.Error(e.ToString());
  } catch (const std::exception& e) {
    logger_.Error(e.what());
  } catch (...) {
    logger_.Error("Unknown error while closing an INI file");
  }
}

void IniFile::Fail(const std::string& path, uint32_t code, const std::string& message) {
  settings_.SetValue(kProblemFileSetting, path, false);
  throw VelkException("windows", static_cast<int32_t>(code), message);
}

void IniFile::Load(const std::string& path, uint32_t attributes) {
  Close();
  attributes_ = attributes;
  std::string bytes;
  uint32_t code = fs_.ReadFile(path, &bytes, kMaxFileBytes);
  if (code == ERROR_FILE_NOT_FOUND) {
    path_ = path;
    return;
  }
  // The path is attached only once the file was read, so a file that could
  // not be read is never overwritten through this object.
  if (code == ERROR_NOT_ENOUGH_MEMORY) Fail(path, code, Format(kReadFailed, path));
  if (code != ERROR_SUCCESS)
    Fail(path, code, Format(kOpenFailed, win32::FormatMessage(code), path));
  Parse(Decode(bytes));
  path_ = path;
}

void IniFile::Parse(const std::string& text) {
  std::string current;  // lines before the first header belong to ""
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    std::string trimmed = Trim(line.substr(0, line.find('\0')));
    if (trimmed.empty()) continue;
    if (trimmed.front() == '[' && trimmed.back() == ']') {
      size_t first = trimmed.find_first_not_of("[]");
      current = first == std::string::npos
                    ? std::string()
                    : trimmed.substr(first, trimmed.find_last_not_of("[]") + 1 - first);
      sections_.try_emplace(current);
      continue;
    }
    size_t equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    sections_[current].try_emplace(trimmed.substr(0, equals), trimmed.substr(equals + 1));
  }

  auto old = sections_.find(kOldSection);
  if (old != sections_.end()) {
    if (sections_.find(kSection) == sections_.end())
      sections_.emplace(std::string(kSection), std::move(old->second));
    sections_.erase(old);
    modified_ = true;
  }
}

std::string IniFile::Serialize() const {
  // The empty name orders first, so its keys come before any header.
  std::string out;
  for (const auto& [name, keys] : sections_) {
    if (!name.empty()) out += "[" + name + "]\r\n";
    for (const auto& [key, value] : keys) out += key + "=" + value + "\r\n";
  }
  // A first key that begins with U+FEFF would read as a byte-order mark and
  // lose it: such a text gets a mark of its own in front, which the reader
  // takes away.
  constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
  if (out.starts_with(kUtf8Mark)) out.insert(0, kUtf8Mark);
  return out;
}

std::string IniFile::GetValue(std::string_view section, std::string_view key,
                              std::string_view defaultValue) const {
  std::optional<std::string> value = FindValue(section, key);
  return value ? std::move(*value) : std::string(defaultValue);
}

std::optional<std::string> IniFile::FindValue(std::string_view section,
                                              std::string_view key) const {
  auto s = sections_.find(CutAtLineBreak(section));
  if (s == sections_.end()) return std::nullopt;
  auto k = s->second.find(CutAtLineBreak(key));
  if (k == s->second.end()) return std::nullopt;
  return k->second;
}

void IniFile::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  std::string_view storedKey = CutAtLineBreak(key);
  if (!IsStorableKey(storedKey)) {
    throw VelkException("internal", kErrImpossible,
                        Format("Invalid INI key [%s]: it holds \"=\" or starts with \"[\"",
                               std::string(storedKey)));
  }
  Section& keys = sections_[std::string(CutAtLineBreak(section))];
  // Stored as it will read back: a line loses its trailing white space.
  std::string line = "=";
  line += CutAtLineBreak(value);
  const std::string stored = Trim(line).substr(1);
  auto [it, inserted] = keys.try_emplace(std::string(storedKey), stored);
  if (!inserted) {
    if (it->second == stored) return;  // nothing changes, nothing to write
    it->second = stored;
  }
  modified_ = true;
}

void IniFile::DeleteValue(std::string_view section, std::string_view key) {
  auto s = sections_.find(CutAtLineBreak(section));
  if (s == sections_.end()) return;
  auto k = s->second.find(CutAtLineBreak(key));
  if (k == s->second.end()) return;
  s->second.erase(k);
  modified_ = true;
}

void IniFile::Clear() {
  sections_.clear();
  modified_ = false;
}

void IniFile::Close() {
  if (!path_.empty() && modified_) {
    std::string content = Serialize();
    // The write keeps the HIDDEN and SYSTEM attributes of the file it
    // replaces; the old file's attributes are only looked at when the write
    // is refused.
    const uint32_t attributes = attributes_ & kFileAttributes;
    uint32_t code = fs_.WriteFileAtomic(path_, content, attributes, true, durability_);
    uint32_t old = 0;
    if (code == ERROR_ACCESS_DENIED && fs_.GetAttributes(path_, &old) == ERROR_SUCCESS &&
        (old & FILE_ATTRIBUTE_READONLY)) {
      // A read-only file is made normal (keeping HIDDEN and SYSTEM) and
      // written once more.
      const uint32_t kept = old & kKeptAttributes;
      if (fs_.SetAttributes(path_, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL) == ERROR_SUCCESS)
        code = fs_.WriteFileAtomic(path_, content, attributes | kept, true, durability_);
    }
    if (code != ERROR_SUCCESS)
      Fail(path_, code, Format(IsCreateFailure(code) ? kCreateFailed : kWriteFailed, path_));
  }
  Clear();
  path_.clear();
}

}  // namespace tarvex
