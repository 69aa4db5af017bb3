#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/core/KestroveLogger.h"
#include "app/tabs/KestroveKeychain.h"
#include "platform/clock/Clock.h"
#include "platform/mac/Keychain.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct KeychainFixture : ::testing::Test {
  KeychainFixture() { logger.setLogLevel("debug"); }
  std::string Log() { return testing::ReadAll(logger.path()); }

  testing::TempDir home;
  FakeClock clock{0};
  KestroveLogger logger{home / "log.txt", [](const std::string&) {}, &clock};
  mac::Keychain store{home / "Library/Keychains/k.json"};
  KestroveKeychain keychain{store, logger};
};

// Adding without replacing keeps the first password, replacing changes it,
// and replacing it by the same password writes nothing.
TEST_F(KeychainFixture, AddReadAndReplace) {
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "zoe"), std::nullopt);
  EXPECT_TRUE(keychain.addGenericPassword("pässword1", "Tarvex", "zoe", false));
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "zoe"), "pässword1");
  EXPECT_TRUE(keychain.addGenericPassword("pässword2", "Tarvex", "zoe", false));
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "zoe"), "pässword1") << "NO keeps the old one";
  EXPECT_TRUE(keychain.addGenericPassword("pässword2", "Tarvex", "zoe", true));
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "zoe"), "pässword2") << "YES replaces it";
  const ino_t before = InodeOf(store.path());
  EXPECT_TRUE(keychain.addGenericPassword("pässword2", "Tarvex", "zoe", true));
  EXPECT_EQ(InodeOf(store.path()), before) << "the same password is not written again";
  EXPECT_TRUE(keychain.addGenericPassword("other", "Tarvex", "yann", true));
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "yann"), "other");
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "zoe"), "pässword2");
  EXPECT_THAT(Log(), Not(HasSubstr("pässword")));
}

// A password that is no UTF-8 text reads as none; a keychain that cannot be
// read or written is an error line naming the item but not the password.
TEST_F(KeychainFixture, FailuresAreLoggedWithoutThePassword) {
  ASSERT_EQ(store.Add("Tarvex", "raw", "\xff\xfe").status, mac::Keychain::Status::Ok);
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "raw"), std::nullopt);
  EXPECT_THAT(Log(), HasSubstr("Error: KestroveKeychain: the password kept for Tarvex (raw) is no UTF-8 text"));

  testing::WriteAll(store.path(), "{broken");
  EXPECT_FALSE(keychain.addGenericPassword("hunter2", "Tarvex", "zoe", true));
  EXPECT_FALSE(keychain.addGenericPassword("hunter2", "Tarvex", "zoe", false));
  EXPECT_EQ(keychain.passwordForGenericService("Tarvex", "zoe"), std::nullopt);
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("Error: KestroveKeychain: the password for Tarvex (zoe) was not kept: The keychain file"));
  EXPECT_THAT(log, HasSubstr("Error: KestroveKeychain: no password read for Tarvex (zoe)"));
  EXPECT_THAT(log, Not(HasSubstr("hunter2")));
  EXPECT_EQ(testing::ReadAll(store.path()), "{broken");
}

}  // namespace
}  // namespace tarvex
