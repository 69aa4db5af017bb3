// A small INI-style text file held in memory: section names in square
// brackets, then lines of a key, "=" and a value. The Favorites store keeps
// its shortcut (.url) files and its folder files in this form.
//
// Reading:
// - A UTF-8 byte-order mark is skipped. A UTF-16 byte-order mark (FF FE, or
//   FE FF) makes the file UTF-16. Otherwise the file is UTF-8, unless its
//   bytes are not valid UTF-8: then it is Windows-1252 (the code page the
//   browser writes its shortcuts in), so no character is lost.
// - CR and LF both end a line. A NUL ends its line's content. Each line is
//   trimmed of white space at both ends and empty lines are skipped.
// - A line starting with "[" and ending with "]" starts a section whose name
//   is the line without its leading and trailing brackets ("[[x]]" is "x").
//   Lines before the first header belong to the section "".
// - Any other line holding "=" is a value: the key is the text before the
//   first "=", the value all after it, neither trimmed further ("a = b" has
//   the key "a " and the value " b"). Lines without "=" are dropped.
// - Sections of the same name merge; of keys seen twice, the first wins.
// - A section "Kestrove" (the product's former name) becomes "Tarvex"; when
//   "Tarvex" exists as well, it stays and "Kestrove" is dropped. Either way
//   the file counts as modified, so closing it stores the new name.
// - Files above kMaxFileBytes are refused.
//
// Writing (Close, when something changed) stores UTF-8 without byte-order
// mark, CR LF line ends: the keys of the section "" first without a header,
// then "[name]" and "key=value" lines. Sections and keys come out in ordinal
// order of their UTF-16 code units, so "URL" comes before "url". The new
// content goes to a temporary file beside the old one which then replaces it,
// so a failure leaves the old file as it was. The file keeps its HIDDEN and
// SYSTEM attributes; a READONLY file is made normal and overwritten.
//
// Names and values are cut at their first NUL, CR or LF whenever they are
// given (SetValue, GetValue, DeleteValue), so no caller can add lines to a
// file. A key holding "=" or whose first non-blank character is "[" cannot be
// stored and is a programming error.
//
// Every failure of Load and Close throws VelkException("windows", Win32
// error, ...) and records the file's path in the run-only setting
// `syncproblemfile`, which the sync uses to name the file that stopped it.
//
// Not thread-safe: one object belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "text/Text.h"
#include "platform/files/FileSystem.h"

namespace tarvex {

class IniFile {
 public:
  using Section = std::map<std::string, std::string, Utf16Less>;
  using Sections = std::map<std::string, Section, Utf16Less>;

  // Larger files are refused (shortcut and folder files hold a few hundred
  // bytes).
  static constexpr uint64_t kMaxFileBytes = 1024 * 1024;
  // The run-only setting that names the file that could not be read or
  // written.
  static constexpr std::string_view kProblemFileSetting = "syncproblemfile";

  // No file attached, nothing modified.
  explicit IniFile(FileSystem& fs = FileSystem::Native(),
                   Settings& settings = Settings::GetInstance(),
                   Logger& logger = Logger::GetInstance());
  // Constructs and calls Load(path, attributes). Close() writes with
  // `durability` (see FileSystem::WriteFileAtomic).
  IniFile(const std::string& path, uint32_t attributes, FileSystem& fs = FileSystem::Native(),
          Settings& settings = Settings::GetInstance(), Logger& logger = Logger::GetInstance(),
          Durability durability = Durability::Now);
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;
  // Close(); a failure is logged, never thrown. Callers that must know
  // whether the file was written call Close() themselves first.
  ~IniFile();

  // Close() (which writes a modified earlier file), then reads `path`. A
  // missing file loads as empty and stays attached, so a later Close()
  // creates it when values were set. `attributes` (FILE_ATTRIBUTE_*) are
  // given to the file when it is written. When the read fails, the object is
  // left empty with no file attached, so it never overwrites a file it could
  // not read.
  void Load(const std::string& path, uint32_t attributes);

  // The value, or `defaultValue` when the section or the key is missing.
  std::string GetValue(std::string_view section, std::string_view key,
                       std::string_view defaultValue) const;
  // The value, or nothing when the section or the key is missing.
  std::optional<std::string> FindValue(std::string_view section, std::string_view key) const;
  // Creates the section when missing and sets the value without its
  // trailing white space (which a line cannot keep); marks the file
  // modified when the value is new or differs. Throws VelkException("internal", kErrImpossible) for a key
  // that cannot be stored (see above).
  void SetValue(std::string_view section, std::string_view key, std::string_view value);
  // Removes the key when it exists and then marks the file modified.
  void DeleteValue(std::string_view section, std::string_view key);
  // Removes every section and clears the modified mark; the file stays
  // attached.
  void Clear();
  // Writes the file when one is attached and something changed, then
  // empties the object and detaches the file. After a throw, the object
  // keeps its content and its file.
  void Close();

  const std::string& path() const { return path_; }
  bool modified() const { return modified_; }
  const Sections& sections() const { return sections_; }

 private:
  // Records `path` as the problem file and throws ("windows", code, message).
  [[noreturn]] void Fail(const std::string& path, uint32_t code, const std::string& message);
  void Parse(const std::string& text);
  std::string Serialize() const;

  FileSystem& fs_;
  Settings& settings_;
  Logger& logger_;
  Durability durability_ = Durability::Now;
  bool modified_ = false;
  uint32_t attributes_ = FILE_ATTRIBUTE_NORMAL;
  std::string path_;
  Sections sections_;
};

}  // namespace tarvex
