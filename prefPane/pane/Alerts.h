// The pane's alerts: a title, a text and buttons with words of their own
// ("Yes"/"Cancel", "OK"/"Force quit"), answered with the index of the
// button pressed. DialogAlerts shows each as a modal dialog through the
// process's presenter (the web page for a person, a script in tests);
// RecordingAlerts answers from a queue and keeps what it was asked.
//
// The foundation's message box offers only its fixed buttons and no title,
// so the pane builds its alert from the dialog layer directly.
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace tarvex::pane {

// The alert dialog's template and controls, for scripts.
inline constexpr int kAlertTemplate = 880;
inline constexpr int kAlertText = 10;
inline constexpr int kAlertFirstButton = 100;  // button i is kAlertFirstButton + i

class Alerts {
 public:
  virtual ~Alerts() = default;
  // The index of the button pressed, or -1 when the alert was closed
  // without one (Escape, the close box, nobody there to answer).
  virtual int Alert(const std::string& title, const std::string& text,
                    const std::vector<std::string>& buttons) = 0;
};

class DialogAlerts : public Alerts {
 public:
  int Alert(const std::string& title, const std::string& text,
            const std::vector<std::string>& buttons) override;
};

class RecordingAlerts : public Alerts {
 public:
  struct Asked {
    std::string title, text;
    std::vector<std::string> buttons;
  };
  int Alert(const std::string& title, const std::string& text,
            const std::vector<std::string>& buttons) override;
  // The index the next alert answers (0, the first button, when the queue
  // is empty).
  void Answer(int index) { answers.push_back(index); }
  std::deque<int> answers;
  std::vector<Asked> asked;
};

}  // namespace tarvex::pane
