#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/sync/Account.h"
#include "ie/sync/SynchronousRequest.h"
#include "ie/sync/testing/FakeTransport.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

using testing::ScriptedCredentials;

class RequestTest : public testing::SyncFixture {
 protected:
  RequestTest() {
    settings_.DeleteValue("machineid");
    store_.entries["login.tarvex.com"] = {"alice", "pw"};
    bed_.Start();
  }

  SyncContext& context() { return bed_.context(); }
  Account& account() { return bed_.account(); }

  SynchronousRequest Post(const std::string& url, const Json::Value* arguments = nullptr,
                          bool manual = false, bool skipStatus = false,
                          const Headers* headers = nullptr) {
    return SynchronousRequest("POST", url, manual, arguments, headers, skipStatus, context());
  }

  std::string Log() { return testing::ReadAll(logger_.path()); }

  static Json::Value Parse(const std::string& text) {
    Json::Value value;
    std::string error;
    EXPECT_TRUE(ParseJson(text, &value, &error)) << text;
    return value;
  }

  static std::string Header(const HttpRequest& request, const std::string& name) {
    for (const auto& [key, value] : request.headers)
      if (key == name) return value;
    return "<absent>";
  }
};

TEST_F(RequestTest, UrlGetsTheServerAndTheSchemeTheSettingsGive) {
  transport_.handler = [](const HttpRequest&) { return HttpResult{true, "", 200, "{}"}; };
  struct Case {
    const char* encryption;  // nullptr: not set
    const char* url;
    const char* expected;
  } cases[] = {
      {nullptr, "/sync/bookmarks/status", "https://sync.tarvex.com/sync/bookmarks/status"},
      {"Encrypt All", "cloud.tarvex.com/cloud/tabs/read",
       "https://cloud.tarvex.com/cloud/tabs/read"},
      {"No Encryption", "/sync/bookmarks/status", "http://sync.tarvex.com/sync/bookmarks/status"},
      {"No Encryption", "static.tarvex.com/clients/version/ie.json",
       "http://static.tarvex.com/clients/version/ie.json"},
      {"Login Only", "login.tarvex.com/user/profiles/getnames",
       "https://login.tarvex.com/user/profiles/getnames"},
      {"Login Only", "static.tarvex.com/clients/version/ie.json",
       "https://static.tarvex.com/clients/version/ie.json"},
      {"Login Only", "/sync/bookmarks/status", "http://sync.tarvex.com/sync/bookmarks/status"},
      {"Login Only", "cloud.tarvex.com/cloud/tabs/read", "http://cloud.tarvex.com/cloud/tabs/read"},
      // The sign-in request never goes in clear when the scheme is chosen.
      {"No Encryption", "login.tarvex.com/login/signtoken",
       "https://login.tarvex.com/login/signtoken"},
      {"Login Only", "/login/signtoken", "https://sync.tarvex.com/login/signtoken"},
      {"No Encryption", "login.tarvex.com/login/signtoken?x=1",
       "https://login.tarvex.com/login/signtoken?x=1"},
      {"No Encryption", "login.tarvex.com/login/signtokens",
       "http://login.tarvex.com/login/signtokens"},
      // An explicit scheme is kept.
      {"Encrypt All", "http://127.0.0.1:8080/sync/bookmarks/status",
       "http://127.0.0.1:8080/sync/bookmarks/status"},
      {"Encrypt All", "http://127.0.0.1:8080/login/signtoken",
       "http://127.0.0.1:8080/login/signtoken"},
      {"No Encryption", "https://sync.example.org/x", "https://sync.example.org/x"},
  };
  for (const Case& c : cases) {
    if (c.encryption)
      settings_.SetValue("encryption", c.encryption, false);
    else
      settings_.DeleteValue("encryption");
    SynchronousRequest request = Post(c.url);
    EXPECT_EQ(request.url(), c.expected) << c.url;
    EXPECT_EQ(transport_.requests.back().url, c.expected) << c.url;
  }
  settings_.SetValue("server", "http://127.0.0.1:8080", false);
  EXPECT_EQ(Post("/sync/bookmarks/status").url(), "http://127.0.0.1:8080/sync/bookmarks/status");
}

