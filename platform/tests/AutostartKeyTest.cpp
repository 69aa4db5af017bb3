// The HKCU Run key as XDG autostart entries (platform/registry/AutostartKey.h).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/registry/AutostartKey.h"
#include "platform/registry/Registry.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using namespace tarvex::win32;
using testing::ReadAll;
using testing::WriteAll;

constexpr Hive HKCU = Hive::CurrentUser;
constexpr const char* kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kSettings = "Software\\Tarvex\\IEToolbar\\Settings";

// The line of `text` that starts with `key=`, without the key; "" when none.
std::string Line(const std::string& text, const std::string& key) {
  for (const std::string& line : testing::SplitLines(text))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

std::string Names(const std::vector<Registry::Value>& values) {
  std::string out;
  for (const auto& v : values) out += (out.empty() ? "" : ",") + v.name;
  return out;
}

class AutostartKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { reg_.SetAutostartFolder(autostart_); }

  std::string File(const std::string& name) const { return autostart_ + "/" + name; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(autostart_, ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  void Put(const std::string& name, const std::string& text) {
    fs::create_directories(autostart_);
    WriteAll(File(name), text);
  }

  testing::TempDir dir_;
  std::string autostart_ = dir_ / "autostart";
  Registry reg_{dir_ / "registry"};
};

TEST_F(AutostartKeyTest, WritingMakesAQuotedExecThatReadsBack) {
  struct Case {
    const char* written;  // the registry value
    const char* exec;     // the Exec line in the file
    const char* read;     // what reading gives back
  } cases[] = {
      {R"("/opt/Tarvex/tarvex" -q)", R"("/opt/Tarvex/tarvex" -q)", R"("/opt/Tarvex/tarvex" -q)"},
      // An unquoted path (the original's fault) ends at the first space.
      {"/opt/Tarvex/tarvex -q", R"("/opt/Tarvex/tarvex" -q)", R"("/opt/Tarvex/tarvex" -q)"},
      {R"("/home/u/My Apps/tarvex" -q)", R"("/home/u/My Apps/tarvex" -q)",
       R"("/home/u/My Apps/tarvex" -q)"},
      {R"("/home/o'brien/a;b&c/t" -q)", R"("/home/o'brien/a;b&c/t" -q)",
       R"("/home/o'brien/a;b&c/t" -q)"},
      // $ and ` escaped, then the escaping backslash doubled for the string.
      {R"("/opt/$HOME/t`x`/t" -q)", R"("/opt/\\$HOME/t\\`x\\`/t" -q)", R"("/opt/$HOME/t`x`/t" -q)"},
      // A literal backslash takes four.
      {R"("/opt/back\slash dir/t" -q)", R"("/opt/back\\\\slash dir/t" -q)",
       R"("/opt/back\slash dir/t" -q)"},
      // A quote can only be in an unquoted path, which has no space.
      {R"(/opt/a"b/t -q)", R"("/opt/a\\"b/t" -q)", R"(/opt/a"b/t -q)"},
      {R"("/opt/100%/t" -q)", R"("/opt/100%%/t" -q)", R"("/opt/100%/t" -q)"},
      {R"("/opt/Tärvex/t")", R"("/opt/Tärvex/t")", R"("/opt/Tärvex/t")"},
      // Arguments: split by the C runtime's rules, quoted where needed.
      {R"("/opt/t" -q "a b" $x 50% "say \"hi\"" "")",
       R"("/opt/t" -q "a b" "\\$x" 50%% "say \\"hi\\"" "")",
       R"("/opt/t" -q "a b" $x 50% "say \"hi\"" "")"},
      {R"("/opt/t" C:\dir\ "C:\dir two\\")", R"("/opt/t" "C:\\\\dir\\\\" "C:\\\\dir two\\\\")",
       R"("/opt/t" C:\dir\ "C:\dir two\\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", c.written), 0u);
    std::string text = ReadAll(File("Tarvex.desktop"));
    EXPECT_EQ(testing::SplitLines(text)[0], "[Desktop Entry]");
    EXPECT_EQ(Line(text, "Type"), "Application");
    EXPECT_EQ(Line(text, "Name"), "Tarvex");
    EXPECT_EQ(Line(text, "X-GNOME-Autostart-enabled"), "true");
    EXPECT_EQ(Line(text, "X-Tarvex-Run-Value"), "Tarvex");
    EXPECT_EQ(Line(text, "Exec"), c.exec);

    std::string back;
    EXPECT_EQ(reg_.ReadString(HKCU, kRun, "Tarvex", &back), 0u);
    EXPECT_EQ(back, c.read);
    Registry::Value v;
    ASSERT_EQ(reg_.ReadValue(HKCU, kRun, "Tarvex", 1000, &v), 0u);
    EXPECT_EQ(v.type, REG_SZ);
    EXPECT_EQ(v.data, Registry::EncodeString(c.read));
    // What reads back writes the same file again.
    ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", back), 0u);
    EXPECT_EQ(ReadAll(File("Tarvex.desktop")), text);
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"Tarvex.desktop"});
}

TEST_F(AutostartKeyTest, WindowsCommandLinesSplitIntoProgramAndArguments) {
  struct Case {
    const char* line;
    const char* program;
    std::vector<std::string> args;
  } cases[] = {
      {R"("C:\Program Files\Tarvex\t.exe" -q)", R"(C:\Program Files\Tarvex\t.exe)", {"-q"}},
      {R"(C:\Tarvex\t.exe -q)", R"(C:\Tarvex\t.exe)", {"-q"}},
      {"  /opt/t\t-q  -x ", "/opt/t", {"-q", "-x"}},
      {R"("/opt/no end -q)", "/opt/no end -q", {}},
      {R"("/a b"-q)", "/a b", {"-q"}},
      {R"(t a\\\"b "c\\" d\e)", "t", {R"(a\"b)", R"(c\)", R"(d\e)"}},
      {R"(t "a "" b")", "t", {"a  b"}},
      {"", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    CommandLine got = SplitWindowsCommandLine(c.line);
    EXPECT_EQ(got.program, c.program);
    EXPECT_EQ(got.args, c.args);
  }
}

TEST_F(AutostartKeyTest, ExecValuesParseOrAreRefused) {
  struct Case {
    const char* value;  // as in the file
    bool ok;
    const char* program;
    std::vector<std::string> args;
  } cases[] = {
      {R"("/opt/t" -q)", true, "/opt/t", {"-q"}},
      {R"(/opt/t -q)", true, "/opt/t", {"-q"}},
      {R"("/a\\\\b\\"c\\$d\\`e" x)", true, R"(/a\b"c$d`e)", {"x"}},
      // The common single-level writing of an escape is taken too.
      {R"("/a\"b")", true, R"(/a"b)", {}},
      {R"("/a\sb" %%)", true, "/a b", {"%"}},
      {R"("/opt/t)", false, "", {}},     // no closing quote
      {R"("/opt/t"x)", false, "", {}},   // text after the closing quote
      {R"(/opt/t a"b)", false, "", {}},  // a quote inside an unquoted argument
      {R"(/opt/t %U)", false, "", {}},   // field codes are not ours
      {R"(/opt/t 5%)", false, "", {}},
      {R"("/a\nb")", false, "", {}},  // a control character
      {"   ", false, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    CommandLine got;
    ASSERT_EQ(ParseDesktopExecValue(c.value, &got), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(got.program, c.program);
    EXPECT_EQ(got.args, c.args);
  }
}

TEST_F(AutostartKeyTest, DeleteRemovesTheFileAndMissingValuesAreNotFound) {
  std::string text;
  std::vector<Registry::Value> values;
  // No folder yet: nothing to read or delete, an empty key that exists.
  EXPECT_EQ(reg_.ReadString(HKCU, kRun, "Tarvex", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_.KeyExists(HKCU, kRun), 0u);
  ASSERT_EQ(reg_.EnumValues(HKCU, kRun, &values), 0u);
  EXPECT_TRUE(values.empty());
  EXPECT_FALSE(fs::exists(autostart_));

  ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/t" -q)"), 0u);
  EXPECT_EQ(reg_.ReadString(HKCU, kRun, "Other", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), 0u);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(reg_.ReadString(HKCU, kRun, "Tarvex", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), ERROR_FILE_NOT_FOUND);
}

TEST_F(AutostartKeyTest, TheKeyAndValueNamesIgnoreCaseAndTheKeyIsNormalised) {
  ASSERT_EQ(reg_.WriteString(HKCU, "software\\MICROSOFT\\windows\\CurrentVersion\\run", "Tarvex",
                             R"("/opt/t" -q)"),
            0u);
  EXPECT_EQ(Files(), std::vector<std::string>{"Tarvex.desktop"});
  Registry::Value v;
  ASSERT_EQ(reg_.ReadValue(HKCU, "\\Software\\\\Microsoft\\Windows\\CurrentVersion\\Run\\",
                           "TARVEX", 1000, &v),
            0u);
  EXPECT_EQ(v.name, "Tarvex");  // as stored
  // A rewrite in another case keeps the file (and the stored name).
  ASSERT_EQ(reg_.WriteString(HKCU, kRun, "tarvex", R"("/opt/u" -q)"), 0u);
  EXPECT_EQ(Files(), std::vector<std::string>{"Tarvex.desktop"});
  EXPECT_EQ(Line(ReadAll(File("Tarvex.desktop")), "Exec"), R"("/opt/u" -q)");
  EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "TarVex"), 0u);
  EXPECT_TRUE(Files().empty());
}

TEST_F(AutostartKeyTest, ForeignFilesAreNeverListedChangedOrDeleted) {
  const std::string foreign =
      "[Desktop Entry]\nType=Application\nName=Other\nExec=/usr/bin/other\n";
  const std::string copied =  // our entry copied under another name
      "[Desktop Entry]\nType=Application\nName=Tarvex\nExec=\"/opt/t\" -q\n"
      "X-Tarvex-Run-Value=Tarvex\n";
  const std::string elsewhere =  // the marker outside [Desktop Entry]
      "[Desktop Entry]\nExec=/usr/bin/x\n[Other Group]\nX-Tarvex-Run-Value=Grouped\n";
  Put("Other.desktop", foreign);
  Put("Copy.desktop", copied);
  Put("Grouped.desktop", elsewhere);
  Put("Tarvex.desktop.bak", copied);
  fs::create_symlink(File("Copy.desktop"), File("Link.desktop"));
  ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/t" -q)"), 0u);

  std::vector<Registry::Value> values;
  ASSERT_EQ(reg_.EnumValues(HKCU, kRun, &values), 0u);
  EXPECT_EQ(Names(values), "Tarvex");
  for (const char* name : {"Other", "Copy", "Grouped", "Link"}) {
    SCOPED_TRACE(name);
    std::string text;
    EXPECT_EQ(reg_.ReadString(HKCU, kRun, name, &text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, name), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg_.WriteString(HKCU, kRun, name, "/opt/evil"), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(ReadAll(File("Other.desktop")), foreign);
  EXPECT_EQ(ReadAll(File("Copy.desktop")), copied);
  EXPECT_EQ(ReadAll(File("Grouped.desktop")), elsewhere);
  EXPECT_TRUE(fs::is_symlink(File("Link.desktop")));
  EXPECT_EQ(Files(),
            (std::vector<std::string>{"Copy.desktop", "Grouped.desktop", "Link.desktop",
                                      "Other.desktop", "Tarvex.desktop", "Tarvex.desktop.bak"}));
}

TEST_F(AutostartKeyTest, OursMalformedOrSwitchedOffReadsAsAbsent) {
  const std::string head = "[Desktop Entry]\nType=Application\nX-Tarvex-Run-Value=Tarvex\n";
  struct Case {
    const char* what;
    std::string text;
    const char* read;  // nullptr: absent
    bool ours = true;
  } cases[] = {
      {"no Exec", head, nullptr},
      {"open quote", head + "Exec=\"/opt/t -q\n", nullptr},
      {"field code", head + "Exec=\"/opt/t\" %U\n", nullptr},
      {"hidden", head + "Exec=\"/opt/t\" -q\nHidden=true\n", nullptr},
      {"disabled", head + "Exec=\"/opt/t\" -q\nX-GNOME-Autostart-enabled=false\n", nullptr},
      {"unwritable program", head + "Exec=\"/a\\\\\"b c\"\n", nullptr},
      {"garbage", head + std::string("Exec=\"/opt/\0\xff\"\n", 15), nullptr},
      {"edited by hand",
       "# mine\r\n[Desktop Entry]\r\nExec = /opt/t  -q\r\n"
       "X-Tarvex-Run-Value = Tarvex\r\n[Desktop Action x]\r\nExec=/bin/no\r\n",
       R"("/opt/t" -q)"},
      // Too big to read: it cannot be told ours, so it is left alone.
      {"too big", head + "Exec=/opt/t\n#" + std::string(70000, 'x') + "\n", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put("Tarvex.desktop", c.text);
    std::string text;
    std::vector<Registry::Value> values;
    ASSERT_EQ(reg_.EnumValues(HKCU, kRun, &values), 0u);
    if (c.read) {
      EXPECT_EQ(reg_.ReadString(HKCU, kRun, "Tarvex", &text), 0u);
      EXPECT_EQ(text, c.read);
      EXPECT_EQ(Names(values), "Tarvex");
    } else {
      EXPECT_EQ(reg_.ReadString(HKCU, kRun, "Tarvex", &text), ERROR_FILE_NOT_FOUND);
      EXPECT_TRUE(values.empty());
    }
    if (!c.ours) {
      EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), ERROR_FILE_NOT_FOUND);
      EXPECT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", "/opt/t"), ERROR_ACCESS_DENIED);
      EXPECT_EQ(ReadAll(File("Tarvex.desktop")), c.text);
      continue;
    }
    // Still ours: a delete removes it, a write replaces it.
    EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), 0u);
    EXPECT_TRUE(Files().empty());
    Put("Tarvex.desktop", c.text);
    ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/t" -q)"), 0u);
    EXPECT_EQ(reg_.ReadString(HKCU, kRun, "Tarvex", &text), 0u);
    EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), 0u);
  }
}

