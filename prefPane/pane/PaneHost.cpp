#include "prefPane/pane/PaneHost.h"

#include <algorithm>

namespace tarvex::pane {

namespace {

using K = Control::Kind;

struct Entry {
  K kind;
  const char* name;
  const char* text;
  const char* action;
  const char* tab;
};

// The pane's interface: the outlets the code relies on, their titles and the
// actions they send, on the tabs "General", "Account", "Advanced" and
// "Discovery" (which the pane takes away).
constexpr Entry kView[] = {
    {K::TabView, "prefsTabView", "", "", ""},
    {K::Label, "runningStatusText", "", "", ""},
    {K::PushButton, "startStopButton", "Start Tarvex", "startStopKestrove:", ""},
    {K::Label, "syncStatusText", "", "", ""},
    {K::Label, "syncErrorMessage", "", "", ""},
    {K::Label, "lastSyncText", "", "", ""},
    {K::PushButton, "syncNowButton", "Sync Now", "syncNow:", ""},
    {K::CheckBox, "launchAtLoginButton", "Start Tarvex at login",
     "updateLaunchAtLogin:", "General"},
    {K::CheckBox, "autoSyncButton", "Synchronize automatically", "changePrefs:", "General"},
    {K::CheckBox, "menuStatusButton", "Show status in the menu bar", "changePrefs:", "General"},
    {K::CheckBox, "growlStatusButton", "Show notifications with Growl", "changePrefs:", "General"},
    {K::CheckBox, "EnableSyncNotification", "Notify me after a sync", "changePrefs:", "General"},
    {K::CheckBox, "autoCheckUpdatesButton", "Check for updates automatically",
     "changePrefs:", "General"},
    {K::PushButton, "checkUpdateButton", "Check Now", "checkUpdate:", "General"},
    {K::Progress, "updateCheckIndicator", "Checking for updates...", "", "General"},
    {K::CheckBox, "tabSyncButton", "Share my open tabs", "changePrefs:", "General"},
    {K::TextField, "tabSyncComputerName", "", "", "General"},
    {K::Label, "loginStatusText", "", "", "Account"},
    {K::PushButton, "changeLoginButton", "Change login", "changeLogin:", "Account"},
    {K::Label, "currentProfileText", "", "", "Account"},
    {K::PushButton, "changeProfileButton", "Change Profile", "changeProfile:", "Account"},
    {K::PushButton, "runSetupWizardButton", "Setup Wizard", "runSetupWizard:", "Account"},
    {K::PushButton, "uploadButton", "Upload", "uploadToServer:", "Account"},
    {K::PushButton, "downloadButton", "Download", "downloadFromServer:", "Account"},
    {K::PopUp, "encryptionMenu", "No Encryption|Login Only|Encrypt All",
     "changePrefs:", "Advanced"},
    {K::CheckBox, "enableProxyButton", "Use a proxy", "changePrefs:", "Advanced"},
    {K::TextField, "httpProxy", "", "", "Advanced"},
    {K::TextField, "httpsProxy", "", "", "Advanced"},
    {K::CheckBox, "enableLoggingButton", "Enable logging", "changePrefs:", "Advanced"},
    {K::CheckBox, "verboseLoggingButton", "Verbose logging", "changePrefs:", "Advanced"},
    {K::Label, "versionText", "", "", "Advanced"},
    {K::PushButton, "clearLogButton", "Clear Log", "clearLog:", "Advanced"},
    {K::PushButton, "showLogButton", "Show Log", "showLog:", "Advanced"},
    {K::PushButton, "archiveButton", "Diagnostic Archive", "archiveTarvex:", "Advanced"},
    {K::PushButton, "resetButton", "Reset", "resetTarvex:", "Advanced"},
    {K::PushButton, "helpButton", "Help", "goToHelp:", "Advanced"},
    {K::PushButton, "wwwButton", "Tarvex Web Site", "goToWwwKestrove:", "Advanced"},
    {K::PushButton, "myTarvexButton", "My Tarvex", "goToMyKestrove:", "Advanced"},
    {K::Radio, "SmarterSearchRadio", "Top three results", "changePrefs:", "Discovery"},
    {K::CheckBox, "EnableSmarterSearch", "Smarter search", "changePrefs:", "Discovery"},
    {K::CheckBox, "EnableBIB", "Bookmarks in the browser", "toggleEnableSiteInfo:", "Discovery"},
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
    parts.push_back(text.substr(start, bar - start));
  parts.push_back(text.substr(start));
  return parts;
}

ControlKind DialogKind(K kind) {
  switch (kind) {
    case K::PushButton:
      return ControlKind::Button;
    case K::CheckBox:
      return ControlKind::CheckBox;
    case K::Radio:
      return ControlKind::Radio;
    case K::TextField:
      return ControlKind::Edit;
    case K::PopUp:
      return ControlKind::ComboBox;
    case K::TabView:
      return ControlKind::GroupBox;
    default:
      return ControlKind::Static;
  }
}

std::string TabsText(const TabView& tabs) {
  std::string text;
  for (const auto& item : tabs.items()) text += (text.empty() ? "" : " | ") + item.label;
  return text;
}

}  // namespace

void BuildPaneView(ControlModel& model) {
  model.Add<Window>(K::Window, "prefWindow");
  for (const Entry& e : kView) {
    switch (e.kind) {
      case K::PushButton:
      case K::CheckBox:
      case K::Radio:
        model.Add<Button>(e.kind, e.name, e.action, e.tab).setTitle(e.text);
        break;
      case K::TextField:
      case K::Label:
        model.Add<TextField>(e.kind, e.name, e.action, e.tab).setStringValue(e.text);
        break;
      case K::PopUp:
        model.Add<PopUpButton>(e.kind, e.name, e.action, e.tab).setItems(Split(e.text));
        break;
      case K::Progress:
        model.Add<ProgressIndicator>(e.kind, e.name, e.action, e.tab);
        break;
      case K::TabView: {
        auto& tabs = model.Add<TabView>(e.kind, e.name, e.action, e.tab);
        for (const char* tab : {"General", "Account", "Advanced", "Discovery"})
          tabs.addItem(tab, tab);
        break;
      }
      case K::Window:
        break;
    }
  }
}

class PaneHost::View : public Dialog {
 public:
  View(PaneHost& host, DialogTemplate t) : Dialog(std::move(t)), host_(host) {}

