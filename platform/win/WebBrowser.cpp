#include "platform/win/WebBrowser.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/process/Process.h"
#include "text/Text.h"

namespace tarvex {
namespace fs = std::filesystem;

// ---- The document ----

namespace {

std::unique_ptr<HtmlElement> MakeElement(std::string tag, HtmlElement* parent) {
  auto e = std::make_unique<HtmlElement>();
  e->tag = std::move(tag);
  e->parent = parent;
  return e;
}

void Collect(HtmlElement& e, HtmlCollection* out) {
  out->push_back(&e);
  for (auto& child : e.children) Collect(*child, out);
}

HtmlElement* FindId(HtmlElement& e, std::string_view id) {
  if (!e.id.empty() && e.id == id) return &e;
  for (auto& child : e.children)
    if (HtmlElement* found = FindId(*child, id)) return found;
  return nullptr;
}

}  // namespace

HtmlDocument::HtmlDocument(const std::vector<std::pair<std::string, std::string>>& fields,
                           bool head, std::vector<DomFault> faults)
    : root_(MakeElement("html", nullptr)), faults_(std::move(faults)) {
  if (head) root_->children.push_back(MakeElement("head", root_.get()));
  root_->children.push_back(MakeElement("body", root_.get()));
  HtmlElement& body = *root_->children.back();
  for (const auto& [id, value] : fields) {
    body.children.push_back(MakeElement("input", &body));
    body.children.back()->id = id;
    body.children.back()->attributes["value"] = value;
  }
}

void HtmlDocument::OnScriptAppended(std::function<void(const std::string&)> told) {
  scriptAppended_ = std::move(told);
}

bool HtmlDocument::Allowed(DomCall call) {
  const int count = ++calls_[call];
  for (const DomFault& f : faults_)
    if (f.call == call && (f.nth == 0 || f.nth == count)) return false;
  return true;
}

bool HtmlDocument::Contains(const HtmlElement* element) const {
  while (element && element->parent) element = element->parent;
  return element == root_.get();
}

bool HtmlDocument::All(HtmlCollection* out) {
  if (!Allowed(DomCall::All)) return false;
  out->clear();
  Collect(*root_, out);
  return true;
}

bool HtmlDocument::Tags(const HtmlCollection& in, std::string_view tag, HtmlCollection* out) {
  if (!Allowed(DomCall::Tags)) return false;
  HtmlCollection found;
  for (HtmlElement* e : in)
    if (e && e->tag == tag) found.push_back(e);
  *out = std::move(found);
  return true;
}

bool HtmlDocument::Collection(const HtmlCollection& in, size_t* length) {
  if (!Allowed(DomCall::Collection)) return false;
  *length = in.size();
  return true;
}

bool HtmlDocument::Item(const HtmlCollection& in, size_t index, HtmlElement** out) {
  if (!Allowed(DomCall::Item) || index >= in.size()) return false;
  *out = in[index];
  return true;
}

bool HtmlDocument::Node(HtmlElement* element) {
  if (!Allowed(DomCall::Node) || !element) return false;
  if (Contains(element)) return true;
  return std::any_of(created_.begin(), created_.end(),
                     [&](const auto& e) { return e.get() == element; });
}

bool HtmlDocument::CreateElement(std::string_view tag, HtmlElement** out) {
  if (!Allowed(DomCall::CreateElement) || tag.empty()) return false;
  created_.push_back(MakeElement(AsciiLower(tag), nullptr));
  *out = created_.back().get();
  return true;
}

bool HtmlDocument::Script(HtmlElement* element) {
  return Allowed(DomCall::Script) && element && element->tag == "script";
}

bool HtmlDocument::SetText(HtmlElement* element, std::string text) {
  if (!Allowed(DomCall::SetText) || !element) return false;
  element->text = std::move(text);
  return true;
}

bool HtmlDocument::AppendChild(HtmlElement* parent, HtmlElement* child) {
  if (!Allowed(DomCall::AppendChild) || !parent || !Contains(parent)) return false;
  const auto it = std::find_if(created_.begin(), created_.end(),
                               [&](const auto& e) { return e.get() == child; });
  if (it == created_.end()) return false;
  child->parent = parent;
  parent->children.push_back(std::move(*it));
  created_.erase(it);
  if (child->tag == "script" && scriptAppended_) scriptAppended_(child->text);
  return true;
}

bool HtmlDocument::GetElementById(std::string_view id, HtmlElement** out) {
  if (!Allowed(DomCall::ElementById)) return false;
  *out = FindId(*root_, id);
  return true;
}

bool HtmlDocument::Value(const HtmlElement* element, std::string* out) {
  if (!Allowed(DomCall::Value) || !element) return false;
  const auto it = element->attributes.find("value");
  *out = it == element->attributes.end() ? std::string() : it->second;
  return true;
}

void HtmlDocument::SetValue(HtmlElement* element, std::string value) {
  if (element) element->attributes["value"] = std::move(value);
}

// ---- Providers ----

namespace {

std::mutex& ProviderLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<PageProvider>& Provider() {
  static auto* provider = new std::shared_ptr<PageProvider>;
  return *provider;
}

constexpr size_t kMaxPageFiles = 32;
constexpr uintmax_t kMaxPageFileBytes = 1 << 20;

bool IsPageFile(const fs::path& path) {
  const std::string ext = path.extension().string();
  return ext == ".html" || ext == ".js" || ext == ".css";
}

bool ReadSmallFile(const fs::path& path, std::string* out) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(path, ec)) || fs::file_size(path, ec) > kMaxPageFileBytes)
    return false;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return static_cast<bool>(in) || in.eof();
}

