#include "app/tabs/OpenTabSync.h"

#include <charconv>
#include <cmath>

#include "app/core/KestroveLogger.h"
#include "app/core/KestroveSettings.h"
#include "platform/mac/Json.h"
#include "platform/mac/WindowSystem.h"
#include "text/Text.h"

namespace tarvex {

namespace {

// A number as the page wrote it, read the same in every locale; an
// integral one stays an integer. Nothing when the text is no number.
std::optional<mac::Value> Number(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
    return std::nullopt;
  if (value == std::trunc(value) && std::fabs(value) < 9.0e15) return mac::Value(static_cast<int64_t>(value));
  return mac::Value(value);
}

// The scroll offsets "X,Y"; 0 for a part that is no number, and both 0
// unless there are exactly two parts.
std::pair<mac::Value, mac::Value> Offsets(const std::string& text) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) return {0, 0};
  const std::string_view all = text;
  return {Number(all.substr(0, comma)).value_or(0), Number(all.substr(comma + 1)).value_or(0)};
}

std::string Icon(const std::string& address) {
  const auto url = mac::Url::FromString(address);
  if (!url || url->scheme().empty() || url->host().empty()) return "";
  return Format("%s://%s/favicon.ico", url->scheme(), url->host());
}

// The item `index` (from 0) of a tab's list as text; "" when it is missing.
std::string Item(const mac::Array& tab, size_t index) {
  return index < tab.size() ? mac::TextOf(tab[index]).value_or("") : "";
}

}  // namespace

mac::ArrayRef ArrayFromDescriptor(const mac::Descriptor& descriptor) {
  auto array = mac::NewArray();
  for (size_t i = 1; i <= descriptor.numberOfItems(); ++i) {
    const mac::Descriptor& item = descriptor.itemAtIndex(i);
    if (item.hasFirstItem())
      array->push_back(ArrayFromDescriptor(item));
    else
      array->push_back(item.stringValue());
  }
  return array;
}

OpenTabSync& OpenTabSync::instance() {
  static OpenTabSync* shared = new OpenTabSync(mac::SharedScriptRunner(), KestroveSettings::instance(),
                                               KestroveLogger::instance(), mac::SharedWindowSystem());
  return *shared;
}

OpenTabSync::OpenTabSync(mac::ScriptRunner& scripts, KestroveSettings& settings, KestroveLogger& logger,
                         mac::WindowSystem& windows)
    : scripts_(scripts), settings_(settings), logger_(logger), windows_(windows) {}

mac::ArrayRef OpenTabSync::getOpenTabs() {
  const mac::ScriptResult result = scripts_.Run(mac::kOpenTabsScript);
  if (!result.ok) {
    logger_.debug(result.error);
    return nullptr;
  }
  logger_.debug("OpenTabs executed, turning into array");
  return ArrayFromDescriptor(result.result);
}

std::optional<std::string> OpenTabSync::syncTabsWrite(const std::string& mid) {
  logger_.debug("in syncTabsWrite");
  if (!settings_.getBoolean(settingUseTabSync)) {
    logger_.debug("tab sync disabled.");
    return std::nullopt;
  }
  const std::string clientName = settings_.getString(settingTabComputerName).value_or("");
  logger_.debug(Format("tab sync starting -- computername: %s", clientName));
  const mac::ArrayRef tabs = getOpenTabs();
  if (!tabs) return std::nullopt;

  auto windows = mac::NewArray();
  for (const mac::Value& w : *tabs) {
    auto list = mac::NewArray();
    for (const mac::Value& v : w.IsArray() ? *w.AsArray() : mac::Array{}) {
      for (const mac::Value& t : v.IsArray() ? *v.AsArray() : mac::Array{}) {
        const mac::Array tab = t.IsArray() ? *t.AsArray() : mac::Array{};
        const std::string url = Item(tab, 0);
        auto [x, y] = Offsets(Item(tab, 2));
        list->push_back(mac::NewDict(
            {{"url", url}, {"title", Item(tab, 1)}, {"scrollX", x}, {"scrollY", y}, {"icon", Icon(url)}}));
      }
    }
    windows->push_back(mac::NewDict({{"tabs", list}}));
  }
  auto data = mac::NewDict({{"windows", windows}, {"browserName", "safari"}});
  if (!clientName.empty()) (*data)["clientName"] = clientName;
  return mac::ToJSONText(mac::NewDict({{"mymid", mid}, {"data", data}}));
}

OpenTabsController& OpenTabSync::syncTabsRead(const mac::Value& document, const std::string& mymid) {
  mac::DictRef mids;
  if (document.IsDict()) {
    auto found = document.AsDict()->find("mids");
    if (found != document.AsDict()->end() && found->second.IsDict()) mids = mac::MutableCopy(found->second.AsDict());
  }
  if (!mids) mids = mac::NewDict();
  mids->erase(mymid);
  controllers_.push_back(std::make_unique<OpenTabsController>(windows_, scripts_, logger_));
  OpenTabsController& controller = *controllers_.back();
  controller.setDict(mids);
  controller.showWindow();
  return controller;
}

}  // namespace tarvex
