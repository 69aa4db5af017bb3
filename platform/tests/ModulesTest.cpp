// Functions looked up at run time: the built-in modules answer in any case
// of their names, and what a system lacks fails with Windows' codes.
#include "platform/win/Modules.h"

#include <gtest/gtest.h>

#include "platform/Win32Error.h"

namespace tarvex {
namespace {

TEST(ModulesTest, TheMessageFilterIsFoundAndWhatIsMissingFailsAsOnWindows) {
  uint32_t error = 0;
  HMODULE user32 = LoadLibrary("User32.dll", &error);
  ASSERT_NE(user32, nullptr);
  EXPECT_EQ(error, 0u);
  auto filter = reinterpret_cast<ChangeWindowMessageFilterFn>(
      GetProcAddress(user32, "ChangeWindowMessageFilter", &error));
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter(1125, 1), 1);
  EXPECT_EQ(filter(1125, 9), 0) << "an action it does not know";
  EXPECT_EQ(GetProcAddress(user32, "ChangeWindowMessageFilterEx", &error), nullptr);
  EXPECT_EQ(error, win32::ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(LoadLibrary("ieframe.dll", &error), nullptr) << "no browser with a protected mode";
  EXPECT_EQ(error, win32::ERROR_MOD_NOT_FOUND);

  SetModuleForTesting("user32.dll", nullptr);
  EXPECT_EQ(LoadLibrary("USER32.DLL", &error), nullptr);
  EXPECT_EQ(error, win32::ERROR_MOD_NOT_FOUND);
  const std::map<std::string, ProcAddress> none;
  SetModuleForTesting("user32.dll", &none);
  EXPECT_EQ(GetProcAddress(LoadLibrary("user32.dll"), "ChangeWindowMessageFilter", &error),
            nullptr);
  ResetModulesForTesting();
  EXPECT_NE(GetProcAddress(LoadLibrary("user32.dll"), "changewindowmessagefilter"), nullptr);
}

}  // namespace
}  // namespace tarvex
