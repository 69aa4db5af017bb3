#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "platform/mac/Plist.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex::mac {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

DictRef Sample() {
  return NewDict({{"username", "\xc3\xa9mile"},
                  {"count", int64_t{-3}},
                  {"ratio", 0.5},
                  {"flag", true},
                  {"items", NewArray({NewDict({{"Path", "/A"}, {"Hide", false}}), "x"})},
                  {"empty", ""}});
}

TEST(MacPlist, WritesXmlPrivatelyAndReadsItBack) {
  TempDir dir;
  std::string path = dir / "Library/Tarvex/prefs.plist";
  ASSERT_EQ(WritePlistDictAtomically(path, Sample()), "");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(ModeOf(dir / "Library/Tarvex"), 0700u) << "missing folders are made private";
  EXPECT_NE(ReadAll(path).find("<plist"), std::string::npos);
  PlistRead read = ReadPlistDict(path);
  ASSERT_EQ(read.status, PlistRead::Status::Dict) << read.error;
  EXPECT_EQ(Value(read.dict), Value(Sample()));
}

TEST(MacPlist, ReadsBinaryPropertyLists) {
  TempDir dir;
  WriteAll(dir / "b.plist", PlistBinary(Sample()));
  ASSERT_EQ(ReadAll(dir / "b.plist").rfind("bplist", 0), 0u);
  PlistRead read = ReadPlistDict(dir / "b.plist");
  ASSERT_EQ(read.status, PlistRead::Status::Dict);
  EXPECT_EQ(Value(read.dict), Value(Sample()));
}

TEST(MacPlist, MissingIsNotUnreadable) {
  TempDir dir;
  ::mkdir((dir / "folder").c_str(), 0700);
  WriteAll(dir / "garbage", "<?xml version=\"1.0\"?><plist><dict><key>a</key>");
  WriteAll(dir / "array", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
  WriteAll(dir / "empty", "");
  struct Case {
    std::string name;
    PlistRead::Status status;
  } cases[] = {
      {"absent", PlistRead::Status::Missing},
      {"folder", PlistRead::Status::Unreadable},
      {"garbage", PlistRead::Status::Unreadable},
      {"array", PlistRead::Status::Unreadable},
      {"empty", PlistRead::Status::Unreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlistRead read = ReadPlistDict(dir / c.name);
    EXPECT_EQ(read.status, c.status);
    if (c.status == PlistRead::Status::Unreadable) {
      EXPECT_NE(read.error.find(dir / c.name), std::string::npos);
    }
  }
}

TEST(MacPlist, AFailedWriteLeavesTheOldFileAndSaysSo) {
  TempDir dir;
  std::string path = dir / "prefs.plist";
  ASSERT_EQ(WritePlistDictAtomically(path, NewDict({{"keep", "me"}})), "");
  std::string before = ReadAll(path);
  auto big = NewDict({{"blob", std::string(200000, 'x')}});
  {
    testing::FileSizeLimit limit(4096);  // the disk fills up during the write
    std::string error = WritePlistDictAtomically(path, big);
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
  EXPECT_EQ(ReadAll(path), before);
  // No temporary file is left beside it.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 1);
  // A file standing where the folder should be.
  WriteAll(dir / "blocker", "x");
  EXPECT_NE(WritePlistDictAtomically(dir / "blocker/sub/p.plist", big), "");
}

TEST(MacPlist, RandomDictionariesSurviveBothForms) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 100; ++round) {
    auto dict = NewDict();
    for (int i = 0, n = static_cast<int>(rng() % 6); i < n; ++i) {
      std::string key = "k" + std::to_string(rng() % 10);
      switch (rng() % 4) {
        case 0: (*dict)[key] = std::string(rng() % 5, static_cast<char>('a' + rng() % 26)); break;
        case 1: (*dict)[key] = static_cast<int64_t>(rng()) - 2147483648LL; break;
        case 2: (*dict)[key] = rng() % 2 == 0; break;
        default: (*dict)[key] = NewArray({std::string("x"), NewDict({{"y", int64_t{1}}})}); break;
      }
    }
    EXPECT_EQ(Value(PlistDictFromMemory(PlistXml(dict))), Value(dict)) << "round " << round;
    EXPECT_EQ(Value(PlistDictFromMemory(PlistBinary(dict))), Value(dict)) << "round " << round;
  }
}

TEST(MacPlist, TextThatIsNoUTF8IsReplacedSoBothFormsAgree) {
  // A file another program wrote, with bytes that are no UTF-8 in a key
  // and a value: read as U+FFFD, and written the same in either form.
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>name\xff</key><string>caf\xc3 \xe2\x82</string></dict></plist>";
  const DictRef dict = PlistDictFromMemory(xml);
  ASSERT_TRUE(dict);
  ASSERT_EQ(dict->count("name\xef\xbf\xbd"), 1u);
  EXPECT_EQ(dict->at("name\xef\xbf\xbd").AsString(), "caf\xef\xbf\xbd \xef\xbf\xbd");
  const DictRef fromBinary = PlistDictFromMemory(PlistBinary(dict));
  ASSERT_TRUE(fromBinary);
  EXPECT_EQ(Value(fromBinary), Value(dict));
  EXPECT_EQ(PlistXml(fromBinary), PlistXml(dict));
}

}  // namespace
}  // namespace tarvex::mac
