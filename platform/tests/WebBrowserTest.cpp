// The browser control: the events its dialog hears for pages that load and
// pages that do not, pages a provider gives one after another, a person's
// answer on the page, the document's calls and their faults, and the
// client's own pages read from the program's folder.
#include "platform/win/WebBrowser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "platform/testing/TempDir.h"
#include "platform/win/ScriptedPresenter.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

constexpr int kBrowser = 50;

// A modeless dialog with a browser: records what it hears, with the value
// of `_flag` at each DocumentComplete, and ends when told to.
class Host : public Dialog {
 public:
  Host() : Dialog(DialogTemplate{70, "Page", 200, 150, "", {{kBrowser, ControlKind::Browser, "", 0, 0, 200, 150, 0}}}) {
    browser.onDocumentComplete = [this](const std::string& url) {
      std::string flag = "<none>";
      HtmlDocument* doc = nullptr;
      HtmlElement* e = nullptr;
      if (browser.Document(&doc) && doc->GetElementById("_flag", &e) && e) doc->Value(e, &flag);
      heard.push_back("complete " + url + " " + flag);
      if (flag == "end") done = true;
    };
    browser.onNavigateError = [this](const std::string& url, int status) {
      heard.push_back("error " + url + " " + std::to_string(status));
    };
  }
  // Runs the loop until `done` or nothing is left to do.
  void Pump() {
    MSG msg;
    while (!done && PeekMessage(&msg)) DispatchMessage(msg);
  }
  WebBrowser browser{*this, kBrowser};
  std::vector<std::string> heard;
  bool done = false;
};

class WebBrowserTest : public ::testing::Test {
 protected:
  ~WebBrowserTest() override {
    MSG msg;
    while (PeekMessage(&msg)) {
    }
  }
  std::shared_ptr<ScriptedPageProvider> pages_ = std::make_shared<ScriptedPageProvider>();
  ScopedPageProvider installed_{pages_};
};

TEST_F(WebBrowserTest, TheDialogHearsEachPageInTurnAndAFailedLoadAsAnErrorFirst) {
  pages_->Pages("/a", {WebPage::Form({{"_flag", "one"}}), WebPage::Form({{"_flag", "two"}}),
                       WebPage::Form({{"_flag", "end"}}), WebPage::Form({{"_flag", "never"}})});
  pages_->Error("/b", 502);
  Host host;
  ASSERT_TRUE(host.Create());
  host.browser.Navigate("http://x.example/a");
  EXPECT_TRUE(host.heard.empty()) << "events come through the dialog's queue";
  host.Pump();
  EXPECT_EQ(host.heard, (std::vector<std::string>{"complete http://x.example/a one",
                                                  "complete http://x.example/a two",
                                                  "complete http://x.example/a end"}));
  EXPECT_EQ(host.Snapshot().Find(kBrowser)->text, "http://x.example/a");

  host.heard.clear();
  host.done = false;
  host.browser.Navigate("http://x.example/b");
  host.Pump();
  EXPECT_EQ(host.heard, (std::vector<std::string>{"error http://x.example/b 502",
                                                  "complete http://x.example/b <none>"}));
  EXPECT_EQ(pages_->Failures(), std::vector<std::string>{});
}

TEST_F(WebBrowserTest, APersonsAnswerLandsInTheFieldsOfThePageShownOnly) {
  pages_->Pages("/form", {WebPage::Form({{"_flag", ""}, {"_username", ""}})});
  Host host;
  ASSERT_TRUE(host.Create());
  host.browser.Navigate("http://x.example/form");
  host.Pump();
  const auto view = host.Snapshot().Find(kBrowser)->browser;
  ASSERT_TRUE(view);
  const uint64_t page = view->page;

  // A stale page's answer, and one on a control that is no browser, do
  // nothing; fields the page does not have are not made.
  ASSERT_EQ(SendDialogInput(host.window(), DialogInput::Fill(kBrowser, page + 1, {{"_flag", "end"}})), 0u);
  ASSERT_EQ(SendDialogInput(host.window(), DialogInput::Fill(99, page, {{"_flag", "end"}})), 0u);
  ASSERT_EQ(SendDialogInput(host.window(),
                            DialogInput::Fill(kBrowser, page, {{"_flag", "end"}, {"_username", "ann"}, {"extra", "1"}})),
            0u);
  host.Pump();
  EXPECT_EQ(host.heard, (std::vector<std::string>{"complete http://x.example/form ",
                                                  "complete http://x.example/form end"}));
  HtmlDocument* doc = nullptr;
  HtmlElement* e = nullptr;
  std::string user;
  ASSERT_TRUE(host.browser.Document(&doc));
  ASSERT_TRUE(doc->GetElementById("_username", &e) && e && doc->Value(e, &user));
  EXPECT_EQ(user, "ann");
  ASSERT_TRUE(doc->GetElementById("extra", &e));
  EXPECT_EQ(e, nullptr);
}