TEST_F(RequestTest, BodyIsTheStatusRecordWithTheArgumentsOverIt) {
  transport_.handler = [](const HttpRequest&) { return HttpResult{true, "", 200, "{}"}; };
  struct Case {
    bool manual;
    int failures;
    const char* mid;   // nullptr: no setting
    const char* view;  // nullptr: no setting
    const char* arguments;
    const char* expected;
  } cases[] = {
      {false, 0, nullptr, nullptr, nullptr, "{}"},
      {false, 0, nullptr, nullptr, "null", "{}"},
      {true, 0, nullptr, nullptr, nullptr, R"({"manual":true})"},
      {false, 3, nullptr, nullptr, nullptr, R"({"retry":3})"},
      {false, -2, nullptr, nullptr, nullptr, "{}"},
      {false, 0, "k2x9", nullptr, nullptr, R"({"log":{"mid":"k2x9"}})"},
      {false, 0, nullptr, "4", nullptr, R"({"view":4})"},
      {true, 1, "m", "4", R"({"view":"x","baserev":"7"})",
       R"({"baserev":"7","log":{"mid":"m"},"manual":true,"retry":1,"view":"x"})"},
  };
  for (const Case& c : cases) {
    settings_.SetInt("failurecount", c.failures, false);
    if (c.mid)
      settings_.SetValue("machineid", c.mid, false);
    else
      settings_.DeleteValue("machineid");
    if (c.view)
      settings_.SetValue("view", c.view, false);
    else
      settings_.DeleteValue("view");
    std::optional<Json::Value> arguments;
    if (c.arguments) arguments = Parse(c.arguments);
    SynchronousRequest request = Post("/x", arguments ? &*arguments : nullptr, c.manual);
    EXPECT_EQ(transport_.requests.back().body, c.expected) << c.expected;
    EXPECT_EQ(request.body(), c.expected);
    EXPECT_EQ(Header(transport_.requests.back(), "Content-Type"),
              "application/json; charset=utf-8");
  }
}

TEST_F(RequestTest, HeadersGoInOrderAndGetSendsNoBody) {
  transport_.handler = [](const HttpRequest&) { return HttpResult{true, "", 200, "{}"}; };
  settings_.GetUserAgent(true);  // the escaped form asked for first changes nothing
  settings_.SetValue("view", "2", false);
  const std::string agent = PlatformUserAgent() + " Tarvex-IE/1.3.5";
  const std::pair<std::string, std::string> ua{"User-Agent", agent},
      date{"If-Modified-Since", "Fri, 14 Dec 1979 00:00:00 GMT"},
      json{"Content-Type", "application/json; charset=utf-8"};
  Headers extra{{"X-Extra", "1"}, {"X-Other", "2"}};
  struct Case {
    const char* method;
    const char* token;
    const Headers* extra;
    Headers expected;
    const char* body;
  } cases[] = {
      {"POST", "", nullptr, {ua, date, json}, R"({"manual":true,"view":2})"},
      {"POST",
       "tok",
       &extra,
       {ua, date, json, {"Authorization", "tok"}, {"X-Tarvex-Auth", "tok"}, extra[0], extra[1]},
       R"({"manual":true,"view":2})"},
      {"GET", "tok", nullptr, {ua, date, {"Authorization", "tok"}, {"X-Tarvex-Auth", "tok"}}, ""},
      {"GET", "", nullptr, {ua, date}, ""},
  };
  for (const Case& c : cases) {
    account().SetToken(c.token);
    SynchronousRequest request(c.method, "/x", true, nullptr, c.extra, false, context());
    const HttpRequest& sent = transport_.requests.back();
    EXPECT_EQ(sent.method, c.method);
    EXPECT_EQ(sent.headers, c.expected) << c.method << " " << c.token;
    EXPECT_EQ(sent.body, c.body) << c.method;
  }
}

