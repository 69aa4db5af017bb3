// A presenter for tests: an ordered script of what a person does with each
// dialog and menu the program shows. A dialog or menu the next step does not
// expect is a failure at once: it is recorded (and told to OnFailure), the
// dialog is ended (ForceEnd, result -1) or the menu dismissed, so a test
// fails with a message instead of hanging.
//
// From C++:
//   script->Dialog(300).Expect(304, "already running").Check(305, false).Press(302);
//   script->Choose("Exit");
// From a file (TARVEX_PRESENTER=script:<file>), one step a line, "#" starts
// a comment:
//   dialog 300 expect 304 ~"already running" check 305 off press 302
//   dialog 111 expect 252 "Tarvex for IE v1.0" type 1025 "Laptop" select 262 "beta" key enter
//   menu choose "Exit"
//   menu dismiss
//   dialog 107 fill 1001 "_username=demo" "_password=demo" "_flag=done"
// `~"text"` expects a control's text to contain it, `"text"` to be it.
// Actions: press ID, check ID on|off, type ID "text", select ID "text",
// key enter|escape, close, fill ID "field=value"... (what a person enters
// in the form of the page a browser control shows: sent once the control
// shows a page, to the page it shows then; the actions after it wait for
// it). In a "\" inside quotes, \" and \\ stand for themselves.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/Presenter.h"

namespace tarvex {

inline constexpr int kScriptFailedResult = -1;

class ScriptedPresenter : public Presenter {
 public:
  // ---- The script ----
  ScriptedPresenter& Dialog(int templateId);
  // Expects the control's text to contain `text` (be it, when `exact`).
  ScriptedPresenter& Expect(int control, std::string text, bool exact = false);
  ScriptedPresenter& Press(int control);
  ScriptedPresenter& Check(int control, bool on);
  ScriptedPresenter& Type(int control, std::string text);
  ScriptedPresenter& Select(int control, std::string text);
  ScriptedPresenter& Key(DialogKey key);
  ScriptedPresenter& Close();
  ScriptedPresenter& Fill(int control, std::vector<std::pair<std::string, std::string>> fields);
  ScriptedPresenter& Choose(std::string menuItem);
  ScriptedPresenter& Dismiss();

  // The script of `text`, or null and `*error` naming the line at fault.
  static std::shared_ptr<ScriptedPresenter> Parse(const std::string& text, std::string* error);
  static std::shared_ptr<ScriptedPresenter> FromFile(const std::string& path, std::string* error);

  // Told every failure as it happens (besides its record).
  void OnFailure(std::function<void(const std::string&)> onFailure);

  // ---- What happened ----
  std::vector<std::string> Failures() const;
  size_t Unconsumed() const;
  // One line for each thing shown and done, in order.
  std::vector<std::string> Transcript() const;
  // The latest state of the last dialog of `templateId` shown.
  std::optional<DialogSnapshot> Latest(int templateId) const;
  std::vector<std::vector<TrayIcon>> TrayHistory() const;
  std::vector<BalloonRecord> Balloons() const;

  // ---- Presenter ----
  void DialogShown(const DialogSnapshot& dialog) override;
  void DialogChanged(const DialogSnapshot& dialog) override;
  void DialogClosed(const HWND& dialog) override;
  void TrayChanged(const std::vector<TrayIcon>& icons) override;
  void Balloon(const BalloonRecord& balloon) override;
  void MenuShown(const MenuSnapshot& menu) override;
  void MenuClosed(const HWND&) override {}

 private:
  struct Expectation {
    int control;
    std::string text;
    bool exact;
  };
  struct Step {
    bool menu = false;
    int templateId = 0;
    std::vector<Expectation> expects;
    std::vector<DialogInput> actions;
    std::string choose;  // a menu step: the item, or empty to dismiss
  };
  Step& Last();
  void Fail(const std::string& failure);
  // Sends `actions` to the dialog in order, up to a fill whose browser
  // shows no page yet: that one and the rest wait for the dialog to change.
  void Send(const DialogSnapshot& dialog, std::vector<DialogInput> actions);

  mutable std::mutex m_;
  std::vector<Step> steps_;
  size_t next_ = 0;
  std::vector<std::string> failures_;
  std::vector<std::string> transcript_;
  std::vector<DialogSnapshot> dialogs_;  // the latest of each dialog shown
  // Actions waiting for a dialog's browser to show a page, by window.
  std::vector<std::pair<HWND, std::vector<DialogInput>>> waiting_;
  std::vector<std::vector<TrayIcon>> trays_;
  std::vector<BalloonRecord> balloons_;
  std::function<void(const std::string&)> onFailure_;
};

}  // namespace tarvex
