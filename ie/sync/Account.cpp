#include "ie/sync/Account.h"

#include <json/json.h>

#include <algorithm>
#include <exception>
#include <optional>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/foundation/core/VelkException.h"
#include "text/Text.h"
#include "ie/sync/SynchronousRequest.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"

namespace tarvex {
namespace {

// Overwrites the text's bytes before dropping them, so that a password does
// not linger in freed memory.
void Wipe(std::string& text) {
  volatile char* bytes = text.data();
  for (size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
  text.clear();
}

std::string IdentityHash(const std::string& user) {
  if (user.empty()) return {};
  return md5(std::string(Account::kIdentityHost) + user + "/Places").substr(16);
}

// A sign-in request that got no answer about the credentials: no reply, a
// service error, or a reply without a readable status. The user's password
// is not at fault, so nobody is asked for another one; the failure is the
// caller's, like that of any other request ("network", -1 for no usable
// reply, else the service's status).
VelkException FailedSignIn(const std::string& reason, int32_t id = -1) {
  return VelkException("network", id, "Could not sign in: " + reason);
}

// The sign-in reply's `status` as text; nothing when the reply holds none,
// an empty one, or one that is neither an integer nor a text.
std::optional<std::string> SignInStatus(const Json::Value& reply) {
  if (!reply.isObject()) return std::nullopt;
  const Json::Value& status = reply["status"];
  const Json::ValueType type = status.type();
  if (type != Json::intValue && type != Json::uintValue && type != Json::stringValue)
    return std::nullopt;
  std::string text = JsonText(status);
  if (text.empty()) return std::nullopt;
  return text;
}

// Whether two texts are the same, in a time that depends on their lengths
// only, so that how long a refusal takes tells nothing of where they
// differ.
bool SameText(std::string_view given, std::string_view held) {
  const size_t length = std::max(given.size(), held.size());
  unsigned difference = given.size() == held.size() ? 0 : 1;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    const unsigned char b = i < held.size() ? static_cast<unsigned char>(held[i]) : 0;
    difference |= static_cast<unsigned>(a ^ b);
  }
  return difference == 0;
}

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

Account::Account(SyncContext& context, CredentialStore& store, CredentialPrompt*& prompt)
    : context_(context), store_(store), prompt_(prompt) {
  ClearCredentials();
  std::string target = Target();
  Credential stored;
  uint32_t rc = store_.Read(target, &stored);
  if (rc == ERROR_NOT_FOUND) {
    // The earlier product kept the credential under its own name: move it
    // over once, so that signing out later removes it for good.
    std::string earlier = EarlierTarget(target);
    if (earlier != target && store_.Read(earlier, &stored) == 0) {
      rc = 0;
      if (uint32_t written = store_.Write(target, stored); written != 0) {
        context_.logger.Error(Format("Unable to move the stored credential from %s to %s [%d]",
                                     earlier, target, written));
      } else {
        store_.Delete(earlier);
        context_.logger.Log(Format("Moved the stored credential from %s to %s", earlier, target));
      }
    }
  } else if (rc != 0) {
    context_.logger.Error(Format("Unable to read the stored credential [%d]", rc));
  }
  if (rc == 0) {
    user_ = stored.user;
    userHash_ = IdentityHash(user_);
    if (stored.secret.size() > kMaxPasswordBytes)
      context_.logger.Error(Format("The stored password is longer than %d bytes; it was not taken",
                                   kMaxPasswordBytes));
    else if (!stored.secret.empty())
      TakePassword(stored.secret);
  }
  Wipe(stored.secret);
}

Account& Account::GetInstance() {
  return SyncContext::Process().account;
}

bool Account::SignIn(bool clear) {
  if (clear) ClearCredentials();
  // After the service refused what it was given, the user is always asked:
  // the prompt must not answer with the same refused credential again.
  bool alwaysShow = clear;
  for (int attempt = 1;; ++attempt) {
    bool tried = !user_.empty();
    if (Authenticate()) return true;
    if (attempt > 1) ShowSignInFailed();
    if (tried) alwaysShow = true;
    if (!PromptForCredentials(alwaysShow)) return false;
  }
}

bool Account::Authenticate() {
  if (user_.empty()) return false;
  std::optional<VelkException> failure;
  try {
    if (!AcceptedByService(passwordHash_)) return false;
    std::string previous = context_.settings.GetValue("userhash", "");
    if (!previous.empty() && previous != userHash_) {
      // Another user signed in on this computer: start over with a first
      // sync, on none of the other user's profiles (a view is a number of
      // that account's).
      context_.settings.DeleteValue("lastsync");
      context_.settings.DeleteValue("revision");
      context_.settings.DeleteValue("profile");
      context_.settings.DeleteValue("view");
    }
    context_.settings.SetValue("userhash", userHash_, true);
    return true;
  } catch (const VelkException& e) {
    failure = e;
  } catch (const std::exception& e) {
    failure = VelkException("internal", kErrGeneral, Format("Could not sign in: %s", e.what()));
  } catch (...) {
    failure = VelkException("internal", kErrGeneral, "Could not sign in: unknown error");
  }
  context_.logger.Error("Unknown error while changing user");
  context_.logger.Error(failure->message());
  context_.prompt.Ask(
      "An error occurred while attempting to change user.  Check the log file for more "
      "information.",
      kButtonOK);
  throw *failure;
}

bool Account::AcceptedByService(const std::string& passwordHash) {
  Json::Value arguments(Json::objectValue);
  arguments["username"] = user_;
  arguments["passwordhash"] = passwordHash;
  SynchronousRequest request("POST",
                             context_.settings.GetValue("authserver", "") + "/login/signtoken",
                             false, &arguments, nullptr, true, context_);
  Json::Value reply;
  try {
    reply = request.GetResponse();
  } catch (const VelkException& e) {
    throw FailedSignIn(e.message());
  }
  const std::optional<std::string> code = SignInStatus(reply);
  if (!code)
    throw FailedSignIn("the sign-in reply holds no readable status: " + WriteCompactJson(reply));
  if (*code == "-1") throw FailedSignIn("no reply from the sign-in server");
  if (code->size() == 3 && (*code)[0] == '5' && IsDigits(*code))
    throw FailedSignIn("the sign-in server answered with status " + *code,
                       static_cast<int32_t>(LeadingInt(*code)));
  if (*code != "0") {
    context_.logger.Log("Unable to authenticate [" + *code + "]; user not validated");
    return false;
  }
  return true;
}

bool Account::CheckPassword(std::string_view password) {
  if (password.empty() || password.size() > kMaxPasswordBytes || user_.empty()) return false;
  if (!passwordBase64_.empty()) {
    std::string given = EncodePassword(password);
    const bool same = SameText(given, passwordBase64_);
    Wipe(given);
    return same;
  }
  std::string entry(password);
  const bool accepted = AcceptedByService(md5(entry));
  if (accepted) TakePassword(entry);
  Wipe(entry);
  return accepted;
}

bool Account::PromptForCredentials(bool alwaysShow) {
  CredentialPrompt* prompt = prompt_;
  if (!prompt) return false;
  CredentialAnswer answer = prompt->Ask(
      Target(), "Log in to Tarvex", "Enter your Tarvex username and password", user_, alwaysShow);
  if (answer.result == ERROR_CANCELLED) {
    Wipe(answer.password);
    return false;
  }
  if (answer.result != 0) {
    Wipe(answer.password);
    throw VelkException("windows_auth", static_cast<int32_t>(answer.result),
                        "Windows auth function didn't work");
  }
  SetCredentials(answer.user, answer.password, answer.save);
  Wipe(answer.password);
  return true;
}

bool Account::SetCredentials(const std::string& user, const std::string& password, bool save) {
  if (password.size() > kMaxPasswordBytes) {
    context_.logger.Error(
        Format("The password is longer than %d bytes; it was not taken", kMaxPasswordBytes));
    return false;
  }
  user_ = user;
  userHash_ = IdentityHash(user_);
  TakePassword(password);

  Credential credential{user, save ? password : std::string()};
  uint32_t rc = store_.Write(Target(), credential);
  Wipe(credential.secret);
  if (rc != 0) {
    context_.logger.Error(Format("SetCredentials error %d", rc));
    return false;
  }
  context_.logger.Log(Format("Logged on as %s", user_));
  return true;
}

void Account::ClearCredentials() {
  Wipe(passwordBase64_);
  Wipe(passwordHash_);
  user_.clear();
  userHash_.clear();
  Wipe(token_);
}

void Account::SignOut() {
  context_.settings.DeleteValue("profile");
  context_.settings.DeleteValue("view");
  ClearCredentials();
  std::string target = Target();
  std::string earlier = EarlierTarget(target);
  auto remove = [&](const std::string& name) {
    uint32_t rc = store_.Delete(name);
    if (rc != 0 && rc != ERROR_NOT_FOUND)
      context_.logger.Error(Format("Unable to delete the stored credential %s [%d]", name, rc));
  };
  // The earlier product's credential goes too, or the next start would sign
  // the user in again with it.
  remove(target);
  if (earlier != target) remove(earlier);
}

std::string Account::GetUserAtServer() {
  return Format("%s@%s", user_, context_.settings.GetValue("serverroot", "server"));
}

void Account::ShowSignInFailed() {
  context_.prompt.Ask("Sign-in failed: username/password did not match.", kButtonOK);
}

std::string Account::EarlierTarget(const std::string& target) {
  return ReplaceAll(target, "tarvex", "kestrove");
}

std::string Account::EncodePassword(std::string_view password) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  constexpr size_t kLine = 76;
  std::string out;
  out.reserve((password.size() + 2) / 3 * 4 * (kLine + 2) / kLine + 2);
  size_t column = 0;
  auto put = [&](char c) {
    if (column == kLine) {
      out += "\r\n";
      column = 0;
    }
    out += c;
    ++column;
  };
  for (size_t i = 0; i < password.size(); i += 3) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(password[i])) << 16;
    size_t left = password.size() - i;
    if (left > 1) n |= static_cast<uint32_t>(static_cast<unsigned char>(password[i + 1])) << 8;
    if (left > 2) n |= static_cast<unsigned char>(password[i + 2]);
    put(kAlphabet[(n >> 18) & 63]);
    put(kAlphabet[(n >> 12) & 63]);
    put(left > 1 ? kAlphabet[(n >> 6) & 63] : '=');
    put(left > 2 ? kAlphabet[n & 63] : '=');
  }
  return out;
}

std::string Account::Target() {
  return context_.settings.GetValue("authserver", "kvauth");
}

void Account::TakePassword(const std::string& password) {
  Wipe(passwordBase64_);
  passwordBase64_ = EncodePassword(password);
  passwordHash_ = md5(password);
}

}  // namespace tarvex
