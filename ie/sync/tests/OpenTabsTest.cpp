// Reading the browser's open tabs from window trees: every path to the tab
// row, every failure of the window and accessibility calls, and what is
// listed of each tab.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ie/foundation/Logger.h"
#include "ie/sync/OpenTabs.h"
#include "nodeset/Json.h"
#include "platform/Win32Error.h"
#include "platform/clock/Clock.h"
#include "platform/tabs/WindowModel.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using win32::E_ACCESSDENIED;
using win32::E_FAIL;
using win32::E_INVALIDARG;
using win32::E_NOTIMPL;

constexpr int32_t kRolePageTab = 37;
constexpr int32_t kRoleClient = 10;
constexpr int32_t kRolePushButton = 43;

AccessibleNode Tab(const std::string& description) {
  return AccessibleNode::Object(kRolePageTab, description);
}

AccessibleNode TabList(std::vector<AccessibleNode> tabs, int32_t role = kRolePageTabList) {
  return AccessibleNode::Object(role, "", std::move(tabs));
}

// The tab row's accessible object with its children.
AccessibleNode Row(std::vector<AccessibleNode> children) {
  return AccessibleNode::Object(kRoleClient, "", std::move(children));
}

// A browser frame: IEFrame > `bar` > ReBarWindow32 > TabBandClass >
// DirectUIHWND with the tab row `row`.
WindowNode Frame(AccessibleNode row, const std::string& bar = "CommandBarClass") {
  WindowNode tabRow = WindowNode::Make("DirectUIHWND");
  tabRow.accessible = std::move(row);
  return WindowNode::Make(
      "IEFrame",
      {WindowNode::Make(
          bar, {WindowNode::Make("ReBarWindow32", {WindowNode::Make("TabBandClass", {tabRow})})})});
}

// The usual frame: one tab list of two web pages.
WindowNode UsualFrame() {
  return Frame(Row({TabList({Tab("Tarvex\nhttps://www.tarvex.com/"), Tab("News\nhttp://news/")})}));
}
constexpr const char* kUsualTabs =
    R"([{"tabs":[{"title":"Tarvex","url":"https://www.tarvex.com/"},)"
    R"({"title":"News","url":"http://news/"}]}])";
const std::vector<std::string> kUsualLines = {"Found local tab: Tarvex [https://www.tarvex.com/]",
                                              "Found local tab: News [http://news/]"};

// The window below `window` along the class names of `path`.
WindowNode& At(WindowNode& window, std::initializer_list<const char*> path) {
  WindowNode* at = &window;
  for (const char* name : path) {
    auto it = std::find_if(at->children.begin(), at->children.end(),
                           [&](const WindowNode& child) { return child.className == name; });
    if (it == at->children.end()) throw std::runtime_error(std::string("no child ") + name);
    at = &*it;
  }
  return *at;
}
const std::initializer_list<const char*> kToTabRow = {"CommandBarClass", "ReBarWindow32",
                                                      "TabBandClass", "DirectUIHWND"};
AccessibleNode& RowOf(WindowNode& frame) {
  return *At(frame, kToTabRow).accessible;
}

void RemoveChild(WindowNode& parent, const std::string& className) {
  std::erase_if(parent.children,
                [&](const WindowNode& child) { return child.className == className; });
}

class OpenTabsTest : public ::testing::Test {
 protected:
  // Runs GetIEOpenTabs on `window`; the tab lists as compact JSON, and the
  // log lines it wrote.
  std::string Read(const WindowNode& window, std::vector<std::string>* lines) {
    size_t from = LogText().size();
    Json::Value windows(Json::arrayValue);
    EXPECT_TRUE(GetIEOpenTabs(window, windows, logger_));
    *lines = LinesOf(LogText().substr(from));
    return WriteCompactJson(windows);
  }

  std::string LogText() { return testing::ReadAll(logger_.path()); }
  static std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
      size_t mark = line.find(": ");
      lines.push_back(mark == std::string::npos ? line : line.substr(mark + 2));
    }
    return lines;
  }

  testing::TempDir dir_;
  FakeClock clock_{1796858716};
  Logger logger_{dir_ / "tarvex.log", FileSystem::Native(), clock_};
};

