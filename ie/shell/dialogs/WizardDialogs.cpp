// The setup wizard and the open tabs of the other computers: two dialogs
// that host the web-browser control (platform/win/WebBrowser.h).
#include "ie/shell/dialogs/WizardDialogs.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/sync/Account.h"
#include "ie/sync/ServiceRequests.h"
#include "nodeset/Json.h"
#include "platform/process/Process.h"
#include "platform/win/Dialog.h"
#include "platform/win/NamedMutex.h"
#include "platform/win/WebBrowser.h"
#include "platform/Win32Error.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr const char* kCancelQuestion = "Are you sure you want to cancel the Tarvex setup wizard?";
constexpr const char* kNetworkQuestion =
    "Tarvex is unable to connect to the network. You can try again later by going to \"Tools "
    "-> Tarvex\" and clicking on \"Restart Setup Wizard\".\n\r\n\rDo you want to try again now?";
constexpr const char* kNoDocument = "Error: unable to load setup wizard HTML document";
constexpr const char* kNoElement = "Error: unable to get element from HTML document";
constexpr const char* kNoTabsFile = "Error: Unable to find tab sync file.  Contact Tarvex for support.";
constexpr const char* kNoTabsInserted =
    "Error: Unable to insert remote tab data.  Contact Tarvex for support.";

std::mutex& FolderLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::function<std::string()>& FolderSource() {
  static auto* source = new std::function<std::string()>;
  return *source;
}
using ReadyToSyncQuestion = std::function<int(SyncScheduler&, int, bool)>;
ReadyToSyncQuestion& ReadyToSync() {
  static auto* ask = new ReadyToSyncQuestion;
  return *ask;
}

void Forget(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}

// ---- The setup wizard ----

DialogTemplate WizardTemplate() {
  DialogTemplate t{kWizardTemplate, "Tarvex Setup Wizard", 415, 310, "MS Shell Dlg", {}};
  t.controls.push_back({kWizardBrowser, ControlKind::Browser, "", 0, 0, 415, 310, 0});
  return t;
}

// What a wizard ended with.
struct WizardOutcome {
  bool quit = false;           // the thread's loop was asked to end meanwhile
  bool networkFailed = false;  // a page did not load
  bool accountFinished = false;
  bool rememberPassword = false;
  std::string userName;
  std::string password;
};

// Modeless, without owner: its own loop runs until its window is gone.
class SetupWizardDialog : public Dialog {
 public:
  explicit SetupWizardDialog(const SchedulerEnvironment& env)
      : Dialog(WizardTemplate()), env_(env), browser_(*this, kWizardBrowser) {
    browser_.onDocumentComplete = [this](const std::string&) { OnDocumentComplete(); };
    browser_.onNavigateError = [this](const std::string&, int) { outcome_.networkFailed = true; };
  }
  ~SetupWizardDialog() override { Forget(outcome_.password); }

  // Shows the wizard and runs its loop until it ends.
  WizardOutcome& Run() {
    running_ = Create();
    ShowWindow();
    // A quit asked for meanwhile ends the wizard and goes on to the loop
    // outside (RunNestedLoop posts it again).
    outcome_.quit = !RunNestedLoop([this] { return !running_ || ended(); });
    DestroyWindow();
    return outcome_;
  }

 protected:
  bool OnInitDialog() override {
    Settings& s = env_.settings;
    browser_.Navigate(WizardAddress(s.GetValue("authserver", ""), s.GetUserAgent(false),
                                    s.GetValue("machineid", "0"), s.GetValue("kestroveversion", ""),
                                    env_.account ? env_.account->GetUserName() : std::string()));
    return true;
  }
  void OnClose() override { DestroyWindow(); }
  void OnDestroy() override { running_ = false; }

 private:
  // The value of the page's field `id`: nothing when the page has no such
  // field, false when the page could not be read (reported, and the wizard
  // ends).
  bool Field(HtmlDocument& doc, const char* id, std::optional<std::string>* out) {
    HtmlElement* element = nullptr;
    std::string value;
    if (!doc.GetElementById(id, &element) || (element && !doc.Value(element, &value))) {
      Fail(kNoElement);
      return false;
    }
    *out = element ? std::optional<std::string>(std::move(value)) : std::nullopt;
    return true;
  }

  void Fail(const char* text) {
    env_.logger.Error(text);
    env_.prompt.Ask(text, kButtonOK);
    outcome_.accountFinished = false;
    DestroyWindow();
  }

