// The sync flow end to end: computers with real Favorites folders against the
// loopback sync service.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "ie/foundation/core/VelkException.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/SynchronousRequest.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"
#include "platform/testing/FileStates.h"
#include "platform/testing/Files.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using testing::Add;
using testing::IdOf;
using testing::ScriptedQuestions;
using testing::SyncClient;

class KestroveServerTest : public ::testing::Test {
 protected:
  KestroveServerTest() { service_.AddUser("alice", "secret"); }

  std::unique_ptr<SyncClient> Computer(const std::string& mid) {
    return std::make_unique<SyncClient>(service_, "alice", "secret", mid);
  }
  // The service's tree in the canonical text of the test trees.
  std::string ServiceTree() {
    std::string out;
    service_.WithTree("alice", [&](NodeSet& set) { out = testing::Snapshot(set); });
    return out;
  }
  std::string Favorites(SyncClient& c) { return testing::Snapshot(*c.Read()); }
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const auto& r : service_.Requests()) paths.push_back(r.path);
    return paths;
  }

  // A computer whose Favorites (News{Paper} Wiki) were uploaded as the
  // service's first tree.
  std::unique_ptr<SyncClient> SyncedComputer(const std::string& mid = "ma") {
    auto c = Computer(mid);
    c->Edit([](NodeSet& s) {
      Add(s, "news", "ROOT", "News");
      Add(s, "paper", "news", "Paper", "http://paper.example/");
      Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/");
    });
    service_.SetReset("alice", true);
    c->Sync();
    service_.SetReset("alice", false);
    EXPECT_EQ(c->SyncStatus(), 103);
    service_.ClearRequests();
    return c;
  }
  // After A added a1 and B deleted "wiki" and added "c2" in a new folder:
  // two more syncs each succeed, and every tree is the service's, with a1
  // and c2 once each and "wiki" gone.
  void ExpectSettled(SyncClient& a, SyncClient& b) {
    for (int pass = 0; pass < 2; ++pass)
      for (SyncClient* c : {&a, &b}) {
        c->Sync();
        EXPECT_EQ(c->SyncStatus(), 105) << c->bed.settings.GetValue("errordetails", "");
      }
    const std::string tree = ServiceTree();
    EXPECT_EQ(Favorites(a), tree);
    EXPECT_EQ(Favorites(b), tree);
    EXPECT_EQ(tree.find("wiki.example"), std::string::npos) << tree;
    for (const char* url : {"http://a1.example/", "http://c2.example/"}) {
      const size_t at = tree.find(url);
      EXPECT_NE(at, std::string::npos) << url << " in " << tree;
      EXPECT_EQ(tree.find(url, at + 1), std::string::npos) << url << " twice in " << tree;
    }
  }
  // `c` uploads `folders` folders of `per` bookmarks each as the service's
  // first tree.
  void UploadFolders(SyncClient& c, int folders, int per) {
    c.Edit([&](NodeSet& s) {
      for (int f = 0; f < folders; ++f) {
        Add(s, Format("f%d", f), "ROOT", Format("Folder %d", f));
        for (int b = 0; b < per; ++b)
          Add(s, Format("f%db%d", f, b), Format("f%d", f), Format("Site %d.%d", f, b),
              Format("http://site%d-%d.example/", f, b));
      }
    });
    service_.SetReset("alice", true);
    c.Sync();
    service_.SetReset("alice", false);
    ASSERT_EQ(c.SyncStatus(), 103);
  }
  // A change made on the service by another computer.
  void ServerRename(const std::string& id, const std::string& name) {
    Json::Value commands(Json::arrayValue);
    commands.append(Command("update", id, {{"name", name}}).ToJSON());
    ServerPut(commands);
  }
  void ServerPut(const Json::Value& commands) {
    auto other = Computer("server-side");
    std::string top = service_.TopRevision("alice");
    // Through the service's own put, so a revision is recorded.
    other->Run([&](KestroveServer&) {
      Json::Value args(Json::objectValue);
      args["baserev"] = top;
      args["commands"] = commands;
      SynchronousRequest put("POST", "/sync/bookmarks/putchanges", false, &args, nullptr, false,
                             other->bed.context());
      EXPECT_EQ(KestroveServer::StatusOf(put.GetResponse()), 0) << put.GetResponse();
      return 0;
    });
  }

  testing::FakeSyncService service_;
};

