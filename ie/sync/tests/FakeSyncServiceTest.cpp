// The loopback sync service answers as the protocol says: sign-in, the token
// guard and its knobs, revisions with continuity, 409 on a stale base, trees
// by revision and view, getdiffs that the engine's own repair can apply, the
// fault queue (faults instead of the work and after it), the code a test runs
// before and after a request, and the request log; it serves the client's
// web pages, and another service that reads its state file answers as it
// does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ie/sync/testing/FakeSyncService.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#include <httplib.h>
#pragma GCC diagnostic pop

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Json::Value Parse(std::string_view text) {
  Json::Value value;
  std::string error;
  if (!ParseJson(text, &value, &error)) ADD_FAILURE() << "not JSON: " << text;
  return value;
}

// An insert; a node without an address is a folder, named after its id.
Json::Value Insert(const std::string& nid, const std::string& pnid, const std::string& url = "") {
  Json::Value command;
  command["action"] = "insert";
  command["nid"] = nid;
  Json::Value& args = command["args"];
  if (!pnid.empty()) args["pnid"] = pnid;
  args["ntype"] = url.empty() ? "folder" : "bookmark";
  args["name"] = nid;
  if (!url.empty()) args["url"] = url;
  return command;
}

Json::Value Cmd(const std::string& action, const std::string& nid, Json::Value args) {
  Json::Value command;
  command["action"] = action;
  command["nid"] = nid;
  command["args"] = std::move(args);
  return command;
}

Json::Value List(std::initializer_list<Json::Value> items) {
  Json::Value list(Json::arrayValue);
  for (const Json::Value& item : items) list.append(item);
  return list;
}

// ROOT{a f{b c}}.
Json::Value SmallTree() {
  return List({Insert("ROOT", ""), Insert("a", "ROOT", "http://a/"), Insert("f", "ROOT"),
               Insert("b", "f", "http://b/"), Insert("c", "f", "http://c/")});
}

// The tree by names: a folder (or a node with children) shows them in braces.
std::string Shape(NodeSet& set, std::string_view id = "ROOT") {
  std::string out;
  for (const std::string& child : set.GetNode(id, false, false, true)->RawChildren()) {
    Node* node = set.GetNode(child, false, false, true);
    if (!out.empty()) out += " ";
    out += node->GetAttr("name");
    if (node->IsFolder() || node->GetChildLength() > 0) out += "{" + Shape(set, child) + "}";
  }
  return out;
}

struct Answer {
  bool replied = false;
  int http = 0;
  std::string body;
  Json::Value json;
};

class FakeSyncServiceTest : public ::testing::Test {
 protected:
  FakeSyncServiceTest() : client_(service_.BaseUrl()) {
    client_.set_connection_timeout(2);
    client_.set_read_timeout(2);
    platform_.identities.clear();
    platform_.infoEnabled = false;
    service_.AddUser("ann", "secret");
  }

  Answer Send(const std::string& path, const std::string& body, const std::string& token = "",
              httplib::Headers headers = {}) {
    return SendVia(client_, path, body, token, std::move(headers));
  }
  static Answer SendVia(httplib::Client& client, const std::string& path, const std::string& body,
                        const std::string& token = "", httplib::Headers headers = {}) {
    if (!token.empty()) {
      headers.emplace("Authorization", token);
      headers.emplace("X-Tarvex-Auth", token);
    }
    httplib::Result result =
        client.Post(path.c_str(), headers, body, "application/json; charset=utf-8");
    Answer answer;
    if (!result) return answer;
    answer.replied = true;
    answer.http = result->status;
    answer.body = result->body;
    std::string error;
    if (!ParseJson(answer.body, &answer.json, &error)) answer.json = Json::Value();
    return answer;
  }
  Answer SendJson(const std::string& path, const Json::Value& body, const std::string& token = "") {
    return Send(path, WriteCompactJson(body), token);
  }