  void OnDocumentComplete() {
    if (outcome_.networkFailed) {
      DestroyWindow();
      return;
    }
    HtmlDocument* doc = nullptr;
    if (!browser_.Document(&doc)) {
      Fail(kNoDocument);
      return;
    }
    std::optional<std::string> flag;
    if (!Field(*doc, "_flag", &flag)) return;
    if (!flag) {
      env_.logger.Log(Format("The setup wizard's page [%s] has no _flag field", browser_.url()));
      return;
    }
    if (*flag == "cancel") {
      const int answer = env_.prompt.Ask(kCancelQuestion, kButtonNo, kButtonYes);
      outcome_.accountFinished = false;
      if (answer == kButtonYes) DestroyWindow();
    } else if (*flag == "done") {
      std::optional<std::string> have, user, password, remember;
      if (!Field(*doc, "_have_account", &have)) return;
      if (have && !have->empty()) {
        if (!Field(*doc, "_username", &user) || !Field(*doc, "_password", &password) ||
            !Field(*doc, "_remempw", &remember))
          return;
        outcome_.userName = user.value_or("");
        Forget(outcome_.password);
        outcome_.password = password.value_or("");
        if (password) Forget(*password);
        outcome_.rememberPassword = remember.value_or("") == "on";
        outcome_.accountFinished = !outcome_.userName.empty();
      }
      DestroyWindow();
    }
  }

  const SchedulerEnvironment& env_;
  WebBrowser browser_;
  bool running_ = false;
  WizardOutcome outcome_;
};

// One wizard and what follows it. `*again` when the person asked for a new
// one.
int OneWizard(SyncScheduler& scheduler, bool* again) {
  const SchedulerEnvironment& env = scheduler.env();
  *again = false;
  std::shared_ptr<NamedMutex> mutex;
  if (uint32_t rc = NamedMutex::Open(kSyncMutexName, &mutex, env.runtimeDir)) {
    env.logger.Error(Format("Error while getting sync handle: %s", win32::FormatMessage(rc)));
    return kActionNone;
  }
  mutex->Wait(INFINITE);
  SetupWizardDialog wizard(env);
  const WizardOutcome& outcome = wizard.Run();
  mutex->Release();
  if (outcome.quit) return kActionNone;

  if (outcome.networkFailed) {
    *again = env.prompt.Ask(kNetworkQuestion, kButtonOK, kButtonCancel) == kButtonOK;
    return kActionNone;
  }
  if (!outcome.accountFinished) return kActionNone;
  if (!env.account) {
    env.logger.Error("The setup wizard finished with an account, but nothing signs in here");
    return kActionNone;
  }
  env.account->SetCredentials(outcome.userName, outcome.password, outcome.rememberPassword);
  if (!env.account->Authenticate()) {
    env.account->ShowSignInFailed();
    return kActionNone;
  }
  const Json::Value status = env.makeSync(true)->GetStatus();
  const Json::Value isreset = status.isObject() ? status.get("isreset", "false") : Json::Value();
  const bool reset = IsJsonText(isreset) && !isreset.isNull() && JsonText(isreset) == "true";
  const ReadyToSyncQuestion ask = ReadyToSync();
  const int action = reset ? kActionUpload : kActionMergeServerFirst;
  return ask ? ask(scheduler, action, !reset) : scheduler.ShowReadyToSync(action, !reset);
}

// ---- The open tabs ----

DialogTemplate RemoteTabsTemplate() {
  DialogTemplate t{kRemoteTabsTemplate, "Tarvex Open Tabs", 400, 300, "MS Shell Dlg", {}};
  t.controls.push_back({kRemoteTabsBrowser, ControlKind::Browser, "", 7, 7, 386, 262, 0});
  t.controls.push_back({kRemoteTabsClose, ControlKind::DefaultButton, "Close", 343, 278, 50, 14, 0});
  return t;
}

// Why the tabs could not be put into their page (logged).
struct InsertFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class RemoteTabsDialog : public Dialog {
 public:
  explicit RemoteTabsDialog(const SchedulerEnvironment& env)
      : Dialog(RemoteTabsTemplate()), env_(env), browser_(*this, kRemoteTabsBrowser) {
    browser_.onDocumentComplete = [this](const std::string&) { OnDocumentComplete(); };
    browser_.onNavigateError = [this](const std::string&, int) { loadFailed_ = true; };
  }

 protected:
  bool OnInitDialog() override {
    const std::string folder = ProgramFolder();
    if (folder.empty()) {
      env_.prompt.Ask(kNoTabsFile, kButtonOK);
      EndDialog(IDCANCEL);
      return true;
    }
    browser_.Navigate(
        (std::filesystem::path(folder) / "remotetabs" / "remotetabs.html").string());
    return true;
  }
  void OnCommand(int id, int) override {
    if (id == kRemoteTabsClose || id == IDCANCEL) EndDialog(id);
  }