TEST_F(KestroveServerTest, FirstSyncsUploadThenMergeAndEditsTravel) {
  auto a = Computer("ma");
  a->Edit([](NodeSet& s) {
    Add(s, "news", "ROOT", "News");
    Add(s, "paper", "news", "Paper", "http://paper.example/");
    Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/");
  });
  service_.SetReset("alice", true);
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 103);
  EXPECT_EQ(ServiceTree(), Favorites(*a));
  EXPECT_EQ(a->bed.settings.GetValue("revision", ""), service_.TopRevision("alice"));
  EXPECT_TRUE(fs::exists(a->BaselinePath()));

  service_.SetReset("alice", false);
  auto b = Computer("mb");
  b->Edit([](NodeSet& s) { Add(s, "mail", "ROOT", "Mail", "http://mail.example/"); });
  b->Sync();
  EXPECT_EQ(b->SyncStatus(), 105);
  EXPECT_EQ(ServiceTree(), Favorites(*b));

  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  EXPECT_EQ(Favorites(*a), ServiceTree());

  // A normal sync carries edits both ways.
  b->Edit([](NodeSet& s) {
    s.Execute(Command("update", IdOf(s, "Wiki"), {{"name", "Wiki renamed"}}));
    Add(s, "more", IdOf(s, "News"), "More", "http://more.example/");
  });
  b->Sync();
  EXPECT_EQ(b->SyncStatus(), 105);
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  EXPECT_EQ(Favorites(*a), ServiceTree());
  EXPECT_EQ(Favorites(*b), ServiceTree());
  EXPECT_NE(Favorites(*a).find("Wiki renamed"), std::string::npos);
}

TEST_F(KestroveServerTest, RepliesAreJudgedByTheirStatus) {
  struct Case {
    const char* reply;
    int result;  // returned; ignored when `thrown`
    int thrown;  // the VelkException id, 0 for none
    int status;  // syncstatus afterwards
  };
  const Case cases[] = {
      {R"({"status":0})", 0, 0, 0},
      {R"({"status":"0"})", 0, 0, 0},
      {R"({"status":302})", 302, 0, 102},
      {R"({"status":1})", 1, 0, 102},
      {R"({"status":"302"})", 302, 0, 102},
      {R"({"status":404,"message":"no such thing"})", 0, 404, 101},
      {R"({"status":409,"message":{"why":1}})", 0, 409, 101},
      {R"({"status":"409"})", 0, 409, 101},
      {R"({"status":503})", 0, 503, 101},
      {R"({})", 0, -1, 101},
      {R"({"status":null})", 0, -1, 101},
      {R"({"status":-1})", 0, -1, 101},
      {R"({"status":"error"})", 0, -1, 101},
      {R"({"status":"00"})", 0, -1, 101},
      {R"({"status":"-0"})", 0, -1, 101},
      {R"({"status":"0409"})", 0, -1, 101},
      {R"({"status":true})", 0, -1, 101},
  };
  auto c = Computer("ma");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.reply);
    c->bed.settings.SetInt("syncstatus", 0, false);
    Json::Value reply;
    std::string error;
    ASSERT_TRUE(ParseJson(k.reply, &reply, &error));
    c->Run([&](KestroveServer& server) {
      try {
        EXPECT_EQ(server.OnRequestComplete(reply, "repair"), k.result);
        EXPECT_EQ(k.thrown, 0) << "no throw";
      } catch (const VelkException& e) {
        EXPECT_EQ(e.id(), k.thrown) << e.what();
        if (k.thrown == 404) {
          EXPECT_EQ(e.message(), "404 Error from server: no such thing");
        }
        if (k.thrown == 409 && reply.isMember("message")) {
          EXPECT_EQ(e.message(), R"(409 Error from server: {"why":1})");
        }
        if (k.thrown == 503 || k.thrown == -1) {
          EXPECT_EQ(e.message(),
                    "Network error while attempting to send request, are you connected to the "
                    "internet?");
        }
      }
      return 0;
    });
    EXPECT_EQ(c->SyncStatus(), k.status);
  }
}

