#include "app/tabs/KestroveKeychain.h"

#include "app/core/KestroveLogger.h"
#include "platform/mac/Keychain.h"
#include "text/Text.h"

namespace tarvex {

KestroveKeychain& KestroveKeychain::instance() {
  static KestroveKeychain* shared = new KestroveKeychain(*new mac::Keychain(), KestroveLogger::instance());
  return *shared;
}

KestroveKeychain::KestroveKeychain(mac::Keychain& keychain, KestroveLogger& logger)
    : keychain_(keychain), logger_(logger) {}

std::optional<std::string> KestroveKeychain::passwordForGenericService(const std::string& service,
                                                                      const std::string& account) {
  auto found = keychain_.Find(service, account);
  if (found.status == mac::Keychain::Status::Error) {
    logger_.error(Format("KestroveKeychain: no password read for %s (%s): %s", service, account, found.error));
    return std::nullopt;
  }
  if (!found.password) return std::nullopt;
  if (!IsValidUtf8(*found.password)) {
    logger_.error(Format("KestroveKeychain: the password kept for %s (%s) is no UTF-8 text", service, account));
    return std::nullopt;
  }
  return found.password;
}

bool KestroveKeychain::addGenericPassword(const std::string& password, const std::string& service,
                                          const std::string& account, bool replaceExisting) {
  using Status = mac::Keychain::Status;
  auto result = keychain_.Add(service, account, password);
  if (result.status == Status::Duplicate) {
    if (!replaceExisting) return true;
    result = keychain_.Find(service, account);
    if (result.status == Status::Ok && result.password != password) result = keychain_.Modify(service, account, password);
  }
  if (result.status == Status::Ok) return true;
  logger_.error(Format("KestroveKeychain: the password for %s (%s) was not kept: %s", service, account,
                       result.status == Status::Error ? result.error : "the item went away while it was replaced"));
  return false;
}

}  // namespace tarvex
