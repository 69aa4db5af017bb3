// Ready to sync, the initial sync settings and the conflict questions.
//
// "Ready to Sync" tells the user what the first sync is going to do and
// lets them change its direction ("Sync Settings") and, on an account with
// profiles that never synchronized here, pick the profile to sync. The
// conflict questions are asked by the sync flow in the middle of an action:
// their modal loop dispatches the program's other messages, which the
// scheduler drops while the action runs.
#include "ie/shell/dialogs/ReadyToSync.h"

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/shell/dialogs/ProfileList.h"
#include "nodeset/Node.h"
#include "platform/win/Dialog.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr int kStatic = 0xFFFF;  // labels nobody addresses

constexpr const char* kProfilesUnavailable =
    "We're sorry, but we're currently unable to access profiles on the Tarvex server. Please try "
    "again later.";

// The initial sync's choices: the radio of Sync Settings (0: none) and
// what the ready-to-sync dialog says of each.
struct Choice {
  int action;
  int radio;
  const char* plan;
  const char* warning;
};

const Choice kChoices[] = {
    {kActionMergeLocalFirst, 266, "Tarvex will now merge Favorites, starting with local Favorites.",
     ""},
    {kActionMergeServerFirst, 267,
     "Tarvex will now merge Favorites, starting with server Favorites.", ""},
    {kActionUpload, 268, "Tarvex will now upload Favorites to the server.",
     "Note: This will ERASE Favorites currently on the server."},
    {kActionDownload, 269, "Tarvex will now download Favorites from the server.",
     "Note: This will ERASE Favorites currently on this computer."},
    {kActionRepair, 0, "Tarvex will now repair your Favorites.", ""},
};

const Choice* ChoiceOf(int action) {
  for (const Choice& c : kChoices)
    if (c.action == action) return &c;
  return nullptr;
}

DialogTemplate ReadyTemplate(bool profiles) {
  const int buttons = profiles ? 88 : 70;
  DialogTemplate t{profiles ? kReadyToSyncProfilesTemplate : kReadyToSyncTemplate,
                   "Ready to Sync",
                   250,
                   buttons + 21,
                   "MS Shell Dlg 8",
                   {}};
  t.controls = {
      {kStatic, ControlKind::Static, "You are now ready to synchronize your Favorites.", 7, 7, 236,
       10, 0},
      {kReadyPlan, ControlKind::Static, "", 7, 22, 236, 18, 0},
      {kReadyWarning, ControlKind::Static, "", 7, 44, 236, 18, 0},
  };
  if (profiles) {
    t.controls.push_back({kStatic, ControlKind::Static, "Select Profile:", 7, 68, 60, 10, 0});
    t.controls.push_back({kReadyProfileList, ControlKind::ComboBox, "", 70, 66, 120, 60, 0});
  }
  t.controls.push_back(
      {kReadySynchronize, ControlKind::DefaultButton, "Synchronize", 7, buttons, 60, 14, 0});
  t.controls.push_back({kReadyChangeSettings, ControlKind::Button, "Change sync settings...", 71,
                        buttons, 100, 14, 0});
  t.controls.push_back({IDCANCEL, ControlKind::Button, "Cancel", 183, buttons, 60, 14, 0});
  return t;
}

DialogTemplate SyncSettingsTemplate() {
  DialogTemplate t{kSyncSettingsTemplate, "Sync Settings", 260, 110, "MS Shell Dlg 8", {}};
  t.controls = {
      {kStatic, ControlKind::Static, "How do you want Tarvex to perform initial synchronization?",
       7, 7, 246, 10, 0},
      {266, ControlKind::Radio, "Merge Favorites with the server, starting with this computer.", 14,
       22, 239, 10, kGroupStart},
      {267, ControlKind::Radio, "Merge Favorites with this computer, starting with the server.", 14,
       36, 239, 10, 0},
      {269, ControlKind::Radio, "Keep Favorites on the server; discard those on this computer.", 14,
       50, 239, 10, 0},
      {268, ControlKind::Radio, "Discard Favorites on the server; keep Favorites on this computer.",
       14, 64, 239, 10, 0},
      {IDOK, ControlKind::DefaultButton, "OK", 139, 89, 55, 14, 0},
      {IDCANCEL, ControlKind::Button, "Cancel", 198, 89, 55, 14, 0},
  };
  return t;
}

