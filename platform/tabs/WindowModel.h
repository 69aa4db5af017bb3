// The browser's windows as the client reads them to find its open tabs: the
// desktop's top-level windows, each with a class name and child windows, and
// the accessibility objects behind a window, each with a role, a
// description and children. The calls below answer the way the system's
// window and accessibility calls do, each with the failure it can report: a
// Win32 code (what GetLastError gives) for the window calls, an HRESULT for
// the accessibility calls (failed when negative). Code that walks a browser's
// window tree is written once against these calls.
//
// No browser runs on this platform: the process-wide model holds no windows.
// Tests build the window trees they need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Win32Error.h"

namespace tarvex {

// The object id of a window's client area (OBJID_CLIENT).
inline constexpr int32_t kObjectIdClient = -4;
// The role of a page tab list (ROLE_SYSTEM_PAGETABLIST).
inline constexpr int32_t kRolePageTabList = 60;
// The success code of a call that handed over fewer items than asked for
// (S_FALSE).
inline constexpr int32_t kFewerThanAsked = 1;

// An accessible object, or a simple element: a child that is only a child
// id, with no object of its own to ask.
struct AccessibleNode {
  bool isObject = true;
  int32_t role = 0;
  std::string description;
  std::vector<AccessibleNode> children;

  // The result of each call (S_OK answers normally).
  int32_t queryInterfaceResult = win32::S_OK;  // asking the object for IAccessible
  int32_t roleResult = win32::S_OK;
  int32_t descriptionResult = win32::S_OK;
  int32_t childCountResult = win32::S_OK;
  // The result of AccessibleChildren; the children it hands over are still
  // handed over when it reports a failure.
  int32_t childrenResult = win32::S_OK;
  // The count get_accChildCount reports; the number of children when unset.
  std::optional<long> reportedChildCount;
  // At most this many children are handed over; as many as asked when unset.
  std::optional<size_t> childrenHandedOver;

  static AccessibleNode Object(int32_t role, std::string description = {},
                               std::vector<AccessibleNode> children = {});
  static AccessibleNode Element();
};

struct WindowNode {
  std::string className;
  std::vector<WindowNode> children;  // in z-order
  // The client area's accessible object; when unset, asking for it fails
  // with `accessibleResult` (E_FAIL when that says S_OK).
  std::optional<AccessibleNode> accessible;
  int32_t accessibleResult = win32::S_OK;
  // Reading the class name fails with this code (0: it succeeds).
  uint32_t classNameError = win32::ERROR_SUCCESS;
  // The code a search among this window's children reports when it finds
  // no child of the class asked for.
  uint32_t findError = win32::ERROR_FILE_NOT_FOUND;

  static WindowNode Make(std::string className, std::vector<WindowNode> children = {});
};

// The desktop's top-level windows.
struct WindowModel {
  std::vector<WindowNode> topLevel;  // in z-order
  // Enumerating the windows fails with this code, visiting none (0: it
  // succeeds).
  uint32_t enumerationError = win32::ERROR_SUCCESS;

  // The process-wide model: no windows on this platform.
  static const WindowModel& Process();
};

// ---- Window calls --------------------------------------------------------------

// EnumWindows: calls `visit` for each top-level window in order until it
// returns false. False when the enumeration failed (`*error` is its code) or
// a visit returned false (`*error` is 0).
bool EnumWindows(const WindowModel& model, const std::function<bool(const WindowNode&)>& visit,
                 uint32_t* error = nullptr);

struct ClassNameAnswer {
  bool ok = false;
  std::string name;
  uint32_t error = win32::ERROR_SUCCESS;  // when not ok
};
// GetClassNameW into a buffer of `bufferChars` UTF-16 units: the name is cut
// to one unit less than the buffer (the rest holds the terminator). A
// buffer of no units fails with ERROR_INVALID_PARAMETER.
ClassNameAnswer GetClassName(const WindowNode& window, size_t bufferChars);

struct FoundWindow {
  const WindowNode* window = nullptr;
  uint32_t error = win32::ERROR_SUCCESS;  // when nothing was found
};
// FindWindowExW(parent, no child after, class, no title): the first direct
// child of `parent` whose class name is exactly `className`.
FoundWindow FindChildWindow(const WindowNode& parent, std::string_view className);

// ---- Accessibility calls -------------------------------------------------------

struct FoundAccessible {
  const AccessibleNode* object = nullptr;
  int32_t result = win32::S_OK;
};
// AccessibleObjectFromWindow(window, objectId, IID_IAccessible): only the
// client area's object is modelled; any other id fails with E_INVALIDARG.
FoundAccessible AccessibleObjectFromWindow(const WindowNode& window, int32_t objectId);

// IDispatch::QueryInterface(IID_IAccessible) of an object.
int32_t QueryAccessible(const AccessibleNode& object);

struct CountAnswer {
  int32_t result = win32::S_OK;
  long count = 0;
};
// IAccessible::get_accChildCount.
CountAnswer GetChildCount(const AccessibleNode& object);

struct RoleAnswer {
  int32_t result = win32::S_OK;
  int32_t role = 0;
};
// IAccessible::get_accRole of the object itself (child id 0).
RoleAnswer GetRole(const AccessibleNode& object);

struct TextAnswer {
  int32_t result = win32::S_OK;
  std::string text;
};
// IAccessible::get_accDescription of the object itself.
TextAnswer GetDescription(const AccessibleNode& object);

struct ChildrenAnswer {
  int32_t result = win32::S_OK;
  std::vector<const AccessibleNode*> children;  // objects and simple elements
};
// AccessibleChildren(object, start, count): up to `count` children from
// index `start`. Fewer than asked gives kFewerThanAsked; a negative start or
// count gives E_INVALIDARG and no children.
ChildrenAnswer AccessibleChildren(const AccessibleNode& object, long start, long count);

}  // namespace tarvex
