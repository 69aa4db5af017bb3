#include "platform/win/Dialog.h"

#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/win/Presenter.h"
#include "platform/win/WebBrowser.h"

namespace tarvex {

// A person's input waiting for the dialog's thread.
struct DialogInbox {
  std::mutex m;
  std::deque<DialogInput> inputs;
};

namespace {

constexpr uint32_t kInputMessage = WM_LAYER_FIRST + 1;
constexpr uint32_t kRefreshMessage = WM_LAYER_FIRST + 2;

std::mutex& InboxesLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::map<uint64_t, std::weak_ptr<DialogInbox>>& Inboxes() {
  static auto* inboxes = new std::map<uint64_t, std::weak_ptr<DialogInbox>>;
  return *inboxes;
}

// The modal dialogs of this thread, the one on top last: as on Windows, a
// dialog under a modal one takes no input (its owner is disabled).
thread_local std::vector<const Dialog*> modalDialogs;

char Fold(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
// A list's search as Windows does it: the first entry that begins with
// `text`, letters of either case.
bool BeginsWith(const std::string& entry, const std::string& text) {
  if (entry.size() < text.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (Fold(entry[i]) != Fold(text[i])) return false;
  return true;
}

bool IsList(ControlKind kind) {
  return kind == ControlKind::ListBox || kind == ControlKind::ComboBox;
}
bool IsEdit(ControlKind kind) {
  return kind == ControlKind::Edit || kind == ControlKind::Password;
}

}  // namespace

const ControlState* DialogSnapshot::Find(int id) const {
  for (const ControlState& c : controls)
    if (c.id == id) return &c;
  return nullptr;
}

uint32_t SendDialogInput(const HWND& window, DialogInput input) {
  std::shared_ptr<DialogInbox> inbox;
  {
    std::lock_guard<std::mutex> guard(InboxesLock());
    auto it = Inboxes().find(window.local);
    if (it != Inboxes().end()) inbox = it->second.lock();
  }
  if (!inbox || !window.remote.empty()) return win32::ERROR_INVALID_WINDOW_HANDLE;
  std::lock_guard<std::mutex> guard(inbox->m);
  inbox->inputs.push_back(std::move(input));
  const uint32_t rc = PostMessage(window, kInputMessage, 0, 0);
  if (rc != 0) inbox->inputs.pop_back();
  return rc;
}

struct Dialog::Control : ControlState {
  int group = 0;  // radios of one group share it
};

Dialog::Dialog(DialogTemplate t) : template_(std::move(t)) {}

Dialog::~Dialog() {
  Close();
}

void Dialog::Build() {
  controls_.clear();
  defaultControl_ = 0;
  int group = 0;
  bool inRadios = false;
  for (const ControlTemplate& t : template_.controls) {
    Control c;
    c.id = t.id;
    c.kind = t.kind;
    c.text = t.text;
    c.visible = !(t.flags & kHidden);
    c.enabled = !(t.flags & kDisabled);
    c.readOnly = t.flags & kReadOnly;
    c.multiLine = t.flags & kMultiLine;
    c.checked = t.flags & kChecked;
    c.x = t.x;
    c.y = t.y;
    c.width = t.width;
    c.height = t.height;
    if (t.kind == ControlKind::Radio) {
      if (!inRadios || (t.flags & kGroupStart)) ++group;
      c.group = group;
      inRadios = true;
    } else {
      inRadios = false;
    }
    if (t.kind == ControlKind::DefaultButton && defaultControl_ == 0) defaultControl_ = t.id;
    controls_.push_back(std::move(c));
  }
}

bool Dialog::Open(bool modal) {
  if (window_) return false;
  window_ = CreateLocalWindow(template_.title, [this](const HWND&, uint32_t m, uint64_t wp,
                                                      int64_t lp) { return Proc(m, wp, lp); });
  inbox_ = std::make_shared<DialogInbox>();
  {
    std::lock_guard<std::mutex> guard(InboxesLock());
    Inboxes()[window_.local] = inbox_;
  }
  ended_ = false;
  modal_ = modal;
  Build();
  OnInitDialog();
  return true;
}

void Dialog::Close() {
  if (!window_) return;
  const HWND window = window_;
  if (shown_) {
    // What changed last is seen before the dialog goes.
    if (version_ != notified_) Notify(false);
    shown_ = false;
    CurrentPresenter()->DialogClosed(window);
  }
  {
    std::lock_guard<std::mutex> guard(InboxesLock());
    Inboxes().erase(window.local);
  }
  ::tarvex::DestroyWindow(window);
  window_ = HWND{};
  inbox_.reset();
}

int Dialog::DoModal() {
  if (!Open(true)) return -1;
  if (!ended_) {
    shown_ = visible_ = true;
    modalDialogs.push_back(this);
    Notify(true);
    RunNestedLoop([this] { return ended_; });
    std::erase(modalDialogs, this);
  }
  Close();
  return result_;
}

bool Dialog::Create() {
  return Open(false);
}

void Dialog::ShowWindow() {
  if (!window_ || shown_) return;
  shown_ = visible_ = true;
  Notify(true);
}

bool Dialog::DestroyWindow() {
  if (!window_) return false;
  Close();
  return true;
}

void Dialog::EndDialog(int result) {
  result_ = result;
  ended_ = true;
  visible_ = false;
  Changed();
}

DialogSnapshot Dialog::Snapshot() const {
  DialogSnapshot s;
  s.window = window_;
  s.templateId = template_.id;
  s.title = template_.title;
  s.modal = modal_;
  s.visible = visible_;
  s.width = template_.width;
  s.height = template_.height;
  s.defaultControl = defaultControl_;
  s.cancelControl = CancelControl();
  s.closeBox = HasCloseBox();
  s.version = version_;
  s.controls.assign(controls_.begin(), controls_.end());
  return s;
}

void Dialog::Changed() {
  ++version_;
  if (shown_ && !refreshPosted_ && window_) {
    // One notice for a burst of changes, when the thread is free again.
    refreshPosted_ = PostMessage(window_, kRefreshMessage, 0, 0) == 0;
  }
}

void Dialog::Notify(bool shown) {
  notified_ = version_;
  if (shown)
    CurrentPresenter()->DialogShown(Snapshot());
  else
    CurrentPresenter()->DialogChanged(Snapshot());
}

int64_t Dialog::Proc(uint32_t message, uint64_t wParam, int64_t lParam) {
  switch (message) {
    case kInputMessage: {
      DialogInput input;
      {
        std::lock_guard<std::mutex> guard(inbox_->m);
        if (inbox_->inputs.empty()) return 0;
        input = std::move(inbox_->inputs.front());
        inbox_->inputs.pop_front();
      }
      // A dialog under a modal one drops what a person does to it.
      const bool covered = !modalDialogs.empty() && modalDialogs.back() != this;
      if (!ended_ && !covered) Apply(input);
      return 0;
    }
    case kRefreshMessage:
      refreshPosted_ = false;
      if (shown_ && version_ != notified_) Notify(false);
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case kBrowserEventMessage: {
      const auto browser = browsers_.find(static_cast<int>(wParam));
      if (browser != browsers_.end() && browser->second) browser->second->DeliverEvent();
      return 0;
    }
    default:
      return OnMessage(message, wParam, lParam);
  }
}

void Dialog::Apply(const DialogInput& input) {
  using Kind = DialogInput::Kind;
  auto press = [this](Control& c) {
    switch (c.kind) {
      case ControlKind::CheckBox:
        c.checked = !c.checked;
        Changed();
        break;
      case ControlKind::Radio:
        for (Control& other : controls_)
          if (other.kind == ControlKind::Radio && other.group == c.group) other.checked = false;
        c.checked = true;
        Changed();
        break;
      case ControlKind::Button:
      case ControlKind::DefaultButton:
        break;
      default:
        return;  // nothing happens on a click there
    }
    OnCommand(c.id, BN_CLICKED);
  };
  Control* c = Find(input.control);
  const bool usable = c && c->visible && c->enabled;
  switch (input.kind) {
    case Kind::Click:
      if (usable) press(*c);
      break;
    case Kind::SetCheck:
      if (usable && (c->kind == ControlKind::CheckBox || c->kind == ControlKind::Radio) &&
          c->checked != input.on)
        press(*c);
      break;
    case Kind::Type:
      if (usable && IsEdit(c->kind) && !c->readOnly) {
        c->text = input.text;
        Changed();
        OnCommand(c->id, EN_CHANGE);
      }
      break;
    case Kind::Select: {
      if (!usable || !IsList(c->kind)) break;
      int index = input.index;
      if (index < 0) {
        for (size_t i = 0; i < c->items.size() && index < 0; ++i)
          if (c->items[i] == input.text) index = static_cast<int>(i);
      }
      if (index < 0 || index >= static_cast<int>(c->items.size())) break;
      c->selected = index;
      Changed();
      OnCommand(c->id, LBN_SELCHANGE);
      break;
    }
    case Kind::Key: {
      const int id = input.key == DialogKey::Escape ? IDCANCEL
                     : defaultControl_              ? defaultControl_
                                                    : IDOK;
      const Control* target = Find(id);
      if (!target || (target->visible && target->enabled)) OnCommand(id, BN_CLICKED);
      break;
    }
    case Kind::Close:
      OnClose();
      break;
    case Kind::ForceEnd:
      EndDialog(input.result);
      break;
    case Kind::Fill: {
      const auto browser = browsers_.find(input.control);
      if (usable && c->kind == ControlKind::Browser && browser != browsers_.end() &&
          browser->second)
        browser->second->Fill(input.page, input.fields);
      break;
    }
  }
}

void Dialog::OnCommand(int, int) {}

int64_t Dialog::OnMessage(uint32_t, uint64_t, int64_t) {
  return 0;
}

int Dialog::CancelControl() const {
  return Find(IDCANCEL) ? IDCANCEL : 0;
}

Dialog::Control* Dialog::Find(int id) {
  for (Control& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

const Dialog::Control* Dialog::Find(int id) const {
  for (const Control& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

template <typename Change>
bool Dialog::Modify(int id, Change change) {
  Control* c = Find(id);
  if (!c) return false;
  change(*c);
  Changed();
  return true;
}

bool Dialog::SetItemText(int id, const std::string& text) {
  Control* c = Find(id);
  if (!c) return false;
  c->text = text;
  Changed();
  if (IsEdit(c->kind) && !c->multiLine) OnCommand(id, EN_CHANGE);
  return true;
}

std::string Dialog::GetItemText(int id) const {
  const Control* c = Find(id);
  return c ? c->text : std::string();
}

bool Dialog::ShowItem(int id, bool show) {
  return Modify(id, [&](Control& c) { c.visible = show; });
}

bool Dialog::EnableItem(int id, bool enable) {
  return Modify(id, [&](Control& c) { c.enabled = enable; });
}

bool Dialog::CheckItem(int id, bool checked) {
  return Modify(id, [&](Control& c) { c.checked = checked; });
}

bool Dialog::IsItemChecked(int id) const {
  const Control* c = Find(id);
  return c && c->checked;
}

bool Dialog::IsItemEnabled(int id) const {
  const Control* c = Find(id);
  return c && c->enabled;
}

bool Dialog::IsItemVisible(int id) const {
  const Control* c = Find(id);
  return c && c->visible;
}

bool Dialog::HasItem(int id) const {
  return Find(id) != nullptr;
}

int Dialog::ListAdd(int id, const std::string& text) {
  Control* c = Find(id);
  if (!c || !IsList(c->kind)) return -1;
  c->items.push_back(text);
  Changed();
  return static_cast<int>(c->items.size()) - 1;
}

bool Dialog::ListInsert(int id, int index, const std::string& text) {
  Control* c = Find(id);
  if (!c || !IsList(c->kind) || index < 0 || index > static_cast<int>(c->items.size()))
    return false;
  c->items.insert(c->items.begin() + index, text);
  if (c->selected >= index) ++c->selected;
  Changed();
  return true;
}

bool Dialog::ListClear(int id) {
  Control* c = Find(id);
  if (!c || !IsList(c->kind)) return false;
  c->items.clear();
  c->selected = -1;
  Changed();
  return true;
}

bool Dialog::ListSelectString(int id, const std::string& text) {
  Control* c = Find(id);
  if (!c || !IsList(c->kind)) return false;
  for (size_t i = 0; i < c->items.size(); ++i) {
    if (BeginsWith(c->items[i], text)) {
      c->selected = static_cast<int>(i);
      Changed();
      return true;
    }
  }
  return false;  // the selection stays as it was
}

bool Dialog::ListSetCurSel(int id, int index) {
  Control* c = Find(id);
  if (!c || !IsList(c->kind) || index < -1 || index >= static_cast<int>(c->items.size()))
    return false;
  c->selected = index;
  Changed();
  return true;
}

int Dialog::ListGetCurSel(int id) const {
  const Control* c = Find(id);
  return c && IsList(c->kind) ? c->selected : -1;
}

std::string Dialog::ListGetText(int id, int index) const {
  const Control* c = Find(id);
  if (!c || !IsList(c->kind) || index < 0 || index >= static_cast<int>(c->items.size())) return {};
  return c->items[static_cast<size_t>(index)];
}

int Dialog::ListGetCount(int id) const {
  const Control* c = Find(id);
  return c && IsList(c->kind) ? static_cast<int>(c->items.size()) : -1;
}

bool Dialog::SetItemIcon(int id, int icon) {
  return Modify(id, [&](Control& c) { c.icon = icon; });
}

bool Dialog::SetItemFont(int id, bool bold) {
  return Modify(id, [&](Control& c) { c.bold = bold; });
}

void Dialog::SetTitle(const std::string& title) {
  template_.title = title;
  Changed();
}

void Dialog::SetDefaultControl(int id) {
  defaultControl_ = id;
  Changed();
}

bool Dialog::HostBrowser(int id, WebBrowser* browser) {
  bool found = false;
  for (const ControlTemplate& t : template_.controls)
    found = found || (t.id == id && t.kind == ControlKind::Browser);
  if (!found) return false;
  if (browser)
    browsers_[id] = browser;
  else
    browsers_.erase(id);
  return true;
}

bool Dialog::SetBrowserView(int id, std::shared_ptr<const BrowserView> view) {
  Control* c = Find(id);
  if (!c || c->kind != ControlKind::Browser) return false;
  c->browser = std::move(view);
  Changed();
  return true;
}

// ---- The system's message box ----

namespace {

constexpr int kMessageText = 0xFFFF;

DialogTemplate MessageBoxTemplate(const std::string& text, const std::string& caption,
                                  uint32_t type) {
  DialogTemplate t{0, caption, 220, 80, "MS Shell Dlg", {}};
  t.controls.push_back({kMessageText, ControlKind::Static, text, 10, 10, 200, 40, 0});
  switch (type & 0xF) {
    case MB_OKCANCEL:
      t.controls.push_back({IDOK, ControlKind::DefaultButton, "OK", 100, 58, 50, 14, 0});
      t.controls.push_back({IDCANCEL, ControlKind::Button, "Cancel", 160, 58, 50, 14, 0});
      break;
    case MB_YESNO:
      t.controls.push_back({IDYES, ControlKind::DefaultButton, "Yes", 100, 58, 50, 14, 0});
      t.controls.push_back({IDNO, ControlKind::Button, "No", 160, 58, 50, 14, 0});
      break;
    default:
      t.controls.push_back({IDOK, ControlKind::DefaultButton, "OK", 160, 58, 50, 14, 0});
      break;
  }
  return t;
}

class MessageBoxDialog : public Dialog {
 public:
  MessageBoxDialog(const std::string& text, const std::string& caption, uint32_t type)
      : Dialog(MessageBoxTemplate(text, caption, type)), buttons_(type & 0xF) {}

 protected:
  void OnCommand(int id, int) override {
    // Escape ends a box with Cancel as Cancel, one with OK alone as OK, and
    // does nothing to Yes/No.
    if (id == IDCANCEL && !HasItem(IDCANCEL)) {
      if (buttons_ != MB_OK) return;
      id = IDOK;
    }
    if (HasItem(id)) EndDialog(id);
  }
  int CancelControl() const override {
    return buttons_ == MB_OKCANCEL ? IDCANCEL : buttons_ == MB_YESNO ? IDNO : IDOK;
  }

 private:
  uint32_t buttons_;
};

}  // namespace

int MessageBox(const std::string& text, const std::string& caption, uint32_t type) {
  MessageBoxDialog box(text, caption, type);
  return box.DoModal();
}

}  // namespace tarvex
