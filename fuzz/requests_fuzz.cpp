// The request bodies the test kit's sync service reads (FakeSyncService),
// and the ZIP reader it checks crash reports with (ListZipEntries). The
// input is a series of requests split at NUL bytes, each a byte that picks
// the path and the body. Whatever they hold, the service answers each with
// JSON holding a status (a crash report: 200 or 400), never fails or stops,
// and its tree stays the one its history builds, sound and loadable.
#include <httplib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "nodeset/Json.h"
#include "nodeset/Md5.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using tarvex::fuzz::Check;

const char* const kPaths[] = {
    "/login/signtoken",         "/sync/bookmarks/status",     "/sync/bookmarks/download",
    "/sync/bookmarks/getchanges", "/sync/bookmarks/putchanges", "/sync/bookmarks/upload",
    "/sync/bookmarks/getdiffs", "/user/profiles/getnames",    "/cloud/tabs/write",
    "/cloud/tabs/read",         "/breakpad/ie/upload"};
constexpr const char* kBoundary = "tarvexfuzz";

std::vector<std::string_view> Split(std::string_view bytes) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (parts.size() < 16) {
    size_t end = bytes.find('\0', start);
    parts.push_back(bytes.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

void CheckTree(testing::FakeSyncService& service) {
  std::string top, replayed, form;
  service.WithTree("alice", [&](NodeSet& set) {
    top = testing::Snapshot(set, true);
    form = WriteCompactJson(set.ToJSON(true));
    NodeSet loaded;
    Json::Value value;
    std::string error;
    Check(ParseJson(form, &value, &error), "the service's tree writes JSON", form);
    try {
      loaded.LoadFromJSON(value);
    } catch (const std::exception& e) {
      fuzz::Broken("the service's tree is sound", std::string(e.what()) + "\n" + form);
    }
  });
  const std::string revision = service.TopRevision("alice");
  Check(service.WithTreeAt("alice", revision,
                           [&](NodeSet& set) { replayed = testing::Snapshot(set, true); }),
        "the top revision is in the history", revision);
  Check(replayed == top, "the history builds the top tree",
        "top:\n" + top + "\nreplayed:\n" + replayed);
}

}  // namespace

int TestOne(const uint8_t* data, size_t size) {
  std::string_view bytes = fuzz::Bytes(data, size);
  // The ZIP reader on its own, on the whole input.
  std::vector<std::string> names;
  testing::ListZipEntries(std::string(bytes), &names);

  testing::FakeSyncService service;
  service.AddUser("alice", "secret");
  Json::Value seed;
  Check(ParseJson(R"([{"action":"insert","nid":"ROOT","args":{"ntype":"folder","name":"Favorites"}},
    {"action":"insert","nid":"a","args":{"pnid":"ROOT","name":"A","url":"http://a.example/"}},
    {"action":"insert","nid":"f","args":{"pnid":"ROOT","name":"F","ntype":"folder"}},
    {"action":"insert","nid":"b","args":{"pnid":"f","name":"B","url":"http://b.example/"}}])",
                  &seed, nullptr),
        "the seed tree parses");
  service.SeedTree("alice", seed);

  httplib::Client client("127.0.0.1", service.Port());
  client.set_keep_alive(true);
  Json::Value login;
  login["username"] = "alice";
  login["passwordhash"] = md5("secret");
  auto signed_in = client.Post("/login/signtoken", WriteCompactJson(login), "application/json");
  Check(signed_in && signed_in->status == 200, "the service signs in");
  Json::Value token;
  Check(ParseJson(signed_in->body, &token, nullptr) && token["auth"].isString(),
        "the sign-in gives a token", signed_in->body);
  httplib::Headers headers = {{"Authorization", token["auth"].asString()},
                              {"X-Tarvex-Auth", token["auth"].asString()}};

  for (std::string_view part : Split(bytes)) {
    if (part.empty()) continue;
    const std::string path = kPaths[static_cast<uint8_t>(part[0]) % std::size(kPaths)];
    const std::string body(part.substr(1));
    const bool crash = path == "/breakpad/ie/upload";
    auto reply = client.Post(path, headers, body,
                             crash ? std::string("multipart/form-data; boundary=") + kBoundary
                                   : std::string("application/json"));
    Check(static_cast<bool>(reply), "the service answers", path);
    if (crash) {
      Check(reply->status == 200 || reply->status == 400, "a crash report is taken or refused",
            std::to_string(reply->status));
      continue;
    }
    Check(reply->status == 200, "the service answers 200", path + " " + std::to_string(reply->status));
    Json::Value answer;
    Check(ParseJson(reply->body, &answer, nullptr) && answer.isObject() &&
              answer.isMember("status"),
          "the service's answer is JSON with a status", reply->body);
  }
  CheckTree(service);
  return 0;
}

}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvex::TestOne(data, size);
}