  std::string SignIn(const std::string& user = "ann", const std::string& password = "secret") {
    return SignInVia(client_, user, password);
  }
  static std::string SignInVia(httplib::Client& client, const std::string& user,
                               const std::string& password) {
    Json::Value body;
    body["username"] = user;
    body["passwordhash"] = md5(password);
    std::string token =
        JsonText(SendVia(client, "/login/signtoken", WriteCompactJson(body)).json["auth"]);
    EXPECT_FALSE(token.empty());
    return token;
  }

  // {"baserev": base, "commands": commands}.
  static Json::Value Put(Json::Value base, Json::Value commands) {
    Json::Value body;
    body["baserev"] = std::move(base);
    body["commands"] = std::move(commands);
    return body;
  }

  std::string ServiceShape(const std::string& user = "ann") {
    std::string shape;
    service_.WithTree(user, [&](NodeSet& set) { shape = Shape(set); });
    return shape;
  }
  // The tree that a download reply's commands build.
  std::string ShapeOf(const Json::Value& commands) {
    NodeSet set;
    CommandSet(commands).Execute(set);
    return Shape(set);
  }

  TestEnginePlatform platform_;
  ScopedEngine engine_{EngineFlavor::Windows(), platform_};
  FakeSyncService service_;
  httplib::Client client_;
};

TEST_F(FakeSyncServiceTest, SignInMatchesTheLowerHexHashOfThePassword) {
  struct Case {
    std::string user, hash;
    bool signsIn;
  } cases[] = {
      {"ann", md5("secret"), true},
      {"ann", md5("Secret"), false},
      {"bob", md5("secret"), false},
      {"ann", "", false},
      {"ann", "5EBE2294ECD0E0F08EAB7690D2A6EE69", false},  // md5("secret") in upper case
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user + " " + c.hash);
    Json::Value body;
    body["username"] = c.user;
    body["passwordhash"] = c.hash;
    Answer answer = SendJson("/login/signtoken", body);
    EXPECT_EQ(answer.http, 200);
    if (c.signsIn) {
      EXPECT_EQ(answer.json["status"], 0);
      EXPECT_FALSE(JsonText(answer.json["auth"]).empty());
    } else {
      EXPECT_EQ(answer.json, Parse(R"({"status":1,"message":"bad credentials"})"));
    }
  }
  EXPECT_NE(SignIn(), SignIn());
  EXPECT_EQ(Send("/login/signtoken", std::string("username=ann")).json["status"], 400);
}

TEST_F(FakeSyncServiceTest, TheGuardWantsBothHeadersEqualAndALiveToken) {
  std::string token = SignIn();
  struct Case {
    const char* what;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {"no token", {}, 302},
      {"only Authorization", {{"Authorization", token}}, 302},
      {"only X-Tarvex-Auth", {{"X-Tarvex-Auth", token}}, 302},
      {"different values", {{"Authorization", token}, {"X-Tarvex-Auth", token + "x"}}, 302},
      {"unknown token", {{"Authorization", "nope"}, {"X-Tarvex-Auth", "nope"}}, 302},
      {"both", {{"Authorization", token}, {"X-Tarvex-Auth", token}}, 0},
  };
  for (const Case& c : cases) {
    for (const char* path :
         {"/sync/bookmarks/status", "/user/profiles/getnames", "/cloud/tabs/read"}) {
      SCOPED_TRACE(std::string(c.what) + " " + path);
      Answer answer = Send(path, "{}", "", c.headers);
      EXPECT_EQ(answer.http, 200);
      EXPECT_EQ(answer.json["status"], c.status);
    }
  }

  service_.RevokeAllTokens();
  EXPECT_EQ(Send("/sync/bookmarks/status", "{}", token).json["status"], 302);
  token = SignIn();
  EXPECT_EQ(Send("/sync/bookmarks/status", "{}", token).json["status"], 0);

  service_.RevokeAfterRequests(2);
  EXPECT_EQ(Send("/sync/bookmarks/status", "{}", token).json["status"], 0);
  EXPECT_EQ(Send("/sync/bookmarks/status", "{}", token).json["status"], 0);
  EXPECT_EQ(Send("/sync/bookmarks/status", "{}", token).json["status"], 302);

  token = SignIn();
  service_.RotateTokenOnNextReply();
  Answer rotated = Send("/sync/bookmarks/status", "{}", token);
  std::string next = JsonText(rotated.json["auth"]);
  EXPECT_EQ(rotated.json["status"], 0);
  EXPECT_FALSE(next.empty());
  EXPECT_NE(next, token);
  EXPECT_EQ(Send("/sync/bookmarks/status", "{}", token).json["status"], 302);
  Answer after = Send("/sync/bookmarks/status", "{}", next);
  EXPECT_EQ(after.json["status"], 0);
  EXPECT_FALSE(after.json.isMember("auth"));
}

