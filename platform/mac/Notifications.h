// Distributed notifications between the agent and the preference pane: a
// name and a dictionary of user information, posted by one process and
// delivered to the observers of that name in every process of the user.
//
// SocketNotificationCenter is the per-user bus: each center that observes
// binds a Unix datagram socket in "<runtime>/notify/" (a private folder,
// PlatformConfig's runtime folder by default); a post sends
// {"name", "userInfo"} as JSON to every socket there and removes those no
// process listens on any more. Delivery happens in Pump(), on the thread
// that calls it. RecordingNotificationCenter keeps what was posted, for
// tests, and delivers it to its own observers at once.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mac/Value.h"

namespace tarvex::mac {

struct Notification {
  std::string name;
  DictRef userInfo;  // never null
};

class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  virtual ~NotificationCenter() = default;
  // Answers false when the notification could not be sent.
  virtual bool Post(const std::string& name, const DictRef& userInfo) = 0;
  virtual void AddObserver(const std::string& name, Observer observer) = 0;
  // Delivers what has arrived, waiting at most `timeoutMs` for the first
  // notification (0: only what is there). Returns how many were delivered.
  virtual int Pump(int timeoutMs) = 0;
};

class RecordingNotificationCenter : public NotificationCenter {
 public:
  bool Post(const std::string& name, const DictRef& userInfo) override;
  void AddObserver(const std::string& name, Observer observer) override;
  int Pump(int timeoutMs) override;
  // Everything posted so far, oldest first (user information deep-copied
  // at the time of the post).
  std::vector<Notification> Posted() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Notification> posted_;
  std::multimap<std::string, Observer> observers_;
};

class SocketNotificationCenter : public NotificationCenter {
 public:
  // The bus in "<runtimeDir>/notify"; "" means PlatformConfig's runtime
  // folder.
  explicit SocketNotificationCenter(std::string runtimeDir = "");
  ~SocketNotificationCenter() override;
  bool Post(const std::string& name, const DictRef& userInfo) override;
  void AddObserver(const std::string& name, Observer observer) override;
  int Pump(int timeoutMs) override;
  const std::string& folder() const { return folder_; }

 private:
  bool Bind();
  std::string folder_;
  std::string socketPath_;
  int fd_ = -1;
  std::mutex mutex_;
  std::multimap<std::string, Observer> observers_;
};

// The center the agent posts its distributed notifications on: a
// SocketNotificationCenter made on first use unless a test set one.
NotificationCenter& DistributedCenter();
// Sets the center DistributedCenter() answers (nullptr: back to the bus).
// The center must outlive its use.
void SetDistributedCenter(NotificationCenter* center);

}  // namespace tarvex::mac
