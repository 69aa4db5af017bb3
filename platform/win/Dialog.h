// Dialogs as the Windows programs use them: built from a template (data: an
// id, a title, a size and controls in order), run modally in a nested loop
// on the thread's queue (so every other message of the thread is still
// dispatched) or shown modeless, with the controls' Windows behaviour that
// the handlers rely on:
//  - a click on a check box flips it, a click on a radio button checks it
//    and clears the others of its group, then the handler hears BN_CLICKED;
//  - text typed into an edit, and text a program sets in a single-line
//    edit, give EN_CHANGE; a new selection in a list gives its SELCHANGE;
//  - Enter presses the default button (IDOK when there is none), Escape
//    sends IDCANCEL, the close box WM_CLOSE (which OnClose turns into
//    IDCANCEL unless a dialog handles it);
//  - hidden or disabled controls take no input, and a dialog under a modal
//    one (opened from it, or over it) takes none at all;
//  - EndDialog hides the dialog at once; its loop returns when the handler
//    that called it returns.
//
// What a person sees is the presenter's (Presenter.h): the dialog hands it
// a snapshot when shown, when its state changed and when it closed. What a
// person does arrives as DialogInput, posted to the dialog's window from any
// thread, and is applied on the dialog's own thread with the behaviour
// above. A helper on a control the template does not have does nothing and
// returns false.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win/Window.h"

namespace tarvex {

struct DialogInbox;
class WebBrowser;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

inline constexpr int BN_CLICKED = 0;
inline constexpr int LBN_SELCHANGE = 1;
inline constexpr int CBN_SELCHANGE = 1;
inline constexpr int EN_CHANGE = 0x0300;

enum class ControlKind {
  Static,
  Button,
  DefaultButton,
  CheckBox,  // flips itself when clicked
  Radio,     // checks itself and clears its group when clicked
  Edit,
  Password,
  ListBox,
  ComboBox,  // a drop-down list
  GroupBox,
  Picture,
  Browser,
};

enum ControlFlag : uint32_t {
  kHidden = 1,
  kDisabled = 2,
  kReadOnly = 4,
  kMultiLine = 8,
  kGroupStart = 16,  // a radio that starts a new group
  kChecked = 32,
};

struct ControlTemplate {
  int id = 0;
  ControlKind kind = ControlKind::Static;
  std::string text;
  int x = 0, y = 0, width = 0, height = 0;  // dialog units
  uint32_t flags = 0;
};

struct DialogTemplate {
  int id = 0;
  std::string title;
  int width = 0, height = 0;  // dialog units
  std::string font;
  std::vector<ControlTemplate> controls;
};

// What a browser control shows (WebBrowser.h), for presenters: the page's
// files, which of them is the page, the query handed to it, and the scripts
// the program appended to it since it was shown.
struct BrowserView {
  uint64_t page = 0;  // grows with every page shown; 0: none yet
  std::string entry;  // "": nothing a person could be shown
  std::string query;
  std::shared_ptr<const std::map<std::string, std::string>> files;
  std::vector<std::string> scripts;
};

struct ControlState {
  int id = 0;
  ControlKind kind = ControlKind::Static;
  std::string text;
  bool visible = true;
  bool enabled = true;
  bool checked = false;
  bool readOnly = false;
  bool multiLine = false;
  bool bold = false;
  int icon = 0;                    // a picture's icon resource
  std::vector<std::string> items;  // list and combo box entries
  int selected = -1;
  int x = 0, y = 0, width = 0, height = 0;
  std::shared_ptr<const BrowserView> browser;  // a browser's page (null: none)
};

// What a presenter sees of a dialog.
struct DialogSnapshot {
  HWND window;
  int templateId = 0;
  std::string title;
  bool modal = false;
  bool visible = true;
  int width = 0, height = 0;
  int defaultControl = 0;  // what Enter presses
  int cancelControl = 0;   // what stands for "no" when nobody can answer (0: none)
  bool closeBox = true;    // whether its title bar offers a close box
  std::vector<ControlState> controls;  // in template order
  uint64_t version = 0;                // grows with every change

  const ControlState* Find(int id) const;
};

// What a person does to a dialog.
enum class DialogKey { Enter, Escape };
struct DialogInput {
  enum class Kind { Click, SetCheck, Type, Select, Key, Close, ForceEnd, Fill };
  Kind kind = Kind::Click;
  int control = 0;
  std::string text;  // Type: the new text; Select: the entry (when index < 0)
  int index = -1;    // Select: the entry's index
  bool on = false;   // SetCheck: the state wanted (clicks only when it differs)
  DialogKey key = DialogKey::Enter;
  int result = 0;  // ForceEnd: the dialog's result (tests only: a box that
                   // ignores Escape and close must still end when a script fails)
  // Fill: what a person entered in the form of a browser control's page
  // (field id, value), and that page's number (BrowserView::page).
  std::vector<std::pair<std::string, std::string>> fields;
  uint64_t page = 0;

