#include "app/sync/SyncData.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "app/core/KestroveLogger.h"
#include "platform/clock/Clock.h"
#include "platform/mac/Json.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using mac::ArrayRef;
using mac::DictRef;
using mac::kBookmarkEntity;
using mac::kFolderEntity;
using mac::kRecordEntityNameKey;
using mac::NewArray;
using mac::NewDict;
using mac::SyncChange;
using mac::Value;

const std::string kAssert = "Error: Assertion error!";

class SyncDataTest : public ::testing::Test {
 protected:
  // The log's lines without their dates ("Error: ...", "Info: ...").
  std::vector<std::string> Log() {
    std::vector<std::string> out;
    for (const std::string& line : testing::SplitLines(testing::ReadAll(path_)))
      out.push_back(line.substr(line.find(": ") + 2));
    return out;
  }
  SyncData Make() {
    return SyncData(&log_, [this] { return "N" + std::to_string(++ids_); });
  }
  DictRef From(const std::string& identifier, const DictRef& record) {
    SyncChange change(identifier, record);
    return SyncData::transformObjectFromSyncService(&change, log_);
  }
  DictRef To(const DictRef& node) { return SyncData::transformObjectToSyncService(node, log_); }

  testing::TempDir dir_;
  std::string path_ = dir_ / "tarvex.log.txt";
  FakeClock clock_{1796929433};
  std::vector<std::string> console_;
  KestroveLogger log_{path_, [this](const std::string& line) { console_.push_back(line); }, &clock_};
  int ids_ = 0;
};

DictRef Dict(const std::string& json) {
  std::optional<Value> value = mac::FromJSONText(json);
  EXPECT_TRUE(value && value->IsDict()) << json;
  return value ? value->AsDict() : NewDict();
}

std::string Json(const DictRef& dict) { return dict ? SyncData::objToJSON(dict) : "nil"; }

// Records of the sync service as client nodes: one row per record, the
// node expected as JSON (addresses compared as their text) and the log.
TEST_F(SyncDataTest, ChangesBecomeClientNodes) {
  const mac::Url search = *mac::Url::FromString("http://s/?q=%25s&r=%25s");
  const mac::Url feed = *mac::Url::FromString("feed://news/rss");
  struct Row {
    const char* what;
    DictRef record;
    std::string node;  // "nil" for none
    std::vector<std::string> log;
  } rows[] = {
      {"folder without children",
       NewDict({{kRecordEntityNameKey, kFolderEntity}, {"name", "Bar"}, {"position", 3},
                {"is tab group", false}, {"parent", NewArray({"MENU"})}}),
       R"({"children":[],"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","is tab group":"NO","name":"Bar","nid":"ID","ntype":"folder","parent":"MENU","position":"3"})",
       {}},
      {"tab group, and nid and attrs of the record replaced",
       NewDict({{kRecordEntityNameKey, kFolderEntity}, {"name", "Tabs"}, {"is tab group", true},
                {"children", NewArray({"C1"})}, {"nid", "old"}, {"attrs", "{}"}, {"parent", NewArray({"MENU"})}}),
       R"({"children":["C1"],"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","is tab group":"YES","name":"Tabs","nid":"ID","ntype":"folder","parent":"MENU"})",
       {}},
      {"the root record has no parent",
       NewDict({{kRecordEntityNameKey, kFolderEntity}, {"name", "BookmarksMenu"}}),
       R"({"children":[],"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","is tab group":"NO","name":"BookmarksMenu","nid":"ID","ntype":"folder"})",
       {}},
      {"search address back to %s",
       NewDict({{kRecordEntityNameKey, kBookmarkEntity}, {"name", "S"}, {"url", search}, {"parent", NewArray({"F"})}}),
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","name":"S","nid":"ID","ntype":"bookmark","parent":"F","url":"http://s/?q=%s&r=%s"})",
       {}},
      {"feed address",
       NewDict({{kRecordEntityNameKey, kBookmarkEntity}, {"url", feed}, {"attrs", ""}, {"parent", NewArray({"F"})}}),
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark","originaltype":"feed","parent":"F","url":"feed://news/rss"})",
       {}},
      {"feed address whose attributes say otherwise",
       NewDict({{kRecordEntityNameKey, kBookmarkEntity}, {"url", feed},
                {"attrs", R"({"originaltype":"rss","unid":"u7"})"}, {"parent", NewArray({"F"})}}),
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark","originaltype":"rss","parent":"F","unid":"u7","url":"feed://news/rss"})",
       {}},
      {"no position, no address, no name: left out",
       NewDict({{kRecordEntityNameKey, kBookmarkEntity}, {"parent", NewArray({"F"})}}),
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark","parent":"F"})",
       {}},
      {"two parents: the last one, with an assertion",
       NewDict({{kRecordEntityNameKey, kBookmarkEntity}, {"parent", NewArray({"A", "B"})}}),
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark","parent":"B"})",
       {kAssert, "Error: ([parents count] == 1)"}},
      {"an empty parent list: no parent, with an assertion",
       NewDict({{kRecordEntityNameKey, kBookmarkEntity}, {"parent", NewArray()}}),
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark"})",
       {kAssert, "Error: ([parents count] == 1)"}},
      {"unknown entity", NewDict({{kRecordEntityNameKey, "com.apple.bookmarks.Separator"}, {"name", "x"}}), "nil",
       {"Error: SyncData transformObjectFromSyncService unknown RecordEntityKey"}},
      {"no entity", NewDict({{"name", "x"}}), "nil",
       {"Error: SyncData transformObjectFromSyncService unknown RecordEntityKey"}},
      {"a deletion has no record", nullptr, "nil", {kAssert, "Error: transformObjectFromSyncService change"}},
  };
  size_t seen = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Json(From("ID", row.record)), row.node);
    std::vector<std::string> log = Log();
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(seen), log.end()), row.log);
    seen = log.size();
  }
  EXPECT_FALSE(SyncData::transformObjectFromSyncService(nullptr, log_));
}