TEST_F(RequestTest, LogNeverShowsPasswordMembers) {
  transport_.Reply(R"({"status":0,"passwordhint":"h1nt"})");
  Json::Value arguments = Parse(
      R"({"username":"alice","password":"hunter2","passwordhash":"5ebe2294ecd0e0f0",
          "profile":{"passwordhint":"h1nt","name":"n"}})");
  Post("login.tarvex.com/x", &arguments);
  EXPECT_NE(transport_.requests[0].body.find("\"password\":\"hunter2\""), std::string::npos);
  EXPECT_NE(transport_.requests[0].body.find("5ebe2294ecd0e0f0"), std::string::npos);
  std::string log = Log();
  EXPECT_NE(log.find("New SyncRequest Initialized [POST]: https://login.tarvex.com/x (cleaned "
                     "body: {\"profile\":{\"name\":\"n\"},\"username\":\"alice\"})"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("hunter2"), std::string::npos);
  EXPECT_EQ(log.find("5ebe2294ecd0e0f0"), std::string::npos);
  EXPECT_EQ(log.find("h1nt"), std::string::npos);
}

// A body of any size costs the log at most its bound, followed by the
// body's whole size; a password member past the bound or deep inside is
// never shown either.
TEST_F(RequestTest, LogShowsABoundedPartOfLongBodies) {
  Json::Value reply = Parse(R"({"status":0})");
  Json::Value arguments(Json::objectValue);
  for (Json::Value* body : {&reply, &arguments}) {
    Json::Value& commands = (*body)["commands"] = Json::Value(Json::arrayValue);
    for (int n = 0; n < 5000; ++n) {
      Json::Value c(Json::objectValue);
      c["action"] = "insert";
      c["nid"] = Format("n%d", n);
      c["args"]["passwordhash"] = "5ebe2294ecd0e0f0";
      commands.append(c);
    }
  }
  const std::string replyText = WriteCompactJson(reply);
  transport_.Reply(replyText);
  Post("sync.tarvex.com/sync/bookmarks/putchanges", &arguments);
  const std::string sent = transport_.requests[0].body;
  for (const std::string& line : testing::SplitLines(Log())) {
    EXPECT_LE(line.size(), kLogBodyBytes + 200) << line.substr(0, 200);
    EXPECT_EQ(line.find("5ebe2294ecd0e0f0"), std::string::npos);
  }
  EXPECT_NE(Log().find(Format("... (%d bytes in all)", static_cast<long long>(sent.size()))),
            std::string::npos);
  EXPECT_NE(Log().find(Format("... (%d bytes in all)", static_cast<long long>(replyText.size()))),
            std::string::npos);
  // A body within the bound is shown whole.
  EXPECT_EQ(LogTextOf(Parse(R"({"a":[1,"x\"y"],"password":"p"})"), 0), R"({"a":[1,"x\"y"]})");
}