TEST_F(FakeSyncServiceTest, PutChangesNeedsTheTopRevisionAndChangesAllOrNothing) {
  std::string token = SignIn();
  Json::Value upload;
  upload["commands"] = SmallTree();
  EXPECT_EQ(SendJson("/sync/bookmarks/upload", upload, token).json,
            Parse(R"({"status":0,"toprev":"1"})"));

  Json::Value rename = List({Cmd("update", "c", Parse(R"({"name":"c2"})"))});
  EXPECT_EQ(SendJson("/sync/bookmarks/putchanges", Put("0", rename), token).json,
            Parse(R"({"status":409})"));
  EXPECT_EQ(
      SendJson("/sync/bookmarks/putchanges", Put(Json::Value(), rename), token).json["status"],
      409);
  EXPECT_EQ(ServiceShape(), "a f{b c}");

  // The base as a number, as a download reply may carry it.
  EXPECT_EQ(SendJson("/sync/bookmarks/putchanges", Put(1, rename), token).json,
            Parse(R"({"status":0,"toprev":"2"})"));
  EXPECT_EQ(ServiceShape(), "a f{b c2}");

  Json::Value halfBad = List({Insert("d", "f", "http://d/"), Insert("e", "zz", "http://e/")});
  Answer refused = SendJson("/sync/bookmarks/putchanges", Put("2", halfBad), token);
  EXPECT_EQ(refused.json["status"], 400);
  EXPECT_FALSE(JsonText(refused.json["message"]).empty());
  EXPECT_EQ(service_.TopRevision("ann"), "2");
  EXPECT_EQ(ServiceShape(), "a f{b c2}");

  EXPECT_EQ(SendJson("/sync/bookmarks/putchanges", Put("1", rename), token).json["status"], 409);
  EXPECT_EQ(
      SendJson("/sync/bookmarks/putchanges", Put("2", List({Insert("d", "f", "http://d/")})), token)
          .json,
      Parse(R"({"status":0,"toprev":"3"})"));
  EXPECT_EQ(ServiceShape(), "a f{b c2 d}");
}

// Commands that build no tree (none, or only ones without an action, which
// are dropped) are refused by an upload and by a first put alike, and change
// nothing: the top revision still names a tree the history builds.
TEST_F(FakeSyncServiceTest, RequestsThatBuildNoTreeAreRefused) {
  std::string token = SignIn();
  const Json::Value noTree[] = {Json::Value(Json::arrayValue), List({Json::Value()}),
                                Parse(R"([{"nid":"ROOT","args":{"ntype":"folder"}}])")};
  auto topTree = [&] {
    std::string shape = "(none)";
    service_.WithTreeAt("ann", service_.TopRevision("ann"),
                        [&](NodeSet& set) { shape = Shape(set); });
    return shape;
  };
  for (const Json::Value& commands : noTree) {
    SCOPED_TRACE(WriteCompactJson(commands));
    EXPECT_EQ(SendJson("/sync/bookmarks/putchanges", Put("0", commands), token).json["status"],
              400);
    EXPECT_EQ(service_.TopRevision("ann"), "0");
  }
  EXPECT_EQ(SendJson("/sync/bookmarks/putchanges", Put("0", SmallTree()), token).json,
            Parse(R"({"status":0,"toprev":"1"})"));
  for (const Json::Value& commands : noTree) {
    SCOPED_TRACE(WriteCompactJson(commands));
    Json::Value upload;
    upload["commands"] = commands;
    Answer refused = SendJson("/sync/bookmarks/upload", upload, token);
    EXPECT_EQ(refused.json["status"], 400);
    EXPECT_FALSE(JsonText(refused.json["message"]).empty());
    EXPECT_EQ(service_.TopRevision("ann"), "1");
    EXPECT_EQ(ServiceShape(), "a f{b c}");
    EXPECT_EQ(topTree(), "a f{b c}");
  }
}

