// What the sync asks the user and tells them: the program's message box and
// the offer of a newer client. The sync flow's other questions join this
// interface as they come, so a sync always has exactly one place to ask.
//
// The shell answers with its own dialogs once it installs them; until then
// PromptSyncQuestions asks through the foundation's message box and opens
// pages through its URL opener. Tests use testing/ScriptedQuestions.h.
#pragma once

#include <string>

#include "ie/foundation/core/UserInteraction.h"

namespace tarvex {

class Logger;
class Node;
class Settings;

class SyncQuestions {
 public:
  virtual ~SyncQuestions() = default;

  // The program's message box: `text` with up to three buttons
  // (kButtonHidden for none). Returns the code of the button pressed.
  virtual int ShowMessage(const std::string& text, int button1, int button2 = kButtonHidden,
                          int button3 = kButtonHidden) = 0;

  // Offers the client `version`: Download opens `downloadUrl`, Learn more
  // opens `infoUrl`, Ignore opens nothing. The question's "Automatically
  // check for updates" box is the opposite of the setting
  // `skipversioncheck`, which is stored from it.
  virtual void ShowUpdateAvailable(const std::string& version, const std::string& downloadUrl,
                                   const std::string& infoUrl) = 0;

  // The server's data was restored or uploaded from another computer: sync
  // normally (kButtonSync), download the server's Favorites over the local
  // ones (kButtonDownload) or stop (kButtonCancel). Returns the button.
  virtual int AskSyncFileRestored() = 0;

  // A conflict both sides made: which side's change to drop. "server" keeps
  // the local change, "local" keeps the server's, "" is a cancel.
  // `item` went to `firstFolder` on one side and to `secondFolder` on the
  // other.
  virtual std::string AskFolderPlacementConflict(const Node& item, const Node& firstFolder,
                                                 const Node& secondFolder) = 0;
  // The two versions of one node.
  virtual std::string AskVersionConflict(const Node& first, const Node& second) = 0;

  // A Yes/No question with a caption; true for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;

  // The process-wide questions: a PromptSyncQuestions over whatever message
  // box and URL opener are installed at the time of asking, until the shell
  // installs its own.
  static SyncQuestions*& Process();
};

class PromptSyncQuestions : public SyncQuestions {
 public:
  PromptSyncQuestions(UserPrompt& prompt, UrlOpener& opener, Settings& settings, Logger& logger)
      : prompt_(prompt), opener_(opener), settings_(settings), logger_(logger) {}

  int ShowMessage(const std::string& text, int button1, int button2, int button3) override;
  // Only http and https pages are opened (OpenUrlInBrowser).
  void ShowUpdateAvailable(const std::string& version, const std::string& downloadUrl,
                           const std::string& infoUrl) override;
  int AskSyncFileRestored() override;
  // The message box cannot offer the two versions: both conflict questions
  // are logged and answered with a cancel until the shell's dialog answers
  // them.
  std::string AskFolderPlacementConflict(const Node& item, const Node& firstFolder,
                                         const Node& secondFolder) override;
  std::string AskVersionConflict(const Node& first, const Node& second) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;

 private:
  UserPrompt& prompt_;
  UrlOpener& opener_;
  Settings& settings_;
  Logger& logger_;
};

}  // namespace tarvex
