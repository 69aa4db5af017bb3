// The web presenter: its door (the secret, the Host, the Origin, what each
// resource takes), what a person's posts do to dialogs, the tray and menus,
// hostile text kept as data, the safety headers on every answer, and the
// state the page waits for.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/testing/Scoped.h"
#include "platform/win/Dialog.h"
#include "platform/win/Presenter.h"
#include "platform/win/Tray.h"
#include "platform/win/WebBrowser.h"
#include "platform/win/WebPresenter.h"

namespace tarvex {
namespace {

constexpr auto kBound = std::chrono::seconds(20);
constexpr int kForcedEnd = -7;

const std::string kHostile = "<script>alert(1)</script> <img src=x onerror=alert(1)> \"q\" 'a' & b";

enum : int {
  kText = 10,
  kCheck = 11,
  kEdit = 12,
  kFixedEdit = 13,
  kList = 14,
  kCombo = 15,
  kDisabled = 16,
  kHidden = 17,
};

DialogTemplate TestTemplate(const std::string& title = "Question") {
  DialogTemplate t{900, title, 200, 120, "MS Shell Dlg 8", {}};
  t.controls = {
      {kText, ControlKind::Static, "Text", 5, 5, 190, 10, 0},
      {kCheck, ControlKind::CheckBox, "Check", 5, 20, 100, 10, 0},
      {kEdit, ControlKind::Edit, "", 5, 35, 100, 12, 0},
      {kFixedEdit, ControlKind::Edit, "fixed", 110, 35, 80, 12, kReadOnly},
      {kList, ControlKind::ListBox, "", 5, 50, 80, 30, 0},
      {kCombo, ControlKind::ComboBox, "", 110, 50, 80, 12, 0},
      {kDisabled, ControlKind::Button, "Disabled", 5, 100, 40, 14, ::tarvex::kDisabled},
      {kHidden, ControlKind::Button, "Hidden", 50, 100, 40, 14, ::tarvex::kHidden},
      {IDOK, ControlKind::DefaultButton, "OK", 100, 100, 40, 14, 0},
      {IDCANCEL, ControlKind::Button, "Cancel", 150, 100, 40, 14, 0},
  };
  return t;
}

// A command a dialog heard: the control's id and the notification.
using Command = std::pair<int, int>;

// What a dialog run on its own thread came to.
struct Outcome {
  int result = 0;
  std::vector<Command> commands;
  DialogSnapshot last;
};

// A dialog shown modally on a thread of its own, as a program's thread
// shows it. Its entries: "Alpha", "beta", and `entry`.
class ModalOnThread {
 public:
  explicit ModalOnThread(DialogTemplate t, std::string entry = "gamma") {
    thread_ = std::thread([this, t = std::move(t), entry = std::move(entry)] {
      Box box(t, entry, &window_);
      Outcome outcome;
      outcome.result = box.DoModal();
      outcome.commands = box.commands;
      outcome.last = box.Snapshot();
      done_.set_value(std::move(outcome));
    });
  }
  ~ModalOnThread() { Finish(); }

  // The dialog's outcome once it ended; a dialog that does not end within
  // the bound is ended (result kForcedEnd) and fails the test.
  Outcome Finish() {
    if (!thread_.joinable()) return outcome_;
    std::future<Outcome> done = done_.get_future();
    if (done.wait_for(kBound) != std::future_status::ready) {
      ADD_FAILURE() << "the dialog did not end";
      SendDialogInput(HWND{window_.load(), {}}, DialogInput::ForceEnd(kForcedEnd));
    }
    outcome_ = done.get();
    thread_.join();
    return outcome_;
  }

 private:
  class Box : public Dialog {
   public:
    Box(DialogTemplate t, std::string entry, std::atomic<uint64_t>* window)
        : Dialog(std::move(t)), entry_(std::move(entry)), window_(window) {}
    std::vector<Command> commands;

   protected:
    bool OnInitDialog() override {
      for (const std::string& entry : {std::string("Alpha"), std::string("beta"), entry_}) {
        ListAdd(kList, entry);
        ListAdd(kCombo, entry);
      }
      window_->store(window().local);
      return true;
    }
    void OnCommand(int id, int code) override {
      commands.push_back({id, code});
      if (id == IDOK || id == IDCANCEL) EndDialog(id);
    }

   private:
    std::string entry_;
    std::atomic<uint64_t>* window_;
  };

