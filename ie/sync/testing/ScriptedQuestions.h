// The sync's questions answered by a script, for tests: each question the
// code asks must be the next one expected; it is recorded and answered from
// the queue. A question nobody expected, or of another kind than the next
// one expected, fails the test; so does an expected question that was never
// asked.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ie/sync/SyncQuestions.h"
#include "nodeset/Node.h"

namespace tarvex::testing {

class ScriptedQuestions : public SyncQuestions {
 public:
  // The kinds of question, named after the interface's calls.
  static constexpr const char* kMessage = "ShowMessage";
  static constexpr const char* kUpdateAvailable = "ShowUpdateAvailable";
  static constexpr const char* kSyncFileRestored = "AskSyncFileRestored";
  static constexpr const char* kFolderPlacement = "AskFolderPlacementConflict";
  static constexpr const char* kVersionConflict = "AskVersionConflict";
  static constexpr const char* kYesNo = "AskYesNo";

  struct Question {
    std::string kind;
    std::string text;               // the message; the version of an update offer
    std::vector<int> buttons;       // of a message
    std::vector<std::string> args;  // every text argument, in order
  };
  struct Answer {
    std::string kind;
    int button = kButtonHidden;  // for questions answered with a button
    std::string text;            // for questions answered with a text
  };

  ScriptedQuestions() = default;
  ScriptedQuestions(const ScriptedQuestions&) = delete;
  ScriptedQuestions& operator=(const ScriptedQuestions&) = delete;
  ~ScriptedQuestions() override {
    if (!answers.empty())
      ADD_FAILURE() << answers.size() << " expected question(s) never asked, the first a "
                    << answers.front().kind;
  }

  // The next question must be of `kind`; it gets `button` or `text`.
  ScriptedQuestions& Expect(std::string kind, int button = kButtonHidden, std::string text = {}) {
    answers.push_back({std::move(kind), button, std::move(text)});
    return *this;
  }

  int ShowMessage(const std::string& text, int button1, int button2, int button3) override {
    std::optional<Answer> answer = Next({kMessage, text, {button1, button2, button3}, {text}});
    return answer ? answer->button : button1;
  }

  void ShowUpdateAvailable(const std::string& version, const std::string& downloadUrl,
                           const std::string& infoUrl) override {
    Next({kUpdateAvailable, version, {}, {version, downloadUrl, infoUrl}});
  }

  int AskSyncFileRestored() override {
    std::optional<Answer> answer = Next({kSyncFileRestored, {}, {}, {}});
    return answer ? answer->button : kButtonCancel;
  }

  // Each node is described as "<id> <name>".
  std::string AskFolderPlacementConflict(const Node& item, const Node& firstFolder,
                                         const Node& secondFolder) override {
    std::optional<Answer> answer =
        Next({kFolderPlacement,
              Describe(item),
              {},
              {Describe(item), Describe(firstFolder), Describe(secondFolder)}});
    return answer ? answer->text : std::string();
  }

  std::string AskVersionConflict(const Node& first, const Node& second) override {
    std::optional<Answer> answer =
        Next({kVersionConflict, Describe(first), {}, {Describe(first), Describe(second)}});
    return answer ? answer->text : std::string();
  }

  // Answered with kButtonYes or kButtonNo.
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    std::optional<Answer> answer = Next({kYesNo, text, {kButtonYes, kButtonNo}, {text, caption}});
    return answer && answer->button == kButtonYes;
  }

  static std::string Describe(const Node& node) {
    return node.GetID() + " " + node.GetAttr("name");
  }

  std::deque<Answer> answers;
  std::vector<Question> asked;

 private:
  std::optional<Answer> Next(Question question) {
    asked.push_back(question);
    if (answers.empty() || answers.front().kind != question.kind) {
      ADD_FAILURE() << "Unexpected question " << question.kind << ": " << question.text
                    << (answers.empty() ? std::string(" (none expected)")
                                        : " (expected a " + answers.front().kind + ")");
      return std::nullopt;
    }
    Answer answer = std::move(answers.front());
    answers.pop_front();
    return answer;
  }
};

}  // namespace tarvex::testing
