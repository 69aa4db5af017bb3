#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/tabs/WindowModel.h"

namespace tarvex {
namespace {

using win32::E_FAIL;
using win32::E_INVALIDARG;
using win32::S_OK;

std::vector<std::string> Visited(const WindowModel& model, size_t stopAfter, bool* result,
                                 uint32_t* error) {
  std::vector<std::string> visited;
  *result = EnumWindows(
      model,
      [&](const WindowNode& window) {
        visited.push_back(window.className);
        return visited.size() < stopAfter;
      },
      error);
  return visited;
}

TEST(WindowModel, ThisPlatformHasNoWindowsToEnumerate) {
  bool ok = false;
  uint32_t error = 99;
  EXPECT_TRUE(Visited(WindowModel::Process(), 100, &ok, &error).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(error, 0u);
}

TEST(WindowModel, EnumerationVisitsInOrderUntilAVisitSaysStop) {
  WindowModel model;
  model.topLevel = {WindowNode::Make("Shell_TrayWnd"), WindowNode::Make("IEFrame"),
                    WindowNode::Make("Notepad")};
  bool ok = false;
  uint32_t error = 99;
  EXPECT_EQ(Visited(model, 100, &ok, &error),
            (std::vector<std::string>{"Shell_TrayWnd", "IEFrame", "Notepad"}));
  EXPECT_TRUE(ok);

  EXPECT_EQ(Visited(model, 2, &ok, &error), (std::vector<std::string>{"Shell_TrayWnd", "IEFrame"}));
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, 0u);

  model.enumerationError = win32::ERROR_ACCESS_DENIED;
  EXPECT_TRUE(Visited(model, 100, &ok, &error).empty());
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, win32::ERROR_ACCESS_DENIED);
}

TEST(WindowModel, ClassNameIsCutToTheBufferWithoutSplittingACharacter) {
  std::string longName(200, 'a');
  // U+1F600 takes two UTF-16 units: it fits only whole.
  std::string astral = std::string(125, 'b') + "\xF0\x9F\x98\x80";
  struct Case {
    std::string name;
    size_t buffer;
    std::string expected;
  } cases[] = {
      {"IEFrame", 127, "IEFrame"},
      {longName, 127, std::string(126, 'a')},
      {astral, 127, std::string(125, 'b')},
      {astral, 128, astral},
      {"IEFrame", 4, "IEF"},
  };
  for (const Case& c : cases) {
    ClassNameAnswer answer = GetClassName(WindowNode::Make(c.name), c.buffer);
    EXPECT_TRUE(answer.ok);
    EXPECT_EQ(answer.name, c.expected) << c.buffer;
  }

  WindowNode broken = WindowNode::Make("IEFrame");
  broken.classNameError = win32::ERROR_INVALID_HANDLE;
  ClassNameAnswer failed = GetClassName(broken, 127);
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.error, win32::ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetClassName(WindowNode::Make("IEFrame"), 0).error, win32::ERROR_INVALID_PARAMETER);
}

TEST(WindowModel, ChildSearchFindsTheFirstDirectChildOfExactlyThatClass) {
  WindowNode frame = WindowNode::Make(
      "IEFrame", {WindowNode::Make("workerw"),
                  WindowNode::Make("Frame Tab", {WindowNode::Make("ReBarWindow32")}),
                  WindowNode::Make("WorkerW", {WindowNode::Make("first")}),
                  WindowNode::Make("WorkerW", {WindowNode::Make("second")})});
  FoundWindow worker = FindChildWindow(frame, "WorkerW");
  ASSERT_NE(worker.window, nullptr);
  EXPECT_EQ(worker.window->children[0].className, "first");

  // Grandchildren are not searched; nothing found reports the window's code.
  FoundWindow rebar = FindChildWindow(frame, "ReBarWindow32");
  EXPECT_EQ(rebar.window, nullptr);
  EXPECT_EQ(rebar.error, win32::ERROR_FILE_NOT_FOUND);
  frame.findError = win32::ERROR_INVALID_HANDLE;
  EXPECT_EQ(FindChildWindow(frame, "ReBarWindow32").error, win32::ERROR_INVALID_HANDLE);
}

