#include <gtest/gtest.h>

#include <optional>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/sync/Account.h"
#include "ie/sync/ServiceRequests.h"
#include "ie/sync/WinEnginePlatform.h"
#include "ie/sync/testing/FakeTransport.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

class ServiceRequestsTest : public testing::SyncFixture {
 protected:
  ServiceRequestsTest() {
    bed_.credentialPrompt = nullptr;
    bed_.Start();
  }
  SyncContext& context() { return bed_.context(); }
};

TEST_F(ServiceRequestsTest, ProfileNamesNeedStatusZero) {
  struct Case {
    long http;
    const char* body;
    const char* profiles;  // nullptr: throws
  } cases[] = {
      {200, R"({"status":0,"profiles":{"Work":"1"}})", R"({"Work":"1"})"},
      {200, R"({"status":"0","profiles":{"Home":"2"}})", R"({"Home":"2"})"},
      {200, R"({"status":1,"profiles":{"Work":"1"}})", nullptr},
      {200, R"({"profiles":{"Work":"1"}})", nullptr},
      {200, R"([0])", nullptr},
      {500, "", nullptr},
  };
  for (const Case& c : cases) {
    transport_.Reply(c.body, c.http);
    if (c.profiles) {
      EXPECT_EQ(WriteCompactJson(GetProfileNames(context())), c.profiles) << c.body;
    } else {
      try {
        GetProfileNames(context());
        ADD_FAILURE() << c.body << ": no exception";
      } catch (const VelkException& e) {
        EXPECT_EQ(e.source(), "internal");
        EXPECT_EQ(e.id(), -10);
        EXPECT_EQ(e.message(), "Unable to get profiles from result");
      }
    }
    EXPECT_EQ(transport_.requests.back().url, "https://login.tarvex.com/user/profiles/getnames");
  }
}

TEST_F(ServiceRequestsTest, ServiceStatusIsTheWholeReply) {
  settings_.DeleteValue("machineid");
  transport_.Reply(R"({"status":0,"isreset":"true"})");
  EXPECT_EQ(WriteCompactJson(GetServiceStatus(context(), true)),
            R"({"isreset":"true","status":0})");
  EXPECT_EQ(transport_.requests[0].url, "https://sync.tarvex.com/sync/bookmarks/status");
  EXPECT_EQ(transport_.requests[0].body, R"({"manual":true})");
}

TEST_F(ServiceRequestsTest, SyncErrorPageAddressCannotBeBrokenByServerText) {
  settings_.SetValue("webserver", "www.tarvex.com", true);
  // Text from the server may hold anything: separators, line breaks, spaces,
  // non-ASCII.
  EXPECT_EQ(SyncErrorUrl(settings_, "409 Error from server: a&b=c\r\nX: y é", "al ice+1@x.com"),
            "https://www.tarvex.com/syncerr.php?msg=409%20Error%20from%20server%3A%20a%26b%3Dc"
            "%0D%0AX%3A%20y%20%C3%A9&username=al%20ice%2B1%40x.com&client=ie1.3.5");
  settings_.SetValue("webserver", "http://127.0.0.1:8080", true);
  EXPECT_EQ(SyncErrorUrl(settings_, "", ""),
            "http://127.0.0.1:8080/syncerr.php?msg=&username=&client=ie1.3.5");
  settings_.SetValue("syncerrurl", "http://127.0.0.1:9/err", true);
  EXPECT_EQ(SyncErrorUrl(settings_, "x", "y"),
            "http://127.0.0.1:9/err?msg=x&username=y&client=ie1.3.5");
  EXPECT_EQ(EncodeQueryComponent("AZaz09-._~ /?#[]@!$&'()*+,;=%"),
            "AZaz09-._~%20%2F%3F%23%5B%5D%40%21%24%26%27%28%29%2A%2B%2C%3B%3D%25");
}

class BookkeepingTest : public ServiceRequestsTest {
 protected:
  // ROOT{f{a g{b}} c}
  BookkeepingTest() : engine_(EngineFlavor::Windows(), platform_) {
    first_.Do_insert("ROOT", {{"ntype", "folder"}});
    first_.Do_insert("f", {{"pnid", "ROOT"}, {"ntype", "folder"}});
    first_.Do_insert("a", {{"pnid", "f"}});
    first_.Do_insert("g", {{"pnid", "f"}, {"ntype", "folder"}});
    first_.Do_insert("b", {{"pnid", "g"}});
    first_.Do_insert("c", {{"pnid", "ROOT"}});
  }

  static std::vector<std::string> Deleted(const Command& command) {
    std::vector<std::string> ids;
    for (size_t i = 0; i < command.DeletedNodeCount(); ++i)
      ids.push_back(command.GetDeletedNodeAt(i));
    return ids;
  }

  WinEnginePlatform platform_{logger_, settings_, FileSystem::Native(), facts_};
  ScopedEngine engine_;
  NodeSet first_;
};

TEST_F(BookkeepingTest, DeletedSubtreesRecordWhatTheOtherTreeLacks) {
  // The other side moved a out of f, then deleted f.
  NodeSet other(&first_);
  other.Execute(Command("move", "a", {{"pnid", "ROOT"}}));
  other.Execute(Command("delete", "f"));

  CommandSet commands;
  commands.Append(std::make_unique<Command>("delete", "f"));
  commands.Append(std::make_unique<Command>("delete", "c"));
  commands.Append(std::make_unique<Command>("update", "a", Attributes{{"name", "A"}}));
  commands.GetAt(2)->AddDeletedNode("stale");

  RecordDeletedSubtrees(commands, first_, other);
  EXPECT_EQ(Deleted(*commands.GetAt(0)), (std::vector<std::string>{"f", "g", "b"}));
  EXPECT_EQ(Deleted(*commands.GetAt(1)), std::vector<std::string>{});  // c is still there
  EXPECT_EQ(Deleted(*commands.GetAt(2)), std::vector<std::string>{});

  commands.GetAt(0)->flagged = true;
  commands.GetAt(2)->flagged = true;
  ResetBookkeeping(commands);
  for (const auto& command : commands.Commands()) {
    EXPECT_EQ(command->DeletedNodeCount(), 0u);
    EXPECT_FALSE(command->flagged);
  }
}

TEST_F(BookkeepingTest, DeleteOfANodeTheFirstTreeLacksFails) {
  NodeSet other;
  CommandSet commands;
  commands.Append(std::make_unique<Command>("delete", "zz"));
  try {
    RecordDeletedSubtrees(commands, first_, other);
    ADD_FAILURE() << "no exception";
  } catch (const VelkException& e) {
    EXPECT_EQ(e.message(), "Node not found: zz. Total nodes: 6. From: server1");
  }
}

}  // namespace
}  // namespace tarvex
