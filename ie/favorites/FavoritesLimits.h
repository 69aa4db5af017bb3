// What the Favorites folder can hold and still be read. The reader fails on
// anything beyond these limits, so the writer checks a whole tree against
// them before it changes anything: a tree written beyond them would leave
// Favorites that no later read (and so no later sync) gets through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ie/foundation/IniFile.h"

namespace tarvex {

struct FavoritesLimits {
  // Folders nested below the Favorites folder, the deepest one counted.
  static constexpr int kMaxDepth = 128;
  // The bytes of one favorite's .url file or one folder's "meta.kv".
  static constexpr uint64_t kMaxFileBytes = IniFile::kMaxFileBytes;
  // The bytes of any path the store opens (the file system's limit, less
  // the terminating NUL).
  static constexpr size_t kMaxPathBytes = 4095;
};

// The writer makes a new folder, and removes a deleted one, under a name
// beginning with this, so a folder of ours never shows without its id. The
// reader never takes such a folder for the user's, and no file-safe name
// (StoreFileName) begins with it: it holds a ':'.
inline constexpr std::string_view kSetAsidePrefix = "~tarvex:";

}  // namespace tarvex
