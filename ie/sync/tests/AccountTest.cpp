#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/sync/Account.h"
#include "ie/sync/testing/FakeTransport.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

constexpr const char* kSignInFailed = "Sign-in failed: username/password did not match.";

using testing::ScriptedCredentials;

class AccountTest : public testing::SyncFixture {
 protected:
  // Builds the account over what the store holds now.
  Account& Start() { return bed_.Start(); }

  std::string Log() { return testing::ReadAll(logger_.path()); }

  Json::Value SentBody(size_t index) {
    Json::Value value;
    std::string error;
    EXPECT_TRUE(ParseJson(transport_.requests.at(index).body, &value, &error));
    return value;
  }

  static std::string Identity(const std::string& user) {
    return md5(std::string("sync.tarvex.com") + user + "/Places").substr(16);
  }

  static constexpr const char* kTarget = "login.tarvex.com";
  static constexpr const char* kEarlierTarget = "login.kestrove.com";
};

TEST_F(AccountTest, StartReadsTheStoredCredential) {
  Account& empty = Start();
  EXPECT_EQ(empty.GetUserName(), "");
  EXPECT_EQ(empty.GetUserHash(), "");
  EXPECT_FALSE(empty.Authenticate());
  EXPECT_TRUE(transport_.requests.empty());

  store_.entries[kTarget] = {"alice", "pw"};
  Account& account = Start();
  EXPECT_EQ(account.GetUserName(), "alice");
  EXPECT_EQ(account.GetUserHash(), Identity("alice"));
  EXPECT_EQ(account.GetUserHash().size(), 16u);
  EXPECT_EQ(account.GetPasswordHash(), md5("pw"));
  EXPECT_EQ(account.GetPasswordBase64(), "cHc=");
  EXPECT_EQ(account.GetUserAtServer(), "alice@tarvex.com");
}

TEST_F(AccountTest, EarlierProductsCredentialMovesOverOnce) {
  struct Case {
    bool writeFails;
    bool movedOver;
  } cases[] = {{false, true}, {true, false}};
  for (const Case& c : cases) {
    store_.entries.clear();
    store_.entries[kEarlierTarget] = {"alice", "pw"};
    store_.failWrites = c.writeFails ? 5 : 0;
    Account& account = Start();
    EXPECT_EQ(account.GetUserName(), "alice");
    EXPECT_EQ(account.GetPasswordHash(), md5("pw"));
    EXPECT_EQ(store_.entries.count(kTarget), c.movedOver ? 1u : 0u);
    // The old one goes only once the new one is written.
    EXPECT_EQ(store_.entries.count(kEarlierTarget), c.movedOver ? 0u : 1u);
  }
}

TEST_F(AccountTest, SignInSendsTheUserAndPasswordHashAndRecordsTheUser) {
  store_.entries[kTarget] = {"alice", "pw"};
  Account& account = Start();
  transport_.Reply(R"({"status":0,"auth":"T1"})");
  EXPECT_TRUE(account.SignIn(false));
  ASSERT_EQ(transport_.requests.size(), 1u);
  EXPECT_EQ(transport_.requests[0].url, "https://login.tarvex.com/login/signtoken");
  Json::Value body = SentBody(0);
  EXPECT_EQ(body["username"].asString(), "alice");
  EXPECT_EQ(body["passwordhash"].asString(), md5("pw"));
  EXPECT_EQ(account.GetToken(), "T1");
  EXPECT_EQ(settings_.GetValue("userhash", ""), Identity("alice"));
  EXPECT_TRUE(credentials_.calls.empty());
  EXPECT_TRUE(prompt_.asked.empty());
  EXPECT_EQ(Log().find(md5("pw")), std::string::npos);
}