  std::atomic<uint64_t> window_{0};
  std::promise<Outcome> done_;
  Outcome outcome_;
  std::thread thread_;
};

class WebPresenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WebPresenterOptions options;
    options.openBrowser = false;
    // Long enough that a wait only ends on a change or on the end.
    options.pollSeconds = 3600;
    options.announce = [this](const std::string& url) { announced_ = url; };
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> guard(m_);
      log_.push_back(line);
    };
    options.onWait = [this] {
      std::lock_guard<std::mutex> guard(m_);
      ++waits_;
      waited_.notify_all();
    };
    std::string error;
    presenter_ = WebPresenter::Start(options, &error);
    ASSERT_TRUE(presenter_) << error;
    saved_ = SetPresenter(presenter_);
    std::smatch m;
    const std::string url = presenter_->Url();
    ASSERT_TRUE(std::regex_match(url, m, std::regex(R"(http://127\.0\.0\.1:(\d+)/([0-9a-f]+)/)")))
        << url;
    port_ = std::stoi(m[1]);
    secret_ = m[2];
    base_ = "/" + secret_ + "/";
    host_ = "127.0.0.1:" + std::to_string(port_);
    origin_ = "http://" + host_;
  }
  void TearDown() override {
    SetPresenter(saved_);
    presenter_.reset();
  }

  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(kBound);
    return client;
  }
  httplib::Result Get(const std::string& path, httplib::Headers headers = {}) const {
    return Client().Get(path, headers);
  }
  httplib::Result Post(const std::string& body, httplib::Headers headers,
                       const std::string& path = "act",
                       const std::string& type = "application/x-www-form-urlencoded") const {
    return Client().Post(base_ + path, headers, body, type);
  }
  // What the page posts: the page's Origin.
  httplib::Result Act(const std::string& body) const { return Post(body, {{"Origin", origin_}}); }

  Json::Value Parse(const std::string& text) const {
    Json::Value value;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
    return value;
  }
  // The state as the page reads it, waiting while it is at `since`.
  Json::Value State(uint64_t since = 0) const {
    httplib::Result r = Get(base_ + "state?since=" + std::to_string(since));
    if (!r || r->status != 200) {
      ADD_FAILURE() << "no state";
      return {};
    }
    return Parse(r->body);
  }
  // The first state for which `ready` holds, waiting for each change.
  Json::Value WaitFor(const std::function<bool(const Json::Value&)>& ready) const {
    const auto giveUp = std::chrono::steady_clock::now() + kBound;
    Json::Value state = State();
    while (!ready(state) && std::chrono::steady_clock::now() < giveUp)
      state = State(state["version"].asUInt64());
    EXPECT_TRUE(ready(state)) << state.toStyledString();
    return state;
  }
  // The open dialog of `templateId` as the page sees it.
  Json::Value OpenDialog(int templateId) const {
    Json::Value found;
    WaitFor([&](const Json::Value& s) {
      for (const Json::Value& d : s["dialogs"])
        if (d["template"].asInt() == templateId) found = d;
      return !found.isNull();
    });
    return found;
  }

  // Waits until `count` requests for the state began to wait.
  void WaitForWaits(int count) const {
    std::unique_lock<std::mutex> lock(m_);
    EXPECT_TRUE(waited_.wait_for(lock, kBound, [&] { return waits_ >= count; }));
  }

  std::vector<std::string> Log() const {
    std::lock_guard<std::mutex> guard(m_);
    return log_;
  }

  std::shared_ptr<WebPresenter> presenter_;
  std::shared_ptr<Presenter> saved_;
  std::string announced_, secret_, base_, host_, origin_;
  int port_ = 0;
  mutable std::mutex m_;
  mutable std::condition_variable waited_;
  int waits_ = 0;
  std::vector<std::string> log_;
};

TEST_F(WebPresenterTest, TheAddressIsAnnouncedWithALongSecretOfItsOwn) {
  EXPECT_EQ(announced_, presenter_->Url());
  EXPECT_GE(secret_.size(), 32u) << "128 bits or more";
  WebPresenterOptions quiet;
  quiet.openBrowser = false;
  quiet.announce = [](const std::string&) {};
  std::string error;
  std::shared_ptr<WebPresenter> other = WebPresenter::Start(quiet, &error);
  ASSERT_TRUE(other) << error;
  EXPECT_EQ(other->Url().find(secret_), std::string::npos);
  EXPECT_NE(other->Url(), presenter_->Url());

  httplib::Result page = Get(base_);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("page.js"), std::string::npos);
  EXPECT_TRUE(Log().empty());
}

TEST_F(WebPresenterTest, TheEnvironmentKeepsTheBrowserClosed) {
  testing::ScopedEnv env;
  env.Set("TARVEX_WEB_OPEN", "0");
  EXPECT_FALSE(WebPresenterOptions::FromEnvironment().openBrowser);
  env.Set("TARVEX_WEB_OPEN", "1");
  EXPECT_TRUE(WebPresenterOptions::FromEnvironment().openBrowser);
  env.Set("TARVEX_WEB_OPEN", nullptr);
  EXPECT_TRUE(WebPresenterOptions::FromEnvironment().openBrowser);
}

