// The web-browser control of dialogs, as the Windows programs host it: a
// control of a dialog (ControlKind::Browser) that navigates to an address
// and tells its dialog what happened through events posted to the dialog's
// window, dispatched on the dialog's thread:
//  - a page that loaded: DocumentComplete;
//  - a page that did not: NavigateError, then DocumentComplete (of the
//    error page a browser shows instead).
//
// A page is a tiny document model (HtmlDocument): elements with a tag, an
// id, attributes (`value` among them), text and children, and the calls the
// dialogs make on it. Every call can fail as the browser's object model
// can, so a page may carry faults (DomFault) that make a chosen call fail.
//
// Pages come from the process's PageProvider: scripted pages for tests
// (ScriptedPageProvider), and for a person the client's own pages, shipped
// in the program's folder (ProgramPageProvider), which the web presenter
// shows in a sandboxed frame inside the dialog. What the person fills in
// there comes back as DialogInput::Fill and lands in the model's fields,
// followed by a DocumentComplete, so a dialog reads a person's answer the
// same way it reads a scripted page. Scripts the dialog appends to the page
// are recorded for the presenter, which hands them to the frame as data.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win/Dialog.h"

namespace tarvex {

// The message a browser posts to its dialog's window (wParam: the control).
inline constexpr uint32_t kBrowserEventMessage = WM_LAYER_FIRST + 6;

// The event numbers of the browser's event interface.
inline constexpr int DISPID_DOCUMENTCOMPLETE = 259;
inline constexpr int DISPID_NAVIGATEERROR = 271;

// ---- The document ----

struct HtmlElement {
  std::string tag;  // lower case
  std::string id;
  std::map<std::string, std::string> attributes;
  std::string text;
  std::vector<std::unique_ptr<HtmlElement>> children;
  HtmlElement* parent = nullptr;
};

// The calls of a page's document. What the browser's object model does in
// more than one step (a result read as a collection, an element taken as a
// node to append, or as a script) is a call of its own here, so that each
// step can fail as it can there.
enum class DomCall {
  Document,       // the browser's document
  All,            // every element of the document
  Tags,           // the elements of a collection with one tag
  Collection,     // a result read as a collection
  Item,           // an element of a collection
  Node,           // an element taken as a node
  CreateElement,  // a new element, not yet in the document
  Script,         // an element taken as a script
  SetText,        // an element's text
  AppendChild,    // an element appended to another
  ElementById,    // the element of an id
  Value,          // an element's value
};

// Makes the `nth` call (1: the first) of `call` on a page fail; 0: every
// one.
struct DomFault {
  DomCall call;
  int nth = 1;
};

using HtmlCollection = std::vector<HtmlElement*>;

class HtmlDocument {
 public:
  // <html>, with <head> unless `head` is false, and <body> holding an
  // <input> for each field (id, value) in order.
  HtmlDocument(const std::vector<std::pair<std::string, std::string>>& fields, bool head,
               std::vector<DomFault> faults = {});

  HtmlElement& root() { return *root_; }
  // Told each script element appended inside the document, with its text.
  void OnScriptAppended(std::function<void(const std::string& text)> told);

  // Each call gives false, and changes nothing, when the page made it fail.
  bool All(HtmlCollection* out);
  bool Tags(const HtmlCollection& in, std::string_view tag, HtmlCollection* out);
  // `in`'s length.
  bool Collection(const HtmlCollection& in, size_t* length);
  bool Item(const HtmlCollection& in, size_t index, HtmlElement** out);
  // False too for an element of no document.
  bool Node(HtmlElement* element);
  bool CreateElement(std::string_view tag, HtmlElement** out);
  // False too for an element that is no script.
  bool Script(HtmlElement* element);
  bool SetText(HtmlElement* element, std::string text);
  // Moves a created element to the end of `parent`'s children. False too
  // when `child` is not one this document created and nobody appended yet.
  bool AppendChild(HtmlElement* parent, HtmlElement* child);
  // True with null when no element has the id.
  bool GetElementById(std::string_view id, HtmlElement** out);
  bool Value(const HtmlElement* element, std::string* out);
  void SetValue(HtmlElement* element, std::string value);

  // Counts a call of `call` and tells whether it goes through (false: the
  // page made it fail).
  bool Allowed(DomCall call);

 private:
  bool Contains(const HtmlElement* element) const;

  std::unique_ptr<HtmlElement> root_;
  std::vector<std::unique_ptr<HtmlElement>> created_;  // not appended yet
  std::vector<DomFault> faults_;
  std::map<DomCall, int> calls_;
  std::function<void(const std::string&)> scriptAppended_;
};

// ---- Pages and who provides them ----

// A page as a provider gives it.
struct WebPage {
  // The form fields (input elements) by id, with their values, in order.
  std::vector<std::pair<std::string, std::string>> fields;
  bool head = true;
  std::vector<DomFault> faults;
  // For a person: the page's files (name to content) and which of them is
  // the page; the query of the address it was asked for, handed on to it.
  std::string entry;
  std::shared_ptr<const std::map<std::string, std::string>> files;
  std::string query;

