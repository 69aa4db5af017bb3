// Sign-in and stored credentials against the loopback sync service, through
// the real HTTP transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "ie/foundation/core/VelkException.h"
#include "ie/sync/ServiceRequests.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Md5.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

constexpr const char* kSignInFailed = "Sign-in failed: username/password did not match.";

class SignInLoopbackTest : public ::testing::Test {
 protected:
  SignInLoopbackTest() {
    service_.AddUser("alice", "secret");
    service_.AddUser("bob", "hunter2");
    for (const char* host : {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
      bed_.settings.SetValue(host, service_.BaseUrl(), true);
  }

  // The paths the service was asked for, in order.
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const auto& request : service_.Requests()) paths.push_back(request.path);
    return paths;
  }

  void Store(const std::string& user, const std::string& password) {
    bed_.store.entries[service_.BaseUrl()] = {user, password};
  }

  size_t SignInFailedShown() {
    size_t n = 0;
    for (const auto& question : bed_.prompt.asked) n += question.text == kSignInFailed;
    return n;
  }

  testing::FakeSyncService service_;
  CurlTransport transport_;
  testing::SyncTestbed bed_{transport_};
};

TEST_F(SignInLoopbackTest, StoredCredentialsSignIn) {
  Store("alice", "secret");
  Account& account = bed_.Start();
  ASSERT_TRUE(account.SignIn(false));
  EXPECT_FALSE(account.GetToken().empty());
  EXPECT_EQ(bed_.settings.GetValue("userhash", ""), account.GetUserHash());
  EXPECT_TRUE(bed_.credentials.calls.empty());
  auto requests = service_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/login/signtoken");
  EXPECT_EQ(requests[0].json["username"].asString(), "alice");
  EXPECT_EQ(requests[0].json["passwordhash"].asString(), md5("secret"));
}

TEST_F(SignInLoopbackTest, WrongPasswordAsksAgainAndSaysSoFromTheSecondFailure) {
  Store("alice", "wrong");
  bed_.credentials.answers = {{0, "alice", "still wrong", true}, {0, "alice", "secret", true}};
  Account& account = bed_.Start();
  ASSERT_TRUE(account.SignIn(false));
  EXPECT_EQ(bed_.credentials.calls.size(), 2u);
  // After a refusal the prompt always shows, so a remembered wrong
  // password cannot be offered again without the user.
  for (const auto& call : bed_.credentials.calls) EXPECT_TRUE(call.alwaysShow);
  EXPECT_EQ(SignInFailedShown(), 1u);
  EXPECT_EQ(bed_.store.entries[service_.BaseUrl()].secret, "secret");
}

TEST_F(SignInLoopbackTest, CancelLeavesTheUserSignedOut) {
  Store("alice", "wrong");
  Account& account = bed_.Start();
  EXPECT_FALSE(account.SignIn(false));
  EXPECT_TRUE(account.GetToken().empty());
  EXPECT_EQ(bed_.credentials.calls.size(), 1u);
}

TEST_F(SignInLoopbackTest, AnotherUserStartsTheSyncAfresh) {
  Store("alice", "secret");
  Account& first = bed_.Start();
  ASSERT_TRUE(first.SignIn(false));
  bed_.settings.SetValue("lastsync", "1796858000", true);
  bed_.settings.SetValue("revision", "17", true);

  Store("bob", "hunter2");
  Account& second = bed_.Start();
  ASSERT_TRUE(second.SignIn(false));
  EXPECT_FALSE(bed_.settings.HasValue("lastsync"));
  EXPECT_FALSE(bed_.settings.HasValue("revision"));
  EXPECT_EQ(bed_.settings.GetValue("userhash", ""), second.GetUserHash());

  // The same user again keeps the sync state.
  bed_.settings.SetValue("revision", "18", true);
  ASSERT_TRUE(bed_.Start().SignIn(false));
  EXPECT_EQ(bed_.settings.GetValue("revision", ""), "18");
}