 private:
  void OnDocumentComplete() {
    if (loadFailed_) {
      env_.logger.Error("Error occurred while loading tabs page, cannot insert user tab data.");
      return;
    }
    if (inserted_) return;
    inserted_ = true;
    try {
      Insert(RemoteTabsScript(env_.makeSync(true)->ReadTabs()));
    } catch (const InsertFailure& e) {
      env_.logger.Error(e.what());
      env_.prompt.Ask(kNoTabsInserted, kButtonOK);
    } catch (const VelkException& e) {
      env_.logger.Error(Format("Unable to read the open tabs: %s", e.ToString()));
      env_.prompt.Ask(kNoTabsInserted, kButtonOK);
    } catch (const std::exception& e) {
      env_.logger.Error(Format("Unable to read the open tabs: %s", e.what()));
      env_.prompt.Ask(kNoTabsInserted, kButtonOK);
    }
  }

  // Appends a script element with `script` to the page's first head.
  void Insert(const std::string& script) {
    auto check = [](bool ok, const char* failure) {
      if (!ok) throw InsertFailure(failure);
    };
    HtmlDocument* doc = nullptr;
    check(browser_.Document(&doc), "Unable to get the HTML document");
    HtmlCollection all, heads;
    size_t count = 0;
    HtmlElement* head = nullptr;
    HtmlElement* element = nullptr;
    check(doc->All(&all), "Unable to get all HTML elements");
    check(doc->Tags(all, "head", &heads), "Unable to get head tags");
    check(doc->Collection(heads, &count), "Unable to convert head elements to collection");
    check(count >= 1, "Head count is less than 1");
    check(doc->Item(heads, 0, &head), "Unable to get a head node");
    check(doc->Node(head), "Unable to convert a head node");
    check(doc->CreateElement("script", &element), "Unable to create script element");
    check(doc->Script(element), "Unable to convert script element");
    check(doc->SetText(element, script), "Unable to set script attributes");
    check(doc->Node(element), "Unable to convert to script node");
    check(doc->AppendChild(head, element), "Unable to append the script to the head");
  }

  const SchedulerEnvironment& env_;
  WebBrowser browser_;
  bool loadFailed_ = false;
  bool inserted_ = false;
};

}  // namespace

std::string ProgramFolder() {
  std::function<std::string()> source;
  {
    std::lock_guard<std::mutex> guard(FolderLock());
    source = FolderSource();
  }
  if (source) return source();
  const std::string self = SelfExecutablePath();
  return self.empty() ? std::string() : std::filesystem::path(self).parent_path().string();
}

void SetProgramFolder(std::function<std::string()> folder) {
  std::lock_guard<std::mutex> guard(FolderLock());
  FolderSource() = std::move(folder);
}

void SetReadyToSyncQuestion(ReadyToSyncQuestion ask) {
  ReadyToSync() = std::move(ask);
}

std::string WizardAddress(const std::string& authserver, const std::string& userAgent,
                          const std::string& machineId, const std::string& version,
                          const std::string& userName) {
  std::string url = Format("%s%s?_ua=%s&_lang=%s&_mid=%s&_app=velk&_version=%s", authserver,
                           "/wizard", EncodeQueryComponent(userAgent),
                           EncodeQueryComponent("en_US"), EncodeQueryComponent(machineId),
                           EncodeQueryComponent(version));
  if (!userName.empty()) url += Format("&_username=%s", EncodeQueryComponent(userName));
  return url;
}

std::string RemoteTabsScript(const Json::Value& tabs) {
  std::string json = SanitizeUtf8(WriteCompactJson(tabs));
  // Outside strings JSON has none of these, so escapes keep it the same.
  json = ReplaceAll(std::move(json), "\xE2\x80\xA8", "\\u2028");
  json = ReplaceAll(std::move(json), "\xE2\x80\xA9", "\\u2029");
  json = ReplaceAll(std::move(json), "<", "\\u003c");
  return Format("UpdateRemoteTabDisplay(0, %s);", json);
}

int SyncScheduler::RunSetupWizard() {
  if (wizardRunning_) return kActionNone;
  wizardRunning_ = true;
  int result = kActionNone;
  try {
    if (wizardDialog) {
      result = wizardDialog();
    } else {
      // A wizard the person asked to start again runs as a new one.
      bool again = true;
      while (again) result = OneWizard(*this, &again);
    }
  } catch (const VelkException& e) {
    env_.logger.Error("TarvexException during SetupWizardDialog:" + e.ToString());
    result = kActionNone;
  } catch (...) {
    env_.logger.Error("Unhandled (unknown) exception during SetupWizardDialog");
    result = kActionNone;
  }
  wizardRunning_ = false;
  return result;
}

int SyncScheduler::ShowRemoteTabs() {
  // One open-tabs dialog at a time (the tray reaches the program while it
  // is open).
  static bool open = false;
  if (open) return kActionNone;
  open = true;
  try {
    RemoteTabsDialog dialog(env_);
    dialog.DoModal();
  } catch (...) {
    open = false;
    throw;
  }
  open = false;
  return kActionNone;
}

}  // namespace tarvex