// Sends `request` as it is on a connection of its own; the status line.
std::string Raw(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[512];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) answer.assign(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

TEST_F(WebPresenterTest, EveryRefusedRequestChangesNothingAndIsLogged) {
  ModalOnThread dialog(TestTemplate());
  const Json::Value shown = OpenDialog(900);
  const std::string window = shown["window"].asString();
  const std::string click = "kind=click&window=" + window + "&control=" + std::to_string(IDOK);
  std::string wrongSecret = secret_;
  for (char& c : wrongSecret) c = c == '0' ? '1' : '0';
  const std::string form = "application/x-www-form-urlencoded";
  const httplib::Headers page = {{"Origin", origin_}};

  struct Case {
    const char* name;
    std::function<httplib::Result()> send;
    int status;
  };
  const Case cases[] = {
      {"no secret", [&] { return Get("/"); }, 404},
      {"no secret, the script", [&] { return Get("/page.js"); }, 404},
      {"no secret, the style", [&] { return Get("/page.css"); }, 404},
      {"the secret without its slash", [&] { return Get("/" + secret_); }, 404},
      {"a wrong secret of the same length", [&] { return Get("/" + wrongSecret + "/"); }, 404},
      {"a part of the secret", [&] { return Get("/" + secret_.substr(0, 8) + "/"); }, 404},
      {"the secret and more", [&] { return Get("/" + secret_ + "0/"); }, 404},
      {"a wrong secret, acting",
       [&] { return Client().Post("/" + wrongSecret + "/act", page, click, form); }, 404},
      {"a foreign Host",
       [&] {
         return Get(base_, {{"Host", "tarvex.example:" + std::to_string(port_)}});
       },
       403},
      {"Host localhost",
       [&] {
         return Get(base_, {{"Host", "localhost:" + std::to_string(port_)}});
       },
       403},
      {"a Host without the port",
       [&] {
         return Get(base_, {{"Host", "127.0.0.1"}});
       },
       403},
      {"a POST without an Origin", [&] { return Post(click, {}); }, 403},
      {"a POST from a foreign Origin",
       [&] {
         return Post(click, {{"Origin", "http://tarvex.example"}});
       },
       403},
      {"a POST from another port",
       [&] {
         return Post(click, {{"Origin", "http://127.0.0.1:1"}});
       },
       403},
      {"a POST from an opaque Origin",
       [&] {
         return Post(click, {{"Origin", "null"}});
       },
       403},
      {"a state change by GET", [&] { return Get(base_ + "act?" + click); }, 405},
      {"a POST to the page", [&] { return Post(click, page, ""); }, 405},
      {"a POST to the state", [&] { return Post(click, page, "state"); }, 405},
      {"an unknown resource", [&] { return Get(base_ + "secrets.txt"); }, 404},
      {"an unknown window", [&] { return Act("kind=click&window=987654321&control=1"); }, 409},
      {"a window that is no window", [&] { return Act("kind=click&window=0x12&control=1"); }, 400},
      {"an unknown control", [&] { return Act("kind=click&window=" + window + "&control=4242"); },
       409},
      {"a disabled control",
       [&] { return Act("kind=click&window=" + window + "&control=" + std::to_string(kDisabled)); },
       409},
      {"a hidden control",
       [&] { return Act("kind=click&window=" + window + "&control=" + std::to_string(kHidden)); },
       409},
      {"a click on a text",
       [&] { return Act("kind=click&window=" + window + "&control=" + std::to_string(kText)); },
       409},
      {"typing into a read-only edit",
       [&] {
         return Act("kind=type&window=" + window + "&control=" + std::to_string(kFixedEdit) +
                    "&text=x");
       },
       409},
      {"an entry beyond the list",
       [&] {
         return Act("kind=select&window=" + window + "&control=" + std::to_string(kList) +
                    "&index=3");
       },
       409},
      {"an entry the list does not hold",
       [&] {
         return Act("kind=select&window=" + window + "&control=" + std::to_string(kList) +
                    "&text=Alph");
       },
       409},
      {"an unknown key", [&] { return Act("kind=key&window=" + window + "&key=space"); }, 400},
      {"an unknown kind", [&] { return Act("kind=format&window=" + window); }, 400},
      {"a field a click does not take", [&] { return Act(click + "&text=x"); }, 400},
      {"a field twice", [&] { return Act(click + "&control=2"); }, 400},
      {"a malformed body", [&] { return Act("kind=click&window"); }, 400},
      {"a malformed escape", [&] { return Act("kind=cl%zzk&window=" + window); }, 400},
      {"an empty body", [&] { return Act(""); }, 400},
      {"a body too large", [&] { return Act(click + "&x=" + std::string(9000, 'a')); }, 413},
      {"a body that is no form",
       [&] { return Post("{\"kind\":\"click\"}", page, "act", "application/json"); }, 415},
      {"a menu that is not tracked", [&] { return Act("kind=dismiss&window=" + window); }, 409},
      {"a tray icon that is not there",
       [&] { return Act("kind=tray&window=" + window + "&icon=1&mouse=left"); }, 409},
      {"a malformed version", [&] { return Get(base_ + "state?since=-1"); }, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t logged = Log().size();
    httplib::Result r = c.send();
    ASSERT_TRUE(r) << "no answer";
    EXPECT_EQ(r->status, c.status);
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), logged + 1) << "one line for the refusal";
    EXPECT_NE(log.back().find("refused"), std::string::npos) << log.back();
    EXPECT_EQ(log.back().find(secret_), std::string::npos) << "the secret is never logged";
  }
  {
    SCOPED_TRACE("a request the HTTP layer cannot read");
    const size_t logged = Log().size();
    EXPECT_EQ(Raw(port_, "BREW " + base_ + " HTCPCP/1.0\r\nHost: " + host_ + "\r\n\r\n"),
              "HTTP/1.1 400 Bad Request");
    // The logger runs once the answer is written.
    const auto giveUp = std::chrono::steady_clock::now() + kBound;
    while (Log().size() == logged && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::yield();
    ASSERT_EQ(Log().size(), logged + 1);
    EXPECT_EQ(Log().back().find(secret_), std::string::npos);
  }

  // Nothing reached the dialog: it still shows as it was, and the one click
  // that is let in is the only command it hears.
  const Json::Value still = OpenDialog(900);
  EXPECT_EQ(still["version"], shown["version"]);
  httplib::Result cancel =
      Act("kind=click&window=" + window + "&control=" + std::to_string(IDCANCEL));
  ASSERT_TRUE(cancel);
  EXPECT_EQ(cancel->status, 200);
  const Outcome outcome = dialog.Finish();
  EXPECT_EQ(outcome.result, IDCANCEL);
  EXPECT_EQ(outcome.commands, (std::vector<Command>{{IDCANCEL, BN_CLICKED}}));
}

TEST_F(WebPresenterTest, APersonsPostsReachTheDialogAsTheirInput) {
  struct Case {
    const char* name;
    std::vector<std::string> posts;  // "WINDOW" stands for the dialog's window
    int result;
    std::vector<Command> commands;
    std::function<void(const DialogSnapshot&)> check;
  };
  const std::string ok = std::to_string(IDOK);
  const Case cases[] = {
      {"a click on a button ends the dialog with it",
       {"kind=click&window=WINDOW&control=" + ok},
       IDOK,
       {{IDOK, BN_CLICKED}},
       nullptr},
      {"Enter presses the default button",
       {"kind=key&window=WINDOW&key=enter"},
       IDOK,
       {{IDOK, BN_CLICKED}},
       nullptr},
      {"Escape cancels",
       {"kind=key&window=WINDOW&key=escape"},
       IDCANCEL,
       {{IDCANCEL, BN_CLICKED}},
       nullptr},
      {"the close box cancels",
       {"kind=close&window=WINDOW"},
       IDCANCEL,
       {{IDCANCEL, BN_CLICKED}},
       nullptr},
      {"typing, choosing and checking, in order, then OK",
       {"kind=type&window=WINDOW&control=12&text=Lap+top+%C3%A9%26%3C",
        "kind=select&window=WINDOW&control=14&index=1",
        "kind=select&window=WINDOW&control=15&text=gamma", "kind=click&window=WINDOW&control=11",
        "kind=click&window=WINDOW&control=" + ok},
       IDOK,
       {{kEdit, EN_CHANGE},
        {kList, LBN_SELCHANGE},
        {kCombo, CBN_SELCHANGE},
        {kCheck, BN_CLICKED},
        {IDOK, BN_CLICKED}},
       [](const DialogSnapshot& s) {
         EXPECT_EQ(s.Find(kEdit)->text, "Lap top \xC3\xA9&<");
         EXPECT_EQ(s.Find(kList)->selected, 1);
         EXPECT_EQ(s.Find(kCombo)->selected, 2);
         EXPECT_TRUE(s.Find(kCheck)->checked);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModalOnThread dialog(TestTemplate());
    const std::string window = OpenDialog(900)["window"].asString();
    for (std::string post : c.posts) {
      post.replace(post.find("WINDOW"), 6, window);
      httplib::Result r = Act(post);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->status, 200) << post;
    }
    const Outcome outcome = dialog.Finish();
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.commands, c.commands);
    if (c.check) c.check(outcome.last);
    // Once closed, the dialog is gone from the page and takes nothing.
    WaitFor([](const Json::Value& s) { return s["dialogs"].empty(); });
    httplib::Result late = Act("kind=close&window=" + window);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status, 409);
  }
}

