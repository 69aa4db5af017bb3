// The crash-report program's rules that need no process: which command
// line names a dump it may take, the report's id, the collector's address
// and the settings copy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "crashreport/CrashReport.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/UserInteraction.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/http/HttpTransport.h"
#include "platform/registry/Registry.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

TEST(CrashReportTest, OnlyARegularDumpDirectlyInTheTemporaryFolderIsTaken) {
  testing::TempDir dir;
  const std::string temp = dir / "tmp/";
  fs::create_directories(temp + "inner");
  for (const char* name : {"1234abcd-5678.dmp", "UPPER.DMP", "with space.dmp", "inner/deep.dmp",
                           "report.txt", ".dmp", "dump.dmp.txt"})
    testing::WriteAll(temp + name, "MDMP");
  testing::WriteAll(dir / "elsewhere.dmp", "MDMP");
  fs::create_directory_symlink(temp, dir / "alias");
  fs::create_symlink(dir / "elsewhere.dmp", temp + "link.dmp");
  fs::create_directory(temp + "folder.dmp");
  const std::string dump = temp + "1234abcd-5678.dmp";

  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{dump}, dump},
      {{temp + "UPPER.DMP"}, temp + "UPPER.DMP"},
      {{"  \"" + dump + "\" \n"}, dump},
      // The client's one argument, or a command line split at its spaces.
      {{temp + "with space.dmp"}, temp + "with space.dmp"},
      {{temp + "with", "space.dmp"}, temp + "with space.dmp"},
      // Through another name of the same folder, it is still that folder.
      {{dir / "alias/1234abcd-5678.dmp"}, dir / "alias/1234abcd-5678.dmp"},
      {{}, ""},
      {{""}, ""},
      {{"\"\""}, ""},
      {{temp + "report.txt"}, ""},
      {{temp + "dump.dmp.txt"}, ""},
      {{temp + ".dmp"}, ""},
      {{temp + "missing.dmp"}, ""},
      {{temp + "inner/deep.dmp"}, ""},
      {{temp + "inner/../1234abcd-5678.dmp"}, temp + "inner/../1234abcd-5678.dmp"},
      {{dir / "elsewhere.dmp"}, ""},
      {{temp + "link.dmp"}, ""},
      {{temp + "folder.dmp"}, ""},
      {{"1234abcd-5678.dmp"}, ""},
      {{"-RegServer"}, ""},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(AcceptedDumpPath(c.args, temp), c.expected) << shown;
  }
  EXPECT_EQ(AcceptedDumpPath({dump}, ""), "") << "no temporary folder, no dump";
}

TEST(CrashReportTest, TheReportIdIsTheDumpsNameWithoutItsSuffix) {
  const std::pair<const char*, const char*> cases[] = {
      {"/t/1234abcd-5678.dmp", "1234abcd-5678"},
      {"/t/UPPER.DMP", "UPPER"},
      {"/t/a.b.dmp", "a.b"},
      {"/t/abc", "abc"},
      {"/t/ab", "ab"},
      {"/t/report.zip", "report.zip"},
      {"plain.dmp", "plain"},
  };
  for (const auto& [path, id] : cases) EXPECT_EQ(ReportId(path), id) << path;
}

TEST(CrashReportTest, TheCollectorsAddressFollowsTheServerRootAndTheEncryption) {
  struct Case {
    const char* root;
    const char* encryption;
    const char* url;
  };
  const Case cases[] = {
      {"tarvex.com", "Encrypt All", "https://crashes.tarvex.com/breakpad/ie/upload"},
      {"tarvex.com", "Login Only", "https://crashes.tarvex.com/breakpad/ie/upload"},
      {"tarvex.com", "", "https://crashes.tarvex.com/breakpad/ie/upload"},
      {"tarvex.com", "no encryption", "https://crashes.tarvex.com/breakpad/ie/upload"},
      {"tarvex.com", "No Encryption", "http://crashes.tarvex.com/breakpad/ie/upload"},
      {"localhost:8080", "No Encryption", "http://crashes.localhost:8080/breakpad/ie/upload"},
      {"127.0.0.1:8080", "No Encryption", "http://127.0.0.1:8080/breakpad/ie/upload"},
      {"[::1]:8080", "Encrypt All", "https://[::1]:8080/breakpad/ie/upload"},
      {"10.0.0.7", "Encrypt All", "https://10.0.0.7/breakpad/ie/upload"},
      {"123.example", "Encrypt All", "https://crashes.123.example/breakpad/ie/upload"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CrashUploadUrl(c.root, c.encryption), c.url) << c.root << " " << c.encryption;
}

TEST(CrashReportTest, TheSettingsCopyListsEveryReadableValueInOrderWithoutSecrets) {
  testing::TempDir dir;
  Registry registry(dir / "registry");
  const auto key = kSettingsKey;
  const std::string tooLong(600, 'x');  // 1202 bytes as the registry holds it
  const std::pair<const char*, std::string> values[] = {
      {"loglevel", "2"},
      {"autosync", "true"},
      {"machinename", tooLong},
      {"computername", "Bürocomputer"},
      {"Password", "hunter2"},
      {"authToken", "abc"},
      {"proxycredentials", "user:pw"},
      {"clientSecret", "s"},
      {"oldpasswd", "p"},
      {"serverroot", "tarvex.com"},
  };
  for (const auto& [name, data] : values)
    ASSERT_EQ(registry.WriteString(Hive::CurrentUser, key, name, data), 0u) << name;
  ASSERT_EQ(registry.WriteValue(Hive::CurrentUser, key, "serpdecoratecount", REG_DWORD,
                                std::string("\x03\x00\x00\x00", 4)),
            0u);
  ASSERT_EQ(registry.WriteString(Hive::CurrentUser, key, std::string(300, 'n'), "long name"), 0u);
  ASSERT_EQ(registry.WriteString(Hive::CurrentUser, key, "last", "after the long ones"), 0u);

  EXPECT_EQ(SettingsText(registry),
            "loglevel = 2\r\n"
            "autosync = true\r\n"
            "computername = Bürocomputer\r\n"
            "Password = <redacted>\r\n"
            "authToken = <redacted>\r\n"
            "proxycredentials = <redacted>\r\n"
            "clientSecret = <redacted>\r\n"
            "oldpasswd = <redacted>\r\n"
            "serverroot = tarvex.com\r\n"
            "serpdecoratecount = 3\r\n"
            "last = after the long ones\r\n");

  Registry empty(dir / "empty");
  EXPECT_EQ(SettingsText(empty), "");
}

TEST(CrashReportTest, TheSettingsCopyIsAPrivateFileOfTheTemporaryFolder) {
  testing::TempDir dir;
  Registry registry(dir / "registry");
  ASSERT_EQ(registry.WriteString(Hive::CurrentUser, kSettingsKey, "loglevel", "2"), 0u);
  CurlTransport transport;
  FakeClock clock;
  CrashReportContext context{registry,
                             FileSystem::Native(),
                             UserInteraction::Process(),
                             transport,
                             clock,
                             dir.path() + "/",
                             "",
                             ""};
  const std::string copy = DumpSettingsToFile(context);
  ASSERT_EQ(copy.rfind(dir.path() + "/KVReg", 0), 0u) << copy;
  struct stat info {};
  ASSERT_EQ(::lstat(copy.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(testing::ReadAll(copy), "loglevel = 2\r\n");
  EXPECT_NE(DumpSettingsToFile(context), copy) << "each copy is a new file";

  context.tempDir = dir / "missing/";
  EXPECT_EQ(DumpSettingsToFile(context), "");
}

}  // namespace
}  // namespace tarvex
