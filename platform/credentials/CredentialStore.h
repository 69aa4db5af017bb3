// Stored sign-in credentials, one per target name: a user name and a secret
// (the password, or nothing when the user chose not to save it). The file
// store keeps them in "credentials.json" in the user's configuration folder
// (the registry folder): the folder 0700, the file 0600, written through a
// temporary file. A file that others may read, that is too large or that
// does not parse is refused with a log line and counts as holding nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tarvex {

inline constexpr uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr uint32_t ERROR_CANCELLED = 1223;

struct Credential {
  std::string user;
  std::string secret;  // empty when not saved
};

class CredentialStore {
 public:
  virtual ~CredentialStore() = default;
  // 0, or ERROR_NOT_FOUND when no credential is stored under `target`, or
  // another Win32 code when the store cannot be used.
  virtual uint32_t Read(std::string_view target, Credential* out) = 0;
  virtual uint32_t Write(std::string_view target, const Credential& credential) = 0;
  // ERROR_NOT_FOUND when there was none.
  virtual uint32_t Delete(std::string_view target) = 0;

  // The process-wide store: a FileCredentialStore in the registry folder.
  static CredentialStore& Process();
};

class FileCredentialStore : public CredentialStore {
 public:
  // `folder` holds "credentials.json"; `log` receives the reasons a file is
  // refused (may be empty).
  explicit FileCredentialStore(std::string folder,
                               std::function<void(const std::string&)> log = {});
  uint32_t Read(std::string_view target, Credential* out) override;
  uint32_t Write(std::string_view target, const Credential& credential) override;
  uint32_t Delete(std::string_view target) override;

  static constexpr uint64_t kMaxFileBytes = 64 * 1024;

 private:
  std::string folder_;
  std::string path_;
  std::function<void(const std::string&)> log_;
  std::mutex mutex_;
};

class MemoryCredentialStore : public CredentialStore {
 public:
  uint32_t Read(std::string_view target, Credential* out) override;
  uint32_t Write(std::string_view target, const Credential& credential) override;
  uint32_t Delete(std::string_view target) override;
  std::map<std::string, Credential, std::less<>> entries;
  uint32_t failWrites = 0;  // a code every Write fails with, when set
};

}  // namespace tarvex