TEST_F(KestroveServerTest, StepsRefuseRepliesWithoutTheirRevisionOrCommands) {
  struct Case {
    const char* state;
    const char* reply;
    const char* message;
  };
  const Case cases[] = {
      {"changes", R"({"status":0,"commands":[]})", "Invalid response to getchanges"},
      {"changes", R"({"status":0,"toprev":"5"})", "Invalid response to getchanges"},
      {"changes", R"({"status":0,"toprev":"5","commands":{"a":1}})",
       "Invalid response to getchanges"},
      {"baselineloaded", R"({"status":0,"toprev":"5"})", "Invalid response to download"},
      {"baselineloaded",
       R"({"status":0,"commands":[{"action":"insert","nid":"ROOT","args":{"ntype":"folder"}}]})",
       "unable to get revision from baseline loaded"},
      // A command with a value of a type the engine cannot read.
      {"baselineloaded", R"({"status":0,"toprev":"5","commands":[{"action":1.5,"nid":"a"}]})",
       "Invalid response to download: Type is not convertible to string"},
  };
  auto c = SyncedComputer();
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.state) + " " + k.reply);
    Json::Value reply;
    std::string error;
    ASSERT_TRUE(ParseJson(k.reply, &reply, &error));
    c->Run([&](KestroveServer& server) {
      if (std::string_view(k.state) == "changes") server.Synchronize();
      try {
        server.OnRequestComplete(reply, k.state);
        ADD_FAILURE() << "accepted";
      } catch (const VelkException& e) {
        EXPECT_EQ(e.message(), k.message);
      }
      return 0;
    });
  }
  // The upload names the tree it sent by the reply's revision.
  for (const char* reply : {R"({"status":0})", R"({"status":0,"toprev":""})",
                            R"({"status":0,"toprev":{"x":1}})", R"({"status":0,"toprev":1.5})"}) {
    SCOPED_TRACE(reply);
    service_.QueueFault("/sync/bookmarks/upload", testing::FakeFault::Reply(200, reply));
    c->Run([](KestroveServer& server) {
      try {
        server.Upload();
        ADD_FAILURE() << "accepted";
      } catch (const VelkException& e) {
        EXPECT_EQ(e.message(), "Unable to get revision from upload");
      }
      return 0;
    });
  }
  // The download step records its failure and says so.
  for (const char* reply :
       {R"({"status":0})", R"({"status":0,"toprev":"9","commands":[{"action":[],"nid":"a"}]})"}) {
    SCOPED_TRACE(reply);
    service_.QueueFault("/sync/bookmarks/download", testing::FakeFault::Reply(200, reply));
    EXPECT_EQ(c->Run([](KestroveServer& s) { return s.Download(); }), -1);
    EXPECT_EQ(c->SyncStatus(), 101);
    EXPECT_TRUE(c->bed.settings.GetValue("errordetails", "")
                    .starts_with("Internal error while writing to your Favorites: "
                                 "TarvexException [source: network, id: -10]: Invalid "
                                 "response to download"));
    EXPECT_NE(Favorites(*c).find("Paper"), std::string::npos) << "nothing written";
  }
  // A sync refused that way is recorded as failed, whatever the last one was.
  c->Sync();
  ASSERT_EQ(c->SyncStatus(), 105);
  service_.QueueFault("/sync/bookmarks/getchanges",
                      testing::FakeFault::Reply(200, R"({"status":0,"commands":[]})"));
  EXPECT_THROW(c->Sync(), VelkException);
  EXPECT_EQ(c->SyncStatus(), 101);
  EXPECT_EQ(c->bed.settings.GetValue("errordetails", ""),
            "TarvexException [source: network, id: -10]: Invalid response to getchanges");
  // A merge needs its type.
  c->Run([](KestroveServer& s) {
    EXPECT_THROW(s.OnRequestComplete(Json::Value(Json::objectValue), "mergedownload"),
                 VelkException);
    return 0;
  });
}

TEST_F(KestroveServerTest, DownloadUploadMergesAndRepairRecordTheirStatus) {
  auto a = SyncedComputer();
  auto b = Computer("mb");
  b->Edit([](NodeSet& s) { Add(s, "local", "ROOT", "Local only", "http://local.example/"); });

  // A download replaces the local Favorites.
  EXPECT_EQ(b->Run([](KestroveServer& s) { return s.Download(); }), 0);
  EXPECT_EQ(b->SyncStatus(), 104);
  EXPECT_EQ(Favorites(*b), ServiceTree());

  // A merge of the server's tree with the local one keeps both.
  b->Edit([](NodeSet& s) { Add(s, "local2", "ROOT", "Local two", "http://local2.example/"); });
  b->Run([](KestroveServer& s) {
    s.MergeDownload(kMergeServerFirst);
    return 0;
  });
  EXPECT_EQ(b->SyncStatus(), 105);
  EXPECT_EQ(Favorites(*b), ServiceTree());
  EXPECT_NE(ServiceTree().find("Local two"), std::string::npos);

  // An upload replaces the server's tree.
  b->Edit([](NodeSet& s) { s.Execute(Command("delete", IdOf(s, "Wiki"), {})); });
  b->Run([](KestroveServer& s) {
    s.Upload();
    return 0;
  });
  EXPECT_EQ(b->SyncStatus(), 103);
  EXPECT_EQ(ServiceTree(), Favorites(*b));
  EXPECT_EQ(ServiceTree().find("Wiki"), std::string::npos);
  // An upload publishes this computer's tabs, even none.
  EXPECT_TRUE(service_.Tabs("alice").isMember("mb"));

  // A repair of a computer that agrees with the service changes nothing.
  b->Run([](KestroveServer& s) {
    s.Repair();
    return 0;
  });
  EXPECT_EQ(b->SyncStatus(), 109);
  // One whose Favorites drifted is put back, its own bookmark kept.
  const std::string paper = IdOf(*b->Read(), "Paper");
  service_.WithTree("alice", [&](NodeSet& s) { s.Do_update(paper, {{"name", "Paper (server)"}}); });
  b->Edit([](NodeSet& s) { Add(s, "mine", "ROOT", "Mine", "http://mine.example/"); });
  b->Run([](KestroveServer& s) {
    s.Repair();
    return 0;
  });
  EXPECT_EQ(b->SyncStatus(), 106);
  const std::string after = Favorites(*b);
  EXPECT_NE(after.find("Paper (server)"), std::string::npos);
  EXPECT_NE(after.find("Mine"), std::string::npos);
  // The next sync sends the kept bookmark.
  b->Sync();
  EXPECT_EQ(b->SyncStatus(), 105);
  EXPECT_EQ(Favorites(*b), ServiceTree());
}

