#include "ie/sync/SyncQuestions.h"

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "text/Text.h"
#include "nodeset/Node.h"

namespace tarvex {
SyncQuestions*& SyncQuestions::Process() {
  static SyncQuestions* questions =
      new PromptSyncQuestions(UserInteraction::CurrentPrompt(), UserInteraction::CurrentOpener(),
                              Settings::GetInstance(), Logger::GetInstance());
  return questions;
}

int PromptSyncQuestions::ShowMessage(const std::string& text, int button1, int button2,
                                     int button3) {
  return prompt_.Ask(text, button1, button2, button3);
}

void PromptSyncQuestions::ShowUpdateAvailable(const std::string& version,
                                              const std::string& downloadUrl,
                                              const std::string& infoUrl) {
  bool checkAutomatically = !settings_.GetBool("skipversioncheck", false);
  int answer = prompt_.Ask(Format("A newer version of Tarvex (version %s) is available!  Would you "
                                  "like to download and install this update now?",
                                  version),
                           kButtonDownload, kButtonLearnMore, kButtonIgnore,
                           "Automatically check for updates", &checkAutomatically);
  settings_.SetBool("skipversioncheck", !checkAutomatically, true);
  if (answer == kButtonDownload)
    OpenUrlInBrowser(downloadUrl, opener_, prompt_, logger_);
  else if (answer == kButtonLearnMore)
    OpenUrlInBrowser(infoUrl, opener_, prompt_, logger_);
}

int PromptSyncQuestions::AskSyncFileRestored() {
  return prompt_.Ask(
      "Tarvex has detected that you have restored or uploaded a sync file from another computer "
      "to the server. You can sync normally (the safest choice) or you can download the server "
      "Favorites, overwriting your local Favorites. Which do you prefer?",
      kButtonSync, kButtonDownload, kButtonCancel);
}

std::string PromptSyncQuestions::AskFolderPlacementConflict(const Node& item, const Node&,
                                                            const Node&) {
  logger_.Error(Format("No dialog to ask in which folder [%s] belongs; sync cancelled",
                       item.GetAttr("name")));
  return {};
}

std::string PromptSyncQuestions::AskVersionConflict(const Node& first, const Node&) {
  logger_.Error(Format("No dialog to ask which version of [%s] to keep; sync cancelled",
                       first.GetAttr("name")));
  return {};
}

bool PromptSyncQuestions::AskYesNo(const std::string& text, const std::string& caption) {
  // "No" is the default button: "Yes" may replace the bookmarks.
  return prompt_.Ask(caption + "\n\n" + text, kButtonNo, kButtonYes) == kButtonYes;
}

}  // namespace tarvex
