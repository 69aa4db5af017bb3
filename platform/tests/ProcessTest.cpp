#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/process/Process.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

TEST(Process, ArgumentsReachTheProgramUninterpreted) {
  testing::TempDir dir;
  std::string marker = dir / "made by a shell";
  // Were the argument given to a shell, the ";" would run touch.
  int pid = 0;
  ASSERT_EQ(
      StartProcess({"/bin/sh", "-c", "test \"$1\" = 'a b; touch x'", "sh", "a b; touch x"}, &pid),
      0u);
  EXPECT_EQ(WaitForProcess(pid), 0);
  ASSERT_EQ(StartProcess({"echo", "; touch '" + marker + "'"}, &pid), 0u);
  EXPECT_EQ(WaitForProcess(pid), 0);
  EXPECT_FALSE(FileSystem::Native().Exists(marker));
}

TEST(Process, MissingProgramsAreReported) {
  EXPECT_EQ(StartProcess({"tarvex-no-such-program"}), win32::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(StartProcess({"/nonexistent/tarvexsync"}), win32::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(StartProcess({}), win32::ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(IsOnPath("sh"));
  EXPECT_FALSE(IsOnPath("tarvex-no-such-program"));
}

TEST(Process, PipesReachTheProgramsInputAndOutput) {
  ProcessPipes pipes;
  pipes.toInput = pipes.fromOutput = true;
  int pid = 0;
  // The program answers what it read once its input ended, so the output
  // tells that closing our end was its end of file.
  ASSERT_EQ(StartProcess({"/bin/sh", "-c", "read line; cat; echo \"got $line\""}, &pid, pipes), 0u);
  ASSERT_GE(pipes.input, 0);
  ASSERT_GE(pipes.output, 0);
  const std::string sent = "first\nrest\n";
  ASSERT_EQ(write(pipes.input, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  close(pipes.input);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = read(pipes.output, buf, sizeof buf)) > 0;) got.append(buf, n);
  close(pipes.output);
  EXPECT_EQ(got, "rest\ngot first\n");
  EXPECT_EQ(WaitForProcess(pid), 0);

  ProcessPipes none;
  none.toInput = none.fromOutput = true;
  EXPECT_EQ(StartProcess({"/nonexistent/tarvexsync"}, &pid, none), win32::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(none.input, -1);
  EXPECT_EQ(none.output, -1);
}

TEST(Process, OwnPathIsTheRunningProgram) {
  std::string self = SelfExecutablePath();
  EXPECT_NE(self.find("tarvex_platform_tests"), std::string::npos) << self;
}

}  // namespace
}  // namespace tarvex
