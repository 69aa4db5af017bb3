// The credential dialog: the person's user name, password and choice come
// back on OK; every other way out is a cancel; OK with a field left empty
// keeps the dialog open and says what is missing; with nobody to answer,
// nothing is signed in.
#include "platform/win/CredentialDialog.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/credentials/CredentialStore.h"
#include "platform/testing/Presenters.h"
#include "platform/win/Dialog.h"
#include "platform/win/Presenter.h"

namespace tarvex {
namespace {

TEST(CredentialDialogTest, OKAnswersWhatThePersonEnteredAndEveryOtherWayOutCancels) {
  struct Case {
    const char* name;
    void (*script)(ScriptedPresenter&);
    uint32_t result;
    const char* user;
    const char* password;
    bool save;
  };
  const Case cases[] = {
      {"OK, remembered",
       [](ScriptedPresenter& s) {
         s.Dialog(kCredentialTemplate)
             .Expect(kCredentialMessage, "Enter your Tarvex username and password", true)
             .Expect(kCredentialUser, "ann", true)
             .Type(kCredentialPassword, "s3cret \"quoted\"")
             .Check(kCredentialRemember, true)
             .Press(IDOK);
       },
       0, "ann", "s3cret \"quoted\"", true},
      {"another user, Enter",
       [](ScriptedPresenter& s) {
         s.Dialog(kCredentialTemplate)
             .Type(kCredentialUser, "bob")
             .Type(kCredentialPassword, "pw")
             .Key(DialogKey::Enter);
       },
       0, "bob", "pw", false},
      {"Cancel",
       [](ScriptedPresenter& s) {
         s.Dialog(kCredentialTemplate).Type(kCredentialPassword, "pw").Press(IDCANCEL);
       },
       ERROR_CANCELLED, "", "", false},
      {"Escape",
       [](ScriptedPresenter& s) { s.Dialog(kCredentialTemplate).Key(DialogKey::Escape); },
       ERROR_CANCELLED, "", "", false},
      {"the close box",
       [](ScriptedPresenter& s) { s.Dialog(kCredentialTemplate).Close(); }, ERROR_CANCELLED, "",
       "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedScript script;
    c.script(*script);
    DialogCredentialPrompt prompt;
    const CredentialAnswer answer = prompt.Ask("http://auth.example", "Log in to Tarvex",
                                               "Enter your Tarvex username and password", "ann",
                                               false);
    EXPECT_EQ(script->Failures(), std::vector<std::string>{});
    EXPECT_EQ(answer.result, c.result);
    EXPECT_EQ(answer.user, c.user);
    EXPECT_EQ(answer.password, c.password);
    EXPECT_EQ(answer.save, c.save);
    EXPECT_EQ(script->Latest(kCredentialTemplate)->title, "Log in to Tarvex");
    EXPECT_EQ(script->Latest(kCredentialTemplate)->Find(kCredentialPassword)->text, "")
        << "the password does not stay in the dialog";
  }
}

TEST(CredentialDialogTest, AnEmptyFieldKeepsTheDialogOpenAndSaysWhatIsMissing) {
  testing::ScopedScript script;
  // The empty user name, then the empty password, each refused; the person
  // then cancels.
  script->Dialog(kCredentialTemplate)
      .Type(kCredentialUser, "")
      .Type(kCredentialPassword, "pw")
      .Press(IDOK)
      .Type(kCredentialUser, "ann")
      .Type(kCredentialPassword, "")
      .Press(IDOK)
      .Press(IDCANCEL);
  DialogCredentialPrompt prompt;
  const CredentialAnswer answer = prompt.Ask("t", "", "", "", false);
  EXPECT_EQ(answer.result, ERROR_CANCELLED);
  const auto seen = script->Latest(kCredentialTemplate);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->title, "Enter your credentials");
  EXPECT_TRUE(seen->Find(kCredentialProblem)->visible);
  EXPECT_EQ(seen->Find(kCredentialProblem)->text, "Enter your password.");
}

TEST(CredentialDialogTest, NobodyToAnswerSignsNobodyIn) {
  auto saved = SetPresenter(std::make_shared<NullPresenter>());
  DialogCredentialPrompt prompt;
  const CredentialAnswer answer = prompt.Ask("t", "Log in to Tarvex", "", "ann", true);
  SetPresenter(saved);
  EXPECT_EQ(answer.result, ERROR_CANCELLED);
  EXPECT_EQ(answer.password, "");
}

}  // namespace
}  // namespace tarvex
