// The setup wizard and the open-tabs dialog, driven by scripted pages of
// the browser control and the scripted presenter: what a finished wizard
// hands to the account and asks next, cancel, a page that does not load, a
// quit in the middle, the wizard's address, the page's failures; the open
// tabs as a script for their page, and each way inserting them can fail.
#include <json/json.h>

#include <optional>
#include <thread>

#include "ie/foundation/core/VelkException.h"
#include "ie/shell/dialogs/WizardDialogs.h"
#include "ie/shell/tests/ShellFixture.h"
#include "ie/sync/Account.h"
#include "ie/sync/SyncContext.h"
#include "platform/credentials/CredentialStore.h"
#include "platform/http/HttpTransport.h"
#include "platform/win/NamedMutex.h"
#include "platform/win/WebBrowser.h"

namespace tarvex {
namespace {

using testing::RecordingSync;

const char* const kNetworkQuestion =
    "Tarvex is unable to connect to the network. You can try again later by going to \"Tools "
    "-> Tarvex\" and clicking on \"Restart Setup Wizard\".\n\r\n\rDo you want to try again now?";
const char* const kCancelQuestion = "Are you sure you want to cancel the Tarvex setup wizard?";
const char* const kSignInFailed = "Sign-in failed: username/password did not match.";
const char* const kNotInserted =
    "Error: Unable to insert remote tab data.  Contact Tarvex for support.";

// The sign-in service: answers every request with `answer` (none: no
// reply at all).
class SignInService : public HttpTransport {
 public:
  HttpResult Send(const HttpRequest& request) override {
    urls.push_back(request.url);
    if (!answer) return HttpResult{false, "could not connect", 0, ""};
    return HttpResult{true, "", 200, *answer};
  }
  std::optional<std::string> answer = R"({"status":0,"token":"t1"})";
  std::vector<std::string> urls;
};

WebPage Done(const std::string& user, const std::string& password, bool remember = true) {
  return WebPage::Form({{"_flag", "done"},
                        {"_have_account", "1"},
                        {"_username", user},
                        {"_password", password},
                        {"_remempw", remember ? "on" : ""}});
}
WebPage Flag(const std::string& flag) {
  return WebPage::Form({{"_flag", flag}, {"_have_account", ""}, {"_username", ""}});
}

class WizardDialogsTest : public testing::ShellFixture {
 protected:
  WizardDialogsTest() {
    settings_.SetValue("authserver", "https://login.tarvex.example", true);
    SetProgramFolder([this] { return programFolder_; });
    SetReadyToSyncQuestion([this](SyncScheduler&, int action, bool warning) {
      asked_.push_back({action, warning});
      return kActionMergeServerFirst;
    });
  }
  ~WizardDialogsTest() override {
    SetProgramFolder(nullptr);
    SetReadyToSyncQuestion(nullptr);
    EXPECT_EQ(pages_->Failures(), std::vector<std::string>{});
    EXPECT_EQ(script_->Failures(), std::vector<std::string>{});
  }

  std::vector<std::string> Questions() const {
    std::vector<std::string> texts;
    for (const auto& q : prompt_.asked) texts.push_back(q.text);
    return texts;
  }
  std::optional<Credential> Stored() {
    Credential c;
    if (store_.Read("https://login.tarvex.example", &c) != 0) return std::nullopt;
    return c;
  }
  // Whether the sync mutex is free for another thread (as good as
  // another process).
  bool SyncMutexFree() {
    bool free = false;
    std::thread([&] {
      std::shared_ptr<NamedMutex> mutex;
      if (NamedMutex::Open(kSyncMutexName, &mutex, dir_ / "run") != 0) return;
      const uint32_t got = mutex->Wait(0);
      free = got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
      if (free) mutex->Release();
    }).join();
    return free;
  }

  std::shared_ptr<ScriptedPageProvider> pages_ = std::make_shared<ScriptedPageProvider>();
  ScopedPageProvider installed_{pages_};
  std::string programFolder_ = dir_ / "program";
  std::vector<std::pair<int, bool>> asked_;  // what ready-to-sync was asked