bool IsPageName(std::string_view name) {
  return !name.empty() && name.size() <= 64 &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
         });
}

// A query fit to hand on in an address: the characters an encoder leaves.
bool IsPlainQuery(std::string_view query) {
  return query.size() <= 4096 && std::all_of(query.begin(), query.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  std::string_view("%&=._~+-").find(c) != std::string_view::npos;
         });
}

}  // namespace

std::shared_ptr<PageProvider> CurrentPageProvider() {
  std::lock_guard<std::mutex> guard(ProviderLock());
  if (!Provider()) {
    const std::string self = SelfExecutablePath();
    Provider() = std::make_shared<ProgramPageProvider>(
        self.empty() ? std::string() : fs::path(self).parent_path().string());
  }
  return Provider();
}

std::shared_ptr<PageProvider> SetPageProvider(std::shared_ptr<PageProvider> provider) {
  std::lock_guard<std::mutex> guard(ProviderLock());
  std::shared_ptr<PageProvider> old = std::move(Provider());
  Provider() = std::move(provider);
  return old;
}

WebPage ReadPageModel(std::string_view html) {
  WebPage page;
  page.head = false;
  size_t at = 0;
  while ((at = html.find('<', at)) != std::string_view::npos) {
    if (html.substr(at, 4) == "<!--") {
      const size_t end = html.find("-->", at + 4);
      if (end == std::string_view::npos) break;
      at = end + 3;
      continue;
    }
    size_t i = at + 1;
    std::string tag;
    while (i < html.size() && std::isalnum(static_cast<unsigned char>(html[i])))
      tag += static_cast<char>(std::tolower(static_cast<unsigned char>(html[i++])));
    // The tag's attributes up to its '>' (quoted values may hold one).
    std::map<std::string, std::string> attributes;
    while (i < html.size() && html[i] != '>') {
      if (std::isspace(static_cast<unsigned char>(html[i])) || html[i] == '/') {
        ++i;
        continue;
      }
      std::string name;
      while (i < html.size() && !std::isspace(static_cast<unsigned char>(html[i])) &&
             html[i] != '=' && html[i] != '>' && html[i] != '/')
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(html[i++])));
      std::string value;
      if (i < html.size() && html[i] == '=') {
        ++i;
        if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
          const char quote = html[i++];
          const size_t end = html.find(quote, i);
          if (end == std::string_view::npos) return page;
          value = std::string(html.substr(i, end - i));
          i = end + 1;
        } else {
          while (i < html.size() && !std::isspace(static_cast<unsigned char>(html[i])) &&
                 html[i] != '>')
            value += html[i++];
        }
      }
      if (!name.empty()) attributes.emplace(std::move(name), std::move(value));
    }
    at = i;
    if (tag == "head") page.head = true;
    if (tag != "input" || attributes["id"].empty()) continue;
    const bool check = AsciiLower(attributes["type"]) == "checkbox";
    page.fields.emplace_back(attributes["id"],
                             check ? (attributes.count("checked") ? "on" : "") : attributes["value"]);
  }
  return page;
}