TEST_F(KestroveServerTest, UploadIntoAProfileSendsOnlyTheDifferences) {
  auto a = SyncedComputer();
  Json::Value view(Json::arrayValue);
  view.append(Command("insert", "ROOT", {{"ntype", "folder"}}).ToJSON());
  view.append(Command("insert", "wiki",
                      {{"pnid", "ROOT"}, {"name", "Wiki"}, {"url", "http://wiki.example/"}})
                  .ToJSON());
  service_.SetProfile("alice", "Work", 7, view);
  a->bed.settings.SetInt("view", 7, true);
  a->Run([](KestroveServer& s) {
    s.Upload();
    return 0;
  });
  EXPECT_EQ(a->SyncStatus(), 103);
  auto requests = service_.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().path, "/sync/bookmarks/putchanges");
  EXPECT_EQ(a->bed.settings.GetValue("revision", ""), service_.TopRevision("alice"));

  // With nothing to change, nothing is put.
  service_.SetProfile("alice", "Home", 8, a->Read()->ProvideCommandSet().ToJSON());
  a->bed.settings.SetInt("view", 8, true);
  service_.ClearRequests();
  a->Run([](KestroveServer& s) {
    s.Upload();
    return 0;
  });
  EXPECT_EQ(a->SyncStatus(), 103);
  for (const auto& r : service_.Requests()) EXPECT_NE(r.path, "/sync/bookmarks/putchanges");
}

TEST_F(KestroveServerTest, AMergeWhosePutFailsLeavesEverythingAsItWas) {
  auto a = SyncedComputer();
  auto b = Computer("mb");
  b->Edit([](NodeSet& s) { Add(s, "mine", "ROOT", "Mine", "http://mine.example/"); });
  const std::string before = ServiceTree();
  for (const char* reply : {R"({"status":409})", R"({"status":1})"}) {
    SCOPED_TRACE(reply);
    service_.QueueFault("/sync/bookmarks/putchanges", testing::FakeFault::Reply(200, reply));
    b->Run([](KestroveServer& s) {
      try {
        s.MergeDownload(kMergeLocalFirst);
      } catch (const VelkException& e) {
        EXPECT_EQ(e.id(), 409);
      }
      return 0;
    });
    EXPECT_EQ(b->SyncStatus(),
              std::string_view(reply).find("409") != std::string_view::npos ? 101 : 102);
    EXPECT_EQ(ServiceTree(), before);
    EXPECT_EQ(b->bed.settings.GetInt64("lastsync", 0), 0);
    EXPECT_NE(Favorites(*b).find("Mine"), std::string::npos);
  }
}

TEST_F(KestroveServerTest, ASyncWithoutChangesWritesOnlyTheRevisionAndTheCommit) {
  auto a = SyncedComputer();
  const auto baselineBefore = fs::last_write_time(a->BaselinePath());
  a->bed.clock.Advance(100);
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  EXPECT_EQ(fs::last_write_time(a->BaselinePath()), baselineBefore);
  EXPECT_EQ(a->bed.settings.GetInt64("lastsync", 0), a->bed.clock.Now());
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/sync/bookmarks/getchanges"}));
}

TEST_F(KestroveServerTest, AMissingOrBrokenBaselineIsRebuiltFromTheServer) {
  for (const char* damage : {"missing", "garbage", "empty tree"}) {
    SCOPED_TRACE(damage);
    auto a = SyncedComputer(damage);
    if (std::string_view(damage) == "missing")
      fs::remove(a->BaselinePath());
    else if (std::string_view(damage) == "garbage")
      testing::WriteAll(a->BaselinePath(), "{ not json");
    else
      testing::WriteAll(a->BaselinePath(),
                        R"({"_nodes":[],"currentRevision":"1","userHash":"","version":1})");
    a->Edit([](NodeSet& s) { Add(s, "fresh", "ROOT", "Fresh", "http://fresh.example/"); });
    a->Sync();
    EXPECT_EQ(a->SyncStatus(), 105);
    // Only the new bookmark went up: nothing was duplicated.
    EXPECT_EQ(Favorites(*a), ServiceTree());
    auto requests = service_.Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/sync/bookmarks/download");
    EXPECT_EQ(requests[0].json["depth"].asString(), "all");
    service_.SetReset("alice", true);
  }
}

TEST_F(KestroveServerTest, AFailedBaselineRebuildStopsTheSync) {
  auto a = SyncedComputer();
  fs::remove(a->BaselinePath());
  a->Edit([](NodeSet& s) { Add(s, "fresh", "ROOT", "Fresh", "http://fresh.example/"); });
  service_.QueueFault("/sync/bookmarks/download",
                      testing::FakeFault::Reply(200, R"({"status":1})"));
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 102);
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/sync/bookmarks/download"}));
  EXPECT_EQ(ServiceTree().find("Fresh"), std::string::npos);
}

