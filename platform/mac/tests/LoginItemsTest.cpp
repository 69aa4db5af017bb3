#include <gtest/gtest.h>

#include "platform/mac/LoginItems.h"
#include "platform/mac/Plist.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex::mac {
namespace {

using Outcome = LoginItemUpdate::Outcome;
constexpr char kApp[] = "/Applications/Tarvex for Safari.app";

Value Entry(const std::string& path, bool hide = false) { return NewDict({{"Path", path}, {"Hide", hide}}); }

TEST(MacLoginItems, TheAgentsEntryFollowsTheWishAndNothingElseChanges) {
  struct Case {
    const char* name;
    std::optional<Array> before;  // nothing: no file
    bool wanted;
    Outcome outcome;
    std::optional<Array> after;  // nothing: no file
  } cases[] = {
      {"missing file, wanted", std::nullopt, true, Outcome::Written, Array{Entry(kApp)}},
      {"missing file, unwanted", std::nullopt, false, Outcome::Unchanged, std::nullopt},
      {"added after the others", Array{Entry("/Applications/Mail.app", true), "odd"}, true, Outcome::Written,
       Array{Entry("/Applications/Mail.app", true), "odd", Entry(kApp)}},
      {"already there", Array{Entry(kApp, true)}, true, Outcome::Unchanged, Array{Entry(kApp, true)}},
      {"every duplicate removed", Array{Entry(kApp), Entry("/A.app"), Entry(kApp, true)}, false,
       Outcome::Written, Array{Entry("/A.app")}},
      {"not there", Array{Entry("/A.app")}, false, Outcome::Unchanged, Array{Entry("/A.app")}},
      {"a path that only looks alike", Array{Entry("/Applications/tarvex for safari.app")}, true,
       Outcome::Written, Array{Entry("/Applications/tarvex for safari.app"), Entry(kApp)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    std::string path = dir / "Library/Preferences/loginwindow.plist";
    std::string before;
    if (c.before) {
      auto dict = NewDict({{kAutoLaunchedApplications, NewArray(*c.before)}, {"OtherKey", int64_t{5}}});
      ASSERT_EQ(WritePlistDictAtomically(path, dict), "");
      before = testing::ReadAll(path);
    }
    LoginItemUpdate update = UpdateLoginItem(path, kApp, c.wanted);
    EXPECT_EQ(update.outcome, c.outcome) << update.error;
    PlistRead read = ReadPlistDict(path);
    if (!c.after) {
      EXPECT_EQ(read.status, PlistRead::Status::Missing);
      continue;
    }
    ASSERT_EQ(read.status, PlistRead::Status::Dict);
    EXPECT_EQ((*read.dict)[kAutoLaunchedApplications], Value(NewArray(*c.after)));
    if (c.before) {
      EXPECT_EQ((*read.dict)["OtherKey"], Value(int64_t{5})) << "other keys kept";
    }
    if (c.outcome == Outcome::Unchanged) {
      EXPECT_EQ(testing::ReadAll(path), before) << "not rewritten";
    }
  }
}

TEST(MacLoginItems, AFileThatCannotBeReadIsLeftAlone) {
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"not a property list", std::string("\x00\x01garbage", 9)},
      {"a list at the top", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"},
      {"its list is a text",
       PlistXml(NewDict({{kAutoLaunchedApplications, "/Applications/Mail.app"}}))},
  };
  for (bool wanted : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (wanted ? " (wanted)" : " (unwanted)"));
      testing::TempDir dir;
      std::string path = dir / "loginwindow.plist";
      testing::WriteAll(path, c.content);
      LoginItemUpdate update = UpdateLoginItem(path, kApp, wanted);
      EXPECT_EQ(update.outcome, Outcome::Unreadable);
      EXPECT_NE(update.error.find(path), std::string::npos) << update.error;
      EXPECT_EQ(testing::ReadAll(path), c.content);
    }
  }
}

TEST(MacLoginItems, AFailedWriteIsReportedAndTheOldFileKept) {
  testing::TempDir dir;
  std::string path = dir / "loginwindow.plist";
  Array many;
  for (int i = 0; i < 2000; ++i) many.push_back(Entry("/Applications/App" + std::to_string(i) + ".app"));
  ASSERT_EQ(WritePlistDictAtomically(path, NewDict({{kAutoLaunchedApplications, NewArray(many)}})), "");
  std::string before = testing::ReadAll(path);
  LoginItemUpdate update;
  {
    testing::FileSizeLimit limit(before.size() / 2);
    update = UpdateLoginItem(path, kApp, true);
  }
  EXPECT_EQ(update.outcome, Outcome::WriteFailed);
  EXPECT_NE(update.error.find(path), std::string::npos);
  EXPECT_EQ(testing::ReadAll(path), before);
}

}  // namespace
}  // namespace tarvex::mac