// A modal dialog whose page comes a moment after it shows; OK ends it with
// what the page's _username field holds then.
class FormDialog : public Dialog {
 public:
  static constexpr int kOK = 7;
  static constexpr uint32_t kNavigate = WM_USER + 1;
  FormDialog()
      : Dialog(DialogTemplate{71, "Form", 200, 150, "",
                              {{kBrowser, ControlKind::Browser, "", 0, 0, 200, 120, 0},
                               {kOK, ControlKind::Button, "OK", 140, 130, 50, 14, 0}}}) {
    browser.onDocumentComplete = [this](const std::string&) { ++completed; };
  }
  bool OnInitDialog() override {
    PostMessage(window(), kNavigate, 0, 0);
    return true;
  }
  int64_t OnMessage(uint32_t message, uint64_t wParam, int64_t lParam) override {
    if (message == kNavigate) browser.Navigate("http://x.example/form");
    return Dialog::OnMessage(message, wParam, lParam);
  }
  void OnCommand(int id, int code) override {
    if (id != kOK) return Dialog::OnCommand(id, code);
    HtmlDocument* doc = nullptr;
    HtmlElement* e = nullptr;
    if (browser.Document(&doc) && doc->GetElementById("_username", &e) && e) doc->Value(e, &user);
    EndDialog(kOK);
  }
  WebBrowser browser{*this, kBrowser};
  std::string user;
  int completed = 0;
};

TEST_F(WebBrowserTest, AScriptFillsThePageOnceItShowsAndWhatFollowsWaitsForIt) {
  pages_->Pages("/form", {WebPage::Form({{"_flag", ""}, {"_username", ""}})});
  std::string error;
  auto script = ScriptedPresenter::Parse(
      "dialog 71 fill 50 \"_username=ann = 1\" \"_flag=done\" press 7\n", &error);
  ASSERT_TRUE(script) << error;
  auto saved = SetPresenter(script);
  FormDialog dialog;
  const int result = dialog.DoModal();
  SetPresenter(saved);
  EXPECT_EQ(script->Failures(), std::vector<std::string>{});
  EXPECT_EQ(result, FormDialog::kOK);
  EXPECT_EQ(dialog.user, "ann = 1") << "the page was filled before OK was pressed";
  EXPECT_GE(dialog.completed, 1) << "the page's load";
}

TEST_F(WebBrowserTest, EachCallOfTheDocumentFailsWhereThePageSaysAndChangesNothing) {
  struct Case {
    DomFault fault;
    int failingCall;  // which call of the sequence below fails
  };
  // The calls, in order: 0 All, 1 Tags, 2 Collection, 3 Item, 4 Node (the
  // head), 5 CreateElement, 6 Script, 7 SetText, 8 Node (the script),
  // 9 AppendChild, 10 GetElementById, 11 Value.
  const Case cases[] = {
      {{DomCall::All}, 0},           {{DomCall::Tags}, 1},        {{DomCall::Collection}, 2},
      {{DomCall::Item}, 3},          {{DomCall::Node, 1}, 4},     {{DomCall::CreateElement}, 5},
      {{DomCall::Script}, 6},        {{DomCall::SetText}, 7},     {{DomCall::Node, 2}, 8},
      {{DomCall::AppendChild}, 9},   {{DomCall::ElementById}, 10}, {{DomCall::Value}, 11},
      {{DomCall::Node, 0}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failingCall);
    HtmlDocument doc({{"f", "v"}}, true, {c.fault});
    std::vector<std::string> scripts;
    doc.OnScriptAppended([&](const std::string& text) { scripts.push_back(text); });
    HtmlCollection all, heads;
    size_t count = 0;
    HtmlElement* head = nullptr;
    HtmlElement* script = nullptr;
    HtmlElement* field = nullptr;
    std::string value;
    const std::vector<std::function<bool()>> calls = {
        [&] { return doc.All(&all); },
        [&] { return doc.Tags(all, "head", &heads); },
        [&] { return doc.Collection(heads, &count) && count == 1; },
        [&] { return doc.Item(heads, 0, &head); },
        [&] { return doc.Node(head); },
        [&] { return doc.CreateElement("SCRIPT", &script); },
        [&] { return doc.Script(script); },
        [&] { return doc.SetText(script, "go();"); },
        [&] { return doc.Node(script); },
        [&] { return doc.AppendChild(head, script); },
        [&] { return doc.GetElementById("f", &field) && field; },
        [&] { return doc.Value(field, &value) && value == "v"; },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
      const bool ok = calls[i]();
      EXPECT_EQ(ok, static_cast<int>(i) != c.failingCall) << "call " << i;
      if (!ok) break;
    }
    if (c.failingCall <= 9) EXPECT_TRUE(scripts.empty()) << "nothing reached the page";
    else EXPECT_EQ(scripts, std::vector<std::string>{"go();"});
  }
  // Without faults: a created element is appended once, and only into the
  // document.
  HtmlDocument doc({}, false);
  HtmlCollection all, heads;
  ASSERT_TRUE(doc.All(&all) && doc.Tags(all, "head", &heads));
  EXPECT_TRUE(heads.empty());
  HtmlElement* e = nullptr;
  ASSERT_TRUE(doc.CreateElement("div", &e));
  EXPECT_FALSE(doc.Script(e)) << "a div is no script";
  HtmlElement outside;
  EXPECT_FALSE(doc.AppendChild(&outside, e));
  EXPECT_TRUE(doc.AppendChild(&doc.root(), e));
  EXPECT_FALSE(doc.AppendChild(&doc.root(), e)) << "appended already";
}