TEST_F(KestroveServerTest, ARestoredServerAsksWhatToDo) {
  struct Case {
    int answer;
    int status;
    bool localKept;  // the local bookmark is still there afterwards
    bool sent;       // and on the service
  };
  const Case cases[] = {
      {kButtonCancel, 102, true, false},
      {kButtonDownload, 104, false, false},
      {kButtonSync, 105, true, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.answer);
    auto a = SyncedComputer(Format("m%d", k.answer));
    a->Edit([](NodeSet& s) { Add(s, "fresh", "ROOT", "Fresh", "http://fresh.example/"); });
    // Another computer replaced the service's tree.
    auto other = Computer(Format("o%d", k.answer));
    other->Edit([](NodeSet& s) { Add(s, "x", "ROOT", "Other", "http://other.example/"); });
    other->Run([](KestroveServer& s) {
      s.Upload();
      return 0;
    });
    service_.SetGetChangesKnobs({false, false, false});
    a->questions.Expect(ScriptedQuestions::kSyncFileRestored, k.answer);
    a->Sync();
    EXPECT_EQ(a->SyncStatus(), k.status);
    EXPECT_EQ(Favorites(*a).find("Fresh") != std::string::npos, k.localKept);
    EXPECT_EQ(ServiceTree().find("Fresh") != std::string::npos, k.sent);
    service_.SetGetChangesKnobs({});
  }
  // Substituted data syncs on without a question.
  auto b = SyncedComputer("mb");
  auto other = Computer("ob");
  other->Run([](KestroveServer& s) {
    s.Upload();
    return 0;
  });
  b->Sync();
  EXPECT_EQ(b->SyncStatus(), 105);
}

TEST_F(KestroveServerTest, PutChangesCarriesTheRevisionOfTheChanges) {
  auto a = SyncedComputer();
  const std::string stored = a->bed.settings.GetValue("revision", "");
  ServerRename("wiki", "Wiki (other computer)");
  a->Edit([](NodeSet& s) { Add(s, "fresh", "ROOT", "Fresh", "http://fresh.example/"); });
  service_.ClearRequests();
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  auto requests = service_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].json["baserev"].asString(), stored);
  EXPECT_EQ(requests[1].path, "/sync/bookmarks/putchanges");
  EXPECT_NE(requests[1].json["baserev"].asString(), stored);
  EXPECT_EQ(Favorites(*a), ServiceTree());
}

TEST_F(KestroveServerTest, FailuresRepairFirstThenAskOnceADay) {
  auto a = SyncedComputer();
  a->bed.settings.SetValue("syncerrurl", service_.BaseUrl() + "/syncerr.php", true);
  auto conflict = [&] {
    a->Edit([](NodeSet& s) {
      static int n = 0;
      Add(s, Format("n%d", ++n), "ROOT", Format("Fresh %d", n), "http://new.example/");
    });
    // The service refuses the changes as they are.
    service_.QueueFault("/sync/bookmarks/putchanges",
                        testing::FakeFault::Reply(200, R"({"status":400,"message":"no"})"));
    a->Sync();
  };
  const std::string refused =
      "Unexpected error during synchronization: TarvexException [source: internal, id: 400]: "
      "putchanges failed during sync attempt";
  // The first failure runs a repair; it stays a failure.
  const int64_t lastsync = a->bed.settings.GetInt64("lastsync", 0);
  a->bed.clock.Advance(10);
  conflict();
  EXPECT_EQ(a->SyncStatus(), 101);
  EXPECT_EQ(a->bed.settings.GetValue("errordetails", ""), refused);
  EXPECT_EQ(a->bed.settings.GetInt64("lastsync", 0), lastsync);
  EXPECT_TRUE(std::find(Paths().begin(), Paths().end(), "/sync/bookmarks/getdiffs") !=
              Paths().end());
  // The second asks whether to download; Yes reports and downloads.
  a->questions.Expect(ScriptedQuestions::kYesNo, kButtonYes);
  conflict();
  ASSERT_EQ(a->questions.asked.size(), 1u);
  EXPECT_EQ(a->questions.asked[0].text, kReplaceLocalText);
  EXPECT_EQ(a->SyncStatus(), 104);
  ASSERT_EQ(service_.SyncErrorQueries().size(), 1u);
  EXPECT_EQ(service_.SyncErrorQueries()[0].rfind("msg=Unexpected%20error", 0), 0u)
      << service_.SyncErrorQueries()[0];
  // The third within a day asks nothing.
  conflict();
  EXPECT_EQ(a->SyncStatus(), 101);
  EXPECT_EQ(a->questions.asked.size(), 1u);
  // A day later it asks again.
  a->bed.clock.Advance(86401);
  a->questions.Expect(ScriptedQuestions::kYesNo, kButtonNo);
  conflict();
  EXPECT_EQ(a->questions.asked.size(), 2u);
  // Nothing of the user's was lost: the next sync sends it all.
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  EXPECT_EQ(Favorites(*a), ServiceTree());
}

