#include "platform/mac/AppleScript.h"

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "platform/mac/Json.h"
#include "platform/mac/System.h"
#include "text/Text.h"

namespace tarvex::mac {

const char kOpenTabsScript[] = R"(on appIsRunning(appName)
	tell application "System Events" to return (name of processes) contains appName
end appIsRunning

if appIsRunning("Safari") then
	tell application "Safari"
		set windowList to {}
		repeat with w in windows
			set tabList to {}
			repeat with t in tabs of w
				if URL of t exists then
					set offsets to do JavaScript "window.pageXOffset + ',' + window.pageYOffset" in t
					set end of tabList to {URL of t, name of t, offsets}
				end if
			end repeat
			if (count of tabList) > 0 then set end of windowList to {window:tabList}
		end repeat
		return windowList
	end tell
end if
return {}
)";

const char kOpenAddressScript[] =
    "        tell application \"Safari\" to activate\n"
    "        tell application \"Safari\" to tell window 1 to            set URL of (make new tab) to \"%@\"\n"
    "        tell window 1 of app \"Safari\" to set current tab to last tab\n"
    "        tell application \"System Events\" to tell process \"Safari\"\n"
    "perform action \"AXRaise\" of window 1\n"
    "end tell";

namespace {

constexpr std::string_view kPlaceholder = "%@";

std::string_view ScriptBefore() {
  std::string_view s = kOpenAddressScript;
  return s.substr(0, s.find(kPlaceholder));
}
std::string_view ScriptAfter() {
  std::string_view s = kOpenAddressScript;
  return s.substr(s.find(kPlaceholder) + kPlaceholder.size());
}

ScriptResult Ok(Descriptor result) { return {true, std::move(result), ""}; }
ScriptResult Fail(std::string error) { return {false, {}, std::move(error)}; }

Descriptor TextField(const Dict& tab, const char* key) {
  auto it = tab.find(key);
  if (it == tab.end() || !it->second.IsString()) return Descriptor::Missing();
  return Descriptor::Text(it->second.AsString());
}

// The open tabs of the fixture, as the script answers them.
ScriptResult OpenTabs(const Value& fixture) {
  auto tabs = Descriptor::List({});
  if (!fixture.IsDict()) return Ok(tabs);
  const Dict& f = *fixture.AsDict();
  auto running = f.find("running");
  if (running == f.end() || !running->second.AsBool()) return Ok(tabs);
  auto windows = f.find("windows");
  if (windows == f.end() || !windows->second.IsArray()) return Ok(tabs);
  for (const Value& window : *windows->second.AsArray()) {
    if (!window.IsArray()) continue;
    std::vector<Descriptor> list;
    for (const Value& tab : *window.AsArray()) {
      if (!tab.IsDict() || !tab.AsDict()->contains("url") || tab.AsDict()->at("url").IsNil()) continue;
      const Dict& t = *tab.AsDict();
      list.push_back(Descriptor::List({TextField(t, "url"), TextField(t, "title"), TextField(t, "offsets")}));
    }
    if (!list.empty()) tabs.items.push_back(Descriptor::Record({{"window", Descriptor::List(std::move(list))}}));
  }
  return Ok(tabs);
}

std::atomic<ScriptRunner*> sharedRunner{nullptr};

}  // namespace

Descriptor Descriptor::Text(std::string text) {
  Descriptor d;
  d.kind = Kind::Text;
  d.text = std::move(text);
  return d;
}

Descriptor Descriptor::List(std::vector<Descriptor> items) {
  Descriptor d;
  d.kind = Kind::List;
  d.items = std::move(items);
  return d;
}

Descriptor Descriptor::Record(std::vector<std::pair<std::string, Descriptor>> fields) {
  Descriptor d;
  d.kind = Kind::Record;
  for (auto& [label, value] : fields) {
    d.labels.push_back(label);
    d.items.push_back(std::move(value));
  }
  return d;
}

std::string EscapeAppleScriptString(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string OpenAddressScriptFor(const std::string& escapedAddress) {
  return std::string(ScriptBefore()) + escapedAddress + std::string(ScriptAfter());
}

std::optional<std::string> AddressOfOpenScript(const std::string& text) {
  const std::string_view before = ScriptBefore(), after = ScriptAfter();
  if (text.size() < before.size() + after.size() || !text.starts_with(before) || !text.ends_with(after))
    return std::nullopt;
  const std::string_view body(text.data() + before.size(), text.size() - before.size() - after.size());
  std::string address;
  for (size_t i = 0; i < body.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    if (c < 0x20 || c == 0x7f || c == '"') return std::nullopt;
    if (c == '\\') {
      if (++i == body.size() || (body[i] != '\\' && body[i] != '"')) return std::nullopt;
    }
    address += body[i];
  }
  return address;
}

ScriptResult SafariFixtureRunner::Run(const std::string& text) {
  const bool listing = text == kOpenTabsScript;
  const auto address = listing ? std::nullopt : AddressOfOpenScript(text);
  if (!listing && !address) return Fail("The script is not one of the agent's scripts");
  const char* path = std::getenv("TARVEX_SAFARI_FIXTURE");
  Value fixture;
  if (path && *path) {
    bool missing = false;
    std::string error;
    const auto content = ReadWholeFile(path, &missing, &error);
    if (!content) return Fail(missing ? Format("The Safari fixture \"%s\" does not exist", path) : error);
    const auto parsed = FromJSONText(*content);
    if (!parsed || !parsed->IsDict()) return Fail(Format("The Safari fixture \"%s\" is no JSON object", path));
    fixture = *parsed;
  }
  if (listing) return OpenTabs(fixture);
  if (fixture.IsDict()) {
    auto log = fixture.AsDict()->find("openedLog");
    if (log != fixture.AsDict()->end() && log->second.IsString()) {
      std::ofstream out(log->second.AsString(), std::ios::app | std::ios::binary);
      out << *address << '\n';
      if (!out.flush()) return Fail(Format("Safari could not note the address in \"%s\"", log->second.AsString()));
    }
  }
  return Ok(Descriptor::Missing());
}

ScriptResult RecordingScriptRunner::Run(const std::string& text) {
  std::lock_guard lock(mutex_);
  texts_.push_back(text);
  if (queued_.empty()) return Ok(Descriptor::List({}));
  ScriptResult result = std::move(queued_.front());
  queued_.pop_front();
  return result;
}

void RecordingScriptRunner::Queue(ScriptResult result) {
  std::lock_guard lock(mutex_);
  queued_.push_back(std::move(result));
}

std::vector<std::string> RecordingScriptRunner::Texts() const {
  std::lock_guard lock(mutex_);
  return texts_;
}

ScriptRunner& SharedScriptRunner() {
  if (ScriptRunner* runner = sharedRunner.load()) return *runner;
  static ScriptRunner* fixture = new SafariFixtureRunner();
  return *fixture;
}

void SetSharedScriptRunner(ScriptRunner* runner) { sharedRunner.store(runner); }

}  // namespace tarvex::mac