TEST_F(OpenTabsTest, PathsToTheTabRowAndEveryFailureOnTheWay) {
  struct Case {
    const char* name;
    std::function<void(WindowNode&)> change;
    const char* tabs;
    std::vector<std::string> lines;
  } cases[] = {
      {"the command bar", [](WindowNode&) {}, kUsualTabs, kUsualLines},
      {"the worker window when the command bar has no tab band",
       [](WindowNode& frame) {
         WindowNode band = At(frame, {"CommandBarClass", "ReBarWindow32", "TabBandClass"});
         RemoveChild(At(frame, {"CommandBarClass", "ReBarWindow32"}), "TabBandClass");
         frame.children.push_back(
             WindowNode::Make("WorkerW", {WindowNode::Make("ReBarWindow32", {std::move(band)})}));
       },
       kUsualTabs,
       {"Unable to find TabBandClass under ReBarWindow32: 2", kUsualLines[0], kUsualLines[1]}},
      {"no command bar (the worker window is not tried)",
       [](WindowNode& frame) {
         frame.children[0].className = "WorkerW";
         frame.findError = win32::ERROR_INVALID_HANDLE;
       },
       "[]",
       {"Unable to find CommandBarClass under IEFrame: 6"}},
      {"no rebar under the command bar",
       [](WindowNode& frame) { RemoveChild(At(frame, {"CommandBarClass"}), "ReBarWindow32"); },
       "[]",
       {"Unable to find ReBarWindow32 under CommandBarClass: 2"}},
      {"no tab band anywhere",
       [](WindowNode& frame) {
         RemoveChild(At(frame, {"CommandBarClass", "ReBarWindow32"}), "TabBandClass");
         frame.children.push_back(WindowNode::Make("WorkerW", {WindowNode::Make("ReBarWindow32")}));
       },
       "[]",
       {"Unable to find TabBandClass under ReBarWindow32: 2",
        "Unable to find TabBandClass under ReBarWindow32: 2"}},
      {"no tab band and no worker window",
       [](WindowNode& frame) {
         RemoveChild(At(frame, {"CommandBarClass", "ReBarWindow32"}), "TabBandClass");
       },
       "[]",
       {"Unable to find TabBandClass under ReBarWindow32: 2",
        "Unable to find WorkerW under IEFrame: 2"}},
      {"no tab band and no rebar under the worker window",
       [](WindowNode& frame) {
         RemoveChild(At(frame, {"CommandBarClass", "ReBarWindow32"}), "TabBandClass");
         frame.children.push_back(WindowNode::Make("WorkerW"));
       },
       "[]",
       {"Unable to find TabBandClass under ReBarWindow32: 2",
        "Unable to find ReBarWindow32 under WorkerW: 2"}},
      {"no DirectUIHWND",
       [](WindowNode& frame) {
         WindowNode& band = At(frame, {"CommandBarClass", "ReBarWindow32", "TabBandClass"});
         band.children.clear();
         band.findError = 1400;
       },
       "[]",
       {"Unable to find DirectUIHWND under TabBandClass: 1400"}},
      {"no accessible object",
       [](WindowNode& frame) {
         WindowNode& row = At(frame, kToTabRow);
         row.accessible.reset();
         row.accessibleResult = E_ACCESSDENIED;
       },
       "[]",
       {"Unable to get IAccessible interface: -2147024891"}},
      {"the row's child count fails",
       [](WindowNode& frame) { RowOf(frame).childCountResult = E_FAIL; },
       "[]",
       {"Unable to get Objects count: -2147467259"}},
      {"the row's children fail, even with some handed over",
       [](WindowNode& frame) {
         RowOf(frame).childrenResult = E_FAIL;
         RowOf(frame).childrenHandedOver = 1;
       },
       "[]",
       {"Unable to get tabs received count: -2147467259"}},
      {"the row reports a negative count",
       [](WindowNode& frame) { RowOf(frame).reportedChildCount = -1; },
       "[]",
       {"Unable to get tabs received count: -2147024809"}},
      {"the row reports more children than it has (fewer handed over is no failure)",
       [](WindowNode& frame) { RowOf(frame).reportedChildCount = 9; }, kUsualTabs, kUsualLines},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WindowNode frame = UsualFrame();
    c.change(frame);
    std::vector<std::string> lines;
    EXPECT_EQ(Read(frame, &lines), c.tabs);
    EXPECT_EQ(lines, c.lines);
  }
}

