// The sync profiles and the change of profile.
//
// "Tarvex Sync Profiles" shows the profile this computer syncs and offers
// "Change", which lists the account's profiles in "Change Tarvex Sync
// Profile". The change asks for the account's password again, so that
// nobody who merely finds the computer unlocked brings another profile's
// Favorites onto it. A switch first synchronizes the old profile, so that
// no change made here since the last sync is lost, and only once that sync
// committed does it store the new profile and download its Favorites.
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/shell/dialogs/ProfileList.h"
#include "ie/sync/Account.h"
#include "platform/Win32Error.h"
#include "platform/win/Dialog.h"
#include "platform/win/NamedMutex.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr int kStatic = 0xFFFF;  // labels nobody addresses

// "Tarvex Sync Profiles".
constexpr int kSyncProfilesTemplate = 271;
constexpr int kBack = 3;
constexpr int kManageProfiles = 237;
constexpr int kChangeProfile = 239;
constexpr int kCurrentProfile = 240;
constexpr int kLearnMore = 1013;

// "Change Tarvex Sync Profile".
constexpr int kChangeProfileTemplate = 112;
constexpr int kProfileList = 262;
constexpr int kPassword = 264;

// The pages of the service's web site, below the setting `webserver`.
constexpr const char* kAccountPage = "/account";
constexpr const char* kProfilesPage = "/help#profiles";

constexpr const char* kProfilesUnavailable =
    "We're sorry, but we're currently unable to access profiles on the Tarvex server. Please try "
    "again later.";
constexpr const char* kNoProfilesYet =
    "You haven't set up any sync profiles yet. Would you like to go to your account page on the "
    "Tarvex web site to set one up now?";
constexpr const char* kPasswordMismatch =
    "Sorry, but the password does not match your current password.";
constexpr const char* kPasswordUnchecked =
    "We're sorry, but Tarvex could not check your password with the Tarvex server. Please try "
    "again later.";
constexpr const char* kProfileChanged =
    "Your profile has been changed! Tarvex is now going to sync with the server to add and remove "
    "the appropriate Favorites for this profile.";
constexpr const char* kProfileNotChanged =
    "Your profile was not changed: Tarvex could not synchronize your Favorites first. Please try "
    "again later.";

DialogTemplate SyncProfilesTemplate() {
  DialogTemplate t{kSyncProfilesTemplate, "Tarvex Sync Profiles", 260, 158, "MS Shell Dlg 8", {}};
  t.controls = {
      {kStatic, ControlKind::Static,
       "Use sync profiles to keep sensitive Favorites where they belong. You create and manage "
       "your profiles on your account page of the Tarvex web site; here you choose the profile "
       "this computer syncs, and with it which Favorites are synchronized to and from this "
       "computer.",
       7, 7, 246, 42, 0},
      {kStatic, ControlKind::GroupBox, "Profiles", 7, 54, 246, 74, 0},
      {kManageProfiles, ControlKind::Button, "Create and manage sync profiles", 14, 68, 140, 14,
       0},
      {kStatic, ControlKind::Static, "Profile:", 14, 95, 40, 10, 0},
      {kCurrentProfile, ControlKind::Static, "", 56, 95, 130, 10, 0},
      {kChangeProfile, ControlKind::Button, "Change", 192, 92, 54, 14, 0},
      {kLearnMore, ControlKind::Button, "Learn more about Sync Profiles...", 7, 137, 140, 14, 0},
      {kBack, ControlKind::Button, "Back", 199, 137, 54, 14, 0},
  };
  return t;
}

DialogTemplate ChangeProfileTemplate() {
  DialogTemplate t{kChangeProfileTemplate, "Change Tarvex Sync Profile", 220, 142, "MS Shell Dlg 8",
                   {}};
  t.controls = {
      {kStatic, ControlKind::Static, "Profile:", 7, 9, 50, 10, 0},
      {kProfileList, ControlKind::ListBox, "", 60, 7, 153, 58, 0},
      {kStatic, ControlKind::Static, "Password:", 7, 74, 50, 10, 0},
      {kPassword, ControlKind::Password, "", 60, 72, 153, 12, 0},
      {kStatic, ControlKind::Static,
       "To keep profile data private, you must re-enter your Tarvex account password whenever "
       "changing profiles.",
       7, 92, 206, 20, 0},
      {IDOK, ControlKind::DefaultButton, "OK", 104, 121, 52, 14, 0},
      {IDCANCEL, ControlKind::Button, "Cancel", 161, 121, 52, 14, 0},
  };
  return t;
}

