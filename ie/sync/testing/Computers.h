// What the tests of several computers of one user share: the tree they start
// from, the trees they compare, random edits that remember which bookmarks
// were added and deleted, and questions answered the same way every time.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "text/Text.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/SyncQuestions.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Command.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"

namespace tarvex::testing {

// Every node below `from`, depth first.
inline void Collect(NodeSet& set, std::vector<Node*>& out, const std::string& from = "ROOT") {
  for (const std::string& id : set.GetNode(from, false, false, true)->RawChildren()) {
    Node* node = set.GetNode(id, false, false, true);
    out.push_back(node);
    if (node->IsFolder()) Collect(set, out, id);
  }
}

// Answers every question the same way, and counts them.
class SteadyQuestions : public SyncQuestions {
 public:
  int ShowMessage(const std::string&, int button1, int, int) override { return button1; }
  void ShowUpdateAvailable(const std::string&, const std::string&, const std::string&) override {}
  int AskSyncFileRestored() override {
    ++asked;
    return kButtonSync;
  }
  std::string AskFolderPlacementConflict(const Node&, const Node&, const Node&) override {
    ++asked;
    return "local";
  }
  std::string AskVersionConflict(const Node&, const Node&) override {
    ++asked;
    return "local";
  }
  bool AskYesNo(const std::string&, const std::string&) override {
    ++asked;
    return false;
  }
  int asked = 0;
};

// The user's top tree on the service, as Snapshot describes it.
inline std::string ServiceTree(FakeSyncService& service, const std::string& user = "alice") {
  std::string out;
  service.WithTree(user, [&](NodeSet& set) { out = Snapshot(set); });
  return out;
}

// The user's tree at `revision`; nothing when the service has no tree there.
inline std::optional<std::string> ServiceTreeAt(FakeSyncService& service,
                                                const std::string& revision,
                                                const std::string& user = "alice") {
  std::string out;
  if (!service.WithTreeAt(user, revision, [&](NodeSet& set) { out = Snapshot(set); }))
    return std::nullopt;
  return out;
}

// The computer's Favorites as its sync reads them.
inline std::string Favorites(SyncClient& pc) {
  return Snapshot(*pc.Read());
}

// Every bookmark of the service's top tree: address -> how often it is there.
inline std::map<std::string, int> ServiceBookmarks(FakeSyncService& service,
                                                   const std::string& user = "alice") {
  std::map<std::string, int> count;
  service.WithTree(user, [&](NodeSet& s) {
    std::vector<Node*> all;
    Collect(s, all);
    for (Node* n : all)
      if (n->HasAttr("url")) ++count[n->GetAttr("url")];
  });
  return count;
}

// The lines of two snapshots that only one of them holds, for messages.
inline std::string SnapshotDifference(const std::string& mine, const std::string& theirs,
                                      const std::string& mineName, const std::string& theirsName) {
  auto lines = [](const std::string& text) {
    std::multiset<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      out.insert(text.substr(start, end - start));
    if (start < text.size()) out.insert(text.substr(start));
    return out;
  };
  const std::multiset<std::string> a = lines(mine), b = lines(theirs);
  std::string out;
  for (const std::string& line : a)
    if (a.count(line) > b.count(line)) out += "\n  only in " + mineName + ": " + line;
  for (const std::string& line : b)
    if (b.count(line) > a.count(line)) out += "\n  only in " + theirsName + ": " + line;
  return out.empty() ? "\n  (same lines, other order)" : out;
}

// `count` computers of one user sharing the tree News{Paper} Wiki Box{}:
// the first uploads it, the others download it (a download leaves
// `lastsync` set, so their next sync is a normal one). The user must exist.
inline std::vector<std::unique_ptr<SyncClient>> SharedTreeComputers(
    FakeSyncService& service, int count, const std::string& user = "alice",
    const std::string& password = "secret") {
  std::vector<std::unique_ptr<SyncClient>> out;
  for (int i = 0; i < count; ++i)
    out.push_back(std::make_unique<SyncClient>(service, user, password, Format("m%d", i)));
  out[0]->Edit([](NodeSet& s) {
    Add(s, "news", "ROOT", "News");
    Add(s, "paper", "news", "Paper", "http://paper.example/");
    Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/");
    Add(s, "box", "ROOT", "Box");
  });
  service.SetReset(user, true);
  out[0]->Sync();
  service.SetReset(user, false);
  for (int i = 1; i < count; ++i)
    EXPECT_EQ(out[i]->Run([](KestroveServer& s) { return s.Download(); }), 0);
  return out;
}

// Random edits of a computer's Favorites, as a user makes them: adds (of
// bookmarks and folders, with titles the file names cannot carry as they
// are), renames, moves (never into the node itself), deletes and reorders.
// Every bookmark added gets an address of its own, so `added` and `deleted`
// (addresses of every bookmark deleted, with the folders below a deleted
// folder) tell what must be on the service in the end.
class RandomEdits {
 public:
  explicit RandomEdits(std::mt19937& rng) : rng_(rng) {}

