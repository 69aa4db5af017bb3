// The loopback service keeping its state in a file: a change it cannot
// write fails the request that made it, the file keeps what it held, and the
// service goes back to that, so the computer's next sync sends the change
// again and the file and the service agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ie/foundation/core/VelkException.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/NodeSet.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::Add;
using testing::FakeSyncService;
using testing::IdOf;
using testing::ReadAll;
using testing::SyncClient;
using testing::TempDir;
using Op = FaultyFileSystem::Op;

TEST(ServiceState, AChangeThatCannotBeWrittenFailsItsRequestAndIsUndone) {
  TempDir dir;
  const std::string state = dir / "state.json";
  FaultyFileSystem files(FileSystem::Native());
  FakeSyncService service;
  service.AddUser("alice", "secret");
  service.SetReset("alice", true);

  // A first write that fails leaves no file behind.
  files.FailNth(Op::Write, 1, win32::ERROR_DISK_FULL);
  const std::string error = service.KeepStateIn(state, files);
  EXPECT_NE(error.find(state + ": "), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(state));
  ASSERT_EQ(service.KeepStateIn(state, files), "");

  SyncClient a(service, "alice", "secret", "m1");
  a.Edit([](NodeSet& s) { Add(s, "wiki", "ROOT", "Wiki", "http://wiki.example/"); });
  a.Sync();
  ASSERT_EQ(a.SyncStatus(), 103) << a.bed.settings.GetValue("errordetails", "");
  const std::string before = ReadAll(state);
  ASSERT_NE(before.find("wiki.example"), std::string::npos);

  a.Edit([](NodeSet& s) { Add(s, "news", "ROOT", "News", "http://news.example/"); });
  files.FailNth(Op::Write, 1, win32::ERROR_DISK_FULL);
  EXPECT_THROW(a.Sync(), VelkException);  // the service's error, HTTP 500
  EXPECT_EQ(a.SyncStatus(), 101);
  EXPECT_EQ(a.bed.settings.GetValue("revision", ""), "1");
  EXPECT_EQ(ReadAll(state), before);
  EXPECT_EQ(service.TopRevision("alice"), "1");
  service.WithTree("alice", [](NodeSet& s) { EXPECT_EQ(IdOf(s, "News"), ""); });

  a.Sync();
  EXPECT_EQ(a.SyncStatus(), 105) << a.bed.settings.GetValue("errordetails", "");
  EXPECT_EQ(service.TopRevision("alice"), "2");
  FakeSyncService restarted;
  ASSERT_EQ(restarted.LoadState(state), "");
  EXPECT_EQ(restarted.TopRevision("alice"), "2");
  restarted.WithTree("alice", [](NodeSet& s) { EXPECT_NE(IdOf(s, "News"), ""); });
}

}  // namespace
}  // namespace tarvex