TEST_F(AutostartKeyTest, HostileNamesAreRefused) {
  const std::string names[] = {"",          "..",        "../evil", "a/b",
                               "/etc/evil", "a\\b",      "x..y",    std::string("a\0b", 3),
                               "a\nb",      "tab\there", "del\x7f", std::string(250, 'n')};
  fs::create_directories(autostart_);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string text;
    Registry::Value v;
    EXPECT_EQ(reg_.WriteString(HKCU, kRun, name, "/opt/t -q"), ERROR_INVALID_NAME);
    EXPECT_EQ(reg_.ReadString(HKCU, kRun, name, &text), ERROR_INVALID_NAME);
    EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, name), ERROR_INVALID_NAME);
  }
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 1);  // the folder only
  // Names with dots, spaces and other characters are fine.
  EXPECT_EQ(reg_.WriteString(HKCU, kRun, " Tarvex v1.2 (beta)", "/opt/t"), 0u);
  std::string text;
  EXPECT_EQ(reg_.ReadString(HKCU, kRun, " Tarvex v1.2 (beta)", &text), 0u);
  EXPECT_EQ(Line(ReadAll(File(" Tarvex v1.2 (beta).desktop")), "X-Tarvex-Run-Value"),
            "\\sTarvex v1.2 (beta)");
}