TEST_F(SignInLoopbackTest, SignOutRemovesEveryStoredCredential) {
  std::string target = service_.BaseUrl();
  bed_.store.entries[target] = {"alice", "secret"};
  bed_.settings.SetValue("profile", "work", true);
  bed_.settings.SetValue("view", "2", true);
  Account& account = bed_.Start();
  ASSERT_TRUE(account.SignIn(false));
  account.SignOut();
  EXPECT_TRUE(bed_.store.entries.empty());
  EXPECT_FALSE(bed_.settings.HasValue("profile"));
  EXPECT_FALSE(bed_.settings.HasValue("view"));
  EXPECT_EQ(account.GetUserName(), "");
  EXPECT_TRUE(account.GetToken().empty());
}

TEST_F(SignInLoopbackTest, RevokedTokenSignsInAgainOnceAndRepeatsTheRequestOnce) {
  Store("alice", "secret");
  Account& account = bed_.Start();
  ASSERT_TRUE(account.SignIn(false));
  std::string firstToken = account.GetToken();
  service_.ClearRequests();
  service_.RevokeAllTokens();

  Json::Value reply = GetServiceStatus(bed_.context(), false);
  EXPECT_EQ(reply["status"].asInt(), 0);
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/sync/bookmarks/status", "/login/signtoken",
                                               "/sync/bookmarks/status"}));
  auto requests = service_.Requests();
  EXPECT_EQ(requests[0].Header("Authorization"), firstToken);
  EXPECT_EQ(requests[2].Header("Authorization"), account.GetToken());
  EXPECT_EQ(requests[2].Header("X-Tarvex-Auth"), account.GetToken());
  EXPECT_NE(account.GetToken(), firstToken);
}

TEST_F(SignInLoopbackTest, ServiceThatKeepsAskingForSignInIsNotAskedForever) {
  Store("alice", "secret");
  Account& account = bed_.Start();
  ASSERT_TRUE(account.SignIn(false));
  service_.ClearRequests();
  for (int i = 0; i < 3; ++i)
    service_.QueueFault("/sync/bookmarks/status",
                        testing::FakeFault::Reply(200, "{\"status\":302}"));
  Json::Value reply = GetServiceStatus(bed_.context(), false);
  EXPECT_EQ(reply["status"].asInt(), 302);
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/sync/bookmarks/status", "/login/signtoken",
                                               "/sync/bookmarks/status"}));
}