// A dialog with a browser control, shown modally on a thread of its own:
// its page appends a script once loaded, and a "done" on the page ends the
// dialog with the user name it holds.
class BrowserOnThread {
 public:
  static constexpr int kTemplate = 910;
  static constexpr int kBrowser = 60;
  BrowserOnThread() {
    thread_ = std::thread([this] {
      Box box;
      box.DoModal();
      done_.set_value(box.user);
    });
  }
  ~BrowserOnThread() { Finish(); }
  std::string Finish() {
    if (!thread_.joinable()) return user_;
    std::future<std::string> done = done_.get_future();
    if (done.wait_for(kBound) != std::future_status::ready) ADD_FAILURE() << "the dialog did not end";
    user_ = done.get();
    thread_.join();
    return user_;
  }

 private:
  class Box : public Dialog {
   public:
    Box()
        : Dialog(DialogTemplate{kTemplate, "Page", 200, 150, "", {
              {kBrowser, ControlKind::Browser, "", 0, 0, 200, 130, 0},
              {IDCANCEL, ControlKind::Button, "Cancel", 150, 132, 40, 14, 0}}}) {
      browser_.onDocumentComplete = [this](const std::string&) {
        HtmlDocument* doc = nullptr;
        HtmlElement* flag = nullptr;
        HtmlElement* name = nullptr;
        HtmlCollection all, heads;
        HtmlElement* script = nullptr;
        std::string value;
        ASSERT_TRUE(browser_.Document(&doc));
        if (!appended_) {
          appended_ = doc->All(&all) && doc->Tags(all, "head", &heads) && !heads.empty() &&
                      doc->CreateElement("script", &script) && doc->SetText(script, kScript) &&
                      doc->AppendChild(heads[0], script);
          EXPECT_TRUE(appended_);
        }
        if (doc->GetElementById("_flag", &flag) && flag && doc->Value(flag, &value) &&
            value == "done" && doc->GetElementById("_username", &name) && name &&
            doc->Value(name, &user)) {
          EndDialog(IDOK);
        }
      };
    }
    std::string user;