TEST_F(RequestTest, StatusHandling) {
  const int64_t now = clock_.Now();
  struct Case {
    const char* name;
    long http;  // 0: no reply at all
    const char* body;
    bool skipStatus;
    const char* reply;  // nullptr: GetResponse throws
    int32_t id = 0;
    const char* message = "";
    int64_t backoffUntil = -1;  // -1: not set
  } cases[] = {
      {"success", 200, R"({"status":0,"toprev":"9"})", false, R"({"status":0,"toprev":"9"})"},
      {"text status, comments", 200, "// served\n{\"status\":\"0\"}", false, R"({"status":"0"})"},
      {"no status", 200, R"({"x":1})", false, R"({"x":1})"},
      {"403 with url", 200, R"({"status":403,"url":"https://www.tarvex.com/upgrade"})", false,
       nullptr, -60, "https://www.tarvex.com/upgrade"},
      {"403 without url", 200, R"({"status":"403"})", false, nullptr, -60,
       "https://www.tarvex.com"},
      {"403 with a page that is not on the web", 200,
       R"({"status":403,"url":"file:///etc/passwd"})", false, nullptr, -60,
       "https://www.tarvex.com"},
      {"503", 200, R"({"status":503,"backoff_delay":60})", false, nullptr, -61,
       "Server 503: wants us to back off for 60 seconds", now + 60},
      {"503 negative delay", 200, R"({"status":503,"backoff_delay":-5})", false, nullptr, -61,
       "Server 503: wants us to back off for 0 seconds", now},
      {"503 huge delay", 200, R"({"status":503,"backoff_delay":1000000000000})", false, nullptr,
       -61, "Server 503: wants us to back off for 604800 seconds", now + 604800},
      {"503 delay as text", 200, R"({"status":503,"backoff_delay":"90"})", false, nullptr, -61,
       "Server 503: wants us to back off for 90 seconds", now + 90},
      {"503 unreadable delay", 200, R"({"status":503,"backoff_delay":{}})", false, nullptr, -61,
       "Server 503 and exception during backoff delay"},
      {"444", 200, R"({"status":444})", false, nullptr, -62,
       "Server 444; servers are missing data for current user."},
      {"unparseable body", 200, "<html>", false, nullptr, -10,
       "Couldn't parse response body from server: <html>"},
      {"real status", 200, R"({"status":0.5})", false, nullptr, -10,
       "Couldn't parse response status"},
      {"array status", 200, R"({"status":[0]})", false, nullptr, -10,
       "Couldn't parse response status"},
      {"HTTP 500", 500, "oops", false, R"({"status":500})"},
      {"HTTP 404", 404, "", false, R"({"status":404})"},
      {"HTTP 417", 417, "", false, R"({"status":417})"},
      {"status 417 in the body", 200, R"({"status":417})", false, R"({"status":417})"},
      {"no reply", 0, "", false, R"({"status":-1})"},
      {"status not examined", 200, R"({"status":403})", true, R"({"status":403})"},
  };
  for (const Case& c : cases) {
    settings_.DeleteValue("backoffuntil");
    if (c.http == 0)
      transport_.Fail();
    else
      transport_.Reply(c.body, c.http);
    SynchronousRequest request = Post("/x", nullptr, false, c.skipStatus);
    if (c.reply) {
      EXPECT_EQ(WriteCompactJson(request.GetResponse()), c.reply) << c.name;
    } else {
      try {
        request.GetResponse();
        ADD_FAILURE() << c.name << ": no exception";
      } catch (const VelkException& e) {
        EXPECT_EQ(e.source(), "network") << c.name;
        EXPECT_EQ(e.id(), c.id) << c.name;
        EXPECT_EQ(e.message(), c.message) << c.name;
      }
    }
    EXPECT_EQ(settings_.GetInt64("backoffuntil", -1), c.backoffUntil) << c.name;
  }
  EXPECT_EQ(transport_.requests.size(), std::size(cases));
}

TEST_F(RequestTest, AuthInAReplyBecomesTheTokenUnlessItHoldsAControlCharacter) {
  transport_.Reply(R"({"status":0,"auth":"T2","x":1})");
  EXPECT_EQ(WriteCompactJson(Post("/a").GetResponse()), R"({"status":0,"x":1})");
  EXPECT_EQ(account().GetToken(), "T2");

  transport_.Reply(R"({"status":0,"auth":"T3\r\nX-Evil: 1"})");
  EXPECT_EQ(WriteCompactJson(Post("/b").GetResponse()), R"({"status":0})");
  EXPECT_EQ(account().GetToken(), "T2");
  EXPECT_EQ(Header(transport_.requests[1], "Authorization"), "T2");

  transport_.Reply("{}");
  Post("/c");
  EXPECT_EQ(Header(transport_.requests[2], "X-Tarvex-Auth"), "T2");
  std::string log = Log();
  EXPECT_NE(log.find("Refused a token from the server that holds a control character"),
            std::string::npos);
  EXPECT_EQ(log.find("T2"), std::string::npos);
  EXPECT_EQ(log.find("X-Evil"), std::string::npos);
}