  // A scheduler whose account signs in at the scripted service.
  SignInService service_;
  MemoryCredentialStore store_;
  CredentialPrompt* noPrompt_ = nullptr;
  SyncContext signIn_{settings_, logger_, service_, clock_, wizardAccount_, prompt_};
  Account wizardAccount_{signIn_, store_, noPrompt_};
  SyncScheduler wizard_{[this] {
    SchedulerEnvironment env = scheduler_.env();
    env.account = &wizardAccount_;
    return env;
  }()};
};

// ---- The setup wizard ----

TEST_F(WizardDialogsTest, AFinishedWizardSignsInAndAsksReadyToSyncAsTheResetFlagSays) {
  struct Case {
    const char* name;
    Json::Value isreset;  // null: the status has none
    bool remember;
    std::pair<int, bool> asked;
  };
  const Case cases[] = {
      {"a reset account: upload, no warning", "true", true, {kActionUpload, false}},
      {"the flag as a boolean", true, false, {kActionUpload, false}},
      {"not reset: merge, with the warning", "false", true, {kActionMergeServerFirst, true}},
      {"no flag at all", Json::Value(), true, {kActionMergeServerFirst, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asked_.clear();
    sync_->calls.clear();
    sync_->status = Json::objectValue;
    if (!c.isreset.isNull()) sync_->status["isreset"] = c.isreset;
    script_->Dialog(kWizardTemplate);
    pages_->Pages("/wizard", {Flag(""), Done("ann", "s3cret", c.remember)});

    EXPECT_EQ(wizard_.RunSetupWizard(), kActionMergeServerFirst) << "what ready-to-sync answered";

    EXPECT_EQ(wizardAccount_.GetUserName(), "ann");
    ASSERT_TRUE(Stored());
    EXPECT_EQ(Stored()->user, "ann");
    EXPECT_EQ(Stored()->secret, c.remember ? "s3cret" : "");
    ASSERT_FALSE(service_.urls.empty());
    EXPECT_EQ(service_.urls.back(), "https://login.tarvex.example/login/signtoken");
    EXPECT_EQ(calls(), std::vector<std::string>{"status"});
    EXPECT_EQ(asked_, (std::vector<std::pair<int, bool>>{c.asked}));
    EXPECT_TRUE(SyncMutexFree());
  }
  EXPECT_EQ(pages_->Unused(), 0u);
  EXPECT_EQ(script_->Unconsumed(), 0u);
}

TEST_F(WizardDialogsTest, AWizardThatEndsWithoutAnAccountStartsNothing) {
  const std::vector<WebPage> pages[] = {
      {Flag("done")},
      {WebPage::Form({{"_flag", "done"}, {"_have_account", "1"}, {"_username", ""}})},
      {WebPage::Form({{"_flag", "done"}})},
  };
  for (const std::vector<WebPage>& p : pages) {
    script_->Dialog(kWizardTemplate);
    pages_->Pages("/wizard", p);
    EXPECT_EQ(wizard_.RunSetupWizard(), kActionNone);
  }
  EXPECT_TRUE(service_.urls.empty());
  EXPECT_FALSE(Stored());
  EXPECT_TRUE(calls().empty());
  EXPECT_TRUE(asked_.empty());
  EXPECT_TRUE(prompt_.asked.empty());
  EXPECT_EQ(script_->Unconsumed(), 0u);
}

TEST_F(WizardDialogsTest, CancelAsksFirstYesEndsTheWizardNoGoesOn) {
  // No: the person stays on the wizard and finishes it.
  script_->Dialog(kWizardTemplate);
  pages_->Pages("/wizard", {Flag("cancel"), Done("ann", "pw")});
  prompt_.Script(kButtonNo);
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionMergeServerFirst);
  EXPECT_EQ(Questions(), std::vector<std::string>{kCancelQuestion});
  EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonNo);
  EXPECT_EQ(prompt_.asked[0].buttons[1], kButtonYes);
  EXPECT_EQ(wizardAccount_.GetUserName(), "ann");

  // Yes: the wizard ends there; what would have come next never does.
  prompt_.asked.clear();
  asked_.clear();
  script_->Dialog(kWizardTemplate);
  pages_->Pages("/wizard", {Flag("cancel"), Done("bob", "pw")});
  prompt_.Script(kButtonYes);
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionNone);
  EXPECT_EQ(Questions(), std::vector<std::string>{kCancelQuestion});
  EXPECT_EQ(wizardAccount_.GetUserName(), "ann");
  EXPECT_TRUE(asked_.empty());
}

TEST_F(WizardDialogsTest, APageThatDoesNotLoadAsksOnceAboutTheNetworkAndOkStartsAnew) {
  // OK: a new wizard, which the person finishes.
  script_->Dialog(kWizardTemplate).Dialog(kWizardTemplate);
  pages_->Error("/wizard").Pages("/wizard", {Done("ann", "pw")});
  prompt_.Script(kButtonOK);
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionMergeServerFirst);
  EXPECT_EQ(Questions(), std::vector<std::string>{kNetworkQuestion});
  EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonOK);
  EXPECT_EQ(prompt_.asked[0].buttons[1], kButtonCancel);
  EXPECT_EQ(pages_->Loaded().size(), 2u);
  EXPECT_EQ(wizardAccount_.GetUserName(), "ann");

  // Cancel: nothing more.
  prompt_.asked.clear();
  script_->Dialog(kWizardTemplate);
  pages_->Error("/wizard");
  prompt_.Script(kButtonCancel);
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionNone);
  EXPECT_EQ(Questions(), std::vector<std::string>{kNetworkQuestion});
  EXPECT_EQ(pages_->Loaded().size(), 3u);
  EXPECT_EQ(script_->Unconsumed(), 0u);
}