   protected:
    bool OnInitDialog() override {
      browser_.Navigate("http://login.example/wizard");
      return true;
    }
    void OnCommand(int id, int) override {
      if (id == IDCANCEL) EndDialog(id);
    }

   private:
    WebBrowser browser_{*this, kBrowser};
    bool appended_ = false;
  };

  std::promise<std::string> done_;
  std::string user_;
  std::thread thread_;

 public:
  static constexpr const char* kScript = "UpdateRemoteTabDisplay(0, {\"<b>\":\"</script>\"});";
};

TEST_F(WebPresenterTest, ABrowsersPageIsServedToItsSandboxedFrameAndItsFormComesBack) {
  auto pages = std::make_shared<ScriptedPageProvider>();
  WebPage page = WebPage::Form({{"_flag", ""}, {"_username", ""}});
  page.entry = "wizard.html";
  page.files = std::make_shared<const std::map<std::string, std::string>>(
      std::map<std::string, std::string>{{"wizard.html", "<html><head></head></html>"},
                                         {"wizard.js", "go();"}});
  page.query = "_username=a%26b";
  pages->Pages("/wizard", {page});
  ScopedPageProvider installed(pages);
  BrowserOnThread dialog;

  // The page names the frame's page and the script appended to it.
  Json::Value shown;
  WaitFor([&](const Json::Value& s) {
    for (const Json::Value& d : s["dialogs"])
      if (d["template"].asInt() == BrowserOnThread::kTemplate)
        for (const Json::Value& c : d["controls"])
          if (c["id"].asInt() == BrowserOnThread::kBrowser && c["page"].isObject() &&
              c["page"]["scripts"].size() == 1) {
            shown = c["page"];
            shown["window"] = d["window"];
          }
    return !shown.isNull();
  });
  ASSERT_TRUE(shown.isObject());
  EXPECT_EQ(shown["entry"].asString(), "wizard.html");
  EXPECT_EQ(shown["query"].asString(), "_username=a%26b");
  EXPECT_EQ(shown["scripts"][0].asString(), BrowserOnThread::kScript);
  const std::string window = shown["window"].asString();
  const std::string number = shown["number"].asString();
  const std::string frame =
      base_ + "frame/" + window + "/" + std::to_string(BrowserOnThread::kBrowser) + "/" + number + "/";

  // Its files, each with the frame's own rules; nothing else.
  const std::string policy =
      "default-src 'none'; script-src " + origin_ + "; style-src " + origin_ +
      "; img-src data:; form-action 'none'; frame-ancestors " + origin_ +
      "; base-uri 'none'; sandbox allow-scripts allow-forms allow-popups "
      "allow-popups-to-escape-sandbox";
  for (const auto& [file, type, body] :
       {std::tuple{"wizard.html", "text/html; charset=utf-8", "<html><head></head></html>"},
        std::tuple{"wizard.js", "text/javascript; charset=utf-8", "go();"}}) {
    SCOPED_TRACE(file);
    httplib::Result r = Get(frame + file);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, body);
    EXPECT_EQ(r->get_header_value("Content-Type"), type);
    EXPECT_EQ(r->get_header_value_count("Content-Security-Policy"), 1u);
    EXPECT_EQ(r->get_header_value("Content-Security-Policy"), policy);
    EXPECT_EQ(r->get_header_value("X-Frame-Options"), "SAMEORIGIN");
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(r->get_header_value("Cross-Origin-Resource-Policy"), "cross-origin");
  }
  const std::string control = std::to_string(BrowserOnThread::kBrowser);
  const std::string unknown[] = {
      base_ + "frame/" + window + "/" + control + "/" + number + "/notes.txt",
      base_ + "frame/" + window + "/" + control + "/" + std::to_string(std::stoull(number) + 1) + "/wizard.html",
      base_ + "frame/" + window + "/2/" + number + "/wizard.html",
      base_ + "frame/" + std::to_string(std::stoull(window) + 1000) + "/" + control + "/" + number + "/wizard.html",
      base_ + "frame/" + window + "/" + control + "/" + number + "/../wizard.html",
      base_ + "frame/" + window + "/" + control + "/" + number,
      "/frame/" + window + "/" + control + "/" + number + "/wizard.html",
  };
  for (const std::string& path : unknown) {
    httplib::Result r = Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404) << path;
  }
  httplib::Result posted = Post("kind=fill", {{"Origin", origin_}}, "frame/" + window);
  ASSERT_TRUE(posted);
  EXPECT_NE(posted->status, 200) << "a frame's file takes no POST";

  // What the person filled in: refused where it names no page shown now or
  // is malformed, taken otherwise.
  const std::string fill = "kind=fill&window=" + window + "&control=" + control + "&page=" + number;
  std::string many;
  for (int i = 0; i < 17; ++i) many += "&field:f" + std::to_string(i) + "=x";
  const std::pair<std::string, int> refused[] = {
      {"kind=fill&window=" + window + "&control=" + control + "&page=" +
           std::to_string(std::stoull(number) + 1) + "&field:_flag=done", 409},
      {"kind=fill&window=" + window + "&control=2&page=" + number + "&field:_flag=done", 409},
      {fill + "&field:a%20b=done", 400},
      {fill + many, 400},
      {fill + "&other=1", 400},
  };
  for (const auto& [body, status] : refused) {
    httplib::Result r = Act(body);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status) << body;
  }
  httplib::Result r = Act(fill + "&field:_flag=done&field:_username=%3Cb%3E%26%22");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(dialog.Finish(), "<b>&\"");
}

