#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/registry/Registry.h"

extern char** environ;

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using namespace tarvex::win32;

constexpr Hive HKCU = Hive::CurrentUser;
constexpr Hive HKLM = Hive::LocalMachine;
constexpr const char* kSettings = "Software\\Tarvex\\IEToolbar\\Settings";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "tarvex_registry_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string Names(const std::vector<Registry::Value>& values) {
    std::string out;
    for (const auto& v : values) out += (out.empty() ? "" : ",") + v.name;
    return out;
  }
  static std::string Join(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ",") + n;
    return out;
  }

  std::string dir_;
};

TEST_F(RegistryTest, MissingKeyAndValueGiveFileNotFound) {
  Registry reg(dir_);
  std::string text;
  Registry::Value value;
  std::vector<Registry::Value> values;
  std::vector<std::string> keys;

  // Nothing stored yet: reads fail cleanly and create nothing.
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "Missing", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.KeyExists(HKCU, kSettings), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumValues(HKCU, kSettings, &values), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.DeleteValue(HKCU, kSettings, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.DeleteTree(HKCU, kSettings), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(Path("hkcu.sqlite")));

  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "Present", "x"), 0u);
  EXPECT_TRUE(fs::exists(Path("hkcu.sqlite")));
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "Missing", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.ReadValue(HKCU, kSettings, "Missing", 1000, &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.ReadString(HKCU, "Software\\Other", "Present", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Other"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumValues(HKCU, "Software\\Other", &values), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumSubkeys(HKCU, "Software\\Other", &keys), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumValue(HKCU, "Software\\Other", 0, 255, 1000, &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.DeleteValue(HKCU, kSettings, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.DeleteTree(HKCU, "Software\\Other"), ERROR_FILE_NOT_FOUND);

  // A key without values exists; a key only reachable through a value name
  // ("Settings\\Present" is not a key) does not.
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex"), 0u);
  EXPECT_EQ(reg.KeyExists(HKCU, std::string(kSettings) + "\\Present"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumValues(HKCU, "Software\\Tarvex", &values), 0u);
  EXPECT_TRUE(values.empty());
}

TEST_F(RegistryTest, ValuesAreStoredAsTheRawBytesOfTheRealRegistry) {
  Registry reg(dir_);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "Text", "ab"), 0u);
  ASSERT_EQ(reg.WriteValue(HKCU, kSettings, "Number", REG_DWORD, std::string("\x2a\x01\0\0", 4)),
            0u);
  ASSERT_EQ(reg.WriteValue(HKCU, kSettings, "Blob", REG_BINARY, std::string("\0\xff\0", 3)), 0u);
  ASSERT_EQ(reg.WriteValue(HKCU, kSettings, "Empty", REG_BINARY, ""), 0u);

  Registry::Value v;
  ASSERT_EQ(reg.ReadValue(HKCU, kSettings, "Text", 1000, &v), 0u);
  EXPECT_EQ(v.type, REG_SZ);
  EXPECT_EQ(v.data, std::string("a\0b\0\0\0", 6));
  ASSERT_EQ(reg.ReadValue(HKCU, kSettings, "Number", 4, &v), 0u);
  EXPECT_EQ(v.type, REG_DWORD);
  EXPECT_EQ(v.data, std::string("\x2a\x01\0\0", 4));
  ASSERT_EQ(reg.ReadValue(HKCU, kSettings, "Blob", 1000, &v), 0u);
  EXPECT_EQ(v.type, REG_BINARY);
  EXPECT_EQ(v.data, std::string("\0\xff\0", 3));
  ASSERT_EQ(reg.ReadValue(HKCU, kSettings, "Empty", 0, &v), 0u);
  EXPECT_EQ(v.name, "Empty");
  EXPECT_EQ(v.data, "");

  // ReadString: REG_DWORD as decimal text, other types refused.
  std::string text;
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "Number", &text), 0u);
  EXPECT_EQ(text, "298");
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "Blob", &text), ERROR_INVALID_DATA);
  ASSERT_EQ(reg.WriteValue(HKCU, kSettings, "Big", REG_DWORD, "\xff\xff\xff\xff"), 0u);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "Big", &text), 0u);
  EXPECT_EQ(text, "4294967295");

  // A REG_SZ written by someone else without its NUL, or with text after it.
  ASSERT_EQ(reg.WriteValue(HKCU, kSettings, "NoNul", REG_SZ, std::string("h\0i\0", 4)), 0u);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "NoNul", &text), 0u);
  EXPECT_EQ(text, "hi");
  ASSERT_EQ(reg.WriteValue(HKCU, kSettings, "Tail", REG_SZ, std::string("h\0\0\0x\0\0\0", 8)), 0u);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "Tail", &text), 0u);
  EXPECT_EQ(text, "h");
}

