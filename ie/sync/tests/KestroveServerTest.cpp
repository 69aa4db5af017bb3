// The sync flow end to end: computers with real Favorites folders against the
// loopback sync service.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "ie/foundation/core/VelkException.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"
#include "platform/testing/Files.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedQuestions;
using testing::SyncClient;

// A bookmark or folder for Edit().
void Add(NodeSet& set, const std::string& id, const std::string& parent, const std::string& name,
         const std::string& url = {}) {
  Attributes args{{"pnid", parent}, {"name", name}};
  if (url.empty())
    args["ntype"] = "folder";
  else
    args["url"] = url;
  set.Execute(Command("insert", id, std::move(args)));
}

// The id of the first node named `name` (depth first); "" when none.
std::string IdOf(NodeSet& set, const std::string& name, const std::string& from = "ROOT") {
  for (const std::string& id : set.GetNode(from, false, false, true)->RawChildren()) {
    Node* node = set.GetNode(id, false, false, true);
    if (node->GetAttr("name") == name) return id;
    if (node->IsFolder()) {
      std::string found = IdOf(set, name, id);
      if (!found.empty()) return found;
    }
  }
  return {};
}

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

}  // namespace
}  // namespace tarvex
