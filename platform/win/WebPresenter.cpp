#include "platform/win/WebPresenter.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "platform/ui/Desktop.h"
#include "text/Text.h"

namespace tarvex {

// The page's files (platform/win/web/), embedded at build time by
// platform/win/web/Embed.cmake.
namespace web {
extern const std::string_view kPageHtml;
extern const std::string_view kPageJs;
extern const std::string_view kPageCss;
}  // namespace web

namespace {

using httplib::Request;
using httplib::Response;

constexpr size_t kSecretBytes = 32;
// httplib refuses larger form bodies itself; ours stay far below it.
constexpr size_t kMaxBody = 8192;
constexpr size_t kBalloonsKept = 5;

// The page frames a browser control's page only from its own address.
const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; frame-src 'self'; form-action 'none'; frame-ancestors 'none'; "
    "base-uri 'none'";
// A browser control's page, in a frame of the page: sandboxed whoever loads
// it (no origin of its own, so it reaches nothing of the page's), its files
// only from the page's server, nothing fetched, no form sent anywhere, and
// framed by the page alone. %s is the page's origin.
const char kFramePolicy[] =
    "default-src 'none'; script-src %s; style-src %s; img-src data:; form-action 'none'; "
    "frame-ancestors %s; base-uri 'none'; sandbox allow-scripts allow-forms allow-popups "
    "allow-popups-to-escape-sandbox";
// A form from a browser control's page: at most this many fields.
constexpr size_t kMaxFields = 16;

struct ShownBalloon {
  uint64_t number = 0;
  BalloonRecord balloon;
};

// What the page shows, copied out of the lock to be written as JSON.
struct View {
  uint64_t version = 0;
  bool running = true;
  std::vector<DialogSnapshot> dialogs;
  std::vector<TrayIcon> tray;
  std::deque<ShownBalloon> balloons;
  std::vector<MenuSnapshot> menus;
};

// Whether the refusal of the request this worker thread answers is logged
// already (the HTTP layer's own refusals are logged when it is not).
thread_local bool t_refusalLogged = false;

bool RandomBytes(unsigned char* out, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = getrandom(out + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == size) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  got = 0;
  while (got < size) {
    const ssize_t n = read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  return got == size;
}

bool SameSecret(std::string_view given, std::string_view secret) {
  if (given.size() != secret.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < secret.size(); ++i)
    difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
  return difference == 0;
}

// A value from a request, fit for a log line: no control characters, at
// most 80 bytes.
std::string Printable(std::string_view text) {
  std::string out = SanitizeUtf8(text.substr(0, 80));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  if (text.size() > 80) out += "...";
  return out;
}

// The path with its first part (the secret, or a guess at it) left out, so
// that no log holds the secret.
std::string LoggedPath(const std::string& path) {
  const size_t slash = path.find('/', 1);
  return Printable(slash == std::string::npos ? std::string("/*") : "/*" + path.substr(slash));
}

// ---- JSON ----

// A JSON string of `text` (made valid UTF-8) that holds no character HTML
// gives a meaning to, so that it stays data wherever it lands.
void AppendJsonText(std::string& out, std::string_view text) {
  const std::string valid = SanitizeUtf8(text);
  out += '"';
  for (size_t i = 0; i < valid.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(valid[i]);
    if (c < 0x20 || c == 0x7F || std::strchr("\"\\<>&'", c)) {
      out += Format("\\u%04x", static_cast<int>(c));
    } else if (c == 0xE2 && i + 2 < valid.size() && valid[i + 1] == '\x80' &&
               (valid[i + 2] == '\xA8' || valid[i + 2] == '\xA9')) {
      // U+2028 and U+2029 end lines in older script parsers.
      out += valid[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

class JsonWriter {
 public:
  JsonWriter& Begin(char bracket) {
    Comma();
    out_ += bracket;
    first_ = true;
    return *this;
  }
  JsonWriter& End(char bracket) {
    out_ += bracket;
    first_ = false;
    return *this;
  }
  JsonWriter& Key(std::string_view key) {
    Comma();
    AppendJsonText(out_, key);
    out_ += ':';
    first_ = true;
    return *this;
  }
  JsonWriter& Text(std::string_view text) {
    Comma();
    AppendJsonText(out_, text);
    return *this;
  }
  JsonWriter& Number(int64_t n) {
    Comma();
    out_ += std::to_string(n);
    return *this;
  }
  JsonWriter& Bool(bool b) {
    Comma();
    out_ += b ? "true" : "false";
    return *this;
  }
  JsonWriter& Null() {
    Comma();
    out_ += "null";
    return *this;
  }
  // Window and menu ids are 64-bit: text, so that scripts read them exactly.
  JsonWriter& Id(uint64_t id) { return Text(std::to_string(id)); }
  std::string Take() { return std::move(out_); }

 private:
  void Comma() {
    if (!first_) out_ += ',';
    first_ = false;
  }
  std::string out_;
  bool first_ = true;
};

const char* KindName(ControlKind kind) {
  static const char* const kNames[] = {
      "static",   "button",   "default-button", "check-box", "radio",   "edit",
      "password", "list-box", "combo-box",      "group-box", "picture", "browser",
  };
  static_assert(static_cast<size_t>(ControlKind::Browser) + 1 == std::size(kNames));
  return kNames[static_cast<size_t>(kind)];
}

const char* BalloonKind(uint32_t flags) {
  static const char* const kNames[] = {"none", "info", "warning", "error"};
  return kNames[flags & 3];
}

void WriteIcon(JsonWriter& j, int id) {
  const std::optional<IconResource> icon = id ? FindIconResource(id) : std::nullopt;
  if (!icon) {
    j.Null();
    return;
  }
  j.Begin('{').Key("id").Number(icon->id).Key("description").Text(icon->description);
  j.Key("color").Text(icon->color).End('}');
}

void WriteDialog(JsonWriter& j, const DialogSnapshot& d) {
  j.Begin('{').Key("window").Id(d.window.local).Key("template").Number(d.templateId);
  j.Key("title").Text(d.title).Key("modal").Bool(d.modal).Key("width").Number(d.width);
  j.Key("height").Number(d.height).Key("default").Number(d.defaultControl);
  j.Key("closeBox").Bool(d.closeBox);
  j.Key("version").Number(static_cast<int64_t>(d.version)).Key("controls").Begin('[');
  for (const ControlState& c : d.controls) {
    j.Begin('{').Key("id").Number(c.id).Key("kind").Text(KindName(c.kind));
    j.Key("text").Text(c.text).Key("visible").Bool(c.visible).Key("enabled").Bool(c.enabled);
    j.Key("checked").Bool(c.checked).Key("readOnly").Bool(c.readOnly);
    j.Key("multiLine").Bool(c.multiLine).Key("bold").Bool(c.bold).Key("icon");
    WriteIcon(j, c.icon);
    j.Key("items").Begin('[');
    for (const std::string& item : c.items) j.Text(item);
    j.End(']').Key("selected").Number(c.selected);
    j.Key("x").Number(c.x).Key("y").Number(c.y).Key("width").Number(c.width);
    j.Key("height").Number(c.height).Key("page");
    if (c.browser && !c.browser->entry.empty()) {
      j.Begin('{').Key("number").Id(c.browser->page).Key("entry").Text(c.browser->entry);
      j.Key("query").Text(c.browser->query).Key("scripts").Begin('[');
      for (const std::string& script : c.browser->scripts) j.Text(script);
      j.End(']').End('}');
    } else {
      j.Null();
    }
    j.End('}');
  }
  j.End(']').End('}');
}

std::string StateJson(const View& v) {
  JsonWriter j;
  j.Begin('{').Key("version").Number(static_cast<int64_t>(v.version));
  j.Key("running").Bool(v.running).Key("tray").Begin('[');
  for (const TrayIcon& icon : v.tray) {
    j.Begin('{').Key("window").Id(icon.owner.local).Key("id").Number(icon.id);
    j.Key("tip").Text(icon.tip).Key("icon");
    WriteIcon(j, icon.icon);
    j.End('}');
  }
  j.End(']').Key("balloons").Begin('[');
  for (const ShownBalloon& b : v.balloons) {
    j.Begin('{').Key("number").Number(static_cast<int64_t>(b.number));
    j.Key("title").Text(b.balloon.title).Key("text").Text(b.balloon.text);
    j.Key("kind").Text(BalloonKind(b.balloon.flags)).End('}');
  }
  j.End(']').Key("menus").Begin('[');
  for (const MenuSnapshot& m : v.menus) {
    j.Begin('{').Key("window").Id(m.window.local).Key("items").Begin('[');
    for (const MenuItem& item : m.items) {
      j.Begin('{').Key("id").Id(item.id).Key("text").Text(item.text);
      j.Key("separator").Bool(item.separator).End('}');
    }
    j.End(']').End('}');
  }
  j.End(']').Key("dialogs").Begin('[');
  // Modeless dialogs first, modal ones after in the order shown: the last
  // is the one on top.
  for (int modal = 0; modal < 2; ++modal)
    for (const DialogSnapshot& d : v.dialogs)
      if (d.visible && d.modal == (modal == 1)) WriteDialog(j, d);
  j.End(']').End('}');
  return j.Take();
}

// ---- What the page posts ----

using Form = std::map<std::string, std::string>;

// A form body (application/x-www-form-urlencoded) of distinct names, or
// nothing when it is malformed.
std::optional<Form> ParseForm(std::string_view body) {
  auto decode = [](std::string_view part, std::string* out) {
    out->clear();
    for (size_t i = 0; i < part.size(); ++i) {
      const char c = part[i];
      if (c == '+') {
        *out += ' ';
      } else if (c == '%') {
        auto hex = [](char h) {
          if (h >= '0' && h <= '9') return h - '0';
          if (h >= 'a' && h <= 'f') return h - 'a' + 10;
          if (h >= 'A' && h <= 'F') return h - 'A' + 10;
          return -1;
        };
        if (i + 2 >= part.size()) return false;
        const int hi = hex(part[i + 1]), lo = hex(part[i + 2]);
        if (hi < 0 || lo < 0) return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
      } else {
        *out += c;
      }
    }
    return IsValidUtf8(*out);
  };
  Form fields;
  size_t at = 0;
  while (at <= body.size() && !body.empty()) {
    size_t end = body.find('&', at);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view pair = body.substr(at, end - at);
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string name, value;
    if (!decode(pair.substr(0, eq), &name) || !decode(pair.substr(eq + 1), &value) ||
        name.empty() || !fields.emplace(std::move(name), std::move(value)).second)
      return std::nullopt;
    at = end + 1;
  }
  return fields;
}

// A decimal number of at most `digits` digits.
bool ParseNumber(const std::string& text, size_t digits, uint64_t* out) {
  if (text.empty() || text.size() > digits) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *out = n;
  return true;
}

// The field `name` of a form as such a number.
bool Number(const Form& f, const char* name, size_t digits, uint64_t* out) {
  const auto it = f.find(name);
  return it != f.end() && ParseNumber(it->second, digits, out);
}

bool IsList(ControlKind kind) {
  return kind == ControlKind::ListBox || kind == ControlKind::ComboBox;
}

}  // namespace

struct WebPresenter::State {
  WebPresenterOptions options;
  std::string secret;
  std::string host;    // "127.0.0.1:PORT"
  std::string origin;  // "http://127.0.0.1:PORT"
  std::string url;
  httplib::Server server;
  std::thread thread;

  std::mutex m;
  std::condition_variable changed;
  bool stopping = false;
  uint64_t version = 1;
  std::vector<DialogSnapshot> dialogs;
  std::vector<TrayIcon> tray;
  std::deque<ShownBalloon> balloons;
  uint64_t balloonsShown = 0;
  std::vector<MenuSnapshot> menus;

  // Runs `change` on the state under the lock and wakes the page's waits.
  template <typename F>
  void Change(F change) {
    {
      std::lock_guard<std::mutex> guard(m);
      change();
      ++version;
    }
    changed.notify_all();
  }

  View Copy() const {
    View v;
    v.version = version;
    v.running = !stopping;
    v.dialogs = dialogs;
    v.tray = tray;
    v.balloons = balloons;
    v.menus = menus;
    return v;
  }

  void Log(const std::string& line) const {
    if (options.log)
      options.log(line);
    else
      WindowsLog(line);
  }

  void Refuse(const Request& req, Response& res, int status, const std::string& why) const {
    res.status = status;
    res.set_content(Format("%d refused\n", status), "text/plain; charset=utf-8");
    Log(Format("Web page: refused %s %s (Host [%s], Origin [%s]): %s", Printable(req.method),
               LoggedPath(req.path), Printable(req.get_header_value("Host")),
               Printable(req.get_header_value("Origin")), why));
    t_refusalLogged = true;
  }

  // Whether the request may go on: the right Host, the secret, the method
  // its resource takes and, for a POST, the page's Origin and a small body
  // of the page's kind. `*resource` is the path after the secret.
  bool Admit(const Request& req, Response& res, std::string* resource) const {
    if (req.get_header_value_count("Host") != 1 || req.get_header_value("Host") != host) {
      Refuse(req, res, 403, "the Host is not the page's");
      return false;
    }
    const std::string& path = req.path;
    const size_t end = path.find('/', 1);
    if (path.empty() || path[0] != '/' || end == std::string::npos ||
        !SameSecret(std::string_view(path).substr(1, end - 1), secret)) {
      Refuse(req, res, 404, "no secret, or a wrong one");
      return false;
    }
    *resource = path.substr(end + 1);
    const bool act = *resource == "act";
    if (!act && *resource != "" && *resource != "page.js" && *resource != "page.css" &&
        *resource != "state" && resource->rfind("frame/", 0) != 0) {
      Refuse(req, res, 404, "no such resource");
      return false;
    }
    if (req.method != (act ? "POST" : "GET")) {
      Refuse(req, res, 405, act ? "only a POST acts" : "only GET reads");
      return false;
    }
    if (!act) return true;
    if (req.get_header_value_count("Origin") != 1 || req.get_header_value("Origin") != origin) {
      Refuse(
          req, res, 403,
          req.has_header("Origin") ? "the Origin is not the page's" : "a POST without an Origin");
      return false;
    }
    if (req.has_header("Transfer-Encoding")) {
      Refuse(req, res, 411, "a body without a length");
      return false;
    }
    uint64_t length = 0;
    if (!ParseNumber(req.get_header_value("Content-Length"), 9, &length) || length > kMaxBody) {
      Refuse(req, res, 413, "no body, or one too large");
      return false;
    }
    const std::string type = req.get_header_value("Content-Type");
    if (type != "application/x-www-form-urlencoded" &&
        type.rfind("application/x-www-form-urlencoded;", 0) != 0) {
      Refuse(req, res, 415, "a body that is no form");
      return false;
    }
    return true;
  }

  void Serve(const std::string& resource, const Request& req, Response& res) {
    if (resource.empty()) {
      res.set_content(std::string(web::kPageHtml), "text/html; charset=utf-8");
    } else if (resource == "page.js") {
      res.set_content(std::string(web::kPageJs), "text/javascript; charset=utf-8");
    } else if (resource == "page.css") {
      res.set_content(std::string(web::kPageCss), "text/css; charset=utf-8");
    } else if (resource.rfind("frame/", 0) == 0) {
      ServeFrame(resource.substr(6), req, res);
    } else {
      uint64_t since = 0;
      if (req.has_param("since") && !ParseNumber(req.get_param_value("since"), 19, &since)) {
        Refuse(req, res, 400, "a malformed version");
        return;
      }
      View view;
      {
        std::unique_lock<std::mutex> lock(m);
        if (options.onWait && !stopping && version == since) options.onWait();
        changed.wait_for(lock, std::chrono::seconds(options.pollSeconds),
                         [&] { return stopping || version != since; });
        view = Copy();
      }
      res.set_content(StateJson(view), "application/json; charset=utf-8");
    }
  }

  // "WINDOW/CONTROL/PAGE/FILE": a file of the page that the browser control
  // CONTROL of the open dialog WINDOW shows as its page PAGE.
  void ServeFrame(const std::string& path, const Request& req, Response& res) {
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
      const size_t slash = path.find('/', at);
      parts.push_back(path.substr(at, slash == std::string::npos ? slash : slash - at));
      if (slash == std::string::npos) break;
      at = slash + 1;
    }
    uint64_t window = 0, control = 0, page = 0;
    if (parts.size() != 4 || !ParseNumber(parts[0], 20, &window) ||
        !ParseNumber(parts[1], 9, &control) || !ParseNumber(parts[2], 20, &page)) {
      Refuse(req, res, 404, "no such frame");
      return;
    }
    std::shared_ptr<const BrowserView> view;
    {
      std::lock_guard<std::mutex> guard(m);
      for (const DialogSnapshot& d : dialogs) {
        const ControlState* c = d.window.local == window && d.visible
                                    ? d.Find(static_cast<int>(control))
                                    : nullptr;
        if (c && c->kind == ControlKind::Browser && c->browser) view = c->browser;
      }
    }
    const std::string* content = nullptr;
    if (view && view->page == page && view->files) {
      const auto file = view->files->find(parts[3]);
      if (file != view->files->end()) content = &file->second;
    }
    if (!content) {
      Refuse(req, res, 404, "no such file of a browser's page");
      return;
    }
    const std::string& name = parts[3];
    const char* type = name.ends_with(".js")    ? "text/javascript; charset=utf-8"
                       : name.ends_with(".css") ? "text/css; charset=utf-8"
                                                : "text/html; charset=utf-8";
    for (const char* header :
         {"Content-Security-Policy", "X-Frame-Options", "Cross-Origin-Resource-Policy"})
      res.headers.erase(header);
    res.set_header("Content-Security-Policy", Format(kFramePolicy, origin, origin, origin));
    res.set_header("X-Frame-Options", "SAMEORIGIN");
    // The sandboxed page has no origin: its files are asked for from none.
    res.set_header("Cross-Origin-Resource-Policy", "cross-origin");
    res.set_content(*content, type);
  }

  // What the person did, checked against what the page shows: only open
  // dialogs and tracked menus, their controls and items, are acted on.
  void Act(const Request& req, Response& res) {
    const std::optional<Form> form = ParseForm(req.body);
    if (!form || !form->count("kind")) {
      Refuse(req, res, 400, "a malformed body");
      return;
    }
    const Form& f = *form;
    const std::string& kind = f.at("kind");
    static const std::map<std::string, std::set<std::string>> kFields = {
        {"click", {"window", "control"}},
        {"type", {"window", "control", "text"}},
        {"select", {"window", "control", "index", "text"}},
        {"key", {"window", "key"}},
        {"close", {"window"}},
        {"tray", {"window", "icon", "mouse"}},
        {"choose", {"window", "item"}},
        {"dismiss", {"window"}},
        {"fill", {"window", "control", "page"}},
    };
    const auto known = kFields.find(kind);
    if (known == kFields.end()) {
      Refuse(req, res, 400, Format("an unknown kind [%s]", Printable(kind)));
      return;
    }
    for (const auto& [name, value] : f) {
      if (kind == "fill" && name.rfind("field:", 0) == 0) continue;
      if (name != "kind" && !known->second.count(name)) {
        Refuse(req, res, 400,
               Format("a field [%s] that a %s does not take", Printable(name), kind));
        return;
      }
    }
    uint64_t window = 0;
    if (!Number(f, "window", 20, &window) || window == 0) {
      Refuse(req, res, 400, "no window, or a malformed one");
      return;
    }
    std::string why;
    int status = 409;
    uint32_t rc = 0;
    if (kind == "tray")
      rc = ClickTray(f, window, &status, &why);
    else if (kind == "choose" || kind == "dismiss")
      rc = ActOnMenu(f, window, &why);
    else
      rc = ActOnDialog(f, window, &status, &why);
    if (!why.empty()) {
      Refuse(req, res, status, why);
      return;
    }
    if (rc != 0) {
      Refuse(req, res, 409, Format("the window is gone (error %u)", rc));
      return;
    }
    res.set_content("{\"ok\":true}", "application/json; charset=utf-8");
  }

  // Each of these acts and returns the post's code, or sets `*why` (and
  // `*status`) and changes nothing.
  uint32_t ClickTray(const Form& f, uint64_t window, int* status, std::string* why) {
    static const std::map<std::string, int64_t> kMice = {{"left", WM_LBUTTONDOWN},
                                                         {"double", WM_LBUTTONDBLCLK},
                                                         {"right", WM_RBUTTONDOWN},
                                                         {"context", WM_CONTEXTMENU}};
    uint64_t id = 0;
    const auto mouse = f.find("mouse");
    if (!Number(f, "icon", 10, &id) || mouse == f.end() || !kMice.count(mouse->second)) {
      *status = 400;
      *why = "a tray click without its icon or mouse";
      return 0;
    }
    std::optional<TrayIcon> clicked;
    {
      std::lock_guard<std::mutex> guard(m);
      for (const TrayIcon& icon : tray)
        if (icon.owner.local == window && icon.id == id) clicked = icon;
    }
    if (!clicked) {
      *why = Format("no tray icon %u of window %llu", id, window);
      return 0;
    }
    return ClickTrayIcon(*clicked, kMice.at(mouse->second));
  }

  uint32_t ActOnMenu(const Form& f, uint64_t window, std::string* why) {
    std::optional<MenuSnapshot> menu;
    {
      std::lock_guard<std::mutex> guard(m);
      for (const MenuSnapshot& tracked : menus)
        if (tracked.window.local == window) menu = tracked;
    }
    if (!menu) {
      *why = Format("no menu %llu is tracked", window);
      return 0;
    }
    if (f.at("kind") == "dismiss") return DismissMenu(menu->window);
    uint64_t item = 0;
    if (Number(f, "item", 20, &item))
      for (const MenuItem& i : menu->items)
        if (!i.separator && i.id == item) return ChooseMenuItem(menu->window, item);
    *why = "no such item in the menu";
    return 0;
  }

  uint32_t ActOnDialog(const Form& f, uint64_t window, int* status, std::string* why) {
    std::optional<DialogSnapshot> dialog;
    {
      std::lock_guard<std::mutex> guard(m);
      for (const DialogSnapshot& d : dialogs)
        if (d.window.local == window && d.visible) dialog = d;
    }
    if (!dialog) {
      *why = Format("no open dialog %llu", window);
      return 0;
    }
    const std::string& kind = f.at("kind");
    if (kind == "close") return SendDialogInput(dialog->window, DialogInput::Close());
    if (kind == "fill") return Fill(f, *dialog, status, why);
    if (kind == "key") {
      const auto key = f.find("key");
      if (key == f.end() || (key->second != "enter" && key->second != "escape")) {
        *status = 400;
        *why = "a key that is neither enter nor escape";
        return 0;
      }
      return SendDialogInput(
          dialog->window,
          DialogInput::Key(key->second == "enter" ? DialogKey::Enter : DialogKey::Escape));
    }
    uint64_t id = 0;
    const ControlState* c =
        Number(f, "control", 9, &id) ? dialog->Find(static_cast<int>(id)) : nullptr;
    if (!c || !c->visible || !c->enabled) {
      *why = "no control of the dialog that takes input";
      return 0;
    }
    const auto text = f.find("text");
    if (kind == "click") {
      if (c->kind != ControlKind::Button && c->kind != ControlKind::DefaultButton &&
          c->kind != ControlKind::CheckBox && c->kind != ControlKind::Radio) {
        *why = "a click on a control that takes none";
        return 0;
      }
      return SendDialogInput(dialog->window, DialogInput::Click(c->id));
    }
    if (kind == "type") {
      if ((c->kind != ControlKind::Edit && c->kind != ControlKind::Password) || c->readOnly ||
          text == f.end()) {
        *why = "typing where nothing can be typed";
        return 0;
      }
      return SendDialogInput(dialog->window, DialogInput::Type(c->id, text->second));
    }
    // A selection: by index, or by the entry's whole text.
    uint64_t index = 0;
    bool found = false;
    if (Number(f, "index", 9, &index)) {
      found = text == f.end() && index < c->items.size();
    } else if (text != f.end() && !f.count("index")) {
      for (size_t i = 0; i < c->items.size() && !found; ++i) {
        found = c->items[i] == text->second;
        index = i;
      }
    }
    if (!IsList(c->kind) || !found) {
      *why = "no such entry in a list";
      return 0;
    }
    return SendDialogInput(dialog->window, DialogInput::Select(c->id, static_cast<int>(index)));
  }

  // The fields ("field:ID") a person filled in on the page that a browser
  // control of the dialog shows now.
  uint32_t Fill(const Form& f, const DialogSnapshot& dialog, int* status, std::string* why) {
    uint64_t id = 0, page = 0;
    const ControlState* c =
        Number(f, "control", 9, &id) ? dialog.Find(static_cast<int>(id)) : nullptr;
    if (!c || c->kind != ControlKind::Browser || !c->visible || !c->enabled || !c->browser ||
        !Number(f, "page", 20, &page) || page != c->browser->page) {
      *why = "no page of a browser control shown now";
      return 0;
    }
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, value] : f) {
      if (name.rfind("field:", 0) != 0) continue;
      const std::string field = name.substr(6);
      const bool plain = !field.empty() && field.size() <= 64 &&
                         std::all_of(field.begin(), field.end(), [](char ch) {
                           return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' ||
                                  ch == '-';
                         });
      if (!plain || fields.size() == kMaxFields) {
        *status = 400;
        *why = "a malformed field, or too many";
        return 0;
      }
      fields.emplace_back(field, value);
    }
    return SendDialogInput(dialog.window,
                           DialogInput::Fill(c->id, page, std::move(fields)));
  }
};

WebPresenterOptions WebPresenterOptions::FromEnvironment() {
  WebPresenterOptions options;
  const char* open = std::getenv("TARVEX_WEB_OPEN");
  if (open && std::string_view(open) == "0") options.openBrowser = false;
  return options;
}

std::shared_ptr<WebPresenter> WebPresenter::Start(WebPresenterOptions options, std::string* error) {
  unsigned char bytes[kSecretBytes];
  if (!RandomBytes(bytes, sizeof bytes)) {
    *error = "the web page has no random secret: neither getrandom nor /dev/urandom answered";
    return nullptr;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string secret;
  for (unsigned char b : bytes) {
    secret += kHex[b >> 4];
    secret += kHex[b & 15];
  }

  std::shared_ptr<WebPresenter> presenter(new WebPresenter);
  presenter->state_ = std::make_unique<State>();
  State& s = *presenter->state_;
  s.options = std::move(options);
  if (s.options.pollSeconds < 1) s.options.pollSeconds = 1;
  s.secret = std::move(secret);

  httplib::Server& server = s.server;
  server.set_default_headers({
      {"Content-Security-Policy", kContentSecurityPolicy},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
      {"X-Frame-Options", "DENY"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
  });
  server.set_payload_max_length(kMaxBody);
  // An idle connection of the browser holds a worker; a short wait lets
  // the server end soon after the presenter.
  server.set_keep_alive_timeout(1);
  State* state = &s;
  server.set_pre_routing_handler([state](const Request& req, Response& res) {
    t_refusalLogged = false;
    std::string resource;
    if (!state->Admit(req, res, &resource)) return httplib::Server::HandlerResponse::Handled;
    if (req.method == "POST") return httplib::Server::HandlerResponse::Unhandled;
    state->Serve(resource, req, res);
    return httplib::Server::HandlerResponse::Handled;
  });
  // Admitted above: the body is read by now.
  server.Post(".*", [state](const Request& req, Response& res) { state->Act(req, res); });
  server.set_logger([state](const Request& req, const Response& res) {
    if (res.status >= 400 && !t_refusalLogged)
      state->Log(Format("Web page: the HTTP layer refused %s %s (status %d)", Printable(req.method),
                        LoggedPath(req.path), res.status));
    t_refusalLogged = false;
  });

  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    *error = "the web page found no port to listen on at 127.0.0.1";
    return nullptr;
  }
  s.host = Format("127.0.0.1:%d", port);
  s.origin = "http://" + s.host;
  s.url = s.origin + "/" + s.secret + "/";
  s.thread = std::thread([state] { state->server.listen_after_bind(); });
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.is_running() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server.is_running()) {
    server.stop();
    s.thread.join();
    *error = "the web page's server did not start";
    return nullptr;
  }

  if (s.options.announce) {
    s.options.announce(s.url);
  } else {
    std::fprintf(stderr, "Tarvex: open %s in your browser\n", s.url.c_str());
    std::fflush(stderr);
  }
  if (s.options.openBrowser) {
    const int opened = OpenWithDesktop(s.url);
    if (opened <= 32)
      s.Log(
          Format("Web page: the browser could not be opened (error %d); open the address by "
                 "hand",
                 opened));
  }
  return presenter;
}

WebPresenter::~WebPresenter() {
  if (!state_) return;
  state_->Change([&] { state_->stopping = true; });
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

std::string WebPresenter::Url() const {
  return state_->url;
}

void WebPresenter::DialogShown(const DialogSnapshot& dialog) {
  state_->Change([&] {
    std::erase_if(state_->dialogs,
                  [&](const DialogSnapshot& d) { return d.window == dialog.window; });
    state_->dialogs.push_back(dialog);
  });
}

void WebPresenter::DialogChanged(const DialogSnapshot& dialog) {
  state_->Change([&] {
    for (DialogSnapshot& d : state_->dialogs)
      if (d.window == dialog.window) d = dialog;
  });
}

void WebPresenter::DialogClosed(const HWND& dialog) {
  state_->Change([&] {
    std::erase_if(state_->dialogs, [&](const DialogSnapshot& d) { return d.window == dialog; });
  });
}

void WebPresenter::TrayChanged(const std::vector<TrayIcon>& icons) {
  state_->Change([&] { state_->tray = icons; });
}

void WebPresenter::Balloon(const BalloonRecord& balloon) {
  state_->Change([&] {
    state_->balloons.push_back(ShownBalloon{++state_->balloonsShown, balloon});
    while (state_->balloons.size() > kBalloonsKept) state_->balloons.pop_front();
  });
}

void WebPresenter::MenuShown(const MenuSnapshot& menu) {
  state_->Change([&] { state_->menus.push_back(menu); });
}

void WebPresenter::MenuClosed(const HWND& menu) {
  state_->Change([&] {
    std::erase_if(state_->menus, [&](const MenuSnapshot& m) { return m.window == menu; });
  });
}

}  // namespace tarvex