TEST_F(AccountTest, OnlyAnotherUserStartsTheSyncOver) {
  store_.entries[kTarget] = {"alice", "pw"};
  struct Case {
    std::optional<std::string> recorded;
    bool reset;
  } cases[] = {{std::nullopt, false}, {Identity("alice"), false}, {Identity("bob"), true}};
  for (const Case& c : cases) {
    if (c.recorded)
      settings_.SetValue("userhash", *c.recorded, false);
    else
      settings_.DeleteValue("userhash");
    settings_.SetValue("lastsync", "1796850000", false);
    settings_.SetValue("revision", "41", false);
    settings_.SetValue("profile", "Work", false);
    settings_.SetValue("view", "7", false);
    transport_.Reply(R"({"status":"0"})");
    EXPECT_TRUE(Start().Authenticate());
    EXPECT_EQ(settings_.HasValue("lastsync"), !c.reset);
    EXPECT_EQ(settings_.HasValue("revision"), !c.reset);
    // The other user's profile and view are no profile of this account.
    EXPECT_EQ(settings_.HasValue("profile"), !c.reset);
    EXPECT_EQ(settings_.HasValue("view"), !c.reset);
    EXPECT_EQ(settings_.GetValue("userhash", ""), Identity("alice"));
  }
}

TEST_F(AccountTest, WrongPasswordAsksAgainAndSaysSoFromTheSecondFailure) {
  store_.entries[kTarget] = {"alice", "old"};
  Account& account = Start();
  transport_.Reply(R"({"status":1,"message":"bad credentials"})");
  transport_.Reply(R"({"status":1,"message":"bad credentials"})");
  transport_.Reply(R"({"status":0,"auth":"T"})");
  credentials_.answers = {{0, "alice", "wrong", true}, {0, "alice", "right", true}};

  EXPECT_TRUE(account.SignIn(false));
  ASSERT_EQ(credentials_.calls.size(), 2u);
  for (const ScriptedCredentials::Call& call : credentials_.calls) {
    EXPECT_EQ(call.target, kTarget);
    EXPECT_EQ(call.caption, "Log in to Tarvex");
    EXPECT_EQ(call.message, "Enter your Tarvex username and password");
    EXPECT_EQ(call.user, "alice");
    EXPECT_TRUE(call.alwaysShow);  // a refused credential is never answered again unasked
  }
  ASSERT_EQ(prompt_.asked.size(), 1u);
  EXPECT_EQ(prompt_.asked[0].text, kSignInFailed);
  EXPECT_EQ(prompt_.asked[0].buttons[0], kButtonOK);
  EXPECT_EQ(SentBody(2)["passwordhash"].asString(), md5("right"));
  EXPECT_EQ(store_.entries[kTarget].secret, "right");
  EXPECT_NE(Log().find("Unable to authenticate [1]; user not validated"), std::string::npos);
}

TEST_F(AccountTest, CancelEndsSignIn) {
  struct Case {
    bool stored;
    size_t requests;
    bool alwaysShow;
  } cases[] = {
      {false, 0, false},  // nothing to send, nothing refused
      {true, 1, true},
  };
  for (const Case& c : cases) {
    store_.entries.clear();
    if (c.stored) store_.entries[kTarget] = {"alice", "bad"};
    Account& account = Start();
    transport_.requests.clear();
    credentials_.calls.clear();
    transport_.Reply(R"({"status":1})");
    EXPECT_FALSE(account.SignIn(false));
    EXPECT_EQ(transport_.requests.size(), c.requests);
    ASSERT_EQ(credentials_.calls.size(), 1u);
    EXPECT_EQ(credentials_.calls[0].alwaysShow, c.alwaysShow);
    EXPECT_TRUE(prompt_.asked.empty());
    transport_.replies.clear();
  }
}

TEST_F(AccountTest, SignInWithClearAlwaysAsksAndSaveUntickedStoresNoPassword) {
  store_.entries[kTarget] = {"alice", "pw"};
  Account& account = Start();
  credentials_.answers = {{0, "bob", "pw2", false}};
  transport_.Reply(R"({"status":0})");
  EXPECT_TRUE(account.SignIn(true));
  ASSERT_EQ(credentials_.calls.size(), 1u);
  EXPECT_TRUE(credentials_.calls[0].alwaysShow);
  EXPECT_EQ(credentials_.calls[0].user, "");
  ASSERT_EQ(transport_.requests.size(), 1u);  // the stored credential was never sent
  EXPECT_EQ(SentBody(0)["username"].asString(), "bob");
  EXPECT_EQ(store_.entries[kTarget].user, "bob");
  EXPECT_EQ(store_.entries[kTarget].secret, "");
  EXPECT_NE(Log().find("Logged on as bob"), std::string::npos);

  // The next start knows the user but must ask for the password.
  Account& next = Start();
  EXPECT_EQ(next.GetUserName(), "bob");
  EXPECT_EQ(next.GetPasswordHash(), "");
}