// Client nodes as records for the sync service.
TEST_F(SyncDataTest, ClientNodesBecomeRecords) {
  struct Row {
    const char* what;
    std::string node;
    std::string record;  // addresses as their text; "nil" for none
    std::vector<std::string> log;
  } rows[] = {
      {"folder without children",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","name":"Bar","ntype":"folder","position":"12","parent":"MENU","nid":"n1"})",
       R"({"attrs":"{}","children":[],"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","is tab group":false,"name":"Bar","nid":"n1","parent":["MENU"],"position":12})",
       {}},
      {"tab group",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","name":"T","ntype":"folder","is tab group":"YES","children":["a","b"],"parent":"MENU"})",
       R"({"attrs":"{}","children":["a","b"],"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","is tab group":true,"name":"T","parent":["MENU"]})",
       {}},
      {"the root: no parent list at all",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","name":"BookmarksMenu","ntype":"folder","nid":"ROOT"})",
       R"({"attrs":"{}","children":[],"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Folder","is tab group":false,"name":"BookmarksMenu","nid":"ROOT"})",
       {}},
      {"a search address escaped once",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","name":"S","ntype":"bookmark","url":"http://s/?q=%s","parent":"F"})",
       R"({"attrs":"{}","com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","name":"S","parent":["F"],"url":"http://s/?q=%25s"})",
       {}},
      {"an escaped address with a space: escaped once, not twice",
       R"({"ntype":"bookmark","url":"http://a/%7Bx%7D y"})",
       R"({"attrs":"{}","name":" ","url":"http://a/%7Bx%7D%20y"})", {}},
      {"a search address with an escape: the escape stays as it is",
       R"({"ntype":"bookmark","url":"http://s/?q=%s&t=a%26b c"})",
       R"({"attrs":"{}","name":" ","url":"http://s/?q=%25s&t=a%26b%20c"})", {}},
      {"a valid address as it is", R"({"ntype":"bookmark","url":"http://a/b%20c?d=1"})",
       R"({"attrs":"{}","name":" ","url":"http://a/b%20c?d=1"})", {}},
      {"no address, no position, no name",
       R"({"ntype":"bookmark"})", R"({"attrs":"{}","name":" "})", {}},
      {"extra attributes, and nothing else, in attrs",
       R"({"ntype":"bookmark","url":"http://a/","unid":"u","description":"d","shortcuturl":"s","originalurl":"o","originaltype":"feed","other":"x"})",
       R"({"attrs":"{\"description\":\"d\",\"originaltype\":\"feed\",\"originalurl\":\"o\",\"shortcuturl\":\"s\",\"unid\":\"u\"}","name":" ","url":"http://a/"})",
       {}},
      {"unknown type", R"({"ntype":"separator","name":"x"})", "nil",
       {"Error: SyncData transformObjectToSyncService: Unable to deal with node type: separator"}},
      {"no type", R"({"name":"x"})", "nil",
       {"Error: SyncData transformObjectToSyncService: Unable to deal with node type: "}},
  };
  size_t seen = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DictRef record = To(Dict(row.node));
    EXPECT_EQ(Json(record), row.record);
    if (record && record->contains("url")) {
      EXPECT_TRUE(record->at("url").IsUrl());
    }
    std::vector<std::string> log = Log();
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(seen), log.end()), row.log);
    seen = log.size();
  }
  EXPECT_FALSE(To(nullptr));
  EXPECT_THAT(Log(), ::testing::Contains("Error: transformObjectToSyncService record"));
}