  static DialogInput Click(int control) { return Make(Kind::Click, control); }
  static DialogInput SetCheck(int control, bool on) {
    DialogInput i = Make(Kind::SetCheck, control);
    i.on = on;
    return i;
  }
  static DialogInput Type(int control, std::string text) {
    DialogInput i = Make(Kind::Type, control);
    i.text = std::move(text);
    return i;
  }
  static DialogInput Select(int control, int index) {
    DialogInput i = Make(Kind::Select, control);
    i.index = index;
    return i;
  }
  static DialogInput SelectText(int control, std::string text) {
    DialogInput i = Make(Kind::Select, control);
    i.text = std::move(text);
    return i;
  }
  static DialogInput Key(DialogKey key) {
    DialogInput i = Make(Kind::Key, 0);
    i.key = key;
    return i;
  }
  static DialogInput Close() { return Make(Kind::Close, 0); }
  static DialogInput ForceEnd(int result) {
    DialogInput i = Make(Kind::ForceEnd, 0);
    i.result = result;
    return i;
  }
  static DialogInput Fill(int control, uint64_t page,
                          std::vector<std::pair<std::string, std::string>> fields) {
    DialogInput i = Make(Kind::Fill, control);
    i.page = page;
    i.fields = std::move(fields);
    return i;
  }

 private:
  static DialogInput Make(Kind kind, int control) {
    DialogInput i;
    i.kind = kind;
    i.control = control;
    return i;
  }
};

// Posts `input` to the dialog `window` (from any thread): 0, or
// ERROR_INVALID_WINDOW_HANDLE when no such dialog is open, or the post's code.
uint32_t SendDialogInput(const HWND& window, DialogInput input);

class Dialog {
 public:
  explicit Dialog(DialogTemplate t);
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Shows the dialog modally and returns its result once it ended. When the
  // thread's loop is asked to quit meanwhile, the dialog ends with the
  // result it holds and the quit is posted again.
  int DoModal();
  // A modeless dialog: made and initialised, shown, ended by DestroyWindow.
  bool Create();
  void ShowWindow();
  bool DestroyWindow();

  HWND window() const { return window_; }
  int templateId() const { return template_.id; }
  bool ended() const { return ended_; }
  int result() const { return result_; }
  DialogSnapshot Snapshot() const;

  // ---- Controls ----
  bool SetItemText(int id, const std::string& text);
  std::string GetItemText(int id) const;
  bool ShowItem(int id, bool show);
  bool EnableItem(int id, bool enable);
  bool CheckItem(int id, bool checked);
  bool IsItemChecked(int id) const;
  bool IsItemEnabled(int id) const;
  bool IsItemVisible(int id) const;
  bool HasItem(int id) const;
  int ListAdd(int id, const std::string& text);  // the new entry's index, or -1
  bool ListInsert(int id, int index, const std::string& text);
  bool ListClear(int id);
  bool ListSelectString(int id, const std::string& text);
  bool ListSetCurSel(int id, int index);
  int ListGetCurSel(int id) const;  // -1: nothing selected
  std::string ListGetText(int id, int index) const;
  int ListGetCount(int id) const;
  bool SetItemIcon(int id, int icon);
  bool SetItemFont(int id, bool bold);
  void SetTitle(const std::string& title);
  void SetDefaultControl(int id);
  // The browser control `id` hosts `browser` (null: none any more); what it
  // shows is in the snapshot.
  bool HostBrowser(int id, WebBrowser* browser);
  bool SetBrowserView(int id, std::shared_ptr<const BrowserView> view);

  // Ends a modal dialog with `result`; hides it at once.
  void EndDialog(int result);

 protected:
  // Called before the dialog is shown; the return value is the dialog's
  // own (Windows: whether to set the focus).
  virtual bool OnInitDialog() { return true; }
  virtual void OnCommand(int id, int code);
  // The close box: IDCANCEL unless a dialog handles it.
  virtual void OnClose() { OnCommand(IDCANCEL, BN_CLICKED); }
  virtual void OnDestroy() {}
  // Any other message posted to the dialog's window.
  virtual int64_t OnMessage(uint32_t message, uint64_t wParam, int64_t lParam);
  // The control a presenter presses for a person who cannot answer:
  // IDCANCEL when the dialog has it, else none.
  virtual int CancelControl() const;
  // Whether the title bar offers a close box (WM_CLOSE).
  virtual bool HasCloseBox() const { return true; }

  int result_ = 0;

 private:
  struct Control;
  Control* Find(int id);
  const Control* Find(int id) const;
  // Changes the control `id` by `change`: false when there is none.
  template <typename Change>
  bool Modify(int id, Change change);
  void Build();
  void Changed();
  void Notify(bool shown);
  bool Open(bool modal);
  void Apply(const DialogInput& input);
  int64_t Proc(uint32_t message, uint64_t wParam, int64_t lParam);
  void Close();

  DialogTemplate template_;
  std::vector<Control> controls_;
  HWND window_;
  std::shared_ptr<DialogInbox> inbox_;
  std::map<int, WebBrowser*> browsers_;
  bool modal_ = false;
  bool shown_ = false;
  bool visible_ = false;
  bool ended_ = false;
  bool refreshPosted_ = false;
  int defaultControl_ = 0;
  uint64_t version_ = 0;
  uint64_t notified_ = 0;  // the version the presenter saw last
};

// ---- The system's message box ----

inline constexpr uint32_t MB_OK = 0;
inline constexpr uint32_t MB_OKCANCEL = 1;
inline constexpr uint32_t MB_YESNO = 4;
inline constexpr uint32_t MB_ICONERROR = 0x10;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONWARNING = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;

// The text (control 0xFFFF) and the buttons of `type` (IDOK; IDOK, IDCANCEL;
// IDYES, IDNO), as template 0 "MessageBox"; returns the button's id.
int MessageBox(const std::string& text, const std::string& caption, uint32_t type);

}  // namespace tarvex