DialogTemplate ConflictTemplate() {
  DialogTemplate t{kConflictTemplate, "Tarvex: Sync Conflict", 300, 172, "MS Shell Dlg 8", {}};
  t.controls = {
      {kConflictQuestion, ControlKind::Static, "", 7, 7, 286, 20, 0},
      {kConflictItem, ControlKind::Static, "", 7, 31, 286, 10, 0},
      {kStatic, ControlKind::GroupBox, "Local Version", 7, 46, 140, 98, 0},
      {kConflictLocalVersion, ControlKind::Edit, "", 13, 58, 128, 80, kReadOnly | kMultiLine},
      {kStatic, ControlKind::GroupBox, "Server Version", 153, 46, 140, 98, 0},
      {kConflictServerVersion, ControlKind::Edit, "", 159, 58, 128, 80, kReadOnly | kMultiLine},
      {kConflictRetainLocal, ControlKind::Button, "Retain Local Version", 7, 151, 90, 14, 0},
      {kConflictRetainServer, ControlKind::Button, "Retain Server Version", 101, 151, 90, 14, 0},
      {IDCANCEL, ControlKind::Button, "Cancel", 233, 151, 60, 14, 0},
  };
  return t;
}

// Sync Settings: the direction of the initial sync. Its result is the
// action it was shown with until a radio button chooses another; Cancel
// gives "nothing changed".
class SyncSettingsDialog : public Dialog {
 public:
  explicit SyncSettingsDialog(int action) : Dialog(SyncSettingsTemplate()), choice_(action) {
    // A dialog ended by the program's end (no button) is a cancel.
    result_ = kActionNothingChanged;
  }

 protected:
  bool OnInitDialog() override {
    if (const Choice* c = ChoiceOf(choice_); c && c->radio) CheckItem(c->radio, true);
    return true;
  }
  void OnCommand(int id, int code) override {
    if (code != BN_CLICKED) return;
    if (id == IDOK) {
      EndDialog(choice_);
    } else if (id == IDCANCEL) {
      EndDialog(kActionNothingChanged);
    } else {
      for (const Choice& c : kChoices)
        if (c.radio && c.radio == id) choice_ = c.action;
    }
  }

 private:
  int choice_;
};

// Ready to Sync. `profiles` is empty when no profile is offered.
class ReadyToSyncDialog : public Dialog {
 public:
  ReadyToSyncDialog(Settings& settings, int action, bool showWarning,
                    const std::vector<Profile>& profiles)
      : Dialog(ReadyTemplate(!profiles.empty())),
        settings_(settings),
        action_(action),
        showWarning_(showWarning),
        profiles_(profiles) {
    // A dialog ended by the program's end (no button) starts nothing.
    result_ = kActionNone;
  }

  // Whether the user asked for Sync Settings.
  bool changeSettings() const { return changeSettings_; }

 protected:
  bool OnInitDialog() override {
    const Choice* c = ChoiceOf(action_);
    SetItemText(kReadyPlan, c ? c->plan : "");
    SetItemText(kReadyWarning, showWarning_ && c ? c->warning : "");
    if (!profiles_.empty()) {
      const std::string current = settings_.GetValue("profile", kNoProfile);
      for (const Profile& p : profiles_) {
        const int index = ListAdd(kReadyProfileList, p.name);
        if (p.name == current) ListSetCurSel(kReadyProfileList, index);
      }
    }
    return true;
  }
  void OnCommand(int id, int code) override {
    if (code != BN_CLICKED) return;
    switch (id) {
      case kReadySynchronize:
        StoreProfileChoice();
        EndDialog(action_);
        break;
      case kReadyChangeSettings:
        StoreProfileChoice();
        changeSettings_ = true;
        EndDialog(action_);
        break;
      case IDCANCEL:
        EndDialog(kActionNone);
        break;
      default:
        break;
    }
  }

 private:
  // The selected profile, with its view, is the one to sync from now on.
  void StoreProfileChoice() {
    if (profiles_.empty()) return;
    const int index = ListGetCurSel(kReadyProfileList);
    if (index < 0 || index >= static_cast<int>(profiles_.size())) return;
    const Profile& chosen = profiles_[static_cast<size_t>(index)];
    settings_.SetValue("profile", chosen.name, true);
    settings_.SetInt("view", chosen.view, true);
  }

  Settings& settings_;
  int action_;
  bool showWarning_;
  const std::vector<Profile>& profiles_;
  bool changeSettings_ = false;
};