TEST_F(WizardDialogsTest, ExitDuringTheWizardEndsItAndTheQuitReachesTheOuterLoop) {
  // The tray's Exit, confirmed, while the wizard shows its first page.
  script_->Dialog(kWizardTemplate);
  pages_->Pages("/wizard", {Flag("")});
  prompt_.Script(kButtonYes);
  ASSERT_EQ(PostMessage(window_, WM_COMMAND, kCommandExit, 0), 0u);

  scheduler_.HandleUIMessage(kActionWizard, true);

  bool quit = false;
  MSG msg;
  while (!quit && PeekMessage(&msg)) {
    quit = msg.message == WM_QUIT;
    if (!quit) DispatchMessage(msg);
  }
  EXPECT_TRUE(quit) << "the quit is there for the loop outside";
  const std::vector<std::string> transcript = script_->Transcript();
  ASSERT_FALSE(transcript.empty());
  EXPECT_EQ(transcript.back(), "dialog 107 closed");
  EXPECT_EQ(pages_->Unused(), 0u);
  EXPECT_TRUE(calls().empty()) << "nothing more happened after the quit";
  EXPECT_TRUE(SyncMutexFree());
  // The scheduler takes the next action as usual.
  scheduler_.HandleUIMessage(kActionSyncNow, false);
  EXPECT_EQ(calls(), std::vector<std::string>{"sync"});
}

TEST_F(WizardDialogsTest, TheAddressEncodesEveryQueryValueAndLeavesTheUserAgentPlain) {
  settings_.SetValue("kestroveversion", "1.3.5", true);
  settings_.SetValue("machineid", "m 1&x", true);
  ASSERT_TRUE(wizardAccount_.SetCredentials("a&b#c=d e", "", false));
  script_->Dialog(kWizardTemplate);
  pages_->Pages("/wizard", {Flag("done")});
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionNone);
  ASSERT_EQ(pages_->Loaded().size(), 1u);
  EXPECT_EQ(pages_->Loaded()[0],
            "https://login.tarvex.example/wizard?_ua=Tarvex-IE%2F1.3.5&_lang=en_US&_mid=m%201%26x"
            "&_app=velk&_version=1.3.5&_username=a%26b%23c%3Dd%20e");
  EXPECT_EQ(settings_.GetUserAgent(false), "Tarvex-IE/1.3.5");

  // Nobody stored: no user name at all.
  EXPECT_EQ(WizardAddress("", "UA", "0", "1", ""), "/wizard?_ua=UA&_lang=en_US&_mid=0&_app=velk&_version=1");
}

