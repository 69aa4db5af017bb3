#include "ie/sync/WinEnginePlatform.h"

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/WindowsFacts.h"

namespace tarvex {
namespace {
// Baselines are tens of megabytes for the largest trees.
constexpr uint64_t kMaxBaselineBytes = uint64_t{1} << 30;
constexpr std::string_view kEarlierDomainPrefix = "kv";
}  // namespace

WinEnginePlatform::WinEnginePlatform(Logger& logger, Settings& settings, FileSystem& fs,
                                     const OsFacts& facts)
    : logger_(logger), settings_(settings), fs_(fs), facts_(facts) {}

bool WinEnginePlatform::InfoEnabled() { return logger_.level.load() >= 2; }
void WinEnginePlatform::Info(std::string_view text) { logger_.Log(text); }
void WinEnginePlatform::Error(std::string_view text) { logger_.Error(text); }

void WinEnginePlatform::Raise(ErrorKind kind, const std::string& message) {
  switch (kind) {
    case ErrorKind::NotFound:
      throw VelkException("internal", kErrImpossible, message);
    case ErrorKind::Duplicate:
      throw VelkException("internal", kErrNodeExists, message);
    case ErrorKind::General:
      break;
  }
  throw VelkException("internal", kErrGeneral, message);
}

std::string WinEnginePlatform::GetSetting(std::string_view key, std::string_view defaultValue) {
  return settings_.GetValue(key, defaultValue);
}

std::vector<std::string> WinEnginePlatform::UserIdentities() {
  if (!userName_) return {};
  std::string user = userName_();
  std::string root = settings_.GetValue("serverroot", "");
  return {user + "@" + root, user + "@" + std::string(kEarlierDomainPrefix) + root};
}

std::string WinEnginePlatform::BaselinePath() {
  return GetUserDir("tarvex-baseline.json", &settings_);
}

char32_t WinEnginePlatform::FillerChar() { return FillerCharacter(facts_); }

uint32_t WinEnginePlatform::ReadFile(const std::string& path, std::string* data) {
  return fs_.ReadFile(path, data, kMaxBaselineBytes);
}

uint32_t WinEnginePlatform::WriteFileAtomic(const std::string& path, std::string_view data) {
  // The user folder may not exist yet on a first run.
  std::string folder = FolderOfPath(path);
  if (!folder.empty()) fs_.CreateDirectories(folder, 0700);
  return fs_.WriteFileAtomic(path, data);
}

std::unique_ptr<NativeDatasource> WinEnginePlatform::MakeDatasource() {
  if (!datasources_) Raise(ErrorKind::General, "No datasource for the Favorites");
  return datasources_();
}

void WinEnginePlatform::MakeStoreDurable() {
  // Without a factory nothing reached a store.
  if (datasources_) datasources_()->MakeDurable();
}

void InstallWindowsEngine(WinEnginePlatform& platform) {
  Engine::Current().flavor = EngineFlavor::Windows();
  Engine::Current().platform = &platform;
}

}  // namespace tarvex
