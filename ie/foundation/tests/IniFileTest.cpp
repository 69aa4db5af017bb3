#include <gtest/gtest.h>

#include <random>

#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/Thrown.h"
#include "text/Text.h"
#include "platform/Win32Error.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::Thrown;

using testing::ReadAll;
using testing::WriteAll;

using namespace std::string_literals;
using Op = FaultyFileSystem::Op;

// UTF-8 text as UTF-16 bytes with a byte-order mark.
std::string Utf16File(std::string_view text, bool littleEndian) {
  std::string out = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t unit : Utf8ToUtf16Whole(text)) {
    char low = static_cast<char>(unit & 0xFF);
    char high = static_cast<char>(unit >> 8);
    out += littleEndian ? std::string{low, high} : std::string{high, low};
  }
  return out;
}

OsFacts TestFacts(const testing::TempDir& dir) {
  OsFacts facts;
  facts.systemDir = dir / "system";
  facts.uiLocale = "C";
  return facts;
}

class IniFileTest : public ::testing::Test {
 protected:
  IniFile Make() { return IniFile(faulty_, settings_, logger_); }
  std::string ProblemFile() { return settings_.GetValue(IniFile::kProblemFileSetting, "<none>"); }
  // Loads `bytes` written to a file and returns what was read.
  IniFile::Sections Parse(std::string_view bytes) {
    WriteAll(file_, bytes);
    IniFile ini = Make();
    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(ini.modified());
    IniFile::Sections read = ini.sections();
    ini.Clear();
    return read;
  }

  testing::TempDir dir_;
  std::string file_ = dir_ / "item.url";
  Registry registry_{dir_ / "registry", /*allowMachineWrites=*/true};
  FakeClock clock_{1796858716};
  OsFacts facts_ = TestFacts(dir_);
  Logger logger_{dir_ / "log/tarvex.log", FileSystem::Native(), clock_};
  Settings settings_{registry_, FileSystem::Native(), clock_, facts_, logger_};
  FaultyFileSystem faulty_{FileSystem::Native()};
};

