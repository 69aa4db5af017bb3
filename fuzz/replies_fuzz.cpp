// The service's replies as the sync flow reads them. A computer that shares
// a tree with the loopback service runs one sync (a normal sync with a
// change of its own, the same without its baseline, a download or a
// repair); the input is a byte that picks the sync and a series of replies
// split at NUL bytes, each a byte that picks the request it answers and
// the body the service sends in place of its own answer.
//
// Whatever the replies hold, the sync neither crashes nor throws anything
// but the client's own error, ends with a recorded outcome, and when it
// reports success its Favorites are its baseline; afterwards, with the
// service answering for itself again, the next syncs recover: the second
// succeeds with the Favorites, the baseline and the service in agreement.
#include <httplib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/SyncChecks.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Utilities.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using tarvex::fuzz::Check;
using testing::SyncClient;

const char* const kPaths[] = {"/login/signtoken",           "/sync/bookmarks/status",
                              "/sync/bookmarks/download",   "/sync/bookmarks/getchanges",
                              "/sync/bookmarks/putchanges", "/sync/bookmarks/upload",
                              "/sync/bookmarks/getdiffs",   "/user/profiles/getnames"};

struct Outcome {
  int status = 0;
  std::string details, thrown, revision;
};

Outcome RunOnce(SyncClient& pc, int kind) {
  Outcome out;
  pc.bed.settings.SetInt("syncstatus", 0, false);
  pc.bed.settings.DeleteValue("errordetails");
  try {
    switch (kind) {
      case 2:
        pc.Run([](KestroveServer& s) { return s.Download(); });
        break;
      case 3:
        pc.Run([](KestroveServer& s) { s.Repair(); });
        break;
      default:
        pc.Sync();
    }
  } catch (const VelkException& e) {
    out.thrown = e.what();
  }
  out.status = pc.SyncStatus();
  out.details = pc.bed.settings.GetValue("errordetails", "");
  out.revision = pc.bed.settings.GetValue("revision", "");
  return out;
}

std::string Describe(const Outcome& out) {
  return Format("status %d, details \"%s\", thrown \"%s\", revision \"%s\"", out.status,
                out.details, out.thrown, out.revision);
}

}  // namespace

int TestOne(const uint8_t* data, size_t size) {
  std::string_view bytes = fuzz::Bytes(data, size);
  if (bytes.empty()) return 0;
  const int kind = static_cast<uint8_t>(bytes[0]) % 4;

  SeedNodeIdCounter(1000);
  testing::FakeSyncService service;
  service.AddUser("alice", "secret");
  auto pcs = testing::SharedTreeComputers(service, 1);
  SyncClient& pc = *pcs[0];
  testing::SteadyQuestions steady;
  pc.ask = &steady;
  if (kind <= 1)
    pc.Edit([](NodeSet& s) { testing::Add(s, "new", "ROOT", "New", "http://new.example/"); });
  if (kind == 1) std::filesystem::remove(pc.BaselinePath());

  std::map<std::string, int> queued;
  size_t start = 1;
  for (int n = 0; start <= bytes.size() && n < 16; ++n) {
    size_t end = bytes.find('\0', start);
    std::string_view part =
        bytes.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!part.empty()) {
      const std::string path = kPaths[static_cast<uint8_t>(part[0]) % std::size(kPaths)];
      service.QueueFault(path, testing::FakeFault::Reply(200, std::string(part.substr(1))));
      ++queued[path];
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  service.ClearRequests();

  const Outcome out = RunOnce(pc, kind);
  // A repair that succeeds reports what it did: 109 repaired, or 106 when
  // it also put back local nodes the service's differences did not list
  // (a reply that lists none of a folder's children takes them all out and
  // puts them back). Its Favorites are then the repaired tree and its
  // baseline the tree of the stored revision, which differ until the next
  // sync takes the repair's changes as local ones; so only the recovery
  // below is checked for it.
  const bool repaired = kind == 3 && (out.status == 106 || out.status == 109) && out.thrown.empty();
  // A download that succeeds reports 104 (downloaded), any other sync 105.
  const bool succeeded =
      out.thrown.empty() && (out.status == 105 || (kind == 2 && out.status == 104));
  const bool recorded =
      succeeded || (out.status == 101 && !out.details.empty()) || out.status == 102 || repaired;
  Check(recorded, "a sync ends with a recorded outcome", Describe(out));
  if (succeeded) {
    const std::optional<std::string> baseline = testing::BaselineTree(pc);
    Check(baseline.has_value() && *baseline == testing::Favorites(pc),
          "a sync that reports success leaves its Favorites as its baseline", Describe(out));
  }

  // The replies the sync did not take are taken now, so the service answers
  // for itself from here on.
  std::map<std::string, int> asked;
  for (const auto& request : service.Requests()) ++asked[request.path];
  httplib::Client client("127.0.0.1", service.Port());
  for (const auto& [path, count] : queued)
    for (int i = asked[path]; i < count; ++i) client.Post(path, "{}", "application/json");

  RunOnce(pc, 0);
  const Outcome again = RunOnce(pc, 0);
  Check(again.status == 105 && again.thrown.empty(), "the second sync after the replies succeeds",
        Describe(again));
  const std::optional<std::string> at = testing::ServiceTreeAt(service, again.revision);
  Check(at.has_value() && *at == testing::Favorites(pc),
        "after recovery the Favorites are the service's tree", Describe(again));
  Check(testing::BaselineTree(pc) == at, "after recovery the baseline is the service's tree",
        Describe(again));
  return 0;
}

}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvex::TestOne(data, size);
}
