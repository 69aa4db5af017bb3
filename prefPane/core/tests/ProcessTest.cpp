// The runner against real processes: the helper program started through
// links named like the agent, with this test program's id in the name so
// that no other test's or person's agent is ever found or signalled. Waits
// are bounded polls of the process table.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "prefPane/core/PaneScripts.h"
#include "prefPane/core/ProcessTable.h"

namespace tarvex::pane {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

// Longer than the kernel's 15-character short name, like the agent's own.
std::string TestAgentName() { return std::string(kAgentName) + " " + std::to_string(::getpid()); }

struct AgentFixture {
  TempDir dir;
  std::string name = TestAgentName();
  std::string program = dir / name;
  PaneScriptRunner runner{[this] {
    fs::create_symlink(PANE_SLEEPER_HELPER, program);
    PaneScriptEnvironment env;
    env.home = dir.path();
    env.agentProgram = program;
    env.agentName = name;
    env.uid = ::getuid();
    env.waitLimitMs = 5000;
    env.pollMs = 20;
    return env;
  }()};
  std::vector<pid_t> Agents() const { return FindProcesses(name, ::getuid()); }
  ~AgentFixture() { SignalProcesses(name, ::getuid(), SIGKILL); }
};

bool IsRunning(PaneScriptRunner& runner) { return runner.Run(kScriptIsRunning).result.stringValue() == "true"; }

TEST(PaneProcesses, StartWaitsUntilVisibleAndQuitEndsIt) {
  AgentFixture f;
  ASSERT_TRUE(f.Agents().empty()) << "a process of this name already runs";
  EXPECT_FALSE(IsRunning(f.runner));
  ASSERT_TRUE(f.runner.Run(kScriptPath).ok);

  ScriptResult started = f.runner.Run(kScriptStart);
  ASSERT_TRUE(started.ok) << started.error;
  std::vector<pid_t> agents = f.Agents();
  ASSERT_EQ(agents.size(), 1u);  // visible as soon as start answers
  EXPECT_TRUE(IsRunning(f.runner));
  EXPECT_NE(::getsid(agents[0]), ::getsid(0));  // a session of its own
  ASSERT_TRUE(f.runner.Run(kScriptStart).ok);
  EXPECT_EQ(f.Agents(), agents);  // a running agent is not started twice

  ScriptResult quit = f.runner.Run(kScriptStop);
  ASSERT_TRUE(quit.ok) << quit.error;
  EXPECT_TRUE(f.Agents().empty());
  EXPECT_FALSE(IsRunning(f.runner));
}

TEST(PaneProcesses, AnAgentThatIgnoresQuitIsForceQuit) {
  AgentFixture f;
  ::setenv("PANE_SLEEPER_IGNORE_TERM", "1", 1);
  ScriptResult started = f.runner.Run(kScriptStart);
  ::unsetenv("PANE_SLEEPER_IGNORE_TERM");
  ASSERT_TRUE(started.ok) << started.error;

  PaneScriptEnvironment env = f.runner.environment();
  env.waitLimitMs = 200;  // the quit's bounded wait runs out
  PaneScriptRunner impatient(env);
  EXPECT_FALSE(impatient.Run(kScriptStop).ok);
  EXPECT_TRUE(IsRunning(impatient));
  ScriptResult killed = f.runner.Run(kScriptForceQuit);
  ASSERT_TRUE(killed.ok) << killed.error;
  EXPECT_FALSE(IsRunning(f.runner));
}

TEST(PaneProcesses, OnlyTheExactNameOfOurOwnUserIsFound) {
  AgentFixture f;
  // Similar names, the kernel's 15-character cut of the name among them.
  std::vector<pid_t> others;
  const std::vector<std::string> similar = {f.name.substr(0, 15), f.name + "2", "tarvex" + f.name.substr(6)};
  for (const std::string& name : similar) {
    std::string link = f.dir / name;
    fs::create_symlink(PANE_SLEEPER_HELPER, link);
    ASSERT_EQ(StartDetached(link), "");
  }
  ASSERT_EQ(StartDetached(f.program), "");
  std::vector<pid_t> found;
  for (int i = 0; i < 250 && found.empty(); ++i) {
    found = f.Agents();
    if (found.empty()) ::usleep(20000);
  }
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(FindProcesses(f.name, ::getuid() + 1).empty());  // another user's view
  EXPECT_EQ(SignalProcesses(f.name, ::getuid() + 1, SIGKILL), 0);
  EXPECT_EQ(f.Agents(), found);
  for (const std::string& name : similar) EXPECT_EQ(SignalProcesses(name, ::getuid(), SIGKILL), 1) << name;
}

TEST(PaneProcesses, ATableWithoutArgumentsOrWithEndedProcesses) {
  TempDir proc;
  struct Entry {
    const char* pid;
    std::string cmdline;
    const char* exe;  // nullptr: no link
    const char* stat;
  };
  const std::vector<Entry> entries = {
      {"101", std::string("/Apps/Tarvex for Safari.app/Contents/MacOS/Tarvex for Safari\0-q\0", 65), nullptr,
       "101 (Tarvex for Safa) S 1"},
      {"102", "", "/Apps/Tarvex for Safari", "102 (Tarvex for Safa) S 1"},      // arguments cleared
      {"103", "", "/Apps/Tarvex for Safari", "103 (Tarvex for Safa) Z 1"},      // ended, not reaped
      {"104", std::string("Tarvex for Safari\0", 18), nullptr, "104 (a) Z) R 1"},  // ") " in the name
      {"105", "", nullptr, "105 (Tarvex for Safa) S 1"},                        // nothing to tell
      {"self", std::string("Tarvex for Safari\0", 18), nullptr, "1 (x) S 1"},   // not a process id
  };
  for (const Entry& e : entries) {
    fs::create_directories(proc / e.pid);
    testing::WriteAll(proc / (std::string(e.pid) + "/cmdline"), e.cmdline);
    testing::WriteAll(proc / (std::string(e.pid) + "/stat"), e.stat);
    if (e.exe) fs::create_symlink(e.exe, proc / (std::string(e.pid) + "/exe"));
  }
  EXPECT_EQ(FindProcesses(kAgentName, ::getuid(), proc.path()), (std::vector<pid_t>{101, 102, 104}));
}

}  // namespace
}  // namespace tarvex::pane
