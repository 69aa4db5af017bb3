// tarvex-post: a person's or a browser add-on's command to the running
// client, through the client's window, subject to its message filter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process/Process.h"
#include "platform/testing/TempDir.h"
#include "platform/win/Window.h"

namespace tarvex {
namespace {

TEST(TarvexPostTest, PostsACommandToTheRunningClientAsTheFilterAllows) {
  testing::TempDir temp;
  const std::string runtime = temp.path() + "/run";
  ::setenv("TARVEX_RUNTIME_DIR", runtime.c_str(), 1);
  struct Seen {
    uint32_t message;
    uint64_t command;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen;
  ASSERT_EQ(RegisterClass("TarvexSyncWindow",
                          [&](const HWND&, uint32_t m, uint64_t wp, int64_t) {
                            if (m == WM_COMMAND || m == 1125) seen.push_back({m, wp});
                            return int64_t{0};
                          }),
            0u);
  auto post = [](std::vector<std::string> args) {
    args.insert(args.begin(), TARVEX_POST);
    int pid = -1;
    EXPECT_EQ(StartProcess(args, &pid), 0u);
    return WaitForProcess(pid);
  };
  EXPECT_EQ(post({"1068"}), 1) << "not running";

  HWND window;
  ASSERT_EQ(CreateWindow("TarvexSyncWindow", "Tarvex Synchronizer", &window, runtime), 0u);
  ChangeWindowMessageFilter(1125, MSGFLT_ADD);
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::vector<Seen> arrives;
  };
  const Case cases[] = {
      {{"1068"}, 0, {{1125, 1068}}},
      {{"--msg", "273", "1072"}, 0, {{WM_COMMAND, 1072}}},
      {{"--low", "1066"}, 0, {{1125, 1066}}},
      {{"--low", "--msg", "273", "1528"}, 2, {}},  // the filter lets 1125 in only
      {{}, 3, {}},
      {{"sync"}, 3, {}},
      {{"-5"}, 3, {}},
      {{"--msg", "5", "1528"}, 3, {}},
      {{"1528", "1528"}, 3, {}},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& a : c.args) label += a + " ";
    seen.clear();
    EXPECT_EQ(post(c.args), c.exitCode) << label;
    MSG msg;
    while (PeekMessage(&msg)) DispatchMessage(msg);
    EXPECT_EQ(seen, c.arrives) << label;
  }
  DestroyWindow(window);
}

}  // namespace
}  // namespace tarvex
