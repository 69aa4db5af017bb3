// A user (or the browser) changing the Favorites while a sync of this
// computer runs: between the sync's read and its put, or between the put
// and the writing back of the tree it made from that read. The change
// stays, and the next syncs carry it to the service and the other computer,
// also when the service changed the same favourite meanwhile.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "text/Text.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Command.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using testing::Add;
using testing::SyncClient;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The name of a folder in "folder/name"; "" for the root.
std::string FolderName(NodeSet& set, const std::string& id) {
  return id == "ROOT" ? std::string() : set.GetNode(id, false, false, true)->GetAttr("name");
}

// The favourite "Wiki" of a tree, as "folder/name url", or "" without one.
std::string WikiOf(NodeSet& set) {
  Node* wiki = set.GetNode("wiki", false, true, true);
  if (!wiki) return {};
  return FolderName(set, wiki->GetAttr("pnid")) + "/" + wiki->GetAttr("name") + " " +
         wiki->GetAttr("url");
}

// The favourites of a tree with this address, as "folder/name".
std::vector<std::string> WithUrl(NodeSet& set, const std::string& url,
                                 const std::string& from = "ROOT") {
  std::vector<std::string> out;
  for (const std::string& id : set.GetNode(from, false, false, true)->RawChildren()) {
    Node* node = set.GetNode(id, false, false, true);
    if (node->IsFolder()) {
      for (const std::string& below : WithUrl(set, url, id)) out.push_back(below);
    } else if (node->GetAttr("url") == url) {
      out.push_back(FolderName(set, from) + "/" + node->GetAttr("name"));
    }
  }
  return out;
}

class ConcurrentEditTest : public ::testing::Test {
 protected:
  ConcurrentEditTest() { service_.AddUser("alice", "secret"); }

  // Two computers sharing News{Paper} Wiki Box{}: the first uploads it,
  // the second downloads it.
  void Start() {
    a_ = std::make_unique<SyncClient>(service_, "alice", "secret", "m1");
    b_ = std::make_unique<SyncClient>(service_, "alice", "secret", "m2");
    a_->Edit([](NodeSet& s) {
      Add(s, "news", "ROOT", "News");
      Add(s, "paper", "news", "Paper", "http://paper.example/");
      Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/");
      Add(s, "box", "ROOT", "Box");
    });
    service_.SetReset("alice", true);
    a_->Sync();
    service_.SetReset("alice", false);
    ASSERT_EQ(b_->Run([](KestroveServer& s) { return s.Download(); }), 0);
  }
  std::string ServiceTree() {
    std::string out;
    service_.WithTree("alice", [&](NodeSet& set) { out = testing::Snapshot(set); });
    return out;
  }
  template <typename Fn>
  auto OnService(Fn fn) {
    decltype(fn(std::declval<NodeSet&>())) out{};
    service_.WithTree("alice", [&](NodeSet& set) { out = fn(set); });
    return out;
  }

  testing::FakeSyncService service_;
  std::unique_ptr<SyncClient> a_, b_;
};