TEST_F(RegistryTest, EncodeAndDecodeString) {
  EXPECT_EQ(Registry::EncodeString(""), std::string("\0\0", 2));
  EXPECT_EQ(Registry::EncodeString("ab"), std::string("a\0b\0\0\0", 6));
  EXPECT_EQ(Registry::EncodeString("\xc3\xa9"), std::string("\xe9\0\0\0", 4));  // é
  EXPECT_EQ(Registry::DecodeString(std::string("a\0b\0\0\0c\0", 8)), "ab");
  EXPECT_EQ(Registry::DecodeString(std::string("a\0b\0", 4)), "ab");
  EXPECT_EQ(Registry::DecodeString(std::string("a\0b", 3)), "a");  // odd byte ignored
  EXPECT_EQ(Registry::DecodeString(""), "");
  EXPECT_EQ(Registry::DecodeString(std::string("\0\0a\0", 4)), "");
}

TEST_F(RegistryTest, DataLargerThanTheBufferGivesMoreData) {
  Registry reg(dir_);
  const std::string fits(499, 'x');     // 998 bytes + NUL = 1000
  const std::string tooLong(500, 'y');  // 1000 bytes + NUL = 1002
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "Fits", fits), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "TooLong", tooLong), 0u);

  std::string text = "unchanged";
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "Fits", &text), 0u);
  EXPECT_EQ(text, fits);
  text = "unchanged";
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "TooLong", &text), ERROR_MORE_DATA);
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "TooLong", &text, 1002), 0u);
  EXPECT_EQ(text, tooLong);

  Registry::Value v;
  EXPECT_EQ(reg.ReadValue(HKCU, kSettings, "TooLong", 1001, &v), ERROR_MORE_DATA);
  ASSERT_EQ(reg.ReadValue(HKCU, kSettings, "TooLong", 1002, &v), 0u);
  EXPECT_EQ(v.data.size(), 1002u);
}

