// What the fuzz targets share: a private folder for the files they read
// and write, and the report of a broken invariant (an abort, which libFuzzer
// and the corpus replay both take as a crash).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex::fuzz {

// Writes what broke, with `detail`, to standard error and aborts.
[[noreturn]] void Broken(std::string_view invariant, std::string_view detail = {});
inline void Check(bool holds, std::string_view invariant, std::string_view detail = {}) {
  if (!holds) Broken(invariant, detail);
}

// A private folder of this process, removed at its end.
const std::string& WorkDir();

// The input as bytes.
inline std::string_view Bytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Replaces `path` with `bytes`.
void WriteBytes(const std::string& path, std::string_view bytes);

}  // namespace tarvex::fuzz