// A page of the service's web site; the setting names a host (the one
// derived from the server root has no scheme) or an address.
void OpenPage(const SchedulerEnvironment& env, const char* path) {
  OpenUrlInBrowser(WebSitePage(env.settings, path), env.opener, env.prompt, env.logger);
}

// The account's profiles, and the password again. Its result is 1536 once
// the user chose another profile (chosen()) and gave the right password,
// else 1532.
class ChangeProfileDialog : public Dialog {
 public:
  ChangeProfileDialog(const SchedulerEnvironment& env, std::vector<Profile> profiles)
      : Dialog(ChangeProfileTemplate()), env_(env), profiles_(std::move(profiles)) {
    // A dialog ended by the program's end (no button) changes nothing.
    result_ = kActionNothingChanged;
  }

  const Profile& chosen() const { return chosen_; }

 protected:
  bool OnInitDialog() override {
    current_ = env_.settings.GetValue("profile", kNoProfile);
    // The entries stand in the list's order, so an entry's index is its
    // profile's. The current profile is found by its whole name: a list's
    // own search would take "work" for "Work", or "Al" for "Alpha".
    int selected = 0;  // "<none>" when the current profile is not offered
    for (size_t i = 0; i < profiles_.size(); ++i) {
      ListAdd(kProfileList, profiles_[i].name);
      if (profiles_[i].name == current_) selected = static_cast<int>(i);
    }
    ListSetCurSel(kProfileList, selected);
    return true;
  }

  void OnCommand(int id, int code) override {
    if (code != BN_CLICKED) return;
    if (id == IDOK) {
      OnOK();
    } else if (id == IDCANCEL) {
      EndDialog(result_);
    }
  }

 private:
  void OnOK() {
    const bool matches = PasswordMatches();
    // The dialog keeps no password; after a mismatch it is typed anew.
    SetItemText(kPassword, "");
    if (!matches) return;
    const int index = ListGetCurSel(kProfileList);
    if (index >= 0 && index < static_cast<int>(profiles_.size()) &&
        profiles_[static_cast<size_t>(index)].name != current_) {
      chosen_ = profiles_[static_cast<size_t>(index)];
      current_ = chosen_.name;
      result_ = kActionProfileChanged;
    }
    EndDialog(result_);
  }

  // Whether the password typed is the account's; tells the user when not.
  bool PasswordMatches() {
    if (!env_.account) {
      env_.logger.Error("No account to check the password of a change of profile against");
      env_.prompt.Ask(kPasswordMismatch, kButtonOK);
      return false;
    }
    try {
      if (env_.account->CheckPassword(GetItemText(kPassword))) return true;
      env_.prompt.Ask(kPasswordMismatch, kButtonOK);
      return false;
    } catch (const VelkException& e) {
      env_.logger.Error(Format("Could not check the password with the server: %s", e.ToString()));
    } catch (const std::exception& e) {
      env_.logger.Error(Format("Could not check the password with the server: %s", e.what()));
    }
    env_.prompt.Ask(kPasswordUnchecked, kButtonOK);
    return false;
  }

  const SchedulerEnvironment& env_;
  std::vector<Profile> profiles_;
  std::string current_;
  Profile chosen_;
};

// The current profile, the way to the account page and to the change of
// profile. Its result is 1533 (back to the settings) for Back and Enter,
// else 1525; a profile chosen in the change dialog is switchTo().
class SyncProfilesDialog : public Dialog {
 public:
  explicit SyncProfilesDialog(SyncScheduler& scheduler)
      : Dialog(SyncProfilesTemplate()), scheduler_(scheduler), env_(scheduler.env()) {
    result_ = kActionNone;
  }

  const std::optional<Profile>& switchTo() const { return switchTo_; }

 protected:
  bool OnInitDialog() override {
    SetItemText(kCurrentProfile, env_.settings.GetValue("profile", kNoProfile));
    return true;
  }