TEST_F(RegistryTest, KeyAndValueNamesAreCaseInsensitive) {
  Registry reg(dir_);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "ShowToolbar", "1"), 0u);
  std::string text;
  EXPECT_EQ(reg.ReadString(HKCU, "SOFTWARE\\tarvex\\ietoolbar\\SETTINGS", "showtoolbar", &text),
            0u);
  EXPECT_EQ(text, "1");
  EXPECT_EQ(reg.KeyExists(HKCU, "software\\TARVEX"), 0u);

  // Rewriting under another case updates the one value (keeping its name).
  ASSERT_EQ(reg.WriteString(HKCU, "software\\tarvex\\ietoolbar\\settings", "SHOWTOOLBAR", "0"), 0u);
  std::vector<Registry::Value> values;
  ASSERT_EQ(reg.EnumValues(HKCU, kSettings, &values), 0u);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "ShowToolbar");
  EXPECT_EQ(Registry::DecodeString(values[0].data), "0");

  EXPECT_EQ(reg.DeleteValue(HKCU, kSettings, "showTOOLBAR"), 0u);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "ShowToolbar", &text), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeyPathsAreNormalisedAndParentsCreated) {
  Registry reg(dir_);
  ASSERT_EQ(reg.CreateKey(HKCU, "\\Software\\\\Tarvex\\IEToolbar\\"), 0u);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software"), 0u);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex"), 0u);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex\\IEToolbar"), 0u);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex\\IEToolbar\\\\"), 0u);
  EXPECT_EQ(reg.CreateKey(HKCU, "Software\\Tarvex\\IEToolbar"), 0u);  // already there

  // "/" is an ordinary character.
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\a/b", "v", "1"), 0u);
  std::vector<std::string> keys;
  ASSERT_EQ(reg.EnumSubkeys(HKCU, "Software", &keys), 0u);
  EXPECT_EQ(Join(keys), "Tarvex,a/b");
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\a"), ERROR_FILE_NOT_FOUND);

  // Subkeys come in creation order; only direct children.
  ASSERT_EQ(reg.CreateKey(HKCU, "Software\\Tarvex\\Zeta"), 0u);
  ASSERT_EQ(reg.CreateKey(HKCU, "Software\\Tarvex\\Alpha\\Deep"), 0u);
  ASSERT_EQ(reg.EnumSubkeys(HKCU, "software\\tarvex", &keys), 0u);
  EXPECT_EQ(Join(keys), "IEToolbar,Zeta,Alpha");
  ASSERT_EQ(reg.EnumSubkeys(HKCU, "", &keys), 0u);
  EXPECT_EQ(Join(keys), "Software");

  // The default value "" is allowed.
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Tarvex", "", "default"), 0u);
  std::string text;
  EXPECT_EQ(reg.ReadString(HKCU, "Software\\Tarvex", "", &text), 0u);
  EXPECT_EQ(text, "default");
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrderAcrossUpdates) {
  Registry reg(dir_);
  for (const char* name : {"c", "a", "b"})
    ASSERT_EQ(reg.WriteString(HKCU, kSettings, name, name), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "A", "rewritten"), 0u);

  Registry::Value v;
  std::vector<std::string> seen;
  uint32_t index = 0;
  for (;; ++index) {
    uint32_t rc = reg.EnumValue(HKCU, kSettings, index, 255, 1000, &v);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, 0u);
    seen.push_back(v.name);
  }
  EXPECT_EQ(index, 3u);
  EXPECT_EQ(Join(seen), "c,a,b");
  EXPECT_EQ(reg.EnumValue(HKCU, kSettings, 1, 255, 1000, &v), 0u);
  EXPECT_EQ(Registry::DecodeString(v.data), "rewritten");
  EXPECT_EQ(reg.EnumValue(HKCU, kSettings, 99, 255, 1000, &v), ERROR_NO_MORE_ITEMS);

  std::vector<Registry::Value> values;
  ASSERT_EQ(reg.EnumValues(HKCU, kSettings, &values), 0u);
  EXPECT_EQ(Names(values), "c,a,b");

  ASSERT_EQ(reg.DeleteValue(HKCU, kSettings, "a"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "d", "d"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "a", "again"), 0u);
  ASSERT_EQ(reg.EnumValues(HKCU, kSettings, &values), 0u);
  EXPECT_EQ(Names(values), "c,b,d,a");

  // A key without values enumerates nothing.
  ASSERT_EQ(reg.CreateKey(HKCU, "Software\\Empty"), 0u);
  EXPECT_EQ(reg.EnumValue(HKCU, "Software\\Empty", 0, 255, 1000, &v), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, EnumValueReportsOversizedValuesSoCallersSkipThem) {
  Registry reg(dir_);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "first", "1"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "huge", std::string(700, 'h')), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, std::string(40, 'n'), "long name"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "last", "4"), 0u);

  std::vector<std::string> got;
  Registry::Value v;
  for (uint32_t index = 0;; ++index) {
    uint32_t rc = reg.EnumValue(HKCU, kSettings, index, 32, 1000, &v);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) {
      got.push_back("<skipped>");
      continue;
    }
    ASSERT_EQ(rc, 0u);
    got.push_back(v.name);
  }
  EXPECT_EQ(Join(got), "first,<skipped>,<skipped>,last");

  // The name limit counts UTF-16 units: "😀" is two of them.
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Names", "\xf0\x9f\x98\x80", "x"), 0u);
  EXPECT_EQ(reg.EnumValue(HKCU, "Software\\Names", 0, 1, 1000, &v), ERROR_MORE_DATA);
  EXPECT_EQ(reg.EnumValue(HKCU, "Software\\Names", 0, 2, 1000, &v), 0u);
  EXPECT_EQ(v.name, "\xf0\x9f\x98\x80");
}