TEST(WindowModel, OnlyTheClientAreaHasAnAccessibleObject) {
  WindowNode window = WindowNode::Make("DirectUIHWND");
  EXPECT_EQ(AccessibleObjectFromWindow(window, kObjectIdClient).result, E_FAIL);
  window.accessibleResult = win32::E_ACCESSDENIED;
  EXPECT_EQ(AccessibleObjectFromWindow(window, kObjectIdClient).result, win32::E_ACCESSDENIED);

  window.accessible = AccessibleNode::Object(0);
  EXPECT_EQ(AccessibleObjectFromWindow(window, kObjectIdClient).object, nullptr);
  window.accessibleResult = S_OK;
  FoundAccessible found = AccessibleObjectFromWindow(window, kObjectIdClient);
  EXPECT_EQ(found.result, S_OK);
  EXPECT_EQ(found.object, &*window.accessible);
  EXPECT_EQ(AccessibleObjectFromWindow(window, 0).result, E_INVALIDARG);
}

TEST(WindowModel, ObjectCallsReportTheirFailuresWithoutAValue) {
  AccessibleNode tab = AccessibleNode::Object(37, "Title\nhttp://a/", {AccessibleNode::Element()});
  EXPECT_EQ(GetRole(tab).role, 37);
  EXPECT_EQ(GetDescription(tab).text, "Title\nhttp://a/");
  EXPECT_EQ(GetChildCount(tab).count, 1);
  tab.reportedChildCount = 5;
  EXPECT_EQ(GetChildCount(tab).count, 5);

  tab.roleResult = tab.descriptionResult = tab.childCountResult = E_FAIL;
  tab.queryInterfaceResult = win32::E_NOTIMPL;
  EXPECT_EQ(GetRole(tab).result, E_FAIL);
  EXPECT_EQ(GetRole(tab).role, 0);
  EXPECT_EQ(GetDescription(tab).result, E_FAIL);
  EXPECT_EQ(GetDescription(tab).text, "");
  EXPECT_EQ(GetChildCount(tab).count, 0);
  EXPECT_EQ(QueryAccessible(tab), win32::E_NOTIMPL);
}

TEST(WindowModel, ChildrenAreHandedOverFromTheStartUpToTheCount) {
  AccessibleNode list =
      AccessibleNode::Object(kRolePageTabList, "",
                             {AccessibleNode::Object(37, "a"), AccessibleNode::Element(),
                              AccessibleNode::Object(37, "c")});
  struct Case {
    long start, count;
    std::optional<size_t> handedOver;
    int32_t childrenResult;
    int32_t result;
    size_t first, n;  // the children handed over: [first, first + n)
  } cases[] = {
      {0, 3, std::nullopt, S_OK, S_OK, 0, 3},
      {1, 2, std::nullopt, S_OK, S_OK, 1, 2},
      {0, 5, std::nullopt, S_OK, kFewerThanAsked, 0, 3},
      {7, 1, std::nullopt, S_OK, kFewerThanAsked, 3, 0},
      {0, 0, std::nullopt, S_OK, S_OK, 0, 0},
      {0, 3, 1, E_FAIL, E_FAIL, 0, 1},  // a failure that still hands some over
      {0, 3, 2, S_OK, kFewerThanAsked, 0, 2},
      {-1, 3, std::nullopt, S_OK, E_INVALIDARG, 0, 0},
      {0, -3, std::nullopt, S_OK, E_INVALIDARG, 0, 0},
  };
  for (const Case& c : cases) {
    list.childrenHandedOver = c.handedOver;
    list.childrenResult = c.childrenResult;
    ChildrenAnswer answer = AccessibleChildren(list, c.start, c.count);
    EXPECT_EQ(answer.result, c.result) << c.start << "," << c.count;
    ASSERT_EQ(answer.children.size(), c.n) << c.start << "," << c.count;
    for (size_t i = 0; i < c.n; ++i) EXPECT_EQ(answer.children[i], &list.children[c.first + i]);
  }
  EXPECT_FALSE(list.children[1].isObject);
}

}  // namespace
}  // namespace tarvex
