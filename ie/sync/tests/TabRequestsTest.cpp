// Publishing this computer's tabs and reading the other computers' against
// the loopback sync service, through the real HTTP transport.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ie/sync/OpenTabs.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Json.h"
#include "platform/tabs/WindowModel.h"

namespace tarvex {
namespace {

using testing::FakeFault;

constexpr const char* kWritePath = "/cloud/tabs/write";
constexpr const char* kReadPath = "/cloud/tabs/read";

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::string error;
  EXPECT_TRUE(ParseJson(text, &value, &error)) << text << ": " << error;
  return value;
}

// A browser frame showing the pages `descriptions` in one tab list.
WindowNode Browser(const std::vector<std::string>& descriptions) {
  std::vector<AccessibleNode> tabs;
  for (const std::string& d : descriptions) tabs.push_back(AccessibleNode::Object(37, d));
  WindowNode row = WindowNode::Make("DirectUIHWND");
  row.accessible = AccessibleNode::Object(
      10, "", {AccessibleNode::Object(kRolePageTabList, "", std::move(tabs))});
  return WindowNode::Make(
      "IEFrame", {WindowNode::Make("CommandBarClass",
                                   {WindowNode::Make("ReBarWindow32",
                                                     {WindowNode::Make("TabBandClass", {row})})})});
}

class TabRequestsTest : public ::testing::Test {
 protected:
  TabRequestsTest() {
    service_.AddUser("alice", "secret");
    for (const char* host : {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
      bed_.settings.SetValue(host, service_.BaseUrl(), true);
    bed_.settings.SetValue("machineid", "m1", true);
    bed_.settings.SetValue("computername", "Laptop", true);
    bed_.store.entries[service_.BaseUrl()] = {"alice", "secret"};
    EXPECT_TRUE(bed_.Start().SignIn(false));
    tabs_.emplace(bed_.context(), model_);
    service_.ClearRequests();
  }

  void ShowTabs(const std::vector<std::string>& descriptions) {
    model_.topLevel.clear();
    if (!descriptions.empty()) model_.topLevel.push_back(Browser(descriptions));
  }

  // The requests to `path` since the last call.
  std::vector<testing::LoggedRequest> Sent(const std::string& path) {
    std::vector<testing::LoggedRequest> sent;
    for (auto& request : service_.Requests())
      if (request.path == path) sent.push_back(request);
    service_.ClearRequests();
    return sent;
  }

  // The log lines written since the last call, without their times.
  std::vector<std::string> NewLogLines() {
    std::string log = bed_.Log();
    std::vector<std::string> lines;
    for (size_t start = logSeen_; start < log.size();) {
      size_t end = log.find('\n', start);
      std::string line = log.substr(start, end - start);
      size_t mark = line.find(": ");
      lines.push_back(mark == std::string::npos ? line : line.substr(mark + 2));
      start = end == std::string::npos ? log.size() : end + 1;
    }
    logSeen_ = log.size();
    return lines;
  }
  bool LoggedSinceLastLook(const std::string& line) {
    for (const std::string& l : NewLogLines())
      if (l == line) return true;
    return false;
  }

  testing::FakeSyncService service_;
  CurlTransport transport_;
  testing::SyncTestbed bed_{transport_};
  WindowModel model_;
  std::optional<OpenTabs> tabs_;  // over the signed-in account
  size_t logSeen_ = 0;
};

TEST_F(TabRequestsTest, WriteSendsTheListAndRemembersIt) {
  ShowTabs({"Tarvex\nhttps://www.tarvex.com/", "Local\nfile:///a.html"});
  bed_.clock.Set(1796860000);
  tabs_->WriteTabs(true, false);

  auto sent = Sent(kWritePath);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method, "POST");
  EXPECT_EQ(sent[0].json["mymid"], "m1");
  EXPECT_EQ(sent[0].json["manual"], true);
  const char* data = R"({"browserName":"ie","clientName":"Laptop","windows":[{"tabs":)"
                     R"([{"title":"Tarvex","url":"https://www.tarvex.com/"}]}]})";
  EXPECT_EQ(WriteCompactJson(sent[0].json["data"]), data);
  EXPECT_EQ(WriteCompactJson(service_.Tabs("alice")["m1"]), data);
  EXPECT_EQ(WriteCompactJson(tabs_->LastSent()),
            R"([{"tabs":[{"title":"Tarvex","url":"https://www.tarvex.com/"}]}])");
  EXPECT_EQ(bed_.settings.GetInt64("lasttabsync", 0), 1796860000);
  EXPECT_TRUE(LoggedSinceLastLook("Tab sync data sent"));
}

TEST_F(TabRequestsTest, AnUnchangedListIsSkippedUnlessForced) {
  ShowTabs({"A\nhttp://a/"});
  tabs_->WriteTabs(false, false);
  ASSERT_EQ(Sent(kWritePath).size(), 1u);
  NewLogLines();

  tabs_->WriteTabs(false, false);
  EXPECT_TRUE(Sent(kWritePath).empty());
  EXPECT_TRUE(LoggedSinceLastLook(
      R"(No tab changes to sync, skipping: [{"tabs":[{"title":"A","url":"http://a/"}]}])"));

  tabs_->WriteTabs(false, true);
  EXPECT_EQ(Sent(kWritePath).size(), 1u);

  ShowTabs({"A\nhttp://a/", "B\nhttp://b/"});
  tabs_->WriteTabs(false, false);
  EXPECT_EQ(Sent(kWritePath).size(), 1u);
}

TEST_F(TabRequestsTest, AnEmptyListGoesOutOnceAfterTabsWerePublished) {
  // Nothing published yet: an empty list is not worth a request.
  ShowTabs({"Local\nfile:///a.html"});
  tabs_->WriteTabs(false, false);
  EXPECT_TRUE(Sent(kWritePath).empty());
  EXPECT_TRUE(LoggedSinceLastLook("No tab changes to sync, skipping: []"));

  ShowTabs({"A\nhttp://a/"});
  tabs_->WriteTabs(false, false);
  EXPECT_EQ(Sent(kWritePath).size(), 1u);

  // Every tab closed: other computers must stop showing them.
  ShowTabs({});
  tabs_->WriteTabs(false, false);
  auto sent = Sent(kWritePath);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(WriteCompactJson(sent[0].json["data"]["windows"]), "[]");
  EXPECT_EQ(WriteCompactJson(service_.Tabs("alice")["m1"]["windows"]), "[]");

  tabs_->WriteTabs(false, false);
  EXPECT_TRUE(Sent(kWritePath).empty());
  tabs_->WriteTabs(false, true);
  EXPECT_EQ(Sent(kWritePath).size(), 1u);
}

TEST_F(TabRequestsTest, AFailedWriteIsNotRemembered) {
  struct Case {
    const char* name;
    FakeFault fault;
    std::vector<std::string> lines;  // after the request's own lines
  } cases[] = {
      {"status 1", FakeFault::Reply(200, R"({"status":1})"), {"Error sending tabs to server: 1"}},
      {"a text status",
       FakeFault::Reply(200, R"({"status":"error"})"),
       {"Error sending tabs to server: error"}},
      {"not an object", FakeFault::Reply(200, R"([0])"), {"Error sending tabs to server: [0]"}},
      {"HTTP 500", FakeFault::Reply(500, ""), {"Error sending tabs to server: 500"}},
      {"no reply", FakeFault::Drop(), {"Error sending tabs to server: -1"}},
      {"a 503",
       FakeFault::Reply(200, R"({"status":503,"backoff_delay":5})"),
       {"Velk Exception while sending tab data",
        "TarvexException [source: network, id: -61]: Server 503: wants us to back off for 5 "
        "seconds"}},
      {"a reply that does not parse",
       FakeFault::Reply(200, "{"),
       {"Velk Exception while sending tab data",
        "TarvexException [source: network, id: -10]: Couldn't parse response body from server: "
        "{"}},
  };
  ShowTabs({"A\nhttp://a/"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.QueueFault(kWritePath, c.fault);
    NewLogLines();
    tabs_->WriteTabs(false, false);
    std::vector<std::string> lines = NewLogLines();
    ASSERT_GE(lines.size(), c.lines.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - c.lines.size(), lines.end()), c.lines);
    EXPECT_TRUE(tabs_->LastSent().isNull());
    EXPECT_FALSE(bed_.settings.HasValue("lasttabsync"));
  }
  // The next call sends the same list again, and a reply without a status
  // counts as success.
  service_.QueueFault(kWritePath, FakeFault::Reply(200, "{}"));
  tabs_->WriteTabs(false, false);
  EXPECT_TRUE(LoggedSinceLastLook("Tab sync data sent"));
  EXPECT_FALSE(tabs_->LastSent().isNull());
}

TEST_F(TabRequestsTest, NothingIsReadOrSentWhenTabSyncIsOffOrTheWindowsCannotBeRead) {
  ShowTabs({"A\nhttp://a/"});
  bed_.settings.SetBool("tabsync", false, true);
  NewLogLines();
  tabs_->WriteTabs(false, true);
  EXPECT_EQ(NewLogLines(), (std::vector<std::string>{"Tab sync disabled, skipping"}));
  EXPECT_TRUE(Sent(kWritePath).empty());

  bed_.settings.SetBool("tabsync", true, true);
  model_.enumerationError = win32::ERROR_ACCESS_DENIED;
  tabs_->WriteTabs(false, true);
  EXPECT_EQ(NewLogLines(),
            (std::vector<std::string>{"Error while getting IE open tab list, nothing to sync"}));
  EXPECT_TRUE(Sent(kWritePath).empty());
}

TEST_F(TabRequestsTest, ReadGroupsTheOtherMachinesByClientName) {
  service_.SetTabs("alice", "m1", Parse(R"({"clientName":"Laptop","windows":[{"tabs":[{}]}]})"));
  service_.SetTabs("alice", "m2",
                   Parse(R"({"clientName":"Desktop","browserName":"ie",)"
                         R"("windows":[{"tabs":[{"url":"http://a/"},{"url":"http://b/"}]},)"
                         R"({"tabs":[{"url":"http://c/"}]}]})"));
  service_.SetTabs("alice", "m3",
                   Parse(R"({"clientName":"Desktop","windows":[{"tabs":[{"url":"http://d/"}]}]})"));
  service_.SetTabs("alice", "m4", Parse(R"({"windows":[{"tabs":[{"url":"http://e/"}]}]})"));
  service_.SetTabs("alice", "m5", Parse(R"({"clientName":"Phone"})"));

  Json::Value result = tabs_->ReadTabs(true);

  auto sent = Sent(kReadPath);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].json["mymid"], "m1");
  EXPECT_EQ(sent[0].json["manual"], true);
  Json::Value expected = Parse(R"({
    "Desktop": {"length": 4, "m2": {"length": 3}, "m3": {"length": 1},
                "mids": {"m2": {"clientName":"Desktop","browserName":"ie",
                                "windows":[{"tabs":[{"url":"http://a/"},{"url":"http://b/"}]},
                                           {"tabs":[{"url":"http://c/"}]}]},
                         "m3": {"clientName":"Desktop","windows":[{"tabs":[{"url":"http://d/"}]}]}}},
    "Phone": {"length": 0, "m5": {"length": 0}, "mids": {"m5": {"clientName":"Phone"}}},
    "Unknown": {"length": 1, "m4": {"length": 1},
                "mids": {"m4": {"windows":[{"tabs":[{"url":"http://e/"}]}]}}}
  })");
  EXPECT_EQ(WriteCompactJson(result), WriteCompactJson(expected));
}

TEST_F(TabRequestsTest, ReadOfOnlyThisMachineGivesAnEmptyObject) {
  ShowTabs({"A\nhttp://a/"});
  tabs_->WriteTabs(false, false);
  Json::Value result = tabs_->ReadTabs(false);
  EXPECT_TRUE(result.isObject());
  EXPECT_EQ(result.size(), 0u);
}

TEST_F(TabRequestsTest, InvalidReadRepliesGiveNull) {
  struct Case {
    FakeFault fault;
    std::vector<std::string> lines;  // the last lines logged
  } cases[] = {
      {FakeFault::Reply(200, R"({"status":"0"})"), {"Invalid tab list response: 0"}},
      {FakeFault::Reply(200, R"({"status":0,"mids":null})"), {"Invalid tab list response: 0"}},
      {FakeFault::Reply(200, R"({"status":1,"mids":{}})"), {"Invalid tab list response: 1"}},
      {FakeFault::Reply(200, R"({"mids":{}})"), {"Invalid tab list response: "}},
      {FakeFault::Reply(404, ""), {"Invalid tab list response: 404"}},
      {FakeFault::Reply(200, R"({"status":0,"mids":["m2"]})"),
       {"Invalid tab list response: mids is not an object: [\"m2\"]"}},
      {FakeFault::Reply(200, R"({"status":444})"),
       {"Tarvex Error while reading tabs:",
        "TarvexException [source: network, id: -62]: Server 444; servers are missing data for "
        "current user."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines[0]);
    service_.QueueFault(kReadPath, c.fault);
    NewLogLines();
    EXPECT_TRUE(tabs_->ReadTabs(false).isNull());
    std::vector<std::string> lines = NewLogLines();
    ASSERT_GE(lines.size(), c.lines.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - c.lines.size(), lines.end()), c.lines);
  }
}

TEST_F(TabRequestsTest, EntriesThatCannotBeShownAreSkippedNotTheWholeRead) {
  const char* good = R"({"clientName":"Desktop","windows":[{"tabs":[{"url":"http://a/"}]}]})";
  service_.SetTabs("alice", "m2", Parse(good));
  service_.SetTabs("alice", "length", Parse(good));
  service_.SetTabs("alice", "mids", Parse(good));
  service_.SetTabs("alice", "t1", Parse(R"("just text")"));
  service_.SetTabs("alice", "t2", Parse(R"({"clientName":{"first":"x"}})"));
  service_.SetTabs("alice", "t3", Parse(R"({"clientName":"Desktop","windows":{"tabs":[]}})"));
  service_.SetTabs("alice", "t4", Parse(R"({"clientName":"Desktop","windows":[[]]})"));
  service_.SetTabs("alice", "t5", Parse(R"({"clientName":"Desktop","windows":[{"tabs":7}]})"));
  NewLogLines();

  Json::Value result = tabs_->ReadTabs(false);

  EXPECT_EQ(WriteCompactJson(result),
            WriteCompactJson(Parse(std::string(R"({"Desktop":{"length":1,"m2":{"length":1},)") +
                                   R"("mids":{"m2":)" + good + "}}}")));
  std::vector<std::string> lines = NewLogLines();
  std::vector<std::string> skips;
  for (const std::string& line : lines)
    if (line.starts_with("Skipping")) skips.push_back(line);
  EXPECT_EQ(skips, (std::vector<std::string>{
                       "Skipping the tabs of machine [length]: its id is a reserved name",
                       "Skipping the tabs of machine [mids]: its id is a reserved name",
                       "Skipping the tabs of machine [t1]: the entry is not an object",
                       "Skipping the tabs of machine [t2]: its clientName is not text",
                       "Skipping the tabs of machine [t3]: its windows is not a list",
                       "Skipping the tabs of machine [t4]: a window is not an object",
                       "Skipping the tabs of machine [t5]: a window's tabs is not a list",
                   }));
}

}  // namespace
}  // namespace tarvex
