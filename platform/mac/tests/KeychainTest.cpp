#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "platform/mac/Keychain.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex::mac {
namespace {

using Status = Keychain::Status;
using ::testing::HasSubstr;
using ::testing::Not;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Add, find and modify, with passwords that are bytes rather than text.
TEST(MacKeychain, KeepsOnePasswordPerServiceAndAccount) {
  testing::TempDir dir;
  Keychain keychain(dir / "Keychains/passwords.json");
  const std::string bytes("p\0ss\xff\xfe word", 12);
  struct Step {
    const char* op;  // "add", "find", "modify"
    const char* service;
    const char* account;
    std::string password;
    Status status;
    std::optional<std::string> found;
  } steps[] = {
      {"find", "Tarvex", "zoe", "", Status::NotFound, std::nullopt},
      {"modify", "Tarvex", "zoe", "x", Status::NotFound, std::nullopt},
      {"add", "Tarvex", "zoe", "first", Status::Ok, std::nullopt},
      {"find", "Tarvex", "zoe", "", Status::Ok, "first"},
      {"add", "Tarvex", "zoe", "second", Status::Duplicate, std::nullopt},
      {"find", "Tarvex", "zoe", "", Status::Ok, "first"},
      {"find", "Tarvex", "Zoe", "", Status::NotFound, std::nullopt},
      {"find", "tarvex", "zoe", "", Status::NotFound, std::nullopt},
      {"add", "Tarvex", "Zoë", bytes, Status::Ok, std::nullopt},
      {"add", "Other", "zoe", "", Status::Ok, std::nullopt},
      {"modify", "Tarvex", "zoe", "third", Status::Ok, std::nullopt},
      {"find", "Tarvex", "zoe", "", Status::Ok, "third"},
      {"find", "Tarvex", "Zoë", "", Status::Ok, bytes},
      {"find", "Other", "zoe", "", Status::Ok, ""},
  };
  int i = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(Format("step %d: %s %s/%s", i++, s.op, s.service, s.account));
    const std::string op = s.op;
    auto r = op == "add"      ? keychain.Add(s.service, s.account, s.password)
             : op == "modify" ? keychain.Modify(s.service, s.account, s.password)
                              : keychain.Find(s.service, s.account);
    EXPECT_EQ(r.status, s.status) << r.error;
    EXPECT_EQ(r.password, s.found);
  }
  // Another object on the same file sees the same items.
  EXPECT_EQ(Keychain(keychain.path()).Find("Tarvex", "zoe").password, "third");
}

// The file is the user's alone, in a private folder outside the agent's
// support folder, and one found open to others is narrowed before use.
TEST(MacKeychain, TheFileIsPrivateAndOutsideTheSupportFolder) {
  testing::TempDir dir;
  testing::ScopedEnv env;
  env.Set("HOME", dir.path().c_str());
  Keychain keychain;
  EXPECT_EQ(keychain.path(), dir / "Library/Keychains/tarvex-generic-passwords.json");
  EXPECT_THAT(keychain.path(), Not(HasSubstr("/Library/Tarvex/")));
  ASSERT_EQ(keychain.Add("Tarvex", "zoe", "secret").status, Status::Ok);
  EXPECT_EQ(ModeOf(keychain.path()), 0600u);
  EXPECT_EQ(ModeOf(dir / "Library/Keychains"), 0700u);
  EXPECT_THAT(testing::ReadAll(keychain.path()), Not(HasSubstr("secret")));

  ASSERT_EQ(::chmod(keychain.path().c_str(), 0644), 0);
  EXPECT_EQ(keychain.Find("Tarvex", "zoe").password, "secret");
  EXPECT_EQ(ModeOf(keychain.path()), 0600u);
  ASSERT_EQ(::chmod(keychain.path().c_str(), 0666), 0);
  EXPECT_EQ(keychain.Modify("Tarvex", "zoe", "other").status, Status::Ok);
  EXPECT_EQ(ModeOf(keychain.path()), 0600u);
}

// A file that cannot be read is reported, naming it, and never written
// over; a write that fails leaves the old file.
TEST(MacKeychain, BrokenFilesAndFailedWritesLoseNothing) {
  for (const char* content : {"not json", "[]", R"({"items": {}})", R"({"items": [{"service": "a"}]})",
                              R"({"items": [{"service": "a", "account": "b", "password_hex": "4"}]})",
                              R"({"items": [{"service": "a", "account": "b", "password_hex": "zz"}]})"}) {
    SCOPED_TRACE(content);
    testing::TempDir dir;
    Keychain keychain(dir / "k.json");
    testing::WriteAll(keychain.path(), content);
    for (auto r : {keychain.Add("s", "a", "hunter2"), keychain.Modify("s", "a", "hunter2"), keychain.Find("s", "a")}) {
      EXPECT_EQ(r.status, Status::Error);
      EXPECT_THAT(r.error, HasSubstr(keychain.path()));
      EXPECT_THAT(r.error, Not(HasSubstr("hunter2")));
    }
    EXPECT_EQ(testing::ReadAll(keychain.path()), content);
  }

  testing::TempDir dir;
  Keychain keychain(dir / "k.json");
  ASSERT_EQ(keychain.Add("s", "a", "old").status, Status::Ok);
  const std::string before = testing::ReadAll(keychain.path());
  {
    testing::FileSizeLimit full(before.size() + 8);
    auto r = keychain.Modify("s", "a", std::string(64, 'n'));
    EXPECT_EQ(r.status, Status::Error);
    EXPECT_THAT(r.error, Not(HasSubstr("nnnn")));
    EXPECT_EQ(keychain.Add("t", "b", "x").status, Status::Error);
  }
  EXPECT_EQ(testing::ReadAll(keychain.path()), before);
  EXPECT_EQ(keychain.Find("s", "a").password, "old");
}

// Two processes adding at the same time: each one's entries survive the
// other's writes, and of two adds of the same item exactly one wins.
TEST(MacKeychain, TwoWritingProcessesLoseNoEntry) {
  testing::TempDir dir;
  const std::string path = dir / "Keychains/k.json";
  constexpr int kEach = 60;
  std::vector<pid_t> children;
  for (int who = 0; who < 2; ++who) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Keychain keychain(path);
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        if (keychain.Add("Tarvex", Format("w%d-%d", who, i), Format("p%d", i)).status != Status::Ok) ++failures;
        // Both race for the same items too; a duplicate is the only other answer.
        const auto shared = keychain.Add("Shared", Format("%d", i), Format("from %d", who)).status;
        if (shared != Status::Ok && shared != Status::Duplicate) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  Keychain keychain(path);
  for (int who = 0; who < 2; ++who)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(keychain.Find("Tarvex", Format("w%d-%d", who, i)).password, Format("p%d", i)) << who << " " << i;
  std::set<std::string> owners;
  for (int i = 0; i < kEach; ++i) {
    auto found = keychain.Find("Shared", Format("%d", i)).password;
    ASSERT_TRUE(found) << i;
    owners.insert(*found);
  }
  EXPECT_EQ(ModeOf(path), 0600u);
  // The file holds each item once.
  const std::string text = testing::ReadAll(path);
  size_t count = 0;
  for (size_t at = 0; (at = text.find("\"service\"", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 3u * kEach);
}

}  // namespace
}  // namespace tarvex::mac
