#include "platform/mac/RecordStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "platform/mac/Json.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex::mac {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

DictRef Folder(const std::string& name, Array children, std::optional<std::string> parent) {
  auto record = NewDict({{kRecordEntityNameKey, kFolderEntity},
                         {"name", name},
                         {"position", 0},
                         {"is tab group", false},
                         {"children", NewArray(std::move(children))}});
  if (parent) (*record)["parent"] = NewArray({*parent});
  return record;
}

DictRef Bookmark(const std::string& name, const std::string& url, int position) {
  return NewDict({{kRecordEntityNameKey, kBookmarkEntity},
                  {"name", name},
                  {"position", position},
                  {"url", *Url::FromString(url)},
                  {"parent", NewArray({"MENU"})}});
}

TEST(MacRecordStore, KeepsRecordsPrivatelyWithThePlatformsKinds) {
  TempDir dir;
  const std::string path = dir / "sync/records.json";
  RecordStore store(path);
  ASSERT_EQ(store.Load(), "") << "a missing file is an empty store";
  EXPECT_TRUE(store.Records().empty());
  ASSERT_EQ(store.Push("MENU", Folder("BookmarksMenu", {"B1"}, std::nullopt)), "");
  ASSERT_EQ(store.Push("B1", Bookmark("Search", "http://s/?q=%25s", 2)), "");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  RecordStore again(path);
  ASSERT_EQ(again.Load(), "");
  ASSERT_EQ(again.Records().size(), 2u);
  const DictRef bookmark = again.Record("B1");
  ASSERT_TRUE(bookmark);
  EXPECT_TRUE(bookmark->at("url").IsUrl());
  EXPECT_EQ(bookmark->at("url").AsUrl().absoluteString(), "http://s/?q=%25s");
  EXPECT_TRUE(bookmark->at("position").IsInt());
  EXPECT_EQ(Value(again.Record("MENU")), Value(Folder("BookmarksMenu", {"B1"}, std::nullopt)));
  EXPECT_FALSE(again.Record("MENU")->contains("parent"));
  EXPECT_FALSE(again.Record("nothing"));

  ASSERT_EQ(again.Delete("B1"), "");
  ASSERT_EQ(again.Delete("B1"), "") << "deleting what is not there is no error";
  RecordStore third(path);
  ASSERT_EQ(third.Load(), "");
  EXPECT_EQ(third.Records().size(), 1u);
}

// Text that is no store, or a record whose fields have the wrong kinds, is
// refused with the record named; the store keeps what it held and a push
// of such a record writes nothing.
TEST(MacRecordStore, RefusesRecordsOfTheWrongKinds) {
  struct Case {
    const char* text;
    const char* named;
  } cases[] = {
      {"not json", "not a record store"},
      {R"({"records": [1]})", "not a record store"},
      {R"({"other": {}})", "not a record store"},
      {R"({"records": {"a": 3}})", "record \"a\" is not a dictionary"},
      {R"({"records": {"": {}}})", "without identifier"},
      {R"({"records": {"b": {"com.apple.syncservices.RecordEntityName": "com.apple.bookmarks.Bookmark", "url": "a b"}}})",
       "record \"b\": \"url\" is not an address"},
      {R"({"records": {"b": {"com.apple.syncservices.RecordEntityName": "com.apple.bookmarks.Bookmark", "url": 7}}})",
       "record \"b\": \"url\" is not an address"},
      {R"({"records": {"c": {"position": "3"}}})", "record \"c\": \"position\" is not an integer"},
      {R"({"records": {"c": {"position": 1.5}}})", "record \"c\": \"position\" is not an integer"},
      {R"({"records": {"d": {"is tab group": "YES"}}})", "record \"d\": \"is tab group\" is not a boolean"},
      {R"({"records": {"e": {"parent": "MENU"}}})", "record \"e\": \"parent\" is not a list"},
      {R"({"records": {"e": {"children": [1]}}})", "record \"e\": \"children\" is not a list"},
      {R"({"records": {"f": {"com.apple.syncservices.RecordEntityName": 1}}})", "is not text"},
  };
  TempDir dir;
  const std::string path = dir / "records.json";
  RecordStore store(path);
  ASSERT_EQ(store.Push("KEEP", Bookmark("kept", "http://k/", 0)), "");
  const std::string good = ReadAll(path);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WriteAll(path, c.text);
    const std::string error = store.Load();
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
    EXPECT_NE(error.find(path), std::string::npos) << error;
    ASSERT_TRUE(store.Record("KEEP"));

    std::string why;
    auto records = RecordsFromJSONText(c.text, &why);
    ASSERT_FALSE(records);
    if (auto parsed = FromJSONText(c.text); parsed && parsed->IsDict() && parsed->AsDict()->contains("records") &&
                                            parsed->AsDict()->at("records").IsDict()) {
      for (const auto& [id, record] : *parsed->AsDict()->at("records").AsDict()) {
        if (id.empty() || !record.IsDict()) continue;
        WriteAll(path, good);
        EXPECT_NE(store.Push(id, record.AsDict()), "");
        EXPECT_EQ(ReadAll(path), good);
        EXPECT_FALSE(store.Record(id));
      }
    }
  }
  EXPECT_NE(store.Push("", Bookmark("x", "http://x/", 0)), "");
  EXPECT_NE(store.Push("x", nullptr), "");
}