TEST_F(WebBrowserTest, APagesModelIsItsHeadAndTheInputsThatHaveAnId) {
  const WebPage page = ReadPageModel(
      "<!DOCTYPE html><HTML><Head><title>x</title></head><body>"
      "<!-- <input id=\"commented\"> -->"
      "<form><input type=\"hidden\" id=\"_flag\" value=\"a > b\">"
      "<input id='_username' value='ann'><input type=text value=\"no id\">"
      "<INPUT TYPE=CHECKBOX ID=_remempw CHECKED><input type=\"checkbox\" id=\"off\" value=\"x\">"
      "<input id=bare></form></body></html>");
  EXPECT_TRUE(page.head);
  EXPECT_EQ(page.fields, (std::vector<std::pair<std::string, std::string>>{
                             {"_flag", "a > b"}, {"_username", "ann"}, {"_remempw", "on"},
                             {"off", ""}, {"bare", ""}}));
  EXPECT_FALSE(ReadPageModel("<html><body><p>headless</p><header>x</header></body></html>").head);
}

TEST_F(WebBrowserTest, TheProgramsPagesComeFromItsFolderAndNothingElseDoes) {
  testing::TempDir dir;
  const fs::path folder = dir / "program";
  fs::create_directories(folder / "wizard");
  fs::create_directories(folder / "tabs");
  std::ofstream(folder / "wizard/wizard.html") << "<html><head></head><input id=_flag></html>";
  std::ofstream(folder / "wizard/wizard.js") << "go();";
  std::ofstream(folder / "wizard/notes.txt") << "not served";
  std::ofstream(folder / "tabs/tabs.html") << "<html><body></body></html>";
  std::ofstream(dir / "secret.html") << "<html></html>";
  fs::create_symlink(dir / "secret.html", folder / "tabs/link.html");

  ProgramPageProvider provider(folder.string());
  PageLoad wizard = provider.Load("https://login.example/wizard?_ua=A%2FB&_username=a%26b#top");
  ASSERT_EQ(wizard.pages.size(), 1u) << wizard.error;
  const WebPage& page = wizard.pages[0];
  EXPECT_EQ(page.entry, "wizard.html");
  EXPECT_EQ(page.query, "_ua=A%2FB&_username=a%26b");
  ASSERT_TRUE(page.files);
  EXPECT_EQ(page.files->size(), 2u) << "the page and its script, nothing else";
  EXPECT_EQ(page.files->at("wizard.js"), "go();");
  EXPECT_EQ(page.fields, (std::vector<std::pair<std::string, std::string>>{{"_flag", ""}}));
  EXPECT_EQ(provider.Load("login.example/wizard").pages.size(), 1u) << "no scheme: the web";
  // A query with what no encoder leaves is not handed on.
  EXPECT_EQ(provider.Load("http://x/wizard?a=<b>").pages.at(0).query, "");

  const PageLoad tabs = provider.Load((folder / "tabs/tabs.html").string());
  ASSERT_EQ(tabs.pages.size(), 1u) << tabs.error;
  EXPECT_FALSE(tabs.pages[0].head);
  EXPECT_EQ(provider.Load("file://" + (folder / "tabs/tabs.html").string()).pages.size(), 1u);

  const std::string refused[] = {
      dir / "secret.html",
      (folder / "tabs/../../secret.html").string(),
      (folder / "tabs/link.html").string(),
      (folder / "wizard/notes.txt").string(),
      "https://login.example/missing",
      "https://login.example/Wizard",
      "https://login.example/",
      "ftp://login.example/wizard",
      "javascript:alert(1)",
  };
  for (const std::string& url : refused) {
    const PageLoad load = provider.Load(url);
    EXPECT_TRUE(load.pages.empty()) << url;
    EXPECT_FALSE(load.error.empty()) << url;
  }
  EXPECT_FALSE(ProgramPageProvider("").Load("http://x/wizard").error.empty());
}

}  // namespace
}  // namespace tarvex
