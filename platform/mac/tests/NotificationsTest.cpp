#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/mac/Json.h"
#include "platform/mac/Notifications.h"
#include "platform/testing/TempDir.h"

namespace tarvex::mac {
namespace {

// The helper program started with `args`, its standard output readable.
struct Helper {
  pid_t pid = -1;
  FILE* out = nullptr;

  explicit Helper(std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      std::vector<char*> argv{const_cast<char*>(MAC_NOTIFY_HELPER)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out = ::fdopen(fds[0], "r");
  }
  std::string Line() {
    char buf[4096];
    return out && std::fgets(buf, sizeof buf, out) ? std::string(buf) : std::string();
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (out) std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST(MacNotifications, APostInOneProcessReachesAnother) {
  testing::TempDir runtime;
  Helper observer({"observe", runtime.path(), "TarvexPref"});
  ASSERT_EQ(observer.Line(), "ready\n");
  SocketNotificationCenter center(runtime.path());
  auto info = NewDict({{"action", "updatePrefs"}, {"data", ""}, {"username", "\xc3\xa9mile"}});
  ASSERT_TRUE(center.Post("Other", NewDict()));
  ASSERT_TRUE(center.Post("TarvexPref", info));
  std::optional<Value> got = FromJSONText(observer.Line());
  EXPECT_EQ(observer.Wait(), 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, Value(NewDict({{"name", "TarvexPref"}, {"userInfo", info}})));
}

TEST(MacNotifications, AnObserverHearsAnotherProcess) {
  testing::TempDir runtime;
  SocketNotificationCenter center(runtime.path());
  std::vector<Notification> got;
  center.AddObserver("TarvexSafari", [&](const Notification& n) { got.push_back(n); });
  Helper poster({"post", runtime.path(), "TarvexSafari", "{\"action\":\"sync\"}"});
  EXPECT_EQ(poster.Wait(), 0);
  EXPECT_EQ(center.Pump(20000), 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "TarvexSafari");
  EXPECT_EQ(Value(got[0].userInfo), Value(NewDict({{"action", "sync"}})));
  EXPECT_EQ(center.Pump(0), 0) << "nothing more arrived";
}

TEST(MacNotifications, TheBusIsPrivateAndForgetsDeadListeners) {
  testing::TempDir runtime;
  SocketNotificationCenter center(runtime.path());
  // A listener whose process died without removing its socket.
  std::string stale = center.folder() + "/dead.sock";
  std::filesystem::create_directories(center.folder());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", stale.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  EXPECT_TRUE(center.Post("TarvexPref", NewDict()));
  EXPECT_FALSE(std::filesystem::exists(stale));
  auto perms = std::filesystem::status(center.folder()).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
}

TEST(MacNotifications, TheRecordingCenterKeepsCopiesAndDeliversAtOnce) {
  RecordingNotificationCenter center;
  int heard = 0;
  center.AddObserver("A", [&](const Notification&) { ++heard; });
  auto info = NewDict({{"k", "v"}});
  center.Post("A", info);
  center.Post("B", nullptr);
  (*info)["k"] = "changed";
  auto posted = center.Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ((*posted[0].userInfo)["k"].AsString(), "v");
  ASSERT_TRUE(posted[1].userInfo);
  EXPECT_TRUE(posted[1].userInfo->empty());
  EXPECT_EQ(heard, 1);
}

TEST(MacNotifications, TheAgentsCenterCanBeReplacedForTests) {
  RecordingNotificationCenter recording;
  SetDistributedCenter(&recording);
  EXPECT_EQ(&DistributedCenter(), &recording);
  SetDistributedCenter(nullptr);
  EXPECT_NE(&DistributedCenter(), &recording);
}

}  // namespace
}  // namespace tarvex::mac
