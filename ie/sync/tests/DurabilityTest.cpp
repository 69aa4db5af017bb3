// What a sync costs the disk, and in which order: the files of the
// Favorites are written without a flush each and made durable together,
// once, before the baseline that records them; a barrier that fails fails
// the sync and leaves the baseline and `revision` as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ie/foundation/core/VelkException.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/NodeSet.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using testing::Add;
using testing::FakeSyncService;
using testing::SyncClient;
using Op = FaultyFileSystem::Op;

constexpr int kFolders = 12;
constexpr int kPerFolder = 20;
constexpr int kBookmarks = kFolders * kPerFolder;
// What a sync may flush besides its one barrier, whatever the size of the
// tree: the baseline and the intermediate file (file and folder each), a
// barrier for each folder the store writes in.
constexpr int kFewSyncs = 10;

class DurabilityTest : public ::testing::Test {
 protected:
  DurabilityTest() { service.AddUser("alice", "secret"); }

  // A's Favorites: kFolders folders of kPerFolder shortcuts as a browser
  // leaves them (no id of ours yet), uploaded by a first sync, which writes
  // an id into each; the flushes that sync cost.
  int UploadTree() {
    for (int f = 0; f < kFolders; ++f) {
      const std::filesystem::path folder =
          std::filesystem::path(a.favorites) / Format("Folder %d", f);
      std::filesystem::create_directories(folder);
      for (int k = 0; k < kPerFolder; ++k)
        std::ofstream(folder / Format("Site %d.url", k), std::ios::binary)
            << Format("[InternetShortcut]\r\nURL=http://s%d-%d.example/\r\n", f, k);
    }
    service.SetReset("alice", true);
    a.Sync();
    service.SetReset("alice", false);
    EXPECT_EQ(a.SyncStatus(), 103) << a.bed.settings.GetValue("errordetails", "");
    return a.files.Syncs();
  }

  FakeSyncService service;
  SyncClient a{service, "alice", "secret", "m0"};
  SyncClient b{service, "alice", "secret", "m1"};
};

// Each file a sync writes would cost two flushes on its own; together they
// cost one barrier, whether the sync reads the Favorites (and writes an id
// into each new shortcut) or writes a whole tree into them.
TEST_F(DurabilityTest, ManyFilesWrittenInASyncCostAFewFlushesNotOneEach) {
  const int upload = UploadTree();
  EXPECT_GE(a.files.Calls(Op::Write), kBookmarks) << "the upload wrote no ids";
  EXPECT_GE(upload, 1) << "the upload made nothing durable";
  EXPECT_LE(upload, kFewSyncs);

  b.Sync();  // a new computer: the whole tree is written into its Favorites
  EXPECT_EQ(b.SyncStatus(), 105) << b.bed.settings.GetValue("errordetails", "");
  EXPECT_EQ(testing::Favorites(b), testing::Favorites(a));
  EXPECT_GE(b.files.Calls(Op::Write), kBookmarks + kFolders) << "the test writes too little";
  EXPECT_GE(b.files.Calls(Op::Sync), 1);
  EXPECT_LE(b.files.Syncs(), kFewSyncs);
}

// The barrier comes before the baseline: when it fails, nothing of the sync
// is recorded, the failure is reported, and the next sync completes it.
TEST_F(DurabilityTest, AFailedBarrierFailsTheSyncAndRecordsNothing) {
  UploadTree();
  b.files.FailNth(Op::Sync, 1, win32::ERROR_WRITE_FAULT, true);
  EXPECT_THROW(b.Sync(), VelkException);
  EXPECT_EQ(b.SyncStatus(), 101);
  EXPECT_NE(b.bed.settings.GetValue("errordetails", "").find("durable"), std::string::npos)
      << b.bed.settings.GetValue("errordetails", "");
  EXPECT_FALSE(std::filesystem::exists(b.BaselinePath()));
  EXPECT_EQ(b.bed.settings.GetValue("revision", ""), "");
  EXPECT_EQ(b.bed.settings.GetInt64("lastsync", 0), 0);

  b.files.Reset();
  b.Sync();
  EXPECT_EQ(b.SyncStatus(), 105) << b.bed.settings.GetValue("errordetails", "");
  EXPECT_EQ(testing::Favorites(b), testing::Favorites(a));
  EXPECT_EQ(testing::ServiceTree(service), testing::Favorites(a));
}

}  // namespace
}  // namespace tarvex