  static WebPage Form(std::vector<std::pair<std::string, std::string>> fields) {
    WebPage page;
    page.fields = std::move(fields);
    return page;
  }
};

// What a navigation gives: the pages shown one after another (each after
// the DocumentComplete of the one before was handled: a person clicking
// through), or an error.
struct PageLoad {
  std::vector<WebPage> pages;
  std::string error;  // not empty: the navigation failed
  int status = 0;     // its status code

  static PageLoad Failed(std::string error, int status = 404) {
    PageLoad load;
    load.error = std::move(error);
    load.status = status;
    return load;
  }
};

// Calls come on the thread of the browser's dialog.
class PageProvider {
 public:
  virtual ~PageProvider() = default;
  virtual PageLoad Load(const std::string& url) = 0;
  // A script element the program appended to the page of `url`.
  virtual void ScriptAppended(const std::string& url, const std::string& text) {
    (void)url;
    (void)text;
  }
};

// The process's provider: the one set, else a ProgramPageProvider on the
// running program's folder, made on first use.
std::shared_ptr<PageProvider> CurrentPageProvider();
// Returns the one it replaces (null when none was made yet).
std::shared_ptr<PageProvider> SetPageProvider(std::shared_ptr<PageProvider> provider);

// The client's own pages, kept in the program's folder as
// "<folder>/<name>/<name>.html" beside the files they use:
//  - a file's path (or a "file://" address) inside the folder is that page;
//  - an http or https address (or one without a scheme, as a browser
//    takes it) whose path ends in "/<name>" is the page
//    <name> of the folder, with the address's query handed on to it;
//  - anything else, and a page that cannot be read, fails to load.
// A page's files are the .html, .js and .css files beside it (at most 32 of
// 1 MiB each); its fields are its <input> elements that have an id (a check
// box's value is "on" when checked, else empty).
class ProgramPageProvider : public PageProvider {
 public:
  explicit ProgramPageProvider(std::string folder);
  PageLoad Load(const std::string& url) override;

 private:
  PageLoad LoadFile(const std::string& path, std::string query);
  std::string folder_;
};

// The fields and the head of a page's HTML (see ProgramPageProvider).
WebPage ReadPageModel(std::string_view html);

// Pages for tests: each navigation to an address that contains a pattern
// takes the first unused entry of that pattern, in the order given. An
// address nobody scripted is a failure (recorded) and fails to load.
class ScriptedPageProvider : public PageProvider {
 public:
  ScriptedPageProvider& Pages(std::string pattern, std::vector<WebPage> pages);
  ScriptedPageProvider& Error(std::string pattern, int status = 404);

  PageLoad Load(const std::string& url) override;
  void ScriptAppended(const std::string& url, const std::string& text) override;

  std::vector<std::string> Loaded() const;   // every address asked for
  std::vector<std::string> Scripts() const;  // every script appended
  std::vector<std::string> Failures() const;
  size_t Unused() const;

 private:
  struct Entry {
    std::string pattern;
    PageLoad load;
    bool used = false;
  };
  mutable std::mutex m_;
  std::vector<Entry> entries_;
  std::vector<std::string> loaded_, scripts_, failures_;
};

// Installs a provider as the process's for the life of the object.
class ScopedPageProvider {
 public:
  explicit ScopedPageProvider(std::shared_ptr<PageProvider> provider)
      : saved_(SetPageProvider(std::move(provider))) {}
  ~ScopedPageProvider() { SetPageProvider(saved_); }
  ScopedPageProvider(const ScopedPageProvider&) = delete;
  ScopedPageProvider& operator=(const ScopedPageProvider&) = delete;

 private:
  std::shared_ptr<PageProvider> saved_;
};

// ---- The control ----

// Lives as long as its dialog object (a member of it): it hosts itself on
// the dialog's control `control`, which shows its address as text.
class WebBrowser {
 public:
  WebBrowser(Dialog& host, int control);
  ~WebBrowser();
  WebBrowser(const WebBrowser&) = delete;
  WebBrowser& operator=(const WebBrowser&) = delete;

  // The sink: called on the dialog's thread, from its loop.
  std::function<void(const std::string& url)> onDocumentComplete;
  std::function<void(const std::string& url, int status)> onNavigateError;

  // Asks the process's provider for the page; the events follow through
  // the dialog's queue. Needs the dialog's window.
  void Navigate(const std::string& url);
  // The page's document: false when nothing is shown yet or the page made
  // the call fail.
  bool Document(HtmlDocument** out);
  const std::string& url() const { return url_; }
  // Keys go to the page as they come.
  bool TranslateAccelerator(const MSG&) { return false; }

  // From the dialog: the next event posted, and a person's answer on the
  // page `page` (stale answers are dropped).
  void DeliverEvent();
  void Fill(uint64_t page, const std::vector<std::pair<std::string, std::string>>& fields);

 private:
  struct Event {
    int dispid;
    std::string url;
    int status;
  };
  void Show(WebPage page);
  void Post(Event event);
  void Publish();

  Dialog& host_;
  int control_;
  std::shared_ptr<PageProvider> provider_;
  std::string url_;
  std::deque<WebPage> later_;  // the navigation's pages still to come
  std::deque<Event> events_;
  std::unique_ptr<HtmlDocument> document_;
  uint64_t page_ = 0;
  BrowserView view_;
};

}  // namespace tarvex