// Another client's record cannot reach anything of the node but the five
// extra attributes through "attrs"; what is not JSON, not an object or not
// text is logged and left out, and "attrs" never stays on the node.
TEST_F(SyncDataTest, AttrsCarryOnlyTheExtraAttributes) {
  const std::string parentless = R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","url":"http://a/"})";
  struct Row {
    std::string attrs;
    std::string node;
    std::vector<std::string> log;
  } rows[] = {
      {R"({"parent":"EVIL","ntype":"folder","children":["x"],"url":"http://evil/","nid":"ROOT","unid":"u1","description":"d"})",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","description":"d","nid":"ID","ntype":"bookmark","unid":"u1","url":"http://a/"})",
       {"Error: SyncData pullAttrsJsonFromRecord: ignored attribute children",
        "Error: SyncData pullAttrsJsonFromRecord: ignored attribute nid",
        "Error: SyncData pullAttrsJsonFromRecord: ignored attribute ntype",
        "Error: SyncData pullAttrsJsonFromRecord: ignored attribute parent",
        "Error: SyncData pullAttrsJsonFromRecord: ignored attribute url"}},
      {R"({"shortcuturl":3,"originalurl":"o"})",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark","originalurl":"o","url":"http://a/"})",
       {"Error: SyncData pullAttrsJsonFromRecord: ignored attribute shortcuturl"}},
      {"[1]",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark","url":"http://a/"})",
       {"Error: SyncData pullAttrsJsonFromRecord: attrs is not a JSON object: [1]"}},
      {"{\"unid\":",
       R"({"com.apple.syncservices.RecordEntityName":"com.apple.bookmarks.Bookmark","nid":"ID","ntype":"bookmark","url":"http://a/"})",
       {"Error: SyncData pullAttrsJsonFromRecord: attrs is not a JSON object: {\"unid\":"}},
  };
  size_t seen = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.attrs);
    DictRef record = Dict(parentless);
    (*record)["url"] = *mac::Url::FromString("http://a/");
    (*record)["attrs"] = row.attrs;
    EXPECT_EQ(Json(From("ID", record)), row.node);
    std::vector<std::string> log = Log();
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(seen), log.end()), row.log);
    seen = log.size();
  }
  // Attributes that are no text at all.
  DictRef record = Dict(parentless);
  (*record)["attrs"] = NewDict({{"unid", "u"}});
  DictRef node = From("ID", record);
  ASSERT_TRUE(node);
  EXPECT_FALSE(node->contains("attrs"));
  EXPECT_FALSE(node->contains("unid"));
}

