// The stand-in for the system settings window: it builds the pane's view
// (its controls by name, on tabs), binds the pane's outlets by name, runs
// the pane's life cycle and shows the view as a dialog through the process's
// presenter (the web page for a person, a script in tests). What the pane
// changes in a control is shown at once; what a person does in the dialog
// changes the control and sends its action to the pane.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/win/Dialog.h"
#include "prefPane/pane/Controls.h"
#include "prefPane/pane/KestrovePref.h"
#include "prefPane/pane/RunLoop.h"

namespace tarvex::pane {

// The view's dialog template, and the first control id (the controls of
// the model follow in order).
inline constexpr int kPaneTemplate = 870;
inline constexpr int kPaneFirstControl = 1000;

// The pane's view: every outlet with its kind, text, action and tab.
void BuildPaneView(ControlModel& model);

class PaneHost {
 public:
  PaneHost(KestrovePref& pane, ControlModel& model, RunLoop& loop);
  ~PaneHost();

  // Binds every control of the model to the outlet of its name; answers the
  // names the pane has no outlet for.
  std::vector<std::string> BindOutlets();
  // Binds, runs init, awakeFromNib, mainViewDidLoad and willSelect, shows
  // the view and tells the pane its window became key. False when the view
  // could not be shown.
  bool Open();
  // Leaves the pane: closes it (its timer stops), takes the view away and
  // stops the run loop.
  void Close();
  bool closed() const { return closed_; }

  // The dialog control of a model control (0: none), and back.
  int ControlId(const std::string& name) const;
  HWND window() const;

  // Puts the thread's window messages through the run loop: a source that
  // dispatches them, and waiting for them when nothing is due.
  static void ServeWindowMessages(RunLoop& loop);

 private:
  class View;
  DialogTemplate Template() const;
  void Show(const Control& control);
  void Input(int id, int code);

  KestrovePref& pane_;
  ControlModel& model_;
  RunLoop& loop_;
  std::unique_ptr<View> view_;
  bool closed_ = false;
};

}  // namespace tarvex::pane
