#include <gtest/gtest.h>

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"

namespace tarvex {
namespace {

TEST(EngineSmoke, ExampleTreeRoundTrips) {
  testing::TestEnginePlatform platform;
  ScopedEngine engine(EngineFlavor::Windows(), platform);
  const char* commands =
      R"([{"action":"insert","nid":"ROOT","args":{"name":"Favorites","ntype":"folder"}},
          {"action":"insert","nid":"a1","args":{"pnid":"ROOT","name":"Example","url":"http://example.com/","created":1262304000,"modified":0}},
          {"action":"insert","nid":"f2","args":{"pnid":"ROOT","name":"Links","ntype":"folder"}},
          {"action":"insert","nid":"b3","args":{"pnid":"f2","name":"News","url":"http://news.example/","tags":["daily","world"]}},
          {"action":"update","nid":"ROOT","args":{"tnid":"f2"}}])";
  Json::Value value;
  ASSERT_TRUE(ParseJson(commands, &value, nullptr));
  NodeSet set;
  set.Execute(CommandSet(value));
  set.SetRevision("1042");
  set.SetUserHash("alice@example.com");
  EXPECT_EQ(
      WriteCompactJson(set.ToJSON()),
      R"({"_nodes":[{"children":["a1","f2"],"name":"Favorites","nid":"ROOT","ntype":"folder","tnid":"f2"},{"created":1262304000,"modified":0,"name":"Example","nid":"a1","ntype":"bookmark","pnid":"ROOT","url":"http://example.com/"},{"name":"News","nid":"b3","ntype":"bookmark","pnid":"f2","tags":"daily,world","url":"http://news.example/"},{"children":["b3"],"name":"Links","nid":"f2","ntype":"folder","pnid":"ROOT"}],"currentRevision":"1042","userHash":"alice@example.com","version":"1.3.5"})");
  for (const char* id : {"b3", "a1", "f2", "ROOT"})
    set.GetNode(id, false, false, true)->ComputeHash(set);
  EXPECT_EQ(set.GetNode("ROOT", false, false, true)->GetHash(), "3f35f662be39d1f40f3fb6a471747ff9");
  EXPECT_EQ(set.GetNode("f2", false, false, true)->GetHash(), "30633a20ea093e809d623a5b12a29396");
}

}  // namespace
}  // namespace tarvex