TEST_F(FakeSyncServiceTest, GetChangesIsContinuousUntilAnotherClientUploads) {
  std::string mine = SignIn(), theirs = SignIn();
  Json::Value upload;
  upload["commands"] = SmallTree();
  SendJson("/sync/bookmarks/upload", upload, mine);
  Json::Value rename = List({Cmd("update", "a", Parse(R"({"name":"a2"})"))});
  Json::Value remove = List({Cmd("delete", "b", Json::Value(Json::objectValue))});
  SendJson("/sync/bookmarks/putchanges", Put("1", rename), theirs);
  SendJson("/sync/bookmarks/putchanges", Put("2", remove), theirs);

  Json::Value base;
  base["baserev"] = "1";
  Json::Value both = rename;
  both.append(remove[0]);
  Answer changes = SendJson("/sync/bookmarks/getchanges", base, mine);
  EXPECT_EQ(changes.json["status"], 0);
  EXPECT_EQ(changes.json["toprev"], "3");
  EXPECT_EQ(changes.json["continuous"], true);
  EXPECT_EQ(changes.json["commands"], both);
  base["baserev"] = "3";
  EXPECT_EQ(SendJson("/sync/bookmarks/getchanges", base, mine).json,
            Parse(R"({"status":0,"toprev":"3","continuous":true,"commands":[]})"));

  SendJson("/sync/bookmarks/upload", upload, theirs);
  EXPECT_EQ(SendJson("/sync/bookmarks/getchanges", base, mine).json,
            Parse(R"({"status":0,"toprev":"4","continuous":false,"substituted":true})"));
  service_.SetGetChangesKnobs({.substituted = false});
  base["baserev"] = "99";
  EXPECT_EQ(SendJson("/sync/bookmarks/getchanges", base, mine).json,
            Parse(R"({"status":0,"toprev":"4","continuous":false,"substituted":false})"));

  service_.SetGetChangesKnobs({.omitTopRev = true, .omitCommands = true});
  base["baserev"] = "4";
  EXPECT_EQ(SendJson("/sync/bookmarks/getchanges", base, mine).json,
            Parse(R"({"status":0,"continuous":true})"));
}