TEST_F(AccountTest, SetCredentials) {
  Account& account = Start();
  std::string tooLong(Account::kMaxPasswordBytes + 1, 'x');
  struct Case {
    std::string password;
    bool save;
    uint32_t writeError;
    bool result;
    std::optional<std::string> stored;  // the secret stored; nullopt: nothing
    const char* logged;
  } cases[] = {
      {"pw", true, 0, true, "pw", "Logged on as alice"},
      {"pw", false, 0, true, "", "Logged on as alice"},
      {"pw", true, 5, false, std::nullopt, "SetCredentials error 5"},
      {std::string(Account::kMaxPasswordBytes, 'x'), true, 0, true,
       std::string(Account::kMaxPasswordBytes, 'x'), "Logged on as alice"},
      {tooLong, true, 0, false, std::nullopt,
       "The password is longer than 4096 bytes; it was not taken"},
  };
  for (const Case& c : cases) {
    store_.entries.clear();
    store_.failWrites = c.writeError;
    EXPECT_EQ(account.SetCredentials("alice", c.password, c.save), c.result);
    auto it = store_.entries.find(kTarget);
    EXPECT_EQ(it != store_.entries.end(), c.stored.has_value());
    if (it != store_.entries.end()) {
      EXPECT_EQ(it->second.secret, *c.stored);
    }
    EXPECT_NE(Log().find(c.logged), std::string::npos) << c.logged;
  }
}

TEST_F(AccountTest, PromptFailures) {
  Account& account = Start();
  credentials_.answers = {{ERROR_CANCELLED, "", "", false}, {5, "", "", false}};
  EXPECT_FALSE(account.PromptForCredentials(false));
  try {
    account.PromptForCredentials(false);
    ADD_FAILURE() << "no exception";
  } catch (const VelkException& e) {
    EXPECT_EQ(e.source(), "windows_auth");
    EXPECT_EQ(e.id(), 5);
    EXPECT_EQ(e.message(), "Windows auth function didn't work");
  }
}