TEST_F(OpenTabsTest, TabListsAndTabsThatFailArePassedOver) {
  AccessibleNode good = TabList({Tab("Kept\nhttps://kept/")});
  struct Case {
    const char* name;
    std::function<void(AccessibleNode& first)> change;  // on a tab list before `good`
    std::vector<std::string> lines;                     // before good's line
  } cases[] = {
      {"the tab list's interface",
       [](AccessibleNode& list) { list.queryInterfaceResult = E_NOTIMPL; },
       {"QueryInterface to tabObject failed: -2147467263"}},
      {"its role",
       [](AccessibleNode& list) { list.roleResult = E_FAIL; },
       {"Unable to receive object role: -2147467259"}},
      {"its tab count",
       [](AccessibleNode& list) { list.childCountResult = E_INVALIDARG; },
       {"Tab count failed: -2147024809"}},
      {"another role", [](AccessibleNode& list) { list.role = kRolePushButton; }, {}},
      {"a tab's interface",
       [](AccessibleNode& list) { list.children[0].queryInterfaceResult = E_NOTIMPL; },
       {"QueryInterface to newObj failed: -2147467263", "Found local tab: B [http://b/]"}},
      {"a tab's description",
       [](AccessibleNode& list) { list.children[1].descriptionResult = E_FAIL; },
       {"Found local tab: A [http://a/]", "Unable to receive tab description: -2147467259"}},
      {"the tabs, with the first still handed over",
       [](AccessibleNode& list) {
         list.childrenResult = E_FAIL;
         list.childrenHandedOver = 1;
       },
       {"Unable to get every tab of a tab list: -2147467259", "Found local tab: A [http://a/]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AccessibleNode first = TabList({Tab("A\nhttp://a/"), Tab("B\nhttp://b/")});
    c.change(first);
    WindowNode frame = Frame(Row({first, good}));
    std::vector<std::string> lines;
    std::string tabs = Read(frame, &lines);

    // What the first list still lists comes first; the good list always.
    std::vector<std::string> expected = c.lines;
    expected.push_back("Found local tab: Kept [https://kept/]");
    EXPECT_EQ(lines, expected);
    Json::Value windows;
    std::string error;
    ASSERT_TRUE(ParseJson(tabs, &windows, &error));
    ASSERT_GE(windows.size(), 1u);
    EXPECT_EQ(WriteCompactJson(windows[windows.size() - 1]),
              R"({"tabs":[{"title":"Kept","url":"https://kept/"}]})");
    size_t listedFromFirst = 0;
    for (const std::string& line : c.lines) listedFromFirst += line.starts_with("Found local tab");
    EXPECT_EQ(windows.size(), listedFromFirst ? 2u : 1u);
    if (listedFromFirst) {
      EXPECT_EQ(windows[0]["tabs"].size(), listedFromFirst);
    }
  }
}

TEST_F(OpenTabsTest, WhatATabListsAndWhatItSkips) {
  WindowNode frame = Frame(Row({
      AccessibleNode::Element(),
      TabList({Tab("  Padded title \t\n\thttps://padded/  "), Tab("https://no-title/"),
               Tab("Upper\nHTTP://upper/"), Tab("File\nfile:///C:/a.txt"), Tab("about:blank"),
               Tab("Look-alike\nhttps-like://x/"), Tab("Windows line end\r\nhttp://crlf/"),
               AccessibleNode::Element(), Tab("")}),
      TabList({Tab("Zero role\nhttp://zero/")}, 0),
      TabList({Tab("Button\nhttp://button/")}, kRolePushButton),
      TabList({Tab("Local\nfile:///index.html")}),
  }));
  std::vector<std::string> lines;
  EXPECT_EQ(Read(frame, &lines), R"([{"tabs":[{"title":"Padded title","url":"https://padded/"},)"
                                 R"({"title":"","url":"https://no-title/"},)"
                                 R"({"title":"Windows line end","url":"http://crlf/"}]},)"
                                 R"({"tabs":[{"title":"Zero role","url":"http://zero/"}]}])");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Found local tab: Padded title [https://padded/]",
                       "Found local tab:  [https://no-title/]",
                       "Non-http URL found, skipping: Upper [HTTP://upper/]",
                       "Non-http URL found, skipping: File [file:///C:/a.txt]",
                       "Non-http URL found, skipping:  [about:blank]",
                       "Non-http URL found, skipping: Look-alike [https-like://x/]",
                       "Found local tab: Windows line end [http://crlf/]",
                       "Non-http URL found, skipping:  []",
                       "Found local tab: Zero role [http://zero/]",
                       "Non-http URL found, skipping: Local [file:///index.html]",
                   }));
}

TEST_F(OpenTabsTest, OnlyBrowserFramesAreRead) {
  WindowNode unreadable = UsualFrame();
  unreadable.classNameError = win32::ERROR_ACCESS_DENIED;
  WindowNode lower = UsualFrame();
  lower.className = "ieframe";
  WindowNode longer = UsualFrame();
  longer.className = "IEFrame2";
  for (const WindowNode* window : {&unreadable, &lower, &longer}) {
    std::vector<std::string> lines;
    EXPECT_EQ(Read(*window, &lines), "[]") << window->className;
    EXPECT_TRUE(lines.empty()) << window->className;
  }
}

TEST_F(OpenTabsTest, EveryFrameIsReadAndAFailedEnumerationIsReported) {
  WindowModel model;
  WindowNode broken = UsualFrame();
  RemoveChild(broken, "CommandBarClass");
  model.topLevel = {UsualFrame(), WindowNode::Make("Shell_TrayWnd"), broken,
                    Frame(Row({TabList({Tab("Second\nhttp://second/")})}))};
  Json::Value windows(Json::arrayValue);
  EXPECT_TRUE(ReadIEOpenTabs(model, windows, logger_));
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(WriteCompactJson(windows[1]),
            R"({"tabs":[{"title":"Second","url":"http://second/"}]})");

  model.enumerationError = win32::ERROR_ACCESS_DENIED;
  EXPECT_FALSE(ReadIEOpenTabs(model, windows, logger_));
  EXPECT_TRUE(ReadIEOpenTabs(WindowModel::Process(), windows, logger_));
}

}  // namespace
}  // namespace tarvex
