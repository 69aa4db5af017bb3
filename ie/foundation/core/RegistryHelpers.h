// Reading and writing text values of the registry, as every part of the
// Windows client does. Both return the Win32 error and never throw.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry/Registry.h"

namespace tarvex {

// Reads a text value of at most 1000 bytes (UTF-16 with its NUL); a larger
// value gives ERROR_MORE_DATA and counts as absent.
uint32_t ReadRegistryString(Registry& registry, Hive hive, std::string_view key,
                            std::string_view name, std::string* out);
// Creates the key when needed and writes `text` as a text value.
uint32_t WriteRegistryString(Registry& registry, Hive hive, std::string_view key,
                             std::string_view name, std::string_view text);

}  // namespace tarvex
