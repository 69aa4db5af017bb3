#include <gtest/gtest.h>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/Thrown.h"
#include "ie/sync/WinEnginePlatform.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Command.h"
#include "nodeset/NodeSet.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::Thrown;

class WinEngineTest : public testing::SyncFixture {
 protected:
  WinEngineTest() {
    settings_.SetValue("userdir", dir_ / "user", true);
    settings_.SetValue("serverroot", "tarvex.com", true);
    saved_ = Engine::Current();
    InstallWindowsEngine(platform_);
  }
  ~WinEngineTest() override { Engine::Current() = saved_; }

  std::string Log() { return bed_.Log(); }

  WinEnginePlatform platform_{logger_, settings_, FileSystem::Native(), facts_};
  Engine saved_;
};

TEST_F(WinEngineTest, EngineErrorsAreVelkExceptionsWithTheProgramsIds) {
  NodeSet set;
  set.Do_insert("ROOT", {{"ntype", "folder"}});
  set.Do_insert("a", {{"pnid", "ROOT"}});
  struct Case {
    std::function<void()> call;
    int32_t id;
    std::string message;
  } cases[] = {
      {[&] { set.GetNode("zz", false, false, true, "nodes97"); }, -12,
       "Node not found: zz. Total nodes: 2. From: nodes97"},
      {[&] { set.AddNode(std::make_unique<Node>("a")); }, -40, "Node [a] already exists!"},
      {[&] { set.Execute(Command("copy", "a")); }, -10, "No method for action: copy"},
  };
  for (const Case& c : cases) {
    VelkException e = Thrown(c.call);
    EXPECT_EQ(e.source(), "internal");
    EXPECT_EQ(e.id(), c.id);
    EXPECT_EQ(e.message(), c.message);
  }
}

TEST_F(WinEngineTest, BaselineLivesInTheUserFolderAndFollowsTheLogLevel) {
  EXPECT_EQ(platform_.BaselinePath(), dir_ / "user/tarvex-baseline.json");
  NodeSet set;
  set.Do_insert("ROOT", {{"ntype", "folder"}});
  set.SaveToFile();
  const std::string text = testing::ReadAll(dir_ / "user/tarvex-baseline.json");
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_NE(text.find("\"version\":\"1.3.5\""), std::string::npos);
  EXPECT_NE(Log().find("Staring Do_insert for: ROOT"), std::string::npos);

  logger_.level = 1;
  set.Do_insert("quiet", {{"pnid", "ROOT"}});
  EXPECT_EQ(Log().find("Do_insert for: quiet"), std::string::npos);
}

TEST_F(WinEngineTest, BaselineMustBelongToTheSignedInUser) {
  platform_.SetUserNameSource([] { return std::string("alice"); });
  struct Case {
    const char* stored;
    bool loads;
  } cases[] = {
      {"alice@tarvex.com", true},
      {"alice@kvtarvex.com", true},  // written under the earlier domain
      {"bob@tarvex.com", false},
      {"alice@tarvex.com.evil", false},
  };
  for (const Case& c : cases) {
    Json::Value value;
    value["userHash"] = c.stored;
    value["currentRevision"] = "7";
    NodeSet set;
    if (c.loads) {
      set.LoadFromJSON(value);
      EXPECT_EQ(set.GetUserHash(), "alice@tarvex.com") << c.stored;
    } else {
      VelkException e = Thrown([&] { set.LoadFromJSON(value); });
      EXPECT_EQ(e.id(), -10);
      EXPECT_EQ(e.message(), std::string("Baseline's hash [") + c.stored +
                                 "] does not match current user [alice@tarvex.com]");
      EXPECT_EQ(set.GetRevision(), "");
    }
  }
}

TEST_F(WinEngineTest, FillerFollowsTheWindowsVersion) {
  EXPECT_EQ(platform_.FillerChar(), U'\u200B');
  facts_.version = {true, 5, 1};
  EXPECT_EQ(platform_.FillerChar(), U'\u00A0');
  VelkException e = Thrown([&] { platform_.MakeDatasource(); });
  EXPECT_EQ(e.id(), -10);
}

}  // namespace
}  // namespace tarvex