TEST_F(FakeSyncServiceTest, DownloadGivesTheTreeAtARevisionOrOfAView) {
  std::string token = SignIn();
  EXPECT_EQ(SendJson("/sync/bookmarks/download", Json::Value(Json::objectValue), token).json,
            Parse(R"({"status":444})"));
  service_.SeedTree("ann", SmallTree());
  Json::Value rename = List({Cmd("update", "c", Parse(R"({"name":"c2"})"))});
  Json::Value remove = List({Cmd("delete", "b", Json::Value(Json::objectValue))});
  SendJson("/sync/bookmarks/putchanges", Put("1", rename), token);
  SendJson("/sync/bookmarks/putchanges", Put("2", remove), token);

  struct Case {
    std::string body, toprev, shape;
  } cases[] = {
      {R"({"depth":"all","rev":"1"})", "1", "a f{b c}"},
      {R"({"depth":"all","rev":"2"})", "2", "a f{b c2}"},
      {R"({})", "3", "a f{c2}"},
      {R"({"view":0})", "3", "a f{c2}"},
      {R"({"view":2})", "3", "f{b}"},
  };
  service_.SetProfile(
      "ann", "work", 2,
      List({Insert("ROOT", ""), Insert("f", "ROOT"), Insert("b", "f", "http://b/")}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    Answer answer = Send("/sync/bookmarks/download", c.body, token);
    EXPECT_EQ(answer.json["status"], 0);
    EXPECT_EQ(answer.json["toprev"], c.toprev);
    EXPECT_EQ(ShapeOf(answer.json["commands"]), c.shape);
  }
  EXPECT_EQ(Send("/sync/bookmarks/download", std::string(R"({"rev":"9"})"), token).json,
            Parse(R"({"status":444})"));
  EXPECT_EQ(Send("/user/profiles/getnames", "{}", token).json,
            Parse(R"({"status":0,"profiles":{"work":"2"}})"));
}

// The reply lists exactly the nodes that differ, in an order the client's
// own repair can apply: afterwards the client's tree is the service's.
TEST_F(FakeSyncServiceTest, GetDiffsListsTheDifferingNodesChildrenFirst) {
  std::string token = SignIn();
  service_.SeedTree("ann", SmallTree());
  NodeSet local;  // ROOT{a f{c (renamed) x}}: b missing, x extra
  CommandSet(List({Insert("ROOT", ""), Insert("a", "ROOT", "http://a/"), Insert("f", "ROOT"),
                   Insert("c", "f", "http://c/"), Insert("x", "f", "http://x/"),
                   Cmd("update", "c", Parse(R"({"name":"old"})"))}))
      .Execute(local);
  local.HashTree();
  Json::Value body;
  body["attrs"] = Parse(R"(["nid","url","name"])");
  body["nodeset"] = local.ProvideHashes();

  Answer diffs = SendJson("/sync/bookmarks/getdiffs", body, token);
  ASSERT_EQ(diffs.json["status"], 0);
  std::vector<std::string> ids;
  for (const Json::Value& update : diffs.json["updates"]) ids.push_back(JsonText(update["nid"]));
  EXPECT_THAT(ids, ElementsAre("c", "b", "f", "ROOT"));
  EXPECT_EQ(diffs.json["updates"][0], Parse(R"({"nid":"c","children":[],"name":"c",
                                                "url":"http://c/"})"));
  EXPECT_EQ(diffs.json["updates"][2]["children"], Parse(R"(["b","c"])"));

  CommandSet repair, rebase;
  local.BuildRepairCommands(diffs.json, repair, rebase);
  local.Execute(repair);
  EXPECT_EQ(Shape(local), "a f{b c}");
  local.HashTree();
  body["nodeset"] = local.ProvideHashes();
  EXPECT_THAT(SendJson("/sync/bookmarks/getdiffs", body, token).json["updates"], IsEmpty());
}

TEST_F(FakeSyncServiceTest, AQueuedFaultIsServedOnceThenTheNormalAnswer) {
  std::string token = SignIn();
  const std::string path = "/sync/bookmarks/status";
  struct Case {
    const char* what;
    FakeFault fault;
    bool replied;
    int http;
    std::string body;
  } cases[] = {
      {"HTTP 500", FakeFault::Reply(500, "oops"), true, 500, "oops"},
      {"raw body", FakeFault::Reply(200, R"({"status":503,"backoff_delay":60})"), true, 200,
       R"({"status":503,"backoff_delay":60})"},
      {"dropped", FakeFault::Drop(), false, 0, ""},
      {"late normal", FakeFault::Late(60), true, 200, R"({"isreset":"false","status":0})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    service_.QueueFault(path, c.fault);
    auto start = std::chrono::steady_clock::now();
    Answer faulted = Send(path, "{}", token);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.fault.delayMs));
    EXPECT_EQ(faulted.replied, c.replied);
    EXPECT_EQ(faulted.http, c.http);
    EXPECT_EQ(faulted.body, c.body);
    // Other paths are untouched, and the next request to the path is normal.
    EXPECT_EQ(Send("/user/profiles/getnames", "{}", token).json["status"], 0);
    EXPECT_EQ(Send(path, "{}", token).json, Parse(R"({"status":0,"isreset":"false"})"));
  }
  // A fault comes before the guard.
  service_.QueueFault(path, FakeFault::Reply(404, ""));
  EXPECT_EQ(Send(path, "{}").http, 404);
}