 protected:
  void OnCommand(int id, int code) override { host_.Input(id, code); }
  int CancelControl() const override { return 0; }

 private:
  PaneHost& host_;
};

PaneHost::PaneHost(KestrovePref& pane, ControlModel& model, RunLoop& loop)
    : pane_(pane), model_(model), loop_(loop) {}

PaneHost::~PaneHost() {
  model_.SetObserver(nullptr);
  if (view_) view_->DestroyWindow();
}

std::vector<std::string> PaneHost::BindOutlets() {
  std::vector<std::string> unbound;
  for (const auto& c : model_.controls())
    if (!pane_.BindOutlet(c->name(), *c) && c->action().empty()) unbound.push_back(c->name());
  return unbound;
}

int PaneHost::ControlId(const std::string& name) const {
  const auto& controls = model_.controls();
  for (size_t i = 0; i < controls.size(); ++i)
    if (controls[i]->name() == name) return kPaneFirstControl + static_cast<int>(i);
  return 0;
}

HWND PaneHost::window() const {
  return view_ ? view_->window() : HWND{};
}

DialogTemplate PaneHost::Template() const {
  DialogTemplate t;
  t.id = kPaneTemplate;
  t.title = "Tarvex";
  t.width = 420;
  t.height = 16 * static_cast<int>(model_.controls().size()) + 20;
  int y = 6;
  for (const auto& c : model_.controls()) {
    if (c->kind() == K::Window) continue;
    ControlTemplate ct;
    ct.id = ControlId(c->name());
    ct.kind = DialogKind(c->kind());
    ct.x = 10;
    ct.y = y;
    ct.width = 400;
    ct.height = 14;
    y += 16;
    t.controls.push_back(ct);
  }
  return t;
}

bool PaneHost::Open() {
  BindOutlets();
  view_ = std::make_unique<View>(*this, Template());
  if (!view_->Create()) return false;
  if (pane_.prefWindow) pane_.prefWindow->setWindowNumber(static_cast<int>(view_->window().local));
  for (const auto& c : model_.controls()) Show(*c);
  model_.SetObserver([this](const Control& c) {
    Show(c);
    // A tab taken away hides what lives on it.
    if (c.kind() == K::TabView)
      for (const auto& other : model_.controls()) Show(*other);
  });
  pane_.init();
  pane_.awakeFromNib();
  pane_.mainViewDidLoad();
  pane_.willSelect();
  view_->ShowWindow();
  pane_.windowDidBecomeKey();
  return true;
}

void PaneHost::Close() {
  if (closed_) return;
  closed_ = true;
  pane_.close();
  model_.SetObserver(nullptr);
  if (view_) view_->DestroyWindow();
  loop_.Stop();
}

void PaneHost::Show(const Control& c) {
  if (!view_) return;
  int id = ControlId(c.name());
  bool onTab = true;
  if (!c.tab().empty())
    for (const auto& other : model_.controls())
      if (other->kind() == K::TabView && !static_cast<const TabView&>(*other).hasItem(c.tab()))
        onTab = false;
  view_->EnableItem(id, c.isEnabled());
  switch (c.kind()) {
    case K::PushButton:
    case K::CheckBox:
    case K::Radio: {
      const auto& b = static_cast<const Button&>(c);
      view_->SetItemText(id, b.title());
      view_->CheckItem(id, b.state() == kStateOn);
      break;
    }
    case K::TextField:
    case K::Label:
      if (view_->GetItemText(id) != static_cast<const TextField&>(c).stringValue())
        view_->SetItemText(id, static_cast<const TextField&>(c).stringValue());
      break;
    case K::PopUp: {
      const auto& p = static_cast<const PopUpButton&>(c);
      if (view_->ListGetCount(id) != static_cast<int>(p.items().size())) {
        view_->ListClear(id);
        for (const auto& item : p.items()) view_->ListAdd(id, item);
      }
      view_->ListSetCurSel(id, p.indexOfSelectedItem());
      break;
    }
    case K::Progress:
      view_->SetItemText(id, "Checking for updates...");
      onTab = onTab && static_cast<const ProgressIndicator&>(c).isAnimating();
      break;
    case K::TabView:
      view_->SetItemText(id, TabsText(static_cast<const TabView&>(c)));
      break;
    case K::Window:
      return;
  }
  view_->ShowItem(id, onTab);
}

void PaneHost::Input(int id, int code) {
  if (id == IDCANCEL) {
    Close();
    return;
  }
  size_t index = static_cast<size_t>(id - kPaneFirstControl);
  if (id < kPaneFirstControl || index >= model_.controls().size()) return;
  const Control& c = *model_.controls()[index];
  std::string action;
  switch (c.kind()) {
    case K::PushButton:
    case K::CheckBox:
    case K::Radio:
      if (code == BN_CLICKED) action = model_.PersonClick(c.name());
      break;
    case K::TextField:
      if (code == EN_CHANGE) action = model_.PersonType(c.name(), view_->GetItemText(id));
      break;
    case K::PopUp:
      if (code == CBN_SELCHANGE) action = model_.PersonSelect(c.name(), view_->ListGetCurSel(id));
      break;
    default:
      break;
  }
  if (!action.empty()) pane_.Perform(action);
}

void PaneHost::ServeWindowMessages(RunLoop& loop) {
  loop.AddSource([] {
    int handled = 0;
    MSG msg;
    while (PeekMessage(&msg, true)) {
      DispatchMessage(msg);
      ++handled;
    }
    return handled;
  });
  loop.SetIdle([](int ms) { WaitMessage(static_cast<uint32_t>(std::min(ms, 50))); });
}

}  // namespace tarvex::pane