// The conflict question: two versions side by side. The answer names the
// side whose change is dropped: "server" keeps the local version, "local"
// the server's; Cancel (or Escape, or the close box) leaves it empty.
class SyncConflictDialog : public Dialog {
 public:
  SyncConflictDialog(std::string question, std::string item, std::string local, std::string server)
      : Dialog(ConflictTemplate()),
        question_(std::move(question)),
        item_(std::move(item)),
        local_(std::move(local)),
        server_(std::move(server)) {}

  std::string Ask() {
    DoModal();
    return answer_;
  }

 protected:
  bool OnInitDialog() override {
    SetItemText(kConflictQuestion, question_);
    SetItemText(kConflictItem, item_);
    SetItemText(kConflictLocalVersion, local_);
    SetItemText(kConflictServerVersion, server_);
    return true;
  }
  void OnCommand(int id, int code) override {
    if (code != BN_CLICKED) return;
    if (id == kConflictRetainLocal) {
      answer_ = "server";
      EndDialog(id);
    } else if (id == kConflictRetainServer) {
      answer_ = "local";
      EndDialog(id);
    } else if (id == IDCANCEL) {
      EndDialog(id);
    }
  }

 private:
  std::string question_;
  std::string item_;
  std::string local_;
  std::string server_;
  std::string answer_;
};

std::string ItemForm(const Node& node) {
  return Format("Item: %s", node.GetAttr(keys::kName));
}

std::string FolderForm(const Node& node) {
  return Format("Name: %s\r\nDescription: %s", node.GetAttr(keys::kName),
                node.GetAttr("description"));
}

std::string FavoriteForm(const Node& node) {
  return Format("Name: %s\r\nLocation: %s\r\nDescription: %s", node.GetAttr(keys::kName),
                node.GetAttr(keys::kUrl), node.GetAttr("description"));
}

}  // namespace

int SyncScheduler::ShowReadyToSync(int action, bool showWarning) {
  if (action == kActionNothingChanged) return kActionNone;
  Settings& s = env_.settings;
  const int64_t lastsync = s.GetInt64("lastsync", 0);
  const std::string profile = s.GetValue("profile", kNoProfile);
  const int view = s.GetInt("view", 0);

  // Only a first sync may choose its profile.
  std::vector<Profile> profiles;
  if (lastsync == 0) {
    std::optional<std::string> failure;
    try {
      profiles = ProfileList(env_.makeSync(true)->GetProfileNames());
    } catch (const VelkException& e) {
      failure = e.ToString();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (failure) {
      env_.logger.Error(Format("Could not read the account's profiles: %s", *failure));
      env_.prompt.Ask(kProfilesUnavailable, kButtonOK);
      return kActionNone;
    }
    if (!HasProfiles(profiles)) profiles.clear();
  }

  ReadyToSyncDialog dialog(s, action, showWarning, profiles);
  int result = dialog.DoModal();
  if (dialog.changeSettings()) {
    SyncSettingsDialog syncSettings(action);
    // The ready-to-sync dialog comes back with the new plan, and its
    // warning.
    result = ShowReadyToSync(syncSettings.DoModal(), true);
  }
  // A cancelled first sync leaves the profile as it found it.
  if (result == kActionNone && !profiles.empty()) {
    s.SetValue("profile", profile, true);
    s.SetInt("view", view, true);
  }
  return result;
}

std::string SyncScheduler::AskFolderPlacementConflict(const Node& item, const Node& firstFolder,
                                                      const Node& secondFolder) {
  return SyncConflictDialog(
             "Tarvex can't tell which of these two folders this item belongs in. Please select "
             "the folder that should contain this item.",
             ItemForm(item), FolderForm(firstFolder), FolderForm(secondFolder))
      .Ask();
}

std::string SyncScheduler::AskVersionConflict(const Node& first, const Node& second) {
  if (first.GetAttr(keys::kNtype) == keys::kFolder)
    return SyncConflictDialog(
               "Tarvex can't tell which of these versions of this folder should be retained. "
               "Please select the version that should be retained.",
               "", FolderForm(first), FolderForm(second))
        .Ask();
  return SyncConflictDialog(
             "Tarvex can't tell which of these versions of this Favorite should be retained. "
             "Please select the version that should be retained.",
             "", FavoriteForm(first), FavoriteForm(second))
      .Ask();
}

}  // namespace tarvex
