#include "ie/foundation/core/RegistryHelpers.h"

namespace tarvex {

namespace {
constexpr size_t kRegistryReadBytes = 1000;
}

uint32_t ReadRegistryString(Registry& registry, Hive hive, std::string_view key,
                            std::string_view name, std::string* out) {
  return registry.ReadString(hive, key, name, out, kRegistryReadBytes);
}

uint32_t WriteRegistryString(Registry& registry, Hive hive, std::string_view key,
                             std::string_view name, std::string_view text) {
  return registry.WriteString(hive, key, name, text);
}

}  // namespace tarvex
