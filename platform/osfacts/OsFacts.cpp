#include "platform/osfacts/OsFacts.h"

#include <limits.h>
#include <unistd.h>

#include "text/Text.h"
#include "platform/files/FileSystem.h"

namespace tarvex {

OsFacts OsFacts::FromConfig(const PlatformConfig& config) {
  OsFacts facts;
  if (config.windowsVersion == "fail") {
    facts.version.ok = false;
  } else {
    std::vector<int64_t> parts = VersionStrToIntVector(config.windowsVersion);
    facts.version.major = parts.size() > 0 ? static_cast<unsigned>(parts[0]) : 0;
    facts.version.minor = parts.size() > 1 ? static_cast<unsigned>(parts[1]) : 0;
  }
  facts.uiLanguageId = config.uiLanguageId;
  facts.uiLocale = config.uiLocale;
  facts.systemDir = config.systemDir;
  return facts;
}

OsFacts& OsFacts::Process() {
  static OsFacts* facts = new OsFacts(FromConfig(PlatformConfig::Current()));
  return *facts;
}

std::optional<std::string> OsFacts::LoadStringResource(const std::string& path, uint32_t id) const {
  // Resource files are small; anything above this is not one of ours.
  constexpr uint64_t kMaxResourceFile = 1 << 20;
  std::string data;
  if (FileSystem::Native().ReadFile(path, &data, kMaxResourceFile) != 0) return std::nullopt;
  size_t pos = 0;
  while (pos <= data.size()) {
    size_t end = data.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = data.size();
    std::string_view line(data.data() + pos, end - pos);
    pos = end + 1;
    size_t eq = line.find('=');
    if (line.empty() || line[0] == ';' || eq == std::string_view::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    if (key.empty() || key.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ParseLeadingInt(key) == static_cast<int64_t>(id)) return std::string(line.substr(eq + 1));
  }
  return std::nullopt;
}

std::string ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  std::string host(name);
  return host.substr(0, host.find('.'));
}

}  // namespace tarvex
