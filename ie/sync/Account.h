// Who the user is: the user name, the hash of the password, the identity
// hash, the token the service hands out, and the password for this run. The
// credentials are kept in the credential store under the setting
// `authserver` (default "kvauth").
#pragma once

#include <string>
#include <string_view>

#include "ie/sync/SyncContext.h"
#include "platform/credentials/CredentialPrompt.h"
#include "platform/credentials/CredentialStore.h"

namespace tarvex {

class Account {
 public:
  // Passwords longer than this are refused.
  static constexpr size_t kMaxPasswordBytes = 4096;

  // Reads the stored credential (moving one of the earlier product over
  // once). `context.account` must be this object.
  Account(SyncContext& context, CredentialStore& store, CredentialPrompt*& prompt);
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  // The process-wide account.
  static Account& GetInstance();

  // Signs in, asking the user until the service accepts or the user cancels
  // (false). `clear` forgets the stored credentials first. A sign-in request
  // that fails throws (see Authenticate) without asking the user.
  bool SignIn(bool clear);
  // True when the service accepted the user name and password hash, false
  // when it refused them (any status but "0" in its answer) or there is no
  // user name. A request that got no answer about them (no reply, a
  // service error 500..599, a reply without a readable status, or one that
  // is no JSON) is shown to the user and thrown as VelkException("network",
  // -1 or the status, "Could not sign in: ..."); the credentials are kept.
  bool Authenticate();
  // Whether `password` is the account's, for a question that has the user
  // prove who they are: compared as UTF-8 text, in constant time, with the
  // password held for this run; when none is held (it was not saved and
  // the client started again), the service is asked, and a password it
  // accepts is held from then on. An empty entry never matches, nor does
  // one without a user name. When the service gives no answer about it,
  // throws like Authenticate but shows nothing; a refused or unanswered
  // entry leaves the credentials as they were.
  bool CheckPassword(std::string_view password);
  bool PromptForCredentials(bool alwaysShow);
  bool SetCredentials(const std::string& user, const std::string& password, bool save);
  void ClearCredentials();
  void SignOut();
  // "user@serverroot".
  std::string GetUserAtServer();
  void ShowSignInFailed();

  const std::string& GetToken() const { return token_; }
  void SetToken(std::string token) { token_ = std::move(token); }
  const std::string& GetUserName() const { return user_; }
  const std::string& GetUserHash() const { return userHash_; }
  const std::string& GetPasswordHash() const { return passwordHash_; }
  // The password's Base64 text (see EncodePassword).
  const std::string& GetPasswordBase64() const { return passwordBase64_; }
  // The stored form of a password: Base64 of its UTF-8 bytes with "="
  // padding, in lines of 76 characters separated by CR LF.
  static std::string EncodePassword(std::string_view password);

  // The host name that enters the identity hash, and the earlier product's
  // credential target for the current one.
  static constexpr const char* kIdentityHost = "sync.tarvex.com";
  static std::string EarlierTarget(const std::string& target);

 private:
  std::string Target();
  // Asks the service whether it accepts the user name with `passwordHash`;
  // throws when the request got no answer about them (see Authenticate).
  bool AcceptedByService(const std::string& passwordHash);
  void TakePassword(const std::string& password);

  SyncContext& context_;
  CredentialStore& store_;
  CredentialPrompt*& prompt_;
  std::string user_;
  std::string userHash_;
  std::string passwordHash_;
  std::string passwordBase64_;
  std::string token_;
};

}  // namespace tarvex