TEST_F(AutostartKeyTest, OnlyTextCommandsAreWritten) {
  struct Case {
    const char* what;
    uint32_t type;
    std::string data;
    uint32_t code;
  } cases[] = {
      {"dword", REG_DWORD, std::string("\1\0\0\0", 4), ERROR_INVALID_PARAMETER},
      {"binary", REG_BINARY, "/opt/t", ERROR_INVALID_PARAMETER},
      {"none", REG_NONE, "", ERROR_INVALID_PARAMETER},
      {"empty", REG_SZ, Registry::EncodeString(""), ERROR_INVALID_DATA},
      {"empty program", REG_SZ, Registry::EncodeString(R"("" -q)"), ERROR_INVALID_DATA},
      {"control character", REG_SZ, Registry::EncodeString("/opt/t -q\n-x"), ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(reg_.WriteValue(HKCU, kRun, "Tarvex", c.type, c.data), c.code);
  }
  EXPECT_TRUE(Files().empty());
}

TEST_F(AutostartKeyTest, EnumerationFollowsFileNamesAndReportsSizes) {
  ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/t" -q)"), 0u);
  ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Alpha", "/opt/a"), 0u);
  Registry::Value v;
  ASSERT_EQ(reg_.EnumValue(HKCU, kRun, 0, 255, 1000, &v), 0u);
  EXPECT_EQ(v.name, "Alpha");
  EXPECT_EQ(Registry::DecodeString(v.data), R"("/opt/a")");
  ASSERT_EQ(reg_.EnumValue(HKCU, kRun, 1, 255, 1000, &v), 0u);
  EXPECT_EQ(v.name, "Tarvex");
  EXPECT_EQ(reg_.EnumValue(HKCU, kRun, 2, 255, 1000, &v), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(reg_.EnumValue(HKCU, kRun, 1, 5, 1000, &v), ERROR_MORE_DATA);
  EXPECT_EQ(reg_.EnumValue(HKCU, kRun, 1, 255, 10, &v), ERROR_MORE_DATA);
  EXPECT_EQ(reg_.ReadValue(HKCU, kRun, "Tarvex", 10, &v), ERROR_MORE_DATA);
  std::vector<std::string> subkeys{"x"};
  EXPECT_EQ(reg_.EnumSubkeys(HKCU, kRun, &subkeys), 0u);
  EXPECT_TRUE(subkeys.empty());
}