TEST(MacRecordStore, AFailedWriteChangesNeitherTheFileNorTheStore) {
  TempDir dir;
  const std::string path = dir / "records.json";
  RecordStore store(path);
  ASSERT_EQ(store.Push("A", Bookmark("a", "http://a/", 0)), "");
  const std::string before = ReadAll(path);
  {
    testing::FileSizeLimit limit(before.size() + 16);  // the disk fills up
    const std::string error = store.Push("B", Bookmark(std::string(100000, 'b'), "http://b/", 1));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_FALSE(store.Record("B"));
  }
  EXPECT_EQ(ReadAll(path), before);
  {
    WriteAll(dir / "blocker", "x");
    RecordStore blocked(dir / "blocker/records.json");
    EXPECT_NE(blocked.Push("A", Bookmark("a", "http://a/", 0)), "");
    EXPECT_TRUE(blocked.Records().empty());
  }
  // A snapshot that cannot be read is an error, not "everything is new".
  WriteAll(dir / "snap.json", "{\"records\": ");
  std::string error;
  EXPECT_FALSE(store.ChangesSince(dir / "snap.json", &error));
  EXPECT_NE(error.find("snap.json"), std::string::npos) << error;
}

// Whatever happens to the records after a snapshot, the changes since it,
// applied to the snapshot's records, give the current ones; unchanged
// records yield no change, and each change holds a copy of its record.
TEST(MacRecordStore, ChangesSinceASnapshotReplayToTheCurrentRecords) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 8; ++round) {
    TempDir dir;
    RecordStore store(dir / "records.json");
    const auto step = [&] {
      const std::string id = "R" + std::to_string(rng() % 8);
      if (rng() % 3 == 0)
        ASSERT_EQ(store.Delete(id), "");
      else
        ASSERT_EQ(store.Push(id, Bookmark("n" + std::to_string(rng() % 3), "http://h/" + id,
                                          static_cast<int>(rng() % 2))),
                  "");
    };
    for (int i = 0; i < 6; ++i) step();
    const std::string snapshot = dir / "snapshot.json";
    ASSERT_EQ(store.Snapshot(snapshot), "");
    std::map<std::string, DictRef> replayed = store.Records();
    for (int i = 0, n = static_cast<int>(rng() % 8); i < n; ++i) step();

    std::string error;
    auto changes = store.ChangesSince(snapshot, &error);
    ASSERT_TRUE(changes) << error;
    std::string last;
    for (const SyncChange& change : *changes) {
      const std::string& id = change.recordIdentifier();
      EXPECT_LT(last, id) << "one change per record, in identifier order";
      last = id;
      switch (change.type()) {
        case SyncChange::Type::Add:
          EXPECT_FALSE(replayed.contains(id));
          break;
        case SyncChange::Type::Modify:
          ASSERT_TRUE(replayed.contains(id));
          EXPECT_FALSE(Value(replayed[id]) == Value(change.record())) << id << " did not change";
          break;
        case SyncChange::Type::Delete:
          EXPECT_TRUE(replayed.contains(id));
          EXPECT_FALSE(change.record());
          replayed.erase(id);
          continue;
      }
      ASSERT_TRUE(change.record());
      EXPECT_NE(change.record(), store.Record(id)) << "a copy, not the store's own";
      replayed[id] = change.record();
    }
    ASSERT_EQ(replayed.size(), store.Records().size());
    for (const auto& [id, record] : store.Records()) EXPECT_EQ(Value(replayed[id]), Value(record)) << id;
  }
}

}  // namespace
}  // namespace tarvex::mac