TEST_F(FakeSyncServiceTest, AFaultAfterTheAnswerKeepsTheWorkAndLosesTheReply) {
  std::string token = SignIn();
  Json::Value upload;
  upload["commands"] = SmallTree();
  SendJson("/sync/bookmarks/upload", upload, token);
  const std::string path = "/sync/bookmarks/putchanges";
  struct Case {
    const char* what;
    FakeFault fault;
    bool taken;
    bool replied;
    int http;
    std::string body;
  } cases[] = {
      {"dropped after the work", FakeFault::AfterAnswer(FakeFault::Drop()), true, false, 0, ""},
      {"HTTP 500 after the work", FakeFault::AfterAnswer(FakeFault::Reply(500, "oops")), true, true,
       500, "oops"},
      {"dropped instead of the work", FakeFault::Drop(), false, false, 0, ""},
      {"garbage instead of the work", FakeFault::Reply(200, "<html></html>"), false, true, 200,
       "<html></html>"},
  };
  int renames = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string base = service_.TopRevision("ann");
    const std::string name = "c" + std::to_string(++renames);
    Json::Value args;
    args["name"] = name;
    service_.QueueFault(path, c.fault);
    Answer answer = SendJson(path, Put(base, List({Cmd("update", "c", args)})), token);
    EXPECT_EQ(answer.replied, c.replied);
    EXPECT_EQ(answer.http, c.http);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(service_.TopRevision("ann"), c.taken ? std::to_string(std::stoi(base) + 1) : base);
    EXPECT_EQ(ServiceShape().find(name + "}") != std::string::npos, c.taken) << ServiceShape();
  }
}

TEST_F(FakeSyncServiceTest, HooksRunBeforeTheServiceLooksAndAfterItWorked) {
  std::string token = SignIn();
  Json::Value upload;
  upload["commands"] = SmallTree();
  SendJson("/sync/bookmarks/upload", upload, token);
  const std::string path = "/sync/bookmarks/putchanges";
  auto rename = [](const std::string& name) {
    Json::Value args;
    args["name"] = name;
    return List({Cmd("update", "c", args)});
  };

  // What runs before a held request may send requests of its own, which are
  // served first: the held put then names a base that is no longer the top.
  Json::Value nested;
  service_.BeforeNext(path, [&] {
    httplib::Client other(service_.BaseUrl());
    httplib::Headers headers{{"Authorization", token}, {"X-Tarvex-Auth", token}};
    httplib::Result result =
        other.Post(path.c_str(), headers, WriteCompactJson(Put("1", rename("first"))),
                   "application/json; charset=utf-8");
    if (result) nested = Parse(result->body);
  });
  EXPECT_EQ(SendJson(path, Put("1", rename("second")), token).json, Parse(R"({"status":409})"));
  EXPECT_EQ(nested, Parse(R"({"status":0,"toprev":"2"})"));
  EXPECT_EQ(ServiceShape(), "a f{b first}");

  // What runs after a request sees the service's work done, before the reply.
  std::vector<std::string> seen;
  service_.AfterEach(
      [&](const std::string& p) { seen.push_back(p + " at " + service_.TopRevision("ann")); });
  EXPECT_EQ(SendJson(path, Put("2", rename("third")), token).json,
            Parse(R"({"status":0,"toprev":"3"})"));
  service_.QueueFault(path, FakeFault::Drop());
  EXPECT_FALSE(SendJson(path, Put("3", rename("fourth")), token).replied);
  service_.AfterEach({});
  SendJson(path, Put("3", rename("fifth")), token);
  EXPECT_THAT(seen, ElementsAre(path + " at 3", path + " at 3"));
}