ProgramPageProvider::ProgramPageProvider(std::string folder) : folder_(std::move(folder)) {}

PageLoad ProgramPageProvider::Load(const std::string& given) {
  if (folder_.empty()) return PageLoad::Failed("the program's folder is unknown");
  if (!given.empty() && given[0] == '/') return LoadFile(given, {});
  // An address without a scheme is a web address, as a browser takes it.
  const std::string url = given.find("://") == std::string::npos ? "http://" + given : given;
  const std::string lower = AsciiLower(url);
  if (StartsWith(lower, "file://")) return LoadFile(url.substr(7), {});
  const size_t scheme = StartsWith(lower, "http://")    ? 7
                        : StartsWith(lower, "https://") ? 8
                                                        : 0;
  if (scheme == 0) return PageLoad::Failed(Format("[%s] is not one of the client's pages", url));
  const size_t pathAt = url.find('/', scheme);
  const size_t queryAt = url.find_first_of("?#", scheme);
  std::string path = pathAt == std::string::npos || (queryAt != std::string::npos && pathAt > queryAt)
                         ? std::string()
                         : url.substr(pathAt, queryAt == std::string::npos ? std::string::npos
                                                                           : queryAt - pathAt);
  std::string query;
  if (queryAt != std::string::npos && url[queryAt] == '?') {
    query = url.substr(queryAt + 1);
    query = query.substr(0, query.find('#'));
  }
  const std::string name = path.substr(path.rfind('/') + 1);
  if (!IsPageName(name)) return PageLoad::Failed(Format("[%s] is not one of the client's pages", url));
  return LoadFile((fs::path(folder_) / name / (name + ".html")).string(),
                  IsPlainQuery(query) ? query : std::string());
}

PageLoad ProgramPageProvider::LoadFile(const std::string& path, std::string query) {
  std::error_code ec;
  const fs::path folder = fs::weakly_canonical(folder_, ec);
  const fs::path file = fs::weakly_canonical(path, ec);
  const auto [end, rest] = std::mismatch(folder.begin(), folder.end(), file.begin(), file.end());
  if (ec || end != folder.end() || rest == file.end() || !IsPageFile(file))
    return PageLoad::Failed(Format("[%s] is not one of the client's pages", path));
  std::string html;
  if (!ReadSmallFile(file, &html))
    return PageLoad::Failed(Format("the page [%s] cannot be read", file.string()));
  WebPage page = ReadPageModel(html);
  auto files = std::make_shared<std::map<std::string, std::string>>();
  std::vector<fs::path> names;
  for (const fs::directory_entry& e : fs::directory_iterator(file.parent_path(), ec))
    if (IsPageFile(e.path())) names.push_back(e.path());
  std::sort(names.begin(), names.end());
  for (const fs::path& name : names) {
    if (files->size() == kMaxPageFiles) break;
    std::string content;
    if (ReadSmallFile(name, &content)) files->emplace(name.filename().string(), std::move(content));
  }
  (*files)[file.filename().string()] = std::move(html);
  page.entry = file.filename().string();
  page.files = std::move(files);
  page.query = std::move(query);
  PageLoad load;
  load.pages.push_back(std::move(page));
  return load;
}

ScriptedPageProvider& ScriptedPageProvider::Pages(std::string pattern, std::vector<WebPage> pages) {
  std::lock_guard<std::mutex> guard(m_);
  PageLoad load;
  load.pages = std::move(pages);
  entries_.push_back({std::move(pattern), std::move(load)});
  return *this;
}

ScriptedPageProvider& ScriptedPageProvider::Error(std::string pattern, int status) {
  std::lock_guard<std::mutex> guard(m_);
  entries_.push_back({std::move(pattern), PageLoad::Failed("scripted error", status)});
  return *this;
}

PageLoad ScriptedPageProvider::Load(const std::string& url) {
  std::lock_guard<std::mutex> guard(m_);
  loaded_.push_back(url);
  for (Entry& e : entries_) {
    if (e.used || url.find(e.pattern) == std::string::npos) continue;
    e.used = true;
    return e.load;
  }
  failures_.push_back("no page scripted for " + url);
  return PageLoad::Failed("no page scripted for " + url);
}