  // One to three changes.
  void Edit(SyncClient& pc) {
    pc.Edit([&](NodeSet& s) {
      for (int n = 1 + static_cast<int>(rng_() % 3); n > 0; --n) Change(s);
    });
  }

  std::set<std::string> added, deleted;  // bookmark addresses

 private:
  void Change(NodeSet& s) {
    static const std::vector<std::string> kTitles = {"Site",
                                                     "site",
                                                     "News",
                                                     "a:b?c",
                                                     "..",
                                                     "???",
                                                     std::string(75, 'x'),
                                                     ".profile",
                                                     "\xE6\x97\xA5\xE6\x9C\xAC",
                                                     "Foo__1",
                                                     "trailing...",
                                                     "CON"};
    std::vector<Node*> all;
    Collect(s, all);
    std::vector<std::string> folders{"ROOT"};
    for (Node* node : all)
      if (node->IsFolder()) folders.push_back(node->GetID());
    const std::string folder = folders[rng_() % folders.size()];
    Node* target = all.empty() ? nullptr : all[rng_() % all.size()];
    switch (rng_() % 6) {
      case 0:
      case 1: {  // add
        const std::string id = Format("e%d", ++next_);
        const std::string title = kTitles[rng_() % kTitles.size()];
        if (rng_() % 4 == 0) {
          Add(s, id, folder, title);
        } else {
          const std::string url = Format("http://b%d.example/", next_);
          Add(s, id, folder, title, url);
          added.insert(url);
        }
        break;
      }
      case 2:  // rename
        if (target)
          s.Execute(
              Command("update", target->GetID(), {{"name", kTitles[rng_() % kTitles.size()]}}));
        break;
      case 3: {  // move, never into itself
        if (!target) break;
        bool below = false;
        for (std::string up = folder; !up.empty() && up != "ROOT";
             up = s.GetNode(up, false, false, true)->GetAttr("pnid"))
          below = below || up == target->GetID();
        if (!below && folder != target->GetID())
          s.Execute(Command("move", target->GetID(), {{"pnid", folder}}));
        break;
      }
      case 4: {  // delete, remembering every address below
        if (!target) break;
        std::vector<Node*> gone{target};
        if (target->IsFolder()) Collect(s, gone, target->GetID());
        for (Node* g : gone)
          if (g->HasAttr("url")) deleted.insert(g->GetAttr("url"));
        s.Execute(Command("delete", target->GetID(), {}));
        break;
      }
      case 5: {  // reorder
        if (!target) break;
        Node* parent = s.GetNode(target->GetAttr("pnid"), false, false, true);
        const std::string before = parent->GetChildAt(rng_() % parent->GetChildLength());
        if (before != target->GetID())
          s.Execute(Command("reorder", target->GetID(), {{"bnid", before}}));
        break;
      }
    }
  }

  std::mt19937& rng_;
  int next_ = 0;
};

}  // namespace tarvex::testing
