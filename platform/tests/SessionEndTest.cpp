// The end of the session: SIGTERM, SIGHUP or SIGINT asks the program's windows,
// again while one refuses, and ends them all once they agree or the time
// is up.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process/Process.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

std::vector<std::string> Lines(int fd) {
  std::vector<std::string> lines(1);
  char c;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n')
      lines.emplace_back();
    else
      lines.back() += c;
  }
  lines.pop_back();
  return lines;
}

TEST(SessionEndTest, TheWindowsAreAskedUntilTheyAgreeOrTheTimeIsUpThenEnded) {
  testing::TempDir temp;
  ::setenv("TARVEX_RUNTIME_DIR", (temp.path() + "/run").c_str(), 1);
  struct Case {
    int signal;
    const char* refusals;
    int queries;
  };
  const Case cases[] = {
      {SIGTERM, "0", 1},
      {SIGHUP, "2", 3},
      {SIGINT, "0", 1},
      {SIGTERM, "1000000", 0},  // refuses for ever: ended when the time is up
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusals);
    ProcessPipes pipes;
    pipes.fromOutput = true;
    int pid = -1;
    ASSERT_EQ(StartProcess({SESSION_HELPER, c.refusals}, &pid, pipes), 0u);
    std::string ready;
    char ch;
    while (::read(pipes.output, &ch, 1) == 1 && ch != '\n') ready += ch;
    ASSERT_EQ(ready, "ready");
    ::kill(pid, c.signal);
    std::vector<std::string> lines = Lines(pipes.output);
    ::close(pipes.output);
    EXPECT_EQ(WaitForProcess(pid), 0);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2], "end 1");
    EXPECT_EQ(lines.back(), "quit");
    const size_t queries = lines.size() - 2;
    for (size_t i = 0; i < queries; ++i) EXPECT_EQ(lines[i], "query") << i;
    if (c.queries)
      EXPECT_EQ(queries, static_cast<size_t>(c.queries));
    else
      EXPECT_GT(queries, 3u) << "asked again and again until the time was up";
  }
}

}  // namespace
}  // namespace tarvex
