#include "ie/sync/OpenTabs.h"

#include <atomic>
#include <exception>
#include <string>
#include <string_view>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "text/Text.h"
#include "ie/sync/SynchronousRequest.h"
#include "nodeset/Json.h"
#include "platform/clock/Clock.h"

namespace tarvex {
namespace {

// GetClassNameW's buffer, in UTF-16 units.
constexpr size_t kClassNameBuffer = 127;

// The window below `parent` of the class, or null after logging
// `failureFormat` with the search's error code.
const WindowNode* FindChild(const WindowNode& parent, std::string_view className,
                            std::string_view failureFormat, Logger& logger) {
  FoundWindow found = FindChildWindow(parent, className);
  if (!found.window) logger.Log(Format(failureFormat, found.error));
  return found.window;
}

// The window whose accessible object holds the frame's tab lists:
// IEFrame > CommandBarClass > ReBarWindow32 > TabBandClass, or when the tab
// band is not there, IEFrame > WorkerW > ReBarWindow32 > TabBandClass; then
// its DirectUIHWND.
const WindowNode* FindTabRow(const WindowNode& frame, Logger& logger) {
  const WindowNode* commandBar = FindChild(
      frame, "CommandBarClass", "Unable to find CommandBarClass under IEFrame: %d", logger);
  if (!commandBar) return nullptr;
  const WindowNode* rebar =
      FindChild(*commandBar, "ReBarWindow32",
                "Unable to find ReBarWindow32 under CommandBarClass: %d", logger);
  if (!rebar) return nullptr;
  const WindowNode* band = FindChild(*rebar, "TabBandClass",
                                     "Unable to find TabBandClass under ReBarWindow32: %d", logger);
  if (!band) {
    const WindowNode* worker =
        FindChild(frame, "WorkerW", "Unable to find WorkerW under IEFrame: %d", logger);
    if (!worker) return nullptr;
    rebar = FindChild(*worker, "ReBarWindow32", "Unable to find ReBarWindow32 under WorkerW: %d",
                      logger);
    if (!rebar) return nullptr;
    band = FindChild(*rebar, "TabBandClass", "Unable to find TabBandClass under ReBarWindow32: %d",
                     logger);
    if (!band) return nullptr;
  }
  return FindChild(*band, "DirectUIHWND", "Unable to find DirectUIHWND under TabBandClass: %d",
                   logger);
}

// One tab: its description is the title, a line feed and the address (all
// address without a line feed). Only http and https pages are listed.
void ReadTab(const AccessibleNode& tab, Json::Value& tabs, Logger& logger) {
  if (int32_t hr = QueryAccessible(tab); hr < 0) {
    logger.Log(Format("QueryInterface to newObj failed: %d", hr));
    return;
  }
  TextAnswer description = GetDescription(tab);
  if (description.result < 0) {
    logger.Log(Format("Unable to receive tab description: %d", description.result));
    return;
  }
  std::string title;
  std::string url;
  if (size_t lf = description.text.find('\n'); lf == std::string::npos) {
    url = Trim(description.text);
  } else {
    title = Trim(std::string_view(description.text).substr(0, lf));
    url = Trim(std::string_view(description.text).substr(lf + 1));
  }
  if (!IsWebAddress(url, false)) {
    logger.Log(Format("Non-http URL found, skipping: %s [%s]", title, url));
    return;
  }
  Json::Value entry(Json::objectValue);
  entry["url"] = url;
  entry["title"] = title;
  tabs.append(entry);
  logger.Log(Format("Found local tab: %s [%s]", title, url));
}

// One child of the tab row: a page tab list (role 60, or 0) adds its tabs
// to `windows` when it lists at least one.
void ReadTabList(const AccessibleNode& child, Json::Value& windows, Logger& logger) {
  if (int32_t hr = QueryAccessible(child); hr < 0) {
    logger.Log(Format("QueryInterface to tabObject failed: %d", hr));
    return;
  }
  RoleAnswer role = GetRole(child);
  if (role.result < 0) {
    logger.Log(Format("Unable to receive object role: %d", role.result));
    return;
  }
  if (role.role != kRolePageTabList && role.role != 0) return;
  CountAnswer count = GetChildCount(child);
  if (count.result < 0) {
    logger.Log(Format("Tab count failed: %d", count.result));
    return;
  }
  // The tabs handed over are read even when the call reports a failure.
  ChildrenAnswer tabs = AccessibleChildren(child, 0, count.count);
  if (tabs.result < 0) logger.Log(Format("Unable to get every tab of a tab list: %d", tabs.result));
  Json::Value list(Json::arrayValue);
  for (const AccessibleNode* tab : tabs.children)
    if (tab->isObject) ReadTab(*tab, list, logger);
  if (list.empty()) return;
  Json::Value window(Json::objectValue);
  window["tabs"] = std::move(list);
  windows.append(std::move(window));
}

// Whether a tab write succeeded; `status` gets the reply's status for the
// log. A reply without one counts as success.
bool WriteSucceeded(const Json::Value& reply, std::string* status) {
  if (!reply.isObject()) {
    *status = WriteCompactJson(reply);
    return false;
  }
  const Json::Value& value = reply["status"];
  if (value.isNull()) return true;
  *status = IsJsonText(value) ? JsonText(value) : WriteCompactJson(value);
  return *status == "0";
}

// Why an entry of the read reply cannot be shown ("" when it can): the
// remote-tabs page reads its `clientName` and the `tabs` of its `windows`.
std::string ShapeFault(const Json::Value& entry) {
  if (!entry.isObject()) return "the entry is not an object";
  if (!IsJsonText(entry["clientName"])) return "its clientName is not text";
  const Json::Value& windows = entry["windows"];
  if (windows.isNull()) return "";
  if (!windows.isArray()) return "its windows is not a list";
  for (const Json::Value& window : windows) {
    if (!window.isObject()) return "a window is not an object";
    if (!window["tabs"].isNull() && !window["tabs"].isArray())
      return "a window's tabs is not a list";
  }
  return "";
}

Json::Int64 TabCount(const Json::Value& entry) {
  Json::Int64 count = 0;
  for (const Json::Value& window : entry["windows"]) count += window["tabs"].size();
  return count;
}

// The reply's `mids` grouped by client name, without `ownMid`.
Json::Value GroupByClient(const Json::Value& mids, const std::string& ownMid, Logger& logger) {
  Json::Value result(Json::objectValue);
  for (const std::string& mid : mids.getMemberNames()) {
    if (mid == ownMid) continue;
    if (mid == "mids" || mid == "length") {
      logger.Log(Format("Skipping the tabs of machine [%s]: its id is a reserved name", mid));
      continue;
    }
    const Json::Value& entry = mids[mid];
    if (std::string fault = ShapeFault(entry); !fault.empty()) {
      logger.Log(Format("Skipping the tabs of machine [%s]: %s", mid, fault));
      continue;
    }
    const Json::Value& clientName = entry["clientName"];
    std::string name = clientName.isNull() ? "Unknown" : JsonText(clientName);
    if (!result.isMember(name) || result[name].isNull())
      result[name]["mids"] = Json::Value(Json::objectValue);
    result[name]["mids"][mid] = entry;
  }
  for (const std::string& name : result.getMemberNames()) {
    Json::Value& client = result[name];
    Json::Int64 total = 0;
    for (const std::string& mid : client["mids"].getMemberNames()) {
      Json::Int64 count = TabCount(client["mids"][mid]);
      client[mid]["length"] = count;
      total += count;
    }
    client["length"] = total;
  }
  return result;
}

}  // namespace

bool GetIEOpenTabs(const WindowNode& window, Json::Value& windows, Logger& logger) {
  ClassNameAnswer className = GetClassName(window, kClassNameBuffer);
  if (!className.ok || className.name != "IEFrame") return true;
  const WindowNode* tabRow = FindTabRow(window, logger);
  if (!tabRow) return true;

  FoundAccessible root = AccessibleObjectFromWindow(*tabRow, kObjectIdClient);
  if (!root.object) {
    logger.Log(Format("Unable to get IAccessible interface: %d", root.result));
    return true;
  }
  CountAnswer count = GetChildCount(*root.object);
  if (count.result < 0) {
    logger.Log(Format("Unable to get Objects count: %d", count.result));
    return true;
  }
  ChildrenAnswer children = AccessibleChildren(*root.object, 0, count.count);
  if (children.result < 0) {
    logger.Log(Format("Unable to get tabs received count: %d", children.result));
    return true;
  }
  for (const AccessibleNode* child : children.children)
    if (child->isObject) ReadTabList(*child, windows, logger);
  return true;
}

bool ReadIEOpenTabs(const WindowModel& model, Json::Value& windows, Logger& logger) {
  return EnumWindows(
      model, [&](const WindowNode& window) { return GetIEOpenTabs(window, windows, logger); });
}

OpenTabs::OpenTabs(SyncContext& context, const WindowModel& windows)
    : context_(context), windows_(windows) {}

namespace {
std::atomic<OpenTabs*> installedTabs{nullptr};
}  // namespace

OpenTabs& OpenTabs::Process() {
  if (OpenTabs* installed = installedTabs.load()) return *installed;
  static OpenTabs* tabs = new OpenTabs(SyncContext::Process(), WindowModel::Process());
  return *tabs;
}

OpenTabs* OpenTabs::SetProcess(OpenTabs* tabs) {
  return installedTabs.exchange(tabs);
}

Json::Value OpenTabs::LastSent() const {
  std::lock_guard lock(lock_);
  return lastSent_ ? *lastSent_ : Json::Value();
}

void OpenTabs::WriteTabs(bool manual, bool force) {
  Settings& settings = context_.settings;
  Logger& logger = context_.logger;
  try {
    if (!settings.GetBool("tabsync", true)) {
      logger.Log("Tab sync disabled, skipping");
      return;
    }
    Json::Value windows(Json::arrayValue);
    if (!ReadIEOpenTabs(windows_, windows, logger)) {
      logger.Log("Error while getting IE open tab list, nothing to sync");
      return;
    }
    if (!force) {
      std::optional<Json::Value> last;
      {
        std::lock_guard lock(lock_);
        last = lastSent_;
      }
      bool unchanged = last && *last == windows;
      bool nothingToClear = windows.empty() && (!last || last->empty());
      if (unchanged || nothingToClear) {
        logger.Log("No tab changes to sync, skipping: " + WriteCompactJson(windows));
        return;
      }
    }

    Json::Value arguments(Json::objectValue);
    arguments["mymid"] = settings.GetValue("machineid", "0");
    Json::Value& data = arguments["data"];
    data["clientName"] = settings.GetValue("computername", "Unknown");
    data["browserName"] = "ie";
    data["windows"] = windows;
    SynchronousRequest request("POST", settings.GetValue("cloudserver", "") + "/cloud/tabs/write",
                               manual, &arguments, nullptr, false, context_);
    std::string status;
    if (!WriteSucceeded(request.GetResponse(), &status)) {
      logger.Log("Error sending tabs to server: " + status);
      return;
    }
    {
      std::lock_guard lock(lock_);
      lastSent_ = std::move(windows);
    }
    settings.SetInt64("lasttabsync", context_.clock.Now(), false);
    logger.Log("Tab sync data sent");
  } catch (const VelkException& e) {
    logger.Log("Velk Exception while sending tab data");
    logger.Log(e.ToString());
  } catch (...) {
    logger.Log("Unknown Exception while sending tab data");
  }
}

Json::Value OpenTabs::ReadTabs(bool manual) {
  Settings& settings = context_.settings;
  Logger& logger = context_.logger;
  try {
    std::string ownMid = settings.GetValue("machineid", "0");
    Json::Value arguments(Json::objectValue);
    arguments["mymid"] = ownMid;
    SynchronousRequest request("POST", settings.GetValue("cloudserver", "") + "/cloud/tabs/read",
                               manual, &arguments, nullptr, false, context_);
    const Json::Value& reply = request.GetResponse();
    Json::Value status = reply.isObject() ? reply["status"] : Json::Value();
    std::string statusText = IsJsonText(status) ? JsonText(status) : WriteCompactJson(status);
    Json::Value mids = reply.isObject() ? reply["mids"] : Json::Value();
    if (statusText != "0" || mids.isNull()) {
      logger.Log("Invalid tab list response: " + statusText);
      return Json::Value();
    }
    if (!mids.isObject()) {
      logger.Log("Invalid tab list response: mids is not an object: " + WriteCompactJson(mids));
      return Json::Value();
    }
    return GroupByClient(mids, ownMid, logger);
  } catch (const VelkException& e) {
    logger.Log("Tarvex Error while reading tabs:");
    logger.Log(e.ToString());
  } catch (...) {
    logger.Log("Generic error while reading tabs");
  }
  return Json::Value();
}

}  // namespace tarvex