TEST_F(AutostartKeyTest, AFailedWriteLeavesTheOldFile) {
  ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/t" -q)"), 0u);
  const std::string old = ReadAll(File("Tarvex.desktop"));

  // The disk takes only part of the new file.
  uint32_t code;
  {
    testing::FileSizeLimit limit(old.size() + 16);
    code = reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/t" -q )" + std::string(600, 'x'));
  }
  EXPECT_NE(code, 0u);
  EXPECT_EQ(ReadAll(File("Tarvex.desktop")), old);
  EXPECT_EQ(Files(), std::vector<std::string>{"Tarvex.desktop"});  // no temporary left

  // A failure of the file-system seam passes on, and nothing changes.
  FaultyFileSystem faulty(FileSystem::Native());
  reg_.SetAutostartFolder(autostart_, &faulty);
  faulty.FailNth(FaultyFileSystem::Op::Write, 1, ERROR_DISK_FULL);
  EXPECT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/u" -q)"), ERROR_DISK_FULL);
  faulty.FailNth(FaultyFileSystem::Op::Delete, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadAll(File("Tarvex.desktop")), old);
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Write), 1);
}

TEST_F(AutostartKeyTest, TheRegistrysOtherKeysAreUnaffected) {
  const char* near[] = {
      "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
      "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Sub",
      "Software\\Microsoft\\Windows\\CurrentVersion",
      "Software/Microsoft/Windows/CurrentVersion/Run",  // "/" is no separator
  };
  ASSERT_EQ(reg_.WriteString(HKCU, kSettings, "Tarvex", "setting"), 0u);
  for (const char* key : near) ASSERT_EQ(reg_.WriteString(HKCU, key, "Tarvex", "/opt/t"), 0u);
  Registry machine(dir_ / "registry", /*allowMachineWrites=*/true);
  machine.SetAutostartFolder(autostart_);
  ASSERT_EQ(machine.WriteString(Hive::LocalMachine, kRun, "Tarvex", "/opt/t"), 0u);
  EXPECT_FALSE(fs::exists(autostart_));

  ASSERT_EQ(reg_.WriteString(HKCU, kRun, "Tarvex", R"("/opt/run" -q)"), 0u);
  ASSERT_EQ(reg_.DeleteValue(HKCU, kRun, "Tarvex"), 0u);
  std::string text;
  EXPECT_EQ(reg_.ReadString(HKCU, kSettings, "Tarvex", &text), 0u);
  EXPECT_EQ(text, "setting");
  for (const char* key : near) {
    SCOPED_TRACE(key);
    EXPECT_EQ(reg_.ReadString(HKCU, key, "Tarvex", &text), 0u);
    EXPECT_EQ(text, "/opt/t");
  }
  EXPECT_EQ(machine.ReadString(Hive::LocalMachine, kRun, "Tarvex", &text), 0u);
  EXPECT_EQ(text, "/opt/t");
  std::vector<std::string> subkeys;
  ASSERT_EQ(reg_.EnumSubkeys(HKCU, "Software\\Microsoft\\Windows\\CurrentVersion", &subkeys), 0u);
  EXPECT_EQ(subkeys, (std::vector<std::string>{"RunOnce", "Run"}));
}

// Sets environment variables for one scope.

TEST(AutostartFolderConfig, FromOurVariableThenXdgThenHome) {
  // A registry made on a folder keeps the entries beside it; the process's
  // registry uses the configured folder.
  EXPECT_EQ(Registry("/r").autostartFolder(), "/r/autostart");
  EXPECT_EQ(Registry::Process().autostartFolder(), PlatformConfig::Current().autostartDir);

  struct Case {
    const char* ours;
    const char* xdg;
    const char* want;
  } cases[] = {
      {nullptr, nullptr, "/home/u/.config/autostart"},
      {nullptr, "relative", "/home/u/.config/autostart"},
      {nullptr, "/x/config", "/x/config/autostart"},
      {"/a/start", "/x/config", "/a/start"},
  };
  testing::ScopedEnv env;
  env.Set("HOME", "/home/u");
  for (const Case& c : cases) {
    env.Set("TARVEX_AUTOSTART_DIR", c.ours);
    env.Set("XDG_CONFIG_HOME", c.xdg);
    EXPECT_EQ(PlatformConfig::FromEnvironment().autostartDir, c.want);
  }
}

}  // namespace
}  // namespace tarvex
