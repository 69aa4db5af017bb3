// Scripted stand-ins for the user, for tests.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ie/foundation/core/UserInteraction.h"

namespace tarvex::testing {

// Answers questions from a queue (the first button when the queue is empty)
// and records each question.
class ScriptedPrompt : public UserPrompt {
 public:
  struct Question {
    std::string text;
    int buttons[3];
    std::string checkboxText;
    bool checkedShown;
  };
  struct Answer {
    int button;
    std::optional<bool> setChecked;  // the user's click on the check box
  };

  void Script(int button, std::optional<bool> setChecked = std::nullopt) {
    answers.push_back({button, setChecked});
  }
  int Ask(const std::string& text, int b1, int b2, int b3, const std::string& checkboxText,
          bool* checked) override {
    asked.push_back({text, {b1, b2, b3}, checkboxText, checked ? *checked : false});
    if (answers.empty()) return b1;
    Answer a = answers.front();
    answers.pop_front();
    if (checked && a.setChecked) *checked = *a.setChecked;
    return a.button;
  }

  std::deque<Answer> answers;
  std::vector<Question> asked;
};

class ScriptedPicker : public FilePicker {
 public:
  std::optional<std::string> PickExisting() override {
    ++calls;
    return pick;
  }
  std::optional<std::string> pick;
  int calls = 0;
};

class RecordingOpener : public UrlOpener {
 public:
  int Open(const std::string& url) override {
    opened.push_back(url);
    return result;
  }
  int result = 42;
  std::vector<std::string> opened;
};

// Installs fakes as the process-wide set for the life of the object.
class ScopedUserInteraction {
 public:
  ScopedUserInteraction(UserPrompt* prompt, FilePicker* picker, UrlOpener* opener)
      : saved_(UserInteraction::Process()) {
    UserInteraction::Process() = UserInteraction{prompt, picker, opener};
  }
  ~ScopedUserInteraction() { UserInteraction::Process() = saved_; }

 private:
  UserInteraction saved_;
};

}  // namespace tarvex::testing
