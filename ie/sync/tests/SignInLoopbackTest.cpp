// Sign-in and stored credentials against the loopback sync service, through
// the real HTTP transport.
#include <gtest/gtest.h>

#include "ie/sync/ServiceRequests.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Md5.h"

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

}  // namespace
}  // namespace tarvex