// A put that another computer's put beat (409), or whose answer could not be
// read, whether or not the service took it: nothing is committed, no repair
// rewrites the baseline, nobody is asked; the failure is recorded, and the
// next sync starts from the baseline and revision that belong together.
// Meanwhile another computer deleted "wiki" and added a folder with a
// bookmark: none of it may be undone, and the new bookmark arrives once.
TEST_F(KestroveServerTest, APutThatLostARaceOrItsAnswerCommitsNothing) {
  using testing::FakeFault;
  struct Case {
    const char* name;
    FakeFault fault;
    const char* details;  // the start of `errordetails`
  };
  const Case cases[] = {
      {"another put came first", FakeFault::Reply(200, R"({"status":409})"), kSyncConflictText},
      {"markup", FakeFault::Reply(200, "<html></html>"), "Unexpected error"},
      {"truncated", FakeFault::Reply(200, R"({"status":0,"toprev":"1)"), "Unexpected error"},
      {"no toprev", FakeFault::Reply(200, R"({"status":0})"), "Unexpected error"},
      {"taken, answer is markup", FakeFault::AfterAnswer(FakeFault::Reply(200, "<html></html>")),
       "Unexpected error"},
      {"taken, no toprev", FakeFault::AfterAnswer(FakeFault::Reply(200, R"({"status":0})")),
       "Unexpected error"},
      {"taken, answer dropped", FakeFault::AfterAnswer(FakeFault::Drop()), "Unexpected error"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto a = SyncedComputer();
    auto b = Computer("mb");
    ASSERT_EQ(b->Run([](KestroveServer& s) { return s.Download(); }), 0);
    b->Edit([](NodeSet& s) {
      s.Execute(Command("delete", "wiki", {}));
      Add(s, "cf", "ROOT", "CF");
      Add(s, "c2", "cf", "C2", "http://c2.example/");
    });
    b->Sync();
    ASSERT_EQ(b->SyncStatus(), 105);
    a->Edit([](NodeSet& s) { Add(s, "a1", "ROOT", "A1", "http://a1.example/"); });
    // A's put goes after B's commit, so the real service would say 409 too;
    // each fault stands in its place.
    service_.QueueFault("/sync/bookmarks/putchanges", k.fault);
    const std::string baseline = testing::ReadAll(a->BaselinePath());
    const std::string revision = a->bed.settings.GetValue("revision", "");
    try {
      a->Sync();
    } catch (const VelkException&) {
      // a dropped connection reaches the caller
    }
    EXPECT_EQ(a->SyncStatus(), 101);
    EXPECT_EQ(a->bed.settings.GetValue("errordetails", "").rfind(k.details, 0), 0u)
        << a->bed.settings.GetValue("errordetails", "");
    EXPECT_EQ(testing::ReadAll(a->BaselinePath()), baseline);
    EXPECT_EQ(a->bed.settings.GetValue("revision", ""), revision);
    for (const auto& r : service_.Requests()) EXPECT_NE(r.path, "/sync/bookmarks/getdiffs");
    EXPECT_TRUE(a->questions.asked.empty());

    ExpectSettled(*a, *b);
    service_.SetReset("alice", true);
  }
}

// A repair after a failure brings the computer's Favorites to the service's
// shape, while the baseline stays the tree of the stored revision: the next
// syncs send the computer's own change, take the other computer's, undo
// nothing and repeat nothing.
TEST_F(KestroveServerTest, ARepairAfterAFailureLosesNothingAndUndoesNothing) {
  auto a = SyncedComputer();
  auto b = Computer("mb");
  ASSERT_EQ(b->Run([](KestroveServer& s) { return s.Download(); }), 0);
  b->Edit([](NodeSet& s) {
    s.Execute(Command("delete", "wiki", {}));
    s.Execute(Command("update", "paper", {{"name", "Paper (renamed)"}}));
    Add(s, "cf", "ROOT", "CF");
    Add(s, "c2", "cf", "C2", "http://c2.example/");
  });
  b->Sync();
  ASSERT_EQ(b->SyncStatus(), 105);
  a->Edit([](NodeSet& s) { Add(s, "a1", "news", "A1", "http://a1.example/"); });
  service_.QueueFault("/sync/bookmarks/putchanges",
                      testing::FakeFault::Reply(200, R"({"status":400,"message":"no"})"));
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 101);
  EXPECT_TRUE(std::find(Paths().begin(), Paths().end(), "/sync/bookmarks/getdiffs") !=
              Paths().end());
  ExpectSettled(*a, *b);
  EXPECT_NE(ServiceTree().find("Paper (renamed)"), std::string::npos);
  service_.WithTree(
      "alice", [](NodeSet& s) { EXPECT_TRUE(s.GetNode("cf", false, false, true)->IsFolder()); });
}

// What a recorded failure says: the failure's whole text (source, id and
// message), after the step's own words where it has them; a cancel
// records no failure.
TEST_F(KestroveServerTest, ARecordedFailureGivesTheWholeTextOfWhatFailed) {
  using testing::FakeFault;
  struct Case {
    const char* kind;
    const char* path;
    FakeFault fault;
    int status;
    const char* details;  // nullptr: none recorded
  };
  const Case cases[] = {
      {"network", "/sync/bookmarks/getchanges", FakeFault::Drop(), 101,
       "TarvexException [source: network, id: -1]: Network error while attempting to send "
       "request, are you connected to the internet?"},
      {"service status", "/sync/bookmarks/getchanges",
       FakeFault::Reply(200, R"({"status":404,"message":"gone"})"), 101,
       "TarvexException [source: network, id: 404]: 404 Error from server: gone"},
      {"internal", "/sync/bookmarks/putchanges",
       FakeFault::Reply(200, R"({"status":400,"message":"no"})"), 101,
       "Unexpected error during synchronization: TarvexException [source: internal, id: 400]: "
       "putchanges failed during sync attempt"},
      // The service wants a new sign-in, refuses the stored password, and
      // the user declines to give another.
      {"cancelled", "/login/signtoken",
       FakeFault::Reply(200, R"({"status":1,"message":"bad credentials"})"), 102, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.kind);
    auto a = SyncedComputer();
    a->state.lastSyncSucceeded = false;               // no repair after the failure
    a->state.lastFailurePrompt = a->bed.clock.Now();  // nor a question
    a->Edit([](NodeSet& s) { Add(s, "n", "ROOT", "New", "http://new.example/"); });
    service_.QueueFault(k.path, k.fault);
    if (k.status == 102) service_.RevokeAllTokens();
    try {
      a->Sync();
    } catch (const VelkException&) {
      // network failures and the service's statuses reach the caller
    }
    EXPECT_EQ(a->SyncStatus(), k.status);
    if (k.details)
      EXPECT_EQ(a->bed.settings.GetValue("errordetails", "<none>"), k.details);
    else
      EXPECT_FALSE(a->bed.settings.HasValue("errordetails"));
    service_.SetReset("alice", true);
  }
}

// A sync of a few thousand bookmarks keeps the log within its limit, and no
// line of it holds a password or more of a body than the bound.
TEST_F(KestroveServerTest, TheLogStaysWithinItsLimitAndShowsNoSecret) {
  auto a = Computer("ma");
  a->bed.logger.maxBytes = 300'000;
  UploadFolders(*a, 30, 100);
  auto b = Computer("mb");
  b->bed.logger.maxBytes = 300'000;
  service_.RevokeAllTokens();  // a sign-in on the way
  ASSERT_EQ(b->Run([](KestroveServer& s) { return s.Download(); }), 0);
  b->Sync();
  EXPECT_EQ(b->SyncStatus(), 105);
  for (SyncClient* c : {a.get(), b.get()}) {
    EXPECT_LE(fs::file_size(c->bed.logger.path()), 300'000u + kLogBodyBytes + 200);
    for (const std::string& line : testing::SplitLines(c->bed.Log())) {
      EXPECT_LE(line.size(), kLogBodyBytes + 200) << line.substr(0, 200);
      EXPECT_EQ(line.find(md5("secret")), std::string::npos) << line.substr(0, 200);
    }
  }
}

// A download replaces what the user changed before it, even when an earlier
// sync read the Favorites and wrote nothing back.
TEST_F(KestroveServerTest, ADownloadReplacesEditsMadeBeforeIt) {
  auto a = SyncedComputer();
  a->Sync();  // reads, finds nothing to write
  ASSERT_EQ(a->SyncStatus(), 105);
  // The user's hands on the files, not the store's.
  fs::rename(a->favorites + "/Wiki.url", a->favorites + "/Wiki (mine).url");
  fs::rename(a->favorites + "/News/Paper.url", a->favorites + "/Paper.url");
  ASSERT_EQ(a->Run([](KestroveServer& s) { return s.Download(); }), 0);
  EXPECT_EQ(Favorites(*a), ServiceTree());
}

// A new computer joining an account merges the service's tree into its
// own: the service's bookmarks keep their ids, so its first sync sends only
// what it brought of its own, and the other computer's next sync touches
// none of the files it had.
TEST_F(KestroveServerTest, ANewComputersFirstSyncSendsOnlyItsOwnBookmarks) {
  auto a = Computer("ma");
  UploadFolders(*a, 10, 30);

  struct Case {
    const char* name;
    int own;  // bookmarks the newcomer has before it joins
  };
  for (const Case& k : {Case{"an empty Favorites folder", 0}, Case{"a few of its own", 3}}) {
    SCOPED_TRACE(k.name);
    auto newcomer = Computer(Format("new%d", k.own));
    newcomer->Edit([&](NodeSet& s) {
      for (int n = 0; n < k.own; ++n)
        Add(s, Format("own%d", n), "ROOT", Format("Own %d", n), Format("http://own%d.example/", n));
    });
    service_.ClearRequests();
    newcomer->Sync();
    EXPECT_EQ(newcomer->SyncStatus(), 105);
    std::vector<std::string> sent;
    for (const auto& r : service_.Requests())
      if (r.path == "/sync/bookmarks/putchanges")
        for (const Json::Value& c : r.json["commands"])
          sent.push_back(JsonText(c["action"]) + " " + JsonText(c["nid"]));
    std::vector<std::string> own;
    for (int n = 0; n < k.own; ++n) own.push_back(Format("insert own%d", n));
    EXPECT_EQ(sent, own);
    EXPECT_EQ(Favorites(*newcomer), ServiceTree());

    const auto before = testing::FilesBelow(a->favorites);
    a->Sync();
    EXPECT_EQ(a->SyncStatus(), 105);
    std::istringstream lines(testing::ChangedPaths(before, testing::FilesBelow(a->favorites)));
    std::string changed;
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("new: ", 0) != 0) changed += line + "\n";
    EXPECT_EQ(changed, "") << "files the first computer had";
    EXPECT_EQ(Favorites(*a), ServiceTree());
  }
}

// The service's changes since our revision that do not fit the baseline
// (a baseline saved with a revision it does not stand for) are replayed on
// the tree of that revision taken anew from the service, instead of
// failing the same way on every sync.
TEST_F(KestroveServerTest, ChangesThatDoNotFitTheBaselineRebuildIt) {
  auto a = SyncedComputer();
  // Another computer deletes "wiki"; A's baseline lost "wiki" already while
  // still naming the older revision.
  Json::Value commands(Json::arrayValue);
  commands.append(Command("delete", "wiki", {}).ToJSON());
  ServerPut(commands);
  a->Run([&](KestroveServer&) {
    NodeSet stale;
    ASSERT_EQ(stale.LoadFromFile(), NodeSet::LoadResult::Loaded);
    stale.Execute(Command("delete", "wiki", {}));
    stale.SaveToFile();
  });
  a->Edit([](NodeSet& s) { Add(s, "a1", "ROOT", "A1", "http://a1.example/"); });
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105) << a->bed.settings.GetValue("errordetails", "");
  EXPECT_EQ(Favorites(*a), ServiceTree());
  EXPECT_NE(ServiceTree().find("http://a1.example/"), std::string::npos);
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
}

