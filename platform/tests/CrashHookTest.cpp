// The crash hook in a program that crashes: its dump is written whole,
// private to the user, and the report program gets exactly its path; the
// program still ends by its signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/process/Process.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "platform/win/CrashHook.h"

namespace tarvex {
namespace {

TEST(CrashHookTest, ACrashLeavesItsDumpAndTheReportProgramGetsItsPath) {
  struct Case {
    const char* how;
    int signal;
  };
  const Case cases[] = {{"segv", SIGSEGV}, {"abort", SIGABRT}, {"terminate", SIGABRT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    testing::TempDir temp;
    const std::string dumps = temp.path() + "/dumps with spaces";
    std::filesystem::create_directories(dumps);
    ProcessPipes pipes;
    pipes.fromOutput = true;
    int pid = -1;
    ASSERT_EQ(StartProcess({CRASH_HELPER, dumps, REPORT_RECEIVER, c.how}, &pid, pipes), 0u);
    std::string path, page;
    char ch;
    while (::read(pipes.output, &ch, 1) == 1 && ch != '\n') path += ch;
    while (::read(pipes.output, &ch, 1) == 1 && ch != '\n') page += ch;
    ::close(pipes.output);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the program ends by its crash";
    EXPECT_EQ(WTERMSIG(status), c.signal);

    ASSERT_EQ(std::filesystem::path(path).parent_path(), dumps);
    EXPECT_EQ(std::filesystem::path(path).extension(), ".dmp");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CrashDump dump;
    std::string error;
    ASSERT_TRUE(ReadCrashDump(testing::ReadAll(path), &dump, &error)) << error;
    EXPECT_EQ(dump.signal, c.signal);
    EXPECT_EQ(dump.pid, pid);
    if (c.signal == SIGSEGV) {
      EXPECT_EQ(dump.address, std::stoull(page, nullptr, 16)) << "the address read";
    }
#if defined(__x86_64__)
    EXPECT_TRUE(dump.registers.count("rip"));
    EXPECT_EQ(dump.stackAddress, dump.registers["rsp"]);
    EXPECT_GT(dump.stack.size(), 0u);
#endif

    // The report program runs on after the crash; it is given a moment.
    const std::string received = path + ".received";
    for (int i = 0; i < 200 && !std::filesystem::exists(received); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(testing::ReadAll(received), path + "\n") << "exactly the path, as one argument";
  }
}

TEST(CrashHookTest, NoDumpWrittenMeansNoReportProgram) {
  testing::TempDir temp;
  ProcessPipes pipes;
  pipes.fromOutput = true;
  int pid = -1;
  ASSERT_EQ(StartProcess({CRASH_HELPER, temp.path(), REPORT_RECEIVER, "taken"}, &pid, pipes), 0u);
  // The report program would inherit the output: its end means nobody
  // holds it any more.
  std::string out;
  char ch;
  while (::read(pipes.output, &ch, 1) == 1) out += ch;
  ::close(pipes.output);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  const std::string path = out.substr(0, out.find('\n'));
  EXPECT_EQ(testing::ReadAll(path), "") << "the file in the way was left as it was";
  EXPECT_FALSE(std::filesystem::exists(path + ".received")) << "no report program";
}

TEST(CrashHookTest, ADumpIsReadOnlyWhenItIsOneOfOurs) {
  CrashDump dump;
  std::string error;
  EXPECT_FALSE(ReadCrashDump("MDMP\x93\xa7", &dump, &error));
  EXPECT_NE(error.find("not a crash dump"), std::string::npos);
  EXPECT_FALSE(
      ReadCrashDump("TARVEX-CRASH-DUMP 1\nsignal 11\nstack 0x10 50\nshort", &dump, &error));
  EXPECT_NE(error.find("cut short"), std::string::npos);
  ASSERT_TRUE(
      ReadCrashDump("TARVEX-CRASH-DUMP 1\nsignal 11\ncode 1\naddress 0x0\npid 7\n"
                    "register rip 0x401000\nstack 0x7ffc0000 3\nabc",
                    &dump, &error))
      << error;
  EXPECT_EQ(dump.registers["rip"], 0x401000u);
  EXPECT_EQ(dump.stack, "abc");
}

}  // namespace
}  // namespace tarvex