TEST_F(WebPresenterTest, HostileTextStaysDataAndNoMarkupIsWritten) {
  SetIconResources({{7, kHostile, "#123456"}});
  NOTIFYICONDATA icon;
  icon.owner = HWND{424242, {}};
  icon.id = 3;
  icon.flags = NIF_ICON | NIF_TIP | NIF_INFO;
  icon.icon = HICON{7};
  icon.tip = kHostile;
  icon.infoTitle = kHostile;
  icon.info = kHostile + "\x01\xff";
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, icon));
  presenter_->MenuShown(MenuSnapshot{HWND{434343, {}}, {{40, kHostile, false}}});
  ModalOnThread dialog(TestTemplate(kHostile), kHostile);
  OpenDialog(900);

  httplib::Result r = Get(base_ + "state");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
  for (char c : std::string("<>&'"))
    EXPECT_EQ(r->body.find(c), std::string::npos) << "'" << c << "' written as such";
  const Json::Value state = Parse(r->body);
  const Json::Value& d = state["dialogs"][0];
  EXPECT_EQ(d["title"].asString(), kHostile);
  EXPECT_EQ(d["controls"][4]["items"][2].asString(), kHostile);
  EXPECT_EQ(state["tray"][0]["tip"].asString(), kHostile);
  EXPECT_EQ(state["tray"][0]["icon"]["description"].asString(), kHostile);
  EXPECT_EQ(state["balloons"][0]["title"].asString(), kHostile);
  EXPECT_EQ(state["balloons"][0]["text"].asString(), kHostile + "\x01\xEF\xBF\xBD")
      << "control characters escaped, invalid UTF-8 replaced";
  EXPECT_EQ(state["menus"][0]["items"][0]["text"].asString(), kHostile);

  // The page itself is the same whatever the program shows.
  for (const char* file : {"", "page.js", "page.css"}) {
    httplib::Result page = Get(base_ + file);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body.find("alert(1)"), std::string::npos) << file;
  }
  Shell_NotifyIcon(NIM_DELETE, icon);
  Act("kind=close&window=" + state["dialogs"][0]["window"].asString());
  EXPECT_EQ(dialog.Finish().result, IDCANCEL);
}