// A sign-in request that fails says nothing about the password: the caller
// gets the failure, the user sees it once and is asked for no password, and
// what the account holds stays for the next attempt.
TEST_F(AccountTest, AFailedSignInRequestIsAFailureNotARefusal) {
  const std::string kNoStatus = "the sign-in reply holds no readable status: ";
  struct Case {
    const char* name;
    long http;  // 0: no reply at all
    std::string body;
    int32_t id;
    std::string reason;  // the message after "Could not sign in: "
  } cases[] = {
      {"garbage", 200, "<html>", -1, "Couldn't parse response body from server: <html>"},
      {"truncated", 200, R"({"status":0,"au)", -1,
       R"(Couldn't parse response body from server: {"status":0,"au)"},
      {"HTTP 500", 500, "oops", 500, "the sign-in server answered with status 500"},
      {"HTTP 503", 503, "", 503, "the sign-in server answered with status 503"},
      {"5xx in the reply", 200, R"({"status":"599"})", 599,
       "the sign-in server answered with status 599"},
      {"no reply", 0, "", -1, "no reply from the sign-in server"},
      {"-1 in the reply", 200, R"({"status":-1})", -1, "no reply from the sign-in server"},
      {"no status", 200, R"({"message":"x"})", -1, kNoStatus + R"({"message":"x"})"},
      {"not an object", 200, "[0]", -1, kNoStatus + "[0]"},
      {"empty status", 200, R"({"status":""})", -1, kNoStatus + R"({"status":""})"},
      {"real status", 200, R"({"status":0.5})", -1, kNoStatus + R"({"status":0.5})"},
      {"boolean status", 200, R"({"status":false})", -1, kNoStatus + R"({"status":false})"},
  };
  for (const Case& c : cases) {
    store_.entries[kTarget] = {"alice", "pw"};
    settings_.DeleteValue("userhash");
    Account& account = Start();
    prompt_.asked.clear();
    credentials_.calls.clear();
    if (c.http == 0)
      transport_.Fail();
    else
      transport_.Reply(c.body, c.http);
    try {
      account.Authenticate();
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const VelkException& e) {
      EXPECT_EQ(e.source(), "network") << c.name;
      EXPECT_EQ(e.id(), c.id) << c.name;
      EXPECT_EQ(e.message(), "Could not sign in: " + c.reason) << c.name;
    }
    ASSERT_EQ(prompt_.asked.size(), 1u) << c.name;
    EXPECT_EQ(prompt_.asked[0].text,
              "An error occurred while attempting to change user.  Check the log file for more "
              "information.");
    EXPECT_NE(Log().find("Unknown error while changing user"), std::string::npos);
    EXPECT_NE(Log().find("Could not sign in: " + c.reason), std::string::npos) << c.name;
    EXPECT_TRUE(credentials_.calls.empty()) << c.name;
    EXPECT_EQ(account.GetUserName(), "alice") << c.name;
    EXPECT_EQ(account.GetPasswordHash(), md5("pw")) << c.name;
    EXPECT_EQ(store_.entries[kTarget].secret, "pw") << c.name;
    EXPECT_FALSE(settings_.HasValue("userhash")) << c.name;
  }

  // After a refusal the user gives a new password; the request carrying it
  // fails: SignIn fails with it, asks no more, and says nothing of a
  // mismatch. The next attempt sends what the user gave.
  Account& account = Start();
  prompt_.asked.clear();
  credentials_.calls.clear();
  credentials_.answers = {{0, "alice", "new", true}, {0, "alice", "newer", true}};
  transport_.Reply(R"({"status":1})");
  transport_.Reply("", 502);
  EXPECT_THROW(account.SignIn(false), VelkException);
  EXPECT_EQ(credentials_.calls.size(), 1u);
  for (const auto& question : prompt_.asked) EXPECT_NE(question.text, kSignInFailed);
  transport_.Reply(R"({"status":0,"auth":"T"})");
  EXPECT_TRUE(account.SignIn(false));
  EXPECT_EQ(SentBody(transport_.requests.size() - 1)["passwordhash"].asString(), md5("new"));
  EXPECT_EQ(credentials_.calls.size(), 1u);
  EXPECT_EQ(store_.entries[kTarget].secret, "new");
}

// Every answer of the service other than "0" (and other than a failure) is
// a refusal: the user is asked again, nothing is thrown.
TEST_F(AccountTest, TheServicesOtherAnswersAreRefusals) {
  store_.entries[kTarget] = {"alice", "pw"};
  Account& account = Start();
  struct Case {
    long http;
    const char* body;
    const char* logged;
  } cases[] = {
      {200, R"({"status":1,"message":"bad credentials"})", "[1]"},
      {200, R"({"status":"302"})", "[302]"},
      {200, R"({"status":403})", "[403]"},
      {200, R"({"status":"00"})", "[00]"},
      {401, "", "[401]"},
  };
  for (const Case& c : cases) {
    transport_.Reply(c.body, c.http);
    EXPECT_FALSE(account.Authenticate()) << c.body;
    EXPECT_NE(
        Log().find(std::string("Unable to authenticate ") + c.logged + "; user not validated"),
        std::string::npos)
        << c.body;
  }
  EXPECT_TRUE(prompt_.asked.empty());
}

