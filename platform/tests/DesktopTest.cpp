// Opening a page where nobody is at the screen: the address is recorded,
// one line each, and a record that cannot be written is a failure, never a
// success.
#include "platform/ui/Desktop.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Win32Error.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

TEST(DesktopTest, WithARecordEveryOpenedPageIsALineAndAnUnwritableRecordFails) {
  testing::TempDir dir;
  const std::string record = dir / "opened";
  testing::ScopedEnv env;
  env.Set("TARVEX_OPENED_LOG", record.c_str());
  EXPECT_GT(OpenWithDesktop("http://127.0.0.1:9/msie/success/1.3.5"), 32);
  EXPECT_GT(OpenWithDesktop("https://x.example/a b"), 32);
  EXPECT_EQ(testing::ReadAll(record),
            "http://127.0.0.1:9/msie/success/1.3.5\nhttps://x.example/a b\n");

  std::filesystem::create_symlink(record, dir / "link");
  for (const std::string& bad : {dir / "missing/opened", dir / "link"}) {
    env.Set("TARVEX_OPENED_LOG", bad.c_str());
    EXPECT_EQ(OpenWithDesktop("https://x.example/"), static_cast<int>(win32::ERROR_ACCESS_DENIED))
        << bad;
  }
}

}  // namespace
}  // namespace tarvex