TEST_F(FakeSyncServiceTest, TheTreeAtARevisionIsReplayedFromTheHistory) {
  std::string token = SignIn();
  Json::Value upload;
  upload["commands"] = SmallTree();
  SendJson("/sync/bookmarks/upload", upload, token);
  SendJson("/sync/bookmarks/putchanges",
           Put("1", List({Cmd("update", "c", Parse(R"({"name":"c2"})"))})), token);
  auto shapeAt = [&](const std::string& revision) {
    std::string shape = "(not run)";
    if (!service_.WithTreeAt("ann", revision, [&](NodeSet& set) { shape = Shape(set); }))
      return std::string("(none)") + (shape == "(not run)" ? "" : " but ran");
    return shape;
  };
  EXPECT_EQ(shapeAt("1"), "a f{b c}");
  EXPECT_EQ(shapeAt("2"), "a f{b c2}");
  EXPECT_EQ(shapeAt("0"), "(none)");  // the empty tree before the upload
  EXPECT_EQ(shapeAt("9"), "(none)");
}

TEST_F(FakeSyncServiceTest, TheLogKeepsEveryRequestWithHeadersAndBody) {
  std::string token = SignIn();
  service_.ClearRequests();
  Send("/sync/bookmarks/status", R"({"manual":true,"log":{"mid":"m1"}})", token,
       {{"X-Probe", "one"}, {"X-Probe", "two"}});
  Send("/cloud/tabs/write", "not json", token);
  ASSERT_TRUE(client_.Get("/syncerr.php?msg=a%20b&username=ann&client=ie1.3.5"));

  std::vector<LoggedRequest> log = service_.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].method, "POST");
  EXPECT_EQ(log[0].path, "/sync/bookmarks/status");
  EXPECT_EQ(log[0].Header("authorization"), token);
  EXPECT_EQ(log[0].Header("X-Tarvex-Auth"), token);
  EXPECT_EQ(log[0].Header("Content-Type"), "application/json; charset=utf-8");
  std::vector<std::string> probes;
  for (const auto& [name, value] : log[0].headers) {
    if (name == "X-Probe") probes.push_back(value);
    EXPECT_NE(name, "REMOTE_ADDR");
  }
  EXPECT_THAT(probes, ElementsAre("one", "two"));
  EXPECT_EQ(log[0].json, Parse(R"({"manual":true,"log":{"mid":"m1"}})"));

  EXPECT_EQ(log[1].body, "not json");
  EXPECT_TRUE(log[1].json.isNull());
  EXPECT_EQ(log[2].method, "GET");
  EXPECT_EQ(log[2].path, "/syncerr.php");
  EXPECT_EQ(log[2].query, "msg=a%20b&username=ann&client=ie1.3.5");
  EXPECT_THAT(service_.SyncErrorQueries(), ElementsAre("msg=a%20b&username=ann&client=ie1.3.5"));
}

TEST_F(FakeSyncServiceTest, TabsAndTheVersionDocument) {
  std::string token = SignIn();
  for (const char* mid : {"m1", "m2"}) {
    Json::Value write;
    write["mymid"] = mid;
    write["data"]["clientName"] = std::string("pc-") + mid;
    EXPECT_EQ(SendJson("/cloud/tabs/write", write, token).json, Parse(R"({"status":0})"));
  }
  Answer read = Send("/cloud/tabs/read", std::string(R"({"mymid":"m1"})"), token);
  EXPECT_EQ(read.json, Parse(R"({"status":0,"mids":{"m1":{"clientName":"pc-m1"},
                                                      "m2":{"clientName":"pc-m2"}}})"));
  EXPECT_EQ(Send("/cloud/tabs/write", std::string("{}"), token).json["status"], 400);

  service_.SetVersionDocument(Parse(R"({"status":"0","latest-version":"1.4"})"));
  httplib::Result version = client_.Get("/clients/version/ie.json");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->status, 200);
  EXPECT_EQ(Parse(version->body), Parse(R"({"status":"0","latest-version":"1.4"})"));
}