  void OnCommand(int id, int code) override {
    if (code != BN_CLICKED) return;
    switch (id) {
      case IDOK:
      case kBack:
        EndDialog(kActionShowSettingsAgain);
        break;
      case IDCANCEL:
        EndDialog(kActionNone);
        break;
      case kManageProfiles:
        EndDialog(result_);
        OpenPage(env_, kAccountPage);
        break;
      case kLearnMore:
        OpenPage(env_, kProfilesPage);
        break;
      case kChangeProfile:
        Change();
        break;
      default:
        break;
    }
  }

 private:
  void Change() {
    if (!SyncIsFree()) return;
    std::vector<Profile> profiles;
    try {
      profiles = ProfileList(env_.makeSync(true)->GetProfileNames());
    } catch (const VelkException& e) {
      env_.logger.Error(Format("TarvexException while reading the profiles: %s", e.ToString()));
      env_.prompt.Ask(kProfilesUnavailable, kButtonOK);
      return;
    } catch (const std::exception& e) {
      env_.logger.Error(Format("Error while reading the profiles: %s", e.what()));
      env_.prompt.Ask(kProfilesUnavailable, kButtonOK);
      return;
    }
    if (!HasProfiles(profiles)) {
      if (env_.prompt.Ask(kNoProfilesYet, kButtonNo, kButtonYes) == kButtonYes) {
        EndDialog(result_);
        OpenPage(env_, kAccountPage);
      }
      return;
    }
    ChangeProfileDialog change(env_, std::move(profiles));
    if (change.DoModal() != kActionProfileChanged) return;
    switchTo_ = change.chosen();
    EndDialog(result_);
  }

  // Whether no action runs: none in this process (whose loop may have
  // brought this click in the middle of one, with the sync mutex, which
  // its owner may take again, held by this very thread), and none holding
  // the sync mutex elsewhere.
  bool SyncIsFree() {
    if (scheduler_.ActionRunning()) return false;
    std::shared_ptr<NamedMutex> mutex;
    if (uint32_t rc = NamedMutex::Open(kSyncMutexName, &mutex, env_.runtimeDir)) {
      env_.logger.Error(
          Format("Error while getting sync handle: %s", win32::FormatMessage(rc)));
      return false;
    }
    const uint32_t got = mutex->Wait(0);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return false;
    mutex->Release();
    return true;
  }

  SyncScheduler& scheduler_;
  const SchedulerEnvironment& env_;
  std::optional<Profile> switchTo_;
};

// Moves this computer to `profile`: the old profile is synchronized first
// (HandleUIMessage runs the sync to its end before it returns), and only
// when that sync committed is the new profile stored, the old one kept for
// this run until the download that follows has ended (the scheduler puts
// it back when the download does not commit).
void SwitchProfile(SyncScheduler& scheduler, const Profile& profile) {
  const SchedulerEnvironment& env = scheduler.env();
  Settings& s = env.settings;
  const int64_t lastsync = s.GetInt64("lastsync", 0);
  scheduler.HandleUIMessage(kActionSyncNow, true);
  const int status = s.GetInt("syncstatus", kStatusIdle);
  if (s.GetInt64("lastsync", 0) <= lastsync || status == kStatusError ||
      status == kStatusCancelled) {
    env.logger.Error(Format("The profile stays %s: the sync before the change to %s did not "
                            "commit",
                            s.GetValue("profile", kNoProfile), profile.name));
    env.prompt.Ask(kProfileNotChanged, kButtonOK);
    return;
  }
  s.SetValue("profileORIG", s.GetValue("profile", kNoProfile), false);
  s.SetInt("viewORIG", s.GetInt("view", 0), false);
  s.SetValue("profile", profile.name, true);
  s.SetInt("view", profile.view, true);
  env.logger.Log(Format("Changed the sync profile to %s (view %d)", profile.name, profile.view));
  env.prompt.Ask(kProfileChanged, kButtonOK);
  scheduler.HandleUIMessage(kActionDownload, true);
}

}  // namespace

int SyncScheduler::ShowSyncProfiles() {
  SyncProfilesDialog dialog(*this);
  const int result = dialog.DoModal();
  if (dialog.switchTo()) SwitchProfile(*this, *dialog.switchTo());
  return result;
}

}  // namespace tarvex
