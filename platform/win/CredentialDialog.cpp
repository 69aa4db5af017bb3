#include "platform/win/CredentialDialog.h"

#include <algorithm>
#include <utility>

#include "platform/credentials/CredentialStore.h"
#include "platform/win/Dialog.h"

namespace tarvex {
namespace {

DialogTemplate CredentialTemplate(const std::string& caption, const std::string& message) {
  return DialogTemplate{
      kCredentialTemplate,
      caption.empty() ? std::string("Enter your credentials") : caption,
      230,
      150,
      "MS Shell Dlg 8",
      {
          {kCredentialMessage, ControlKind::Static, message, 10, 8, 210, 20, 0},
          {0, ControlKind::Static, "User name:", 10, 34, 60, 10, 0},
          {kCredentialUser, ControlKind::Edit, "", 75, 32, 145, 14, 0},
          {0, ControlKind::Static, "Password:", 10, 54, 60, 10, 0},
          {kCredentialPassword, ControlKind::Password, "", 75, 52, 145, 14, 0},
          {kCredentialRemember, ControlKind::CheckBox, "Remember my password", 75, 72, 145, 10,
           0},
          {kCredentialProblem, ControlKind::Static, "", 10, 90, 210, 20, kHidden},
          {IDOK, ControlKind::DefaultButton, "OK", 116, 126, 50, 14, 0},
          {IDCANCEL, ControlKind::Button, "Cancel", 170, 126, 50, 14, 0},
      }};
}

void Wipe(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}

class CredentialDialog : public Dialog {
 public:
  CredentialDialog(const std::string& caption, const std::string& message, std::string user)
      : Dialog(CredentialTemplate(caption, message)), user_(std::move(user)) {}
  ~CredentialDialog() override { Wipe(password_); }

  CredentialAnswer Answer() {
    CredentialAnswer answer;
    if (result() != IDOK) {
      answer.result = ERROR_CANCELLED;
      return answer;
    }
    answer.user = user_;
    answer.password = std::move(password_);
    password_.clear();
    answer.save = save_;
    return answer;
  }

 protected:
  bool OnInitDialog() override {
    SetItemText(kCredentialUser, user_);
    return true;
  }
  void OnCommand(int id, int code) override {
    if (id == IDCANCEL) {
      SetItemText(kCredentialPassword, "");
      EndDialog(IDCANCEL);
      return;
    }
    if (id != IDOK) {
      Dialog::OnCommand(id, code);
      return;
    }
    std::string user = GetItemText(kCredentialUser);
    std::string password = GetItemText(kCredentialPassword);
    const char* missing = user.empty() ? "Enter your user name." :
                          password.empty() ? "Enter your password." : nullptr;
    if (missing) {
      Wipe(password);
      SetItemText(kCredentialProblem, missing);
      ShowItem(kCredentialProblem, true);
      return;
    }
    user_ = std::move(user);
    Wipe(password_);
    password_ = std::move(password);
    save_ = IsItemChecked(kCredentialRemember);
    // The password leaves the dialog's controls with the dialog.
    SetItemText(kCredentialPassword, "");
    EndDialog(IDOK);
  }

 private:
  std::string user_;
  std::string password_;
  bool save_ = false;
};

}  // namespace

CredentialAnswer DialogCredentialPrompt::Ask(const std::string& /*target*/,
                                             const std::string& caption,
                                             const std::string& message, const std::string& user,
                                             bool /*alwaysShow*/) {
  // Nothing is remembered here (the client keeps its own store), so the
  // question is always asked.
  CredentialDialog dialog(caption, message, user);
  dialog.DoModal();
  return dialog.Answer();
}

}  // namespace tarvex
