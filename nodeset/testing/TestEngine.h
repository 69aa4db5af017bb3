// An engine platform for tests: records log lines, raises EngineError,
// keeps settings in a map, and reads and writes files through a file system
// that tests may make fail.
#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nodeset/Engine.h"
#include "platform/files/FileSystem.h"

namespace tarvex::testing {

struct EngineError : std::runtime_error {
  EngineError(ErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind(kind) {}
  ErrorKind kind;
};

class TestEnginePlatform : public EnginePlatform {
 public:
  bool InfoEnabled() override { return infoEnabled; }
  void Info(std::string_view text) override { infos.emplace_back(text); }
  void Error(std::string_view text) override { errors.emplace_back(text); }
  [[noreturn]] void Raise(ErrorKind kind, const std::string& message) override {
    throw EngineError(kind, message);
  }
  std::string GetSetting(std::string_view key, std::string_view defaultValue) override {
    auto it = settings.find(std::string(key));
    return it == settings.end() ? std::string(defaultValue) : it->second;
  }
  std::vector<std::string> UserIdentities() override { return identities; }
  std::string BaselinePath() override { return baselinePath; }
  char32_t FillerChar() override { return filler; }
  uint32_t ReadFile(const std::string& path, std::string* data) override {
    return fs->ReadFile(path, data, 1u << 30);
  }
  uint32_t WriteFileAtomic(const std::string& path, std::string_view data) override {
    return fs->WriteFileAtomic(path, data);
  }
  std::unique_ptr<NativeDatasource> MakeDatasource() override {
    if (!datasourceFactory) Raise(ErrorKind::General, "no datasource in this test");
    return datasourceFactory();
  }

  bool infoEnabled = true;
  std::vector<std::string> infos;
  std::vector<std::string> errors;
  std::map<std::string, std::string> settings{{"kestroveversion", "1.3.5"}};
  std::vector<std::string> identities{"alice@example.com", "alice@ppexample.com"};
  std::string baselinePath;
  char32_t filler = U'\u200B';
  FileSystem* fs = &FileSystem::Native();
  std::function<std::unique_ptr<NativeDatasource>()> datasourceFactory;
};

}  // namespace tarvex::testing
