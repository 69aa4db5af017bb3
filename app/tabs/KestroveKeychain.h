// The agent's passwords in the user's keychain: one generic password per
// service and account (the platform's keychain, mac::Keychain).
//
// Failures are logged at error level (naming the service and account,
// never the password) and answered, so a password the user asked to
// remember cannot fail to be kept without a trace.
#pragma once

#include <optional>
#include <string>

namespace tarvex {

namespace mac {
class Keychain;
}
class KestroveLogger;

class KestroveKeychain {
 public:
  // The user's keychain, logging to KestroveLogger::instance(); made on
  // first use and never destroyed.
  static KestroveKeychain& instance();

  // Both must outlive the object.
  KestroveKeychain(mac::Keychain& keychain, KestroveLogger& logger);

  // The password as UTF-8 text, or nothing when there is none, it is no
  // UTF-8 text or the keychain cannot be read.
  std::optional<std::string> passwordForGenericService(const std::string& service, const std::string& account);
  // Adds the password. When the item exists: with `replaceExisting` its
  // password is replaced (the keychain is not written when it is the same),
  // without it the item stays as it is. False (and an error line) when the
  // keychain could not be read or written.
  bool addGenericPassword(const std::string& password, const std::string& service, const std::string& account,
                          bool replaceExisting);

 private:
  mac::Keychain& keychain_;
  KestroveLogger& logger_;
};

}  // namespace tarvex
