// A second process on the notification bus, for the tests.
//   notify_helper observe RUNTIME NAME   prints "ready", then the first
//                                        notification NAME as JSON; exits 1
//                                        when none came within 20 seconds
//   notify_helper post RUNTIME NAME JSON posts NAME with the user
//                                        information JSON
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/mac/Json.h"
#include "platform/mac/Notifications.h"

using namespace tarvex::mac;

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "observe") == 0) {
    SocketNotificationCenter center(argv[2]);
    std::string got;
    center.AddObserver(argv[3], [&](const Notification& n) {
      if (got.empty()) got = ToJSONText(NewDict({{"name", n.name}, {"userInfo", n.userInfo}}));
    });
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < 200 && got.empty(); ++i) center.Pump(100);
    if (got.empty()) return 1;
    std::fputs(got.c_str(), stdout);
    return 0;
  }
  if (argc >= 5 && std::strcmp(argv[1], "post") == 0) {
    SocketNotificationCenter center(argv[2]);
    std::optional<Value> info = FromJSONText(argv[4]);
    if (!info || !info->IsDict()) return 2;
    return center.Post(argv[3], info->AsDict()) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: notify_helper observe RUNTIME NAME | post RUNTIME NAME JSON\n");
  return 2;
}