TEST_F(FakeSyncServiceTest, AnotherServiceThatReadsItsStateFileAnswersAsItDoes) {
  service_.AddUser("bob", "hunter2");
  std::string ann = SignIn();
  std::string bob = SignIn("bob", "hunter2");
  service_.SeedTree("ann", SmallTree());
  SendJson("/sync/bookmarks/putchanges",
           Put("1", List({Cmd("update", "c", Parse(R"({"name":"c2"})"))})), ann);
  service_.SetReset("bob", true);
  service_.SetProfile("ann", "work", 2,
                      List({Insert("ROOT", ""), Insert("b", "ROOT", "http://b/")}));
  Send("/cloud/tabs/write", R"({"mymid":"m1","data":{"clientName":"pc-m1"}})", ann);
  TempDir dir;
  ASSERT_EQ(service_.SaveState(dir / "state.json"), "");

  FakeSyncService copy;
  EXPECT_EQ(copy.LoadState(dir / "missing.json"), "");  // a fresh service stays fresh
  EXPECT_THAT(copy.UserNames(), IsEmpty());
  ASSERT_EQ(copy.LoadState(dir / "state.json"), "");
  EXPECT_THAT(copy.UserNames(), ElementsAre("ann", "bob"));
  httplib::Client other(copy.BaseUrl());
  std::string annThere = SignInVia(other, "ann", "secret");
  std::string bobThere = SignInVia(other, "bob", "hunter2");

  struct Case {
    bool bob;
    std::string path, body;
  } cases[] = {
      {false, "/sync/bookmarks/status", "{}"},
      {true, "/sync/bookmarks/status", "{}"},
      {false, "/sync/bookmarks/download", "{}"},
      {false, "/sync/bookmarks/download", R"({"rev":"1"})"},
      {false, "/sync/bookmarks/download", R"({"view":2})"},
      {false, "/sync/bookmarks/getchanges", R"({"baserev":"1"})"},
      {false, "/user/profiles/getnames", "{}"},
      {false, "/cloud/tabs/read", R"({"mymid":"m2"})"},
      {true, "/sync/bookmarks/download", "{}"},
      // The revisions go on from the same top.
      {false, "/sync/bookmarks/putchanges",
       WriteCompactJson(Put("2", List({Insert("d", "ROOT", "http://d/")})))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body + (c.bob ? " as bob" : ""));
    Answer here = Send(c.path, c.body, c.bob ? bob : ann);
    Answer there = SendVia(other, c.path, c.body, c.bob ? bobThere : annThere);
    EXPECT_NE(here.json["status"], 302);
    EXPECT_EQ(there.json, here.json);
  }
}

TEST_F(FakeSyncServiceTest, ThePagesTheClientOpensArePlainEscapedHtml) {
  struct Case {
    std::string path;
    const char* says;  // nullptr: no such page
  } cases[] = {
      {"/", "Tarvex: the sync service on this computer"},
      {"/msie/success/1.3.5", "Tarvex 1.3.5 keeps your Favorites in sync"},
      {"/msie/success/", "Tarvex keeps your Favorites in sync"},
      {"/msie/upgrade/1.4", "Tarvex 1.4 is installed"},
      {"/msie/upgrade/%3Cscript%3E%22&'", "Tarvex &lt;script&gt;&quot;&amp;&#39; is installed"},
      {"/wizard?_ua=ie&_lang=en", "Tarvex: set up"},
      {"/account", "Tarvex: your account"},
      {"/help", "Tarvex: help"},
      {"/support", "Tarvex: help"},
      {"/msie/other/1.3.5", nullptr},
      {"/accounts", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    httplib::Result page = client_.Get(c.path.c_str());
    ASSERT_TRUE(page);
    if (!c.says) {
      EXPECT_EQ(page->status, 404);
      continue;
    }
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_THAT(page->body, ::testing::HasSubstr(c.says));
    EXPECT_THAT(page->body, ::testing::Not(::testing::HasSubstr("<script")));
  }
}

}  // namespace
}  // namespace tarvex::testing