TEST_F(WizardDialogsTest, APageThatCannotBeReadIsReportedAndEndsTheWizard) {
  const char* const kNoDocument = "Error: unable to load setup wizard HTML document";
  const char* const kNoElement = "Error: unable to get element from HTML document";
  struct Case {
    const char* name;
    DomFault fault;
    const char* box;
  };
  const Case cases[] = {
      {"no document", {DomCall::Document}, kNoDocument},
      {"the flag's element", {DomCall::ElementById, 1}, kNoElement},
      {"the flag's value", {DomCall::Value, 1}, kNoElement},
      {"the password's element", {DomCall::ElementById, 4}, kNoElement},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prompt_.asked.clear();
    WebPage page = Done("ann", "pw");
    page.faults = {c.fault};
    script_->Dialog(kWizardTemplate);
    pages_->Pages("/wizard", {page});
    EXPECT_EQ(wizard_.RunSetupWizard(), kActionNone);
    EXPECT_EQ(Questions(), std::vector<std::string>{c.box});
    EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonOK);
    EXPECT_TRUE(service_.urls.empty()) << "nothing handed over";
  }
}

TEST_F(WizardDialogsTest, APageWithoutItsFlagIsLoggedAndPassedOver) {
  script_->Dialog(kWizardTemplate);
  pages_->Pages("/wizard", {WebPage::Form({{"_username", "x"}}), Done("ann", "pw")});
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionMergeServerFirst);
  EXPECT_NE(Log().find("has no _flag field"), std::string::npos);
  EXPECT_EQ(wizardAccount_.GetUserName(), "ann");
}

TEST_F(WizardDialogsTest, ARefusedSignInSaysSoAndAFailedOneIsLogged) {
  script_->Dialog(kWizardTemplate);
  pages_->Pages("/wizard", {Done("ann", "wrong")});
  service_.answer = R"({"status":"1"})";
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionNone);
  EXPECT_EQ(Questions(), std::vector<std::string>{kSignInFailed});
  EXPECT_TRUE(asked_.empty());
  EXPECT_TRUE(calls().empty());

  // No answer at all: the account tells the person and throws; the wizard
  // ends with nothing.
  prompt_.asked.clear();
  script_->Dialog(kWizardTemplate);
  pages_->Pages("/wizard", {Done("ann", "pw")});
  service_.answer.reset();
  EXPECT_EQ(wizard_.RunSetupWizard(), kActionNone);
  EXPECT_NE(Log().find("TarvexException during SetupWizardDialog:"), std::string::npos);
  EXPECT_TRUE(asked_.empty());
  EXPECT_TRUE(SyncMutexFree());
}

// ---- The open tabs ----

class RemoteTabsTest : public WizardDialogsTest {
 protected:
  std::string PagePath() const { return programFolder_ + "/remotetabs/remotetabs.html"; }
  // The tray's "Open Remote Tabs...", its page `page`, then Close.
  void ShowTabs(WebPage page = {}) {
    script_->Dialog(kRemoteTabsTemplate).Press(kRemoteTabsClose);
    pages_->Pages("remotetabs/remotetabs.html", {std::move(page)});
    hidden_.Proc(window_, WM_COMMAND, kCommandRemoteTabs, 0);
  }
};

