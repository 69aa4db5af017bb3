#include "platform/mac/Keychain.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <utility>

#include "platform/mac/Json.h"
#include "platform/mac/System.h"
#include "platform/mac/Value.h"
#include "text/Text.h"

namespace tarvex::mac {

namespace {

using Status = Keychain::Status;

Keychain::Result Failure(std::string error) { return {Status::Error, std::nullopt, std::move(error)}; }

std::optional<std::string> HexDecode(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

struct Item {
  std::string service, account, password;
};

// The items of the file; a missing file holds none. Any other failure
// answers nothing and says why in `error`.
std::optional<std::vector<Item>> ReadItems(const std::string& path, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0600) != 0) {
    *error = Format("The keychain file \"%s\" is open to others and cannot be made private: %s", path,
                    std::strerror(errno));
    return std::nullopt;
  }
  bool missing = false;
  const auto text = ReadWholeFile(path, &missing, error);
  if (!text) {
    if (missing) return std::vector<Item>{};
    return std::nullopt;
  }
  const auto bad = [&] {
    *error = Format("The keychain file \"%s\" is not a list of items", path);
    return std::nullopt;
  };
  const auto doc = FromJSONText(*text);
  if (!doc || !doc->IsDict()) return bad();
  const auto found = doc->AsDict()->find("items");
  if (found == doc->AsDict()->end() || !found->second.IsArray()) return bad();
  std::vector<Item> items;
  for (const Value& entry : *found->second.AsArray()) {
    if (!entry.IsDict()) return bad();
    const Dict& d = *entry.AsDict();
    const auto text = [&](const char* key) -> std::optional<std::string> {
      auto it = d.find(key);
      if (it == d.end() || !it->second.IsString()) return std::nullopt;
      return it->second.AsString();
    };
    auto service = text("service"), account = text("account"), hex = text("password_hex");
    auto password = hex ? HexDecode(*hex) : std::nullopt;
    if (!service || !account || !password) return bad();
    items.push_back({std::move(*service), std::move(*account), std::move(*password)});
  }
  return items;
}

std::string WriteItems(const std::string& path, const std::vector<Item>& items) {
  auto list = NewArray();
  for (const Item& item : items)
    list->push_back(NewDict({{"service", item.service},
                             {"account", item.account},
                             {"password_hex", hex_encode(item.password)}}));
  return WriteFileAtomically(path, ToJSONText(NewDict({{"items", list}})), 0600);
}

// An exclusive flock on "<path>.lock" for as long as it lives.
class WriteLock {
 public:
  explicit WriteLock(const std::string& path) {
    if (error_ = EnsureFolder(FolderOf(path), 0700); !error_.empty()) return;
    const std::string lockPath = path + ".lock";
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = Format("The keychain's lock \"%s\" cannot be opened: %s", lockPath, std::strerror(errno));
      return;
    }
    int rc;
    while ((rc = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) error_ = Format("The keychain's lock \"%s\" cannot be taken: %s", lockPath, std::strerror(errno));
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

std::vector<Item>::iterator FindItem(std::vector<Item>& items, const std::string& service,
                                     const std::string& account) {
  for (auto it = items.begin(); it != items.end(); ++it)
    if (it->service == service && it->account == account) return it;
  return items.end();
}

// Reads the items under the write lock, lets `change` change them, and
// writes them back unless it answered (without writing) itself.
Keychain::Result Change(const std::string& path,
                        const std::function<std::optional<Keychain::Result>(std::vector<Item>&)>& change) {
  WriteLock lock(path);
  if (!lock.error().empty()) return Failure(lock.error());
  std::string error;
  auto items = ReadItems(path, &error);
  if (!items) return Failure(error);
  if (auto answer = change(*items)) return *answer;
  if (error = WriteItems(path, *items); !error.empty()) return Failure(error);
  return {};
}

}  // namespace

Keychain::Keychain(std::string path) : path_(ExpandTilde(path)) {}

Keychain::Result Keychain::Add(const std::string& service, const std::string& account,
                               const std::string& password) {
  return Change(path_, [&](std::vector<Item>& items) -> std::optional<Result> {
    if (FindItem(items, service, account) != items.end()) return Result{Status::Duplicate, std::nullopt, ""};
    items.push_back({service, account, password});
    return std::nullopt;
  });
}

Keychain::Result Keychain::Find(const std::string& service, const std::string& account) {
  std::string error;
  auto items = ReadItems(path_, &error);
  if (!items) return Failure(error);
  auto it = FindItem(*items, service, account);
  if (it == items->end()) return {Status::NotFound, std::nullopt, ""};
  return {Status::Ok, it->password, ""};
}

Keychain::Result Keychain::Modify(const std::string& service, const std::string& account,
                                  const std::string& password) {
  return Change(path_, [&](std::vector<Item>& items) -> std::optional<Result> {
    auto it = FindItem(items, service, account);
    if (it == items.end()) return Result{Status::NotFound, std::nullopt, ""};
    it->password = password;
    return std::nullopt;
  });
}

}  // namespace tarvex::mac
