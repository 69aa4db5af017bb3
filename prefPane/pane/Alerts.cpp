#include "prefPane/pane/Alerts.h"

#include "platform/win/Dialog.h"

namespace tarvex::pane {

namespace {

class AlertDialog : public Dialog {
 public:
  AlertDialog(DialogTemplate t, size_t buttons) : Dialog(std::move(t)), buttons_(buttons) {}

 protected:
  void OnCommand(int id, int) override {
    if (id >= kAlertFirstButton && id < kAlertFirstButton + static_cast<int>(buttons_))
      EndDialog(id);
    else if (id == IDCANCEL)
      EndDialog(IDCANCEL);
  }

 private:
  size_t buttons_;
};

}  // namespace

int DialogAlerts::Alert(const std::string& title, const std::string& text,
                        const std::vector<std::string>& buttons) {
  std::vector<std::string> labels = buttons.empty() ? std::vector<std::string>{"OK"} : buttons;
  DialogTemplate t;
  t.id = kAlertTemplate;
  t.title = title;
  t.width = 260;
  t.height = 90;
  t.controls.push_back({kAlertText, ControlKind::Static, text, 10, 10, 240, 50, 0});
  for (size_t i = 0; i < labels.size(); ++i)
    t.controls.push_back({kAlertFirstButton + static_cast<int>(i),
                          i == 0 ? ControlKind::DefaultButton : ControlKind::Button, labels[i],
                          200 - 60 * static_cast<int>(i), 68, 54, 14, 0});
  AlertDialog dialog(std::move(t), labels.size());
  int result = dialog.DoModal();
  int index = result - kAlertFirstButton;
  return index >= 0 && index < static_cast<int>(labels.size()) ? index : -1;
}

int RecordingAlerts::Alert(const std::string& title, const std::string& text,
                           const std::vector<std::string>& buttons) {
  asked.push_back({title, text, buttons});
  if (answers.empty()) return 0;
  int index = answers.front();
  answers.pop_front();
  return index;
}

}  // namespace tarvex::pane
