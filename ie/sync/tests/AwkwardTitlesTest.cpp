// Titles a hostile (or merely careless) service can send: each one, once
// downloaded into the Favorites, must read back as what the baseline
// records, so no later sync uploads a rename nobody made.
#include <gtest/gtest.h>

#include <string>

#include "ie/sync/KestroveServer.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"

namespace tarvex {
namespace {

using testing::SyncClient;

TEST(AwkwardTitlesTest, ATitleFromTheServiceComesBackFromTheFavoritesAsTheBaselineHoldsIt) {
  struct Case {
    const char* what;
    std::string title;
  };
  const Case cases[] = {
      {"a NUL inside", std::string("Evil\0name", 9)},
      {"a NUL first", std::string("\0hidden", 7)},
      {"CR LF", "Evil\r\nname"},
      {"LF", "line\nfeed"},
      {"CR", "carriage\rreturn"},
      {"a line break alone", "\r\n"},
      {"TAB", "tab\there"},
      {"TABs at the ends", "\ttabbed\t"},
      {"other control characters", "bell\x07 esc\x1B del\x7F"},
      {"a single space", " "},
      {"white space at the ends", "  padded  "},
      {"the filler character alone", "\xE2\x80\x8B"},
      {"the filler character at the ends",
       "\xE2\x80\x8B"
       "filler\xE2\x80\x8B"},
      {"invalid UTF-8",
       "bad\xFF"
       "byte"},
      {"a cut UTF-8 sequence", "cut\xE6\x97"},
      {"a lone surrogate", "half\xED\xA0\x80pair"},
      {"the escape marker", "%tarvex-escaped%%0A"},
      {"a percent sign", "100% sure"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::FakeSyncService service;
    service.AddUser("alice", "secret");
    Json::Value seed(Json::arrayValue);
    seed.append(Command("insert", "ROOT", {{"ntype", "folder"}}).ToJSON());
    for (const char* ntype : {"bookmark", "folder"}) {
      Attributes args{{"pnid", "ROOT"}, {"name", c.title}, {"ntype", ntype}};
      if (std::string(ntype) == "bookmark") args["url"] = "http://awkward.example/";
      seed.append(Command("insert", std::string("awkward-") + ntype, std::move(args)).ToJSON());
    }
    service.SeedTree("alice", seed);
    // The service holds the title byte for byte, as a hostile one would
    // (its own engine would have cleaned a NUL or invalid UTF-8 away).
    service.WithTree("alice", [&](NodeSet& tree) {
      for (const char* id : {"awkward-bookmark", "awkward-folder"})
        tree.GetNode(id, false, false, true)->SetAttr("name", c.title);
    });

    SyncClient pc(service, "alice", "secret", "m1");
    ASSERT_EQ(pc.Run([](KestroveServer& s) { return s.Download(); }), 0);
    service.ClearRequests();
    pc.Sync();
    pc.Sync();
    EXPECT_EQ(pc.SyncStatus(), 105);
    for (const auto& r : service.Requests()) {
      if (r.path != "/sync/bookmarks/putchanges") continue;
      for (const Json::Value& command : r.json["commands"])
        EXPECT_FALSE(command["nid"].asString().rfind("awkward-", 0) == 0 &&
                     command["args"].isMember("name"))
            << "uploaded a rename: " << WriteCompactJson(command);
    }

    auto favorites = pc.Read();
    ScopedEngine engine(EngineFlavor::Windows(), pc.platform);
    NodeSet baseline;
    ASSERT_EQ(baseline.LoadFromFile(pc.BaselinePath()), NodeSet::LoadResult::Loaded);
    for (const char* id : {"awkward-bookmark", "awkward-folder"}) {
      SCOPED_TRACE(id);
      Node* mine = favorites->GetNode(id, false, true, true);
      Node* recorded = baseline.GetNode(id, false, true, true);
      ASSERT_TRUE(mine && recorded);
      // Equal by the comparison's own rules.
      const char32_t filler = pc.platform.FillerChar();
      EXPECT_EQ(NormalizedAttribute("name", mine->GetAttr("name"), filler),
                NormalizedAttribute("name", recorded->GetAttr("name"), filler))
          << "favorites [" << mine->GetAttr("name") << "] baseline [" << recorded->GetAttr("name")
          << "]";
    }
  }
}

}  // namespace
}  // namespace tarvex