TEST_F(IniFileTest, ParsesTheFileForms) {
  struct Case {
    const char* name;
    std::string bytes;
    IniFile::Sections expected;
  } cases[] = {
      {"three lines", "a=1\r\n[S]\r\nk=v=w\r\n", {{"", {{"a", "1"}}}, {"S", {{"k", "v=w"}}}}},
      {"CR, LF and CR LF", "[S]\nk=1\rj=2\r\nl=3", {{"S", {{"k", "1"}, {"j", "2"}, {"l", "3"}}}}},
      {"blank, trimmed and =-less lines",
       "\r\n \t \r\n[S]\r\njunk\r\n  a = b  \r\n\r\n=empty key\r\nk=\r\n",
       {{"S", {{"a ", " b"}, {"", "empty key"}, {"k", ""}}}}},
      {"brackets",
       "[[x]]\r\nk=v\r\n[]\r\ntop=1\r\n [ y ] \r\n[S]x\r\n",
       {{"x", {{"k", "v"}}}, {"", {{"top", "1"}}}, {" y ", {}}}},
      {"UTF-8 byte-order mark",
       "\xEF\xBB\xBF[InternetShortcut]\r\nURL=http://a/\r\n",
       {{"InternetShortcut", {{"URL", "http://a/"}}}}},
      {"UTF-16LE",
       Utf16File("[S]\r\nk=caf\u00e9 \U0001D11E\r\n", true),
       {{"S", {{"k", "caf\u00e9 \U0001D11E"}}}}},
      {"UTF-16BE", Utf16File("[S]\r\nk=\u20ac\r\n", false), {{"S", {{"k", "\u20ac"}}}}},
      {"Windows-1252",
       "[S]\r\nname=Caf\xE9 \x80\x96\x81\r\n",
       {{"S", {{"name", "Caf\u00e9 \u20ac\u2013\u0081"}}}}},
      {"valid UTF-8 is not Windows-1252",
       "[S]\r\nk=\xC3\xA9\xEF\xBF\xBD\r\n",
       {{"S", {{"k", "\u00e9\ufffd"}}}}},
      {"duplicate keys and sections",
       "[S]\r\nk=1\r\n[T]\r\nx=1\r\n[S]\r\nk=2\r\nj=3\r\n",
       {{"S", {{"k", "1"}, {"j", "3"}}}, {"T", {{"x", "1"}}}}},
      {"NUL ends its line only",
       "[S]\r\nk=ab\0cd\r\n\0x=y\r\nj=2\r\n"s,
       {{"S", {{"k", "ab"}, {"j", "2"}}}}},
      {"NUL in UTF-16",
       Utf16File("[S]\r\nk=a\0b\r\nj=2"s, true),
       {{"S", {{"k", "a"}, {"j", "2"}}}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.bytes), c.expected) << c.name;
}

TEST_F(IniFileTest, WritesSortedWithTheHeaderlessSectionFirst) {
  IniFile ini = Make();
  ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
  ini.SetValue("InternetShortcut", "url", "b");
  ini.SetValue("InternetShortcut", "URL", "a");
  // Ordered by UTF-16 code units: U+1F600 (D83D DE00) before U+FF5E.
  ini.SetValue("InternetShortcut", "\uFF5E", "2");
  ini.SetValue("InternetShortcut", "\U0001F600", "1");
  ini.SetValue("A", "k", "x");
  ini.SetValue("", "top", "1");
  ini.Close();
  EXPECT_EQ(ReadAll(file_),
            "top=1\r\n[A]\r\nk=x\r\n[InternetShortcut]\r\nURL=a\r\nurl=b\r\n"
            "\U0001F600=1\r\n\uFF5E=2\r\n");
  EXPECT_TRUE(ini.path().empty());
  EXPECT_TRUE(ini.sections().empty());
}

// A key of the headerless section that begins with U+FEFF stands first in
// the file, where the reader takes those bytes for a byte-order mark.
TEST_F(IniFileTest, AFirstKeyBeginningWithAByteOrderMarkReadsBack) {
  for (const std::string key : {"\uFEFF", "\uFEFFkey", "\uFEFF\uFEFF"}) {
    {
      IniFile ini = Make();
      ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
      ini.Clear();
      ini.SetValue("", key, "v");
      ini.SetValue("S", "k", "x");
      ini.Close();
    }
    IniFile back = Make();
    back.Load(file_, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(back.GetValue("", key, "<none>"), "v") << key.size();
    EXPECT_EQ(back.sections().at("").size(), 1u) << key.size();
  }
}

TEST_F(IniFileTest, NamesAndValuesEndAtTheirFirstLineBreakOrNul) {
  struct Case {
    std::string section, key, value;
    const char* written;
  } cases[] = {
      {"S", "k", "a\0b"s, "[S]\r\nk=a\r\n"},
      {"S", "k", "a\rb", "[S]\r\nk=a\r\n"},
      {"S", "k", "x\r\n[InternetShortcut]\r\nURL=evil", "[S]\r\nk=x\r\n"},
      {"S", "k", "\nrest", "[S]\r\nk=\r\n"},
      {"S", "k\r\nURL", "v", "[S]\r\nk=v\r\n"},
      {"S\n[T]", "k", "v", "[S]\r\nk=v\r\n"},
  };
  for (const Case& c : cases) {
    IniFile ini = Make();
    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    ini.Clear();
    ini.SetValue(c.section, c.key, c.value);
    // What is kept in memory is what the file will hold.
    EXPECT_EQ(ini.GetValue("S", "k", "<absent>"), ini.GetValue(c.section, c.key, "<other>"));
    ini.Close();
    EXPECT_EQ(ReadAll(file_), c.written) << c.written;
  }
}

TEST_F(IniFileTest, KeysThatCannotBeStoredAreProgrammingErrors) {
  for (const std::string& key : std::vector<std::string>{"a=b", "[a", "  [a", "\t[x]", "=", "["}) {
    IniFile ini = Make();
    VelkException e = Thrown([&] { ini.SetValue("S", key, "v"); });
    EXPECT_EQ(e.source(), "internal") << key;
    EXPECT_EQ(e.id(), kErrImpossible) << key;
    EXPECT_FALSE(ini.modified()) << key;
  }
  // Cut at the line break first, the rest is never stored.
  IniFile ini = Make();
  ini.SetValue("S", "ok\n=x", "v");
  EXPECT_EQ(ini.GetValue("S", "ok", ""), "v");
}

TEST_F(IniFileTest, AMissingFileWithoutChangesIsNotCreated) {
  IniFile ini = Make();
  ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ini.path(), file_);
  EXPECT_EQ(ini.GetValue("Tarvex", "nid", "[[TARVEX\nDEFAULT]]"), "[[TARVEX\nDEFAULT]]");
  ini.DeleteValue("Tarvex", "nid");  // absent: no change
  ini.Close();
  EXPECT_FALSE(FileSystem::Native().Exists(file_));
  EXPECT_EQ(ProblemFile(), "<none>");
}

TEST_F(IniFileTest, LoadWritesTheModifiedEarlierFile) {
  std::string other = dir_ / "other.url";
  WriteAll(other, "[S]\r\nk=1\r\n");
  IniFile ini = Make();
  ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
  ini.SetValue("S", "k", "v");
  ini.Load(other, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadAll(file_), "[S]\r\nk=v\r\n");
  EXPECT_EQ(ini.GetValue("S", "k", ""), "1");
  ini.DeleteValue("S", "k");
  ini.Close();
  EXPECT_EQ(ReadAll(other), "[S]\r\n");
}

TEST_F(IniFileTest, TheFormerSectionNameIsRewrittenEvenWithoutChanges) {
  struct Case {
    const char* before;
    const char* after;
  } cases[] = {
      {"[Kestrove]\r\nnid=1\r\n[InternetShortcut]\r\nURL=u\r\n",
       "[InternetShortcut]\r\nURL=u\r\n[Tarvex]\r\nnid=1\r\n"},
      {"[Kestrove]\r\nnid=old\r\nextra=1\r\n[Tarvex]\r\nnid=new\r\n", "[Tarvex]\r\nnid=new\r\n"},
  };
  for (const Case& c : cases) {
    WriteAll(file_, c.before);
    IniFile ini = Make();
    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(ini.modified());
    ini.Close();
    EXPECT_EQ(ReadAll(file_), c.after) << c.before;
  }
}

TEST_F(IniFileTest, RewritingKeepsHiddenAndSystemAndClearsReadOnly) {
  FileSystem& fs = FileSystem::Native();
  struct Case {
    uint32_t before;
    uint32_t after;
  } cases[] = {
      {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_NORMAL},
      {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
  };
  for (const Case& c : cases) {
    WriteAll(file_, "[S]\r\nk=1\r\n");
    uint32_t code = fs.SetAttributes(file_, c.before);
    if (code == win32::ERROR_NOT_SUPPORTED) GTEST_SKIP() << "no extended attributes here";
    ASSERT_EQ(code, 0u);
    IniFile ini = Make();
    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    ini.SetValue("S", "k", "2");
    ini.Close();
    EXPECT_EQ(ReadAll(file_), "[S]\r\nk=2\r\n") << c.before;
    uint32_t attributes = 0;
    ASSERT_EQ(fs.GetAttributes(file_, &attributes), 0u);
    EXPECT_EQ(attributes, c.after) << c.before;
    ASSERT_EQ(fs.SetAttributes(file_, FILE_ATTRIBUTE_NORMAL), 0u);
  }
}

TEST_F(IniFileTest, ReadFailuresThrowNameTheFileAndAttachNothing) {
  std::string original = "[S]\r\nk=1\r\n";
  WriteAll(file_, original);
  std::string big = dir_ / "big.url";
  WriteAll(big, std::string(IniFile::kMaxFileBytes + 1, 'x'));
  std::string inMissingFolder = dir_ / "missing/item.url";
  struct Case {
    std::string path;
    uint32_t injected;  // 0: a real failure
    uint32_t id;
    std::string message;
  } cases[] = {
      {file_, win32::ERROR_ACCESS_DENIED, win32::ERROR_ACCESS_DENIED,
       "Error while opening CreateFile: " + win32::FormatMessage(win32::ERROR_ACCESS_DENIED) +
           " on [" + file_ + "]"},
      {file_, win32::ERROR_SHARING_VIOLATION, win32::ERROR_SHARING_VIOLATION,
       "Error while opening CreateFile: " + win32::FormatMessage(win32::ERROR_SHARING_VIOLATION) +
           " on [" + file_ + "]"},
      {inMissingFolder, 0, win32::ERROR_PATH_NOT_FOUND,
       "Error while opening CreateFile: " + win32::FormatMessage(win32::ERROR_PATH_NOT_FOUND) +
           " on [" + inMissingFolder + "]"},
      {big, 0, win32::ERROR_NOT_ENOUGH_MEMORY, "Error reading ini data: " + big},
  };
  for (const Case& c : cases) {
    settings_.DeleteValue(IniFile::kProblemFileSetting);
    faulty_.Reset();
    if (c.injected != 0) faulty_.FailNth(Op::Read, 1, c.injected);
    IniFile ini = Make();
    VelkException e = Thrown([&] { ini.Load(c.path, FILE_ATTRIBUTE_NORMAL); });
    EXPECT_EQ(e.source(), "windows");
    EXPECT_EQ(e.id(), static_cast<int32_t>(c.id));
    EXPECT_EQ(e.message(), c.message);
    EXPECT_EQ(ProblemFile(), c.path);
    // A file that could not be read is never overwritten through the object.
    EXPECT_TRUE(ini.path().empty());
    ini.SetValue("S", "k", "lost");
    ini.Close();
  }
  EXPECT_EQ(ReadAll(file_), original);
  EXPECT_EQ(ReadAll(big).size(), IniFile::kMaxFileBytes + 1);
  EXPECT_FALSE(FileSystem::Native().Exists(inMissingFolder));

  // The limit itself is accepted.
  WriteAll(big, "[S]\r\nk=" + std::string(IniFile::kMaxFileBytes - 9, 'x') + "\r\n");
  IniFile ini = Make();
  ini.Load(big, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ini.GetValue("S", "k", "").size(), IniFile::kMaxFileBytes - 9);
}

TEST_F(IniFileTest, WriteFailuresThrowNameTheFileAndKeepTheOriginal) {
  std::string original = "[S]\r\nk=1\r\n";
  struct Case {
    uint32_t code;
    const char* message;
  } cases[] = {
      {win32::ERROR_ACCESS_DENIED, "Error couldn't create new INI file: "},
      {win32::ERROR_PATH_NOT_FOUND, "Error couldn't create new INI file: "},
      {win32::ERROR_DISK_FULL, "Error couldn't write section to INI file: "},
      {win32::ERROR_GEN_FAILURE, "Error couldn't write section to INI file: "},
  };
  for (const Case& c : cases) {
    WriteAll(file_, original);
    settings_.DeleteValue(IniFile::kProblemFileSetting);
    faulty_.Reset();
    IniFile ini = Make();
    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    ini.SetValue("S", "k", "2");
    faulty_.FailNth(Op::Write, 1, c.code);
    VelkException e = Thrown([&] { ini.Close(); });
    EXPECT_EQ(e.source(), "windows");
    EXPECT_EQ(e.id(), static_cast<int32_t>(c.code));
    EXPECT_EQ(e.message(), c.message + file_);
    EXPECT_EQ(ProblemFile(), file_);
    EXPECT_EQ(ReadAll(file_), original);
    // The object keeps its content, so closing again can still succeed.
    EXPECT_EQ(ini.path(), file_);
    ini.Close();
    EXPECT_EQ(ReadAll(file_), "[S]\r\nk=2\r\n");
  }
}

TEST_F(IniFileTest, TheDestructorLogsInsteadOfThrowing) {
  WriteAll(file_, "[S]\r\nk=1\r\n");
  faulty_.FailNth(Op::Write, 1, win32::ERROR_DISK_FULL, /*sticky=*/true);
  EXPECT_NO_THROW({
    IniFile ini = Make();
    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    ini.SetValue("S", "k", "2");
  });
  EXPECT_NE(ReadAll(logger_.path()).find("Error couldn't write section to INI file: " + file_),
            std::string::npos);
  EXPECT_EQ(ProblemFile(), file_);
  EXPECT_EQ(ReadAll(file_), "[S]\r\nk=1\r\n");
}

// Writing random content and reading it back gives the same sections. The
// pieces include white space, brackets, "=", quotes and characters of two,
// three and four bytes; names are built so that they can be stored: keys
// neither hold "=" nor start with white space or "[", values do not end in
// white space, section names neither start nor end with white space or a
// bracket.
TEST_F(IniFileTest, RandomContentSurvivesAWriteAndARead) {
  const std::vector<std::string> pieces = {
      "a",  "Z",  "0",      " ",      "\t",           "=",           "[",      "]",
      ";",  "#",  "\"",     "\\",     "\u00e9",       "\u20ac",      "\uFF5E", "\U0001F600",
      "..", "?:", "\u00a0", "\u2028", "\xEF\xBF\xBD", "Kestrove_no", "URL",    "url",
  };
  std::mt19937 random(20240611);
  auto text = [&](size_t maxPieces) {
    std::string out;
    size_t n = std::uniform_int_distribution<size_t>(0, maxPieces)(random);
    for (size_t i = 0; i < n; ++i)
      out += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(random)];
    return out;
  };
  auto storableKey = [](const std::string& key) {
    return key.find('=') == std::string::npos && Trim(key + "x") == key + "x" &&
           !key.starts_with("[");
  };
  auto storableValue = [](const std::string& value) { return Trim("x" + value) == "x" + value; };
  auto storableSection = [](const std::string& name) {
    return Trim(name) == name && (name.empty() || (name.find_first_of("[]") != 0 &&
                                                   name.find_last_of("[]") != name.size() - 1));
  };

  for (int round = 0; round < 200; ++round) {
    IniFile ini = Make();
    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    ini.Clear();
    int values = std::uniform_int_distribution<int>(0, 30)(random);
    for (int i = 0; i < values; ++i) {
      std::string section = text(3), key = text(4), value = text(6);
      if (storableSection(section) && storableKey(key) && storableValue(value))
        ini.SetValue(section, key, value);
    }
    if (!ini.modified()) ini.SetValue("", "", "");
    IniFile::Sections written = ini.sections();
    ini.Close();
    std::string bytes = ReadAll(file_);

    ini.Load(file_, FILE_ATTRIBUTE_NORMAL);
    ASSERT_EQ(ini.sections(), written) << "round " << round << ":\n" << bytes;
    ASSERT_FALSE(ini.modified());
    // Storing a value it already has rewrites the same bytes.
    const auto& [section, keys] = *written.begin();
    ini.SetValue(section, keys.begin()->first, keys.begin()->second);
    ini.Close();
    ASSERT_EQ(ReadAll(file_), bytes) << "round " << round;
  }
}

}  // namespace
}  // namespace tarvex