TEST_F(RegistryTest, DeleteTreeRemovesTheKeyItsSubkeysAndValues) {
  Registry reg(dir_);
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Tarvex", "keep", "1"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Tarvex\\Box", "v", "1"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Tarvex\\Box\\Inner", "v", "2"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Tarvex\\Box\\Inner\\Deeper", "v", "3"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Tarvex\\Boxes", "v", "sibling"), 0u);
  ASSERT_EQ(reg.WriteString(HKCU, "Software\\Tarvex\\Box_", "v", "sibling"), 0u);

  // Inside a rolled-back transaction the whole delete is undone.
  EXPECT_EQ(reg.Transaction(HKCU,
                            [&] {
                              EXPECT_EQ(reg.DeleteTree(HKCU, "software\\tarvex\\BOX"), 0u);
                              EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex\\Box\\Inner"),
                                        ERROR_FILE_NOT_FOUND);
                              return ERROR_GEN_FAILURE;
                            }),
            ERROR_GEN_FAILURE);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex\\Box\\Inner\\Deeper"), 0u);

  ASSERT_EQ(reg.DeleteTree(HKCU, "software\\tarvex\\BOX"), 0u);
  std::string text;
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex\\Box"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex\\Box\\Inner"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Tarvex\\Box\\Inner\\Deeper"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.ReadString(HKCU, "Software\\Tarvex\\Box\\Inner", "v", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.ReadString(HKCU, "Software\\Tarvex\\Boxes", "v", &text), 0u);
  EXPECT_EQ(reg.ReadString(HKCU, "Software\\Tarvex\\Box_", "v", &text), 0u);
  EXPECT_EQ(reg.ReadString(HKCU, "Software\\Tarvex", "keep", &text), 0u);
  std::vector<std::string> keys;
  ASSERT_EQ(reg.EnumSubkeys(HKCU, "Software\\Tarvex", &keys), 0u);
  EXPECT_EQ(Join(keys), "Boxes,Box_");

  EXPECT_EQ(reg.DeleteTree(HKCU, "Software\\Tarvex\\Box"), ERROR_FILE_NOT_FOUND);
  // A recreated key starts empty.
  ASSERT_EQ(reg.CreateKey(HKCU, "Software\\Tarvex\\Box"), 0u);
  std::vector<Registry::Value> values;
  ASSERT_EQ(reg.EnumValues(HKCU, "Software\\Tarvex\\Box", &values), 0u);
  EXPECT_TRUE(values.empty());
}

TEST_F(RegistryTest, TransactionCommitsOrRollsBack) {
  Registry reg(dir_);
  Registry other(dir_);  // another connection, as another process would have
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "before", "0"), 0u);
  std::string text;

  // Committed: visible to others only after the body returned.
  EXPECT_EQ(reg.Transaction(HKCU,
                            [&] {
                              EXPECT_EQ(reg.WriteString(HKCU, kSettings, "a", "1"), 0u);
                              EXPECT_EQ(reg.WriteString(HKCU, kSettings, "b", "2"), 0u);
                              EXPECT_EQ(reg.ReadString(HKCU, kSettings, "a", &text), 0u);
                              EXPECT_EQ(other.ReadString(HKCU, kSettings, "a", &text),
                                        ERROR_FILE_NOT_FOUND);
                              // Nested transactions join the outer one.
                              return reg.Transaction(
                                  HKCU, [&] { return reg.WriteString(HKCU, kSettings, "c", "3"); });
                            }),
            0u);
  for (const char* name : {"a", "b", "c"})
    EXPECT_EQ(other.ReadString(HKCU, kSettings, name, &text), 0u) << name;

  // Non-zero result: everything rolled back, the code passed on.
  EXPECT_EQ(reg.Transaction(HKCU,
                            [&] {
                              EXPECT_EQ(reg.WriteString(HKCU, kSettings, "x", "1"), 0u);
                              EXPECT_EQ(reg.DeleteValue(HKCU, kSettings, "a"), 0u);
                              return ERROR_INVALID_DATA;
                            }),
            ERROR_INVALID_DATA);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "x", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "a", &text), 0u);

  // Exception: rolled back and rethrown.
  EXPECT_THROW(reg.Transaction(HKCU,
                               [&]() -> uint32_t {
                                 reg.WriteString(HKCU, kSettings, "y", "1");
                                 reg.CreateKey(HKCU, "Software\\Thrown");
                                 throw std::runtime_error("boom");
                               }),
               std::runtime_error);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "y", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Thrown"), ERROR_FILE_NOT_FOUND);

  // A failing call inside a transaction leaves the others' work intact.
  EXPECT_EQ(reg.Transaction(HKCU,
                            [&] {
                              EXPECT_EQ(reg.WriteString(HKCU, kSettings, "z", "1"), 0u);
                              EXPECT_EQ(reg.DeleteValue(HKCU, kSettings, "nothing"),
                                        ERROR_FILE_NOT_FOUND);
                              return 0u;
                            }),
            0u);
  EXPECT_EQ(other.ReadString(HKCU, kSettings, "z", &text), 0u);

  // The object stays usable after all of that.
  EXPECT_EQ(reg.WriteString(HKCU, kSettings, "after", "1"), 0u);
  std::vector<Registry::Value> values;
  ASSERT_EQ(other.EnumValues(HKCU, kSettings, &values), 0u);
  EXPECT_EQ(Names(values), "before,a,b,c,z,after");
}

