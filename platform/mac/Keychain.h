// The user's keychain as the agent uses it: generic passwords, one per
// service and account.
//
// The passwords are kept in plain text (their bytes as hex) in the JSON file
// ~/Library/Keychains/tarvex-generic-passwords.json:
// {"items": [{"service", "account", "password_hex"}]}. Nothing but the file's
// mode protects them: the folder is made 0700, the file is always written
// 0600, and a file found with a broader mode is narrowed to 0600 before it
// is read. The file lies outside ~/Library/Tarvex on purpose: the
// preference pane's reset empties that folder and its support archive packs
// it.
//
// Every change reads the file, changes it and writes it through a temporary
// file renamed over it, all under an exclusive flock on the sibling file
// "<file>.lock", so two processes writing at once never lose each other's
// entries. A file that exists but cannot be read is never written over.
// No error text holds a password.
#pragma once

#include <optional>
#include <string>

namespace tarvex::mac {

inline constexpr char kKeychainPath[] = "~/Library/Keychains/tarvex-generic-passwords.json";

class Keychain {
 public:
  enum class Status {
    Ok,
    Duplicate,  // Add: an item of that service and account exists already
    NotFound,   // Find, Modify: there is none
    Error,      // the file could not be read or written; see `error`
  };
  struct Result {
    Status status = Status::Ok;
    std::optional<std::string> password;  // Find, when found
    std::string error;                    // naming the file, never the password
  };

  // The keychain in the file `path` ("~" is the home folder).
  explicit Keychain(std::string path = kKeychainPath);

  Result Add(const std::string& service, const std::string& account, const std::string& password);
  Result Find(const std::string& service, const std::string& account);
  Result Modify(const std::string& service, const std::string& account, const std::string& password);

  // The file (with "~" expanded).
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tarvex::mac