TEST_F(KestroveServerTest, TheServicesRefusalsDuringAPutReachTheCaller) {
  struct Case {
    const char* body;
    int id;
  };
  const Case cases[] = {
      {R"({"status":403,"url":"https://www.example/upgrade"})", kErrServer403},
      {R"({"status":503,"backoff_delay":60})", kErrServer503},
      {R"({"status":444})", kErrServer444},
  };
  auto a = SyncedComputer();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.body);
    a->Edit([](NodeSet& s) {
      static int n = 0;
      Add(s, Format("r%d", ++n), "ROOT", Format("R %d", n), "http://r.example/");
    });
    service_.ClearRequests();
    service_.QueueFault("/sync/bookmarks/putchanges", testing::FakeFault::Reply(200, k.body));
    try {
      a->Sync();
      ADD_FAILURE() << "no throw";
    } catch (const VelkException& e) {
      EXPECT_EQ(e.id(), k.id);
    }
    EXPECT_EQ(a->SyncStatus(), 101);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/sync/bookmarks/getchanges",
                                                 "/sync/bookmarks/putchanges"}))
        << "no repair, no question";
  }
  // A dropped connection is a network failure, not a cancel.
  service_.QueueFault("/sync/bookmarks/putchanges", testing::FakeFault::Drop());
  EXPECT_THROW(a->Sync(), VelkException);
  EXPECT_EQ(a->SyncStatus(), 101);
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  EXPECT_EQ(Favorites(*a), ServiceTree());
}