void ScriptedPageProvider::ScriptAppended(const std::string&, const std::string& text) {
  std::lock_guard<std::mutex> guard(m_);
  scripts_.push_back(text);
}

std::vector<std::string> ScriptedPageProvider::Loaded() const {
  std::lock_guard<std::mutex> guard(m_);
  return loaded_;
}

std::vector<std::string> ScriptedPageProvider::Scripts() const {
  std::lock_guard<std::mutex> guard(m_);
  return scripts_;
}

std::vector<std::string> ScriptedPageProvider::Failures() const {
  std::lock_guard<std::mutex> guard(m_);
  return failures_;
}

size_t ScriptedPageProvider::Unused() const {
  std::lock_guard<std::mutex> guard(m_);
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.used; }));
}

// ---- The control ----

WebBrowser::WebBrowser(Dialog& host, int control) : host_(host), control_(control) {
  host_.HostBrowser(control_, this);
}

WebBrowser::~WebBrowser() {
  host_.HostBrowser(control_, nullptr);
}

void WebBrowser::Navigate(const std::string& url) {
  provider_ = CurrentPageProvider();
  url_ = url;
  // Nothing of the page before is heard any more.
  later_.clear();
  events_.clear();
  document_.reset();
  host_.SetItemText(control_, url);
  PageLoad load = provider_ ? provider_->Load(url) : PageLoad::Failed("no page provider");
  if (!load.error.empty() || load.pages.empty()) {
    // What a browser shows instead: a page of its own, with nothing of the
    // one asked for.
    Show(WebPage{});
    Post({DISPID_NAVIGATEERROR, url, load.status});
    Post({DISPID_DOCUMENTCOMPLETE, url, 0});
    return;
  }
  later_.assign(std::make_move_iterator(load.pages.begin() + 1),
                std::make_move_iterator(load.pages.end()));
  Show(std::move(load.pages.front()));
  Post({DISPID_DOCUMENTCOMPLETE, url, 0});
}

bool WebBrowser::Document(HtmlDocument** out) {
  if (!document_ || !document_->Allowed(DomCall::Document)) return false;
  *out = document_.get();
  return true;
}

void WebBrowser::Show(WebPage page) {
  document_ = std::make_unique<HtmlDocument>(page.fields, page.head, std::move(page.faults));
  document_->OnScriptAppended([this](const std::string& text) {
    view_.scripts.push_back(text);
    Publish();
    if (provider_) provider_->ScriptAppended(url_, text);
  });
  view_ = BrowserView{};
  view_.page = ++page_;
  view_.entry = std::move(page.entry);
  view_.query = std::move(page.query);
  view_.files = std::move(page.files);
  Publish();
}

void WebBrowser::Publish() {
  host_.SetBrowserView(control_, std::make_shared<const BrowserView>(view_));
}

void WebBrowser::Post(Event event) {
  events_.push_back(std::move(event));
  PostMessage(host_.window(), kBrowserEventMessage, static_cast<uint64_t>(control_), 0);
}

void WebBrowser::DeliverEvent() {
  if (events_.empty()) return;
  const Event event = std::move(events_.front());
  events_.pop_front();
  if (event.dispid == DISPID_NAVIGATEERROR) {
    if (onNavigateError) onNavigateError(event.url, event.status);
    return;
  }
  const uint64_t page = page_;
  if (onDocumentComplete) onDocumentComplete(event.url);
  // The next page of the navigation, once this one was handled, unless the
  // handler navigated elsewhere or ended the dialog.
  if (page_ == page && !later_.empty() && host_.window()) {
    WebPage next = std::move(later_.front());
    later_.pop_front();
    Show(std::move(next));
    Post({DISPID_DOCUMENTCOMPLETE, url_, 0});
  }
}

void WebBrowser::Fill(uint64_t page, const std::vector<std::pair<std::string, std::string>>& fields) {
  if (page != page_ || !document_) return;
  for (const auto& [id, value] : fields) {
    HtmlElement* e = FindId(document_->root(), id);
    if (e && e->tag == "input") document_->SetValue(e, value);
  }
  Post({DISPID_DOCUMENTCOMPLETE, url_, 0});
}

}  // namespace tarvex