TEST_F(ConcurrentEditTest, AnEditDuringASyncReachesTheServiceAndTheOtherComputer) {
  enum class When { BeforeThePut, BeforeTheWriteBack };
  struct Case {
    const char* name;
    When when;
    // The other computer's change, which this computer's sync writes back.
    std::function<void(NodeSet&)> service;
    // The user's edit on this computer's Favorites folder.
    std::function<void(const std::string& favorites)> edit;
    // Afterwards, on the service and both computers: Wiki, and the
    // favourites with the address "http://fresh.example/".
    const char* wiki;
    std::vector<std::string> fresh;
  };
  auto elsewhere = [](NodeSet& s) { Add(s, "other", "ROOT", "Other", "http://other.example/"); };
  auto rename = [](const std::string& fav) {
    fs::rename(fav + "/Wiki.url", fav + "/Wiki (user).url");
  };
  auto readdress = [](const std::string& fav) {
    std::string text = ReadText(fav + "/Wiki.url");
    const std::string from = "URL=http://wiki.example/";
    text.replace(text.find(from), from.size(), "URL=http://wiki.example/user");
    std::ofstream(fav + "/Wiki.url", std::ios::binary | std::ios::trunc) << text;
  };
  auto remove = [](const std::string& fav) { fs::remove(fav + "/Wiki.url"); };
  auto move = [](const std::string& fav) { fs::rename(fav + "/Wiki.url", fav + "/Box/Wiki.url"); };
  auto fresh = [](const std::string& fav) {
    std::ofstream(fav + "/Box/Fresh.url", std::ios::binary)
        << "[InternetShortcut]\r\nURL=http://fresh.example/\r\n";
  };
  auto renamedThere = [](NodeSet& s) {
    s.Execute(Command("update", "wiki", {{"name", "Wiki (there)"}}));
  };
  auto readdressedThere = [](NodeSet& s) {
    s.Execute(Command("update", "wiki", {{"url", "http://wiki.example/there"}}));
  };
  auto freshThere = [](NodeSet& s) { Add(s, "fresh2", "box", "Fresh", "http://fresh.example/"); };
  const When put = When::BeforeThePut, back = When::BeforeTheWriteBack;
  const Case cases[] = {
      {"rename", put, elsewhere, rename, "/Wiki (user) http://wiki.example/", {}},
      {"change of address", put, elsewhere, readdress, "/Wiki http://wiki.example/user", {}},
      {"delete", put, elsewhere, remove, "", {}},
      {"move to another folder", put, elsewhere, move, "Box/Wiki http://wiki.example/", {}},
      {"a new favourite", put, elsewhere, fresh, "/Wiki http://wiki.example/", {"Box/Fresh"}},
      {"rename", back, elsewhere, rename, "/Wiki (user) http://wiki.example/", {}},
      {"change of address", back, elsewhere, readdress, "/Wiki http://wiki.example/user", {}},
      {"delete", back, elsewhere, remove, "", {}},
      {"move to another folder", back, elsewhere, move, "Box/Wiki http://wiki.example/", {}},
      {"a new favourite", back, elsewhere, fresh, "/Wiki http://wiki.example/", {"Box/Fresh"}},
      // The other computer changed the same favourite.
      {"rename of one readdressed there",
       back,
       readdressedThere,
       rename,
       "/Wiki (user) http://wiki.example/there",
       {}},
      {"change of address of one renamed there",
       back,
       renamedThere,
       readdress,
       "/Wiki (there) http://wiki.example/user",
       {}},
      {"delete of one renamed there", back, renamedThere, remove, "", {}},
      {"move of one renamed there",
       back,
       renamedThere,
       move,
       "Box/Wiki (there) http://wiki.example/",
       {}},
      // The other computer added a favourite to the folder the user deletes:
      // it is kept, as when the two meet in the conflict pass.
      {"delete of a folder given a favourite there",
       back,
       [](NodeSet& s) { Add(s, "fresh2", "news", "Fresh", "http://fresh.example/"); },
       [](const std::string& fav) { fs::remove_all(fav + "/News"); },
       "/Wiki http://wiki.example/",
       {"/Fresh"}},
      {"a new favourite named as one made there",
       back,
       freshThere,
       fresh,
       "/Wiki http://wiki.example/",
       {"Box/Fresh", "Box/Fresh"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Format(
        "%s, %s", c.name,
        c.when == put ? "between the read and the put" : "between the put and the writing back"));
    service_.SetReset("alice", true);
    Start();
    b_->Edit(c.service);
    b_->Sync();
    ASSERT_EQ(b_->SyncStatus(), 105);

    SyncClient& a = *a_;
    const std::string favorites = a.favorites;
    bool edited = false;
    auto edit = [&] {
      edited = true;
      c.edit(favorites);
    };
    if (c.when == put) {
      // A change of this computer's own, so that its sync puts.
      a.Edit([](NodeSet& s) { Add(s, "local", "ROOT", "Local", "http://local.example/"); });
      service_.BeforeNext("/sync/bookmarks/putchanges", edit);
    } else {
      // The writing back starts by listing the Favorites folder, after the
      // listings of the sync's read.
      const int before = a.files.Calls(FaultyFileSystem::Op::List);
      a.Read();
      const int perRead = a.files.Calls(FaultyFileSystem::Op::List) - before;
      a.files.BeforeNth(FaultyFileSystem::Op::List, perRead + 1, edit);
    }
    a.Sync();
    a.files.Reset();
    EXPECT_TRUE(edited);
    EXPECT_EQ(a.SyncStatus(), 105) << a.bed.settings.GetValue("errordetails", "");
    auto now = a.Read();
    EXPECT_EQ(WikiOf(*now), c.wiki) << "the edit stays";

    // Two more syncs: the edit is everywhere.
    a.Sync();
    b_->Sync();
    EXPECT_EQ(a.SyncStatus(), 105);
    EXPECT_EQ(b_->SyncStatus(), 105);
    const std::string service = ServiceTree();
    EXPECT_EQ(testing::Snapshot(*a.Read()), service);
    EXPECT_EQ(testing::Snapshot(*b_->Read()), service);
    EXPECT_EQ(OnService([](NodeSet& s) { return WikiOf(s); }), c.wiki);
    EXPECT_EQ(OnService([](NodeSet& s) { return WithUrl(s, "http://fresh.example/"); }), c.fresh);
    if (c.when == put) {
      EXPECT_EQ(OnService([](NodeSet& s) { return WithUrl(s, "http://local.example/"); }),
                std::vector<std::string>{"/Local"});
    }
  }
}

// A folder deleted on the other computer that this computer cannot remove:
// its sync fails (101) rather than report a success its Favorites do not
// hold, and once the folder can go, it goes, and never comes back to the
// service under a new id.
TEST_F(ConcurrentEditTest, AFolderThatCannotBeRemovedFailsTheSyncAndNeverComesBack) {
  Start();
  b_->Edit([](NodeSet& s) { s.Execute(Command("delete", "news", {})); });
  b_->Sync();
  SyncClient& a = *a_;
  a.files.FailNth(FaultyFileSystem::Op::RemoveDirectory, 1, win32::ERROR_SHARING_VIOLATION, true);
  a.Sync();
  EXPECT_EQ(a.SyncStatus(), 101);
  EXPECT_NE(a.bed.settings.GetValue("errordetails", "").find("Error deleting local folder"),
            std::string::npos);
  EXPECT_EQ(testing::IdOf(*a.Read(), "News"), "") << "no read takes it for the user's";

  a.files.Reset();
  a.Sync();
  EXPECT_EQ(a.SyncStatus(), 105) << a.bed.settings.GetValue("errordetails", "");
  a.Sync();
  b_->Sync();
  const std::string service = ServiceTree();
  EXPECT_EQ(service.find("News"), std::string::npos);
  EXPECT_EQ(testing::Snapshot(*a.Read()), service);
  EXPECT_EQ(testing::Snapshot(*b_->Read()), service);
  EXPECT_FALSE(fs::exists(a.favorites + "/News"));
}

}  // namespace
}  // namespace tarvex
