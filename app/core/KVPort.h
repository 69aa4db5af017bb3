// The agent's port helpers: the small text, number and version functions
// the shared engine's code expects of its host, written for UTF-8 text.
// (The engine keeps its own KVPort for node ids; these live in mac::.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/Text.h"

namespace tarvex::mac {

struct KVPort {
  // Results of Format are cut to this many bytes less one.
  static constexpr size_t kFormatBufferSize = 8096;

  // The address as it is.
  static std::string NormalizeURL(std::string url) { return url; }
  // Exactly "created", "modified" or "visited" (case matters).
  static bool IsIntType(std::string_view key);
  // ASCII letters only, whatever the locale; other bytes are left alone.
  static void MakeUpper(std::string& text);
  static void MakeLower(std::string& text);
  // Remove every byte of `set` from the start, the end, or both.
  static void TrimLeft(std::string& text, std::string_view set);
  static void TrimRight(std::string& text, std::string_view set);
  static void Trim(std::string& text, std::string_view set);
  // A new node id (the engine's).
  static std::string GenerateNodeID();
  // `out` := the formatted text (the project's type-safe Format), cut to
  // kFormatBufferSize - 1 bytes. Returns the length of the whole text.
  template <typename... Args>
  static int Format(std::string& out, std::string_view format, const Args&... args) {
    return Cut(out, tarvex::Format(format, args...));
  }
  // "1.3.10" -> [1, 3, 10]; each piece is its leading integer.
  static std::vector<int64_t> VersionStrToIntVector(std::string_view version);
  // -1, 0 or 1. A comparison that cannot be made throws KestroveException
  // 500 "Unknown error while comparing versions A and B".
  static int VersionStrCmp(std::string_view a, std::string_view b);

 private:
  static int Cut(std::string& out, std::string whole);
};

}  // namespace tarvex::mac