// Any client node, through a record and back, keeps its title, position,
// flags, parent and extra attributes; its address becomes one the
// platform takes, naming the same bytes ("%s" placeholders kept), and a
// second trip changes nothing more: addresses never grow with each sync.
TEST_F(SyncDataTest, NodesSurviveTheRoundTripThroughRecords) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  const std::string pieces[] = {"a", "Z", "9", "/", "?", "=", "&", "%s", " ", "\xc3\xa9", "{", "\"", "%20", "%26", "#", "~"};
  const auto text = [&](size_t n) {
    std::string out;
    for (size_t i = rng() % n; i > 0; --i) out += pieces[rng() % std::size(pieces)];
    return out;
  };
  // The bytes an address names, its "%s" placeholders as they are.
  const auto bytes = [](const std::string& url) {
    return mac::UnescapePercent(ReplaceAll(url, "%s", "%25s")).value_or("not escaped: " + url);
  };
  for (int round = 0; round < 300; ++round) {
    const bool folder = rng() % 2;
    DictRef node = NewDict({{kRecordEntityNameKey, folder ? kFolderEntity : kBookmarkEntity},
                            {"ntype", folder ? "folder" : "bookmark"},
                            {"name", "n" + text(6)},
                            {"position", std::to_string(rng() % 50)},
                            {"nid", "ID"}});
    if (rng() % 4) (*node)["parent"] = "P" + std::to_string(rng() % 5);
    if (folder) {
      (*node)["children"] = NewArray({"c1", "c2"});
      (*node)["is tab group"] = rng() % 2 ? "YES" : "NO";
    } else {
      (*node)["url"] = "http://h/" + text(8);
    }
    for (const char* key : {"unid", "originalurl", "description", "shortcuturl", "originaltype"})
      if (rng() % 2) (*node)[key] = text(5);
    DictRef record = To(node);
    ASSERT_TRUE(record) << Json(node);
    DictRef back = From("ID", record);
    ASSERT_TRUE(back) << Json(record);
    if (!folder) {
      ASSERT_TRUE(record->contains("url")) << Json(node);
      const std::string url = back->at("url").AsString();
      EXPECT_EQ(bytes(url), bytes(node->at("url").AsString())) << url;
      (*node)["url"] = url;
    }
    EXPECT_EQ(Json(back), Json(node)) << Json(record);
    EXPECT_EQ(Json(From("ID", To(back))), Json(back)) << "a second trip";
  }
  EXPECT_THAT(Log(), IsEmpty());
}