TEST_F(WebPresenterTest, EveryAnswerCarriesTheSafetyHeadersAndNoCorsHeader) {
  ModalOnThread dialog(TestTemplate());
  const std::string window = OpenDialog(900)["window"].asString();
  struct Case {
    const char* name;
    std::function<httplib::Result()> send;
    int status;
    const char* type;
  };
  const Case cases[] = {
      {"the page", [&] { return Get(base_); }, 200, "text/html; charset=utf-8"},
      {"the script", [&] { return Get(base_ + "page.js"); }, 200, "text/javascript; charset=utf-8"},
      {"the style", [&] { return Get(base_ + "page.css"); }, 200, "text/css; charset=utf-8"},
      {"the state", [&] { return Get(base_ + "state"); }, 200, "application/json; charset=utf-8"},
      {"no secret", [&] { return Get("/"); }, 404, nullptr},
      {"a foreign Host",
       [&] {
         return Get(base_, {{"Host", "tarvex.example"}});
       },
       403, nullptr},
      {"a preflight",
       [&] {
         return Client().Options(base_ + "act", {{"Origin", "http://tarvex.example"},
                                                 {"Access-Control-Request-Method", "POST"}});
       },
       405, nullptr},
      {"a foreign Origin",
       [&] {
         return Post("kind=close&window=" + window, {{"Origin", "http://a.b"}});
       },
       403, nullptr},
      {"an action", [&] { return Act("kind=close&window=" + window); }, 200,
       "application/json; charset=utf-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    httplib::Result r = c.send();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status);
    if (c.type) {
      EXPECT_EQ(r->get_header_value("Content-Type"), c.type);
    }
    EXPECT_EQ(r->get_header_value("Content-Security-Policy"),
              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
              "connect-src 'self'; frame-src 'self'; form-action 'none'; frame-ancestors 'none'; "
              "base-uri 'none'");
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(r->get_header_value("Referrer-Policy"), "no-referrer");
    EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store");
    for (const auto& [name, value] : r->headers)
      EXPECT_NE(name.rfind("Access-Control-", 0), 0u) << name << ": " << value;
  }
  EXPECT_EQ(dialog.Finish().result, IDCANCEL);
}

TEST_F(WebPresenterTest, TheTrayIconIsClickedAndItsMenuAnsweredThroughThePage) {
  constexpr uint32_t kTrayMessage = WM_APP + 5;
  constexpr uint32_t kStop = WM_APP + 6;
  SetIconResources({{1, "Tarvex", "#2f8f5b"}});
  std::atomic<uint64_t> owner{0};
  std::vector<int64_t> mice;      // read once the thread ended
  std::vector<uint64_t> choices;  // what each tracked menu returned
  std::promise<void> ready;
  std::thread program([&] {
    const HWND window =
        CreateLocalWindow("tray", [&](const HWND& w, uint32_t m, uint64_t, int64_t mouse) {
          if (m == kStop) PostQuitMessage(0);
          if (m != kTrayMessage) return int64_t{0};
          mice.push_back(mouse);
          if (mouse == WM_RBUTTONDOWN) {
            HMENU menu = CreatePopupMenu();
            AppendMenu(menu, MF_STRING, 40, "Sync now");
            AppendMenu(menu, MF_SEPARATOR, 0, "");
            AppendMenu(menu, MF_STRING, 41, "Exit");
            choices.push_back(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, w));
            DestroyMenu(menu);
            if (choices.size() == 2) PostQuitMessage(0);
          }
          return int64_t{0};
        });
    owner = window.local;
    NOTIFYICONDATA icon;
    icon.owner = window;
    icon.id = 9;
    icon.flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.callbackMessage = kTrayMessage;
    icon.icon = LoadIcon(1);
    icon.tip = "Tarvex: up to date";
    Shell_NotifyIcon(NIM_ADD, icon);
    ready.set_value();
    MSG msg;
    while (GetMessage(&msg) > 0) DispatchMessage(msg);
    Shell_NotifyIcon(NIM_DELETE, icon);
    DestroyWindow(window);
  });
  // Ends the program's thread should the test fail before it ends.
  struct Stop {
    std::thread& t;
    std::atomic<uint64_t>& owner;
    ~Stop() {
      if (!t.joinable()) return;
      PostMessage(HWND{owner.load(), {}}, kStop, 0, 0);
      t.join();
    }
  } stop{program, owner};
  ready.get_future().wait();

  const Json::Value tray = WaitFor([](const Json::Value& s) { return s["tray"].size() == 1; });
  EXPECT_EQ(tray["tray"][0]["tip"].asString(), "Tarvex: up to date");
  EXPECT_EQ(tray["tray"][0]["icon"]["color"].asString(), "#2f8f5b");
  const std::string icon = "kind=tray&window=" + std::to_string(owner.load()) + "&icon=9&mouse=";
  for (const char* mouse : {"left", "double", "right"}) {
    httplib::Result r = Act(icon + mouse);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << mouse;
  }
  EXPECT_EQ(Act(icon + "middle")->status, 400);
  EXPECT_EQ(Act("kind=tray&window=" + std::to_string(owner.load()) + "&icon=8&mouse=left")->status,
            409);

  auto menuShown = [&] {
    const Json::Value s = WaitFor([](const Json::Value& s) { return s["menus"].size() == 1; });
    return s["menus"][0];
  };
  Json::Value menu = menuShown();
  ASSERT_EQ(menu["items"].size(), 3u);
  EXPECT_EQ(menu["items"][2]["text"].asString(), "Exit");
  EXPECT_TRUE(menu["items"][1]["separator"].asBool());
  const std::string choose = "kind=choose&window=" + menu["window"].asString() + "&item=";
  EXPECT_EQ(Act(choose + "0")->status, 409) << "a separator is no choice";
  EXPECT_EQ(Act(choose + "42")->status, 409);
  EXPECT_EQ(Act(choose + "41")->status, 200);
  WaitFor([](const Json::Value& s) { return s["menus"].empty(); });

  EXPECT_EQ(Act(icon + "right")->status, 200);
  menu = menuShown();
  EXPECT_EQ(Act("kind=dismiss&window=" + menu["window"].asString())->status, 200);
  WaitFor([](const Json::Value& s) { return s["menus"].empty(); });
  program.join();
  EXPECT_EQ(mice, (std::vector<int64_t>{WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN,
                                        WM_RBUTTONDOWN}));
  EXPECT_EQ(choices, (std::vector<uint64_t>{41, 0}));
}

