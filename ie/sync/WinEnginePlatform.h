// The bookmark engine as the Windows client runs it: errors are
// VelkException ("internal"; -12 for a node not found, -40 for a duplicate
// node, -10 for everything else), lines go to the client's log, settings
// come from the registry settings, and the baseline lives in the user folder.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "nodeset/Engine.h"
#include "platform/files/FileSystem.h"
#include "platform/osfacts/OsFacts.h"

namespace tarvex {

class Logger;
class Settings;

class WinEnginePlatform : public EnginePlatform {
 public:
  using UserNameSource = std::function<std::string()>;
  using DatasourceFactory = std::function<std::unique_ptr<NativeDatasource>()>;

  WinEnginePlatform(Logger& logger, Settings& settings, FileSystem& fs = FileSystem::Native(),
                    const OsFacts& facts = OsFacts::Process());

  // The signed-in user's name (the account); until one is given, baselines
  // are not checked against a user.
  void SetUserNameSource(UserNameSource source) { userName_ = std::move(source); }
  // The Favorites store as the sync reaches it.
  void SetDatasourceFactory(DatasourceFactory factory) { datasources_ = std::move(factory); }

  bool InfoEnabled() override;
  void Info(std::string_view text) override;
  void Error(std::string_view text) override;
  [[noreturn]] void Raise(ErrorKind kind, const std::string& message) override;
  std::string GetSetting(std::string_view key, std::string_view defaultValue) override;
  // "user@serverroot", then the same user under the service's earlier
  // domain (the current one with "kv" in front).
  std::vector<std::string> UserIdentities() override;
  std::string BaselinePath() override;
  char32_t FillerChar() override;
  uint32_t ReadFile(const std::string& path, std::string* data) override;
  uint32_t WriteFileAtomic(const std::string& path, std::string_view data) override;
  std::unique_ptr<NativeDatasource> MakeDatasource() override;
  // The MakeDurable of the Favorites store the factory makes.
  void MakeStoreDurable() override;

 private:
  Logger& logger_;
  Settings& settings_;
  FileSystem& fs_;
  const OsFacts& facts_;
  UserNameSource userName_;
  DatasourceFactory datasources_;
};

// Installs the Windows flavour over `platform` as the engine of this process.
void InstallWindowsEngine(WinEnginePlatform& platform);

}  // namespace tarvex