// Storing nodes: ids given, reused from the queue map, "ROOT" for the
// parentless BookmarksMenu, new ones otherwise; names; the dirty flag;
// refusals that leave the store as it was.
TEST_F(SyncDataTest, StoringNodes) {
  SyncData data = Make();
  EXPECT_FALSE(data.isDirty());
  ASSERT_TRUE(data.addRecord(Dict(R"({"name":"BookmarksMenu"})"), "MENU"));
  EXPECT_TRUE(data.isDirty());
  ASSERT_TRUE(data.addRecord(Dict(R"({"name":"BookmarksMenu","parent":"MENU"})"), "SUB"));
  ASSERT_TRUE(data.addRecord(Dict(R"({"nid":"","position":"1"})"), "B1"));
  (*data.getQueueAppleIDtoNid())["B2"] = "queued-nid";
  ASSERT_TRUE(data.addRecord(Dict(R"({"name":"b2"})"), "B2"));
  ASSERT_TRUE(data.addRecord(Dict(R"({"name":"b3","nid":"own"})"), "B3"));
  EXPECT_EQ(Json(data.getNodes()),
            R"({"B1":{"name":" ","nid":"N2","position":"1"},"B2":{"name":"b2","nid":"queued-nid"},)"
            R"("B3":{"name":"b3","nid":"own"},"MENU":{"name":"BookmarksMenu","nid":"ROOT"},)"
            R"("SUB":{"name":"BookmarksMenu","nid":"N1","parent":"MENU"}})");
  const std::string before = Json(data.getNodes());

  // Refusals.
  EXPECT_FALSE(data.addRecord(Dict(R"({"name":"other"})"), "B3"));
  EXPECT_FALSE(data.changeRecord(Dict(R"({"name":"other"})"), "B9"));
  EXPECT_FALSE(data.changeRecord(nullptr, "B3"));
  EXPECT_FALSE(data.addOrChangeRecord(nullptr, "B3"));
  EXPECT_FALSE(data.enqueueAddOrChange(Dict(R"({"name":"no id"})")));
  EXPECT_FALSE(data.enqueueAddOrChange(Dict(R"({"nid":""})")));
  EXPECT_FALSE(data.enqueueAddOrChange(nullptr));
  EXPECT_FALSE(data.applySyncChange(Dict(R"({"name":"no id"})")));
  EXPECT_FALSE(data.enqueueDeleteNid("B9"));
  EXPECT_FALSE(data.removeRecordWithIdentifier("B9"));
  EXPECT_EQ(Json(data.getNodes()), before);
  EXPECT_THAT(*data.changedObjectsForEntityName(""), IsEmpty());
  EXPECT_THAT(Log(), ElementsAre("Error: SyncData addRecord already exists B3",
                                 "Error: SyncData changeRecord; record B9 does not exist",
                                 kAssert, "Error: changeRecord record",
                                 kAssert, "Error: addOrChangeRecord obj",
                                 kAssert, "Error: enqueueAddOrChange identifier",
                                 kAssert, "Error: enqueueAddOrChange identifier",
                                 kAssert, "Error: enqueueAddOrChange identifier",
                                 kAssert, "Error: enqueueAddOrChange identifier",
                                 "Error: SyncData enqueueDeleteNid: unable to find B9"));

  // A change merges over the stored node and keeps its id.
  ASSERT_TRUE(data.changeRecord(Dict(R"({"name":"renamed","url":"http://x/"})"), "B3"));
  EXPECT_EQ(Json(data.getNodeWithID("B3")), R"({"name":"renamed","nid":"own","url":"http://x/"})");
  // Both lookups are by record identifier.
  EXPECT_EQ(data.getNodeWithNID("B3"), data.getNodeWithID("B3"));
  EXPECT_FALSE(data.getNodeWithNID("own"));
  EXPECT_FALSE(data.getNidToAppleIDMap());

  // Deleting through the queue marks the store dirty.
  data.clearQueuedChanges();
  EXPECT_FALSE(data.isDirty());
  ASSERT_TRUE(data.enqueueDeleteNid("B3"));
  EXPECT_TRUE(data.isDirty());
  EXPECT_FALSE(data.getNodeWithID("B3"));
  EXPECT_EQ(Json(NewDict({{"d", data.getDeletedRecords()}})),
            R"({"d":[{"name":"renamed","nid":"own","url":"http://x/"}]})");
}

// Changes of the sync service applied: new nodes stored and queued (a
// known one logged as existing and still queued), deletions, and
// delete-all, which reaches every node of the entity whatever its "nid".
TEST_F(SyncDataTest, ApplyingChangesAndDeletingAllOfAnEntity) {
  SyncData data = Make();
  const auto bookmark = [](const std::string& nid) {
    return NewDict({{kRecordEntityNameKey, kBookmarkEntity}, {"nid", nid}, {"name", "b" + nid}});
  };
  ASSERT_TRUE(data.applySyncChange(bookmark("K1")));
  ASSERT_TRUE(data.applySyncChange(bookmark("K1")));
  EXPECT_THAT(Log(), ElementsAre("Error: SyncData addRecord already exists K1"));
  EXPECT_EQ(data.changedObjectsForEntityName(kBookmarkEntity)->size(), 2u);
  // Nodes stored without an id get one that is not their record identifier.
  for (const char* id : {"A", "B", "C"})
    ASSERT_TRUE(data.addRecord(NewDict({{kRecordEntityNameKey, kBookmarkEntity}}), id));
  ASSERT_TRUE(data.addRecord(NewDict({{kRecordEntityNameKey, kFolderEntity}, {"name", "F"}}), "F"));
  ASSERT_TRUE(data.enqueueAddOrChanges(NewArray({bookmark("K2"), Value(bookmark("K3"))})));
  EXPECT_FALSE(data.enqueueAddOrChanges(NewArray({bookmark("K4"), Value("not a node")})));
  EXPECT_TRUE(data.getNodeWithID("K4"));
  EXPECT_EQ(data.objectsForEntityName(kBookmarkEntity)->size(), 7u);
  EXPECT_EQ(SyncData::objectsInArray(NewArray({bookmark("x"), Value(3), Value(NewDict())}), kBookmarkEntity)->size(),
            1u);

  EXPECT_TRUE(data.applySyncDelete("K2"));
  EXPECT_FALSE(data.applySyncDelete("K2"));
  data.clearQueuedChanges();
  EXPECT_TRUE(data.applySyncDeleteAllForEntityName(kBookmarkEntity));
  EXPECT_TRUE(data.isDirty());
  EXPECT_THAT(*data.objectsForEntityName(kBookmarkEntity), IsEmpty());
  ASSERT_EQ(data.getNodes()->size(), 1u);
  EXPECT_TRUE(data.getNodeWithID("F"));
  EXPECT_TRUE(data.applySyncDeleteAllForEntityName(kBookmarkEntity)) << "none left is success";
}

// The queue map survives reset and not clearQueuedChanges; a copy made
// with initWithSyncData shares nothing with its original.
TEST_F(SyncDataTest, ResetClearAndCopies) {
  SyncData data = Make();
  ASSERT_TRUE(data.enqueueAddOrChange(Dict(R"({"nid":"A","children":["B"]})")));
  ASSERT_TRUE(data.enqueueDeleteNid("A"));
  ASSERT_TRUE(data.addRecord(Dict(R"({"nid":"A","children":["B"]})"), "A"));
  (*data.getQueueAppleIDtoNid())["X"] = "nx";
  data.setMetadataValue("v", "k");
  data.setMetadataValue(7, "n");

  SyncData copy = Make();
  copy.initWithSyncData(data);
  EXPECT_FALSE(copy.isDirty());
  EXPECT_THAT(*copy.getDeletedRecords(), IsEmpty());
  EXPECT_THAT(*copy.changedObjectsForEntityName(""), IsEmpty());
  EXPECT_EQ(Json(copy.getNodes()), Json(data.getNodes()));
  EXPECT_EQ(Json(copy.getMetadata()), R"({"k":"v","n":7})");
  data.getNodeWithID("A")->at("children").AsArray()->push_back("C");
  (*data.getQueueAppleIDtoNid())["Y"] = "ny";
  data.setMetadataValue(nullptr, "k");
  EXPECT_EQ(Json(copy.getNodeWithID("A")), R"({"children":["B"],"name":" ","nid":"A"})");
  EXPECT_EQ(Json(copy.getQueueAppleIDtoNid()), R"({"X":"nx"})");
  EXPECT_EQ(Json(copy.getMetadata()), R"({"k":"v","n":7})");
  EXPECT_EQ(Json(data.getMetadata()), R"({"n":7})");

  // reset: the store, metadata and queues go, the queue map stays; the
  // live containers stay the same containers.
  const DictRef nodes = data.getNodes();
  const ArrayRef deleted = data.getDeletedRecords();
  ASSERT_EQ(deleted->size(), 1u);
  EXPECT_TRUE(data.reset());
  EXPECT_FALSE(data.isDirty());
  EXPECT_THAT(*nodes, IsEmpty());
  EXPECT_THAT(*deleted, IsEmpty());
  EXPECT_THAT(*data.getMetadata(), IsEmpty());
  EXPECT_EQ(Json(data.getQueueAppleIDtoNid()), R"({"X":"nx","Y":"ny"})");
  data.clearQueuedChanges();
  EXPECT_THAT(*data.getQueueAppleIDtoNid(), IsEmpty());

  copy.setMetadata(NewDict({{"only", "this"}}));
  EXPECT_EQ(Json(copy.getMetadata()), R"({"only":"this"})");
  copy.setMetadata(nullptr);
  EXPECT_THAT(*copy.getMetadata(), IsEmpty());
  copy.markDirty();
  EXPECT_TRUE(copy.isDirty());
  copy.init();
  EXPECT_FALSE(copy.isDirty());
  EXPECT_THAT(*copy.getNodes(), IsEmpty());
}

// Folders' children: missing ones dropped and logged once, the rest by
// position as integers (none counts 0), equal positions in their order;
// the dirty flag is left alone.
TEST_F(SyncDataTest, SortAndCleanChildren) {
  SyncData data = Make();
  ASSERT_TRUE(data.addRecord(Dict(R"({"nid":"F","children":["a","gone","b","c","d","e",7]})"), "F"));
  ASSERT_TRUE(data.addRecord(Dict(R"({"nid":"G","children":[]})"), "G"));
  for (const auto& [id, position] : std::vector<std::pair<std::string, std::string>>{
           {"a", "10"}, {"b", "2"}, {"c", "-1"}, {"d", "2"}, {"e", ""}})
    ASSERT_TRUE(data.addRecord(position.empty() ? Dict(R"({"nid":"x"})") : NewDict({{"position", position}}), id));
  (*data.getNodeWithID("b"))["position"] = "02x";
  data.clearQueuedChanges();
  data.sortAndCleanChildren();
  data.sortAndCleanChildren();
  EXPECT_FALSE(data.isDirty());
  EXPECT_EQ(Json(NewDict({{"c", data.getNodeWithID("F")->at("children")}})), R"({"c":["c","e","b","d","a"]})");
  EXPECT_THAT(Log(), ElementsAre("Info: SyncData sortAndCleanChildren: removed missing child gone",
                                 "Info: SyncData sortAndCleanChildren: removed missing child 7"));
}

// Record identifiers are new UUIDs; JSON text has no line end.
TEST_F(SyncDataTest, IdentifiersAndJsonText) {
  const std::string a = SyncData::generateAppleID(), b = SyncData::generateAppleID();
  EXPECT_NE(a, b);
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"))) << a;
  EXPECT_EQ(SyncData::objToJSON(NewDict({{"b", NewArray({1, "é"})}, {"a", true}})),
            R"({"a":true,"b":[1,"\u00e9"]})");
}

}  // namespace
}  // namespace tarvex