TEST_F(RequestTest, A302SignsInOnceAndRepeatsTheRequestOnce) {
  const std::string aliceHash = md5("sync.tarvex.comalice/Places").substr(16);
  struct Case {
    const char* name;
    const char* userhash;              // the identity recorded before; nullptr: none
    std::vector<const char*> replies;  // nullptr: no reply at all
    const char* reply;                 // nullptr: throws
    int32_t id = 0;
    const char* message = nullptr;  // of the throw, when it is a failed sign-in
  } cases[] = {
      {"repeated with the new token",
       nullptr,
       {R"({"status":302})", R"({"status":0,"auth":"N"})", R"({"status":0,"v":1})"},
       R"({"status":0,"v":1})"},
      {"same user as before",
       aliceHash.c_str(),
       {R"({"status":302})", R"({"status":0,"auth":"N"})", R"({"status":0,"v":1})"},
       R"({"status":0,"v":1})"},
      {"a second 302 stays",
       nullptr,
       {R"({"status":302})", R"({"status":0,"auth":"N"})", R"({"status":302})"},
       R"({"status":302})"},
      {"the repeat's failure is adopted",
       nullptr,
       {R"({"status":302})", R"({"status":0,"auth":"N"})", R"({"status":444})"},
       nullptr,
       -62},
      {"the repeat's lost reply is adopted",
       nullptr,
       {R"({"status":302})", R"({"status":0,"auth":"N"})", nullptr},
       R"({"status":-1})"},
      {"sign-in refused, then cancelled",
       nullptr,
       {R"({"status":302})", R"({"status":1})"},
       R"({"status":302})"},
      {"the sign-in request's own 302 is not followed",
       nullptr,
       {R"({"status":302})", R"({"status":302})"},
       R"({"status":302})"},
      {"another user signed in",
       "0123456789abcdef",
       {R"({"status":302})", R"({"status":0,"auth":"N"})"},
       R"({"status":302})"},
      // A sign-in that fails is the request's failure, never the 302 the
      // caller would take for the user's cancel.
      {"no reply to the sign-in",
       nullptr,
       {R"({"status":302})", nullptr},
       nullptr,
       -1,
       "Could not sign in: no reply from the sign-in server"},
      {"garbage in reply to the sign-in",
       nullptr,
       {R"({"status":302})", "<html></html>"},
       nullptr,
       -1,
       "Could not sign in: Couldn't parse response body from server: <html></html>"},
      {"a service error in reply to the sign-in",
       nullptr,
       {R"({"status":302})", R"({"status":503,"backoff_delay":60})"},
       nullptr,
       503,
       "Could not sign in: the sign-in server answered with status 503"},
  };
  for (const Case& c : cases) {
    bed_.Start();
    transport_.requests.clear();
    credentials_.calls.clear();
    settings_.SetValue("lastsync", "5", false);
    if (c.userhash)
      settings_.SetValue("userhash", c.userhash, false);
    else
      settings_.DeleteValue("userhash");
    for (const char* reply : c.replies) {
      if (reply)
        transport_.Reply(reply);
      else
        transport_.Fail();
    }
    Json::Value arguments = Parse(R"({"baserev":"41"})");
    SynchronousRequest request = Post("/sync/bookmarks/getchanges", &arguments);
    if (c.reply) {
      EXPECT_EQ(WriteCompactJson(request.GetResponse()), c.reply) << c.name;
    } else {
      try {
        request.GetResponse();
        ADD_FAILURE() << c.name << ": no exception";
      } catch (const VelkException& e) {
        EXPECT_EQ(e.id(), c.id) << c.name;
        if (c.message) {
          EXPECT_EQ(e.message(), c.message) << c.name;
        }
      }
    }
    if (c.message) {
      EXPECT_TRUE(credentials_.calls.empty()) << c.name << ": the password is not at fault";
      EXPECT_EQ(account().GetUserName(), "alice") << c.name;
      EXPECT_EQ(account().GetPasswordHash(), md5("pw")) << c.name;
    }
    ASSERT_EQ(transport_.requests.size(), c.replies.size()) << c.name;
    EXPECT_EQ(transport_.requests[1].url, "https://login.tarvex.com/login/signtoken") << c.name;
    if (c.replies.size() == 3) {
      EXPECT_EQ(transport_.requests[2].url, transport_.requests[0].url) << c.name;
      EXPECT_EQ(transport_.requests[2].body, transport_.requests[0].body) << c.name;
      EXPECT_EQ(Header(transport_.requests[2], "Authorization"), "N") << c.name;
      EXPECT_EQ(Header(transport_.requests[2], "X-Tarvex-Auth"), "N") << c.name;
    }
    // Only a switch to another user starts the sync over.
    bool switched = c.userhash && c.userhash != aliceHash;
    EXPECT_EQ(settings_.HasValue("lastsync"), !switched) << c.name;
  }
}

}  // namespace
}  // namespace tarvex