// A sync whose token the service revoked on the way signs in again. Only the
// user who declines the credential prompt cancels the sync (102); a refused
// password asks again; a sign-in request that fails fails the sync (101,
// with the failure in `errordetails`), asks nobody for a password, and
// leaves the stored credentials for the next sync, which signs in.
TEST(SignInDuringSyncTest, OnlyTheUsersCancelIsACancel) {
  using testing::FakeFault;
  const FakeFault refused = FakeFault::Reply(200, R"({"status":1,"message":"bad credentials"})");
  const CredentialAnswer wrong{0, "alice", "wrong", false}, right{0, "alice", "secret", true};
  struct Case {
    const char* name;
    std::vector<FakeFault> signIn;         // the first sign-in replies; then normal ones
    std::deque<CredentialAnswer> answers;  // the user at the credential prompt
    int status;                            // `syncstatus`
    size_t prompts;                        // credential prompts shown
    const char* reason;      // `errordetails` after "Could not sign in: "; nullptr: absent
    bool storedKept = true;  // the stored credential is still alice/secret
  } cases[] = {
      {"declined prompt", {refused}, {}, 102, 1, nullptr},
      {"wrong password, then declined", {refused}, {wrong}, 102, 2, nullptr, false},
      {"wrong password, then the right one", {refused}, {wrong, right}, 105, 2, nullptr},
      {"service error",
       {FakeFault::Reply(500, "oops")},
       {},
       101,
       0,
       "the sign-in server answered with status 500"},
      {"service error in the reply",
       {FakeFault::Reply(200, R"({"status":503})")},
       {},
       101,
       0,
       "the sign-in server answered with status 503"},
      {"dropped connection", {FakeFault::Drop()}, {}, 101, 0, "no reply from the sign-in server"},
      {"garbage reply",
       {FakeFault::Reply(200, "<html></html>")},
       {},
       101,
       0,
       "Couldn't parse response body from server: <html></html>"},
      {"truncated reply",
       {FakeFault::Reply(200, R"({"status":0,"auth":"tok)")},
       {},
       101,
       0,
       R"(Couldn't parse response body from server: {"status":0,"auth":"tok)"},
      {"reply without a status",
       {FakeFault::Reply(200, "{}")},
       {},
       101,
       0,
       "the sign-in reply holds no readable status: {}"},
      {"the sign-in after a refusal fails",
       {refused, FakeFault::Drop()},
       {right},
       101,
       1,
       "no reply from the sign-in server"},
      {"success", {}, {}, 105, 0, nullptr},
  };
  // Where the token stops working: at the sync's first request, or between
  // its reading of the server's changes and its put of the local ones.
  for (const char* revokedAt : {"/sync/bookmarks/getchanges", "/sync/bookmarks/putchanges"}) {
    for (const Case& c : cases) {
      const std::string name = std::string(c.name) + " at " + revokedAt;
      testing::FakeSyncService service;
      service.AddUser("alice", "secret");
      testing::SyncClient a(service, "alice", "secret", "ma");
      a.Edit([](NodeSet& s) { testing::Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/"); });
      service.SetReset("alice", true);
      a.Sync();
      ASSERT_EQ(a.SyncStatus(), 103) << name;
      a.Edit([](NodeSet& s) { testing::Add(s, "late", "ROOT", "Late", "http://late.example/"); });
      const std::string before = a.bed.settings.GetValue("revision", "");

      for (const FakeFault& fault : c.signIn) service.QueueFault("/login/signtoken", fault);
      a.bed.credentials.answers = c.answers;
      if (std::string(revokedAt) == "/sync/bookmarks/getchanges")
        service.RevokeAllTokens();
      else
        service.RevokeAfterRequests(1);
      service.ClearRequests();
      bool threw = false;
      std::string thrown;
      try {
        a.Sync();
      } catch (const VelkException& e) {
        threw = true;
        thrown = e.ToString();
        EXPECT_EQ(c.reason ? "Could not sign in: " + std::string(c.reason) : "", e.message())
            << name;
      }
      EXPECT_EQ(a.SyncStatus(), c.status) << name;
      EXPECT_EQ(threw, c.status == 101) << name;
      if (c.reason) {
        // A failure inside the put is reported as the sync's failure.
        std::string details = thrown;
        if (std::string(revokedAt) == "/sync/bookmarks/putchanges")
          details = "Unexpected error during synchronization: " + details;
        EXPECT_EQ(a.bed.settings.GetValue("errordetails", "<absent>"), details) << name;
      } else {
        EXPECT_FALSE(a.bed.settings.HasValue("errordetails")) << name;
      }
      EXPECT_EQ(a.bed.credentials.calls.size(), c.prompts) << name;
      std::vector<std::string> paths;
      for (const auto& request : service.Requests()) paths.push_back(request.path);
      auto signIn = std::find(paths.begin(), paths.end(), "/login/signtoken");
      ASSERT_NE(signIn, paths.end()) << name;
      ASSERT_NE(signIn, paths.begin()) << name;
      EXPECT_EQ(*(signIn - 1), revokedAt) << name;
      EXPECT_EQ(std::count(paths.begin(), paths.end(), "/sync/bookmarks/getdiffs"), 0)
          << name << ": no repair";
      if (c.status != 105) {
        EXPECT_EQ(a.bed.settings.GetValue("revision", ""), before) << name;
      }

      if (!c.storedKept) continue;
      EXPECT_EQ(a.bed.store.entries[service.BaseUrl()].user, "alice") << name;
      EXPECT_EQ(a.bed.store.entries[service.BaseUrl()].secret, "secret") << name;
      // The next sync signs in with what is stored and sends the change.
      service.RevokeAllTokens();
      a.bed.credentials.calls.clear();
      a.Sync();
      EXPECT_EQ(a.SyncStatus(), 105) << name;
      EXPECT_TRUE(a.bed.credentials.calls.empty()) << name;
      EXPECT_EQ(service.TopRevision("alice"), a.bed.settings.GetValue("revision", "")) << name;
      std::string served;
      service.WithTree("alice", [&](NodeSet& set) { served = testing::Snapshot(set); });
      EXPECT_NE(served.find("Late"), std::string::npos) << name;
    }
  }
}

}  // namespace
}  // namespace tarvex