TEST_F(RegistryTest, AbsentMachineHiveReadsFailCleanly) {
  Registry reg(dir_);
  std::string text;
  Registry::Value v;
  std::vector<Registry::Value> values;
  std::vector<std::string> keys;
  EXPECT_EQ(reg.ReadString(HKLM, "Software\\Tarvex", "InstallDir", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.ReadValue(HKLM, "Software\\Tarvex", "InstallDir", 1000, &v), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.KeyExists(HKLM, "Software\\Tarvex"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumValues(HKLM, "Software\\Tarvex", &values), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumValue(HKLM, "Software\\Tarvex", 0, 255, 1000, &v), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.EnumSubkeys(HKLM, "Software", &keys), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.DeleteValue(HKLM, "Software\\Tarvex", "InstallDir"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.DeleteTree(HKLM, "Software\\Tarvex"), ERROR_FILE_NOT_FOUND);
  // Writes are refused without touching the folder.
  EXPECT_EQ(reg.WriteString(HKLM, "Software\\Tarvex", "InstallDir", "/opt"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.CreateKey(HKLM, "Software\\Tarvex"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.Transaction(HKLM, [] { return 0u; }), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(fs::exists(Path("hklm.sqlite")));
  EXPECT_FALSE(fs::exists(Path("hkcu.sqlite")));

  // Seeded by a registry that may write it, the hive reads normally.
  Registry seeder(dir_, /*allowMachineWrites=*/true);
  ASSERT_EQ(seeder.WriteString(HKLM, "Software\\Tarvex", "InstallDir", "/opt/tarvex"), 0u);
  EXPECT_TRUE(fs::exists(Path("hklm.sqlite")));
  EXPECT_EQ(reg.ReadString(HKLM, "Software\\Tarvex", "InstallDir", &text), 0u);
  EXPECT_EQ(text, "/opt/tarvex");
  EXPECT_EQ(reg.ReadString(HKCU, "Software\\Tarvex", "InstallDir", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.WriteString(HKLM, "Software\\Tarvex", "InstallDir", "/x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.DeleteTree(HKLM, "Software\\Tarvex"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.ReadString(HKLM, "Software\\Tarvex", "InstallDir", &text), 0u);
  EXPECT_EQ(text, "/opt/tarvex");
}

TEST_F(RegistryTest, FaultHookFailsOperationsWithoutTouchingTheStore) {
  Registry reg(dir_);
  ASSERT_EQ(reg.WriteString(HKCU, kSettings, "kept", "1"), 0u);

  std::vector<std::string> calls;
  reg.SetFaultHook([&](Registry::Op op, Hive hive, std::string_view key, std::string_view name) {
    calls.push_back(std::to_string(static_cast<int>(op)) + "|" + (hive == HKCU ? "HKCU" : "HKLM") +
                    "|" + std::string(key) + "|" + std::string(name));
    return name == "fail" || key == "Software\\Broken" ? ERROR_DISK_FULL : 0u;
  });
  std::string text;
  EXPECT_EQ(reg.WriteString(HKCU, kSettings, "fail", "x"), ERROR_DISK_FULL);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "fail", &text), ERROR_DISK_FULL);
  EXPECT_EQ(reg.DeleteValue(HKCU, kSettings, "fail"), ERROR_DISK_FULL);
  EXPECT_EQ(reg.CreateKey(HKCU, "Software\\Broken"), ERROR_DISK_FULL);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Broken"), ERROR_DISK_FULL);
  EXPECT_EQ(reg.DeleteTree(HKCU, "Software\\Broken"), ERROR_DISK_FULL);
  std::vector<Registry::Value> values;
  EXPECT_EQ(reg.EnumValues(HKCU, "Software\\Broken", &values), ERROR_DISK_FULL);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "kept", &text), 0u);
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[0], "1|HKCU|Software\\Tarvex\\IEToolbar\\Settings|fail");  // Write
  EXPECT_EQ(calls[1], "0|HKCU|Software\\Tarvex\\IEToolbar\\Settings|fail");  // Read
  EXPECT_EQ(calls[2], "2|HKCU|Software\\Tarvex\\IEToolbar\\Settings|fail");  // DeleteValue
  EXPECT_EQ(calls[3], "1|HKCU|Software\\Broken|");                           // CreateKey: Write
  EXPECT_EQ(calls[4], "5|HKCU|Software\\Broken|");                           // KeyExists: Open
  EXPECT_EQ(calls[5], "3|HKCU|Software\\Broken|");                           // DeleteTree
  EXPECT_EQ(calls[6], "4|HKCU|Software\\Broken|");                           // Enum

  // Nothing of the failed calls reached the store.
  reg.SetFaultHook(nullptr);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "fail", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.KeyExists(HKCU, "Software\\Broken"), ERROR_FILE_NOT_FOUND);

  // A hook that throws fails the call instead of escaping it.
  reg.SetFaultHook([](Registry::Op, Hive, std::string_view, std::string_view) -> uint32_t {
    throw std::runtime_error("hook");
  });
  EXPECT_NE(reg.ReadString(HKCU, kSettings, "kept", &text), 0u);
  reg.SetFaultHook(nullptr);
  EXPECT_EQ(reg.ReadString(HKCU, kSettings, "kept", &text), 0u);
}

TEST_F(RegistryTest, UnwritableFolderGivesAccessDenied) {
  // The registry folder is a file.
  std::ofstream(Path("plainfile")) << "x";
  Registry onFile(Path("plainfile"));
  std::string text;
  EXPECT_EQ(onFile.WriteString(HKCU, kSettings, "v", "1"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(onFile.CreateKey(HKCU, kSettings), ERROR_ACCESS_DENIED);
  EXPECT_EQ(onFile.ReadString(HKCU, kSettings, "v", &text), ERROR_FILE_NOT_FOUND);

  // The folder would have to be made below a file.
  Registry belowFile(Path("plainfile/sub/dir"));
  EXPECT_EQ(belowFile.WriteString(HKCU, kSettings, "v", "1"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(belowFile.Transaction(HKCU, [] { return 0u; }), ERROR_ACCESS_DENIED);

  // The database's place is taken by a folder.
  fs::create_directories(Path("taken/hkcu.sqlite"));
  Registry taken(Path("taken"));
  EXPECT_EQ(taken.WriteString(HKCU, kSettings, "v", "1"), ERROR_ACCESS_DENIED);

  // A folder without write permission (root ignores permissions).
  if (::geteuid() != 0) {
    fs::create_directories(Path("readonly"));
    fs::permissions(Path("readonly"), fs::perms::owner_read | fs::perms::owner_exec);
    Registry readOnly(Path("readonly"));
    EXPECT_EQ(readOnly.WriteString(HKCU, kSettings, "v", "1"), ERROR_ACCESS_DENIED);
    fs::permissions(Path("readonly"), fs::perms::owner_all);
  }

  // A missing folder is created with its parents.
  Registry nested(Path("a/b/c"));
  EXPECT_EQ(nested.WriteString(HKCU, kSettings, "v", "1"), 0u);
  EXPECT_TRUE(fs::exists(Path("a/b/c/hkcu.sqlite")));
}

TEST_F(RegistryTest, NonAsciiAndAstralTextRoundTrips) {
  Registry reg(dir_);
  const std::string key = "Software\\Tarvex\\Gr\xc3\xbc\xc3\x9f\x65";          // "Grüße"
  const std::string name = "\xe6\x97\xa5\xe6\x9c\xac";                         // "日本"
  const std::string text = "caf\xc3\xa9 \xf0\x9f\x98\x80 \xf0\x90\x8d\x88 z";  // "café 😀 𐍈 z"
  ASSERT_EQ(reg.WriteString(HKCU, key, name, text), 0u);

  std::string back;
  ASSERT_EQ(reg.ReadString(HKCU, key, name, &back), 0u);
  EXPECT_EQ(back, text);
  Registry::Value v;
  ASSERT_EQ(reg.ReadValue(HKCU, key, name, 1000, &v), 0u);
  // c a f é ␠ (2 units) ␠ (2 units) ␠ z NUL = 13 units.
  EXPECT_EQ(v.data.size(), 26u);
  EXPECT_EQ(v.data.substr(10, 4), std::string("\x3d\xd8\x00\xde", 4));  // U+1F600 as D83D DE00
  EXPECT_EQ(v.name, name);

  std::vector<std::string> keys;
  ASSERT_EQ(reg.EnumSubkeys(HKCU, "Software\\Tarvex", &keys), 0u);
  EXPECT_EQ(Join(keys), "Gr\xc3\xbc\xc3\x9f\x65");
  EXPECT_EQ(Registry::DecodeString(Registry::EncodeString(text)), text);
}

TEST_F(RegistryTest, ThreadsShareOneRegistrySafely) {
  Registry reg(dir_);
  constexpr int kThreads = 6;
  constexpr int kValues = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kValues; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        std::string data = "thread " + std::to_string(t) + " value " + std::to_string(i);
        uint32_t rc = (i % 5 == 4)
                          ? reg.Transaction(
                                HKCU, [&] { return reg.WriteString(HKCU, kSettings, name, data); })
                          : reg.WriteString(HKCU, kSettings, name, data);
        std::string back;
        if (rc != 0 || reg.ReadString(HKCU, kSettings, name, &back) != 0 || back != data)
          ++failures;
        std::vector<Registry::Value> values;
        if (reg.EnumValues(HKCU, kSettings, &values) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<Registry::Value> values;
  ASSERT_EQ(reg.EnumValues(HKCU, kSettings, &values), 0u);
  EXPECT_EQ(values.size(), static_cast<size_t>(kThreads * kValues));
}

TEST_F(RegistryTest, SeveralProcessesWritingOneKeyLoseNothing) {
  constexpr int kProcesses = 4;
  constexpr int kValues = 200;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    std::string helper = REGISTRY_WRITER_HELPER;
    std::string number = std::to_string(p);
    std::string count = std::to_string(kValues);
    std::vector<char*> argv = {helper.data(), dir_.data(), number.data(), count.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, helper.c_str(), nullptr, nullptr, argv.data(), environ), 0)
        << helper;
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }

  Registry reg(dir_);
  const char* key = "Software\\Tarvex\\Stress";
  std::vector<Registry::Value> values;
  ASSERT_EQ(reg.EnumValues(HKCU, key, &values), 0u);
  EXPECT_EQ(values.size(), static_cast<size_t>(kProcesses * kValues));
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kValues; ++i) {
      std::string text;
      std::string name = "p" + std::to_string(p) + "_v" + std::to_string(i);
      ASSERT_EQ(reg.ReadString(HKCU, key, name, &text), 0u) << name;
      EXPECT_EQ(text, "value " + std::to_string(i) + " of process " + std::to_string(p));
    }
  }
}

TEST_F(RegistryTest, ProcessRegistryUsesTheConfiguredFolder) {
  Registry& a = Registry::Process();
  Registry& b = Registry::Process();
  EXPECT_EQ(&a, &b);
  EXPECT_FALSE(a.folder().empty());
}

}  // namespace
}  // namespace tarvex