TEST_F(WebPresenterTest, AWaitingPageHearsOfEachChangeAndOfTheEnd) {
  const Json::Value first = State();
  EXPECT_TRUE(first["running"].asBool());
  std::future<Json::Value> waiting =
      std::async(std::launch::async, [&] { return State(first["version"].asUInt64()); });
  for (int i = 1; i <= 7; ++i)
    presenter_->Balloon(
        BalloonRecord{HWND{1, {}}, 1, "Balloon " + std::to_string(i), "", NIIF_INFO});
  const Json::Value changed = waiting.get();
  EXPECT_GT(changed["version"].asUInt64(), first["version"].asUInt64());
  ASSERT_FALSE(changed["balloons"].empty());

  const Json::Value now = State();
  ASSERT_EQ(now["balloons"].size(), 5u) << "the most recent few";
  EXPECT_EQ(now["balloons"][0]["title"].asString(), "Balloon 3");
  EXPECT_EQ(now["balloons"][4]["title"].asString(), "Balloon 7");
  EXPECT_EQ(now["balloons"][4]["kind"].asString(), "info");

  // The end of the presenter ends the wait (the page hears that the
  // program ended) and its server.
  const int waits = [&] {
    std::lock_guard<std::mutex> guard(m_);
    return waits_;
  }();
  waiting = std::async(std::launch::async, [&] { return State(now["version"].asUInt64()); });
  WaitForWaits(waits + 1);
  SetPresenter(saved_);
  // Ended on a thread of its own, so that an end that hangs fails the test.
  std::promise<void> ended;
  std::thread([presenter = std::move(presenter_), &ended]() mutable {
    presenter.reset();
    ended.set_value();
  }).detach();
  const Json::Value last = waiting.get();
  EXPECT_FALSE(last["running"].asBool());
  ASSERT_EQ(ended.get_future().wait_for(kBound), std::future_status::ready);
  EXPECT_FALSE(Get(base_));
}

}  // namespace
}  // namespace tarvex