// The re-entry of the password that guards a change of profile.
TEST_F(AccountTest, CheckPasswordComparesTheWholeTextWithThePasswordHeld) {
  store_.entries[kTarget] = {"alice", "\xE5\xAF\x86\xE7\xA0\x81"};  // 密码
  Account& account = Start();
  struct Case {
    std::string entry;
    bool matches;
  } cases[] = {
      {"\xE5\xAF\x86\xE7\xA0\x81", true},
      {"\xE5\x8F\xA3\xE4\xBB\xA4", false},  // 口令: the same length, other characters
      {"\xE5\xAF\x86", false},                 // a beginning of it
      {"\xE5\xAF\x86\xE7\xA0\x81x", false},
      {std::string("\xE5\xAF\x86\xE7\xA0\x81\0", 7), false},
      {"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(account.CheckPassword(c.entry), c.matches) << c.entry.size() << " bytes";
  EXPECT_TRUE(transport_.requests.empty());
  EXPECT_TRUE(prompt_.asked.empty());
}

// Without a password held (it was not saved, and the client started again)
// the service checks the entry; one it accepts is held from then on, and
// neither a refusal nor a failure changes what the account holds.
TEST_F(AccountTest, CheckPasswordAsksTheServiceWhenNoPasswordIsHeld) {
  store_.entries[kTarget] = {"alice", ""};
  Account& account = Start();
  EXPECT_FALSE(account.CheckPassword(""));
  EXPECT_TRUE(transport_.requests.empty()) << "an empty entry is refused at once";

  transport_.Reply(R"({"status":1})");
  EXPECT_FALSE(account.CheckPassword("wrong"));
  ASSERT_EQ(transport_.requests.size(), 1u);
  EXPECT_EQ(SentBody(0)["username"].asString(), "alice");
  EXPECT_EQ(SentBody(0)["passwordhash"].asString(), md5("wrong"));
  EXPECT_EQ(account.GetPasswordHash(), "");

  transport_.Fail();
  EXPECT_THROW(account.CheckPassword("right"), VelkException);
  EXPECT_EQ(account.GetPasswordHash(), "");
  EXPECT_TRUE(prompt_.asked.empty()) << "the caller tells the user";

  transport_.Reply(R"({"status":0})");
  EXPECT_TRUE(account.CheckPassword("right"));
  EXPECT_EQ(account.GetPasswordHash(), md5("right"));
  EXPECT_EQ(store_.entries[kTarget].secret, "") << "held for this run, not saved";
  EXPECT_FALSE(account.CheckPassword("wrong"));
  EXPECT_TRUE(account.CheckPassword("right"));
  EXPECT_EQ(transport_.requests.size(), 3u);

  store_.entries.clear();
  EXPECT_FALSE(Start().CheckPassword("right")) << "nobody signed in";
  EXPECT_EQ(transport_.requests.size(), 3u);
}

TEST_F(AccountTest, SignOutForgetsEverything) {
  store_.entries[kTarget] = {"alice", "pw"};
  store_.entries[kEarlierTarget] = {"alice", "older"};
  Account& account = Start();
  account.SetToken("T");
  settings_.SetValue("profile", "Work", true);
  settings_.SetValue("view", "3", true);
  account.SignOut();
  EXPECT_TRUE(store_.entries.empty());
  EXPECT_FALSE(settings_.HasValue("profile"));
  EXPECT_FALSE(settings_.HasValue("view"));
  EXPECT_EQ(account.GetUserName(), "");
  EXPECT_EQ(account.GetToken(), "");
  EXPECT_EQ(account.GetPasswordHash(), "");
  EXPECT_EQ(account.GetPasswordBase64(), "");
  EXPECT_EQ(Start().GetUserName(), "");
}

TEST_F(AccountTest, PasswordBase64HasPaddingAndLinesOf76) {
  struct Case {
    std::string password;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"p", "cA=="},
      {"pw", "cHc="},
      {"pwd", "cHdk"},
      {"\xC3\xA9", "w6k="},
      {std::string(57, 'a'), std::string(76, '\0')},
      {std::string(58, 'a'), std::string()},
  };
  std::string line;
  for (int i = 0; i < 19; ++i) line += "YWFh";
  cases[5].expected = line;
  cases[6].expected = line + "\r\nYQ==";
  for (const Case& c : cases)
    EXPECT_EQ(Account::EncodePassword(c.password), c.expected) << c.password.size();
}

}  // namespace
}  // namespace tarvex
