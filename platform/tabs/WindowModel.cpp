#include "platform/tabs/WindowModel.h"

#include <algorithm>

#include "text/Text.h"

namespace tarvex {

AccessibleNode AccessibleNode::Object(int32_t role, std::string description,
                                      std::vector<AccessibleNode> children) {
  AccessibleNode node;
  node.role = role;
  node.description = std::move(description);
  node.children = std::move(children);
  return node;
}

AccessibleNode AccessibleNode::Element() {
  AccessibleNode node;
  node.isObject = false;
  return node;
}

WindowNode WindowNode::Make(std::string className, std::vector<WindowNode> children) {
  WindowNode window;
  window.className = std::move(className);
  window.children = std::move(children);
  return window;
}

const WindowModel& WindowModel::Process() {
  static const WindowModel* model = new WindowModel;
  return *model;
}

bool EnumWindows(const WindowModel& model, const std::function<bool(const WindowNode&)>& visit,
                 uint32_t* error) {
  if (error) *error = win32::ERROR_SUCCESS;
  if (model.enumerationError != win32::ERROR_SUCCESS) {
    if (error) *error = model.enumerationError;
    return false;
  }
  for (const WindowNode& window : model.topLevel)
    if (!visit(window)) return false;
  return true;
}

ClassNameAnswer GetClassName(const WindowNode& window, size_t bufferChars) {
  ClassNameAnswer answer;
  if (bufferChars == 0) {
    answer.error = win32::ERROR_INVALID_PARAMETER;
  } else if (window.classNameError != win32::ERROR_SUCCESS) {
    answer.error = window.classNameError;
  } else {
    answer.ok = true;
    answer.name = CutUtf16(window.className, bufferChars - 1);
  }
  return answer;
}

FoundWindow FindChildWindow(const WindowNode& parent, std::string_view className) {
  for (const WindowNode& child : parent.children)
    if (child.className == className) return {&child, win32::ERROR_SUCCESS};
  return {nullptr, parent.findError};
}

FoundAccessible AccessibleObjectFromWindow(const WindowNode& window, int32_t objectId) {
  if (objectId != kObjectIdClient) return {nullptr, win32::E_INVALIDARG};
  if (!window.accessible) {
    return {nullptr,
            window.accessibleResult != win32::S_OK ? window.accessibleResult : win32::E_FAIL};
  }
  if (window.accessibleResult < 0) return {nullptr, window.accessibleResult};
  return {&*window.accessible, win32::S_OK};
}

int32_t QueryAccessible(const AccessibleNode& object) {
  return object.queryInterfaceResult;
}

CountAnswer GetChildCount(const AccessibleNode& object) {
  if (object.childCountResult < 0) return {object.childCountResult, 0};
  long count = object.reportedChildCount.value_or(static_cast<long>(object.children.size()));
  return {object.childCountResult, count};
}

RoleAnswer GetRole(const AccessibleNode& object) {
  if (object.roleResult < 0) return {object.roleResult, 0};
  return {object.roleResult, object.role};
}

TextAnswer GetDescription(const AccessibleNode& object) {
  if (object.descriptionResult < 0) return {object.descriptionResult, {}};
  return {object.descriptionResult, object.description};
}

ChildrenAnswer AccessibleChildren(const AccessibleNode& object, long start, long count) {
  ChildrenAnswer answer;
  if (start < 0 || count < 0) {
    answer.result = win32::E_INVALIDARG;
    return answer;
  }
  size_t first = std::min(static_cast<size_t>(start), object.children.size());
  size_t n = std::min(static_cast<size_t>(count), object.children.size() - first);
  if (object.childrenHandedOver) n = std::min(n, *object.childrenHandedOver);
  for (size_t i = 0; i < n; ++i) answer.children.push_back(&object.children[first + i]);
  if (object.childrenResult != win32::S_OK)
    answer.result = object.childrenResult;
  else if (n < static_cast<size_t>(count))
    answer.result = kFewerThanAsked;
  return answer;
}

}  // namespace tarvex
