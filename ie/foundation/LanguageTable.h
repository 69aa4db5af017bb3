// The user-interface languages the client knows: each Windows language
// identifier (LANGID) with its locale tag and the more general language it
// falls back to. The client walks the parents from the user's UI language to
// find a folder of localized resources; the walk ends at the invariant
// language (127), whose parent is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvex {

struct LanguageRow {
  int32_t id;        // Windows language identifier (16 bits)
  const char* tag;   // locale tag, e.g. "en-US"
  int32_t parent;    // id of the more general language; 0 for the invariant one
  const char* name;  // English display name (informational only)
};

// The rows in three blocks: neutral languages (ids below 1024, ascending),
// specific languages (ascending), then the neutral languages with high ids
// ("bs", "zh-Hant", "sr"). After them comes the closing row
// {0, "dummy", 0, "End of list"}.
extern const LanguageRow TarvexLanguageTable[];
inline constexpr size_t kLanguageTableRows = 327;  // rows before the closing row

// The row with this id, or nullptr when there is none (0 is never found).
const LanguageRow* FindLanguage(int32_t id);

// The id of the row whose tag equals `tag` ignoring ASCII case; -1 when absent.
int32_t FindLanguageByTag(std::string_view tag);

}  // namespace tarvex