// A put the service answers with a sign-in the user does not give is a
// cancel: no repair, nothing written, and the next sync sends the change.
TEST_F(KestroveServerTest, APutWaitingForASignInIsACancel) {
  auto a = SyncedComputer();
  a->Edit([](NodeSet& s) { Add(s, "late", "ROOT", "Late", "http://late.example/"); });
  const std::string before = ServiceTree();
  for (int n = 0; n < 2; ++n)  // the request and its one repeat after signing in
    service_.QueueFault("/sync/bookmarks/putchanges",
                        testing::FakeFault::Reply(200, R"({"status":302})"));
  service_.ClearRequests();
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 102);
  for (const std::string& path : Paths()) EXPECT_NE(path, "/sync/bookmarks/getdiffs");
  EXPECT_EQ(ServiceTree(), before);
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  EXPECT_EQ(Favorites(*a), ServiceTree());
  EXPECT_NE(ServiceTree().find("Late"), std::string::npos);
}

// The repair that follows a failed sync and is itself cancelled leaves the
// sync recorded as failed.
TEST_F(KestroveServerTest, ACancelledRepairAfterAFailureStaysAFailure) {
  auto a = SyncedComputer();
  a->Edit([](NodeSet& s) { Add(s, "late", "ROOT", "Late", "http://late.example/"); });
  service_.QueueFault("/sync/bookmarks/putchanges",
                      testing::FakeFault::Reply(200, R"({"status":409})"));
  for (int n = 0; n < 2; ++n)
    service_.QueueFault("/sync/bookmarks/getdiffs",
                        testing::FakeFault::Reply(200, R"({"status":302})"));
  try {
    a->Sync();
  } catch (const VelkException&) {
  }
  EXPECT_EQ(a->SyncStatus(), 101);
  EXPECT_EQ(a->bed.settings.GetValue("errordetails", ""), kSyncConflictText);
}

TEST_F(KestroveServerTest, ReorderFiltersDropReorders) {
  auto a = SyncedComputer();
  a->bed.settings.SetBool("ignorelocalreorders", true, true);
  a->Edit([](NodeSet& s) {
    s.Execute(Command("reorder", IdOf(s, "Wiki"), {{"bnid", IdOf(s, "News")}}));
  });
  a->Sync();
  EXPECT_EQ(a->SyncStatus(), 105);
  for (const auto& r : service_.Requests()) EXPECT_NE(r.path, "/sync/bookmarks/putchanges");
}

}  // namespace
}  // namespace tarvex
