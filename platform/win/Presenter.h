// Who shows the program's dialogs, tray icon, balloons and menus to a
// person, and brings back what the person does. The program's code never
// talks to a presenter: dialogs, the tray and menus do. What the person does
// goes back through SendDialogInput, ClickTrayIcon, ChooseMenuItem and
// DismissMenu, which post messages, so it arrives through the program's
// queue like any other input.
//
// The process's presenter is chosen by TARVEX_PRESENTER on first use:
//   script:<file>  a script of what to do with each dialog and menu, for
//                  tests (ScriptedPresenter.h): anything it did not expect
//                  fails at once;
//   web            a page on the loopback address, opened in the person's
//                  browser (WebPresenter.h); the default;
//   null           for unattended runs: every question is answered with its
//                  cancel, every menu dismissed, and both are logged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/win/Dialog.h"
#include "platform/win/Tray.h"

namespace tarvex {

// Every call comes on the thread of the dialog, menu or tray icon it is
// about; a presenter that works on other threads keeps copies.
class Presenter {
 public:
  virtual ~Presenter() = default;
  virtual void DialogShown(const DialogSnapshot& dialog) = 0;
  virtual void DialogChanged(const DialogSnapshot& dialog) = 0;
  virtual void DialogClosed(const HWND& dialog) = 0;
  // The icons now in the tray, after every change.
  virtual void TrayChanged(const std::vector<TrayIcon>& icons) = 0;
  virtual void Balloon(const BalloonRecord& balloon) = 0;
  virtual void MenuShown(const MenuSnapshot& menu) = 0;
  virtual void MenuClosed(const HWND& menu) = 0;
};

// The process's presenter (chosen from TARVEX_PRESENTER on first use), and
// its replacement (tests; the program's start).
std::shared_ptr<Presenter> CurrentPresenter();
// Returns the one it replaces (null when none was made yet).
std::shared_ptr<Presenter> SetPresenter(std::shared_ptr<Presenter> presenter);

// The presenter TARVEX_PRESENTER names; `*error` tells why none could be
// made (an unreadable script, a malformed line, an unknown name).
std::shared_ptr<Presenter> PresenterFromEnvironment(std::string* error);

// Answers every dialog with its cancel control (or ends it with IDCANCEL
// when it has none) and dismisses every menu, logging each.
class NullPresenter : public Presenter {
 public:
  void DialogShown(const DialogSnapshot& dialog) override;
  void DialogChanged(const DialogSnapshot&) override {}
  void DialogClosed(const HWND&) override {}
  void TrayChanged(const std::vector<TrayIcon>&) override {}
  void Balloon(const BalloonRecord& balloon) override;
  void MenuShown(const MenuSnapshot& menu) override;
  void MenuClosed(const HWND&) override {}
};

// The texts a person would read in a dialog: its title and its statics, in
// order, one line each (for logs and failures).
std::string DescribeDialog(const DialogSnapshot& dialog);

}  // namespace tarvex