TEST_F(RemoteTabsTest, TheTabsReachTheirPageAsOneScriptThatKeepsTheirJson) {
  const std::string hostile =
      "</script><script>alert(1)</script> \"quoted\" 'single' \\ \xE2\x80\xA8 line \xE2\x80\xA9 "
      "para \xE2\x80\xAE right-to-left";
  Json::Value tabs;
  Json::Value& mid = tabs["Laptop"]["mids"]["m1"];
  mid["clientName"] = "Laptop";
  mid["windows"][0]["tabs"][0]["title"] = hostile;
  mid["windows"][0]["tabs"][0]["url"] = "javascript:alert(1)";
  tabs["Laptop"]["m1"]["length"] = 1;
  tabs["Laptop"]["length"] = 1;
  for (const Json::Value& data : {tabs, Json::Value()}) {
    SCOPED_TRACE(data.isNull() ? "no tabs could be read" : "tabs");
    sync_->calls.clear();
    sync_->tabs = data;
    const size_t before = pages_->Scripts().size();
    ShowTabs();
    EXPECT_EQ(calls(), std::vector<std::string>{"read tabs"});
    ASSERT_EQ(pages_->Scripts().size(), before + 1);
    const std::string script = pages_->Scripts().back();
    const std::string head = "UpdateRemoteTabDisplay(0, ", tail = ");";
    ASSERT_EQ(script.rfind(head, 0), 0u) << script;
    ASSERT_GE(script.size(), head.size() + tail.size());
    EXPECT_EQ(script.substr(script.size() - tail.size()), tail);
    EXPECT_EQ(script.find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_EQ(script.find("\xE2\x80\xA9"), std::string::npos);
    EXPECT_EQ(script.find('<'), std::string::npos);
    Json::Value back;
    std::string errors;
    const std::string json = script.substr(head.size(), script.size() - head.size() - tail.size());
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(json.data(), json.data() + json.size(), &back, &errors)) << errors;
    EXPECT_EQ(back, data);
    EXPECT_TRUE(prompt_.asked.empty());
  }
  EXPECT_EQ(pages_->Loaded(), (std::vector<std::string>{PagePath(), PagePath()}));
  EXPECT_EQ(script_->Unconsumed(), 0u);
}

TEST_F(RemoteTabsTest, EachWayTheInsertFailsIsLoggedAndShownInOneBox) {
  struct Case {
    std::vector<DomFault> faults;
    bool head;
    const char* logged;
  };
  const Case cases[] = {
      {{}, false, "Head count is less than 1"},
      {{{DomCall::All}}, true, "Unable to get all HTML elements"},
      {{{DomCall::Tags}}, true, "Unable to get head tags"},
      {{{DomCall::Collection}}, true, "Unable to convert head elements to collection"},
      {{{DomCall::Item}}, true, "Unable to get a head node"},
      {{{DomCall::Node, 1}}, true, "Unable to convert a head node"},
      {{{DomCall::CreateElement}}, true, "Unable to create script element"},
      {{{DomCall::Script}}, true, "Unable to convert script element"},
      {{{DomCall::SetText}}, true, "Unable to set script attributes"},
      {{{DomCall::Node, 2}}, true, "Unable to convert to script node"},
      {{{DomCall::AppendChild}}, true, "Unable to append the script to the head"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    prompt_.asked.clear();
    WebPage page;
    page.head = c.head;
    page.faults = c.faults;
    const size_t scripts = pages_->Scripts().size();
    ShowTabs(page);
    EXPECT_EQ(Questions(), std::vector<std::string>{kNotInserted});
    EXPECT_NE(Log().find(c.logged), std::string::npos);
    EXPECT_EQ(pages_->Scripts().size(), scripts) << "no script reached the page";
  }
  // The service's failure to give the tabs ends the same way.
  prompt_.asked.clear();
  sync_->onCall = [](const std::string&) { throw VelkException("network", -1, "no reply"); };
  ShowTabs();
  EXPECT_EQ(Questions(), std::vector<std::string>{kNotInserted});
}

TEST_F(RemoteTabsTest, APageThatDidNotLoadIsOnlyLogged) {
  script_->Dialog(kRemoteTabsTemplate).Press(kRemoteTabsClose);
  pages_->Error("remotetabs/remotetabs.html");
  hidden_.Proc(window_, WM_COMMAND, kCommandRemoteTabs, 0);
  EXPECT_NE(Log().find("Error occurred while loading tabs page, cannot insert user tab data."),
            std::string::npos);
  EXPECT_TRUE(prompt_.asked.empty());
  EXPECT_TRUE(calls().empty()) << "the tabs are not read for a page that is not there";
}

TEST_F(RemoteTabsTest, WithoutTheProgramsFolderOnlyTheBoxShows) {
  programFolder_.clear();
  EXPECT_EQ(scheduler_.ShowRemoteTabs(), kActionNone);
  EXPECT_EQ(Questions(), std::vector<std::string>{
                             "Error: Unable to find tab sync file.  Contact Tarvex for support."});
  EXPECT_TRUE(pages_->Loaded().empty());
  EXPECT_TRUE(script_->Transcript().empty()) << "no dialog was shown";
}

}  // namespace
}  // namespace tarvex
