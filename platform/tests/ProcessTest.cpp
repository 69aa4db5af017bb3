#include <gtest/gtest.h>

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

TEST(Process, OwnPathIsTheRunningProgram) {
  std::string self = SelfExecutablePath();
  EXPECT_NE(self.find("tarvex_platform_tests"), std::string::npos) << self;
}

}  // namespace
}  // namespace tarvex
